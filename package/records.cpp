#include "package/records.h"

uint16_t ReadLe16(const uint8_t* bytes) { return static_cast<uint16_t>(bytes[0] | (bytes[1] << 8)); }

uint32_t ReadLe32(const uint8_t* bytes) {
  return static_cast<uint32_t>(bytes[0]) | (static_cast<uint32_t>(bytes[1]) << 8) |
         (static_cast<uint32_t>(bytes[2]) << 16) | (static_cast<uint32_t>(bytes[3]) << 24);
}

uint64_t ReadLe64(const uint8_t* bytes) {
  return static_cast<uint64_t>(ReadLe32(bytes)) | (static_cast<uint64_t>(ReadLe32(bytes + 4)) << 32);
}

void WriteLe16(uint8_t* bytes, uint16_t value) {
  bytes[0] = static_cast<uint8_t>(value);
  bytes[1] = static_cast<uint8_t>(value >> 8);
}

void WriteLe32(uint8_t* bytes, uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
}

void WriteLe64(uint8_t* bytes, uint64_t value) {
  WriteLe32(bytes, static_cast<uint32_t>(value));
  WriteLe32(bytes + 4, static_cast<uint32_t>(value >> 32));
}

void DecodeLoaderStamp(const uint8_t* bytes, LoaderStamp* stamp) {
  stamp->dossignature = ReadLe16(bytes);
  stamp->stampmagic = ReadLe32(bytes + STAMP_OFFSET_MAGIC);
  stamp->platformflags = bytes[STAMP_OFFSET_FLAGS];
  stamp->archiveoffset = ReadLe32(bytes + STAMP_OFFSET_ARCHIVE);
}

void DecodeArchiveHeader(const uint8_t* bytes, ArchiveHeader* header) {
  header->archivemagic = ReadLe32(bytes + 16);
  header->formatversion = ReadLe32(bytes + 20);
  header->archiveflags = ReadLe32(bytes + 24);
}

void DecodeCheckPair(const uint8_t* bytes, CheckPair* pair) {
  pair->first = ReadLe32(bytes);
  pair->second = ReadLe32(bytes + 4);
}

void DecodeEntryHeader(const uint8_t* bytes, EntryHeader* header) {
  header->entrymagic = ReadLe32(bytes);
  header->mustbezero = ReadLe32(bytes + 4);
  header->idlow = ReadLe32(bytes + 8);
  header->idhigh = ReadLe32(bytes + 12);
  header->datasize = ReadLe64(bytes + 16);
  header->othertime = ReadLe64(bytes + 24);
  header->lastwritetime = ReadLe64(bytes + 32);
  header->attributes = ReadLe32(bytes + 40);
  header->datacrc = ReadLe32(bytes + 44);
}

bool StampIsValid(const LoaderStamp* stamp) {
  return stamp->dossignature == DOS_SIGNATURE && stamp->stampmagic == STAMP_MAGIC;
}

uint32_t CheckPairResult(const CheckPair* pair, uint32_t archiveflags) {
  if ((pair->first ^ pair->second) == CHECK_PAIR_XOR) return 0;
  return (archiveflags & ARCHIVE_FLAG_ENCRYPTED_CHECK) ? 6001u : 13u;
}

uint32_t DecodeLzmaProperties(const uint8_t* bytes, LzmaProperties* properties) {
  uint32_t b = bytes[0];
  if (b >= 9 * 5 * 5) return 1114u;
  properties->pb = b / 45;
  properties->lp = (b - 45 * properties->pb) / 9;
  properties->lc = b - 45 * properties->pb - 9 * properties->lp;
  properties->dictionarysize = ReadLe32(bytes + 1);
  if (properties->dictionarysize == 0) properties->dictionarysize = 1;
  return 0;
}

void EncodeEntryHeader(const EntryHeader* header, uint8_t* bytes) {
  for (uint32_t i = 0; i < ENTRY_HEADER_SIZE; ++i) bytes[i] = 0;
  WriteLe32(bytes, header->entrymagic);
  WriteLe32(bytes + 4, header->mustbezero);
  WriteLe32(bytes + 8, header->idlow);
  WriteLe32(bytes + 12, header->idhigh);
  WriteLe64(bytes + 16, header->datasize);
  WriteLe64(bytes + 24, header->othertime);
  WriteLe64(bytes + 32, header->lastwritetime);
  WriteLe32(bytes + 40, header->attributes);
  WriteLe32(bytes + 44, header->datacrc);
}

uint8_t EncodePropertiesByte(uint32_t lc, uint32_t lp, uint32_t pb) {
  return static_cast<uint8_t>((pb * 5 + lp) * 9 + lc);
}
