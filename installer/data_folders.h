// The folders an extraction has made below its target, so that each is made
// once: an entry's parents are looked up component by component (a hash of
// the parent folder and the component's bytes), and only a folder not met
// before is created. The work per entry is linear in its name's length
// whatever the order or depth of the names.
#pragma once

#include <stdint.h>

#include "installer/file_layer.h"
#include "installer/journal.h"

struct DataFolders;

// Room for `capacity` folders: at most one per '/' of the names, and one
// per directory entry. Null when memory runs out.
DataFolders* CreateDataFolders(uint32_t capacity);
void DestroyDataFolders(DataFolders* folders);

// Makes every folder on the way to the UTF-8 `name` below `target` (with
// `whole`, the last component too: a directory entry) that these folders
// do not hold yet; each one this call makes is noted in `journal` unless it
// is null. 0, or the layer's result with `*failed` (a heap block) naming
// the folder that could not be made. `name` must outlive `folders`.
uint32_t MakeDataFolders(DataFolders* folders, Journal* journal, const PxqPathChar* target, const char* name,
                         uint32_t length, bool whole, PxqPathChar** failed);
