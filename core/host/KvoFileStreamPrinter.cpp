// KvoFileStreamPrinter: formats into a UTF-16 text and writes it through the platform's UTF-8
// wide output, which keeps a trailing high surrogate until the next write to the stream.
#include "host/KvoFileStreamPrinter.h"

#include <string>

#include "platform/KvoFile.h"
#include "platform/KvoFormat.h"

KvoFileStreamPrinter::KvoFileStreamPrinter(void* stream, bool owns)
    : m_stream(static_cast<std::FILE*>(stream)), m_ownsStream(owns)
{
}

KvoFileStreamPrinter::KvoFileStreamPrinter(const KvoChar* path, const KvoChar* mode)
    : m_stream(kvoOpenFile(path, mode)), m_ownsStream(true)
{
}

KvoFileStreamPrinter::~KvoFileStreamPrinter()
{
    if (m_ownsStream && m_stream != nullptr) {
        kvoCloseFile(m_stream);
    }
}

int KvoFileStreamPrinter::vprint(const KvoChar* fmt, va_list args)
{
    if (fmt == nullptr || m_stream == nullptr) {
        return -1;
    }
    const std::u16string text = kvoFormatStringV(fmt, args);
    if (kvoPutWs(text.data(), text.size(), m_stream) != 0) {
        return -1;
    }
    return static_cast<int>(text.size());
}
