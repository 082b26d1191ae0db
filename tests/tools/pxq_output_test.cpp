// What pxq does with the files it is given: outputs that are refused before
// any work, '-' for standard output, and failures of the host's own I/O in
// the host's words, the same in every command.
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/file_bytes.h"
#include "support/package_fixture.h"
#include "support/required.h"
#include "support/scratch_dir.h"
#include "tools_support.h"

namespace {

// A stub, one installer build, and a loader file packed from them.
struct Packed {
  ScratchDir dir;
  std::vector<uint8_t> build = PatternBytes(5000, 3);
  std::string setup = dir.File("setup.exe");
  Packed() {
    WriteFileBytes(dir.File("stub.exe"), TestStub());
    WriteFileBytes(dir.File("build.exe"), build);
    CommandResult pack = RunPxq(PackTo(setup));
    EXPECT_EQ(0, pack.status) << pack.err;
  }
  std::vector<std::string> PackTo(const std::string& output) const {
    return {"pack", "-o", output, "--stub", dir.File("stub.exe"), "--generic", dir.File("build.exe"), "--preset", "0"};
  }
};

void MakeSocket(const std::string& path) {
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  struct sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  ASSERT_LT(path.size(), sizeof address.sun_path);
  memcpy(address.sun_path, path.c_str(), path.size() + 1);
  ASSERT_EQ(0, bind(fd, reinterpret_cast<struct sockaddr*>(&address), sizeof address)) << path;
  close(fd);
}

std::string Kind(const std::string& path) {
  struct stat info;
  if (lstat(path.c_str(), &info) != 0) return "missing";
  if (S_ISLNK(info.st_mode)) return "link";
  if (S_ISDIR(info.st_mode)) return "directory";
  if (S_ISFIFO(info.st_mode)) return "fifo";
  if (S_ISSOCK(info.st_mode)) return "socket";
  if (S_ISCHR(info.st_mode)) return "device";
  return S_ISREG(info.st_mode) ? "file" : "other";
}

TEST(PxqOutput, RefusesWhatIsNotARegularFileBeforeAnyWork) {
  Packed in;
  ASSERT_EQ(0, mkdir(in.dir.File("dir").c_str(), 0755));
  ASSERT_EQ(0, mkfifo(in.dir.File("fifo").c_str(), 0644));
  MakeSocket(in.dir.File("sock"));
  WriteFileText(in.dir.File("target"), "the link's target\n");
  ASSERT_EQ(0, symlink("target", in.dir.File("link").c_str()));
  ASSERT_EQ(0, symlink("nowhere", in.dir.File("dangling").c_str()));

  const std::string link = "is a symbolic link; pxq neither replaces a link nor writes through it: name the file itself";
  struct Case {
    std::string name;
    std::string kind;
    std::string message;
  };
  std::vector<Case> cases = {
      {"dir", "directory", "Is a directory"},
      {"fifo", "fifo", "is a FIFO, not a regular file"},
      {"sock", "socket", "is a socket, not a regular file"},
      {"link", "link", link},
      {"dangling", "link", link},
      {"missing/out", "missing", "No such file or directory"},
  };
  // A device node of our own (as /dev/null), where we may make one (root).
  if (mknod(in.dir.File("dev").c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0)
    cases.push_back({"dev", "device", "is a character device, not a regular file"});
  for (const auto& c : cases) {
    std::string output = in.dir.File(c.name);
    for (const auto& arguments : {in.PackTo(output),
                                  std::vector<std::string>{"extract", in.setup, "--generic", "-o", output},
                                  std::vector<std::string>{"tag", "--pad", "-o", output, in.setup, "campaign"}}) {
      std::vector<std::string> names = DirectoryNames(in.dir.path);
      CommandResult result = RunPxq(arguments);
      EXPECT_EQ(1, result.status) << arguments[0] << " " << c.name;
      EXPECT_EQ("pxq: " + output + ": " + c.message + "\n", result.err) << arguments[0];
      EXPECT_EQ("", result.out) << arguments[0];
      EXPECT_EQ(c.kind, Kind(output)) << arguments[0] << " " << c.name;
      EXPECT_EQ(names, DirectoryNames(in.dir.path)) << arguments[0] << " " << c.name;
    }
  }
  EXPECT_EQ("the link's target\n", ReadFileText(in.dir.File("target")));
}

TEST(PxqOutput, DashIsStandardOutputForPackAndExtract) {
  Packed in;
  std::string temporary = in.dir.File("tmp");
  ASSERT_EQ(0, mkdir(temporary.c_str(), 0700));
  std::string piped = in.dir.File("piped.exe");
  std::vector<std::string> pack = in.PackTo("-");
  std::string line = ShellQuote(PxqPath());
  for (const auto& argument : pack) line += " " + ShellQuote(argument);
  // Through a pipe, as a CI step would use it.
  CommandResult result = RunShell(line + " | cat > " + ShellQuote(piped));
  EXPECT_EQ(0, result.status) << result.err;
  EXPECT_NE(std::string::npos, result.err.find("\nstandard output: ")) << result.err;
  EXPECT_TRUE(ReadFileBytes(piped) == ReadFileBytes(in.setup));


  CommandResult extract = RunShell("TMPDIR=" + ShellQuote(temporary) + " " + ShellQuote(PxqPath()) + " extract " +
                                   ShellQuote(in.setup) + " --generic -o - | od -An -v -tx1");
  EXPECT_EQ(0, extract.status) << extract.err;
  CommandResult expected = RunShell("od -An -v -tx1 " + ShellQuote(in.dir.File("build.exe")));
  EXPECT_EQ(expected.out, extract.out);
  EXPECT_TRUE(DirectoryNames(temporary).empty()) << "the scratch copy was left";

  // tag rewrites at places within its output: it takes no '-'.
  CommandResult tag = RunPxq({"tag", "-o", "-", in.setup, "campaign"});
  EXPECT_EQ(2, tag.status);
  EXPECT_NE(std::string::npos, tag.err.find("-o - is not supported: tag writes a file; name one")) << tag.err;

  // Standard output redirected onto an input: refused (the shell has already emptied it).
  CommandResult onto = RunShell(line + " >>" + ShellQuote(in.dir.File("build.exe")));
  EXPECT_EQ(1, onto.status);
  EXPECT_EQ("pxq: standard output: is also an input; choose another output file\n", onto.err);
  EXPECT_TRUE(ReadFileBytes(in.dir.File("build.exe")) == in.build);
}

// The built stub carries a PE checksum, which is summed over the whole file
// and put in place at the end: through a pipe too.
TEST(PxqOutput, TheRealStubsChecksumThroughAPipe) {
  std::string stub = std::string(PXQ_BIN_DIR) + "/pxq-loader.exe";
  PXQ_NEED_STUB(FileExists(stub), "the Windows stub was not built");
  Packed in;
  std::string temporary = in.dir.File("tmp");
  ASSERT_EQ(0, mkdir(temporary.c_str(), 0700));
  std::string file = in.dir.File("real.exe"), stream = in.dir.File("real-piped.exe");
  std::vector<std::string> real = {"pack", "--stub", stub, "--generic", in.dir.File("build.exe"), "--preset", "0", "-o"};
  std::string base = ShellQuote(PxqPath());
  for (const auto& argument : real) base += " " + ShellQuote(argument);
  EXPECT_EQ(0, RunShell(base + " " + ShellQuote(file)).status);
  CommandResult piped = RunShell("TMPDIR=" + ShellQuote(temporary) + " " + base + " - | cat > " + ShellQuote(stream));
  EXPECT_EQ(0, piped.status) << piped.err;
  EXPECT_TRUE(ReadFileBytes(stream) == ReadFileBytes(file));
  EXPECT_TRUE(DirectoryNames(temporary).empty()) << "the scratch file was left";
}

TEST(PxqOutput, HostFailuresInTheHostsWordsInEveryCommand) {
  Packed in;
  ASSERT_EQ(0, mkdir(in.dir.File("dir").c_str(), 0755));
  ASSERT_EQ(0, mkfifo(in.dir.File("fifo").c_str(), 0644));
  struct Cause {
    std::string name;
    std::string words;
  } causes[] = {
      {"missing", "No such file or directory"},
      {"dir", "Is a directory"},
      // A FIFO is refused at once: no command waits for a writer.
      {"fifo", "is a FIFO, not a regular file"},
      {"setup.exe/inner", "Not a directory"},
  };
  for (const auto& cause : causes) {
    std::string file = in.dir.File(cause.name);
    std::vector<std::vector<std::string>> commands = {
        {"list", file},
        {"extract", file, "--generic", "-o", in.dir.File("out")},
        {"run", file},
        {"pack", "-o", in.dir.File("out"), "--stub", in.dir.File("stub.exe"), "--generic", file},
        {"pack", "-o", in.dir.File("out"), "--stub", file, "--generic", in.dir.File("build.exe")},
    };
    for (const auto& arguments : commands) {
      std::string line = "timeout 20 " + ShellQuote(PxqPath());
      for (const auto& argument : arguments) line += " " + ShellQuote(argument);
      CommandResult result = RunShell(line);
      EXPECT_EQ(1, result.status) << line;
      EXPECT_EQ("pxq: " + file + ": " + cause.words + "\n", result.err) << line;
      EXPECT_FALSE(FileExists(in.dir.File("out"))) << line;
    }
  }
}

}  // namespace
