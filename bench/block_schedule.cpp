#include "bench/block_schedule.h"

#include <algorithm>

double SimulatedExtraction(const std::vector<BlockCost>& blocks, uint32_t threads) {
  const size_t count = blocks.size();
  const size_t rooms = std::min<size_t>(threads == 0 ? 1 : threads, count);
  if (rooms <= 1) return SerialExtraction(blocks);
  std::vector<double> written(count);  // when the caller has written block k
  double start = 0;                    // when the latest block's decode started
  double caller = 0;                   // when the caller has written the latest block
  for (size_t k = 0; k < count; ++k) {
    // In order, in the room that the write of block k - rooms gave back.
    if (k >= rooms) start = std::max(start, written[k - rooms]);
    caller = std::max(caller, start + blocks[k].decode) + blocks[k].write;
    written[k] = caller;
  }
  return caller;
}

double SerialExtraction(const std::vector<BlockCost>& blocks) {
  double total = 0;
  for (const BlockCost& block : blocks) total += block.decode + block.write;
  return total;
}

std::vector<BlockCost> RepeatBlocks(const std::vector<BlockCost>& blocks, uint64_t bytes) {
  std::vector<BlockCost> result;
  uint64_t held = 0;
  for (size_t k = 0; !blocks.empty() && held < bytes; ++k) {
    const BlockCost& block = blocks[k % blocks.size()];
    // A block that holds nothing would never reach `bytes`.
    if (k >= blocks.size() && held == 0) break;
    result.push_back(block);
    held += block.bytes;
  }
  return result;
}
