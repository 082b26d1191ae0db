// Extraction with PXQ_EXTRACT_ROLLBACK over an existing install: when it
// fails (the disk full, a file where a folder goes) or is cancelled, the
// target comes back as it was, every file with its bytes, times and
// permissions, nothing added; when it succeeds, no copy of an old file stays.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "package/records.h"
#include "platform/filetime.h"
#include "platform/types.h"
#include "pxq/installer_data.h"
#include "support/data_fixture.h"
#include "support/file_bytes.h"
#include "support/package_fixture.h"
#include "support/scratch_dir.h"
#include "tools/writer/writer.h"

namespace {

// Everything below a folder that an install may change: per path its kind,
// permissions, size, last-write time to the nanosecond and bytes.
struct Node {
  mode_t mode;
  off_t size;
  long long seconds;
  long nanoseconds;
  std::string bytes;
  bool operator==(const Node& other) const {
    return mode == other.mode && size == other.size && seconds == other.seconds && nanoseconds == other.nanoseconds &&
           bytes == other.bytes;
  }
};
using Snapshot = std::map<std::string, Node>;

void Walk(const std::string& root, const std::string& prefix, Snapshot* out) {
  DIR* dir = opendir((root + prefix).c_str());
  if (dir == nullptr) return;
  while (struct dirent* found = readdir(dir)) {
    std::string name = found->d_name;
    if (name == "." || name == "..") continue;
    std::string path = prefix + "/" + name;
    struct stat info;
    if (lstat((root + path).c_str(), &info) != 0) continue;
    Node node = {info.st_mode, S_ISDIR(info.st_mode) ? 0 : info.st_size, info.st_mtim.tv_sec, info.st_mtim.tv_nsec, ""};
    if (S_ISREG(info.st_mode)) node.bytes = ReadFileText(root + path);
    if (S_ISDIR(info.st_mode)) node.seconds = node.nanoseconds = 0;  // a folder's time follows what it holds
    (*out)[path] = node;
    if (S_ISDIR(info.st_mode)) Walk(root, path, out);
  }
  closedir(dir);
}

Snapshot Take(const std::string& root) {
  Snapshot snapshot;
  Walk(root, "", &snapshot);
  return snapshot;
}

std::string Describe(const Snapshot& before, const Snapshot& after) {
  std::string out;
  for (const auto& [path, node] : before) {
    auto found = after.find(path);
    if (found == after.end()) out += "  lost " + path + "\n";
    else if (!(found->second == node)) out += "  changed " + path + "\n";
  }
  for (const auto& [path, node] : after) {
    if (before.count(path) == 0) out += "  added " + path + "\n";
  }
  return out;
}

void SetTime(const std::string& path, long long seconds, long nanoseconds) {
  struct timespec times[2] = {{0, UTIME_OMIT}, {static_cast<time_t>(seconds), nanoseconds}};
  ASSERT_EQ(0, utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW)) << path;
}

// The new version of the product, entry by entry in archive order: it
// replaces files of the old one (a read-only one too), adds folders and
// files, and ends with `last`.
std::vector<DataArchiveItem> NewVersion(DataArchiveItem last) {
  return {DataFile("app.exe", PatternBytes(3000, 21)),
          DataFolder("plugins"),
          DataFile("plugins/new.dll", PatternBytes(5000, 22)),
          DataFile("docs/readme.txt", TextBytes("version 2\n")),
          DataFile("settings.ini", TextBytes("[v2]\n"), FILE_ATTRIBUTE_READONLY),
          DataFile("added/deeper/file.txt", TextBytes("new\n")),
          DataFile("bin/core.dll", PatternBytes(70000, 23)),
          std::move(last)};
}

struct Rollback : ::testing::Test {
  ScratchDir dir;
  std::string loader = dir.File("setup.exe");
  PxqData* data = nullptr;

  ~Rollback() override { PxqDataClose(data); }

  void Pack(const std::vector<DataArchiveItem>& items) {
    WriteFileBytes(loader, LoaderWithData(items));
    PxqDataClose(data);
    data = nullptr;
    ASSERT_EQ(0u, PxqDataOpen(loader.c_str(), &data)) << PxqDataMessage(data);
  }

  // The old version as an earlier install left it, with times of its own
  // (to the nanosecond), a read-only file and a file of the user's.
  void InstallOldVersion(const std::string& target) {
    ASSERT_EQ(0, mkdir(target.c_str(), 0755));
    ASSERT_EQ(0, mkdir((target + "/docs").c_str(), 0755));
    ASSERT_EQ(0, mkdir((target + "/bin").c_str(), 0750));
    WriteFileBytes(target + "/app.exe", PatternBytes(2000, 11));
    WriteFileText(target + "/docs/readme.txt", "version 1\n");
    WriteFileText(target + "/settings.ini", "[v1]\n");
    WriteFileBytes(target + "/bin/core.dll", PatternBytes(60000, 13));
    WriteFileText(target + "/user-notes.txt", "mine\n");
    ASSERT_EQ(0, chmod((target + "/settings.ini").c_str(), 0444));
    ASSERT_EQ(0, chmod((target + "/app.exe").c_str(), 0755));
    long long second = 1600000000;
    for (const char* name : {"/app.exe", "/docs/readme.txt", "/settings.ini", "/bin/core.dll", "/user-notes.txt"})
      SetTime(target + name, second++, 123456789);
  }
};

// Each way to fail, over the old version: the result, a word of the
// message, and the tree exactly as before.
TEST_F(Rollback, AFailedOrCancelledUpdatePutsTheOldInstallBack) {
  const std::string target = dir.File("product");
  struct Case {
    const char* name;
    DataArchiveItem last;
    const char* cancelat;   // the entry whose progress cancels, or null
    uint32_t expected;
    const char* words;
  } cases[] = {
      {"cancelled at the last entry", DataFile("zz-last.txt", TextBytes("last\n")), "zz-last.txt", 1223,
       "the extraction was cancelled (error 1223); the target folder was put back as it was"},
      {"cancelled within a replaced file", DataFile("zz-last.txt", TextBytes("last\n")), "bin/core.dll", 1223,
       "put back as it was"},
      {"a file where a folder goes", DataFile("user-notes.txt/x", TextBytes("x")), nullptr, 183, "put back as it was"},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.name);
    Pack(NewVersion(c.last));
    InstallOldVersion(target);
    Snapshot before = Take(dir.path);
    // Cancelled at the entry's second call: after its first piece where it
    // has more than one.
    struct Cancel {
      const char* at;
      int calls;
    } cancel = {c.cancelat, 0};
    auto progress = [](void* context, uint64_t, uint64_t, const PxqDataEntry* entry) -> int {
      Cancel* cancel = static_cast<Cancel*>(context);
      return cancel->at != nullptr && std::string(entry->name) == cancel->at && ++cancel->calls == 2;
    };
    EXPECT_EQ(c.expected, PxqDataExtractAllEx(data, target.c_str(), PXQ_EXTRACT_ROLLBACK, progress, &cancel));
    EXPECT_NE(std::string::npos, std::string(PxqDataMessage(data)).find(c.words)) << PxqDataMessage(data);
    EXPECT_EQ("", Describe(before, Take(dir.path)));
    ASSERT_EQ(0, system(("chmod -R u+w '" + target + "' && rm -rf '" + target + "'").c_str()));
  }
}

// A target that did not exist, nor its parents: all of it goes again.
TEST_F(Rollback, FoldersMadeOnTheWayToTheTargetGoAgain) {
  Pack(NewVersion(DataFile("zz-last.txt", TextBytes("last\n"))));
  Snapshot before = Take(dir.path);
  auto cancel = [](void*, uint64_t, uint64_t, const PxqDataEntry* entry) -> int {
    return std::string(entry->name) == "zz-last.txt";
  };
  EXPECT_EQ(1223u, PxqDataExtractAllEx(data, dir.File("a/b/product").c_str(), PXQ_EXTRACT_ROLLBACK, cancel, nullptr));
  Snapshot after = Take(dir.path);
  EXPECT_EQ("", Describe(before, after));
}

// A whole update: the new version in place, the user's file kept, no copy
// of an old file left.
TEST_F(Rollback, ASuccessfulUpdateKeepsNoCopyOfTheOldFiles) {
  const std::string target = dir.File("product");
  InstallOldVersion(target);
  std::vector<DataArchiveItem> items = NewVersion(DataFile("zz-last.txt", TextBytes("last\n")));
  Pack(items);
  ASSERT_EQ(0u, PxqDataExtractAllEx(data, target.c_str(), PXQ_EXTRACT_ROLLBACK, nullptr, nullptr))
      << PxqDataMessage(data);
  Snapshot after = Take(target);
  for (const DataArchiveItem& item : items) {
    if (!item.directory) {
      EXPECT_EQ(std::string(item.data.begin(), item.data.end()), after["/" + item.name].bytes);
    }
  }
  EXPECT_EQ("mine\n", after["/user-notes.txt"].bytes);
  for (const auto& [path, node] : after) EXPECT_EQ(std::string::npos, path.find(".pxq-")) << path;
  EXPECT_EQ(87u, PxqDataExtractAllEx(data, target.c_str(), 0x2, nullptr, nullptr));
}

// The disk fills while the new version's last, largest file is written.
// Two ways: a small tmpfs where one can be mounted (a real ENOSPC), and a
// limit on the size of files the process writes (EFBIG), which needs no
// rights; both reach the library as "the disk is full".
TEST_F(Rollback, TheDiskFullDuringAnUpdatePutsTheOldInstallBack) {
  std::vector<DataArchiveItem> items = NewVersion(DataFile("zz-large.bin", PatternBytes(1 << 20, 24)));
  Pack(items);

  struct Way {
    const char* name;
    bool mount;
  } ways[] = {{"a small tmpfs", true}, {"a limit on file size", false}};
  for (const Way& way : ways) {
    SCOPED_TRACE(way.name);
    const std::string volume = dir.File(way.mount ? "small-volume" : "volume");
    ASSERT_EQ(0, mkdir(volume.c_str(), 0755));
    if (way.mount && mount("pxq-test", volume.c_str(), "tmpfs", 0, "size=512k") != 0) {
      std::cout << "[ NOTE     ] no tmpfs could be mounted here (" << strerror(errno) << "): that way is skipped\n";
      continue;
    }
    const std::string target = volume + "/product";
    InstallOldVersion(target);
    Snapshot before = Take(volume);
    fflush(nullptr);
    pid_t child = fork();
    if (child == 0) {
      if (!way.mount) {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit = {512 * 1024, 512 * 1024};
        setrlimit(RLIMIT_FSIZE, &limit);
      }
      uint32_t code = PxqDataExtractAllEx(data, target.c_str(), PXQ_EXTRACT_ROLLBACK, nullptr, nullptr);
      std::string message = PxqDataMessage(data);
      _exit(code == 112 && message.find("the disk is full") != std::string::npos &&
                    message.find("put back as it was") != std::string::npos
                ? 0
                : code == 0 ? 1 : 2);
    }
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
    EXPECT_EQ("", Describe(before, Take(volume)));
    if (way.mount) {
      EXPECT_EQ(0, umount(volume.c_str())) << strerror(errno);
    }
  }
}

}  // namespace
