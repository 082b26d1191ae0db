// Reading the files pxq is given: whole, in pieces or at an offset, and
// their identity. The same code serves every host: on Windows the POSIX
// names below stand for the wide-API calls of tools/host/win/posix_names.h.
#include "tools/host/input_file.h"

#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/types.h"
#include "tools/host/host_error.h"
#include "tools/release/file_access.h"

// The Windows error for an errno value (the platform layer's on POSIX, the
// host layer's on Windows).
DWORD WindowsErrorFromErrno(int error);

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
    ssize_t n = pread(fd, bytes + *got, count - *got, static_cast<int64_t>(offset + *got));
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

// The device and inode numbers; on Windows the volume serial number and
// the file index: the file's identity, whatever the names (short or long,
// any letter case, links).
bool SameFile(const std::string& first, const std::string& second) {
  struct stat a, b;
  if (stat(first.c_str(), &a) != 0 || stat(second.c_str(), &b) != 0) return false;
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
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
