"""Type stubs of the compiled extension tarvik._core, with the documentation of
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
would raise; error_codes() tells which error.
"""

import sys
from typing import Optional, Tuple, Union

if sys.version_info >= (3, 11):
    from typing import TypedDict
else:
    from typing_extensions import TypedDict

import numpy as np
import numpy.typing as npt

# A float (broadcast to every element) or a 1-D contiguous float64 array.
_Values = Union[float, npt.NDArray[np.float64]]
# One option type for every element, or one per element.
_OptionTypes = Union[bool, npt.NDArray[np.bool_]]
_Result = npt.NDArray[np.float64]


class _BlackGreeks(TypedDict):
    """black_greeks' result: one contiguous float64 array of length n per
    field, in this order."""

    price: _Result
    delta: _Result
    gamma: _Result
    vega: _Result
    theta: _Result
    vanna: _Result
    vomma: _Result


class _BachelierGreeks(_BlackGreeks):
    """bachelier_greeks' result: _BlackGreeks' fields of the normal model
    (vega, vanna and vomma per unit of normal volatility)."""


class _BlackScholesGreeks(_BlackGreeks):
    """black_scholes_greeks' result: _BlackGreeks' fields, then rho and
    dividend_rho."""

    rho: _Result
    dividend_rho: _Result

__version__: str
__all__ = [
    "IVError",
    "__version__",
    "norm_pdf",
    "norm_cdf",
    "norm_cdf_c",
    "black_intrinsic",
    "log_moneyness",
    "black_price",
    "black_price_total_vol",
    "black_scholes_forward",
    "black_scholes_price",
    "implied_volatility",
    "normalised_implied_volatility",
    "delta",
    "gamma",
    "vega",
    "theta",
    "vomma",
    "vanna",
    "black_scholes_delta",
    "black_scholes_gamma",
    "black_scholes_vega",
    "black_scholes_theta",
    "black_scholes_vomma",
    "black_scholes_vanna",
    "norm_pdfs",
    "norm_cdfs",
    "norm_cdf_cs",
    "black_prices",
    "black_scholes_prices",
    "implied_volatilities",
    "normalised_implied_volatilities",
    "deltas",
    "gammas",
    "vegas",
    "vommas",
    "vannas",
    "black_scholes_rho",
    "black_scholes_dividend_rho",
    "black_scholes_implied_volatility",
    "thetas",
    "black_scholes_deltas",
    "black_scholes_gammas",
    "black_scholes_vegas",
    "black_scholes_thetas",
    "black_scholes_vommas",
    "black_scholes_vannas",
    "black_scholes_rhos",
    "black_scholes_dividend_rhos",
    "black_scholes_implied_volatilities",
    "black_greeks",
    "black_scholes_greeks",
    "black_implied_volatility",
    "black_implied_volatilities",
    "bachelier_price",
    "bachelier_implied_volatility",
    "bachelier_delta",
    "bachelier_gamma",
    "bachelier_vega",
    "bachelier_theta",
    "bachelier_vanna",
    "bachelier_vomma",
    "bachelier_prices",
    "bachelier_implied_volatilities",
    "bachelier_deltas",
    "bachelier_gammas",
    "bachelier_vegas",
    "bachelier_thetas",
    "bachelier_vannas",
    "bachelier_vommas",
    "bachelier_greeks",
    "error_codes",
    "ERROR_KINDS",
]

class IVError(Exception):
    """An input a scalar function rejects: args == (kind, message), kind one of
    "price_below_intrinsic", "price_above_maximum", "negative_time",
    "negative_forward", "negative_strike", "no_convergence", "invalid_input"."""

    args: Tuple[str, str]

# ---- scalar functions --------------------------------------------------------

def norm_pdf(x: float) -> float:
    """Standard normal density phi(x); 0 at +-inf, NaN for NaN."""

def norm_cdf(x: float) -> float:
    """Standard normal distribution function Phi(x), accurate in the lower tail."""

def norm_cdf_c(x: float) -> float:
    """1 - Phi(x), computed directly: accurate in the upper tail."""

def black_intrinsic(forward: float, strike: float, is_call: bool) -> float:
    """max(F - K, 0) for a call, max(K - F, 0) for a put; never raises."""

def log_moneyness(forward: float, strike: float) -> float:
    """ln F - ln K, as two logarithms; never raises."""

def black_price(forward: float, strike: float, maturity: float, volatility: float, is_call: bool) -> float:
    """Undiscounted Black-76 price. Raises IVError for a non-finite input, a
    forward, strike or maturity not above 0, or a negative volatility."""

def black_price_total_vol(forward: float, strike: float, total_vol: float, is_call: bool) -> float:
    """Undiscounted Black-76 price from the total volatility sigma*sqrt(T);
    NaN for unusable inputs, never raises."""

def black_scholes_forward(spot: float, maturity: float, rate: float, dividend: float) -> float:
    """The forward S e^((r - q) T). Raises IVError for a non-finite input, a
    spot or maturity not above 0, or a forward that overflows or underflows."""

def black_scholes_price(spot: float, strike: float, maturity: float, rate: float, dividend: float, volatility: float, is_call: bool) -> float:
    """Discounted Black-Scholes-Merton price: e^(-rT) times Black-76 on the
    forward. Raises IVError as black_price does, and for a spot not above 0,
    an unusable forward or a discount factor that overflows."""

def implied_volatility(price: float, forward: float, strike: float, maturity: float, is_call: bool) -> float:
    """Black-76 implied volatility (per year) of an undiscounted price, to
    machine precision. Raises IVError for a non-finite input, a forward,
    strike or maturity not above 0, a price below the intrinsic value or at or
    above its maximum (F for a call, K for a put). An in-the-money quote whose
    time value is below one ulp of the price inverts to 0.0."""

def normalised_implied_volatility(beta: float, x: float, is_call: bool) -> float:
    """Total volatility s of a normalised price beta = P/(sqrt(F) sqrt(K)) at
    log-moneyness x = ln F - ln K. Raises IVError for non-finite inputs and a
    price outside [intrinsic, e^(+-x/2))."""

def delta(forward: float, strike: float, maturity: float, volatility: float, is_call: bool) -> float:
    """Black-76 forward delta dV/dF. Errors as black_price."""

def gamma(forward: float, strike: float, maturity: float, volatility: float) -> float:
    """Black-76 gamma d2V/dF2. Errors as black_price."""

def vega(forward: float, strike: float, maturity: float, volatility: float) -> float:
    """Black-76 vega dV/dsigma per unit of volatility. Errors as black_price."""

def theta(forward: float, strike: float, maturity: float, volatility: float) -> float:
    """Black-76 theta -dV/dT per year. Errors as black_price."""

def vomma(forward: float, strike: float, maturity: float, volatility: float) -> float:
    """Black-76 vomma (volga) d2V/dsigma2. Errors as black_price."""

def vanna(forward: float, strike: float, maturity: float, volatility: float) -> float:
    """Black-76 vanna d2V/dF dsigma. Errors as black_price."""

def black_scholes_delta(spot: float, strike: float, maturity: float, rate: float, dividend: float, volatility: float, is_call: bool) -> float:
    """Black-Scholes-Merton spot delta dV/dS. Errors as black_scholes_price."""

def black_scholes_gamma(spot: float, strike: float, maturity: float, rate: float, dividend: float, volatility: float) -> float:
    """Black-Scholes-Merton spot gamma d2V/dS2. Errors as black_scholes_price."""

def black_scholes_vega(spot: float, strike: float, maturity: float, rate: float, dividend: float, volatility: float) -> float:
    """Black-Scholes-Merton vega per unit of volatility. Errors as black_scholes_price."""

def black_scholes_theta(spot: float, strike: float, maturity: float, rate: float, dividend: float, volatility: float, is_call: bool) -> float:
    """Black-Scholes-Merton theta -dV/dT per year. Errors as black_scholes_price."""

def black_scholes_vomma(spot: float, strike: float, maturity: float, rate: float, dividend: float, volatility: float) -> float:
    """Black-Scholes-Merton vomma. Errors as black_scholes_price."""

def black_scholes_vanna(spot: float, strike: float, maturity: float, rate: float, dividend: float, volatility: float) -> float:
    """Black-Scholes-Merton vanna d2V/dS dsigma. Errors as black_scholes_price."""

def black_scholes_rho(spot: float, strike: float, maturity: float, rate: float, dividend: float, volatility: float, is_call: bool) -> float:
    """Black-Scholes-Merton rho dV/dr per unit of rate. Errors as black_scholes_delta."""

def black_scholes_dividend_rho(spot: float, strike: float, maturity: float, rate: float, dividend: float, volatility: float, is_call: bool) -> float:
    """Black-Scholes-Merton dV/dq per unit of dividend yield. Errors as black_scholes_delta."""

def black_scholes_implied_volatility(price: float, spot: float, strike: float, maturity: float, rate: float, dividend: float, is_call: bool) -> float:
    """Black-Scholes-Merton implied volatility of a discounted price. Raises
    IVError for non-finite inputs, a spot, strike or maturity not above 0, and
    a price below max(S e^(-qT) - K e^(-rT), 0) or at or above S e^(-qT) (a
    put: max(K e^(-rT) - S e^(-qT), 0) and K e^(-rT))."""

# ---- the normal (Bachelier) model ---------------------------------------------

def bachelier_price(forward: float, strike: float, maturity: float, volatility: float, is_call: bool) -> float:
    """Undiscounted normal-model (Bachelier) price of a European option on a forward.

    A call is (F - K) N(d) + sigma sqrt(T) n(d), d = (F - K)/(sigma sqrt(T)),
    a put the same with F - K negated. The time value is evaluated without
    cancellation, so a price far out of the money keeps its relative
    accuracy. A shifted-lognormal quote with shift d is Black-76 on F + d and
    K + d (``black_price(forward + shift, strike + shift, ...)``).

    Parameters
    ----------
    forward : float
        Forward price, any finite real (negative included), in price units.
    strike : float
        Strike, any finite real, in price units.
    maturity : float
        Time to expiry in years, above 0.
    volatility : float
        Normal volatility in price units per square root of a year (0.01 is
        100 basis points a year), at least 0.
    is_call : bool
        True for a call, False for a put.

    Returns
    -------
    float
        The price, in price units; the intrinsic value at zero volatility.

    Raises
    ------
    IVError
        ``invalid_input`` for a non-finite input or a difference F - K that
        overflows, ``negative_time`` for a maturity not above 0,
        ``invalid_input`` for a negative volatility.

    Examples
    --------
    >>> tarvik.bachelier_price(0.025, 0.03, 2.0, 0.01, True)
    0.003490886622301166
    >>> tarvik.bachelier_price(-0.005, -0.005, 1.0, 0.01, True)  # 0.01/sqrt(2 pi)
    0.003989422804014327
    """

def bachelier_implied_volatility(price: float, forward: float, strike: float, maturity: float, is_call: bool) -> float:
    """Implied normal (Bachelier) volatility of an undiscounted price.

    Closed form to machine precision: a rational starting point and one
    Halley step. There is no upper bound on the price (a call's price grows
    without limit in the volatility); a price equal to the intrinsic value
    gives 0.0.

    Parameters
    ----------
    price : float
        Undiscounted option price, in price units.
    forward : float
        Forward price, any finite real, in price units.
    strike : float
        Strike, any finite real, in price units.
    maturity : float
        Time to expiry in years, above 0.
    is_call : bool
        True for a call, False for a put.

    Returns
    -------
    float
        The normal volatility, in price units per square root of a year.

    Raises
    ------
    IVError
        ``invalid_input`` for a non-finite input or a difference F - K that
        overflows, ``negative_time`` for a maturity not above 0,
        ``price_below_intrinsic`` for a price below max(F - K, 0) (a put:
        max(K - F, 0)).

    Examples
    --------
    >>> p = tarvik.bachelier_price(-0.01, 0.0, 1.0, 0.0075, False)
    >>> round(tarvik.bachelier_implied_volatility(p, -0.01, 0.0, 1.0, False), 15)
    0.0075
    >>> tarvik.bachelier_implied_volatility(1.0, 1.5, 0.5, 1.0, True)  # the intrinsic value
    0.0
    """

def bachelier_delta(forward: float, strike: float, maturity: float, volatility: float, is_call: bool) -> float:
    """Normal-model (Bachelier) delta dV/dF.

    N(d) for a call, -N(-d) for a put, with d = (F - K)/(sigma sqrt(T)); at zero volatility
    the delta of the intrinsic value (a half at the money).

    Parameters
    ----------
    forward : float
        Forward price, any finite real (negative included), in price units.
    strike : float
        Strike, any finite real, in price units.
    maturity : float
        Time to expiry in years, above 0.
    volatility : float
        Normal volatility in price units per square root of a year (0.01 is
        100 basis points a year), at least 0.
    is_call : bool
        True for a call, False for a put.

    Returns
    -------
    float
        The delta dV/dF.

    Raises
    ------
    IVError
        ``invalid_input`` for a non-finite input or a difference F - K that
        overflows, ``negative_time`` for a maturity not above 0,
        ``invalid_input`` for a negative volatility.

    Examples
    --------
    >>> tarvik.bachelier_delta(0.0, 0.0, 1.0, 0.01, True)
    0.5
    """

def bachelier_gamma(forward: float, strike: float, maturity: float, volatility: float) -> float:
    """Normal-model (Bachelier) gamma d2V/dF2.

    n(d)/(sigma sqrt(T)), with d = (F - K)/(sigma sqrt(T)); at zero volatility
    0.

    Parameters
    ----------
    forward : float
        Forward price, any finite real (negative included), in price units.
    strike : float
        Strike, any finite real, in price units.
    maturity : float
        Time to expiry in years, above 0.
    volatility : float
        Normal volatility in price units per square root of a year (0.01 is
        100 basis points a year), at least 0.

    Returns
    -------
    float
        The gamma d2V/dF2.

    Raises
    ------
    IVError
        ``invalid_input`` for a non-finite input or a difference F - K that
        overflows, ``negative_time`` for a maturity not above 0,
        ``invalid_input`` for a negative volatility.

    Examples
    --------
    >>> tarvik.bachelier_gamma(0.0, 0.0, 1.0, 0.01)
    39.89422804014327
    """

def bachelier_vega(forward: float, strike: float, maturity: float, volatility: float) -> float:
    """Normal-model (Bachelier) vega dV/dsigma (per unit of volatility).

    sqrt(T) n(d), with d = (F - K)/(sigma sqrt(T)); at zero volatility
    0.

    Parameters
    ----------
    forward : float
        Forward price, any finite real (negative included), in price units.
    strike : float
        Strike, any finite real, in price units.
    maturity : float
        Time to expiry in years, above 0.
    volatility : float
        Normal volatility in price units per square root of a year (0.01 is
        100 basis points a year), at least 0.

    Returns
    -------
    float
        The vega dV/dsigma (per unit of volatility).

    Raises
    ------
    IVError
        ``invalid_input`` for a non-finite input or a difference F - K that
        overflows, ``negative_time`` for a maturity not above 0,
        ``invalid_input`` for a negative volatility.

    Examples
    --------
    >>> tarvik.bachelier_vega(0.0, 0.0, 1.0, 0.01)
    0.3989422804014327
    """

def bachelier_theta(forward: float, strike: float, maturity: float, volatility: float) -> float:
    """Normal-model (Bachelier) theta -dV/dT (per year).

    -sigma n(d)/(2 sqrt(T)), with d = (F - K)/(sigma sqrt(T)); at zero volatility
    0.

    Parameters
    ----------
    forward : float
        Forward price, any finite real (negative included), in price units.
    strike : float
        Strike, any finite real, in price units.
    maturity : float
        Time to expiry in years, above 0.
    volatility : float
        Normal volatility in price units per square root of a year (0.01 is
        100 basis points a year), at least 0.

    Returns
    -------
    float
        The theta -dV/dT (per year).

    Raises
    ------
    IVError
        ``invalid_input`` for a non-finite input or a difference F - K that
        overflows, ``negative_time`` for a maturity not above 0,
        ``invalid_input`` for a negative volatility.

    Examples
    --------
    >>> tarvik.bachelier_theta(0.0, 0.0, 4.0, 0.01)
    -0.0009973557010035817
    """

def bachelier_vanna(forward: float, strike: float, maturity: float, volatility: float) -> float:
    """Normal-model (Bachelier) vanna d2V/dFdsigma (per unit of volatility).

    -d n(d)/sigma, with d = (F - K)/(sigma sqrt(T)); at zero volatility
    0.

    Parameters
    ----------
    forward : float
        Forward price, any finite real (negative included), in price units.
    strike : float
        Strike, any finite real, in price units.
    maturity : float
        Time to expiry in years, above 0.
    volatility : float
        Normal volatility in price units per square root of a year (0.01 is
        100 basis points a year), at least 0.

    Returns
    -------
    float
        The vanna d2V/dFdsigma (per unit of volatility).

    Raises
    ------
    IVError
        ``invalid_input`` for a non-finite input or a difference F - K that
        overflows, ``negative_time`` for a maturity not above 0,
        ``invalid_input`` for a negative volatility.

    Examples
    --------
    >>> tarvik.bachelier_vanna(0.01, 0.0, 1.0, 0.01)
    -24.197072451914337
    """

def bachelier_vomma(forward: float, strike: float, maturity: float, volatility: float) -> float:
    """Normal-model (Bachelier) vomma d2V/dsigma2 (per unit of volatility squared).

    d^2 sqrt(T) n(d)/sigma, with d = (F - K)/(sigma sqrt(T)); at zero volatility
    0.

    Parameters
    ----------
    forward : float
        Forward price, any finite real (negative included), in price units.
    strike : float
        Strike, any finite real, in price units.
    maturity : float
        Time to expiry in years, above 0.
    volatility : float
        Normal volatility in price units per square root of a year (0.01 is
        100 basis points a year), at least 0.

    Returns
    -------
    float
        The vomma d2V/dsigma2 (per unit of volatility squared).

    Raises
    ------
    IVError
        ``invalid_input`` for a non-finite input or a difference F - K that
        overflows, ``negative_time`` for a maturity not above 0,
        ``invalid_input`` for a negative volatility.

    Examples
    --------
    >>> tarvik.bachelier_vomma(0.01, 0.0, 1.0, 0.01)
    24.197072451914337
    """

# ---- batch functions ----------------------------------------------------------

def norm_pdfs(x: _Values) -> _Result:
    """Batch Standard Normal PDF."""

def norm_cdfs(x: _Values) -> _Result:
    """Batch Standard Normal CDF."""

def norm_cdf_cs(x: _Values) -> _Result:
    """Batch Standard Normal survival `1 − Φ(x)`."""

def black_prices(forwards: _Values, strikes: _Values, maturities: _Values, vols: _Values, is_call: _OptionTypes = True, parallel: bool = False) -> _Result:
    """Batch undiscounted Black-76 prices."""

def black_scholes_prices(spots: _Values, strikes: _Values, maturities: _Values, rates: _Values, dividends: _Values, vols: _Values, is_call: _OptionTypes = True, parallel: bool = False) -> _Result:
    """Batch discounted Black–Scholes–Merton prices."""

def implied_volatilities(prices: _Values, forwards: _Values, strikes: _Values, maturities: _Values, is_call: _OptionTypes = True, parallel: bool = False) -> _Result:
    """Batch Black implied volatilities."""

def normalised_implied_volatilities(betas: _Values, xs: _Values, is_call: _OptionTypes = True, parallel: bool = False) -> _Result:
    """Batch normalised Black total-volatility inversions."""

def deltas(forwards: _Values, strikes: _Values, maturities: _Values, vols: _Values, is_call: _OptionTypes = True, parallel: bool = False) -> _Result:
    """Batch Black-76 forward deltas."""

def gammas(forwards: _Values, strikes: _Values, maturities: _Values, vols: _Values, parallel: bool = False) -> _Result:
    """Batch Black-76 gammas."""

def vegas(forwards: _Values, strikes: _Values, maturities: _Values, vols: _Values, parallel: bool = False) -> _Result:
    """Batch Black-76 vegas."""

def vommas(forwards: _Values, strikes: _Values, maturities: _Values, vols: _Values, parallel: bool = False) -> _Result:
    """Batch Black-76 vommas (volga)."""

def vannas(forwards: _Values, strikes: _Values, maturities: _Values, vols: _Values, parallel: bool = False) -> _Result:
    """Batch Black-76 vannas."""

def thetas(forwards: _Values, strikes: _Values, maturities: _Values, vols: _Values, parallel: bool = False) -> _Result:
    """Batch Black-76 thetas (-dV/dT per year)."""

def black_scholes_deltas(spots: _Values, strikes: _Values, maturities: _Values, rates: _Values, dividends: _Values, vols: _Values, is_call: _OptionTypes = True, parallel: bool = False) -> _Result:
    """Batch Black-Scholes-Merton spot deltas."""

def black_scholes_gammas(spots: _Values, strikes: _Values, maturities: _Values, rates: _Values, dividends: _Values, vols: _Values, parallel: bool = False) -> _Result:
    """Batch Black-Scholes-Merton spot gammas."""

def black_scholes_vegas(spots: _Values, strikes: _Values, maturities: _Values, rates: _Values, dividends: _Values, vols: _Values, parallel: bool = False) -> _Result:
    """Batch Black-Scholes-Merton vegas (per unit of volatility)."""

def black_scholes_thetas(spots: _Values, strikes: _Values, maturities: _Values, rates: _Values, dividends: _Values, vols: _Values, is_call: _OptionTypes = True, parallel: bool = False) -> _Result:
    """Batch Black-Scholes-Merton thetas (-dV/dT per year)."""

def black_scholes_vommas(spots: _Values, strikes: _Values, maturities: _Values, rates: _Values, dividends: _Values, vols: _Values, parallel: bool = False) -> _Result:
    """Batch Black-Scholes-Merton vommas."""

def black_scholes_vannas(spots: _Values, strikes: _Values, maturities: _Values, rates: _Values, dividends: _Values, vols: _Values, parallel: bool = False) -> _Result:
    """Batch Black-Scholes-Merton vannas."""

def black_scholes_rhos(spots: _Values, strikes: _Values, maturities: _Values, rates: _Values, dividends: _Values, vols: _Values, is_call: _OptionTypes = True, parallel: bool = False) -> _Result:
    """Batch Black-Scholes-Merton rhos (dV/dr per unit of rate)."""

def black_scholes_dividend_rhos(spots: _Values, strikes: _Values, maturities: _Values, rates: _Values, dividends: _Values, vols: _Values, is_call: _OptionTypes = True, parallel: bool = False) -> _Result:
    """Batch Black-Scholes-Merton dividend rhos (dV/dq per unit of yield)."""

def black_scholes_implied_volatilities(prices: _Values, spots: _Values, strikes: _Values, maturities: _Values, rates: _Values, dividends: _Values, is_call: _OptionTypes = True, parallel: bool = False) -> _Result:
    """Batch Black-Scholes-Merton implied volatilities of discounted prices."""

def black_greeks(forwards: _Values, strikes: _Values, maturities: _Values, vols: _Values, is_call: _OptionTypes = True, parallel: bool = False) -> _BlackGreeks:
    """Batch Black-76 price and Greeks in one pass.

    Every field has the very bits of its single-quantity batch function
    (``black_prices``, ``deltas``, ``gammas``, ``vegas``, ``thetas``,
    ``vannas``, ``vommas``), NaN exactly where that function gives NaN; the
    logarithms, d1 and the density of an element are computed once for all
    of its fields. ``pandas.DataFrame(result)`` and ``polars.DataFrame(result)``
    take the result as it is.

    Parameters
    ----------
    forwards, strikes : float or 1-D float64 array
        Forward and strike, in price units.
    maturities : float or 1-D float64 array
        Time to expiry, in years.
    vols : float or 1-D float64 array
        Volatility, per year.
    is_call : bool or 1-D bool array, default True
        Option type, one for every element or one per element.
    parallel : bool, default False
        Run on the worker pool (the same bits).

    Returns
    -------
    _BlackGreeks
        A dict of contiguous 1-D float64 arrays of length n keyed ``price``
        (undiscounted), ``delta`` (dV/dF), ``gamma``, ``vega`` (per unit of
        volatility), ``theta`` (-dV/dT per year), ``vanna``, ``vomma``.

    Raises
    ------
    IVError
        Inputs of different lengths other than 1 (the length rule).
    TypeError
        An argument that is neither a float nor a 1-D float64 array.

    Examples
    --------
    >>> g = tarvik.black_greeks(np.array([100.0, 100.0]), 100.0, 1.0, 0.2, np.array([True, False]))
    >>> list(g)
    ['price', 'delta', 'gamma', 'vega', 'theta', 'vanna', 'vomma']
    >>> bool((g["delta"] == tarvik.deltas(100.0, 100.0, 1.0, 0.2, np.array([True, False]))).all())
    True
    """

def black_scholes_greeks(spots: _Values, strikes: _Values, maturities: _Values, rates: _Values, dividends: _Values, vols: _Values, is_call: _OptionTypes = True, parallel: bool = False) -> _BlackScholesGreeks:
    """Batch Black-Scholes-Merton price and Greeks in one pass.

    Every field has the very bits of its single-quantity batch function
    (``black_scholes_prices``, ``black_scholes_deltas``, ...,
    ``black_scholes_dividend_rhos``), NaN exactly where that function gives
    NaN; the forward, discount factors, logarithms, d1 and density of an
    element are computed once for all of its Greeks.

    Parameters
    ----------
    spots, strikes : float or 1-D float64 array
        Spot and strike, in price units.
    maturities : float or 1-D float64 array
        Time to expiry, in years.
    rates, dividends : float or 1-D float64 array
        Continuously compounded rate and dividend yield, per year.
    vols : float or 1-D float64 array
        Volatility, per year.
    is_call : bool or 1-D bool array, default True
        Option type, one for every element or one per element.
    parallel : bool, default False
        Run on the worker pool (the same bits).

    Returns
    -------
    _BlackScholesGreeks
        A dict of contiguous 1-D float64 arrays of length n keyed ``price``
        (discounted), ``delta`` (dV/dS), ``gamma``, ``vega`` (per unit of
        volatility), ``theta`` (-dV/dT per year), ``vanna``, ``vomma``,
        ``rho`` (dV/dr per unit of rate), ``dividend_rho`` (dV/dq).

    Raises
    ------
    IVError
        Inputs of different lengths other than 1 (the length rule).
    TypeError
        An argument that is neither a float nor a 1-D float64 array.

    Examples
    --------
    >>> g = tarvik.black_scholes_greeks(np.array([100.0]), 105.0, 0.5, 0.03, 0.01, 0.25)
    >>> list(g)[-2:]
    ['rho', 'dividend_rho']
    >>> bool(g["price"][0] == tarvik.black_scholes_price(100.0, 105.0, 0.5, 0.03, 0.01, 0.25, True))
    True
    """

def black_implied_volatility(price: float, forward: float, strike: float, maturity: float, is_call: bool) -> float:
    """Black-76 implied volatility at an accurate log-moneyness.

    The inversion of ``implied_volatility`` (the same checks, bounds and
    normalised solver), with x = ln(F/K) computed to about an ulp:
    ``log1p((F - K)/K)`` where F - K is exact (K/2 <= F <= 2K), else the
    logarithm of the ratio. ``implied_volatility`` keeps ``ln F - ln K``, two
    logarithms and a difference, which loses up to some eight ulps of ln F
    near the money.

    Parameters
    ----------
    price : float
        Undiscounted option price, in price units.
    forward, strike : float
        Forward and strike, in price units.
    maturity : float
        Time to expiry, in years.
    is_call : bool
        True for a call, False for a put.

    Returns
    -------
    float
        The volatility, per year.

    Raises
    ------
    IVError
        Where ``implied_volatility`` raises: a non-finite input, a forward,
        strike or maturity not above 0, a price below its intrinsic value or
        at or above its maximum.

    Examples
    --------
    >>> p = tarvik.black_price(100.0, 100.001, 0.5, 0.2, True)
    >>> abs(tarvik.black_implied_volatility(p, 100.0, 100.001, 0.5, True) - 0.2) < 1e-15
    True
    """

def black_implied_volatilities(prices: _Values, forwards: _Values, strikes: _Values, maturities: _Values, is_call: _OptionTypes = True, parallel: bool = False) -> _Result:
    """Batch black_implied_volatility.

    Element i has the bits of ``black_implied_volatility`` on element i of
    every input, NaN where it would raise (``error_codes()`` tells which
    error).

    Parameters
    ----------
    prices : float or 1-D float64 array
        Undiscounted option prices, in price units.
    forwards, strikes : float or 1-D float64 array
        Forward and strike, in price units.
    maturities : float or 1-D float64 array
        Time to expiry, in years.
    is_call : bool or 1-D bool array, default True
        Option type, one for every element or one per element.
    parallel : bool, default False
        Run on the worker pool (the same bits).

    Returns
    -------
    numpy.ndarray
        A new 1-D float64 array of volatilities, per year.

    Raises
    ------
    IVError
        Inputs of different lengths other than 1 (the length rule).

    Examples
    --------
    >>> tarvik.black_implied_volatilities(np.array([7.965567455405804, 120.0]), 100.0, 100.0, 1.0)
    array([0.2, nan])
    """

def bachelier_prices(forwards: _Values, strikes: _Values, maturities: _Values, vols: _Values, is_call: _OptionTypes = True, parallel: bool = False) -> _Result:
    """Batch normal-model (Bachelier) prices: bachelier_price element by element.

    Parameters
    ----------
    forwards, strikes : float or 1-D float64 array
        Forwards and strikes, any finite reals, in price units.
    maturities : float or 1-D float64 array
        Times to expiry in years.
    vols : float or 1-D float64 array
        Normal volatilities in price units per square root of a year.
    is_call : bool or 1-D bool array
        True for calls, False for puts.
    parallel : bool
        Run on the worker pool (same bits).

    Returns
    -------
    numpy.ndarray
        float64, one element per option: the scalar function's value, NaN
        where it would raise (error_codes() tells which error).

    Raises
    ------
    ValueError
        For inputs of different lengths other than 1.

    Examples
    --------
    >>> import numpy as np
    >>> tarvik.bachelier_prices(np.array([-0.01, 0.0, 0.01]), 0.0, 1.0, 0.01).round(8)
    array([0.00083315, 0.00398942, 0.01083315])
    """

def bachelier_implied_volatilities(prices: _Values, forwards: _Values, strikes: _Values, maturities: _Values, is_call: _OptionTypes = True, parallel: bool = False) -> _Result:
    """Batch implied normal (Bachelier) volatilities: bachelier_implied_volatility element by element.

    Parameters
    ----------
    prices : float or 1-D float64 array
        Undiscounted option prices, in price units.
    forwards, strikes : float or 1-D float64 array
        Forwards and strikes, any finite reals, in price units.
    maturities : float or 1-D float64 array
        Times to expiry in years.
    is_call : bool or 1-D bool array
        True for calls, False for puts.
    parallel : bool
        Run on the worker pool (same bits).

    Returns
    -------
    numpy.ndarray
        float64, one element per option: the scalar function's value, NaN
        where it would raise (error_codes() tells which error).

    Raises
    ------
    ValueError
        For inputs of different lengths other than 1.

    Examples
    --------
    >>> import numpy as np
    >>> f = np.array([-0.01, 0.0, 0.01])
    >>> p = tarvik.bachelier_prices(f, 0.0, 1.0, 0.01)
    >>> tarvik.bachelier_implied_volatilities(p, f, 0.0, 1.0).round(15)
    array([0.01, 0.01, 0.01])
    >>> tarvik.error_codes(tarvik.bachelier_implied_volatilities, np.array([0.02, 0.001]), 0.03, 0.02, 1.0)
    array([0, 1], dtype=int8)
    """

def bachelier_deltas(forwards: _Values, strikes: _Values, maturities: _Values, vols: _Values, is_call: _OptionTypes = True, parallel: bool = False) -> _Result:
    """Batch normal-model deltas: bachelier_delta element by element.

    Parameters
    ----------
    forwards, strikes : float or 1-D float64 array
        Forwards and strikes, any finite reals, in price units.
    maturities : float or 1-D float64 array
        Times to expiry in years.
    vols : float or 1-D float64 array
        Normal volatilities in price units per square root of a year.
    is_call : bool or 1-D bool array
        True for calls, False for puts.
    parallel : bool
        Run on the worker pool (same bits).

    Returns
    -------
    numpy.ndarray
        float64, one element per option: the scalar function's value, NaN
        where it would raise (error_codes() tells which error).

    Raises
    ------
    ValueError
        For inputs of different lengths other than 1.

    Examples
    --------
    >>> tarvik.bachelier_deltas(0.0, 0.0, 1.0, 0.01, False)
    array([-0.5])
    """

def bachelier_gammas(forwards: _Values, strikes: _Values, maturities: _Values, vols: _Values, parallel: bool = False) -> _Result:
    """Batch normal-model gammas: bachelier_gamma element by element.

    Parameters
    ----------
    forwards, strikes : float or 1-D float64 array
        Forwards and strikes, any finite reals, in price units.
    maturities : float or 1-D float64 array
        Times to expiry in years.
    vols : float or 1-D float64 array
        Normal volatilities in price units per square root of a year.
    parallel : bool
        Run on the worker pool (same bits).

    Returns
    -------
    numpy.ndarray
        float64, one element per option: the scalar function's value, NaN
        where it would raise (error_codes() tells which error).

    Raises
    ------
    ValueError
        For inputs of different lengths other than 1.

    Examples
    --------
    >>> tarvik.bachelier_gammas(0.0, 0.0, 1.0, 0.01)
    array([39.89422804])
    """

def bachelier_vegas(forwards: _Values, strikes: _Values, maturities: _Values, vols: _Values, parallel: bool = False) -> _Result:
    """Batch normal-model vegas (per unit of volatility): bachelier_vega element by element.

    Parameters
    ----------
    forwards, strikes : float or 1-D float64 array
        Forwards and strikes, any finite reals, in price units.
    maturities : float or 1-D float64 array
        Times to expiry in years.
    vols : float or 1-D float64 array
        Normal volatilities in price units per square root of a year.
    parallel : bool
        Run on the worker pool (same bits).

    Returns
    -------
    numpy.ndarray
        float64, one element per option: the scalar function's value, NaN
        where it would raise (error_codes() tells which error).

    Raises
    ------
    ValueError
        For inputs of different lengths other than 1.

    Examples
    --------
    >>> tarvik.bachelier_vegas(0.0, 0.0, 1.0, 0.01)
    array([0.39894228])
    """

def bachelier_thetas(forwards: _Values, strikes: _Values, maturities: _Values, vols: _Values, parallel: bool = False) -> _Result:
    """Batch normal-model thetas (-dV/dT per year): bachelier_theta element by element.

    Parameters
    ----------
    forwards, strikes : float or 1-D float64 array
        Forwards and strikes, any finite reals, in price units.
    maturities : float or 1-D float64 array
        Times to expiry in years.
    vols : float or 1-D float64 array
        Normal volatilities in price units per square root of a year.
    parallel : bool
        Run on the worker pool (same bits).

    Returns
    -------
    numpy.ndarray
        float64, one element per option: the scalar function's value, NaN
        where it would raise (error_codes() tells which error).

    Raises
    ------
    ValueError
        For inputs of different lengths other than 1.

    Examples
    --------
    >>> tarvik.bachelier_thetas(0.0, 0.0, 4.0, 0.01)
    array([-0.00099736])
    """

def bachelier_vannas(forwards: _Values, strikes: _Values, maturities: _Values, vols: _Values, parallel: bool = False) -> _Result:
    """Batch normal-model vannas: bachelier_vanna element by element.

    Parameters
    ----------
    forwards, strikes : float or 1-D float64 array
        Forwards and strikes, any finite reals, in price units.
    maturities : float or 1-D float64 array
        Times to expiry in years.
    vols : float or 1-D float64 array
        Normal volatilities in price units per square root of a year.
    parallel : bool
        Run on the worker pool (same bits).

    Returns
    -------
    numpy.ndarray
        float64, one element per option: the scalar function's value, NaN
        where it would raise (error_codes() tells which error).

    Raises
    ------
    ValueError
        For inputs of different lengths other than 1.

    Examples
    --------
    >>> tarvik.bachelier_vannas(0.01, 0.0, 1.0, 0.01)
    array([-24.19707245])
    """

def bachelier_vommas(forwards: _Values, strikes: _Values, maturities: _Values, vols: _Values, parallel: bool = False) -> _Result:
    """Batch normal-model vommas: bachelier_vomma element by element.

    Parameters
    ----------
    forwards, strikes : float or 1-D float64 array
        Forwards and strikes, any finite reals, in price units.
    maturities : float or 1-D float64 array
        Times to expiry in years.
    vols : float or 1-D float64 array
        Normal volatilities in price units per square root of a year.
    parallel : bool
        Run on the worker pool (same bits).

    Returns
    -------
    numpy.ndarray
        float64, one element per option: the scalar function's value, NaN
        where it would raise (error_codes() tells which error).

    Raises
    ------
    ValueError
        For inputs of different lengths other than 1.

    Examples
    --------
    >>> tarvik.bachelier_vommas(0.01, 0.0, 1.0, 0.01)
    array([24.19707245])
    """


def bachelier_greeks(forwards: _Values, strikes: _Values, maturities: _Values, vols: _Values, is_call: _OptionTypes = True, parallel: bool = False) -> _BachelierGreeks:
    """Batch normal-model (Bachelier) price and Greeks in one pass.

    Every field has the very bits of its single-quantity batch function
    (``bachelier_prices``, ``bachelier_deltas``, ``bachelier_gammas``,
    ``bachelier_vegas``, ``bachelier_thetas``, ``bachelier_vannas``,
    ``bachelier_vommas``), NaN exactly where that function gives NaN; the
    terms d = (F - K)/(sigma sqrt(T)) and the density of an element are
    computed once for all of its fields. ``pandas.DataFrame(result)`` and
    ``polars.DataFrame(result)`` take the result as it is.

    Parameters
    ----------
    forwards, strikes : float or 1-D float64 array
        Forwards and strikes, any finite reals, in price units.
    maturities : float or 1-D float64 array
        Times to expiry, in years.
    vols : float or 1-D float64 array
        Normal volatilities, in price units per square root of a year.
    is_call : bool or 1-D bool array, default True
        Option type, one for every element or one per element.
    parallel : bool, default False
        Run on the worker pool (the same bits).

    Returns
    -------
    _BachelierGreeks
        A dict of contiguous 1-D float64 arrays of length n keyed ``price``
        (undiscounted), ``delta`` (dV/dF), ``gamma``, ``vega`` (per unit of
        normal volatility), ``theta`` (-dV/dT per year), ``vanna``, ``vomma``.

    Raises
    ------
    IVError
        Inputs of different lengths other than 1 (the length rule).
    TypeError
        An argument that is neither a float nor a 1-D float64 array.

    Examples
    --------
    >>> g = tarvik.bachelier_greeks(np.array([-0.01, 0.0]), 0.0, 1.0, 0.01, np.array([True, False]))
    >>> list(g)
    ['price', 'delta', 'gamma', 'vega', 'theta', 'vanna', 'vomma']
    >>> bool((g["delta"] == tarvik.bachelier_deltas(np.array([-0.01, 0.0]), 0.0, 1.0, 0.01, np.array([True, False]))).all())
    True
    """

def error_codes(function: object, /, *args: object, **kwargs: object) -> npt.NDArray[np.int8]:
    """The error code of every element of the batch function `function` for
    the same arguments: 0 where the element has a value, else the index in
    ERROR_KINDS of the kind of error the scalar function raises for it (8,
    "masked", for an element masked in a numpy.ma input)."""

ERROR_KINDS: Tuple[Optional[str], ...]
