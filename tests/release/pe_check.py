#!/usr/bin/env python3
"""pe_check.py EXE MACHINE VERSION [TOOLS]: checks a released Windows program.

The file must be a PE image for MACHINE (0x14c i386, 0x8664 x86-64) that
imports no MinGW runtime DLL and carries a version resource whose fixed file
and product versions and whose FileVersion and ProductVersion strings are
VERSION, and no link time. With TOOLS (a comma-separated list of RCDATA ids), each of those
resources must itself be such a program. Prints what it found; exits 1 on
the first mismatch."""
import struct
import sys

RT_RCDATA, RT_VERSION = 10, 16


class Bad(Exception):
    pass


def u16(data, at):
    return struct.unpack_from("<H", data, at)[0]


def u32(data, at):
    return struct.unpack_from("<I", data, at)[0]


class Image:
    def __init__(self, data):
        if data[:2] != b"MZ":
            raise Bad("no MZ header")
        pe = u32(data, 0x3C)
        if data[pe : pe + 4] != b"PE\0\0":
            raise Bad("no PE signature")
        self.data = data
        self.machine = u16(data, pe + 4)
        self.time_stamp = u32(data, pe + 8)
        sections = u16(data, pe + 6)
        optional = pe + 24
        optional_size = u16(data, pe + 20)
        magic = u16(data, optional)
        directories = optional + (96 if magic == 0x10B else 112)
        self.imports_rva = u32(data, directories + 8)
        self.resources_rva = u32(data, directories + 16)
        self.sections = []
        for i in range(sections):
            at = optional + optional_size + 40 * i
            size, rva, raw_size, raw = struct.unpack_from("<IIII", data, at + 8)
            self.sections.append((rva, max(size, raw_size), raw))

    def offset(self, rva):
        for start, size, raw in self.sections:
            if start <= rva < start + size:
                return rva - start + raw
        raise Bad("RVA 0x%x lies in no section" % rva)

    def imported_dlls(self):
        names = []
        at = self.offset(self.imports_rva)
        while u32(self.data, at + 12):
            name = self.offset(u32(self.data, at + 12))
            names.append(self.data[name : self.data.index(b"\0", name)].decode("ascii").lower())
            at += 20
        return names

    def resources(self):
        """{(type, id): bytes} for every resource named by number."""
        if not self.resources_rva:
            return {}
        base = self.offset(self.resources_rva)
        found = {}

        def entries(at):
            named, numbered = u16(self.data, at + 12), u16(self.data, at + 14)
            for i in range(named + numbered):
                ident, target = struct.unpack_from("<II", self.data, at + 16 + 8 * i)
                yield ident, target

        for kind, to_names in entries(base):
            for name, to_languages in entries(base + (to_names & 0x7FFFFFFF)):
                for _, to_data in entries(base + (to_languages & 0x7FFFFFFF)):
                    rva, size = struct.unpack_from("<II", self.data, base + to_data)
                    start = self.offset(rva)
                    found[(kind, name)] = self.data[start : start + size]
        return found


def version_info(block):
    """(file version, product version, {string name: value}) of VS_VERSIONINFO."""
    strings = {}

    def walk(at, end, depth):
        while at + 6 <= end:
            length, value_length, kind = struct.unpack_from("<HHH", block, at)
            if length == 0:
                break
            key_end = at + 6
            while block[key_end : key_end + 2] != b"\0\0":
                key_end += 2
            key = block[at + 6 : key_end].decode("utf-16-le")
            value = (key_end + 2 + 3) & ~3
            if depth == 3:  # a string of a StringTable
                text = block[value : value + 2 * value_length].decode("utf-16-le")
                strings[key] = text.rstrip("\0")
            else:
                children = value + (value_length * (2 if kind == 1 else 1))
                if depth == 0:
                    fixed = block[value : value + 52]
                    info["fixed"] = fixed
                walk((children + 3) & ~3, at + length, depth + 1)
            at = (at + length + 3) & ~3

    info = {}
    walk(0, len(block), 0)
    fixed = info.get("fixed", b"")
    if len(fixed) < 52 or u32(fixed, 0) != 0xFEEF04BD:
        raise Bad("the version resource has no fixed file information")

    def numbers(high, low):
        return "%d.%d.%d.%d" % (high >> 16, high & 0xFFFF, low >> 16, low & 0xFFFF)

    return numbers(u32(fixed, 8), u32(fixed, 12)), numbers(u32(fixed, 16), u32(fixed, 20)), strings


def check(label, data, machine, version, tools):
    image = Image(data)
    if image.machine != machine:
        raise Bad("%s: machine 0x%x, expected 0x%x" % (label, image.machine, machine))
    # A link time would make every build differ.
    if image.time_stamp != 0:
        raise Bad("%s: the PE header carries a link time (0x%x)" % (label, image.time_stamp))
    for dll in image.imported_dlls():
        if dll.startswith(("libstdc++", "libgcc", "libwinpthread")):
            raise Bad("%s imports %s, which Windows does not have" % (label, dll))
    resources = image.resources()
    if (RT_VERSION, 1) not in resources:
        raise Bad("%s has no version resource" % label)
    file_version, product_version, strings = version_info(resources[(RT_VERSION, 1)])
    found = {
        "fixed file version": file_version,
        "fixed product version": product_version,
        "FileVersion": strings.get("FileVersion"),
        "ProductVersion": strings.get("ProductVersion"),
    }
    for what, value in found.items():
        if value != version:
            raise Bad("%s: %s is %r, expected %r" % (label, what, value, version))
    print("%s: machine 0x%x, version %s, %s" % (label, machine, version,
                                               strings.get("OriginalFilename")))
    for tool in tools:
        if (RT_RCDATA, tool) not in resources:
            raise Bad("%s carries no RCDATA %d" % (label, tool))
        check("%s[RCDATA %d]" % (label, tool), resources[(RT_RCDATA, tool)], machine, version, [])


def main():
    path, machine, version = sys.argv[1], int(sys.argv[2], 0), sys.argv[3]
    tools = [int(t) for t in sys.argv[4].split(",")] if len(sys.argv) > 4 else []
    with open(path, "rb") as f:
        data = f.read()
    try:
        check(path, data, machine, version, tools)
    except (Bad, struct.error, IndexError, ValueError) as problem:
        print("FAIL: %s" % problem)
        sys.exit(1)


if __name__ == "__main__":
    main()
