// The installer library's file layer on the host: byte paths, POSIX calls;
// the package file is read through the platform seam's posix backend.
#ifndef _WIN32

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include "installer/file_layer.h"
#include "platform/heap.h"
#include "platform/platform.h"
#include "platform/posix.h"

void LayerUsePlatform() {
  if (activePlatform == nullptr) UsePlatform(PosixPlatform());
}

uint32_t LayerLength(const PxqPathChar* path) {
  uint32_t length = 0;
  while (path[length] != '\0') ++length;
  return length;
}

static uint32_t ErrnoCode() { return WindowsErrorFromErrno(errno); }

static LayerTemporaryWatch temporaryWatch;

void LayerWatchTemporaries(LayerTemporaryWatch watch) { temporaryWatch = watch; }

static void Tell(const char* path, LayerTemporaryEvent event) {
  if (temporaryWatch != nullptr) temporaryWatch(path, event);
}

PxqPathChar* LayerJoin(const PxqPathChar* directory, const char* name, uint32_t namelength) {
  uint32_t length = LayerLength(directory);
  char* path = static_cast<char*>(AllocZeroed(length + 1 + namelength + 1));
  if (path == nullptr) return nullptr;
  CopyBytes(path, directory, length);
  if (length == 0 || path[length - 1] != '/') path[length++] = '/';
  CopyBytes(path + length, name, namelength);
  return path;
}

PxqPathChar* LayerParent(const PxqPathChar* path, bool* hasparent) {
  uint32_t length = LayerLength(path);
  while (length > 0 && path[length - 1] != '/') --length;
  *hasparent = length > 0;
  char* parent = static_cast<char*>(AllocZeroed(length + 2));
  if (parent == nullptr) return nullptr;
  if (length == 0) {
    parent[0] = '.';
  } else {
    CopyBytes(parent, path, length);
  }
  return parent;
}

PxqPathChar* LayerFullPath(const PxqPathChar* path) {
  uint32_t length = LayerLength(path);
  char* copy = static_cast<char*>(AllocZeroed(length + 1));
  if (copy != nullptr) CopyBytes(copy, path, length);
  return copy;
}

char* LayerDisplayPath(const PxqPathChar* path) {
  uint32_t length = LayerLength(path);
  char* shown = static_cast<char*>(AllocZeroed(length + 1));
  if (shown != nullptr) CopyBytes(shown, path, length);
  return shown;
}

uint32_t LayerLoaderPathVariable(PxqPathChar** path) {
  *path = nullptr;
  const char* value = getenv("PXQ_LOADER_PATH");
  if (value == nullptr || value[0] == '\0') return ERROR_ENVVAR_NOT_FOUND;
  uint32_t length = LayerLength(value);
  *path = static_cast<char*>(AllocZeroed(length + 1));
  if (*path == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
  CopyBytes(*path, value, length);
  return 0;
}

// The last of the NUL-separated arguments in /proc/self/cmdline.
uint32_t LayerSelfPath(PxqPathChar** path, uint32_t* count) {
  *path = nullptr;
  *count = 0;
  int fd = open("/proc/self/cmdline", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return ErrnoCode();
  uint32_t capacity = 65536;
  char* line = static_cast<char*>(AllocZeroed(capacity + 1));
  uint32_t used = 0;
  uint32_t code = line == nullptr ? ERROR_NOT_ENOUGH_MEMORY : 0;
  while (code == 0) {
    if (used == capacity) {
      char* larger = static_cast<char*>(AllocZeroed(capacity * 2 + 1));
      if (larger == nullptr) {
        code = ERROR_NOT_ENOUGH_MEMORY;
        break;
      }
      CopyBytes(larger, line, used);
      FreeBlock(line);
      line = larger;
      capacity *= 2;
    }
    ssize_t got = read(fd, line + used, capacity - used);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) code = ErrnoCode();
    if (got <= 0) break;
    used += static_cast<uint32_t>(got);
  }
  close(fd);
  if (code != 0) {
    FreeBlock(line);
    return code;
  }
  // Arguments end with NUL; count them and find where the last begins.
  uint32_t arguments = 0;
  uint32_t start = 0;
  for (uint32_t i = 0, begin = 0; i < used; ++i) {
    if (line[i] != '\0') continue;
    ++arguments;
    start = begin;
    begin = i + 1;
  }
  *count = arguments;
  if (arguments < 2) {
    FreeBlock(line);
    return ERROR_BAD_ARGUMENTS;
  }
  *path = LayerDisplayPath(line + start);
  FreeBlock(line);
  return *path == nullptr ? ERROR_NOT_ENOUGH_MEMORY : 0;
}

uint32_t LayerOpenRead(const PxqPathChar* path, HANDLE* file) {
  *file = Sys().CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
  return *file == INVALID_HANDLE_VALUE ? Sys().GetLastError() : 0;
}

uint32_t LayerMakeDirectory(const PxqPathChar* path, bool allowlink, bool* made) {
  *made = false;
  if (mkdir(path, 0777) == 0) {
    *made = true;
    return 0;
  }
  if (errno != EEXIST) return ErrnoCode();
  struct stat info;
  if (lstat(path, &info) != 0) return ErrnoCode();
  if (S_ISDIR(info.st_mode)) return 0;
  if (allowlink && S_ISLNK(info.st_mode) && stat(path, &info) == 0 && S_ISDIR(info.st_mode)) return 0;
  return ERROR_ALREADY_EXISTS;
}

PxqPathChar* LayerParentFolder(const PxqPathChar* path) {
  uint32_t length = LayerLength(path);
  while (length > 1 && path[length - 1] == '/') --length;
  if (length == 1 && path[0] == '/') return nullptr;  // the root
  uint32_t cut = length;
  while (cut > 0 && path[cut - 1] != '/') --cut;
  if (cut == 0) return nullptr;  // a name in the current folder
  while (cut > 1 && path[cut - 1] == '/') --cut;
  char* parent = static_cast<char*>(AllocZeroed(cut + 1));
  if (parent != nullptr) CopyBytes(parent, path, cut);
  return parent;
}

bool LayerIsMissingParent(uint32_t code) { return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND; }

// A new name beside `path`: ".pxq-PID-N" and `suffix`, or null.
static char* NameBeside(const PxqPathChar* path, const char* suffix) {
  static uint32_t counter;
  bool hasparent = false;
  char* parent = LayerParent(path, &hasparent);
  if (parent == nullptr) return nullptr;
  char name[64];
  snprintf(name, sizeof name, ".pxq-%ld-%u%s", static_cast<long>(getpid()), ++counter, suffix);
  char* beside = LayerJoin(parent, name, LayerLength(name));
  FreeBlock(parent);
  return beside;
}

uint32_t LayerSetAside(const PxqPathChar* path, PxqPathChar** backup) {
  *backup = nullptr;
  struct stat info;
  if (lstat(path, &info) != 0) return errno == ENOENT ? 0 : ErrnoCode();
  if (S_ISDIR(info.st_mode)) return 0;
  for (int attempt = 0; attempt < 100; ++attempt) {
    char* beside = NameBeside(path, ".backup");
    if (beside == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
    // Never over another file: where the file system cannot refuse a
    // rename over a name, the name is looked at first.
    int result = renameat2(AT_FDCWD, path, AT_FDCWD, beside, RENAME_NOREPLACE);
    if (result != 0 && (errno == EINVAL || errno == ENOSYS)) {
      struct stat there;
      if (lstat(beside, &there) == 0) {
        errno = EEXIST;
      } else {
        result = rename(path, beside);
      }
    }
    if (result == 0) {
      *backup = beside;
      return 0;
    }
    int error = errno;
    FreeBlock(beside);
    if (error != EEXIST) return WindowsErrorFromErrno(error);
  }
  return ERROR_FILE_EXISTS;
}

uint32_t LayerPutBack(const PxqPathChar* backup, const PxqPathChar* path) {
  return renameat2(AT_FDCWD, backup, AT_FDCWD, path, RENAME_NOREPLACE) == 0 ||
                 ((errno == EINVAL || errno == ENOSYS) && rename(backup, path) == 0)
             ? 0
             : ErrnoCode();
}

uint32_t LayerRemoveFile(const PxqPathChar* path) { return unlink(path) == 0 ? 0 : ErrnoCode(); }

uint32_t LayerRemoveFolder(const PxqPathChar* path) { return rmdir(path) == 0 ? 0 : ErrnoCode(); }

uint32_t LayerCreateTemporary(const PxqPathChar* finalpath, LayerFile* file) {
  file->handle = -1;
  file->temporary = nullptr;
  bool hasparent = false;
  char* parent = LayerParent(finalpath, &hasparent);
  if (parent == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
  static uint32_t counter;
  uint32_t code = ERROR_FILE_EXISTS;
  for (int attempt = 0; attempt < 100 && code == ERROR_FILE_EXISTS; ++attempt) {
    char name[64];
    snprintf(name, sizeof name, ".pxq-%ld-%u.partial", static_cast<long>(getpid()), ++counter);
    uint32_t namelength = 0;
    while (name[namelength] != '\0') ++namelength;
    char* temporary = LayerJoin(parent, name, namelength);
    if (temporary == nullptr) {
      code = ERROR_NOT_ENOUGH_MEMORY;
      break;
    }
    // Never an existing file, never through a link.
    Tell(temporary, LayerTemporaryMaking);
    int fd = open(temporary, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    int error = errno;
    Tell(temporary, fd >= 0 ? LayerTemporaryMade : LayerTemporaryNotMade);
    errno = error;
    if (fd >= 0) {
      file->handle = fd;
      file->temporary = temporary;
      code = 0;
    } else {
      code = errno == EEXIST ? ERROR_FILE_EXISTS : ErrnoCode();
      FreeBlock(temporary);
    }
  }
  FreeBlock(parent);
  return code;
}

uint32_t LayerWrite(LayerFile* file, const uint8_t* bytes, uint32_t count) {
  while (count != 0) {
    ssize_t written = write(static_cast<int>(file->handle), bytes, count);
    if (written < 0 && errno == EINTR) continue;
    if (written < 0) return ErrnoCode();
    if (written == 0) return ERROR_HANDLE_DISK_FULL;
    bytes += written;
    count -= static_cast<uint32_t>(written);
  }
  return 0;
}

uint32_t LayerCommit(LayerFile* file, const PxqPathChar* finalpath, uint64_t lastwritetime, uint32_t attributes) {
  int fd = static_cast<int>(file->handle);
  // FILETIME counts 100 ns from 1601; the epoch of 1970 is 11644473600 s later.
  const uint64_t kEpoch = 116444736000000000ull;
  struct timespec times[2];
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;
  uint64_t since = lastwritetime >= kEpoch ? lastwritetime - kEpoch : 0;
  times[1].tv_sec = static_cast<time_t>(since / 10000000u);
  times[1].tv_nsec = static_cast<long>(since % 10000000u) * 100;
  uint32_t code = futimens(fd, times) == 0 ? 0 : ErrnoCode();
  if (code == 0 && (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
    struct stat info;
    if (fstat(fd, &info) != 0 || fchmod(fd, info.st_mode & 07555) != 0) code = ErrnoCode();
  }
  if (close(fd) != 0 && code == 0) code = ErrnoCode();
  file->handle = -1;
  // A folder where the file goes is named as such (336), not as a refusal.
  if (code == 0 && rename(file->temporary, finalpath) != 0) code = errno == EISDIR ? 336u : ErrnoCode();
  if (code == 0) {
    Tell(file->temporary, LayerTemporaryGone);
    FreeBlock(file->temporary);
    file->temporary = nullptr;
  }
  return code;
}

void LayerDiscard(LayerFile* file) {
  if (file->handle >= 0) close(static_cast<int>(file->handle));
  file->handle = -1;
  if (file->temporary != nullptr) {
    unlink(file->temporary);
    Tell(file->temporary, LayerTemporaryGone);
  }
  FreeBlock(file->temporary);
  file->temporary = nullptr;
}

#endif
