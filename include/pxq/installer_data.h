/* The installer's side of a pxq loader file: reading the data archive, the
 * product files that `pxq pack --data` puts after the loader's own archive,
 * which the loader itself never decodes.
 *
 * The loader starts the installer with the loader file's path as the
 * installer's last argument, or, packed with `--loader-path environment`, in
 * the installer's environment variable PXQ_LOADER_PATH; PxqDataOpenSelf
 * opens that file. Every
 * operation returns 0 or a Windows system error number, and PxqDataMessage
 * says in words what failed and what to do.
 *
 * Paths are wide (UTF-16) on Windows and bytes (UTF-8) elsewhere. Entry
 * names are UTF-8 with '/' between components on every system.
 *
 * Usable from C and C++ (mingw-w64's gcc and g++). Not for use by several
 * threads at once on one archive; separate archives are independent. */
#ifndef PXQ_INSTALLER_DATA_H
#define PXQ_INSTALLER_DATA_H

/* The version of pxq this header comes with; PxqDataVersion() gives the
 * library's own, which should be the same (0xMMmmpp: major, minor, patch). */
#define PXQ_DATA_VERSION "1.0.0"
#define PXQ_DATA_VERSION_NUMBER 0x010000u

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#ifdef _WIN32
#include <wchar.h>
typedef wchar_t PxqPathChar;
#else
typedef char PxqPathChar;
#endif

/* The library's version, as PXQ_DATA_VERSION_NUMBER gives it. */
uint32_t PxqDataVersion(void);

/* An open data archive. */
typedef struct PxqData PxqData;

/* One entry: a file or a directory. `name` stays valid until PxqDataClose. */
typedef struct PxqDataEntry {
  uint32_t number;         /* 1 to PxqDataCount(), in archive order */
  const char* name;        /* UTF-8, '/' between components, NUL-terminated */
  uint64_t size;           /* bytes of data; 0 for a directory */
  uint64_t lastwritetime;  /* FILETIME: 100 ns units since 1601-01-01 UTC */
  uint32_t attributes;     /* Windows file attributes (0x1 read-only, 0x10 directory, 0x80 normal) */
  uint32_t crc;            /* CRC32 of the data (IEEE, as zlib computes it) */
  int isdirectory;
  int nameissafe;          /* 0: the name would leave the target directory or cannot be a Windows name */
} PxqDataEntry;

/* Opens the data archive of the loader file at `path`: reads the loader's
 * stamp, the locator in its archive header and the data archive's index (a
 * fixed number of reads, whatever the size of the installer builds). `*data`
 * is set even on failure, unless memory ran out, so that PxqDataMessage can
 * say why; close it in every case. 2 (ERROR_FILE_NOT_FOUND) for a loader
 * file without a data archive. */
uint32_t PxqDataOpen(const PxqPathChar* path, PxqData** data);

/* The same for the loader file that started this process: the one named by
 * the variable PXQ_LOADER_PATH when it is set and not empty, else the one
 * named by the last argument of the command line. */
uint32_t PxqDataOpenSelf(PxqData** data);

/* How this process was started, for an installer that parses its own
 * options: which source names the loader file, and which of the arguments
 * that main() or wmain() receive are the user's own, argv[*first] to
 * argv[*first + *count - 1].
 *
 * PXQ_LOADER_VARIABLE: the variable PXQ_LOADER_PATH is set and not empty (a
 * loader packed with `--loader-path environment`); every argument after the
 * program's name is the user's.
 * PXQ_LOADER_LAST_ARGUMENT: the last argument names a pxq loader file (one
 * read of its stamp tells); the arguments before it are the user's.
 * PXQ_LOADER_NONE: neither, as when the installer is started directly;
 * every argument is the user's, and PxqDataOpenSelf will fail.
 *
 * PxqDataOpenSelf opens the same file. The outputs are set even when the
 * result is not 0 (the command line could not be read, or memory ran
 * out): then as for PXQ_LOADER_NONE. */
#define PXQ_LOADER_NONE 0u
#define PXQ_LOADER_VARIABLE 1u
#define PXQ_LOADER_LAST_ARGUMENT 2u
uint32_t PxqLoaderInvocation(uint32_t* source, int* first, int* count);

void PxqDataClose(PxqData* data);

/* The last failure in words (UTF-8), or "" after success. */
const char* PxqDataMessage(const PxqData* data);

uint32_t PxqDataCount(const PxqData* data);

/* The entry of number `number` (1 to PxqDataCount). 87 out of range. */
uint32_t PxqDataEntryAt(const PxqData* data, uint32_t number, PxqDataEntry* entry);

/* The entry named `name` (UTF-8), letter case aside as Windows compares
 * file names ("Docs/ReadMe.TXT" finds "docs/readme.txt"); an entry of the
 * very same bytes comes first. 2 when there is none. */
uint32_t PxqDataFind(const PxqData* data, const char* name, PxqDataEntry* entry);

/* Called during extraction with the data bytes done so far and in all, and
 * the entry at hand; returning nonzero cancels (1223, ERROR_CANCELLED). */
typedef int (*PxqDataProgress)(void* context, uint64_t done, uint64_t total, const PxqDataEntry* entry);

/* Extracts every entry below `directory` (created if missing, with its
 * missing parents), in archive order. Every name is checked first: when one is
 * unsafe (absolute, a drive letter, '..', ':' streams, device names such as
 * CON or NUL, characters Windows cannot hold) nothing is written and the
 * result is 123 (ERROR_INVALID_NAME). Each file is written under a
 * temporary name in its directory and renamed over its name only when whole
 * and its CRC32 matches; then its last-write time and attributes are set. A
 * file or link standing where a directory goes is not followed: 183
 * (ERROR_ALREADY_EXISTS). On failure or cancellation the entry at hand leaves
 * nothing behind; entries finished before it stay. `progress` may be null. */
uint32_t PxqDataExtractAll(PxqData* data, const PxqPathChar* directory, PxqDataProgress progress, void* context);

/* PxqDataExtractAll with `flags`:
 *
 * PXQ_EXTRACT_ROLLBACK: a failed or cancelled extraction puts the target
 * back as it was. Each file that an entry replaces is first renamed aside
 * (beside it, so its bytes, times and attributes stay as they are) and,
 * on failure, renamed back; the files and folders it made are removed,
 * the target folder and its parents too when it made them. Only once all
 * entries are in place are the old files removed. The old files keep their
 * room on the disk until then: a disk that holds the old and the new tree
 * at once is needed. PxqDataMessage says what failed and whether all was
 * put back. Use it for an install over an existing one, and for any
 * install that should leave nothing behind when it fails.
 *
 * 0: as PxqDataExtractAll (the entries finished before a failure stay).
 * Other bits: 87. */
#define PXQ_EXTRACT_ROLLBACK 0x1u
uint32_t PxqDataExtractAllEx(PxqData* data, const PxqPathChar* directory, uint32_t flags, PxqDataProgress progress,
                             void* context);

/* How many threads decode the blocks of an archive in blocks during
 * PxqDataExtractAll, PxqDataExtractAllEx and PxqDataVerify: 0 (the
 * default) one per core, else `threads`. The caller's thread still writes
 * every file in order, reports progress and hears a cancel; the other
 * threads decode whole blocks ahead of it, each into a block of memory of
 * its own, and are stopped before the call returns. Fewer threads work
 * than asked when the archive has fewer blocks, beyond PXQ_DATA_THREADS_MAX,
 * when more would take more than the decoding budget at a block in, a block
 * out and a dictionary each (at the default 64 MiB blocks, up to 192 MiB a
 * thread), or when the system cannot start one. The budget is a quarter of
 * the machine's memory in a 64-bit process, never less than
 * PXQ_DATA_THREAD_MEMORY; a 32-bit process keeps to PXQ_DATA_THREAD_MEMORY
 * (two such threads), for its address space is 2 GiB. With one thread,
 * the caller's thread decodes alone. Extraction is the same,
 * byte for byte, whatever the number. A solid archive of an older pxq
 * decodes on the caller's thread. */
#define PXQ_DATA_THREAD_MEMORY (512u * 1024u * 1024u)
#define PXQ_DATA_THREADS_MAX 64u
uint32_t PxqDataSetThreads(PxqData* data, uint32_t threads);

/* Extracts the entries that `names` choose (`count` of them) below
 * `directory`, as PxqDataExtractAll does with all of them, in archive order:
 * a name chooses the entry of that name (letter case aside, as
 * PxqDataFind), and a name ending in '/' ("docs/") the folder of that name
 * and every entry below it. An archive in blocks (pxq pack's default)
 * decodes only the blocks that hold the chosen entries' data, so reaching a
 * few entries costs their own blocks, not the archive before them. 2 when
 * a name chooses no entry, 123 when a chosen entry's name is unsafe: then
 * nothing is written. `flags` as for PxqDataExtractAllEx. */
uint32_t PxqDataExtractSome(PxqData* data, const PxqPathChar* directory, const char* const* names, uint32_t count,
                            uint32_t flags, PxqDataProgress progress, void* context);

/* Extracts the entry named `name` to the file `path` (replaced only when
 * the new file is whole and its CRC32 matches). In an archive in blocks,
 * only the blocks that hold its data are decoded. */
uint32_t PxqDataExtractTo(PxqData* data, const char* name, const PxqPathChar* path);

/* Receives the data of one entry piece by piece; a nonzero result stops the
 * extraction and is passed on. */
typedef uint32_t (*PxqDataSink)(void* context, const void* bytes, size_t count);

/* Streams the data of the entry named `name` to `sink`. The CRC32 is known
 * to match only when the result is 0: on 23 (ERROR_CRC) the bytes handed
 * over are damaged and must be discarded. */
uint32_t PxqDataExtractStream(PxqData* data, const char* name, PxqDataSink sink, void* context);

/* Decodes the whole data archive without writing anything and checks every
 * entry against the index and its CRC32, the stream's end and the trailer.
 * `progress` as for PxqDataExtractAll. */
uint32_t PxqDataVerify(PxqData* data, PxqDataProgress progress, void* context);

/* Where the data archive lies in the file. */
uint64_t PxqDataOffset(const PxqData* data);

#ifdef __cplusplus
}
#endif

#endif
