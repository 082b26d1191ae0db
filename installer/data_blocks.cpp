#include "installer/data_blocks.h"

#include <lzma.h>

#include "platform/heap.h"
#include "platform/platform.h"

namespace {

// Sizes beyond 32 bits cannot be had from the heap helpers.
void* BlockAlloc(void* opaque, size_t nmemb, size_t size) {
  (void)opaque;
  if (nmemb > 0xFFFFFFFFu || size > 0xFFFFFFFFu) return nullptr;
  uint64_t total = static_cast<uint64_t>(nmemb) * size;
  if (total > 0xFFFFFFFFu) return nullptr;
  return AllocZeroed(total == 0 ? 1u : static_cast<uint32_t>(total));
}

void BlockFree(void* opaque, void* block) {
  (void)opaque;
  FreeBlock(block);
}

const lzma_allocator blockAllocator = {BlockAlloc, BlockFree, nullptr};

}  // namespace

uint32_t DecodeDataIndexStream(const uint8_t* in, uint32_t insize, uint8_t* out, uint32_t outsize) {
  // pack writes the index with a dictionary no larger than the index.
  uint64_t memlimit = static_cast<uint64_t>(DataDictionaryFor(outsize)) + (1u << 20);
  size_t inpos = 0;
  size_t outpos = 0;
  lzma_ret ret =
      lzma_stream_buffer_decode(&memlimit, 0, &blockAllocator, in, &inpos, insize, out, &outpos, outsize);
  if (ret == LZMA_MEM_ERROR) return ERROR_NOT_ENOUGH_MEMORY;
  if (ret != LZMA_OK || inpos != insize || outpos != outsize) return ERROR_INVALID_DATA;
  return 0;
}

struct DataBlockDecoder {
  lzma_stream stream;
};

void FreeDataBlockDecoder(DataBlockDecoder* decoder) {
  if (decoder == nullptr) return;
  lzma_end(&decoder->stream);
  FreeBlock(decoder);
}

namespace {

// The block's data after its header, `block->uncompressed_size` bytes of it,
// through `stream`: 0, 8 or 30 as DecodeDataBlock.
uint32_t DecodeBlockData(lzma_stream* stream, lzma_block* block, const DataBlock* record, const uint8_t* in,
                         uint8_t* out) {
  stream->allocator = &blockAllocator;
  lzma_ret ret = lzma_block_decoder(stream, block);
  if (ret == LZMA_OK) {
    stream->next_in = in + block->header_size;
    stream->avail_in = static_cast<size_t>(record->size) - block->header_size;
    stream->next_out = out;
    stream->avail_out = static_cast<size_t>(record->uncompressed);
    // liblzma ends a run that can make no progress with LZMA_BUF_ERROR.
    do {
      ret = lzma_code(stream, LZMA_FINISH);
    } while (ret == LZMA_OK);
  }
  if (ret == LZMA_MEM_ERROR) return ERROR_NOT_ENOUGH_MEMORY;
  if (ret != LZMA_STREAM_END || stream->avail_in != 0 || stream->avail_out != 0) return ERROR_READ_FAULT;
  return 0;
}

}  // namespace

uint32_t DecodeDataBlock(DataBlockDecoder** decoder, const DataBlock* record, const uint8_t* in, uint8_t* out,
                         uint32_t dictionarylimit) {
  if (record->size == 0 || record->size > 0xFFFFFFFFu || record->uncompressed > 0xFFFFFFFFu) return ERROR_INVALID_DATA;
  lzma_filter filters[LZMA_FILTERS_MAX + 1];
  lzma_block block;
  ZeroBytes(&block, sizeof block);
  block.version = 1;
  block.check = LZMA_CHECK_CRC32;
  block.filters = filters;
  block.header_size = lzma_block_header_size_decode(in[0]);
  if (in[0] == 0 || block.header_size > record->size) return ERROR_INVALID_DATA;
  lzma_ret ret = lzma_block_header_decode(&block, &blockAllocator, in);
  if (ret != LZMA_OK) return ret == LZMA_MEM_ERROR ? ERROR_NOT_ENOUGH_MEMORY : ERROR_INVALID_DATA;
  uint32_t code = 0;
  // One filter, LZMA2, with no more dictionary than the block needs.
  if (filters[0].id != LZMA_FILTER_LZMA2 || filters[1].id != LZMA_VLI_UNKNOWN ||
      static_cast<const lzma_options_lzma*>(filters[0].options)->dict_size > dictionarylimit)
    code = ERROR_INVALID_DATA;
  // Sizes the header declares must be the recorded ones.
  if (code == 0 && block.uncompressed_size != LZMA_VLI_UNKNOWN && block.uncompressed_size != record->uncompressed)
    code = ERROR_INVALID_DATA;
  if (code == 0 && block.compressed_size != LZMA_VLI_UNKNOWN && lzma_block_total_size(&block) != record->size)
    code = ERROR_INVALID_DATA;
  // A zeroed lzma_stream is LZMA_STREAM_INIT.
  if (code == 0 && *decoder == nullptr) *decoder = static_cast<DataBlockDecoder*>(AllocZeroed(sizeof(DataBlockDecoder)));
  if (code == 0 && *decoder == nullptr) code = ERROR_NOT_ENOUGH_MEMORY;
  if (code == 0) {
    block.uncompressed_size = record->uncompressed;
    code = DecodeBlockData(&(*decoder)->stream, &block, record, in, out);
  }
  for (uint32_t i = 0; i < LZMA_FILTERS_MAX && filters[i].id != LZMA_VLI_UNKNOWN; ++i)
    blockAllocator.free(nullptr, filters[i].options);
  return code;
}

uint32_t CheckDataStreamFrame(const uint8_t* header, const uint8_t* tail, uint32_t tailsize, const DataBlock* blocks,
                              uint32_t count) {
  lzma_stream_flags head;
  lzma_stream_flags foot;
  if (tailsize < LZMA_STREAM_HEADER_SIZE + 8) return ERROR_INVALID_DATA;
  if (lzma_stream_header_decode(&head, header) != LZMA_OK) return ERROR_INVALID_DATA;
  if (lzma_stream_footer_decode(&foot, tail + tailsize - LZMA_STREAM_HEADER_SIZE) != LZMA_OK) return ERROR_INVALID_DATA;
  if (head.check != LZMA_CHECK_CRC32 || lzma_stream_flags_compare(&head, &foot) != LZMA_OK) return ERROR_INVALID_DATA;
  if (foot.backward_size != tailsize - LZMA_STREAM_HEADER_SIZE) return ERROR_INVALID_DATA;
  lzma_index* index = nullptr;
  uint64_t memlimit = 1ull << 30;
  size_t inpos = 0;
  lzma_ret ret = lzma_index_buffer_decode(&index, &memlimit, &blockAllocator, tail, &inpos,
                                          static_cast<size_t>(foot.backward_size));
  if (ret != LZMA_OK) return ret == LZMA_MEM_ERROR ? ERROR_NOT_ENOUGH_MEMORY : ERROR_INVALID_DATA;
  uint32_t code = lzma_index_block_count(index) == count ? 0 : ERROR_INVALID_DATA;
  lzma_index_iter iter;
  lzma_index_iter_init(&iter, index);
  for (uint32_t i = 0; code == 0 && i < count; ++i) {
    if (lzma_index_iter_next(&iter, LZMA_INDEX_ITER_BLOCK) ||
        iter.block.compressed_stream_offset != blocks[i].offset ||
        iter.block.total_size != blocks[i].size || iter.block.uncompressed_size != blocks[i].uncompressed)
      code = ERROR_INVALID_DATA;
  }
  lzma_index_end(index, &blockAllocator);
  return code;
}
