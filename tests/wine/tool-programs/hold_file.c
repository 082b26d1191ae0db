/* hold-file FILE: opens FILE for reading and writing, shared with no one,
   as a program that keeps its file to itself does; writes FILE.held once
   it holds it, and lets go when FILE.release appears (or after a minute). */
#include <stdio.h>
#include <wchar.h>
#include <windows.h>

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) return 2;
  HANDLE file = CreateFileW(argv[1], GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
  if (file == INVALID_HANDLE_VALUE) return 3;
  wchar_t marker[32768];
  swprintf(marker, 32768, L"%ls.held", argv[1]);
  HANDLE held = CreateFileW(marker, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
  if (held == INVALID_HANDLE_VALUE) return 4;
  CloseHandle(held);
  swprintf(marker, 32768, L"%ls.release", argv[1]);
  for (int i = 0; i < 6000 && GetFileAttributesW(marker) == INVALID_FILE_ATTRIBUTES; ++i) Sleep(10);
  CloseHandle(file);
  return 0;
}
