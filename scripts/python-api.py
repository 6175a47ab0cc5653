#!/usr/bin/env python3
"""Writes the Python package's function modules (python/carvalen/contract.py and
contract_line.py) from the operation description (`carvalen ops --json`): one keyword-only
function per operation, a TypedDict per row layout, a result class per operation with
by-reference outputs, and docstrings from the operations' summaries.

    scripts/python-api.py --tool build/carvalen            # writes the modules
    scripts/python-api.py --tool build/carvalen --check    # fails when they are not current
"""
import argparse
import json
import os
import re
import subprocess
import sys
import textwrap

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PACKAGE = os.path.join(ROOT, "python", "carvalen")

# The Python type a parameter's plain type takes.
PLAIN_TYPES = {
    "integer": "int",
    "number": "float",
    "string": "str",
    "boolean": "bool",
    "date": "_date",
    "integer[]": "Sequence[int]",
    "string[]": "Sequence[str]",
    "number[]": "Sequence[float]",
    "object": "Mapping[Any, Any]",
}
SCALARS = {"Boolean": "bool", "Double": "float", "String": "str", "Long": "int"}


def snake(name):
    return re.sub(r"(?<=[a-z0-9])(?=[A-Z])|(?<=[A-Z])(?=[A-Z][a-z])", "_", name).lower()


def parameter_name(declared):
    """i_lContractHeaderID -> contract_header_id: no direction prefix, no type letter."""
    return snake(re.sub(r"^[io]_[a-z]+(?=[A-Z])", "", declared))


def pascal(name):
    return name[0].upper() + name[1:]


def wrap(text, indent):
    return textwrap.fill(text, 96 - len(indent), initial_indent=indent, subsequent_indent=indent,
                         break_on_hyphens=False)


def row_type(operation, shape):
    return pascal(operation["name"]) + ("Fields" if shape == "Named" else "Row")


def result_type(operation, rows):
    """The annotation of the operation's result, with the TypedDicts it needs added to rows."""
    answer = operation.get("answer", {})
    shape = answer.get("shape")
    positions = answer.get("positions")
    if shape == "Scalar":
        return SCALARS.get(operation["result"], "Value")
    if shape == "List":
        return "Optional[List[Value]]"
    if shape in ("Dictionary", "Named", "Row") and positions:
        name = row_type(operation, shape)
        rows.append((name, positions, shape == "Named"))
        if shape == "Named":
            return f"Optional[{name}]" if "Nothing" in answer["summary"] else name
        if shape == "Row":
            return name
        if answer["key"].startswith("The row's ordinal"):
            return f"List[{name}]"
        return f"Dict[{'int' if answer['keyType'] == 'Long' else 'str'}, {name}]"
    if shape == "Dictionary":
        return "List[Dict[str, Value]]"
    if shape == "Matrix":
        return "List[Dict[str, Value]]"
    if shape == "Recordset":
        return "List[Dict[str, Value]]"
    return "Any"


def docstring(operation, params, outputs):
    answer = operation.get("answer", {})
    lines = [wrap(operation["summary"], "    "), ""]
    if any(not (p["byref"] and not p["optional"] and p["name"].startswith("o_")) for p, _ in params):
        lines.append("    Arguments:")
        for p, python_name in params:
            if p["byref"] and not p["optional"] and p["name"].startswith("o_"):
                continue
            flag = " (optional)" if p["optional"] else ""
            lines.append(wrap(f"{python_name} ({p['name']}){flag}: {p['summary']}", "        "))
        lines.append("")
    lines.append(wrap(f"Returns: {answer.get('summary', operation['result'])}", "    "))
    if answer.get("positions"):
        lines.append(wrap("Row members: " + ", ".join(dict.fromkeys(answer["positions"])) + ".",
                          "    "))
    if answer.get("positionsFrom"):
        lines.append(wrap(f"Row members: the names given in {parameter_name(answer['positionsFrom'])}.",
                          "    "))
    if outputs:
        lines.append("")
        lines.append("    Outputs, attributes of the result beside .result:")
        for p, n in outputs:
            lines.append(wrap(f"{n} ({p['name']}): {p['summary']}", "        "))
    raises = operation.get("raises", [])
    if raises:
        lines.append("")
        lines.append("    Raises:")
        for error in raises:
            kind = "NotFoundError" if error["code"].endswith("Missing") else "OperationError"
            lines.append(wrap(f"{kind} ({error['code']}): {error['when']}", "        "))
    return '    """' + "\n".join(lines).strip() + '\n    """'


def function(info, operation, rows, results):
    params = [(p, parameter_name(p["name"])) for p in operation["parameters"]]
    outputs = [(p, n) for p, n in params if p["byref"]]
    annotation = result_type(operation, rows)
    signature = []
    for p, n in params:
        python_type = PLAIN_TYPES[p["plain"]]
        if p["type"] == "Variant" and not p["byref"]:
            python_type = f"Optional[{python_type}]"  # None is Null
        if p["optional"]:
            signature.append(f"{n}: Union[{python_type}, MissingType] = MISSING")
        elif p["byref"] and p["name"].startswith("o_"):
            continue  # an output only: nothing goes in
        else:
            signature.append(f"{n}: {python_type}")
    name = snake(operation["name"])
    target = f"{info['name']}.{operation['name']}"
    answer = operation.get("answer", {})
    int_keys = (answer.get("shape") == "Dictionary" and answer.get("keyType") == "Long"
                and not answer.get("key", "").startswith("The row's ordinal"))
    arguments = ", ".join(f'"{p["name"]}": {n}' for p, n in params
                          if not (p["byref"] and not p["optional"] and p["name"].startswith("o_")))
    returns = annotation
    body = []
    if outputs:
        returns = pascal(operation["name"]) + "Result"
        fields = [("result", annotation)] + [
            (n, f"Optional[{PLAIN_TYPES[p['plain']]}]") for p, n in outputs]
        results.append((returns, operation["summary"], fields))
        body.append(f'    result, byref = _invoke("{target}", {{{arguments}}}{", True" if int_keys else ""})')
        values = ", ".join(["result"] + [f'byref["{p["name"]}"]' for p, _ in outputs])
        body.append(f"    return {returns}({values})")
    else:
        body.append(f'    return _invoke("{target}", {{{arguments}}}{", True" if int_keys else ""})[0]  # type: ignore[no-any-return]')
    head = f"def {name}("
    if signature:
        head += "\n" + "".join(f"    {s},\n" for s in ["*"] + signature) + f") -> {returns}:"
    else:
        head += f") -> {returns}:"
    return name, "\n".join([head, docstring(operation, params, outputs)] + body)


def module(info):
    rows, results, functions = [], [], []
    for operation in info["operations"]:
        functions.append(function(info, operation, rows, results))
    out = [
        f'"""The operations of {info["progId"]}, one function each, with plain Python values.',
        "",
        "Written by scripts/python-api.py from the operation description; do not edit.",
        '"""',
        "",
        "from __future__ import annotations",
        "",
        "from dataclasses import dataclass",
        "from datetime import date as _date",
        "from typing import Any, Dict, List, Mapping, Optional, Sequence, TypedDict, Union",
        "",
        "from ._plain import MISSING, MissingType, Value, invoke as _invoke",
        "",
        "__all__ = [",
    ]
    names = ([r[0] for r in rows] + [r[0] for r in results] + [f[0] for f in functions])
    out += [f'    "{n}",' for n in names] + ["]", ""]
    for name, positions, named in rows:
        total = ", total=False" if named else ""
        out += ["", f"class {name}(TypedDict{total}):"]
        out += [f"    {p}: Value" for p in dict.fromkeys(positions)]
        out.append("")
    for name, summary, fields in results:
        out += ["", "@dataclass", f"class {name}:",
                f'    """{summary} The result, then each by-reference output."""', ""]
        out += [f"    {n}: {t}" for n, t in fields]
        out.append("")
    for _, text in functions:
        out += ["", text, ""]
    return "\n".join(out).rstrip("\n") + "\n"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tool", required=True)
    parser.add_argument("--check", action="store_true")
    args = parser.parse_args()
    ops = json.loads(subprocess.run([args.tool, "ops", "--json"], check=True,
                                    capture_output=True, text=True).stdout)
    stale = []
    for info in ops["classes"]:
        if not info["operations"]:
            continue
        path = os.path.join(PACKAGE, snake(info["name"]) + ".py")
        text = module(info)
        if args.check:
            with open(path, encoding="utf-8") as handle:
                if handle.read() != text:
                    stale.append(path)
        else:
            with open(path, "w", encoding="utf-8") as handle:
                handle.write(text)
    if stale:
        sys.exit("not current (run scripts/python-api.py --tool ...): " + ", ".join(stale))


if __name__ == "__main__":
    main()
