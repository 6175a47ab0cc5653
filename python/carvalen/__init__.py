"""Carvalen for Python: reads purchase contracts and prices them, in-process.

The operations of the library's classes are called by name with Python values::

    import carvalen

    price = carvalen.call("ContractLine.GetPrice", i_lContractHeaderID=1, i_lContractLineID=1,
                          i_fQuantity=60.0)
    price.value                      # 8.0
    price.byref["o_sCurrencyCode"]   # 'EUR'

The library (libcarvalen.so) is found through ``CARVALEN_LIBRARY``, else where the system finds
shared libraries, else in /usr/local/lib; it reads its configuration (``CARVALEN_CONFIG_DIR``, ``CARVALEN_LOG``,
``CARVALEN_SQL_TRACE``, ``CARVALEN_MAX_ENTRIES``, ``CARVALEN_MAX_CELLS``) from the environment on the first call. Calls are safe from any number of
threads and run in parallel (the interpreter lock is released while the library works).
"""

from __future__ import annotations

import json as _json
from dataclasses import dataclass, field
from typing import Any, Dict, List, Tuple

from . import _native
from . import values as _values
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
    "call",
    "call_json",
    "operations",
    "version",
    "CallResult",
    "CarvalenError",
    "OperationError",
    "UsageError",
] + _values.__all__


class CarvalenError(Exception):
    """Base of the errors a call raises."""


class OperationError(CarvalenError):
    """An error the operation raised, with the number, source and description it carries."""

    def __init__(
        self,
        number: int,
        source: str,
        description: str,
        help_file: str = "",
        help_context: int = 0,
    ) -> None:
        super().__init__(number, source, description)
        self.number = number
        self.source = source
        self.description = description
        self.help_file = help_file
        self.help_context = help_context

    def __str__(self) -> str:
        return f"{self.source} error {self.number}: {self.description.strip()}"


class UsageError(CarvalenError):
    """The call was written wrong: an unknown class, operation or parameter, a missing required
    argument, a value with no typed form."""

    def __init__(self, message: str) -> None:
        super().__init__(message)
        self.message = message


@dataclass
class CallResult:
    """What an operation returned: its result and every by-reference parameter after the call."""

    value: Any
    byref: Dict[str, Any] = field(default_factory=dict)


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
