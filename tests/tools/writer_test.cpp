// The package writer: its bytes at their offsets, and its LZMA stream read
// back by xz, a decoder that shares no code with pxq.
#include <stdio.h>
#include <unistd.h>

#include <functional>

#include <gtest/gtest.h>

#include "package/archive_reader.h"
#include "package/records.h"
#include "platform/testing.h"
#include "support/file_bytes.h"
#include "support/package_fixture.h"
#include "support/scratch_dir.h"
#include "tools/writer/writer.h"
#include "tools_support.h"

namespace {

// The decompressed stream that `entries` must give; `crc`: with each entry's
// CRC32 at +44.
std::vector<uint8_t> ExpectedStream(const std::vector<PackageEntry>& entries, bool crc = true) {
  std::vector<uint8_t> plain;
  for (const auto& entry : entries) {
    std::vector<uint8_t> data = entry.path.empty() ? entry.data : ReadFileBytes(entry.path);
    EntryHeader header = {};
    header.entrymagic = ENTRY_MAGIC;
    header.idlow = entry.idlow;
    header.idhigh = entry.idhigh;
    header.datasize = data.size();
    header.othertime = entry.othertime;
    header.lastwritetime = entry.lastwritetime;
    header.attributes = entry.attributes;
    header.datacrc = crc ? ReferenceCrc32(data) : 0;
    uint8_t bytes[ENTRY_HEADER_SIZE];
    EncodeEntryHeader(&header, bytes);
    plain.insert(plain.end(), bytes, bytes + sizeof bytes);
    plain.insert(plain.end(), data.begin(), data.end());
  }
  return plain;
}

// Decodes the stream between the 77 leading bytes and the trailer with xz.
std::vector<uint8_t> DecodeWithXz(const ScratchDir& dir, const std::vector<uint8_t>& archive,
                                  const std::string& lzma1) {
  EXPECT_GE(archive.size(), STREAM_OFFSET + ARCHIVE_TRAILER_SIZE);
  WriteFileBytes(dir.File("stream"), std::vector<uint8_t>(archive.begin() + STREAM_OFFSET,
                                                          archive.end() - ARCHIVE_TRAILER_SIZE));
  CommandResult xz = RunShell("xz --format=raw --lzma1=" + lzma1 + " -dc <" + ShellQuote(dir.File("stream")) + " >" +
                              ShellQuote(dir.File("plain")));
  EXPECT_EQ(0, xz.status) << xz.err;
  return ReadFileBytes(dir.File("plain"));
}

std::vector<uint8_t> TextBytes(size_t count) {
  std::vector<uint8_t> bytes;
  for (size_t i = 0; bytes.size() < count; ++i) {
    std::string line = "line " + std::to_string(i * 7919 % 1000) + " of the installer's text\n";
    bytes.insert(bytes.end(), line.begin(), line.end());
  }
  bytes.resize(count);
  return bytes;
}

TEST(Writer, StreamDecodesWithXzForEachPropertySetting) {
  ScratchDir dir;
  // Larger than the writer's 1 MiB read piece, so a file entry is streamed in several.
  std::vector<uint8_t> big = PatternBytes(1000000, 3);
  std::vector<uint8_t> text = TextBytes(300000);
  big.insert(big.end(), text.begin(), text.end());
  WriteFileBytes(dir.File("big"), big);

  std::vector<PackageEntry> entries(4);
  entries[0] = MakeEntry(GenericInstallerId, TextBytes(70000), 0x01D0000012345678ull, 0x21);
  entries[0].othertime = 0x0102030405060708ull;
  entries[1] = MakeEntry(0x1234, {});  // empty: header only
  entries[2].idlow = 0xFFFF000A;
  entries[2].idhigh = 0xFFFFFFFF;
  entries[2].path = dir.File("big");
  entries[3] = MakeEntry(7, PatternBytes(100, 9));

  struct Case {
    uint32_t lc, lp, pb, dictionary, preset;
    bool extreme;
    bool crc;  // each entry's CRC32 stored, and announced by ArchiveFlags bit 1
    const char* xz;
  } cases[] = {
      {3, 0, 2, 8u << 20, 6, false, true, "lc=3,lp=0,pb=2,dict=8MiB"},
      {0, 4, 4, 1u << 16, 0, false, false, "lc=0,lp=4,pb=4,dict=64KiB"},
      {1, 2, 0, 1u << 20, 9, true, true, "lc=1,lp=2,pb=0,dict=1MiB"},
  };
  ASSERT_EQ(0xCBF43926u, ReferenceCrc32({'1', '2', '3', '4', '5', '6', '7', '8', '9'}));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.xz);
    std::vector<uint8_t> expected = ExpectedStream(entries, c.crc);
    PackageOptions options;
    options.entrycrc = c.crc;
    options.lc = c.lc;
    options.lp = c.lp;
    options.pb = c.pb;
    options.dictionarysize = c.dictionary;
    options.preset = c.preset;
    options.extreme = c.extreme;
    std::vector<uint8_t> archive;
    ASSERT_EQ(0u, WriteArchive(entries, options, &archive));
    EXPECT_EQ(EncodePropertiesByte(c.lc, c.lp, c.pb), archive[72]);
    EXPECT_EQ(c.dictionary, ReadLe32(&archive[73]));
    EXPECT_EQ(c.crc ? ARCHIVE_FLAG_ENTRY_CRC : 0u, ReadLe32(&archive[24]));
    EXPECT_EQ(0x00, archive[STREAM_OFFSET]);  // the range coder's first byte
    std::vector<uint8_t> plain = DecodeWithXz(dir, archive, c.xz);
    EXPECT_TRUE(plain == expected) << "decoded " << plain.size() << " bytes, expected " << expected.size();
  }
}

TEST(Writer, EmptyArchiveIsOnlyTheEndMarker) {
  ScratchDir dir;
  std::vector<uint8_t> archive;
  ASSERT_EQ(0u, WriteArchive({}, PackageOptions(), &archive));
  EXPECT_TRUE(DecodeWithXz(dir, archive, "lc=3,lp=0,pb=2,dict=8MiB").empty());
}

TEST(Writer, DictionaryIsSizedToThePayloadUpToTheCap) {
  const uint32_t MiB = 1u << 20;
  struct Case {
    uint64_t payload;
    uint32_t cap;
    uint32_t dictionary;
  } cases[] = {
      {0, 8 * MiB, 4096},
      {67, 8 * MiB, 4096},
      {4096, 8 * MiB, 4096},
      {4097, 8 * MiB, 8192},
      {100 * 1024 + 64, 8 * MiB, 128 * 1024},
      {8 * MiB, 8 * MiB, 8 * MiB},
      {8 * MiB + 1, 8 * MiB, 8 * MiB},
      {8 * MiB + 1, 64 * MiB, 16 * MiB},
      {5 * MiB, 6 * MiB, 6 * MiB},  // a cap need not be a power of two
      {UINT64_MAX / 2, 1536 * MiB, 1536 * MiB},
  };
  for (const auto& c : cases)
    EXPECT_EQ(c.dictionary, DictionaryForPayload(c.payload, c.cap)) << c.payload << " bytes, cap " << c.cap;

  // What the writer puts in the properties: headers count, files are measured.
  ScratchDir dir;
  WriteFileBytes(dir.File("file"), PatternBytes(8192 - 2 * 64 - 1000, 4));
  std::vector<PackageEntry> entries = {MakeEntry(1, PatternBytes(1000, 5)), MakeEntry(2, {})};
  entries[1].path = dir.File("file");
  PackageOptions options;
  std::vector<uint8_t> archive;
  ASSERT_EQ(0u, WriteArchive(entries, options, &archive));
  EXPECT_EQ(8192u, ReadLe32(&archive[73]));
  WriteFileBytes(dir.File("file"), PatternBytes(8192 - 2 * 64 - 1000 + 1, 4));
  archive.clear();
  ASSERT_EQ(0u, WriteArchive(entries, options, &archive));
  EXPECT_EQ(16384u, ReadLe32(&archive[73]));
  options.dictionarysize = 65536;  // a size given is taken as it is
  archive.clear();
  ASSERT_EQ(0u, WriteArchive(entries, options, &archive));
  EXPECT_EQ(65536u, ReadLe32(&archive[73]));
}

TEST(Writer, LoadingOrderPutsNtX64ThenNtX86ThenGenericThenTheRest) {
  std::vector<PackageEntry> entries = {MakeEntry(5, {}), MakeEntry(GenericInstallerId, {}),
                                       MakeEntry(0xFFFFFFFFFFFF0002ull, {}), MakeEntry(NtX86InstallerId, {}),
                                       MakeEntry(0x7FFFFFFFFFFF000Aull, {}), MakeEntry(NtX64InstallerId, {}),
                                       MakeEntry(3, {})};
  OrderEntriesForLoading(&entries);
  std::vector<uint64_t> ids;
  for (const auto& entry : entries) ids.push_back((static_cast<uint64_t>(entry.idhigh) << 32) | entry.idlow);
  // Other ids keep their given order, also one whose low half is NT x64's.
  std::vector<uint64_t> expected = {NtX64InstallerId, NtX86InstallerId, GenericInstallerId, 5,
                                    0xFFFFFFFFFFFF0002ull, 0x7FFFFFFFFFFF000Aull, 3};
  EXPECT_EQ(expected, ids);
}

TEST(Writer, StampAndHeadersAtTheirOffsets) {
  std::vector<uint8_t> stub = TestStub();
  PackageOptions options;
  options.archiveflags = 1;
  options.checkfirst = 0x11223344;
  std::vector<uint8_t> file;
  ASSERT_EQ(0u, WriteLoaderFile(stub, 0x05, {MakeEntry(GenericInstallerId, {1, 2, 3})}, options, &file));
  const uint32_t a = 128;  // the archive follows the stub directly
  struct Field {
    uint32_t offset, width;
    uint64_t value;
    const char* what;
  } fields[] = {
      {0x00, 2, 0x5A4D, "MZ"},
      {0x02, 4, ReadLe32(&stub[2]), "the stub's bytes before the stamp"},
      {0x1C, 4, a, "archive offset"},
      {0x20, 4, ~a, "its complement"},
      {0x24, 4, 0x35727870, "pxr5"},
      {0x28, 4, 0x05, "platform flags, then three zero bytes"},
      {0x2C, 4, a, "ArchiveOffset"},
      {0x30, 8, 0, "zero"},
      {0x38, 4, 0, "no second archive"},
      {0x3C, 4, 0x80, "e_lfanew kept"},
      {0x40, 8, ReadLe64(&stub[0x40]), "the stub's body unchanged"},
      {a + 0, 8, 0, "header +0"},
      {a + 8, 8, 0, "header +8"},
      {a + 16, 4, 0x336F6D67, "gmo3"},
      {a + 20, 4, 0x00050001, "format version"},
      {a + 24, 4, 3, "archive flags: as given, and bit 1 for the entries' CRC32"},
      {a + 28, 4, 0, "header +28"},
      {a + 56, 8, 0, "header +56"},
      {a + 64, 4, 0x11223344, "check pair, first word"},
      {a + 68, 4, 0x11223344u ^ 0x35BC6F82u, "check pair, second word"},
      {a + 72, 1, 0x5D, "properties byte: lc 3, lp 0, pb 2"},
      {a + 73, 4, 4096, "dictionary size: the smallest, for a 67-byte stream"},
      {static_cast<uint32_t>(file.size()) - 16, 8, 0xCC9A858B336E6667ull, "trailer: gfn3 8B 85 9A CC"},
      {static_cast<uint32_t>(file.size()) - 8, 8, 0, "trailer: zero"},
  };
  for (const auto& f : fields) {
    uint64_t value = 0;
    for (uint32_t i = 0; i < f.width; ++i) value |= static_cast<uint64_t>(file[f.offset + i]) << (8 * i);
    EXPECT_EQ(f.value, value) << f.what << " at 0x" << std::hex << f.offset;
  }
  for (uint32_t i = 32; i < 64; ++i) EXPECT_EQ(0, file[a + i]) << "header +" << i;
}

TEST(Writer, LoaderFileIsReadByTheLoadersExtraction) {
  TestingScope scope;
  ScratchDir dir;
  std::vector<uint8_t> data = TextBytes(200000);
  std::vector<uint8_t> file;
  ASSERT_EQ(0u, WriteLoaderFile(TestStub(), 0x03,
                                {MakeEntry(GenericInstallerId, PatternBytes(5000, 1)),
                                 MakeEntry(NtX86InstallerId, data, 0x01D9000000000000ull, 0x80)},
                                PackageOptions(), &file));
  WriteFileBytes(dir.File("setup.exe"), file);
  uint32_t code = 99;
  ASSERT_EQ(1u, ExtractPackageEntry(dir.File("setup.exe").c_str(), ReadLe32(&file[0x2C]), 0xFFFF0009, 0xFFFFFFFF,
                                    dir.File("out").c_str(), &code));
  EXPECT_EQ(0u, code);
  EXPECT_TRUE(ReadFileBytes(dir.File("out")) == data);
  EXPECT_TRUE(TestingNothingOpen());
}

TEST(Writer, RefusesBadStubsAndOptionsBeforeWritingAnything) {
  std::vector<uint8_t> shortstub(63, 0);
  shortstub[0] = 'M';
  shortstub[1] = 'Z';
  std::vector<uint8_t> notmz = TestStub();
  notmz[0] = 'Z';
  PackageOptions lclp;
  lclp.lc = 3;
  lclp.lp = 2;  // liblzma's raw LZMA1 takes lc + lp up to 4
  PackageOptions preset;
  preset.preset = 10;
  PackageOptions tinydictionary;
  tinydictionary.dictionarysize = 100;
  struct Case {
    std::vector<uint8_t> stub;
    PackageOptions options;
    uint32_t result;
    const char* what;
  } cases[] = {
      {shortstub, PackageOptions(), 193, "stub of 63 bytes"},
      {notmz, PackageOptions(), 193, "stub without MZ"},
      {TestStub(), lclp, 87, "lc + lp = 5"},
      {TestStub(), preset, 87, "preset 10"},
      {TestStub(), tinydictionary, 87, "dictionary below 4 KiB"},
  };
  for (const auto& c : cases) {
    std::vector<uint8_t> out;
    EXPECT_EQ(c.result, WriteLoaderFile(c.stub, 1, {MakeEntry(GenericInstallerId, {1})}, c.options, &out)) << c.what;
    EXPECT_TRUE(out.empty()) << c.what;
  }
}

// An input that changes while it is packed is reported, not packed: the
// entry's header, written first, holds the size and CRC32 of a first
// reading, which the second one must match. Here the file changes once the
// first of its two pieces is encoded.
TEST(Writer, AnInputThatChangesWhileItIsPackedIsReported) {
  ScratchDir dir;
  const std::string path = dir.File("build.exe");
  const size_t size = (1u << 20) + 4096;
  auto rewrite = [&](size_t at, size_t count) {
    FILE* file = fopen(path.c_str(), "r+b");
    ASSERT_NE(nullptr, file);
    std::vector<uint8_t> other = PatternBytes(count, 6);
    ASSERT_EQ(0, fseek(file, static_cast<long>(at), SEEK_SET));
    ASSERT_EQ(count, fwrite(other.data(), 1, count, file));
    fclose(file);
  };
  struct Case {
    const char* name;
    std::function<void()> change;
    uint32_t result;
  } cases[] = {
      {"unchanged", [] {}, 0},
      {"rewritten at the same size", [&] { rewrite(size - 4096, 4096); }, 30},
      {"grown", [&] { rewrite(size, 1); }, 30},
      {"shrunk", [&] { ASSERT_EQ(0, truncate(path.c_str(), static_cast<off_t>(size - 100))); }, 38},
  };
  for (const Case& c : cases) {
    WriteFileBytes(path, PatternBytes(size, 5));
    std::vector<PackageEntry> entries = {MakeEntry(GenericInstallerId, {})};
    entries[0].path = path;
    PackageOptions options = SmallOptions();
    int pieces = 0;
    options.onencoded = [&](uint64_t) {
      if (++pieces == 1) c.change();
    };
    size_t failed = 0;
    EXPECT_EQ(c.result, WriteArchiveTo(entries, options, [](const uint8_t*, size_t) -> uint32_t { return 0; },
                                       &failed))
        << c.name;
    EXPECT_EQ(c.result == 0 ? SIZE_MAX : 0u, failed) << c.name;
    EXPECT_GE(pieces, 1) << c.name;
  }
}

TEST(Writer, NamesTheEntryWhoseInputFailsAndPassesOnSinkFailures) {
  ScratchDir dir;
  std::vector<PackageEntry> entries = {MakeEntry(1, {1, 2}), PackageEntry()};
  entries[1].path = dir.File("missing");
  size_t failed = 0;
  std::vector<uint8_t> out;
  EXPECT_EQ(2u, WriteArchiveTo(
                    entries, PackageOptions(),
                    [&](const uint8_t* bytes, size_t count) -> uint32_t {
                      out.insert(out.end(), bytes, bytes + count);
                      return 0;
                    },
                    &failed));
  EXPECT_EQ(1u, failed);

  entries[1].path = dir.path;  // a directory is no file to pack
  EXPECT_EQ(5u, WriteArchiveTo(entries, PackageOptions(), [](const uint8_t*, size_t) -> uint32_t { return 0; },
                               &failed));
  EXPECT_EQ(1u, failed);

  entries.pop_back();
  int calls = 0;
  EXPECT_EQ(112u, WriteLoaderFileTo(
                      TestStub(), 1, entries, PackageOptions(),
                      [&](const uint8_t*, size_t) -> uint32_t { return ++calls == 2 ? 112u : 0u; }, &failed));
  EXPECT_EQ(2, calls);  // nothing more is written after the sink fails
  EXPECT_EQ(SIZE_MAX, failed);
}

}  // namespace

// The block encoder's threads: as many as asked, or one per core, fewer
// while their memory together would pass the limit, never none.
TEST(Writer, BlockEncoderThreadsStayWithinTheMemoryLimit) {
  auto eachTakes = [](uint64_t bytes) {
    return [bytes](uint32_t threads) -> uint64_t { return bytes * threads; };
  };
  const uint64_t mib = 1u << 20;
  const struct {
    uint32_t requested;
    uint64_t limit;
    uint64_t perthread;
    uint32_t expected;
  } kCases[] = {
      {4, 4000 * mib, 800 * mib, 4},  // all fit
      {4, 2000 * mib, 800 * mib, 2},  // two fit
      {4, 1600 * mib, 800 * mib, 2},  // exactly two
      {4, 100 * mib, 800 * mib, 1},   // not even one: one all the same
      {1, 1 * mib, 800 * mib, 1},
  };
  for (const auto& test : kCases) {
    EXPECT_EQ(test.expected, DataEncoderThreads(test.requested, test.limit, eachTakes(test.perthread)))
        << test.requested << " threads, limit " << test.limit;
  }
  // An unknown need is not taken for a small one.
  EXPECT_EQ(1u, DataEncoderThreads(3, 4000 * mib, [](uint32_t) { return UINT64_MAX; }));
  // One per core when none is asked for, within a limit that fits any.
  EXPECT_GE(DataEncoderThreads(0, UINT64_MAX - 1, eachTakes(1)), 1u);
}
