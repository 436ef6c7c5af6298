"""Dotted-path queries over in-memory XML, answered in one forward pass."""

from varnex import _varnex
from varnex._tables import table
from varnex._varnex import *  # noqa: F403
from varnex._varnex import records, table_raw  # noqa: F401

__all__ = [*_varnex.__all__, "table"]
