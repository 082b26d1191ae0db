// Shared by the commands of the pxq tool: exit codes and messages. The
// texts of entries: tools/cli/entry_text.h; inputs: tools/host/input_file.h;
// outputs: tools/host/output_file.h; host error words: tools/host/host_error.h.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <functional>
#include <string>
#include <vector>

#include "package/records.h"
#include "tools/release/entry_text.h"
#include "tools/host/input_file.h"
#include "tools/release/result_text.h"

// Exit codes of pxq itself; `pxq run` exits with the loader's exit code.
#define PXQ_EXIT_OK 0
#define PXQ_EXIT_FAILURE 1
#define PXQ_EXIT_USAGE 2

// Each command gets its own arguments: argv[0] is the command's name.
int CommandPack(int argc, char** argv);
int CommandList(int argc, char** argv);
int CommandExtract(int argc, char** argv);
int CommandRun(int argc, char** argv);
int CommandTag(int argc, char** argv);

// Writes "pxq: SUBJECT: WHAT" to stderr; returns PXQ_EXIT_FAILURE.
int Failure(const std::string& subject, const std::string& what);
// Writes "pxq COMMAND: WHAT" and a hint at --help; returns PXQ_EXIT_USAGE.
int UsageError(const char* command, const std::string& what);

// Reads the stamp from a loader file's DOS header. PXQ_EXIT_OK, or the
// failure exit code after naming the fault (unreadable, or no MZ/pxr5 stamp).
int ReadLoaderStamp(const char* path, LoaderStamp* stamp);
// A Windows result code in the host's words where it has a host cause
// ("No such file or directory"), else ResultText(code).
std::string ResultWords(uint32_t code);
// "pxq: SUBJECT: HostErrorText(error)"; returns PXQ_EXIT_FAILURE.
int HostFailure(const std::string& subject, int error);
