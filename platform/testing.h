// The testing backend: wraps another backend (usually the posix one, so tests
// run over real files) and can fail any call with a chosen error, make reads
// and writes short, script the values that describe the running system,
// record every call, and count what is open (handles, mappings, views, heap
// blocks, global blocks) so that a test can assert nothing is left behind.
// Where the posix backend answers otherwise than Windows, it answers as
// Windows does: removing an environment variable that is not set fails with
// ERROR_ENVVAR_NOT_FOUND.
//
// Test-only code: it uses the standard library freely.
#pragma once

#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"

// Fail the `nth` call (1-based) of `op` with `error`: the call is not passed
// on, it returns the operation's failure value and GetLastError gives
// `error`. With `op` == PlatformOpCount, the nth failable call of any
// operation fails (a fault sweep).
//
// Failable (counted in `failablecalls`, hit by sweeps): every operation except
// the void ones (GetSystemInfo, ExitProcess, Sleep, SetLastError,
// OutputDebugStringA), GetLastError, GetCurrentProcessId, GetProcessHeap,
// lstrlenA, lstrcpynA, wvsprintfA, GetCommandLineA, GetCommandLineW, GetModuleHandleA,
// GetProcAddress, and the releases HeapFree, GlobalFree, CloseHandle and
// UnmapViewOfFile (failing a release would only make a false leak).
//
// A fault that names its operation applies to any operation with a result
// except GetLastError, failable or not. Naming a release is the way to test a
// caller that ignores a failed release: the release still happens (so the
// accounting stays true) and the failure value and error are reported.
// Faults on void operations are ignored.
//
// With `site` set (see `sitebase`), `nth` counts only the calls of `op` made
// from that call site. `persistent` fails the nth matching call and every
// later one.
struct TestingFault {
  PlatformOp op;
  uint32_t nth;
  DWORD error;
  uint64_t site = 0;
  bool persistent = false;
};

struct TestingCall {
  PlatformOp op;
  std::string detail;  // the path, text or number that tells calls apart
  uint64_t site = 0;   // where in the loader the call was made (with `sitebase`)
};

struct TestingBackend {
  const Platform* inner = nullptr;

  // Injected faults.
  std::vector<TestingFault> faults;
  uint32_t shortread = 0;   // at most this many bytes per ReadFile (0: no limit)
  uint32_t shortwrite = 0;  // at most this many bytes per WriteFile (0: no limit)
  uint32_t zerowriteat = 0; // the nth WriteFile succeeds having written 0 bytes
  bool sleepforreal = false;  // Sleep is recorded and returns at once unless set

  // Call sites. When set, each call records its site: a hash of the return
  // addresses on the stack from the call up to the frame of the function
  // that starts at `sitebase` (the test's own caller of the loader, which
  // must not be inlined and must be shorter than 256 bytes), so that the
  // same call in the code gives the same site in every run of the process.
  const void* sitebase = nullptr;

  // Scripted values; unset means the inner backend's answer.
  std::optional<DWORD> platformid;
  std::optional<WORD> architecture;  // reported by both system-information calls
  bool nativesysteminfomissing = false;  // GetProcAddress finds no GetNativeSystemInfo
  std::optional<DWORD> processid;
  std::optional<std::string> temppath;   // GetTempPathA's answer ("" makes it fail)
  std::optional<std::string> modulepath; // GetModuleFileNameA's answer ("" makes it fail)
  std::optional<std::vector<uint8_t>> moduleimage;  // GetModuleHandleA(NULL)'s bytes
  std::optional<std::string> commandline;  // GetCommandLineA's answer
  // GetCommandLineW's answer, in UTF-8. Unset: `commandline` as the ANSI
  // code page reads it, or the inner backend's answer when that is unset too.
  std::optional<std::string> widecommandline;
  // The flags of the process's window station (GetUserObjectInformationA
  // with UOI_FLAGS); unset: the inner backend's answer.
  std::optional<DWORD> windowstationflags;
  // The wide path calls, in UTF-8. Unset: the ANSI script above as the
  // ANSI code page reads it (a system whose code page holds the path), or
  // the inner backend's answer when that is unset too. "" makes the call fail.
  std::optional<std::string> widemodulepath;  // GetModuleFileNameW's answer
  std::optional<std::string> widetemppath;    // GetTempPathW's answer
  // GetShortPathNameW's answers: long path -> short path, in UTF-8; other
  // paths go to the inner backend.
  std::vector<std::pair<std::string, std::string>> shortnames;

  // What happened.
  std::vector<TestingCall> calls;
  uint32_t counts[PlatformOpCount] = {};
  uint32_t failablecalls = 0;   // failable calls so far (for sweeps)
  std::map<std::pair<uint32_t, uint64_t>, uint32_t> sitecalls;  // calls so far per (op, site)
  uint32_t injected = 0;        // faults injected so far
  std::vector<std::string> messages;  // MessageBoxA texts, in order
  std::vector<DWORD> sleeps;          // Sleep arguments, in order
  std::optional<UINT> exitcode;       // ExitProcess's argument
  uint32_t nativesysteminfocalls = 0; // calls of the GetNativeSystemInfo that GetProcAddress gave

  // What is open now.
  int openhandles = 0;   // files and processes/threads (not mappings)
  int openmappings = 0;
  int openviews = 0;
  int liveblocks = 0;    // HeapAlloc blocks
  uint64_t heapbytes = 0;      // bytes in live HeapAlloc blocks
  uint64_t peakheapbytes = 0;  // the most that heapbytes has been
  int liveglobals = 0;   // GlobalAlloc blocks

  // Bookkeeping behind the counts above (what this backend handed out).
  std::set<const void*> handleset, mappingset, viewset, blockset, globalset;
  std::map<const void*, uint64_t> blocksizes;
  std::vector<uint8_t> moduleimagecopy;  // what GetModuleHandleA(NULL) points to
  std::string commandlinecopy;           // what GetCommandLineA points to
  std::vector<WCHAR> widecommandlinecopy;  // what GetCommandLineW points to
  GetNativeSystemInfoProc innernative = nullptr;
};

// The state of the testing backend (one per process).
TestingBackend& Testing();

// Resets the state, wraps `inner`, and returns the table to install.
const Platform* TestingPlatform(const Platform* inner);

// True when nothing is open: no handle, mapping, view, heap or global block.
bool TestingNothingOpen();

// A short description of what is open, for test failure messages.
std::string TestingOpenSummary();

// Number of recorded calls of `op`.
uint32_t TestingCount(PlatformOp op);

// For a test's lifetime: installs the testing backend over the posix one
// with a fresh state, and restores the previous backend afterwards.
struct TestingScope {
  TestingScope();
  ~TestingScope();
  TestingScope(const TestingScope&) = delete;
  TestingScope& operator=(const TestingScope&) = delete;
  const Platform* previous;
};
