#!/usr/bin/env python3
"""Lists the boot entries in an OVMF variable store file, read on its own
(not through bcdboot's reader), for the tests:

    Boot0001 7 1 "Windows Boot Manager" HD(1,GPT,<guid>,0x800,0x32000)/\\EFI\\Microsoft\\Boot\\bootmgfw.efi
    BootOrder 0001 0000 0002

(variable attributes, load option attributes, description, device path).
Only live copies (state 0x3F) of variables under the global GUID; a second
live copy of one name is an error, as the firmware would not know which to
use.  varstore.py FILE

    varstore.py --changes OLD NEW

names what NEW changed in OLD: "deleted NAME" for each variable of OLD
whose state went from live to deleted, "appended NAME" for each variable
after OLD's last; any other byte that differs is an error.
"""
import struct
import sys
import uuid

GLOBAL = uuid.UUID("8BE4DF61-93CA-11D2-AA0D-00E098032B8C").bytes_le


def device_path(path):
    parts, at = [], 0
    while at + 4 <= len(path):
        kind, sub, length = struct.unpack_from("<BBH", path, at)
        node = path[at:at + length]
        if kind == 0x7F:
            break
        if (kind, sub) == (4, 1):
            number, start, size = struct.unpack_from("<IQQ", node, 4)
            signature, fmt, sig_type = node[24:40], node[40], node[41]
            sig = str(uuid.UUID(bytes_le=signature)) if sig_type == 2 else "%08x" % struct.unpack_from("<I", signature)[0]
            parts.append("HD(%d,%s,%s,%#x,%#x)" % (number, "GPT" if fmt == 2 else "MBR", sig, start, size))
        elif (kind, sub) == (4, 4):
            parts.append(node[4:].decode("utf-16-le").rstrip("\0"))
        else:
            parts.append("%d.%d" % (kind, sub))
        at += length
    return "/".join(parts)


def variables(data):
    """(offset, state, name) of every variable, and where the free space starts."""
    start = struct.unpack_from("<H", data, 0x30)[0]
    end = start + struct.unpack_from("<I", data, start + 0x10)[0]
    at, found = (start + 28 + 3) & ~3, []
    while at + 60 <= end and struct.unpack_from("<H", data, at)[0] == 0x55AA:
        name_size, data_size = struct.unpack_from("<II", data, at + 0x24)
        found.append((at, data[at + 2], data[at + 60:at + 60 + name_size].decode("utf-16-le").rstrip("\0")))
        at = (at + 60 + name_size + data_size + 3) & ~3
    return found, at


def changes(old_name, new_name):
    old, new = open(old_name, "rb").read(), open(new_name, "rb").read()
    assert len(old) == len(new), "the file changed its size"
    old_vars, old_free = variables(old)
    for at, state, var_name in old_vars:
        if new[at + 2] != state:
            assert (state, new[at + 2]) == (0x3F, 0x3D), "%s: state %#x to %#x" % (var_name, state, new[at + 2])
            print("deleted", var_name)
    state_bytes = {at + 2 for at, _, _ in old_vars}
    for i in range(old_free):
        assert old[i] == new[i] or i in state_bytes, "byte %#x changed" % i
    new_vars, _ = variables(new)
    for at, state, var_name in new_vars:
        if at >= old_free:
            print("appended", var_name)


def main(name):
    data = open(name, "rb").read()
    assert data[0x28:0x2C] == b"_FVH", "no firmware volume"
    start = struct.unpack_from("<H", data, 0x30)[0]
    size = struct.unpack_from("<I", data, start + 0x10)[0]
    end, at = start + size, (start + 28 + 3) & ~3
    seen = {}
    while at + 60 <= end and struct.unpack_from("<H", data, at)[0] == 0x55AA:
        state, attributes = data[at + 2], struct.unpack_from("<I", data, at + 4)[0]
        name_size, data_size = struct.unpack_from("<II", data, at + 0x24)
        vendor = data[at + 0x2C:at + 0x3C]
        var_name = data[at + 60:at + 60 + name_size].decode("utf-16-le").rstrip("\0")
        value = data[at + 60 + name_size:at + 60 + name_size + data_size]
        if state == 0x3F and vendor == GLOBAL:
            assert var_name not in seen, "two live copies of " + var_name
            seen[var_name] = (attributes, value)
        at = (at + 60 + name_size + data_size + 3) & ~3
    assert all(b == 0xFF for b in data[at:end]), "the free space is not blank"
    for var_name in sorted(seen):
        attributes, value = seen[var_name]
        if var_name == "BootOrder":
            print("BootOrder", " ".join("%04X" % n for n in struct.unpack("<%dH" % (len(value) // 2), value)))
        elif len(var_name) == 8 and var_name.startswith("Boot") and var_name[4:].isalnum():
            option_attributes, path_length = struct.unpack_from("<IH", value, 0)
            text_end = 6
            while value[text_end:text_end + 2] != b"\0\0":
                text_end += 2
            description = value[6:text_end].decode("utf-16-le")
            path = value[text_end + 2:text_end + 2 + path_length]
            print('%s %d %d "%s" %s' % (var_name, attributes, option_attributes, description, device_path(path)))


if sys.argv[1] == "--changes":
    changes(sys.argv[2], sys.argv[3])
else:
    main(sys.argv[1])
