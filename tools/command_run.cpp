// pxq run: runs a loader file on this host, on the loader's own code over the
// POSIX platform layer: the file plays the running module, the arguments its
// command line, and pxq exits with the loader's exit code.
#include <stdio.h>

#include "launcher/loader_main.h"
#include "platform/platform.h"
#include "platform/posix.h"
#include "tools/pxq_cli.h"

static const char kRunHelp[] =
    "Usage: pxq run FILE [ARGUMENTS...]\n"
    "\n"
    "Runs the loader file FILE as the Windows stub would: picks the installer\n"
    "build for this host, extracts it into the temporary directory, runs it\n"
    "with the assembled command line (ARGUMENTS passed on), waits for it,\n"
    "removes the copy, and exits with the installer's exit code, or with the\n"
    "loader's own (250 to 255) when it fails. The loader's messages go to\n"
    "stderr. Every argument after FILE goes to the installer unchanged.\n";

int CommandRun(int argc, char** argv) {
  if (argc < 2) return UsageError("run", "no FILE given");
  if (IsHelp(argv[1])) {
    fputs(kRunHelp, stdout);
    return PXQ_EXIT_OK;
  }
  const char* path = argv[1];
  if (path[0] == '\0') return UsageError("run", "FILE is an empty name");
  DWORD result = PosixSetModule(path);
  if (result != 0) return Failure(path, "cannot open: " + ResultText(result));
  PosixSetArguments(argc - 2, argv + 2);
  UsePlatform(PosixPlatform());
  return static_cast<int>(RunLoader());
}
