// Helpers for the platform tests: a private temporary directory, small file
// helpers, and calls into the posix backend without installing it.
#pragma once

#include <stdarg.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <string>

#include <gtest/gtest.h>

#include "platform/posix.h"

// A directory of its own under the system's temporary directory, removed
// with its contents at the end of the scope.
struct ScratchDir {
  ScratchDir() {
    char name[] = "/tmp/pxq-platform-XXXXXX";
    const char* made = mkdtemp(name);
    EXPECT_NE(made, nullptr);
    path = made != nullptr ? made : "/tmp";
  }
  ~ScratchDir() {
    std::string command = "chmod -R u+rwx '" + path + "' 2>/dev/null; rm -rf '" + path + "'";
    if (system(command.c_str()) != 0) ADD_FAILURE() << "could not remove " << path;
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  std::string File(const std::string& name) const { return path + "/" + name; }
  std::string path;
};

inline void WriteText(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

inline std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

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
