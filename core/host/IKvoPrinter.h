// IKvoPrinter: the output channel. All text the system prints (script output, compiler listings
// and diagnostics, interpreter errors, traces) goes through one. Implementations format with
// the runtime's printf engine and deliver the text to their target.
#pragma once

#include <cstdarg>

#include "platform/KvoTypes.h"

class KVO_API IKvoPrinter
{
public:
    virtual ~IKvoPrinter() = default;

    // Prints printf-style UTF-16 text. Returns the number of characters produced, 0 when nothing
    // was printed, -1 for a null format or a channel without a target.
    int operator()(const KvoChar* fmt, ...)
    {
        va_list args;
        va_start(args, fmt);
        int n = vprint(fmt, args);
        va_end(args);
        return n;
    }
    // The same with an argument list; this is what implementations provide.
    virtual int vprint(const KvoChar* fmt, va_list args) = 0;
};
