#include "support/windows_exe.h"

#include <stdlib.h>

#include <gtest/gtest.h>

#include "support/file_bytes.h"

std::string BuildWindowsExe(const ScratchDir& dir, const std::string& name, const std::string& resources,
                            const std::string& link) {
  if (system("i686-w64-mingw32-gcc --version >/dev/null 2>&1") != 0 ||
      system("i686-w64-mingw32-windres --version >/dev/null 2>&1") != 0)
    return "";
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
  if (system(command.c_str()) != 0) {
    ADD_FAILURE() << "the build failed: " << command;
    return "";
  }
  return base + ".exe";
}
