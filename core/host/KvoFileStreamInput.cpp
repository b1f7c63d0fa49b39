// KvoFileStreamInput: bytes come straight from the stream; lines go through the platform's UTF-8
// wide input, one UTF-16 unit per call.
#include "host/KvoFileStreamInput.h"

#include <string>

#include "platform/KvoFile.h"

KvoFileStreamInput::KvoFileStreamInput(void* stream, bool owns)
    : m_stream(static_cast<std::FILE*>(stream)), m_ownsStream(owns)
{
}

KvoFileStreamInput::KvoFileStreamInput(const KvoChar* path, const KvoChar* mode)
    : m_stream(kvoOpenFile(path, mode)), m_ownsStream(true)
{
}

KvoFileStreamInput::~KvoFileStreamInput()
{
    if (m_ownsStream && m_stream != nullptr) {
        kvoCloseFile(m_stream);
    }
}

int KvoFileStreamInput::getChar()
{
    if (m_stream == nullptr) {
        return KVO_INPUT_NONE;
    }
    return std::fgetc(m_stream);
}

KvoString KvoFileStreamInput::getString()
{
    if (m_stream == nullptr) {
        return KvoString();
    }
    std::u16string line;
    for (;;) {
        const KvoChar c = kvoGetWc(m_stream);
        if (c == KVO_WEOF || c == u'\n') {
            break;
        }
        line.push_back(c);
    }
    return KvoString(line.data(), line.size());
}
