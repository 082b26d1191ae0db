// The decoder contract: pieces of any size across any input split, a short
// piece at the end marker and nothing after it, failures of input, data and
// memory.
#include <gtest/gtest.h>

#include "package/lzma_decoder.h"
#include "platform/testing.h"
#include "support/package_fixture.h"

namespace {

// Hands out a byte vector in chunks; 1 once it is used up. The FileBuffer
// only carries the source to the callback.
struct ChunkSource {
  FileBuffer carrier;
  const std::vector<uint8_t>* bytes;
  size_t at;
  size_t chunk;
  uint32_t calls;
};

uint32_t ReadChunk(FileBuffer* reader, const uint8_t** data, uint32_t* count) {
  ChunkSource* source = reinterpret_cast<ChunkSource*>(reader);
  ++source->calls;
  if (source->at == source->bytes->size()) return 1;
  size_t n = std::min(source->chunk, source->bytes->size() - source->at);
  *data = source->bytes->data() + source->at;
  *count = static_cast<uint32_t>(n);
  source->at += n;
  return 0;
}

// The properties of SmallOptions().
const LzmaProperties kSmall = {3, 0, 2, 1u << 16};

struct LzmaDecoderTest : ::testing::Test {
  TestingScope scope;
  LzmaDecoder* decoder = nullptr;

  void TearDown() override {
    DestroyLzmaDecoder(decoder);
    EXPECT_TRUE(TestingNothingOpen()) << TestingOpenSummary();
  }
};

TEST_F(LzmaDecoderTest, DecodesInPiecesAcrossAnyInputSplit) {
  // Literals and long matches, so that matches straddle the pieces.
  std::vector<uint8_t> plain = PatternBytes(70000, 1);
  plain.resize(200000, 0x41);
  std::vector<uint8_t> more = PatternBytes(3000, 2);
  plain.insert(plain.end(), more.begin(), more.end());
  std::vector<uint8_t> stream = CompressRaw(plain);
  stream.resize(stream.size() + 16, 0xAA);  // what follows the stream is not decoded

  for (size_t chunk : {size_t{1}, size_t{7}, size_t{4096}, stream.size()}) {
    SCOPED_TRACE(chunk);
    ChunkSource source = {{}, &stream, 0, chunk, 0};
    InputCallback input = {ReadChunk, &source.carrier};
    ASSERT_EQ(0u, CreateLzmaDecoder(&kSmall, &decoder));
    std::vector<uint8_t> out(plain.size() + 100);
    uint32_t produced = 0;
    ASSERT_EQ(0u, DecodeLzma(decoder, &input, out.data(), 64, &produced));
    ASSERT_EQ(64u, produced);
    size_t total = 64;
    while (total < plain.size()) {
      ASSERT_EQ(0u, DecodeLzma(decoder, &input, out.data() + total, 65536, &produced));
      total += produced;
      if (produced < 65536) break;
    }
    ASSERT_EQ(plain.size(), total);
    out.resize(total);
    EXPECT_EQ(plain, out);
    // The end marker has been met: nothing more, and no more input asked.
    uint32_t calls = source.calls;
    EXPECT_EQ(0u, DecodeLzma(decoder, &input, out.data(), 1, &produced));
    EXPECT_EQ(0u, produced);
    EXPECT_EQ(calls, source.calls);
    if (chunk == 1) {
      EXPECT_EQ(stream.size() - 16, source.at);  // nothing past the end marker was asked for
    }
    DestroyLzmaDecoder(decoder);
    decoder = nullptr;
  }
}

TEST_F(LzmaDecoderTest, StreamEndingTheInputDecodesToItsEnd) {
  // The stream is handed over whole and then input is refused (a file that
  // ends right after the stream): every byte, asked for one at a time, comes
  // out, and the end marker ends the stream without more input.
  std::vector<uint8_t> plain(20000, 0);
  std::vector<uint8_t> stream = CompressRaw(plain);
  ChunkSource source = {{}, &stream, 0, stream.size(), 0};
  InputCallback input = {ReadChunk, &source.carrier};
  ASSERT_EQ(0u, CreateLzmaDecoder(&kSmall, &decoder));
  uint8_t byte = 1;
  uint32_t produced = 0;
  for (size_t i = 0; i < plain.size(); ++i) {
    ASSERT_EQ(0u, DecodeLzma(decoder, &input, &byte, 1, &produced)) << i;
    ASSERT_EQ(1u, produced);
    ASSERT_EQ(0, byte);
  }
  EXPECT_EQ(0u, DecodeLzma(decoder, &input, &byte, 1, &produced));
  EXPECT_EQ(0u, produced);
  EXPECT_EQ(1u, source.calls);
}

TEST_F(LzmaDecoderTest, InputThatRunsOutFailsWithTheCallbacksResult) {
  std::vector<uint8_t> plain = PatternBytes(5000, 3);
  std::vector<uint8_t> stream = CompressRaw(plain);
  stream.resize(stream.size() / 2);
  ChunkSource source = {{}, &stream, 0, 100, 0};
  InputCallback input = {ReadChunk, &source.carrier};
  ASSERT_EQ(0u, CreateLzmaDecoder(&kSmall, &decoder));
  std::vector<uint8_t> out(plain.size());
  uint32_t produced = 0;
  EXPECT_EQ(1u, DecodeLzma(decoder, &input, out.data(), static_cast<uint32_t>(out.size()), &produced));
  EXPECT_LT(produced, out.size());
  // The failure sticks and no more input is asked for.
  uint32_t calls = source.calls;
  EXPECT_EQ(1u, DecodeLzma(decoder, &input, out.data(), 1, &produced));
  EXPECT_EQ(0u, produced);
  EXPECT_EQ(calls, source.calls);
}

TEST_F(LzmaDecoderTest, DamagedStreamIsAReadFault) {
  std::vector<uint8_t> stream = CompressRaw(PatternBytes(100, 4));
  stream[0] = 0xFF;  // the range decoder's first byte is always 0
  ChunkSource source = {{}, &stream, 0, stream.size(), 0};
  InputCallback input = {ReadChunk, &source.carrier};
  ASSERT_EQ(0u, CreateLzmaDecoder(&kSmall, &decoder));
  uint8_t out[64];
  uint32_t produced = 0;
  EXPECT_EQ(ERROR_READ_FAULT, DecodeLzma(decoder, &input, out, sizeof out, &produced));
  EXPECT_EQ(0u, produced);
}

TEST_F(LzmaDecoderTest, CreationFailures) {
  LzmaProperties wide = {4, 1, 2, 1u << 16};  // lc + lp above 4
  EXPECT_EQ(ERROR_DLL_INIT_FAILED, CreateLzmaDecoder(&wide, &decoder));
  EXPECT_EQ(nullptr, decoder);
  LzmaProperties huge = {3, 0, 2, 0xFFFFFFFFu};  // a window beyond 32 bits once rounded
  EXPECT_EQ(ERROR_NOT_ENOUGH_MEMORY, CreateLzmaDecoder(&huge, &decoder));
  EXPECT_EQ(nullptr, decoder);
  EXPECT_TRUE(TestingNothingOpen()) << TestingOpenSummary();

  // Every block the decoder takes can be refused; each refusal gives 8.
  uint32_t nth = 1;
  for (;; ++nth) {
    Testing().injected = 0;
    Testing().counts[Op_HeapAlloc] = 0;
    Testing().faults = {{Op_HeapAlloc, nth, ERROR_NOT_ENOUGH_MEMORY}};
    uint32_t result = CreateLzmaDecoder(&kSmall, &decoder);
    if (Testing().injected == 0) {
      EXPECT_EQ(0u, result);
      break;
    }
    EXPECT_EQ(ERROR_NOT_ENOUGH_MEMORY, result) << nth;
    EXPECT_EQ(nullptr, decoder);
    EXPECT_TRUE(TestingNothingOpen()) << nth << ": " << TestingOpenSummary();
  }
  EXPECT_GT(nth, 2u);  // the state record and liblzma's own blocks
}

}  // namespace
