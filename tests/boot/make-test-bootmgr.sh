#!/bin/bash
# Assembles the test boot manager and sets its checksum word (its last four
# bytes) so that the u32 sum of the whole file is 0: the boot manager checks
# that sum to tell that it was loaded whole.
#   make-test-bootmgr.sh OUTPUT [SIZE]
set -euo pipefail
here=$(dirname "$(realpath "$0")")
nasm -f bin ${2:+-DFILE_SIZE=$2} -o "$1" "$here/test_bootmgr.asm"
perl -e 'open my $h, "+<", $ARGV[0] or die; binmode $h; local $/; my $d = <$h>;
  my $s = 0; $s = ($s + $_) % 2**32 for unpack("V*", substr($d, 0, -4));
  seek $h, -4, 2; print $h pack("V", (2**32 - $s) % 2**32); close $h or die' "$1"
