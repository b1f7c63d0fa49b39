// Byte buffer operations beyond the shared element-buffer core.
#include "values/KvoBuffer.h"

KvoBuffer* KvoBuffer::operator+(const KvoBuffer& other) const
{
    std::uint64_t total = std::uint64_t(size()) + other.size();
    if (total > UINT32_MAX)
        errorExit(1);
    auto* result = new KvoBuffer(static_cast<std::uint32_t>(total));
    result->append(data(), size());
    result->append(other.data(), other.size());
    return result;
}

std::uint32_t KvoBuffer::push_backW(std::uint16_t w)
{
    push_back(static_cast<std::uint8_t>(w));
    push_back(static_cast<std::uint8_t>(w >> 8));
    return size() - 2;
}

std::uint32_t KvoBuffer::push_backDW(std::uint32_t dw)
{
    push_backW(static_cast<std::uint16_t>(dw));
    push_backW(static_cast<std::uint16_t>(dw >> 16));
    return size() - 4;
}

std::uint16_t KvoBuffer::pop_backW() noexcept
{
    std::uint8_t high = pop_back();
    std::uint8_t low = pop_back();
    return static_cast<std::uint16_t>(low | (high << 8));
}

std::uint32_t KvoBuffer::pop_backDW() noexcept
{
    std::uint16_t high = pop_backW();
    std::uint16_t low = pop_backW();
    return std::uint32_t(low) | (std::uint32_t(high) << 16);
}

bool KvoBuffer::setSize(std::uint32_t n) noexcept
{
    if (n > capacity())
        return false;
    setSizeUnchecked(n);
    return true;
}

std::uint8_t* KvoBuffer::prepareExecutionForm(std::uint32_t bytes)
{
    if (!m_form || m_formBytes != bytes) {
        freemem(m_form);
        m_form = static_cast<std::uint8_t*>(allocmem(bytes ? bytes : 1));
        m_formBytes = bytes;
    }
    m_formChanges = changes();
    return m_form;
}
