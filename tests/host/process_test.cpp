#include <errno.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "host_support.h"
#include "platform/windows_command_line.h"
#include "support/file_bytes.h"
#include "support/scratch_dir.h"

// The child: /bin/sh running this script, so that its own argv (argv[0]
// included) can be read from /proc. First argument: an exit code, "signal"
// (ends itself with SIGTERM) or "hold" (waits until the file "go" exists).
static const char* childScript = R"(#!/bin/sh
dir=$(dirname "$0")
cat /proc/$$/cmdline > "$dir/argv"
pwd > "$dir/cwd"
printf '%s' "$PXQ_HOST_TEST_VALUE" > "$dir/env"
case "$1" in
  signal) kill -TERM $$ ;;
  hold) while [ ! -e "$dir/go" ]; do sleep 0.01; done; exit 3 ;;
esac
exit "$1"
)";

// Writes a file with the given permission bits: whether the child can be
// run depends on them, not on the umask.
static void WriteWithMode(const std::string& path, const std::string& text, mode_t mode) {
  WriteFileText(path, text);
  ASSERT_EQ(chmod(path.c_str(), mode), 0) << path;
}

struct Child {
  PROCESS_INFORMATION info = {};
  bool started = false;
  DWORD error = 0;
};

static Child Start(const char* application, std::string commandLine, LPVOID environment = nullptr,
                   const char* directory = nullptr) {
  Child child;
  STARTUPINFOA startup = {};
  startup.cb = PXQ_STARTUPINFOA_SIZE;
  child.started = Host().CreateProcessA(application, &commandLine[0], nullptr, nullptr, FALSE, 0, environment,
                                        directory, &startup, &child.info) != FALSE;
  if (!child.started) child.error = Host().GetLastError();
  return child;
}

// Waits for the child and gives its exit code, closing both handles.
static DWORD Finish(Child& child) {
  EXPECT_EQ(Host().MsgWaitForMultipleObjects(1, &child.info.hProcess, FALSE, INFINITE, QS_ALLEVENTS), WAIT_OBJECT_0);
  DWORD code = 0xDEAD;
  EXPECT_TRUE(Host().GetExitCodeProcess(child.info.hProcess, &code));
  EXPECT_TRUE(Host().CloseHandle(child.info.hThread));
  EXPECT_TRUE(Host().CloseHandle(child.info.hProcess));
  return code;
}

struct ProcessTest : ::testing::Test {
  void SetUp() override {
    script = directory.File("child.sh");
    WriteWithMode(script, childScript, 0755);
  }
  // The command line for running the script itself (through its "#!" line).
  std::string Line(const std::vector<std::string>& arguments) { return BuildWindowsCommandLine("argv zero", arguments); }
  ScratchDir directory;
  std::string script;
};

TEST_F(ProcessTest, TheChildGetsTheArgumentsAsTheLineSplits) {
  const std::vector<std::string> arguments = {"0", "two words", "", "a\"quote", "trailing\\", "tab\there"};
  std::vector<std::string> withScript = arguments;
  withScript.insert(withScript.begin(), script);
  Child child = Start("/bin/sh", Line(withScript));
  ASSERT_TRUE(child.started) << child.error;
  EXPECT_GT(child.info.dwProcessId, 0u);
  EXPECT_EQ(Finish(child), 0u);
  std::string expected = std::string("argv zero") + '\0' + script + '\0';
  for (const std::string& argument : arguments) expected += argument + '\0';
  EXPECT_EQ(ReadFileText(directory.File("argv")), expected);
}

TEST_F(ProcessTest, ExitCodes) {
  const struct {
    const char* argument;
    DWORD code;
  } cases[] = {{"0", 0}, {"7", 7}, {"255", 255}, {"signal", 128 + 15}};
  for (const auto& c : cases) {
    Child child = Start(script.c_str(), Line({c.argument}));
    ASSERT_TRUE(child.started) << child.error;
    EXPECT_EQ(Finish(child), c.code) << c.argument;
  }
}

TEST_F(ProcessTest, StillActiveUntilItEnds) {
  Child child = Start(script.c_str(), Line({"hold"}));
  ASSERT_TRUE(child.started) << child.error;
  DWORD code = 0;
  EXPECT_TRUE(Host().GetExitCodeProcess(child.info.hProcess, &code));
  EXPECT_EQ(code, STILL_ACTIVE);
  EXPECT_EQ(Host().MsgWaitForMultipleObjects(1, &child.info.hProcess, FALSE, 0, QS_ALLEVENTS), WAIT_TIMEOUT);
  EXPECT_EQ(Host().MsgWaitForMultipleObjects(1, &child.info.hProcess, FALSE, 30, QS_ALLEVENTS), WAIT_TIMEOUT);
  MSG message;
  EXPECT_FALSE(Host().PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE));
  WriteFileText(directory.File("go"), "");
  EXPECT_EQ(Finish(child), 3u);
}

TEST_F(ProcessTest, EnvironmentAndDirectory) {
  // Inherited when not given.
  ASSERT_EQ(setenv("PXQ_HOST_TEST_VALUE", "inherited value", 1), 0);
  Child child = Start(script.c_str(), Line({"0"}));
  unsetenv("PXQ_HOST_TEST_VALUE");
  ASSERT_TRUE(child.started) << child.error;
  EXPECT_EQ(Finish(child), 0u);
  EXPECT_EQ(ReadFileText(directory.File("env")), "inherited value");
  char here[4096];
  ASSERT_NE(getcwd(here, sizeof here), nullptr);
  EXPECT_EQ(ReadFileText(directory.File("cwd")), std::string(here) + "\n");

  // Given: a Windows environment block, and a directory.
  const char block[] = "PXQ_HOST_TEST_VALUE=from the block\0PATH=/usr/bin:/bin\0";
  child = Start(script.c_str(), Line({"0"}), const_cast<char*>(block), directory.path.c_str());
  ASSERT_TRUE(child.started) << child.error;
  EXPECT_EQ(Finish(child), 0u);
  EXPECT_EQ(ReadFileText(directory.File("env")), "from the block");
  char* real = realpath(directory.path.c_str(), nullptr);
  EXPECT_EQ(ReadFileText(directory.File("cwd")), std::string(real) + "\n");
  free(real);
}

TEST_F(ProcessTest, FailuresAreReportedByCreateProcess) {
  WriteWithMode(directory.File("empty.exe"), "", 0755);
  WriteWithMode(directory.File("plain.sh"), childScript, 0644);
  const struct {
    std::string application;
    const char* directory;
    DWORD error;
  } cases[] = {
      {directory.File("missing.exe"), nullptr, ERROR_FILE_NOT_FOUND},
      {directory.File("empty.exe"), nullptr, ERROR_BAD_EXE_FORMAT},
      {directory.File("plain.sh"), nullptr, ERROR_ACCESS_DENIED},
      {directory.path, nullptr, ERROR_ACCESS_DENIED},
      {script, "/no/such/directory", 267},  // ERROR_DIRECTORY
  };
  for (const auto& c : cases) {
    Child child = Start(c.application.c_str(), Line({"0"}), nullptr, c.directory);
    EXPECT_FALSE(child.started) << c.application;
    EXPECT_EQ(child.error, c.error) << c.application;
    EXPECT_EQ(child.info.hProcess, nullptr);
    EXPECT_EQ(child.info.hThread, nullptr);
  }
}

TEST(ProcessHandles, BadHandlesAndUnsupportedWaits) {
  HANDLE bogus = reinterpret_cast<HANDLE>(0x1234);
  DWORD code = 0;
  EXPECT_FALSE(Host().GetExitCodeProcess(bogus, &code));
  EXPECT_EQ(Host().GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(Host().MsgWaitForMultipleObjects(1, &bogus, FALSE, INFINITE, QS_ALLEVENTS), WAIT_FAILED);
  EXPECT_EQ(Host().GetLastError(), ERROR_INVALID_HANDLE);

  STARTUPINFOA startup = {};
  PROCESS_INFORMATION info = {};
  char line[] = "true";
  ASSERT_TRUE(Host().CreateProcessA("/bin/true", line, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info));
  // The thread handle is no process handle.
  EXPECT_EQ(Host().MsgWaitForMultipleObjects(1, &info.hThread, FALSE, INFINITE, QS_ALLEVENTS), WAIT_FAILED);
  EXPECT_EQ(Host().GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(Host().MsgWaitForMultipleObjects(1, &info.hProcess, TRUE, INFINITE, QS_ALLEVENTS), WAIT_FAILED);
  EXPECT_EQ(Host().GetLastError(), ERROR_NOT_SUPPORTED);
  EXPECT_EQ(Host().MsgWaitForMultipleObjects(1, &info.hProcess, FALSE, INFINITE, QS_ALLEVENTS), WAIT_OBJECT_0);
  // Once ended, the exit code stays available, and waits return at once.
  EXPECT_EQ(Host().MsgWaitForMultipleObjects(1, &info.hProcess, FALSE, 0, QS_ALLEVENTS), WAIT_OBJECT_0);
  EXPECT_TRUE(Host().GetExitCodeProcess(info.hProcess, &code));
  EXPECT_EQ(code, 0u);
  EXPECT_TRUE(Host().CloseHandle(info.hThread));
  EXPECT_TRUE(Host().CloseHandle(info.hProcess));
  EXPECT_FALSE(Host().GetExitCodeProcess(info.hProcess, &code));
  EXPECT_EQ(Host().GetLastError(), ERROR_INVALID_HANDLE);
}

// A child that has ended but was never waited for is collected when its
// process handle is closed, not left behind as a zombie.
TEST(ProcessHandles, ClosingAnEndedChildCollectsIt) {
  STARTUPINFOA startup = {};
  PROCESS_INFORMATION info = {};
  char line[] = "true";
  ASSERT_TRUE(Host().CreateProcessA("/bin/true", line, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info));
  const pid_t pid = static_cast<pid_t>(info.dwProcessId);
  // Ended: waitid with WNOWAIT sees it without collecting it.
  siginfo_t ended = {};
  ASSERT_EQ(waitid(P_PID, static_cast<id_t>(pid), &ended, WEXITED | WNOWAIT), 0);
  EXPECT_TRUE(Host().CloseHandle(info.hThread));
  EXPECT_TRUE(Host().CloseHandle(info.hProcess));
  errno = 0;
  EXPECT_EQ(waitpid(pid, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
}

// A variable set in the own environment reaches a child started without a
// block of its own; a removed one does not, and removing it twice succeeds.
TEST_F(ProcessTest, TheChildInheritsTheOwnEnvironment) {
  ASSERT_TRUE(Host().SetEnvironmentVariableA("PXQ_HOST_TEST_VALUE", "C:\\setup dir\\setup.exe"));
  Child child = Start(script.c_str(), Line({"0"}));
  ASSERT_TRUE(child.started) << child.error;
  EXPECT_EQ(Finish(child), 0u);
  EXPECT_EQ(ReadFileText(directory.File("env")), "C:\\setup dir\\setup.exe");

  EXPECT_TRUE(Host().SetEnvironmentVariableA("PXQ_HOST_TEST_VALUE", nullptr));
  EXPECT_TRUE(Host().SetEnvironmentVariableA("PXQ_HOST_TEST_VALUE", nullptr));
  child = Start(script.c_str(), Line({"0"}));
  ASSERT_TRUE(child.started) << child.error;
  EXPECT_EQ(Finish(child), 0u);
  EXPECT_EQ(ReadFileText(directory.File("env")), "");

  for (const char* name : {"", "A=B"}) {
    EXPECT_FALSE(Host().SetEnvironmentVariableA(name, "x")) << name;
    EXPECT_EQ(Host().GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << name;
  }
}
