// KvoWinMsgPrinter: sends each printed text to a window as the registered message
// "KvoPrintStringMsg". Copies send to the same window.
#pragma once

#include "host/IKvoPrinter.h"

class KVO_API KvoWinMsgPrinter : public IKvoPrinter
{
public:
    // Prints to window (a window handle, borrowed; an invalid window receives nothing).
    explicit KvoWinMsgPrinter(void* window) : m_window(static_cast<KvoWindowHandle>(window)) {}

    // Formats and, when the text is not empty, sends it synchronously with SendMessageW:
    // wParam = the UTF-8 text (const char*), lParam = the UTF-16 text (const KvoChar*), both
    // valid only while the message is handled. The reply is ignored. Returns the number of
    // UTF-16 units formatted; -1 when fmt is null.
    int vprint(const KvoChar* fmt, va_list args) override;

    // The number of the "KvoPrintStringMsg" message, the same for the whole process.
    static KvoMessageId getPrintStringMsg();

private:
    KvoWindowHandle m_window = nullptr;
};
