// What `pxq tag` is asked to do, read from its command line: write or
// replace the trailing tag (FILE TEXT), or remove it (--remove FILE).
#pragma once

#include <stdint.h>

#include <string>

struct TagRequest {
  std::string path;
  std::string text;    // without --remove
  std::string output;  // "" to rewrite FILE in place
  uint32_t form = 0;   // a TagForm; TagPlain unless --form says otherwise
  bool pad = false;
  bool remove = false;
};

// -1 to go on, else the exit code (help shown, or a usage error named).
int ParseTag(int argc, char** argv, TagRequest* request);
