// The headers of a PE file as the host tools need them: the optional
// header's fields that packing, signing and tagging touch, the data
// directories and the section table; and the PE checksum, summed as the
// bytes stream past. Every offset is checked against the bytes given.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#define PE_DIRECTORY_RESOURCE 2u
#define PE_DIRECTORY_SECURITY 4u

struct PeSection {
  std::string name;
  uint32_t virtualsize = 0;
  uint32_t virtualaddress = 0;
  uint32_t rawsize = 0;
  uint32_t rawoffset = 0;
  uint32_t characteristics = 0;
  uint32_t headeroffset = 0;  // file offset of its section table entry
};

struct PeDirectory {
  uint32_t address = 0;  // an RVA; for the security directory a file offset
  uint32_t size = 0;
};

struct PeImage {
  uint32_t peoffset = 0;        // e_lfanew: the "PE\0\0" signature
  uint16_t machine = 0;
  uint16_t magic = 0;           // 0x10B PE32, 0x20B PE32+
  uint32_t optionaloffset = 0;  // file offset of the optional header
  uint32_t checksumoffset = 0;
  uint32_t checksum = 0;
  uint32_t sectionalignment = 0;
  uint32_t filealignment = 0;
  uint32_t sizeofimage = 0;
  uint32_t sizeofheaders = 0;
  uint32_t directoryoffset = 0;  // file offset of the data directory array
  std::vector<PeDirectory> directories;
  std::vector<PeSection> sections;
};

// Reads the headers from the first bytes of a file (the DOS header through
// the section table). "" on success, else what is wrong. Only the bytes
// given are read, once: time is linear in them, and the section records
// take under twice the bytes of their 40-byte headers.
std::string ReadPeImage(const uint8_t* bytes, size_t size, PeImage* image);
// The same from a file, reading only its first 64 KiB.
std::string ReadPeImageFile(const std::string& path, PeImage* image);

// The end of the last section's raw data: where a linker's file ends.
uint64_t PeImageEnd(const PeImage& image);

void PutLe16(uint8_t* bytes, uint16_t value);
void PutLe32(uint8_t* bytes, uint32_t value);
uint16_t GetLe16(const uint8_t* bytes);
uint32_t GetLe32(const uint8_t* bytes);

// The PE checksum: the file's 16-bit little-endian words summed with the
// carries folded back in, the checksum field itself counted as zero, plus
// the file's length. Fed in order, in pieces of any size.
struct PeChecksum {
  uint32_t checksumoffset = 0;
  uint64_t position = 0;
  uint64_t sum = 0;
};
void AddPeChecksum(PeChecksum* checksum, const uint8_t* bytes, size_t count);
uint32_t FinishPeChecksum(const PeChecksum& checksum);
