// `pxq list`'s check of an archive (one walk through the loader's reader to
// the stream's end and the trailer) over arbitrary bytes, at offset 0 and at a
// small offset, judged against an independent decoding of the same bytes
// (fuzz/archive_oracle.h):
// - list finds the archive sound exactly when the reference does, and never
//   when an entry's data does not match the CRC its archive announces;
// - it reports the entries the stream holds, in order, with their headers;
// - what it finds at the stream's end agrees with the reference;
// - nothing is left open.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include "archive_oracle.h"
#include "fuzz_support.h"
#include "platform/testing.h"
#include "tools/release/archive_check.h"

namespace {

const size_t kSmallOffset = 7;
const uint32_t kLargestWindow = 1u << 24;
const size_t kReferenceCap = 1u << 25;

void Check(bool condition, size_t offset, const std::string& what, const ArchiveCheck& check) {
  if (condition) return;
  FuzzFail("list at offset " + std::to_string(offset) + ": " + what + " (list said: \"" + check.fault + "\")");
}

uint32_t Le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

uint32_t WindowAt(const uint8_t* data, size_t size, size_t offset) {
  if (size < offset + 77) return 0;
  const uint8_t* archive = data + offset;
  if (Le32(archive + 16) != 0x336F6D67u || Le32(archive + 20) != 0x00050001u) return 0;
  return Le32(archive + 73);
}

void CheckAt(const std::string& input, const uint8_t* data, size_t size, size_t offset) {
  const Reference ref = ReadReference(data, size, offset, kReferenceCap);
  std::vector<EntryHeader> seen;
  ArchiveCheck check;
  {
    TestingScope scope;
    CheckArchive(input, static_cast<uint32_t>(offset),
                 [&](uint64_t, const EntryHeader& entry) { seen.push_back(entry); }, &check);
    Check(TestingNothingOpen(), offset, "left open: " + TestingOpenSummary(), check);
  }
  Check(check.opened == ref.opened, offset, ref.opened ? "refused a sound head" : "opened a bad head", check);
  if (ref.capped) return;

  bool crcsmatch = true;
  size_t valid = 0, complete = 0;
  for (const ReferenceEntry& entry : ref.entries) {
    if (!entry.valid) break;
    ++valid;
    if (!entry.complete) break;
    if (ref.HasCrc() && entry.crc != entry.storedcrc) {
      // List stops at the first entry whose data does not match its CRC.
      crcsmatch = false;
      break;
    }
    ++complete;
  }
  const bool sound = ref.sound && crcsmatch;
  Check(check.fault.empty() == sound, offset, sound ? "a sound archive called damaged" : "damage not found", check);
  if (!ref.opened) return;

  // List reads every header and the data of every entry that the stream
  // holds whole, but for the last of them when the decoder meets damage in
  // the call that gives its last bytes; and in a stream that the file cuts
  // short, it stops once its input is used up, which liblzma's read-ahead
  // makes happen before all that this input holds is out.
  const bool lastindoubt = !ref.ended;
  Check(check.entries == valid || (ref.truncated && check.entries < valid) ||
            (lastindoubt && valid == ref.entries.size() && check.entries + 1 == valid),
        offset, "entries read: " + std::to_string(check.entries) + ", the stream holds " + std::to_string(valid),
        check);
  Check(seen.size() == check.entries, offset, "entries reported", check);
  for (size_t i = 0; i < seen.size(); ++i) {
    const ReferenceEntry& entry = ref.entries[i];
    Check((static_cast<uint64_t>(seen[i].idhigh) << 32 | seen[i].idlow) == entry.id && seen[i].datasize == entry.datasize,
          offset, "entry " + std::to_string(i + 1) + " reported with another header", check);
  }
  Check(check.complete == complete || (ref.truncated && check.complete < complete) ||
            (lastindoubt && complete == ref.entries.size() && check.complete + 1 == complete),
        offset,
          "entries read whole: " + std::to_string(check.complete) + ", the stream holds " + std::to_string(complete),
          check);
  if (check.fault.empty()) {
    Check(check.ended && check.trailer && check.decoded == ref.plain.size(), offset,
          "the stream's end disagrees with the reference", check);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (WindowAt(data, size, 0) > kLargestWindow || WindowAt(data, size, kSmallOffset) > kLargestWindow) return -1;
  static const std::string input = FuzzScratchFile("input");
  FuzzWriteFile(input, data, size);
  CheckAt(input, data, size, 0);
  CheckAt(input, data, size, kSmallOffset);
  return 0;
}
