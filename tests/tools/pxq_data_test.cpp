// pxq pack --data, and the data archive in pxq list and pxq extract: a tree
// of product files packed, listed, extracted byte for byte, and kept whole
// through signing and tagging.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "pxq/installer_data.h"
#include "support/file_bytes.h"
#include "support/package_fixture.h"
#include "support/required.h"
#include "support/scratch_dir.h"
#include "tools_support.h"

namespace {

const char kUtf8Name[] = "\xC3\x9C" "bersicht \xD0\xA4\xD0\xB0\xD0\xB9\xD0\xBB \xE2\x82\xAC.txt";

struct PxqData : ::testing::Test {
  ScratchDir dir;
  std::string payload = dir.File("payload");
  std::string setup = dir.File("setup.exe");

  PxqData() {
    WriteFileText(dir.File("installer.sh"), "#!/bin/sh\nexit 0\n");
    WriteFileBytes(dir.File("stub.exe"), TestStub());
    mkdir(payload.c_str(), 0755);
    mkdir((payload + "/docs").c_str(), 0755);
    mkdir((payload + "/docs/deep").c_str(), 0755);
    mkdir((payload + "/empty-dir").c_str(), 0755);
    WriteFileText(payload + "/docs/deep/readme.txt", "read me\n");
    WriteFileText(payload + "/empty", "");
    WriteFileBytes(payload + "/big.bin", PatternBytes(100 * 1024, 11));
    WriteFileText(payload + "/" + kUtf8Name, "utf-8\n");
    WriteFileText(payload + "/locked.ini", "[locked]\n");
    chmod((payload + "/locked.ini").c_str(), 0444);
  }

  CommandResult Pack(const std::vector<std::string>& more, const std::string& stub = "") {
    std::vector<std::string> arguments = {"pack", "-o", setup, "--stub", stub.empty() ? dir.File("stub.exe") : stub,
                                          "--generic", dir.File("installer.sh"), "--preset", "0"};
    arguments.insert(arguments.end(), more.begin(), more.end());
    return RunPxq(arguments);
  }

  // The tree below `root` as "name:bytes" lines, directories as "name/".
  std::string Tree(const std::string& root) const {
    return RunShell("cd " + ShellQuote(root) +
                    " && find . -mindepth 1 | LC_ALL=C sort | while read -r f; do if [ -d \"$f\" ]; then echo \"$f/\";"
                    " else echo \"$f:$(od -An -tx1 \"$f\" | tr -d ' \\n' | md5sum | cut -c1-8):$(stat -c %a \"$f\")\"; fi; done")
        .out;
  }
};

TEST_F(PxqData, PacksListsAndExtractsATreeByteForByte) {
  CommandResult pack = Pack({"--data", payload, "--data", dir.File("installer.sh")});
  ASSERT_EQ(0, pack.status) << pack.err;
  EXPECT_NE(std::string::npos, pack.out.find("data archive at offset")) << pack.out;

  CommandResult list = RunPxq({"list", setup});
  ASSERT_EQ(0, list.status) << list.err << list.out;
  for (const std::string& name : std::vector<std::string>{"docs/deep/readme.txt", "empty-dir", "big.bin", kUtf8Name, "installer.sh"})
    EXPECT_NE(std::string::npos, list.out.find(name)) << name << "\n" << list.out;
  EXPECT_NE(std::string::npos, list.out.find("READONLY (0x1)"));
  EXPECT_NE(std::string::npos, list.out.find("data check   every entry matches"));

  CommandResult json = RunPxq({"list", "--json", setup});
  ASSERT_EQ(0, json.status) << json.err;
  nlohmann::json report = nlohmann::json::parse(json.out);
  const nlohmann::json& entries = report["data"]["entries"];
  ASSERT_EQ(9u, entries.size()) << json.out;  // 3 directories, 5 files of the payload and installer.sh
  std::vector<std::string> names;
  for (const nlohmann::json& entry : entries) {
    names.push_back(entry["name"]);
    EXPECT_TRUE(entry["checked"].get<bool>());
    if (entry["name"] == "big.bin") {
      EXPECT_EQ(100u * 1024, entry["size"].get<uint64_t>());
    }
    if (entry["name"] == "empty-dir") {
      EXPECT_EQ("directory", entry["type"]);
    }
  }
  EXPECT_EQ("big.bin", names[0]);  // sorted, each directory before its contents
  EXPECT_EQ("installer.sh", names.back());
  EXPECT_TRUE(report["sound"].get<bool>());

  std::string out = dir.File("out");
  CommandResult extract = RunPxq({"extract", setup, "--data", "-o", out});
  ASSERT_EQ(0, extract.status) << extract.err;
  unlink((out + "/installer.sh").c_str());
  EXPECT_EQ(Tree(payload), Tree(out));
  EXPECT_NE("", Tree(out));
  // --threads N chooses the decoding threads; the tree is the same. In
  // 64 KiB blocks the data spans several, so that workers do start.
  std::string blocks = dir.File("blocks.exe");
  CommandResult packed = RunPxq({"pack", "-o", blocks, "--stub", dir.File("stub.exe"), "--generic",
                                 dir.File("installer.sh"), "--preset", "0", "--data-block", "64KiB", "--data", payload,
                                 "--data", dir.File("installer.sh")});
  ASSERT_EQ(0, packed.status) << packed.err;
  for (const char* threads : {"1", "3"}) {
    std::string more = dir.File(std::string("threads") + threads);
    CommandResult threaded = RunPxq({"extract", blocks, "--data", "-o", more, "--threads", threads});
    ASSERT_EQ(0, threaded.status) << threads << ": " << threaded.err;
    unlink((more + "/installer.sh").c_str());
    EXPECT_EQ(Tree(payload), Tree(more)) << threads;
  }
  for (const std::vector<std::string>& line : std::vector<std::vector<std::string>>{
           {"extract", setup, "--data", "-o", dir.File("bad"), "--threads", "two"},
           {"extract", setup, "--nt-x64", "-o", dir.File("bad"), "--threads", "2"}}) {
    CommandResult refused = RunPxq(line);
    EXPECT_NE(0, refused.status) << line.back();
    EXPECT_NE(std::string::npos, refused.err.find("thread")) << refused.err;
  }

  CommandResult one = RunPxq({"extract", setup, "--data", "docs/deep/readme.txt", "-o", dir.File("one.txt")});
  ASSERT_EQ(0, one.status) << one.err;
  EXPECT_EQ("read me\n", ReadFileText(dir.File("one.txt")));
  CommandResult missing = RunPxq({"extract", setup, "--data", "docs/nothing", "-o", dir.File("one.txt")});
  EXPECT_EQ(1, missing.status);
  EXPECT_NE(std::string::npos, missing.err.find("no entry named docs/nothing")) << missing.err;
}

TEST_F(PxqData, AFileWithoutDataListsAsBefore) {
  ASSERT_EQ(0, Pack({}).status);
  CommandResult list = RunPxq({"list", setup});
  ASSERT_EQ(0, list.status) << list.err;
  EXPECT_NE(std::string::npos, list.out.find("data         none"));
  nlohmann::json report = nlohmann::json::parse(RunPxq({"list", "--json", setup}).out);
  EXPECT_TRUE(report["data"].is_null());
  CommandResult extract = RunPxq({"extract", setup, "--data", "-o", dir.File("out")});
  EXPECT_EQ(1, extract.status);
  EXPECT_NE(std::string::npos, extract.err.find("carries no data archive")) << extract.err;
}

// Names an installer would refuse never get into a package.
TEST_F(PxqData, PackRefusesWhatAnInstallerCouldNotWrite) {
  const struct {
    const char* file;
    const char* words;
  } kCases[] = {{"aux.txt", "device"}, {"what?.txt", "cannot hold"}, {"trailing.", "ending in '.'"}};
  for (const auto& c : kCases) {
    std::string bad = dir.File("bad");
    RunShell("rm -rf " + ShellQuote(bad));
    mkdir(bad.c_str(), 0755);
    WriteFileText(bad + "/" + c.file, "x");
    CommandResult pack = Pack({"--data", bad});
    EXPECT_EQ(1, pack.status) << c.file;
    EXPECT_NE(std::string::npos, pack.err.find(c.words)) << pack.err;
    EXPECT_FALSE(FileExists(setup));
  }
  ASSERT_EQ(0, symlink("docs", (payload + "/link").c_str()));
  CommandResult pack = Pack({"--data", payload});
  EXPECT_EQ(1, pack.status);
  EXPECT_NE(std::string::npos, pack.err.find("symbolic link")) << pack.err;
  unlink((payload + "/link").c_str());
  // Names that differ in letter case only are one name on Windows: from two
  // inputs, or within one folder (the letters at both ends of the alphabet).
  WriteFileText(dir.File("BIG.BIN"), "clash");
  const std::string folder = dir.File("zz");
  mkdir(folder.c_str(), 0755);
  WriteFileText(folder + "/z.txt", "lower");
  WriteFileText(folder + "/Z.txt", "upper");
  const std::vector<std::vector<std::string>> clashes = {{"--data", payload, "--data", dir.File("BIG.BIN")},
                                                         {"--data", folder}};
  for (const std::vector<std::string>& data : clashes) {
    pack = Pack(data);
    EXPECT_EQ(1, pack.status) << data.back();
    EXPECT_NE(std::string::npos, pack.err.find("letter case")) << pack.err;
    EXPECT_FALSE(FileExists(setup));
  }
}

// A name of 1,024 bytes, the longest an archive holds: packed, listed and
// extracted whole and one by one.
TEST_F(PxqData, TheLongestNamePacksListsAndExtracts) {
  const std::string tree = dir.File("long");
  std::string name;
  for (char letter : {'a', 'b', 'c', 'd'}) name += std::string(250, letter) + "/";
  ASSERT_EQ(0, RunShell("mkdir -p " + ShellQuote(tree + "/" + name)).status);
  name += std::string(1024 - name.size() - 4, 'e') + ".txt";
  ASSERT_EQ(1024u, name.size());
  WriteFileText(tree + "/" + name, "long\n");
  CommandResult pack = Pack({"--data", tree});
  ASSERT_EQ(0, pack.status) << pack.err;

  CommandResult json = RunPxq({"list", "--json", setup});
  ASSERT_EQ(0, json.status) << json.err;
  nlohmann::json report = nlohmann::json::parse(json.out);
  ASSERT_EQ(5u, report["data"]["entries"].size()) << json.out;  // four folders and the file
  EXPECT_EQ(name, report["data"]["entries"][4]["name"]);
  CommandResult list = RunPxq({"list", setup});
  EXPECT_EQ(0, list.status) << list.err;
  EXPECT_NE(std::string::npos, list.out.find(name)) << list.out;

  const std::string out = dir.File("out");
  CommandResult extract = RunPxq({"extract", setup, "--data", "-o", out});
  ASSERT_EQ(0, extract.status) << extract.err;
  EXPECT_EQ("long\n", ReadFileText(out + "/" + name));
  CommandResult one = RunPxq({"extract", setup, "--data", name, "-o", dir.File("one.txt")});
  ASSERT_EQ(0, one.status) << one.err;
  EXPECT_EQ("long\n", ReadFileText(dir.File("one.txt")));
}

// pack, sign, tag: the signature verifies, the loader reads the tag, and the
// data archive reads whole (the installer library on the signed, tagged file).
TEST_F(PxqData, SurvivesSigningAndTagging) {
  std::string stub = std::string(PXQ_BIN_DIR) + "/pxq-loader.exe";
  PXQ_NEED_STUB(FileExists(stub), "the Windows stub was not built");
  PXQ_NEED_TOOLS(RunShell("command -v osslsigncode && command -v openssl").status == 0,
                 "openssl or osslsigncode is not installed");
  ASSERT_EQ(0, Pack({"--data", payload}, stub).status);
  ASSERT_EQ(0, RunShell("cd " + ShellQuote(dir.path) +
                        " && openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out cert.pem -days 2"
                        " -subj '/CN=pxq data test' -addext extendedKeyUsage=codeSigning"
                        " && osslsigncode sign -certs cert.pem -key key.pem -h sha256 -in setup.exe -out signed.exe")
                   .status);
  CommandResult tag = RunPxq({"tag", "--pad", "-o", dir.File("tagged.exe"), dir.File("signed.exe"), "campaign=spring"});
  ASSERT_EQ(0, tag.status) << tag.err;
  CommandResult verify = RunShell("osslsigncode verify -CAfile " + ShellQuote(dir.File("cert.pem")) + " -in " +
                                  ShellQuote(dir.File("tagged.exe")));
  EXPECT_EQ(0, verify.status) << verify.out;
  CommandResult list = RunPxq({"list", dir.File("tagged.exe")});
  EXPECT_EQ(0, list.status) << list.err;
  EXPECT_NE(std::string::npos, list.out.find("campaign=spring"));
  EXPECT_NE(std::string::npos, list.out.find("data check   every entry matches"));

  ::PxqData* data = nullptr;
  ASSERT_EQ(0u, PxqDataOpen(dir.File("tagged.exe").c_str(), &data)) << PxqDataMessage(data);
  std::string out = dir.File("out");
  EXPECT_EQ(0u, PxqDataExtractAll(data, out.c_str(), nullptr, nullptr)) << PxqDataMessage(data);
  PxqDataClose(data);
  EXPECT_EQ(Tree(payload), Tree(out));
}

}  // namespace
