// A check of a whole archive that the loader never needs: where its LZMA
// stream ends, whether the end marker stands right after the last entry,
// and whether the trailer follows. `pxq list` uses it to tell a clean end of
// the stream from damage, which the loader's reader reports alike.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "package/records.h"

struct ArchiveScan {
  std::vector<EntryHeader> entries;  // entries decoded completely, in stream order
  uint64_t decoded = 0;              // decompressed bytes produced
  bool ended = false;                // the end marker was reached
  bool clean = false;                // ... right after the last entry's data
  bool corrupt = false;              // the decoder rejected the data
  bool truncated = false;            // the file ended before the end marker
  uint64_t streamlength = 0;         // compressed bytes, end marker included (when ended)
  bool trailer = false;              // the 16 trailer bytes follow the stream
};

// Decodes the stream of the archive at `offset`, whose 77 leading bytes the
// caller has verified. 0, or the Windows error of a failed read, or 1114 when
// the decoder refuses the properties.
uint32_t ScanArchive(const std::string& path, uint32_t offset, ArchiveScan* scan);
