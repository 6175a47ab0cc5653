#!/usr/bin/env bash
# Generates TypeScript clients from the OpenAPI document with two independent generators
# (openapi-typescript + openapi-fetch, and @hey-api/openapi-ts), compiles a call of every plain
# operation through each with `tsc --strict`, runs them against `carvalen serve` on a demo store
# and checks every answer against its schema (tests/clients/check.mjs). The npm packages are
# pinned in scripts/clients/package-lock.json and installed by scripts/install-deps.sh, or here on
# the first run; after that the check runs offline.
#   scripts/ci-clients.sh [BUILD_DIR]    (CARVALEN_CLIENTS_LISTEN=HOST:PORT, default a free port)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
clients=scripts/clients
if [ ! -f "$clients/node_modules/.package-lock.json" ] ||
  [ "$clients/package-lock.json" -nt "$clients/node_modules/.package-lock.json" ]; then
  (cd "$clients" && npm ci --prefer-offline --no-audit --no-fund --loglevel=error >/dev/null)
fi
timeout 180 node tests/clients/check.mjs "$PWD/$build/carvalen" "${CARVALEN_CLIENTS_LISTEN:-127.0.0.1:0}"
