// Value constructors for object kinds, typed views, conversions and the type-name table.
#include "values/KvoValue.h"

#include <cmath>
#include <limits>

#include "values/KvoBuffer.h"
#include "values/KvoCharBuffer.h"
#include "values/KvoClass.h"
#include "values/KvoDictionary.h"
#include "values/KvoObject.h"
#include "values/KvoString.h"
#include "values/KvoVector.h"

namespace {

constexpr const KvoChar* TYPE_NAMES[KVT_COUNT] = {
    u"KVT_NULL",          u"KVT_INTEGER",     u"KVT_FLOAT",      u"KVT_DOUBLE",        u"KVT_FILE",
    u"KVT_CODE",          u"KVT_BYTECODE",    u"KVT_LOCALVARINFO", u"KVT_BUFFER",      u"KVT_CHARBUFFER",
    u"KVT_CLASS",         u"KVT_OBJECT",      u"KVT_VECTOR",     u"KVT_STRING",        u"KVT_DICTIONARY",
    u"KVT_VAR",           u"KVT_CODEREF",     u"KVT_BYTECODEREF", u"KVT_BUFFERREF",    u"KVT_CHARBUFFERREF",
    u"KVT_CLASSREF",      u"KVT_OBJECTREF",   u"KVT_VECTORREF",  u"KVT_STRINGREF",     u"KVT_DICTIONARYREF",
};

// All heap kinds derive from KvoRefObject alone, so the object pointer is the payload pointer.
template <typename T>
T* objectAs(void* p) noexcept
{
    return static_cast<T*>(static_cast<KvoRefObject*>(p));
}

} // namespace

const KvoChar* getValueTypeName(KvoValueType type)
{
    return static_cast<unsigned>(type) < KVT_COUNT ? TYPE_NAMES[type] : u"<invalid>";
}

KvoValue::KvoValue(KvoClass* p, bool ref) noexcept : m_ext(ref ? KVT_CLASSREF : KVT_CLASS, 0)
{
    setObject(p);
}

KvoValue::KvoValue(KvoObject* p, bool ref) noexcept : m_ext(ref ? KVT_OBJECTREF : KVT_OBJECT, 0)
{
    setObject(p);
}

KvoValue::KvoValue(KvoVector* p, bool bytecode, bool ref) noexcept
{
    KvoValueType type;
    if (bytecode)
        type = ref ? KVT_BYTECODEREF : KVT_BYTECODE;
    else
        type = ref ? KVT_VECTORREF : KVT_VECTOR;
    // A procedure's debug information is a bytecode-typed pair of vectors.
    if (type == KVT_BYTECODE && p && p->size() == 2 && (*p)[0].getType() == KVT_VECTOR &&
        (*p)[1].getType() == KVT_VECTOR)
        type = KVT_LOCALVARINFO;
    m_ext = ExtType(type, 0);
    setObject(p);
}

KvoValue::KvoValue(KvoString* p, bool ref) noexcept : m_ext(ref ? KVT_STRINGREF : KVT_STRING, 0)
{
    setObject(p);
}

KvoValue::KvoValue(KvoBuffer* p, bool ref) noexcept : m_ext(ref ? KVT_BUFFERREF : KVT_BUFFER, 0)
{
    setObject(p);
}

KvoValue::KvoValue(KvoCharBuffer* p, bool ref) noexcept : m_ext(ref ? KVT_CHARBUFFERREF : KVT_CHARBUFFER, 0)
{
    setObject(p);
}

KvoValue::KvoValue(KvoDictionary* p, bool ref) noexcept : m_ext(ref ? KVT_DICTIONARYREF : KVT_DICTIONARY, 0)
{
    setObject(p);
}

void KvoValue::assignRef(KvoRefObject* p)
{
    if (m_payload.object == p)
        return;
    KvoRefObject* old = m_payload.object;
    setPointer(p);
    retain();
    drop(m_ext.type, old);
}

void* KvoValue::addr() const noexcept
{
    switch (getType()) {
    case KVT_NULL:
        return nullptr;
    case KVT_INTEGER:
    case KVT_FLOAT:
    case KVT_DOUBLE:
        return const_cast<Payload*>(&m_payload);
    case KVT_BUFFER:
    case KVT_BUFFERREF:
        // Whoever gets the address may write through it: code run from the buffer is translated
        // afresh each time.
        return m_payload.pointer ? objectAs<KvoBuffer>(m_payload.pointer)->exposeBytes() : nullptr;
    case KVT_CHARBUFFER:
    case KVT_CHARBUFFERREF:
        return m_payload.pointer ? objectAs<KvoCharBuffer>(m_payload.pointer)->data() : nullptr;
    case KVT_STRING:
    case KVT_STRINGREF:
        // Whoever gets the address may write through it: the string stops trusting its hash.
        return m_payload.pointer ? objectAs<KvoString>(m_payload.pointer)->exposeText() : nullptr;
    default:
        return m_payload.pointer;
    }
}

KvoClass* KvoValue::getClass() const noexcept
{
    return (getType() == KVT_CLASS || getType() == KVT_CLASSREF) ? objectAs<KvoClass>(m_payload.pointer) : nullptr;
}

KvoObject* KvoValue::getObject() const noexcept
{
    return (getType() == KVT_OBJECT || getType() == KVT_OBJECTREF) ? objectAs<KvoObject>(m_payload.pointer) : nullptr;
}

KvoVector* KvoValue::getVector() const noexcept
{
    switch (getType()) {
    case KVT_VECTOR:
    case KVT_VECTORREF:
    case KVT_BYTECODE:
    case KVT_BYTECODEREF:
    case KVT_LOCALVARINFO:
        return objectAs<KvoVector>(m_payload.pointer);
    default:
        return nullptr;
    }
}

KvoString* KvoValue::getString() const noexcept
{
    return (getType() == KVT_STRING || getType() == KVT_STRINGREF) ? objectAs<KvoString>(m_payload.pointer) : nullptr;
}

KvoBuffer* KvoValue::getBuffer() const noexcept
{
    return (getType() == KVT_BUFFER || getType() == KVT_BUFFERREF) ? objectAs<KvoBuffer>(m_payload.pointer) : nullptr;
}

KvoCharBuffer* KvoValue::getCharBuffer() const noexcept
{
    return (getType() == KVT_CHARBUFFER || getType() == KVT_CHARBUFFERREF) ? objectAs<KvoCharBuffer>(m_payload.pointer)
                                                                             : nullptr;
}

KvoDictionary* KvoValue::getDictionary() const noexcept
{
    return (getType() == KVT_DICTIONARY || getType() == KVT_DICTIONARYREF) ? objectAs<KvoDictionary>(m_payload.pointer)
                                                                             : nullptr;
}

KvoDictionaryEntry* KvoValue::getVar() const noexcept
{
    return m_ext.type == KVT_VAR ? static_cast<KvoDictionaryEntry*>(m_payload.pointer) : nullptr;
}

std::int32_t KvoValue::convertToLong() const noexcept
{
    double d;
    if (m_ext.type == KVT_FLOAT)
        d = m_payload.single;
    else if (m_ext.type == KVT_DOUBLE)
        d = m_payload.real;
    else if (isDeadReference())
        return 0; // reads as null
    else {
        // The first 4 payload bytes (the low half of a pointer).
        std::int32_t bits;
        std::memcpy(&bits, &m_payload, sizeof bits);
        return bits;
    }
    // Truncation toward zero; out of range and NaN saturate instead of being undefined.
    if (std::isnan(d))
        return 0;
    if (d >= 2147483647.0)
        return std::numeric_limits<std::int32_t>::max();
    if (d <= -2147483648.0)
        return std::numeric_limits<std::int32_t>::min();
    return static_cast<std::int32_t>(d);
}

float KvoValue::getFloat() const noexcept
{
    switch (m_ext.type) {
    case KVT_FLOAT:
        return m_payload.single;
    case KVT_INTEGER:
        return static_cast<float>(m_payload.integer);
    case KVT_DOUBLE:
        return static_cast<float>(m_payload.real);
    default:
        return std::numeric_limits<float>::max();
    }
}
