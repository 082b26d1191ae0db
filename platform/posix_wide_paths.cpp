// The wide-character path calls over POSIX. The host is a system whose ANSI
// code page (Windows-1252 here, which maps every byte) holds every path: the
// wide answers are the ANSI ones converted, and no path has a short form
// other than itself, as on a volume that keeps no 8.3 names.
#include <errno.h>
#include <string.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "platform/posix_internal.h"

// The ANSI text in UTF-16, converted as the ANSI code page reads it.
static std::vector<WCHAR> Widen(const char* text, size_t length) {
  std::vector<WCHAR> wide(length);
  if (length != 0) PosixMultiByteToWideChar(CP_ACP, 0, text, static_cast<int>(length), wide.data(), static_cast<int>(length));
  return wide;
}

// GetModuleFileNameW's rules: cut to the buffer and terminated, the result
// then the buffer's size, with ERROR_INSUFFICIENT_BUFFER.
static DWORD CopyCut(const std::vector<WCHAR>& text, LPWSTR buffer, DWORD size) {
  if (buffer == NULL || size == 0) {
    PosixSetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  if (text.size() + 1 > size) {
    memcpy(buffer, text.data(), (size - 1) * sizeof(WCHAR));
    buffer[size - 1] = 0;
    PosixSetLastError(ERROR_INSUFFICIENT_BUFFER);
    return size;
  }
  memcpy(buffer, text.data(), text.size() * sizeof(WCHAR));
  buffer[text.size()] = 0;
  return static_cast<DWORD>(text.size());
}

// GetTempPathW's and GetShortPathNameW's rules: when the text does not fit
// with its terminator, nothing is written and the result is the size needed.
static DWORD CopyOrSize(const std::vector<WCHAR>& text, LPWSTR buffer, DWORD size) {
  if (buffer == NULL || size <= text.size()) return static_cast<DWORD>(text.size() + 1);
  memmove(buffer, text.data(), text.size() * sizeof(WCHAR));
  buffer[text.size()] = 0;
  return static_cast<DWORD>(text.size());
}

DWORD PosixGetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize) {
  std::vector<char> path(4096);
  for (;;) {
    DWORD length = PosixGetModuleFileNameA(hModule, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) return 0;
    if (length < path.size()) return CopyCut(Widen(path.data(), length), lpFilename, nSize);
    path.resize(path.size() * 2);
  }
}

DWORD PosixGetTempPathW(DWORD nBufferLength, LPWSTR lpBuffer) {
  DWORD needed = PosixGetTempPathA(0, NULL);
  if (needed == 0) return 0;
  std::vector<char> path(needed);
  DWORD length = PosixGetTempPathA(needed, path.data());
  if (length == 0 || length >= needed) return 0;
  return CopyOrSize(Widen(path.data(), length), lpBuffer, nBufferLength);
}

DWORD PosixGetShortPathNameW(LPCWSTR lpszLongPath, LPWSTR lpszShortPath, DWORD cchBuffer) {
  if (lpszLongPath == NULL || (lpszShortPath == NULL && cchBuffer != 0)) {
    PosixSetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  size_t length = 0;
  while (lpszLongPath[length] != 0) ++length;
  if (length == 0) {
    PosixSetLastError(ERROR_PATH_NOT_FOUND);
    return 0;
  }
  std::vector<WCHAR> text(lpszLongPath, lpszLongPath + length);
  // A name that the code page cannot hold names no file here.
  BOOL lossy = FALSE;
  std::string path(length * 2, '\0');
  int bytes = PosixWideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(length), &path[0],
                                       static_cast<int>(path.size()), NULL, &lossy);
  if (bytes <= 0 || lossy) {
    PosixSetLastError(ERROR_FILE_NOT_FOUND);
    return 0;
  }
  path.resize(static_cast<size_t>(bytes));
  // Like the Windows call, only an existing file or directory has a short form.
  struct stat status;
  if (stat(path.c_str(), &status) != 0) {
    PosixSetLastError(errno == ENOENT ? ERROR_FILE_NOT_FOUND : WindowsErrorFromErrno(errno));
    return 0;
  }
  return CopyOrSize(text, lpszShortPath, cchBuffer);
}
