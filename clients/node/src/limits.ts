// The time limit and AbortSignal that every call takes.

import { invalidArgument, VelmuroError } from "./errors.js";

/** Options every call takes. */
export interface CallOptions {
  /**
   * Time limit in milliseconds, `0` or `Infinity` for none; the client's `timeoutMs` when
   * absent. A mute's limit covers reaching "muted", never the hold.
   */
  timeoutMs?: number | undefined;
  /**
   * Aborting ends the tool with SIGTERM; the call rejects with kind `aborted`, or `timeout` when
   * the signal is `AbortSignal.timeout()`'s.
   */
  signal?: AbortSignal | undefined;
}

// setTimeout cannot wait longer than this; longer limits count as none.
const kLongestTimerMs = 2147483647;

/** The limit as a number of milliseconds, Infinity for none; a TypeError unless it is one. */
export function checkTimeout(timeoutMs: unknown, name = "timeoutMs"): number {
  if (typeof timeoutMs !== "number" || !(timeoutMs >= 0)) {
    throw invalidArgument(`${name} must be a number of milliseconds, or 0 or Infinity for none`);
  }
  return timeoutMs === 0 ? Infinity : timeoutMs;
}

/** The delay before SIGKILL; a TypeError unless it is a number of milliseconds or Infinity. */
export function checkKillDelay(delayMs: unknown): number {
  if (typeof delayMs !== "number" || !(delayMs >= 0)) {
    throw invalidArgument("forceKillAfterMs must be a number of milliseconds, or Infinity");
  }
  return delayMs;
}

/** A timer that does not keep the host's event loop alive; none for Infinity. */
export function unrefTimer(ms: number, run: () => void): NodeJS.Timeout | undefined {
  return ms <= kLongestTimerMs ? setTimeout(run, ms).unref() : undefined;
}

// Every call watching one signal goes through a single listener on it, so that many calls
// sharing a signal never pass Node's limit of listeners (and its warning).
const watchersBySignal = new WeakMap<
  AbortSignal,
  { watchers: Set<() => void>; listener: () => void }
>();

function watchSignal(signal: AbortSignal, watcher: () => void): () => void {
  let entry = watchersBySignal.get(signal);
  if (!entry) {
    const watchers = new Set<() => void>();
    const listener = (): void => {
      watchersBySignal.delete(signal);
      for (const watch of [...watchers]) watch();
    };
    entry = { watchers, listener };
    watchersBySignal.set(signal, entry);
    signal.addEventListener("abort", listener, { once: true });
  }
  const { watchers, listener } = entry;
  watchers.add(watcher);
  return () => {
    if (!watchers.delete(watcher) || watchers.size > 0) return;
    signal.removeEventListener("abort", listener);
    watchersBySignal.delete(signal);
  };
}

/** Calls onTimeout when the limit passes and onAbort when the signal fires; gives the stopper. */
export function watchLimits(
  timeoutMs: number,
  signal: AbortSignal | undefined,
  onTimeout: () => void,
  onAbort: (reason: unknown) => void,
): () => void {
  // The tool's process keeps the event loop alive while it runs; the timer need not.
  const timer = unrefTimer(timeoutMs, onTimeout);
  const stopWatching = signal ? watchSignal(signal, () => onAbort(signal.reason)) : undefined;
  return () => {
    clearTimeout(timer);
    stopWatching?.();
  };
}

// What AbortSignal.timeout() aborts with.
function isTimeoutReason(reason: unknown): boolean {
  return (
    typeof reason === "object" &&
    reason !== null &&
    (reason as { name?: unknown }).name === "TimeoutError"
  );
}

/**
 * The rejection of a call aborted by its signal or by the host: kind `timeout` when the reason
 * is a time limit's (`AbortSignal.timeout()`), `aborted` otherwise.
 */
export function abortedError(what: string, reason: unknown, pid?: number): VelmuroError {
  const timedOut = isTimeoutReason(reason);
  return new VelmuroError(
    timedOut ? "timeout" : "aborted",
    timedOut ? `${what} was ended by its signal's time limit` : `${what} was aborted`,
    {
      bySignal: true,
      ...(reason === undefined ? {} : { cause: reason }),
      ...(pid === undefined ? {} : { pid }),
    },
  );
}
