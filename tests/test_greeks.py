"""Black-76 and spot-model sensitivities: each against a central finite
difference of its price, calls and puts; the identities between them; zero
volatility and extreme discount factors. Their input checks are compared
with their description in test_black.py."""

import functools
import inspect
import math
import random

import pytest
import tarvik

import correctly_rounded

GREEKS = ["delta", "gamma", "vega", "theta", "vanna", "vomma"]


@functools.cache
def takes_is_call(fn):
    return "is_call" in inspect.signature(fn).parameters


def evaluate(name, a, spot_model, is_call=True):
    """The Black-76 (forward = spot, no rates) or spot-model function `name`
    ("price" or a Greek) on the spot-model inputs a."""
    if spot_model:
        fn, args = getattr(tarvik, "black_scholes_" + name), dict(a)
    else:
        fn = getattr(tarvik, "black_price" if name == "price" else name)
        args = {"forward": a["spot"], "strike": a["strike"], "maturity": a["maturity"],
                "volatility": a["volatility"]}
    if takes_is_call(fn):
        args["is_call"] = is_call
    return fn(**args)


def random_inputs(rng, spot_model):
    """Valid inputs away from expiry and zero volatility."""
    u = rng.uniform
    a = {"spot": u(60, 140), "strike": u(60, 140), "maturity": u(0.1, 3), "rate": u(-0.05, 0.1),
         "dividend": u(-0.05, 0.1), "volatility": u(0.05, 0.8)}
    if not spot_model:
        a["rate"] = a["dividend"] = 0.0
    return a


def derivative(f, h, order):
    """Fourth-order central difference, so that truncation stays far below
    the tolerance even at low total volatility."""
    if order == 1:
        return (f(-2 * h) - 8 * f(-h) + 8 * f(h) - f(2 * h)) / (12 * h)
    return (-f(-2 * h) + 16 * f(-h) - 30 * f(0.0) + 16 * f(h) - f(2 * h)) / (12 * h * h)


# Greek: (tolerance floor in its own unit, difference of price(shifts) with
# the steps h_S, h_sigma, h_T on the scale over which d1 moves by about one).
FINITE_DIFFERENCES = {
    "delta": (1e-3, lambda p, hS, hv, hT: derivative(lambda h: p(spot=h), hS, 1)),
    "gamma": (1e-4, lambda p, hS, hv, hT: derivative(lambda h: p(spot=h), 10 * hS, 2)),
    "vega": (1.0, lambda p, hS, hv, hT: derivative(lambda h: p(volatility=h), hv, 1)),
    "theta": (1e-2, lambda p, hS, hv, hT: -derivative(lambda h: p(maturity=h), hT, 1)),
    "vanna": (1e-2, lambda p, hS, hv, hT: derivative(
        lambda dv: derivative(lambda h: p(spot=h, volatility=dv), 10 * hS, 1), 10 * hv, 1)),
    "vomma": (1.0, lambda p, hS, hv, hT: derivative(lambda h: p(volatility=h), 10 * hv, 2)),
    # spot model only: per unit of rate and of dividend yield
    "rho": (1.0, lambda p, hS, hv, hT: derivative(lambda h: p(rate=h), 1e-4, 1)),
    "dividend_rho": (1.0, lambda p, hS, hv, hT: derivative(lambda h: p(dividend=h), 1e-4, 1)),
}


@pytest.mark.parametrize("name, spot_model", [(n, m) for n in GREEKS for m in (False, True)]
                         + [("rho", True), ("dividend_rho", True)])
def test_finite_differences(name, spot_model):
    floor, difference = FINITE_DIFFERENCES[name]
    rng = random.Random(name)
    for i in range(400):
        a = random_inputs(rng, spot_model)
        s = a["volatility"] * math.sqrt(a["maturity"])
        forward = a["spot"] * math.exp((a["rate"] - a["dividend"]) * a["maturity"])
        damp = 1 + abs(math.log(forward / a["strike"])) / s
        is_call = i % 2 == 0
        if name not in ("delta", "theta", "rho", "dividend_rho"):  # the same for both
            is_call = forward < a["strike"]

        def price(**shifts):
            return evaluate("price", {k: v + shifts.get(k, 0.0) for k, v in a.items()},
                            spot_model, is_call)

        got = evaluate(name, a, spot_model, is_call)
        want = difference(price, 1e-3 * a["spot"] * s, 1e-3 * a["volatility"] / damp,
                          1e-3 * a["maturity"] / damp)
        assert abs(got - want) <= 1e-6 * (abs(got) + floor), (a, is_call, got, want)


def test_identities():
    rng = random.Random(3)
    for _ in range(500):
        a = random_inputs(rng, True)
        d_q = math.exp(-(a["dividend"] * a["maturity"]))
        parity = evaluate("delta", a, True, True) - evaluate("delta", a, True, False)
        assert abs(parity - d_q) <= 4.5e-16 * d_q
        parity = evaluate("delta", a, False, True) - evaluate("delta", a, False, False)
        assert abs(parity - 1) <= 4.5e-16
        vega, theta = evaluate("vega", a, False), evaluate("theta", a, False)
        want = -a["volatility"] / (2 * a["maturity"]) * vega
        assert abs(theta - want) <= 1e-15 * abs(want)
        # With r = q = 0 the spot model is Black-76 on F = S, bit for bit.
        a["rate"] = a["dividend"] = 0.0
        for name in ["price", *GREEKS]:
            for is_call in (True, False):
                assert evaluate(name, a, True, is_call) == evaluate(name, a, False, is_call), name


@pytest.mark.parametrize("name, args, expected", [
    # Delta of the intrinsic value: 1, 0.5, 0 for calls and 0, -0.5, -1 for
    # puts, in, at and out of the money; also where sigma*sqrt(T) underflows.
    ("delta", (110, 100, 1, 0.0, True), 1.0), ("delta", (110, 100, 1, -0.0, False), 0.0),
    ("delta", (100, 100, 1, 0.0, True), 0.5), ("delta", (100, 100, 1, 0.0, False), -0.5),
    ("delta", (90, 100, 1, 0.0, True), 0.0), ("delta", (90, 100, 1, 0.0, False), -1.0),
    ("delta", (100.0, 100.0, 1e-300, 1e-300, False), -0.5),
    ("black_scholes_delta", (110.0, 100.0, 1.0, 0.0, 0.01, 0.0, True), correctly_rounded.exp(-0.01)),
    ("black_scholes_delta", (100.0, 100.0, 1.0, 0.01, 0.01, -0.0, False), correctly_rounded.exp(-0.01) * -0.5),
    # Discount factors that underflow to 0.
    ("black_scholes_price", (100.0, 100.0, 1.0, 1000.0, 1000.0, 0.2, True), 0.0),
    ("black_scholes_delta", (100.0, 100.0, 1.0, 1000.0, 1000.0, 0.2, True), 0.0),
    *[(name, (110.0, 100.0, 1.0, 0.0), 0.0) for name in GREEKS[1:]],
    *[("black_scholes_" + name, (110.0, 100.0, 1.0, 0.05, 0.02, 0.0) + (True,) * (name == "theta"),
       0.0) for name in GREEKS[1:]],
])
def test_zero_volatility_and_discount_extremes(name, args, expected):
    got = getattr(tarvik, name)(*args)
    assert got == expected and math.copysign(1.0, got) == math.copysign(1.0, expected)
