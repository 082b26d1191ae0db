// What `pxq extract` is asked to do, read from its command line: one entry
// of the loader's archive by its id, or the data archive (--data), all of
// it or one entry of it.
#pragma once

#include <stdint.h>

#include <string>

struct ExtractRequest {
  std::string path;
  std::string output;
  uint64_t id = 0;        // the entry, without --data
  bool data = false;      // --data
  bool hasname = false;   // --data NAME
  std::string name;
  uint32_t threads = 0;   // --data's decoding threads (--threads N); 0: one per core
};

// -1 to go on, else the exit code (help shown, or a usage error named).
int ParseExtract(int argc, char** argv, ExtractRequest* request);
