// pack's checks of what it is given: each build's PE machine against its
// slot, a package without a build, and an output that names any input.
#include <string.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/file_bytes.h"
#include "support/package_fixture.h"
#include "support/scratch_dir.h"
#include "tools_support.h"

namespace {

// The headers of a PE image for `machine`, with no sections: all that pack
// reads of a build. PE32+ for the 64-bit machines, else PE32.
std::vector<uint8_t> PeHeaders(uint16_t machine) {
  bool plus = machine == 0x8664 || machine == 0xAA64;
  size_t optionalsize = plus ? 240 : 224;
  size_t directories = plus ? 112 : 96;
  std::vector<uint8_t> bytes(0x40 + 24 + optionalsize + 256, 0);
  auto put16 = [&](size_t at, uint16_t value) {
    bytes[at] = static_cast<uint8_t>(value);
    bytes[at + 1] = static_cast<uint8_t>(value >> 8);
  };
  put16(0, 0x5A4D);
  bytes[0x3C] = 0x40;
  memcpy(&bytes[0x40], "PE\0\0", 4);
  put16(0x44, machine);
  put16(0x54, static_cast<uint16_t>(optionalsize));
  put16(0x58, plus ? 0x20B : 0x10B);
  bytes[0x58 + directories - 4] = 16;  // NumberOfRvaAndSizes
  return bytes;
}

TEST(PxqPackChecks, EachBuildsMachineAgainstItsSlot) {
  ScratchDir dir;
  std::string stub = dir.File("stub.exe"), x86 = dir.File("x86.exe"), x64 = dir.File("x64.exe"),
              arm64 = dir.File("arm64.exe"), data = dir.File("data.txt"), out = dir.File("setup.exe");
  WriteFileBytes(stub, TestStub());
  WriteFileBytes(x86, PeHeaders(0x14C));
  WriteFileBytes(x64, PeHeaders(0x8664));
  WriteFileBytes(arm64, PeHeaders(0xAA64));
  WriteFileText(data, "not a program\n");
  const std::string refused = "), which 32-bit Windows cannot start; give it as --nt-x64, or pass "
                              "--no-machine-check to store it anyway";
  struct Case {
    std::vector<std::string> options;
    int status;
    std::string message;  // "" for no word on the builds
  } cases[] = {
      // An x64 image can never start where 32-bit Windows takes its build.
      {{"--generic", x64}, 2, "pxq pack: --generic " + x64 + ": an x64 image (PE machine 0x8664" + refused},
      {{"--nt-x86", x64, "--nt-x64", x64}, 2, "pxq pack: --nt-x86 " + x64 + ": an x64 image (PE machine 0x8664" + refused},
      {{"--nt-x64", x64}, 0, ""},
      // An x86 image runs on x64 Windows too.
      {{"--generic", x86, "--nt-x86", x86, "--nt-x64", x86}, 0, ""},
      {{"--nt-x64", arm64}, 0,
       "pxq pack: warning: --nt-x64 " + arm64 +
           ": PE machine 0xAA64, neither x86 (0x014C) nor x64 (0x8664): Windows on x86 and x64 cannot start it\n"},
      {{"--generic", data}, 0,
       "pxq pack: warning: --generic " + data +
           ": not a Windows executable (no MZ header); the loader cannot start it on Windows\n"},
      // Stand-ins for tests are stored whatever they are, without a word.
      {{"--generic", x64, "--nt-x86", data, "--no-machine-check"}, 0, ""},
      // An entry may hold anything.
      {{"--nt-x64", x64, "--entry", "5=" + data, "--entry", "6=" + x64}, 0, ""},
      {{"--entry", "5=" + data}, 0,
       "pxq pack: warning: no installer build given (--generic, --nt-x86 or --nt-x64): the loader will find none "
       "to run and exit with 253; list and extract still read the entries\n"},
  };
  for (const Case& c : cases) {
    std::remove(out.c_str());
    std::vector<std::string> arguments = {"pack", "-o", out, "--stub", stub, "--preset", "0"};
    arguments.insert(arguments.end(), c.options.begin(), c.options.end());
    CommandResult pack = RunPxq(arguments);
    std::string what = c.options[0] + " " + c.options[1];
    EXPECT_EQ(c.status, pack.status) << what << "\n" << pack.err;
    EXPECT_EQ(c.status == 0, FileExists(out)) << what;
    if (c.message.empty()) {
      EXPECT_EQ(std::string::npos, pack.err.find("warning: --")) << what << "\n" << pack.err;
      EXPECT_EQ(std::string::npos, pack.err.find("no installer build")) << what << "\n" << pack.err;
    } else {
      EXPECT_NE(std::string::npos, pack.err.find(c.message)) << what << "\n" << pack.err;
    }
  }
  // Errors only with -q.
  CommandResult quiet = RunPxq({"pack", "-q", "-o", out, "--stub", stub, "--preset", "0", "--generic", data});
  EXPECT_EQ(0, quiet.status);
  EXPECT_EQ("", quiet.err);
}

TEST(PxqPackChecks, AnOutputNamingAnyInputIsRefusedBeforeAnyWork) {
  ScratchDir dir;
  WriteFileBytes(dir.File("stub.exe"), TestStub());
  WriteFileBytes(dir.File("app.ico"), PatternBytes(500, 1));
  WriteFileBytes(dir.File("generic.exe"), PatternBytes(600, 2));
  WriteFileBytes(dir.File("x86.exe"), PatternBytes(700, 3));
  WriteFileBytes(dir.File("x64.exe"), PatternBytes(800, 4));
  WriteFileBytes(dir.File("data.bin"), PatternBytes(900, 5));
  std::vector<std::string> arguments = {"pack", "--preset", "0", "--stub", dir.File("stub.exe"), "--icon",
                                        dir.File("app.ico"), "--generic", dir.File("generic.exe"), "--nt-x86",
                                        dir.File("x86.exe"), "--nt-x64", dir.File("x64.exe"), "--entry",
                                        "5=" + dir.File("data.bin")};
  // The same directory reached from its parent.
  std::string parent = dir.path + "/../" + dir.path.substr(dir.path.rfind('/') + 1);
  struct Input {
    const char* option;
    const char* name;
  } inputs[] = {{"--stub", "stub.exe"},    {"--icon", "app.ico"},   {"--generic", "generic.exe"},
                {"--nt-x86", "x86.exe"},   {"--nt-x64", "x64.exe"}, {"--entry", "data.bin"}};
  for (const Input& input : inputs) {
    std::string file = dir.File(input.name), link = dir.File(std::string(input.name) + ".link");
    ASSERT_EQ(0, ::link(file.c_str(), link.c_str())) << link;
    std::vector<uint8_t> before = ReadFileBytes(file);
    for (const std::string& output : {file, parent + "/" + input.name, link}) {
      std::vector<std::string> names = DirectoryNames(dir.path);
      std::vector<std::string> given = arguments;
      given.insert(given.begin() + 1, {"-o", output});
      CommandResult pack = RunPxq(given);
      EXPECT_EQ(1, pack.status) << output;
      EXPECT_EQ("pxq: " + output + ": is also an input; choose another output file\n", pack.err) << input.option;
      EXPECT_TRUE(ReadFileBytes(file) == before) << output;
      EXPECT_EQ(names, DirectoryNames(dir.path)) << output;
    }
  }
}

}  // namespace
