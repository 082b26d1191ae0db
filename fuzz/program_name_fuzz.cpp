// Stepping over the program name and assembling the installer's command
// line, over arbitrary text. The own argument text must be a suffix of the
// command line that follows the name by the stepping rules; the assembled
// line must be exactly the five pieces in the command-line format.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "fuzz_support.h"
#include "launcher/command_line.h"

namespace {

void CheckSkip(const std::string& line) {
  const char* start = line.c_str();
  const char* rest = SkipProgramName(start);
  size_t at = static_cast<size_t>(rest - start);
  FuzzCheck(rest >= start && at <= line.size(), "the rest lies in the line");
  FuzzCheck(*rest != ' ', "the rest does not start with a space");

  // The part stepped over: spaces, the name, spaces.
  size_t i = 0;
  while (i < at && line[i] == ' ') ++i;
  if (i < at && line[i] == '"') {
    ++i;
    while (i < at && line[i] != '"') ++i;
    FuzzCheck(i < at || at == line.size(), "an open quote takes the rest of the line");
    if (i < at) ++i;
  } else {
    while (i < at && line[i] != ' ') ++i;
    FuzzCheck(i < at || at == line.size(), "an unquoted name ends at a space or the end");
    if (i < at) ++i;
  }
  while (i < at && line[i] == ' ') ++i;
  FuzzCheck(i == at, "only spaces follow the name");
}

void CheckAssembly(const std::string& data) {
  // Five pieces separated by 0x01 bytes; NUL bytes end a piece's text.
  std::vector<std::string> texts(PieceCount);
  size_t piece = 0;
  for (char c : data) {
    if (c == '\x01' && piece + 1 < PieceCount) {
      ++piece;
    } else {
      texts[piece].push_back(c);
    }
  }
  CommandLinePieces pieces;
  for (uint32_t p = 0; p < PieceCount; ++p) {
    pieces.text[p] = texts[p].c_str();
    pieces.length[p] = static_cast<uint32_t>(strlen(texts[p].c_str()));
  }
  uint64_t length = CommandLineLength(&pieces);
  std::vector<char> buffer(length + 2, '#');
  AssembleCommandLine(&pieces, buffer.data());
  FuzzCheck(buffer[length] == '\0' && buffer[length + 1] == '#', "exactly the line and its terminator");

  std::vector<char> expected(length + 1);
  int written = snprintf(expected.data(), expected.size(), "\"%s\" %s %s %s \"%s\"", pieces.text[0], pieces.text[1],
                         pieces.text[2], pieces.text[3], pieces.text[4]);
  FuzzCheck(written >= 0 && static_cast<uint64_t>(written) == length, "the length of the format's output");
  FuzzCheck(std::string(buffer.data()) == std::string(expected.data()), "the format's output");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  CheckSkip(std::string(text.c_str()));
  CheckAssembly(text);
  return 0;
}
