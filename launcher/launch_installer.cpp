#include "launcher/launch_installer.h"

#include "launcher/command_line.h"
#include "platform/heap.h"
#include "launcher/loader_main.h"
#include "launcher/report_error.h"
#include "launcher/trailing_tag.h"
#include "launcher/version_arguments.h"
#include "platform/platform.h"

// An absent text is replaced by an empty one, so that every piece is present.
// Should even one byte be unavailable, a constant empty text stands in, which
// is not released.
static const char* PresentText(char** owned) {
  if (*owned == NULL) {
    *owned = static_cast<char*>(Sys().GlobalAlloc(GMEM_FIXED, 1));
    if (*owned == NULL) return "";
    (*owned)[0] = 0;
  }
  return *owned;
}

static void ReleaseText(char* text) {
  if (text != NULL) Sys().GlobalFree(text);
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

static uint32_t RunInstaller(const char* temppath, char* commandline, HANDLE* heldcopy) {
  STARTUPINFOA startup;
  ZeroBytes(&startup, sizeof(startup));
  startup.cb = PXQ_STARTUPINFOA_SIZE;
  PROCESS_INFORMATION process;
  ZeroBytes(&process, sizeof(process));

  uint32_t result = 0;
  BOOL created = Sys().CreateProcessA(temppath, commandline, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process);
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
static uint32_t HandLoaderPath(bool environment, const char* ownpath) {
  if (Sys().SetEnvironmentVariableA(LOADER_PATH_VARIABLE, environment ? ownpath : NULL)) return 0;
  DWORD error = Sys().GetLastError();
  return environment || error != ERROR_ENVVAR_NOT_FOUND ? error : 0;
}

uint32_t LaunchInstaller(const char* temppath, const char* ownpath, HANDLE heldcopy) {
  LoaderPathMode mode = LoaderPathLast;
  char* arguments = ReadVersionArguments(ownpath, &mode);
  const char* argumentstext = PresentText(&arguments);
  char* tag = ReadTrailingTag(ownpath);
  const char* tagtext = PresentText(&tag);
  const char* commandline = Sys().GetCommandLineA();
  const char* ownarguments = SkipProgramName(commandline != NULL ? commandline : "");

  CommandLinePieces pieces;
  pieces.text[PieceTempPath] = temppath;
  pieces.text[PieceArguments] = argumentstext;
  pieces.text[PieceTag] = tagtext;
  pieces.text[PieceOwnArguments] = ownarguments;
  // Without the path the line ends after the own arguments: the empty
  // quotes that stand for it, and the space before them, are cut off below.
  const bool environment = mode == LoaderPathEnvironment;
  pieces.text[PieceOwnPath] = environment ? "" : ownpath;
  static const CommandLinePiece lengthorder[PieceCount] = {PieceOwnArguments, PieceTag, PieceArguments,
                                                           PieceTempPath, PieceOwnPath};
  for (uint32_t i = 0; i < PieceCount; ++i)
    pieces.length[lengthorder[i]] = static_cast<uint32_t>(Sys().lstrlenA(pieces.text[lengthorder[i]]));

  // The buffer holds the whole line: nothing is cut. A line that
  // CreateProcessA would refuse is refused here, before anything starts.
  uint32_t result = 0;
  char* line = NULL;
  uint64_t length = CommandLineLength(&pieces);
  const uint64_t kept = environment ? length - 3 : length;
  if (kept >= COMMAND_LINE_LIMIT) {
    result = ERROR_FILENAME_EXCED_RANGE;
    ReportError("CreateProcess(%s) failed: the command line is %u characters long, more than %u\n", temppath,
                kept > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(kept), COMMAND_LINE_LIMIT - 1);
    ExitCode = 252;
  } else if ((line = static_cast<char*>(Sys().GlobalAlloc(GMEM_FIXED, static_cast<SIZE_T>(length) + 1))) == NULL) {
    result = ERROR_NOT_ENOUGH_MEMORY;
    ReportError("GlobalAlloc(%u) failed => %u\n", static_cast<uint32_t>(length) + 1, result);
    ExitCode = 252;
  } else if ((result = HandLoaderPath(environment, ownpath)) != 0) {
    // Without the path the installer could not find its package.
    ReportError("SetEnvironmentVariable() failed => %u\n", result);
    ExitCode = 252;
  } else {
    AssembleCommandLine(&pieces, line);
    line[kept] = 0;
    result = RunInstaller(temppath, line, &heldcopy);
  }
  LetGoOfCopy(&heldcopy);

  ReleaseText(arguments);
  ReleaseText(tag);
  ReleaseText(line);
  return result;
}
