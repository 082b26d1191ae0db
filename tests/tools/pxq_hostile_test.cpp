// pack and list on small hostile files: a resource tree whose directories
// share subdirectories, a resource directory named by many section headers,
// an icon whose directory entries all name one image. Each is measured
// against a benign file of the same shape (peak RSS and CPU time of the pxq
// process, from /usr/bin/time) and must stay within a fixed margin of it:
// before the readers were bounded they took hundreds of MiB to GiB and
// seconds to minutes.
#include <stdio.h>
#include <string.h>

#include <utility>

#include <gtest/gtest.h>

#include "support/file_bytes.h"
#include "support/scratch_dir.h"
#include "tools_support.h"

namespace {

// What a hostile file may cost above the benign one.
const long kMemoryMarginKib = 16 * 1024;
const double kCpuMarginSeconds = 0.5;

void Put16(std::vector<uint8_t>* bytes, size_t at, uint32_t value) {
  (*bytes)[at] = static_cast<uint8_t>(value);
  (*bytes)[at + 1] = static_cast<uint8_t>(value >> 8);
}

void Put32(std::vector<uint8_t>* bytes, size_t at, uint32_t value) {
  for (int i = 0; i < 4; ++i) (*bytes)[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

size_t Align(size_t value, size_t alignment) { return (value + alignment - 1) / alignment * alignment; }

// A PE32 image: headers, then one section of resources, its last and only,
// at the RVA that ImageRva gives; `headers` section headers in all, each of
// them naming that section.
const size_t kSectionTable = 0x40 + 24 + 224;

uint32_t ImageRva(size_t headers) {
  return static_cast<uint32_t>(Align(Align(kSectionTable + 40 * headers, 0x200), 0x1000));
}

std::vector<uint8_t> ResourceImage(const std::vector<uint8_t>& tree, size_t headers = 1) {
  size_t sizeofheaders = Align(kSectionTable + 40 * headers, 0x200);
  size_t rawsize = Align(tree.size(), 0x200);
  uint32_t rva = ImageRva(headers);
  std::vector<uint8_t> image(sizeofheaders, 0);
  image[0] = 'M';
  image[1] = 'Z';
  Put32(&image, 0x3C, 0x40);
  Put32(&image, 0x40, 0x00004550);
  Put16(&image, 0x44, 0x14C);                              // i386
  Put16(&image, 0x46, static_cast<uint32_t>(headers));     // sections
  Put16(&image, 0x54, 224);                                // optional header size
  Put16(&image, 0x56, 0x0102);                             // executable, 32-bit
  size_t optional = 0x58;
  Put16(&image, optional, 0x10B);
  Put32(&image, optional + 32, 0x1000);                    // SectionAlignment
  Put32(&image, optional + 36, 0x200);                     // FileAlignment
  Put32(&image, optional + 56, static_cast<uint32_t>(Align(rva + tree.size(), 0x1000)));
  Put32(&image, optional + 60, static_cast<uint32_t>(sizeofheaders));
  Put32(&image, optional + 92, 16);                        // data directories
  Put32(&image, optional + 96 + 16, rva);                  // resources
  Put32(&image, optional + 96 + 20, static_cast<uint32_t>(tree.size()));
  for (size_t i = 0; i < headers; ++i) {
    size_t header = kSectionTable + 40 * i;
    memcpy(image.data() + header, ".rsrc", 5);
    Put32(&image, header + 8, static_cast<uint32_t>(tree.size()));
    Put32(&image, header + 12, rva);
    Put32(&image, header + 16, static_cast<uint32_t>(rawsize));
    Put32(&image, header + 20, static_cast<uint32_t>(sizeofheaders));
    Put32(&image, header + 36, 0x40000040);                // initialized data, readable
  }
  image.insert(image.end(), tree.begin(), tree.end());
  image.resize(sizeofheaders + rawsize, 0);
  return image;
}

// A resource directory at `at`: `count` id entries (1, 2, ...), each naming
// `target` (a subdirectory when `subdirectory`, else a data entry).
void PutDirectory(std::vector<uint8_t>* tree, size_t at, size_t count, size_t target, bool subdirectory) {
  Put16(tree, at + 14, static_cast<uint32_t>(count));
  for (size_t i = 0; i < count; ++i) {
    Put32(tree, at + 16 + 8 * i, static_cast<uint32_t>(i + 1));
    Put32(tree, at + 20 + 8 * i, static_cast<uint32_t>(target) | (subdirectory ? 0x80000000u : 0));
  }
}

// Three levels of `width` entries each, every entry of a level naming the
// one directory of the next level, the languages one data entry of `data`
// bytes: width^3 resources from a few KiB. Shared is false: a sound tree of
// one path with the same directories and data.
std::vector<uint8_t> SharedTree(uint32_t rva, size_t width, size_t data, bool shared) {
  size_t n = shared ? width : 1;
  size_t types = 0, names = 16 + 8 * n, languages = names + 16 + 8 * n, entry = languages + 16 + 8 * n;
  std::vector<uint8_t> tree(entry + 16 + data, 0x5A);
  for (size_t at = 0; at < entry + 16; ++at) tree[at] = 0;
  PutDirectory(&tree, types, n, names, true);
  PutDirectory(&tree, names, n, languages, true);
  PutDirectory(&tree, languages, n, entry, false);
  Put32(&tree, entry, rva + static_cast<uint32_t>(entry + 16));
  Put32(&tree, entry + 4, static_cast<uint32_t>(data));
  return tree;
}

// One type, one name, `languages` languages each naming one data entry of
// 8 bytes: a sound tree that is costly to walk.
std::vector<uint8_t> WideTree(uint32_t rva, size_t languages) {
  size_t names = 16 + 8, language = names + 16 + 8, entry = language + 16 + 8 * languages;
  std::vector<uint8_t> tree(entry + 16 + 8, 0);
  PutDirectory(&tree, 0, 1, names, true);
  PutDirectory(&tree, names, 1, language, true);
  PutDirectory(&tree, language, languages, entry, false);
  Put32(&tree, entry, rva + static_cast<uint32_t>(entry + 16));
  Put32(&tree, entry + 4, 8);
  return tree;
}

// `count` types, each named by one string of `units` UTF-16 units, each
// with a name and a language of its own naming one empty data entry; the
// types name strings of their own when not `shared`.
std::vector<uint8_t> NamedTree(uint32_t rva, size_t count, size_t units, bool shared) {
  size_t strings = 16 + 8 * count, perstring = 2 + 2 * units;
  size_t directories = strings + (shared ? 1 : count) * perstring;
  directories = Align(directories, 8);
  size_t entry = directories + count * 48;
  std::vector<uint8_t> tree(entry + 16, 0);
  Put16(&tree, 12, static_cast<uint32_t>(count));
  for (size_t i = 0; i < (shared ? 1 : count); ++i) {
    Put16(&tree, strings + i * perstring, static_cast<uint32_t>(units));
    for (size_t u = 0; u < units; ++u) Put16(&tree, strings + i * perstring + 2 + 2 * u, 'A' + (i + u) % 26);
  }
  for (size_t i = 0; i < count; ++i) {
    size_t names = directories + 48 * i, languages = names + 24;
    Put32(&tree, 16 + 8 * i, 0x80000000u | static_cast<uint32_t>(strings + (shared ? 0 : i * perstring)));
    Put32(&tree, 20 + 8 * i, 0x80000000u | static_cast<uint32_t>(names));
    PutDirectory(&tree, names, 1, languages, true);
    PutDirectory(&tree, languages, 1, entry, false);
  }
  Put32(&tree, entry, rva + static_cast<uint32_t>(entry));
  return tree;
}

// An .ico file of `count` directory entries; `shared`: all of them name one
// image of `size` bytes, else each its own.
std::vector<uint8_t> IconFile(size_t count, size_t size, bool shared) {
  size_t first = 6 + 16 * count;
  std::vector<uint8_t> ico(first + (shared ? 1 : count) * size, 0x11);
  for (size_t at = 0; at < first; ++at) ico[at] = 0;
  Put16(&ico, 2, 1);
  Put16(&ico, 4, static_cast<uint32_t>(count));
  for (size_t i = 0; i < count; ++i) {
    size_t entry = 6 + 16 * i;
    ico[entry] = ico[entry + 1] = 16;
    Put16(&ico, entry + 4, 1);
    Put16(&ico, entry + 6, 32);
    Put32(&ico, entry + 8, static_cast<uint32_t>(size));
    Put32(&ico, entry + 12, static_cast<uint32_t>(first + (shared ? 0 : i * size)));
  }
  return ico;
}

struct Cost {
  int status = -1;
  std::string err;
  long peakkib = 0;
  double cpu = 0;  // user + system seconds
};

// Runs pxq with `arguments` under /usr/bin/time: a child forked from this
// test would count the test's own pages.
Cost Measure(const ScratchDir& dir, const std::vector<std::string>& arguments) {
  std::string command = "/usr/bin/time -f '%M %U %S' -o " + ShellQuote(dir.File("cost")) + " " + ShellQuote(PxqPath());
  for (const std::string& argument : arguments) command += " " + ShellQuote(argument);
  CommandResult run = RunShell(command + " >/dev/null");
  Cost cost;
  cost.status = run.status;
  cost.err = run.err;
  double user = 0, system = 0;
  std::string text = ReadFileText(dir.File("cost"));
  // /usr/bin/time puts "Command exited with non-zero status N" first.
  size_t line = text.find_last_of('\n', text.size() >= 2 ? text.size() - 2 : 0);
  text = line == std::string::npos ? text : text.substr(line + 1);
  EXPECT_EQ(3, sscanf(text.c_str(), "%ld %lf %lf", &cost.peakkib, &user, &system)) << text;
  cost.cpu = user + system;
  return cost;
}

void ExpectWithinMargin(const Cost& benign, const Cost& hostile, const std::string& what) {
  EXPECT_LT(hostile.peakkib, benign.peakkib + kMemoryMarginKib)
      << what << ": " << hostile.peakkib << " KiB against " << benign.peakkib << " KiB";
  EXPECT_LT(hostile.cpu, benign.cpu + kCpuMarginSeconds)
      << what << ": " << hostile.cpu << " s against " << benign.cpu << " s";
}

struct Files {
  ScratchDir dir;
  Files() { WriteFileText(dir.File("installer.sh"), "#!/bin/sh\nexit 0\n"); }
  std::vector<std::string> Pack(const std::string& stub, const std::string& out) const {
    return {"pack", "-o", dir.File(out), "--stub", dir.File(stub), "--generic", dir.File("installer.sh"),
            "--preset", "0", "-q"};
  }
};

class PxqHostile : public ::testing::Test {
 protected:
  void SetUp() override {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer's own memory hides what is measured";
#endif
  }
};

// 39 types, each naming one directory of 39 names, each naming one of 39
// languages, each naming 4 KiB of data: a 5 KiB stub whose tree, read path
// by path, is 59,319 copies of the data (232 MiB). Read directory by
// directory it is one path; the rest is refused. The same for a name that
// many entries share.
TEST_F(PxqHostile, SharedResourceDirectoriesAreReadOnce) {
  Files files;
  uint32_t rva = ImageRva(1);
  WriteFileBytes(files.dir.File("shared-benign.exe"), ResourceImage(SharedTree(rva, 39, 4096, false)));
  WriteFileBytes(files.dir.File("shared.exe"), ResourceImage(SharedTree(rva, 39, 4096, true)));
  // 2,000 types named by one string of 60,000 units: a 230 KiB stub whose
  // resources, each holding its type's name, would take 229 MiB.
  WriteFileBytes(files.dir.File("names-benign.exe"), ResourceImage(NamedTree(rva, 2, 60000, false)));
  WriteFileBytes(files.dir.File("names.exe"), ResourceImage(NamedTree(rva, 2000, 60000, true)));
  for (const char* kind : {"shared", "names"}) {
    for (const char* command : {"pack", "list"}) {
      Cost costs[2];
      for (int hostile = 0; hostile < 2; ++hostile) {
        std::string stub = std::string(kind) + (hostile ? ".exe" : "-benign.exe"), out = "setup-" + stub;
        costs[hostile] = Measure(files.dir, command == std::string("pack")
                                                ? files.Pack(stub, out)
                                                : std::vector<std::string>{"list", files.dir.File(out)});
        EXPECT_EQ(0, costs[hostile].status) << command << " " << stub << ": " << costs[hostile].err;
      }
      ExpectWithinMargin(costs[0], costs[1], std::string(command) + " " + kind);
    }
  }
  // pack refuses to rewrite such a tree, and says why: its languages share
  // one data entry; without data, its directories are shared.
  WriteFileBytes(files.dir.File("empty.exe"), ResourceImage(SharedTree(rva, 39, 0, true)));
  for (const auto& refusal : {std::make_pair("shared.exe", "the resources' data adds up to more than their section"),
                              std::make_pair("empty.exe", "a resource directory is reached twice"),
                              std::make_pair("names.exe", "the resources' names add up to more than their section")}) {
    std::vector<std::string> arguments = files.Pack(refusal.first, "refused.exe");
    arguments.insert(arguments.end(), {"--arguments", "x"});
    CommandResult pack = RunPxq(arguments);
    EXPECT_EQ(1, pack.status);
    EXPECT_NE(std::string::npos, pack.err.find(std::string("cannot take the resources: ") + refusal.second))
        << pack.err;
    EXPECT_FALSE(FileExists(files.dir.File("refused.exe")));
  }
}

// 1,500 section headers that all name the resource section, whose tree has
// 16,000 languages: read once, as for one header.
TEST_F(PxqHostile, ManySectionHeadersNamingTheResourcesAreOneWalk) {
  Files files;
  WriteFileBytes(files.dir.File("one.exe"), ResourceImage(WideTree(ImageRva(1), 16000), 1));
  WriteFileBytes(files.dir.File("many.exe"), ResourceImage(WideTree(ImageRva(1500), 16000), 1500));
  Cost packs[2], lists[2];
  for (int hostile = 0; hostile < 2; ++hostile) {
    std::string stub = hostile ? "many.exe" : "one.exe", out = hostile ? "many-setup.exe" : "setup.exe";
    packs[hostile] = Measure(files.dir, files.Pack(stub, out));
    EXPECT_EQ(0, packs[hostile].status) << stub << ": " << packs[hostile].err;
    lists[hostile] = Measure(files.dir, {"list", files.dir.File(out)});
    EXPECT_EQ(0, lists[hostile].status) << out << ": " << lists[hostile].err;
  }
  ExpectWithinMargin(packs[0], packs[1], "pack");
  ExpectWithinMargin(lists[0], lists[1], "list");
}

// 65,535 directory entries naming one 4 KiB image (a 1 MiB .ico) would be
// 256 MiB of RT_ICON resources; images that overlap are refused at once.
TEST_F(PxqHostile, IconImagesMayNotOverlap) {
  Files files;
  WriteFileBytes(files.dir.File("stub.exe"), ResourceImage(SharedTree(ImageRva(1), 1, 16, false)));
  WriteFileBytes(files.dir.File("benign.ico"), IconFile(2, 4096, false));
  WriteFileBytes(files.dir.File("shared.ico"), IconFile(65535, 4096, true));
  std::vector<std::string> arguments = files.Pack("stub.exe", "setup.exe");
  arguments.insert(arguments.end(), {"--icon", files.dir.File("benign.ico")});
  Cost benign = Measure(files.dir, arguments);
  EXPECT_EQ(0, benign.status) << benign.err;
  arguments.back() = files.dir.File("shared.ico");
  arguments[2] = files.dir.File("shared-setup.exe");
  Cost hostile = Measure(files.dir, arguments);
  EXPECT_EQ(1, hostile.status);
  EXPECT_NE(std::string::npos, hostile.err.find("images 1 and 2 of the icon file overlap")) << hostile.err;
  EXPECT_FALSE(FileExists(files.dir.File("shared-setup.exe")));
  ExpectWithinMargin(benign, hostile, "pack --icon");

  // Two images that only touch are sound; one that overlaps its neighbour
  // by a byte is not.
  std::vector<uint8_t> ico = IconFile(3, 100, false);
  WriteFileBytes(files.dir.File("touching.ico"), ico);
  arguments.back() = files.dir.File("touching.ico");
  CommandResult pack = RunPxq(arguments);
  EXPECT_EQ(0, pack.status) << pack.err;
  Put32(&ico, 6 + 16 * 2 + 12, 6 + 16 * 3 + 199);  // image 3 begins on image 2's last byte
  WriteFileBytes(files.dir.File("overlapping.ico"), ico);
  arguments.back() = files.dir.File("overlapping.ico");
  pack = RunPxq(arguments);
  EXPECT_EQ(1, pack.status);
  EXPECT_NE(std::string::npos, pack.err.find("images 2 and 3 of the icon file overlap")) << pack.err;
}

// A 1 KiB loader file whose section table claims 16 MiB of image: list
// reads no more than the file holds (it filled a buffer of the claim).
TEST_F(PxqHostile, ListReadsNoMoreOfTheImageThanTheFileHolds) {
  Files files;
  WriteFileBytes(files.dir.File("stub.exe"), ResourceImage(SharedTree(ImageRva(1), 1, 16, false)));
  ASSERT_EQ(0, RunPxq(files.Pack("stub.exe", "setup.exe")).status);
  std::vector<uint8_t> claims = ReadFileBytes(files.dir.File("setup.exe"));
  Put32(&claims, kSectionTable + 16, 16u << 20);  // SizeOfRawData
  WriteFileBytes(files.dir.File("claims.exe"), claims);
  Cost benign = Measure(files.dir, {"list", files.dir.File("setup.exe")});
  Cost hostile = Measure(files.dir, {"list", files.dir.File("claims.exe")});
  EXPECT_EQ(0, benign.status) << benign.err;
  EXPECT_LT(hostile.peakkib, benign.peakkib + 4 * 1024)
      << hostile.peakkib << " KiB against " << benign.peakkib << " KiB";
}

// A 1 KiB stub whose FileAlignment is 0x24924900: its rewritten resource
// section, padded to that, made a 613 MB loader file (600 MiB peak).
TEST_F(PxqHostile, AHugeFileAlignmentIsRefused) {
  Files files;
  std::vector<uint8_t> image = ResourceImage(SharedTree(ImageRva(1), 1, 16, false));
  WriteFileBytes(files.dir.File("stub.exe"), image);
  Put32(&image, 0x58 + 36, 0x24924900);
  WriteFileBytes(files.dir.File("aligned.exe"), image);
  std::vector<std::string> arguments = files.Pack("stub.exe", "setup.exe");
  arguments.insert(arguments.end(), {"--arguments", "x"});
  Cost benign = Measure(files.dir, arguments);
  EXPECT_EQ(0, benign.status) << benign.err;
  arguments = files.Pack("aligned.exe", "aligned-setup.exe");
  arguments.insert(arguments.end(), {"--arguments", "x"});
  Cost hostile = Measure(files.dir, arguments);
  EXPECT_EQ(1, hostile.status);
  EXPECT_NE(std::string::npos, hostile.err.find("its file alignment (613566720) is not a power of two up to 65,536"))
      << hostile.err;
  EXPECT_FALSE(FileExists(files.dir.File("aligned-setup.exe")));
  ExpectWithinMargin(benign, hostile, "pack --arguments");
}

// A section whose image reaches into the resource section would have the
// rewritten resources under it, and readers that map an address through
// the first section holding it would read its bytes for them.
TEST_F(PxqHostile, ASectionOverlappingTheResourcesIsRefused) {
  Files files;
  uint32_t rva = ImageRva(2);
  std::vector<uint8_t> image = ResourceImage(SharedTree(rva, 1, 16, false), 2);
  memcpy(image.data() + kSectionTable, ".text\0\0\0", 8);
  Put32(&image, kSectionTable + 8, 0x1800);        // VirtualSize: 0x800 bytes into .rsrc
  Put32(&image, kSectionTable + 12, rva - 0x1000);  // VirtualAddress
  Put32(&image, kSectionTable + 16, 0);             // no raw data
  WriteFileBytes(files.dir.File("overlap.exe"), image);
  std::vector<std::string> arguments = files.Pack("overlap.exe", "setup.exe");
  arguments.insert(arguments.end(), {"--arguments", "x"});
  CommandResult pack = RunPxq(arguments);
  EXPECT_EQ(1, pack.status);
  EXPECT_NE(std::string::npos, pack.err.find("cannot take the resources: its section .text overlaps its resource "
                                             "section (.rsrc)"))
      << pack.err;
  EXPECT_FALSE(FileExists(files.dir.File("setup.exe")));
}

}  // namespace
