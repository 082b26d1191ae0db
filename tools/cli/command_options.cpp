#include "tools/cli/command_options.h"

#include <algorithm>

#include "tools/cli/progress.h"

namespace {

// The option's name in an argument: "--name" of "--name=VALUE".
std::string OptionName(const std::string& argument) { return argument.substr(0, argument.find('=')); }

bool IsValueName(const CommandOptions& options, const std::string& name) {
  return std::find(options.valuenames.begin(), options.valuenames.end(), name) != options.valuenames.end();
}

// True when an undeclared argument came before the option met now: it is
// the usage error then.
bool AfterUnknown(const CommandOptions& options) { return options.events > options.unknownafter; }

// Records a fault unless help, an earlier fault or an undeclared argument
// came first.
void Refuse(CommandOptions* options, const std::string& fault) {
  if (!options->help && options->fault.empty() && !fault.empty() && !AfterUnknown(*options)) options->fault = fault;
}

}  // namespace

void BeginCommandOptions(CommandOptions* options, const char* command, bool operands, bool prefix) {
  options->command = command;
  options->prefix = prefix;
  CLI::App& app = options->app;
  app.name(std::string("pxq ") + command);
  app.set_help_flag();  // pxq's own help text, and its own place in the order
  app.allow_extras();   // undeclared options are named in pxq's words
  AddFlagOption(options, "-h,--help", [options]() {
    if (options->fault.empty() && !AfterUnknown(*options)) options->help = true;
    return std::string();
  });
  AddFlagOption(options, "-q,--quiet", []() {
    Verbosity = -1;
    return std::string();
  });
  AddFlagOption(options, "-v,--verbose", []() {
    Verbosity = 1;
    return std::string();
  });
  if (operands && !prefix) app.add_option("OPERANDS", options->operands)->expected(0, -1);
}

void AddValueOption(CommandOptions* options, const std::string& names, const OptionCheck& check) {
  for (std::string name : CLI::detail::split_names(names)) {
    while (!name.empty() && name[0] == '-') name.erase(0, 1);
    options->valuenames.push_back((name.size() == 1 ? "-" : "--") + name);
  }
  CLI::Option* option = options->app.add_option(names, [options, check](const CLI::results_t& values) {
    // Named as given: "option -o needs a value", not "--output".
    std::string name = options->taken < options->given.size() ? options->given[options->taken] : "";
    ++options->taken;
    ++options->events;
    std::string value = values.empty() ? "" : values.back();
    Refuse(options, value.empty() ? "option " + name + " needs a value" : check(value));
    return true;
  });
  option->type_size(1)->expected(1)->trigger_on_parse();
}

void AddFlagOption(CommandOptions* options, const std::string& names, const FlagTake& take) {
  options->app.add_flag_callback(names, [options, take]() {
    ++options->events;
    Refuse(options, take());
  })->trigger_on_parse();
}

std::string OneFileFault(const std::vector<std::string>& operands) {
  if (operands.empty()) return "no FILE given";
  if (operands[0].empty()) return "FILE is an empty name";
  if (operands.size() > 1) return "one FILE only";
  return "";
}

void ParseCommandOptions(CommandOptions* options, int argc, char** argv) {
  // CLI11 reads "-o=OUT" as the value "=OUT", and takes the next argument
  // for "--name=" (an empty value): such arguments are split here into the
  // name and the value as given, "" included, and each value option's name
  // is noted as given for its message. The argument after a value option
  // is its value, whatever it looks like (CLI11 takes it so too).
  // "--" ends the options of a command that takes operands. The first
  // argument that CLI11 will not take as an option or operand is
  // placed among the options met, so that a fault after it gives way to it.
  std::vector<std::string> arguments;
  bool operands = options->app.get_option_no_throw("OPERANDS") != nullptr;
  size_t met = 0;
  std::vector<std::string> tail;        // the operands after "--"
  std::vector<std::string> flagvalues;  // flags given a value
  for (int i = 1; i < argc; ++i) {
    std::string argument = argv[i];
    if (argument == "--" && operands) {
      tail.assign(argv + i + 1, argv + argc);
      break;
    }
    std::string name = OptionName(argument);
    std::string shortname = argument.size() > 2 && argument[1] != '-' ? argument.substr(0, 2) : "";
    bool dashed = argument.size() > 1 && argument[0] == '-';
    // A flag takes no value: "--json=1" is no option of pxq's (CLI11 would
    // take it as the flag).
    if (dashed && name.size() < argument.size() && !IsValueName(*options, name) &&
        options->app.get_option_no_throw(name) != nullptr) {
      if (options->prefix) {
        options->operands.assign(argv + i, argv + argc);
        break;
      }
      if (options->unknownafter == SIZE_MAX) options->unknownafter = met;
      flagvalues.push_back(argument);
      continue;
    }
    if (IsValueName(*options, argument) || (name.size() < argument.size() && IsValueName(*options, name)) ||
        (!shortname.empty() && dashed && IsValueName(*options, shortname)) ||
        (dashed && options->app.get_option_no_throw(name) != nullptr)) {
      ++met;
    } else if (options->prefix) {
      // Everything from the first operand on is the command's, unread.
      options->operands.assign(argv + i, argv + argc);
      break;
    } else if ((dashed || !operands) && options->unknownafter == SIZE_MAX) {
      options->unknownafter = met;
    }
    if (IsValueName(*options, argument)) {
      options->given.push_back(argument);
      arguments.push_back(argument);
      if (i + 1 < argc) arguments.push_back(argv[++i]);
    } else if (name.size() < argument.size() && IsValueName(*options, name)) {
      options->given.push_back(name);
      arguments.push_back(name);
      arguments.push_back(argument.substr(name.size() + 1));
    } else if (!shortname.empty() && argument[0] == '-' && IsValueName(*options, shortname)) {
      options->given.push_back(shortname);  // "-oOUT"
      arguments.push_back(shortname);
      arguments.push_back(argument.substr(2));
    } else {
      arguments.push_back(argument);
    }
  }
  std::reverse(arguments.begin(), arguments.end());  // CLI11 takes them from the back
  // CLI11 reports its refusals as exceptions; they end here.
  try {
    options->app.parse(arguments);
  } catch (const CLI::ArgumentMismatch&) {
    // A value option ends the line: the value is missing.
    Refuse(options, "option " + OptionName(argv[argc - 1]) + " needs a value");
  } catch (const CLI::ParseError& error) {
    Refuse(options, error.what());
  }
  options->unknown = flagvalues;
  for (const std::string& extra : options->app.remaining()) options->unknown.push_back(extra);
  options->operands.insert(options->operands.end(), tail.begin(), tail.end());
}
