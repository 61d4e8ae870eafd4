"""tarvik.frame on pandas and Polars: the batch functions' numbers, the
layer's own reasons, dates as ACT/365F year fractions, discounting, and
forwards from put-call parity."""

import datetime as dt
import math

import numpy as np
import pytest
import tarvik

import correctly_rounded

nw = pytest.importorskip("narwhals")
frame = pytest.importorskip("tarvik.frame")
BACKENDS = [pytest.param(name, marks=pytest.mark.skipif(
    __import__("importlib").util.find_spec(name) is None, reason=f"needs {name}"))
    for name in ("pandas", "polars")]


def make(backend, data):
    if backend == "pandas":
        import pandas as pd
        return pd.DataFrame(data, index=np.arange(len(next(iter(data.values())))) * 10 + 3)
    import polars as pl
    return pl.DataFrame(data)


def column(df, name):
    return np.asarray(df[name].to_numpy(), dtype=np.float64)


def errors(df):
    return [None if e is None or e != e else e for e in df["error"].to_list()]


def discounts(rate, t):
    """exp(-(r t)) correctly rounded, as the scalar functions discount."""
    return np.array([correctly_rounded.exp(-(rate * x)) for x in t])


def chain(rng, n):
    f = rng.uniform(80, 120, n)
    k = f * np.exp(rng.normal(0, 0.3, n))
    t = rng.uniform(0.05, 2.0, n)
    v = rng.uniform(0.05, 0.8, n)
    call = rng.random(n) < 0.5
    return f, k, t, v, call


@pytest.mark.parametrize("backend", BACKENDS)
@pytest.mark.parametrize("spot", [False, True], ids=["black76", "spot"])
def test_numbers_are_the_batch_functions(backend, spot):
    rng = np.random.default_rng(3)
    f, k, t, v, call = chain(rng, 40)
    d = discounts(0.03, t)
    if spot:
        price = tarvik.black_scholes_prices(f, k, t, 0.03, 0.01, v, call)
        iv = tarvik.black_scholes_implied_volatilities(price, f, k, t, 0.03, 0.01, call)
        greeks = tarvik.black_scholes_greeks(f, k, t, 0.03, 0.01, iv, call)
        market = dict(spot="under", rate=0.03, dividend="q")
    else:
        price = d * tarvik.black_prices(f, k, t, v, call)
        iv = tarvik.black_implied_volatilities(price / d, f, k, t, call)
        greeks = {name: d * value for name, value in tarvik.black_greeks(f, k, t, iv, call).items()}
        greeks["theta"] = greeks["theta"] + 0.03 * greeks["price"]
        market = dict(forward="under", rate=0.03)
    types = np.where(call, "Call", "p")
    df = make(backend, {"under": f, "strike": k, "maturity": t, "type": types, "price": price,
                        "q": np.full(40, 0.01), "iv": np.zeros(40)})
    out = frame.implied_volatilities(df, maturity="maturity", **market)
    assert type(out) is type(df) and list(out.columns)[:7] == list(df.columns)
    assert list(out.columns).count("iv") == 1  # replaced, not repeated
    assert np.array_equal(column(out, "iv"), iv)
    for name, want in greeks.items():
        if name != "price":
            assert np.allclose(column(out, name), want, rtol=1e-14, atol=0), name
    assert errors(out) == [None] * 40
    back = frame.prices(out, vol="iv", maturity="maturity", **market)
    assert np.allclose(column(back, "price"), price, rtol=1e-12)
    if backend == "pandas":
        assert list(out.index) == list(df.index)


@pytest.mark.parametrize("backend", BACKENDS)
def test_each_reason_and_dates(backend):
    valuation = dt.datetime(2026, 3, 20, 9, 30)
    expiries = [dt.datetime(2026, 6, 19, 16), dt.datetime(2026, 6, 19, 16),
                dt.datetime(2026, 6, 19, 16), dt.datetime(2026, 6, 19, 16),
                dt.datetime(2026, 3, 20, 9, 30), dt.datetime(2026, 6, 19, 16),
                dt.datetime(2026, 6, 19, 16), dt.datetime(2026, 6, 19, 16)]
    df = make(backend, {
        "expiry": expiries,
        "strike": [100.0, 100.0, 100.0, 100.0, 100.0, None, 100.0, 100.0],
        "type": ["C", "put", "x", "P", "c", "c", "c", "1"],
        "bid": [4.0, 4.0, 4.0, 0.0, 4.0, 4.0, 6.0, 150.0],
        "ask": [4.2, 4.2, 4.2, 4.2, 4.2, 4.2, 5.0, 160.0]})
    out = frame.implied_volatilities(df, bid="bid", ask="ask", forward=100.0, expiry="expiry",
                                      valuation=valuation, option_type="type")
    assert errors(out) == [None, None, "unparsable_type", "one_sided_quote", "expired",
                           "missing_value", "crossed_quote", "price_above_maximum"]
    # 91 days and 6.5 hours, ACT/365F, hand-computed.
    years = (91 + 6.5 / 24) / 365
    assert column(out, "iv")[0] == tarvik.black_implied_volatility(4.1, 100.0, 100.0, years, True)
    aware = frame.implied_volatilities(
        make(backend, {"strike": [100.0], "type": ["c"], "price": [4.1]}), forward=100.0,
        expiry=dt.datetime(2026, 6, 19, 12, tzinfo=dt.timezone(dt.timedelta(hours=-4))),
        valuation=dt.date(2026, 3, 20))
    assert column(aware, "iv")[0] == tarvik.black_implied_volatility(
        4.1, 100.0, 100.0, (91 + 16 / 24) / 365, True)


@pytest.mark.parametrize("backend", BACKENDS)
def test_parity_recovers_forward_and_discount(backend):
    rng = np.random.default_rng(8)
    strikes = np.tile(np.linspace(70, 130, 13), 4)
    t = np.repeat([0.25, 1.0], 26)
    f = np.where(t == 0.25, 101.5, 104.0)
    d = np.where(t == 0.25, 0.99, 0.96)
    call = np.tile(np.repeat([True, False], 13), 2)
    vol = np.tile(rng.uniform(0.15, 0.35, 13), 4)  # one smile, calls and puts alike
    price = d * tarvik.black_prices(f, strikes, t, vol, call)
    df = make(backend, {"maturity": t, "strike": strikes, "type": call, "price": price})
    par = frame.parity_forwards(df, maturity="maturity")
    assert list(par.columns) == ["maturity", "forward", "discount", "pairs", "residual"]
    assert np.allclose(column(par, "forward"), [101.5, 104.0], rtol=1e-12)
    assert np.allclose(column(par, "discount"), [0.99, 0.96], rtol=1e-12)
    assert list(par["pairs"].to_list()) == [13, 13] and np.all(column(par, "residual") < 1e-12)
    out = frame.implied_volatilities(df, forward="parity", maturity="maturity")
    assert np.allclose(column(out, "iv"), vol, rtol=1e-9)
    with pytest.raises(ValueError, match="parity"):
        frame.implied_volatilities(df, forward="parity", maturity="maturity", rate=0.01)


@pytest.mark.parametrize("strikes, noise", [
    (np.linspace(50.0, 150.0, 21), 1e-3),
    (np.linspace(4990.0, 5010.0, 9), 1e-6),  # narrow and far from 0: the ill-conditioned fit
    (np.array([1e-3, 2e-3, 5e-3]), 0.0),
])
def test_parity_line_is_least_squares_to_the_last_digits(strikes, noise):
    # Against the normal equations solved in 50 digits.
    mpmath = pytest.importorskip("mpmath")
    mpmath.mp.dps = 50
    rng = np.random.default_rng(5)
    y = 0.97 * (strikes.mean() * 1.01 - strikes) + rng.normal(0.0, noise, strikes.size)
    forward, discount, residual = tarvik._core._parity_line(strikes, y)
    k, v = [mpmath.mpf(float(x)) for x in strikes], [mpmath.mpf(float(x)) for x in y]
    km, vm = mpmath.fsum(k) / len(k), mpmath.fsum(v) / len(v)
    d = -mpmath.fsum((a - km) * (b - vm) for a, b in zip(k, v)) / mpmath.fsum((a - km) ** 2 for a in k)
    rms = mpmath.sqrt(mpmath.fsum((b - vm + d * (a - km)) ** 2 for a, b in zip(k, v)) / len(k))
    assert abs(discount - d) <= 1e-12 * abs(d) and abs(forward - (km + vm / d)) <= 1e-13 * forward
    assert abs(residual - rms) <= 1e-6 * noise + 1e-15 * float(sum(abs(x) for x in v))


@pytest.mark.parametrize("strikes, y", [([100.0], [1.0]), ([100.0, 100.0], [1.0, 2.0]),
                                        ([90.0, 110.0], [3.0, 3.0])],
                         ids=["one_point", "one_strike", "flat"])
def test_parity_line_without_a_forward(strikes, y):
    forward, discount, _ = tarvik._core._parity_line(np.array(strikes), np.array(y))
    assert np.isnan(forward) and (np.isnan(discount) or discount == 0.0)


def parity_chain(rng):
    """Quotes of three expiries (the last with one strike on both sides),
    noisy enough that leaving a quote out of the fit moves its forward, and
    a fault in each of the first two: row 2 crossed (or without a price),
    row 13 without a volatility."""
    k = np.tile(np.linspace(80, 120, 5), 4).tolist() + [100.0, 100.0, 90.0]
    t = np.repeat([0.25, 1.0, 0.5], [10, 10, 3])
    call = np.array(np.tile(np.repeat([True, False], 5), 2).tolist() + [True, False, True])
    vol = rng.uniform(0.15, 0.3, 23)
    mid = np.exp(-0.03 * t) * tarvik.black_prices(100.0, np.array(k), t, vol, call)
    mid += rng.normal(0, 0.01, 23)
    bid, ask = mid - 0.02, mid + 0.02
    bid[2] = ask[2] + 0.5
    vol[13] = np.nan
    return dict(maturity=t, strike=k, type=call, vol=vol, bid=bid, ask=ask,
                quote=np.where(bid > ask, np.nan, mid))


@pytest.mark.parametrize("backend", BACKENDS)
@pytest.mark.parametrize("quoted", [dict(price="quote"), dict(bid="bid", ask="ask")],
                         ids=["price", "mid"])
def test_prices_on_parity_forwards_are_prices_on_the_forwards_of_parity_forwards(
        backend, quoted):
    data = parity_chain(np.random.default_rng(4))
    if "bid" in quoted:
        del data["quote"]
    par = frame.parity_forwards(make(backend, data), maturity="maturity", **quoted)
    at = np.searchsorted(column(par, "maturity"), data["maturity"])
    given = make(backend, {**data, "f": column(par, "forward")[at],
                           "d": column(par, "discount")[at]})
    want = frame.prices(given, forward="f", discount="d", maturity="maturity", audit=True)
    got = frame.prices(make(backend, data), forward="parity", maturity="maturity", audit=True,
                       **quoted)
    # The crossed quote is priced; the missing volatility's quote is in the fit.
    assert errors(got) == errors(want) == [None] * 13 + ["missing_value"] + [None] * 6 + [
        "missing_value"] * 3
    assert list(got.columns) == [*data, *list(want.columns)[len(data) + 2:]]  # price among them
    for name in list(want.columns)[len(data) + 2:-1]:
        assert column(got, name).tobytes() == column(want, name).tobytes(), name


@pytest.mark.parametrize("backend", BACKENDS)
@pytest.mark.parametrize("kind", ["normal", "shift", "shift_col"])
def test_normal_model_and_shifted_lognormal_are_the_batch_functions(backend, kind):
    rng = np.random.default_rng(11)
    n = 30
    f = rng.uniform(-0.01, 0.03, n)
    k = f + rng.normal(0, 0.01, n)
    t = rng.uniform(0.1, 10.0, n)
    call = rng.random(n) < 0.5
    d = discounts(0.02, t)
    shift = np.full(n, 0.03) if kind == "shift_col" else 0.03
    if kind == "normal":
        ivs, prices, greeks = (tarvik.bachelier_implied_volatilities, tarvik.bachelier_prices,
                               tarvik.bachelier_greeks)
        v, args, model = rng.uniform(0.002, 0.015, n), (f, k), dict(model="normal")
    else:
        ivs, prices, greeks = (tarvik.black_implied_volatilities, tarvik.black_prices,
                               tarvik.black_greeks)
        v, args = rng.uniform(0.1, 0.6, n), (f + shift, k + shift)
        model = dict(shift="d" if kind == "shift_col" else 0.03)
    price = d * prices(*args, t, v, call)
    iv = ivs(price / d, *args, t, call)
    want = {name: d * value for name, value in greeks(*args, t, iv, call).items()}
    df = make(backend, {"forward": f, "strike": k, "maturity": t, "type": np.where(call, "c", "p"),
                        "price": price, "d": np.broadcast_to(shift, (n,))})
    out = frame.implied_volatilities(df, rate=0.02, **model)
    assert np.array_equal(column(out, "iv"), iv) and errors(out) == [None] * n
    for name in ("delta", "gamma", "vega", "vanna", "vomma"):
        assert np.allclose(column(out, name), want[name], rtol=1e-14, atol=0), name
    back = frame.prices(out, vol="iv", rate=0.02, **model)
    assert np.allclose(column(back, "price"), price, rtol=1e-12, atol=1e-18)


def test_american_exercise_is_the_american_functions():
    pd = pytest.importorskip("pandas")
    f, k, t, v, call = chain(np.random.default_rng(5), 6)
    price = tarvik.american_prices(f, k, t, 0.05, 0.01, v, call)
    df = pd.DataFrame({"spot": f, "strike": k, "maturity": t, "type": np.where(call, "c", "p"),
                       "price": price})
    out = frame.implied_volatilities(df, spot="spot", rate=0.05, dividend=0.01,
                                     maturity="maturity", exercise="american")
    iv = tarvik.american_implied_volatilities(price, f, k, t, 0.05, 0.01, call)
    assert np.array_equal(column(out, "iv"), iv)
    greeks = tarvik.american_greeks(f, k, t, 0.05, 0.01, iv, call)
    assert all(np.array_equal(column(out, g), greeks[g], equal_nan=True) for g in ("delta", "rho"))


@pytest.mark.parametrize("backend", BACKENDS)
@pytest.mark.parametrize("dtype", ["int8", "uint32", "int64", "float32", "decimal"])
@pytest.mark.parametrize("given", ["column", "lazy", "series", "array"])
def test_numbers_of_any_width_are_float64_and_lazy_frames_stay_lazy(backend, dtype, given):
    native = pytest.importorskip(backend)
    if (given == "lazy" and backend == "pandas") or (dtype == "decimal" and given == "array"):
        pytest.skip("no lazy pandas frame; no NumPy array of Decimals")
    f, _, t, v, call = chain(np.random.default_rng(3), 9)
    k = np.linspace(60, 127.5, 9).astype("float32" if dtype == "decimal" else dtype)
    price = tarvik.black_prices(f, k.astype(np.float64), t, v, call)
    df = make(backend, {"forward": f, "maturity": t, "type": call, "price": price})
    values = [__import__("decimal").Decimal(float(x)) for x in k] if dtype == "decimal" else k
    series = native.Series(values, index=df.index) if backend == "pandas" else native.Series(
        "k", values)
    strike = {"series": series, "array": k}.get(given, "strike")
    if isinstance(strike, str):
        df = df.assign(strike=series) if backend == "pandas" else df.with_columns(strike=series)
    out = frame.implied_volatilities(df.lazy() if given == "lazy" else df, strike=strike)
    if given == "lazy":
        assert isinstance(out, native.LazyFrame)
        out = out.collect()
    assert np.array_equal(column(out, "iv"), tarvik.black_implied_volatilities(
        price, f, k.astype(np.float64), t, call))
    assert backend == "polars" or out.index.equals(df.index)


def test_polars_needs_no_pyarrow():
    pytest.importorskip("polars")
    from fresh_interpreter import run_python
    printed = run_python("""
        import sys, datetime as dt

        class NoArrow:
            def find_spec(self, name, path=None, target=None):
                if name.split(".")[0] == "pyarrow":
                    raise ModuleNotFoundError(f"No module named {name!r}")

        sys.meta_path.insert(0, NoArrow())
        import polars as pl, tarvik.frame as fr
        chain = pl.DataFrame({"expiry": [dt.date(2026, 6, 19)] * 4 + [dt.date(2026, 9, 18)] * 4,
                              "strike": [95.0, 95.0, 105.0, 105.0] * 2, "type": ["c", "p"] * 4,
                              "vol": [0.2] * 8, "price": [8.3, 3.6, 3.1, 8.2, 9.4, 4.9, 4.6, 9.5]})
        text = chain.with_columns(pl.col("expiry").cast(pl.Utf8))
        aware = chain.with_columns(pl.col("expiry").cast(pl.Datetime("us", "Asia/Tokyo")))
        on = dict(expiry="expiry", valuation=dt.date(2026, 3, 20))
        print(fr.parity_forwards(text, **on).shape, fr.implied_volatilities(
            text.lazy(), forward="parity", audit=True, **on).collect().shape,
            fr.prices(aware, forward=100.0, **on).shape, "pyarrow" in sys.modules)
    """)
    assert printed == "(2, 5) (8, 17) (8, 12) False"


@pytest.mark.parametrize("args, message", [
    (dict(spot="forward", model="normal"), "not on spot="),
    (dict(spot="forward", shift=0.01), "shift= is for Black-76"),
    (dict(model="normal", shift=0.01), "shift= is for Black-76"),
    (dict(model="lognormal"), "model= is"),
    (dict(exercise="bermudan"), "exercise= is"),
    (dict(exercise="american"), "for the spot model"),
    (dict(spot="forward", discount=0.9, model="normal"), "not on spot="),  # the first rule told
    (dict(dividend=0.01), "belongs to the spot model"),
    (dict(rate=0.01, discount=0.9), "not both"),
    (dict(forward="parity", rate=0.01), "gives the discount factor too"),
    # The quotes are read before the rules on parity forwards are told.
    (dict(forward="parity", rate=0.01, strike="k"), "no column 'k'"),
])
def test_model_and_shift_refuse_what_they_do_not_apply_to(args, message):
    pd = pytest.importorskip("pandas")
    df = pd.DataFrame({"forward": [1.0], "strike": [1.0], "maturity": [1.0], "type": ["c"],
                       "price": [0.1]})
    with pytest.raises(ValueError, match=message):
        frame.implied_volatilities(df, **args)


@pytest.mark.parametrize("options, model", [
    ([], dict(forward="forward")),
    (["--rate-col", "rate", "--shift-col", "shift"], dict(forward="forward", rate="rate",
                                                         shift="shift")),
    (["--model", "normal", "--discount-col", "discount"], dict(forward="forward", model="normal",
                                                              discount="discount")),
    (["--spot-col", "forward", "--rate-col", "rate"], dict(spot="forward", rate="rate")),
    # The command line's spot model takes a rate column by default.
    (["--spot-col", "forward", "--exercise", "american"], dict(spot="forward", rate="rate",
                                                               exercise="american")),
    (["--forward", "parity"], dict(forward="parity")),
], ids=["black76", "shifted_discounted", "normal", "spot", "american", "parity"])
def test_the_command_line_gives_what_the_frame_layer_gives(tmp_path, options, model):
    # One table of quotes with a fault of each kind in some rows, through
    # both readers: the same numbers, bit for bit, and the same reasons.
    pd = pytest.importorskip("pandas")
    from tarvik import cli
    t = np.repeat([91 / 365, 273 / 365], 10)
    strike = np.tile([80.0, 90.0, 100.0, 110.0, 120.0], 4)
    call = np.tile(np.repeat([True, False], 5), 2)
    price = np.exp(-0.02 * t) * tarvik.black_prices(101.0, strike, t, 0.25, call)
    data = {"expiry": np.where(t < 0.5, "2026-06-19", "2026-12-18"), "strike": strike,
            "type": np.where(call, "C", "P"), "bid": price - 0.01, "ask": price + 0.01,
            "forward": np.full(20, 101.0), "rate": np.full(20, 0.02),
            "discount": np.exp(-0.02 * t), "shift": np.full(20, 2.0)}
    data["expiry"][0] = "2026-01-16"  # expired
    data["type"][6] = "x"
    data["strike"][13] = np.nan
    data["bid"][16], data["bid"][18] = data["ask"][16] + 1, 0.0  # crossed, one-sided
    df = pd.DataFrame(data)
    df.to_csv(tmp_path / "q.csv", index=False, na_rep="")
    assert cli.main(["iv", str(tmp_path / "q.csv"), "-o", str(tmp_path / "o.csv"),
                     "--expiry-col", "expiry", "--valuation-date", "2026-03-20",
                     "--bid-col", "bid", "--ask-col", "ask", "--audit", *options]) == 0
    got = pd.read_csv(tmp_path / "o.csv", keep_default_na=False)
    want = frame.implied_volatilities(df, bid="bid", ask="ask", expiry="expiry",
                                      valuation="2026-03-20", audit=True, **model)
    assert list(got.columns) == list(want.columns)
    assert [e or None for e in got["error"]] == errors(want)
    assert errors(want).count(None) >= 12
    for name in want.columns[len(data):-1]:
        values = got[name].replace("", "nan").astype(np.float64).to_numpy()
        assert column(want, name).tobytes() == values.tobytes(), name


@pytest.mark.parametrize("backend", BACKENDS)
@pytest.mark.parametrize("model", [
    dict(forward="forward", rate="rate"), dict(forward="forward", discount="discount"),
    dict(forward="forward", shift=0.5),  # the forward as given, not shifted; undiscounted
    dict(spot="forward", rate="rate"),  # the forward the spot model prices on
], ids=["rate", "discount", "shifted", "spot"])
def test_audit_says_what_each_row_was_computed_from(backend, model):
    f, k, t, v, call = chain(np.random.default_rng(12), 8)
    discount = np.ones(8) if "shift" in model else discounts(0.03, t)
    bid = discount * tarvik.black_prices(f, k, t, v, call)
    k[2] = np.nan  # a row without a result still tells what it had
    df = make(backend, {"forward": f, "strike": k, "maturity": t, "type": call, "rate": 0.03,
                        "discount": discounts(0.03, t), "vol": v, "bid": bid, "ask": bid + 0.02})
    out = frame.implied_volatilities(df, bid="bid", ask="ask", audit=True, **model)
    assert list(out.columns)[-5:] == ["used_mid", "used_forward", "used_discount",
                                      "used_maturity", "error"]
    assert np.array_equal(column(out, "used_mid"), (bid + (bid + 0.02)) * 0.5)
    spot_forwards = [tarvik.black_scholes_forward(s, x, 0.03, 0.0) for s, x in zip(f, t)]
    assert np.array_equal(column(out, "used_forward"), spot_forwards if "spot" in model else f)
    assert np.array_equal(column(out, "used_discount"), discount)
    assert np.array_equal(column(out, "used_maturity"), t) and errors(out)[2] == "missing_value"
    assert list(frame.prices(df, audit=True, **model).columns)[-4:-1] == [
        "used_forward", "used_discount", "used_maturity"]


# Each reason a field gives, the same from a frame and from the command line.
@pytest.mark.parametrize("name, value, reason", [
    ("strike", "", "missing_value"), ("strike", "abc", "unparsable"),
    ("strike", "1_0", "unparsable"), ("price", " 8.0 ", None), ("type", "", "missing_value"),
    ("type", "x", "unparsable_type"), ("expiry", "", "missing_value"),
    ("expiry", "2026-13-45", "unparsable"), ("expiry", "soon", "unparsable"),
    ("valuation", "", "missing_value"), ("valuation", "yesterday", "unparsable")])
@pytest.mark.parametrize("backend", BACKENDS)
def test_empty_is_missing_and_garbage_unparsable_in_frames_and_on_the_command_line(
        tmp_path, backend, name, value, reason):
    from tarvik import cli
    columns = {"expiry": ["2026-06-19"] * 3, "valuation": ["2026-03-20"] * 3,
               "strike": ["95", "100", "105"], "type": ["c", "p", "c"],
               "price": ["8.0", "6.0", "4.0"]}
    columns[name][1] = value
    got = frame.implied_volatilities(make(backend, columns), forward=100.0, expiry="expiry",
                                     valuation="valuation")
    rows = [["forward", *columns], *(["100", *row] for row in zip(*columns.values()))]
    (tmp_path / "q.csv").write_text("".join(",".join(row) + "\n" for row in rows))
    assert cli.main(["iv", str(tmp_path / "q.csv"), "-o", str(tmp_path / "o.csv"), "--expiry-col",
                     "expiry", "--valuation-col", "valuation"]) == 0
    out = [line.split(",") for line in (tmp_path / "o.csv").read_text().splitlines()[1:]]
    assert [row[-1] or None for row in out] == errors(got) == [None, reason, None]
    assert column(got, "iv").tobytes() == np.array([row[6] or "nan" for row in out],
                                                   np.float64).tobytes()


@pytest.mark.parametrize("backend", BACKENDS)
@pytest.mark.parametrize("dates", [True, False], ids=["ex_date", "time"])
def test_dividend_schedule_joins_each_row_to_its_underlying(backend, dates):
    # Two underlyings with dividends, one without (Black-Scholes, bit for
    # bit); a row whose strike is rejected keeps its group's reason.
    names = ["ABC", "XYZ", "ABC", "QQQ", "XYZ", "ABC"]
    s = np.array([100.0, 50.0, 100.0, 80.0, 50.0, 100.0])
    k = np.array([95.0, 50.0, 105.0, 100.0, -1.0, 100.0])
    call = np.array([True, False, False, True, True, True])
    v = np.array([0.25, 0.3, 0.25, 0.2, 0.3, 0.4])
    times = {"ABC": [0.25, 0.75], "XYZ": [0.5]}
    amounts = {"ABC": [1.0, 1.5], "XYZ": [0.5]}
    order = [("ABC", 1), ("XYZ", 0), ("ABC", 0)]  # unsorted, by underlying
    schedule = {"underlying": [u for u, _ in order], "amount": [amounts[u][j] for u, j in order]}
    if dates:  # whole days: ACT/365F
        times = {u: [round(365 * x) / 365 for x in ts] for u, ts in times.items()}
        schedule["ex_date"] = [dt.date(2026, 1, 1) + dt.timedelta(days=round(365 * times[u][j]))
                               for u, j in order]
        when = dict(expiry=dt.date(2027, 1, 1), valuation="2026-01-01")
    else:
        schedule["time"] = [times[u][j] for u, j in order]
        when = dict(maturity=1.0)
    quotes = make(backend, {"name": names, "strike": k, "type": ["C" if c else "P" for c in call],
                            "vol": v, "spot": s})
    out = frame.prices(quotes, spot="spot", rate=0.04, underlying="name",
                       dividend_schedule=make(backend, schedule), **when)
    for i, name in enumerate(names):
        args = (s[i], k[i], 1.0, 0.04, 0.0, v[i], bool(call[i]))
        kw = dict(dividend_times=times.get(name, []), dividend_amounts=amounts.get(name, []))
        if k[i] < 0:
            assert errors(out)[i] == "negative_strike"
            continue
        assert column(out, "price")[i] == tarvik.european_price(*args, **kw)
        assert column(out, "delta")[i] == tarvik.european_greeks(*args, **kw)["delta"][0]
    quotes = make(backend, {"name": names, "strike": k, "type": ["C" if c else "P" for c in call],
                            "price": column(out, "price"), "spot": s})
    back = frame.implied_volatilities(quotes, spot="spot", rate=0.04, underlying="name",
                                      dividend_schedule=make(backend, schedule), greeks=False, **when)
    assert np.allclose(column(back, "iv")[k > 0], v[k > 0], rtol=1e-9)


def test_dividend_schedule_with_american_exercise():
    # Each row takes american_price with the schedule (on a yield, a call's
    # exercise between ex-dates too); at a negative rate a call on a yield is
    # refused: its reason, the kind of the batch function's refusal.
    pd = pytest.importorskip("pandas")
    quotes = pd.DataFrame({"strike": [95.0, 105.0, 100.0], "type": ["C", "C", "P"],
                           "vol": [0.25, 0.3, 0.25], "maturity": [1.0, 0.5, 1.0]})
    schedule = pd.DataFrame({"time": [0.25, 0.75], "amount": [2.0, 2.5]})
    kw = dict(dividend_times=[0.25, 0.75], dividend_amounts=[2.0, 2.5])
    for r, q in ((0.04, 0.0), (0.04, 0.01), (-0.01, 0.01)):
        out = frame.prices(quotes, spot=100.0, rate=r, dividend=q, exercise="american",
                           dividend_schedule=schedule)
        for i, row in quotes.iterrows():
            if r < 0.0 and row.type == "C":
                assert math.isnan(out["price"][i]) and errors(out)[i] == "invalid_input"
                continue
            want = tarvik.american_price(100.0, row.strike, row.maturity, r, q, row.vol,
                                         row.type == "C", **kw)
            assert out["price"][i] == want


@pytest.mark.parametrize("args, message", [
    (dict(forward=100.0), "dividend_schedule= belongs to the spot model"),
    (dict(spot=100.0, schedule={"ex_date": ["2026-06-01"], "amount": [1.0]}),
     "with ex_date needs valuation="),
    (dict(spot=100.0, schedule={"time": [0.5]}), "an 'amount' column"),
    (dict(spot=100.0, schedule={"time": [0.5, 0.7], "amount": ["1", "x"]}), "row 1: unparsable"),
])
def test_dividend_schedule_misuse_is_told(args, message):
    pd = pytest.importorskip("pandas")
    schedule = pd.DataFrame(args.pop("schedule", {"time": [0.5], "amount": [1.0]}))
    quotes = pd.DataFrame({"strike": [100.0], "type": ["C"], "vol": [0.2], "maturity": [1.0]})
    with pytest.raises(ValueError, match=message):
        frame.prices(quotes, dividend_schedule=schedule, **args)
