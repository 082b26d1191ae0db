// pxq list and extract on loader files built by hand: every byte of the stamp,
// the headers and the entries is put here, and the stream is compressed by
// xz, so these tests show that pxq reads the format, not just its own
// writer's output; and damaged files, each named by what is wrong.
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>

#include <gtest/gtest.h>

#include "support/file_bytes.h"
#include "support/package_fixture.h"
#include "support/scratch_dir.h"
#include "tools_support.h"

namespace {

typedef std::vector<uint8_t> Bytes;

void Put32(Bytes* bytes, uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes->push_back(static_cast<uint8_t>(value >> (8 * i)));
}

void Put64(Bytes* bytes, uint64_t value) {
  Put32(bytes, static_cast<uint32_t>(value));
  Put32(bytes, static_cast<uint32_t>(value >> 32));
}

void PutText(Bytes* bytes, const char* text) {
  for (; *text != '\0'; ++text) bytes->push_back(static_cast<uint8_t>(*text));
}

void Set32(Bytes* bytes, size_t offset, uint32_t value) {
  for (int i = 0; i < 4; ++i) (*bytes)[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

struct HandEntry {
  uint64_t id;
  Bytes data;
  uint64_t lastwritetime;
  uint32_t attributes;
};

// The decompressed stream: each header as the format lays it out, then the data.
Bytes HandStream(const std::vector<HandEntry>& entries) {
  Bytes plain;
  for (const auto& entry : entries) {
    PutText(&plain, "gfe3");
    Put32(&plain, 0);
    Put64(&plain, entry.id);
    Put64(&plain, entry.data.size());
    Put64(&plain, 0x01C8B2161BE44FD2ull);  // OtherTime: not read
    Put64(&plain, entry.lastwritetime);
    Put32(&plain, entry.attributes);
    Put32(&plain, 0);
    Put64(&plain, 0x0005000100020003ull);  // product and file version: not read
    Put64(&plain, 0x0005000100020004ull);
    plain.insert(plain.end(), entry.data.begin(), entry.data.end());
  }
  return plain;
}

const uint32_t kHandOffset = 96;

// A loader file: a 96-byte stub with the stamp, an archive whose header keeps
// content in its unread bytes, properties lc 1, lp 1, pb 1 with a 64 KiB
// dictionary, the stream compressed by xz, the trailer, and more data after it.
Bytes HandLoader(const ScratchDir& dir, const Bytes& plain) {
  Bytes file = {'M', 'Z'};
  file.resize(0x24, 0);
  PutText(&file, "pxr5");
  file.push_back(0x02);  // NtX86 only
  file.resize(0x2C, 0);
  Put32(&file, kHandOffset);
  file.resize(0x3C, 0);
  Put32(&file, 0x40);
  file.resize(kHandOffset, 0x90);

  for (int i = 0; i < 16; ++i) file.push_back(static_cast<uint8_t>(0x11 * (i + 1)));
  PutText(&file, "gmo3");
  file.insert(file.end(), {0x01, 0x00, 0x05, 0x00});
  Put32(&file, 0);
  file.resize(file.size() + 20, 0);
  file.resize(file.size() + 16, 0x77);
  Put32(&file, 0xDEADBEEF);
  Put32(&file, 0xDEADBEEFu ^ 0x35BC6F82u);
  file.insert(file.end(), {(1 * 5 + 1) * 9 + 1, 0x00, 0x00, 0x01, 0x00});

  WriteFileBytes(dir.File("plain"), plain);
  CommandResult xz = RunShell("xz --format=raw --lzma1=lc=1,lp=1,pb=1,dict=64KiB -c <" + ShellQuote(dir.File("plain")) +
                              " >" + ShellQuote(dir.File("stream")));
  EXPECT_EQ(0, xz.status) << xz.err;
  Bytes stream = ReadFileBytes(dir.File("stream"));
  file.insert(file.end(), stream.begin(), stream.end());
  PutText(&file, "gfn3");
  file.insert(file.end(), {0x8B, 0x85, 0x9A, 0xCC});
  Put64(&file, 0);
  file.resize(file.size() + 100, 0x5C);  // the writer's further data
  return file;
}

const uint64_t kOtherId = 0xFFFFFFFFFFFF0002ull;
const uint64_t kNtX86Id = 0xFFFFFFFFFFFF0009ull;

std::vector<HandEntry> HandEntries() {
  return {{kOtherId, PatternBytes(1000, 7), 0, 0x80},
          {kNtX86Id, PatternBytes(20000, 8), 0x01C8AFE6DB0FFD7Aull, 0x21}};  // 2008-05-07 02:05:43.265625 UTC
}

TEST(PxqArchive, ListsAndExtractsAPackageBuiltByHand) {
  ScratchDir dir;
  std::vector<HandEntry> entries = HandEntries();
  Bytes file = HandLoader(dir, HandStream(entries));
  std::string setup = dir.File("setup.exe");
  WriteFileBytes(setup, file);
  size_t streamlength = ReadFileBytes(dir.File("stream")).size();

  CommandResult list = RunPxq({"list", setup});
  ASSERT_EQ(0, list.status) << list.err;
  for (const std::string& line : {
           std::string("builds: nt-x86 (platform flags 0x02)"),
           std::string("archive      at offset 96 (0x60)"),
           std::string("lc 1, lp 1, pb 1, dictionary 65536 bytes"),
           std::string("    1  0xFFFFFFFFFFFF0002                              1000  "),
           std::string("    2  0xFFFFFFFFFFFF0009  NtX86InstallerId           20000  2008-05-07 02:05:43.2656250 UTC  "
                       "READONLY|ARCHIVE (0x21)"),
           std::string("the end marker follows entry 2"),
           "trailer      at offset " + std::to_string(kHandOffset + 77 + streamlength),
       }) {
    EXPECT_NE(std::string::npos, list.out.find(line)) << line << "\n" << list.out;
  }

  CommandResult extract = RunPxq({"extract", setup, "--nt-x86", "-o", dir.File("x86.exe")});
  ASSERT_EQ(0, extract.status) << extract.err;
  EXPECT_TRUE(ReadFileBytes(dir.File("x86.exe")) == entries[1].data);
  struct stat info = {};
  ASSERT_EQ(0, stat(dir.File("x86.exe").c_str(), &info));
  EXPECT_EQ(1210125943, info.st_mtim.tv_sec);
  EXPECT_EQ(265625000, info.st_mtim.tv_nsec);
  EXPECT_EQ(0u, info.st_mode & 0222);
  extract = RunPxq({"extract", setup, "--id", "0xFFFFFFFFFFFF0002", "-o", dir.File("other")});
  ASSERT_EQ(0, extract.status) << extract.err;
  EXPECT_TRUE(ReadFileBytes(dir.File("other")) == entries[0].data);
}

TEST(PxqArchive, NamesWhatIsWrongWithADamagedFile) {
  ScratchDir dir;
  const size_t a = kHandOffset;
  typedef std::function<void(Bytes* file)> Patch;
  typedef std::function<void(std::vector<HandEntry>* entries, Bytes* plain)> StreamPatch;
  struct Case {
    const char* what;
    StreamPatch stream;
    Patch file;
    std::string message;  // "" for a file that is sound
    bool extractfails;    // extracting entry 2 meets the fault too
  } cases[] = {
      {"not a loader", nullptr, [](Bytes* f) { *f = {'h', 'e', 'l', 'l', 'o'}; },
       "not a pxq loader file (no MZ/pxr5 stamp)", true},
      {"MZ but too short", nullptr, [](Bytes* f) { f->resize(40); }, "not a pxq loader file (no MZ/pxr5 stamp)", true},
      {"wrong stamp magic", nullptr, [](Bytes* f) { (*f)[0x27] = '6'; }, "not a pxq loader file (no MZ/pxr5 stamp)",
       true},
      {"offset at the end", nullptr, [](Bytes* f) { Set32(f, 0x2C, static_cast<uint32_t>(f->size())); },
       "archive offset 0x", true},
      {"offset of 2 GiB", nullptr, [](Bytes* f) { Set32(f, 0x2C, 0x80000000u); },
       "archive offset 0x80000000 is 2 GiB or more (ERROR_NEGATIVE_SEEK 131)", true},
      {"header cut", nullptr, [&](Bytes* f) { f->resize(a + 40); },
       "archive damaged: the file ends within the archive's header (ERROR_HANDLE_EOF 38)", true},
      {"archive magic", nullptr, [&](Bytes* f) { (*f)[a + 19] = '4'; },
       "archive damaged: no archive header at offset 0x60 (ERROR_INVALID_DATA 13)", true},
      {"format version", nullptr, [&](Bytes* f) { (*f)[a + 20] = 2; },
       "unsupported archive format version 0x50002 (ERROR_INVALID_DATA 13)", true},
      {"check pair", nullptr, [&](Bytes* f) { (*f)[a + 64] ^= 1; },
       "archive damaged: the check pair does not hold (ERROR_INVALID_DATA 13)", true},
      {"check pair, flag 1", nullptr, [&](Bytes* f) { (*f)[a + 64] ^= 1; (*f)[a + 24] = 1; },
       "archive damaged: the check pair does not hold (ERROR_DECRYPTION_FAILED 6001)", true},
      {"sound pair, flag 1", nullptr, [&](Bytes* f) { (*f)[a + 24] = 1; }, "", false},
      {"properties byte 225", nullptr, [&](Bytes* f) { (*f)[a + 72] = 225; },
       "archive damaged: invalid LZMA properties (ERROR_DLL_INIT_FAILED 1114)", true},
      {"lc + lp above 4", nullptr, [&](Bytes* f) { (*f)[a + 72] = (2 * 5 + 1) * 9 + 4; },
       "LZMA properties not supported: lc 4, lp 1, pb 2 (ERROR_DLL_INIT_FAILED 1114)", true},
      {"no trailer", nullptr, [](Bytes* f) { f->resize(f->size() - 116); },
       "archive damaged: no trailer after the stream", false},
      {"stream cut", nullptr, [&](Bytes* f) { f->resize(a + 77 + 3000); }, "archive damaged: the data of entry 2 cannot be decoded: the file ends before the stream's end marker "
       "(ERROR_READ_FAULT 30)",
       true},
      {"entry magic", [](std::vector<HandEntry>*, Bytes* p) { (*p)[64 + 1000 + 3] = '4'; }, nullptr,
       "archive damaged: entry header 2 has no gfe3 magic (ERROR_INVALID_DATA 13)", true},
      {"must-be-zero word", [](std::vector<HandEntry>*, Bytes* p) { (*p)[4] = 1; }, nullptr,
       "archive damaged: entry header 1 has a non-zero word at +4 (ERROR_CRC 23)", true},
      {"stray bytes after the last entry",
       [](std::vector<HandEntry>*, Bytes* p) { p->insert(p->end(), 30, 0x41); }, nullptr,
       "archive damaged: entry header 3 ends early (ERROR_READ_FAULT 30)", false},
      {"data shorter than its size", [](std::vector<HandEntry>*, Bytes* p) { (*p)[64 + 1000 + 16] += 10; }, nullptr,
       "archive damaged: the data of entry 2 ends early (ERROR_HANDLE_EOF 38)", true},
      {"no entries and no builds announced", [](std::vector<HandEntry>*, Bytes* p) { p->clear(); },
       [](Bytes* f) { (*f)[0x28] = 0; }, "", true},
      {"a build announced but missing", nullptr, [](Bytes* f) { (*f)[0x28] = 0x06; },
       "the stamp announces NtX64InstallerId but the archive holds no such entry", false},
      {"CRC32s announced and right",
       [](std::vector<HandEntry>* e, Bytes* p) {
         Set32(p, 44, ReferenceCrc32((*e)[0].data));
         Set32(p, 64 + 1000 + 44, ReferenceCrc32((*e)[1].data));
       },
       [&](Bytes* f) { (*f)[a + 24] = 2; }, "", false},
      {"CRC32 announced and wrong",
       [](std::vector<HandEntry>* e, Bytes* p) {
         Set32(p, 44, ReferenceCrc32((*e)[0].data));
         Set32(p, 64 + 1000 + 44, ReferenceCrc32((*e)[1].data) ^ 0x100);
       },
       [&](Bytes* f) { (*f)[a + 24] = 2; },
       "archive damaged: the data of entry 2 (0xFFFFFFFFFFFF0009 NtX86InstallerId) does not match its CRC32 "
       "(ERROR_CRC 23)",
       true},
      {"a wrong CRC32 not announced", [](std::vector<HandEntry>*, Bytes* p) { Set32(p, 64 + 1000 + 44, 1); },
       nullptr, "", false},
      {"corrupt compressed data", nullptr, [&](Bytes* f) { (*f)[a + 77 + 2000] ^= 0x55; }, "archive damaged: ",
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<HandEntry> entries = HandEntries();
    Bytes plain = HandStream(entries);
    if (c.stream) c.stream(&entries, &plain);
    Bytes file = HandLoader(dir, plain);
    if (c.file) c.file(&file);
    std::string setup = dir.File("setup.exe");
    WriteFileBytes(setup, file);

    CommandResult list = RunPxq({"list", setup});
    CommandResult extract = RunPxq({"extract", setup, "--nt-x86", "-o", dir.File("out")});
    std::string prefix = "pxq: " + setup + ": ";
    if (c.message.empty()) {
      EXPECT_EQ(0, list.status) << list.err;
    } else {
      EXPECT_EQ(1, list.status);
      EXPECT_EQ(0u, list.err.find(prefix + c.message)) << list.err;
    }
    if (c.extractfails) {
      EXPECT_EQ(1, extract.status);
      if (!c.message.empty()) {
        EXPECT_EQ(0u, extract.err.find(prefix + c.message)) << extract.err;
      } else {
        EXPECT_EQ(prefix + "no entry 0xFFFFFFFFFFFF0009 (NtX86InstallerId) in the archive\n", extract.err);
      }
      EXPECT_NE(0, access(dir.File("out").c_str(), F_OK));
    } else {
      EXPECT_EQ(0, extract.status) << extract.err;
    }
    unlink(dir.File("out").c_str());
  }
}

}  // namespace

namespace {

// Peak resident memory (KiB) of `pxq list FILE`, its output thrown away.
// /usr/bin/time measures it: a child forked from this test would count the
// test's own memory too.
long ListPeakKib(const ScratchDir& dir, const std::string& file) {
  CommandResult run = RunShell("/usr/bin/time -f %M -o " + ShellQuote(dir.File("peak")) + " " +
                               ShellQuote(PxqPath()) + " list " + ShellQuote(file) + " >/dev/null");
  EXPECT_EQ(0, run.status) << run.err;
  std::vector<uint8_t> text = ReadFileBytes(dir.File("peak"));
  return atol(std::string(text.begin(), text.end()).c_str());
}

}  // namespace

// list shows each entry as it walks and keeps none: 400,000 empty entries
// with distinct ids cost no more memory than one entry (kept, they would
// take tens of MiB).
TEST(PxqArchive, ListMemoryDoesNotGrowWithTheEntryCount) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "AddressSanitizer keeps freed memory in quarantine";
#endif
  ScratchDir dir;
  PackageOptions options = SmallOptions();
  options.preset = 1;
  std::vector<PackageEntry> many(400000);
  for (size_t i = 0; i < many.size(); ++i) many[i] = MakeEntry(0x100000000ull + i, {});
  std::vector<uint8_t> file;
  ASSERT_EQ(0u, WriteLoaderFile(TestStub(), 0, many, options, &file));
  WriteFileBytes(dir.File("many.exe"), file);
  file.clear();
  ASSERT_EQ(0u, WriteLoaderFile(TestStub(), 0, {MakeEntry(0x100000000ull, {})}, options, &file));
  WriteFileBytes(dir.File("one.exe"), file);

  long one = ListPeakKib(dir, dir.File("one.exe"));
  long lots = ListPeakKib(dir, dir.File("many.exe"));
  EXPECT_LT(lots, one + 8 * 1024) << "one entry: " << one << " KiB, 400,000 entries: " << lots << " KiB";
}
