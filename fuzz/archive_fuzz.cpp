// The archive reader over arbitrary bytes, judged against an independent
// decoding of the same bytes (fuzz/archive_oracle.h) and against `pxq list`'s
// verdict. Opened at offset 0 and at a small offset, every entry is walked,
// extracted or skipped in turn, and each installer id is extracted whole.
// What must hold:
// - nothing crashes and nothing is left open;
// - whatever is extracted is byte-identical to the reference, and never an
//   entry that the stream does not hold whole, nor one whose data does not
//   match the CRC its archive announces;
// - an entry that the stream holds whole and sound is extracted;
// - extract never succeeds on an entry in which `list` finds damage.
// Last, one extraction runs with a platform fault chosen from the input (a
// failing call, short reads or writes): it may fail, but never leave a
// wrong file or anything open.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "archive_oracle.h"
#include "fuzz_support.h"
#include "package/archive_reader.h"
#include "platform/testing.h"
#include "tools/release/archive_check.h"

namespace {

const uint32_t kSmallOffset = 7;
const int kMostEntries = 64;
// Windows up to 4 GiB are valid and tested elsewhere; here they would make
// every run pay for mapping and poisoning gigabytes.
const uint32_t kLargestWindow = 1u << 24;
const size_t kReferenceCap = 1u << 25;

void Fail(const char* where, const std::string& what) { FuzzFail(where + (": " + what)); }

void CheckNothingOpen(const char* where) {
  if (!TestingNothingOpen()) Fail(where, "left open: " + TestingOpenSummary());
}

void Judge(const char* where, const std::string& finding) {
  if (!finding.empty()) Fail(where, finding);
}

std::vector<uint8_t> ReadBack(const std::string& path) {
  std::vector<uint8_t> bytes;
  FILE* file = fopen(path.c_str(), "rb");
  if (file == nullptr) return bytes;
  uint8_t piece[65536];
  size_t n;
  while ((n = fread(piece, 1, sizeof piece, file)) > 0) bytes.insert(bytes.end(), piece, piece + n);
  fclose(file);
  return bytes;
}

// The number (from 1) of the entry in which `list` finds damage, or 0: it
// read the entry's header but not its data whole.
size_t ListDamagedEntry(const std::string& input, uint32_t offset) {
  ArchiveCheck check;
  CheckArchive(input, offset, nullptr, &check);
  CheckNothingOpen("list's check");
  if (check.fault.empty() || check.complete >= check.entries) return 0;
  return check.complete + 1;
}

void WalkArchive(const std::string& input, uint32_t offset, const std::string& output, const Reference& ref) {
  const size_t damaged = ListDamagedEntry(input, offset);
  ArchiveReader* reader = CreateArchiveReader();
  if (reader == NULL) abort();
  uint32_t code = OpenArchive(reader, input.c_str(), offset);
  if ((code == 0) != ref.opened)
    Fail("opening", code == 0 ? "opened what the reference refuses" : "refused what the reference opens");
  if (code == 0) {
    EntryHeader entry;
    for (size_t n = 0; n < kMostEntries && ReadEntryHeader(reader, &entry) == 0; ++n) {
      const ReferenceEntry* expected = n < ref.entries.size() ? &ref.entries[n] : nullptr;
      if (!ref.capped && (expected == nullptr || !expected->valid)) Fail("walking", "read a header the stream lacks");
      if ((n & 1) == 0) {
        code = ExtractEntryToFile(reader, &entry, output.c_str());
        Judge("walking", JudgeExtraction(ref, expected, code == 0, ReadBack(output), false));
        if (code == 0 && damaged == n + 1) Fail("walking", "extracted an entry in which list finds damage");
      } else {
        code = SkipEntryData(reader, &entry);
      }
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

uint64_t Hash(const uint8_t* data, size_t size) {
  uint64_t h = 0xcbf29ce484222325ull;
  for (size_t i = 0; i < size; ++i) h = (h ^ data[i]) * 0x100000001b3ull;
  return h;
}

// Extracts `id` whole and judges the outcome; returns the failable calls made.
uint32_t ExtractById(const std::string& input, const std::string& output, uint64_t id, const Reference& ref,
                     size_t damaged, bool injected) {
  std::remove(output.c_str());
  uint32_t code = 0xFFFFFFFFu;
  uint32_t written = ExtractPackageEntry(input.c_str(), 0, static_cast<uint32_t>(id), static_cast<uint32_t>(id >> 32),
                                         output.c_str(), &code);
  if ((written == 1) != (code == 0)) Fail("extracting an installer", "result and code disagree");
  CheckNothingOpen("extracting an installer");
  const ReferenceEntry* expected = FindReferenceEntry(ref, id);
  const bool faulted = injected && Testing().injected != 0;
  Judge(faulted ? "extracting under a fault" : "extracting an installer",
        JudgeExtraction(ref, expected, code == 0, ReadBack(output), faulted));
  if (code == 0 && expected != nullptr && damaged == static_cast<size_t>(expected - ref.entries.data()) + 1)
    Fail("extracting an installer", "extracted an entry in which list finds damage");
  return Testing().failablecalls;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (WindowAt(data, size, 0) > kLargestWindow || WindowAt(data, size, kSmallOffset) > kLargestWindow) return -1;
  static const std::string input = FuzzScratchFile("input");
  static const std::string output = FuzzScratchFile("output");
  FuzzWriteFile(input, data, size);

  const Reference atzero = ReadReference(data, size, 0, kReferenceCap);
  const Reference atsmall = ReadReference(data, size, kSmallOffset, kReferenceCap);
  TestingScope scope;
  WalkArchive(input, 0, output, atzero);
  WalkArchive(input, kSmallOffset, output, atsmall);

  const size_t damaged = ListDamagedEntry(input, 0);
  const uint64_t ids[] = {0xFFFFFFFFFFFF0008ull, 0xFFFFFFFFFFFF0009ull, 0xFFFFFFFFFFFF000Aull};
  uint32_t calls[3];
  for (int i = 0; i < 3; ++i) {
    TestingPlatform(Testing().inner);  // a fresh count of calls
    calls[i] = ExtractById(input, output, ids[i], atzero, damaged, false);
  }

  // One more extraction under a fault that the input chooses.
  const uint64_t h = Hash(data, size);
  const int which = static_cast<int>(h % 3);
  static const DWORD errors[] = {ERROR_ACCESS_DENIED, ERROR_NOT_ENOUGH_MEMORY, ERROR_SHARING_VIOLATION,
                                 ERROR_HANDLE_DISK_FULL, ERROR_READ_FAULT, 0x2000};
  TestingPlatform(Testing().inner);
  bool faulted = false;  // short reads and writes are no failure
  switch ((h >> 8) % 4) {
    case 0:
      Testing().shortread = 1 + static_cast<uint32_t>((h >> 16) % 300);
      break;
    case 1:
      Testing().shortwrite = 1 + static_cast<uint32_t>((h >> 16) % 300);
      break;
    default: {
      const uint32_t nth = 1 + static_cast<uint32_t>((h >> 16) % (calls[which] + 1));
      const bool persistent = ((h >> 40) & 1) != 0;
      const DWORD error = errors[(h >> 48) % (sizeof errors / sizeof errors[0])];
      for (uint32_t n = nth; n <= (persistent ? nth + 64 : nth); ++n)
        Testing().faults.push_back({PlatformOpCount, n, error});
      faulted = true;
      break;
    }
  }
  ExtractById(input, output, ids[which], atzero, damaged, faulted);
  return 0;
}
