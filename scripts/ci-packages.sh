#!/usr/bin/env bash
# Builds the Debian packages (stripped, debug information in -dbgsym packages beside them) and,
# as root, installs them into a state with none of them, runs the demo and a C, a C++ and a
# Python host against the installed files with no flags or variables of their own, then removes
# them again.
#   scripts/ci-packages.sh    (the preset "release": the packages are left in build-release)
set -euo pipefail
cd "$(dirname "$0")/.."
dir=build-release
packages=(python3-carvalen carvalen libcarvalen-dev libcarvalen1)

echo "== packages ($dir)" >&2
cmake --preset release -DCARVALEN_WERROR=ON >/dev/null
cmake --build --preset release -j"$(nproc)"
rm -f "$dir"/*.deb "$dir"/*.ddeb
(cd "$dir" && cpack -G DEB >/dev/null)
status=0
for package in "${packages[@]}"; do
  deb=$(ls "$dir/${package}_"*.deb 2>/dev/null || true)
  [ -n "$deb" ] || { echo "no package $package was built" >&2; status=1; }
done
[ "$status" -eq 0 ] || exit 1
work=$(mktemp -d /tmp/carvalen-packages.XXXXXX)
chmod 0755 "$work"
for name in carvalen libcarvalen1; do
  # Stripped: no debug sections in what is installed; the -dbgsym package holds them by build id.
  dpkg-deb -x "$dir/${name}_"*.deb "$work/$name"
  while IFS= read -r binary; do
    if readelf -S "$binary" | grep -q debug_info; then
      echo "$binary of $name carries debug information" >&2
      status=1
    fi
  done < <(find "$work/$name" -type f \( -path '*/bin/carvalen' -o -name 'libcarvalen.so.*' \))
  if ! dpkg-deb -c "$dir/${name}-dbgsym_"*.ddeb | grep -q '/usr/lib/debug/.build-id/.*\.debug$'; then
    echo "no debug symbols package for $name" >&2
    status=1
  fi
done
dpkg-deb -f "$dir/libcarvalen1_"*.deb Depends

# lintian finds nothing above a note; each tag left is overridden in packaging/deb/lintian/ with
# its reason.
lintian --fail-on error,warning --tag-display-limit 0 "$dir"/*.deb || status=1

if [ "$(id -u)" -ne 0 ] || ! command -v dpkg >/dev/null; then
  echo "ci-packages: not root, the packages were built but not installed" >&2
  rm -rf "$work"
  exit $status
fi

remove() { dpkg --purge "${packages[@]}" >/dev/null 2>&1 || true; }
cleanup() {
  remove
  rm -rf "$work"
}
trap cleanup EXIT
remove # a state with none of them, whatever an earlier run left
dpkg -i "$dir"/libcarvalen1_*.deb "$dir"/libcarvalen-dev_*.deb "$dir"/carvalen_*.deb \
  "$dir"/python3-carvalen_*.deb >/dev/null

# The tool and the demo as the README runs them, from the installed files.
/usr/bin/carvalen --version
/usr/bin/carvalen init-demo --dir "$work/demo" --size 100 >/dev/null
export CARVALEN_CONFIG_DIR=$work/demo
/usr/bin/carvalen call ContractLine.GetPrice i_lContractHeaderID=1 i_lContractLineID=1 \
  i_fQuantity=60 || status=1
# The man page renders without a warning, quotes kept; what it names is installed.
MANWIDTH=100 man --warnings carvalen >"$work/man.txt" 2>"$work/man.err" || status=1
if [ -s "$work/man.err" ] || ! grep -q '{"result": ..., "byref": {...}}' "$work/man.txt"; then
  echo "man carvalen renders badly:" >&2
  cat "$work/man.err" >&2
  status=1
fi
for file in /usr/share/doc/carvalen/examples/Vendra.toml /usr/share/doc/carvalen/configuration.md \
  /usr/share/doc/carvalen/cli.md /usr/share/doc/carvalen/service.md \
  /usr/share/doc/carvalen/operations.md; do
  [ -f "$file" ] || { echo "$file is not installed" >&2; status=1; }
done
[ -f /usr/share/bash-completion/completions/carvalen ] || status=1
if command -v systemd-analyze >/dev/null; then
  systemd-analyze verify /usr/lib/systemd/system/carvalen.service || status=1
fi

# A C host and a C++ host (CMake package), with nothing but what the packages installed.
# shellcheck disable=SC2046
cc -std=c99 tests/capi/capi_check.c -o "$work/capi_check" $(pkg-config --cflags --libs carvalen)
# (the log of the cases that fail on purpose kept out of the way)
CARVALEN_LOG=$work/capi.log "$work/capi_check" tests/capi/cases.tsv /usr/bin/carvalen || status=1
cmake -S examples -B "$work/example" -G Ninja >/dev/null
cmake --build "$work/example" >/dev/null
"$work/example/price_line" 1 1 60 || status=1
# The Python package, from wherever the interpreter is started.
(cd "$work" && env -u CARVALEN_LIBRARY -u LD_LIBRARY_PATH /usr/bin/python3 -c '
import carvalen
price = carvalen.call("ContractLine.GetPrice", i_lContractHeaderID=1, i_lContractLineID=1,
                      i_fQuantity=60.0)
print("python:", carvalen.__file__, price)
assert carvalen.__file__.startswith("/usr/lib/python3/dist-packages/")
') || status=1

remove
for file in /usr/bin/carvalen /usr/include/carvalen /usr/lib/python3/dist-packages/carvalen; do
  if [ -e "$file" ]; then
    echo "$file is left after the packages were removed" >&2
    status=1
  fi
done
exit $status
