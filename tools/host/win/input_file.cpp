// Reading the files pxq is given, on Windows: the POSIX layer's reading
// over tools/host/win/posix_names.h, with file identity, pxq's own folder
// and the stub beside it in Windows terms.
#include "tools/host/input_file.h"

#include <windows.h>

#include "platform/types.h"
#include "tools/host/host_error.h"
#include "tools/host/win/posix_names.h"
#include "tools/release/file_access.h"

DWORD WindowsErrorFromErrno(int error);

int ReadInputPieces(const std::string& path, const std::function<int(const uint8_t*, size_t)>& take) {
  int fd = -1;
  int error = OpenInputFile(path, &fd);
  if (error != 0) return error;
  uint8_t piece[65536];
  for (;;) {
    int n = read(fd, piece, sizeof piece);
    if (n < 0) error = errno;
    if (n <= 0) break;
    error = take(piece, static_cast<size_t>(n));
    if (error != 0) break;
  }
  close(fd);
  return error;
}

int ReadInputFile(const std::string& path, std::vector<uint8_t>* bytes) {
  bytes->clear();
  return ReadInputPieces(path, [bytes](const uint8_t* piece, size_t count) {
    bytes->insert(bytes->end(), piece, piece + count);
    return 0;
  });
}

int ReadInputAt(const std::string& path, uint64_t offset, uint8_t* bytes, size_t count, size_t* got) {
  *got = 0;
  int fd = -1;
  int error = OpenInputFile(path, &fd);
  if (error != 0) return error;
  while (*got < count) {
    ssize_t n = pread(fd, bytes + *got, count - *got, static_cast<int64_t>(offset + *got));
    if (n < 0) error = errno;
    if (n <= 0) break;
    *got += static_cast<size_t>(n);
  }
  close(fd);
  return error;
}

static uint32_t WindowsError(int error) {
  return error == 0 ? 0 : error > 0 ? WindowsErrorFromErrno(error) : ERROR_ACCESS_DENIED;
}

uint32_t ReadWholeFile(const std::string& path, std::vector<uint8_t>* bytes) {
  return WindowsError(ReadInputFile(path, bytes));
}

uint32_t ReadFileAt(const std::string& path, uint64_t offset, uint8_t* bytes, size_t count, size_t* got) {
  return WindowsError(ReadInputAt(path, offset, bytes, count, got));
}

uint32_t FileSizeOf(const std::string& path, uint64_t* size) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0) return WindowsErrorFromErrno(errno);
  *size = static_cast<uint64_t>(info.st_size);
  return 0;
}

std::string FileErrorWords(uint32_t code) {
  int error = HostErrorFromResult(code);
  return error != 0 ? HostErrorText(error) : "";
}

bool SameFile(const std::string& first, const std::string& second) {
  // Volume serial number and file index: the file's identity, whatever
  // the names (short or long, any letter case, links).
  struct stat a, b;
  if (stat(first.c_str(), &a) != 0 || stat(second.c_str(), &b) != 0) return false;
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

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

std::string LoaderStampFault(const char* path, LoaderStamp* stamp) {
  uint8_t dosheader[LOADER_STAMP_SIZE];
  size_t got = 0;
  int error = ReadInputAt(path, 0, dosheader, sizeof dosheader, &got);
  if (error != 0) return HostErrorText(error);
  DecodeLoaderStamp(dosheader, stamp);
  if (got < sizeof dosheader || !StampIsValid(stamp)) return "not a pxq loader file (no MZ/pxr5 stamp)";
  return "";
}
