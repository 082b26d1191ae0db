#include "support/data_fixture.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>

#include "package/data_archive.h"
#include "package/records.h"
#include "platform/filetime.h"
#include "support/package_fixture.h"

extern char** environ;

const uint64_t kDataTime = FileTimeFromUnix(1700000000, 0);

std::vector<uint8_t> TextBytes(const std::string& text) { return std::vector<uint8_t>(text.begin(), text.end()); }

DataArchiveItem DataFile(const std::string& name, const std::string& text, uint32_t attributes) {
  return DataFile(name, TextBytes(text), attributes);
}

DataArchiveItem DataFile(const std::string& name, std::vector<uint8_t> bytes, uint32_t attributes) {
  DataArchiveItem item;
  item.name = name;
  item.data = std::move(bytes);
  item.lastwritetime = kDataTime;
  item.attributes = attributes;
  return item;
}

DataArchiveItem DataFolder(const std::string& name) {
  DataArchiveItem item;
  item.name = name;
  item.directory = true;
  item.lastwritetime = kDataTime;
  item.attributes = FILE_ATTRIBUTE_DIRECTORY;
  return item;
}

std::vector<uint8_t> LoaderWithoutData() {
  std::vector<uint8_t> stub(kDataArchiveOffset, 0);
  stub[0] = 'M';
  stub[1] = 'Z';
  std::vector<uint8_t> file;
  EXPECT_EQ(0u, WriteLoaderFile(stub, PLATFORM_FLAG_NT_X64, {MakeEntry(NtX64InstallerId, PatternBytes(300, 7))},
                                SmallOptions(), &file));
  return file;
}

std::vector<uint8_t> LoaderWithData(const std::vector<DataArchiveItem>& items, uint64_t* at) {
  std::vector<uint8_t> file = LoaderWithoutData();
  if (at != nullptr) *at = file.size();
  EXPECT_EQ(0u, AppendDataArchive(items, SmallOptions(), kDataArchiveOffset, &file));
  return file;
}

std::vector<uint8_t> NoiseBytes(size_t size, uint32_t seed) {
  std::vector<uint8_t> bytes(size);
  uint32_t state = seed;
  for (size_t i = 0; i < size; ++i) {
    state = state * 1103515245u + 12345u;
    bytes[i] = static_cast<uint8_t>((state >> 16) % 40);
  }
  return bytes;
}

std::vector<uint8_t> LoaderWithBlocks(const std::vector<DataArchiveItem>& items, uint32_t block, uint32_t threads) {
  std::vector<uint8_t> file = LoaderWithoutData();
  PackageOptions options = SmallOptions();
  options.datablock = block;
  options.threads = threads;
  EXPECT_EQ(0u, AppendDataArchive(items, options, kDataArchiveOffset, &file));
  return file;
}

std::vector<uint8_t> LoaderWithUnindexedEntry(const std::vector<DataArchiveItem>& items) {
  std::vector<uint8_t> index, unused;
  std::vector<PackageEntry> first, all;
  size_t failed = 0;
  std::vector<uint8_t> file = LoaderWithoutData();
  uint64_t at = file.size();
  EXPECT_EQ(0u, BuildDataIndex({items[0]}, &index, &first, &failed));
  EXPECT_EQ(0u, BuildDataIndex(items, &unused, &all, &failed));
  all.insert(all.begin(), MakeEntry(DATA_INDEX_ID, index));
  PackageOptions options = SmallOptions();
  options.headermagic = DATA_ARCHIVE_MAGIC;
  options.entrycrc = true;
  options.dictionarysize = 0;  // sized to the stream, as pack sizes it
  EXPECT_EQ(0u, WriteArchiveTo(all, options, [&](const uint8_t* bytes, size_t count) -> uint32_t {
    file.insert(file.end(), bytes, bytes + count);
    return 0;
  }));
  EncodeDataLocator(at, file.data() + kDataArchiveOffset);
  return file;
}

pid_t StartPxqProcess(const std::string& pxq, const std::vector<std::string>& arguments,
                      const std::vector<std::string>& environment) {
  std::vector<std::string> words = {pxq};
  words.insert(words.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (auto& word : words) argv.push_back(&word[0]);
  argv.push_back(nullptr);
  std::vector<std::string> variables = environment;
  for (char** variable = environ; *variable != nullptr; ++variable) variables.push_back(*variable);
  std::vector<char*> envp;
  for (auto& variable : variables) envp.push_back(&variable[0]);
  envp.push_back(nullptr);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t all, none;
  sigfillset(&all);
  sigemptyset(&none);
  posix_spawnattr_setsigdefault(&attributes, &all);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  pid_t pid = -1;
  int result = posix_spawn(&pid, argv[0], nullptr, &attributes, argv.data(), envp.data());
  posix_spawnattr_destroy(&attributes);
  EXPECT_EQ(0, result);
  return result == 0 ? pid : -1;
}
