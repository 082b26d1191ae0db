// The Windows command-line rules over arbitrary bytes. Two properties:
// - a line read into arguments, written back and read again gives the same
//   arguments, the program name included;
// - any argument list whose program name can be written, written and read
//   back, comes back unchanged (the input is cut into arguments at each byte
//   0x01).
#include <stddef.h>
#include <stdint.h>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "platform/windows_command_line.h"

static void Check(bool condition, const char* what, const std::string& line) {
  if (!condition) FuzzFail(std::string(what) + ": [" + line + "]");
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string bytes(reinterpret_cast<const char*>(data), size);

  // A command line is a C string: it ends at the first zero byte.
  std::string line = bytes.substr(0, bytes.find('\0'));
  std::vector<std::string> first = SplitWindowsCommandLine(line);
  if (!first.empty()) {
    std::vector<std::string> rest(first.begin() + 1, first.end());
    std::string written = BuildWindowsCommandLine(first[0], rest);
    Check(IsWritableProgramName(first[0]), "program name read but not writable", line);
    Check(SplitWindowsCommandLine(written) == first, "arguments changed", written);
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
  if (!IsWritableProgramName(program)) program.clear();
  arguments.erase(arguments.begin());
  std::string written = BuildWindowsCommandLine(program, arguments);
  std::vector<std::string> expected = arguments;
  expected.insert(expected.begin(), program);
  Check(SplitWindowsCommandLine(written) == expected, "list changed", written);
  return 0;
}
