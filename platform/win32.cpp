#include "platform/win32.h"

// Only kernel32 and msvcrt are imported. user32 and version.dll are loaded
// at run time from the system directory only: a static import is resolved
// through the default DLL search, which begins in the program's own folder
// (the usual place of a downloaded loader, beside whatever else was
// downloaded), and so is every static import of the DLLs loaded that way.
// Both are loaded when the record is made: nearly every run reads the
// version resource, for its "Arguments" value or to learn whether to show a
// failure.
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

typedef void* __attribute__((may_alias)) AnyPointer;

// Looks up the exports named in `names` (each ended by a NUL, the list by an
// empty name) into the pointers that start at `calls`, in the same order;
// whether all were found. A missing one is left null.
static bool FindAll(HMODULE module, const char* names, void* calls) {
  AnyPointer* call = static_cast<AnyPointer*>(calls);
  bool all = true;
  while (*names != 0) {
    *call = reinterpret_cast<void*>(::GetProcAddress(module, names));
    all &= *call++ != NULL;
    while (*names++ != 0) {
    }
  }
  return all;
}

// user32's calls, in the order of their names below.
struct User32Calls {
  decltype(Platform::MessageBoxA) MessageBoxA;
  decltype(Platform::wvsprintfA) wvsprintfA;
  decltype(Platform::MsgWaitForMultipleObjects) MsgWaitForMultipleObjects;
  decltype(Platform::PeekMessageA) PeekMessageA;
  decltype(Platform::TranslateMessage) TranslateMessage;
  decltype(Platform::DispatchMessageA) DispatchMessageA;
  decltype(Platform::GetProcessWindowStation) GetProcessWindowStation;
  decltype(Platform::GetUserObjectInformationA) GetUserObjectInformationA;
};
static User32Calls user32;
static const char user32names[] =
    "MessageBoxA\0wvsprintfA\0MsgWaitForMultipleObjects\0PeekMessageA\0TranslateMessage\0DispatchMessageA\0";
static const char stationnames[] = "GetProcessWindowStation\0GetUserObjectInformationA\0";

// version.dll's calls, in the order of their names below. The wide ones
// serve Windows NT only: the 95/98/Me family may get null pointers, never
// called.
struct VersionLibrary {
  decltype(Platform::GetFileVersionInfoSizeA) GetFileVersionInfoSizeA;
  decltype(Platform::GetFileVersionInfoA) GetFileVersionInfoA;
  decltype(Platform::VerQueryValueA) VerQueryValueA;
  decltype(Platform::GetFileVersionInfoSizeW) GetFileVersionInfoSizeW;
  decltype(Platform::GetFileVersionInfoW) GetFileVersionInfoW;
};
static VersionLibrary version;
static const char versionnames[] = "GetFileVersionInfoSizeA\0GetFileVersionInfoA\0VerQueryValueA\0";
static const char versionwidenames[] = "GetFileVersionInfoSizeW\0GetFileVersionInfoW\0";

// Limits where the process loads DLLs from, for every later load (also the
// loads that system DLLs make on their own), where the system supports it.
static void RestrictDllSearch(HMODULE kernel) {
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
  if (!FindAll(module, stationnames, &user32.GetProcessWindowStation)) user32.GetProcessWindowStation = NoWindowStation;
  return FindAll(module, user32names, &user32);
}

// Stand-ins for version.dll's calls where it cannot be had: every call
// fails, as for a file without a version block. (Stdcall functions of two
// and of four 32-bit or pointer arguments, whatever their types.)
static DWORD WINAPI FailTwo(const void*, void*) { return NotImplemented(); }
static DWORD WINAPI FailFour(const void*, const void*, const void*, void*) { return NotImplemented(); }

static void LoadVersionLibrary() {
  HMODULE module = LoadSystemLibrary("version.dll");
  if (module != NULL && FindAll(module, versionnames, &version)) {
    FindAll(module, versionwidenames, &version.GetFileVersionInfoSizeW);
    return;
  }
  AnyPointer* call = reinterpret_cast<AnyPointer*>(&version);
  call[0] = call[3] = reinterpret_cast<void*>(FailTwo);
  call[1] = call[2] = call[4] = reinterpret_cast<void*>(FailFour);
}

// kernel32's wide calls, looked up at run time: the Windows 95/98/Me
// family may lack them, and a missing import would keep the stub from
// starting there. The loader calls them on Windows NT only, which has them
// all: elsewhere they may be null pointers, never called. In the order of
// their names below.
struct WideLibrary {
  decltype(Platform::GetModuleFileNameW) GetModuleFileNameW;
  decltype(Platform::GetTempPathW) GetTempPathW;
  decltype(Platform::GetShortPathNameW) GetShortPathNameW;
  decltype(Platform::GetCommandLineW) GetCommandLineW;
  decltype(Platform::CreateProcessW) CreateProcessW;
  decltype(Platform::CreateFileW) CreateFileW;
  decltype(Platform::SetEnvironmentVariableW) SetEnvironmentVariableW;
};
static WideLibrary wide;
static const char widenames[] =
    "GetModuleFileNameW\0GetTempPathW\0GetShortPathNameW\0GetCommandLineW\0CreateProcessW\0CreateFileW\0"
    "SetEnvironmentVariableW\0";

// Where the record reads each operation from: for kernel32's own functions
// their slots in the import table, for the rest the pointers above. These addresses are fixed when
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
#define PXQ_POINTER(name, calls) static decltype(Platform::name)& source_##name = calls.name;

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
PXQ_POINTER(GetModuleFileNameW, wide)
PXQ_KERNEL32(GetCurrentProcessId, 0)
PXQ_KERNEL32(GetCommandLineA, 0)
PXQ_POINTER(GetCommandLineW, wide)
PXQ_KERNEL32(CreateFileA, 28)
PXQ_POINTER(CreateFileW, wide)
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
PXQ_POINTER(GetTempPathW, wide)
PXQ_POINTER(GetShortPathNameW, wide)
PXQ_KERNEL32(CreateFileMappingA, 24)
PXQ_KERNEL32(MapViewOfFile, 20)
PXQ_KERNEL32(UnmapViewOfFile, 4)
PXQ_KERNEL32(MultiByteToWideChar, 24)
PXQ_KERNEL32(WideCharToMultiByte, 32)
PXQ_KERNEL32(lstrlenA, 4)
PXQ_KERNEL32(lstrcpynA, 12)
PXQ_KERNEL32(CreateProcessA, 40)
PXQ_POINTER(CreateProcessW, wide)
PXQ_KERNEL32(SetEnvironmentVariableA, 8)
PXQ_POINTER(SetEnvironmentVariableW, wide)
PXQ_KERNEL32(GetExitCodeProcess, 8)
PXQ_KERNEL32(ExitProcess, 4)
PXQ_KERNEL32(Sleep, 4)
PXQ_KERNEL32(GetLastError, 0)
PXQ_KERNEL32(SetLastError, 4)
PXQ_KERNEL32(OutputDebugStringA, 4)
PXQ_POINTER(MessageBoxA, user32)
PXQ_POINTER(GetProcessWindowStation, user32)
PXQ_POINTER(GetUserObjectInformationA, user32)
PXQ_POINTER(wvsprintfA, user32)
PXQ_POINTER(MsgWaitForMultipleObjects, user32)
PXQ_POINTER(PeekMessageA, user32)
PXQ_POINTER(TranslateMessage, user32)
PXQ_POINTER(DispatchMessageA, user32)
PXQ_POINTER(GetFileVersionInfoSizeA, version)
PXQ_POINTER(GetFileVersionInfoA, version)
PXQ_POINTER(GetFileVersionInfoSizeW, version)
PXQ_POINTER(GetFileVersionInfoW, version)
PXQ_POINTER(VerQueryValueA, version)

// In the record's order, taken from the table of operations: an operation
// without a source above does not compile.
static const void* const sources[] = {
#define PXQ_WIN32_SOURCE(ret, name, fail, params, args) &source_##name,
    PXQ_PLATFORM_OPS(PXQ_WIN32_SOURCE)
#undef PXQ_WIN32_SOURCE
};

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
    HMODULE kernel = ::GetModuleHandleA("kernel32.dll");
    if (kernel != NULL) {
      win32::RestrictDllSearch(kernel);
      win32::FindAll(kernel, win32::widenames, &win32::wide);
    }
    if (!win32::LoadUser32()) return NULL;
    win32::LoadVersionLibrary();
    win32::Fill(&record);
  }
  return &record;
}
