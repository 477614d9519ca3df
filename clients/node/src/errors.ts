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
 * - `spawn-failed`: the binary could not be started (`cause` holds the system error).
 * - `no-line`: the tool ended without the line it owed.
 * - `bad-line`: it printed something that is not a protocol line, or a line this command never
 *   prints (`line` holds it).
 * - `bad-exit`: its exit status or signal contradicts the lines it printed.
 * - `timeout`: the call's time limit passed; the tool was ended.
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
  | "no-line"
  | "bad-line"
  | "bad-exit"
  | "timeout"
  | "aborted";

/** What a VelmuroError carries besides its kind and message. */
export interface VelmuroErrorDetails {
  errorCode?: string;
  osStatus?: number;
  line?: string;
  exitCode?: number | null;
  signal?: NodeJS.Signals | null;
  pid?: number;
  stderr?: string;
  cause?: unknown;
}

/** A failed call: `message` is the tool's own message when the tool printed one. */
export class VelmuroError extends Error {
  /** Why the call failed. */
  readonly kind: VelmuroErrorKind;
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

  constructor(kind: VelmuroErrorKind, message: string, details: VelmuroErrorDetails = {}) {
    super(message, details.cause === undefined ? undefined : { cause: details.cause });
    this.name = "VelmuroError";
    this.kind = kind;
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
