#!/bin/sh
# Runs the PostgreSQL cases of a test executable through the PgBouncer of scripts/pgbouncer.sh
# (reached through CARVALEN_TEST_PGBOUNCER, its "Host=...;Port=..."), pooling in MODE.
#   via-pgbouncer.sh Session|Transaction EXECUTABLE [GTEST_FILTER]   (default: every PostgreSQL case)
# Exit status 77 (skipped) when no PgBouncer is given, 1 when CARVALEN_TEST_REQUIRE_PG asked for it.
if [ -z "${CARVALEN_TEST_PGBOUNCER:-}" ] || [ -z "${CARVALEN_TEST_PG:-}" ]; then
  echo "no PgBouncer: set CARVALEN_TEST_PG and CARVALEN_TEST_PGBOUNCER (scripts/pgbouncer.sh)"
  [ -n "${CARVALEN_TEST_REQUIRE_PG:-}" ] && [ "$CARVALEN_TEST_REQUIRE_PG" != 0 ] && exit 1
  exit 77
fi
CARVALEN_TEST_PG_VIA="$CARVALEN_TEST_PGBOUNCER;Database=carvalen_$(echo "$1" | tr 'A-Z' 'a-z');Pooler=$1" \
  exec "$2" --gtest_filter="${3:-*PostgreSQL*}"
