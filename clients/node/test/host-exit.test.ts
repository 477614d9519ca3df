// A host that ends while its mute holds, however it ends: the tool sees its input close and takes
// the mute down itself, with the whole teardown.

import assert from "node:assert/strict";
import { spawn } from "node:child_process";
import * as path from "node:path";
import { describe, it } from "node:test";
import { eventually, isAlive, SimWorld, simBinary, worldFile } from "./support.js";

const fixture = path.join(__dirname, "host.fixture.js");

/** Starts the host, waits for its mute, ends it `how`; gives the world and the tool's PID. */
async function hostEnding(
  how: "exit" | "throw" | "SIGKILL" | "SIGINT to its group",
): Promise<[SimWorld, number]> {
  const world = new SimWorld(worldFile("demo.json"));
  const host = spawn(process.execPath, [fixture, simBinary, how], {
    env: world.env,
    stdio: ["ignore", "pipe", "ignore"],
    detached: true, // a process group of its own, as a host started from a terminal has
  });
  const toolPid = await new Promise<number>((resolve, reject) => {
    host.stdout.once("data", (chunk: Buffer) => resolve(Number(chunk.toString())));
    host.once("exit", () => reject(new Error("the host ended before its mute")));
  });
  if (how === "SIGKILL") host.kill("SIGKILL");
  if (how === "SIGINT to its group") process.kill(-host.pid!, "SIGINT");
  return [world, toolPid];
}

describe("the host process ending during a hold", () => {
  for (const how of ["exit", "throw", "SIGKILL", "SIGINT to its group"] as const) {
    it(`releases the mute with the tool's teardown when the host ends by ${how}`, async () => {
      const [world, toolPid] = await hostEnding(how);
      await eventually(
        () => world.calls("AudioHardwareDestroyProcessTap").length === 1,
        "the tap is destroyed",
      );
      const calls = world
        .trace()
        .filter((line) => line.call?.startsWith("Audio") && !line.call.includes("Property"));
      assert.deepEqual(
        calls.map((line) => [line.call, line.args?.["silenced"]]),
        [
          ["AudioHardwareCreateProcessTap", []],
          ["AudioHardwareCreateAggregateDevice", undefined],
          ["AudioDeviceCreateIOProcID", undefined],
          ["AudioDeviceStart", [101]],
          ["AudioDeviceStop", []],
          ["AudioDeviceDestroyIOProcID", []],
          ["AudioHardwareDestroyAggregateDevice", []],
          ["AudioHardwareDestroyProcessTap", []],
        ],
      );
      await eventually(() => !isAlive(toolPid), "the tool is gone");
    });
  }
});
