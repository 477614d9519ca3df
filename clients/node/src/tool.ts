// One run of the tool as a child process: its output read as records, its standard error kept
// aside for diagnosis, its end reported once the process has exited and its output is read.

import { spawn, type ChildProcess } from "node:child_process";
import * as fs from "node:fs";
import { VelmuroError, type VelmuroErrorDetails } from "./errors.js";
import { readHeader, whyNotExecutable } from "./format.js";
import { unrefTimer } from "./limits.js";
import { LineReader, type LineOutcome } from "./lines.js";

/** Where and how the tool is started. */
export interface Launch {
  binaryPath: string;
  env: NodeJS.ProcessEnv | undefined;
  /** After SIGTERM, the tool gets this long to go before SIGKILL follows; Infinity for never. */
  forceKillAfterMs: number;
}

/** How the tool ended. */
export interface ToolExit {
  code: number | null;
  signal: NodeJS.Signals | null;
}

/** Receives what one run of the tool does, in order; nothing arrives after `end`. */
export interface ToolListener {
  line(outcome: LineOutcome): void;
  /** The tool could not be started (kind `spawn-failed`); comes instead of `end`. */
  spawnFailed(error: VelmuroError): void;
  end(exit: ToolExit): void;
}

// After the exit, output still held open by a descendant is given up after this long.
const kOutputAfterExitMs = 1000;
// Standard error is kept only for messages; this much of its end is enough.
const kStderrKeptBytes = 8192;

/** How the tool ended, in words: "exited with status 2", "was ended by SIGKILL". */
export function describeExit(exit: ToolExit): string {
  return exit.signal ? `was ended by ${exit.signal}` : `exited with status ${exit.code}`;
}

/**
 * The error of a run that ended without the line it owed (`when`: "without a line", "during the
 * hold"): kind `killed` for an end by a signal, which the tool answers SIGTERM and SIGINT with
 * by exit status 0, and `no-line` for any other exit.
 */
export function missingLine(
  what: string,
  exit: ToolExit,
  when: string,
  details: VelmuroErrorDetails,
): VelmuroError {
  if (exit.signal) {
    return new VelmuroError("killed", `${what} was killed by ${exit.signal} ${when}`, details);
  }
  if (exit.code === 0) {
    return new VelmuroError(
      "killed",
      `${what} exited with status 0 ${when}, as it does on SIGTERM or SIGINT`,
      details,
    );
  }
  return new VelmuroError("no-line", `${what} ${describeExit(exit)} ${when}`, details);
}

// What the first line of a script names as its interpreter.
function interpreterOf(header: Buffer | undefined): string | undefined {
  if (header?.subarray(0, 2).toString("latin1") !== "#!") return undefined;
  return header.toString("utf8", 2).split("\n")[0]!.trim().split(/\s+/)[0];
}

// The start failure the system reported, with what it means when the message alone misleads.
function startFailure(binaryPath: string, error: NodeJS.ErrnoException): VelmuroError {
  let why = error.message;
  // ENOENT for a file that is there: the program that runs it is missing.
  if (error.code === "ENOENT" && fs.existsSync(binaryPath)) {
    const interpreter = interpreterOf(readHeader(binaryPath));
    why = interpreter
      ? `its interpreter ${interpreter} is missing (${why})`
      : `the program loader its header names is missing (${why})`;
  }
  return new VelmuroError("spawn-failed", `${binaryPath} could not be started: ${why}`, {
    cause: error,
  });
}

export class ToolProcess {
  private readonly child: ChildProcess | undefined;
  private readonly reader = new LineReader();
  private readonly forceKillAfterMs: number;
  private stderrTail = "";
  private exit: ToolExit | undefined;
  private over = false;
  private killTimer: NodeJS.Timeout | undefined;
  private outputTimer: NodeJS.Timeout | undefined;

  /**
   * Starts the tool. A failure to start reaches the listener on a later tick, whether Node
   * throws it or reports it as an event; only arguments Node refuses (a TypeError) throw.
   */
  constructor(
    launch: Launch,
    args: readonly string[],
    holdInput: boolean,
    private readonly listener: ToolListener,
  ) {
    this.forceKillAfterMs = launch.forceKillAfterMs;
    const { binaryPath } = launch;
    const header = readHeader(binaryPath);
    const refused = header && whyNotExecutable(header, process.platform, process.arch);
    if (refused) {
      const why = `${binaryPath} could not be started: ${refused}`;
      this.failLater(new VelmuroError("spawn-failed", why));
      return;
    }
    try {
      // The tool's standard input is a pipe only this process holds (Node opens it
      // close-on-exec), so however the host ends, the pipe closes and a held mute is released by
      // the tool itself. Its own session keeps signals meant for the host's process group
      // (Ctrl-C, a closed terminal) from ending the tool without its teardown.
      this.child = spawn(binaryPath, args, {
        env: launch.env ?? process.env,
        stdio: [holdInput ? "pipe" : "ignore", "pipe", "pipe"],
        detached: true,
        windowsHide: true,
      });
    } catch (error) {
      // Node throws some failures of the system's start at once (ENOTDIR, ELOOP, ENAMETOOLONG).
      if (error instanceof TypeError) throw error;
      this.failLater(startFailure(binaryPath, error as NodeJS.ErrnoException));
      return;
    }
    this.watch(this.child, binaryPath);
  }

  /** The tool's process ID; absent when it could not be started. */
  get pid(): number | undefined {
    return this.child?.pid;
  }

  /** Whether the process has not exited yet. */
  get running(): boolean {
    return this.child?.pid !== undefined && this.exit === undefined;
  }

  /** What the tool wrote to standard error so far (its end, when long). */
  get stderr(): string {
    return this.stderrTail;
  }

  /** Writes to the tool's standard input and closes it. */
  writeAndClose(text: string): void {
    const stdin = this.child?.stdin;
    if (stdin && !stdin.destroyed && stdin.writable) stdin.end(text);
  }

  /** Ends the tool with SIGTERM, and with SIGKILL if it is still there a little later. */
  terminate(): void {
    if (!this.running || this.killTimer) return;
    const child = this.child!;
    child.kill("SIGTERM");
    // Cleared at the exit; it never keeps the host's event loop alive on its own.
    this.killTimer = unrefTimer(this.forceKillAfterMs, () => {
      if (this.running) child.kill("SIGKILL");
    });
  }

  private watch(child: ChildProcess, binaryPath: string): void {
    const { stdin, stdout, stderr } = child;
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
    child.on("error", (error) => {
      // Only a failed start matters; a failed kill of a process that has gone does not.
      if (child.pid === undefined && !this.over) {
        child.stdout?.destroy();
        child.stderr?.destroy();
        child.stdin?.destroy();
        this.fail(startFailure(binaryPath, error));
      }
    });
    child.on("exit", (code, signal) => {
      this.exit = { code, signal };
      clearTimeout(this.killTimer);
      // A descendant that inherited the output pipe must not keep the run open.
      this.outputTimer = unrefTimer(kOutputAfterExitMs, () => {
        child.stdout?.destroy();
        child.stderr?.destroy();
      });
    });
    child.on("close", () => this.finish(child));
  }

  private failLater(error: VelmuroError): void {
    process.nextTick(() => this.fail(error));
  }

  private fail(error: VelmuroError): void {
    if (this.over) return;
    this.over = true;
    this.listener.spawnFailed(error);
  }

  private deliver(outcome: LineOutcome): void {
    if (!this.over) this.listener.line(outcome);
  }

  private finish(child: ChildProcess): void {
    clearTimeout(this.outputTimer);
    clearTimeout(this.killTimer);
    if (this.over) return;
    this.over = true;
    this.listener.end(this.exit ?? { code: child.exitCode, signal: child.signalCode });
  }
}
