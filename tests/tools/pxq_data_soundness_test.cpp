// pxq list and pxq extract --data on data archives that pack never writes,
// and on outputs that cannot take them: one verdict from every reader, a
// JSON report that stays whole and small, nothing written where names
// clash, staged files removed by a signal, and messages that say what
// failed.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <iostream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "package/data_archive.h"
#include "package/records.h"
#include "support/data_fixture.h"
#include "support/file_bytes.h"
#include "support/package_fixture.h"
#include "support/required.h"
#include "support/scratch_dir.h"
#include "tools/writer/writer.h"
#include "tools_support.h"

namespace {

bool Exists(const std::string& path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0;
}

struct PxqDataSoundness : ::testing::Test {
  ScratchDir dir;
  std::string setup = dir.File("setup.exe");
  std::string out = dir.File("out");

  // list, list --json and extract --data of the file: the JSON report
  // must parse whatever the verdict.
  struct Verdicts {
    CommandResult list, json, extract;
    nlohmann::json report;
  };
  Verdicts Read(const std::vector<uint8_t>& file) {
    WriteFileBytes(setup, file);
    Verdicts verdicts;
    verdicts.list = RunPxq({"list", setup});
    verdicts.json = RunPxq({"list", "--json", setup});
    verdicts.report = nlohmann::json::parse(verdicts.json.out, nullptr, false);
    verdicts.extract = RunPxq({"extract", setup, "--data", "-o", out});
    return verdicts;
  }
};

// Names that are one file on Windows, or a file and a folder at once: the
// file is unsound in list (text, JSON and exit code), and extraction, of
// all or of one entry, writes nothing.
TEST_F(PxqDataSoundness, ClashingNamesAreUnsoundAndNeverExtracted) {
  const struct {
    std::vector<DataArchiveItem> items;
    const char* words;
  } kCases[] = {
      {{DataFile("a.txt"), DataFile("b.txt"), DataFile("a.txt")}, "is given twice"},
      {{DataFile("Readme.txt"), DataFile("README.TXT")}, "letter case"},
      {{DataFile("app"), DataFile("app/tool.dll")}, "both a file and a folder"},
  };
  for (const auto& test : kCases) {
    std::string shown = test.items.front().name + " / " + test.items.back().name;
    Verdicts verdicts = Read(LoaderWithData(test.items));
    EXPECT_EQ(1, verdicts.list.status) << shown << verdicts.list.out;
    EXPECT_NE(std::string::npos, verdicts.list.err.find(test.words)) << shown << ": " << verdicts.list.err;
    EXPECT_NE(std::string::npos, verdicts.list.out.find("UNSAFE NAME")) << verdicts.list.out;
    EXPECT_EQ(1, verdicts.json.status) << shown;
    ASSERT_FALSE(verdicts.report.is_discarded()) << verdicts.json.out;
    EXPECT_FALSE(verdicts.report["sound"].get<bool>()) << shown;
    EXPECT_FALSE(verdicts.report["data"]["entries"][0]["safename"].get<bool>()) << shown;
    EXPECT_FALSE(verdicts.report["data"]["entries"].back()["safename"].get<bool>()) << shown;
    EXPECT_EQ(1, verdicts.extract.status) << shown;
    EXPECT_NE(std::string::npos, verdicts.extract.err.find("nothing was extracted")) << verdicts.extract.err;
    EXPECT_FALSE(Exists(out)) << shown;
  }
  WriteFileBytes(setup, LoaderWithData({DataFile("a.txt", "first"), DataFile("A.txt", "second")}));
  CommandResult one = RunPxq({"extract", setup, "--data", "A.txt", "-o", dir.File("one")});
  EXPECT_EQ(1, one.status);
  EXPECT_FALSE(Exists(dir.File("one")));
}

// The end of the stream, the trailer and the locator: list and extract
// --data give one verdict, and the JSON report stays one whole object.
TEST_F(PxqDataSoundness, EveryReaderGivesOneVerdictOnTheEnd) {
  std::vector<DataArchiveItem> items = {DataFile("a.txt", "alpha alpha"), DataFile("b.txt", "beta beta")};
  std::vector<uint8_t> good = LoaderWithData(items);

  // An entry after the last indexed one.
  std::vector<uint8_t> extra = LoaderWithUnindexedEntry(items);
  std::vector<uint8_t> newer = good;
  WriteLe32(newer.data() + kDataArchiveOffset + 4, 3);
  std::vector<uint8_t> wrongtrailer = good;
  wrongtrailer[wrongtrailer.size() - 8] = 1;

  const struct {
    const char* name;
    std::vector<uint8_t> file;
    const char* words;
  } kCases[] = {
      {"an entry after the last indexed one", extra, "does not end after its last entry"},
      {"no trailer", std::vector<uint8_t>(good.begin(), good.end() - 16), "no trailer"},
      {"a wrong trailer", wrongtrailer, "no trailer"},
      {"cut in the last 17 bytes", std::vector<uint8_t>(good.begin(), good.end() - 17), ""},
      {"a locator of a newer format", newer, "newer pxq"},
  };
  ASSERT_EQ(0, Read(good).extract.status);
  for (const auto& test : kCases) {
    RunShell("rm -rf " + ShellQuote(out));
    Verdicts verdicts = Read(test.file);
    EXPECT_EQ(1, verdicts.list.status) << test.name << "\n" << verdicts.list.err;
    EXPECT_EQ(1, verdicts.json.status) << test.name;
    EXPECT_EQ(1, verdicts.extract.status) << test.name << "\n" << verdicts.extract.err;
    EXPECT_NE(std::string::npos, verdicts.list.err.find(test.words)) << test.name << ": " << verdicts.list.err;
    EXPECT_NE(std::string::npos, verdicts.extract.err.find(test.words)) << test.name << ": " << verdicts.extract.err;
    ASSERT_FALSE(verdicts.report.is_discarded()) << test.name << verdicts.json.out;
    EXPECT_FALSE(verdicts.report["sound"].get<bool>()) << test.name;
    EXPECT_TRUE(verdicts.report["data"]["fault"].is_string()) << test.name;
  }
}

// Peak memory of `pxq list --json FILE`, in KiB (/usr/bin/time, so that
// the test's own pages do not count).
long ListJsonPeakKib(const ScratchDir& dir, const std::string& file) {
  CommandResult run = RunShell("/usr/bin/time -f %M -o " + ShellQuote(dir.File("peak")) + " " + ShellQuote(PxqPath()) +
                               " list --json " + ShellQuote(file) + " >/dev/null");
  EXPECT_EQ(0, run.status) << run.err;
  return atol(ReadFileText(dir.File("peak")).c_str());
}

// The JSON report is written entry by entry: 100 times the entries cost
// what the index and its table take, not a document held whole.
TEST_F(PxqDataSoundness, ListJsonDoesNotHoldTheDocument) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "AddressSanitizer's own memory hides what is measured";
#endif
  long peaks[2] = {0, 0};
  const size_t counts[2] = {1000, 100000};
  for (int i = 0; i < 2; ++i) {
    std::vector<DataArchiveItem> items;
    for (size_t k = 0; k < counts[i]; ++k) items.push_back(DataFile("f" + std::to_string(k), ""));
    WriteFileBytes(setup, LoaderWithData(items));
    peaks[i] = ListJsonPeakKib(dir, setup);
  }
  // The library's table of 100,000 entries is a few MiB; a document of
  // them as JSON values is hundreds.
  EXPECT_LT(peaks[1], peaks[0] + 40 * 1024) << peaks[0] << " KiB for 1,000 entries, " << peaks[1] << " for 100,000";
  std::cout << "list --json peak: " << peaks[0] << " KiB for 1,000 entries, " << peaks[1] << " KiB for 100,000\n";
}

// -o naming the loader file itself, by its path or a hard link, is refused
// and the file stays as it was.
TEST_F(PxqDataSoundness, OutputNamingTheLoaderFileIsRefused) {
  std::vector<uint8_t> file = LoaderWithData({DataFile("a.txt", "alpha")});
  WriteFileBytes(setup, file);
  ASSERT_EQ(0, link(setup.c_str(), dir.File("linked.exe").c_str()));
  for (const std::string& output : {setup, dir.File("linked.exe")}) {
    CommandResult run = RunPxq({"extract", setup, "--data", "a.txt", "-o", output});
    EXPECT_EQ(1, run.status) << output;
    EXPECT_NE(std::string::npos, run.err.find("is the loader file itself")) << run.err;
    EXPECT_EQ(file, ReadFileBytes(setup));
  }
}

// Messages: a full disk under -o - is the write's failure, a folder where a
// file goes is named so, and pack shows control bytes of names escaped.
TEST_F(PxqDataSoundness, MessagesSayWhatFailed) {
  WriteFileBytes(setup, LoaderWithData({DataFile("a.txt", std::string(100000, 'a'))}));
  if (Exists("/dev/full")) {
    CommandResult full = RunShell(ShellQuote(PxqPath()) + " extract " + ShellQuote(setup) + " --data a.txt -o - >/dev/full");
    EXPECT_EQ(1, full.status);
    EXPECT_NE(std::string::npos, full.err.find("standard output: No space left on device")) << full.err;
    EXPECT_EQ(std::string::npos, full.err.find("receiver")) << full.err;
  }
  ASSERT_EQ(0, mkdir(out.c_str(), 0755));
  ASSERT_EQ(0, mkdir((out + "/a.txt").c_str(), 0755));
  CommandResult folder = RunPxq({"extract", setup, "--data", "-o", out});
  EXPECT_EQ(1, folder.status);
  EXPECT_NE(std::string::npos, folder.err.find("a folder stands where the file goes")) << folder.err;
  EXPECT_EQ(std::string::npos, folder.err.find("access denied")) << folder.err;

  std::string payload = dir.File("payload");
  ASSERT_EQ(0, mkdir(payload.c_str(), 0755));
  WriteFileText(payload + "/bad\x01name\x1b[2J", "x");
  WriteFileText(dir.File("installer.sh"), "#!/bin/sh\n");
  WriteFileBytes(dir.File("stub.exe"), TestStub());
  CommandResult pack = RunPxq({"pack", "-o", dir.File("packed.exe"), "--stub", dir.File("stub.exe"), "--generic",
                               dir.File("installer.sh"), "--data", payload});
  EXPECT_EQ(1, pack.status);
  EXPECT_NE(std::string::npos, pack.err.find("bad\\x01name\\x1B[2J")) << pack.err;
  EXPECT_EQ(std::string::npos, pack.err.find('\x01')) << pack.err;
  EXPECT_EQ(std::string::npos, pack.err.find('\x1b')) << pack.err;
}

// Each folder is made once: the mkdir calls of extracting 300 files in
// 120-deep folders, counted by strace, are the folders there are, not the
// folders on every file's way.
TEST_F(PxqDataSoundness, EachFolderIsMadeOnce) {
  PXQ_NEED_TOOLS(RunShell("strace -f -qq -e trace=none true").status == 0, "strace cannot trace here");
  std::string deep;
  for (int i = 0; i < 120; ++i) deep += "d/";
  std::vector<DataArchiveItem> items;
  for (int i = 0; i < 150; ++i) {
    items.push_back(DataFile(deep + "a" + std::to_string(i)));
    items.push_back(DataFile("b/" + deep + "a" + std::to_string(i)));  // alternating between two branches
  }
  WriteFileBytes(setup, LoaderWithData(items));
  // LeakSanitizer cannot run under ptrace: a sanitized pxq is traced without it.
  CommandResult run = RunShell("ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0 "
                               "strace -f -qq -e trace=mkdir,mkdirat -o " + ShellQuote(dir.File("trace")) + " " +
                               ShellQuote(PxqPath()) + " extract " + ShellQuote(setup) + " --data -o " + ShellQuote(out));
  ASSERT_EQ(0, run.status) << run.err;
  CommandResult count = RunShell("grep -c mkdir " + ShellQuote(dir.File("trace")));
  // 120 + 121 folders and the target itself.
  EXPECT_LE(atoi(count.out.c_str()), 120 + 121 + 1) << count.out;
  EXPECT_TRUE(Exists(out + "/b/" + deep + "a149"));
}

bool HasPartial(const std::string& directory) {
  for (const std::string& name : DirectoryNames(directory)) {
    if (name.find(".partial") != std::string::npos) return true;
  }
  return false;
}

// A signal while extract --data writes an entry removes the entry's staged
// file, for a folder and for one entry to a file alike.
TEST_F(PxqDataSoundness, ASignalRemovesTheStagedFile) {
  ASSERT_EQ(0, RunShell("head -c 16000000 /dev/urandom > " + ShellQuote(dir.File("big.bin"))).status);
  DataArchiveItem big;
  big.name = "big.bin";
  big.path = dir.File("big.bin");
  WriteFileBytes(setup, LoaderWithData({big}));
  const struct {
    int number;
    const char* name;
  } kSignals[] = {{SIGTERM, "TERM"}, {SIGINT, "INT"}, {SIGHUP, "HUP"}};
  int judged = 0;
  for (const auto& signal : kSignals) {
    for (bool whole : {true, false}) {
      RunShell("rm -rf " + ShellQuote(out));
      ASSERT_EQ(0, mkdir(out.c_str(), 0755));
      pid_t pid = whole ? StartPxqProcess(PxqPath(), {"extract", setup, "--data", "-o", out})
                        : StartPxqProcess(PxqPath(), {"extract", setup, "--data", "big.bin", "-o", out + "/one.bin"});
      ASSERT_GT(pid, 0);
      bool staged = false;
      for (int i = 0; i < 20000 && !staged; ++i) {
        staged = HasPartial(out);
        if (!staged) {
          struct timespec pause = {0, 1000 * 1000};
          nanosleep(&pause, nullptr);
        }
      }
      kill(pid, signal.number);
      int status = 0;
      ASSERT_EQ(pid, waitpid(pid, &status, 0));
      // Finished before the staged file was seen, or between seeing it and
      // the signal (a loaded machine): nothing to judge. A pxq that ends
      // with 0 on the signal itself is still caught by the count below.
      if (!staged || (WIFEXITED(status) && WEXITSTATUS(status) == 0)) continue;
      ++judged;
      EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal.number) << signal.name << " status " << status;
      EXPECT_FALSE(HasPartial(out)) << signal.name << (whole ? " (all)" : " (one entry)");
    }
  }
  EXPECT_GE(judged, 3) << "the staged file was seen too rarely to judge";
}

}  // namespace
