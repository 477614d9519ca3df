// The commands that print a result and exit, run on the simulated desktop: every status word,
// exact results, and the tool's own failure lines.

import assert from "node:assert/strict";
import { describe, it } from "node:test";
import { Velmuro, VelmuroError } from "../src/index.js";
import { replaced, SimWorld, simBinary, worldFile } from "./support.js";

const oneProcess = { processes: [{ id: 7, pid: 1 }] };

describe("permission", () => {
  it("reads each state of the permission as its word, creating no tap", async () => {
    const cases: Array<[object, string]> = [
      [{ preflight: 0 }, "granted"],
      [{ preflight: 1 }, "denied"],
      [{ preflight: 2 }, "undetermined"],
      [{ framework: false }, "unknown"],
      [{ entryPoint: false }, "unknown"],
    ];
    for (const [privacy, word] of cases) {
      const world = new SimWorld({ audio: oneProcess, privacy });
      assert.equal(await world.client.checkAudioPermission(), word, JSON.stringify(privacy));
      assert.deepEqual(world.calls("AudioHardwareCreateProcessTap"), []);
    }
  });

  it("requests the permission with a probe only while it is undecided", async () => {
    const cases: Array<[object, string, number]> = [
      [{ preflight: 0 }, "granted", 0],
      [{ preflight: 1 }, "denied", 0],
      [{ preflight: 2, afterPrompt: 0 }, "granted", 1],
      [{ preflight: 2, afterPrompt: 1 }, "denied", 1],
      [{ preflight: 2 }, "undetermined", 1],
      [{ framework: false }, "unknown", 1],
    ];
    for (const [privacy, word, probes] of cases) {
      const world = new SimWorld({ audio: oneProcess, privacy });
      assert.deepEqual(
        await world.client.requestAudioPermission(),
        { status: word },
        JSON.stringify(privacy),
      );
      assert.equal(world.calls("AudioHardwareCreateProcessTap").length, probes);
    }
  });

  it("gives a late probe failure together with the word read after it", async () => {
    const late: Array<[object, string, number]> = [
      [
        { call: "AudioHardwareCreateAggregateDevice", status: -1 },
        "AudioHardwareCreateAggregateDevice failed: -1",
        -1,
      ],
      [{ call: "AudioDeviceStart", status: -50 }, "AudioDeviceStart failed: -50", -50],
      [
        { call: "AudioObjectGetPropertyData", selector: "tuid", status: -10 },
        "Failed to get tap UID: -10",
        -10,
      ],
    ];
    for (const [fault, message, osStatus] of late) {
      const world = new SimWorld({
        audio: { ...oneProcess, faults: [fault] },
        privacy: { preflight: 2, afterPrompt: 0 },
      });
      const { status, probeFailure } = await world.client.requestAudioPermission();
      assert.equal(status, "granted");
      assert.ok(probeFailure instanceof VelmuroError);
      assert.equal(probeFailure.kind, "tap-failure");
      assert.equal(probeFailure.message, message);
      assert.equal(probeFailure.osStatus, osStatus);
    }
  });
});

describe("tab reader", () => {
  const browser = worldFile("browser.json");

  it("gives the addresses of the browser's windows in order", async () => {
    const world = new SimWorld(browser);
    assert.deepEqual(await world.client.readTabAddresses("com.example.browser"), {
      status: "ok",
      addresses: [
        "https://meet.example.com/abc-defg-hij",
        "meet.example.com/abc-defg-hij",
        "https://meet.example.com/abc-defg-hij",
        "docs.example.org",
      ],
    });
  });

  it("gives an empty list for a browser without windows, and the other words alone", async () => {
    const bare = new SimWorld({
      accessibility: { trusted: true },
      applications: [{ bundleId: "com.example.browser", pid: 5 }],
    });
    assert.deepEqual(await bare.client.readTabAddresses("com.example.browser"), {
      status: "ok",
      addresses: [],
    });
    assert.deepEqual(await new SimWorld(browser).client.readTabAddresses("com.example.other"), {
      status: "not-running",
    });
    const untrusted = new SimWorld(replaced(browser, '"trusted": true', '"trusted": false'));
    assert.deepEqual(await untrusted.client.readTabAddresses("com.example.browser"), {
      status: "untrusted",
    });
    // An empty bundle identifier is still the reader's argument, never a mute target.
    assert.deepEqual(await new SimWorld(browser).client.readTabAddresses(""), {
      status: "not-running",
    });
  });
});

describe("Zoom reader", () => {
  const zoom = worldFile("zoom-meeting.json");
  const renamed = replaced(zoom, '"title": "Copy Invite Link"', '"title": "Copy Meeting Link"');

  it("gives the invite link, and finds a renamed item with needles", async () => {
    const link = { status: "ok", text: "https://us05web.zoom.us/j/81234567890?pwd=demo" };
    assert.deepEqual(await new SimWorld(zoom).client.readZoomInviteLink(), link);
    assert.deepEqual(
      await new SimWorld(renamed).client.readZoomInviteLink({
        needles: ["invite", "meeting link"],
      }),
      link,
    );
  });

  it("gives each of its other words", async () => {
    const cases: Array<[string, string]> = [
      [replaced(zoom, '"trusted": true', '"trusted": false'), "untrusted"],
      ['{"accessibility": {"trusted": true}}', "not-running"],
      [renamed, "not-found"],
      [replaced(zoom, '"latencyMs": 0.5', '"latencyMs": 200'), "slow"],
      [replaced(zoom, '"afterMs": 250', '"afterMs": 2500'), "no-text"],
    ];
    for (const [world, status] of cases) {
      assert.deepEqual(await new SimWorld(world).client.readZoomInviteLink(), { status });
    }
  });
});

describe("Teams reader", () => {
  const teams = worldFile("teams-meeting.json");

  it("gives the join link", async () => {
    assert.deepEqual(await new SimWorld(teams).client.readTeamsJoinLink(), {
      status: "ok",
      text: "https://teams.microsoft.com/l/meetup-join/19%3ameeting_demo%40thread.v2/0",
    });
  });

  it("gives each of its other words", async () => {
    const cases: Array<[string, string]> = [
      [replaced(teams, '"trusted": true', '"trusted": false'), "untrusted"],
      ['{"accessibility": {"trusted": true}}', "not-running"],
      [
        '{"accessibility": {"trusted": true}, "applications": [{"bundleId": "com.microsoft.teams2", "pid": 5, "windows": [{"title": "Chat"}]}]}',
        "not-found",
      ],
      [replaced(teams, '"latencyMs": 0.2', '"latencyMs": 500'), "slow"],
      [
        replaced(
          teams,
          '{"on": "AXPress", "nth": 1, "do": [',
          '{"on": "AXShowMenu", "nth": 1, "do": [',
        ),
        "no-menu",
      ],
      [
        replaced(
          teams,
          '"domId": "meet_invite_block.action.join_link"',
          '"domId": "meet_invite_block.action.other"',
        ),
        "no-link",
      ],
    ];
    for (const [world, status] of cases) {
      assert.deepEqual(await new SimWorld(world).client.readTeamsJoinLink(), { status });
    }
  });
});

describe("a tool that cannot serve", () => {
  it("rejects every command with the tool's own message when it reports it has no services", async () => {
    const client = new Velmuro({
      binaryPath: simBinary,
      env: { ...process.env, VELMURO_SIM_WORLD: "" },
    });
    const calls: Array<() => Promise<unknown>> = [
      () => client.checkAudioPermission(),
      () => client.requestAudioPermission(),
      () => client.readTabAddresses("com.example.browser"),
      () => client.readZoomInviteLink(),
      () => client.readTeamsJoinLink(),
      () => client.muteProcesses(["us.zoom.xos"]),
      () => client.muteSystem(),
    ];
    for (const call of calls) {
      await assert.rejects(call(), {
        name: "VelmuroError",
        kind: "unlisted",
        message: "Could not open the simulated desktop: VELMURO_SIM_WORLD names no world file",
        exitCode: 1,
      });
    }
  });
});
