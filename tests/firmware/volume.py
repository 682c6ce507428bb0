"""A firmware volume holding one firmware file: what the tests put MemInfoDxe.ffs
into, so that an inspector (which reads volumes, not lone files) parses it and
the firmware's dispatcher can be handed it."""
import struct
import uuid

FFS2_FILE_SYSTEM_GUID = uuid.UUID("8C8CE578-8A3D-4F1C-9935-896185C32DD3")
# Readable, memory-mapped, erase polarity 1, 8-byte alignment.
ATTRIBUTES = 0x2 | 0x4 | 0x400 | 0x800 | 0x00030000
HEADER_LENGTH = 72  # the 56-byte header and a block map of one entry and its terminator
BLOCK = 0x1000


def volume(firmware_file):
    blocks = (HEADER_LENGTH + len(firmware_file) + BLOCK - 1) // BLOCK
    size = blocks * BLOCK
    header = bytearray(bytes(16) + FFS2_FILE_SYSTEM_GUID.bytes_le + struct.pack("<Q", size) + b"_FVH" +
                       struct.pack("<IHHHBB", ATTRIBUTES, HEADER_LENGTH, 0, 0, 0, 2) +
                       struct.pack("<IIII", blocks, BLOCK, 0, 0))
    struct.pack_into("<H", header, 50, -sum(struct.unpack(f"<{HEADER_LENGTH // 2}H", header)) & 0xFFFF)
    data = bytes(header) + firmware_file
    return data + b"\xff" * (size - len(data))
