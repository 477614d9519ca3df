// Every way a mute ends on the simulated desktop and with stand-in tools: release, abort, the
// tool killed from outside, and what release(), abort() and `await using` give after each.

import assert from "node:assert/strict";
import { describe, it } from "node:test";
import { Velmuro, type MuteEndReason, type MuteHandle } from "../src/index.js";
import { fakeTool, isAlive, SimWorld, simBinary, sleep, worldFile } from "./support.js";

const demo = worldFile("demo.json");
const muted = `echo '{"status":"muted"}'`;

const expectNoTeardown = (world: SimWorld): void => {
  assert.deepEqual(world.calls("AudioDeviceStop"), []);
  assert.equal(world.finalAudio(), undefined); // ended at once, so no final state either
};

/** A held mute of a stand-in tool with this body after its "muted". */
const standIn = (afterMuted: string): Promise<MuteHandle> =>
  new Velmuro({ binaryPath: fakeTool(`${muted}; ${afterMuted}`) }).muteProcesses(["x"]);

describe("ending a mute", () => {
  it("aborts during the hold with SIGTERM: no unmuted, no teardown by the tool", async () => {
    const world = new SimWorld(demo);
    const mute = await world.client.muteProcesses(["us.zoom.xos"]);
    const aborted = mute.abort("meeting over");
    assert.equal(mute.held, false);
    const end = await mute.ended;
    assert.equal(await aborted, end);
    assert.deepEqual(
      [end.reason, end.unmuted, end.exitCode, end.signal],
      ["aborted", false, 0, null],
    );
    assert.deepEqual(
      [end.error?.kind, end.error?.name, end.error?.code, end.error?.cause],
      ["aborted", "AbortError", "ABORT_ERR", "meeting over"],
    );
    expectNoTeardown(world);
  });

  it("aborts during the hold when the call's signal fires, and during a release", async () => {
    const world = new SimWorld(demo);
    const controller = new AbortController();
    const mute = await world.client.muteSystem({ signal: controller.signal });
    controller.abort();
    assert.equal((await mute.ended).reason, "aborted");
    expectNoTeardown(world);

    // A release whose tool does not answer, aborted by the release's own signal: it rejects.
    const held = await standIn("exec sleep 30");
    const releaseController = new AbortController();
    const release = held.release({ signal: releaseController.signal });
    releaseController.abort();
    await assert.rejects(release, { kind: "aborted", name: "AbortError", code: "ABORT_ERR" });
    assert.deepEqual(
      [(await held.ended).reason, (await held.ended).signal],
      ["aborted", "SIGTERM"],
    );

    // The host's abort() overtaking its own release: the release resolves with that end.
    const overtaken = await standIn("exec sleep 30");
    const released = overtaken.release();
    void overtaken.abort();
    assert.equal((await released).reason, "aborted");
  });

  it("rejects without starting when the signal has already fired", async () => {
    const world = new SimWorld(demo);
    await assert.rejects(
      world.client.muteProcesses(["us.zoom.xos"], { signal: AbortSignal.abort() }),
      { kind: "aborted" },
    );
    await assert.rejects(world.client.checkAudioPermission({ signal: AbortSignal.abort() }), {
      kind: "aborted",
    });
    assert.deepEqual(world.trace(), []);
  });

  it("ends with killed when the tool is killed from outside during the hold", async () => {
    for (const signal of ["SIGKILL", "SIGTERM"] as const) {
      const world = new SimWorld(demo);
      const mute = await world.client.muteProcesses(["us.zoom.xos"]);
      process.kill(mute.pid, signal);
      const end = await mute.ended;
      // SIGTERM is the tool's own way out (status 0, no line); SIGKILL ends it by the signal.
      assert.deepEqual(
        [end.reason, end.unmuted, end.exitCode, end.signal],
        signal === "SIGKILL" ? ["killed", false, null, "SIGKILL"] : ["killed", false, 0, null],
      );
      assert.deepEqual([end.error?.kind, end.error?.code], ["killed", "ERR_VELMURO_KILLED"]);
      assert.equal(mute.held, false);
    }
    // A tool that exits with another status and no line is no kill.
    const exited = await (await standIn("sleep 0.1; exit 3")).ended;
    assert.deepEqual([exited.reason, exited.error?.kind], ["exited", "no-line"]);
  });

  it("ends a tool that has not muted by its time limit, so no mute lands after the rejection", async () => {
    const world = new SimWorld(demo);
    const slow = new Velmuro({
      binaryPath: fakeTool(`sleep 0.4; exec "${simBinary}" "$@"`),
      env: world.env,
    });
    await assert.rejects(slow.muteProcesses(["us.zoom.xos"], { timeoutMs: 100 }), {
      kind: "timeout",
    });
    await sleep(600);
    assert.deepEqual(world.trace(), []);
  });
});

describe("release and abort once a mute has ended", () => {
  // Each way a held mute ends, with the handle once its tool has gone.
  const endings: Array<[string, MuteEndReason, () => Promise<MuteHandle>]> = [
    [
      "a completed release",
      "released",
      async () => {
        const mute = await new SimWorld(demo).client.muteProcesses(["us.zoom.xos"]);
        await mute.release();
        return mute;
      },
    ],
    [
      "an abort",
      "aborted",
      async () => {
        const mute = await new SimWorld(demo).client.muteProcesses(["us.zoom.xos"]);
        await mute.abort();
        return mute;
      },
    ],
    [
      "a kill from outside",
      "killed",
      async () => {
        const mute = await new SimWorld(demo).client.muteProcesses(["us.zoom.xos"]);
        process.kill(mute.pid, "SIGKILL");
        await mute.ended;
        return mute;
      },
    ],
    [
      "an exit of its own",
      "exited",
      async () => {
        const mute = await standIn("sleep 0.1; exit 3");
        await mute.ended;
        return mute;
      },
    ],
    [
      "a bad line",
      "failed",
      async () => {
        const mute = await standIn(`${muted}; exec sleep 30`);
        await mute.ended;
        return mute;
      },
    ],
    [
      "a release out of time",
      "failed",
      async () => {
        const mute = await standIn("exec sleep 30");
        await assert.rejects(mute.release({ timeoutMs: 100 }), { kind: "timeout" });
        await mute.ended;
        return mute;
      },
    ],
  ];

  for (const [how, reason, ending] of endings) {
    it(`resolves both with how it ended after ${how}`, async () => {
      const mute = await ending();
      const end = await mute.ended;
      assert.equal(end.reason, reason);
      assert.equal(isAlive(mute.pid), false);
      // A handler that fires and forgets must never meet a rejection.
      assert.deepEqual(await mute.release(), end);
      assert.deepEqual(await mute.abort(), end);
      assert.deepEqual(await mute.abort("again"), end);
      assert.deepEqual(await mute.release({ timeoutMs: 50 }), end);
    });
  }

  it("resolves a release called while an abort is ending the tool", async () => {
    const mute = await new SimWorld(demo).client.muteProcesses(["us.zoom.xos"]);
    void mute.abort();
    const release = mute.release();
    const end = await mute.ended;
    assert.equal(end.reason, "aborted");
    assert.deepEqual(await release, end);
  });
});

describe("await using", () => {
  it("releases the mute at the end of the block and waits for the tool to go", async () => {
    const world = new SimWorld(demo);
    let handle: MuteHandle | undefined;
    {
      await using mute = await world.client.muteProcesses(["us.zoom.xos"]);
      handle = mute;
      assert.equal(mute.held, true);
    }
    assert.equal(isAlive(handle.pid), false);
    assert.equal((await handle.ended).reason, "released");
    assert.deepEqual(world.finalAudio()?.silenced, []);
  });

  it("releases when the block throws, and lets the block's error through", async () => {
    const world = new SimWorld(demo);
    let handle: MuteHandle | undefined;
    const meeting = async (): Promise<void> => {
      await using mute = await world.client.muteProcesses(["us.zoom.xos"]);
      handle = mute;
      throw new Error("the meeting window closed");
    };
    await assert.rejects(meeting(), { message: "the meeting window closed" });
    assert.equal((await handle!.ended).reason, "released");
    assert.deepEqual(world.finalAudio()?.silenced, []);
  });

  it("disposes of a mute that ended in the block without throwing", async () => {
    let handle: MuteHandle | undefined;
    {
      await using mute = await new SimWorld(demo).client.muteProcesses(["us.zoom.xos"]);
      handle = mute;
      process.kill(mute.pid, "SIGKILL");
      await mute.ended;
    }
    assert.equal((await handle.ended).reason, "killed");
  });
});
