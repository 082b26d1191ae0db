// pxq pack --data SRC=DEST and --exclude GLOB: items placed under other
// names and left out, checked against the name rules as any item is; and
// list's columns, padded by display width for names that are not ASCII.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "support/file_bytes.h"
#include "support/scratch_dir.h"
#include "tools/writer/data_inputs.h"
#include "tools_support.h"

namespace {

struct PxqDataPlacement : ::testing::Test {
  ScratchDir dir;
  std::string payload = dir.File("dist");
  std::string setup = dir.File("setup.exe");

  PxqDataPlacement() {
    WriteFileText(dir.File("installer.sh"), "#!/bin/sh\nexit 0\n");
    WriteFileBytes(dir.File("stub.exe"), TestStub());
    for (const char* folder : {"", "/bin", "/docs", "/docs/deep", "/.git", "/obj"}) mkdir((payload + folder).c_str(), 0755);
    WriteFileText(payload + "/bin/app.dll", "app");
    WriteFileText(payload + "/bin/app.pdb", "symbols");
    WriteFileText(payload + "/docs/readme.txt", "read me");
    WriteFileText(payload + "/docs/deep/notes.pdb", "deep symbols");
    WriteFileText(payload + "/.git/HEAD", "ref");
    WriteFileText(payload + "/obj/x.o", "object");
    WriteFileText(dir.File("LICENSE"), "license");
  }

  CommandResult Pack(const std::vector<std::string>& more) {
    std::vector<std::string> arguments = {"pack", "-o", setup, "--stub", dir.File("stub.exe"), "--generic",
                                          dir.File("installer.sh"), "--preset", "0", "-q"};
    arguments.insert(arguments.end(), more.begin(), more.end());
    return RunPxq(arguments);
  }

  std::set<std::string> Names() {
    CommandResult list = RunPxq({"list", "--json", setup});
    EXPECT_EQ(0, list.status) << list.err;
    std::set<std::string> names;
    nlohmann::json report = nlohmann::json::parse(list.out, nullptr, false);
    if (report.is_discarded()) return names;
    for (const nlohmann::json& entry : report["data"]["entries"]) names.insert(entry["name"].get<std::string>());
    return names;
  }
};

TEST_F(PxqDataPlacement, DestinationPlacesFoldersAndFiles) {
  CommandResult pack = Pack({"--data", payload + "/=app/", "--data", dir.File("LICENSE") + "=docs/",
                             "--data", dir.File("installer.sh") + "=tools/setup.sh", "--data", payload + "/docs=manual"});
  ASSERT_EQ(0, pack.status) << pack.err;
  std::set<std::string> expected = {"app/.git", "app/.git/HEAD", "app/bin", "app/bin/app.dll", "app/bin/app.pdb",
                                    "app/docs", "app/docs/deep", "app/docs/deep/notes.pdb", "app/docs/readme.txt",
                                    "app/obj", "app/obj/x.o", "docs/LICENSE", "tools/setup.sh", "manual/deep",
                                    "manual/deep/notes.pdb", "manual/readme.txt"};
  EXPECT_EQ(expected, Names());
  std::string out = dir.File("out");
  ASSERT_EQ(0, RunPxq({"extract", setup, "--data", "-o", out}).status);
  EXPECT_EQ("app", ReadFileText(out + "/app/bin/app.dll"));
  EXPECT_EQ("license", ReadFileText(out + "/docs/LICENSE"));
  EXPECT_EQ("#!/bin/sh\nexit 0\n", ReadFileText(out + "/tools/setup.sh"));

  // A path that holds '=' and exists is a path, as before.
  WriteFileText(dir.File("a=b.txt"), "equals");
  ASSERT_EQ(0, Pack({"--data", dir.File("a=b.txt")}).status);
  EXPECT_EQ(std::set<std::string>{"a=b.txt"}, Names());
}

// DEST goes through the name rules, and placed items may not clash with
// one another: the same name twice, letter case aside, or a file where
// another item needs a folder.
TEST_F(PxqDataPlacement, DestinationsAreCheckedAgainstTheNameRules) {
  std::string license = dir.File("LICENSE");
  const struct {
    std::vector<std::string> arguments;
    const char* words;
  } kCases[] = {
      {{"--data", payload + "=../up"}, "'..' component"},
      {{"--data", license + "=/etc/x"}, "absolute"},
      {{"--data", license + "=C:/x"}, "drive letter"},
      {{"--data", license + "=docs\\x"}, "'\\'"},
      {{"--data", license + "=con.txt"}, "device"},
      {{"--data", license + "=a//b"}, "empty component"},
      {{"--data", license + "=app/bin/APP.DLL", "--data", payload + "=app"}, "letter case"},
      {{"--data", license + "=bin", "--data", payload + "/bin/app.dll=bin/app.dll"}, "a file and a folder"},
      {{"--data", license + "=app", "--data", payload + "=app"}, "a file and a folder"},
      {{"--data", license + "=x", "--data", payload + "/docs/readme.txt=x"}, "gives already"},
      // Letter case beyond ASCII, as Windows folds it: Ä and ä.
      {{"--data", license + "=\xC3\x84.txt", "--data", payload + "/docs/readme.txt=\xC3\xA4.txt"}, "letter case"},
  };
  for (const auto& test : kCases) {
    std::string shown;
    for (const std::string& argument : test.arguments) shown += argument + " ";
    CommandResult pack = Pack(test.arguments);
    EXPECT_EQ(1, pack.status) << shown;
    EXPECT_NE(std::string::npos, pack.err.find(test.words)) << shown << ": " << pack.err;
    EXPECT_FALSE(FileExists(setup)) << shown;
  }
}

TEST_F(PxqDataPlacement, ExcludeLeavesItemsOut) {
  const struct {
    std::vector<std::string> excludes;
    std::set<std::string> gone;
  } kCases[] = {
      // Without '/': any item's last component, at any depth.
      {{"*.pdb"}, {"bin/app.pdb", "docs/deep/notes.pdb"}},
      // A directory takes its contents with it.
      {{".git", "obj"}, {".git", ".git/HEAD", "obj", "obj/x.o"}},
      // With '/': the whole name, '*' not crossing '/'.
      {{"docs/*"}, {"docs/deep", "docs/deep/notes.pdb", "docs/readme.txt"}},
      {{"*/app.*"}, {"bin/app.dll", "bin/app.pdb"}},
      // Ending in '/': directories only ("deep" the folder, not a file of that name).
      {{"deep/", "readme.txt/"}, {"docs/deep", "docs/deep/notes.pdb"}},
  };
  std::set<std::string> all = {".git", ".git/HEAD", "bin", "bin/app.dll", "bin/app.pdb", "docs", "docs/deep",
                               "docs/deep/notes.pdb", "docs/readme.txt", "obj", "obj/x.o"};
  for (const auto& test : kCases) {
    std::vector<std::string> arguments = {"--data", payload};
    for (const std::string& glob : test.excludes) arguments.insert(arguments.end(), {"--exclude", glob});
    CommandResult pack = Pack(arguments);
    ASSERT_EQ(0, pack.status) << test.excludes[0] << ": " << pack.err;
    std::set<std::string> expected;
    for (const std::string& name : all) {
      if (test.gone.count(name) == 0) expected.insert(name);
    }
    EXPECT_EQ(expected, Names()) << test.excludes[0];
  }
  // A pattern with '/' sees the name in the archive, DEST included.
  ASSERT_EQ(0, Pack({"--data", payload + "=app", "--exclude", "app/bin/*", "--exclude", "app/docs"}).status);
  EXPECT_EQ((std::set<std::string>{"app/.git", "app/.git/HEAD", "app/bin", "app/obj", "app/obj/x.o"}), Names());
  EXPECT_EQ(2, Pack({"--data", payload, "--exclude", ""}).status);
}

TEST(DataInputs, SplittingAndMatching) {
  DataInput input = SplitDataInput("no-such-dir/=app/");
  EXPECT_EQ("no-such-dir/", input.source);
  EXPECT_EQ("app/", input.destination);
  EXPECT_TRUE(input.placed);
  input = SplitDataInput("plain");
  EXPECT_EQ("plain", input.source);
  EXPECT_FALSE(input.placed);
  EXPECT_TRUE(DataNameExcluded("*.pdb", "a/b/c.pdb", false));
  EXPECT_FALSE(DataNameExcluded("a/*", "a/b/c", false));
  EXPECT_TRUE(DataNameExcluded("a/*/c", "a/b/c", false));
  EXPECT_FALSE(DataNameExcluded("build/", "build", false));
  EXPECT_TRUE(DataNameExcluded("build/", "x/build", true));
}

// Columns in display cells, as a terminal shows them: wide characters 2,
// combining marks 0.
int Cells(const std::string& text) {
  int cells = 0;
  for (size_t i = 0; i < text.size();) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    size_t length = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
    if (c == 0xCC && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) <= 0xAF) {
      cells += 0;  // U+0300-U+032F: combining
    } else if (length == 3 && c >= 0xE3 && c <= 0xE9) {
      cells += 2;  // CJK and kana
    } else {
      cells += 1;
    }
    i += length;
  }
  return cells;
}

TEST_F(PxqDataPlacement, ListPadsNamesByDisplayWidth) {
  std::string tree = dir.File("tree");
  mkdir(tree.c_str(), 0755);
  const std::vector<std::string> names = {"plain.txt", "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E.txt",  // 日本語.txt
                                          "e\xCC\x81t\xC3\xA9.txt",                                 // é (combining), é
                                          "\xCE\x95\xCE\xBB\xCE\xBB\xCE\xB7\xCE\xBD\xCE\xB9\xCE\xBA\xCE\xAC.txt"};  // Ελληνικά
  for (const std::string& name : names) WriteFileText(tree + "/" + name, "same size");
  ASSERT_EQ(0, Pack({"--data", tree}).status);
  CommandResult list = RunPxq({"list", setup});
  ASSERT_EQ(0, list.status) << list.err;
  std::istringstream lines(list.out);
  std::string line;
  std::set<int> columns;
  int seen = 0;
  while (std::getline(lines, line)) {
    size_t crc = line.find("CRC32");
    if (crc == std::string::npos || line.find(".txt") == std::string::npos) continue;
    ++seen;
    columns.insert(Cells(line.substr(0, crc)));
  }
  EXPECT_EQ(4, seen) << list.out;
  EXPECT_EQ(1u, columns.size()) << list.out;
}

}  // namespace
