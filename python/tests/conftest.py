"""The environment names the library (CARVALEN_LIBRARY), the tool the answers are compared with
(CARVALEN_CLI) and a demo store (CARVALEN_CONFIG_DIR): scripts/ci-python.sh sets them up."""

import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1]))
