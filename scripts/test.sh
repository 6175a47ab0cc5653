#!/usr/bin/env bash
# Runs every test: builds the normal and the AddressSanitizer/UndefinedBehaviorSanitizer
# configurations and runs the suite of each against SQLite and against a private PostgreSQL
# cluster that this script starts and stops itself.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

# Formatting is part of the build's contract.
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  git ls-files '*.cpp' '*.hpp' | xargs clang-format --dry-run -Werror
fi

jobs=$(nproc)
pg_dir=$(mktemp -d /tmp/carvalen-pg.XXXXXX)
cleanup() { bash scripts/pg-test-cluster.sh stop "$pg_dir" >/dev/null 2>&1 || true; rm -rf "$pg_dir"; }
trap cleanup EXIT
bash scripts/pg-test-cluster.sh start "$pg_dir"
export CARVALEN_TEST_PG
CARVALEN_TEST_PG="Provider=PostgreSQL;Host=$pg_dir;Port=${CARVALEN_PG_PORT:-54329};Database=carvalen_test;User ID=carvalen"

status=0
for config in "build:-DCARVALEN_SANITIZE=OFF" "build-asan:-DCARVALEN_SANITIZE=ON -DCARVALEN_BENCH=OFF"; do
  dir=${config%%:*}
  flags=${config#*:}
  echo "== $dir" >&2
  # shellcheck disable=SC2086
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo $flags >/dev/null
  cmake --build "$dir" -j"$jobs"
  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir "$dir" --output-on-failure -j"$jobs" || status=1
done
exit $status
