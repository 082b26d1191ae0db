// The installer library on the host: loader files with a data archive, made
// by the package writer, opened, walked and extracted through the C
// interface that installers use.
#include <gtest/gtest.h>

#include <dirent.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "package/data_archive.h"
#include "package/records.h"
#include "platform/filetime.h"
#include "platform/testing.h"
#include "pxq/installer_data.h"
#include "support/data_fixture.h"
#include "support/file_bytes.h"
#include "support/package_fixture.h"
#include "support/scratch_dir.h"
#include "tools/writer/writer.h"

namespace {

// Names of what a directory holds, recursively, '/' between components.
void ListTree(const std::string& root, const std::string& prefix, std::vector<std::string>* names) {
  DIR* dir = opendir((root + "/" + prefix).c_str());
  if (dir == nullptr) return;
  while (struct dirent* found = readdir(dir)) {
    std::string name = found->d_name;
    if (name == "." || name == "..") continue;
    names->push_back(prefix + name);
    if (found->d_type == DT_DIR) ListTree(root, prefix + name + "/", names);
  }
  closedir(dir);
}

std::vector<std::string> Tree(const std::string& root) {
  std::vector<std::string> names;
  ListTree(root, "", &names);
  std::sort(names.begin(), names.end());
  return names;
}

struct InstallerData : ::testing::Test {
  ScratchDir dir;
  std::string loader = dir.File("setup.exe");
  std::string target = dir.File("target");
  PxqData* data = nullptr;

  ~InstallerData() override { PxqDataClose(data); }

  // A loader file with one installer build of `buildsize` bytes, and a data
  // archive of `items` unless it is empty.
  std::vector<uint8_t> Build(const std::vector<DataArchiveItem>& items, size_t buildsize = 1000) {
    std::vector<uint8_t> stub(512, 0);
    stub[0] = 'M';
    stub[1] = 'Z';
    std::vector<uint8_t> file;
    EXPECT_EQ(0u, WriteLoaderFile(stub, PLATFORM_FLAG_NT_X64, {MakeEntry(NtX64InstallerId, PatternBytes(buildsize, 7))},
                                  SmallOptions(), &file));
    if (!items.empty()) {
      EXPECT_EQ(0u, AppendDataArchive(items, SmallOptions(), 512, &file));
    }
    return file;
  }

  void Write(const std::vector<DataArchiveItem>& items) { WriteFileBytes(loader, Build(items)); }

  // A loader file whose data archive's stream is `parts`, then `stray`
  // bytes, compressed and framed as the writer does it.
  std::vector<uint8_t> Framed(const std::vector<StreamEntry>& parts, const std::vector<uint8_t>& stray = {}) {
    std::vector<uint8_t> file = Build({});
    const uint64_t offset = file.size();
    std::vector<uint8_t> plain = PlainStream(parts);
    plain.insert(plain.end(), stray.begin(), stray.end());
    PackageOptions options = SmallOptions();
    options.headermagic = DATA_ARCHIVE_MAGIC;
    options.entrycrc = true;
    options.dictionarysize = DictionaryForPayload(plain.size(), options.dictionarysize);
    std::vector<uint8_t> archive = ArchiveFromPlain(plain, options);
    file.insert(file.end(), archive.begin(), archive.end());
    EncodeDataLocator(offset, file.data() + 512);
    return file;
  }

  uint32_t Open() {
    PxqDataClose(data);
    data = nullptr;
    return PxqDataOpen(loader.c_str(), &data);
  }

  std::string Message() const { return PxqDataMessage(data); }
};

// A data archive's decoded stream, part by part as the writer lays it out
// (the index, then one entry per item), for damage that a writer never
// makes: the stream then decodes cleanly and only the checks behind it can
// tell.
std::vector<StreamEntry> StreamParts(const std::vector<DataArchiveItem>& items) {
  std::vector<uint8_t> index;
  std::vector<PackageEntry> entries;
  size_t failed = SIZE_MAX;
  EXPECT_EQ(0u, BuildDataIndex(items, &index, &entries, &failed));
  std::vector<StreamEntry> parts = {MakeStreamEntry(DATA_INDEX_ID, index)};
  for (const PackageEntry& entry : entries) {
    StreamEntry part = MakeStreamEntry(entry.idlow, entry.data);
    part.header.lastwritetime = entry.lastwritetime;
    part.header.attributes = entry.attributes;
    parts.push_back(part);
  }
  return parts;
}

std::vector<DataArchiveItem> Product() {
  return {DataFolder("docs"),
          DataFile("docs/readme.txt", TextBytes("read me\n")),
          DataFile("empty", ""),
          DataFile("bin/app.dat", PatternBytes(200 * 1024, 3)),  // its directory is not listed: made on the way
          DataFile("read-only.ini", TextBytes("[x]\n"), FILE_ATTRIBUTE_READONLY),
          DataFile("\xC3\x9Cn\xC3\xAF/\xD1\x84\xD0\xB0\xD0\xB9\xD0\xBB \xE2\x82\xAC.txt", TextBytes("utf-8\n"))};
}

TEST_F(InstallerData, WalksAndExtractsEverythingWithTimesAndAttributes) {
  std::vector<DataArchiveItem> items = Product();
  Write(items);
  ASSERT_EQ(0u, Open()) << Message();
  ASSERT_EQ(items.size(), PxqDataCount(data));
  for (uint32_t number = 1; number <= items.size(); ++number) {
    PxqDataEntry entry;
    ASSERT_EQ(0u, PxqDataEntryAt(data, number, &entry));
    const DataArchiveItem& item = items[number - 1];
    EXPECT_EQ(item.name, entry.name);
    EXPECT_EQ(item.data.size(), entry.size);
    EXPECT_EQ(kDataTime, entry.lastwritetime);
    EXPECT_EQ(item.directory, entry.isdirectory != 0);
    EXPECT_EQ(ReferenceCrc32(item.data), entry.crc);
    EXPECT_TRUE(entry.nameissafe);
  }
  PxqDataEntry entry;
  EXPECT_EQ(87u, PxqDataEntryAt(data, 0, &entry));
  EXPECT_EQ(87u, PxqDataEntryAt(data, static_cast<uint32_t>(items.size() + 1), &entry));

  struct Seen {
    uint64_t last = 0, total = 0;
    int calls = 0;
    bool backwards = false;
  } seen;
  auto progress = [](void* context, uint64_t done, uint64_t total, const PxqDataEntry*) -> int {
    Seen* s = static_cast<Seen*>(context);
    if (done < s->last) s->backwards = true;
    s->last = done;
    s->total = total;
    ++s->calls;
    return 0;
  };
  ASSERT_EQ(0u, PxqDataExtractAll(data, target.c_str(), progress, &seen)) << Message();
  EXPECT_FALSE(seen.backwards);
  EXPECT_EQ(seen.total, seen.last);
  EXPECT_EQ(200u * 1024 + 8 + 4 + 6, seen.total);
  EXPECT_GE(seen.calls, 6);

  std::vector<std::string> expected = {"bin", "docs", "empty", "read-only.ini"};
  for (const DataArchiveItem& item : items) {
    if (!item.directory) {
      EXPECT_EQ(item.data, ReadFileBytes(target + "/" + item.name)) << item.name;
      struct stat info;
      ASSERT_EQ(0, stat((target + "/" + item.name).c_str(), &info));
      EXPECT_EQ(1700000000, info.st_mtim.tv_sec) << item.name;
      EXPECT_EQ(item.attributes == FILE_ATTRIBUTE_READONLY, (info.st_mode & 0222) == 0) << item.name;
    }
    expected.push_back(item.name);
  }
  std::sort(expected.begin(), expected.end());
  expected.erase(std::unique(expected.begin(), expected.end()), expected.end());
  expected.push_back("\xC3\x9Cn\xC3\xAF");
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(expected, Tree(target));  // no temporary file is left

  // Again over what is there: the read-only file is replaced too.
  EXPECT_EQ(0u, PxqDataExtractAll(data, target.c_str(), nullptr, nullptr)) << Message();
  EXPECT_EQ(expected, Tree(target));
}

TEST_F(InstallerData, ExtractsOneEntryToAPathOrAStream) {
  Write(Product());
  ASSERT_EQ(0u, Open()) << Message();
  PxqDataEntry entry;
  ASSERT_EQ(0u, PxqDataFind(data, "bin/app.dat", &entry));
  EXPECT_EQ(4u, entry.number);
  EXPECT_EQ(2u, PxqDataFind(data, "bin/app", &entry));
  EXPECT_NE(std::string::npos, Message().find("no entry named bin/app")) << Message();

  std::string out = dir.File("app.copy");
  WriteFileText(out, "old");
  ASSERT_EQ(0u, PxqDataExtractTo(data, "bin/app.dat", out.c_str())) << Message();
  EXPECT_EQ(PatternBytes(200 * 1024, 3), ReadFileBytes(out));
  EXPECT_EQ(2u, PxqDataExtractTo(data, "missing", out.c_str()));

  std::vector<uint8_t> streamed;
  auto sink = [](void* context, const void* bytes, size_t count) -> uint32_t {
    auto* out = static_cast<std::vector<uint8_t>*>(context);
    out->insert(out->end(), static_cast<const uint8_t*>(bytes), static_cast<const uint8_t*>(bytes) + count);
    return 0;
  };
  ASSERT_EQ(0u, PxqDataExtractStream(data, "bin/app.dat", sink, &streamed)) << Message();
  EXPECT_EQ(PatternBytes(200 * 1024, 3), streamed);
  streamed.clear();
  ASSERT_EQ(0u, PxqDataExtractStream(data, "empty", sink, &streamed));
  EXPECT_TRUE(streamed.empty());
  // A sink's refusal stops the extraction and comes back.
  auto refusing = [](void*, const void*, size_t) -> uint32_t { return 112; };
  EXPECT_EQ(112u, PxqDataExtractStream(data, "bin/app.dat", refusing, nullptr));
  EXPECT_EQ(0u, PxqDataVerify(data, nullptr, nullptr)) << Message();
}

TEST_F(InstallerData, CancellingLeavesNoPartOfTheEntryAtHand) {
  Write(Product());
  ASSERT_EQ(0u, Open());
  // Cancelled after the first piece of the large file.
  auto progress = [](void*, uint64_t done, uint64_t, const PxqDataEntry* entry) -> int {
    return std::string(entry->name) == "bin/app.dat" && done > 8 ? 1 : 0;
  };
  EXPECT_EQ(1223u, PxqDataExtractAll(data, target.c_str(), progress, nullptr));
  EXPECT_NE(std::string::npos, Message().find("cancelled")) << Message();
  EXPECT_EQ((std::vector<std::string>{"bin", "docs", "docs/readme.txt", "empty"}), Tree(target));
}

// Every unsafe name stops the whole extraction before anything is written,
// with its reason; nothing appears in the target or beside it.
TEST_F(InstallerData, RefusesNamesThatLeaveTheTargetOrThatWindowsCannotHold) {
  const struct {
    const char* name;
    const char* reason;
  } kCases[] = {
      {"../evil.txt", "'..'"},
      {"a/../../evil.txt", "'..'"},
      {"/etc/evil", "absolute"},
      {"\\evil", "absolute"},
      {"C:/evil.txt", "drive letter"},
      {"c:evil.txt", "drive letter"},
      {"file.txt:stream", "NTFS stream"},
      {"a\\..\\evil", "'\\'"},
      {"CON", "device"},
      {"dir/nul.txt", "device"},
      {"Com1 .log", "device"},
      {"LPT\xC2\xB9", "device"},
      {"a/./b", "'.' component"},
      {"a//b", "empty component"},
      {"dir/", "empty component"},
      {"name.", "ending in '.'"},
      {"what?", "cannot hold"},
      {"tab\there", "cannot hold"},
      {"bad\xFF", "not UTF-8"},
      {"\xC0\xAF", "not UTF-8"},  // an overlong '/'
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_NE(DataNameSafe, CheckDataName(c.name, static_cast<uint32_t>(strlen(c.name))));
    Write({DataFile("ok.txt", TextBytes("fine")), DataFile(c.name, TextBytes("evil"))});
    ASSERT_EQ(0u, Open()) << Message();
    PxqDataEntry entry;
    ASSERT_EQ(0u, PxqDataEntryAt(data, 2, &entry));
    EXPECT_FALSE(entry.nameissafe);
    EXPECT_EQ(123u, PxqDataExtractAll(data, target.c_str(), nullptr, nullptr));
    EXPECT_NE(std::string::npos, Message().find(c.reason)) << Message();
    EXPECT_NE(std::string::npos, Message().find("nothing was extracted")) << Message();
    EXPECT_FALSE(FileExists(target));
    EXPECT_EQ((std::vector<std::string>{"setup.exe"}), Tree(dir.path));
  }
  for (const char* name : {"a/b c/d.txt", "icon/x", "CONSOLE", "com10", "..a", "a..b", "\xE2\x82\xAC"})
    EXPECT_EQ(DataNameSafe, CheckDataName(name, static_cast<uint32_t>(strlen(name)))) << name;
}

// A link where a directory goes is not followed.
TEST_F(InstallerData, DoesNotWriteThroughALinkInTheTarget) {
  std::string outside = dir.File("outside");
  mkdir(outside.c_str(), 0777);
  mkdir(target.c_str(), 0777);
  ASSERT_EQ(0, symlink(outside.c_str(), (target + "/sub").c_str()));
  Write({DataFile("sub/file.txt", TextBytes("x"))});
  ASSERT_EQ(0u, Open());
  EXPECT_EQ(183u, PxqDataExtractAll(data, target.c_str(), nullptr, nullptr));
  EXPECT_NE(std::string::npos, Message().find("sub")) << Message();
  EXPECT_TRUE(Tree(outside).empty());
}

TEST_F(InstallerData, AFileWithoutADataArchiveSaysSo) {
  Write({});
  EXPECT_EQ(2u, Open());
  EXPECT_NE(std::string::npos, Message().find("carries no data archive")) << Message();
  WriteFileText(loader, "not a loader file at all, but long enough to hold a stamp......");
  EXPECT_EQ(11u, Open());
  EXPECT_NE(std::string::npos, Message().find(" is not a pxq loader file: it has no MZ/pxr5 stamp, or no archive after "
                                               "it (error 11)"))
      << Message();
  PxqDataClose(data);  // the failed open's handle, kept for its message
  data = nullptr;
  EXPECT_EQ(2u, PxqDataOpen(dir.File("missing.exe").c_str(), &data));
  EXPECT_NE(std::string::npos, Message().find("missing.exe")) << Message();
}

// Damage anywhere in the data archive is either refused or harmless: no
// call that succeeds hands out bytes other than the packed ones.
TEST_F(InstallerData, DamageIsRefusedNeverExtracted) {
  std::vector<DataArchiveItem> items = {DataFile("a.txt", TextBytes("alpha alpha alpha")), DataFile("b.bin", PatternBytes(5000, 9))};
  std::vector<uint8_t> good = Build(items);
  uint64_t offset = ReadLe64(good.data() + 512 + 8);
  ASSERT_EQ(DATA_LOCATOR_MAGIC, ReadLe32(good.data() + 512));
  size_t flips = 0, refused = 0;
  for (size_t at = offset; at < good.size(); at += 7) {
    std::vector<uint8_t> bad = good;
    bad[at] ^= 0x20;
    WriteFileBytes(loader, bad);
    if (Open() != 0) {
      ++refused;
      EXPECT_FALSE(Message().empty());
      continue;
    }
    ++flips;
    std::string out = dir.File("out-" + std::to_string(at));
    uint32_t verified = PxqDataVerify(data, nullptr, nullptr);
    uint32_t extracted = PxqDataExtractAll(data, out.c_str(), nullptr, nullptr);
    if (extracted == 0) {
      EXPECT_EQ(items[0].data, ReadFileBytes(out + "/a.txt")) << at;
      EXPECT_EQ(items[1].data, ReadFileBytes(out + "/b.bin")) << at;
    } else {
      EXPECT_FALSE(Message().empty());
      EXPECT_NE(0u, verified) << at;
    }
  }
  EXPECT_GT(refused, 0u);
  EXPECT_GT(flips, 0u);
  // A flip in the compressed stream hardly ever alters the decoded index
  // and nothing else. Damage to the index's own bytes (a name, a size) is
  // told by its CRC32 alone, and refused at open: it never gets as far as
  // extracting under a wrong name.
  std::vector<StreamEntry> parts = StreamParts(items);
  WriteFileBytes(loader, Framed(parts));
  ASSERT_EQ(0u, Open()) << Message();
  ASSERT_EQ(0u, PxqDataVerify(data, nullptr, nullptr)) << Message();
  for (size_t at = 0; at < parts[0].data.size(); ++at) {
    std::vector<StreamEntry> damaged = parts;
    damaged[0].data[at] ^= 0x20;
    WriteFileBytes(loader, Framed(damaged));
    EXPECT_EQ(ERROR_CRC, Open()) << "index byte " << at;
    EXPECT_NE(std::string::npos, Message().find("index cannot be read: data does not match its CRC32")) << Message();
  }
  // Cut anywhere, the archive is refused.
  for (size_t cut = offset; cut < good.size(); cut += 97) {
    WriteFileBytes(loader, std::vector<uint8_t>(good.begin(), good.begin() + static_cast<long>(cut)));
    if (Open() == 0) {
      EXPECT_NE(0u, PxqDataVerify(data, nullptr, nullptr)) << cut;
    }
  }
}

// A check reads the whole stream: it refuses what an extraction would not
// notice, each with its reason.
TEST_F(InstallerData, VerifyRefusesWhatDoesNotEndOrMatchAsTheIndexSays) {
  std::vector<StreamEntry> parts = StreamParts({DataFile("a.txt", TextBytes("alpha")), DataFile("b.txt", TextBytes("beta"))});
  std::vector<StreamEntry> headercrc = parts;
  headercrc[1].header.datacrc ^= 1;  // the data and the index agree; the header does not
  std::vector<uint8_t> trailer = Framed(parts);
  trailer[trailer.size() - ARCHIVE_TRAILER_SIZE] ^= 1;  // the trailer's magic
  struct Case {
    const char* name;
    std::vector<uint8_t> file;
    const char* words;  // null: sound
  } cases[] = {
      {"sound", Framed(parts), nullptr},
      {"stray bytes before the end marker", Framed(parts, {1, 2, 3, 4, 5}),
       "the data archive's stream does not end after its last entry"},
      {"a damaged trailer magic", trailer, "the data archive has no trailer after its stream"},
      {"an entry header whose CRC32 is not the index's", Framed(headercrc),
       "entry 1 (a.txt): its header does not match the index"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WriteFileBytes(loader, c.file);
    ASSERT_EQ(0u, Open()) << Message();
    if (c.words == nullptr) {
      EXPECT_EQ(0u, PxqDataVerify(data, nullptr, nullptr)) << Message();
    } else {
      EXPECT_EQ(ERROR_INVALID_DATA, PxqDataVerify(data, nullptr, nullptr));
      EXPECT_NE(std::string::npos, Message().find(c.words)) << Message();
    }
  }
}

// Locating the data archive reads the same whatever the builds' size.
TEST_F(InstallerData, LocatingTakesTheSameReadsWhateverTheBuildsSize) {
  std::vector<std::vector<std::string>> reads;
  for (size_t buildsize : {1000u, 3000000u}) {
    WriteFileBytes(loader, Build({DataFile("a", TextBytes("a"))}, buildsize));
    TestingScope scope;
    ASSERT_EQ(0u, Open()) << Message();
    PxqDataClose(data);
    data = nullptr;
    std::vector<std::string> calls;
    for (const TestingCall& call : Testing().calls) {
      if (call.op == Op_ReadFile) calls.push_back(call.detail);
    }
    reads.push_back(calls);
    EXPECT_TRUE(TestingNothingOpen()) << TestingOpenSummary();
  }
  EXPECT_EQ(reads[0], reads[1]);
  EXPECT_LE(reads[0].size(), 4u);
}

// PxqDataOpenSelf takes the variable PXQ_LOADER_PATH when it is set and not
// empty, else the last argument of the process: this test program runs
// itself with each.
TEST_F(InstallerData, OpensTheFileNamedByTheVariableOrTheLastArgument) {
  if (getenv("PXQ_TEST_OPEN_SELF") != nullptr) {
    PxqData* opened = nullptr;
    uint32_t code = PxqDataOpenSelf(&opened);
    bool ok = code == 0 && PxqDataCount(opened) == 1;
    PxqDataClose(opened);
    _exit(ok ? 0 : 1);
  }
  Write({DataFile("a", TextBytes("a"))});
  const std::string elsewhere = loader + ".missing";
  struct Case {
    const char* name;
    const char* variable;  // null: not set
    std::string last;
    int exitcode;
  } cases[] = {
      {"the last argument", nullptr, loader, 0},
      {"the variable, before the last argument", loader.c_str(), elsewhere, 0},
      {"an empty variable counts as none", "", loader, 0},
      {"the variable names a missing file", elsewhere.c_str(), loader, 1},
  };
  for (const Case& c : cases) {
    pid_t child = fork();
    if (child == 0) {
      setenv("PXQ_TEST_OPEN_SELF", "1", 1);
      if (c.variable != nullptr)
        setenv("PXQ_LOADER_PATH", c.variable, 1);
      else
        unsetenv("PXQ_LOADER_PATH");
      execl("/proc/self/exe", "installer_tests",
            "--gtest_filter=InstallerData.OpensTheFileNamedByTheVariableOrTheLastArgument", c.last.c_str(),
            static_cast<char*>(nullptr));
      _exit(2);
    }
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(c.exitcode, WEXITSTATUS(status)) << c.name;
  }
  // This process's own last argument names no loader file.
  unsetenv("PXQ_LOADER_PATH");
  EXPECT_NE(0u, PxqDataOpenSelf(&data));
  EXPECT_FALSE(Message().empty());
}

}  // namespace
