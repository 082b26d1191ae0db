#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "launcher/command_line.h"

TEST(SkipProgramName, StepsOverTheNameAndTheSpacesAroundIt) {
  struct Case {
    const char* line;
    const char* rest;
  } cases[] = {
      {"", ""},
      {"setup.exe", ""},
      {"setup.exe a b", "a b"},
      {"   setup.exe   a  b  ", "a  b  "},
      {"\"C:\\x y\\setup.exe\" /S", "/S"},
      {"\"C:\\x y\\setup.exe\"/S \"q\"", "/S \"q\""},   // no space after the closing quote
      {"\"C:\\x y\\setup.exe /S", ""},                  // no closing quote: the rest is the name
      {"C:\\x y\\setup.exe /S", "y\\setup.exe /S"},     // unquoted: the first space ends the name
      {"setup.exe\t/S", ""},                            // a tab is an ordinary character
      {"setup.exe \t/S", "\t/S"},
      {"setup.exe    ", ""},                            // only spaces after the name
      {"se\"tup.exe a", "a"},                           // a quote inside an unquoted name does nothing
      {"\"\" a", "a"},
      {"  \"a\"  \"b c\" \\\"d ", "\"b c\" \\\"d "},    // no backslash or doubled-quote rules
  };
  for (const Case& c : cases) EXPECT_STREQ(c.rest, SkipProgramName(c.line)) << "line [" << c.line << "]";
}

static std::string Assemble(const std::vector<std::string>& texts, uint64_t* length = nullptr) {
  CommandLinePieces pieces;
  for (uint32_t i = 0; i < PieceCount; ++i) {
    pieces.text[i] = texts[i].c_str();
    pieces.length[i] = static_cast<uint32_t>(texts[i].size());
  }
  uint64_t total = CommandLineLength(&pieces);
  if (length != nullptr) *length = total;
  // One byte of guard past the terminator shows that nothing more is written.
  std::vector<char> buffer(total + 2, '#');
  AssembleCommandLine(&pieces, buffer.data());
  EXPECT_EQ('\0', buffer[total]);
  EXPECT_EQ('#', buffer[total + 1]);
  return std::string(buffer.data());
}

TEST(AssembleCommandLine, FivePiecesInOrderAndEmptyPiecesKeepTheirSpaces) {
  EXPECT_EQ("\"T:\\tmp\\s-1A2C.exe\" /lang=de tagged /S \"D:\\my dir\\s.exe\"",
            Assemble({"T:\\tmp\\s-1A2C.exe", "/lang=de", "tagged", "/S", "D:\\my dir\\s.exe"}));
  uint64_t length = 0;
  EXPECT_EQ("\"T\"    \"O\"", Assemble({"T", "", "", "", "O"}, &length));
  EXPECT_EQ(10u, length);
  EXPECT_EQ("\"\"    \"\"", Assemble({"", "", "", "", ""}, &length));
  EXPECT_EQ(8u, length);
}

TEST(AssembleCommandLine, LongLinesAreNotCut) {
  // Far beyond the 1,024 bytes of the formatter, up to the last byte the
  // process creation accepts.
  std::string own(COMMAND_LINE_LIMIT - 1 - 8 - 4, 'a');
  own.replace(0, 3, "x y");
  uint64_t length = 0;
  std::string line = Assemble({"T", "", "", own, "OWN"}, &length);
  EXPECT_EQ(COMMAND_LINE_LIMIT - 1, length);
  ASSERT_EQ(length, line.size());
  EXPECT_EQ("\"T\"   " + own + " \"OWN\"", line);
}
