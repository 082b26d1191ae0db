// The "Arguments" string of a file's version resource.
#pragma once

// The value under \StringFileInfo\<first translation>\Arguments as a new
// GlobalAlloc string (GMEM_FIXED) that the caller releases with GlobalFree;
// null when the file has no version block, the block cannot be read, the
// translation table is missing or short, the value is missing or empty of
// even its terminator, or memory runs out.
char* ReadVersionArguments(const char* path);
