#include "support/file_bytes.h"

#include <sys/stat.h>

#include <fstream>
#include <iterator>

#include <gtest/gtest.h>

namespace {

void Write(const std::string& path, const char* data, size_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(data, static_cast<std::streamsize>(size));
  out.close();
  if (!out) ADD_FAILURE() << "cannot write " << path;
}

}  // namespace

void WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  Write(path, reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

void WriteFileText(const std::string& path, const std::string& text) { Write(path, text.data(), text.size()); }

std::vector<uint8_t> ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string ReadFileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool FileExists(const std::string& path) {
  struct stat status;
  return lstat(path.c_str(), &status) == 0;
}
