// Reads a loader file's archive through the loader's own reader, entry by
// entry, and names the first fault it meets. Shared by `pxq list` and by
// `pxq extract`, which uses it to explain a failed extraction.
#pragma once

#include <stdint.h>

#include <functional>
#include <string>

#include "package/records.h"
#include "tools/archive_scan.h"

struct ArchiveCheck {
  bool opened = false;      // OpenArchive accepted the archive
  ArchiveHeader header = {};
  LzmaProperties properties = {};
  size_t entries = 0;       // entry headers read whole
  size_t complete = 0;      // entries whose data was read whole too
  ArchiveScan scan;         // the stream's end and trailer (when the walk got there)
  std::string fault;        // "" when the archive is sound
};

// Walks the archive at `offset`, calling `onentry` (may be empty) with the
// number (from 1) and the header of each entry as it is read.
void CheckArchive(const std::string& path, uint32_t offset,
                  const std::function<void(size_t number, const EntryHeader& entry)>& onentry, ArchiveCheck* check);
