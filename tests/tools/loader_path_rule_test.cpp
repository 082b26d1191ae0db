// The "LoaderPath" and "Errors" values are read twice: by the loader, which
// decides from them where the installer finds the loader's path and whether
// a failure is shown in a box, and by the release library, whose reading
// `pxq list` reports. Each value here is written into the real stub's
// version resource by the release library; both readings must agree with the
// table, so that list never says "environment" where the loader passes its
// path last, or "silent" where it shows its box, or the other way round.
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

TEST(LoaderPathRule, TheLoaderAndListReadTheValuesAlike) {
  const std::string stubpath = std::string(PXQ_BIN_DIR) + "/pxq-loader.exe";
  PXQ_NEED_STUB(FileExists(stubpath), "the Windows stub was not built");
  const std::string text = ReadFileText(stubpath);
  const std::vector<uint8_t> stub(text.begin(), text.end());
  struct Case {
    const char* key;
    const char* value;
    bool taken;  // environment, silent
  } cases[] = {{"LoaderPath", "environment", true},  {"LoaderPath", "Environment", true},
               {"LoaderPath", "ENVIRONMENT", true},  {"LoaderPath", "last", false},
               {"LoaderPath", "environ", false},     {"LoaderPath", "environment ", false},
               {"LoaderPath", "environmentx", false}, {"LoaderPath", "", false},
               {"LoaderPath", "\xC3\xA9nvironment", false},
               {"Errors", "silent", true},           {"Errors", "SILENT", true},
               {"Errors", "Silent", true},           {"Errors", "box", false},
               {"Errors", "silen", false},           {"Errors", "silent ", false},
               {"Errors", "silently", false},        {"Errors", "", false},
               {"Errors", "s\xC3\xAFlent", false}};
  ScratchDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.key) + " [" + c.value + "]");
    const bool loaderpath = std::string(c.key) == "LoaderPath";
    std::vector<uint8_t> bytes = stub;
    StubResourceOptions options;
    options.any = true;
    options.strings = {{c.key, c.value}};
    ASSERT_EQ("", ApplyStubResources(options, &bytes));
    // The release library's reading, as list shows it.
    StubFacts facts = ReadStubFacts(bytes);
    ASSERT_TRUE(facts.hasversion);
    bool found = false;
    std::string stored = VersionString(facts.version, c.key, &found);
    ASSERT_TRUE(found);
    EXPECT_EQ(c.value, stored);
    EXPECT_EQ(c.taken, loaderpath ? LoaderPathTaken(stored) == LoaderPathChoiceEnvironment
                                  : ErrorsTaken(stored) == ErrorsChoiceSilent);
    // The loader's reading of the same file, through the version calls.
    const std::string file = dir.File("setup.exe");
    WriteFileText(file, std::string(bytes.begin(), bytes.end()));
    TestingScope scope;
    LoaderPathMode mode = LoaderPathEnvironment;
    bool silent = !c.taken;
    char* arguments = ReadVersionArguments(file.c_str(), &mode, &silent);
    if (arguments != nullptr) Sys().GlobalFree(arguments);
    EXPECT_EQ(c.taken, loaderpath ? mode == LoaderPathEnvironment : silent);
    EXPECT_FALSE(loaderpath ? silent : mode == LoaderPathEnvironment);
    EXPECT_TRUE(TestingNothingOpen()) << TestingOpenSummary();
  }
}
