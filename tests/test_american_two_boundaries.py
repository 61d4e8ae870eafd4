"""American options whose exercise region has two boundaries: puts with
q < r < 0 (exercised between a lower boundary starting at K r / q and an
upper one starting at K, which meet at some time to expiry tau*), calls with
r < q < 0 through the symmetry C(S, K, r, q) = P(K, S, q, r).

Reference values: the same equations solved on 64 nodes, 128 boundary points
and 384 premium points (american_price_with from C++); on 48, 96 and 256 they
agree to 3.3e-10. QuantLib 1.44's FdBlackScholesVanillaEngine (American
exercise, 2000x2000 and 4000x4000 grids, extrapolated; maturity one year at
rate r T, yield q T and volatility sigma sqrt(T)) agrees with every one to
1.4e-6 of the price or better except (60, 10 years), where the spot lies
within 0.15% of the upper boundary and its grid puts the price at the
exercise value 40 (the reference is 40.000118)."""
import math

import numpy as np
import pytest
import tarvik

# (spot, strike, maturity, rate, dividend, volatility, reference put price)
CASES = [
    (100.0, 100.0, 1.0, -0.01, -0.02, 0.2, 7.62528767510029),
    (90.0, 100.0, 5.0, -0.01, -0.03, 0.3, 28.0138774732249),  # meet at 1.98
    (100.0, 100.0, 5.0, -0.01, -0.03, 0.25, 19.4872924551462),  # meet at 3.47: the gap flat, then steep
    (60.0, 100.0, 10.0, -0.01, -0.05, 0.2, 40.0001180178177),
    (100.0, 100.0, 1.0, -0.05, -0.06, 0.05, 1.67814855138934),
    (105.0, 100.0, 2.0, -0.02, -0.08, 0.25, 8.75171929833849),
    (30.0, 100.0, 0.5, -0.005, -0.1, 0.4, 70.0),  # within the region: exercise now
    (120.0, 100.0, 3.0, -0.03, -0.04, 0.15, 3.67660740339755),
    (80.0, 100.0, 20.0, -0.01, -0.02, 0.5, 90.322478693836),
    (100.0, 100.0, 50.0, -0.02, -0.1, 0.5, 173.378063648321),
    (100.0, 100.0, 1.0 / 365, -0.02, -0.1, 0.3, 0.616704373444652),
    (5.0, 100.0, 1.0, -0.1, -0.2, 1.0, 104.423048542226),  # below K r / q
    (70.0, 100.0, 0.25, -0.15, -0.2, 0.1, 30.2351441903869),
]


@pytest.mark.parametrize("s, k, t, r, q, v, want", CASES)
def test_puts_and_their_calls_against_the_reference(s, k, t, r, q, v, want):
    put = tarvik.american_price(s, k, t, r, q, v, False)
    assert abs(put - want) <= 5e-9 * max(want, 1e-4 * k)
    assert put >= max(tarvik.black_scholes_price(s, k, t, r, q, v, False), k - s)
    call = tarvik.american_price(k, s, t, q, r, v, True)
    assert abs(call - put) <= 1e-13 * max(put, 1e-4 * k)


def test_batch_equals_scalar():
    s, k, t, r, q, v, _ = (np.array(c) for c in zip(*CASES))
    calls = np.arange(len(CASES)) % 2 == 1
    spots, strikes = np.where(calls, k, s), np.where(calls, s, k)
    rates, dividends = np.where(calls, q, r), np.where(calls, r, q)
    prices = tarvik.american_prices(spots, strikes, t, rates, dividends, v, calls)
    for i in range(len(CASES)):
        assert prices[i] == tarvik.american_price(spots[i], strikes[i], t[i], rates[i],
                                                  dividends[i], v[i], bool(calls[i]))


@pytest.mark.parametrize("s, k, t, r, q, v, is_call", [
    (100.0, 100.0, 1.0, -0.01, -0.02, 0.2, False), (90.0, 100.0, 5.0, -0.01, -0.03, 0.3, False),
    (120.0, 100.0, 3.0, -0.03, -0.04, 0.15, False), (100.0, 90.0, 5.0, -0.03, -0.01, 0.3, True),
    (80.0, 100.0, 20.0, -0.01, -0.02, 0.5, False)])
def test_delta_and_gamma_against_differences_of_prices(s, k, t, r, q, v, is_call):
    g = tarvik.american_greeks(s, k, t, r, q, v, is_call)
    price = lambda x: tarvik.american_price(x, k, t, r, q, v, is_call)
    h = 1e-3 * s
    delta = (8 * (price(s + h) - price(s - h)) - (price(s + 2 * h) - price(s - 2 * h))) / (12 * h)
    gamma = (16 * (price(s + h) + price(s - h)) - (price(s + 2 * h) + price(s - 2 * h))
             - 30 * price(s)) / (12 * h * h)
    assert g["price"][0] == price(s)
    assert abs(g["delta"][0] - delta) <= 1e-8
    assert abs(g["gamma"][0] - gamma) <= 1e-6 * abs(gamma)


def test_rises_with_volatility_and_tends_to_the_deterministic_value():
    spots = np.array([20.0, 45.0, 70.0, 95.0, 130.0])
    last = np.zeros_like(spots)
    for v in (0.0, 1e-4, 0.01, 0.05, 0.2, 0.8, 3.0):
        prices = np.array([tarvik.american_price(x, 100.0, 2.0, -0.03, -0.09, v, False)
                           for x in spots])
        assert np.all(prices >= last)
        last = prices
    # Without volatility: the best of stopping now, at T, or where the
    # discounted gain K e^{-r t} - S e^{-q t} is stationary.
    for x in spots:
        t_star = math.log(-0.09 * x / (-0.03 * 100.0)) / (-0.09 + 0.03)
        gain = lambda t: 100.0 * math.exp(0.03 * t) - x * math.exp(0.09 * t)
        times = [0.0, 2.0] + ([t_star] if 0.0 < t_star < 2.0 else [])
        zero = tarvik.american_price(x, 100.0, 2.0, -0.03, -0.09, 0.0, False)
        assert zero == pytest.approx(max(0.0, *map(gain, times)), rel=1e-14)
        tiny = tarvik.american_price(x, 100.0, 2.0, -0.03, -0.09, 1e-4, False)
        assert abs(tiny - zero) <= 1e-4 * 100.0


# Below K r / q the spot drifts up into the region: without volatility the
# put waits for it and is exercised at t* inside the life (it once stopped
# only at 0 or T, 90.169 where the value is 95.137, and small volatilities
# priced below the value). A call is the mirrored put.
@pytest.mark.parametrize("s, t, r, q", [(10.0, 30.0, -0.01, -0.05), (25.0, 8.0, -0.03, -0.09)])
@pytest.mark.parametrize("is_call", [False, True], ids=["put", "call"])
def test_zero_volatility_waits_for_the_region(s, t, r, q, is_call):
    t_star = math.log(q * s / (r * 100.0)) / (q - r)
    assert 0.0 < t_star < t
    exact = 100.0 * math.exp(-r * t_star) - s * math.exp(-q * t_star)
    args = (100.0, s, t, q, r) if is_call else (s, 100.0, t, r, q)
    zero = tarvik.american_price(*args, 0.0, is_call)
    assert zero == pytest.approx(exact, rel=1e-14)
    for v in (1e-4, 1e-3):
        assert zero <= tarvik.american_price(*args, v, is_call) <= zero + 1e-4 * 100.0


# At low volatility a spot below the region drifts into it years on, within
# a few months: the premium's integrand turns on over a sliver of the life
# (once 4e-6 and 1.3e-5 of the price off). References: the boundary method
# at 64 nodes and 400 points of the premium, and reference/american_lcp
# within its estimate (9e-8, 1.1e-9 and 5e-8 of the price).
@pytest.mark.parametrize("s, t, r, q, v, ref", [
    (10.0, 30.0, -0.01, -0.05, 3e-3, 95.13888813922114),
    (10.0, 30.0, -0.01, -0.05, 1e-2, 95.16240364491370),
    (84.961742824798122, 4.4601196938061634, -0.13956969715402723, -0.15623688733394273,
     0.00041707486216500272, 16.237022916708021)])
def test_a_spot_drifting_into_the_region(s, t, r, q, v, ref):
    assert tarvik.american_price(s, 100.0, t, r, q, v, False) == pytest.approx(ref, rel=1e-9)
    assert tarvik.american_price(100.0, s, t, q, r, v, True) == pytest.approx(ref, rel=1e-9)


# Long lives where the perpetual put has a region [Y_inf, B_inf] (the
# boundaries settle there; their sweeps did not, and these were refused):
# inside it the put is exercised now, below it worth the perpetual value.
# References: reference/american_lcp (its estimate 1.9e-9 and 6e-8 of the
# price).
@pytest.mark.parametrize("s, t, r, q, v, ref, rel", [
    (45.0, 30.0, -0.03, -0.09, 0.05, 55.0, 0.0),
    (45.0, 20.0, -0.03, -0.09, 0.01, 55.0, 0.0),
    (5.7313113546636814, 33.64918583316804, -0.010711808824155761, -0.1171160605701886,
     0.015531191044954953, 95.23651725329375, 2e-9),
    (11.500831036749275, 13.248407048284347, -0.037947607132246763, -0.1474449553589168,
     0.02094196236841514, 98.25128458186806, 6e-8)])
def test_long_lives_within_reach_of_the_perpetual_region(s, t, r, q, v, ref, rel):
    assert tarvik.american_price(s, 100.0, t, r, q, v, False) == pytest.approx(ref, rel=rel)
    assert tarvik.american_price(100.0, s, t, q, r, v, True) == pytest.approx(ref, rel=rel)


# Long lives whose sweeps do not settle over the whole life: the boundaries
# of half of it, extended past it by their value there and by the perpetual
# put's, bracket the price (refused before); and, where the perpetual put
# has no region (D < 0), the sweeps from a shorter span carried on to T.
# References: reference/american_lcp, its estimates 3.3e-11, 4.9e-10 and
# 4e-9 of the price.
@pytest.mark.parametrize("s, k, t, r, q, v, is_call, ref", [
    (7348.0115997489538, 100.0, 5.1049834727636929, -0.19424231255387267,
     -0.040918174346413594, 0.18573000934346948, True, 8785.4378756435781),
    (125.58919512115681, 100.0, 7.5213510184300203, -0.18148852196119986,
     -0.17098815535448889, 0.0071652003221465881, True, 62.858046073072366),
    (100.0, 100.0, 30.0, -0.03, -0.09, 0.2, False, 17.680652497150309)])
def test_long_lives_from_a_shorter_span(s, k, t, r, q, v, is_call, ref):
    assert tarvik.american_price(s, k, t, r, q, v, is_call) == pytest.approx(ref, rel=5e-9)
    assert tarvik.american_price(k, s, t, q, r, v, not is_call) == pytest.approx(ref, rel=5e-9)


@pytest.mark.parametrize("s, t, q, v", [(100.0, 1.0, -0.02, 0.2), (80.0, 5.0, -0.05, 0.3)])
def test_continuous_into_the_neighbouring_regimes(s, t, q, v):
    # r -> 0: the single-boundary pricer takes over at r > 0 (the step in r
    # small enough that rho, some -200 here, moves the price by 4e-10 only).
    below = tarvik.american_price(s, 100.0, t, -1e-12, q, v, False)
    above = tarvik.american_price(s, 100.0, t, 1e-12, q, v, False)
    assert abs(below - above) <= 2e-9 * above
    # r -> q: the premium vanishes into the European price at r = q.
    for gap, bound in ((1e-3, 1e-3), (1e-6, 1e-12)):
        r = q + gap
        american = tarvik.american_price(s, 100.0, t, r, q, v, False)
        european = tarvik.black_scholes_price(s, 100.0, t, r, q, v, False)
        assert 0.0 <= american - european <= bound * european


# Far from [K r / q, K] (in the put's form) at low volatility, where the
# premium is bounded below 1e-11 of the price by the chance of reaching that
# interval at all: the European price (the sweeps of these did not settle).
# References from reference/american_lcp with its error estimate.
@pytest.mark.parametrize("s, k, t, r, q, v, is_call, ref, est", [
    (70.0, 100.0, 0.09, -0.175, -0.11, 0.002, True, 0.0, 0.0),
    (37.0, 100.0, 45.0, -0.116, -0.042, 0.002, True, 0.0, 0.0),
    (2.5, 100.0, 0.2, -0.01, -0.16, 0.006, False, 97.618906362460734, 7.45e-09),
    (7400.0, 100.0, 0.05, -0.16, -0.03, 0.0065, True, 7310.3051205034271, 1.42e-07),
    (1.7, 100.0, 1.0, -0.02, -0.15, 0.05, False, 100.04501579023908, 3.28e-09)])
def test_far_from_the_region_at_low_volatility(s, k, t, r, q, v, is_call, ref, est):
    price = tarvik.american_price(s, k, t, r, q, v, is_call)
    assert abs(price - ref) <= est + 1e-9 * max(ref, 1e-4 * k)
    assert price == max(tarvik.black_scholes_price(s, k, t, r, q, v, is_call),
                        tarvik.american_price(s, k, t, r, q, 0.0, is_call))


# Low volatility over lives of thousands to millions of the time c =
# sigma^2 / (r - q)^2 in which the boundaries leave K and K r / q: the plain
# node map missed that first move and the sweeps did not settle (refused);
# the steep map finds the spot within the region, exercised now.
# reference/american_lcp (three to four levels) gives the same value.
@pytest.mark.parametrize("s, k, t, r, q, v, is_call, want", [
    (37.75, 100.0, 32.0, -0.0074, -0.0246, 3.6e-4, False, 62.25),
    (11.08, 100.0, 17.26, -0.0058, -0.153, 0.0076, False, 88.92),
    (370.9, 100.0, 5.9, -0.19, -0.0259, 0.0101, True, 270.9)])
def test_low_volatility_over_long_lives(s, k, t, r, q, v, is_call, want):
    assert tarvik.american_price(s, k, t, r, q, v, is_call) == pytest.approx(want, rel=1e-15)


# Long lives at high volatility (a steep boundary led by the variance), which
# were refused as no_convergence after some 0.1 s while the single-boundary
# tiers' 64 nodes spent the solver's bounded work. References from
# reference/american_lcp (seven levels) with its error estimate; the mirrored
# call has the same bits.
@pytest.mark.parametrize("s, t, r, q, v, ref, est", [
    (99.5, 4.2, -0.0587, -0.1877, 4.93, 127.95896340601257, 7.69e-09),
    (5.35, 45.9, -0.00137, -0.1955, 4.08, 106.49022383522983, 1.83e-09),
    (110.75, 11.85, -0.0086, -0.12, 3.56, 110.72838097008479, 2.01e-09),
    (142.3, 8.82, -0.04, -0.1156, 3.72, 142.30464274216413, 3e-09)])
def test_long_lives_at_high_volatility(s, t, r, q, v, ref, est):
    put = tarvik.american_price(s, 100.0, t, r, q, v, False)
    assert abs(put - ref) <= est + 1e-10 * max(ref, 1e-2)
    assert tarvik.american_price(100.0, s, t, q, r, v, True) == put


# A rate Greek whose central stencil meets a refused price (no_convergence one
# step above the yield here) takes the one-sided formula on the side whose
# prices all hold, not NaN.
def test_a_rate_greek_beside_a_refused_price():
    s, t, r, q, v = 28.9, 0.134, -0.0132, -0.0091, 4.1
    with pytest.raises(tarvik.IVError):
        tarvik.american_price(s, 100.0, t, r, q + 1e-3, v, True)
    got = float(tarvik.american_greeks(s, 100.0, t, r, q, v, True)["dividend_rho"][0])
    f = [tarvik.american_price(s, 100.0, t, r, q - j * 1e-3, v, True) for j in (0, 1, 2)]
    assert got == pytest.approx((3 * f[0] - 4 * f[1] + f[2]) / 2e-3, rel=1e-4)


# Where waiting grows the strike (r < 0) a put is worth more than K, a call
# (q < 0) more than S: their volatilities were refused as above the maximum,
# and a search that met a refused price (at the European volatility, over a
# long life) gave up at once.
@pytest.mark.parametrize("s, k, t, r, q, v, is_call", [
    (38.849325771833826, 100.0, 32.173179315942981, -0.14332530393356327, -0.1832735064533485,
     0.012437195992829031, False),
    (1361.0340782412432, 100.0, 28.695399841735632, -0.15989912083491825, -0.064664677922809333,
     0.018530139057225867, True)])
def test_volatility_of_a_price_above_the_strike_or_spot(s, k, t, r, q, v, is_call):
    price = tarvik.american_price(s, k, t, r, q, v, is_call)
    assert price > (s if is_call else k)
    assert tarvik.american_implied_volatility(price, s, k, t, r, q, is_call) == pytest.approx(
        v, rel=1e-9)
    limit = (s * math.exp(-q * t)) if is_call else (k * math.exp(-r * t))
    with pytest.raises(tarvik.IVError, match="exceeds maximum value"):
        tarvik.american_implied_volatility(limit, s, k, t, r, q, is_call)


# The same for the volatility Greeks: one price of their stencil refused (at
# sigma + 2h, h = sigma / 100), vega, vomma and vanna from the side below
# (vanna had taken the refused point's delta as 0: -0.004 became 18.0).
# The references: one-sided differences at h and h / 2, extrapolated.
def test_volatility_greeks_beside_a_refused_price():
    s, t, v = 1865.4839288393664, 0.46175834554804307, 4.115878321399308
    r, q = -0.1649085910092287, -0.1505370361149137
    h = 0.01 * v
    with pytest.raises(tarvik.IVError):
        tarvik.american_price(s, 100.0, t, r, q, v + 2 * h, True)
    got = {k: float(x[0]) for k, x in tarvik.american_greeks(s, 100.0, t, r, q, v, True).items()}
    price = lambda j, step: tarvik.american_price(s, 100.0, t, r, q, v - j * step, True)
    delta = lambda j, step: float(
        tarvik.american_greeks(s, 100.0, t, r, q, v - j * step, True)["delta"][0])
    first = lambda f, step: (3 * f(0, step) - 4 * f(1, step) + f(2, step)) / (2 * step)
    second = lambda f, step: (f(0, step) - 2 * f(1, step) + f(2, step)) / step**2
    vega = (4 * first(price, h / 2) - first(price, h)) / 3
    vomma = 2 * second(price, h / 2) - second(price, h)
    vanna = (4 * first(delta, h / 2) - first(delta, h)) / 3
    assert got["vega"] == pytest.approx(vega, rel=1e-5)
    assert got["vomma"] == pytest.approx(vomma, rel=1e-2)
    assert got["vanna"] == pytest.approx(vanna, rel=1e-2, abs=1e-4)
