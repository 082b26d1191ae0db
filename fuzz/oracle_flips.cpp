// Feeds the archive oracle every single-bit flip of the LZMA stream of a
// valid three-entry package (generic, NT x86, NT x64 builds) and extracts
// the NT x64 build from each, as `pxq run` would on this host. Prints how
// many flips the extraction accepted, how many of those gave bytes other
// than the original build's, and how many the oracle judged wrong.
//
//   oracle_flips [--no-crc] [--keep DIR] [--expect-none]
//
// The package announces a CRC32 per entry (archive flag bit 1, the CRC at
// +44 of each entry header) unless --no-crc is given. --keep writes the
// first flip that the oracle judges wrong to DIR; --expect-none makes any
// such flip fail the run (exit 1).
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "archive_oracle.h"
#include "package/archive_reader.h"
#include "platform/testing.h"
#include "support/file_bytes.h"
#include "support/package_fixture.h"
#include "support/scratch_dir.h"

namespace {

// Text-like bytes, so that the encoder uses matches as it does on programs.
std::vector<uint8_t> Installer(uint32_t seed, size_t size) {
  static const char* const words[] = {"Setup", "install", "file", "Windows", "registry", "path", "the", "of",
                                      "copy", "program", "version", "key"};
  std::vector<uint8_t> bytes = {'M', 'Z'};
  uint32_t state = seed;
  while (bytes.size() < size) {
    state = state * 1103515245u + 12345u;
    const char* word = words[(state >> 16) % 12];
    bytes.insert(bytes.end(), word, word + strlen(word));
    bytes.push_back((state >> 8) % 5 == 0 ? '\n' : ' ');
  }
  bytes.resize(size);
  return bytes;
}

}  // namespace

int main(int argc, char** argv) {
  bool crc = true;
  bool expectnone = false;
  std::string keep;
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--no-crc") == 0) {
      crc = false;
    } else if (strcmp(argv[i], "--expect-none") == 0) {
      expectnone = true;
    } else if (strcmp(argv[i], "--keep") == 0 && i + 1 < argc) {
      keep = argv[++i];
    } else {
      fprintf(stderr, "usage: %s [--no-crc] [--keep DIR] [--expect-none]\n", argv[0]);
      return 2;
    }
  }

  const uint64_t ids[3] = {GenericInstallerId, NtX86InstallerId, NtX64InstallerId};
  std::vector<StreamEntry> entries;
  for (int i = 0; i < 3; ++i) {
    entries.push_back(MakeStreamEntry(ids[i], Installer(7 + i, 700 + 150 * i)));
    entries.back().header.datacrc = 0;
  }
  std::vector<uint8_t> plain = PlainStream(entries);
  PackageOptions options = SmallOptions();
  options.entrycrc = false;
  if (crc) {
    options.archiveflags = kEntryCrcFlag;
    size_t at = 0;
    for (const StreamEntry& entry : entries) {
      WriteLe32(plain.data() + at + kEntryCrcOffset, EntryCrc(entry.data.data(), entry.data.size()));
      at += ENTRY_HEADER_SIZE + entry.data.size();
    }
  }
  const std::vector<uint8_t> archive = ArchiveFromPlain(plain, options);
  const std::vector<uint8_t>& wanted = entries[2].data;

  ScratchDir dir;
  const std::string input = dir.File("setup.exe");
  const std::string output = dir.File("setup-0000.exe");
  TestingScope scope;
  size_t flips = 0, accepted = 0, wrong = 0, findings = 0;
  std::string first;
  for (size_t byte = STREAM_OFFSET; byte < archive.size() - ARCHIVE_TRAILER_SIZE; ++byte) {
    for (int bit = 0; bit < 8; ++bit) {
      std::vector<uint8_t> flipped = archive;
      flipped[byte] ^= static_cast<uint8_t>(1u << bit);
      ++flips;
      WriteFileBytes(input, flipped);
      std::remove(output.c_str());
      uint32_t code = 0;
      const bool ok = ExtractPackageEntry(input.c_str(), 0, NT_X64_INSTALLER_ID_LOW, INSTALLER_ID_HIGH,
                                          output.c_str(), &code) == 1;
      const std::vector<uint8_t> got = ok ? ReadFileBytes(output) : std::vector<uint8_t>();
      accepted += ok ? 1 : 0;
      wrong += ok && got != wanted ? 1 : 0;
      const Reference ref = ReadReference(flipped.data(), flipped.size(), 0, 1u << 25);
      const std::string finding =
          JudgeExtraction(ref, FindReferenceEntry(ref, NtX64InstallerId), ok, got, false);
      if (finding.empty()) continue;
      if (findings++ == 0) {
        first = "byte " + std::to_string(byte) + " bit " + std::to_string(bit) + ": " + finding +
                " (the extraction gave " + std::to_string(code) + ")";
        if (!keep.empty()) WriteFileBytes(keep + "/flip-byte" + std::to_string(byte) + "-bit" + std::to_string(bit),
                                          flipped);
      }
    }
  }
  printf("package: 3 entries, %zu bytes, CRC %s; stream bytes %zu\n", archive.size(), crc ? "announced" : "absent",
         archive.size() - STREAM_OFFSET - ARCHIVE_TRAILER_SIZE);
  printf("flips %zu, extraction accepted %zu, accepted with bytes other than the original %zu, oracle findings %zu\n",
         flips, accepted, wrong, findings);
  if (findings != 0) printf("first finding: %s\n", first.c_str());
  return expectnone && findings != 0 ? 1 : 0;
}
