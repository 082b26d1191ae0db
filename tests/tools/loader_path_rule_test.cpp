// The "LoaderPath" value is read twice: by the loader, which decides from it
// where the installer finds the loader's path, and by the release library,
// whose reading `pxq list` reports. Each value here is written into the real
// stub's version resource by the release library; both readings must agree
// with the table, so that list never says "environment" where the loader
// passes its path last, or the other way round.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "launcher/version_arguments.h"
#include "platform/testing.h"
#include "support/file_bytes.h"
#include "support/required.h"
#include "support/scratch_dir.h"
#include "tools/release/stub_resources.h"
#include "tools/release/version_info.h"

TEST(LoaderPathRule, TheLoaderAndListReadTheValueAlike) {
  const std::string stubpath = std::string(PXQ_BIN_DIR) + "/pxq-loader.exe";
  PXQ_NEED_STUB(FileExists(stubpath), "the Windows stub was not built");
  const std::string text = ReadFileText(stubpath);
  const std::vector<uint8_t> stub(text.begin(), text.end());
  struct Case {
    const char* value;
    bool environment;
  } cases[] = {{"environment", true}, {"Environment", true},  {"ENVIRONMENT", true}, {"last", false},
               {"environ", false},    {"environment ", false}, {"environmentx", false}, {"", false},
               {"\xC3\xA9nvironment", false}};
  ScratchDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string("[") + c.value + "]");
    std::vector<uint8_t> bytes = stub;
    StubResourceOptions options;
    options.any = true;
    options.strings = {{"LoaderPath", c.value}};
    ASSERT_EQ("", ApplyStubResources(options, &bytes));
    // The release library's reading, as list shows it.
    StubFacts facts = ReadStubFacts(bytes);
    ASSERT_TRUE(facts.hasversion);
    bool found = false;
    std::string stored = VersionString(facts.version, "LoaderPath", &found);
    ASSERT_TRUE(found);
    EXPECT_EQ(c.value, stored);
    EXPECT_EQ(c.environment, LoaderPathTaken(stored) == LoaderPathChoiceEnvironment);
    // The loader's reading of the same file, through the version calls.
    const std::string file = dir.File("setup.exe");
    WriteFileText(file, std::string(bytes.begin(), bytes.end()));
    TestingScope scope;
    LoaderPathMode mode = LoaderPathEnvironment;
    char* arguments = ReadVersionArguments(file.c_str(), &mode);
    if (arguments != nullptr) Sys().GlobalFree(arguments);
    EXPECT_EQ(c.environment, mode == LoaderPathEnvironment);
    EXPECT_TRUE(TestingNothingOpen()) << TestingOpenSummary();
  }
}
