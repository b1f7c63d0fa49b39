// KvoCharBuffer: a counted, growable array of UTF-16 units that scripts fill and read (file and
// console input, native calls that write text).
#pragma once

#include <cstdint>

#include "platform/KvoTypes.h"
#include "values/KvoElementBuffer.h"

class KVO_API KvoCharBuffer : public KvoElementBuffer<KvoChar>
{
public:
    KvoCharBuffer() = default;
    explicit KvoCharBuffer(std::uint32_t n) : KvoElementBuffer(n) {}
    KvoCharBuffer(const KvoCharBuffer&) = default;
    KvoCharBuffer& operator=(const KvoCharBuffer&) = default;

    // New buffer: this one's characters followed by the other's.
    KvoCharBuffer* operator+(const KvoCharBuffer& other) const;
    KvoCharBuffer& operator+=(const KvoCharBuffer& other)
    {
        KvoElementBuffer::operator+=(other);
        return *this;
    }
    // Appends count characters.
    void append(const KvoChar* text, std::uint32_t count) { KvoElementBuffer::append(text, count); }

    // After outside code wrote text into data(): terminates the last slot of the capacity and
    // sets the size to the length of the text at the start.
    void adjustSize() noexcept;
};
