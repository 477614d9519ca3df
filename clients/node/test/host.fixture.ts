// A host for the host-exit tests: mutes Zoom on the world its environment names, prints the
// tool's PID, then ends as its second argument says ("exit", "throw") or waits to be killed.

import { Velmuro } from "../src/index.js";

const [binaryPath, how] = process.argv.slice(2);
const client = new Velmuro({ binaryPath: binaryPath! });
void client.muteProcesses(["us.zoom.xos"]).then((mute) => {
  process.stdout.write(`${mute.pid}\n`, () => {
    if (how === "exit") process.exit(0);
    if (how === "throw") throw new Error("the host failed");
  });
});
