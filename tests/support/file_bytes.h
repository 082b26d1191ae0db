// Whole-file reads and writes for tests: as bytes, or as a std::string for
// tests that compare with string literals (the content may be any bytes).
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

// Writes `bytes` to `path`, replacing any file there; a failed write fails
// the test.
void WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes);
void WriteFileText(const std::string& path, const std::string& text);

// The whole content of a file; empty when it cannot be read.
std::vector<uint8_t> ReadFileBytes(const std::string& path);
std::string ReadFileText(const std::string& path);

// Whether anything, a dangling link included, stands at `path`.
bool FileExists(const std::string& path);
