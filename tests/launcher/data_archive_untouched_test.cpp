// The loader and the data archive: a loader file that carries one runs as
// it would without it, and the loader never decodes it, so that destroying
// its stream changes nothing of what the loader does.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>
#include <vector>

#include "launcher/loader_main.h"
#include "launcher_support.h"
#include "package/data_archive.h"
#include "package/records.h"
#include "platform/posix.h"
#include "platform/testing.h"
#include "support/file_bytes.h"
#include "support/package_fixture.h"
#include "support/scratch_dir.h"
#include "tools/writer/writer.h"

namespace {

struct Outcome {
  uint32_t exitcode = 0;
  std::vector<std::string> trace;
  std::string record;
};

struct DataArchiveUntouched : ::testing::Test {
  ScratchDir dir;
  std::string loader = dir.File("setup.exe");
  std::string record = dir.File("record");

  // The loader file: a stub, then an archive of one NT x64 build, a shell
  // script that records its arguments and exits with 30.
  std::vector<uint8_t> LoaderFile() const {
    std::vector<uint8_t> stub(256, 0);
    stub[0] = 'M';
    stub[1] = 'Z';
    std::string script = "#!/bin/sh\nprintf '%s\\n' \"$@\" > '" + record + "'\nexit 30\n";
    std::vector<uint8_t> file;
    EXPECT_EQ(0u, WriteLoaderFile(stub, PLATFORM_FLAG_NT_X64,
                                  {MakeEntry(NtX64InstallerId, std::vector<uint8_t>(script.begin(), script.end()))},
                                  SmallOptions(), &file));
    return file;
  }

  Outcome Run(const std::vector<uint8_t>& file) {
    WriteFileBytes(loader, file);
    remove(record.c_str());
    std::string temp = dir.File("tmp") + "/";
    mkdir(temp.c_str(), 0700);
    TestingScope scope;
    Testing().temppath = temp;
    EXPECT_EQ(0u, PosixSetModule(loader.c_str()));
    PosixSetArguments(0, nullptr);
    Outcome outcome;
    outcome.exitcode = RunLoader();
    // Calls with their details (paths, sizes, offsets); handles and
    // addresses differ from run to run.
    for (std::string call : CallTrace()) {
      size_t at = call.find("(0x");
      if (at != std::string::npos) call = call.substr(0, at) + "(address)";
      outcome.trace.push_back(call);
    }
    outcome.record = ReadFileText(record);
    EXPECT_TRUE(TestingNothingOpen()) << TestingOpenSummary();
    return outcome;
  }
};

TEST_F(DataArchiveUntouched, TheLoaderRunsAlikeAndNeverDecodesTheDataArchive) {
  std::vector<uint8_t> plain = LoaderFile();
  std::vector<uint8_t> withdata = plain;
  std::vector<DataArchiveItem> items(2);
  items[0].name = "product/big.bin";
  items[0].data = PatternBytes(300 * 1024, 5);  // well past the loader's 64 KiB reads
  items[1].name = "product/readme.txt";
  items[1].data = {'h', 'i'};
  ASSERT_EQ(0u, AppendDataArchive(items, SmallOptions(), 256, &withdata));
  uint64_t dataoffset = 0;
  ASSERT_TRUE(DecodeDataLocator(withdata.data() + 256, &dataoffset));
  EXPECT_EQ(plain.size(), dataoffset);

  // The same file with every byte of the data archive's stream destroyed.
  std::vector<uint8_t> destroyed = withdata;
  for (size_t at = dataoffset + STREAM_OFFSET; at < destroyed.size() - ARCHIVE_TRAILER_SIZE; ++at) destroyed[at] ^= 0xA5;

  Outcome before = Run(plain);
  Outcome after = Run(withdata);
  Outcome broken = Run(destroyed);
  EXPECT_EQ(30u, before.exitcode);
  EXPECT_EQ(before.exitcode, after.exitcode);
  EXPECT_EQ(before.record, after.record);
  EXPECT_NE("", before.record);
  // Every call alike, reads of the same sizes and seeks to the same places.
  EXPECT_EQ(after.trace, broken.trace);
  EXPECT_EQ(after.exitcode, broken.exitcode);
  EXPECT_EQ(after.record, broken.record);
  std::vector<std::string> seeks;
  for (const std::string& call : after.trace) {
    if (call.rfind("SetFilePointer", 0) == 0) seeks.push_back(call);
  }
  EXPECT_EQ(std::vector<std::string>{"SetFilePointer(256)"}, seeks);
}

}  // namespace
