"""Carvalen for Python: reads purchase contracts and prices them, in-process.

Each operation is a function of ``carvalen.contract`` or ``carvalen.contract_line``, with keyword
arguments and plain Python values::

    import carvalen

    price = carvalen.contract_line.get_price(contract_header_id=1, contract_line_id=1,
                                             quantity=60.0)
    price.result          # 8.0
    price.currency_code   # 'EUR'

An error raises :class:`NotFoundError`, :class:`ConfigurationError`, :class:`ArgumentError`
or another :class:`OperationError`. :func:`call` is the typed call by name, for callers that need
every state of the library's values (Empty, Null, Nothing, the 16- and 64-bit integers).

The library (libcarvalen.so) is found through ``CARVALEN_LIBRARY``, else where the system finds
shared libraries, else in /usr/local/lib; it reads its configuration (``CARVALEN_CONFIG_DIR``, ``CARVALEN_LOG``,
``CARVALEN_SQL_TRACE``, ``CARVALEN_MAX_ENTRIES``, ``CARVALEN_MAX_CELLS``) from the environment on the first call. Calls are safe from any number of
threads and run in parallel (the interpreter lock is released while the library works).
"""

from __future__ import annotations

import dataclasses as _dataclasses
import datetime as _dt
import json as _json
from dataclasses import dataclass, field
from typing import Any, Dict, List, Tuple

from . import _native
from . import contract, contract_line
from . import values as _values
from ._plain import MISSING, MissingType, Value
from .errors import (
    ArgumentError,
    CarvalenError,
    ConfigurationError,
    NotFoundError,
    OperationError,
    UsageError,
)
from .values import (
    Array,
    Dictionary,
    Empty,
    Int16,
    Int64,
    Missing,
    Nothing,
    Null,
    ObjectRef,
    Recordset,
    decode,
    encode,
)

__version__ = "1.1"

# The value types are re-exported as values.py lists them, so the two lists cannot drift apart.
__all__ = [
    "contract",
    "contract_line",
    "to_json",
    "MISSING",
    "MissingType",
    "Value",
    "NotFoundError",
    "ConfigurationError",
    "ArgumentError",
    "call",
    "call_json",
    "operations",
    "version",
    "CallResult",
    "CarvalenError",
    "OperationError",
    "UsageError",
]
__all__ += _values.__all__


@dataclass
class CallResult:
    """What an operation returned: its result and every by-reference parameter after the call."""

    value: Any
    byref: Dict[str, Any] = field(default_factory=dict)


def _plain_default(value: Any) -> Any:
    if isinstance(value, _dt.datetime):
        return value.strftime("%Y-%m-%dT%H:%M:%S")
    if _dataclasses.is_dataclass(value) and not isinstance(value, type):
        return {f.name: getattr(value, f.name) for f in _dataclasses.fields(value)}
    raise TypeError(f"{type(value).__name__!r} has no plain JSON form")


def to_json(value: Any, **options: Any) -> str:
    """The JSON text of what a function of :mod:`carvalen.contract` or
    :mod:`carvalen.contract_line` returned: dates as ``"YYYY-MM-DDTHH:MM:SS"``, a result with
    by-reference outputs as an object of ``result`` and the outputs. ``options`` go to
    :func:`json.dumps`."""
    return _json.dumps(value, default=_plain_default, **options)


def call_json(target: str, arguments_json: str = "") -> Tuple[int, str]:
    """The raw call: the status (0 success, 1 the operation failed, 2 a usage error) and the
    typed-JSON document, exactly as ``carvalen call`` exits and prints it."""
    return _native.call(target, arguments_json)


def _raise_for(status: int, document: Dict[str, Any]) -> None:
    if status == _native.FAILED:
        error = document["error"]
        raise OperationError(
            error["number"],
            error["source"],
            error["description"],
            error["helpFile"],
            error["helpContext"],
        )
    if status == _native.USAGE:
        raise UsageError(document["usageError"]["message"])
    if status != _native.OK:
        raise CarvalenError(f"unexpected status {status}")


def call(target: str, /, **arguments: Any) -> CallResult:
    """Calls ``"<Class>.<Operation>"`` with arguments by parameter name (names and target
    without regard to case). Leaving an optional parameter out passes it as missing.

    Raises :class:`OperationError` when the operation raises an error and :class:`UsageError`
    when the call is written wrong.
    """
    try:
        arguments_json = _json.dumps(
            {name: encode(value) for name, value in arguments.items()},
            ensure_ascii=False,
            allow_nan=False,
        )
    except (TypeError, ValueError, OverflowError) as error:
        raise UsageError(str(error)) from None
    status, text = _native.call(target, arguments_json)
    document = _json.loads(text)
    _raise_for(status, document)
    byref = {name: decode(value) for name, value in document["byref"].items()}
    return CallResult(decode(document["result"]), byref)


def operations() -> List[Dict[str, Any]]:
    """The classes with their operations and parameters (and, for Enums, the enumerations), as
    ``carvalen ops --json`` lists them; a parameter's ``default`` is a Python value."""
    status, text = _native.operations()
    document = _json.loads(text)
    _raise_for(status, document)
    classes: List[Dict[str, Any]] = document["classes"]
    for info in classes:
        for operation in info["operations"]:
            for parameter in operation["parameters"]:
                if "default" in parameter:
                    parameter["default"] = decode(parameter["default"])
    return classes


def version() -> str:
    """The loaded library's version, e.g. ``"1.1"``."""
    return _native.version()
