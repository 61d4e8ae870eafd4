"""Batch functions over NumPy arrays: the length rule, argument intake and
binding, element-by-element agreement with the scalar functions (NaN exactly
where the scalar function raises), and bit-for-bit agreement of the parallel
path with the serial one."""

import array
import functools
import inspect
import math
import warnings

import numpy as np
import pytest
import tarvik

REJECTED = 0x7FF8000000000000
EMPTY = "empty input slice is only valid for an empty batch"
MISMATCH = "slice length mismatch: inputs must be length 1 or n"
# Length-1 arrays are taken in through NumPy's float conversion, which some
# NumPy versions warn about.
pytestmark = pytest.mark.filterwarnings("ignore:Conversion of an array:DeprecationWarning")

NOT_ARRAY = "expected a float or 1-D float64 numpy.ndarray"
STRIDED = "numpy array must be a contiguous float64 buffer"

# Every batch function (their docs start so), with its scalar twin; the
# functions of every Greek at once (a dict of arrays) are in test_all_greeks.py.
BATCHES = [n for n in tarvik.__all__ if (getattr(tarvik, n).__doc__ or "").startswith("Batch")
           and not n.endswith("_greeks")]


def scalar_twin(name):
    return getattr(tarvik, name[:-3] + "y" if name.endswith("ies") else name[:-1])


# Looked up once per name: inspect.signature of a builtin parses its text
# signature, some 0.2 ms, which per element was most of these tests' time.
@functools.cache
def params(name):
    return tuple(inspect.signature(getattr(tarvik, name)).parameters)


def arrays(name):
    return [p for p in params(name) if p not in ("is_call", "parallel") + tuple(SCHEDULE)]


# The cash dividends every element of a batch with a schedule shares.
SCHEDULE = {"dividend_times": np.array([0.05, 0.3, 0.8, 2.0]),
            "dividend_amounts": np.array([1.0, 0.5, 2.0, 1.5])}


def schedule(name, is_call=True):
    """The schedule where the function takes one; a batch of American puts
    only without it (with dividends at r > 0 an element solves its boundary
    between ex-dates, some tenths of a second; the American draws keep calls
    off it with q <= 0, see draw)."""
    if "dividend_times" not in params(name) or (name.startswith("american") and
                                                 np.ndim(is_call) == 0 and not is_call):
        return {}
    return SCHEDULE


def flags(name):
    return (True, False) if "is_call" in params(name) else (True,)


PRICED = [name for name in BATCHES if "parallel" in params(name)]
# Elements that solve an exercise boundary or recurse over dividends cost
# milliseconds: shorter batches.
COSTLY = {name for name in BATCHES if name.startswith(("american_", "european_"))}


def size(name, n, costly):
    return min(n, costly) if name in COSTLY else n
SPECIAL = np.array([math.nan, math.inf, -math.inf, 0.0, -0.0, -1.0, 5e-324, 1e-300, 1e300,
                    1.7976931348623157e308, -1e300])


def bits(a):
    return np.ascontiguousarray(a, dtype=np.float64).view(np.uint64)


def value_bits(a):
    """bits(a) with every NaN the quiet NaN: which NaN a product of two NaNs
    passes on is the compiler's choice of operand order, so a batch and its
    scalar twin may differ in nothing but that."""
    return bits(np.where(np.isnan(a), np.nan, a))


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
    if name.startswith("american"):  # calls with dividends and q > 0: as puts in schedule
        roles["dividends"] = -np.abs(roles["dividends"])
    if "prices" in arrays(name) or "betas" in arrays(name):
        is_call = rng.random(n) < 0.5
        if "spots" in arrays(name):
            prices = tarvik.black_scholes_prices(f, k, t, roles["rates"], roles["dividends"], v,
                                                 is_call)
        else:
            prices = tarvik.black_prices(f, k, t, v, is_call)
        # Prices at and beyond both bounds, for either option type.
        edge = rng.random(n)
        prices = np.where(edge < 0.03, f, np.where(edge < 0.06, k, prices))
        prices[(edge >= 0.06) & (edge < 0.08)] *= 0.5
        roles["prices"] = prices
        roles["betas"] = prices / (np.sqrt(f) * np.sqrt(k))
        roles["xs"] = np.log(f) - np.log(k)
    out = []
    for p in arrays(name):
        a = roles[p].copy()
        hit = rng.random(n) < invalid
        a[hit] = rng.choice(SPECIAL, hit.sum())
        out.append(a)
    return out


def expected(name, inputs, is_call):
    """The scalar twin element by element, NaN where it raises IVError; and
    the error code of each element."""
    scalar = scalar_twin(name)
    n = max([len(a) for a in inputs] + [np.size(is_call)])
    res, codes = np.empty(n), np.zeros(n, np.int8)
    for i in range(n):
        args = [float(a[0] if len(a) == 1 else a[i]) for a in inputs]
        if "is_call" in params(name):
            args.append(bool(is_call if np.ndim(is_call) == 0 else is_call[i]))
        try:
            res[i] = scalar(*args, **schedule(name, is_call))
        except tarvik.IVError as exc:
            res[i] = np.uint64(REJECTED).view(np.float64)
            codes[i] = tarvik.ERROR_KINDS.index(exc.args[0])
    return res, codes


def call(name, inputs, is_call=True, parallel=False):
    kw = {k: v for k, v in (("is_call", is_call), ("parallel", parallel)) if k in params(name)}
    return getattr(tarvik, name)(*inputs, **kw, **schedule(name, is_call))


# ------------------------------------------------------------- length rule --
# The rule itself is tested on the core; here it reaches every function, with
# floats as length 1, serial and parallel (lengths scaled past the threshold).

@pytest.mark.parametrize("name, lengths, n", [
    ("black_prices", (1, 5, 1, 5), 5), ("black_prices", (0, 1, 1, 1), 0),
    ("black_prices", (5, 4, 1, 1), MISMATCH), ("black_prices", (0, 2, 3, 1), EMPTY),
    ("vegas", (1, 1, 3, 4), MISMATCH), ("vegas", (3, 2, 1, 0), EMPTY),
    ("normalised_implied_volatilities", (1, 4), 4),
    ("normalised_implied_volatilities", (3, 2), MISMATCH),
    ("black_scholes_prices", (6, 1, 1, 1, 1, 5), MISMATCH),
    ("black_scholes_prices", (6, 1, 1, 1, 5, 0), EMPTY),
    ("implied_volatilities", (1, 1, 0, 1), 0), ("norm_cdfs", (0,), 0),
])
@pytest.mark.parametrize("parallel", [False, True])
def test_length_rule(name, lengths, n, parallel):
    scale = 100 if parallel else 1
    inputs = [0.5 if m == 1 else np.full(m * scale, 0.5) for m in lengths]
    kw = {"parallel": True} if name in PRICED and parallel else {}
    if isinstance(n, str):
        with pytest.raises(tarvik.IVError) as exc_info:
            getattr(tarvik, name)(*inputs, **kw)
        assert exc_info.value.args == ("invalid_input", "invalid input: " + n)
        # The note names every input with its length.
        names = list(inspect.signature(getattr(tarvik, name)).parameters)
        assert exc_info.value.__notes__ == ["input lengths: " + ", ".join(
            f"{p} {len(v) if isinstance(v, np.ndarray) else 1}" for p, v in zip(names, inputs))
            + "; each must be 1 or the batch's length"]
    else:
        assert getattr(tarvik, name)(*inputs, **kw).shape == (n * scale,)


@pytest.mark.parametrize("name", PRICED)
@pytest.mark.parametrize("parallel", [False, True])
def test_broadcast_of_every_position(name, parallel):
    """A float at any position stands for every element, against arrays at
    the others, and an array at any position against floats everywhere else."""
    n = size(name, 70, 12)
    full = draw(name, n, np.random.default_rng(7), invalid=0.0)
    for pos in range(len(full)):
        value, alone = float(full[pos][0]), [float(a[0]) for a in full]
        one_float = [value if i == pos else a for i, a in enumerate(full)]
        filled = [np.full(n, value) if i == pos else a for i, a in enumerate(full)]
        one_array = [full[pos] if i == pos else v for i, v in enumerate(alone)]
        spread = [full[pos] if i == pos else np.full(n, v) for i, v in enumerate(alone)]
        for got, want in ((one_float, filled), (one_array, spread)):
            assert np.array_equal(bits(call(name, got, parallel=parallel)),
                                  bits(call(name, want, parallel=parallel)))


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


def mutate(array, change):
    """A strike whose float conversion changes an array passed earlier."""
    class Strike:
        def __float__(self):
            change(array)
            return 100.0
    return Strike()


def _set(name, value):
    return lambda a: setattr(a, name, value)


@pytest.mark.filterwarnings("ignore:Setting the:DeprecationWarning")  # NumPy 2.4 on
@pytest.mark.parametrize("change, message", [
    (_set("dtype", np.uint8), NOT_ARRAY), (_set("shape", (2, 500)), NOT_ARRAY),
    (_set("strides", (16,)), STRIDED), (_set("dtype", np.complex128), NOT_ARRAY),
])
def test_arrays_are_looked_at_again_after_every_conversion(change, message):
    # The array is accepted when it is taken in; the strike's conversion
    # then changes it, and the final look finds out before any element is read.
    forwards = np.full(2000, 100.0)[:1000]
    with pytest.raises(TypeError) as exc_info:
        tarvik.black_prices(forwards, mutate(forwards, change), 1.0, 0.2)
    assert str(exc_info.value) == message


@pytest.mark.parametrize("offset", [1, 3, 4])
def test_misaligned_arrays_are_read_in_place(offset):
    aligned = np.linspace(50.0, 150.0, 1001)
    raw = bytearray(8 * len(aligned) + offset)
    odd = np.frombuffer(raw, np.float64, count=len(aligned), offset=offset)
    np.frombuffer(raw, np.uint8)[offset:] = aligned.view(np.uint8)
    assert odd.ctypes.data % 8 != 0 and np.array_equal(odd, aligned)
    for parallel in (False, True):
        assert np.array_equal(bits(tarvik.black_prices(odd, 100.0, 1.0, odd / 500.0, True, parallel)),
                              bits(tarvik.black_prices(aligned, 100.0, 1.0, aligned / 500.0, True)))
    assert np.array_equal(bits(tarvik.norm_cdfs(odd)), bits(tarvik.norm_cdfs(aligned)))


class Exposing:
    """An object that offers its memory only through NumPy's array interface."""
    def __init__(self, array):
        self.array = array
        self.__array_interface__ = array.__array_interface__


@pytest.mark.parametrize("wrap", [
    lambda a: array.array("d", a), lambda a: memoryview(array.array("d", a)), Exposing,
    lambda a: pytest.importorskip("pandas").Series(a),
    lambda a: np.ma.masked_array(a), lambda a: np.ma.masked_array(a, mask=np.zeros(len(a))),
])
def test_objects_exposing_float64_memory_are_read_in_place(wrap):
    forwards = np.linspace(80.0, 120.0, 101)
    got = tarvik.black_prices(wrap(forwards), 100.0, 1.0, 0.2)
    assert np.array_equal(bits(got), bits(tarvik.black_prices(forwards, 100.0, 1.0, 0.2)))


@pytest.mark.parametrize("obj, message", [
    (array.array("f", [1.0, 2.0]), NOT_ARRAY), (array.array("q", [1, 2]), NOT_ARRAY),
    (b"\0" * 16, NOT_ARRAY), (bytearray(16), NOT_ARRAY), (range(3), NOT_ARRAY),
    (memoryview(array.array("d", [1.0, 2.0, 3.0, 4.0]))[::2], STRIDED),
    (Exposing(np.zeros(4, dtype=np.float32)), NOT_ARRAY), (Exposing(np.zeros(8)[::2]), STRIDED),
])
def test_other_objects_are_not_converted(obj, message):
    with pytest.raises(TypeError) as exc_info:
        tarvik.black_prices(obj, 100.0, 1.0, 0.2)
    assert str(exc_info.value) == message


def test_masked_elements_are_nan_and_coded_masked():
    forwards = np.ma.masked_array([90.0, 100.0, -1.0, 110.0], mask=[False, True, False, False])
    vols = np.ma.masked_array([0.2, 0.2, 0.2, 0.3], mask=[False, False, False, True])
    got = tarvik.black_prices(forwards, 100.0, 1.0, vols)
    assert np.isnan(got[1:]).all() and got[0] == tarvik.black_price(90.0, 100.0, 1.0, 0.2, True)
    codes = tarvik.error_codes(tarvik.black_prices, forwards, 100.0, 1.0, vols)
    assert [tarvik.ERROR_KINDS[c] for c in codes] == [None, "masked", "negative_forward", "masked"]


@pytest.mark.parametrize("is_call, message", [
    (np.array([True, False] * 3)[::2], "numpy bool array must be contiguous"),
    (np.ones((2, 3), dtype=bool), "'ndarray' object cannot be converted to 'PyBool'"),
    (np.ones(3, dtype=np.int8), "'ndarray' object cannot be converted to 'PyBool'"),
    ([True, False, True], "'list' object cannot be converted to 'PyBool'"),
])
def test_option_type_arrays(is_call, message):
    with pytest.raises(TypeError) as exc_info:
        tarvik.deltas(np.full(3, 100.0), 100.0, 1.0, 0.2, is_call)
    assert str(exc_info.value) == "argument 'is_call': " + message
    # One per element, broadcast by the length rule like the values.
    assert np.array_equal(tarvik.deltas(100.0, 100.0, 1.0, 0.2, np.array([True, False])),
                          [tarvik.delta(100.0, 100.0, 1.0, 0.2, c) for c in (True, False)])
    with pytest.raises(tarvik.IVError, match=MISMATCH) as exc_info:
        tarvik.deltas(np.full(3, 100.0), 100.0, 1.0, 0.2, np.array([True, False]))
    assert exc_info.value.__notes__[0].endswith("vols 1, is_call 2; each must be 1 or the "
                                                "batch's length")


def test_error_codes_takes_a_batch_function():
    for first in (tarvik.black_price, len, None):
        with pytest.raises(TypeError, match="takes a batch function of tarvik"):
            tarvik.error_codes(first, 1.0, 1.0, 1.0, 0.2)
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'function'"):
        tarvik.error_codes()
    with pytest.raises(TypeError, match=r"^black_prices\(\) missing 1 required"):
        tarvik.error_codes(tarvik.black_prices, 1.0, 1.0, 1.0)


def test_first_bad_array_is_reported():
    with pytest.raises(TypeError) as info:
        tarvik.black_prices(100.0, np.arange(6.0)[::2], [1.0], 0.2)
    assert str(info.value) == STRIDED and info.value.__notes__[0].startswith("argument 'strikes'")


# ------------------------------------------------ agreement with the scalars --

@pytest.mark.parametrize("name, is_call", [(name, c) for name in BATCHES
                                           for c in flags(name) + ("mixed",) * (len(flags(name)) > 1)])
def test_batch_equals_scalar(name, is_call):
    # With is_call "mixed", a bool array of calls and puts.
    rng = np.random.default_rng(BATCHES.index(name))
    # Mixed, the American puts take the dividend schedule: a few tenths of a
    # second each, so fewer of them.
    n = size(name, 1500, 32 if is_call == "mixed" else 48)
    inputs = draw(name, n, rng)
    if is_call == "mixed":
        is_call = rng.random(n) < 0.5
    want, codes = expected(name, inputs, is_call)
    got = call(name, inputs, is_call)
    assert np.array_equal(value_bits(got), value_bits(want))
    assert 0 < np.isnan(got).sum() < len(got)  # both paths were exercised
    kw = {"is_call": is_call} if "is_call" in params(name) else {}
    assert np.array_equal(
        tarvik.error_codes(getattr(tarvik, name), *inputs, **kw, **schedule(name, is_call)), codes)


# Every element on either side of the batch prices' split between vector
# lanes and the scalar plans: zero, tiny and overflowing total volatility (and
# d1 infinite), at the money, out-of-the-money differences that round below
# zero, extreme forwards and strikes, shuffled among each other.
@pytest.mark.parametrize("name", ["black_prices", "black_greeks"])
def test_batch_prices_at_the_formula_edges_equal_scalar(name):
    grid = np.array(np.meshgrid([100.0, 50.0, 1e-300, 1e300], [100.0, 100.0000001, 1e300],
                                [1.0, 1e-300, 5e-324, 1e300], [0.2, 0.0, 1e-160, 1e200, 1e300]))
    order = np.random.default_rng(5).permutation(grid[0].size)
    inputs = [np.ascontiguousarray(a[order]) for a in grid.reshape(4, -1)]
    is_call = np.arange(inputs[0].size) % 3 == 0
    want, _ = expected("black_prices", inputs, is_call)
    got = tarvik.black_prices(*inputs, is_call) if name == "black_prices" else \
        tarvik.black_greeks(*inputs, is_call)["price"]
    assert np.array_equal(value_bits(got), value_bits(want))


# The implied volatility takes a forward or strike shared by a block's valid
# elements once: a rejected first element, or one element's other value,
# must leave every result as the scalar function's.
@pytest.mark.parametrize("first", [math.nan, -1.0, 100.0, 101.0])
@pytest.mark.parametrize("shared", [(1,), (2,), (1, 2)])
def test_implied_volatility_shared_forward_or_strike_equals_scalar(first, shared):
    rng = np.random.default_rng(len(shared))
    n = 600  # blocks of 256, and a tail
    inputs = [a.copy() for a in draw("implied_volatilities", n, rng, invalid=0.0)]
    for k in shared:
        inputs[k][:] = 100.0
        inputs[k][::256] = first
    inputs[0] = tarvik.black_prices(*inputs[1:], 0.3, True)
    want, _ = expected("implied_volatilities", inputs, True)
    got = call("implied_volatilities", inputs, True)
    assert np.array_equal(value_bits(got), value_bits(want))


@pytest.mark.parametrize("name, n", [(name, n) for name in PRICED
                                     for n in (0, 1, 63, 64, 65, 1000, 100003)
                                     if size(name, n, 65) == n])
def test_parallel_equals_serial(name, n):
    rng = np.random.default_rng(n)
    inputs = draw(name, n, rng)
    if n > 1:
        inputs[-1] = float(draw(name, 1, rng, invalid=0.0)[-1][0])  # one broadcast input
    for is_call in flags(name):
        serial = call(name, inputs, is_call, parallel=False)
        assert np.array_equal(bits(call(name, inputs, is_call, parallel=True)), bits(serial))
    if n >= 64:
        assert np.isnan(serial).any() and not np.isnan(serial).all()


# ------------------------------------------------------------ result arrays --

@pytest.mark.parametrize("name", BATCHES)
@pytest.mark.parametrize("parallel", [False, True])
def test_results_are_new_arrays_and_inputs_are_untouched(name, parallel):
    for n in (0, 1, size(name, 200, 24)):
        inputs = draw(name, n, np.random.default_rng(n))
        inputs[0].flags.writeable = False  # read-only arrays are accepted
        copies = [a.copy() for a in inputs]
        for args, m in [(inputs, n)] + ([([float(a[0]) for a in inputs], 1)] if n else []):
            out = call(name, args, parallel=parallel)
            assert type(out) is np.ndarray and out.dtype == np.float64 and out.shape == (m,)
            assert out.flags.c_contiguous and out.flags.owndata and out.flags.writeable
            assert not any(np.shares_memory(out, a) for a in inputs)
        assert all(np.array_equal(bits(a), bits(c)) for a, c in zip(inputs, copies))
