#!/usr/bin/env bash
# The main job: install what is needed, build, create the demo database and call a few
# operations on it, printing each command and its typed JSON answer.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target carvalen_cli -j"$(nproc)"

demo_dir="$PWD/demo"
rm -rf "$demo_dir"
./build/carvalen init-demo --dir "$demo_dir"
export CARVALEN_CONFIG_DIR="$demo_dir"
export CARVALEN_LOG="$demo_dir/carvalen.log"

run() {
  echo "\$ carvalen $*"
  ./build/carvalen "$@" || true
  echo
}

run call ContractLine.GetContractLineNumber i_lQuotationNumber=1001
run call ContractLine.GetContractLineNumber i_lQuotationNumber=999999
