#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>
#include <vector>

#include "launcher/temporary_copy.h"
#include "launcher_support.h"
#include "platform/testing.h"
#include "support/file_bytes.h"
#include "support/scratch_dir.h"

namespace {

// Forms the path in a buffer of exactly TEMPORARY_PATH_SIZE bytes followed
// by guard bytes, and checks that the guard is untouched and that the result
// is 0 exactly when a path was formed. `result` receives the result.
std::string Form(const std::string& directory, const std::string& ownpath, uint32_t processid,
                 uint32_t* result = nullptr) {
  std::vector<char> buffer(TEMPORARY_PATH_SIZE + 16, '#');
  EXPECT_LT(directory.size(), TEMPORARY_PATH_SIZE);
  std::copy(directory.begin(), directory.end(), buffer.begin());
  buffer[directory.size()] = '\0';
  const uint32_t formed = FormTemporaryPath(buffer.data(), ownpath.c_str(), processid);
  for (size_t i = TEMPORARY_PATH_SIZE; i < buffer.size(); ++i) EXPECT_EQ('#', buffer[i]) << "byte " << i;
  EXPECT_EQ(formed == 0, buffer[0] != '\0') << "result " << formed;
  if (result != nullptr) *result = formed;
  return std::string(buffer.data());
}

}  // namespace

TEST(FormTemporaryPath, BaseNameWithoutItsLastExtension) {
  TestingScope scope;
  struct Case {
    const char* ownpath;
    const char* expected;
  } cases[] = {
      {"D:\\Downloads\\setup.exe", "E:\\Temp\\setup-1A2C.exe"},
      {"D:\\x\\setup", "E:\\Temp\\setup-1A2C.exe"},
      {"D:\\x\\setup.beta.exe", "E:\\Temp\\setup.beta-1A2C.exe"},
      {"D:\\my.files\\setup", "E:\\Temp\\setup-1A2C.exe"},
      {"D:\\x\\SETUP.EXE", "E:\\Temp\\SETUP-1A2C.exe"},
      {"D:\\x\\setup.bin", "E:\\Temp\\setup-1A2C.exe"},
      {"D:\\x\\setup.", "E:\\Temp\\setup-1A2C.exe"},
      {"D:/x/setup.exe", "E:\\Temp\\setup-1A2C.exe"},
      {"D:setup.exe", "E:\\Temp\\setup-1A2C.exe"},
      {"D:\\x\\.exe", "E:\\Temp\\-1A2C.exe"},
      {"setup.exe", "E:\\Temp\\setup-1A2C.exe"},
      {"", "E:\\Temp\\-1A2C.exe"},
      {"D:\\x\\", "E:\\Temp\\-1A2C.exe"},
  };
  for (const Case& c : cases) EXPECT_EQ(c.expected, Form("E:\\Temp\\", c.ownpath, 0x00001A2C)) << c.ownpath;
}

// The base name is appended to the directory text as it stands. Without a
// trailing separator, a base name without an extension leaves the search
// for one to go on into the directory's last component.
TEST(FormTemporaryPath, TheDirectoryTextAsItStands) {
  TestingScope scope;
  struct Case {
    const char* directory;
    const char* ownpath;
    const char* expected;
  } cases[] = {
      {"/tmp/", "/opt/setup.exe", "/tmp/setup-1A2C.exe"},
      {"E:\\Temp", "D:\\x\\setup.exe", "E:\\Tempsetup-1A2C.exe"},
      {"E:\\Temp", "D:\\x\\setup", "E:\\Tempsetup-1A2C.exe"},
      {"E:\\my.tmp", "D:\\x\\setup.exe", "E:\\my.tmpsetup-1A2C.exe"},
      {"E:\\my.tmp", "D:\\x\\setup", "E:\\my-1A2C.exe"},
      {"E:\\my.tmp\\", "D:\\x\\setup", "E:\\my.tmp\\setup-1A2C.exe"},
      {"my.tmp", "setup", "my-1A2C.exe"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(c.expected, Form(c.directory, c.ownpath, 0x1A2C)) << c.directory << " + " << c.ownpath;
}

TEST(FormTemporaryPath, KeyIsTheProcessIdHalvesCombined) {
  TestingScope scope;
  struct Case {
    uint32_t processid;
    const char* key;
  } cases[] = {
      {0x00001A2C, "1A2C"}, {0x12345678, "444C"}, {0x00010000, "0001"}, {0x00000004, "0004"},
      {0xABCD1234, "B9F9"}, {0xFFFFFFFF, "0000"}, {0x00120012, "0000"}, {0x0000ABCD, "ABCD"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(std::string("E:\\Temp\\setup-") + c.key + ".exe", Form("E:\\Temp\\", "D:\\setup.exe", c.processid));
}

TEST(FormTemporaryPath, NeverWritesBeyondTheBuffer) {
  TestingScope scope;
  const std::string own = "D:\\x\\" + std::string(200, 'b') + ".exe";
  // Directory + base + "-XXXX.exe" + terminator exactly fill the buffer.
  const std::string fits(TEMPORARY_PATH_SIZE - 1 - 200 - 10, 'd');
  std::string formed = Form(fits + "\\", own, 0x1A2C);
  EXPECT_EQ(TEMPORARY_PATH_SIZE - 1, formed.size());
  EXPECT_EQ(fits + "\\" + std::string(200, 'b') + "-1A2C.exe", formed);
  // One byte more does not fit: nothing is formed, and the removal step
  // will have nothing to remove.
  uint32_t result = 0;
  EXPECT_EQ("", Form(fits + "d\\", own, 0x1A2C, &result));
  EXPECT_EQ(ERROR_FILENAME_EXCED_RANGE, result);
  EXPECT_EQ("", Form(std::string(TEMPORARY_PATH_SIZE - 1, 'd'), "D:\\s.exe", 0x1A2C));
  // A base name without an extension needs the same room.
  EXPECT_EQ("", Form(fits + "d\\", "D:\\x\\" + std::string(200, 'b'), 0x1A2C));
  EXPECT_EQ(TEMPORARY_PATH_SIZE - 1, Form(fits + "\\", "D:\\x\\" + std::string(200, 'b'), 0x1A2C).size());
}

TEST(FormTemporaryPath, NothingFormedWhenTheSuffixCannotBeWritten) {
  TestingScope scope;
  // The base name is copied without a terminator: the failed format must
  // not leave it so, to be read on into whatever follows.
  // The result is the formatter's error, not that of a path too long; one
  // that fails without an error still fails.
  for (DWORD error : {ERROR_INVALID_PARAMETER, 0u}) {
    Testing().faults = {{Op_wvsprintfA, 1, error}};
    Testing().counts[Op_wvsprintfA] = 0;
    uint32_t result = 0;
    EXPECT_EQ("", Form("E:\\Temp\\", "D:\\x\\setup.exe", 0x1A2C, &result));
    EXPECT_EQ(error != 0 ? error : ERROR_INVALID_DATA, result);
  }
}

TEST(RemoveTemporaryCopy, NothingAtAllWhileThePathIsEmpty) {
  TestingScope scope;
  RemoveTemporaryCopy("");
  EXPECT_TRUE(Testing().calls.empty());
}

// Each attempt resets the attributes first, so that one failed reset does
// not leave a read-only copy. A denial or a sharing violation (the installer
// or a scanner has not let go yet) is retried after a pause, ten attempts at
// most; any other error, a success, or a directory at the name ends it.
TEST(RemoveTemporaryCopy, AttemptsAndPauses) {
  enum Kind { Missing, Plain, ReadOnly, Directory };
  const std::vector<TestingFault> lockedfaults = [] {
    std::vector<TestingFault> faults;
    for (uint32_t n = 1; n <= 10; ++n) faults.push_back({Op_DeleteFileA, n, ERROR_ACCESS_DENIED});
    return faults;
  }();
  struct Case {
    const char* name;
    Kind kind;
    std::vector<TestingFault> faults;
    uint32_t attempts;
    uint32_t asks;    // is it a directory? (after a denial)
    uint32_t pauses;
    bool stays;
  } cases[] = {
      {"a read-only copy goes", ReadOnly, {}, 1, 0, 0, false},
      {"a missing file costs one attempt", Missing, {}, 1, 0, 0, false},
      {"a locked file costs ten attempts and ten pauses", Plain, lockedfaults, 10, 10, 10, true},
      {"denied twice, then it goes",
       Plain, {{Op_DeleteFileA, 1, ERROR_ACCESS_DENIED}, {Op_DeleteFileA, 2, ERROR_ACCESS_DENIED}}, 3, 2, 2, false},
      {"denied, then another error: no pause after it",
       Plain, {{Op_DeleteFileA, 1, ERROR_ACCESS_DENIED}, {Op_DeleteFileA, 2, ERROR_PATH_NOT_FOUND}}, 2, 1, 1, true},
      {"a sharing violation is retried too",
       Plain, {{Op_DeleteFileA, 1, ERROR_SHARING_VIOLATION}, {Op_DeleteFileA, 2, ERROR_SHARING_VIOLATION}}, 3, 0, 2,
       false},
      {"a failed reset is made again", ReadOnly, {{Op_SetFileAttributesA, 1, ERROR_SHARING_VIOLATION}}, 2, 1, 1, false},
      {"a directory is left at once", Directory, {}, 1, 1, 0, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TestingScope scope;
    ScratchDir dir;
    const std::string path = dir.File("setup-0001.exe");
    if (c.kind == Plain || c.kind == ReadOnly) WriteFileText(path, "MZ");
    if (c.kind == ReadOnly) {
      ASSERT_EQ(0, chmod(path.c_str(), 0444));
    }
    if (c.kind == Directory) {
      ASSERT_EQ(0, mkdir(path.c_str(), 0700));
    }
    Testing().faults = c.faults;
    RemoveTemporaryCopy(path.c_str());
    EXPECT_EQ(c.attempts, TestingCount(Op_SetFileAttributesA));
    EXPECT_EQ(c.attempts, TestingCount(Op_DeleteFileA));
    EXPECT_EQ(c.asks, TestingCount(Op_GetFileAttributesA));
    EXPECT_EQ(std::vector<DWORD>(c.pauses, 500), Testing().sleeps);
    EXPECT_EQ(c.stays, FileExists(path));
    EXPECT_TRUE(TestingNothingOpen()) << TestingOpenSummary();
    if (c.kind == Directory) {
      EXPECT_EQ(0, rmdir(path.c_str()));
    }
  }
}

// Reset, attempt, is it a directory?, pause, ...: the pause follows the
// tenth attempt too.
TEST(RemoveTemporaryCopy, EachRoundResetsAttemptsAsksAndPauses) {
  TestingScope scope;
  ScratchDir dir;
  const std::string path = dir.File("locked-0001.exe");
  WriteFileText(path, "MZ");
  for (uint32_t n = 1; n <= 10; ++n) Testing().faults.push_back({Op_DeleteFileA, n, ERROR_ACCESS_DENIED});
  RemoveTemporaryCopy(path.c_str());
  std::vector<std::string> trace = CallTrace(false);
  ASSERT_EQ(40u, trace.size());
  const char* round[] = {"SetFileAttributesA", "DeleteFileA", "GetFileAttributesA", "Sleep"};
  for (size_t i = 0; i < trace.size(); ++i) EXPECT_EQ(round[i % 4], trace[i]) << i;
}
