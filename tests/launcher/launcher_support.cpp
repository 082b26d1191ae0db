#include "launcher_support.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "platform/posix.h"
#include "platform/testing.h"

std::vector<uint8_t> StampedHeader(uint8_t flags, uint32_t archiveoffset, const char* magic, const char* signature) {
  std::vector<uint8_t> header(64, 0);
  memcpy(header.data(), signature, 2);
  memcpy(header.data() + 0x24, magic, 4);
  header[0x28] = flags;
  for (int i = 0; i < 4; ++i) header[0x2C + i] = static_cast<uint8_t>(archiveoffset >> (8 * i));
  return header;
}

std::string ExpectedCopyIn(const std::string& tempdir) {
  uint32_t pid = static_cast<uint32_t>(getpid());
  char key[8];
  snprintf(key, sizeof(key), "%04X", (pid >> 16) ^ (pid & 0xFFFF));
  return tempdir + "setup-" + key + ".exe";
}

std::string ResolvedPath(const std::string& path) {
  char* resolved = realpath(path.c_str(), nullptr);
  std::string result = resolved != nullptr ? resolved : path;
  free(resolved);
  return result;
}

std::string OpName(PlatformOp op) {
  static const char* const names[] = {
#define PXQ_OP_NAME(ret, name, fail, params, args) #name,
      PXQ_PLATFORM_OPS(PXQ_OP_NAME)
#undef PXQ_OP_NAME
  };
  return op < PlatformOpCount ? names[op] : "?";
}

std::vector<std::string> CallTrace(bool withdetail) {
  std::vector<std::string> trace;
  for (const TestingCall& call : Testing().calls) {
    switch (call.op) {
      case Op_HeapAlloc:
      case Op_HeapFree:
      case Op_GlobalAlloc:
      case Op_GlobalFree:
      case Op_GetLastError:
      case Op_SetLastError:
      case Op_wvsprintfA:
        continue;
      default:
        break;
    }
    std::string name = OpName(call.op);
    if (withdetail && !call.detail.empty()) name += "(" + call.detail + ")";
    trace.push_back(name);
  }
  return trace;
}

std::vector<std::string> CallsOf(PlatformOp op) {
  std::vector<std::string> details;
  for (const TestingCall& call : Testing().calls)
    if (call.op == op) details.push_back(call.detail);
  return details;
}

static Scripts scripts;
static Platform scripted;
static size_t nextwait;
static size_t nextwake;
static uint32_t pending;

Scripts& Script() { return scripts; }

namespace {

BOOL ScriptedCreateProcessW(LPCWSTR application, LPWSTR commandline, LPSECURITY_ATTRIBUTES processattributes,
                            LPSECURITY_ATTRIBUTES threadattributes, BOOL inherit, DWORD flags, LPVOID environment,
                            LPCWSTR directory, LPSTARTUPINFOW startup, LPPROCESS_INFORMATION process) {
  if (!scripts.fakeprocess)
    return PosixPlatform()->CreateProcessW(application, commandline, processattributes, threadattributes, inherit,
                                           flags, environment, directory, startup, process);
  process->hProcess = FAKE_PROCESS_HANDLE;
  process->hThread = FAKE_THREAD_HANDLE;
  process->dwProcessId = 4242;
  process->dwThreadId = 4243;
  return TRUE;
}

bool IsFake(HANDLE handle) { return handle == FAKE_PROCESS_HANDLE || handle == FAKE_THREAD_HANDLE; }

BOOL ScriptedCloseHandle(HANDLE handle) {
  if (!IsFake(handle)) return PosixPlatform()->CloseHandle(handle);
  scripts.closed.push_back(handle);
  return TRUE;
}

DWORD ScriptedMsgWaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitall, DWORD milliseconds,
                                        DWORD mask) {
  if (count != 1 || !IsFake(handles[0]))
    return PosixPlatform()->MsgWaitForMultipleObjects(count, handles, waitall, milliseconds, mask);
  scripts.waitmasks.push_back(mask);
  DWORD result = nextwait < scripts.waits.size() ? scripts.waits[nextwait++] : WAIT_OBJECT_0;
  if (result == WAIT_OBJECT_0 + 1) pending = nextwake < scripts.messages.size() ? scripts.messages[nextwake++] : 0;
  PosixPlatform()->SetLastError(result == WAIT_FAILED ? ERROR_INVALID_HANDLE : ERROR_SUCCESS);
  return result;
}

BOOL ScriptedPeekMessageA(LPMSG message, HWND window, UINT low, UINT high, UINT remove) {
  if (!scripts.fakeprocess) return PosixPlatform()->PeekMessageA(message, window, low, high, remove);
  if (pending == 0) return FALSE;
  --pending;
  memset(message, 0, sizeof(*message));
  message->message = 0x0012;  // WM_QUIT is dispatched like any other
  return TRUE;
}

BOOL ScriptedTranslateMessage(const MSG* message) {
  (void)message;
  ++scripts.translated;
  return FALSE;
}

LRESULT ScriptedDispatchMessageA(const MSG* message) {
  (void)message;
  ++scripts.dispatched;
  return 0;
}

BOOL ScriptedGetExitCodeProcess(HANDLE process, LPDWORD exitcode) {
  if (!IsFake(process)) return PosixPlatform()->GetExitCodeProcess(process, exitcode);
  *exitcode = scripts.exitcode;
  return TRUE;
}

DWORD ScriptedGetFileVersionInfoSizeA(LPCSTR path, LPDWORD handle) {
  if (!scripts.versionsize) return PosixPlatform()->GetFileVersionInfoSizeA(path, handle);
  *handle = 0;
  return scripts.versionsize(path);
}

BOOL ScriptedGetFileVersionInfoA(LPCSTR path, DWORD handle, DWORD size, LPVOID block) {
  if (!scripts.versionsize) return PosixPlatform()->GetFileVersionInfoA(path, handle, size, block);
  memset(block, 0x5A, size);
  return TRUE;
}

// The scripts take the path in UTF-8.
std::string Utf8Path(LPCWSTR path) {
  std::string utf8(4 * 520, '\0');
  int bytes = PosixPlatform()->WideCharToMultiByte(CP_UTF8, 0, path, -1, &utf8[0], static_cast<int>(utf8.size()),
                                                   NULL, NULL);
  utf8.resize(bytes > 0 ? static_cast<size_t>(bytes - 1) : 0);
  return utf8;
}

DWORD ScriptedGetFileVersionInfoSizeW(LPCWSTR path, LPDWORD handle) {
  if (!scripts.versionsize) return PosixPlatform()->GetFileVersionInfoSizeW(path, handle);
  *handle = 0;
  return scripts.versionsize(Utf8Path(path).c_str());
}

BOOL ScriptedGetFileVersionInfoW(LPCWSTR path, DWORD handle, DWORD size, LPVOID block) {
  if (!scripts.versionsize) return PosixPlatform()->GetFileVersionInfoW(path, handle, size, block);
  memset(block, 0x5A, size);
  return TRUE;
}

BOOL ScriptedVerQueryValueA(LPCVOID block, LPCSTR query, LPVOID* value, PUINT length) {
  if (!scripts.versionquery) return PosixPlatform()->VerQueryValueA(block, query, value, length);
  return scripts.versionquery(block, query, value, length);
}

}  // namespace

ScriptedScope::ScriptedScope() {
  scripts = Scripts();
  nextwait = nextwake = 0;
  pending = 0;
  scripted = *PosixPlatform();
  scripted.CreateProcessW = ScriptedCreateProcessW;
  scripted.CloseHandle = ScriptedCloseHandle;
  scripted.MsgWaitForMultipleObjects = ScriptedMsgWaitForMultipleObjects;
  scripted.PeekMessageA = ScriptedPeekMessageA;
  scripted.TranslateMessage = ScriptedTranslateMessage;
  scripted.DispatchMessageA = ScriptedDispatchMessageA;
  scripted.GetExitCodeProcess = ScriptedGetExitCodeProcess;
  scripted.GetFileVersionInfoSizeA = ScriptedGetFileVersionInfoSizeA;
  scripted.GetFileVersionInfoA = ScriptedGetFileVersionInfoA;
  scripted.GetFileVersionInfoSizeW = ScriptedGetFileVersionInfoSizeW;
  scripted.GetFileVersionInfoW = ScriptedGetFileVersionInfoW;
  scripted.VerQueryValueA = ScriptedVerQueryValueA;
  previous = UsePlatform(TestingPlatform(&scripted));
}

ScriptedScope::~ScriptedScope() { UsePlatform(previous); }
