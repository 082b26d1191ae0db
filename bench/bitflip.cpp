// How many single-bit flips of a package's LZMA stream the loader's
// extraction still accepts. A valid three-entry package is built; every bit
// of its stream (or every STEP-th) is flipped in turn and the last entry,
// the NT x64 build, is extracted through the loader's own ExtractPackageEntry
// (what `pxq extract` and `pxq run` use). Each flip is classed by the first
// decompressed byte it changes (found with liblzma on the same stream): in
// the chosen entry's data, elsewhere (headers, other entries), or nowhere.
//
//   pxq_bitflip [--step N] [--no-crc] [--size BYTES]
//
// Prints per class the flips tried, accepted, and accepted with output that
// differs from the entry's bytes (a corrupted installer that would run).
#include <lzma.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "package/archive_reader.h"
#include "package/records.h"
#include "platform/posix.h"
#include "tools/writer/writer.h"

namespace {

// Text-like bytes with some noise: compressible, as installers are.
std::vector<uint8_t> Payload(size_t size, uint32_t seed) {
  static const char kWords[] = "setup install program files registry version license ";
  std::vector<uint8_t> bytes(size);
  uint32_t state = seed;
  for (size_t i = 0; i < size; ++i) {
    state = state * 1103515245u + 12345u;
    bytes[i] = (state >> 28) == 0 ? static_cast<uint8_t>(state >> 16) : kWords[(i + (state >> 30)) % (sizeof kWords - 1)];
  }
  return bytes;
}

// The decompressed stream, or as much of it as decodes.
std::vector<uint8_t> Decompress(const std::vector<uint8_t>& archive) {
  LzmaProperties properties;
  DecodeLzmaProperties(archive.data() + ARCHIVE_HEADER_SIZE + CHECK_PAIR_SIZE, &properties);
  lzma_options_lzma options;
  lzma_lzma_preset(&options, 0);
  options.lc = properties.lc;
  options.lp = properties.lp;
  options.pb = properties.pb;
  options.dict_size = properties.dictionarysize;
  lzma_filter filters[2] = {{LZMA_FILTER_LZMA1, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
  lzma_stream stream = LZMA_STREAM_INIT;
  std::vector<uint8_t> out;
  if (lzma_raw_decoder(&stream, filters) != LZMA_OK) return out;
  stream.next_in = archive.data() + STREAM_OFFSET;
  stream.avail_in = archive.size() - STREAM_OFFSET;
  std::vector<uint8_t> piece(1 << 16);
  for (;;) {
    stream.next_out = piece.data();
    stream.avail_out = piece.size();
    lzma_ret ret = lzma_code(&stream, LZMA_FINISH);
    out.insert(out.end(), piece.data(), piece.data() + (piece.size() - stream.avail_out));
    if (ret != LZMA_OK) break;
  }
  lzma_end(&stream);
  return out;
}

bool WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  FILE* file = fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  bool ok = fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  return fclose(file) == 0 && ok;
}

std::vector<uint8_t> ReadFile(const std::string& path) {
  std::vector<uint8_t> bytes;
  FILE* file = fopen(path.c_str(), "rb");
  if (file == nullptr) return bytes;
  uint8_t piece[65536];
  size_t n;
  while ((n = fread(piece, 1, sizeof piece, file)) != 0) bytes.insert(bytes.end(), piece, piece + n);
  fclose(file);
  return bytes;
}

struct Tally {
  const char* name;
  unsigned tried = 0, accepted = 0, corrupted = 0;
};

}  // namespace

int main(int argc, char** argv) {
  size_t step = 1;
  size_t size = 8192;
  bool crc = true;
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--step") == 0 && i + 1 < argc) {
      step = strtoul(argv[++i], nullptr, 0);
    } else if (strcmp(argv[i], "--size") == 0 && i + 1 < argc) {
      size = strtoul(argv[++i], nullptr, 0);
    } else if (strcmp(argv[i], "--no-crc") == 0) {
      crc = false;
    } else {
      fprintf(stderr, "usage: pxq_bitflip [--step N] [--no-crc] [--size BYTES]\n");
      return 2;
    }
  }
  if (step == 0) step = 1;
  UsePlatform(PosixPlatform());

  std::vector<PackageEntry> entries(3);
  const uint32_t lows[3] = {GENERIC_INSTALLER_ID_LOW, NT_X86_INSTALLER_ID_LOW, NT_X64_INSTALLER_ID_LOW};
  for (int i = 0; i < 3; ++i) {
    entries[i].idlow = lows[i];
    entries[i].idhigh = INSTALLER_ID_HIGH;
    entries[i].data = Payload(size, 7u + i);
  }
  PackageOptions options;
  options.dictionarysize = 1u << 16;
  options.entrycrc = crc;
  std::vector<uint8_t> archive;
  if (WriteArchive(entries, options, &archive) != 0) {
    fprintf(stderr, "pxq_bitflip: the writer failed\n");
    return 1;
  }
  const std::vector<uint8_t>& wanted = entries[2].data;
  const std::vector<uint8_t> plain = Decompress(archive);
  // The chosen entry's data: behind three headers and two entries' data.
  const size_t datastart = 3 * ENTRY_HEADER_SIZE + 2 * size;
  const size_t dataend = datastart + size;
  const size_t streamlength = archive.size() - STREAM_OFFSET - ARCHIVE_TRAILER_SIZE;

  char directory[] = "/tmp/pxq-bitflip-XXXXXX";
  if (mkdtemp(directory) == nullptr) return 1;
  const std::string package = std::string(directory) + "/package";
  const std::string output = std::string(directory) + "/output";

  Tally tallies[3] = {{"chosen entry's data"}, {"elsewhere"}, {"no decoded byte"}};
  for (size_t bit = 0; bit < streamlength * 8; bit += step) {
    std::vector<uint8_t> flipped = archive;
    flipped[STREAM_OFFSET + bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
    std::vector<uint8_t> decoded = Decompress(flipped);
    size_t first = 0;
    while (first < decoded.size() && first < plain.size() && decoded[first] == plain[first]) ++first;
    Tally* tally = &tallies[2];
    if (first < plain.size() || decoded.size() != plain.size())
      tally = first >= datastart && first < dataend ? &tallies[0] : &tallies[1];
    ++tally->tried;
    if (!WriteFile(package, flipped)) return 1;
    unlink(output.c_str());
    uint32_t code = 0;
    if (ExtractPackageEntry(package.c_str(), 0, NT_X64_INSTALLER_ID_LOW, INSTALLER_ID_HIGH, output.c_str(), &code) ==
        1) {
      ++tally->accepted;
      if (ReadFile(output) != wanted) ++tally->corrupted;
    }
  }
  unlink(package.c_str());
  unlink(output.c_str());
  rmdir(directory);

  printf("stream of %zu bytes, entries of %zu bytes, every %zu. bit flipped, entry CRC %s\n", streamlength, size,
         step, crc ? "stored" : "not stored");
  printf("%-22s %8s %9s %8s %10s\n", "first damage", "flips", "accepted", "share", "corrupted");
  unsigned tried = 0, accepted = 0, corrupted = 0;
  for (const Tally& tally : tallies) {
    printf("%-22s %8u %9u %7.2f%% %10u\n", tally.name, tally.tried, tally.accepted,
           tally.tried != 0 ? 100.0 * tally.accepted / tally.tried : 0.0, tally.corrupted);
    tried += tally.tried;
    accepted += tally.accepted;
    corrupted += tally.corrupted;
  }
  printf("%-22s %8u %9u %7.2f%% %10u\n", "all", tried, accepted, tried != 0 ? 100.0 * accepted / tried : 0.0,
         corrupted);
  return 0;
}
