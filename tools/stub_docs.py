"""The documentation of every function of tarvik._core, written once:
tools/gen_stubs.py makes the docstrings of python/tarvik/_core.pyi from it
and the signatures from the built module.

An entry documents a scalar function and, under ``batch``, its batch twin,
whose docstring is derived: its summary is "Batch <scalar>: <values>,
element by element.", its parameters the plural forms of the scalar's (from
PARAMS), its Returns and Raises the batch rule. A batch function with no
scalar twin (the *_greeks and error_codes) or a private helper is an entry
of its own with ``kind`` set. Prose is re-wrapped; examples are kept as
written and run as doctests (tests/test_docs.py).
"""

# Each parameter of a scalar function by name (an entry's params may differ).
PARAMS = {
    'x': 'The point x at which to evaluate (a standard normal variate).',
    'forward': "Forward price F of the underlying for the option's expiry, > 0.",
    'spot': 'Spot price S of the underlying, > 0.',
    'strike': 'Strike K, in the units of the forward, > 0.',
    'maturity': 'Time to expiry T in years, > 0.',
    'volatility': 'Volatility sigma per year (0.2 is 20%), >= 0.',
    'rate': 'Continuously compounded risk-free rate r per year (0.03 is 3%).',
    'dividend': 'Continuous dividend (or foreign-rate) yield q per year.',
    'is_call': 'True for a call, False for a put.',
    'dividend_times': """Ex-dates of the cash dividends, in years from now: finite, above 0,
    strictly increasing (two amounts on one date are one dividend, their sum). An option
    counts those up to its maturity, one on the maturity included.""",
    'dividend_amounts': """Cash amount of each dividend, paid as of its ex-date (a later
    pay date discounted into it), finite and >= 0: the spot drops by it, to max(S - D,
    0). As long as dividend_times; both empty for none.""",
}

# The normal (Bachelier) model's inputs, where they differ.
NORMAL_PARAMS = {
    'forward': 'Forward price, any finite real (negative included), in price units.',
    'strike': 'Strike, any finite real, in price units.',
    'volatility': 'Normal volatility in price units per square root of a year (0.01 is 100 basis points a year), >= 0.',
}

# The errors shared by the functions of one model.
BLACK_ERRORS = (
    "``invalid_input`` for a non-finite argument or a negative volatility; "
    "``negative_forward``, ``negative_strike`` or ``negative_time`` for a forward, strike "
    "or maturity not above 0 (checked in that order).")
SPOT_ERRORS = (
    "``invalid_input`` for a non-finite argument, a spot not above 0, a negative "
    "volatility, or a forward S e^((r - q) T) or discount factor that overflows or "
    "underflows; ``negative_strike`` or ``negative_time`` for a strike or maturity not "
    "above 0.")
NORMAL_ERRORS = (
    "``invalid_input`` for a non-finite input, a difference F - K that overflows or a "
    "negative volatility; ``negative_time`` for a maturity not above 0.")

# What the stub begins with: its docstring, imports and the types that the
# signatures use.
PREAMBLE = r'''"""Type stubs of the compiled extension tarvik._core, with the documentation of
every function.

Units everywhere: maturity in years; rate, dividend yield and volatility per
year (0.2 is 20%); vega, vanna and vomma per unit of volatility, rho per unit
of rate; theta is -dV/dT per year. Black-76 is undiscounted (on a forward);
the black_scholes_ functions price on a spot with continuously compounded
rate and dividend yield and are discounted.

Scalar functions raise IVError(kind, message) for inputs they reject and
TypeError for arguments of the wrong type. Batch functions take floats
(broadcast) or 1-D float64 arrays of one length n (read in place, never
copied), return a new float64 array, and write NaN where the scalar function
would raise; error_codes() tells which error. Their is_call is a bool or a
1-D bool array, and parallel=True computes on the process's worker pool (from
64 elements) with the same bits. A batch raises IVError("invalid_input") for
arrays of different lengths (length-1 arrays and floats broadcast) and
TypeError for a list, an array of another dtype, of more than one dimension
or not contiguous (convert with numpy.asarray(x, dtype=float)).
"""

import sys
from typing import Optional, Protocol, Sequence, Tuple, Union, type_check_only

if sys.version_info >= (3, 11):
    from typing import TypedDict
else:
    from typing_extensions import TypedDict

import array

import numpy as np
import numpy.typing as npt

class _ArrayLike(Protocol):
    # A pandas or Polars Series, or anything else that converts to a float64
    # array (an ndarray of another dtype does not: the run time refuses it).
    def __array__(self) -> npt.NDArray[np.float64]: ...

# The names of the signatures' types exist for the type checker only
# (tarvik._core has none of them at run time; tools/stubtest-allowlist.txt).

FloatOrArray = Union[float, npt.NDArray[np.float64], array.array[float], memoryview, _ArrayLike]
"""A batch's numeric input: a float (the same for every element) or a 1-D
contiguous float64 array (one value per element), or an object exposing one:
a buffer of doubles (array.array("d"), memoryview) or a pandas or Polars
Series. The run time checks the dtype and the layout (the type checker
cannot tell a buffer of doubles from one of floats)."""

BoolOrArray = Union[bool, npt.NDArray[np.bool_]]
"""A batch's is_call: a bool (one option type for every element) or a 1-D
bool array (one per element)."""

FloatArray = npt.NDArray[np.float64]
"""A batch's result: a new 1-D float64 array, one value per element."""

Schedule = Union[Sequence[float], npt.NDArray[np.float64], None]
"""A dividend schedule's times or amounts: a list or 1-D float64 array with
one element per dividend (None or empty for none), shared by every element
of a batch."""


@type_check_only
class BlackGreeks(TypedDict):
    """black_greeks' result: one contiguous float64 array of length n per
    field, in this order."""

    price: FloatArray
    delta: FloatArray
    gamma: FloatArray
    vega: FloatArray
    theta: FloatArray
    vanna: FloatArray
    vomma: FloatArray


@type_check_only
class BachelierGreeks(BlackGreeks):
    """bachelier_greeks' result: BlackGreeks' fields of the normal model
    (vega, vanna and vomma per unit of normal volatility)."""


@type_check_only
class BlackScholesGreeks(BlackGreeks):
    """black_scholes_greeks' result: BlackGreeks' fields, then rho and
    dividend_rho."""

    rho: FloatArray
    dividend_rho: FloatArray
'''

# The attributes other than functions, by name.
ATTRIBUTES = {
    "__version__": "__version__: str\n",
    "IVError": r'''class IVError(Exception):
    """An input a scalar function rejects (and a batch's lengths that do not
    broadcast).

    ``args == (kind, message)``: kind is one of "price_below_intrinsic",
    "price_above_maximum", "negative_time", "negative_forward",
    "negative_strike", "no_convergence", "invalid_input" (ERROR_KINDS[1:8]),
    the message says which value was rejected.

    Examples
    --------
    >>> try:
    ...     tarvik.implied_volatility(1.0, 100.0, 100.0, 0.0, True)
    ... except tarvik.IVError as e:
    ...     print(e.args)
    ('negative_time', 'maturity must be positive, got 0')
    """

    args: Tuple[str, str]
''',
    "ERROR_KINDS": '''ERROR_KINDS: Tuple[Optional[str], ...]
\"\"\"The error kinds by code, as error_codes() reports them: None (0, a value),
then the seven kinds of IVError, then "masked" (8).\"\"\"
''',
}

def private_batch(name, params, summary, body, example):
    """The entry of a private batch step of the quote pipeline: float or
    array inputs, parallel=False, a float64 array out."""
    annotations = dict.fromkeys(params, "FloatOrArray")
    annotations["parallel"] = "bool"
    described = {f"{p} : float or 1-D float64 array": text for p, text in params.items()}
    described["parallel : bool, optional"] = "Run on the worker pool (the same bits)."
    return dict(
        name=name, kind='own', annotations=annotations, returns_annotation="FloatArray",
        summary=summary,
        body=body + """ Private (not in ``__all__``): a step of the quote pipeline of
        ``tarvik.frame`` and the command line.""",
        params=described,
        returns="A new 1-D float64 array of the batch's length.",
        returns_type='numpy.ndarray',
        raises={
            'TypeError': 'An argument is neither a float nor a 1-D float64 array.',
            'IVError': "``invalid_input`` when the arrays' lengths differ.",
        },
        example=example)


DOCS = [
    dict(
        name='norm_pdf',
        summary='Standard normal density phi(x) = exp(-x^2/2)/sqrt(2 pi).',
        returns='phi(x): 0.0 at +-inf, NaN for NaN.',
        example="""\
        >>> round(tarvik.norm_pdf(0.0), 12)
        0.398942280401
        """,
        batch='norm_pdfs',
        values='phi(x)',
        batch_example="""\
        >>> import numpy as np
        >>> tarvik.norm_pdfs(np.array([-1.0, 0.0, 1.0])).round(6)
        array([0.241971, 0.398942, 0.241971])
        """,
    ),
    dict(
        name='norm_cdf',
        summary='Standard normal distribution function Phi(x).',
        body="""Accurate to a few ulps relative in the lower tail, down to the least double; for
        the upper tail use norm_cdf_c.""",
        returns='Phi(x) in [0, 1]; NaN for NaN.',
        example="""\
        >>> round(tarvik.norm_cdf(1.96), 12)
        0.975002104852
        """,
        batch='norm_cdfs',
        values='Phi(x)',
        batch_example="""\
        >>> import numpy as np
        >>> tarvik.norm_cdfs(np.array([-1.0, 0.0, 1.0])).round(6)
        array([0.158655, 0.5     , 0.841345])
        """,
    ),
    dict(
        name='norm_cdf_c',
        summary='Complementary normal distribution function 1 - Phi(x), computed directly.',
        body='Accurate in the upper tail, where 1 - norm_cdf(x) loses every digit.',
        returns='1 - Phi(x) = Phi(-x) in [0, 1]; NaN for NaN.',
        example="""\
        >>> f"{tarvik.norm_cdf_c(10.0):.6e}"
        '7.619853e-24'
        """,
        batch='norm_cdf_cs',
        values='1 - Phi(x), accurate in the upper tail',
        batch_example="""\
        >>> import numpy as np
        >>> tarvik.norm_cdf_cs(np.array([-1.0, 0.0, 1.0])).round(6)
        array([0.841345, 0.5     , 0.158655])
        """,
    ),
    dict(
        name='black_intrinsic',
        summary='Intrinsic value of a European option on a forward: max(F - K, 0) or max(K - F, 0).',
        returns="""max(F - K, 0) for a call, max(K - F, 0) for a put (+0.0 when not positive, 0.0
        for NaN).""",
        example="""\
        >>> tarvik.black_intrinsic(105.0, 100.0, True), tarvik.black_intrinsic(105.0, 100.0, False)
        (5.0, 0.0)
        """,
    ),
    dict(
        name='log_moneyness',
        summary='Log-moneyness ln F - ln K, as two logarithms and a difference.',
        returns='ln F - ln K: +-inf for a zero argument, NaN for a negative one.',
        example="""\
        >>> round(tarvik.log_moneyness(100.0, 105.0), 12)
        -0.048790164169
        """,
    ),
    dict(
        name='black_price',
        summary='Undiscounted Black-76 price of a European option on a forward.',
        body="""F Phi(d1) - K Phi(d2) for a call and K Phi(-d2) - F Phi(-d1) for a put, d1,2 =
        ln(F/K)/(sigma sqrt(T)) +- sigma sqrt(T)/2. Multiply by the discount factor for
        a present value.""",
        returns="""The price, in the units of the forward; the intrinsic value for a zero
        volatility.""",
        raises=BLACK_ERRORS,
        example="""\
        >>> round(tarvik.black_price(100.0, 105.0, 0.5, 0.2, True), 10)
        3.6179738463
        """,
        batch='black_prices',
        values='undiscounted Black-76 prices',
        batch_example="""\
        >>> import numpy as np
        >>> tarvik.black_prices(100.0, np.array([90.0, 100.0, 110.0]), 0.5, 0.2).round(6)
        array([11.772451,  5.637198,  2.211246])
        """,
    ),
    dict(
        name='black_price_total_vol',
        summary='Undiscounted Black-76 price from the total volatility sigma*sqrt(T).',
        body="""The same price as black_price with volatility total_vol/sqrt(T), for callers
        that work with total volatility; it never raises.""",
        params={
            'total_vol': """Total volatility sigma*sqrt(T) (volatility per year times the square root
             of the maturity in years), >= 0.""",
        },
        returns="""The price, in the units of the forward; NaN for a non-finite forward or strike
        or a negative or NaN total volatility.""",
        example="""\
        >>> round(tarvik.black_price_total_vol(100.0, 105.0, 0.2 * 0.5 ** 0.5, True), 10)
        3.6179738463
        """,
    ),
    dict(
        name='black_scholes_forward',
        summary='The forward S e^((r - q) T) of a spot under continuous rate and dividend yield.',
        returns='The forward, in the units of the spot.',
        raises="""``invalid_input`` for a non-finite argument, a spot not above 0, or a forward
        that overflows or underflows; ``negative_time`` for a maturity not above 0.""",
        example="""\
        >>> round(tarvik.black_scholes_forward(100.0, 0.5, 0.03, 0.01), 10)
        101.0050167084
        """,
    ),
    dict(
        name='black_scholes_price',
        summary='Discounted Black-Scholes-Merton price of a European option on a spot.',
        body='e^(-rT) times the Black-76 price on the forward F = S e^((r - q) T).',
        returns='The present value, in the units of the spot.',
        raises=SPOT_ERRORS,
        example="""\
        >>> round(tarvik.black_scholes_price(100.0, 105.0, 0.5, 0.03, 0.01, 0.25, True), 10)
        5.3498045789
        """,
        batch='black_scholes_prices',
        values='discounted Black-Scholes-Merton prices',
        batch_example="""\
        >>> import numpy as np
        >>> tarvik.black_scholes_prices(100.0, np.array([90.0, 100.0, 110.0]), 0.5, 0.03, 0.01, 0.25).round(6)
        array([13.404364,  7.479356,  3.72301 ])
        """,
    ),
    dict(
        name='implied_volatility',
        summary='Black-76 implied volatility of an undiscounted price, to machine precision.',
        body="""The volatility sigma with black_price(forward, strike, maturity, sigma, is_call)
        == price, found in normalised coordinates (beta = P/(sqrt(F) sqrt(K)), x = ln F
        - ln K) from a rational-cubic initial guess and at most two third-order
        Householder steps. An in-the-money price is first reduced to the
        out-of-the-money option by subtracting the intrinsic value in normalised terms:
        where beta is at or below the computed normalised intrinsic value 2 sinh(x/2),
        0.0 comes back; where rounding leaves beta a few ulps above it, the volatility
        of that rounding noise comes back, which need not be small (F = 120, K = 100, T
        = 0.5 and the price 20, exactly the intrinsic value, give 0.0354). Invert
        out-of-the-money quotes to avoid both.""",
        params={
            'price': """Undiscounted option price, in the units of the forward: at least the
             intrinsic value and below F (call) or K (put).""",
        },
        returns='The implied volatility per year, >= 0.',
        raises="""``invalid_input`` for a non-finite argument; ``negative_forward``,
        ``negative_strike`` or ``negative_time`` for a forward, strike or maturity not
        above 0; ``price_below_intrinsic`` for a price below max(F - K, 0) (call) or
        max(K - F, 0) (put); ``price_above_maximum`` for a price at or above F (call) or
        K (put); ``no_convergence`` if the price rounds to its maximum inside the
        solver.""",
        example="""\
        >>> price = tarvik.black_price(100.0, 105.0, 0.5, 0.2, True)
        >>> round(tarvik.implied_volatility(price, 100.0, 105.0, 0.5, True), 12)
        0.2
        >>> tarvik.implied_volatility(20.0, 100.0, 80.0, 0.5, True)
        0.0
        """,
        batch='implied_volatilities',
        values='Black-76 implied volatilities of undiscounted prices',
        batch_body="""A chain of calls and puts inverts in one call with an is_call array;
        out-of-the-money quotes carry the most information.""",
        batch_example="""\
        >>> import numpy as np
        >>> strikes = np.array([90.0, 100.0, 110.0])
        >>> calls = strikes >= 100.0
        >>> prices = tarvik.black_prices(100.0, strikes, 0.5, 0.2, calls)
        >>> tarvik.implied_volatilities(prices, 100.0, strikes, 0.5, calls).round(12)
        array([0.2, 0.2, 0.2])
        >>> tarvik.implied_volatilities(np.array([1.0, -1.0]), 100.0, 100.0, 0.5).round(6)
        array([0.03545,     nan])
        """,
    ),
    dict(
        name='normalised_implied_volatility',
        summary='Total implied volatility s of a normalised Black price.',
        body="""Inverts beta = b(x, s), the Black price divided by sqrt(F) sqrt(K) as a function
        of the log-moneyness x and the total volatility s = sigma sqrt(T): the solver
        behind implied_volatility, without the scaling.""",
        params={
            'beta': 'Normalised price P/(sqrt(F) sqrt(K)) (dimensionless).',
            'x': 'Log-moneyness x = ln F - ln K (dimensionless).',
        },
        returns="""The total volatility s = sigma*sqrt(T), >= 0; 0.0 for an in-the-money beta at
        its intrinsic value.""",
        raises="""``invalid_input`` for a non-finite argument; ``price_below_intrinsic`` for beta
        below the normalised intrinsic value 2 sinh(x/2) (call) or -2 sinh(x/2) (put),
        or 0; ``price_above_maximum`` for beta at or above e^(x/2) (call) or e^(-x/2)
        (put).""",
        example="""\
        >>> beta = tarvik.black_price(1.0, 1.0, 1.0, 0.3, True)
        >>> round(tarvik.normalised_implied_volatility(beta, 0.0, True), 12)
        0.3
        """,
        batch='normalised_implied_volatilities',
        values='total volatilities s of normalised prices',
        batch_example="""\
        >>> import numpy as np
        >>> xs = np.array([-0.1, 0.0, 0.1])
        >>> betas = tarvik.black_prices(np.exp(xs / 2), np.exp(-xs / 2), 1.0, 0.3)
        >>> tarvik.normalised_implied_volatilities(betas, xs).round(12)
        array([0.3, 0.3, 0.3])
        """,
    ),
    dict(
        name='delta',
        summary='Black-76 forward delta dV/dF of an undiscounted European option.',
        returns='dV/dF: Phi(d1) for a call, Phi(d1) - 1 for a put (dimensionless).',
        raises=BLACK_ERRORS,
        example="""\
        >>> round(tarvik.delta(100.0, 105.0, 0.5, 0.2, True), 10)
        0.3919316984
        """,
        batch='deltas',
        values='Black-76 forward deltas dV/dF',
        batch_example="""\
        >>> import numpy as np
        >>> tarvik.deltas(100.0, np.array([90.0, 100.0, 110.0]), 0.5, 0.2).round(6)
        array([0.79267 , 0.528186, 0.273176])
        """,
    ),
    dict(
        name='gamma',
        summary='Black-76 gamma d2V/dF2 of an undiscounted European option.',
        returns='d2V/dF2, per unit of the forward.',
        raises=BLACK_ERRORS,
        example="""\
        >>> round(tarvik.gamma(100.0, 105.0, 0.5, 0.2), 10)
        0.0271680362
        """,
        batch='gammas',
        values='Black-76 gammas d2V/dF2',
        batch_example="""\
        >>> import numpy as np
        >>> tarvik.gammas(100.0, np.array([90.0, 100.0, 110.0]), 0.5, 0.2).round(6)
        array([0.020226, 0.028139, 0.023517])
        """,
    ),
    dict(
        name='vega',
        summary='Black-76 vega dV/dsigma of an undiscounted European option.',
        returns="""dV/dsigma per unit of volatility (1.0, not one percentage point), in the units
        of the forward.""",
        raises=BLACK_ERRORS,
        example="""\
        >>> round(tarvik.vega(100.0, 105.0, 0.5, 0.2), 10)
        27.1680361733
        """,
        batch='vegas',
        values='Black-76 vegas dV/dsigma per unit of volatility',
        batch_example="""\
        >>> import numpy as np
        >>> tarvik.vegas(100.0, np.array([90.0, 100.0, 110.0]), 0.5, 0.2).round(6)
        array([20.225756, 28.139044, 23.516737])
        """,
    ),
    dict(
        name='theta',
        summary='Black-76 theta -dV/dT of an undiscounted European option.',
        returns="""-dV/dT per year, in the units of the forward (negative: the value decays).""",
        raises=BLACK_ERRORS,
        example="""\
        >>> round(tarvik.theta(100.0, 105.0, 0.5, 0.2), 10)
        -5.4336072347
        """,
        batch='thetas',
        values='Black-76 thetas -dV/dT per year',
        batch_example="""\
        >>> import numpy as np
        >>> tarvik.thetas(100.0, np.array([90.0, 100.0, 110.0]), 0.5, 0.2).round(6)
        array([-4.045151, -5.627809, -4.703347])
        """,
    ),
    dict(
        name='vomma',
        summary='Black-76 vomma (volga) d2V/dsigma2 of an undiscounted European option.',
        returns='d2V/dsigma2 per unit of volatility squared.',
        raises=BLACK_ERRORS,
        example="""\
        >>> round(tarvik.vomma(100.0, 105.0, 0.5, 0.2), 10)
        15.489041596
        """,
        batch='vommas',
        values='Black-76 vommas d2V/dsigma2',
        batch_example="""\
        >>> import numpy as np
        >>> tarvik.vommas(100.0, np.array([90.0, 100.0, 110.0]), 0.5, 0.2).round(6)
        array([55.625068, -0.703476, 52.818771])
        """,
    ),
    dict(
        name='vanna',
        summary='Black-76 vanna d2V/dF dsigma of an undiscounted European option.',
        returns='d2V/dF dsigma per unit of volatility.',
        raises=BLACK_ERRORS,
        example="""\
        >>> round(tarvik.vanna(100.0, 105.0, 0.5, 0.2), 10)
        0.7986066534
        """,
        batch='vannas',
        values='Black-76 vannas d2V/dF dsigma',
        batch_example="""\
        >>> import numpy as np
        >>> tarvik.vannas(100.0, np.array([90.0, 100.0, 110.0]), 0.5, 0.2).round(6)
        array([-0.964369,  0.140695,  1.238276])
        """,
    ),
    dict(
        name='black_scholes_delta',
        summary='Black-Scholes-Merton spot delta dV/dS of a discounted European option on a spot.',
        returns='dV/dS: e^(-qT) Phi(d1) for a call, e^(-qT) (Phi(d1) - 1) for a put.',
        raises=SPOT_ERRORS,
        example="""\
        >>> round(tarvik.black_scholes_delta(100.0, 105.0, 0.5, 0.03, 0.01, 0.25, True), 10)
        0.445637292
        """,
        batch='black_scholes_deltas',
        values='Black-Scholes-Merton spot deltas dV/dS',
        batch_example="""\
        >>> import numpy as np
        >>> tarvik.black_scholes_deltas(100.0, np.array([90.0, 100.0, 110.0]), 0.5, 0.03, 0.01, 0.25).round(6)
        array([0.766799, 0.554846, 0.344988])
        """,
    ),
    dict(
        name='black_scholes_gamma',
        summary='Black-Scholes-Merton spot gamma d2V/dS2 of a discounted European option on a spot.',
        returns='d2V/dS2, per unit of the spot.',
        raises=SPOT_ERRORS,
        example="""\
        >>> round(tarvik.black_scholes_gamma(100.0, 105.0, 0.5, 0.03, 0.01, 0.25), 10)
        0.0222630536
        """,
        batch='black_scholes_gammas',
        values='Black-Scholes-Merton spot gammas d2V/dS2',
        batch_example="""\
        >>> import numpy as np
        >>> tarvik.black_scholes_gammas(100.0, np.array([90.0, 100.0, 110.0]), 0.5, 0.03, 0.01, 0.25).round(6)
        array([0.017064, 0.02222 , 0.020776])
        """,
    ),
    dict(
        name='black_scholes_vega',
        summary='Black-Scholes-Merton vega dV/dsigma of a discounted European option on a spot.',
        returns="""dV/dsigma per unit of volatility (1.0, not one percentage point), in the units
        of the spot.""",
        raises=SPOT_ERRORS,
        example="""\
        >>> round(tarvik.black_scholes_vega(100.0, 105.0, 0.5, 0.03, 0.01, 0.25), 10)
        27.8288169627
        """,
        batch='black_scholes_vegas',
        values='Black-Scholes-Merton vegas per unit of volatility',
        batch_example="""\
        >>> import numpy as np
        >>> tarvik.black_scholes_vegas(100.0, np.array([90.0, 100.0, 110.0]), 0.5, 0.03, 0.01, 0.25).round(6)
        array([21.330602, 27.77543 , 25.97051 ])
        """,
    ),
    dict(
        name='black_scholes_theta',
        summary='Black-Scholes-Merton theta -dV/dT of a discounted European option on a spot.',
        returns='-dV/dT per year, in the units of the spot.',
        raises=SPOT_ERRORS,
        example="""\
        >>> round(tarvik.black_scholes_theta(100.0, 105.0, 0.5, 0.03, 0.01, 0.25, True), 10)
        -7.6879846872
        """,
        batch='black_scholes_thetas',
        values='Black-Scholes-Merton thetas -dV/dT per year',
        batch_example="""\
        >>> import numpy as np
        >>> tarvik.black_scholes_thetas(100.0, np.array([90.0, 100.0, 110.0]), 0.5, 0.03, 0.01, 0.25).round(6)
        array([-6.464118, -7.82917 , -7.070913])
        """,
    ),
    dict(
        name='black_scholes_vomma',
        summary='Black-Scholes-Merton vomma (volga) d2V/dsigma2 of a discounted European option on a spot.',
        returns='d2V/dsigma2 per unit of volatility squared.',
        raises=SPOT_ERRORS,
        example="""\
        >>> round(tarvik.black_scholes_vomma(100.0, 105.0, 0.5, 0.03, 0.01, 0.25), 10)
        4.4901416318
        """,
        batch='black_scholes_vommas',
        values='Black-Scholes-Merton vommas d2V/dsigma2',
        batch_example="""\
        >>> import numpy as np
        >>> tarvik.black_scholes_vommas(100.0, np.array([90.0, 100.0, 110.0]), 0.5, 0.03, 0.01, 0.25).round(6)
        array([35.668611, -0.512457, 23.381558])
        """,
    ),
    dict(
        name='black_scholes_vanna',
        summary='Black-Scholes-Merton vanna d2V/dS dsigma of a discounted European option on a spot.',
        returns='d2V/dS dsigma per unit of volatility.',
        raises=SPOT_ERRORS,
        example="""\
        >>> round(tarvik.black_scholes_vanna(100.0, 105.0, 0.5, 0.03, 0.01, 0.25), 10)
        0.484579086
        """,
        batch='black_scholes_vannas',
        values='Black-Scholes-Merton vannas d2V/dS dsigma',
        batch_example="""\
        >>> import numpy as np
        >>> tarvik.black_scholes_vannas(100.0, np.array([90.0, 100.0, 110.0]), 0.5, 0.03, 0.01, 0.25).round(6)
        array([-0.680774,  0.049996,  0.838828])
        """,
    ),
    dict(
        name='black_scholes_rho',
        summary='Black-Scholes-Merton rho dV/dr of a discounted European option on a spot.',
        returns="""dV/dr per unit of rate (1.0, not one percentage point), in the units of the
        spot.""",
        raises=SPOT_ERRORS,
        example="""\
        >>> round(tarvik.black_scholes_rho(100.0, 105.0, 0.5, 0.03, 0.01, 0.25, True), 10)
        19.6069623089
        """,
        batch='black_scholes_rhos',
        values='Black-Scholes-Merton rhos dV/dr per unit of rate',
        batch_example="""\
        >>> import numpy as np
        >>> tarvik.black_scholes_rhos(100.0, np.array([90.0, 100.0, 110.0]), 0.5, 0.03, 0.01, 0.25).round(6)
        array([31.637786, 24.00264 , 15.387887])
        """,
    ),
    dict(
        name='black_scholes_dividend_rho',
        summary='Black-Scholes-Merton dividend rho dV/dq of a discounted European option on a spot.',
        returns='dV/dq per unit of dividend yield, in the units of the spot.',
        raises=SPOT_ERRORS,
        example="""\
        >>> round(tarvik.black_scholes_dividend_rho(100.0, 105.0, 0.5, 0.03, 0.01, 0.25, True), 10)
        -22.2818645984
        """,
        batch='black_scholes_dividend_rhos',
        values='Black-Scholes-Merton dividend rhos dV/dq per unit of yield',
        batch_example="""\
        >>> import numpy as np
        >>> tarvik.black_scholes_dividend_rhos(100.0, np.array([90.0, 100.0, 110.0]), 0.5, 0.03, 0.01, 0.25).round(6)
        array([-38.339968, -27.742318, -17.249392])
        """,
    ),
    dict(
        name='black_scholes_implied_volatility',
        summary='Black-Scholes-Merton implied volatility of a discounted price.',
        body="""Undiscounts the price with e^(rT), moves to the forward F = S e^((r - q) T) and
        inverts as implied_volatility does (the same in-the-money caveat).""",
        params={
            'price': 'Discounted option price, in the units of the spot.',
        },
        returns='The implied volatility per year, >= 0.',
        raises="""``invalid_input`` for a non-finite argument, a spot not above 0, or a forward or
        discount factor that overflows; ``negative_strike`` or ``negative_time`` for a
        strike or maturity not above 0; ``price_below_intrinsic`` for a price below
        max(S e^(-qT) - K e^(-rT), 0) (put: max(K e^(-rT) - S e^(-qT), 0));
        ``price_above_maximum`` for a price at or above S e^(-qT) (put: K e^(-rT));
        ``no_convergence`` as for implied_volatility.""",
        example="""\
        >>> price = tarvik.black_scholes_price(100.0, 105.0, 0.5, 0.03, 0.01, 0.25, True)
        >>> round(tarvik.black_scholes_implied_volatility(price, 100.0, 105.0, 0.5, 0.03, 0.01, True), 12)
        0.25
        """,
        batch='black_scholes_implied_volatilities',
        values='implied volatilities of discounted spot-model prices',
        batch_example="""\
        >>> import numpy as np
        >>> strikes = np.array([90.0, 100.0, 110.0])
        >>> prices = tarvik.black_scholes_prices(100.0, strikes, 0.5, 0.03, 0.01, 0.25)
        >>> tarvik.black_scholes_implied_volatilities(prices, 100.0, strikes, 0.5, 0.03, 0.01).round(12)
        array([0.25, 0.25, 0.25])
        """,
    ),
    dict(
        name='bachelier_price',
        params=NORMAL_PARAMS,
        summary='Undiscounted normal-model (Bachelier) price of a European option on a forward.',
        body="""A call is (F - K) N(d) + sigma sqrt(T) n(d), d = (F - K)/(sigma sqrt(T)), a put
        the same with F - K negated. The time value is evaluated without cancellation,
        so a price far out of the money keeps its relative accuracy. A shifted-lognormal
        quote with shift d is Black-76 on F + d and K + d (``black_price(forward +
        shift, strike + shift, ...)``).""",
        returns='The price, in price units; the intrinsic value at zero volatility.',
        raises=NORMAL_ERRORS,
        example="""\
        >>> tarvik.bachelier_price(0.025, 0.03, 2.0, 0.01, True)
        0.003490886622301166
        >>> tarvik.bachelier_price(-0.005, -0.005, 1.0, 0.01, True)  # 0.01/sqrt(2 pi)
        0.003989422804014327
        """,
        batch='bachelier_prices',
        values='undiscounted normal-model (Bachelier) prices',
        batch_example="""\
        >>> import numpy as np
        >>> tarvik.bachelier_prices(np.array([-0.01, 0.0, 0.01]), 0.0, 1.0, 0.01).round(8)
        array([0.00083315, 0.00398942, 0.01083315])
        """,
    ),
    dict(
        name='bachelier_implied_volatility',
        summary='Implied normal (Bachelier) volatility of an undiscounted price.',
        body="""Closed form to machine precision: explicit rational functions, no iteration and
        no correction step. There is no upper bound on the price (a call's price grows
        without limit in the volatility); a price equal to the intrinsic value gives
        0.0.""",
        params={**NORMAL_PARAMS,
                'price': 'Undiscounted option price, in price units.'},
        returns='The normal volatility, in price units per square root of a year.',
        raises="""``invalid_input`` for a non-finite input or a difference F - K that overflows,
        ``negative_time`` for a maturity not above 0, ``price_below_intrinsic`` for a
        price below max(F - K, 0) (a put: max(K - F, 0)).""",
        example="""\
        >>> p = tarvik.bachelier_price(-0.01, 0.0, 1.0, 0.0075, False)
        >>> round(tarvik.bachelier_implied_volatility(p, -0.01, 0.0, 1.0, False), 15)
        0.0075
        >>> tarvik.bachelier_implied_volatility(1.0, 1.5, 0.5, 1.0, True)  # the intrinsic value
        0.0
        """,
        batch='bachelier_implied_volatilities',
        values='implied normal volatilities in price units per square root of a year',
        batch_example="""\
        >>> import numpy as np
        >>> f = np.array([-0.01, 0.0, 0.01])
        >>> p = tarvik.bachelier_prices(f, 0.0, 1.0, 0.01)
        >>> tarvik.bachelier_implied_volatilities(p, f, 0.0, 1.0).round(15)
        array([0.01, 0.01, 0.01])
        >>> tarvik.error_codes(tarvik.bachelier_implied_volatilities, np.array([0.02, 0.001]), 0.03, 0.02, 1.0)
        array([0, 1], dtype=int8)
        """,
    ),
    dict(
        name='bachelier_delta',
        params=NORMAL_PARAMS,
        summary='Normal-model (Bachelier) delta dV/dF.',
        body="""N(d) for a call, -N(-d) for a put, with d = (F - K)/(sigma sqrt(T)); at zero
        volatility the delta of the intrinsic value (a half at the money).""",
        returns='The delta dV/dF.',
        raises=NORMAL_ERRORS,
        example="""\
        >>> tarvik.bachelier_delta(0.0, 0.0, 1.0, 0.01, True)
        0.5
        """,
        batch='bachelier_deltas',
        values='normal-model deltas dV/dF',
        batch_example="""\
        >>> tarvik.bachelier_deltas(0.0, 0.0, 1.0, 0.01, False)
        array([-0.5])
        """,
    ),
    dict(
        name='bachelier_gamma',
        params=NORMAL_PARAMS,
        summary='Normal-model (Bachelier) gamma d2V/dF2.',
        body="""n(d)/(sigma sqrt(T)), with d = (F - K)/(sigma sqrt(T)); at zero volatility 0.""",
        returns='The gamma d2V/dF2.',
        raises=NORMAL_ERRORS,
        example="""\
        >>> tarvik.bachelier_gamma(0.0, 0.0, 1.0, 0.01)
        39.89422804014327
        """,
        batch='bachelier_gammas',
        values='normal-model gammas d2V/dF2',
        batch_example="""\
        >>> tarvik.bachelier_gammas(0.0, 0.0, 1.0, 0.01)
        array([39.89422804])
        """,
    ),
    dict(
        name='bachelier_vega',
        params=NORMAL_PARAMS,
        summary='Normal-model (Bachelier) vega dV/dsigma (per unit of volatility).',
        body='sqrt(T) n(d), with d = (F - K)/(sigma sqrt(T)); at zero volatility 0.',
        returns='The vega dV/dsigma (per unit of volatility).',
        raises=NORMAL_ERRORS,
        example="""\
        >>> tarvik.bachelier_vega(0.0, 0.0, 1.0, 0.01)
        0.3989422804014327
        """,
        batch='bachelier_vegas',
        values='normal-model vegas dV/dsigma per unit of volatility',
        batch_example="""\
        >>> tarvik.bachelier_vegas(0.0, 0.0, 1.0, 0.01)
        array([0.39894228])
        """,
    ),
    dict(
        name='bachelier_theta',
        params=NORMAL_PARAMS,
        summary='Normal-model (Bachelier) theta -dV/dT (per year).',
        body="""-sigma n(d)/(2 sqrt(T)), with d = (F - K)/(sigma sqrt(T)); at zero volatility 0.""",
        returns='The theta -dV/dT (per year).',
        raises=NORMAL_ERRORS,
        example="""\
        >>> tarvik.bachelier_theta(0.0, 0.0, 4.0, 0.01)
        -0.0009973557010035817
        """,
        batch='bachelier_thetas',
        values='normal-model thetas -dV/dT per year',
        batch_example="""\
        >>> tarvik.bachelier_thetas(0.0, 0.0, 4.0, 0.01)
        array([-0.00099736])
        """,
    ),
    dict(
        name='bachelier_vanna',
        params=NORMAL_PARAMS,
        summary='Normal-model (Bachelier) vanna d2V/dFdsigma (per unit of volatility).',
        body="""-d n(d)/sigma, with d = (F - K)/(sigma sqrt(T)); at zero volatility 0.""",
        returns='The vanna d2V/dFdsigma (per unit of volatility).',
        raises=NORMAL_ERRORS,
        example="""\
        >>> tarvik.bachelier_vanna(0.01, 0.0, 1.0, 0.01)
        -24.197072451914337
        """,
        batch='bachelier_vannas',
        values='normal-model vannas d2V/dF dsigma',
        batch_example="""\
        >>> tarvik.bachelier_vannas(0.01, 0.0, 1.0, 0.01)
        array([-24.19707245])
        """,
    ),
    dict(
        name='bachelier_vomma',
        params=NORMAL_PARAMS,
        summary='Normal-model (Bachelier) vomma d2V/dsigma2 (per unit of volatility squared).',
        body="""d^2 sqrt(T) n(d)/sigma, with d = (F - K)/(sigma sqrt(T)); at zero volatility 0.""",
        returns='The vomma d2V/dsigma2 (per unit of volatility squared).',
        raises=NORMAL_ERRORS,
        example="""\
        >>> tarvik.bachelier_vomma(0.01, 0.0, 1.0, 0.01)
        24.197072451914337
        """,
        batch='bachelier_vommas',
        values='normal-model vommas d2V/dsigma2',
        batch_example="""\
        >>> tarvik.bachelier_vommas(0.01, 0.0, 1.0, 0.01)
        array([24.19707245])
        """,
    ),
    dict(
        name='black_greeks',
        kind='greeks',
        inputs_of='black_price',
        summary='Batch Black-76 price and Greeks in one pass.',
        body="""Every field has the very bits of its single-quantity batch function
        (``black_prices``, ``deltas``, ``gammas``, ``vegas``, ``thetas``, ``vannas``,
        ``vommas``), NaN exactly where that function gives NaN; the logarithms, d1 and
        the density of an element are computed once for all of its fields.
        ``pandas.DataFrame(result)`` and ``polars.DataFrame(result)`` take the result as
        it is.""",
        returns="""A dict of contiguous 1-D float64 arrays of length n keyed ``price``
        (undiscounted), ``delta`` (dV/dF), ``gamma``, ``vega`` (per unit of volatility),
        ``theta`` (-dV/dT per year), ``vanna``, ``vomma``.""",
        returns_type='BlackGreeks',
        raises={
            'IVError': 'Inputs of different lengths other than 1 (the length rule).',
            'TypeError': 'An argument that is neither a float nor a 1-D float64 array.',
        },
        example="""\
        >>> g = tarvik.black_greeks(np.array([100.0, 100.0]), 100.0, 1.0, 0.2, np.array([True, False]))
        >>> list(g)
        ['price', 'delta', 'gamma', 'vega', 'theta', 'vanna', 'vomma']
        >>> bool((g["delta"] == tarvik.deltas(100.0, 100.0, 1.0, 0.2, np.array([True, False]))).all())
        True
        """,
    ),
    dict(
        name='black_scholes_greeks',
        kind='greeks',
        inputs_of='black_scholes_price',
        summary='Batch Black-Scholes-Merton price and Greeks in one pass.',
        body="""Every field has the very bits of its single-quantity batch function
        (``black_scholes_prices``, ``black_scholes_deltas``, ...,
        ``black_scholes_dividend_rhos``), NaN exactly where that function gives NaN; the
        forward, discount factors, logarithms, d1 and density of an element are computed
        once for all of its Greeks.""",
        returns="""A dict of contiguous 1-D float64 arrays of length n keyed ``price``
        (discounted), ``delta`` (dV/dS), ``gamma``, ``vega`` (per unit of volatility),
        ``theta`` (-dV/dT per year), ``vanna``, ``vomma``, ``rho`` (dV/dr per unit of
        rate), ``dividend_rho`` (dV/dq).""",
        returns_type='BlackScholesGreeks',
        raises={
            'IVError': 'Inputs of different lengths other than 1 (the length rule).',
            'TypeError': 'An argument that is neither a float nor a 1-D float64 array.',
        },
        example="""\
        >>> g = tarvik.black_scholes_greeks(np.array([100.0, 110.0]), 105.0, 0.5, 0.03, 0.01, 0.25)
        >>> list(g)[-2:]
        ['rho', 'dividend_rho']
        >>> bool(g["price"][0] == tarvik.black_scholes_price(100.0, 105.0, 0.5, 0.03, 0.01, 0.25, True))
        True
        """,
    ),
    dict(
        name='black_implied_volatility',
        summary='Black-76 implied volatility at an accurate log-moneyness.',
        body="""The inversion of ``implied_volatility`` (the same checks, bounds and normalised
        solver), with x = ln(F/K) computed to about an ulp: ``log1p((F - K)/K)`` where F
        - K is exact (K/2 <= F <= 2K), else the logarithm of the ratio.
        ``implied_volatility`` keeps ``ln F - ln K``, two logarithms and a difference,
        which loses up to some eight ulps of ln F near the money.""",
        params={
            'price': 'Undiscounted option price, in price units.',
        },
        returns='The volatility, per year.',
        raises="""Where ``implied_volatility`` raises: a non-finite input, a forward, strike or
        maturity not above 0, a price below its intrinsic value or at or above its
        maximum.""",
        example="""\
        >>> p = tarvik.black_price(100.0, 100.001, 0.5, 0.2, True)
        >>> abs(tarvik.black_implied_volatility(p, 100.0, 100.001, 0.5, True) - 0.2) < 1e-15
        True
        """,
        batch='black_implied_volatilities',
        values='Black-76 implied volatilities at the accurate log-moneyness',
        batch_example="""\
        >>> tarvik.black_implied_volatilities(np.array([7.965567455405804, 120.0]), 100.0, 100.0, 1.0)
        array([0.2, nan])
        """,
    ),
    dict(
        name='bachelier_greeks',
        kind='greeks',
        inputs_of='bachelier_price',
        summary='Batch normal-model (Bachelier) price and Greeks in one pass.',
        body="""Every field has the very bits of its single-quantity batch function
        (``bachelier_prices``, ``bachelier_deltas``, ``bachelier_gammas``,
        ``bachelier_vegas``, ``bachelier_thetas``, ``bachelier_vannas``,
        ``bachelier_vommas``), NaN exactly where that function gives NaN; the terms d =
        (F - K)/(sigma sqrt(T)) and the density of an element are computed once for all
        of its fields. ``pandas.DataFrame(result)`` and ``polars.DataFrame(result)``
        take the result as it is.""",
        returns="""A dict of contiguous 1-D float64 arrays of length n keyed ``price``
        (undiscounted), ``delta`` (dV/dF), ``gamma``, ``vega`` (per unit of normal
        volatility), ``theta`` (-dV/dT per year), ``vanna``, ``vomma``.""",
        returns_type='BachelierGreeks',
        raises={
            'IVError': 'Inputs of different lengths other than 1 (the length rule).',
            'TypeError': 'An argument that is neither a float nor a 1-D float64 array.',
        },
        example="""\
        >>> g = tarvik.bachelier_greeks(np.array([-0.01, 0.0]), 0.0, 1.0, 0.01, np.array([True, False]))
        >>> list(g)
        ['price', 'delta', 'gamma', 'vega', 'theta', 'vanna', 'vomma']
        >>> bool((g["delta"] == tarvik.bachelier_deltas(np.array([-0.01, 0.0]), 0.0, 1.0, 0.01, np.array([True, False]))).all())
        True
        """,
    ),
    dict(
        name='american_price',
        summary='Discounted price of an American option in the spot model.',
        body="""The European price (``black_scholes_price``) plus the early-exercise premium,
        integrated along the exercise boundary; the boundary is the fixed point of the
        integral equation of Kim, Jacka and Carr, solved on Chebyshev nodes in a power
        of the time to expiry from the QD+ approximation (Andersen, Lake and Offengenden
        2016; Li 2010), with node and quadrature counts chosen by the boundary's shape:
        within 1e-10 of a converged reference, relative to max(price, 1e-4 strike), over
        the benchmark portfolio. Calls by put-call symmetry. Where early exercise never
        pays (a put with r <= 0 and q >= r, a call with q <= 0 and r >= q) the result is
        ``black_scholes_price`` bit for bit. Where the exercise region has two
        boundaries (a put with q < r < 0, a call with r < q < 0: the put is exercised
        between a lower and an upper boundary, which meet at some time to expiry, beyond
        which it is never exercised) both are solved from their joint integral equation
        (Healy 2021) and the premium is the integral over the region between them.

        With ``dividend_times`` and ``dividend_amounts`` (keyword-only, as
        ``european_price`` takes them; without a dividend that counts, the bits of
        the call without them): the spot drops by each amount at its ex-date. Calls
        with q <= min(0, r) are then exercised, if at all, just before an ex-date;
        the recursion over the ex-dates takes the larger of S - K and the value
        held through the drop there, the kink on panel ends
        (docs/models/dividends.md). Puts with r <= min(0, q) are never exercised
        early: their price is ``european_price``'s (at least K - S). Puts with
        r > 0 and q >= 0 are exercised between ex-dates, below one boundary
        solved node by node backward over the stretches between them (some
        tenths of a second a price), and calls with q > 0 and r >= 0 above one
        (the same march on K / S, with the rate and the yield exchanged) and
        just before an ex-date. Calls with r < 0 < q or r < q <= 0, and puts
        with r > 0 > q or q < r <= 0, raise ``invalid_input`` for now.""",
        returns="""The discounted American price, in price units (at least the exercise value).""",
        raises="""Where ``black_scholes_price`` raises; ``no_convergence`` where the sweeps of the
        two boundaries do not settle, or where a boundary between ex-dates does not
        (some 10% of a seeded portfolio of puts, with many dividends at high volatility).""",
        example="""\
        >>> round(tarvik.american_price(100.0, 100.0, 1.0, 0.05, 0.02, 0.25, False), 8)
        8.56522884
        >>> tarvik.american_price(100.0, 100.0, 1.0, 0.05, 0.0, 0.25, True) == tarvik.black_scholes_price(100.0, 100.0, 1.0, 0.05, 0.0, 0.25, True)
        True
        """,
        batch='american_prices',
        values='discounted American prices',
        batch_example="""\
        >>> tarvik.american_prices(np.array([80.0, 100.0]), 100.0, 1.0, 0.05, 0.02, 0.25, False).round(6)
        array([20.760733,  8.565229])
        """,
    ),
    dict(
        name='american_implied_volatility',
        summary='Volatility whose American price is the given price.',
        body="""A bracketed iteration on the monotone price (Newton from the European volatility
        of the same price, which bounds it from above, then secant steps, bisection
        whenever a step leaves the bracket). Where early exercise never pays it is
        ``black_scholes_implied_volatility``.""",
        params={
            'price': 'Discounted American price, in price units.',
        },
        returns="""The volatility, per year; 0.0 for a price equal to the lowest attainable price
        (the exercise value, or the zero-volatility value where waiting pays without
        volatility).""",
        raises="""``price_below_intrinsic`` below the lowest attainable price,
        ``price_above_maximum`` at or above max(K, K e^(-rT)) (put) or max(S, S e^(-qT))
        (call), ``no_convergence`` where the price carries no information (no volatility
        up to 100 reaches it), and the errors of ``american_price``.""",
        example="""\
        >>> p = tarvik.american_price(100.0, 100.0, 1.0, 0.05, 0.02, 0.25, False)
        >>> abs(tarvik.american_implied_volatility(p, 100.0, 100.0, 1.0, 0.05, 0.02, False) - 0.25) < 1e-12
        True
        """,
        batch='american_implied_volatilities',
        values='American implied volatilities per year',
        batch_example="""\
        >>> p = tarvik.american_prices(np.array([80.0, 100.0]), 100.0, 1.0, 0.05, 0.02, 0.25, False)
        >>> tarvik.american_implied_volatilities(np.append(p, 150.0), np.array([80.0, 100.0, 100.0]), 100.0, 1.0, 0.05, 0.02, False).round(10)
        array([0.25, 0.25,  nan])
        """,
    ),
    dict(
        name='american_greeks',
        kind='greeks',
        inputs_of='american_price',
        summary='Batch American price and Greeks: the keys of ``black_scholes_greeks``.',
        body="""The price field has the bits of ``american_prices``. Delta and gamma
        differentiate the early-exercise premium along the exercise boundary; theta
        (dV/dt per year) follows from the Black-Scholes equation where the option is
        held and is 0 where it is exercised at once; vega, vanna, vomma, rho and
        dividend rho are central differences of American prices (of deltas for vanna)
        with Richardson's extrapolation, steps of 1% of the volatility and 0.001 in the
        rates, one-sided where the stencil would cross into another regime. Where early
        exercise never pays every field is that of ``black_scholes_greeks``, bit for
        bit. An element costs some thirteen American prices.""",
        returns="""A dict of contiguous 1-D float64 arrays keyed ``price``, ``delta``, ``gamma``,
        ``vega``, ``theta``, ``vanna``, ``vomma``, ``rho``, ``dividend_rho``; NaN in
        every field where ``american_price`` raises, at zero volatility NaN in every
        field but the price (the deterministic price, as ``american_prices`` gives it),
        and below a volatility of some 1e-152 (where the volatility's difference step
        squared underflows) NaN in ``vega``, ``vanna`` and ``vomma``.""",
        returns_type='BlackScholesGreeks',
        raises={
            'IVError': 'Inputs of different lengths other than 1 (the length rule).',
            'TypeError': 'An argument that is neither a float nor a 1-D float64 array.',
        },
        example="""\
        >>> g = tarvik.american_greeks(np.array([90.0, 110.0]), 100.0, 1.0, 0.05, 0.0, 0.3, False)
        >>> list(g)
        ['price', 'delta', 'gamma', 'vega', 'theta', 'vanna', 'vomma', 'rho', 'dividend_rho']
        >>> bool((g["price"] == tarvik.american_prices(np.array([90.0, 110.0]), 100.0, 1.0, 0.05, 0.0, 0.3, False)).all())
        True
        """,
    ),
    dict(
        name='european_price',
        summary='Discounted price of a European option on a spot that pays cash dividends.',
        body="""The spot model with continuous rate and yield, in which the spot drops by the
        cash amount D at each ex-date t, to max(S - D, 0) (the amount capped at the spot:
        Haug, Haug and Lewis 2003). Priced by backward recursion over the ex-dates, the
        value between them on log-spot grids and each expectation a Gaussian convolution:
        within 1e-10 of a converged reference, relative to max(price, 1e-4 strike), over
        the seeded portfolio of one to twelve dividends. An option counts the dividends up
        to its maturity, one on the maturity included (paid before the payoff); without one
        that counts the result is ``black_scholes_price`` bit for bit.""",
        returns="""The discounted price, in price units.""",
        raises="""Where ``black_scholes_price`` raises; ``invalid_input`` for a bad schedule, the
        message naming the argument (times not finite, not above 0 or not strictly
        increasing, amounts not finite or negative, lengths that differ);
        ``no_convergence`` where dividends so close together at so low a volatility would
        need a grid of more than 4 million points.""",
        example="""\
        >>> round(tarvik.european_price(100.0, 100.0, 1.0, 0.05, 0.0, 0.25, True, dividend_times=[0.25, 0.75], dividend_amounts=[2.0, 2.0]), 8)
        10.19995439
        >>> tarvik.european_price(100.0, 100.0, 1.0, 0.05, 0.0, 0.25, True, dividend_times=[2.0], dividend_amounts=[3.0]) == tarvik.black_scholes_price(100.0, 100.0, 1.0, 0.05, 0.0, 0.25, True)
        True
        """,
        batch='european_prices',
        values='discounted European prices with cash dividends',
        batch_example="""\
        >>> tarvik.european_prices(np.array([90.0, 100.0]), 100.0, 1.0, 0.05, 0.0, 0.25, False, dividend_times=[0.25, 0.75], dividend_amounts=[2.0, 2.0]).round(6)
        array([14.411316,  9.224441])
        """,
    ),
    dict(
        name='european_implied_volatility',
        summary='Volatility whose European price with cash dividends is the given price.',
        body="""A bracketed iteration on the price, which grows with the volatility: Newton from
        the volatility of the escrowed model (the spot less the dividends' present value),
        scaled to the jump model's by matching the spot's variance between the ex-dates,
        with its vega; then secant steps, bisection whenever a step leaves the bracket,
        until the price is met to 2e-14 of it (the price's own noise). Some five prices.
        Without a dividend that counts it is ``black_scholes_implied_volatility``.""",
        params={
            'price': 'Discounted European price, in price units.',
        },
        returns="""The volatility, per year; 0.0 for the zero-volatility price.""",
        raises="""``price_below_intrinsic`` below the zero-volatility price,
        ``price_above_maximum`` at or above S e^(-qT) (call) or K e^(-rT) (put),
        ``no_convergence`` where no volatility up to 100 reaches the price, and the
        errors of ``european_price``.""",
        example="""\
        >>> kw = dict(dividend_times=[0.25, 0.75], dividend_amounts=[2.0, 2.0])
        >>> p = tarvik.european_price(100.0, 100.0, 1.0, 0.05, 0.0, 0.25, True, **kw)
        >>> abs(tarvik.european_implied_volatility(p, 100.0, 100.0, 1.0, 0.05, 0.0, True, **kw) - 0.25) < 1e-12
        True
        """,
        batch='european_implied_volatilities',
        values='European implied volatilities per year with cash dividends',
        batch_example="""\
        >>> kw = dict(dividend_times=[0.25, 0.75], dividend_amounts=[2.0, 2.0])
        >>> p = tarvik.european_prices(np.array([90.0, 100.0]), 100.0, 1.0, 0.05, 0.0, 0.25, False, **kw)
        >>> tarvik.european_implied_volatilities(np.append(p, 150.0), np.array([90.0, 100.0, 100.0]), 100.0, 1.0, 0.05, 0.0, False, **kw).round(10)
        array([0.25, 0.25,  nan])
        """,
    ),
    dict(
        name='european_greeks',
        kind='greeks',
        inputs_of='european_price',
        summary='Batch European price and Greeks with cash dividends: the keys of ``black_scholes_greeks``.',
        body="""The price field has the bits of ``european_prices``. Delta and gamma
        differentiate the recursion's last expectation (its weights times z and z^2 - 1);
        theta (dV/dt per year) follows from the Black-Scholes equation, no ex-date being
        at 0; vega, vanna, vomma, rho and dividend rho (the sensitivity to the yield q)
        are central differences of prices (of deltas for vanna) with Richardson's
        extrapolation, steps of 1% of the volatility and 0.001 in the rates. Without a
        dividend that counts every field is that of ``black_scholes_greeks``, bit for
        bit. An element costs some thirteen prices.""",
        returns="""A dict of contiguous 1-D float64 arrays keyed ``price``, ``delta``, ``gamma``,
        ``vega``, ``theta``, ``vanna``, ``vomma``, ``rho``, ``dividend_rho``; NaN in
        every field where ``european_price`` raises, at zero volatility NaN in every
        field but the price, and below a volatility of some 1e-152 NaN in ``vega``,
        ``vanna`` and ``vomma``.""",
        returns_type='BlackScholesGreeks',
        raises={
            'IVError': 'Inputs of different lengths other than 1 (the length rule), or a bad schedule.',
            'TypeError': 'An argument that is neither a float nor a 1-D float64 array.',
        },
        example="""\
        >>> kw = dict(dividend_times=[0.25, 0.75], dividend_amounts=[2.0, 2.0])
        >>> g = tarvik.european_greeks(np.array([90.0, 110.0]), 100.0, 1.0, 0.05, 0.0, 0.3, True, **kw)
        >>> g["delta"].round(6)
        array([0.430014, 0.69361 ])
        >>> bool((g["price"] == tarvik.european_prices(np.array([90.0, 110.0]), 100.0, 1.0, 0.05, 0.0, 0.3, True, **kw)).all())
        True
        """,
    ),
    dict(
        name='error_codes',
        kind='own',
        annotations={"function": "object", "args": "object", "kwargs": "object"},
        returns_annotation="npt.NDArray[np.int8]",
        summary='Why each element of a batch is NaN: the error code of every element.',
        body="""For the batch function `function` and the arguments it would be called with, the
        kind of error the scalar function raises for each element. It costs nothing
        unless called.""",
        params={
            'function : callable': """One of the batch functions of tarvik, e.g. ``tarvik.implied_volatilities``.""",
            '*args, **kwargs': 'The arguments of that batch function, as it would be called.',
        },
        returns="""A new 1-D int8 array of the batch's length: 0 where the element has a value,
        else the index in ERROR_KINDS of the kind of error the scalar function raises
        for it (8, "masked", for an element masked in a numpy.ma input).""",
        returns_type='numpy.ndarray',
        raises={
            'TypeError': """`function` is not a batch function of tarvik, or its arguments are of the
            wrong type, as the batch function itself would raise.""",
            'IVError': """``invalid_input`` when the arrays' lengths differ, as the batch function
            itself would raise.""",
        },
        example="""\
        >>> import numpy as np
        >>> prices = np.array([5.0, -1.0, 150.0])
        >>> codes = tarvik.error_codes(tarvik.implied_volatilities, prices, 100.0, 100.0, 0.5)
        >>> codes
        array([0, 1, 2], dtype=int8)
        >>> [tarvik.ERROR_KINDS[c] for c in codes]
        [None, 'price_below_intrinsic', 'price_above_maximum']
        """,
    ),
    dict(
        name='_parity_line',
        kind='own',
        annotations={"strikes": "FloatArray", "differences": "FloatArray"},
        returns_annotation="Tuple[float, float, float]",
        summary='The forward and discount factor of one expiry from put-call parity.',
        body="""The least-squares line C - P = D (F - K) through the strikes K quoted on both
        sides and the differences C - P of their prices, in the centred form (the means,
        then the sums of products about them); F is taken about the mean strike. The
        fit of ``tarvik.frame.parity_forwards`` and of ``--forward parity``. Private (not
        in ``__all__``).""",
        params={
            'strikes : 1-D float64 array': 'The strikes K.',
            'differences : 1-D float64 array': 'C - P at each strike, as many as the strikes.',
        },
        returns="""The forward F, the discount factor D and the root-mean-square residual; all
        NaN for fewer than two points or strikes all equal, F NaN where D is 0.""",
        returns_type='tuple of float',
        raises={
            'TypeError': 'An argument is not a float64 array, or it is masked.',
            'ValueError': 'The arrays differ in length.',
        },
        example="""\
        >>> tarvik._core._parity_line(np.array([90.0, 100.0, 110.0]), np.array([12.0, 2.5, -7.0]))
        (102.63157894736842, 0.95, 0.0)
        """,
    ),
    dict(
        name='_svi_fit',
        kind='own',
        annotations={"log_moneyness": "FloatArray", "total_variances": "FloatArray",
                     "weights": "FloatArray"},
        returns_annotation="Tuple[float, float, float, float, float, float, int, Optional[str]]",
        summary="One expiry's raw SVI smile, fitted without butterfly arbitrage.",
        body="""Weighted least squares of w(k) = a + b (rho (k - m) + sqrt((k - m)^2 +
        sigma^2)) to the total variances, over the parameters whose smile has
        Durrleman's g >= 0 at every k (and a >= -(b sigma)(1 - |rho|), b (1 + |rho|) <= 2): the
        quasi-explicit reduction of De Marco and Martini, (a, b, rho) exact for each
        (m, sigma), Nelder-Mead over (m, ln sigma). Points with a non-finite value, a
        total variance or weight not above 0 are left out. The fit of
        ``tarvik.surface.fit``. Private (not in ``__all__``).""",
        params={
            'log_moneyness : 1-D float64 array': 'k = ln(K/F) of each quote.',
            'total_variances : 1-D float64 array': 'vol^2 T of each quote.',
            'weights : 1-D float64 array': 'The weight of each squared residual.',
        },
        returns="""a, b, rho, m, sigma; the root of the weighted mean squared residual; the
        number of smiles tried; and None, or why the smile was not fitted (fewer than 5
        usable points, arrays of different lengths, every point at one k), the
        parameters then NaN.""",
        returns_type='tuple',
        raises={'TypeError': 'An argument is not a float64 array, or it is masked.'},
        example="""\
        >>> k = np.linspace(-0.5, 0.5, 11)
        >>> w = 0.02 + 0.1 * (-0.5 * k + np.sqrt(k * k + 0.01))
        >>> [round(x, 9) + 0.0 for x in tarvik._core._svi_fit(k, w, np.ones(11))[:5]]
        [0.02, 0.1, -0.5, 0.0, 0.1]
        """,
    ),
    dict(
        name='_svi_smallest_butterfly',
        kind='own',
        annotations={"a": "float", "b": "float", "rho": "float", "m": "float", "sigma": "float"},
        returns_annotation="Tuple[float, float, bool]",
        summary="Where a raw SVI smile's Durrleman function g is smallest.",
        body="""g on a grid in y = (k - m)/sigma = sinh(u), refined by golden-section search
        around each grid minimum, and its limits 1/4 - b^2 (1 +- rho)^2 / 16 as k ->
        +-inf. The report of ``tarvik.surface.Surface.check``. Private (not in
        ``__all__``).""",
        params={
            'a, b, rho, m, sigma : float': 'The raw SVI parameters.',
        },
        returns="""k (+-inf for a limit), the smallest g, and whether the smile is free of
        butterfly arbitrage (g >= 0 everywhere, w > 0, Lee's bound).""",
        returns_type='tuple',
        raises={'TypeError': 'An argument is not a float.'},
        example="""\
        >>> k, g, free = tarvik._core._svi_smallest_butterfly(-0.041, 0.1331, 0.306, 0.3586, 0.4153)
        >>> g < 0, free
        (True, False)
        """,
    ),
    dict(
        name='_essvi_fit',
        kind='own',
        annotations={"counts": "FloatArray", "log_moneyness": "FloatArray",
                     "total_variances": "FloatArray", "weights": "FloatArray"},
        returns_annotation="list[Tuple[float, float, float, float, int, Optional[str]]]",
        summary="A chain's eSSVI smiles, fitted expiry after expiry without static arbitrage.",
        body="""Expiry i is the next counts[i] points, the expiries in increasing maturity.
        Each smile w(k) = (theta + rho psi k + sqrt((psi k + theta rho)^2 + theta^2 (1 -
        rho^2))) / 2 is the weighted least-squares one whose theta is closed form for its
        shape (rho, phi = psi/theta), within Gatheral and Jacquier's butterfly bounds
        psi (1 + |rho|) <= 4 and psi^2 (1 + |rho|) <= 4 theta and on or above the last
        fitted smile at every k; Nelder-Mead over (rho, ln phi). Points as ``_svi_fit``
        takes them. The fit of ``tarvik.surface.fit``. Private (not in ``__all__``).""",
        params={
            'counts : 1-D float64 array': 'The number of points of each expiry (whole numbers).',
            'log_moneyness : 1-D float64 array': 'k = ln(K/F) of each quote.',
            'total_variances : 1-D float64 array': 'vol^2 T of each quote.',
            'weights : 1-D float64 array': 'The weight of each squared residual.',
        },
        returns="""theta, rho, psi, the root of the weighted mean squared residual, the number of
        shapes tried, and None or why the expiry was not fitted (its parameters then NaN;
        it constrains no later expiry).""",
        returns_type='list of tuple',
        raises={
            'TypeError': 'An argument is not a float64 array, or it is masked.',
            'ValueError': 'Arrays of different lengths, or counts that are not whole numbers '
                          'adding up to the points.',
        },
        example="""\
        >>> k = np.linspace(-0.5, 0.5, 11)
        >>> w = 0.5 * (0.04 - 0.5 * 0.2 * k + np.sqrt((0.2 * k - 0.02) ** 2 + 0.0016 * 0.75))
        >>> [round(x, 9) for x in tarvik._core._essvi_fit(np.array([11.0]), k, w, np.ones(11))[0][:3]]
        [0.04, -0.5, 0.2]
        """,
    ),
    dict(
        name='_essvi_as_svi',
        kind='own',
        annotations={"parameters": "FloatArray"},
        returns_annotation="FloatArray",
        summary='eSSVI smiles as the raw SVI parameters of the same smiles.',
        body="""a = theta (1 - rho^2)/2, b = psi/2, rho, m = -rho theta/psi, sigma = theta
        sqrt(1 - rho^2)/psi (psi = 0: the flat smile a = theta). Private (not in
        ``__all__``).""",
        params={'parameters : 1-D float64 array': 'theta, rho, psi of each smile in turn.'},
        returns="a, b, rho, m, sigma of each smile in turn.",
        returns_type='1-D float64 array',
        raises={
            'TypeError': 'The argument is not a float64 array, or it is masked.',
            'ValueError': 'Not three parameters per smile.',
        },
        example="""\
        >>> tarvik._core._essvi_as_svi(np.array([0.04, -0.5, 0.2]))
        array([ 0.015     ,  0.1       , -0.5       ,  0.1       ,  0.17320508])
        """,
    ),
    dict(
        name='_surface_values',
        kind='own',
        annotations={"smile": "int", "maturities": "FloatArray", "forwards": "FloatArray",
                     "parameters": "FloatArray", "points": "FloatOrArray",
                     "times": "FloatOrArray", "quantity": "int", "parallel": "bool"},
        returns_annotation="FloatArray",
        summary="A surface of smiles, held as raw SVI slices, at points (x, t).",
        body="""At a slice its smile; between slices T1 < t < T2 the total variance linear in
        t at fixed k; before the first w1(k) t/T1; after the last the at-the-money total
        variance theta grows at the last segment's rate, an eSSVI smile (smile 1) keeping
        psi and rho (w = l wn(k/l), l = theta(t)/theta_n), a raw SVI smile (smile 0)
        shifted by the growth. ln F(t) is linear in t between slices, at the nearest
        segment's rate beyond them. NaN for t < 0, infinite or NaN. The evaluation of
        ``tarvik.surface.Surface``. Private (not in ``__all__``).""",
        params={
            'smile : int': '0 for raw SVI smiles, 1 for eSSVI ones (as raw SVI).',
            'maturities : 1-D float64 array': 'The slices\' maturities, positive and increasing.',
            'forwards : 1-D float64 array': 'The slices\' forwards, positive.',
            'parameters : 1-D float64 array': 'a, b, rho, m, sigma of each slice in turn.',
            'points, times : float or 1-D float64 array': 'The points (x, t), of one length or 1.',
            'quantity : int': """0 the total variance, 1 Durrleman's g, 2 the density of
            ln(S_T/F), each at log-moneyness x; 3 the Black-76 implied volatility sqrt(w/t) at
            strike x, k = ln x - ln F(t); 4 the forward F(t).""",
            'parallel : bool': 'Run on the worker pool (same bits).',
        },
        returns="One value per point.",
        returns_type='1-D float64 array',
        raises={
            'TypeError': 'An argument is not a float64 array or float, or it is masked.',
            'ValueError': 'A smile other than 0 or 1, maturities not increasing, forwards not '
                          'positive, not five parameters each, points of different lengths, or '
                          'a quantity other than 0 to 4.',
        },
        example="""\
        >>> tarvik._core._surface_values(0, np.array([1.0]), np.array([100.0]), np.array([0.04, 0.0, 0.0, 0.0, 0.1]), np.array([0.0, 0.5]), 2.0, 0)
        array([0.08, 0.08])
        """,
    ),
    private_batch(
        '_discount_factors',
        {"rates": "Continuously compounded rates r per year.", "maturities": "Maturities T in years."},
        'Discount factors exp(-(r T)), element by element.',
        """tarvik's correctly rounded exp, as the spot-model functions discount: the
        bits of ``math.exp(-(r * t))`` wherever the C library rounds it correctly.""",
        """\
        >>> import math
        >>> tarvik._core._discount_factors(0.05, np.array([1.0, 2.0])).tolist() == [math.exp(-0.05), math.exp(-0.1)]
        True
        """),
    private_batch(
        '_undiscounted_prices',
        {"prices": "Discounted prices p.", "discounts": "Discount factors D."},
        'Undiscounted prices p / D, element by element.',
        'What Black-76 and the normal model invert, from a discounted quote.',
        """\
        >>> tarvik._core._undiscounted_prices(np.array([4.5]), 0.9)
        array([5.])
        """),
    private_batch(
        '_discounted_thetas',
        {"thetas": "The undiscounted value's theta -dV/dT per year.",
         "prices": "The undiscounted value V.", "discounts": "Discount factors D = exp(-(r T)).",
         "rates": "The rates r of the discount factors."},
        'Thetas of discounted values, element by element.',
        'The time decay -d(D V)/dT of D V with D = exp(-(r T)): theta D + r (V D).',
        """\
        >>> tarvik._core._discounted_thetas(1.0, 2.0, 0.9, 0.05)
        array([0.99])
        """),
    private_batch(
        '_black_scholes_forwards',
        {"spots": "Spot prices S.", "maturities": "Maturities T in years.", "rates": "Rates r per year.",
         "dividends": "Dividend yields q per year."},
        'Batch black_scholes_forward: the forwards S exp((r - q) T), element by element.',
        """The forward each spot-model function prices on, bit for bit (NaN where
        black_scholes_forward raises; error_codes() tells which error).""",
        """\
        >>> tarvik._core._black_scholes_forwards(np.array([100.0, -1.0]), 1.0, 0.05, 0.05)
        array([100., nan])
        """),
    dict(
        name='_csv_rows',
        kind='own',
        annotations={"values": "FloatOrArray", "columns": "int", "parallel": "bool",
                     "before": "Optional[bytes]", "after": "Optional[bytes]"},
        returns_annotation="bytearray",
        summary='CSV text of a table of numbers, each written as repr() writes it.',
        body="""The writer of the command line's result columns (``python -m tarvik iv`` and
        ``price``), which both CSV engines share so that they write the same bytes.
        Private (not in ``__all__``): its text is that of the command line's files, not
        a numerical result, and it may change with them.""",
        params={
            'values : float or 1-D float64 array': 'The table, row after row (``numpy.column_stack(columns).ravel()``).',
            'columns : int, optional': 'Fields per line (default 1).',
            'parallel : bool, optional': 'Write blocks of lines on the worker pool (the same bytes).',
            'before : bytes, optional': """One line per row, each ended by a line feed: each output line starts with
            its line (without the line feed) and a ",".""",
            'after : bytes, optional': """One line per row likewise, only with `before`: each output line ends with
            its line (with the line feed) in place of a line feed.""",
        },
        returns="""ASCII lines of `columns` fields separated by ",", each ended by a line feed: a
        number as ``repr(float)`` writes it (the shortest digits that read back to the
        same float), a NaN or masked element as an empty field.""",
        returns_type='bytearray',
        raises={
            'TypeError': """`values` is not a float or a contiguous 1-D float64 array, or `columns` is
            not an integer, `parallel` not a bool, or `before` or `after` neither bytes
            nor None.""",
            'ValueError': """`columns` is below 1, the values do not fill whole lines, or `before` or
            `after` holds another number of lines than the rows.""",
        },
        example=r"""
        >>> tarvik._core._csv_rows(np.array([0.1, np.nan, 1e-05, 2e16]), 2)
        bytearray(b'0.1,\n1e-05,2e+16\n')
        >>> tarvik._core._csv_rows(np.array([0.5, 2.0]), 1, False, b"a\nb\n", b"x\n\n")
        bytearray(b'a,0.5x\nb,2.0\n')
        """,
    ),
    dict(
        name='_csv_numbers',
        kind='own',
        annotations={"text": "bytes"},
        returns_annotation="Tuple[npt.NDArray[np.float64], npt.NDArray[np.int8]]",
        summary='The fields of a column of text read as numbers, a column at once.',
        body="""The reader of the command line's built-in CSV engine (``python -m tarvik iv
        --engine python``). Private (not in ``__all__``), as ``_csv_rows``.""",
        params={
            'text : bytes': 'The fields, separated by line feeds (one more field than line feeds).',
        },
        returns="""A new 1-D float64 array of the values, and a new 1-D int8 array of each field's
        kind: 0 a number, 1 not a number, 2 empty (NaN for both). A number is blanks
        (space, tab), an optional sign, ASCII digits with an optional point and an
        optional exponent, or inf, infinity, nan in any case, then blanks; its value is
        what ``float()`` gives.""",
        returns_type='tuple of numpy.ndarray',
        raises={
            'TypeError': '`text` is not bytes.',
        },
        example=r"""
        >>> values, kinds = tarvik._core._csv_numbers(b" 1.5\n-inf\n1_0\n")
        >>> values.tolist(), kinds.tolist()
        ([1.5, -inf, nan, nan], [0, 0, 1, 2])
        """,
    ),
]
