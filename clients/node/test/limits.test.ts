// Time limits and AbortSignals as Node's own APIs have them: 0 for none, AbortSignal.timeout(),
// AbortError names and codes, the SIGKILL that follows an ignored SIGTERM, timers that never hold
// the event loop, and one signal shared by many calls.

import assert from "node:assert/strict";
import { getEventListeners } from "node:events";
import { describe, it } from "node:test";
import { Velmuro, VelmuroError, type VelmuroOptions } from "../src/index.js";
import { eventually, fakeTool, isAlive } from "./support.js";

const muted = `echo '{"status":"muted"}'`;
const answersRelease = `${muted}; read line; echo '{"status":"unmuted"}'`;
const ignoresTerm = `trap '' TERM; ${muted}; while :; do sleep 0.05; done`;

const tool = (body: string, options: Partial<VelmuroOptions> = {}): Velmuro =>
  new Velmuro({ binaryPath: fakeTool(body), ...options });

// The timers that keep the event loop alive now.
const refTimers = (): number =>
  process.getActiveResourcesInfo().filter((resource) => resource === "Timeout").length;

describe("time limits", () => {
  it("ends a tool that gives no result in time and rejects with timeout", async () => {
    const client = tool("exec sleep 30", { timeoutMs: 150 });
    const begun = Date.now();
    let pid = 0;
    await assert.rejects(client.readTeamsJoinLink(), (error: VelmuroError) => {
      pid = error.pid!;
      assert.deepEqual(
        [error.kind, error.name, error.code],
        ["timeout", "VelmuroError", "ERR_VELMURO_TIMEOUT"],
      );
      return true;
    });
    assert.ok(Date.now() - begun < 1000);
    await eventually(() => !isAlive(pid), "the tool is gone");
    await assert.rejects(client.readTabAddresses("b", { timeoutMs: 50 }), { kind: "timeout" });
  });

  it("ends a mute whose release is not answered in time", async () => {
    const mute = await tool(`${muted}; exec sleep 30`).muteProcesses(["x"]);
    await assert.rejects(mute.release({ timeoutMs: 100 }), { kind: "timeout" });
    const end = await mute.ended;
    assert.deepEqual([end.reason, end.error?.kind, end.signal], ["failed", "timeout", "SIGTERM"]);
    assert.equal(isAlive(mute.pid), false);
  });

  it("takes a limit of 0 as none, as child_process does", async () => {
    const slow = `sleep 0.3; echo '{"status":"granted"}'`;
    assert.equal(await tool(slow, { timeoutMs: 0 }).checkAudioPermission(), "granted");
    assert.equal(await tool(slow).checkAudioPermission({ timeoutMs: 0 }), "granted");
    const mute = await tool(`sleep 0.3; ${answersRelease}`, { timeoutMs: 0 }).muteProcesses(["x"]);
    assert.equal((await mute.release({ timeoutMs: 0 })).reason, "released");
  });

  it("never limits the hold: a mute's limit covers reaching muted", async () => {
    const mute = await tool(answersRelease, { timeoutMs: 100 }).muteProcesses(["x"]);
    await new Promise((resolve) => setTimeout(resolve, 300));
    assert.equal(mute.held, true);
    assert.equal((await mute.release()).reason, "released");
  });
});

describe("AbortSignals", () => {
  it("reports an abort by AbortSignal.timeout() as timeout, named and coded as an abort", async () => {
    const expectTimeout = (error: unknown): true => {
      assert.ok(error instanceof VelmuroError);
      assert.deepEqual(
        [error.kind, error.name, error.code, (error.cause as Error).name],
        ["timeout", "AbortError", "ABORT_ERR", "TimeoutError"],
      );
      return true;
    };
    await assert.rejects(
      tool("exec sleep 30").readTeamsJoinLink({ signal: AbortSignal.timeout(100) }),
      expectTimeout,
    );
    await assert.rejects(
      tool(`sleep 30; ${muted}`).muteProcesses(["x"], { signal: AbortSignal.timeout(100) }),
      expectTimeout,
    );
    // A mute's signal covers the hold too: its time limit ends the mute.
    const held = await tool(`${muted}; exec sleep 30`).muteProcesses(["x"], {
      signal: AbortSignal.timeout(200),
    });
    const end = await held.ended;
    assert.equal(end.reason, "aborted");
    expectTimeout(end.error);
    // A signal whose time has passed already rejects without starting.
    const passed = AbortSignal.timeout(1);
    await new Promise((resolve) => setTimeout(resolve, 20));
    await assert.rejects(tool("exit 9").checkAudioPermission({ signal: passed }), expectTimeout);
  });

  it("gives every abort Node's name and code, and every error a stable code", async () => {
    const controller = new AbortController();
    const reading = tool("exec sleep 30").readTeamsJoinLink({ signal: controller.signal });
    controller.abort();
    await assert.rejects(reading, (error: unknown) => {
      assert.ok(error instanceof VelmuroError);
      assert.deepEqual(
        [error.kind, error.name, error.code, (error.cause as Error).name],
        ["aborted", "AbortError", "ABORT_ERR", "AbortError"],
      );
      return true;
    });
    const mute = await tool(`${muted}; exec sleep 30`).muteProcesses(["x"]);
    const end = await mute.abort();
    assert.deepEqual([end.error?.name, end.error?.code], ["AbortError", "ABORT_ERR"]);
    await assert.rejects(tool("echo nonsense").checkAudioPermission(), {
      name: "VelmuroError",
      kind: "bad-line",
      code: "ERR_VELMURO_BAD_LINE",
    });
  });

  it("listens to a signal shared by many calls once, without a MaxListenersExceededWarning", async () => {
    const warnings: Error[] = [];
    const onWarning = (warning: Error): void => void warnings.push(warning);
    process.on("warning", onWarning);
    try {
      const controller = new AbortController();
      const { signal } = controller;
      const client = tool(`${muted}; exec sleep 30`);
      const mutes = await Promise.all(
        Array.from({ length: 12 }, () => client.muteProcesses(["x"], { signal })),
      );
      const reads = Array.from({ length: 12 }, () => client.readTeamsJoinLink({ signal }));
      assert.equal(getEventListeners(signal, "abort").length, 1);
      controller.abort();
      for (const read of reads) await assert.rejects(read, { kind: "aborted" });
      for (const mute of mutes) assert.equal((await mute.ended).reason, "aborted");
      // Calls that end by themselves leave no listener behind either.
      const other = new AbortController();
      const quick = tool(answersRelease);
      const held = await quick.muteProcesses(["x"], { signal: other.signal });
      await held.release();
      assert.equal(getEventListeners(other.signal, "abort").length, 0);
      await new Promise((resolve) => setImmediate(resolve));
    } finally {
      process.off("warning", onWarning);
    }
    assert.deepEqual(
      warnings.map((warning) => warning.message),
      [],
    );
  });
});

describe("the SIGKILL after an ignored SIGTERM", () => {
  it("follows SIGTERM with SIGKILL when the tool does not go, 2 s later by default", async () => {
    const mute = await tool(ignoresTerm).muteProcesses(["x"]);
    const begun = Date.now();
    void mute.abort();
    const end = await mute.ended;
    assert.deepEqual([end.reason, end.signal], ["aborted", "SIGKILL"]);
    assert.ok(Date.now() - begun >= 1900, `SIGKILL after ${Date.now() - begun} ms`);
    await eventually(() => !isAlive(mute.pid), "the tool is gone");
  });

  it("waits forceKillAfterMs, or never sends SIGKILL for Infinity", async () => {
    const soon = await tool(ignoresTerm, { forceKillAfterMs: 300 }).muteProcesses(["x"]);
    const begun = Date.now();
    const end = await soon.abort();
    const waited = Date.now() - begun;
    assert.equal(end.signal, "SIGKILL");
    assert.ok(waited >= 280 && waited < 1500, `SIGKILL after ${waited} ms`);

    const never = await tool(ignoresTerm, { forceKillAfterMs: Infinity }).muteProcesses(["x"]);
    void never.abort();
    await new Promise((resolve) => setTimeout(resolve, 500));
    assert.equal(isAlive(never.pid), true);
    process.kill(never.pid, "SIGKILL");
    assert.equal((await never.ended).reason, "aborted");

    assert.throws(() => tool("exit 0", { forceKillAfterMs: -1 }), TypeError);
  });

  it("keeps no timer of the client holding the host's event loop", async () => {
    // The tool's own process holds the loop while it runs; the client's timers must not.
    const controller = new AbortController();
    const before = refTimers();
    const reading = tool("exec sleep 30").readTeamsJoinLink({
      timeoutMs: 30_000,
      signal: controller.signal,
    });
    assert.equal(refTimers(), before, "the call's time limit holds the loop");
    const mute = await tool(ignoresTerm, { forceKillAfterMs: 200 }).muteProcesses(["x"]);
    const holding = refTimers();
    const ending = mute.abort();
    assert.equal(refTimers(), holding, "the SIGKILL timer holds the loop");
    assert.equal((await ending).signal, "SIGKILL");
    controller.abort();
    await assert.rejects(reading, { kind: "aborted" });
  });
});
