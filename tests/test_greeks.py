"""Black-76 sensitivities and the spot model: bit-for-bit agreement with the
pure-Python model over random and extreme inputs, and the exact errors."""

import math
import random
import struct

import pytest

import model_greeks as model
import tarvik

EXTREMES = [0.0, -0.0, 5e-324, 1e-310, 1e-300, 1e-150, 1e-8, 1.0, 1e8, 1e150, 1e300,
            1.7976931348623157e308, math.inf, -math.inf, math.nan, -1.0, -1e-300,
            -1e300, 700.0, -700.0, 1000.0, -1000.0]

# Typical draws per argument role; any argument is replaced by an extreme
# value (or a random magnitude over the whole double range) one time in ten.
TYPICAL = {
    "price": lambda r: 100.0 * math.exp(r.gauss(0.0, 0.6)),
    "time": lambda r: r.uniform(1e-4, 5.0),
    "vol": lambda r: 0.0 if r.random() < 0.05 else r.uniform(0.0, 1.5),
    "rate": lambda r: r.uniform(-0.1, 0.2),
}
ROLES = {"forward": "price", "spot": "price", "strike": "price", "maturity": "time",
         "volatility": "vol", "rate": "rate", "dividend": "rate"}

FUNCTIONS = {
    "delta": "forward strike maturity volatility is_call",
    "gamma": "forward strike maturity volatility",
    "vega": "forward strike maturity volatility",
    "theta": "forward strike maturity volatility",
    "vanna": "forward strike maturity volatility",
    "vomma": "forward strike maturity volatility",
    "black_scholes_forward": "spot maturity rate dividend",
    "black_scholes_price": "spot strike maturity rate dividend volatility is_call",
    "black_scholes_delta": "spot strike maturity rate dividend volatility is_call",
    "black_scholes_gamma": "spot strike maturity rate dividend volatility",
    "black_scholes_vega": "spot strike maturity rate dividend volatility",
    "black_scholes_theta": "spot strike maturity rate dividend volatility is_call",
    "black_scholes_vanna": "spot strike maturity rate dividend volatility",
    "black_scholes_vomma": "spot strike maturity rate dividend volatility",
}


def draw(rng, names):
    args = {}
    for name in names:
        if name == "is_call":
            args[name] = rng.random() < 0.5
        elif rng.random() < 0.1:
            args[name] = (rng.choice(EXTREMES) if rng.random() < 0.6 else
                          rng.choice((-1, 1)) * 10.0 ** rng.uniform(-323, 308))
        else:
            args[name] = TYPICAL[ROLES[name]](rng)
    if "strike" in args and rng.random() < 0.05:  # at the money
        args["strike"] = args.get("forward", args.get("spot"))
    if "dividend" in args and rng.random() < 0.05:  # same F, extreme discount factors
        args["rate"] = args["dividend"] = rng.choice((-1000.0, -710.0, 710.0, 1000.0))
    return args


def outcome(fn, args, positional):
    try:
        value = fn(*args.values()) if positional else fn(**args)
    except (tarvik.IVError, model.ModelError) as e:
        return ("raised",) + e.args
    return ("value", struct.pack("<d", value) if not math.isnan(value) else "nan")


@pytest.mark.parametrize("name", FUNCTIONS)
def test_bit_exact_against_model(name):
    rng = random.Random(name)
    names = FUNCTIONS[name].split()
    mismatches = []
    for i in range(4000):
        args = draw(rng, names)
        got = outcome(getattr(tarvik, name), args, positional=i % 2 == 0)
        want = outcome(getattr(model, name), args, positional=True)
        if got != want:
            mismatches.append((args, got, want))
    assert mismatches == []


DISCOUNT_OVERFLOW = (100.0, 100.0, 1.0, -1000.0, -1000.0, 0.2)
BLACK_ERRORS = [
    ((math.nan, -1.0, 1.0, 0.2), "invalid_input", "invalid input: non-finite Black input"),
    ((-1.0, -1.0, -1.0, -1.0), "negative_forward", "forward must be positive, got -1"),
    ((100.0, -1.0, 1.0, 0.2), "negative_strike", "strike must be positive, got -1"),
    ((100.0, 100.0, 0.0, 0.2), "negative_time", "maturity must be positive, got 0"),
    ((100.0, 100.0, 1.0, -0.2), "invalid_input", "invalid input: volatility must be non-negative"),
]
SPOT_ERRORS = [
    ((math.nan, -1.0, 1.0, 0.0, 0.0, 0.2), "invalid input: non-finite Black-Scholes input"),
    ((0.0, math.nan, 1.0, 0.0, 0.0, 0.2), "invalid input: spot must be positive"),
    ((100.0, 100.0, math.inf, 0.0, 0.0, 0.2), "invalid input: non-finite Black input"),
    ((100.0, 100.0, 1.0, 1000.0, 0.0, 0.2), "invalid input: non-finite or non-positive forward"),
    (DISCOUNT_OVERFLOW, "invalid input: non-finite discount factors"),
]


@pytest.mark.parametrize("name", ["delta", "gamma", "vega", "theta", "vanna", "vomma"])
@pytest.mark.parametrize("args,kind,message", BLACK_ERRORS)
def test_black_errors(name, args, kind, message):
    extra = (True,) if name == "delta" else ()
    with pytest.raises(tarvik.IVError) as exc:
        getattr(tarvik, name)(*args, *extra)
    assert exc.value.args == (kind, message)


@pytest.mark.parametrize("name", [n for n in FUNCTIONS if n.startswith("black_scholes_")
                                  and n not in ("black_scholes_forward", "black_scholes_price")])
@pytest.mark.parametrize("args,message", SPOT_ERRORS)
def test_spot_errors(name, args, message):
    extra = (False,) if name in ("black_scholes_delta", "black_scholes_theta") else ()
    with pytest.raises(tarvik.IVError) as exc:
        getattr(tarvik, name)(*args, *extra)
    assert exc.value.args == ("invalid_input", message)


@pytest.mark.parametrize("fn,args,message", [
    ("price", DISCOUNT_OVERFLOW + (True,), "invalid input: non-finite discount factor"),
    ("price", (100.0, 100.0, 1.0, 0.0, 1000.0, 0.2, True),
     "invalid input: non-finite or non-positive forward from spot/rates"),
    ("forward", (100.0, 1.0, -1000.0, 0.0), "invalid input: non-finite or non-positive forward"),
    ("forward", (math.nan, 1.0, 0.0, 0.0), "invalid input: non-finite forward inputs"),
    ("forward", (0.0, 1.0, 0.0, 0.0), "invalid input: spot must be positive"),
])
def test_spot_price_and_forward_errors(fn, args, message):
    with pytest.raises(tarvik.IVError) as exc:
        getattr(tarvik, "black_scholes_" + fn)(*args)
    assert exc.value.args == ("invalid_input", message)
