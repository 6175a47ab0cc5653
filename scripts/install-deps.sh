#!/usr/bin/env bash
# Installs the Debian 12 packages Carvalen builds and tests with. Safe to run again: it only
# calls apt when something is missing.
set -euo pipefail

packages=(
  build-essential clang libclang-rt-14-dev cmake ninja-build pkg-config clang-format clang-tidy
  libsqlite3-dev sqlite3 libpq-dev postgresql pgbouncer
  libtomlplusplus-dev nlohmann-json3-dev libfmt-dev libcli11-dev
  libgtest-dev libgmock-dev libbenchmark-dev libcpp-httplib-dev libboost-dev curl
  haproxy wrk prometheus nodejs lintian
  python3 python3-pytest python3-venv python3-mypy
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
echo "Installing: ${missing[*]}" >&2
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
