// pack's resources (Arguments, version strings and numbers, icon, manifest)
// on small mingw-built stubs: the loader's own reading of "Arguments" (pxq
// run), pxq list, the image's sizes as objdump reads them, the icon as
// icoutils reads it; the refusals, and the stubs that pack warns about.
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <regex>

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "support/file_bytes.h"
#include "support/package_fixture.h"
#include "support/required.h"
#include "support/scratch_dir.h"
#include "support/windows_exe.h"
#include "tools_support.h"

namespace {

bool Have(const char* program) { return RunShell(std::string("command -v ") + program).status == 0; }

// A version resource as a linker lays it out, and the loader's message
// text, by which pack and list know a pxq stub.
const char kStubResources[] =
    "1 VERSIONINFO\n"
    "FILEVERSION 1,0,0,0\nPRODUCTVERSION 1,0,0,0\nFILEFLAGSMASK 0x3F\nFILEOS 4\nFILETYPE 1\n"
    "BEGIN\n"
    "  BLOCK \"StringFileInfo\"\n  BEGIN\n    BLOCK \"000004b0\"\n    BEGIN\n"
    "      VALUE \"FileDescription\", \"Test stub\"\n"
    "      VALUE \"ProductName\", \"pxq\"\n"
    "      VALUE \"FileVersion\", \"1.0.0\"\n"
    "      VALUE \"ProductVersion\", \"1.0.0\"\n"
    "    END\n  END\n"
    "  BLOCK \"VarFileInfo\"\n  BEGIN\n    VALUE \"Translation\", 0x0000, 0x04B0\n  END\n"
    "END\n"
    "2 RCDATA { \"Executable has no valid MZ/pwr5 signature\" }\n";

// Two 16- and 32-pixel images of an .ico file (their content is not read).
std::vector<uint8_t> IconFile() {
  std::vector<uint8_t> first = PatternBytes(300, 1), second = PatternBytes(1000, 2);
  std::vector<uint8_t> ico = {0, 0, 1, 0, 2, 0};
  uint32_t offset = 6 + 2 * 16;
  for (const auto* image : {&first, &second}) {
    uint8_t size = image == &first ? 16 : 32;
    uint32_t length = static_cast<uint32_t>(image->size());
    ico.insert(ico.end(), {size, size, 0, 0, 1, 0, 32, 0});
    for (uint32_t word : {length, offset})
      for (int i = 0; i < 4; ++i) ico.push_back(static_cast<uint8_t>(word >> (8 * i)));
    offset += length;
  }
  ico.insert(ico.end(), first.begin(), first.end());
  ico.insert(ico.end(), second.begin(), second.end());
  return ico;
}

struct Stubs {
  ScratchDir dir;
  std::string stub, relocfirst, foreign;
  Stubs() {
    // Without relocations the resource section is the last one.
    stub = BuildWindowsExe(dir, "stub", kStubResources, "-Wl,--disable-reloc-section");
    // An absolute address needs a relocation, and .reloc follows .rsrc.
    WriteFileText(dir.File("pointer.c"), "int value;\nint* pointer = &value;\n");
    relocfirst = BuildWindowsExe(dir, "relocfirst", kStubResources, "-Wl,--dynamicbase " + dir.File("pointer.c"));
    foreign = BuildWindowsExe(dir, "foreign", "1 RCDATA { \"just data\" }\n", "-Wl,--disable-reloc-section");
    WriteFileText(dir.File("installer.sh"), "#!/bin/sh\nfor a in \"$@\"; do echo \"[$a]\"; done\n");
    WriteFileBytes(dir.File("app.ico"), IconFile());
  }
  CommandResult Pack(const std::string& out, const std::string& stubpath, std::vector<std::string> options) const {
    // The build is a script for pxq run: a stand-in, whatever its machine.
    std::vector<std::string> arguments = {"pack", "-o", out, "--stub", stubpath, "--generic",
                                          dir.File("installer.sh"), "--preset", "0", "--no-machine-check"};
    arguments.insert(arguments.end(), options.begin(), options.end());
    return RunPxq(arguments);
  }
};

// A field of `objdump -p`, as a number.
uint64_t HeaderField(const std::string& headers, const std::string& name) {
  size_t at = headers.find("\n" + name);
  if (at == std::string::npos) return UINT64_MAX;
  return std::stoull(headers.substr(headers.find_first_not_of(" \t", at + 1 + name.size())), nullptr, 16);
}

TEST(PxqResources, PackWritesWhatTheLoaderListAndWindowsToolsRead) {
  Stubs stubs;
  if (stubs.stub.empty()) GTEST_SKIP() << "the mingw-w64 toolchain is not installed";
  std::string setup = stubs.dir.File("setup.exe");
  // 64 UTF-16 units, the last one non-ASCII.
  std::string as(60, 'a'), arguments64 = "/S " + as + "\xC3\xA9";
  CommandResult pack = stubs.Pack(
      setup, stubs.stub,
      {"--arguments", arguments64, "--product-name", "Acme Suite", "--file-description", "Acme Suite Setup",
       "--company", "Acme Ltd", "--copyright", "\xC2\xA9 2026 Acme", "--product-version", "2.1", "--file-version",
       "2.1.0.7 (spring)", "--icon", stubs.dir.File("app.ico"), "--execution-level", "highestAvailable"});
  ASSERT_EQ(0, pack.status) << pack.err;
  EXPECT_EQ("", pack.err) << "a pxq stub gives no warning";

  // The loader's own code reads Arguments (UTF-16 to Windows-1252 on this host).
  CommandResult run = RunShell("TMPDIR=" + ShellQuote(stubs.dir.path) + " " + ShellQuote(PxqPath()) + " run " +
                               ShellQuote(setup) + " own");
  EXPECT_EQ(0, run.status) << run.err;
  EXPECT_EQ("[/S]\n[" + as + "\xE9]\n[own]\n[" + setup + "]\n", run.out);

  CommandResult list = RunPxq({"list", setup});
  ASSERT_EQ(0, list.status) << list.err;
  for (const std::string& line :
       {std::string("stub         pxq stub 1.0.0\n"), "arguments    \"" + arguments64 + "\"\n",
        std::string("version      file 2.1.0.7, product 2.1.0.0\n"),
        std::string("             FileDescription  \"Acme Suite Setup\"\n"),
        std::string("             ProductName      \"Acme Suite\"\n"),
        std::string("             FileVersion      \"2.1.0.7 (spring)\"\n"),
        std::string("             CompanyName      \"Acme Ltd\"\n"),
        std::string("             LegalCopyright   \"\xC2\xA9 2026 Acme\"\n"),
        std::string("manifest     execution level highestAvailable\n"), std::string("icon         2 images\n"),
        std::string("signature    none\n"), std::string("tag          none\n")})
    EXPECT_NE(std::string::npos, list.out.find(line)) << line << "\n" << list.out;

  // The image's sizes follow the grown resource section, the last one.
  CommandResult dump = RunShell("i686-w64-mingw32-objdump -p -h " + ShellQuote(setup));
  ASSERT_EQ(0, dump.status) << dump.err;
  std::smatch section;
  ASSERT_TRUE(std::regex_search(dump.out, section, std::regex("\\n +[0-9]+ \\.rsrc +([0-9a-f]+) +([0-9a-f]+) ")))
      << dump.out;
  uint64_t size = std::stoull(section[1].str(), nullptr, 16), vma = std::stoull(section[2].str(), nullptr, 16);
  uint64_t rva = vma - HeaderField(dump.out, "ImageBase"), alignment = HeaderField(dump.out, "SectionAlignment");
  EXPECT_EQ((rva + size + alignment - 1) / alignment * alignment, HeaderField(dump.out, "SizeOfImage"));
  char directory[64];
  snprintf(directory, sizeof directory, "Entry 2 %08llx %08llx Resource Directory", static_cast<unsigned long long>(rva),
           static_cast<unsigned long long>(size));
  EXPECT_NE(std::string::npos, dump.out.find(directory)) << "the resource directory is the whole section\n" << dump.out;

  // The icon and the manifest, as icoutils reads them.
  PXQ_NEED_TOOLS(Have("wrestool"), "wrestool (icoutils) is not installed");
  std::string ico = stubs.dir.File("back.ico");
  ASSERT_EQ(0, RunShell("wrestool -x --type=14 -o " + ShellQuote(ico) + " " + ShellQuote(setup)).status);
  std::vector<uint8_t> original = IconFile(), back = ReadFileBytes(ico);
  ASSERT_GE(back.size(), original.size());
  EXPECT_EQ(original, std::vector<uint8_t>(back.begin(), back.begin() + static_cast<long>(original.size())));
  CommandResult manifest = RunShell("wrestool -x --raw --type=24 " + ShellQuote(setup));
  EXPECT_NE(std::string::npos, manifest.out.find("<requestedExecutionLevel level=\"highestAvailable\""))
      << manifest.out;
}

TEST(PxqResources, UnsetResourcesKeepTheStubsAndLevelNoneDropsTheManifest) {
  Stubs stubs;
  if (stubs.stub.empty()) GTEST_SKIP() << "the mingw-w64 toolchain is not installed";
  // A stub with a manifest of its own.
  std::string manifested = BuildWindowsExe(
      stubs.dir, "manifested",
      std::string(kStubResources) +
          "1 24 { \"<assembly><trustInfo><security><requestedPrivileges><requestedExecutionLevel "
          "level=\"\"requireAdministrator\"\"/></requestedPrivileges></security></trustInfo></assembly>\" }\n",
      "-Wl,--disable-reloc-section");
  ASSERT_FALSE(manifested.empty());
  std::string kept = stubs.dir.File("kept.exe"), dropped = stubs.dir.File("dropped.exe");
  ASSERT_EQ(0, stubs.Pack(kept, manifested, {"--arguments", "/quiet"}).status);
  CommandResult list = RunPxq({"list", kept});
  for (const char* line : {"arguments    \"/quiet\"\n", "version      file 1.0.0.0, product 1.0.0.0\n",
                           "             FileDescription  \"Test stub\"\n", "             ProductName      \"pxq\"\n",
                           "             FileVersion      \"1.0.0\"\n",
                           "manifest     execution level requireAdministrator\n", "icon         none\n"})
    EXPECT_NE(std::string::npos, list.out.find(line)) << line << "\n" << list.out;
  ASSERT_EQ(0, stubs.Pack(dropped, manifested, {"--execution-level", "none"}).status);
  list = RunPxq({"list", dropped});
  EXPECT_NE(std::string::npos, list.out.find("manifest     none (execution level none)\n")) << list.out;
  EXPECT_NE(std::string::npos, list.out.find("arguments    empty\n")) << list.out;
}

// "LoaderPath": what pack writes and the stub had, as list and list --json
// show it, and never among the other version strings.
TEST(PxqResources, LoaderPathIsWrittenAndShown) {
  Stubs stubs;
  if (stubs.stub.empty()) GTEST_SKIP() << "the mingw-w64 toolchain is not installed";
  auto withvalue = [&](const char* name, const char* value) {
    std::string resources = kStubResources;
    resources.insert(resources.find("      VALUE \"ProductName\""),
                     std::string("      VALUE \"LoaderPath\", \"") + value + "\"\n");
    return BuildWindowsExe(stubs.dir, name, resources, "-Wl,--disable-reloc-section");
  };
  std::string sideways = withvalue("sideways", "sideways"), capital = withvalue("capital", "Environment");
  ASSERT_FALSE(sideways.empty());
  ASSERT_FALSE(capital.empty());
  struct Case {
    std::string stub;
    std::vector<std::string> options;
    std::string row;   // after "loader path  "
    std::string json;  // release.stub.loaderpath
  } cases[] = {
      {stubs.stub, {}, "last (default)", "last"},
      {stubs.stub, {"--loader-path", "last"}, "last", "last"},
      {stubs.stub, {"--loader-path=environment", "--arguments", "/S"}, "environment", "environment"},
      {sideways, {}, "\"sideways\" (unknown: the loader passes its path last)", "sideways"},
      {sideways, {"--loader-path", "environment"}, "environment", "environment"},
      {capital, {"--arguments", "/S"}, "\"Environment\" (the loader reads it as environment)", "Environment"},
      {stubs.foreign, {}, "last (default)", "last"},
  };
  std::string out = stubs.dir.File("out.exe");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.stub + " " + (c.options.empty() ? "" : c.options[0]));
    CommandResult pack = stubs.Pack(out, c.stub, c.options);
    ASSERT_EQ(0, pack.status) << pack.err;
    CommandResult list = RunPxq({"list", out});
    EXPECT_EQ(0, list.status) << list.err;
    EXPECT_NE(std::string::npos, list.out.find("\nloader path  " + c.row + "\n")) << list.out;
    EXPECT_EQ(std::string::npos, list.out.find("LoaderPath")) << list.out;
    list = RunPxq({"list", "--json", out});
    nlohmann::json report = nlohmann::json::parse(list.out);
    EXPECT_EQ(c.json, report["release"]["stub"]["loaderpath"]) << list.out;
    EXPECT_FALSE(report["release"]["stub"]["strings"].contains("LoaderPath")) << list.out;
  }
}

// "Errors" likewise: the row "errors" and the field release.stub.errors.
TEST(PxqResources, ErrorsIsWrittenAndShown) {
  Stubs stubs;
  if (stubs.stub.empty()) GTEST_SKIP() << "the mingw-w64 toolchain is not installed";
  auto withvalue = [&](const char* name, const char* value) {
    std::string resources = kStubResources;
    resources.insert(resources.find("      VALUE \"ProductName\""),
                     std::string("      VALUE \"Errors\", \"") + value + "\"\n");
    return BuildWindowsExe(stubs.dir, name, resources, "-Wl,--disable-reloc-section");
  };
  std::string quiet = withvalue("quiet", "quiet"), capital = withvalue("capital", "SILENT");
  ASSERT_FALSE(quiet.empty());
  ASSERT_FALSE(capital.empty());
  struct Case {
    std::string stub;
    std::vector<std::string> options;
    std::string row;   // after "errors       "
    std::string json;  // release.stub.errors
  } cases[] = {
      {stubs.stub, {}, "box (default)", "box"},
      {stubs.stub, {"--errors", "box"}, "box", "box"},
      {stubs.stub, {"--errors=silent", "--loader-path", "environment"}, "silent", "silent"},
      {quiet, {}, "\"quiet\" (unknown: the loader shows its box)", "quiet"},
      {quiet, {"--errors", "silent"}, "silent", "silent"},
      {capital, {"--arguments", "/S"}, "\"SILENT\" (the loader reads it as silent)", "SILENT"},
      {stubs.foreign, {}, "box (default)", "box"},
  };
  std::string out = stubs.dir.File("out.exe");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.stub + " " + (c.options.empty() ? "" : c.options[0]));
    CommandResult pack = stubs.Pack(out, c.stub, c.options);
    ASSERT_EQ(0, pack.status) << pack.err;
    // A setting, not a vendor's string: no note about pxq's own strings.
    if (c.options.size() == 2) {
      EXPECT_EQ(std::string::npos, pack.err.find("stay")) << pack.err;
    }
    CommandResult list = RunPxq({"list", out});
    EXPECT_EQ(0, list.status) << list.err;
    EXPECT_NE(std::string::npos, list.out.find("\nerrors       " + c.row + "\n")) << list.out;
    EXPECT_EQ(std::string::npos, list.out.find("Errors")) << list.out;
    list = RunPxq({"list", "--json", out});
    nlohmann::json report = nlohmann::json::parse(list.out);
    EXPECT_EQ(c.json, report["release"]["stub"]["errors"]) << list.out;
    EXPECT_FALSE(report["release"]["stub"]["strings"].contains("Errors")) << list.out;
  }
}

TEST(PxqResources, RefusalsLeaveNoOutput) {
  Stubs stubs;
  if (stubs.stub.empty()) GTEST_SKIP() << "the mingw-w64 toolchain is not installed";
  WriteFileText(stubs.dir.File("not.ico"), "not an icon at all");
  std::string out = stubs.dir.File("out.exe");
  // The stub signed: a certificate table after its last section, named in
  // the security directory (PE32: optional header + 128).
  std::vector<uint8_t> signedbytes = ReadFileBytes(stubs.stub);
  size_t security = signedbytes[0x3C] + (signedbytes[0x3D] << 8) + 24 + 128;
  uint32_t table = static_cast<uint32_t>(signedbytes.size());
  for (int i = 0; i < 4; ++i) signedbytes[security + i] = static_cast<uint8_t>(table >> (8 * i));
  signedbytes[security + 4] = 16;
  signedbytes.insert(signedbytes.end(), {16, 0, 0, 0, 0, 2, 2, 0, 0x30, 0x82, 0, 0, 0, 0, 0, 0});
  std::string signedstub = stubs.dir.File("signed.exe");
  WriteFileBytes(signedstub, signedbytes);
  struct Case {
    std::string stub;
    std::vector<std::string> options;
    int status;
    const char* message;
  } cases[] = {
      // 63 characters and one outside the BMP: 65 UTF-16 units.
      {stubs.stub, {"--arguments", std::string(63, 'a') + "\xF0\x9F\x98\x80"}, 2, "65 UTF-16 units; the stub has room for 64"},
      {stubs.stub, {"--arguments", "\xFF"}, 2, "not valid UTF-8"},
      {stubs.stub, {"--execution-level", "admin"}, 2, "unknown execution level 'admin'"},
      {stubs.stub, {"--loader-path", "first"}, 2, "unknown loader path 'first'; use last or environment"},
      {stubs.stub, {"--loader-path", "Environment"}, 2, "unknown loader path 'Environment'"},
      {stubs.stub, {"--errors", "quiet"}, 2, "unknown errors setting 'quiet'; use box or silent"},
      {stubs.stub, {"--file-version", "beta"}, 2, "must begin with the version's numbers"},
      {stubs.stub, {"--product-version", "70000.1"}, 2, "must begin with the version's numbers"},
      {stubs.stub, {"--icon", stubs.dir.File("not.ico")}, 1, "not an icon file"},
      {stubs.relocfirst, {"--arguments", "x"}, 1, "its resource section (.rsrc) is not its last section"},
      // Its signature follows the last section, but the signature is why.
      {signedstub, {"--arguments", "x"}, 1, "it is signed; pack an unsigned stub and sign the loader file"},
      {stubs.foreign, {"--arguments", std::string(70000, 'x')}, 2, "room for 64"},
      // A text too long for the version resource is named by its option,
      // alone or with the others it is too long with.
      {stubs.stub, {"--product-name", std::string(40000, 'x')}, 1,
       "pxq: --product-name: the version resource would exceed 65,535 bytes; give a shorter text\n"},
      {stubs.stub, {"--file-description", std::string(40000, 'x')}, 1, "pxq: --file-description: "},
      {stubs.stub, {"--company", std::string(40000, 'x')}, 1, "pxq: --company: "},
      {stubs.stub, {"--copyright", std::string(40000, 'x')}, 1, "pxq: --copyright: "},
      {stubs.stub, {"--product-version", "1 " + std::string(40000, 'x')}, 1, "pxq: --product-version: "},
      {stubs.stub, {"--file-version", "1 " + std::string(40000, 'x')}, 1, "pxq: --file-version: "},
      {stubs.stub, {"--company", std::string(20000, 'x'), "--product-name", std::string(20000, 'x')}, 1,
       "pxq: --company, --product-name: "},
  };
  for (const Case& c : cases) {
    CommandResult pack = stubs.Pack(out, c.stub, c.options);
    EXPECT_EQ(c.status, pack.status) << c.options[0] << " " << pack.err;
    EXPECT_NE(std::string::npos, pack.err.find(c.message)) << pack.err.substr(0, 300);
    if (strncmp(c.message, "pxq: --", 7) == 0) {
      EXPECT_EQ(std::string::npos, pack.err.find(c.stub)) << pack.err.substr(0, 300);
    }
    EXPECT_FALSE(FileExists(out)) << c.options[0];
  }
}

TEST(PxqResources, NotesOnWhatTheVendorLeftAsTheStubHadIt) {
  Stubs stubs;
  if (stubs.stub.empty()) GTEST_SKIP() << "the mingw-w64 toolchain is not installed";
  std::string out = stubs.dir.File("out.exe");
  const std::string outside = "pxq pack: warning: --arguments: ";
  struct Case {
    std::vector<std::string> options;
    std::string message;  // "" for neither a note nor a warning about --arguments
  } cases[] = {
      {{"--product-name", "Acme Setup", "--company", "Acme"},
       "pxq pack: note: the stub's own FileDescription \"Test stub\", FileVersion \"1.0.0\", ProductVersion "
       "\"1.0.0\" stay; --file-description, --file-version, --product-version would replace them\n"},
      {{"--product-name", "Acme Setup", "--file-description", "Acme Setup", "--file-version", "2.0",
        "--product-version", "2.0"},
       ""},
      // Without a version string the vendor brands nothing: no note.
      {{"--arguments", "/S"}, ""},
      {{"--arguments", "/\xD0\x93\xD0\xBE\xD1\x80\xD0\xBE\xD0\xB4 /q"},  // "/Город /q"
       outside + "characters outside Windows-1252 (\xD0\x93\xD0\xBE\xD1\x80\xD0\xB4): Windows hands the value to "
                 "the loader in the system's ANSI code page, so they arrive as '?' where that code page lacks them\n"},
      {{"--arguments", "/Caf\xC3\xA9 \xE2\x80\x93 \xE2\x82\xAC"}, ""},  // "/Café – €": all in Windows-1252
  };
  for (const Case& c : cases) {
    CommandResult pack = stubs.Pack(out, stubs.stub, c.options);
    EXPECT_EQ(0, pack.status) << c.options[1] << "\n" << pack.err;
    if (c.message.empty()) {
      EXPECT_EQ(std::string::npos, pack.err.find("note:")) << pack.err;
      EXPECT_EQ(std::string::npos, pack.err.find(outside)) << pack.err;
    } else {
      EXPECT_NE(std::string::npos, pack.err.find(c.message)) << pack.err;
    }
    std::vector<std::string> quiet = c.options;
    quiet.push_back("-q");
    EXPECT_EQ("", stubs.Pack(out, stubs.stub, quiet).err) << c.options[1];
  }
}

// A version string whose key is not ASCII keeps its key through pack's
// rewrite of the resources, and through a rewrite of the rewritten stub.
TEST(PxqResources, NonAsciiVersionKeysKeepTheirText) {
  Stubs stubs;
  if (stubs.stub.empty()) GTEST_SKIP() << "the mingw-w64 toolchain is not installed";
  // "ProductName" becomes "Pr\u00F6ductName" in place, as UTF-16.
  std::vector<uint8_t> bytes = ReadFileBytes(stubs.stub);
  const uint8_t key[] = {'P', 0, 'r', 0, 'o', 0, 'd', 0, 'u', 0, 'c', 0, 't', 0, 'N', 0};
  auto at = std::search(bytes.begin(), bytes.end(), key, key + sizeof key);
  ASSERT_NE(bytes.end(), at);
  at[4] = 0xF6;
  std::string stub = stubs.dir.File("keyed.exe");
  WriteFileBytes(stub, bytes);
  const std::string line = "\n             Pr\xC3\xB6" "ductName";
  std::string once = stubs.dir.File("once.exe"), twice = stubs.dir.File("twice.exe");
  ASSERT_EQ(0, stubs.Pack(once, stub, {"--arguments", "first"}).status);
  CommandResult list = RunPxq({"list", once});
  EXPECT_NE(std::string::npos, list.out.find(line)) << list.out;
  EXPECT_NE(std::string::npos, list.out.find("\"pxq\"", list.out.find(line))) << list.out;

  // The rewritten stub (the loader file up to its archive) rewritten again.
  std::vector<uint8_t> packed = ReadFileBytes(once);
  size_t archive = packed[0x2C] | packed[0x2D] << 8 | packed[0x2E] << 16 | static_cast<size_t>(packed[0x2F]) << 24;
  ASSERT_LT(archive, packed.size());
  packed.resize(archive);
  std::string rewritten = stubs.dir.File("rewritten.exe");
  WriteFileBytes(rewritten, packed);
  ASSERT_EQ(0, stubs.Pack(twice, rewritten, {"--arguments", "second"}).status);
  list = RunPxq({"list", twice});
  EXPECT_NE(std::string::npos, list.out.find(line)) << list.out;
  EXPECT_NE(std::string::npos, list.out.find("arguments    \"second\"")) << list.out;
  EXPECT_EQ(ReadFileBytes(once).size(), ReadFileBytes(twice).size()) << "the key grew";
}

TEST(PxqResources, ForeignAndPackedStubsAreNamed) {
  Stubs stubs;
  if (stubs.stub.empty()) GTEST_SKIP() << "the mingw-w64 toolchain is not installed";
  std::string foreign = stubs.dir.File("foreign-setup.exe");
  CommandResult pack = stubs.Pack(foreign, stubs.foreign, {});
  ASSERT_EQ(0, pack.status) << pack.err;
  EXPECT_NE(std::string::npos, pack.err.find("warning: " + stubs.foreign + " is not a pxq stub")) << pack.err;
  CommandResult list = RunPxq({"list", foreign});
  EXPECT_NE(std::string::npos, list.out.find("stub         a foreign executable")) << list.out;
  EXPECT_NE(std::string::npos, list.out.find("arguments    none (no version resource)")) << list.out;

  std::string packed = stubs.dir.File("packed.exe"), twice = stubs.dir.File("twice.exe");
  ASSERT_EQ(0, stubs.Pack(packed, stubs.stub, {}).status);
  pack = stubs.Pack(twice, packed, {});
  EXPECT_EQ(0, pack.status) << pack.err;
  EXPECT_NE(std::string::npos, pack.err.find("is already a packed loader file")) << pack.err;
  // Its resources cannot be rewritten: the old archive follows them.
  pack = stubs.Pack(twice, packed, {"--arguments", "x"});
  EXPECT_EQ(1, pack.status);
  EXPECT_NE(std::string::npos, pack.err.find("data follows its last section")) << pack.err;
}

}  // namespace
