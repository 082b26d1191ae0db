// Files over POSIX descriptors, with the Windows calls' results and errors.
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "platform/filetime.h"
#include "platform/posix_internal.h"
#include "platform/posix_share.h"

#ifndef FILE_ATTRIBUTE_REPARSE_POINT
#define FILE_ATTRIBUTE_REPARSE_POINT 0x00000400u
#endif
#define ERROR_NOACCESS_NUMBER 998u

// Files that CreateFileA makes: read, write and execute for the owner only
// (the extracted installer must be executable, and nobody else's business).
static const mode_t createdFileMode = 0700;

static BOOL Fail(DWORD error) {
  PosixSetLastError(error);
  return FALSE;
}

// A missing file whose directory is missing too is ERROR_PATH_NOT_FOUND on
// Windows, not ERROR_FILE_NOT_FOUND.
static DWORD ErrorForPath(const char* path, int error) {
  // An empty name has no directory to be found in.
  if (error == ENOENT && path != NULL && path[0] == '\0') return ERROR_PATH_NOT_FOUND;
  if (error == ENOENT && path != NULL) {
    std::string directory(path);
    size_t slash = directory.find_last_of('/');
    if (slash != std::string::npos) {
      directory.resize(slash == 0 ? 1 : slash);
      struct stat status;
      if (stat(directory.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) return ERROR_PATH_NOT_FOUND;
    }
  }
  return WindowsErrorFromErrno(error);
}

static DWORD FailPath(const char* path, int error) {
  DWORD windows = ErrorForPath(path, error);
  PosixSetLastError(windows);
  return windows;
}

// Read-only on Windows is the absence of every write permission here.
static bool IsReadOnly(const struct stat& status) { return (status.st_mode & 0222) == 0; }

// Opens without following a symbolic link in the last component and without
// blocking on a FIFO; returns the descriptor or -1 with errno set. A file
// opened for writing only is opened for reading too where it may be, so that
// its descriptor can hold the share locks; the handle still refuses reads.
static int OpenOnce(const char* path, int flags) {
  int fd;
  do {
    fd = open(path, flags | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK, createdFileMode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

static int OpenNoFollow(const char* path, int flags) {
  if ((flags & O_ACCMODE) != O_WRONLY) return OpenOnce(path, flags);
  int fd = OpenOnce(path, (flags & ~O_ACCMODE) | O_RDWR);
  if (fd < 0 && errno == EACCES) fd = OpenOnce(path, flags);
  return fd;
}

HANDLE PosixCreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                        LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                        DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
  // Share modes are enforced among the host's opens (posix_share.cpp); no
  // security descriptor or template applies to a POSIX file, and
  // descriptors are never inherited.
  (void)lpSecurityAttributes;
  (void)hTemplateFile;
  if (lpFileName == NULL) {
    PosixSetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  const bool wantRead = (dwDesiredAccess & GENERIC_READ) != 0;
  const bool wantWrite = (dwDesiredAccess & GENERIC_WRITE) != 0;
  const int access = wantWrite ? (wantRead ? O_RDWR : O_WRONLY) : O_RDONLY;

  int fd = -1;
  bool created = false;
  switch (dwCreationDisposition) {
    case CREATE_NEW:
      fd = OpenNoFollow(lpFileName, access | O_CREAT | O_EXCL);
      created = fd >= 0;
      break;
    case CREATE_ALWAYS:
    case OPEN_ALWAYS:
      // Create exclusively first, so that a new file is known to be ours
      // (and gets our mode); an existing one is opened as it is.
      for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        fd = OpenNoFollow(lpFileName, access | O_CREAT | O_EXCL);
        if (fd >= 0) {
          created = true;
        } else if (errno == EEXIST) {
          fd = OpenNoFollow(lpFileName, access);
          if (fd < 0 && errno != ENOENT) break;  // ENOENT: removed meanwhile, try again
        } else {
          break;
        }
      }
      break;
    case OPEN_EXISTING:
      fd = OpenNoFollow(lpFileName, access);
      break;
    case TRUNCATE_EXISTING:
      if (!wantWrite) {
        PosixSetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
      }
      fd = OpenNoFollow(lpFileName, access);
      break;
    default:
      PosixSetLastError(ERROR_INVALID_PARAMETER);
      return INVALID_HANDLE_VALUE;
  }
  if (fd < 0) {
    int error = errno;
    struct stat status;
    // ELOOP: a symbolic link in the last component; ENXIO: a FIFO without a
    // reader. Neither is a file this call may open.
    if ((error == ELOOP || error == ENXIO) && lstat(lpFileName, &status) == 0 && !S_ISREG(status.st_mode)) {
      PosixSetLastError(ERROR_ACCESS_DENIED);
    } else {
      FailPath(lpFileName, error);
    }
    return INVALID_HANDLE_VALUE;
  }

  struct stat status;
  DWORD refusal = ERROR_SUCCESS;
  if (fstat(fd, &status) != 0) {
    refusal = WindowsErrorFromErrno(errno);
  } else if (S_ISDIR(status.st_mode) || S_ISFIFO(status.st_mode) || S_ISSOCK(status.st_mode)) {
    refusal = ERROR_ACCESS_DENIED;
  } else if (!created && wantWrite && S_ISREG(status.st_mode) &&
             (status.st_uid != geteuid() || status.st_nlink > 1)) {
    // The loader writes its installer copy at a predictable name in a
    // temporary directory that other users share. A file there that someone
    // else owns, or a hard link to a file elsewhere, would let another user
    // change the program before it runs, or make the copy overwrite a file
    // that is not the copy: refuse it as Windows refuses a file it may not
    // write.
    refusal = ERROR_ACCESS_DENIED;
  } else if (!created && wantWrite && S_ISREG(status.st_mode) && IsReadOnly(status)) {
    // A read-only file cannot be opened for writing on Windows, whoever asks
    // (root included here).
    refusal = ERROR_ACCESS_DENIED;
  } else if (S_ISREG(status.st_mode) &&
             (refusal = TakeShareLocks(fd, ShareAccessOf(dwDesiredAccess), dwShareMode, true)) != ERROR_SUCCESS) {
    // Another open does not share what this one asks for, or holds what
    // this one would deny: nothing has been changed yet.
  } else if (created && fchmod(fd, createdFileMode) != 0) {
    refusal = WindowsErrorFromErrno(errno);
  } else if (!created && S_ISREG(status.st_mode) &&
             (dwCreationDisposition == CREATE_ALWAYS || dwCreationDisposition == TRUNCATE_EXISTING) &&
             ftruncate(fd, 0) != 0) {
    refusal = WindowsErrorFromErrno(errno);
  } else if (!created && S_ISREG(status.st_mode) && dwCreationDisposition == CREATE_ALWAYS &&
             fchmod(fd, createdFileMode) != 0) {
    // Replaced, the file is what a created one is: the owner's, and
    // executable, so that a copy written over an old file runs.
    refusal = WindowsErrorFromErrno(errno);
  }
  if (refusal == ERROR_SUCCESS) {
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) refusal = WindowsErrorFromErrno(errno);
  }
  if (refusal != ERROR_SUCCESS) {
    close(fd);
    PosixSetLastError(refusal);
    return INVALID_HANDLE_VALUE;
  }
  if ((dwFlagsAndAttributes & FILE_FLAG_SEQUENTIAL_SCAN) != 0) posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);

  PosixHandle* handle = NewPosixHandle(PosixFileHandle);
  handle->fd = fd;
  handle->writeonly = !wantRead;
  // Windows reports an existing file replaced or opened by these two
  // dispositions with ERROR_ALREADY_EXISTS, and clears the error otherwise.
  const bool existingReported =
      !created && (dwCreationDisposition == CREATE_ALWAYS || dwCreationDisposition == OPEN_ALWAYS);
  PosixSetLastError(existingReported ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
  return handle;
}

BOOL PosixReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
                   LPOVERLAPPED lpOverlapped) {
  if (lpNumberOfBytesRead != NULL) *lpNumberOfBytesRead = 0;
  PosixHandle* handle = PosixHandleOf(hFile, PosixFileHandle);
  if (handle == NULL) return Fail(ERROR_INVALID_HANDLE);
  if (lpOverlapped != NULL) return Fail(ERROR_INVALID_PARAMETER);  // synchronous only
  if (lpBuffer == NULL && nNumberOfBytesToRead != 0) return Fail(ERROR_NOACCESS_NUMBER);
  if (handle->writeonly) return Fail(ERROR_ACCESS_DENIED);  // not opened for reading
  ssize_t count;
  do {
    count = read(handle->fd, lpBuffer, nNumberOfBytesToRead);
  } while (count < 0 && errno == EINTR);
  if (count < 0) {
    // EBADF on a handle of ours: it was not opened for reading.
    return Fail(errno == EBADF ? ERROR_ACCESS_DENIED : WindowsErrorFromErrno(errno));
  }
  // A short count is reported as it is: the callers loop.
  if (lpNumberOfBytesRead != NULL) *lpNumberOfBytesRead = static_cast<DWORD>(count);
  return TRUE;
}

BOOL PosixWriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
                    LPOVERLAPPED lpOverlapped) {
  if (lpNumberOfBytesWritten != NULL) *lpNumberOfBytesWritten = 0;
  PosixHandle* handle = PosixHandleOf(hFile, PosixFileHandle);
  if (handle == NULL) return Fail(ERROR_INVALID_HANDLE);
  if (lpOverlapped != NULL) return Fail(ERROR_INVALID_PARAMETER);
  if (lpBuffer == NULL && nNumberOfBytesToWrite != 0) return Fail(ERROR_NOACCESS_NUMBER);
  ssize_t count;
  do {
    count = write(handle->fd, lpBuffer, nNumberOfBytesToWrite);
  } while (count < 0 && errno == EINTR);
  if (count < 0) return Fail(errno == EBADF ? ERROR_ACCESS_DENIED : WindowsErrorFromErrno(errno));
  if (lpNumberOfBytesWritten != NULL) *lpNumberOfBytesWritten = static_cast<DWORD>(count);
  return TRUE;
}

DWORD PosixSetFilePointer(HANDLE hFile, LONG lDistanceToMove, PLONG lpDistanceToMoveHigh, DWORD dwMoveMethod) {
  PosixHandle* handle = PosixHandleOf(hFile, PosixFileHandle);
  if (handle == NULL) {
    PosixSetLastError(ERROR_INVALID_HANDLE);
    return INVALID_SET_FILE_POINTER;
  }
  // Without a high part the distance is a signed 32-bit value; with one, the
  // two halves make a signed 64-bit value.
  int64_t distance = lDistanceToMove;
  if (lpDistanceToMoveHigh != NULL) {
    distance = static_cast<int64_t>((static_cast<uint64_t>(static_cast<uint32_t>(*lpDistanceToMoveHigh)) << 32) |
                                    static_cast<uint32_t>(lDistanceToMove));
  }
  int64_t origin;
  switch (dwMoveMethod) {
    case FILE_BEGIN:
      origin = 0;
      break;
    case FILE_CURRENT: {
      off_t current = lseek(handle->fd, 0, SEEK_CUR);
      if (current < 0) {
        PosixFailFromErrno();
        return INVALID_SET_FILE_POINTER;
      }
      origin = current;
      break;
    }
    case FILE_END: {
      struct stat status;
      if (fstat(handle->fd, &status) != 0) {
        PosixFailFromErrno();
        return INVALID_SET_FILE_POINTER;
      }
      origin = status.st_size;
      break;
    }
    default:
      PosixSetLastError(ERROR_INVALID_PARAMETER);
      return INVALID_SET_FILE_POINTER;
  }
  int64_t position;
  if (__builtin_add_overflow(origin, distance, &position)) {
    PosixSetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_SET_FILE_POINTER;
  }
  if (position < 0) {
    PosixSetLastError(ERROR_NEGATIVE_SEEK);
    return INVALID_SET_FILE_POINTER;
  }
  // A position that the 32-bit result cannot carry needs the high part.
  if (lpDistanceToMoveHigh == NULL && position > 0xFFFFFFFFll) {
    PosixSetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_SET_FILE_POINTER;
  }
  if (lseek(handle->fd, static_cast<off_t>(position), SEEK_SET) < 0) {
    PosixFailFromErrno();
    return INVALID_SET_FILE_POINTER;
  }
  const DWORD low = static_cast<DWORD>(position);
  if (lpDistanceToMoveHigh != NULL) *lpDistanceToMoveHigh = static_cast<LONG>(static_cast<uint64_t>(position) >> 32);
  // The one way for a caller to tell this position from a failure.
  if (low == INVALID_SET_FILE_POINTER) PosixSetLastError(ERROR_SUCCESS);
  return low;
}

DWORD PosixGetFileSize(HANDLE hFile, LPDWORD lpFileSizeHigh) {
  PosixHandle* handle = PosixHandleOf(hFile, PosixFileHandle);
  if (handle == NULL) {
    PosixSetLastError(ERROR_INVALID_HANDLE);
    return INVALID_FILE_SIZE;
  }
  struct stat status;
  if (fstat(handle->fd, &status) != 0) {
    PosixFailFromErrno();
    return INVALID_FILE_SIZE;
  }
  const uint64_t size = static_cast<uint64_t>(status.st_size);
  if (lpFileSizeHigh != NULL) *lpFileSizeHigh = static_cast<DWORD>(size >> 32);
  const DWORD low = static_cast<DWORD>(size);
  if (low == INVALID_FILE_SIZE) PosixSetLastError(ERROR_SUCCESS);
  return low;
}

// A FILETIME that asks for a change: null, zero and all ones leave the time
// as it is (the latter two as Windows documents them).
static bool TimeGiven(const FILETIME* time, struct timespec* out) {
  if (time == NULL) return false;
  if (time->dwLowDateTime == 0 && time->dwHighDateTime == 0) return false;
  if (time->dwLowDateTime == 0xFFFFFFFFu && time->dwHighDateTime == 0xFFFFFFFFu) return false;
  int64_t seconds;
  uint32_t nanoseconds;
  UnixFromFileTime((static_cast<uint64_t>(time->dwHighDateTime) << 32) | time->dwLowDateTime, &seconds,
                   &nanoseconds);
  out->tv_sec = static_cast<time_t>(seconds);
  out->tv_nsec = static_cast<long>(nanoseconds);
  return true;
}

BOOL PosixSetFileTime(HANDLE hFile, const FILETIME* lpCreationTime, const FILETIME* lpLastAccessTime,
                      const FILETIME* lpLastWriteTime) {
  (void)lpCreationTime;  // POSIX files have no creation time to set
  PosixHandle* handle = PosixHandleOf(hFile, PosixFileHandle);
  if (handle == NULL) return Fail(ERROR_INVALID_HANDLE);
  struct timespec times[2];
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;
  times[1] = times[0];
  TimeGiven(lpLastAccessTime, &times[0]);
  TimeGiven(lpLastWriteTime, &times[1]);
  if (times[0].tv_nsec == UTIME_OMIT && times[1].tv_nsec == UTIME_OMIT) return TRUE;
  if (futimens(handle->fd, times) != 0) return Fail(WindowsErrorFromErrno(errno));
  return TRUE;
}

DWORD PosixGetFileAttributesA(LPCSTR lpFileName) {
  if (lpFileName == NULL) {
    PosixSetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_FILE_ATTRIBUTES;
  }
  struct stat status;
  if (lstat(lpFileName, &status) != 0) {
    FailPath(lpFileName, errno);
    return INVALID_FILE_ATTRIBUTES;
  }
  DWORD attributes = 0;
  if (S_ISLNK(status.st_mode)) {
    // A symbolic link has attributes of its own, as a reparse point does.
    attributes |= FILE_ATTRIBUTE_REPARSE_POINT;
    struct stat target;
    if (stat(lpFileName, &target) == 0 && S_ISDIR(target.st_mode)) attributes |= FILE_ATTRIBUTE_DIRECTORY;
    return attributes;
  }
  if (S_ISDIR(status.st_mode)) attributes |= FILE_ATTRIBUTE_DIRECTORY;
  if (IsReadOnly(status)) attributes |= FILE_ATTRIBUTE_READONLY;
  return attributes == 0 ? FILE_ATTRIBUTE_NORMAL : attributes;
}

// A file that the copy must never change: another user's, or one with other
// hard links (changing it would change a file elsewhere).
static bool IsPlanted(const struct stat& status) {
  return S_ISREG(status.st_mode) && (status.st_uid != geteuid() || status.st_nlink > 1);
}

// Changes the mode of the very file that `fd` (an O_PATH descriptor) was
// opened on, never of what its name may point to by now.
static int ChangeModeOf(int fd, const struct stat& status, const char* path, mode_t mode) {
  std::string self = "/proc/self/fd/" + std::to_string(fd);
  if (chmod(self.c_str(), mode) == 0) return 0;
  if (errno != ENOENT) return -1;
  // No /proc: open the name again, and act only if it is still that file.
  int again = OpenOnce(path, O_RDONLY);
  if (again < 0) return -1;
  struct stat now;
  int result = -1;
  if (fstat(again, &now) != 0) {
    // errno set
  } else if (now.st_dev != status.st_dev || now.st_ino != status.st_ino) {
    errno = EACCES;
  } else {
    result = fchmod(again, mode);
  }
  int error = errno;
  close(again);
  errno = error;
  return result;
}

BOOL PosixSetFileAttributesA(LPCSTR lpFileName, DWORD dwFileAttributes) {
  if (lpFileName == NULL) return Fail(ERROR_INVALID_PARAMETER);
  // Checked and changed through one descriptor: a name swapped for a link
  // between the check and the change changes nothing.
  int fd = open(lpFileName, O_PATH | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    FailPath(lpFileName, errno);
    return FALSE;
  }
  struct stat status;
  if (fstat(fd, &status) != 0) {
    PosixFailFromErrno();
    close(fd);
    return FALSE;
  }
  // A link's attributes are its own: the target is never changed through it.
  // A directory keeps its permissions (Windows ignores read-only there too).
  if (S_ISLNK(status.st_mode) || S_ISDIR(status.st_mode)) {
    close(fd);
    return TRUE;
  }
  // Refused before anything changes, like the writing CreateFileA refuses.
  if (IsPlanted(status)) {
    close(fd);
    return Fail(ERROR_ACCESS_DENIED);
  }
  mode_t mode = status.st_mode & 07777;
  if ((dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0) {
    mode &= ~static_cast<mode_t>(0222);
  } else if (IsReadOnly(status)) {
    mode |= S_IWUSR;
  }
  // Hidden, system, archive and the rest have nothing to stand for here.
  BOOL result = TRUE;
  if (mode != (status.st_mode & 07777) && ChangeModeOf(fd, status, lpFileName, mode) != 0) {
    FailPath(lpFileName, errno);
    result = FALSE;
  }
  close(fd);
  return result;
}

BOOL PosixDeleteFileA(LPCSTR lpFileName) {
  if (lpFileName == NULL) return Fail(ERROR_INVALID_PARAMETER);
  struct stat status;
  if (lstat(lpFileName, &status) != 0) {
    FailPath(lpFileName, errno);
    return FALSE;
  }
  // Windows refuses to delete a directory or a read-only file. Another
  // user's file at the name is not the copy: it is never deleted.
  if (S_ISDIR(status.st_mode)) return Fail(ERROR_ACCESS_DENIED);
  if (S_ISREG(status.st_mode) && (IsReadOnly(status) || status.st_uid != geteuid())) return Fail(ERROR_ACCESS_DENIED);
  if (S_ISREG(status.st_mode)) {
    // Every open of the file must share deletion (a running image does not).
    int fd = OpenOnce(lpFileName, O_RDONLY);
    if (fd >= 0) {
      struct stat opened;
      DWORD refusal = ERROR_SUCCESS;
      if (fstat(fd, &opened) == 0 && opened.st_dev == status.st_dev && opened.st_ino == status.st_ino)
        refusal = TakeShareLocks(fd, SHARE_ACCESS_DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 false);
      close(fd);
      if (refusal != ERROR_SUCCESS) return Fail(refusal);
    }
  }
  if (unlink(lpFileName) != 0) {
    FailPath(lpFileName, errno);
    return FALSE;
  }
  return TRUE;
}

DWORD PosixGetTempPathA(DWORD nBufferLength, LPSTR lpBuffer) {
  const char* directory = getenv("TMPDIR");
  std::string path = directory != NULL && directory[0] != '\0' ? directory : "/tmp";
  if (path.back() != '/') path += '/';
  if (path.size() > 0xFFFFFFF0u) {
    PosixSetLastError(ERROR_FILENAME_EXCED_RANGE);
    return 0;
  }
  const DWORD length = static_cast<DWORD>(path.size());
  // Too small: the size needed, terminator included, and nothing written.
  if (lpBuffer == NULL || nBufferLength <= length) return length + 1;
  memcpy(lpBuffer, path.c_str(), length + 1);
  return length;
}
