#include "package/archive_reader.h"

#include "package/crc32.h"
#include "platform/heap.h"
#include "platform/platform.h"

#ifndef ERROR_SEEK
#define ERROR_SEEK 25u
#endif

ArchiveReader* CreateArchiveReader() {
  ArchiveReader* reader = static_cast<ArchiveReader*>(AllocZeroed(sizeof(ArchiveReader)));
  // Nothing is open: closing a reader that was never opened must not close
  // handle 0.
  if (reader != NULL) reader->input.handle = INVALID_HANDLE_VALUE;
  return reader;
}

// Moves the package file to `offset` from its start. The distance is signed
// and has no high part, so offsets from 0x80000000 fail with the platform's
// error. A returned 0xFFFFFFFF is a failure only with a nonzero last error.
static uint32_t SeekArchive(HANDLE file, uint32_t offset) {
  Sys().SetLastError(0);
  DWORD position = Sys().SetFilePointer(file, static_cast<LONG>(offset), NULL, FILE_BEGIN);
  if (position == offset && position != INVALID_SET_FILE_POINTER) return 0;
  DWORD error = Sys().GetLastError();
  if (error != 0) return error;
  return position == offset ? 0 : ERROR_SEEK;
}

static uint32_t OpenArchiveSteps(ArchiveReader* reader, const char* path, uint32_t archiveoffset,
                                 const WCHAR* widepath) {
  uint32_t code = InitFileReader(&reader->input, FILE_BUFFER_SIZE);
  if (code != 0) return code;
  reader->input.handle = widepath != NULL ? Sys().CreateFileW(widepath, GENERIC_READ, FILE_SHARE_READ, NULL,
                                                              OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, NULL)
                                          : Sys().CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, NULL,
                                                              OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, NULL);
  if (reader->input.handle == INVALID_HANDLE_VALUE) return Sys().GetLastError();
  if (archiveoffset != 0) {
    code = SeekArchive(reader->input.handle, archiveoffset);
    if (code != 0) return code;
  }

  code = ReadExact(&reader->input, reader->header, ARCHIVE_HEADER_SIZE);
  if (code != 0) return code;
  ArchiveHeader header;
  DecodeArchiveHeader(reader->header, &header);
  if (header.archivemagic != ARCHIVE_MAGIC || header.formatversion != FORMAT_VERSION) return ERROR_INVALID_DATA;

  uint8_t bytes[CHECK_PAIR_SIZE];
  code = ReadExact(&reader->input, bytes, CHECK_PAIR_SIZE);
  if (code != 0) return code;
  CheckPair pair;
  DecodeCheckPair(bytes, &pair);
  code = CheckPairResult(&pair, header.archiveflags);
  if (code != 0) return code;

  code = ReadExact(&reader->input, bytes, LZMA_PROPERTIES_SIZE);
  if (code != 0) return code;
  LzmaProperties properties;
  code = DecodeLzmaProperties(bytes, &properties);
  if (code != 0) return code;
  // The stream starts right after the property bytes: the decoder takes
  // its first input from what the buffer still holds.
  return CreateLzmaDecoder(&properties, &reader->decoder);
}

uint32_t OpenArchive(ArchiveReader* reader, const char* path, uint32_t archiveoffset, const WCHAR* widepath) {
  if (reader == NULL) return ERROR_INVALID_PARAMETER;
  CloseArchive(reader);  // a reader opened before releases what it held
  uint32_t code = OpenArchiveSteps(reader, path, archiveoffset, widepath);
  if (code != 0) CloseArchive(reader);
  return code;
}

// Decodes the next `count` bytes of the stream. A decoder failure is 30
// (8 when it ran out of memory); a stream that ends first is `shortcode`.
static uint32_t DecodeExact(ArchiveReader* reader, uint8_t* output, uint32_t count, uint32_t shortcode) {
  if (reader->decoder == NULL) return ERROR_READ_FAULT;  // not open
  InputCallback input = {ReadDecoderInput, &reader->input};
  uint32_t produced = 0;
  uint32_t code = DecodeLzma(reader->decoder, &input, output, count, &produced);
  if (code != 0) return code == ERROR_NOT_ENOUGH_MEMORY ? code : ERROR_READ_FAULT;
  return produced < count ? shortcode : 0;
}

uint32_t ReadEntryHeader(ArchiveReader* reader, EntryHeader* entry) {
  if (entry != NULL) ZeroBytes(entry, sizeof(EntryHeader));
  if (reader == NULL || entry == NULL) return ERROR_INVALID_PARAMETER;
  uint8_t bytes[ENTRY_HEADER_SIZE];
  uint32_t code = DecodeExact(reader, bytes, ENTRY_HEADER_SIZE, ERROR_READ_FAULT);
  if (code != 0) return code;
  DecodeEntryHeader(bytes, entry);
  if (entry->entrymagic != ENTRY_MAGIC) return ERROR_INVALID_DATA;
  if (entry->mustbezero != 0) return ERROR_CRC;
  return 0;
}

// Whether the archive's entry headers carry their data's CRC32 at +44.
static bool EntryCrcAnnounced(const ArchiveReader* reader) {
  ArchiveHeader header;
  DecodeArchiveHeader(reader->header, &header);
  return (header.archiveflags & ARCHIVE_FLAG_ENTRY_CRC) != 0;
}

// Decodes and discards the entry's data; `check`: and compares its CRC32.
static uint32_t ConsumeEntryData(ArchiveReader* reader, const EntryHeader* entry, bool check) {
  uint64_t remaining = entry->datasize;
  uint32_t crc = 0;
  uint32_t code = 0;
  if (remaining != 0) {
    uint8_t* scratch = static_cast<uint8_t*>(AllocZeroed(FILE_BUFFER_SIZE));
    if (scratch == NULL) return ERROR_NOT_ENOUGH_MEMORY;
    while (remaining != 0 && code == 0) {
      uint32_t piece = remaining >= FILE_BUFFER_SIZE ? FILE_BUFFER_SIZE : static_cast<uint32_t>(remaining);
      remaining -= piece;
      code = DecodeExact(reader, scratch, piece, ERROR_HANDLE_EOF);
      if (code == 0 && check) crc = ContinueCrc32(scratch, piece, crc);
    }
    FreeBlock(scratch);
  }
  if (code == 0 && check && crc != entry->datacrc) code = ERROR_CRC;
  return code;
}

uint32_t SkipEntryData(ArchiveReader* reader, const EntryHeader* entry) {
  if (reader == NULL || entry == NULL) return ERROR_INVALID_PARAMETER;
  return ConsumeEntryData(reader, entry, false);
}

uint32_t VerifyEntryData(ArchiveReader* reader, const EntryHeader* entry) {
  if (reader == NULL || entry == NULL) return ERROR_INVALID_PARAMETER;
  return ConsumeEntryData(reader, entry, EntryCrcAnnounced(reader));
}

uint32_t DecodeEntryBytes(ArchiveReader* reader, uint8_t* output, uint32_t count) {
  if (reader == NULL || output == NULL) return ERROR_INVALID_PARAMETER;
  return DecodeExact(reader, output, count, ERROR_HANDLE_EOF);
}

uint32_t FindEntry(ArchiveReader* reader, EntryHeader* entry, uint32_t idlow, uint32_t idhigh) {
  if (reader == NULL) return ERROR_INVALID_PARAMETER;
  for (;;) {
    uint32_t code = ReadEntryHeader(reader, entry);
    if (code != 0) return code;
    if (entry->idlow == idlow && entry->idhigh == idhigh) return 0;
    code = SkipEntryData(reader, entry);
    if (code != 0) return code;
  }
}

// Decodes the entry's data into the writer piece by piece, flushing each.
// When the archive announces CRC32s, the bytes handed to the file must
// match the header's: a stream damaged where the decoder cannot tell gives
// 23 (ERROR_CRC) instead of a corrupted installer.
static uint32_t WriteEntryData(ArchiveReader* reader, const EntryHeader* entry, FileBuffer* writer) {
  bool check = EntryCrcAnnounced(reader);
  uint32_t crc = 0;
  uint64_t remaining = entry->datasize;
  while (remaining != 0) {
    uint32_t room = static_cast<uint32_t>(writer->end - writer->position);
    uint32_t piece = remaining >= room ? room : static_cast<uint32_t>(remaining);
    remaining -= piece;
    uint32_t code = DecodeExact(reader, writer->position, piece, ERROR_HANDLE_EOF);
    if (code != 0) return code;
    if (check) crc = ContinueCrc32(writer->position, piece, crc);
    writer->position += piece;
    code = FlushFileWriter(writer);
    if (code != 0) return code;
  }
  if (check && crc != entry->datacrc) return ERROR_CRC;
  return 0;
}

uint32_t ExtractEntryToFile(ArchiveReader* reader, const EntryHeader* entry, const char* outputpath) {
  if (reader == NULL || entry == NULL) return ERROR_INVALID_PARAMETER;
  // An existing read-only or system file could not be replaced; hidden and
  // the other bits stay.
  DWORD existing = Sys().GetFileAttributesA(outputpath);
  if (existing != INVALID_FILE_ATTRIBUTES) {
    Sys().SetFileAttributesA(outputpath, existing & ~(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_SYSTEM));
  }

  FileBuffer writer;
  uint32_t code = InitFileWriter(&writer, FILE_BUFFER_SIZE);
  if (code != 0) {
    CloseFileBuffer(&writer);
    return code;
  }
  writer.handle = Sys().CreateFileA(outputpath, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
  if (writer.handle == INVALID_HANDLE_VALUE) {
    code = Sys().GetLastError();
    CloseFileBuffer(&writer);
    return code;
  }
  code = WriteEntryData(reader, entry, &writer);
  if (code != 0) {
    CloseFileBuffer(&writer);
    return code;
  }
  FILETIME lastwrite;
  lastwrite.dwLowDateTime = static_cast<DWORD>(entry->lastwritetime);
  lastwrite.dwHighDateTime = static_cast<DWORD>(entry->lastwritetime >> 32);
  Sys().SetFileTime(writer.handle, NULL, NULL, &lastwrite);
  CloseFileBuffer(&writer);
  // The attributes go to the finished, closed file.
  Sys().SetFileAttributesA(outputpath, entry->attributes);
  return 0;
}

uint32_t CloseArchive(ArchiveReader* reader) {
  if (reader == NULL) return ERROR_INVALID_PARAMETER;
  DestroyLzmaDecoder(reader->decoder);
  reader->decoder = NULL;
  CloseFileBuffer(&reader->input);
  return 0;
}

uint32_t DestroyArchiveReader(ArchiveReader* reader) {
  if (reader == NULL) return ERROR_INVALID_PARAMETER;
  CloseArchive(reader);
  FreeBlock(reader);
  return 0;
}

uint32_t ExtractPackageEntry(const char* archivepath, uint32_t archiveoffset, uint32_t idlow, uint32_t idhigh,
                             const char* outputpath, uint32_t* resultcode, const WCHAR* widearchivepath) {
  ArchiveReader* reader = CreateArchiveReader();
  uint32_t code = ERROR_NOT_ENOUGH_MEMORY;
  if (reader != NULL) {
    EntryHeader entry;
    code = OpenArchive(reader, archivepath, archiveoffset, widearchivepath);
    if (code == 0) code = FindEntry(reader, &entry, idlow, idhigh);
    if (code == 0) code = ExtractEntryToFile(reader, &entry, outputpath);
  }
  DestroyArchiveReader(reader);
  if (resultcode != NULL) *resultcode = code;
  return code == 0 ? 1u : 0u;
}
