"""Dotted-path queries over in-memory XML, answered in one forward pass."""

from varnex import _varnex
from varnex._varnex import *  # noqa: F403

__all__ = list(_varnex.__all__)
