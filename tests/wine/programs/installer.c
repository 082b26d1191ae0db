/* A stand-in installer for the Wine tests. It records what the loader gave
 * it into the file named by PXQ_TEST_RECORD (one "key=value" line each):
 * which build it is, its command line (as an ANSI program reads it, and as a
 * Unicode one does, in UTF-8), PXQ_LOADER_PATH as a Unicode program reads
 * it (in UTF-8, when set), its own path, its own file's
 * attributes and last-write time, its parent's (the loader's) process id, and
 * whether its last argument (the loader's own path) names a file. It then
 * exits with the code in PXQ_TEST_EXIT (decimal, default 0). With no record
 * file named it prints the command line instead, for the demo.
 *
 * For the tests of the wait and the removal: PXQ_TEST_POST=1 posts WM_QUIT
 * and another message to the loader's thread and gives it time to see them
 * before ending; PXQ_TEST_LINGER_MS=N leaves a process behind that holds the
 * installer's file open (sharing reading only) for N milliseconds. */
#include <windows.h>
#include <tlhelp32.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#ifndef BUILD_NAME
#define BUILD_NAME "generic"
#endif

/* The process that holds the file: started with PXQ_TEST_HOLD_MS set. */
static int HoldOwnFile(const char* milliseconds) {
  char path[MAX_PATH];
  if (GetModuleFileNameA(NULL, path, MAX_PATH) == 0) return 97;
  HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
  Sleep((DWORD)strtoul(milliseconds, NULL, 10));
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  return 0;
}

/* Starts a copy of this program that holds the file and outlives us. */
static void LeaveHolderBehind(const char* milliseconds) {
  char path[MAX_PATH];
  if (GetModuleFileNameA(NULL, path, MAX_PATH) == 0) return;
  SetEnvironmentVariableA("PXQ_TEST_HOLD_MS", milliseconds);
  STARTUPINFOA startup;
  PROCESS_INFORMATION process;
  ZeroMemory(&startup, sizeof(startup));
  startup.cb = sizeof(startup);
  if (CreateProcessA(path, NULL, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process)) {
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  }
  SetEnvironmentVariableA("PXQ_TEST_HOLD_MS", NULL);
  Sleep(300); /* time to open the file */
}

/* Posts WM_QUIT and WM_USER to every thread of the process `owner`. */
static void PostToThreadsOf(DWORD owner) {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return;
  THREADENTRY32 entry;
  entry.dwSize = sizeof(entry);
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
    if (entry.th32OwnerProcessID != owner) continue;
    PostThreadMessageA(entry.th32ThreadID, WM_QUIT, 0, 0);
    PostThreadMessageA(entry.th32ThreadID, WM_USER + 7, 1, 2);
  }
  CloseHandle(snapshot);
}

static DWORD ParentProcessId(void) {
  DWORD self = GetCurrentProcessId();
  DWORD parent = 0;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return 0;
  PROCESSENTRY32 entry;
  entry.dwSize = sizeof(entry);
  for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry)) {
    if (entry.th32ProcessID == self) parent = entry.th32ParentProcessID;
  }
  CloseHandle(snapshot);
  return parent;
}

/* Whether the last argument, the loader's own path in quotes, names an
 * existing file (the installer reads the rest of the package from it). */
static int OwnPathFound(const char* commandline) {
  size_t length = strlen(commandline);
  if (length < 2 || commandline[length - 1] != '"') return 0;
  const char* end = commandline + length - 1;
  const char* start = end;
  while (start > commandline && start[-1] != '"') --start;
  char own[MAX_PATH];
  if (start == commandline || (size_t)(end - start) >= sizeof(own)) return 0;
  memcpy(own, start, (size_t)(end - start));
  own[end - start] = 0;
  return GetFileAttributesA(own) != INVALID_FILE_ATTRIBUTES;
}

int main(void) {
  char path[MAX_PATH];
  WCHAR widepath[MAX_PATH];
  char record[MAX_PATH];
  char exitcode[32];
  char milliseconds[32];
  if (GetEnvironmentVariableA("PXQ_TEST_HOLD_MS", milliseconds, sizeof(milliseconds)) != 0)
    return HoldOwnFile(milliseconds);
  DWORD length = GetModuleFileNameA(NULL, path, MAX_PATH);
  const char* commandline = GetCommandLineA();
  unsigned code = 0;
  if (GetEnvironmentVariableA("PXQ_TEST_EXIT", exitcode, sizeof(exitcode)) != 0)
    code = (unsigned)strtoul(exitcode, NULL, 10);

  if (GetEnvironmentVariableA("PXQ_TEST_RECORD", record, sizeof(record)) == 0) {
    printf("installer (%s build) started with the command line:\n%s\n", BUILD_NAME, commandline);
    fflush(stdout);
    return (int)code;
  }

  WIN32_FILE_ATTRIBUTE_DATA data;
  ZeroMemory(&data, sizeof(data));
  /* The ANSI path names no file when the code page cannot hold it. */
  if (length == 0 || GetModuleFileNameW(NULL, widepath, MAX_PATH) == 0 ||
      !GetFileAttributesExW(widepath, GetFileExInfoStandard, &data))
    return 99;
  FILE* out = fopen(record, "wb");
  if (out == NULL) return 98;
  fprintf(out, "build=%s\n", BUILD_NAME);
  fprintf(out, "command_line=%s\n", commandline);
  const WCHAR* wideline = GetCommandLineW();
  int bytes = WideCharToMultiByte(CP_UTF8, 0, wideline, -1, NULL, 0, NULL, NULL);
  char* utf8 = bytes > 0 ? (char*)malloc((size_t)bytes) : NULL;
  if (utf8 == NULL || WideCharToMultiByte(CP_UTF8, 0, wideline, -1, utf8, bytes, NULL, NULL) != bytes) return 96;
  fprintf(out, "command_line_w=%s\n", utf8);
  free(utf8);
  /* The loader's path where it is handed over in the environment, in UTF-8. */
  WCHAR variable[1024];
  DWORD units = GetEnvironmentVariableW(L"PXQ_LOADER_PATH", variable, 1024);
  char variable8[4096];
  if (units > 0 && units < 1024 &&
      WideCharToMultiByte(CP_UTF8, 0, variable, -1, variable8, sizeof(variable8), NULL, NULL) > 0)
    fprintf(out, "loader_path_w=%s\n", variable8);
  fprintf(out, "module=%s\n", path);
  fprintf(out, "attributes=0x%08lX\n", (unsigned long)data.dwFileAttributes);
  fprintf(out, "last_write=0x%08lX%08lX\n", (unsigned long)data.ftLastWriteTime.dwHighDateTime,
          (unsigned long)data.ftLastWriteTime.dwLowDateTime);
  fprintf(out, "parent_pid=%lu\n", (unsigned long)ParentProcessId());
  fprintf(out, "own_path_found=%d\n", OwnPathFound(commandline));
  fclose(out);
  if (GetEnvironmentVariableA("PXQ_TEST_POST", exitcode, sizeof(exitcode)) != 0) {
    PostToThreadsOf(ParentProcessId());
    Sleep(1000); /* the loader's wait wakes, empties its queue and must wait on */
  }
  if (GetEnvironmentVariableA("PXQ_TEST_LINGER_MS", milliseconds, sizeof(milliseconds)) != 0)
    LeaveHolderBehind(milliseconds);
  return (int)code;
}
