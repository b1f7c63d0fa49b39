// KvoFileStreamPrinter: prints to a C stream (the console, or a file). The formatted UTF-16 text
// is written as UTF-8; a surrogate pair split across two prints is joined, and an unpaired
// surrogate is written as U+FFFD. The printer closes its stream on destruction only when it owns
// it, and it cannot be copied.
#pragma once

#include <cstdio>

#include "host/IKvoPrinter.h"

class KVO_API KvoFileStreamPrinter : public IKvoPrinter
{
public:
    // Prints to stream (a FILE*; null makes a printer without target). Takes ownership of the
    // stream when owns is true.
    KvoFileStreamPrinter(void* stream, bool owns);
    // Opens path with mode (fopen's modes; 't' is ignored) and owns the stream. Without a stream
    // when either argument is null or the open fails.
    KvoFileStreamPrinter(const KvoChar* path, const KvoChar* mode);
    KvoFileStreamPrinter(const KvoFileStreamPrinter&) = delete;
    KvoFileStreamPrinter& operator=(const KvoFileStreamPrinter&) = delete;
    ~KvoFileStreamPrinter() override;

    // Formats and writes. Returns the number of UTF-16 units formatted; -1 when fmt is null,
    // there is no stream, or the write fails.
    int vprint(const KvoChar* fmt, va_list args) override;

    // The stream (borrowed), or null.
    std::FILE* stream() const noexcept { return m_stream; }

private:
    std::FILE* m_stream = nullptr;
    bool m_ownsStream = false;
};
