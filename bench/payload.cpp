// Writes the benchmark's payload to stdout: SIZE bytes (default 64 MiB), the
// first half text-like (lines of words and numbers, as in scripts and
// manifests), the second half random. The same bytes on every run for the
// same SEED (default 0); another SEED gives other bytes of the same kind.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

namespace {

uint64_t state = 0x9E3779B97F4A7C15ull;

uint64_t Next() {
  state ^= state << 13;
  state ^= state >> 7;
  state ^= state << 17;
  return state;
}

const char* const kWords[] = {
    "install", "setup", "file",   "directory", "registry", "key",     "value",   "program", "files",  "system",
    "windows", "copy",  "delete", "version",   "product",  "company", "license", "user",    "data",   "config",
    "shortcut", "menu", "start",  "uninstall", "language", "english", "default", "path",    "temp",   "archive",
    "the",     "a",     "of",     "to",        "and",      "is",      "for",     "with",    "on",     "if",
};

}  // namespace

int main(int argc, char** argv) {
  uint64_t size = argc > 1 ? strtoull(argv[1], nullptr, 10) : 64ull << 20;
  if (argc > 2) state ^= strtoull(argv[2], nullptr, 10) * 0xD1B54A32D192ED03ull;
  if (state == 0) state = 1;
  uint64_t text = size / 2;
  std::vector<char> buffer;
  buffer.reserve(1 << 20);
  uint64_t written = 0;
  auto flush = [&]() {
    fwrite(buffer.data(), 1, buffer.size(), stdout);
    written += buffer.size();
    buffer.clear();
  };
  std::string line;
  while (written + buffer.size() < text) {
    line.clear();
    int words = 4 + static_cast<int>(Next() % 9);
    for (int i = 0; i < words; ++i) {
      uint64_t r = Next();
      if (i != 0) line += ' ';
      if (r % 7 == 0) {
        line += std::to_string(r % 100000);
      } else {
        line += kWords[r % (sizeof kWords / sizeof kWords[0])];
      }
    }
    line += '\n';
    uint64_t room = text - written - buffer.size();
    buffer.insert(buffer.end(), line.begin(), line.begin() + static_cast<long>(room < line.size() ? room : line.size()));
    if (buffer.size() >= (1u << 20)) flush();
  }
  flush();
  while (written + buffer.size() < size) {
    uint64_t r = Next();
    for (int i = 0; i < 8 && written + buffer.size() < size; ++i) buffer.push_back(static_cast<char>(r >> (8 * i)));
    if (buffer.size() >= (1u << 20)) flush();
  }
  flush();
  return fflush(stdout) == 0 ? 0 : 1;
}
