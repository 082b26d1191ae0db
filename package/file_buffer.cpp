#include "package/file_buffer.h"

#include "platform/heap.h"
#include "platform/platform.h"

uint32_t InitFileReader(FileBuffer* buffer, uint32_t size) {
  // A fill always asks for FILE_BUFFER_SIZE bytes, so a smaller block would
  // be overrun.
  if (size < FILE_BUFFER_SIZE) size = FILE_BUFFER_SIZE;
  buffer->handle = INVALID_HANDLE_VALUE;
  buffer->base = static_cast<uint8_t*>(AllocZeroed(size));
  buffer->position = buffer->base;
  buffer->end = buffer->base;
  return buffer->base == NULL ? ERROR_NOT_ENOUGH_MEMORY : 0;
}

uint32_t InitFileWriter(FileBuffer* buffer, uint32_t size) {
  buffer->handle = INVALID_HANDLE_VALUE;
  buffer->base = static_cast<uint8_t*>(AllocZeroed(size));
  buffer->position = buffer->base;
  buffer->end = buffer->base == NULL ? NULL : buffer->base + size;
  return buffer->base == NULL ? ERROR_NOT_ENOUGH_MEMORY : 0;
}

uint32_t CloseFileBuffer(FileBuffer* buffer) {
  if (buffer->handle != INVALID_HANDLE_VALUE) {
    Sys().CloseHandle(buffer->handle);
    buffer->handle = INVALID_HANDLE_VALUE;
  }
  FreeBlock(buffer->base);
  buffer->base = NULL;
  buffer->position = NULL;
  buffer->end = NULL;
  return 0;
}

uint32_t FillFileReader(FileBuffer* buffer) {
  if (buffer->base == NULL) return ERROR_NOT_ENOUGH_MEMORY;
  if (buffer->position < buffer->end) return 0;
  buffer->position = buffer->base;
  buffer->end = buffer->base;
  uint32_t wanted = FILE_BUFFER_SIZE;
  while (wanted != 0) {
    DWORD got = 0;
    if (!Sys().ReadFile(buffer->handle, buffer->end, wanted, &got, NULL)) return Sys().GetLastError();
    if (got == 0) return buffer->position < buffer->end ? 0 : ERROR_HANDLE_EOF;
    // A platform that claims more than was asked must not move `end` past
    // the buffer.
    if (got > wanted) got = wanted;
    buffer->end += got;
    wanted -= got;
  }
  return 0;
}

uint32_t ReadExact(FileBuffer* buffer, void* destination, uint32_t count) {
  if (destination == NULL) return ERROR_INVALID_PARAMETER;
  uint8_t* out = static_cast<uint8_t*>(destination);
  while (count != 0) {
    uint32_t available = static_cast<uint32_t>(buffer->end - buffer->position);
    if (available == 0) {
      // Buffered data wins over the fill's error; a persisting error comes
      // back with the next fill.
      uint32_t result = FillFileReader(buffer);
      available = static_cast<uint32_t>(buffer->end - buffer->position);
      if (available == 0) return result;
    }
    uint32_t n = available < count ? available : count;
    CopyBytes(out, buffer->position, n);
    buffer->position += n;
    out += n;
    count -= n;
  }
  return 0;
}

uint32_t ReadDecoderInput(FileBuffer* buffer, const uint8_t** data, uint32_t* count) {
  uint32_t available = static_cast<uint32_t>(buffer->end - buffer->position);
  if (available == 0) {
    FillFileReader(buffer);
    available = static_cast<uint32_t>(buffer->end - buffer->position);
    if (available == 0) return 1;
  }
  *data = buffer->position;
  *count = available;
  buffer->position = buffer->end;
  return 0;
}

uint32_t FlushFileWriter(FileBuffer* buffer) {
  uint32_t remaining = static_cast<uint32_t>(buffer->position - buffer->base);
  buffer->position = buffer->base;
  while (remaining != 0) {
    DWORD written = 0;
    if (!Sys().WriteFile(buffer->handle, buffer->position, remaining, &written, NULL)) return Sys().GetLastError();
    if (written == 0) return ERROR_HANDLE_DISK_FULL;
    if (written > remaining) written = remaining;
    buffer->position += written;
    remaining -= written;
  }
  buffer->position = buffer->base;
  return 0;
}
