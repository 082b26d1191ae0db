// The installer library over package/'s archive reader: locating the data
// archive from the loader's stamp and archive header, reading its index, and
// decoding its entries to files, to a sink or to nowhere (a check).
#include "pxq/installer_data.h"

#include "installer/block_decoders.h"
#include "installer/data_blocks.h"
#include "installer/data_folders.h"
#include "installer/file_layer.h"
#include "installer/journal.h"
#include "installer/thread_budget.h"
#include "installer/worker_threads.h"
#include "package/archive_reader.h"
#include "package/crc32.h"
#include "package/data_archive.h"
#include "package/data_names.h"
#include "platform/heap.h"
#include "platform/platform.h"

#ifndef ERROR_CANCELLED
#define ERROR_CANCELLED 1223u
#endif

#ifndef ERROR_DIRECTORY_NOT_SUPPORTED
#define ERROR_DIRECTORY_NOT_SUPPORTED 336u
#endif

#define MESSAGE_SIZE 1024u

struct PxqDataItem {
  DataItem item;
  const char* name;  // NUL-terminated copy
  bool safe;         // the name can be written and clashes with no other
  uint32_t clash;    // the number of an item whose name clashes with this one, or 0
  uint64_t start;    // block layout: where its data begins among all items' data
};

struct PxqData {
  PxqPathChar* path;
  uint64_t offset;      // the data archive's first byte
  uint32_t format;      // the locator's format
  uint64_t headoffset;  // block layout: where the head lies
  DataHead head;
  DataBlock* blocks;    // block layout: head.blockcount records
  uint32_t dictionary;  // the data archive's declared dictionary size
  uint32_t threads;     // decoding threads asked for (PxqDataSetThreads); 0: one per core
  uint32_t count;
  PxqDataItem* items;
  char* names;
  char message[MESSAGE_SIZE];
};

namespace {

// Messages are put together without a C runtime.
void Append(PxqData* data, const char* text) {
  uint32_t at = 0;
  while (at < MESSAGE_SIZE - 1 && data->message[at] != '\0') ++at;
  while (at < MESSAGE_SIZE - 1 && *text != '\0') data->message[at++] = *text++;
  data->message[at] = '\0';
}

void AppendNumber(PxqData* data, uint64_t value) {
  char digits[24];
  int at = 23;
  digits[at] = '\0';
  do {
    digits[--at] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  Append(data, digits + at);
}

const char* CodeWords(uint32_t code) {
  switch (code) {
    case ERROR_FILE_NOT_FOUND: return "not found";
    case ERROR_PATH_NOT_FOUND: return "the folder does not exist";
    case ERROR_ACCESS_DENIED: return "access denied";
    case ERROR_NOT_ENOUGH_MEMORY: return "not enough memory";
    case ERROR_INVALID_DATA: return "the data archive is damaged";
    case ERROR_CRC: return "data does not match its CRC32";
    case ERROR_READ_FAULT: return "the data archive's stream cannot be decoded";
    case ERROR_SHARING_VIOLATION: return "the file is in use by another program (close it and try again)";
    case ERROR_HANDLE_EOF: return "the file ends early (a download cut short?)";
    case ERROR_HANDLE_DISK_FULL:
    case ERROR_DISK_FULL: return "the disk is full";
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS: return "a file or link stands where a folder goes";
    case ERROR_INVALID_NAME: return "an unsafe name";
    case ERROR_DIRECTORY_NOT_SUPPORTED: return "a folder stands where the file goes";
    case ERROR_NOT_SUPPORTED: return "made by a newer pxq";
    default: return "system error";
  }
}

// "TEXT (error N)": the text says all.
uint32_t FailWith(PxqData* data, uint32_t code, const char* text) {
  data->message[0] = '\0';
  Append(data, text);
  Append(data, " (error ");
  AppendNumber(data, code);
  Append(data, ")");
  return code;
}

// "WHAT: words (error N)".
uint32_t Fail(PxqData* data, uint32_t code, const char* what, const char* detail = nullptr) {
  data->message[0] = '\0';
  Append(data, what);
  if (detail != nullptr) Append(data, detail);
  Append(data, ": ");
  Append(data, CodeWords(code));
  Append(data, " (error ");
  AppendNumber(data, code);
  Append(data, ")");
  return code;
}

// The path in words, for a message.
uint32_t FailAt(PxqData* data, uint32_t code, const PxqPathChar* path, const char* what) {
  char* shown = LayerDisplayPath(path);
  data->message[0] = '\0';
  Append(data, what);
  Append(data, shown != nullptr ? shown : "(a path)");
  FreeBlock(shown);
  Append(data, ": ");
  Append(data, CodeWords(code));
  Append(data, " (error ");
  AppendNumber(data, code);
  Append(data, ")");
  return code;
}

uint32_t FailEntry(PxqData* data, uint32_t code, uint32_t number, const char* what) {
  data->message[0] = '\0';
  Append(data, "entry ");
  AppendNumber(data, number);
  if (number >= 1 && number <= data->count) {
    Append(data, " (");
    Append(data, data->items[number - 1].name);
    Append(data, ")");
  }
  Append(data, what);
  Append(data, " (error ");
  AppendNumber(data, code);
  Append(data, ")");
  return code;
}

bool SameBytes(const char* a, const char* b, uint32_t length) {
  for (uint32_t i = 0; i < length; ++i) {
    if (a[i] != b[i]) return false;
  }
  return true;
}

PxqPathChar* CopyPath(const PxqPathChar* path) {
  uint32_t length = LayerLength(path);
  PxqPathChar* copy = static_cast<PxqPathChar*>(AllocZeroed((length + 1) * sizeof(PxqPathChar)));
  if (copy != nullptr) CopyBytes(copy, path, length * sizeof(PxqPathChar));
  return copy;
}

// Whether `path` names a pxq loader file: one read of its stamp.
bool IsLoaderFile(const PxqPathChar* path) {
  HANDLE file = INVALID_HANDLE_VALUE;
  if (LayerOpenRead(path, &file) != 0) return false;
  uint8_t bytes[LOADER_STAMP_SIZE];
  uint32_t code = ReadFileAt(file, 0, bytes, LOADER_STAMP_SIZE);
  Sys().CloseHandle(file);
  LoaderStamp stamp;
  if (code == 0) DecodeLoaderStamp(bytes, &stamp);
  return code == 0 && StampIsValid(&stamp);
}

// The stamp and the locator: two reads of 64 bytes.
uint32_t Locate(PxqData* data) {
  HANDLE file = INVALID_HANDLE_VALUE;
  uint32_t code = LayerOpenRead(data->path, &file);
  if (code != 0) return FailAt(data, code, data->path, "cannot open ");
  uint8_t bytes[64];
  code = ReadFileAt(file, 0, bytes, LOADER_STAMP_SIZE);
  LoaderStamp stamp;
  if (code == 0) DecodeLoaderStamp(bytes, &stamp);
  if (code == 0 && !StampIsValid(&stamp)) code = ERROR_BAD_FORMAT;
  if (code == 0) code = ReadFileAt(file, stamp.archiveoffset, bytes, ARCHIVE_HEADER_SIZE);
  Sys().CloseHandle(file);
  if (code == ERROR_BAD_FORMAT || code == ERROR_HANDLE_EOF) {
    data->message[0] = '\0';
    char* shown = LayerDisplayPath(data->path);
    Append(data, shown != nullptr ? shown : "the file");
    FreeBlock(shown);
    Append(data, " is not a pxq loader file: it has no MZ/pxr5 stamp, or no archive after it (error 11)");
    return ERROR_BAD_FORMAT;
  }
  if (code != 0) return FailAt(data, code, data->path, "cannot read ");
  ArchiveHeader header;
  DecodeArchiveHeader(bytes, &header);
  if (header.archivemagic != ARCHIVE_MAGIC) return FailAt(data, ERROR_INVALID_DATA, data->path, "no archive in ");
  uint32_t format = DataLocatorFormat(bytes);
  if (format != 0 && format != DATA_LOCATOR_FORMAT && format != DATA_LOCATOR_FORMAT_BLOCKS) {
    data->message[0] = '\0';
    char* shown = LayerDisplayPath(data->path);
    Append(data, shown != nullptr ? shown : "the loader file");
    FreeBlock(shown);
    Append(data, " carries a data archive of a newer format (locator format ");
    AppendNumber(data, format);
    Append(data, "), made by a newer pxq; read it with a pxq or an installer library that knows that format (error 50)");
    return ERROR_NOT_SUPPORTED;
  }
  if (!DecodeDataLocator(bytes, &data->offset)) {
    data->message[0] = '\0';
    char* shown = LayerDisplayPath(data->path);
    Append(data, shown != nullptr ? shown : "the loader file");
    FreeBlock(shown);
    Append(data, " carries no data archive (it was packed without --data) (error 2)");
    return ERROR_FILE_NOT_FOUND;
  }
  data->format = format;
  return 0;
}

// Opens the data archive with its stream at the start, its decoder's
// dictionary no larger than `dictionarylimit`; `*declared` gets the
// dictionary size the archive declares.
uint32_t OpenStream(PxqData* data, ArchiveReader** reader, uint32_t dictionarylimit = 0xFFFFFFFFu,
                    uint32_t* declared = nullptr) {
  *reader = CreateArchiveReader();
  if (*reader == nullptr) return Fail(data, ERROR_NOT_ENOUGH_MEMORY, "cannot read the data archive");
  HANDLE file = INVALID_HANDLE_VALUE;
  uint32_t code = LayerOpenRead(data->path, &file);
  if (code != 0) return FailAt(data, code, data->path, "cannot open ");
  code = OpenArchiveOnHandle(*reader, file, data->offset, dictionarylimit, declared);
  if (code == 0 && ReadLe32((*reader)->header) != DATA_ARCHIVE_MAGIC) code = ERROR_INVALID_DATA;
  if (code == 0 && (ReadLe32((*reader)->header + 24) & ARCHIVE_FLAG_ENTRY_CRC) == 0) code = ERROR_INVALID_DATA;
  if (code == ERROR_HANDLE_EOF) return Fail(data, code, "the data archive's header is cut off");
  if (code != 0) return Fail(data, code, "the data archive cannot be opened");
  return 0;
}

uint32_t MarkClashes(PxqData* data);

// Builds the item table from the index's bytes; `*position` ends after the
// last item record.
uint32_t ReadItems(PxqData* data, const uint8_t* index, uint32_t size, uint32_t count, uint32_t* position) {
  data->items = static_cast<PxqDataItem*>(AllocZeroed(count == 0 ? 1 : count * static_cast<uint32_t>(sizeof(PxqDataItem))));
  data->names = static_cast<char*>(AllocZeroed(size + count));
  if (data->items == nullptr || data->names == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
  *position = DATA_INDEX_HEADER_SIZE;
  char* name = data->names;
  uint64_t start = 0;
  for (uint32_t i = 0; i < count; ++i) {
    PxqDataItem* item = &data->items[i];
    uint32_t code = ReadDataItem(index, size, position, &item->item);
    if (code != 0) return code;
    CopyBytes(name, item->item.name, item->item.namelength);
    // The index is freed after: the item keeps only the copy.
    item->name = name;
    item->item.name = name;
    item->safe = CheckDataName(item->item.name, item->item.namelength) == DataNameSafe;
    item->start = start;
    // Sizes held below 2^61 and their sum below 2^62: no hostile size wraps it.
    uint64_t itemsize = item->item.size < (1ull << 61) ? item->item.size : (1ull << 61);
    start = start + itemsize < (1ull << 62) ? start + itemsize : (1ull << 62);
    name += item->item.namelength + 1;
  }
  return 0;
}

// Decodes the index entry and builds the item table.
uint32_t ReadIndex(PxqData* data, ArchiveReader* reader) {
  EntryHeader header;
  uint32_t code = ReadEntryHeader(reader, &header);
  if (code == 0 && (header.idlow != DATA_INDEX_ID_LOW || header.idhigh != DATA_INDEX_ID_HIGH ||
                    header.datasize < DATA_INDEX_HEADER_SIZE || header.datasize > DATA_INDEX_MAX))
    code = ERROR_INVALID_DATA;
  if (code != 0) return Fail(data, code == ERROR_READ_FAULT ? code : ERROR_INVALID_DATA, "the data archive's index header is damaged");
  uint32_t size = static_cast<uint32_t>(header.datasize);
  uint8_t* index = static_cast<uint8_t*>(AllocZeroed(size));
  if (index == nullptr) return Fail(data, ERROR_NOT_ENOUGH_MEMORY, "cannot hold the data archive's index");
  code = DecodeEntryBytes(reader, index, size);
  if (code == 0 && ContinueCrc32(index, size, 0) != header.datacrc) code = ERROR_CRC;
  uint32_t count = 0;
  if (code == 0) code = ReadDataIndexHeader(index, size, &count);
  uint32_t position = DATA_INDEX_HEADER_SIZE;
  if (code == 0) code = ReadItems(data, index, size, count, &position);
  if (code == 0 && position != size) code = ERROR_INVALID_DATA;  // bytes after the last record
  FreeBlock(index);
  if (code != 0) return Fail(data, code, "the data archive's index cannot be read");
  data->count = count;
  // The stream decodes to the index entry and one entry per item: a
  // dictionary larger than that needs is no dictionary pack writes.
  uint64_t payload = ENTRY_HEADER_SIZE + static_cast<uint64_t>(size);
  // Summed with each size held below 2^61 and the sum below 2^62: no
  // hostile size wraps it.
  for (uint32_t i = 0; i < count && payload < (1ull << 62); ++i) {
    uint64_t size = data->items[i].item.size;
    payload += ENTRY_HEADER_SIZE + (size < (1ull << 61) ? size : (1ull << 61));
  }
  if (data->dictionary > DataDictionaryFor(payload)) {
    data->message[0] = '\0';
    Append(data, "the data archive declares a dictionary of ");
    AppendNumber(data, data->dictionary);
    Append(data, " bytes, more than its stream of ");
    AppendNumber(data, payload);
    Append(data, " bytes needs (");
    AppendNumber(data, DataDictionaryFor(payload));
    Append(data, "): the file is damaged (error 13)");
    return ERROR_INVALID_DATA;
  }
  return MarkClashes(data);
}

// Names that are one file on Windows, or a file and a folder at once, are
// refused as unsafe names are: each item of a clash is marked.
uint32_t MarkClashes(PxqData* data) {
  uint32_t count = data->count;
  if (count < 2) return 0;
  DataItem* items = static_cast<DataItem*>(AllocZeroed(count * static_cast<uint32_t>(sizeof(DataItem))));
  uint32_t* other = static_cast<uint32_t*>(AllocZeroed(count * static_cast<uint32_t>(sizeof(uint32_t))));
  uint32_t code = items == nullptr || other == nullptr ? ERROR_NOT_ENOUGH_MEMORY : 0;
  for (uint32_t i = 0; code == 0 && i < count; ++i) items[i] = data->items[i].item;
  if (code == 0) code = FindDataNameClashes(items, count, other);
  for (uint32_t i = 0; code == 0 && i < count; ++i) {
    data->items[i].clash = other[i];
    if (other[i] != 0) data->items[i].safe = false;
  }
  FreeBlock(items);
  FreeBlock(other);
  if (code != 0) return Fail(data, code, "cannot check the data archive's names");
  return 0;
}

// Why item `number` may not be written: its name's fault or its clash,
// "entry N is refused: the name "..." ...".
void DescribeRefusal(PxqData* data, uint32_t number, const char* ending) {
  const PxqDataItem& item = data->items[number - 1];
  data->message[0] = '\0';
  Append(data, "entry ");
  AppendNumber(data, number);
  Append(data, " is refused: the name \"");
  Append(data, item.name);
  Append(data, "\" ");
  DataNameFault fault = CheckDataName(item.item.name, item.item.namelength);
  if (fault != DataNameSafe || item.clash == 0) {
    Append(data, DataNameFaultText(fault));
  } else {
    const PxqDataItem& other = data->items[item.clash - 1];
    Append(data, DataClashText(DataClashKind(&item.item, &other.item)));
    Append(data, " entry ");
    AppendNumber(data, item.clash);
    Append(data, " (\"");
    Append(data, other.name);
    Append(data, "\")");
  }
  Append(data, ending);
}

void FillEntry(const PxqData* data, uint32_t number, PxqDataEntry* entry) {
  const PxqDataItem& item = data->items[number - 1];
  entry->number = number;
  entry->name = item.name;
  entry->size = item.item.size;
  entry->lastwritetime = item.item.lastwritetime;
  entry->attributes = item.item.attributes;
  entry->crc = item.item.crc;
  entry->isdirectory = (item.item.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  entry->nameissafe = item.safe;
}

// Where one entry's data goes during a pass.
enum PassMode { PassCheck, PassToDirectory, PassToPath, PassToSink };

struct Pass {
  PassMode mode;
  uint32_t only;  // the one entry wanted (PassToPath, PassToSink), else 0
  const PxqPathChar* target;
  PxqDataSink sink;
  PxqDataProgress progress;
  void* context;
  uint64_t done;
  uint64_t total;
  DataFolders* folders;  // PassToDirectory: the folders made so far
  Journal* journal;      // what the extraction changed, for its undo; null when it is not undone
  const uint8_t* chosen;  // PassToDirectory: nonzero for each entry wanted; null for all
};

bool Wanted(const Pass* pass, uint32_t number) {
  if (pass->only != 0) return number == pass->only;
  return pass->chosen == nullptr || pass->chosen[number - 1] != 0;
}

// The block layout's blocks, decoded one at a time as the data is read,
// on the caller's thread or, with `decoders`, ahead of it by workers.
struct BlockCursor {
  HANDLE file;
  uint8_t* in;       // the compressed block
  uint8_t* out;      // the decoded block
  uint32_t current;  // the block in `out`, or 0xFFFFFFFF
  uint64_t position; // the next byte among all items' data
  BlockDecoders* decoders;
  const uint8_t* decoded;  // with decoders: the block `current`
  DataBlockDecoder* decoder;  // without: this thread's, kept from block to block
};

// Where a pass's data comes from: the solid stream or the blocks.
struct Source {
  ArchiveReader* reader;
  BlockCursor* cursor;
};

// The dictionary a block of the block layout may declare: no more than
// its block needs, as pack writes it.
uint32_t BlockDictionaryLimit(const PxqData* data) {
  uint64_t span = data->head.datasize < data->head.blocksize ? data->head.datasize : data->head.blocksize;
  return DataDictionaryFor(span);
}

uint32_t LoadBlock(PxqData* data, BlockCursor* cursor, uint32_t k) {
  uint32_t code = 0;
  if (cursor->decoders != nullptr) {
    code = TakeDecodedBlock(cursor->decoders, k, &cursor->decoded);
  } else {
    code = LoadDataBlock(cursor->file, data->offset, &data->blocks[k], cursor->in, cursor->out,
                         BlockDictionaryLimit(data), &cursor->decoder);
    cursor->decoded = cursor->out;
  }
  cursor->current = code == 0 ? k : 0xFFFFFFFFu;
  return code;
}

// The next `count` bytes of the entry's data into `buffer`.
uint32_t ReadData(PxqData* data, Source* source, uint8_t* buffer, uint32_t count) {
  if (source->cursor == nullptr) return DecodeEntryBytes(source->reader, buffer, count);
  BlockCursor* cursor = source->cursor;
  const uint32_t blocksize = data->head.blocksize;
  while (count != 0) {
    uint64_t k = cursor->position / blocksize;
    if (k >= data->head.blockcount) return ERROR_HANDLE_EOF;
    if (cursor->current != k) {
      uint32_t code = LoadBlock(data, cursor, static_cast<uint32_t>(k));
      if (code != 0) return code;
    }
    uint32_t at = static_cast<uint32_t>(cursor->position - k * blocksize);
    if (at >= data->blocks[k].uncompressed) return ERROR_INVALID_DATA;
    uint32_t left = static_cast<uint32_t>(data->blocks[k].uncompressed) - at;
    uint32_t piece = count < left ? count : left;
    CopyBytes(buffer, cursor->decoded + at, piece);
    buffer += piece;
    count -= piece;
    cursor->position += piece;
  }
  return 0;
}

bool Cancelled(const Pass* pass, const PxqDataEntry* entry) {
  return pass->progress != nullptr && pass->progress(pass->context, pass->done, pass->total, entry) != 0;
}

// Creates the folders on the way to the entry's name below `target` (with
// `whole`, the entry's own folder too) that this pass has not made yet;
// with a journal, each one made is noted for the undo.
uint32_t MakeFolders(PxqData* data, const Pass* pass, const PxqDataItem& item, bool whole) {
  PxqPathChar* failed = nullptr;
  uint32_t code =
      MakeDataFolders(pass->folders, pass->journal, pass->target, item.name, item.item.namelength, whole, &failed);
  if (code != 0 && failed != nullptr) {
    FailAt(data, code, failed, "cannot make the folder ");
  } else if (code != 0) {
    Fail(data, code, "cannot make a folder");
  }
  FreeBlock(failed);
  return code;
}

// Makes the target folder, and the folders on the way to it that are
// missing (outermost first); a failure names the folder that could not be
// made.
uint32_t MakeTarget(PxqData* data, Journal* journal, const PxqPathChar* path, uint32_t depth) {
  bool made = false;
  uint32_t code = LayerMakeDirectory(path, true, &made);
  if (code != 0 && LayerIsMissingParent(code) && depth < 1024) {
    PxqPathChar* parent = LayerParentFolder(path);
    if (parent != nullptr) {
      code = MakeTarget(data, journal, parent, depth + 1);
      FreeBlock(parent);
      if (code != 0) return code;
      code = LayerMakeDirectory(path, true, &made);
    }
  }
  if (code == 0 && made && journal != nullptr && JournalAdd(journal, JournalMadeFolder, path, nullptr) != 0) {
    LayerRemoveFolder(path);
    code = ERROR_NOT_ENOUGH_MEMORY;
  }
  if (code != 0) FailAt(data, code, path, "cannot make the folder ");
  return code;
}

// Puts the finished file in place; with a journal, the file that stood at
// its name is first set aside, to come back on undo.
uint32_t PutInPlace(PxqData* data, const Pass* pass, LayerFile* file, const PxqPathChar* finalpath,
                    const PxqDataItem& item) {
  PxqPathChar* backup = nullptr;
  if (pass->journal != nullptr) {
    uint32_t code = LayerSetAside(finalpath, &backup);
    if (code != 0) return FailAt(data, code, finalpath, "cannot replace ");
  }
  uint32_t code = LayerCommit(file, finalpath, item.item.lastwritetime, item.item.attributes);
  if (code != 0) FailAt(data, code, finalpath, code == ERROR_SHARING_VIOLATION ? "cannot replace " : "cannot put in place ");
  // Renamed into place even when a later step failed: the journal holds it.
  const bool placed = file->temporary == nullptr;
  if (pass->journal != nullptr && !placed && backup != nullptr) {
    LayerPutBack(backup, finalpath);
    FreeBlock(backup);
    backup = nullptr;
  }
  if (pass->journal != nullptr && placed &&
      JournalAdd(pass->journal, backup != nullptr ? JournalReplacedFile : JournalMadeFile, finalpath, backup) != 0) {
    // Undone at once when it cannot be noted.
    LayerRemoveFile(finalpath);
    if (backup != nullptr) LayerPutBack(backup, finalpath);
    FreeBlock(backup);
    if (code == 0) code = Fail(data, ERROR_NOT_ENOUGH_MEMORY, "cannot note what the extraction changed");
  }
  return code;
}

// Decodes one entry's data to where the pass sends it, checking its CRC32.
uint32_t ProcessEntry(PxqData* data, Source* source, Pass* pass, uint32_t number, uint8_t* buffer) {
  const PxqDataItem& item = data->items[number - 1];
  PxqDataEntry entry;
  FillEntry(data, number, &entry);
  PxqPathChar* finalpath = nullptr;
  LayerFile file = {-1, nullptr};
  uint32_t code = 0;
  bool writing = pass->mode == PassToDirectory || pass->mode == PassToPath;
  if (pass->mode == PassToDirectory) {
    code = MakeFolders(data, pass, item, entry.isdirectory);
    if (code != 0 || entry.isdirectory) return code;
    finalpath = LayerJoin(pass->target, item.name, item.item.namelength);
    if (finalpath == nullptr) return Fail(data, ERROR_NOT_ENOUGH_MEMORY, "cannot form a path");
  } else if (pass->mode == PassToPath) {
    finalpath = CopyPath(pass->target);
    if (finalpath == nullptr) return Fail(data, ERROR_NOT_ENOUGH_MEMORY, "cannot form a path");
  }
  if (writing && entry.isdirectory) {
    bool made = false;
    code = LayerMakeDirectory(finalpath, true, &made);
    if (code != 0) FailAt(data, code, finalpath, "cannot make the folder ");
    FreeBlock(finalpath);
    return code;
  }
  if (writing) {
    code = LayerCreateTemporary(finalpath, &file);
    if (code != 0) {
      FailAt(data, code, finalpath, "cannot write beside ");
      FreeBlock(finalpath);
      return code;
    }
  }
  uint32_t crc = 0;
  uint64_t remaining = item.item.size;
  while (code == 0 && remaining != 0) {
    uint32_t piece = remaining >= FILE_BUFFER_SIZE ? FILE_BUFFER_SIZE : static_cast<uint32_t>(remaining);
    code = ReadData(data, source, buffer, piece);
    if (code != 0) {
      FailEntry(data, code, number, code == ERROR_HANDLE_EOF ? ": the data archive ends within its data"
                                                             : ": its data cannot be decoded (the file is damaged)");
      break;
    }
    crc = ContinueCrc32(buffer, piece, crc);
    if (writing) {
      code = LayerWrite(&file, buffer, piece);
      if (code != 0) FailAt(data, code, finalpath, "cannot write ");
    } else if (pass->mode == PassToSink) {
      code = pass->sink(pass->context, buffer, piece);
      if (code != 0) FailEntry(data, code, number, ": the receiver stopped the extraction");
    }
    remaining -= piece;
    pass->done += piece;
    if (code == 0 && Cancelled(pass, &entry)) code = FailWith(data, ERROR_CANCELLED, "the extraction was cancelled");
  }
  if (code == 0 && crc != item.item.crc)
    code = FailEntry(data, ERROR_CRC, number, ": its data does not match its CRC32 (the file is damaged; download it again)");
  if (code == 0 && writing) code = PutInPlace(data, pass, &file, finalpath, item);
  if (writing) LayerDiscard(&file);
  FreeBlock(finalpath);
  return code;
}

// The entry header must repeat what the index says of the entry.
bool HeaderMatches(const EntryHeader& header, const PxqDataItem& item, uint32_t number) {
  return header.idlow == number && header.idhigh == 0 && header.datasize == item.item.size &&
         header.lastwritetime == item.item.lastwritetime && header.attributes == item.item.attributes &&
         header.datacrc == item.item.crc;
}

// The stream's end marker right after the last entry, then the trailer.
uint32_t CheckEnd(PxqData* data, ArchiveReader* reader, uint64_t decoded) {
  EntryHeader header;
  uint32_t code = ReadEntryHeader(reader, &header);
  LzmaDecoderProgress progress;
  GetLzmaDecoderProgress(reader->decoder, &progress);
  if (code == 0 || !progress.ended || progress.produced != decoded)
    return Fail(data, ERROR_INVALID_DATA, "the data archive's stream does not end after its last entry");
  HANDLE file = INVALID_HANDLE_VALUE;
  code = LayerOpenRead(data->path, &file);
  if (code != 0) return FailAt(data, code, data->path, "cannot open ");
  uint8_t trailer[ARCHIVE_TRAILER_SIZE];
  code = ReadFileAt(file, data->offset + STREAM_OFFSET + progress.consumed, trailer, sizeof trailer);
  Sys().CloseHandle(file);
  if (code != 0 || ReadLe32(trailer) != TRAILER_MAGIC || ReadLe32(trailer + 4) != TRAILER_WORD ||
      ReadLe64(trailer + 8) != 0)
    return Fail(data, ERROR_INVALID_DATA, "the data archive has no trailer after its stream");
  return 0;
}

// The data stream's header and its own index and footer, against the block
// table: the end of a whole pass over the block layout.
uint32_t CheckFrame(PxqData* data, HANDLE file) {
  uint64_t end = data->head.blockcount == 0 ? 12 : data->blocks[data->head.blockcount - 1].offset +
                                                        data->blocks[data->head.blockcount - 1].size;
  uint64_t tailsize = data->head.streamsize - end;
  if (tailsize > (1u << 24)) return Fail(data, ERROR_INVALID_DATA, "the data archive's stream does not end after its last block");
  uint8_t header[12];
  uint8_t* tail = static_cast<uint8_t*>(AllocZeroed(static_cast<uint32_t>(tailsize)));
  if (tail == nullptr) return Fail(data, ERROR_NOT_ENOUGH_MEMORY, "cannot check the data archive's stream");
  uint32_t code = ReadFileAt(file, data->offset, header, sizeof header);
  if (code == 0) code = ReadFileAt(file, data->offset + end, tail, static_cast<uint32_t>(tailsize));
  if (code == 0)
    code = CheckDataStreamFrame(header, tail, static_cast<uint32_t>(tailsize), data->blocks, data->head.blockcount);
  FreeBlock(tail);
  if (code != 0) return Fail(data, ERROR_INVALID_DATA, "the data archive's stream does not end after its last block");
  return 0;
}

// The threads that decode a whole pass's blocks: those asked for (one per
// core by default), no more than the blocks, and no more than fit in the
// decoding budget (PXQ_DATA_THREAD_MEMORY, or a quarter of the machine's
// memory in a 64-bit process when that is more) with a block in, a block
// out and a decoder's dictionary each; at least one.
uint32_t DecodingThreads(const PxqData* data, uint64_t largest) {
  uint64_t each = largest + data->head.blocksize + BlockDictionaryLimit(data);
  uint64_t budget =
      DecodingMemoryBudget(WorkerPhysicalMemory(), static_cast<uint32_t>(sizeof(void*)), PXQ_DATA_THREAD_MEMORY);
  return DecodingThreadCount(data->threads, WorkerCoreCount(), data->head.blockcount, each, budget,
                             PXQ_DATA_THREADS_MAX);
}

// A pass over the block layout: only the blocks that hold wanted data are
// read and decoded. A whole pass with more than one thread has its blocks
// decoded ahead by workers, while this thread writes, reports progress and
// hears a cancel as it does alone; with fewer workers than asked (or none)
// when threads or memory cannot be had.
uint32_t RunBlockPass(PxqData* data, Pass* pass) {
  BlockCursor cursor = {INVALID_HANDLE_VALUE, nullptr, nullptr, 0xFFFFFFFFu, 0, nullptr, nullptr, nullptr};
  uint64_t largest = 0;
  for (uint32_t k = 0; k < data->head.blockcount; ++k) largest = data->blocks[k].size > largest ? data->blocks[k].size : largest;
  const bool whole = pass->only == 0 && pass->chosen == nullptr;
  const uint32_t threads = whole ? DecodingThreads(data, largest) : 1;
  if (threads > 1) {
    BlockDecodersSetup setup = {data->path,
                                data->offset,
                                data->blocks,
                                data->head.blockcount,
                                static_cast<uint32_t>(largest),
                                data->head.blocksize,
                                BlockDictionaryLimit(data),
                                threads};
    uint32_t started = 0;
    StartBlockDecoders(&setup, &cursor.decoders, &started);
  }
  uint8_t* buffer = static_cast<uint8_t*>(AllocZeroed(FILE_BUFFER_SIZE));
  if (cursor.decoders == nullptr) {
    cursor.in = static_cast<uint8_t*>(AllocZeroed(largest == 0 ? 1 : static_cast<uint32_t>(largest)));
    cursor.out = static_cast<uint8_t*>(AllocZeroed(data->head.blocksize));
  }
  const bool held = buffer != nullptr && (cursor.decoders != nullptr || (cursor.in != nullptr && cursor.out != nullptr));
  uint32_t code = !held ? Fail(data, ERROR_NOT_ENOUGH_MEMORY, "cannot hold a block of the data archive")
                        : LayerOpenRead(data->path, &cursor.file);
  if (code != 0 && held) FailAt(data, code, data->path, "cannot open ");
  Source source = {nullptr, &cursor};
  for (uint32_t number = 1; code == 0 && number <= data->count; ++number) {
    if (!Wanted(pass, number)) continue;
    PxqDataEntry entry;
    FillEntry(data, number, &entry);
    if (Cancelled(pass, &entry)) {
      code = FailWith(data, ERROR_CANCELLED, "the extraction was cancelled");
      break;
    }
    cursor.position = data->items[number - 1].start;
    code = ProcessEntry(data, &source, pass, number, buffer);
  }
  StopBlockDecoders(cursor.decoders);
  if (code == 0 && whole && (pass->mode == PassCheck || pass->mode == PassToDirectory))
    code = CheckFrame(data, cursor.file);
  if (cursor.file != INVALID_HANDLE_VALUE) Sys().CloseHandle(cursor.file);
  FreeBlock(cursor.in);
  FreeBlock(cursor.out);
  FreeDataBlockDecoder(cursor.decoder);
  FreeBlock(buffer);
  return code;
}

uint32_t RunPass(PxqData* data, Pass* pass) {
  data->message[0] = '\0';
  if (data->format == DATA_LOCATOR_FORMAT_BLOCKS) return RunBlockPass(data, pass);
  ArchiveReader* reader = nullptr;
  uint8_t* buffer = static_cast<uint8_t*>(AllocZeroed(FILE_BUFFER_SIZE));
  uint32_t code = buffer == nullptr ? Fail(data, ERROR_NOT_ENOUGH_MEMORY, "cannot extract") : OpenStream(data, &reader);
  EntryHeader header;
  if (code == 0) {
    // The index again: known already, skipped.
    code = ReadEntryHeader(reader, &header);
    if (code == 0) code = SkipEntryData(reader, &header);
    if (code != 0) Fail(data, code, "the data archive's index cannot be decoded again");
  }
  uint64_t decoded = ENTRY_HEADER_SIZE + header.datasize;
  uint32_t last = pass->only != 0 ? pass->only : data->count;
  while (last > 0 && !Wanted(pass, last)) --last;
  Source source = {reader, nullptr};
  for (uint32_t number = 1; code == 0 && number <= last; ++number) {
    const PxqDataItem& item = data->items[number - 1];
    code = ReadEntryHeader(reader, &header);
    if (code != 0) {
      FailEntry(data, code, number, ": its header cannot be decoded (the file is damaged or cut short)");
      break;
    }
    if (!HeaderMatches(header, item, number)) {
      code = FailEntry(data, ERROR_INVALID_DATA, number, ": its header does not match the index (the file is damaged)");
      break;
    }
    decoded += ENTRY_HEADER_SIZE + header.datasize;
    if (!Wanted(pass, number)) {
      code = SkipEntryData(reader, &header);
      if (code != 0) FailEntry(data, code, number, ": its data cannot be decoded (the file is damaged)");
      continue;
    }
    PxqDataEntry entry;
    FillEntry(data, number, &entry);
    if (Cancelled(pass, &entry)) {
      code = FailWith(data, ERROR_CANCELLED, "the extraction was cancelled");
      break;
    }
    code = ProcessEntry(data, &source, pass, number, buffer);
  }
  // A whole pass ends where the stream and the trailer must: a fault there
  // fails an extraction as it fails a check.
  if (code == 0 && pass->chosen == nullptr && (pass->mode == PassCheck || pass->mode == PassToDirectory))
    code = CheckEnd(data, reader, decoded);
  DestroyArchiveReader(reader);
  FreeBlock(buffer);
  return code;
}

// The entry of the very same bytes first, else one that Windows would take
// for the same file.
uint32_t Lookup(PxqData* data, const char* name, uint32_t* number) {
  uint32_t length = 0;
  while (name != nullptr && name[length] != '\0') ++length;
  for (int folded = 0; name != nullptr && folded < 2; ++folded) {
    for (uint32_t i = 0; i < data->count; ++i) {
      const PxqDataItem& item = data->items[i];
      bool same = folded != 0 ? CompareDataNames(item.name, item.item.namelength, name, length) == 0
                              : item.item.namelength == length && SameBytes(item.name, name, length);
      if (same) {
        *number = i + 1;
        return 0;
      }
    }
  }
  data->message[0] = '\0';
  Append(data, "the data archive holds no entry named ");
  Append(data, name != nullptr ? name : "(none)");
  Append(data, " (error 2)");
  return ERROR_FILE_NOT_FOUND;
}

// The entry named `name` for an extraction of one entry: refused when
// another entry's name is the same on Windows, since which one is meant
// cannot be told.
uint32_t LookupOne(PxqData* data, const char* name, uint32_t* number) {
  uint32_t code = Lookup(data, name, number);
  if (code != 0) return code;
  const PxqDataItem& item = data->items[*number - 1];
  if (item.clash == 0 || DataClashKind(&item.item, &data->items[item.clash - 1].item) == DataClashUnderFile) return 0;
  DescribeRefusal(data, *number, "; nothing was extracted (error 123)");
  return ERROR_INVALID_NAME;
}

// The block records against the head and the items: contiguous from the
// stream header on, each of its due uncompressed size, no larger than its
// data can grow to, its first item the one holding its first byte.
uint32_t CheckBlocks(const PxqData* data) {
  const DataHead& head = data->head;
  if (data->count != 0 && data->items[data->count - 1].start + data->items[data->count - 1].item.size != head.datasize)
    return ERROR_INVALID_DATA;
  if (data->count == 0 && head.datasize != 0) return ERROR_INVALID_DATA;
  uint64_t offset = 12;  // the .xz stream header
  uint32_t item = 0;
  for (uint32_t k = 0; k < head.blockcount; ++k) {
    const DataBlock& block = data->blocks[k];
    uint64_t start = static_cast<uint64_t>(k) * head.blocksize;
    uint64_t due = head.datasize - start < head.blocksize ? head.datasize - start : head.blocksize;
    if (block.offset != offset || block.uncompressed != due || block.size < 16 ||
        block.size > due + due / 512 + 256)
      return ERROR_INVALID_DATA;
    offset += block.size;
    while (item < data->count && data->items[item].start + data->items[item].item.size <= start) ++item;
    if (block.firstitem != item + 1) return ERROR_INVALID_DATA;
  }
  // The stream's index and footer follow the blocks.
  if (offset > head.streamsize || head.streamsize - offset < 12 + 8) return ERROR_INVALID_DATA;
  return 0;
}

// Opens the block layout: the head, then the index's stream, decoded.
uint32_t OpenBlocks(PxqData* data) {
  data->headoffset = data->offset;
  HANDLE file = INVALID_HANDLE_VALUE;
  uint32_t code = LayerOpenRead(data->path, &file);
  if (code != 0) return FailAt(data, code, data->path, "cannot open ");
  uint8_t bytes[DATA_HEAD_SIZE];
  code = ReadFileAt(file, data->headoffset, bytes, DATA_HEAD_SIZE);
  if (code == 0) code = DecodeDataHead(bytes, &data->head);
  const DataHead& head = data->head;
  if (code == 0 && (head.streamsize + head.indexsize > data->headoffset || head.streamsize > (1ull << 62)))
    code = ERROR_INVALID_DATA;
  if (code != 0) {
    Sys().CloseHandle(file);
    return Fail(data, code == ERROR_HANDLE_EOF ? code : ERROR_INVALID_DATA, "the data archive's head is damaged");
  }
  data->offset = data->headoffset - head.indexsize - head.streamsize;
  uint8_t* packed = static_cast<uint8_t*>(AllocZeroed(head.indexsize));
  uint8_t* index = static_cast<uint8_t*>(AllocZeroed(head.indexdecoded));
  code = packed == nullptr || index == nullptr ? ERROR_NOT_ENOUGH_MEMORY : 0;
  if (code == 0) code = ReadFileAt(file, data->headoffset - head.indexsize, packed, head.indexsize);
  Sys().CloseHandle(file);
  if (code == 0) code = DecodeDataIndexStream(packed, head.indexsize, index, head.indexdecoded);
  FreeBlock(packed);
  uint32_t count = 0;
  uint32_t blocks = 0;
  uint32_t size = head.indexdecoded;
  if (code == 0) code = ReadDataIndexHeader(index, size, &count, DATA_INDEX_VERSION_BLOCKS, &blocks);
  if (code == 0 && blocks != head.blockcount) code = ERROR_INVALID_DATA;
  uint32_t position = DATA_INDEX_HEADER_SIZE;
  if (code == 0) code = ReadItems(data, index, size, count, &position);
  if (code == 0) {
    data->blocks = static_cast<DataBlock*>(AllocZeroed((blocks == 0 ? 1 : blocks) * static_cast<uint32_t>(sizeof(DataBlock))));
    if (data->blocks == nullptr) code = ERROR_NOT_ENOUGH_MEMORY;
  }
  for (uint32_t k = 0; code == 0 && k < blocks; ++k) code = ReadDataBlock(index, size, &position, &data->blocks[k]);
  if (code == 0 && position != size) code = ERROR_INVALID_DATA;
  FreeBlock(index);
  if (code == 0) data->count = count;
  if (code == 0) code = CheckBlocks(data);
  if (code != 0) {
    data->count = 0;
    return Fail(data, code, "the data archive's index cannot be read");
  }
  return MarkClashes(data);
}

uint32_t OpenSteps(PxqData* data) {
  uint32_t code = Locate(data);
  if (code != 0) return code;
  if (data->format == DATA_LOCATOR_FORMAT_BLOCKS) return OpenBlocks(data);
  // The index is read with no more dictionary than the largest index
  // needs, whatever is declared; the declared size is judged once the
  // index says how long the stream is.
  ArchiveReader* reader = nullptr;
  code = OpenStream(data, &reader, DataDictionaryFor(ENTRY_HEADER_SIZE + DATA_INDEX_MAX), &data->dictionary);
  if (code == 0 && data->dictionary > DATA_DICTIONARY_MAX) {
    data->message[0] = '\0';
    Append(data, "the data archive declares a dictionary of ");
    AppendNumber(data, data->dictionary);
    Append(data, " bytes, more than pxq pack ever writes (1536 MiB): the file is damaged (error 13)");
    code = ERROR_INVALID_DATA;
  }
  if (code == 0) code = ReadIndex(data, reader);
  DestroyArchiveReader(reader);
  return code;
}

uint32_t OpenWithPath(PxqPathChar* path, PxqData** result) {
  PxqData* data = static_cast<PxqData*>(AllocZeroed(sizeof(PxqData)));
  *result = data;
  if (data == nullptr) {
    FreeBlock(path);
    return ERROR_NOT_ENOUGH_MEMORY;
  }
  data->path = path;
  if (path == nullptr) return Fail(data, ERROR_NOT_ENOUGH_MEMORY, "cannot open the loader file");
  uint32_t code = OpenSteps(data);
  if (code == 0) data->message[0] = '\0';
  return code;
}

}  // namespace

extern "C" {

uint32_t PxqDataOpen(const PxqPathChar* path, PxqData** data) {
  if (data == nullptr) return ERROR_INVALID_PARAMETER;
  *data = nullptr;
  LayerUsePlatform();
  if (path == nullptr) {
    // A handle all the same, so that its message says what was wrong.
    *data = static_cast<PxqData*>(AllocZeroed(sizeof(PxqData)));
    if (*data != nullptr) FailWith(*data, ERROR_INVALID_PARAMETER, "PxqDataOpen was given no path of a loader file");
    return ERROR_INVALID_PARAMETER;
  }
  return OpenWithPath(CopyPath(path), data);
}

uint32_t PxqDataOpenSelf(PxqData** data) {
  if (data == nullptr) return ERROR_INVALID_PARAMETER;
  *data = nullptr;
  LayerUsePlatform();
  // A loader packed with `--loader-path environment` names itself in the
  // variable and leaves the command line to the installer; any other loader
  // removes the variable and passes its path last.
  PxqPathChar* path = nullptr;
  uint32_t code = LayerLoaderPathVariable(&path);
  uint32_t count = 0;
  if (code == ERROR_ENVVAR_NOT_FOUND) code = LayerSelfPath(&path, &count);
  if (code == 0) return OpenWithPath(path, data);
  PxqData* failed = static_cast<PxqData*>(AllocZeroed(sizeof(PxqData)));
  *data = failed;
  if (failed != nullptr)
    Fail(failed, code,
         "this program was started without the loader file's path (as its last argument, or in the variable "
         "PXQ_LOADER_PATH)",
         " (start it through the pxq loader)");
  return code;
}

uint32_t PxqLoaderInvocation(uint32_t* source, int* first, int* count) {
  if (source == nullptr || first == nullptr || count == nullptr) return ERROR_INVALID_PARAMETER;
  LayerUsePlatform();
  PxqPathChar* path = nullptr;
  uint32_t arguments = 0;
  uint32_t code = LayerSelfPath(&path, &arguments);
  if (code == ERROR_BAD_ARGUMENTS) code = 0;  // the program's name alone
  *first = 1;
  *count = arguments > 1 ? static_cast<int>(arguments - 1) : 0;
  *source = PXQ_LOADER_NONE;
  if (code == 0) {
    PxqPathChar* variable = nullptr;
    uint32_t found = LayerLoaderPathVariable(&variable);
    FreeBlock(variable);
    if (found == 0) {
      *source = PXQ_LOADER_VARIABLE;
    } else if (found != ERROR_ENVVAR_NOT_FOUND) {
      code = found;
    } else if (path != nullptr && IsLoaderFile(path)) {
      // The loader puts its path after the user's arguments.
      *source = PXQ_LOADER_LAST_ARGUMENT;
      --*count;
    }
  }
  FreeBlock(path);
  return code;
}

void PxqDataClose(PxqData* data) {
  if (data == nullptr) return;
  FreeBlock(data->path);
  FreeBlock(data->items);
  FreeBlock(data->names);
  FreeBlock(data->blocks);
  FreeBlock(data);
}

const char* PxqDataMessage(const PxqData* data) { return data == nullptr ? "not enough memory (error 8)" : data->message; }

uint32_t PxqDataCount(const PxqData* data) { return data == nullptr ? 0 : data->count; }

uint64_t PxqDataOffset(const PxqData* data) { return data == nullptr ? 0 : data->offset; }

uint32_t PxqDataVersion(void) { return PXQ_DATA_VERSION_NUMBER; }

uint32_t PxqDataEntryAt(const PxqData* data, uint32_t number, PxqDataEntry* entry) {
  if (data == nullptr) return ERROR_INVALID_PARAMETER;
  PxqData* said = const_cast<PxqData*>(data);  // the message is the one thing a query changes
  if (entry == nullptr) return FailWith(said, ERROR_INVALID_PARAMETER, "PxqDataEntryAt was given no entry to fill in");
  if (number == 0 || number > data->count) {
    said->message[0] = '\0';
    Append(said, "there is no entry ");
    AppendNumber(said, number);
    Append(said, ": the data archive's entries are numbered 1 to ");
    AppendNumber(said, data->count);
    Append(said, " (error 87)");
    return ERROR_INVALID_PARAMETER;
  }
  FillEntry(data, number, entry);
  said->message[0] = '\0';
  return 0;
}

uint32_t PxqDataFind(const PxqData* data, const char* name, PxqDataEntry* entry) {
  if (data == nullptr) return ERROR_INVALID_PARAMETER;
  if (entry == nullptr)
    return FailWith(const_cast<PxqData*>(data), ERROR_INVALID_PARAMETER, "PxqDataFind was given no entry to fill in");
  uint32_t number = 0;
  uint32_t code = Lookup(const_cast<PxqData*>(data), name, &number);
  if (code == 0) FillEntry(data, number, entry);
  if (code == 0) const_cast<PxqData*>(data)->message[0] = '\0';
  return code;
}

uint32_t PxqDataSetThreads(PxqData* data, uint32_t threads) {
  if (data == nullptr) return ERROR_INVALID_PARAMETER;
  data->threads = threads;
  return 0;
}

uint32_t PxqDataExtractAll(PxqData* data, const PxqPathChar* directory, PxqDataProgress progress, void* context) {
  return PxqDataExtractAllEx(data, directory, 0, progress, context);
}

}  // extern "C"

namespace {

// Extracts the entries that `chosen` marks (all when it is null) below
// `directory`.
uint32_t ExtractInto(PxqData* data, const PxqPathChar* directory, uint32_t flags, const uint8_t* chosen,
                     PxqDataProgress progress, void* context) {
  // Every name is checked before anything is written.
  for (uint32_t i = 0; i < data->count; ++i) {
    if (data->items[i].safe || (chosen != nullptr && chosen[i] == 0)) continue;
    DescribeRefusal(data, i + 1, "; nothing was extracted (error 123)");
    return ERROR_INVALID_NAME;
  }
  PxqPathChar* target = LayerFullPath(directory);
  if (target == nullptr) return Fail(data, ERROR_NOT_ENOUGH_MEMORY, "cannot extract", nullptr);
  Journal journal = {nullptr};
  Journal* undo = (flags & PXQ_EXTRACT_ROLLBACK) != 0 ? &journal : nullptr;
  uint32_t code = MakeTarget(data, undo, target, 0);
  if (code == 0) {
    Pass pass = {PassToDirectory, 0, target, nullptr, progress, context, 0, 0, nullptr, undo, chosen};
    uint32_t folders = 0;
    for (uint32_t i = 0; i < data->count; ++i) {
      const PxqDataItem& item = data->items[i];
      if (chosen != nullptr && chosen[i] == 0) continue;
      pass.total += item.item.size;
      for (uint32_t k = 0; k < item.item.namelength; ++k) folders += item.name[k] == '/' ? 1 : 0;
      if ((item.item.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) ++folders;
    }
    pass.folders = CreateDataFolders(folders);
    code = pass.folders == nullptr ? Fail(data, ERROR_NOT_ENOUGH_MEMORY, "cannot extract") : RunPass(data, &pass);
    DestroyDataFolders(pass.folders);
  }
  if (code == 0) {
    JournalKeep(&journal);
  } else {
    JournalFailure failure;
    JournalUndo(&journal, &failure);
    if (undo != nullptr) {
      if (failure.count == 0) {
        Append(data, "; the target folder was put back as it was");
      } else {
        Append(data, "; ");
        AppendNumber(data, failure.count);
        Append(data, failure.count == 1 ? " change" : " changes");
        Append(data, " could not be undone, the first at ");
        char* shown = LayerDisplayPath(failure.path);
        Append(data, shown != nullptr ? shown : "(a path)");
        FreeBlock(shown);
        Append(data, ": ");
        Append(data, CodeWords(failure.code));
        Append(data, " (error ");
        AppendNumber(data, failure.code);
        Append(data, ")");
      }
    }
    FreeBlock(failure.path);
  }
  FreeBlock(target);
  return code;
}

// Whether item `item` is `name` or lies below the folder `name` ("docs/").
bool Selects(const PxqDataItem& item, const char* name, uint32_t length) {
  if (length != 0 && name[length - 1] == '/') {
    uint32_t stem = length - 1;
    if (item.item.namelength == stem) return CompareDataNames(item.name, stem, name, stem) == 0;
    return item.item.namelength > length && CompareDataNames(item.name, length, name, length) == 0;
  }
  return item.item.namelength == length && CompareDataNames(item.name, length, name, length) == 0;
}

}  // namespace

extern "C" {

uint32_t PxqDataExtractAllEx(PxqData* data, const PxqPathChar* directory, uint32_t flags, PxqDataProgress progress,
                             void* context) {
  if (data == nullptr) return ERROR_INVALID_PARAMETER;
  if (directory == nullptr) return FailWith(data, ERROR_INVALID_PARAMETER, "no target folder was given to extract into");
  if ((flags & ~PXQ_EXTRACT_ROLLBACK) != 0)
    return FailWith(data, ERROR_INVALID_PARAMETER, "PxqDataExtractAllEx was given flags it does not know");
  return ExtractInto(data, directory, flags, nullptr, progress, context);
}

uint32_t PxqDataExtractSome(PxqData* data, const PxqPathChar* directory, const char* const* names, uint32_t count,
                            uint32_t flags, PxqDataProgress progress, void* context) {
  if (data == nullptr) return ERROR_INVALID_PARAMETER;
  if (directory == nullptr) return FailWith(data, ERROR_INVALID_PARAMETER, "no target folder was given to extract into");
  if (names == nullptr && count != 0) return FailWith(data, ERROR_INVALID_PARAMETER, "PxqDataExtractSome was given no names");
  if ((flags & ~PXQ_EXTRACT_ROLLBACK) != 0)
    return FailWith(data, ERROR_INVALID_PARAMETER, "PxqDataExtractSome was given flags it does not know");
  uint8_t* chosen = static_cast<uint8_t*>(AllocZeroed(data->count == 0 ? 1 : data->count));
  if (chosen == nullptr) return Fail(data, ERROR_NOT_ENOUGH_MEMORY, "cannot extract");
  for (uint32_t n = 0; n < count; ++n) {
    const char* name = names[n] != nullptr ? names[n] : "";
    uint32_t length = 0;
    while (name[length] != '\0') ++length;
    bool found = false;
    for (uint32_t i = 0; i < data->count; ++i) {
      if (!Selects(data->items[i], name, length)) continue;
      chosen[i] = 1;
      found = true;
    }
    if (!found) {
      FreeBlock(chosen);
      data->message[0] = '\0';
      Append(data, "the data archive holds no entry named ");
      Append(data, name);
      Append(data, "; nothing was extracted (error 2)");
      return ERROR_FILE_NOT_FOUND;
    }
  }
  uint32_t code = ExtractInto(data, directory, flags, chosen, progress, context);
  FreeBlock(chosen);
  return code;
}

uint32_t PxqDataExtractTo(PxqData* data, const char* name, const PxqPathChar* path) {
  if (data == nullptr) return ERROR_INVALID_PARAMETER;
  if (path == nullptr) return FailWith(data, ERROR_INVALID_PARAMETER, "no file was given to extract to");
  uint32_t number = 0;
  uint32_t code = LookupOne(data, name, &number);
  if (code != 0) return code;
  PxqPathChar* target = LayerFullPath(path);
  if (target == nullptr) return Fail(data, ERROR_NOT_ENOUGH_MEMORY, "cannot extract", nullptr);
  Pass pass = {PassToPath, number, target, nullptr, nullptr, nullptr, 0, data->items[number - 1].item.size, nullptr,
               nullptr, nullptr};
  code = RunPass(data, &pass);
  FreeBlock(target);
  return code;
}

uint32_t PxqDataExtractStream(PxqData* data, const char* name, PxqDataSink sink, void* context) {
  if (data == nullptr) return ERROR_INVALID_PARAMETER;
  if (sink == nullptr) return FailWith(data, ERROR_INVALID_PARAMETER, "no sink was given to receive the data");
  uint32_t number = 0;
  uint32_t code = LookupOne(data, name, &number);
  if (code != 0) return code;
  Pass pass = {PassToSink, number, nullptr, sink, nullptr, context, 0, data->items[number - 1].item.size, nullptr,
               nullptr, nullptr};
  return RunPass(data, &pass);
}

uint32_t PxqDataVerify(PxqData* data, PxqDataProgress progress, void* context) {
  if (data == nullptr) return ERROR_INVALID_PARAMETER;
  Pass pass = {PassCheck, 0, nullptr, nullptr, progress, context, 0, 0, nullptr, nullptr, nullptr};
  for (uint32_t i = 0; i < data->count; ++i) pass.total += data->items[i].item.size;
  return RunPass(data, &pass);
}

}  // extern "C"
