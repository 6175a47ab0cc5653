#!/usr/bin/env bash
# Prints the tests' share of the code: non-blank lines of every tracked file under tests/ and
# python/tests/ (data included) against those under src/ and include/.
set -euo pipefail
cd "$(dirname "$0")/.."
count() { git ls-files -z -- "$@" | xargs -0 cat | grep -cv '^[[:space:]]*$'; }
tests=$(count tests python/tests)
code=$(count src include)
echo "tests $tests, src + include $code: $((100 * tests / code)).$((1000 * tests / code % 10))%"
