// What the tests share: the built binaries, worlds written to temporary files with their traces,
// and small stand-in tools for the misbehaviour the real tool never shows.

import * as fs from "node:fs";
import * as os from "node:os";
import * as path from "node:path";
import { Velmuro, type VelmuroOptions } from "../src/index.js";

/** The repository's root (tests run from clients/node/dist/test). */
export const repoRoot = path.resolve(__dirname, "..", "..", "..", "..");

/** The simulated desktop's executable: VELMURO_SIM_BINARY, else the one scripts/test builds. */
export const simBinary = path.resolve(
  process.env["VELMURO_SIM_BINARY"] ?? path.join(repoRoot, "build", "test", "velmuro-sim"),
);
if (!fs.existsSync(simBinary)) {
  throw new Error(`no velmuro-sim at ${simBinary}: build it, or name it in VELMURO_SIM_BINARY`);
}

const scratch = fs.mkdtempSync(path.join(os.tmpdir(), "velmuro-node-"));
process.on("exit", () => fs.rmSync(scratch, { recursive: true, force: true }));
let files = 0;

/** A fresh path in this test file's scratch folder. */
export function scratchPath(name: string): string {
  files += 1;
  return path.join(scratch, `${files}-${name}`);
}

/** A ready world file of the repository, as text. */
export function worldFile(name: string): string {
  return fs.readFileSync(path.join(repoRoot, "worlds", name), "utf8");
}

/** The text with its first `from` replaced by `to`; throws when `from` is not there. */
export function replaced(text: string, from: string, to: string): string {
  if (!text.includes(from)) throw new Error(`not in the world: ${from}`);
  return text.replace(from, to);
}

/** One trace line of the simulated desktop. */
export interface TraceLine {
  call?: string;
  args?: Record<string, unknown>;
  result?: unknown;
  final?: { audio: { taps: unknown[]; silenced: number[] } };
}

/** A world written to a file, a client on it, and the trace its runs leave. */
export class SimWorld {
  readonly worldPath = scratchPath("world.json");
  readonly tracePath = scratchPath("trace.jsonl");
  readonly client: Velmuro;

  constructor(world: string | object, options: Partial<VelmuroOptions> = {}) {
    fs.writeFileSync(this.worldPath, typeof world === "string" ? world : JSON.stringify(world));
    this.client = new Velmuro({
      binaryPath: simBinary,
      ...options,
      env: this.env,
    });
  }

  /** The environment the client starts the tool with. */
  get env(): NodeJS.ProcessEnv {
    return { ...process.env, VELMURO_SIM_WORLD: this.worldPath, VELMURO_SIM_TRACE: this.tracePath };
  }

  /** Every trace line written so far (by every run on this world). */
  trace(): TraceLine[] {
    if (!fs.existsSync(this.tracePath)) return [];
    return fs
      .readFileSync(this.tracePath, "utf8")
      .split("\n")
      .filter((line) => line !== "")
      .map((line) => JSON.parse(line) as TraceLine);
  }

  /** The trace lines of this call. */
  calls(name: string): TraceLine[] {
    return this.trace().filter((line) => line.call === name);
  }

  /** The process objects the first tap of the trace named. */
  tapped(): number[] {
    return (this.calls("AudioHardwareCreateProcessTap")[0]?.args?.["processes"] as number[]) ?? [];
  }

  /** The objects silenced right after the device started. */
  silencedAtStart(): number[] | undefined {
    return this.calls("AudioDeviceStart")[0]?.args?.["silenced"] as number[] | undefined;
  }

  /** The final state's silenced objects and taps, or absent when the run did not end normally. */
  finalAudio(): { taps: unknown[]; silenced: number[] } | undefined {
    return this.trace().find((line) => line.final)?.final?.audio;
  }
}

/** The demo world with one more audio fault. */
export function demoWithFault(fault: object): object {
  const world = JSON.parse(worldFile("demo.json"));
  world.audio.faults = [fault];
  return world;
}

/** A stand-in tool: a shell script with this body, made executable. */
export function fakeTool(body: string): string {
  const file = scratchPath("tool.sh");
  fs.writeFileSync(file, `#!/bin/sh\n${body}\n`, { mode: 0o755 });
  return file;
}

/** Resolves after this many milliseconds. */
export function sleep(ms: number): Promise<void> {
  return new Promise((resolve) => setTimeout(resolve, ms));
}

/** Waits until the check holds, polling; throws after the limit. */
export async function eventually(
  check: () => boolean,
  what: string,
  limitMs = 5000,
): Promise<void> {
  const until = Date.now() + limitMs;
  while (!check()) {
    if (Date.now() > until) throw new Error(`still not so after ${limitMs} ms: ${what}`);
    await sleep(10);
  }
}

/** Whether a process with this PID exists and is not a zombie waiting to be reaped. */
export function isAlive(pid: number): boolean {
  try {
    process.kill(pid, 0);
  } catch {
    return false;
  }
  try {
    const stat = fs.readFileSync(`/proc/${pid}/stat`, "utf8");
    return stat.slice(stat.lastIndexOf(")") + 2)[0] !== "Z";
  } catch {
    return !fs.existsSync("/proc/self");
  }
}
