"""python -m tarvik iv / price: the numbers of the batch functions, written as
repr() writes them, by both CSV engines across chunks; bad rows empty and
counted by kind; standard input and output; --help and --version."""

import csv
import inspect
import io
import pathlib
import re
import signal
import subprocess
import sys
from collections import Counter

import numpy as np
import pytest
import tarvik
from fresh_interpreter import child_env
from tarvik import cli

# A row that fails alone in its chunk has its error code computed from length-1
# arrays, taken in through NumPy's float conversion, which some NumPy versions warn
# about.
pytestmark = pytest.mark.filterwarnings("ignore:Conversion of an array:DeprecationWarning")
try:
    import pyarrow  # noqa: F401
    ENGINES = ["python", "pyarrow"]
except ImportError:
    ENGINES = ["python", pytest.param("pyarrow", marks=pytest.mark.skip("needs pyarrow"))]

# Rows that cannot all be computed: (fields by column, kind for iv, for price).
BAD = [({"price": "1.0", "under": "105", "strike": "100"}, "price_below_intrinsic", None),
       ({"maturity": "-1"}, "negative_time", "negative_time"),
       ({"strike": "abc"}, "unparsable", "unparsable"),
       ({"type": "x"}, "unparsable_type", "unparsable_type")]


def quote_file(path, spot):
    """Good quotes (a call at its intrinsic value, one far out of the money),
    then BAD and a short row; the columns that parse as arrays, and is_call."""
    rng = np.random.default_rng(5)
    n = 9
    under = 100.0 * np.exp(rng.normal(0.0, 0.1, n))
    strike = 100.0 * np.exp(rng.uniform(-0.5, 0.5, n))
    maturity, vol, rate = (rng.uniform(a, b, n) for a, b in ((0.05, 2.0), (0.05, 0.6), (0, .05)))
    under[:2], strike[:2], vol[:2], rate[0] = 100.0, (80.0, 300.0), (0.0, 0.1), 0.0
    is_call = (strike > under) | (np.arange(n) == 0)
    market = (under, strike, maturity, rate, 0.0) if spot else (under, strike, maturity)
    price = (tarvik.black_scholes_prices if spot else tarvik.black_prices)(*market, vol, is_call)
    types = np.array(["put", "call", "P", "C", "p", "c", "0", "1"])[2 * np.arange(n) % 8 + is_call]
    names = ["id", "spot" if spot else "forward", "strike", "maturity", "rate", "type", "price",
             "vol"]
    rows = [dict(zip(names, [f"q{i}", *map(repr, values[:4]), kind, *map(repr, values[4:])]))
            for i, (kind, *values) in enumerate(zip(types, *(a.tolist() for a in (
                under, strike, maturity, rate, price, vol))))]
    rows += [{**rows[1 + i], "id": '"bad, indeed"', **{names[1] if k == "under" else k: v
                                                         for k, v in fields.items()}}
             for i, (fields, _, _) in enumerate(BAD)]
    lines = [names, *(row.values() for row in rows), ["short", "1"]]
    path.write_text("\n".join(map(",".join, lines)) + "\n\n")
    parsed = rows[:n + 2]
    return ([np.array([float(row[name]) for row in parsed]) for name in names[1:5] + names[6:]],
            np.array([row["type"] in ("call", "C", "c", "1") for row in parsed]))


def batch(name, *args, is_call):
    function = getattr(tarvik, name)
    flag = [is_call] if "is_call" in inspect.signature(function).parameters else []
    return function(*args, *flag)


@pytest.mark.parametrize("engine", ENGINES)
@pytest.mark.parametrize("spot", [False, True], ids=["black76", "spot"])
@pytest.mark.parametrize("command", ["iv", "price"])
def test_rows_get_the_batch_results_and_bad_rows_are_counted(tmp_path, capsys, command, spot,
                                                            engine):
    (under, strike, maturity, rate, price, vol), is_call = quote_file(tmp_path / "q.csv", spot)
    assert cli.main([command, str(tmp_path / "q.csv"), "-o", str(tmp_path / "out.csv"),
                     "--engine", engine, "--chunk-rows", "4"]) == 0
    prefix = "black_scholes_" if spot else ""
    market = (under, strike, maturity, rate, 0.0) if spot else (under, strike, maturity)
    if command == "iv":
        result = batch("black_scholes_implied_volatilities" if spot else
                       "black_implied_volatilities", price, *market, is_call=is_call)
        vol = result
    else:
        result = batch("black_scholes_prices" if spot else "black_prices", *market, vol,
                       is_call=is_call)
    greeks = ["delta", "gamma", "vega", "theta", "vanna", "vomma"] + ["rho", "dividend_rho"] * spot
    expected = [result] + [batch(prefix + g + "s", *market, vol, is_call=is_call) for g in greeks]
    expected = np.array(expected).T
    expected[np.isnan(result)] = np.nan
    expected = np.vstack([expected, np.full((2, len(expected[0])), np.nan)])  # unparsable

    lines = (tmp_path / "q.csv").read_text().splitlines()[:-1]
    if command == "price":  # the input's price column is a result: replaced, not repeated
        kept = io.StringIO()
        csv.writer(kept, lineterminator="\n").writerows(
            [f for i, f in enumerate(row) if i != 6] for row in csv.reader(lines))
        lines = kept.getvalue().splitlines()
    out = (tmp_path / "out.csv").read_text().splitlines()
    assert out[0] == ",".join([lines[0], command] + greeks + ["error"])
    assert [line[:len(given)] for line, given in zip(out, lines)] == lines
    rows = [row[len(lines[0].split(",")):] for row in csv.reader(out[1:])]
    kinds = [tarvik.ERROR_KINDS[c] for c in tarvik.error_codes(
        getattr(tarvik, ("black_scholes_" if spot else "black_") + (
            "implied_volatilities" if command == "iv" else "prices")),
        *([price] if command == "iv" else []), *market, *([] if command == "iv" else [vol]),
        is_call)]
    kinds += ["unparsable", "unparsable_type"]
    assert rows[:-1] == [
        ["" if np.isnan(v) else repr(v) for v in want.tolist()] + [kind or ""]
        for want, kind in zip(expected, kinds)]
    assert out[-1].split(",") == ["short", "1", *[""] * (1 + len(greeks)), "ragged_row"]
    assert result[0] == (0.0 if command == "iv" else 20.0)  # at its intrinsic value
    counts = Counter([iv if command == "iv" else price for _, iv, price in BAD] +
                     ["ragged_row"])
    del counts[None]
    summary = ", ".join(f"{counts[kind]} {kind}" for kind in cli.KINDS if kind in counts)
    assert capsys.readouterr().err == (f"python -m tarvik {command}: {sum(counts.values())} of"
                                       f" {len(rows)} rows without a result: {summary}\n")


def test_standard_input_and_output_through_python_m(tmp_path, capsys):
    quote_file(tmp_path / "q.csv", spot=True)
    cli.main(["price", str(tmp_path / "q.csv"), "--no-greeks"])
    in_process = capsys.readouterr().out
    done = subprocess.run([sys.executable, "-m", "tarvik", "price", "--no-greeks", "-"],
                          input=(tmp_path / "q.csv").read_text(), env=child_env(),
                          capture_output=True, text=True)
    assert (done.returncode, done.stdout) == (0, in_process)
    assert in_process.splitlines()[0].endswith(",vol,price,error")


@pytest.mark.parametrize("argv, shown", [
    (["--version"], f"tarvik {tarvik.__version__}\n"),
    (["--help"], "{demo,iv,price,surface}"),
    (["surface", "--help"], "--plot FILE"),
    (["iv", "--help"], "--spot-col SPOT_COL"),
    (["price", "--help"], "--vol-col VOL_COL"),
    (["iv", "--help"], "3 more rows without a"),
])
def test_help_and_version(capsys, argv, shown):
    with pytest.raises(SystemExit) as exit:
        cli.main(argv)
    assert exit.value.code == 0
    assert shown in capsys.readouterr().out


def run_cli(args, stdin=None, **kw):
    return subprocess.run([sys.executable, "-m", "tarvik", *args], input=stdin, env=child_env(),
                          capture_output=True, **kw)


HEADER = b"id,price,forward,strike,maturity,type\n"
GOOD = b"g,10.0,100,100,1.0,c\n"


def test_one_column_may_serve_two_roles_on_both_engines(tmp_path):
    # The forward column as the rate too (pyarrow's reader once raised a
    # KeyError for the column included twice).
    (tmp_path / "q.csv").write_bytes(HEADER + GOOD + b"h,3.0,0.02,100,1.0,p\n")
    outs = []
    for engine in [e for e in ENGINES if isinstance(e, str)]:  # those installed
        cli.main(["iv", str(tmp_path / "q.csv"), "-o", str(tmp_path / f"{engine}.csv"),
                  "--spot-col", "forward", "--rate-col", "forward", "--engine", engine])
        outs.append((tmp_path / f"{engine}.csv").read_bytes())
    assert len(set(outs)) == 1 and outs[0].count(b"\n") == 3


@pytest.mark.parametrize("engine", ENGINES)
def test_rows_stay_aligned_with_garbage_in_every_position(tmp_path, engine):
    garbage = ['x,"a,b",,', "short", "g,1_0,100,100,1,c", "g,10,100,100,1,c,extra,fields",
               'q,"10",100,100,1,C', "g,\u0661,100,100,1,c", "g,,100,100,1,c", ",,,,,",
               "\n\n\r\n"]  # blank lines, more than a chunk of them
    accent = "\u00e9"  # ids of plain lines that are UTF-8 beyond ASCII
    good = [f"r{accent * (i % 2)}{i},{5 + i},100,{95 + 2 * i},{0.5 + i / 10},{'cp'[i % 2]}"
            for i in range(6)]
    want = None
    for pos in range(len(good) + 1):
        lines = good[:pos] + garbage + good[pos:]
        (tmp_path / "q.csv").write_text("\n".join(["id,price,forward,strike,maturity,type",
                                                   *lines]) + "\n")
        assert cli.main(["iv", str(tmp_path / "q.csv"), "-o", str(tmp_path / "o.csv"),
                         "--engine", engine, "--chunk-rows", "3"]) == 0
        out = (tmp_path / "o.csv").read_text().splitlines()[1:]
        given = [line for line in "\n".join(lines).split("\n") if line.rstrip("\r")]
        assert len(out) == len(given) and all(o.startswith(i) for o, i in zip(out, given))
        got = {row[0]: row[6] for row in csv.reader(out) if row[0].startswith("r")}
        assert want is None or got == want
        want = got
        assert len(got) == 6 and all(got.values())


@pytest.mark.parametrize("data, args, status, message", [
    (HEADER + GOOD + b"g,\xff\xfe,100,100,1,c\n", [], 1, "<stdin>: line 3: not UTF-8 text"),
    (HEADER + GOOD + b"g," + b"9" * 200_000 + b",100,100,1,c\n", [], 1,
     "<stdin>: line 3: a field larger than 131072 characters"),
    (HEADER + GOOD, ["-o", "/dev/full"], 1, "/dev/full: No space left on device"),
    (HEADER + GOOD, ["--strike-col", "k"], 2, "no column k in the header"),
    (HEADER + b"g,10,100,100,2026-06-19,c\n", [], 1, "column 'maturity' holds no numbers"),
    (HEADER + b"g,200,100,100,1,c\n", [], 1, "<stdin>: no row has a result"),
    (HEADER + GOOD + b"g,1_0,100,100,1,c\ng,\xd9\xa1,100,100,1,c\n", [], 0,
     "2 of 3 rows without a result: 2 unparsable"),
    (HEADER, ["--model", "normal", "--spot-col", "forward"], 2, "--model normal is on a forward"),
    (HEADER, ["--model", "normal", "--shift", "0.01"], 2, "--shift and --shift-col are for"),
    (HEADER, ["--model", "normal", "--spot-col", "forward", "--discount-col", "price"], 2,
     "--discount-col is for Black-76"),  # of the rules broken, the first the command line tells
    (HEADER, ["--forward", "parity", "--rate-col", "k"], 2, "--forward parity gives the discount"),
    (b"id,vol,forward,strike,maturity,type\n", ["price", "--forward", "parity"], 2,
     "no column price in the header"),  # parity fits forwards to quoted prices
], ids=["encoding", "field_size", "disk_full", "missing_column", "dates_as_maturity",
        "no_result", "number_grammar", "normal_on_spot", "shift_with_normal", "discount_on_spot",
        "parity_discounted", "price_parity_without_prices"])
def test_failures_are_one_line_and_a_status(data, args, status, message):
    command = [args.pop(0)] if args[:1] == ["price"] else ["iv"]
    done = run_cli([*command, "-", *args], stdin=data)
    err = done.stderr.decode()
    assert done.returncode == status and message in err, err
    assert err.count("\n") == 1 and "Traceback" not in err


@pytest.mark.parametrize("engine", ENGINES)
@pytest.mark.parametrize("quoted", [["--price-col", "quote"], ["--bid-col", "bid", "--ask-col",
                                                                "ask"]], ids=["price", "mid"])
def test_price_on_parity_forwards_is_price_on_the_forwards_of_parity_forwards(tmp_path, engine,
                                                                              quoted):
    # The bits of forward and discount columns from tarvik.frame.parity_forwards
    # (read in chunks, where parity reads the whole file): a crossed or missing
    # quote is priced, out of the fit; a missing volatility keeps its quote in
    # it; an expiry with one strike quoted on both sides is missing_value.
    pd = pytest.importorskip("pandas")
    frame = pytest.importorskip("tarvik.frame")
    rng = np.random.default_rng(9)
    expiry = np.repeat(["2026-06-19", "2027-03-19", "2026-09-18"], [10, 10, 3])
    strike = np.r_[np.tile([80.0, 90.0, 100.0, 110.0, 120.0], 4), 100.0, 100.0, 90.0]
    call = np.r_[np.tile(np.repeat([True, False], 5), 2), True, False, True]
    vol = rng.uniform(0.15, 0.3, 23)
    mid = tarvik.black_prices(100.0, strike, 0.5, vol, call) + rng.normal(0, 0.01, 23)
    bid, ask, vol[13] = mid - 0.02, mid + 0.02, np.nan
    bid[2] = ask[2] + 0.5
    df = pd.DataFrame({"expiry": expiry, "strike": strike, "type": np.where(call, "C", "P"),
                       "vol": vol, "bid": bid, "ask": ask, "quote": np.where(bid > ask, np.nan, mid)})
    fit = dict(price="quote") if quoted[0] == "--price-col" else dict(bid="bid", ask="ask")
    par = frame.parity_forwards(df, expiry="expiry", valuation="2026-03-20", **fit)
    par = par.set_index("expiry")
    df["f"], df["d"] = par["forward"][expiry].to_numpy(), par["discount"][expiry].to_numpy()
    df.to_csv(tmp_path / "q.csv", index=False, na_rep="")
    out = {}
    for name, model in (("parity", ["--forward", "parity"]),
                        ("given", ["--forward-col", "f", "--discount-col", "d"])):
        assert cli.main(["price", str(tmp_path / "q.csv"), "-o", str(tmp_path / "o.csv"),
                         "--expiry-col", "expiry", "--valuation-date", "2026-03-20", "--audit",
                         "--engine", engine, "--chunk-rows", "4", *quoted, *model]) == 0
        lines = (tmp_path / "o.csv").read_text().splitlines()
        out[name] = [row[len(df.columns):] for row in csv.reader(lines)]
    assert out["parity"] == out["given"]
    assert out["parity"][0][-4:] == ["used_forward", "used_discount", "used_maturity", "error"]
    assert [row[-1] for row in out["parity"][1:]] == (
        [""] * 13 + ["missing_value"] + [""] * 6 + ["missing_value"] * 3)


@pytest.mark.parametrize("rows, args, status", [
    (GOOD * 3, ["--fail-on-error"], 0),
    (GOOD * 2 + b"g,200,100,100,1,c\n", ["--fail-on-error"], 3),
    (GOOD * 2 + b"g,200,100,100,1,c\n", ["--max-failed", "0.4"], 0),
    (GOOD + b"g,200,100,100,1,c\n" * 2, ["--max-failed", "0.5"], 3),
    (b"g,200,100,100,1,c\n" * 2, ["--fail-on-error"], 1),  # no row has a result
    (GOOD + b"short\n", [], 0),
    (GOOD, ["--max-failed", "1.5"], 2),
])
def test_exit_status_tells_rows_without_a_result_when_asked(rows, args, status):
    done = run_cli(["iv", "-", *args], stdin=HEADER + rows)
    assert done.returncode == status, done.stderr
    if status in (0, 3):  # every row is written before the status is given
        assert done.stdout.count(b"\n") == rows.count(b"\n") + 1


@pytest.mark.parametrize("engine", ENGINES)
@pytest.mark.parametrize("command, chunk, audit", [("iv", "2", []), ("iv", "100", ["--audit"]),
                                                   ("price", "3", ["--audit"])])
def test_a_row_of_another_width_is_ragged_and_shifts_nothing(tmp_path, engine, command, chunk,
                                                             audit):
    # price reads a file with a price column: a result column, left out of
    # the lines it copies, but never out of a ragged row's.
    header = "id,price,forward,strike,maturity,type,vol"
    good = [f"r{i},{5 + i},100,{95 + 2 * i},{0.5 + i / 10},{'cp'[i % 2]},0.2" for i in range(5)]
    ragged = ["s,8.0,100", "l,8.0,100,100,1,C,0.2,7", '"q,1",8.0,100', "t,8,100,100,1,c,0.2,"]
    outputs = []
    for lines in (good, good[:2] + ragged + good[2:]):
        (tmp_path / "q.csv").write_text("\n".join([header, *lines]) + "\n")
        assert cli.main([command, str(tmp_path / "q.csv"), "-o", str(tmp_path / "o.csv"),
                         "--engine", engine, "--chunk-rows", chunk, *audit]) == 0
        outputs.append((tmp_path / "o.csv").read_text().splitlines())
    plain, mixed = outputs
    assert mixed[:3] + mixed[7:] == plain
    width = len(plain[0].split(",")) - len(header.split(",")) + (command == "price")
    assert mixed[3:7] == [line + "," * width + "ragged_row" for line in ragged]


def test_missing_engine_closed_pipe_and_ctrl_c(tmp_path, monkeypatch, capsys):
    real = cli.importlib.util.find_spec
    monkeypatch.setattr(cli.importlib.util, "find_spec",
                        lambda name, *a: None if name == "pyarrow" else real(name, *a))
    (tmp_path / "q.csv").write_bytes(HEADER + GOOD)
    assert cli.main(["iv", str(tmp_path / "q.csv"), "--engine", "pyarrow"]) == 2
    assert "needs pyarrow" in capsys.readouterr().err
    (tmp_path / "big.csv").write_bytes(HEADER + GOOD * 300_000)
    head = subprocess.run(f"{sys.executable} -m tarvik iv {tmp_path / 'big.csv'} | head -1",
                          shell=True, env=child_env(), capture_output=True)
    assert head.stderr == b"" and head.stdout.count(b"\n") == 1
    # Ctrl-C while the command waits for more input, two chunks written.
    child = subprocess.Popen([sys.executable, "-m", "tarvik", "iv", "-", "--chunk-rows", "500",
                              "-o", str(tmp_path / "o.csv")],
                             env=child_env(), stdin=subprocess.PIPE, stderr=subprocess.PIPE,
                             # a shell's background job starts with Ctrl-C ignored
                             preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    child.stdin.write(HEADER + GOOD * 1000)
    child.stdin.flush()
    while (tmp_path / "o.csv").read_bytes().count(b"\n") < 1001 if (
            tmp_path / "o.csv").exists() else True:
        pass
    child.send_signal(signal.SIGINT)
    _, err = child.communicate(timeout=60)
    assert child.returncode == 130 and err == b""
    assert (tmp_path / "o.csv").read_bytes().count(b"\n") == 1001


@pytest.mark.skipif(len(ENGINES) < 2 or not isinstance(ENGINES[1], str), reason="needs pyarrow")
def test_engines_read_number_spellings_alike(tmp_path):
    # Seeded numbers, each spelled one way inside or just outside the grammar,
    # a row per chunk (so that each engine takes its shortcut where it can:
    # Arrow's cast, float()): both engines must keep to the one grammar.
    rng = np.random.default_rng(18)
    spellings = [str, lambda s: f" {s}\t", lambda s: s.replace("1", "1_1", 1),
                 lambda s: s.replace("1", "\u0661", 1), lambda s: s.replace("1", "1.", 1),
                 lambda s: f"+{s}".replace(".", "", 1), lambda s: f"{s}e", lambda s: f".{s}",
                 lambda s: f"{s}\x0c", lambda s: f"{s}E+1", lambda s: f"-{s}", str.upper]
    numbers = [repr(round(x, k)) for x, k in zip(rng.uniform(1, 200, 40).tolist(),
                                                 rng.integers(0, 4, 40).tolist())]
    numbers += ["inf", "nan", "1", "10", "100"]
    fields = [spellings[k](n) for n in numbers for k in rng.integers(0, len(spellings), 3)]
    rows = ["10,100,100,1,c"]  # a first chunk with numbers
    rows += [f"{fields[i]},{95 + i % 10},100,{1 + i % 3},c" for i in range(len(fields))]
    rows += [f"10,{f},100,1,c" for f in fields[::2]] + [f"10,100,{f},1,p" for f in fields[1::2]]
    (tmp_path / "q.csv").write_text("price,forward,strike,maturity,type\n" + "\n".join(rows)
                                    + "\n")
    outputs = []
    for engine in ENGINES:
        out = tmp_path / f"{engine}.csv"
        assert cli.main(["iv", str(tmp_path / "q.csv"), "-o", str(out), "--engine", engine,
                         "--chunk-rows", "1"]) == 0
        outputs.append(out.read_bytes())
    assert outputs[0] == outputs[1]
    assert outputs[0].count(b",unparsable\n") > 20


@pytest.mark.parametrize("engine", ENGINES)
@pytest.mark.parametrize("model", [["--model", "normal"], ["--shift", "0.03"], ["--shift-col", "d"]],
                         ids=["normal", "shift", "shift_col"])
def test_model_and_shift_round_trip(tmp_path, engine, model):
    rng = np.random.default_rng(7)
    n = 12
    f, k = rng.uniform(-0.01, 0.03, n), rng.uniform(-0.01, 0.03, n)
    t, call = rng.uniform(0.1, 10.0, n), rng.random(n) < 0.5
    normal = model[0] == "--model"
    vol = rng.uniform(0.002, 0.015, n) if normal else rng.uniform(0.1, 0.6, n)
    lines = ["forward,strike,maturity,type,vol,d"] + [
        f"{a!r},{b!r},{c!r},{'c' if p else 'p'},{v!r},0.03" for a, b, c, p, v in zip(
            f.tolist(), k.tolist(), t.tolist(), call, vol.tolist())]
    (tmp_path / "q.csv").write_text("\n".join(lines) + "\n")
    common = ["--engine", engine, "--chunk-rows", "5", *model]
    assert cli.main(["price", str(tmp_path / "q.csv"), "-o", str(tmp_path / "p.csv"), *common]) == 0
    assert cli.main(["iv", str(tmp_path / "p.csv"), "-o", str(tmp_path / "iv.csv"), "--price-col",
                     "price", *common]) == 0
    got = {name: np.array([float(row[name]) for row in csv.DictReader(
        (tmp_path / stage).read_text().splitlines())]) for name, stage in (
            ("price", "p.csv"), ("iv", "iv.csv"), ("delta", "iv.csv"))}
    args = (f, k) if normal else (f + 0.03, k + 0.03)
    prefix = "bachelier_" if normal else "black_"
    assert np.array_equal(got["price"], getattr(tarvik, prefix + "prices")(*args, t, vol, call))
    iv = getattr(tarvik, prefix + "implied_volatilities")(got["price"], *args, t, call)
    assert np.array_equal(got["iv"], iv) and np.allclose(iv, vol, rtol=1e-9)
    greeks = getattr(tarvik, "bachelier_greeks" if normal else "black_greeks")(*args, t, iv, call)
    assert np.array_equal(got["delta"], greeks["delta"])


def text_lines(lines):
    return "".join(line + "\n" for line in lines).encode()


def test_numbers_are_written_as_repr_writes_them():
    # Random bit patterns (every exponent), values around each switch of
    # notation, and the special values; a NaN or masked element is empty.
    rng = np.random.default_rng(8)
    edges = 10.0 ** np.arange(-6, 18)
    x = np.concatenate([
        rng.integers(0, 2**64, 60_000, dtype=np.uint64).view(np.float64),
        rng.normal(size=30_000) * 10.0 ** rng.integers(-7, 18, 30_000),
        edges, np.nextafter(edges, 0), -edges, [0.0, -0.0, 5e-324, np.inf, -np.inf, np.nan]])
    x = x[:len(x) // 3 * 3]
    lines = tarvik._core._csv_rows(x, 3).decode("ascii").split("\n")
    fields = ["" if v != v else repr(v) for v in x.tolist()]
    assert lines == [",".join(fields[i:i + 3]) for i in range(0, len(x), 3)] + [""]
    assert tarvik._core._csv_rows(x, 3, parallel=True) == tarvik._core._csv_rows(x, 3)
    # Lines of seeded lengths (some empty, some not ASCII) around every row,
    # serial and on the pool (blocks of rows moved down to close the gaps).
    rows = len(lines) - 1
    words = ["", "a", "é,b", "x" * 300]
    before = [words[i] for i in rng.integers(0, 4, rows)]
    after = [words[i] for i in rng.integers(0, 4, rows)]
    led = list(map("{},{}".format, before, lines[:-1]))
    for parallel in (False, True):
        assert tarvik._core._csv_rows(x, 3, parallel, text_lines(before)) == text_lines(led)
        assert tarvik._core._csv_rows(x, 3, parallel, text_lines(before), text_lines(after)) == \
            "".join(map("{}{}\n".format, led, after)).encode()
    masked = np.ma.masked_array([1.0, 2.0], mask=[True, False])
    assert tarvik._core._csv_rows(masked) == b"\n2.0\n"
    assert tarvik._core._csv_rows(0.5) == b"0.5\n"
    assert "_csv_rows" not in tarvik._core.__all__


@pytest.mark.parametrize("args, error", [((np.zeros(3), 2), ValueError), ((np.zeros(2), 0), ValueError),
                                         ((np.zeros(2), 1.0), TypeError), (([1.0],), TypeError),
                                         ((np.zeros(2, np.float32),), TypeError),
                                         ((np.zeros(2), 1, False, b"a\n"), ValueError),
                                         ((np.zeros(2), 1, False, b"a\nb"), ValueError),
                                         ((np.zeros(2), 1, False, None, b"a\nb\n"), ValueError),
                                         ((np.zeros(2), 1, False, "a\nb\n"), TypeError)])
def test_number_writer_refuses_what_is_no_table(args, error):
    with pytest.raises(error):
        tarvik._core._csv_rows(*args)


def test_fields_are_read_as_the_grammar_reads_them():
    # Seeded fields of number characters, blanks and words (and values past
    # the doubles' range), against the grammar written apart, bit for bit.
    from number_grammar import number
    rng = np.random.default_rng(9)
    parts = ["1", "0", "7", ".", "e", "E", "+", "-", " ", "\t", "inf", "infinity", "NaN", "_",
             "x", "\r", "\u0661", "400", "99999999999999999999"]
    fields = ["".join(rng.choice(parts, rng.integers(0, 7))) for _ in range(20_000)]
    fields += list(map(repr, rng.integers(0, 2**64, 5_000, dtype=np.uint64).view(np.float64).tolist()))
    values, kinds = tarvik._core._csv_numbers("\n".join(fields).encode())
    want = [number(f) for f in fields]
    assert kinds.tolist() == [2 if not f.strip(" \t") else int(w is None)
                              for f, w in zip(fields, want)]
    assert values.view(np.uint64).tolist() == np.array(
        [np.nan if w is None else w for w in want]).view(np.uint64).tolist()
    assert (kinds == 0).sum() > 6_000 and (kinds == 1).sum() > 5_000


@pytest.mark.parametrize("command", ["iv", "price"])
def test_the_command_line_page_names_every_option(command, capsys):
    # docs/cli.md cannot drift from --help: every option there is on the page.
    page = pathlib.Path(__file__).parent.parent / "docs" / "cli.md"
    if not page.exists():
        pytest.skip("the documentation is not beside the tests")
    with pytest.raises(SystemExit):
        cli.main([command, "--help"])
    options = set(re.findall(r"(?<![\w-])--[a-z][a-z-]*", capsys.readouterr().out)) - {"--help"}
    text = page.read_text(encoding="utf-8")
    assert options and sorted(o for o in options if f"`{o}" not in text) == []


@pytest.mark.parametrize("engine", ENGINES)
@pytest.mark.parametrize("command", ["price", "iv"])
def test_dividend_schedule_per_underlying(tmp_path, engine, command):
    # Rows of two underlyings, one of them with dividends (on dates from the
    # valuation), and a row the schedule does not name: Black-Scholes.
    times = [91 / 365, 274 / 365]
    args = (100.0, 95.0, 1.0, 0.03, 0.0, 0.25, True)
    kw = dict(dividend_times=times, dividend_amounts=[1.0, 1.5])
    p = tarvik.european_price(*args, **kw)
    quotes = tmp_path / "q.csv"
    quotes.write_text("sym,spot,strike,maturity,rate,type,vol,price\n"
                      f"ABC,100,95,1.0,0.03,C,0.25,{p!r}\n"
                      f"XYZ,100,95,1.0,0.03,C,0.25,{p!r}\n")
    schedule = tmp_path / "d.csv"
    schedule.write_text("underlying,ex_date,amount\nABC,2026-04-01,1.0\nABC,2026-10-01,1.5\n"
                        "OTHER,2026-05-01,9.0\n")
    done = run_cli([command, str(quotes), "--engine", engine, "--no-greeks", "--rate-col", "rate",
                    "--dividend-schedule", str(schedule), "--underlying-col", "sym",
                    "--valuation-date", "2025-12-31"], check=True)
    rows = done.stdout.decode().splitlines()[1:]
    got = [float(row.split(",")[-2]) for row in rows]
    if command == "price":
        assert got == [p, tarvik.black_scholes_price(*args)]
    else:
        assert got[0] == tarvik.european_implied_volatility(p, *args[:5], True, **kw)
        assert got[1] == tarvik.black_scholes_implied_volatility(p, *args[:5], True)


@pytest.mark.parametrize("schedule, args, message", [
    ("ex_date,amount\n2026-04-01,1.0\n", [], "with ex_date needs --valuation-date"),
    ("time,amount\n0.5,x\n", [], "line 2: not a number or date"),
    ("time\n0.5\n", [], "a header with amount"),
    ("time,amount\n0.5,1\n", ["--underlying-col", "id"], "--underlying-col goes with"),
])
def test_dividend_schedule_misuse_is_a_usage_error(tmp_path, schedule, args, message):
    path = tmp_path / "d.csv"
    path.write_text(schedule)
    done = run_cli(["price", "-", "--spot-col", "forward", "--vol-col", "price",
                    "--dividend-schedule", str(path), *args], stdin=HEADER + GOOD)
    err = done.stderr.decode()
    assert done.returncode == 2 and message in err, err
