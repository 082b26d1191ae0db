#include "platform/win32.h"

// Only kernel32 and msvcrt are imported. user32 and version.dll are loaded
// at run time from the system directory only: a static import is resolved
// through the default DLL search, which begins in the program's own folder
// (the usual place of a downloaded loader, beside whatever else was
// downloaded), and so is every static import of the DLLs loaded that way.
// version.dll is loaded on first use, through the wrappers below.
namespace win32 {

typedef BOOL(WINAPI* SetDefaultDllDirectoriesProc)(DWORD);

#ifndef LOAD_LIBRARY_SEARCH_SYSTEM32
#define LOAD_LIBRARY_SEARCH_SYSTEM32 0x00000800
#endif
#ifndef LOAD_WITH_ALTERED_SEARCH_PATH
#define LOAD_WITH_ALTERED_SEARCH_PATH 0x00000008
#endif

// All of the state below is zero until filled at run time; no constructor runs.
static bool searchrestricted;

// user32's calls. Inside this namespace these names stand for the pointers,
// so that the record is filled from them and not from imports.
static decltype(Platform::MessageBoxA) MessageBoxA;
static decltype(Platform::wvsprintfA) wvsprintfA;
static decltype(Platform::MsgWaitForMultipleObjects) MsgWaitForMultipleObjects;
static decltype(Platform::PeekMessageA) PeekMessageA;
static decltype(Platform::TranslateMessage) TranslateMessage;
static decltype(Platform::DispatchMessageA) DispatchMessageA;
static decltype(Platform::GetProcessWindowStation) GetProcessWindowStation;
static decltype(Platform::GetUserObjectInformationA) GetUserObjectInformationA;

struct VersionLibrary {
  decltype(Platform::GetFileVersionInfoSizeA) getsize;
  decltype(Platform::GetFileVersionInfoA) getinfo;
  decltype(Platform::VerQueryValueA) query;
};
static VersionLibrary version;

// Limits where the process loads DLLs from, for every later load (also the
// loads that system DLLs make on their own), where the system supports it.
static void RestrictDllSearch() {
  HMODULE kernel = ::GetModuleHandleA("kernel32.dll");
  if (kernel == NULL) return;
  FARPROC proc = ::GetProcAddress(kernel, "SetDefaultDllDirectories");
  if (proc == NULL) return;
  SetDefaultDllDirectoriesProc setdirectories =
      reinterpret_cast<SetDefaultDllDirectoriesProc>(reinterpret_cast<void*>(proc));
  searchrestricted = setdirectories(LOAD_LIBRARY_SEARCH_SYSTEM32) != FALSE;
}

// Loads a DLL from the system directory and from nowhere else; null with the
// system error set when it cannot.
static HMODULE LoadSystemLibrary(const char* name) {
  if (searchrestricted) {
    HMODULE module = ::LoadLibraryExA(name, NULL, LOAD_LIBRARY_SEARCH_SYSTEM32);
    // Systems that know SetDefaultDllDirectories also know the flag; any
    // other failure is the load's own and is passed on.
    if (module != NULL || ::GetLastError() != ERROR_INVALID_PARAMETER) return module;
  }
  // Older systems: the full path in the system directory, so that no search
  // takes place for the DLL itself; with LOAD_WITH_ALTERED_SEARCH_PATH the
  // DLLs that it imports are sought in its own folder first, not in the
  // program's (a plain LoadLibraryA of the full path would look there first
  // for every import that is not a known DLL).
  char path[MAX_PATH + 16];
  UINT length = ::GetSystemDirectoryA(path, MAX_PATH);
  if (length == 0) return NULL;
  if (length >= MAX_PATH) {
    ::SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return NULL;
  }
  path[length++] = '\\';
  for (UINT i = 0; name[i] != 0 && length < sizeof(path) - 1; ++i) path[length++] = name[i];
  path[length] = 0;
  HMODULE module = ::LoadLibraryExA(path, NULL, LOAD_WITH_ALTERED_SEARCH_PATH);
  if (module != NULL || ::GetLastError() != ERROR_INVALID_PARAMETER) return module;
  return ::LoadLibraryA(path);  // a system that does not know the flag
}

// Looks up one export into a typed pointer; false when it is missing.
template <typename Proc>
static bool Find(HMODULE module, const char* name, Proc* proc) {
  FARPROC found = ::GetProcAddress(module, name);
  *proc = reinterpret_cast<Proc>(reinterpret_cast<void*>(found));
  return found != NULL;
}

static DWORD NotImplemented() {
  ::SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return 0;
}

// The Windows 95/98/Me family has no window stations: there the process has
// none, as the call would fail on those systems. (No handle is ever given
// for GetUserObjectInformationA then.)
static HWINSTA WINAPI NoWindowStation() { return reinterpret_cast<HWINSTA>(NotImplemented()); }

static bool LoadUser32() {
  HMODULE module = LoadSystemLibrary("user32.dll");
  if (module == NULL) return false;
  if (!Find(module, "GetProcessWindowStation", &GetProcessWindowStation) ||
      !Find(module, "GetUserObjectInformationA", &GetUserObjectInformationA))
    GetProcessWindowStation = NoWindowStation;
  return Find(module, "MessageBoxA", &MessageBoxA) && Find(module, "wvsprintfA", &wvsprintfA) &&
         Find(module, "MsgWaitForMultipleObjects", &MsgWaitForMultipleObjects) &&
         Find(module, "PeekMessageA", &PeekMessageA) && Find(module, "TranslateMessage", &TranslateMessage) &&
         Find(module, "DispatchMessageA", &DispatchMessageA);
}

// Loads version.dll and its three functions; false with the system error set
// when that cannot be done. Tried again on the next call after a failure.
static bool LoadVersionLibrary() {
  if (version.query != NULL) return true;
  HMODULE module = LoadSystemLibrary("version.dll");
  if (module == NULL) return false;
  VersionLibrary found;
  if (!Find(module, "GetFileVersionInfoSizeA", &found.getsize) || !Find(module, "GetFileVersionInfoA", &found.getinfo) ||
      !Find(module, "VerQueryValueA", &found.query)) {
    DWORD error = ::GetLastError();
    ::FreeLibrary(module);
    ::SetLastError(error);
    return false;
  }
  version = found;
  return true;
}

static DWORD WINAPI GetFileVersionInfoSizeA(LPCSTR lptstrFilename, LPDWORD lpdwHandle) {
  if (!LoadVersionLibrary()) {
    if (lpdwHandle != NULL) *lpdwHandle = 0;
    return 0;
  }
  return version.getsize(lptstrFilename, lpdwHandle);
}

static BOOL WINAPI GetFileVersionInfoA(LPCSTR lptstrFilename, DWORD dwHandle, DWORD dwLen, LPVOID lpData) {
  if (!LoadVersionLibrary()) return FALSE;
  return version.getinfo(lptstrFilename, dwHandle, dwLen, lpData);
}

static BOOL WINAPI VerQueryValueA(LPCVOID pBlock, LPCSTR lpSubBlock, LPVOID* lplpBuffer, PUINT puLen) {
  if (!LoadVersionLibrary()) return FALSE;
  return version.query(pBlock, lpSubBlock, lplpBuffer, puLen);
}

// kernel32's wide calls, looked up at run time: the Windows 95/98/Me
// family may lack them, and a missing import would keep the stub from
// starting there. A call that the system lacks fails with
// ERROR_CALL_NOT_IMPLEMENTED, as those systems' own stubs do.
struct WideLibrary {
  decltype(Platform::GetModuleFileNameW) modulefilename;
  decltype(Platform::GetTempPathW) temppath;
  decltype(Platform::GetShortPathNameW) shortpathname;
};
static WideLibrary wide;
// The loader calls these two on Windows NT only, which has them since its
// first version: the 95/98/Me family gets null pointers, never called.
static decltype(Platform::GetCommandLineW) GetCommandLineW;
static decltype(Platform::CreateProcessW) CreateProcessW;

static void FindWideCalls() {
  HMODULE kernel = ::GetModuleHandleA("kernel32.dll");
  if (kernel == NULL) return;
  Find(kernel, "GetModuleFileNameW", &wide.modulefilename);
  Find(kernel, "GetTempPathW", &wide.temppath);
  Find(kernel, "GetShortPathNameW", &wide.shortpathname);
  Find(kernel, "GetCommandLineW", &GetCommandLineW);
  Find(kernel, "CreateProcessW", &CreateProcessW);
}

static DWORD WINAPI GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize) {
  if (wide.modulefilename == NULL) return NotImplemented();
  return wide.modulefilename(hModule, lpFilename, nSize);
}

static DWORD WINAPI GetTempPathW(DWORD nBufferLength, LPWSTR lpBuffer) {
  if (wide.temppath == NULL) return NotImplemented();
  return wide.temppath(nBufferLength, lpBuffer);
}

static DWORD WINAPI GetShortPathNameW(LPCWSTR lpszLongPath, LPWSTR lpszShortPath, DWORD cchBuffer) {
  if (wide.shortpathname == NULL) return NotImplemented();
  return wide.shortpathname(lpszLongPath, lpszShortPath, cchBuffer);
}

// Where the record reads each operation from: for kernel32's own functions
// their slots in the import table, for the rest the pointers above or a
// constant that holds a wrapper's address. These addresses are fixed when
// the stub is linked, so the table costs four bytes an operation where a
// store per field cost ten; a slot whose stdcall size is wrong fails the
// link.
#ifdef _WIN64
#define PXQ_IMPORT_SYMBOL(name, bytes) "__imp_" #name
#else
#define PXQ_IMPORT_SYMBOL(name, bytes) "__imp__" #name "@" #bytes
#endif
#define PXQ_KERNEL32(name, bytes) \
  extern "C" const decltype(Platform::name) source_##name __asm__(PXQ_IMPORT_SYMBOL(name, bytes));
#define PXQ_POINTER(name) static decltype(Platform::name)& source_##name = name;
#define PXQ_WRAPPER(name) static const decltype(Platform::name) source_##name = name;

PXQ_KERNEL32(GetProcessHeap, 0)
PXQ_KERNEL32(HeapAlloc, 12)
PXQ_KERNEL32(HeapFree, 12)
PXQ_KERNEL32(GlobalAlloc, 8)
PXQ_KERNEL32(GlobalFree, 4)
PXQ_KERNEL32(GetVersionExA, 4)
PXQ_KERNEL32(GetModuleHandleA, 4)
PXQ_KERNEL32(GetProcAddress, 8)
PXQ_KERNEL32(GetSystemInfo, 4)
PXQ_KERNEL32(GetModuleFileNameA, 12)
PXQ_WRAPPER(GetModuleFileNameW)
PXQ_KERNEL32(GetCurrentProcessId, 0)
PXQ_KERNEL32(GetCommandLineA, 0)
PXQ_POINTER(GetCommandLineW)
PXQ_KERNEL32(CreateFileA, 28)
PXQ_KERNEL32(ReadFile, 20)
PXQ_KERNEL32(WriteFile, 20)
PXQ_KERNEL32(SetFilePointer, 16)
PXQ_KERNEL32(GetFileSize, 8)
PXQ_KERNEL32(CloseHandle, 4)
PXQ_KERNEL32(GetFileAttributesA, 4)
PXQ_KERNEL32(SetFileAttributesA, 8)
PXQ_KERNEL32(SetFileTime, 16)
PXQ_KERNEL32(DeleteFileA, 4)
PXQ_KERNEL32(GetTempPathA, 8)
PXQ_WRAPPER(GetTempPathW)
PXQ_WRAPPER(GetShortPathNameW)
PXQ_KERNEL32(CreateFileMappingA, 24)
PXQ_KERNEL32(MapViewOfFile, 20)
PXQ_KERNEL32(UnmapViewOfFile, 4)
PXQ_KERNEL32(MultiByteToWideChar, 24)
PXQ_KERNEL32(WideCharToMultiByte, 32)
PXQ_KERNEL32(lstrlenA, 4)
PXQ_KERNEL32(lstrcpynA, 12)
PXQ_KERNEL32(CreateProcessA, 40)
PXQ_POINTER(CreateProcessW)
PXQ_KERNEL32(SetEnvironmentVariableA, 8)
PXQ_KERNEL32(GetExitCodeProcess, 8)
PXQ_KERNEL32(ExitProcess, 4)
PXQ_KERNEL32(Sleep, 4)
PXQ_KERNEL32(GetLastError, 0)
PXQ_KERNEL32(SetLastError, 4)
PXQ_KERNEL32(OutputDebugStringA, 4)
PXQ_POINTER(MessageBoxA)
PXQ_POINTER(GetProcessWindowStation)
PXQ_POINTER(GetUserObjectInformationA)
PXQ_POINTER(wvsprintfA)
PXQ_POINTER(MsgWaitForMultipleObjects)
PXQ_POINTER(PeekMessageA)
PXQ_POINTER(TranslateMessage)
PXQ_POINTER(DispatchMessageA)
PXQ_WRAPPER(GetFileVersionInfoSizeA)
PXQ_WRAPPER(GetFileVersionInfoA)
PXQ_WRAPPER(VerQueryValueA)

// In the record's order, taken from the table of operations: an operation
// without a source above does not compile.
static const void* const sources[] = {
#define PXQ_WIN32_SOURCE(ret, name, fail, params, args) &source_##name,
    PXQ_PLATFORM_OPS(PXQ_WIN32_SOURCE)
#undef PXQ_WIN32_SOURCE
};

typedef void* __attribute__((may_alias)) AnyPointer;

static void Fill(Platform* record) {
  static_assert(sizeof(sources) / sizeof(sources[0]) == sizeof(Platform) / sizeof(AnyPointer),
                "one source per operation");
  AnyPointer* field = reinterpret_cast<AnyPointer*>(record);
  for (uint32_t i = 0; i < sizeof(sources) / sizeof(sources[0]); ++i)
    field[i] = *static_cast<const AnyPointer*>(sources[i]);
}

}  // namespace win32

const Platform* Win32Platform() {
  static Platform record;
  if (record.GetProcessHeap == NULL) {
    win32::RestrictDllSearch();
    if (!win32::LoadUser32()) return NULL;
    win32::FindWideCalls();
    win32::Fill(&record);
  }
  return &record;
}
