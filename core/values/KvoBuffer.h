// KvoBuffer: a counted, growable byte array with little-endian 16- and 32-bit access, used by
// scripts for raw data and for marshalling native structures. The word accessors read and
// write byte by byte, so no alignment is needed; they are unchecked like operator[].
#pragma once

#include <cstdint>

#include "values/KvoElementBuffer.h"

class KVO_API KvoBuffer : public KvoElementBuffer<std::uint8_t>
{
public:
    KvoBuffer() = default;
    explicit KvoBuffer(std::uint32_t n) : KvoElementBuffer(n) {}
    // A copy has the bytes only: its execution form is made when it runs.
    KvoBuffer(const KvoBuffer& other) : KvoElementBuffer(other) {}
    KvoBuffer& operator=(const KvoBuffer& other)
    {
        KvoElementBuffer::operator=(other);
        return *this;
    }
    ~KvoBuffer() override { freemem(m_form); }

    // New buffer: this one's bytes followed by the other's (capacity the sum, at least 1).
    KvoBuffer* operator+(const KvoBuffer& other) const;
    KvoBuffer& operator+=(const KvoBuffer& other)
    {
        KvoElementBuffer::operator+=(other);
        return *this;
    }
    // Appends count bytes.
    void append(const void* bytes, std::uint32_t count) { KvoElementBuffer::append(static_cast<const std::uint8_t*>(bytes), count); }

    // Little-endian pushes; each returns the offset of what it stored.
    std::uint32_t push_backW(std::uint16_t w);
    std::uint32_t push_backDW(std::uint32_t dw);
    std::uint32_t push_backNW(std::uint32_t nw) { return push_backDW(nw); }
    // Pops in the reverse order of the matching push.
    std::uint16_t pop_backW() noexcept;
    std::uint32_t pop_backDW() noexcept;
    std::uint32_t pop_backNW() noexcept { return pop_backDW(); }

    std::uint16_t getW(std::uint32_t offset) const noexcept
    {
        return static_cast<std::uint16_t>(data()[offset] | (data()[offset + 1] << 8));
    }
    std::uint32_t getDW(std::uint32_t offset) const noexcept
    {
        return std::uint32_t(getW(offset)) | (std::uint32_t(getW(offset + 2)) << 16);
    }
    std::uint32_t getNW(std::uint32_t offset) const noexcept { return getDW(offset); }
    void setW(std::uint32_t offset, std::uint16_t w) noexcept
    {
        data()[offset] = static_cast<std::uint8_t>(w);
        data()[offset + 1] = static_cast<std::uint8_t>(w >> 8);
    }
    void setDW(std::uint32_t offset, std::uint32_t dw) noexcept
    {
        setW(offset, static_cast<std::uint16_t>(dw));
        setW(offset + 2, static_cast<std::uint16_t>(dw >> 16));
    }
    void setNW(std::uint32_t offset, std::uint32_t nw) noexcept { setDW(offset, nw); }

    // Sets the size; false (unchanged) when n exceeds the capacity.
    bool setSize(std::uint32_t n) noexcept;

    // The bytes' address for code that may keep it and write through it later, unseen by the
    // change count: from now on nothing derived from the contents is trusted.
    std::uint8_t* exposeBytes() noexcept
    {
        m_exposed = true;
        return data();
    }

    // The interpreter's execution form of these bytes when code is run from them: a block of
    // its own layout that the buffer keeps and frees. Current while no change was counted since
    // it was made and the address was never exposed; null otherwise.
    [[gnu::always_inline]] const std::uint8_t* executionForm() const noexcept
    {
        return m_formChanges == changes() && !m_exposed ? m_form : nullptr;
    }
    // A block of `bytes` bytes for a new execution form of the present contents, reusing the old
    // block when it is that large; the caller fills it before anything changes the buffer.
    std::uint8_t* prepareExecutionForm(std::uint32_t bytes);

private:
    std::uint8_t* m_form = nullptr;
    std::uint32_t m_formBytes = 0;
    std::uint32_t m_formChanges = 0;
    bool m_exposed = false;
};
