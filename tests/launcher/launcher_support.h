// Helpers of the launcher's tests: stamped DOS headers, the recorded calls
// by name, and a scriptable layer under the testing backend for the calls
// the host cannot answer as a test needs.
#pragma once

#include <stdint.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/platform.h"

// A 64-byte DOS header: "MZ", StampMagic ("pxr5" unless given), flags and
// archive offset in their places.
std::vector<uint8_t> StampedHeader(uint8_t flags, uint32_t archiveoffset = 0x4600, const char* magic = "pxr5",
                                   const char* signature = "MZ");

// Where a loader named setup.exe puts its copy when run by this process:
// TEMPDIR (ending in '/') + "setup-XXXX.exe", the key from this process id.
std::string ExpectedCopyIn(const std::string& tempdir);

// PATH as realpath resolves it (the loader names itself so), else as given.
std::string ResolvedPath(const std::string& path);

// The name of an operation of the seam.
std::string OpName(PlatformOp op);

// The recorded calls as "Name" or "Name(detail)", leaving out the heap, the
// global allocator, GetLastError and the formatter, which every step uses.
std::vector<std::string> CallTrace(bool withdetail = true);

// Calls of one operation, as their details.
std::vector<std::string> CallsOf(PlatformOp op);

// The testing backend over a copy of the posix table in which some
// operations are replaced by the test's scripts. Installed for the scope.
struct ScriptedScope {
  ScriptedScope();
  ~ScriptedScope();
  ScriptedScope(const ScriptedScope&) = delete;
  ScriptedScope& operator=(const ScriptedScope&) = delete;
  const Platform* previous;
};

// The scripts of ScriptedScope; reset by each scope. Unset ones pass on to
// the posix backend.
struct Scripts {
  // CreateProcessW succeeds with these handles, which CloseHandle accepts.
  bool fakeprocess = false;
  std::vector<DWORD> waits;          // MsgWaitForMultipleObjects results in turn (then 0)
  std::vector<uint32_t> messages;    // per wake: how many messages PeekMessageA hands out
  uint32_t exitcode = 0;             // GetExitCodeProcess's answer for the fake process
  std::vector<HANDLE> closed;        // fake handles closed, in order
  uint32_t translated = 0;
  uint32_t dispatched = 0;
  std::vector<DWORD> waitmasks;      // the wake mask of each wait
  // Version resource: a block and the answers to queries on it.
  std::function<DWORD(const char* path)> versionsize;
  std::function<BOOL(LPCVOID block, const char* query, LPVOID* value, PUINT length)> versionquery;
};
Scripts& Script();

#define FAKE_PROCESS_HANDLE reinterpret_cast<HANDLE>(0x51A0)
#define FAKE_THREAD_HANDLE reinterpret_cast<HANDLE>(0x51B0)
