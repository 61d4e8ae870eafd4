"""The surface of tarvik._core: names, signatures, doc texts, IVError and the
import-time behaviour of the extension (re-import, subinterpreters, NumPy)."""

import inspect
import os
import subprocess
import sys

import pytest
import tarvik
import tarvik._core as core
from fresh_interpreter import run_python

# Every module attribute in registration order, with the text signature of
# each function and the doc body of each batch function.
B = "forward, strike, maturity, volatility"
S = "spot, strike, maturity, rate, dividend, volatility"
SCALARS = {
    **dict.fromkeys(["norm_pdf", "norm_cdf", "norm_cdf_c"], "(x)"),
    "black_intrinsic": "(forward, strike, is_call)",
    "log_moneyness": "(forward, strike)",
    "black_price": f"({B}, is_call)",
    "black_price_total_vol": "(forward, strike, total_vol, is_call)",
    "black_scholes_forward": "(spot, maturity, rate, dividend)",
    "black_scholes_price": f"({S}, is_call)",
    "implied_volatility": "(price, forward, strike, maturity, is_call)",
    "normalised_implied_volatility": "(beta, x, is_call)",
    "delta": f"({B}, is_call)",
    **dict.fromkeys(["gamma", "vega", "theta", "vomma", "vanna"], f"({B})"),
    "black_scholes_delta": f"({S}, is_call)",
    **dict.fromkeys(["black_scholes_gamma", "black_scholes_vega"], f"({S})"),
    "black_scholes_theta": f"({S}, is_call)",
    **dict.fromkeys(["black_scholes_vomma", "black_scholes_vanna"], f"({S})"),
}
FLAGS = "is_call=True, parallel=False"
BF = "forwards, strikes, maturities, vols"
BATCH = {
    "norm_pdfs": ("(x)", "Batch Standard Normal PDF."),
    "norm_cdfs": ("(x)", "Batch Standard Normal CDF."),
    "norm_cdf_cs": ("(x)", "Batch Standard Normal survival `1 \u2212 \u03a6(x)`."),
    "black_prices": (f"({BF}, {FLAGS})", "Batch undiscounted Black-76 prices."),
    "black_scholes_prices": (f"(spots, strikes, maturities, rates, dividends, vols, {FLAGS})",
                             "Batch discounted Black\u2013Scholes\u2013Merton prices."),
    "implied_volatilities": (f"(prices, forwards, strikes, maturities, {FLAGS})",
                             "Batch Black implied volatilities."),
    "normalised_implied_volatilities": (f"(betas, xs, {FLAGS})",
                                        "Batch normalised Black total-volatility inversions."),
    "deltas": (f"({BF}, {FLAGS})", "Batch Black-76 forward deltas."),
    "gammas": (f"({BF}, parallel=False)", "Batch Black-76 gammas."),
    "vegas": (f"({BF}, parallel=False)", "Batch Black-76 vegas."),
    "vommas": (f"({BF}, parallel=False)", "Batch Black-76 vommas (volga)."),
    "vannas": (f"({BF}, parallel=False)", "Batch Black-76 vannas."),
}
NAMES = ["IVError", "__version__", *SCALARS, *BATCH]
SIGNATURES = {**SCALARS, **{name: sig for name, (sig, _) in BATCH.items()}}
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
GEN_STUBS = os.path.join(ROOT, "tools", "gen_stubs.py")


def test_all_begins_with_the_first_37_names_in_registration_order():
    assert len(NAMES) == 37
    assert type(core.__all__) is list
    assert core.__all__[:37] == NAMES and core.__all__[-1] == "ERROR_KINDS"
    assert len(set(core.__all__)) == len(core.__all__)
    assert tarvik.__all__ == core.__all__
    for name in core.__all__:
        assert getattr(tarvik, name) is getattr(core, name), name
    assert core.__version__ == tarvik.__version__ == "0.1.1"
    assert core.__doc__ == "Python module `tarvik._core` \u2014 compiled extension."


@pytest.mark.parametrize("name", SIGNATURES)
def test_first_names_signature_and_doc(name):
    # The text shows defaults, and "/" or "*" for positional- or keyword-only.
    function = getattr(core, name)
    assert str(inspect.signature(function)) == SIGNATURES[name]
    assert function.__doc__ == (BATCH[name][1] if name in BATCH else None)


@pytest.mark.parametrize("name", [n for n in core.__all__[37:] if callable(getattr(core, n))])
def test_later_function_is_the_modules_and_documented(name):
    # Their signatures are checked against the stubs (gen_stubs --check).
    function = getattr(core, name)
    assert function.__self__ is core
    assert function.__module__ == core.__name__ == "tarvik._core"
    assert len(function.__doc__) > 60  # each states its parameters, units and error rule


@pytest.mark.skipif(not os.path.exists(GEN_STUBS), reason="tools/ is not in this checkout")
def test_stubs_are_generated_from_the_module_and_the_docs():
    # The committed stubs are what tools/gen_stubs.py writes from this module's
    # names and signatures and tools/stub_docs.py: a function without its
    # documentation entry, or a hand edit of the stub, shows here as a diff.
    done = subprocess.run([sys.executable, GEN_STUBS, "--check"], capture_output=True, text=True,
                          env={**os.environ, "PYTHONPATH": os.path.dirname(os.path.dirname(core.__file__))})
    assert done.returncode == 0, done.stdout + done.stderr


def test_iv_error_class_and_instance():
    cls = core.IVError
    assert (cls.__module__, cls.__name__, cls.__qualname__) == ("tarvik", "IVError", "IVError")
    assert cls.__bases__ == (Exception,)
    assert cls.__doc__ is None
    with pytest.raises(tarvik.IVError) as info:
        tarvik.black_price(100.0, 100.0, -1.0, 0.2, True)
    exc = info.value
    assert type(exc) is core.IVError
    assert exc.args == ("negative_time", "maturity must be positive, got -1")
    assert all(type(arg) is str for arg in exc.args)
    assert str(exc) == "('negative_time', 'maturity must be positive, got -1')"


def test_reimport_gives_the_same_module_and_numpy_is_never_imported():
    out = run_python("""
        import sys
        import tarvik._core as first
        first.black_price(100.0, 100.0, 1.0, 0.2, True)
        try:
            first.black_price(100.0, 100.0, 1.0, -0.1, True)
        except first.IVError as exc:
            earlier = exc
        print("numpy" in sys.modules)
        del sys.modules["tarvik._core"], sys.modules["tarvik"]
        import tarvik._core as second
        import tarvik
        assert second is first and tarvik._core is first
        assert second.IVError is first.IVError is tarvik.IVError
        assert second.__all__ == first.__all__ and second.__all__[36] == "vannas"
        try:
            raise earlier
        except second.IVError as exc:
            print(exc.args[0])
    """)
    assert out.splitlines() == ["False", "invalid_input"]


PROBE = """
try:
    import tarvik._core
    outcome = "imported"
except ImportError as exc:
    outcome = "ImportError: " + str(exc)
with open(PATH, "w") as fh:
    fh.write(outcome)
"""


def test_second_interpreter_is_refused(tmp_path):
    path = tmp_path / "outcome"
    out = run_python(f"""
        import sys
        import tarvik._core
        try:
            from _testcapi import run_in_subinterp
        except ImportError:
            if sys.version_info >= (3, 12):
                raise SystemExit
            try:
                import _xxsubinterpreters as interpreters
            except ImportError:
                raise SystemExit
            def run_in_subinterp(code):
                interpreters.run_string(interpreters.create(), code)
        run_in_subinterp({PROBE.replace("PATH", repr(str(path)))!r})
        print(tarvik._core.norm_cdf(0.0))  # the first interpreter's module is untouched
    """)
    if not out:
        pytest.skip("this interpreter cannot start a subinterpreter")
    assert path.read_text() == "ImportError: PyO3 modules do not yet support subinterpreters"
    assert out == "0.5"


def test_stubs_match_the_module():
    # The type stubs list what the module offers, with the same signatures:
    # neither can change without the other (but for the names of the
    # signatures' types, which only the type checker has).
    pytest.importorskip("mypy")
    allowlist = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                             "tools", "stubtest-allowlist.txt")
    if not os.path.exists(allowlist):
        pytest.skip("tools/ is not beside the tests")
    done = subprocess.run([sys.executable, "-m", "mypy.stubtest", "tarvik", "--allowlist", allowlist],
                          capture_output=True, text=True)
    assert done.returncode == 0, done.stdout + done.stderr


def mypy_strict(tmp_path, lines):
    """mypy --strict over a program of `lines`: its output and exit status."""
    pytest.importorskip("mypy")
    program = tmp_path / "program.py"
    program.write_text("".join(line + "\n" for line in lines))
    done = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental", str(program)],
                          capture_output=True, text=True)
    return done.stdout + done.stderr, done.returncode


def test_stubs_refuse_arrays_of_another_dtype(tmp_path):
    # Int and float32 arrays are refused at run time (TypeError): the stubs
    # refuse them too, where a float64 array passes. Older NumPy typing
    # makes a float32 array a float64 one (its precisions were subclasses of
    # one another); the probe on line 5 says which typing this is.
    out, _ = mypy_strict(tmp_path, [
        "import numpy as np",
        "import numpy.typing as npt",
        "import tarvik",
        "singles = np.zeros(2, np.float32)",
        "probe: npt.NDArray[np.float64] = singles",
        "tarvik.black_prices(np.ones(2), 100.0, 1.0, 0.2)",
        "tarvik.vegas(100.0, np.arange(2), 1.0, 0.2)",
        "tarvik.implied_volatilities(singles, 100.0, 100.0, 1.0)"])
    lines = [line.split(":")[1] for line in out.splitlines() if ": error:" in line]
    assert lines in (["5", "7", "8"], ["7"]), out


def test_stubs_accept_what_batches_take(tmp_path):
    # What a batch function reads at run time type-checks against the stubs:
    # buffers and objects that convert to an array (a Series) for values.
    out, status = mypy_strict(tmp_path, [
        "import array",
        "from typing import Any",
        "import tarvik",
        "class Series:",
        "    def __array__(self, dtype: Any = None, copy: Any = None) -> Any: ...",
        "k = array.array('d', [90.0, 110.0])",
        "p = tarvik.black_prices(Series(), k, memoryview(k), 0.2)",
        "print(tarvik.implied_volatilities(p, 100.0, k, memoryview(k), is_call=p > 0).shape)"])
    assert status == 0, out
