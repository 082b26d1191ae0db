/* A stand-in installer for the Wine tests. It records what the loader gave
 * it into the file named by PXQ_TEST_RECORD (one "key=value" line each):
 * which build it is, its command line, its own path, its own file's
 * attributes and last-write time, its parent's (the loader's) process id, and
 * whether its last argument (the loader's own path) names a file. It then
 * exits with the code in PXQ_TEST_EXIT (decimal, default 0). With no record
 * file named it prints the command line instead, for the demo. */
#include <windows.h>
#include <tlhelp32.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#ifndef BUILD_NAME
#define BUILD_NAME "generic"
#endif

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
  fprintf(out, "module=%s\n", path);
  fprintf(out, "attributes=0x%08lX\n", (unsigned long)data.dwFileAttributes);
  fprintf(out, "last_write=0x%08lX%08lX\n", (unsigned long)data.ftLastWriteTime.dwHighDateTime,
          (unsigned long)data.ftLastWriteTime.dwLowDateTime);
  fprintf(out, "parent_pid=%lu\n", (unsigned long)ParentProcessId());
  fprintf(out, "own_path_found=%d\n", OwnPathFound(commandline));
  fclose(out);
  return (int)code;
}
