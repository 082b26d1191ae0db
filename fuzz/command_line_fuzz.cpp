// The Windows command-line rules over arbitrary bytes. Two properties:
// - a line read into arguments, written back and read again gives the same
//   arguments after the program name (and the same name, when it holds no
//   quote, which a program name cannot carry);
// - any argument list, written and read back, comes back unchanged (the
//   input is cut into arguments at each byte 0x01).
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "platform/windows_command_line.h"

static void Check(bool condition, const char* what, const std::string& line) {
  if (condition) return;
  fprintf(stderr, "%s: [%s]\n", what, line.c_str());
  abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string bytes(reinterpret_cast<const char*>(data), size);

  // A command line is a C string: it ends at the first zero byte.
  std::string line = bytes.substr(0, bytes.find('\0'));
  std::vector<std::string> first = SplitWindowsCommandLine(line);
  if (!first.empty()) {
    std::vector<std::string> rest(first.begin() + 1, first.end());
    std::string written = BuildWindowsCommandLine(first[0], rest);
    std::vector<std::string> second = SplitWindowsCommandLine(written);
    Check(!second.empty(), "nothing read back", written);
    Check(std::vector<std::string>(second.begin() + 1, second.end()) == rest, "arguments changed", written);
    if (first[0].find('"') == std::string::npos) Check(second[0] == first[0], "program name changed", written);
  }

  std::vector<std::string> arguments;
  size_t start = 0;
  for (size_t i = 0; i <= line.size(); i++) {
    if (i == line.size() || line[i] == '\x01') {
      arguments.push_back(line.substr(start, i - start));
      start = i + 1;
    }
  }
  std::string program = arguments[0];
  if (program.find('"') != std::string::npos) program.clear();
  arguments.erase(arguments.begin());
  std::string written = BuildWindowsCommandLine(program, arguments);
  std::vector<std::string> expected = arguments;
  expected.insert(expected.begin(), program);
  Check(SplitWindowsCommandLine(written) == expected, "list changed", written);
  return 0;
}
