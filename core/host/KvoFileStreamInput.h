// KvoFileStreamInput: reads console-style input from a C stream; the machine's standard input
// channel is one on the process's standard input. Lines are decoded from UTF-8. The channel
// closes its stream on destruction only when it owns it, and it cannot be copied.
#pragma once

#include <cstdio>

#include "host/IKvoInput.h"

class KVO_API KvoFileStreamInput : public IKvoInput
{
public:
    // Reads from stream (a FILE*; null makes a channel without source). Takes ownership of the
    // stream when owns is true.
    KvoFileStreamInput(void* stream, bool owns);
    // Opens path with mode (fopen's modes; 't' is ignored) and owns the stream. Without a stream
    // when either argument is null or the open fails.
    KvoFileStreamInput(const KvoChar* path, const KvoChar* mode);
    KvoFileStreamInput(const KvoFileStreamInput&) = delete;
    KvoFileStreamInput& operator=(const KvoFileStreamInput&) = delete;
    ~KvoFileStreamInput() override;

    // The next byte (0..255), -1 at end of file (as getc on the stream gives), KVO_INPUT_NONE
    // without a stream.
    int getChar() override;
    // The next line, decoded from UTF-8, without its line feed: the characters up to a line feed
    // or the end of file. Empty at end of file and without a stream.
    KvoString getString() override;

    // The stream (borrowed), or null.
    std::FILE* stream() const noexcept { return m_stream; }

private:
    std::FILE* m_stream = nullptr;
    bool m_ownsStream = false;
};
