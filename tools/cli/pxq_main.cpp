// pxq: packs, lists and extracts loader files, and runs them on this host.
#include <stdio.h>
#include <string.h>

#include "platform/platform.h"
#include <lzma.h>

#include <string>
#include <vector>

#include "tools/host/host_error.h"
#include "tools/host/loader_module.h"
#include "tools/cli/command_options.h"
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
    "Options: --version (pxq's, liblzma's, the default stub's and where the\n"
    "installer SDK is), -q (errors only), -v (progress on stderr even when it\n"
    "is not a terminal); -q and -v may also follow the command (run: before\n"
    "FILE).\n"
    "\n"
    "Installers read the product files that 'pack --data' stores with the\n"
    "installer SDK, for Windows programs built with mingw-w64 (C or C++): the\n"
    "header pxq/installer_data.h and a static library per architecture, with\n"
    "a CMake package (find_package(PxqInstallerData)), pkg-config files\n"
    "(pxq-installer-data) and an example; installed in share/pxq/sdk.\n"
    "\n"
    "'pxq COMMAND --help' describes a command.\n"
    "Exit codes: 0 success, 1 failure, 2 usage error; 'run' exits with the\n"
    "loader's exit code.\n";

namespace {

// pxq's version, liblzma's, where the installer SDK is, and the stub that
// pack would take without --stub.
int PrintVersion() {
  printf("pxq %s\n", PXQ_VERSION_TEXT);
  printf("liblzma %s (built with %s)\n", lzma_version_string(), LZMA_VERSION_STRING);
  std::string sdk = FindInstallerSdk();
  if (sdk.empty()) {
    printf("installer SDK: none (neither installer-sdk beside pxq's folder nor ../share/pxq/sdk)\n");
  } else {
    printf("installer SDK: %s (include/pxq/installer_data.h, lib/i686 and lib/x86_64; CMake: "
           "-DPxqInstallerData_DIR=%s/cmake; pkg-config: PKG_CONFIG_PATH=%s/lib/ARCH/pkgconfig)\n",
           sdk.c_str(), sdk.c_str(), sdk.c_str());
  }
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

// The command and its arguments, the tail of argv; -q, -v and --version
// go before it. -1 to go on, else the exit code.
int ParseMain(int argc, char** argv, int* count, char*** command, bool* version) {
  CommandOptions options;
  BeginCommandOptions(&options, "", true, true);
  AddFlagOption(&options, "--version", [version]() {
    *version = true;
    return std::string();
  });
  ParseCommandOptions(&options, argc, argv);
  if (options.help) {
    fputs(kUsage, stdout);
    return PXQ_EXIT_OK;
  }
  *count = static_cast<int>(options.operands.size());
  *command = argv + argc - *count;
  return -1;
}

}  // namespace

static int RunPxq(int argc, char** argv) {
  int count = 0;
  char** command = nullptr;
  bool version = false;
  int status = ParseMain(argc, argv, &count, &command, &version);
  if (status >= 0) return status;
  if (version) return PrintVersion();
  if (count == 0) {
    fputs(kUsage, stderr);
    return PXQ_EXIT_USAGE;
  }
  if (strcmp(command[0], "help") == 0) {
    fputs(kUsage, stdout);
    return PXQ_EXIT_OK;
  }
  // The package code reaches the system only through the platform seam.
  UsePlatform(HostPlatform());
  InstallSignalHandlers();
  static const struct {
    const char* name;
    int (*run)(int argc, char** argv);
  } kCommands[] = {{"pack", CommandPack},
                   {"list", CommandList},
                   {"extract", CommandExtract},
                   {"run", CommandRun},
                   {"tag", CommandTag}};
  for (const auto& known : kCommands) {
    if (strcmp(command[0], known.name) == 0) return known.run(count, command);
  }
  fprintf(stderr, "pxq: unknown command '%s'\nTry 'pxq --help'.\n", command[0]);
  return PXQ_EXIT_USAGE;
}


#ifdef _WIN32
// Windows gives the arguments in UTF-16 (wmain, -municode); the commands
// take them in UTF-8, as file names and text are UTF-8 throughout pxq.
// Output is bytes, as on Linux: no CR added to a line end, UTF-8 to a pipe
// or file, and a console shows it as UTF-8 (its output code page is put
// back when pxq ends).
namespace {
UINT consolecodepage = 0;
void RestoreConsoleCodePage() { SetConsoleOutputCP(consolecodepage); }
}  // namespace

int wmain(int argc, wchar_t** wide) {
  std::vector<std::string> arguments;
  for (int i = 0; i < argc; ++i) arguments.push_back(Utf8FromWide(wide[i]));
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(&argument[0]);
  argv.push_back(nullptr);
  _setmode(0, _O_BINARY);
  _setmode(1, _O_BINARY);
  _setmode(2, _O_BINARY);
  consolecodepage = GetConsoleOutputCP();
  if (consolecodepage != 0 && consolecodepage != CP_UTF8 && SetConsoleOutputCP(CP_UTF8)) atexit(RestoreConsoleCodePage);
  return RunPxq(argc, argv.data());
}
#else
int main(int argc, char** argv) { return RunPxq(argc, argv); }
#endif
