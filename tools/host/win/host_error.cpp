// Host error words on Windows: the system's own (FormatMessage) with the
// error's number, for the errors that tools/host/win/posix_names.h keeps in
// errno; the C library's for the rest.
#include "tools/host/host_error.h"

#include <string.h>
#include <windows.h>

#include "platform/types.h"
#include "tools/host/win/posix_names.h"

namespace {

// The system's sentence for a Windows error, without its line break.
std::string SystemWords(DWORD code) {
  wchar_t* text = nullptr;
  DWORD count = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                   FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_MAX_WIDTH_MASK,
                               nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string words;
  if (count != 0 && text != nullptr) words = Utf8FromWide(std::wstring(text, count));
  if (text != nullptr) LocalFree(text);
  while (!words.empty() && (words.back() == ' ' || words.back() == '.' || words.back() == '\r' || words.back() == '\n'))
    words.pop_back();
  if (words.empty()) words = "Windows error";
  return words + " (error " + std::to_string(code) + ")";
}

}  // namespace

std::string HostErrorText(int error) {
  switch (error) {
    case PXQ_ERROR_FIFO:
      return "is a pipe, not a regular file";
    case PXQ_ERROR_CHARACTER_DEVICE:
      return "is a character device, not a regular file";
    case PXQ_ERROR_BLOCK_DEVICE:
      return "is a block device, not a regular file";
    case PXQ_ERROR_SOCKET:
      return "is a socket, not a regular file";
    case PXQ_ERROR_SYMBOLIC_LINK:
      return "is a symbolic link or junction; pxq neither replaces a link nor writes through it: name the file itself";
    case PXQ_ERROR_TERMINAL:
      return "is a console; pxq does not write binary data to a console: redirect it to a file or a pipe";
    default:
      break;
  }
  if (error >= PXQ_WINDOWS_ERRNO_BASE) {
    DWORD code = static_cast<DWORD>(error - PXQ_WINDOWS_ERRNO_BASE);
    // Another program holding the file open is the usual cause on Windows,
    // and the one the user can do something about.
    if (code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION)
      return "is in use by another program; close it and try again: " + SystemWords(code);
    return SystemWords(code);
  }
  if (error == EISDIR) return "Is a directory";
  return strerror(error);
}

int NonRegularError(unsigned mode) {
  if (S_ISREG(mode)) return 0;
  if (S_ISDIR(mode)) return EISDIR;
  if (S_ISFIFO(mode)) return PXQ_ERROR_FIFO;
  if (S_ISCHR(mode)) return PXQ_ERROR_CHARACTER_DEVICE;
  return PXQ_ERROR_SYMBOLIC_LINK;
}

int HostErrorFromResult(uint32_t code) {
  // Windows result codes are the host's own here; the loader's fixed
  // numbers (30, 38 and the like) have no host cause.
  static const uint32_t kHostCodes[] = {
      ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND,       ERROR_ACCESS_DENIED,     ERROR_NOT_ENOUGH_MEMORY,
      ERROR_DISK_FULL,      ERROR_FILENAME_EXCED_RANGE, ERROR_SHARING_VIOLATION, ERROR_TOO_MANY_OPEN_FILES,
      ERROR_LOCK_VIOLATION, ERROR_INVALID_NAME,         ERROR_WRITE_PROTECT,     ERROR_IO_DEVICE,
  };
  for (uint32_t host : kHostCodes) {
    if (host == code) return PXQ_WINDOWS_ERRNO_BASE + static_cast<int>(code);
  }
  return 0;
}

int OpenInputFile(const std::string& path, int* fd) {
  *fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (*fd < 0) return errno;
  struct stat info;
  int error = fstat(*fd, &info) != 0 ? errno : NonRegularError(info.st_mode);
  if (error != 0) {
    close(*fd);
    *fd = -1;
  }
  return error;
}

// The platform layer's errno mapping, for the tools' code that reports a
// failed call as a Windows error.
DWORD WindowsErrorFromErrno(int error) {
  if (error >= PXQ_WINDOWS_ERRNO_BASE) return static_cast<DWORD>(error - PXQ_WINDOWS_ERRNO_BASE);
  switch (error) {
    case ENOENT:
      return ERROR_FILE_NOT_FOUND;
    case EACCES:
    case EISDIR:
      return ERROR_ACCESS_DENIED;
    case ENOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    case ENOSPC:
      return ERROR_DISK_FULL;
    case EEXIST:
      return ERROR_FILE_EXISTS;
    case EMFILE:
      return ERROR_TOO_MANY_OPEN_FILES;
    case ENAMETOOLONG:
      return ERROR_FILENAME_EXCED_RANGE;
    default:
      return ERROR_GEN_FAILURE;
  }
}
