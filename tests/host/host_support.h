// Helpers shared by the host backend's tests.
#pragma once

#include <string>
#include <vector>

#include "platform/platform.h"

// A fresh directory under the system's temporary directory, removed with
// everything in it when the value goes.
struct TemporaryDirectory {
  TemporaryDirectory();
  ~TemporaryDirectory();
  TemporaryDirectory(const TemporaryDirectory&) = delete;
  TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;
  std::string Path(const std::string& name) const { return path + "/" + name; }
  std::string path;
};

// Writes `bytes` to `path` with the given permission bits.
void WriteFileBytes(const std::string& path, const std::string& bytes, unsigned mode = 0644);

// The whole content of a file ("" when it cannot be read).
std::string ReadFileBytes(const std::string& path);

// The posix backend's operations.
const Platform& Host();
