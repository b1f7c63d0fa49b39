// KvoStringPrinter: collects everything printed into one string, for hosts that want the output
// as text (and for tests). Copies collect separately, starting from the copied text.
#pragma once

#include "host/IKvoPrinter.h"
#include "values/KvoString.h"

class KVO_API KvoStringPrinter : public IKvoPrinter
{
public:
    KvoStringPrinter() = default;

    // Formats and appends the text. Returns the number of UTF-16 units formatted; -1 when fmt is
    // null.
    int vprint(const KvoChar* fmt, va_list args) override;

    // The collected text ("" when nothing was collected); valid until the next print or clear.
    const KvoChar* c_str() const noexcept { return m_text.c_str(); }
    const KvoChar* w_str() const noexcept { return m_text.w_str(); }
    // The collected text as UTF-8, in the thread's shared buffer of KvoString::a_str.
    const char* a_str() const { return m_text.a_str(); }
    // Forgets the collected text.
    void clear() noexcept { m_text.clear(); }

private:
    KvoString m_text;
};
