// The records behind the backend's HANDLEs, and CloseHandle.
//
// Every record handed out is kept in a set, so that a handle that is not ours
// (stale, foreign, garbage) is refused with ERROR_INVALID_HANDLE instead of
// being followed.
#include <errno.h>
#include <sys/wait.h>
#include <unistd.h>

#include <mutex>
#include <unordered_set>

#include "platform/posix_internal.h"

static std::mutex& HandleLock() {
  static std::mutex lock;
  return lock;
}

static std::unordered_set<PosixHandle*>& LiveHandles() {
  static std::unordered_set<PosixHandle*> live;
  return live;
}

PosixHandle* NewPosixHandle(uint32_t kind) {
  PosixHandle* handle = new PosixHandle();
  handle->kind = kind;
  handle->fd = -1;
  std::lock_guard<std::mutex> guard(HandleLock());
  LiveHandles().insert(handle);
  return handle;
}

PosixHandle* PosixHandleOf(HANDLE handle, uint32_t kind) {
  if (handle == NULL || handle == INVALID_HANDLE_VALUE) return NULL;
  PosixHandle* record = static_cast<PosixHandle*>(handle);
  std::lock_guard<std::mutex> guard(HandleLock());
  if (LiveHandles().count(record) == 0 || record->kind != kind) return NULL;
  return record;
}

void FreePosixHandle(PosixHandle* handle) {
  if (handle == NULL) return;
  {
    std::lock_guard<std::mutex> guard(HandleLock());
    LiveHandles().erase(handle);
  }
  delete handle;
}

// Closes a descriptor once: after close() the descriptor is gone whatever it
// returns (EINTR included), so it is never retried.
static bool CloseDescriptor(int fd) {
  if (fd < 0) return true;
  return close(fd) == 0 || errno == EINTR;
}

BOOL PosixCloseHandle(HANDLE hObject) {
  static const uint32_t kinds[] = {PosixFileHandle, PosixMappingHandle, PosixProcessHandle, PosixThreadHandle};
  PosixHandle* record = NULL;
  for (uint32_t kind : kinds) {
    record = PosixHandleOf(hObject, kind);
    if (record != NULL) break;
  }
  if (record == NULL) {
    PosixSetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  bool closed = true;
  int error = 0;
  if (record->kind == PosixFileHandle || record->kind == PosixMappingHandle || record->kind == PosixProcessHandle) {
    closed = CloseDescriptor(record->fd);
    error = errno;
  }
  // A process that was never waited for keeps running; only the record goes.
  // One that has already ended is collected now: no handle is left to wait
  // for it, and it would stay behind as a zombie for the host's lifetime.
  if (record->kind == PosixProcessHandle && !record->ended) {
    int status;
    while (waitpid(record->pid, &status, WNOHANG) < 0 && errno == EINTR) {
    }
  }
  FreePosixHandle(record);
  if (!closed) {
    // The handle is released all the same; the error (such as EIO from a
    // delayed write) is still worth reporting.
    errno = error;
    PosixFailFromErrno();
    return FALSE;
  }
  return TRUE;
}
