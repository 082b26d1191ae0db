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
#include "support/data_fixture.h"
#include "support/file_bytes.h"
#include "support/package_fixture.h"
#include "support/scratch_dir.h"
#include "tools/writer/writer.h"

namespace {

bool Exists(const std::string& path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0;
}

struct DataSoundness : ::testing::Test {
  ScratchDir dir;
  std::string loader = dir.File("setup.exe");
  std::string target = dir.File("target");
  PxqData* data = nullptr;

  ~DataSoundness() override { PxqDataClose(data); }

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
      {{DataFile("a.txt"), DataFile("b.txt"), DataFile("a.txt")}, "is given twice"},
      {{DataFile("Readme.TXT"), DataFile("readme.txt")}, "letter case"},
      {{DataFolder("docs"), DataFolder("DOCS")}, "letter case"},
      // ÀÉÎ with àéî; Greek with an accented capital; Cyrillic; fullwidth Latin.
      {{DataFile("\xC3\x80\xC3\x89\xC3\x8E.txt"), DataFile("\xC3\xA0\xC3\xA9\xC3\xAE.txt")}, "letter case"},
      {{DataFile("\xCE\x86\xCE\xBB\xCF\x86\xCE\xB1"), DataFile("\xCE\xAC\xCE\xBB\xCF\x86\xCE\xB1")}, "letter case"},
      {{DataFile("\xD0\xA4\xD0\xB0\xD0\xB9\xD0\xBB"), DataFile("\xD1\x84\xD0\x90\xD0\x99\xD0\x9B")}, "letter case"},
      {{DataFile("\xEF\xBC\xA1"), DataFile("\xEF\xBD\x81")}, "letter case"},
      {{DataFile("a"), DataFile("a/b")}, "both a file and a folder"},
      {{DataFile("bin"), DataFile("BIN/tool/x.dll")}, "both a file and a folder"},
      {{DataFile("a"), DataFolder("a")}, "is given twice"},
  };
  for (const auto& test : kCases) {
    std::string shown = test.items.front().name + " / " + test.items.back().name;
    ASSERT_EQ(0u, Open(LoaderWithData(test.items))) << shown << ": " << Message();
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
  ASSERT_EQ(0u, Open(LoaderWithData({DataFile("a.txt", "first"), DataFile("A.TXT", "second")})));
  EXPECT_EQ(123u, PxqDataExtractTo(data, "a.txt", dir.File("one").c_str()));
  EXPECT_FALSE(Exists(dir.File("one")));
  auto sink = [](void*, const void*, size_t) -> uint32_t { return 0; };
  EXPECT_EQ(123u, PxqDataExtractStream(data, "A.TXT", sink, nullptr));
}

// Names that Windows keeps apart stay sound: letter case is folded one code
// point to one, so "ß" is no "SS"; names that merely begin alike, and a
// folder whose contents are named in another case, clash with nothing.
TEST_F(DataSoundness, NamesThatWindowsKeepsApartAreSound) {
  std::vector<DataArchiveItem> items = {DataFolder("a"), DataFile("A/b"), DataFile("a.b"), DataFile("ab"), DataFile("a!"),
                                        DataFile("Stra\xC3\x9F" "e"), DataFile("STRASSE"), DataFile("\xC3\xB7"),
                                        DataFile("\xC3\x97")};
  ASSERT_EQ(0u, Open(LoaderWithData(items))) << Message();
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
    items.push_back(DataFile(left + "f" + std::to_string(i)));
    items.push_back(DataFile(right + "f" + std::to_string(i)));
  }
  ASSERT_EQ(0u, Open(LoaderWithData(items))) << Message();
  ASSERT_EQ(0u, PxqDataExtractAll(data, target.c_str(), nullptr, nullptr)) << Message();
  EXPECT_TRUE(Exists(target + "/" + left + "f9"));
  EXPECT_TRUE(Exists(target + "/" + right + "f0"));
}

// The dictionary: above what pack writes, or above what the stream that the
// index declares needs, the archive is refused when it is opened.
TEST_F(DataSoundness, ADictionaryLargerThanTheStreamNeedsIsRefused) {
  uint64_t at = 0;
  std::vector<uint8_t> file = LoaderWithData({DataFile("a.txt", "alpha"), DataFile("b.txt", "beta")}, &at);
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
  std::vector<uint8_t> file = LoaderWithData({DataFile("a.txt")});
  WriteLe32(file.data() + kDataArchiveOffset + 4, DATA_LOCATOR_FORMAT_NEWEST + 1);
  EXPECT_EQ(50u, Open(file));
  EXPECT_NE(std::string::npos, Message().find("newer pxq")) << Message();
  EXPECT_NE(std::string::npos, Message().find("format 3")) << Message();
}

// The end of the stream and the trailer: extracting everything gives the
// verdict that verifying gives, for each fault at the end.
TEST_F(DataSoundness, ExtractionAndVerificationAgreeOnTheEnd) {
  std::vector<DataArchiveItem> items = {DataFile("a.txt", "alpha alpha"), DataFile("b.txt", "beta beta")};
  std::vector<uint8_t> good = LoaderWithData(items);

  // An entry after the last indexed one.
  std::vector<uint8_t> extra = LoaderWithUnindexedEntry(items);

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
  ASSERT_EQ(0u, Open(LoaderWithData({DataFile("a.txt", "alpha")})));
  ASSERT_EQ(0, mkdir(target.c_str(), 0755));
  ASSERT_EQ(0, mkdir((target + "/a.txt").c_str(), 0755));
  EXPECT_EQ(336u, PxqDataExtractAll(data, target.c_str(), nullptr, nullptr));
  EXPECT_NE(std::string::npos, Message().find("a folder stands where the file goes")) << Message();
  EXPECT_EQ(std::string::npos, Message().find("access denied")) << Message();
}

}  // namespace
