// pxq run: a loader file run on this host by the loader's own code, with a
// shell script as the installer.
#include <gtest/gtest.h>

#include "package/records.h"
#include "support/file_bytes.h"
#include "support/package_fixture.h"
#include "support/scratch_dir.h"
#include "tools_support.h"

namespace {

// Runs `pxq run` with TMPDIR pointing at `temporary`, where the loader puts
// its copy of the installer, and `environment` ("NAME=value ...") added.
CommandResult RunLoaderFile(const std::string& temporary, const std::string& file,
                            const std::vector<std::string>& arguments, const std::string& environment = "") {
  std::string line = environment + " TMPDIR=" + ShellQuote(temporary) + " " + ShellQuote(PxqPath()) + " run " +
                     ShellQuote(file);
  for (const auto& argument : arguments) line += " " + ShellQuote(argument);
  return RunShell(line);
}

TEST(PxqRun, RunsTheInstallerAndExitsWithItsCode) {
  ScratchDir dir;
  std::string temporary = dir.File("tmp");
  ASSERT_EQ(0, RunShell("mkdir " + ShellQuote(temporary)).status);
  WriteFileBytes(dir.File("stub.exe"), TestStub());
  // Prints each argument in brackets, then exits with the code in $EXIT_WITH
  // or ends itself with the signal in $KILL_WITH.
  WriteFileText(dir.File("installer.sh"),
                "#!/bin/sh\n"
                "for a in \"$@\"; do echo \"[$a]\"; done\n"
                "[ -n \"$KILL_WITH\" ] && kill -s \"$KILL_WITH\" $$\n"
                "exit \"${EXIT_WITH:-0}\"\n");
  WriteFileText(dir.File("other.sh"), "#!/bin/sh\necho wrong build\n");
  std::string setup = dir.File("setup.exe");
  // The generic build runs whatever class the host is given.
  CommandResult pack = RunPxq({"pack", "-o", setup, "--stub", dir.File("stub.exe"), "--generic",
                               dir.File("installer.sh"), "--entry", "0x2=" + dir.File("other.sh")});
  ASSERT_EQ(0, pack.status) << pack.err;

  struct Case {
    std::string environment;
    std::vector<std::string> arguments;
    int status;
    std::string out;
  } cases[] = {
      {"EXIT_WITH=7", {"a b", "", "c\"d"}, 7, "[a b]\n[]\n[c\"d]\n[" + setup + "]\n"},
      {"EXIT_WITH=0", {}, 0, "[" + setup + "]\n"},
      {"KILL_WITH=TERM", {"x"}, 128 + 15, "[x]\n[" + setup + "]\n"},
  };
  for (const auto& c : cases) {
    CommandResult run = RunLoaderFile(temporary, setup, c.arguments, c.environment);
    EXPECT_EQ(c.status, run.status) << c.environment << "\n" << run.err;
    EXPECT_EQ(c.out, run.out) << c.environment;
    EXPECT_TRUE(DirectoryNames(temporary).empty()) << "the installer's copy was left behind";
  }
  // -q and -v before FILE are pxq's; after it, the installer's.
  CommandResult quiet = RunShell("EXIT_WITH=3 TMPDIR=" + ShellQuote(temporary) + " " + ShellQuote(PxqPath()) +
                                 " run -q -v " + ShellQuote(setup) + " -q");
  EXPECT_EQ(3, quiet.status) << quiet.err;
  EXPECT_EQ("[-q]\n[" + setup + "]\n", quiet.out);
}

TEST(PxqRun, LoaderFailuresGiveTheirExitCodes) {
  ScratchDir dir;
  std::string temporary = dir.File("tmp");
  ASSERT_EQ(0, RunShell("mkdir " + ShellQuote(temporary)).status);
  WriteFileBytes(dir.File("stub.exe"), TestStub());
  WriteFileText(dir.File("installer.sh"), "#!/bin/sh\necho ran\n");
  // Only an entry of another id: no build is announced.
  ASSERT_EQ(0, RunPxq({"pack", "-o", dir.File("none.exe"), "--stub", dir.File("stub.exe"), "--entry",
                       "5=" + dir.File("installer.sh")})
                   .status);
  // The generic build announced but missing from the archive.
  std::vector<uint8_t> missing = ReadFileBytes(dir.File("none.exe"));
  missing[0x28] = 0x01;
  WriteFileBytes(dir.File("missing.exe"), missing);
  std::vector<uint8_t> unstamped = TestStub();
  WriteFileBytes(dir.File("unstamped.exe"), unstamped);
  // A build for Windows: no program on this host.
  WriteFileBytes(dir.File("windows.exe"), TestStub());
  ASSERT_EQ(0, RunPxq({"pack", "-o", dir.File("forwindows.exe"), "--stub", dir.File("stub.exe"), "--generic",
                       dir.File("windows.exe")})
                   .status);

  struct Case {
    std::string file;
    int status;
    std::string message;
  } cases[] = {
      {dir.File("none.exe"), 253, "No installer available for the current platform"},
      {dir.File("unstamped.exe"), 254, "Executable has no valid MZ/pwr5 signature"},
      {dir.File("missing.exe"), 250, "Extraction of the installer failed => 30"},
      {dir.File("forwindows.exe"), 252,
       "failed => 193\npxq run: the installer build for this host is a Windows program: pxq run starts host "
       "programs (a build packed for testing, such as a script); run " +
           dir.File("forwindows.exe") + " under Wine (wine " + dir.File("forwindows.exe") + ") or on Windows\n"},
      {dir.File("absent.exe"), 1, "pxq: " + dir.File("absent.exe") + ": No such file or directory"},
  };
  for (const auto& c : cases) {
    CommandResult run = RunLoaderFile(temporary, c.file, {"arg"});
    EXPECT_EQ(c.status, run.status) << c.file << "\n" << run.err;
    EXPECT_NE(std::string::npos, run.err.find(c.message)) << run.err;
    EXPECT_EQ("", run.out);
    EXPECT_TRUE(DirectoryNames(temporary).empty()) << c.file;
  }
}

}  // namespace
