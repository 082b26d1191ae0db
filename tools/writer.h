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
};

struct PackageOptions {
  uint32_t lc = 3;
  uint32_t lp = 0;
  uint32_t pb = 2;
  uint32_t dictionarysize = 8u << 20;
  uint32_t preset = 6;  // 0 to 9: the encoder's effort; lc, lp, pb and the dictionary above override it
  bool extreme = false;
  uint32_t archiveflags = 0;
  uint32_t checkfirst = 0x5F3759DFu;  // any word; the second is this XOR the check constant
};

// Receives the output bytes in order; returns 0 or a result code, which ends
// the writing and is passed on.
using PackageSink = std::function<uint32_t(const uint8_t* bytes, size_t count)>;

// Writes the archive to `sink`. Returns 0, or: 87 for options the encoder
// refuses (lc + lp above 4, a dictionary below 4 KiB, a preset above 9),
// 8 when the encoder's memory cannot be had, the system error of an input
// file that cannot be opened or read, 38 when an input file is shorter at
// reading than when it was measured, 30 when it is longer; any result of the
// sink. `failedentry` (may be null) gets the index of the entry whose input
// failed, or SIZE_MAX. On failure the sink may have received part of it.
uint32_t WriteArchiveTo(const std::vector<PackageEntry>& entries, const PackageOptions& options,
                        const PackageSink& sink, size_t* failedentry = nullptr);
// The same, appended to `out`.
uint32_t WriteArchive(const std::vector<PackageEntry>& entries, const PackageOptions& options,
                      std::vector<uint8_t>* out);

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
