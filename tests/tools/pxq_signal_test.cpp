// Real signals to a real pxq: an interrupted pack leaves nothing behind, and
// `pxq run` passes the signal on to the installer, waits for it, removes
// the copy and ends by the signal.
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <functional>

#include <gtest/gtest.h>

#include "support/data_fixture.h"
#include "support/file_bytes.h"
#include "support/package_fixture.h"
#include "support/scratch_dir.h"
#include "tools_support.h"

namespace {

// Polls `ready` for up to 20 s; false when it never held.
bool WaitFor(const std::function<bool()>& ready) {
  for (int i = 0; i < 2000; ++i) {
    if (ready()) return true;
    struct timespec pause = {0, 10 * 1000 * 1000};
    nanosleep(&pause, nullptr);
  }
  return false;
}

struct Signal {
  int number;
  const char* name;
} const kSignals[] = {{SIGINT, "INT"}, {SIGTERM, "TERM"}, {SIGHUP, "HUP"}};

TEST(PxqSignal, InterruptedPackLeavesNoFileBehind) {
  ScratchDir dir;
  WriteFileBytes(dir.File("stub.exe"), TestStub());
  // Random bytes at the highest effort: seconds of work, so the signal
  // comes while the output is being staged.
  ASSERT_EQ(0, RunShell("head -c 12000000 /dev/urandom > " + ShellQuote(dir.File("big.bin"))).status);
  WriteFileText(dir.File("setup.exe"), "the old loader file\n");
  for (const auto& signal : kSignals) {
    std::vector<std::string> before = DirectoryNames(dir.path);
    pid_t pid = StartPxqProcess(PxqPath(), {"pack", "-o", dir.File("setup.exe"), "--stub", dir.File("stub.exe"), "--generic",
                          dir.File("big.bin"), "--preset", "9e"});
    ASSERT_GT(pid, 0);
    // The staged file appears beside the output.
    bool staged = WaitFor([&] { return DirectoryNames(dir.path).size() > before.size(); });
    EXPECT_TRUE(staged) << signal.name;
    kill(pid, signal.number);
    int status = 0;
    ASSERT_EQ(pid, waitpid(pid, &status, 0));
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal.number) << signal.name << " status " << status;
    EXPECT_EQ(before, DirectoryNames(dir.path)) << signal.name;
    EXPECT_EQ("the old loader file\n", ReadFileText(dir.File("setup.exe"))) << signal.name;
  }
}

TEST(PxqSignal, RunPassesTheSignalToTheInstallerAndRemovesTheCopy) {
  ScratchDir dir;
  std::string temporary = dir.File("tmp");
  ASSERT_EQ(0, mkdir(temporary.c_str(), 0700));
  WriteFileBytes(dir.File("stub.exe"), TestStub());
  // Writes its pid when ready, then waits; a signal is noted in $MARK and ends it
  // with 3, so pxq's own end tells whether pxq passed it on.
  WriteFileText(dir.File("installer.sh"),
                "#!/bin/sh\n"
                "trap 'echo INT > \"$MARK\"; exit 3' INT\n"
                "trap 'echo TERM > \"$MARK\"; exit 3' TERM\n"
                "trap 'echo HUP > \"$MARK\"; exit 3' HUP\n"
                "echo $$ > \"$READY\"\n"
                "while :; do sleep 0.05; done\n");
  std::string setup = dir.File("setup.exe");
  CommandResult pack =
      RunPxq({"pack", "-o", setup, "--stub", dir.File("stub.exe"), "--generic", dir.File("installer.sh")});
  ASSERT_EQ(0, pack.status) << pack.err;

  for (const auto& signal : kSignals) {
    std::string mark = dir.File(std::string("mark-") + signal.name), ready = dir.File("ready");
    std::remove(ready.c_str());
    pid_t pid = StartPxqProcess(PxqPath(), {"run", setup}, {"TMPDIR=" + temporary, "MARK=" + mark, "READY=" + ready});
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(WaitFor([&] { return FileExists(ready); })) << signal.name;
    EXPECT_EQ(1u, DirectoryNames(temporary).size()) << "the installer runs from its copy";
    kill(pid, signal.number);
    int status = 0;
    ASSERT_EQ(pid, waitpid(pid, &status, 0));
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal.number) << signal.name << " status " << status;
    EXPECT_EQ(std::string(signal.name) + "\n", ReadFileText(mark)) << "the installer was not given the signal";
    EXPECT_TRUE(DirectoryNames(temporary).empty()) << signal.name << ": the copy was left behind";
    // An installer that was not given the signal would run on, orphaned.
    pid_t installer = static_cast<pid_t>(atoi(ReadFileText(ready).c_str()));
    if (installer > 0 && kill(installer, SIGKILL) == 0) ADD_FAILURE() << "the installer was left running";
  }
}

}  // namespace
