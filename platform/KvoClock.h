// The system's clocks: the millisecond tick count, the calendar time in seconds since
// 1970-01-01 00:00:00 UTC, its conversion to local calendar fields and text, and the console's
// next character. Time values are unsigned 32-bit seconds, as scripts hold them; they reach
// 2106-02-07 06:28:15 UTC.
//
// kvoLocalTime and kvoCTime return results in buffers of the calling thread, valid until that
// thread's next call of the same routine.
#pragma once

#include <cstdint>

#include "platform/KvoWinTypes.h"

extern "C" {

// Milliseconds of the monotonic clock (never set back), wrapping to 0 after 2^32 - 1, so only
// differences between two readings are meaningful.
KVO_API DWORD GetTickCount();

} // extern "C"

// Local calendar time as kvoLocalTime gives it: nine signed 32-bit fields in this order. Unlike
// the C library's record, the month counts from 1 and the year is the full year; the day of the
// year and the daylight-saving flag are not computed and are always -1.
struct KvoTm {
    std::int32_t tm_sec;   // second, 0 .. 59 (60 on a leap second)
    std::int32_t tm_min;   // minute, 0 .. 59
    std::int32_t tm_hour;  // hour, 0 .. 23
    std::int32_t tm_mday;  // day of the month, 1 .. 31
    std::int32_t tm_mon;   // month, 1 .. 12
    std::int32_t tm_year;  // full year, such as 1970
    std::int32_t tm_wday;  // day of the week, 0 = Sunday .. 6 = Saturday
    std::int32_t tm_yday;  // always -1
    std::int32_t tm_isdst; // always -1
};

// Seconds since 1970-01-01 00:00:00 UTC, cut to 32 bits; also stored through t when t is not null.
KVO_API KvoULong kvoTime(KvoULong* t);

// The local calendar time of *t (seconds since the epoch, in the time zone of the process's TZ
// setting). Null when t is null or the conversion fails.
KVO_API const KvoTm* kvoLocalTime(const KvoULong* t);

// The local time of *t as text of the form "Thu Jan 01 00:00:00 1970\n" (day of the week, month,
// day of the month with two digits, time, four-digit year, line feed). Null when t is null or the
// conversion fails.
KVO_API const KvoChar* kvoCTime(const KvoULong* t);

// The next character of the standard input (read as UTF-8, one UTF-16 unit per call, as
// kvoGetWc reads), 0xFFFF at end of input.
KVO_API KvoChar kvoGetTche();
