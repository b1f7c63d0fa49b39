// KvoVector: the one sequence type. Script arrays, the interpreter's stack, object member storage,
// compiled procedures and default-argument lists are all vectors of KvoValue.
// Invariant: capacity >= 2 and >= size; the slots from size to capacity are all zero bytes,
// which is a NULL value, so growing the size needs no construction.
#pragma once

#include <cstdint>

#include "values/KvoValue.h"

class ValPtr;

class KVO_API KvoVector : public KvoRefObject
{
public:
    KvoVector();
    // Capacity max(n, 2); with setSize the size is n (all NULL), else 0.
    KvoVector(std::uint32_t n, bool setSize);
    KvoVector(const KvoVector& other);
    KvoVector& operator=(const KvoVector& other);
    ~KvoVector() override;

    // Slot i, without any check.
    KvoValue& operator[](std::uint32_t i) noexcept { return m_data[i]; }
    const KvoValue& operator[](std::uint32_t i) const noexcept { return m_data[i]; }
    std::uint32_t size() const noexcept { return m_size; }
    std::uint32_t capacity() const noexcept { return m_capacity; }
    KvoValue* data() noexcept { return m_data; }

    // New capacity max(n (2 when 0), size); new slots are NULL. Returns the new capacity.
    std::uint32_t setCapacity(std::uint32_t n);
    std::uint32_t shrink() { return setCapacity(m_size); }
    // Appends a copy; a full vector doubles its capacity first.
    void push_back(const KvoValue& value);
    void push_back(KvoValue&& value);
    // Removes the last element and returns it (NULL when empty).
    KvoValue pop_back();
    // Disposes every element; the capacity stays.
    void clear();
    // Extends the size so that index i exists (new slots NULL), doubling the capacity as needed.
    void growToIndex(std::uint32_t i);
    // Drops the elements from index newSize on (disposing them); a larger newSize does nothing.
    void truncate(std::uint32_t newSize);

    KvoVector* operator+(const KvoVector& other) const;
    KvoVector& operator+=(const KvoVector& other);

    // Cursor at the first / last element; index -1 when empty.
    ValPtr first();
    ValPtr last();

    // Index of the first string element (owning or ref) whose text equals text; -1 if none.
    std::int32_t getStringIndex(const KvoChar* text) const;
    // Index of the first KVT_VAR element that refers to entry; -1 if none or entry is null.
    std::int32_t getVarIndex(const KvoDictionaryEntry* entry) const;

private:
    void reserveFor(std::uint32_t count);

    std::uint32_t m_size = 0;
    std::uint32_t m_capacity = 0;
    KvoValue* m_data = nullptr;
};
