// pxq: packs, lists and extracts loader files, and runs them on this host.
#include <stdio.h>
#include <string.h>

#include "platform/platform.h"
#include "platform/posix.h"
#include <lzma.h>

#include <string>
#include <vector>

#include "tools/host/host_error.h"
#include "tools/cli/progress.h"
#include "tools/cli/pxq_cli.h"
#include "tools/release/stub_resources.h"
#include "tools/host/signals.h"

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
    "Options: --version (pxq's, liblzma's and the default stub's), -q (errors\n"
    "only), -v (progress on stderr even when it is not a terminal); -q and -v\n"
    "may also follow the command (run: before FILE).\n"
    "\n"
    "'pxq COMMAND --help' describes a command.\n"
    "Exit codes: 0 success, 1 failure, 2 usage error; 'run' exits with the\n"
    "loader's exit code.\n";

namespace {

// pxq's version, liblzma's, and the stub that pack would take without --stub.
int PrintVersion() {
  printf("pxq %s\n", PXQ_VERSION_TEXT);
  printf("liblzma %s (built with %s)\n", lzma_version_string(), LZMA_VERSION_STRING);
  std::string stub = FindDefaultStub();
  if (stub.empty()) {
    printf("stub: none (pxq-loader.exe is neither beside pxq nor in ../share/pxq); pack needs --stub\n");
    return PXQ_EXIT_OK;
  }
  std::vector<uint8_t> bytes;
  int error = ReadInputFile(stub, &bytes);
  if (error != 0) {
    printf("stub: %s: %s\n", stub.c_str(), HostErrorText(error).c_str());
    return PXQ_EXIT_OK;
  }
  StubFacts facts = ReadStubFacts(bytes);
  std::string kind = facts.pxqstub ? "pxq stub" : "not a pxq stub";
  if (facts.hasversion) {
    uint32_t ms = facts.version.fixed[0], ls = facts.version.fixed[1];
    kind += " " + std::to_string(ms >> 16) + "." + std::to_string(ms & 0xFFFF) + "." + std::to_string(ls >> 16) +
            "." + std::to_string(ls & 0xFFFF);
  }
  printf("stub: %s (%s, %zu bytes, CRC32 %08X)\n", stub.c_str(), kind.c_str(), bytes.size(),
         lzma_crc32(bytes.data(), bytes.size(), 0));
  return PXQ_EXIT_OK;
}

}  // namespace

int main(int argc, char** argv) {
  // Options before the command: --version, -q, -v.
  int first = 1;
  while (first < argc && IsVerbosityOption(argv[first])) ++first;
  argc -= first - 1;
  argv += first - 1;
  if (argc >= 2 && strcmp(argv[1], "--version") == 0) return PrintVersion();
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
