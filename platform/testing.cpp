// The testing backend: every operation of the table passes through here to an
// inner backend, recorded, counted, and possibly failed, shortened or
// answered from a script. Pass-through wrappers are generated from the
// operation table; the operations that need more are written out below.
#include "platform/testing.h"

#include <execinfo.h>
#include <stdlib.h>
#include <string.h>

#include <type_traits>

#include "platform/posix.h"

static TestingBackend state;

TestingBackend& Testing() { return state; }

namespace {

// Operations whose result is nothing: a fault cannot be reported through them.
constexpr bool voidOps[PlatformOpCount] = {
#define PXQ_TESTING_VOID(ret, name, fail, params, args) std::is_void<ret>::value,
    PXQ_PLATFORM_OPS(PXQ_TESTING_VOID)
#undef PXQ_TESTING_VOID
};

bool Failable(PlatformOp op) {
  if (voidOps[op]) return false;
  switch (op) {
    case Op_GetLastError:
    case Op_GetCurrentProcessId:
    case Op_GetProcessHeap:
    case Op_lstrlenA:
    case Op_lstrcpynA:
    case Op_wvsprintfA:
    case Op_GetCommandLineA:
    case Op_GetCommandLineW:
    case Op_GetModuleHandleA:
    case Op_GetProcAddress:
    case Op_HeapFree:
    case Op_GlobalFree:
    case Op_CloseHandle:
    case Op_UnmapViewOfFile:
      return false;
    default:
      return true;
  }
}

// Whether a fault that names this operation can be injected into it.
bool Faultable(PlatformOp op) { return !voidOps[op] && op != Op_GetLastError; }

// The call site of the running call (see TestingBackend::sitebase), or 0.
uint64_t CallSite() {
  if (state.sitebase == nullptr) return 0;
  void* frames[48];
  const int count = backtrace(frames, 48);
  const uintptr_t base = reinterpret_cast<uintptr_t>(state.sitebase);
  uint64_t hash = 0xcbf29ce484222325ull;
  for (int i = 0; i < count; ++i) {
    const uintptr_t at = reinterpret_cast<uintptr_t>(frames[i]);
    hash = (hash ^ at) * 0x100000001b3ull;
    if (at > base && at - base < 256) return hash;
  }
  return 0;  // not called through the base
}

bool Matches(const TestingFault& fault, uint32_t count) {
  return fault.persistent ? count >= fault.nth : count == fault.nth;
}

// Records the call and decides whether it fails; on a fault, `error` is the
// error to report.
bool Enter(PlatformOp op, std::string detail, DWORD* error) {
  const uint64_t site = CallSite();
  state.calls.push_back(TestingCall{op, std::move(detail), site});
  const uint32_t nth = ++state.counts[op];
  const uint32_t sitenth = site != 0 ? ++state.sitecalls[{op, site}] : 0;
  const bool failable = Failable(op);
  const uint32_t sweepnth = failable ? ++state.failablecalls : 0;
  if (!Faultable(op)) return false;
  for (const TestingFault& fault : state.faults) {
    bool match = false;
    if (fault.op == PlatformOpCount) {
      match = failable && Matches(fault, sweepnth);
    } else if (fault.op == op) {
      match = fault.site != 0 ? fault.site == site && Matches(fault, sitenth) : Matches(fault, nth);
    }
    if (match) {
      ++state.injected;
      *error = fault.error;
      return true;
    }
  }
  return false;
}

void SetError(DWORD error) { state.inner->SetLastError(error); }

std::string Text(const char* text) { return text != NULL ? std::string(text) : std::string(); }

std::string Pointer(const void* pointer) {
  char text[32];
  snprintf(text, sizeof(text), "%p", pointer);
  return text;
}

// Tracks one acquired object; returns 1 when it was new.
int Track(std::set<const void*>& set, const void* object) {
  if (object == NULL) return 0;
  return set.insert(object).second ? 1 : 0;
}

// Forgets one released object; returns 1 when it was tracked.
int Untrack(std::set<const void*>& set, const void* object) { return static_cast<int>(set.erase(object)); }

// Windows' copy-into-a-caller's-buffer rules for GetModuleFileNameA: cut
// to the buffer, terminated, result the buffer's size and the error
// ERROR_INSUFFICIENT_BUFFER when it does not fit.
DWORD CopyTruncated(const std::string& text, LPSTR buffer, DWORD size) {
  if (buffer == NULL || size == 0) {
    SetError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  if (text.size() + 1 > size) {
    memcpy(buffer, text.data(), size - 1);
    buffer[size - 1] = '\0';
    SetError(ERROR_INSUFFICIENT_BUFFER);
    return size;
  }
  memcpy(buffer, text.c_str(), text.size() + 1);
  return static_cast<DWORD>(text.size());
}

// The generated pass-through wrappers.
#define PXQ_TESTING_PASS(ret, name, fail, params, args) \
  ret PXQ_WINAPI Pass##name params {                    \
    DWORD error;                                        \
    if (Enter(Op_##name, std::string(), &error)) {      \
      SetError(error);                                  \
      return fail;                                      \
    }                                                   \
    return state.inner->name args;                      \
  }
PXQ_PLATFORM_OPS(PXQ_TESTING_PASS)
#undef PXQ_TESTING_PASS

// Memory.

LPVOID PXQ_WINAPI TestingHeapAlloc(HANDLE hHeap, DWORD dwFlags, SIZE_T dwBytes) {
  DWORD error;
  if (Enter(Op_HeapAlloc, std::to_string(dwBytes), &error)) {
    SetError(error);
    return NULL;
  }
  LPVOID block = state.inner->HeapAlloc(hHeap, dwFlags, dwBytes);
  state.liveblocks += Track(state.blockset, block);
  if (block != NULL) {
    state.blocksizes[block] = dwBytes;
    state.heapbytes += dwBytes;
    if (state.heapbytes > state.peakheapbytes) state.peakheapbytes = state.heapbytes;
  }
  return block;
}

BOOL PXQ_WINAPI TestingHeapFree(HANDLE hHeap, DWORD dwFlags, LPVOID lpMem) {
  DWORD error;
  const bool fail = Enter(Op_HeapFree, Pointer(lpMem), &error);
  const BOOL freed = state.inner->HeapFree(hHeap, dwFlags, lpMem);
  if (freed) {
    state.liveblocks -= Untrack(state.blockset, lpMem);
    auto sized = state.blocksizes.find(lpMem);
    if (sized != state.blocksizes.end()) {
      state.heapbytes -= sized->second;
      state.blocksizes.erase(sized);
    }
  }
  if (fail) {
    SetError(error);
    return FALSE;
  }
  return freed;
}

HGLOBAL PXQ_WINAPI TestingGlobalAlloc(UINT uFlags, SIZE_T dwBytes) {
  DWORD error;
  if (Enter(Op_GlobalAlloc, std::to_string(dwBytes), &error)) {
    SetError(error);
    return NULL;
  }
  HGLOBAL block = state.inner->GlobalAlloc(uFlags, dwBytes);
  state.liveglobals += Track(state.globalset, block);
  return block;
}

HGLOBAL PXQ_WINAPI TestingGlobalFree(HGLOBAL hMem) {
  DWORD error;
  const bool fail = Enter(Op_GlobalFree, Pointer(hMem), &error);
  HGLOBAL left = state.inner->GlobalFree(hMem);
  if (left == NULL) state.liveglobals -= Untrack(state.globalset, hMem);
  if (fail) {
    SetError(error);
    return hMem;
  }
  return left;
}

// The running system, as scripted.

BOOL PXQ_WINAPI TestingGetVersionExA(LPOSVERSIONINFOA lpVersionInformation) {
  DWORD error;
  if (Enter(Op_GetVersionExA, std::string(), &error)) {
    SetError(error);
    return FALSE;
  }
  BOOL ok = state.inner->GetVersionExA(lpVersionInformation);
  if (ok && state.platformid) lpVersionInformation->dwPlatformId = *state.platformid;
  return ok;
}

void ScriptSystemInfo(LPSYSTEM_INFO info) {
  if (info != NULL && state.architecture) info->wProcessorArchitecture = *state.architecture;
}

void PXQ_WINAPI TestingGetSystemInfo(LPSYSTEM_INFO lpSystemInfo) {
  DWORD error;
  Enter(Op_GetSystemInfo, std::string(), &error);
  state.inner->GetSystemInfo(lpSystemInfo);
  ScriptSystemInfo(lpSystemInfo);
}

// What GetProcAddress hands out for GetNativeSystemInfo.
void PXQ_WINAPI TestingGetNativeSystemInfo(LPSYSTEM_INFO lpSystemInfo) {
  ++state.nativesysteminfocalls;
  if (state.innernative != nullptr) {
    state.innernative(lpSystemInfo);
  } else {
    state.inner->GetSystemInfo(lpSystemInfo);
  }
  ScriptSystemInfo(lpSystemInfo);
}

HMODULE PXQ_WINAPI TestingGetModuleHandleA(LPCSTR lpModuleName) {
  DWORD error;
  if (Enter(Op_GetModuleHandleA, Text(lpModuleName), &error)) {
    SetError(error);
    return NULL;
  }
  if (lpModuleName == NULL && state.moduleimage) {
    // At least the 64 bytes of a DOS header, zero-filled past the script.
    state.moduleimagecopy = *state.moduleimage;
    if (state.moduleimagecopy.size() < 64) state.moduleimagecopy.resize(64, 0);
    return state.moduleimagecopy.data();
  }
  return state.inner->GetModuleHandleA(lpModuleName);
}

FARPROC PXQ_WINAPI TestingGetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
  const bool byName = reinterpret_cast<uintptr_t>(lpProcName) >= 0x10000;
  DWORD error;
  if (Enter(Op_GetProcAddress, byName ? Text(lpProcName) : std::string("#ordinal"), &error)) {
    SetError(error);
    return NULL;
  }
  if (byName && strcmp(lpProcName, "GetNativeSystemInfo") == 0) {
    if (state.nativesysteminfomissing) {
      SetError(ERROR_PROC_NOT_FOUND);
      return NULL;
    }
    FARPROC found = state.inner->GetProcAddress(hModule, lpProcName);
    if (found == NULL) return NULL;
    state.innernative = reinterpret_cast<GetNativeSystemInfoProc>(reinterpret_cast<void (*)(void)>(found));
    return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)(void)>(&TestingGetNativeSystemInfo));
  }
  return state.inner->GetProcAddress(hModule, lpProcName);
}

DWORD PXQ_WINAPI TestingGetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize) {
  DWORD error;
  if (Enter(Op_GetModuleFileNameA, std::to_string(nSize), &error)) {
    SetError(error);
    return 0;
  }
  if (state.modulepath) {
    if (state.modulepath->empty()) {
      SetError(126);  // ERROR_MOD_NOT_FOUND
      return 0;
    }
    return CopyTruncated(*state.modulepath, lpFilename, nSize);
  }
  return state.inner->GetModuleFileNameA(hModule, lpFilename, nSize);
}

DWORD PXQ_WINAPI TestingGetCurrentProcessId(void) {
  DWORD error;
  Enter(Op_GetCurrentProcessId, std::string(), &error);
  if (state.processid) return *state.processid;
  return state.inner->GetCurrentProcessId();
}

LPSTR PXQ_WINAPI TestingGetCommandLineA(void) {
  DWORD error;
  if (Enter(Op_GetCommandLineA, std::string(), &error)) {
    SetError(error);
    return NULL;
  }
  if (state.commandline) {
    state.commandlinecopy = *state.commandline;
    return &state.commandlinecopy[0];
  }
  return state.inner->GetCommandLineA();
}

DWORD PXQ_WINAPI TestingGetTempPathA(DWORD nBufferLength, LPSTR lpBuffer) {
  DWORD error;
  if (Enter(Op_GetTempPathA, std::to_string(nBufferLength), &error)) {
    // A failed GetTempPathA leaves the caller's buffer empty.
    if (lpBuffer != NULL && nBufferLength > 0) lpBuffer[0] = '\0';
    SetError(error);
    return 0;
  }
  if (state.temppath) {
    const std::string& path = *state.temppath;
    if (path.empty()) {
      if (lpBuffer != NULL && nBufferLength > 0) lpBuffer[0] = '\0';
      SetError(ERROR_PATH_NOT_FOUND);
      return 0;
    }
    // Too small: the size needed with the terminator, nothing written.
    if (lpBuffer == NULL || nBufferLength <= path.size()) return static_cast<DWORD>(path.size() + 1);
    memcpy(lpBuffer, path.c_str(), path.size() + 1);
    return static_cast<DWORD>(path.size());
  }
  return state.inner->GetTempPathA(nBufferLength, lpBuffer);
}

// The wide path calls.

typedef std::vector<WCHAR> WideText;

WideText Widen(const std::string& text, UINT codepage) {
  if (text.empty()) return WideText();
  WideText wide(text.size(), 0);
  int units = state.inner->MultiByteToWideChar(codepage, 0, text.data(), static_cast<int>(text.size()), wide.data(),
                                               static_cast<int>(wide.size()));
  wide.resize(units > 0 ? static_cast<size_t>(units) : 0);
  return wide;
}

std::string Utf8(LPCWSTR text) {
  if (text == NULL || text[0] == 0) return std::string();
  int length = 0;
  while (text[length] != 0) ++length;
  std::string utf8(static_cast<size_t>(length) * 3, '\0');
  int bytes = state.inner->WideCharToMultiByte(CP_UTF8, 0, text, length, &utf8[0], static_cast<int>(utf8.size()),
                                               NULL, NULL);
  utf8.resize(bytes > 0 ? static_cast<size_t>(bytes) : 0);
  return utf8;
}

// The scripted wide answer: the wide script in UTF-8, else the ANSI one in
// the ANSI code page; null when neither is set.
const std::optional<std::string>* WideScript(const std::optional<std::string>& wide,
                                             const std::optional<std::string>& ansi, UINT* codepage) {
  *codepage = wide ? CP_UTF8 : CP_ACP;
  if (wide) return &wide;
  if (ansi) return &ansi;
  return nullptr;
}

DWORD PXQ_WINAPI TestingGetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize) {
  DWORD error;
  if (Enter(Op_GetModuleFileNameW, std::to_string(nSize), &error)) {
    SetError(error);
    return 0;
  }
  UINT codepage;
  const std::optional<std::string>* script = WideScript(state.widemodulepath, state.modulepath, &codepage);
  if (script == nullptr) return state.inner->GetModuleFileNameW(hModule, lpFilename, nSize);
  if ((*script)->empty()) {
    SetError(126);  // ERROR_MOD_NOT_FOUND
    return 0;
  }
  // Cut to the buffer and terminated, as GetModuleFileNameA.
  const WideText text = Widen(**script, codepage);
  if (lpFilename == NULL || nSize == 0) {
    SetError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  const size_t copied = text.size() + 1 > nSize ? nSize - 1 : text.size();
  memcpy(lpFilename, text.data(), copied * sizeof(WCHAR));
  lpFilename[copied] = 0;
  if (copied < text.size()) {
    SetError(ERROR_INSUFFICIENT_BUFFER);
    return nSize;
  }
  return static_cast<DWORD>(text.size());
}

// Too small: the size needed with the terminator, nothing written.
DWORD CopyOrSize(const WideText& text, LPWSTR buffer, DWORD size) {
  if (buffer == NULL || size <= text.size()) return static_cast<DWORD>(text.size() + 1);
  memmove(buffer, text.data(), text.size() * sizeof(WCHAR));
  buffer[text.size()] = 0;
  return static_cast<DWORD>(text.size());
}

DWORD PXQ_WINAPI TestingGetTempPathW(DWORD nBufferLength, LPWSTR lpBuffer) {
  DWORD error;
  if (Enter(Op_GetTempPathW, std::to_string(nBufferLength), &error)) {
    if (lpBuffer != NULL && nBufferLength > 0) lpBuffer[0] = 0;
    SetError(error);
    return 0;
  }
  UINT codepage;
  const std::optional<std::string>* script = WideScript(state.widetemppath, state.temppath, &codepage);
  if (script == nullptr) return state.inner->GetTempPathW(nBufferLength, lpBuffer);
  if ((*script)->empty()) {
    if (lpBuffer != NULL && nBufferLength > 0) lpBuffer[0] = 0;
    SetError(ERROR_PATH_NOT_FOUND);
    return 0;
  }
  return CopyOrSize(Widen(**script, codepage), lpBuffer, nBufferLength);
}

DWORD PXQ_WINAPI TestingGetShortPathNameW(LPCWSTR lpszLongPath, LPWSTR lpszShortPath, DWORD cchBuffer) {
  const std::string path = Utf8(lpszLongPath);
  DWORD error;
  if (Enter(Op_GetShortPathNameW, path, &error)) {
    SetError(error);
    return 0;
  }
  for (const auto& name : state.shortnames) {
    if (name.first == path) return CopyOrSize(Widen(name.second, CP_UTF8), lpszShortPath, cchBuffer);
  }
  return state.inner->GetShortPathNameW(lpszLongPath, lpszShortPath, cchBuffer);
}

// Files.

HANDLE PXQ_WINAPI TestingCreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                                     LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                                     DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
  DWORD error;
  if (Enter(Op_CreateFileA, Text(lpFileName), &error)) {
    SetError(error);
    return INVALID_HANDLE_VALUE;
  }
  HANDLE handle = state.inner->CreateFileA(lpFileName, dwDesiredAccess, dwShareMode, lpSecurityAttributes,
                                           dwCreationDisposition, dwFlagsAndAttributes, hTemplateFile);
  if (handle != INVALID_HANDLE_VALUE) state.openhandles += Track(state.handleset, handle);
  return handle;
}

// Recorded with the path in UTF-8.
HANDLE PXQ_WINAPI TestingCreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                                     LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                                     DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
  DWORD error;
  if (Enter(Op_CreateFileW, Utf8(lpFileName), &error)) {
    SetError(error);
    return INVALID_HANDLE_VALUE;
  }
  HANDLE handle = state.inner->CreateFileW(lpFileName, dwDesiredAccess, dwShareMode, lpSecurityAttributes,
                                           dwCreationDisposition, dwFlagsAndAttributes, hTemplateFile);
  if (handle != INVALID_HANDLE_VALUE) state.openhandles += Track(state.handleset, handle);
  return handle;
}

BOOL PXQ_WINAPI TestingReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                                LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped) {
  DWORD error;
  if (Enter(Op_ReadFile, std::to_string(nNumberOfBytesToRead), &error)) {
    if (lpNumberOfBytesRead != NULL) *lpNumberOfBytesRead = 0;
    SetError(error);
    return FALSE;
  }
  if (state.shortread != 0 && nNumberOfBytesToRead > state.shortread) nNumberOfBytesToRead = state.shortread;
  return state.inner->ReadFile(hFile, lpBuffer, nNumberOfBytesToRead, lpNumberOfBytesRead, lpOverlapped);
}

BOOL PXQ_WINAPI TestingWriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                                 LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped) {
  DWORD error;
  if (Enter(Op_WriteFile, std::to_string(nNumberOfBytesToWrite), &error)) {
    if (lpNumberOfBytesWritten != NULL) *lpNumberOfBytesWritten = 0;
    SetError(error);
    return FALSE;
  }
  if (state.zerowriteat != 0 && state.counts[Op_WriteFile] == state.zerowriteat) {
    if (lpNumberOfBytesWritten != NULL) *lpNumberOfBytesWritten = 0;
    return TRUE;
  }
  if (state.shortwrite != 0 && nNumberOfBytesToWrite > state.shortwrite) nNumberOfBytesToWrite = state.shortwrite;
  return state.inner->WriteFile(hFile, lpBuffer, nNumberOfBytesToWrite, lpNumberOfBytesWritten, lpOverlapped);
}

DWORD PXQ_WINAPI TestingSetFilePointer(HANDLE hFile, LONG lDistanceToMove, PLONG lpDistanceToMoveHigh,
                                       DWORD dwMoveMethod) {
  DWORD error;
  if (Enter(Op_SetFilePointer, std::to_string(lDistanceToMove), &error)) {
    SetError(error);
    return INVALID_SET_FILE_POINTER;
  }
  return state.inner->SetFilePointer(hFile, lDistanceToMove, lpDistanceToMoveHigh, dwMoveMethod);
}

BOOL PXQ_WINAPI TestingCloseHandle(HANDLE hObject) {
  DWORD error;
  const bool fail = Enter(Op_CloseHandle, Pointer(hObject), &error);
  const BOOL closed = state.inner->CloseHandle(hObject);
  if (closed) {
    state.openhandles -= Untrack(state.handleset, hObject);
    state.openmappings -= Untrack(state.mappingset, hObject);
  }
  if (fail) {
    SetError(error);
    return FALSE;
  }
  return closed;
}

DWORD PXQ_WINAPI TestingGetFileAttributesA(LPCSTR lpFileName) {
  DWORD error;
  if (Enter(Op_GetFileAttributesA, Text(lpFileName), &error)) {
    SetError(error);
    return INVALID_FILE_ATTRIBUTES;
  }
  return state.inner->GetFileAttributesA(lpFileName);
}

BOOL PXQ_WINAPI TestingSetFileAttributesA(LPCSTR lpFileName, DWORD dwFileAttributes) {
  DWORD error;
  if (Enter(Op_SetFileAttributesA, Text(lpFileName), &error)) {
    SetError(error);
    return FALSE;
  }
  return state.inner->SetFileAttributesA(lpFileName, dwFileAttributes);
}

BOOL PXQ_WINAPI TestingDeleteFileA(LPCSTR lpFileName) {
  DWORD error;
  if (Enter(Op_DeleteFileA, Text(lpFileName), &error)) {
    SetError(error);
    return FALSE;
  }
  return state.inner->DeleteFileA(lpFileName);
}

// Recorded as NAME=VALUE, or NAME alone when the variable is removed.
// Removing a variable that is not there fails with ERROR_ENVVAR_NOT_FOUND,
// as on Windows (the posix backend takes it as done), so that the loader's
// every run meets that answer here.
BOOL PXQ_WINAPI TestingSetEnvironmentVariableA(LPCSTR lpName, LPCSTR lpValue) {
  DWORD error;
  std::string detail = Text(lpName);
  if (lpValue != NULL) detail += "=" + Text(lpValue);
  if (Enter(Op_SetEnvironmentVariableA, detail, &error)) {
    SetError(error);
    return FALSE;
  }
  if (lpValue == NULL && lpName != NULL && lpName[0] != '\0' && strchr(lpName, '=') == NULL &&
      getenv(lpName) == NULL) {
    SetError(ERROR_ENVVAR_NOT_FOUND);
    return FALSE;
  }
  return state.inner->SetEnvironmentVariableA(lpName, lpValue);
}

// Recorded as NAME=VALUE in UTF-8, or NAME alone when the variable is removed.
BOOL PXQ_WINAPI TestingSetEnvironmentVariableW(LPCWSTR lpName, LPCWSTR lpValue) {
  DWORD error;
  std::string detail = Utf8(lpName);
  if (lpValue != NULL) detail += "=" + Utf8(lpValue);
  if (Enter(Op_SetEnvironmentVariableW, detail, &error)) {
    SetError(error);
    return FALSE;
  }
  return state.inner->SetEnvironmentVariableW(lpName, lpValue);
}

DWORD PXQ_WINAPI TestingGetFileVersionInfoSizeW(LPCWSTR lptstrFilename, LPDWORD lpdwHandle) {
  DWORD error;
  if (Enter(Op_GetFileVersionInfoSizeW, Utf8(lptstrFilename), &error)) {
    SetError(error);
    return 0;
  }
  return state.inner->GetFileVersionInfoSizeW(lptstrFilename, lpdwHandle);
}

BOOL PXQ_WINAPI TestingGetFileVersionInfoW(LPCWSTR lptstrFilename, DWORD dwHandle, DWORD dwLen, LPVOID lpData) {
  DWORD error;
  if (Enter(Op_GetFileVersionInfoW, Utf8(lptstrFilename), &error)) {
    SetError(error);
    return FALSE;
  }
  return state.inner->GetFileVersionInfoW(lptstrFilename, dwHandle, dwLen, lpData);
}

DWORD PXQ_WINAPI TestingGetFileVersionInfoSizeA(LPCSTR lptstrFilename, LPDWORD lpdwHandle) {
  DWORD error;
  if (Enter(Op_GetFileVersionInfoSizeA, Text(lptstrFilename), &error)) {
    SetError(error);
    return 0;
  }
  return state.inner->GetFileVersionInfoSizeA(lptstrFilename, lpdwHandle);
}

BOOL PXQ_WINAPI TestingGetFileVersionInfoA(LPCSTR lptstrFilename, DWORD dwHandle, DWORD dwLen, LPVOID lpData) {
  DWORD error;
  if (Enter(Op_GetFileVersionInfoA, Text(lptstrFilename), &error)) {
    SetError(error);
    return FALSE;
  }
  return state.inner->GetFileVersionInfoA(lptstrFilename, dwHandle, dwLen, lpData);
}

BOOL PXQ_WINAPI TestingVerQueryValueA(LPCVOID pBlock, LPCSTR lpSubBlock, LPVOID* lplpBuffer, PUINT puLen) {
  DWORD error;
  if (Enter(Op_VerQueryValueA, Text(lpSubBlock), &error)) {
    SetError(error);
    return FALSE;
  }
  return state.inner->VerQueryValueA(pBlock, lpSubBlock, lplpBuffer, puLen);
}

// Mappings and views.

HANDLE PXQ_WINAPI TestingCreateFileMappingA(HANDLE hFile, LPSECURITY_ATTRIBUTES lpAttributes, DWORD flProtect,
                                            DWORD dwMaximumSizeHigh, DWORD dwMaximumSizeLow, LPCSTR lpName) {
  DWORD error;
  if (Enter(Op_CreateFileMappingA, Pointer(hFile), &error)) {
    SetError(error);
    return NULL;
  }
  HANDLE mapping =
      state.inner->CreateFileMappingA(hFile, lpAttributes, flProtect, dwMaximumSizeHigh, dwMaximumSizeLow, lpName);
  state.openmappings += Track(state.mappingset, mapping);
  return mapping;
}

LPVOID PXQ_WINAPI TestingMapViewOfFile(HANDLE hFileMappingObject, DWORD dwDesiredAccess, DWORD dwFileOffsetHigh,
                                       DWORD dwFileOffsetLow, SIZE_T dwNumberOfBytesToMap) {
  DWORD error;
  if (Enter(Op_MapViewOfFile, std::to_string(dwNumberOfBytesToMap), &error)) {
    SetError(error);
    return NULL;
  }
  LPVOID view = state.inner->MapViewOfFile(hFileMappingObject, dwDesiredAccess, dwFileOffsetHigh, dwFileOffsetLow,
                                           dwNumberOfBytesToMap);
  state.openviews += Track(state.viewset, view);
  return view;
}

BOOL PXQ_WINAPI TestingUnmapViewOfFile(LPCVOID lpBaseAddress) {
  DWORD error;
  const bool fail = Enter(Op_UnmapViewOfFile, Pointer(lpBaseAddress), &error);
  const BOOL unmapped = state.inner->UnmapViewOfFile(lpBaseAddress);
  if (unmapped) state.openviews -= Untrack(state.viewset, lpBaseAddress);
  if (fail) {
    SetError(error);
    return FALSE;
  }
  return unmapped;
}

// Processes and the user.

LPWSTR PXQ_WINAPI TestingGetCommandLineW(void) {
  DWORD error;
  if (Enter(Op_GetCommandLineW, std::string(), &error)) {
    SetError(error);
    return NULL;
  }
  UINT codepage;
  const std::optional<std::string>* script = WideScript(state.widecommandline, state.commandline, &codepage);
  if (script == nullptr) return state.inner->GetCommandLineW();
  state.widecommandlinecopy = Widen(**script, codepage);
  state.widecommandlinecopy.push_back(0);
  return state.widecommandlinecopy.data();
}

// A started process's two handles count as open until they are closed.
void TrackProcess(BOOL created, const PROCESS_INFORMATION* information) {
  if (!created || information == NULL) return;
  state.openhandles += Track(state.handleset, information->hProcess);
  state.openhandles += Track(state.handleset, information->hThread);
}

// Recorded with its command line in UTF-8 (the application name without one).
BOOL PXQ_WINAPI TestingCreateProcessW(LPCWSTR lpApplicationName, LPWSTR lpCommandLine,
                                      LPSECURITY_ATTRIBUTES lpProcessAttributes,
                                      LPSECURITY_ATTRIBUTES lpThreadAttributes, BOOL bInheritHandles,
                                      DWORD dwCreationFlags, LPVOID lpEnvironment, LPCWSTR lpCurrentDirectory,
                                      LPSTARTUPINFOW lpStartupInfo, LPPROCESS_INFORMATION lpProcessInformation) {
  DWORD error;
  if (Enter(Op_CreateProcessW, lpCommandLine != NULL ? Utf8(lpCommandLine) : Utf8(lpApplicationName), &error)) {
    SetError(error);
    return FALSE;
  }
  BOOL created = state.inner->CreateProcessW(lpApplicationName, lpCommandLine, lpProcessAttributes,
                                             lpThreadAttributes, bInheritHandles, dwCreationFlags, lpEnvironment,
                                             lpCurrentDirectory, lpStartupInfo, lpProcessInformation);
  TrackProcess(created, lpProcessInformation);
  return created;
}

BOOL PXQ_WINAPI TestingGetUserObjectInformationA(HANDLE hObj, int nIndex, PVOID pvInfo, DWORD nLength,
                                                 LPDWORD lpnLengthNeeded) {
  DWORD error;
  if (Enter(Op_GetUserObjectInformationA, std::to_string(nIndex), &error)) {
    SetError(error);
    return FALSE;
  }
  BOOL ok = state.inner->GetUserObjectInformationA(hObj, nIndex, pvInfo, nLength, lpnLengthNeeded);
  if (ok && nIndex == UOI_FLAGS && state.windowstationflags && nLength >= sizeof(USEROBJECTFLAGS))
    static_cast<USEROBJECTFLAGS*>(pvInfo)->dwFlags = *state.windowstationflags;
  return ok;
}

BOOL PXQ_WINAPI TestingCreateProcessA(LPCSTR lpApplicationName, LPSTR lpCommandLine,
                                      LPSECURITY_ATTRIBUTES lpProcessAttributes,
                                      LPSECURITY_ATTRIBUTES lpThreadAttributes, BOOL bInheritHandles,
                                      DWORD dwCreationFlags, LPVOID lpEnvironment, LPCSTR lpCurrentDirectory,
                                      LPSTARTUPINFOA lpStartupInfo, LPPROCESS_INFORMATION lpProcessInformation) {
  DWORD error;
  if (Enter(Op_CreateProcessA, lpCommandLine != NULL ? Text(lpCommandLine) : Text(lpApplicationName), &error)) {
    SetError(error);
    return FALSE;
  }
  BOOL created = state.inner->CreateProcessA(lpApplicationName, lpCommandLine, lpProcessAttributes,
                                             lpThreadAttributes, bInheritHandles, dwCreationFlags, lpEnvironment,
                                             lpCurrentDirectory, lpStartupInfo, lpProcessInformation);
  TrackProcess(created, lpProcessInformation);
  return created;
}

// Recorded; the process goes on, so that the test sees what follows.
void PXQ_WINAPI TestingExitProcess(UINT uExitCode) {
  DWORD error;
  Enter(Op_ExitProcess, std::to_string(uExitCode), &error);
  state.exitcode = uExitCode;
}

void PXQ_WINAPI TestingSleep(DWORD dwMilliseconds) {
  DWORD error;
  Enter(Op_Sleep, std::to_string(dwMilliseconds), &error);
  state.sleeps.push_back(dwMilliseconds);
  if (state.sleepforreal) state.inner->Sleep(dwMilliseconds);
}

void PXQ_WINAPI TestingOutputDebugStringA(LPCSTR lpOutputString) {
  DWORD error;
  Enter(Op_OutputDebugStringA, Text(lpOutputString), &error);
  state.inner->OutputDebugStringA(lpOutputString);
}

// Recorded with its format, which tells the formatter's callers apart.
int PXQ_WINAPI TestingwvsprintfA(LPSTR lpOutput, LPCSTR lpFormat, va_list arglist) {
  DWORD error;
  if (Enter(Op_wvsprintfA, Text(lpFormat), &error)) {
    SetError(error);
    return 0;
  }
  return state.inner->wvsprintfA(lpOutput, lpFormat, arglist);
}

// Recorded and closed at once with OK; nothing is shown.
int PXQ_WINAPI TestingMessageBoxA(HWND hWnd, LPCSTR lpText, LPCSTR lpCaption, UINT uType) {
  (void)hWnd;
  (void)lpCaption;
  (void)uType;
  DWORD error;
  if (Enter(Op_MessageBoxA, Text(lpText), &error)) {
    SetError(error);
    return 0;
  }
  state.messages.push_back(Text(lpText));
  return 1;  // IDOK
}

Platform MakeTable() {
  Platform table = {
#define PXQ_TESTING_ENTRY(ret, name, fail, params, args) Pass##name,
      PXQ_PLATFORM_OPS(PXQ_TESTING_ENTRY)
#undef PXQ_TESTING_ENTRY
  };
  table.HeapAlloc = TestingHeapAlloc;
  table.HeapFree = TestingHeapFree;
  table.GlobalAlloc = TestingGlobalAlloc;
  table.GlobalFree = TestingGlobalFree;
  table.GetVersionExA = TestingGetVersionExA;
  table.GetSystemInfo = TestingGetSystemInfo;
  table.GetModuleHandleA = TestingGetModuleHandleA;
  table.GetProcAddress = TestingGetProcAddress;
  table.GetModuleFileNameA = TestingGetModuleFileNameA;
  table.GetCurrentProcessId = TestingGetCurrentProcessId;
  table.GetCommandLineA = TestingGetCommandLineA;
  table.GetTempPathA = TestingGetTempPathA;
  table.GetModuleFileNameW = TestingGetModuleFileNameW;
  table.GetTempPathW = TestingGetTempPathW;
  table.GetShortPathNameW = TestingGetShortPathNameW;
  table.CreateFileA = TestingCreateFileA;
  table.CreateFileW = TestingCreateFileW;
  table.ReadFile = TestingReadFile;
  table.WriteFile = TestingWriteFile;
  table.SetFilePointer = TestingSetFilePointer;
  table.CloseHandle = TestingCloseHandle;
  table.GetFileAttributesA = TestingGetFileAttributesA;
  table.SetFileAttributesA = TestingSetFileAttributesA;
  table.DeleteFileA = TestingDeleteFileA;
  table.SetEnvironmentVariableA = TestingSetEnvironmentVariableA;
  table.SetEnvironmentVariableW = TestingSetEnvironmentVariableW;
  table.GetFileVersionInfoSizeW = TestingGetFileVersionInfoSizeW;
  table.GetFileVersionInfoW = TestingGetFileVersionInfoW;
  table.GetFileVersionInfoSizeA = TestingGetFileVersionInfoSizeA;
  table.GetFileVersionInfoA = TestingGetFileVersionInfoA;
  table.VerQueryValueA = TestingVerQueryValueA;
  table.CreateFileMappingA = TestingCreateFileMappingA;
  table.MapViewOfFile = TestingMapViewOfFile;
  table.UnmapViewOfFile = TestingUnmapViewOfFile;
  table.CreateProcessA = TestingCreateProcessA;
  table.GetCommandLineW = TestingGetCommandLineW;
  table.CreateProcessW = TestingCreateProcessW;
  table.GetUserObjectInformationA = TestingGetUserObjectInformationA;
  table.ExitProcess = TestingExitProcess;
  table.Sleep = TestingSleep;
  table.OutputDebugStringA = TestingOutputDebugStringA;
  table.MessageBoxA = TestingMessageBoxA;
  table.wvsprintfA = TestingwvsprintfA;
  return table;
}

}  // namespace

const Platform* TestingPlatform(const Platform* inner) {
  static const Platform table = MakeTable();
  state = TestingBackend();
  state.inner = inner;
  inner->SetLastError(ERROR_SUCCESS);
  return &table;
}

bool TestingNothingOpen() {
  return state.openhandles == 0 && state.openmappings == 0 && state.openviews == 0 && state.liveblocks == 0 &&
         state.liveglobals == 0;
}

std::string TestingOpenSummary() {
  return "open handles " + std::to_string(state.openhandles) + ", mappings " + std::to_string(state.openmappings) +
         ", views " + std::to_string(state.openviews) + ", heap blocks " + std::to_string(state.liveblocks) +
         ", global blocks " + std::to_string(state.liveglobals);
}

uint32_t TestingCount(PlatformOp op) { return op < PlatformOpCount ? state.counts[op] : 0; }

TestingScope::TestingScope() : previous(UsePlatform(TestingPlatform(PosixPlatform()))) {}

TestingScope::~TestingScope() { UsePlatform(previous); }
