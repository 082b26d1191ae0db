#include <gtest/gtest.h>

#include "launcher/platform_selection.h"
#include "package/records.h"

TEST(ClassifyPlatform, OnlyNtOnX86OrX64IsSpecific) {
  struct Case {
    uint32_t platformid;
    uint16_t architecture;
    PlatformClass expected;
  } cases[] = {
      {2, 0, NtX86},      {2, 9, NtX64},       {1, 0, Generic},     {1, 9, Generic},    {0, 0, Generic},
      {0, 9, Generic},    {2, 6, Generic},     {2, 12, Generic},    {2, 0xFFFF, Generic}, {2, 5, Generic},
      {3, 9, Generic},    {0xFFFFFFFF, 0, Generic},
  };
  for (const Case& c : cases)
    EXPECT_EQ(c.expected, ClassifyPlatform(c.platformid, c.architecture))
        << "platform " << c.platformid << " architecture " << c.architecture;
}

TEST(SelectInstallerEntry, AllFlagSettingsForEveryClass) {
  const uint64_t none = NO_INSTALLER_ID, gen = GenericInstallerId, x86 = NtX86InstallerId, x64 = NtX64InstallerId;
  // Rows: bits 2 1 0 from 000 to 111; columns Generic, NtX86, NtX64.
  const uint64_t table[8][3] = {
      {none, none, none}, {gen, gen, gen},   {none, x86, x86}, {gen, x86, x86},
      {none, none, x64},  {gen, gen, x64},   {none, x86, x64}, {gen, x86, x64},
  };
  const PlatformClass classes[3] = {Generic, NtX86, NtX64};
  for (uint32_t bits = 0; bits < 8; ++bits) {
    for (uint32_t c = 0; c < 3; ++c) {
      // Bits 3 to 7 make no difference.
      for (uint32_t high : {0x00u, 0xF8u, 0x08u, 0x80u}) {
        uint8_t flags = static_cast<uint8_t>(bits | high);
        EXPECT_EQ(table[bits][c], SelectInstallerEntry(classes[c], flags))
            << "flags 0x" << std::hex << unsigned(flags) << " class " << c;
      }
    }
  }
}
