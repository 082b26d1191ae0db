#include "tools/writer/writer.h"

#include <errno.h>
#include <fcntl.h>
#include <lzma.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "package/crc32.h"
#include "package/data_archive.h"
#include "package/records.h"
#include "platform/posix.h"
#include "platform/types.h"

namespace {

const size_t kPieceSize = 1u << 20;

// One raw LZMA1 encoder whose output goes straight to the sink.
struct Encoder {
  lzma_stream stream = LZMA_STREAM_INIT;
  std::vector<uint8_t> out;
  const PackageSink* sink = nullptr;
  bool sinkfailed = false;  // tells output failures from input failures
  const std::function<void(uint64_t)>* onencoded = nullptr;
};

uint32_t ResultFromLzma(lzma_ret ret) {
  switch (ret) {
    case LZMA_MEM_ERROR:
    case LZMA_MEMLIMIT_ERROR:
      return ERROR_NOT_ENOUGH_MEMORY;
    case LZMA_OPTIONS_ERROR:
      return ERROR_INVALID_PARAMETER;
    default:
      return ERROR_INVALID_DATA;
  }
}

// Feeds `count` bytes to the encoder (LZMA_RUN), or ends the stream with the
// end marker (LZMA_FINISH), handing every produced byte to the sink.
uint32_t Encode(Encoder* encoder, const uint8_t* bytes, size_t count, lzma_action action) {
  lzma_stream* stream = &encoder->stream;
  stream->next_in = bytes;
  stream->avail_in = count;
  for (;;) {
    stream->next_out = encoder->out.data();
    stream->avail_out = encoder->out.size();
    lzma_ret ret = lzma_code(stream, action);
    size_t produced = encoder->out.size() - stream->avail_out;
    if (produced != 0) {
      uint32_t result = (*encoder->sink)(encoder->out.data(), produced);
      if (result != 0) {
        encoder->sinkfailed = true;
        return result;
      }
    }
    if (ret == LZMA_STREAM_END) return 0;
    if (ret != LZMA_OK) return ResultFromLzma(ret);
    // liblzma takes input into its window at once but encodes it only as far
    // as the output room allows; go on while it fills the output, so that
    // what has been fed has also been encoded (pack's progress counts it).
    if (action == LZMA_RUN && stream->avail_in == 0 && stream->avail_out != 0) return 0;
  }
}

uint32_t ErrnoResult() { return WindowsErrorFromErrno(errno); }

// Reads exactly `count` bytes unless the file ends first; sets *got.
uint32_t ReadFull(int fd, uint8_t* bytes, size_t count, size_t* got) {
  *got = 0;
  while (*got < count) {
    ssize_t n = read(fd, bytes + *got, count - *got);
    if (n < 0) {
      if (errno == EINTR) continue;
      return ErrnoResult();
    }
    if (n == 0) break;
    *got += static_cast<size_t>(n);
  }
  return 0;
}

void PutHeader(const PackageEntry& entry, uint64_t datasize, uint32_t datacrc, uint8_t bytes[ENTRY_HEADER_SIZE]) {
  EntryHeader header = {};
  header.entrymagic = ENTRY_MAGIC;
  header.idlow = entry.idlow;
  header.idhigh = entry.idhigh;
  header.datasize = datasize;
  header.othertime = entry.othertime;
  header.lastwritetime = entry.lastwritetime;
  header.attributes = entry.attributes;
  header.datacrc = datacrc;
  EncodeEntryHeader(&header, bytes);
}

// The CRC32 of the first `size` bytes of `fd`, read from its start.
uint32_t FileCrc(int fd, uint64_t size, std::vector<uint8_t>* piece, uint32_t* crc) {
  *crc = 0;
  while (size != 0) {
    size_t want = size < kPieceSize ? static_cast<size_t>(size) : kPieceSize;
    size_t got = 0;
    uint32_t result = ReadFull(fd, piece->data(), want, &got);
    if (result != 0) return result;
    if (got < want) return ERROR_HANDLE_EOF;
    *crc = lzma_crc32(piece->data(), got, *crc);
    size -= got;
  }
  return lseek(fd, 0, SEEK_SET) == 0 ? 0 : ErrnoResult();
}

// Streams one entry read from a file: the size is taken from the open file,
// so header and data agree even if the path is replaced meanwhile. The
// header comes first and holds the data's CRC32, so the file is read twice;
// data that differs on the second reading is reported, not packed.
uint32_t EncodeFileEntry(Encoder* encoder, const PackageEntry& entry, bool withcrc, bool withheader = true) {
  int fd = open(entry.path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return ErrnoResult();
  uint32_t result = 0;
  struct stat info;
  if (fstat(fd, &info) != 0) {
    result = ErrnoResult();
  } else if (!S_ISREG(info.st_mode)) {
    result = ERROR_ACCESS_DENIED;  // what Windows gives for opening a directory as a file
  } else {
    uint64_t remaining = static_cast<uint64_t>(info.st_size);
    std::vector<uint8_t> piece(kPieceSize);
    uint32_t datacrc = 0;
    if (withcrc) result = FileCrc(fd, remaining, &piece, &datacrc);
    if (result == 0 && entry.known && remaining != entry.knownsize)
      result = remaining < entry.knownsize ? ERROR_HANDLE_EOF : ERROR_READ_FAULT;
    if (result == 0 && entry.known && withcrc && datacrc != entry.knowncrc) result = ERROR_READ_FAULT;
    uint8_t header[ENTRY_HEADER_SIZE];
    PutHeader(entry, remaining, datacrc, header);
    if (result == 0 && withheader) result = Encode(encoder, header, sizeof header, LZMA_RUN);
    uint32_t crc = 0;
    while (result == 0 && remaining != 0) {
      size_t want = remaining < kPieceSize ? static_cast<size_t>(remaining) : kPieceSize;
      size_t got = 0;
      result = ReadFull(fd, piece.data(), want, &got);
      if (result == 0 && got < want) result = ERROR_HANDLE_EOF;  // shrank while being packed
      if (result == 0) result = Encode(encoder, piece.data(), got, LZMA_RUN);
      if (withcrc) crc = lzma_crc32(piece.data(), got, crc);
      if (result == 0 && encoder->onencoded != nullptr && *encoder->onencoded) (*encoder->onencoded)(got);
      remaining -= got;
    }
    if (result == 0 && crc != datacrc) result = ERROR_READ_FAULT;  // changed while being packed
    if (result == 0) {
      // A file that grew while being packed is reported: the entry holds only its old length.
      uint8_t extra;
      size_t got = 0;
      result = ReadFull(fd, &extra, 1, &got);
      if (result == 0 && got != 0) result = ERROR_READ_FAULT;
    }
  }
  close(fd);
  return result;
}

uint32_t EncodeEntry(Encoder* encoder, const PackageEntry& entry, bool withcrc) {
  if (!entry.path.empty()) return EncodeFileEntry(encoder, entry, withcrc);
  uint8_t header[ENTRY_HEADER_SIZE];
  uint32_t datacrc = withcrc ? lzma_crc32(entry.data.data(), entry.data.size(), 0) : 0;
  PutHeader(entry, entry.data.size(), datacrc, header);
  uint32_t result = Encode(encoder, header, sizeof header, LZMA_RUN);
  if (result == 0 && !entry.data.empty()) result = Encode(encoder, entry.data.data(), entry.data.size(), LZMA_RUN);
  return result;
}

uint32_t SetUpEncoder(Encoder* encoder, const PackageOptions& options, uint32_t dictionarysize) {
  if (options.preset > 9) return ERROR_INVALID_PARAMETER;
  lzma_options_lzma lzma;
  uint32_t preset = options.preset | (options.extreme ? LZMA_PRESET_EXTREME : 0);
  if (lzma_lzma_preset(&lzma, preset)) return ERROR_INVALID_PARAMETER;
  lzma.lc = options.lc;
  lzma.lp = options.lp;
  lzma.pb = options.pb;
  lzma.dict_size = dictionarysize;
  lzma_filter filters[2] = {{LZMA_FILTER_LZMA1, &lzma}, {LZMA_VLI_UNKNOWN, nullptr}};
  // The raw LZMA1 encoder knows no uncompressed size and so ends the stream
  // with the end-of-payload marker, which is what readers stop at.
  lzma_ret ret = lzma_raw_encoder(&encoder->stream, filters);
  if (ret != LZMA_OK) return ResultFromLzma(ret);
  encoder->out.resize(kPieceSize);
  return 0;
}

// Writes the archive through an encoder already set up for `options`, and
// ends the encoder.
uint32_t WriteArchiveWith(Encoder* encoder, const std::vector<PackageEntry>& entries, const PackageOptions& options,
                          uint32_t dictionarysize, const PackageSink& sink, size_t* failedentry) {
  uint8_t head[ARCHIVE_HEADER_SIZE + CHECK_PAIR_SIZE + LZMA_PROPERTIES_SIZE] = {};
  WriteLe32(head, options.headermagic);
  WriteLe32(head + 16, ARCHIVE_MAGIC);
  WriteLe32(head + 20, FORMAT_VERSION);
  WriteLe32(head + 24, options.archiveflags | (options.entrycrc ? ARCHIVE_FLAG_ENTRY_CRC : 0u));
  WriteLe32(head + ARCHIVE_HEADER_SIZE, options.checkfirst);
  WriteLe32(head + ARCHIVE_HEADER_SIZE + 4, options.checkfirst ^ CHECK_PAIR_XOR);
  uint8_t* properties = head + ARCHIVE_HEADER_SIZE + CHECK_PAIR_SIZE;
  properties[0] = EncodePropertiesByte(options.lc, options.lp, options.pb);
  WriteLe32(properties + 1, dictionarysize);
  uint32_t result = sink(head, sizeof head);

  for (size_t i = 0; result == 0 && i < entries.size(); ++i) {
    result = EncodeEntry(encoder, entries[i], options.entrycrc);
    if (result != 0 && !encoder->sinkfailed && failedentry != nullptr) *failedentry = i;
  }
  if (result == 0) result = Encode(encoder, nullptr, 0, LZMA_FINISH);
  lzma_end(&encoder->stream);
  if (result != 0) return result;

  uint8_t trailer[ARCHIVE_TRAILER_SIZE] = {};
  WriteLe32(trailer, TRAILER_MAGIC);
  WriteLe32(trailer + 4, TRAILER_WORD);
  return sink(trailer, sizeof trailer);
}

}  // namespace

uint32_t DictionaryForPayload(uint64_t payload, uint32_t cap) {
  uint64_t size = MIN_DICTIONARY_SIZE;
  while (size < payload && size < cap) size <<= 1;
  return size < cap ? static_cast<uint32_t>(size) : cap;
}

uint64_t PayloadSize(const std::vector<PackageEntry>& entries) {
  uint64_t total = 0;
  for (const PackageEntry& entry : entries) {
    uint64_t size = entry.data.size();
    if (!entry.path.empty()) {
      struct stat info;
      size = stat(entry.path.c_str(), &info) == 0 ? static_cast<uint64_t>(info.st_size) : UINT64_MAX / 2;
    }
    total += ENTRY_HEADER_SIZE + size;
    if (total >= UINT64_MAX / 2) return UINT64_MAX / 2;
  }
  return total;
}

uint32_t ChosenDictionary(const std::vector<PackageEntry>& entries, const PackageOptions& options) {
  if (options.dictionarysize != 0) return options.dictionarysize;
  return DictionaryForPayload(PayloadSize(entries), options.dictionarycap);
}

void OrderEntriesForLoading(std::vector<PackageEntry>* entries) {
  auto rank = [](const PackageEntry& entry) {
    if (entry.idhigh != INSTALLER_ID_HIGH) return 3;
    if (entry.idlow == NT_X64_INSTALLER_ID_LOW) return 0;
    if (entry.idlow == NT_X86_INSTALLER_ID_LOW) return 1;
    if (entry.idlow == GENERIC_INSTALLER_ID_LOW) return 2;
    return 3;
  };
  std::stable_sort(entries->begin(), entries->end(),
                   [&](const PackageEntry& a, const PackageEntry& b) { return rank(a) < rank(b); });
}

uint32_t WriteArchiveTo(const std::vector<PackageEntry>& entries, const PackageOptions& options,
                        const PackageSink& sink, size_t* failedentry) {
  if (failedentry != nullptr) *failedentry = SIZE_MAX;
  Encoder encoder;
  encoder.sink = &sink;
  encoder.onencoded = &options.onencoded;
  // Refused options fail before any byte is written.
  uint32_t dictionarysize = ChosenDictionary(entries, options);
  uint32_t result = SetUpEncoder(&encoder, options, dictionarysize);
  if (result != 0) return result;
  return WriteArchiveWith(&encoder, entries, options, dictionarysize, sink, failedentry);
}

uint32_t WriteArchive(const std::vector<PackageEntry>& entries, const PackageOptions& options,
                      std::vector<uint8_t>* out) {
  return WriteArchiveTo(entries, options, [out](const uint8_t* bytes, size_t count) -> uint32_t {
    out->insert(out->end(), bytes, bytes + count);
    return 0;
  });
}

uint32_t BuildDataIndex(const std::vector<DataArchiveItem>& items, std::vector<uint8_t>* index,
                        std::vector<PackageEntry>* entries, size_t* faileditem) {
  if (faileditem != nullptr) *faileditem = SIZE_MAX;
  index->assign(DATA_INDEX_HEADER_SIZE, 0);
  WriteLe32(index->data(), DATA_INDEX_MAGIC);
  WriteLe32(index->data() + 4, DATA_INDEX_VERSION);
  WriteLe32(index->data() + 8, static_cast<uint32_t>(items.size()));
  entries->clear();
  std::vector<uint8_t> piece(kPieceSize);
  for (size_t i = 0; i < items.size(); ++i) {
    const DataArchiveItem& item = items[i];
    PackageEntry entry;
    entry.idlow = static_cast<uint32_t>(i + 1);
    entry.lastwritetime = item.lastwritetime;
    entry.attributes = item.directory ? (item.attributes | FILE_ATTRIBUTE_DIRECTORY) & ~FILE_ATTRIBUTE_NORMAL
                                      : item.attributes;
    entry.known = true;
    if (item.directory) {
      // no data
    } else if (item.path.empty()) {
      entry.data = item.data;
      entry.knownsize = item.data.size();
      entry.knowncrc = lzma_crc32(item.data.data(), item.data.size(), 0);
    } else {
      entry.path = item.path;
      int fd = open(item.path.c_str(), O_RDONLY | O_CLOEXEC);
      struct stat info;
      uint32_t result = fd < 0 ? ErrnoResult() : fstat(fd, &info) != 0 ? ErrnoResult() : 0;
      if (result == 0 && !S_ISREG(info.st_mode)) result = ERROR_ACCESS_DENIED;
      if (result == 0) {
        entry.knownsize = static_cast<uint64_t>(info.st_size);
        result = FileCrc(fd, entry.knownsize, &piece, &entry.knowncrc);
      }
      if (fd >= 0) close(fd);
      if (result != 0) {
        if (faileditem != nullptr) *faileditem = i;
        return result;
      }
    }
    uint8_t record[DATA_RECORD_SIZE];
    WriteLe64(record, entry.knownsize);
    WriteLe64(record + 8, entry.lastwritetime);
    WriteLe32(record + 16, entry.attributes);
    WriteLe32(record + 20, entry.knowncrc);
    WriteLe32(record + 24, static_cast<uint32_t>(item.name.size()));
    index->insert(index->end(), record, record + sizeof record);
    index->insert(index->end(), item.name.begin(), item.name.end());
    entries->push_back(std::move(entry));
  }
  return 0;
}

uint32_t DataEncoderThreads(uint32_t requested, uint64_t memorylimit,
                            const std::function<uint64_t(uint32_t)>& memoryfor) {
  uint32_t threads = requested != 0 ? requested : lzma_cputhreads();
  if (threads == 0) threads = 1;
  if (threads > 16384) threads = 16384;  // liblzma's most
  if (memorylimit == 0) memorylimit = lzma_physmem() / 2;
  while (threads > 1) {
    uint64_t need = memoryfor(threads);
    if (need != UINT64_MAX && need <= memorylimit) break;
    --threads;
  }
  return threads;
}

namespace {

// The data of every item, in order, as one .xz stream of blocks of
// `options.datablock` bytes compressed by liblzma's multi-threaded encoder:
// each block is compressed on its own from its own bytes, so the stream is
// the same whatever the number of threads. The sink is told every byte;
// `tail` keeps the stream's last bytes, enough for its index and footer.
uint32_t EncodeDataStream(const std::vector<PackageEntry>& entries, const PackageOptions& options, uint64_t datasize,
                          Encoder* encoder, size_t* failedentry) {
  lzma_options_lzma lzma;
  uint32_t preset = options.preset | (options.extreme ? LZMA_PRESET_EXTREME : 0);
  if (options.preset > 9 || lzma_lzma_preset(&lzma, preset)) return ERROR_INVALID_PARAMETER;
  lzma.lc = options.lc;
  lzma.lp = options.lp;
  lzma.pb = options.pb;
  // A dictionary larger than a block buys nothing: no block refers to another.
  uint64_t span = datasize < options.datablock ? datasize : options.datablock;
  lzma.dict_size = DataDictionaryFor(span);
  if (lzma.dict_size > options.dictionarycap && options.dictionarycap >= DATA_DICTIONARY_MIN)
    lzma.dict_size = options.dictionarycap;
  lzma_filter filters[2] = {{LZMA_FILTER_LZMA2, &lzma}, {LZMA_VLI_UNKNOWN, nullptr}};
  lzma_mt mt = {};
  mt.block_size = options.datablock;
  mt.filters = filters;
  mt.check = LZMA_CHECK_CRC32;
  mt.threads = DataEncoderThreads(options.threads, options.memorylimit, [&mt](uint32_t threads) {
    lzma_mt probe = mt;
    probe.threads = threads;
    return lzma_stream_encoder_mt_memusage(&probe);
  });
  lzma_ret ret = lzma_stream_encoder_mt(&encoder->stream, &mt);
  if (ret != LZMA_OK) return ResultFromLzma(ret);
  encoder->out.resize(kPieceSize);
  uint32_t result = 0;
  for (size_t i = 0; result == 0 && i < entries.size(); ++i) {
    const PackageEntry& entry = entries[i];
    if (!entry.path.empty()) {
      result = EncodeFileEntry(encoder, entry, true, false);
    } else if (!entry.data.empty()) {
      result = Encode(encoder, entry.data.data(), entry.data.size(), LZMA_RUN);
    }
    if (result != 0 && !encoder->sinkfailed && failedentry != nullptr) *failedentry = i;
  }
  if (result == 0) result = Encode(encoder, nullptr, 0, LZMA_FINISH);
  lzma_end(&encoder->stream);
  return result;
}

// The block table from the stream's own index, read back from its tail.
uint32_t BlocksFromTail(const std::vector<uint8_t>& tail, uint64_t streamsize, const std::vector<PackageEntry>& entries,
                        std::vector<DataBlock>* blocks) {
  if (tail.size() < LZMA_STREAM_HEADER_SIZE) return ERROR_INVALID_DATA;
  lzma_stream_flags footer;
  if (lzma_stream_footer_decode(&footer, tail.data() + tail.size() - LZMA_STREAM_HEADER_SIZE) != LZMA_OK ||
      footer.backward_size > tail.size() - LZMA_STREAM_HEADER_SIZE)
    return ERROR_INVALID_DATA;
  const uint8_t* indexbytes = tail.data() + tail.size() - LZMA_STREAM_HEADER_SIZE - footer.backward_size;
  lzma_index* index = nullptr;
  uint64_t memlimit = UINT64_MAX;
  size_t position = 0;
  if (lzma_index_buffer_decode(&index, &memlimit, nullptr, indexbytes, &position, footer.backward_size) != LZMA_OK)
    return ERROR_INVALID_DATA;
  (void)streamsize;
  lzma_index_iter iter;
  lzma_index_iter_init(&iter, index);
  // Items holding data, with where their data begins, for each block's first item.
  size_t item = 0;
  uint64_t itemend = 0;
  while (!lzma_index_iter_next(&iter, LZMA_INDEX_ITER_BLOCK)) {
    DataBlock block = {};
    block.offset = iter.block.compressed_stream_offset;
    block.size = iter.block.total_size;
    block.uncompressed = iter.block.uncompressed_size;
    uint64_t start = iter.block.uncompressed_stream_offset;
    // The first item whose data reaches past `start`.
    while (item < entries.size() && itemend + entries[item].knownsize <= start) itemend += entries[item++].knownsize;
    block.firstitem = static_cast<uint32_t>(item + 1);
    blocks->push_back(block);
  }
  lzma_index_end(index, nullptr);
  return 0;
}

uint32_t WriteDataBlocks(std::vector<uint8_t>& index, const std::vector<PackageEntry>& entries,
                         const PackageOptions& options, const PackageSink& sink, size_t* faileditem,
                         uint64_t* locatoroffset) {
  uint64_t datasize = 0;
  for (const PackageEntry& entry : entries) datasize += entry.knownsize;
  uint64_t blockcount = datasize / options.datablock + (datasize % options.datablock != 0 ? 1 : 0);
  if (blockcount > 0xFFFFFFFFu) return ERROR_FILENAME_EXCED_RANGE;
  if (index.size() + blockcount * DATA_BLOCK_RECORD_SIZE > DATA_INDEX_MAX) return ERROR_FILENAME_EXCED_RANGE;
  // The stream's index takes at most 2 x 9 bytes a block beside its
  // fixed parts; the tail keeps that much and the footer.
  const size_t tailroom = 64 + 18 * static_cast<size_t>(blockcount) + LZMA_STREAM_HEADER_SIZE;
  std::vector<uint8_t> tail;
  uint64_t streamsize = 0;
  PackageSink tee = [&](const uint8_t* bytes, size_t count) -> uint32_t {
    streamsize += count;
    tail.insert(tail.end(), bytes, bytes + count);
    if (tail.size() > 2 * tailroom) tail.erase(tail.begin(), tail.end() - tailroom);
    return sink(bytes, count);
  };
  Encoder encoder;
  encoder.sink = &tee;
  encoder.onencoded = &options.onencoded;
  size_t failedentry = SIZE_MAX;
  uint32_t result = EncodeDataStream(entries, options, datasize, &encoder, &failedentry);
  if (failedentry != SIZE_MAX && faileditem != nullptr) *faileditem = failedentry;
  if (result != 0) return result;
  std::vector<DataBlock> blocks;
  result = BlocksFromTail(tail, streamsize, entries, &blocks);
  if (result != 0) return result;
  if (blocks.size() != blockcount) return ERROR_INVALID_DATA;

  // The index: the item table as version 2, then the block records.
  WriteLe32(index.data() + 4, DATA_INDEX_VERSION_BLOCKS);
  WriteLe32(index.data() + 12, static_cast<uint32_t>(blockcount));
  for (const DataBlock& block : blocks) {
    uint8_t record[DATA_BLOCK_RECORD_SIZE];
    EncodeDataBlock(&block, record);
    index.insert(index.end(), record, record + sizeof record);
  }
  lzma_options_lzma lzma;
  lzma_lzma_preset(&lzma, 6);
  lzma.dict_size = DataDictionaryFor(index.size());
  lzma_filter filters[2] = {{LZMA_FILTER_LZMA2, &lzma}, {LZMA_VLI_UNKNOWN, nullptr}};
  std::vector<uint8_t> packed(lzma_stream_buffer_bound(index.size()));
  size_t packedsize = 0;
  lzma_ret ret = lzma_stream_buffer_encode(filters, LZMA_CHECK_CRC32, nullptr, index.data(), index.size(),
                                           packed.data(), &packedsize, packed.size());
  if (ret != LZMA_OK) return ResultFromLzma(ret);
  result = sink(packed.data(), packedsize);
  if (result != 0) return result;
  DataHead head = {};
  head.streamsize = streamsize;
  head.indexsize = static_cast<uint32_t>(packedsize);
  head.indexdecoded = static_cast<uint32_t>(index.size());
  head.blocksize = options.datablock;
  head.blockcount = static_cast<uint32_t>(blockcount);
  head.datasize = datasize;
  head.check = DATA_BLOCK_CHECK_CRC32;
  uint8_t bytes[DATA_HEAD_SIZE];
  EncodeDataHead(&head, bytes);
  result = sink(bytes, sizeof bytes);
  if (result == 0 && locatoroffset != nullptr) *locatoroffset = streamsize + packedsize;
  return result;
}

}  // namespace

uint32_t WriteDataArchiveTo(const std::vector<DataArchiveItem>& items, const PackageOptions& options,
                            const PackageSink& sink, size_t* faileditem, uint64_t* locatoroffset) {
  if (faileditem != nullptr) *faileditem = SIZE_MAX;
  if (locatoroffset != nullptr) *locatoroffset = 0;
  if (options.datablock != 0 && (options.datablock < DATA_BLOCK_MIN || options.datablock > DATA_BLOCK_MAX))
    return ERROR_INVALID_PARAMETER;
  std::vector<uint8_t> index;
  std::vector<PackageEntry> entries;
  uint32_t result = BuildDataIndex(items, &index, &entries, faileditem);
  if (result != 0) return result;
  if (options.datablock != 0) return WriteDataBlocks(index, entries, options, sink, faileditem, locatoroffset);
  if (index.size() > DATA_INDEX_MAX) return ERROR_FILENAME_EXCED_RANGE;
  PackageEntry indexentry;
  indexentry.idlow = DATA_INDEX_ID_LOW;
  indexentry.idhigh = DATA_INDEX_ID_HIGH;
  indexentry.data = std::move(index);
  entries.insert(entries.begin(), std::move(indexentry));
  PackageOptions dataoptions = options;
  dataoptions.headermagic = DATA_ARCHIVE_MAGIC;
  dataoptions.entrycrc = true;
  dataoptions.dictionarysize = 0;
  size_t failedentry = SIZE_MAX;
  result = WriteArchiveTo(entries, dataoptions, sink, &failedentry);
  if (failedentry != SIZE_MAX && failedentry != 0 && faileditem != nullptr) *faileditem = failedentry - 1;
  return result;
}

uint32_t DataLocatorFormatFor(const PackageOptions& options) {
  return options.datablock != 0 ? DATA_LOCATOR_FORMAT_BLOCKS : DATA_LOCATOR_FORMAT;
}

uint32_t AppendDataArchive(const std::vector<DataArchiveItem>& items, const PackageOptions& options,
                           uint32_t archiveoffset, std::vector<uint8_t>* file) {
  if (static_cast<uint64_t>(archiveoffset) + ARCHIVE_HEADER_SIZE > file->size()) return ERROR_INVALID_PARAMETER;
  uint64_t offset = file->size();
  uint64_t at = 0;
  uint32_t result = WriteDataArchiveTo(
      items, options,
      [file](const uint8_t* bytes, size_t count) -> uint32_t {
        file->insert(file->end(), bytes, bytes + count);
        return 0;
      },
      nullptr, &at);
  if (result == 0) EncodeDataLocator(offset + at, file->data() + archiveoffset, DataLocatorFormatFor(options));
  return result;
}

uint32_t StampLoaderHeader(const std::vector<uint8_t>& stub, uint32_t platformflags, uint8_t header[64]) {
  if (stub.size() < LOADER_STAMP_SIZE || ReadLe16(stub.data()) != DOS_SIGNATURE) return ERROR_BAD_EXE_FORMAT;
  // The loader seeks to the archive with a signed 32-bit distance.
  if (stub.size() >= 0x80000000u) return 223;  // ERROR_FILE_TOO_LARGE
  uint32_t offset = static_cast<uint32_t>(stub.size());
  for (uint32_t i = 0; i < LOADER_STAMP_SIZE; ++i) header[i] = stub[i];
  for (uint32_t i = 0x1C; i < 0x3C; ++i) header[i] = 0;
  WriteLe32(header + 0x1C, offset);
  WriteLe32(header + 0x20, ~offset);
  WriteLe32(header + STAMP_OFFSET_MAGIC, STAMP_MAGIC);
  header[STAMP_OFFSET_FLAGS] = static_cast<uint8_t>(platformflags);
  WriteLe32(header + STAMP_OFFSET_ARCHIVE, offset);
  return 0;
}

uint32_t WriteLoaderFileTo(const std::vector<uint8_t>& stub, uint32_t platformflags,
                           const std::vector<PackageEntry>& entries, const PackageOptions& options,
                           const PackageSink& sink, size_t* failedentry) {
  if (failedentry != nullptr) *failedentry = SIZE_MAX;
  uint8_t header[LOADER_STAMP_SIZE];
  uint32_t result = StampLoaderHeader(stub, platformflags, header);
  if (result != 0) return result;
  Encoder encoder;
  encoder.sink = &sink;
  encoder.onencoded = &options.onencoded;
  uint32_t dictionarysize = ChosenDictionary(entries, options);
  result = SetUpEncoder(&encoder, options, dictionarysize);
  if (result != 0) return result;
  result = sink(header, sizeof header);
  if (result == 0 && stub.size() > LOADER_STAMP_SIZE)
    result = sink(stub.data() + LOADER_STAMP_SIZE, stub.size() - LOADER_STAMP_SIZE);
  if (result != 0) {
    lzma_end(&encoder.stream);
    return result;
  }
  return WriteArchiveWith(&encoder, entries, options, dictionarysize, sink, failedentry);
}

uint32_t WriteLoaderFile(const std::vector<uint8_t>& stub, uint32_t platformflags,
                         const std::vector<PackageEntry>& entries, const PackageOptions& options,
                         std::vector<uint8_t>* out) {
  return WriteLoaderFileTo(stub, platformflags, entries, options,
                           [out](const uint8_t* bytes, size_t count) -> uint32_t {
                             out->insert(out->end(), bytes, bytes + count);
                             return 0;
                           });
}
