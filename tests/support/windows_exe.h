// Small 32-bit Windows executables built with the mingw-w64 toolchain, for
// tests that need a PE file as the Windows linker lays it out.
#pragma once

#include <string>

#include "support/scratch_dir.h"

// Builds `name`.exe in `dir`: an entry point that never returns, and the
// resources of the windres script `resources` ("" for none), linked with
// the further options `link` (e.g. "-Wl,--disable-reloc-section"). Returns its
// path, or "" when i686-w64-mingw32-gcc or -windres is not installed (the
// test skips) or the build fails (the test has failed then too).
std::string BuildWindowsExe(const ScratchDir& dir, const std::string& name, const std::string& resources,
                            const std::string& link = "");
