// One 64 KiB heap buffer in front of one open file handle, for reading or
// for writing. The owner opens the file and stores the handle in `handle`;
// CloseFileBuffer closes it and frees the buffer.
//
// Reading: the unread data is [position, end). Writing: the pending data is
// [base, position) and the free room [position, end).
#pragma once

#include <stdint.h>

#include "platform/types.h"

#define FILE_BUFFER_SIZE 65536u

struct FileBuffer {
  HANDLE handle;
  uint8_t* base;
  uint8_t* position;
  uint8_t* end;
};

// Both initialisers leave `handle` INVALID_HANDLE_VALUE and return 0, or 8
// (ERROR_NOT_ENOUGH_MEMORY) when the buffer cannot be allocated; `base` is
// then null, and every operation that needs the buffer reports 8 too, so an
// owner that does not look at the result still fails cleanly.
uint32_t InitFileReader(FileBuffer* buffer, uint32_t size);
uint32_t InitFileWriter(FileBuffer* buffer, uint32_t size);

// Closes the handle (if any; a failure is ignored) and frees the buffer.
// Harmless when repeated. Pending written data is not flushed. Always 0.
uint32_t CloseFileBuffer(FileBuffer* buffer);

// Reads until 65,536 bytes are buffered, the file ends or a read fails; does
// nothing while unread data remains. 0; 38 when the file has ended and
// nothing is buffered; the platform's error of a failed read, also when this
// fill read something before it (that stays buffered).
uint32_t FillFileReader(FileBuffer* buffer);

// Copies `count` bytes out. 0; 87 for a null destination (checked first);
// 38 when the file ends first; the platform's error of a failed read.
uint32_t ReadExact(FileBuffer* buffer, void* destination, uint32_t count);

// Hands the whole buffered remainder to the decoder in place (refilling
// first when it is empty) and counts it as consumed. 0, or 1 when no input
// can be had.
uint32_t ReadDecoderInput(FileBuffer* buffer, const uint8_t** data, uint32_t* count);

// Writes [base, position) and empties the writer. 0; 39 when a write
// succeeds with 0 bytes; the platform's error of a failed write.
uint32_t FlushFileWriter(FileBuffer* buffer);
