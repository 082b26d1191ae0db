// `pxq list --json`: the same report as list's text, as one JSON object
// written as the walk goes (entries are never all held), each value
// serialized by nlohmann-json. The schema is in the README.
#pragma once

#include <stdint.h>

#include <string>

#include "package/records.h"
#include "tools/release/archive_check.h"
#include "tools/release/release_facts.h"

struct ListJson {
  bool entriesopen = false;  // "entries": [ has been written
  uint64_t entries = 0;
};

// {"file", "stamp", "release" — the parts known before the archive is read.
void JsonListBegin(ListJson* json, const std::string& path, const LoaderStamp& stamp, const ReleaseFacts& release);
// The whole object for a file whose stamp (`stamp` null) or release facts
// could not be read: what is known, nulls, and the fault.
void JsonListFault(const std::string& path, const LoaderStamp* stamp, const std::string& fault);
// "archive" (null when it could not be opened) and the start of "entries".
void JsonListArchive(ListJson* json, const ArchiveCheck& check);
void JsonListEntry(ListJson* json, uint64_t number, const EntryHeader& entry);
// The end of "entries" and "stream" (null unless the walk reached the end
// marker). The data archive's member follows (ListDataArchive), then
// JsonListEnd.
void JsonListStream(ListJson* json, const ArchiveCheck& check, const LoaderStamp& stamp);
// "fault" (null when sound) and "sound", then the closing brace.
void JsonListEnd(const std::string& fault);
