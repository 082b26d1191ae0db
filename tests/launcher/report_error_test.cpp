#include <gtest/gtest.h>

#include <string>

#include "launcher/report_error.h"
#include "launcher_support.h"
#include "platform/testing.h"

TEST(ReportError, DebuggerOutputThenTheMessageBox) {
  TestingScope scope;
  ReportError("CreateProcess(%s) failed => %u\n", "C:\\t\\s-1A2C.exe", 4294967295u);
  const std::string text = "CreateProcess(C:\\t\\s-1A2C.exe) failed => 4294967295\n";
  EXPECT_EQ((std::vector<std::string>{"OutputDebugStringA(" + text + ")", "MessageBoxA(" + text + ")"}), CallTrace());
  EXPECT_EQ(std::vector<std::string>{text}, Testing().messages);
}

TEST(ReportError, LongMessagesAreCutAtTheFormattersLimit) {
  TestingScope scope;
  const std::string path(2000, 'p');
  ReportError("GetExitCodeProcess(%s) failed => %u\n", path.c_str(), 5u);
  ASSERT_EQ(1u, Testing().messages.size());
  EXPECT_EQ(1023u, Testing().messages[0].size());
  EXPECT_EQ("GetExitCodeProcess(ppp", Testing().messages[0].substr(0, 22));
}

TEST(ReportError, AFailedFormatterShowsTheFormatAsItStands) {
  TestingScope scope;
  Testing().faults = {{Op_wvsprintfA, 1, ERROR_INVALID_PARAMETER}};
  ReportError("GetTempPath() failed => %u\n", 5u);
  const std::string text = "GetTempPath() failed => %u\n";
  EXPECT_EQ((std::vector<std::string>{"OutputDebugStringA(" + text + ")", "MessageBoxA(" + text + ")"}), CallTrace());
  // A format longer than the buffer is cut there, terminated.
  const std::string path(2000, 'p');
  Testing().faults = {{Op_wvsprintfA, 2, ERROR_INVALID_PARAMETER}};
  ReportError((path + " %u\n").c_str(), 5u);
  ASSERT_EQ(2u, Testing().messages.size());
  EXPECT_EQ(path.substr(0, 1023), Testing().messages[1]);
}
