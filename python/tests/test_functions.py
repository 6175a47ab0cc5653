"""The function per operation, compared with what `carvalen call --plain` answers."""

import inspect
import json
import os

import pytest

import carvalen
from test_calls import PACKAGE, alone, tool

# Each operation's example (its first case in tests/capi/cases.tsv) in plain JSON, as the OpenAPI
# document shows it.
EXAMPLES = json.loads((PACKAGE.parent / "src" / "api" / "plain_examples.json").read_text("utf-8"))


def function_of(target):
    info, name = target.split(".")
    module = {"Contract": carvalen.contract, "ContractLine": carvalen.contract_line}[info]
    return next(f for n, f in vars(module).items()
                if callable(f) and n.replace("_", "") == name.lower() and not isinstance(f, type))


@pytest.mark.parametrize("target", EXAMPLES)
def test_each_function_answers_as_the_plain_tool(target):
    if not os.environ.get("CARVALEN_CONFIG_DIR"):
        pytest.skip(os.environ.get("CARVALEN_NO_STORE", "CARVALEN_CONFIG_DIR names no demo store"))
    arguments = EXAMPLES[target]["arguments"]
    status, text = tool("call", "--plain", target,
                        *(f"{n}={json.dumps(v)}" for n, v in arguments.items()))
    expected = json.loads(text)
    # Keywords in the order of the declared inputs, matched case-insensitively.
    function = function_of(target)
    assert function.__doc__  # that every operation has an example is call_test's
    operation = next(op for info in carvalen.operations() for op in info["operations"]
                     if f"{info['name']}.{op['name']}" == target)
    inputs = [p["name"].lower() for p in operation["parameters"]
              if not (p["byref"] and not p["optional"] and p["name"].startswith("o_"))]
    keywords = dict(zip(inputs, list(inspect.signature(function).parameters)))
    kwargs = {keywords[name.lower()]: value for name, value in arguments.items()}
    assert status == 0, text  # the examples are calls that succeed
    answer = json.loads(carvalen.to_json(function(**kwargs)))
    if expected["byref"]:
        assert list(answer.values()) == [expected["result"], *expected["byref"].values()]
    else:
        assert answer == expected["result"]


@pytest.mark.parametrize("target, arguments, kind, code, parameter", [
    ("ContractLine.GetPrice", dict(contract_header_id=1, contract_line_id=99, quantity=1.0),
     carvalen.NotFoundError, "ContractLineMissing", None),
    ("ContractLine.GetPrice", dict(contract_header_id=1.5, contract_line_id=1, quantity=1.0),
     carvalen.ArgumentError, None, "i_lContractHeaderID"),
    ("Contract.GetContractLineDetails", dict(contract_header_id=1, effective_date=object()),
     carvalen.ArgumentError, "TypeMismatch", "i_dEffectiveDate"),
])
def test_errors_by_kind(target, arguments, kind, code, parameter):
    if not os.environ.get("CARVALEN_CONFIG_DIR"):
        pytest.skip(os.environ.get("CARVALEN_NO_STORE", "CARVALEN_CONFIG_DIR names no demo store"))
    with pytest.raises(kind) as raised:
        function_of(target)(**arguments)
    assert (raised.value.parameter, "\n" in str(raised.value)) == (parameter, False)
    assert code is None or raised.value.code == code
    # An error the operation raised keeps the exact text the typed call reports.
    legacy = "\r\nERROR 0x80040404\r\n METHOD: Carvalen.ContractLine.GetPrice"
    assert raised.value.description.startswith(legacy) == (kind is carvalen.NotFoundError)


def test_a_missing_store_is_a_configuration_error(tmp_path):
    script = ("import carvalen\ntry:\n carvalen.contract.contract_header_exists(contract_header_id=1)"
              "\nexcept carvalen.ConfigurationError as e:\n print(e.code)")
    out = alone(script, cwd=tmp_path, CARVALEN_CONFIG_DIR=str(tmp_path), HOME=str(tmp_path))
    assert out == "NoConfigurationStore\n"
