// PxqLoaderInvocation: which source names the loader file, and which
// arguments are the user's own. This test program runs itself with each
// command line and environment; and the example installer, which parses
// /S and /D= with it, runs started by a loader's rule and started directly.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

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

const char kSelf[] = "LoaderInvocation.SaysWhichArgumentsAreTheUsers";

void WriteLoader(const std::string& path) { WriteFileBytes(path, LoaderWithData({DataFile("docs/readme.txt", "hi\n")})); }

// Runs `program` with `arguments`, PXQ_LOADER_PATH set to `variable` (null:
// unset) and `extra` in its environment; its exit code, or -1.
int RunWith(const std::string& program, const std::vector<std::string>& arguments, const char* variable,
        const std::string& extra = "") {
  fflush(nullptr);
  pid_t child = fork();
  if (child == 0) {
    if (variable != nullptr)
      setenv("PXQ_LOADER_PATH", variable, 1);
    else
      unsetenv("PXQ_LOADER_PATH");
    if (!extra.empty()) putenv(const_cast<char*>(extra.c_str()));
    std::vector<char*> argv;
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(126);
  }
  int status = 0;
  if (waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

TEST(LoaderInvocation, SaysWhichArgumentsAreTheUsers) {
  if (const char* out = getenv("PXQ_TEST_INVOCATION")) {
    uint32_t source = 99;
    int first = -1, count = -1;
    uint32_t code = PxqLoaderInvocation(&source, &first, &count);
    WriteFileText(out, std::to_string(code) + " " + std::to_string(source) + " " + std::to_string(first) + " " +
                           std::to_string(count));
    _exit(0);
  }
  ScratchDir dir;
  const std::string loader = dir.File("setup.exe");
  WriteLoader(loader);
  const std::string other = dir.File("readme.txt");
  WriteFileText(other, "a file, but not a loader file; long enough to hold a stamp if it were one........");
  const std::string filter = std::string("--gtest_filter=") + kSelf;
  const std::string out = dir.File("invocation.txt");
  const std::string self = "/proc/self/exe";
  // The test program's own first argument (the filter) counts among the
  // user's: first 1, and the count includes it.
  const struct {
    const char* name;
    std::vector<std::string> arguments;  // after the program's name and the filter
    const char* variable;
    const char* expected;  // code, source, first, count
  } kCases[] = {
      {"the loader's path last", {"/S", "/D=C:\\Acme", loader}, nullptr, "0 2 1 3"},
      {"started directly: /D= is not the loader", {"/S", "/D=C:\\Direct"}, nullptr, "0 0 1 3"},
      {"a file last that is no loader file", {"/S", other}, nullptr, "0 0 1 3"},
      {"no argument of the user's", {loader}, nullptr, "0 2 1 1"},
      {"the variable: all arguments are the user's", {"/S", "/D=C:\\Acme Custom"}, "C:\\setup.exe", "0 1 1 3"},
      {"the variable, and a loader file last all the same", {"/D=x", loader}, "C:\\setup.exe", "0 1 1 3"},
      {"an empty variable is none", {"/S", loader}, "", "0 2 1 2"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> arguments = {"installer_tests", filter};
    arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
    ASSERT_EQ(0, RunWith(self, arguments, c.variable, "PXQ_TEST_INVOCATION=" + out));
    EXPECT_EQ(c.expected, ReadFileText(out));
  }
}

// The example installer reads its /S and /D= through the call.
TEST(LoaderInvocation, TheExampleTakesItsOptionsAndNeverTheLoaderForOne) {
  const std::string example = std::string(PXQ_BIN_DIR) + "/pxq_example_installer";
  ASSERT_EQ(0, access(example.c_str(), X_OK)) << example;
  ScratchDir dir;
  const std::string loader = dir.File("setup.exe");
  WriteLoader(loader);
  const std::string target = dir.File("Acme Custom");
  // Started as the loader starts it: the path last.
  EXPECT_EQ(0, RunWith(example, {"setup", "/S", "/D=" + target, loader}, nullptr));
  EXPECT_EQ("hi\n", ReadFileText(target + "/docs/readme.txt"));
  // Packed with --loader-path environment: the line ends with /D=.
  const std::string second = dir.File("second");
  EXPECT_EQ(0, RunWith(example, {"setup", "/D=" + second}, loader.c_str()));
  EXPECT_EQ("hi\n", ReadFileText(second + "/docs/readme.txt"));
  // Started directly: /D= names the target, not a loader file; it says so
  // and makes nothing.
  const std::string direct = dir.File("direct");
  EXPECT_EQ(2, RunWith(example, {"setup", "/D=" + direct}, nullptr));
  EXPECT_FALSE(FileExists(direct));
  // An option it does not know.
  EXPECT_EQ(87, RunWith(example, {"setup", "/X", "/D=" + direct, loader}, nullptr));
}

}  // namespace
