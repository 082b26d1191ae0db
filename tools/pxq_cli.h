// Shared by the commands of the pxq tool: exit codes, messages, the texts for
// ids, times, attributes and result codes, and reading inputs. Outputs:
// tools/output_file.h; host error words: tools/host_error.h.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <functional>
#include <string>
#include <vector>

#include "package/records.h"

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

// "ERROR_READ_FAULT 30"; numbers without a known name as "error 1234".
std::string ResultText(uint32_t code);

// An id in hexadecimal with "0x" or in decimal, anywhere in 64 bits.
bool ParseEntryId(const char* text, uint64_t* id);
// The well-known name of an installer build's id, or "".
const char* EntryIdName(uint64_t id);
// "0xFFFFFFFFFFFF0008".
std::string EntryIdText(uint64_t id);
// "READONLY|ARCHIVE (0x21)".
std::string AttributeText(uint32_t attributes);
// "2024-05-01 12:00:00.0000000 UTC".
std::string FileTimeText(uint64_t filetime);
// "generic, nt-x86" for the builds that PlatformFlags announces, or "none".
std::string PlatformFlagsText(uint32_t flags);

// Reads a whole file / `count` bytes at `offset`, as the two below, but
// with a Windows error (5 for a file that is not a regular file).
uint32_t ReadWholeFile(const std::string& path, std::vector<uint8_t>* bytes);
uint32_t ReadFileAt(const std::string& path, uint64_t offset, uint8_t* bytes, size_t count, size_t* got);
// Reads a regular file (see OpenInputFile) to its end in pieces of up to
// 64 KiB, handing each to `take`; stops at a failed read or at the first
// nonzero result of `take`. 0, the host error, or `take`'s result.
int ReadInputPieces(const std::string& path, const std::function<int(const uint8_t*, size_t)>& take);
// Reads a whole regular file (see OpenInputFile). 0 or a host error
// (HostErrorText tells it).
int ReadInputFile(const std::string& path, std::vector<uint8_t>* bytes);
// Reads `count` bytes at `offset` of a regular file; *got gets how many
// there were. 0 or a host error.
int ReadInputAt(const std::string& path, uint64_t offset, uint8_t* bytes, size_t count, size_t* got);

// Reads the stamp from a loader file's DOS header. PXQ_EXIT_OK, or the
// failure exit code after naming the fault (unreadable, or no MZ/pxr5 stamp).
int ReadLoaderStamp(const char* path, LoaderStamp* stamp);
// The same, giving the fault's text ("" when the stamp is valid).
std::string LoaderStampFault(const char* path, LoaderStamp* stamp);
// True when both names exist and are the same file (links followed).
bool SameFile(const std::string& first, const std::string& second);
// The stub pack uses without --stub: pxq-loader.exe beside pxq, else
// ../share/pxq/pxq-loader.exe from pxq's directory (the installed layout);
// "" when neither exists.
std::string FindDefaultStub();
// The directory that holds the running pxq binary, or "".
std::string OwnDirectory();

// Matches argv[*index] against an option that takes a value, given as
// "--name VALUE" or "--name=VALUE". Returns 1 and sets *value (moving *index
// past a separate value) on a match, 0 when it is another argument, -1 when
// the value is missing or empty.
int OptionValue(int argc, char** argv, int* index, const char* name, const char** value);
// The option's name in an argument: "--name" of "--name=VALUE".
std::string OptionName(const char* argument);
// True for "--help" and "-h".
bool IsHelp(const char* argument);
