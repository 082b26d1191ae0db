// Extracting an archive in blocks with several decoding threads: the same
// tree and bytes whatever their number; a damaged block, a cancel or a
// thread that cannot start ends as it does on one thread, with nothing of
// the entry at hand left (and, under the sanitizers, no thread or buffer).
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "installer/thread_budget.h"
#include "installer/worker_threads.h"
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

// About 24 blocks: files spanning several blocks, runs of small files
// sharing one, a folder and an empty file.
std::vector<DataArchiveItem> ManyBlocks() {
  std::vector<DataArchiveItem> items = {DataFile("big.bin", NoiseBytes(7 * kBlock + 123, 1)), DataFolder("lib")};
  for (uint32_t i = 0; i < 40; ++i) items.push_back(DataFile("lib/part" + std::to_string(i), NoiseBytes(kBlock / 5, 10 + i)));
  items.push_back(DataFile("empty", ""));
  items.push_back(DataFile("late.bin", NoiseBytes(5 * kBlock + 77, 3)));
  items.push_back(DataFile("last.txt", "the end"));
  return items;
}

std::vector<uint8_t> BlockFile(const std::vector<DataArchiveItem>& items) { return LoaderWithBlocks(items, kBlock); }

// Every file and folder below `root` with its bytes (folders: "/").
std::map<std::string, std::vector<uint8_t>> Tree(const std::string& root) {
  std::map<std::string, std::vector<uint8_t>> tree;
  if (!std::filesystem::exists(root)) return tree;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
    std::string name = std::filesystem::relative(entry.path(), root).generic_string();
    tree[name] = entry.is_directory() ? TextBytes("/") : ReadFileBytes(entry.path().string());
  }
  return tree;
}

struct CancelAt {
  uint64_t at;
};

int CancelPastHalf(void* context, uint64_t done, uint64_t total, const PxqDataEntry*) {
  (void)total;
  return done >= static_cast<CancelAt*>(context)->at ? 1 : 0;
}

struct ParallelExtract : ::testing::Test {
  ScratchDir dir;
  std::string loader = dir.File("setup.exe");
  std::vector<DataArchiveItem> items = ManyBlocks();

  void SetUp() override { WriteFileBytes(loader, BlockFile(items)); }
  void TearDown() override { FailWorkerStartsForTesting(0, 0); }

  // Extracts everything into `out` with `threads`; the result and the message.
  uint32_t Extract(uint32_t threads, const std::string& out, std::string* message = nullptr,
                   PxqDataProgress progress = nullptr, void* context = nullptr) {
    PxqData* data = nullptr;
    uint32_t code = PxqDataOpen(loader.c_str(), &data);
    if (code == 0) code = PxqDataSetThreads(data, threads);
    if (code == 0) code = PxqDataExtractAll(data, out.c_str(), progress, context);
    if (message != nullptr) *message = PxqDataMessage(data);
    PxqDataClose(data);
    return code;
  }

  std::map<std::string, std::vector<uint8_t>> Expected() const {
    std::map<std::string, std::vector<uint8_t>> tree;
    for (const DataArchiveItem& item : items) tree[item.name] = item.directory ? TextBytes("/") : item.data;
    return tree;
  }
};

TEST_F(ParallelExtract, TheSameTreeAndBytesForAnyNumberOfThreads) {
  std::vector<uint8_t> file = ReadFileBytes(loader);
  ASSERT_EQ(DATA_LOCATOR_FORMAT_BLOCKS, DataLocatorFormat(file.data() + kDataArchiveOffset));
  ASSERT_GE(file.size(), 12u * kBlock / 2);  // many blocks, even compressed
  for (uint32_t threads : {1u, 2u, 4u, 0u}) {
    std::string out = dir.File("out" + std::to_string(threads));
    std::string message;
    ASSERT_EQ(0u, Extract(threads, out, &message)) << threads << " threads: " << message;
    EXPECT_EQ(Expected(), Tree(out)) << threads << " threads";
  }
  PxqData* data = nullptr;
  ASSERT_EQ(0u, PxqDataOpen(loader.c_str(), &data));
  EXPECT_EQ(0u, PxqDataSetThreads(data, 4));
  EXPECT_EQ(0u, PxqDataVerify(data, nullptr, nullptr)) << PxqDataMessage(data);
  PxqDataClose(data);
}

// A block damaged late in the archive: with 4 threads the extraction fails
// as it does on one, at the same entry, which leaves nothing behind, while
// the entries before it stay whole.
TEST_F(ParallelExtract, ADamagedLateBlockFailsAsOnOneThread) {
  std::vector<uint8_t> file = ReadFileBytes(loader);
  const uint8_t* head = file.data() + file.size() - DATA_HEAD_SIZE;
  uint64_t streamsize = ReadLe64(head + 8);
  uint32_t indexsize = ReadLe32(head + 16);
  size_t start = file.size() - DATA_HEAD_SIZE - indexsize - streamsize;
  file[start + streamsize * 85 / 100] ^= 0x55;  // within late.bin's blocks
  WriteFileBytes(loader, file);

  std::string one = dir.File("one");
  std::string four = dir.File("four");
  std::string serial;
  std::string parallel;
  uint32_t code = Extract(1, one, &serial);
  ASSERT_NE(0u, code);
  EXPECT_EQ(code, Extract(4, four, &parallel));
  EXPECT_EQ(serial, parallel);
  EXPECT_NE(std::string::npos, parallel.find("late.bin")) << parallel;
  std::map<std::string, std::vector<uint8_t>> left = Tree(four);
  EXPECT_EQ(Tree(one), left);
  EXPECT_EQ(0u, left.count("late.bin"));
  std::map<std::string, std::vector<uint8_t>> expected = Expected();
  for (const auto& [name, bytes] : left) EXPECT_EQ(expected[name], bytes) << name;
  EXPECT_EQ(expected["lib/part39"], left["lib/part39"]);
}

// A cancel from the progress callback, past half the data: the workers are
// stopped, and what is left is what one thread leaves.
TEST_F(ParallelExtract, ACancelStopsTheWorkersAndLeavesWhatOneThreadLeaves) {
  uint64_t total = 0;
  for (const DataArchiveItem& item : items) total += item.data.size();
  CancelAt cancel = {total / 2};
  std::string one = dir.File("one");
  std::string four = dir.File("four");
  std::string message;
  ASSERT_EQ(1223u, Extract(1, one, &message, CancelPastHalf, &cancel)) << message;
  ASSERT_EQ(1223u, Extract(4, four, &message, CancelPastHalf, &cancel)) << message;
  std::map<std::string, std::vector<uint8_t>> left = Tree(four);
  EXPECT_EQ(Tree(one), left);
  EXPECT_EQ(1u, left.count("big.bin"));
  EXPECT_EQ(0u, left.count("last.txt"));
  std::map<std::string, std::vector<uint8_t>> expected = Expected();
  for (const auto& [name, bytes] : left) EXPECT_EQ(expected[name], bytes) << name;
}

// When threads cannot be started, fewer decode, down to none beside the
// caller's: the extraction is still whole.
TEST_F(ParallelExtract, ThreadsThatCannotStartLeaveFewerAndTheSameResult) {
  for (uint32_t allowed : {0u, 1u, 3u}) {
    FailWorkerStartsForTesting(allowed, 8);
    std::string out = dir.File("out" + std::to_string(allowed));
    std::string message;
    ASSERT_EQ(0u, Extract(4, out, &message)) << allowed << " started: " << message;
    EXPECT_EQ(Expected(), Tree(out)) << allowed << " started";
  }
}

}  // namespace

// The decoding budget and the thread count, for machines other than this
// one: each thread of a 64 MiB-block archive holds about 192 MiB (block in,
// block out, dictionary).
TEST(DecodingThreads, TheBudgetAndTheCountFollowTheMachine) {
  const uint64_t MiB = 1u << 20, GiB = 1024 * MiB;
  const uint64_t floor = PXQ_DATA_THREAD_MEMORY;
  struct Budget {
    uint64_t physical;
    uint32_t pointerbytes;
    uint64_t expected;
  };
  const Budget budgets[] = {
      {16 * GiB, 8, 4 * GiB},   // a quarter of the machine
      {1 * GiB, 8, floor},      // never under the floor
      {0, 8, floor},            // the system did not say
      {16 * GiB, 4, floor},     // a 32-bit process keeps to the floor
      {2 * GiB + 4, 8, floor + 1},  // a quarter just past the floor
  };
  for (const Budget& b : budgets)
    EXPECT_EQ(b.expected, DecodingMemoryBudget(b.physical, b.pointerbytes, floor)) << b.physical << " " << b.pointerbytes;

  const uint64_t each = 192 * MiB;
  struct Count {
    uint32_t requested, cores, blocks;
    uint64_t budget;
    uint32_t expected;
  };
  const Count counts[] = {
      {0, 8, 32, 4 * GiB, 8},      // one per core
      {0, 8, 32, floor, 2},        // the floor holds two
      {0, 8, 3, 4 * GiB, 3},       // no more than the blocks
      {6, 2, 32, 4 * GiB, 6},      // asked for, whatever the cores
      {0, 128, 1000, 64 * GiB, PXQ_DATA_THREADS_MAX},
      {0, 8, 32, 100 * MiB, 1},    // not even one fits: still one
      {0, 8, 0, 4 * GiB, 1},       // no blocks: one
      {0, 8, 32, 5 * each, 5},     // a budget that fits five exactly, and one a byte short of three
      {3, 8, 32, 3 * each - 1, 2},
  };
  for (const Count& c : counts)
    EXPECT_EQ(c.expected, DecodingThreadCount(c.requested, c.cores, c.blocks, each, c.budget, PXQ_DATA_THREADS_MAX))
        << c.requested << " asked, " << c.cores << " cores, " << c.blocks << " blocks, budget " << c.budget;
}
