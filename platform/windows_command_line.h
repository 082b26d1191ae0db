// Windows command lines on the host: writing an argument list as one command
// line, and reading one back into arguments by the rules that
// CommandLineToArgvW and the Microsoft C runtime apply.
//
// Reading rules. The program name (the first argument) is read by the simple
// rule Windows uses for it, since it is a file name and cannot hold a quote:
// if the line starts with a double quote, the name is everything up to the
// next double quote (or the end); otherwise everything up to the first space
// or tab. Backslashes are literal in the name. A quoted name ends at its
// closing quote even when no space follows it.
//
// Every later argument: spaces and tabs separate arguments outside quotes; a
// double quote toggles quoting; n backslashes followed by a double quote give
// n/2 backslashes, and the quote is literal when n is odd and toggles quoting
// when n is even; backslashes not followed by a quote are literal. Inside a
// quoted run, two double quotes in a row ("") give one literal quote and the
// run goes on, as the C runtime has done since 2008 (CommandLineToArgvW and
// older runtimes end the run there instead). The writer below never produces
// "" inside a quoted run, so both readings agree on everything it writes.
#pragma once

#include <string>
#include <vector>

// `argument` as it must stand on a command line to be read back unchanged:
// as it is when it is non-empty and holds no space, tab or double quote;
// otherwise in double quotes, with each quote escaped by a backslash and the
// backslashes in front of a quote (or of the closing quote) doubled.
std::string QuoteWindowsArgument(const std::string& argument);

// The program name as it must stand first on a command line: in double quotes
// when it is empty, holds a space or tab, or starts with a double quote;
// else as it is. A name that needs the quotes and holds a double quote cannot
// be written (Windows file names never hold one); it is quoted all the same
// and reads back cut at that quote.
std::string QuoteWindowsProgramName(const std::string& program);

// Whether QuoteWindowsProgramName writes `program` so that it reads back unchanged.
bool IsWritableProgramName(const std::string& program);

// The program name and the arguments, each quoted as needed, separated by
// single spaces.
std::string BuildWindowsCommandLine(const std::string& program, const std::vector<std::string>& arguments);

// The arguments of `line`, the program name first. An empty line gives an
// empty list; a line that holds only a program name gives one element.
std::vector<std::string> SplitWindowsCommandLine(const std::string& line);
