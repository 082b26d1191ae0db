// An independent reading of an archive, to judge what the loader's reader
// and `pxq list` make of the same bytes. The whole LZMA stream is decoded in
// one go by liblzma's raw decoder from memory (no file buffer, no entry
// walk, no piece sizes), and the decompressed bytes are then cut into entries.
//
// The checks return what they found wrong as text ("" when all holds), so
// that a fuzz target can abort on it and a driver can count it.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

// Archive flag bit that announces a CRC32 of each entry's data in the word
// at +44 of its entry header.
const uint32_t kEntryCrcFlag = 0x02;
const size_t kEntryCrcOffset = 44;

struct ReferenceEntry {
  uint8_t header[64];
  uint64_t id = 0;
  uint64_t datasize = 0;
  size_t dataat = 0;        // offset of its data in `Reference::plain`
  bool valid = false;       // "gfe3" magic and a zero word at +4
  bool complete = false;    // its data came out whole
  uint32_t storedcrc = 0;   // the word at +44
  uint32_t crc = 0;         // CRC32 of its data as decoded (when complete)
};

struct Reference {
  bool opened = false;        // the 77 leading bytes are what the reader accepts
  uint32_t archiveflags = 0;
  std::vector<uint8_t> plain; // the decompressed stream (up to the cap)
  bool capped = false;        // decoding stopped at the cap: the rest is unknown
  bool ended = false;         // the end marker was decoded
  bool corrupt = false;       // the decoder rejected the data
  bool truncated = false;     // the input ran out before the end marker
  bool trailer = false;       // the 16 trailer bytes follow the end marker
  std::vector<ReferenceEntry> entries;  // up to and including the first invalid or incomplete one
  // The stream ends with its marker right after the last entry's data, every
  // header is valid, and the trailer follows: what a sound archive is.
  bool sound = false;
  bool HasCrc() const { return (archiveflags & kEntryCrcFlag) != 0; }
};

// Decodes the archive at `offset` of `data`; `cap` bounds the decompressed
// bytes kept.
Reference ReadReference(const uint8_t* data, size_t size, size_t offset, size_t cap);

// The first entry with `id` as the reader's search reaches it: every header
// before it valid and every skipped entry complete. Null when there is none.
const ReferenceEntry* FindReferenceEntry(const Reference& reference, uint64_t id);

// Judges an extraction of entry `entry` (from the walk, or FindReferenceEntry
// for a search by id): `succeeded` with the bytes in `output`. `injected` is
// true when a platform fault was injected into it: a failure is then allowed,
// a wrong file never.
std::string JudgeExtraction(const Reference& reference, const ReferenceEntry* entry, bool succeeded,
                            const std::vector<uint8_t>& output, bool injected);

// CRC32 as the format stores it (liblzma's, the common one).
uint32_t EntryCrc(const uint8_t* data, size_t size);
