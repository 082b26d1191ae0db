#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "package/records.h"
#include "platform/filetime.h"
#include "platform/posix.h"
#include "platform/types.h"
#include "tools/host_error.h"
#include "tools/pxq_cli.h"

int Failure(const std::string& subject, const std::string& what) {
  fprintf(stderr, "pxq: %s: %s\n", subject.c_str(), what.c_str());
  return PXQ_EXIT_FAILURE;
}

int UsageError(const char* command, const std::string& what) {
  fprintf(stderr, "pxq %s: %s\nTry 'pxq %s --help'.\n", command, what.c_str(), command);
  return PXQ_EXIT_USAGE;
}

std::string ResultText(uint32_t code) {
  static const struct {
    uint32_t code;
    const char* name;
  } names[] = {
      {2, "ERROR_FILE_NOT_FOUND"},     {3, "ERROR_PATH_NOT_FOUND"},     {5, "ERROR_ACCESS_DENIED"},
      {8, "ERROR_NOT_ENOUGH_MEMORY"},  {13, "ERROR_INVALID_DATA"},      {23, "ERROR_CRC"},
      {30, "ERROR_READ_FAULT"},        {32, "ERROR_SHARING_VIOLATION"}, {38, "ERROR_HANDLE_EOF"},
      {39, "ERROR_HANDLE_DISK_FULL"},  {80, "ERROR_FILE_EXISTS"},       {87, "ERROR_INVALID_PARAMETER"},
      {112, "ERROR_DISK_FULL"},        {123, "ERROR_INVALID_NAME"},     {131, "ERROR_NEGATIVE_SEEK"},
      {183, "ERROR_ALREADY_EXISTS"},   {193, "ERROR_BAD_EXE_FORMAT"},   {206, "ERROR_FILENAME_EXCED_RANGE"},
      {223, "ERROR_FILE_TOO_LARGE"},   {1114, "ERROR_DLL_INIT_FAILED"}, {1117, "ERROR_IO_DEVICE"},
      {6001, "ERROR_DECRYPTION_FAILED"},
  };
  for (const auto& entry : names) {
    if (entry.code == code) return std::string(entry.name) + " " + std::to_string(code);
  }
  return "error " + std::to_string(code);
}

bool ParseEntryId(const char* text, uint64_t* id) {
  if (text == nullptr || *text == '\0') return false;
  int base = 10;
  if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text += 2;
  }
  if (*text == '\0') return false;
  uint64_t value = 0;
  for (; *text != '\0'; ++text) {
    char c = *text;
    uint32_t digit;
    if (c >= '0' && c <= '9') {
      digit = static_cast<uint32_t>(c - '0');
    } else if (base == 16 && c >= 'a' && c <= 'f') {
      digit = static_cast<uint32_t>(c - 'a' + 10);
    } else if (base == 16 && c >= 'A' && c <= 'F') {
      digit = static_cast<uint32_t>(c - 'A' + 10);
    } else {
      return false;
    }
    if (value > (UINT64_MAX - digit) / static_cast<uint64_t>(base)) return false;
    value = value * static_cast<uint64_t>(base) + digit;
  }
  *id = value;
  return true;
}

const char* EntryIdName(uint64_t id) {
  switch (id) {
    case GenericInstallerId:
      return "GenericInstallerId";
    case NtX86InstallerId:
      return "NtX86InstallerId";
    case NtX64InstallerId:
      return "NtX64InstallerId";
    default:
      return "";
  }
}

std::string EntryIdText(uint64_t id) {
  char text[24];
  snprintf(text, sizeof text, "0x%016llX", static_cast<unsigned long long>(id));
  return text;
}

std::string AttributeText(uint32_t attributes) {
  static const struct {
    uint32_t bit;
    const char* name;
  } names[] = {
      {0x1, "READONLY"},  {0x2, "HIDDEN"},      {0x4, "SYSTEM"},           {0x10, "DIRECTORY"},
      {0x20, "ARCHIVE"},  {0x40, "DEVICE"},     {0x80, "NORMAL"},          {0x100, "TEMPORARY"},
      {0x200, "SPARSE"},  {0x400, "REPARSE"},   {0x800, "COMPRESSED"},     {0x1000, "OFFLINE"},
      {0x2000, "NOT_CONTENT_INDEXED"},          {0x4000, "ENCRYPTED"},
  };
  std::string text;
  uint32_t rest = attributes;
  for (const auto& entry : names) {
    if ((attributes & entry.bit) == 0) continue;
    if (!text.empty()) text += "|";
    text += entry.name;
    rest &= ~entry.bit;
  }
  char number[32];
  if (rest != 0) {
    snprintf(number, sizeof number, "0x%X", rest);
    if (!text.empty()) text += "|";
    text += number;
  }
  if (text.empty()) text = "none";
  snprintf(number, sizeof number, " (0x%X)", attributes);
  return text + number;
}

std::string FileTimeText(uint64_t filetime) {
  char text[48];
  if (FormatFileTime(filetime, text, sizeof text) == 0) return "?";
  return text;
}

std::string PlatformFlagsText(uint32_t flags) {
  std::string text;
  if (flags & PLATFORM_FLAG_GENERIC) text += "generic";
  if (flags & PLATFORM_FLAG_NT_X86) text += text.empty() ? "nt-x86" : ", nt-x86";
  if (flags & PLATFORM_FLAG_NT_X64) text += text.empty() ? "nt-x64" : ", nt-x64";
  return text.empty() ? "none" : text;
}

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

uint32_t ReadFileAt(const std::string& path, uint64_t offset, uint8_t* bytes, size_t count, size_t* got) {
  return WindowsError(ReadInputAt(path, offset, bytes, count, got));
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

std::string OwnDirectory() {
  char path[4096];
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return "";
  std::string text(path, static_cast<size_t>(n));
  size_t slash = text.rfind('/');
  return slash == std::string::npos ? "" : text.substr(0, slash);
}

int OptionValue(int argc, char** argv, int* index, const char* name, const char** value) {
  const char* argument = argv[*index];
  size_t length = strlen(name);
  if (strncmp(argument, name, length) != 0) return 0;
  if (argument[length] == '=') {
    *value = argument + length + 1;
    // An empty value names no file and no number: it is as good as none.
    return **value != '\0' ? 1 : -1;
  }
  if (argument[length] != '\0') return 0;
  if (*index + 1 >= argc || argv[*index + 1][0] == '\0') return -1;
  *index += 1;
  *value = argv[*index];
  return 1;
}

std::string OptionName(const char* argument) {
  std::string name = argument;
  return name.substr(0, name.find('='));
}

bool IsHelp(const char* argument) { return strcmp(argument, "--help") == 0 || strcmp(argument, "-h") == 0; }

std::string LoaderStampFault(const char* path, LoaderStamp* stamp) {
  uint8_t dosheader[LOADER_STAMP_SIZE];
  size_t got = 0;
  int error = ReadInputAt(path, 0, dosheader, sizeof dosheader, &got);
  if (error != 0) return HostErrorText(error);
  DecodeLoaderStamp(dosheader, stamp);
  if (got < sizeof dosheader || !StampIsValid(stamp)) return "not a pxq loader file (no MZ/pxr5 stamp)";
  return "";
}

int ReadLoaderStamp(const char* path, LoaderStamp* stamp) {
  std::string fault = LoaderStampFault(path, stamp);
  return fault.empty() ? PXQ_EXIT_OK : Failure(path, fault);
}
