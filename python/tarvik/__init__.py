"""tarvik: European option prices (Black-76 on a forward, Black-Scholes-Merton
on a spot), their Greeks, and implied volatilities to machine precision, one
at a time or over NumPy arrays.

Scalar functions take floats and ``is_call`` last and return a float; batch
functions (plural names) take 1-D float64 arrays or floats, broadcast them,
and return a new float64 array with NaN for every rejected element. Invalid
scalar inputs raise :class:`IVError` with ``args == (kind, message)``.
"""

from . import _core
from ._core import *  # noqa: F401,F403

__all__ = []
__all__ += _core.__all__
