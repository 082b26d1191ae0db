// The archive reader over real package files: what it asks of the platform,
// every result code it gives, and what the extracted file gets.
#include <gtest/gtest.h>

#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "package/archive_reader.h"
#include "platform/platform.h"
#include "platform/posix.h"
#include "platform/testing.h"
#include "support/file_bytes.h"
#include "support/package_fixture.h"
#include "support/scratch_dir.h"

namespace {

const uint64_t kOtherId = 0x0000000500000001ull;
const uint64_t kLastWrite = 0x01C8AFE6DB0FFD7Aull;  // 2008-05-07 02:05:43.265625 UTC

// A layer over the testing backend that logs the file calls whose arguments
// matter here, in order, and can script GetFileAttributesA's answer.
struct FileCallLog {
  const Platform* below = nullptr;
  Platform table = {};
  std::vector<std::string> events;
  std::vector<std::pair<HANDLE, std::string>> names;  // handle -> file name
  bool scriptattributes = false;
  DWORD attributes = 0;
};
FileCallLog* fileLog = nullptr;

std::string BaseName(const char* path) {
  std::string text = path != nullptr ? path : "(null)";
  size_t slash = text.rfind('/');
  return slash == std::string::npos ? text : text.substr(slash + 1);
}

std::string NameOf(HANDLE handle) {
  for (const auto& name : fileLog->names)
    if (name.first == handle) return name.second;
  return "?";
}

void Log(const char* format, ...) {
  char text[256];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof text, format, args);
  va_end(args);
  fileLog->events.push_back(text);
}

HANDLE LogCreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security, DWORD disposition,
                      DWORD flags, HANDLE templatefile) {
  HANDLE handle = fileLog->below->CreateFileA(name, access, share, security, disposition, flags, templatefile);
  Log("CreateFileA %s %08X %X %s %u %08X %s", BaseName(name).c_str(), access, share, security ? "sa" : "-",
      disposition, flags, templatefile ? "tpl" : "-");
  if (handle != INVALID_HANDLE_VALUE) fileLog->names.emplace_back(handle, BaseName(name));
  return handle;
}

DWORD LogSetFilePointer(HANDLE file, LONG distance, PLONG high, DWORD method) {
  Log("SetFilePointer %s %08X %s %u", NameOf(file).c_str(), static_cast<DWORD>(distance), high ? "high" : "-",
      method);
  return fileLog->below->SetFilePointer(file, distance, high, method);
}

BOOL LogCloseHandle(HANDLE handle) {
  Log("CloseHandle %s", NameOf(handle).c_str());
  return fileLog->below->CloseHandle(handle);
}

DWORD LogGetFileAttributesA(LPCSTR name) {
  Log("GetFileAttributesA %s", BaseName(name).c_str());
  DWORD result = fileLog->below->GetFileAttributesA(name);
  return fileLog->scriptattributes ? fileLog->attributes : result;
}

BOOL LogSetFileAttributesA(LPCSTR name, DWORD attributes) {
  Log("SetFileAttributesA %s %08X", BaseName(name).c_str(), attributes);
  return fileLog->below->SetFileAttributesA(name, attributes);
}

BOOL LogSetFileTime(HANDLE file, const FILETIME* creation, const FILETIME* access, const FILETIME* write) {
  if (write != nullptr) {
    Log("SetFileTime %s %s %s %08X%08X", NameOf(file).c_str(), creation ? "c" : "-", access ? "a" : "-",
        write->dwHighDateTime, write->dwLowDateTime);
  } else {
    Log("SetFileTime %s %s %s -", NameOf(file).c_str(), creation ? "c" : "-", access ? "a" : "-");
  }
  return fileLog->below->SetFileTime(file, creation, access, write);
}

struct ArchiveReaderTest : ::testing::Test {
  TestingScope scope;
  ScratchDir dir;
  std::string package = dir.File("package");
  std::string output = dir.File("output");
  FileCallLog log;

  void TearDown() override {
    if (fileLog != nullptr) UsePlatform(log.below);
    fileLog = nullptr;
    EXPECT_TRUE(TestingNothingOpen()) << TestingOpenSummary();
  }

  void StartLog() {
    log.below = activePlatform;
    log.table = *activePlatform;
    log.table.CreateFileA = LogCreateFileA;
    log.table.SetFilePointer = LogSetFilePointer;
    log.table.CloseHandle = LogCloseHandle;
    log.table.GetFileAttributesA = LogGetFileAttributesA;
    log.table.SetFileAttributesA = LogSetFileAttributesA;
    log.table.SetFileTime = LogSetFileTime;
    fileLog = &log;
    UsePlatform(&log.table);
  }

  // Writes `prefix` bytes of filler, then `archive`; returns the offset.
  uint32_t WritePackage(const std::vector<uint8_t>& archive, uint32_t prefix = 0) {
    std::vector<uint8_t> bytes(prefix, 0x5A);
    bytes.insert(bytes.end(), archive.begin(), archive.end());
    WriteFileBytes(package, bytes);
    return prefix;
  }

  uint32_t Extract(uint64_t id, uint32_t offset = 0) {
    uint32_t code = 0xDEAD;
    uint32_t written = ExtractPackageEntry(package.c_str(), offset, static_cast<uint32_t>(id),
                                           static_cast<uint32_t>(id >> 32), output.c_str(), &code);
    EXPECT_EQ(code == 0 ? 1u : 0u, written);
    return code;
  }

  // Opens the package and runs FindEntry for `id`.
  uint32_t Find(ArchiveReader* reader, EntryHeader* entry, uint64_t id, uint32_t offset = 0) {
    uint32_t code = OpenArchive(reader, package.c_str(), offset);
    if (code != 0) return code;
    return FindEntry(reader, entry, static_cast<uint32_t>(id), static_cast<uint32_t>(id >> 32));
  }
};

uint64_t LastWriteOf(const std::string& path) {
  struct stat status;
  if (stat(path.c_str(), &status) != 0) return 0;
  return (static_cast<uint64_t>(status.st_mtim.tv_sec) + 11644473600ull) * 10000000ull +
         static_cast<uint64_t>(status.st_mtim.tv_nsec) / 100;
}

TEST_F(ArchiveReaderTest, ExtractsTheWantedEntryWithItsTimeAndAttributes) {
  std::vector<uint8_t> wanted = PatternBytes(65537, 1);
  uint32_t offset = WritePackage(BuildArchive({MakeEntry(kOtherId, PatternBytes(1000, 2)),
                                               MakeEntry(GenericInstallerId, wanted, kLastWrite, 0x21),
                                               MakeEntry(NtX64InstallerId, {})}),
                                 1000);
  WriteFileBytes(output, PatternBytes(10, 3));  // an existing file is replaced
  StartLog();
  log.scriptattributes = true;
  log.attributes = 0x27;  // read-only, hidden, system, archive
  ASSERT_EQ(0u, Extract(GenericInstallerId, offset));
  EXPECT_EQ((std::vector<std::string>{
                "CreateFileA package 80000000 1 - 3 08000000 -",
                "SetFilePointer package 000003E8 - 0",
                "GetFileAttributesA output",
                "SetFileAttributesA output 00000022",  // read-only and system cleared, hidden kept
                "CreateFileA output 40000000 0 - 2 00000080 -",
                "SetFileTime output - - 01C8AFE6DB0FFD7A",
                "CloseHandle output",
                "SetFileAttributesA output 00000021",  // after the close
                "CloseHandle package",
            }),
            log.events);
  EXPECT_EQ(wanted, ReadFileBytes(output));
  EXPECT_EQ(kLastWrite, LastWriteOf(output));
  EXPECT_EQ(FILE_ATTRIBUTE_READONLY, Sys().GetFileAttributesA(output.c_str()) & FILE_ATTRIBUTE_READONLY);
  EXPECT_EQ(2u, TestingCount(Op_WriteFile));  // 65,536 + 1
}

TEST_F(ArchiveReaderTest, EntrySizesAndPieces) {
  struct Case {
    size_t size;
    uint32_t writes;
  } cases[] = {{0, 0}, {1, 1}, {65536, 1}, {65537, 2}, {3 * 65536 + 5, 4}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.size);
    std::vector<uint8_t> data = PatternBytes(c.size, 4);
    // The wanted entry sits between others of the same size.
    WritePackage(BuildArchive({MakeEntry(kOtherId, PatternBytes(c.size, 5)),
                               MakeEntry(NtX86InstallerId, data, kLastWrite + 1, FILE_ATTRIBUTE_READONLY),
                               MakeEntry(kOtherId + 1, PatternBytes(c.size, 6))}));
    Testing().counts[Op_WriteFile] = 0;
    ASSERT_EQ(0u, Extract(NtX86InstallerId));
    EXPECT_EQ(c.writes, TestingCount(Op_WriteFile));
    EXPECT_EQ(data, ReadFileBytes(output));
    EXPECT_EQ(kLastWrite + 1, LastWriteOf(output));
    // Read-only, replaced by the next round all the same.
    EXPECT_EQ(FILE_ATTRIBUTE_READONLY, Sys().GetFileAttributesA(output.c_str()) & FILE_ATTRIBUTE_READONLY);
  }
  EXPECT_EQ(0u, TestingCount(Op_SetFilePointer));  // offset 0: no positioning
}

// Byte patches of a valid archive, and what opening it then gives.
TEST_F(ArchiveReaderTest, OpenFailures) {
  const std::vector<uint8_t> valid = BuildArchive({MakeEntry(GenericInstallerId, PatternBytes(100, 7))});
  struct Case {
    const char* name;
    size_t at;          // byte to patch (SIZE_MAX: none)
    uint8_t value;
    size_t keep;        // bytes kept (SIZE_MAX: all)
    uint32_t expected;
  } cases[] = {
      {"valid", SIZE_MAX, 0, SIZE_MAX, 0},
      {"archive magic", 16, 'G', SIZE_MAX, ERROR_INVALID_DATA},
      {"version low half", 20, 0x02, SIZE_MAX, ERROR_INVALID_DATA},
      {"version high half", 22, 0x06, SIZE_MAX, ERROR_INVALID_DATA},
      {"check pair, flags 0", 64, 0x00, SIZE_MAX, ERROR_INVALID_DATA},
      {"properties byte 225", 72, 225, SIZE_MAX, ERROR_DLL_INIT_FAILED},
      {"properties byte 255", 72, 255, SIZE_MAX, ERROR_DLL_INIT_FAILED},
      {"lc + lp above 4", 72, (2 * 5 + 1) * 9 + 4, SIZE_MAX, ERROR_DLL_INIT_FAILED},
      {"largest properties byte", 72, 224, SIZE_MAX, ERROR_DLL_INIT_FAILED},
      {"window beyond 32 bits", 76, 0xFF, SIZE_MAX, ERROR_NOT_ENOUGH_MEMORY},  // with 73..75 below
      {"empty file", SIZE_MAX, 0, 0, ERROR_HANDLE_EOF},
      {"header cut", SIZE_MAX, 0, 63, ERROR_HANDLE_EOF},
      {"check pair cut", SIZE_MAX, 0, 71, ERROR_HANDLE_EOF},
      {"properties cut", SIZE_MAX, 0, 76, ERROR_HANDLE_EOF},
      {"magic checked before the cut check pair", 16, 0, 64, ERROR_INVALID_DATA},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> bytes = valid;
    if (c.at != SIZE_MAX) bytes[c.at] = c.value;
    if (c.at == 76) bytes[73] = bytes[74] = bytes[75] = 0xFF;
    if (c.keep != SIZE_MAX) bytes.resize(c.keep);
    WritePackage(bytes);
    ArchiveReader* reader = CreateArchiveReader();
    ASSERT_NE(nullptr, reader);
    EXPECT_EQ(c.expected, OpenArchive(reader, package.c_str(), 0));
    if (c.expected != 0) {
      // Closed on failure; the reader itself stays.
      EXPECT_EQ(nullptr, reader->decoder);
      EXPECT_EQ(INVALID_HANDLE_VALUE, reader->input.handle);
      EXPECT_EQ(nullptr, reader->input.base);
      EXPECT_EQ(1, Testing().liveblocks);
    }
    EXPECT_EQ(0u, DestroyArchiveReader(reader));
  }
}

TEST_F(ArchiveReaderTest, CheckPairResultFollowsArchiveFlags) {
  for (uint32_t flags : {0u, 1u, 0xFFFFFFFEu, 0xFFFFFFFFu}) {
    for (bool holds : {true, false}) {
      SCOPED_TRACE(testing::Message() << flags << " " << holds);
      PackageOptions options = SmallOptions();
      options.archiveflags = flags;
      options.checkfirst = 0x12345678u;
      std::vector<uint8_t> bytes = BuildArchive({}, options);
      if (!holds) bytes[ARCHIVE_HEADER_SIZE + 4] ^= 0x01;
      WritePackage(bytes);
      uint32_t expected = holds ? 0u : (flags & 1) ? ERROR_DECRYPTION_FAILED : ERROR_INVALID_DATA;
      // An open archive without entries ends the search with 30.
      EXPECT_EQ(holds ? ERROR_READ_FAULT : expected, Extract(kOtherId));
    }
  }
}

TEST_F(ArchiveReaderTest, ArchiveOffsets) {
  std::vector<uint8_t> archive = BuildArchive({MakeEntry(GenericInstallerId, PatternBytes(10, 8))});
  // At offset 0 the archive is read from the file's first byte.
  WritePackage(archive);
  EXPECT_EQ(0u, Extract(GenericInstallerId, 0));
  EXPECT_EQ(0u, TestingCount(Op_SetFilePointer));

  WritePackage(archive, 4096);
  EXPECT_EQ(ERROR_INVALID_DATA, Extract(GenericInstallerId, 0));  // the filler is no header
  EXPECT_EQ(0u, Extract(GenericInstallerId, 4096));
  EXPECT_EQ(ERROR_HANDLE_EOF, Extract(GenericInstallerId, 4096 + static_cast<uint32_t>(archive.size())));
  EXPECT_EQ(ERROR_HANDLE_EOF, Extract(GenericInstallerId, 0x7FFFFFFFu));
  // A signed 32-bit distance with no high part cannot reach these.
  EXPECT_EQ(ERROR_NEGATIVE_SEEK, Extract(GenericInstallerId, 0x80000000u));
  EXPECT_EQ(ERROR_NEGATIVE_SEEK, Extract(GenericInstallerId, 0xFFFFFFFEu));
  // 0xFFFFFFFF is also what a failed positioning returns: it must still fail,
  // not read the header from wherever the file stands.
  WritePackage(archive);
  EXPECT_EQ(ERROR_NEGATIVE_SEEK, Extract(GenericInstallerId, 0xFFFFFFFFu));
}

TEST_F(ArchiveReaderTest, PlatformErrorsAreHandedOn) {
  uint32_t offset = WritePackage(BuildArchive({MakeEntry(GenericInstallerId, PatternBytes(10, 9))}), 64);
  uint32_t code = 0;
  EXPECT_EQ(0u, ExtractPackageEntry(dir.File("missing").c_str(), 0, 1, 2, output.c_str(), &code));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, code);

  struct Case {
    PlatformOp op;
    uint32_t nth;
    DWORD error;
  } cases[] = {
      {Op_CreateFileA, 1, ERROR_SHARING_VIOLATION},  // the package
      {Op_SetFilePointer, 1, ERROR_NOT_READY},
      {Op_ReadFile, 1, ERROR_IO_DEVICE},
      {Op_CreateFileA, 2, ERROR_ACCESS_DENIED},  // the output
      {Op_WriteFile, 1, ERROR_HANDLE_DISK_FULL + 73},
      {Op_HeapAlloc, 1, ERROR_NOT_ENOUGH_MEMORY},  // the reader itself
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.op);
    TestingPlatform(PosixPlatform());  // a fresh state
    Testing().faults = {{c.op, c.nth, c.error}};
    EXPECT_EQ(c.error, Extract(GenericInstallerId, offset));
    EXPECT_EQ(1u, Testing().injected);
    EXPECT_TRUE(TestingNothingOpen()) << TestingOpenSummary();
  }
}

TEST_F(ArchiveReaderTest, EntryHeaderFailures) {
  struct Case {
    const char* name;
    uint32_t magic;
    uint32_t mustbezero;
    uint32_t expected;
  } cases[] = {
      {"entry magic", ENTRY_MAGIC ^ 0x20, 0, ERROR_INVALID_DATA},
      {"must-be-zero word", ENTRY_MAGIC, 1, ERROR_CRC},
      {"both: magic first", 0, 0x80000000u, ERROR_INVALID_DATA},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // The faulty header carries the wanted id: it is refused all the same.
    StreamEntry first = MakeStreamEntry(GenericInstallerId, PatternBytes(10, 10));
    first.header.entrymagic = c.magic;
    first.header.mustbezero = c.mustbezero;
    WritePackage(ArchiveFromPlain(PlainStream({first})));
    EXPECT_EQ(c.expected, Extract(GenericInstallerId));
    EXPECT_NE(0, access(output.c_str(), F_OK));  // nothing created
  }
}

// With ArchiveFlags bit 1 the extracted data must match the CRC32 at +44 of
// its header; without it that word is not read, as in files written before.
// Only the entry written is checked, not those skipped on the way.
TEST_F(ArchiveReaderTest, EntryCrcIsCheckedWhenAnnounced) {
  struct Case {
    const char* name;
    uint32_t flags;
    size_t size;
    uint32_t wrongbits;    // flipped in the wanted entry's CRC
    uint32_t skippedbits;  // flipped in the CRC of the entry before it
    uint32_t expected;
  } cases[] = {
      {"announced and right, two pieces", ARCHIVE_FLAG_ENTRY_CRC, 65537, 0, 0, 0},
      {"announced and wrong in the last piece's byte", ARCHIVE_FLAG_ENTRY_CRC, 65537, 0x80000000u, 0, ERROR_CRC},
      {"announced and wrong, with flag bit 0", ARCHIVE_FLAG_ENTRY_CRC | ARCHIVE_FLAG_ENCRYPTED_CHECK, 100, 1, 0,
       ERROR_CRC},
      {"announced, empty entry", ARCHIVE_FLAG_ENTRY_CRC, 0, 0, 0, 0},
      {"announced, empty entry with a nonzero word", ARCHIVE_FLAG_ENTRY_CRC, 0, 4, 0, ERROR_CRC},
      {"announced, only a skipped entry wrong", ARCHIVE_FLAG_ENTRY_CRC, 100, 0, 1, 0},
      {"not announced, any word", 0, 65537, 0x12345678u, 1, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> data = PatternBytes(c.size, 21);
    StreamEntry skipped = MakeStreamEntry(kOtherId, PatternBytes(300, 22));
    skipped.header.datacrc ^= c.skippedbits;
    StreamEntry wanted = MakeStreamEntry(NtX64InstallerId, data);
    wanted.header.datacrc ^= c.wrongbits;
    PackageOptions options = SmallOptions();
    options.entrycrc = false;  // the flags as given
    options.archiveflags = c.flags;
    WritePackage(ArchiveFromPlain(PlainStream({skipped, wanted}), options));
    EXPECT_EQ(c.expected, Extract(NtX64InstallerId));
    if (c.expected == 0) {
      EXPECT_EQ(data, ReadFileBytes(output));
    }
  }
}

// Every properties byte: those with lc + lp up to 4 (what liblzma's raw
// decoder takes) decode a stream written with them, behind an entry that is
// skipped; the others are refused at open with 1114.
TEST_F(ArchiveReaderTest, EveryPropertiesByte) {
  std::vector<uint8_t> text;
  for (int i = 0; text.size() < 3000; ++i) {
    std::string line = "entry line " + std::to_string(i * 37 % 101) + "\n";
    text.insert(text.end(), line.begin(), line.end());
  }
  const std::vector<uint8_t> refused = BuildArchive({MakeEntry(GenericInstallerId, text)});
  int decoded = 0;
  for (uint32_t b = 0; b < 225; ++b) {
    const uint32_t pb = b / 45, lp = b % 45 / 9, lc = b % 9;
    SCOPED_TRACE(testing::Message() << "lc " << lc << ", lp " << lp << ", pb " << pb);
    if (lc + lp > 4) {
      std::vector<uint8_t> archive = refused;
      archive[ARCHIVE_HEADER_SIZE + CHECK_PAIR_SIZE] = static_cast<uint8_t>(b);
      WritePackage(archive);
      EXPECT_EQ(ERROR_DLL_INIT_FAILED, Extract(GenericInstallerId));
      continue;
    }
    PackageOptions options = SmallOptions();
    options.preset = 0;
    options.lc = lc;
    options.lp = lp;
    options.pb = pb;
    std::vector<uint8_t> archive = BuildArchive({MakeEntry(kOtherId, PatternBytes(700, b)),
                                                 MakeEntry(GenericInstallerId, text)}, options);
    ASSERT_EQ(b, archive[ARCHIVE_HEADER_SIZE + CHECK_PAIR_SIZE]);
    WritePackage(archive);
    ASSERT_EQ(0u, Extract(GenericInstallerId));
    EXPECT_EQ(text, ReadFileBytes(output));
    ++decoded;
  }
  EXPECT_EQ(75, decoded);  // 15 lc/lp pairs with lc + lp <= 4, times 5 values of pb
}

TEST_F(ArchiveReaderTest, SearchOrder) {
  std::vector<uint8_t> first = PatternBytes(300, 11);
  std::vector<uint8_t> second = PatternBytes(200, 12);
  // Low half alone does not match; of two equal ids the first wins.
  WritePackage(BuildArchive({MakeEntry((uint64_t{7} << 32) | NT_X64_INSTALLER_ID_LOW, PatternBytes(50, 13)),
                             MakeEntry(NtX64InstallerId, first), MakeEntry(NtX64InstallerId, second)}));
  ASSERT_EQ(0u, Extract(NtX64InstallerId));
  EXPECT_EQ(first, ReadFileBytes(output));
  // An id the archive lacks: the whole stream is walked, then 30; no output.
  std::remove(output.c_str());
  EXPECT_EQ(ERROR_READ_FAULT, Extract(GenericInstallerId));
  EXPECT_NE(0, access(output.c_str(), F_OK));
}

TEST_F(ArchiveReaderTest, StreamThatEndsInsideData) {
  // The header claims more than the stream holds: 38 for skipping and for
  // extracting; the extraction leaves the pieces written so far.
  StreamEntry entry = MakeStreamEntry(GenericInstallerId, PatternBytes(65536 + 10, 14));
  entry.header.datasize = 65536 + 11;
  WritePackage(ArchiveFromPlain(PlainStream({entry})));
  EXPECT_EQ(ERROR_HANDLE_EOF, Extract(kOtherId));
  EXPECT_EQ(ERROR_HANDLE_EOF, Extract(GenericInstallerId));
  std::vector<uint8_t> partial(entry.data.begin(), entry.data.begin() + 65536);
  EXPECT_EQ(partial, ReadFileBytes(output));
}

TEST_F(ArchiveReaderTest, DataSizeIsSixtyFourBits) {
  // A size of 4 GiB + 10 followed by 10 bytes and another entry: counted in
  // 32 bits it would end after those 10 bytes and find the next header.
  StreamEntry big = MakeStreamEntry(GenericInstallerId, PatternBytes(10, 15));
  big.header.datasize = 0x10000000Aull;
  StreamEntry next = MakeStreamEntry(NtX86InstallerId, PatternBytes(100000, 16));
  WritePackage(ArchiveFromPlain(PlainStream({big, next})));
  EXPECT_EQ(ERROR_HANDLE_EOF, Extract(NtX86InstallerId));    // skipping
  EXPECT_EQ(ERROR_HANDLE_EOF, Extract(GenericInstallerId));  // extracting: the second piece comes back short
  EXPECT_EQ(65536u, ReadFileBytes(output).size());
}

TEST_F(ArchiveReaderTest, DamagedOrCutStream) {
  std::vector<uint8_t> archive = BuildArchive({MakeEntry(GenericInstallerId, PatternBytes(5000, 17))});
  std::vector<uint8_t> damaged = archive;
  damaged[STREAM_OFFSET] = 0xFF;  // a range decoder's first byte is always 0
  WritePackage(damaged);
  EXPECT_EQ(ERROR_READ_FAULT, Extract(GenericInstallerId));
  // Input that runs out inside the entry's data: a read fault, not an end.
  std::vector<uint8_t> cut(archive.begin(), archive.begin() + STREAM_OFFSET + 1000);
  WritePackage(cut);
  EXPECT_EQ(ERROR_READ_FAULT, Extract(GenericInstallerId));
  EXPECT_EQ(ERROR_READ_FAULT, Extract(kOtherId));
}

TEST_F(ArchiveReaderTest, WalkingByHand) {
  std::vector<uint8_t> a = PatternBytes(70000, 18);
  WritePackage(BuildArchive({MakeEntry(kOtherId, a, 5, 6), MakeEntry(GenericInstallerId, {}, 7, 8)}));
  ArchiveReader* reader = CreateArchiveReader();
  ASSERT_NE(nullptr, reader);
  ASSERT_EQ(0u, OpenArchive(reader, package.c_str(), 0));
  EXPECT_EQ(ARCHIVE_MAGIC, ReadLe32(reader->header + 16));
  EntryHeader entry;
  ASSERT_EQ(0u, ReadEntryHeader(reader, &entry));
  EXPECT_EQ(kOtherId, (uint64_t{entry.idhigh} << 32) | entry.idlow);
  EXPECT_EQ(a.size(), entry.datasize);
  EXPECT_EQ(5u, entry.lastwritetime);
  EXPECT_EQ(6u, entry.attributes);
  ASSERT_EQ(0u, SkipEntryData(reader, &entry));
  ASSERT_EQ(0u, ReadEntryHeader(reader, &entry));
  EXPECT_EQ(0u, entry.datasize);
  EXPECT_EQ(0u, SkipEntryData(reader, &entry));  // no decoding
  // At the stream's end: 30, and the header is left zeroed.
  EXPECT_EQ(ERROR_READ_FAULT, ReadEntryHeader(reader, &entry));
  EXPECT_EQ(0u, entry.entrymagic);
  EXPECT_EQ(0u, entry.idlow);
  EXPECT_EQ(ERROR_READ_FAULT, ReadEntryHeader(reader, &entry));
  EXPECT_EQ(0u, CloseArchive(reader));
  EXPECT_EQ(0u, CloseArchive(reader));
  // A closed reader reads nothing.
  EXPECT_EQ(ERROR_READ_FAULT, ReadEntryHeader(reader, &entry));
  // Open again on the same reader.
  ASSERT_EQ(0u, OpenArchive(reader, package.c_str(), 0));
  EXPECT_EQ(0u, FindEntry(reader, &entry, GENERIC_INSTALLER_ID_LOW, INSTALLER_ID_HIGH));
  EXPECT_EQ(0u, ExtractEntryToFile(reader, &entry, output.c_str()));
  EXPECT_EQ(0u, ReadFileBytes(output).size());
  EXPECT_EQ(0u, DestroyArchiveReader(reader));
}

TEST_F(ArchiveReaderTest, NullArguments) {
  WritePackage(BuildArchive({MakeEntry(GenericInstallerId, PatternBytes(10, 19))}));
  EntryHeader entry = {};
  entry.entrymagic = 0x12345678u;
  EXPECT_EQ(ERROR_INVALID_PARAMETER, OpenArchive(nullptr, package.c_str(), 0));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, FindEntry(nullptr, &entry, 1, 2));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, ReadEntryHeader(nullptr, &entry));
  EXPECT_EQ(0u, entry.entrymagic);  // zeroed first
  EXPECT_EQ(ERROR_INVALID_PARAMETER, SkipEntryData(nullptr, &entry));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, ExtractEntryToFile(nullptr, &entry, output.c_str()));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, CloseArchive(nullptr));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, DestroyArchiveReader(nullptr));

  ArchiveReader* reader = CreateArchiveReader();
  ASSERT_NE(nullptr, reader);
  ASSERT_EQ(0u, OpenArchive(reader, package.c_str(), 0));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, ReadEntryHeader(reader, nullptr));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, SkipEntryData(reader, nullptr));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, ExtractEntryToFile(reader, nullptr, output.c_str()));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, FindEntry(reader, nullptr, 1, 2));
  EXPECT_EQ(0u, DestroyArchiveReader(reader));
  // A reader that was never opened closes nothing.
  reader = CreateArchiveReader();
  ASSERT_NE(nullptr, reader);
  EXPECT_EQ(0u, DestroyArchiveReader(reader));
  EXPECT_EQ(1u, TestingCount(Op_CloseHandle));  // only the package opened above
}

TEST_F(ArchiveReaderTest, OutputFileFailures) {
  WritePackage(BuildArchive({MakeEntry(GenericInstallerId, PatternBytes(3 * 65536, 20))}));
  // A zero-byte write: 39, with the pieces written before on disk.
  Testing().zerowriteat = 3;
  EXPECT_EQ(ERROR_HANDLE_DISK_FULL, Extract(GenericInstallerId));
  EXPECT_EQ(2u * 65536, ReadFileBytes(output).size());
  Testing().zerowriteat = 0;
  // An output that cannot be created (a directory): the platform's error.
  uint32_t code = 0;
  EXPECT_EQ(0u, ExtractPackageEntry(package.c_str(), 0, GENERIC_INSTALLER_ID_LOW, INSTALLER_ID_HIGH,
                                    dir.path.c_str(), &code));
  EXPECT_EQ(ERROR_ACCESS_DENIED, code);
}

}  // namespace
