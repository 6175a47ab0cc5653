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

# run EXPECTED-STATUS ARGS...: echoes the command as one would type it (values that need it in
# single quotes), runs it and stops the demo when its exit status is not the expected one.
run() {
  local expected=$1 shown="" arg status=0
  shift
  for arg in "$@"; do
    if [[ $arg =~ ^[A-Za-z0-9_.=+-]+$ ]]; then shown+=" $arg"; else shown+=" ${arg%%=*}='${arg#*=}'"; fi
  done
  echo "\$ carvalen$shown"
  ./build/carvalen "$@" || status=$?
  echo
  if [ "$status" -ne "$expected" ]; then
    echo "demo: exit status $status, expected $expected" >&2
    exit 1
  fi
}

run 0 call ContractLine.GetContractLineNumber i_lQuotationNumber=1001
run 0 call ContractLine.GetPrice i_lContractHeaderID=1 i_lContractLineID=1 i_fQuantity=60.0
run 0 call ContractLine.GetDiscount i_lContractHeaderID=1 i_lContractLineID=1 i_fQuantity=60.0
run 0 call ContractLine.GetEffectivePrice i_fQuantity=100.0 i_lBusinessPartner=501 i_lProductId=7001
run 0 call ContractLine.GetPriceBreakup i_lContractHeaderID=1 i_lContractLineID=1
run 0 call ContractLine.MaximumQuantityExceeded i_lContractHeaderID=1 i_lContractLineID=1 i_fQuantity=3000.0
run 0 call ContractLine.GetEligibleContractsForRFQCreation \
  i_aContractFields='{"$array": ["CONTRACTHEADERID", "CONTRACTLINEID", "EXPIRYDATETIME"]}'
run 1 call ContractLine.GetContractFieldValue i_lContractHeaderID=1 i_lContractLineID=99 i_sField='"PRICE"'

# The Contract class: headers, line search, active lines as a record set, bulk pricing.
run 0 call Contract.GetContractHeader i_lBusinessPartnerId=501
run 0 call Contract.GetContractLineIdforProduct i_lProductId=7001 i_lBusinessPartnerId=501
run 0 call Contract.GetActiveContractLines \
  i_aContractFields='{"$array": ["CONTRACTLINEID", "PRODUCTID", "PRICE"]}' i_lContractHeaderID=1
run 0 call Contract.getActiveContractLineFieldsperSupplier i_lProductId=7001 \
  i_aBusinessPartnerIds='{"$array": [501, 502]}' i_aContractLineFieldNames='{"$array": ["PRICE", "SHIPPINGTERM"]}'
run 0 call Contract.GetContractHeaderAttachments i_lContractHeaderID=1
run 0 call Contract.GetActiveContractLinesProc \
  i_oDicBPProductQuan='{"$dict": [[7001, {"$array": [501, 100.0]}], [7002, {"$array": [501, 10.0]}]]}'

# The same call through the service: started in the background on a free loopback port, one
# request, then stopped with SIGTERM, which must end it with status 0.
serve_out="$demo_dir/serve.out"
./build/carvalen serve --listen 127.0.0.1:0 --access-log "$demo_dir/access.log" >"$serve_out" &
serve_pid=$!
for _ in $(seq 100); do
  grep -q '^listening on ' "$serve_out" && break
  sleep 0.1
done
url=$(sed -n 's/^listening on //p' "$serve_out")
[ -n "$url" ] || { echo "demo: the service did not start" >&2; kill "$serve_pid"; exit 1; }
body='{"i_lContractHeaderID": 1, "i_lContractLineID": 1, "i_fQuantity": 60.0}'
echo "\$ curl -s $url/v1/ContractLine/GetPrice -d '$body'"
curl -s --fail-with-body "$url/v1/ContractLine/GetPrice" -d "$body"
echo
kill -TERM "$serve_pid"
serve_status=0
wait "$serve_pid" || serve_status=$?
if [ "$serve_status" -ne 0 ]; then
  echo "demo: the service exited with status $serve_status after SIGTERM" >&2
  exit 1
fi
