// pxq's options for release builds: entry times and attributes that do not
// depend on the build machine, how much pxq says, and --version.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "support/file_bytes.h"
#include "support/package_fixture.h"
#include "support/scratch_dir.h"
#include "tools_support.h"

namespace {

// A writable build touched at 2023-11-14 22:13:20 UTC and a read-only one
// from 1973-03-03 09:46:40 UTC.
struct Builds {
  ScratchDir dir;
  Builds() {
    WriteFileBytes(dir.File("stub.exe"), TestStub());
    WriteFileBytes(dir.File("new.exe"), PatternBytes(4000, 7));
    WriteFileBytes(dir.File("old.exe"), PatternBytes(3000, 8));
    SetModificationTime(dir.File("new.exe"), 1700000000, 500);
    SetModificationTime(dir.File("old.exe"), 100000000, 0);
    chmod(dir.File("old.exe").c_str(), 0444);
  }
  std::string Pack(const std::string& environment, const std::vector<std::string>& options, int* status,
                   std::string* err = nullptr) const {
    std::string line = environment + " " + ShellQuote(PxqPath()) + " pack -o " + ShellQuote(dir.File("setup.exe")) +
                       " --stub " + ShellQuote(dir.File("stub.exe")) + " --keep-order --nt-x64 " +
                       ShellQuote(dir.File("new.exe")) + " --generic " + ShellQuote(dir.File("old.exe"));
    for (const auto& option : options) line += " " + ShellQuote(option);
    CommandResult pack = RunShell(line);
    *status = pack.status;
    if (err != nullptr) *err = pack.err;
    if (pack.status != 0) return "";
    return RunPxq({"list", dir.File("setup.exe")}).out;
  }
};

TEST(PxqOptions, EntryTimesAndAttributes) {
  Builds in;
  const std::string newtime = "2023-11-14 22:13:20.0000005 UTC", oldtime = "1973-03-03 09:46:40.0000000 UTC";
  struct Case {
    std::string environment;
    std::vector<std::string> options;
    std::string first, second;  // the NT x64 (new.exe) and generic (old.exe) lines hold these
  } cases[] = {
      {"", {}, newtime + "  NORMAL (0x80)", oldtime + "  READONLY (0x1)"},
      {"", {"--attributes", "from-file"}, "NORMAL (0x80)", "READONLY (0x1)"},
      {"", {"--attributes=normal"}, "NORMAL (0x80)", "NORMAL (0x80)"},
      {"", {"--attributes", "readonly"}, "READONLY (0x1)", "READONLY (0x1)"},
      {"", {"--mtime", "@1000000000"}, "2001-09-09 01:46:40.0000000 UTC", "2001-09-09 01:46:40.0000000 UTC"},
      {"", {"--mtime", "2024-05-01T12:00:00Z"}, "2024-05-01 12:00:00.0000000 UTC", "2024-05-01 12:00:00.0000000 UTC"},
      {"", {"--mtime", "2024-05-01"}, "2024-05-01 00:00:00.0000000 UTC", "2024-05-01 00:00:00.0000000 UTC"},
      // Clamped: only times later than SOURCE_DATE_EPOCH change.
      {"SOURCE_DATE_EPOCH=1000000000", {}, "2001-09-09 01:46:40.0000000 UTC", oldtime},
      {"SOURCE_DATE_EPOCH=1800000000", {}, newtime, oldtime},
      // --mtime sets every time, whatever SOURCE_DATE_EPOCH says.
      {"SOURCE_DATE_EPOCH=1000000000", {"--mtime", "@0"}, "1970-01-01 00:00:00.0000000 UTC",
       "1970-01-01 00:00:00.0000000 UTC"},
  };
  for (const auto& c : cases) {
    int status = -1;
    std::string list = in.Pack(c.environment, c.options, &status);
    std::string label = c.environment + (c.options.empty() ? "" : " " + c.options[0]);
    ASSERT_EQ(0, status) << label;
    size_t first = list.find("NtX64InstallerId"), second = list.find("GenericInstallerId");
    ASSERT_TRUE(first != std::string::npos && second != std::string::npos) << list;
    EXPECT_NE(std::string::npos, list.substr(first, second - first).find(c.first)) << label << "\n" << list;
    EXPECT_NE(std::string::npos, list.substr(second).find(c.second)) << label << "\n" << list;
  }

  struct Refusal {
    std::string environment;
    std::vector<std::string> options;
    std::string message;
  } refusals[] = {
      {"", {"--mtime", "yesterday"}, "bad time 'yesterday'"},
      {"", {"--mtime", "2024-13-01"}, "bad time '2024-13-01'"},
      {"", {"--attributes", "hidden"}, "bad attributes 'hidden'; use normal, readonly or from-file"},
      {"SOURCE_DATE_EPOCH=soon", {}, "SOURCE_DATE_EPOCH must be a number of seconds since 1970, not 'soon'"},
  };
  for (const auto& r : refusals) {
    int status = -1;
    std::string err;
    in.Pack(r.environment, r.options, &status, &err);
    EXPECT_EQ(2, status) << r.message;
    EXPECT_NE(std::string::npos, err.find(r.message)) << err;
  }
}

TEST(PxqOptions, SameInputsAfterTouchGiveTheSameBytesUnderSourceDateEpoch) {
  Builds in;
  int status = -1;
  std::vector<std::string> options = {"--preset", "1", "--attributes", "normal"};
  in.Pack("SOURCE_DATE_EPOCH=1600000000", options, &status);
  ASSERT_EQ(0, status);
  std::vector<uint8_t> first = ReadFileBytes(in.dir.File("setup.exe"));
  // As in a fresh checkout: every file is new, and the read-only bit is lost.
  ASSERT_EQ(0, RunShell("sleep 0.01; chmod u+w " + ShellQuote(in.dir.File("old.exe")) + " && touch " +
                        ShellQuote(in.dir.File("new.exe")) + " " + ShellQuote(in.dir.File("old.exe")))
                   .status);
  in.Pack("SOURCE_DATE_EPOCH=1600000000", options, &status);
  ASSERT_EQ(0, status);
  // old.exe's own time lay before the epoch; touched, it is clamped too.
  std::vector<uint8_t> touched = ReadFileBytes(in.dir.File("setup.exe"));
  in.Pack("SOURCE_DATE_EPOCH=1600000000", options, &status);
  EXPECT_TRUE(touched == ReadFileBytes(in.dir.File("setup.exe")));
  ASSERT_EQ(0, RunShell("touch " + ShellQuote(in.dir.File("new.exe"))).status);
  in.Pack("SOURCE_DATE_EPOCH=1600000000", options, &status);
  EXPECT_TRUE(touched == ReadFileBytes(in.dir.File("setup.exe")));
  EXPECT_FALSE(first == touched) << "old.exe's time before the epoch is kept";
}

TEST(PxqOptions, QuietVerboseAndVersion) {
  Builds in;
  std::string setup = in.dir.File("setup.exe");
  std::vector<std::string> pack = {"pack", "-o", setup, "--stub", in.dir.File("stub.exe"), "--generic",
                                   in.dir.File("new.exe")};
  auto with = [](std::vector<std::string> arguments, const std::string& option) {
    arguments.insert(arguments.begin() + 1, option);
    return arguments;
  };
  std::vector<std::string> extract = {"extract", setup, "--generic", "-o", in.dir.File("out.exe")};
  // A text with a space draws a warning: the installer gets two arguments.
  std::vector<std::string> tag = {"tag", "--pad", setup, "two words"};
  struct Case {
    std::vector<std::string> arguments;
    std::string out;  // the start of stdout ("" for none)
    std::string err;  // what stderr holds ("" for nothing at all)
  } cases[] = {
      // stderr is no terminal here: no progress unless -v. The test stub is
      // not a pxq stub, which pack warns about, unless -q.
      {pack, setup + ": ", "pxq pack: warning: "},
      {with(pack, "-q"), "", ""},
      {{"-q", "pack", "-o", setup, "--stub", in.dir.File("stub.exe"), "--generic", in.dir.File("new.exe")}, "", ""},
      {with(pack, "-v"), setup + ": ", "pxq pack: 100%, "},
      {with(extract, "--verbose"), "", "pxq extract: 100%, "},
      {extract, "", ""},
      {with({"list", setup}, "-v"), "stamp ", "pxq list: 100%, "},
      {{"-v", "list", setup}, "stamp ", "pxq list: 100%, "},
      {tag, setup + ": ansi tag ", "pxq tag: warning: the text holds spaces"},
      {with(tag, "-q"), "", ""},
      {{"-q", "tag", "--pad", setup, "two words"}, "", ""},
      {{"tag", "--quiet", "--remove", setup}, "", ""},
      {with(tag, "-v"), setup + ": ansi tag ", "pxq tag: warning: the text holds spaces"},
      {{"--verbose", "tag", "--pad", setup, "one"}, setup + ": ansi tag ", ""},
  };
  for (const auto& c : cases) {
    CommandResult result = RunPxq(c.arguments);
    std::string label = c.arguments[0] + " " + c.arguments[1];
    EXPECT_EQ(0, result.status) << label << "\n" << result.err;
    EXPECT_EQ(0u, result.out.find(c.out)) << label << "\n" << result.out;
    if (c.out.empty()) {
      EXPECT_EQ("", result.out) << label;
    }
    if (c.err.empty()) {
      EXPECT_EQ("", result.err) << label;
    } else {
      EXPECT_NE(std::string::npos, result.err.find(c.err)) << label << "\n" << result.err;
      bool progress = c.err.find("100%") != std::string::npos;
      EXPECT_EQ(progress, result.err.find(" MiB/s in ") != std::string::npos) << label << "\n" << result.err;
    }
  }

  CommandResult version = RunPxq({"--version"});
  EXPECT_EQ(0, version.status);
  EXPECT_EQ(0u, version.out.find("pxq " + std::string(PXQ_VERSION_TEXT) + "\nliblzma 5.")) << version.out;
  EXPECT_NE(std::string::npos, version.out.find("\nstub: ")) << version.out;
  EXPECT_NE(std::string::npos, version.out.find("\ninstaller SDK: ")) << version.out;
  // A copy of pxq with no stub near it says so.
  std::string bin = in.dir.File("bin");
  ASSERT_EQ(0, RunShell("mkdir " + ShellQuote(bin) + " && cp " + ShellQuote(PxqPath()) + " " + ShellQuote(bin)).status);
  CommandResult alone = RunShell(ShellQuote(bin + "/pxq") + " --version");
  EXPECT_NE(std::string::npos, alone.out.find("stub: none (")) << alone.out;
  EXPECT_NE(std::string::npos, alone.out.find("installer SDK: none (")) << alone.out;
  // The installed layout: the SDK in ../share/pxq/sdk, named without the dots.
  std::string sdk = in.dir.File("share/pxq/sdk");
  ASSERT_EQ(0, RunShell("mkdir -p " + ShellQuote(sdk + "/include/pxq") + " && touch " +
                        ShellQuote(sdk + "/include/pxq/installer_data.h")).status);
  CommandResult installed = RunShell(ShellQuote(bin + "/pxq") + " --version");
  EXPECT_NE(std::string::npos, installed.out.find("installer SDK: " + sdk + " (")) << installed.out;
  EXPECT_NE(std::string::npos, installed.out.find("-DPxqInstallerData_DIR=" + sdk + "/cmake")) << installed.out;
  WriteFileBytes(bin + "/pxq-loader.exe", TestStub());
  CommandResult beside = RunShell(ShellQuote(bin + "/pxq") + " --version");
  EXPECT_NE(std::string::npos, beside.out.find("stub: " + bin + "/pxq-loader.exe (not a pxq stub, 128 bytes, CRC32 "))
      << beside.out;
}

// On a terminal (script(1) gives pxq one): progress without -v, and no
// binary data written to it.
TEST(PxqOptions, OnATerminal) {
  Builds in;
  if (RunShell("command -v script").status != 0) GTEST_SKIP() << "script(1) is not installed";
  // Random bytes at preset 9: seconds of work, long enough for updates.
  ASSERT_EQ(0, RunShell("head -c 6000000 /dev/urandom > " + ShellQuote(in.dir.File("big.bin"))).status);
  auto onterminal = [](const std::string& command) {
    return RunShell("script -qec " + ShellQuote(command) + " /dev/null");
  };
  std::string pack = ShellQuote(PxqPath()) + " pack --stub " + ShellQuote(in.dir.File("stub.exe")) + " --generic " +
                     ShellQuote(in.dir.File("big.bin")) + " --preset 9 -o ";
  CommandResult progress = onterminal(pack + ShellQuote(in.dir.File("setup.exe")));
  EXPECT_EQ(0, progress.status) << progress.out;
  EXPECT_NE(std::string::npos, progress.out.find("\rpxq pack: ")) << progress.out;
  EXPECT_NE(std::string::npos, progress.out.find(" left")) << progress.out;
  EXPECT_NE(std::string::npos, progress.out.find(" MiB/s in ")) << progress.out;

  CommandResult quiet = onterminal(ShellQuote(PxqPath()) + " pack -q --stub " + ShellQuote(in.dir.File("stub.exe")) +
                                   " --generic " + ShellQuote(in.dir.File("new.exe")) + " -o " +
                                   ShellQuote(in.dir.File("setup.exe")));
  EXPECT_EQ(0, quiet.status) << quiet.out;
  EXPECT_EQ("", quiet.out);

  std::vector<std::string> names = DirectoryNames(in.dir.path);
  CommandResult refused = onterminal(pack + "-");
  EXPECT_EQ(1, refused.status) << refused.out;
  EXPECT_NE(std::string::npos,
            refused.out.find("pxq: standard output: is a terminal; pxq does not write binary data to a terminal"))
      << refused.out;
  EXPECT_EQ(names, DirectoryNames(in.dir.path));
}

}  // namespace
