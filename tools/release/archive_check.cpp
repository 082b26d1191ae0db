#include "tools/release/archive_check.h"

#include <stdio.h>

#include "package/archive_reader.h"
#include "package/lzma_decoder.h"
#include "platform/types.h"
#include "tools/release/entry_text.h"
#include "tools/release/file_access.h"
#include "tools/release/result_text.h"

namespace {

std::string Hex32(uint32_t value) {
  char text[16];
  snprintf(text, sizeof text, "0x%X", value);
  return text;
}

// Why OpenArchive refused the archive, from its leading bytes.
std::string OpenFault(const std::string& path, uint32_t offset, uint32_t result) {
  uint8_t head[STREAM_OFFSET];
  size_t got = 0;
  ReadFileAt(path, offset, head, sizeof head, &got);
  std::string code = " (" + ResultText(result) + ")";
  switch (result) {
    case ERROR_HANDLE_EOF:
      if (got == 0) return "archive offset " + Hex32(offset) + " is at or past the end of the file" + code;
      return "archive damaged: the file ends within the archive's header" + code;
    case ERROR_NEGATIVE_SEEK:
      return "archive offset " + Hex32(offset) + " is 2 GiB or more" + code;
    case ERROR_INVALID_DATA:
    case ERROR_DECRYPTION_FAILED: {
      ArchiveHeader header;
      DecodeArchiveHeader(head, &header);
      if (got < ARCHIVE_HEADER_SIZE || header.archivemagic != ARCHIVE_MAGIC)
        return "archive damaged: no archive header at offset " + Hex32(offset) + code;
      if (header.formatversion != FORMAT_VERSION)
        return "unsupported archive format version " + Hex32(header.formatversion) + code;
      return "archive damaged: the check pair does not hold" + code;
    }
    case ERROR_DLL_INIT_FAILED: {
      uint32_t b = got == sizeof head ? head[ARCHIVE_HEADER_SIZE + CHECK_PAIR_SIZE] : 255;
      if (b >= 225) return "archive damaged: invalid LZMA properties" + code;
      return "LZMA properties not supported: lc " + std::to_string(b % 9) + ", lp " + std::to_string(b / 9 % 5) +
             ", pb " + std::to_string(b / 45) + code;
    }
    default:
      return "cannot open the archive" + code;
  }
}

// Why the walk stopped where a header was due, once the reader gave 30 there:
// "" for the clean end (the end marker right where the next header would
// begin), else the fault.
std::string EndFault(const LzmaDecoderProgress& progress, uint64_t expected, const std::string& header) {
  if (progress.ended && progress.produced == expected) return "";
  if (progress.failure == ERROR_READ_FAULT) return header + " cannot be decoded";
  return header + " ends early";
}

// What the reader's failure means: input that ran out is a cut file.
std::string TruncationNote(const LzmaDecoderProgress& progress) {
  return progress.failure != 0 && progress.failure != ERROR_READ_FAULT && progress.failure != ERROR_NOT_ENOUGH_MEMORY
             ? ": the file ends before the stream's end marker"
             : "";
}

}  // namespace

void CheckArchive(const std::string& path, uint32_t offset, const EntryVisitor& onentry, ArchiveCheck* check) {
  *check = ArchiveCheck();
  ArchiveReader* reader = CreateArchiveReader();
  if (reader == nullptr) {
    check->fault = FileFaultText(ERROR_NOT_ENOUGH_MEMORY);
    return;
  }
  uint32_t result = OpenArchive(reader, path.c_str(), offset);
  if (result != 0) {
    DestroyArchiveReader(reader);
    check->fault = OpenFault(path, offset, result);
    return;
  }
  check->opened = true;
  uint8_t head[STREAM_OFFSET];
  size_t got = 0;
  ReadFileAt(path, offset, head, sizeof head, &got);
  DecodeArchiveHeader(head, &check->header);
  DecodeLzmaProperties(head + ARCHIVE_HEADER_SIZE + CHECK_PAIR_SIZE, &check->properties);

  // The walk stops at the first result that is not 0. A header read that
  // fails with 30 is either the clean end of the stream or damage; the
  // decoder's progress tells them apart.
  std::string fault;
  uint64_t expected = 0;  // where the next header begins in the decompressed stream
  LzmaDecoderProgress progress = {};
  for (;;) {
    EntryHeader entry;
    result = ReadEntryHeader(reader, &entry);
    std::string header = "entry header " + std::to_string(check->entries + 1);
    if (result == ERROR_READ_FAULT) {
      GetLzmaDecoderProgress(reader->decoder, &progress);
      fault = EndFault(progress, expected, header);
      if (!fault.empty()) fault += TruncationNote(progress);
      break;
    }
    if (result == ERROR_INVALID_DATA) fault = header + " has no gfe3 magic";
    if (result == ERROR_CRC) fault = header + " has a non-zero word at +4";
    if (result != 0) {
      if (fault.empty()) fault = header + " cannot be read";
      break;
    }
    ++check->entries;
    if (onentry) onentry(check->entries, entry);
    result = VerifyEntryData(reader, &entry);
    std::string data = "the data of entry " + std::to_string(check->entries);
    if (result == ERROR_HANDLE_EOF) fault = data + " ends early";
    if (result == ERROR_CRC) {
      uint64_t id = (static_cast<uint64_t>(entry.idhigh) << 32) | entry.idlow;
      std::string name = EntryIdName(id);
      fault = data + " (" + EntryIdText(id) + (name.empty() ? "" : " " + name) + ") does not match its CRC32";
    }
    if (result == ERROR_READ_FAULT) {
      GetLzmaDecoderProgress(reader->decoder, &progress);
      fault = data + " cannot be decoded" + TruncationNote(progress);
    }
    if (result != 0) {
      if (fault.empty()) fault = data + " cannot be read";
      break;
    }
    ++check->complete;
    expected += ENTRY_HEADER_SIZE + entry.datasize;
  }
  GetLzmaDecoderProgress(reader->decoder, &progress);
  DestroyArchiveReader(reader);
  check->decoded = progress.produced;
  check->ended = progress.ended;
  if (!fault.empty()) {
    check->fault = "archive damaged: " + fault + " (" + ResultText(result) + ")";
    return;
  }
  check->streamlength = progress.consumed;
  uint8_t trailer[ARCHIVE_TRAILER_SIZE];
  got = 0;
  ReadFileAt(path, static_cast<uint64_t>(offset) + STREAM_OFFSET + check->streamlength, trailer, sizeof trailer, &got);
  check->trailer = got == sizeof trailer && ReadLe32(trailer) == TRAILER_MAGIC && ReadLe32(trailer + 4) == TRAILER_WORD &&
                   ReadLe64(trailer + 8) == 0;
  if (!check->trailer) check->fault = "archive damaged: no trailer after the stream";
}
