#include "launcher/launch_installer.h"

#include "launcher/command_line.h"
#include "platform/heap.h"
#include "launcher/loader_main.h"
#include "launcher/report_error.h"
#include "launcher/trailing_tag.h"
#include "launcher/version_arguments.h"
#include "platform/platform.h"

// `text` (ANSI, null counting as empty) in UTF-16, as a new GlobalAlloc
// block; null when memory runs out or the conversion fails.
static WCHAR* WideText(const char* text) {
  if (text == NULL) text = "";
  // No code page gives more than one unit per byte.
  int units = Sys().lstrlenA(text) + 1;
  WCHAR* wide = static_cast<WCHAR*>(Sys().GlobalAlloc(GMEM_FIXED, static_cast<SIZE_T>(units) * sizeof(WCHAR)));
  if (wide != NULL && Sys().MultiByteToWideChar(CP_ACP, 0, text, -1, wide, units) == 0) {
    Sys().GlobalFree(wide);
    wide = NULL;
  }
  return wide;
}

static void ReleaseText(void* text) {
  if (text != NULL) Sys().GlobalFree(text);
}

static uint32_t TextLength(const WCHAR* text) {
  uint32_t length = 0;
  while (text[length] != 0) ++length;
  return length;
}


// What wakes the wait: key, mouse, posted, timer, paint, hot-key and raw
// input, but not messages sent from other threads (QS_ALLEVENTS as Windows 7
// and earlier define it). Not the headers' QS_ALLEVENTS, which for Windows 8
// and later adds QS_TOUCH and QS_POINTER (0x1CBF): bits that earlier systems
// do not know, in a mask they may refuse while the installer runs.
#define INSTALLER_WAKE_MASK 0x04BFu

// Waits for the process to end, emptying the message queue whenever input
// arrives. Returns WAIT_OBJECT_0, or the wait's result that was neither that
// nor WAIT_OBJECT_0 + 1.
static DWORD WaitForInstaller(HANDLE process) {
  HANDLE handles[1] = {process};
  for (;;) {
    DWORD wait = Sys().MsgWaitForMultipleObjects(1, handles, FALSE, INFINITE, INSTALLER_WAKE_MASK);
    if (wait != WAIT_OBJECT_0 + 1) return wait;
    MSG message;
    while (Sys().PeekMessageA(&message, NULL, 0, 0, PM_REMOVE)) {
      Sys().TranslateMessage(&message);
      Sys().DispatchMessageA(&message);
    }
  }
}

// Closes the handle that holds the copy, once.
static void LetGoOfCopy(HANDLE* heldcopy) {
  if (*heldcopy == INVALID_HANDLE_VALUE) return;
  Sys().CloseHandle(*heldcopy);
  *heldcopy = INVALID_HANDLE_VALUE;
}

// `line` in the ANSI code page, as a new GlobalAlloc block; null when the
// conversion fails or memory runs out (the error then set).
static char* AnsiText(const WCHAR* line, uint32_t length) {
  // No code page takes more than two bytes for a unit.
  int bytes = static_cast<int>(2 * length + 1);
  char* text = static_cast<char*>(Sys().GlobalAlloc(GMEM_FIXED, static_cast<SIZE_T>(bytes)));
  if (text != NULL && Sys().WideCharToMultiByte(CP_ACP, 0, line, -1, text, bytes, NULL, NULL) == 0) {
    Sys().GlobalFree(text);
    text = NULL;
  }
  return text;
}

// Windows NT starts the installer through CreateProcessW, which passes every
// character as it is; the 95/98/Me family has only CreateProcessA, which
// gets the line in the ANSI code page.
static BOOL CreateInstaller(bool widecalls, const char* temppath, const WCHAR* widetemppath, WCHAR* commandline,
                            uint32_t length, STARTUPINFOW* startup, PROCESS_INFORMATION* process) {
  if (widecalls)
    return Sys().CreateProcessW(widetemppath, commandline, NULL, NULL, FALSE, 0, NULL, NULL, startup, process);
  char* line = AnsiText(commandline, length);
  // The two records differ only in the type of their (unused) text fields.
  BOOL created = line != NULL && Sys().CreateProcessA(temppath, line, NULL, NULL, FALSE, 0, NULL, NULL,
                                                      reinterpret_cast<STARTUPINFOA*>(startup), process);
  ReleaseText(line);
  return created;
}

static uint32_t RunInstaller(bool widecalls, const char* temppath, const WCHAR* widetemppath, WCHAR* commandline,
                             uint32_t length, HANDLE* heldcopy) {
  STARTUPINFOW startup;
  ZeroBytes(&startup, sizeof(startup));
  startup.cb = PXQ_STARTUPINFOA_SIZE;
  PROCESS_INFORMATION process;
  ZeroBytes(&process, sizeof(process));

  uint32_t result = 0;
  BOOL created = CreateInstaller(widecalls, temppath, widetemppath, commandline, length, &startup, &process);
  if (!created) result = Sys().GetLastError();
  // The process holds its image now; the installer may do with its file
  // as it likes.
  LetGoOfCopy(heldcopy);
  if (!created) {
    ReportError("CreateProcess(%s) failed => %u\n", temppath, result);
    ExitCode = 252;
  } else {
    DWORD wait = WaitForInstaller(process.hProcess);
    if (wait != WAIT_OBJECT_0) {
      result = Sys().GetLastError();
      ReportError("MsgWaitForMultipleObjects(%s) failed %u => %u\n", temppath, wait, result);
      ExitCode = 251;
    } else {
      DWORD exitcode = 0;
      if (Sys().GetExitCodeProcess(process.hProcess, &exitcode)) {
        ExitCode = exitcode;
      } else {
        // Not a stale or guessed value: the outcome is unknown.
        result = Sys().GetLastError();
        ReportError("GetExitCodeProcess(%s) failed => %u\n", temppath, result);
        ExitCode = 251;
      }
    }
  }
  if (process.hThread != NULL) Sys().CloseHandle(process.hThread);
  if (process.hProcess != NULL) Sys().CloseHandle(process.hProcess);
  return result;
}

// The variable that holds the loader's path for an installer that cannot
// take it as its last argument.
#define LOADER_PATH_VARIABLE "PXQ_LOADER_PATH"

// Sets the variable to the loader's path, or removes it, in the loader's own
// environment, which the installer inherits. It is removed when the path goes
// on the command line, so that an installer never finds a path that an outer
// loader left there (that one names another file, and the installer library
// reads the variable first). Returns 0 or the system error number; a
// variable that is not there to remove is no failure.
static uint32_t HandLoaderPath(bool environment, const char* ownpath, const WCHAR* exactownpath) {
  WCHAR widename[sizeof(LOADER_PATH_VARIABLE)];
  for (uint32_t i = 0; i < sizeof(LOADER_PATH_VARIABLE); ++i) widename[i] = LOADER_PATH_VARIABLE[i];
  if (environment && exactownpath != NULL ? Sys().SetEnvironmentVariableW(widename, exactownpath)
                                          : Sys().SetEnvironmentVariableA(LOADER_PATH_VARIABLE,
                                                                          environment ? ownpath : NULL))
    return 0;
  DWORD error = Sys().GetLastError();
  return environment || error != ERROR_ENVVAR_NOT_FOUND ? error : 0;
}

uint32_t LaunchInstaller(const char* temppath, const char* ownpath, HANDLE heldcopy, bool widecalls,
                         const WCHAR* exactownpath) {
  LoaderPathMode mode = LoaderPathLast;
  char* arguments = ReadVersionArguments(ownpath, &mode, NULL, exactownpath);
  char* tag = ReadTrailingTag(ownpath, exactownpath);
  const bool environment = mode == LoaderPathEnvironment;

  // Every piece in UTF-16. The own arguments are taken as the system keeps
  // them: in UTF-16 on Windows NT, in the ANSI code page before it. The
  // paths, the "Arguments" value and the tag are ANSI texts, converted as
  // the system converts the ANSI calls' texts; a missing value or tag is
  // an empty piece. Without the path the line ends after the own
  // arguments: the empty quotes that stand for it, and the space before
  // them, are cut off below. The exact own path is in UTF-16 already.
  WCHAR* owned[PieceCount] = {WideText(temppath), WideText(arguments), WideText(tag), NULL,
                              exactownpath != NULL || environment ? NULL : WideText(ownpath)};
  const WCHAR* commandline =
      widecalls ? Sys().GetCommandLineW() : (owned[PieceOwnArguments] = WideText(Sys().GetCommandLineA()));
  // The Arguments value and the tag may be left out, and so may the own
  // arguments where the system gives no line (as before); the paths, and
  // the own arguments that could not be converted, may not.
  static const WCHAR empty[1] = {0};
  const WCHAR* widepath = environment ? empty : exactownpath != NULL ? exactownpath : owned[PieceOwnPath];
  const bool whole = owned[PieceTempPath] != NULL && widepath != NULL && (widecalls || commandline != NULL);
  WideCommandLinePieces pieces;
  for (uint32_t i = 0; i < PieceCount; ++i) pieces.text[i] = owned[i] != NULL ? owned[i] : empty;
  pieces.text[PieceOwnPath] = widepath != NULL ? widepath : empty;
  pieces.text[PieceOwnArguments] = SkipProgramName(commandline != NULL ? commandline : empty);
  // No piece reaches 2^17 characters (the paths fit their buffers, the
  // Arguments value its version block, the tag its window of at most
  // 128 KiB, the system's own line 32,767 characters), so the sum cannot wrap.
  uint32_t length = COMMAND_LINE_SEPARATOR_LENGTH;
  for (uint32_t i = 0; i < PieceCount; ++i) length += pieces.length[i] = TextLength(pieces.text[i]);

  // The buffer holds the whole line: nothing is cut. A line that
  // CreateProcess would refuse is refused here, before anything starts.
  uint32_t result = 0;
  WCHAR* line = NULL;
  const uint32_t kept = environment ? length - 3 : length;
  if (kept >= COMMAND_LINE_LIMIT) {
    result = ERROR_FILENAME_EXCED_RANGE;
    ReportError("CreateProcess(%s) failed: the command line is %u characters long, more than %u\n", temppath,
                kept, COMMAND_LINE_LIMIT - 1);
    ExitCode = 252;
  } else if (!whole || (line = static_cast<WCHAR*>(Sys().GlobalAlloc(
                                   GMEM_FIXED, static_cast<SIZE_T>(length + 1) * sizeof(WCHAR)))) == NULL) {
    // The pieces' conversions take memory only: when one of them failed,
    // the line could not be had either.
    result = ERROR_NOT_ENOUGH_MEMORY;
    ReportError("GlobalAlloc(%u) failed => %u\n", (length + 1) * 2u, result);
    ExitCode = 252;
  } else if ((result = HandLoaderPath(environment, ownpath, exactownpath)) != 0) {
    // Without the path the installer could not find its package.
    ReportError("SetEnvironmentVariable() failed => %u\n", result);
    ExitCode = 252;
  } else {
    AssembleCommandLine(&pieces, line);
    line[kept] = 0;
    result = RunInstaller(widecalls, temppath, pieces.text[PieceTempPath], line, kept, &heldcopy);
  }
  LetGoOfCopy(&heldcopy);

  ReleaseText(arguments);
  ReleaseText(tag);
  for (uint32_t i = 0; i < PieceCount; ++i) ReleaseText(owned[i]);
  ReleaseText(line);
  return result;
}
