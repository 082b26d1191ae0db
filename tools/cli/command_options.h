// A command's options, declared with CLI11. CLI11 matches the names and
// takes the values ("--name VALUE", "--name=VALUE", "-o VALUE"); each value
// goes, in command-line order, to the command's own check of it, and the
// first fault is the usage error. pxq prints its own help and usage texts,
// not CLI11's.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <functional>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

// The check of an option's value: "" or the usage error (without "pxq
// COMMAND: "). An empty value never reaches it: that is "option NAME needs
// a value".
using OptionCheck = std::function<std::string(const std::string& value)>;
// The take of a flag: "" or the usage error.
using FlagTake = std::function<std::string()>;

struct CommandOptions {
  const char* command = "";
  bool prefix = false;  // everything from the first operand on is an operand
  CLI::App app;
  std::vector<std::string> valuenames;  // "-o", "--output", ... for "-o=OUT"
  std::vector<std::string> given;       // each value option's name as given, in order
  size_t taken = 0;                     // of them, how many reached their check
  size_t events = 0;                    // options met so far, in order
  size_t unknownafter = SIZE_MAX;       // options before the first undeclared argument
  std::string fault;                    // the first usage error, "" while none
  bool help = false;                    // -h/--help came before any fault
  std::vector<std::string> operands;    // the arguments that are no option, in order
  std::vector<std::string> unknown;     // options not declared (and, without operands, strays)
};

// Declares -h/--help, -q/--quiet and -v/--verbose (which set Verbosity).
// `operands`: whether the command takes arguments that are no option;
// `prefix`: everything from the first operand on is an operand (pxq run).
void BeginCommandOptions(CommandOptions* options, const char* command, bool operands, bool prefix = false);
// "NAMES" as CLI11 takes them: "-o,--output".
void AddValueOption(CommandOptions* options, const std::string& names, const OptionCheck& check);
void AddFlagOption(CommandOptions* options, const std::string& names, const FlagTake& take);
// The fault of a command's one FILE: "" when there is one, with a name.
std::string OneFileFault(const std::vector<std::string>& operands);
// Parses argv (argv[0] is the command's name); options->fault tells the
// first usage error, options->help a call for help before it.
void ParseCommandOptions(CommandOptions* options, int argc, char** argv);
