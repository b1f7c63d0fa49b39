// KvoValue: the tagged value held by every variable, stack slot, vector element, object member
// and dictionary entry. 16 bytes: a type byte, a flags byte and an 8-byte payload (a 32-bit
// integer, a float, a double, a raw pointer or a pointer to a counted heap object).
// Invariant: a value of an owning kind (6..14) with a non-null pointer holds exactly one counted
// reference to its object; a value of a reference kind that points at an object (17..24) holds
// exactly one non-owning reference (KvoRefObject::addWeakRef), which does not keep the object
// alive; every other kind holds none. Copy, assignment, move and dispose keep that invariant and
// are inline because every push and pop of the interpreter runs them.
//
// A reference whose object has died reads as null everywhere: getType() answers KVT_NULL, every
// typed view answers null, and the integer view 0. Only its stored bits still say what it was.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "platform/KvoTypes.h"
#include "values/KvoRefObject.h"

class KvoBuffer;
class KvoCharBuffer;
class KvoClass;
class KvoDictionary;
class KvoDictionaryEntry;
class KvoObject;
class KvoString;
class KvoVector;
class KvoVirtualMachine;
class ValPtr;

// The signature of every native function: built-in functions and native methods alike.
// args points at the last argument; the arguments are args[-argc+1] .. args[0] and the called
// slot is args[-argc]. On success the function stores its result in that called slot, moves
// args down to it and returns true; on failure it returns the interpreter's returnError result.
using KvoNativeFunc = bool (*)(KvoVirtualMachine* vm, int argc, ValPtr& args);

// The kinds of value. Owning kinds (6..14) hold a counted reference; their non-owning twins
// (16..24) point at the same kinds of object without counting. Module files and bytecode
// store these numbers.
enum KvoValueType : std::uint8_t {
    KVT_NULL = 0,
    KVT_INTEGER = 1,
    KVT_FLOAT = 2,
    KVT_DOUBLE = 3,
    KVT_FILE = 4,
    KVT_CODE = 5,
    KVT_BYTECODE = 6,
    KVT_LOCALVARINFO = 7,
    KVT_BUFFER = 8,
    KVT_CHARBUFFER = 9,
    KVT_CLASS = 10,
    KVT_OBJECT = 11,
    KVT_VECTOR = 12,
    KVT_STRING = 13,
    KVT_DICTIONARY = 14,
    KVT_VAR = 15,
    KVT_CODEREF = 16,
    KVT_BYTECODEREF = 17,
    KVT_BUFFERREF = 18,
    KVT_CHARBUFFERREF = 19,
    KVT_CLASSREF = 20,
    KVT_OBJECTREF = 21,
    KVT_VECTORREF = 22,
    KVT_STRINGREF = 23,
    KVT_DICTIONARYREF = 24,
};
constexpr int KVT_COUNT = 25;

// Flag bits of a value.
constexpr std::uint8_t KVO_PROTECTION_MASK = 0x60; // protection of a class member
constexpr std::uint8_t KvoNoDefault = 0x80;        // parameter without a default value

// The enumerator's name ("KVT_NULL" ... "KVT_DICTIONARYREF"); valid types only.
KVO_API const KvoChar* getValueTypeName(KvoValueType type);

// True for the kinds that hold a counted reference (6..14).
constexpr bool isOwningType(unsigned type)
{
    return type - KVT_BYTECODE <= KVT_DICTIONARY - KVT_BYTECODE;
}
// True for the reference kinds that point at a heap object without owning it (17..24).
constexpr bool isWeakType(unsigned type)
{
    return type - KVT_BYTECODEREF <= KVT_DICTIONARYREF - KVT_BYTECODEREF;
}
// True for every kind whose payload points at a heap object (owning or not).
constexpr bool isObjectType(unsigned type)
{
    return isOwningType(type) || isWeakType(type);
}
// The non-owning twin of an owning kind (code 5 -> 16, bytecode 6 -> 17, buffer 8 -> 18 ...
// dictionary 14 -> 24). Kinds without a twin (local-variable information among them) map to
// themselves.
constexpr KvoValueType refTypeOf(KvoValueType type)
{
    if (type == KVT_CODE)
        return KVT_CODEREF;
    if (type == KVT_BYTECODE)
        return KVT_BYTECODEREF;
    if (type >= KVT_BUFFER && type <= KVT_DICTIONARY)
        return static_cast<KvoValueType>(type + 10);
    return type;
}

class KVO_API KvoValue
{
public:
    // The type and flags bytes.
    struct ExtType {
        KvoValueType type = KVT_NULL;
        std::uint8_t flags = 0;
        ExtType() = default;
        ExtType(KvoValueType t, unsigned short f) : type(t), flags(static_cast<std::uint8_t>(f & 0xff)) {}
    };

    KvoValue() noexcept { m_payload.bits = 0; }
    // t must be an object kind (6..14 or 16..24); an owning kind retains p.
    KvoValue(KvoRefObject* p, KvoValueType t) noexcept : m_ext(t, 0) { setObject(p); }
    KvoValue(KvoClass* p, bool ref = false) noexcept;
    KvoValue(KvoObject* p, bool ref = false) noexcept;
    // A bytecode vector of exactly two vectors reads as local-variable information.
    KvoValue(KvoVector* p, bool bytecode = false, bool ref = false) noexcept;
    KvoValue(KvoString* p, bool ref = false) noexcept;
    KvoValue(KvoBuffer* p, bool ref = false) noexcept;
    KvoValue(KvoCharBuffer* p, bool ref = false) noexcept;
    KvoValue(KvoDictionary* p, bool ref = false) noexcept;
    KvoValue(KvoDictionaryEntry* entry) noexcept : m_ext(KVT_VAR, 0) { setPointer(entry); }
    KvoValue(KvoNativeFunc func) noexcept : m_ext(KVT_CODE, 0)
    {
        m_payload.bits = 0;
        m_payload.func = func;
    }
    // Numbers are stored as the whole 8-byte word at once (the number in the low 4 bytes, the
    // rest zero): a 4-byte store followed by an 8-byte copy of the same word would stall the
    // processor's store forwarding on every arithmetic result.
    KvoValue(std::int32_t value) noexcept : m_ext(KVT_INTEGER, 0)
    {
        m_payload.bits = static_cast<std::uint32_t>(value);
    }
    KvoValue(float value) noexcept : m_ext(KVT_FLOAT, 0)
    {
        m_payload.bits = std::bit_cast<std::uint32_t>(value);
    }
    KvoValue(double value) noexcept : m_ext(KVT_DOUBLE, 0) { m_payload.real = value; }
    // A raw pointer: an open stream or any host handle (KVT_FILE).
    KvoValue(void* handle) noexcept : m_ext(KVT_FILE, 0) { setPointer(handle); }

    KvoValue(const KvoValue& other) noexcept : m_ext(other.m_ext), m_payload(other.m_payload) { retain(); }
    KvoValue(KvoValue&& other) noexcept : m_ext(other.m_ext), m_payload(other.m_payload)
    {
        other.m_ext = ExtType();
        other.m_payload.bits = 0;
    }
    ~KvoValue() { dispose(); }

    // Retains the new referent before releasing the old one, so that assigning a value held
    // inside an object that only this value keeps alive (v = v[0]) stays safe.
    KvoValue& operator=(const KvoValue& other)
    {
        other.retain();
        KvoValueType oldType = m_ext.type;
        KvoRefObject* old = m_payload.object;
        m_ext = other.m_ext;
        m_payload = other.m_payload;
        drop(oldType, old);
        return *this;
    }
    KvoValue& operator=(KvoValue&& other)
    {
        if (this == &other)
            return *this;
        KvoValueType oldType = m_ext.type;
        KvoRefObject* old = m_payload.object;
        m_ext = other.m_ext;
        m_payload = other.m_payload;
        other.m_ext = ExtType();
        other.m_payload.bits = 0;
        drop(oldType, old);
        return *this;
    }

    // Releases an owned object (or drops a reference) and leaves NULL. The value is already NULL
    // when the object's destructor runs, so a destructor that looks at this slot sees no stale
    // pointer.
    void dispose()
    {
        KvoValueType oldType = m_ext.type;
        KvoRefObject* old = m_payload.object;
        m_ext = ExtType();
        m_payload.bits = 0;
        drop(oldType, old);
    }

    // Assignment and dispose that leave a final release to the caller: the result is the object
    // this value owned when its last reference went with the change, or the tombstone whose
    // last non-owning reference went (the caller must call finishRelease() on it), else null.
    // They make no call themselves, so the interpreter loop can keep its state in registers and
    // save it only on the rare path that deletes an object.
    [[nodiscard, gnu::always_inline]] KvoRefObject* assignDeferred(const KvoValue& other) noexcept
    {
        other.retain();
        KvoValueType oldType = m_ext.type;
        KvoRefObject* old = m_payload.object;
        m_ext = other.m_ext;
        m_payload = other.m_payload;
        return dropDeferred(oldType, old);
    }
    [[nodiscard, gnu::always_inline]] KvoRefObject* disposeDeferred() noexcept
    {
        KvoValueType oldType = m_ext.type;
        KvoRefObject* old = m_payload.object;
        m_ext = ExtType();
        m_payload.bits = 0;
        return dropDeferred(oldType, old);
    }
    // Stores a copy of other (taking its count or reference) without looking at the old
    // content; only for a value that holds no counted reference.
    [[gnu::always_inline]] void assignOverUnowned(const KvoValue& other) noexcept
    {
        other.retain();
        m_ext = other.m_ext;
        m_payload = other.m_payload;
    }
    // Takes other's content, leaving other NULL, without looking at the old content; only for
    // a value that holds no counted reference and is not other.
    [[gnu::always_inline]] void moveOverUnowned(KvoValue& other) noexcept
    {
        m_ext = other.m_ext;
        m_payload = other.m_payload;
        other.m_ext = ExtType();
        other.m_payload.bits = 0;
    }
    // Stores an integer without looking at the old content; only for a value that holds no
    // counted reference.
    void setIntegerUnowned(std::int32_t value) noexcept
    {
        m_ext = ExtType(KVT_INTEGER, 0);
        m_payload.bits = static_cast<std::uint32_t>(value);
    }
    // The 32-bit integer payload, whatever the type.
    std::int32_t rawInteger() const noexcept { return m_payload.integer; }

    // Replaces the pointer, keeping type and flags; an owning kind retains the new object and
    // releases the old one.
    void assignRef(KvoRefObject* p);

    // The kind; KVT_NULL for a reference whose object has died.
    KvoValueType getType() const noexcept
    {
        if (isDeadReference()) [[unlikely]]
            return KVT_NULL;
        return m_ext.type;
    }
    // getType() == type, for a kind known where it is written: a stored byte comparison for every
    // kind that a dead reference cannot turn into.
    [[gnu::always_inline]] bool hasType(KvoValueType type) const noexcept
    {
        if (type == KVT_NULL || isWeakType(type))
            return getType() == type;
        return m_ext.type == type;
    }
    // The stored type and flags bytes, also of a reference whose object has died.
    ExtType getExtType() const noexcept { return m_ext; }
    KvoValueType storedType() const noexcept { return m_ext.type; }
    // True for a reference whose object has died.
    bool isDeadReference() const noexcept
    {
        return isWeakType(m_ext.type) && m_payload.object && m_payload.object->isDead();
    }
    std::uint8_t getFlags() const noexcept { return m_ext.flags; }
    void setFlags(std::uint8_t flags) noexcept { m_ext.flags = flags; }
    std::uint8_t getProtection() const noexcept { return m_ext.flags & KVO_PROTECTION_MASK; }
    // Replaces the whole flags byte by the protection bits of p.
    void setProtection(short p) noexcept { m_ext.flags = static_cast<std::uint8_t>(p & KVO_PROTECTION_MASK); }

    // The payload as a pointer, whatever the type (null for a reference whose object has died).
    void* getRef() const noexcept { return ptr(); }
    void* ptr() const noexcept
    {
        if (isDeadReference()) [[unlikely]]
            return nullptr;
        return m_payload.pointer;
    }
    // The payload pointer as stored, also that of a dead reference: only for code that has
    // already checked the kind through getType() (or a typed view).
    void* storedPointer() const noexcept { return m_payload.pointer; }
    // The address of the data: the payload for numbers, the bytes of a buffer, the characters
    // of a character buffer or string, else the payload pointer.
    void* addr() const noexcept;

    // Typed views; null (or the tabled default) when the type does not match.
    KvoClass* getClass() const noexcept;
    KvoObject* getObject() const noexcept;
    KvoVector* getVector() const noexcept;
    KvoString* getString() const noexcept;
    KvoBuffer* getBuffer() const noexcept;
    KvoCharBuffer* getCharBuffer() const noexcept;
    KvoDictionary* getDictionary() const noexcept;
    KvoDictionaryEntry* getVar() const noexcept;
    KvoNativeFunc getCode() const noexcept { return m_ext.type == KVT_CODE ? m_payload.func : nullptr; }
    void* getFile() const noexcept { return m_ext.type == KVT_FILE ? m_payload.pointer : nullptr; }
    // Integer view: floats and doubles truncate toward zero (saturating where the C++ cast would
    // be undefined); every other kind gives its first 4 payload bytes.
    std::int32_t getLong() const noexcept
    {
        if (m_ext.type == KVT_INTEGER) [[likely]]
            return m_payload.integer;
        return convertToLong();
    }
    // Float view: integers and doubles converted; other kinds give the largest float.
    float getFloat() const noexcept;
    // Double view: integers and floats converted; other kinds give the largest finite double.
    double getDouble() const noexcept
    {
        if (m_ext.type == KVT_DOUBLE)
            return m_payload.real;
        if (m_ext.type == KVT_INTEGER)
            return m_payload.integer;
        if (m_ext.type == KVT_FLOAT)
            return m_payload.single;
        return 1.7976931348623157e308;
    }

    explicit operator KvoClass*() const noexcept { return getClass(); }
    explicit operator KvoObject*() const noexcept { return getObject(); }
    explicit operator KvoVector*() const noexcept { return getVector(); }
    explicit operator KvoString*() const noexcept { return getString(); }
    explicit operator KvoBuffer*() const noexcept { return getBuffer(); }
    explicit operator KvoCharBuffer*() const noexcept { return getCharBuffer(); }
    explicit operator KvoDictionary*() const noexcept { return getDictionary(); }
    explicit operator KvoDictionaryEntry*() const noexcept { return getVar(); }
    explicit operator KvoNativeFunc() const noexcept { return getCode(); }
    explicit operator void*() const noexcept { return getFile(); }
    explicit operator std::int32_t() const noexcept { return getLong(); }
    explicit operator float() const noexcept { return getFloat(); }
    explicit operator double() const noexcept { return getDouble(); }

    bool isNull() const noexcept { return getType() == KVT_NULL; }
    bool isOwning() const noexcept { return isOwningType(m_ext.type); }

    // Type predicates and typed getters for hot paths: the same answers as getType() and the
    // typed views above, inline. Numbers never die, so their predicates read the stored byte.
    bool isInteger() const noexcept { return m_ext.type == KVT_INTEGER; }
    bool isDouble() const noexcept { return m_ext.type == KVT_DOUBLE; }
    // An integer or a double (not a float): the kinds the interpreter's number fast paths take.
    [[gnu::always_inline]] bool isIntegerOrDouble() const noexcept { return m_ext.type == KVT_INTEGER || m_ext.type == KVT_DOUBLE; }
    bool isNumber() const noexcept { return isIntegerOrDouble() || m_ext.type == KVT_FLOAT; }
    // A string, a procedure, an object: the owning kind or its live reference twin.
    bool isString() const noexcept { return isKindOrLiveTwin(KVT_STRING, KVT_STRINGREF); }
    bool isProcedure() const noexcept { return isKindOrLiveTwin(KVT_BYTECODE, KVT_BYTECODEREF); }
    bool isObject() const noexcept { return isKindOrLiveTwin(KVT_OBJECT, KVT_OBJECTREF); }
    // The double payload; only for a value known to be a double.
    double rawDouble() const noexcept { return m_payload.real; }
    // An integer or double as a double; only for a value known to be one of the two.
    double integerOrDoubleAsDouble() const noexcept
    {
        return m_ext.type == KVT_INTEGER ? double(m_payload.integer) : m_payload.real;
    }
    // Stores a double or NULL without looking at the old content; only for a value that holds
    // no counted reference.
    void setDoubleUnowned(double value) noexcept
    {
        m_ext = ExtType(KVT_DOUBLE, 0);
        m_payload.real = value;
    }
    void setNullUnowned() noexcept
    {
        m_ext = ExtType();
        m_payload.bits = 0;
    }

    // The payload as an object of type T, whatever the type says: only after the kind was
    // checked (a dead reference must already have been excluded).
    template <typename T>
    T* payloadAs() const noexcept
    {
        return static_cast<T*>(m_payload.object);
    }
    // The object of a value of kind `owning` or of its live reference twin `reference`, else
    // null: owning kinds pay nothing for references.
    template <typename T>
    [[gnu::always_inline]] T* objectOfKinds(KvoValueType owning, KvoValueType reference) const noexcept
    {
        return isKindOrLiveTwin(owning, reference) ? payloadAs<T>() : nullptr;
    }
    // The object as T (KvoString, KvoBuffer, KvoCharBuffer, KvoObject, KvoClass, KvoDictionary
    // or KvoVector, whose kinds include procedures and local-variable information): the same
    // answer as the typed view of that class, inline, for code that includes T's header.
    template <typename T>
    T* as() const noexcept;

private:
    [[gnu::always_inline]] bool isKindOrLiveTwin(KvoValueType owning, KvoValueType reference) const noexcept
    {
        KvoValueType type = m_ext.type;
        return type == owning || (type == reference && !isDeadReference());
    }
    void setObject(KvoRefObject* p) noexcept
    {
        setPointer(p);
        retain();
    }
    // Takes the count (owning kinds) or the non-owning reference (reference kinds) that this
    // value's payload stands for.
    // (The kinds below KVT_BYTECODE, numbers above all, leave with one comparison.)
    [[gnu::always_inline]] void retain() const noexcept
    {
        unsigned type = m_ext.type;
        if (type < KVT_BYTECODE || !m_payload.object)
            return;
        if (type <= KVT_DICTIONARY)
            m_payload.object->addRef();
        else if (isWeakType(type)) [[unlikely]]
            m_payload.object->addWeakRef();
    }
    // Gives back what a payload of the given kind stood for.
    static void drop(KvoValueType type, KvoRefObject* object)
    {
        if (KvoRefObject* last = dropDeferred(type, object))
            last->finishRelease();
    }
    [[gnu::always_inline]] static KvoRefObject* dropDeferred(KvoValueType type, KvoRefObject* object) noexcept
    {
        if (type < KVT_BYTECODE || !object)
            return nullptr;
        if (type <= KVT_DICTIONARY)
            return object->releaseUnlessLast();
        if (isWeakType(type)) [[unlikely]]
            return object->releaseWeakRefUnlessLast();
        return nullptr;
    }
    void setPointer(void* p) noexcept
    {
        m_payload.bits = 0;
        m_payload.pointer = p;
    }
    std::int32_t convertToLong() const noexcept;

    union Payload {
        std::uint64_t bits;
        std::int32_t integer;
        float single;
        double real;
        void* pointer;
        KvoRefObject* object;
        KvoNativeFunc func;
    };

    ExtType m_ext;
    Payload m_payload;
};

template <typename T>
T* KvoValue::as() const noexcept
{
    if constexpr (std::is_same_v<T, KvoVector>) {
        switch (m_ext.type) {
        case KVT_VECTOR:
        case KVT_BYTECODE:
        case KVT_LOCALVARINFO:
            return payloadAs<T>();
        case KVT_VECTORREF:
        case KVT_BYTECODEREF:
            return isDeadReference() ? nullptr : payloadAs<T>();
        default:
            return nullptr;
        }
    } else if constexpr (std::is_same_v<T, KvoString>) {
        return objectOfKinds<T>(KVT_STRING, KVT_STRINGREF);
    } else if constexpr (std::is_same_v<T, KvoBuffer>) {
        return objectOfKinds<T>(KVT_BUFFER, KVT_BUFFERREF);
    } else if constexpr (std::is_same_v<T, KvoCharBuffer>) {
        return objectOfKinds<T>(KVT_CHARBUFFER, KVT_CHARBUFFERREF);
    } else if constexpr (std::is_same_v<T, KvoObject>) {
        return objectOfKinds<T>(KVT_OBJECT, KVT_OBJECTREF);
    } else if constexpr (std::is_same_v<T, KvoClass>) {
        return objectOfKinds<T>(KVT_CLASS, KVT_CLASSREF);
    } else {
        static_assert(std::is_same_v<T, KvoDictionary>, "a class that values hold");
        return objectOfKinds<T>(KVT_DICTIONARY, KVT_DICTIONARYREF);
    }
}

static_assert(sizeof(KvoValue) == 16, "a value is 16 bytes");
static_assert(std::endian::native == std::endian::little, "32-bit payloads occupy the low bytes of the payload word");
static_assert(KVT_DICTIONARYREF == 24 && KVT_VAR == 15, "value type numbers are stored in files");
