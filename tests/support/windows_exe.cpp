#include "support/windows_exe.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/file_bytes.h"

// Whether `tool` is an executable file in a directory of PATH. Looked up,
// not run: a tool that is there but cannot be run (the machine out of
// processes, say) must fail the test, not skip it.
static bool Installed(const std::string& tool) {
  const char* path = getenv("PATH");
  std::string directories = path != nullptr ? path : "";
  size_t start = 0;
  while (start <= directories.size()) {
    size_t end = directories.find(':', start);
    if (end == std::string::npos) end = directories.size();
    const std::string directory = end > start ? directories.substr(start, end - start) : ".";
    if (access((directory + "/" + tool).c_str(), X_OK) == 0) return true;
    start = end + 1;
  }
  return false;
}

std::string BuildWindowsExe(const ScratchDir& dir, const std::string& name, const std::string& resources,
                            const std::string& link) {
  if (!Installed("i686-w64-mingw32-gcc") || !Installed("i686-w64-mingw32-windres")) return "";
  const std::string base = dir.File(name);
  WriteFileText(base + ".c", "void __stdcall start(void) { for (;;) { } }\n");
  // Run in the scratch directory so that any file the tools leave behind
  // goes with it.
  std::string command = "cd '" + dir.path + "' && ";
  std::string objects = "'" + base + ".c'";
  if (!resources.empty()) {
    WriteFileText(base + ".rc", resources);
    command += "i686-w64-mingw32-windres '" + base + ".rc' -O coff -o '" + base + ".res.o' && ";
    objects += " '" + base + ".res.o'";
  }
  command += "i686-w64-mingw32-gcc -nostdlib -nostartfiles -s -Wl,-e,_start@0 " + link + " " + objects + " -o '" + base + ".exe'";
  const int status = system(command.c_str());
  if (status != 0) {
    ADD_FAILURE() << "the build failed (status " << status << (status == -1 ? ", " + std::string(strerror(errno)) : "")
                  << "): " << command;
    return "";
  }
  return base + ".exe";
}
