// What `pxq pack` is asked to do, read from its command line: the options
// declared with CLI11, each value checked as it comes, then the checks of
// the whole (an output, something to pack, no id twice, SOURCE_DATE_EPOCH).
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "tools/release/stub_resources.h"
#include "tools/writer/data_inputs.h"
#include "tools/writer/writer.h"

enum AttributeMode { AttributesFromFile, AttributesNormal, AttributesReadOnly };

struct PackInput {
  uint64_t id;
  std::string path;
  const char* option;  // "--generic", "--nt-x86", "--nt-x64" or "--entry"
  std::string given;   // the option's value as given, for messages
};

struct PackRequest {
  std::string output;
  std::string stub;                    // "" for the default stub
  std::vector<PackInput> inputs;       // in the order given
  std::vector<DataInput> datainputs;   // --data, in the order given
  std::vector<std::string> excludes;   // --exclude
  bool keeporder = false;
  bool machinecheck = true;
  PackageOptions options;
  uint32_t platformflags = 0;
  StubResourceOptions resources;
  std::string iconpath;  // "" without --icon
  bool hasfixedtime = false;  // --mtime
  int64_t fixedtime = 0;
  bool clamped = false;  // SOURCE_DATE_EPOCH
  int64_t clamp = 0;
  AttributeMode attributemode = AttributesFromFile;
};

// -1 to go on, else the exit code (help shown, or a usage error named).
int ParsePack(int argc, char** argv, PackRequest* request);
// The option that sets a version string ("--company" for "CompanyName"), or "".
const char* VersionStringOption(const std::string& key);
