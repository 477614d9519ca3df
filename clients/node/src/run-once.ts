// The commands that print their lines and exit: run to the end, then judge lines and exit together.

import { errorFromRecord, VelmuroError } from "./errors.js";
import type { ToolRecord } from "./lines.js";
import { abortedError, watchLimits } from "./limits.js";
import { describeExit, missingLine, ToolProcess, type Launch, type ToolExit } from "./tool.js";

/** Where and how to start the tool, and the limits of one call. */
export interface RunSettings extends Launch {
  /** The call's time limit in milliseconds; Infinity for none. */
  timeoutMs: number;
  signal: AbortSignal | undefined;
}

/**
 * Reads a finished run's records (at least one, none an error line except as `read` allows) into
 * the result, or gives the reason they are not what this command prints.
 */
export type RecordsReader<T> = (records: ToolRecord[]) => T | { notThisCommand: string };

/** Runs the tool with these arguments to its end and reads the result from its lines. */
export function runOnce<T>(
  settings: RunSettings,
  args: string[],
  read: RecordsReader<T>,
): Promise<T> {
  const what = `velmuro ${args[0] ?? ""}`.trim();
  return new Promise<T>((resolve, reject) => {
    if (settings.signal?.aborted) {
      reject(abortedError(what, settings.signal.reason));
      return;
    }
    const records: ToolRecord[] = [];
    const lines: string[] = [];
    let settled = false;
    let stopLimits = (): void => {};
    const fail = (error: VelmuroError): void => {
      if (settled) return;
      settled = true;
      stopLimits();
      tool.terminate();
      reject(error);
    };
    const details = (exit?: ToolExit) => ({
      ...(tool.pid === undefined ? {} : { pid: tool.pid }),
      stderr: tool.stderr,
      ...(exit ? { exitCode: exit.code, signal: exit.signal } : {}),
    });
    const finish = (exit: ToolExit): void => {
      if (settled) return;
      const ended = describeExit(exit);
      const last = records[records.length - 1];
      if (last === undefined) {
        fail(missingLine(what, exit, "without a line", details(exit)));
        return;
      }
      if (last.error !== undefined && records.length === 1) {
        // A failure line: the tool's own message, with exit status 1.
        const error = errorFromRecord({ ...last, error: last.error }, details(exit));
        if (exit.code === 1) fail(error);
        else
          fail(
            new VelmuroError(
              "bad-exit",
              `${what} printed "${last.error}" and ${ended}`,
              details(exit),
            ),
          );
        return;
      }
      const result = read(records);
      if (typeof result === "object" && result !== null && "notThisCommand" in result) {
        fail(
          new VelmuroError("bad-line", `${what} printed ${result.notThisCommand}`, {
            ...details(exit),
            line: lines.join("\n"),
          }),
        );
        return;
      }
      if (exit.code !== 0) {
        fail(
          new VelmuroError("bad-exit", `${what} printed its result and ${ended}`, details(exit)),
        );
        return;
      }
      settled = true;
      stopLimits();
      resolve(result);
    };
    let tool: ToolProcess;
    try {
      tool = new ToolProcess(settings, args, false, {
        line(outcome) {
          if ("invalid" in outcome) {
            fail(
              new VelmuroError(
                "bad-line",
                `${what} printed a line that is not a protocol line: ${outcome.invalid}`,
                {
                  ...details(),
                  line: outcome.line,
                },
              ),
            );
            return;
          }
          records.push(outcome.record);
          lines.push(outcome.line);
        },
        spawnFailed: fail,
        end: finish,
      });
    } catch (error) {
      reject(error);
      return;
    }
    stopLimits = watchLimits(
      settings.timeoutMs,
      settings.signal,
      () =>
        fail(
          new VelmuroError(
            "timeout",
            `${what} gave no result within ${settings.timeoutMs} ms`,
            details(),
          ),
        ),
      (reason) => fail(abortedError(what, reason, tool.pid)),
    );
  });
}
