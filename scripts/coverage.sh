#!/usr/bin/env bash
# Line coverage of src/ and include/ by the quick tier's suites: builds the coverage preset (GCC
# --coverage, Debug) into build-coverage, runs the quick tier on it (scripts/test.sh --preset
# coverage: the ctest suites on SQLite, PostgreSQL and PgBouncer, the C and Python checks, the
# service from outside) and prints gcovr's summary. With --fail-under N it fails when line
# coverage is under N percent (the full run asks for 90). The service's threads race the counters,
# so a count may come out negative; gcovr skips such a line instead of giving up.
#   scripts/coverage.sh [--fail-under PERCENT]
set -euo pipefail
cd "$(dirname "$0")/.."
threshold=0
case "${1:-}" in
  --fail-under) threshold=$2 ;;
  "") ;;
  *) echo "usage: $0 [--fail-under PERCENT]" >&2; exit 2 ;;
esac

if ! command -v gcovr >/dev/null; then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends gcovr >/dev/null
fi

# Counts from an earlier run would add to this one's.
[ -d build-coverage ] && find build-coverage -name '*.gcda' -delete
# A failing suite still leaves its counts; the summary is wanted either way.
suites=0
# The instrumented Debug build works several times slower: the service's time bounds stretch.
CARVALEN_TEST_TIME_SCALE=3 bash scripts/test.sh --preset coverage || suites=$?

echo "== line coverage of src/ and include/ (per file: build-coverage/coverage.txt)" >&2
gcovr --root . --filter 'src/' --filter 'include/' --exclude-unreachable-branches --gcov-ignore-parse-errors \
  --output build-coverage/coverage.txt --print-summary --fail-under-line "$threshold" \
  -j "$(nproc)" build-coverage || exit 1
exit $suites
