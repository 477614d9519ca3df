// Turns the tool's standard output into records: lines are cut at line feeds whatever the chunk
// boundaries, and each line must be one JSON object with the protocol's members.

/** One result record as the tool prints it; absent members stay absent. */
export interface ToolRecord {
  status?: string;
  error?: string;
  errorCode?: string;
  addresses?: string[];
  text?: string;
}

/** What one line of output gave: a record, or the reason it is not a protocol line. */
export type LineOutcome =
  | { readonly record: ToolRecord; readonly line: string }
  | { readonly invalid: string; readonly line: string };

const kLineFeed = 0x0a;
const utf8 = new TextDecoder("utf-8", { fatal: true, ignoreBOM: true });

/** Reads one line (without its line feed) as a protocol record. */
export function parseLine(bytes: Uint8Array): LineOutcome {
  let line: string;
  try {
    line = utf8.decode(bytes);
  } catch {
    return { invalid: "the line is not valid UTF-8", line: Buffer.from(bytes).toString("utf8") };
  }
  let value: unknown;
  try {
    value = JSON.parse(line);
  } catch {
    return { invalid: "the line is not JSON", line };
  }
  if (typeof value !== "object" || value === null || Array.isArray(value)) {
    return { invalid: "the line is not a JSON object", line };
  }
  const members = value as Record<string, unknown>;
  const record: ToolRecord = {};
  // Members are found by key; null counts as absent and any other key is ignored.
  for (const key of ["status", "error", "errorCode", "text"] as const) {
    const member = members[key];
    if (member === undefined || member === null) continue;
    if (typeof member !== "string") return { invalid: `"${key}" is not a string`, line };
    record[key] = member;
  }
  const addresses = members["addresses"];
  if (addresses !== undefined && addresses !== null) {
    if (!Array.isArray(addresses) || !addresses.every((a) => typeof a === "string")) {
      return { invalid: '"addresses" is not a list of strings', line };
    }
    record.addresses = addresses as string[];
  }
  return { record, line };
}

/** Cuts a byte stream into lines and reads each as a record, whatever the chunk boundaries. */
export class LineReader {
  private pending: Buffer[] = [];

  /** Takes the next chunk of output; gives what each line it completes holds, in order. */
  push(chunk: Uint8Array): LineOutcome[] {
    const bytes = Buffer.isBuffer(chunk) ? chunk : Buffer.from(chunk);
    const outcomes: LineOutcome[] = [];
    let start = 0;
    for (let end = bytes.indexOf(kLineFeed); end !== -1; end = bytes.indexOf(kLineFeed, start)) {
      let line = bytes.subarray(start, end);
      if (this.pending.length > 0) {
        this.pending.push(line);
        line = Buffer.concat(this.pending);
        this.pending = [];
      }
      outcomes.push(parseLine(line));
      start = end + 1;
    }
    // Kept as a copy: the caller may reuse its buffer.
    if (start < bytes.length) this.pending.push(Buffer.from(bytes.subarray(start)));
    return outcomes;
  }

  /** Ends the stream; an unfinished last line is not a protocol line. */
  end(): LineOutcome | undefined {
    if (this.pending.length === 0) return undefined;
    const rest = Buffer.concat(this.pending);
    this.pending = [];
    return { invalid: "the output ended inside a line", line: rest.toString("utf8") };
  }
}
