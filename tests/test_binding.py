"""What the binder owns and says: every bound argument stays alive until the
call is done, on either calling convention, whatever the caller's code does
to the containers that brought it; a wrong argument keeps the message and
gains a note naming it; option types from array-likes; a masked single
element. (Run on the ASan build by tools/sanitize.sh, where a use of a freed
argument is a report.)"""

import warnings

import numpy as np
import pytest
import tarvik
from fresh_interpreter import run_python

# Each call's first argument empties the keyword dictionary that brought the
# arguments (freeing them, unless the binder holds them), then fails. The
# second argument is watched through a weak reference while that happens.
EMPTIED_CONTAINERS = """
import gc, json, sys, weakref, numpy as np, tarvik

class Watched:
    def __float__(self):
        return 100.0

class Evil:
    def __float__(self):
        for d in gc.get_referrers(self):
            if isinstance(d, dict) and any(v is self for v in d.values()):
                d.clear()
        ALIVE.append(WATCHED() is not None)
        raise TypeError("from Evil")

def call(kind):
    global WATCHED
    second = np.full(3, 100.0) if kind != "scalar" else Watched()
    WATCHED = weakref.ref(second)
    if kind == "scalar":
        kwargs = {"forward": Evil(), "strike": second, "maturity": 1.0, "volatility": 0.2,
                  "is_call": True}
        del second
        return tarvik.black_price(**kwargs)
    kwargs = {"prices": Evil(), "forwards": second, "strikes": 100.0, "maturities": 1.0}
    del second
    if kind == "codes":
        return tarvik.error_codes(tarvik.implied_volatilities, **kwargs)
    return tarvik.implied_volatilities(**kwargs)

out = {}
for kind in ("batch", "scalar", "codes"):
    ALIVE = []
    try:
        call(kind)
    except TypeError as exc:
        out[kind] = [ALIVE, str(exc)]
print(json.dumps(out))
"""


@pytest.mark.parametrize("convention", ["vectorcall", "tuple"])
def test_arguments_live_until_the_call_is_done(convention):
    env = {"PYTHONMALLOC": "malloc"}  # a freed object is then visible to ASan
    if convention == "tuple":
        env["TARVIK_TEST_TUPLE_CALLS"] = "1"  # the convention CPython 3.9 always takes
    out = run_python(EMPTIED_CONTAINERS, env)
    assert out == ('{"batch": [[true], "expected a float or 1-D float64 numpy.ndarray"], '
                   '"scalar": [[true], "argument \'forward\': from Evil"], '
                   '"codes": [[true], "expected a float or 1-D float64 numpy.ndarray"]}')


def note_of(call):
    with pytest.raises(TypeError) as info:
        call()
    return str(info.value), getattr(info.value, "__notes__", None)


VALUES = "pass a float or a contiguous 1-D float64 array (numpy.ascontiguousarray(x, dtype=float))"
FLAGS = ("pass True, False or a 1-D bool array (a NumPy bool array, or a pandas or Polars "
         "Boolean Series without missing values)")
EXPECTED = "expected a float or 1-D float64 numpy.ndarray"


@pytest.mark.parametrize("call, message, note", [
    (lambda: tarvik.black_prices(100.0, [1.0, 2.0], 1.0, 0.2), EXPECTED,
     f"argument 'strikes' (position 2): got list; {VALUES}"),
    (lambda: tarvik.black_prices(100.0, 100.0, maturities=np.arange(3), vols=0.2), EXPECTED,
     f"argument 'maturities' (position 3): got numpy.ndarray of dtype int64 and shape (3,); {VALUES}"),
    (lambda: tarvik.deltas(np.zeros((2, 3)), 100.0, 1.0, 0.2), EXPECTED,
     f"argument 'forwards' (position 1): got numpy.ndarray of dtype float64 and shape (2, 3); {VALUES}"),
    (lambda: tarvik.vegas(100.0, 100.0, 1.0, np.zeros(6)[::2]),
     "numpy array must be a contiguous float64 buffer",
     "argument 'vols' (position 4): got numpy.ndarray of dtype float64 and shape (3,), "
     f"not contiguous; {VALUES}"),
    (lambda: tarvik.black_prices(100.0, 100.0, 1.0, 0.2, [True]),
     "argument 'is_call': 'list' object cannot be converted to 'PyBool'",
     f"argument 'is_call' (position 5): got list; {FLAGS}"),
    (lambda: tarvik.gammas(100.0, 100.0, 1.0, 0.2, parallel=1),
     "argument 'parallel': 'int' object cannot be converted to 'PyBool'",
     "argument 'parallel' (position 5): got int; pass True or False"),
    (lambda: tarvik.black_price(100.0, "100", 1.0, 0.2, True),
     "argument 'strike': must be real number, not str",
     "argument 'strike' (position 2): got str; pass a float"),
    (lambda: tarvik.black_price(100.0, 100.0, 1.0, 0.2, None),
     "argument 'is_call': 'NoneType' object cannot be converted to 'PyBool'",
     "argument 'is_call' (position 5): got NoneType; pass True or False"),
])
def test_a_wrong_argument_keeps_its_message_and_gains_a_note(call, message, note):
    assert note_of(call) == (message, [note])


def test_option_types_from_array_likes_that_expose_their_memory():
    strikes = np.array([90.0, 100.0, 110.0, 120.0])
    flags = [True, False, False, True]
    want = tarvik.black_prices(100.0, strikes, 1.0, 0.2, np.array(flags))
    likes = [memoryview(np.array(flags))]
    pd = pytest.importorskip("pandas")
    likes.append(pd.Series(flags))
    try:
        import polars as pl
        likes.append(pl.Series(flags))  # bit-packed: a conversion
    except ImportError:
        pass
    for like in likes:
        got = tarvik.black_prices(100.0, strikes, 1.0, 0.2, is_call=like)
        assert got.tobytes() == want.tobytes()
    # Never a list, never a cast of another dtype, never a missing value.
    for bad in (flags, pd.Series([1, 0, 0, 1]), pd.Series([True, None, False, True], dtype="boolean"),
                np.array(flags, dtype=np.uint8)):
        message, notes = note_of(lambda: tarvik.black_prices(100.0, strikes, 1.0, 0.2, bad))
        assert message.startswith("argument 'is_call': ") and notes[0].endswith(FLAGS)


def test_a_masked_single_element_is_masked_whatever_the_warning_filters():
    strikes = np.array([90.0, 110.0])
    for masked in (np.ma.masked_array([100.0], mask=[True]), np.ma.masked,
                   np.ma.masked_array(np.array([[100.0]], np.float32), mask=True)):
        for mode in ("ignore", "error"):
            with warnings.catch_warnings():
                warnings.simplefilter(mode)
                codes = tarvik.error_codes(tarvik.black_prices, masked, strikes, 1.0, 0.2)
                values = tarvik.black_prices(masked, strikes, 1.0, 0.2)
            assert [tarvik.ERROR_KINDS[c] for c in codes] == ["masked", "masked"]
            assert np.isnan(values).all()
    # Unmasked, it is the value it holds.
    one = np.ma.masked_array([100.0], mask=[False])
    want = tarvik.black_prices(100.0, strikes, 1.0, 0.2)
    assert tarvik.black_prices(one, strikes, 1.0, 0.2).tobytes() == want.tobytes()
