/* console-event EVENT FOLDER PREFIX PROGRAM [ARGS...]: starts PROGRAM with
   ARGS on a console of its own, waits until a file whose name begins with
   PREFIX appears in FOLDER (the program's staged file), then gives every
   process on that console EVENT, c (Ctrl+C) or break (Ctrl+Break), with
   GenerateConsoleCtrlEvent, as a user at the console would (this program
   attaches to the console and ignores the event itself). Then it waits for
   the program and prints "exit 0xXXXXXXXX", its exit code. When the event
   cannot be given or does not end the program within five seconds, it says
   so on standard output ("not delivered: ..."), ends the program and exits
   with 3. Its own failures exit with 2. */
#include <stdio.h>
#include <string.h>
#include <wchar.h>
#include <windows.h>

/* Appends `argument` to `line` quoted as the C runtime reads it back. */
static void AppendQuoted(wchar_t* line, size_t room, const wchar_t* argument) {
  size_t n = wcslen(line);
  if (n != 0 && n + 1 < room) line[n++] = L' ';
  if (n + 1 < room) line[n++] = L'"';
  for (const wchar_t* p = argument;; ++p) {
    size_t backslashes = 0;
    while (*p == L'\\') ++p, ++backslashes;
    /* Backslashes before a quote, and before the closing quote, are doubled. */
    size_t repeat = (*p == L'"' || *p == 0) ? 2 * backslashes : backslashes;
    for (size_t i = 0; i < repeat && n + 1 < room; ++i) line[n++] = L'\\';
    if (*p == 0) break;
    if (*p == L'"' && n + 1 < room) line[n++] = L'\\';
    if (n + 1 < room) line[n++] = *p;
  }
  if (n + 1 < room) line[n++] = L'"';
  line[n] = 0;
}

/* Standard output as it was at the start: attaching to another console
   changes the process's standard handles. */
static HANDLE output;

static void Say(const char* text) {
  DWORD written;
  WriteFile(output, text, (DWORD)strlen(text), &written, NULL);
}

static int Staged(const wchar_t* folder, const wchar_t* prefix) {
  wchar_t pattern[32768];
  swprintf(pattern, 32768, L"%ls\\%ls*", folder, prefix);
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW(pattern, &found);
  if (search == INVALID_HANDLE_VALUE) return 0;
  FindClose(search);
  return 1;
}

static int NotDelivered(PROCESS_INFORMATION* process, const char* why, DWORD error) {
  char text[200];
  snprintf(text, sizeof text, "not delivered: %s (error %lu)\n", why, error);
  Say(text);
  TerminateProcess(process->hProcess, 1);
  WaitForSingleObject(process->hProcess, 10000);
  return 3;
}

int wmain(int argc, wchar_t** argv) {
  if (argc < 5) {
    fprintf(stderr, "usage: console-event c|break FOLDER PREFIX PROGRAM [ARGS...]\n");
    return 2;
  }
  output = GetStdHandle(STD_OUTPUT_HANDLE);
  static wchar_t line[32768];
  for (int i = 4; i < argc; ++i) AppendQuoted(line, 32768, argv[i]);
  STARTUPINFOW startup;
  memset(&startup, 0, sizeof startup);
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process;
  if (!CreateProcessW(argv[4], line, NULL, NULL, FALSE, CREATE_NEW_CONSOLE, NULL, NULL, &startup, &process)) {
    fprintf(stderr, "console-event: cannot start the program (error %lu)\n", GetLastError());
    return 2;
  }
  int staged = 0;
  for (int i = 0; i < 6000 && !staged; ++i) {
    staged = Staged(argv[2], argv[3]);
    if (!staged && WaitForSingleObject(process.hProcess, 10) == WAIT_OBJECT_0) break;
  }
  if (!staged) {
    fprintf(stderr, "console-event: no staged file appeared\n");
    TerminateProcess(process.hProcess, 1);
    return 2;
  }
  DWORD event = wcscmp(argv[1], L"break") == 0 ? CTRL_BREAK_EVENT : CTRL_C_EVENT;
  FreeConsole();
  if (!AttachConsole(process.dwProcessId)) return NotDelivered(&process, "AttachConsole", GetLastError());
  SetConsoleCtrlHandler(NULL, TRUE);
  if (!GenerateConsoleCtrlEvent(event, 0)) return NotDelivered(&process, "GenerateConsoleCtrlEvent", GetLastError());
  if (WaitForSingleObject(process.hProcess, 5000) != WAIT_OBJECT_0)
    return NotDelivered(&process, "the program ran on", 0);
  DWORD code = 0;
  GetExitCodeProcess(process.hProcess, &code);
  char text[40];
  snprintf(text, sizeof text, "exit 0x%08lX\n", code);
  Say(text);
  return 0;
}
