"""Batch functions over NumPy arrays: the length rule, argument intake and
binding, element-by-element agreement with the scalar functions (NaN exactly
where the scalar function raises), and bit-for-bit agreement of the parallel
path with the serial one."""

import math
import warnings

import numpy as np
import pytest

import model_black
import model_greeks
import model_iv
import tarvik

REJECTED = 0x7FF8000000000000
EMPTY = "empty input slice is only valid for an empty batch"
MISMATCH = "slice length mismatch: inputs must be length 1 or n"
# Length-1 arrays are taken in through NumPy's float conversion, which some
# NumPy versions warn about.
pytestmark = pytest.mark.filterwarnings("ignore:Conversion of an array:DeprecationWarning")

NOT_ARRAY = "expected a float or 1-D float64 numpy.ndarray"
STRIDED = "numpy array must be a contiguous float64 buffer"

# batch name -> (array parameters, scalar twin, takes is_call, takes parallel)
FUNCTIONS = {
    "norm_pdfs": ("x", "norm_pdf", False, False),
    "norm_cdfs": ("x", "norm_cdf", False, False),
    "norm_cdf_cs": ("x", "norm_cdf_c", False, False),
    "black_prices": ("forwards strikes maturities vols", "black_price", True, True),
    "black_scholes_prices": ("spots strikes maturities rates dividends vols",
                             "black_scholes_price", True, True),
    "implied_volatilities": ("prices forwards strikes maturities", "implied_volatility",
                             True, True),
    "normalised_implied_volatilities": ("betas xs", "normalised_implied_volatility", True, True),
    "deltas": ("forwards strikes maturities vols", "delta", True, True),
    "gammas": ("forwards strikes maturities vols", "gamma", False, True),
    "vegas": ("forwards strikes maturities vols", "vega", False, True),
    "vommas": ("forwards strikes maturities vols", "vomma", False, True),
    "vannas": ("forwards strikes maturities vols", "vanna", False, True),
}
PRICED = [name for name, (_, _, _, par) in FUNCTIONS.items() if par]
SPECIAL = np.array([math.nan, math.inf, -math.inf, 0.0, -0.0, -1.0, 5e-324, 1e-300, 1e300,
                    1.7976931348623157e308, -1e300])


def params(name):
    return FUNCTIONS[name][0].split()


def bits(a):
    return np.ascontiguousarray(a, dtype=np.float64).view(np.uint64)


def draw(name, n, rng, invalid=0.1):
    """Inputs of `name` for n elements: typical values, with a share of
    special values (NaN, infinities, zeros, negatives, extremes) mixed in."""
    f = 100.0 * np.exp(rng.normal(0.0, 0.5, n))
    k = 100.0 * np.exp(rng.normal(0.0, 0.5, n))
    t = rng.uniform(1e-3, 5.0, n)
    v = rng.uniform(0.0, 1.0, n)
    v[rng.random(n) < 0.05] = 0.0
    roles = {"x": rng.normal(0.0, 3.0, n), "forwards": f, "spots": f, "strikes": k,
             "maturities": t, "vols": v, "rates": rng.uniform(-0.05, 0.1, n),
             "dividends": rng.uniform(-0.05, 0.1, n)}
    if name in ("implied_volatilities", "normalised_implied_volatilities"):
        is_call = rng.random(n) < 0.5
        prices = np.where(is_call, tarvik.black_prices(f, k, t, v, True),
                          tarvik.black_prices(f, k, t, v, False))
        # Prices at and beyond both bounds, for either option type.
        edge = rng.random(n)
        prices[edge < 0.03] = f[edge < 0.03]
        prices[(edge >= 0.03) & (edge < 0.06)] = k[(edge >= 0.03) & (edge < 0.06)]
        prices[(edge >= 0.06) & (edge < 0.08)] *= 0.5
        roles["prices"] = prices
        roles["betas"] = prices / (np.sqrt(f) * np.sqrt(k))
        roles["xs"] = np.log(f) - np.log(k)
    out = []
    for p in params(name):
        a = roles[p].copy()
        hit = rng.random(n) < invalid
        a[hit] = rng.choice(SPECIAL, hit.sum())
        out.append(a)
    return out


def expected(name, inputs, is_call):
    """The scalar twin element by element, NaN where it raises IVError."""
    scalar = getattr(tarvik, FUNCTIONS[name][1])
    flag = (is_call,) if FUNCTIONS[name][2] else ()
    n = max(len(a) for a in inputs)
    res = np.empty(n)
    for i in range(n):
        try:
            res[i] = scalar(*(float(a[0] if len(a) == 1 else a[i]) for a in inputs), *flag)
        except tarvik.IVError:
            res[i] = np.uint64(REJECTED).view(np.float64)
    return res


def call(name, inputs, is_call=True, parallel=False):
    kw = {}
    if FUNCTIONS[name][2]:
        kw["is_call"] = is_call
    if FUNCTIONS[name][3]:
        kw["parallel"] = parallel
    return getattr(tarvik, name)(*inputs, **kw)


def raises_iv(message):
    return pytest.raises(tarvik.IVError, match="^" + message + "$")


def check_iv(exc_info, reason):
    assert exc_info.value.args == ("invalid_input", "invalid input: " + reason)


# ------------------------------------------------------------- length rule --

@pytest.mark.parametrize("lengths, n", [
    ((1, 1, 1, 1), 1), ((1, 5, 1, 5), 5), ((5, 1, 1, 1), 5), ((1, 1, 1, 7), 7),
    ((0, 1, 1, 1), 0), ((0, 0, 0, 0), 0), ((1, 0, 0, 1), 0),
    ((5, 4, 1, 1), MISMATCH), ((1, 1, 3, 4), MISMATCH), ((2, 2, 2, 3), MISMATCH),
    ((0, 2, 1, 1), EMPTY), ((2, 0, 1, 1), EMPTY), ((0, 2, 3, 1), EMPTY), ((3, 2, 1, 0), EMPTY),
])
@pytest.mark.parametrize("name, parallel", [("black_prices", False), ("black_prices", True),
                                             ("vegas", True)])
def test_length_rule(lengths, n, name, parallel):
    # Length 1 is a Python float; a big multiplier keeps the parallel path
    # above its threshold where the lengths allow.
    scale = 100 if parallel else 1
    inputs = [100.0 if m == 1 else np.full(m * scale if m else 0, 100.0) for m in lengths]
    if isinstance(n, str):
        with pytest.raises(tarvik.IVError) as exc_info:
            call(name, inputs, parallel=parallel)
        check_iv(exc_info, n)
    else:
        out = call(name, inputs, parallel=parallel)
        assert out.shape == (n * scale if n > 1 else n,) and out.dtype == np.float64


@pytest.mark.parametrize("name, lengths, n", [
    ("normalised_implied_volatilities", (0, 2), EMPTY),
    ("normalised_implied_volatilities", (3, 2), MISMATCH),
    ("normalised_implied_volatilities", (1, 4), 4),
    ("black_scholes_prices", (1, 1, 1, 1, 1, 6), 6),
    ("black_scholes_prices", (6, 1, 1, 1, 1, 5), MISMATCH),
    ("black_scholes_prices", (6, 1, 1, 1, 5, 0), EMPTY),
    ("implied_volatilities", (1, 1, 0, 1), 0),
])
def test_length_rule_other_arities(name, lengths, n):
    inputs = [0.5 if m == 1 else np.full(m, 0.5) for m in lengths]
    if isinstance(n, str):
        with pytest.raises(tarvik.IVError) as exc_info:
            call(name, inputs)
        check_iv(exc_info, n)
    else:
        assert call(name, inputs).shape == (n,)


@pytest.mark.parametrize("name", list(FUNCTIONS))
def test_empty_batches(name):
    k = len(params(name))
    for inputs in ([np.empty(0)] * k, [np.empty(0)] + [1.0] * (k - 1)):
        out = call(name, inputs)
        assert out.shape == (0,) and out.dtype == np.float64


@pytest.mark.parametrize("name", PRICED)
@pytest.mark.parametrize("parallel", [False, True])
def test_broadcast_of_every_position(name, parallel):
    """A float at any position stands for every element, against arrays at
    the others, and an array at any position against floats everywhere else."""
    n = 70
    full = draw(name, n, np.random.default_rng(7), invalid=0.0)
    for pos in range(len(full)):
        value = float(full[pos][0])
        inputs = list(full)
        inputs[pos] = value
        filled = list(full)
        filled[pos] = np.full(n, value)
        assert np.array_equal(bits(call(name, inputs, parallel=parallel)),
                              bits(call(name, filled, parallel=parallel)))
        lone = [float(a[0]) for a in full]
        lone[pos] = full[pos]
        broad = [np.full(n, float(a[0])) for a in full]
        broad[pos] = full[pos]
        assert np.array_equal(bits(call(name, lone, parallel=parallel)),
                              bits(call(name, broad, parallel=parallel)))


# ------------------------------------------------------------------ intake --

@pytest.mark.parametrize("obj, value", [
    (2.5, 2.5), (3, 3.0), (True, 1.0), (-1.0, -1.0), (np.float32(1.5), 1.5),
    (np.float64(-0.25), -0.25), (np.int64(3), 3.0), (np.bool_(True), 1.0),
    (np.array(0.75), 0.75), (np.array(-2.0, dtype=np.float32), -2.0),
])
def test_scalar_intake(obj, value):
    assert np.array_equal(bits(tarvik.norm_cdfs(obj)), bits([tarvik.norm_cdf(value)]))
    out = tarvik.black_scholes_prices(np.full(3, 100.0), 100.0, 1.0, obj, 0.0, 0.2)
    assert np.array_equal(bits(out), bits([tarvik.black_scholes_price(
        100.0, 100.0, 1.0, value, 0.0, 0.2, True)] * 3))


@pytest.mark.parametrize("warnings_as_errors", [False, True])
@pytest.mark.parametrize("obj", [np.array([0.75]), np.arange(2.0)[::2] + 0.75])
def test_length_one_array(obj, warnings_as_errors):
    # Taken in as a float, or (when NumPy refuses the conversion, e.g. under
    # warnings as errors) as a one-element array: the same result either way.
    with warnings.catch_warnings():
        warnings.simplefilter("error" if warnings_as_errors else "ignore")
        assert np.array_equal(bits(tarvik.norm_cdfs(obj)), bits([tarvik.norm_cdf(0.75)]))
        out = tarvik.vegas(np.array([90.0, 100.0, 110.0]), 100.0, 1.0, obj)
    assert np.array_equal(bits(out), bits([tarvik.vega(f, 100.0, 1.0, 0.75)
                                           for f in (90.0, 100.0, 110.0)]))


def test_read_only_arrays_are_accepted_and_not_written():
    f = np.array([90.0, 100.0, 110.0])
    f.flags.writeable = False
    out = tarvik.black_prices(f, 100.0, 1.0, 0.2, parallel=True)
    assert out.flags.writeable and not np.shares_memory(out, f)
    assert list(f) == [90.0, 100.0, 110.0]


@pytest.mark.parametrize("obj, message", [
    ([1.0, 2.0], NOT_ARRAY), ([1.0], NOT_ARRAY), ((1.0,), NOT_ARRAY), ("1.5", NOT_ARRAY),
    (None, NOT_ARRAY), (10**400, NOT_ARRAY), (-(10**400), NOT_ARRAY),
    (np.zeros(3, dtype=np.float32), NOT_ARRAY), (np.arange(3), NOT_ARRAY),
    (np.zeros(3, dtype=">f8" if np.little_endian else "<f8"), NOT_ARRAY),
    (np.zeros((2, 3)), NOT_ARRAY), (np.zeros((2, 3))[:, 0], STRIDED),
    (np.arange(6.0)[::2], STRIDED), (np.arange(6.0)[::-1], STRIDED),
    (np.zeros(6, dtype=np.float32)[::2], NOT_ARRAY),
])
@pytest.mark.parametrize("position", range(4))
def test_rejected_inputs(obj, message, position):
    inputs = [np.full(3, 100.0), 100.0, 1.0, 0.2]
    inputs[position] = obj
    with pytest.raises(TypeError) as exc_info:
        tarvik.black_prices(*inputs)
    assert str(exc_info.value) == message


def test_first_bad_array_is_reported():
    with pytest.raises(TypeError, match="^" + STRIDED + "$"):
        tarvik.black_prices(100.0, np.arange(6.0)[::2], [1.0], 0.2)


# ---------------------------------------------------------- argument binding --

@pytest.mark.parametrize("call_, error, message", [
    (lambda: tarvik.black_prices([1.0], 100.0, 1.0, 0.2, is_call=1), TypeError,
     "argument 'is_call': 'int' object cannot be converted to 'PyBool'"),
    (lambda: tarvik.black_prices(100.0, [1.0], 1.0, 0.2, parallel=1), TypeError,
     "argument 'parallel': 'int' object cannot be converted to 'PyBool'"),
    (lambda: tarvik.black_prices(100.0, 100.0, 1.0, 0.2, None, 1), TypeError,
     "argument 'is_call': 'NoneType' object cannot be converted to 'PyBool'"),
    (lambda: tarvik.black_prices(np.zeros(0), np.zeros(2), 1.0, 0.2, parallel=0.0), TypeError,
     "argument 'parallel': 'float' object cannot be converted to 'PyBool'"),
    (lambda: tarvik.vegas(100.0, 100.0, 1.0, 0.2, 1), TypeError,
     "argument 'parallel': 'int' object cannot be converted to 'PyBool'"),
    (lambda: tarvik.deltas(100.0, 100.0, 1.0, 0.2, 1), TypeError,
     "argument 'is_call': 'int' object cannot be converted to 'PyBool'"),
    (lambda: tarvik.vegas(100.0, 100.0, 1.0, 0.2, True, False), TypeError,
     "vegas() takes from 4 to 5 positional arguments but 6 were given"),
    (lambda: tarvik.black_prices(100.0, 100.0, 1.0), TypeError,
     "black_prices() missing 1 required positional argument: 'vols'"),
    (lambda: tarvik.implied_volatilities(prices=1.0), TypeError,
     "implied_volatilities() missing 3 required positional arguments: "
     "'forwards', 'strikes', and 'maturities'"),
    (lambda: tarvik.gammas(100.0, 100.0, 1.0, 0.2, is_call=True), TypeError,
     "gammas() got an unexpected keyword argument 'is_call'"),
    (lambda: tarvik.norm_pdfs(0.0, parallel=True), TypeError,
     "norm_pdfs() got an unexpected keyword argument 'parallel'"),
    (lambda: tarvik.deltas(100.0, 100.0, 1.0, 0.2, True, forwards=1.0), TypeError,
     "deltas() got multiple values for argument 'forwards'"),
])
def test_binding_and_flags(call_, error, message):
    with pytest.raises(error) as exc_info:
        call_()
    assert str(exc_info.value) == message


def test_flags_positions_and_numpy_bools():
    f = np.linspace(80.0, 120.0, 100)
    put = [tarvik.delta(x, 100.0, 1.0, 0.2, False) for x in f]
    assert list(tarvik.deltas(f, 100.0, 1.0, 0.2, False)) == put
    assert list(tarvik.deltas(f, 100.0, 1.0, 0.2, np.bool_(False), np.bool_(True))) == put
    assert list(tarvik.deltas(parallel=True, is_call=False, vols=0.2, maturities=1.0,
                              strikes=100.0, forwards=f)) == put
    # The fifth positional of vegas is parallel, not is_call.
    assert list(tarvik.vegas(f, 100.0, 1.0, 0.2, True)) == [tarvik.vega(x, 100.0, 1.0, 0.2)
                                                            for x in f]


# ------------------------------------------------ agreement with the scalars --

@pytest.mark.parametrize("name, is_call", [(name, c) for name, f in FUNCTIONS.items()
                                            for c in ((True, False) if f[2] else (True,))])
def test_batch_equals_scalar(name, is_call):
    inputs = draw(name, 1500, np.random.default_rng(list(FUNCTIONS).index(name)))
    want = expected(name, inputs, is_call)
    got = call(name, inputs, is_call)
    assert np.array_equal(bits(got), bits(want))
    assert 0 < np.isnan(got).sum() < len(got)  # both paths were exercised


def test_model_spot_check():
    f = np.array([100.0, 50.0, 120.0, 1e-3, 1e5])
    k = np.array([100.0, 60.0, 80.0, 2e-3, 9e4])
    t = np.array([1.0, 0.25, 3.0, 10.0, 0.01])
    v = np.array([0.2, 0.5, 0.05, 1.5, 0.3])
    for is_call in (True, False):
        prices = tarvik.black_prices(f, k, t, v, is_call)
        assert list(prices) == [model_black.black_price(*a, is_call) for a in zip(f, k, t, v)]
        assert list(tarvik.deltas(f, k, t, v, is_call)) == [
            model_greeks.delta(*a, is_call) for a in zip(f, k, t, v)]
        assert list(tarvik.implied_volatilities(prices, f, k, t, is_call)) == [
            model_iv.implied_volatility(*a, is_call) for a in zip(prices, f, k, t)]


@pytest.mark.parametrize("n", [0, 1, 63, 64, 65, 1000, 100003])
@pytest.mark.parametrize("name", PRICED)
def test_parallel_equals_serial(name, n):
    rng = np.random.default_rng(n)
    inputs = draw(name, n, rng)
    if n > 1:
        inputs[-1] = float(draw(name, 1, rng, invalid=0.0)[-1][0])  # one broadcast input
    for is_call in ((True, False) if FUNCTIONS[name][2] else (True,)):
        serial = call(name, inputs, is_call, parallel=False)
        assert np.array_equal(bits(call(name, inputs, is_call, parallel=True)), bits(serial))
    if n >= 64:
        assert np.isnan(serial).any() and not np.isnan(serial).all()


# ------------------------------------------------------------ result arrays --

@pytest.mark.parametrize("name", list(FUNCTIONS))
@pytest.mark.parametrize("parallel", [False, True])
def test_results_are_new_arrays_and_inputs_are_untouched(name, parallel):
    for n in (1, 200):
        inputs = draw(name, n, np.random.default_rng(n))
        copies = [a.copy() for a in inputs]
        for args in (inputs, [float(a[0]) for a in inputs]):
            out = call(name, args, parallel=parallel)
            assert type(out) is np.ndarray and out.dtype == np.float64 and out.ndim == 1
            assert out.flags.c_contiguous and out.flags.owndata and out.flags.writeable
            assert out.shape == (len(args[0]) if isinstance(args[0], np.ndarray) else 1,)
            assert not any(np.shares_memory(out, a) for a in inputs)
        assert all(np.array_equal(bits(a), bits(c)) for a, c in zip(inputs, copies))
