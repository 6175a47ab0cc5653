#!/usr/bin/env bash
# clang-tidy over every source of src/ with the repository's .clang-tidy, warnings as errors, on
# the compile commands of a build (default: build, the GCC one; its GCC-only warning flags are
# let through).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
echo "== clang-tidy ($build)" >&2
git ls-files -z 'src/*.cpp' |
  xargs -0 -P "$(nproc)" -n 4 clang-tidy -p "$build" --quiet --warnings-as-errors='*' \
    --extra-arg=-Wno-unknown-warning-option 2> >(grep -v ' warnings\? generated\.$' >&2)
