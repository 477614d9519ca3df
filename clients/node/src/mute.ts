// A mute: the tool runs from the start to "muted", holds while its standard input stays open and
// silent, and ends with "unmuted" after the release line, or at once on SIGTERM.

import { errorFromRecord, VelmuroError } from "./errors.js";
import type { LineOutcome, ToolRecord } from "./lines.js";
import { abortedError, checkTimeout, watchLimits, type CallOptions } from "./limits.js";
import type { RunSettings } from "./run-once.js";
import { describeExit, missingLine, ToolProcess, type ToolExit } from "./tool.js";

/**
 * How a mute ended:
 * - `released`: `release()` completed: "unmuted" and exit status 0.
 * - `aborted`: the host ended the tool with SIGTERM (`abort()`, an AbortSignal).
 * - `killed`: a signal the client did not send ended the tool (killed from outside, crashed);
 *   the platform took the mute down.
 * - `exited`: the tool exited on its own in a way the protocol does not have (a status other
 *   than 0 without "unmuted", "unmuted" with a status other than 0).
 * - `failed`: the client ended the tool with SIGTERM because it broke the protocol or its release
 *   ran out of time, or the tool could not be started.
 */
export type MuteEndReason = "released" | "aborted" | "killed" | "exited" | "failed";

/** What `ended` gives once the tool has gone. */
export interface MuteEnd {
  reason: MuteEndReason;
  /** Whether the tool printed "unmuted", that is, took the mute down itself. */
  unmuted: boolean;
  exitCode: number | null;
  signal: NodeJS.Signals | null;
  /** What went wrong; absent for `released` and for a clean "unmuted" exit. */
  error?: VelmuroError;
}

/** A mute in place; `await using` releases it at the end of the scope. */
export interface MuteHandle {
  /** The tool's process ID. */
  readonly pid: number;
  /** True until a release starts or the mute ends. */
  readonly held: boolean;
  /**
   * Releases the mute and resolves with how it ended, once the tool has gone; called again while
   * the release runs, it gives the same promise. On a mute that has ended, or that is ending
   * (`abort()`, a fault), it resolves with that end. It rejects only when the release it started
   * fails: no "unmuted" in time, the tool broke the protocol or was killed meanwhile, or the
   * release's own signal fired.
   */
  release(options?: CallOptions): Promise<MuteEnd>;
  /**
   * Ends the tool with SIGTERM at once, with no "unmuted": the platform takes the mute down.
   * Resolves with how the mute ended, whenever it is called, as `ended` does.
   */
  abort(reason?: unknown): Promise<MuteEnd>;
  /** Resolves (never rejects) when the tool has gone, however that came about. */
  readonly ended: Promise<MuteEnd>;
  /** Releases the mute and waits for the tool to go; never rejects (`ended` says how). */
  [Symbol.asyncDispose](): Promise<void>;
}

type Phase = "starting" | "held" | "releasing" | "over";

interface Pending<T> {
  promise: Promise<T>;
  resolve(value: T): void;
  reject(error: unknown): void;
}

function pending<T>(): Pending<T> {
  let resolve!: (value: T) => void;
  let reject!: (error: unknown) => void;
  const promise = new Promise<T>((res, rej) => {
    resolve = res;
    reject = rej;
  });
  return { promise, resolve, reject };
}

// Any non-empty input releases the mute; the pipe is closed after it as well.
const kReleaseLine = "release\n";

class Mute implements MuteHandle {
  readonly ended: Promise<MuteEnd>;
  #phase: Phase = "starting";
  readonly #what: string;
  readonly #tool: ToolProcess;
  readonly #started = pending<MuteHandle>();
  readonly #end = pending<MuteEnd>();
  readonly #defaultTimeoutMs: number;
  // The release this client started on the held mute.
  #release: Pending<MuteEnd> | undefined;
  #stopRelease = (): void => {};
  #stopStart = (): void => {};
  #stopSignal = (): void => {};
  #failureLine: (ToolRecord & { error: string }) | undefined;
  #unmuted = false;
  // Set when the client ends the tool itself, before the exit is seen.
  #endedBy: { reason: "aborted" | "failed"; error: VelmuroError } | undefined;
  declare [Symbol.asyncDispose]: () => Promise<void>;

  constructor(settings: RunSettings, args: string[]) {
    this.ended = this.#end.promise;
    this.#what = `velmuro ${args.join(" ")}`.trim();
    this.#defaultTimeoutMs = settings.timeoutMs;
    this.#tool = new ToolProcess(settings, args, true, {
      line: (outcome) => this.#onLine(outcome),
      spawnFailed: (error) => this.#onSpawnFailed(error),
      end: (exit) => this.#onEnd(exit),
    });
    // The time limit covers the start; the signal covers the whole mute, hold included.
    this.#stopStart = watchLimits(
      settings.timeoutMs,
      undefined,
      () =>
        this.#fault(
          new VelmuroError(
            "timeout",
            `${this.#what} did not mute within ${settings.timeoutMs} ms`,
            this.#details(),
          ),
        ),
      () => {},
    );
    this.#stopSignal = watchLimits(
      Infinity,
      settings.signal,
      () => {},
      (reason) => void this.abort(reason),
    );
  }

  get started(): Promise<MuteHandle> {
    return this.#started.promise;
  }

  get pid(): number {
    return this.#tool.pid ?? 0;
  }

  get held(): boolean {
    return this.#phase === "held" && !this.#endedBy;
  }

  release(options: CallOptions = {}): Promise<MuteEnd> {
    // Ended, or ending on the client's account: nothing is left to release.
    if (this.#phase === "over" || this.#endedBy) return this.ended;
    if (this.#release) return this.#release.promise;
    let timeoutMs: number;
    try {
      timeoutMs = checkTimeout(options.timeoutMs ?? this.#defaultTimeoutMs);
    } catch (error) {
      return Promise.reject(error);
    }
    const release = pending<MuteEnd>();
    this.#release = release;
    this.#phase = "releasing";
    if (options.signal?.aborted) {
      this.#abortRelease(options.signal.reason);
      return release.promise;
    }
    this.#stopRelease = watchLimits(
      timeoutMs,
      options.signal,
      () =>
        this.#fault(
          new VelmuroError(
            "timeout",
            `${this.#what} did not unmute within ${timeoutMs} ms`,
            this.#details(),
          ),
        ),
      (reason) => this.#abortRelease(reason),
    );
    this.#tool.writeAndClose(kReleaseLine);
    return release.promise;
  }

  abort(reason?: unknown): Promise<MuteEnd> {
    if (this.#phase !== "over" && !this.#endedBy) {
      this.#endTool("aborted", abortedError(this.#what, reason, this.#tool.pid));
    }
    return this.ended;
  }

  #details(exit?: ToolExit) {
    return {
      ...(this.#tool.pid === undefined ? {} : { pid: this.#tool.pid }),
      stderr: this.#tool.stderr,
      ...(exit ? { exitCode: exit.code, signal: exit.signal } : {}),
    };
  }

  // Ends the tool with SIGTERM on the client's own account. A mute not yet in place rejects with
  // this error, and so does a release under way when the client ends the tool for a fault; a
  // release the host's abort overtakes resolves with the end.
  #endTool(reason: "aborted" | "failed", error: VelmuroError): void {
    this.#endedBy = { reason, error };
    this.#stopStart();
    this.#stopRelease();
    if (this.#phase === "starting") this.#started.reject(error);
    if (reason === "failed") this.#release?.reject(error);
    this.#tool.terminate();
  }

  // The release's own signal fired: the release rejects, as a call whose signal fired does.
  #abortRelease(reason: unknown): void {
    if (this.#phase === "over" || this.#endedBy) return;
    const error = abortedError(this.#what, reason, this.#tool.pid);
    this.#endTool("aborted", error);
    this.#release?.reject(error);
  }

  #fault(error: VelmuroError): void {
    if (this.#phase !== "over" && !this.#endedBy) this.#endTool("failed", error);
  }

  #badLine(why: string, line: string): void {
    this.#fault(
      new VelmuroError("bad-line", `${this.#what} printed ${why}`, { ...this.#details(), line }),
    );
  }

  #onLine(outcome: LineOutcome): void {
    if (this.#phase === "over" || this.#endedBy) return;
    if ("invalid" in outcome) {
      this.#badLine(`a line that is not a protocol line: ${outcome.invalid}`, outcome.line);
      return;
    }
    const { status, error } = outcome.record;
    if (this.#phase === "starting") {
      if (this.#failureLine) {
        this.#badLine("a line after its failure line", outcome.line);
      } else if (error !== undefined) {
        this.#failureLine = { ...outcome.record, error };
      } else if (status === "muted") {
        this.#phase = "held";
        this.#stopStart();
        this.#started.resolve(this);
      } else {
        this.#badLine(`"${status}" where "muted" or a failure belongs`, outcome.line);
      }
    } else if (status === "unmuted" && error === undefined && !this.#unmuted) {
      this.#unmuted = true;
    } else {
      this.#badLine(`a line where only "unmuted" belongs`, outcome.line);
    }
  }

  #onSpawnFailed(error: VelmuroError): void {
    this.#fault(error);
    this.#onEnd({ code: null, signal: null });
  }

  // Never muted: the failure line with exit status 1, or nothing that makes sense.
  #startFailure(exit: ToolExit): VelmuroError {
    if (this.#failureLine && exit.code === 1) {
      return errorFromRecord(this.#failureLine, this.#details(exit));
    }
    if (this.#failureLine) {
      return new VelmuroError(
        "bad-exit",
        `${this.#what} printed "${this.#failureLine.error}" and ${describeExit(exit)}`,
        this.#details(exit),
      );
    }
    return missingLine(this.#what, exit, "without a line", this.#details(exit));
  }

  // The tool ended on its own after "muted": a release, or an end the host did not ask for.
  #heldEnd(exit: ToolExit, releasing: boolean): { reason: MuteEndReason; error?: VelmuroError } {
    if (!this.#unmuted) {
      const when = releasing ? "before unmuting" : "during the hold";
      const error = missingLine(this.#what, exit, when, this.#details(exit));
      return { reason: error.kind === "killed" ? "killed" : "exited", error };
    }
    if (exit.code !== 0) {
      const error = new VelmuroError(
        "bad-exit",
        `${this.#what} printed "unmuted" and ${describeExit(exit)}`,
        this.#details(exit),
      );
      return { reason: "exited", error };
    }
    return { reason: releasing ? "released" : "exited" };
  }

  #onEnd(exit: ToolExit): void {
    this.#stopStart();
    this.#stopRelease();
    this.#stopSignal();
    const phase = this.#phase;
    this.#phase = "over";
    let end: { reason: MuteEndReason; error?: VelmuroError | undefined };
    if (this.#endedBy) {
      end = this.#endedBy;
    } else if (phase === "starting") {
      const error = this.#startFailure(exit);
      this.#started.reject(error);
      end = { reason: error.kind === "killed" ? "killed" : "failed", error };
    } else {
      end = this.#heldEnd(exit, phase === "releasing");
    }
    const outcome: MuteEnd = {
      reason: end.reason,
      unmuted: this.#unmuted,
      exitCode: exit.code,
      signal: exit.signal,
      ...(end.error ? { error: end.error } : {}),
    };
    // A release the client's own ending settled already stays as it was.
    if (end.error && !this.#endedBy) this.#release?.reject(end.error);
    else this.#release?.resolve(outcome);
    this.#end.resolve(outcome);
  }
}

// Symbol.asyncDispose is in Node from 20.4 on; before it, a handle has no disposal method and
// `await using` on it throws a TypeError of its own.
if (typeof Symbol.asyncDispose === "symbol") {
  Mute.prototype[Symbol.asyncDispose] = async function (this: Mute): Promise<void> {
    await this.release().catch(() => {});
    await this.ended;
  };
}

/** Starts a mute with these arguments; resolves with its handle once "muted" has arrived. */
export function startMute(settings: RunSettings, args: string[]): Promise<MuteHandle> {
  const what = `velmuro ${args.join(" ")}`.trim();
  if (settings.signal?.aborted) return Promise.reject(abortedError(what, settings.signal.reason));
  try {
    return new Mute(settings, args).started;
  } catch (error) {
    return Promise.reject(error);
  }
}
