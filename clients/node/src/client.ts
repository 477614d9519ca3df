// One method per command of the tool, each a promise of a typed result.

import * as path from "node:path";
import { errorFromRecord, type VelmuroError } from "./errors.js";
import type { ToolRecord } from "./lines.js";
import { checkTimeout, type CallOptions } from "./limits.js";
import { startMute, type MuteHandle } from "./mute.js";
import { runOnce, type RecordsReader, type RunSettings } from "./run-once.js";
import {
  isOneOf,
  kCommandWords,
  kPermissionStatuses,
  kTabAddressesStatuses,
  kTeamsJoinLinkStatuses,
  kZoomInviteLinkStatuses,
  readsAsPID,
  type PermissionStatus,
  type TabAddressesStatus,
  type TeamsJoinLinkStatus,
  type ZoomInviteLinkStatus,
} from "./words.js";

/** How the client starts the tool. */
export interface VelmuroOptions {
  /** Absolute path of the tool's executable (inside the host's bundle, outside app.asar). */
  binaryPath: string;
  /** The tool's environment; the host's own when absent. */
  env?: NodeJS.ProcessEnv;
  /** Time limit of every call in milliseconds unless the call gives its own; 30 s by default. */
  timeoutMs?: number;
}

/** What `requestAudioPermission` gives: the word, and the probe's failure line if one came. */
export interface PermissionRequest {
  status: PermissionStatus;
  /** A later step of the probe failed (kind `tap-failure`); the word was read all the same. */
  probeFailure?: VelmuroError;
}

/** The tab reader's result: the addresses when the status is `ok`. */
export type TabAddresses =
  { status: "ok"; addresses: string[] } | { status: Exclude<TabAddressesStatus, "ok"> };

/** The Zoom reader's result: the invite link when the status is `ok`. */
export type ZoomInviteLink =
  { status: "ok"; text: string } | { status: Exclude<ZoomInviteLinkStatus, "ok"> };

/** The Teams reader's result: the join link when the status is `ok`. */
export type TeamsJoinLink =
  { status: "ok"; text: string } | { status: Exclude<TeamsJoinLinkStatus, "ok"> };

/** Options of the process mute. */
export interface ProcessMuteOptions extends CallOptions {
  /** Mute this process only: its audio object alone is muted, the targets just name it. */
  pid?: number;
}

/** Options of the system mute. */
export interface SystemMuteOptions extends CallOptions {
  /** The process whose tree stays audible; the host's own PID when absent. */
  hostPid?: number;
}

const kDefaultTimeoutMs = 30_000;

function checkPID(pid: unknown, name: string): number {
  if (typeof pid !== "number" || !Number.isInteger(pid) || pid < -2147483648 || pid > 2147483647) {
    throw new TypeError(`${name} must be a 32-bit integer`);
  }
  return pid;
}

function checkStrings(list: unknown, name: string): readonly string[] {
  if (!Array.isArray(list) || !list.every((item) => typeof item === "string")) {
    throw new TypeError(`${name} must be a list of strings`);
  }
  return list;
}

// Reads a run that must have printed exactly one line with one of these words.
function oneLine<W extends string, T>(
  words: readonly W[],
  make: (word: W, record: ToolRecord) => T | { notThisCommand: string },
): RecordsReader<T> {
  return (records) => {
    const [record] = records;
    if (records.length !== 1 || record === undefined)
      return { notThisCommand: `${records.length} lines` };
    if (record.error !== undefined || !isOneOf(words, record.status)) {
      return { notThisCommand: `a line it never prints` };
    }
    return make(record.status, record);
  };
}

/** Runs the Velmuro tool: one method per command. */
export class Velmuro {
  readonly #binaryPath: string;
  readonly #env: NodeJS.ProcessEnv | undefined;
  readonly #timeoutMs: number;

  constructor(options: VelmuroOptions) {
    if (typeof options?.binaryPath !== "string" || !path.isAbsolute(options.binaryPath)) {
      throw new TypeError("binaryPath must be an absolute path");
    }
    this.#binaryPath = options.binaryPath;
    this.#env = options.env;
    this.#timeoutMs = checkTimeout(options.timeoutMs ?? kDefaultTimeoutMs);
  }

  /** The state of the Screen & System Audio Recording permission. */
  checkAudioPermission(options?: CallOptions): Promise<PermissionStatus> {
    return this.#run(
      ["check-audio-permission"],
      options,
      oneLine(kPermissionStatuses, (word) => word),
    );
  }

  /** Makes the platform ask while the permission is undecided; gives the state read after. */
  requestAudioPermission(options?: CallOptions): Promise<PermissionRequest> {
    return this.#run(
      ["request-audio-permission"],
      options,
      (records): PermissionRequest | { notThisCommand: string } => {
        const status = records[records.length - 1]?.status;
        const first = records[0];
        if (records.length > 2 || !isOneOf(kPermissionStatuses, status)) {
          return { notThisCommand: "lines it never prints" };
        }
        if (records.length === 1) return { status };
        if (first?.error === undefined || first.status !== undefined)
          return { notThisCommand: "two lines without a failure line" };
        const probeFailure = errorFromRecord({ ...first, error: first.error });
        if (probeFailure.kind !== "tap-failure")
          return { notThisCommand: "a failure line that is not a tap failure" };
        return { status, probeFailure };
      },
    );
  }

  /** Reads the addresses a browser shows in its windows. */
  readTabAddresses(bundleId: string, options?: CallOptions): Promise<TabAddresses> {
    if (typeof bundleId !== "string")
      return Promise.reject(new TypeError("bundleId must be a string"));
    return this.#run(
      ["ax-tab-addresses", bundleId],
      options,
      oneLine(
        kTabAddressesStatuses,
        (status, record): TabAddresses | { notThisCommand: string } => {
          if (status !== "ok") return { status };
          return record.addresses
            ? { status, addresses: record.addresses }
            : { notThisCommand: `"ok" without "addresses"` };
        },
      ),
    );
  }

  /** Reads the invite link of the Zoom meeting; needles widen the menu search. */
  readZoomInviteLink(
    options: CallOptions & { needles?: readonly string[] } = {},
  ): Promise<ZoomInviteLink> {
    let needles: readonly string[];
    try {
      needles = checkStrings(options.needles ?? [], "needles");
    } catch (error) {
      return Promise.reject(error);
    }
    return this.#run(
      ["ax-zoom-invite-link", ...needles],
      options,
      oneLine(
        kZoomInviteLinkStatuses,
        (status, record): ZoomInviteLink | { notThisCommand: string } => {
          if (status !== "ok") return { status };
          return record.text !== undefined
            ? { status, text: record.text }
            : { notThisCommand: `"ok" without "text"` };
        },
      ),
    );
  }

  /** Reads the join link of the Teams meeting. */
  readTeamsJoinLink(options?: CallOptions): Promise<TeamsJoinLink> {
    return this.#run(
      ["ax-teams-join-link"],
      options,
      oneLine(
        kTeamsJoinLinkStatuses,
        (status, record): TeamsJoinLink | { notThisCommand: string } => {
          if (status !== "ok") return { status };
          return record.text !== undefined
            ? { status, text: record.text }
            : { notThisCommand: `"ok" without "text"` };
        },
      ),
    );
  }

  /**
   * Mutes the processes these names or bundle identifiers match (or the one `pid` names);
   * resolves once the mute is in place.
   */
  muteProcesses(targets: readonly string[], options: ProcessMuteOptions = {}): Promise<MuteHandle> {
    const args: string[] = [];
    try {
      args.push(...checkStrings(targets, "targets"));
      // The first argument picks the command; "ax-tab-addresses" alone is still a target.
      const first = args[0];
      const count = args.length + (options.pid === undefined ? 0 : 1);
      if (isOneOf(kCommandWords, first) && (first !== "ax-tab-addresses" || count > 1)) {
        throw new TypeError(
          `the target "${first}" would be read as a command; put another target first`,
        );
      }
      if (options.pid !== undefined) {
        if (args.length === 0) throw new TypeError("a pid needs at least one target");
        args.push(String(checkPID(options.pid, "pid")));
      } else if (args.length > 1 && readsAsPID(args[args.length - 1]!)) {
        throw new TypeError(
          `the last target "${args[args.length - 1]}" would be read as a PID; give it as the pid option`,
        );
      }
    } catch (error) {
      return Promise.reject(error);
    }
    return this.#mute(args, options);
  }

  /** Mutes every process but the host's process tree; resolves once the mute is in place. */
  muteSystem(options: SystemMuteOptions = {}): Promise<MuteHandle> {
    let hostPid: number;
    try {
      hostPid = checkPID(options.hostPid ?? process.pid, "hostPid");
    } catch (error) {
      return Promise.reject(error);
    }
    return this.#mute(["--system", String(hostPid)], options);
  }

  #settings(options: CallOptions | undefined): RunSettings {
    return {
      binaryPath: this.#binaryPath,
      env: this.#env,
      timeoutMs: checkTimeout(options?.timeoutMs ?? this.#timeoutMs),
      signal: options?.signal,
    };
  }

  #run<T>(args: string[], options: CallOptions | undefined, read: RecordsReader<T>): Promise<T> {
    try {
      return runOnce(this.#settings(options), args, read);
    } catch (error) {
      return Promise.reject(error);
    }
  }

  #mute(args: string[], options: CallOptions): Promise<MuteHandle> {
    try {
      return startMute(this.#settings(options), args);
    } catch (error) {
      return Promise.reject(error);
    }
  }
}
