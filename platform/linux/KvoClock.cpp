// The clocks on Linux: CLOCK_MONOTONIC for the tick count, CLOCK_REALTIME for the calendar time,
// localtime_r for the local calendar fields (so the TZ setting of the process applies).
#include "platform/KvoClock.h"

#include <cstdio>
#include <ctime>

#include "platform/KvoFile.h"

namespace {

constexpr const char* DAY_NAMES[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* MONTH_NAMES[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
// Room for the longest text kvoCTime writes ("Www Mmm dd hh:mm:ss yyyy\n" with a five-digit year
// at most, since 32-bit times end in 2106) and its terminator, with margin.
constexpr std::size_t CTIME_UNITS = 64;

// Fills fields with the local time of seconds; false when the C library cannot convert it.
bool toLocalFields(KvoULong seconds, KvoTm& fields)
{
    const std::time_t when = static_cast<std::time_t>(seconds);
    std::tm local{};
    // localtime_r reads the TZ setting only once; localtime reads it on every call, and so do we.
    tzset();
    if (!localtime_r(&when, &local))
        return false;
    fields.tm_sec = local.tm_sec;
    fields.tm_min = local.tm_min;
    fields.tm_hour = local.tm_hour;
    fields.tm_mday = local.tm_mday;
    fields.tm_mon = local.tm_mon + 1;
    fields.tm_year = local.tm_year + 1900;
    fields.tm_wday = local.tm_wday;
    fields.tm_yday = -1;
    fields.tm_isdst = -1;
    return true;
}

} // namespace

extern "C" DWORD GetTickCount()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const auto milliseconds = static_cast<std::uint64_t>(now.tv_sec) * 1000u + static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
    return static_cast<DWORD>(milliseconds);
}

KvoULong kvoTime(KvoULong* t)
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    const auto seconds = static_cast<KvoULong>(now.tv_sec);
    if (t)
        *t = seconds;
    return seconds;
}

const KvoTm* kvoLocalTime(const KvoULong* t)
{
    thread_local KvoTm result{};
    if (!t || !toLocalFields(*t, result))
        return nullptr;
    return &result;
}

const KvoChar* kvoCTime(const KvoULong* t)
{
    thread_local KvoChar result[CTIME_UNITS];
    KvoTm fields{};
    if (!t || !toLocalFields(*t, fields))
        return nullptr;
    // The C library fills these ranges; a record outside them would index past the name tables.
    if (fields.tm_wday < 0 || fields.tm_wday > 6 || fields.tm_mon < 1 || fields.tm_mon > 12)
        return nullptr;
    char text[CTIME_UNITS];
    const int length = std::snprintf(text, sizeof text, "%s %s %02d %02d:%02d:%02d %04d\n", DAY_NAMES[fields.tm_wday],
                                     MONTH_NAMES[fields.tm_mon - 1], fields.tm_mday, fields.tm_hour, fields.tm_min,
                                     fields.tm_sec, fields.tm_year);
    if (length < 0 || static_cast<std::size_t>(length) >= sizeof text)
        return nullptr;
    // The text is ASCII: one unit per byte.
    for (int i = 0; i <= length; ++i)
        result[i] = static_cast<unsigned char>(text[i]);
    return result;
}

KvoChar kvoGetTche()
{
    return kvoGetWc(stdin);
}
