#!/usr/bin/perl
# Shrinks a linked PE image's headers to one file-alignment unit where they
# fit: GNU ld always writes a 64-byte DOS stub program after the DOS header,
# which pushes five section headers past 512 bytes and so costs the file a
# second 512-byte unit of headers. The PE headers are moved up to follow the
# DOS header directly (e_lfanew 0x40), every section's data moves down by the
# bytes saved, and the checksum is computed anew. Without the stub program,
# plain DOS is kept from running the file by asking it for more memory than
# it has (e_minalloc 0xFFFF: "Program too big to fit in memory").
#
#   perl compact-headers.pl IMAGE    (rewritten in place)
use strict;
use warnings;

my $path = shift or die "usage: compact-headers.pl IMAGE\n";
open(my $in, '<:raw', $path) or die "$path: $!\n";
my $image = do { local $/; <$in> };
close($in);

sub u16 { unpack('v', substr($image, $_[0], 2)) }
sub u32 { unpack('V', substr($image, $_[0], 4)) }
sub fail { die "compact-headers: $path: $_[0]\n" }

fail('no MZ header') unless length($image) >= 64 && u16(0) == 0x5A4D;
my $pe = u32(0x3C);
fail('no PE header') unless $pe + 24 <= length($image) && u32($pe) == 0x00004550;
my $sections = u16($pe + 6);
my $optionalsize = u16($pe + 20);
my $optional = $pe + 24;
fail('not PE32') unless u16($optional) == 0x10B;
my $filealignment = u32($optional + 36);
my $headersize = u32($optional + 60);
fail('symbols not stripped') if u32($pe + 8) != 0;
# Directories that hold file offsets rather than addresses would need moving too.
my $directories = u32($optional + 92);
for my $index (4, 6) {    # certificates, debug
  fail("data directory $index in use") if $index < $directories && u32($optional + 96 + 8 * $index + 4) != 0;
}

my $newpe = 0x40;
my $tableend = $newpe + 24 + $optionalsize + 40 * $sections;
my $newheadersize = int(($tableend + $filealignment - 1) / $filealignment) * $filealignment;
if ($pe <= $newpe || $newheadersize >= $headersize) {
  print "compact-headers: $path: headers already at their smallest ($headersize bytes)\n";
  exit 0;
}
my $saved = $headersize - $newheadersize;

my $headers = substr($image, 0, 0x40) . substr($image, $pe, $tableend - $newpe);
substr($headers, 0x3C, 4) = pack('V', $newpe);
substr($headers, 0x0A, 2) = pack('v', 0xFFFF);    # e_minalloc
my $newoptional = $newpe + 24;
substr($headers, $newoptional + 60, 4) = pack('V', $newheadersize);
for my $i (0 .. $sections - 1) {
  my $entry = $newoptional + $optionalsize + 40 * $i;
  my ($rawsize, $rawoffset, $relocations, $lines) = unpack('V4', substr($headers, $entry + 16, 16));
  fail("section $i has COFF relocations or line numbers") if $relocations != 0 || $lines != 0;
  next if $rawsize == 0;
  fail("section $i lies inside the headers") if $rawoffset < $headersize;
  substr($headers, $entry + 20, 4) = pack('V', $rawoffset - $saved);
}
$image = $headers . ("\0" x ($newheadersize - length($headers))) . substr($image, $headersize);

# The PE checksum: 16-bit one's-complement-style sum of the file with the
# checksum field taken as zero, plus the file's length.
my $checksumat = $newoptional + 64;
substr($image, $checksumat, 4) = pack('V', 0);
my $sum = 0;
my @words = unpack('v*', $image . (length($image) % 2 ? "\0" : ''));
for my $word (@words) {
  $sum += $word;
  $sum = ($sum & 0xFFFF) + ($sum >> 16);
}
substr($image, $checksumat, 4) = pack('V', $sum + length($image));

open(my $out, '>:raw', "$path.compact") or die "$path.compact: $!\n";
print $out $image;
close($out) or die "$path.compact: $!\n";
chmod((stat($path))[2] & 07777, "$path.compact") or die "$path.compact: $!\n";
rename("$path.compact", $path) or die "$path: $!\n";
printf "compact-headers: %s: headers %d -> %d bytes, %d bytes in all\n", $path, $headersize, $newheadersize,
  length($image);
