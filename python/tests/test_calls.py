"""Calls through the library, compared with what `carvalen call` answers for the same arguments."""

import json
import os
import pathlib
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor

import pytest

import carvalen

PACKAGE = pathlib.Path(__file__).resolve().parents[1]
# The example-call table: each case a target, then NAME=VALUE with VALUE in typed JSON.
CASES = [line.split("\t") for line in
         (PACKAGE.parent / "tests" / "capi" / "cases.tsv").read_text(encoding="utf-8").splitlines()
         if line and not line.startswith("#")]


def assignments(case):
    return [a.split("=", 1) for a in case[1:]]


def tool(*args):
    """The tool's exit status and its stdout without the newline."""
    if not os.environ.get("CARVALEN_CLI"):
        pytest.skip("CARVALEN_CLI names no tool to compare with")
    done = subprocess.run([os.environ["CARVALEN_CLI"], *args], capture_output=True, text=True)
    return done.returncode, done.stdout.rstrip("\n")


def alone(script, cwd=None, **env):
    """The output of `script` in an interpreter of its own (the library reads settings once)."""
    env["PYTHONPATH"] = str(PACKAGE) + os.pathsep + os.environ.get("PYTHONPATH", "")
    return subprocess.run([sys.executable, "-c", script], env=dict(os.environ, **env), cwd=cwd,
                          capture_output=True, text=True, check=True).stdout


@pytest.fixture(scope="module")
def expected():
    if not os.environ.get("CARVALEN_CONFIG_DIR"):
        pytest.skip(os.environ.get("CARVALEN_NO_STORE", "CARVALEN_CONFIG_DIR names no demo store"))
    return [tool("call", *case) for case in CASES]


@pytest.mark.parametrize("index", range(len(CASES)), ids=lambda i: CASES[i][0])
def test_typed_values_answer_as_the_tool(index, expected):
    case, (status, text) = CASES[index], expected[index]
    arguments = {name: carvalen.decode(json.loads(value)) for name, value in assignments(case)}
    if status == 0:
        result = carvalen.call(case[0], **arguments)
        document = {"result": carvalen.encode(result.value),
                    "byref": {k: carvalen.encode(v) for k, v in result.byref.items()}}
        assert json.dumps(document, ensure_ascii=False) == text
    elif status == 1:
        with pytest.raises(carvalen.OperationError) as raised:
            carvalen.call(case[0], **arguments)
        error = json.loads(text)["error"]
        assert (raised.value.number, raised.value.source, raised.value.description) == (
            error["number"], error["source"], error["description"])
    else:
        with pytest.raises(carvalen.UsageError):
            carvalen.call(case[0], **arguments)


def test_threads_calling_at_once_get_the_tool_answers(expected):
    def one(index):
        arguments = ", ".join(f'"{name}": {value}' for name, value in assignments(CASES[index]))
        return index, carvalen.call_json(CASES[index][0], "{" + arguments + "}")

    with ThreadPoolExecutor(max_workers=8) as pool:
        for index, (status, text) in pool.map(one, list(range(len(CASES))) * 4):
            assert status == expected[index][0], CASES[index]
            if status == 2:  # the tool says it on stderr; here it is a document
                assert json.loads(text)["usageError"]["message"], CASES[index]
            else:
                assert text == expected[index][1], CASES[index]


def test_operations_and_version_as_the_tool():
    assert carvalen.version() == carvalen.__version__
    assert carvalen._native.operations() == tool("ops", "--json")
    price = next(op for info in carvalen.operations() if info["name"] == "ContractLine"
                 for op in info["operations"] if op["name"] == "GetPrice")
    assert price["parameters"][-1]["default"] == 0.0


def test_a_value_without_a_form_is_a_usage_error():
    with pytest.raises(carvalen.UsageError, match="object has no form"):
        carvalen.call("ContractLine.GetPrice", i_lContractHeaderID=object())


def test_a_missing_library_is_named(monkeypatch):
    monkeypatch.setenv("CARVALEN_LIBRARY", os.path.join(os.sep, "nonexistent", "libcarvalen.so"))
    with pytest.raises(OSError, match="CARVALEN_LIBRARY"):
        carvalen._native._load()


@pytest.mark.parametrize("variable, target, arguments, expected", [
    ("CARVALEN_MAX_ENTRIES", "ContractLine.ContractLineAttachmentExists",
     {"i_sAttachmentTypeCode": {"$array": [1, 2, 3]}}, ("(2, ", "hold more than 2 entries")),
    # Three cells are more than a budget of two: the call fails before its array is made.
    ("CARVALEN_MAX_CELLS", "ContractLine.GetEligibleContractsForRFQCreation",
     {"i_aContractFields": {"$array": [1, 2, 3]}}, ("(1, ", "Out of memory")),
])
def test_limits_come_from_the_environment(variable, target, arguments, expected):
    if variable == "CARVALEN_MAX_CELLS" and not os.environ.get("CARVALEN_CONFIG_DIR"):
        pytest.skip("CARVALEN_CONFIG_DIR names no demo store")
    script = f"import carvalen; print(carvalen.call_json({target!r}, {json.dumps(arguments)!r}))"
    out = alone(script, **{variable: "2"})
    assert out.startswith(expected[0]) and expected[1] in out
