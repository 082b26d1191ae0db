// The archive reader: opens the package at an offset inside a file, verifies
// its headers, walks the LZMA-compressed stream entry by entry and writes the
// wanted entry to a file with its last-write time and attributes.
#pragma once

#include <stdint.h>

#include "package/records.h"

struct ArchiveReader;

ArchiveReader* CreateArchiveReader();
uint32_t OpenArchive(ArchiveReader* reader, const char* path, uint32_t archiveoffset);
uint32_t FindEntry(ArchiveReader* reader, EntryHeader* entry, uint32_t idlow, uint32_t idhigh);
uint32_t ReadEntryHeader(ArchiveReader* reader, EntryHeader* entry);
uint32_t SkipEntryData(ArchiveReader* reader, const EntryHeader* entry);
uint32_t ExtractEntryToFile(ArchiveReader* reader, const EntryHeader* entry, const char* outputpath);
uint32_t CloseArchive(ArchiveReader* reader);
uint32_t DestroyArchiveReader(ArchiveReader* reader);

// Runs create, open, find, extract and destroy once. Returns 1 when the entry
// was written, else 0; `resultcode` (may be null) receives the failing step's
// result code (0 on success; 8 when the reader itself cannot be allocated).
uint32_t ExtractPackageEntry(const char* archivepath, uint32_t archiveoffset, uint32_t idlow, uint32_t idhigh,
                             const char* outputpath, uint32_t* resultcode);
