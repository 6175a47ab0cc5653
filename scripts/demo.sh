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
  # Echo the command as one would type it: values that need it in single quotes.
  local shown="" arg
  for arg in "$@"; do
    if [[ $arg =~ ^[A-Za-z0-9_.=+-]+$ ]]; then shown+=" $arg"; else shown+=" ${arg%%=*}='${arg#*=}'"; fi
  done
  echo "\$ carvalen$shown"
  ./build/carvalen "$@" || true
  echo
}

run call ContractLine.GetContractLineNumber i_lQuotationNumber=1001
run call ContractLine.GetPrice i_lContractHeaderID=1 i_lContractLineID=1 i_fQuantity=60.0
run call ContractLine.GetDiscount i_lContractHeaderID=1 i_lContractLineID=1 i_fQuantity=60.0
run call ContractLine.GetEffectivePrice i_fQuantity=100.0 i_lBusinessPartner=501 i_lProductId=7001
run call ContractLine.GetPriceBreakup i_lContractHeaderID=1 i_lContractLineID=1
run call ContractLine.MaximumQuantityExceeded i_lContractHeaderID=1 i_lContractLineID=1 i_fQuantity=3000.0
run call ContractLine.GetEligibleContractsForRFQCreation \
  i_aContractFields='{"$array": ["CONTRACTHEADERID", "CONTRACTLINEID", "EXPIRYDATETIME"]}'
run call ContractLine.GetContractFieldValue i_lContractHeaderID=1 i_lContractLineID=99 i_sField='"PRICE"'
