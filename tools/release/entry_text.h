// The texts of a package's entries as list, extract and the archive check
// show them: ids, attributes, times and the builds a stamp announces.
#pragma once

#include <stdint.h>

#include <string>

// An id in hexadecimal with "0x" or in decimal, anywhere in 64 bits.
bool ParseEntryId(const char* text, uint64_t* id);
// The well-known name of an installer build's id, or "".
const char* EntryIdName(uint64_t id);
// "0xFFFFFFFFFFFF0008".
std::string EntryIdText(uint64_t id);
// "READONLY|ARCHIVE (0x21)".
std::string AttributeText(uint32_t attributes);
// "2024-05-01 12:00:00.0000000 UTC".
std::string FileTimeText(uint64_t filetime);
// "generic, nt-x86" for the builds that PlatformFlags announces, or "none".
std::string PlatformFlagsText(uint32_t flags);
