// Whether a file is an executable this machine can start. Linux runs ELF files and scripts that
// begin with "#!"; for any other file the exec fails and Node's spawn hands the file to /bin/sh,
// which runs its bytes as shell commands. So a file of another format is refused before it is
// started, with what it is.

import * as fs from "node:fs";

// Enough of the file for the ELF header, and for the slices a Mach-O universal binary lists.
const kHeaderBytes = 512;

// ELF's machine numbers, by Node's names of the processors.
const kElfMachines: ReadonlyMap<number, string> = new Map([
  [3, "ia32"],
  [8, "mips"],
  [20, "ppc"],
  [21, "ppc64"],
  [22, "s390x"],
  [40, "arm"],
  [62, "x64"],
  [183, "arm64"],
  [243, "riscv64"],
  [258, "loong64"],
]);

// Mach-O's CPU types, by the same names.
const kMachOCPUs: ReadonlyMap<number, string> = new Map([
  [7, "ia32"],
  [12, "arm"],
  [18, "ppc"],
  [0x01000007, "x64"],
  [0x0100000c, "arm64"],
  [0x01000012, "ppc64"],
]);

// A 64-bit system also runs its 32-bit processor's code (given the kernel's support for it).
const kAlsoRuns: Readonly<Record<string, string>> = { x64: "ia32", arm64: "arm" };

const kSystemNames: Readonly<Record<string, string>> = { linux: "Linux", darwin: "macOS" };

/** What a file's first bytes say it is: the system it is made for and its processors. */
interface Format {
  what: string;
  system: string;
  cpus: string[];
  executable: boolean;
}

const cpuName = (names: ReadonlyMap<number, string>, value: number): string =>
  names.get(value) ?? `processor ${value}`;

function elfFormat(header: Buffer): Format | undefined {
  if (header.length < 20) return undefined;
  const bits = header[4] === 1 ? "32-bit" : "64-bit";
  const littleEndian = header[5] !== 2;
  const type = littleEndian ? header.readUInt16LE(16) : header.readUInt16BE(16);
  const machine = littleEndian ? header.readUInt16LE(18) : header.readUInt16BE(18);
  const cpu = cpuName(kElfMachines, machine);
  // Type 2 is a fixed-address executable, 3 a position-independent one.
  if (type !== 2 && type !== 3) {
    const what = `an ELF file for ${cpu} that is not an executable (type ${type})`;
    return { what, system: "linux", cpus: [cpu], executable: false };
  }
  const what = `an ELF ${bits} executable for ${cpu}`;
  return { what, system: "linux", cpus: [cpu], executable: true };
}

function machOFormat(header: Buffer): Format | undefined {
  if (header.length < 8) return undefined;
  const magic = header.readUInt32BE(0);
  let cpus: number[];
  if (magic === 0xfeedface || magic === 0xfeedfacf) cpus = [header.readUInt32BE(4)];
  else if (magic === 0xcefaedfe || magic === 0xcffaedfe) cpus = [header.readUInt32LE(4)];
  else if (magic === 0xcafebabe || magic === 0xcafebabf) {
    // A universal binary lists its slices; a Java class file shares the magic but has a
    // version here that no universal binary reaches as a count.
    const count = header.readUInt32BE(4);
    if (count === 0 || count >= 45) return undefined;
    const entryBytes = magic === 0xcafebabe ? 20 : 32;
    cpus = [];
    for (let at = 8; cpus.length < count && at + 4 <= header.length; at += entryBytes) {
      cpus.push(header.readUInt32BE(at));
    }
  } else return undefined;
  const names = cpus.map((cpu) => cpuName(kMachOCPUs, cpu));
  const what = `a Mach-O executable for ${names.join(" and ")}`;
  return { what, system: "darwin", cpus: names, executable: true };
}

function formatOf(header: Buffer): Format | undefined {
  if (header.subarray(0, 4).equals(Buffer.from("\x7fELF", "latin1"))) return elfFormat(header);
  if (header.subarray(0, 2).toString("latin1") === "MZ") {
    return { what: "a Windows executable", system: "win32", cpus: [], executable: true };
  }
  return machOFormat(header);
}

function runsOn(cpu: string, platform: string, arch: string): boolean {
  // Apple silicon runs Intel code through Rosetta.
  return (
    cpu === arch ||
    kAlsoRuns[arch] === cpu ||
    (platform === "darwin" && arch === "arm64" && cpu === "x64")
  );
}

/**
 * Why a file with these first bytes cannot run on this system and processor, or nothing when it
 * can or when this system is not one the check knows.
 */
export function whyNotExecutable(
  header: Buffer,
  platform: string,
  arch: string,
): string | undefined {
  const system = kSystemNames[platform];
  if (system === undefined || header.subarray(0, 2).toString("latin1") === "#!") return undefined;
  if (header.length === 0) return "it is empty";
  const format = formatOf(header);
  if (format === undefined) {
    const native = platform === "linux" ? "an ELF executable" : "a Mach-O executable";
    return `it is neither ${native} nor a script that begins with #!`;
  }
  if (format.system !== platform) {
    const made = kSystemNames[format.system];
    const madeFor = made ? `, made for ${made}` : "";
    return `it is ${format.what}${madeFor}, not an executable for ${system}`;
  }
  if (!format.executable) return `it is ${format.what}`;
  if (!format.cpus.some((cpu) => runsOn(cpu, platform, arch))) {
    return `it is ${format.what}, and this machine is ${arch}`;
  }
  return undefined;
}

/** The file's first bytes; nothing when it cannot be read (the start reports that itself). */
export function readHeader(file: string): Buffer | undefined {
  let fd: number | undefined;
  try {
    // Non-blocking, so that a FIFO in the executable's place cannot stall the host.
    fd = fs.openSync(file, fs.constants.O_RDONLY | fs.constants.O_NONBLOCK);
    const header = Buffer.alloc(kHeaderBytes);
    return header.subarray(0, fs.readSync(fd, header, 0, kHeaderBytes, 0));
  } catch {
    return undefined;
  } finally {
    if (fd !== undefined) fs.closeSync(fd);
  }
}
