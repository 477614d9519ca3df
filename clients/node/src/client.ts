// One method per command of the tool, each a promise of a typed result.

import * as path from "node:path";
import { errorFromRecord, invalidArgument, type VelmuroError } from "./errors.js";
import type { ToolRecord } from "./lines.js";
import { checkKillDelay, checkTimeout, type CallOptions } from "./limits.js";
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
  /** The tool's whole environment, in place of the host's (`process.env`) when given. */
  env?: NodeJS.ProcessEnv | undefined;
  /**
   * Time limit of every call in milliseconds unless the call gives its own; 30 s by default,
   * `0` or `Infinity` for none. A mute's limit covers reaching "muted", never the hold.
   */
  timeoutMs?: number | undefined;
  /** After SIGTERM, how long the tool has to go before SIGKILL; 2 s by default, Infinity never. */
  forceKillAfterMs?: number | undefined;
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
  pid?: number | undefined;
}

/** Options of the system mute. */
export interface SystemMuteOptions extends CallOptions {
  /**
   * The process whose tree stays audible; the host's own PID when absent (in Electron, the main
   * process, whose tree holds the renderers and the audio service).
   */
  hostPid?: number | undefined;
}

/** Options of the Zoom reader. */
export interface ZoomInviteLinkOptions extends CallOptions {
  /** Texts in lower case; the first menu item whose lower-cased title holds one is pressed. */
  needles?: readonly string[] | undefined;
}

const kDefaultTimeoutMs = 30_000;
const kDefaultForceKillAfterMs = 2000;

// No process has an ID below 1; as the system mute's host, 0 would mute nothing and -1 every
// process, the host's too.
function checkPID(pid: unknown, name: string): number {
  if (typeof pid !== "number" || !Number.isInteger(pid) || pid < 1 || pid > 2147483647) {
    throw invalidArgument(`${name} must be a process ID: an integer from 1 to 2147483647`);
  }
  return pid;
}

function checkStrings(list: unknown, name: string): readonly string[] {
  if (!Array.isArray(list) || !list.every((item) => typeof item === "string")) {
    throw invalidArgument(`${name} must be a list of strings`);
  }
  return list;
}

// Targets name processes: at least one, none empty.
function checkTargets(targets: unknown): string[] {
  const list = [...checkStrings(targets, "targets")];
  if (list.length === 0) throw invalidArgument("targets must name at least one process");
  if (list.includes("")) throw invalidArgument("a target must not be empty");
  return list;
}

// The tool matches needles against lower-cased titles, so one that lower-casing changes, or an
// empty one, never matches.
function checkNeedles(needles: unknown): readonly string[] {
  const list = checkStrings(needles, "needles");
  for (const needle of list) {
    if (needle === "") throw invalidArgument("a needle must not be empty");
    if (needle.toLowerCase() !== needle) {
      throw invalidArgument(
        `the needle "${needle}" can never match: titles are matched lower-cased, ` +
          `so give it as "${needle.toLowerCase()}"`,
      );
    }
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
  readonly #forceKillAfterMs: number;

  constructor(options: VelmuroOptions) {
    if (typeof options?.binaryPath !== "string" || !path.isAbsolute(options.binaryPath)) {
      throw invalidArgument("binaryPath must be an absolute path");
    }
    this.#binaryPath = options.binaryPath;
    this.#env = options.env;
    this.#timeoutMs = checkTimeout(options.timeoutMs ?? kDefaultTimeoutMs);
    this.#forceKillAfterMs = checkKillDelay(options.forceKillAfterMs ?? kDefaultForceKillAfterMs);
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
      return Promise.reject(invalidArgument("bundleId must be a string"));
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
  readZoomInviteLink(options: ZoomInviteLinkOptions = {}): Promise<ZoomInviteLink> {
    let needles: readonly string[];
    try {
      needles = checkNeedles(options.needles ?? []);
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
    let args: string[];
    try {
      args = checkTargets(targets);
      // The first argument picks the command; "ax-tab-addresses" alone is still a target.
      const first = args[0];
      const count = args.length + (options.pid === undefined ? 0 : 1);
      if (isOneOf(kCommandWords, first) && (first !== "ax-tab-addresses" || count > 1)) {
        throw invalidArgument(
          `the target "${first}" would be read as a command; put another target first`,
        );
      }
      if (options.pid !== undefined) {
        args.push(String(checkPID(options.pid, "pid")));
      } else if (args.length > 1 && readsAsPID(args[args.length - 1]!)) {
        throw invalidArgument(
          `the last target "${args[args.length - 1]}" would be read as a PID; ` +
            "give it as the pid option",
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
      forceKillAfterMs: this.#forceKillAfterMs,
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
