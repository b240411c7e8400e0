#!/usr/bin/env python3
"""zip_tree.py ARCHIVE FOLDER: packs FOLDER (its own name as the top entry)
into ARCHIVE so that the same files give the same bytes on any machine and
at any time: names sorted, every entry dated SOURCE_DATE_EPOCH (UTC), fixed
permissions, no owners, no extra fields."""
import os
import sys
import time
import zipfile


def main():
    archive, folder = sys.argv[1], os.path.normpath(sys.argv[2])
    epoch = int(os.environ["SOURCE_DATE_EPOCH"])
    # Zip dates start in 1980 and have two-second steps.
    date_time = time.gmtime(max(epoch, 315532800))[:6]
    base = os.path.dirname(folder)
    entries = []
    for root, dirs, files in os.walk(folder):
        for name in dirs:
            entries.append(os.path.join(root, name))
        for name in files:
            entries.append(os.path.join(root, name))
    entries.append(folder)
    entries.sort(key=lambda path: os.path.relpath(path, base).replace(os.sep, "/"))
    with zipfile.ZipFile(archive, "w") as out:
        for path in entries:
            name = os.path.relpath(path, base).replace(os.sep, "/")
            if os.path.isdir(path):
                info = zipfile.ZipInfo(name + "/", date_time)
                info.external_attr = (0o40755 << 16) | 0x10  # MS-DOS directory bit
                info.compress_type = zipfile.ZIP_STORED
                data = b""
            else:
                info = zipfile.ZipInfo(name, date_time)
                info.external_attr = 0o100644 << 16
                info.compress_type = zipfile.ZIP_DEFLATED
                with open(path, "rb") as f:
                    data = f.read()
            info.create_system = 3  # Unix: the permission bits above mean what they say
            out.writestr(info, data, compresslevel=9)


if __name__ == "__main__":
    main()
