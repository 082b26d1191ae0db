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
// - Format 2, the block layout: the locator names the head, the last 64
//   bytes of the data archive, which is laid out as
//     [.xz stream of the items' data][.xz stream of the index][head]
//   The data stream is a standard .xz stream (CRC32 checks) of LZMA2
//   blocks: the data of every item, in the index's order and without
//   anything between, is cut into blocks of `blocksize` bytes (the last
//   shorter), each compressed on its own, so that any block decodes
//   without the ones before it and blocks decode on several threads. The
//   index is version 2: the version-1 item table, the block count at +12,
//   and after the items one record per block (DATA_BLOCK_RECORD_SIZE
//   bytes): its offset in the data stream (8), its compressed size as the
//   .xz index counts it, header, padding and check included (8), its
//   uncompressed size (8), the number of the item holding its first byte
//   (4) and a zero word. The head: "pxdb", version 2, the data stream's
//   size (8), the index stream's stored (4) and decoded (4) sizes, the
//   block size (4), the block count (4), the items' data in all (8), the
//   block check (4: 1, CRC32), zeros to +60 and the CRC32 of bytes 0-59.
//
// Shared by the installer library and pxq; no standard library here.
#pragma once

#include <stdint.h>

#include "package/archive_reader.h"

#define DATA_LOCATOR_MAGIC 0x64717870u   // "pxqd"
#define DATA_LOCATOR_FORMAT 1u
#define DATA_LOCATOR_FORMAT_BLOCKS 2u   // the block layout
#define DATA_LOCATOR_FORMAT_NEWEST 2u
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

#define DATA_HEAD_MAGIC 0x62647870u      // "pxdb"
#define DATA_HEAD_VERSION 2u
#define DATA_HEAD_SIZE 64u
#define DATA_INDEX_VERSION_BLOCKS 2u
#define DATA_BLOCK_RECORD_SIZE 32u
#define DATA_BLOCK_CHECK_CRC32 1u        // the .xz check id of CRC32
// The block size pack chooses: large enough that restarting the coder at
// each block costs about 1% against a solid stream on trees of distinct
// binaries (the README's "The block size" gives the measurements), while a
// 2 GB archive still has 32 blocks to share between cores. A decoding
// thread holds about three blocks' worth (the block in, the block out, the
// dictionary), which the installer library bounds.
#define DATA_BLOCK_DEFAULT (64u << 20)
#define DATA_BLOCK_MIN (64u << 10)
#define DATA_BLOCK_MAX (256u << 20)       // the largest block a reader takes

// Writes the 16-byte locator for a data archive of `format` at `offset` (for
// the block layout, the offset of its head).
void EncodeDataLocator(uint64_t offset, uint8_t locator[16], uint32_t format = DATA_LOCATOR_FORMAT);

// The offset that a loader archive header's first 16 bytes locate; false
// when they hold no locator (a file without a data archive) or one of a
// format this reader does not know (DataLocatorFormat tells which).
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
// no index of `version` (magic, version, a count more than the bytes can
// hold). Version 2 also gives the block count (`blocks` may be null for 1).
uint32_t ReadDataIndexHeader(const uint8_t* index, uint32_t size, uint32_t* count,
                             uint32_t version = DATA_INDEX_VERSION, uint32_t* blocks = nullptr);

// The head of the block layout.
struct DataHead {
  uint64_t streamsize;    // bytes of the data's .xz stream
  uint32_t indexsize;     // bytes of the index's .xz stream
  uint32_t indexdecoded;  // bytes of the index decoded
  uint32_t blocksize;     // uncompressed bytes of every block but the last
  uint32_t blockcount;
  uint64_t datasize;      // the items' data in all
  uint32_t check;         // DATA_BLOCK_CHECK_CRC32
};
void EncodeDataHead(const DataHead* head, uint8_t bytes[DATA_HEAD_SIZE]);

// 0, or 13 when the bytes are no head: magic, version, CRC32, a block size
// outside DATA_BLOCK_MIN to DATA_BLOCK_MAX, a block count that does not
// cut `datasize` into blocks of `blocksize`, an index beyond DATA_INDEX_MAX,
// another check.
uint32_t DecodeDataHead(const uint8_t bytes[DATA_HEAD_SIZE], DataHead* head);

// One block of the block layout, as the index records it.
struct DataBlock {
  uint64_t offset;        // of its header in the data stream
  uint64_t size;          // compressed: header, data, padding and check
  uint64_t uncompressed;
  uint32_t firstitem;     // the number (from 1) of the item holding its first byte
};
void EncodeDataBlock(const DataBlock* block, uint8_t bytes[DATA_BLOCK_RECORD_SIZE]);
// Reads the block record at `*position` and moves past it; 13 when it runs
// past the end or its last word is not zero.
uint32_t ReadDataBlock(const uint8_t* index, uint32_t size, uint32_t* position, DataBlock* block);

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
