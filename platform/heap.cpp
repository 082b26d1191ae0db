#include "platform/heap.h"

#include "platform/platform.h"

static HANDLE processHeap;

void TakeProcessHeap() { processHeap = Sys().GetProcessHeap(); }

void* AllocZeroed(uint32_t size) {
  // Taken lazily too, so that code run outside the loader's start-up (the
  // pxq tool, tests) can allocate without a separate set-up step.
  if (processHeap == NULL) TakeProcessHeap();
  return Sys().HeapAlloc(processHeap, HEAP_ZERO_MEMORY, size);
}

void FreeBlock(void* block) {
  if (block == NULL) return;
  Sys().HeapFree(processHeap, 0, block);
}

void ZeroBytes(void* destination, uint32_t count) {
  volatile uint8_t* out = static_cast<uint8_t*>(destination);
  while (count-- != 0) *out++ = 0;
}

void CopyBytes(void* destination, const void* source, uint32_t count) {
  uint8_t* out = static_cast<uint8_t*>(destination);
  const uint8_t* in = static_cast<const uint8_t*>(source);
  while (count-- != 0) *out++ = *in++;
}
