// The version-resource operations over a file's bytes.
//
// The caller's buffer holds the version block followed by room for the ANSI
// forms of its text values, as on Windows, whose ANSI VerQueryValueA hands
// out text converted into the same buffer: a string it gives stays valid
// until the caller frees the block, and nothing is allocated on the side.
//
//   [block: its own length, wLength] [padding to 4] ["PXQA"] [room size]
//   [room: wLength / 2 + 2 bytes]
//
// The text value that starts at block offset V with n UTF-16 units is
// converted to at most n bytes (Windows-1252 has one byte per character)
// placed at room offset V / 2. Values of different nodes lie at least a node
// header apart, so their converted forms never overlap, and the room's last
// byte stays zero, so every string in it ends inside the buffer.
//
// So GetFileVersionInfoSizeA gives more than the block's length (Windows
// does too), and VerQueryValueA expects a block that GetFileVersionInfoA
// filled. A text value's length is its stored length in characters: with
// the terminator, as resource compilers store it. A path that names no value
// fails with ERROR_RESOURCE_TYPE_NOT_FOUND.
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "platform/posix_internal.h"
#include "platform/version_resource.h"

static const uint8_t roomMagic[4] = {'P', 'X', 'Q', 'A'};

static size_t RoundUp4(size_t size) { return (size + 3) & ~static_cast<size_t>(3); }
static size_t RoomOffset(size_t blocklength) { return RoundUp4(blocklength) + 8; }
static size_t RoomSize(size_t blocklength) { return blocklength / 2 + 2; }
static size_t BufferSize(size_t blocklength) { return RoundUp4(RoomOffset(blocklength) + RoomSize(blocklength)); }

// A file's bytes, mapped read-only for the length of one call.
struct MappedFile {
  const uint8_t* bytes = nullptr;
  size_t size = 0;
  ~MappedFile() {
    if (bytes != nullptr) munmap(const_cast<uint8_t*>(bytes), size);
  }
};

// Opens and maps `path`. Returns 0 or the Windows error (an empty file or a
// directory is no PE file).
static DWORD MapWholeFile(const char* path, MappedFile* file) {
  if (path == NULL) return ERROR_INVALID_PARAMETER;
  // O_NONBLOCK: a FIFO would otherwise hold the open until a writer comes;
  // it is refused below like every file that is not a regular one.
  int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return WindowsErrorFromErrno(errno);
  struct stat status;
  DWORD error = 0;
  if (fstat(fd, &status) != 0) {
    error = WindowsErrorFromErrno(errno);
  } else if (S_ISDIR(status.st_mode)) {
    error = ERROR_ACCESS_DENIED;
  } else if (!S_ISREG(status.st_mode) || status.st_size == 0) {
    error = ERROR_BAD_EXE_FORMAT;
  } else {
    void* bytes = mmap(NULL, static_cast<size_t>(status.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
    if (bytes == MAP_FAILED) {
      error = WindowsErrorFromErrno(errno);
    } else {
      file->bytes = static_cast<const uint8_t*>(bytes);
      file->size = static_cast<size_t>(status.st_size);
    }
  }
  close(fd);
  return error;
}

// Finds the version block of `path`; sets the last error on failure.
static bool LocateBlock(const char* path, MappedFile* file, size_t* offset, size_t* length) {
  DWORD error = MapWholeFile(path, file);
  if (error == 0) error = FindVersionBlock(file->bytes, file->size, offset, length);
  if (error != 0) {
    PosixSetLastError(error);
    return false;
  }
  return true;
}

DWORD PosixGetFileVersionInfoSizeA(LPCSTR lptstrFilename, LPDWORD lpdwHandle) {
  if (lpdwHandle != NULL) *lpdwHandle = 0;
  MappedFile file;
  size_t offset, length;
  if (!LocateBlock(lptstrFilename, &file, &offset, &length)) return 0;
  return static_cast<DWORD>(BufferSize(length));
}

BOOL PosixGetFileVersionInfoA(LPCSTR lptstrFilename, DWORD dwHandle, DWORD dwLen, LPVOID lpData) {
  (void)dwHandle;  // always 0, as on Windows
  if (lpData == NULL) {
    PosixSetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  MappedFile file;
  size_t offset, length;
  if (!LocateBlock(lptstrFilename, &file, &offset, &length)) return FALSE;
  // Windows copies a cut block into a short buffer, and a later query then
  // reads past it; here a buffer below the size asked for is refused.
  if (dwLen < BufferSize(length)) {
    PosixSetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  uint8_t* buffer = static_cast<uint8_t*>(lpData);
  memset(buffer, 0, BufferSize(length));
  memcpy(buffer, file.bytes + offset, length);
  uint8_t* header = buffer + RoundUp4(length);
  memcpy(header, roomMagic, 4);
  uint32_t room = static_cast<uint32_t>(RoomSize(length));
  memcpy(header + 4, &room, 4);
  return TRUE;
}

BOOL PosixVerQueryValueA(LPCVOID pBlock, LPCSTR lpSubBlock, LPVOID* lplpBuffer, PUINT puLen) {
  if (pBlock == NULL || lpSubBlock == NULL || lplpBuffer == NULL || puLen == NULL) {
    PosixSetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  uint8_t* block = static_cast<uint8_t*>(const_cast<void*>(pBlock));
  size_t length = static_cast<size_t>(block[0]) | static_cast<size_t>(block[1]) << 8;

  std::vector<WCHAR> path(strlen(lpSubBlock) + 1);
  int units = PosixMultiByteToWideChar(CP_ACP, 0, lpSubBlock, -1, path.data(), static_cast<int>(path.size()));
  VersionValue value;
  if (units <= 0 || !FindVersionValue(block, length, path.data(), static_cast<size_t>(units) - 1, &value)) {
    PosixSetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
    return FALSE;
  }
  if (!value.text) {
    *lplpBuffer = block + value.offset;
    *puLen = static_cast<UINT>(value.length);
    return TRUE;
  }

  // Text goes out in the ANSI code page, converted into the room behind the
  // block; a block that was not filled by GetFileVersionInfoA has none.
  uint8_t* header = block + RoundUp4(length);
  uint32_t room;
  memcpy(&room, header + 4, 4);
  if (memcmp(header, roomMagic, 4) != 0 || room != RoomSize(length)) {
    PosixSetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  char* text = reinterpret_cast<char*>(header + 8) + value.offset / 2;
  size_t count = value.length / 2;
  int written = 0;
  if (count > 0) {
    // Copied out first: the block need not be aligned for 16-bit reads.
    std::vector<WCHAR> wide(count);
    memcpy(wide.data(), block + value.offset, count * 2);
    written = PosixWideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(count), text,
                                       static_cast<int>(count), NULL, NULL);
  }
  text[written] = '\0';
  // The length as the value stores it: with its terminator when it has one.
  *lplpBuffer = text;
  *puLen = static_cast<UINT>(written);
  return TRUE;
}
