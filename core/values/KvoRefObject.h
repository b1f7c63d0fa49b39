// KvoRefObject: the base of every heap object of the runtime. It carries a signed 32-bit
// reference count that starts at 0; when release() brings the count to 0 or below it calls
// lastRelease(), which deletes the object through the virtual destructor unless a subclass
// keeps the object alive (a script object whose destructor has yet to run). Counting is plain
// (not atomic): an object belongs to one thread. Deleting an object releases what it holds; a
// deletion that starts while another one runs waits until the outer one has finished, so that
// freeing a long chain of objects never recurses deeply. Every object is allocated from the
// runtime heap (allocmem), so that its address can be handed to scripts as a 32-bit integer.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/KvoTypes.h"

class KVO_API KvoRefObject
{
public:
    KvoRefObject() noexcept { countCreated(); }
    // A copy starts with count 0: the count belongs to the object, not to its contents.
    KvoRefObject(const KvoRefObject&) noexcept { countCreated(); }
    KvoRefObject& operator=(const KvoRefObject&) noexcept { return *this; }
    virtual ~KvoRefObject() { countDestroyed(); }

    // Increments the count and returns the new count.
    std::int32_t addRef() noexcept { return ++m_refCount; }
    // Decrements the count; at 0 (or below) hands the object to lastRelease() and returns 0.
    // The caller must not touch the object after a 0 result.
    std::int32_t release()
    {
        if (--m_refCount > 0)
            return m_refCount;
        lastRelease();
        return 0;
    }
    // The first half of release(), for callers that must not make a call on their fast path:
    // when other references remain, decrements the count and returns null; otherwise leaves the
    // count alone and returns the object, and the caller must release() it.
    KvoRefObject* releaseUnlessLast() noexcept
    {
        if (m_refCount > 1) {
            --m_refCount;
            return nullptr;
        }
        return this;
    }
    std::int32_t getRefCnt() const noexcept { return m_refCount; }
    void setRefCnt(std::int32_t count) noexcept { m_refCount = count; }

    static void* operator new(std::size_t size);
    static void operator delete(void* block) noexcept;

    // Number of heap objects alive now; counted only in builds with KIVO_COUNT_OBJECTS,
    // otherwise always 0. Tests use it to prove that nothing leaks.
    static std::int64_t liveObjects() noexcept;

protected:
    // Called by release() when the count has fallen to 0: deletes the object. An override may
    // instead take a new reference and keep the object alive for a while.
    virtual void lastRelease() { deleteObject(this); }
    // Deletes object now, or, when called while another deletion on this thread is under way,
    // as soon as that one has finished (an explicit queue instead of native recursion).
    static void deleteObject(KvoRefObject* object);

private:
#if defined(KIVO_COUNT_OBJECTS)
    static void countCreated() noexcept;
    static void countDestroyed() noexcept;
#else
    static void countCreated() noexcept {}
    static void countDestroyed() noexcept {}
#endif

    std::int32_t m_refCount = 0;
};
