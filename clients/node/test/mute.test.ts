// The mutes on the simulated desktop: the hold and its release, how targets are found (pgrep and
// ps run for real), every failure line, and every way a mute can end.

import assert from "node:assert/strict";
import { spawn, spawnSync, type ChildProcess } from "node:child_process";
import * as fs from "node:fs";
import { after, describe, it } from "node:test";
import { Velmuro, type MuteHandle } from "../src/index.js";
import {
  demoWithFault,
  eventually,
  fakeTool,
  isAlive,
  scratchPath,
  SimWorld,
  simBinary,
  sleep,
  worldFile,
} from "./support.js";

const demo = worldFile("demo.json");
const notFoundEnd = " audio process not found. Make sure it is running and playing audio.";

const started: ChildProcess[] = [];
after(() => started.forEach((child) => child.kill("SIGKILL")));

/** A process of our own, running /bin/sleep under this name. */
function runAs(name: string): ChildProcess {
  const dir = scratchPath("named");
  fs.mkdirSync(dir);
  const file = `${dir}/${name}`;
  fs.copyFileSync("/bin/sleep", file);
  fs.chmodSync(file, 0o755);
  const child = spawn(file, ["30"], { stdio: "ignore" });
  started.push(child);
  return child;
}

/** The hold, checked on the trace: the device started, nothing stopped yet. */
async function expectHolding(world: SimWorld, mute: MuteHandle, silenced: number[]): Promise<void> {
  await sleep(100);
  assert.equal(mute.held, true);
  assert.equal(isAlive(mute.pid), true);
  assert.deepEqual(world.silencedAtStart(), silenced);
  assert.deepEqual(world.calls("AudioDeviceStop"), []);
}

describe("process mute", () => {
  it("holds until released, then ends with unmuted, exit status 0 and nothing left muted", async () => {
    const world = new SimWorld(demo);
    const mute = await world.client.muteProcesses(["us.zoom.xos"]);
    await expectHolding(world, mute, [101]);
    const release = mute.release();
    assert.equal(mute.held, false);
    assert.equal(mute.release(), release);
    await release;
    assert.deepEqual(await mute.ended, {
      reason: "released",
      unmuted: true,
      exitCode: 0,
      signal: null,
    });
    assert.deepEqual(world.finalAudio(), {
      taps: [],
      silenced: [],
      aggregateDevices: [],
      ioProcs: [],
    });
    await mute.release(); // a released mute stays released
  });

  it("finds targets by bundle identifier, by the real process name, and by an explicit PID", async () => {
    const music = new SimWorld(demo);
    await (await music.client.muteProcesses(["com.apple.Music"])).release();
    assert.deepEqual(music.tapped(), [104]);

    const name = `vmnode${process.pid % 100000}`;
    const copy = runAs(name);
    await eventually(() => copy.pid !== undefined && isAlive(copy.pid), "the named process runs");
    const named = new SimWorld({
      audio: {
        processes: [
          { id: 201, pid: 1, output: true },
          { id: 202, pid: copy.pid, output: true },
        ],
      },
    });
    await (await named.client.muteProcesses([name])).release();
    assert.deepEqual(named.tapped(), [202]);

    // The PID alone decides, even for a process that plays nothing; the targets just name it.
    const explicit = new SimWorld(demo);
    await (await explicit.client.muteProcesses(["anything"], { pid: 4105 })).release();
    assert.deepEqual(explicit.tapped(), [105]);
  });

  it("takes a lone ax-tab-addresses as a target, as the tool does", async () => {
    await assert.rejects(new SimWorld(demo).client.muteProcesses(["ax-tab-addresses"]), {
      kind: "not-found",
      message: "ax-tab-addresses" + notFoundEnd,
    });
  });
});

describe("system mute", () => {
  it("mutes everything but the host's process tree, the host being this process by default", async () => {
    const world = new SimWorld({
      audio: {
        processes: [
          { id: 301, pid: 1, output: true },
          { id: 302, pid: process.pid },
          { id: 303, pid: "self" },
        ],
      },
    });
    const mute = await world.client.muteSystem();
    await expectHolding(world, mute, [301]);
    await mute.release();
    assert.deepEqual(world.tapped(), [302, 303]); // the global tap leaves these out
    assert.deepEqual(world.finalAudio()?.silenced, []);
  });

  it("spares the tree of another host PID, read with the real ps", async () => {
    const host = spawn("/bin/sh", ["-c", "sleep 30 & wait"], { stdio: "ignore" });
    started.push(host);
    const childrenOf = (pid: number): string =>
      spawnSync("pgrep", ["-P", String(pid)], { encoding: "utf8" }).stdout.trim();
    await eventually(() => childrenOf(host.pid!) !== "", "the host's child runs");
    const child = Number(childrenOf(host.pid!));
    const world = new SimWorld({
      audio: {
        processes: [
          { id: 401, pid: child },
          { id: 402, pid: process.pid },
          { id: 403, pid: host.pid },
        ],
      },
    });
    await (await world.client.muteSystem({ hostPid: host.pid! })).release();
    assert.deepEqual(world.tapped(), [401, 403]);
    assert.deepEqual(world.silencedAtStart(), [402]);
  });
});

describe("mute failures", () => {
  const expectNothingMuted = (world: SimWorld): void => {
    const audio = world.finalAudio();
    assert.deepEqual([audio?.taps, audio?.silenced], [[], []]);
  };

  it("rejects with not-found naming the targets, without the PID", async () => {
    await assert.rejects(new SimWorld(demo).client.muteProcesses(["zoom.us", "Microsoft Teams"]), {
      name: "VelmuroError",
      kind: "not-found",
      message: "zoom.us, Microsoft Teams" + notFoundEnd,
      exitCode: 1,
    });
    await assert.rejects(new SimWorld(demo).client.muteProcesses(["zoom.us"], { pid: 99999 }), {
      kind: "not-found",
      message: "zoom.us" + notFoundEnd,
    });
  });

  it("rejects with permission-required and its errorCode when the tap is refused for lack of it", async () => {
    const message =
      "Screen & System Audio Recording permission required. Grant it in System Settings > Privacy & Security.";
    const denied = JSON.parse(demo);
    denied.privacy = { preflight: 1 };
    for (const world of [
      new SimWorld(denied),
      new SimWorld(demoWithFault({ call: "AudioHardwareCreateProcessTap", status: "!hog" })),
    ]) {
      await assert.rejects(world.client.muteProcesses(["us.zoom.xos"]), {
        kind: "permission-required",
        errorCode: "permission_required",
        message,
        exitCode: 1,
      });
      expectNothingMuted(world);
    }
  });

  it("rejects with tap-failure, the tool's message and the status, for each step of the tap", async () => {
    const cases: Array<[object, string, number]> = [
      [
        { call: "AudioHardwareCreateProcessTap", status: "nope" },
        "AudioHardwareCreateProcessTap failed: 1852797029 (nope)",
        1852797029,
      ],
      [
        { call: "AudioObjectGetPropertyData", selector: "tuid", status: -10 },
        "Failed to get tap UID: -10",
        -10,
      ],
      [
        { call: "AudioHardwareCreateAggregateDevice", status: -1 },
        "AudioHardwareCreateAggregateDevice failed: -1",
        -1,
      ],
      [
        { call: "AudioDeviceCreateIOProcID", status: -3 },
        "AudioDeviceCreateIOProcID failed: -3",
        -3,
      ],
      [{ call: "AudioDeviceStart", status: -50 }, "AudioDeviceStart failed: -50", -50],
    ];
    for (const [fault, message, osStatus] of cases) {
      const world = new SimWorld(demoWithFault(fault));
      await assert.rejects(world.client.muteProcesses(["us.zoom.xos"]), {
        kind: "tap-failure",
        message,
        osStatus,
        exitCode: 1,
      });
      expectNothingMuted(world);
    }
    const system = new SimWorld(demoWithFault({ call: "AudioDeviceStart", status: -50 }));
    await assert.rejects(system.client.muteSystem(), {
      kind: "tap-failure",
      message: "AudioDeviceStart failed: -50",
    });
    expectNothingMuted(system);
  });

  it("rejects with usage when the tool is started without a command", async () => {
    // The client never starts it so (no targets is a TypeError); a stand-in drops the arguments.
    const world = new SimWorld(demo);
    const withoutArguments = fakeTool(`exec "${simBinary}"`);
    const client = new Velmuro({ binaryPath: withoutArguments, env: world.env });
    await assert.rejects(client.muteProcesses(["us.zoom.xos"]), {
      kind: "usage",
      code: "ERR_VELMURO_USAGE",
      message: "Usage: Velmuro <process-name-or-bundle-id>... [pid]",
      exitCode: 1,
    });
  });

  it("rejects with process-tree when the tool has no tree to spare", async () => {
    // The client always passes a PID; started without one, the real tool prints this failure.
    const world = new SimWorld(demo);
    const withoutPID = fakeTool(`exec "${simBinary}" "$1"`);
    const client = new Velmuro({ binaryPath: withoutPID, env: world.env });
    await assert.rejects(client.muteSystem(), {
      kind: "process-tree",
      message: "Could not resolve own process tree for system mute",
      exitCode: 1,
    });
  });
});

describe("arguments the tool would misread", () => {
  it("rejects them with a TypeError before starting anything", async () => {
    const world = new SimWorld(demo);
    const client = world.client;
    const calls: Array<() => Promise<unknown>> = [
      () => client.muteProcesses(["check-audio-permission"]),
      () => client.muteProcesses(["--system", "zoom"]),
      () => client.muteProcesses(["ax-tab-addresses"], { pid: 5 }),
      () => client.muteProcesses(["zoom", "1234"]),
      () => client.muteProcesses(["zoom", "+7"]),
      () => client.muteProcesses([], { pid: 5 }),
      () => client.muteProcesses(["zoom"], { pid: 1.5 }),
      () => client.muteProcesses(["zoom"], { pid: 2 ** 31 }),
      () => client.muteProcesses(["zoom"], { timeoutMs: -1 }),
      () => client.muteProcesses(["zoom"], { timeoutMs: Number.NaN }),
      () => client.muteSystem({ hostPid: Number.NaN }),
      () => client.readZoomInviteLink({ needles: [1 as unknown as string] }),
    ];
    for (const call of calls) await assert.rejects(call(), TypeError);
    assert.deepEqual(world.trace(), []);
    assert.throws(() => new Velmuro({ binaryPath: "build/velmuro" }), TypeError);
  });

  it("refuses what the tool would take badly: PIDs of no process, empty targets, capitals in needles", async () => {
    const world = new SimWorld(worldFile("zoom-meeting.json"));
    const client = world.client;
    const calls: Array<[() => Promise<unknown>, RegExp]> = [
      // 0 would mute nothing (no process tree), -1 every process, the host included.
      [() => client.muteSystem({ hostPid: 0 }), /hostPid must be a process ID/],
      [() => client.muteSystem({ hostPid: -1 }), /hostPid must be a process ID/],
      [() => client.muteProcesses(["zoom"], { pid: 0 }), /pid must be a process ID/],
      [() => client.muteProcesses(["zoom"], { pid: -7 }), /pid must be a process ID/],
      [() => client.muteProcesses([]), /at least one process/],
      [() => client.muteProcesses([""]), /must not be empty/],
      [() => client.muteProcesses(["us.zoom.xos", ""]), /must not be empty/],
      // Titles are matched lower-cased: these never match.
      [() => client.readZoomInviteLink({ needles: ["Invite"] }), /give it as "invite"/],
      [() => client.readZoomInviteLink({ needles: ["copy", "LINK"] }), /give it as "link"/],
      [() => client.readZoomInviteLink({ needles: ["ΣΥΝΔΕΣΜΟΣ"] }), /give it as "συνδεσμος"/],
      [() => client.readZoomInviteLink({ needles: [""] }), /must not be empty/],
    ];
    for (const [call, message] of calls) {
      await assert.rejects(call(), (error: Error & { code?: string }) => {
        assert.ok(error instanceof TypeError, String(error));
        assert.match(error.message, message);
        assert.equal(error.code, "ERR_INVALID_ARG_VALUE");
        return true;
      });
    }
    assert.deepEqual(world.trace(), []);
    // Lower-case needles, and the largest PID, pass.
    assert.deepEqual(await client.readZoomInviteLink({ needles: ["invite", "é"] }), {
      status: "ok",
      text: "https://us05web.zoom.us/j/81234567890?pwd=demo",
    });
    await assert.rejects(new SimWorld(demo).client.muteProcesses(["zoom"], { pid: 2 ** 31 - 1 }), {
      kind: "not-found",
    });
  });

  it("passes targets the tool reads as targets", async () => {
    // A number alone, or not read as a PID, stays a target.
    for (const targets of [["1234"], ["zoom", "12x"], ["zoom", "99999999999"]]) {
      await assert.rejects(new SimWorld(demo).client.muteProcesses(targets), {
        kind: "not-found",
        message: targets.join(", ") + notFoundEnd,
      });
    }
  });
});
