#!/usr/bin/python3
"""The built driver image as pefile reads it: a PE32+ x86-64 EFI boot-service
driver that imports nothing, carries base relocations, starts in executable
code, has no section both writable and executable and keeps no mutable state
outside the image-state section; its time stamp is 0, as linked, so two builds
of one tree give the same bytes. (The link's objects and map are checked in
image_test.cpp; the image's loading in the emulator's tests.)

Usage: image_test.py IMAGE   (ctest runs it on the build's MemInfoDxe.efi)
"""
import sys
import unittest

import pefile

SCN_MEM_EXECUTE, SCN_MEM_WRITE = 0x20000000, 0x80000000
IMPORTS, RELOCATIONS = 1, 5  # data directory entries
IMAGE = ""


class DriverImage(unittest.TestCase):
    def test_is_an_efi_boot_service_driver(self):
        with open(IMAGE, "rb") as f:
            data = f.read()
        self.assertGreater(len(data), 512, IMAGE)
        pe = pefile.PE(data=data, fast_load=True)
        self.assertEqual(pe.DOS_HEADER.e_magic, 0x5A4D, "MZ")
        self.assertEqual(pe.NT_HEADERS.Signature, 0x4550, "PE signature")
        self.assertEqual(pe.FILE_HEADER.Machine, 0x8664, "machine x86-64")
        self.assertEqual(pe.FILE_HEADER.TimeDateStamp, 0, "time stamp (a link time makes builds differ)")
        opt = pe.OPTIONAL_HEADER
        self.assertEqual(opt.Magic, 0x20B, "PE32+")
        self.assertEqual(opt.Subsystem, 11, "EFI boot-service driver")
        self.assertGreaterEqual(opt.NumberOfRvaAndSizes, 6)
        directories = opt.DATA_DIRECTORY
        self.assertEqual(directories[IMPORTS].VirtualAddress, 0, "import directory address")
        self.assertEqual(directories[IMPORTS].Size, 0, "import directory size")
        self.assertGreater(directories[RELOCATIONS].Size, 0, "base relocations present")

        entry = opt.AddressOfEntryPoint
        holding = [s for s in pe.sections if s.VirtualAddress <= entry < s.VirtualAddress + s.Misc_VirtualSize]
        self.assertTrue(holding and holding[-1].Characteristics & SCN_MEM_EXECUTE, f"entry point {entry:#x}")
        for s in pe.sections:
            name = s.Name.rstrip(b"\0").decode("ascii", "replace")
            with self.subTest(section=name):
                both = SCN_MEM_EXECUTE | SCN_MEM_WRITE
                self.assertNotEqual(s.Characteristics & both, both, "writable and executable")
                # Mutable state lives in the image-state section only, which the host
                # build resets before each boot; anything in .data or .bss would survive there.
                self.assertNotIn(name, (".data", ".bss"), "mutable state outside IMAGE_STATE")
        print(f"[ image    ] {IMAGE}: {len(data)} bytes")


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    IMAGE = sys.argv.pop(1)
    unittest.main()
