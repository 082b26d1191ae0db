// The whole-run fault sweep. A package that takes every path of a run: a
// stub with a real version resource whose Arguments value is set, a build
// that is skipped before the chosen one, a read-only installer, a
// signature-like tail, and each form of the trailing tag. Every call site of
// the loader that can be failed (found from the testing backend's record of
// clean runs, not listed by hand) is failed once at its first call, once at
// its last, and from its first call on, with each error the code can meet
// there. Each run must end as the table below says for that site: exit code
// and message, the installer's exact command line when it ran, and the
// temporary directory empty afterwards.
//
// Calls that only a failing run makes (the report's formatter and message
// box, the removal's retries, the releases on the way out of a failed step)
// are sites of their own, found from the record of the failing runs: each
// is failed in the same ways, as a second fault in the run that reached it.
// The first failure still decides the exit code; the message is the one
// that can still be shown.
#include <gtest/gtest.h>

#include <dirent.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "launcher/loader_main.h"
#include "launcher_support.h"
#include "package/file_buffer.h"
#include "package/records.h"
#include "platform/posix.h"
#include "platform/testing.h"
#include "support/file_bytes.h"
#include "support/scratch_dir.h"
#include "support/windows_exe.h"
#include "tools/writer/writer.h"

using namespace std::string_literals;

namespace {

// The loader is run from here only, so that call sites have the same stacks
// in every run.
__attribute__((noinline)) uint32_t SweepRunLoader() {
  uint32_t code = RunLoader();
  asm volatile("" ::: "memory");  // keeps the call from being a tail call
  return code;
}

const int kInstallerExit = 77;
const char kArguments[] = "/lang=de /quiet";

// The steps of a run, in order; a site belongs to the step of its first call.
enum Step {
  StartUp,
  Extraction,
  Hold,
  VersionArguments,
  LoaderPathValue,
  TrailingTag,
  // The pieces of the command line in UTF-16, each begun by its length.
  PieceTempPathText,
  PieceArgumentsText,
  PieceTagText,
  PieceOwnPathText,
  CommandLine,
  Launch,
  Wait,
  Removal
};
const char* const kStepNames[] = {"start-up", "extraction", "hold",   "arguments", "loader path",
                                  "tag",      "temporary path in UTF-16", "Arguments in UTF-16",
                                  "tag in UTF-16", "own path in UTF-16", "command line", "launch", "wait",
                                  "removal"};

// The tails that follow the archive.
struct Tail {
  const char* name;
  std::string bytes;  // appended after the signature-like block
  std::string tagtext;  // the tag's text as the installer gets it
};

struct Site {
  PlatformOp op;
  uint64_t site;
  Step step;
  std::string detail;   // of its first call
  uint32_t calls;       // in the clean run
  size_t variant;       // the tail under which it is swept
};

enum Mode { FirstCall, LastCall, FromFirstCall };
const char* const kModeNames[] = {"first call", "last call", "every call"};

// What a run must come to.
struct Outcome {
  uint32_t exitcode = kInstallerExit;
  std::string message;        // the one message of a loader failure ("" for none)
  bool ran = true;            // the installer ran ...
  bool witharguments = true;  // ... with the Arguments value
  bool withtag = true;        // ... and the tag's text
  bool withown = true;        // ... and the loader's own arguments
  bool copyleft = false;      // the removal could not delete the copy
  bool stillrunning = false;  // the loader stopped waiting: the installer may
                              // not have begun, and its copy may stay in use
};

Outcome Fails(uint32_t exitcode, const std::string& message) {
  Outcome outcome;
  outcome.exitcode = exitcode;
  outcome.message = message;
  outcome.ran = false;
  return outcome;
}

// A whole message, or the start of one that ends in text of the run's own.
void ExpectMessage(const std::string& want, const std::string& got) {
  if (want.back() == '\n') {
    EXPECT_EQ(want, got);
  } else {
    EXPECT_EQ(0u, got.find(want)) << got;
  }
}

struct FullRunSweep : ::testing::Test {
  ScratchDir dir;
  std::string temp = dir.File("tmp") + "/";
  std::string loader = dir.File("setup.exe");
  std::string record = dir.File("record");
  std::vector<uint8_t> stub;
  std::vector<Tail> tails;
  std::vector<std::string> arguments = {"/own", "two words"};

  void SetUp() override {
    mkdir(temp.c_str(), 0700);
    const std::string resources =
        "1 VERSIONINFO\nFILEVERSION 1,0,0,0\nBEGIN\n  BLOCK \"StringFileInfo\"\n  BEGIN\n    BLOCK \"000004b0\"\n"
        "    BEGIN\n      VALUE \"Arguments\", \""s + kArguments +
        "\"\n    END\n  END\n  BLOCK \"VarFileInfo\"\n  BEGIN\n    VALUE \"Translation\", 0x0000, 0x04B0\n  END\nEND\n";
    std::string path = BuildWindowsExe(dir, "stub", resources);
    if (path.empty()) GTEST_SKIP() << "i686-w64-mingw32-gcc and -windres are needed";
    stub = ReadFileBytes(path);
    tails = {
        {"UTF-8 tag", "\xEF\xBB\xBF<|/t=caf\xC3\xA9 /u|>", "/t=caf\xE9 /u"},
        {"UTF-16 tag", "<\0|\0/\0w\0=\0\xE9\0|\0>\0"s, "/w=\xE9"},
        {"UTF-16 tag, one byte further", "X<\0|\0/\0o\0|\0>\0"s, "/o"},
        {"plain tag", "<|/plain \xE9|>", "/plain \xE9"},
        {"no tag", "", ""},
    };
  }

  // The installer: records that it ran, and exits with kInstallerExit.
  PackageEntry Installer(uint64_t id, uint32_t attributes) const {
    std::string script = "#!/bin/sh\nprintf '%s\\n' \"$@\" > '" + record + "'\nexit " +
                         std::to_string(kInstallerExit) + "\n";
    PackageEntry entry;
    entry.idlow = static_cast<uint32_t>(id);
    entry.idhigh = static_cast<uint32_t>(id >> 32);
    entry.data.assign(script.begin(), script.end());
    // Enough data for several reads of the package and writes of the copy.
    uint32_t seed = static_cast<uint32_t>(id);
    for (int i = 0; i < 70000; ++i) {
      seed = seed * 1103515245u + 12345u;
      entry.data.push_back(static_cast<uint8_t>(seed >> 16));
    }
    entry.lastwritetime = 132000000000000000ull;
    entry.attributes = attributes;
    return entry;
  }

  void WriteLoader(const Tail& tail) {
    PackageOptions options;
    options.dictionarysize = 1u << 16;
    options.preset = 0;
    std::vector<uint8_t> file;
    // The generic build comes first and is skipped on this host (NT x64).
    ASSERT_EQ(0u, WriteLoaderFile(stub, PLATFORM_FLAG_GENERIC | PLATFORM_FLAG_NT_X64,
                                  {Installer(GenericInstallerId, FILE_ATTRIBUTE_NORMAL),
                                   Installer(NtX64InstallerId, FILE_ATTRIBUTE_READONLY)},
                                  options, &file));
    // A signature-like block (a WIN_CERTIFICATE header and DER bytes), then the tag.
    std::string signature = "\x08\x04\0\0\0\x02\x02\0" "0\x82\x03\xfa\x06\x09*\x86H\x86\xf7\r\x01\x07\x02"s;
    signature.resize(1032, '\x5a');
    std::string bytes(file.begin(), file.end());
    WriteFileText(loader, bytes + signature + tail.bytes);
  }

  uint32_t Run() {
    EXPECT_EQ(0u, PosixSetModule(loader.c_str()));
    std::vector<const char*> argv;
    for (const std::string& a : arguments) argv.push_back(a.c_str());
    PosixSetArguments(static_cast<int>(argv.size()), argv.data());
    unlink(record.c_str());
    return SweepRunLoader();
  }

  // A fresh testing backend that records sites.
  void Fresh() {
    TestingPlatform(PosixPlatform());
    Testing().temppath = temp;
    Testing().sitebase = reinterpret_cast<const void*>(&SweepRunLoader);
  }

  std::string ExpectedCopy() const { return ExpectedCopyIn(temp); }

  std::string OwnPath() const { return ResolvedPath(loader); }

  // The installer's command line for this tail, less the pieces that `outcome` drops.
  std::string ExpectedLine(const Tail& tail, const Outcome& outcome) const {
    return "\"" + ExpectedCopy() + "\" " + (outcome.witharguments ? kArguments : "") + " " +
           (outcome.withtag ? tail.tagtext : "") + " " + (outcome.withown ? "/own \"two words\"" : "") + " \"" +
           OwnPath() + "\"";
  }

  // The command line that CreateProcessW was given last (recorded in UTF-8),
  // in the ANSI code page that the expected pieces are written in; or "".
  std::string LastLine() const {
    std::vector<std::string> lines = CallsOf(Op_CreateProcessW);
    if (lines.empty() || lines.back().empty()) return "";
    const std::string& line = lines.back();
    std::vector<WCHAR> units(line.size());
    int count = PosixPlatform()->MultiByteToWideChar(CP_UTF8, 0, line.data(), static_cast<int>(line.size()),
                                                     units.data(), static_cast<int>(units.size()));
    std::string ansi(static_cast<size_t>(count) * 2, '\0');
    int bytes = PosixPlatform()->WideCharToMultiByte(CP_ACP, 0, units.data(), count, &ansi[0],
                                                     static_cast<int>(ansi.size()), nullptr, nullptr);
    ansi.resize(bytes > 0 ? static_cast<size_t>(bytes) : 0);
    return ansi;
  }

  void CheckOutcome(const Tail& tail, const Outcome& want, uint32_t exitcode) {
    EXPECT_EQ(want.exitcode, exitcode);
    if (want.message.empty()) {
      EXPECT_TRUE(Testing().messages.empty()) << Testing().messages[0];
    } else if (Testing().messages.size() != 1) {
      ADD_FAILURE() << Testing().messages.size() << " messages";
    } else {
      ExpectMessage(want.message, Testing().messages[0]);
    }
    if (want.stillrunning) {
      EXPECT_EQ(ExpectedLine(tail, want), LastLine());
      // Nothing waited for the installer (it may not even have begun): let
      // it end before its copy is looked at, and before a later run could
      // see its record. Its process is this one's only child.
      for (;;) {
        int status;
        if (waitpid(-1, &status, 0) < 0 && errno != EINTR) break;
      }
      unlink(ExpectedCopy().c_str());
    } else if (want.ran) {
      EXPECT_EQ(ExpectedLine(tail, want), LastLine());
      EXPECT_TRUE(FileExists(record)) << "the installer did not run";
    } else {
      EXPECT_FALSE(FileExists(record)) << "the installer ran";
    }
    EXPECT_TRUE(TestingNothingOpen()) << TestingOpenSummary();
    std::vector<std::string> left = TempEntries();
    if (want.copyleft) {
      EXPECT_EQ(std::vector<std::string>{ExpectedCopy().substr(temp.size())}, left);
      chmod(ExpectedCopy().c_str(), 0700);
      unlink(ExpectedCopy().c_str());
    } else {
      EXPECT_TRUE(left.empty()) << left[0];
    }
  }

  std::vector<std::string> TempEntries() const {
    std::vector<std::string> names;
    DIR* d = opendir(temp.c_str());
    if (d == nullptr) return {"(cannot list)"};
    while (dirent* e = readdir(d)) {
      std::string name = e->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(d);
    return names;
  }
};

// The step of each call of a clean run, from the calls that begin the steps.
std::vector<Step> StepsOf(const std::vector<TestingCall>& calls) {
  std::vector<Step> steps;
  Step step = StartUp;
  bool tempdir = false;
  bool written = false;
  for (const TestingCall& call : calls) {
    // The start-up ends with the temporary name formed.
    if (step == StartUp && tempdir && !steps.empty() && calls[steps.size() - 1].op == Op_wvsprintfA) step = Extraction;
    if (call.op == Op_GetTempPathA) tempdir = true;
    // The copy, written, is held open until its process is created.
    if (step == Extraction && call.op == Op_WriteFile) written = true;
    if (step == Extraction && written && call.op == Op_CreateFileA) step = Hold;
    // The own file is read through the wide calls where its path has no ANSI form.
    if (step <= Hold && (call.op == Op_GetFileVersionInfoSizeA || call.op == Op_GetFileVersionInfoSizeW))
      step = VersionArguments;
    // The same block is asked for "LoaderPath" once "Arguments" is copied.
    if (step == VersionArguments && call.op == Op_VerQueryValueA && !steps.empty() &&
        calls[steps.size() - 1].op == Op_lstrcpynA)
      step = LoaderPathValue;
    if ((step == VersionArguments || step == LoaderPathValue) &&
        (call.op == Op_CreateFileA || call.op == Op_CreateFileW))
      step = TrailingTag;
    if (step >= TrailingTag && step < PieceOwnPathText && call.op == Op_lstrlenA) step = static_cast<Step>(step + 1);
    if (step == PieceOwnPathText && call.op == Op_GetCommandLineW) step = CommandLine;
    if (step == CommandLine && call.op == Op_CreateProcessW) step = Launch;
    if (step == Launch && call.op != Op_CreateProcessW) step = Wait;
    if (step == Wait && call.op == Op_SetFileAttributesA) step = Removal;
    steps.push_back(step);
  }
  return steps;
}

// The calls that take part in the sweep: every operation that reports a
// failure. Not the void ones, GetLastError, nor the two whose result is a
// value and not a report (a process id, a length).
bool CanFail(PlatformOp op) {
  switch (op) {
    case Op_GetSystemInfo:
    case Op_ExitProcess:
    case Op_Sleep:
    case Op_SetLastError:
    case Op_OutputDebugStringA:
    case Op_GetLastError:
    case Op_GetCurrentProcessId:
    case Op_lstrlenA:
      return false;
    default:
      return true;
  }
}

// The errors a call can meet: every file call also 5 (access denied) and
// 32 (sharing violation), which a scanner or another process holding the
// file gives.
std::vector<DWORD> ErrorsOf(PlatformOp op) {
  switch (op) {
    case Op_HeapAlloc:
    case Op_GlobalAlloc:
      return {ERROR_NOT_ENOUGH_MEMORY};
    case Op_CreateFileA:
    case Op_GetFileAttributesA:
    case Op_DeleteFileA:
      return {ERROR_ACCESS_DENIED, ERROR_SHARING_VIOLATION, ERROR_FILE_NOT_FOUND};
    case Op_ReadFile:
    case Op_SetFilePointer:
    case Op_GetFileSize:
    case Op_SetFileAttributesA:
    case Op_SetFileTime:
      return {ERROR_ACCESS_DENIED, ERROR_SHARING_VIOLATION, ERROR_NOT_ENOUGH_MEMORY};
    case Op_WriteFile:
      return {ERROR_ACCESS_DENIED, ERROR_SHARING_VIOLATION, 112 /* ERROR_DISK_FULL */};
    case Op_CreateFileMappingA:
    case Op_MapViewOfFile:
      return {ERROR_ACCESS_DENIED, ERROR_NOT_ENOUGH_MEMORY};
    case Op_GetFileVersionInfoSizeA:
    case Op_GetFileVersionInfoA:
    case Op_VerQueryValueA:
      return {ERROR_ACCESS_DENIED, ERROR_SHARING_VIOLATION, 1813 /* ERROR_RESOURCE_TYPE_NOT_FOUND */};
    case Op_CreateProcessW:
      return {ERROR_ACCESS_DENIED, ERROR_SHARING_VIOLATION, 193 /* ERROR_BAD_EXE_FORMAT */};
    case Op_GetTempPathA:
      return {ERROR_ACCESS_DENIED, ERROR_PATH_NOT_FOUND};
    case Op_GetModuleFileNameA:
      return {ERROR_ACCESS_DENIED, ERROR_INSUFFICIENT_BUFFER};
    case Op_GetShortPathNameW:
      return {ERROR_ACCESS_DENIED, ERROR_FILE_NOT_FOUND};
    case Op_MultiByteToWideChar:
    case Op_WideCharToMultiByte:
      return {ERROR_INSUFFICIENT_BUFFER, 1113 /* ERROR_NO_UNICODE_TRANSLATION */};
    case Op_GetModuleHandleA:
      return {126 /* ERROR_MOD_NOT_FOUND */};
    case Op_GetProcAddress:
      return {ERROR_PROC_NOT_FOUND};
    case Op_MsgWaitForMultipleObjects:
    case Op_GetExitCodeProcess:
    case Op_CloseHandle:
      return {ERROR_INVALID_HANDLE, ERROR_ACCESS_DENIED};
    default:
      return {ERROR_INVALID_PARAMETER};
  }
}

// The table: what failing a site gives, by its step and operation. `first`
// is the detail of the first call that fails, `error` its error, `once`
// whether only that call fails. `headerread` marks the package file's first
// read, which fills the buffer that the archive's headers come from.
Outcome Expected(const Site& site, const std::string& first, DWORD error, bool once, bool headerread,
                 const std::string& copy) {
  const std::string e = std::to_string(error);
  const std::string extraction = "Extraction of the installer failed => ";
  Outcome runs;
  Outcome noarguments;
  noarguments.witharguments = false;
  Outcome notag;
  notag.withtag = false;
  Outcome copyleft;
  copyleft.copyleft = true;
  switch (site.step) {
    case StartUp:
      switch (site.op) {
        case Op_GetVersionExA:
          return Fails(255, "GetVersionEx() failed => " + e + "\n");
        case Op_GetModuleHandleA:  // the own image, or kernel32 for GetNativeSystemInfo
          return site.detail.empty() ? Fails(254, "Executable has no valid MZ/pwr5 signature\n") : runs;
        case Op_GetModuleFileNameA:
          return Fails(255, "GetModuleFileName() failed => " + e + "\n");
        case Op_GetTempPathA:
          return Fails(255, "GetTempPath() failed => " + e + "\n");
        case Op_GetModuleFileNameW:  // the exact own path and temporary directory on NT
        case Op_GetTempPathW:
          return Fails(255, OpName(site.op) + "() failed => " + e + "\n");
        case Op_wvsprintfA:  // the temporary name cannot be formed
          return Fails(255, "wsprintf() failed => " + e + "\n");
        default:
          return runs;  // the process heap is taken again when first needed; GetSystemInfo stands in
      }
    case Extraction:
      switch (site.op) {
        case Op_HeapAlloc:
          return Fails(250, extraction + "8\n");
        case Op_CreateFileA:
        case Op_SetFilePointer:
        case Op_WriteFile:
          return Fails(250, extraction + e + "\n");
        case Op_ReadFile:
          // A fill's first read gives the error while the headers are read
          // and a read fault once the decoder reads; a later read of a fill
          // that failed alone is dropped, since the fill has data.
          if (first != std::to_string(FILE_BUFFER_SIZE) && once) return runs;
          return Fails(250, extraction + (headerread ? e : "30") + "\n");
        default:
          return runs;  // attributes and time of the copy, releases
      }
    case Hold:
      return site.op == Op_CreateFileA ? Fails(252, "CreateFile(" + copy + ") failed => " + e + "\n") : runs;
    case VersionArguments:
      return site.op == Op_HeapFree ? runs : noarguments;
    case LoaderPathValue:
      return runs;  // no value read means the default: the path goes last, as it does here
    case TrailingTag:
      return site.op == Op_CloseHandle || site.op == Op_HeapFree || site.op == Op_UnmapViewOfFile ? runs : notag;
    case PieceTempPathText:
    case PieceOwnPathText:
      // Without a path there is no line to start; the size said is the line's.
      return site.op == Op_GlobalFree ? runs : Fails(252, "GlobalAlloc(");
    case PieceArgumentsText:
      return site.op == Op_GlobalFree ? runs : noarguments;
    case PieceTagText:
      return site.op == Op_GlobalFree ? runs : notag;
    case CommandLine:
      // The variable that an outer loader may have left must go: the
      // installer library would read it before the last argument.
      if (site.op == Op_SetEnvironmentVariableA) return Fails(252, "SetEnvironmentVariable() failed => " + e + "\n");
      if (site.op == Op_GetCommandLineW) {
        Outcome noown;
        noown.withown = false;
        return noown;
      }
      return Fails(252, "GlobalAlloc(" + site.detail + ") failed => 8\n");
    case Launch:
      return Fails(252, "CreateProcess(" + copy + ") failed => " + e + "\n");
    case Wait:
      if (site.op == Op_MsgWaitForMultipleObjects) {
        Outcome outcome;
        outcome.exitcode = 251;
        outcome.stillrunning = true;
        outcome.message = "MsgWaitForMultipleObjects(" + copy + ") failed 4294967295 => " + e + "\n";
        return outcome;
      }
      if (site.op == Op_GetExitCodeProcess) {
        Outcome outcome;
        outcome.exitcode = 251;
        outcome.message = "GetExitCodeProcess(" + copy + ") failed => " + e + "\n";
        return outcome;
      }
      return runs;  // releases
    case Removal:
      // The attributes are reset before each retry, and a deletion denied
      // (5) or shared (32) is retried: one failure is overcome; a lasting
      // one, or another error, leaves the copy.
      if (once && (site.op == Op_SetFileAttributesA || error == ERROR_ACCESS_DENIED ||
                   error == ERROR_SHARING_VIOLATION))
        return runs;
      return copyleft;
  }
  return runs;
}

// A call site that only failing runs reach, and the faults under which it is
// swept: those of the run that reached it most often (one fault of a site
// of the clean runs, or that and the faults that reached a failure-path
// site in turn).
struct PathSite {
  PlatformOp op;
  uint64_t site;
  std::vector<TestingFault> context;  // the faults that reach it
  Outcome before;                     // ... and what they alone give
  std::string within;                 // ... described
  size_t variant;                     // the tail under which it is swept
  std::vector<std::string> details;   // of its calls under those faults
  bool report;     // the formatter of a failure message
  bool aftertemp;  // first called once the temporary directory was asked for
  Step step;       // of its first call
  bool inreport;   // first called while a failure was reported
};

// The table for the sites that only failing runs reach: what failing one
// (its `nth` call, with `error`) makes of the outcome of the faults that
// reached it.
Outcome ExpectedOnFailurePath(const PathSite& path, uint32_t nth, DWORD error) {
  const Outcome& first = path.before;
  if (path.report) {
    // A message that cannot be formatted is shown as its format.
    Outcome outcome = first;
    outcome.message = path.details[nth - 1];
    return outcome;
  }
  switch (path.op) {
    case Op_MessageBoxA: {
      Outcome outcome = first;
      outcome.message.clear();
      return outcome;
    }
    case Op_GetProcessHeap:  // taken again when first needed, and failing again: nothing can be allocated
      return Fails(250, "Extraction of the installer failed => 8\n");
    case Op_GetShortPathNameW:  // a path taken for lossy, whose short form cannot be had
    case Op_WideCharToMultiByte:
    case Op_MultiByteToWideChar:
      // The own path is then read and passed exactly as the wide call gave it;
      // a temporary directory already refused stays refused for its first reason.
      if (!path.aftertemp || first.exitcode == 255) return first;
      return Fails(255, "No short (8.3) name for the temporary directory, which the ANSI code page cannot hold => "s +
                            std::to_string(path.op == Op_MultiByteToWideChar ? 1113u : error) + "\n");
    case Op_CreateFileW:  // the own file read through its exact path
    case Op_GetFileVersionInfoSizeW:
    case Op_GetFileVersionInfoW: {
      if (path.inreport) return first;  // the box is shown, as for a file without the value
      if (path.step == Extraction)
        return Fails(250, "Extraction of the installer failed => " + std::to_string(error) + "\n");
      Outcome outcome = first;
      if (path.step == TrailingTag) {
        outcome.withtag = false;
      } else {
        outcome.witharguments = false;
      }
      return outcome;
    }
    default:
      return first;  // releases on the way out, the removal's look at what refused deletion
  }
}

}  // namespace

TEST_F(FullRunSweep, EveryCallSiteFailedEndsAsItsStepSays) {
  TestingScope scope;
  typedef std::pair<uint32_t, uint64_t> Key;  // operation and site
  std::vector<Site> sites;
  std::map<Key, std::vector<std::string>> details;  // of each call, per site
  std::set<uint64_t> headerreads;
  for (size_t v = 0; v < tails.size(); ++v) {
    WriteLoader(tails[v]);
    Fresh();
    ASSERT_EQ(static_cast<uint32_t>(kInstallerExit), Run()) << tails[v].name;
    const std::vector<TestingCall> calls = Testing().calls;
    ASSERT_EQ(ExpectedLine(tails[v], Outcome()), LastLine()) << tails[v].name;
    const std::vector<Step> steps = StepsOf(calls);
    std::set<Key> here;
    for (size_t i = 0; i < calls.size(); ++i) {
      const TestingCall& call = calls[i];
      if (!CanFail(call.op)) continue;
      ASSERT_NE(0u, call.site) << OpName(call.op) << " was not called through the sweep's base";
      Key key(call.op, call.site);
      if (call.op == Op_ReadFile && headerreads.empty()) headerreads.insert(call.site);
      if (details.count(key) != 0 && here.count(key) == 0) continue;  // swept under an earlier tail
      if (here.insert(key).second) sites.push_back({call.op, call.site, steps[i], call.detail, 0, v});
      details[key].push_back(call.detail);
    }
  }
  for (Site& s : sites) {
    s.calls = static_cast<uint32_t>(details[{s.op, s.site}].size());
    printf("site %-26s %-12s %2u call(s), %-28s %s\n", OpName(s.op).c_str(), kStepNames[s.step], s.calls,
           tails[s.variant].name, s.detail.substr(0, 48).c_str());
  }

  // The fault of site `n`, mode and error, and what it alone must give.
  auto primaryfault = [&](size_t n, Mode mode, DWORD error) {
    const Site& site = sites[n];
    const uint32_t nth = mode == LastCall ? site.calls : 1;
    return TestingFault{site.op, nth, error, site.site, mode == FromFirstCall};
  };
  auto primaryoutcome = [&](size_t n, Mode mode, DWORD error) {
    const Site& site = sites[n];
    const uint32_t nth = mode == LastCall ? site.calls : 1;
    return Expected(site, details[{site.op, site.site}][nth - 1], error, mode != FromFirstCall,
                    headerreads.count(site.site) != 0, ExpectedCopy());
  };
  auto describe = [&](size_t n, Mode mode, DWORD error) {
    const Site& site = sites[n];
    return OpName(site.op) + " in the " + kStepNames[site.step] + " (" + site.detail.substr(0, 50) + "), " +
           kModeNames[mode] + ", error " + std::to_string(error) + ", " + tails[site.variant].name;
  };

  size_t runs = 0;
  std::set<size_t> reached;
  std::vector<PathSite> paths;  // in the order found
  std::map<Key, size_t> pathindex;
  // The sites of the run just made that neither a clean run nor an earlier
  // failing run has shown: each is swept under the faults of the run that
  // calls it most often, among those made before its turn comes.
  auto discover = [&](const std::vector<TestingFault>& context, const Outcome& before, const std::string& within,
                      size_t variant, size_t processed) {
    const std::vector<TestingCall>& made = Testing().calls;
    const std::vector<Step> steps = StepsOf(made);
    std::map<Key, PathSite> seen;
    std::vector<Key> order;
    bool aftertemp = false;
    bool inreport = false;
    for (size_t i = 0; i < made.size(); ++i) {
      const TestingCall& call = made[i];
      aftertemp = aftertemp || call.op == Op_GetTempPathA;
      if (call.op == Op_OutputDebugStringA) inreport = true;
      if (call.op == Op_MessageBoxA) inreport = false;
      if (!CanFail(call.op)) continue;
      if (call.site == 0) {
        ADD_FAILURE() << OpName(call.op) << " was not called through the sweep's base";
        continue;
      }
      const Key key(call.op, call.site);
      if (details.count(key) != 0) continue;
      auto it = seen.find(key);
      if (it == seen.end()) {
        it = seen.emplace(key, PathSite{call.op, call.site, context, before, within, variant, {}, false, aftertemp,
                                        steps[i], inreport})
                 .first;
        order.push_back(key);
      }
      it->second.details.push_back(call.detail);
      // The report hands the formatted text to the debugger output next.
      if (call.op == Op_wvsprintfA && i + 1 < made.size() && made[i + 1].op == Op_OutputDebugStringA)
        it->second.report = true;
    }
    for (const Key& key : order) {
      auto known = pathindex.find(key);
      if (known == pathindex.end()) {
        pathindex[key] = paths.size();
        paths.push_back(seen[key]);
      } else if (known->second >= processed && paths[known->second].details.size() < seen[key].details.size()) {
        paths[known->second] = seen[key];
      }
    }
  };

  for (size_t n = 0; n < sites.size(); ++n) {
    const Site& site = sites[n];
    WriteLoader(tails[site.variant]);
    for (Mode mode : {FirstCall, LastCall, FromFirstCall}) {
      if (mode == LastCall && site.calls < 2) continue;
      for (DWORD error : ErrorsOf(site.op)) {
        const std::string within = describe(n, mode, error);
        SCOPED_TRACE(within);
        Fresh();
        Testing().faults = {primaryfault(n, mode, error)};
        const uint32_t exitcode = Run();
        ++runs;
        if (Testing().injected != 0) reached.insert(n);
        const Outcome want = primaryoutcome(n, mode, error);
        CheckOutcome(tails[site.variant], want, exitcode);
        discover(Testing().faults, want, within, site.variant, 0);
      }
    }
  }
  EXPECT_EQ(sites.size(), reached.size()) << "sites never failed";
  for (size_t n = 0; n < sites.size(); ++n)
    if (reached.count(n) == 0) ADD_FAILURE() << "not reached: " << OpName(sites[n].op) << " " << sites[n].detail;

  // Each failure-path site failed in its turn, inside a run that the faults
  // before it already make fail; what that run shows anew joins the list.
  size_t pathruns = 0;
  std::set<size_t> pathreached;
  for (size_t n = 0; n < paths.size(); ++n) {
    const PathSite path = paths[n];  // a copy: the list grows
    printf("failure-path site %-20s %2zu call(s), %zu fault(s) before, under %s: %s\n", OpName(path.op).c_str(),
           path.details.size(), path.context.size(), path.within.c_str(), path.details[0].substr(0, 40).c_str());
    WriteLoader(tails[path.variant]);
    const uint32_t calls = static_cast<uint32_t>(path.details.size());
    for (Mode mode : {FirstCall, LastCall, FromFirstCall}) {
      if (mode == LastCall && calls < 2) continue;
      for (DWORD error : ErrorsOf(path.op)) {
        const std::string within = OpName(path.op) + " (" + path.details[0].substr(0, 50) + "), " +
                                   kModeNames[mode] + ", error " + std::to_string(error) + ", under " + path.within;
        SCOPED_TRACE(within);
        Fresh();
        const uint32_t nth = mode == LastCall ? calls : 1;
        Testing().faults = path.context;
        Testing().faults.push_back({path.op, nth, error, path.site, mode == FromFirstCall});
        const uint32_t exitcode = Run();
        ++pathruns;
        if (Testing().sitecalls[Key(path.op, path.site)] >= nth) pathreached.insert(n);
        if (path.op == Op_MessageBoxA) {
          // No box; the debugger output still has the message.
          const std::vector<std::string> debug = CallsOf(Op_OutputDebugStringA);
          ASSERT_FALSE(path.before.message.empty());
          ASSERT_EQ(1u, debug.size());
          ExpectMessage(path.before.message, debug[0]);
        }
        const Outcome want = ExpectedOnFailurePath(path, nth, error);
        CheckOutcome(tails[path.variant], want, exitcode);
        discover(Testing().faults, want, within, path.variant, n + 1);
      }
    }
  }
  printf("full-run sweep: %zu call sites and %zu on failure paths only, %zu + %zu = %zu runs\n", sites.size(),
         paths.size(), runs, pathruns, runs + pathruns);
  EXPECT_EQ(paths.size(), pathreached.size()) << "failure-path sites never failed";
  // What only failing runs call must have been found: the report's formatter
  // and message box, and the removal's look at a copy it may not delete.
  auto found = [&](PlatformOp op) {
    return std::any_of(paths.begin(), paths.end(), [&](const PathSite& path) {
      return path.op == op && (op != Op_wvsprintfA || path.report);
    });
  };
  for (PlatformOp op : {Op_wvsprintfA, Op_MessageBoxA, Op_GetFileAttributesA})
    EXPECT_TRUE(found(op)) << OpName(op) << " on no failure path";
  for (size_t n = 0; n < paths.size(); ++n)
    if (pathreached.count(n) == 0)
      ADD_FAILURE() << "not reached: " << OpName(paths[n].op) << " " << paths[n].details[0];
}
