"""CARVALEN_LIBRARY, CARVALEN_CLI and CARVALEN_CONFIG_DIR (a demo store): see ci-python.sh."""

import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1]))
