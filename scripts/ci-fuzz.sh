#!/usr/bin/env bash
# Builds the libFuzzer targets (Clang, ASan + UBSan, only the layers they need) in build-fuzz and
# runs each from a copy of its seed corpus for a bounded time. A crash, a leak, a sanitizer report
# or an input over the memory limit fails the script and leaves the input in the work folder named
# on stderr. Usage: scripts/ci-fuzz.sh [SECONDS_PER_TARGET] (default 20; FUZZ_TIME too).
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD

seconds=${1:-${FUZZ_TIME:-20}}
targets=(json_value connection_string configuration convert literal_lexer)
jobs=$(nproc)

echo "== build-fuzz" >&2
cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
  -DCARVALEN_FUZZ=ON -DCARVALEN_TESTS=OFF -DCARVALEN_BENCH=OFF -DCARVALEN_WERROR=ON >/dev/null
cmake --build build-fuzz -j"$jobs" --target fuzz

work=$(mktemp -d /tmp/carvalen-fuzz.XXXXXX)
status=0
for target in "${targets[@]}"; do
  # The corpus grows while fuzzing: a copy keeps the repository as it is.
  cp -r "fuzz/corpus/$target" "$work/$target"
  log=$work/$target.log
  if (cd "$work" && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    "$repo/build-fuzz/fuzz/${target}_fuzz" -max_total_time="$seconds" -rss_limit_mb=2048 \
    -timeout=10 -print_final_stats=1 -artifact_prefix="$work/$target-" "$work/$target" \
    >"$log" 2>&1); then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    echo "fuzz $target: ${runs:-?} executions in ${seconds}s, no failure" >&2
  else
    status=1
    echo "fuzz $target FAILED; input and log kept in $work" >&2
    grep -E 'ERROR|SUMMARY|Test unit written' "$log" >&2 || tail -20 "$log" >&2
  fi
done
[ $status -eq 0 ] && rm -rf "$work"
exit $status
