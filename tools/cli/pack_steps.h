// The steps of `pxq pack` after its command line is read: the output and
// the stub checked, the stub's resources applied, the entries and the data
// archive's items collected (everything checked before the output is
// begun), then the loader file written. Each step returns -1 to go on,
// else the exit code after naming the fault.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "package/data_archive.h"
#include "tools/cli/pack_request.h"
#include "tools/writer/writer.h"

struct PackPlan {
  std::string stubpath;
  std::vector<uint8_t> stub;  // with the resources asked for
  std::vector<PackageEntry> entries;
  std::vector<DataArchiveItem> dataitems;
  uint64_t inputbytes = 0;  // the entries' and the data items' bytes, for the progress
  uint64_t databytes = 0;
  std::vector<std::string> warnings;  // said once the file is written
  std::string note;
};

struct PackWritten {
  uint64_t bytes = 0;
  uint64_t dataoffset = 0;  // where the data archive begins, if any
  uint32_t dictionary = 0;
};

// OUT as a name to write, the stub (given or found), and no input that is OUT.
int CheckPackOutput(const PackRequest& request, PackPlan* plan);
// The stub read, checked and given its resources.
int PrepareStub(PackRequest* request, PackPlan* plan);
// The entries and the data archive's items, with their times and
// attributes; the builds' machines checked.
int CollectPackInputs(const PackRequest& request, PackPlan* plan);
// The loader file written to OUT (or standard output), whole or not at all.
int WritePack(PackRequest* request, const PackPlan& plan, PackWritten* written);
