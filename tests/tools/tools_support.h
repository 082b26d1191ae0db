// Helpers for the tests of the pxq tool: running the built binary and shell
// commands, and loader files built for the tests.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

struct CommandResult {
  int status = -1;  // exit code; 128 + N for a signal
  std::string out;
  std::string err;
};

// Runs a shell command line with its output captured.
CommandResult RunShell(const std::string& command);
// Runs the built pxq with `arguments` (each quoted for the shell).
CommandResult RunPxq(const std::vector<std::string>& arguments);
std::string PxqPath();
// Single-quotes `text` for the shell.
std::string ShellQuote(const std::string& text);

// A 128-byte stub: "MZ", e_lfanew 0x80 at 0x3C, its other bytes non-zero
// where the stamp goes, so that the test sees what the writer clears.
std::vector<uint8_t> TestStub();

// Names of the files in `directory` (not recursive), sorted.
std::vector<std::string> DirectoryNames(const std::string& directory);

// Sets a file's modification time (seconds and nanoseconds since 1970).
void SetModificationTime(const std::string& path, int64_t seconds, uint32_t nanoseconds);
