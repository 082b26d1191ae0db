#include "archive_oracle.h"

#include <lzma.h>
#include <string.h>

namespace {

// The layout, spelled out here rather than taken from the reader's headers,
// so that a wrong constant there cannot hide behind the same one here.
const size_t kHeadSize = 77;  // archive header 64, check pair 8, properties 5
const size_t kEntryHeaderSize = 64;
const uint32_t kArchiveMagic = 0x336F6D67u;  // "gmo3"
const uint32_t kEntryMagic = 0x33656667u;    // "gfe3"
const uint32_t kTrailerMagic = 0x336E6667u;  // "gfn3"
const uint32_t kTrailerWord = 0xCC9A858Bu;

uint32_t Le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}
uint64_t Le64(const uint8_t* p) { return Le32(p) | static_cast<uint64_t>(Le32(p + 4)) << 32; }

// Cuts the decompressed bytes into entries as the reader walks them.
void CutEntries(Reference* ref) {
  size_t at = 0;
  const size_t size = ref->plain.size();
  while (size - at >= kEntryHeaderSize) {
    ReferenceEntry entry;
    memcpy(entry.header, ref->plain.data() + at, kEntryHeaderSize);
    entry.valid = Le32(entry.header) == kEntryMagic && Le32(entry.header + 4) == 0;
    entry.id = Le64(entry.header + 8);
    entry.datasize = Le64(entry.header + 16);
    entry.storedcrc = Le32(entry.header + kEntryCrcOffset);
    entry.dataat = at + kEntryHeaderSize;
    entry.complete = entry.datasize <= size - entry.dataat;
    if (entry.complete) entry.crc = EntryCrc(ref->plain.data() + entry.dataat, static_cast<size_t>(entry.datasize));
    ref->entries.push_back(entry);
    if (!entry.valid || !entry.complete) return;
    at = entry.dataat + static_cast<size_t>(entry.datasize);
  }
}

}  // namespace

uint32_t EntryCrc(const uint8_t* data, size_t size) { return lzma_crc32(data, size, 0); }

Reference ReadReference(const uint8_t* data, size_t size, size_t offset, size_t cap) {
  Reference ref;
  if (offset > size || size - offset < kHeadSize) return ref;
  const uint8_t* head = data + offset;
  ref.archiveflags = Le32(head + 24);
  uint32_t pair = Le32(head + 64) ^ Le32(head + 68);
  uint8_t props = head[72];
  if (Le32(head + 16) != kArchiveMagic || Le32(head + 20) != 0x00050001u || pair != 0x35BC6F82u || props >= 225)
    return ref;
  lzma_options_lzma options;
  memset(&options, 0, sizeof options);
  options.lc = props % 9;
  options.lp = props / 9 % 5;
  options.pb = props / 45;
  options.dict_size = Le32(head + 73);
  if (options.dict_size == 0) options.dict_size = 1;
  lzma_filter filters[2] = {{LZMA_FILTER_LZMA1, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
  lzma_stream stream = LZMA_STREAM_INIT;
  if (lzma_raw_decoder(&stream, filters) != LZMA_OK) {
    lzma_end(&stream);
    return ref;
  }
  ref.opened = true;

  // All of the input at once, finishing: the decoder sees the whole stream.
  stream.next_in = head + kHeadSize;
  stream.avail_in = size - offset - kHeadSize;
  ref.plain.resize(cap < 65536 ? cap : 65536);
  size_t produced = 0;
  for (;;) {
    if (produced == ref.plain.size()) {
      if (produced >= cap) {
        ref.capped = true;
        break;
      }
      ref.plain.resize(cap - produced < produced ? cap : 2 * produced);
    }
    stream.next_out = ref.plain.data() + produced;
    stream.avail_out = ref.plain.size() - produced;
    lzma_ret ret = lzma_code(&stream, LZMA_FINISH);
    produced = ref.plain.size() - stream.avail_out;
    if (ret == LZMA_OK) continue;
    if (ret == LZMA_STREAM_END) {
      ref.ended = true;
    } else if (ret == LZMA_BUF_ERROR && stream.avail_in == 0) {
      ref.truncated = true;
    } else {
      ref.corrupt = true;
    }
    break;
  }
  ref.plain.resize(produced);
  if (ref.ended) {
    size_t trailerat = offset + kHeadSize + static_cast<size_t>(stream.total_in);
    ref.trailer = size - trailerat >= 16 && Le32(data + trailerat) == kTrailerMagic &&
                  Le32(data + trailerat + 4) == kTrailerWord && Le64(data + trailerat + 8) == 0;
  }
  lzma_end(&stream);

  CutEntries(&ref);
  size_t used = 0;
  bool allvalid = true;
  for (const ReferenceEntry& entry : ref.entries) {
    allvalid = allvalid && entry.valid && entry.complete;
    if (entry.complete) used = entry.dataat + static_cast<size_t>(entry.datasize);
  }
  ref.sound = ref.ended && ref.trailer && allvalid && used == ref.plain.size();
  return ref;
}

const ReferenceEntry* FindReferenceEntry(const Reference& reference, uint64_t id) {
  for (const ReferenceEntry& entry : reference.entries) {
    if (!entry.valid) return nullptr;
    if (entry.id == id) return &entry;
    if (!entry.complete) return nullptr;
  }
  return nullptr;
}

std::string JudgeExtraction(const Reference& reference, const ReferenceEntry* entry, bool succeeded,
                            const std::vector<uint8_t>& output, bool injected) {
  // Past the cap the reference knows nothing.
  if (reference.capped && (entry == nullptr || !entry->complete)) return "";
  if (succeeded) {
    if (!reference.opened) return "extracted from an archive that the reference cannot open";
    if (entry == nullptr) return "extracted an entry that the stream does not hold";
    if (!entry->valid || !entry->complete) return "extracted an entry whose data the stream does not hold whole";
    const uint8_t* expected = reference.plain.data() + entry->dataat;
    if (output.size() != entry->datasize || (!output.empty() && memcmp(output.data(), expected, output.size()) != 0))
      return "the extracted bytes differ from the reference";
    if (reference.HasCrc() && entry->crc != entry->storedcrc)
      return "extracted an entry whose data does not match its CRC (stored " + std::to_string(entry->storedcrc) +
             ", data " + std::to_string(entry->crc) + ")";
    return "";
  }
  if (injected || entry == nullptr || !entry->valid || !entry->complete) return "";
  if (reference.HasCrc() && entry->crc != entry->storedcrc) return "";
  // The decoder may find damage in the call that gives the entry's last
  // bytes: a failure is due unless the stream goes on whole past the entry
  // (to the next header, or to its end marker). In a stream that the file
  // cuts short, the reader fails once its input is used up, which liblzma's
  // read-ahead makes happen before all that this input holds is out.
  const bool last = entry == &reference.entries.back();
  if ((last && !reference.ended) || reference.truncated) return "";
  return "the extraction failed, yet the stream holds the entry whole and sound";
}
