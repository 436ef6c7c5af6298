"""Dotted-path queries over in-memory XML, answered in one forward pass."""

# Every name is imported and listed by hand, so type checkers see the whole API here.
from varnex._describe import RecordsDescription, describe_records
from varnex._explain import explain
from varnex._fields import Field, SkippedRecordsWarning
from varnex._streaming import iter_batches, iter_records, to_parquet
from varnex._tables import records, table
from varnex._varnex import (
    Path,
    Result,
    ResultCharIter,
    ResultChildItemIter,
    ResultChildIter,
    ResultChildKeyIter,
    ResultChildrenView,
    ResultChildValueIter,
    ResultItemIter,
    ResultItemsView,
    ResultKeysView,
    ResultValuesView,
    XMLSyntaxError,
    check,
    compile,
    get,
    get_buffer,
    get_bytes,
    get_many,
    get_many_buffer,
    get_many_bytes,
    namespaces,
    parse,
    validate,
)


def _version() -> str:
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version("varnex")
    except PackageNotFoundError:  # run from a source tree that was never installed
        return "0+unknown"


__version__ = _version()

__all__ = [
    "get",
    "get_bytes",
    "get_buffer",
    "get_many",
    "get_many_bytes",
    "get_many_buffer",
    "parse",
    "compile",
    "validate",
    "check",
    "namespaces",
    "Path",
    "Result",
    "ResultCharIter",
    "ResultItemIter",
    "ResultChildKeyIter",
    "ResultChildValueIter",
    "ResultChildItemIter",
    "ResultChildIter",
    "ResultKeysView",
    "ResultValuesView",
    "ResultItemsView",
    "ResultChildrenView",
    "XMLSyntaxError",
    "records",
    "table",
    "Field",
    "SkippedRecordsWarning",
    "describe_records",
    "RecordsDescription",
    "iter_batches",
    "iter_records",
    "to_parquet",
    "explain",
]
