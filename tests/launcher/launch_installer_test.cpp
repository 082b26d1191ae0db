#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstring>

#include <string>
#include <vector>

#include "launcher/command_line.h"
#include "launcher/launch_installer.h"
#include "launcher/loader_main.h"
#include "launcher_support.h"
#include "platform/testing.h"

namespace {

const char* const tempPath = "/tmp/pxq-none/setup-1A2C.exe";
const char* const ownPath = "/tmp/pxq-none/setup.exe";  // no such file: no Arguments, no tag

// LaunchInstaller over a scripted process, with the testing backend on top.
struct Launch {
  ScriptedScope scope;
  Launch() {
    Script().fakeprocess = true;
    Testing().commandline = std::string("\"") + ownPath + "\" /S";
    ExitCode = 12345;
  }
};

std::vector<HANDLE> Both() { return {FAKE_THREAD_HANDLE, FAKE_PROCESS_HANDLE}; }

}  // namespace

TEST(LaunchInstaller, RunsTheInstallerAndTakesItsExitCode) {
  for (uint32_t code : {0u, 1u, 251u, 255u, 0xC0000005u}) {
    Launch launch;
    Script().exitcode = code;
    EXPECT_EQ(0u, LaunchInstaller(tempPath, ownPath));
    EXPECT_EQ(code, ExitCode);
    EXPECT_TRUE(Testing().messages.empty());
    EXPECT_EQ(Both(), Script().closed);
    EXPECT_TRUE(TestingNothingOpen()) << TestingOpenSummary();
  }
}

TEST(LaunchInstaller, CommandLineAndCallOrder) {
  Launch launch;
  Testing().commandline = std::string("  \"") + ownPath + "\"x  a \"b c\"\t ";
  EXPECT_EQ(0u, LaunchInstaller(tempPath, ownPath));
  const std::string line = std::string("\"") + tempPath + "\"   x  a \"b c\"\t  \"" + ownPath + "\"";
  std::vector<std::string> trace = CallTrace(false);
  // The argument sources first (they find nothing here), then the line.
  auto at = std::find(trace.begin(), trace.end(), "GetCommandLineW");
  ASSERT_NE(trace.end(), at);
  EXPECT_EQ((std::vector<std::string>{"GetCommandLineW", "SetEnvironmentVariableA", "CreateProcessW", "MsgWaitForMultipleObjects", "GetExitCodeProcess",
                                      "CloseHandle", "CloseHandle"}),
            std::vector<std::string>(at, trace.end()));
  EXPECT_EQ("GetFileVersionInfoSizeA", trace[0]);
  EXPECT_EQ(std::vector<std::string>{line}, CallsOf(Op_CreateProcessW));
  // The path goes last, so the variable is removed, not set.
  EXPECT_EQ(std::vector<std::string>{"PXQ_LOADER_PATH"}, CallsOf(Op_SetEnvironmentVariableA));
  EXPECT_EQ(std::vector<DWORD>{0x4BFu}, Script().waitmasks);
  EXPECT_TRUE(TestingNothingOpen()) << TestingOpenSummary();
}

// The own arguments reach the installer exactly as the system keeps them
// (in UTF-16 on Windows NT): Greek, Japanese and a character beyond the
// BMP, in quotes and out of them, whatever the ANSI code page holds.
TEST(LaunchInstaller, ArgumentsOutsideTheAnsiCodePagePassExactly) {
  Launch launch;
  const std::string own = "/S \"/D=C:\\Programme \xCE\x95\xCE\xBB\xCE\xBB\xCE\xB7\xCE\xBD\xCE\xB9\xCE\xBA\xCE\xAC "
                          "\xE6\x97\xA5\xE6\x9C\xAC\" \xCE\xBA\xF0\x9F\x98\x80 \"caf\xC3\xA9 x\"";
  Testing().widecommandline = std::string("\"") + ownPath + "\" " + own;
  EXPECT_EQ(0u, LaunchInstaller(tempPath, ownPath));
  EXPECT_EQ(std::vector<std::string>{std::string("\"") + tempPath + "\"   " + own + " \"" + ownPath + "\""},
            CallsOf(Op_CreateProcessW));
  EXPECT_EQ(0u, TestingCount(Op_GetCommandLineA));
  EXPECT_EQ(0u, TestingCount(Op_CreateProcessA));
  EXPECT_TRUE(TestingNothingOpen()) << TestingOpenSummary();
}

// The 95/98/Me family has no wide calls: the line is read and passed in the
// ANSI code page, as it always was.
TEST(LaunchInstaller, WithoutWideCallsTheAnsiCallsCarryTheLine) {
  Launch launch;
  Testing().commandline = std::string("\"") + ownPath + "\" /S caf\xE9";
  LaunchInstaller(tempPath, ownPath, INVALID_HANDLE_VALUE, false);
  EXPECT_EQ(std::vector<std::string>{std::string("\"") + tempPath + "\"   /S caf\xE9 \"" + ownPath + "\""},
            CallsOf(Op_CreateProcessA));
  EXPECT_EQ(0u, TestingCount(Op_GetCommandLineW));
  EXPECT_EQ(0u, TestingCount(Op_CreateProcessW));
  EXPECT_TRUE(TestingNothingOpen()) << TestingOpenSummary();
}

// A version block whose first translation is 0000 04b0, with no Arguments
// value and the given LoaderPath value (none when null).
void ScriptLoaderPath(const char* value) {
  Script().versionsize = [](const char*) -> DWORD { return 64; };
  Script().versionquery = [value](LPCVOID, const char* query, LPVOID* found, PUINT length) -> BOOL {
    static const uint8_t translation[4] = {0x00, 0x00, 0xB0, 0x04};
    if (std::string(query) == "\\VarFileInfo\\Translation") {
      *found = const_cast<uint8_t*>(translation);
      *length = 4;
      return TRUE;
    }
    if (value == nullptr || std::string(query) != "\\StringFileInfo\\000004b0\\LoaderPath") return FALSE;
    *found = const_cast<char*>(value);
    *length = static_cast<UINT>(strlen(value) + 1);
    return TRUE;
  };
}

TEST(LaunchInstaller, TheLoaderPathGoesLastOrIntoTheEnvironment) {
  struct Case {
    const char* value;
    bool environment;
  } cases[] = {{"environment", true}, {"ENVIRONMENT", true}, {nullptr, false}, {"last", false},
               {"environmentx", false}, {"environ", false}, {"", false}};
  // The variable left by an outer loader (it names another file), or not
  // there at all: removing it then fails with ERROR_ENVVAR_NOT_FOUND, which
  // is no failure.
  for (bool outer : {true, false}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.value != nullptr ? c.value : "(no value)") + (outer ? ", outer value" : ", unset"));
      if (outer) {
        setenv("PXQ_LOADER_PATH", "/elsewhere/outer.exe", 1);
      } else {
        unsetenv("PXQ_LOADER_PATH");
      }
      Launch launch;
      ScriptLoaderPath(c.value);
      Script().exitcode = 7;
      EXPECT_EQ(0u, LaunchInstaller(tempPath, ownPath));
      EXPECT_EQ(7u, ExitCode);
      EXPECT_TRUE(Testing().messages.empty());
      const std::string head = std::string("\"") + tempPath + "\"   /S";
      const char* variable = getenv("PXQ_LOADER_PATH");
      if (c.environment) {
        EXPECT_EQ(std::vector<std::string>{head}, CallsOf(Op_CreateProcessW));
        ASSERT_NE(nullptr, variable);
        EXPECT_STREQ(ownPath, variable);
        EXPECT_EQ(std::vector<std::string>{std::string("PXQ_LOADER_PATH=") + ownPath},
                  CallsOf(Op_SetEnvironmentVariableA));
      } else {
        EXPECT_EQ(std::vector<std::string>{head + " \"" + ownPath + "\""}, CallsOf(Op_CreateProcessW));
        EXPECT_EQ(std::vector<std::string>{"PXQ_LOADER_PATH"}, CallsOf(Op_SetEnvironmentVariableA));
        EXPECT_EQ(nullptr, variable);
      }
      EXPECT_TRUE(TestingNothingOpen()) << TestingOpenSummary();
    }
  }
  unsetenv("PXQ_LOADER_PATH");
}

// Where only the exact path names the loader's file, the version block and
// the tag are read through it, and the installer gets it as it is, in either
// place.
TEST(LaunchInstaller, TheExactOwnPathIsReadThroughAndHandedOn) {
  const std::string exact = "/tmp/pxq-none/\xC5\x81\xC3\xB3" "d\xC5\xBA-\xE6\x97\xA5\xE6\x9C\xAC/setup.exe";
  const std::u16string wide = u"/tmp/pxq-none/\u0141\u00F3d\u017A-\u65E5\u672C/setup.exe";
  const char* const lossy = "/tmp/pxq-none/L?dz-?" "?/setup.exe";
  for (bool environment : {false, true}) {
    SCOPED_TRACE(environment ? "environment" : "last");
    unsetenv("PXQ_LOADER_PATH");
    Launch launch;
    ScriptLoaderPath(environment ? "environment" : nullptr);
    EXPECT_EQ(0u, LaunchInstaller(tempPath, lossy, INVALID_HANDLE_VALUE, true,
                                  reinterpret_cast<const WCHAR*>(wide.c_str())));
    EXPECT_EQ(std::vector<std::string>{exact}, CallsOf(Op_GetFileVersionInfoSizeW));
    EXPECT_EQ(std::vector<std::string>{exact}, CallsOf(Op_CreateFileW));
    EXPECT_EQ(0u, TestingCount(Op_GetFileVersionInfoSizeA));
    EXPECT_EQ(0u, TestingCount(Op_CreateFileA));
    const std::string head = std::string("\"") + tempPath + "\"   /S";
    if (environment) {
      EXPECT_EQ(std::vector<std::string>{head}, CallsOf(Op_CreateProcessW));
      EXPECT_EQ(std::vector<std::string>{"PXQ_LOADER_PATH=" + exact}, CallsOf(Op_SetEnvironmentVariableW));
      EXPECT_EQ(0u, TestingCount(Op_SetEnvironmentVariableA));
      const char* variable = getenv("PXQ_LOADER_PATH");
      ASSERT_NE(nullptr, variable);
      EXPECT_EQ(exact, variable);  // the host keeps what its code page cannot hold in UTF-8
    } else {
      EXPECT_EQ(std::vector<std::string>{head + " \"" + exact + "\""}, CallsOf(Op_CreateProcessW));
      EXPECT_EQ(std::vector<std::string>{"PXQ_LOADER_PATH"}, CallsOf(Op_SetEnvironmentVariableA));
      EXPECT_EQ(0u, TestingCount(Op_SetEnvironmentVariableW));
    }
    EXPECT_TRUE(TestingNothingOpen()) << TestingOpenSummary();
  }
  unsetenv("PXQ_LOADER_PATH");
}

TEST(LaunchInstaller, AVariableThatCannotBeSetStartsNothing) {
  Launch launch;
  ScriptLoaderPath("environment");
  Testing().faults = {{Op_SetEnvironmentVariableA, 1, ERROR_NOT_ENOUGH_MEMORY}};
  EXPECT_EQ(static_cast<uint32_t>(ERROR_NOT_ENOUGH_MEMORY), LaunchInstaller(tempPath, ownPath));
  EXPECT_EQ(252u, ExitCode);
  EXPECT_EQ(std::vector<std::string>{"SetEnvironmentVariable() failed => 8\n"}, Testing().messages);
  EXPECT_EQ(0u, TestingCount(Op_CreateProcessW));
  EXPECT_TRUE(TestingNothingOpen()) << TestingOpenSummary();
}

TEST(LaunchInstaller, OnlyTheProgramNameGivesFourSpaces) {
  Launch launch;
  Testing().commandline = std::string("\"") + ownPath + "\"";
  EXPECT_EQ(0u, LaunchInstaller(tempPath, ownPath));
  EXPECT_EQ(std::vector<std::string>{std::string("\"") + tempPath + "\"    \"" + ownPath + "\""},
            CallsOf(Op_CreateProcessW));
}

TEST(LaunchInstaller, InputDuringTheWaitEmptiesTheQueueAndTheWaitGoesOn) {
  Launch launch;
  Script().waits = {WAIT_OBJECT_0 + 1, WAIT_OBJECT_0 + 1, WAIT_OBJECT_0 + 1, WAIT_OBJECT_0};
  Script().messages = {3, 0, 2};  // WM_QUIT among them, dispatched like any other
  Script().exitcode = 7;
  EXPECT_EQ(0u, LaunchInstaller(tempPath, ownPath));
  EXPECT_EQ(7u, ExitCode);
  EXPECT_EQ(4u, TestingCount(Op_MsgWaitForMultipleObjects));
  EXPECT_EQ(5u, Script().translated);
  EXPECT_EQ(5u, Script().dispatched);
  // Each wake ends with the one PeekMessageA that finds nothing.
  EXPECT_EQ(5u + 3u, TestingCount(Op_PeekMessageA));
  EXPECT_EQ(Both(), Script().closed);
}

TEST(LaunchInstaller, FailuresSetTheirCodesAndReleaseEverything) {
  struct Case {
    const char* name;
    void (*arrange)();
    uint32_t result;
    uint32_t exitcode;
    std::string message;
    std::vector<HANDLE> closed;
  } cases[] = {
      {"CreateProcessW fails", [] { Testing().faults = {{Op_CreateProcessW, 1, ERROR_BAD_EXE_FORMAT}}; },
       ERROR_BAD_EXE_FORMAT, 252, std::string("CreateProcess(") + tempPath + ") failed => 193\n", {}},
      {"the wait fails", [] { Script().waits = {WAIT_FAILED}; }, ERROR_INVALID_HANDLE, 251,
       std::string("MsgWaitForMultipleObjects(") + tempPath + ") failed 4294967295 => 6\n", Both()},
      {"the wait gives another value", [] { Script().waits = {WAIT_OBJECT_0 + 1, 0x80}; }, 0, 251,
       std::string("MsgWaitForMultipleObjects(") + tempPath + ") failed 128 => 0\n", Both()},
      {"GetExitCodeProcess fails", [] { Testing().faults = {{Op_GetExitCodeProcess, 1, ERROR_ACCESS_DENIED}}; },
       ERROR_ACCESS_DENIED, 251, std::string("GetExitCodeProcess(") + tempPath + ") failed => 5\n", Both()},
      // The pieces in UTF-16 (temporary path, Arguments, tag, own path),
      // then the line: 62 characters and the terminator.
      {"no memory for the command line", [] { Testing().faults = {{Op_GlobalAlloc, 5, ERROR_NOT_ENOUGH_MEMORY}}; },
       ERROR_NOT_ENOUGH_MEMORY, 252, "GlobalAlloc(124) failed => 8\n", {}},
      // A path that cannot be had in UTF-16 leaves no line to start (the
      // size said is the line's without that path).
      {"no memory for the temporary path", [] { Testing().faults = {{Op_GlobalAlloc, 1, ERROR_NOT_ENOUGH_MEMORY}}; },
       ERROR_NOT_ENOUGH_MEMORY, 252, "GlobalAlloc(68) failed => 8\n", {}},
      {"no memory for the own path", [] { Testing().faults = {{Op_GlobalAlloc, 4, ERROR_NOT_ENOUGH_MEMORY}}; },
       ERROR_NOT_ENOUGH_MEMORY, 252, "GlobalAlloc(78) failed => 8\n", {}},
  };
  for (const Case& c : cases) {
    Launch launch;
    c.arrange();
    EXPECT_EQ(c.result, LaunchInstaller(tempPath, ownPath)) << c.name;
    EXPECT_EQ(c.exitcode, ExitCode) << c.name;
    EXPECT_EQ(std::vector<std::string>{c.message}, Testing().messages) << c.name;
    EXPECT_EQ(c.closed, Script().closed) << c.name;
    EXPECT_TRUE(TestingNothingOpen()) << c.name << ": " << TestingOpenSummary();
  }
}

TEST(LaunchInstaller, EmptyTextsStandInWhenEvenOneByteIsMissing) {
  Launch launch;
  // The UTF-16 forms of the absent Arguments and tag texts.
  Testing().faults = {{Op_GlobalAlloc, 2, ERROR_NOT_ENOUGH_MEMORY}, {Op_GlobalAlloc, 3, ERROR_NOT_ENOUGH_MEMORY}};
  EXPECT_EQ(0u, LaunchInstaller(tempPath, ownPath));
  EXPECT_EQ(std::vector<std::string>{std::string("\"") + tempPath + "\"   /S \"" + ownPath + "\""},
            CallsOf(Op_CreateProcessW));
  EXPECT_TRUE(TestingNothingOpen()) << TestingOpenSummary();
}

TEST(LaunchInstaller, TheWholeLineOrNothing) {
  // The longest line CreateProcessW takes is passed whole; one byte more and
  // nothing is started.
  const size_t fixed = 8 + strlen(tempPath) + strlen(ownPath);
  for (size_t extra : {0u, 1u}) {
    Launch launch;
    std::string own(COMMAND_LINE_LIMIT - 1 - fixed + extra, 'a');
    Testing().commandline = std::string("\"") + ownPath + "\" " + own;
    uint32_t result = LaunchInstaller(tempPath, ownPath);
    if (extra == 0) {
      EXPECT_EQ(0u, result);
      ASSERT_EQ(1u, CallsOf(Op_CreateProcessW).size());
      EXPECT_EQ(COMMAND_LINE_LIMIT - 1, CallsOf(Op_CreateProcessW)[0].size());
      EXPECT_EQ("\"" + std::string(ownPath) + "\"",
                CallsOf(Op_CreateProcessW)[0].substr(COMMAND_LINE_LIMIT - 1 - strlen(ownPath) - 2));
    } else {
      EXPECT_EQ(ERROR_FILENAME_EXCED_RANGE, result);
      EXPECT_EQ(252u, ExitCode);
      EXPECT_EQ(std::vector<std::string>{std::string("CreateProcess(") + tempPath +
                                         ") failed: the command line is 32767 characters long, more than 32766\n"},
                Testing().messages);
      EXPECT_EQ(0u, TestingCount(Op_CreateProcessW));
    }
    EXPECT_TRUE(TestingNothingOpen()) << TestingOpenSummary();
  }
}
