"""Options on a stock paying cash dividends (european_price,
european_implied_volatility, european_greeks, the American functions with a
schedule, and their batches): against the recursion of
reference/dividend_smoothing.py and quadrature in mpmath, the closed forms
where the dividends do not matter or fall on the expiry date, the
no-arbitrage bounds, differences of prices, and the checks of a schedule."""
import importlib.util
import math
import pathlib

import numpy as np
import pytest
import tarvik
from hypothesis import given, settings
from hypothesis import strategies as st
from fresh_interpreter import run_python

DAY = 1 / 365
SOURCES = pathlib.Path(__file__).parents[1] / "reference"
needs_references = pytest.mark.skipif(
    not (SOURCES / "dividend_smoothing.py").exists() or importlib.util.find_spec("scipy") is None,
    reason="the reference scripts (and SciPy, which they use) are not beside the tests")


def reference(name):
    spec = importlib.util.spec_from_file_location(name, SOURCES / f"{name}.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def price(s, k, t, r, q, vol, call, times, amounts, exercise="european"):
    return getattr(tarvik, exercise + "_price")(s, k, t, r, q, vol, call, dividend_times=times,
                                                dividend_amounts=amounts)


def error(got, want, strike):
    return abs(got - want) / max(want, 1e-4 * strike)


QUARTERLY = ([0.1, 0.35, 0.6, 0.85], [1.2, 1.2, 1.3, 1.3])


OPTIONS = [
    (100.0, 100.0, 1.0, 0.05, 0.01, 0.3, call, *QUARTERLY) for call in (True, False)] + [
    # Large dividends at high volatility, the last on the expiry date: the
    # spot often ends near a dividend, where the cap squeezes the value
    # function (a trapezoid sum in the spot before the dividend was off by
    # 2e-8 of the price here).
    (97.68, 100.0, 2.9644, 0.0873, 0.0029, 0.6185, False,
     [0.0411, 0.0822, 0.2192, 1.4137, 1.7233, 2.9644], [1.14, 1.94, 2.75, 4.31, 3.32, 0.23]),
    # The last stretch far shorter than the one before (its order exchanged).
    (150.0, 100.0, 200 * DAY, 0.02, 0.0, 0.15, True, [20 * DAY, 199 * DAY], [3.0, 4.0]),
    (60.0, 100.0, 2.0, 0.08, 0.03, 1.0, False, [0.5, 1.0, 1.5], [2.0, 2.0, 2.0]),
    (100.0, 100.0, 0.5, 0.0, 0.0, 0.05, True, [0.25], [5.0]),
]
NAMES = ["quarterly-call", "quarterly-put", "capped", "exchanged", "deep-put", "one"]


# European exercise as given; American for the calls, on no yield or on a
# yield below a negative rate (exercised just before an ex-date).
@needs_references
@pytest.mark.parametrize("option, exercise", [
    *[pytest.param(o, "european", id=n) for o, n in zip(OPTIONS, NAMES)],
    *[pytest.param(o[:4] + (0.0,) + o[5:], "american", id="american-" + n)
      for o, n in zip(OPTIONS, NAMES) if o[6]],
    *[pytest.param(o[:3] + (-0.01, -0.03) + o[5:], "american", id="american-negative-" + n)
      for o, n in zip(OPTIONS, NAMES) if o[6]]])
def test_prices_meet_the_reference_recursion(option, exercise):
    want = reference("dividend_smoothing").price(*option, american=exercise == "american")
    assert error(price(*option, exercise), want, option[1]) < 1e-10


@pytest.mark.parametrize("times, amounts", [
    ([], []), (None, None), ([1.5, 2.0], [3.0, 1.0]), ([0.5], [0.0]),
    (np.array([0.25, 0.5]), np.zeros(2)),
], ids=["empty", "none", "after-expiry", "zero", "zero-array"])
@pytest.mark.parametrize("call", [True, False])
def test_without_a_dividend_that_counts_every_function_is_black_scholes(times, amounts, call):
    args = (100.0, 95.0, 1.0, 0.03, 0.01, 0.25, call)
    kw = dict(dividend_times=times, dividend_amounts=amounts)
    p = tarvik.black_scholes_price(*args)
    assert tarvik.european_price(*args, **kw) == p
    iv = tarvik.black_scholes_implied_volatility(p * 1.01, *args[:5], call)
    assert tarvik.european_implied_volatility(p * 1.01, *args[:5], call, **kw) == iv
    want = tarvik.black_scholes_greeks(*args)
    got = tarvik.european_greeks(*args, **kw)
    assert all(np.array_equal(got[f], want[f]) for f in want)
    # The American functions: their own bits without a schedule.
    assert tarvik.american_price(*args, **kw) == tarvik.american_price(*args)
    am = tarvik.american_price(*args)
    assert (tarvik.american_implied_volatility(am * 1.01, *args[:5], call, **kw)
            == tarvik.american_implied_volatility(am * 1.01, *args[:5], call))
    want, got = tarvik.american_greeks(*args), tarvik.american_greeks(*args, **kw)
    assert all(np.array_equal(got[f], want[f]) for f in want)


@pytest.mark.parametrize("call", [True, False])
@pytest.mark.parametrize("vol", [0.05, 0.4])
def test_a_dividend_on_the_expiry_date_is_paid_before_the_payoff(call, vol):
    # The payoff on max(S_T - D, 0): a call of strike K + D; a put of strike
    # K + D less one of strike D (below D it pays K).
    s, k, t, r, q, d = 100.0, 100.0, 0.5, 0.04, 0.01, 3.0
    bs = tarvik.black_scholes_price
    want = (bs(s, k + d, t, r, q, vol, True) if call
            else bs(s, k + d, t, r, q, vol, False) - bs(s, d, t, r, q, vol, False))
    assert error(price(s, k, t, r, q, vol, call, [t], [d]), want, k) < 1e-12
    assert price(s, k, t, r, q, vol, call, [t + DAY], [d]) == bs(s, k, t, r, q, vol, call)


@pytest.mark.parametrize("call, q, exercise", [(True, 0.01, "european"), (False, 0.01, "european"),
                                               (True, 0.0, "american"), (True, -0.02, "american")])
def test_no_arbitrage(call, q, exercise):
    s, k, t, r = 100.0, 100.0, 1.5, 0.05
    times = [0.2, 0.7, 1.2]
    vols = [0.0, 0.01, 0.05, 0.2, 0.5, 1.0, 3.0]
    by_vol = [price(s, k, t, r, q, v, call, times, [2.0] * 3, exercise) for v in vols]
    assert all(a <= b for a, b in zip(by_vol, by_vol[1:])), by_vol
    limit = s * math.exp(-q * t) if call else k * math.exp(-r * t)
    assert 0.0 <= by_vol[0] and by_vol[-1] < limit
    amounts = (0.0, 0.5, 2.0, 10.0, 60.0)
    by_amount = [price(s, k, t, r, q, 0.3, call, times, [d] * 3, exercise) for d in amounts]
    steps = np.diff(by_amount)
    assert (steps < 0).all() if call else (steps > 0).all(), by_amount
    if exercise == "american":
        # Worth at least the European and the exercise value, at every spot.
        for spot in (50.0, 100.0, 150.0, 400.0):
            am = price(spot, k, t, r, q, 0.3, call, times, [2.0] * 3, exercise)
            eu = price(spot, k, t, r, q, 0.3, call, times, [2.0] * 3)
            assert am >= max(eu * (1 - 1e-12), spot - k), spot


@pytest.mark.parametrize("call, q, exercise", [(True, 0.02, "european"), (False, 0.02, "european"),
                                               (True, 0.0, "american")])
@pytest.mark.parametrize("s, times", [(100.0, [0.3, 0.8]), (70.0, [0.5]), (130.0, [0.01, 0.02])])
def test_greeks_meet_differences_of_prices(call, q, exercise, s, times):
    k, t, r, vol = 100.0, 1.0, 0.05, 0.35
    amounts = [2.0] * len(times)
    g = {f: float(a[0]) for f, a in getattr(tarvik, exercise + "_greeks")(
        s, k, t, r, q, vol, call, dividend_times=times, dividend_amounts=amounts).items()}
    # Five-point differences (errors of order h^4: a dividend days away bends
    # the price too much for the three-point ones at this step).
    h = 1e-3 * s
    f = [price(s + j * h, k, t, r, q, vol, call, times, amounts, exercise) for j in (-2, -1, 0, 1, 2)]
    assert g["price"] == f[2]
    delta = (8 * (f[3] - f[1]) - (f[4] - f[0])) / (12 * h)
    gamma = (16 * (f[3] + f[1]) - (f[4] + f[0]) - 30 * f[2]) / (12 * h**2)
    assert g["delta"] == pytest.approx(delta, rel=1e-7, abs=1e-10)
    assert g["gamma"] == pytest.approx(gamma, rel=1e-5, abs=1e-9)
    # theta = dV/dt: a day later, one day less to the expiry and each ex-date.
    dt = 1e-4
    later = price(s, k, t - dt, r, q, vol, call, [x - dt for x in times], amounts, exercise)
    earlier = price(s, k, t + dt, r, q, vol, call, [x + dt for x in times], amounts, exercise)
    assert g["theta"] == pytest.approx((later - earlier) / (2 * dt), rel=1e-5, abs=1e-7)
    # The yield's sensitivity, one-sided at q = 0 for American exercise.
    up = price(s, k, t, r, q + 1e-4, vol, call, times, amounts)
    down = price(s, k, t, r, q - 1e-4, vol, call, times, amounts, exercise)
    if exercise == "european":
        assert g["dividend_rho"] == pytest.approx((up - down) / 2e-4, rel=1e-5, abs=1e-7)
    else:
        assert g["dividend_rho"] == pytest.approx((f[2] - down) / 1e-4, rel=1e-3, abs=1e-5)


# (An American call in the money at 2% is worth its exercise just before the
# first ex-date to 1e-14 whatever the volatility below some 2.2%: no inversion.)
@pytest.mark.parametrize("call, exercise, vol", [
    (c, "european", v) for c in (True, False) for v in (0.02, 0.3, 1.5)
] + [(True, "american", 0.3), (True, "american", 1.5)])
def test_implied_volatility_inverts_the_price(call, exercise, vol):
    args = (100.0, 95.0, 1.0, 0.03, 0.0)
    kw = dict(dividend_times=QUARTERLY[0], dividend_amounts=QUARTERLY[1])
    pricer = getattr(tarvik, exercise + "_price")
    inverse = getattr(tarvik, exercise + "_implied_volatility")
    p = pricer(*args, vol, call, **kw)
    assert inverse(p, *args, call, **kw) == pytest.approx(vol, rel=1e-9)
    floor = pricer(*args, 0.0, call, **kw)
    assert inverse(floor, *args, call, **kw) == 0.0
    for bad, kind in ((floor - 1e-3, "price_below_intrinsic"), (1e3, "price_above_maximum")):
        with pytest.raises(tarvik.IVError) as exc:
            inverse(bad, *args, call, **kw)
        assert exc.value.args[0] == kind


@pytest.mark.parametrize("times, amounts, message", [
    ([0.5, 0.25], [1.0, 1.0], "dividend_times must be strictly increasing"),
    ([0.5, 0.5], [1.0, 1.0], "dividend_times must be strictly increasing"),
    ([0.0, 0.5], [1.0, 1.0], "dividend_times must be above 0"),
    ([-1.0], [1.0], "dividend_times must be above 0"),
    ([math.nan], [1.0], "dividend_times must be finite"),
    ([0.5], [-1.0], "dividend_amounts must not be negative"),
    ([0.5], [math.inf], "dividend_amounts must be finite"),
    ([0.5, 0.7], [1.0], "dividend_times and dividend_amounts must have one length"),
])
@pytest.mark.parametrize("function", ["european_price", "european_prices", "european_greeks",
                                      "european_implied_volatilities", "american_price",
                                      "american_greeks", "american_implied_volatilities"])
def test_a_bad_schedule_raises_invalid_input_naming_the_argument(times, amounts, message, function):
    with pytest.raises(tarvik.IVError) as exc:
        getattr(tarvik, function)(5.0, 100.0, 100.0, 1.0, 0.05, 0.0, True, dividend_times=times,
                                  dividend_amounts=amounts)
    assert exc.value.args == ("invalid_input", "invalid input: " + message)


@pytest.mark.parametrize("value", ["0.5", [0.5, "x"], np.ma.masked_array([0.5], [True]),
                                   np.array([1], dtype=np.int64), np.zeros((1, 1))])
def test_a_schedule_of_the_wrong_type_raises_type_error(value):
    with pytest.raises(TypeError, match="argument 'dividend_times'") as exc:
        tarvik.european_prices(100.0, 100.0, 1.0, 0.05, 0.0, 0.2, dividend_times=value,
                               dividend_amounts=[1.0])
    assert "keyword-only" in exc.value.__notes__[0]


def test_the_schedule_is_keyword_only_and_required():
    with pytest.raises(TypeError, match="takes 7 positional arguments but 9 were given"):
        tarvik.european_price(100.0, 100.0, 1.0, 0.05, 0.0, 0.2, True, [0.5], [1.0])
    with pytest.raises(TypeError, match="missing 2 required keyword-only arguments: "
                                        "'dividend_times' and 'dividend_amounts'"):
        tarvik.european_price(100.0, 100.0, 1.0, 0.05, 0.0, 0.2, True)


def test_a_scalar_call_first_in_a_process_takes_an_array_schedule():
    # NumPy's API is loaded on the first call that reads an array: here a
    # scalar function's schedule (it crashed the interpreter when no batch
    # function had run before).
    assert run_python("""
        import numpy as np, tarvik
        print(tarvik.european_price(100.0, 100.0, 1.0, 0.05, 0.0, 0.2, True,
                                    dividend_times=np.array([0.5]), dividend_amounts=[1.0]) > 0)
    """) == "True"


# Far out of the money a put comes through put-call parity as a difference
# of terms of the forward's size: their rounding was all that was left (1.5e-5
# at S = 1e10, K = 31, and 1e85 at S = 1e100, above the strike).
@pytest.mark.parametrize("american", [False, True], ids=["european", "american, never early"])
def test_a_put_far_out_of_the_money_is_worth_nothing(american):
    t, r, q = 1.91, -0.08 if american else 0.03, -0.06
    price = tarvik.american_price if american else tarvik.european_price
    spots = [1e3, 1e4, 1e10, 1e100, 1e200, 1e300]
    for vol in (0.2, 0.5, 1.0):
        prices = [price(s, 31.17, t, r, q, vol, False, dividend_times=QUARTERLY[0],
                        dividend_amounts=QUARTERLY[1]) for s in spots]
        assert all(0.0 <= p <= 31.17 * math.exp(-r * t) for p in prices)
        assert prices == sorted(prices, reverse=True)
        assert prices[-3:] == [0.0, 0.0, 0.0]


@settings(max_examples=60, deadline=None)
@given(st.floats(50.0, 200.0), st.floats(0.05, 2.0), st.floats(0.0, 0.1), st.floats(0.0, 0.05),
       st.floats(0.05, 0.4), st.lists(st.tuples(st.integers(1, 730), st.floats(0.0, 0.02)),
                                      min_size=1, max_size=8))
def test_put_call_parity_holds_where_the_cap_never_binds(s, t, r, q, vol, dividends):
    # Dividends of at most 2% of the spot at these volatilities leave the cap
    # (the spot below a dividend) odds of some 1e-12 or less: C - P is the
    # discounted forward less the strike, the dividends grown from their
    # ex-dates. Calls and puts take different routes through the recursion
    # (a put's last stretch by parity on the spot after a dividend).
    days = sorted({d for d, _ in dividends})
    times = [d / 365 for d in days]
    amounts = [s * dict(dividends)[d] for d in days]
    k = 100.0
    c, p = (price(s, k, t, r, q, vol, call, times, amounts) for call in (True, False))
    forward = s * math.exp((r - q) * t) - sum(
        a * math.exp((r - q) * (t - x)) for x, a in zip(times, amounts) if x <= t)
    assert c - p == pytest.approx(math.exp(-r * t) * (forward - k), abs=1e-10 * k)


# ---------------------------------------------------------- American calls --

def test_an_american_call_before_its_ex_date_meets_quadrature():
    # e^{-r t1} E[max(S1 - K, C(S1 - D, T - t1))] with q = 0 (Roll, Geske and
    # Whaley's case), in mpmath with the kink at the exercise boundary apart.
    mp = pytest.importorskip("mpmath")
    mp.mp.dps = 30
    s, k, t, t1, d, r, vol = 100, 100, mp.mpf("0.5"), mp.mpf("0.25"), 2, mp.mpf("0.05"), mp.mpf("0.25")

    def call(x, tau):
        d1 = (mp.log(x / k) + (r + vol**2 / 2) * tau) / (vol * mp.sqrt(tau))
        return x * mp.ncdf(d1) - k * mp.exp(-r * tau) * mp.ncdf(d1 - vol * mp.sqrt(tau))

    def spot(z):
        return s * mp.exp((r - vol**2 / 2) * t1 + vol * mp.sqrt(t1) * z)

    kink = mp.findroot(lambda z: spot(z) - k - call(spot(z) - d, t - t1), 1)
    want = mp.exp(-r * t1) * mp.quad(
        lambda z: max(spot(z) - k, call(spot(z) - d, t - t1)) * mp.npdf(z), [-12, kink, 12])
    got = price(100.0, 100.0, 0.5, 0.05, 0.0, 0.25, True, [0.25], [2.0], "american")
    assert error(got, float(want), 100.0) < 1e-12
    assert got > price(100.0, 100.0, 0.5, 0.05, 0.0, 0.25, True, [0.25], [2.0])


@pytest.mark.parametrize("s, times, amounts", [
    (300.0, [0.5], [5.0]),     # deep in the money: exercised just before the ex-date
    (100.0, [0.5], [150.0]),   # a dividend above the strike: exercised wherever S > K
    (100.0, [1.0], [3.0]),     # a dividend on the expiry date
    (100.0, [0.5, 0.5 + 1e-6], [2.0, 2.0]),  # two ex-dates seconds apart
])
def test_american_calls_at_the_edges_of_exercise(s, times, amounts):
    # Never below holding to the expiry, nor exercising just before the
    # first ex-date: a call to that date on the spot.
    k, t, r, vol = 100.0, 1.0, 0.05, 0.3
    got = price(s, k, t, r, 0.0, vol, True, times, amounts, "american")
    eu = price(s, k, t, r, 0.0, vol, True, times, amounts)
    before = tarvik.black_scholes_price(s, k, times[0], r, 0.0, vol, True)
    assert got >= max(eu, before) * (1 - 1e-12)
    assert got < s


# A put with r <= min(0, q) is never exercised early, with the dividends as
# without them: every American function is the European one, but for the
# rate stencils that would leave that region (one-sided at r = 0 or r = q).
@pytest.mark.parametrize("r, q, edge", [(-0.02, 0.01, None), (-0.02, -0.01, None), (0.0, 0.02, "rho"),
                                        (-0.01, -0.01, "both"), (0.0, 0.0, "both")])
@pytest.mark.parametrize("s", [60.0, 100.0, 140.0])
def test_american_puts_on_rates_at_or_below_zero_are_european(r, q, edge, s):
    args = (s, 100.0, 1.5, r, q)
    kw = dict(dividend_times=[0.2, 0.7, 1.2], dividend_amounts=[2.0, 2.0, 2.0])
    am = tarvik.american_price(*args, 0.3, False, **kw)
    assert am == tarvik.european_price(*args, 0.3, False, **kw)
    assert am >= 100.0 - s
    assert tarvik.american_prices(np.array([s]), 100.0, 1.5, r, q, 0.3, False, **kw)[0] == am
    assert tarvik.american_implied_volatility(am, *args, False, **kw) == pytest.approx(0.3, rel=1e-9)
    g = tarvik.american_greeks(*args, 0.3, False, **kw)
    e = tarvik.european_greeks(*args, 0.3, False, **kw)
    one_sided = ["rho", "dividend_rho"] if edge == "both" else [edge]
    for field in g:
        if field in one_sided:
            assert g[field] == pytest.approx(e[field], rel=1e-6)
        else:
            assert g[field] == e[field], field


# ------------------------------------------- American puts at r > 0 --

PORTFOLIO_PUT = (116.85926689735371, 100.0, 1.536986301369863, 0.016753943415073271,
                 0.018405388321437528, 0.080990522785902574,
                 [0.071232876712328766, 0.32054794520547947, 0.56986301369863013,
                  0.81917808219178079, 1.0684931506849316, 1.3178082191780822, 1.536986301369863],
                 [3.7417087001440321, 1.6062947931389209, 3.0963872145651679, 5.3271182119250851,
                  1.7139234231954239, 0.825860332748098, 2.5060037467967389])


# Nine dividends; one stretch's boundary sinks far below any spot the price
# can reach.
OUT_OF_REACH_PUT = (63.71057773773256, 100.0, 1.4465753424657535, 0.01356784107332576,
                    0.037882562172995106, 0.39055784889166933,
                    [0.18904109589041096, 0.6575342465753424, 0.7041095890410959,
                     0.8410958904109589, 1.1863013698630136, 1.2657534246575342,
                     1.4027397260273973, 1.4082191780821918, 1.4465753424657535],
                    [0.22883207891224802, 0.7754704670164361, 0.18460315001949615,
                     2.2253777581052727, 1.1409036557621908, 2.911864809664785,
                     0.9561123851095218, 0.9157165563857078, 0.9240487779126138])

# At 72% and 76% volatility, where a stretch's boundary lies at a tenth of
# its dividend and far below the spot: Ghat's slope strayed from its value
# there, the node solves lost their footing and both were no_convergence.
HIGH_VOL_PUTS = [
    (67.8930057389386, 100.0, 1.178082191780822, 0.07380325247488174, 0.005033867934805869,
     0.7228250096982785,
     [0.1589041095890411, 0.4328767123287671, 0.4575342465753425, 0.5342465753424658,
      1.1452054794520548, 1.180821917808219],
     [1.3870822792290567, 1.7898959841062678, 2.407441189088146, 0.6523565432929866,
      2.7996067145767944, 2.3379761370504815]),
    (101.87496914408139, 100.0, 2.819178082191781, 0.06151208891369114, 0.04676519245777531,
     0.7635435336312814, [2.780821917808219, 2.813698630136986],
     [3.5121213167865712, 1.5012163152975113]),
]

# Exercised between ex-dates, against the node-by-node prototype in NumPy
# (reference/dividend_put_boundary.py, minutes a price) and the
# Crank-Nicolson reference reference/american_lcp with its own error
# estimate (--levels 8 --budget 4000000; the last two at --levels 7
# --budget 2000000): the cap branch only (the region above D never opens
# before the ex-date), q > 0 (a steep rise), q = 0 (the region above D
# opening at once, after a dividend of 2% and of 0.5%), seven dividends, and
# nine where one stretch's boundary sinks far below any spot the price can
# reach (at --levels 7; it was no_convergence), and HIGH_VOL_PUTS (at
# --levels 7).
@pytest.mark.parametrize("option, prototype, lcp, lcp_error", [
    ((100.0, 100.0, 0.1, 0.05, 0.0, 0.3, [0.05], [0.5]), 3.8111654388307112, 3.81116542899, 3.1e-7),
    ((55.0, 100.0, 1.0, 0.05, 0.02, 0.3, [0.5], [2.0]), 45.10920678739335, 45.109206785665542,
     2.15e-8),
    ((100.0, 100.0, 1.0, 0.05, 0.0, 0.3, [0.5], [2.0]), 10.748170889619612, 10.748170885, 4.2e-8),
    ((80.0, 100.0, 1.0, 0.05, 0.0, 0.3, [0.5], [2.0]), 22.3610925054, 22.361092513, 8.4e-8),
    (PORTFOLIO_PUT, None, 5.3869388946024204, 8.72e-8),
    ((90.0, 100.0, 0.5, 0.05, 0.0, 0.2, [0.25], [0.5]), None, 10.85644996957013, 1.67e-5),
    (OUT_OF_REACH_PUT, None, 49.49417054928156, 1.5e-8),
    (HIGH_VOL_PUTS[0], None, 44.577086694968862, 2.04e-6),
    (HIGH_VOL_PUTS[1], None, 42.574870397602808, 2.78e-7),
], ids=["cap-only", "steep", "opening", "opening-itm", "seven-dividends", "small-dividend",
        "out-of-reach", "high-vol-six-dividends", "high-vol-long-stretch"])
def test_american_puts_exercised_between_ex_dates_meet_two_references(option, prototype, lcp,
                                                                       lcp_error):
    got = price(*option[:6], False, *option[6:], "american")
    if prototype is not None:
        assert got == pytest.approx(prototype, rel=3e-12)
    assert abs(got - lcp) <= lcp_error


# On no yield at 50% volatility after a dividend of 0.5% of the strike, the
# first step past the opening's doubling ones interpolated the boundary
# down to 0 (no_convergence before; never a number that missed the
# opening, as 27.0580 for the first, from a boundary held near 0): the
# reference's price (american_lcp --levels 7, its estimate beside).
@pytest.mark.parametrize("s, lcp, lcp_error", [
    (80.0, 27.116386439451087, 6e-7), (100.0, 17.653274743373938, 8.2e-7),
    (120.0, 11.428221755718107, 1.5e-6)])
def test_an_american_put_priced_at_the_opening(s, lcp, lcp_error):
    got = tarvik.american_price(s, 100.0, 1.0, 0.05, 0.0, 0.5, False, dividend_times=[0.5],
                                dividend_amounts=[0.5])
    assert abs(got - lcp) <= lcp_error


def test_a_put_whose_boundary_is_held_out_of_reach_keeps_the_no_arbitrage_order():
    # The volatility and the amounts moved by 3% either way: other node
    # layouts, held or solved to the end; the price moves with both, and
    # stays above the European one.
    s, k, t, r, q, vol, times, amounts = OUT_OF_REACH_PUT
    by_vol = [price(s, k, t, r, q, vol * f, False, times, amounts, "american")
              for f in (0.97, 1.0, 1.03)]
    by_amount = [price(s, k, t, r, q, vol, False, times, [a * f for a in amounts], "american")
                 for f in (0.97, 1.0, 1.03)]
    assert by_vol == sorted(by_vol) and by_amount == sorted(by_amount)
    assert by_vol[1] == by_amount[1] >= price(s, k, t, r, q, vol, False, times, amounts)


@pytest.mark.parametrize("q", [0.0, 0.02])
def test_american_puts_with_dividends_keep_the_no_arbitrage_order(q):
    # At least the European price and the American price without the
    # dividends (the drops only help a put), at least K - S; growing with the
    # volatility and with the amount.
    s, k, t, r = 90.0, 100.0, 0.5, 0.05
    by_vol = [price(s, k, t, r, q, vol, False, [0.25], [2.5], "american") for vol in (0.15, 0.3, 0.5)]
    by_amount = [price(s, k, t, r, q, 0.3, False, [0.25], [d], "american") for d in (2.0, 2.5, 3.0)]
    assert by_vol == sorted(by_vol) and by_amount == sorted(by_amount)
    assert by_vol[1] == by_amount[1]
    assert by_vol[1] >= max(price(s, k, t, r, q, 0.3, False, [0.25], [2.5]),
                            tarvik.american_price(s, k, t, r, q, 0.3, False), k - s)


@pytest.mark.parametrize("s, t, r, q, times, amounts", [
    (50.0, 1.0, 0.05, 0.0, [0.5], [1.0]),     # exercised now
    (100.0, 1.0, 0.05, 0.0, [0.2], [10.0]),   # just after a large dividend
    (100.0, 10.0, 0.02, 0.5, [1.0], [1.0]),   # where the spot falls through r K / q
    (110.0, 1.0, 0.01, 0.0, [0.5], [1.0]),    # at expiry, if at all
])
def test_an_american_put_at_zero_volatility_takes_its_best_exercise_time(s, t, r, q, times,
                                                                         amounts):
    # The deterministic path's best discounted gain, on a fine grid of times
    # (each ex-date's drop taken just before its instant), is the price at
    # vol = 0 and the floor of the implied volatility.
    k = 100.0
    u = np.union1d(np.linspace(0.0, t, 400001), times)
    spot = s * np.exp((r - q) * u)
    for x, d in zip(times, amounts):
        spot = np.where(u >= x, spot - d * np.exp((r - q) * (u - x)), spot)
    want = np.max(np.exp(-r * u) * np.maximum(k - np.maximum(spot, 0.0), 0.0))
    got = price(s, k, t, r, q, 0.0, False, times, amounts, "american")
    assert got == pytest.approx(want, rel=1e-9)
    kw = dict(dividend_times=times, dividend_amounts=amounts)
    assert tarvik.american_implied_volatility(got, s, k, t, r, q, False, **kw) == 0.0
    with pytest.raises(tarvik.IVError) as exc:
        tarvik.american_implied_volatility(got - 1e-3, s, k, t, r, q, False, **kw)
    assert exc.value.args[0] == "price_below_intrinsic"


def test_american_put_greeks_and_volatility_with_dividends_follow_the_price():
    args = (55.0, 100.0, 1.0, 0.05, 0.02)
    kw = dict(dividend_times=[0.5], dividend_amounts=[2.0])
    p = tarvik.american_price(*args, 0.3, False, **kw)
    g = tarvik.american_greeks(*args, 0.3, False, **kw)
    up, down = (tarvik.american_price(55.0 * f, *args[1:], 0.3, False, **kw) for f in (1.001, 0.999))
    assert g["price"] == p
    assert g["delta"] == pytest.approx((up - down) / 0.11, rel=1e-6)
    assert g["gamma"] == pytest.approx((up - 2 * p + down) / 0.055**2, rel=1e-3)
    assert tarvik.american_implied_volatility(p, *args, False, **kw) == pytest.approx(0.3, rel=1e-9)
    spots = np.array([55.0, 70.0, 40.0])
    serial = tarvik.american_prices(spots, 100.0, 1.0, 0.05, 0.02, 0.3, False, **kw)
    assert serial[0] == p and serial[2] == 60.0
    assert np.array_equal(serial, tarvik.american_prices(spots, 100.0, 1.0, 0.05, 0.02, 0.3, False,
                                                         parallel=True, **kw))


def test_an_american_put_volatility_whose_prices_would_take_minutes_is_no_convergence():
    # Deep out of the money at a spot of 1e4 over five years: the search's
    # prices at low volatilities share one allowance of work.
    kw = dict(dividend_times=[1.5, 3.0, 4.32364974975586], dividend_amounts=[17.647] * 3)
    with pytest.raises(tarvik.IVError) as exc:
        tarvik.american_implied_volatility(59.9991060420873, 9999.979140460562, 9978.441963911057,
                                           5.0, 0.15, 0.15, False, **kw)
    assert exc.value.args[0] == "no_convergence"


@pytest.mark.parametrize("s, t, r, q, vol, time, amount", [
    # deep in the money: the price 1e-7 to 3e-6 of itself above its floor
    (51.59832471722322, 1.427293974090188, 0.014254294798930409, 0.012235512419974877,
     0.16964821047373607, 0.5037429354135307, 0.9388648476895779),
    (54.179161380332474, 0.5028467171969357, 0.05669012090196141, 0.012624469156594443,
     0.20704432419269064, 0.3857720410353461, 5.3143149197280568),
    # no information: the price within 2e-14 of its floor (a volatility of
    # 0.113 gave it too)
    (71.41630863306429, 0.6917045385918723, 0.016385527966996685, 0.003721927819732929,
     0.08799961590292019, 0.1077012806557848, 3.4191025115001907),
])
def test_an_american_put_volatility_deep_in_the_money(s, t, r, q, vol, time, amount):
    kw = dict(dividend_times=[time], dividend_amounts=[amount])
    p = tarvik.american_price(s, 100.0, t, r, q, vol, False, **kw)
    if p - tarvik.american_price(s, 100.0, t, r, q, 0.0, False, **kw) < 1e-9 * p:
        with pytest.raises(tarvik.IVError) as exc:
            tarvik.american_implied_volatility(p, s, 100.0, t, r, q, False, **kw)
        assert exc.value.args[0] == "no_convergence"
    else:
        got = tarvik.american_implied_volatility(p, s, 100.0, t, r, q, False, **kw)
        assert got == pytest.approx(vol, rel=1e-9)


# ----------------------------------- American calls on a positive yield --

PORTFOLIO_CALL = (73.80551457482049, 100.0, 2.276712328767123, 0.044770097213800146,
                  0.00971352831092881, 0.41602378102194587,
                  [0.22465753424657534, 0.3561643835616438, 0.7808219178082192,
                   0.958904109589041, 1.367123287671233, 1.9643835616438357, 2.2739726027397262],
                  [2.365254706779948, 0.3013901745253559, 2.815655808570961, 0.5947629839158944,
                   1.5676034906345162, 0.6788545637216405, 3.0890291564308767])


# Exercised above a boundary between ex-dates and just before them, against
# reference/american_lcp --levels 8 --budget 4000000 and its own estimate:
# the boundary starting at r K / q after an ex-date (r > q), at the spot
# where exercise just before it ends (r < q), r = 0, and seven dividends of
# the seeded portfolio.
@pytest.mark.parametrize("option, lcp, lcp_error", [
    ((100.0, 100.0, 1.0, 0.05, 0.01, 0.25, [0.25, 0.5, 0.75], [1.0] * 3), 10.159347609825897,
     1.56e-8),
    ((120.0, 100.0, 1.0, 0.01, 0.04, 0.3, [0.5], [2.0]), 22.888095476110621, 1.66e-7),
    ((100.0, 100.0, 1.0, 0.0, 0.03, 0.25, [0.25, 0.5, 0.75], [1.0] * 3), 7.7025490347813381,
     5.12e-7),
    (PORTFOLIO_CALL, 9.2988154708371216, 1.45e-7),
], ids=["from-r/q", "from-exercise-at-ex-date", "no-rate", "seven-dividends"])
def test_american_calls_exercised_between_ex_dates_meet_the_reference(option, lcp, lcp_error):
    assert abs(price(*option[:6], True, *option[6:], "american") - lcp) <= lcp_error


@pytest.mark.parametrize("s", [80.0, 130.0, 200.0])
def test_american_calls_meet_at_the_seam_of_the_two_methods(s):
    # On no yield a call is exercised only just before an ex-date (the
    # recursion); on the least yield, above a boundary (the march on K / S):
    # the two prices meet within what the yield itself moves.
    args = (s, 100.0, 1.0, 0.03)
    kw = dict(dividend_times=[0.3, 0.6], dividend_amounts=[2.0, 2.0])
    recursion = tarvik.american_price(*args, 0.0, 0.3, True, **kw)
    march = tarvik.american_price(*args, 1e-12, 0.3, True, **kw)
    assert march == pytest.approx(recursion, rel=1e-11)


@pytest.mark.parametrize("s", [90.0, 100.0, 130.0])
@pytest.mark.parametrize("vol", [0.1, 1.0])
def test_an_american_call_on_a_yield_before_a_dividend_on_the_expiry_date_is_the_call_without_it(
        s, vol):
    # Exercised just before the expiry's ex-date, max(S - K, (S - D - K)+) =
    # (S - K)+: the march on a last stretch of no length is the plain
    # American call, for any amount (the stock wiped out by 150 too).
    plain = tarvik.american_price(s, 100.0, 0.75, 0.04, 0.02, vol, True)
    for times, amounts in (([0.75], [4.0]), ([0.25, 0.75], [0.0, 150.0])):
        got = tarvik.american_price(s, 100.0, 0.75, 0.04, 0.02, vol, True, dividend_times=times,
                                    dividend_amounts=amounts)
        assert got == pytest.approx(plain, rel=1e-10)


def test_american_calls_on_a_yield_keep_the_no_arbitrage_order():
    # At least the European price and S - K; growing with the volatility,
    # falling as an amount grows.
    s, k, t, r, q = 130.0, 100.0, 1.0, 0.03, 0.04
    by_vol = [price(s, k, t, r, q, vol, True, [0.3, 0.6], [2.0, 2.0], "american")
              for vol in (0.15, 0.3, 0.5)]
    by_amount = [price(s, k, t, r, q, 0.3, True, [0.3, 0.6], [2.0, d], "american")
                 for d in (1.0, 2.0, 3.0)]
    assert by_vol == sorted(by_vol) and by_amount == sorted(by_amount, reverse=True)
    assert by_vol[1] == by_amount[1] >= max(price(s, k, t, r, q, 0.3, True, [0.3, 0.6], [2.0] * 2),
                                            s - k)


def test_american_call_greeks_and_volatility_on_a_yield_follow_the_price():
    args = (130.0, 100.0, 1.0, 0.03, 0.04)
    kw = dict(dividend_times=[0.3, 0.6], dividend_amounts=[2.0, 2.0])
    p = tarvik.american_price(*args, 0.3, True, **kw)
    g = tarvik.american_greeks(*args, 0.3, True, **kw)
    up, down = (tarvik.american_price(130.0 + h, *args[1:], 0.3, True, **kw) for h in (0.13, -0.13))
    assert g["price"] == p
    assert g["delta"] == pytest.approx((up - down) / 0.26, rel=1e-6)
    assert g["gamma"] == pytest.approx((up - 2 * p + down) / 0.13**2, rel=1e-4)
    assert tarvik.american_implied_volatility(p, *args, True, **kw) == pytest.approx(0.3, rel=1e-9)
    spots = np.array([130.0, 90.0, 400.0])
    serial = tarvik.american_prices(spots, *args[1:], 0.3, True, **kw)
    assert serial[0] == p and serial[2] == 300.0
    assert np.array_equal(serial, tarvik.american_prices(spots, *args[1:], 0.3, True,
                                                         parallel=True, **kw))


@pytest.mark.parametrize("s, t, r, q, times, amounts", [
    (100.0, 1.0, 0.05, 0.02, [0.25, 0.5, 0.75], [1.0] * 3),  # just before the first ex-date
    (150.0, 10.0, 0.1, 0.05, [1.0], [1.0]),  # where the spot rises through r K / q
    (300.0, 1.0, 0.05, 0.02, [0.5], [1.0]),  # now
])
def test_an_american_call_at_zero_volatility_takes_its_best_exercise_time(s, t, r, q, times,
                                                                         amounts):
    k = 100.0
    u = np.union1d(np.linspace(0.0, t, 400001), times)
    spot = s * np.exp((r - q) * u)
    for x, d in zip(times, amounts):  # each drop just after its instant
        spot = np.where(u > x, spot - d * np.exp((r - q) * (u - x)), spot)
    want = np.max(np.exp(-r * u) * np.maximum(spot - k, 0.0))
    assert price(s, k, t, r, q, 0.0, True, times, amounts, "american") == pytest.approx(
        want, rel=1e-9)


@pytest.mark.parametrize("call, r, q", [(True, -0.01, 0.02), (True, -0.02, -0.01),
                                        (False, -0.01, -0.02), (False, 0.05, -0.01)])
def test_american_exercise_with_dividends_is_refused_where_it_is_not_priced(call, r, q):
    kw = dict(dividend_times=[0.5], dividend_amounts=[1.0])
    with pytest.raises(tarvik.IVError) as exc:
        tarvik.american_price(100.0, 100.0, 1.0, r, q, 0.3, call, **kw)
    assert exc.value.args == ("invalid_input", "invalid input: American exercise with cash "
                              "dividends is priced for calls with dividend <= min(0, rate) "
                              "or with dividend > 0 and rate >= 0, and puts with rate <= "
                              "min(0, dividend) or with rate > 0 and dividend >= 0 only")
    codes = tarvik.error_codes(tarvik.american_prices, 100.0, 100.0, 1.0, r, q, 0.3, call, **kw)
    assert tarvik.ERROR_KINDS[codes[0]] == "invalid_input"


@pytest.mark.parametrize("vol", [0.05, 0.101758, 0.15])
def test_an_american_call_sure_to_be_exercised_is_never_below_its_zero_volatility_price(vol):
    # Deep in the money, exercised just before the first ex-date: the sums
    # rounded 2e-14 below the deterministic price, whose implied volatility
    # was then refused as below intrinsic.
    kw = dict(dividend_times=[0.2328767123287671, 0.4821917808219178],
              dividend_amounts=[2.797243043012545, 3.7458976166998466])
    args = (163.993993, 100.0, 0.673973, 0.09072, 0.0)
    p = tarvik.american_price(*args, vol, True, **kw)
    assert p >= tarvik.american_price(*args, 0.0, True, **kw)
    assert tarvik.american_implied_volatility(p, *args, True, **kw) >= 0.0
