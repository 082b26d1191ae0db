#include <errno.h>

#include "platform/posix_internal.h"

// The last error of the emulated thread (the host runs the loader on one thread).
static DWORD lastError;

DWORD PosixGetLastError(void) { return lastError; }

void PosixSetLastError(DWORD dwErrCode) { lastError = dwErrCode; }

DWORD PosixFailFromErrno() {
  DWORD error = WindowsErrorFromErrno(errno);
  lastError = error;
  return error;
}
