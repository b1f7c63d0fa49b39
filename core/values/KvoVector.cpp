// Vector storage. Slots live in one block from the runtime heap; unused slots are zero bytes.
#include "values/KvoVector.h"

#include <cstring>
#include <new>

#include "platform/KvoMemory.h"
#include "platform/KvoText.h"
#include "values/KvoString.h"
#include "values/ValPtr.h"

namespace {
constexpr std::uint32_t MIN_CAPACITY = 2;

KvoValue* allocateSlots(std::uint32_t capacity)
{
    void* block = allocmem(sizeof(KvoValue) * capacity);
    std::memset(block, 0, sizeof(KvoValue) * capacity);
    return static_cast<KvoValue*>(block);
}
} // namespace

KvoVector::KvoVector() : m_capacity(MIN_CAPACITY), m_data(allocateSlots(MIN_CAPACITY)) {}

KvoVector::KvoVector(std::uint32_t n, bool setSize)
    : m_size(setSize ? n : 0), m_capacity(n < MIN_CAPACITY ? MIN_CAPACITY : n), m_data(allocateSlots(m_capacity))
{
}

KvoVector::KvoVector(const KvoVector& other)
    : KvoRefObject(other), m_size(other.m_size), m_capacity(other.m_capacity), m_data(allocateSlots(other.m_capacity))
{
    for (std::uint32_t i = 0; i < m_size; ++i)
        new (&m_data[i]) KvoValue(other.m_data[i]);
}

KvoVector& KvoVector::operator=(const KvoVector& other)
{
    if (this == &other)
        return *this;
    KvoValue* block = allocateSlots(other.m_capacity);
    for (std::uint32_t i = 0; i < other.m_size; ++i)
        new (&block[i]) KvoValue(other.m_data[i]);
    KvoValue* oldData = m_data;
    std::uint32_t oldSize = m_size;
    m_data = block;
    m_size = other.m_size;
    m_capacity = other.m_capacity;
    for (std::uint32_t i = 0; i < oldSize; ++i)
        oldData[i].~KvoValue();
    freemem(oldData);
    return *this;
}

KvoVector::~KvoVector()
{
    // Front to back, so that the objects of a script array are destroyed in order.
    for (std::uint32_t i = 0; i < m_size; ++i)
        m_data[i].dispose();
    freemem(m_data);
}

std::uint32_t KvoVector::setCapacity(std::uint32_t n)
{
    if (n == 0)
        n = MIN_CAPACITY;
    if (n < m_size)
        n = m_size;
    if (n == m_capacity)
        return m_capacity;
    // Values hold no pointers into themselves, so their bytes can move with the block.
    m_data = static_cast<KvoValue*>(reallocmem(m_data, sizeof(KvoValue) * n));
    if (n > m_capacity)
        std::memset(static_cast<void*>(m_data + m_capacity), 0, sizeof(KvoValue) * (n - m_capacity));
    m_capacity = n;
    return m_capacity;
}

void KvoVector::reserveFor(std::uint32_t count)
{
    if (count <= m_capacity)
        return;
    std::uint64_t capacity = m_capacity;
    while (capacity < count)
        capacity *= 2;
    if (capacity > UINT32_MAX / sizeof(KvoValue))
        errorExit(1);
    setCapacity(static_cast<std::uint32_t>(capacity));
}

void KvoVector::push_back(const KvoValue& value)
{
    if (m_size == m_capacity) {
        // value may live in this vector: copy it before the block moves.
        KvoValue copy(value);
        reserveFor(m_size + 1);
        m_data[m_size++] = static_cast<KvoValue&&>(copy);
        return;
    }
    m_data[m_size++] = value;
}

void KvoVector::push_back(KvoValue&& value)
{
    KvoValue moved(static_cast<KvoValue&&>(value));
    reserveFor(m_size + 1);
    m_data[m_size++] = static_cast<KvoValue&&>(moved);
}

KvoValue KvoVector::pop_back()
{
    if (m_size == 0)
        return KvoValue();
    --m_size;
    return KvoValue(static_cast<KvoValue&&>(m_data[m_size]));
}

void KvoVector::clear()
{
    truncate(0);
}

void KvoVector::truncate(std::uint32_t newSize)
{
    // Dispose from the end; a destructor run by a release may push onto this very vector (the
    // interpreter's stack), so re-read the size after every element.
    while (m_size > newSize) {
        --m_size;
        m_data[m_size].dispose();
    }
}

void KvoVector::growToIndex(std::uint32_t i)
{
    if (i < m_size)
        return;
    if (i == UINT32_MAX)
        errorExit(1);
    reserveFor(i + 1);
    m_size = i + 1;
}

KvoVector* KvoVector::operator+(const KvoVector& other) const
{
    std::uint64_t total = std::uint64_t(m_size) + other.m_size;
    if (total > UINT32_MAX / sizeof(KvoValue))
        errorExit(1);
    auto* result = new KvoVector(static_cast<std::uint32_t>(total), false);
    for (std::uint32_t i = 0; i < m_size; ++i)
        result->m_data[result->m_size++] = m_data[i];
    for (std::uint32_t i = 0; i < other.m_size; ++i)
        result->m_data[result->m_size++] = other.m_data[i];
    return result;
}

KvoVector& KvoVector::operator+=(const KvoVector& other)
{
    std::uint64_t total = std::uint64_t(m_size) + other.m_size;
    if (total > UINT32_MAX / sizeof(KvoValue))
        errorExit(1);
    std::uint32_t otherSize = other.m_size; // other may be this vector
    if (total > m_capacity)
        setCapacity(static_cast<std::uint32_t>(total));
    for (std::uint32_t i = 0; i < otherSize; ++i)
        m_data[m_size++] = other.m_data[i];
    return *this;
}

ValPtr KvoVector::first()
{
    return ValPtr(this, m_size == 0 ? -1 : 0);
}

ValPtr KvoVector::last()
{
    return ValPtr(this, static_cast<int>(m_size) - 1);
}

std::int32_t KvoVector::getStringIndex(const KvoChar* text) const
{
    if (!text)
        return -1;
    for (std::uint32_t i = 0; i < m_size; ++i) {
        const KvoString* s = m_data[i].getString();
        if (s && kvoStrCmp(s->c_str(), text) == 0)
            return static_cast<std::int32_t>(i);
    }
    return -1;
}

std::int32_t KvoVector::getVarIndex(const KvoDictionaryEntry* entry) const
{
    if (!entry)
        return -1;
    for (std::uint32_t i = 0; i < m_size; ++i) {
        if (m_data[i].getType() == KVT_VAR && m_data[i].ptr() == entry)
            return static_cast<std::int32_t>(i);
    }
    return -1;
}
