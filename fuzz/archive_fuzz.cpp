// The archive reader over arbitrary bytes: opened at offset 0 and at a small
// offset, every entry walked, extracted or skipped in turn, and the whole
// extraction for each installer id. Whatever the bytes, nothing may crash
// and nothing may be left open.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "package/archive_reader.h"
#include "platform/testing.h"

namespace {

const uint32_t kSmallOffset = 7;
const int kMostEntries = 64;
// Windows up to 4 GiB are valid and tested elsewhere; here they would make
// every run pay for mapping and poisoning gigabytes.
const uint32_t kLargestWindow = 1u << 24;

std::string& WorkDir() {
  static std::string dir;
  return dir;
}

void RemoveWorkDir() {
  std::error_code error;
  std::filesystem::remove_all(WorkDir(), error);
}

void CheckNothingOpen(const char* where) {
  if (!TestingNothingOpen()) {
    fprintf(stderr, "left open after %s: %s\n", where, TestingOpenSummary().c_str());
    abort();
  }
}

void WalkArchive(const std::string& input, uint32_t offset, const std::string& output) {
  ArchiveReader* reader = CreateArchiveReader();
  if (reader == NULL) abort();
  if (OpenArchive(reader, input.c_str(), offset) == 0) {
    EntryHeader entry;
    for (int n = 0; n < kMostEntries && ReadEntryHeader(reader, &entry) == 0; ++n) {
      uint32_t code = (n & 1) == 0 ? ExtractEntryToFile(reader, &entry, output.c_str()) : SkipEntryData(reader, &entry);
      if (code != 0) break;
    }
  }
  DestroyArchiveReader(reader);
  CheckNothingOpen("walking the entries");
}

// The DictionarySize of a valid-looking archive at `offset`, else 0.
uint32_t WindowAt(const uint8_t* data, size_t size, size_t offset) {
  if (size < offset + STREAM_OFFSET) return 0;
  const uint8_t* archive = data + offset;
  if (ReadLe32(archive + 16) != ARCHIVE_MAGIC || ReadLe32(archive + 20) != FORMAT_VERSION) return 0;
  return ReadLe32(archive + ARCHIVE_HEADER_SIZE + CHECK_PAIR_SIZE + 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (WindowAt(data, size, 0) > kLargestWindow || WindowAt(data, size, kSmallOffset) > kLargestWindow) return -1;
  if (WorkDir().empty()) {
    std::string pattern = (std::filesystem::temp_directory_path() / "pxq-archive-fuzz-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) abort();
    WorkDir() = pattern;
    atexit(RemoveWorkDir);
  }
  const std::string input = WorkDir() + "/input";
  const std::string output = WorkDir() + "/output";
  FILE* file = fopen(input.c_str(), "wb");
  if (file == nullptr || (size != 0 && fwrite(data, 1, size, file) != size) || fclose(file) != 0) abort();

  TestingScope scope;
  WalkArchive(input, 0, output);
  WalkArchive(input, kSmallOffset, output);
  const uint32_t ids[] = {GENERIC_INSTALLER_ID_LOW, NT_X86_INSTALLER_ID_LOW, NT_X64_INSTALLER_ID_LOW};
  for (uint32_t id : ids) {
    uint32_t code = 0xFFFFFFFFu;
    uint32_t written = ExtractPackageEntry(input.c_str(), 0, id, INSTALLER_ID_HIGH, output.c_str(), &code);
    if ((written == 1) != (code == 0)) abort();
    CheckNothingOpen("extracting an installer");
  }
  return 0;
}
