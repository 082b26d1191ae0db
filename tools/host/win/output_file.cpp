// Staged outputs on Windows: the file is built under a temporary name in
// its final folder and moved over the final name (MoveFileExW) only when
// whole; a console control event that ends pxq removes it.
#include "tools/host/output_file.h"

#include <windows.h>

#include "tools/host/host_error.h"
#include "tools/host/input_file.h"
#include "tools/host/signals.h"
#include "tools/host/win/posix_names.h"

bool IsStandardOutput(const std::string& path) { return path == "-"; }

std::string OutputDisplayName(const std::string& path) {
  return IsStandardOutput(path) ? "standard output" : path;
}

int CheckOutputName(const std::string& path) {
  if (IsStandardOutput(path)) return isatty(1) ? PXQ_ERROR_TERMINAL : 0;
  std::wstring wide = WidePath(path);
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(wide.c_str(), GetFileExInfoStandard, &data)) {
    DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND ? 0 : PXQ_WINDOWS_ERRNO_BASE + static_cast<int>(error);
  }
  if (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) return PXQ_ERROR_SYMBOLIC_LINK;
  if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return EISDIR;
  if (data.dwFileAttributes & FILE_ATTRIBUTE_DEVICE) return PXQ_ERROR_CHARACTER_DEVICE;
  // A file that another program holds open without letting it be deleted
  // cannot be replaced: said now, before any work, and nothing is changed.
  HANDLE probe = CreateFileW(wide.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (probe == INVALID_HANDLE_VALUE) return PXQ_WINDOWS_ERRNO_BASE + static_cast<int>(GetLastError());
  CloseHandle(probe);
  return 0;
}

namespace {

// A name no other run picks: the process id, the time and a counter.
std::string StagedSuffix(unsigned attempt) {
  static unsigned counter = 0;
  char text[40];
  snprintf(text, sizeof text, "%08lx%04x", static_cast<unsigned long>(GetCurrentProcessId() ^ GetTickCount()),
           (++counter + attempt) & 0xFFFF);
  return text;
}

int BeginStaged(const std::string& prefix, unsigned mode, OutputFile* output) {
  for (unsigned attempt = 0; attempt < 100; ++attempt) {
    std::string name = prefix + StagedSuffix(attempt);
    // Held so that no control event falls between creating the file and noting it.
    HoldSignals();
    HANDLE handle = CreateFileW(WidePath(name).c_str(), GENERIC_READ | GENERIC_WRITE | DELETE,
                                FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                                nullptr);
    DWORD error = handle == INVALID_HANDLE_VALUE ? GetLastError() : 0;
    if (handle != INVALID_HANDLE_VALUE) RemoveOnSignal(name);
    ReleaseSignals();
    if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) continue;
    if (error != 0) return PXQ_WINDOWS_ERRNO_BASE + static_cast<int>(error);
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_RDWR | _O_BINARY);
    if (fd < 0) {
      CloseHandle(handle);
      DeleteFileW(WidePath(name).c_str());
      KeepOnSignal(name);
      return PXQ_WINDOWS_ERRNO_BASE + ERROR_TOO_MANY_OPEN_FILES;
    }
    (void)mode;  // the file gets its folder's permissions, as every new file on Windows
    output->temporary = name;
    output->fd = fd;
    return 0;
  }
  return PXQ_WINDOWS_ERRNO_BASE + ERROR_FILE_EXISTS;
}

}  // namespace

int BeginOutput(const std::string& path, uint32_t mode, OutputFile* output) {
  *output = OutputFile();
  output->path = path;
  if (IsStandardOutput(path)) {
    output->standardoutput = true;
    output->fd = 1;
    return 0;
  }
  size_t slash = path.find_last_of("/\\");
  if (slash == std::string::npos && path.size() >= 2 && path[1] == ':') slash = 1;  // C:name
  std::string directory = slash == std::string::npos ? "" : path.substr(0, slash + 1);
  std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  return BeginStaged(directory + "." + base + ".pxq-", mode, output);
}

std::string ScratchDirectory() {
  wchar_t folder[MAX_PATH + 2];
  DWORD n = GetTempPathW(MAX_PATH + 2, folder);
  if (n == 0 || n > MAX_PATH + 1) return ".";
  std::string text = Utf8FromWide(std::wstring(folder, n));
  while (text.size() > 3 && (text.back() == '\\' || text.back() == '/')) text.pop_back();
  return text;
}

int BeginScratchFile(OutputFile* output) {
  *output = OutputFile();
  std::string base = ScratchDirectory();
  if (base.back() != '\\' && base.back() != '/') base += '\\';
  int error = BeginStaged(base + "pxq-", 0600, output);
  output->path = output->temporary;
  return error;
}

void LetOthersWriteOutput(OutputFile* output) {
  if (output->standardoutput || output->fd < 0) return;
  close(output->fd);
  output->fd = -1;
}

int CommitOutput(OutputFile* output) {
  if (output->standardoutput) {
    output->fd = -1;
    return 0;
  }
  int error = 0;
  if (output->fd >= 0 && close(output->fd) != 0) error = errno;
  output->fd = -1;
  HoldSignals();
  std::wstring temporary = WidePath(output->temporary);
  if (error == 0 && !MoveFileExW(temporary.c_str(), WidePath(output->path).c_str(),
                                 MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    error = PXQ_WINDOWS_ERRNO_BASE + static_cast<int>(GetLastError());
  if (error != 0) DeleteFileW(temporary.c_str());
  KeepOnSignal(output->temporary);
  ReleaseSignals();
  output->temporary.clear();
  return error;
}

void DiscardOutput(OutputFile* output) {
  if (output->standardoutput) {
    output->fd = -1;
    return;
  }
  if (output->fd >= 0) close(output->fd);
  output->fd = -1;
  if (!output->temporary.empty()) {
    DeleteFileW(WidePath(output->temporary).c_str());
    KeepOnSignal(output->temporary);
  }
  output->temporary.clear();
}

int WriteFully(int fd, const uint8_t* bytes, size_t count) {
  HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
  if (handle == INVALID_HANDLE_VALUE) return PXQ_WINDOWS_ERRNO_BASE + ERROR_INVALID_HANDLE;
  while (count != 0) {
    DWORD want = count > 0x40000000u ? 0x40000000u : static_cast<DWORD>(count), done = 0;
    if (!WriteFile(handle, bytes, want, &done, nullptr)) return PXQ_WINDOWS_ERRNO_BASE + static_cast<int>(GetLastError());
    if (done == 0) return PXQ_WINDOWS_ERRNO_BASE + ERROR_DISK_FULL;
    bytes += done;
    count -= done;
  }
  return 0;
}

int CopyFileToStandardOutput(const std::string& path) {
  return ReadInputPieces(path, [](const uint8_t* piece, size_t count) { return WriteFully(1, piece, count); });
}
