// The data archive in pxq list and pxq extract, read through the installer
// library itself (the code that installers run).
#pragma once

#include <stdint.h>

#include <string>

// pxq extract FILE --data [NAME] -o OUT: every entry into the directory
// OUT, or the entry NAME (null: none given) to the file OUT ('-': standard
// output), every entry with `threads` decoding threads (0: one per core).
// The exit code.
int ExtractData(const std::string& path, const std::string& output, const std::string* name, uint32_t threads = 0);

// The data archive's part of pxq list, printed as it is read: as text, or
// as the JSON member `,"data":...` (null for a file without a data
// archive). Returns the fault ("" when the data archive is sound or absent).
std::string ListDataArchive(const std::string& path, bool asjson);
