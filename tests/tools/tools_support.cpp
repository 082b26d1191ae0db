#include "tools_support.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <filesystem>

#include <gtest/gtest.h>

#include "support/file_bytes.h"
#include "support/scratch_dir.h"

std::string ShellQuote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

CommandResult RunShell(const std::string& command) {
  ScratchDir capture;
  std::string out = capture.File("out"), err = capture.File("err");
  std::string line = "(" + command + ") >" + ShellQuote(out) + " 2>" + ShellQuote(err) + " </dev/null";
  int status = system(line.c_str());
  CommandResult result;
  if (status != -1 && WIFEXITED(status)) result.status = WEXITSTATUS(status);
  result.out = ReadFileText(out);
  result.err = ReadFileText(err);
  return result;
}

std::string PxqPath() { return std::string(PXQ_BIN_DIR) + "/pxq"; }

CommandResult RunPxq(const std::vector<std::string>& arguments) {
  std::string line = ShellQuote(PxqPath());
  for (const auto& argument : arguments) line += " " + ShellQuote(argument);
  return RunShell(line);
}

std::vector<uint8_t> TestStub() {
  std::vector<uint8_t> stub(128);
  for (size_t i = 0; i < stub.size(); ++i) stub[i] = static_cast<uint8_t>(0xA0 + i);
  stub[0] = 'M';
  stub[1] = 'Z';
  stub[0x3C] = 0x80;
  stub[0x3D] = stub[0x3E] = stub[0x3F] = 0;
  return stub;
}

std::vector<std::string> DirectoryNames(const std::string& directory) {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& item : std::filesystem::directory_iterator(directory, error))
    names.push_back(item.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

void SetModificationTime(const std::string& path, int64_t seconds, uint32_t nanoseconds) {
  struct timespec times[2];
  times[0].tv_sec = static_cast<time_t>(seconds);
  times[0].tv_nsec = static_cast<long>(nanoseconds);
  times[1] = times[0];
  ASSERT_EQ(0, utimensat(AT_FDCWD, path.c_str(), times, 0)) << path;
}
