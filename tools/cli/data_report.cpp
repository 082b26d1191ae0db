#include "tools/cli/data_report.h"

#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <vector>

#include "installer/file_layer.h"
#include "package/data_archive.h"
#include "package/data_names.h"
#include "pxq/installer_data.h"
#include "tools/host/host_error.h"
#include "tools/host/input_file.h"
#include "tools/host/output_file.h"
#include "tools/host/signals.h"
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

// The library's temporary files join pxq's staged files: a signal or a
// console control event removes them as it removes the rest. Signals are
// held while one is being made, so that none is made unnoted.
#ifdef _WIN32
std::string HostPath(const PxqPathChar* path) { return Utf8FromWide(path); }
#else
std::string HostPath(const PxqPathChar* path) { return path; }
#endif

void WatchTemporary(const PxqPathChar* path, LayerTemporaryEvent event) {
  switch (event) {
    case LayerTemporaryMaking:
      HoldSignals();
      RemoveOnSignal(HostPath(path));
      break;
    case LayerTemporaryMade:
      ReleaseSignals();
      break;
    case LayerTemporaryNotMade:
      KeepOnSignal(HostPath(path));
      ReleaseSignals();
      break;
    case LayerTemporaryGone:
      KeepOnSignal(HostPath(path));
      break;
  }
}

struct WatchedTemporaries {
  WatchedTemporaries() { LayerWatchTemporaries(WatchTemporary); }
  ~WatchedTemporaries() { LayerWatchTemporaries(nullptr); }
};

// Standard output as the library's sink: the first write error is kept, to
// be reported as the system words it.
struct StandardOutputSink {
  int error = 0;
  static uint32_t Write(void* context, const void* bytes, size_t count) {
    StandardOutputSink* sink = static_cast<StandardOutputSink*>(context);
    sink->error = WriteFully(STDOUT_FILENO, static_cast<const uint8_t*>(bytes), count);
    return sink->error == 0 ? 0u : ERROR_WRITE_FAULT;
  }
};

nlohmann::json AttributeNames(uint32_t attributes) {
  static const struct {
    uint32_t bit;
    const char* name;
  } kNames[] = {{0x1, "READONLY"}, {0x2, "HIDDEN"}, {0x4, "SYSTEM"}, {0x10, "DIRECTORY"}, {0x20, "ARCHIVE"},
                {0x80, "NORMAL"}};
  nlohmann::json names = nlohmann::json::array();
  for (const auto& bit : kNames) {
    if (attributes & bit.bit) names.push_back(bit.name);
  }
  return names;
}

std::string Dump(const nlohmann::json& value) {
  return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

// Why entry `number`, whose name is unsafe, is refused: the name itself, or
// a clash with another entry's name (found again here: the library says
// only that the name is unsafe).
std::string UnsafeNameFault(const PxqData* data, uint32_t number) {
  PxqDataEntry entry;
  PxqDataEntryAt(data, number, &entry);
  std::string name = entry.name;
  DataNameFault fault = CheckDataName(name.data(), static_cast<uint32_t>(name.size()));
  std::string what = "data archive: entry " + std::to_string(number) + " (\"" + Printable(name) + "\") is refused: the name ";
  if (fault != DataNameSafe) return what + DataNameFaultText(fault);
  uint32_t count = PxqDataCount(data);
  std::vector<DataItem> items(count);
  std::vector<uint32_t> other(count);
  for (uint32_t i = 0; i < count; ++i) {
    PxqDataEntry each;
    PxqDataEntryAt(data, i + 1, &each);
    items[i] = {each.size, each.lastwritetime, each.attributes, each.crc,
                static_cast<uint32_t>(strlen(each.name)), each.name};
  }
  if (count == 0 || FindDataNameClashes(items.data(), count, other.data()) != 0 || other[number - 1] == 0)
    return what + "is unsafe, which installers refuse";
  uint32_t with = other[number - 1];
  return what + DataClashText(DataClashKind(&items[number - 1], &items[with - 1])) + " entry " + std::to_string(with) +
         " (\"" + Printable(items[with - 1].name) + "\"), which installers refuse";
}

// The installer library takes paths in the host's own form: UTF-16 on
// Windows (a long one under \\?\).
std::basic_string<PxqPathChar> LibraryPath(const std::string& path) {
#ifdef _WIN32
  return WidePath(path);
#else
  return path;
#endif
}

}  // namespace

int ExtractData(const std::string& file, const std::string& out, const std::string* entryname, uint32_t threads) {
  const char* path = file.c_str();
  const char* output = out.c_str();
  const char* name = entryname != nullptr ? entryname->c_str() : nullptr;
  OpenData open;
  uint32_t code = PxqDataOpen(LibraryPath(path).c_str(), &open.data);
  if (code != 0) return Failure(path, PxqDataMessage(open.data));
  PxqDataSetThreads(open.data, threads);
  WatchedTemporaries watched;

  if (name == nullptr) {
    if (IsStandardOutput(output)) return UsageError("extract", "--data without NAME extracts into a directory; give -o DIR");
    Progress progress;
    BeginProgress(&progress, "extract", TotalSize(open.data));
    code = PxqDataExtractAll(open.data, LibraryPath(output).c_str(), AdvanceBy, &progress);
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
    StandardOutputSink sink;
    code = PxqDataExtractStream(open.data, name, StandardOutputSink::Write, &sink);
    if (code != 0 && sink.error != 0) return HostFailure(OutputDisplayName(output), sink.error);
    if (code != 0) return Failure(path, PxqDataMessage(open.data));
    return PXQ_EXIT_OK;
  }
  int error = entry.isdirectory ? 0 : CheckOutputName(output);
  if (error != 0) return HostFailure(OutputDisplayName(output), error);
  if (SameFile(file, out)) return Failure(output, "is the loader file itself; choose another output file");
  code = PxqDataExtractTo(open.data, name, LibraryPath(output).c_str());
  if (code != 0) return Failure(path, PxqDataMessage(open.data));
  return PXQ_EXIT_OK;
}

std::string ListDataArchive(const std::string& path, bool asjson) {
  OpenData open;
  uint32_t code = PxqDataOpen(LibraryPath(path).c_str(), &open.data);
  if (code == 2 && std::string(PxqDataMessage(open.data)).find("carries no data archive") != std::string::npos) {
    fputs(asjson ? ",\"data\":null" : "data         none\n", stdout);
    return "";
  }
  if (code != 0) {
    std::string fault = std::string("data archive: ") + PxqDataMessage(open.data);
    if (asjson) {
      fputs((",\"data\":" + Dump({{"offset", nullptr}, {"entries", nlohmann::json::array()}, {"fault", fault}})).c_str(),
            stdout);
    } else if (code == ERROR_NOT_SUPPORTED) {
      printf("data         of a newer format, cannot be read\n");
    } else {
      printf("data         at offset %llu, cannot be read\n", static_cast<unsigned long long>(PxqDataOffset(open.data)));
    }
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

  // Written entry by entry: the report's memory does not grow with the
  // number of entries.
  if (asjson) {
    printf(",\"data\":{\"offset\":%llu,\"entries\":[", static_cast<unsigned long long>(PxqDataOffset(open.data)));
  } else {
    printf("data         archive at offset %llu (0x%llX), %u %s\n",
           static_cast<unsigned long long>(PxqDataOffset(open.data)),
           static_cast<unsigned long long>(PxqDataOffset(open.data)), count, count == 1 ? "entry" : "entries");
  }
  const int kNameColumn = 40;  // display columns the name is padded to
  for (uint32_t number = 1; number <= count; ++number) {
    PxqDataEntry entry;
    PxqDataEntryAt(open.data, number, &entry);
    const char* check = number <= checked.complete ? "ok" : "unchecked";
    if (asjson) {
      nlohmann::json item = {{"number", number},
                             {"name", entry.name},
                             {"type", entry.isdirectory ? "directory" : "file"},
                             {"size", entry.size},
                             {"lastwritetime", FileTimeText(entry.lastwritetime)},
                             {"filetime", entry.lastwritetime},
                             {"attributes", entry.attributes},
                             {"attributenames", AttributeNames(entry.attributes)},
                             {"crc32", Hex32(entry.crc)},
                             {"checked", number <= checked.complete},
                             {"safename", entry.nameissafe != 0}};
      fputs(((number == 1 ? "" : ",") + Dump(item)).c_str(), stdout);
    } else {
      std::string name = Printable(entry.name);
      int shown = DisplayWidth(name);
      printf("  %3u  %s%*s %12llu  %s  %-14s  CRC32 %s %s%s\n", number, name.c_str(), shown < kNameColumn ? kNameColumn - shown : 0,
             "", static_cast<unsigned long long>(entry.size), FileTimeText(entry.lastwritetime).c_str(),
             AttributeText(entry.attributes).c_str(), Hex32(entry.crc).c_str(), check,
             entry.nameissafe ? "" : "  (UNSAFE NAME: installers refuse it)");
    }
  }
  if (fault.empty()) {
    for (uint32_t number = 1; number <= count; ++number) {
      PxqDataEntry entry;
      PxqDataEntryAt(open.data, number, &entry);
      if (entry.nameissafe) continue;
      fault = UnsafeNameFault(open.data, number);
      break;
    }
  }
  if (asjson) {
    fputs(("],\"fault\":" + Dump(fault.empty() ? nlohmann::json(nullptr) : nlohmann::json(fault)) + "}").c_str(), stdout);
  } else if (fault.empty()) {
    printf("data check   every entry matches the index and its CRC32, and the archive ends where its index "
           "says\n");
  }
  return fault;
}
