// pxq pack: a stub and installer builds (and any other entries) into one
// loader file, written under a temporary name and renamed when complete.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "package/records.h"
#include "platform/filetime.h"
#include "platform/posix.h"
#include "platform/types.h"
#include "tools/release/pe_image.h"
#include "package/data_archive.h"
#include "tools/writer/data_inputs.h"
#include "tools/host/host_error.h"
#include "tools/host/output_file.h"
#include "tools/cli/pack_request.h"
#include "tools/cli/progress.h"
#include "tools/cli/pxq_cli.h"
#include "tools/release/stub_resources.h"
#include "tools/release/tag_text.h"
#include "tools/writer/writer.h"

extern const char kPackHelp[];
const char kPackHelp[] =
    "Usage: pxq pack -o OUT [--stub FILE] [--generic FILE] [--nt-x86 FILE] [--nt-x64 FILE]\n"
    "                [--entry ID=FILE]... [--preset 0-9[e]] [--dict SIZE] [--keep-order]\n"
    "                [--arguments TEXT] [--product-name TEXT] [--file-description TEXT]\n"
    "                [--company TEXT] [--copyright TEXT] [--product-version VERSION]\n"
    "                [--file-version VERSION] [--icon FILE.ico]\n"
    "                [--execution-level none|asInvoker|highestAvailable|requireAdministrator]\n"
    "                [--loader-path last|environment]\n"
    "                [--mtime TIME] [--attributes normal|readonly|from-file]\n"
    "                [--data PATH]...\n"
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
    "  --data PATH       product files for the installer, in a data archive after\n"
    "                    the loader's (which the loader never decodes): a file by\n"
    "                    its name, a directory by its contents; may be repeated\n"
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



// Windows-1252, the ANSI code page of Western systems: Latin-1 but for
// 0x80 to 0x9F, where it has these characters (0x81, 0x8D, 0x8F, 0x90 and
// 0x9D map to the control characters of the same number).
bool InWindows1252(uint32_t c) {
  static const uint16_t kHigh[] = {0x20AC, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030,
                                   0x0160, 0x2039, 0x0152, 0x017D, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
                                   0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x017E, 0x0178,
                                   0x0081, 0x008D, 0x008F, 0x0090, 0x009D};
  if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) return true;
  for (uint16_t high : kHigh) {
    if (c == high) return true;
  }
  return false;
}

// The characters of valid UTF-8 text that Windows-1252 lacks, each once.
std::string OutsideWindows1252(const std::string& text) {
  std::string outside;
  for (size_t i = 0; i < text.size();) {
    uint8_t lead = static_cast<uint8_t>(text[i]);
    size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    uint32_t c = length == 1 ? lead : lead & (0xFF >> (length + 1));
    for (size_t k = 1; k < length && i + k < text.size(); ++k) c = (c << 6) | (static_cast<uint8_t>(text[i + k]) & 0x3F);
    std::string character = text.substr(i, length);
    if (!InWindows1252(c) && outside.find(character) == std::string::npos) outside += character;
    i += length;
  }
  return outside;
}

// What Windows can make of a build in its slot. An x64 image can never
// start as the generic or NT x86 build (those run on 32-bit Windows), so it
// is refused; anything else that Windows on x86 or x64 does not start is
// warned about. "" or the fault; *refuse tells which.
std::string BuildMachineFault(const PackInput& input, bool* refuse) {
  *refuse = false;
  PeImage image;
  std::string fault = ReadPeImageFile(input.path, &image);
  if (!fault.empty())
    return input.option + (" " + input.path) + ": " + fault + "; the loader cannot start it on Windows";
  char machine[16];
  snprintf(machine, sizeof machine, "0x%04X", image.machine);
  if (image.machine == 0x8664 && strcmp(input.option, "--nt-x64") != 0) {
    *refuse = true;
    return input.option + (" " + input.path) + ": an x64 image (PE machine " + machine +
           "), which 32-bit Windows cannot start; give it as --nt-x64, or pass --no-machine-check to store it "
           "anyway";
  }
  if (image.machine != 0x14C && image.machine != 0x8664)
    return input.option + (" " + input.path) + ": PE machine " + machine +
           ", neither x86 (0x014C) nor x64 (0x8664): Windows on x86 and x64 cannot start it";
  return "";
}


// The resource option that alone (or "--a, --b" that together) make the
// stub's resources fail where the stub takes the others, so that the
// message names what to shorten; "" when the stub itself is at fault.
std::string ResourceOptionAtFault(const StubResourceOptions& resources, const std::vector<uint8_t>& plain) {
  auto fails = [&](const StubResourceOptions& tried) {
    std::vector<uint8_t> bytes = plain;
    return !ApplyStubResources(tried, &bytes).empty();
  };
  StubResourceOptions base = resources;
  base.strings.clear();
  base.icon.clear();
  if (fails(base)) return "";
  if (!resources.icon.empty()) {
    StubResourceOptions icon = base;
    icon.icon = resources.icon;
    if (fails(icon)) return "--icon";
  }
  std::string together;
  for (const auto& string : resources.strings) {
    StubResourceOptions one = base;
    one.strings.push_back(string);
    const char* option = VersionStringOption(string.first);
    if (fails(one)) return option;
    together += (together.empty() ? "" : ", ") + std::string(option);
  }
  return together;
}

// Which of the stub's version strings stay in a file whose vendor gave
// some of them (Explorer would show pxq's own FileDescription beside the
// vendor's ProductName): a note naming them and their options, or "".
std::string KeptVersionStrings(const StubResourceOptions& resources, const StubFacts& facts) {
  bool branded = false;
  for (const auto& given : resources.strings)
    branded = branded || (given.first != "Arguments" && given.first != "LoaderPath");
  if (!branded || !facts.hasversion) return "";
  std::string kept, options;
  for (const auto& string : facts.version.strings) {
    if (string.first == "Arguments" || string.first == "LoaderPath" || string.second.empty()) continue;
    bool given = false;
    for (const auto& value : resources.strings) given = given || value.first == string.first;
    if (given) continue;
    kept += (kept.empty() ? "" : ", ") + string.first + " \"" + string.second + "\"";
    const char* option = VersionStringOption(string.first);
    if (option[0] != '\0') options += (options.empty() ? "" : ", ") + std::string(option);
  }
  if (kept.empty()) return "";
  return "the stub's own " + kept + " stay" + (options.empty() ? "" : "; " + options + " would replace them");
}

}  // namespace

int CommandPack(int argc, char** argv) {
  PackRequest request;
  int status = ParsePack(argc, argv, &request);
  if (status >= 0) return status;
  const char* output = request.output.c_str();
  const std::vector<PackInput>& inputs = request.inputs;
  PackageOptions& options = request.options;
  StubResourceOptions& resources = request.resources;
  const uint32_t platformflags = request.platformflags;
  const AttributeMode attributemode = request.attributemode;
  const bool hasfixedtime = request.hasfixedtime, clamped = request.clamped;
  const int64_t fixedtime = request.fixedtime, clamp = request.clamp;
  const char* iconpath = request.iconpath.empty() ? nullptr : request.iconpath.c_str();

  // What is at OUT is looked at before any work.
  int error = CheckOutputName(output);
  if (error != 0) return HostFailure(OutputDisplayName(output), error);
  std::string stubpath;
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
    if (iconpath != nullptr) named.push_back(iconpath);
    for (const PackInput& input : inputs) named.push_back(input.path);
    for (const std::string& input : named) {
      if (sameasoutput(input))
        return Failure(OutputDisplayName(output), "is also an input; choose another output file");
    }
  }

  // Everything is checked before the output is begun.
  std::vector<uint8_t> stubbytes;
  error = ReadInputFile(stubpath, &stubbytes);
  if (error != 0) return HostFailure(stubpath, error);
  uint8_t stamped[LOADER_STAMP_SIZE];
  uint32_t result = StampLoaderHeader(stubbytes, platformflags, stamped);
  // A stub that is not a pxq stub, or one that is already packed, still
  // packs (a file laid out alike may be wanted), but hardly by intent: said
  // once the file is written, so that a failure stands alone.
  std::vector<std::string> warnings;
  std::string note;
  {
    StubFacts facts = ReadStubFacts(stubbytes);
    std::string stubwarning;
    LoaderStamp stubstamp;
    if (stubbytes.size() >= LOADER_STAMP_SIZE) DecodeLoaderStamp(stubbytes.data(), &stubstamp);
    if (stubbytes.size() >= LOADER_STAMP_SIZE && StampIsValid(&stubstamp)) {
      stubwarning = stubpath + " is already a packed loader file (it carries a stamp); the new archive goes after "
                               "the old one, which is kept as dead weight. Pack the plain pxq-loader.exe instead.";
    } else if (!facts.pxqstub) {
      stubwarning = stubpath + " is not a pxq stub (it does not hold the loader's code); the packed file will not "
                               "run as a loader";
    }
    if (!stubwarning.empty()) warnings.push_back(stubwarning);
    note = KeptVersionStrings(resources, facts);
  }
  if (result == 0 && resources.any) {
    if (iconpath != nullptr) {
      error = ReadInputFile(iconpath, &resources.icon);
      if (error != 0) return HostFailure(iconpath, error);
      std::string fault = CheckIconFile(resources.icon);
      if (!fault.empty()) return Failure(iconpath, fault);
    }
    std::vector<uint8_t> plain = stubbytes;
    std::string fault = ApplyStubResources(resources, &stubbytes);
    if (!fault.empty()) {
      std::string option = ResourceOptionAtFault(resources, plain);
      if (!option.empty())
        return Failure(option, fault + (option == "--icon" ? "; give a smaller icon" : "; give a shorter text"));
      return Failure(stubpath, "cannot take the resources: " + fault);
    }
  }
  if (result == ERROR_BAD_EXE_FORMAT) return Failure(stubpath, "not a Windows executable (no 64-byte MZ header)");
  if (result != 0) return Failure(stubpath, "cannot be a stub: " + ResultText(result));

  std::vector<PackageEntry> entries(inputs.size());
  uint64_t inputbytes = 0;
  for (size_t i = 0; i < inputs.size(); ++i) {
    struct stat info;
    if (stat(inputs[i].path.c_str(), &info) != 0) return HostFailure(inputs[i].path, errno);
    error = NonRegularError(info.st_mode);
    if (error != 0) return HostFailure(inputs[i].path, error);
    entries[i].idlow = static_cast<uint32_t>(inputs[i].id);
    entries[i].idhigh = static_cast<uint32_t>(inputs[i].id >> 32);
    entries[i].path = inputs[i].path;
    int64_t seconds = static_cast<int64_t>(info.st_mtim.tv_sec);
    uint32_t nanoseconds = static_cast<uint32_t>(info.st_mtim.tv_nsec);
    if (hasfixedtime) {
      seconds = fixedtime;
      nanoseconds = 0;
    } else if (clamped && seconds >= clamp) {
      seconds = clamp;
      nanoseconds = 0;
    }
    entries[i].lastwritetime = FileTimeFromUnix(seconds, nanoseconds);
    bool readonly = attributemode == AttributesReadOnly ||
                    (attributemode == AttributesFromFile && (info.st_mode & S_IWUSR) == 0);
    entries[i].attributes = readonly ? FILE_ATTRIBUTE_READONLY : FILE_ATTRIBUTE_NORMAL;
    inputbytes += static_cast<uint64_t>(info.st_size);
  }
  if (!request.keeporder) OrderEntriesForLoading(&entries);
  // The data archive's items take their times and attributes by the same rules.
  std::vector<DataArchiveItem> dataitems;
  uint64_t databytes = 0;
  std::string datafault = CollectDataItems(
      request.datapaths,
      [&](const struct stat& info, DataArchiveItem* item) {
        int64_t seconds = static_cast<int64_t>(info.st_mtim.tv_sec);
        uint32_t nanoseconds = static_cast<uint32_t>(info.st_mtim.tv_nsec);
        if (hasfixedtime || (clamped && seconds >= clamp)) {
          seconds = hasfixedtime ? fixedtime : clamp;
          nanoseconds = 0;
        }
        item->lastwritetime = FileTimeFromUnix(seconds, nanoseconds);
        bool readonly = attributemode == AttributesReadOnly ||
                        (attributemode == AttributesFromFile && (info.st_mode & S_IWUSR) == 0);
        item->attributes = S_ISDIR(info.st_mode) ? FILE_ATTRIBUTE_DIRECTORY
                           : readonly            ? FILE_ATTRIBUTE_READONLY
                                                 : FILE_ATTRIBUTE_NORMAL;
      },
      &dataitems, &databytes);
  if (!datafault.empty()) return Failure("pack --data", datafault);
  for (const DataArchiveItem& item : dataitems) {
    if (!item.path.empty() && !IsStandardOutput(output) && SameFile(output, item.path))
      return Failure(OutputDisplayName(output), "is also an input; choose another output file");
  }
  inputbytes += databytes;
  for (const PackInput& input : inputs) {
    if (!request.machinecheck || strcmp(input.option, "--entry") == 0) continue;
    bool refuse = false;
    std::string fault = BuildMachineFault(input, &refuse);
    if (refuse) return UsageError("pack", fault);
    if (!fault.empty()) warnings.push_back(fault);
  }
  if (platformflags == 0)
    warnings.push_back("no installer build given (--generic, --nt-x86 or --nt-x64): the loader will find none to run "
                       "and exit with 253; list and extract still read the entries");
  for (const auto& string : resources.strings) {
    std::string outside = string.first == "Arguments" ? OutsideWindows1252(string.second) : "";
    if (!outside.empty())
      warnings.push_back("--arguments: characters outside Windows-1252 (" + outside +
                         "): Windows hands the value to the loader in the system's ANSI code page, so they arrive "
                         "as '?' where that code page lacks them");
  }

  // A stub with a PE checksum gets the checksum of the whole loader file,
  // summed as it is written and put in place at the end. Standard output
  // cannot be written at a place: the file is then built in a scratch file
  // and copied out.
  PeImage image;
  bool checksummed = ReadPeImage(stubbytes.data(), stubbytes.size(), &image).empty() && image.checksum != 0;
  PeChecksum checksum;
  checksum.checksumoffset = image.checksumoffset;
  // The data archive's locator is written in place at the end too.
  bool viascratch = (checksummed || !dataitems.empty()) && IsStandardOutput(output);
  OutputFile out;
  error = viascratch ? BeginScratchFile(&out) : BeginOutput(output, 0777, &out);
  if (error != 0) return HostFailure(output, error);
  uint64_t written = 0;
  size_t failedentry = SIZE_MAX;
  int writeerror = 0;
  uint32_t dictionary = ChosenDictionary(entries, options);
  options.dictionarysize = dictionary;
  Progress progress;
  BeginProgress(&progress, "pack", inputbytes);
  options.onencoded = [&](uint64_t count) { AdvanceProgress(&progress, count); };
  result = WriteLoaderFileTo(
      stubbytes, platformflags, entries, options,
      [&](const uint8_t* bytes, size_t count) -> uint32_t {
        written += count;
        if (checksummed) AddPeChecksum(&checksum, bytes, count);
        writeerror = WriteFully(out.fd, bytes, count);
        return writeerror != 0 ? ERROR_WRITE_FAULT : 0;
      },
      &failedentry);
  // The data archive follows the loader's trailer; its offset goes into the
  // locator, bytes of the loader's archive header that the loader never reads.
  uint64_t dataoffset = written;
  size_t faileditem = SIZE_MAX;
  if (result == 0 && !dataitems.empty()) {
    PackageOptions dataoptions = options;
    dataoptions.dictionarysize = 0;
    result = WriteDataArchiveTo(
        dataitems, dataoptions,
        [&](const uint8_t* bytes, size_t count) -> uint32_t {
          written += count;
          if (checksummed) AddPeChecksum(&checksum, bytes, count);
          writeerror = WriteFully(out.fd, bytes, count);
          return writeerror != 0 ? ERROR_WRITE_FAULT : 0;
        },
        &faileditem);
    uint8_t locator[16];
    EncodeDataLocator(dataoffset, locator);
    if (result == 0 && pwrite(out.fd, locator, sizeof locator, static_cast<off_t>(stubbytes.size())) != sizeof locator) {
      writeerror = errno;
      result = ERROR_WRITE_FAULT;
    }
    if (result == 0 && checksummed) {
      // The locator's bytes were zero when summed; the sum takes them at their place.
      PeChecksum patch = checksum;
      patch.position = stubbytes.size();
      AddPeChecksum(&patch, locator, sizeof locator);
      checksum.sum = patch.sum;
    }
    if (result != 0 && faileditem != SIZE_MAX) {
      EndProgress(&progress);
      DiscardOutput(&out);
      const std::string& path = dataitems[faileditem].path;
      if (result == ERROR_HANDLE_EOF) return Failure(path, "became shorter while being packed; nothing was written");
      if (result == ERROR_READ_FAULT) return Failure(path, "changed while being packed; nothing was written");
      return Failure(path, ResultWords(result));
    }
  }
  EndProgress(&progress);
  if (result == 0 && checksummed) {
    uint8_t field[4];
    PutLe32(field, FinishPeChecksum(checksum));
    if (pwrite(out.fd, field, sizeof field, image.checksumoffset) != sizeof field) {
      writeerror = errno;
      result = ERROR_WRITE_FAULT;
    }
  }
  if (result != 0) {
    DiscardOutput(&out);
    if (failedentry != SIZE_MAX) {
      const std::string& path = entries[failedentry].path;
      if (result == ERROR_HANDLE_EOF) return Failure(path, "became shorter while being packed; nothing was written");
      if (result == ERROR_READ_FAULT) return Failure(path, "grew while being packed; nothing was written");
      return Failure(path, ResultWords(result));
    }
    if (writeerror != 0) return HostFailure(OutputDisplayName(output), writeerror);
    return Failure(output, ResultWords(result));
  }
  error = viascratch ? CopyFileToStandardOutput(out.temporary) : CommitOutput(&out);
  if (viascratch) DiscardOutput(&out);
  if (error != 0) return HostFailure(OutputDisplayName(output), error);
  if (Verbosity < 0) return PXQ_EXIT_OK;
  for (const std::string& warning : warnings) fprintf(stderr, "pxq pack: warning: %s\n", warning.c_str());
  if (!note.empty()) fprintf(stderr, "pxq pack: note: %s\n", note.c_str());
  // The summary never mixes with the loader file on standard output.
  FILE* report = IsStandardOutput(output) ? stderr : stdout;
  fprintf(report, "%s: %llu bytes: stub %zu, archive %llu; builds: %s; %zu %s; dictionary %u KiB\n",
          OutputDisplayName(output).c_str(), static_cast<unsigned long long>(written), stubbytes.size(),
          static_cast<unsigned long long>(written - stubbytes.size()), PlatformFlagsText(platformflags).c_str(),
          entries.size(), entries.size() == 1 ? "entry" : "entries", dictionary / 1024);
  if (!dataitems.empty())
    fprintf(report, "%s: data archive at offset %llu: %llu bytes, %zu %s, %llu bytes of files\n",
            OutputDisplayName(output).c_str(), static_cast<unsigned long long>(dataoffset),
            static_cast<unsigned long long>(written - dataoffset), dataitems.size(),
            dataitems.size() == 1 ? "item" : "items", static_cast<unsigned long long>(databytes));
  return PXQ_EXIT_OK;
}
