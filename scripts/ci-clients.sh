#!/usr/bin/env bash
# Generates TypeScript clients from the OpenAPI document with two independent generators
# (openapi-typescript + openapi-fetch, and @hey-api/openapi-ts) and compiles each with
# `tsc --strict`, so that a schema name shadowing a language type, or a schema a generator cannot
# read, fails CI.  Usage: scripts/ci-clients.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$build/carvalen" openapi > "$work/openapi.json"
cd "$work"
npm init -y > /dev/null
# openapi-typescript reads the compiler API of TypeScript 5.
npm install --silent --no-audit --no-fund typescript@5 openapi-typescript openapi-fetch \
  @hey-api/openapi-ts > /dev/null
npx --no-install openapi-typescript openapi.json -o a/schema.d.ts > /dev/null
cat > a/client.ts <<'TS'
import createClient from "openapi-fetch";
import type { paths } from "./schema";
export const client = createClient<paths>({ baseUrl: "http://127.0.0.1:8080" });
export async function price() {
  const { data } = await client.POST("/v1/plain/ContractLine/GetPrice", {
    body: { i_lContractHeaderID: 1, i_lContractLineID: 1, i_fQuantity: 1 },
  });
  return data?.result;
}
TS
npx --no-install openapi-ts -i openapi.json -o b > /dev/null
status=0
for dir in a b; do
  if ! npx --no-install tsc --strict --noEmit --skipLibCheck --target es2022 --module nodenext \
    --moduleResolution nodenext $(find "$dir" -name '*.ts'); then
    echo "client $dir does not compile" >&2
    status=1
  fi
done
exit $status
