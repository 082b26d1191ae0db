// The data archive: the product files that an installer reads from the loader
// file, in a second archive after the loader's own. The loader never reads
// it; installers find it through the locator in bytes of the loader's archive
// header that the loader does not read, so that locating it takes a fixed
// number of reads whatever the size of the installer builds.
//
// Layout (all little-endian):
// - Locator, in the loader's archive header: +0 "pxqd", +4 the data
//   archive's format (1), +8 its offset from the start of the file (64 bits).
// - The data archive: the loader's archive format, with "pxda" at +0 of its
//   header. Its stream holds first the index entry (id DATA_INDEX_ID), then
//   one entry per item of the index, in the index's order, whose id is the
//   item's number (from 1) and whose header repeats the item's size, time
//   and attributes. A directory is an entry of no data with
//   FILE_ATTRIBUTE_DIRECTORY.
// - The index: "pxdi", version 1, the item count, a zero word; then per item
//   its size (8 bytes), last-write time (8), attributes (4), CRC32 of its
//   data (4), name length in bytes (4) and the name: UTF-8, '/' between
//   components, relative, without a terminator.
//
// Shared by the installer library and pxq; no standard library here.
#pragma once

#include <stdint.h>

#include "package/archive_reader.h"

#define DATA_LOCATOR_MAGIC 0x64717870u   // "pxqd"
#define DATA_LOCATOR_FORMAT 1u
#define DATA_ARCHIVE_MAGIC 0x61647870u   // "pxda", at +0 of the data archive's header
#define DATA_INDEX_MAGIC 0x69647870u     // "pxdi"
#define DATA_INDEX_VERSION 1u
#define DATA_INDEX_ID 0xFFFFFFFFFFFF0100ull
#define DATA_INDEX_ID_LOW 0xFFFF0100u
#define DATA_INDEX_ID_HIGH 0xFFFFFFFFu
#define DATA_INDEX_HEADER_SIZE 16u
#define DATA_RECORD_SIZE 28u             // a record before its name
#define DATA_NAME_MAX 1024u              // bytes of one name
#define DATA_INDEX_MAX (64u << 20)       // the largest index a reader takes

#define DATA_DICTIONARY_MAX (1536u << 20)  // the largest dictionary pack writes
#define DATA_DICTIONARY_MIN 4096u

// Writes the 16-byte locator for a data archive at `offset`.
void EncodeDataLocator(uint64_t offset, uint8_t locator[16]);

// The data archive's offset from a loader archive header's first 16 bytes;
// false when they hold no locator (a file without a data archive) or one
// of another format (DataLocatorFormat tells).
bool DecodeDataLocator(const uint8_t* header, uint64_t* offset);

// The format of the locator in a loader archive header's first 16 bytes:
// 0 when they hold none, DATA_LOCATOR_FORMAT for the one read here, any
// other number for a format of a newer writer.
uint32_t DataLocatorFormat(const uint8_t* header);

// The most dictionary a stream of `payload` decoded bytes needs: the
// smallest power of two that holds it, from DATA_DICTIONARY_MIN up to
// DATA_DICTIONARY_MAX, as pack chooses it.
uint32_t DataDictionaryFor(uint64_t payload);

// One item of the index. `name` points into the index (not terminated).
struct DataItem {
  uint64_t size;
  uint64_t lastwritetime;
  uint32_t attributes;
  uint32_t crc;
  uint32_t namelength;
  const char* name;
};

// Reads the index's header: 0 with the item count, or 13 when the bytes are
// no index (magic, version, a count more than the bytes can hold).
uint32_t ReadDataIndexHeader(const uint8_t* index, uint32_t size, uint32_t* count);

// Reads the item at `*position` (DATA_INDEX_HEADER_SIZE for the first) and
// moves past it. 0, or 13 when the record runs past the end, its name is
// empty or longer than DATA_NAME_MAX, or a directory has a size.
uint32_t ReadDataItem(const uint8_t* index, uint32_t size, uint32_t* position, DataItem* item);

// Why a name cannot be written inside a target directory, on Windows or
// elsewhere: DataNameSafe when it can.
enum DataNameFault {
  DataNameSafe = 0,
  DataNameEmpty,          // an empty name or component ("a//b", "a/")
  DataNameAbsolute,       // begins with '/' or '\'
  DataNameDrive,          // a drive letter ("C:...")
  DataNameStream,         // ':' elsewhere: an NTFS stream
  DataNameParent,         // a ".." component
  DataNameDot,            // a "." component
  DataNameBackslash,      // '\', a separator on Windows
  DataNameDevice,         // CON, PRN, AUX, NUL, COM1-9, LPT1-9, CONIN$, CONOUT$
  DataNameCharacter,      // a control character or one of < > " | ? *
  DataNameTrailing,       // a component ending in '.' or ' ', which Windows drops
  DataNameEncoding,       // not UTF-8
  DataNameLength,         // longer than DATA_NAME_MAX bytes, or a component over 255 characters
};
DataNameFault CheckDataName(const char* name, uint32_t length);

// The fault in words, completing "the name ...".
const char* DataNameFaultText(DataNameFault fault);

// Opens the archive at `offset` of the already open `file` (which the reader
// then owns and closes): verifies its header, check pair and properties and
// sets up the decoder, as OpenArchive does. Offsets take 64 bits. The
// decoder's dictionary is at most `dictionarylimit` bytes: enough for a
// stream read no further than that many bytes. `*declared` (may be null)
// gets the dictionary size that the properties declare.
uint32_t OpenArchiveOnHandle(ArchiveReader* reader, HANDLE file, uint64_t offset,
                             uint32_t dictionarylimit = 0xFFFFFFFFu, uint32_t* declared = nullptr);
