#!/usr/bin/env bash
# Runs the quick start of docs/configuration.md (the block after "<!-- quickstart -->") as
# written, against the PostgreSQL database CARVALEN_TEST_PG names (as scripts/test.sh exports
# it), in a schema of its own, with a HOME of its own, and checks the first call's answer.
#   CARVALEN_TEST_PG='Provider=PostgreSQL;Host=DIR;Port=N;Database=D;User ID=U' \
#     scripts/ci-quickstart.sh [TOOL_DIR]     (TOOL_DIR holds carvalen; default build)
set -euo pipefail
cd "$(dirname "$0")/.."
tool_dir=$(cd "${1:-build}" && pwd)
[ -n "${CARVALEN_TEST_PG:-}" ] || { echo "ci-quickstart: CARVALEN_TEST_PG is not set" >&2; exit 1; }
echo "== quick start (docs/configuration.md)" >&2

# The commands as the document has them.
commands=$(awk '/<!-- quickstart -->/ {on = 1; next} on && /^```sh/ {block = 1; next}
  block && /^```/ {exit} block {print}' docs/configuration.md)
[ -n "$commands" ] || { echo "ci-quickstart: no quick start in docs/configuration.md" >&2; exit 1; }

# The test server in libpq's variables; the first command's exports are the reader's own server.
declare -A keys
IFS=';' read -ra pairs <<<"$CARVALEN_TEST_PG"
for pair in "${pairs[@]}"; do
  key=$(tr '[:upper:]' '[:lower:]' <<<"${pair%%=*}" | tr -d ' ')
  keys[$key]=${pair#*=}
done
work=$(mktemp -d /tmp/carvalen-quickstart.XXXXXX)
schema=carvalen_quickstart
cleanup() {
  psql -X -q -c "DROP SCHEMA IF EXISTS $schema CASCADE" >/dev/null 2>&1 || true
  rm -rf "$work"
}
export PGHOST=${keys[host]} PGPORT=${keys[port]:-5432} PGDATABASE=${keys[database]}
export PGUSER=${keys[userid]}
trap cleanup EXIT
psql -X -q -v ON_ERROR_STOP=1 -c "SET client_min_messages = warning" \
  -c "DROP SCHEMA IF EXISTS $schema CASCADE" -c "CREATE SCHEMA $schema"
export PGOPTIONS=-csearch_path=$schema

# The reader's "export PG...=..." line stands for the variables set above.
out=$(env -u CARVALEN_CONFIG_DIR -u CARVALEN_LOG HOME="$work" PATH="$tool_dir:$PATH" \
  bash -euo pipefail -c "$(grep -v '^export PG' <<<"$commands")")
want='{"result": 8.0, "byref": {"o_sCurrencyCode": "EUR", "i_fReturnValue": 0.0}}'
if [ "$(tail -n 1 <<<"$out")" != "$want" ]; then
  printf 'ci-quickstart: the first call answered\n%s\nnot\n%s\n' "$out" "$want" >&2
  exit 1
fi
grep -q "^EContract = \"Provider=PostgreSQL;Host=$PGHOST;" "$work/carvalen/Vendra.toml" || {
  echo "ci-quickstart: the store does not name the server" >&2
  cat "$work/carvalen/Vendra.toml" >&2
  exit 1
}
echo "quick start: ok" >&2
