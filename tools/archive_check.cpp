#include "tools/archive_check.h"

#include <stdio.h>

#include "package/archive_reader.h"
#include "platform/types.h"
#include "tools/pxq_cli.h"

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

}  // namespace

void CheckArchive(const std::string& path, uint32_t offset,
                  const std::function<void(size_t number, const EntryHeader& entry)>& onentry, ArchiveCheck* check) {
  *check = ArchiveCheck();
  ArchiveReader* reader = CreateArchiveReader();
  if (reader == nullptr) {
    check->fault = "cannot read: " + ResultText(ERROR_NOT_ENOUGH_MEMORY);
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
  // fails with 30 is either the clean end of the stream or damage; only the
  // scan below tells them apart.
  std::string fault;
  for (;;) {
    EntryHeader entry;
    result = ReadEntryHeader(reader, &entry);
    std::string header = "entry header " + std::to_string(check->entries + 1);
    if (result == ERROR_READ_FAULT) break;
    if (result == ERROR_INVALID_DATA) fault = header + " has no gfe3 magic";
    if (result == ERROR_CRC) fault = header + " has a non-zero word at +4";
    if (result != 0) {
      if (fault.empty()) fault = header + " cannot be read";
      break;
    }
    ++check->entries;
    if (onentry) onentry(check->entries, entry);
    result = SkipEntryData(reader, &entry);
    std::string data = "the data of entry " + std::to_string(check->entries);
    if (result == ERROR_HANDLE_EOF) fault = data + " ends early";
    if (result == ERROR_READ_FAULT) fault = data + " cannot be decoded";
    if (result != 0) {
      if (fault.empty()) fault = data + " cannot be read";
      break;
    }
    ++check->complete;
  }
  DestroyArchiveReader(reader);
  if (!fault.empty()) {
    // The reader reports a cut file like corrupt data; the scan tells them apart.
    ArchiveScan scan;
    if (result == ERROR_READ_FAULT && ScanArchive(path, offset, &scan) == 0 && scan.truncated)
      fault += ": the file ends before the stream's end marker";
    check->fault = "archive damaged: " + fault + " (" + ResultText(result) + ")";
    return;
  }

  uint32_t scanresult = ScanArchive(path, offset, &check->scan);
  if (scanresult != 0) {
    check->fault = "cannot read: " + ResultText(scanresult);
    return;
  }
  const ArchiveScan& scan = check->scan;
  if (!(scan.ended && scan.clean && scan.entries.size() == check->entries)) {
    std::string header = "entry header " + std::to_string(check->entries + 1);
    fault = scan.corrupt ? header + " cannot be decoded" : header + " ends early";
    check->fault = "archive damaged: " + fault + " (" + ResultText(result) + ")";
    return;
  }
  if (!scan.trailer) check->fault = "archive damaged: no trailer after the stream";
}
