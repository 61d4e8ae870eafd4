"""Surfaces from quote tables: tarvik.frame.fit_surface on the built-in index
chain (pandas, Polars) against tarvik.surface.fit on the frame layer's own
implied volatilities, python -m tarvik surface against it, and the pictures
of tarvik.plot drawn headless."""

import csv
import importlib.util
import io
import sys

import numpy as np
import pytest
from tarvik import cli, demo, surface

frame = pytest.importorskip("tarvik.frame")
pytest.importorskip("narwhals")
BACKENDS = [pytest.param(name, marks=pytest.mark.skipif(
    importlib.util.find_spec(name.split("-")[0]) is None, reason=f"needs {name}"))
    for name in ("pandas", "polars", "polars-lazy")]
PARITY = dict(bid="bid", ask="ask", forward="parity", expiry="expiry",
              valuation=demo.INDEX_VALUATION)
CLI_PARITY = ["--bid-col", "bid", "--ask-col", "ask", "--forward", "parity", "--expiry-col",
              "expiry", "--valuation-date", demo.INDEX_VALUATION]


def table(backend, data=None):
    data = demo.index_chain() if data is None else data
    if backend == "pandas":
        import pandas as pd
        return pd.DataFrame(data)
    import polars as pl
    return pl.DataFrame(data).lazy() if backend == "polars-lazy" else pl.DataFrame(data)


def floats(df, name):
    df = df.collect() if hasattr(df, "collect") else df
    return np.array(getattr(df[name], "to_numpy", lambda: df[name])(), dtype=float)


def same_parameters(a, b):
    pa, pb = a.parameters, b.parameters
    assert list(pa) == list(pb) and a.failures == b.failures
    for name in pa:
        assert pa[name].tobytes() == pb[name].tobytes(), name


@pytest.mark.parametrize("backend", BACKENDS)
def test_fit_surface_is_the_fit_of_the_frame_layers_own_volatilities(backend):
    chain = table(backend)
    mids = frame.implied_volatilities(chain, greeks=False, audit=True, **PARITY)
    on_mids = {"forward": floats(mids, "used_forward"), "discount": floats(mids, "used_discount"),
               "maturity": floats(mids, "used_maturity")}
    sides = []
    for side in ("bid", "ask"):
        out = frame.implied_volatilities(chain, price=side, greeks=False, **on_mids)
        vol = floats(out, "iv")
        if side == "bid":  # a bid below intrinsic value bounds nothing from below
            reasons = (out.collect() if hasattr(out, "collect") else out)["error"].to_list()
            vol[np.array([r == "price_below_intrinsic" for r in reasons])] = 0.0
        sides.append(np.where(np.isnan(floats(mids, "iv")), np.nan, vol))
    iv = floats(mids, "iv")
    expected = surface.fit(floats(mids, "strike"), on_mids["forward"], on_mids["maturity"], iv,
                           bid_vols=sides[0], ask_vols=sides[1])
    same_parameters(frame.fit_surface(chain, **PARITY), expected)
    quotes = frame.smile_quotes(chain, **PARITY)
    for name, values in (("iv", iv), ("bid_iv", sides[0]), ("ask_iv", sides[1])):
        np.testing.assert_array_equal(floats(quotes, name), values)
    ok = np.isfinite(sides[0]) & np.isfinite(sides[1])
    assert np.all((sides[0][ok] <= iv[ok]) & (iv[ok] <= sides[1][ok])) and ok.sum() > 400


@pytest.mark.parametrize("market, tolerance", [
    (PARITY, 0.002),
    (dict(bid="bid", ask="ask", spot=demo.INDEX_SPOT, rate=demo.INDEX_RATE,
          dividend=demo.INDEX_DIVIDEND, expiry="expiry", valuation=demo.INDEX_VALUATION), 0.002),
    # Mids alone, weighted by vega: the far wings' wide quotes count as much as any.
    (dict(price="mid", forward="forward", rate=demo.INDEX_RATE, expiry="expiry",
          valuation=demo.INDEX_VALUATION), 0.01),
], ids=["parity", "spot", "forward-and-rate"])
def test_the_fit_finds_the_chains_own_smile_and_forwards(market, tolerance):
    pd = pytest.importorskip("pandas")
    chain = pd.DataFrame(demo.index_chain())
    t = np.array([demo.index_years(e) for e in chain["expiry"]])
    chain["forward"] = demo.INDEX_SPOT * np.exp((demo.INDEX_RATE - demo.INDEX_DIVIDEND) * t)
    chain["mid"] = (chain["bid"] + chain["ask"]) / 2
    s = frame.fit_surface(chain, **market)
    assert len(s.maturities) == 8 and not s.failures
    np.testing.assert_allclose(s.forward(t), chain["forward"], rtol=3e-4)
    k = np.log(chain["strike"] / chain["forward"])
    truth = np.sqrt(demo.index_total_variance(k, t) / t)
    assert np.max(np.abs(s.implied_volatilities(chain["strike"], t) - truth)) < tolerance


def test_expiries_left_without_quotes_are_failures_and_weights_are_taken():
    pd = pytest.importorskip("pandas")
    chain = pd.DataFrame(demo.index_chain())
    first = chain["expiry"] == demo.INDEX_EXPIRIES[0]
    chain.loc[first & (chain.index % 8 != 0), "bid"] = 0.0  # one-sided: no volatility
    s = frame.fit_surface(chain, **PARITY)
    assert list(s.failures) == [demo.index_years(demo.INDEX_EXPIRIES[0])]
    assert "fewer than 5" in next(iter(s.failures.values())) and len(s.maturities) == 7
    weighted = frame.fit_surface(chain, weights=np.where(chain["type"] == "C", 1.0, 1e-3),
                                 **PARITY)
    assert weighted.parameters["rmse"].tobytes() != s.parameters["rmse"].tobytes()


@pytest.mark.parametrize("kwargs, message", [
    ({"model": "normal", "forward": 5000.0, "maturity": 0.5}, 'model="normal"'),
    ({**PARITY, "bid": "best_bid"}, "no column 'best_bid'"),
    ({**PARITY, "strike": "k"}, "no column 'k'"),
    ({**PARITY, "expiry": "expiry_date"}, "expiry must be a column name"),
    ({**PARITY, "smile": "sabr"}, "smile must be"),
])
def test_bad_input_is_refused_clearly(kwargs, message):
    pd = pytest.importorskip("pandas")
    with pytest.raises(ValueError, match=message):
        frame.fit_surface(pd.DataFrame(demo.index_chain()), **kwargs)


def test_the_chain_is_the_same_every_time_and_its_csv_reads_back():
    a, b = demo.index_chain(), demo.index_chain()
    assert all(np.array_equal(a[name], b[name]) for name in a)
    out = io.StringIO()
    demo.write_index_chain(out)
    rows = list(csv.DictReader(io.StringIO(out.getvalue())))
    assert [float(r["ask"]) for r in rows] == a["ask"].tolist()
    assert [r["expiry"] for r in rows] == a["expiry"] and np.all(a["bid"] <= a["ask"])


@pytest.fixture
def chain_csv(tmp_path, capsys):
    assert cli.main(["demo", "--chain"]) == 0
    path = tmp_path / "chain.csv"
    path.write_text(capsys.readouterr().out)
    return path


def test_the_command_line_writes_the_parameters_of_fit_surface(chain_csv, capsys):
    pd = pytest.importorskip("pandas")
    assert cli.main(["surface", str(chain_csv), *CLI_PARITY]) == 0
    out, err = capsys.readouterr()
    rows = list(csv.DictReader(io.StringIO(out)))
    expected = frame.fit_surface(pd.read_csv(chain_csv), **PARITY).parameters
    assert list(rows[0]) == [*expected, "error"] and len(rows) == 8
    for name, values in expected.items():
        assert [float(r[name]) for r in rows] == values.tolist(), name
    assert err == ("python -m tarvik surface: 5 of 472 quotes without a volatility: "
                   "4 price_below_intrinsic, 1 one_sided_quote\n")


@pytest.mark.parametrize("drop, extra, status, message", [
    (1, [], 0, "1 of 8 expiries not fitted"),
    (1, ["--fail-on-error"], 3, "1 of 8 expiries not fitted"),
    (8, [], 1, "no expiry fitted"),
])
def test_expiries_not_fitted_are_lines_with_their_reason(tmp_path, chain_csv, capsys, drop,
                                                         extra, status, message):
    lines = chain_csv.read_text().splitlines()
    gone = demo.INDEX_EXPIRIES[:drop]
    # Only puts left in the dropped expiries: no parity forward, no volatility.
    kept = [line for line in lines if not (line.startswith(gone) and ",C," in line)]
    (tmp_path / "some.csv").write_text("\n".join(kept) + "\n")
    assert cli.main(["surface", str(tmp_path / "some.csv"), *CLI_PARITY, *extra]) == status
    out, err = capsys.readouterr()
    rows = list(csv.DictReader(io.StringIO(out)))
    assert len(rows) == 8 and message in err
    failed = [r for r in rows if r["error"]]
    assert [float(r["maturity"]) for r in failed] == [demo.index_years(e) for e in gone]
    assert all("fewer than 5" in r.pop("error") and r.pop("maturity") and not any(r.values())
               for r in failed)


@pytest.mark.parametrize("args, message", [
    (["--smile", "sabr"], "--smile: smile must be"),
    (["--strike-col", "k"], "no column k in the header"),
    (["--plot", "smiles.nope"], "no .nope files"),
])
def test_usage_errors_exit_2(chain_csv, capsys, args, message):
    if "--plot" in args:
        pytest.importorskip("matplotlib")
    assert cli.main(["surface", str(chain_csv), *CLI_PARITY, *args]) == 2
    assert message in capsys.readouterr().err


def test_plots_need_matplotlib_and_say_how_to_get_it(chain_csv, capsys, monkeypatch):
    from tarvik import plot

    monkeypatch.setitem(sys.modules, "matplotlib.figure", None)
    s = frame.fit_surface(table("pandas", three_expiries()), **PARITY)
    with pytest.raises(ImportError, match=r'pip install "tarvik\[plot\]"'):
        plot.density(s)
    real = importlib.util.find_spec
    monkeypatch.setattr(importlib.util, "find_spec",
                        lambda name, *a: None if name == "matplotlib" else real(name, *a))
    assert cli.main(["surface", str(chain_csv), *CLI_PARITY, "--plot", "x.png"]) == 2
    assert "tarvik[plot]" in capsys.readouterr().err


def three_expiries():
    chain = demo.index_chain()
    keep = np.isin(chain["expiry"], [demo.INDEX_EXPIRIES[i] for i in (0, 1, 7)])
    return {name: np.asarray(values)[keep] for name, values in chain.items()}


@pytest.mark.parametrize("backend", BACKENDS + ["mapping"])
def test_smiles_draw_each_expirys_quotes_and_fitted_smile(backend):
    pytest.importorskip("matplotlib")
    from tarvik import plot

    chain = table("pandas" if backend == "mapping" else backend, three_expiries())
    s = frame.fit_surface(chain, **PARITY)
    quotes = frame.smile_quotes(chain, **PARITY)
    if backend == "mapping":
        quotes = {name: quotes[name].to_numpy() for name in ("strike", "iv", "used_maturity")}
    iv, strike, maturity = (floats(quotes, name) for name in ("iv", "strike", "used_maturity"))
    panels = [ax for ax in plot.smiles(s, quotes, x="log_moneyness").axes if ax.get_visible()]
    assert len(panels) == 3
    for t, ax in zip(s.maturities, panels):  # on the expiry's forward
        (k, mid), (grid, vol) = (line.get_data() for line in ax.get_lines())
        here = (maturity == t) & np.isfinite(iv)
        np.testing.assert_allclose(np.exp(k) * s.forward(t), strike[here], rtol=1e-12)
        np.testing.assert_array_equal(mid, iv[here])
        np.testing.assert_allclose(vol, s.implied_volatilities(s.forward(t) * np.exp(grid), t),
                                   rtol=1e-12)


def test_pictures_save_headless_and_a_failed_expiry_has_its_reason(tmp_path, capsys):
    pytest.importorskip("matplotlib")
    from tarvik import plot

    chain = three_expiries()
    calls = chain["type"] == "C"
    first = chain["expiry"] == demo.INDEX_EXPIRIES[0]
    s = frame.fit_surface(table("pandas", chain), **PARITY)
    for picture in (plot.density(s, [0.1, 1.0]), plot.heatmap(s, x="strike")):
        out = io.BytesIO()
        picture.savefig(out, format="png")
        assert out.getvalue().startswith(b"\x89PNG")
    # Only puts in the first expiry: no parity forward there, no volatility.
    path = tmp_path / "some.csv"
    with open(path, "w") as f:
        demo.write_index_chain(f)
    lines = path.read_text().splitlines()
    path.write_text("\n".join(line for line in lines if not (
        line.startswith(demo.INDEX_EXPIRIES[0]) and ",C," in line)) + "\n")
    assert cli.main(["surface", str(path), *CLI_PARITY, "--plot", str(tmp_path / "s.svg")]) == 0
    assert (tmp_path / "s.svg").read_text().lstrip().startswith("<?xml")
    s = frame.fit_surface(table("pandas", {n: v[~(calls & first)] for n, v in chain.items()}),
                          **PARITY)
    texts = [t.get_text() for ax in plot.smiles(s).axes for t in ax.texts]
    assert texts == [f"not fitted:\n{s.failures[demo.index_years(demo.INDEX_EXPIRIES[0])]}"]
    with pytest.raises(ValueError, match="need the columns"):
        plot.smiles(s, {"strike": [100.0], "iv": [0.2]})
