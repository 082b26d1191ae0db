// pxq extract: one entry of a loader file to a file, through the loader's
// own extraction. The entry is written under a temporary name and renamed
// only when complete, so a failure never leaves a partial OUT.
#include <errno.h>
#include <stdio.h>
#include <unistd.h>
#include <string.h>

#include "package/archive_reader.h"
#include "package/records.h"
#include "platform/types.h"
#include "tools/release/archive_check.h"
#include "tools/cli/data_report.h"
#include "tools/cli/extract_request.h"
#include "tools/host/host_error.h"
#include "tools/host/output_file.h"
#include "tools/cli/progress.h"
#include "tools/cli/pxq_cli.h"

extern const char kExtractHelp[];
const char kExtractHelp[] =
    "Usage: pxq extract FILE (--id ID | --generic | --nt-x86 | --nt-x64) -o OUT [-q | -v]\n"
    "       pxq extract FILE --data [NAME] -o OUT [--threads N] [-q | -v]\n"
    "\n"
    "Writes one entry of the loader file FILE to OUT, with the entry's\n"
    "last-write time and read-only state, as the loader itself would.\n"
    "\n"
    "  --id ID           the entry's id, in hexadecimal (0x...) or decimal\n"
    "  --generic         the installer build for any Windows (0xFFFFFFFFFFFF0008)\n"
    "  --nt-x86          the installer build for Windows NT on x86 (0xFFFFFFFFFFFF0009)\n"
    "  --nt-x64          the installer build for Windows NT on x64 (0xFFFFFFFFFFFF000A)\n"
    "  --data [NAME]     from the data archive (pack --data): every entry into the\n"
    "                    directory OUT, or the entry NAME to the file OUT; names,\n"
    "                    CRC32s and links in OUT checked as an installer does\n"
    "  --threads N       with --data: threads that decode the data archive's\n"
    "                    blocks (default 0: one per core, fewer when memory\n"
    "                    would pass 512 MiB)\n"
    "  -q, --quiet       print errors only\n"
    "  -v, --verbose     show progress on stderr even when it is not a terminal\n"
    "  -o, --output OUT  the file to write (replaced only when complete; '-'\n"
    "                    writes the entry's bytes to standard output)\n";

namespace {

// Why the loader's extraction of the entry failed: it says only what
// failed, not where, so the archive is walked to tell a missing entry from
// damage, and both from an output failure. The exit code.
int ExplainFailure(const char* path, const LoaderStamp& stamp, uint64_t id, uint32_t code, bool scratch,
                   const std::string& blamed) {
  ArchiveCheck check;
  uint64_t found = 0;  // the number of the entry that the extraction took, 0 when none
  CheckArchive(path, stamp.archiveoffset,
               [&](uint64_t number, const EntryHeader& entry) {
                 if (found == 0 && entry.idlow == static_cast<uint32_t>(id) &&
                     entry.idhigh == static_cast<uint32_t>(id >> 32))
                   found = number;
               },
               &check);
  std::string name = EntryIdName(id);
  std::string entry = "entry " + EntryIdText(id) + (name.empty() ? "" : " (" + name + ")");
  // Damage behind an entry that reads whole is not why its extraction failed.
  bool entrysound = found != 0 && check.complete >= found;
  if (found == 0 && check.fault.empty() && code == ERROR_READ_FAULT)
    return Failure(path, "no " + entry + " in the archive");
  if (!check.fault.empty() && !entrysound) return Failure(path, check.fault);
  if (scratch)
    return Failure(blamed, "cannot write " + entry + " into the scratch file for standard output: " +
                                ResultWords(code) + "; set TMPDIR to a directory with room");
  return Failure(blamed, "cannot write " + entry + ": " + ResultWords(code));
}

// The entry extracted by the loader's own code into a staged OUT (a scratch
// file for standard output, copied out). The exit code.
int ExtractEntry(const ExtractRequest& request, const LoaderStamp& stamp) {
  const char* path = request.path.c_str();
  const char* output = request.output.c_str();
  const uint64_t id = request.id;
  // The loader's extraction writes to a named file: for standard output, a
  // scratch file that is copied out and removed. A failure to write it is
  // blamed on its directory, which is what fills up or refuses.
  bool scratch = IsStandardOutput(output);
  std::string blamed = scratch ? ScratchDirectory() : OutputDisplayName(output);
  OutputFile out;
  int error = scratch ? BeginScratchFile(&out) : BeginOutput(output, 0666, &out);
  if (error != 0 && scratch)
    return Failure(blamed, "cannot make the scratch file for standard output: " + HostErrorText(error) +
                                "; set TMPDIR to a directory that pxq can write");
  if (error != 0) return HostFailure(blamed, error);
  LetOthersWriteOutput(&out);
  uint32_t code = 0;
  // Progress: the package bytes the loader's reader takes in.
  uint64_t packagebytes = PackageBytes(path, stamp.archiveoffset);
  Progress progress;
  BeginProgress(&progress, "extract", packagebytes);
  CountPlatformReads(&progress);
  uint32_t written = ExtractPackageEntry(path, stamp.archiveoffset, static_cast<uint32_t>(id),
                                         static_cast<uint32_t>(id >> 32), out.temporary.c_str(), &code);
  CountPlatformReads(nullptr);
  EndProgress(&progress);
  if (written == 1 && scratch) {
    error = CopyFileToStandardOutput(out.temporary);
    DiscardOutput(&out);
    if (error != 0) return HostFailure(OutputDisplayName(output), error);
    return PXQ_EXIT_OK;
  }
  if (written == 1) {
    error = CommitOutput(&out);
    if (error != 0) return HostFailure(output, error);
    return PXQ_EXIT_OK;
  }
  DiscardOutput(&out);
  return ExplainFailure(path, stamp, id, code, scratch, blamed);
}

}  // namespace

int CommandExtract(int argc, char** argv) {
  ExtractRequest request;
  int status = ParseExtract(argc, argv, &request);
  if (status >= 0) return status;
  if (request.data) return ExtractData(request.path, request.output, request.hasname ? &request.name : nullptr, request.threads);
  const char* path = request.path.c_str();
  const char* output = request.output.c_str();
  int error = CheckOutputName(output);
  if (error != 0) return HostFailure(OutputDisplayName(output), error);
  if (SameFile(path, output)) return Failure(output, "is the loader file itself; choose another output file");
  LoaderStamp stamp;
  status = ReadLoaderStamp(path, &stamp);
  if (status != PXQ_EXIT_OK) return status;
  return ExtractEntry(request, stamp);
}
