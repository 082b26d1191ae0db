// The installer library's extraction of an archive in blocks, simulated from
// measured costs: how long a whole extraction would take on a machine of
// more cores than this one.
//
// The model is the library's own (installer/block_decoders.cpp,
// installer/installer_data.cpp): with T threads, T workers share T rooms of
// a block each; a worker takes the next block in order as soon as a room is
// free and decodes it there; the caller's thread writes the blocks in order,
// each once it is decoded and the one before it is written, and holds its
// block's room until it is written. So block j starts no earlier than block
// j - 1 and no earlier than the end of the write of block j - T. While the
// caller writes it holds a room, so at most T threads run at once: each
// has a core of its own when T is at most the cores. With one thread the
// caller decodes and writes each block itself, one after the other.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <vector>

struct BlockCost {
  uint64_t bytes;  // decoded
  double decode;  // a worker's time to read and decode the block
  double write;   // the caller's time to copy, check (CRC32) and write its bytes
};

// The time of a whole extraction with `threads` decoding threads (the
// library takes no more than there are blocks); 0 blocks take 0.
double SimulatedExtraction(const std::vector<BlockCost>& blocks, uint32_t threads);

// The time of the extraction on one thread: every decode and write in turn.
double SerialExtraction(const std::vector<BlockCost>& blocks);

// `blocks` repeated in order until they hold at least `bytes` (the last
// repetition cut short): a larger archive of the same kind of data.
std::vector<BlockCost> RepeatBlocks(const std::vector<BlockCost>& blocks, uint64_t bytes);
