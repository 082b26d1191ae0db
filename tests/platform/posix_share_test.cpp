// Share modes on the host as Windows enforces them: an open that asks for an
// access that an earlier open does not share, or that leaves out one that an
// earlier open holds, is refused with ERROR_SHARING_VIOLATION, in this
// process or another; a file whose image runs can be neither written nor
// deleted until its process has ended.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "package/archive_reader.h"
#include "platform_fixture.h"
#include "support/package_fixture.h"

namespace {

HANDLE OpenShared(const std::string& path, DWORD access, DWORD share, DWORD disposition = OPEN_EXISTING) {
  return Posix().CreateFileA(path.c_str(), access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

const DWORD R = GENERIC_READ, W = GENERIC_WRITE;
const DWORD SR = FILE_SHARE_READ, SW = FILE_SHARE_WRITE, SD = FILE_SHARE_DELETE;

}  // namespace

TEST(ShareModes, AnOpenMustShareWhatTheOthersAskAndAskOnlyWhatTheyShare) {
  ScratchDir dir;
  const std::string path = dir.File("file");
  struct Case {
    DWORD firstaccess, firstshare, secondaccess, secondshare;
    bool allowed;
  } cases[] = {
      {R, SR, R, SR, true},            // readers that share reading
      {R, SR, W, SR | SW, false},      // the first does not share writing
      {R, SR | SW, W, SR | SW, true},
      {W, 0, R, SR | SW | SD, false},  // the extraction's writer shares nothing
      {R, SR, R, 0, false},            // the second would deny what the first holds
      {R, SR | SW, R, SR, true},       // ... it may deny writing, which nobody holds
      {W, SR, R, SR, false},           // the first writes, the second will not share that
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.firstaccess << "/" << c.firstshare << " then " << c.secondaccess << "/"
                                    << c.secondshare);
    WriteFileText(path, "data");
    HANDLE first = OpenShared(path, c.firstaccess, c.firstshare);
    ASSERT_NE(INVALID_HANDLE_VALUE, first);
    HANDLE second = OpenShared(path, c.secondaccess, c.secondshare);
    if (c.allowed) {
      EXPECT_NE(INVALID_HANDLE_VALUE, second);
      Posix().CloseHandle(second);
    } else {
      EXPECT_EQ(INVALID_HANDLE_VALUE, second);
      EXPECT_EQ(ERROR_SHARING_VIOLATION, Posix().GetLastError());
    }
    EXPECT_TRUE(Posix().CloseHandle(first));
    // Once the first is closed, the second open goes through.
    second = OpenShared(path, c.secondaccess, c.secondshare);
    EXPECT_NE(INVALID_HANDLE_VALUE, second);
    Posix().CloseHandle(second);
  }
}

TEST(ShareModes, DeletionNeedsEveryOpenToShareIt) {
  ScratchDir dir;
  const std::string path = dir.File("file");
  WriteFileText(path, "data");
  HANDLE reader = OpenShared(path, R, SR);
  ASSERT_NE(INVALID_HANDLE_VALUE, reader);
  EXPECT_FALSE(Posix().DeleteFileA(path.c_str()));
  EXPECT_EQ(ERROR_SHARING_VIOLATION, Posix().GetLastError());
  EXPECT_TRUE(FileExists(path));
  Posix().CloseHandle(reader);

  reader = OpenShared(path, R, SR | SD);
  ASSERT_NE(INVALID_HANDLE_VALUE, reader);
  EXPECT_TRUE(Posix().DeleteFileA(path.c_str()));
  Posix().CloseHandle(reader);
}

TEST(ShareModes, AnotherProcessesOpenCountsToo) {
  ScratchDir dir;
  const std::string path = dir.File("file");
  WriteFileText(path, "data");
  int ready[2], done[2];
  ASSERT_EQ(0, pipe(ready));
  ASSERT_EQ(0, pipe(done));
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    HANDLE held = OpenShared(path, R, SR);
    char byte = held != INVALID_HANDLE_VALUE ? 'y' : 'n';
    (void)!write(ready[1], &byte, 1);
    (void)!read(done[0], &byte, 1);
    _exit(0);
  }
  char byte = 0;
  ASSERT_EQ(1, read(ready[0], &byte, 1));
  ASSERT_EQ('y', byte);
  EXPECT_EQ(INVALID_HANDLE_VALUE, OpenShared(path, W, SR | SW | SD, CREATE_ALWAYS));
  EXPECT_EQ(ERROR_SHARING_VIOLATION, Posix().GetLastError());
  EXPECT_EQ("data", ReadFileText(path));  // refused before anything was truncated
  EXPECT_FALSE(Posix().DeleteFileA(path.c_str()));
  EXPECT_EQ(1, write(done[1], "x", 1));
  int status = 0;
  waitpid(child, &status, 0);
  HANDLE writer = OpenShared(path, W, 0, CREATE_ALWAYS);
  EXPECT_NE(INVALID_HANDLE_VALUE, writer);
  Posix().CloseHandle(writer);
  for (int fd : {ready[0], ready[1], done[0], done[1]}) close(fd);
}

// Two runs whose temporary names collide: the second extraction must not
// rewrite, and its removal must not delete, the copy the first one runs.
TEST(ShareModes, ACopyWhoseImageRunsIsNeitherRewrittenNorDeleted) {
  ScratchDir dir;
  const std::string copy = dir.File("setup-1A2C.exe");
  WriteFileText(copy, "#!/bin/sh\nexec sleep 30\n");
  ASSERT_EQ(0, chmod(copy.c_str(), 0700));
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  std::string line = "\"" + copy + "\"";
  ASSERT_TRUE(Posix().CreateProcessA(copy.c_str(), &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                                     &process));

  const std::string package = dir.File("package");
  WriteFileBytes(package, BuildArchive({MakeEntry(GenericInstallerId, PatternBytes(100, 1))}));
  const Platform* previous = UsePlatform(PosixPlatform());
  uint32_t code = 0;
  EXPECT_EQ(0u, ExtractPackageEntry(package.c_str(), 0, GENERIC_INSTALLER_ID_LOW, INSTALLER_ID_HIGH, copy.c_str(),
                                    &code));
  UsePlatform(previous);
  EXPECT_EQ(ERROR_SHARING_VIOLATION, code);
  EXPECT_FALSE(Posix().DeleteFileA(copy.c_str()));
  EXPECT_EQ(ERROR_SHARING_VIOLATION, Posix().GetLastError());
  EXPECT_EQ("#!/bin/sh\nexec sleep 30\n", ReadFileText(copy));

  // Once the process has ended, the file is free.
  kill(static_cast<pid_t>(process.dwProcessId), SIGKILL);
  HANDLE handles[1] = {process.hProcess};
  EXPECT_EQ(WAIT_OBJECT_0, Posix().MsgWaitForMultipleObjects(1, handles, FALSE, INFINITE, 0x4BF));
  EXPECT_TRUE(Posix().DeleteFileA(copy.c_str()));
  Posix().CloseHandle(process.hThread);
  Posix().CloseHandle(process.hProcess);
}
