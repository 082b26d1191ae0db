// The simulated schedule of a threaded extraction that the benchmark turns
// measured block costs into: against schedules worked out by hand.
#include <gtest/gtest.h>

#include <vector>

#include "bench/block_schedule.h"

namespace {

std::vector<BlockCost> Blocks(const std::vector<double>& decode, double write) {
  std::vector<BlockCost> blocks;
  for (double d : decode) blocks.push_back({1, d, write});
  return blocks;
}

std::vector<double> Times(size_t count, double each) { return std::vector<double>(count, each); }

TEST(BlockSchedule, MatchesSchedulesWorkedOutByHand) {
  struct Case {
    const char* what;
    std::vector<BlockCost> blocks;
    uint32_t threads;
    double expected;
  };
  const Case cases[] = {
      // Equal blocks, writes free: rounds of `threads` blocks.
      {"16 blocks on 4 threads", Blocks(Times(16, 1), 0), 4, 4},
      {"10 blocks on 4 threads: three rounds", Blocks(Times(10, 1), 0), 4, 3},
      {"more threads than blocks", Blocks(Times(4, 1), 0), 8, 1},
      {"one thread decodes and writes in turn", Blocks(Times(4, 1), 0.5), 1, 6},
      {"no thread asked: one", Blocks(Times(4, 1), 0.5), 0, 6},
      // The caller holds its block's room while it writes: the block two
      // after it waits for that write (1.1, 1.2, 2.2, 2.3, ... 4.5).
      {"2 threads, writes a tenth of a decode", Blocks(Times(8, 1), 0.1), 2, 4.5},
      // A light block decoded early waits in its room for the heavy one
      // before it: each pair takes the heavy block's time.
      {"2 threads, heavy and light blocks by turns", Blocks({3, 1, 3, 1, 3, 1, 3, 1}, 0), 2, 12},
      // The caller's writes, one after another, are the critical path.
      {"writes longer than decodes", Blocks(Times(100, 1), 2), 8, 201},
      {"no blocks", {}, 4, 0},
  };
  for (const Case& c : cases) {
    EXPECT_NEAR(SimulatedExtraction(c.blocks, c.threads), c.expected, 1e-9) << c.what;
  }
  EXPECT_NEAR(SerialExtraction(Blocks({3, 1}, 0.5)), 5, 1e-9);
}

TEST(BlockSchedule, RepeatsBlocksUpToTheBytesAsked) {
  const std::vector<BlockCost> measured = {{10, 1, 0}, {10, 2, 0}, {5, 3, 0}};
  std::vector<BlockCost> repeated = RepeatBlocks(measured, 42);
  ASSERT_EQ(repeated.size(), 5u);  // 10 + 10 + 5 + 10 + 10
  EXPECT_EQ(repeated[3].decode, 1);
  EXPECT_EQ(repeated[4].decode, 2);
  EXPECT_EQ(RepeatBlocks(measured, 25).size(), 3u);
  EXPECT_TRUE(RepeatBlocks(measured, 0).empty());
  EXPECT_TRUE(RepeatBlocks({}, 100).empty());
  // Blocks of no bytes never reach the size: one pass of them, not forever.
  EXPECT_EQ(RepeatBlocks({{0, 1, 0}, {0, 1, 0}}, 100).size(), 2u);
}

}  // namespace
