// KvoCallbackInput: asks host functions for each character and each line. Copies share the
// callbacks.
#pragma once

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

    // The character callback's result; KVO_INPUT_NONE without that callback.
    int getChar() override;
    // The line callback's text decoded from UTF-8; empty without that callback or when it
    // returns null.
    KvoString getString() override;

private:
    KvoCharInputCallback m_charCallback = nullptr;
    KvoLineInputCallback m_lineCallback = nullptr;
};
