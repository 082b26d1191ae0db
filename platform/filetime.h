// FILETIME (100-nanosecond intervals since 1601-01-01 00:00:00 UTC) to and
// from Unix time (seconds and nanoseconds since 1970-01-01 00:00:00 UTC).
// Pure functions: no platform call, usable by the host tool as well.
#pragma once

#include <stddef.h>
#include <stdint.h>

// 100-ns intervals between 1601-01-01 and 1970-01-01.
#define PXQ_FILETIME_UNIX_EPOCH 116444736000000000ull

// The FILETIME of a Unix time. Times before 1601 give 0, and times past the
// end of the 64-bit range give UINT64_MAX; nanoseconds are cut to 100 ns.
uint64_t FileTimeFromUnix(int64_t seconds, uint32_t nanoseconds);

// The Unix time of a FILETIME: every FILETIME has one (seconds may be
// negative for times before 1970); nanoseconds is a multiple of 100.
void UnixFromFileTime(uint64_t filetime, int64_t* seconds, uint32_t* nanoseconds);

// Writes "YYYY-MM-DD HH:MM:SS.fffffff UTC" and a NUL into `text`, which
// holds `size` bytes; returns the length written, or 0 when it does not fit.
// 31 characters up to the year 9999; 40 bytes always suffice.
size_t FormatFileTime(uint64_t filetime, char* text, size_t size);
