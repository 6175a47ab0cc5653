#!/usr/bin/env bash
# Starts or stops a private PostgreSQL replica set for the tests: a primary and two hot standbys
# that stream from it, each made with pg_basebackup -R, with the server programs of the newest
# major version installed.
#
#   scripts/pg-replica-set.sh start DIR         create the set under DIR (first time), start it
#                                               and print its client connection string
#   scripts/pg-replica-set.sh stop DIR          stop it
#   scripts/pg-replica-set.sh start-node NODE   start one server (NODE: DIR/primary, DIR/standby1, ...)
#   scripts/pg-replica-set.sh stop-node NODE    stop one server (fast shutdown)
#   scripts/pg-replica-set.sh conninfo DIR      print the client connection string of the set
#
# Each server listens only on a unix socket in its own folder DIR/<node> (no TCP): the primary on
# port $CARVALEN_PG_REPLICA_PORT (54340 by default), the standbys on the next two. The primary has
# a database carvalen_test owned by the login role carvalen, which the standbys replicate; every
# local connection is trusted. The tests find the set through
#
#   CARVALEN_TEST_PG_REPLICAS=$(scripts/pg-replica-set.sh start DIR)
#
# As root the binaries run as the postgres user, who is handed DIR. Prints nothing else but
# errors.
set -euo pipefail

usage() {
  echo "usage: $0 start|stop|conninfo DIR, or $0 start-node|stop-node DIR/NODE" >&2
  exit 2
}
[ $# -eq 2 ] || usage
action=$1
dir=$2
. "$(dirname "$0")/pg-common.sh"
base=${CARVALEN_PG_REPLICA_PORT:-54340}
nodes=(primary standby1 standby2)

# The port and socket folder live in each server's configuration, so pg_ctl needs only -D.
configure() { # NODE PORT
  cat >>"$1/data/postgresql.conf" <<EOF
port = $2
unix_socket_directories = '$1'
EOF
}

start_node() { # NODE
  if ! as_owner "$bin/pg_ctl" -D "$1/data" status >/dev/null 2>&1; then
    as_owner "$bin/pg_ctl" -D "$1/data" -l "$1/server.log" -w -t 60 start >/dev/null
  fi
}

stop_node() { # NODE
  [ -f "$1/data/PG_VERSION" ] || return 0
  if as_owner "$bin/pg_ctl" -D "$1/data" status >/dev/null 2>&1; then
    as_owner "$bin/pg_ctl" -D "$1/data" -m fast -w -t 60 stop >/dev/null
  fi
}

case $action in
  start)
    mkdir -p "$dir"
    dir=$(cd "$dir" && pwd)
    for node in "${nodes[@]}"; do mkdir -p "$dir/$node"; done
    if [ "$(id -u)" -eq 0 ]; then
      chown -R postgres: "$dir"
      chmod 0755 "$dir" "${nodes[@]/#/$dir/}"
    fi
    primary=$dir/primary
    if [ ! -f "$primary/data/PG_VERSION" ]; then
      as_owner "$bin/initdb" -D "$primary/data" -U postgres --auth=trust -E UTF8 --no-locale >/dev/null
      cat >>"$primary/data/postgresql.conf" <<EOF
listen_addresses = ''
fsync = off
full_page_writes = off
max_connections = 100
logging_collector = off
wal_level = replica
max_wal_senders = 10
hot_standby = on
EOF
      configure "$primary" "$base"
    fi
    start_node "$primary"
    psql_admin() {
      as_owner "$bin/psql" -X -q -v ON_ERROR_STOP=1 -h "$primary" -p "$base" -U postgres -d postgres "$@"
    }
    if [ -z "$(psql_admin -tAc "SELECT 1 FROM pg_roles WHERE rolname = 'carvalen'")" ]; then
      psql_admin -c "CREATE ROLE carvalen LOGIN" >/dev/null
    fi
    if [ -z "$(psql_admin -tAc "SELECT 1 FROM pg_database WHERE datname = 'carvalen_test'")" ]; then
      psql_admin -c "CREATE DATABASE carvalen_test OWNER carvalen" >/dev/null
    fi
    port=$base
    for node in standby1 standby2; do
      port=$((port + 1))
      standby=$dir/$node
      if [ ! -f "$standby/data/PG_VERSION" ]; then
        # -R writes primary_conninfo and standby.signal: the copy starts as a streaming standby.
        as_owner "$bin/pg_basebackup" -h "$primary" -p "$base" -U postgres -D "$standby/data" \
          -R -X stream -c fast
        configure "$standby" "$port"
      fi
      start_node "$standby"
    done
    bash "$0" conninfo "$dir"
    ;;
  stop)
    [ -d "$dir" ] || exit 0
    dir=$(cd "$dir" && pwd)
    for node in standby2 standby1 primary; do stop_node "$dir/$node"; done
    ;;
  start-node)
    start_node "$(cd "$dir" && pwd)"
    ;;
  stop-node)
    stop_node "$(cd "$dir" && pwd)"
    ;;
  conninfo)
    dir=$(cd "$dir" && pwd)
    echo "Provider=PostgreSQL;Host=$dir/primary,$dir/standby1,$dir/standby2;Port=$base,$((base + 1)),$((base + 2));Database=carvalen_test;User ID=carvalen"
    ;;
  *)
    usage
    ;;
esac
