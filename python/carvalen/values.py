"""The library's values in Python, and their typed JSON.

Each value the library knows has one Python form, the same both ways:

=================  ==========================================================
library value      Python
=================  ==========================================================
Empty              :data:`Empty`
Null               :data:`Null` (``None`` is accepted as Null on input)
Nothing            :data:`Nothing`
missing            :data:`Missing`
Boolean            ``bool``
Integer (16-bit)   :class:`Int16`
Long (32-bit)      ``int`` (an ``int`` beyond 32 bits goes in as :class:`Int64`)
64-bit integer     :class:`Int64`
Double             ``float`` (NaN and the infinities too)
String             ``str``
Date               ``datetime.datetime`` (naive; a ``datetime.date`` is midnight)
Array              :class:`Array` (a ``list`` goes in as an array from 0)
Dictionary         :class:`Dictionary` (a ``dict`` goes in in its order)
Record set         :class:`Recordset`
other object       :class:`ObjectRef` (output only)
=================  ==========================================================
"""

from __future__ import annotations

import datetime as _dt
import math
from collections.abc import Iterable, Iterator, Mapping
from typing import Any, ClassVar, Dict, Optional, Sequence, Tuple, Union

__all__ = [
    "Empty",
    "Null",
    "Nothing",
    "Missing",
    "Int16",
    "Int64",
    "Array",
    "Dictionary",
    "Recordset",
    "ObjectRef",
    "encode",
    "decode",
]

_LONG_MIN, _LONG_MAX = -(2**31), 2**31 - 1
_INT64_MIN, _INT64_MAX = -(2**63), 2**63 - 1


class _State:
    """One of the four "no value" states; each exists once, compare with ``is``."""

    __slots__ = ("_name",)

    def __init__(self, name: str) -> None:
        self._name = name

    def __repr__(self) -> str:
        return f"carvalen.{self._name}"

    def __bool__(self) -> bool:
        return False

    def __reduce__(self) -> str:
        return self._name  # copies and pickles give back the same singleton


Empty = _State("Empty")
"""A Variant never assigned."""
Null = _State("Null")
"""No valid data (a database NULL)."""
Nothing = _State("Nothing")
"""An object reference to no object."""
Missing = _State("Missing")
"""An optional argument left out."""


class Int16(int):
    """A 16-bit Integer: an ``int`` from -32768 to 32767 that travels as one."""

    def __new__(cls, value: int = 0) -> "Int16":
        if not -32768 <= int(value) <= 32767:
            raise OverflowError(f"{value} is outside the 16-bit range")
        return super().__new__(cls, value)

    def __repr__(self) -> str:
        return f"Int16({int(self)})"


class Int64(int):
    """A 64-bit integer: an ``int`` that travels as one."""

    def __new__(cls, value: int = 0) -> "Int64":
        if not _INT64_MIN <= int(value) <= _INT64_MAX:
            raise OverflowError(f"{value} is outside the 64-bit range")
        return super().__new__(cls, value)

    def __repr__(self) -> str:
        return f"Int64({int(self)})"


Bounds = Union[int, Tuple[int, int]]


class Array(list):  # type: ignore[type-arg]  # items of any value type
    """An array with its lower bound(s): a ``list`` of its elements (of rows, for two dimensions).

    ``lbound`` is an ``int`` for one dimension and a pair for two. A never-allocated array is
    ``Array.unallocated()``: empty, ``allocated`` False and ``lbound`` None.
    """

    def __init__(self, items: Iterable[Any] = (), lbound: Optional[Bounds] = 0) -> None:
        super().__init__(items)
        if isinstance(lbound, (list, tuple)):
            lbound = (lbound[0], lbound[1])
        self.lbound: Optional[Bounds] = lbound
        self.allocated = True

    @classmethod
    def unallocated(cls) -> "Array":
        """The array that was declared but never given a size."""
        array = cls((), None)
        array.allocated = False
        return array

    @property
    def dimensions(self) -> int:
        """1 or 2 (0 for a never-allocated array)."""
        if not self.allocated:
            return 0
        return 2 if isinstance(self.lbound, tuple) else 1

    def __eq__(self, other: object) -> bool:
        if isinstance(other, Array):
            return (self.allocated, self.lbound) == (other.allocated, other.lbound) and list.__eq__(
                self, other
            )
        return list.__eq__(self, other)

    def __ne__(self, other: object) -> bool:
        return not self == other

    __hash__: ClassVar[None] = None  # equal by value, so not hashable

    def __repr__(self) -> str:
        if not self.allocated:
            return "Array.unallocated()"
        return f"Array({list.__repr__(self)}, lbound={self.lbound!r})"


def _same_key(a: Any, b: Any) -> bool:
    return type(a) is type(b) and a == b


class Dictionary(Mapping):  # type: ignore[type-arg]
    """An insertion-ordered dictionary whose keys keep their types: ``1``, ``1.0``, ``Int16(1)``
    and ``"1"`` are four different keys here, as they are to the library."""

    def __init__(self, entries: Union[Iterable[Tuple[Any, Any]], Mapping[Any, Any]] = ()) -> None:
        self._entries: list[Tuple[Any, Any]] = []
        pairs = entries.items() if isinstance(entries, Mapping) else entries
        for key, item in pairs:
            if self._find(key) is not None:
                raise KeyError(f"{key!r} is given twice")
            self._entries.append((key, item))

    def _find(self, key: Any) -> Optional[int]:
        for index, (existing, _) in enumerate(self._entries):
            if _same_key(existing, key):
                return index
        return None

    def __getitem__(self, key: Any) -> Any:
        index = self._find(key)
        if index is None:
            raise KeyError(key)
        return self._entries[index][1]

    def __setitem__(self, key: Any, item: Any) -> None:
        index = self._find(key)
        if index is None:
            self._entries.append((key, item))
        else:
            self._entries[index] = (key, item)

    def __contains__(self, key: object) -> bool:
        return self._find(key) is not None

    def __iter__(self) -> Iterator[Any]:
        return (key for key, _ in self._entries)

    def __len__(self) -> int:
        return len(self._entries)

    def entries(self) -> list[Tuple[Any, Any]]:
        """The (key, item) pairs in insertion order."""
        return list(self._entries)

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Dictionary):
            return NotImplemented
        return len(self) == len(other) and all(
            _same_key(a, b) and x == y for (a, x), (b, y) in zip(self._entries, other._entries)
        )

    __hash__ = None  # type: ignore[assignment]

    def __repr__(self) -> str:
        return f"Dictionary({self._entries!r})"


class Recordset:
    """A record set: field names (possibly repeated) and every row from the first."""

    __slots__ = ("fields", "rows")

    def __init__(self, fields: Sequence[str], rows: Iterable[Sequence[Any]] = ()) -> None:
        self.fields: list[str] = list(fields)
        self.rows: list[list[Any]] = [list(row) for row in rows]
        for row in self.rows:
            if len(row) != len(self.fields):
                raise ValueError(f"each row has {len(self.fields)} values, not {len(row)}")

    def __len__(self) -> int:
        return len(self.rows)

    def __iter__(self) -> Iterator[list[Any]]:
        return iter(self.rows)

    def column(self, name: str) -> list[Any]:
        """The values of the first field called `name` (without regard to case)."""
        folded = [field.casefold() for field in self.fields]
        index = folded.index(name.casefold())
        return [row[index] for row in self.rows]

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Recordset):
            return NotImplemented
        return (self.fields, self.rows) == (other.fields, other.rows)

    __hash__ = None  # type: ignore[assignment]

    def __repr__(self) -> str:
        return f"Recordset(fields={self.fields!r}, rows={self.rows!r})"


class ObjectRef:
    """An object the library returned that has no Python form of its own, by class name."""

    __slots__ = ("class_name",)

    def __init__(self, class_name: str) -> None:
        self.class_name = class_name

    def __eq__(self, other: object) -> bool:
        return isinstance(other, ObjectRef) and other.class_name == self.class_name

    def __hash__(self) -> int:
        return hash(self.class_name)

    def __repr__(self) -> str:
        return f"ObjectRef({self.class_name!r})"


# ---- encoding --------------------------------------------------------------------------------

_STATES = {id(Empty): "$empty", id(Nothing): "$nothing", id(Missing): "$missing"}


def _date_text(value: Union[_dt.datetime, _dt.date]) -> str:
    if not isinstance(value, _dt.datetime):
        value = _dt.datetime(value.year, value.month, value.day)
    if value.tzinfo is not None:
        raise ValueError("a Date has no time zone: pass a naive datetime")
    # isoformat writes the microseconds only when there are some, as the library does.
    return value.isoformat(timespec="auto")


def encode(value: Any) -> Any:
    """The typed JSON (as Python lists, dicts and scalars) of a Python value."""
    if value is None or value is Null:
        return None
    if isinstance(value, _State):
        return {_STATES[id(value)]: True}
    if isinstance(value, bool):
        return value
    if isinstance(value, Int16):
        return {"$int16": int(value)}
    if isinstance(value, Int64):
        return {"$int64": int(value)}
    if isinstance(value, int):
        if _LONG_MIN <= value <= _LONG_MAX:
            return int(value)
        return {"$int64": int(Int64(value))}
    if isinstance(value, float):
        if math.isnan(value):
            return {"$double": "NaN"}
        if math.isinf(value):
            return {"$double": "Infinity" if value > 0 else "-Infinity"}
        return value
    if isinstance(value, str):
        return value
    if isinstance(value, (_dt.datetime, _dt.date)):
        return {"$date": _date_text(value)}
    if isinstance(value, Array):
        if not value.allocated:
            return {"$array": None}
        if value.dimensions == 2:
            items = [[encode(item) for item in row] for row in value]
            return {"$array": items, "lbound": list(value.lbound)}  # type: ignore[arg-type]
        return {"$array": [encode(item) for item in value], "lbound": value.lbound}
    if isinstance(value, (list, tuple)):
        # The library tells one dimension from two by whether every element is a list.
        return {"$array": [encode(item) for item in value]}
    if isinstance(value, Dictionary):
        return {"$dict": [[encode(key), encode(item)] for key, item in value.entries()]}
    if isinstance(value, Mapping):
        return {"$dict": [[encode(key), encode(item)] for key, item in value.items()]}
    if isinstance(value, Recordset):
        rows = [[encode(cell) for cell in row] for row in value.rows]
        return {"$recordset": {"fields": list(value.fields), "rows": rows}}
    if isinstance(value, ObjectRef):
        return {"$object": value.class_name}
    raise TypeError(f"{type(value).__name__} has no form in the library's values")


# ---- decoding --------------------------------------------------------------------------------

_SPECIAL_DOUBLES = {"NaN": math.nan, "Infinity": math.inf, "-Infinity": -math.inf}


def _decode_tagged(json: Dict[str, Any]) -> Any:
    if "$array" in json:
        items = json["$array"]
        if items is None:
            return Array.unallocated()
        lbound = json.get("lbound", 0)
        if isinstance(lbound, list):
            return Array([[decode(item) for item in row] for row in items], (lbound[0], lbound[1]))
        return Array([decode(item) for item in items], lbound)
    if len(json) != 1:
        raise ValueError(f"not a typed value: {json!r}")
    (key, body), = json.items()
    if key == "$empty":
        return Empty
    if key == "$nothing":
        return Nothing
    if key == "$missing":
        return Missing
    if key == "$int16":
        return Int16(body)
    if key == "$int64":
        return Int64(int(body))
    if key == "$double":
        return _SPECIAL_DOUBLES[body] if isinstance(body, str) else float(body)
    if key == "$date":
        return _dt.datetime.fromisoformat(body)
    if key == "$dict":
        return Dictionary((decode(k), decode(v)) for k, v in body)
    if key == "$recordset":
        return Recordset(body["fields"], ([decode(cell) for cell in row] for row in body["rows"]))
    if key == "$object":
        return ObjectRef(body)
    raise ValueError(f"unknown typed value {key!r}")


def decode(json: Any) -> Any:
    """The Python value of typed JSON (as parsed by ``json.loads``)."""
    if json is None:
        return Null
    if isinstance(json, (bool, int, float, str)):
        return json
    if isinstance(json, dict):
        return _decode_tagged(json)
    raise ValueError(f"not a typed value: {json!r}")
