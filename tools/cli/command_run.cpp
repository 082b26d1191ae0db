// pxq run: runs a loader file on this host, on the loader's own code over the
// host's platform backend (POSIX's emulation of Windows, or Windows itself,
// tools/host/loader_module.h): the file plays the running module, the arguments its
// command line, and pxq exits with the loader's exit code.
//
// SIGINT, SIGTERM and SIGHUP are passed on to the installer; the loader then
// goes on as when the installer ends (it waits for it and removes the copy),
// and pxq ends by the signal. A signal that comes before the installer has
// started stops the extraction and the launch instead.
#include <stdio.h>

#include "launcher/loader_main.h"
#include "platform/platform.h"
#include "tools/host/host_error.h"
#include "tools/host/loader_module.h"
#include "tools/cli/command_options.h"
#include "tools/cli/progress.h"
#include "tools/cli/pxq_cli.h"
#include "tools/host/signals.h"

static const char kRunHelp[] =
    "Usage: pxq run [-q | -v] FILE [ARGUMENTS...]\n"
    "\n"
    "Runs the loader file FILE as the Windows stub would: picks the installer\n"
    "build for this host, extracts it into the temporary directory, runs it\n"
    "with the assembled command line (ARGUMENTS passed on), waits for it,\n"
    "removes the copy, and exits with the installer's exit code, or with the\n"
    "loader's own (250 to 255) when it fails. The loader's messages go to\n"
    "stderr. Every argument after FILE goes to the installer unchanged.\n"
    "SIGINT, SIGTERM and SIGHUP are passed on to the installer; once it has\n"
    "ended and its copy is removed, pxq ends by the same signal (128 + N).\n"
    "\n"
    "The installer must be a program of this host (a build packed for tests,\n"
    "such as a script): a Windows build runs under Wine (wine FILE) or on\n"
    "Windows, and pxq run says so when the chosen build is one.\n";

namespace {

#define PXQ_ERROR_CANCELLED 1223u

// The host backend with the calls that signals interrupt wrapped.
Platform interruptible;
// Set when the installer could not start because it is a Windows program.
bool windowsprogram = false;

BOOL PXQ_WINAPI InterruptibleWriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                                        LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped) {
  // A signal during the extraction ends it: the copy is removed and nothing is started.
  if (ReceivedSignal() != 0) {
    HostPlatform()->SetLastError(PXQ_ERROR_CANCELLED);
    return FALSE;
  }
  return HostPlatform()->WriteFile(hFile, lpBuffer, nNumberOfBytesToWrite, lpNumberOfBytesWritten, lpOverlapped);
}

BOOL PXQ_WINAPI InterruptibleCreateProcessW(LPCWSTR lpApplicationName, LPWSTR lpCommandLine,
                                             LPSECURITY_ATTRIBUTES lpProcessAttributes,
                                             LPSECURITY_ATTRIBUTES lpThreadAttributes, BOOL bInheritHandles,
                                             DWORD dwCreationFlags, LPVOID lpEnvironment, LPCWSTR lpCurrentDirectory,
                                             LPSTARTUPINFOW lpStartupInfo,
                                             LPPROCESS_INFORMATION lpProcessInformation) {
  // Held until the child's pid is known, so that no signal falls in between
  // unforwarded; the child itself starts with none blocked.
  HoldSignals();
  BOOL created = FALSE;
  if (ReceivedSignal() != 0) {
    HostPlatform()->SetLastError(PXQ_ERROR_CANCELLED);
  } else {
    created = HostPlatform()->CreateProcessW(lpApplicationName, lpCommandLine, lpProcessAttributes,
                                              lpThreadAttributes, bInheritHandles, dwCreationFlags, lpEnvironment,
                                              lpCurrentDirectory, lpStartupInfo, lpProcessInformation);
    if (created) ForwardSignalsTo(static_cast<pid_t>(lpProcessInformation->dwProcessId));
    // A build packed for Windows ("MZ") is no program here; said once the
    // loader has reported the failure.
    DWORD error = created ? 0 : HostPlatform()->GetLastError();
    uint8_t magic[2] = {0, 0};
    size_t got = 0;
    if (error == ERROR_BAD_EXE_FORMAT && lpApplicationName != nullptr) {
      // The host's name of the file: UTF-8 for the Windows host layer; the
      // ANSI code page's bytes for the posix one.
#ifdef _WIN32
      const UINT codepage = CP_UTF8;
#else
      const UINT codepage = CP_ACP;
#endif
      char path[4096];
      int bytes = HostPlatform()->WideCharToMultiByte(codepage, 0, lpApplicationName, -1, path, sizeof path,
                                                      nullptr, nullptr);
      if (bytes > 0 && ReadInputAt(path, 0, magic, sizeof magic, &got) == 0 && got == 2 && magic[0] == 'M' &&
          magic[1] == 'Z')
        windowsprogram = true;
    }
    if (!created) HostPlatform()->SetLastError(error);
  }
  ReleaseSignals();
  return created;
}

DWORD PXQ_WINAPI InterruptibleWait(DWORD nCount, const HANDLE* pHandles, BOOL fWaitAll, DWORD dwMilliseconds,
                                   DWORD dwWakeMask) {
  DWORD result = HostPlatform()->MsgWaitForMultipleObjects(nCount, pHandles, fWaitAll, dwMilliseconds, dwWakeMask);
  // The installer has been collected: its pid may be reused from now on.
  if (result == WAIT_OBJECT_0) ForwardSignalsTo(0);
  return result;
}

// FILE and the installer's arguments, from the command line: -q and -v
// only before FILE, everything after it is the installer's. -1 to go on,
// else the exit code (help shown, or a usage error named).
int ParseRun(int argc, char** argv, const char** path, int* count, char*** arguments) {
  CommandOptions options;
  BeginCommandOptions(&options, "run", true, true);
  ParseCommandOptions(&options, argc, argv);
  if (options.help) {
    fputs(kRunHelp, stdout);
    return PXQ_EXIT_OK;
  }
  if (!options.fault.empty()) return UsageError("run", options.fault);
  if (options.operands.empty()) return UsageError("run", "no FILE given");
  // The operands are the tail of argv.
  *count = static_cast<int>(options.operands.size()) - 1;
  *path = argv[argc - *count - 1];
  *arguments = argv + argc - *count;
  if ((*path)[0] == '\0') return UsageError("run", "FILE is an empty name");
  return -1;
}

}  // namespace

int CommandRun(int argc, char** argv) {
  const char* path = nullptr;
  int count = 0;
  char** arguments = nullptr;
  int status = ParseRun(argc, argv, &path, &count, &arguments);
  if (status >= 0) return status;
  // The host's own words for a file that cannot be the module.
  uint8_t first = 0;
  size_t got = 0;
  int error = ReadInputAt(path, 0, &first, 0, &got);
  if (error != 0) return HostFailure(path, error);
  DWORD result = HostSetModule(path);
  if (result != 0) return Failure(path, ResultWords(result));
  HostSetArguments(count, arguments);

  interruptible = *HostPlatform();
  interruptible.WriteFile = InterruptibleWriteFile;
  interruptible.CreateProcessW = InterruptibleCreateProcessW;
  interruptible.MsgWaitForMultipleObjects = InterruptibleWait;
  UsePlatform(&interruptible);
  ForwardSignals();
  int code = static_cast<int>(RunLoader());
  ForwardSignalsTo(0);
  if (windowsprogram)
    fprintf(stderr,
            "pxq run: the installer build for this host is a Windows program: pxq run starts host programs (a "
            "build packed for testing, such as a script); run %s under Wine (wine %s) or on Windows\n",
            path, path);
  if (ReceivedSignal() != 0) EndBySignal(ReceivedSignal());
  return code;
}
