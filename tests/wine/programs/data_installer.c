/* An installer built against the pxq installer library, for the Wine tests
 * of the data archive. It opens the data archive of the loader that started
 * it (PxqDataOpenSelf: the loader's path last, or in PXQ_LOADER_PATH),
 * extracts everything into the folder given by its argument "/target=DIR",
 * then reads every extracted file back and compares it, byte for byte, with
 * the entry streamed from the archive, and checks each file's read-only
 * attribute against the entry's. It writes "key=value" lines to the file
 * named by PXQ_TEST_RECORD (UTF-8): its command line, where it found the
 * loader, the entry count, the result code and the library's message.
 *
 * Options for the transactional extraction: "/rollback" extracts with
 * PXQ_EXTRACT_ROLLBACK; "/cancel-at=NAME" cancels when the entry NAME comes
 * up; "/hold=NAME" holds the file NAME below the target open, without
 * sharing the right to delete or replace it, as another program may.
 *
 * Exit code: 0 when all is well; the library's result code when a call
 * failed; 200 when an extracted file differs from its entry; 201 when a
 * read-only attribute differs; 87 without /target=. */
#include <windows.h>
#include <stdio.h>
#include <string.h>
#include <wchar.h>

#include "pxq/installer_data.h"

#define CONTENT_DIFFERS 200
#define ATTRIBUTE_DIFFERS 201

static FILE* record;

static void RecordWide(const char* key, const wchar_t* value) {
  char text[4096];
  if (WideCharToMultiByte(CP_UTF8, 0, value, -1, text, sizeof(text), NULL, NULL) == 0) strcpy(text, "?");
  if (record != NULL) fprintf(record, "%s=%s\n", key, text);
}

/* The sink that compares the streamed bytes with the extracted file. */
struct Compare {
  FILE* file;
  int differs;
};

static uint32_t CompareBytes(void* context, const void* bytes, size_t count) {
  struct Compare* compare = (struct Compare*)context;
  unsigned char buffer[65536];
  const unsigned char* wanted = (const unsigned char*)bytes;
  while (count > 0 && !compare->differs) {
    size_t chunk = count < sizeof(buffer) ? count : sizeof(buffer);
    if (fread(buffer, 1, chunk, compare->file) != chunk || memcmp(buffer, wanted, chunk) != 0) compare->differs = 1;
    wanted += chunk;
    count -= chunk;
  }
  return 0;
}

/* The extracted file of `entry` below `target`, as a wide path; with the
 * \\?\ prefix when `target` names a drive, so that paths past 260
 * characters are read back on Windows too. "" when it does not fit. */
static void ExtractedPath(const wchar_t* target, const PxqDataEntry* entry, wchar_t* path, size_t size) {
  const wchar_t* prefix = target[0] != 0 && target[1] == L':' ? L"\\\\?\\" : L"";
  size_t used = wcslen(prefix) + wcslen(target);
  path[0] = 0;
  if (used + 2 > size) return;
  wcscpy(path, prefix);
  wcscat(path, target);
  path[used++] = L'\\';
  int got = MultiByteToWideChar(CP_UTF8, 0, entry->name, -1, path + used, (int)(size - used));
  if (got == 0) path[used] = 0;
  for (wchar_t* at = path + used; *at != 0; ++at)
    if (*at == L'/') *at = L'\\';
}

/* Every file read back against its entry; 0, or what differs first. */
static uint32_t CheckEveryByte(PxqData* data, const wchar_t* target) {
  for (uint32_t number = 1; number <= PxqDataCount(data); ++number) {
    PxqDataEntry entry;
    uint32_t code = PxqDataEntryAt(data, number, &entry);
    if (code != 0) return code;
    wchar_t path[1024];
    ExtractedPath(target, &entry, path, sizeof(path) / sizeof(path[0]));
    DWORD attributes = GetFileAttributesW(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) return GetLastError();
    if ((attributes & FILE_ATTRIBUTE_READONLY) != (entry.attributes & FILE_ATTRIBUTE_READONLY)) {
      RecordWide("attribute_differs", path);
      return ATTRIBUTE_DIFFERS;
    }
    if (entry.isdirectory) continue;
    struct Compare compare = {_wfopen(path, L"rb"), 0};
    if (compare.file == NULL) return ERROR_OPEN_FAILED;
    code = PxqDataExtractStream(data, entry.name, CompareBytes, &compare);
    /* Nothing may follow the entry's bytes. */
    if (code == 0 && fgetc(compare.file) != EOF) compare.differs = 1;
    fclose(compare.file);
    if (code != 0) return code;
    if (compare.differs) {
      RecordWide("content_differs", path);
      return CONTENT_DIFFERS;
    }
  }
  return 0;
}

/* Cancels when the entry named by `context` (UTF-8) comes up. */
static int CancelAt(void* context, uint64_t done, uint64_t total, const PxqDataEntry* entry) {
  (void)done;
  (void)total;
  return context != NULL && strcmp((const char*)context, entry->name) == 0;
}

int wmain(int argc, wchar_t** argv) {
  const wchar_t* recordpath = _wgetenv(L"PXQ_TEST_RECORD");
  if (recordpath != NULL) record = _wfopen(recordpath, L"w");
  RecordWide("command_line", GetCommandLineW());
  const wchar_t* variable = _wgetenv(L"PXQ_LOADER_PATH");
  RecordWide("loader_path_variable", variable != NULL ? variable : L"(none)");

  const wchar_t* target = NULL;
  const wchar_t* hold = NULL;
  uint32_t flags = 0;
  char cancelat[1024] = "";
  for (int i = 1; i < argc; ++i) {
    if (wcsncmp(argv[i], L"/target=", 8) == 0) target = argv[i] + 8;
    if (wcsncmp(argv[i], L"/hold=", 6) == 0) hold = argv[i] + 6;
    if (wcscmp(argv[i], L"/rollback") == 0) flags |= PXQ_EXTRACT_ROLLBACK;
    if (wcsncmp(argv[i], L"/cancel-at=", 11) == 0)
      WideCharToMultiByte(CP_UTF8, 0, argv[i] + 11, -1, cancelat, sizeof(cancelat), NULL, NULL);
  }
  uint32_t code = 87;
  PxqData* data = NULL;
  HANDLE held = INVALID_HANDLE_VALUE;
  if (target != NULL && hold != NULL) {
    wchar_t path[1024];
    _snwprintf(path, sizeof(path) / sizeof(path[0]), L"%ls\\%ls", target, hold);
    path[sizeof(path) / sizeof(path[0]) - 1] = 0;
    held = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    if (record != NULL) fprintf(record, "held=%d\n", held != INVALID_HANDLE_VALUE);
  }
  if (target != NULL) {
    code = PxqDataOpenSelf(&data);
    if (code == 0) {
      if (record != NULL) fprintf(record, "count=%u\n", PxqDataCount(data));
      code = PxqDataExtractAllEx(data, target, flags, cancelat[0] != 0 ? CancelAt : NULL, cancelat);
    }
    if (code == 0) code = CheckEveryByte(data, target);
  }
  if (held != INVALID_HANDLE_VALUE) CloseHandle(held);
  if (record != NULL) {
    fprintf(record, "code=%u\nmessage=%s\n", code, data != NULL ? PxqDataMessage(data) : "");
    fclose(record);
  }
  PxqDataClose(data);
  return (int)code;
}
