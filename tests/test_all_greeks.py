"""black_greeks, black_scholes_greeks and bachelier_greeks: each field equal bit for bit to its
single-quantity batch function (NaN where it gives NaN, any NaN for a NaN),
over seeded families of every regime, broadcast inputs, masked inputs and the
worker pool."""

import inspect

import numpy as np
import pytest
import tarvik

pytestmark = pytest.mark.filterwarnings("ignore:Conversion of an array:DeprecationWarning")
REJECTED = 0x7FF8000000000000
SPECIAL = [np.nan, np.inf, -np.inf, 0.0, -0.0, -1.0, 5e-324, 1e-300, 1e300, 1e-9, 50.0]
MODELS = {
    "black_greeks": (["forwards", "strikes", "maturities", "vols"],
                     ["price", "delta", "gamma", "vega", "theta", "vanna", "vomma"]),
    "black_scholes_greeks": (
        ["spots", "strikes", "maturities", "rates", "dividends", "vols"],
        ["price", "delta", "gamma", "vega", "theta", "vanna", "vomma", "rho", "dividend_rho"]),
    "bachelier_greeks": (["forwards", "strikes", "maturities", "vols"],
                         ["price", "delta", "gamma", "vega", "theta", "vanna", "vomma"]),
}


def single(name, field):
    prefix = name[:-len("greeks")] if name != "black_greeks" else ""
    return getattr(tarvik, prefix + field + "s" if prefix or field != "price" else "black_prices")


def value_bits(a):
    b = np.ascontiguousarray(a, dtype=np.float64).view(np.uint64).copy()
    b[np.isnan(a)] = REJECTED
    return b


def family(params, n, rng):
    """Typical values of every input, a share of special values, zero and tiny
    volatilities, at-the-money strikes, and some inputs broadcast as floats."""
    typical = {"forwards": (1.0, 200.0), "spots": (1.0, 200.0), "strikes": (1.0, 200.0),
               "maturities": (1e-4, 5.0), "rates": (-0.1, 0.2), "dividends": (-0.1, 0.2),
               "vols": (0.0, 2.0)}
    args = []
    for p in params:
        if rng.random() < 0.2:
            args.append(float(rng.uniform(*typical[p])))
            continue
        a = rng.uniform(*typical[p], n)
        hit = rng.random(n) < 0.1
        a[hit] = rng.choice(SPECIAL, hit.sum())
        if p == "vols":
            a[rng.random(n) < 0.1] = 0.0
        args.append(a)
    if isinstance(args[0], np.ndarray) and isinstance(args[1], np.ndarray):
        atm = rng.random(n) < 0.1
        args[1][atm] = args[0][atm]
    return args


@pytest.mark.parametrize("name", MODELS)
@pytest.mark.parametrize("seed", range(6))
def test_every_field_is_its_single_function(name, seed):
    params, fields = MODELS[name]
    rng = np.random.default_rng(seed)
    n = int(rng.choice([1, 7, 300, 5000]))
    args = family(params, n, rng)
    is_call = rng.random(n) < 0.5 if seed % 2 else bool(seed % 3)
    if seed == 4:  # a masked input: NaN in every field where it is masked
        args[0] = np.ma.masked_array(np.broadcast_to(args[0], (n,)).copy(), rng.random(n) < 0.2)
    result = getattr(tarvik, name)(*args, is_call)
    assert list(result) == fields
    parallel = getattr(tarvik, name)(*args, is_call=is_call, parallel=True)
    for field, got in result.items():
        assert got.dtype == np.float64 and got.shape == (n,) and got.flags.c_contiguous
        fn = single(field=field, name=name)
        flag = [is_call] if "is_call" in inspect.signature(fn).parameters else []
        want = fn(*args, *flag)
        assert np.array_equal(value_bits(got), value_bits(want)), field
        assert np.array_equal(got.view(np.uint64), parallel[field].view(np.uint64)), field


@pytest.mark.parametrize("name", MODELS)
def test_length_rule_and_frames(name):
    params, fields = MODELS[name]
    fn = getattr(tarvik, name)
    with pytest.raises(tarvik.IVError, match="slice length mismatch"):
        fn(*[np.ones(2)] * (len(params) - 1), np.ones(3))
    assert all(v.shape == (0,) for v in fn(*[np.ones(0)] * len(params)).values())
    pd = pytest.importorskip("pandas")
    frame = pd.DataFrame(fn(*[np.full(3, 0.5)] * len(params), np.array([True, False, True])))
    assert list(frame.columns) == fields and len(frame) == 3
