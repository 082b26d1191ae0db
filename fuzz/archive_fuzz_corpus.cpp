// Writes the seed corpus of the archive fuzz target: a few tiny valid
// archives (also behind a 7-byte prefix, the target's second offset) and
// broken ones that stop at each check of the reader.
#include <lzma.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "support/file_bytes.h"
#include "support/package_fixture.h"

namespace {

void Put(const std::string& dir, const std::string& name, const std::vector<uint8_t>& bytes) {
  WriteFileBytes(dir + "/" + name, bytes);
}

std::vector<uint8_t> Patched(std::vector<uint8_t> bytes, size_t at, uint8_t value) {
  bytes[at] = value;
  return bytes;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s DIRECTORY\n", argv[0]);
    return 2;
  }
  const std::string dir = argv[1];
  PackageOptions options = SmallOptions();
  options.dictionarysize = 4096;

  const std::vector<uint8_t> one = BuildArchive({MakeEntry(GenericInstallerId, {'M', 'Z', 1, 2, 3})}, options);
  const std::vector<uint8_t> three = BuildArchive(
      {MakeEntry(0x0000000200000001ull, {'a', 'b', 'c'}, 1, 0x20), MakeEntry(NtX86InstallerId, {}, 2, 0x01),
       MakeEntry(NtX64InstallerId, std::vector<uint8_t>(40, 'x'), 0x01C8AFE6DB0FFD7Aull, 0x02)},
      options);
  Put(dir, "valid-one-entry", one);
  Put(dir, "valid-three-entries", three);
  std::vector<uint8_t> prefixed(7, 'P');
  prefixed.insert(prefixed.end(), three.begin(), three.end());
  Put(dir, "valid-at-offset-7", prefixed);

  Put(dir, "empty", {});
  Put(dir, "cut-in-headers", std::vector<uint8_t>(one.begin(), one.begin() + 70));
  Put(dir, "cut-in-stream", std::vector<uint8_t>(three.begin(), three.begin() + STREAM_OFFSET + 12));
  Put(dir, "bad-archive-magic", Patched(one, 16, 'x'));
  Put(dir, "bad-version", Patched(one, 22, 6));
  Put(dir, "bad-check-pair-flag-set", Patched(Patched(one, 24, 1), ARCHIVE_HEADER_SIZE, 0));
  Put(dir, "bad-properties-byte", Patched(one, 72, 225));
  Put(dir, "wide-literal-context", Patched(one, 72, (2 * 5 + 1) * 9 + 4));
  Put(dir, "damaged-stream", Patched(one, STREAM_OFFSET, 0xFF));

  StreamEntry entry = MakeStreamEntry(GenericInstallerId, {'d', 'a', 't', 'a'});
  StreamEntry badmagic = entry;
  badmagic.header.entrymagic ^= 1;
  StreamEntry nonzero = entry;
  nonzero.header.mustbezero = 1;
  StreamEntry oversized = entry;
  oversized.header.datasize = 0x100000004ull;
  Put(dir, "bad-entry-magic", ArchiveFromPlain(PlainStream({badmagic}), options));
  Put(dir, "must-be-zero-set", ArchiveFromPlain(PlainStream({nonzero}), options));
  Put(dir, "size-beyond-stream", ArchiveFromPlain(PlainStream({oversized, entry}), options));
  Put(dir, "header-cut-by-end-marker", ArchiveFromPlain(std::vector<uint8_t>(30, 'g'), options));

  // Three entries whose archive announces a CRC32 of each entry's data
  // (flag bit 1, the CRC at +44 of the entry header).
  std::vector<StreamEntry> entries = {MakeStreamEntry(GenericInstallerId, {'g', 'e', 'n'}),
                                      MakeStreamEntry(NtX86InstallerId, {}),
                                      MakeStreamEntry(NtX64InstallerId, std::vector<uint8_t>(40, 'x'))};
  std::vector<uint8_t> plain = PlainStream(entries);
  size_t at = 0;
  for (const StreamEntry& e : entries) {
    WriteLe32(plain.data() + at + 44, lzma_crc32(e.data.data(), e.data.size(), 0));
    at += ENTRY_HEADER_SIZE + e.data.size();
  }
  PackageOptions withcrc = options;
  withcrc.archiveflags = 0x02;
  Put(dir, "valid-three-entries-crc", ArchiveFromPlain(plain, withcrc));
  return 0;
}
