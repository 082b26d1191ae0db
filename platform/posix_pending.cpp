// Operations of the posix backend that are not implemented yet: each fails
// with ERROR_CALL_NOT_IMPLEMENTED (120). Remove an entry when its real one lands.
#include "platform/posix_internal.h"

#pragma GCC diagnostic ignored "-Wunused-parameter"

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
BOOL PosixCreateProcessA (LPCSTR lpApplicationName, LPSTR lpCommandLine, LPSECURITY_ATTRIBUTES lpProcessAttributes, LPSECURITY_ATTRIBUTES lpThreadAttributes, BOOL bInheritHandles, DWORD dwCreationFlags, LPVOID lpEnvironment, LPCSTR lpCurrentDirectory, LPSTARTUPINFOA lpStartupInfo, LPPROCESS_INFORMATION lpProcessInformation)
{
  PosixSetLastError(120); return 0;
}
BOOL PosixGetExitCodeProcess (HANDLE hProcess, LPDWORD lpExitCode)
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
