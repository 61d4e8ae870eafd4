from ._core import *
from ._core import __all__ as __all__
