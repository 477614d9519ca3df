// The time limit and AbortSignal that every call takes.

import { VelmuroError } from "./errors.js";

/** Options every call takes. */
export interface CallOptions {
  /** Time limit in milliseconds, `Infinity` for none; the client's `timeoutMs` when absent. */
  timeoutMs?: number;
  /** Aborting ends the tool with SIGTERM; the call rejects with kind `aborted`. */
  signal?: AbortSignal;
}

// setTimeout cannot wait longer than this; longer limits count as none.
const kLongestTimerMs = 2147483647;

/** Throws a TypeError unless the limit is a positive number of milliseconds or Infinity. */
export function checkTimeout(timeoutMs: unknown, name = "timeoutMs"): number {
  if (typeof timeoutMs !== "number" || !(timeoutMs > 0)) {
    throw new TypeError(`${name} must be a positive number of milliseconds or Infinity`);
  }
  return timeoutMs;
}

/** Calls onTimeout when the limit passes and onAbort when the signal fires; gives the stopper. */
export function watchLimits(
  timeoutMs: number,
  signal: AbortSignal | undefined,
  onTimeout: () => void,
  onAbort: (reason: unknown) => void,
): () => void {
  const timer = timeoutMs <= kLongestTimerMs ? setTimeout(onTimeout, timeoutMs) : undefined;
  const abort = (): void => onAbort(signal?.reason);
  signal?.addEventListener("abort", abort, { once: true });
  return () => {
    clearTimeout(timer);
    signal?.removeEventListener("abort", abort);
  };
}

/** The rejection of a call aborted by its signal or by the host. */
export function abortedError(what: string, reason: unknown, pid?: number): VelmuroError {
  return new VelmuroError("aborted", `${what} was aborted`, {
    ...(reason === undefined ? {} : { cause: reason }),
    ...(pid === undefined ? {} : { pid }),
  });
}
