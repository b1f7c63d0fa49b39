// Reading module files and single value records (see KvoModuleFormat.h for the encoding and
// KvoModuleReader.h for the rules the reader keeps).
#include "host/KvoModuleReader.h"

#include <algorithm>
#include <cstring>

#include "host/KvoDictionaryIO.h"
#include "host/KvoVirtualMachine.h"
#include "values/KvoBuffer.h"
#include "values/KvoCharBuffer.h"
#include "values/KvoClass.h"
#include "values/KvoDictionary.h"
#include "values/KvoObject.h"
#include "values/KvoString.h"
#include "values/KvoValueChildren.h"
#include "values/KvoVector.h"

using namespace kvo_module;

// ==== input ======================================================================================

KvoModuleInput::KvoModuleInput(std::FILE* file) : m_file(file)
{
    const long start = std::ftell(file);
    if (start >= 0 && std::fseek(file, 0, SEEK_END) == 0) {
        const long end = std::ftell(file);
        if (std::fseek(file, start, SEEK_SET) == 0 && end >= start) {
            m_remaining = static_cast<std::uint64_t>(end - start);
            m_lengthKnown = true;
        }
    }
    std::clearerr(file);
}

KvoModuleInput::~KvoModuleInput()
{
    if (m_next < m_end)
        std::fseek(m_file, -static_cast<long>(m_end - m_next), SEEK_CUR);
}

bool KvoModuleInput::byte(std::uint8_t& b)
{
    if (m_next == m_end && !refill())
        return false;
    b = m_buffer[m_next++];
    consumed(1);
    return true;
}

bool KvoModuleInput::u32(std::uint32_t& v)
{
    std::uint8_t bytes[4];
    if (!readBytes(bytes, 4))
        return false;
    v = std::uint32_t(bytes[0]) | (std::uint32_t(bytes[1]) << 8) | (std::uint32_t(bytes[2]) << 16) |
        (std::uint32_t(bytes[3]) << 24);
    return true;
}

bool KvoModuleInput::u64(std::uint64_t& v)
{
    std::uint8_t bytes[8];
    if (!readBytes(bytes, 8))
        return false;
    v = 0;
    for (int i = 7; i >= 0; --i)
        v = (v << 8) | bytes[i];
    return true;
}

bool KvoModuleInput::readBytes(std::uint8_t* out, std::size_t count)
{
    while (count > 0) {
        if (m_next == m_end && !refill())
            return false;
        const std::size_t n = std::min(count, m_end - m_next);
        std::memcpy(out, m_buffer.data() + m_next, n);
        m_next += n;
        out += n;
        count -= n;
        consumed(n);
    }
    return true;
}

bool KvoModuleInput::refill()
{
    const std::size_t want = m_lengthKnown ? std::min<std::uint64_t>(IO_CHUNK, m_remaining) : 1;
    if (want == 0)
        return false;
    m_buffer.resize(IO_CHUNK);
    const std::size_t got = std::fread(m_buffer.data(), 1, want, m_file);
    m_next = 0;
    m_end = got;
    return got > 0;
}

// ==== the reader =================================================================================

KvoValue& KvoModuleReader::Slot::get() const
{
    return vector ? (*vector)[index] : *value;
}

KvoModuleReader::KvoModuleReader(KvoVirtualMachine& vm, std::FILE* file) : m_vm(vm), m_in(file) {}

bool KvoModuleReader::readModule()
{
    KvoValue modules(new KvoDictionary(false));
    bool ok = readDictionaryRecord(*modules.getDictionary(), nullptr);
    // Objects in the module list's values are dropped with it.
    m_mayLeaveGarbage = !m_keep.empty();
    for (KvoDictionaryEntry* e = ok ? modules.getDictionary()->getFirst() : nullptr; e; e = e->getNext()) {
        if (!m_vm.loadNativeModule(keyText(*e))) {
            m_vm.printer()(MSG_NATIVE_MODULE, keyText(*e));
            m_reported = true;
            ok = false;
            break;
        }
    }
    if (ok) {
        // A method may name a class that the class dictionary holds further on, and a class
        // may derive from one further on: both are settled once the whole record is read.
        m_readingClasses = true;
        ok = readDictionaryRecord(m_vm.classes(), &m_roots);
        m_readingClasses = false;
        ok = finishClasses(ok);
    }
    ok = ok && readDictionaryRecord(m_vm.symbols(), &m_roots);
    // What was read stays, also after a failure: its references are resolved in any case.
    m_mayLeaveGarbage = m_mayLeaveGarbage || !ok;
    resolve();
    if (!ok && !m_reported)
        m_vm.printer()(MSG_DAMAGED);
    return ok;
}

bool KvoModuleReader::readSingle(KvoValue& target)
{
    target.dispose();
    const bool ok = readValue(Slot{nullptr, 0, &target}, true, 0) && drain();
    if (ok) {
        m_rootValue = &target;
        resolve();
    } else {
        // Without patched references the objects read form no cycles: dropping the target and
        // the working lists frees every one of them.
        target.dispose();
        emptyFailedClasses();
        clearLists();
    }
    return ok;
}

// ---- strings and dictionaries -------------------------------------------------------------------

// A string record; false for a bad character size or an end of file before the terminator.
bool KvoModuleReader::readString(std::u16string& out)
{
    std::uint8_t size;
    return m_in.byte(size) && readStringBody(size, out);
}

bool KvoModuleReader::readStringBody(std::uint8_t size, std::u16string& out)
{
    out.clear();
    if (size != 1 && size != 2)
        return false;
    for (;;) {
        std::uint8_t b[2] = {0, 0};
        if (!m_in.readBytes(b, size))
            return false;
        const KvoChar c = static_cast<KvoChar>(b[0] | (b[1] << 8));
        if (c == 0)
            return true;
        out.push_back(c);
    }
}

// The sorted flag that starts a dictionary record of the module or of a class; a missing byte is
// reported.
bool KvoModuleReader::readSortedFlag(std::uint8_t& sorted)
{
    if (m_in.byte(sorted))
        return true;
    m_vm.printer()(MSG_SORTED_FLAG);
    m_reported = true;
    return false;
}

bool KvoModuleReader::readDictionaryRecord(KvoDictionary& dictionary, std::vector<KvoDictionaryEntry*>* roots)
{
    std::uint8_t sorted;
    if (!readSortedFlag(sorted) || sorted > 1)
        return false;
    beginEntries(dictionary, roots, 0);
    return drain();
}

// The first entry for key when it is still undefined (no kind, NULL value), else null.
KvoDictionaryEntry* KvoModuleReader::undefinedEntry(KvoDictionary& dictionary, const std::u16string& key)
{
    KvoDictionaryEntry* entry = dictionary.find(key.c_str());
    if (entry && entry->getSymbolType() == SYM_NONE && entry->getValue().getType() == KVT_NULL)
        return entry;
    return nullptr;
}

// Entries are read until the terminator. roots: the dictionary is one of the machine's, whose
// entries stay after the read.
void KvoModuleReader::beginEntries(KvoDictionary& dictionary, std::vector<KvoDictionaryEntry*>* roots, int depth)
{
    Frame frame(Frame::Kind::ENTRIES);
    frame.depth = depth;
    frame.dictionary = &dictionary;
    frame.roots = roots;
    m_frames.push_back(frame);
}

// ---- the work list ------------------------------------------------------------------------------

bool KvoModuleReader::drain()
{
    while (!m_frames.empty()) {
        if (!advance()) {
            // A failure inside an entry of the machine fails the record; that entry is taken
            // out again at the end of the read.
            if (m_currentRoot)
                (m_currentPlaceholder ? m_failedPlaceholders : m_failedEntries).push_back(m_currentRoot);
            m_currentRoot = nullptr;
            m_frames.clear();
            return false;
        }
    }
    return true;
}

// readValue may push a frame, which moves the frames in memory: a frame is never used after it.
bool KvoModuleReader::advance()
{
    Frame& frame = m_frames.back();
    switch (frame.kind) {
    case Frame::Kind::ELEMENTS: return advanceElements(frame);
    case Frame::Kind::ENTRIES: return advanceEntries(frame);
    case Frame::Kind::CLASS: return advanceClass(frame);
    }
    return false;
}

bool KvoModuleReader::advanceElements(Frame& frame)
{
    if (frame.next >= frame.count) {
        m_frames.pop_back();
        return true;
    }
    KvoVector* vector = frame.vector;
    const std::uint32_t index = frame.next++;
    const int depth = frame.depth;
    if (frame.grows)
        vector->push_back(KvoValue());
    return readValue(Slot{vector, index, nullptr}, true, depth + 1);
}

// Each entry is a new entry holding the key object read, inserted without looking for an
// existing one. A failure inside an entry fails the record.
bool KvoModuleReader::advanceEntries(Frame& frame)
{
    std::vector<KvoDictionaryEntry*>* roots = frame.roots;
    if (roots)
        m_currentRoot = nullptr; // the previous entry is complete
    std::u16string key;
    if (!readString(key))
        return false;
    if (key.empty()) {
        m_frames.pop_back();
        return true;
    }
    std::uint32_t kind;
    if (!m_in.u32(kind) || kind > SYM_FUNCTION)
        return false;
    KvoDictionary& dictionary = *frame.dictionary;
    const int depth = frame.depth;
    // A name that compiled code refers to but nothing defined yet (created by the compiler as an
    // empty entry) is defined by the module in place, so that code compiled before a loadmodule
    // call finds what the module brings.
    KvoDictionaryEntry* entry = roots ? undefinedEntry(dictionary, key) : nullptr;
    const bool placeholder = entry != nullptr;
    if (!entry)
        entry = dictionary[new KvoString(key.c_str(), key.size())];
    entry->setSymbolType(static_cast<KvoSymbolType>(kind));
    if (roots) {
        roots->push_back(entry);
        m_currentRoot = entry;
        m_currentPlaceholder = placeholder;
    }
    return readValue(Slot{nullptr, 0, &entry->getValue()}, false, depth + 1);
}

// A class definition: its data members, then (with the class stored where it belongs, so that
// its methods find it by name) its function members, then the instance data size.
bool KvoModuleReader::advanceClass(Frame& frame)
{
    KvoClass* c = frame.cls;
    const int depth = frame.depth;
    std::uint8_t sorted;
    switch (frame.next) {
    case 0:
        frame.next = 1;
        if (!readSortedFlag(sorted) || sorted > 1)
            return false;
        beginEntries(c->dataMembers(), nullptr, depth);
        return true;
    case 1:
        // The data member slots must follow those of the base classes, so that objects of the
        // class have a slot for every member the code addresses. Without its base yet, the
        // class is checked when it gets it.
        if (frame.linked && !checkDataMembers(*c))
            return false;
        store(frame.slot, KvoValue(c, frame.reference), frame.flags);
        m_mayLeaveGarbage = m_mayLeaveGarbage || frame.reference;
        frame.next = 2;
        if (!readSortedFlag(sorted) || sorted > 1)
            return false;
        beginEntries(c->funcMembers(), nullptr, depth);
        return true;
    default: {
        std::uint32_t size;
        if (!m_in.u32(size))
            return false;
        if (!frame.linked) {
            m_unlinked[frame.unlinked].size = size;
            m_unlinked[frame.unlinked].complete = true;
        } else if (static_cast<std::uint32_t>(c->computeDataSize()) != size) {
            return false;
        }
        m_failedClasses.pop_back(); // the definition is complete
        m_frames.pop_back();
        return true;
    }
    }
}

// ---- values -------------------------------------------------------------------------------------

// A block of IO_CHUNK bytes for copying buffers.
std::uint8_t* KvoModuleReader::scratch()
{
    m_scratch.resize(IO_CHUNK);
    return m_scratch.data();
}

// Remembers a new object under its id (the first object read under an id keeps it) and keeps it
// alive until the read ends.
void KvoModuleReader::keep(std::uint32_t id, const KvoValue& value, bool hasId)
{
    KvoRefObject* object = static_cast<KvoRefObject*>(value.getRef());
    if (hasId)
        m_objects.try_emplace(id, Known{object, familyOf(value.getType())});
    m_keep.push_back(KvoValue(object, ownerTypeOf(value.getType())));
    // A new object first met as a non-owning value may be held by nothing else.
    m_mayLeaveGarbage = m_mayLeaveGarbage || isReferenceKind(value.getType());
}

// Stores v (of stored type) in slot, with flags; a non-owning value of a new object is
// remembered for the check at the end of the read.
void KvoModuleReader::store(const Slot& slot, KvoValue&& v, std::uint8_t flags)
{
    v.setFlags(flags);
    KvoValue& target = slot.get();
    target = std::move(v);
    noteReference(slot, target);
}

// Remembers a slot that holds a non-owning value of an object, unless the object is the vector
// holding the slot (a procedure's reference to itself): such a value goes away with its object
// and never outlives it.
void KvoModuleReader::noteReference(const Slot& slot, const KvoValue& value)
{
    if (isReferenceKind(value.getType()) && value.getRef() && value.getRef() != slot.vector)
        m_refSlots.push_back(slot);
}

// A back reference: a value of the stored type without object, filled in at the end.
bool KvoModuleReader::backReference(const Slot& slot, std::uint32_t id, KvoValueType type, std::uint8_t flags)
{
    store(slot, KvoValue(static_cast<KvoRefObject*>(nullptr), type), flags);
    m_backRefs.push_back(BackRef{id, slot});
    return true;
}

bool KvoModuleReader::readValue(const Slot& slot, bool nested, int depth)
{
    if (depth > KvoDictionaryIO::MAX_NESTING) {
        if (!m_nestingReported)
            m_vm.printer()(MSG_READ_NESTING, KvoDictionaryIO::MAX_NESTING);
        m_nestingReported = m_reported = true;
        return false;
    }
    std::uint8_t typeByte, flags;
    if (!m_in.byte(typeByte) || typeByte >= KVT_COUNT)
        return false;
    slot.get().dispose();
    if (!m_in.byte(flags))
        return false;
    const auto type = static_cast<KvoValueType>(typeByte);
    switch (type) {
    case KVT_NULL:
    case KVT_CODEREF: store(slot, KvoValue(static_cast<KvoRefObject*>(nullptr), type), flags); return true;
    case KVT_INTEGER: {
        std::uint32_t v;
        if (!m_in.u32(v))
            return false;
        store(slot, KvoValue(static_cast<std::int32_t>(v)), flags);
        return true;
    }
    case KVT_FLOAT: {
        std::uint32_t bits;
        if (!m_in.u32(bits))
            return false;
        float f;
        std::memcpy(&f, &bits, sizeof f);
        store(slot, KvoValue(f), flags);
        return true;
    }
    case KVT_DOUBLE: {
        std::uint64_t bits;
        if (!m_in.u64(bits))
            return false;
        double d;
        std::memcpy(&d, &bits, sizeof d);
        store(slot, KvoValue(d), flags);
        return true;
    }
    case KVT_FILE:
    case KVT_CODE: return readSymbolValue(slot, type, flags);
    case KVT_BYTECODE:
    case KVT_LOCALVARINFO:
    case KVT_VECTOR:
    case KVT_BYTECODEREF:
    case KVT_VECTORREF: return readVector(slot, type, flags, depth);
    case KVT_BUFFER:
    case KVT_BUFFERREF: return readBuffer(slot, type, flags);
    case KVT_CHARBUFFER:
    case KVT_CHARBUFFERREF: return readCharBuffer(slot, type, flags);
    case KVT_CLASS:
    case KVT_CLASSREF: return readClass(slot, type, flags, nested, depth);
    case KVT_OBJECT:
    case KVT_OBJECTREF: return readObject(slot, type, flags, depth);
    case KVT_STRING:
    case KVT_STRINGREF: {
        std::uint32_t id;
        std::uint8_t first;
        if (!m_in.u32(id) || !m_in.byte(first))
            return false;
        if (first == BACK_REFERENCE_BYTE)
            return backReference(slot, id, type, flags);
        std::u16string text;
        if (!readStringBody(first, text))
            return false;
        KvoValue v(static_cast<KvoRefObject*>(new KvoString(text.c_str(), text.size())), type);
        keep(id, v);
        store(slot, std::move(v), flags);
        return true;
    }
    case KVT_DICTIONARY:
    case KVT_DICTIONARYREF: {
        std::uint32_t id;
        std::uint8_t sorted;
        if (!m_in.u32(id) || !m_in.byte(sorted))
            return false;
        if (sorted == BACK_REFERENCE_BYTE)
            return backReference(slot, id, type, flags);
        if (sorted > 1)
            return false;
        auto* dictionary = new KvoDictionary(sorted == 1);
        KvoValue v(static_cast<KvoRefObject*>(dictionary), type);
        keep(id, v);
        store(slot, std::move(v), flags);
        beginEntries(*dictionary, nullptr, depth);
        return true;
    }
    case KVT_VAR: {
        std::u16string dictionaryName, key;
        if (!readString(dictionaryName) || !readString(key))
            return false;
        m_vars.push_back(VarRef{slot, std::move(dictionaryName), std::move(key), flags});
        return true;
    }
    }
    return false;
}

bool KvoModuleReader::readSymbolValue(const Slot& slot, KvoValueType type, std::uint8_t flags)
{
    std::u16string name;
    if (!readString(name))
        return false;
    if (name.empty()) {
        KvoValue v = type == KVT_FILE ? KvoValue(static_cast<void*>(nullptr)) : KvoValue(KvoNativeFunc(nullptr));
        store(slot, std::move(v), flags);
        return true;
    }
    KvoDictionaryEntry* symbol = m_vm.symbols().find(name.c_str());
    if (!symbol)
        return false;
    store(slot, KvoValue(symbol->getValue()), flags);
    return true;
}

bool KvoModuleReader::readVector(const Slot& slot, KvoValueType type, std::uint8_t flags, int depth)
{
    std::uint32_t id, count;
    if (!m_in.u32(id) || !m_in.u32(count))
        return false;
    if (count == BACK_REFERENCE)
        return backReference(slot, id, type, flags);
    // Every element needs at least its type and flags bytes.
    if (!m_in.mayHold(std::uint64_t(count) * 2))
        return false;
    auto* vector = new KvoVector(m_in.lengthKnown() ? count : std::min(count, UNKNOWN_LENGTH_RESERVE), false);
    KvoValue v(static_cast<KvoRefObject*>(vector), type);
    keep(id, v);
    store(slot, std::move(v), flags);
    if (count > 0) {
        Frame frame(Frame::Kind::ELEMENTS);
        frame.depth = depth;
        frame.vector = vector;
        frame.count = count;
        frame.grows = true;
        m_frames.push_back(frame);
    }
    return true;
}

bool KvoModuleReader::readBuffer(const Slot& slot, KvoValueType type, std::uint8_t flags)
{
    std::uint32_t id, count;
    if (!m_in.u32(id) || !m_in.u32(count))
        return false;
    if (count == BACK_REFERENCE)
        return backReference(slot, id, type, flags);
    if (!m_in.mayHold(count))
        return false;
    auto* buffer = new KvoBuffer(m_in.lengthKnown() ? count : std::min<std::uint32_t>(count, IO_CHUNK));
    KvoValue v(static_cast<KvoRefObject*>(buffer), type);
    keep(id, v);
    store(slot, std::move(v), flags);
    std::uint8_t* chunk = scratch();
    for (std::uint32_t left = count; left > 0;) {
        const auto n = static_cast<std::uint32_t>(std::min<std::size_t>(left, IO_CHUNK));
        if (!m_in.readBytes(chunk, n))
            return false;
        if (buffer->size() + n > buffer->capacity())
            buffer->setCapacity(std::max(buffer->size() + n, std::min(count, buffer->capacity() * 2)));
        buffer->append(chunk, n);
        left -= n;
    }
    return true;
}

bool KvoModuleReader::readCharBuffer(const Slot& slot, KvoValueType type, std::uint8_t flags)
{
    std::uint32_t id, count;
    if (!m_in.u32(id) || !m_in.u32(count))
        return false;
    if (count == BACK_REFERENCE)
        return backReference(slot, id, type, flags);
    std::uint8_t size;
    if (!m_in.byte(size) || (size != 1 && size != 2) || !m_in.mayHold(std::uint64_t(count) * size))
        return false;
    auto* buffer = new KvoCharBuffer(m_in.lengthKnown() ? count : std::min<std::uint32_t>(count, IO_CHUNK / 2));
    KvoValue v(static_cast<KvoRefObject*>(buffer), type);
    keep(id, v);
    store(slot, std::move(v), flags);
    std::uint8_t* bytes = scratch();
    std::vector<KvoChar> chars(std::min<std::uint32_t>(count, IO_CHUNK / 2));
    for (std::uint32_t left = count; left > 0;) {
        const auto n = static_cast<std::uint32_t>(std::min<std::size_t>(left, IO_CHUNK / 2));
        if (!m_in.readBytes(bytes, std::size_t(n) * size))
            return false;
        for (std::uint32_t i = 0; i < n; ++i)
            chars[i] = size == 1 ? bytes[i] : static_cast<KvoChar>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
        if (buffer->size() + n > buffer->capacity())
            buffer->setCapacity(std::max(buffer->size() + n, std::min(count, buffer->capacity() * 2)));
        buffer->append(chars.data(), n);
        left -= n;
    }
    return true;
}

// The class named name in the machine's class dictionary; prints the designed message when
// there is none and report is set.
KvoClass* KvoModuleReader::findClass(const std::u16string& name, bool report)
{
    KvoDictionaryEntry* entry = m_vm.classes().find(name.c_str());
    KvoClass* c = entry ? entry->getValue().getClass() : nullptr;
    if (!c && report) {
        m_vm.printer()(MSG_CLASS_NOT_FOUND, name.c_str());
        m_reported = true;
    }
    return c;
}

bool KvoModuleReader::readClass(const Slot& slot, KvoValueType type, std::uint8_t flags, bool nested, int depth)
{
    std::u16string name, second;
    if (!readString(name) || !readString(second) || name.empty())
        return false;
    const bool ref = type == KVT_CLASSREF;
    if (second == BY_NAME) {
        KvoClass* c = findClass(name, !m_readingClasses);
        if (c) {
            store(slot, KvoValue(c, ref), flags);
            return true;
        }
        if (!m_readingClasses)
            return false;
        // The class dictionary may define it further on.
        store(slot, KvoValue(), flags);
        m_classRefs.push_back(ClassRef{slot, std::move(name), ref, flags, m_currentRoot, m_currentPlaceholder});
        return true;
    }
    if (nested)
        return false; // a definition only stands at the top level of an entry
    KvoClass* base = second.empty() ? nullptr : findClass(second, false);
    // A base that the class dictionary may still define, or one that still waits for its own
    // base, is joined later. Elsewhere a base that is not there leaves the class without one, as
    // it always has.
    const bool linked = !m_readingClasses || second.empty() || (base && !isUnlinked(base));
    if (!linked)
        base = nullptr;
    int baseDepth = 0;
    for (KvoClass* b = base; b; b = b->getBaseClass()) {
        if (++baseDepth > KvoDictionaryIO::MAX_BASE_DEPTH)
            return false;
    }
    auto* c = new KvoClass(m_vm, KvoString(name.c_str()), base);
    KvoValue holder(c);
    keep(0, holder, false);
    m_failedClasses.push_back(c); // until the definition is complete
    Frame frame(Frame::Kind::CLASS);
    frame.depth = depth;
    frame.cls = c;
    frame.slot = slot;
    frame.flags = flags;
    frame.reference = ref;
    frame.linked = linked;
    if (!linked) {
        frame.unlinked = static_cast<std::uint32_t>(m_unlinked.size());
        m_unlinked.push_back(Unlinked{c, std::move(second), 0, m_currentRoot, m_currentPlaceholder, false});
    }
    m_frames.push_back(frame);
    return true;
}

// The instance data members of c must be numbered right after those of its bases, in order.
bool KvoModuleReader::checkDataMembers(KvoClass& c)
{
    std::int32_t next = c.getBaseClass() ? c.getBaseClass()->computeDataSize() : 0;
    for (KvoDictionaryEntry* e = c.dataMembers().getFirst(); e; e = e->getNext()) {
        if (e->getSymbolType() != SYM_DATAMEMBER)
            continue;
        const KvoValue& index = e->getValue();
        if (index.getType() != KVT_INTEGER || index.getLong() != ++next)
            return false;
    }
    return true;
}

bool KvoModuleReader::readObject(const Slot& slot, KvoValueType type, std::uint8_t flags, int depth)
{
    std::uint32_t id;
    std::u16string name;
    if (!m_in.u32(id) || !readString(name))
        return false;
    if (name.empty() || name == BY_NAME)
        return backReference(slot, id, type, flags);
    KvoClass* c = findClass(name, false);
    // A class still waiting for its base does not know how many members its objects have.
    if (!c || isUnlinked(c))
        return false;
    const std::int32_t size = c->getDataSize() >= 0 ? c->getDataSize() : c->computeDataSize();
    if (size < 0 || !m_in.mayHold(std::uint64_t(size) * 2))
        return false;
    auto* object = new KvoObject(c);
    KvoValue v(object, type == KVT_OBJECTREF);
    keep(id, v);
    store(slot, std::move(v), flags);
    KvoVector* members = object->getMemberData();
    if (members && members->size() > 1) {
        Frame frame(Frame::Kind::ELEMENTS);
        frame.depth = depth;
        frame.vector = members;
        frame.next = 1; // element 0 is the object's own, made from its class
        frame.count = members->size();
        m_frames.push_back(frame);
    }
    return true;
}

// ---- after the class dictionary -----------------------------------------------------------------

// Joins the classes that waited for their bases and fills in the classes named before their
// definitions. ok: the class dictionary was read completely; otherwise whatever can still be
// settled is, without further messages.
bool KvoModuleReader::finishClasses(bool ok)
{
    const bool linked = linkClasses();
    return resolveClassReferences(ok && linked) && linked && ok;
}

// Bases first: a class whose base still waits for its own base waits one more round. Classes
// whose bases form a cycle, and classes that fail the checks with their base, fail the read.
bool KvoModuleReader::linkClasses()
{
    std::vector<Unlinked> pending;
    for (Unlinked& unlinked : m_unlinked) {
        if (unlinked.complete)
            pending.push_back(std::move(unlinked));
    }
    m_unlinked.clear();
    bool ok = true;
    std::vector<const KvoClass*> failed;
    const auto fail = [this, &ok, &failed](const Unlinked& unlinked) {
        failRoot(unlinked.root, unlinked.placeholder);
        m_failedClasses.push_back(unlinked.cls);
        failed.push_back(unlinked.cls);
        ok = false;
    };
    for (bool progress = true; progress && !pending.empty();) {
        progress = false;
        for (auto it = pending.begin(); it != pending.end();) {
            KvoClass* base = findClass(it->baseName, false);
            const bool baseWaits = std::any_of(pending.begin(), pending.end(),
                                               [base](const Unlinked& u) { return u.cls == base; });
            if (base && baseWaits) {
                ++it;
                continue;
            }
            if (std::find(failed.begin(), failed.end(), base) != failed.end() || !linkClass(*it, base))
                fail(*it);
            it = pending.erase(it);
            progress = true;
        }
    }
    for (const Unlinked& unlinked : pending)
        fail(unlinked);
    return ok;
}

bool KvoModuleReader::linkClass(const Unlinked& unlinked, KvoClass* base)
{
    KvoClass& c = *unlinked.cls;
    if (base && !c.setBaseClass(base))
        return false;
    int baseDepth = 0;
    for (KvoClass* b = c.getBaseClass(); b; b = b->getBaseClass()) {
        if (++baseDepth > KvoDictionaryIO::MAX_BASE_DEPTH)
            return false;
    }
    return checkDataMembers(c) && static_cast<std::uint32_t>(c.computeDataSize()) == unlinked.size;
}

bool KvoModuleReader::isUnlinked(const KvoClass* c) const
{
    return std::any_of(m_unlinked.begin(), m_unlinked.end(), [c](const Unlinked& u) { return u.cls == c; });
}

// A class named in the class dictionary but defined nowhere in it fails the read as it would
// have at once (report: with the designed message, for the first such name).
bool KvoModuleReader::resolveClassReferences(bool report)
{
    bool ok = true;
    for (const ClassRef& ref : m_classRefs) {
        if (KvoClass* c = findClass(ref.name, false)) {
            store(ref.slot, KvoValue(c, ref.reference), ref.flags);
            continue;
        }
        if (!report)
            continue;
        if (ok)
            findClass(ref.name, true);
        failRoot(ref.root, ref.placeholder);
        ok = false;
    }
    m_classRefs.clear();
    return ok;
}

// Takes root out again at the end of the read (once, however many reasons it has).
void KvoModuleReader::failRoot(KvoDictionaryEntry* root, bool placeholder)
{
    if (!root || std::find(m_failedEntries.begin(), m_failedEntries.end(), root) != m_failedEntries.end() ||
        std::find(m_failedPlaceholders.begin(), m_failedPlaceholders.end(), root) != m_failedPlaceholders.end())
        return;
    (placeholder ? m_failedPlaceholders : m_failedEntries).push_back(root);
}

// ---- the end of a read --------------------------------------------------------------------------

void KvoModuleReader::resolve()
{
    dropFailedEntries();
    resolveVariables();
    resolveBackReferences();
    sweepUnreachable();
    emptyFailedClasses();
    clearLists();
}

// An entry of the machine whose value could not be read is taken out again, so that it never
// stands for its key (a lookup would find a half-read value, or a NULL class, before a later
// complete one). Places recorded in its value go with it.
// An undefined entry that the module was defining goes back to undefined instead (compiled code
// refers to it).
void KvoModuleReader::dropFailedEntries()
{
    for (KvoDictionaryEntry* entry : m_failedEntries) {
        forgetPlaces(entry);
        entry->getDictionary()->erase(entry);
    }
    m_failedEntries.clear();
    for (KvoDictionaryEntry* entry : m_failedPlaceholders) {
        forgetPlaces(entry);
        entry->setValue(KvoValue());
        entry->setSymbolType(SYM_NONE);
    }
    m_failedPlaceholders.clear();
}

// Drops every place recorded in entry's value, and the entry from the roots.
void KvoModuleReader::forgetPlaces(KvoDictionaryEntry* entry)
{
    const KvoValue* value = &entry->getValue();
    std::erase_if(m_refSlots, [value](const Slot& s) { return s.value == value; });
    std::erase_if(m_backRefs, [value](const BackRef& r) { return r.slot.value == value; });
    std::erase_if(m_vars, [value](const VarRef& v) { return v.slot.value == value; });
    std::erase(m_roots, entry);
}

// A class whose definition could not be read completely is dropped: emptying its members breaks
// the cycle between it and the methods read so far (which found it by name).
void KvoModuleReader::emptyFailedClasses()
{
    for (KvoClass* c : m_failedClasses) {
        c->funcMembers().clear();
        c->dataMembers().clear();
    }
    m_failedClasses.clear();
}

KvoDictionary* KvoModuleReader::dictionaryNamed(const std::u16string& name)
{
    if (name == SYMBOLS_NAME)
        return &m_vm.symbols();
    if (name == CLASSES_NAME)
        return &m_vm.classes();
    const bool data = name.starts_with(DATA_MEMBERS_PREFIX);
    if (!data && !name.starts_with(FUNC_MEMBERS_PREFIX))
        return nullptr;
    KvoClass* c = findClass(name.substr(2), false);
    if (!c)
        return nullptr;
    return data ? &c->dataMembers() : &c->funcMembers();
}

void KvoModuleReader::resolveVariables()
{
    for (const VarRef& var : m_vars) {
        KvoDictionary* dictionary = dictionaryNamed(var.dictionary);
        KvoDictionaryEntry* entry = dictionary ? dictionary->find(var.key.c_str()) : nullptr;
        if (entry) {
            KvoValue v(entry);
            v.setFlags(var.flags);
            var.slot.get() = v;
        }
    }
}

// Each back reference gets the object read under its id when that object is of the same kind;
// any other back reference becomes NULL.
void KvoModuleReader::resolveBackReferences()
{
    for (const BackRef& ref : m_backRefs) {
        KvoValue& target = ref.slot.get();
        auto it = m_objects.find(ref.id);
        if (it == m_objects.end() || it->second.family != familyOf(target.getType())) {
            target.dispose();
            continue;
        }
        target.assignRef(it->second.object);
        noteReference(ref.slot, target);
    }
}

// A new object that nothing staying after the read holds (the entries entered into the machine,
// the caller's value) dies with the working lists. Every non-owning value of such an object is
// cleared, so that none dangles; and when such objects can exist at all (a failed read, objects
// in the module list, objects first met as non-owning values) they are emptied, so that back
// references among them form no cycle that would outlive the read.
void KvoModuleReader::sweepUnreachable()
{
    if (m_refSlots.empty() && !m_mayLeaveGarbage)
        return;
    for (const KvoValue& v : m_keep)
        m_created.insert(static_cast<const KvoRefObject*>(v.getRef()));
    std::unordered_set<const KvoRefObject*> reached;
    std::vector<const KvoValue*> pending;
    for (KvoDictionaryEntry* e : m_roots)
        pending.push_back(&e->getValue());
    if (m_rootValue)
        pending.push_back(m_rootValue);
    while (!pending.empty()) {
        const KvoValue* v = pending.back();
        pending.pop_back();
        auto* object = static_cast<KvoRefObject*>(v->getRef());
        if (!v->isOwning() || !object || !m_created.contains(object) || !reached.insert(object).second)
            continue;
        kvoForEachChild(*v, [&pending](const KvoValue* child) { pending.push_back(child); });
    }
    for (const Slot& slot : m_refSlots) {
        KvoValue& v = slot.get();
        if (isReferenceKind(v.getType()) && m_created.contains(static_cast<KvoRefObject*>(v.getRef())) &&
            !reached.contains(static_cast<KvoRefObject*>(v.getRef())))
            v.dispose();
    }
    if (!m_mayLeaveGarbage)
        return;
    for (const KvoValue& v : m_keep) {
        if (reached.contains(static_cast<const KvoRefObject*>(v.getRef())))
            continue;
        if (KvoVector* vector = v.getVector()) {
            vector->clear();
        } else if (KvoObject* o = v.getObject()) {
            // The members become NULL but keep their slots: a script destructor may still run on
            // the object.
            KvoVector* members = o->getMemberData();
            for (std::uint32_t i = 1; members && i < members->size(); ++i)
                (*members)[i].dispose();
        } else if (KvoDictionary* d = v.getDictionary()) {
            d->clear();
        } else if (KvoClass* c = v.getClass()) {
            c->funcMembers().clear();
            c->dataMembers().clear();
        }
    }
}

void KvoModuleReader::clearLists()
{
    m_frames.clear();
    m_vars.clear();
    m_backRefs.clear();
    m_refSlots.clear();
    m_objects.clear();
    m_created.clear();
    m_roots.clear();
    m_rootValue = nullptr;
    m_classRefs.clear();
    m_unlinked.clear();
    m_keep.clear(); // last: this may free objects
}
