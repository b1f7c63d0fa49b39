// KvoWinMsgInput: input that a window-based host stores beforehand, typically while it handles
// its own "KvoStringInputMsg" or "KvoCharInputMsg" protocol. Copies carry the same window and a
// copy of the stored line and character.
#pragma once

#include "host/IKvoInput.h"

class KVO_API KvoWinMsgInput : public IKvoInput
{
public:
    // Belongs to window (a window handle, borrowed); starts with an empty line and character 0.
    explicit KvoWinMsgInput(void* window) : m_window(static_cast<KvoWindowHandle>(window)) {}

    // The stored character.
    int getChar() override { return m_char; }
    // A copy of the stored line.
    KvoString getString() override { return m_line; }

    // Stores the line: UTF-8 text (decoded) or UTF-16 text; null stores an empty line.
    void setString(const char* text) { m_line = KvoString(text); }
    void setString(const KvoChar* text) { m_line = text; }
    // Stores the character: an 8-bit character as its unsigned byte value (0xE9 gives 233), a
    // UTF-16 unit as its value.
    void setChar(char c) noexcept { m_char = static_cast<unsigned char>(c); }
    void setChar(KvoChar c) noexcept { m_char = c; }

    // The window given at construction.
    KvoWindowHandle window() const noexcept { return m_window; }

    // The numbers of the "KvoStringInputMsg" and "KvoCharInputMsg" messages, the same for the
    // whole process.
    static KvoMessageId getStringInputMsg();
    static KvoMessageId getCharInputMsg();

private:
    KvoWindowHandle m_window = nullptr;
    KvoString m_line;
    int m_char = 0;
};
