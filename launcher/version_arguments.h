// The loader's values in a file's version resource: "Arguments";
// "LoaderPath", which says how the installer learns the loader's path; and
// "Errors", which may turn the loader's message box off.
#pragma once

#include <stdint.h>

#include "platform/types.h"

// How the loader hands the installer its own path.
enum LoaderPathMode : uint32_t {
  LoaderPathLast,         // quoted, as the command line's last argument (the default)
  LoaderPathEnvironment,  // in the variable PXQ_LOADER_PATH, and not on the command line
};

// The value under \StringFileInfo\<first translation>\Arguments as a new
// GlobalAlloc string (GMEM_FIXED) that the caller releases with GlobalFree;
// null when the file has no version block, the block cannot be read, the
// translation table is missing or short, the value is missing or empty of
// even its terminator, or memory runs out.
//
// With `mode` given, the same block's "LoaderPath" value sets it as well:
// LoaderPathEnvironment for "environment" (letter case aside), else (any
// other text, no value, no block) LoaderPathLast. With `silent` given, it
// is set when the block's "Errors" value is "silent" (letter case aside):
// the loader then reports its failures through its exit code alone.
//
// With `widepath` given, the file is named by it (through the wide calls)
// and `path` is not used.
char* ReadVersionArguments(const char* path, LoaderPathMode* mode = 0, bool* silent = 0, const WCHAR* widepath = 0);
