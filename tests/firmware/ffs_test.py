#!/usr/bin/env python3
"""MemInfoDxe.ffs as an inspector that no one here wrote sees it.

tools/make-ffs wraps the image; the file is put into a firmware volume (an
inspector reads volumes, not lone files) and UEFIExtract, from Debian's
uefitool-cli, must find a DXE driver file with our GUID and valid header and
data checksums, holding a dependency expression (PUSH the PCD protocol, END),
a PE32 section whose bytes are the image's, and a user-interface section
naming it, in that order. A file with one flipped byte must be caught.

Usage: ffs_test.py [--build build/host]
"""
import argparse
import os
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from volume import volume  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
MAKE_FFS = os.path.join(ROOT, "tools", "make-ffs")
FILE_GUID = "7E414032-EDAD-40D6-9099-8269D03AA90C"
PCD_PROTOCOL_GUID = "11B34006-D85B-4D0A-A290-D5A571310EF7"
SECTIONS = ["DXE dependency", "PE32 image", "UI"]


def read(path, mode="r"):
    with open(path, mode) as f:
        return f.read()


def inspect(ffs, image, work):
    """The problems UEFIExtract shows in the firmware file; empty when there are none."""
    fv = os.path.join(work, "volume.fv")
    with open(fv, "wb") as f:
        f.write(volume(ffs))
    run = subprocess.run(["UEFIExtract", fv, "all"], capture_output=True, text=True, timeout=60)
    messages = [m for m in (run.stdout + run.stderr).splitlines()
                if m.strip() and "Volume Top File" not in m]  # a lone volume has none: expected
    problems = [f"UEFIExtract: {m}" for m in messages]

    rows = [[c.strip() for c in line.split("|")] for line in read(fv + ".report.txt").splitlines()[1:]]
    files = [r for r in rows if r[0] == "File"]
    sections = [r[1] for r in rows if r[0] == "Section"]
    names = [" ".join(r[5:]) for r in files]
    if len(files) != 1 or files[0][1] != "DXE driver" or FILE_GUID not in names[0] or "MemInfoDxe" not in names[0]:
        problems.append(f"expected one DXE driver file {FILE_GUID} named MemInfoDxe, found {files}")
    if sections != SECTIONS:
        problems.append(f"sections {sections}, expected {SECTIONS}")

    volume_dir = [d for d in os.listdir(fv + ".dump") if os.path.isdir(os.path.join(fv + ".dump", d))][0]
    file_dir = os.path.join(fv + ".dump", volume_dir, "0 MemInfoDxe")
    if not os.path.isdir(file_dir):
        return problems + ["UEFIExtract dumped no file named MemInfoDxe"]
    info = read(os.path.join(file_dir, "info.txt"))
    for expected in ("Type: 07h", "Attributes: 40h", "State: F8h", "Tail size: 0h"):
        if expected not in info:
            problems.append(f"file: expected '{expected}'")
    for checksum in ("Header checksum", "Data checksum"):
        line = next((l for l in info.splitlines() if l.startswith(checksum)), "")
        if not line.endswith(", valid"):
            problems.append(f"file: {line or checksum + ' not reported'}")
    depex = read(os.path.join(file_dir, "0 DXE dependency section", "info.txt"))
    if f"Parsed expression:\nPUSH {PCD_PROTOCOL_GUID}\nEND" not in depex:
        problems.append("the dependency expression is not PUSH <PCD protocol> END")
    pe32 = os.path.join(file_dir, "1 PE32 image section", "body.bin")
    if not os.path.exists(pe32) or read(pe32, "rb") != image:
        problems.append("the PE32 section's bytes are not the image's")
    ui = os.path.join(file_dir, "2 UI section", "body.bin")
    if not os.path.exists(ui) or read(ui, "rb") != "MemInfoDxe\0".encode("utf-16-le"):
        problems.append("the user-interface section does not name MemInfoDxe")
    return problems


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--build", default=os.path.join(ROOT, "build", "host"))
    args = ap.parse_args()
    image_path = os.path.join(args.build, "MemInfoDxe.efi")
    image = read(image_path, "rb")
    results = []
    with tempfile.TemporaryDirectory(prefix="meminfo-ffs-") as work:
        ffs_path = os.path.join(work, "MemInfoDxe.ffs")
        made = subprocess.run([MAKE_FFS, image_path, ffs_path], capture_output=True, text=True)
        if made.returncode != 0:
            results.append(("make-ffs writes the file", [made.stderr.strip()]))
        else:
            ffs = read(ffs_path, "rb")
            results.append(("UEFIExtract reads MemInfoDxe.ffs as built", inspect(ffs, image, os.path.join(work))))
            broken = bytearray(ffs)
            broken[len(ffs) // 2] ^= 0x01
            os.makedirs(os.path.join(work, "broken"))
            caught = inspect(bytes(broken), image, os.path.join(work, "broken"))
            results.append(("a flipped byte is caught", [] if any("Data checksum" in p for p in caught)
                            else [f"not caught: {caught}"]))
        bad = subprocess.run([MAKE_FFS, os.path.join(ROOT, "scenarios", "default.toml"), ffs_path + ".bad"],
                             capture_output=True, text=True)
        results.append(("make-ffs refuses a file that is not a driver image",
                        [] if bad.returncode != 0 and "not a PE image" in bad.stderr else
                        [f"status {bad.returncode}: {bad.stderr.strip()}"]))
    failed = 0
    for name, problems in results:
        print(f"ffs-test: {name}: {'ok' if not problems else 'FAILED'}")
        for p in problems:
            print(f"  {p}")
        failed += bool(problems)
    print(f"ffs-test: {len(results) - failed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
