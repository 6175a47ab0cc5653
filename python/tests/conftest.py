"""The package's tests run against a built library and a demo store, both named by the
environment: CARVALEN_LIBRARY (libcarvalen.so), CARVALEN_CLI (the `carvalen` tool the answers are
compared with) and CARVALEN_CONFIG_DIR (a store whose EContract is a demo database).
scripts/ci-python.sh sets them up for SQLite and for PostgreSQL."""

from __future__ import annotations

import os
import pathlib
import subprocess
import sys
from typing import List, NamedTuple

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1]))

CASES = pathlib.Path(__file__).resolve().parents[2] / "tests" / "capi" / "cases.tsv"


class Case(NamedTuple):
    target: str
    assignments: List[str]  # NAME=VALUE, VALUE in typed JSON

    @property
    def arguments_json(self) -> str:
        pairs = (a.split("=", 1) for a in self.assignments)
        return "{" + ", ".join(f'"{name}": {value}' for name, value in pairs) + "}"


class Answer(NamedTuple):
    status: int
    text: str  # stdout without its newline


def read_cases() -> List[Case]:
    cases = []
    for line in CASES.read_text(encoding="utf-8").splitlines():
        if line and not line.startswith("#"):
            target, *assignments = line.split("\t")
            cases.append(Case(target, assignments))
    return cases


def tool(*args: str) -> Answer:
    cli = os.environ.get("CARVALEN_CLI")
    if not cli:
        pytest.skip("CARVALEN_CLI names no tool to compare with")
    done = subprocess.run([cli, *args], capture_output=True, text=True, check=False)
    return Answer(done.returncode, done.stdout.rstrip("\n"))


@pytest.fixture(scope="session")
def expected() -> List[Answer]:
    """The tool's answer to each case, in the order of read_cases()."""
    if not os.environ.get("CARVALEN_CONFIG_DIR"):
        pytest.skip("CARVALEN_CONFIG_DIR names no demo store")
    return [tool("call", case.target, *case.assignments) for case in read_cases()]
