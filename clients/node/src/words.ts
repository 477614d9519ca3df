// The status words of each command, as values for checking lines and as literal types.

export const kPermissionStatuses = ["granted", "denied", "undetermined", "unknown"] as const;
export const kTabAddressesStatuses = ["ok", "untrusted", "not-running"] as const;
export const kZoomInviteLinkStatuses = [
  "ok",
  "untrusted",
  "not-running",
  "not-found",
  "slow",
  "no-text",
] as const;
export const kTeamsJoinLinkStatuses = [
  "ok",
  "untrusted",
  "not-running",
  "not-found",
  "slow",
  "no-menu",
  "no-link",
] as const;

/** The capture permission: `unknown` when the permission service is out of reach. */
export type PermissionStatus = (typeof kPermissionStatuses)[number];
/** The tab reader's words. */
export type TabAddressesStatus = (typeof kTabAddressesStatuses)[number];
/** The Zoom reader's words. */
export type ZoomInviteLinkStatus = (typeof kZoomInviteLinkStatuses)[number];
/** The Teams reader's words. */
export type TeamsJoinLinkStatus = (typeof kTeamsJoinLinkStatuses)[number];

/** Whether a word is one of these. */
export function isOneOf<T extends string>(
  words: readonly T[],
  word: string | undefined,
): word is T {
  return word !== undefined && (words as readonly string[]).includes(word);
}

// The first argument picks the command; a mute target spelled like one of these would not be
// taken as a target.
export const kCommandWords = [
  "check-audio-permission",
  "request-audio-permission",
  "ax-tab-addresses",
  "ax-zoom-invite-link",
  "ax-teams-join-link",
  "--system",
] as const;

/** The tool's rule for a PID argument: an optional sign, ASCII digits, within 32-bit range. */
export function readsAsPID(text: string): boolean {
  if (!/^[+-]?[0-9]+$/.test(text)) return false;
  const value = Number(text);
  return value >= -2147483648 && value <= 2147483647;
}
