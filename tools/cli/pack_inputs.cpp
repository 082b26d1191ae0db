// pack's inputs: the entries and the data archive's items, with their
// times and attributes, and the builds' machines against their slots.
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include "platform/filetime.h"
#include "platform/types.h"
#include "tools/cli/pack_steps.h"
#include "tools/cli/printable.h"
#include "tools/cli/pxq_cli.h"
#include "tools/host/host_error.h"
#include "tools/host/input_file.h"
#include "tools/host/output_file.h"
#include "tools/release/pe_image.h"
#include "tools/writer/data_inputs.h"

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


// An input's last-write time: the file's, or --mtime's, and none later
// than SOURCE_DATE_EPOCH.
uint64_t InputTime(const PackRequest& request, const struct stat& info) {
  int64_t seconds = static_cast<int64_t>(info.st_mtim.tv_sec);
  uint32_t nanoseconds = static_cast<uint32_t>(info.st_mtim.tv_nsec);
  if (request.hasfixedtime || (request.clamped && seconds >= request.clamp)) {
    seconds = request.hasfixedtime ? request.fixedtime : request.clamp;
    nanoseconds = 0;
  }
  return FileTimeFromUnix(seconds, nanoseconds);
}

// READONLY or NORMAL, by --attributes or the owner's write permission.
uint32_t InputAttributes(const PackRequest& request, const struct stat& info) {
  bool readonly = request.attributemode == AttributesReadOnly ||
                  (request.attributemode == AttributesFromFile && (info.st_mode & S_IWUSR) == 0);
  return readonly ? FILE_ATTRIBUTE_READONLY : FILE_ATTRIBUTE_NORMAL;
}

}  // namespace

int CollectPackInputs(const PackRequest& request, PackPlan* plan) {
  const std::vector<PackInput>& inputs = request.inputs;
  const std::string& output = request.output;
  std::vector<PackageEntry>& entries = plan->entries;
  entries.resize(inputs.size());
  for (size_t i = 0; i < inputs.size(); ++i) {
    struct stat info;
    if (stat(inputs[i].path.c_str(), &info) != 0) return HostFailure(inputs[i].path, errno);
    int error = NonRegularError(info.st_mode);
    if (error != 0) return HostFailure(inputs[i].path, error);
    entries[i].idlow = static_cast<uint32_t>(inputs[i].id);
    entries[i].idhigh = static_cast<uint32_t>(inputs[i].id >> 32);
    entries[i].path = inputs[i].path;
    entries[i].lastwritetime = InputTime(request, info);
    entries[i].attributes = InputAttributes(request, info);
    plan->inputbytes += static_cast<uint64_t>(info.st_size);
  }
  if (!request.keeporder) OrderEntriesForLoading(&entries);
  // The data archive's items take their times and attributes by the same rules.
  std::string datafault = CollectDataItems(
      request.datainputs, request.excludes,
      [&](const struct stat& info, DataArchiveItem* item) {
        item->lastwritetime = InputTime(request, info);
        item->attributes = S_ISDIR(info.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : InputAttributes(request, info);
      },
      &plan->dataitems, &plan->databytes);
  // Names are any bytes: control bytes are shown escaped, as list shows them.
  if (!datafault.empty()) return Failure("pack --data", Printable(datafault));
  for (const DataArchiveItem& item : plan->dataitems) {
    if (!item.path.empty() && !IsStandardOutput(output) && SameFile(output, item.path))
      return Failure(OutputDisplayName(output), "is also an input; choose another output file");
  }
  plan->inputbytes += plan->databytes;
  for (const PackInput& input : inputs) {
    if (!request.machinecheck || strcmp(input.option, "--entry") == 0) continue;
    bool refuse = false;
    std::string fault = BuildMachineFault(input, &refuse);
    if (refuse) return UsageError("pack", fault);
    if (!fault.empty()) plan->warnings.push_back(fault);
  }
  if (request.platformflags == 0)
    plan->warnings.push_back("no installer build given (--generic, --nt-x86 or --nt-x64): the loader will find none "
                             "to run and exit with 253; list and extract still read the entries");
  for (const auto& string : request.resources.strings) {
    std::string outside = string.first == "Arguments" ? OutsideWindows1252(string.second) : "";
    if (!outside.empty())
      plan->warnings.push_back("--arguments: characters outside Windows-1252 (" + outside +
                               "): Windows hands the value to the loader in the system's ANSI code page, so they "
                               "arrive as '?' where that code page lacks them");
  }
  return -1;
}
