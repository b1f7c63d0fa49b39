// Cursors on dictionary entries. Each entry heads the list of the cursors that designate it and
// calls entryGone() on each of them before it is freed.
#include "values/KvoEntryCursor.h"

KvoEntryCursor::KvoEntryCursor(KvoClass* c, std::int32_t slot) : KvoObject(c), m_slot(slot)
{
    const KvoVector* members = getMemberData();
    if (!members || m_slot < 1 || static_cast<std::uint32_t>(m_slot) >= members->size())
        m_slot = -1;
}

KvoEntryCursor::~KvoEntryCursor()
{
    detach();
}

void KvoEntryCursor::designate(KvoDictionaryEntry* entry)
{
    detach();
    m_lost = false;
    if (entry && entry->getDictionary()) {
        m_entry = entry;
        m_nextCursor = entry->m_cursors;
        if (m_nextCursor)
            m_nextCursor->m_prevCursor = this;
        entry->m_cursors = this;
        mirror(KvoValue(entry));
    } else {
        mirror(KvoValue());
    }
}

void KvoEntryCursor::entryGone() noexcept
{
    // The entry unhooks the whole list itself; only this cursor's own state changes here.
    m_entry = nullptr;
    m_prevCursor = nullptr;
    m_nextCursor = nullptr;
    m_lost = true;
    mirror(KvoValue(static_cast<KvoDictionaryEntry*>(nullptr)));
}

void KvoEntryCursor::detach() noexcept
{
    if (!m_entry)
        return;
    if (m_prevCursor)
        m_prevCursor->m_nextCursor = m_nextCursor;
    else
        m_entry->m_cursors = m_nextCursor;
    if (m_nextCursor)
        m_nextCursor->m_prevCursor = m_prevCursor;
    m_entry = nullptr;
    m_prevCursor = nullptr;
    m_nextCursor = nullptr;
}

void KvoEntryCursor::mirror(const KvoValue& value) noexcept
{
    // Neither the old nor the new value owns anything (NULL or KVT_VAR), unless script code
    // stored something else in the slot: then the assignment releases that, which is safe here.
    if (m_slot >= 0)
        (*getMemberData())[static_cast<std::uint32_t>(m_slot)] = value;
}
