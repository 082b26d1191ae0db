#include <errno.h>

#include "platform/posix_internal.h"

// The last error of the calling thread, as Windows keeps it: the installer
// library's decoding threads read files through this backend too.
static thread_local DWORD lastError;

DWORD PosixGetLastError(void) { return lastError; }

void PosixSetLastError(DWORD dwErrCode) { lastError = dwErrCode; }

DWORD PosixFailFromErrno() {
  DWORD error = WindowsErrorFromErrno(errno);
  lastError = error;
  return error;
}

// Every errno value the backend can meet, with the Windows system error
// number that Windows gives for the same condition. This is the only place
// where errno values are translated.
static const struct {
  int error;
  DWORD windows;
} errnoTable[] = {
    {0, ERROR_SUCCESS},
    {EPERM, ERROR_ACCESS_DENIED},
    {ENOENT, ERROR_FILE_NOT_FOUND},
    {ESRCH, ERROR_INVALID_HANDLE},
    {EINTR, 1223},  // ERROR_CANCELLED
    {EIO, ERROR_IO_DEVICE},
    {ENXIO, ERROR_FILE_NOT_FOUND},
    {E2BIG, 1639},  // ERROR_INVALID_COMMAND_LINE
    {ENOEXEC, ERROR_BAD_EXE_FORMAT},
    {EBADF, ERROR_INVALID_HANDLE},
    {ECHILD, 128},  // ERROR_WAIT_NO_CHILDREN
    {EAGAIN, 170},  // ERROR_BUSY
    {ENOMEM, ERROR_NOT_ENOUGH_MEMORY},
    {EACCES, ERROR_ACCESS_DENIED},
    {EFAULT, 998},  // ERROR_NOACCESS
    {EBUSY, ERROR_BUSY},
    {EEXIST, ERROR_FILE_EXISTS},
    {EXDEV, 17},  // ERROR_NOT_SAME_DEVICE
    {ENODEV, 15},  // ERROR_INVALID_DRIVE
    {ENOTDIR, ERROR_PATH_NOT_FOUND},
    {EISDIR, ERROR_ACCESS_DENIED},
    {EINVAL, ERROR_INVALID_PARAMETER},
    {ENFILE, ERROR_TOO_MANY_OPEN_FILES},
    {EMFILE, ERROR_TOO_MANY_OPEN_FILES},
    {ENOTTY, ERROR_INVALID_FUNCTION},
    {ETXTBSY, ERROR_SHARING_VIOLATION},
    {EFBIG, ERROR_DISK_FULL},
    {ENOSPC, ERROR_DISK_FULL},
    {ESPIPE, 132},  // ERROR_SEEK_ON_DEVICE
    {EROFS, ERROR_ACCESS_DENIED},
    {EMLINK, 1142},  // ERROR_TOO_MANY_LINKS
    {EPIPE, ERROR_BROKEN_PIPE},
    {EDOM, ERROR_INVALID_PARAMETER},
    {ERANGE, ERROR_INSUFFICIENT_BUFFER},
    {EDEADLK, 33},  // ERROR_LOCK_VIOLATION
    {ENAMETOOLONG, ERROR_FILENAME_EXCED_RANGE},
    {ENOLCK, 36},  // ERROR_SHARING_BUFFER_EXCEEDED
    {ENOSYS, 120},  // ERROR_CALL_NOT_IMPLEMENTED
    {ENOTEMPTY, ERROR_DIR_NOT_EMPTY},
    {ELOOP, ERROR_CANT_RESOLVE_FILENAME},
    {EOVERFLOW, 534},  // ERROR_ARITHMETIC_OVERFLOW
    {EILSEQ, ERROR_NO_UNICODE_TRANSLATION},
    {ENOTSUP, ERROR_NOT_SUPPORTED},
    {ETIMEDOUT, ERROR_TIMEOUT},
    {EDQUOT, ERROR_DISK_FULL},
    {ESTALE, ERROR_FILE_NOT_FOUND},
    {ECANCELED, 1223},  // ERROR_CANCELLED
};

// Anything not in the table: ERROR_GEN_FAILURE ("A device attached to the
// system is not functioning"), the generic failure Windows itself falls back on.
static const DWORD unknownErrnoError = 31;

DWORD WindowsErrorFromErrno(int error) {
  for (const auto& entry : errnoTable) {
    if (entry.error == error) return entry.windows;
  }
  return unknownErrnoError;
}
