// The version resource (VS_VERSIONINFO) that pack writes into the stub: the
// fixed file information, one string table "000004b0" (language 0x0000,
// code page 0x04B0, as the loader's reading of "Arguments" expects it) and
// the translation table naming it.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <utility>
#include <vector>

// The room of the "Arguments" value: 64 UTF-16 units and a terminator, kept
// whatever the text, as the stub has it.
#define ARGUMENTS_UNITS 64u

struct VersionInfo {
  // VS_FIXEDFILEINFO from dwFileVersionMS on: file version (2 words), product
  // version (2), flags mask, flags, OS, type, subtype, date (2).
  uint32_t fixed[11] = {0, 0, 0, 0, 0x3F, 0, 0x4, 0x1, 0, 0, 0};
  // The string table in order (UTF-8 key, UTF-8 value); "Arguments" first.
  std::vector<std::pair<std::string, std::string>> strings;
};

// Reads the fixed information and the string table "000004b0" of a
// version block (any other tables are not read). False when it is not one.
// One pass over the table's children, each at least 8 bytes long: time is
// linear in the block, and the strings (UTF-8, at most 3 bytes per 2-byte
// unit) with their records take under 10 times its size.
bool ReadVersionInfo(const uint8_t* block, size_t size, VersionInfo* info);
// A string's value, or "" when the table has none; *found tells which.
std::string VersionString(const VersionInfo& info, const std::string& key, bool* found = nullptr);
void SetVersionString(VersionInfo* info, const std::string& key, const std::string& value);

// The "LoaderPath" value: how the loader hands the installer its own path,
// as the last argument (also when the value is absent) or in the variable
// PXQ_LOADER_PATH. The loader takes "environment" in any letter case and
// anything else as "last".
enum LoaderPathChoice { LoaderPathChoiceLast, LoaderPathChoiceEnvironment, LoaderPathChoiceUnknown };
// "last" or "environment" exactly, as pack takes them; else Unknown.
LoaderPathChoice ParseLoaderPathChoice(const std::string& text);
// What the loader does with a stored value (never Unknown).
LoaderPathChoice LoaderPathTaken(const std::string& value);

// The "Errors" value: whether the loader shows a failure in a message box
// where someone can see it ("box", also when the value is absent) or never
// ("silent", the exit code alone reporting it). The loader takes "silent" in
// any letter case and anything else as "box".
enum ErrorsChoice { ErrorsChoiceBox, ErrorsChoiceSilent, ErrorsChoiceUnknown };
// "box" or "silent" exactly, as pack takes them; else Unknown.
ErrorsChoice ParseErrorsChoice(const std::string& text);
// What the loader does with a stored value (never Unknown).
ErrorsChoice ErrorsTaken(const std::string& value);

// Whether `key` is one of the loader's own values ("Arguments",
// "LoaderPath", "Errors"), which are settings, not text Explorer shows.
bool IsLoaderValue(const std::string& key);

// "1.2.3.4" (one to four numbers 0 to 65535, anything after them ignored:
// "2.0-beta" is 2.0.0.0) into the two words of VS_FIXEDFILEINFO.
bool ParseVersionNumbers(const std::string& text, uint32_t* ms, uint32_t* ls);
std::string VersionNumbersText(uint32_t ms, uint32_t ls);

// Lays out the block. "" or why not (a value too long: "Arguments" beyond
// 64 UTF-16 units, any block beyond 65,535 bytes, text that is not UTF-8).
// Keys are text like the values. Time and memory are linear in the text.
std::string BuildVersionInfo(const VersionInfo& info, std::vector<uint8_t>* block);
