// KvoDummyPrinter: the printer that prints nothing. The machine creates one when it is given no
// printer, so that every print has somewhere to go.
#pragma once

#include "host/IKvoPrinter.h"

class KVO_API KvoDummyPrinter : public IKvoPrinter
{
public:
    // Ignores fmt and its arguments; always returns 0.
    int vprint(const KvoChar* /*fmt*/, va_list /*args*/) override { return 0; }
};
