// Decoding the block layout of the data archive (package/data_archive.h):
// the index's .xz stream, one block of the data stream, and the check of
// the data stream's own index and footer against the block table. liblzma
// does the decoding; its memory comes from the heap helpers.
#pragma once

#include <stdint.h>

#include "package/data_archive.h"

// Decodes the index's .xz stream, `in` (`insize` bytes), into `out`, which
// it must fill exactly (`outsize` bytes). The decoder takes no more memory
// than a dictionary that such an index needs. 0; 13 for any fault.
uint32_t DecodeDataIndexStream(const uint8_t* in, uint32_t insize, uint8_t* out, uint32_t outsize);

// liblzma's block decoder kept from one block to the next, so that its
// dictionary (up to the block's size) is made once, not for every block:
// a dictionary's pages cost their first touch each time they are new.
struct DataBlockDecoder;
void FreeDataBlockDecoder(DataBlockDecoder* decoder);

// Decodes one block, `block->size` bytes at `in`, into `out`
// (`block->uncompressed` bytes), checking its header (one LZMA2 filter,
// whose dictionary is at most `dictionarylimit`, sizes that match the
// record), its data and its CRC32, through the decoder that `*decoder`
// holds: made at the first call (null until then), it stays for the next
// block until FreeDataBlockDecoder. 0; 13 for a block that is not the one
// recorded; 30 (ERROR_READ_FAULT) for data that cannot be decoded or does
// not match its check; 8 when memory runs out.
uint32_t DecodeDataBlock(DataBlockDecoder** decoder, const DataBlock* block, const uint8_t* in, uint8_t* out,
                         uint32_t dictionarylimit);

// The data stream's header (`header`, its first 12 bytes) and its tail
// (`tail`, the .xz index and footer after the last block, `tailsize`
// bytes): 0 when they are sound, say CRC32 checks and list exactly the
// blocks of `blocks`; else 13.
uint32_t CheckDataStreamFrame(const uint8_t* header, const uint8_t* tail, uint32_t tailsize, const DataBlock* blocks,
                              uint32_t count);
