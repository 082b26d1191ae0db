#include "package/lzma_decoder.h"

#include <lzma.h>

#include "platform/heap.h"

struct LzmaDecoder {
  lzma_stream stream;
  uint32_t failure;   // sticky result of a failed call
  bool ended;         // the end marker has been decoded
};

// liblzma's memory goes through the loader's heap, so that it is counted and
// can be refused like every other block. Sizes beyond 32 bits cannot be had.
static void* DecoderAlloc(void* opaque, size_t nmemb, size_t size) {
  (void)opaque;
  if (nmemb > 0xFFFFFFFFu || size > 0xFFFFFFFFu) return NULL;
  uint64_t total = static_cast<uint64_t>(nmemb) * size;
  if (total > 0xFFFFFFFFu) return NULL;
  return AllocZeroed(total == 0 ? 1u : static_cast<uint32_t>(total));
}

static void DecoderFree(void* opaque, void* block) {
  (void)opaque;
  FreeBlock(block);
}

static const lzma_allocator decoderAllocator = {DecoderAlloc, DecoderFree, NULL};

static uint32_t ResultOf(lzma_ret ret) {
  return ret == LZMA_MEM_ERROR ? ERROR_NOT_ENOUGH_MEMORY : ERROR_READ_FAULT;
}

uint32_t CreateLzmaDecoder(const LzmaProperties* properties, LzmaDecoder** decoder) {
  *decoder = NULL;
  LzmaDecoder* state = static_cast<LzmaDecoder*>(AllocZeroed(sizeof(LzmaDecoder)));
  if (state == NULL) return ERROR_NOT_ENOUGH_MEMORY;
  // The zero-filled stream equals LZMA_STREAM_INIT.
  state->stream.allocator = &decoderAllocator;

  lzma_options_lzma options;
  ZeroBytes(&options, sizeof(options));
  options.dict_size = properties->dictionarysize;
  options.lc = properties->lc;
  options.lp = properties->lp;
  options.pb = properties->pb;
  lzma_filter filters[2];
  filters[0].id = LZMA_FILTER_LZMA1;
  filters[0].options = &options;
  filters[1].id = LZMA_VLI_UNKNOWN;
  filters[1].options = NULL;

  lzma_ret ret = lzma_raw_decoder(&state->stream, filters);
  if (ret != LZMA_OK) {
    lzma_end(&state->stream);
    FreeBlock(state);
    return ret == LZMA_MEM_ERROR ? ERROR_NOT_ENOUGH_MEMORY : ERROR_DLL_INIT_FAILED;
  }
  *decoder = state;
  return 0;
}

uint32_t DecodeLzma(LzmaDecoder* decoder, const InputCallback* input, uint8_t* output, uint32_t count,
                    uint32_t* produced) {
  *produced = 0;
  if (decoder->failure != 0) return decoder->failure;
  if (decoder->ended || count == 0) return 0;
  lzma_stream* stream = &decoder->stream;
  stream->next_out = output;
  stream->avail_out = count;
  uint32_t result = 0;
  for (;;) {
    // Input is taken in place, and only once the last piece is used up.
    if (stream->avail_in == 0) {
      const uint8_t* data = NULL;
      uint32_t available = 0;
      result = input->function(input->reader, &data, &available);
      if (result != 0) break;
      stream->next_in = data;
      stream->avail_in = available;
    }
    lzma_ret ret = lzma_code(stream, LZMA_RUN);
    if (ret == LZMA_STREAM_END) {
      decoder->ended = true;
      break;
    }
    if (ret != LZMA_OK) {
      result = ResultOf(ret);
      break;
    }
    // A run stops when the output is full or the input used up; a run
    // that can make no progress at all ends in LZMA_BUF_ERROR above.
    if (stream->avail_out == 0) break;
  }
  *produced = count - static_cast<uint32_t>(stream->avail_out);
  stream->next_out = NULL;
  stream->avail_out = 0;
  decoder->failure = result;
  return result;
}

void GetLzmaDecoderProgress(const LzmaDecoder* decoder, LzmaDecoderProgress* progress) {
  progress->consumed = decoder->stream.total_in;
  progress->produced = decoder->stream.total_out;
  progress->ended = decoder->ended;
  progress->failure = decoder->failure;
}

void DestroyLzmaDecoder(LzmaDecoder* decoder) {
  if (decoder == NULL) return;
  lzma_end(&decoder->stream);
  FreeBlock(decoder);
}
