// pxq list --json: the report parsed back, for a sound file and for a
// damaged one (the JSON stays whole and names the fault).
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "package/records.h"
#include "support/file_bytes.h"
#include "support/package_fixture.h"
#include "support/scratch_dir.h"
#include "tools_support.h"

namespace {

using nlohmann::json;

TEST(PxqListJson, ReportParsesBackWithEveryField) {
  ScratchDir dir;
  WriteFileBytes(dir.File("stub.exe"), TestStub());
  WriteFileBytes(dir.File("x64.exe"), PatternBytes(70000, 2));
  WriteFileBytes(dir.File("generic.exe"), PatternBytes(3000, 1));
  std::string setup = dir.File("setup.exe");
  CommandResult pack = RunPxq({"pack", "-o", setup, "--stub", dir.File("stub.exe"), "--nt-x64", dir.File("x64.exe"),
                               "--generic", dir.File("generic.exe"), "--entry", "7=" + dir.File("generic.exe"),
                               "--mtime", "@1700000000", "--attributes", "readonly", "--preset", "0"});
  ASSERT_EQ(0, pack.status) << pack.err;

  CommandResult list = RunPxq({"list", "--json", setup});
  ASSERT_EQ(0, list.status) << list.err;
  EXPECT_EQ("", list.err);
  json report = json::parse(list.out);
  EXPECT_EQ(setup, report["file"]);
  EXPECT_EQ(json({"generic", "nt-x64"}), report["stamp"]["builds"]);
  EXPECT_EQ(5, report["stamp"]["platformflags"]);
  EXPECT_EQ(128, report["stamp"]["archiveoffset"]);
  EXPECT_EQ("not-pe", report["release"]["stub"]["kind"]);
  EXPECT_TRUE(report["release"]["signature"].is_null());
  EXPECT_TRUE(report["release"]["tag"].is_null());
  EXPECT_EQ(0x00050001, report["archive"]["formatversion"]);
  EXPECT_EQ(3, report["archive"]["lzma"]["lc"]);
  EXPECT_EQ(0, report["archive"]["lzma"]["lp"]);
  EXPECT_EQ(2, report["archive"]["lzma"]["pb"]);
  ASSERT_EQ(3u, report["entries"].size());
  const json& first = report["entries"][0];
  EXPECT_EQ(1, first["number"]);
  EXPECT_EQ("0xFFFFFFFFFFFF000A", first["id"]);
  EXPECT_EQ("NtX64InstallerId", first["name"]);
  EXPECT_EQ(70000, first["size"]);
  EXPECT_EQ("2023-11-14 22:13:20.0000000 UTC", first["lastwritetime"]);
  EXPECT_EQ(116444736000000000ull + 1700000000ull * 10000000ull, first["filetime"].get<uint64_t>());
  EXPECT_EQ(1, first["attributes"]);
  EXPECT_EQ(json({"READONLY"}), first["attributenames"]);
  EXPECT_TRUE(report["entries"][2]["name"].is_null());
  EXPECT_EQ("0x0000000000000007", report["entries"][2]["id"]);
  EXPECT_GT(report["stream"]["compressedbytes"].get<uint64_t>(), 0u);
  EXPECT_EQ(3u * 64u + 70000u + 3000u + 3000u, report["stream"]["decodedbytes"].get<uint64_t>());
  EXPECT_TRUE(report["fault"].is_null());
  EXPECT_EQ(true, report["sound"]);

  // Cut inside the stream: still one whole JSON object, with the fault.
  std::vector<uint8_t> bytes = ReadFileBytes(setup);
  bytes.resize(bytes.size() - 200);
  WriteFileBytes(dir.File("cut.exe"), bytes);
  CommandResult cut = RunPxq({"list", "--json", dir.File("cut.exe")});
  EXPECT_EQ(1, cut.status);
  json damaged = json::parse(cut.out);
  EXPECT_EQ(false, damaged["sound"]);
  ASSERT_TRUE(damaged["fault"].is_string());
  EXPECT_EQ(0u, damaged["fault"].get<std::string>().find("archive damaged: ")) << damaged["fault"];
  EXPECT_EQ("pxq: " + dir.File("cut.exe") + ": " + damaged["fault"].get<std::string>() + "\n", cut.err);
  EXPECT_TRUE(damaged["stream"].is_null());
  EXPECT_LE(damaged["entries"].size(), 2u);

  // A file name that is not UTF-8 still gives valid JSON.
  std::string odd = dir.File("setup-\xff.exe");
  WriteFileBytes(odd, ReadFileBytes(setup));
  CommandResult named = RunPxq({"list", "--json", odd});
  EXPECT_EQ(0, named.status) << named.err;
  EXPECT_EQ(dir.File("setup-\xEF\xBF\xBD.exe"), json::parse(named.out)["file"]);
}

// A file that cannot be read, or is no loader file, still gives one whole
// object: nulls where nothing could be read, and the fault.
TEST(PxqListJson, FileThatIsNoLoaderStillGivesOneObject) {
  ScratchDir dir;
  WriteFileText(dir.File("notes.txt"), "not a loader file at all\n");
  WriteFileText(dir.File("short.exe"), "MZ");
  ASSERT_EQ(0, RunShell("mkdir " + ShellQuote(dir.File("folder"))).status);
  struct Case {
    std::string file;
    std::string fault;
  } cases[] = {
      {dir.File("missing.exe"), "No such file or directory"},
      {dir.File("folder"), "Is a directory"},
      {dir.File("notes.txt"), "not a pxq loader file (no MZ/pxr5 stamp)"},
      {dir.File("short.exe"), "not a pxq loader file (no MZ/pxr5 stamp)"},
  };
  for (const Case& c : cases) {
    CommandResult list = RunPxq({"list", "--json", c.file});
    EXPECT_EQ(1, list.status) << c.file;
    EXPECT_EQ("pxq: " + c.file + ": " + c.fault + "\n", list.err);
    json report = json::parse(list.out);
    EXPECT_EQ(c.file, report["file"]);
    EXPECT_EQ(c.fault, report["fault"]);
    EXPECT_EQ(false, report["sound"]);
    for (const char* key : {"stamp", "release", "archive", "stream"}) EXPECT_TRUE(report[key].is_null()) << key;
    EXPECT_EQ(json::array(), report["entries"]);
  }
}

}  // namespace
