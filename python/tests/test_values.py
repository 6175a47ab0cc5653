"""The typed-JSON mapping alone, without the library."""

import datetime as dt
import json
import math

import pytest

from carvalen import (Array, Dictionary, Empty, Int16, Int64, Missing, Nothing, Null, ObjectRef,
                      Recordset, decode, encode)

# Every form the library prints reads back into Python and writes out again unchanged.
ROUND_TRIPS = [
    '{"$empty": true}', "null", '{"$nothing": true}', '{"$missing": true}', "true", "false",
    '{"$int16": -32768}', "2147483647", '{"$int64": 5000000000}', "5.0", "1e+20", '"Grüße"',
    '{"$double": "NaN"}', '{"$double": "-Infinity"}', '{"$date": "2026-06-10T08:00:00"}',
    '{"$date": "2026-06-10T08:00:00.000250"}', '{"$array": [1, "a", null], "lbound": -3}',
    '{"$array": [[1, 2], [3, 4]], "lbound": [1, 0]}', '{"$array": [], "lbound": 0}',
    '{"$array": null}', '{"$object": "Contract"}',
    '{"$dict": [[1, "long"], ["1", "text"], [1.0, "double"], [{"$int16": 1}, "int16"]]}',
    '{"$recordset": {"fields": ["ID", "ID"], "rows": [[1, {"$empty": true}], [2, null]]}}']


@pytest.mark.parametrize("text", ROUND_TRIPS)
def test_forms_round_trip(text):
    assert json.dumps(encode(decode(json.loads(text))), ensure_ascii=False) == text


@pytest.mark.parametrize("value, typed", [
    (None, None), (2**31, {"$int64": 2**31}),  # an int beyond Long keeps its value in 64 bits
    (math.inf, {"$double": "Infinity"}), (dt.date(2026, 6, 10), {"$date": "2026-06-10T00:00:00"}),
    ([1, 2], {"$array": [1, 2]}),  # the library gives a list the lower bound 0
    ({"b": 1, "a": Int16(2)}, {"$dict": [["b", 1], ["a", {"$int16": 2}]]}),
    ((Int64(1), True), {"$array": [{"$int64": 1}, True]})])
def test_python_conveniences(value, typed):
    assert encode(value) == typed


def test_decoded_types_are_distinct():
    values = decode(json.loads('{"$array": [{"$empty": true}, null, {"$nothing": true}, '
                               '{"$missing": true}, {"$int16": 1}, 1, {"$int64": 1}, 1.0]}'))
    assert values[:4] == [Empty, Null, Nothing, Missing]
    assert [type(v) for v in values[4:]] == [Int16, int, Int64, float]
    dictionary = decode(json.loads('{"$dict": [[1, "a"], ["1", "b"], [{"$int16": 1}, "c"]]}'))
    assert (dictionary[1], dictionary["1"], dictionary[Int16(1)]) == ("a", "b", "c")
    assert list(dictionary) == [1, "1", Int16(1)]


@pytest.mark.parametrize("make, error", [
    (lambda: encode(dt.datetime(2026, 1, 1, tzinfo=dt.timezone.utc)), ValueError),
    (lambda: encode(2**63), OverflowError), (lambda: encode(object()), TypeError),
    (lambda: Int16(32768), OverflowError), (lambda: Dictionary([(1, "a"), (1, "b")]), KeyError)])
def test_values_without_a_form_are_refused(make, error):
    with pytest.raises(error):
        make()


def test_wrappers():
    assert Array.unallocated() != Array([])
    assert Recordset(["A"], [[1]]).column("a") == [1]
    assert ObjectRef("Contract") == decode({"$object": "Contract"})
