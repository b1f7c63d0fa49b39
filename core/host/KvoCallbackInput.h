// KvoCallbackInput: asks host functions for each character and each line. Copies share the
// callbacks.
#pragma once

#include <atomic>

#include "host/IKvoInput.h"

// Returns the next character of the host's input.
using KvoCharInputCallback = int (*)();
// Returns the next line of the host's input as UTF-8 (borrowed; read before the callback is
// called again), or null for none.
using KvoLineInputCallback = const char* (*)();

class KVO_API KvoCallbackInput : public IKvoInput
{
public:
    // A channel without callbacks: no source.
    KvoCallbackInput() = default;
    // Either callback may be null.
    KvoCallbackInput(KvoCharInputCallback charCallback, KvoLineInputCallback lineCallback)
        : m_charCallback(charCallback), m_lineCallback(lineCallback)
    {
    }
    // A copy has the same callbacks and is not inside them.
    KvoCallbackInput(const KvoCallbackInput& other)
        : IKvoInput(other), m_charCallback(other.m_charCallback), m_lineCallback(other.m_lineCallback)
    {
    }
    KvoCallbackInput& operator=(const KvoCallbackInput& other)
    {
        m_charCallback = other.m_charCallback;
        m_lineCallback = other.m_lineCallback;
        return *this;
    }

    // The character callback's result; KVO_INPUT_NONE without that callback.
    int getChar() override;
    // The line callback's text decoded from UTF-8; empty without that callback or when it
    // returns null.
    KvoString getString() override;

    // True while one of the callbacks runs (on any thread): the flat interface does not delete
    // an input from inside its own callback.
    bool inCallback() const noexcept { return m_activeCalls.load() > 0; }

private:
    KvoCharInputCallback m_charCallback = nullptr;
    KvoLineInputCallback m_lineCallback = nullptr;
    std::atomic<int> m_activeCalls{0};
};
