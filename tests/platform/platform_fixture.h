// Helpers for the platform tests: a file's permission bits, and calls into
// the posix backend without installing it.
#pragma once

#include <stdarg.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "platform/posix.h"
#include "support/file_bytes.h"
#include "support/scratch_dir.h"

inline mode_t ModeOf(const std::string& path) {
  struct stat status;
  if (lstat(path.c_str(), &status) != 0) return static_cast<mode_t>(-1);
  return status.st_mode & 07777;
}

// The posix backend's table, called directly.
inline const Platform& Posix() { return *PosixPlatform(); }

// wsprintfA over the posix backend's wvsprintfA.
inline int PosixFormat(char* output, const char* format, ...) {
  va_list args;
  va_start(args, format);
  int written = Posix().wvsprintfA(output, format, args);
  va_end(args);
  return written;
}
