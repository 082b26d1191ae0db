// Reading the files pxq is given, on the host: whole, in pieces or at an
// offset, regular files only (see OpenInputFile); and the names pxq finds
// for itself (its own directory, the stub beside it).
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <functional>
#include <string>
#include <vector>

#include "package/records.h"

// Reads a regular file (see OpenInputFile) to its end in pieces of up to
// 64 KiB, handing each to `take`; stops at a failed read or at the first
// nonzero result of `take`. 0, the host error, or `take`'s result.
int ReadInputPieces(const std::string& path, const std::function<int(const uint8_t*, size_t)>& take);
// Reads a whole regular file (see OpenInputFile). 0 or a host error
// (HostErrorText tells it).
int ReadInputFile(const std::string& path, std::vector<uint8_t>* bytes);
// Reads `count` bytes at `offset` of a regular file; *got gets how many
// there were. 0 or a host error.
int ReadInputAt(const std::string& path, uint64_t offset, uint8_t* bytes, size_t count, size_t* got);
// Reads a whole file, as ReadInputFile, but with a Windows error (5 for a
// file that is not a regular file).
uint32_t ReadWholeFile(const std::string& path, std::vector<uint8_t>* bytes);

// Reads the stamp from a loader file's DOS header: "" when the stamp is
// valid, else the fault (unreadable, or no MZ/pxr5 stamp).
std::string LoaderStampFault(const char* path, LoaderStamp* stamp);
// True when both names exist and are the same file (links followed).
bool SameFile(const std::string& first, const std::string& second);
// The stub pack uses without --stub: pxq-loader.exe beside pxq, else
// ../share/pxq/pxq-loader.exe from pxq's directory (the installed layout);
// "" when neither exists.
std::string FindDefaultStub();
// The installer SDK (header, a static library per Windows architecture, a
// CMake package, pkg-config files, an example): installer-sdk beside pxq's
// directory (a build tree), else ../share/pxq/sdk from it (the installed
// layout), without the dots; "" when neither holds it.
std::string FindInstallerSdk();
// The directory that holds the running pxq binary, or "".
std::string OwnDirectory();
