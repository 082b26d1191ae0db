// Whole runs of the loader on this host: a package written by the package
// writer, installer builds that are small shell scripts recording what they
// were given, and RunLoader over the testing backend on the posix one, with
// the loader file as the running module.
#include <gtest/gtest.h>

#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "launcher/loader_main.h"
#include "launcher_support.h"
#include "package/records.h"
#include "platform/posix.h"
#include "platform/testing.h"
#include "support/file_bytes.h"
#include "support/package_fixture.h"
#include "support/scratch_dir.h"
#include "support/windows_exe.h"
#include "tools/writer/writer.h"

using namespace std::string_literals;

namespace {

const uint64_t kUnixEpochAsFileTime = 11644473600ull * 10000000ull;
const int64_t kInstallerTime = 1600000000;  // the entries' last-write time, Unix seconds

// What one installer run wrote down.
struct Record {
  bool ran = false;
  std::string self;       // $0: the path it was started from
  long long mtime = 0;    // its file's modification time
  long long parent = 0;   // the process that started it
  std::string mode;       // its file's permission bits, in octal
  std::vector<std::string> arguments;
};

struct EndToEnd : ::testing::Test {
  ScratchDir dir;
  std::string temp;  // the temporary directory, with its trailing slash
  std::string loader;
  TestingScope scope;

  EndToEnd() {
    temp = dir.File("tmp") + "/";
    mkdir(temp.c_str(), 0700);
    loader = dir.File("setup.exe");
    Testing().temppath = temp;
  }

  std::string RecordPath(const std::string& name) const { return dir.File("record-" + name); }

  // An installer build: records its path, time, parent and arguments, then
  // exits with `code`. `payload` bytes follow the script (never read by sh).
  PackageEntry Installer(uint64_t id, const std::string& name, int code, size_t payload = 0,
                         uint32_t attributes = FILE_ATTRIBUTE_NORMAL) const {
    std::string script = "#!/bin/sh\n{ printf '%s\\n' \"$0\"; stat -c %Y \"$0\"; echo \"$PPID\"; stat -c %a \"$0\";"
                         " for a in \"$@\"; do printf '[%s]\\n' \"$a\"; done; } > '" +
                         RecordPath(name) + "'\nexit " + std::to_string(code) + "\n";
    PackageEntry entry;
    entry.idlow = static_cast<uint32_t>(id);
    entry.idhigh = static_cast<uint32_t>(id >> 32);
    entry.data.assign(script.begin(), script.end());
    uint32_t seed = 12345;
    for (size_t i = 0; i < payload; ++i) {
      seed = seed * 1103515245u + 12345u;
      entry.data.push_back(static_cast<uint8_t>(seed >> 16));
    }
    entry.lastwritetime = kUnixEpochAsFileTime + static_cast<uint64_t>(kInstallerTime) * 10000000ull;
    entry.attributes = attributes;
    return entry;
  }

  // The three builds, exiting with 10, 20 and 30.
  std::vector<PackageEntry> AllBuilds() const {
    return {Installer(GenericInstallerId, "generic", 10), Installer(NtX86InstallerId, "x86", 20),
            Installer(NtX64InstallerId, "x64", 30)};
  }

  // Writes the loader file: stub, package, padding to `padto` bytes, tail.
  void WriteLoader(uint32_t flags, const std::vector<PackageEntry>& entries, const std::string& tail = "",
                   size_t padto = 0, std::vector<uint8_t> stub = {}) {
    if (stub.empty()) {
      stub.assign(256, 0);
      stub[0] = 'M';
      stub[1] = 'Z';
    }
    PackageOptions options;
    options.dictionarysize = 1u << 16;
    options.preset = 0;
    std::vector<uint8_t> file;
    ASSERT_EQ(0u, WriteLoaderFile(stub, flags, entries, options, &file));
    std::string bytes(file.begin(), file.end());
    if (bytes.size() + tail.size() < padto) bytes.append(padto - bytes.size() - tail.size(), 'z');
    WriteFileText(loader, bytes + tail);
  }

  uint32_t Run(const std::vector<const char*>& arguments = {}) {
    EXPECT_EQ(0u, PosixSetModule(loader.c_str()));
    PosixSetArguments(static_cast<int>(arguments.size()), arguments.data());
    return RunLoader();
  }

  Record Read(const std::string& name) const {
    Record record;
    std::ifstream in(RecordPath(name));
    if (!in) return record;
    record.ran = true;
    std::string line;
    std::getline(in, record.self);
    std::getline(in, line);
    record.mtime = std::stoll(line);
    std::getline(in, line);
    record.parent = std::stoll(line);
    std::getline(in, record.mode);
    // Arguments are "[...]" and may hold line breaks of their own.
    std::stringstream rest;
    rest << in.rdbuf();
    std::string text = rest.str();
    size_t at = 0;
    while (at < text.size()) {
      size_t end = text.find("]\n[", at);
      if (end == std::string::npos) end = text.size() - 2;
      record.arguments.push_back(text.substr(at + 1, end - at - 1));
      at = end + 2;
    }
    return record;
  }

  std::string ExpectedCopy() const { return ExpectedCopyIn(temp); }

  std::string OwnPath() const { return ResolvedPath(loader); }

  void ExpectCleanEnd() {
    EXPECT_FALSE(FileExists(ExpectedCopy()));
    EXPECT_TRUE(TestingNothingOpen()) << TestingOpenSummary();
  }

  // The end of a run with the fault injected at failable call `n`: the
  // installer's own code (77) with no message, or one of the loader's
  // failures with its one message; nothing left open either way.
  void ExpectOneFaultEnded(uint32_t exitcode, uint32_t n) {
    EXPECT_EQ(1u, Testing().injected) << "call " << n;
    if (exitcode == 77) {
      EXPECT_TRUE(Testing().messages.empty()) << "call " << n;
    } else {
      EXPECT_LE(250u, exitcode) << "call " << n;
      EXPECT_GE(255u, exitcode) << "call " << n;
      EXPECT_EQ(1u, Testing().messages.size()) << "call " << n;
    }
    EXPECT_TRUE(TestingNothingOpen()) << "call " << n << ": " << TestingOpenSummary();
  }
};

}  // namespace

TEST_F(EndToEnd, RunsTheBuildForThisHostFromItsTemporaryCopy) {
  WriteLoader(0x07, AllBuilds());
  EXPECT_EQ(30u, Run());  // this host is NT on x64
  Record record = Read("x64");
  ASSERT_TRUE(record.ran);
  EXPECT_FALSE(Read("x86").ran);
  EXPECT_FALSE(Read("generic").ran);
  EXPECT_EQ(ExpectedCopy(), record.self);
  EXPECT_EQ(kInstallerTime, record.mtime);
  EXPECT_EQ(static_cast<long long>(getpid()), record.parent);
  EXPECT_EQ("700", record.mode);
  EXPECT_EQ(std::vector<std::string>{OwnPath()}, record.arguments);
  EXPECT_TRUE(Testing().messages.empty());
  ExpectCleanEnd();
}

// Packed with the packer's defaults, a 100 KiB installer gets a dictionary
// of 128 KiB, and the whole run commits at most 512 KiB of heap at any time
// (with the 8 MiB dictionary of old it took over 8 MiB).
TEST_F(EndToEnd, ASmallInstallerNeedsLittleHeap) {
  std::vector<PackageEntry> entries = {Installer(NtX64InstallerId, "x64", 30, 100 * 1024)};
  PackageOptions defaults;
  defaults.preset = 0;  // effort only; the dictionary is the default one
  std::vector<uint8_t> stub(256, 0);
  stub[0] = 'M';
  stub[1] = 'Z';
  std::vector<uint8_t> file;
  ASSERT_EQ(0u, WriteLoaderFile(stub, 0x04, entries, defaults, &file));
  EXPECT_EQ(128u * 1024, ReadLe32(&file[256 + 73]));
  WriteFileText(loader, std::string(file.begin(), file.end()));
  EXPECT_EQ(30u, Run());
  EXPECT_TRUE(Read("x64").ran);
  EXPECT_LE(Testing().peakheapbytes, 512u * 1024) << "peak heap in bytes";
  ExpectCleanEnd();
}

TEST_F(EndToEnd, SelectionByFlagsAndPlatform) {
  struct Case {
    uint32_t flags;
    DWORD platformid;
    WORD architecture;
    uint32_t exitcode;  // the chosen build's, or the loader's 253
  } cases[] = {
      {0x07, 2, 9, 30}, {0x03, 2, 9, 20}, {0x01, 2, 9, 10}, {0x07, 2, 0, 20}, {0x05, 2, 0, 10},
      {0x04, 2, 0, 253}, {0x07, 1, 0, 10}, {0x06, 1, 0, 253}, {0x07, 2, 12, 10}, {0xF8, 2, 9, 253},
  };
  for (const Case& c : cases) {
    Testing().platformid = c.platformid;
    Testing().architecture = c.architecture;
    WriteLoader(c.flags, AllBuilds());
    EXPECT_EQ(c.exitcode, Run()) << "flags " << c.flags << ", platform " << c.platformid << "/" << c.architecture;
    ExpectCleanEnd();
  }
}

TEST_F(EndToEnd, TheInstallersExitCodeWhateverItIs) {
  for (int code : {0, 1, 250, 251, 252, 253, 254, 255}) {
    WriteLoader(0x01, {Installer(GenericInstallerId, "generic", code)});
    EXPECT_EQ(static_cast<uint32_t>(code), Run());
    EXPECT_TRUE(Testing().messages.empty()) << code;
    ExpectCleanEnd();
  }
}

TEST_F(EndToEnd, OwnArgumentsPassUnchanged) {
  WriteLoader(0x01, {Installer(GenericInstallerId, "generic", 0)});
  EXPECT_EQ(0u, Run({"/S", "a b", "say \"hi\"", "", "back\\slash\\", "tab\there"}));
  EXPECT_EQ((std::vector<std::string>{"/S", "a b", "say \"hi\"", "", "back\\slash\\", "tab\there", OwnPath()}),
            Read("generic").arguments);
  ExpectCleanEnd();
}

TEST_F(EndToEnd, TrailingTagsInTheirThreeForms) {
  struct Case {
    const char* name;
    std::string tail;
    std::vector<std::string> arguments;  // in front of the own arguments
  } cases[] = {
      {"plain", "<|/tag=1 \"two words\"|>", {"/tag=1", "two words"}},
      {"UTF-8", "\xEF\xBB\xBF<|/lang=caf\xC3\xA9|>", {"/lang=caf\xE9"}},
      {"UTF-16", "<\0|\0/\0u\0 \0x\0|\0>\0"s, {"/u", "x"}},
      {"empty", "<||>", {}},
  };
  for (const Case& c : cases) {
    WriteLoader(0x01, {Installer(GenericInstallerId, "generic", 0)}, c.tail, 70000);
    EXPECT_EQ(0u, Run({"own"})) << c.name;
    std::vector<std::string> expected = c.arguments;
    expected.push_back("own");
    expected.push_back(OwnPath());
    EXPECT_EQ(expected, Read("generic").arguments) << c.name;
    ExpectCleanEnd();
  }
  // A tag in a file under 64 KiB is not read.
  WriteLoader(0x01, {Installer(GenericInstallerId, "generic", 0)}, "<|/tag|>");
  ASSERT_LT(ReadFileText(loader).size(), 65536u);
  EXPECT_EQ(0u, Run());
  EXPECT_EQ(std::vector<std::string>{OwnPath()}, Read("generic").arguments);
}

TEST_F(EndToEnd, ArgumentsFromTheStubsVersionResource) {
  const std::string resources =
      "1 VERSIONINFO\nFILEVERSION 1,0,0,0\nBEGIN\n  BLOCK \"StringFileInfo\"\n  BEGIN\n    BLOCK \"000004b0\"\n"
      "    BEGIN\n      VALUE \"Arguments\", \"/lang=de /quiet\"\n    END\n  END\n  BLOCK \"VarFileInfo\"\n"
      "  BEGIN\n    VALUE \"Translation\", 0x0000, 0x04B0\n  END\nEND\n";
  std::string stubpath = BuildWindowsExe(dir, "stub", resources);
  if (stubpath.empty()) GTEST_SKIP() << "i686-w64-mingw32-gcc and -windres are needed";
  WriteLoader(0x01, {Installer(GenericInstallerId, "generic", 0)}, "<|/tag|>", 70000, ReadFileBytes(stubpath));
  EXPECT_EQ(0u, Run({"/own"}));
  EXPECT_EQ((std::vector<std::string>{"/lang=de", "/quiet", "/tag", "/own", OwnPath()}), Read("generic").arguments);
  ExpectCleanEnd();
}

TEST_F(EndToEnd, AFailedExtractionEndsWith250AndLeavesNoCopy) {
  // The announced build is not in the package.
  WriteLoader(0x04, {Installer(GenericInstallerId, "generic", 0)});
  EXPECT_EQ(250u, Run());
  ASSERT_EQ(1u, Testing().messages.size());
  EXPECT_EQ(0u, Testing().messages[0].find("Extraction of the installer failed => "));
  EXPECT_NE("Extraction of the installer failed => 0\n", Testing().messages[0]);
  EXPECT_FALSE(Read("generic").ran);
  ExpectCleanEnd();
}

TEST_F(EndToEnd, AnInstallerWhoseDataFailsItsCrcIsNotRun) {
  // The stream decodes whole, but the build's data is not what was packed.
  PackageEntry build = Installer(GenericInstallerId, "generic", 0);
  StreamEntry entry = MakeStreamEntry(GenericInstallerId, build.data);
  entry.header.datacrc ^= 1;
  PackageOptions options = SmallOptions();
  options.archiveflags = ARCHIVE_FLAG_ENTRY_CRC;
  std::vector<uint8_t> archive = ArchiveFromPlain(PlainStream({entry}), options);
  std::vector<uint8_t> stub(256, 0);
  stub[0] = 'M';
  stub[1] = 'Z';
  uint8_t header[LOADER_STAMP_SIZE];
  ASSERT_EQ(0u, StampLoaderHeader(stub, 0x01, header));
  std::vector<uint8_t> file(header, header + LOADER_STAMP_SIZE);
  file.insert(file.end(), stub.begin() + LOADER_STAMP_SIZE, stub.end());
  file.insert(file.end(), archive.begin(), archive.end());
  WriteFileBytes(loader, file);

  EXPECT_EQ(250u, Run());
  EXPECT_EQ(std::vector<std::string>{"Extraction of the installer failed => 23\n"}, Testing().messages);
  EXPECT_FALSE(Read("generic").ran);
  EXPECT_EQ(std::vector<std::string>{ExpectedCopy()}, CallsOf(Op_DeleteFileA));
  ExpectCleanEnd();
}

// A file of our own left at the temporary name (a run killed before its
// removal) is replaced by the copy, which then runs whatever mode it had.
TEST_F(EndToEnd, AnOldFileAtTheTemporaryNameIsReplacedAndRuns) {
  WriteFileText(ExpectedCopy(), "left behind");
  ASSERT_EQ(0, chmod(ExpectedCopy().c_str(), 0644));
  WriteLoader(0x01, {Installer(GenericInstallerId, "generic", 7)});
  EXPECT_EQ(7u, Run());
  EXPECT_TRUE(Read("generic").ran);
  EXPECT_TRUE(Testing().messages.empty());
  ExpectCleanEnd();
}

// Between the end of the extraction and the creation of its process, the
// copy is held open in a way that denies writing and deletion to others.
TEST_F(EndToEnd, TheCopyIsHeldFromExtractionUntilItsProcessIsCreated) {
  WriteLoader(0x01, {Installer(GenericInstallerId, "generic", 0)});
  EXPECT_EQ(0u, Run());
  std::vector<std::string> trace = CallTrace();
  const std::string open = "CreateFileA(" + ExpectedCopy() + ")";
  auto extraction = std::find(trace.begin(), trace.end(), open);
  ASSERT_NE(trace.end(), extraction);
  auto hold = std::find(extraction + 1, trace.end(), open);
  ASSERT_NE(trace.end(), hold) << "the copy is not opened again after its extraction";
  auto attributes = std::find(extraction, trace.end(), "SetFileAttributesA(" + ExpectedCopy() + ")");
  EXPECT_LT(attributes, hold);  // the extraction's last step comes first
  auto create = std::find_if(trace.begin(), trace.end(),
                             [](const std::string& call) { return call.rfind("CreateProcessW", 0) == 0; });
  ASSERT_NE(trace.end(), create);
  EXPECT_LT(hold, create);
  ASSERT_LT(create + 1, trace.end());
  EXPECT_EQ(0u, (create + 1)->rfind("CloseHandle", 0)) << *(create + 1);  // let go at once, before the wait
  ExpectCleanEnd();
}

TEST_F(EndToEnd, APartlyWrittenCopyIsRemoved) {
  // The file ends inside the build's data: a part is written, then removed.
  WriteLoader(0x01, {Installer(GenericInstallerId, "generic", 0, 300000)});
  std::string bytes = ReadFileText(loader);
  WriteFileText(loader, bytes.substr(0, bytes.size() - 100000));
  EXPECT_EQ(250u, Run());
  ASSERT_EQ(1u, Testing().messages.size());
  EXPECT_EQ(0u, Testing().messages[0].find("Extraction of the installer failed => "));
  EXPECT_EQ(std::vector<std::string>{ExpectedCopy()}, CallsOf(Op_SetFileAttributesA));
  EXPECT_LT(0u, TestingCount(Op_WriteFile));
  EXPECT_EQ(std::vector<std::string>{ExpectedCopy()}, CallsOf(Op_DeleteFileA));
  ExpectCleanEnd();
}

TEST_F(EndToEnd, AnEmptyInstallerCannotBeStarted) {
  PackageEntry empty = Installer(GenericInstallerId, "generic", 0);
  empty.data.clear();
  WriteLoader(0x01, {empty});
  EXPECT_EQ(252u, Run());
  EXPECT_EQ(std::vector<std::string>{"CreateProcess(" + ExpectedCopy() + ") failed => 193\n"}, Testing().messages);
  ExpectCleanEnd();
}

TEST_F(EndToEnd, AReadOnlyCopyIsRemovedToo) {
  WriteLoader(0x01, {Installer(GenericInstallerId, "generic", 9, 0, FILE_ATTRIBUTE_READONLY)});
  EXPECT_EQ(9u, Run());
  Record record = Read("generic");
  ASSERT_TRUE(record.ran);
  EXPECT_EQ("500", record.mode);  // it ran read-only
  EXPECT_EQ(1u, TestingCount(Op_DeleteFileA));
  ExpectCleanEnd();
}

TEST_F(EndToEnd, EveryFailingCallEndsCleanly) {
  WriteLoader(0x01, {Installer(GenericInstallerId, "generic", 77)}, "<|/tag|>", 70000);
  EXPECT_EQ(77u, Run());
  const uint32_t total = Testing().failablecalls;
  ASSERT_LT(10u, total);
  for (uint32_t n = 1; n <= total; ++n) {
    for (DWORD error : {ERROR_NOT_ENOUGH_MEMORY, ERROR_ACCESS_DENIED}) {
      TestingScope sweep;
      Testing().temppath = temp;
      Testing().faults = {{PlatformOpCount, n, error}};
      ExpectOneFaultEnded(Run(), n);
      // Only a failed deletion, the run's last call, leaves the copy behind;
      // a denied one is retried.
      if (FileExists(ExpectedCopy())) {
        EXPECT_EQ(total, n) << "call " << n;
        EXPECT_EQ(ERROR_NOT_ENOUGH_MEMORY, error) << "call " << n;
        unlink(ExpectedCopy().c_str());
      }
    }
  }
}

// The own path and the temporary directory in a folder named in another
// script: the ANSI calls give lossy paths ("?" for each character the code
// page lacks) that name no file, the wide calls the true ones, whose short
// forms name the real folders here.
struct LossyPaths : EndToEnd {
  std::string shortfolder;  // the loader's folder, as its short form names it

  LossyPaths() {
    shortfolder = dir.File("__D_~2VV");
    mkdir(shortfolder.c_str(), 0700);
    loader = shortfolder + "/setup.exe";
    const std::string wide = "\xC5\x81\xC3\xB3" "d\xC5\xBA-\xE6\x97\xA5\xE6\x9C\xAC";  // Łódź-日本
    ScriptPaths(dir.path + "/L?dz-?" "?", dir.path + "/" + wide);
  }

  // Scripts the answers of one run (a sweep's scopes start afresh).
  void ScriptPaths(const std::string& lossy, const std::string& wide) {
    lossyfolder = lossy;
    widefolder = wide;
    Testing().modulepath = lossy + "/setup.exe";
    Testing().widemodulepath = wide + "/setup.exe";
    Testing().temppath = lossy + "/";
    Testing().widetemppath = wide + "/";
    Testing().shortnames = {{wide + "/setup.exe", loader}, {wide + "/", temp}};
  }
  void Rescript() { ScriptPaths(lossyfolder, widefolder); }
  std::string lossyfolder, widefolder;
};

TEST_F(LossyPaths, RunThroughTheirShortForms) {
  WriteLoader(0x01, {Installer(GenericInstallerId, "generic", 7)}, "<|/tag|>", 70000);
  EXPECT_EQ(7u, Run({"own"}));
  Record record = Read("generic");
  ASSERT_TRUE(record.ran);
  // The copy in the short temporary directory, named after the short own
  // path; the short own path last on the command line; tag read from it.
  EXPECT_EQ(ExpectedCopy(), record.self);
  EXPECT_EQ((std::vector<std::string>{"/tag", "own", loader}), record.arguments);
  EXPECT_TRUE(Testing().messages.empty());
  EXPECT_EQ(2u, TestingCount(Op_GetShortPathNameW));
  ExpectCleanEnd();
}

TEST_F(LossyPaths, EveryFailingCallEndsCleanly) {
  WriteLoader(0x01, {Installer(GenericInstallerId, "generic", 77)});
  EXPECT_EQ(77u, Run());
  ASSERT_EQ(2u, TestingCount(Op_GetShortPathNameW));  // the sweep fails each in turn
  const uint32_t total = Testing().failablecalls;
  for (uint32_t n = 1; n <= total; ++n) {
    TestingScope sweep;
    Rescript();
    Testing().faults = {{PlatformOpCount, n, ERROR_ACCESS_DENIED}};
    ExpectOneFaultEnded(Run(), n);
    EXPECT_FALSE(FileExists(ExpectedCopy())) << "call " << n;
  }
}

TEST_F(LossyPaths, FailuresOfTheNewStepsEndWith255BeforeAnythingIsWritten) {
  WriteLoader(0x01, {Installer(GenericInstallerId, "generic", 0)});
  const std::string tempdir =
      "No short (8.3) name for the temporary directory, which the ANSI code page cannot hold => ";
  struct Case {
    const char* name;
    TestingFault fault;
    bool noshortnames;  // the volume keeps none: the short form is the long one
    std::string message;
  } cases[] = {
      {"GetModuleFileNameW", {Op_GetModuleFileNameW, 1, 5}, false, "GetModuleFileNameW() failed => 5\n"},
      {"GetTempPathW", {Op_GetTempPathW, 1, 5}, false, "GetTempPathW() failed => 5\n"},
      {"temporary short form", {Op_GetShortPathNameW, 2, 5}, false, tempdir + "5\n"},
      {"no short names for the temporary directory", {PlatformOpCount, 0, 0}, true, tempdir + "1113\n"},
  };
  for (const Case& c : cases) {
    TestingScope scope;
    Rescript();
    if (c.noshortnames) Testing().shortnames = {{widefolder + "/setup.exe", loader}, {widefolder + "/", widefolder + "/"}};
    Testing().faults = {c.fault};
    EXPECT_EQ(255u, Run()) << c.name;
    EXPECT_EQ(std::vector<std::string>{c.message}, Testing().messages) << c.name;
    EXPECT_EQ(0u, TestingCount(Op_CreateFileA)) << c.name;
    EXPECT_EQ(0u, TestingCount(Op_DeleteFileA)) << c.name;
    EXPECT_FALSE(Read("generic").ran) << c.name;
    EXPECT_TRUE(TestingNothingOpen()) << c.name << ": " << TestingOpenSummary();
  }
}

// The loader in a folder named in another script, on a volume that keeps no
// short names that the ANSI code page holds: the own file is read through
// the wide calls, and the installer is given the path exactly as the wide
// call gave it. A short form that the code page holds is used as before.
struct WithoutShortForm : EndToEnd {
  std::string exact;      // the loader's true path (UTF-8 here, the wide call's answer)
  std::string shortform;  // a short form of it that names the same file in ASCII
  WithoutShortForm() {
    const std::string folder = dir.File("\xC5\x81\xC3\xB3" "d\xC5\xBA-\xE6\x97\xA5\xE6\x9C\xAC");  // Łódź-日本
    mkdir(folder.c_str(), 0700);
    mkdir(dir.File("__D_~2VV").c_str(), 0700);
    exact = folder + "/setup.exe";
    shortform = dir.File("__D_~2VV") + "/setup.exe";
  }
  void Script() {
    Testing().modulepath = dir.path + "/L?dz-?" "?/setup.exe";
    Testing().widemodulepath = exact;
  }
};

TEST_F(WithoutShortForm, TheExactPathIsReadAndPassed) {
  loader = exact;
  WriteLoader(0x01, {Installer(GenericInstallerId, "generic", 7)}, "<|/tag|>", 70000);
  ASSERT_EQ(0, system(("cp '" + exact + "' '" + shortform + "'").c_str()));
  struct Case {
    const char* name;
    std::vector<std::pair<std::string, std::string>> shortnames;
    std::vector<TestingFault> faults;
    bool exactpassed;
  } cases[] = {
      {"a short form in the code page", {{exact, shortform}}, {}, false},
      {"no short names: the short form is the long one", {{exact, exact}}, {}, true},
      {"GetShortPathNameW finds no file", {}, {{Op_GetShortPathNameW, 1, ERROR_FILE_NOT_FOUND}}, true},
      {"GetShortPathNameW is denied", {}, {{Op_GetShortPathNameW, 1, ERROR_ACCESS_DENIED}}, true},
      {"the short form does not fit", {{exact, "/" + std::string(600, 's')}}, {}, true},
      {"the short form cannot be converted", {{exact, shortform}}, {{Op_WideCharToMultiByte, 1, 122}}, true},
      {"the short form is outside the code page too", {{exact, dir.File("\xE6\x97\xA5~1/setup.exe")}}, {}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TestingScope fresh;
    Testing().temppath = temp;
    Script();
    Testing().shortnames = c.shortnames;
    Testing().faults = c.faults;
    EXPECT_EQ(7u, Run({"own"}));
    EXPECT_TRUE(Testing().messages.empty());
    ASSERT_TRUE(Read("generic").ran);
    unlink(RecordPath("generic").c_str());
    const std::string passed = c.exactpassed ? exact : shortform;
    // The tag was read through the path, and the path goes last.
    const std::vector<std::string> lines = CallsOf(Op_CreateProcessW);
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ("\"" + ExpectedCopy() + "\"  /tag own \"" + passed + "\"", lines[0]);
    // The package, the version block and the tag through the wide calls, or
    // all through the ANSI ones.
    const std::vector<std::string> wide = c.exactpassed ? std::vector<std::string>{exact, exact}
                                                        : std::vector<std::string>{};
    EXPECT_EQ(wide, CallsOf(Op_CreateFileW));
    EXPECT_EQ(c.exactpassed ? 1u : 0u, TestingCount(Op_GetFileVersionInfoSizeW));
    EXPECT_EQ(c.exactpassed ? 0u : 1u, TestingCount(Op_GetFileVersionInfoSizeA));
    const std::vector<std::string> ansi = CallsOf(Op_CreateFileA);
    EXPECT_EQ(c.exactpassed ? 0 : 2, std::count(ansi.begin(), ansi.end(), shortform));
    ExpectCleanEnd();
  }
}
