// The installer library's file layer on Windows: UTF-16 paths and the wide
// calls, so that any folder name works whatever the ANSI code page. The
// package file is read through a platform seam of its own that holds only
// what the reader calls (the heap, ReadFile, SetFilePointer, CloseHandle,
// the last error); it leaves the process's DLL search and user32 alone.
#ifdef _WIN32

#include <windows.h>

#include "installer/file_layer.h"
#include "platform/heap.h"
#include "platform/platform.h"

namespace {

HANDLE WINAPI LayerGetProcessHeap() { return GetProcessHeap(); }
LPVOID WINAPI LayerHeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes) { return HeapAlloc(heap, flags, bytes); }
BOOL WINAPI LayerHeapFree(HANDLE heap, DWORD flags, LPVOID block) { return HeapFree(heap, flags, block); }
BOOL WINAPI LayerReadFile(HANDLE file, LPVOID buffer, DWORD count, LPDWORD got, LPOVERLAPPED overlapped) {
  return ReadFile(file, buffer, count, got, overlapped);
}
DWORD WINAPI LayerSetFilePointer(HANDLE file, LONG low, PLONG high, DWORD method) {
  return SetFilePointer(file, low, high, method);
}
BOOL WINAPI LayerCloseHandle(HANDLE object) { return CloseHandle(object); }
DWORD WINAPI LayerGetLastError() { return GetLastError(); }
void WINAPI LayerSetLastError(DWORD error) { SetLastError(error); }

// Filled at run time: no global constructor.
Platform layerPlatform;
LayerTemporaryWatch temporaryWatch;

void Tell(const wchar_t* path, LayerTemporaryEvent event) {
  if (temporaryWatch != nullptr) temporaryWatch(path, event);
}

}  // namespace

void LayerUsePlatform() {
  if (activePlatform != nullptr) return;
  layerPlatform.GetProcessHeap = LayerGetProcessHeap;
  layerPlatform.HeapAlloc = LayerHeapAlloc;
  layerPlatform.HeapFree = LayerHeapFree;
  layerPlatform.ReadFile = LayerReadFile;
  layerPlatform.SetFilePointer = LayerSetFilePointer;
  layerPlatform.CloseHandle = LayerCloseHandle;
  layerPlatform.GetLastError = LayerGetLastError;
  layerPlatform.SetLastError = LayerSetLastError;
  UsePlatform(&layerPlatform);
}

void LayerWatchTemporaries(LayerTemporaryWatch watch) { temporaryWatch = watch; }

uint32_t LayerLength(const PxqPathChar* path) {
  uint32_t length = 0;
  while (path[length] != L'\0') ++length;
  return length;
}

PxqPathChar* LayerJoin(const PxqPathChar* directory, const char* name, uint32_t namelength) {
  uint32_t length = LayerLength(directory);
  int units = namelength == 0 ? 0
                              : MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, name, static_cast<int>(namelength),
                                                    NULL, 0);
  if (namelength != 0 && units <= 0) return nullptr;
  wchar_t* path = static_cast<wchar_t*>(AllocZeroed((length + 2 + static_cast<uint32_t>(units)) * sizeof(wchar_t)));
  if (path == nullptr) return nullptr;
  CopyBytes(path, directory, length * sizeof(wchar_t));
  if (length == 0 || (path[length - 1] != L'\\' && path[length - 1] != L'/')) path[length++] = L'\\';
  if (units > 0) MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, name, static_cast<int>(namelength), path + length, units);
  for (uint32_t i = length; i < length + static_cast<uint32_t>(units); ++i) {
    if (path[i] == L'/') path[i] = L'\\';
  }
  return path;
}

PxqPathChar* LayerParent(const PxqPathChar* path, bool* hasparent) {
  uint32_t length = LayerLength(path);
  while (length > 0 && path[length - 1] != L'\\' && path[length - 1] != L'/') --length;
  *hasparent = length > 0;
  wchar_t* parent = static_cast<wchar_t*>(AllocZeroed((length + 2) * sizeof(wchar_t)));
  if (parent == nullptr) return nullptr;
  if (length == 0) {
    parent[0] = L'.';
  } else {
    CopyBytes(parent, path, length * sizeof(wchar_t));
  }
  return parent;
}

PxqPathChar* LayerFullPath(const PxqPathChar* path) {
  // Already a path of the kernel's own form (\\?\ or \\.\): taken as it is.
  const bool prefixed = path[0] == L'\\' && path[1] == L'\\' && (path[2] == L'?' || path[2] == L'.') &&
                        path[3] == L'\\';
  DWORD size = prefixed ? 0 : GetFullPathNameW(path, 0, NULL, NULL);
  wchar_t* full = size == 0 ? nullptr : static_cast<wchar_t*>(AllocZeroed((size + 8) * sizeof(wchar_t)));
  // The full path at unit 8, with room for the prefix before it.
  DWORD got = full == nullptr ? 0 : GetFullPathNameW(path, size, full + 8, NULL);
  // Already of the kernel's form once made full (//?/C:/x, or a device
  // name such as CON, which becomes \\.\CON): no prefix is added.
  const bool kernelform = got != 0 && got < size && full[8] == L'\\' && full[9] == L'\\' &&
                          (full[10] == L'?' || full[10] == L'.') && full[11] == L'\\';
  if (prefixed || got == 0 || got >= size || kernelform) {
    // Taken as given, or as made full; a path GetFullPathNameW cannot take
    // is left for the calls to refuse.
    const wchar_t* kept = kernelform ? full + 8 : path;
    uint32_t length = LayerLength(kept);
    wchar_t* copy = static_cast<wchar_t*>(AllocZeroed((length + 1) * sizeof(wchar_t)));
    if (copy != nullptr) CopyBytes(copy, kept, length * sizeof(wchar_t));
    if (full != nullptr) FreeBlock(full);
    return copy;
  }
  // \\?\ before a drive path; \\server\share becomes \\?\UNC\server\share
  // (the prefix's last two units overwrite the share's two backslashes).
  static const wchar_t unc[] = L"\\\\?\\UNC\\";
  const bool share = full[8] == L'\\' && full[9] == L'\\';
  wchar_t* start = share ? full + 2 : full + 4;
  for (int i = 0; i < (share ? 8 : 4); ++i) start[i] = unc[i];
  // Moved to the block's start: forward, to a lower address.
  uint32_t i = 0;
  do full[i] = start[i]; while (start[i++] != L'\0');
  return full;
}

char* LayerDisplayPath(const PxqPathChar* path) {
  // Without the prefix of LayerFullPath: \\?\C:\x as C:\x, \\?\UNC\s\x as \\s\x.
  bool share = false;
  if (path[0] == L'\\' && path[1] == L'\\' && path[2] == L'?' && path[3] == L'\\') {
    if (path[4] != L'\0' && path[5] == L':') {
      path += 4;
    } else if (path[4] == L'U' && path[5] == L'N' && path[6] == L'C' && path[7] == L'\\') {
      path += 8;
      share = true;
    }
  }
  int bytes = WideCharToMultiByte(CP_UTF8, 0, path, -1, NULL, 0, NULL, NULL);
  if (bytes <= 0) return nullptr;
  const uint32_t lead = share ? 2 : 0;
  char* shown = static_cast<char*>(AllocZeroed(static_cast<uint32_t>(bytes) + lead));
  if (shown == nullptr) return nullptr;
  if (share) shown[0] = shown[1] = '\\';
  WideCharToMultiByte(CP_UTF8, 0, path, -1, shown + lead, bytes, NULL, NULL);
  return shown;
}

uint32_t LayerLoaderPathVariable(PxqPathChar** path) {
  *path = nullptr;
  // Asked again when another thread changed it between size and value.
  for (int attempt = 0; attempt < 4; ++attempt) {
    DWORD size = GetEnvironmentVariableW(L"PXQ_LOADER_PATH", NULL, 0);
    if (size <= 1) return ERROR_ENVVAR_NOT_FOUND;
    wchar_t* value = static_cast<wchar_t*>(AllocZeroed(size * sizeof(wchar_t)));
    if (value == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
    DWORD got = GetEnvironmentVariableW(L"PXQ_LOADER_PATH", value, size);
    if (got != 0 && got < size) {
      *path = value;
      return 0;
    }
    FreeBlock(value);
  }
  return ERROR_ENVVAR_NOT_FOUND;
}

// The last argument of the command line, read by the rules of
// CommandLineToArgvW (without linking shell32): the program name up to its
// closing quote or first blank, then arguments split at blanks outside
// quotes, 2n backslashes before a quote giving n, 2n+1 giving n and a quote.
uint32_t LayerSelfPath(PxqPathChar** path, uint32_t* count) {
  *path = nullptr;
  *count = 0;
  const wchar_t* line = GetCommandLineW();
  if (line == NULL) return GetLastError();
  uint32_t length = LayerLength(line);
  wchar_t* argument = static_cast<wchar_t*>(AllocZeroed((length + 1) * sizeof(wchar_t)));
  if (argument == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
  const wchar_t* at = line;
  if (*at == L'"') {
    ++at;
    while (*at != L'\0' && *at != L'"') ++at;
    if (*at == L'"') ++at;
  } else {
    while (*at != L'\0' && *at != L' ' && *at != L'\t') ++at;
  }
  bool found = false;
  uint32_t arguments = 1;
  for (;;) {
    while (*at == L' ' || *at == L'\t') ++at;
    if (*at == L'\0') break;
    found = true;
    ++arguments;
    uint32_t used = 0;
    bool quoted = false;
    while (*at != L'\0' && (quoted || (*at != L' ' && *at != L'\t'))) {
      uint32_t backslashes = 0;
      while (*at == L'\\') ++backslashes, ++at;
      if (*at == L'"') {
        for (uint32_t i = 0; i < backslashes / 2; ++i) argument[used++] = L'\\';
        if (backslashes % 2 == 1) {
          argument[used++] = L'"';
        } else if (quoted && at[1] == L'"') {
          argument[used++] = L'"';
          ++at;
        } else {
          quoted = !quoted;
        }
        ++at;
      } else {
        for (uint32_t i = 0; i < backslashes; ++i) argument[used++] = L'\\';
        if (*at != L'\0' && (quoted || (*at != L' ' && *at != L'\t'))) argument[used++] = *at++;
      }
    }
    argument[used] = L'\0';
  }
  *count = arguments;
  if (!found) {
    FreeBlock(argument);
    return ERROR_BAD_ARGUMENTS;
  }
  *path = argument;
  return 0;
}

uint32_t LayerOpenRead(const PxqPathChar* path, HANDLE* file) {
  *file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, NULL);
  return *file == INVALID_HANDLE_VALUE ? GetLastError() : 0;
}

uint32_t LayerMakeDirectory(const PxqPathChar* path, bool allowlink, bool* made) {
  *made = false;
  if (CreateDirectoryW(path, NULL)) {
    *made = true;
    return 0;
  }
  DWORD error = GetLastError();
  // A drive's root (D:\) is refused with ERROR_ACCESS_DENIED though it is
  // there: a directory already there is taken whatever the refusal said.
  const bool denied = error == ERROR_ACCESS_DENIED;
  if (error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS && !denied) return error;
  DWORD attributes = GetFileAttributesW(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) return denied ? error : GetLastError();
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return denied ? error : ERROR_ALREADY_EXISTS;
  // A junction or symbolic link to a directory is not followed.
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && !allowlink) return ERROR_ALREADY_EXISTS;
  return 0;
}

namespace {

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

// Units of `path` that name its root: \\?\C:\, \\?\UNC\server\share\,
// C:\, \\server\share\, \\.\device, \; 0 for a relative path.
uint32_t RootLength(const wchar_t* path) {
  uint32_t at = 0;
  bool share = false;
  if (IsSeparator(path[0]) && IsSeparator(path[1]) && (path[2] == L'?' || path[2] == L'.') && IsSeparator(path[3])) {
    at = 4;
    if ((path[4] == L'U' || path[4] == L'u') && (path[5] == L'N' || path[5] == L'n') &&
        (path[6] == L'C' || path[6] == L'c') && IsSeparator(path[7])) {
      at = 8;
      share = true;
    } else if (path[4] == L'\0' || path[5] != L':') {
      // \\.\device or \\?\Volume{...}: its first component is the root.
      while (path[at] != L'\0' && !IsSeparator(path[at])) ++at;
      return path[at] != L'\0' ? at + 1 : at;
    }
  } else if (IsSeparator(path[0]) && IsSeparator(path[1])) {
    at = 2;
    share = true;
  }
  if (share) {
    for (int component = 0; component < 2; ++component) {
      while (path[at] != L'\0' && !IsSeparator(path[at])) ++at;
      if (path[at] != L'\0') ++at;
    }
    return at;
  }
  if (path[at] != L'\0' && path[at + 1] == L':') return IsSeparator(path[at + 2]) ? at + 3 : at + 2;
  return IsSeparator(path[at]) ? at + 1 : at;
}

}  // namespace

PxqPathChar* LayerParentFolder(const PxqPathChar* path) {
  uint32_t root = RootLength(path);
  uint32_t length = LayerLength(path);
  while (length > root && IsSeparator(path[length - 1])) --length;
  if (length <= root) return nullptr;  // a root
  uint32_t cut = length;
  while (cut > root && !IsSeparator(path[cut - 1])) --cut;
  if (cut == 0) return nullptr;  // a name in the current folder
  while (cut > root && IsSeparator(path[cut - 1])) --cut;
  wchar_t* parent = static_cast<wchar_t*>(AllocZeroed((cut + 1) * sizeof(wchar_t)));
  if (parent != nullptr) CopyBytes(parent, path, cut * sizeof(wchar_t));
  return parent;
}

bool LayerIsMissingParent(uint32_t code) { return code == ERROR_PATH_NOT_FOUND || code == ERROR_FILE_NOT_FOUND; }

namespace {

// A new name beside `path`: ".pxq-" eight hexadecimal digits and
// `suffix` (8 characters), or null.
wchar_t* NameBeside(const wchar_t* path, const char* suffix) {
  static uint32_t counter;
  bool hasparent = false;
  wchar_t* parent = LayerParent(path, &hasparent);
  if (parent == nullptr) return nullptr;
  char name[40] = ".pxq-";
  uint32_t value = GetCurrentProcessId() ^ (++counter << 16) ^ GetTickCount();
  for (int i = 0; i < 8; ++i) name[5 + i] = "0123456789abcdef"[(value >> (28 - 4 * i)) & 15];
  CopyBytes(name + 13, suffix, 9);
  wchar_t* beside = LayerJoin(parent, name, 21);
  FreeBlock(parent);
  return beside;
}

// Windows refuses to rename or replace a file that another program holds
// open with ERROR_ACCESS_DENIED, as it refuses a file that the user may not
// change. Asking for the right to delete it tells the two apart: a program
// that holds it without sharing that right gives a sharing violation.
uint32_t WhyRefused(const wchar_t* path, uint32_t code) {
  if (code != ERROR_ACCESS_DENIED) return code;
  HANDLE probe = CreateFileW(path, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL, OPEN_EXISTING,
                             FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, NULL);
  if (probe != INVALID_HANDLE_VALUE) {
    CloseHandle(probe);
    return code;
  }
  return GetLastError() == ERROR_SHARING_VIOLATION ? ERROR_SHARING_VIOLATION : code;
}

}  // namespace

uint32_t LayerSetAside(const PxqPathChar* path, PxqPathChar** backup) {
  *backup = nullptr;
  DWORD attributes = GetFileAttributesW(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? 0 : error;
  }
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return 0;
  for (int attempt = 0; attempt < 100; ++attempt) {
    wchar_t* beside = NameBeside(path, ".backup");
    if (beside == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
    // Without MOVEFILE_REPLACE_EXISTING: never over another file. A rename
    // keeps the file's bytes, times and attributes, read-only included.
    if (MoveFileExW(path, beside, 0)) {
      *backup = beside;
      return 0;
    }
    DWORD error = GetLastError();
    FreeBlock(beside);
    if (error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS) return WhyRefused(path, error);
  }
  return ERROR_FILE_EXISTS;
}

uint32_t LayerPutBack(const PxqPathChar* backup, const PxqPathChar* path) {
  return MoveFileExW(backup, path, 0) ? 0 : GetLastError();
}

uint32_t LayerRemoveFile(const PxqPathChar* path) {
  DWORD attributes = GetFileAttributesW(path);
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0)
    SetFileAttributesW(path, attributes & ~FILE_ATTRIBUTE_READONLY);
  if (DeleteFileW(path)) return 0;
  DWORD error = GetLastError();
  // Left as it was when it stays.
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0)
    SetFileAttributesW(path, attributes);
  return WhyRefused(path, error);
}

uint32_t LayerRemoveFolder(const PxqPathChar* path) { return RemoveDirectoryW(path) ? 0 : GetLastError(); }

uint32_t LayerCreateTemporary(const PxqPathChar* finalpath, LayerFile* file) {
  file->handle = -1;
  file->temporary = nullptr;
  bool hasparent = false;
  wchar_t* parent = LayerParent(finalpath, &hasparent);
  if (parent == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
  static uint32_t counter;
  uint32_t code = ERROR_FILE_EXISTS;
  for (int attempt = 0; attempt < 100 && code == ERROR_FILE_EXISTS; ++attempt) {
    char name[40] = ".pxq-";
    uint32_t value = GetCurrentProcessId() ^ (++counter << 16) ^ GetTickCount();
    for (int i = 0; i < 8; ++i) name[5 + i] = "0123456789abcdef"[(value >> (28 - 4 * i)) & 15];
    CopyBytes(name + 13, ".partial", 9);
    wchar_t* temporary = LayerJoin(parent, name, 21);
    if (temporary == nullptr) {
      code = ERROR_NOT_ENOUGH_MEMORY;
      break;
    }
    // Shared for deletion only: a watching program's control handler may
    // delete it while it is being written.
    Tell(temporary, LayerTemporaryMaking);
    HANDLE handle =
        CreateFileW(temporary, GENERIC_WRITE, FILE_SHARE_DELETE, NULL, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, NULL);
    DWORD error = handle == INVALID_HANDLE_VALUE ? GetLastError() : 0;
    Tell(temporary, handle != INVALID_HANDLE_VALUE ? LayerTemporaryMade : LayerTemporaryNotMade);
    if (handle != INVALID_HANDLE_VALUE) {
      file->handle = reinterpret_cast<intptr_t>(handle);
      file->temporary = temporary;
      code = 0;
    } else {
      code = error;
      if (code == ERROR_ALREADY_EXISTS) code = ERROR_FILE_EXISTS;
      FreeBlock(temporary);
    }
  }
  FreeBlock(parent);
  return code;
}

uint32_t LayerWrite(LayerFile* file, const uint8_t* bytes, uint32_t count) {
  while (count != 0) {
    DWORD written = 0;
    if (!WriteFile(reinterpret_cast<HANDLE>(file->handle), bytes, count, &written, NULL)) return GetLastError();
    if (written == 0) return ERROR_HANDLE_DISK_FULL;
    bytes += written;
    count -= written;
  }
  return 0;
}

uint32_t LayerCommit(LayerFile* file, const PxqPathChar* finalpath, uint64_t lastwritetime, uint32_t attributes) {
  HANDLE handle = reinterpret_cast<HANDLE>(file->handle);
  FILETIME time;
  time.dwLowDateTime = static_cast<DWORD>(lastwritetime);
  time.dwHighDateTime = static_cast<DWORD>(lastwritetime >> 32);
  uint32_t code = SetFileTime(handle, NULL, NULL, &time) ? 0 : GetLastError();
  if (!CloseHandle(handle) && code == 0) code = GetLastError();
  file->handle = -1;
  if (code != 0) return code;
  // A read-only file at the name could not be replaced.
  DWORD existing = GetFileAttributesW(finalpath);
  if (existing != INVALID_FILE_ATTRIBUTES && (existing & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
      (existing & FILE_ATTRIBUTE_READONLY) != 0)
    SetFileAttributesW(finalpath, existing & ~FILE_ATTRIBUTE_READONLY);
  if (!MoveFileExW(file->temporary, finalpath, MOVEFILE_REPLACE_EXISTING)) {
    // Windows refuses a folder at the name as access denied: it is named as
    // what it is (ERROR_DIRECTORY_NOT_SUPPORTED).
    if (existing != INVALID_FILE_ATTRIBUTES && (existing & FILE_ATTRIBUTE_DIRECTORY) != 0) return 336u;
    uint32_t error = WhyRefused(finalpath, GetLastError());
    // Left as it was: the attribute comes back on the file that stays.
    if (existing != INVALID_FILE_ATTRIBUTES && (existing & FILE_ATTRIBUTE_READONLY) != 0)
      SetFileAttributesW(finalpath, existing);
    return error;
  }
  Tell(file->temporary, LayerTemporaryGone);
  FreeBlock(file->temporary);
  file->temporary = nullptr;
  DWORD wanted = attributes & ~(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE);
  if (wanted != FILE_ATTRIBUTE_NORMAL && wanted != 0 && !SetFileAttributesW(finalpath, wanted)) return GetLastError();
  return 0;
}

void LayerDiscard(LayerFile* file) {
  if (file->handle != -1) CloseHandle(reinterpret_cast<HANDLE>(file->handle));
  file->handle = -1;
  if (file->temporary != nullptr) {
    DeleteFileW(file->temporary);
    Tell(file->temporary, LayerTemporaryGone);
  }
  FreeBlock(file->temporary);
  file->temporary = nullptr;
}

#endif
