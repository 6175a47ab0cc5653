#!/usr/bin/env bash
# The C interface and the Python package against a freshly built shared library (of any build): checks that the
# library exports only the public interface, then runs the C check (tests/capi/capi_check.c, a C99
# host) and the package's pytest tests on the SQLite demo and, when CARVALEN_TEST_PG
# is set, on the same demo copied into a private schema of that PostgreSQL database.
#   scripts/ci-python.sh [BUILD_DIR]    (default build-shared)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${1:-build-shared}
jobs=$(nproc)

# The system interpreter: the one the python3-pytest package installs into.
python=/usr/bin/python3
[ -x "$python" ] || python=python3

echo "== shared library ($build)" >&2
# A configuration that exists already is used as it is: a shared one builds libcarvalen.so as its
# library, a static one (the test command's default build) beside it, from the same objects.
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -G Ninja -DBUILD_SHARED_LIBS=ON -DCARVALEN_TESTS=OFF -DCARVALEN_BENCH=OFF \
    -DCARVALEN_WERROR=ON >/dev/null
fi
# (The file name: with Ninja, the target name "carvalen" means the tool's executable.)
cmake --build "$build" -j"$jobs" --target libcarvalen.so carvalen_cli
library=$root/$build/libcarvalen.so
tool=$root/$build/carvalen

# Only the public C and C++ interface leaves the library: nothing of the layers behind it (their
# namespaces, carvalen::db, carvalen::api, ..., are the lower-case ones), nor of the libraries it
# uses inside.
leaked=$(nm -D --defined-only -C "$library" | grep -E 'carvalen::[a-z_]+::|nlohmann|toml::' || true)
if [ -n "$leaked" ]; then
  echo "libcarvalen.so exports internal symbols:" >&2
  head -20 <<<"$leaked" >&2
  exit 1
fi
for symbol in carvalen_call carvalen_call_plain carvalen_call_plain_described carvalen_operations carvalen_free carvalen_version; do
  if ! nm -D --defined-only "$library" | grep -qw "$symbol"; then
    echo "$symbol is not exported" >&2
    exit 1
  fi
done

work=$(mktemp -d /tmp/carvalen-python.XXXXXX)
pg_schema=""
cleanup() {
  if [ -n "$pg_schema" ]; then
    psql -X -q -c "DROP SCHEMA IF EXISTS $pg_schema CASCADE" >/dev/null 2>&1 || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

echo "== C check program" >&2
cc -std=c99 -Wall -Wextra -Werror -Iinclude tests/capi/capi_check.c -o "$work/capi_check" \
  -L"$build" -lcarvalen -lpthread -Wl,-rpath,"$root/$build"

"$tool" init-demo --dir "$work/sqlite" --size 100 >/dev/null
stores=("$work/sqlite")

if [ -n "${CARVALEN_TEST_PG:-}" ]; then
  # psql reaches the test database through the PG* variables read off the connection string.
  IFS=';' read -ra pairs <<<"$CARVALEN_TEST_PG"
  for pair in "${pairs[@]}"; do
    value=${pair#*=}
    case "$(tr '[:upper:]' '[:lower:]' <<<"${pair%%=*}" | tr -d ' ')" in
      host) export PGHOST=$value ;; port) export PGPORT=$value ;;
      database) export PGDATABASE=$value ;; userid) export PGUSER=$value ;;
      password) export PGPASSWORD=$value ;;
    esac
  done
  pg_schema="carvalen_py_$$"
  demo_db=$work/sqlite/contracts.db
  {
    echo "SET client_min_messages TO warning; DROP SCHEMA IF EXISTS $pg_schema CASCADE;"
    echo "CREATE SCHEMA $pg_schema; SET search_path TO $pg_schema;"
    "$tool" schema --provider postgresql
  } | psql -X -q -v ON_ERROR_STOP=1 >/dev/null
  tables=$(sqlite3 "$demo_db" \
    "SELECT name FROM sqlite_master WHERE type = 'table' AND name NOT LIKE 'sqlite_%'")
  for table in $tables; do
    columns=$(sqlite3 "$demo_db" "SELECT group_concat(name, ', ') FROM pragma_table_info('$table')")
    sqlite3 -csv -nullvalue '\N' "$demo_db" "SELECT * FROM $table" |
      psql -X -q -v ON_ERROR_STOP=1 \
        -c "\\copy $pg_schema.$table ($columns) FROM STDIN WITH (FORMAT csv, NULL '\\N')"
    # Some operations' joins have no ORDER BY, so their rows come in the plan's order: statistics
    # taken now keep autovacuum from changing the plan between the tool's calls and ours.
    psql -X -q -v ON_ERROR_STOP=1 -c "ANALYZE $pg_schema.$table" >/dev/null
  done
  mkdir -p "$work/pg"
  sed -e "s|^EContract = .*|EContract = \"$CARVALEN_TEST_PG;options=-csearch_path=$pg_schema\"|" \
    "$work/sqlite/Vendra.toml" >"$work/pg/Vendra.toml"
  stores+=("$work/pg")
elif [ -n "${CARVALEN_TEST_REQUIRE_PG:-}" ] && [ "$CARVALEN_TEST_REQUIRE_PG" != 0 ]; then
  echo "PostgreSQL was asked for (CARVALEN_TEST_REQUIRE_PG) but CARVALEN_TEST_PG is not set" >&2
  exit 1
else
  stores+=("") # no store: pytest reports the PostgreSQL run's cases as skipped, with the reason
fi

export CARVALEN_LIBRARY=$library CARVALEN_CLI=$tool CARVALEN_LOG=$work/carvalen.log
export PYTHONDONTWRITEBYTECODE=1 # keep the source tree clean
for store in "${stores[@]}"; do
  export CARVALEN_CONFIG_DIR=$store
  if [ -z "$store" ]; then
    echo "== pg: skipped, CARVALEN_TEST_PG is not set" >&2
    (cd python && CARVALEN_NO_STORE="PostgreSQL: CARVALEN_TEST_PG is not set" \
      "$python" -m pytest -q -rs -p no:cacheprovider tests)
    continue
  fi
  echo "== $(basename "$store"): C check and Python tests" >&2
  "$work/capi_check" tests/capi/cases.tsv "$tool"
  (cd python && "$python" -m pytest -q -rs -p no:cacheprovider tests)
done

echo "== docs/operations.md and the package's function modules are current" >&2
"$python" scripts/operations-doc.py --tool "$tool" --check docs/operations.md \
  --examples src/api/plain_examples.json
"$python" scripts/python-api.py --tool "$tool" --check

echo "== mypy --strict: the package and a script written against it" >&2
(cd python && "$python" -m mypy --strict --cache-dir "$work/mypy" carvalen ../examples/price.py)
(cd "$work" && CARVALEN_CONFIG_DIR=$work/sqlite PYTHONPATH=$root/python \
  "$python" "$root/examples/price.py" >/dev/null)

echo "== Python package installed offline into a fresh venv" >&2
"$python" -m venv "$work/venv"
"$work/venv/bin/pip" install --quiet --no-index --no-cache-dir ./python
left=$(git status --porcelain --ignored python)
if [ -n "$left" ]; then
  echo "installing the package left files in python/:" >&2
  echo "$left" >&2
  exit 1
fi
(cd "$work" && CARVALEN_CONFIG_DIR=$work/sqlite "$work/venv/bin/python" -c '
import carvalen
price = carvalen.call("ContractLine.GetPrice", i_lContractHeaderID=1, i_lContractLineID=1,
                      i_fQuantity=60.0)
assert price.value == 8.0, price
price = carvalen.contract_line.get_price(contract_header_id=1, contract_line_id=1, quantity=60.0)
assert (price.result, price.currency_code) == (8.0, "EUR"), price')
