// IKvoInput: the console-style input channel that scripts read through.
#pragma once

#include "values/KvoString.h"

class KVO_API IKvoInput
{
public:
    virtual ~IKvoInput() = default;

    // The next character; 0xFFFF when the channel has no source. A stream channel returns -1
    // at the end of its stream, as getc does.
    virtual int getChar() = 0;
    // The next line without its line feed; empty when the channel has no source.
    virtual KvoString getString() = 0;
};

// What getChar returns when the channel has no source.
constexpr int KVO_INPUT_NONE = 0xFFFF;
