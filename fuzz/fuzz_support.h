// What the fuzz targets share: a scratch directory for the files they hand
// to the code under test, and the way they stop on a broken property.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>

// The path of `name` in this process's scratch directory, which is made
// under the system's temporary directory at the first call and removed with
// all it holds when the process exits. Aborts when it cannot be made.
std::string FuzzScratchFile(const char* name);

// Writes `size` bytes to `path`, replacing what was there; aborts when the
// file cannot be written whole.
void FuzzWriteFile(const std::string& path, const uint8_t* data, size_t size);

// Prints `what` on stderr and aborts, so that the fuzzer keeps the input.
[[noreturn]] void FuzzFail(const std::string& what);

// Stops with "broken: `what`" unless `condition` holds.
inline void FuzzCheck(bool condition, const char* what) {
  if (!condition) FuzzFail(std::string("broken: ") + what);
}
