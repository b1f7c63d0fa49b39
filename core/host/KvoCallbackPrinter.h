// KvoCallbackPrinter: hands each printed text, converted to UTF-8, to a host function. Copies
// share the callback.
#pragma once

#include <atomic>

#include "host/IKvoPrinter.h"

// Receives one printed text as UTF-8 (borrowed; valid only during the call).
using KvoPrintCallback = void (*)(const char* text);

class KVO_API KvoCallbackPrinter : public IKvoPrinter
{
public:
    // A printer without callback: prints nothing.
    KvoCallbackPrinter() = default;
    explicit KvoCallbackPrinter(KvoPrintCallback callback) : m_callback(callback) {}
    // A copy has the same callback and is not inside it.
    KvoCallbackPrinter(const KvoCallbackPrinter& other) : IKvoPrinter(other), m_callback(other.m_callback) {}
    KvoCallbackPrinter& operator=(const KvoCallbackPrinter& other)
    {
        m_callback = other.m_callback;
        return *this;
    }

    // Formats and, when the text is not empty, calls the callback once with its UTF-8 form.
    // Returns the number of UTF-16 units formatted; 0 without a callback (whatever fmt is);
    // -1 when fmt is null (the callback is not called).
    int vprint(const KvoChar* fmt, va_list args) override;

    // True while the callback runs (on any thread): the flat interface does not delete a
    // printer from inside its own callback.
    bool inCallback() const noexcept { return m_activeCalls.load() > 0; }

private:
    KvoPrintCallback m_callback = nullptr;
    std::atomic<int> m_activeCalls{0};
};
