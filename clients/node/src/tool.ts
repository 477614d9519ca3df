// One run of the tool as a child process: its output read as records, its standard error kept
// aside for diagnosis, its end reported once the process has exited and its output is read.

import { spawn, type ChildProcess } from "node:child_process";
import { LineReader, type LineOutcome } from "./lines.js";

/** How the tool ended. */
export interface ToolExit {
  code: number | null;
  signal: NodeJS.Signals | null;
}

/** Receives what one run of the tool does, in order; nothing arrives after `end`. */
export interface ToolListener {
  line(outcome: LineOutcome): void;
  spawnFailed(error: Error): void;
  end(exit: ToolExit): void;
}

// After SIGTERM, the tool gets this long to go before SIGKILL follows.
const kKillAfterMs = 2000;
// After the exit, output still held open by a descendant is given up after this long.
const kOutputAfterExitMs = 1000;
// Standard error is kept only for messages; this much of its end is enough.
const kStderrKeptBytes = 8192;

export class ToolProcess {
  private readonly child: ChildProcess;
  private readonly reader = new LineReader();
  private stderrTail = "";
  private exit: ToolExit | undefined;
  private over = false;
  private killTimer: NodeJS.Timeout | undefined;
  private outputTimer: NodeJS.Timeout | undefined;

  /** Starts the tool; throws only for arguments that can never be started (a TypeError). */
  constructor(
    binaryPath: string,
    args: readonly string[],
    env: NodeJS.ProcessEnv | undefined,
    holdInput: boolean,
    private readonly listener: ToolListener,
  ) {
    // The tool's standard input is a pipe only this process holds (Node opens it close-on-exec),
    // so however the host ends, the pipe closes and a held mute is released by the tool itself.
    // Its own session keeps signals meant for the host's process group (Ctrl-C, a closed
    // terminal) from ending the tool without its teardown.
    this.child = spawn(binaryPath, args, {
      env: env ?? process.env,
      stdio: [holdInput ? "pipe" : "ignore", "pipe", "pipe"],
      detached: true,
      windowsHide: true,
    });
    const { stdin, stdout, stderr } = this.child;
    // Writing to a tool that has gone raises EPIPE here; its end is reported by the exit.
    stdin?.on("error", () => {});
    stdout!.on("data", (chunk: Buffer) => {
      for (const outcome of this.reader.push(chunk)) this.deliver(outcome);
    });
    stdout!.on("end", () => {
      const rest = this.reader.end();
      if (rest) this.deliver(rest);
    });
    stderr!.setEncoding("utf8");
    stderr!.on("data", (text: string) => {
      this.stderrTail = (this.stderrTail + text).slice(-kStderrKeptBytes);
    });
    this.child.on("error", (error) => {
      // Only a failed start matters; a failed kill of a process that has gone does not.
      if (this.child.pid === undefined && !this.over) {
        this.over = true;
        this.child.stdout?.destroy();
        this.child.stderr?.destroy();
        this.child.stdin?.destroy();
        this.listener.spawnFailed(error);
      }
    });
    this.child.on("exit", (code, signal) => {
      this.exit = { code, signal };
      clearTimeout(this.killTimer);
      // A descendant that inherited the output pipe must not keep the run open.
      this.outputTimer = setTimeout(() => {
        this.child.stdout?.destroy();
        this.child.stderr?.destroy();
      }, kOutputAfterExitMs);
    });
    this.child.on("close", () => this.finish());
  }

  /** The tool's process ID; absent when it could not be started. */
  get pid(): number | undefined {
    return this.child.pid;
  }

  /** Whether the process has not exited yet. */
  get running(): boolean {
    return this.child.pid !== undefined && this.exit === undefined;
  }

  /** What the tool wrote to standard error so far (its end, when long). */
  get stderr(): string {
    return this.stderrTail;
  }

  /** Writes to the tool's standard input and closes it. */
  writeAndClose(text: string): void {
    const stdin = this.child.stdin;
    if (stdin && !stdin.destroyed && stdin.writable) stdin.end(text);
  }

  /** Ends the tool with SIGTERM, and with SIGKILL if it is still there a little later. */
  terminate(): void {
    if (!this.running || this.killTimer) return;
    this.child.kill("SIGTERM");
    this.killTimer = setTimeout(() => {
      if (this.running) this.child.kill("SIGKILL");
    }, kKillAfterMs);
  }

  private deliver(outcome: LineOutcome): void {
    if (!this.over) this.listener.line(outcome);
  }

  private finish(): void {
    clearTimeout(this.outputTimer);
    clearTimeout(this.killTimer);
    if (this.over) return;
    this.over = true;
    this.listener.end(this.exit ?? { code: this.child.exitCode, signal: this.child.signalCode });
  }
}
