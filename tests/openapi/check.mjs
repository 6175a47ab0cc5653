// The OpenAPI document against a real validator and a running service: it must be valid
// OpenAPI 3.1, be what `carvalen openapi` prints, and every answer a client gets must match the
// schema the document gives for it. The client is written against the document alone, with
// Node's fetch: paths, bodies and schemas all come from it.
//
//   node check.mjs CARVALEN_TOOL     (@apidevtools/swagger-parser and ajv installed beside it)
import { spawn, spawnSync } from "node:child_process";
import { mkdtempSync, rmSync } from "node:fs";
import { tmpdir } from "node:os";
import { join } from "node:path";
import { createInterface } from "node:readline";
import SwaggerParser from "@apidevtools/swagger-parser";
import Ajv2020 from "ajv/dist/2020.js";

const tool = process.argv[2];
const folder = mkdtempSync(join(tmpdir(), "carvalen-openapi-"));
const env = { ...process.env, CARVALEN_CONFIG_DIR: folder, CARVALEN_LOG: join(folder, "log") };
delete env.CARVALEN_SERVICE_TOKENS;
let failures = 0;
const check = (ok, what) => {
  console.log(`${ok ? "ok  " : "FAIL"} ${what}`);
  if (!ok) failures += 1;
};

spawnSync(tool, ["init-demo", "--dir", folder], { env, stdio: "ignore" });
const printed = JSON.parse(spawnSync(tool, ["openapi"], { env, encoding: "utf8" }).stdout);
const server = spawn(tool, ["serve", "--listen", "127.0.0.1:0", "--access-log", "/dev/null"], {
  env,
  stdio: ["ignore", "pipe", "inherit"],
});
try {
  const first = await new Promise((resolve, reject) => {
    createInterface({ input: server.stdout }).once("line", resolve);
    server.once("exit", () => reject(new Error("the service did not start")));
    setTimeout(() => reject(new Error("the service did not start in 10 s")), 10000);
  });
  const base = first.slice(first.indexOf("http://"));

  const served = await (await fetch(`${base}/openapi.json`)).json();
  check(JSON.stringify(served) === JSON.stringify(printed), "GET /openapi.json is what carvalen openapi prints");
  const api = await SwaggerParser.validate(structuredClone(served));
  check(api.openapi === "3.1.0", `valid OpenAPI ${api.openapi}, ${Object.keys(api.paths).length} paths`);

  const ajv = new Ajv2020({ strict: false, allErrors: true, validateFormats: false });
  ajv.addSchema({ $id: "https://carvalen.invalid/openapi.json", ...served });
  const pointer = (...parts) =>
    parts.map((p) => String(p).replaceAll("~", "~0").replaceAll("/", "~1")).join("/");
  const schemaOf = (path, status) => {
    const answer = served.paths[path].post.responses[status];
    const ref = answer.$ref ? answer.$ref.slice(1) : "/" + pointer("paths", path, "post", "responses", status);
    return ajv.compile({ $ref: `https://carvalen.invalid/openapi.json#${ref}/content/application~1json/schema` });
  };

  // Each case names its operation by the document's path and sends only parameters it lists.
  const cases = [
    ["/v1/ContractLine/GetPrice", { i_lContractHeaderID: 1, i_lContractLineID: 1, i_fQuantity: 60.0 }, 200],
    ["/v1/ContractLine/GetContractLineDetail", { i_lContractHeaderID: 1, i_lContractLineID: 1 }, 200],
    ["/v1/Contract/ContractHeaderExists", { i_lContractHeaderID: 1 }, 200],
    ["/v1/Contract/GetActiveContractLines",
     { i_aContractFields: { $array: ["CONTRACTLINEID", "PRICE"] }, i_lContractHeaderID: 1 }, 200],
    ["/v1/ContractLine/GetPrice", { i_lContractHeaderID: "one", i_lContractLineID: 1, i_fQuantity: 1 }, 422],
    ["/v1/ContractLine/GetPrice", { i_lContractHeaderID: 1 }, 400],
  ];
  for (const [path, body, status] of cases) {
    const operation = served.paths[path]?.post;
    if (!operation) {
      check(false, `${path} is in the document`);
      continue;
    }
    const declared = operation.requestBody.content["application/json"].schema.properties;
    check(Object.keys(body).every((name) => name in declared), `${path}: the arguments are the document's`);
    const res = await fetch(`${base}${path}`, {
      method: "POST",
      headers: { "Content-Type": "application/json" },
      body: JSON.stringify(body),
    });
    const answer = await res.json();
    check(res.status === status, `${path} answers ${res.status} (expected ${status})`);
    const validate = schemaOf(path, String(status));
    check(validate(answer), `${path} ${status}: the answer matches its schema` +
      (validate.errors ? ` ${JSON.stringify(validate.errors.slice(0, 3))}` : ""));
  }
} finally {
  server.kill("SIGTERM");
  rmSync(folder, { recursive: true, force: true });
}
if (failures > 0) {
  console.error(`${failures} check(s) failed`);
  process.exit(1);
}
