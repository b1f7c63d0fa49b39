// KvoWinMsgPrinter: both forms of the text live in buffers of this call, not in the thread's
// shared a_str buffer, so a window procedure that converts strings of its own does not overwrite
// the text it was sent.
#include "host/KvoWinMsgPrinter.h"

#include <string>

#include "host/KvoMessages.h"
#include "platform/KvoFormat.h"
#include "platform/KvoText.h"
#include "platform/KvoWindows.h"

int KvoWinMsgPrinter::vprint(const KvoChar* fmt, va_list args)
{
    if (fmt == nullptr) {
        return -1;
    }
    const std::u16string text = kvoFormatStringV(fmt, args);
    if (!text.empty()) {
        const std::string utf8 = kvoToUtf8(text.data(), text.size());
        SendMessageW(m_window, kvoPrintStringMsg(), reinterpret_cast<WPARAM>(utf8.c_str()),
                     reinterpret_cast<LPARAM>(text.c_str()));
    }
    return static_cast<int>(text.size());
}

UINT KvoWinMsgPrinter::getPrintStringMsg()
{
    return kvoPrintStringMsg();
}
