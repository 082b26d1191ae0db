// The archive reader: opens the package at an offset inside a file, verifies
// its headers, walks the LZMA-compressed stream entry by entry and writes the
// wanted entry to a file with its last-write time and attributes.
//
// Calling order: CreateArchiveReader, OpenArchive, FindEntry (ReadEntryHeader
// and SkipEntryData in turn), ExtractEntryToFile on the entry found,
// DestroyArchiveReader. After any failure the reader is only closed or
// destroyed.
#pragma once

#include <stdint.h>

#include "package/file_buffer.h"
#include "package/lzma_decoder.h"
#include "package/records.h"

struct ArchiveReader {
  uint8_t header[ARCHIVE_HEADER_SIZE];  // the ArchiveHeader as read
  FileBuffer input;                     // the package file
  LzmaDecoder* decoder;                 // null unless open
};

// A new zero-filled reader with nothing open, or null.
ArchiveReader* CreateArchiveReader();

// Opens `path`, positions it at `archiveoffset`, verifies the ArchiveHeader
// and CheckPair and sets up the decoder. On failure the reader is closed.
// With `widepath` given, the file is opened by it and `path` is not used.
uint32_t OpenArchive(ArchiveReader* reader, const char* path, uint32_t archiveoffset, const WCHAR* widepath = 0);

// Reads entry headers, skipping the data of the others, until the id
// matches in both halves; the entry's data is then next in the stream.
uint32_t FindEntry(ArchiveReader* reader, EntryHeader* entry, uint32_t idlow, uint32_t idhigh);

uint32_t ReadEntryHeader(ArchiveReader* reader, EntryHeader* entry);

// Decodes and discards the current entry's data.
uint32_t SkipEntryData(ArchiveReader* reader, const EntryHeader* entry);

// The same, and when ArchiveFlags announces entry CRC32s, 23 (ERROR_CRC)
// for data that does not match its header's. For checking whole archives;
// the loader checks only the entry it writes.
uint32_t VerifyEntryData(ArchiveReader* reader, const EntryHeader* entry);

// Decodes the next `count` bytes of the current entry's data to `output`, for
// a reader that consumes the data itself (and checks its CRC32). 0; 38
// (ERROR_HANDLE_EOF) when the stream ends first; 30 for damaged data; 8.
uint32_t DecodeEntryBytes(ArchiveReader* reader, uint8_t* output, uint32_t count);

// Writes the current entry's data to `outputpath` (replaced), then sets its
// last-write time and, once closed, its attributes. When ArchiveFlags
// announces entry CRC32s, data that does not match gives 23 (ERROR_CRC). On
// failure the partly written file stays.
uint32_t ExtractEntryToFile(ArchiveReader* reader, const EntryHeader* entry, const char* outputpath);

// Releases the decoder and the package file; the reader stays allocated.
uint32_t CloseArchive(ArchiveReader* reader);
uint32_t DestroyArchiveReader(ArchiveReader* reader);

// Runs create, open, find, extract and destroy once. Returns 1 when the entry
// was written, else 0; `resultcode` (may be null) receives the failing step's
// result code (0 on success; 8 when the reader itself cannot be allocated).
// `widearchivepath`, when given, names the package file in place of `archivepath`.
uint32_t ExtractPackageEntry(const char* archivepath, uint32_t archiveoffset, uint32_t idlow, uint32_t idhigh,
                             const char* outputpath, uint32_t* resultcode, const WCHAR* widearchivepath = 0);
