# Sourced by the scripts that run private PostgreSQL servers: the newest installed server
# programs in $bin, and as_owner, which runs a command as the postgres user when we are root
# (initdb refuses root).
bin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)
[ -x "$bin/initdb" ] || { echo "$0: no PostgreSQL server programs under /usr/lib/postgresql" >&2; exit 1; }

as_owner() {
  if [ "$(id -u)" -eq 0 ]; then
    runuser -u postgres -- "$@"
  else
    "$@"
  fi
}
