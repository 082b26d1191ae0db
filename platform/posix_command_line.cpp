// The emulated process's command line, and the Windows rules for writing and
// reading command lines.
#include <limits.h>

#include <mutex>
#include <string>
#include <vector>

#include "platform/posix_internal.h"
#include "platform/windows_command_line.h"

static bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string QuoteWindowsArgument(const std::string& argument) {
  if (!argument.empty() && argument.find_first_of(" \t\"") == std::string::npos) return argument;
  std::string quoted = "\"";
  size_t backslashes = 0;
  for (char c : argument) {
    if (c == '\\') {
      backslashes++;
      continue;
    }
    // Backslashes count only in front of a quote: there each one is doubled,
    // and one more escapes the quote itself.
    if (c == '"') backslashes = backslashes * 2 + 1;
    quoted.append(backslashes, '\\');
    quoted += c;
    backslashes = 0;
  }
  // The closing quote must not be escaped by trailing backslashes.
  quoted.append(backslashes * 2, '\\');
  quoted += '"';
  return quoted;
}

// Only a quote at its start, or a blank, makes the name need quotes: an
// unquoted name runs to the first blank whatever it holds.
static bool NeedsQuotes(const std::string& program) {
  return program.empty() || program[0] == '"' || program.find_first_of(" \t") != std::string::npos;
}

std::string QuoteWindowsProgramName(const std::string& program) {
  return NeedsQuotes(program) ? "\"" + program + "\"" : program;
}

bool IsWritableProgramName(const std::string& program) {
  return !NeedsQuotes(program) || program.find('"') == std::string::npos;
}

std::string BuildWindowsCommandLine(const std::string& program, const std::vector<std::string>& arguments) {
  std::string line = QuoteWindowsProgramName(program);
  for (const std::string& argument : arguments) {
    line += ' ';
    line += QuoteWindowsArgument(argument);
  }
  return line;
}

std::vector<std::string> SplitWindowsCommandLine(const std::string& line) {
  std::vector<std::string> arguments;
  if (line.empty()) return arguments;
  size_t position = 0;
  const size_t end = line.size();

  // The program name: no escapes, a quote only at its start.
  std::string program;
  if (line[0] == '"') {
    size_t close = line.find('"', 1);
    if (close == std::string::npos) close = end;
    program = line.substr(1, close - 1);
    position = close < end ? close + 1 : end;
  } else {
    while (position < end && !IsBlank(line[position])) position++;
    program = line.substr(0, position);
  }
  arguments.push_back(program);

  for (;;) {
    while (position < end && IsBlank(line[position])) position++;
    if (position == end) break;
    std::string argument;
    bool quoted = false;
    while (position < end) {
      char c = line[position];
      if (c == '\\') {
        size_t run = 0;
        while (position < end && line[position] == '\\') {
          run++;
          position++;
        }
        if (position < end && line[position] == '"') {
          argument.append(run / 2, '\\');
          if (run % 2 == 1) {
            argument += '"';
            position++;
          }
          // With an even run the quote is read below as a quote.
        } else {
          argument.append(run, '\\');
        }
        continue;
      }
      if (c == '"') {
        if (quoted && position + 1 < end && line[position + 1] == '"') {
          argument += '"';
          position += 2;
        } else {
          quoted = !quoted;
          position++;
        }
        continue;
      }
      if (!quoted && IsBlank(c)) break;
      argument += c;
      position++;
    }
    arguments.push_back(argument);
  }
  return arguments;
}

// The arguments that follow the module on the emulated command line, and the
// line handed out last (kept while it does not change, so that the pointer a
// caller holds stays valid).
static std::mutex commandLineLock;
static std::vector<std::string> moduleArguments;
static std::string commandLine;

void PosixSetArguments(int count, const char* const* arguments) {
  std::lock_guard<std::mutex> guard(commandLineLock);
  moduleArguments.clear();
  for (int i = 0; i < count; i++) moduleArguments.push_back(arguments[i] != NULL ? arguments[i] : "");
}

LPSTR PosixGetCommandLineA(void) {
  // The module's path as GetModuleFileNameA gives it; empty when no module
  // has been set. Windows keeps the last error across GetCommandLineA.
  DWORD savedError = PosixGetLastError();
  std::vector<char> path(PATH_MAX + 1, '\0');
  DWORD length = PosixGetModuleFileNameA(NULL, path.data(), static_cast<DWORD>(path.size()));
  if (length >= path.size()) length = 0;
  PosixSetLastError(savedError);

  std::lock_guard<std::mutex> guard(commandLineLock);
  std::string line = BuildWindowsCommandLine(std::string(path.data(), length), moduleArguments);
  if (line != commandLine) commandLine = line;
  return &commandLine[0];
}

// The same line in UTF-16, as the ANSI code page reads it: every byte of the
// host's arguments and paths has its own character there, so the line that
// CreateProcessW writes back in that code page holds the same bytes.
static std::vector<WCHAR> wideCommandLine;

LPWSTR PosixGetCommandLineW(void) {
  DWORD savedError = PosixGetLastError();
  std::string line = PosixGetCommandLineA();
  std::lock_guard<std::mutex> guard(commandLineLock);
  std::vector<WCHAR> wide(line.size() + 1, 0);
  if (!line.empty())
    PosixMultiByteToWideChar(CP_ACP, 0, line.data(), static_cast<int>(line.size()), wide.data(),
                             static_cast<int>(line.size()));
  PosixSetLastError(savedError);
  if (wide != wideCommandLine) wideCommandLine = wide;
  return wideCommandLine.data();
}
