"""Type stubs for the compiled extension tarvik._core."""

from typing import Tuple, Union

import numpy as np
import numpy.typing as npt

# A float (broadcast to every element) or a 1-D contiguous float64 array.
_ArrayLike = Union[float, npt.NDArray[np.float64]]

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
]

class IVError(Exception):
    """Raised with args == (kind, message); kind is one of "price_below_intrinsic",
    "price_above_maximum", "negative_time", "negative_forward", "negative_strike",
    "no_convergence", "invalid_input"."""

    args: Tuple[str, str]

def norm_pdf(x: float) -> float: ...
def norm_cdf(x: float) -> float: ...
def norm_cdf_c(x: float) -> float: ...
def black_intrinsic(forward: float, strike: float, is_call: bool) -> float: ...
def log_moneyness(forward: float, strike: float) -> float: ...
def black_price(forward: float, strike: float, maturity: float, volatility: float, is_call: bool) -> float: ...
def black_price_total_vol(forward: float, strike: float, total_vol: float, is_call: bool) -> float: ...
def black_scholes_forward(spot: float, maturity: float, rate: float, dividend: float) -> float: ...
def black_scholes_price(spot: float, strike: float, maturity: float, rate: float, dividend: float, volatility: float, is_call: bool) -> float: ...
def implied_volatility(price: float, forward: float, strike: float, maturity: float, is_call: bool) -> float: ...
def normalised_implied_volatility(beta: float, x: float, is_call: bool) -> float: ...
def delta(forward: float, strike: float, maturity: float, volatility: float, is_call: bool) -> float: ...
def gamma(forward: float, strike: float, maturity: float, volatility: float) -> float: ...
def vega(forward: float, strike: float, maturity: float, volatility: float) -> float: ...
def theta(forward: float, strike: float, maturity: float, volatility: float) -> float: ...
def vomma(forward: float, strike: float, maturity: float, volatility: float) -> float: ...
def vanna(forward: float, strike: float, maturity: float, volatility: float) -> float: ...
def black_scholes_delta(spot: float, strike: float, maturity: float, rate: float, dividend: float, volatility: float, is_call: bool) -> float: ...
def black_scholes_gamma(spot: float, strike: float, maturity: float, rate: float, dividend: float, volatility: float) -> float: ...
def black_scholes_vega(spot: float, strike: float, maturity: float, rate: float, dividend: float, volatility: float) -> float: ...
def black_scholes_theta(spot: float, strike: float, maturity: float, rate: float, dividend: float, volatility: float, is_call: bool) -> float: ...
def black_scholes_vomma(spot: float, strike: float, maturity: float, rate: float, dividend: float, volatility: float) -> float: ...
def black_scholes_vanna(spot: float, strike: float, maturity: float, rate: float, dividend: float, volatility: float) -> float: ...

def norm_pdfs(x: _ArrayLike) -> npt.NDArray[np.float64]:
    """Batch Standard Normal PDF."""
def norm_cdfs(x: _ArrayLike) -> npt.NDArray[np.float64]:
    """Batch Standard Normal CDF."""
def norm_cdf_cs(x: _ArrayLike) -> npt.NDArray[np.float64]:
    """Batch Standard Normal survival `1 − Φ(x)`."""
def black_prices(forwards: _ArrayLike, strikes: _ArrayLike, maturities: _ArrayLike, vols: _ArrayLike, is_call: bool = True, parallel: bool = False) -> npt.NDArray[np.float64]:
    """Batch undiscounted Black-76 prices."""
def black_scholes_prices(spots: _ArrayLike, strikes: _ArrayLike, maturities: _ArrayLike, rates: _ArrayLike, dividends: _ArrayLike, vols: _ArrayLike, is_call: bool = True, parallel: bool = False) -> npt.NDArray[np.float64]:
    """Batch discounted Black–Scholes–Merton prices."""
def implied_volatilities(prices: _ArrayLike, forwards: _ArrayLike, strikes: _ArrayLike, maturities: _ArrayLike, is_call: bool = True, parallel: bool = False) -> npt.NDArray[np.float64]:
    """Batch Black implied volatilities."""
def normalised_implied_volatilities(betas: _ArrayLike, xs: _ArrayLike, is_call: bool = True, parallel: bool = False) -> npt.NDArray[np.float64]:
    """Batch normalised Black total-volatility inversions."""
def deltas(forwards: _ArrayLike, strikes: _ArrayLike, maturities: _ArrayLike, vols: _ArrayLike, is_call: bool = True, parallel: bool = False) -> npt.NDArray[np.float64]:
    """Batch Black-76 forward deltas."""
def gammas(forwards: _ArrayLike, strikes: _ArrayLike, maturities: _ArrayLike, vols: _ArrayLike, parallel: bool = False) -> npt.NDArray[np.float64]:
    """Batch Black-76 gammas."""
def vegas(forwards: _ArrayLike, strikes: _ArrayLike, maturities: _ArrayLike, vols: _ArrayLike, parallel: bool = False) -> npt.NDArray[np.float64]:
    """Batch Black-76 vegas."""
def vommas(forwards: _ArrayLike, strikes: _ArrayLike, maturities: _ArrayLike, vols: _ArrayLike, parallel: bool = False) -> npt.NDArray[np.float64]:
    """Batch Black-76 vommas (volga)."""
def vannas(forwards: _ArrayLike, strikes: _ArrayLike, maturities: _ArrayLike, vols: _ArrayLike, parallel: bool = False) -> npt.NDArray[np.float64]:
    """Batch Black-76 vannas."""
