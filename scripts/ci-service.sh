#!/usr/bin/env bash
# The service from outside, as a network client sees it: the hostile-client suite
# (tests/hostile) and two instances behind HAProxy (tests/balancer), against the tool of a build.
# Loopback only; every test is bounded in time.
#   scripts/ci-service.sh [BUILD_DIR]    (default build)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
jobs=$(nproc)
cmake --build "$build" -j"$jobs" --target carvalen_cli
python=/usr/bin/python3
[ -x "$python" ] || python=python3
suites=()
for suite in tests/hostile tests/balancer; do
  [ -d "$suite" ] && suites+=("$suite")
done
echo "== service from outside ($build): ${suites[*]}" >&2
PYTHONDONTWRITEBYTECODE=1 CARVALEN_CLI=$PWD/$build/carvalen "$python" -m pytest -q -p no:cacheprovider "${suites[@]}"
