// pxq: packs, lists and extracts loader files, and runs them on this host.
#include <stdio.h>
#include <string.h>

#include "platform/platform.h"
#include "platform/posix.h"
#include "tools/pxq_cli.h"
#include "tools/signals.h"

static const char kUsage[] =
    "Usage: pxq COMMAND [ARGUMENTS]\n"
    "\n"
    "Builds and inspects loader files: a Windows stub executable with an\n"
    "LZMA-compressed package of installer builds appended to it.\n"
    "\n"
    "Commands:\n"
    "  pack     build a loader file from a stub and installer builds\n"
    "  list     show a loader file's stamp, archive and entries, and check it\n"
    "  extract  write one entry of a loader file to a file\n"
    "  run      run a loader file on this host, as the Windows stub would\n"
    "  tag      write, replace or remove a loader file's trailing tag (signed or not)\n"
    "\n"
    "'pxq COMMAND --help' describes a command.\n"
    "Exit codes: 0 success, 1 failure, 2 usage error; 'run' exits with the\n"
    "loader's exit code.\n";

int main(int argc, char** argv) {
  if (argc < 2) {
    fputs(kUsage, stderr);
    return PXQ_EXIT_USAGE;
  }
  const char* command = argv[1];
  if (strcmp(command, "--help") == 0 || strcmp(command, "-h") == 0 || strcmp(command, "help") == 0) {
    fputs(kUsage, stdout);
    return PXQ_EXIT_OK;
  }
  // The package code reaches the system only through the platform seam.
  UsePlatform(PosixPlatform());
  InstallSignalHandlers();
  if (strcmp(command, "pack") == 0) return CommandPack(argc - 1, argv + 1);
  if (strcmp(command, "list") == 0) return CommandList(argc - 1, argv + 1);
  if (strcmp(command, "extract") == 0) return CommandExtract(argc - 1, argv + 1);
  if (strcmp(command, "run") == 0) return CommandRun(argc - 1, argv + 1);
  if (strcmp(command, "tag") == 0) return CommandTag(argc - 1, argv + 1);
  fprintf(stderr, "pxq: unknown command '%s'\nTry 'pxq --help'.\n", command);
  return PXQ_EXIT_USAGE;
}
