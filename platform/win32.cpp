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

static bool LoadUser32() {
  HMODULE module = LoadSystemLibrary("user32.dll");
  return module != NULL && Find(module, "MessageBoxA", &MessageBoxA) && Find(module, "wvsprintfA", &wvsprintfA) &&
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

// kernel32's wide path calls, looked up at run time: the Windows 95/98/Me
// family may lack them, and a missing import would keep the stub from
// starting there. A call that the system lacks fails with
// ERROR_CALL_NOT_IMPLEMENTED, as those systems' own stubs do.
struct WideLibrary {
  decltype(Platform::GetModuleFileNameW) modulefilename;
  decltype(Platform::GetTempPathW) temppath;
  decltype(Platform::GetShortPathNameW) shortpathname;
};
static WideLibrary wide;

static void FindWideCalls() {
  HMODULE kernel = ::GetModuleHandleA("kernel32.dll");
  if (kernel == NULL) return;
  Find(kernel, "GetModuleFileNameW", &wide.modulefilename);
  Find(kernel, "GetTempPathW", &wide.temppath);
  Find(kernel, "GetShortPathNameW", &wide.shortpathname);
}

static DWORD NotImplemented() {
  ::SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return 0;
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

// Inside this namespace the user32, version and wide path names resolve to
// the pointers and wrappers above, every other name to kernel32's own
// function.
static void Fill(Platform* record) {
#define PXQ_WIN32_FIELD(ret, name, fail, params, args) record->name = name;
  PXQ_PLATFORM_OPS(PXQ_WIN32_FIELD)
#undef PXQ_WIN32_FIELD
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
