// The seam between the loader and the operating system.
//
// Every system call that launcher/ and package/ make goes through one
// `Platform` record: a plain table of function pointers that keep the Windows
// names, arguments and results (result codes and GetLastError numbers as
// Windows gives them). One record exists per backend: win32 (the real calls),
// posix (the host emulation used by `pxq`), and testing (wraps another backend
// to inject faults, script values and count what is left open).
#pragma once

#include "platform/types.h"

// The table of operations: X(result type, name, value returned when the
// testing backend injects a failure, parameter list, argument list).
#define PXQ_PLATFORM_OPS(X)                                                                                   \
  X(HANDLE, GetProcessHeap, NULL, (void), ())                                                                 \
  X(LPVOID, HeapAlloc, NULL, (HANDLE hHeap, DWORD dwFlags, SIZE_T dwBytes), (hHeap, dwFlags, dwBytes))        \
  X(BOOL, HeapFree, FALSE, (HANDLE hHeap, DWORD dwFlags, LPVOID lpMem), (hHeap, dwFlags, lpMem))              \
  X(HGLOBAL, GlobalAlloc, NULL, (UINT uFlags, SIZE_T dwBytes), (uFlags, dwBytes))                             \
  X(HGLOBAL, GlobalFree, hMem, (HGLOBAL hMem), (hMem))                                                        \
  X(BOOL, GetVersionExA, FALSE, (LPOSVERSIONINFOA lpVersionInformation), (lpVersionInformation))              \
  X(HMODULE, GetModuleHandleA, NULL, (LPCSTR lpModuleName), (lpModuleName))                                   \
  X(FARPROC, GetProcAddress, NULL, (HMODULE hModule, LPCSTR lpProcName), (hModule, lpProcName))               \
  X(void, GetSystemInfo, (void)0, (LPSYSTEM_INFO lpSystemInfo), (lpSystemInfo))                               \
  X(DWORD, GetModuleFileNameA, 0, (HMODULE hModule, LPSTR lpFilename, DWORD nSize), (hModule, lpFilename, nSize)) \
  X(DWORD, GetModuleFileNameW, 0, (HMODULE hModule, LPWSTR lpFilename, DWORD nSize), (hModule, lpFilename, nSize)) \
  X(DWORD, GetCurrentProcessId, 0, (void), ())                                                                \
  X(LPSTR, GetCommandLineA, NULL, (void), ())                                                                 \
  X(LPWSTR, GetCommandLineW, NULL, (void), ())                                                                \
  X(HANDLE, CreateFileA, INVALID_HANDLE_VALUE,                                                                \
    (LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode, LPSECURITY_ATTRIBUTES lpSecurityAttributes, \
     DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes, HANDLE hTemplateFile),                          \
    (lpFileName, dwDesiredAccess, dwShareMode, lpSecurityAttributes, dwCreationDisposition,                  \
     dwFlagsAndAttributes, hTemplateFile))                                                                    \
  X(HANDLE, CreateFileW, INVALID_HANDLE_VALUE,                                                                \
    (LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode, LPSECURITY_ATTRIBUTES lpSecurityAttributes, \
     DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes, HANDLE hTemplateFile),                          \
    (lpFileName, dwDesiredAccess, dwShareMode, lpSecurityAttributes, dwCreationDisposition,                  \
     dwFlagsAndAttributes, hTemplateFile))                                                                    \
  X(BOOL, ReadFile, FALSE,                                                                                    \
    (HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,                  \
     LPOVERLAPPED lpOverlapped),                                                                              \
    (hFile, lpBuffer, nNumberOfBytesToRead, lpNumberOfBytesRead, lpOverlapped))                               \
  X(BOOL, WriteFile, FALSE,                                                                                   \
    (HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,             \
     LPOVERLAPPED lpOverlapped),                                                                              \
    (hFile, lpBuffer, nNumberOfBytesToWrite, lpNumberOfBytesWritten, lpOverlapped))                           \
  X(DWORD, SetFilePointer, INVALID_SET_FILE_POINTER,                                                          \
    (HANDLE hFile, LONG lDistanceToMove, PLONG lpDistanceToMoveHigh, DWORD dwMoveMethod),                     \
    (hFile, lDistanceToMove, lpDistanceToMoveHigh, dwMoveMethod))                                             \
  X(DWORD, GetFileSize, INVALID_FILE_SIZE, (HANDLE hFile, LPDWORD lpFileSizeHigh), (hFile, lpFileSizeHigh))   \
  X(BOOL, CloseHandle, FALSE, (HANDLE hObject), (hObject))                                                    \
  X(DWORD, GetFileAttributesA, INVALID_FILE_ATTRIBUTES, (LPCSTR lpFileName), (lpFileName))                    \
  X(BOOL, SetFileAttributesA, FALSE, (LPCSTR lpFileName, DWORD dwFileAttributes), (lpFileName, dwFileAttributes)) \
  X(BOOL, SetFileTime, FALSE,                                                                                 \
    (HANDLE hFile, const FILETIME* lpCreationTime, const FILETIME* lpLastAccessTime,                          \
     const FILETIME* lpLastWriteTime),                                                                        \
    (hFile, lpCreationTime, lpLastAccessTime, lpLastWriteTime))                                               \
  X(BOOL, DeleteFileA, FALSE, (LPCSTR lpFileName), (lpFileName))                                              \
  X(DWORD, GetTempPathA, 0, (DWORD nBufferLength, LPSTR lpBuffer), (nBufferLength, lpBuffer))                 \
  X(DWORD, GetTempPathW, 0, (DWORD nBufferLength, LPWSTR lpBuffer), (nBufferLength, lpBuffer))                \
  X(DWORD, GetShortPathNameW, 0, (LPCWSTR lpszLongPath, LPWSTR lpszShortPath, DWORD cchBuffer),               \
    (lpszLongPath, lpszShortPath, cchBuffer))                                                                 \
  X(HANDLE, CreateFileMappingA, NULL,                                                                         \
    (HANDLE hFile, LPSECURITY_ATTRIBUTES lpAttributes, DWORD flProtect, DWORD dwMaximumSizeHigh,              \
     DWORD dwMaximumSizeLow, LPCSTR lpName),                                                                  \
    (hFile, lpAttributes, flProtect, dwMaximumSizeHigh, dwMaximumSizeLow, lpName))                            \
  X(LPVOID, MapViewOfFile, NULL,                                                                              \
    (HANDLE hFileMappingObject, DWORD dwDesiredAccess, DWORD dwFileOffsetHigh, DWORD dwFileOffsetLow,         \
     SIZE_T dwNumberOfBytesToMap),                                                                            \
    (hFileMappingObject, dwDesiredAccess, dwFileOffsetHigh, dwFileOffsetLow, dwNumberOfBytesToMap))           \
  X(BOOL, UnmapViewOfFile, FALSE, (LPCVOID lpBaseAddress), (lpBaseAddress))                                   \
  X(int, MultiByteToWideChar, 0,                                                                              \
    (UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr, int cbMultiByte, LPWSTR lpWideCharStr,              \
     int cchWideChar),                                                                                        \
    (CodePage, dwFlags, lpMultiByteStr, cbMultiByte, lpWideCharStr, cchWideChar))                             \
  X(int, WideCharToMultiByte, 0,                                                                              \
    (UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr, int cchWideChar, LPSTR lpMultiByteStr,              \
     int cbMultiByte, LPCSTR lpDefaultChar, LPBOOL lpUsedDefaultChar),                                        \
    (CodePage, dwFlags, lpWideCharStr, cchWideChar, lpMultiByteStr, cbMultiByte, lpDefaultChar,               \
     lpUsedDefaultChar))                                                                                      \
  X(int, lstrlenA, 0, (LPCSTR lpString), (lpString))                                                          \
  X(LPSTR, lstrcpynA, NULL, (LPSTR lpString1, LPCSTR lpString2, int iMaxLength),                              \
    (lpString1, lpString2, iMaxLength))                                                                       \
  X(BOOL, CreateProcessA, FALSE,                                                                              \
    (LPCSTR lpApplicationName, LPSTR lpCommandLine, LPSECURITY_ATTRIBUTES lpProcessAttributes,                \
     LPSECURITY_ATTRIBUTES lpThreadAttributes, BOOL bInheritHandles, DWORD dwCreationFlags,                   \
     LPVOID lpEnvironment, LPCSTR lpCurrentDirectory, LPSTARTUPINFOA lpStartupInfo,                           \
     LPPROCESS_INFORMATION lpProcessInformation),                                                             \
    (lpApplicationName, lpCommandLine, lpProcessAttributes, lpThreadAttributes, bInheritHandles,             \
     dwCreationFlags, lpEnvironment, lpCurrentDirectory, lpStartupInfo, lpProcessInformation))                \
  X(BOOL, CreateProcessW, FALSE,                                                                              \
    (LPCWSTR lpApplicationName, LPWSTR lpCommandLine, LPSECURITY_ATTRIBUTES lpProcessAttributes,              \
     LPSECURITY_ATTRIBUTES lpThreadAttributes, BOOL bInheritHandles, DWORD dwCreationFlags,                   \
     LPVOID lpEnvironment, LPCWSTR lpCurrentDirectory, LPSTARTUPINFOW lpStartupInfo,                          \
     LPPROCESS_INFORMATION lpProcessInformation),                                                             \
    (lpApplicationName, lpCommandLine, lpProcessAttributes, lpThreadAttributes, bInheritHandles,             \
     dwCreationFlags, lpEnvironment, lpCurrentDirectory, lpStartupInfo, lpProcessInformation))                \
  X(BOOL, SetEnvironmentVariableA, FALSE, (LPCSTR lpName, LPCSTR lpValue), (lpName, lpValue))                \
  X(BOOL, SetEnvironmentVariableW, FALSE, (LPCWSTR lpName, LPCWSTR lpValue), (lpName, lpValue))              \
  X(BOOL, GetExitCodeProcess, FALSE, (HANDLE hProcess, LPDWORD lpExitCode), (hProcess, lpExitCode))           \
  X(void, ExitProcess, (void)0, (UINT uExitCode), (uExitCode))                                                \
  X(void, Sleep, (void)0, (DWORD dwMilliseconds), (dwMilliseconds))                                           \
  X(DWORD, GetLastError, 0, (void), ())                                                                       \
  X(void, SetLastError, (void)0, (DWORD dwErrCode), (dwErrCode))                                              \
  X(void, OutputDebugStringA, (void)0, (LPCSTR lpOutputString), (lpOutputString))                             \
  X(int, MessageBoxA, 0, (HWND hWnd, LPCSTR lpText, LPCSTR lpCaption, UINT uType),                            \
    (hWnd, lpText, lpCaption, uType))                                                                         \
  X(HWINSTA, GetProcessWindowStation, NULL, (void), ())                                                        \
  X(BOOL, GetUserObjectInformationA, FALSE,                                                                   \
    (HANDLE hObj, int nIndex, PVOID pvInfo, DWORD nLength, LPDWORD lpnLengthNeeded),                          \
    (hObj, nIndex, pvInfo, nLength, lpnLengthNeeded))                                                         \
  X(int, wvsprintfA, 0, (LPSTR lpOutput, LPCSTR lpFormat, va_list arglist), (lpOutput, lpFormat, arglist))    \
  X(DWORD, MsgWaitForMultipleObjects, WAIT_FAILED,                                                            \
    (DWORD nCount, const HANDLE* pHandles, BOOL fWaitAll, DWORD dwMilliseconds, DWORD dwWakeMask),            \
    (nCount, pHandles, fWaitAll, dwMilliseconds, dwWakeMask))                                                 \
  X(BOOL, PeekMessageA, FALSE,                                                                                \
    (LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax, UINT wRemoveMsg),                        \
    (lpMsg, hWnd, wMsgFilterMin, wMsgFilterMax, wRemoveMsg))                                                  \
  X(BOOL, TranslateMessage, FALSE, (const MSG* lpMsg), (lpMsg))                                               \
  X(LRESULT, DispatchMessageA, 0, (const MSG* lpMsg), (lpMsg))                                                \
  X(DWORD, GetFileVersionInfoSizeA, 0, (LPCSTR lptstrFilename, LPDWORD lpdwHandle), (lptstrFilename, lpdwHandle)) \
  X(BOOL, GetFileVersionInfoA, FALSE, (LPCSTR lptstrFilename, DWORD dwHandle, DWORD dwLen, LPVOID lpData),    \
    (lptstrFilename, dwHandle, dwLen, lpData))                                                                \
  X(DWORD, GetFileVersionInfoSizeW, 0, (LPCWSTR lptstrFilename, LPDWORD lpdwHandle), (lptstrFilename, lpdwHandle)) \
  X(BOOL, GetFileVersionInfoW, FALSE, (LPCWSTR lptstrFilename, DWORD dwHandle, DWORD dwLen, LPVOID lpData),  \
    (lptstrFilename, dwHandle, dwLen, lpData))                                                                \
  X(BOOL, VerQueryValueA, FALSE, (LPCVOID pBlock, LPCSTR lpSubBlock, LPVOID* lplpBuffer, PUINT puLen),        \
    (pBlock, lpSubBlock, lplpBuffer, puLen))

// The signature of GetNativeSystemInfo, which is looked up at run time.
typedef void(PXQ_WINAPI* GetNativeSystemInfoProc)(LPSYSTEM_INFO);

// One backend: a table of the operations above.
struct Platform {
#define PXQ_PLATFORM_FIELD(ret, name, fail, params, args) ret(PXQ_WINAPI* name) params;
  PXQ_PLATFORM_OPS(PXQ_PLATFORM_FIELD)
#undef PXQ_PLATFORM_FIELD
};

// Numbers for the operations, in table order (used by the testing backend).
enum PlatformOp : uint32_t {
#define PXQ_PLATFORM_ENUM(ret, name, fail, params, args) Op_##name,
  PXQ_PLATFORM_OPS(PXQ_PLATFORM_ENUM)
#undef PXQ_PLATFORM_ENUM
  PlatformOpCount
};

// The backend in use. Set once at start (win32 stub, pxq) or per test.
extern const Platform* activePlatform;

inline const Platform& Sys() { return *activePlatform; }

// Installs a backend; returns the one that was active before.
const Platform* UsePlatform(const Platform* platform);

// wsprintfA through the active backend's wvsprintfA: the Windows formatter's
// rules, at most 1,024 bytes written including the terminator.
int FormatText(char* output, const char* format, ...);
