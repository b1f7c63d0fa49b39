// KvoCallbackInput: forwards to the host's callbacks, counting the calls in progress.
#include "host/KvoCallbackInput.h"

int KvoCallbackInput::getChar()
{
    if (m_charCallback == nullptr) {
        return KVO_INPUT_NONE;
    }
    ++m_activeCalls;
    const int c = m_charCallback();
    --m_activeCalls;
    return c;
}

KvoString KvoCallbackInput::getString()
{
    if (m_lineCallback == nullptr) {
        return KvoString();
    }
    ++m_activeCalls;
    const char* line = m_lineCallback();
    // The text is the callback's, valid until its next call: it is copied before the count drops.
    KvoString text(line);
    --m_activeCalls;
    return text;
}
