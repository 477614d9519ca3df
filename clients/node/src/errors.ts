// The one error type of the client: a kind a host can switch on, and the tool's own message.

import type { ToolRecord } from "./lines.js";

/**
 * Why a call failed. The first six come from the tool's error line; the rest are the client's:
 * - `permission-required`: the tap was refused for lack of the capture permission (`errorCode`).
 * - `not-found`: nothing to mute among the targets.
 * - `tap-failure`: the audio system refused a step of the mute; `osStatus` holds its status.
 * - `process-tree`: the system mute could not read the host's process tree.
 * - `usage`: the tool was started without a command.
 * - `unlisted`: an error line whose message the protocol does not list (for example, a tool
 *   built without services for this system).
 * - `spawn-failed`: the binary could not be started: the system refused it (`cause` holds the
 *   system's error), or it is no executable for this machine (the message says what it is).
 * - `killed`: the tool was ended by a signal the client did not send, before the line it owed:
 *   killed from outside or crashed (`signal`), or SIGTERM or SIGINT, which the tool answers with
 *   exit status 0 and no further line.
 * - `no-line`: the tool exited on its own without the line it owed.
 * - `bad-line`: it printed something that is not a protocol line, or a line this command never
 *   prints (`line` holds it).
 * - `bad-exit`: its exit status or signal contradicts the lines it printed.
 * - `timeout`: the call's time limit passed, or its AbortSignal's (`AbortSignal.timeout()`); the
 *   tool was ended.
 * - `aborted`: the call's AbortSignal fired or the host aborted; the tool was ended.
 */
export type VelmuroErrorKind =
  | "permission-required"
  | "not-found"
  | "tap-failure"
  | "process-tree"
  | "usage"
  | "unlisted"
  | "spawn-failed"
  | "killed"
  | "no-line"
  | "bad-line"
  | "bad-exit"
  | "timeout"
  | "aborted";

/**
 * The stable code of each kind, in Node's style; an error the call's AbortSignal caused (kind
 * `aborted`, or `timeout` through `AbortSignal.timeout()`) has Node's own `ABORT_ERR`.
 */
export type VelmuroErrorCode =
  | "ERR_VELMURO_PERMISSION_REQUIRED"
  | "ERR_VELMURO_NOT_FOUND"
  | "ERR_VELMURO_TAP_FAILURE"
  | "ERR_VELMURO_PROCESS_TREE"
  | "ERR_VELMURO_USAGE"
  | "ERR_VELMURO_UNLISTED"
  | "ERR_VELMURO_SPAWN_FAILED"
  | "ERR_VELMURO_KILLED"
  | "ERR_VELMURO_NO_LINE"
  | "ERR_VELMURO_BAD_LINE"
  | "ERR_VELMURO_BAD_EXIT"
  | "ERR_VELMURO_TIMEOUT"
  | "ABORT_ERR";

const kCodes: Record<VelmuroErrorKind, VelmuroErrorCode> = {
  "permission-required": "ERR_VELMURO_PERMISSION_REQUIRED",
  "not-found": "ERR_VELMURO_NOT_FOUND",
  "tap-failure": "ERR_VELMURO_TAP_FAILURE",
  "process-tree": "ERR_VELMURO_PROCESS_TREE",
  usage: "ERR_VELMURO_USAGE",
  unlisted: "ERR_VELMURO_UNLISTED",
  "spawn-failed": "ERR_VELMURO_SPAWN_FAILED",
  killed: "ERR_VELMURO_KILLED",
  "no-line": "ERR_VELMURO_NO_LINE",
  "bad-line": "ERR_VELMURO_BAD_LINE",
  "bad-exit": "ERR_VELMURO_BAD_EXIT",
  timeout: "ERR_VELMURO_TIMEOUT",
  aborted: "ABORT_ERR",
};

/** What a VelmuroError carries besides its kind and message. */
export interface VelmuroErrorDetails {
  errorCode?: string | undefined;
  osStatus?: number | undefined;
  line?: string | undefined;
  exitCode?: number | null | undefined;
  signal?: NodeJS.Signals | null | undefined;
  pid?: number | undefined;
  stderr?: string | undefined;
  cause?: unknown;
  /** The call's AbortSignal caused the error: its name is "AbortError" and its code ABORT_ERR. */
  bySignal?: boolean | undefined;
}

/**
 * A failed call: `message` is the tool's own message when the tool printed one. Its `name` is
 * "VelmuroError", or "AbortError" for an error an abort caused, as Node names those.
 */
export class VelmuroError extends Error {
  /** Why the call failed. */
  readonly kind: VelmuroErrorKind;
  /** The kind's stable code; ABORT_ERR for an error an abort caused. */
  readonly code: VelmuroErrorCode;
  /** The tool's machine-readable failure class, when it gave one (`"permission_required"`). */
  readonly errorCode: string | undefined;
  /** The audio system's status for a `tap-failure`. */
  readonly osStatus: number | undefined;
  /** The offending output for a `bad-line`. */
  readonly line: string | undefined;
  /** The tool's exit status, when it had exited by the time of the failure. */
  readonly exitCode: number | null | undefined;
  /** The signal that ended the tool, when one did. */
  readonly signal: NodeJS.Signals | null | undefined;
  /** The tool's process ID, when it was started. */
  readonly pid: number | undefined;
  /** What the tool wrote to standard error (it should write nothing), for diagnosis only. */
  readonly stderr: string | undefined;
  /** The system's error or the abort reason; declared here too for hosts whose lib predates it. */
  declare readonly cause: unknown;

  constructor(kind: VelmuroErrorKind, message: string, details: VelmuroErrorDetails = {}) {
    super(message, details.cause === undefined ? undefined : { cause: details.cause });
    const byAbort = kind === "aborted" || (kind === "timeout" && details.bySignal === true);
    this.name = byAbort ? "AbortError" : "VelmuroError";
    this.kind = kind;
    this.code = byAbort ? "ABORT_ERR" : kCodes[kind];
    this.errorCode = details.errorCode;
    this.osStatus = details.osStatus;
    this.line = details.line;
    this.exitCode = details.exitCode;
    this.signal = details.signal;
    this.pid = details.pid;
    this.stderr = details.stderr || undefined;
  }
}

const kUsage = "Usage: Velmuro <process-name-or-bundle-id>... [pid]";
const kProcessTree = "Could not resolve own process tree for system mute";
const kNotFoundEnd = " audio process not found. Make sure it is running and playing audio.";
const kTapFailureStarts = [
  "AudioHardwareCreateProcessTap failed: ",
  "Failed to get tap UID: ",
  "AudioHardwareCreateAggregateDevice failed: ",
  "AudioDeviceCreateIOProcID failed: ",
  "AudioDeviceStart failed: ",
];

/** The error an error line stands for, classified by its code and message. */
export function errorFromRecord(
  record: ToolRecord & { error: string },
  details: VelmuroErrorDetails = {},
): VelmuroError {
  const message = record.error;
  const withCode =
    record.errorCode === undefined ? details : { ...details, errorCode: record.errorCode };
  if (record.errorCode === "permission_required") {
    return new VelmuroError("permission-required", message, withCode);
  }
  if (message === kUsage) return new VelmuroError("usage", message, withCode);
  if (message === kProcessTree) return new VelmuroError("process-tree", message, withCode);
  if (message.endsWith(kNotFoundEnd)) return new VelmuroError("not-found", message, withCode);
  for (const start of kTapFailureStarts) {
    if (message.startsWith(start)) {
      const status = /^-?\d+/.exec(message.slice(start.length));
      return new VelmuroError("tap-failure", message, {
        ...withCode,
        ...(status ? { osStatus: Number(status[0]) } : {}),
      });
    }
  }
  return new VelmuroError("unlisted", message, withCode);
}

/** An argument refused before anything starts, as Node refuses them (ERR_INVALID_ARG_VALUE). */
export function invalidArgument(message: string): TypeError {
  return Object.assign(new TypeError(message), { code: "ERR_INVALID_ARG_VALUE" });
}
