// Loader files with a data archive, for the tests of the installer library
// and of pxq's data commands: items as pack would give them, a loader file
// around them, one that pack never writes, and pxq started with the
// signals' default actions.
#pragma once

#include <stdint.h>
#include <sys/types.h>

#include <string>
#include <vector>

#include "tools/writer/writer.h"

// The last-write time the fixtures give every item.
extern const uint64_t kDataTime;

std::vector<uint8_t> TextBytes(const std::string& text);

// A file item; `attributes` 0x80 is FILE_ATTRIBUTE_NORMAL.
DataArchiveItem DataFile(const std::string& name, const std::string& text = "x", uint32_t attributes = 0x80);
DataArchiveItem DataFile(const std::string& name, std::vector<uint8_t> bytes, uint32_t attributes = 0x80);
DataArchiveItem DataFolder(const std::string& name);

// Where the loader's archive starts in the fixtures' loader files: after a
// 512-byte stand-in for the stub.
const uint32_t kDataArchiveOffset = 512;

// A loader file with one NT x64 build and no data archive.
std::vector<uint8_t> LoaderWithoutData();

// A loader file whose data archive holds `items`; its offset in `*at`.
std::vector<uint8_t> LoaderWithData(const std::vector<DataArchiveItem>& items, uint64_t* at = nullptr);

// Bytes that compress a little but not to nothing, so that every block of
// an archive in blocks has work.
std::vector<uint8_t> NoiseBytes(size_t size, uint32_t seed);

// A loader file whose data archive holds `items` in the block layout, in
// blocks of `block` bytes compressed on `threads` threads (0: one per core).
std::vector<uint8_t> LoaderWithBlocks(const std::vector<DataArchiveItem>& items, uint32_t block, uint32_t threads = 0);

// A loader file whose data archive's stream holds an entry for every one of
// `items` but whose index lists only the first: what pack never writes.
std::vector<uint8_t> LoaderWithUnindexedEntry(const std::vector<DataArchiveItem>& items);

// Starts pxq with `arguments` and the signals' default actions, whatever
// the test runner set, `environment` added to this process's; -1 when it
// cannot start.
pid_t StartPxqProcess(const std::string& pxq, const std::vector<std::string>& arguments,
                      const std::vector<std::string>& environment = {});
