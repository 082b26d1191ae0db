// Decoding the blocks of the block layout ahead of the reader, on worker
// threads (installer/worker_threads.h): each worker reads a whole block
// through its own handle and decodes it into a buffer of its own while the
// caller's thread takes the decoded blocks in order.
#pragma once

#include <stdint.h>

#include "installer/data_blocks.h"
#include "package/data_archive.h"
#include "platform/types.h"
#include "pxq/installer_data.h"

// Reads `count` bytes at `offset` of `file`.
uint32_t ReadFileAt(HANDLE file, uint64_t offset, uint8_t* bytes, uint32_t count);

// Reads block `block` (its offset counted from `start`, the data archive's
// first byte) into `in` and decodes it into `out` (DecodeDataBlock, with
// `decoder`).
uint32_t LoadDataBlock(HANDLE file, uint64_t start, const DataBlock* block, uint8_t* in, uint8_t* out,
                       uint32_t dictionarylimit, DataBlockDecoder** decoder);

struct BlockDecoders;

struct BlockDecodersSetup {
  const PxqPathChar* path;   // the loader file
  uint64_t start;            // the data archive's first byte
  const DataBlock* blocks;   // all of them, decoded from the first on
  uint32_t count;
  uint32_t largest;          // the largest block's compressed size
  uint32_t blocksize;        // the largest block's decoded size
  uint32_t dictionarylimit;
  uint32_t threads;          // workers wanted
};

// Starts up to `setup->threads` workers, each with a block's room in and
// out. When a thread, a handle or memory cannot be had, fewer work; with
// none, `*decoders` is null and the caller decodes on its own thread.
// `*started` receives the number that work.
void StartBlockDecoders(const BlockDecodersSetup* setup, BlockDecoders** decoders, uint32_t* started);

// Block `k`, decoded: `*out` holds its bytes until the next call or
// StopBlockDecoders. Blocks are taken in increasing order (those skipped
// are dropped). The block's result from LoadDataBlock.
uint32_t TakeDecodedBlock(BlockDecoders* decoders, uint32_t k, const uint8_t** out);

// Stops the workers (each ends after the block at hand), joins them and
// frees everything. Null does nothing.
void StopBlockDecoders(BlockDecoders* decoders);
