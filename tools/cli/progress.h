// How much pxq says, and the progress of long work on stderr: percent,
// MiB/s and time left, at most four updates a second. Shown on a terminal,
// or anywhere with -v; never with -q.
#pragma once

#include <stdint.h>

// -1 with -q (errors only), 0 by default, 1 with -v.
extern int Verbosity;

struct Progress {
  const char* label = "";
  uint64_t total = 0;  // bytes the work will take; 0 when not known
  uint64_t done = 0;
  double start = 0;    // seconds on the monotonic clock
  double shown = 0;    // when the last update was printed
  bool active = false;
  bool terminal = false;  // updates overwrite one line
  bool printed = false;
};

// Starts progress for `total` bytes of work named `label` ("pack").
void BeginProgress(Progress* progress, const char* label, uint64_t total);
void AdvanceProgress(Progress* progress, uint64_t count);
// Ends the line (terminal), or prints a last line when anything was shown.
void EndProgress(Progress* progress);

// The bytes of the file at `path` from `archiveoffset` to its end: the
// work of reading the archive. 0 when that cannot be told.
uint64_t PackageBytes(const char* path, uint32_t archiveoffset);

// Counts the bytes that the loader's own code reads through the platform
// seam (the package file) into `progress`, by wrapping the active backend's
// ReadFile. Null stops counting.
void CountPlatformReads(Progress* progress);
