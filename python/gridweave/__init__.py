"""gridweave: evolve spatial networks on cost rasters."""

from . import _core
from ._core import InternalError

__all__ = ["InternalError"]
