"""Golden digests of result bits: every function of the module over fixed,
seeded inputs (typical values, special values and arbitrary bit patterns),
hashed. A faster or refactored build must leave every digest unchanged. The
core's elementary functions are its own and correctly rounded, so the
digests are the same on every machine and C library.

    python tests/test_digests.py    # prints the digests of the build on PYTHONPATH
"""

import functools
import hashlib
import inspect

import numpy as np
import pytest
import tarvik

N_BATCH = 20000
N_SCALAR = 3000
# An American element costs some 0.1 ms (its implied volatility some 0.4),
# a European one with dividends up to a millisecond: fewer of them.
N_AMERICAN = 1000
N_DIVIDENDS = 300
# The schedule of the functions with cash dividends.
SCHEDULE = {"dividend_times": [0.05, 0.3, 0.8, 2.0], "dividend_amounts": [1.0, 0.5, 2.0, 1.5]}


def sizes(function):
    if function.__name__.startswith("european"):
        return (N_DIVIDENDS, N_DIVIDENDS)
    return (N_AMERICAN, N_AMERICAN) if function.__name__.startswith("american") else (N_BATCH,
                                                                                     N_SCALAR)


# Looked up once per function: inspect.signature of a builtin parses its text
# signature, some 0.2 ms, which per scalar call was most of the digests' time.
@functools.cache
def parameters(function):
    return inspect.signature(function).parameters


def schedule(function):
    """The schedule where one is required (the American functions' digests
    are of their calls without one: the bits they have always had)."""
    times = parameters(function).get("dividend_times")
    return SCHEDULE if times is not None and times.default is inspect.Parameter.empty else {}


def splitmix(seed, n):
    """n uniform doubles in [0, 1) from splitmix64 (wrapping uint64 arithmetic)."""
    z = np.uint64(seed) + np.arange(1, n + 1, dtype=np.uint64) * np.uint64(0x9E3779B97F4A7C15)
    z = (z ^ (z >> np.uint64(30))) * np.uint64(0xBF58476D1CE4E5B9)
    z = (z ^ (z >> np.uint64(27))) * np.uint64(0x94D049BB133111EB)
    z ^= z >> np.uint64(31)
    return (z >> np.uint64(11)).astype(np.float64) * 2.0**-53, z


SPECIAL = np.array([np.nan, np.inf, -np.inf, 0.0, -0.0, 1.0, -1.0, 5e-324, 2.2250738585072014e-308,
                    1e-300, 1e300, 1.7976931348623157e308, -1e300, 1.3e154, 2e154, 0.109375,
                    -10.0, 700.0, -745.0])
# Typical values are polynomials of uniforms: no transcendental function of
# NumPy's (whose results may differ from the C library's) enters the inputs.
TYPICAL = {
    "x": lambda u: (u - 0.5) * 80.0, "xs": lambda u: (u - 0.5) * 8.0,
    "forward": lambda u: 100.0 * (0.25 + 3.75 * u * u),
    "maturity": lambda u: 1e-4 + 5.0 * u, "volatility": lambda u: 1.5 * u,
    "total_vol": lambda u: 3.0 * u, "rate": lambda u: (u - 0.3) * 0.3,
}
for alias, role in [("spot", "forward"), ("strike", "forward"), ("dividend", "rate"),
                    ("forwards", "forward"), ("spots", "forward"), ("strikes", "forward"),
                    ("maturities", "maturity"), ("vols", "volatility"), ("rates", "rate"),
                    ("dividends", "rate")]:
    TYPICAL[alias] = TYPICAL[role]


def role_values(name, seed, n):
    """Typical values of the parameter, with a tenth special values and a
    tenth arbitrary doubles (random bit patterns)."""
    u, raw = splitmix(seed, n)
    pick, _ = splitmix(seed + 1, n)
    values = TYPICAL[name](u) if name in TYPICAL else u
    special = SPECIAL[(raw % np.uint64(len(SPECIAL))).astype(np.intp)]
    values = np.where(pick < 0.1, special, values)
    return np.where((pick >= 0.1) & (pick < 0.2), raw.view(np.float64), values)


def inputs(function, n):
    """The arrays of every numeric parameter; prices and normalised prices
    come from Black-76 prices at random volatilities, some beyond the bounds."""
    names = [p for p in inspect.signature(function).parameters
             if p not in ("is_call", "parallel") and p not in SCHEDULE]
    seed = sum(map(ord, function.__name__))
    values = {name: role_values(name, seed + 7 * k, n) for k, name in enumerate(names)}
    if names[0] in ("price", "prices", "beta", "betas"):
        f = role_values("forward", seed + 101, n)
        k = role_values("strike", seed + 102, n)
        t = role_values("maturity", seed + 103, n)
        v = TYPICAL["volatility"](splitmix(seed + 104, n)[0])
        call = splitmix(seed + 105, n)[0] < 0.5
        prices = np.where(call, tarvik.black_prices(f, k, t, v, True),
                          tarvik.black_prices(f, k, t, v, False))
        edge = splitmix(seed + 106, n)[0]
        prices = np.where(edge < 0.05, np.where(call, f, k), prices)
        prices = np.where((edge >= 0.05) & (edge < 0.1), prices * 0.5, prices)
        prices = np.where(edge >= 0.95, role_values("price", seed + 107, n), prices)
        if names[0].startswith("price"):
            values.update({names[0]: prices, names[1]: f, names[2]: k, names[3]: t})
        else:
            with np.errstate(all="ignore"):  # NaN where F or K is unusable
                beta = prices / (np.sqrt(f) * np.sqrt(k))
            x = np.array([tarvik.log_moneyness(a, b) for a, b in zip(f, k)])
            values.update({names[0]: beta, names[1]: x})
    return list(values.values())


def canonical(values):
    """The bytes of float64 values with every NaN as the quiet NaN: the sign
    of a NaN that arithmetic produces (0 * inf, say) is not meaningful, and
    compilers differ in it."""
    values = np.asarray(values, dtype=np.float64)
    return np.where(np.isnan(values), np.nan, values).tobytes()


def scalar_args(function, arrays, i):
    """The i-th scalar call's arguments: calls and puts alternate."""
    flag = [i % 2 == 0] if "is_call" in parameters(function) else []
    return [float(a[i]) for a in arrays] + flag


def scalar_digest(function):
    n = sizes(function)[1]
    arrays = inputs(function, n)
    h = hashlib.sha256()
    for i in range(n):
        args = scalar_args(function, arrays, i)
        try:
            h.update(canonical([function(*args, **schedule(function))]))
        except tarvik.IVError as exc:
            h.update(repr(exc.args).encode())
    return h.hexdigest()[:16]


def batch_digest(function):
    params = inspect.signature(function).parameters
    arrays = inputs(function, sizes(function)[0])
    h = hashlib.sha256()
    for is_call in ((True, False) if "is_call" in params else (None,)):
        kw = {} if is_call is None else {"is_call": is_call}
        kw.update(schedule(function))
        h.update(canonical(function(*arrays, **kw)))
        # One broadcast input (the second, or the only one).
        one = [a if k != min(1, len(arrays) - 1) else float(a[3]) for k, a in enumerate(arrays)]
        h.update(canonical(function(*one, **kw)))
    return h.hexdigest()[:16]


def returns_array(function):
    params = inspect.signature(function).parameters
    flag = {"is_call": True} if "is_call" in params else {}
    try:
        probe = function(*[0.5 for p in params if p not in ("is_call", "parallel") + tuple(SCHEDULE)],
                         **flag, **schedule(function))
    except tarvik.IVError:
        return False
    return isinstance(probe, np.ndarray)


def digest(function):
    """The batch digest for a function that returns arrays, else the scalar one."""
    return (batch_digest if returns_array(function) else scalar_digest)(function)


EXPECTED = {
    'norm_pdf': 'cf664a46749a7918',
    'norm_cdf': 'ddc340037133ef78',
    'norm_cdf_c': 'a3c38182547aca8e',
    'black_intrinsic': 'd24838ef06b4f11a',
    'log_moneyness': '7753f872a1f361c4',
    'black_price': 'b90b588b375c3c0d',
    'black_price_total_vol': 'f4ea2418bf359ad0',
    'black_scholes_forward': '014e5514768b9211',
    'black_scholes_price': 'bf780fa919f0bad8',
    'implied_volatility': '8a7800259b9f7255',
    'normalised_implied_volatility': '80014c785b737f6c',
    'delta': '705c48c62e543e81',
    'gamma': 'ee510da0d90b3cd7',
    'vega': 'd9ddaacc78d7acb2',
    'theta': '6cdbf86d5c5c70ff',
    'vomma': '549909391be30ae8',
    'vanna': '68338c547f3e95d2',
    'black_scholes_delta': 'cd4dcdf5f10963e7',
    'black_scholes_gamma': '5a2a17adfb481ee8',
    'black_scholes_vega': '0b319a40da0892ac',
    'black_scholes_theta': 'bc766463561c0e0e',
    'black_scholes_vomma': 'f98e7f1578145801',
    'black_scholes_vanna': 'd55e9506bb4c0a69',
    'norm_pdfs': 'e39466f576a127c1',
    'norm_cdfs': '07288de3db7a3eda',
    'norm_cdf_cs': '177c167876b9afa7',
    'black_prices': '7fdefca9c6e8856e',
    'black_scholes_prices': 'd79eeee3ae6e5451',
    'implied_volatilities': 'ea92ebe517e89b81',
    'normalised_implied_volatilities': '015556cd7080d807',
    'deltas': '0e2062c69c0832f4',
    'gammas': '0bab54f1f88be252',
    'vegas': 'a714ba5ba78b35ae',
    'vommas': '6d92df46ccca632f',
    'vannas': '572d056fc5c88772',
    'black_scholes_rho': 'f8d23c7f03434687',
    'black_scholes_dividend_rho': 'cdf8d553d3f26440',
    'black_scholes_implied_volatility': 'a4a8f7fff656b486',
    'thetas': '98f155f41a9e2b17',
    'black_scholes_deltas': '895c9349145df95c',
    'black_scholes_gammas': 'c8230052f39def18',
    'black_scholes_vegas': '7a8ec1579c44754c',
    'black_scholes_thetas': '377ca1a7052bdae0',
    'black_scholes_vommas': '86b95ba3b58f8691',
    'black_scholes_vannas': 'fc99ccc11a116a30',
    'black_scholes_rhos': '5c9fbaa06a2b0121',
    'black_scholes_dividend_rhos': '104cf645aa2d9dad',
    'black_scholes_implied_volatilities': '807cad759ee46cad',
    'black_implied_volatility': '57348ab98f583650',
    'black_implied_volatilities': '002c03feed8b29ab',
    'bachelier_price': 'dd4a054a14313373',
    'bachelier_implied_volatility': 'b85165d96d54af5c',
    'bachelier_delta': 'a64d71b69be0aab1',
    'bachelier_gamma': 'd8243c13559c767a',
    'bachelier_vega': '39f7deac58c57595',
    'bachelier_theta': 'b6ec17c96b3a719b',
    'bachelier_vanna': 'ac43b6d5cddaedf1',
    'bachelier_vomma': '27a1d0ebde198886',
    'bachelier_prices': '2523474848e1157c',
    'bachelier_implied_volatilities': '2bf521847d6abf0b',
    'bachelier_deltas': '34ca919f87e4ebc8',
    'bachelier_gammas': 'c4a4bd14195e5209',
    'bachelier_vegas': 'b838dcf69e9ffc9c',
    'bachelier_thetas': '251371e14a0e4bed',
    'bachelier_vannas': '0903e5f4d6ed6013',
    'bachelier_vommas': 'e933f243f1344ac1',
    'american_price': '46c637116daf2d68',
    'american_prices': 'a45dfcc85d252f91',
    'american_implied_volatility': '1fa6727443934586',
    'american_implied_volatilities': '076be820ee2d464a',
    'european_price': '39964652013ebf36',
    'european_prices': 'e48ad0ede4e4473a',
    'european_implied_volatility': '0aa6f62c4bae4a56',
    'european_implied_volatilities': '35b638565cc74b37',
}


@pytest.mark.parametrize("name", sorted(EXPECTED))
def test_digest_unchanged(name):
    assert digest(getattr(tarvik, name)) == EXPECTED[name]


if __name__ == "__main__":
    for name in EXPECTED:
        print(f"    {name!r}: {digest(getattr(tarvik, name))!r},")
