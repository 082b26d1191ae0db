// The installer library on hand-made data archives that pack never writes:
// names that are one file on Windows, dictionaries larger than the stream
// needs, a locator of a newer format, a stream that does not end where it
// must, and a folder where a file goes. Each is refused with words that
// say so, and nothing is written where names clash.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "package/data_archive.h"
#include "package/data_names.h"
#include "package/records.h"
#include "platform/filetime.h"
#include "pxq/installer_data.h"
#include "support/file_bytes.h"
#include "support/package_fixture.h"
#include "support/scratch_dir.h"
#include "tools/writer/writer.h"

namespace {

const uint64_t kTime = FileTimeFromUnix(1700000000, 0);

DataArchiveItem File(const std::string& name, const std::string& text = "x") {
  DataArchiveItem item;
  item.name = name;
  item.data.assign(text.begin(), text.end());
  item.lastwritetime = kTime;
  return item;
}

DataArchiveItem Folder(const std::string& name) {
  DataArchiveItem item = File(name, "");
  item.directory = true;
  item.attributes = FILE_ATTRIBUTE_DIRECTORY;
  return item;
}

bool Exists(const std::string& path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0;
}

struct DataSoundness : ::testing::Test {
  ScratchDir dir;
  std::string loader = dir.File("setup.exe");
  std::string target = dir.File("target");
  PxqData* data = nullptr;
  uint32_t archiveoffset = 512;

  ~DataSoundness() override { PxqDataClose(data); }

  std::vector<uint8_t> LoaderOnly() {
    std::vector<uint8_t> stub(archiveoffset, 0);
    stub[0] = 'M';
    stub[1] = 'Z';
    std::vector<uint8_t> file;
    EXPECT_EQ(0u, WriteLoaderFile(stub, PLATFORM_FLAG_NT_X64, {MakeEntry(NtX64InstallerId, PatternBytes(500, 7))},
                                  SmallOptions(), &file));
    return file;
  }

  // A loader file whose data archive holds `items`; its offset in `*at`.
  std::vector<uint8_t> Build(const std::vector<DataArchiveItem>& items, uint64_t* at = nullptr) {
    std::vector<uint8_t> file = LoaderOnly();
    if (at != nullptr) *at = file.size();
    EXPECT_EQ(0u, AppendDataArchive(items, SmallOptions(), archiveoffset, &file));
    return file;
  }

  uint32_t Open(const std::vector<uint8_t>& file) {
    WriteFileBytes(loader, file);
    PxqDataClose(data);
    data = nullptr;
    return PxqDataOpen(loader.c_str(), &data);
  }

  std::string Message() const { return PxqDataMessage(data); }
};

// Names that Windows takes for one file, and a name that is a file and a
// folder at once, mark both entries unsafe; extracting everything writes
// nothing; one entry by an ambiguous name is refused too.
TEST_F(DataSoundness, ClashingNamesAreRefusedBeforeAnythingIsWritten) {
  const struct {
    std::vector<DataArchiveItem> items;
    const char* words;
  } kCases[] = {
      {{File("a.txt"), File("b.txt"), File("a.txt")}, "is given twice"},
      {{File("Readme.TXT"), File("readme.txt")}, "letter case"},
      {{Folder("docs"), Folder("DOCS")}, "letter case"},
      // ÀÉÎ with àéî; Greek with an accented capital; Cyrillic; fullwidth Latin.
      {{File("\xC3\x80\xC3\x89\xC3\x8E.txt"), File("\xC3\xA0\xC3\xA9\xC3\xAE.txt")}, "letter case"},
      {{File("\xCE\x86\xCE\xBB\xCF\x86\xCE\xB1"), File("\xCE\xAC\xCE\xBB\xCF\x86\xCE\xB1")}, "letter case"},
      {{File("\xD0\xA4\xD0\xB0\xD0\xB9\xD0\xBB"), File("\xD1\x84\xD0\x90\xD0\x99\xD0\x9B")}, "letter case"},
      {{File("\xEF\xBC\xA1"), File("\xEF\xBD\x81")}, "letter case"},
      {{File("a"), File("a/b")}, "both a file and a folder"},
      {{File("bin"), File("BIN/tool/x.dll")}, "both a file and a folder"},
      {{File("a"), Folder("a")}, "is given twice"},
  };
  for (const auto& test : kCases) {
    std::string shown = test.items.front().name + " / " + test.items.back().name;
    ASSERT_EQ(0u, Open(Build(test.items))) << shown << ": " << Message();
    PxqDataEntry first, last;
    ASSERT_EQ(0u, PxqDataEntryAt(data, 1, &first));
    ASSERT_EQ(0u, PxqDataEntryAt(data, PxqDataCount(data), &last));
    EXPECT_FALSE(first.nameissafe) << shown;
    EXPECT_FALSE(last.nameissafe) << shown;
    EXPECT_EQ(123u, PxqDataExtractAll(data, target.c_str(), nullptr, nullptr)) << shown;
    EXPECT_NE(std::string::npos, Message().find(test.words)) << shown << ": " << Message();
    EXPECT_NE(std::string::npos, Message().find("nothing was extracted")) << Message();
    EXPECT_FALSE(Exists(target)) << shown;
  }
  // One entry of an ambiguous name: which is meant cannot be told.
  ASSERT_EQ(0u, Open(Build({File("a.txt", "first"), File("A.TXT", "second")})));
  EXPECT_EQ(123u, PxqDataExtractTo(data, "a.txt", dir.File("one").c_str()));
  EXPECT_FALSE(Exists(dir.File("one")));
  auto sink = [](void*, const void*, size_t) -> uint32_t { return 0; };
  EXPECT_EQ(123u, PxqDataExtractStream(data, "A.TXT", sink, nullptr));
}

// Names that Windows keeps apart stay sound: letter case is folded one code
// point to one, so "ß" is no "SS"; names that merely begin alike, and a
// folder whose contents are named in another case, clash with nothing.
TEST_F(DataSoundness, NamesThatWindowsKeepsApartAreSound) {
  std::vector<DataArchiveItem> items = {Folder("a"), File("A/b"), File("a.b"), File("ab"), File("a!"),
                                        File("Stra\xC3\x9F" "e"), File("STRASSE"), File("\xC3\xB7"),
                                        File("\xC3\x97")};
  ASSERT_EQ(0u, Open(Build(items))) << Message();
  for (uint32_t number = 1; number <= PxqDataCount(data); ++number) {
    PxqDataEntry entry;
    ASSERT_EQ(0u, PxqDataEntryAt(data, number, &entry));
    EXPECT_TRUE(entry.nameissafe) << entry.name;
  }
  EXPECT_EQ(0u, PxqDataExtractAll(data, target.c_str(), nullptr, nullptr)) << Message();
  EXPECT_TRUE(Exists(target + "/STRASSE"));
}

TEST(DataNames, FoldingPairsAndOrdersDescendantsAfterTheirName) {
  EXPECT_EQ(0x41u, FoldDataCodePoint('a'));
  EXPECT_EQ(0x178u, FoldDataCodePoint(0xFF));     // ÿ
  EXPECT_EQ(0x100u, FoldDataCodePoint(0x101));    // ā
  EXPECT_EQ(0x139u, FoldDataCodePoint(0x13A));    // ĺ
  EXPECT_EQ(0x3A3u, FoldDataCodePoint(0x3C2));    // final sigma
  EXPECT_EQ(0x401u, FoldDataCodePoint(0x451));    // ё
  EXPECT_EQ(0x531u, FoldDataCodePoint(0x561));    // Armenian
  EXPECT_EQ(0xDFu, FoldDataCodePoint(0xDF));      // ß stays
  EXPECT_EQ(0xF7u, FoldDataCodePoint(0xF7));      // ÷ is no letter
  // '/' sorts before any character: "a", then all of "a/...", then "a!".
  EXPECT_LT(CompareDataNames("a", 1, "a/z", 3), 0);
  EXPECT_LT(CompareDataNames("a/z", 3, "a!", 2), 0);
  EXPECT_EQ(0, CompareDataNames("A/B", 3, "a/b", 3));
}

// Folders are remembered by their parent and name: names that alternate
// between two deep branches, and folders that share a component's bytes
// at several depths, all extract where they belong.
TEST_F(DataSoundness, DeepTreesInAnyOrderExtract) {
  std::string left, right;
  for (int i = 0; i < 100; ++i) left += "l/", right += "r/";
  std::vector<DataArchiveItem> items;
  for (int i = 0; i < 10; ++i) {
    items.push_back(File(left + "f" + std::to_string(i)));
    items.push_back(File(right + "f" + std::to_string(i)));
  }
  ASSERT_EQ(0u, Open(Build(items))) << Message();
  ASSERT_EQ(0u, PxqDataExtractAll(data, target.c_str(), nullptr, nullptr)) << Message();
  EXPECT_TRUE(Exists(target + "/" + left + "f9"));
  EXPECT_TRUE(Exists(target + "/" + right + "f0"));
}

// The dictionary: above what pack writes, or above what the stream that the
// index declares needs, the archive is refused when it is opened.
TEST_F(DataSoundness, ADictionaryLargerThanTheStreamNeedsIsRefused) {
  uint64_t at = 0;
  std::vector<uint8_t> file = Build({File("a.txt", "alpha"), File("b.txt", "beta")}, &at);
  const size_t dictionary = at + ARCHIVE_HEADER_SIZE + CHECK_PAIR_SIZE + 1;
  ASSERT_EQ(4096u, ReadLe32(file.data() + dictionary));  // the stream is far below 4 KiB
  ASSERT_EQ(0u, Open(file)) << Message();

  const struct {
    uint32_t dictionary;
    const char* words;
  } kCases[] = {{0xFFFFFFF0u, "more than pxq pack ever writes"},
                {(1536u << 20) + 1, "more than pxq pack ever writes"},
                {1u << 20, "more than its stream of"},
                {8192, "more than its stream of"}};
  for (const auto& test : kCases) {
    std::vector<uint8_t> bad = file;
    WriteLe32(bad.data() + dictionary, test.dictionary);
    EXPECT_EQ(13u, Open(bad)) << test.dictionary;
    EXPECT_NE(std::string::npos, Message().find(test.words)) << Message();
  }
}

// A locator of a format this reader does not know is a newer pxq's, not the
// lack of a data archive.
TEST_F(DataSoundness, ALocatorOfANewerFormatSaysSo) {
  std::vector<uint8_t> file = Build({File("a.txt")});
  WriteLe32(file.data() + archiveoffset + 4, 2);
  EXPECT_EQ(50u, Open(file));
  EXPECT_NE(std::string::npos, Message().find("newer pxq")) << Message();
  EXPECT_NE(std::string::npos, Message().find("format 2")) << Message();
}

// The end of the stream and the trailer: extracting everything gives the
// verdict that verifying gives, for each fault at the end.
TEST_F(DataSoundness, ExtractionAndVerificationAgreeOnTheEnd) {
  std::vector<DataArchiveItem> items = {File("a.txt", "alpha alpha"), File("b.txt", "beta beta")};
  std::vector<uint8_t> good = Build(items);

  // An entry after the last indexed one: the index of the first item only,
  // the stream of both.
  std::vector<uint8_t> index, unused;
  std::vector<PackageEntry> one, both;
  size_t failed = 0;
  std::vector<uint8_t> extra = LoaderOnly();
  uint64_t at = extra.size();
  ASSERT_EQ(0u, BuildDataIndex({items[0]}, &index, &one, &failed));
  ASSERT_EQ(0u, BuildDataIndex(items, &unused, &both, &failed));
  both.insert(both.begin(), MakeEntry(DATA_INDEX_ID, index));
  PackageOptions options = SmallOptions();
  options.headermagic = DATA_ARCHIVE_MAGIC;
  options.entrycrc = true;
  options.dictionarysize = 0;  // sized to the stream, as pack sizes it
  ASSERT_EQ(0u, WriteArchiveTo(both, options, [&](const uint8_t* bytes, size_t count) -> uint32_t {
    extra.insert(extra.end(), bytes, bytes + count);
    return 0;
  }));
  EncodeDataLocator(at, extra.data() + archiveoffset);

  std::vector<uint8_t> notrailer = good;
  notrailer[notrailer.size() - 16] ^= 0xFF;
  std::vector<uint8_t> noword = good;
  noword[noword.size() - 1] = 1;
  const struct {
    const char* name;
    std::vector<uint8_t> file;
  } kCases[] = {
      {"an entry after the last indexed one", extra},
      {"a wrong trailer magic", notrailer},
      {"a trailer with a nonzero word", noword},
      {"no trailer", std::vector<uint8_t>(good.begin(), good.end() - 16)},
      {"cut by 1 byte", std::vector<uint8_t>(good.begin(), good.end() - 1)},
      {"cut by 17 bytes", std::vector<uint8_t>(good.begin(), good.end() - 17)},
  };
  ASSERT_EQ(0u, Open(good));
  ASSERT_EQ(0u, PxqDataVerify(data, nullptr, nullptr)) << Message();
  ASSERT_EQ(0u, PxqDataExtractAll(data, target.c_str(), nullptr, nullptr)) << Message();
  for (const auto& test : kCases) {
    ASSERT_EQ(0u, Open(test.file)) << test.name << ": " << Message();
    uint32_t verified = PxqDataVerify(data, nullptr, nullptr);
    std::string verifymessage = Message();
    uint32_t extracted = PxqDataExtractAll(data, dir.File("t").c_str(), nullptr, nullptr);
    EXPECT_NE(0u, verified) << test.name;
    EXPECT_EQ(verified, extracted) << test.name << ": " << Message();
    EXPECT_EQ(verifymessage, Message()) << test.name;
  }
}

// A folder where a file goes is named as such.
TEST_F(DataSoundness, AFolderWhereAFileGoesIsNamed) {
  ASSERT_EQ(0u, Open(Build({File("a.txt", "alpha")})));
  ASSERT_EQ(0, mkdir(target.c_str(), 0755));
  ASSERT_EQ(0, mkdir((target + "/a.txt").c_str(), 0755));
  EXPECT_EQ(336u, PxqDataExtractAll(data, target.c_str(), nullptr, nullptr));
  EXPECT_NE(std::string::npos, Message().find("a folder stands where the file goes")) << Message();
  EXPECT_EQ(std::string::npos, Message().find("access denied")) << Message();
}

}  // namespace
