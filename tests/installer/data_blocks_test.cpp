// The data archive in blocks: what pack writes by default. Every entry
// reads back whole and the same by every call; one entry, or a chosen few,
// is reached by decoding only its own blocks; the stream is a standard .xz
// stream that xz itself reads, and the same whatever the number of threads
// that packed it; damage anywhere is refused.
#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "package/data_archive.h"
#include "package/records.h"
#include "pxq/installer_data.h"
#include "support/data_fixture.h"
#include "support/file_bytes.h"
#include "support/package_fixture.h"
#include "support/scratch_dir.h"
#include "tools/writer/writer.h"

namespace {

const uint32_t kBlock = 64u << 10;

// A big file spanning blocks, small files sharing one, an empty file and a folder.
std::vector<DataArchiveItem> Product() {
  return {DataFile("big.bin", NoiseBytes(3 * kBlock + 1000, 1)), DataFolder("docs"), DataFile("docs/a.txt", "alpha"),
          DataFile("docs/b.txt", "beta"),                    DataFile("empty", ""),
          DataFile("tail.bin", NoiseBytes(kBlock / 2, 2))};
}

std::vector<uint8_t> BlockFile(const std::vector<DataArchiveItem>& items, uint32_t threads = 2) {
  return LoaderWithBlocks(items, kBlock, threads);
}

uint32_t Collect(void* context, const void* bytes, size_t count) {
  auto* out = static_cast<std::vector<uint8_t>*>(context);
  out->insert(out->end(), static_cast<const uint8_t*>(bytes), static_cast<const uint8_t*>(bytes) + count);
  return 0;
}

// The data stream's bytes, as the head places them.
std::vector<uint8_t> DataStream(const std::vector<uint8_t>& file) {
  const uint8_t* head = file.data() + file.size() - DATA_HEAD_SIZE;
  uint64_t streamsize = ReadLe64(head + 8);
  uint32_t indexsize = ReadLe32(head + 16);
  size_t start = file.size() - DATA_HEAD_SIZE - indexsize - streamsize;
  return std::vector<uint8_t>(file.begin() + start, file.begin() + start + streamsize);
}

struct DataBlocks : ::testing::Test {
  ScratchDir dir;
  std::string loader = dir.File("setup.exe");
  PxqData* data = nullptr;
  ~DataBlocks() override { PxqDataClose(data); }

  uint32_t Open(const std::vector<uint8_t>& file) {
    PxqDataClose(data);
    data = nullptr;
    WriteFileBytes(loader, file);
    return PxqDataOpen(loader.c_str(), &data);
  }
  std::string Message() const { return PxqDataMessage(data); }
  uint32_t Stream(const char* name, std::vector<uint8_t>* out) {
    out->clear();
    return PxqDataExtractStream(data, name, Collect, out);
  }
};

TEST_F(DataBlocks, EveryEntryReadsBackTheSameByEveryCall) {
  std::vector<DataArchiveItem> items = Product();
  std::vector<uint8_t> file = BlockFile(items);
  ASSERT_EQ(DATA_LOCATOR_FORMAT_BLOCKS, DataLocatorFormat(file.data() + kDataArchiveOffset));
  ASSERT_EQ(0u, Open(file)) << Message();
  ASSERT_EQ(items.size(), PxqDataCount(data));
  EXPECT_EQ(0u, PxqDataVerify(data, nullptr, nullptr)) << Message();
  std::string all = dir.File("all");
  ASSERT_EQ(0u, PxqDataExtractAll(data, all.c_str(), nullptr, nullptr)) << Message();
  for (const DataArchiveItem& item : items) {
    if (item.directory) continue;
    std::vector<uint8_t> streamed;
    ASSERT_EQ(0u, Stream(item.name.c_str(), &streamed)) << item.name << ": " << Message();
    EXPECT_EQ(item.data, streamed) << item.name;
    EXPECT_EQ(item.data, ReadFileBytes(all + "/" + item.name)) << item.name;
    std::string one = dir.File("one");
    ASSERT_EQ(0u, PxqDataExtractTo(data, item.name.c_str(), one.c_str())) << Message();
    EXPECT_EQ(item.data, ReadFileBytes(one)) << item.name;
  }
}

// The same items and block size give the same bytes whatever the number of
// threads that compressed the blocks.
TEST_F(DataBlocks, TheOutputIsTheSameForAnyNumberOfThreads) {
  std::vector<DataArchiveItem> items = Product();
  std::vector<uint8_t> one = BlockFile(items, 1);
  EXPECT_EQ(one, BlockFile(items, 2));
  EXPECT_EQ(one, BlockFile(items, 3));
}

// xz, an independent reader, lists the blocks and decodes the stream to the
// items' data one after the other.
TEST_F(DataBlocks, XzReadsTheDataStream) {
  if (system("xz --version >/dev/null 2>&1") != 0) GTEST_SKIP() << "xz is not installed";
  std::vector<DataArchiveItem> items = Product();
  std::string xzfile = dir.File("data.xz");
  WriteFileBytes(xzfile, DataStream(BlockFile(items)));
  std::vector<uint8_t> expected;
  for (const DataArchiveItem& item : items) expected.insert(expected.end(), item.data.begin(), item.data.end());
  std::string decoded = dir.File("decoded");
  ASSERT_EQ(0, system(("xz -dc '" + xzfile + "' > '" + decoded + "'").c_str()));
  EXPECT_EQ(expected, ReadFileBytes(decoded));
  std::string listing = dir.File("listing");
  ASSERT_EQ(0, system(("xz --robot -lvv '" + xzfile + "' > '" + listing + "'").c_str()));
  std::string text = ReadFileText(listing);
  size_t blocks = 0;
  for (size_t at = text.find("\nblock\t"); at != std::string::npos; at = text.find("\nblock\t", at + 1)) ++blocks;
  EXPECT_EQ((expected.size() + kBlock - 1) / kBlock, blocks) << text;
  EXPECT_NE(std::string::npos, text.find("CRC32")) << text;
}

// A block that an entry does not lie in is never decoded for it: with
// another block damaged, the entry still reads, while the whole archive is
// refused.
TEST_F(DataBlocks, OneEntryOrAChosenFewDecodeOnlyTheirBlocks) {
  std::vector<DataArchiveItem> items = Product();
  std::vector<uint8_t> file = BlockFile(items);
  ASSERT_EQ(0u, Open(file)) << Message();
  // Damage a third of the way into the stream: in the big file's second
  // block, long before the last block, which holds every other entry.
  std::vector<uint8_t> stream = DataStream(file);
  size_t streamstart = file.size() - DATA_HEAD_SIZE - ReadLe32(file.data() + file.size() - DATA_HEAD_SIZE + 16) -
                       stream.size();
  std::vector<uint8_t> bad = file;
  bad[streamstart + stream.size() / 3] ^= 0x55;
  ASSERT_EQ(0u, Open(bad)) << Message();
  std::vector<uint8_t> streamed;
  EXPECT_EQ(0u, Stream("tail.bin", &streamed)) << Message();
  EXPECT_EQ(items[5].data, streamed);
  EXPECT_EQ(0u, Stream("docs/a.txt", &streamed)) << Message();
  const char* chosen[] = {"docs/", "TAIL.BIN"};
  std::string some = dir.File("some");
  ASSERT_EQ(0u, PxqDataExtractSome(data, some.c_str(), chosen, 2, 0, nullptr, nullptr)) << Message();
  EXPECT_EQ("alpha", ReadFileText(some + "/docs/a.txt"));
  EXPECT_EQ("beta", ReadFileText(some + "/docs/b.txt"));
  EXPECT_EQ(items[5].data, ReadFileBytes(some + "/tail.bin"));
  EXPECT_FALSE(FileExists(some + "/big.bin"));
  EXPECT_FALSE(FileExists(some + "/empty"));
  EXPECT_NE(0u, Stream("big.bin", &streamed));
  EXPECT_NE(0u, PxqDataVerify(data, nullptr, nullptr));
  EXPECT_NE(0u, PxqDataExtractAll(data, dir.File("all").c_str(), nullptr, nullptr));
  // A name that chooses nothing writes nothing.
  const char* missing[] = {"docs/a.txt", "nothing/"};
  std::string none = dir.File("none");
  EXPECT_EQ(2u, PxqDataExtractSome(data, none.c_str(), missing, 2, 0, nullptr, nullptr));
  EXPECT_NE(std::string::npos, Message().find("nothing/")) << Message();
  EXPECT_FALSE(FileExists(none));
}

// Damage in the head, the index, a block or the stream's own index is
// refused, with the call that meets it failing and saying what failed.
TEST_F(DataBlocks, DamageIsRefused) {
  std::vector<DataArchiveItem> items = Product();
  const std::vector<uint8_t> good = BlockFile(items);
  const size_t end = good.size();
  const uint32_t indexsize = ReadLe32(good.data() + end - DATA_HEAD_SIZE + 16);
  const size_t indexstart = end - DATA_HEAD_SIZE - indexsize;
  struct Case {
    const char* what;
    size_t at;          // the byte flipped
    bool opens;         // PxqDataOpen succeeds
    bool entriesread;   // every entry still streams (the damage lies outside the blocks)
  } cases[] = {
      {"the head's block size", end - DATA_HEAD_SIZE + 24, false, false},
      {"the head's CRC32", end - 4, false, false},
      {"the index stream", indexstart + indexsize / 2, false, false},
      {"the first block", indexstart - ReadLe64(good.data() + end - DATA_HEAD_SIZE + 8) + 12 + 100, true, false},
      {"the stream's own index", indexstart - 14, true, true},
  };
  for (const Case& test : cases) {
    std::vector<uint8_t> bad = good;
    bad[test.at] ^= 0x21;
    uint32_t code = Open(bad);
    if (!test.opens) {
      EXPECT_NE(0u, code) << test.what;
      EXPECT_NE(std::string::npos, Message().find("data archive")) << test.what << ": " << Message();
      continue;
    }
    ASSERT_EQ(0u, code) << test.what << ": " << Message();
    std::vector<uint8_t> streamed;
    EXPECT_EQ(test.entriesread, Stream("big.bin", &streamed) == 0) << test.what << ": " << Message();
    EXPECT_NE(0u, PxqDataVerify(data, nullptr, nullptr)) << test.what;
    EXPECT_NE(0u, PxqDataExtractAll(data, dir.File("out").c_str(), nullptr, nullptr)) << test.what;
  }
  // Cut short: the head is gone.
  std::vector<uint8_t> cut(good.begin(), good.end() - 10);
  EXPECT_NE(0u, Open(cut));
}

}  // namespace
