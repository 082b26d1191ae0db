// Files of the posix backend: Windows results and errors over real files.
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include "platform/filetime.h"
#include "platform_fixture.h"

namespace {

HANDLE Open(const std::string& path, DWORD access, DWORD disposition, DWORD flags = FILE_ATTRIBUTE_NORMAL) {
  return Posix().CreateFileA(path.c_str(), access, FILE_SHARE_READ, nullptr, disposition, flags, nullptr);
}

DWORD Position(HANDLE file) { return Posix().SetFilePointer(file, 0, nullptr, FILE_CURRENT); }

struct FileTest : ::testing::Test {
  ScratchDir dir;
};

}  // namespace

TEST_F(FileTest, SetFilePointerFollowsWindowsRules) {
  const std::string path = dir.File("ten");
  WriteFileText(path, "0123456789");
  HANDLE file = Open(path, GENERIC_READ, OPEN_EXISTING);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);

  // Without a high part the distance is signed: 0x80000000 and up are negative.
  const LONG negatives[] = {-1, static_cast<LONG>(0x80000000u), static_cast<LONG>(0xFFFFFFFEu)};
  for (LONG distance : negatives) {
    Posix().SetLastError(0);
    EXPECT_EQ(Posix().SetFilePointer(file, distance, nullptr, FILE_BEGIN), INVALID_SET_FILE_POINTER);
    EXPECT_EQ(Posix().GetLastError(), ERROR_NEGATIVE_SEEK);
  }
  EXPECT_EQ(Position(file), 0u);  // a failed move leaves the position alone
  EXPECT_EQ(Posix().SetFilePointer(file, 3, nullptr, FILE_BEGIN), 3u);
  EXPECT_EQ(Posix().SetFilePointer(file, -5, nullptr, FILE_CURRENT), INVALID_SET_FILE_POINTER);
  EXPECT_EQ(Posix().GetLastError(), ERROR_NEGATIVE_SEEK);
  EXPECT_EQ(Position(file), 3u);
  EXPECT_EQ(Posix().SetFilePointer(file, -4, nullptr, FILE_END), 6u);

  // Position 0xFFFFFFFF is a success that looks like a failure: the last
  // error is cleared so that the caller can tell.
  LONG high = 0;
  Posix().SetLastError(ERROR_ACCESS_DENIED);
  EXPECT_EQ(Posix().SetFilePointer(file, static_cast<LONG>(0xFFFFFFFFu), &high, FILE_BEGIN), 0xFFFFFFFFu);
  EXPECT_EQ(Posix().GetLastError(), ERROR_SUCCESS);
  EXPECT_EQ(high, 0);

  // With a high part the distance is 64 bits, and the high part comes back.
  high = 1;
  EXPECT_EQ(Posix().SetFilePointer(file, 5, &high, FILE_BEGIN), 5u);
  EXPECT_EQ(high, 1);
  // Past 4 GiB a caller without a high part cannot be told the position.
  EXPECT_EQ(Posix().SetFilePointer(file, 0, nullptr, FILE_CURRENT), INVALID_SET_FILE_POINTER);
  EXPECT_EQ(Posix().GetLastError(), ERROR_INVALID_PARAMETER);
  high = -1;
  EXPECT_EQ(Posix().SetFilePointer(file, -1, &high, FILE_END), 9u);
  EXPECT_EQ(high, 0);
  high = -1;
  EXPECT_EQ(Posix().SetFilePointer(file, 0, &high, FILE_BEGIN), INVALID_SET_FILE_POINTER);
  EXPECT_EQ(Posix().GetLastError(), ERROR_NEGATIVE_SEEK);

  EXPECT_EQ(Posix().SetFilePointer(file, 0, nullptr, 7), INVALID_SET_FILE_POINTER);
  EXPECT_EQ(Posix().GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_TRUE(Posix().CloseHandle(file));
  EXPECT_EQ(Posix().SetFilePointer(file, 0, nullptr, FILE_BEGIN), INVALID_SET_FILE_POINTER);
  EXPECT_EQ(Posix().GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(FileTest, GetFileSizeGivesBothHalves) {
  const std::string path = dir.File("big");
  WriteFileText(path, "");
  ASSERT_EQ(truncate(path.c_str(), 0x1FFFFFFFFll), 0);  // sparse
  HANDLE file = Open(path, GENERIC_READ, OPEN_EXISTING);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  DWORD high = 0;
  Posix().SetLastError(ERROR_ACCESS_DENIED);
  EXPECT_EQ(Posix().GetFileSize(file, &high), 0xFFFFFFFFu);
  EXPECT_EQ(high, 1u);
  EXPECT_EQ(Posix().GetLastError(), ERROR_SUCCESS);
  EXPECT_EQ(Posix().GetFileSize(file, nullptr), 0xFFFFFFFFu);
  EXPECT_TRUE(Posix().CloseHandle(file));
  EXPECT_EQ(Posix().GetFileSize(file, &high), INVALID_FILE_SIZE);
  EXPECT_EQ(Posix().GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(FileTest, ReadAndWriteReportCountsAndErrors) {
  const std::string path = dir.File("data");
  HANDLE file = Open(path, GENERIC_WRITE, CREATE_NEW);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  DWORD count = 99;
  EXPECT_TRUE(Posix().WriteFile(file, "abcdef", 6, &count, nullptr));
  EXPECT_EQ(count, 6u);
  char buffer[16] = {};
  // A handle opened for writing only cannot be read.
  EXPECT_FALSE(Posix().ReadFile(file, buffer, sizeof(buffer), &count, nullptr));
  EXPECT_EQ(Posix().GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_EQ(count, 0u);
  EXPECT_TRUE(Posix().CloseHandle(file));

  file = Open(path, GENERIC_READ, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(Posix().ReadFile(file, buffer, sizeof(buffer), &count, nullptr));
  EXPECT_EQ(count, 6u);
  EXPECT_STREQ(buffer, "abcdef");
  // End of file: success with 0 bytes.
  count = 99;
  EXPECT_TRUE(Posix().ReadFile(file, buffer, sizeof(buffer), &count, nullptr));
  EXPECT_EQ(count, 0u);
  EXPECT_FALSE(Posix().WriteFile(file, "x", 1, &count, nullptr));
  EXPECT_EQ(Posix().GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_TRUE(Posix().CloseHandle(file));

  // Closed, foreign and invalid handles.
  const HANDLE wrong[] = {file, INVALID_HANDLE_VALUE, nullptr, Posix().GetProcessHeap()};
  for (HANDLE handle : wrong) {
    EXPECT_FALSE(Posix().ReadFile(handle, buffer, 1, &count, nullptr));
    EXPECT_EQ(Posix().GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(Posix().CloseHandle(handle));
    EXPECT_EQ(Posix().GetLastError(), ERROR_INVALID_HANDLE);
  }
}

TEST_F(FileTest, WriteErrorsAreMapped) {
  // /dev/full fails every write with ENOSPC: ERROR_DISK_FULL.
  HANDLE full = Posix().CreateFileA("/dev/full", GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (full == INVALID_HANDLE_VALUE) GTEST_SKIP() << "no /dev/full";
  DWORD count = 99;
  EXPECT_FALSE(Posix().WriteFile(full, "x", 1, &count, nullptr));
  EXPECT_EQ(Posix().GetLastError(), ERROR_DISK_FULL);
  EXPECT_EQ(count, 0u);
  EXPECT_TRUE(Posix().CloseHandle(full));
}

TEST_F(FileTest, CreateFileRefusesASymbolicLink) {
  const std::string target = dir.File("victim");
  WriteFileText(target, "precious");
  ASSERT_EQ(chmod(target.c_str(), 0644), 0);
  const std::string link = dir.File("setup-1A2C.exe");
  ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);

  const DWORD dispositions[] = {CREATE_ALWAYS, CREATE_NEW, OPEN_ALWAYS, OPEN_EXISTING, TRUNCATE_EXISTING};
  for (DWORD disposition : dispositions) {
    HANDLE file = Open(link, GENERIC_WRITE, disposition);
    EXPECT_EQ(file, INVALID_HANDLE_VALUE) << disposition;
    // CREATE_NEW meets an existing name first.
    EXPECT_EQ(Posix().GetLastError(), disposition == CREATE_NEW ? ERROR_FILE_EXISTS : ERROR_ACCESS_DENIED)
        << disposition;
  }
  EXPECT_EQ(Open(link, GENERIC_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(Posix().GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_EQ(ReadFileText(target), "precious");
  EXPECT_EQ(ModeOf(target), 0644u);

  // A dangling link does not create its target either.
  const std::string dangling = dir.File("dangling");
  ASSERT_EQ(symlink(dir.File("made-through-link").c_str(), dangling.c_str()), 0);
  EXPECT_EQ(Open(dangling, GENERIC_WRITE, CREATE_ALWAYS), INVALID_HANDLE_VALUE);
  EXPECT_EQ(Posix().GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_EQ(access(dir.File("made-through-link").c_str(), F_OK), -1);
}

TEST_F(FileTest, CreateFileWritesNoOtherUsersFileNorAHardLink) {
  // A hard link to a file elsewhere: replacing it would change that file.
  const std::string elsewhere = dir.File("elsewhere");
  const std::string linked = dir.File("linked");
  WriteFileText(elsewhere, "keep me");
  ASSERT_EQ(link(elsewhere.c_str(), linked.c_str()), 0);
  for (DWORD disposition : {DWORD(CREATE_ALWAYS), DWORD(OPEN_ALWAYS), DWORD(OPEN_EXISTING), DWORD(TRUNCATE_EXISTING)}) {
    SCOPED_TRACE(disposition);
    EXPECT_EQ(Open(linked, GENERIC_WRITE, disposition), INVALID_HANDLE_VALUE);
    EXPECT_EQ(Posix().GetLastError(), ERROR_ACCESS_DENIED);
  }
  EXPECT_EQ(ReadFileText(elsewhere), "keep me");
  HANDLE reader = Open(linked, GENERIC_READ, OPEN_EXISTING);  // reading stays allowed
  ASSERT_NE(reader, INVALID_HANDLE_VALUE);
  Posix().CloseHandle(reader);

  // A file that another user owns, planted at the name the copy will take.
  const std::string planted = dir.File("planted");
  WriteFileText(planted, "theirs");
  if (chown(planted.c_str(), 65534, 65534) != 0) GTEST_SKIP() << "changing a file's owner needs root";
  chmod(planted.c_str(), 0666);
  EXPECT_EQ(Open(planted, GENERIC_WRITE, CREATE_ALWAYS), INVALID_HANDLE_VALUE);
  EXPECT_EQ(Posix().GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_EQ(ReadFileText(planted), "theirs");
}

// What the extraction and the removal do to a file planted at the temporary
// name (attributes reset, then a write, then a deletion) must leave a file
// that is not the copy's as it was: refused before anything changes.
TEST_F(FileTest, APlantedFileIsRefusedBeforeAnythingChanges) {
  const std::string elsewhere = dir.File("elsewhere");
  const std::string linked = dir.File("linked");
  WriteFileText(elsewhere, "keep me");
  ASSERT_EQ(chmod(elsewhere.c_str(), 0444), 0);
  ASSERT_EQ(link(elsewhere.c_str(), linked.c_str()), 0);
  EXPECT_FALSE(Posix().SetFileAttributesA(linked.c_str(), FILE_ATTRIBUTE_NORMAL));
  EXPECT_EQ(Posix().GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_EQ(ModeOf(elsewhere), 0444u);

  const std::string planted = dir.File("planted");
  WriteFileText(planted, "theirs");
  ASSERT_EQ(chmod(planted.c_str(), 0444), 0);
  if (chown(planted.c_str(), 65534, 65534) != 0) GTEST_SKIP() << "changing a file's owner needs root";
  EXPECT_FALSE(Posix().SetFileAttributesA(planted.c_str(), FILE_ATTRIBUTE_NORMAL));
  EXPECT_EQ(Posix().GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_EQ(ModeOf(planted), 0444u);
  EXPECT_FALSE(Posix().DeleteFileA(planted.c_str()));
  EXPECT_EQ(Posix().GetLastError(), ERROR_ACCESS_DENIED);
  ASSERT_EQ(chmod(planted.c_str(), 0666), 0);  // not even when it is writable
  EXPECT_FALSE(Posix().DeleteFileA(planted.c_str()));
  EXPECT_EQ(Posix().GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_EQ(ReadFileText(planted), "theirs");
}

TEST_F(FileTest, CreatedFilesAreTheOwnersOnlyWhateverTheUmask) {
  const mode_t masks[] = {0, 022, 0177};
  int index = 0;
  for (mode_t mask : masks) {
    const mode_t previous = umask(mask);
    const std::string path = dir.File("made" + std::to_string(index++));
    HANDLE file = Open(path, GENERIC_WRITE, CREATE_ALWAYS);
    umask(previous);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Posix().GetLastError(), ERROR_SUCCESS);
    EXPECT_TRUE(Posix().CloseHandle(file));
    EXPECT_EQ(ModeOf(path), 0700u) << "umask " << mask;
  }
}

TEST_F(FileTest, DispositionsCreateReplaceAndOpen) {
  const std::string path = dir.File("file");
  WriteFileText(path, "old and long content");
  ASSERT_EQ(chmod(path.c_str(), 0640), 0);

  // CREATE_ALWAYS replaces the content and says that the file existed.
  HANDLE file = Open(path, GENERIC_WRITE, CREATE_ALWAYS);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  EXPECT_EQ(Posix().GetLastError(), ERROR_ALREADY_EXISTS);
  DWORD count;
  EXPECT_TRUE(Posix().WriteFile(file, "new", 3, &count, nullptr));
  EXPECT_TRUE(Posix().CloseHandle(file));
  EXPECT_EQ(ReadFileText(path), "new");
  // Replaced, it is what a created file is: the owner's, and executable.
  EXPECT_EQ(ModeOf(path), 0700u);

  EXPECT_EQ(Open(path, GENERIC_WRITE, CREATE_NEW), INVALID_HANDLE_VALUE);
  EXPECT_EQ(Posix().GetLastError(), ERROR_FILE_EXISTS);

  file = Open(path, GENERIC_READ | GENERIC_WRITE, OPEN_ALWAYS);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  EXPECT_EQ(Posix().GetLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_TRUE(Posix().CloseHandle(file));
  EXPECT_EQ(ReadFileText(path), "new");

  const std::string fresh = dir.File("fresh");
  file = Open(fresh, GENERIC_WRITE, OPEN_ALWAYS);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  EXPECT_EQ(Posix().GetLastError(), ERROR_SUCCESS);
  EXPECT_TRUE(Posix().CloseHandle(file));

  EXPECT_EQ(Open(path, GENERIC_READ, TRUNCATE_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(Posix().GetLastError(), ERROR_INVALID_PARAMETER);
  file = Open(path, GENERIC_WRITE, TRUNCATE_EXISTING);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(Posix().CloseHandle(file));
  EXPECT_EQ(ReadFileText(path), "");
  EXPECT_EQ(Open(dir.File("absent"), GENERIC_WRITE, TRUNCATE_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(Posix().GetLastError(), ERROR_FILE_NOT_FOUND);

  EXPECT_EQ(Open(dir.File("absent"), GENERIC_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(Posix().GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Open(dir.File("no/such/dir"), GENERIC_WRITE, CREATE_ALWAYS), INVALID_HANDLE_VALUE);
  EXPECT_EQ(Posix().GetLastError(), ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(Open("", GENERIC_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(Posix().GetLastError(), ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(Open(path, GENERIC_READ, 0), INVALID_HANDLE_VALUE);
  EXPECT_EQ(Posix().GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(FileTest, DirectoriesAndFifosAreNotOpened) {
  EXPECT_EQ(Open(dir.path, GENERIC_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(Posix().GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_EQ(Open(dir.path, GENERIC_WRITE, CREATE_ALWAYS), INVALID_HANDLE_VALUE);
  EXPECT_EQ(Posix().GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_FALSE(Posix().DeleteFileA(dir.path.c_str()));
  EXPECT_EQ(Posix().GetLastError(), ERROR_ACCESS_DENIED);

  // A FIFO at the name would block an open; it is refused at once.
  const std::string fifo = dir.File("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(Open(fifo, GENERIC_WRITE, CREATE_ALWAYS), INVALID_HANDLE_VALUE);
  EXPECT_EQ(Posix().GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_EQ(Open(fifo, GENERIC_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(Posix().GetLastError(), ERROR_ACCESS_DENIED);
}

TEST_F(FileTest, ReadOnlyAttributeRoundTrip) {
  const std::string path = dir.File("file");
  WriteFileText(path, "content");
  ASSERT_EQ(chmod(path.c_str(), 0664), 0);
  EXPECT_EQ(Posix().GetFileAttributesA(path.c_str()), FILE_ATTRIBUTE_NORMAL);

  EXPECT_TRUE(Posix().SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN));
  EXPECT_EQ(ModeOf(path), 0444u);
  EXPECT_EQ(Posix().GetFileAttributesA(path.c_str()), FILE_ATTRIBUTE_READONLY);
  // Read-only means no writing and no deleting, as on Windows (root included).
  EXPECT_EQ(Open(path, GENERIC_WRITE, CREATE_ALWAYS), INVALID_HANDLE_VALUE);
  EXPECT_EQ(Posix().GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_FALSE(Posix().DeleteFileA(path.c_str()));
  EXPECT_EQ(Posix().GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_EQ(ReadFileText(path), "content");
  HANDLE reader = Open(path, GENERIC_READ, OPEN_EXISTING);
  EXPECT_NE(reader, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(Posix().CloseHandle(reader));

  // Its absence gives the owner back the write bit; nothing else is added.
  EXPECT_TRUE(Posix().SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL));
  EXPECT_EQ(ModeOf(path), 0644u);
  EXPECT_EQ(Posix().GetFileAttributesA(path.c_str()), FILE_ATTRIBUTE_NORMAL);
  EXPECT_TRUE(Posix().SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_ARCHIVE));
  EXPECT_EQ(ModeOf(path), 0644u);

  EXPECT_TRUE(Posix().DeleteFileA(path.c_str()));
  EXPECT_EQ(Posix().GetFileAttributesA(path.c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(Posix().GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(Posix().DeleteFileA(path.c_str()));
  EXPECT_EQ(Posix().GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(Posix().SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL));
  EXPECT_EQ(Posix().GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Posix().GetFileAttributesA(dir.File("no/such").c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(Posix().GetLastError(), ERROR_PATH_NOT_FOUND);

  EXPECT_EQ(Posix().GetFileAttributesA(dir.path.c_str()), FILE_ATTRIBUTE_DIRECTORY);
}

TEST_F(FileTest, AttributesOfALinkNeverReachItsTarget) {
  const std::string target = dir.File("target");
  WriteFileText(target, "x");
  ASSERT_EQ(chmod(target.c_str(), 0444), 0);
  const std::string link = dir.File("link");
  ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
  EXPECT_EQ(Posix().GetFileAttributesA(link.c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
  EXPECT_TRUE(Posix().SetFileAttributesA(link.c_str(), FILE_ATTRIBUTE_NORMAL));
  EXPECT_EQ(ModeOf(target), 0444u);
  // Deleting the link removes the link only.
  EXPECT_TRUE(Posix().DeleteFileA(link.c_str()));
  EXPECT_EQ(ReadFileText(target), "x");
}

TEST_F(FileTest, SetFileTimeSetsTheLastWriteTime) {
  const std::string path = dir.File("timed");
  HANDLE file = Open(path, GENERIC_WRITE, CREATE_ALWAYS);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  struct stat before;
  ASSERT_EQ(stat(path.c_str(), &before), 0);

  const uint64_t when = FileTimeFromUnix(946684800, 123456700);
  FILETIME lastwrite = {static_cast<DWORD>(when), static_cast<DWORD>(when >> 32)};
  EXPECT_TRUE(Posix().SetFileTime(file, nullptr, nullptr, &lastwrite));
  // A zero FILETIME leaves the time as it is.
  FILETIME zero = {0, 0};
  EXPECT_TRUE(Posix().SetFileTime(file, &zero, &zero, &zero));
  EXPECT_TRUE(Posix().CloseHandle(file));

  struct stat after;
  ASSERT_EQ(stat(path.c_str(), &after), 0);
  EXPECT_EQ(after.st_mtim.tv_sec, 946684800);
  EXPECT_EQ(after.st_mtim.tv_nsec, 123456700);
  EXPECT_EQ(after.st_atim.tv_sec, before.st_atim.tv_sec);
  EXPECT_EQ(after.st_atim.tv_nsec, before.st_atim.tv_nsec);

  EXPECT_FALSE(Posix().SetFileTime(file, nullptr, nullptr, &lastwrite));
  EXPECT_EQ(Posix().GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(TempPath, ComesFromTmpdirWithATrailingSlash) {
  const char* saved = getenv("TMPDIR");
  const std::string previous = saved != nullptr ? saved : "";
  const struct {
    const char* tmpdir;  // null: unset
    const char* expected;
  } cases[] = {{"/var/tmp/x", "/var/tmp/x/"}, {"/var/tmp/y/", "/var/tmp/y/"}, {"", "/tmp/"}, {nullptr, "/tmp/"}};
  for (const auto& c : cases) {
    if (c.tmpdir != nullptr) {
      setenv("TMPDIR", c.tmpdir, 1);
    } else {
      unsetenv("TMPDIR");
    }
    char buffer[64];
    const DWORD length = static_cast<DWORD>(strlen(c.expected));
    EXPECT_EQ(Posix().GetTempPathA(sizeof(buffer), buffer), length);
    EXPECT_STREQ(buffer, c.expected);
    // Too small by one: the size needed with the terminator, nothing written.
    memset(buffer, '#', sizeof(buffer));
    EXPECT_EQ(Posix().GetTempPathA(length, buffer), length + 1);
    EXPECT_EQ(buffer[0], '#');
    EXPECT_EQ(Posix().GetTempPathA(0, nullptr), length + 1);
    EXPECT_EQ(Posix().GetTempPathA(length + 1, buffer), length);
    EXPECT_STREQ(buffer, c.expected);
  }
  if (saved != nullptr) {
    setenv("TMPDIR", previous.c_str(), 1);
  } else {
    unsetenv("TMPDIR");
  }
}

TEST(Memory, HeapAndGlobalBlocks) {
  HANDLE heap = Posix().GetProcessHeap();
  EXPECT_NE(heap, nullptr);
  uint8_t* block = static_cast<uint8_t*>(Posix().HeapAlloc(heap, HEAP_ZERO_MEMORY, 4096));
  ASSERT_NE(block, nullptr);
  for (int i = 0; i < 4096; ++i) ASSERT_EQ(block[i], 0) << i;
  EXPECT_TRUE(Posix().HeapFree(heap, 0, block));
  void* empty = Posix().HeapAlloc(heap, HEAP_ZERO_MEMORY, 0);
  EXPECT_NE(empty, nullptr);
  EXPECT_TRUE(Posix().HeapFree(heap, 0, empty));
  // A null heap (a failed GetProcessHeap) gives no block.
  Posix().SetLastError(0);
  EXPECT_EQ(nullptr, Posix().HeapAlloc(nullptr, HEAP_ZERO_MEMORY, 16));
  EXPECT_EQ(ERROR_INVALID_HANDLE, Posix().GetLastError());

  HGLOBAL global = Posix().GlobalAlloc(GMEM_FIXED, 16);
  ASSERT_NE(global, nullptr);
  memcpy(global, "fixed memory", 13);
  EXPECT_EQ(Posix().GlobalFree(global), nullptr);
}
