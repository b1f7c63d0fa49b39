// Module files and single value records.
//
// Encoding (all integers little-endian, no header):
//   string      size byte (2 when written, 1 accepted), the characters, a 0 character
//   dictionary  sorted flag byte, entry records, an empty string (02 00 00)
//   entry       key string, symbol kind (4 bytes), value record
//   value       type byte, flags byte, a body by type (see writeValue / readValue)
// Objects carry a 4-byte id, unique within one write (a counter); a later occurrence of the same
// object writes only the id and a back-reference marker. Classes are written in full at the top
// level of an entry the first time they occur, elsewhere by name ("$" follows the name).
//
// The reader builds new objects while it reads and keeps every one of them alive until the read
// ends; places to be filled later (back references, variable references) are recorded as slots
// (a vector and an index, or the address of a dictionary entry's value or of the caller's value),
// which stay valid because no container is freed or shrunk before the read ends.
#include "host/KvoDictionaryIO.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "host/KvoVirtualMachine.h"
#include "platform/KvoFile.h"
#include "values/KvoBuffer.h"
#include "values/KvoCharBuffer.h"
#include "values/KvoClass.h"
#include "values/KvoDictionary.h"
#include "values/KvoObject.h"
#include "values/KvoString.h"
#include "values/KvoValueChildren.h"
#include "values/KvoVector.h"

namespace {

// ---- messages -----------------------------------------------------------------------------------
constexpr KvoChar MSG_OPEN_WRITE[] = u"opening %s for write failed\n";
constexpr KvoChar MSG_OPEN_READ[] = u"opening %s for read failed\n";
constexpr KvoChar MSG_WRITE_ENTRY[] = u"error while writing dictionary entry %s\n";
constexpr KvoChar MSG_SORTED_FLAG[] = u"error reading dicionary (sorted flag)\n";
constexpr KvoChar MSG_CLASS_NOT_FOUND[] = u"class %s not found\n";
constexpr KvoChar MSG_WRITE_FILE[] = u"error while writing %s\n";
constexpr KvoChar MSG_WRITE_NESTING[] = u"error writing value: nested deeper than %d levels\n";
constexpr KvoChar MSG_READ_NESTING[] = u"error reading value: nested deeper than %d levels\n";
constexpr KvoChar MSG_NATIVE_MODULE[] = u"native module %s could not be loaded\n";
constexpr KvoChar MSG_DAMAGED[] = u"error reading module: damaged or truncated data\n";

// ---- format constants ---------------------------------------------------------------------------
// The count field of a vector, buffer or character buffer that refers back to an earlier object.
constexpr std::uint32_t BACK_REFERENCE = 0xFFFFFFFF;
// The byte that stands for the body of a string or dictionary that refers back.
constexpr std::uint8_t BACK_REFERENCE_BYTE = 0xFF;
// What follows a class name or stands for an object's class name when no definition follows.
constexpr KvoChar BY_NAME[] = u"$";
// Character size of the strings and character buffers written.
constexpr std::uint8_t CHAR_SIZE = 2;
// Global variables holding files that are not written: a key that occurs in this text.
constexpr KvoChar SKIPPED_FILE_VARIABLES[] = u"stdin;stdout;stderr;__OSTYPE__;__UNICODE__";
// Names of the dictionaries a KVT_VAR value can refer into.
constexpr KvoChar SYMBOLS_NAME[] = u"!S";
constexpr KvoChar CLASSES_NAME[] = u"!C";
constexpr KvoChar DATA_MEMBERS_PREFIX[] = u"m!";
constexpr KvoChar FUNC_MEMBERS_PREFIX[] = u"f!";

// Bytes written before the buffer goes to the stream, and bytes read at a time into a buffer.
constexpr std::size_t IO_CHUNK = 64 * 1024;
// Elements allocated ahead on a stream whose length is unknown.
constexpr std::uint32_t UNKNOWN_LENGTH_RESERVE = 4096;

// The family of object a type holds; a back reference must name an object of the same family.
enum class Family { NONE, VECTOR, BUFFER, CHARBUFFER, CLASS, OBJECT, STRING, DICTIONARY };

Family familyOf(unsigned type)
{
    switch (type) {
    case KVT_BYTECODE:
    case KVT_LOCALVARINFO:
    case KVT_VECTOR:
    case KVT_BYTECODEREF:
    case KVT_VECTORREF: return Family::VECTOR;
    case KVT_BUFFER:
    case KVT_BUFFERREF: return Family::BUFFER;
    case KVT_CHARBUFFER:
    case KVT_CHARBUFFERREF: return Family::CHARBUFFER;
    case KVT_CLASS:
    case KVT_CLASSREF: return Family::CLASS;
    case KVT_OBJECT:
    case KVT_OBJECTREF: return Family::OBJECT;
    case KVT_STRING:
    case KVT_STRINGREF: return Family::STRING;
    case KVT_DICTIONARY:
    case KVT_DICTIONARYREF: return Family::DICTIONARY;
    default: return Family::NONE;
    }
}

bool isReferenceKind(unsigned type)
{
    return type >= KVT_BYTECODEREF && type <= KVT_DICTIONARYREF;
}

// The owning kind of an object kind (a reference kind's twin).
KvoValueType ownerTypeOf(KvoValueType type)
{
    if (type == KVT_BYTECODEREF)
        return KVT_BYTECODE;
    if (type >= KVT_BUFFERREF && type <= KVT_DICTIONARYREF)
        return static_cast<KvoValueType>(type - 10);
    return type;
}

const KvoChar* keyText(const KvoDictionaryEntry& entry)
{
    return entry.getKey() ? entry.getKey()->c_str() : u"";
}

// True when key occurs in the list of file variables that are not written.
bool isSkippedFileVariable(const KvoChar* key)
{
    const std::u16string_view names(SKIPPED_FILE_VARIABLES);
    return names.find(std::u16string_view(key)) != std::u16string_view::npos;
}

// The UTF-8 form of a UTF-16 path (a copy: a_str's buffer is shared).
std::string utf8Of(const std::u16string& text)
{
    return KvoString(text.c_str()).a_str();
}

// ==== writing ====================================================================================

// The ids of the objects written so far: an open-addressing table keyed by address (a write
// meets every object of a large graph once or more, so this lookup is the writer's hot path).
class ObjectIds
{
public:
    ObjectIds() : m_slots(1024) {}

    // The id of object, given id when it is new; second is true when it was new.
    std::pair<std::uint32_t, bool> insert(const void* object, std::uint32_t id)
    {
        if (2 * (m_count + 1) > m_slots.size())
            grow();
        Slot& slot = find(object);
        if (slot.object)
            return {slot.id, false};
        slot = Slot{object, id};
        ++m_count;
        return {id, true};
    }

private:
    struct Slot {
        const void* object = nullptr;
        std::uint32_t id = 0;
    };

    Slot& find(const void* object)
    {
        const std::size_t mask = m_slots.size() - 1;
        std::size_t i = static_cast<std::size_t>((reinterpret_cast<std::uintptr_t>(object) >> 4) * 0x9E3779B97F4A7C15ull >> 20) & mask;
        while (m_slots[i].object && m_slots[i].object != object)
            i = (i + 1) & mask;
        return m_slots[i];
    }
    void grow()
    {
        std::vector<Slot> old(m_slots.size() * 2);
        old.swap(m_slots);
        for (const Slot& slot : old) {
            if (slot.object)
                find(slot.object) = slot;
        }
    }

    std::vector<Slot> m_slots; // size a power of two, at most half full
    std::size_t m_count = 0;
};

class Writer
{
public:
    Writer(KvoVirtualMachine& vm, std::FILE* file) : m_vm(vm), m_file(file)
    {
        m_out.reserve(IO_CHUNK);
        for (KvoDictionaryEntry* e = vm.classes().getFirst(); e; e = e->getNext()) {
            if (KvoClass* c = e->getValue().getClass())
                m_registered.insert(c);
        }
    }

    bool writeModule()
    {
        return writeDictionary(m_vm.modules(), 0) && writeDictionary(m_vm.classes(), 0) &&
               writeDictionary(m_vm.symbols(), 0) && finish();
    }

    bool writeSingle(const KvoValue& value) { return writeValue(value, true, 0) && finish(); }

private:
    // ---- bytes ----
    void putByte(std::uint8_t b)
    {
        m_out.push_back(b);
        if (m_out.size() >= IO_CHUNK)
            flush();
    }
    void putU32(std::uint32_t v)
    {
        for (int i = 0; i < 4; ++i)
            putByte(static_cast<std::uint8_t>(v >> (8 * i)));
    }
    void putU64(std::uint64_t v)
    {
        for (int i = 0; i < 8; ++i)
            putByte(static_cast<std::uint8_t>(v >> (8 * i)));
    }
    void putBytes(const std::uint8_t* bytes, std::size_t count)
    {
        m_out.insert(m_out.end(), bytes, bytes + count);
        if (m_out.size() >= IO_CHUNK)
            flush();
    }
    void putChars(const KvoChar* text, std::size_t count)
    {
        for (std::size_t i = 0; i < count; ++i) {
            m_out.push_back(static_cast<std::uint8_t>(text[i]));
            m_out.push_back(static_cast<std::uint8_t>(text[i] >> 8));
            if (m_out.size() >= IO_CHUNK)
                flush();
        }
    }
    void putString(const KvoChar* text)
    {
        putByte(CHAR_SIZE);
        putChars(text, std::char_traits<KvoChar>::length(text));
        putChars(u"", 1);
    }
    // Hands the buffered bytes to the stream; a short write marks the whole write failed.
    void flush()
    {
        if (!m_out.empty() && std::fwrite(m_out.data(), 1, m_out.size(), m_file) != m_out.size())
            m_failed = true;
        m_out.clear();
    }
    bool finish()
    {
        flush();
        if (std::fflush(m_file) != 0 || std::ferror(m_file))
            m_failed = true;
        return !m_failed;
    }

    // ---- records ----
    bool writeDictionary(KvoDictionary& dictionary, int depth)
    {
        const bool machineLevel = &dictionary == &m_vm.classes() || &dictionary == &m_vm.symbols();
        putByte(dictionary.isSorted() ? 1 : 0);
        for (KvoDictionaryEntry* entry = dictionary.getFirst(); entry; entry = entry->getNext()) {
            if (!writeEntry(*entry, machineLevel, depth))
                return false;
        }
        putString(u"");
        return !m_failed;
    }

    bool writeEntry(const KvoDictionaryEntry& entry, bool machineLevel, int depth)
    {
        const KvoValue& value = entry.getValue();
        const KvoValueType type = value.getType();
        if (machineLevel && type == KVT_CODE)
            return true;
        if (machineLevel && type == KVT_FILE && entry.getSymbolType() == SYM_VARIABLE &&
            isSkippedFileVariable(keyText(entry)))
            return true;
        if (KvoClass* c = value.getClass(); c && c->getIsNative())
            return true;
        // An empty key would read as the end of the dictionary and lose what follows.
        bool written = keyText(entry)[0] != 0;
        if (written) {
            putString(keyText(entry));
            putU32(entry.getSymbolType());
            written = writeValue(value, false, depth + 1, entry.getDictionary() == &m_vm.classes());
        }
        if (!written)
            m_vm.printer()(MSG_WRITE_ENTRY, keyText(entry));
        return written && !m_failed;
    }

    // Writes the id of object. True when this is its first occurrence (contents follow); false
    // when it was written before (a back reference follows).
    bool putObjectId(const KvoRefObject* object)
    {
        const auto [id, first] = m_ids.insert(object, m_nextId);
        if (first)
            ++m_nextId;
        putU32(id);
        return first;
    }

    // classEntry: value is that of an entry of the machine's class dictionary.
    bool writeValue(const KvoValue& value, bool nested, int depth, bool classEntry = false)
    {
        if (depth > KvoDictionaryIO::MAX_NESTING) {
            if (!m_nestingReported)
                m_vm.printer()(MSG_WRITE_NESTING, KvoDictionaryIO::MAX_NESTING);
            m_nestingReported = true;
            return false;
        }
        const KvoValueType type = value.getType();
        putByte(type);
        putByte(value.getFlags());
        if (isObjectType(type) && !value.getRef())
            return false; // an object kind without object cannot be restored
        switch (type) {
        case KVT_NULL:
        case KVT_CODEREF: return true;
        case KVT_INTEGER: putU32(static_cast<std::uint32_t>(value.getLong())); return true;
        case KVT_FLOAT: {
            float f = value.getFloat();
            std::uint32_t bits;
            std::memcpy(&bits, &f, sizeof bits);
            putU32(bits);
            return true;
        }
        case KVT_DOUBLE: {
            double d = value.getDouble();
            std::uint64_t bits;
            std::memcpy(&bits, &d, sizeof bits);
            putU64(bits);
            return true;
        }
        case KVT_FILE: putString(fileKey(value.getFile())); return true;
        case KVT_CODE: putString(codeKey(value.getCode())); return true;
        case KVT_BYTECODE:
        case KVT_LOCALVARINFO:
        case KVT_VECTOR:
        case KVT_BYTECODEREF:
        case KVT_VECTORREF: {
            KvoVector* vector = value.getVector();
            if (!putObjectId(vector)) {
                putU32(BACK_REFERENCE);
                return true;
            }
            putU32(vector->size());
            for (std::uint32_t i = 0; i < vector->size(); ++i) {
                if (!writeValue((*vector)[i], true, depth + 1))
                    return false;
            }
            return true;
        }
        case KVT_BUFFER:
        case KVT_BUFFERREF: {
            KvoBuffer* buffer = value.getBuffer();
            if (!putObjectId(buffer)) {
                putU32(BACK_REFERENCE);
                return true;
            }
            putU32(buffer->size());
            putBytes(buffer->data(), buffer->size());
            return true;
        }
        case KVT_CHARBUFFER:
        case KVT_CHARBUFFERREF: {
            KvoCharBuffer* buffer = value.getCharBuffer();
            if (!putObjectId(buffer)) {
                putU32(BACK_REFERENCE);
                return true;
            }
            putU32(buffer->size());
            putByte(CHAR_SIZE);
            putChars(buffer->data(), buffer->size());
            return true;
        }
        case KVT_CLASS:
        case KVT_CLASSREF: return writeClass(*value.getClass(), nested, depth, classEntry);
        case KVT_OBJECT:
        case KVT_OBJECTREF: {
            KvoObject* object = value.getObject();
            KvoVector* members = object->getMemberData();
            KvoClass* c = object->getClass();
            if (!members || !c || !c->getClassName())
                return false;
            if (!putObjectId(object)) {
                putString(BY_NAME);
                return true;
            }
            putString(c->getClassName()->c_str());
            for (std::uint32_t i = 1; i < members->size(); ++i) {
                if (!writeValue((*members)[i], true, depth + 1))
                    return false;
            }
            return true;
        }
        case KVT_STRING:
        case KVT_STRINGREF: {
            KvoString* string = value.getString();
            if (!putObjectId(string)) {
                putByte(BACK_REFERENCE_BYTE);
                return true;
            }
            putString(string->c_str());
            return true;
        }
        case KVT_DICTIONARY:
        case KVT_DICTIONARYREF: {
            KvoDictionary* dictionary = value.getDictionary();
            if (!putObjectId(dictionary)) {
                putByte(BACK_REFERENCE_BYTE);
                return true;
            }
            return writeDictionary(*dictionary, depth);
        }
        case KVT_VAR: {
            KvoDictionaryEntry* entry = value.getVar();
            putString(entry ? dictionaryName(entry->getDictionary()).c_str() : u"");
            putString(entry ? keyText(*entry) : u"");
            return true;
        }
        }
        return false;
    }

    // A class of the machine's class dictionary is defined only by its own entry there, which
    // the reader meets before any use by name in the symbols; any other class is defined at the
    // first top-level occurrence. Everywhere else the name stands for the class.
    bool writeClass(KvoClass& c, bool nested, int depth, bool classEntry)
    {
        const KvoChar* name = c.getClassName() ? c.getClassName()->c_str() : u"";
        if (!name[0])
            return false; // an unnamed class cannot be found again
        putString(name);
        const bool defineHere = !nested && (classEntry || !m_registered.contains(&c));
        if (!defineHere || !m_fullClasses.insert(&c).second) {
            putString(BY_NAME);
            return true;
        }
        KvoClass* base = c.getBaseClass();
        putString(base && base->getClassName() ? base->getClassName()->c_str() : u"");
        if (!writeDictionary(c.dataMembers(), depth) || !writeDictionary(c.funcMembers(), depth))
            return false;
        putU32(static_cast<std::uint32_t>(c.computeDataSize()));
        return true;
    }

    // The name under which a KVT_VAR value's dictionary is written.
    std::u16string dictionaryName(const KvoDictionary* dictionary) const
    {
        if (dictionary == &m_vm.symbols())
            return SYMBOLS_NAME;
        if (dictionary == &m_vm.classes())
            return CLASSES_NAME;
        KvoClass* owner = dictionary ? dictionary->getOwnerClass() : nullptr;
        if (owner && owner->getClassName()) {
            const KvoChar* prefix = dictionary == &owner->dataMembers() ? DATA_MEMBERS_PREFIX : FUNC_MEMBERS_PREFIX;
            return std::u16string(prefix) + owner->getClassName()->c_str();
        }
        return u"";
    }

    // The key of the first global symbol holding this file / native function; "" when none.
    const KvoChar* fileKey(void* file)
    {
        if (!m_symbolIndexBuilt)
            buildSymbolIndex();
        auto it = m_fileKeys.find(file);
        return file && it != m_fileKeys.end() ? it->second : u"";
    }
    const KvoChar* codeKey(KvoNativeFunc code)
    {
        if (!m_symbolIndexBuilt)
            buildSymbolIndex();
        auto it = m_codeKeys.find(code);
        return code && it != m_codeKeys.end() ? it->second : u"";
    }
    void buildSymbolIndex()
    {
        m_symbolIndexBuilt = true;
        for (KvoDictionaryEntry* e = m_vm.symbols().getFirst(); e; e = e->getNext()) {
            if (e->getValue().getType() == KVT_FILE)
                m_fileKeys.try_emplace(e->getValue().getFile(), keyText(*e));
            else if (e->getValue().getType() == KVT_CODE)
                m_codeKeys.try_emplace(e->getValue().getCode(), keyText(*e));
        }
    }

    KvoVirtualMachine& m_vm;
    std::FILE* m_file;
    std::vector<std::uint8_t> m_out;
    bool m_failed = false;
    bool m_nestingReported = false;
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

// ==== reading ====================================================================================

// A byte source over a stream that knows how many bytes are left when the stream can tell its
// length, so that no count in the file makes the reader allocate more than the file can fill.
// A stream that can seek is read ahead in blocks; what was read ahead but not used is given
// back (the stream is positioned right after the last byte used) when the source goes away. A
// stream that cannot seek is read byte by byte, so that nothing after the record is consumed.
class Input
{
public:
    explicit Input(std::FILE* file) : m_file(file)
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
    ~Input()
    {
        if (m_next < m_end)
            std::fseek(m_file, -static_cast<long>(m_end - m_next), SEEK_CUR);
    }
    Input(const Input&) = delete;
    Input& operator=(const Input&) = delete;

    bool lengthKnown() const noexcept { return m_lengthKnown; }
    // False when fewer than count bytes can still follow.
    bool mayHold(std::uint64_t count) const noexcept { return !m_lengthKnown || count <= m_remaining; }

    bool byte(std::uint8_t& b)
    {
        if (m_next == m_end && !refill())
            return false;
        b = m_buffer[m_next++];
        consumed(1);
        return true;
    }
    bool u32(std::uint32_t& v)
    {
        std::uint8_t bytes[4];
        if (!readBytes(bytes, 4))
            return false;
        v = std::uint32_t(bytes[0]) | (std::uint32_t(bytes[1]) << 8) | (std::uint32_t(bytes[2]) << 16) |
            (std::uint32_t(bytes[3]) << 24);
        return true;
    }
    bool u64(std::uint64_t& v)
    {
        std::uint8_t bytes[8];
        if (!readBytes(bytes, 8))
            return false;
        v = 0;
        for (int i = 7; i >= 0; --i)
            v = (v << 8) | bytes[i];
        return true;
    }
    // Exactly count bytes into out.
    bool readBytes(std::uint8_t* out, std::size_t count)
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

private:
    bool refill()
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
    void consumed(std::uint64_t count) noexcept { m_remaining = count <= m_remaining ? m_remaining - count : 0; }

    std::FILE* m_file;
    std::uint64_t m_remaining = UINT64_MAX;
    bool m_lengthKnown = false;
    std::vector<std::uint8_t> m_buffer;
    std::size_t m_next = 0; // next unused byte of m_buffer
    std::size_t m_end = 0;  // end of the bytes read into m_buffer
};

// A place to fill: element index of vector, or the value at address (an entry's value or the
// caller's value). Both stay valid until the read ends (see the file comment).
struct Slot {
    KvoVector* vector = nullptr;
    std::uint32_t index = 0;
    KvoValue* value = nullptr;

    KvoValue& get() const { return vector ? (*vector)[index] : *value; }
};

class Reader
{
public:
    Reader(KvoVirtualMachine& vm, std::FILE* file) : m_vm(vm), m_in(file) {}

    bool readModule()
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
        ok = ok && readDictionaryRecord(m_vm.classes(), &m_roots);
        ok = ok && readDictionaryRecord(m_vm.symbols(), &m_roots);
        // What was read stays, also after a failure: its references are resolved in any case.
        m_mayLeaveGarbage = m_mayLeaveGarbage || !ok;
        resolve();
        if (!ok && !m_reported)
            m_vm.printer()(MSG_DAMAGED);
        return ok;
    }

    bool readSingle(KvoValue& target)
    {
        target.dispose();
        const bool ok = readValue(Slot{nullptr, 0, &target}, true, 0);
        if (ok) {
            m_rootValue = &target;
            resolve();
        } else {
            // Without patched references the objects read form no cycles: dropping the target
            // and the working lists frees every one of them.
            target.dispose();
            emptyFailedClasses();
            clearLists();
        }
        return ok;
    }

private:
    // ---- strings ----
    // A string record; false for a bad character size or an end of file before the terminator.
    bool readString(std::u16string& out)
    {
        std::uint8_t size;
        return m_in.byte(size) && readStringBody(size, out);
    }
    bool readStringBody(std::uint8_t size, std::u16string& out)
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

    // ---- dictionaries ----
    bool readDictionaryRecord(KvoDictionary& dictionary, std::vector<KvoDictionaryEntry*>* roots)
    {
        std::uint8_t sorted;
        if (!m_in.byte(sorted)) {
            m_vm.printer()(MSG_SORTED_FLAG);
            m_reported = true;
            return false;
        }
        return sorted <= 1 && readEntries(dictionary, roots, 0);
    }

    // The first entry for key when it is still undefined (no kind, NULL value), else null.
    static KvoDictionaryEntry* undefinedEntry(KvoDictionary& dictionary, const std::u16string& key)
    {
        KvoDictionaryEntry* entry = dictionary.find(key.c_str());
        if (entry && entry->getSymbolType() == SYM_NONE && entry->getValue().getType() == KVT_NULL)
            return entry;
        return nullptr;
    }

    // Reads entries until the terminator. Each entry is a new entry holding the key object read,
    // inserted without looking for an existing one. A failure inside an entry fails the record.
    bool readEntries(KvoDictionary& dictionary, std::vector<KvoDictionaryEntry*>* roots, int depth)
    {
        std::u16string key;
        for (;;) {
            if (!readString(key))
                return false;
            if (key.empty())
                return true;
            std::uint32_t kind;
            if (!m_in.u32(kind) || kind > SYM_FUNCTION)
                return false;
            // A name that compiled code refers to but nothing defined yet (created by the compiler
            // as an empty entry) is defined by the module in place, so that code compiled before
            // a loadmodule call finds what the module brings.
            KvoDictionaryEntry* entry = roots ? undefinedEntry(dictionary, key) : nullptr;
            const bool placeholder = entry != nullptr;
            if (!entry)
                entry = dictionary[new KvoString(key.c_str(), key.size())];
            entry->setSymbolType(static_cast<KvoSymbolType>(kind));
            if (roots)
                roots->push_back(entry);
            if (!readValue(Slot{nullptr, 0, &entry->getValue()}, false, depth + 1)) {
                if (roots)
                    (placeholder ? m_failedPlaceholders : m_failedEntries).push_back(entry);
                return false;
            }
        }
    }

    // ---- values ----
    // A block of IO_CHUNK bytes for copying buffers.
    std::uint8_t* scratch()
    {
        m_scratch.resize(IO_CHUNK);
        return m_scratch.data();
    }

    // Remembers a new object under its id (the first object read under an id keeps it) and keeps
    // it alive until the read ends.
    void keep(std::uint32_t id, const KvoValue& value, bool hasId = true)
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
    void store(const Slot& slot, KvoValue&& v, std::uint8_t flags)
    {
        v.setFlags(flags);
        KvoValue& target = slot.get();
        target = std::move(v);
        noteReference(slot, target);
    }

    // Remembers a slot that holds a non-owning value of an object, unless the object is the
    // vector holding the slot (a procedure's reference to itself): such a value goes away with
    // its object and never outlives it.
    void noteReference(const Slot& slot, const KvoValue& value)
    {
        if (isReferenceKind(value.getType()) && value.getRef() && value.getRef() != slot.vector)
            m_refSlots.push_back(slot);
    }

    // A back reference: a value of the stored type without object, filled in at the end.
    bool backReference(const Slot& slot, std::uint32_t id, KvoValueType type, std::uint8_t flags)
    {
        store(slot, KvoValue(static_cast<KvoRefObject*>(nullptr), type), flags);
        m_backRefs.push_back(BackRef{id, slot});
        return true;
    }

    bool readValue(const Slot& slot, bool nested, int depth)
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
            return readEntries(*dictionary, nullptr, depth);
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

    bool readSymbolValue(const Slot& slot, KvoValueType type, std::uint8_t flags)
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

    bool readVector(const Slot& slot, KvoValueType type, std::uint8_t flags, int depth)
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
        for (std::uint32_t i = 0; i < count; ++i) {
            vector->push_back(KvoValue());
            if (!readValue(Slot{vector, i, nullptr}, true, depth + 1))
                return false;
        }
        return true;
    }

    bool readBuffer(const Slot& slot, KvoValueType type, std::uint8_t flags)
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

    bool readCharBuffer(const Slot& slot, KvoValueType type, std::uint8_t flags)
    {
        std::uint32_t id, count;
        if (!m_in.u32(id) || !m_in.u32(count))
            return false;
        if (count == BACK_REFERENCE)
            return backReference(slot, id, type, flags);
        std::uint8_t size;
        if (!m_in.byte(size) || (size != 1 && size != 2) || !m_in.mayHold(std::uint64_t(count) * size))
            return false;
        auto* buffer =
            new KvoCharBuffer(m_in.lengthKnown() ? count : std::min<std::uint32_t>(count, IO_CHUNK / 2));
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
    // there is none.
    KvoClass* findClass(const std::u16string& name, bool report)
    {
        KvoDictionaryEntry* entry = m_vm.classes().find(name.c_str());
        KvoClass* c = entry ? entry->getValue().getClass() : nullptr;
        if (!c && report) {
            m_vm.printer()(MSG_CLASS_NOT_FOUND, name.c_str());
            m_reported = true;
        }
        return c;
    }

    bool readClass(const Slot& slot, KvoValueType type, std::uint8_t flags, bool nested, int depth)
    {
        std::u16string name, second;
        if (!readString(name) || !readString(second) || name.empty())
            return false;
        const bool ref = type == KVT_CLASSREF;
        if (second == BY_NAME) {
            KvoClass* c = findClass(name, true);
            if (!c)
                return false;
            store(slot, KvoValue(c, ref), flags);
            return true;
        }
        if (nested)
            return false; // a definition only stands at the top level of an entry
        KvoClass* base = second.empty() ? nullptr : findClass(second, false);
        int baseDepth = 0;
        for (KvoClass* b = base; b; b = b->getBaseClass()) {
            if (++baseDepth > KvoDictionaryIO::MAX_BASE_DEPTH)
                return false;
        }
        auto* c = new KvoClass(m_vm, KvoString(name.c_str()), base);
        KvoValue holder(c);
        keep(0, holder, false);
        m_failedClasses.push_back(c); // until the definition is complete
        // The data members first: their slot numbers must follow those of the base classes, so
        // that objects of the class have a slot for every member the code addresses.
        if (!readMemberRecord(c->dataMembers(), depth) || !checkDataMembers(*c))
            return false;
        // The class becomes the entry's value before its methods are read, so that they find it
        // by name.
        store(slot, KvoValue(c, ref), flags);
        m_mayLeaveGarbage = m_mayLeaveGarbage || ref;
        std::uint32_t size;
        if (!readMemberRecord(c->funcMembers(), depth) || !m_in.u32(size) ||
            static_cast<std::uint32_t>(c->computeDataSize()) != size)
            return false;
        m_failedClasses.pop_back();
        return true;
    }

    // A member dictionary of a class being defined: the sorted flag, then the entries.
    bool readMemberRecord(KvoDictionary& members, int depth)
    {
        std::uint8_t sorted;
        if (!m_in.byte(sorted)) {
            m_vm.printer()(MSG_SORTED_FLAG);
            m_reported = true;
            return false;
        }
        return sorted <= 1 && readEntries(members, nullptr, depth);
    }

    // The instance data members of c must be numbered right after those of its bases, in order.
    static bool checkDataMembers(KvoClass& c)
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

    bool readObject(const Slot& slot, KvoValueType type, std::uint8_t flags, int depth)
    {
        std::uint32_t id;
        std::u16string name;
        if (!m_in.u32(id) || !readString(name))
            return false;
        if (name.empty() || name == BY_NAME)
            return backReference(slot, id, type, flags);
        KvoClass* c = findClass(name, false);
        if (!c)
            return false;
        const std::int32_t size = c->getDataSize() >= 0 ? c->getDataSize() : c->computeDataSize();
        if (size < 0 || !m_in.mayHold(std::uint64_t(size) * 2))
            return false;
        auto* object = new KvoObject(c);
        KvoValue v(object, type == KVT_OBJECTREF);
        keep(id, v);
        store(slot, std::move(v), flags);
        KvoVector* members = object->getMemberData();
        for (std::uint32_t i = 1; members && i < members->size(); ++i) {
            if (!readValue(Slot{members, i, nullptr}, true, depth + 1))
                return false;
        }
        return true;
    }

    // ---- the end of a read ----
    void resolve()
    {
        dropFailedEntries();
        resolveVariables();
        resolveBackReferences();
        sweepUnreachable();
        emptyFailedClasses();
        clearLists();
    }

    // An entry of the machine whose value could not be read is taken out again, so that it
    // never stands for its key (a lookup would find a half-read value, or a NULL class, before
    // a later complete one). Places recorded in its value go with it.
    // An undefined entry that the module was defining goes back to undefined instead (compiled
    // code refers to it).
    void dropFailedEntries()
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
    void forgetPlaces(KvoDictionaryEntry* entry)
    {
        const KvoValue* value = &entry->getValue();
        std::erase_if(m_refSlots, [value](const Slot& s) { return s.value == value; });
        std::erase_if(m_backRefs, [value](const BackRef& r) { return r.slot.value == value; });
        std::erase_if(m_vars, [value](const VarRef& v) { return v.slot.value == value; });
        std::erase(m_roots, entry);
    }

    // A class whose definition could not be read completely is dropped: emptying its members
    // breaks the cycle between it and the methods read so far (which found it by name).
    void emptyFailedClasses()
    {
        for (KvoClass* c : m_failedClasses) {
            c->funcMembers().clear();
            c->dataMembers().clear();
        }
        m_failedClasses.clear();
    }

    KvoDictionary* dictionaryNamed(const std::u16string& name)
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

    void resolveVariables()
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

    // Each back reference gets the object read under its id when that object is of the same
    // kind; any other back reference becomes NULL.
    void resolveBackReferences()
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

    // A new object that nothing staying after the read holds (the entries entered into the
    // machine, the caller's value) dies with the working lists. Every non-owning value of such an
    // object is cleared, so that none dangles; and when such objects can exist at all (a failed
    // read, objects in the module list, objects first met as non-owning values) they are
    // emptied, so that back references among them form no cycle that would outlive the read.
    void sweepUnreachable()
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
                // The members become NULL but keep their slots: a script destructor may still
                // run on the object.
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

    void clearLists()
    {
        m_vars.clear();
        m_backRefs.clear();
        m_refSlots.clear();
        m_objects.clear();
        m_created.clear();
        m_roots.clear();
        m_rootValue = nullptr;
        m_keep.clear(); // last: this may free objects
    }

    struct Known {
        KvoRefObject* object;
        Family family;
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

    KvoVirtualMachine& m_vm;
    Input m_in;
    bool m_reported = false;
    bool m_nestingReported = false;
    bool m_mayLeaveGarbage = false; // new objects may be unreachable when the read ends
    std::unordered_map<std::uint32_t, Known> m_objects;
    std::vector<KvoValue> m_keep;
    std::unordered_set<const KvoRefObject*> m_created;
    std::vector<BackRef> m_backRefs;
    std::vector<VarRef> m_vars;
    std::vector<Slot> m_refSlots;
    // What stays after the read: the entries entered into the machine, or the caller's value.
    std::vector<KvoDictionaryEntry*> m_roots;
    KvoValue* m_rootValue = nullptr;
    std::vector<KvoDictionaryEntry*> m_failedEntries; // entries of the machine left half read
    std::vector<KvoDictionaryEntry*> m_failedPlaceholders; // undefined entries left half read
    std::vector<KvoClass*> m_failedClasses;          // kept alive by m_keep
    std::vector<std::uint8_t> m_scratch;
};

} // namespace

KvoDictionaryIO::KvoDictionaryIO(KvoVirtualMachine* vm) : m_vm(vm) {}

KvoDictionaryIO::~KvoDictionaryIO() = default;

bool KvoDictionaryIO::writeModule(const KvoChar* path)
{
    if (!m_vm || !path)
        return false;
    // A fresh temporary file beside the target ("x": never an existing one), renamed over the
    // target only once everything is written and closed.
    const std::u16string target(path);
    std::u16string temporary;
    std::FILE* file = nullptr;
    std::random_device random;
    for (int attempt = 0; attempt < 100 && !file; ++attempt) {
        temporary = target + u".tmp";
        for (std::uint32_t n = random(), i = 0; i < 8; ++i, n >>= 4)
            temporary.push_back(u"0123456789abcdef"[n & 15]);
        errno = 0;
        file = kvoOpenFile(temporary.c_str(), u"wbx");
        if (!file && errno != EEXIST)
            break;
    }
    if (!file) {
        m_vm->printer()(MSG_OPEN_WRITE, path);
        return false;
    }
    bool ok = writeModule(file);
    if (std::fclose(file) != 0 && ok) {
        m_vm->printer()(MSG_WRITE_FILE, path);
        ok = false;
    }
    if (ok && std::rename(utf8Of(temporary).c_str(), utf8Of(target).c_str()) != 0) {
        m_vm->printer()(MSG_WRITE_FILE, path);
        ok = false;
    }
    if (!ok)
        std::remove(utf8Of(temporary).c_str());
    return ok;
}

bool KvoDictionaryIO::writeModule(std::FILE* file)
{
    return m_vm && file && Writer(*m_vm, file).writeModule();
}

bool KvoDictionaryIO::readModule(const KvoChar* path)
{
    if (!m_vm || !path)
        return false;
    std::FILE* file = kvoOpenFile(path, u"rb");
    if (!file) {
        m_vm->printer()(MSG_OPEN_READ, path);
        return false;
    }
    const bool ok = readModule(file);
    std::fclose(file);
    return ok;
}

bool KvoDictionaryIO::readModule(std::FILE* file)
{
    return m_vm && file && Reader(*m_vm, file).readModule();
}

bool KvoDictionaryIO::writeSingleValue(std::FILE* file, const KvoValue& value)
{
    return m_vm && file && Writer(*m_vm, file).writeSingle(value);
}

bool KvoDictionaryIO::readSingleValue(std::FILE* file, KvoValue& value)
{
    if (!m_vm || !file) {
        value.dispose();
        return false;
    }
    return Reader(*m_vm, file).readSingle(value);
}
