// Reads a loader file's archive through the loader's own reader, entry by
// entry, in one pass over the stream, and names the first fault it meets:
// damage, a stream that does not end with its end marker right after the
// last entry, or a missing trailer. Shared by `pxq list` and by `pxq
// extract`, which uses it to explain a failed extraction.
//
// Nothing is kept per entry: each is handed to the caller as it is read, so
// memory stays the same whatever the number of entries.
#pragma once

#include <stdint.h>

#include <functional>
#include <string>

#include "package/records.h"

struct ArchiveCheck {
  bool opened = false;        // OpenArchive accepted the archive
  ArchiveHeader header = {};
  LzmaProperties properties = {};
  uint64_t entries = 0;       // entry headers read whole
  uint64_t complete = 0;      // entries whose data was read whole too
  uint64_t decoded = 0;       // decompressed bytes produced
  bool ended = false;         // the end marker was decoded
  uint64_t streamlength = 0;  // compressed bytes, end marker included (when ended)
  bool trailer = false;       // the 16 trailer bytes follow the stream
  std::string fault;          // "" when the archive is sound
};

// Called with the number (from 1) and the header of each entry as soon as
// its header is read, before its data.
using EntryVisitor = std::function<void(uint64_t number, const EntryHeader& entry)>;

// Walks the archive at `offset`; `onentry` may be empty.
void CheckArchive(const std::string& path, uint32_t offset, const EntryVisitor& onentry, ArchiveCheck* check);
