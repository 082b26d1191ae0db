// The package's on-disk records, decoded from and encoded to little-endian
// bytes. No record is overlaid on file bytes, so the layout never depends on
// the compiler or on the host's byte order.
#pragma once

#include <stdint.h>

// Sizes and offsets.
#define LOADER_STAMP_SIZE 64u          // the DOS header that holds the stamp
#define ARCHIVE_HEADER_SIZE 64u
#define CHECK_PAIR_SIZE 8u
#define LZMA_PROPERTIES_SIZE 5u
#define STREAM_OFFSET 77u              // from ArchiveOffset to the LZMA stream
#define ENTRY_HEADER_SIZE 64u
#define ARCHIVE_TRAILER_SIZE 16u

// Magics, as 32-bit little-endian words of their four bytes in file order.
#define DOS_SIGNATURE 0x5A4Du          // "MZ"
#define STAMP_MAGIC 0x35727870u        // "pxr5"
#define ARCHIVE_MAGIC 0x336F6D67u      // "gmo3"
#define ENTRY_MAGIC 0x33656667u        // "gfe3"
#define TRAILER_MAGIC 0x336E6667u      // "gfn3"
#define TRAILER_WORD 0xCC9A858Bu       // bytes 8B 85 9A CC
#define FORMAT_VERSION 0x00050001u
#define CHECK_PAIR_XOR 0x35BC6F82u
#define ARCHIVE_FLAG_ENCRYPTED_CHECK 0x01u  // selects 6001 for a bad CheckPair
#define ARCHIVE_FLAG_ENTRY_CRC 0x02u        // each EntryHeader holds its data's CRC32 at +44

// Stamp offsets in the DOS header.
#define STAMP_OFFSET_MAGIC 0x24u
#define STAMP_OFFSET_FLAGS 0x28u
#define STAMP_OFFSET_ARCHIVE 0x2Cu

// The installer builds' entry ids: high half 0xFFFFFFFF, low half below.
#define INSTALLER_ID_HIGH 0xFFFFFFFFu
#define GENERIC_INSTALLER_ID_LOW 0xFFFF0008u
#define NT_X86_INSTALLER_ID_LOW 0xFFFF0009u
#define NT_X64_INSTALLER_ID_LOW 0xFFFF000Au
#define GenericInstallerId 0xFFFFFFFFFFFF0008ull
#define NtX86InstallerId 0xFFFFFFFFFFFF0009ull
#define NtX64InstallerId 0xFFFFFFFFFFFF000Aull

// PlatformFlags bits: which installer builds the package holds.
#define PLATFORM_FLAG_GENERIC 0x01u
#define PLATFORM_FLAG_NT_X86 0x02u
#define PLATFORM_FLAG_NT_X64 0x04u

struct LoaderStamp {
  uint16_t dossignature;
  uint32_t stampmagic;
  uint8_t platformflags;
  uint32_t archiveoffset;
};

struct ArchiveHeader {
  uint32_t archivemagic;
  uint32_t formatversion;
  uint32_t archiveflags;
};

struct CheckPair {
  uint32_t first;
  uint32_t second;
};

struct LzmaProperties {
  uint32_t lc;
  uint32_t lp;
  uint32_t pb;
  uint32_t dictionarysize;
};

struct EntryHeader {
  uint32_t entrymagic;
  uint32_t mustbezero;
  uint32_t idlow;
  uint32_t idhigh;
  uint64_t datasize;
  uint64_t othertime;
  uint64_t lastwritetime;
  uint32_t attributes;
  uint32_t datacrc;  // +44: CRC32 of the data, when ArchiveFlags announces it
};

uint16_t ReadLe16(const uint8_t* bytes);
uint32_t ReadLe32(const uint8_t* bytes);
uint64_t ReadLe64(const uint8_t* bytes);
void WriteLe16(uint8_t* bytes, uint16_t value);
void WriteLe32(uint8_t* bytes, uint32_t value);
void WriteLe64(uint8_t* bytes, uint64_t value);

// Decoders from the record's bytes (LOADER_STAMP_SIZE, ARCHIVE_HEADER_SIZE, ...).
void DecodeLoaderStamp(const uint8_t* bytes, LoaderStamp* stamp);
void DecodeArchiveHeader(const uint8_t* bytes, ArchiveHeader* header);
void DecodeCheckPair(const uint8_t* bytes, CheckPair* pair);
void DecodeEntryHeader(const uint8_t* bytes, EntryHeader* header);

// A valid stamp has "MZ" and "pxr5".
bool StampIsValid(const LoaderStamp* stamp);

// 0 when the pair holds; else 6001 with ArchiveFlags bit 0 set, 13 without.
uint32_t CheckPairResult(const CheckPair* pair, uint32_t archiveflags);

// Decodes the five property bytes. 0, or 1114 when the byte is 225 or more.
// A DictionarySize of 0 is read as 1.
uint32_t DecodeLzmaProperties(const uint8_t* bytes, LzmaProperties* properties);

// Encoders, for the package writer.
void EncodeEntryHeader(const EntryHeader* header, uint8_t* bytes);
uint8_t EncodePropertiesByte(uint32_t lc, uint32_t lp, uint32_t pb);
