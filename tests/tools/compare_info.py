#!/usr/bin/env python3
"""Compares wimengine info's report with wiminfo's, field by field.
   compare_info.py <wimengine info output> <wiminfo output>
Prints every difference; exits 1 when there is one."""
import re
import sys


def blocks(text):
    """The blocks of "Label: value" lines, as dictionaries, in order."""
    result, current = [], {}
    for line in text.split("\n"):
        match = re.match(r"^([A-Za-z][A-Za-z ]*):\s*(.*?)\s*$", line)
        if match:
            current[match.group(1)] = match.group(2)
        elif not line.strip() and current:
            result.append(current)
            current = {}
    if current:
        result.append(current)
    return result


ours = blocks(open(sys.argv[1], encoding="utf-8").read())
theirs = blocks(open(sys.argv[2], encoding="utf-8").read())
differences = []


def same(what, mine, wanted):
    if mine != wanted:
        differences.append(f"{what}: wimengine {mine!r}, wiminfo {wanted!r}")


head, images = ours[0], ours[1:]
header = theirs[0]
same("image count", head.get("Images"), header["Image Count"])
same("compression", head.get("Compression"), header["Compression"])
number, total = header["Part Number"].split("/")
same("part", head.get("Part"), None if total == "1" else f"{number} of {total}")
their_images = [b for b in theirs if "Index" in b]
same("images listed", len(images), len(their_images))

# wimengine's label, wiminfo's label(s) and how wiminfo's text reads as ours.
for mine, wanted in zip(images, their_images):
    where = f"image {wanted['Index']}"
    same(where + " Index", mine.get("Index"), wanted["Index"])
    same(where + " Name", mine.get("Name"), wanted["Name"])
    # wiminfo shows an empty description where there is none.
    same(where + " Description", mine.get("Description", ""), wanted["Description"])
    same(where + " Folders", mine.get("Folders"), wanted["Directory Count"])
    same(where + " Files", mine.get("Files"), wanted["File Count"])
    same(where + " Bytes", (mine.get("Bytes") or "").split(" ")[0], wanted["Total Bytes"])
    same(where + " Edition ID", mine.get("Edition ID"), wanted.get("Edition ID"))
    same(where + " Architecture", mine.get("Architecture"), wanted.get("Architecture"))
    same(where + " Languages", mine.get("Languages"), wanted.get("Languages"))
    same(where + " Default language", mine.get("Default language"),
         wanted.get("Default Language"))
    version = None
    if "Major Version" in wanted:
        version = wanted["Major Version"] + "." + wanted["Minor Version"]
    same(where + " Version", mine.get("Version"), version)
    build = None
    if "Build" in wanted:
        build = wanted["Build"] + "." + wanted["Service Pack Build"]
    same(where + " Build", mine.get("Build"), build)

for difference in differences:
    print(difference)
sys.exit(1 if differences else 0)
