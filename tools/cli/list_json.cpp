#include "tools/cli/list_json.h"

#include <stdio.h>

#include <nlohmann/json.hpp>

#include "tools/cli/pxq_cli.h"
#include "tools/release/tag_text.h"
#include "tools/release/version_info.h"

using nlohmann::json;

namespace {

// Text that is not UTF-8 (a file name is any bytes) is written with U+FFFD
// in place of the bad bytes, not refused.
std::string Dump(const json& value) { return value.dump(-1, ' ', false, json::error_handler_t::replace); }

// One member of the object being written: "," before all but the first.
void Member(const char* key, const json& value, bool first = false) {
  std::string text = (first ? "" : ",") + Dump(json(key)) + ":" + Dump(value);
  fputs(text.c_str(), stdout);
}

json Builds(uint32_t flags) {
  json builds = json::array();
  if (flags & PLATFORM_FLAG_GENERIC) builds.push_back("generic");
  if (flags & PLATFORM_FLAG_NT_X86) builds.push_back("nt-x86");
  if (flags & PLATFORM_FLAG_NT_X64) builds.push_back("nt-x64");
  return builds;
}

json AttributeNames(uint32_t attributes) {
  static const struct {
    uint32_t bit;
    const char* name;
  } kNames[] = {{0x1, "READONLY"}, {0x2, "HIDDEN"},  {0x4, "SYSTEM"},   {0x10, "DIRECTORY"},
                {0x20, "ARCHIVE"}, {0x40, "DEVICE"}, {0x80, "NORMAL"},  {0x100, "TEMPORARY"}};
  json names = json::array();
  for (const auto& name : kNames) {
    if (attributes & name.bit) names.push_back(name.name);
  }
  return names;
}

json Release(const ReleaseFacts& facts) {
  const StubFacts& stub = facts.stub;
  json out;
  json jstub;
  jstub["kind"] = !stub.pefault.empty() ? "not-pe" : stub.pxqstub ? "pxq" : "foreign";
  jstub["version"] = facts.stubversion.empty() ? json(nullptr) : json(facts.stubversion);
  if (stub.hasversion) {
    bool found = false;
    std::string arguments = VersionString(stub.version, "Arguments", &found);
    jstub["arguments"] = found ? json(arguments) : json(nullptr);
    std::string loaderpath = VersionString(stub.version, "LoaderPath", &found);
    jstub["loaderpath"] = found ? loaderpath : "last";
    std::string errors = VersionString(stub.version, "Errors", &found);
    jstub["errors"] = found ? errors : "box";
    jstub["fileversion"] = VersionNumbersText(stub.version.fixed[0], stub.version.fixed[1]);
    jstub["productversion"] = VersionNumbersText(stub.version.fixed[2], stub.version.fixed[3]);
    json strings = json::object();
    for (const auto& entry : stub.version.strings) {
      if (!IsLoaderValue(entry.first) && entry.first != PXQ_LOADER_VERSION_KEY)
        strings[entry.first] = entry.second;
    }
    jstub["strings"] = strings;
  } else {
    jstub["arguments"] = nullptr;
    jstub["loaderpath"] = "last";
    jstub["errors"] = "box";
    jstub["fileversion"] = nullptr;
    jstub["productversion"] = nullptr;
    jstub["strings"] = json::object();
  }
  jstub["executionlevel"] = stub.hasmanifest ? json(stub.manifestlevel) : json(nullptr);
  jstub["icons"] = stub.icons;
  out["stub"] = jstub;
  if (facts.hassignature) {
    json signature;
    static const char* const kStates[] = {"absent", "parsed", "not-at-end", "unreadable"};
    signature["state"] = kStates[facts.signaturestate];
    signature["trailingbytes"] = facts.trailingbytes;
    signature["tableoffset"] = facts.tableoffset;
    signature["tablesize"] = facts.tablesize;
    signature["signer"] = facts.signer.empty() ? json(nullptr) : json(facts.signer);
    signature["digest"] = facts.digest.empty() ? json(nullptr) : json(facts.digest);
    signature["nested"] = facts.nested;
    signature["fault"] = facts.signaturefault.empty() ? json(nullptr) : json(facts.signaturefault);
    signature["tagged"] = facts.signaturetagged;
    out["signature"] = signature;
  } else {
    out["signature"] = nullptr;
  }
  if (facts.tagform != TagAbsent) {
    json tag;
    tag["form"] = TagFormName(facts.tagform);
    tag["text"] = facts.tagtext;
    tag["insignature"] = facts.taginsignature;
    tag["aftersignature"] = facts.tagaftersignature;
    tag["readbyloader"] = !facts.tagunread;
    out["tag"] = tag;
  } else {
    out["tag"] = nullptr;
  }
  if (facts.strandedplace != StrandedNone) {
    json stranded;
    stranded["form"] = TagFormName(facts.strandedform);
    stranded["text"] = facts.strandedtext;
    stranded["place"] = facts.strandedplace == StrandedBeforeSignature ? "before-signature" : "bytes-follow";
    stranded["followingbytes"] = facts.strandedfollowingbytes;
    out["strandedtag"] = stranded;
  } else {
    out["strandedtag"] = nullptr;
  }
  return out;
}

}  // namespace

void JsonListBegin(ListJson* json, const std::string& path, const LoaderStamp& stamp, const ReleaseFacts& release) {
  *json = ListJson();
  fputs("{", stdout);
  Member("file", path, true);
  Member("stamp", {{"builds", Builds(stamp.platformflags)},
                   {"platformflags", stamp.platformflags},
                   {"archiveoffset", stamp.archiveoffset}});
  Member("release", Release(release));
}

void JsonListFault(const std::string& path, const LoaderStamp* stamp, const std::string& fault) {
  fputs("{", stdout);
  Member("file", path, true);
  if (stamp != nullptr) {
    Member("stamp", {{"builds", Builds(stamp->platformflags)},
                     {"platformflags", stamp->platformflags},
                     {"archiveoffset", stamp->archiveoffset}});
  } else {
    Member("stamp", nullptr);
  }
  Member("release", nullptr);
  Member("archive", nullptr);
  Member("entries", json::array());
  Member("stream", nullptr);
  Member("fault", fault);
  Member("sound", false);
  fputs("}\n", stdout);
}

void JsonListArchive(ListJson* json, const ArchiveCheck& check) {
  if (json->entriesopen) return;
  if (check.opened) {
    Member("archive", {{"formatversion", check.header.formatversion},
                       {"flags", check.header.archiveflags},
                       {"lzma",
                        {{"lc", check.properties.lc},
                         {"lp", check.properties.lp},
                         {"pb", check.properties.pb},
                         {"dictionarysize", check.properties.dictionarysize}}}});
  } else {
    Member("archive", nullptr);
  }
  fputs(",\"entries\":[", stdout);
  json->entriesopen = true;
}

void JsonListEntry(ListJson* json, uint64_t number, const EntryHeader& entry) {
  uint64_t id = (static_cast<uint64_t>(entry.idhigh) << 32) | entry.idlow;
  const char* name = EntryIdName(id);
  nlohmann::json item = {{"number", number},
                         {"id", EntryIdText(id)},
                         {"name", name[0] != '\0' ? nlohmann::json(name) : nlohmann::json(nullptr)},
                         {"size", entry.datasize},
                         {"lastwritetime", FileTimeText(entry.lastwritetime)},
                         {"filetime", entry.lastwritetime},
                         {"attributes", entry.attributes},
                         {"attributenames", AttributeNames(entry.attributes)}};
  std::string text = (json->entries == 0 ? "" : ",") + Dump(item);
  fputs(text.c_str(), stdout);
  ++json->entries;
}

void JsonListStream(ListJson* json, const ArchiveCheck& check, const LoaderStamp& stamp) {
  JsonListArchive(json, check);
  fputs("]", stdout);
  if (check.ended) {
    Member("stream", {{"compressedbytes", check.streamlength},
                      {"decodedbytes", check.decoded},
                      {"traileroffset", stamp.archiveoffset + STREAM_OFFSET + check.streamlength}});
  } else {
    Member("stream", nullptr);
  }
}

void JsonListEnd(const std::string& fault) {
  Member("fault", fault.empty() ? nlohmann::json(nullptr) : nlohmann::json(fault));
  Member("sound", fault.empty());
  fputs("}\n", stdout);
}
