#include "tools/cli/extract_request.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>

#include <vector>

#include "package/records.h"
#include "tools/cli/command_options.h"
#include "tools/cli/pxq_cli.h"

extern const char kExtractHelp[];

namespace {

// What the command line holds, checked once it is read whole: which of the
// two forms it takes decides the checks.
struct ExtractLine {
  int outputs = 0;
  int ids = 0;
  std::string idoption;  // the first of --id, --generic, --nt-x86, --nt-x64 given
  int datas = 0;
  int threads = 0;  // --threads given
};

void DeclareExtractOptions(CommandOptions* options, ExtractRequest* request, ExtractLine* line) {
  AddValueOption(options, "-o,--output", [request, line](const std::string& value) {
    if (++line->outputs == 1) request->output = value;
    return std::string();
  });
  AddValueOption(options, "--id", [request, line](const std::string& value) {
    if (!ParseEntryId(value.c_str(), &request->id)) return "bad id '" + value + "'";
    if (++line->ids == 1) line->idoption = "--id";
    return std::string();
  });
  static const struct {
    const char* option;
    uint64_t id;
  } kBuilds[] = {{"--generic", GenericInstallerId}, {"--nt-x86", NtX86InstallerId}, {"--nt-x64", NtX64InstallerId}};
  for (const auto& build : kBuilds) {
    AddFlagOption(options, build.option, [request, line, build]() {
      request->id = build.id;
      if (++line->ids == 1) line->idoption = build.option;
      return std::string();
    });
  }
  AddValueOption(options, "--threads", [request, line](const std::string& value) {
    char* end = nullptr;
    errno = 0;
    unsigned long count = value.empty() || value[0] < '0' || value[0] > '9' ? 0 : strtoul(value.c_str(), &end, 10);
    if (errno != 0 || end == nullptr || *end != '\0' || count > 16384)
      return "bad thread count '" + value + "', expected 0 (one per core) to 16384";
    request->threads = static_cast<uint32_t>(count);
    ++line->threads;
    return std::string();
  });
  // --data, --data NAME (NAME after FILE) and --data=NAME.
  options->app
      .add_option("--data",
                  [request, line](const CLI::results_t& values) {
                    ++line->datas;
                    std::string value = values.empty() ? "" : values.back();
                    if (value != "true" && !value.empty()) {
                      request->name = value;
                      request->hasname = true;
                    }
                    return true;
                  })
      ->expected(0)
      ->trigger_on_parse();
}

// The checks of the data archive's form. "" or the usage error.
std::string DataFault(const CommandOptions& options, const ExtractLine& line, ExtractRequest* request) {
  if (!options.unknown.empty()) return "option " + options.unknown[0] + " does not go with --data";
  if (line.ids != 0) return "option " + line.idoption + " does not go with --data";
  if (line.outputs > 1) return "more than one output given";
  // NAME, when given, follows FILE.
  std::vector<std::string> operands = options.operands;
  if (operands.size() == 2 && !request->hasname) {
    request->name = operands[1];
    request->hasname = true;
    operands.pop_back();
  }
  if (operands.size() > 1) return "one FILE only (give it before --data NAME)";
  if (operands.empty()) return "no FILE given";
  request->path = operands[0];
  if (line.outputs == 0) return request->hasname ? "no output file; give -o OUT" : "no output directory; give -o DIR";
  return "";
}

// The checks of an entry's form. "" or the usage error.
std::string EntryFault(const CommandOptions& options, const ExtractLine& line, ExtractRequest* request) {
  if (!options.unknown.empty()) return "unknown option " + options.unknown[0];
  if (line.outputs > 1) return "more than one output file given";
  std::string fault = OneFileFault(options.operands);
  if (!fault.empty()) return fault;
  request->path = options.operands[0];
  if (line.ids != 1) return "give exactly one of --id, --generic, --nt-x86, --nt-x64";
  if (line.threads != 0) return "option --threads goes with --data only";
  if (line.outputs == 0) return "no output file; give -o OUT";
  return "";
}

}  // namespace

int ParseExtract(int argc, char** argv, ExtractRequest* request) {
  CommandOptions options;
  ExtractLine line;
  BeginCommandOptions(&options, "extract", true);
  DeclareExtractOptions(&options, request, &line);
  ParseCommandOptions(&options, argc, argv);
  if (options.help) {
    fputs(kExtractHelp, stdout);
    return PXQ_EXIT_OK;
  }
  if (!options.fault.empty()) return UsageError("extract", options.fault);
  request->data = line.datas > 0;
  std::string fault = request->data ? DataFault(options, line, request) : EntryFault(options, line, request);
  if (!fault.empty()) return UsageError("extract", fault);
  return -1;
}
