// A mute: the tool runs from the start to "muted", holds while its standard input stays open and
// silent, and ends with "unmuted" after the release line, or at once on SIGTERM.

import { errorFromRecord, VelmuroError } from "./errors.js";
import type { LineOutcome, ToolRecord } from "./lines.js";
import { abortedError, checkTimeout, watchLimits, type CallOptions } from "./limits.js";
import type { RunSettings } from "./run-once.js";
import { ToolProcess, type ToolExit } from "./tool.js";

/**
 * How a mute ended:
 * - `released`: `release()` completed: "unmuted" and exit status 0.
 * - `aborted`: the host ended the tool with SIGTERM (`abort()` or the call's AbortSignal).
 * - `exited`: the tool ended on its own (killed from outside, crashed, or released by something
 *   other than this client); the host's mute is gone.
 * - `failed`: the client ended the tool with SIGTERM because it broke the protocol or its release
 *   ran out of time.
 */
export type MuteEndReason = "released" | "aborted" | "exited" | "failed";

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

/** A mute in place. */
export interface MuteHandle {
  /** The tool's process ID. */
  readonly pid: number;
  /** True until a release starts or the mute ends. */
  readonly held: boolean;
  /** Releases the mute: resolves on "unmuted" and exit status 0; again, the same promise. */
  release(options?: CallOptions): Promise<void>;
  /** Ends the tool with SIGTERM at once, with no "unmuted": the platform takes the mute down. */
  abort(reason?: unknown): void;
  /** Resolves (never rejects) when the tool has gone, however that came about. */
  readonly ended: Promise<MuteEnd>;
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
  #release: Pending<void> | undefined;
  #stopRelease = (): void => {};
  #stopStart = (): void => {};
  #stopSignal = (): void => {};
  #failureLine: (ToolRecord & { error: string }) | undefined;
  #unmuted = false;
  // Set when the client ends the tool itself, before the exit is seen.
  #endedBy: { reason: "aborted" | "failed"; error: VelmuroError } | undefined;
  #outcome: MuteEnd | undefined;

  constructor(settings: RunSettings, args: string[]) {
    this.ended = this.#end.promise;
    this.#what = `velmuro ${args.join(" ")}`.trim();
    this.#defaultTimeoutMs = settings.timeoutMs;
    this.#tool = new ToolProcess(settings.binaryPath, args, settings.env, true, {
      line: (outcome) => this.#onLine(outcome),
      spawnFailed: (error) => this.#onSpawnFailed(settings.binaryPath, error),
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
      (reason) => this.abort(reason),
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

  release(options: CallOptions = {}): Promise<void> {
    if (this.#release) return this.#release.promise;
    let timeoutMs: number;
    try {
      timeoutMs = checkTimeout(options.timeoutMs ?? this.#defaultTimeoutMs);
    } catch (error) {
      return Promise.reject(error);
    }
    this.#release = pending<void>();
    const release = this.#release;
    if (this.#endedBy) {
      release.reject(this.#endedBy.error);
      return release.promise;
    }
    if (this.#phase === "over") {
      const outcome = this.#outcome!;
      if (outcome.unmuted && outcome.exitCode === 0 && outcome.reason !== "failed")
        release.resolve();
      else
        release.reject(
          outcome.error ?? new VelmuroError("no-line", `${this.#what} had already ended`),
        );
      return release.promise;
    }
    this.#phase = "releasing";
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
      (reason) => this.abort(reason),
    );
    if (options.signal?.aborted) this.abort(options.signal.reason);
    else this.#tool.writeAndClose(kReleaseLine);
    return release.promise;
  }

  abort(reason?: unknown): void {
    if (this.#phase === "over" || this.#endedBy) return;
    this.#endTool("aborted", abortedError(this.#what, reason, this.#tool.pid));
  }

  #details(exit?: ToolExit) {
    return {
      ...(this.#tool.pid === undefined ? {} : { pid: this.#tool.pid }),
      stderr: this.#tool.stderr,
      ...(exit ? { exitCode: exit.code, signal: exit.signal } : {}),
    };
  }

  // Ends the tool with SIGTERM on the client's own account; whatever waits fails with this error.
  #endTool(reason: "aborted" | "failed", error: VelmuroError): void {
    this.#endedBy = { reason, error };
    this.#stopStart();
    this.#stopRelease();
    if (this.#phase === "starting") this.#started.reject(error);
    this.#release?.reject(error);
    this.#tool.terminate();
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

  #onSpawnFailed(binaryPath: string, error: Error): void {
    this.#fault(
      new VelmuroError("spawn-failed", `${binaryPath} could not be started: ${error.message}`, {
        cause: error,
      }),
    );
    this.#onEnd({ code: null, signal: null });
  }

  #onEnd(exit: ToolExit): void {
    this.#stopStart();
    this.#stopRelease();
    this.#stopSignal();
    const phase = this.#phase;
    this.#phase = "over";
    const ended = exit.signal ? `was ended by ${exit.signal}` : `exited with status ${exit.code}`;
    let reason: MuteEndReason;
    let error: VelmuroError | undefined;
    if (this.#endedBy) {
      ({ reason, error } = this.#endedBy);
    } else if (phase === "starting") {
      // Never muted: the failure line with exit status 1, or nothing that makes sense.
      reason = "failed";
      if (this.#failureLine && exit.code === 1) {
        error = errorFromRecord(this.#failureLine, this.#details(exit));
      } else if (this.#failureLine) {
        error = new VelmuroError(
          "bad-exit",
          `${this.#what} printed "${this.#failureLine.error}" and ${ended}`,
          this.#details(exit),
        );
      } else {
        error = new VelmuroError(
          "no-line",
          `${this.#what} ${ended} without a line`,
          this.#details(exit),
        );
      }
      this.#started.reject(error);
    } else {
      reason = phase === "releasing" && this.#unmuted && exit.code === 0 ? "released" : "exited";
      if (!this.#unmuted) {
        const when = phase === "releasing" ? "before unmuting" : "during the hold";
        error = new VelmuroError("no-line", `${this.#what} ${ended} ${when}`, this.#details(exit));
      } else if (exit.code !== 0) {
        error = new VelmuroError(
          "bad-exit",
          `${this.#what} printed "unmuted" and ${ended}`,
          this.#details(exit),
        );
      }
      if (error) this.#release?.reject(error);
      else this.#release?.resolve();
    }
    this.#outcome = {
      reason,
      unmuted: this.#unmuted,
      exitCode: exit.code,
      signal: exit.signal,
      ...(error ? { error } : {}),
    };
    this.#end.resolve(this.#outcome);
  }
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
