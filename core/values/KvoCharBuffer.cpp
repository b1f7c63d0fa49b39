// Character buffer operations beyond the shared element-buffer core.
#include "values/KvoCharBuffer.h"

KvoCharBuffer* KvoCharBuffer::operator+(const KvoCharBuffer& other) const
{
    std::uint64_t total = std::uint64_t(size()) + other.size();
    if (total > UINT32_MAX)
        errorExit(1);
    auto* result = new KvoCharBuffer(static_cast<std::uint32_t>(total));
    result->append(data(), size());
    result->append(other.data(), other.size());
    return result;
}

void KvoCharBuffer::adjustSize() noexcept
{
    KvoChar* text = data();
    if (!text) {
        setSizeUnchecked(0);
        return;
    }
    text[capacity() - 1] = 0;
    std::uint32_t length = 0;
    while (text[length])
        ++length;
    setSizeUnchecked(length);
}
