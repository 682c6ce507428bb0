#!/usr/bin/python3
"""The driver image in a real UEFI firmware: `make firmware-test`.

Boots the reference UEFI firmware (Debian's OVMF) under QEMU, software
emulation, with our loader (tests/firmware/loader.cpp) as EFI/BOOT/BOOTX64.EFI
on a FAT directory disk. The loader starts DRIVER.EFI under a stand-in PCD
protocol that serves PCD.BIN and logs every call on the first serial port.

What the driver did is read from QEMU's trace of port writes, in which the
loader's serial lines arrive in the same order as the driver's writes to ports
0x80 and 0xE0, and is held to meminfo-sim's prediction for the scenario that
describes this machine (scenarios/qemu-ovmf.toml):
  - the PCD calls, in order, with their tokens and values;
  - the writes to ports 0x80 and 0xE0, in order. QEMU's port-0x80 device takes
    a 32-bit write as four byte writes to 0x80..0x83, lowest byte first, so the
    prediction's writes to port 0x80 are split the same way;
  - a prediction that halts in a fatal trap ends after the display cycles the
    platform model watched: the test stops QEMU once it has seen them, since the
    trap loops for ever;
  - a prediction that returns: the entry's status and the configuration bytes
    (0 to 15) of the record published under MemInfoProtocolGuid.
An exception dump on the serial console, a hang (bounded waits) or QEMU ending
early fail the boot with a message saying what was seen.

One more boot reads the record back as a board does: the loader publishes the
record, snapshot and chip-select table of scenarios/default.toml's boot
(RECORD.BIN, built from `meminfo-sim run --json`) and runs MemInfoDump.efi
(DUMP.EFI); its console output, on the serial port, must be what `meminfo-sim
compare` finds equal to the scenario's prediction (the blocks' addresses aside).

The same check holds for the firmware file of `make ffs` (tools/make-ffs) put
into a firmware volume and handed to the firmware's DXE dispatcher, which must
find the dependency expression met and start the driver. The test also builds
broken images (the trap driver, which calls its steps through a table of
absolute addresses, with its relocation directory zeroed; a driver that
executes ud2) and requires that each of them fails.

Usage: firmware_test.py [--build build/host] [--scenario FILE] [--image FILE]
With --image, only that image is booted and checked.
"""
import argparse
import json
import os
import re
import select
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import tomllib
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass

import pefile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from volume import volume  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
OVMF_CODE = "/usr/share/OVMF/OVMF_CODE_4M.fd"
OVMF_VARS = "/usr/share/OVMF/OVMF_VARS_4M.fd"
LOADER_PREFIX = "meminfo-loader: "
EXCEPTION_MARK = b"!!!! X64 Exception Type"
START_LINE = b"meminfo-loader: start image"
POST_CODE_PORTS = range(0x80, 0x84)
WATCHED_PORTS = set(POST_CODE_PORTS) | set(range(0xE0, 0xE4))
UART_DATA = 0x3F8
# Bounded waits: the firmware's boot up to the loader's "start image" (a few
# seconds alone; far more on a loaded machine), then the driver itself.
BOOT_TIMEOUT = 90.0
DRIVER_TIMEOUT = 15.0
# Without its relocations the trap driver's first call through its table goes
# astray (in OVMF: an invalid-opcode exception), before its first PCD call.
STRIPPED_FAILS = "0 of 1 predicted PCD calls"
RECORD_CONFIG_BYTES = 16
MAX_PCD_VALUES = 64  # the loader's table


@dataclass
class Prediction:
    pcd: list            # (operation, token, value)
    ports: list          # (port, value, size), port-0x80 writes split into bytes
    halted: bool
    halt_code: int = 0
    display_cycles: int = 0
    entry_status: int | None = None
    record: bytes | None = None


def split_port_write(port, value, size):
    if port in POST_CODE_PORTS:
        return [(port + i, (value >> (8 * i)) & 0xFF, 1) for i in range(size)]
    return [(port, value, size)]


def parse_pcd(operation, detail):
    token, value = detail.split(" = ")
    return (operation, int(token), int(value, 16))


def predict(sim, scenario, emulate_image=None):
    """meminfo-sim's report for the scenario, reduced to what the firmware run shows."""
    cmd = [sim, "run", scenario, "--json", "--trace"]
    if emulate_image:
        cmd += ["--emulate", "--image", emulate_image]
    run = subprocess.run(cmd, capture_output=True, text=True, timeout=120)
    if run.returncode not in (0, 1):
        raise RuntimeError(f"meminfo-sim failed ({run.returncode}): {run.stderr.strip()}")
    report = json.loads(run.stdout)
    if report["outcome"] not in ("completed", "halted"):
        raise RuntimeError(f"meminfo-sim: the prediction {report['outcome']}, so there is nothing to compare")
    pcd = [parse_pcd(c["service"], c["detail"]) for c in report["calls"] if c["service"].startswith("Pcd")]
    ports = []
    for a in report["accesses"]["log"]:
        if a["kind"] == "port" and a["write"] and set(range(a["address"], a["address"] + a["width"])) & WATCHED_PORTS:
            ports += split_port_write(a["address"], a["value"], a["width"])
    traps = report["traps"]
    p = Prediction(pcd=pcd, ports=ports, halted=traps["halted"])
    if p.halted:
        p.halt_code = traps["halt_code"]
        p.display_cycles = len(traps["display"]) // 6
    if report["entry"]["returned"]:
        p.entry_status = report["entry"]["status"]
    if report["record"]["present"] and "bytes" in report["record"]:
        p.record = bytes(report["record"]["bytes"])
    return p


def pcd_table(scenario):
    """The scenario's [pcd] values as PCD.BIN: pairs of little-endian u64 (token, value)."""
    with open(scenario, "rb") as f:
        table = tomllib.load(f).get("pcd", {})
    if len(table) > MAX_PCD_VALUES:
        sys.exit(f"firmware-test: {scenario}: the loader serves at most {MAX_PCD_VALUES} PCD values")
    out = b""
    for token, value in table.items():
        if isinstance(value, bool):
            value = int(value)
        elif isinstance(value, str):
            value = int(value, 0)
        out += struct.pack("<QQ", int(token, 0), value & 0xFFFFFFFFFFFFFFFF)
    return out


def hex_text(value, digits=1):
    return f"0x{value:0{digits}X}"


def show_pcd(call):
    return f"{call[0]} {call[1]} = {hex_text(call[2])}"


def show_port(write):
    port, value, size = write
    return f"port {hex_text(port, 2)} <- {hex_text(value, 2 * size)} ({8 * size}-bit)"


class Checker:
    """Holds the events of one boot to a prediction; `result` is (passed, message) once decided."""

    def __init__(self, prediction):
        self.p = prediction
        self.phase = "firmware"  # then "driver" (after "start image"), "returned", "done"
        self.pcd = []
        self.ports = []
        self.status = None
        self.record_checked = False
        self.result = None
        self._line = bytearray()

    def progress(self):
        return (f"{len(self.pcd)} of {len(self.p.pcd)} predicted PCD calls and "
                f"{len(self.ports)} of {len(self.p.ports)} predicted port writes seen")

    def fail(self, message):
        if self.result is None:
            self.result = (False, message)

    def succeed(self, message):
        if self.result is None:
            self.result = (True, message)

    # -- events --

    def trace_line(self, line):
        m = re.search(r"addr 0x([0-9a-f]+) value 0x([0-9a-f]+) size (\d+)", line)
        if not m:
            return
        addr, value, size = int(m[1], 16), int(m[2], 16), int(m[3])
        if addr == UART_DATA and "'serial'" in line:
            self.serial_byte(value & 0xFF)
        elif addr in WATCHED_PORTS:
            self.port_write((addr, value, size))

    def serial_byte(self, byte):
        if byte == 0x0A:
            self.loader_line(self._line.decode("ascii", "replace").rstrip("\r"))
            self._line.clear()
        elif len(self._line) < 4096:
            self._line.append(byte)

    def loader_line(self, text):
        at = text.find(LOADER_PREFIX)
        if at < 0 or self.result is not None:
            return
        msg = text[at + len(LOADER_PREFIX):]
        if msg == "start image":
            self.phase = "driver"
        elif msg == "pcd PcdUnsupported":
            self.fail(f"the driver called a PCD operation that the stand-in does not serve ({self.progress()})")
        elif msg.startswith("pcd Pcd") and self.phase == "driver":
            operation, detail = msg[4:].split(" ", 1)
            self.pcd_call(parse_pcd(operation, detail))
        elif msg.startswith("load ") or msg.startswith("volume "):
            operation, status = msg.split(" ")
            if int(status, 16) >> 63:
                self.fail(f"the firmware did not take the {'image' if operation == 'load' else 'volume'}: "
                          f"{'LoadImage' if operation == 'load' else 'ProcessFirmwareVolume'} returned {status}")
        elif msg.startswith("error: "):
            self.fail(f"the loader stopped: {msg[7:]}")
        elif msg.startswith("entry returned "):
            self.entry_returned(int(msg[15:], 16))
        elif msg.startswith("dispatch returned "):
            self.entry_returned(int(msg[18:], 16), dispatched=True)
        elif msg.startswith("record") or msg == "no record":
            self.record(bytes.fromhex(msg[6:]) if msg.startswith("record") else None)
        elif msg == "shutdown":
            if self.phase != "returned":
                self.fail("the loader shut down without starting the image")
            else:
                self.succeed(f"returned {hex_text(self.status)}; {len(self.pcd)} PCD calls and "
                             f"{len(self.ports)} port writes as predicted"
                             + (f", record bytes 0-{RECORD_CONFIG_BYTES - 1} as predicted" if self.p.record else ""))

    def pcd_call(self, call):
        i = len(self.pcd)
        self.pcd.append(call)
        if i >= len(self.p.pcd):
            self.fail(f"PCD call {i + 1} ({show_pcd(call)}) was not predicted: the prediction has "
                      f"{len(self.p.pcd)} calls")
        elif call != self.p.pcd[i]:
            self.fail(f"PCD call {i + 1} differs: predicted {show_pcd(self.p.pcd[i])}, saw {show_pcd(call)}")

    def port_write(self, write):
        if self.phase != "driver":
            return  # the firmware's own writes, before or after the driver ran
        i = len(self.ports)
        self.ports.append(write)
        if i >= len(self.p.ports):
            self.fail(f"port write {i + 1} ({show_port(write)}) was not predicted: the prediction has "
                      f"{len(self.p.ports)} writes")
        elif write != self.p.ports[i]:
            self.fail(f"port write {i + 1} differs: predicted {show_port(self.p.ports[i])}, saw {show_port(write)}")
        elif self.p.halted and i + 1 == len(self.p.ports):
            if len(self.pcd) < len(self.p.pcd):
                self.fail(f"missing PCD call: stopped in the fatal trap after {self.progress()}; first missing: "
                          f"{show_pcd(self.p.pcd[len(self.pcd)])}")
            else:
                self.succeed(f"stopped in the fatal trap with code {hex_text(self.p.halt_code, 8)} as predicted: "
                             f"{len(self.pcd)} PCD calls, then {len(self.ports)} port writes including "
                             f"{self.p.display_cycles} display cycles")

    def entry_returned(self, status, dispatched=False):
        """The entry returned; or the dispatcher did, which says only whether it started anything."""
        self.phase = "returned"
        self.status = status
        returned = "the dispatcher returned" if dispatched else "the entry returned"
        if dispatched and status != 0:
            self.fail(f"the dispatcher started nothing from the volume: Dispatch returned {hex_text(status)}")
        elif self.p.halted:
            self.fail(f"{returned} {hex_text(status)}, but the prediction stops in the fatal trap with code "
                      f"{hex_text(self.p.halt_code, 8)} ({self.progress()})")
        elif len(self.pcd) < len(self.p.pcd):
            self.fail(f"missing PCD call: {returned} after {self.progress()}; first missing: "
                      f"{show_pcd(self.p.pcd[len(self.pcd)])}")
        elif len(self.ports) < len(self.p.ports):
            self.fail(f"missing port write: {returned} after {self.progress()}; first missing: "
                      f"{show_port(self.p.ports[len(self.ports)])}")
        elif not dispatched and status != self.p.entry_status:
            self.fail(f"the entry returned {hex_text(status)}, the prediction {hex_text(self.p.entry_status)}")

    def record(self, data):
        if self.p.record is None and data is not None:
            self.fail("the driver published a record, the prediction has none")
        elif self.p.record is not None and data is None:
            self.fail("the driver published no record, the prediction has one")
        elif data is not None and data[:RECORD_CONFIG_BYTES] != self.p.record[:RECORD_CONFIG_BYTES]:
            self.fail(f"record bytes 0-{RECORD_CONFIG_BYTES - 1} differ: predicted "
                      f"{self.p.record[:RECORD_CONFIG_BYTES].hex(' ')}, saw {data[:RECORD_CONFIG_BYTES].hex(' ')}")

    def qemu_ended(self, status):
        self.fail(f"QEMU ended (status {status}) before the run was decided: {self.phase} phase, {self.progress()}")


def qemu_command(disk, vars_copy, trace):
    # No default devices (display, optical drive): the firmware boots faster and
    # tries no other boot option first; the first serial port is stdout.
    return ["qemu-system-x86_64", "-nodefaults", "-serial", "stdio", "-display", "none", "-net", "none",
            "-m", "256", "-no-reboot",
            "-drive", f"if=pflash,format=raw,unit=0,readonly=on,file={OVMF_CODE}",
            "-drive", f"if=pflash,format=raw,unit=1,file={vars_copy}",
            "-drive", f"file=fat:rw:{disk},format=raw",
            "-trace", "memory_region_ops_write", "-D", trace]


def boot(loader, driver, pcd_bin, prediction, boot_timeout=BOOT_TIMEOUT, driver_timeout=DRIVER_TIMEOUT):
    """Boots the firmware with the loader and the driver (an image, or a firmware volume when its
    name ends in .fv); returns (passed, message, serial text)."""
    checker = Checker(prediction)
    with tempfile.TemporaryDirectory(prefix="meminfo-fw-") as work:
        disk = os.path.join(work, "disk")
        os.makedirs(os.path.join(disk, "EFI", "BOOT"))
        shutil.copyfile(loader, os.path.join(disk, "EFI", "BOOT", "BOOTX64.EFI"))
        shutil.copyfile(driver, os.path.join(disk, "VOLUME.FV" if driver.endswith(".fv") else "DRIVER.EFI"))
        with open(os.path.join(disk, "PCD.BIN"), "wb") as f:
            f.write(pcd_bin)
        vars_copy = os.path.join(work, "vars.fd")
        shutil.copyfile(OVMF_VARS, vars_copy)
        # The trace goes through a pipe: QEMU waits while it is not read, so a
        # trap's display loop fills no disk, and stopping QEMU stops it.
        trace = os.path.join(work, "trace.fifo")
        os.mkfifo(trace)
        trace_fd = os.open(trace, os.O_RDONLY | os.O_NONBLOCK)
        with open(os.path.join(work, "qemu.err"), "wb") as err:
            qemu = subprocess.Popen(qemu_command(disk, vars_copy, trace), stdin=subprocess.DEVNULL,
                                    stdout=subprocess.PIPE, stderr=err)
        serial_fd = qemu.stdout.fileno()
        os.set_blocking(serial_fd, False)
        serial = bytearray()
        pending = b""
        started = time.monotonic()
        driver_started = None
        exception_seen = None
        open_fds = {serial_fd, trace_fd}
        try:
            while checker.result is None:
                now = time.monotonic()
                if driver_started is None and now - started > boot_timeout:
                    checker.fail(f"hang: the firmware did not start the image within {boot_timeout:.0f} s")
                elif driver_started is not None and now - driver_started > driver_timeout:
                    checker.fail(f"hang: the driver neither returned nor showed the predicted writes within "
                                 f"{driver_timeout:.0f} s of its start ({checker.progress()})")
                elif exception_seen is not None:
                    # The dump's first line names the exception: wait for it to end.
                    dump = serial[serial.index(EXCEPTION_MARK):]
                    if b"\n" in dump or now - exception_seen > 2:
                        line = dump.decode("ascii", "replace").splitlines()[0].strip()
                        checker.fail(f"the processor raised an exception: {line} ({checker.progress()})")
                elif not open_fds:
                    checker.qemu_ended(qemu.wait())
                if checker.result is not None:
                    break
                ready, _, _ = select.select(list(open_fds), [], [], 0.05)
                for fd in ready:
                    data = os.read(fd, 1 << 16)
                    if fd == serial_fd:
                        if not data:
                            open_fds.discard(fd)
                        serial += data
                        if driver_started is None and START_LINE in serial:
                            driver_started = time.monotonic()
                        if exception_seen is None and EXCEPTION_MARK in serial:
                            exception_seen = time.monotonic()
                    elif not data:
                        if qemu.poll() is not None:
                            open_fds.discard(fd)
                        else:
                            time.sleep(0.01)  # QEMU has not opened its end yet
                    else:
                        lines = (pending + data).split(b"\n")
                        pending = lines.pop()
                        for line in lines:
                            checker.trace_line(line.decode("ascii", "replace"))
        finally:
            if qemu.poll() is None:
                qemu.kill()
            qemu.wait()
            qemu.stdout.close()
            os.close(trace_fd)
    passed, message = checker.result
    return passed, message, serial.decode("ascii", "replace")


SNAPSHOT_SIZE = 3366
CHIP_SELECT_TABLE_SIZE = 2048
DUMP_SCENARIO = os.path.join(ROOT, "scenarios", "default.toml")


def record_bin(sim, scenario):
    """RECORD.BIN for the loader: the record's 40 bytes as the scenario's boot published them, then
    the snapshot's bytes and the chip-select table's, each when the record points to one."""
    run = subprocess.run([sim, "run", scenario, "--json"], capture_output=True, text=True, timeout=120)
    record = json.loads(run.stdout)["record"]
    if not record.get("present") or "bytes" not in record:
        raise RuntimeError(f"{scenario} publishes no readable record")
    out = bytes(record["bytes"])
    snapshot, table = record["channel_map"], record["chip_select_table"]
    if snapshot["present"]:
        out += bytes.fromhex(snapshot["bytes_hex"])
        assert len(out) == 40 + SNAPSHOT_SIZE
    if table["present"]:
        if not table["rest_zero"]:
            raise RuntimeError(f"{scenario}: the chip-select table's reserved bytes are not zero; the JSON lacks them")
        entries = b"".join(struct.pack("<QBBBBB3x", e["sequence"], e["socket"], e["channel"], e["die"], e["dimm"],
                                       e["rank"]) for e in table["entries"])
        out += entries.ljust(CHIP_SELECT_TABLE_SIZE, b"\0")
    return out


def boot_dump(loader, dump_app, record, sim, timeout=BOOT_TIMEOUT):
    """Boots the firmware with the loader in its record mode; returns (passed, message, serial text)."""
    with tempfile.TemporaryDirectory(prefix="meminfo-fw-dump-") as work:
        disk = os.path.join(work, "disk")
        os.makedirs(os.path.join(disk, "EFI", "BOOT"))
        shutil.copyfile(loader, os.path.join(disk, "EFI", "BOOT", "BOOTX64.EFI"))
        shutil.copyfile(dump_app, os.path.join(disk, "DUMP.EFI"))
        with open(os.path.join(disk, "RECORD.BIN"), "wb") as f:
            f.write(record)
        vars_copy = os.path.join(work, "vars.fd")
        shutil.copyfile(OVMF_VARS, vars_copy)
        command = [c for c in qemu_command(disk, vars_copy, "") if c not in ("-trace", "memory_region_ops_write", "-D", "")]
        try:
            run = subprocess.run(command, stdin=subprocess.DEVNULL, capture_output=True, timeout=timeout)
        except subprocess.TimeoutExpired as e:
            return False, f"hang: QEMU did not shut down within {timeout:.0f} s", (e.stdout or b"").decode("ascii", "replace")
    serial = run.stdout.decode("ascii", "replace")
    if EXCEPTION_MARK.decode() in serial:
        return False, "the processor raised an exception", serial
    returned = re.search(r"meminfo-loader: dump returned (0x[0-9A-F]+)", serial)
    if not returned or int(returned[1], 16) != 0:
        return False, "MemInfoDump.efi did not return success" + (f" ({returned[1]})" if returned else ""), serial
    compare = subprocess.run([sim, "compare", DUMP_SCENARIO, "-"], input=run.stdout, capture_output=True, timeout=120)
    verdict = compare.stdout.decode().strip().splitlines()
    if compare.returncode != 0:
        return False, f"meminfo-sim compare exited with {compare.returncode}: " + \
            " | ".join(verdict[-5:] + compare.stderr.decode().strip().splitlines()), serial
    return True, verdict[-1], serial


def strip_relocations(image, out):
    """A copy of a PE32+ image whose base-relocation directory entry is zeroed."""
    pe = pefile.PE(image, fast_load=True)
    if pe.PE_TYPE != pefile.OPTIONAL_HEADER_MAGIC_PE_PLUS:
        raise RuntimeError(f"{image} is not PE32+")
    relocations = pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_BASERELOC"]]
    relocations.VirtualAddress = relocations.Size = 0
    pe.write(out)


def self_check():
    """The checker alone, on made-up events: a missing PCD call and another port sequence fail."""
    def events(checker, lines, ports=()):
        for line in lines:
            checker.loader_line(LOADER_PREFIX + line)
            if line == "start image":
                for write in ports:
                    checker.port_write(write)

    returns = Prediction(pcd=[("PcdGet16", 243, 0xFFFF), ("PcdSet16", 243, 0xFFE)], ports=[], halted=False,
                         entry_status=0, record=bytes(40))
    c = Checker(returns)
    events(c, ["start image", "pcd PcdGet16 243 = 0xFFFF", "entry returned 0x0", "record " + "00 " * 40, "shutdown"])
    missing = c.result

    traps = Prediction(pcd=[], ports=split_port_write(0xE0, 0xDEAD, 2) + split_port_write(0x80, 0x90869, 4),
                       halted=True, halt_code=0x90869)
    c = Checker(traps)
    events(c, ["start image"], [(0xE0, 0xDEAD, 2), (0x80, 0x69, 1), (0x81, 0x08, 1), (0x82, 0x0A, 1)])
    other = c.result

    c = Checker(traps)
    events(c, ["start image"], [(0xE0, 0xDEAD, 2)] + split_port_write(0x80, 0x90869, 4))
    trapped = c.result
    return [
        ("a missing PCD call fails", missing and not missing[0] and "missing PCD call" in missing[1], missing),
        ("another port sequence fails", other and not other[0] and "port write 4 differs" in other[1], other),
        ("the predicted trap passes", trapped and trapped[0], trapped),
    ]


@dataclass
class Boot:
    name: str
    driver: str
    prediction: Prediction
    expect_pass: bool = True
    expect_text: str = ""  # a failure must say this
    record: bytes | None = None  # the record dump's boot: RECORD.BIN


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--build", default=os.path.join(ROOT, "build", "host"))
    ap.add_argument("--scenario", default=os.path.join(ROOT, "scenarios", "qemu-ovmf.toml"))
    ap.add_argument("--image", help="boot and check only this image")
    ap.add_argument("--jobs", type=int, default=2, help="boots run at once (default 2)")
    args = ap.parse_args()
    sim = os.path.join(args.build, "meminfo-sim")
    images = os.path.join(args.build, "firmware-test")
    loader = os.path.join(images, "Loader.efi")
    shipped = os.path.join(args.build, "MemInfoDxe.efi")
    for path in (sim, loader, shipped, os.path.join(args.build, "MemInfoDump.efi"), OVMF_CODE, OVMF_VARS, shutil.which("qemu-system-x86_64") or "qemu"):
        if not os.path.exists(path):
            sys.exit(f"firmware-test: {path} is missing (make host; tools/install-deps firmware)")
    pcd_bin = pcd_table(args.scenario)
    counts = {True: 0, False: 0}

    def report(name, ok, message, serial=""):
        counts[bool(ok)] += 1
        print(f"firmware-test: {name}: {'ok' if ok else 'FAILED'}: {message}", flush=True)
        tail = "\n".join(re.sub(r"\x1b\[[0-9;=]*[A-Za-z]", "", serial.replace("\r", "")).splitlines()[-25:])
        if not ok and tail:
            print("  last serial lines:\n    " + tail.replace("\n", "\n    "), flush=True)

    def run(b):
        t = time.monotonic()
        if b.record is not None:
            ok, message, serial = boot_dump(loader, b.driver, b.record, sim)
            return b.name, ok, f"({time.monotonic() - t:.1f} s) " + message, serial
        ok, message, serial = boot(loader, b.driver, pcd_bin, b.prediction)
        took = f"({time.monotonic() - t:.1f} s) "
        if b.expect_pass:
            return b.name, ok, took + message, serial
        good = not ok and b.expect_text in message
        return b.name, good, took + ("failed as it must: " if good else f"should have failed ('{b.expect_text}'), "
                                     "but: ") + message, serial

    shipped_prediction = predict(sim, args.scenario)
    boots = []
    if args.image:
        boots.append(Boot(os.path.basename(args.image), args.image, shipped_prediction))
    else:
        for name, ok, result in self_check():
            report(f"checker: {name}", bool(ok), result[1] if result else "undecided")
        what = (f"stops in the fatal trap {hex_text(shipped_prediction.halt_code, 8)}" if shipped_prediction.halted
                else f"returns {hex_text(shipped_prediction.entry_status)}")
        print(f"firmware-test: on {os.path.relpath(args.scenario, ROOT)} the prediction {what}", flush=True)
        boots.append(Boot("MemInfoDxe.efi", shipped, shipped_prediction))
        trap_driver = os.path.join(images, "TrapDriver.efi")
        trap_prediction = predict(sim, args.scenario, emulate_image=trap_driver)
        if trap_prediction.halted:
            boots.append(Boot("trap driver (the trap path)", trap_driver, trap_prediction))
        else:
            report("trap driver", False, "the emulator's prediction for the trap driver does not halt")
        made = tempfile.mkdtemp(prefix="meminfo-fw-img-")
        ffs = os.path.join(made, "MemInfoDxe.ffs")
        subprocess.run([os.path.join(ROOT, "tools", "make-ffs"), shipped, ffs], check=True, stdout=subprocess.DEVNULL)
        with open(ffs, "rb") as f, open(os.path.join(made, "volume.fv"), "wb") as fv:
            fv.write(volume(f.read()))
        boots.append(Boot("MemInfoDxe.ffs from a firmware volume, by the firmware's dispatcher",
                          os.path.join(made, "volume.fv"), shipped_prediction))
        # The shipped image stops in its start-up trap before it uses any
        # relocated pointer, so the control for relocations strips them from the
        # trap driver, which reaches its steps through a table of absolute addresses.
        stripped = os.path.join(made, "TrapDriver-no-relocations.efi")
        strip_relocations(trap_driver, stripped)
        boots.append(Boot("the trap driver without its relocations", stripped, trap_prediction, False, STRIPPED_FAILS))
        boots.append(Boot("a driver that executes ud2", os.path.join(images, "FaultDriver.efi"), shipped_prediction,
                          False, "exception"))
        boots.append(Boot("MemInfoDump.efi reads back the record of scenarios/default.toml",
                          os.path.join(args.build, "MemInfoDump.efi"), shipped_prediction,
                          record=record_bin(sim, DUMP_SCENARIO)))

    try:
        with ThreadPoolExecutor(max_workers=max(1, args.jobs)) as pool:
            for name, ok, message, serial in pool.map(run, boots):
                report(name, ok, message, serial)
    finally:
        if not args.image:
            shutil.rmtree(made, ignore_errors=True)
    print(f"firmware-test: {counts[True]} passed, {counts[False]} failed", flush=True)
    return 0 if counts[False] == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
