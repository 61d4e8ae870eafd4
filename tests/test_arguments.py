"""Argument binding and conversion of the module's functions: the interpreter's
wording for every binding error, the float and boolean conversions, and
which exception wins when several things are wrong."""

import inspect
import itertools
import math
import struct

import numpy as np
import pytest
import tarvik

CALL = (100.0, 100.0, 1.0, 0.2, True)  # black_price
KEYS = ("forward", "strike", "maturity", "volatility", "is_call")


def bits(v):
    return struct.pack("<d", v)


def raises_type_error(call):
    with pytest.raises(TypeError) as info:
        call()
    return info.value


@pytest.mark.parametrize("call, message", [
    # Too many positional arguments ("arguments" stays plural).
    (lambda: tarvik.norm_pdf(1.0, 2.0), "norm_pdf() takes 1 positional arguments but 2 were given"),
    (lambda: tarvik.black_prices(1.0, 1.0, 1.0, 0.2, True, False, 7.0),
     "black_prices() takes from 4 to 6 positional arguments but 7 were given"),
    (lambda: tarvik.gammas(*range(6)), "gammas() takes from 4 to 5 positional arguments but 6 were given"),
    # Surplus positionals are reported before any keyword problem.
    (lambda: tarvik.norm_pdf(1.0, 2.0, y=3.0), "norm_pdf() takes 1 positional arguments but 2 were given"),
    # Keywords, in the order given; the first offending one ends the call.
    (lambda: tarvik.norm_cdf(0.0, x=1.0), "norm_cdf() got multiple values for argument 'x'"),
    (lambda: tarvik.black_price(*CALL, zz=1.0, forward=2.0),
     "black_price() got an unexpected keyword argument 'zz'"),
    (lambda: tarvik.black_price(*CALL, forward=2.0, zz=1.0),
     "black_price() got multiple values for argument 'forward'"),
    (lambda: tarvik.black_price(**{"is_call": True, "IS_CALL": True, "forward": 1.0}),
     "black_price() got an unexpected keyword argument 'IS_CALL'"),
    (lambda: tarvik.vegas(1.0, 1.0, 1.0, 0.2, is_call=True),
     "vegas() got an unexpected keyword argument 'is_call'"),
    (lambda: tarvik.norm_pdfs(0.0, parallel=True),
     "norm_pdfs() got an unexpected keyword argument 'parallel'"),
    # Missing arguments: one, two (" and ") and three or more (", and ").
    (lambda: tarvik.norm_pdf(), "norm_pdf() missing 1 required positional argument: 'x'"),
    (lambda: tarvik.black_price(100.0, 100.0, 1.0),
     "black_price() missing 2 required positional arguments: 'volatility' and 'is_call'"),
    (lambda: tarvik.black_price(strike=1.0, volatility=0.2),
     "black_price() missing 3 required positional arguments: 'forward', 'maturity', and 'is_call'"),
    (lambda: tarvik.black_scholes_prices(),
     "black_scholes_prices() missing 6 required positional arguments: "
     "'spots', 'strikes', 'maturities', 'rates', 'dividends', and 'vols'"),
])
def test_binding_error(call, message):
    exc = raises_type_error(call)
    assert type(exc) is TypeError
    assert str(exc) == message


def test_positional_and_keyword_mixes_agree():
    expected = tarvik.black_price(*CALL)
    for n_positional in range(len(CALL) + 1):
        named = list(zip(KEYS, CALL))[n_positional:]
        for order in itertools.permutations(named):
            got = tarvik.black_price(*CALL[:n_positional], **dict(order))
            assert bits(got) == bits(expected), (n_positional, order)
    assert tarvik.black_price(100, 100, 1, 0.2, True) == expected
    # Batch flags by position or keyword; where there is no is_call, a fifth
    # positional argument is parallel.
    put = tarvik.black_prices(forwards=100.0, strikes=110.0, maturities=1.0, vols=0.2,
                              parallel=True, is_call=False)
    assert bits(put[0]) == bits(tarvik.black_prices(100.0, 110.0, 1.0, 0.2, False, True)[0])
    vega = tarvik.vega(100.0, 110.0, 1.0, 0.2)
    assert bits(tarvik.vegas(100.0, 110.0, 1.0, 0.2, True)[0]) == bits(vega)


class Holder:
    class Flag:  # a nested class: the message names its qualified name
        pass


def with_qualname(answer):
    """An instance of a class whose metaclass answers __qualname__ with
    `answer` (any object), or raises it if it is an exception."""
    class Meta(type):
        def __getattribute__(cls, name):
            if name != "__qualname__":
                return super().__getattribute__(name)
            if isinstance(answer, BaseException):
                raise answer
            return answer
    return Meta("Odd", (), {})()


def numpy_like_bool(name, bool_method):
    """A class that passes for NumPy's boolean scalar type."""
    namespace = {} if bool_method is None else {"__bool__": bool_method}
    cls = type(name, (), namespace)
    cls.__module__ = "numpy"
    return cls()


@pytest.mark.parametrize("flag, message", [
    (1, "'int' object cannot be converted to 'PyBool'"),
    (0, "'int' object cannot be converted to 'PyBool'"),
    (1.0, "'float' object cannot be converted to 'PyBool'"),
    (None, "'NoneType' object cannot be converted to 'PyBool'"),
    ("True", "'str' object cannot be converted to 'PyBool'"),
    (np.int64(1), "'int64' object cannot be converted to 'PyBool'"),
    (Holder.Flag(), "'Holder.Flag' object cannot be converted to 'PyBool'"),
    # A metaclass may answer __qualname__ with anything: never a crash.
    (with_qualname(12345), "'12345' object cannot be converted to 'PyBool'"),
    (with_qualname((1.5, None)), "'(1.5, None)' object cannot be converted to 'PyBool'"),
    (with_qualname(RuntimeError("no name")), "'Odd' object cannot be converted to 'PyBool'"),
    (numpy_like_bool("bool_", lambda self: with_qualname(7)),
     "'7' object cannot be converted to 'PyBool'"),
    (numpy_like_bool("bool_", None),
     "object of type '<class 'numpy.bool_'>' does not define a '__bool__' conversion"),
])
def test_flag_rejected(flag, message):
    exc = raises_type_error(lambda: tarvik.black_price(100.0, 100.0, 1.0, 0.2, flag))
    assert type(exc) is TypeError and str(exc) == "argument 'is_call': " + message
    exc = raises_type_error(lambda: tarvik.black_prices(1.0, 1.0, 1.0, 0.2, is_call=flag))
    assert str(exc) == "argument 'is_call': " + message
    exc = raises_type_error(lambda: tarvik.gammas(1.0, 1.0, 1.0, 0.2, flag))
    assert str(exc) == "argument 'parallel': " + message


@pytest.mark.parametrize("flag, is_call", [
    (np.bool_(True), True),
    (np.bool_(False), False),
    (numpy_like_bool("bool_", lambda self: False), False),
])
def test_numpy_booleans_accepted(flag, is_call):
    assert bits(tarvik.black_price(100.0, 90.0, 1.0, 0.2, flag)) == bits(
        tarvik.black_price(100.0, 90.0, 1.0, 0.2, is_call))
    assert bits(tarvik.black_intrinsic(100.0, 90.0, flag)) == bits(10.0 if is_call else 0.0)
    assert tarvik.black_prices(100.0, 90.0, 1.0, 0.2, flag, flag)[0] == tarvik.black_price(
        100.0, 90.0, 1.0, 0.2, is_call)


class Floaty:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class Indexy:
    def __index__(self):
        return 100


def test_float_protocols_accepted():
    assert bits(tarvik.black_price(Floaty(100.0), Indexy(), 1, Floaty(0.2), True)) == bits(
        tarvik.black_price(*CALL))
    assert tarvik.norm_cdf(True) == tarvik.norm_cdf(1.0)  # bool is an int


ROOT = KeyError("root cause")


class Raising:
    def __init__(self, error):
        self.error = error

    def __float__(self):
        raise self.error


def conversion_message(obj):
    """The interpreter's own float conversion message for obj."""
    try:
        math.sqrt(obj)
    except TypeError as exc:
        return str(exc)
    raise AssertionError(f"{obj!r} converts to a float")


@pytest.mark.parametrize("obj", ["100", None, [100.0], 1j, Floaty(100)])
def test_float_conversion_error_names_the_parameter(obj):
    exc = raises_type_error(lambda: tarvik.black_price(100.0, obj, 1.0, 0.2, True))
    assert type(exc) is TypeError
    assert str(exc) == "argument 'strike': " + conversion_message(obj)


def test_other_conversion_errors():
    # A TypeError is prefixed with the parameter's name and keeps its cause;
    # any other error, a TypeError subclass included, passes unchanged.
    error = TypeError("cannot be a float")
    error.__cause__ = ROOT
    exc = raises_type_error(lambda: tarvik.norm_pdf(Raising(error)))
    assert str(exc) == "argument 'x': cannot be a float" and exc.__cause__ is ROOT
    for error in (ValueError("bad value"), type("OtherTypeError", (TypeError,), {})("subclass"),
                  ZeroDivisionError("zero")):
        with pytest.raises(BaseException) as info:
            tarvik.black_price(100.0, 100.0, Raising(error), 0.2, True)
        assert info.value is error
    with pytest.raises(OverflowError) as info:
        tarvik.black_price(10**400, 100.0, 1.0, 0.2, True)
    assert type(info.value) is OverflowError
    assert str(info.value) == "int too large to convert to float"


@pytest.mark.parametrize("call, expected", [
    # Conversion errors come before any IVError, in parameter order.
    (lambda: tarvik.black_price("100", 100.0, -1.0, 0.2, True), "argument 'forward': "),
    (lambda: tarvik.black_price(-1.0, "x", 1.0, 0.2, 1), "argument 'strike': "),
    (lambda: tarvik.black_price(-1.0, 100.0, -1.0, -0.2, 1), "argument 'is_call': "),
    (lambda: tarvik.implied_volatility(200.0, 100.0, 100.0, None, True), "argument 'maturity': "),
    # A batch checks its flags before any array, is_call before parallel, and
    # does not name the array parameter.
    (lambda: tarvik.black_prices([1.0], 1.0, 1.0, 0.2, is_call=1), "argument 'is_call': "),
    (lambda: tarvik.black_prices(1.0, 1.0, 1.0, 0.2, 1, 1), "argument 'is_call': "),
    (lambda: tarvik.black_prices("x", 1.0, 1.0, 0.2, parallel=1), "argument 'parallel': "),
    (lambda: tarvik.black_prices(1.0, 1.0, [1.0], 0.2), "expected a float or 1-D float64 numpy.ndarray"),
])
def test_first_failure_wins(call, expected):
    exc = raises_type_error(call)
    assert type(exc) is TypeError and str(exc).startswith(expected)


# Every scalar function over a few calls, by name of parameter: priced, the
# put side, and rejected inputs.
SCALAR_CALLS = [
    dict(forward=100.0, strike=95.0, spot=100.0, maturity=0.5, volatility=0.2, total_vol=0.3,
         rate=0.03, dividend=0.01, price=7.5, x=0.3, beta=0.1, is_call=True),
    dict(forward=100.0, strike=120.0, spot=90.0, maturity=2.0, volatility=0.4, total_vol=0.6,
         rate=-0.01, dividend=0.02, price=25.0, x=-1.5, beta=0.05, is_call=False),
    dict(forward=-1.0, strike=math.nan, spot=0.0, maturity=-1.0, volatility=-0.2, total_vol=math.inf,
         rate=math.nan, dividend=1e300, price=1e9, x=math.nan, beta=2.0, is_call=True),
]


def scalar_functions():
    for name in tarvik._core.__all__:
        f = getattr(tarvik._core, name)
        try:
            params = list(inspect.signature(f).parameters.values())
        except (TypeError, ValueError):
            continue
        if all(p.default is p.empty for p in params) and all(p.name in SCALAR_CALLS[0] for p in params):
            yield name, [p.name for p in params]


def outcome(f, args):
    try:
        value = f(*args)
    except Exception as exc:  # noqa: BLE001 - the error is the outcome
        return type(exc), str(exc)
    return "value", bits(value) if isinstance(value, float) else repr(value)


SCALARS = list(scalar_functions())


@pytest.mark.parametrize("name, params", SCALARS, ids=[name for name, _ in SCALARS])
def test_exact_floats_and_converted_arguments_agree(name, params):
    # Exact floats and True/False by position are read in place; NumPy's
    # scalars (a float subclass, a bool of its own) go through the binder.
    f = getattr(tarvik, name)
    for call in SCALAR_CALLS:
        args = [call[p] for p in params]
        converted = [np.bool_(a) if isinstance(a, bool) else np.float64(a) for a in args]
        assert outcome(f, args) == outcome(f, converted), (name, args)
