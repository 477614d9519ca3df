// The client's own cost on a whole mute: muteProcesses and release against the same run driven by
// hand with child_process, alternating, on the demo world. Prints medians over the runs.
//
//   node dist/bench/overhead.js [runs] [velmuro-sim]

import { spawn } from "node:child_process";
import * as path from "node:path";
import { Velmuro } from "../src/index.js";

const repoRoot = path.resolve(__dirname, "..", "..", "..", "..");
const runs = Number(process.argv[2] ?? 200);
const binary = path.resolve(
  process.argv[3] ??
    process.env["VELMURO_SIM_BINARY"] ??
    path.join(repoRoot, "build", "test", "velmuro-sim"),
);
const env = { ...process.env, VELMURO_SIM_WORLD: path.join(repoRoot, "worlds", "demo.json") };
const target = "us.zoom.xos";

/** Milliseconds from launch to "muted", and from the release to the end of the run. */
type Sample = { mute: number; release: number };

const now = (): number => Number(process.hrtime.bigint()) / 1e6;

// What a host writes without the client: spawn, wait for the first line, write a line, wait for the exit.
function byHand(): Promise<Sample> {
  return new Promise((resolve, reject) => {
    const begun = now();
    let mutedAt = 0;
    let out = "";
    const child = spawn(binary, [target], { env });
    child.on("error", reject);
    child.stdout.setEncoding("utf8");
    child.stdout.on("data", (text: string) => {
      out += text;
      if (mutedAt === 0 && out.includes("\n")) {
        mutedAt = now();
        child.stdin.end("release\n");
      }
    });
    child.on("close", (code) => {
      const endedAt = now();
      if (code !== 0 || out !== '{"status":"muted"}\n{"status":"unmuted"}\n') {
        reject(new Error(`unexpected run: ${code} ${out}`));
      } else {
        resolve({ mute: mutedAt - begun, release: endedAt - mutedAt });
      }
    });
  });
}

const client = new Velmuro({ binaryPath: binary, env });

async function withClient(): Promise<Sample> {
  const begun = now();
  const mute = await client.muteProcesses([target]);
  const mutedAt = now();
  await mute.release();
  return { mute: mutedAt - begun, release: now() - mutedAt };
}

function median(values: number[]): number {
  const sorted = [...values].sort((a, b) => a - b);
  const middle = Math.floor(sorted.length / 2);
  return sorted.length % 2 ? sorted[middle]! : (sorted[middle - 1]! + sorted[middle]!) / 2;
}

async function main(): Promise<void> {
  for (let i = 0; i < 10; i += 1) {
    await byHand();
    await withClient();
  }
  const hand: Sample[] = [];
  const lib: Sample[] = [];
  for (let i = 0; i < runs; i += 1) {
    // Alternating, so drift in the machine's load falls on both alike.
    hand.push(await byHand());
    lib.push(await withClient());
  }
  const row = (name: string, pick: (s: Sample) => number): void => {
    const a = median(hand.map(pick));
    const b = median(lib.map(pick));
    console.log(
      `${name.padEnd(22)} ${a.toFixed(3).padStart(9)} ${b.toFixed(3).padStart(9)} ${(b - a).toFixed(3).padStart(9)}`,
    );
  };
  console.log(`${runs} runs each of "${target}" on worlds/demo.json, ${binary}`);
  console.log(
    `${"median, ms".padEnd(22)} ${"by hand".padStart(9)} ${"client".padStart(9)} ${"overhead".padStart(9)}`,
  );
  row("launch to muted", (s) => s.mute);
  row("release to exit", (s) => s.release);
  row("whole mute", (s) => s.mute + s.release);
}

main().catch((error: unknown) => {
  console.error(error);
  process.exit(1);
});
