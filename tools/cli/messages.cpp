#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "package/records.h"
#include "platform/filetime.h"
#include "platform/posix.h"
#include "platform/types.h"
#include "tools/host/host_error.h"
#include "tools/cli/pxq_cli.h"
#include "tools/host/input_file.h"
#include "tools/release/file_access.h"

int Failure(const std::string& subject, const std::string& what) {
  fprintf(stderr, "pxq: %s: %s\n", subject.c_str(), what.c_str());
  return PXQ_EXIT_FAILURE;
}

int UsageError(const char* command, const std::string& what) {
  fprintf(stderr, "pxq %s: %s\nTry 'pxq %s --help'.\n", command, what.c_str(), command);
  return PXQ_EXIT_USAGE;
}

std::string ResultWords(uint32_t code) {
  std::string words = FileErrorWords(code);
  return !words.empty() ? words : ResultText(code);
}

int HostFailure(const std::string& subject, int error) { return Failure(subject, HostErrorText(error)); }

int OptionValue(int argc, char** argv, int* index, const char* name, const char** value) {
  const char* argument = argv[*index];
  size_t length = strlen(name);
  if (strncmp(argument, name, length) != 0) return 0;
  if (argument[length] == '=') {
    *value = argument + length + 1;
    // An empty value names no file and no number: it is as good as none.
    return **value != '\0' ? 1 : -1;
  }
  if (argument[length] != '\0') return 0;
  if (*index + 1 >= argc || argv[*index + 1][0] == '\0') return -1;
  *index += 1;
  *value = argv[*index];
  return 1;
}

std::string OptionName(const char* argument) {
  std::string name = argument;
  return name.substr(0, name.find('='));
}

bool IsHelp(const char* argument) { return strcmp(argument, "--help") == 0 || strcmp(argument, "-h") == 0; }

int ReadLoaderStamp(const char* path, LoaderStamp* stamp) {
  std::string fault = LoaderStampFault(path, stamp);
  return fault.empty() ? PXQ_EXIT_OK : Failure(path, fault);
}
