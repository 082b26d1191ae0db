// The package writer: builds an archive (header, check pair, LZMA properties,
// one raw LZMA1 stream of entries ending with the end marker, trailer) and a
// loader file (a stub executable stamped in its DOS header, the archive
// directly after it). Host-side only; the loader never writes packages.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <functional>
#include <string>
#include <vector>

struct PackageEntry {
  uint32_t idlow = 0;
  uint32_t idhigh = 0;
  // The entry's bytes come from `path` when it is not empty (read in pieces,
  // so large inputs never sit in memory whole), else from `data`.
  std::vector<uint8_t> data;
  std::string path;
  uint64_t lastwritetime = 0;  // FILETIME
  uint64_t othertime = 0;      // FILETIME; no reader uses it
  uint32_t attributes = 0x80;  // FILE_ATTRIBUTE_NORMAL
  // Set when the size and CRC32 were taken before (the data archive's index
  // holds them): a file that differs at packing is reported, not packed.
  bool known = false;
  uint64_t knownsize = 0;
  uint32_t knowncrc = 0;
};

// The largest dictionary that the packer chooses by itself: the loader
// commits the whole dictionary before it decodes a byte. 64 MiB lets each
// installer build of up to about 64 MiB refer to the one before it: three
// 40 MiB builds sharing their data files packed into 25.2 MB with it,
// against 75.3 MB with 32 MiB and 78.2 MB with 8 MiB, and listed in a third
// of the time (scripts/bench-dictionary).
#define DEFAULT_DICTIONARY_CAP (64u << 20)
// The smallest and largest dictionaries the encoder takes.
#define MIN_DICTIONARY_SIZE 4096u
#define MAX_DICTIONARY_SIZE (1536u << 20)

struct PackageOptions {
  uint32_t lc = 3;
  uint32_t lp = 0;
  uint32_t pb = 2;
  // 0: sized to the payload (DictionaryForPayload) up to `dictionarycap`.
  uint32_t dictionarysize = 0;
  uint32_t dictionarycap = DEFAULT_DICTIONARY_CAP;
  uint32_t preset = 6;  // 0 to 9: the encoder's effort; lc, lp, pb and the dictionary above override it
  bool extreme = false;
  uint32_t archiveflags = 0;
  uint32_t headermagic = 0;  // the word at +0 of the archive header ("pxda" for a data archive)
  // Stores each entry's CRC32 in its header and announces it with
  // ArchiveFlags bit 1, so that the loader refuses corrupted data.
  bool entrycrc = true;
  uint32_t checkfirst = 0x5F3759DFu;  // any word; the second is this XOR the check constant
  // The data archive's layout: 0 writes one solid stream (locator format
  // 1); any other value, the block layout (format 2) with blocks of that
  // many uncompressed bytes (DATA_BLOCK_MIN to DATA_BLOCK_MAX).
  uint32_t datablock = 0;
  // Threads that compress the blocks; 0: one per core. The output is the
  // same whatever the number.
  uint32_t threads = 0;
  // The most memory the block encoder's threads may take together; 0: half
  // of the machine's memory. Fewer threads are used rather than more
  // memory (each takes about 11 times the dictionary, 64 MiB blocks near
  // 800 MiB), down to one, which is used whatever it needs.
  uint64_t memorylimit = 0;
  // Called (when set) with the count of input bytes of each piece once it
  // is encoded: the progress of a long pack.
  std::function<void(uint64_t)> onencoded;
};

// The smallest power of two, at least 4 KiB, not below `payload` (the
// decompressed stream's size), but no more than `cap`: a dictionary larger
// than the stream buys nothing and costs the loader memory.
uint32_t DictionaryForPayload(uint64_t payload, uint32_t cap);

// The decompressed stream's size: each entry's 64-byte header and data
// (files measured now; one that cannot be measured counts as huge).
uint64_t PayloadSize(const std::vector<PackageEntry>& entries);

// The dictionary that WriteArchiveTo writes with these options.
uint32_t ChosenDictionary(const std::vector<PackageEntry>& entries, const PackageOptions& options);

// Puts the entries in the order in which the packer stores them by default:
// the installer build for NT x64 first (most systems choose it, and the
// loader decodes every entry before the one it extracts), then NT x86, then
// the generic build, then the other entries; each group in the given order.
void OrderEntriesForLoading(std::vector<PackageEntry>* entries);

// Receives the output bytes in order; returns 0 or a result code, which ends
// the writing and is passed on.
using PackageSink = std::function<uint32_t(const uint8_t* bytes, size_t count)>;

// Writes the archive to `sink`. Returns 0, or: 87 for options the encoder
// refuses (lc + lp above 4, a dictionary below 4 KiB, a preset above 9),
// 8 when the encoder's memory cannot be had, the system error of an input
// file that cannot be opened or read, 38 when an input file is shorter at
// reading than when it was measured, 30 when it is longer or its bytes
// change between the reading for the CRC32 and the packing; any result of the
// sink. `failedentry` (may be null) gets the index of the entry whose input
// failed, or SIZE_MAX. On failure the sink may have received part of it.
uint32_t WriteArchiveTo(const std::vector<PackageEntry>& entries, const PackageOptions& options,
                        const PackageSink& sink, size_t* failedentry = nullptr);
// The same, appended to `out`.
uint32_t WriteArchive(const std::vector<PackageEntry>& entries, const PackageOptions& options,
                      std::vector<uint8_t>* out);

// One item of a data archive: a file, read from `path` (or `data` when
// `path` is empty), or a directory.
struct DataArchiveItem {
  std::string name;  // relative, '/' between components
  std::string path;
  std::vector<uint8_t> data;
  bool directory = false;
  uint64_t lastwritetime = 0;  // FILETIME
  uint32_t attributes = 0x80;  // FILE_ATTRIBUTE_DIRECTORY is added for a directory
};

// The bytes of the data archive's index for `items`, with each file's size
// and CRC32 taken now. 0, or the system error of a file that cannot be read
// (`faileditem` gets its index).
uint32_t BuildDataIndex(const std::vector<DataArchiveItem>& items, std::vector<uint8_t>* index,
                        std::vector<PackageEntry>* entries, size_t* faileditem);

// Writes the data archive to `sink`: with `options.datablock` 0 the solid
// layout ("pxda" at +0 of its header; the index entry, then one entry per
// item, CRC32s always), its dictionary sized to its own payload, up to
// `options.dictionarycap`; else the block layout (package/data_archive.h),
// its blocks compressed on `options.threads` threads, each block's
// dictionary the block size (up to the cap). Results as WriteArchiveTo's,
// and 87 for a block size out of range; `faileditem` gets the index of the
// item whose input failed, or SIZE_MAX. `locatoroffset` (may be null) gets
// where the locator must point, counted from the data archive's first byte
// (0 for the solid layout, the head for the block layout).
uint32_t WriteDataArchiveTo(const std::vector<DataArchiveItem>& items, const PackageOptions& options,
                            const PackageSink& sink, size_t* faileditem = nullptr, uint64_t* locatoroffset = nullptr);

// The threads that compress a data archive's blocks: `requested`, or one
// per core for 0, fewer while `memoryfor(threads)` (the encoder's need for
// that many, UINT64_MAX when unknown) passes `memorylimit` (0: half of the
// machine's memory), at least one. The output does not depend on it.
uint32_t DataEncoderThreads(uint32_t requested, uint64_t memorylimit,
                            const std::function<uint64_t(uint32_t)>& memoryfor);

// The locator format of the data archive that `options` write.
uint32_t DataLocatorFormatFor(const PackageOptions& options);

// Appends the data archive to the loader file `file` (whose own archive
// starts at `archiveoffset`) and writes its locator there.
uint32_t AppendDataArchive(const std::vector<DataArchiveItem>& items, const PackageOptions& options,
                           uint32_t archiveoffset, std::vector<uint8_t>* file);

// Copies the stub's DOS header and stamps it for an archive that starts right
// after the stub: 0x1C the archive offset, 0x20 its complement, 0x24 "pxr5",
// 0x28 the platform flags byte (0x29 to 0x2B zero), 0x2C the archive offset,
// 0x30 to 0x3B zero but for e_lfanew at 0x3C, which stays. 193 when the stub
// does not begin with "MZ" or is shorter than 64 bytes, 223 when it is too
// large for a 31-bit archive offset.
uint32_t StampLoaderHeader(const std::vector<uint8_t>& stub, uint32_t platformflags, uint8_t header[64]);

// Writes the stamped stub, then the archive, to `sink`.
uint32_t WriteLoaderFileTo(const std::vector<uint8_t>& stub, uint32_t platformflags,
                           const std::vector<PackageEntry>& entries, const PackageOptions& options,
                           const PackageSink& sink, size_t* failedentry = nullptr);
// The same, appended to `out`.
uint32_t WriteLoaderFile(const std::vector<uint8_t>& stub, uint32_t platformflags,
                         const std::vector<PackageEntry>& entries, const PackageOptions& options,
                         std::vector<uint8_t>* out);
