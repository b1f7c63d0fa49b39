// ValPtr: a cursor (vector, index) into a KvoVector. The interpreter uses it as stack, frame and
// argument pointer, and native functions address their arguments through it. The vector is not
// counted. Advancing past the end appends NULL slots, so a push is "advance, then assign";
// stepping back never shrinks the vector. Dereferencing outside 0..size-1 gives null.
#pragma once

#include <cstdint>

#include "values/KvoVector.h"

class KVO_API ValPtr
{
public:
    ValPtr() noexcept = default;
    ValPtr(KvoVector* vector, int index) noexcept : m_vector(vector), m_index(index) {}

    // The element's address, or null when the cursor is outside the vector.
    KvoValue* get() const noexcept
    {
        if (!m_vector || m_index < 0 || static_cast<std::uint32_t>(m_index) >= m_vector->size())
            return nullptr;
        return &(*m_vector)[static_cast<std::uint32_t>(m_index)];
    }
    KvoValue& operator*() const noexcept { return *get(); }
    KvoValue* operator->() const noexcept { return get(); }
    operator KvoValue*() const noexcept { return get(); }
    // The element at index + i, without any check.
    KvoValue& operator[](int i) const noexcept { return (*m_vector)[static_cast<std::uint32_t>(m_index + i)]; }

    // Moves forward, appending NULL slots while the index is past the end.
    ValPtr& operator+=(int n)
    {
        if (m_vector) {
            m_index += n;
            if (m_index >= 0 && static_cast<std::uint32_t>(m_index) >= m_vector->size())
                m_vector->growToIndex(static_cast<std::uint32_t>(m_index));
        }
        return *this;
    }
    ValPtr& operator++() { return *this += 1; }
    // Advances like the prefix form and, as designed, returns the cursor already advanced.
    ValPtr& operator++(int) { return *this += 1; }
    // Moves back without bound; the vector keeps its size.
    ValPtr& operator-=(int n) noexcept
    {
        if (m_vector)
            m_index -= n;
        return *this;
    }
    ValPtr& operator--() noexcept { return *this -= 1; }
    ValPtr& operator--(int) noexcept { return *this -= 1; }

    int current() const noexcept { return m_index; }
    KvoVector* vector() const noexcept { return m_vector; }
    bool operator==(const ValPtr& other) const noexcept = default;

private:
    KvoVector* m_vector = nullptr;
    int m_index = -1;
};
