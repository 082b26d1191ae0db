// The POSIX calls that pxq's commands and writer make, for a Windows build:
// each takes and gives file names in UTF-8 and reaches the file system
// through the wide API, with paths longer than MAX_PATH made absolute under
// the \\?\ prefix. A file's status carries the volume serial number and the
// file index as st_dev and st_ino, so that comparing them compares file
// identity, as on POSIX. The Windows build force-includes this header
// (-include) into the tools' sources, after which the names below stand for
// these calls.
//
// A failed call leaves errno at PXQ_WINDOWS_ERRNO_BASE + the Windows error,
// which HostErrorText words with FormatMessage and WindowsErrorFromErrno
// turns back into the Windows error.
#pragma once

#ifdef _WIN32

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include <string>

#define PXQ_WINDOWS_ERRNO_BASE 0x10000

// UTF-8 and UTF-16, both ways ("" for text that does not convert).
std::wstring WideFromUtf8(const std::string& text);
std::string Utf8FromWide(const std::wstring& text);
// The name to give the wide API for a UTF-8 path: as it is while it is
// short, else absolute under \\?\ (\\?\UNC\ for a share).
std::wstring WidePath(const std::string& path);
// errno = PXQ_WINDOWS_ERRNO_BASE + error; returns -1.
int FailWithWindowsError(unsigned long error);

struct PxqStat {
  uint64_t st_dev;  // volume serial number
  uint64_t st_ino;  // file index
  unsigned st_mode;
  unsigned st_nlink;
  int64_t st_size;
  struct timespec st_mtim;
};
int PxqStat(const char* path, struct PxqStat* info);
int PxqLstat(const char* path, struct PxqStat* info);
int PxqFstat(int fd, struct PxqStat* info);
int PxqOpen(const char* path, int flags, ...);
ssize_t PxqPread(int fd, void* bytes, size_t count, int64_t offset);
ssize_t PxqPwrite(int fd, const void* bytes, size_t count, int64_t offset);
int PxqFchmod(int fd, unsigned mode);
int PxqIsatty(int fd);
char* PxqRealpath(const char* path, char* resolved);
int PxqUnlink(const char* path);
time_t PxqTimegm(struct tm* moment);

struct PxqDirent {
  char d_name[1024];
};
struct PxqDir;
PxqDir* PxqOpendir(const char* path);
PxqDirent* PxqReaddir(PxqDir* stream);
int PxqClosedir(PxqDir* stream);

#define stat PxqStat
#define lstat PxqLstat
#define fstat PxqFstat
#define open PxqOpen
#define pread PxqPread
#define pwrite PxqPwrite
#define fchmod PxqFchmod
#define isatty PxqIsatty
#define realpath PxqRealpath
#define unlink PxqUnlink
#define timegm PxqTimegm
#define dirent PxqDirent
#define DIR PxqDir
#define opendir PxqOpendir
#define readdir PxqReaddir
#define closedir PxqClosedir

#ifndef O_CLOEXEC
#define O_CLOEXEC _O_NOINHERIT
#endif
#ifndef O_NOCTTY
#define O_NOCTTY 0
#endif
#ifndef O_NONBLOCK
#define O_NONBLOCK 0
#endif
#ifndef S_IFLNK
#define S_IFLNK 0120000
#endif
#ifndef S_IFSOCK
#define S_IFSOCK 0140000
#endif
#ifndef S_ISLNK
#define S_ISLNK(m) (((m) & S_IFMT) == S_IFLNK)
#endif
#ifndef S_ISSOCK
#define S_ISSOCK(m) (((m) & S_IFMT) == S_IFSOCK)
#endif
#ifndef S_ISFIFO
#define S_ISFIFO(m) (((m) & S_IFMT) == _S_IFIFO)
#endif
#ifndef S_ISBLK
#define S_ISBLK(m) 0
#endif
#ifndef S_IWUSR
#define S_IWUSR _S_IWRITE
#endif

#endif  // _WIN32
