// Every plain operation called through two clients generated from the OpenAPI document alone
// (openapi-typescript + openapi-fetch, and @hey-api/openapi-ts), compiled with `tsc --strict` so
// an argument the types refuse fails before anything runs, against a service on a demo store:
// each answer 200 and matching its path's schema, the arguments the path's request example. The
// document's examples must match their schemas, and the document served be `carvalen openapi`'s.
// With --document (the quick tier) no client is generated: the document must be valid OpenAPI 3.1
// to a real validator, and typed calls written with Node's fetch, failing ones too, answered as
// their schemas say.
//   node tests/clients/check.mjs [--document] CARVALEN_TOOL [HOST:PORT]
//     (npm packages: scripts/clients, by npm ci; with --document, @apidevtools/swagger-parser and
//     ajv in the folder CARVALEN_NODE_MODULES names)
import { spawn, spawnSync } from "node:child_process";
import { mkdirSync, mkdtempSync, readFileSync, rmSync, symlinkSync, writeFileSync } from "node:fs";
import { createRequire } from "node:module";
import { tmpdir } from "node:os";
import { dirname, join } from "node:path";
import { createInterface } from "node:readline";
import { fileURLToPath } from "node:url";

const here = dirname(fileURLToPath(import.meta.url));
const documentOnly = process.argv[2] === "--document";
const modules = process.env.CARVALEN_NODE_MODULES ?? join(here, "..", "..", "scripts", "clients", "node_modules");
const bin = (name) => join(modules, ".bin", name);
const load = createRequire(join(modules, "..", "package.json"));
const Ajv2020 = load("ajv/dist/2020.js");
const [tool, listen = "127.0.0.1:0"] = process.argv.slice(documentOnly ? 3 : 2);
const work = mkdtempSync(join(tmpdir(), "carvalen-clients-"));
const env = { ...process.env, CARVALEN_CONFIG_DIR: work, CARVALEN_LOG: join(work, "log") };
delete env.CARVALEN_SERVICE_TOKENS;
let failures = 0;
const check = (ok, what) => {
  if (!ok) console.log(`FAIL ${what}`);
  if (!ok) failures += 1;
};
const run = (command, args) => {
  const done = spawnSync(command, args, { cwd: work, env, encoding: "utf8" });
  if (done.status !== 0) throw new Error(`${command} ${args.join(" ")}:\n${done.stdout}${done.stderr}`);
  return done.stdout;
};

try {
  run(tool, ["init-demo", "--dir", work]);
  const api = JSON.parse(run(tool, ["openapi"]));
  writeFileSync(join(work, "openapi.json"), JSON.stringify(api));
  const calls = [];
  if (!documentOnly) calls.push(...clients(api));

  const server = spawn(tool, ["serve", "--listen", listen, "--access-log", "/dev/null"], {
    env,
    stdio: ["ignore", "pipe", "inherit"],
  });
  try {
    const first = await new Promise((resolve, reject) => {
      createInterface({ input: server.stdout }).once("line", resolve);
      server.once("exit", () => reject(new Error("the service did not start")));
      setTimeout(() => reject(new Error("the service did not start in 10 s")), 10000);
    });
    const base = first.slice(first.indexOf("http://")).trim();
    const served = await (await fetch(`${base}/openapi.json`)).json();
    check(JSON.stringify(served) === JSON.stringify(api), "GET /openapi.json is what carvalen openapi prints");
    const ajv = new Ajv2020({ strict: false, allErrors: true, validateFormats: false });
    ajv.addSchema({ $id: "https://carvalen.invalid/openapi.json", ...api });
    const pointer = (path) => path.replaceAll("~", "~0").replaceAll("/", "~1");
    const schema = (path, where) => ajv.compile({
      $ref: `https://carvalen.invalid/openapi.json#/paths/${pointer(path)}/post/${where}/content/application~1json/schema`,
    });
    // The document's own examples are answers and requests its schemas accept.
    for (const [path, item] of Object.entries(api.paths)) {
      if (!path.startsWith("/v1/plain/")) continue;
      for (const [where, media] of [["requestBody", item.post.requestBody],
        ["responses/200", item.post.responses["200"]]]) {
        const example = media.content["application/json"].example;
        check(example !== undefined && schema(path, where)(example), `${path} ${where}: the example matches its schema`);
      }
    }
    if (documentOnly) await typedCalls(api, base, ajv, schema);
    const require = createRequire(join(work, "x.js"));
    for (const dir of documentOnly ? [] : ["a", "b"]) {
      const answers = await require(join(work, dir, "js", "calls.js")).calls(base);
      check(answers.length === calls.length, `client ${dir} made every call`);
      for (const [path, status, answer] of answers) {
        const validate = schema(path, "responses/200");
        check(status === 200, `client ${dir} ${path} answers ${status}: ${JSON.stringify(answer)}`);
        check(validate(answer), `client ${dir} ${path}: the answer matches its schema ` +
          JSON.stringify(validate.errors?.slice(0, 3)));
      }
      console.log(`client ${dir}: ${answers.length} operations called`);
    }
  } finally {
    server.kill("SIGTERM");
  }
} finally {
  rmSync(work, { recursive: true, force: true });
}
if (failures > 0) {
  console.error(`${failures} check(s) failed`);
  process.exit(1);
}

/// Valid OpenAPI 3.1 to a real validator; typed calls each answered with the status and schema
/// expected, the arguments only those the document lists.
async function typedCalls(api, base, ajv, schema) {
  const parsed = await load("@apidevtools/swagger-parser").validate(structuredClone(api));
  check(parsed.openapi === "3.1.0", `valid OpenAPI, not ${parsed.openapi}`);
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
    const operation = api.paths[path]?.post;
    check(operation !== undefined, `${path} is in the document`);
    if (!operation) continue;
    const declared = operation.requestBody.content["application/json"].schema.properties;
    check(Object.keys(body).every((name) => name in declared), `${path}: the arguments are the document's`);
    const res = await fetch(`${base}${path}`, { method: "POST", headers: { "Content-Type": "application/json" }, body: JSON.stringify(body) });
    check(res.status === status, `${path} answers ${res.status} (expected ${status})`);
    const answer = operation.responses[status];  // an error answer may be a shared one
    const validate = answer.$ref
      ? ajv.compile({ $ref: `https://carvalen.invalid/openapi.json${answer.$ref}/content/application~1json/schema` })
      : schema(path, `responses/${status}`);
    check(validate(await res.json()), `${path} ${status}: the answer matches its schema ` +
      JSON.stringify(validate.errors?.slice(0, 3)));
  }
}

/// Generates the two clients and compiles a call of every plain path through each.
function clients(api) {
  symlinkSync(modules, join(work, "node_modules"));
  mkdirSync(join(work, "a"));
  run(bin("openapi-typescript"), ["openapi.json", "-o", "a/schema.d.ts"]);
  run(bin("openapi-ts"), ["-i", "openapi.json", "-o", "b"]);
  const sdk = readFileSync(join(work, "b", "sdk.gen.ts"), "utf8");
  const sdkNames = new Map(Array.from(sdk.matchAll(/export const (\w+) = [^]*?url: '([^']+)'/g), (m) => [m[2], m[1]]));

  // One call per plain path, with the document's example as its arguments.
  const calls = [];
  for (const [path, item] of Object.entries(api.paths)) {
    if (!path.startsWith("/v1/plain/")) continue;
    const body = item.post.requestBody.content["application/json"].example;
    check(sdkNames.has(path), `${path} has a function in the second client`);
    if (body !== undefined && sdkNames.has(path)) calls.push({ path, body: JSON.stringify(body), fn: sdkNames.get(path) });
  }
  // The same calls through each client: its imports, its set-up, its call of one path.
  for (const [dir, imports, setup, call] of [
    ["a", ['import createClient from "openapi-fetch";', 'import type { paths } from "./schema";'],
      "const client = createClient<paths>({ baseUrl });", (c) => `client.POST("${c.path}", { body: ${c.body} })`],
    ["b", ['import { client } from "./client.gen";', 'import * as sdk from "./sdk.gen";'],
      "client.setConfig({ baseUrl });", (c) => `sdk.${c.fn}({ body: ${c.body} })`],
  ]) {
    writeFileSync(join(work, dir, "calls.ts"), [
      ...imports,
      "export async function calls(baseUrl: string): Promise<[string, number, unknown][]> {",
      `  ${setup}`,
      "  const out: [string, number, unknown][] = [];",
      ...calls.flatMap((c, n) => [`  const r${n} = await ${call(c)};`,
        `  out.push(["${c.path}", r${n}.response?.status ?? 0, r${n}.data ?? r${n}.error]);`]),
      "  return out;",
      "}",
    ].join("\n"));
    run(bin("tsc"), ["--strict", "--skipLibCheck", "--target", "es2022", "--module", "nodenext",
      "--moduleResolution", "nodenext", "--outDir", join(dir, "js"), join(dir, "calls.ts")]);
  }
  return calls;
}
