#!/usr/bin/env bash
# Installs the Debian 12 packages Carvalen builds and tests with, and the npm packages of the
# generated-client check (scripts/clients, pinned by its package-lock.json). Safe to run again: it
# only calls apt or npm when something is missing.
set -euo pipefail

packages=(
  build-essential clang libclang-rt-14-dev cmake ninja-build ccache pkg-config clang-format
  clang-tidy
  libsqlite3-dev sqlite3 libpq-dev postgresql pgbouncer
  libtomlplusplus-dev nlohmann-json3-dev libfmt-dev libcli11-dev
  libgtest-dev libgmock-dev libbenchmark-dev libcpp-httplib-dev libboost-dev curl
  wrk prometheus nodejs lintian
  python3 python3-pytest python3-venv python3-mypy
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  echo "Installing: ${missing[*]}" >&2
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# Debian's own nodejs comes without npm (NodeSource's carries it, and conflicts with Debian's).
if ! command -v npm >/dev/null; then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends npm >/dev/null
fi
clients="$(dirname "$0")/clients"
if [ ! -f "$clients/node_modules/.package-lock.json" ] ||
  [ "$clients/package-lock.json" -nt "$clients/node_modules/.package-lock.json" ]; then
  (cd "$clients" && npm ci --no-audit --no-fund --loglevel=error >/dev/null)
fi
