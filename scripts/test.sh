#!/usr/bin/env bash
# Runs every test: builds the normal (GCC, static library), the AddressSanitizer/
# UndefinedBehaviorSanitizer and a Clang Release (shared library) configuration and runs the suite
# of each against SQLite, against a private PostgreSQL cluster (directly and through PgBouncer
# pooling sessions and transactions) and against a primary with two streaming standbys, all
# started and stopped by this script; clang-tidy over src/; then the concurrency tests under
# ThreadSanitizer, the C interface and the Python package on the shared library, the service from
# outside (hostile clients, two instances behind HAProxy), a bounded run of
# every fuzz target, the example host program built against installs of both libraries
# (CMake package and pkg-config), and the Debian packages installed and used by C, C++ and
# Python hosts. Warnings are errors here (CARVALEN_WERROR), not in a plain build.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

# Formatting is part of the build's contract.
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  git ls-files '*.cpp' '*.hpp' '*.h' '*.c' | xargs clang-format --dry-run -Werror
fi

jobs=$(nproc)
work=$(mktemp -d /tmp/carvalen-test.XXXXXX)
chmod 0755 "$work" # as root the server runs as the postgres user, which must reach its folder
pg_dir=$work/pg
replicas=$work/pg-replicas
bouncer=$work/pgbouncer
cleanup() {
  bash scripts/pgbouncer.sh stop "$bouncer" >/dev/null 2>&1 || true
  bash scripts/pg-replica-set.sh stop "$replicas" >/dev/null 2>&1 || true
  bash scripts/pg-test-cluster.sh stop "$pg_dir" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
bash scripts/pg-test-cluster.sh start "$pg_dir"
export CARVALEN_TEST_PG CARVALEN_TEST_PG_REPLICAS CARVALEN_TEST_PGBOUNCER
CARVALEN_TEST_PG="Provider=PostgreSQL;Host=$pg_dir;Port=${CARVALEN_PG_PORT:-54329};Database=carvalen_test;User ID=carvalen"
CARVALEN_TEST_PG_REPLICAS=$(bash scripts/pg-replica-set.sh start "$replicas")
CARVALEN_TEST_PGBOUNCER=$(bash scripts/pgbouncer.sh start "$bouncer" "$pg_dir")

status=0
# The configurations of CMakePresets.json (build, build-asan, build-clang), warnings as errors.
for preset in default asan clang-shared; do
  echo "== $preset" >&2
  cmake --preset "$preset" -DCARVALEN_WERROR=ON >/dev/null
  cmake --build --preset "$preset" -j"$jobs"
  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --preset "$preset" -j"$jobs" || status=1
done
# The lint of .clang-tidy, on the compile commands of the default build.
bash scripts/ci-tidy.sh build || status=1
bash scripts/ci-tsan.sh || status=1

bash scripts/ci-python.sh build-clang || status=1
bash scripts/ci-service.sh build || status=1
bash scripts/ci-fuzz.sh || status=1

echo "== install and link the example" >&2
./build/carvalen init-demo --dir "$work/demo" --size 100 >/dev/null
export CARVALEN_CONFIG_DIR=$work/demo
# The shared library through its CMake package; the static one through pkg-config --static.
cmake --install build-clang --prefix "$work/shared" >/dev/null
cmake -S examples -B "$work/example" -G Ninja -DCMAKE_PREFIX_PATH="$work/shared" >/dev/null
cmake --build "$work/example" >/dev/null
"$work/example/price_line" 1 1 60 || status=1
cmake --install build --prefix "$work/static" >/dev/null
# What is installed beside the tool: the unit (pointed at the tool installed here) passes
# systemd's own check, the completion is valid bash.
sed "s|^ExecStart=[^ ]*|ExecStart=$work/static/bin/carvalen|" \
  "$work/static/lib/systemd/system/carvalen.service" >"$work/carvalen.service"
if command -v systemd-analyze >/dev/null; then
  systemd-analyze verify "$work/carvalen.service" || status=1
fi
bash -n "$work/static/share/bash-completion/completions/carvalen" || status=1
# shellcheck disable=SC2046
c++ -std=c++20 examples/price_line.cpp -o "$work/price_line_pc" \
  $(PKG_CONFIG_PATH="$work/static/lib/pkgconfig" pkg-config --static --cflags --libs carvalen)
"$work/price_line_pc" 1 1 60 || status=1
# A C host against the static library, with nothing but what pkg-config says (the C++ runtime too).
# shellcheck disable=SC2046
cc -std=c99 tests/capi/capi_check.c -o "$work/capi_check_pc" \
  $(PKG_CONFIG_PATH="$work/static/lib/pkgconfig" pkg-config --static --cflags --libs carvalen) \
  -lpthread
"$work/capi_check_pc" tests/capi/cases.tsv ./build/carvalen || status=1

# The Debian packages, installed with dpkg and used by a C, a C++ and a Python host.
bash scripts/ci-packages.sh || status=1

exit $status
