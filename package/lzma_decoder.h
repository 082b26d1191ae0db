// The LZMA decoder of the package stream: liblzma's raw LZMA1 decoder (the
// stream carries an end marker and no size) behind three calls, with all of
// its memory taken from AllocZeroed/FreeBlock.
#pragma once

#include <stdint.h>

#include "package/file_buffer.h"
#include "package/records.h"

// Where a decode call pulls its input from: `function` (ReadDecoderInput)
// applied to the reading FileBuffer `reader`. The decoder reads what it is
// handed in place and asks again only when all of it is used up.
typedef uint32_t (*DecoderInputFunction)(FileBuffer* reader, const uint8_t** data, uint32_t* count);

struct InputCallback {
  DecoderInputFunction function;
  FileBuffer* reader;
};

struct LzmaDecoder;

// A decoder for `properties`. 0; 1114 (ERROR_DLL_INIT_FAILED) for properties
// the decoder refuses (lc + lp above 4); 8 (ERROR_NOT_ENOUGH_MEMORY) when its
// memory (the dictionary of DictionarySize bytes among it) cannot be had.
// `*decoder` is null unless the result is 0.
uint32_t CreateLzmaDecoder(const LzmaProperties* properties, LzmaDecoder** decoder);

// Writes the next `count` bytes of the decompressed stream to `output` and
// sets `*produced`. Fewer than `count` only when the stream's end marker is
// met; every call after that produces 0 bytes and succeeds. Results: 0;
// the input function's nonzero result when it has no more input; 30
// (ERROR_READ_FAULT) for damaged data; 8 when memory runs out. A failure
// sticks: later calls give it again.
uint32_t DecodeLzma(LzmaDecoder* decoder, const InputCallback* input, uint8_t* output, uint32_t count,
                    uint32_t* produced);

// How far a decoder has got, for tools that check a whole stream: the
// compressed bytes consumed and decompressed bytes produced so far, whether
// the end marker has been decoded, and the sticky failure (0, the input
// function's result when the input ran out, 30 for damaged data, 8).
struct LzmaDecoderProgress {
  uint64_t consumed;
  uint64_t produced;
  bool ended;
  uint32_t failure;
};
void GetLzmaDecoderProgress(const LzmaDecoder* decoder, LzmaDecoderProgress* progress);

// Releases the decoder and all of its memory; null does nothing.
void DestroyLzmaDecoder(LzmaDecoder* decoder);
