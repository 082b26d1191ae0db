#include "tools/cli/progress.h"

#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "platform/platform.h"

int Verbosity = 0;

namespace {

double Now() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

void Show(Progress* progress, double now, bool last) {
  double elapsed = now - progress->start;
  double rate = elapsed > 0 ? static_cast<double>(progress->done) / elapsed : 0;
  char line[160];
  int used = snprintf(line, sizeof line, "pxq %s: ", progress->label);
  if (progress->total != 0) {
    uint64_t percent = progress->done >= progress->total ? 100 : progress->done * 100 / progress->total;
    used += snprintf(line + used, sizeof line - used, "%3llu%%, ", static_cast<unsigned long long>(percent));
  }
  used += snprintf(line + used, sizeof line - used, "%.1f MiB, %.1f MiB/s", progress->done / 1048576.0,
                   rate / 1048576.0);
  if (!last && progress->total > progress->done && rate > 0) {
    unsigned long left = static_cast<unsigned long>((progress->total - progress->done) / rate + 0.5);
    snprintf(line + used, sizeof line - used, ", %lu:%02lu left", left / 60, left % 60);
  } else if (last) {
    snprintf(line + used, sizeof line - used, " in %.1f s", elapsed);
  }
  if (progress->terminal) {
    fprintf(stderr, "\r%s\033[K%s", line, last ? "\n" : "");
  } else {
    fprintf(stderr, "%s\n", line);
  }
  fflush(stderr);
  progress->shown = now;
  progress->printed = true;
}

Progress* counted = nullptr;
const Platform* counting = nullptr;  // the backend whose reads are counted
Platform countingPlatform;

BOOL PXQ_WINAPI CountingReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                                 LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped) {
  BOOL result = counting->ReadFile(hFile, lpBuffer, nNumberOfBytesToRead, lpNumberOfBytesRead, lpOverlapped);
  if (result && counted != nullptr && lpNumberOfBytesRead != nullptr) AdvanceProgress(counted, *lpNumberOfBytesRead);
  return result;
}

}  // namespace

void BeginProgress(Progress* progress, const char* label, uint64_t total) {
  *progress = Progress();
  progress->label = label;
  progress->total = total;
  progress->terminal = isatty(STDERR_FILENO) != 0;
  progress->active = Verbosity > 0 || (Verbosity == 0 && progress->terminal);
  progress->start = Now();
  progress->shown = progress->start;
}

void AdvanceProgress(Progress* progress, uint64_t count) {
  progress->done += count;
  if (!progress->active) return;
  double now = Now();
  // Four a second on a terminal; one a second in a log.
  if (now - progress->shown >= (progress->terminal ? 0.25 : 1.0)) Show(progress, now, false);
}

void EndProgress(Progress* progress) {
  // -v always ends with a summary line, even for work shorter than an update.
  if (progress->active && (progress->printed || Verbosity > 0)) Show(progress, Now(), true);
  progress->active = false;
}

void CountPlatformReads(Progress* progress) {
  if (progress == nullptr) {
    if (counting != nullptr) UsePlatform(counting);
    counting = nullptr;
    counted = nullptr;
    return;
  }
  counted = progress;
  if (counting != nullptr) return;
  counting = activePlatform;
  countingPlatform = *counting;
  countingPlatform.ReadFile = CountingReadFile;
  UsePlatform(&countingPlatform);
}

uint64_t PackageBytes(const char* path, uint32_t archiveoffset) {
  struct stat info;
  if (stat(path, &info) != 0 || static_cast<uint64_t>(info.st_size) <= archiveoffset) return 0;
  return static_cast<uint64_t>(info.st_size) - archiveoffset;
}
