// The client's own failures, against stand-in tools that misbehave as the real one never should:
// no start, no line, lines that are not the protocol's, exits that contradict the lines, silence.

import assert from "node:assert/strict";
import * as fs from "node:fs";
import { describe, it } from "node:test";
import { Velmuro, VelmuroError } from "../src/index.js";
import { fakeTool, scratchPath, SimWorld, simBinary, sleep, worldFile } from "./support.js";

const tool = (body: string, timeoutMs?: number): Velmuro =>
  new Velmuro({ binaryPath: fakeTool(body), ...(timeoutMs ? { timeoutMs } : {}) });

describe("a binary that cannot be started", () => {
  /** Asserts that every command rejects with spawn-failed for this path, as `check` says. */
  async function expectSpawnFailed(
    binaryPath: string,
    check: (error: VelmuroError) => void,
  ): Promise<void> {
    const client = new Velmuro({ binaryPath });
    const calls: Array<() => Promise<unknown>> = [
      () => client.checkAudioPermission(),
      () => client.readZoomInviteLink(),
      () => client.muteProcesses(["us.zoom.xos"]),
      () => client.muteSystem(),
    ];
    for (const call of calls) {
      await assert.rejects(call(), (error: unknown) => {
        assert.ok(error instanceof VelmuroError, `${binaryPath}: ${String(error)}`);
        assert.deepEqual([error.kind, error.code], ["spawn-failed", "ERR_VELMURO_SPAWN_FAILED"]);
        assert.ok(error.message.startsWith(`${binaryPath} could not be started: `), error.message);
        check(error);
        return true;
      });
    }
  }

  const causeCode = (code: string) => (error: VelmuroError) =>
    assert.equal((error.cause as NodeJS.ErrnoException).code, code);

  it("rejects with spawn-failed and the system's reason", async () => {
    const plain = scratchPath("not-executable");
    fs.writeFileSync(plain, "#!/bin/sh\n", { mode: 0o644 });
    await expectSpawnFailed("/nonexistent/velmuro", causeCode("ENOENT"));
    await expectSpawnFailed(plain, causeCode("EACCES"));
  });

  it("rejects with spawn-failed for the failures Node throws at once", async () => {
    // A path under a regular file, as for a tool left packed inside app.asar.
    const archive = scratchPath("app.asar");
    fs.writeFileSync(archive, "");
    await expectSpawnFailed(`${archive}/vendor/velmuro`, causeCode("ENOTDIR"));
    const loop = scratchPath("loop");
    fs.symlinkSync(loop, loop);
    await expectSpawnFailed(loop, causeCode("ELOOP"));
    await expectSpawnFailed(`/${"v".repeat(5000)}`, causeCode("ENAMETOOLONG"));
  });

  it("names the missing interpreter of a script", async () => {
    const script = fakeTool("");
    fs.writeFileSync(script, '#!/nonexistent/bin/sh -e\necho \'{"status":"granted"}\'\n');
    await expectSpawnFailed(script, (error) => {
      assert.match(error.message, /its interpreter \/nonexistent\/bin\/sh is missing/);
      causeCode("ENOENT")(error);
    });
  });

  const onLinux = process.platform === "linux" ? {} : { skip: "the messages are Linux's" };

  it(
    "refuses a file of another format or machine before the shell would run it",
    onLinux,
    async () => {
      // Each file ends in a line that makes the marker if a shell ever runs the file as a script.
      const marker = scratchPath("ran-as-a-script");
      const executable = (name: string, header: Buffer): string => {
        const file = scratchPath(name);
        fs.writeFileSync(file, Buffer.concat([header, Buffer.from(`\ntouch '${marker}'\n`)]));
        fs.chmodSync(file, 0o755);
        return file;
      };
      const elf = Buffer.alloc(64);
      elf.write("\x7fELF", "latin1");
      elf.set([2, 1, 1], 4); // 64-bit, little-endian, version 1
      elf.writeUInt16LE(3, 16); // a position-independent executable
      const [machine, name] = process.arch === "arm64" ? [62, "x64"] : [183, "arm64"];
      elf.writeUInt16LE(machine, 18);
      const machO = Buffer.alloc(32);
      machO.writeUInt32LE(0xfeedfacf, 0);
      machO.writeUInt32LE(0x0100000c, 4); // arm64
      const empty = scratchPath("velmuro-empty");
      fs.writeFileSync(empty, "", { mode: 0o755 });
      const cases: Array<[string, RegExp]> = [
        [
          executable("velmuro-elf", elf),
          new RegExp(`an ELF 64-bit executable for ${name}, and this machine is ${process.arch}$`),
        ],
        [
          executable("velmuro-macho", machO),
          /a Mach-O executable for arm64, made for macOS, not an executable for Linux$/,
        ],
        [executable("velmuro-exe", Buffer.from("MZ\x90\x00", "latin1")), /a Windows executable/],
        [
          executable("velmuro-text", Buffer.from("echo velmuro")),
          /neither an ELF executable nor a script that begins with #!$/,
        ],
        [empty, /it is empty$/],
      ];
      for (const [file, message] of cases) {
        await expectSpawnFailed(file, (error) => {
          assert.match(error.message, message);
          assert.equal(error.cause, undefined);
        });
      }
      await sleep(100);
      assert.equal(fs.existsSync(marker), false, "a shell ran the file");
    },
  );
});

describe("output that is not the protocol", () => {
  it("rejects with no-line when the tool ends without a line, keeping standard error for diagnosis", async () => {
    await assert.rejects(tool("echo 'it broke' >&2; exit 2").checkAudioPermission(), {
      kind: "no-line",
      exitCode: 2,
      stderr: "it broke\n",
    });
  });

  it("rejects with killed when a signal the client did not send ends the tool first", async () => {
    await assert.rejects(tool("kill -9 $$").muteProcesses(["x"]), {
      kind: "killed",
      code: "ERR_VELMURO_KILLED",
      signal: "SIGKILL",
      exitCode: null,
    });
    await assert.rejects(tool("kill -9 $$").checkAudioPermission(), {
      kind: "killed",
      signal: "SIGKILL",
    });
    // The tool answers SIGTERM and SIGINT with status 0 and no further line.
    await assert.rejects(tool("exit 0").readTeamsJoinLink(), {
      kind: "killed",
      message:
        "velmuro ax-teams-join-link exited with status 0 without a line, as it does on SIGTERM or SIGINT",
      exitCode: 0,
      signal: null,
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
    assert.deepEqual(await mute.release(), end);
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
