// The Velmuro client for Node and Electron hosts.

export { Velmuro } from "./client.js";
export type {
  PermissionRequest,
  ProcessMuteOptions,
  SystemMuteOptions,
  TabAddresses,
  TeamsJoinLink,
  VelmuroOptions,
  ZoomInviteLink,
  ZoomInviteLinkOptions,
} from "./client.js";
export { VelmuroError } from "./errors.js";
export type { VelmuroErrorCode, VelmuroErrorDetails, VelmuroErrorKind } from "./errors.js";
export type { CallOptions } from "./limits.js";
export { LineReader, parseLine } from "./lines.js";
export type { LineOutcome, ToolRecord } from "./lines.js";
export type { MuteEnd, MuteEndReason, MuteHandle } from "./mute.js";
export type {
  PermissionStatus,
  TabAddressesStatus,
  TeamsJoinLinkStatus,
  ZoomInviteLinkStatus,
} from "./words.js";
