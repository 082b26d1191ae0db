// The POSIX calls of tools/host/win/posix_names.h over the wide Windows API.
#include "tools/host/win/posix_names.h"

#include <stdarg.h>
#include <string.h>
#include <windows.h>

#include <vector>

#undef stat
#undef open
#undef unlink

std::wstring WideFromUtf8(const std::string& text) {
  if (text.empty()) return std::wstring();
  int count = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()), nullptr, 0);
  if (count <= 0) return std::wstring();
  std::wstring wide(static_cast<size_t>(count), L'\0');
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()), &wide[0], count);
  return wide;
}

std::string Utf8FromWide(const std::wstring& text) {
  if (text.empty()) return std::string();
  int count = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  if (count <= 0) return std::string();
  std::string narrow(static_cast<size_t>(count), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &narrow[0], count, nullptr, nullptr);
  return narrow;
}

std::wstring WidePath(const std::string& path) {
  std::wstring wide = WideFromUtf8(path);
  // Short names go as they are (relative names stay relative); MAX_PATH
  // less room for the 8.3 name that a directory must leave.
  if (wide.size() < MAX_PATH - 12 || wide.compare(0, 4, L"\\\\?\\") == 0) return wide;
  DWORD need = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  if (need == 0) return wide;
  std::wstring full(need, L'\0');
  DWORD got = GetFullPathNameW(wide.c_str(), need, &full[0], nullptr);
  if (got == 0 || got >= need) return wide;
  full.resize(got);
  if (full.compare(0, 2, L"\\\\") == 0) return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

int FailWithWindowsError(unsigned long error) {
  errno = PXQ_WINDOWS_ERRNO_BASE + static_cast<int>(error);
  return -1;
}

namespace {

const int64_t kUnixEpochInFileTime = 116444736000000000LL;

void StatFromInformation(const BY_HANDLE_FILE_INFORMATION& data, DWORD type, struct PxqStat* info) {
  *info = {};
  info->st_dev = data.dwVolumeSerialNumber;
  info->st_ino = (static_cast<uint64_t>(data.nFileIndexHigh) << 32) | data.nFileIndexLow;
  info->st_nlink = data.nNumberOfLinks;
  info->st_size = static_cast<int64_t>((static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow);
  int64_t ticks = static_cast<int64_t>((static_cast<uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) |
                                       data.ftLastWriteTime.dwLowDateTime) -
                  kUnixEpochInFileTime;
  int64_t seconds = ticks / 10000000, rest = ticks % 10000000;
  if (rest < 0) {
    rest += 10000000;
    --seconds;
  }
  info->st_mtim.tv_sec = static_cast<time_t>(seconds);
  info->st_mtim.tv_nsec = static_cast<long>(rest * 100);
  unsigned mode;
  if (type == FILE_TYPE_CHAR) {
    mode = _S_IFCHR;
  } else if (type == FILE_TYPE_PIPE) {
    mode = _S_IFIFO;
  } else if (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    mode = S_IFLNK;
  } else if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
    mode = _S_IFDIR;
  } else {
    mode = _S_IFREG;
  }
  // Read and execute for all; write where the file is not read-only.
  unsigned permissions = (data.dwFileAttributes & FILE_ATTRIBUTE_READONLY) ? 0555 : 0755;
  info->st_mode = mode | permissions;
}

int StatHandle(HANDLE handle, struct PxqStat* info) {
  DWORD type = GetFileType(handle);
  BY_HANDLE_FILE_INFORMATION data = {};
  if (type == FILE_TYPE_DISK) {
    if (!GetFileInformationByHandle(handle, &data)) return FailWithWindowsError(GetLastError());
  }
  StatFromInformation(data, type, info);
  return 0;
}

int StatPath(const char* path, struct PxqStat* info, bool follow) {
  // Opened for no access at all: neither reading nor another program's
  // sharing stands in the way of looking at the file.
  HANDLE handle = CreateFileW(WidePath(path).c_str(), FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS | (follow ? 0 : FILE_FLAG_OPEN_REPARSE_POINT), nullptr);
  if (handle == INVALID_HANDLE_VALUE) return FailWithWindowsError(GetLastError());
  int result = StatHandle(handle, info);
  CloseHandle(handle);
  return result;
}

}  // namespace

int PxqStat(const char* path, struct PxqStat* info) { return StatPath(path, info, true); }

int PxqLstat(const char* path, struct PxqStat* info) { return StatPath(path, info, false); }

int PxqFstat(int fd, struct PxqStat* info) {
  HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
  if (handle == INVALID_HANDLE_VALUE) return FailWithWindowsError(ERROR_INVALID_HANDLE);
  return StatHandle(handle, info);
}

int PxqOpen(const char* path, int flags, ...) {
  DWORD access = GENERIC_READ, disposition = OPEN_EXISTING;
  int accessmode = flags & (_O_RDONLY | _O_WRONLY | _O_RDWR);
  if (accessmode == _O_WRONLY) access = GENERIC_WRITE;
  if (accessmode == _O_RDWR) access = GENERIC_READ | GENERIC_WRITE;
  if ((flags & _O_CREAT) && (flags & _O_EXCL)) {
    disposition = CREATE_NEW;
  } else if ((flags & _O_CREAT) && (flags & _O_TRUNC)) {
    disposition = CREATE_ALWAYS;
  } else if (flags & _O_CREAT) {
    disposition = OPEN_ALWAYS;
  } else if (flags & _O_TRUNC) {
    disposition = TRUNCATE_EXISTING;
  }
  // Others may read, write, rename or delete the file meanwhile, as on POSIX;
  // a program that holds the file without sharing it makes this fail with
  // ERROR_SHARING_VIOLATION.
  SECURITY_ATTRIBUTES security = {sizeof security, nullptr, (flags & _O_NOINHERIT) ? FALSE : TRUE};
  HANDLE handle = CreateFileW(WidePath(path).c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              &security, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return FailWithWindowsError(GetLastError());
  int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), (flags & (_O_RDONLY | _O_WRONLY | _O_RDWR)) | _O_BINARY);
  if (fd < 0) {
    CloseHandle(handle);
    return FailWithWindowsError(ERROR_TOO_MANY_OPEN_FILES);
  }
  return fd;
}

namespace {

// ReadFile and WriteFile at an offset move the file pointer of a
// synchronous handle; it is put back, since pread and pwrite leave it.
template <typename Transfer>
ssize_t AtOffset(int fd, int64_t offset, Transfer transfer) {
  HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
  if (handle == INVALID_HANDLE_VALUE) return FailWithWindowsError(ERROR_INVALID_HANDLE);
  LARGE_INTEGER zero = {}, position = {};
  if (!SetFilePointerEx(handle, zero, &position, FILE_CURRENT)) return FailWithWindowsError(GetLastError());
  OVERLAPPED at = {};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(static_cast<uint64_t>(offset) >> 32);
  DWORD done = 0;
  BOOL ok = transfer(handle, &at, &done);
  DWORD error = ok ? 0 : GetLastError();
  SetFilePointerEx(handle, position, nullptr, FILE_BEGIN);
  if (!ok && error == ERROR_HANDLE_EOF) return 0;
  if (!ok) return FailWithWindowsError(error);
  return static_cast<ssize_t>(done);
}

DWORD Chunk(size_t count) { return count > 0x40000000u ? 0x40000000u : static_cast<DWORD>(count); }

}  // namespace

ssize_t PxqPread(int fd, void* bytes, size_t count, int64_t offset) {
  return AtOffset(fd, offset, [&](HANDLE handle, OVERLAPPED* at, DWORD* done) {
    return ReadFile(handle, bytes, Chunk(count), done, at);
  });
}

ssize_t PxqPwrite(int fd, const void* bytes, size_t count, int64_t offset) {
  return AtOffset(fd, offset, [&](HANDLE handle, OVERLAPPED* at, DWORD* done) {
    return WriteFile(handle, bytes, Chunk(count), done, at);
  });
}

int PxqFchmod(int fd, unsigned mode) {
  // Windows keeps one permission bit: read-only, where the owner may not write.
  HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
  if (handle == INVALID_HANDLE_VALUE) return FailWithWindowsError(ERROR_INVALID_HANDLE);
  FILE_BASIC_INFO basic = {};
  if (!GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic))
    return FailWithWindowsError(GetLastError());
  DWORD attributes = basic.FileAttributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_NORMAL);
  if ((mode & 0200) == 0) attributes |= FILE_ATTRIBUTE_READONLY;
  basic.FileAttributes = attributes == 0 ? FILE_ATTRIBUTE_NORMAL : attributes;
  if (!SetFileInformationByHandle(handle, FileBasicInfo, &basic, sizeof basic))
    return FailWithWindowsError(GetLastError());
  return 0;
}

int PxqIsatty(int fd) {
  // A console, not any character device (NUL is one too).
  HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
  DWORD mode = 0;
  return handle != INVALID_HANDLE_VALUE && GetFileType(handle) == FILE_TYPE_CHAR && GetConsoleMode(handle, &mode);
}

char* PxqRealpath(const char* path, char* resolved) {
  if (resolved != nullptr) return nullptr;  // only the allocating form is used
  HANDLE handle = CreateFileW(WidePath(path).c_str(), FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    FailWithWindowsError(GetLastError());
    return nullptr;
  }
  std::vector<wchar_t> name(32768);
  DWORD got = GetFinalPathNameByHandleW(handle, name.data(), static_cast<DWORD>(name.size()), FILE_NAME_NORMALIZED);
  DWORD error = GetLastError();
  CloseHandle(handle);
  if (got == 0 || got >= name.size()) {
    FailWithWindowsError(got == 0 ? error : ERROR_FILENAME_EXCED_RANGE);
    return nullptr;
  }
  std::wstring wide(name.data(), got);
  // \\?\C:\x reads C:\x; \\?\UNC\server\share reads \\server\share.
  if (wide.compare(0, 8, L"\\\\?\\UNC\\") == 0) {
    wide = L"\\\\" + wide.substr(8);
  } else if (wide.compare(0, 4, L"\\\\?\\") == 0) {
    wide = wide.substr(4);
  }
  return strdup(Utf8FromWide(wide).c_str());
}

int PxqUnlink(const char* path) {
  return DeleteFileW(WidePath(path).c_str()) ? 0 : FailWithWindowsError(GetLastError());
}

time_t PxqTimegm(struct tm* moment) { return static_cast<time_t>(_mkgmtime64(moment)); }

struct PxqDir {
  HANDLE find = INVALID_HANDLE_VALUE;
  WIN32_FIND_DATAW data = {};
  bool pending = true;  // data holds an entry not yet given
  PxqDirent entry = {};
};

PxqDir* PxqOpendir(const char* path) {
  std::string pattern = path;
  if (!pattern.empty() && pattern.back() != '/' && pattern.back() != '\\') pattern += '\\';
  pattern += '*';
  PxqDir* stream = new PxqDir;
  stream->find = FindFirstFileExW(WidePath(pattern).c_str(), FindExInfoBasic, &stream->data, FindExSearchNameMatch,
                                  nullptr, 0);
  if (stream->find == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    delete stream;
    FailWithWindowsError(error);
    return nullptr;
  }
  return stream;
}

PxqDirent* PxqReaddir(PxqDir* stream) {
  if (!stream->pending) {
    if (!FindNextFileW(stream->find, &stream->data)) {
      DWORD error = GetLastError();
      if (error != ERROR_NO_MORE_FILES) FailWithWindowsError(error);
      return nullptr;
    }
  }
  stream->pending = false;
  std::string name = Utf8FromWide(stream->data.cFileName);
  if (name.size() >= sizeof stream->entry.d_name) {
    FailWithWindowsError(ERROR_FILENAME_EXCED_RANGE);
    return nullptr;
  }
  memcpy(stream->entry.d_name, name.c_str(), name.size() + 1);
  return &stream->entry;
}

int PxqClosedir(PxqDir* stream) {
  FindClose(stream->find);
  delete stream;
  return 0;
}
