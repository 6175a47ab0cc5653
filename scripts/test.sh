#!/usr/bin/env bash
# The test command, in two tiers of the same suite. Warnings are errors in both (CARVALEN_WERROR).
#
#   bash scripts/test.sh         The quick tier: the default build (GCC, static library, and the
#                                shared library from the same objects) and its tests against
#                                SQLite and a private PostgreSQL cluster, directly and through
#                                PgBouncer pooling sessions and transactions; the C interface and
#                                the Python package on that shared library; the service from
#                                outside (hostile clients, a stop under way, the
#                                OpenAPI document). Nothing that needs a build of its own. It ends
#                                by naming what it left to the full run.
#   bash scripts/test.sh --all   The full matrix (CI: .ci/run): the quick tier, then the replica
#                                set, the AddressSanitizer/UndefinedBehaviorSanitizer build's
#                                suites, ThreadSanitizer (whose build is the Clang one: library,
#                                tool, service and the concurrency and service tests), the fuzz
#                                targets, hosts against the installed static library, the Debian
#                                packages built, installed and used, and clients generated from
#                                the OpenAPI document, and line coverage: the quick tier's suites
#                                again on the coverage build (scripts/coverage.sh), failing under
#                                90% of the lines. clang-tidy (scripts/ci-tidy.sh) is run by hand:
#                                it would add another whole build's time.
#   bash scripts/test.sh --preset P   The quick tier on another configure preset (coverage.sh).
#
# The servers are started and stopped here, unless CARVALEN_TEST_PG and CARVALEN_TEST_PGBOUNCER
# name running ones. Either way the PostgreSQL cases must run: one that finds no server fails.
set -euo pipefail
cd "$(dirname "$0")/.."

all=0
preset=default
while [ $# -gt 0 ]; do
  case "$1" in
    --all) all=1 ;;
    --preset) preset=$2; shift ;;
    *) echo "usage: $0 [--all | --preset PRESET]" >&2; exit 2 ;;
  esac
  shift
done
build_dir_of() { case "$1" in default) echo build ;; *) echo "build-$1" ;; esac; }
build=$(build_dir_of "$preset")

bash scripts/install-deps.sh

# Formatting is part of the build's contract.
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  git ls-files '*.cpp' '*.hpp' '*.h' '*.c' | xargs clang-format --dry-run -Werror
fi

# A run compiles some sources more than once with the same flags (the packages' build repeats the
# default build's): through ccache, when it is there, each is compiled once. Paths are taken
# relative to the checkout, so that the build folders share the cache.
if [ -z "${CMAKE_CXX_COMPILER_LAUNCHER:-}" ] && command -v ccache >/dev/null; then
  export CMAKE_CXX_COMPILER_LAUNCHER=ccache CMAKE_C_COMPILER_LAUNCHER=ccache
  export CCACHE_BASEDIR=$PWD CCACHE_NOHASHDIR=1
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
export CARVALEN_TEST_PG CARVALEN_TEST_PGBOUNCER CARVALEN_TEST_REQUIRE_PG=1
if [ -z "${CARVALEN_TEST_PG:-}" ] || [ -z "${CARVALEN_TEST_PGBOUNCER:-}" ]; then
  bash scripts/pg-test-cluster.sh start "$pg_dir"
  CARVALEN_TEST_PG="Provider=PostgreSQL;Host=$pg_dir;Port=${CARVALEN_PG_PORT:-54329};Database=carvalen_test;User ID=carvalen"
  CARVALEN_TEST_PGBOUNCER=$(bash scripts/pgbouncer.sh start "$bouncer" "$pg_dir")
fi

status=0
failed=()
# Runs one stage; a failure is remembered and the run goes on.
timings=()
# With CARVALEN_TEST_MINUTES set, a stage that would start past that many minutes is not run and
# counts as failed: a run that is too slow ends with its report rather than being cut off.
stage() {
  local name=$1 began=$SECONDS
  shift
  if [ -n "${CARVALEN_TEST_MINUTES:-}" ] && [ "$SECONDS" -ge $((CARVALEN_TEST_MINUTES * 60)) ]; then
    echo "== $name: not run, past the run's $CARVALEN_TEST_MINUTES minutes" >&2
    status=1
    failed+=("$name (not run)")
    return
  fi
  echo "== $name" >&2
  "$@" || { status=1; failed+=("$name"); }
  timings+=("$((SECONDS - began)) s  $name")
  echo "== $name: $((SECONDS - began)) s" >&2
}
# The time each stage took, at the end, where a log cut to its tail still shows it.
report() {
  [ ${#timings[@]} -eq 0 ] || printf '== %s\n' "${timings[@]}" >&2
  [ ${#failed[@]} -eq 0 ] || echo "FAILED: ${failed[*]}" >&2
}
# (Inside a stage errexit is off: each step says what stops it.)
build_and_test() {
  cmake --preset "$1" -DCARVALEN_WERROR=ON >/dev/null || return 1
  cmake --build --preset "$1" -j"$jobs" || return 1
  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir "$(build_dir_of "$1")" -j"$jobs" --output-on-failure --timeout 300
}

# --- The quick tier.
start=$SECONDS
stage "$preset build and its tests" build_and_test "$preset"
stage "C interface and Python package ($build)" bash scripts/ci-python.sh "$build"
stage "service from outside ($build)" bash scripts/ci-service.sh "$build"
stage "quick start on PostgreSQL ($build)" bash scripts/ci-quickstart.sh "$build"
quick_minutes=$(((SECONDS - start + 59) / 60))

if [ "$all" -eq 0 ]; then
  echo "== quick tier done in about $quick_minutes min; left to the full run (--all): the replica" \
    "set, the asan build's suites, ThreadSanitizer (Clang), the fuzz targets, the installed" \
    "static library's hosts, the Debian packages, the generated clients and line coverage" >&2
  report
  exit $status
fi

# --- The full matrix.
export CARVALEN_TEST_PG_REPLICAS
CARVALEN_TEST_PG_REPLICAS=$(bash scripts/pg-replica-set.sh start "$replicas")
stage "replica set" ctest --test-dir build -R '^Replica' --output-on-failure
stage "asan build and its tests" build_and_test asan
# ThreadSanitizer's build is also the run's Clang build: the library, the tool, the service and
# the concurrency and service tests, warnings as errors.
stage "ThreadSanitizer" bash scripts/ci-tsan.sh
stage "fuzz targets" bash scripts/ci-fuzz.sh

install_and_link() {
  local failures=0
  ./build/carvalen init-demo --dir "$work/demo" --size 100 >/dev/null || return 1
  # Local: the stages after this one (coverage's suites) must not see the demo as their store.
  local -x CARVALEN_CONFIG_DIR=$work/demo
  # The static library through pkg-config --static (the shared one and its CMake package are the
  # Debian packages' hosts').
  cmake --install build --prefix "$work/static" >/dev/null || return 1
  # What is installed beside the tool: the unit (pointed at the tool installed here) passes
  # systemd's own check, the completion is valid bash.
  sed "s|^ExecStart=[^ ]*|ExecStart=$work/static/bin/carvalen|" \
    "$work/static/lib/systemd/system/carvalen.service" >"$work/carvalen.service"
  if command -v systemd-analyze >/dev/null; then
    systemd-analyze verify "$work/carvalen.service" || failures=1
  fi
  bash -n "$work/static/share/bash-completion/completions/carvalen" || failures=1
  # shellcheck disable=SC2046
  c++ -std=c++20 examples/price_line.cpp -o "$work/price_line_pc" \
    $(PKG_CONFIG_PATH="$work/static/lib/pkgconfig" pkg-config --static --cflags --libs carvalen)
  "$work/price_line_pc" 1 1 60 || failures=1
  # A C host against the static library, with nothing but what pkg-config says (the C++ runtime
  # too).
  # shellcheck disable=SC2046
  cc -std=c99 tests/capi/capi_check.c -o "$work/capi_check_pc" \
    $(PKG_CONFIG_PATH="$work/static/lib/pkgconfig" pkg-config --static --cflags --libs carvalen) \
    -lpthread
  "$work/capi_check_pc" tests/capi/cases.tsv ./build/carvalen || failures=1
  return "$failures"
}
stage "install and link the example" install_and_link
# The Debian packages, installed with dpkg and used by a C, a C++ and a Python host.
stage "Debian packages" bash scripts/ci-packages.sh
# Clients generated from the OpenAPI document by two generators, compiled and calling every
# operation.
stage "generated clients" bash scripts/ci-clients.sh build
# The quick tier's suites on an instrumented build, on the servers started above.
stage "line coverage" bash scripts/coverage.sh --fail-under 90

report
exit $status
