// Where pxq finds itself and what it ships beside it, on POSIX.
#include "tools/host/input_file.h"

#include <stdlib.h>
#include <unistd.h>

std::string FindDefaultStub() {
  std::string directory = OwnDirectory();
  if (directory.empty()) return "";
  for (const char* place : {"/pxq-loader.exe", "/../share/pxq/pxq-loader.exe"}) {
    std::string path = directory + place;
    if (access(path.c_str(), F_OK) == 0) return path;
  }
  return "";
}

std::string FindInstallerSdk() {
  std::string directory = OwnDirectory();
  if (directory.empty()) return "";
  for (const char* place : {"/../installer-sdk", "/../share/pxq/sdk"}) {
    std::string path = directory + place;
    if (access((path + "/include/pxq/installer_data.h").c_str(), F_OK) != 0) continue;
    char* resolved = realpath(path.c_str(), nullptr);
    if (resolved == nullptr) return path;
    std::string shown = resolved;
    free(resolved);
    return shown;
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
