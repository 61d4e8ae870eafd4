"""The surface of tarvik._core: names, signatures, doc texts, IVError and the
import-time behaviour of the extension (re-import, subinterpreters, NumPy)."""

import inspect
import os
import subprocess
import sys
import textwrap

import pytest

import tarvik
import tarvik._core as core

# Every module attribute in registration order, with the text signature of
# each function and the doc body of each batch function.
SCALARS = {
    "norm_pdf": "(x)",
    "norm_cdf": "(x)",
    "norm_cdf_c": "(x)",
    "black_intrinsic": "(forward, strike, is_call)",
    "log_moneyness": "(forward, strike)",
    "black_price": "(forward, strike, maturity, volatility, is_call)",
    "black_price_total_vol": "(forward, strike, total_vol, is_call)",
    "black_scholes_forward": "(spot, maturity, rate, dividend)",
    "black_scholes_price": "(spot, strike, maturity, rate, dividend, volatility, is_call)",
    "implied_volatility": "(price, forward, strike, maturity, is_call)",
    "normalised_implied_volatility": "(beta, x, is_call)",
    "delta": "(forward, strike, maturity, volatility, is_call)",
    "gamma": "(forward, strike, maturity, volatility)",
    "vega": "(forward, strike, maturity, volatility)",
    "theta": "(forward, strike, maturity, volatility)",
    "vomma": "(forward, strike, maturity, volatility)",
    "vanna": "(forward, strike, maturity, volatility)",
    "black_scholes_delta": "(spot, strike, maturity, rate, dividend, volatility, is_call)",
    "black_scholes_gamma": "(spot, strike, maturity, rate, dividend, volatility)",
    "black_scholes_vega": "(spot, strike, maturity, rate, dividend, volatility)",
    "black_scholes_theta": "(spot, strike, maturity, rate, dividend, volatility, is_call)",
    "black_scholes_vomma": "(spot, strike, maturity, rate, dividend, volatility)",
    "black_scholes_vanna": "(spot, strike, maturity, rate, dividend, volatility)",
}
FLAGS = "is_call=True, parallel=False"
BATCH = {
    "norm_pdfs": ("(x)", "Batch Standard Normal PDF."),
    "norm_cdfs": ("(x)", "Batch Standard Normal CDF."),
    "norm_cdf_cs": ("(x)", "Batch Standard Normal survival `1 \u2212 \u03a6(x)`."),
    "black_prices": (
        f"(forwards, strikes, maturities, vols, {FLAGS})",
        "Batch undiscounted Black-76 prices.",
    ),
    "black_scholes_prices": (
        f"(spots, strikes, maturities, rates, dividends, vols, {FLAGS})",
        "Batch discounted Black\u2013Scholes\u2013Merton prices.",
    ),
    "implied_volatilities": (
        f"(prices, forwards, strikes, maturities, {FLAGS})",
        "Batch Black implied volatilities.",
    ),
    "normalised_implied_volatilities": (
        f"(betas, xs, {FLAGS})",
        "Batch normalised Black total-volatility inversions.",
    ),
    "deltas": (f"(forwards, strikes, maturities, vols, {FLAGS})", "Batch Black-76 forward deltas."),
    "gammas": ("(forwards, strikes, maturities, vols, parallel=False)", "Batch Black-76 gammas."),
    "vegas": ("(forwards, strikes, maturities, vols, parallel=False)", "Batch Black-76 vegas."),
    "vommas": (
        "(forwards, strikes, maturities, vols, parallel=False)",
        "Batch Black-76 vommas (volga).",
    ),
    "vannas": ("(forwards, strikes, maturities, vols, parallel=False)", "Batch Black-76 vannas."),
}
NAMES = ["IVError", "__version__", *SCALARS, *BATCH]
SIGNATURES = {**SCALARS, **{name: sig for name, (sig, _) in BATCH.items()}}


def test_all_lists_every_attribute_in_registration_order():
    assert len(NAMES) == 37
    assert type(core.__all__) is list
    assert core.__all__ == NAMES
    assert tarvik.__all__ == NAMES
    for name in NAMES:
        assert getattr(tarvik, name) is getattr(core, name), name


def test_version_and_module_doc():
    assert core.__version__ == tarvik.__version__ == "0.1.1"
    assert core.__doc__ == "Python module `tarvik._core` \u2014 compiled extension."


@pytest.mark.parametrize("name", SIGNATURES)
def test_function_signature(name):
    function = getattr(core, name)
    signature = inspect.signature(function)
    assert str(signature) == SIGNATURES[name]
    assert {p.kind for p in signature.parameters.values()} == {
        inspect.Parameter.POSITIONAL_OR_KEYWORD
    }
    defaults = {p.name: p.default for p in signature.parameters.values()
                if p.default is not inspect.Parameter.empty}
    assert defaults == {k: v for k, v in {"is_call": True, "parallel": False}.items()
                        if name in BATCH and f"{k}=" in SIGNATURES[name]}
    assert function.__self__ is core
    assert function.__module__ == core.__name__ == "tarvik._core"


@pytest.mark.parametrize("name", SIGNATURES)
def test_function_doc(name):
    expected = BATCH[name][1] if name in BATCH else None
    assert getattr(core, name).__doc__ == expected


def test_iv_error_class():
    cls = core.IVError
    assert (cls.__module__, cls.__name__, cls.__qualname__) == ("tarvik", "IVError", "IVError")
    assert cls.__bases__ == (Exception,)
    assert cls.__doc__ is None


def test_iv_error_instance_carries_kind_and_message():
    with pytest.raises(tarvik.IVError) as info:
        tarvik.black_price(100.0, 100.0, -1.0, 0.2, True)
    exc = info.value
    assert type(exc) is core.IVError and isinstance(exc, Exception)
    assert exc.args == ("negative_time", "maturity must be positive, got -1")
    assert all(type(arg) is str for arg in exc.args)
    assert str(exc) == "('negative_time', 'maturity must be positive, got -1')"


def run_python(code):
    """Runs `code` in a fresh interpreter that imports this same tarvik."""
    package_root = os.path.dirname(os.path.dirname(os.path.abspath(tarvik.__file__)))
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [package_root, env.get("PYTHONPATH")]))
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=env,
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    return done.stdout.strip()


def test_reimport_returns_the_same_module_and_class():
    out = run_python("""
        import sys
        import tarvik._core as first
        try:
            first.black_price(100.0, 100.0, 1.0, -0.1, True)
        except first.IVError as exc:
            earlier = exc
        del sys.modules["tarvik._core"], sys.modules["tarvik"]
        import tarvik._core as second
        import tarvik
        assert second is first and tarvik._core is first
        assert second.IVError is first.IVError is tarvik.IVError
        assert second.__all__ == first.__all__ and len(second.__all__) == 37
        try:
            raise earlier
        except second.IVError as exc:
            print(exc.args[0])
    """)
    assert out == "invalid_input"


def test_second_interpreter_is_refused():
    out = run_python("""
        import os, sys, tempfile
        import tarvik._core
        probe = '''
        try:
            import tarvik._core
            outcome = "imported"
        except ImportError as exc:
            outcome = "ImportError: " + str(exc)
        with open(%r, "w") as fh:
            fh.write(outcome)
        '''
        path = os.path.join(tempfile.mkdtemp(), "outcome")
        code = probe.replace("\\n        ", "\\n") % path
        try:
            from _testcapi import run_in_subinterp
        except ImportError:
            run_in_subinterp = None
        if run_in_subinterp is not None:
            run_in_subinterp(code)
        elif sys.version_info < (3, 12):
            try:
                import _xxsubinterpreters as interpreters
            except ImportError:
                print("unavailable")
                raise SystemExit
            interpreters.run_string(interpreters.create(), code)
        else:
            print("unavailable")
            raise SystemExit
        with open(path) as fh:
            print(fh.read())
        # The first interpreter's module is untouched.
        print(tarvik._core.norm_cdf(0.0))
    """)
    if out == "unavailable":
        pytest.skip("this interpreter cannot start a subinterpreter")
    assert out.splitlines() == [
        "ImportError: PyO3 modules do not yet support subinterpreters", "0.5"]


def test_import_and_scalar_calls_leave_numpy_alone():
    out = run_python("""
        import sys
        import tarvik
        tarvik.black_price(100.0, 100.0, 1.0, 0.2, True)
        try:
            tarvik.black_price(-1.0, 100.0, 1.0, 0.2, True)
        except tarvik.IVError:
            pass
        print("numpy" in sys.modules)
    """)
    assert out == "False"
