"""Smiles and surfaces: the fit on chains of known smiles, the density against
differences of Black-76 prices, the arbitrage report, the saved form and the
expiries that cannot be fitted."""

import json
import math

import numpy as np
import pytest
import tarvik
from tarvik import surface

MATURITIES = (0.1, 0.5, 1.0, 2.0)
# Surfaces of each model whose total variance grows with T: raw SVI of an
# equity skew, and eSSVI with theta, psi growing and rho flattening.
MODELS = {
    "svi": [(0.04 * t, 0.1 * math.sqrt(t), -0.5, 0.0, 0.1 * math.sqrt(t)) for t in MATURITIES],
    "essvi": [(0.04 * t + 0.002, -0.7 + 0.1 * i, 0.2 * math.sqrt(0.04 * t + 0.002))
              for i, t in enumerate(MATURITIES)],
}


def model_w(smile, p, k):
    if smile == "svi":
        a, b, rho, m, sigma = p
        return a + b * (rho * (k - m) + np.sqrt((k - m) ** 2 + sigma**2))
    theta, rho, psi = p
    return 0.5 * (theta + rho * psi * k + np.sqrt((psi * k + theta * rho) ** 2 + theta**2 * (1 - rho**2)))


def chain(smile="essvi", n=40, seed=None):
    T = np.repeat(MATURITIES, n)
    F = 100.0 * np.exp(0.03 * T)
    z = np.tile(np.linspace(-2.5, 2.0, n), len(MATURITIES))
    K = F * np.exp(z * 0.25 * np.sqrt(T))
    k = np.log(K / F)
    w = np.concatenate([model_w(smile, p, k[i * n:(i + 1) * n]) for i, p in enumerate(MODELS[smile])])
    vols = np.sqrt(w / T)
    if seed is not None:
        vols = vols * (1 + 0.002 * np.random.default_rng(seed).standard_normal(vols.size))
    return K, F, T, vols


@pytest.mark.parametrize("smile", ["essvi", "svi"])
def test_fit_gives_known_smiles_back_and_saves_to_the_same_bits(smile):
    K, F, T, vols = chain(smile)
    s = surface.fit(K, F, T, vols, smile=smile)
    assert s.failures == {} and list(s.maturities) == list(MATURITIES)
    np.testing.assert_allclose(s.implied_volatilities(K, T), vols, rtol=1e-9)
    np.testing.assert_allclose(s.forward(T), F, rtol=1e-14)
    assert s.check()["free"]
    loaded = surface.Surface.from_dict(json.loads(json.dumps(s.to_dict())))
    k, t = np.linspace(-2, 2, 5001), np.linspace(0.01, 3, 5001)
    assert loaded.total_variance(k, t).tobytes() == s.total_variance(k, t).tobytes()
    assert s.total_variance(k, t, parallel=True).tobytes() == s.total_variance(k, t).tobytes()


@pytest.mark.parametrize("smile", ["essvi", "svi"])
def test_total_variance_between_and_beyond_expiries_never_falls_in_t(smile):
    s = surface.fit(*chain(smile, seed=3), smile=smile)
    k = np.linspace(-2, 2, 41)
    t = np.linspace(0.0, 4.0, 401)
    w = s.total_variance(k[:, None], t[None, :])
    assert np.all(np.diff(w, axis=1) >= -1e-15) and np.all(w[:, 0] == 0)
    if smile == "essvi":  # free of arbitrage by construction, beyond the last expiry too
        assert np.all(s.butterfly(k[:, None], t[None, 1:]) >= 0)


@pytest.mark.parametrize("smile", ["essvi", "svi"])
@pytest.mark.parametrize("t", [0.1, 0.75, 2.0])
def test_density_is_the_second_strike_difference_of_call_prices(smile, t):
    s = surface.fit(*chain(smile), smile=smile)
    f = float(s.forward(t))
    K = f * np.exp(np.linspace(-0.6, 0.4, 21) * math.sqrt(t))
    h = 2e-3 * f

    def call(k):
        return np.array([tarvik.black_price(f, x, t, float(v), True)
                         for x, v in zip(k, s.implied_volatilities(k, t, f))])

    def second(h):
        return (call(K + h) - 2 * call(K) + call(K - h)) / h**2

    differences = (4 * second(h / 2) - second(h)) / 3  # Richardson: O(h^4)
    np.testing.assert_allclose(s.density(K, t), differences, rtol=1e-6, atol=1e-10)


@pytest.mark.parametrize("smile", ["essvi", "svi"])
def test_noisy_quotes_fit_inside_their_spread_without_arbitrage(smile):
    K, F, T, vols = chain(smile, seed=7)
    s = surface.fit(K, F, T, vols, bid_vols=vols - 0.004, ask_vols=vols + 0.004, smile=smile)
    report = s.check()
    assert all(x["free"] for x in report["slices"])
    assert report["free"] or smile == "svi"  # raw SVI smiles may cross; eSSVI's never
    assert np.mean(np.abs(s.implied_volatilities(K, T) - vols) <= 0.004) >= 0.95


def test_an_arbitrageable_chain_gets_a_surface_free_of_arbitrage():
    # Vogt's smile (Gatheral and Jacquier 2014, Example 3.1) at every expiry:
    # butterfly arbitrage, and calendar arbitrage between equal smiles' vols.
    K, F, T, _ = chain()
    k = np.log(K / F)
    w = -0.0410 + 0.1331 * (0.3060 * (k - 0.3586) + np.sqrt((k - 0.3586) ** 2 + 0.4153**2))
    vols = np.sqrt(np.maximum(w, 1e-4) / T)
    for smile in ("essvi", "svi"):
        s = surface.fit(K, F, T, vols, smile=smile)
        assert all(x["free"] for x in s.check()["slices"]), smile
    assert surface.fit(K, F, T, vols).check()["free"]


@pytest.mark.parametrize("smile, maturities, parameters", [
    # Wings' slopes 2e-18 and 0 apart: rounding, not a calendar arbitrage.
    ("svi", [0.1, 0.2], [[0.01, 0.01, -0.9999999999999998, 0.1, 0.05], [0.02, 0.02, -1.0, 0.1, 0.05]]),
    # A fitted pair on the calendar bound: their raw slopes 2e-19 apart.
    ("essvi", [0.0273972602739726, 0.03287671232876712],
     [[0.0009544847612972138, -0.7405387838257962, 0.012622727816364827],
      [0.0011437374166797145, -0.7714057366201725, 0.014327167542381052]]),
    # One shape, theta an ulp apart, rho near -1: where the right wing's w
    # nears 0 (7e-11 at k = 0.5) its rounding, 1e-17, is 1e-7 of it.
    ("essvi", [0.1, 0.2],
     [[0.19035834412020528, -0.9999999998275082, 0.6170224374147554],
      [0.1903583441202053, -0.9999999998275082, 0.6170224374147554]]),
])
def test_smiles_that_touch_are_free_of_calendar_arbitrage(smile, maturities, parameters):
    report = surface.Surface(maturities, [100.0, 100.0], parameters, smile=smile).check()
    assert report["calendar"]["largest_violation"] == 0.0 and report["free"]


@pytest.mark.parametrize("smile", ["essvi", "svi"])
def test_expiries_that_cannot_be_fitted_are_reported_and_the_rest_fit(smile):
    K, F, T, vols = chain(smile)
    vols = vols.copy()
    bid, ask = vols - 0.01, vols + 0.01
    vols[T == 0.1] = np.where(np.arange(40) < 36, np.nan, vols[T == 0.1])  # 4 usable left
    bid[T == 0.5] = ask[T == 0.5] + 0.01  # every quote crossed
    s = surface.fit(K, F, T, vols, bid_vols=bid, ask_vols=ask, smile=smile)
    assert sorted(s.failures) == [0.1, 0.5] and list(s.maturities) == [1.0, 2.0]
    assert "fewer than 5" in s.failures[0.1]
    np.testing.assert_allclose(s.implied_volatilities(K, T)[T >= 1], vols[T >= 1], rtol=1e-6)


@pytest.mark.parametrize("kwargs, message", [
    ({"bid_vols": 0.2}, "bid_vols and ask_vols go together"),
    ({"smile": "sabr"}, "smile must be"),
    ({"weights": np.ones(3)}, "weights must have"),
])
def test_bad_arguments_are_named(kwargs, message):
    K, F, T, vols = chain()
    with pytest.raises(ValueError, match=message):
        surface.fit(K, F, T, vols, **kwargs)


@pytest.mark.parametrize("function, args, error", [
    ("_surface_values", (0, np.array([1.0, 0.5]), np.ones(2), np.zeros(10), 0.0, 1.0, 0), "increasing"),
    ("_surface_values", (0, np.ones(1), np.array([-1.0]), np.zeros(5), 0.0, 1.0, 0), "positive forwards"),
    ("_surface_values", (0, np.ones(1), np.ones(1), np.zeros(4), 0.0, 1.0, 0), "five parameters"),
    ("_surface_values", (0, np.ones(1), np.ones(1), np.zeros(5), np.zeros(3), np.ones(2), 0), "one length"),
    ("_surface_values", (0, np.ones(1), np.ones(1), np.zeros(5), 0.0, 1.0, 5), "quantity"),
    ("_surface_values", (2, np.ones(1), np.ones(1), np.zeros(5), 0.0, 1.0, 0), "smile"),
    ("_essvi_fit", (np.array([3.0, 3.0]), np.zeros(5), np.zeros(5), np.zeros(5)), "counts"),
    ("_essvi_fit", (np.array([2.5]), np.zeros(5), np.zeros(5), np.zeros(5)), "counts"),
    ("_essvi_as_svi", (np.zeros(4),), "three parameters"),
])
def test_core_rows_refuse_malformed_arguments(function, args, error):
    with pytest.raises(ValueError, match=error):
        getattr(tarvik._core, function)(*args)


@pytest.mark.parametrize("smile", ["essvi", "svi"])
@pytest.mark.parametrize("t", [0.05, 0.1, 0.3, 0.75, 2.0, 3.5])
def test_the_density_between_and_beyond_expiries_is_a_probability_with_the_forward_as_mean(smile, t):
    # Before, on, between and after the expiries: the blended slopes of the
    # rule in T must give a density of mass 1 and mean F(t).
    s = surface.fit(*chain(smile, seed=5), smile=smile)
    f = float(s.forward(t))
    k = np.linspace(-30.0, 8.0, 760001)  # the raw SVI wings are fat: far out
    K = f * np.exp(k)
    p = s.density(K, t)
    assert np.all(p >= 0)
    h = k[1] - k[0]
    mass, mean = (float(np.sum(y) - 0.5 * (y[0] + y[-1])) * h for y in (p * K, p * K * K))
    assert mass == pytest.approx(1.0, abs=1e-7) and mean == pytest.approx(f, rel=1e-7)


@pytest.mark.parametrize("t", [0.02, 0.1, 0.3, 1.0, 1.7, 2.0, 4.0])
def test_implied_volatilities_and_forwards_follow_the_rule_in_t(t):
    s = surface.fit(*chain(seed=2))
    T, lnF = s.maturities, np.log(s.parameters["forward"])
    # ln F linear in t between expiries, at the nearest segment's rate beyond.
    i = int(np.clip(np.searchsorted(T, t) - 1, 0, T.size - 2))
    want = lnF[i] + (t - T[i]) / (T[i + 1] - T[i]) * (lnF[i + 1] - lnF[i])
    assert s.forward(t) == pytest.approx(math.exp(want), rel=1e-15)
    K = s.forward(t) * np.exp(np.linspace(-1.0, 1.0, 9))
    k = np.log(K) - np.log(s.forward(t))
    np.testing.assert_allclose(s.implied_volatilities(K, t),
                               np.sqrt(s.total_variance(k, t) / t), rtol=1e-14)
    assert s.implied_volatilities(K, t, parallel=True).tobytes() == s.implied_volatilities(K, t).tobytes()


@pytest.mark.parametrize("args, message", [
    (([1.0, 0.5], [100.0, 100.0], [[0.04, -0.5, 0.2]] * 2), "increasing"),
    (([0.5, 1.0], [100.0, -1.0], [[0.04, -0.5, 0.2]] * 2), "forwards must be positive"),
    (([0.5], [100.0], [[0.04, -0.5, 0.2, 0.0]]), "3 parameters per maturity"),
    (([0.5], [100.0], [[0.04, -0.5]]), "3 parameters per maturity"),
])
def test_a_malformed_surface_is_refused(args, message):
    with pytest.raises(ValueError, match=message):
        surface.Surface(*args)


def test_a_saved_surface_keeps_its_failures_and_smile():
    K, F, T, vols = chain("svi")
    vols = np.where(T == 0.5, np.nan, vols)
    s = surface.fit(K, F, T, vols, smile="svi")
    loaded = surface.Surface.from_dict(json.loads(json.dumps(s.to_dict())))
    assert loaded.smile == "svi" and loaded.failures == s.failures == {0.5: "0 usable quotes, fewer than 5"}
    assert loaded.parameters.keys() == s.parameters.keys()


@pytest.mark.parametrize("seed", range(40))
def test_hostile_chains_never_give_a_smile_with_arbitrage(seed):
    # NaN, zero, negative, huge and repeated quotes among sound ones: every
    # expiry said fitted is free of butterfly arbitrage, and eSSVI's in order.
    rng = np.random.default_rng(seed)
    n = int(rng.integers(5, 120))
    T = rng.choice([0.02, 0.3, 1.0, 2.5], n)
    F = np.full(n, 100.0)
    K = 100.0 * np.exp(rng.normal(0, 0.3, n) * np.sqrt(T))
    vols = 0.2 + 0.1 * rng.standard_normal(n) ** 2 - 0.1 * np.log(K / F)
    bad = rng.random(n) < 0.2
    vols[bad] = rng.choice([np.nan, 0.0, -0.2, 1e300, np.inf, 5.0], int(bad.sum()))
    K[rng.random(n) < 0.1] = rng.choice([0.0, -5.0, np.nan, 1e-300, 1e300])
    for smile in ("essvi", "svi"):
        s = surface.fit(K, F, T, vols, smile=smile)
        report = s.check()
        assert all(x["free"] for x in report["slices"]), (smile, s.parameters)
        if smile == "essvi":
            assert report["calendar"]["largest_violation"] <= 0.0


def test_quotes_with_calendar_arbitrage_give_an_essvi_surface_without_it_and_svi_reports_it():
    # The second expiry's total variance below the first's in the wings:
    # eSSVI lifts it onto the first; raw SVI fits it, and check() says where.
    k = np.linspace(-0.6, 0.6, 25)
    first = model_w("essvi", (0.04, -0.6, 0.3), k)
    second = model_w("essvi", (0.05, 0.3, 0.1), k)
    assert np.any(second < first)
    K, F = 100.0 * np.exp(np.tile(k, 2)), np.full(50, 100.0)
    T = np.repeat([0.5, 1.0], 25)
    vols = np.sqrt(np.concatenate([first, second]) / T)
    report = surface.fit(K, F, T, vols).check()
    assert report["free"] and report["calendar"]["largest_violation"] == 0.0
    crossing = surface.fit(K, F, T, vols, smile="svi").check()["calendar"]
    assert crossing["largest_violation"] > 1e-4 and crossing["between"] == (0.5, 1.0)
