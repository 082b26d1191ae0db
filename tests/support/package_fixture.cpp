#include "support/package_fixture.h"

#include <lzma.h>

#include <gtest/gtest.h>

std::vector<uint8_t> PatternBytes(size_t count, uint32_t seed) {
  std::vector<uint8_t> bytes(count);
  uint32_t state = seed * 2654435761u + 1;
  for (auto& byte : bytes) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    byte = static_cast<uint8_t>(state);
  }
  return bytes;
}

PackageEntry MakeEntry(uint64_t id, std::vector<uint8_t> data, uint64_t lastwritetime, uint32_t attributes) {
  PackageEntry entry;
  entry.idlow = static_cast<uint32_t>(id);
  entry.idhigh = static_cast<uint32_t>(id >> 32);
  entry.data = std::move(data);
  entry.lastwritetime = lastwritetime;
  entry.attributes = attributes;
  return entry;
}

PackageOptions SmallOptions() {
  PackageOptions options;
  options.dictionarysize = 1u << 16;
  options.preset = 1;
  return options;
}

std::vector<uint8_t> BuildArchive(const std::vector<PackageEntry>& entries, const PackageOptions& options) {
  std::vector<uint8_t> archive;
  EXPECT_EQ(0u, WriteArchive(entries, options, &archive));
  return archive;
}

uint32_t ReferenceCrc32(const std::vector<uint8_t>& bytes) {
  uint32_t crc = 0xFFFFFFFFu;
  for (uint8_t byte : bytes) {
    crc ^= byte;
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

StreamEntry MakeStreamEntry(uint64_t id, std::vector<uint8_t> data) {
  StreamEntry entry = {};
  entry.header.entrymagic = ENTRY_MAGIC;
  entry.header.idlow = static_cast<uint32_t>(id);
  entry.header.idhigh = static_cast<uint32_t>(id >> 32);
  entry.header.datasize = data.size();
  entry.header.attributes = 0x80;
  entry.header.datacrc = ReferenceCrc32(data);
  entry.data = std::move(data);
  return entry;
}

std::vector<uint8_t> PlainStream(const std::vector<StreamEntry>& entries) {
  std::vector<uint8_t> plain;
  for (const StreamEntry& entry : entries) {
    uint8_t bytes[ENTRY_HEADER_SIZE];
    EncodeEntryHeader(&entry.header, bytes);
    plain.insert(plain.end(), bytes, bytes + ENTRY_HEADER_SIZE);
    plain.insert(plain.end(), entry.data.begin(), entry.data.end());
  }
  return plain;
}

std::vector<uint8_t> CompressRaw(const std::vector<uint8_t>& plain, const PackageOptions& options) {
  lzma_options_lzma lzma;
  lzma_lzma_preset(&lzma, options.preset);
  lzma.lc = options.lc;
  lzma.lp = options.lp;
  lzma.pb = options.pb;
  lzma.dict_size = options.dictionarysize;
  lzma_filter filters[2] = {{LZMA_FILTER_LZMA1, &lzma}, {LZMA_VLI_UNKNOWN, nullptr}};
  std::vector<uint8_t> stream(plain.size() + plain.size() / 2 + 4096);
  size_t out = 0;
  // Unknown size: the raw LZMA1 encoder ends the stream with the end marker.
  lzma_ret ret = lzma_raw_buffer_encode(filters, nullptr, plain.data(), plain.size(), stream.data(), &out,
                                        stream.size());
  EXPECT_EQ(LZMA_OK, ret);
  stream.resize(out);
  return stream;
}

std::vector<uint8_t> ArchiveFromPlain(const std::vector<uint8_t>& plain, const PackageOptions& options) {
  // The writer's empty archive gives the framing for these options.
  std::vector<uint8_t> frame = BuildArchive({}, options);
  std::vector<uint8_t> archive(frame.begin(), frame.begin() + STREAM_OFFSET);
  std::vector<uint8_t> stream = CompressRaw(plain, options);
  archive.insert(archive.end(), stream.begin(), stream.end());
  archive.insert(archive.end(), frame.end() - ARCHIVE_TRAILER_SIZE, frame.end());
  return archive;
}
