// KvoEntryCursor: an object that designates one entry of a dictionary, or none, and that the
// dictionary tells when that entry goes. Native iterator classes build their iterator objects
// as cursors, so that an iterator never reaches an entry that was erased (by any path: erase by
// key, clear, the entry's dictionary dying) and can tell the script so instead.
// A cursor is in one of three states: designating an entry (registered with that entry), at the
// end (designating none), or lost (the entry it designated is gone). The object's member slot
// given at construction mirrors the state for whoever looks at the object's members: a KVT_VAR
// value of the entry, NULL at the end, and a KVT_VAR value without entry when lost. Native code
// reads the cursor itself, never the slot, which script code could overwrite.
#pragma once

#include <cstdint>

#include "values/KvoDictionary.h"
#include "values/KvoObject.h"

class KVO_API KvoEntryCursor : public KvoObject
{
public:
    // An object of class c at the end. slot: the member slot that mirrors the state (ignored
    // when it is not a data slot of c's objects).
    KvoEntryCursor(KvoClass* c, std::int32_t slot);
    KvoEntryCursor(const KvoEntryCursor&) = delete;
    KvoEntryCursor& operator=(const KvoEntryCursor&) = delete;
    // Stops designating its entry.
    ~KvoEntryCursor() override;

    // The designated entry; null at the end and when lost.
    KvoDictionaryEntry* getEntry() const noexcept { return m_entry; }
    // True when the designated entry went away; cleared by designate().
    bool isLost() const noexcept { return m_lost; }
    // Designates entry (null: the end). An entry that is in no dictionary cannot be watched and
    // leaves the cursor at the end.
    void designate(KvoDictionaryEntry* entry);

private:
    friend class KvoDictionaryEntry;
    // Called by a dying entry: the cursor is lost.
    void entryGone() noexcept;
    void detach() noexcept;
    void mirror(const KvoValue& value) noexcept;

    KvoDictionaryEntry* m_entry = nullptr;
    // The other cursors of the same entry (a doubly linked list headed in the entry).
    KvoEntryCursor* m_prevCursor = nullptr;
    KvoEntryCursor* m_nextCursor = nullptr;
    std::int32_t m_slot;
    bool m_lost = false;
};
