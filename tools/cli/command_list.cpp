// pxq list: the stamp, the archive's header and properties, and every entry,
// read through the loader's own archive reader; then a check that the stream
// ends with its end marker right after the last entry and that the trailer
// follows, and that every build the stamp announces is in the archive (the
// loader trusts the stamp and would fail on the platforms that choose a
// missing build), and that a signature the file has is read and ends it.
// Any fault is named and makes the exit code 1.
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "package/records.h"
#include "platform/types.h"
#include "tools/release/archive_check.h"
#include "tools/cli/command_options.h"
#include "tools/cli/data_report.h"
#include "tools/cli/list_json.h"
#include "tools/cli/printable.h"
#include "tools/cli/progress.h"
#include "tools/cli/pxq_cli.h"
#include "tools/release/release_facts.h"
#include "tools/release/tag_text.h"

static const char kListHelp[] =
    "Usage: pxq list [--json] [-q | -v] FILE\n"
    "\n"
    "Shows the loader file's stamp (the builds it announces, the archive's\n"
    "offset), the archive's LZMA properties and each entry: its id, size,\n"
    "last-write time (UTC) and attributes. Checks that the archive reads\n"
    "through to its end marker right after the last entry and that the\n"
    "trailer follows, and that every build the stamp announces is there.\n"
    "Exits with 1 and names the fault when it does not.\n"
    "\n"
    "Also shows what the file carries for its release: the stub it was packed\n"
    "from (a pxq stub and its version, or a foreign executable), the\n"
    "\"Arguments\" value, the version numbers and strings, the manifest's\n"
    "execution level, the icon, the Authenticode signature (certificate table,\n"
    "signer, nested signatures) and the trailing tag (form and text), or a\n"
    "tag near the end that the loader misses (a newline after it, or the\n"
    "signature after it). A signature that cannot be read, or that the file\n"
    "does not end with, also makes the exit code 1.\n"
    "\n"
    "Then the data archive (pack --data), if any: each entry with its name,\n"
    "size, time, attributes and CRC32, every one checked.\n"
    "\n"
    "  --json            the same report as one JSON object (schema: README)\n"
    "  -q, --quiet       print errors only\n"
    "  -v, --verbose     show progress on stderr even when it is not a terminal\n";

namespace {

void PrintEntry(uint64_t number, const EntryHeader& entry) {
  uint64_t id = (static_cast<uint64_t>(entry.idhigh) << 32) | entry.idlow;
  printf("  %3llu  %s  %-18s  %12llu  %s  %s\n", static_cast<unsigned long long>(number), EntryIdText(id).c_str(),
         EntryIdName(id), static_cast<unsigned long long>(entry.datasize), FileTimeText(entry.lastwritetime).c_str(),
         AttributeText(entry.attributes).c_str());
}

// The PlatformFlags bit of an installer build's id, 0 for other ids.
uint32_t BuildFlagOf(uint64_t id) {
  if (id == GenericInstallerId) return PLATFORM_FLAG_GENERIC;
  if (id == NtX86InstallerId) return PLATFORM_FLAG_NT_X86;
  if (id == NtX64InstallerId) return PLATFORM_FLAG_NT_X64;
  return 0;
}

// A text from the file, quoted and safe to print.
std::string Quoted(const std::string& text) { return "\"" + Printable(text) + "\""; }

// "an ansi", "a utf8", "a utf16".
std::string TagFormArticle(uint32_t form) {
  return std::string(form == TagPlain ? "an " : "a ") + TagFormName(form);
}

// The "loader path" row: the stored value and what the loader makes of it.
std::string LoaderPathRow(const StubFacts& stub) {
  bool found = false;
  std::string value = stub.hasversion ? VersionString(stub.version, "LoaderPath", &found) : "";
  if (!found) return "last (default)";
  if (ParseLoaderPathChoice(value) != LoaderPathChoiceUnknown) return value;
  if (LoaderPathTaken(value) == LoaderPathChoiceEnvironment)
    return Quoted(value) + " (the loader reads it as environment)";
  return Quoted(value) + " (unknown: the loader passes its path last)";
}

// The "errors" row: the stored value and what the loader makes of it.
std::string ErrorsRow(const StubFacts& stub) {
  bool found = false;
  std::string value = stub.hasversion ? VersionString(stub.version, "Errors", &found) : "";
  if (!found) return "box (default)";
  if (ParseErrorsChoice(value) != ErrorsChoiceUnknown) return value;
  if (ErrorsTaken(value) == ErrorsChoiceSilent) return Quoted(value) + " (the loader reads it as silent)";
  return Quoted(value) + " (unknown: the loader shows its box)";
}

// The stub, its resources, the signature and the tag.
void PrintReleaseFacts(const ReleaseFacts& facts) {
  const StubFacts& stub = facts.stub;
  if (!stub.pefault.empty()) {
    printf("stub         not a PE executable: %s\n", stub.pefault.c_str());
  } else if (stub.pxqstub) {
    printf("stub         pxq stub %s\n", facts.stubversion.empty() ? "(version unknown)" : facts.stubversion.c_str());
  } else {
    printf("stub         a foreign executable (it does not hold the pxq loader's code)\n");
  }
  if (!stub.hasversion) {
    printf("arguments    none (no version resource)\n");
    printf("loader path  %s\n", LoaderPathRow(stub).c_str());
    printf("errors       %s\n", ErrorsRow(stub).c_str());
  } else {
    bool found = false;
    std::string arguments = VersionString(stub.version, "Arguments", &found);
    printf("arguments    %s\n", !found ? "none (no Arguments value)" : arguments.empty() ? "empty" : Quoted(arguments).c_str());
    printf("loader path  %s\n", LoaderPathRow(stub).c_str());
    printf("errors       %s\n", ErrorsRow(stub).c_str());
    printf("version      file %s, product %s\n", VersionNumbersText(stub.version.fixed[0], stub.version.fixed[1]).c_str(),
           VersionNumbersText(stub.version.fixed[2], stub.version.fixed[3]).c_str());
    for (const auto& entry : stub.version.strings) {
      if (IsLoaderValue(entry.first) || entry.first == PXQ_LOADER_VERSION_KEY) continue;
      printf("             %-16s %s\n", Printable(entry.first).c_str(), Quoted(entry.second).c_str());
    }
  }
  printf("manifest     %s\n",
         stub.hasmanifest ? ("execution level " + stub.manifestlevel).c_str() : "none (execution level none)");
  if (stub.icons != 0) {
    printf("icon         %zu %s\n", stub.icons, stub.icons == 1 ? "image" : "images");
  } else {
    printf("icon         none\n");
  }
  if (!facts.hassignature) {
    printf("signature    none\n");
  } else {
    printf("signature    Authenticode, certificate table of %u bytes at offset %u\n", facts.tablesize, facts.tableoffset);
    if (facts.signaturestate == SignatureUnreadable)
      printf("             not readable: %s\n", facts.signaturefault.c_str());
    if (facts.signaturestate == SignatureNotAtEnd)
      printf("             read, but the file does not end with it: %llu bytes follow the certificate table "
             "(osslsigncode ignores such a signature, Windows rejects it)\n",
             static_cast<unsigned long long>(facts.trailingbytes));
    if (!facts.signer.empty())
      printf("             signer %s (%s)\n", Printable(facts.signer).c_str(), Printable(facts.digest).c_str());
    for (const std::string& nested : facts.nested)
      printf("             nested signature by %s\n", Printable(nested).c_str());
  }
  if (facts.tagform == TagAbsent && facts.strandedplace == StrandedBytesFollow) {
    printf("tag          none: the file ends with %s tag %s followed by %llu %s (\"%s\"); the loader reads a tag only "
           "when its closing \"|>\" ends the file: remove %s\n",
           TagFormArticle(facts.strandedform).c_str(), Quoted(facts.strandedtext).c_str(),
           static_cast<unsigned long long>(facts.strandedfollowingbytes),
           facts.strandedfollowingbytes == 1 ? "byte" : "bytes", Printable(facts.strandedfollowing).c_str(),
           facts.strandedfollowingbytes == 1 ? "it" : "them");
  } else if (facts.tagform == TagAbsent && facts.strandedplace == StrandedBeforeSignature) {
    printf("tag          none at the end of the file: %s tag %s lies in front of the signature (tagged, then "
           "signed), where the loader does not read it; sign the untagged file, then tag it with pxq tag\n",
           TagFormArticle(facts.strandedform).c_str(), Quoted(facts.strandedtext).c_str());
  } else if (facts.tagform == TagAbsent && facts.signaturetagged) {
    // Signed again after tagging (osslsigncode -nest): the tag's attribute
    // no longer ends the file.
    printf("tag          none at the end of the file; the signature carries a tag that no longer ends it (signed "
           "again after tagging?): tag the file again\n");
  } else if (facts.tagform == TagAbsent) {
    printf("tag          none\n");
  } else {
    printf("tag          %s %s%s\n", TagFormName(facts.tagform), Quoted(facts.tagtext).c_str(),
           facts.tagunread           ? " (the file is under 64 KiB: the loader does not read it)"
           : facts.taginsignature    ? " (inside the signature)"
           : facts.tagaftersignature ? " (after the signature, which it breaks: tag signed files with pxq tag)"
                                     : "");
  }
}

}  // namespace

namespace {

struct ListRequest {
  std::string path;
  bool json = false;
};

// The request from the command line. -1 to go on, else the exit code
// (help shown, or a usage error named).
int ParseList(int argc, char** argv, ListRequest* request) {
  CommandOptions options;
  BeginCommandOptions(&options, "list", true);
  AddFlagOption(&options, "--json", [request]() {
    request->json = true;
    return std::string();
  });
  ParseCommandOptions(&options, argc, argv);
  if (options.help) {
    fputs(kListHelp, stdout);
    return PXQ_EXIT_OK;
  }
  if (!options.fault.empty()) return UsageError("list", options.fault);
  if (!options.unknown.empty()) return UsageError("list", "unknown option " + options.unknown[0]);
  std::string fault = OneFileFault(options.operands);
  if (!fault.empty()) return UsageError("list", fault);
  request->path = options.operands[0];
  return -1;
}

// The stamp and the release facts, shown (text) or begun (JSON). -1 to go
// on, else the exit code. With --json even a file that is no loader file
// gets its whole object.
int ShowHead(const ListRequest& request, LoaderStamp* stamp, ReleaseFacts* release, ListJson* json) {
  const char* path = request.path.c_str();
  std::string stampfault = LoaderStampFault(path, stamp);
  if (!stampfault.empty()) {
    if (request.json) JsonListFault(path, nullptr, stampfault);
    return Failure(path, stampfault);
  }
  std::string releasefault = ReadReleaseFacts(path, release);
  if (request.json) {
    if (!releasefault.empty()) {
      JsonListFault(path, stamp, releasefault);
      return Failure(path, releasefault);
    }
    JsonListBegin(json, path, *stamp, *release);
    return -1;
  }
  printf("stamp        pxr5; builds: %s (platform flags 0x%02X)\n", PlatformFlagsText(stamp->platformflags).c_str(),
         stamp->platformflags);
  printf("archive      at offset %u (0x%X)\n", stamp->archiveoffset, stamp->archiveoffset);
  if (!releasefault.empty()) return Failure(path, releasefault);
  PrintReleaseFacts(*release);
  return -1;
}

// The archive walked through the loader's reader, its header and each
// entry shown as they come, with progress. The PlatformFlags bits of the
// installer builds met.
uint32_t ShowArchive(const ListRequest& request, const LoaderStamp& stamp, ListJson* json, ArchiveCheck* check) {
  const char* path = request.path.c_str();
  uint32_t buildsfound = 0;
  bool headershown = false;
  auto showheader = [&]() {
    if (headershown || !check->opened) return;
    headershown = true;
    if (request.json) return JsonListArchive(json, *check);
    printf("format       gmo3 version 0x%08X, flags 0x%X\n", check->header.formatversion, check->header.archiveflags);
    printf("lzma         lc %u, lp %u, pb %u, dictionary %u bytes\n", check->properties.lc, check->properties.lp,
           check->properties.pb, check->properties.dictionarysize);
    printf("entries\n");
  };
  // Progress over the package bytes read; on a terminal only when the
  // report itself goes elsewhere, so that the two never share a line.
  uint64_t packagebytes = PackageBytes(path, stamp.archiveoffset);
  Progress progress;
  BeginProgress(&progress, "list", packagebytes);
  if (Verbosity == 0 && isatty(STDOUT_FILENO)) progress.active = false;
  CountPlatformReads(&progress);
  CheckArchive(path, stamp.archiveoffset,
               [&](uint64_t number, const EntryHeader& entry) {
                 showheader();
                 if (request.json) {
                   JsonListEntry(json, number, entry);
                 } else {
                   PrintEntry(number, entry);
                 }
                 buildsfound |= BuildFlagOf((static_cast<uint64_t>(entry.idhigh) << 32) | entry.idlow);
               },
               check);
  CountPlatformReads(nullptr);
  EndProgress(&progress);
  showheader();
  return buildsfound;
}

// The first fault of the file: the walk's, else a build the stamp
// announces in vain, else a signature that Windows cannot take.
std::string FileFault(const LoaderStamp& stamp, uint32_t buildsfound, const ArchiveCheck& check,
                      const ReleaseFacts& release) {
  if (!check.fault.empty()) return check.fault;
  static const struct {
    uint32_t flag;
    uint64_t id;
  } kBuilds[] = {{PLATFORM_FLAG_GENERIC, GenericInstallerId},
                 {PLATFORM_FLAG_NT_X86, NtX86InstallerId},
                 {PLATFORM_FLAG_NT_X64, NtX64InstallerId}};
  for (const auto& build : kBuilds) {
    if ((stamp.platformflags & build.flag) != 0 && (buildsfound & build.flag) == 0)
      return std::string("the stamp announces ") + EntryIdName(build.id) +
             " but the archive holds no such entry (the loader would fail with 250 where it chooses that build)";
  }
  return SignatureFault(release);
}

// The end of the report, the data archive's part included; the exit code.
int ShowTail(const ListRequest& request, const LoaderStamp& stamp, const ArchiveCheck& check, std::string fault,
             ListJson* json) {
  const char* path = request.path.c_str();
  if (request.json) {
    // The data archive, which the installer reads.
    JsonListStream(json, check, stamp);
    std::string datafault = ListDataArchive(path, true);
    if (fault.empty()) fault = datafault;
    JsonListEnd(fault);
    fflush(stdout);
    return fault.empty() ? PXQ_EXIT_OK : Failure(path, fault);
  }
  if (!check.fault.empty()) {
    fflush(stdout);
    return Failure(path, check.fault);
  }
  printf("stream       %llu compressed bytes decode to %llu; the end marker follows entry %llu\n",
         static_cast<unsigned long long>(check.streamlength), static_cast<unsigned long long>(check.decoded),
         static_cast<unsigned long long>(check.entries));
  printf("trailer      at offset %llu\n",
         static_cast<unsigned long long>(stamp.archiveoffset + STREAM_OFFSET + check.streamlength));
  std::string datafault = ListDataArchive(path, false);
  if (fault.empty()) fault = datafault;
  if (!fault.empty()) {
    fflush(stdout);
    return Failure(path, fault);
  }
  return PXQ_EXIT_OK;
}

}  // namespace

int CommandList(int argc, char** argv) {
  ListRequest request;
  int status = ParseList(argc, argv, &request);
  if (status >= 0) return status;
  LoaderStamp stamp;
  ReleaseFacts release;
  ListJson json;
  status = ShowHead(request, &stamp, &release, &json);
  if (status >= 0) return status;
  ArchiveCheck check;
  uint32_t buildsfound = ShowArchive(request, stamp, &json, &check);
  return ShowTail(request, stamp, check, FileFault(stamp, buildsfound, check, release), &json);
}
