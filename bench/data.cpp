// The data archive's benchmark programs, one per mode:
//
//   pxq_bench_data reader FILE ID OUT   the loader's own reader on the data
//       archive: ExtractPackageEntry at the data archive's offset, decoding
//       every entry before entry ID and writing that one to OUT
//   pxq_bench_data library FILE DIR [THREADS]   the installer library:
//       PxqDataOpen and PxqDataExtractAll into DIR, with THREADS decoding
//       threads (PxqDataSetThreads; default 0, one per core)
//   pxq_bench_data locate FILE          PxqDataOpen alone, counting the reads
//       it makes through the platform seam; prints "READS BYTES ITEMS"
//   pxq_bench_data layout FILE          the block layout's data stream:
//       prints "OFFSET SIZE BLOCKSIZE BLOCKS DATABYTES", OFFSET from the
//       start of the file
//   pxq_bench_data names FILE           the files' names in archive order,
//       one a line (their data, so concatenated, is the data stream's)
//   pxq_bench_data blocks FILE DIR      each block alone, as a worker of the
//       library reads and decodes it, and its bytes written to a file in DIR
//       as the library's caller writes an entry (copied out in the same
//       pieces, CRC32, written under a temporary name and renamed); prints
//       per block "BLOCK BYTES COMPRESSED DECODE_S WRITE_S CRC32" (the
//       times in this thread's CPU seconds; the CRC32 of the block's bytes)
//   pxq_bench_data schedule TIMES BYTES THREADS...   from the output of
//       blocks (the file TIMES), the blocks repeated up to BYTES (0: as
//       measured), the simulated extraction with each number of THREADS
//       (bench/block_schedule.h); prints per number "THREADS SECONDS
//       SPEEDUP", the speedup against one thread
//
// reader and library decode the very same stream, so that their CPU times
// compare the library's extraction with the loader's decoding.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <string>
#include <vector>

#include "bench/block_schedule.h"
#include "installer/block_decoders.h"
#include "installer/data_blocks.h"
#include "installer/file_layer.h"
#include "package/archive_reader.h"
#include "package/crc32.h"
#include "package/data_archive.h"
#include "package/file_buffer.h"
#include "package/records.h"
#include "platform/heap.h"
#include "platform/platform.h"
#include "platform/posix.h"
#include "pxq/installer_data.h"

namespace {

// The data archive's offset, from the stamp and the locator in the loader
// archive's header; 0 when the file has none.
uint64_t DataOffset(const char* path) {
  FILE* file = fopen(path, "rb");
  if (file == nullptr) return 0;
  uint8_t stamp[LOADER_STAMP_SIZE];
  uint8_t locator[16];
  uint64_t offset = 0;
  if (fread(stamp, 1, sizeof stamp, file) == sizeof stamp &&
      fseek(file, static_cast<long>(ReadLe32(stamp + STAMP_OFFSET_ARCHIVE)), SEEK_SET) == 0 &&
      fread(locator, 1, sizeof locator, file) == sizeof locator && !DecodeDataLocator(locator, &offset)) {
    offset = 0;
  }
  fclose(file);
  return offset;
}

const Platform* posix = nullptr;
uint64_t reads = 0;
uint64_t bytesread = 0;

BOOL PXQ_WINAPI CountingReadFile(HANDLE file, LPVOID buffer, DWORD count, LPDWORD got, LPOVERLAPPED overlapped) {
  BOOL result = posix->ReadFile(file, buffer, count, got, overlapped);
  ++reads;
  if (result && got != nullptr) bytesread += *got;
  return result;
}

int Reader(const char* path, const char* id, const char* output) {
  uint64_t offset = DataOffset(path);
  if (offset == 0 || offset > 0xFFFFFFFFu) {
    fprintf(stderr, "pxq_bench_data: %s has no data archive the reader can reach\n", path);
    return 1;
  }
  uint64_t entry = strtoull(id, nullptr, 0);
  UsePlatform(PosixPlatform());
  uint32_t code = 0;
  if (ExtractPackageEntry(path, static_cast<uint32_t>(offset), static_cast<uint32_t>(entry),
                          static_cast<uint32_t>(entry >> 32), output, &code) != 1) {
    fprintf(stderr, "pxq_bench_data: the reader failed with %u\n", code);
    return 1;
  }
  return 0;
}

int Library(const char* path, const char* directory, uint32_t threads) {
  PxqData* data = nullptr;
  uint32_t code = PxqDataOpen(path, &data);
  if (code == 0) code = PxqDataSetThreads(data, threads);
  if (code == 0) code = PxqDataExtractAll(data, directory, nullptr, nullptr);
  if (code != 0) fprintf(stderr, "pxq_bench_data: %s (%u)\n", PxqDataMessage(data), code);
  PxqDataClose(data);
  return code == 0 ? 0 : 1;
}

int Locate(const char* path) {
  static Platform counting;
  posix = PosixPlatform();
  counting = *posix;
  counting.ReadFile = CountingReadFile;
  UsePlatform(&counting);
  PxqData* data = nullptr;
  uint32_t code = PxqDataOpen(path, &data);
  if (code != 0) {
    fprintf(stderr, "pxq_bench_data: %s (%u)\n", PxqDataMessage(data), code);
    PxqDataClose(data);
    return 1;
  }
  printf("%llu %llu %u\n", static_cast<unsigned long long>(reads), static_cast<unsigned long long>(bytesread),
         PxqDataCount(data));
  PxqDataClose(data);
  return 0;
}

// The block layout as the library reads it: opened and checked by
// PxqDataOpen, then its head and block table read again here.
struct Layout {
  uint64_t start = 0;  // the data stream's first byte in the file
  DataHead head = {};
  std::vector<DataBlock> blocks;
  std::vector<std::string> files;  // names of the items with data, in order
};

bool ReadLayout(const char* path, Layout* layout) {
  PxqData* data = nullptr;
  uint32_t code = PxqDataOpen(path, &data);
  if (code != 0) {
    fprintf(stderr, "pxq_bench_data: %s (%u)\n", PxqDataMessage(data), code);
    PxqDataClose(data);
    return false;
  }
  layout->start = PxqDataOffset(data);
  for (uint32_t number = 1; number <= PxqDataCount(data); ++number) {
    PxqDataEntry entry;
    if (PxqDataEntryAt(data, number, &entry) == 0 && !entry.isdirectory) layout->files.push_back(entry.name);
  }
  PxqDataClose(data);
  HANDLE file = INVALID_HANDLE_VALUE;
  uint64_t headoffset = DataOffset(path);
  uint8_t bytes[DATA_HEAD_SIZE];
  code = LayerOpenRead(path, &file);
  if (code == 0) code = ReadFileAt(file, headoffset, bytes, DATA_HEAD_SIZE);
  if (code == 0) code = DecodeDataHead(bytes, &layout->head);
  const DataHead& head = layout->head;
  // Sized from the head only once it is known to be one (a solid archive
  // has none).
  std::vector<uint8_t> packed(code == 0 ? head.indexsize : 0);
  std::vector<uint8_t> index(code == 0 ? head.indexdecoded : 0);
  if (code == 0) code = ReadFileAt(file, headoffset - head.indexsize, packed.data(), head.indexsize);
  if (file != INVALID_HANDLE_VALUE) Sys().CloseHandle(file);
  if (code == 0) code = DecodeDataIndexStream(packed.data(), head.indexsize, index.data(), head.indexdecoded);
  uint32_t count = 0;
  uint32_t blocks = 0;
  if (code == 0) code = ReadDataIndexHeader(index.data(), head.indexdecoded, &count, DATA_INDEX_VERSION_BLOCKS, &blocks);
  uint32_t position = DATA_INDEX_HEADER_SIZE;
  for (uint32_t i = 0; code == 0 && i < count; ++i) {
    DataItem item;
    code = ReadDataItem(index.data(), head.indexdecoded, &position, &item);
  }
  layout->blocks.resize(blocks);
  for (uint32_t k = 0; code == 0 && k < blocks; ++k)
    code = ReadDataBlock(index.data(), head.indexdecoded, &position, &layout->blocks[k]);
  if (code != 0) fprintf(stderr, "pxq_bench_data: %s: no block layout to read (%u)\n", path, code);
  return code == 0;
}

int PrintLayout(const char* path) {
  Layout layout;
  if (!ReadLayout(path, &layout)) return 1;
  printf("%llu %llu %u %u %llu\n", static_cast<unsigned long long>(layout.start),
         static_cast<unsigned long long>(layout.head.streamsize), layout.head.blocksize, layout.head.blockcount,
         static_cast<unsigned long long>(layout.head.datasize));
  return 0;
}

int PrintNames(const char* path) {
  Layout layout;
  if (!ReadLayout(path, &layout)) return 1;
  for (const std::string& name : layout.files) printf("%s\n", name.c_str());
  return 0;
}

double ThreadSeconds() {
  timespec now;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// The caller's share of an entry: the bytes copied out of the decoded block
// in the library's pieces, each added to the CRC32 and written, the file
// made under a temporary name and renamed into place.
uint32_t WriteBlock(const char* directory, uint32_t k, const uint8_t* bytes, uint64_t size, uint32_t* check) {
  std::string name = "block-" + std::to_string(k);
  PxqPathChar* finalpath = LayerJoin(directory, name.c_str(), static_cast<uint32_t>(name.size()));
  if (finalpath == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
  LayerFile file = {-1, nullptr};
  uint32_t code = LayerCreateTemporary(finalpath, &file);
  std::vector<uint8_t> buffer(FILE_BUFFER_SIZE);
  uint32_t crc = 0;
  for (uint64_t at = 0; code == 0 && at < size; at += FILE_BUFFER_SIZE) {
    uint32_t piece = size - at < FILE_BUFFER_SIZE ? static_cast<uint32_t>(size - at) : FILE_BUFFER_SIZE;
    CopyBytes(buffer.data(), bytes + at, piece);
    crc = ContinueCrc32(buffer.data(), piece, crc);
    code = LayerWrite(&file, buffer.data(), piece);
  }
  // 2020-01-01, as an entry's time.
  if (code == 0) code = LayerCommit(&file, finalpath, 132223104000000000ull, 0x80);
  LayerDiscard(&file);
  FreeBlock(finalpath);
  *check = crc;
  return code;
}

int TimeBlocks(const char* path, const char* directory) {
  Layout layout;
  if (!ReadLayout(path, &layout)) return 1;
  uint64_t largest = 0;
  for (const DataBlock& block : layout.blocks) largest = block.size > largest ? block.size : largest;
  std::vector<uint8_t> in(largest == 0 ? 1 : largest);
  std::vector<uint8_t> out(layout.head.blocksize == 0 ? 1 : layout.head.blocksize);
  const uint64_t span = layout.head.datasize < layout.head.blocksize ? layout.head.datasize : layout.head.blocksize;
  HANDLE file = INVALID_HANDLE_VALUE;
  // As a decoding thread does, one decoder from block to block.
  DataBlockDecoder* decoder = nullptr;
  uint32_t code = LayerOpenRead(path, &file);
  for (uint32_t k = 0; code == 0 && k < layout.blocks.size(); ++k) {
    const DataBlock& block = layout.blocks[k];
    double began = ThreadSeconds();
    code = LoadDataBlock(file, layout.start, &block, in.data(), out.data(), DataDictionaryFor(span), &decoder);
    double decoded = ThreadSeconds();
    uint32_t crc = 0;
    if (code == 0) code = WriteBlock(directory, k, out.data(), block.uncompressed, &crc);
    double written = ThreadSeconds();
    if (code == 0)
      printf("%u %llu %llu %.6f %.6f %08X\n", k, static_cast<unsigned long long>(block.uncompressed),
             static_cast<unsigned long long>(block.size), decoded - began, written - decoded, crc);
  }
  if (file != INVALID_HANDLE_VALUE) Sys().CloseHandle(file);
  FreeDataBlockDecoder(decoder);
  if (code != 0) fprintf(stderr, "pxq_bench_data: a block failed (%u)\n", code);
  return code == 0 ? 0 : 1;
}

int Schedule(int argc, char** argv) {
  FILE* times = fopen(argv[2], "r");
  if (times == nullptr) {
    perror(argv[2]);
    return 1;
  }
  std::vector<BlockCost> measured;
  unsigned k = 0;
  unsigned long long bytes = 0;
  unsigned long long compressed = 0;
  BlockCost cost = {};
  unsigned crc = 0;
  while (fscanf(times, "%u %llu %llu %lf %lf %x", &k, &bytes, &compressed, &cost.decode, &cost.write, &crc) == 6) {
    cost.bytes = bytes;
    measured.push_back(cost);
  }
  fclose(times);
  if (measured.empty()) {
    fprintf(stderr, "pxq_bench_data: %s holds no block times\n", argv[2]);
    return 1;
  }
  uint64_t wanted = strtoull(argv[3], nullptr, 10);
  std::vector<BlockCost> blocks = wanted == 0 ? measured : RepeatBlocks(measured, wanted);
  const double serial = SerialExtraction(blocks);
  for (int i = 4; i < argc; ++i) {
    uint32_t threads = static_cast<uint32_t>(strtoul(argv[i], nullptr, 10));
    double time = SimulatedExtraction(blocks, threads);
    printf("%u %.3f %.3f\n", threads, time, time > 0 ? serial / time : 0.0);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 5 && strcmp(argv[1], "reader") == 0) return Reader(argv[2], argv[3], argv[4]);
  if ((argc == 4 || argc == 5) && strcmp(argv[1], "library") == 0)
    return Library(argv[2], argv[3], argc == 5 ? static_cast<uint32_t>(strtoul(argv[4], nullptr, 10)) : 0);
  if (argc == 3 && strcmp(argv[1], "locate") == 0) return Locate(argv[2]);
  if (argc == 3 && strcmp(argv[1], "layout") == 0) return PrintLayout(argv[2]);
  if (argc == 3 && strcmp(argv[1], "names") == 0) return PrintNames(argv[2]);
  if (argc == 4 && strcmp(argv[1], "blocks") == 0) return TimeBlocks(argv[2], argv[3]);
  if (argc >= 5 && strcmp(argv[1], "schedule") == 0) return Schedule(argc, argv);
  fputs("usage: pxq_bench_data reader FILE ID OUT | library FILE DIR [THREADS] | locate FILE | layout FILE |\n"
        "       names FILE | blocks FILE DIR | schedule TIMES BYTES THREADS...\n",
        stderr);
  return 2;
}
