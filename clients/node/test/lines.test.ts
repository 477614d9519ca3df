// The line reader on its own: chunks cut anywhere, several lines in one chunk, members by key.

import assert from "node:assert/strict";
import { describe, it } from "node:test";
import { LineReader, parseLine, type LineOutcome } from "../src/index.js";

const bytes = (text: string): Buffer => Buffer.from(text, "utf8");

function recordsOf(outcomes: LineOutcome[]): unknown[] {
  return outcomes.map((outcome) =>
    "record" in outcome ? outcome.record : { invalid: outcome.invalid },
  );
}

describe("LineReader", () => {
  const output = bytes(
    '{"status":"muted"}\n{"status":"ok","text":"https:\\/\\/zoom.us\\/j\\/1?pwd=é"}\n',
  );
  const expected = [{ status: "muted" }, { status: "ok", text: "https://zoom.us/j/1?pwd=é" }];

  it("gives the same records however the output is cut into chunks", () => {
    // Every cut point, the multi-byte letter's middle included, then one byte at a time.
    for (let cut = 0; cut <= output.length; cut += 1) {
      const reader = new LineReader();
      const outcomes = [
        ...reader.push(output.subarray(0, cut)),
        ...reader.push(output.subarray(cut)),
      ];
      assert.deepEqual(recordsOf(outcomes), expected, `cut at ${cut}`);
      assert.equal(reader.end(), undefined);
    }
    const reader = new LineReader();
    const outcomes = [...output].flatMap((byte) => reader.push(Uint8Array.of(byte)));
    assert.deepEqual(recordsOf(outcomes), expected);
  });

  it("gives nothing for a line until its line feed arrives", () => {
    const reader = new LineReader();
    assert.deepEqual(reader.push(bytes('{"status":"mu')), []);
    assert.deepEqual(reader.push(bytes('ted"}')), []);
    assert.deepEqual(recordsOf(reader.push(bytes("\n"))), [{ status: "muted" }]);
  });

  it("gives every line of a chunk that holds several, in order", () => {
    const reader = new LineReader();
    const chunk = bytes(
      '{"error":"AudioDeviceStart failed: -50"}\n{"status":"granted"}\n{"status":"unm',
    );
    assert.deepEqual(recordsOf(reader.push(chunk)), [
      { error: "AudioDeviceStart failed: -50" },
      { status: "granted" },
    ]);
    assert.deepEqual(recordsOf(reader.push(bytes('uted"}\n'))), [{ status: "unmuted" }]);
  });

  it("does not depend on a caller keeping its buffer untouched", () => {
    const reader = new LineReader();
    const chunk = bytes('{"status":"gran');
    reader.push(chunk);
    chunk.fill(0x20);
    assert.deepEqual(recordsOf(reader.push(bytes('ted"}\n'))), [{ status: "granted" }]);
  });

  it("reports an unfinished last line at the end of the output", () => {
    const reader = new LineReader();
    reader.push(bytes('{"status":"muted"}\n{"status":"unmu'));
    assert.deepEqual(reader.end(), {
      invalid: "the output ended inside a line",
      line: '{"status":"unmu',
    });
    assert.equal(reader.end(), undefined);
  });
});

describe("parseLine", () => {
  it("finds members by key in any order and ignores members it does not know", () => {
    const outcome = parseLine(bytes('{"text":"","later":{"x":[1]},"status":"ok","addresses":[]}'));
    assert.deepEqual(outcome, {
      record: { status: "ok", text: "", addresses: [] },
      line: '{"text":"","later":{"x":[1]},"status":"ok","addresses":[]}',
    });
    assert.deepEqual(parseLine(bytes('{"errorCode":"permission_required","error":"E"}')), {
      record: { error: "E", errorCode: "permission_required" },
      line: '{"errorCode":"permission_required","error":"E"}',
    });
  });

  it("reads escapes as JSON does and takes null as absent", () => {
    const outcome = parseLine(
      bytes('{"status":"ok","text":"a\\/b \\"q\\" \\n \\u00e9","addresses":null}'),
    );
    assert.deepEqual("record" in outcome && outcome.record, { status: "ok", text: 'a/b "q" \n é' });
  });

  it("takes no line that is not one JSON object with well-typed members", () => {
    const cases: Array<[string | Buffer, string]> = [
      ["", "the line is not JSON"],
      ["muted", "the line is not JSON"],
      ['{"status":"muted"} {"status":"unmuted"}', "the line is not JSON"],
      ['["status","muted"]', "the line is not a JSON object"],
      ['"muted"', "the line is not a JSON object"],
      ["null", "the line is not a JSON object"],
      ['{"status":1}', '"status" is not a string'],
      ['{"error":{"message":"x"}}', '"error" is not a string'],
      ['{"status":"ok","text":["a"]}', '"text" is not a string'],
      ['{"status":"ok","addresses":"a"}', '"addresses" is not a list of strings'],
      ['{"status":"ok","addresses":["a",2]}', '"addresses" is not a list of strings'],
      [Buffer.from([0x7b, 0x22, 0xff, 0x22, 0x7d]), "the line is not valid UTF-8"],
    ];
    for (const [line, invalid] of cases) {
      const outcome = parseLine(typeof line === "string" ? bytes(line) : line);
      assert.equal("invalid" in outcome && outcome.invalid, invalid, String(line));
    }
  });
});
