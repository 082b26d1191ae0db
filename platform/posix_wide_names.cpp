// The wide file and environment calls over POSIX. A wide text stands for
// host bytes: its form in the ANSI code page where the code page holds all
// of it, so that the paths the host's own wide calls give name the same
// files as their ANSI forms; else its UTF-8 form, the bytes by which a Linux
// file system names a path such as the tests' folders in other scripts.
#include <string>

#include "platform/posix_internal.h"

static std::string HostBytes(LPCWSTR text) {
  size_t length = 0;
  while (text[length] != 0) ++length;
  if (length == 0) return std::string();
  std::string bytes(length * 3, '\0');
  BOOL lossy = FALSE;
  int written = PosixWideCharToMultiByte(CP_ACP, 0, text, static_cast<int>(length), &bytes[0],
                                         static_cast<int>(bytes.size()), NULL, &lossy);
  if (written <= 0 || lossy)
    written = PosixWideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), &bytes[0],
                                       static_cast<int>(bytes.size()), NULL, NULL);
  bytes.resize(written > 0 ? static_cast<size_t>(written) : 0);
  return bytes;
}

HANDLE PosixCreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                        LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                        DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
  if (lpFileName == NULL) {
    PosixSetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  return PosixCreateFileA(HostBytes(lpFileName).c_str(), dwDesiredAccess, dwShareMode, lpSecurityAttributes,
                          dwCreationDisposition, dwFlagsAndAttributes, hTemplateFile);
}

DWORD PosixGetFileVersionInfoSizeW(LPCWSTR lptstrFilename, LPDWORD lpdwHandle) {
  if (lptstrFilename == NULL) {
    if (lpdwHandle != NULL) *lpdwHandle = 0;
    PosixSetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  return PosixGetFileVersionInfoSizeA(HostBytes(lptstrFilename).c_str(), lpdwHandle);
}

BOOL PosixGetFileVersionInfoW(LPCWSTR lptstrFilename, DWORD dwHandle, DWORD dwLen, LPVOID lpData) {
  if (lptstrFilename == NULL) {
    PosixSetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return PosixGetFileVersionInfoA(HostBytes(lptstrFilename).c_str(), dwHandle, dwLen, lpData);
}

BOOL PosixSetEnvironmentVariableW(LPCWSTR lpName, LPCWSTR lpValue) {
  if (lpName == NULL) {
    PosixSetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const std::string value = lpValue != NULL ? HostBytes(lpValue) : std::string();
  return PosixSetEnvironmentVariableA(HostBytes(lpName).c_str(), lpValue != NULL ? value.c_str() : NULL);
}
