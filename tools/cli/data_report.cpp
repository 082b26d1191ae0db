#include "tools/cli/data_report.h"

#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "pxq/installer_data.h"
#include "tools/host/host_error.h"
#include "tools/host/output_file.h"
#include "tools/cli/printable.h"
#include "tools/cli/progress.h"
#include "tools/cli/pxq_cli.h"

namespace {

// Closes the archive however the command ends.
struct OpenData {
  PxqData* data = nullptr;
  ~OpenData() { PxqDataClose(data); }
};

int AdvanceBy(void* context, uint64_t done, uint64_t, const PxqDataEntry*) {
  Progress* progress = static_cast<Progress*>(context);
  if (done > progress->done) AdvanceProgress(progress, done - progress->done);
  return 0;
}

uint64_t TotalSize(const PxqData* data) {
  uint64_t total = 0;
  PxqDataEntry entry;
  for (uint32_t number = 1; PxqDataEntryAt(data, number, &entry) == 0; ++number) total += entry.size;
  return total;
}

std::string Hex32(uint32_t value) {
  char text[16];
  snprintf(text, sizeof text, "0x%08X", value);
  return text;
}

}  // namespace

int ExtractData(const std::string& file, const std::string& out, const std::string* entryname) {
  const char* path = file.c_str();
  const char* output = out.c_str();
  const char* name = entryname != nullptr ? entryname->c_str() : nullptr;
  OpenData open;
  uint32_t code = PxqDataOpen(path, &open.data);
  if (code != 0) return Failure(path, PxqDataMessage(open.data));

  if (name == nullptr) {
    if (IsStandardOutput(output)) return UsageError("extract", "--data without NAME extracts into a directory; give -o DIR");
    Progress progress;
    BeginProgress(&progress, "extract", TotalSize(open.data));
    code = PxqDataExtractAll(open.data, output, AdvanceBy, &progress);
    EndProgress(&progress);
    if (code != 0) return Failure(path, PxqDataMessage(open.data));
    if (Verbosity >= 0)
      printf("%s: %u data entries extracted\n", output, PxqDataCount(open.data));
    return PXQ_EXIT_OK;
  }

  PxqDataEntry entry;
  if (PxqDataFind(open.data, name, &entry) != 0) return Failure(path, PxqDataMessage(open.data));
  if (IsStandardOutput(output)) {
    if (isatty(STDOUT_FILENO)) return UsageError("extract", "standard output is a terminal; redirect it or give -o OUT");
    auto sink = [](void*, const void* bytes, size_t count) -> uint32_t {
      return WriteFully(STDOUT_FILENO, static_cast<const uint8_t*>(bytes), count) == 0 ? 0u : 29u;
    };
    code = PxqDataExtractStream(open.data, name, sink, nullptr);
    if (code != 0) return Failure(path, PxqDataMessage(open.data));
    return PXQ_EXIT_OK;
  }
  int error = entry.isdirectory ? 0 : CheckOutputName(output);
  if (error != 0) return HostFailure(OutputDisplayName(output), error);
  code = PxqDataExtractTo(open.data, name, output);
  if (code != 0) return Failure(path, PxqDataMessage(open.data));
  return PXQ_EXIT_OK;
}

std::string ListDataArchive(const std::string& path, bool asjson, std::string* json) {
  *json = "null";
  OpenData open;
  uint32_t code = PxqDataOpen(path.c_str(), &open.data);
  if (code == 2 && std::string(PxqDataMessage(open.data)).find("carries no data archive") != std::string::npos) {
    if (!asjson) printf("data         none\n");
    return "";
  }
  if (code != 0) {
    std::string fault = std::string("data archive: ") + PxqDataMessage(open.data);
    if (asjson) *json = nlohmann::json({{"offset", nullptr}, {"entries", nlohmann::json::array()}, {"fault", fault}}).dump();
    if (!asjson) printf("data         at offset %llu, cannot be read\n", static_cast<unsigned long long>(PxqDataOffset(open.data)));
    return fault;
  }
  // Every entry is checked: the numbers of those found whole and matching
  // their CRC32 before any fault.
  struct Checked {
    uint32_t complete = 0;
  } checked;
  auto track = [](void* context, uint64_t, uint64_t, const PxqDataEntry* entry) -> int {
    Checked* c = static_cast<Checked*>(context);
    if (entry->number > c->complete + 1) c->complete = entry->number - 1;
    return 0;
  };
  code = PxqDataVerify(open.data, track, &checked);
  uint32_t count = PxqDataCount(open.data);
  if (code == 0) checked.complete = count;
  std::string fault = code == 0 ? "" : std::string("data archive damaged: ") + PxqDataMessage(open.data);

  nlohmann::json entries = nlohmann::json::array();
  if (!asjson) {
    printf("data         archive at offset %llu (0x%llX), %u %s\n",
           static_cast<unsigned long long>(PxqDataOffset(open.data)),
           static_cast<unsigned long long>(PxqDataOffset(open.data)), count, count == 1 ? "entry" : "entries");
  }
  for (uint32_t number = 1; number <= count; ++number) {
    PxqDataEntry entry;
    PxqDataEntryAt(open.data, number, &entry);
    const char* check = number <= checked.complete ? "ok" : "unchecked";
    if (asjson) {
      nlohmann::json attributes = nlohmann::json::array();
      static const struct {
        uint32_t bit;
        const char* name;
      } kNames[] = {{0x1, "READONLY"}, {0x2, "HIDDEN"}, {0x4, "SYSTEM"}, {0x10, "DIRECTORY"}, {0x20, "ARCHIVE"},
                    {0x80, "NORMAL"}};
      for (const auto& bit : kNames) {
        if (entry.attributes & bit.bit) attributes.push_back(bit.name);
      }
      entries.push_back({{"number", number},
                         {"name", entry.name},
                         {"type", entry.isdirectory ? "directory" : "file"},
                         {"size", entry.size},
                         {"lastwritetime", FileTimeText(entry.lastwritetime)},
                         {"filetime", entry.lastwritetime},
                         {"attributes", entry.attributes},
                         {"attributenames", attributes},
                         {"crc32", Hex32(entry.crc)},
                         {"checked", number <= checked.complete},
                         {"safename", entry.nameissafe != 0}});
    } else {
      printf("  %3u  %-40s %12llu  %s  %-14s  CRC32 %s %s%s\n", number, Printable(entry.name).c_str(),
             static_cast<unsigned long long>(entry.size), FileTimeText(entry.lastwritetime).c_str(),
             AttributeText(entry.attributes).c_str(), Hex32(entry.crc).c_str(), check,
             entry.nameissafe ? "" : "  (UNSAFE NAME: installers refuse it)");
    }
  }
  std::string namefault;
  for (uint32_t number = 1; number <= count && namefault.empty(); ++number) {
    PxqDataEntry entry;
    PxqDataEntryAt(open.data, number, &entry);
    if (!entry.nameissafe)
      namefault = "data archive: entry " + std::to_string(number) + " has an unsafe name, which installers refuse";
  }
  if (fault.empty()) fault = namefault;
  if (asjson) {
    *json = nlohmann::json({{"offset", PxqDataOffset(open.data)},
                            {"entries", entries},
                            {"fault", fault.empty() ? nlohmann::json(nullptr) : nlohmann::json(fault)}})
                .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  } else if (fault.empty()) {
    printf("data check   every entry matches the index and its CRC32; the stream ends after the last entry and "
           "the trailer follows\n");
  }
  return fault;
}
