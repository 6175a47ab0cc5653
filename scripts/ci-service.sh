#!/usr/bin/env bash
# The service from outside, as a network client sees it: the hostile-client suite
# (tests/hostile), and the OpenAPI document checked by a real validator and a client written
# against it (tests/clients/check.mjs --document, Node.js with packages from the npm registry,
# installed into a temporary folder), against the tool of a build. Loopback only; every test is
# bounded in time.
#   scripts/ci-service.sh [BUILD_DIR]    (default build)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
jobs=$(nproc)
cmake --build "$build" -j"$jobs" --target carvalen_cli
python=/usr/bin/python3
[ -x "$python" ] || python=python3
echo "== service from outside ($build): tests/hostile" >&2
PYTHONDONTWRITEBYTECODE=1 CARVALEN_CLI=$PWD/$build/carvalen "$python" -m pytest -q -p no:cacheprovider tests/hostile

echo "== the OpenAPI document ($build): validator and client" >&2
# Debian's own nodejs comes without npm (NodeSource's carries it).
if ! command -v npm >/dev/null; then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends npm >/dev/null
fi
npm_dir=$(mktemp -d /tmp/carvalen-openapi.XXXXXX)
trap 'rm -rf "$npm_dir"' EXIT
(cd "$npm_dir" && npm init -y >/dev/null &&
  npm install --no-audit --no-fund --silent @apidevtools/swagger-parser@10 ajv@8 >/dev/null)
CARVALEN_NODE_MODULES=$npm_dir/node_modules timeout 120 node tests/clients/check.mjs --document \
  "$PWD/$build/carvalen"
