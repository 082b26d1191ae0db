// Sweeps over whole extractions: a package cut at every length, and every
// failable platform call of a successful extraction failed in turn. Each run
// must give its defined code and leave nothing open.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "package/archive_reader.h"
#include "platform/posix.h"
#include "platform/testing.h"
#include "support/file_bytes.h"
#include "support/package_fixture.h"
#include "support/scratch_dir.h"

namespace {

const uint64_t kOtherId = 0x0000000500000001ull;

struct ArchiveSweepTest : ::testing::Test {
  TestingScope scope;
  ScratchDir dir;
  std::string package = dir.File("package");
  std::string output = dir.File("output");

  uint32_t Extract(uint64_t id, uint32_t offset) {
    uint32_t code = 0xDEAD;
    uint32_t written = ExtractPackageEntry(package.c_str(), offset, static_cast<uint32_t>(id),
                                           static_cast<uint32_t>(id >> 32), output.c_str(), &code);
    EXPECT_EQ(code == 0 ? 1u : 0u, written);
    return code;
  }
};

TEST_F(ArchiveSweepTest, PackageCutAtEveryLength) {
  const uint32_t offset = 100;
  std::vector<uint8_t> wanted = PatternBytes(600, 1);
  std::vector<uint8_t> file(offset, 0x33);
  std::vector<uint8_t> archive =
      BuildArchive({MakeEntry(kOtherId, PatternBytes(100, 2)), MakeEntry(GenericInstallerId, wanted)});
  file.insert(file.end(), archive.begin(), archive.end());

  bool extracted = false;
  for (size_t length = 0; length <= file.size(); ++length) {
    SCOPED_TRACE(length);
    WriteFileBytes(package, std::vector<uint8_t>(file.begin(), file.begin() + length));
    uint32_t code = Extract(GenericInstallerId, offset);
    ASSERT_TRUE(TestingNothingOpen()) << TestingOpenSummary();
    if (length < offset + STREAM_OFFSET) {
      ASSERT_EQ(ERROR_HANDLE_EOF, code);  // the headers are not all there
    } else if (length >= file.size() - ARCHIVE_TRAILER_SIZE) {
      ASSERT_EQ(0u, code);  // the whole stream is there
    } else {
      // Input that runs out is a read fault; once the entry is complete the
      // rest of the stream does not matter.
      ASSERT_TRUE(code == ERROR_READ_FAULT || code == 0) << code;
      ASSERT_TRUE(code == 0 || !extracted) << "failed after a shorter cut succeeded";
    }
    if (code == 0) {
      extracted = true;
      ASSERT_EQ(wanted, ReadFileBytes(output));
    }
  }
}

// The operations the testing backend never fails in a sweep (see
// platform/testing.cpp), among those an extraction calls.
bool SweepSkips(PlatformOp op) {
  return op == Op_GetProcessHeap || op == Op_HeapFree || op == Op_CloseHandle || op == Op_GetLastError ||
         op == Op_SetLastError;
}

TEST_F(ArchiveSweepTest, EveryFailablePlatformCallFailedInTurn) {
  const uint32_t offset = 512;
  std::vector<uint8_t> wanted = PatternBytes(70000, 3);
  std::vector<uint8_t> file(offset, 0x44);
  std::vector<uint8_t> archive =
      BuildArchive({MakeEntry(kOtherId, PatternBytes(70000, 4)), MakeEntry(NtX64InstallerId, wanted, 99, 0x20)});
  file.insert(file.end(), archive.begin(), archive.end());
  WriteFileBytes(package, file);

  // The package file's reads: full 64 KiB fills, then the last fill's read
  // of the rest and the read that finds the end. A failed first read of a
  // fill is the platform's error while the headers are read (the first
  // fill) and a read fault once the decoder reads; a failed later read of a
  // fill is dropped, since that fill has data.
  std::vector<std::pair<uint32_t, bool>> reads;  // (fill, first of its fill)
  uint32_t fill = 1;
  for (size_t left = file.size() - offset;; ++fill) {
    if (left < FILE_BUFFER_SIZE) {
      reads.push_back({fill, true});
      if (left != 0) reads.push_back({fill, false});
      break;
    }
    reads.push_back({fill, true});
    left -= FILE_BUFFER_SIZE;
  }

  // A clean run gives the order of the failable calls.
  WriteFileBytes(output, {1, 2, 3});  // an existing output adds the attribute calls
  ASSERT_EQ(0u, Extract(NtX64InstallerId, offset));
  std::vector<PlatformOp> failable;
  for (const TestingCall& call : Testing().calls)
    if (!SweepSkips(call.op)) failable.push_back(call.op);
  ASSERT_EQ(Testing().failablecalls, failable.size());

  uint32_t nth = 1;
  for (;; ++nth) {
    SCOPED_TRACE(nth);
    TestingPlatform(PosixPlatform());  // a fresh state
    std::remove(output.c_str());
    WriteFileBytes(output, {1, 2, 3});
    const DWORD error = 0x2000 + nth;
    Testing().faults = {{PlatformOpCount, nth, error}};
    const uint32_t code = Extract(NtX64InstallerId, offset);
    ASSERT_TRUE(TestingNothingOpen()) << TestingOpenSummary();
    if (Testing().injected == 0) {
      ASSERT_EQ(0u, code);
      break;
    }
    ASSERT_LE(nth, failable.size());
    const PlatformOp op = failable[nth - 1];
    SCOPED_TRACE(op);
    uint32_t expected = error;
    switch (op) {
      case Op_HeapAlloc:
        expected = ERROR_NOT_ENOUGH_MEMORY;
        break;
      case Op_CreateFileA:
      case Op_SetFilePointer:
      case Op_WriteFile:
        break;
      case Op_ReadFile: {
        uint32_t index = 0;
        for (uint32_t i = 0; i < nth - 1; ++i) index += failable[i] == Op_ReadFile ? 1 : 0;
        ASSERT_LT(index, reads.size());
        if (!reads[index].second) {
          expected = 0;
        } else if (reads[index].first > 1) {
          expected = ERROR_READ_FAULT;
        }
        break;
      }
      case Op_GetFileAttributesA:
      case Op_SetFileAttributesA:
      case Op_SetFileTime:
        expected = 0;  // results that are ignored
        break;
      default:
        FAIL() << "unexpected failable call " << op;
    }
    ASSERT_EQ(expected, code);
    if (code == 0) {
      ASSERT_EQ(wanted, ReadFileBytes(output));
    }
  }
  EXPECT_EQ(failable.size() + 1, nth);
}

}  // namespace
