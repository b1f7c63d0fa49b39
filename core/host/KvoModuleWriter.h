// KvoModuleWriter: writes a machine's three module dictionaries, or one value, in the encoding of
// KvoModuleFormat.h. One instance serves one write.
//
// The writer walks a value graph with a work list of its own instead of native recursion: a
// container being written is a step on m_steps (its next element, its next dictionary entry, the
// next part of a class definition), so the nesting a write can handle does not depend on the
// size of the thread's stack.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "values/KvoValue.h"

class KvoClass;
class KvoDictionary;
class KvoDictionaryEntry;
class KvoRefObject;
class KvoVector;
class KvoVirtualMachine;

class KvoModuleWriter
{
public:
    KvoModuleWriter(KvoVirtualMachine& vm, std::FILE* file);
    KvoModuleWriter(const KvoModuleWriter&) = delete;
    KvoModuleWriter& operator=(const KvoModuleWriter&) = delete;

    // The module, native modules, classes and symbols; false (after a message) on any failure.
    bool writeModule();
    // One value record; a class in it is written by name only.
    bool writeSingle(const KvoValue& value);

private:
    // The ids of the objects written so far: an open-addressing table keyed by address (a write
    // meets every object of a large graph once or more, so this lookup is the writer's hot path).
    class ObjectIds
    {
    public:
        ObjectIds() : m_slots(1024) {}
        // The id of object, given id when it is new; second is true when it was new.
        std::pair<std::uint32_t, bool> insert(const void* object, std::uint32_t id);

    private:
        struct Slot {
            const void* object = nullptr;
            std::uint32_t id = 0;
        };
        Slot& find(const void* object);
        void grow();

        std::vector<Slot> m_slots; // size a power of two, at most half full
        std::size_t m_count = 0;
    };

    // A container whose contents are being written.
    struct Step {
        enum class Kind : std::uint8_t {
            ELEMENTS, // vector elements or object members from next on
            ENTRIES,  // dictionary entries from entry on, then the terminator
            CLASS     // a class definition: data members, function members, size
        };
        explicit Step(Kind k) : kind(k) {}

        Kind kind;
        int depth = 0;                             // depth of the container's own value
        const KvoVector* vector = nullptr;         // ELEMENTS
        std::uint32_t next = 0;                    // ELEMENTS: next element; CLASS: next part
        const KvoDictionary* dictionary = nullptr; // ENTRIES
        const KvoDictionaryEntry* entry = nullptr; // ENTRIES: next entry to consider
        const KvoDictionaryEntry* open = nullptr;  // ENTRIES: entry whose value is being written
        bool machineLevel = false;                 // ENTRIES: the machine's classes or symbols
        KvoClass* cls = nullptr;                   // CLASS
    };

    // ---- bytes ----
    void putByte(std::uint8_t b);
    void putU32(std::uint32_t v);
    void putU64(std::uint64_t v);
    void putBytes(const std::uint8_t* bytes, std::size_t count);
    void putChars(const KvoChar* text, std::size_t count);
    void putString(const KvoChar* text);
    void flush();
    bool finish();

    // ---- records ----
    // Writes one dictionary record (the top level of a module) to its end.
    bool writeDictionaryRecord(const KvoDictionary& dictionary);
    // Writes the sorted flag and starts the entries of dictionary, whose value is at depth.
    void beginDictionary(const KvoDictionary& dictionary, int depth);
    // Writes the next piece of the top step; false on failure.
    bool advance();
    bool advanceEntries(Step& step);
    bool advanceClass(Step& step);
    // Works until the steps run out; on a failure reports the entries being written, innermost
    // first, and drops the steps.
    bool drain();
    bool putObjectId(const KvoRefObject* object);
    // Writes value's type, flags and body; a container's contents become a step. classEntry:
    // value is that of an entry of the machine's class dictionary.
    bool writeValue(const KvoValue& value, bool nested, int depth, bool classEntry = false);
    bool writeClass(KvoClass& c, bool nested, int depth, bool classEntry);
    std::u16string dictionaryName(const KvoDictionary* dictionary) const;
    const KvoChar* fileKey(void* file);
    const KvoChar* codeKey(KvoNativeFunc code);
    void buildSymbolIndex();

    KvoVirtualMachine& m_vm;
    std::FILE* m_file;
    std::vector<std::uint8_t> m_out;
    bool m_failed = false;
    bool m_nestingReported = false;
    std::vector<Step> m_steps;
    // Objects written so far and their ids. Nothing is freed during a write (no script runs),
    // so an address stays unique for the whole write.
    ObjectIds m_ids;
    std::uint32_t m_nextId = 1;
    std::unordered_set<const KvoClass*> m_fullClasses;
    std::unordered_set<const KvoClass*> m_registered; // the classes of the class dictionary
    bool m_symbolIndexBuilt = false;
    std::unordered_map<void*, const KvoChar*> m_fileKeys;
    std::unordered_map<KvoNativeFunc, const KvoChar*> m_codeKeys;
};
