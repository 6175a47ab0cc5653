#!/usr/bin/env bash
# Starts or stops a private PostgreSQL cluster for the tests, with the server programs of the
# newest major version installed.
#
#   scripts/pg-test-cluster.sh start DIR   create the cluster under DIR (first time) and start it
#   scripts/pg-test-cluster.sh stop DIR    stop it
#
# The server listens only on a unix socket in DIR (no TCP), on port $CARVALEN_PG_PORT (54329 by
# default), with fsync off: it holds nothing worth keeping. It has a database carvalen_test owned
# by the login role carvalen, and trusts every local connection. The tests reach it with
#
#   CARVALEN_TEST_PG='Provider=PostgreSQL;Host=DIR;Port=54329;Database=carvalen_test;User ID=carvalen'
#
# initdb refuses to run as root, so as root the binaries run as the postgres user and DIR is
# handed to it. Prints nothing but errors.
set -euo pipefail

usage() {
  echo "usage: $0 start|stop DIR" >&2
  exit 2
}
[ $# -eq 2 ] || usage
action=$1
dir=$2
. "$(dirname "$0")/pg-common.sh"
port=${CARVALEN_PG_PORT:-54329}

case $action in
  start)
    mkdir -p "$dir"
    dir=$(cd "$dir" && pwd)
    data=$dir/data
    if [ "$(id -u)" -eq 0 ]; then
      chown postgres: "$dir"
      chmod 0755 "$dir"
    fi
    if [ ! -f "$data/PG_VERSION" ]; then
      as_owner "$bin/initdb" -D "$data" -U postgres --auth=trust -E UTF8 --no-locale >/dev/null
      cat >>"$data/postgresql.conf" <<EOF
listen_addresses = ''
fsync = off
synchronous_commit = off
full_page_writes = off
max_connections = 200
logging_collector = off
EOF
    fi
    if ! as_owner "$bin/pg_ctl" -D "$data" status >/dev/null 2>&1; then
      # Socket folder and port on the command line, so a moved DIR still works.
      as_owner "$bin/pg_ctl" -D "$data" -l "$dir/server.log" -w -t 60 \
        -o "-k '$dir' -p $port" start >/dev/null
    fi
    psql_admin() {
      as_owner "$bin/psql" -X -q -v ON_ERROR_STOP=1 -h "$dir" -p "$port" -U postgres -d postgres "$@"
    }
    if [ -z "$(psql_admin -tAc "SELECT 1 FROM pg_roles WHERE rolname = 'carvalen'")" ]; then
      psql_admin -c "CREATE ROLE carvalen LOGIN" >/dev/null
    fi
    if [ -z "$(psql_admin -tAc "SELECT 1 FROM pg_database WHERE datname = 'carvalen_test'")" ]; then
      psql_admin -c "CREATE DATABASE carvalen_test OWNER carvalen" >/dev/null
    fi
    ;;
  stop)
    [ -d "$dir" ] || exit 0
    dir=$(cd "$dir" && pwd)
    data=$dir/data
    [ -f "$data/PG_VERSION" ] || exit 0
    if as_owner "$bin/pg_ctl" -D "$data" status >/dev/null 2>&1; then
      as_owner "$bin/pg_ctl" -D "$data" -m fast -w stop >/dev/null
    fi
    ;;
  *)
    usage
    ;;
esac
