#!/usr/bin/perl
# Where a name sits in an NTFS folder's B-tree, walked from the index root
# as a reader of the volume walks it:
#
#   ntfs-index-place.pl ROOT ALLOCATION NAME VCN_BYTES
#
# ROOT is the $INDEX_ROOT value and ALLOCATION the $INDEX_ALLOCATION data
# of the folder (ntfscat -a 0x90 / -a 0xA0 -n '$I30'); VCN_BYTES what one
# sub-node VCN counts (the cluster, or 512 where blocks are smaller). Prints
# "depth D inner|leaf K": depth 0 is the index root, K the entries before the
# name in its node; or "absent".
use strict;
use warnings;

my ($root_file, $allocation_file, $wanted, $vcn_bytes) = @ARGV;
sub slurp { open my $f, '<:raw', $_[0] or die "$_[0]: $!"; local $/; my $d = <$f>; $d }
my $root = slurp($root_file);
my $allocation = slurp($allocation_file);
my $block_bytes = unpack 'V', substr($root, 0x08, 4);   # index root +0x08

# An INDX block with its fixups undone: the last u16 of every 512 bytes
# comes back from the update sequence array (+0x04 offset, +0x06 count).
sub block_at {
    my ($vcn) = @_;
    my $b = substr($allocation, $vcn * $vcn_bytes, $block_bytes);
    die "no INDX block at VCN $vcn\n" unless length $b == $block_bytes && substr($b, 0, 4) eq 'INDX';
    my ($usa, $count) = unpack 'vv', substr($b, 4, 4);
    for my $i (1 .. $count - 1) {
        substr($b, $i * 512 - 2, 2) = substr($b, $usa + 2 * $i, 2);
    }
    return $b;
}

# walk(DATA, HEADER, DEPTH): the index header at HEADER (+0x00 entries
# offset, +0x0C flags: 1 = has sub-nodes), entries from there: +0x08
# length, +0x0C flags (1 sub-node, 2 last), +0x10 the file name value
# (+0x40 length in characters, +0x42 UTF-16LE name), the sub-node VCN in
# the last 8 bytes.
sub walk {
    my ($data, $header, $depth) = @_;
    my $inner = unpack('V', substr($data, $header + 0x0C, 4)) & 1;
    my $at = $header + unpack('V', substr($data, $header, 4));
    my $before = 0;
    while (1) {
        my ($length, undef, $flags) = unpack 'vvv', substr($data, $at + 8, 6);
        if (!($flags & 2)) {
            my $chars = ord substr($data, $at + 0x10 + 0x40, 1);
            my $name = substr($data, $at + 0x10 + 0x42, 2 * $chars);
            $name =~ s/(.)\0/$1/gs;
            return "depth $depth " . ($inner ? 'inner' : 'leaf') . " $before" if $name eq $wanted;
        }
        if ($flags & 1) {
            my $vcn = unpack 'Q<', substr($data, $at + $length - 8, 8);
            my $block = block_at($vcn);
            my $found = walk($block, 0x18, $depth + 1);
            return $found if $found;
        }
        last if $flags & 2;
        $at += $length;
        $before++;
    }
    return '';
}

print walk($root, 0x10, 0) || 'absent', "\n";
