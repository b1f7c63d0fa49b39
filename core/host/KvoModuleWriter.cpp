// Writing module files and single value records (see KvoModuleFormat.h for the encoding).
#include "host/KvoModuleWriter.h"

#include <cstring>
#include <string>

#include "host/KvoDictionaryIO.h"
#include "host/KvoModuleFormat.h"
#include "host/KvoVirtualMachine.h"
#include "values/KvoBuffer.h"
#include "values/KvoCharBuffer.h"
#include "values/KvoClass.h"
#include "values/KvoDictionary.h"
#include "values/KvoObject.h"
#include "values/KvoString.h"
#include "values/KvoVector.h"

using namespace kvo_module;

// ---- object ids ---------------------------------------------------------------------------------

std::pair<std::uint32_t, bool> KvoModuleWriter::ObjectIds::insert(const void* object, std::uint32_t id)
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

KvoModuleWriter::ObjectIds::Slot& KvoModuleWriter::ObjectIds::find(const void* object)
{
    const std::size_t mask = m_slots.size() - 1;
    std::size_t i = static_cast<std::size_t>((reinterpret_cast<std::uintptr_t>(object) >> 4) * 0x9E3779B97F4A7C15ull >> 20) & mask;
    while (m_slots[i].object && m_slots[i].object != object)
        i = (i + 1) & mask;
    return m_slots[i];
}

void KvoModuleWriter::ObjectIds::grow()
{
    std::vector<Slot> old(m_slots.size() * 2);
    old.swap(m_slots);
    for (const Slot& slot : old) {
        if (slot.object)
            find(slot.object) = slot;
    }
}

// ---- the writer ---------------------------------------------------------------------------------

KvoModuleWriter::KvoModuleWriter(KvoVirtualMachine& vm, std::FILE* file) : m_vm(vm), m_file(file)
{
    m_out.reserve(IO_CHUNK);
    for (KvoDictionaryEntry* e = vm.classes().getFirst(); e; e = e->getNext()) {
        if (KvoClass* c = e->getValue().getClass())
            m_registered.insert(c);
    }
}

bool KvoModuleWriter::writeModule()
{
    return writeDictionaryRecord(m_vm.modules()) && writeDictionaryRecord(m_vm.classes()) &&
           writeDictionaryRecord(m_vm.symbols()) && finish();
}

bool KvoModuleWriter::writeSingle(const KvoValue& value)
{
    return writeValue(value, true, 0) && drain() && finish();
}

// ---- bytes --------------------------------------------------------------------------------------

void KvoModuleWriter::putByte(std::uint8_t b)
{
    m_out.push_back(b);
    if (m_out.size() >= IO_CHUNK)
        flush();
}

void KvoModuleWriter::putU32(std::uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        putByte(static_cast<std::uint8_t>(v >> (8 * i)));
}

void KvoModuleWriter::putU64(std::uint64_t v)
{
    for (int i = 0; i < 8; ++i)
        putByte(static_cast<std::uint8_t>(v >> (8 * i)));
}

void KvoModuleWriter::putBytes(const std::uint8_t* bytes, std::size_t count)
{
    m_out.insert(m_out.end(), bytes, bytes + count);
    if (m_out.size() >= IO_CHUNK)
        flush();
}

void KvoModuleWriter::putChars(const KvoChar* text, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i) {
        m_out.push_back(static_cast<std::uint8_t>(text[i]));
        m_out.push_back(static_cast<std::uint8_t>(text[i] >> 8));
        if (m_out.size() >= IO_CHUNK)
            flush();
    }
}

void KvoModuleWriter::putString(const KvoChar* text)
{
    putByte(CHAR_SIZE);
    putChars(text, std::char_traits<KvoChar>::length(text));
    putChars(u"", 1);
}

// Hands the buffered bytes to the stream; a short write marks the whole write failed.
void KvoModuleWriter::flush()
{
    if (!m_out.empty() && std::fwrite(m_out.data(), 1, m_out.size(), m_file) != m_out.size())
        m_failed = true;
    m_out.clear();
}

bool KvoModuleWriter::finish()
{
    flush();
    if (std::fflush(m_file) != 0 || std::ferror(m_file))
        m_failed = true;
    return !m_failed;
}

// ---- records ------------------------------------------------------------------------------------

bool KvoModuleWriter::writeDictionaryRecord(const KvoDictionary& dictionary)
{
    beginDictionary(dictionary, 0);
    return drain();
}

void KvoModuleWriter::beginDictionary(const KvoDictionary& dictionary, int depth)
{
    putByte(dictionary.isSorted() ? 1 : 0);
    Step step(Step::Kind::ENTRIES);
    step.depth = depth;
    step.dictionary = &dictionary;
    step.entry = dictionary.getFirst();
    step.machineLevel = &dictionary == &m_vm.classes() || &dictionary == &m_vm.symbols();
    m_steps.push_back(step);
}

bool KvoModuleWriter::drain()
{
    while (!m_steps.empty()) {
        if (m_failed || !advance()) {
            // Every entry whose value was being written failed with it, innermost first.
            for (auto step = m_steps.rbegin(); step != m_steps.rend(); ++step) {
                if (step->kind == Step::Kind::ENTRIES && step->open)
                    m_vm.printer()(MSG_WRITE_ENTRY, keyText(*step->open));
            }
            m_steps.clear();
            return false;
        }
    }
    return !m_failed;
}

// writeValue may push a step, which moves the steps in memory: a step is never used after it.
bool KvoModuleWriter::advance()
{
    Step& step = m_steps.back();
    switch (step.kind) {
    case Step::Kind::ELEMENTS:
        if (step.next >= step.vector->size()) {
            m_steps.pop_back();
            return true;
        }
        return writeValue((*step.vector)[step.next++], true, step.depth + 1);
    case Step::Kind::ENTRIES: return advanceEntries(step);
    case Step::Kind::CLASS: return advanceClass(step);
    }
    return false;
}

bool KvoModuleWriter::advanceEntries(Step& step)
{
    if (step.open) {
        // The value of the open entry is complete.
        step.open = nullptr;
        if (m_failed)
            return false;
    }
    for (; step.entry; step.entry = step.entry->getNext()) {
        const KvoDictionaryEntry& entry = *step.entry;
        const KvoValue& value = entry.getValue();
        const KvoValueType type = value.getType();
        if (step.machineLevel && type == KVT_CODE)
            continue;
        if (step.machineLevel && type == KVT_FILE && entry.getSymbolType() == SYM_VARIABLE &&
            isSkippedFileVariable(keyText(entry)))
            continue;
        if (KvoClass* c = value.getClass(); c && c->getIsNative())
            continue;
        step.open = &entry;
        step.entry = entry.getNext();
        // An empty key would read as the end of the dictionary and lose what follows.
        if (keyText(entry)[0] == 0)
            return false;
        putString(keyText(entry));
        putU32(entry.getSymbolType());
        return writeValue(value, false, step.depth + 1, entry.getDictionary() == &m_vm.classes());
    }
    putString(u"");
    m_steps.pop_back();
    return !m_failed;
}

bool KvoModuleWriter::advanceClass(Step& step)
{
    KvoClass& c = *step.cls;
    const int depth = step.depth;
    switch (step.next++) {
    case 0: beginDictionary(c.dataMembers(), depth); return true;
    case 1: beginDictionary(c.funcMembers(), depth); return true;
    default:
        putU32(static_cast<std::uint32_t>(c.computeDataSize()));
        m_steps.pop_back();
        return true;
    }
}

// Writes the id of object. True when this is its first occurrence (contents follow); false
// when it was written before (a back reference follows).
bool KvoModuleWriter::putObjectId(const KvoRefObject* object)
{
    const auto [id, first] = m_ids.insert(object, m_nextId);
    if (first)
        ++m_nextId;
    putU32(id);
    return first;
}

bool KvoModuleWriter::writeValue(const KvoValue& value, bool nested, int depth, bool classEntry)
{
    if (depth > KvoDictionaryIO::MAX_NESTING) {
        if (!m_nestingReported)
            m_vm.printer()(MSG_WRITE_NESTING, KvoDictionaryIO::MAX_NESTING);
        m_nestingReported = true;
        return false;
    }
    // The kind as the value reports it: a non-owning value whose object has died is written as
    // NULL, never with the type byte it was stored with.
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
        Step step(Step::Kind::ELEMENTS);
        step.depth = depth;
        step.vector = vector;
        m_steps.push_back(step);
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
        // Element 0 of the member data is not written: the reader makes it from the class.
        Step step(Step::Kind::ELEMENTS);
        step.depth = depth;
        step.vector = members;
        step.next = 1;
        m_steps.push_back(step);
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
        beginDictionary(*dictionary, depth);
        return true;
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

// A class of the machine's class dictionary is defined only by its own entry there, which the
// reader meets before any use by name in the symbols; any other class is defined at the first
// top-level occurrence. Everywhere else the name stands for the class.
bool KvoModuleWriter::writeClass(KvoClass& c, bool nested, int depth, bool classEntry)
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
    Step step(Step::Kind::CLASS);
    step.depth = depth;
    step.cls = &c;
    m_steps.push_back(step);
    return true;
}

// The name under which a KVT_VAR value's dictionary is written.
std::u16string KvoModuleWriter::dictionaryName(const KvoDictionary* dictionary) const
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
const KvoChar* KvoModuleWriter::fileKey(void* file)
{
    if (!m_symbolIndexBuilt)
        buildSymbolIndex();
    auto it = m_fileKeys.find(file);
    return file && it != m_fileKeys.end() ? it->second : u"";
}

const KvoChar* KvoModuleWriter::codeKey(KvoNativeFunc code)
{
    if (!m_symbolIndexBuilt)
        buildSymbolIndex();
    auto it = m_codeKeys.find(code);
    return code && it != m_codeKeys.end() ? it->second : u"";
}

void KvoModuleWriter::buildSymbolIndex()
{
    m_symbolIndexBuilt = true;
    for (KvoDictionaryEntry* e = m_vm.symbols().getFirst(); e; e = e->getNext()) {
        if (e->getValue().getType() == KVT_FILE)
            m_fileKeys.try_emplace(e->getValue().getFile(), keyText(*e));
        else if (e->getValue().getType() == KVT_CODE)
            m_codeKeys.try_emplace(e->getValue().getCode(), keyText(*e));
    }
}
