// KvoElementBuffer: the growable array shared by KvoBuffer (bytes) and KvoCharBuffer (UTF-16
// units). Invariant: capacity >= 1 and >= size; the elements from size to capacity are zero,
// except where KvoBuffer::setSize shrank the size (it keeps the bytes, so growing the size again
// shows them). push_back doubles a full buffer; += grows to the exact need.
//
// Every access that can change the elements or the size counts a change (changes()), so that
// whoever keeps something derived from the contents can tell when it went stale. Writes through
// a pointer that data() handed out earlier are not seen; KvoBuffer::exposeBytes marks a buffer
// whose address went to code that may do so.
#pragma once

#include <cstdint>
#include <cstring>

#include "platform/KvoMemory.h"
#include "values/KvoRefObject.h"

template <typename Element>
class KvoElementBuffer : public KvoRefObject
{
public:
    KvoElementBuffer() : KvoElementBuffer(1) {}
    // Size 0, capacity n (0 becomes 1), zero-filled.
    explicit KvoElementBuffer(std::uint32_t n) : m_capacity(n ? n : 1), m_data(allocateZeroed(m_capacity)) {}
    KvoElementBuffer(const KvoElementBuffer& other)
        : KvoRefObject(other), m_size(other.m_size), m_capacity(other.m_capacity), m_data(allocateZeroed(other.m_capacity))
    {
        std::memcpy(m_data, other.m_data, m_size * sizeof(Element));
    }
    KvoElementBuffer& operator=(const KvoElementBuffer& other)
    {
        if (this == &other)
            return *this;
        Element* block = allocateZeroed(other.m_capacity);
        std::memcpy(block, other.m_data, other.m_size * sizeof(Element));
        freemem(m_data);
        m_data = block;
        m_size = other.m_size;
        m_capacity = other.m_capacity;
        ++m_changes;
        return *this;
    }
    ~KvoElementBuffer() override { freemem(m_data); }

    // Element i, without any check.
    Element& operator[](std::uint32_t i) noexcept
    {
        ++m_changes;
        return m_data[i];
    }
    const Element& operator[](std::uint32_t i) const noexcept { return m_data[i]; }
    std::uint32_t size() const noexcept { return m_size; }
    std::uint32_t capacity() const noexcept { return m_capacity; }
    // How many accesses that could change the contents there have been (wrapping).
    std::uint32_t changes() const noexcept { return m_changes; }
    Element* data() noexcept
    {
        ++m_changes;
        return m_data;
    }
    const Element* data() const noexcept { return m_data; }

    // New capacity max(n (1 when 0), size); new elements are zero. Returns the new capacity.
    std::uint32_t setCapacity(std::uint32_t n)
    {
        if (n == 0)
            n = 1;
        if (n < m_size)
            n = m_size;
        if (n == m_capacity)
            return m_capacity;
        if (n > SIZE_MAX / sizeof(Element))
            errorExit(1);
        m_data = static_cast<Element*>(reallocmem(m_data, std::size_t(n) * sizeof(Element)));
        if (n > m_capacity)
            std::memset(m_data + m_capacity, 0, std::size_t(n - m_capacity) * sizeof(Element));
        m_capacity = n;
        return m_capacity;
    }
    std::uint32_t shrink() { return setCapacity(m_size); }

    // Appends one element, doubling a full buffer; returns the element's index.
    std::uint32_t push_back(Element e)
    {
        if (m_size == m_capacity) {
            if (m_size > UINT32_MAX / 2)
                errorExit(1);
            setCapacity(m_size * 2);
        }
        m_data[m_size] = e;
        ++m_changes;
        return m_size++;
    }
    // Removes and returns the last element (0 when empty), zeroing its slot.
    Element pop_back() noexcept
    {
        if (m_size == 0)
            return 0;
        Element e = m_data[--m_size];
        m_data[m_size] = 0;
        ++m_changes;
        return e;
    }
    // Zeroes the used elements; size 0, capacity kept.
    void clear() noexcept
    {
        std::memset(m_data, 0, m_size * sizeof(Element));
        m_size = 0;
        ++m_changes;
    }
    // Appends the other buffer's elements, growing to the exact need.
    KvoElementBuffer& operator+=(const KvoElementBuffer& other)
    {
        std::uint64_t total = std::uint64_t(m_size) + other.m_size;
        if (total > UINT32_MAX)
            errorExit(1);
        std::uint32_t count = other.m_size; // other may be this buffer
        if (total > m_capacity)
            setCapacity(static_cast<std::uint32_t>(total));
        std::memmove(m_data + m_size, other.m_data, count * sizeof(Element));
        m_size += count;
        ++m_changes;
        return *this;
    }

protected:
    // Appends count elements, growing to the exact need.
    void append(const Element* elements, std::uint32_t count)
    {
        std::uint64_t total = std::uint64_t(m_size) + count;
        if (total > UINT32_MAX)
            errorExit(1);
        if (total > m_capacity) {
            // The elements may come from this very buffer: find them again after the block moves.
            auto address = reinterpret_cast<std::uintptr_t>(elements);
            auto start = reinterpret_cast<std::uintptr_t>(m_data);
            bool inside = address >= start && address < start + std::uintptr_t(m_capacity) * sizeof(Element);
            setCapacity(static_cast<std::uint32_t>(total));
            if (inside)
                elements = m_data + (address - start) / sizeof(Element);
        }
        std::memmove(m_data + m_size, elements, count * sizeof(Element));
        m_size += count;
        ++m_changes;
    }
    void setSizeUnchecked(std::uint32_t n) noexcept
    {
        m_size = n;
        ++m_changes;
    }

private:
    static Element* allocateZeroed(std::uint32_t n)
    {
        if (n > SIZE_MAX / sizeof(Element))
            errorExit(1);
        auto* block = static_cast<Element*>(allocmem(std::size_t(n) * sizeof(Element)));
        std::memset(block, 0, std::size_t(n) * sizeof(Element));
        return block;
    }

    std::uint32_t m_size = 0;
    std::uint32_t m_capacity = 1;
    std::uint32_t m_changes = 0;
    Element* m_data = nullptr;
};
