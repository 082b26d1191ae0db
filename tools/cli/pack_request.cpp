#include "tools/cli/pack_request.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "package/data_archive.h"
#include "package/records.h"
#include "tools/cli/command_options.h"
#include "tools/cli/pxq_cli.h"
#include "tools/release/tag_text.h"
#include "tools/release/version_info.h"

extern const char kPackHelp[];

namespace {

// The options that set the stub's version strings.
const struct {
  const char* option;
  const char* key;
} kVersionStrings[] = {
    {"--arguments", "Arguments"},          {"--product-name", "ProductName"},
    {"--file-description", "FileDescription"}, {"--company", "CompanyName"},
    {"--copyright", "LegalCopyright"},    {"--product-version", "ProductVersion"},
    {"--file-version", "FileVersion"},     {"--loader-path", "LoaderPath"},
    {"--errors", "Errors"},
};

// A version text's leading numbers: one to four of 0 to 65535, joined by
// single dots. Text may follow them ("2.1.0.7 (spring)"), but not a dot:
// "1..2" and "1.2.3.4.5" would quietly be taken as 1.0.0.0 and 1.2.3.4.
// "" or what is wrong.
std::string VersionNumbersFault(const char* text) {
  const char* at = text;
  int count = 0;
  while (*at >= '0' && *at <= '9') {
    ++count;
    while (*at >= '0' && *at <= '9') ++at;
    if (*at != '.') break;
    ++at;
  }
  if (count == 0) return "must begin with the version's numbers, 1 to 4 of 0 to 65535 (2.1.0.7)";
  if (count > 4) return "has more than four leading numbers; give 1 to 4 of 0 to 65535 (2.1.0.7)";
  if (at[-1] == '.')
    return "has malformed leading numbers (a dot with no number after it); give 1 to 4 of 0 to 65535 joined by "
           "single dots (2.1.0.7)";
  return "";
}

// "65536", "64KiB", "64K", "8MiB", "8M": 4 KiB to 1536 MiB.
bool ParseDictionarySize(const char* text, uint32_t* size) {
  char* end = nullptr;
  if (text[0] < '0' || text[0] > '9') return false;
  errno = 0;
  unsigned long long value = strtoull(text, &end, 10);
  if (errno != 0) return false;
  std::string unit = end;
  unsigned long long scale = 1;
  if (unit == "K" || unit == "KiB") scale = 1024;
  else if (unit == "M" || unit == "MiB") scale = 1024 * 1024;
  else if (!unit.empty()) return false;
  if (value > MAX_DICTIONARY_SIZE / scale) return false;
  value *= scale;
  if (value < MIN_DICTIONARY_SIZE) return false;
  *size = static_cast<uint32_t>(value);
  return true;
}

bool ParsePreset(const char* text, PackageOptions* options) {
  if (text[0] < '0' || text[0] > '9') return false;
  if (text[1] != '\0' && !(text[1] == 'e' && text[2] == '\0')) return false;
  options->preset = static_cast<uint32_t>(text[0] - '0');
  options->extreme = text[1] == 'e';
  return true;
}

// "@SECONDS" or "SECONDS" since 1970, or a UTC date "YYYY-MM-DD" with an
// optional time "THH:MM:SS" or " HH:MM:SS" and an optional "Z".
bool ParseTime(const char* text, int64_t* seconds) {
  const char* digits = text[0] == '@' ? text + 1 : text;
  char* end = nullptr;
  errno = 0;
  long long number = strtoll(digits, &end, 10);
  if (end != digits && *end == '\0' && errno == 0 && (digits[0] == '-' || (digits[0] >= '0' && digits[0] <= '9'))) {
    *seconds = number;
    return true;
  }
  struct tm fields = {};
  int year, month, day, hour = 0, minute = 0, second = 0, used = 0;
  if (sscanf(text, "%4d-%2d-%2d%n", &year, &month, &day, &used) != 3) return false;
  const char* rest = text + used;
  if (*rest == 'T' || *rest == ' ') {
    int more = 0;
    if (sscanf(rest + 1, "%2d:%2d:%2d%n", &hour, &minute, &second, &more) != 3) return false;
    rest += 1 + more;
  }
  if (*rest == 'Z') ++rest;
  if (*rest != '\0' || month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60)
    return false;
  fields.tm_year = year - 1900;
  fields.tm_mon = month - 1;
  fields.tm_mday = day;
  fields.tm_hour = hour;
  fields.tm_min = minute;
  fields.tm_sec = second;
  *seconds = static_cast<int64_t>(timegm(&fields));
  return true;
}

// The checks of a version string's value: UTF-8, the room of "Arguments",
// the two choices of "LoaderPath" and of "Errors", the leading numbers of the
// versions.
std::string TakeVersionString(const char* option, const char* key, const std::string& value, PackRequest* request) {
  StubResourceOptions& resources = request->resources;
  std::vector<uint16_t> units;
  if (!Utf16FromUtf8(value, &units)) return std::string(option) + ": the text is not valid UTF-8";
  if (strcmp(key, "LoaderPath") == 0 && ParseLoaderPathChoice(value) == LoaderPathChoiceUnknown)
    return "unknown loader path '" + value + "'; use last or environment";
  if (strcmp(key, "Errors") == 0 && ParseErrorsChoice(value) == ErrorsChoiceUnknown)
    return "unknown errors setting '" + value + "'; use box or silent";
  if (strcmp(key, "Arguments") == 0 && units.size() > ARGUMENTS_UNITS)
    return "--arguments: the text has " + std::to_string(units.size()) + " UTF-16 units; the stub has room for 64";
  uint32_t words[2];
  bool numbers = ParseVersionNumbers(value, &words[0], &words[1]);
  if (strcmp(key, "FileVersion") == 0 || strcmp(key, "ProductVersion") == 0) {
    std::string fault = VersionNumbersFault(value.c_str());
    if (!numbers || !fault.empty())
      return std::string(option) + " '" + value + "' " + (fault.empty() ? VersionNumbersFault("") : fault);
    bool file = strcmp(key, "FileVersion") == 0;
    (file ? resources.filenumbers : resources.productnumbers) = true;
    uint32_t* target = file ? resources.fileversion : resources.productversion;
    target[0] = words[0];
    target[1] = words[1];
  }
  for (const auto& given : resources.strings) {
    if (given.first == key) return std::string(option) + " given twice";
  }
  resources.strings.push_back({key, value});
  resources.any = true;
  return "";
}

// The options, each with the check of its value.
void DeclarePackOptions(CommandOptions* options, PackRequest* request) {
  AddValueOption(options, "-o,--output", [request](const std::string& value) {
    // A second output would silently win over the first.
    if (!request->output.empty()) return std::string("more than one output file given");
    request->output = value;
    return std::string();
  });
  AddValueOption(options, "--stub", [request](const std::string& value) {
    if (!request->stub.empty()) return std::string("--stub given twice");
    request->stub = value;
    return std::string();
  });
  AddValueOption(options, "--mtime", [request](const std::string& value) {
    if (!ParseTime(value.c_str(), &request->fixedtime))
      return "bad time '" + value + "'; give @SECONDS or YYYY-MM-DD[THH:MM:SS] (UTC)";
    request->hasfixedtime = true;
    return std::string();
  });
  AddValueOption(options, "--attributes", [request](const std::string& value) {
    if (value == "normal") {
      request->attributemode = AttributesNormal;
    } else if (value == "readonly") {
      request->attributemode = AttributesReadOnly;
    } else if (value == "from-file") {
      request->attributemode = AttributesFromFile;
    } else {
      return "bad attributes '" + value + "'; use normal, readonly or from-file";
    }
    return std::string();
  });
  AddValueOption(options, "--preset", [request](const std::string& value) {
    if (!ParsePreset(value.c_str(), &request->options))
      return "bad preset '" + value + "'; give 0 to 9, or 0e to 9e for extreme";
    return std::string();
  });
  AddValueOption(options, "--dict", [request](const std::string& value) {
    if (!ParseDictionarySize(value.c_str(), &request->options.dictionarycap))
      return "bad dictionary size '" + value + "', expected 4KiB to 1536MiB";
    return std::string();
  });
  AddValueOption(options, "--data", [request](const std::string& value) {
    request->datainputs.push_back(SplitDataInput(value));
    return std::string();
  });
  AddValueOption(options, "--data-block", [request](const std::string& value) {
    uint32_t size = 0;
    if (!ParseDictionarySize(value.c_str(), &size) || size < DATA_BLOCK_MIN || size > DATA_BLOCK_MAX)
      return "bad data block size '" + value + "', expected 64KiB to 256MiB";
    request->options.datablock = size;
    return std::string();
  });
  AddValueOption(options, "--threads", [request](const std::string& value) {
    char* end = nullptr;
    errno = 0;
    unsigned long count = value.empty() || value[0] < '0' || value[0] > '9' ? 0 : strtoul(value.c_str(), &end, 10);
    if (errno != 0 || end == nullptr || *end != '\0' || count > 16384)
      return "bad thread count '" + value + "', expected 0 (one per core) to 16384";
    request->options.threads = static_cast<uint32_t>(count);
    return std::string();
  });
  AddValueOption(options, "--exclude", [request](const std::string& value) {
    if (value.empty() || value.find_first_not_of('/') == std::string::npos)
      return "bad exclude pattern '" + value + "', expected a glob such as '*.pdb' or build/";
    request->excludes.push_back(value);
    return std::string();
  });
  AddFlagOption(options, "--keep-order", [request]() {
    request->keeporder = true;
    return std::string();
  });
  AddFlagOption(options, "--no-machine-check", [request]() {
    request->machinecheck = false;
    return std::string();
  });
  AddValueOption(options, "--entry", [request](const std::string& value) {
    size_t equals = value.find('=');
    uint64_t id = 0;
    if (equals == std::string::npos || equals + 1 == value.size() || !ParseEntryId(value.substr(0, equals).c_str(), &id))
      return "bad entry '" + value + "', expected ID=FILE";
    request->inputs.push_back({id, value.substr(equals + 1), "--entry", value});
    return std::string();
  });
  AddValueOption(options, "--icon", [request](const std::string& value) {
    if (!request->iconpath.empty()) return std::string("--icon given twice");
    request->iconpath = value;
    request->resources.any = true;
    return std::string();
  });
  AddValueOption(options, "--execution-level", [request](const std::string& value) {
    request->resources.executionlevel = ParseExecutionLevel(value);
    if (request->resources.executionlevel < 0)
      return "unknown execution level '" + value + "'; use none, asInvoker, highestAvailable or requireAdministrator";
    request->resources.any = true;
    return std::string();
  });
  for (const auto& string : kVersionStrings) {
    AddValueOption(options, string.option, [request, string](const std::string& value) {
      return TakeVersionString(string.option, string.key, value, request);
    });
  }
  static const struct {
    const char* option;
    uint64_t id;
    uint32_t flag;
  } kBuilds[] = {
      {"--generic", GenericInstallerId, PLATFORM_FLAG_GENERIC},
      {"--nt-x86", NtX86InstallerId, PLATFORM_FLAG_NT_X86},
      {"--nt-x64", NtX64InstallerId, PLATFORM_FLAG_NT_X64},
  };
  for (const auto& build : kBuilds) {
    AddValueOption(options, build.option, [request, build](const std::string& value) {
      if (request->platformflags & build.flag) return std::string(build.option) + " given twice";
      request->platformflags |= build.flag;
      request->inputs.push_back({build.id, value, build.option, value});
      return std::string();
    });
  }
}

// A second entry with the same id could never be found: the first one
// wins. Both sides are named: an --entry may clash with a build's
// well-known id. "" or the fault.
std::string IdClash(const std::vector<PackInput>& inputs) {
  for (size_t i = 0; i < inputs.size(); ++i) {
    for (size_t j = 0; j < i; ++j) {
      if (inputs[i].id != inputs[j].id) continue;
      const PackInput& build = strcmp(inputs[j].option, "--entry") != 0 ? inputs[j] : inputs[i];
      const PackInput& entry = &build == &inputs[j] ? inputs[i] : inputs[j];
      std::string what = "entry id " + EntryIdText(inputs[i].id) + " given twice: ";
      if (strcmp(build.option, "--entry") == 0)
        return what + "--entry " + inputs[j].given + " and --entry " + inputs[i].given;
      static const struct {
        const char* option;
        const char* name;
      } kSlots[] = {{"--generic", "generic"}, {"--nt-x86", "NT x86"}, {"--nt-x64", "NT x64"}};
      const char* name = "";
      for (const auto& slot : kSlots) {
        if (strcmp(slot.option, build.option) == 0) name = slot.name;
      }
      return what + "--entry " + entry.given + ", and " + EntryIdText(inputs[i].id) + " is the " + name +
             " build's id (" + build.option + " " + build.given + "); give the entry another id";
    }
  }
  return "";
}

// SOURCE_DATE_EPOCH: no entry time later than it (reproducible builds).
// "" or the fault.
std::string TakeSourceDateEpoch(PackRequest* request) {
  const char* epoch = getenv("SOURCE_DATE_EPOCH");
  if (epoch == nullptr || epoch[0] == '\0') return "";
  char* end = nullptr;
  errno = 0;
  long long value = strtoll(epoch, &end, 10);
  if (*end != '\0' || errno != 0 || value < 0 || epoch[0] < '0' || epoch[0] > '9')
    return std::string("SOURCE_DATE_EPOCH must be a number of seconds since 1970, not '") + epoch + "'";
  request->clamped = true;
  request->clamp = value;
  return "";
}

}  // namespace

const char* VersionStringOption(const std::string& key) {
  for (const auto& string : kVersionStrings) {
    if (key == string.key) return string.option;
  }
  return "";
}

int ParsePack(int argc, char** argv, PackRequest* request) {
  request->options.datablock = DATA_BLOCK_DEFAULT;
  CommandOptions options;
  BeginCommandOptions(&options, "pack", false);
  DeclarePackOptions(&options, request);
  ParseCommandOptions(&options, argc, argv);
  if (options.help) {
    fputs(kPackHelp, stdout);
    return PXQ_EXIT_OK;
  }
  if (!options.fault.empty()) return UsageError("pack", options.fault);
  if (!options.unknown.empty()) return UsageError("pack", "unexpected argument '" + options.unknown[0] + "'");
  if (request->output.empty()) return UsageError("pack", "no output file; give -o OUT");
  if (request->inputs.empty())
    return UsageError("pack", "nothing to pack; give --generic, --nt-x86, --nt-x64 or --entry");
  std::string fault = IdClash(request->inputs);
  if (fault.empty()) fault = TakeSourceDateEpoch(request);
  if (!fault.empty()) return UsageError("pack", fault);
  return -1;
}
