#include "platform/filetime.h"

#include <stdio.h>

static const int64_t intervalsPerSecond = 10000000;

uint64_t FileTimeFromUnix(int64_t seconds, uint32_t nanoseconds) {
  const uint64_t epochSeconds = PXQ_FILETIME_UNIX_EPOCH / intervalsPerSecond;
  const uint64_t maxSeconds = UINT64_MAX / intervalsPerSecond;  // whole seconds a FILETIME can hold
  // Seconds since 1601, computed without signed overflow.
  uint64_t since1601;
  if (seconds >= 0) {
    since1601 = static_cast<uint64_t>(seconds) + epochSeconds;
  } else {
    const uint64_t before = 0 - static_cast<uint64_t>(seconds);
    if (before > epochSeconds) return 0;
    since1601 = epochSeconds - before;
  }
  since1601 += nanoseconds / 1000000000u;
  nanoseconds %= 1000000000u;
  if (since1601 > maxSeconds) return UINT64_MAX;
  const uint64_t intervals = since1601 * intervalsPerSecond;
  const uint64_t fraction = nanoseconds / 100u;
  if (intervals > UINT64_MAX - fraction) return UINT64_MAX;
  return intervals + fraction;
}

void UnixFromFileTime(uint64_t filetime, int64_t* seconds, uint32_t* nanoseconds) {
  int64_t since1601 = static_cast<int64_t>(filetime / intervalsPerSecond);
  uint32_t rest = static_cast<uint32_t>(filetime % intervalsPerSecond);
  *seconds = since1601 - static_cast<int64_t>(PXQ_FILETIME_UNIX_EPOCH / intervalsPerSecond);
  *nanoseconds = rest * 100u;
}

// Days since 1970-01-01 to a civil date (proleptic Gregorian calendar).
static void CivilFromDays(int64_t days, int64_t* year, unsigned* month, unsigned* day) {
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const unsigned dayOfEra = static_cast<unsigned>(days - era * 146097);
  const unsigned yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const unsigned shiftedMonth = (5 * dayOfYear + 2) / 153;
  *day = dayOfYear - (153 * shiftedMonth + 2) / 5 + 1;
  *month = shiftedMonth < 10 ? shiftedMonth + 3 : shiftedMonth - 9;
  *year = static_cast<int64_t>(yearOfEra) + era * 400 + (*month <= 2 ? 1 : 0);
}

size_t FormatFileTime(uint64_t filetime, char* text, size_t size) {
  if (text == NULL || size == 0) return 0;
  const uint64_t totalSeconds = filetime / intervalsPerSecond;
  const unsigned fraction = static_cast<unsigned>(filetime % intervalsPerSecond);
  const int64_t days1601 = static_cast<int64_t>(totalSeconds / 86400);
  const unsigned secondOfDay = static_cast<unsigned>(totalSeconds % 86400);
  // 1601-01-01 is 134,774 days before 1970-01-01.
  int64_t year;
  unsigned month, day;
  CivilFromDays(days1601 - 134774, &year, &month, &day);
  int written = snprintf(text, size, "%04lld-%02u-%02u %02u:%02u:%02u.%07u UTC", static_cast<long long>(year), month,
                         day, secondOfDay / 3600, secondOfDay / 60 % 60, secondOfDay % 60, fraction);
  if (written < 0 || static_cast<size_t>(written) >= size) {
    text[0] = '\0';
    return 0;
  }
  return static_cast<size_t>(written);
}
