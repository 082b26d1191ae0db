/* Runs a program (the loader under test) on a window station of its own,
 * made without WSF_VISIBLE, as a service's is, and passes its exit code on:
 *
 *   hidden-station.exe PROGRAM [ARGUMENTS...]
 *
 * It first prints the new station's flags ("station_flags=0x...", on
 * standard error, which the Wine tests keep), so that
 * a test can tell whether the system made the station invisible. Exit codes
 * of its own: 120 usage, 121 to 124 a failed step (printed). */
#include <windows.h>
#include <stdio.h>

static int Failed(const char* what, int code) {
  fprintf(stderr, "%s failed: %lu\n", what, (unsigned long)GetLastError());
  fflush(stderr);
  return code;
}

/* The rest of this program's command line after its own name. */
static WCHAR* ArgumentsAfterName(WCHAR* line) {
  if (*line == L'"') {
    ++line;
    while (*line != 0 && *line != L'"') ++line;
    if (*line == L'"') ++line;
  } else {
    while (*line != 0 && *line != L' ' && *line != L'\t') ++line;
  }
  while (*line == L' ' || *line == L'\t') ++line;
  return line;
}

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) return 120;
  HWINSTA station = CreateWindowStationW(L"PxqHidden", 0, WINSTA_ALL_ACCESS, NULL);
  if (station == NULL) return Failed("CreateWindowStation", 121);
  USEROBJECTFLAGS flags;
  DWORD needed = 0;
  if (!GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof(flags), &needed))
    return Failed("GetUserObjectInformation", 122);
  fprintf(stderr, "station_flags=0x%lx\n", (unsigned long)flags.dwFlags);
  fflush(stderr);
  HWINSTA own = GetProcessWindowStation();
  HDESK desktop = NULL;
  if (SetProcessWindowStation(station)) desktop = CreateDesktopW(L"Default", NULL, NULL, 0, GENERIC_ALL, NULL);
  SetProcessWindowStation(own);
  if (desktop == NULL) return Failed("CreateDesktop", 123);

  STARTUPINFOW startup;
  PROCESS_INFORMATION process;
  ZeroMemory(&startup, sizeof(startup));
  startup.cb = sizeof(startup);
  startup.lpDesktop = L"PxqHidden\\Default";
  WCHAR* line = ArgumentsAfterName(GetCommandLineW());
  if (!CreateProcessW(argv[1], line, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process))
    return Failed("CreateProcess", 124);
  DWORD code = 0;
  WaitForSingleObject(process.hProcess, INFINITE);
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return (int)code;
}
