// The table of streams opened for scripts: a set of stream addresses and a ring of closed stream
// objects held back from reuse, under one mutex.
#include "stdlib/KvoFileTable.h"

#include <array>
#include <mutex>
#include <unordered_set>

#include "platform/KvoFile.h"

namespace {

// Where a closed stream stays attached while it waits in quarantine.
constexpr char NULL_DEVICE[] = "/dev/null";

struct OpenStreams {
    std::mutex lock;
    std::unordered_set<std::FILE*> streams;
    std::array<std::FILE*, KvoFileTable::QUARANTINE_SIZE> quarantine{};
    std::size_t nextSlot = 0; // the oldest entry of the ring, replaced next
};

// Created on first use and never destroyed, so that a stream closed from a static destructor
// still finds the table.
OpenStreams& openStreams()
{
    static OpenStreams* table = new OpenStreams;
    return *table;
}

} // namespace

void KvoFileTable::add(std::FILE* stream)
{
    if (!stream || isStandard(stream))
        return;
    OpenStreams& table = openStreams();
    std::lock_guard<std::mutex> guard(table.lock);
    table.streams.insert(stream);
}

bool KvoFileTable::remove(std::FILE* stream)
{
    OpenStreams& table = openStreams();
    std::lock_guard<std::mutex> guard(table.lock);
    return table.streams.erase(stream) != 0;
}

int KvoFileTable::close(std::FILE* stream)
{
    OpenStreams& table = openStreams();
    std::lock_guard<std::mutex> guard(table.lock);
    if (!stream || table.streams.erase(stream) == 0)
        return EOF;
    // Flushing first gives the result that fclose would report for unwritten data; freopen
    // then closes the file itself and attaches the same stream object to the null device.
    bool failed = std::fflush(stream) != 0 || std::ferror(stream) != 0;
    if (!std::freopen(NULL_DEVICE, "r", stream)) {
        // The stream object is in an unknown state: leave it alone rather than free it twice.
        return EOF;
    }
    std::FILE*& slot = table.quarantine[table.nextSlot];
    if (slot)
        kvoCloseFile(slot);
    slot = stream;
    table.nextSlot = (table.nextSlot + 1) % QUARANTINE_SIZE;
    return failed ? EOF : 0;
}

bool KvoFileTable::isOpen(std::FILE* stream)
{
    if (!stream)
        return false;
    if (isStandard(stream))
        return true;
    OpenStreams& table = openStreams();
    std::lock_guard<std::mutex> guard(table.lock);
    return table.streams.count(stream) != 0;
}

bool KvoFileTable::isStandard(std::FILE* stream) noexcept
{
    return stream && (stream == stdin || stream == stdout || stream == stderr);
}
