#!/bin/bash
# Remakes the seed corpora from small images that wimlib's tools write:
#   corpus/wim_info/  whole WIM files, a few KB each
#   corpus/wim_xml/   their XML data (UTF-16LE with BOM), as wiminfo extracts it
# The seeds are kept in the repository so that a fuzzing run needs no
# wimtools; run this again only to change them.
set -euo pipefail
here=$(dirname "$(realpath "$0")")
for tool in wimcapture wimappend wiminfo; do
  command -v "$tool" >/dev/null || { echo "error: $tool not found: apt-get install wimtools" >&2; exit 1; }
done
export LC_ALL=C.UTF-8

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/tree/sub"
printf 'a\n' >"$work/tree/a.txt"
printf 'b\n' >"$work/tree/sub/b.txt"

info=$here/corpus/wim_info
xml=$here/corpus/wim_xml
rm -rf "$info" "$xml"
mkdir -p "$info" "$xml"

quiet() { "$@" >/dev/null 2>&1; }
for compression in none xpress lzx; do
  quiet wimcapture "$work/tree" "$info/$compression.wim" "Image $compression" "desc" \
    --compress="$compression"
done
quiet wimcapture "$work/tree" "$info/solid.wim" "Solid" --solid
quiet wimcapture "$work/tree" "$info/names.wim" "Windows 7 HOMEBASIC" --compress=none
quiet wimappend "$work/tree" "$info/names.wim" "家庭高级版 𠀀" "a & b"
quiet wimappend "$work/tree" "$info/names.wim" "Tom & Jerry <x> \"q\" 'a'" --boot --check
quiet wiminfo "$info/names.wim" 1 --image-property DISPLAYNAME="Display" \
  --image-property FLAGS=Ultimate

for image in "$info"/*.wim; do
  name=$(basename "$image" .wim)
  wiminfo "$image" --extract-xml "$xml/$name.xml"
done
# One seed in plain UTF-8, which the XML harness takes as text: every entity
# form, CDATA, a comment, a processing instruction, images out of order.
cat >"$xml/entities.txt" <<'XML'
<?xml version="1.0"?><!-- seed --><WIM><TOTALBYTES>1</TOTALBYTES>
<IMAGE INDEX='2'><NAME>&lt;b&gt; &amp; &quot;c&quot; &apos;d&apos; &#20013;&#x6587;&#x20000;</NAME></IMAGE>
<IMAGE INDEX="1"><NAME><![CDATA[<raw>]]>x<?pi?></NAME><DESCRIPTION>d</DESCRIPTION>
<WINDOWS><EDITIONID>Pro</EDITIONID></WINDOWS><FLAGS>Pro</FLAGS></IMAGE></WIM>
XML
ls -l "$info" "$xml"
