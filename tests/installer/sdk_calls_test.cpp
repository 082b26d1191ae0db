// The installer library's calls as an installer author meets them: finding
// names letter case aside, as Windows compares them, a target whose parents are missing, a
// message after every failing call, worded once, and the version.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <functional>
#include <string>
#include <vector>

#include "package/records.h"
#include "platform/filetime.h"
#include "pxq/installer_data.h"
#include "support/data_fixture.h"
#include "support/file_bytes.h"
#include "support/package_fixture.h"
#include "support/scratch_dir.h"
#include "tools/writer/writer.h"

namespace {

struct SdkCalls : ::testing::Test {
  ScratchDir dir;
  std::string loader = dir.File("setup.exe");
  PxqData* data = nullptr;

  ~SdkCalls() override { PxqDataClose(data); }

  void Open(const std::vector<DataArchiveItem>& items) {
    WriteFileBytes(loader, LoaderWithData(items));
    ASSERT_EQ(0u, PxqDataOpen(loader.c_str(), &data)) << PxqDataMessage(data);
  }

  std::string Message() const { return PxqDataMessage(data); }
};

TEST_F(SdkCalls, FindTakesAnyLetterCaseAndPrefersTheVeryName) {
  Open({DataFile("Docs/ReadMe.txt", "readme"), DataFile("\xD0\xA4\xD0\xB0\xD0\xB9\xD0\xBB.txt", "cyrillic"),
        DataFile("same", "lower"), DataFile("SAME", "upper")});
  PxqDataEntry entry;
  ASSERT_EQ(0u, PxqDataFind(data, "docs/readme.TXT", &entry)) << Message();
  EXPECT_EQ(1u, entry.number);
  ASSERT_EQ(0u, PxqDataFind(data, "\xD1\x84\xD0\x90\xD0\x99\xD0\x9B.TXT", &entry)) << Message();
  EXPECT_EQ(2u, entry.number);
  // An older archive may hold both: the very bytes win.
  ASSERT_EQ(0u, PxqDataFind(data, "SAME", &entry));
  EXPECT_EQ(4u, entry.number);
  ASSERT_EQ(0u, PxqDataFind(data, "same", &entry));
  EXPECT_EQ(3u, entry.number);
  EXPECT_EQ(2u, PxqDataFind(data, "docs/readme", &entry));
  EXPECT_EQ("the data archive holds no entry named docs/readme (error 2)", Message());
  // The one-entry calls find it alike.
  std::string out = dir.File("copy.txt");
  ASSERT_EQ(0u, PxqDataExtractTo(data, "DOCS/README.TXT", out.c_str())) << Message();
  EXPECT_EQ("readme", ReadFileText(out));
}

TEST_F(SdkCalls, MakesTheTargetWithItsMissingParents) {
  Open({DataFile("a/b.txt", "b")});
  std::string target = dir.File("one/two/three");
  ASSERT_EQ(0u, PxqDataExtractAll(data, target.c_str(), nullptr, nullptr)) << Message();
  EXPECT_EQ("b", ReadFileText(target + "/a/b.txt"));
  // A file on the way: the message names that file, not the target.
  WriteFileText(dir.File("plain"), "x");
  EXPECT_EQ(183u, PxqDataExtractAll(data, dir.File("plain/sub/target").c_str(), nullptr, nullptr));
  EXPECT_EQ("cannot make the folder " + dir.File("plain") + ": a file or link stands where a folder goes (error 183)",
            Message());
  EXPECT_FALSE(FileExists(dir.File("plain/sub")));
}

// Every failing call leaves a message, and says each thing once; a call
// that succeeds clears it.
TEST_F(SdkCalls, EveryFailingCallLeavesAMessageWordedOnce) {
  Open({DataFile("a.txt", "a"), DataFile("b.txt", "b")});
  PxqDataEntry entry;
  const std::string out = dir.File("out");
  const struct {
    std::function<uint32_t()> call;
    uint32_t code;
    const char* message;
  } kCases[] = {
      {[&] { return PxqDataEntryAt(data, 0, &entry); }, 87,
       "there is no entry 0: the data archive's entries are numbered 1 to 2 (error 87)"},
      {[&] { return PxqDataEntryAt(data, 3, &entry); }, 87,
       "there is no entry 3: the data archive's entries are numbered 1 to 2 (error 87)"},
      {[&] { return PxqDataEntryAt(data, 1, nullptr); }, 87, "PxqDataEntryAt was given no entry to fill in (error 87)"},
      {[&] { return PxqDataFind(data, "a.txt", nullptr); }, 87, "PxqDataFind was given no entry to fill in (error 87)"},
      {[&] { return PxqDataExtractAll(data, nullptr, nullptr, nullptr); }, 87,
       "no target folder was given to extract into (error 87)"},
      {[&] { return PxqDataExtractAllEx(data, out.c_str(), 0x80, nullptr, nullptr); }, 87,
       "PxqDataExtractAllEx was given flags it does not know (error 87)"},
      {[&] { return PxqDataExtractTo(data, "a.txt", nullptr); }, 87, "no file was given to extract to (error 87)"},
      {[&] { return PxqDataExtractStream(data, "a.txt", nullptr, nullptr); }, 87,
       "no sink was given to receive the data (error 87)"},
      {[&] {
         return PxqDataExtractAll(data, out.c_str(), [](void*, uint64_t, uint64_t, const PxqDataEntry*) { return 1; },
                                  nullptr);
       },
       1223, "the extraction was cancelled (error 1223)"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.message);
    EXPECT_EQ(c.code, c.call());
    EXPECT_EQ(c.message, Message());
    EXPECT_EQ(0u, PxqDataEntryAt(data, 1, &entry));
    EXPECT_EQ("", Message());
  }
  // Opening without a path gives a handle for the message too.
  PxqData* unopened = nullptr;
  EXPECT_EQ(87u, PxqDataOpen(nullptr, &unopened));
  EXPECT_STREQ("PxqDataOpen was given no path of a loader file (error 87)", PxqDataMessage(unopened));
  PxqDataClose(unopened);
}

// The header's version is the library's, and the project's.
TEST(SdkVersion, TheHeaderTheLibraryAndTheProjectAgree) {
  EXPECT_EQ(PXQ_DATA_VERSION_NUMBER, PxqDataVersion());
  EXPECT_STREQ(PXQ_VERSION_TEXT, PXQ_DATA_VERSION);
  unsigned major = 0, minor = 0, patch = 0;
  ASSERT_EQ(3, sscanf(PXQ_DATA_VERSION, "%u.%u.%u", &major, &minor, &patch));
  EXPECT_EQ((major << 16) | (minor << 8) | patch, PxqDataVersion());
}

}  // namespace
