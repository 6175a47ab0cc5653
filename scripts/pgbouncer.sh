#!/usr/bin/env bash
# Starts or stops a private PgBouncer (Debian's package) in front of the test cluster that
# scripts/pg-test-cluster.sh runs, configured as shipped apart from where it listens and what it
# serves: no ignore_startup_parameters, so startup options are refused as they are by default.
#
#   scripts/pgbouncer.sh start DIR PGDIR   serve the cluster whose socket folder is PGDIR
#   scripts/pgbouncer.sh stop DIR
#
# It listens only on a unix socket in DIR, on port $CARVALEN_PGBOUNCER_PORT (54339 by default),
# and serves the cluster's database carvalen_test under two names: carvalen_session (session
# pooling) and carvalen_transaction (transaction pooling, with two server connections for all
# clients, so that consecutive transactions of one client do land on different ones). Every local
# user is trusted, as by the cluster. Prints what a test appends to CARVALEN_TEST_PG:
#
#   Host=DIR;Port=54339
#
# PgBouncer refuses to run as root, so as root it runs as the postgres user.
set -euo pipefail

usage() {
  echo "usage: $0 start DIR PGDIR | stop DIR" >&2
  exit 2
}
[ $# -ge 2 ] || usage
action=$1
dir=$2
port=${CARVALEN_PGBOUNCER_PORT:-54339}
pg_port=${CARVALEN_PG_PORT:-54329}

. "$(dirname "$0")/pg-common.sh" # as_owner

case $action in
  start)
    [ $# -eq 3 ] || usage
    pg_dir=$(cd "$3" && pwd)
    mkdir -p "$dir"
    dir=$(cd "$dir" && pwd)
    [ "$(id -u)" -eq 0 ] && chown postgres: "$dir"
    chmod 0755 "$dir"
    cat >"$dir/pgbouncer.ini" <<INI
[databases]
carvalen_session = host=$pg_dir port=$pg_port dbname=carvalen_test pool_mode=session
carvalen_transaction = host=$pg_dir port=$pg_port dbname=carvalen_test pool_mode=transaction pool_size=2

[pgbouncer]
logfile = $dir/pgbouncer.log
pidfile = $dir/pgbouncer.pid
listen_port = $port
unix_socket_dir = $dir
auth_type = trust
auth_file = $dir/userlist.txt
INI
    echo '"carvalen" ""' >"$dir/userlist.txt"
    [ "$(id -u)" -eq 0 ] && chown postgres: "$dir/pgbouncer.ini" "$dir/userlist.txt"
    if [ ! -f "$dir/pgbouncer.pid" ] || ! kill -0 "$(cat "$dir/pgbouncer.pid")" 2>/dev/null; then
      as_owner /usr/sbin/pgbouncer -q -d "$dir/pgbouncer.ini"
      for _ in $(seq 100); do
        [ -S "$dir/.s.PGSQL.$port" ] && break
        sleep 0.1
      done
      [ -S "$dir/.s.PGSQL.$port" ] || { cat "$dir/pgbouncer.log" >&2; exit 1; }
    fi
    echo "Host=$dir;Port=$port"
    ;;
  stop)
    [ -f "$dir/pgbouncer.pid" ] || exit 0
    pid=$(cat "$dir/pgbouncer.pid")
    kill "$pid" 2>/dev/null || exit 0
    for _ in $(seq 50); do
      kill -0 "$pid" 2>/dev/null || exit 0
      sleep 0.1
    done
    kill -9 "$pid" 2>/dev/null || true
    ;;
  *)
    usage
    ;;
esac
