"""The errors a call raises, by kind, so that a caller catches what it can handle."""

from __future__ import annotations

from typing import Optional

__all__ = [
    "CarvalenError",
    "OperationError",
    "NotFoundError",
    "ConfigurationError",
    "ArgumentError",
    "UsageError",
]


def _one_line(text: str) -> str:
    return " ".join(text.split())


class CarvalenError(Exception):
    """Base of the errors a call raises."""


class OperationError(CarvalenError):
    """An error the operation raised.

    ``code`` is the stable name of the error number (``"ContractLineMissing"``, ``"TypeMismatch"``,
    ``"DatabaseError"``, ...), ``number`` the number itself, ``operation`` ``"Class.Operation"``,
    ``message`` one line for people. ``description`` and ``source`` are the error's own text and
    source as the typed :func:`carvalen.call` reports them, also from a function of
    ``carvalen.contract`` or ``carvalen.contract_line`` (the one-line message where the call
    was refused before the operation ran).
    """

    def __init__(
        self,
        number: int,
        source: str,
        description: str,
        help_file: str = "",
        help_context: int = 0,
        *,
        code: str = "",
        operation: str = "",
        message: str = "",
        parameter: Optional[str] = None,
    ) -> None:
        super().__init__(number, source, description)
        self.number = number
        self.source = source
        self.description = description
        self.help_file = help_file
        self.help_context = help_context
        self.code = code
        self.operation = operation or source
        self.message = message or _one_line(description)
        self.parameter = parameter

    def __str__(self) -> str:
        where = f"{self.operation}: " if self.operation else ""
        what = f" ({self.code})" if self.code else f" (error {self.number})"
        return f"{where}{self.message}{what}"


class NotFoundError(OperationError):
    """The contract, contract line or back-end status record asked for does not exist."""


class ConfigurationError(OperationError):
    """No configuration store was found, or the database cannot be reached: try later or fix the
    setup; the call itself was right."""


class ArgumentError(OperationError):
    """An argument does not convert to its parameter's type; ``parameter`` names it."""


class UsageError(CarvalenError):
    """The call was written wrong: an unknown class, operation or parameter, a missing required
    argument, a value with no typed form."""

    def __init__(self, message: str) -> None:
        super().__init__(message)
        self.message = message
