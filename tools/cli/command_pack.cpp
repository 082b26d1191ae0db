// pxq pack: a stub and installer builds (and any other entries) into one
// loader file, written under a temporary name and renamed when complete.
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tools/cli/pack_request.h"
#include "tools/cli/pack_steps.h"
#include "tools/cli/progress.h"
#include "tools/cli/pxq_cli.h"
#include "tools/host/host_error.h"
#include "tools/host/input_file.h"
#include "tools/host/output_file.h"

extern const char kPackHelp[];
const char kPackHelp[] =
    "Usage: pxq pack -o OUT [--stub FILE] [--generic FILE] [--nt-x86 FILE] [--nt-x64 FILE]\n"
    "                [--entry ID=FILE]... [--preset 0-9[e]] [--dict SIZE] [--keep-order]\n"
    "                [--arguments TEXT] [--product-name TEXT] [--file-description TEXT]\n"
    "                [--company TEXT] [--copyright TEXT] [--product-version VERSION]\n"
    "                [--file-version VERSION] [--icon FILE.ico]\n"
    "                [--execution-level none|asInvoker|highestAvailable|requireAdministrator]\n"
    "                [--loader-path last|environment] [--errors box|silent]\n"
    "                [--mtime TIME] [--attributes normal|readonly|from-file]\n"
    "                [--data PATH[=DEST]]... [--exclude GLOB]... [--data-block SIZE]\n"
    "                [--threads N]\n"
    "                [--no-machine-check] [-q | -v]\n"
    "\n"
    "Builds the loader file OUT: the stub executable, stamped with the builds\n"
    "the package holds and the archive's offset, then the archive.\n"
    "\n"
    "  -o, --output OUT  the loader file to write (replaced only when complete;\n                    '-' writes it to standard output)\n"
    "  --stub FILE       the stub executable (default: pxq-loader.exe beside pxq,\n"
    "                    else in ../share/pxq from pxq's directory)\n"
    "  --generic FILE    the installer build for any Windows\n"
    "  --nt-x86 FILE     the installer build for Windows NT on x86\n"
    "  --nt-x64 FILE     the installer build for Windows NT on x64\n"
    "  --entry ID=FILE   a further entry; ID in hexadecimal (0x...) or decimal\n"
    "  --preset N[e]     compression effort 0 to 9, 'e' for extreme (default 6)\n"
    "  --dict SIZE       the largest LZMA dictionary, 4KiB to 1536MiB (default 64MiB);\n"
    "                    SIZE in bytes, or with KiB or MiB\n"
    "  --keep-order      store the entries in the order given\n"
    "  --data PATH[=DEST]\n"
    "                    product files for the installer, in a data archive after\n"
    "                    the loader's (which the loader never decodes): a file by\n"
    "                    its name, a directory by its contents; may be repeated.\n"
    "                    =DEST places it under another name: a directory's\n"
    "                    contents in the folder DEST (dist/=app/), a file as DEST,\n"
    "                    or into DEST when it ends in '/' (A.txt=docs/)\n"
    "  --exclude GLOB    leave out data items that GLOB matches (may be repeated):\n"
    "                    without '/' it matches any item's last component\n"
    "                    ('*.pdb', .git), with '/' the whole name in the archive;\n"
    "                    ending in '/' it matches directories only; a directory\n"
    "                    left out takes its contents with it\n"
    "  --data-block SIZE the data archive's block size, 64KiB to 256MiB (default\n"
    "                    64MiB): each block is compressed on its own, so that\n"
    "                    installers decode blocks on several threads and reach\n"
    "                    one entry without decoding the others\n"
    "  --threads N       threads that compress the data archive's blocks\n"
    "                    (default 0: one per core); the output is the same\n"
    "                    whatever N\n"
    "  --no-machine-check\n"
    "                    store each build whatever its PE machine; for test set-ups\n"
    "                    (by default an x64 image as --generic or --nt-x86 is\n"
    "                    refused, and a build that is no x86 or x64 PE image is\n"
    "                    packed with a warning)\n"
    "  --mtime TIME      every entry's last-write time: @SECONDS since 1970, or\n"
    "                    YYYY-MM-DD[THH:MM:SS] in UTC\n"
    "  --attributes MODE normal (all NORMAL), readonly (all READONLY), or\n"
    "                    from-file (the default: READONLY when the owner may not\n"
    "                    write the file, else NORMAL)\n"
    "  -q, --quiet       print errors only\n"
    "  -v, --verbose     show progress on stderr even when it is not a terminal\n"
    "\n"
    "With SOURCE_DATE_EPOCH set (seconds since 1970), no entry time is later\n"
    "than it: later times are clamped to it, for reproducible builds.\n"
    "\n"
    "The stub's resources (written into its resource section, which must be\n"
    "its last section; anything not given keeps the stub's own value):\n"
    "  --arguments TEXT  the \"Arguments\" value, which the loader puts in front\n"
    "                    of its own arguments on the installer's command line;\n"
    "                    at most 64 UTF-16 units. It is stored as UTF-16, and\n"
    "                    Windows hands it to the loader in its ANSI code page:\n"
    "                    characters outside that code page arrive as '?'\n"
    "  --product-name, --file-description, --company, --copyright TEXT\n"
    "                    the version strings Explorer shows (ProductName,\n"
    "                    FileDescription, CompanyName, LegalCopyright)\n"
    "  --product-version, --file-version VERSION\n"
    "                    ProductVersion and FileVersion; their leading numbers\n"
    "                    (up to four, as in 2.1.0.7) set the numeric version too\n"
    "  --icon FILE.ico   the icon, every size of the .ico file\n"
    "  --execution-level LEVEL\n"
    "                    an application manifest asking for LEVEL; 'none' (no\n"
    "                    manifest) is what the stub is built with\n"
    "  --loader-path last|environment\n"
    "                    how the loader hands the installer its own path: 'last'\n"
    "                    (the default) as the last argument; 'environment' in the\n"
    "                    variable PXQ_LOADER_PATH instead, for installers that\n"
    "                    take the rest of their command line as one value\n"
    "                    (NSIS's /D=DIR)\n"
    "  --errors box|silent\n"
    "                    how the loader reports a failure: 'box' (the default)\n"
    "                    in a message box where someone can see it (never in a\n"
    "                    service or on a window station no one sees); 'silent'\n"
    "                    never in a box: the exit code alone reports it, for\n"
    "                    unattended installs\n"
    "\n"
    "Entries are stored in this order: the NT x64 build, the NT x86 build, the\n"
    "generic build, then the --entry ones as given (--keep-order: all as\n"
    "given). The loader decodes every entry before the one it extracts, and\n"
    "most systems choose the NT x64 build. Each entry keeps its file's\n"
    "modification time and its read-only state (READONLY when the owner may\n"
    "not write it, else NORMAL). The stream uses lc 3, lp 0, pb 2 and the\n"
    "smallest dictionary (a power of two, at least 4 KiB) that holds the whole\n"
    "decompressed stream, up to the --dict size: the loader commits the whole\n"
    "dictionary when it starts.\n";

namespace {

// The warnings and the note, then the summary: on stdout, or on stderr when
// the loader file goes to standard output, so that the two never mix.
void ReportPack(const PackRequest& request, const PackPlan& plan, const PackWritten& written) {
  if (Verbosity < 0) return;
  for (const std::string& warning : plan.warnings) fprintf(stderr, "pxq pack: warning: %s\n", warning.c_str());
  if (!plan.note.empty()) fprintf(stderr, "pxq pack: note: %s\n", plan.note.c_str());
  const std::string& output = request.output;
  FILE* report = IsStandardOutput(output) ? stderr : stdout;
  size_t entries = plan.entries.size(), items = plan.dataitems.size();
  fprintf(report, "%s: %llu bytes: stub %zu, archive %llu; builds: %s; %zu %s; dictionary %u KiB\n",
          OutputDisplayName(output).c_str(), static_cast<unsigned long long>(written.bytes), plan.stub.size(),
          static_cast<unsigned long long>(written.bytes - plan.stub.size()),
          PlatformFlagsText(request.platformflags).c_str(), entries, entries == 1 ? "entry" : "entries",
          written.dictionary / 1024);
  if (items != 0)
    fprintf(report, "%s: data archive at offset %llu: %llu bytes, %zu %s, %llu bytes of files\n",
            OutputDisplayName(output).c_str(), static_cast<unsigned long long>(written.dataoffset),
            static_cast<unsigned long long>(written.bytes - written.dataoffset), items, items == 1 ? "item" : "items",
            static_cast<unsigned long long>(plan.databytes));
}

}  // namespace

int CheckPackOutput(const PackRequest& request, PackPlan* plan) {
  const char* output = request.output.c_str();
  // What is at OUT is looked at before any work.
  int error = CheckOutputName(output);
  if (error != 0) return HostFailure(OutputDisplayName(output), error);
  std::string& stubpath = plan->stubpath;
  if (!request.stub.empty()) {
    stubpath = request.stub;
  } else {
    stubpath = FindDefaultStub();
    if (stubpath.empty())
      return UsageError("pack", "no stub: pxq-loader.exe is not beside pxq nor in ../share/pxq; give --stub FILE");
  }

  // Standard output redirected to an input has already been truncated by
  // the shell; at least nothing is written into it. Every input counts,
  // checked before any of them is read.
  auto sameasoutput = [&](const std::string& input) {
    if (!IsStandardOutput(output)) return SameFile(output, input);
    struct stat out, in;
    return fstat(STDOUT_FILENO, &out) == 0 && S_ISREG(out.st_mode) && stat(input.c_str(), &in) == 0 &&
           out.st_dev == in.st_dev && out.st_ino == in.st_ino;
  };
  {
    std::vector<std::string> named = {stubpath};
    if (!request.iconpath.empty()) named.push_back(request.iconpath);
    for (const PackInput& input : request.inputs) named.push_back(input.path);
    for (const std::string& input : named) {
      if (sameasoutput(input))
        return Failure(OutputDisplayName(output), "is also an input; choose another output file");
    }
  }
  return -1;
}

int CommandPack(int argc, char** argv) {
  PackRequest request;
  int status = ParsePack(argc, argv, &request);
  if (status >= 0) return status;
  PackPlan plan;
  status = CheckPackOutput(request, &plan);
  // Everything is checked before the output is begun.
  if (status < 0) status = PrepareStub(&request, &plan);
  if (status < 0) status = CollectPackInputs(request, &plan);
  PackWritten written;
  if (status < 0) status = WritePack(&request, plan, &written);
  if (status >= 0) return status;
  ReportPack(request, plan, written);
  return PXQ_EXIT_OK;
}
