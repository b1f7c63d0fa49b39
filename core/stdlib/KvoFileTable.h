// KvoFileTable: the process-wide record of the C streams that scripts may use. A file value only
// holds a stream pointer and is copied freely, so after fclose its copies still hold the old
// pointer; the file functions therefore consult this table before every call into the C library
// and refuse a stream that is not in it. The three standard streams are always usable and are
// never entered. The table is shared by every machine of the process and locked, since machines
// may run on different threads.
//
// Closing through the table keeps the stream's address from being reused at once: the file is
// closed, but the stream object stays allocated (reopened on the null device) until
// QUARANTINE_SIZE later closes have passed. So a stale copy of a closed file cannot alias a
// stream opened shortly afterwards; it is refused instead. Only after that many further closes
// may the C library hand the address out again.
#pragma once

#include <cstddef>
#include <cstdio>

#include "platform/KvoTypes.h"

class KVO_API KvoFileTable
{
public:
    KvoFileTable() = delete;

    // Closed streams whose objects are kept allocated (each holds one descriptor on the null
    // device).
    static constexpr std::size_t QUARANTINE_SIZE = 32;

    // Enters an open stream (fopen's result, or a stream a host hands to scripts); the caller
    // keeps ownership until it closes the stream through close(). A null stream is ignored.
    static void add(std::FILE* stream);
    // Removes stream from the table without closing it; false when it was not in the table.
    // Code that closes a registered stream by other means calls it first.
    static bool remove(std::FILE* stream);
    // Closes a stream of the table: removes it, flushes and closes its file, and keeps the stream
    // object in quarantine. Returns 0, or EOF when flushing or closing failed or the stream was
    // not in the table (then nothing is done).
    static int close(std::FILE* stream);
    // True for stdin, stdout and stderr and for every stream in the table.
    static bool isOpen(std::FILE* stream);
    // True for stdin, stdout and stderr.
    static bool isStandard(std::FILE* stream) noexcept;
};
