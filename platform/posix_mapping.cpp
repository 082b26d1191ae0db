// Read-only file mappings and their views, over mmap.
//
// A mapping holds its own duplicate of the file's descriptor, so it outlives
// the file handle (the caller may close that right away), and the size the
// mapping was made with. A view must start at a multiple of the allocation
// granularity, 65,536 bytes, which is a multiple of the page size, so the
// address mmap gives is the view's address itself. The views are kept in a
// table with their lengths, for UnmapViewOfFile.
//
// What the host leaves out: mappings without a file, named mappings, and
// any protection but PAGE_READONLY (ERROR_INVALID_PARAMETER); views with
// write or copy access (ERROR_ACCESS_DENIED, as for a read-only mapping).
// A file cut shorter while a view of it exists raises SIGBUS on access past
// its new end, where Windows would refuse to cut it.
#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <mutex>

#include "platform/posix_internal.h"

static const uint64_t allocationGranularity = 65536;

static std::mutex viewLock;
static std::map<const void*, size_t> views;  // address -> mapped length

HANDLE PosixCreateFileMappingA(HANDLE hFile, LPSECURITY_ATTRIBUTES lpAttributes, DWORD flProtect,
                               DWORD dwMaximumSizeHigh, DWORD dwMaximumSizeLow, LPCSTR lpName) {
  (void)lpAttributes;
  PosixHandle* file = PosixHandleOf(hFile, PosixFileHandle);
  if (file == NULL) {
    PosixSetLastError(ERROR_INVALID_HANDLE);
    return NULL;
  }
  if (flProtect != PAGE_READONLY || lpName != NULL) {
    PosixSetLastError(ERROR_INVALID_PARAMETER);
    return NULL;
  }
  int flags = fcntl(file->fd, F_GETFL);
  if (flags < 0) {
    PosixFailFromErrno();
    return NULL;
  }
  if ((flags & O_ACCMODE) == O_WRONLY || file->writeonly) {  // a read-only view needs read access
    PosixSetLastError(ERROR_ACCESS_DENIED);
    return NULL;
  }
  struct stat status;
  if (fstat(file->fd, &status) != 0) {
    PosixFailFromErrno();
    return NULL;
  }
  uint64_t fileSize = static_cast<uint64_t>(status.st_size);
  uint64_t size = static_cast<uint64_t>(dwMaximumSizeHigh) << 32 | dwMaximumSizeLow;
  if (size == 0) {
    // The whole file; an empty one cannot be mapped.
    if (fileSize == 0) {
      PosixSetLastError(ERROR_FILE_INVALID);
      return NULL;
    }
    size = fileSize;
  } else if (size > fileSize) {
    // Windows would grow the file, which a read-only mapping may not do.
    PosixSetLastError(ERROR_ACCESS_DENIED);
    return NULL;
  }
  int fd = fcntl(file->fd, F_DUPFD_CLOEXEC, 0);
  if (fd < 0) {
    PosixFailFromErrno();
    return NULL;
  }
  PosixHandle* mapping = NewPosixHandle(PosixMappingHandle);
  mapping->fd = fd;
  mapping->size = size;
  return mapping;
}

LPVOID PosixMapViewOfFile(HANDLE hFileMappingObject, DWORD dwDesiredAccess, DWORD dwFileOffsetHigh,
                          DWORD dwFileOffsetLow, SIZE_T dwNumberOfBytesToMap) {
  PosixHandle* mapping = PosixHandleOf(hFileMappingObject, PosixMappingHandle);
  if (mapping == NULL) {
    PosixSetLastError(ERROR_INVALID_HANDLE);
    return NULL;
  }
  if (dwDesiredAccess != FILE_MAP_READ) {
    PosixSetLastError(ERROR_ACCESS_DENIED);
    return NULL;
  }
  uint64_t offset = static_cast<uint64_t>(dwFileOffsetHigh) << 32 | dwFileOffsetLow;
  if (offset % allocationGranularity != 0) {
    PosixSetLastError(ERROR_MAPPED_ALIGNMENT);
    return NULL;
  }
  // A view must lie inside the mapping: Windows refuses one that starts or
  // ends past it with ERROR_ACCESS_DENIED. Length 0 means up to its end.
  if (offset >= mapping->size || dwNumberOfBytesToMap > mapping->size - offset) {
    PosixSetLastError(ERROR_ACCESS_DENIED);
    return NULL;
  }
  size_t length = dwNumberOfBytesToMap != 0 ? dwNumberOfBytesToMap : static_cast<size_t>(mapping->size - offset);
  void* view = mmap(NULL, length, PROT_READ, MAP_SHARED, mapping->fd, static_cast<off_t>(offset));
  if (view == MAP_FAILED) {
    PosixFailFromErrno();
    return NULL;
  }
  std::lock_guard<std::mutex> guard(viewLock);
  views[view] = length;
  return view;
}

BOOL PosixUnmapViewOfFile(LPCVOID lpBaseAddress) {
  size_t length;
  {
    std::lock_guard<std::mutex> guard(viewLock);
    auto view = views.find(lpBaseAddress);
    if (view == views.end()) {
      PosixSetLastError(ERROR_INVALID_ADDRESS);
      return FALSE;
    }
    length = view->second;
    views.erase(view);
  }
  if (munmap(const_cast<void*>(lpBaseAddress), length) != 0) {
    PosixFailFromErrno();
    return FALSE;
  }
  return TRUE;
}
