#include "tools/host/input_file.h"

#include <errno.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/posix.h"
#include "platform/types.h"
#include "tools/host/host_error.h"
#include "tools/release/file_access.h"

int ReadInputPieces(const std::string& path, const std::function<int(const uint8_t*, size_t)>& take) {
  int fd = -1;
  int error = OpenInputFile(path, &fd);
  if (error != 0) return error;
  uint8_t piece[65536];
  for (;;) {
    ssize_t n = read(fd, piece, sizeof piece);
    if (n < 0 && errno == EINTR) continue;
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
    ssize_t n = pread(fd, bytes + *got, count - *got, static_cast<off_t>(offset + *got));
    if (n < 0 && errno == EINTR) continue;
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

// The release code's file access (tools/release/file_access.h).
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
  struct stat a, b;
  if (stat(first.c_str(), &a) != 0 || stat(second.c_str(), &b) != 0) return false;
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

std::string FindDefaultStub() {
  std::string directory = OwnDirectory();
  if (directory.empty()) return "";
  for (const char* place : {"/pxq-loader.exe", "/../share/pxq/pxq-loader.exe"}) {
    std::string path = directory + place;
    if (access(path.c_str(), F_OK) == 0) return path;
  }
  return "";
}

std::string FindInstallerSdk() {
  std::string directory = OwnDirectory();
  if (directory.empty()) return "";
  for (const char* place : {"/../installer-sdk", "/../share/pxq/sdk"}) {
    std::string path = directory + place;
    if (access((path + "/include/pxq/installer_data.h").c_str(), F_OK) != 0) continue;
    char* resolved = realpath(path.c_str(), nullptr);
    if (resolved == nullptr) return path;
    std::string shown = resolved;
    free(resolved);
    return shown;
  }
  return "";
}

std::string OwnDirectory() {
  char path[4096];
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return "";
  std::string text(path, static_cast<size_t>(n));
  size_t slash = text.rfind('/');
  return slash == std::string::npos ? "" : text.substr(0, slash);
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
