#include "package/data_archive.h"

#include "package/crc32.h"
#include "platform/platform.h"

void EncodeDataLocator(uint64_t offset, uint8_t locator[16], uint32_t format) {
  WriteLe32(locator, DATA_LOCATOR_MAGIC);
  WriteLe32(locator + 4, format);
  WriteLe64(locator + 8, offset);
}

bool DecodeDataLocator(const uint8_t* header, uint64_t* offset) {
  uint32_t format = DataLocatorFormat(header);
  if (format != DATA_LOCATOR_FORMAT && format != DATA_LOCATOR_FORMAT_BLOCKS) return false;
  *offset = ReadLe64(header + 8);
  return true;
}

uint32_t DataLocatorFormat(const uint8_t* header) {
  if (ReadLe32(header) != DATA_LOCATOR_MAGIC) return 0;
  uint32_t format = ReadLe32(header + 4);
  return format == 0 ? 0xFFFFFFFFu : format;
}

uint32_t DataDictionaryFor(uint64_t payload) {
  uint64_t size = DATA_DICTIONARY_MIN;
  while (size < payload && size < DATA_DICTIONARY_MAX) size <<= 1;
  return static_cast<uint32_t>(size < DATA_DICTIONARY_MAX ? size : DATA_DICTIONARY_MAX);
}

uint32_t ReadDataIndexHeader(const uint8_t* index, uint32_t size, uint32_t* count, uint32_t version,
                             uint32_t* blocks) {
  *count = 0;
  if (blocks != nullptr) *blocks = 0;
  if (size < DATA_INDEX_HEADER_SIZE) return ERROR_INVALID_DATA;
  if (ReadLe32(index) != DATA_INDEX_MAGIC || ReadLe32(index + 4) != version) return ERROR_INVALID_DATA;
  uint32_t blockcount = ReadLe32(index + 12);
  if (version == DATA_INDEX_VERSION && blockcount != 0) return ERROR_INVALID_DATA;
  uint32_t room = size - DATA_INDEX_HEADER_SIZE;
  if (blockcount > room / DATA_BLOCK_RECORD_SIZE) return ERROR_INVALID_DATA;
  room -= blockcount * DATA_BLOCK_RECORD_SIZE;
  uint32_t items = ReadLe32(index + 8);
  // Every record takes at least its fixed part and one byte of name.
  if (items > room / (DATA_RECORD_SIZE + 1)) return ERROR_INVALID_DATA;
  *count = items;
  if (blocks != nullptr) *blocks = blockcount;
  return 0;
}

void EncodeDataHead(const DataHead* head, uint8_t bytes[DATA_HEAD_SIZE]) {
  for (uint32_t i = 0; i < DATA_HEAD_SIZE; ++i) bytes[i] = 0;
  WriteLe32(bytes, DATA_HEAD_MAGIC);
  WriteLe32(bytes + 4, DATA_HEAD_VERSION);
  WriteLe64(bytes + 8, head->streamsize);
  WriteLe32(bytes + 16, head->indexsize);
  WriteLe32(bytes + 20, head->indexdecoded);
  WriteLe32(bytes + 24, head->blocksize);
  WriteLe32(bytes + 28, head->blockcount);
  WriteLe64(bytes + 32, head->datasize);
  WriteLe32(bytes + 40, head->check);
  WriteLe32(bytes + 60, ContinueCrc32(bytes, 60, 0));
}

uint32_t DecodeDataHead(const uint8_t bytes[DATA_HEAD_SIZE], DataHead* head) {
  if (ReadLe32(bytes) != DATA_HEAD_MAGIC || ReadLe32(bytes + 4) != DATA_HEAD_VERSION) return ERROR_INVALID_DATA;
  if (ContinueCrc32(bytes, 60, 0) != ReadLe32(bytes + 60)) return ERROR_INVALID_DATA;
  for (uint32_t i = 44; i < 60; ++i) {
    if (bytes[i] != 0) return ERROR_INVALID_DATA;
  }
  head->streamsize = ReadLe64(bytes + 8);
  head->indexsize = ReadLe32(bytes + 16);
  head->indexdecoded = ReadLe32(bytes + 20);
  head->blocksize = ReadLe32(bytes + 24);
  head->blockcount = ReadLe32(bytes + 28);
  head->datasize = ReadLe64(bytes + 32);
  head->check = ReadLe32(bytes + 40);
  if (head->blocksize < DATA_BLOCK_MIN || head->blocksize > DATA_BLOCK_MAX) return ERROR_INVALID_DATA;
  if (head->check != DATA_BLOCK_CHECK_CRC32) return ERROR_INVALID_DATA;
  if (head->indexsize == 0 || head->indexdecoded < DATA_INDEX_HEADER_SIZE || head->indexdecoded > DATA_INDEX_MAX)
    return ERROR_INVALID_DATA;
  // The blocks cut the data into pieces of blocksize, the last one shorter:
  // as many as hold the data, and not one more. Products, not a 64-bit
  // division, which on i686 would link libgcc's divider (and its unwind
  // table) into the loader, which shares this file.
  uint64_t blocksize = head->blocksize;
  if (head->blockcount * blocksize < head->datasize) return ERROR_INVALID_DATA;
  if (head->blockcount != 0 && (head->blockcount - 1) * blocksize >= head->datasize) return ERROR_INVALID_DATA;
  return 0;
}

void EncodeDataBlock(const DataBlock* block, uint8_t bytes[DATA_BLOCK_RECORD_SIZE]) {
  WriteLe64(bytes, block->offset);
  WriteLe64(bytes + 8, block->size);
  WriteLe64(bytes + 16, block->uncompressed);
  WriteLe32(bytes + 24, block->firstitem);
  WriteLe32(bytes + 28, 0);
}

uint32_t ReadDataBlock(const uint8_t* index, uint32_t size, uint32_t* position, DataBlock* block) {
  uint32_t at = *position;
  if (at > size || size - at < DATA_BLOCK_RECORD_SIZE) return ERROR_INVALID_DATA;
  block->offset = ReadLe64(index + at);
  block->size = ReadLe64(index + at + 8);
  block->uncompressed = ReadLe64(index + at + 16);
  block->firstitem = ReadLe32(index + at + 24);
  if (ReadLe32(index + at + 28) != 0) return ERROR_INVALID_DATA;
  *position = at + DATA_BLOCK_RECORD_SIZE;
  return 0;
}

uint32_t ReadDataItem(const uint8_t* index, uint32_t size, uint32_t* position, DataItem* item) {
  uint32_t at = *position;
  if (at > size || size - at < DATA_RECORD_SIZE) return ERROR_INVALID_DATA;
  item->size = ReadLe64(index + at);
  item->lastwritetime = ReadLe64(index + at + 8);
  item->attributes = ReadLe32(index + at + 16);
  item->crc = ReadLe32(index + at + 20);
  item->namelength = ReadLe32(index + at + 24);
  item->name = reinterpret_cast<const char*>(index + at + DATA_RECORD_SIZE);
  at += DATA_RECORD_SIZE;
  if (item->namelength == 0 || item->namelength > DATA_NAME_MAX || size - at < item->namelength)
    return ERROR_INVALID_DATA;
  if ((item->attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 && item->size != 0) return ERROR_INVALID_DATA;
  *position = at + item->namelength;
  return 0;
}

namespace {

// The length of the UTF-8 sequence at `text` (at most `left` bytes) and its
// code point; 0 for a sequence that is not UTF-8 (overlong, a surrogate,
// beyond U+10FFFF, cut).
uint32_t Utf8Sequence(const uint8_t* text, uint32_t left, uint32_t* codepoint) {
  uint32_t lead = text[0];
  uint32_t length;
  uint32_t value;
  uint32_t least;
  if (lead < 0x80) {
    *codepoint = lead;
    return 1;
  } else if ((lead & 0xE0) == 0xC0) {
    length = 2, value = lead & 0x1F, least = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, value = lead & 0x0F, least = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, value = lead & 0x07, least = 0x10000;
  } else {
    return 0;
  }
  if (left < length) return 0;
  for (uint32_t i = 1; i < length; ++i) {
    if ((text[i] & 0xC0) != 0x80) return 0;
    value = (value << 6) | (text[i] & 0x3F);
  }
  if (value < least || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
  *codepoint = value;
  return length;
}

char AsciiUpper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

// Whether `length` bytes at `text` spell `word` in any case.
bool SameWord(const char* text, uint32_t length, const char* word) {
  uint32_t i = 0;
  for (; i < length && word[i] != '\0'; ++i) {
    if (AsciiUpper(text[i]) != word[i]) return false;
  }
  return i == length && word[i] == '\0';
}

// Windows opens a device for these names whatever the extension and
// trailing spaces: "nul.txt" and "CON " are the console and the null device.
bool IsDeviceName(const char* component, uint32_t length) {
  uint32_t stem = 0;
  while (stem < length && component[stem] != '.') ++stem;
  while (stem > 0 && component[stem - 1] == ' ') --stem;
  static const char* const kDevices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
  for (const char* device : kDevices) {
    if (SameWord(component, stem, device)) return true;
  }
  if (!SameWord(component, stem < 3 ? stem : 3, "COM") && !SameWord(component, stem < 3 ? stem : 3, "LPT"))
    return false;
  if (stem == 4 && component[3] >= '1' && component[3] <= '9') return true;
  // COM¹ to LPT³: the superscript digits, U+00B9, U+00B2, U+00B3.
  const uint8_t* tail = reinterpret_cast<const uint8_t*>(component) + 3;
  return stem == 5 && tail[0] == 0xC2 && (tail[1] == 0xB9 || tail[1] == 0xB2 || tail[1] == 0xB3);
}

DataNameFault CheckComponent(const char* component, uint32_t length) {
  if (length == 0) return DataNameEmpty;
  if (length == 2 && component[0] == '.' && component[1] == '.') return DataNameParent;
  if (length == 1 && component[0] == '.') return DataNameDot;
  uint32_t units = 0;
  for (uint32_t i = 0; i < length;) {
    uint8_t c = static_cast<uint8_t>(component[i]);
    if (c == '\\') return DataNameBackslash;
    if (c == ':') return DataNameStream;
    if (c < 0x20 || c == 0x7F || c == '<' || c == '>' || c == '"' || c == '|' || c == '?' || c == '*')
      return DataNameCharacter;
    uint32_t codepoint = 0;
    uint32_t step = Utf8Sequence(reinterpret_cast<const uint8_t*>(component) + i, length - i, &codepoint);
    if (step == 0) return DataNameEncoding;
    units += codepoint >= 0x10000 ? 2 : 1;
    i += step;
  }
  if (units > 255) return DataNameLength;
  if (IsDeviceName(component, length)) return DataNameDevice;
  char last = component[length - 1];
  if (last == '.' || last == ' ') return DataNameTrailing;
  return DataNameSafe;
}

}  // namespace

DataNameFault CheckDataName(const char* name, uint32_t length) {
  if (length == 0) return DataNameEmpty;
  if (length > DATA_NAME_MAX) return DataNameLength;
  if (name[0] == '/' || name[0] == '\\') return DataNameAbsolute;
  char first = AsciiUpper(name[0]);
  if (length >= 2 && first >= 'A' && first <= 'Z' && name[1] == ':') return DataNameDrive;
  uint32_t start = 0;
  for (uint32_t i = 0; i <= length; ++i) {
    if (i < length && name[i] != '/') continue;
    DataNameFault fault = CheckComponent(name + start, i - start);
    if (fault != DataNameSafe) return fault;
    start = i + 1;
  }
  return DataNameSafe;
}

const char* DataNameFaultText(DataNameFault fault) {
  switch (fault) {
    case DataNameSafe:
      return "can be written";
    case DataNameEmpty:
      return "is empty or has an empty component (\"a//b\", a trailing '/')";
    case DataNameAbsolute:
      return "is absolute (it begins with '/' or '\\'), which would leave the target directory";
    case DataNameDrive:
      return "begins with a drive letter, which would leave the target directory";
    case DataNameStream:
      return "holds ':', which names an NTFS stream on Windows";
    case DataNameParent:
      return "has a '..' component, which would leave the target directory";
    case DataNameDot:
      return "has a '.' component";
    case DataNameBackslash:
      return "holds '\\', a separator on Windows (names use '/')";
    case DataNameDevice:
      return "has a component that Windows reads as a device (CON, PRN, AUX, NUL, COM1-9, LPT1-9)";
    case DataNameCharacter:
      return "holds a control character or one of < > \" | ? *, which Windows file names cannot hold";
    case DataNameTrailing:
      return "has a component ending in '.' or ' ', which Windows drops";
    case DataNameEncoding:
      return "is not UTF-8";
    case DataNameLength:
      return "is longer than 1024 bytes or has a component of more than 255 characters";
  }
  return "cannot be written";
}

#ifndef ERROR_SEEK
#define ERROR_SEEK 25u
#endif

static uint32_t OpenOnHandleSteps(ArchiveReader* reader, HANDLE file, uint64_t offset, uint32_t dictionarylimit,
                                  uint32_t* declared) {
  uint32_t code = InitFileReader(&reader->input, FILE_BUFFER_SIZE);
  reader->input.handle = file;
  if (code != 0) return code;
  LONG high = static_cast<LONG>(offset >> 32);
  Sys().SetLastError(0);
  DWORD low = Sys().SetFilePointer(file, static_cast<LONG>(static_cast<uint32_t>(offset)), &high, FILE_BEGIN);
  if (low == INVALID_SET_FILE_POINTER && Sys().GetLastError() != 0) return Sys().GetLastError();
  if (low != static_cast<uint32_t>(offset) || static_cast<uint32_t>(high) != static_cast<uint32_t>(offset >> 32))
    return ERROR_SEEK;

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
  if (declared != NULL) *declared = properties.dictionarysize;
  if (properties.dictionarysize > dictionarylimit) properties.dictionarysize = dictionarylimit;
  return CreateLzmaDecoder(&properties, &reader->decoder);
}

uint32_t OpenArchiveOnHandle(ArchiveReader* reader, HANDLE file, uint64_t offset, uint32_t dictionarylimit,
                             uint32_t* declared) {
  if (reader == NULL) {
    if (file != INVALID_HANDLE_VALUE) Sys().CloseHandle(file);
    return ERROR_INVALID_PARAMETER;
  }
  CloseArchive(reader);
  uint32_t code = OpenOnHandleSteps(reader, file, offset, dictionarylimit, declared);
  if (code != 0) CloseArchive(reader);
  return code;
}
