// The package as a host receives it: packed by npm, unpacked into a host's node_modules, its types
// compiled by the locked TypeScript for a strict CommonJS host (exactOptionalPropertyTypes, lib
// es2020) and an ES module host (`await using`), and both hosts run on the simulated desktop.

import assert from "node:assert/strict";
import { spawnSync } from "node:child_process";
import * as fs from "node:fs";
import * as path from "node:path";
import { before, describe, it } from "node:test";
import { scratchPath, SimWorld, simBinary, worldFile } from "./support.js";

const clientRoot = path.resolve(__dirname, "..", "..");
const tsc = path.join(path.dirname(require.resolve("typescript/package.json")), "bin", "tsc");

/** Runs a program to its end; throws with its output unless it exits 0. */
function run(file: string, args: string[], options: { cwd?: string; env?: NodeJS.ProcessEnv }) {
  const result = spawnSync(file, args, { encoding: "utf8", ...options });
  if (result.status !== 0) {
    throw new Error(
      `${file} ${args.join(" ")}: ${result.error ?? result.status}\n${result.stdout}${result.stderr}`,
    );
  }
  return result.stdout;
}

// A host whose own code uses the client as a strict TypeScript host may, compiled to CommonJS.
const strictHost = `
import {
  Velmuro,
  VelmuroError,
  type CallOptions,
  type MuteEnd,
  type VelmuroErrorCode,
} from "velmuro-client";
// @ts-expect-error: the client's own modules are not part of the package
import type { MuteHandle } from "velmuro-client/dist/src/mute.js";

async function main(): Promise<void> {
  const binaryPath = process.argv[2]!;
  // Options built from values that may be undefined, as exactOptionalPropertyTypes types them.
  const signal: AbortSignal | undefined = process.argv[3] === "aborted" ? AbortSignal.abort() : undefined;
  const timeoutMs: number | undefined = undefined;
  const options: CallOptions = { signal, timeoutMs };
  const client = new Velmuro({ binaryPath, env: undefined, timeoutMs, forceKillAfterMs: undefined });
  const permission = await client.checkAudioPermission(options);
  let failure: { code: VelmuroErrorCode; cause: unknown } | undefined;
  try {
    await client.muteProcesses(["no.such.process"], { ...options, pid: undefined });
  } catch (error) {
    if (error instanceof VelmuroError) failure = { code: error.code, cause: error.cause ?? null };
  }
  const mute = await client.muteSystem({ hostPid: undefined, signal });
  const end: MuteEnd = await mute.release({ signal, timeoutMs });
  let internals = "exported";
  try {
    require("velmuro-client/dist/src/mute.js");
  } catch (error) {
    internals = (error as { code?: string }).code ?? String(error);
  }
  console.log(JSON.stringify({ permission, failure, end: end.reason, internals }));
}

void main();
`;

// An ES module host that holds its mute with \`await using\`.
const moduleHost = `
import { Velmuro, VelmuroError, type MuteHandle } from "velmuro-client";

const client = new Velmuro({ binaryPath: process.argv[2]! });
let handle: MuteHandle | undefined;
{
  await using mute = await client.muteProcesses(["us.zoom.xos"]);
  handle = mute;
}
const end = await handle.ended;
const internalPath = "velmuro-client/dist/src/mute.js";
let internals = "exported";
try {
  await import(internalPath);
} catch (error) {
  internals = (error as { code?: string }).code ?? String(error);
}
console.log(JSON.stringify({ end: end.reason, held: handle.held, isClass: typeof VelmuroError, internals }));
`;

const strictOptions = {
  strict: true,
  exactOptionalPropertyTypes: true,
  noUncheckedIndexedAccess: true,
  skipLibCheck: false,
  types: ["node"],
  rootDir: ".",
  outDir: "out",
};

/** Writes a host package with this module type, TypeScript options and code. */
function writeHost(dir: string, type: string, compilerOptions: object, code: string): void {
  fs.mkdirSync(dir, { recursive: true });
  fs.writeFileSync(path.join(dir, "package.json"), JSON.stringify({ type, private: true }));
  fs.writeFileSync(
    path.join(dir, "tsconfig.json"),
    JSON.stringify({ compilerOptions, files: ["host.ts"] }),
  );
  fs.writeFileSync(path.join(dir, "host.ts"), code);
}

describe("the package in a host", () => {
  const hosts = scratchPath("hosts");
  const installed = path.join(hosts, "node_modules", "velmuro-client");
  let packed: string[] = [];

  before(() => {
    fs.mkdirSync(installed, { recursive: true });
    const [pack] = JSON.parse(
      run("npm", ["pack", "--json", "--silent", "--pack-destination", hosts], { cwd: clientRoot }),
    ) as Array<{ filename: string; files: Array<{ path: string }> }>;
    packed = pack!.files.map((file) => file.path);
    run(
      "tar",
      ["-xzf", path.join(hosts, pack!.filename), "-C", installed, "--strip-components=1"],
      {},
    );
    // The host's own @types/node: the one this client is built with.
    fs.symlinkSync(
      path.join(clientRoot, "node_modules", "@types"),
      path.join(hosts, "node_modules", "@types"),
    );
    writeHost(
      path.join(hosts, "strict"),
      "commonjs",
      {
        ...strictOptions,
        target: "es2020",
        lib: ["es2020"],
        module: "node16",
        moduleResolution: "node16",
      },
      strictHost,
    );
    writeHost(
      path.join(hosts, "module"),
      "module",
      {
        ...strictOptions,
        target: "es2022",
        lib: ["es2022", "esnext.disposable"],
        module: "nodenext",
        moduleResolution: "nodenext",
      },
      moduleHost,
    );
  });

  it("holds the built client and its types, and none of its tests", () => {
    assert.ok(packed.includes("dist/src/index.js") && packed.includes("dist/src/index.d.ts"));
    assert.deepEqual(packed.filter((file) => !file.startsWith("dist/src/")).sort(), [
      "README.md",
      "package.json",
    ]);
  });

  it("compiles for a strict CommonJS host with lib es2020, and runs there", () => {
    run(process.execPath, [tsc, "-p", path.join(hosts, "strict")], {});
    const world = new SimWorld(worldFile("demo.json"));
    const output = run(
      process.execPath,
      [path.join(hosts, "strict", "out", "host.js"), simBinary],
      {
        env: world.env,
      },
    );
    assert.deepEqual(JSON.parse(output), {
      permission: "granted",
      failure: { code: "ERR_VELMURO_NOT_FOUND", cause: null },
      end: "released",
      internals: "ERR_PACKAGE_PATH_NOT_EXPORTED",
    });
  });

  it("compiles for an ES module host that uses await using, and runs there", () => {
    run(process.execPath, [tsc, "-p", path.join(hosts, "module")], {});
    const world = new SimWorld(worldFile("demo.json"));
    const output = run(
      process.execPath,
      [path.join(hosts, "module", "out", "host.js"), simBinary],
      {
        env: world.env,
      },
    );
    assert.deepEqual(JSON.parse(output), {
      end: "released",
      held: false,
      isClass: "function",
      internals: "ERR_PACKAGE_PATH_NOT_EXPORTED",
    });
    assert.deepEqual(world.finalAudio()?.silenced, []);
  });
});
