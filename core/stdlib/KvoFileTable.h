// KvoFileTable: the process-wide record of the C streams that scripts may use. A script's file
// value is copied freely and survives fclose, so it does not hold the stream itself but a handle:
// a number that the table gives out once, for one open stream, and never again. Every file
// function asks the table for the stream of a handle before it calls the C library; a handle
// whose stream was closed (or that the table never gave out) has none and is refused. So a stale
// copy of a closed file can never reach a stream opened later, however many streams are opened
// and closed in between; the closed stream itself is really closed at once.
//
// The three standard streams are their own handles (the system variables stdin, stdout and
// stderr hold the streams' addresses) and are always valid; they are never entered or closed.
//
// A stream may be entered for an owner, the machine whose script opened it: releasing or
// reinitialising that machine closes what its scripts left open (closeOwnedBy), so a host that
// creates a machine per request does not run out of descriptors. Streams without owner are
// closed only on request.
//
// The table is shared by every machine of the process and locked, since machines may run on
// different threads. A stream itself belongs to the thread that uses it: closing a handle while
// another thread is inside a call on the same stream is not supported.
#pragma once

#include <cstddef>
#include <cstdio>

#include "platform/KvoTypes.h"

class KVO_API KvoFileTable
{
public:
    KvoFileTable() = delete;

    // Enters an open stream (fopen's result, or a stream a host hands to scripts) and returns
    // the handle that a script's file value holds for it (KvoValue(handle) makes the value).
    // owner, when not null, is the machine whose release closes the stream; without owner the
    // caller keeps ownership and closes the stream through close() (or calls remove() before
    // closing it by other means). A stream already in the table keeps its handle and owner.
    // A standard stream is returned as it is, a null stream gives null.
    static void* add(std::FILE* stream, const void* owner = nullptr);
    // The stream of a handle: a standard stream for itself, the open stream that the handle was
    // given out for, or null (the stream was closed or removed, the handle is null or was never
    // given out).
    static std::FILE* streamOf(const void* handle);
    // True when streamOf(handle) is not null.
    static bool isOpen(const void* handle) { return streamOf(handle) != nullptr; }
    // Removes stream from the table without closing it; its handle is refused from then on.
    // False when the stream was not in the table.
    static bool remove(std::FILE* stream);
    // Closes the stream of a handle: the handle is refused from then on, and the stream is
    // closed (kvoCloseFile). Returns the close's result (0, or EOF when flushing or closing
    // failed); EOF without doing anything for a handle without stream or a standard stream.
    static int close(const void* handle);
    // Closes every stream entered for owner (never a standard stream, never another owner's
    // stream); the number of streams closed. A null owner closes nothing.
    static std::size_t closeOwnedBy(const void* owner);
    // True for stdin, stdout and stderr.
    static bool isStandard(const void* handle) noexcept;
};
