// pxq's messages: failures, usage errors, and the words for result codes.
#include <stdio.h>

#include "tools/cli/pxq_cli.h"
#include "tools/host/host_error.h"
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

int ReadLoaderStamp(const char* path, LoaderStamp* stamp) {
  std::string fault = LoaderStampFault(path, stamp);
  return fault.empty() ? PXQ_EXIT_OK : Failure(path, fault);
}
