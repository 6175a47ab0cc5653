"""The plain call behind the functions of carvalen.contract and carvalen.contract_line: plain
JSON both ways, dates as datetime, errors raised by kind."""

from __future__ import annotations

import datetime as _dt
import enum
import json
import re
from typing import Any, Dict, Tuple, Union

from . import _native
from .errors import (
    ArgumentError,
    ConfigurationError,
    NotFoundError,
    OperationError,
    UsageError,
)

Value = Union[None, bool, int, float, str, _dt.datetime]
"""A value of a row or a by-reference output."""


class MissingType(enum.Enum):
    """The type of :data:`MISSING`."""

    MISSING = "MISSING"

    def __repr__(self) -> str:
        return "carvalen.MISSING"


MISSING = MissingType.MISSING
"""The default of an optional parameter: the argument is left out (``None`` passes Null)."""

# The plain form writes every date as exactly this; a date-time given as text by a text column
# would read as a date too, which the operations' columns never hold.
_DATE_TEXT = re.compile(r'"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d)"')

_NOT_FOUND = {"ContractLineMissing", "ContractHeaderMissing", "BisRecordMissing"}
_UNCONFIGURED = {"NoConfigurationStore", "PoolTimeout", "ProviderNotFound"}


def _unreachable(number: int) -> bool:
    """A driver's error that says the database cannot be reached: SQLite's CANTOPEN, or a
    PostgreSQL SQLSTATE of class 08 (connection) or 57 (operator intervention), packed six bits
    a character, first character lowest."""
    state_class = number & 0xFFF
    return (number & 0xFF) == 14 or state_class in (8 << 6, 5 | (7 << 6))


def _text(value: Any) -> Any:
    if isinstance(value, _dt.datetime):
        if value.tzinfo is not None:
            raise TypeError("a date-time with a time zone (the store's dates are local)")
        return value.strftime("%Y-%m-%dT%H:%M:%S")
    if isinstance(value, _dt.date):
        return value.isoformat()
    raise TypeError(f"{type(value).__name__!r} has no plain form")


def _dates(value: Any) -> Any:
    if isinstance(value, str):
        if len(value) == 19 and value[10] == "T" and _DATE_TEXT.fullmatch(f'"{value}"'):
            return _dt.datetime.strptime(value, "%Y-%m-%dT%H:%M:%S")
        return value
    if isinstance(value, list):
        return [_dates(item) for item in value]
    if isinstance(value, dict):
        return {key: _dates(item) for key, item in value.items()}
    return value


def _raise(status: int, operation: str, error: Dict[str, Any], description: str) -> None:
    code, number, message = error["code"], error["number"], error["message"]
    parameter = error.get("parameter")
    if parameter is not None:
        kind: type = ArgumentError
    elif status == _native.USAGE:
        raise UsageError(message)
    elif code in _NOT_FOUND:
        kind = NotFoundError
    elif code in _UNCONFIGURED or (code == "DatabaseError" and _unreachable(number)):
        kind = ConfigurationError
    else:
        kind = OperationError
    raise kind(number, error.get("operation") or operation, description or message, code=code,
               operation=error.get("operation") or operation, message=message,
               parameter=parameter)


def invoke(operation: str, arguments: Dict[str, Any], int_keys: bool = False
           ) -> Tuple[Any, Dict[str, Any]]:
    """Calls the operation with its arguments by declared name (MISSING ones left out): the
    result and the by-reference values, plain."""
    given = {name: value for name, value in arguments.items() if value is not MISSING}
    try:
        text = json.dumps(given, ensure_ascii=False, allow_nan=False, default=_text)
    except (TypeError, ValueError) as error:
        # Find the argument at fault, so that the error names it as the library's would.
        for name, value in given.items():
            try:
                json.dumps(value, allow_nan=False, default=_text)
            except (TypeError, ValueError):
                raise ArgumentError(13, operation, str(error), code="TypeMismatch",
                                    operation=operation, message=f"{name}: {error}",
                                    parameter=name) from None
        raise
    status, answer, description = _native.call_plain(operation, text)
    document = json.loads(answer)
    if status != _native.OK:
        _raise(status, operation, document["error"], description)
    if _DATE_TEXT.search(answer):
        document = _dates(document)
    result = document["result"]
    if int_keys and isinstance(result, dict):
        result = {int(key): item for key, item in result.items()}
    return result, document["byref"]
