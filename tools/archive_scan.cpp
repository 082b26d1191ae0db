#include "tools/archive_scan.h"

#include <errno.h>
#include <lzma.h>
#include <stdio.h>

#include "platform/posix.h"
#include "platform/types.h"

namespace {

const size_t kPieceSize = 1u << 20;

// Follows the decompressed bytes: header, data, header, data, ...
struct EntryWalk {
  uint8_t header[ENTRY_HEADER_SIZE];
  size_t headerbytes = 0;
  uint64_t dataleft = 0;
  bool indata = false;
};

void Follow(EntryWalk* walk, const uint8_t* bytes, size_t count, ArchiveScan* scan) {
  while (count != 0) {
    if (walk->indata) {
      size_t take = walk->dataleft < count ? static_cast<size_t>(walk->dataleft) : count;
      walk->dataleft -= take;
      bytes += take;
      count -= take;
    } else {
      size_t take = ENTRY_HEADER_SIZE - walk->headerbytes;
      if (take > count) take = count;
      for (size_t i = 0; i < take; ++i) walk->header[walk->headerbytes + i] = bytes[i];
      walk->headerbytes += take;
      bytes += take;
      count -= take;
      if (walk->headerbytes == ENTRY_HEADER_SIZE) {
        EntryHeader entry;
        DecodeEntryHeader(walk->header, &entry);
        scan->entries.push_back(entry);
        walk->dataleft = entry.datasize;
        walk->headerbytes = 0;
        walk->indata = true;
      }
    }
    if (walk->indata && walk->dataleft == 0) walk->indata = false;
  }
}

}  // namespace

uint32_t ScanArchive(const std::string& path, uint32_t offset, ArchiveScan* scan) {
  *scan = ArchiveScan();
  FILE* file = fopen(path.c_str(), "rbe");
  if (file == nullptr) return WindowsErrorFromErrno(errno);
  uint8_t head[STREAM_OFFSET];
  if (fseeko(file, static_cast<off_t>(offset), SEEK_SET) != 0 || fread(head, 1, sizeof head, file) != sizeof head) {
    uint32_t result = ferror(file) ? WindowsErrorFromErrno(errno) : ERROR_HANDLE_EOF;
    fclose(file);
    return result;
  }
  LzmaProperties properties;
  if (DecodeLzmaProperties(head + ARCHIVE_HEADER_SIZE + CHECK_PAIR_SIZE, &properties) != 0) {
    fclose(file);
    return ERROR_DLL_INIT_FAILED;
  }
  lzma_options_lzma options;
  lzma_lzma_preset(&options, 0);
  options.lc = properties.lc;
  options.lp = properties.lp;
  options.pb = properties.pb;
  options.dict_size = properties.dictionarysize;
  lzma_filter filters[2] = {{LZMA_FILTER_LZMA1, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
  lzma_stream stream = LZMA_STREAM_INIT;
  if (lzma_raw_decoder(&stream, filters) != LZMA_OK) {
    fclose(file);
    return ERROR_DLL_INIT_FAILED;
  }

  std::vector<uint8_t> input(kPieceSize), output(kPieceSize);
  EntryWalk walk;
  uint32_t result = 0;
  bool inputended = false;
  for (;;) {
    if (stream.avail_in == 0 && !inputended) {
      size_t n = fread(input.data(), 1, input.size(), file);
      if (n == 0 && ferror(file)) {
        result = WindowsErrorFromErrno(errno);
        break;
      }
      inputended = n == 0;
      stream.next_in = input.data();
      stream.avail_in = n;
    }
    stream.next_out = output.data();
    stream.avail_out = output.size();
    lzma_ret ret = lzma_code(&stream, inputended ? LZMA_FINISH : LZMA_RUN);
    size_t produced = output.size() - stream.avail_out;
    scan->decoded += produced;
    Follow(&walk, output.data(), produced, scan);
    if (ret == LZMA_STREAM_END) {
      scan->ended = true;
      break;
    }
    if (ret == LZMA_OK) continue;
    if (ret == LZMA_BUF_ERROR && inputended) {
      scan->truncated = true;
    } else {
      scan->corrupt = true;
    }
    break;
  }
  if (scan->ended) {
    scan->streamlength = stream.total_in;
    // Clean: the marker stands where the next header would begin.
    scan->clean = !walk.indata && walk.headerbytes == 0;
    uint8_t trailer[ARCHIVE_TRAILER_SIZE];
    if (fseeko(file, static_cast<off_t>(offset) + STREAM_OFFSET + static_cast<off_t>(stream.total_in), SEEK_SET) ==
            0 &&
        fread(trailer, 1, sizeof trailer, file) == sizeof trailer) {
      scan->trailer = ReadLe32(trailer) == TRAILER_MAGIC && ReadLe32(trailer + 4) == TRAILER_WORD &&
                      ReadLe64(trailer + 8) == 0;
    }
  }
  // An entry whose data did not come out whole is not counted as decoded.
  if (walk.indata) scan->entries.pop_back();
  lzma_end(&stream);
  fclose(file);
  return result;
}
