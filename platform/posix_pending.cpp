// Operations of the posix backend that are not implemented yet: each fails
// with ERROR_CALL_NOT_IMPLEMENTED (120). Remove an entry when its real one lands.
#include "platform/posix_internal.h"

#pragma GCC diagnostic ignored "-Wunused-parameter"

HANDLE PosixGetProcessHeap (void)
{
  PosixSetLastError(120); return __null;
}
LPVOID PosixHeapAlloc (HANDLE hHeap, DWORD dwFlags, SIZE_T dwBytes)
{
  PosixSetLastError(120); return __null;
}
BOOL PosixHeapFree (HANDLE hHeap, DWORD dwFlags, LPVOID lpMem)
{
  PosixSetLastError(120); return 0;
}
HGLOBAL PosixGlobalAlloc (UINT uFlags, SIZE_T dwBytes)
{
  PosixSetLastError(120); return __null;
}
HGLOBAL PosixGlobalFree (HGLOBAL hMem)
{
  PosixSetLastError(120); return hMem;
}
BOOL PosixGetVersionExA (LPOSVERSIONINFOA lpVersionInformation)
{
  PosixSetLastError(120); return 0;
}
HMODULE PosixGetModuleHandleA (LPCSTR lpModuleName)
{
  PosixSetLastError(120); return __null;
}
FARPROC PosixGetProcAddress (HMODULE hModule, LPCSTR lpProcName)
{
  PosixSetLastError(120); return __null;
}
void PosixGetSystemInfo (LPSYSTEM_INFO lpSystemInfo)
{
  PosixSetLastError(120); return (void)0;
}
DWORD PosixGetModuleFileNameA (HMODULE hModule, LPSTR lpFilename, DWORD nSize)
{
  PosixSetLastError(120); return 0;
}
DWORD PosixGetCurrentProcessId (void)
{
  PosixSetLastError(120); return 0;
}
HANDLE PosixCreateFileA (LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode, LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes, HANDLE hTemplateFile)
{
  PosixSetLastError(120); return ((HANDLE)(intptr_t)-1);
}
BOOL PosixReadFile (HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped)
{
  PosixSetLastError(120); return 0;
}
BOOL PosixWriteFile (HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped)
{
  PosixSetLastError(120); return 0;
}
DWORD PosixSetFilePointer (HANDLE hFile, LONG lDistanceToMove, PLONG lpDistanceToMoveHigh, DWORD dwMoveMethod)
{
  PosixSetLastError(120); return ((DWORD)-1);
}
DWORD PosixGetFileSize (HANDLE hFile, LPDWORD lpFileSizeHigh)
{
  PosixSetLastError(120); return ((DWORD)0xFFFFFFFF);
}
BOOL PosixCloseHandle (HANDLE hObject)
{
  PosixSetLastError(120); return 0;
}
DWORD PosixGetFileAttributesA (LPCSTR lpFileName)
{
  PosixSetLastError(120); return ((DWORD)-1);
}
BOOL PosixSetFileAttributesA (LPCSTR lpFileName, DWORD dwFileAttributes)
{
  PosixSetLastError(120); return 0;
}
BOOL PosixSetFileTime (HANDLE hFile, const FILETIME* lpCreationTime, const FILETIME* lpLastAccessTime, const FILETIME* lpLastWriteTime)
{
  PosixSetLastError(120); return 0;
}
BOOL PosixDeleteFileA (LPCSTR lpFileName)
{
  PosixSetLastError(120); return 0;
}
DWORD PosixGetTempPathA (DWORD nBufferLength, LPSTR lpBuffer)
{
  PosixSetLastError(120); return 0;
}
HANDLE PosixCreateFileMappingA (HANDLE hFile, LPSECURITY_ATTRIBUTES lpAttributes, DWORD flProtect, DWORD dwMaximumSizeHigh, DWORD dwMaximumSizeLow, LPCSTR lpName)
{
  PosixSetLastError(120); return __null;
}
LPVOID PosixMapViewOfFile (HANDLE hFileMappingObject, DWORD dwDesiredAccess, DWORD dwFileOffsetHigh, DWORD dwFileOffsetLow, SIZE_T dwNumberOfBytesToMap)
{
  PosixSetLastError(120); return __null;
}
BOOL PosixUnmapViewOfFile (LPCVOID lpBaseAddress)
{
  PosixSetLastError(120); return 0;
}
int PosixMultiByteToWideChar (UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr, int cbMultiByte, LPWSTR lpWideCharStr, int cchWideChar)
{
  PosixSetLastError(120); return 0;
}
int PosixWideCharToMultiByte (UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr, int cchWideChar, LPSTR lpMultiByteStr, int cbMultiByte, LPCSTR lpDefaultChar, LPBOOL lpUsedDefaultChar)
{
  PosixSetLastError(120); return 0;
}
int PosixlstrlenA (LPCSTR lpString)
{
  PosixSetLastError(120); return 0;
}
LPSTR PosixlstrcpynA (LPSTR lpString1, LPCSTR lpString2, int iMaxLength)
{
  PosixSetLastError(120); return __null;
}
BOOL PosixCreateProcessA (LPCSTR lpApplicationName, LPSTR lpCommandLine, LPSECURITY_ATTRIBUTES lpProcessAttributes, LPSECURITY_ATTRIBUTES lpThreadAttributes, BOOL bInheritHandles, DWORD dwCreationFlags, LPVOID lpEnvironment, LPCSTR lpCurrentDirectory, LPSTARTUPINFOA lpStartupInfo, LPPROCESS_INFORMATION lpProcessInformation)
{
  PosixSetLastError(120); return 0;
}
BOOL PosixGetExitCodeProcess (HANDLE hProcess, LPDWORD lpExitCode)
{
  PosixSetLastError(120); return 0;
}
void PosixExitProcess (UINT uExitCode)
{
  PosixSetLastError(120); return (void)0;
}
void PosixSleep (DWORD dwMilliseconds)
{
  PosixSetLastError(120); return (void)0;
}
void PosixOutputDebugStringA (LPCSTR lpOutputString)
{
  PosixSetLastError(120); return (void)0;
}
int PosixMessageBoxA (HWND hWnd, LPCSTR lpText, LPCSTR lpCaption, UINT uType)
{
  PosixSetLastError(120); return 0;
}
int PosixwvsprintfA (LPSTR lpOutput, LPCSTR lpFormat, va_list arglist)
{
  PosixSetLastError(120); return 0;
}
DWORD PosixMsgWaitForMultipleObjects (DWORD nCount, const HANDLE* pHandles, BOOL fWaitAll, DWORD dwMilliseconds, DWORD dwWakeMask)
{
  PosixSetLastError(120); return 0xFFFFFFFFu;
}
BOOL PosixPeekMessageA (LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax, UINT wRemoveMsg)
{
  PosixSetLastError(120); return 0;
}
BOOL PosixTranslateMessage (const MSG* lpMsg)
{
  PosixSetLastError(120); return 0;
}
LRESULT PosixDispatchMessageA (const MSG* lpMsg)
{
  PosixSetLastError(120); return 0;
}
DWORD PosixGetFileVersionInfoSizeA (LPCSTR lptstrFilename, LPDWORD lpdwHandle)
{
  PosixSetLastError(120); return 0;
}
BOOL PosixGetFileVersionInfoA (LPCSTR lptstrFilename, DWORD dwHandle, DWORD dwLen, LPVOID lpData)
{
  PosixSetLastError(120); return 0;
}
BOOL PosixVerQueryValueA (LPCVOID pBlock, LPCSTR lpSubBlock, LPVOID* lplpBuffer, PUINT puLen)
{
  PosixSetLastError(120); return 0;
}
