# Writes an empty registry hive file (a base block and one bin holding the root key and its
# security cell), the starting point into which the hive-merging peer of bench/run merges.
import struct

_BLOCK = 4096
_ROOT_OFFSET = 0x20          # cells are addressed from the start of the first bin
_ROOT_NAME = b"ROOT"


def _cell(payload):
    """An allocated cell: negative size, then the payload, padded to a multiple of 8."""
    size = (4 + len(payload) + 7) & ~7
    return struct.pack("<i", -size) + payload + b"\0" * (size - 4 - len(payload))


def _root_key(name, sk_offset):
    fields = struct.pack(
        "<2sHQIIIIIIIIIIIIIIIHH",
        b"nk",
        0x2C,            # hive entry, not deletable, name stored as ASCII
        0,               # last written
        0,               # access bits
        0,               # parent (none)
        0, 0,            # subkeys, volatile subkeys
        0xFFFFFFFF, 0xFFFFFFFF,  # subkey lists
        0,               # values
        0xFFFFFFFF,      # value list
        sk_offset,       # security cell
        0xFFFFFFFF,      # class name
        0, 0, 0, 0, 0,   # largest subkey name, class, value name, value data; work var
        len(name), 0)
    return _cell(fields + name)


def _security(offset):
    # A self-relative descriptor with no owner, group or lists: revision 1, control
    # SE_SELF_RELATIVE.
    descriptor = struct.pack("<BBHIIII", 1, 0, 0x8000, 0, 0, 0, 0)
    fields = struct.pack("<2sHIIII", b"sk", 0, offset, offset, 1, len(descriptor))
    return _cell(fields + descriptor)


def _bin():
    # Cells lie back to back: the security cell follows the root key cell directly.
    sk_offset = _ROOT_OFFSET + len(_root_key(_ROOT_NAME, 0))
    cells = _root_key(_ROOT_NAME, sk_offset) + _security(sk_offset)
    free = _BLOCK - 0x20 - len(cells)
    cells += struct.pack("<i", free) + b"\0" * (free - 4)  # the rest is one free cell
    header = struct.pack("<4sIIQQI", b"hbin", 0, _BLOCK, 0, 0, 0)
    return header + cells


def _base_block():
    fields = struct.pack("<4sIIQIIIIIII", b"regf", 1, 1, 0, 1, 3, 0, 1, _ROOT_OFFSET,
                         _BLOCK, 1)
    block = bytearray(fields + b"\0" * (0x1FC - len(fields)))
    checksum = 0
    for (word,) in struct.iter_unpack("<I", bytes(block)):
        checksum ^= word
    block += struct.pack("<I", checksum)
    return bytes(block) + b"\0" * (_BLOCK - len(block))


def write_empty_hive(path):
    with open(path, "wb") as out:
        out.write(_base_block() + _bin())


if __name__ == "__main__":
    import sys
    write_empty_hive(sys.argv[1])
