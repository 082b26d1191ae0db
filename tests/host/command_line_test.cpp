#include <gtest/gtest.h>

#include "host_support.h"
#include "platform/posix.h"
#include "platform/windows_command_line.h"
#include "support/file_bytes.h"
#include "support/scratch_dir.h"

using Arguments = std::vector<std::string>;

TEST(WindowsCommandLine, QuotesOnlyWhatNeedsIt) {
  const struct {
    std::string argument;
    std::string written;
  } cases[] = {
      {"plain", "plain"},
      {"C:\\dir\\", "C:\\dir\\"},            // backslashes alone stay as they are
      {"", "\"\""},
      {"a b", "\"a b\""},
      {"a\tb", "\"a\tb\""},
      {"a\"b", "\"a\\\"b\""},
      {"a b\\", "\"a b\\\\\""},              // trailing backslash doubled before the closing quote
      {"a\\\"b", "\"a\\\\\\\"b\""},          // backslash before a quote: doubled, plus the escape
      {"x\\\\y z", "\"x\\\\y z\""},          // backslashes not before a quote stay single
  };
  for (const auto& c : cases) EXPECT_EQ(QuoteWindowsArgument(c.argument), c.written) << c.argument;

  // The program name has no escapes: quoted only for a blank, emptiness or a leading quote.
  const struct {
    std::string program;
    std::string written;
    bool writable;
  } programs[] = {
      {"/bin/loader", "/bin/loader", true},
      {"C:\\dir\\", "C:\\dir\\", true},
      {"/a b/loader", "\"/a b/loader\"", true},
      {"", "\"\"", true},
      {"odd\"name", "odd\"name", true},
      {"\"lead", "\"\"lead\"", false},
      {"odd \"name", "\"odd \"name\"", false},
  };
  for (const auto& p : programs) {
    EXPECT_EQ(QuoteWindowsProgramName(p.program), p.written) << p.program;
    EXPECT_EQ(IsWritableProgramName(p.program), p.writable) << p.program;
  }
}

TEST(WindowsCommandLine, SplitsByTheWindowsRules) {
  const struct {
    std::string line;
    Arguments arguments;
  } cases[] = {
      {"", {}},
      {"p", {"p"}},
      {"p  a\tb  ", {"p", "a", "b"}},
      {"\"abc\" d e", {"abc", "d", "e"}},
      {"p a\\\\\\b d\"e f\"g h", {"p", "a\\\\\\b", "de fg", "h"}},
      {"p a\\\\\\\"b c d", {"p", "a\\\"b", "c", "d"}},
      {"p a\\\\\\\\\"b c\" d e", {"p", "a\\\\b c", "d", "e"}},
      {"p \"\" \"\"", {"p", "", ""}},
      {"p \"a\"\"b c\"", {"p", "a\"b c"}},       // "" in a quoted run: a quote, the run goes on
      {"p \"unterminated arg", {"p", "unterminated arg"}},
      {"p a\"b\"c", {"p", "abc"}},
      // The program name: quoted up to the next quote, else up to a blank; no escapes.
      {"\"C:\\Program Files\\x.exe\"rest", {"C:\\Program Files\\x.exe", "rest"}},
      {"\"C:\\unterminated name", {"C:\\unterminated name"}},
      {"C:\\a\\\"b\" c", {"C:\\a\\\"b\"", "c"}},
      {"name\targ", {"name", "arg"}},
      {" leading", {"", "leading"}},
  };
  for (const auto& c : cases) EXPECT_EQ(SplitWindowsCommandLine(c.line), c.arguments) << c.line;
}

TEST(WindowsCommandLine, WrittenArgumentsReadBackUnchanged) {
  const Arguments lists[] = {
      {},
      {""},
      {"", "", ""},
      {"a b", "\tc", "d\t"},
      {"\"", "\"\"", "a\"", "\"a", "\" \""},
      {"\\", "\\\\", "a\\", "a b\\", "a b\\\\", "\\\"", "\\\\\"", "x\\\"y z"},
      {"C:\\Program Files\\App\\", "--opt=\"quoted value\"", "trailing space "},
      {"ä ö", "\x80\xff", "new\nline"},
  };
  const std::string programs[] = {"/usr/bin/loader.exe", "/tmp/with space/loader", "", "odd\"name"};
  for (const std::string& program : programs) {
    for (const Arguments& arguments : lists) {
      std::string line = BuildWindowsCommandLine(program, arguments);
      Arguments expected = arguments;
      expected.insert(expected.begin(), program);
      EXPECT_EQ(SplitWindowsCommandLine(line), expected) << line;
    }
  }
}

TEST(WindowsCommandLine, GetCommandLineNamesTheModuleAndTheRunArguments) {
  ScratchDir directory;
  std::string module = directory.File("my loader.exe");
  WriteFileText(module, std::string(512, 'M'));
  ASSERT_EQ(PosixSetModule(module.c_str()), 0u);
  const char* arguments[] = {"/S", "two words", ""};
  PosixSetArguments(3, arguments);

  std::string line = Host().GetCommandLineA();
  EXPECT_EQ(line, "\"" + module + "\" /S \"two words\" \"\"");

  // The pointer stays valid (and the text the same) for later callers.
  const char* first = Host().GetCommandLineA();
  EXPECT_EQ(Host().GetCommandLineA(), first);

  PosixSetArguments(0, nullptr);
  EXPECT_EQ(std::string(Host().GetCommandLineA()), "\"" + module + "\"");
}
