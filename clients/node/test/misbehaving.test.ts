// The client's own failures, against stand-in tools that misbehave as the real one never should:
// no start, no line, lines that are not the protocol's, exits that contradict the lines, silence.

import assert from "node:assert/strict";
import * as fs from "node:fs";
import { describe, it } from "node:test";
import { Velmuro } from "../src/index.js";
import {
  eventually,
  fakeTool,
  isAlive,
  scratchPath,
  SimWorld,
  simBinary,
  worldFile,
} from "./support.js";

const tool = (body: string, timeoutMs?: number): Velmuro =>
  new Velmuro({ binaryPath: fakeTool(body), ...(timeoutMs ? { timeoutMs } : {}) });

describe("a binary that cannot be started", () => {
  it("rejects with spawn-failed and the system's reason", async () => {
    const plain = scratchPath("not-executable");
    fs.writeFileSync(plain, "#!/bin/sh\n", { mode: 0o644 });
    for (const [binaryPath, code] of [
      ["/nonexistent/velmuro", "ENOENT"],
      [plain, "EACCES"],
    ] as const) {
      const client = new Velmuro({ binaryPath });
      await assert.rejects(
        client.checkAudioPermission(),
        (error: { kind: string; cause: { code: string } }) => {
          assert.deepEqual([error.kind, error.cause.code], ["spawn-failed", code]);
          return true;
        },
      );
      const mute = client.muteProcesses(["us.zoom.xos"]);
      await assert.rejects(mute, { kind: "spawn-failed" });
    }
  });
});

describe("output that is not the protocol", () => {
  it("rejects with no-line when the tool ends without a line, keeping standard error for diagnosis", async () => {
    await assert.rejects(tool("echo 'it broke' >&2; exit 2").checkAudioPermission(), {
      kind: "no-line",
      exitCode: 2,
      stderr: "it broke\n",
    });
    await assert.rejects(tool("kill -9 $$").muteProcesses(["x"]), {
      kind: "no-line",
      signal: "SIGKILL",
    });
  });

  it("rejects with bad-line for lines that are not protocol lines or not this command's", async () => {
    const cases: Array<[string, (client: Velmuro) => Promise<unknown>]> = [
      ["echo granted", (c) => c.checkAudioPermission()],
      [`printf '{"status":"granted"}'`, (c) => c.checkAudioPermission()],
      [`echo '{"status":"granted"}'; echo '{"status":"granted"}'`, (c) => c.checkAudioPermission()],
      [`echo '{"status":"ok"}'`, (c) => c.checkAudioPermission()],
      [`echo '{"status":"ok"}'`, (c) => c.readTeamsJoinLink()],
      [`echo '{"status":"ok","text":"x"}'`, (c) => c.readTabAddresses("b")],
      [`echo '{"status":"no-menu"}'`, (c) => c.readZoomInviteLink()],
      [
        `echo '{"error":"Usage: x"}'; echo '{"status":"granted"}'`,
        (c) => c.requestAudioPermission(),
      ],
      [
        `echo '{"error":"AudioDeviceStart failed: -50"}'; echo '{"status":"granted"}'; echo '{"status":"granted"}'`,
        (c) => c.requestAudioPermission(),
      ],
      [`echo '{"status":"unmuted"}'`, (c) => c.muteProcesses(["x"])],
      [`echo '{"status":"muted","text":1}'; exec sleep 30`, (c) => c.muteProcesses(["x"])],
    ];
    for (const [body, call] of cases) {
      await assert.rejects(call(tool(body)), { kind: "bad-line" }, body);
    }
  });

  it("ends the tool and reports the fault when a bad line comes during the hold", async () => {
    const mute = await tool(
      `echo '{"status":"muted"}'; echo '{"status":"muted"}'; exec sleep 30`,
    ).muteProcesses(["x"]);
    const end = await mute.ended;
    assert.deepEqual([end.reason, end.error?.kind, end.signal], ["failed", "bad-line", "SIGTERM"]);
    assert.equal(end.error?.line, '{"status":"muted"}');
    await assert.rejects(mute.release(), { kind: "bad-line" });
  });

  it("rejects with bad-exit when the exit status contradicts the lines", async () => {
    await assert.rejects(tool(`echo '{"status":"granted"}'; exit 3`).checkAudioPermission(), {
      kind: "bad-exit",
      exitCode: 3,
    });
    await assert.rejects(
      tool(`echo '{"error":"AudioDeviceStart failed: -50"}'; exit 0`).muteProcesses(["x"]),
      {
        kind: "bad-exit",
        exitCode: 0,
      },
    );
    const mute = await tool(
      `echo '{"status":"muted"}'; read line; echo '{"status":"unmuted"}'; exit 1`,
    ).muteProcesses(["x"]);
    await assert.rejects(mute.release(), { kind: "bad-exit", exitCode: 1 });
    assert.equal((await mute.ended).reason, "exited");
  });

  it("reads lines cut and joined by the pipe, members in any order, and never standard error", async () => {
    const split = tool(
      `printf '{"addr'; sleep 0.05; printf 'esses":["a"],"later":2,'; sleep 0.05; printf '"status":"ok"}\\n'`,
    );
    assert.deepEqual(await split.readTabAddresses("b"), { status: "ok", addresses: ["a"] });
    const joined = tool(
      `printf '{"error":"AudioDeviceStart failed: -50"}\\n{"status":"denied"}\\n'`,
    );
    const request = await joined.requestAudioPermission();
    assert.deepEqual(
      [request.status, request.probeFailure?.message],
      ["denied", "AudioDeviceStart failed: -50"],
    );

    // A line on standard error is no result: the real tool's answer on standard output counts.
    const world = new SimWorld(worldFile("demo.json"));
    const noisy = new Velmuro({
      binaryPath: fakeTool(`echo '{"status":"denied"}' >&2; exec "${simBinary}" "$@"`),
      env: world.env,
    });
    assert.equal(await noisy.checkAudioPermission(), "granted");
  });
});

describe("time limits", () => {
  it("ends a tool that gives no result in time and rejects with timeout", async () => {
    const client = tool("exec sleep 30", 150);
    const begun = Date.now();
    let pid = 0;
    await assert.rejects(client.readTeamsJoinLink(), (error: { kind: string; pid: number }) => {
      pid = error.pid;
      return error.kind === "timeout";
    });
    assert.ok(Date.now() - begun < 1000);
    await eventually(() => !isAlive(pid), "the tool is gone");
    await assert.rejects(client.readTabAddresses("b", { timeoutMs: 50 }), { kind: "timeout" });
  });

  it("ends a mute whose release is not answered in time", async () => {
    const mute = await tool(`echo '{"status":"muted"}'; exec sleep 30`).muteProcesses(["x"]);
    await assert.rejects(mute.release({ timeoutMs: 100 }), { kind: "timeout" });
    const end = await mute.ended;
    assert.deepEqual([end.reason, end.error?.kind, end.signal], ["failed", "timeout", "SIGTERM"]);
    assert.equal(isAlive(mute.pid), false);
  });

  it("follows SIGTERM with SIGKILL when the tool does not go", async () => {
    const mute = await tool(
      `trap '' TERM; echo '{"status":"muted"}'; while :; do sleep 0.05; done`,
    ).muteProcesses(["x"]);
    mute.abort();
    const end = await mute.ended;
    assert.deepEqual([end.reason, end.signal], ["aborted", "SIGKILL"]);
    await eventually(() => !isAlive(mute.pid), "the tool is gone");
  });
});
