// KvoCallbackInput: forwards to the host's callbacks.
#include "host/KvoCallbackInput.h"

int KvoCallbackInput::getChar()
{
    return m_charCallback != nullptr ? m_charCallback() : KVO_INPUT_NONE;
}

KvoString KvoCallbackInput::getString()
{
    if (m_lineCallback == nullptr) {
        return KvoString();
    }
    return KvoString(m_lineCallback());
}
