// Dictionary list, hash index and ordered index. The list is doubly linked through the entries'
// private back links so that unlinking needs no walk; m_first/m_next keep the designed order.
#include "values/KvoDictionary.h"

#include <atomic>
#include <cstring>
#include <set>

#include "platform/KvoMemory.h"
#include "values/KvoEntryCursor.h"
#include "platform/KvoText.h"

namespace {

constexpr std::uint32_t INITIAL_BUCKETS = 8;

const KvoChar* keyText(const KvoDictionaryEntry* entry) noexcept
{
    return entry->getKey()->c_str();
}

// Whether an entry's key has the text of key: compared inline when both lengths are known.
bool sameKeyText(const KvoString& entryKey, const KvoString& key) noexcept
{
    if (entryKey.lengthKnown() && key.lengthKnown())
        return entryKey.sameKnownText(key);
    return kvoStrCmp(entryKey.c_str(), key.c_str()) == 0;
}

} // namespace

// ---- Entries ----------------------------------------------------------------------------------

void* KvoDictionaryEntry::operator new(std::size_t size)
{
    return allocmem(size);
}

void KvoDictionaryEntry::operator delete(void* block) noexcept
{
    freemem(block);
}

KvoDictionaryEntry::KvoDictionaryEntry(KvoString* key, const KvoValue& value, KvoSymbolType type)
    : m_symbolType(type), m_key(key), m_value(value)
{
    if (m_key)
        m_key->addRef();
}

KvoDictionaryEntry::KvoDictionaryEntry(const KvoString& key, const KvoValue& value, KvoSymbolType type)
    : m_symbolType(type), m_key(new KvoString(key)), m_value(value)
{
    m_key->addRef();
}

KvoDictionaryEntry::KvoDictionaryEntry(const KvoDictionaryEntry& other)
    : m_symbolType(other.m_symbolType), m_key(other.m_key), m_value(other.m_value)
{
    if (m_key)
        m_key->addRef();
}

KvoDictionaryEntry::~KvoDictionaryEntry()
{
    while (KvoEntryCursor* cursor = m_cursors) {
        m_cursors = cursor->m_nextCursor;
        cursor->entryGone();
    }
    if (m_dictionary)
        m_dictionary->unlink(this);
    if (m_key)
        m_key->release();
    m_value.dispose();
}

KvoDictionaryEntry& KvoDictionaryEntry::operator=(const KvoDictionaryEntry& other)
{
    if (this == &other)
        return *this;
    if (!m_dictionary && m_key != other.m_key) {
        if (other.m_key)
            other.m_key->addRef();
        KvoString* old = m_key;
        m_key = other.m_key;
        if (old)
            old->release();
    }
    m_symbolType = other.m_symbolType;
    m_value = other.m_value;
    return *this;
}

KvoDictionaryEntry& KvoDictionaryEntry::operator=(const KvoValue& value)
{
    m_value = value;
    return *this;
}

// ---- Ordered index ------------------------------------------------------------------------------

// Orders entries by key text, then by insertion, so that equal keys keep their list order.
struct KvoDictionary::OrderIndex {
    struct Probe {
        const KvoChar* key;
        std::uint64_t sequence;
    };
    struct Less {
        using is_transparent = void;
        static bool before(const KvoChar* a, std::uint64_t sa, const KvoChar* b, std::uint64_t sb) noexcept
        {
            int c = kvoStrCmp(a, b);
            return c < 0 || (c == 0 && sa < sb);
        }
        bool operator()(const KvoDictionaryEntry* a, const KvoDictionaryEntry* b) const noexcept
        {
            return before(orderKeyOf(a), sequenceOf(a), orderKeyOf(b), sequenceOf(b));
        }
        bool operator()(const KvoDictionaryEntry* a, const Probe& b) const noexcept
        {
            return before(orderKeyOf(a), sequenceOf(a), b.key, b.sequence);
        }
        bool operator()(const Probe& a, const KvoDictionaryEntry* b) const noexcept
        {
            return before(a.key, a.sequence, orderKeyOf(b), sequenceOf(b));
        }
    };
    std::set<KvoDictionaryEntry*, Less> entries;

    // The last entry whose key is not greater than key (the designed insertion predecessor),
    // or null when the new entry becomes the head.
    KvoDictionaryEntry* predecessorOf(const KvoChar* key) const
    {
        auto it = entries.upper_bound(Probe{key, UINT64_MAX});
        return it == entries.begin() ? nullptr : *std::prev(it);
    }
};

// ---- Dictionary ---------------------------------------------------------------------------------

KvoDictionary::KvoDictionary(bool sorted) : m_sorted(sorted)
{
    if (m_sorted)
        m_order = new OrderIndex;
}

KvoDictionary::~KvoDictionary()
{
    clear();
    freemem(m_buckets);
    delete m_order;
}

void KvoDictionary::setOwnerClass(KvoClass* owner) noexcept
{
    m_ownerClass = owner;
    bumpMemberVersion();
}

std::atomic<std::uint64_t> KvoDictionary::s_memberVersion{0};

void KvoDictionary::bumpMemberVersion() noexcept
{
    s_memberVersion.fetch_add(1, std::memory_order_relaxed);
}

KvoDictionaryEntry* KvoDictionary::findText(const KvoChar* key, std::uint32_t hash) const noexcept
{
    if (m_bucketCount == 0)
        return nullptr;
    for (KvoDictionaryEntry* e = m_buckets[hash & (m_bucketCount - 1)]; e; e = e->m_hashNext) {
        if (e->m_hash == hash && kvoStrCmp(keyText(e), key) == 0)
            return e;
    }
    return nullptr;
}

KvoDictionaryEntry* KvoDictionary::find(const KvoString& key) const noexcept
{
    if (m_bucketCount == 0)
        return nullptr;
    // The key's remembered hash spares hashing its text; the entry's stored hash is compared
    // before anything else, and the very key object of an entry matches without comparing text
    // (it is the text compared, so the outcome is the same as findText's).
    std::uint32_t hash = key.hash();
    for (KvoDictionaryEntry* e = m_buckets[hash & (m_bucketCount - 1)]; e; e = e->m_hashNext) {
        if (e->m_hash == hash && (e->m_key == &key || sameKeyText(*e->m_key, key)))
            return e;
    }
    return nullptr;
}

KvoDictionaryEntry* KvoDictionary::find(const KvoChar* key) const noexcept
{
    if (!key)
        return nullptr;
    return findText(key, KvoString::hashText(key));
}

KvoDictionaryEntry* KvoDictionary::operator[](KvoString* key)
{
    if (!key)
        return nullptr;
    auto* entry = new KvoDictionaryEntry(key, KvoValue(), SYM_NONE);
    link(entry);
    return entry;
}

KvoDictionaryEntry* KvoDictionary::operator[](const KvoString& key)
{
    if (KvoDictionaryEntry* existing = find(key))
        return existing;
    auto* entry = new KvoDictionaryEntry(key, KvoValue(), SYM_NONE);
    link(entry);
    return entry;
}

KvoDictionaryEntry* KvoDictionary::operator[](const KvoChar* key)
{
    if (!key)
        return nullptr;
    if (KvoDictionaryEntry* existing = find(key))
        return existing;
    auto* entry = new KvoDictionaryEntry(new KvoString(key), KvoValue(), SYM_NONE);
    link(entry);
    return entry;
}

void KvoDictionary::link(KvoDictionaryEntry* entry)
{
    // Grow the hash index first: a rehash walks the list, which must not hold the new entry yet.
    if (m_count + 1 > m_bucketCount)
        rehash(m_bucketCount ? m_bucketCount * 2 : INITIAL_BUCKETS);
    entry->m_dictionary = this;
    entry->m_sequence = m_nextSequence++;
    entry->m_hash = entry->m_key->hash();
    KvoDictionaryEntry* prev = m_sorted ? m_order->predecessorOf(keyText(entry)) : m_last;
    KvoDictionaryEntry* next = prev ? prev->m_next : m_first;
    entry->m_prev = prev;
    entry->m_next = next;
    if (prev)
        prev->m_next = entry;
    else
        m_first = entry;
    if (next)
        next->m_prev = entry;
    else
        m_last = entry;
    if (m_sorted) {
        // The index orders by a private copy of the key, so that a key string changed in place
        // can never break the ordered set (and with it the unlinking of its entries).
        std::size_t length = kvoStrLen(keyText(entry));
        entry->m_orderKey = static_cast<KvoChar*>(allocmem((length + 1) * sizeof(KvoChar)));
        std::memcpy(entry->m_orderKey, keyText(entry), (length + 1) * sizeof(KvoChar));
        m_order->entries.insert(entry);
    }
    hashInsert(entry);
    ++m_count;
    if (m_ownerClass)
        bumpMemberVersion();
}

void KvoDictionary::unlink(KvoDictionaryEntry* entry) noexcept
{
    hashRemove(entry);
    if (m_sorted) {
        m_order->entries.erase(entry);
        freemem(entry->m_orderKey);
        entry->m_orderKey = nullptr;
    }
    if (entry->m_prev)
        entry->m_prev->m_next = entry->m_next;
    else
        m_first = entry->m_next;
    if (entry->m_next)
        entry->m_next->m_prev = entry->m_prev;
    else
        m_last = entry->m_prev;
    entry->m_prev = nullptr;
    entry->m_next = nullptr;
    entry->m_dictionary = nullptr;
    --m_count;
    if (m_ownerClass)
        bumpMemberVersion();
}

void KvoDictionary::hashInsert(KvoDictionaryEntry* entry)
{
    // Entries with equal keys chain in list order: the new entry goes after the last equal key
    // that precedes it in the list. In an unsorted dictionary, and among equal keys of a sorted
    // one, list order is insertion order, so appending at the chain's end keeps that.
    KvoDictionaryEntry** slot = &m_buckets[entry->m_hash & (m_bucketCount - 1)];
    while (*slot)
        slot = &(*slot)->m_hashNext;
    entry->m_hashNext = nullptr;
    *slot = entry;
}

void KvoDictionary::hashRemove(KvoDictionaryEntry* entry) noexcept
{
    if (m_bucketCount == 0)
        return;
    KvoDictionaryEntry** slot = &m_buckets[entry->m_hash & (m_bucketCount - 1)];
    while (*slot && *slot != entry)
        slot = &(*slot)->m_hashNext;
    if (*slot)
        *slot = entry->m_hashNext;
    entry->m_hashNext = nullptr;
}

void KvoDictionary::rehash(std::uint32_t bucketCount)
{
    auto** buckets = static_cast<KvoDictionaryEntry**>(allocmem(sizeof(KvoDictionaryEntry*) * bucketCount));
    auto** tails = static_cast<KvoDictionaryEntry**>(allocmem(sizeof(KvoDictionaryEntry*) * bucketCount));
    std::memset(buckets, 0, sizeof(KvoDictionaryEntry*) * bucketCount);
    std::memset(tails, 0, sizeof(KvoDictionaryEntry*) * bucketCount);
    // Walking the list in order keeps every chain in list order.
    for (KvoDictionaryEntry* e = m_first; e; e = e->m_next) {
        std::uint32_t b = e->m_hash & (bucketCount - 1);
        e->m_hashNext = nullptr;
        if (tails[b])
            tails[b]->m_hashNext = e;
        else
            buckets[b] = e;
        tails[b] = e;
    }
    freemem(tails);
    freemem(m_buckets);
    m_buckets = buckets;
    m_bucketCount = bucketCount;
}

bool KvoDictionary::erase(KvoDictionaryEntry* entry)
{
    if (!entry || !m_first || entry->m_dictionary != this)
        return false;
    unlink(entry);
    delete entry;
    return true;
}

void KvoDictionary::clear()
{
    while (m_first) {
        KvoDictionaryEntry* entry = m_first;
        unlink(entry);
        delete entry;
    }
}
