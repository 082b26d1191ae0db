// The buffered reader and writer over real files, with the testing backend
// shortening and failing the platform's reads and writes.
#include <gtest/gtest.h>

#include <string.h>

#include "package/file_buffer.h"
#include "platform/platform.h"
#include "platform/testing.h"
#include "support/file_bytes.h"
#include "support/package_fixture.h"
#include "support/scratch_dir.h"

namespace {

struct FileBufferTest : ::testing::Test {
  TestingScope scope;
  ScratchDir dir;
  FileBuffer buffer = {};

  // A reader over a new file holding `bytes`.
  void OpenReader(const std::vector<uint8_t>& bytes) {
    std::string path = dir.File("input");
    WriteFileBytes(path, bytes);
    ASSERT_EQ(0u, InitFileReader(&buffer, FILE_BUFFER_SIZE));
    buffer.handle = Sys().CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                                      FILE_FLAG_SEQUENTIAL_SCAN, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, buffer.handle);
  }

  void OpenWriter() {
    ASSERT_EQ(0u, InitFileWriter(&buffer, FILE_BUFFER_SIZE));
    buffer.handle = Sys().CreateFileA(dir.File("output").c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, buffer.handle);
  }

  // Puts `bytes` into the writer's free room, as the extraction does.
  void Put(const std::vector<uint8_t>& bytes) {
    ASSERT_LE(bytes.size(), static_cast<size_t>(buffer.end - buffer.position));
    memcpy(buffer.position, bytes.data(), bytes.size());
    buffer.position += bytes.size();
  }

  void TearDown() override {
    EXPECT_EQ(0u, CloseFileBuffer(&buffer));
    EXPECT_TRUE(TestingNothingOpen()) << TestingOpenSummary();
  }
};

TEST_F(FileBufferTest, InitialisersSetUpTheRecord) {
  ASSERT_EQ(0u, InitFileReader(&buffer, FILE_BUFFER_SIZE));
  EXPECT_EQ(INVALID_HANDLE_VALUE, buffer.handle);
  ASSERT_NE(nullptr, buffer.base);
  EXPECT_EQ(buffer.base, buffer.position);
  EXPECT_EQ(buffer.base, buffer.end);
  CloseFileBuffer(&buffer);

  ASSERT_EQ(0u, InitFileWriter(&buffer, FILE_BUFFER_SIZE));
  EXPECT_EQ(INVALID_HANDLE_VALUE, buffer.handle);
  EXPECT_EQ(buffer.base, buffer.position);
  EXPECT_EQ(buffer.base + FILE_BUFFER_SIZE, buffer.end);
  // No handle: closing frees only the buffer; twice is harmless.
  EXPECT_EQ(0u, CloseFileBuffer(&buffer));
  EXPECT_EQ(0u, CloseFileBuffer(&buffer));
  EXPECT_EQ(nullptr, buffer.base);
  EXPECT_EQ(nullptr, buffer.position);
  EXPECT_EQ(nullptr, buffer.end);
  EXPECT_EQ(0u, TestingCount(Op_CloseHandle));
}

TEST_F(FileBufferTest, FillGoesOnAfterShortReadsUntilTheBufferIsFull) {
  std::vector<uint8_t> bytes = PatternBytes(100000, 1);
  OpenReader(bytes);
  Testing().shortread = 1000;
  ASSERT_EQ(0u, FillFileReader(&buffer));
  EXPECT_EQ(FILE_BUFFER_SIZE, static_cast<uint32_t>(buffer.end - buffer.position));
  EXPECT_EQ(66u, TestingCount(Op_ReadFile));  // 65 reads of 1,000 and one of 536
  EXPECT_EQ(0, memcmp(bytes.data(), buffer.position, FILE_BUFFER_SIZE));

  // Unread data remains: nothing is read.
  uint8_t first[10];
  ASSERT_EQ(0u, ReadExact(&buffer, first, sizeof first));
  EXPECT_EQ(0u, FillFileReader(&buffer));
  EXPECT_EQ(66u, TestingCount(Op_ReadFile));
}

TEST_F(FileBufferTest, HundredByteFile) {
  std::vector<uint8_t> bytes = PatternBytes(100, 2);
  OpenReader(bytes);
  uint8_t out[64];
  EXPECT_EQ(ERROR_INVALID_PARAMETER, ReadExact(&buffer, nullptr, 0));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, ReadExact(&buffer, nullptr, 64));
  EXPECT_EQ(0u, ReadExact(&buffer, out, 0));
  EXPECT_EQ(0u, TestingCount(Op_ReadFile));

  ASSERT_EQ(0u, ReadExact(&buffer, out, 64));
  EXPECT_EQ(0, memcmp(bytes.data(), out, 64));
  memset(out, 0xEE, sizeof out);
  EXPECT_EQ(ERROR_HANDLE_EOF, ReadExact(&buffer, out, 64));
  EXPECT_EQ(0, memcmp(bytes.data() + 64, out, 36));  // the 36 bytes there were
  EXPECT_EQ(0xEE, out[36]);
}

TEST_F(FileBufferTest, FileOfWholeBuffersEndsWithEofForBothReaders) {
  std::vector<uint8_t> bytes = PatternBytes(2 * FILE_BUFFER_SIZE, 3);
  OpenReader(bytes);
  std::vector<uint8_t> out(bytes.size());
  ASSERT_EQ(0u, ReadExact(&buffer, out.data(), static_cast<uint32_t>(out.size())));
  EXPECT_EQ(bytes, out);
  EXPECT_EQ(ERROR_HANDLE_EOF, ReadExact(&buffer, out.data(), 38));
  const uint8_t* data = nullptr;
  uint32_t count = 0;
  EXPECT_EQ(1u, ReadDecoderInput(&buffer, &data, &count));
  EXPECT_EQ(nullptr, data);
  EXPECT_EQ(0u, count);
}

TEST_F(FileBufferTest, DecoderInputHandsOutTheWholeRemainderInPlace) {
  std::vector<uint8_t> bytes = PatternBytes(FILE_BUFFER_SIZE + 500, 4);
  OpenReader(bytes);
  uint8_t head[77];
  ASSERT_EQ(0u, ReadExact(&buffer, head, sizeof head));
  const uint8_t* data = nullptr;
  uint32_t count = 0;
  ASSERT_EQ(0u, ReadDecoderInput(&buffer, &data, &count));
  EXPECT_EQ(buffer.base + 77, data);
  EXPECT_EQ(FILE_BUFFER_SIZE - 77, count);
  EXPECT_EQ(buffer.end, buffer.position);
  ASSERT_EQ(0u, ReadDecoderInput(&buffer, &data, &count));  // refilled with the rest
  EXPECT_EQ(buffer.base, data);
  ASSERT_EQ(500u, count);
  EXPECT_EQ(0, memcmp(bytes.data() + FILE_BUFFER_SIZE, data, 500));
  EXPECT_EQ(1u, ReadDecoderInput(&buffer, &data, &count));
}

TEST_F(FileBufferTest, ReadErrorsAreReportedUnlessDataWasBuffered) {
  std::vector<uint8_t> bytes = PatternBytes(3000, 5);
  OpenReader(bytes);
  Testing().shortread = 1000;
  // The second read of the first fill fails: the 1,000 bytes buffered win.
  Testing().faults = {{Op_ReadFile, 2, ERROR_ACCESS_DENIED}};
  std::vector<uint8_t> out(1000);
  EXPECT_EQ(0u, ReadExact(&buffer, out.data(), 1000));
  // Now nothing is buffered and the next read fails.
  Testing().faults = {{Op_ReadFile, 3, ERROR_ACCESS_DENIED}};
  EXPECT_EQ(ERROR_ACCESS_DENIED, ReadExact(&buffer, out.data(), 1));
  const uint8_t* data = nullptr;
  uint32_t count = 0;
  Testing().faults = {{Op_ReadFile, 4, ERROR_ACCESS_DENIED}};
  EXPECT_EQ(1u, ReadDecoderInput(&buffer, &data, &count));
  // The error does not stick: the next fill reads the rest.
  ASSERT_EQ(0u, ReadDecoderInput(&buffer, &data, &count));
  EXPECT_EQ(2000u, count);
  EXPECT_EQ(0, memcmp(bytes.data() + 1000, data, 2000));
}

TEST_F(FileBufferTest, FlushWritesPendingDataAcrossPartialWrites) {
  OpenWriter();
  EXPECT_EQ(0u, FlushFileWriter(&buffer));  // nothing pending
  EXPECT_EQ(0u, TestingCount(Op_WriteFile));

  std::vector<uint8_t> bytes = PatternBytes(FILE_BUFFER_SIZE, 6);
  Put(bytes);
  Testing().shortwrite = 40000;
  ASSERT_EQ(0u, FlushFileWriter(&buffer));
  EXPECT_EQ(2u, TestingCount(Op_WriteFile));
  EXPECT_EQ(buffer.base, buffer.position);
  CloseFileBuffer(&buffer);
  EXPECT_EQ(bytes, ReadFileBytes(dir.File("output")));
}

TEST_F(FileBufferTest, FlushFailures) {
  OpenWriter();
  Put(PatternBytes(100, 7));
  Testing().zerowriteat = 1;
  EXPECT_EQ(ERROR_HANDLE_DISK_FULL, FlushFileWriter(&buffer));
  Testing().zerowriteat = 0;

  EXPECT_EQ(buffer.base, buffer.position);  // nothing was written

  Put(PatternBytes(100, 8));
  Testing().faults = {{Op_WriteFile, 2, ERROR_HANDLE_DISK_FULL + 73}};
  EXPECT_EQ(ERROR_HANDLE_DISK_FULL + 73, FlushFileWriter(&buffer));

  // A failure after a partial write: the cursor stands behind what was written.
  Put(PatternBytes(100, 9));
  Testing().shortwrite = 40;
  Testing().faults = {{Op_WriteFile, 4, ERROR_HANDLE_DISK_FULL + 73}};
  EXPECT_EQ(ERROR_HANDLE_DISK_FULL + 73, FlushFileWriter(&buffer));
  EXPECT_EQ(buffer.base + 40, buffer.position);
  Testing().shortwrite = 0;

  // A failing CloseHandle changes nothing for the caller.
  Testing().faults = {{Op_CloseHandle, 1, ERROR_INVALID_HANDLE}};
  EXPECT_EQ(0u, CloseFileBuffer(&buffer));
  EXPECT_EQ(3u, Testing().injected);  // the two writes above and this close
  EXPECT_EQ(INVALID_HANDLE_VALUE, buffer.handle);
  EXPECT_EQ(nullptr, buffer.base);
}

TEST_F(FileBufferTest, BufferThatCannotBeAllocatedFailsWithoutCrashing) {
  Testing().faults = {{Op_HeapAlloc, 1, ERROR_NOT_ENOUGH_MEMORY}, {Op_HeapAlloc, 2, ERROR_NOT_ENOUGH_MEMORY}};
  EXPECT_EQ(ERROR_NOT_ENOUGH_MEMORY, InitFileReader(&buffer, FILE_BUFFER_SIZE));
  EXPECT_EQ(nullptr, buffer.base);
  uint8_t out[4];
  const uint8_t* data = nullptr;
  uint32_t count = 0;
  EXPECT_EQ(ERROR_NOT_ENOUGH_MEMORY, FillFileReader(&buffer));
  EXPECT_EQ(ERROR_NOT_ENOUGH_MEMORY, ReadExact(&buffer, out, sizeof out));
  EXPECT_EQ(1u, ReadDecoderInput(&buffer, &data, &count));
  EXPECT_EQ(0u, TestingCount(Op_ReadFile));
  EXPECT_EQ(0u, CloseFileBuffer(&buffer));

  EXPECT_EQ(ERROR_NOT_ENOUGH_MEMORY, InitFileWriter(&buffer, FILE_BUFFER_SIZE));
  EXPECT_EQ(nullptr, buffer.end);  // no free room to write into
  EXPECT_EQ(0u, FlushFileWriter(&buffer));
}

}  // namespace
