// KvoStringPrinter: formatting appends to the collected string.
#include "host/KvoStringPrinter.h"

#include <string>

#include "platform/KvoFormat.h"

int KvoStringPrinter::vprint(const KvoChar* fmt, va_list args)
{
    if (fmt == nullptr) {
        return -1;
    }
    const std::u16string text = kvoFormatStringV(fmt, args);
    if (!text.empty()) {
        m_text += text.c_str();
    }
    return static_cast<int>(text.size());
}
