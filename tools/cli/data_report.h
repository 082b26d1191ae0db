// The data archive in pxq list and pxq extract, read through the installer
// library itself (the code that installers run).
#pragma once

#include <string>

// Whether the command line of extract asks for the data archive (--data).
bool WantsDataArchive(int argc, char** argv);

// pxq extract FILE --data [NAME] -o OUT: every entry into the directory
// OUT, or the entry NAME to the file OUT ('-': standard output).
int CommandExtractData(int argc, char** argv);

// The data archive's part of pxq list: printed as text, or as the value of
// the JSON member "data" (null for a file without a data archive) in
// `*json`. Returns the fault ("" when the data archive is sound or absent).
std::string ListDataArchive(const std::string& path, bool asjson, std::string* json);
