// A real mute from Node on Linux: the shipped tool on a private headless PulseAudio that this
// test starts, a tone from a uniquely named process, and the null sink's monitor heard while the
// client mutes, releases and aborts.

import { spawn, spawnSync, type ChildProcess } from "node:child_process";
import * as fs from "node:fs";
import * as os from "node:os";
import * as path from "node:path";
import { after, before, describe, test } from "node:test";
import * as assert from "node:assert/strict";
import { Velmuro } from "../src/index.js";
import { repoRoot } from "./support.js";

const toolBinary = process.env["VELMURO_TOOL_BINARY"];
const toneBinary = process.env["VELMURO_TONE_BINARY"];
const inCI = process.env["CI"] === "true";

// Off Linux there is nothing to test; on Linux a missing binary is a failure in CI.
function whyNot(): string | undefined {
  if (process.platform !== "linux") return "the sound-server backend is Linux's";
  if (toolBinary && toneBinary) return undefined;
  const missing = "VELMURO_TOOL_BINARY and VELMURO_TONE_BINARY name no velmuro and velmuro-tone";
  if (inCI) throw new Error(missing);
  return missing;
}

// The environment `scripts/sound-server start` prints, as assignments.
function startServer(): NodeJS.ProcessEnv {
  const started = spawnSync(path.join(repoRoot, "scripts", "sound-server"), ["start", "pulseaudio"], {
    encoding: "utf8",
  });
  if (started.status !== 0) throw new Error(`no sound server: ${started.stderr}`);
  const env: NodeJS.ProcessEnv = { ...process.env };
  for (const line of started.stdout.split("\n")) {
    const match = /^export ([A-Z_]+)=(.*)$/.exec(line);
    if (match) env[match[1]!] = match[2]!.replace(/^'(.*)'$/, "$1");
  }
  return env;
}

// The monitor's level: one recorder for the whole test, its bytes the audio clock.
class Monitor {
  readonly #recorder: ChildProcess;
  #audio = Buffer.alloc(0);

  constructor(env: NodeJS.ProcessEnv) {
    this.#recorder = spawn(
      "parec",
      ["--device=testsink.monitor", "--raw", "--latency-msec=20", "--format=s16le", "--channels=2",
        "--rate=44100"],
      { env, stdio: ["ignore", "pipe", "ignore"] },
    );
    this.#recorder.stdout!.on("data", (chunk: Buffer) => {
      this.#audio = Buffer.concat([this.#audio, chunk]);
    });
  }

  // Bytes recorded so far: a mark to measure from.
  get mark(): number {
    return this.#audio.length;
  }

  // RMS of the left channel over the 5 ms blocks recorded after the mark, one per block.
  levelsSince(mark: number): number[] {
    const block = 441 * 4;
    const levels: number[] = [];
    for (let start = mark - (mark % 4); start + block <= this.#audio.length; start += block) {
      let sum = 0;
      for (let i = start; i < start + block; i += 4) {
        const sample = this.#audio.readInt16LE(i) / 32768;
        sum += sample * sample;
      }
      levels.push(Math.sqrt(sum / 441));
    }
    return levels;
  }

  // Resolves once `ms` of audio recorded after the mark all satisfies `ok`; rejects after 5 s.
  async until(ok: (level: number) => boolean, ms: number, what: string): Promise<void> {
    const blocks = ms / 5;
    const deadline = Date.now() + 5000;
    let mark = this.mark;
    while (Date.now() < deadline) {
      await new Promise((resolve) => setTimeout(resolve, 20));
      const levels = this.levelsSince(mark);
      const bad = levels.findIndex((level) => !ok(level));
      if (bad >= 0) mark += (bad + 1) * 441 * 4;
      else if (levels.length >= blocks) return;
    }
    throw new Error(`the monitor never gave ${ms} ms of ${what}`);
  }

  stop(): void {
    this.#recorder.kill("SIGKILL");
  }
}

const silent = (level: number) => level === 0;
const sounding = (level: number) => level > 0.3;

describe("a real mute on PulseAudio", { skip: whyNot() }, () => {
  let env: NodeJS.ProcessEnv;
  let tone: ChildProcess;
  let monitor: Monitor;
  let client: Velmuro;
  const scratch = fs.mkdtempSync(path.join(os.tmpdir(), "velmuro-node-sound-"));
  // Linux keeps 15 characters of a process name.
  const name = `vmnode${process.pid}`.slice(0, 15);

  before(async () => {
    env = startServer();
    fs.symlinkSync(toneBinary!, path.join(scratch, name));
    tone = spawn(path.join(scratch, name), ["440", "0.5", name], { env, stdio: "ignore" });
    monitor = new Monitor(env);
    client = new Velmuro({ binaryPath: toolBinary!, env });
    await monitor.until(sounding, 200, "the tone");
  });

  after(() => {
    tone?.kill("SIGKILL");
    monitor?.stop();
    spawnSync(path.join(repoRoot, "scripts", "sound-server"), ["stop", env?.["SOUND_SERVER_DIR"] ?? ""]);
    fs.rmSync(scratch, { recursive: true, force: true });
  });

  test("muted is silent, released sounds again", async () => {
    const mute = await client.muteProcesses([name]);
    assert.equal(mute.held, true);
    await monitor.until(silent, 300, "silence while held");
    await mute.release();
    assert.deepEqual((await mute.ended).reason, "released");
    await monitor.until(sounding, 200, "the tone after the release");
  });

  test("an abort gives the sound back too", async () => {
    const mute = await client.muteProcesses([name]);
    await monitor.until(silent, 200, "silence while held");
    mute.abort();
    const end = await mute.ended;
    assert.equal(end.reason, "aborted");
    assert.equal(end.unmuted, false);
    await monitor.until(sounding, 200, "the tone after the abort");
  });
});
