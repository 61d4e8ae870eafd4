"""Calls of tarvik._core built from a fuzzer's bytes, the Python program that
repeats each, and the judgement of what the call did.

The functions are found at import (every callable of `_core.__all__`, batch
if it takes 2-element arrays, parameters from `inspect.signature`), so that
functions added later are fuzzed too. A call is
* coherent: floats, proper flags and (batch) 1-D float64 arrays in every
  layout intake takes. A scalar call gives a float or IVError, the same for
  the same numbers as other types or by keyword; a batch result equals its
  scalar twin element by element (NaN where the scalar raises IVError),
  parallel equals serial bit for bit, and the inputs stay as they were
  (the private table writer _csv_rows: the bytes of repr() of each value,
  between the lines given;
  its reader _csv_numbers: the value of each field as the grammar written
  apart in tests/number_grammar.py reads it; the smiles' rows: quotes of
  every kind, hostile ones among them, in and a smile free of butterfly
  arbitrage out for every expiry said fitted, eSSVI's on or above the one
  before, the surface's values the same on the pool); or
* wild: anything anywhere, by position or keyword: floats and ints of every
  class and size, None, strings, containers, NumPy scalars and arrays of every
  dtype, shape, layout, byte order and alignment, objects whose conversions
  misbehave, raise or change an array of the same call; or proper arguments
  among which a few such objects.
Any call returns the right type or raises TypeError, OverflowError or
IVError; other exceptions only where Python raised them itself (the caller's
code, or a conversion Python refuses on its own). No call keeps a reference
to an argument.
"""

import gc
import inspect
import math
import os
import re
import struct
import sys
import warnings

import atheris
import numpy as np
import tarvik
from tarvik import _core
from tarvik.surface import _terms

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
from number_grammar import number  # noqa: E402

REJECTED = 0x7FF8000000000000  # an element the scalar twin rejects
FLAGS = ("is_call", "parallel")
# The smiles' private rows: quotes and slices as arrays, judged by check_surface.
SURFACE = ("_svi_fit", "_svi_smallest_butterfly", "_essvi_fit", "_essvi_as_svi",
           "_surface_values")
# A dividend schedule: keyword-only, one for a whole batch (not broadcast).
SCHEDULE = ("dividend_times", "dividend_amounts")


class Finding(AssertionError):
    """A call did what no call may do."""


# ---- helpers: defined here, and printed into a program that uses them ----

RAISED = []  # every exception that left the caller's code below


def f64(bits):
    return struct.unpack("<d", struct.pack("<Q", bits))[0]


def hook(value, effect=None, quiet=False):
    """A conversion hook: runs `effect` (its errors swallowed if `quiet`),
    then returns `value`, or raises a copy if it is an exception."""
    try:
        try:
            effect and effect()
        except Exception:
            if not quiet:
                raise
        if isinstance(value, BaseException):
            raise type(value)(*value.args)
        return value
    except BaseException as exc:
        RAISED.append(exc)
        raise


class Floaty:
    def __init__(self, *args):
        self.args = args

    def __float__(self):
        return hook(*self.args)


class Indexy:
    def __init__(self, *args):
        self.args = args

    def __index__(self):
        return hook(*self.args)


class FloatyArray(np.ndarray):
    def __array_finalize__(self, obj):
        self.args = getattr(obj, "args", (1.5,))

    def __float__(self):
        return hook(*self.args)


def floaty_array(a, *args):
    out = a.view(FloatyArray)
    out.args = args
    return out


class Key(str):
    """A keyword name whose str() is `shown`."""

    def __new__(cls, text, shown):
        out = super().__new__(cls, text)
        out.shown = shown
        return out

    def __str__(self):
        return hook(self.shown)


class OddMeta(type):
    """Classes that report the entries of their `_odd` as their attributes."""

    def __getattribute__(cls, name):
        odd = type.__getattribute__(cls, "_odd")
        return hook(odd[name]) if name in odd else type.__getattribute__(cls, name)


def odd(attrs):
    return OddMeta("Odd", (), {"_odd": attrs})()


def misaligned(a, offset):
    out = np.frombuffer(bytearray(a.nbytes + offset), a.dtype, a.size, offset).reshape(a.shape)
    out[...] = a
    return out


def window(a, before, after):
    """`a` as an offset view into a larger buffer."""
    whole = np.resize(a, before + a.size + after)
    whole[before:before + a.size] = a
    return whole[before:before + a.size]


def readonly(a):
    a.flags.writeable = False
    return a


HELPERS = {f.__name__: f for f in (f64, hook, Floaty, Indexy, FloatyArray, floaty_array, Key,
                                   OddMeta, odd, misaligned, window, readonly)}
NEEDS = {"Floaty": "hook", "Indexy": "hook", "FloatyArray": "hook", "floaty_array": "FloatyArray",
         "Key": "hook", "OddMeta": "hook", "odd": "OddMeta"}
NAMESPACE = dict(HELPERS, np=np, tarvik=tarvik, gc=gc, warnings=warnings, RAISED=RAISED)
COMPILED, SOURCES = {}, {}


class Function:
    def __init__(self, name):
        self.name, self.fn = name, getattr(_core, name)
        self.params = list(inspect.signature(self.fn).parameters)
        self.numeric = [p for p in self.params if p not in FLAGS + SCHEDULE]
        self.schedule = [p for p in self.params if p in SCHEDULE]
        self.text = name in ("_csv_rows", "_csv_numbers")  # a table as text
        self.surface = name in SURFACE
        if self.text or self.surface:
            self.batch = self.fields = False
            return
        probe = [np.zeros(2)] * len(self.numeric) + [True] * ("is_call" in self.params)
        try:
            probed = self.fn(*probe, **{p: [] for p in self.schedule})
            self.batch = isinstance(probed, (np.ndarray, dict))
            self.fields = isinstance(probed, dict)  # a dict of batch results, one per quantity
        except TypeError:
            self.batch = self.fields = False


# error_codes takes a batch function and its arguments: it is checked beside
# every coherent batch call (check_batch), not called on its own.
FUNCTIONS = [Function(n) for n in _core.__all__ if n != "error_codes"
             and callable(getattr(_core, n)) and not isinstance(getattr(_core, n), type)]
SCALARS = {f.name: f for f in FUNCTIONS if not f.batch}
for _f in FUNCTIONS:  # black_prices -> black_price, implied_volatilities -> implied_volatility
    _f.twin = next((SCALARS[c] for c in (_f.name[:-1], _f.name[:-3] + "y") if _f.batch
                    and c in SCALARS and len(SCALARS[c].numeric) == len(_f.numeric)), None)
FUNCTIONS += [Function(n) for n in ("_csv_rows", "_csv_numbers") + SURFACE]  # private: not in __all__
for _f in FUNCTIONS[-2 - len(SURFACE):]:
    _f.twin = None
FIELD_PARTS = ["1", "0", "9", ".", "e", "E", "+", "-", " ", "\t", "inf", "Infinity", "nan", "_",
               "x", "\r", "\xa0", "\u0661", "400", "999999999999999999999"]

# Typical values by the start of a parameter's name; the rest in (-10, 10).
ROLES = [("forward", (1.0, 1e4)), ("spot", (1.0, 1e4)), ("strike", (1.0, 1e4)),
         ("maturit", (1e-3, 5.0)), ("total_vol", (0.0, 3.0)), ("vol", (0.0, 1.5)),
         ("rate", (-0.05, 0.15)), ("dividend", (-0.05, 0.15)), ("price", (0.0, 60.0)),
         ("beta", (0.0, 1.0))]
SPECIAL = [0.0, -0.0, 5e-324, -5e-324, 2.2250738585072014e-308, 1e-300, 1e-16, 0.5, 1.0, -1.0,
           100.0, 1e16, 1e300, 1.7976931348623157e308, -1e300, math.inf, -math.inf, math.nan]
NAN_BITS = [0x7FF8000000000000, 0xFFF8000000000000, 0x7FF0000000000001, 0x7FF4000000000000,
            0xFFFFFFFFFFFFFFFF]
DTYPES = ["'<f8'", "'>f8'", "'<f4'", "'>f4'", "'<f2'", "np.longdouble", "'<i8'", "'>i8'", "'<u8'",
          "'<i4'", "'|i1'", "'|u1'", "'?'", "'<c16'", "'<c8'", "'<M8[s]'", "'<m8[ns]'", "'|V8'",
          "np.dtype([('x', '<f8')])", "np.dtype('<f8', metadata={'a': 1})", "object", "'<U3'",
          "'|S3'"]
ERRORS = ["ValueError", "TypeError", "OverflowError", "MemoryError", "RuntimeError",
          "ZeroDivisionError", "KeyError", "tarvik.IVError"]
# Changes to an earlier array of the call (@), made while a later argument converts.
MUTATIONS = ["setattr(@, 'dtype', np.uint8)", "setattr(@, 'dtype', np.float32)",
             "setattr(@, 'dtype', np.complex128)", "setattr(@, 'dtype', @.dtype.newbyteorder())",
             "setattr(@, 'shape', (2, -1))", "setattr(@, 'shape', (-1, 1))",
             "setattr(@, 'shape', ())", "setattr(@, 'strides', (2 * @.itemsize,))",
             "setattr(@, 'strides', (0,))", "setattr(@, 'strides', (-@.itemsize,))",
             "@.resize(4 * @.size + 64, refcheck=False)", "@.resize(@.size // 2, refcheck=False)",
             "@.resize(0, refcheck=False)", "setattr(@.flags, 'writeable', False)",
             "@.fill(np.nan)", "@.byteswap(inplace=True)"]
EFFECTS = ["gc.collect()", "warnings.warn('from the caller', DeprecationWarning)",
           "tarvik.black_prices(np.full(300, 100.0), 100.0, 1.0, 0.2, parallel=True)",
           "tarvik.black_price(100.0, 100.0, 1.0, 0.2, True)"]
ODD_VALUES = ["12345", "1.5", "(1, 2)", "None", "b'Odd'", "'Odd'", "Key('Odd', 'Odd')",
              "Key('Odd', 7)", "'x' * 5000", "ValueError('odd')", "MemoryError('odd')"]
BOOL_METHODS = ["lambda self: True", "lambda self: False", "lambda self: 2", "lambda self: None",
                "lambda self: np.True_", "lambda self: ODD", "lambda self: hook(KeyError('odd'))",
                "lambda self: hook(True, EFFECT)", "42", "RuntimeError('odd')"]
PLAIN_ODD = ["1", "0", "None", "1.0", "'True'", "np.array(True)", "np.bool_", "np.True_",
             "np.array([True, False])", "np.ones(70, bool)", "memoryview(np.ones(5, bool))",
             "np.ones(6, bool)[::2]", "np.ones(4, np.uint8)", "[True, False]",
             "np.ma.masked_array([True, False, True])"]
OBJECTS = ["__import__('decimal').Decimal('1.5')", "__import__('decimal').Decimal('sNaN')",
           "__import__('fractions').Fraction(1, 3)", "np.array(1.5)", "np.array([2.5])",
           "np.array(['1.5'])", "np.array(['x'], object)", "np.array([None], object)",
           "np.ma.masked", "np.float64('nan')", "np.str_('1.5')", "np.bytes_(b'1')",
           "np.datetime64('NaT')", "np.timedelta64(3, 's')", "np.int64(-3)", "''", "'1.5'",
           "b'1.5'", "bytearray(b'2')", "[1.0, 2.0]", "[]", "(1.5,)", "{}", "{1.5}", "1 + 2j",
           "complex(1.5, 0)", "range(3)", "0", "7", "True", "None", "2 ** 63", "-2 ** 63 - 1"]


def bits(x):
    return struct.unpack("<Q", struct.pack("<d", x))[0]


def value_bits(x):
    """The bits of a value, any NaN as the quiet NaN: which NaN a product of
    two NaNs passes on is the compiler's choice of operand order."""
    return REJECTED if math.isnan(x) else bits(x)


def array_ok(r):
    return (type(r) is np.ndarray and r.dtype == np.float64 and r.dtype.isnative and r.ndim == 1
            and r.flags.c_contiguous and r.flags.writeable and r.flags.owndata)


def result_ok(f, r):
    if f.name in ("_svi_fit", "_svi_smallest_butterfly"):
        kinds = [float] * 6 + [int, (str, type(None))] if f.name == "_svi_fit" else [float, float, bool]
        return type(r) is tuple and len(r) == len(kinds) and all(
            isinstance(x, k) for x, k in zip(r, kinds))
    if f.name == "_essvi_fit":
        return type(r) is list and all(type(x) is tuple and len(x) == 6 for x in r)
    if f.surface:
        return array_ok(r)
    if f.name == "_csv_numbers":
        return (type(r) is tuple and len(r) == 2 and array_ok(r[0]) and type(r[1]) is np.ndarray
                and r[1].dtype == np.int8 and r[1].shape == r[0].shape)
    if f.text:
        return type(r) is bytearray
    if not f.batch:
        return type(r) is float
    if f.fields:  # arrays of one length, each its own
        return (type(r) is dict and len(r) > 0 and all(array_ok(a) for a in r.values())
                and len({a.shape for a in r.values()}) == 1
                and not any(np.may_share_memory(a, b) for a in r.values() for b in r.values() if a is not b))
    return array_ok(r)


def first(result):
    """A batch result, or the first field of a dict of them."""
    return next(iter(result.values())) if isinstance(result, dict) else result


def field_twin(f, field):
    """The batch function that computes one field of a dict-returning batch
    function on its own: black_greeks' "delta" is deltas, black_scholes_greeks'
    is black_scholes_deltas; "price" is black_prices."""
    prefix = f.name[:f.name.rfind("_") + 1]
    names = [f"{prefix}{field}s"] + [f"{field}s"] * (prefix == "black_")
    return next((getattr(_core, n) for n in names if n in _core.__all__), None)


def same_bits(a, b):
    """Equal bit for bit, any NaN for any NaN."""
    same = (np.isnan(a) & np.isnan(b)) | (a.view(np.uint64) == b.view(np.uint64))
    return a.shape == b.shape and bool(np.all(same))


def check_fields(call, args, kwargs, result):
    """Each field carries the bits of its own batch function's result."""
    bound = dict(zip(call.f.params, args))
    bound.update(kwargs)
    for field, values in result.items():
        twin = field_twin(call.f, field)
        if twin is None and call.f.name in ("american_greeks", "european_greeks"):
            continue  # its Greeks are differences of prices, with no batch function each
        if twin is None:
            raise Finding(f"field {field!r} has no batch function of its own")
        params = inspect.signature(twin).parameters
        want, err = invoke(twin, [], {k: v for k, v in bound.items() if k in params})
        if err is None and "is_call" not in params and want.shape == (1,):
            want = np.broadcast_to(want, values.shape)  # is_call alone set the length
        if err is not None or not same_bits(values, want):
            raise Finding(f"field {field!r} differs from {twin.__name__}: {err or want!r:.300}")


# ---------------------------------------------------------------- builder --

class Call:
    """One call built from the fuzzer's bytes, with the program that repeats it."""

    def __init__(self, data):
        self.fdp = atheris.FuzzedDataProvider(data)
        self.lines, self.helpers, self.objs, self.arrays = [], set(), [], []
        self.ns = dict(NAMESPACE)
        self.warnings, self.inputs, self.flags = "ignore", None, {}
        self.f = self.pick(FUNCTIONS)
        self.coherent = self.chance(3)
        self.n = self.pick([0, 1, 2, 3, 7, 63, 64, 65, 100, 300, self.fdp.ConsumeIntInRange(0, 4000)])
        if self.f.name.startswith(("american_", "european_")):  # milliseconds an element
            self.n = min(self.n, 3)
        if self.f.name.startswith("american_"):  # a put with dividends: up to seconds
            self.n = min(self.n, 1)
        (self.build_coherent if self.coherent else self.build_wild)()

    def pick(self, options):
        return options[self.fdp.ConsumeIntInRange(0, len(options) - 1)]

    def chance(self, n):
        return self.fdp.ConsumeIntInRange(0, n - 1) == 0

    def use(self, name):
        while name and name not in self.helpers:
            self.helpers.add(name)
            name = NEEDS.get(name)

    def name(self, obj, src):
        """Names an argument; returns (obj, its name)."""
        if self.ns.get(src) is obj:
            return obj, src
        var = f"a{len(self.objs)}"
        self.lines.append(f"{var} = {src}")
        self.ns[var] = obj
        self.objs.append(obj)
        if isinstance(obj, np.ndarray):
            self.arrays.append(var)
        return obj, var

    def evaluate(self, src, cache=True):
        """The object of `src` in the program's namespace; the code of
        sources drawn from the fixed lists above compiles once."""
        code = COMPILED.get(src)
        if code is None:
            code = (compile(src, "<fuzz>", "eval"), set(re.findall(r"\w+", src)) & HELPERS.keys())
            if cache:
                COMPILED[src] = code
        for name in code[1]:
            self.use(name)
        return eval(code[0], self.ns), src

    def number(self, param=""):
        fdp, k = self.fdp, self.fdp.ConsumeIntInRange(0, 7)
        if k == 0:
            x = self.pick(SPECIAL)
        elif k == 1:
            x = f64(self.pick(NAN_BITS))
        elif k == 2:
            x = fdp.ConsumeFloat()
        elif k == 3:
            x = struct.unpack("<d", fdp.ConsumeBytes(8).ljust(8, b"\0"))[0]
        else:
            lo, hi = next((r for p, r in ROLES if param.startswith(p)), (-10.0, 10.0))
            x = fdp.ConsumeFloatInRange(lo, hi)
        if math.isfinite(x):
            return x, repr(x)
        self.use("f64")
        return x, f"f64(0x{bits(x):016x})"

    def effect(self):
        """Source of a lambda that a hook runs, or None."""
        k = self.fdp.ConsumeIntInRange(0, 4)
        if k <= 1 and self.arrays:
            return "lambda: " + self.pick(MUTATIONS).replace("@", self.pick(self.arrays))
        if k == 2:
            return f"lambda: hook({self.pick(ERRORS)}('effect'))"
        return "lambda: " + self.pick(EFFECTS) if k == 3 else None

    def hook_args(self, value):
        effect = self.effect()
        return value if effect is None else f"{value}, {effect}" + ", True" * self.chance(2)

    def float_array(self, n, param, named=True):
        """A float64 array of n elements in a layout intake takes."""
        values = [self.number(param) for _ in range(self.fdp.ConsumeIntInRange(1, 6))]
        src = f"np.resize(np.array([{', '.join(s for _, s in values)}]), {n})"
        a, k = np.resize(np.array([v for v, _ in values]), n), self.fdp.ConsumeIntInRange(0, 6)
        if k == 1:
            off = self.fdp.ConsumeIntInRange(1, 7)
            a, src = misaligned(a, off), f"misaligned({src}, {off})"
        elif k == 2:
            b, e = self.fdp.ConsumeIntInRange(1, 9), self.fdp.ConsumeIntInRange(0, 9)
            a, src = window(a, b, e), f"window({src}, {b}, {e})"
        elif k == 3:
            a, src = readonly(a), f"readonly({src})"
        elif k == 4:
            a, src = np.frombuffer(a.tobytes()), f"np.frombuffer({src}.tobytes())"
        elif k == 5:
            a, src = np.ma.masked_array(a), f"np.ma.masked_array({src})"
        self.use({1: "misaligned", 2: "window", 3: "readonly"}.get(k))
        return self.name(a, src) if named else (a, src)

    def flag(self):
        v = self.chance(2)
        return self.name(np.bool_(v), f"np.bool_({v})") if self.chance(4) else (v, repr(v))

    def build_surface(self):
        """Quotes of one or more expiries (hostile ones among them: NaN, 0,
        negative, huge, repeated), or a surface's slices and points."""
        f, fdp = self.f, self.fdp
        name = f.name
        if name == "_svi_smallest_butterfly":
            self.inputs = [self.number(p) for p in f.numeric]
            self.args, self.kwargs = list(self.inputs), []
            return
        if name == "_essvi_as_svi":
            self.inputs = [self.float_array(3 * fdp.ConsumeIntInRange(0, 5), "parameters")]
            self.args, self.kwargs = list(self.inputs), []
            return
        if name == "_surface_values":
            times = sorted({fdp.ConsumeFloatInRange(0.01, 5.0) for _ in range(fdp.ConsumeIntInRange(1, 5))})
            rows = []
            for _ in times:  # raw SVI slices, mostly sound, now and then anything
                rows += [fdp.ConsumeFloatInRange(0.0, 0.2), fdp.ConsumeFloatInRange(0.0, 1.0),
                         fdp.ConsumeFloatInRange(-1.0, 1.0), fdp.ConsumeFloatInRange(-1.0, 1.0),
                         fdp.ConsumeFloatInRange(1e-3, 1.0)]
                if self.chance(8):
                    rows[-1 - fdp.ConsumeIntInRange(0, 4)] = self.number()[0]
            forwards = [fdp.ConsumeFloatInRange(1.0, 1e4) for _ in times]
            smile, quantity = fdp.ConsumeIntInRange(0, 1), fdp.ConsumeIntInRange(0, 4)
            self.inputs = [(smile, repr(smile)),
                           self.name(np.array(times), f"np.array({times!r})"),
                           self.name(np.array(forwards), f"np.array({forwards!r})"),
                           self.name(np.array(rows), f"np.array({rows!r})"),
                           self.float_array(self.n, "strike" if quantity == 3 else ""),
                           self.float_array(self.pick([1, self.n]), "maturity"),
                           (quantity, repr(quantity))]
            self.args, self.kwargs = list(self.inputs), []
            if fdp.ConsumeBool():
                self.kwargs = [("parallel", "'parallel'", self.flag())]
            return
        # Quotes: k, w and weights of some expiries.
        counts = [fdp.ConsumeIntInRange(0, 40) for _ in range(fdp.ConsumeIntInRange(1, 4))]
        if name == "_svi_fit":
            counts = counts[:1]
        total = sum(counts)
        ks, ws, weights = [], [], []
        for c in counts:
            theta, slope = fdp.ConsumeFloatInRange(1e-4, 1.0), fdp.ConsumeFloatInRange(-0.5, 0.5)
            for _ in range(c):
                k = fdp.ConsumeFloatInRange(-3.0, 3.0)
                ks.append(k)
                ws.append(theta + slope * k + fdp.ConsumeFloatInRange(0.0, 0.5) * k * k)
                weights.append(fdp.ConsumeFloatInRange(0.0, 10.0))
        for column in (ks, ws, weights):  # a few hostile values
            for _ in range(fdp.ConsumeIntInRange(0, 3) if total else 0):
                column[fdp.ConsumeIntInRange(0, total - 1)] = self.number()[0]
        arrays = [self.name(np.array(c, dtype=float), f"np.array({c!r})") for c in (ks, ws, weights)]
        if name == "_essvi_fit":
            arrays.insert(0, self.name(np.array(counts, dtype=float), f"np.array({counts!r}, dtype=float)"))
        self.inputs = arrays
        self.args, self.kwargs = list(arrays), []

    def build_coherent(self):
        f, fdp = self.f, self.fdp
        self.inputs = []
        if f.surface:
            self.build_surface()
            return
        if f.name == "_csv_numbers":  # fields of number-like text
            fields = ["".join(self.pick(FIELD_PARTS) for _ in range(fdp.ConsumeIntInRange(0, 6)))
                      for _ in range(fdp.ConsumeIntInRange(1, 20))]
            text = "\n".join(fields).encode()
            self.inputs = []
            self.args, self.kwargs = [self.name(text, repr(text))], []
            return
        if f.text:  # a table that fills whole lines
            values = self.float_array(self.n, "") if fdp.ConsumeBool() else self.number()
            size = values[0].size if isinstance(values[0], np.ndarray) else 1
            columns = self.pick([c for c in (1, 2, 3, 7, 9) if size % c == 0])
            self.inputs = [values]
            self.args, self.kwargs = [values], []
            if fdp.ConsumeBool():
                self.kwargs = [("columns", "'columns'", (columns, repr(columns)))]
            elif columns != 1 or fdp.ConsumeBool():
                self.args.append((columns, repr(columns)))
            if fdp.ConsumeBool():  # blocks of lines on the pool: the same bytes
                self.kwargs.append(("parallel", "'parallel'", self.flag()))
            for name in ("before", "after")[:fdp.ConsumeIntInRange(0, 2)]:  # lines around rows
                text = "".join(self.pick(FIELD_PARTS[:8] + ["", ",", "\xe9"]) + "\n"
                               for _ in range(size // columns)).encode()
                self.kwargs.append((name, repr(name), (text, repr(text))))
            return
        for p in f.numeric:
            k = fdp.ConsumeIntInRange(0, 9)
            if not f.batch or k < 2:
                self.inputs.append(self.number(p))
            else:
                m = 1 if k == 2 else fdp.ConsumeIntInRange(0, 70) if k == 3 and self.chance(4) else self.n
                self.inputs.append(self.float_array(m, p))
        if "is_call" in f.params and (not f.batch or fdp.ConsumeBool()):
            if f.batch and self.chance(8):  # one flag per element, if that is taken
                m, pattern = self.pick([1, self.n]), [fdp.ConsumeBool() for _ in range(3)]
                self.flags["is_call"] = self.name(np.resize(np.array(pattern), m),
                                                  f"np.resize(np.array({pattern}), {m})")
            else:
                self.flags["is_call"] = self.flag()
        self.args, self.kwargs = list(self.inputs), []
        schedule = [(p, repr(p), v) for p, v in zip(f.schedule, self.coherent_schedule())]
        if not f.batch:
            self.args += self.flags.values()
            self.kwargs = schedule
            return
        tail = []  # the last inputs by keyword
        while self.args and not fdp.ConsumeBool():
            tail.insert(0, (f.numeric[len(self.args) - 1], self.args.pop()))
        self.kwargs = [(k, repr(k), v) for k, v in tail + list(self.flags.items())] + schedule

    def coherent_schedule(self):
        """A sound dividend schedule: times increasing from above 0 (some
        beyond a maturity, one maybe on it), amounts >= 0; as lists, float64
        arrays or None (no dividends)."""
        fdp = self.fdp
        if fdp.ConsumeIntInRange(0, 7) == 0:
            return [self.name(None, "None")] * 2
        count = fdp.ConsumeIntInRange(0, 6)
        times, t = [], 0.0
        for _ in range(count):
            t += fdp.ConsumeFloatInRange(1e-3, 1.5)
            times.append(t)
        amounts = [fdp.ConsumeFloatInRange(0.0, 20.0) for _ in range(count)]
        as_array = fdp.ConsumeBool()
        return [self.name(np.array(v), f"np.array({v!r})") if as_array else (v, repr(v))
                for v in (times, amounts)]

    def wild_value(self, param):
        k = self.fdp.ConsumeIntInRange(0, 12)
        if k <= 2:
            return self.number(param)
        if k == 3:
            return self.float_array(self.n, param)
        if k == 4:
            return self.wild_array()
        if k == 5:
            e, d = self.fdp.ConsumeIntInRange(0, 1100), self.fdp.ConsumeIntInRange(-3, 3)
            sign = self.pick([1, -1])
            return sign * ((1 << e) + d), f"{'-' * (sign < 0)}((1 << {e}) + {d})"
        if k <= 7:
            return self.evaluate(self.pick(OBJECTS))
        if k == 8:  # a NumPy scalar of any dtype from raw bytes
            dt = self.pick(DTYPES[:19])
            dtype = self.evaluate(f"np.dtype({dt})")[0]
            raw = self.fdp.ConsumeBytes(dtype.itemsize).ljust(dtype.itemsize, b"\0")
            return np.frombuffer(raw, dtype)[0], f"np.frombuffer(bytes.fromhex('{raw.hex()}'), {dt})[0]"
        if k == 9:
            return self.hooked(param)
        if k == 10 and self.arrays:
            var = self.pick(self.arrays)
            return self.ns[var], var
        return self.odd_value()

    def hooked(self, param):
        """An object whose conversion runs the caller's code."""
        if self.chance(4):
            _, base = self.float_array(self.n, param, named=False)
            return self.evaluate(f"floaty_array({base}, {self.hook_args(self.pick(['1.5', 'None']))})")
        value = "1.5" if self.fdp.ConsumeBool() else self.pick(
            ["2", "None", "'1.5'", "np.float64(2.5)", "ValueError('hook')", "float('nan')",
             "1 << 2000", "True", "Key('x', 'x')"])
        return self.evaluate(f"{self.pick(['Floaty', 'Floaty', 'Indexy'])}({self.hook_args(value)})")

    def odd_value(self):
        """An object whose type reports odd names, maybe passing for a NumPy
        bool whose __bool__ misbehaves."""
        attrs = {"__qualname__": self.pick(ODD_VALUES)}
        if self.fdp.ConsumeBool():
            attrs["__module__"] = self.pick(["'numpy'", "'numpy'", "12", "KeyError('odd')"])
            attrs["__name__"] = self.pick(["'bool_'", "'bool'", "None", "TypeError('odd')"])
            if self.fdp.ConsumeBool():
                attrs["__bool__"] = self.pick(BOOL_METHODS).replace("EFFECT", self.effect() or "None") \
                    .replace("ODD", f"odd({{'__qualname__': {self.pick(ODD_VALUES)}}})")
        return self.evaluate("odd({" + ", ".join(f"{k!r}: {v}" for k, v in attrs.items()) + "})")

    def wild_array(self):
        fdp, n = self.fdp, self.n
        dt = self.pick(DTYPES)
        dtype = self.evaluate(f"np.dtype({dt})")[0]
        shape = self.pick([(n,), (n,), (), (1,), (0,), (2, n), (n, 2), (1, n), (2, 2, 2)])
        step = self.pick([1, 1, 2, -1])
        size = int(np.prod(shape)) * abs(step)
        if dtype.kind in "OUS":
            vals = [self.pick([1.5, "2.5", "x", None, 3]) for _ in range(fdp.ConsumeIntInRange(1, 3))]
            src = f"np.resize(np.array({vals!r}, {dt}), {size})"
        else:
            raw = fdp.ConsumeBytes(dtype.itemsize * fdp.ConsumeIntInRange(1, 4))
            raw = raw.ljust(dtype.itemsize * max(1, -(-len(raw) // dtype.itemsize)), b"\0")
            src = f"np.resize(np.frombuffer(bytes.fromhex('{raw.hex()}'), {dt}), {size}).copy()"
        k = fdp.ConsumeIntInRange(0, 9)
        if k == 1 and dtype.kind != "O":
            src = f"misaligned({src}, {fdp.ConsumeIntInRange(1, 7)})"
        elif k == 2:
            src = f"window({src}, {fdp.ConsumeIntInRange(1, 5)}, {fdp.ConsumeIntInRange(0, 5)})"
        src = f"{src}[::{step}].reshape({shape!r}, order={self.pick(['C', 'F'])!r})"
        if k == 3:
            src = f"readonly({src})"
        elif k == 4:
            src = f"np.broadcast_to(np.resize({src}, 1), {shape!r})"
        elif k == 5:
            src = f"np.ma.masked_array({src})"
        elif k == 6 and len(shape) == 2:
            src = f"np.asmatrix({src})"
        elif k == 7 and dtype.kind != "O":
            src = f"np.frombuffer({src}.tobytes(), {dt}).reshape({shape!r})"
        try:
            return self.name(*self.evaluate(src, cache=False))
        except Exception:  # NumPy refuses this combination: a plain array instead
            return self.float_array(n, "")

    def wild_flag(self):
        k = self.fdp.ConsumeIntInRange(0, 7)
        if k <= 2:
            return self.flag()
        return self.name(*self.evaluate(self.pick(PLAIN_ODD)) if k == 3 else self.odd_value())

    def build_wild(self):
        """Anything anywhere; or (nearly valid) proper arguments among which a
        few run the caller's code, which can change an array taken in before."""
        f, fdp = self.f, self.fdp
        self.warnings = self.pick(["ignore", "error"])
        nearly_valid = fdp.ConsumeBool()
        values = {}
        for p in f.params:
            k = fdp.ConsumeIntInRange(0, 11)
            if k == 0 and not nearly_valid:
                continue  # left out
            if p in FLAGS:
                values[p] = self.flag() if nearly_valid and k > 3 else self.wild_flag()
            elif nearly_valid and k < 4 and f.batch:
                values[p] = self.float_array(self.n, p)
            elif k < 6:
                values[p] = self.number(p)
            else:
                values[p] = self.name(*(self.hooked(p) if nearly_valid and k < 8 else self.wild_value(p)))
        npos = fdp.ConsumeIntInRange(0, len(f.params) + 1)
        self.args, self.kwargs = [], []
        for i, p in enumerate(f.params):
            if p not in values:
                npos = min(npos, i)  # positions stop at the first gap
            elif i < npos:
                self.args.append(values[p])
            else:
                self.kwargs.append((p, repr(p), values[p]))
        if not nearly_valid and self.chance(4):
            self.args.append((1.0, "1.0"))  # one too many, or at a gap
        elif not nearly_valid and self.chance(3):  # a name of no parameter, or twice
            key = self.pick(f.params + ["bogus", ""])
            shown = self.pick(["", "None", "7", "ValueError()", "'odd'"])
            named = self.evaluate(f"Key({key!r}, {shown})") if shown else (key, repr(key))
            self.kwargs.append((*named, (2.0, "2.0")))

    def program(self):
        head = ["import numpy as np, tarvik, warnings, gc, struct"]
        for name in (n for n in HELPERS if n in self.helpers):
            if name not in SOURCES:
                SOURCES[name] = inspect.getsource(HELPERS[name]).rstrip()
            head.append("\n" + SOURCES[name])
        head += ["\nRAISED = []"] * ("hook" in self.helpers)
        kwargs = ", ".join(f"{k}: {src}" for _, k, (_, src) in self.kwargs)
        args = ", ".join([src for _, src in self.args] + [f"**{{{kwargs}}}"] * bool(self.kwargs))
        return "\n".join(head + [""] + self.lines + [
            f"warnings.simplefilter({self.warnings!r})", f"print(tarvik._core.{self.f.name}({args}))"])


# ----------------------------------------------------------------- judges --

def invoke(fn, args, kwargs, mode="ignore"):
    with warnings.catch_warnings():
        warnings.simplefilter(mode)
        try:
            return fn(*args, **kwargs), None
        except Exception as exc:  # judged by the caller
            return None, exc


def allowed(call, exc):
    """Whether an exception of a wild call is one it may raise."""
    if isinstance(exc, (TypeError, OverflowError, tarvik.IVError)) or any(exc is r for r in RAISED):
        return True
    if call.f.text and type(exc) is ValueError and str(exc).startswith("_csv_rows() "):
        return True  # columns below 1, or values that fill no whole line
    if call.f.surface and type(exc) is ValueError and str(exc).startswith(call.f.name + "() "):
        return True  # malformed slices, points or counts
    if call.warnings == "error" and isinstance(exc, Warning):
        return True
    with warnings.catch_warnings():  # what Python's own float conversion raises
        warnings.simplefilter(call.warnings)
        for obj in call.objs:
            if not isinstance(obj, (Floaty, Indexy, FloatyArray, Key)) and type(type(obj)) is not OddMeta:
                try:
                    math.copysign(obj, 1.0)
                except Exception as own:
                    if type(own) is type(exc):
                        return True
    return False


def run(data):
    call = Call(data)
    try:
        judge(call)
    except Finding as finding:
        raise Finding(f"{call.f.name}: {finding}\n--- the call, as a program:\n{call.program()}") from None
    finally:
        RAISED.clear()


def judge(call):
    tracked = [o for o in call.objs if o is not np.ma.masked and (
        isinstance(o, (np.ndarray, Floaty, Indexy, Key)) or type(type(o)) is OddMeta)]
    counts = [sys.getrefcount(o) for o in tracked]
    before = call.coherent and [np.ndarray.tobytes(o) for o in call.objs if isinstance(o, np.ndarray)]
    # A one-element array is taken as a float: later changes to it are harmless.
    scalars = {id(o) for o in call.objs if isinstance(o, np.ndarray) and o.size == 1}
    args, kwargs = [obj for obj, _ in call.args], {key: obj for key, _, (obj, _) in call.kwargs}
    result, exc = invoke(call.f.fn, args, kwargs, call.warnings)
    flag = call.flags.get("is_call", (True,))[0]
    if isinstance(flag, np.ndarray) and isinstance(exc, TypeError) and not (
            flag.ndim == 1 and flag.dtype == bool and flag.flags.c_contiguous):
        return  # only a 1-D contiguous bool array gives the option types per element
    if exc is None and not result_ok(call.f, result):
        raise Finding(f"returned {type(result).__name__}: {result!r:.200}")
    if isinstance(exc, tarvik.IVError) and not (
            len(exc.args) == 2 and all(type(a) is str for a in exc.args)) and exc not in RAISED:
        raise Finding(f"IVError with args {exc.args!r:.200}")
    if exc is not None and not (isinstance(exc, tarvik.IVError) or (
            not call.coherent or call.f.surface) and allowed(call, exc)):
        raise Finding(f"raised {type(exc).__name__}: {exc!s:.300}")
    if call.coherent:
        check = (check_text if call.f.text else check_surface if call.f.surface
                 else check_batch if call.f.batch else check_scalar)
        check(call, args, kwargs, result, exc, flag)
        if [np.ndarray.tobytes(o) for o in call.objs if isinstance(o, np.ndarray)] != before:
            raise Finding("an input array was changed")
    elif call.f.batch and exc is None:
        check_taken(call, args, kwargs, result, scalars)
    del result, exc, args, kwargs, flag
    RAISED.clear()
    if [sys.getrefcount(o) for o in tracked] != counts:
        gc.collect()
        if [sys.getrefcount(o) for o in tracked] != counts:
            raise Finding(f"argument reference counts {counts} became "
                          f"{[sys.getrefcount(o) for o in tracked]}")


def same(a, b):
    if isinstance(a, float) and isinstance(b, float):
        return bits(a) == bits(b)
    return type(a) is type(b) is tarvik.IVError and a.args == b.args


def check_scalar(call, args, kwargs, result, exc, flag):
    """The same numbers as other types, or by keyword, give the same outcome."""
    f, fdp = call.f, call.fdp
    if not f.numeric:
        return
    i = fdp.ConsumeIntInRange(0, len(f.numeric) - 1)
    x = args[i]
    others = [np.float64(x), np.array(x), Floaty(x)]
    if not math.isnan(x):  # other formats need not keep a NaN's bits
        others += [np.longdouble(x)] + [np.float32(x)] * (float(np.float32(x)) == x)
    if math.isfinite(x) and x == int(x) and abs(x) < 2.0**53 and math.copysign(1.0, x) > 0:
        others.append(int(x))
    alt = list(args)
    alt[i] = call.pick(others)
    positional = [p for p in f.params if p not in SCHEDULE]
    names = positional[fdp.ConsumeIntInRange(0, len(positional) - 1):]
    schedule = {p: kwargs[p] for p in f.schedule}
    got, err = invoke(f.fn, alt[:len(positional) - len(names)],
                      {**{p: alt[positional.index(p)] for p in names}, **schedule})
    if not same(result if exc is None else exc, got if err is None else err):
        raise Finding(f"{alt[i]!r} at {f.params[i]!r}, {names} by keyword: "
                      f"{got if err is None else err!r}")


def check_surface(call, args, kwargs, result, exc, flag):
    """Every smile said fitted is free of butterfly arbitrage, eSSVI's on or
    above the fitted one before it; a surface's values the same on the pool."""
    if exc is not None:
        return
    name = call.f.name
    if name == "_svi_fit" and result[7] is None:
        if not _core._svi_smallest_butterfly(*result[:5])[2]:
            raise Finding(f"fitted an arbitrageable smile {result[:5]}")
    if name == "_essvi_fit":
        grid = np.linspace(-3.0, 3.0, 61)
        before = None
        for theta, rho, psi, _, _, reason in result:
            if reason is not None:
                continue
            raw = _core._essvi_as_svi(np.array([theta, rho, psi]))
            if not _core._svi_smallest_butterfly(*raw)[2]:
                raise Finding(f"fitted an arbitrageable eSSVI smile {(theta, rho, psi)}")
            w = _core._surface_values(1, np.ones(1), np.ones(1), raw, grid, 1.0, 0)
            # w's rounding scales with its terms (Surface.check's tolerance).
            terms = _terms(raw, grid)
            if before is not None and np.any(before[0] - w > 1e-12 * np.maximum(terms, before[1])):
                raise Finding(f"eSSVI smile {(theta, rho, psi)} below the one before")
            before = (w, terms)
    if name == "_surface_values":
        serial = call.f.fn(*args[:7])
        pooled = call.f.fn(*args[:7], parallel=True)
        if serial.tobytes() != pooled.tobytes() or serial.tobytes() != result.tobytes():
            raise Finding("serial and parallel surface values differ")


def check_text(call, args, kwargs, result, exc, flag):
    """Lines of `columns` fields, each as repr() writes it, NaN empty; or
    each field's value and kind as the grammar reads it."""
    if call.f.name == "_csv_numbers":
        for i, field in enumerate(args[0].decode().split("\n")):
            want = number(field)
            kind = 2 if not field.strip(" \t") else int(want is None)
            got = float(result[0][i])
            if result[1][i] != kind or (value_bits(got) != REJECTED if want is None
                                        else bits(got) != bits(want)):
                raise Finding(f"field {field!r} read as {got!r} (kind {result[1][i]}), "
                              f"the grammar gives {want!r} (kind {kind})")
        return
    values = np.asarray(args[0], dtype=np.float64).reshape(-1).tolist()
    columns = (args[1:] or [kwargs.get("columns", 1)])[0]
    fields = ["" if v != v else repr(v) for v in values]
    rows = [",".join(fields[i:i + columns]) for i in range(0, len(fields), columns)]
    before = kwargs.get("before")
    if before is not None:
        rows = [f"{line},{row}" for line, row in zip(before.decode().split("\n"), rows)]
    after = kwargs.get("after")
    ends = after.decode().split("\n") if after is not None else [""] * len(rows)
    want = "".join(f"{row}{end}\n" for row, end in zip(rows, ends))
    if result != want.encode():
        raise Finding(f"wrote {result!r:.300}, repr() gives {want!r:.300}")


def check_batch(call, args, kwargs, result, exc, flag):
    f, fdp = call.f, call.fdp
    columns = [np.asarray(obj, dtype=np.float64).reshape(-1) for obj, _ in call.inputs]
    # An array of option types counts in the length rule like the values.
    lengths = [c.size for c in columns] + ([flag.size] if isinstance(flag, np.ndarray) else [])
    n = 0 if 0 in lengths else max(lengths, default=1)
    if any(m not in (1, n) for m in lengths) != (exc is not None):
        raise Finding(f"lengths {lengths}: {exc!r}")
    if exc is not None:
        return
    if first(result).shape != (n,) or any(np.may_share_memory(first(result), c) for c in columns):
        raise Finding(f"lengths {lengths}: a result of shape {first(result).shape}, or sharing an input")
    if f.fields:
        check_fields(call, args, kwargs, result)
    flags = np.broadcast_to(np.asarray(flag, dtype=bool).reshape(-1), (n,))
    checked = range(n) if n <= 64 else {*range(8), *range(n - 8, n),
                                        *(fdp.ConsumeIntInRange(0, n - 1) for _ in range(16))}
    codes, err = invoke(_core.error_codes, [f.fn, *args], kwargs)
    if f.fields and isinstance(err, TypeError):  # error_codes may take only single-result functions
        codes, err = np.zeros(n, np.int8), None
    if err is not None or codes.dtype != np.int8 or codes.shape != (n,):
        raise Finding(f"error_codes gives {err or codes!r:.300}")
    for i in checked if f.twin else ():
        values = [float(c[0] if c.size == 1 else c[i]) for c in columns]
        values += [bool(flags[i])] * ("is_call" in f.twin.params)
        want, err = invoke(f.twin.fn, values, {p: kwargs[p] for p in f.schedule})
        if err is not None and not isinstance(err, tarvik.IVError):
            raise Finding(f"{f.twin.name}{tuple(values)} raised {err!r}")
        code = tarvik.ERROR_KINDS.index(err.args[0]) if err is not None else 0
        want = REJECTED if err is not None else value_bits(want)
        if value_bits(float(result[i])) != want or codes[i] != code:
            raise Finding(f"element {i} is 0x{bits(float(result[i])):016x} (code {codes[i]}), "
                          f"{f.twin.name}{tuple(values)} gives 0x{want:016x} (code {code})")
    if "parallel" in f.params:
        other, err = invoke(f.fn, args, dict(kwargs, parallel=True))
        pairs = [(other[k], result[k]) for k in result] if f.fields and err is None else [(other, result)]
        if err is not None or any(a.view(np.uint64).tolist() != b.view(np.uint64).tolist() for a, b in pairs):
            raise Finding(f"parallel gives {err or other!r:.300}")


def check_taken(call, args, kwargs, result, scalars):
    """After the call, every array it took in is still a 1-D contiguous
    float64 array (a later argument's conversion may have changed it), and
    the result has the length the rule gives for their lengths and that of an
    array of option types, whether each came by position or by keyword. (A
    FloatyArray may have been taken either way; so may an array that had one
    element when the call began.)"""
    bound = dict(zip(call.f.params, args))
    bound.update(kwargs)
    lengths = []
    for obj in (bound[p] for p in call.f.numeric):
        if type(obj) is FloatyArray or id(obj) in scalars:
            return
        if isinstance(obj, np.ndarray) and obj.size != 1 and not (
                obj.ndim == 1 and obj.dtype == np.float64 and obj.dtype.isnative and obj.flags.c_contiguous):
            raise Finding(f"took in an array that is now {obj.dtype.str}, shape {obj.shape}, "
                          f"strides {obj.strides}")
        lengths.append(obj.size if isinstance(obj, np.ndarray) else 1)
    flag = bound.get("is_call", True)
    if not isinstance(flag, (bool, np.bool_)) and type(type(flag)) is not OddMeta:
        taken = np.asarray(flag)  # only a 1-D bool array over its memory is taken
        if taken.ndim != 1 or taken.dtype != bool:
            raise Finding(f"took option types from {type(flag).__name__} {taken.dtype} {taken.shape}")
        lengths.append(taken.size)
    if first(result).shape != (0 if 0 in lengths else max(lengths),):
        raise Finding(f"a result of shape {first(result).shape} for lengths {lengths}")


def explain(data):
    """The program of one input, checked to rebuild the arguments it ran with."""
    call = Call(data)
    text, ns = call.program(), {}
    exec(text.rsplit("\n", 1)[0], ns)
    for i, obj in enumerate(call.objs):
        copy = ns[f"a{i}"]
        if type(type(obj)) is OddMeta:
            continue  # a class of its own each time
        if type(copy).__qualname__ != type(obj).__qualname__ or isinstance(obj, np.ndarray) and (
                (copy.dtype, copy.strides, copy.ctypes.data % 8)
                != (obj.dtype, obj.strides, obj.ctypes.data % 8)
                or not obj.dtype.hasobject and np.ndarray.tobytes(copy) != np.ndarray.tobytes(obj)):
            text += f"\n# (note: a{i} is rebuilt as {type(copy).__name__}, not as it ran)"
    return text
