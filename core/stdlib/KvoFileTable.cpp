// The table of streams opened for scripts: handles given out from a counter that never goes back,
// mapped to their streams and owners, under one mutex.
#include "stdlib/KvoFileTable.h"

#include <cstdint>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "platform/KvoFile.h"

namespace {

struct OpenStream {
    std::FILE* stream;
    const void* owner;
};

struct OpenStreams {
    std::mutex lock;
    std::unordered_map<std::uintptr_t, OpenStream> byHandle;
    std::unordered_map<std::FILE*, std::uintptr_t> byStream;
    // The last handle given out. 64 bits never wrap in practice (a new stream every nanosecond
    // would take centuries), so no handle is ever given out twice.
    std::uint64_t lastHandle = 0;
};

// Created on first use and never destroyed, so that a stream closed from a static destructor
// still finds the table.
OpenStreams& openStreams()
{
    static OpenStreams* table = new OpenStreams;
    return *table;
}

std::uintptr_t handleBits(const void* handle) noexcept
{
    return reinterpret_cast<std::uintptr_t>(handle);
}

void* handleOf(std::uintptr_t bits) noexcept
{
    return reinterpret_cast<void*>(bits);
}

// Takes the entry of handle out of the table (locked by the caller); its stream, or null.
std::FILE* takeOut(OpenStreams& table, std::uintptr_t handle)
{
    auto found = table.byHandle.find(handle);
    if (found == table.byHandle.end())
        return nullptr;
    std::FILE* stream = found->second.stream;
    table.byHandle.erase(found);
    table.byStream.erase(stream);
    return stream;
}

} // namespace

void* KvoFileTable::add(std::FILE* stream, const void* owner)
{
    if (!stream || isStandard(stream))
        return stream;
    OpenStreams& table = openStreams();
    std::lock_guard<std::mutex> guard(table.lock);
    auto known = table.byStream.find(stream);
    if (known != table.byStream.end())
        return handleOf(known->second);
    std::uintptr_t handle;
    do {
        handle = static_cast<std::uintptr_t>(++table.lastHandle);
    } while (isStandard(handleOf(handle)));
    table.byHandle.emplace(handle, OpenStream{stream, owner});
    table.byStream.emplace(stream, handle);
    return handleOf(handle);
}

std::FILE* KvoFileTable::streamOf(const void* handle)
{
    if (!handle)
        return nullptr;
    if (isStandard(handle))
        return static_cast<std::FILE*>(const_cast<void*>(handle));
    OpenStreams& table = openStreams();
    std::lock_guard<std::mutex> guard(table.lock);
    auto found = table.byHandle.find(handleBits(handle));
    return found != table.byHandle.end() ? found->second.stream : nullptr;
}

bool KvoFileTable::remove(std::FILE* stream)
{
    OpenStreams& table = openStreams();
    std::lock_guard<std::mutex> guard(table.lock);
    auto known = table.byStream.find(stream);
    if (known == table.byStream.end())
        return false;
    table.byHandle.erase(known->second);
    table.byStream.erase(known);
    return true;
}

int KvoFileTable::close(const void* handle)
{
    if (!handle || isStandard(handle))
        return EOF;
    std::FILE* stream;
    {
        OpenStreams& table = openStreams();
        std::lock_guard<std::mutex> guard(table.lock);
        stream = takeOut(table, handleBits(handle));
    }
    // Closed outside the lock: flushing may wait on a pipe or a slow device.
    return stream ? kvoCloseFile(stream) : EOF;
}

std::size_t KvoFileTable::closeOwnedBy(const void* owner)
{
    if (!owner)
        return 0;
    std::vector<std::FILE*> owned;
    {
        OpenStreams& table = openStreams();
        std::lock_guard<std::mutex> guard(table.lock);
        for (auto entry = table.byHandle.begin(); entry != table.byHandle.end();) {
            if (entry->second.owner == owner) {
                owned.push_back(entry->second.stream);
                table.byStream.erase(entry->second.stream);
                entry = table.byHandle.erase(entry);
            } else {
                ++entry;
            }
        }
    }
    for (std::FILE* stream : owned)
        (void)kvoCloseFile(stream);
    return owned.size();
}

bool KvoFileTable::isStandard(const void* handle) noexcept
{
    return handle && (handle == stdin || handle == stdout || handle == stderr);
}
