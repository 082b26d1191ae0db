#include "tools/cli/tag_request.h"

#include <stdio.h>

#include "tools/cli/command_options.h"
#include "tools/cli/pxq_cli.h"
#include "tools/release/tag_text.h"

extern const char kTagHelp[];

namespace {

void DeclareTagOptions(CommandOptions* options, TagRequest* request, std::string* formname) {
  AddValueOption(options, "-o,--output", [request](const std::string& value) {
    if (!request->output.empty()) return std::string("more than one output file given");
    request->output = value;
    return std::string();
  });
  AddValueOption(options, "--form", [formname](const std::string& value) {
    *formname = value;
    return std::string();
  });
  AddFlagOption(options, "--pad", [request]() {
    request->pad = true;
    return std::string();
  });
  AddFlagOption(options, "--remove", [request]() {
    request->remove = true;
    return std::string();
  });
}

// The form's name as --form takes it. False when it names none.
bool TakeForm(const std::string& name, uint32_t* form) {
  static const struct {
    const char* name;
    uint32_t form;
  } kForms[] = {{"ansi", TagPlain}, {"utf8", TagUtf8}, {"utf16", TagUtf16}};
  for (const auto& known : kForms) {
    if (name == known.name) {
      *form = known.form;
      return true;
    }
  }
  return false;
}

}  // namespace

int ParseTag(int argc, char** argv, TagRequest* request) {
  CommandOptions options;
  std::string formname;  // "" without --form
  BeginCommandOptions(&options, "tag", true);
  DeclareTagOptions(&options, request, &formname);
  ParseCommandOptions(&options, argc, argv);
  if (options.help) {
    fputs(kTagHelp, stdout);
    return PXQ_EXIT_OK;
  }
  if (!options.fault.empty()) return UsageError("tag", options.fault);
  if (!options.unknown.empty()) return UsageError("tag", "unknown option " + options.unknown[0]);
  request->form = TagPlain;
  if (!formname.empty() && !TakeForm(formname, &request->form))
    return UsageError("tag", "unknown form '" + formname + "'; use ansi, utf8 or utf16");
  if (request->remove && (!formname.empty() || request->pad))
    return UsageError("tag", "--remove takes no --form or --pad");
  const std::vector<std::string>& operands = options.operands;
  size_t wanted = request->remove ? 1 : 2;
  if (operands.size() < wanted) return UsageError("tag", request->remove ? "no FILE given" : "give FILE and TEXT");
  if (operands.size() > wanted) return UsageError("tag", "unexpected argument '" + operands[wanted] + "'");
  if (operands[0].empty()) return UsageError("tag", "FILE is an empty name");
  request->path = operands[0];
  if (!request->remove) request->text = operands[1];
  return -1;
}
