// Where pxq.exe finds itself and what it ships beside it, on Windows.
#include "tools/host/input_file.h"

#include <windows.h>

#include "tools/host/win/posix_names.h"

std::string FindDefaultStub() {
  std::string directory = OwnDirectory();
  if (directory.empty()) return "";
  for (const char* place : {"\\pxq-loader.exe", "\\..\\share\\pxq\\pxq-loader.exe"}) {
    std::string path = directory + place;
    if (GetFileAttributesW(WidePath(path).c_str()) != INVALID_FILE_ATTRIBUTES) return path;
  }
  return "";
}

// The installer SDK: sdk\ beside pxq.exe (the Windows release zip), the
// build tree's, or the installed one.
std::string FindInstallerSdk() {
  std::string directory = OwnDirectory();
  if (directory.empty()) return "";
  for (const char* place : {"\\sdk", "\\..\\installer-sdk", "\\..\\share\\pxq\\sdk"}) {
    std::string path = directory + place;
    if (GetFileAttributesW(WidePath(path + "\\include\\pxq\\installer_data.h").c_str()) == INVALID_FILE_ATTRIBUTES)
      continue;
    char* resolved = realpath(path.c_str(), nullptr);
    if (resolved == nullptr) return path;
    std::string shown = resolved;
    free(resolved);
    return shown;
  }
  return "";
}

std::string OwnDirectory() {
  std::wstring path(32768, L'\0');
  DWORD n = GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size()));
  if (n == 0 || n >= path.size()) return "";
  path.resize(n);
  if (path.compare(0, 4, L"\\\\?\\") == 0) path = path.substr(4);
  size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? "" : Utf8FromWide(path.substr(0, slash));
}
