#!/usr/bin/env bash
# The concurrency tests and the service's (its threads share the I/O and the operations) under
# ThreadSanitizer: configures build-tsan (Clang), builds only their targets and runs them against SQLite and, when CARVALEN_TEST_PG is set, PostgreSQL. Instrumented
# calls run several times slower; each thread makes CARVALEN_THREAD_CALLS calls (default 2000,
# as in the other builds).
set -euo pipefail
cd "$(dirname "$0")/.."

dir=build-tsan
cmake --preset tsan -DCARVALEN_WERROR=ON >/dev/null
cmake --build "$dir" -j"$(nproc)" --target reliability_tests service_tests
# Some kernels randomise mmap more than ThreadSanitizer's memory layout allows; setarch -R turns
# the randomisation off for this process only.
run=()
if setarch "$(uname -m)" -R true 2>/dev/null; then run=(setarch "$(uname -m)" -R); fi
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 ${TSAN_OPTIONS:-}" \
  CARVALEN_THREAD_CALLS=${CARVALEN_THREAD_CALLS:-2000} "${run[@]}" "./$dir/tests/reliability_tests" \
  --gtest_filter='*ManyThreads.*:PoolBound.*'
TSAN_OPTIONS="halt_on_error=1 ${TSAN_OPTIONS:-}" "${run[@]}" "./$dir/tests/service_tests"
