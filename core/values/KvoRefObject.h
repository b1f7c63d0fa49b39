// KvoRefObject: the base of every heap object of the runtime. It carries a signed 32-bit
// reference count that starts at 0; when release() brings the count to 0 or below it calls
// lastRelease(), which deletes the object through the virtual destructor unless a subclass
// keeps the object alive (a script object whose destructor has yet to run). Counting is plain
// (not atomic): an object belongs to one thread. Deleting an object releases what it holds; a
// deletion that starts while another one runs waits until the outer one has finished, so that
// freeing a long chain of objects never recurses deeply. Every object is allocated from the
// runtime heap (allocmem), so that its address can be handed to scripts as a 32-bit integer.
//
// Beside the count of owners the object counts its non-owning references (the reference kinds
// of KvoValue), which never keep it alive. An object that dies while such references remain
// runs its destructor as usual but leaves its block behind as a tombstone: a bare KvoRefObject
// marked dead that still carries the count of references, so that each of them can ask whether
// its target lives (and then reads as null) until the last one goes and frees the block. This
// holds for every deletion, also a plain `delete`. An object released for the last time is
// marked dead as soon as its deletion is decided, also while it waits in the queue.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/KvoTypes.h"

class KVO_API KvoRefObject
{
public:
    KvoRefObject() noexcept { countCreated(); }
    // A copy starts with counts 0: the counts belong to the object, not to its contents.
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
    [[gnu::always_inline]] KvoRefObject* releaseUnlessLast() noexcept
    {
        if (m_refCount > 1) {
            --m_refCount;
            return nullptr;
        }
        return this;
    }
    std::int32_t getRefCnt() const noexcept { return m_refCount; }
    void setRefCnt(std::int32_t count) noexcept { m_refCount = count; }

    // Non-owning references. A value of a reference kind takes one when it starts to point at
    // the object and drops it when it stops; the last one to leave a dead object frees its block.
    void addWeakRef() noexcept { ++m_weakCount; }
    void releaseWeakRef() noexcept
    {
        if (releaseWeakRefUnlessLast()) [[unlikely]]
            freeTombstone(this);
    }
    // The first half of releaseWeakRef(), for the same callers as releaseUnlessLast(): returns
    // the block when the last reference to a tombstone went, and the caller must then call
    // finishRelease(); else null.
    [[gnu::always_inline]] KvoRefObject* releaseWeakRefUnlessLast() noexcept
    {
        if (--m_weakCount == 0 && m_refCount == TOMBSTONE_COUNT) [[unlikely]]
            return this;
        return nullptr;
    }
    // Completes what releaseUnlessLast() or releaseWeakRefUnlessLast() handed back: frees a
    // tombstone, or releases a live object's last count.
    void finishRelease()
    {
        if (m_refCount == TOMBSTONE_COUNT)
            freeTombstone(this);
        else
            release();
    }
    std::uint32_t getWeakRefCnt() const noexcept { return m_weakCount; }
    // True once the object's deletion has been decided: it is waiting to be deleted, being
    // deleted, or only a tombstone is left. A dead object must not be used in any other way.
    bool isDead() const noexcept { return m_refCount <= TOMBSTONE_COUNT; }

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
    // The counts of a dead object, which no sequence of addRef/release on a live object
    // reaches: one that waits for deletion or is being deleted, and a tombstone.
    static constexpr std::int32_t DYING_COUNT = INT32_MIN;
    static constexpr std::int32_t TOMBSTONE_COUNT = INT32_MIN + 1;
    struct TombstoneTag {};
    // The tombstone left in a dead object's block (not counted as a live object).
    KvoRefObject(TombstoneTag, std::uint32_t weakCount) noexcept : m_refCount(TOMBSTONE_COUNT), m_weakCount(weakCount) {}
    static void freeTombstone(KvoRefObject* tombstone) noexcept;
    // Where m_weakCount lies in the block, for operator delete, which runs after the object ended.
    static std::ptrdiff_t weakCountOffset() noexcept;
    static const std::ptrdiff_t s_weakCountOffset;

#if defined(KIVO_COUNT_OBJECTS)
    static void countCreated() noexcept;
    static void countDestroyed() noexcept;
#else
    static void countCreated() noexcept {}
    static void countDestroyed() noexcept {}
#endif

    std::int32_t m_refCount = 0;
    std::uint32_t m_weakCount = 0; // fills what was padding: objects keep their size
};
