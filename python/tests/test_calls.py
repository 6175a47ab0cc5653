"""Calls through the library, compared with what `carvalen call` answers for the same arguments."""

import json
import os
import pathlib
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor

import pytest
from conftest import read_cases, tool

import carvalen

CASES = read_cases()


@pytest.mark.parametrize("index", range(len(CASES)), ids=lambda i: CASES[i].target)
def test_every_case_answers_as_the_tool(index, expected):
    case, answer = CASES[index], expected[index]
    status, text = carvalen.call_json(case.target, case.arguments_json)
    assert status == answer.status
    if status == 2:  # the tool says it on stderr; here it is a document
        assert json.loads(text)["usageError"]["message"]
    else:
        assert text == answer.text

    # The typed values survive the trip into Python and back.
    arguments = {name: carvalen.decode(json.loads(value))
                 for name, value in (a.split("=", 1) for a in case.assignments)}
    if status == 0:
        result = carvalen.call(case.target, **arguments)
        document = {"result": carvalen.encode(result.value),
                    "byref": {k: carvalen.encode(v) for k, v in result.byref.items()}}
        assert json.dumps(document, ensure_ascii=False) == answer.text
    elif status == 1:
        with pytest.raises(carvalen.OperationError) as raised:
            carvalen.call(case.target, **arguments)
        error = json.loads(answer.text)["error"]
        assert (raised.value.number, raised.value.source, raised.value.description) == (
            error["number"], error["source"], error["description"])
    else:
        with pytest.raises(carvalen.UsageError):
            carvalen.call(case.target, **arguments)


def test_the_demo_prices_its_first_line():
    # Also tells a working store from one that fails every call, tool and library alike.
    price = carvalen.call("contractline.getprice", I_LCONTRACTHEADERID=1, i_lContractLineID=1,
                          i_fQuantity=60.0)
    assert (price.value, price.byref) == (8.0, {"o_sCurrencyCode": "EUR", "i_fReturnValue": 0.0})


def test_cases_cover_every_operation():
    covered = {case.target.lower() for case in CASES}
    missing = [f"{info['name']}.{op['name']}" for info in carvalen.operations()
               for op in info["operations"]
               if f"{info['name']}.{op['name']}".lower() not in covered]
    assert missing == []


def test_threads_calling_at_once_get_the_tool_answers(expected):
    work = [(i, round) for round in range(4) for i in range(len(CASES))]

    def one(item):
        case = CASES[item[0]]
        return item[0], carvalen.call_json(case.target, case.arguments_json)

    with ThreadPoolExecutor(max_workers=8) as pool:
        for index, (status, text) in pool.map(one, work):
            assert status == expected[index].status, CASES[index]
            if status != 2:
                assert text == expected[index].text, CASES[index]


def test_operations_list_as_the_tool():
    status, text = carvalen._native.operations()
    assert (status, text) == tool("ops", "--json")
    price = next(op for info in carvalen.operations() if info["name"] == "ContractLine"
                 for op in info["operations"] if op["name"] == "GetPrice")
    assert price["parameters"][-1]["default"] == 0.0


@pytest.mark.parametrize(
    "target, arguments, error",
    [
        ("ContractLine.GetPrice", {"i_lContractHeaderID": 1}, "needs a value for"),
        ("ContractLine.GetPrice", {"i_lContractHeaderID": object()}, "object has no form"),
    ],
)
def test_usage_errors(target, arguments, error):
    with pytest.raises(carvalen.UsageError, match=error):
        carvalen.call(target, **arguments)


def test_the_package_and_the_library_agree_on_the_version():
    assert carvalen.version() == carvalen.__version__


def test_a_missing_library_is_named(monkeypatch):
    monkeypatch.setenv("CARVALEN_LIBRARY", os.path.join(os.sep, "nonexistent", "libcarvalen.so"))
    with pytest.raises(OSError, match="CARVALEN_LIBRARY"):
        carvalen._native._load()


def test_the_entry_limit_comes_from_the_environment():
    # Read on the library's first call, so it needs a process of its own.
    script = (
        "import carvalen; print(carvalen.call_json('ContractLine.ContractLineAttachmentExists', "
        "'{\"i_sAttachmentTypeCode\": {\"$array\": [1, 2, 3]}}'))"
    )
    env = dict(os.environ, CARVALEN_MAX_ENTRIES="2")
    package = str(pathlib.Path(__file__).resolve().parents[1])
    env["PYTHONPATH"] = package + os.pathsep + env.get("PYTHONPATH", "")
    out = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True,
                         check=True).stdout
    assert out.startswith("(2, ")
    assert "holds more than 2 entries" in out
