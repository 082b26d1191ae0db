// The installer library over arbitrary data archives: the input is the data
// archive, placed after a fixed stamp and loader archive header whose
// locator points at it. It is judged against an independent decoding of the
// same bytes (fuzz/archive_oracle.h) and an independent reading of its index,
// and by looking at what the extraction left on disk. What must hold:
// - nothing crashes and nothing is left open;
// - open succeeds only on an index entry that came out whole and sound, and
//   then reports its items as the index holds them;
// - nothing is ever written outside the target directory, and no temporary
//   file stays; every file left in the target is byte-identical to a sound
//   entry of its name;
// - a successful extraction wrote every file of the index, and never one of
//   a name with a '..' component, a leading '/' or '\', or a ':';
// - verification succeeds only on a sound archive whose every entry matches
//   the index and its CRC32.
// An input whose last 64 bytes begin with "pxdb" is read as the block
// layout instead (the locator, of format 2, names that head). There, with
// no oracle, what must hold: nothing crashes or stays open, nothing is
// written outside the target nor left as a temporary file; each entry that
// is both streamed and extracted (alone, with the others, or chosen by
// PxqDataExtractSome) gives the same bytes every way, with the index's size.
// The whole passes run again with 2 to 4 decoding threads (the number, and
// how many of them may start, taken from the input's size): PxqDataVerify
// and PxqDataExtractAll give the same result, message and tree as on one
// thread, PxqDataExtractAllEx with rollback the same result and, on
// success, the same tree, on failure no target at all; every worker is
// joined and every handle closed when the call returns.
#include <dirent.h>
#include <ftw.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <map>
#include <string>
#include <thread>
#include <vector>

#include "archive_oracle.h"
#include "fuzz_support.h"
#include "installer/worker_threads.h"
#include "platform/testing.h"
#include "pxq/installer_data.h"

namespace {

const size_t kPrefix = 128;  // stamp (64) and loader archive header (64)
const uint32_t kLargestWindow = 1u << 24;
const size_t kReferenceCap = 1u << 25;
const uint64_t kIndexId = 0xFFFFFFFFFFFF0100ull;

uint32_t Le32(const uint8_t* b) { return b[0] | b[1] << 8 | b[2] << 16 | static_cast<uint32_t>(b[3]) << 24; }
uint64_t Le64(const uint8_t* b) { return Le32(b) | static_cast<uint64_t>(Le32(b + 4)) << 32; }
void Put32(uint8_t* b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[i] = static_cast<uint8_t>(v >> (8 * i));
}

// The stamp ("MZ", "pxr5", archive at 64) and a loader archive header whose
// locator, of `format`, names `offset`: what precedes the input.
std::vector<uint8_t> LoaderPrefix(uint32_t format, uint32_t offset) {
  std::vector<uint8_t> file(kPrefix, 0);
  file[0] = 'M';
  file[1] = 'Z';
  memcpy(&file[0x24], "pxr5", 4);
  Put32(&file[0x2C], 64);
  memcpy(&file[64], "pxqd", 4);
  Put32(&file[68], format);
  Put32(&file[72], offset);
  memcpy(&file[64 + 16], "gmo3", 4);
  return file;
}

struct Item {
  uint64_t size = 0, time = 0;
  uint32_t attributes = 0, crc = 0;
  std::string name;
};

// The index as its format says, read without the library: false when it is
// no index (the library must then refuse to open).
bool ParseIndex(const std::vector<uint8_t>& index, std::vector<Item>* items) {
  if (index.size() < 16 || Le32(&index[0]) != 0x69647870u || Le32(&index[4]) != 1 || Le32(&index[12]) != 0)
    return false;
  uint32_t count = Le32(&index[8]);
  if (count > (index.size() - 16) / 29) return false;
  size_t at = 16;
  for (uint32_t i = 0; i < count; ++i) {
    if (index.size() - at < 28) return false;
    Item item;
    item.size = Le64(&index[at]);
    item.time = Le64(&index[at + 8]);
    item.attributes = Le32(&index[at + 16]);
    item.crc = Le32(&index[at + 20]);
    uint32_t length = Le32(&index[at + 24]);
    at += 28;
    if (length == 0 || length > 1024 || index.size() - at < length) return false;
    if ((item.attributes & 0x10) != 0 && item.size != 0) return false;
    item.name.assign(reinterpret_cast<const char*>(&index[at]), length);
    at += length;
    items->push_back(item);
  }
  return at == index.size();
}

bool PlainlyUnsafe(const std::string& name) {
  if (name[0] == '/' || name[0] == '\\' || name.find(':') != std::string::npos) return true;
  std::string padded = "/" + name + "/";
  for (char& c : padded) c = c == '\\' ? '/' : c;
  return padded.find("/../") != std::string::npos;
}

int RemoveOne(const char* path, const struct stat*, int, struct FTW*) { return remove(path); }
void RemoveTree(const std::string& path) { nftw(path.c_str(), RemoveOne, 16, FTW_DEPTH | FTW_PHYS); }

void Walk(const std::string& root, const std::string& prefix, std::map<std::string, std::string>* found) {
  DIR* dir = opendir((root + prefix).c_str());
  if (dir == nullptr) return;
  while (struct dirent* entry = readdir(dir)) {
    std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    std::string path = root + prefix + name;
    struct stat info;
    if (lstat(path.c_str(), &info) != 0) continue;
    if (S_ISDIR(info.st_mode)) {
      (*found)[prefix + name] = "/";
      Walk(root, prefix + name + "/", found);
    } else {
      FILE* file = fopen(path.c_str(), "rb");
      std::string bytes;
      char piece[65536];
      size_t n;
      while (file != nullptr && (n = fread(piece, 1, sizeof piece, file)) > 0) bytes.append(piece, n);
      if (file != nullptr) fclose(file);
      (*found)[prefix + name] = "file:" + bytes;
    }
  }
  closedir(dir);
}

uint32_t Collect(void* context, const void* bytes, size_t count) {
  static_cast<std::string*>(context)->append(static_cast<const char*>(bytes), count);
  return 0;
}

void CheckNothingOutside(const std::string& root) {
  std::map<std::string, std::string> outside;
  Walk(root + "/", "", &outside);
  for (const auto& found : outside) {
    FuzzCheck(found.first.rfind("target", 0) == 0 || found.first.rfind("some", 0) == 0 ||
                  found.first.rfind("one", 0) == 0,
              "wrote outside the target");
    FuzzCheck(found.first.find(".partial") == std::string::npos, "a temporary file stayed");
  }
}

// What a whole pass over the block layout gave: the results and message of
// PxqDataVerify and PxqDataExtractAll, and the tree the extraction left.
struct WholePasses {
  uint32_t verified = 0, extracted = 0;
  std::string verifymessage, extractmessage;
  std::map<std::string, std::string> tree;
};

void RunWholePasses(PxqData* opened, uint32_t threads, const std::string& target, WholePasses* passes) {
  FuzzCheck(PxqDataSetThreads(opened, threads) == 0, "the number of threads is refused");
  passes->verified = PxqDataVerify(opened, nullptr, nullptr);
  passes->verifymessage = PxqDataMessage(opened);
  passes->extracted = PxqDataExtractAll(opened, target.c_str(), nullptr, nullptr);
  passes->extractmessage = PxqDataMessage(opened);
  Walk(target + "/", "", &passes->tree);
}

// The entries of a /proc/self directory (the descriptors or the threads).
size_t CountEntries(const char* path) {
  size_t count = 0;
  DIR* dir = opendir(path);
  while (dir != nullptr && readdir(dir) != nullptr) ++count;
  if (dir != nullptr) closedir(dir);
  return count;
}

// The block layout on one thread, under the testing backend (which counts
// what is open but is not made for calls from several threads): what is
// extracted equals what is streamed, entry by entry. False when the input
// does not open; else `single` holds what the whole passes gave.
bool RunOnOneThread(const std::string& input, const std::string& root, WholePasses* single) {
  const std::string target = root + "/target";
  TestingScope scope;
  PxqData* opened = nullptr;
  const bool opens = PxqDataOpen(input.c_str(), &opened) == 0;
  if (opens) {
    RemoveTree(root);
    mkdir(root.c_str(), 0700);
    uint32_t count = PxqDataCount(opened);
    std::vector<std::string> streamed(count + 1);
    std::vector<bool> streams(count + 1, false);
    for (uint32_t n = 1; n <= count && n <= 64; ++n) {
      PxqDataEntry entry;
      FuzzCheck(PxqDataEntryAt(opened, n, &entry) == 0, "an entry cannot be had");
      if (entry.isdirectory || !entry.nameissafe) continue;
      streams[n] = PxqDataExtractStream(opened, entry.name, Collect, &streamed[n]) == 0;
      if (streams[n]) FuzzCheck(streamed[n].size() == entry.size, "streamed other than the index's size");
      const std::string one = root + "/one";
      if (PxqDataExtractTo(opened, entry.name, one.c_str()) == 0) {
        std::map<std::string, std::string> found;
        Walk(root + "/", "", &found);
        FuzzCheck(!streams[n] || found["one"] == "file:" + streamed[n], "extracted alone other than streamed");
      }
      remove(one.c_str());
      const char* names[] = {entry.name};
      const std::string some = root + "/some";
      if (PxqDataExtractSome(opened, some.c_str(), names, 1, 0, nullptr, nullptr) == 0) {
        std::map<std::string, std::string> found;
        Walk(some + "/", "", &found);
        FuzzCheck(!streams[n] || found[entry.name] == "file:" + streamed[n], "extracted by choice other than streamed");
      }
      RemoveTree(some);
    }
    RunWholePasses(opened, 1, target, single);
    if (single->extracted == 0) {
      for (uint32_t n = 1; n <= count && n <= 64; ++n) {
        PxqDataEntry entry;
        PxqDataEntryAt(opened, n, &entry);
        if (entry.isdirectory) continue;
        FuzzCheck(single->tree.count(entry.name) == 1, "a file was not written");
        FuzzCheck(!streams[n] || single->tree[entry.name] == "file:" + streamed[n], "extracted other than streamed");
      }
      FuzzCheck(single->verified == 0, "extracted all of an archive that does not verify");
    }
    CheckNothingOutside(root);
    RemoveTree(root);
  }
  PxqDataClose(opened);
  FuzzCheck(TestingNothingOpen(), "left open");
  return opens;
}

// The whole passes again on `threads` threads, of which only `starts` may
// start when fewer, over the host's own platform layer: the same as on one
// thread, and no worker or descriptor left when the calls return.
void RunOnThreads(const std::string& input, const std::string& root, uint32_t threads, uint32_t starts,
                  const WholePasses& single) {
  // A sanitizer's runtime may start a helper thread of its own at the
  // process's first thread start (ThreadSanitizer does): one start first.
  static const bool started = [] {
    std::thread([] {}).join();
    return true;
  }();
  (void)started;
  // Both counts include "." and "..".
  const size_t descriptors = CountEntries("/proc/self/fd");
  const size_t tasks = CountEntries("/proc/self/task");
  mkdir(root.c_str(), 0700);
  PxqData* opened = nullptr;
  FuzzCheck(PxqDataOpen(input.c_str(), &opened) == 0, "opens on one platform layer only");
  if (starts < threads) FailWorkerStartsForTesting(starts, 8);  // ERROR_NOT_ENOUGH_MEMORY
  WholePasses parallel;
  RunWholePasses(opened, threads, root + "/target", &parallel);
  FuzzCheck(parallel.verified == single.verified, "verified otherwise on several threads");
  FuzzCheck(parallel.verifymessage == single.verifymessage, "the check's message differs on several threads");
  FuzzCheck(parallel.extracted == single.extracted, "extracted otherwise on several threads");
  FuzzCheck(parallel.extractmessage == single.extractmessage, "the extraction's message differs on several threads");
  FuzzCheck(parallel.tree == single.tree, "extracted another tree on several threads");
  const std::string undone = root + "/target-rollback";
  const uint32_t rolledback = PxqDataExtractAllEx(opened, undone.c_str(), PXQ_EXTRACT_ROLLBACK, nullptr, nullptr);
  FailWorkerStartsForTesting(0, 0);
  FuzzCheck(rolledback == single.extracted, "extracted otherwise with rollback");
  std::map<std::string, std::string> tree;
  Walk(undone + "/", "", &tree);
  struct stat info;
  if (rolledback == 0) FuzzCheck(tree == single.tree, "extracted another tree with rollback");
  if (rolledback != 0) FuzzCheck(lstat(undone.c_str(), &info) != 0, "a failed extraction with rollback left its target");
  PxqDataClose(opened);
  CheckNothingOutside(root);
  RemoveTree(root);
  FuzzCheck(CountEntries("/proc/self/fd") == descriptors, "a descriptor was left open");
  FuzzCheck(CountEntries("/proc/self/task") == tasks, "a thread was left running");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size >= 64 && memcmp(data + size - 64, "pxdb", 4) == 0) {
    static const std::string blockinput = FuzzScratchFile("blocks.exe");
    static const std::string blockroot = FuzzScratchFile("blockroot");
    std::vector<uint8_t> file = LoaderPrefix(2, static_cast<uint32_t>(kPrefix + size - 64));
    file.insert(file.end(), data, data + size);
    FuzzWriteFile(blockinput, file.data(), file.size());
    const uint32_t threads = 2 + size % 3;
    const uint32_t starts = (size / 3) % 8;
    WholePasses single;
    if (RunOnOneThread(blockinput, blockroot, &single)) RunOnThreads(blockinput, blockroot, threads, starts, single);
    return 0;
  }
  if (size >= 77 && Le32(data + 73) > kLargestWindow) return -1;
  static const std::string input = FuzzScratchFile("setup.exe");
  static const std::string root = FuzzScratchFile("root");
  const std::string target = root + "/target";
  std::vector<uint8_t> file = LoaderPrefix(1, static_cast<uint32_t>(kPrefix));
  file.insert(file.end(), data, data + size);
  FuzzWriteFile(input, file.data(), file.size());
  const Reference reference = ReadReference(file.data(), file.size(), kPrefix, kReferenceCap);

  // The index and the entries as the reference decodes them.
  std::vector<Item> items;
  bool indexsound = false;
  if (!reference.entries.empty()) {
    const ReferenceEntry& first = reference.entries[0];
    bool dataarchive = size >= 28 && memcmp(data, "pxda", 4) == 0 && (Le32(data + 24) & kEntryCrcFlag) != 0;
    if (dataarchive && first.valid && first.complete && first.id == kIndexId && first.crc == first.storedcrc &&
        first.datasize >= 16 && first.datasize <= (64u << 20)) {
      std::vector<uint8_t> index(reference.plain.begin() + static_cast<long>(first.dataat),
                                 reference.plain.begin() + static_cast<long>(first.dataat + first.datasize));
      indexsound = ParseIndex(index, &items);
    }
  }
  // Which items the stream holds whole and as the index says.
  std::vector<bool> sound(items.size(), false);
  for (size_t i = 0; i < items.size() && i + 1 < reference.entries.size(); ++i) {
    const ReferenceEntry& entry = reference.entries[i + 1];
    sound[i] = entry.valid && entry.complete && entry.id == i + 1 && entry.datasize == items[i].size &&
               entry.crc == items[i].crc && entry.storedcrc == items[i].crc && Le64(entry.header + 32) == items[i].time &&
               Le32(entry.header + 40) == items[i].attributes;
  }
  bool allsound = indexsound && reference.sound && reference.entries.size() == items.size() + 1;
  for (size_t i = 0; allsound && i < items.size(); ++i) allsound = sound[i];

  TestingScope scope;
  PxqData* opened = nullptr;
  uint32_t code = PxqDataOpen(input.c_str(), &opened);
  FuzzCheck(code != 0 || indexsound, "opened without a sound index");
  if (code == 0) {
    FuzzCheck(PxqDataCount(opened) == items.size(), "the count differs from the index");
    for (uint32_t n = 1; n <= items.size(); ++n) {
      PxqDataEntry entry;
      FuzzCheck(PxqDataEntryAt(opened, n, &entry) == 0, "an entry cannot be had");
      FuzzCheck(entry.size == items[n - 1].size && entry.crc == items[n - 1].crc && entry.name == items[n - 1].name,
                "an entry differs from the index");
    }
    FuzzCheck(PxqDataVerify(opened, nullptr, nullptr) != 0 || allsound, "verified an archive that is not sound");

    RemoveTree(root);
    mkdir(root.c_str(), 0700);
    uint32_t extracted = PxqDataExtractAll(opened, target.c_str(), nullptr, nullptr);
    std::map<std::string, std::string> outside, inside;
    Walk(root + "/", "", &outside);
    for (const auto& found : outside) FuzzCheck(found.first.rfind("target", 0) == 0, "wrote outside the target");
    Walk(target + "/", "", &inside);
    // The last item of each name is what a successful extraction leaves.
    std::map<std::string, size_t> last;
    for (size_t i = 0; i < items.size(); ++i) last[items[i].name] = i;
    for (const auto& found : inside) {
      FuzzCheck(found.first.find(".partial") == std::string::npos, "a temporary file stayed");
      if (found.second == "/") continue;
      bool matches = false;
      for (size_t i = 0; i < items.size() && !matches; ++i) {
        if (items[i].name != found.first || !sound[i]) continue;
        const ReferenceEntry& entry = reference.entries[i + 1];
        matches = found.second.compare(5, std::string::npos,
                                       reinterpret_cast<const char*>(reference.plain.data() + entry.dataat),
                                       entry.datasize) == 0;
      }
      FuzzCheck(matches, "a file left in the target is not a sound entry of its name");
    }
    if (extracted == 0) {
      FuzzCheck(last.size() == items.size(), "extracted an archive that gives a name twice");
      for (size_t i = 0; i < items.size(); ++i) {
        FuzzCheck(!PlainlyUnsafe(items[i].name), "extracted a name that leaves the target");
        FuzzCheck(sound[i], "extracted an entry that is not sound");
        if ((items[i].attributes & 0x10) == 0 && last[items[i].name] == i)
          FuzzCheck(inside.count(items[i].name) == 1 && inside[items[i].name] != "/", "a file was not written");
      }
    }
    RemoveTree(root);
  }
  PxqDataClose(opened);
  FuzzCheck(TestingNothingOpen(), "left open");
  return 0;
}
