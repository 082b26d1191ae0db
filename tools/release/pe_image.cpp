#include "tools/release/pe_image.h"


#include "tools/release/file_access.h"
#include "tools/release/result_text.h"

void PutLe16(uint8_t* bytes, uint16_t value) {
  bytes[0] = static_cast<uint8_t>(value);
  bytes[1] = static_cast<uint8_t>(value >> 8);
}

void PutLe32(uint8_t* bytes, uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint16_t GetLe16(const uint8_t* bytes) { return static_cast<uint16_t>(bytes[0] | (bytes[1] << 8)); }

uint32_t GetLe32(const uint8_t* bytes) {
  return static_cast<uint32_t>(bytes[0]) | (static_cast<uint32_t>(bytes[1]) << 8) |
         (static_cast<uint32_t>(bytes[2]) << 16) | (static_cast<uint32_t>(bytes[3]) << 24);
}

std::string ReadPeImage(const uint8_t* bytes, size_t size, PeImage* image) {
  *image = PeImage();
  if (size < 64 || GetLe16(bytes) != 0x5A4D) return "not a Windows executable (no MZ header)";
  uint32_t pe = GetLe32(bytes + 0x3C);
  if (pe > size || size - pe < 24 || GetLe32(bytes + pe) != 0x00004550)
    return "not a Windows PE executable (no PE header where e_lfanew points)";
  image->peoffset = pe;
  image->machine = GetLe16(bytes + pe + 4);
  uint32_t sectioncount = GetLe16(bytes + pe + 6);
  uint32_t optionalsize = GetLe16(bytes + pe + 20);
  uint32_t optional = pe + 24;
  image->optionaloffset = optional;
  if (size - optional < optionalsize || optionalsize < 2) return "the PE optional header does not fit the file";
  image->magic = GetLe16(bytes + optional);
  // PE32 and PE32+ differ in where the data directories begin.
  uint32_t directories;
  if (image->magic == 0x10B) {
    directories = 96;
  } else if (image->magic == 0x20B) {
    directories = 112;
  } else {
    return "unknown PE optional header magic";
  }
  if (optionalsize < directories) return "the PE optional header is too short";
  image->sectionalignment = GetLe32(bytes + optional + 32);
  image->filealignment = GetLe32(bytes + optional + 36);
  image->sizeofimage = GetLe32(bytes + optional + 56);
  image->sizeofheaders = GetLe32(bytes + optional + 60);
  image->checksumoffset = optional + 64;
  image->checksum = GetLe32(bytes + optional + 64);
  uint32_t count = GetLe32(bytes + optional + directories - 4);
  if (count > (optionalsize - directories) / 8) return "the PE data directories do not fit the optional header";
  image->directoryoffset = optional + directories;
  for (uint32_t i = 0; i < count; ++i) {
    PeDirectory directory;
    directory.address = GetLe32(bytes + image->directoryoffset + 8 * i);
    directory.size = GetLe32(bytes + image->directoryoffset + 8 * i + 4);
    image->directories.push_back(directory);
  }
  uint32_t table = optional + optionalsize;
  if ((size - table) / 40 < sectioncount) return "the PE section table does not fit the file's headers";
  for (uint32_t i = 0; i < sectioncount; ++i) {
    const uint8_t* entry = bytes + table + 40 * i;
    PeSection section;
    size_t length = 0;
    while (length < 8 && entry[length] != 0) ++length;
    section.name.assign(reinterpret_cast<const char*>(entry), length);
    section.virtualsize = GetLe32(entry + 8);
    section.virtualaddress = GetLe32(entry + 12);
    section.rawsize = GetLe32(entry + 16);
    section.rawoffset = GetLe32(entry + 20);
    section.characteristics = GetLe32(entry + 36);
    section.headeroffset = table + 40 * i;
    image->sections.push_back(section);
  }
  return "";
}

std::string ReadPeImageFile(const std::string& path, PeImage* image) {
  std::vector<uint8_t> head(65536);
  size_t got = 0;
  uint32_t result = ReadFileAt(path, 0, head.data(), head.size(), &got);
  if (result != 0) return FileFaultText(result);
  return ReadPeImage(head.data(), got, image);
}

uint64_t PeImageEnd(const PeImage& image) {
  uint64_t end = image.sizeofheaders;
  for (const PeSection& section : image.sections) {
    if (section.rawsize == 0) continue;
    uint64_t sectionend = static_cast<uint64_t>(section.rawoffset) + section.rawsize;
    if (sectionend > end) end = sectionend;
  }
  return end;
}

void AddPeChecksum(PeChecksum* checksum, const uint8_t* bytes, size_t count) {
  uint64_t position = checksum->position;
  uint64_t sum = checksum->sum;
  for (size_t i = 0; i < count; ++i, ++position) {
    uint32_t byte = bytes[i];
    if (position >= checksum->checksumoffset && position < checksum->checksumoffset + 4ull) byte = 0;
    sum += (position & 1) ? byte << 8 : byte;
  }
  checksum->position = position;
  checksum->sum = sum;
}

uint32_t FinishPeChecksum(const PeChecksum& checksum) {
  uint64_t sum = checksum.sum;
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint32_t>(sum + checksum.position);
}
