"""The package's tests run against a built library and a demo store, both named by the
environment: CARVALEN_LIBRARY (libcarvalen.so), CARVALEN_CLI (the `carvalen` tool the answers are
compared with) and CARVALEN_CONFIG_DIR (a store whose EContract is a demo database).
scripts/ci-python.sh sets them up for SQLite and for PostgreSQL."""

import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1]))
