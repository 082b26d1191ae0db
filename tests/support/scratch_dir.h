// A scratch directory for one test: made fresh under the system's temporary
// directory, removed with everything in it at the end of the scope.
#pragma once

#include <string>

struct ScratchDir {
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  // The path of `name` inside the directory.
  std::string File(const std::string& name) const { return path + "/" + name; }
  std::string path;
};
