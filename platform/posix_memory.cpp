// The process heap and the fixed global allocator, over the C allocator.
#include <stdlib.h>

#include "platform/posix_internal.h"

#define GMEM_ZEROINIT_FLAG 0x0040u

// The process heap is a token: every block comes from the C allocator.
static char processHeapToken;

HANDLE PosixGetProcessHeap(void) { return &processHeapToken; }

// Any other heap handle (null from a failed GetProcessHeap among them) names
// no heap: refused, where Windows would fault.
LPVOID PosixHeapAlloc(HANDLE hHeap, DWORD dwFlags, SIZE_T dwBytes) {
  if (hHeap != &processHeapToken) {
    PosixSetLastError(ERROR_INVALID_HANDLE);
    return NULL;
  }
  // Windows gives a distinct block for a size of 0, and so does this.
  const size_t size = dwBytes == 0 ? 1 : dwBytes;
  void* block = (dwFlags & HEAP_ZERO_MEMORY) != 0 ? calloc(1, size) : malloc(size);
  if (block == NULL) PosixSetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return block;
}

BOOL PosixHeapFree(HANDLE hHeap, DWORD dwFlags, LPVOID lpMem) {
  (void)dwFlags;
  if (hHeap != &processHeapToken) {
    PosixSetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  free(lpMem);
  return TRUE;
}

// Only fixed memory is handed out (GMEM_FIXED): the handle is the pointer.
HGLOBAL PosixGlobalAlloc(UINT uFlags, SIZE_T dwBytes) {
  const size_t size = dwBytes == 0 ? 1 : dwBytes;
  void* block = (uFlags & GMEM_ZEROINIT_FLAG) != 0 ? calloc(1, size) : malloc(size);
  if (block == NULL) PosixSetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return block;
}

// Null on success, as Windows has it.
HGLOBAL PosixGlobalFree(HGLOBAL hMem) {
  free(hMem);
  return NULL;
}
