// KvoModuleReader: reads a module (native modules, classes, global symbols) into a machine, or one
// value record, in the encoding of KvoModuleFormat.h. One instance serves one read.
//
// The file is untrusted data: every count is checked against the bytes that are left (or, on a
// stream of unknown length, storage grows only as data arrives), back references must name an
// object of the same kind, and a non-owning value whose object would die when the read ends is
// cleared. A failed read returns false and leaves what the machine held before intact.
//
// The reader builds new objects while it reads and keeps every one of them alive until the read
// ends; places to be filled later (back references, variable references, classes named before
// their definition) are recorded as slots (a vector and an index, or the address of a dictionary
// entry's value or of the caller's value), which stay valid because no container is freed or
// shrunk before the read ends.
//
// Containers are read with a work list of their own instead of native recursion: a container
// being filled is a frame on m_frames, so the nesting a read can handle does not depend on the
// size of the thread's stack.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "host/KvoModuleFormat.h"
#include "values/KvoValue.h"

class KvoClass;
class KvoDictionary;
class KvoDictionaryEntry;
class KvoRefObject;
class KvoVector;
class KvoVirtualMachine;

// A byte source over a stream that knows how many bytes are left when the stream can tell its
// length, so that no count in the file makes the reader allocate more than the file can fill.
// A stream that can seek is read ahead in blocks; what was read ahead but not used is given
// back (the stream is positioned right after the last byte used) when the source goes away. A
// stream that cannot seek is read byte by byte, so that nothing after the record is consumed.
class KvoModuleInput
{
public:
    explicit KvoModuleInput(std::FILE* file);
    ~KvoModuleInput();
    KvoModuleInput(const KvoModuleInput&) = delete;
    KvoModuleInput& operator=(const KvoModuleInput&) = delete;

    bool lengthKnown() const noexcept { return m_lengthKnown; }
    // False when fewer than count bytes can still follow.
    bool mayHold(std::uint64_t count) const noexcept { return !m_lengthKnown || count <= m_remaining; }

    bool byte(std::uint8_t& b);
    bool u32(std::uint32_t& v);
    bool u64(std::uint64_t& v);
    // Exactly count bytes into out.
    bool readBytes(std::uint8_t* out, std::size_t count);

private:
    bool refill();
    void consumed(std::uint64_t count) noexcept { m_remaining = count <= m_remaining ? m_remaining - count : 0; }

    std::FILE* m_file;
    std::uint64_t m_remaining = UINT64_MAX;
    bool m_lengthKnown = false;
    std::vector<std::uint8_t> m_buffer;
    std::size_t m_next = 0; // next unused byte of m_buffer
    std::size_t m_end = 0;  // end of the bytes read into m_buffer
};

class KvoModuleReader
{
public:
    KvoModuleReader(KvoVirtualMachine& vm, std::FILE* file);
    KvoModuleReader(const KvoModuleReader&) = delete;
    KvoModuleReader& operator=(const KvoModuleReader&) = delete;

    // Loads the native modules the file names, then adds its classes and symbols to the machine.
    bool readModule();
    // One value record into target; false (target null, nothing kept) when it cannot be read.
    bool readSingle(KvoValue& target);

private:
    // A place to fill: element index of vector, or the value at address (an entry's value or the
    // caller's value). Both stay valid until the read ends.
    struct Slot {
        KvoVector* vector = nullptr;
        std::uint32_t index = 0;
        KvoValue* value = nullptr;

        KvoValue& get() const;
    };

    // A container being filled.
    struct Frame {
        enum class Kind : std::uint8_t {
            ELEMENTS, // vector elements or object members: next up to count
            ENTRIES,  // dictionary entries up to the terminator
            CLASS     // a class definition: data members, function members, size
        };
        explicit Frame(Kind k) : kind(k) {}

        Kind kind;
        int depth = 0;                                 // depth of the container's own value
        KvoVector* vector = nullptr;                   // ELEMENTS
        std::uint32_t next = 0;                        // ELEMENTS: next element; CLASS: next part
        std::uint32_t count = 0;                       // ELEMENTS
        bool grows = false;                            // ELEMENTS: elements are appended
        KvoDictionary* dictionary = nullptr;           // ENTRIES
        std::vector<KvoDictionaryEntry*>* roots = nullptr; // ENTRIES: the machine's dictionaries
        KvoClass* cls = nullptr;                       // CLASS
        Slot slot;                                     // CLASS: where the class goes
        std::uint8_t flags = 0;                        // CLASS: flags of its value
        bool reference = false;                        // CLASS: a KVT_CLASSREF value
        bool linked = true;                            // CLASS: the base class is known
        std::uint32_t unlinked = 0;                    // CLASS: its record in m_unlinked
    };

    // A new object read under an id.
    struct Known {
        KvoRefObject* object;
        kvo_module::Family family;
    };
    struct BackRef {
        std::uint32_t id;
        Slot slot;
    };
    struct VarRef {
        Slot slot;
        std::u16string dictionary;
        std::u16string key;
        std::uint8_t flags;
    };
    // A class named in the class dictionary before its definition: filled in once the whole
    // class dictionary is read.
    struct ClassRef {
        Slot slot;
        std::u16string name;
        bool reference;
        std::uint8_t flags;
        KvoDictionaryEntry* root; // the machine's entry whose value holds the slot
        bool placeholder;         // root was an undefined entry that the module defines
    };
    // A class of the class dictionary whose base class comes later there: joined to its base
    // once the whole class dictionary is read, and checked then.
    struct Unlinked {
        KvoClass* cls;
        std::u16string baseName;
        std::uint32_t size; // the instance data size stored with the definition
        KvoDictionaryEntry* root;
        bool placeholder;
        bool complete; // the definition was read to its end
    };

    // ---- strings and dictionaries ----
    bool readString(std::u16string& out);
    bool readStringBody(std::uint8_t size, std::u16string& out);
    bool readSortedFlag(std::uint8_t& sorted);
    // Reads one dictionary record (the top level of a module) into dictionary.
    bool readDictionaryRecord(KvoDictionary& dictionary, std::vector<KvoDictionaryEntry*>* roots);
    static KvoDictionaryEntry* undefinedEntry(KvoDictionary& dictionary, const std::u16string& key);
    void beginEntries(KvoDictionary& dictionary, std::vector<KvoDictionaryEntry*>* roots, int depth);

    // ---- the work list ----
    // Works until the frames run out; false (frames dropped) at the first failure.
    bool drain();
    bool advance();
    bool advanceElements(Frame& frame);
    bool advanceEntries(Frame& frame);
    bool advanceClass(Frame& frame);

    // ---- values ----
    std::uint8_t* scratch();
    void keep(std::uint32_t id, const KvoValue& value, bool hasId = true);
    void store(const Slot& slot, KvoValue&& v, std::uint8_t flags);
    void noteReference(const Slot& slot, const KvoValue& value);
    bool backReference(const Slot& slot, std::uint32_t id, KvoValueType type, std::uint8_t flags);
    // Reads a value's type, flags and body into slot; a container's contents become a frame.
    bool readValue(const Slot& slot, bool nested, int depth);
    bool readSymbolValue(const Slot& slot, KvoValueType type, std::uint8_t flags);
    bool readVector(const Slot& slot, KvoValueType type, std::uint8_t flags, int depth);
    bool readBuffer(const Slot& slot, KvoValueType type, std::uint8_t flags);
    bool readCharBuffer(const Slot& slot, KvoValueType type, std::uint8_t flags);
    KvoClass* findClass(const std::u16string& name, bool report);
    bool readClass(const Slot& slot, KvoValueType type, std::uint8_t flags, bool nested, int depth);
    static bool checkDataMembers(KvoClass& c);
    bool readObject(const Slot& slot, KvoValueType type, std::uint8_t flags, int depth);

    // ---- after the class dictionary ----
    bool finishClasses(bool ok);
    bool linkClasses();
    bool linkClass(const Unlinked& unlinked, KvoClass* base);
    bool isUnlinked(const KvoClass* c) const;
    bool resolveClassReferences(bool report);
    void failRoot(KvoDictionaryEntry* root, bool placeholder);

    // ---- the end of a read ----
    void resolve();
    void dropFailedEntries();
    void forgetPlaces(KvoDictionaryEntry* entry);
    void emptyFailedClasses();
    KvoDictionary* dictionaryNamed(const std::u16string& name);
    void resolveVariables();
    void resolveBackReferences();
    void sweepUnreachable();
    void clearLists();

    KvoVirtualMachine& m_vm;
    KvoModuleInput m_in;
    bool m_reported = false;
    bool m_nestingReported = false;
    bool m_mayLeaveGarbage = false; // new objects may be unreachable when the read ends
    std::vector<Frame> m_frames;
    std::unordered_map<std::uint32_t, Known> m_objects;
    std::vector<KvoValue> m_keep;
    std::unordered_set<const KvoRefObject*> m_created;
    std::vector<BackRef> m_backRefs;
    std::vector<VarRef> m_vars;
    std::vector<Slot> m_refSlots;
    // What stays after the read: the entries entered into the machine, or the caller's value.
    std::vector<KvoDictionaryEntry*> m_roots;
    KvoValue* m_rootValue = nullptr;
    // The machine's entry whose value is being read, and whether it was an undefined entry.
    KvoDictionaryEntry* m_currentRoot = nullptr;
    bool m_currentPlaceholder = false;
    std::vector<KvoDictionaryEntry*> m_failedEntries;      // entries of the machine left half read
    std::vector<KvoDictionaryEntry*> m_failedPlaceholders; // undefined entries left half read
    std::vector<KvoClass*> m_failedClasses;                // kept alive by m_keep
    // While the class dictionary of a module is read, a class may be named before it is defined.
    bool m_readingClasses = false;
    std::vector<ClassRef> m_classRefs;
    std::vector<Unlinked> m_unlinked;
    std::vector<std::uint8_t> m_scratch;
};
