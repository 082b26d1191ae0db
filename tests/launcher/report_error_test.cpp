#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "launcher/loader_main.h"
#include "launcher/report_error.h"
#include "launcher_support.h"
#include "platform/testing.h"

TEST(ReportError, DebuggerOutputThenTheMessageBox) {
  TestingScope scope;
  Testing().modulepath = "";  // the own file cannot be named
  ReportError("CreateProcess(%s) failed => %u\n", "C:\\t\\s-1A2C.exe", 4294967295u);
  const std::string text = "CreateProcess(C:\\t\\s-1A2C.exe) failed => 4294967295\n";
  // The box only after the station was found visible and the own file was
  // not packed silent (here it cannot be named).
  EXPECT_EQ((std::vector<std::string>{"OutputDebugStringA(" + text + ")", "GetProcessWindowStation",
                                      "GetUserObjectInformationA(1)", "GetModuleFileNameA(260)",
                                      "MessageBoxA(" + text + ")"}),
            CallTrace());
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
  EXPECT_EQ(std::vector<std::string>{text}, CallsOf(Op_OutputDebugStringA));
  EXPECT_EQ(std::vector<std::string>{text}, CallsOf(Op_MessageBoxA));
  // A format longer than the buffer is cut there, terminated.
  const std::string path(2000, 'p');
  Testing().faults = {{Op_wvsprintfA, 2, ERROR_INVALID_PARAMETER}};
  ReportError((path + " %u\n").c_str(), 5u);
  ASSERT_EQ(2u, Testing().messages.size());
  EXPECT_EQ(path.substr(0, 1023), Testing().messages[1]);
}

namespace {

// A version block whose first translation is 0000 04b0, with the given
// "Errors" value (none when null).
void ScriptErrorsValue(const char* value) {
  Script().versionsize = [](const char*) -> DWORD { return 64; };
  Script().versionquery = [value](LPCVOID, const char* query, LPVOID* found, PUINT length) -> BOOL {
    static const uint8_t translation[4] = {0x00, 0x00, 0xB0, 0x04};
    if (std::string(query) == "\\VarFileInfo\\Translation") {
      *found = const_cast<uint8_t*>(translation);
      *length = 4;
      return TRUE;
    }
    if (value == nullptr || std::string(query) != "\\StringFileInfo\\000004b0\\Errors") return FALSE;
    *found = const_cast<char*>(value);
    *length = static_cast<UINT>(strlen(value) + 1);
    return TRUE;
  };
}

}  // namespace

// A box waits for a click: none where no one can see it (a service, a
// hidden window station) or where the loader file was packed silent. The
// debugger output is written either way.
TEST(ReportError, NoBoxWhereNoOneSeesItOrWhenPackedSilent) {
  struct Case {
    const char* name;
    DWORD flags;             // the window station's
    DWORD stationerror;      // GetProcessWindowStation fails with it (0: no failure)
    const char* errors;      // the "Errors" value, null for none
    bool box;
  } cases[] = {
      {"visible, no value", WSF_VISIBLE, 0, nullptr, true},
      {"visible, box", WSF_VISIBLE, 0, "box", true},
      {"visible, another text", WSF_VISIBLE, 0, "silently", true},
      {"visible, silent", WSF_VISIBLE, 0, "silent", false},
      {"visible, SILENT", WSF_VISIBLE, 0, "SILENT", false},
      {"hidden station", 0, 0, nullptr, false},
      {"hidden station, box", 0x0100, 0, "box", false},
      // The 95/98/Me family has no window stations: as before, unless silent.
      {"no window station", 0, ERROR_CALL_NOT_IMPLEMENTED, nullptr, true},
      {"no window station, silent", 0, ERROR_CALL_NOT_IMPLEMENTED, "silent", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedScope scope;
    Testing().modulepath = "/tmp/pxq-none/setup.exe";
    Testing().windowstationflags = c.flags;
    if (c.stationerror != 0) Testing().faults = {{Op_GetProcessWindowStation, 1, c.stationerror}};
    ScriptErrorsValue(c.errors);
    ReportError("No installer available for the current platform\n");
    EXPECT_EQ(std::vector<std::string>{"No installer available for the current platform\n"},
              CallsOf(Op_OutputDebugStringA));
    EXPECT_EQ(c.box ? 1u : 0u, TestingCount(Op_MessageBoxA));
    EXPECT_TRUE(TestingNothingOpen()) << TestingOpenSummary();
  }
}

// A failing query of the station (of a hidden one, here), or an own file
// that cannot be named or read (packed silent, here), keeps the box: the
// default is what it was.
TEST(ReportError, WhatCannotBeAskedKeepsTheBox) {
  for (PlatformOp op : {Op_GetUserObjectInformationA, Op_GetModuleFileNameA, Op_GetFileVersionInfoA}) {
    SCOPED_TRACE(OpName(op));
    ScriptedScope scope;
    Testing().modulepath = "/tmp/pxq-none/setup.exe";
    const bool station = op == Op_GetUserObjectInformationA;
    Testing().windowstationflags = station ? 0 : WSF_VISIBLE;
    ScriptErrorsValue(station ? nullptr : "silent");
    Testing().faults = {{op, 1, ERROR_ACCESS_DENIED}};
    ReportError("GetTempPath() failed => %u\n", 5u);
    EXPECT_EQ(1u, TestingCount(Op_MessageBoxA));
    EXPECT_TRUE(TestingNothingOpen()) << TestingOpenSummary();
  }
}

// A loader whose own file only its exact path names (no short form that the
// ANSI code page holds) is asked through that path whether it was packed
// silent; the lossy ANSI path would find no file, and so a box.
TEST(ReportError, TheExactOwnPathTellsWhetherToBeSilent) {
  static const std::u16string exact = u"/tmp/pxq-none/\u65E5\u672C/setup.exe";
  for (bool known : {false, true}) {
    SCOPED_TRACE(known ? "exact path known" : "ANSI path only");
    ScriptedScope scope;
    Testing().modulepath = "/tmp/pxq-none/?" "?/setup.exe";
    Testing().windowstationflags = WSF_VISIBLE;
    ScriptErrorsValue("silent");
    Script().versionsize = [](const char* path) -> DWORD {
      return std::string(path) == "/tmp/pxq-none/\xE6\x97\xA5\xE6\x9C\xAC/setup.exe" ? 64 : 0;
    };
    ExactOwnPath = known ? reinterpret_cast<const WCHAR*>(exact.c_str()) : nullptr;
    ReportError("Extraction of the installer failed => %u\n", 2u);
    ExactOwnPath = nullptr;
    EXPECT_EQ(known ? 0u : 1u, TestingCount(Op_MessageBoxA));
    EXPECT_EQ(known ? 1u : 0u, TestingCount(Op_GetFileVersionInfoSizeW));
    EXPECT_TRUE(TestingNothingOpen()) << TestingOpenSummary();
  }
}
