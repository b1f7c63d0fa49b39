// KvoDictionary: the symbol table. A linked list of entries binding a counted KvoString key to a
// KvoValue and a symbol kind, in insertion order or (sorted dictionaries) ascending key order.
// Keys need not be unique; a lookup finds the first matching entry in list order. The
// dictionary owns its entries: erasing or clearing deletes them.
//
// Beside the list the dictionary keeps indexes so that lookup, find-or-create and insertion
// never walk the list: a hash index from key text to the entries with that key (chained in list
// order, so the chain's first match is the list's first match), a tail pointer for appends, back
// links for unlinking, and, for sorted dictionaries, an ordered index that yields the insertion
// point. Every insertion, erase, clear and entry destruction updates them. Each entry keeps the
// hash it is indexed under, so that growing the index hashes nothing again and a lookup compares
// hashes before texts (and a key object with itself before its text). An entry is indexed
// under its key text at insertion: if that string is later changed in place, lookups by the new
// text may miss the entry, but the indexes stay sound and unlinking it stays safe.
#pragma once

#include <atomic>
#include <cstdint>

#include "values/KvoString.h"
#include "values/KvoValue.h"

class KvoDictionary;
class KvoEntryCursor;

// The kind of a dictionary entry.
enum KvoSymbolType : std::uint8_t {
    SYM_NONE = 0,       // fresh entry, not yet defined
    SYM_CLASS = 1,      // a class
    SYM_DATAMEMBER = 2, // an instance data member: the value is its slot index
    SYM_VARIABLE = 3,   // a global variable or a static data member
    SYM_METHOD = 4,     // an instance method
    SYM_FUNCTION = 5,   // a global function or a static method
};

class KVO_API KvoDictionaryEntry
{
public:
    // Shares the key (retained when non-null) and copies the value; the entry is in no list.
    KvoDictionaryEntry(KvoString* key, const KvoValue& value, KvoSymbolType type);
    // Takes a new copy of the key text.
    KvoDictionaryEntry(const KvoString& key, const KvoValue& value, KvoSymbolType type);
    // Shares the key; the copy is in no list.
    KvoDictionaryEntry(const KvoDictionaryEntry& other);
    // Tells the cursors that designate the entry that it is gone (KvoEntryCursor), unlinks it
    // from its dictionary, then releases the key and the value.
    virtual ~KvoDictionaryEntry();

    // Copies value and kind; the key too, unless this entry is in a dictionary.
    KvoDictionaryEntry& operator=(const KvoDictionaryEntry& other);
    // Replaces the value only.
    KvoDictionaryEntry& operator=(const KvoValue& value);

    KvoString* getKey() const noexcept { return m_key; }
    KvoValue& getValue() noexcept { return m_value; }
    const KvoValue& getValue() const noexcept { return m_value; }
    void setValue(const KvoValue& value) { m_value = value; }
    KvoSymbolType getSymbolType() const noexcept { return m_symbolType; }
    void setSymbolType(KvoSymbolType type) noexcept { m_symbolType = type; }
    KvoDictionary* getDictionary() const noexcept { return m_dictionary; }
    KvoDictionaryEntry* getNext() const noexcept { return m_next; }

    static void* operator new(std::size_t size);
    static void operator delete(void* block) noexcept;

private:
    friend class KvoDictionary;
    friend class KvoEntryCursor;

    KvoSymbolType m_symbolType;
    KvoString* m_key;
    KvoValue m_value;
    KvoDictionary* m_dictionary = nullptr;
    KvoDictionaryEntry* m_next = nullptr;

    // Index bookkeeping, valid while the entry is in a dictionary.
    KvoDictionaryEntry* m_prev = nullptr;
    KvoDictionaryEntry* m_hashNext = nullptr;
    std::uint64_t m_sequence = 0; // insertion order, orders equal keys in the sorted index
    KvoChar* m_orderKey = nullptr; // sorted dictionaries: the key text as indexed (a private copy)
    std::uint32_t m_hash = 0;
    KvoEntryCursor* m_cursors = nullptr; // the cursors designating this entry
};

class KVO_API KvoDictionary : public KvoRefObject
{
public:
    explicit KvoDictionary(bool sorted = false);
    KvoDictionary(const KvoDictionary&) = delete;
    KvoDictionary& operator=(const KvoDictionary&) = delete;
    ~KvoDictionary() override;

    KvoDictionaryEntry* getFirst() const noexcept { return m_first; }
    bool isSorted() const noexcept { return m_sorted; }
    // The class whose member dictionary this is (not counted), or null.
    KvoClass* getOwnerClass() const noexcept { return m_ownerClass; }
    // Changing the owner changes memberVersion().
    void setOwnerClass(KvoClass* owner) noexcept;

    // A process-wide number that changes whenever an entry is linked into or unlinked from a
    // dictionary owned by a class, and whenever a dictionary's owner changes (a class dies).
    // Method-lookup caches compare it to know that a remembered lookup still holds.
    static std::uint64_t memberVersion() noexcept { return s_memberVersion.load(std::memory_order_relaxed); }

    // The first entry whose key equals key, or null.
    KvoDictionaryEntry* find(const KvoString& key) const noexcept;
    // find(key), without a call, for a key whose hash is remembered when every key text it
    // meets has a known length; else null, as for a missing key (find decides then).
    [[gnu::always_inline]] KvoDictionaryEntry* findWithoutCall(const KvoString& key) const noexcept
    {
        if (m_bucketCount == 0 || !key.hashRemembered() || !key.lengthKnown())
            return nullptr;
        std::uint32_t hash = key.rememberedHash();
        for (KvoDictionaryEntry* e = m_buckets[hash & (m_bucketCount - 1)]; e; e = e->m_hashNext) {
            if (e->m_hash != hash)
                continue;
            const KvoString* entryKey = e->m_key;
            if (entryKey == &key)
                return e;
            if (!entryKey || !entryKey->lengthKnown())
                return nullptr;
            if (entryKey->sameKnownText(key))
                return e;
        }
        return nullptr;
    }
    KvoDictionaryEntry* find(const KvoChar* key) const noexcept;
    // Creates a new entry for this very key object (shared), NULL value, SYM_NONE, without
    // looking for an existing one: at the end, or in a sorted dictionary after any equal keys.
    // A null key creates nothing and returns null.
    KvoDictionaryEntry* operator[](KvoString* key);
    // The existing entry with an equal key, or a new one (copy of the key, NULL, SYM_NONE).
    KvoDictionaryEntry* operator[](const KvoString& key);
    KvoDictionaryEntry* operator[](const KvoChar* key);
    // Unlinks and deletes the entry; false when it is null or not in this dictionary.
    bool erase(KvoDictionaryEntry* entry);
    bool erase(const KvoString& key) { return erase(find(key)); }
    // Deletes every entry, from the head.
    void clear();
    // Number of entries (constant time).
    std::uint32_t count() const noexcept { return m_count; }

private:
    // See memberVersion. Atomic because machines on different threads share it.
    static std::atomic<std::uint64_t> s_memberVersion;
    // Changes memberVersion.
    static void bumpMemberVersion() noexcept;
    friend class KvoDictionaryEntry;

    struct OrderIndex; // ordered index of a sorted dictionary
    static std::uint64_t sequenceOf(const KvoDictionaryEntry* entry) noexcept { return entry->m_sequence; }
    static const KvoChar* orderKeyOf(const KvoDictionaryEntry* entry) noexcept { return entry->m_orderKey; }

    KvoDictionaryEntry* findText(const KvoChar* key, std::uint32_t hash) const noexcept;
    void link(KvoDictionaryEntry* entry);
    void unlink(KvoDictionaryEntry* entry) noexcept;
    void hashInsert(KvoDictionaryEntry* entry);
    void hashRemove(KvoDictionaryEntry* entry) noexcept;
    void rehash(std::uint32_t bucketCount);

    KvoClass* m_ownerClass = nullptr;
    KvoDictionaryEntry* m_first = nullptr;
    bool m_sorted;

    KvoDictionaryEntry* m_last = nullptr;
    std::uint32_t m_count = 0;
    std::uint64_t m_nextSequence = 0;
    KvoDictionaryEntry** m_buckets = nullptr; // runtime-heap array of chain heads
    std::uint32_t m_bucketCount = 0;          // 0 or a power of two
    OrderIndex* m_order = nullptr;            // sorted dictionaries only
};
