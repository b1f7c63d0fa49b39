// The file and console functions of the standard library: output through the machine's printer,
// console input through the machine's input channel, and byte, character, line, block and value
// transfer on C streams.
//
// A file value is copied freely and outlives fclose, so it holds a handle of KvoFileTable, never
// the stream itself: fopen enters its stream there (for the machine that runs the script, which
// closes what its scripts leave open when it is released), fclose closes it through the table,
// and every function here asks the table for the handle's stream before calling the C library. A
// handle whose stream was closed, or that the table never gave out, fails with "file is closed".
// The standard streams are always open; fclose only flushes them, because the host's own printer
// and console input use them too.
//
// Lines (fgets, fgetws, gets) are read up to the library's bound on one result: a longer line
// fails with "count too large" instead of growing until memory runs out.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <string>
#include <typeinfo>
#include <utility>

#include "host/IKvoInput.h"
#include "host/KvoDictionaryIO.h"
#include "host/KvoFileStreamInput.h"
#include "host/KvoVirtualMachine.h"
#include "platform/KvoFile.h"
#include "stdlib/KvoDefaultFunctions.h"
#include "stdlib/KvoFileTable.h"
#include "stdlib/KvoLibCall.h"
#include "stdlib/KvoLibLimits.h"
#include "stdlib/KvoRegistration.h"
#include "values/KvoBuffer.h"
#include "values/KvoString.h"

namespace {

const KvoFunctionRegistration IO_FUNCTIONS[] = {
    {u"fopen", &KvoDefaultFunctions::Kvo_fopen},
    {u"fclose", &KvoDefaultFunctions::Kvo_fclose},
    {u"feof", &KvoDefaultFunctions::Kvo_feof},
    {u"getc", &KvoDefaultFunctions::Kvo_getc},
    {u"putc", &KvoDefaultFunctions::Kvo_putc},
    {u"gets", &KvoDefaultFunctions::Kvo_gets},
    {u"fgets", &KvoDefaultFunctions::Kvo_fgets},
    {u"fputs", &KvoDefaultFunctions::Kvo_fputs},
    {u"print", &KvoDefaultFunctions::Kvo_print},
    {u"freadval", &KvoDefaultFunctions::Kvo_freadval},
    {u"fwriteval", &KvoDefaultFunctions::Kvo_fwriteval},
    {u"fread", &KvoDefaultFunctions::Kvo_fread},
    {u"fwrite", &KvoDefaultFunctions::Kvo_fwrite},
    {u"getwc", &KvoDefaultFunctions::Kvo_getwc},
    {u"putwc", &KvoDefaultFunctions::Kvo_putwc},
    {u"fgetws", &KvoDefaultFunctions::Kvo_fgetws},
    {u"fputws", &KvoDefaultFunctions::Kvo_fputws},
};

// Writes one value as print shows it.
void printValue(IKvoPrinter& printer, const KvoValue& value)
{
    switch (value.getType()) {
    case KVT_INTEGER:
        printer(u"%ld", value.getLong());
        break;
    case KVT_FLOAT:
    case KVT_DOUBLE:
        printer(u"%f", value.getDouble());
        break;
    case KVT_STRING:
    case KVT_STRINGREF:
        if (const KvoString* text = value.getString())
            printer(u"%s", text->c_str());
        break;
    default:
        // Objects are not converted through toString: print shows what the value is.
        printer(u"(%s:%p)", getValueTypeName(value.getType()), value.ptr());
        break;
    }
}

} // namespace

void KvoDefaultFunctions::registerIOFunctions(KvoVirtualMachine* vm)
{
    kvoRegisterTable(vm, IO_FUNCTIONS, std::size(IO_FUNCTIONS));
}

bool KvoDefaultFunctions::Kvo_print(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    if (!vm)
        return false;
    args -= argc;
    IKvoPrinter& printer = vm->printer();
    for (int i = 1; i <= argc; ++i)
        printValue(printer, args[i]);
    args[0] = KvoValue();
    return true;
}


namespace {

// How a function tests its stream argument: exactly (the value's type is KVT_FILE) or by
// conversion (the value converts to a non-null stream pointer).
enum class StreamTest { exact, conversion };

bool isStreamValue(const KvoValue& value, StreamTest test)
{
    if (test == StreamTest::exact)
        return value.getType() == KVT_FILE;
    return value.getFile() != nullptr;
}

// The stream of a value that passed its type test, into stream; false after "file is closed"
// when its handle has no open stream (closed, never given out by the table, or null).
bool openStreamOf(KvoLibCall& call, const KvoValue& value, std::FILE*& stream)
{
    stream = KvoFileTable::streamOf(value.getFile());
    if (!stream)
        return call.fail(KVO_LIB_FILE_CLOSED);
    return true;
}

// fputs and fputws: exactly a string and a stream; false after "invalid argument" or "file is
// closed".
bool readTextAndStream(KvoLibCall& call, const KvoString*& text, std::FILE*& stream)
{
    if (!call.countBetween(2, 2))
        return false;
    text = call.arg(1).getString();
    if (!text || !isStreamValue(call.arg(2), StreamTest::conversion))
        return call.fail(KVO_LIB_BAD_ARG);
    return openStreamOf(call, call.arg(2), stream);
}

// The stream of argument i tested as stated; false after the type message or "file is closed".
bool readStream(KvoLibCall& call, int i, StreamTest test, std::FILE*& stream)
{
    if (!isStreamValue(call.arg(i), test))
        return call.fail(KVO_LIB_BAD_ARG_TYPE);
    return openStreamOf(call, call.arg(i), stream);
}

// The block form shared by fread and fwrite: buffer first, stream last, and with three or four
// arguments an element count (next to last) and an element size (second, with four). Counts
// are exact integers; negative ones mean none.
struct BlockRequest {
    KvoBuffer* buffer = nullptr;
    std::FILE* stream = nullptr;
    bool counted = false; // an explicit element count was given
    std::uint32_t elementSize = 1;
    std::uint32_t elementCount = 0;
};

bool readBlockRequest(KvoLibCall& call, BlockRequest& request)
{
    int argc = call.count();
    if (!call.countBetween(2, 4))
        return false;
    if (!isStreamValue(call.arg(argc), StreamTest::conversion))
        return call.fail(KVO_LIB_BAD_ARG_TYPE, KVO_LIB_FILE_EXPECTED);
    request.buffer = call.arg(1).getBuffer();
    if (!request.buffer)
        return call.fail(KVO_LIB_BAD_ARG_TYPE, KVO_LIB_BUFFER_EXPECTED);
    if (argc >= 3) {
        const KvoValue& count = call.arg(argc - 1);
        if (count.getType() != KVT_INTEGER)
            return call.fail(KVO_LIB_BAD_ARG_TYPE, KVO_LIB_INT_EXPECTED);
        request.counted = true;
        request.elementCount = static_cast<std::uint32_t>(std::max(count.getLong(), 0));
    }
    if (argc == 4) {
        const KvoValue& size = call.arg(2);
        if (size.getType() != KVT_INTEGER)
            return call.fail(KVO_LIB_BAD_ARG_TYPE, KVO_LIB_INT_EXPECTED);
        request.elementSize = static_cast<std::uint32_t>(std::max(size.getLong(), 0));
    }
    return openStreamOf(call, call.arg(argc), request.stream);
}

// Bytes read at a time when fread reads up to the end of the stream.
constexpr std::uint32_t READ_CHUNK_BYTES = 64 * 1024;

// Appends the rest of the stream to buffer, straight into its storage, at most
// KVO_LIB_MAX_BLOCK_BYTES in one call; the number of bytes appended. The capacity doubles (within
// what the call may still add) so that a long stream is not copied again for every chunk.
std::uint32_t readToEnd(KvoBuffer& buffer, std::FILE* stream)
{
    std::uint32_t total = 0;
    while (total < KVO_LIB_MAX_BLOCK_BYTES) {
        std::uint32_t size = buffer.size();
        std::uint32_t allowed = KVO_LIB_MAX_BLOCK_BYTES - total;
        std::uint32_t wanted = std::min(READ_CHUNK_BYTES, allowed);
        if (std::uint64_t(size) + allowed > UINT32_MAX)
            break;
        if (buffer.capacity() - size < wanted) {
            std::uint64_t grown = std::max<std::uint64_t>(std::uint64_t(size) + wanted, std::uint64_t(buffer.capacity()) * 2);
            buffer.setCapacity(static_cast<std::uint32_t>(std::min<std::uint64_t>(grown, std::uint64_t(size) + allowed)));
        }
        std::size_t got = std::fread(buffer.data() + size, 1, wanted, stream);
        buffer.setSize(size + static_cast<std::uint32_t>(got));
        total += static_cast<std::uint32_t>(got);
        if (got < wanted)
            break;
    }
    return total;
}

// The most characters that fgets, fgetws and gets return: the bound of one new string.
constexpr std::size_t MAX_LINE_UNITS = kvoLibMaxCount(sizeof(KvoChar));

// The next line of stream (bytes widened, or wide characters) as the call's result; false after
// "count too large" when the line is longer than one string may be.
bool lineResult(KvoLibCall& call, std::FILE* stream, bool wide)
{
    std::u16string line;
    if (!kvoReadLine(stream, wide, MAX_LINE_UNITS, line))
        return call.fail(KVO_LIB_COUNT_TOO_LARGE);
    return call.done(KvoValue(new KvoString(line.data(), line.size())));
}

} // namespace

bool KvoDefaultFunctions::Kvo_fopen(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoLibCall call(vm, argc, args);
    if (!call.countBetween(2, 2))
        return false;
    const KvoString* name = call.arg(1).getString();
    const KvoString* mode = call.arg(2).getString();
    if (!name || !mode)
        return call.fail(KVO_LIB_BAD_ARG_TYPE);
    std::FILE* stream = kvoOpenFile(name->c_str(), mode->c_str());
    if (!stream)
        return call.done(KvoValue());
    // The machine closes the stream when it is released, should the script not do it.
    return call.done(KvoValue(KvoFileTable::add(stream, vm)));
}

bool KvoDefaultFunctions::Kvo_fclose(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoLibCall call(vm, argc, args);
    std::FILE* stream = nullptr;
    if (!call.countBetween(1, 1) || !readStream(call, 1, StreamTest::exact, stream))
        return false;
    if (KvoFileTable::isStandard(stream))
        return call.done(KvoValue(std::int32_t(std::fflush(stream))));
    return call.done(KvoValue(std::int32_t(KvoFileTable::close(call.arg(1).getFile()))));
}

bool KvoDefaultFunctions::Kvo_feof(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoLibCall call(vm, argc, args);
    std::FILE* stream = nullptr;
    if (!call.countBetween(1, 1) || !readStream(call, 1, StreamTest::exact, stream))
        return false;
    return call.done(KvoValue(std::int32_t(std::feof(stream) != 0)));
}

bool KvoDefaultFunctions::Kvo_getc(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoLibCall call(vm, argc, args);
    if (!vm || !call.countBetween(0, 1))
        return false;
    if (argc == 0) {
        IKvoInput* input = vm->getCurrentInput();
        return call.done(KvoValue(std::int32_t(input ? input->getChar() : KVO_INPUT_NONE)));
    }
    std::FILE* stream = nullptr;
    if (!readStream(call, 1, StreamTest::exact, stream))
        return false;
    return call.done(KvoValue(std::int32_t(std::fgetc(stream))));
}

bool KvoDefaultFunctions::Kvo_putc(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoLibCall call(vm, argc, args);
    if (!call.countBetween(2, 2))
        return false;
    if (call.arg(1).getType() != KVT_INTEGER || !isStreamValue(call.arg(2), StreamTest::conversion))
        return call.fail(KVO_LIB_BAD_ARG_TYPE);
    std::FILE* stream = nullptr;
    if (!openStreamOf(call, call.arg(2), stream))
        return false;
    return call.done(KvoValue(std::int32_t(std::fputc(call.arg(1).getLong() & 0xFF, stream))));
}

bool KvoDefaultFunctions::Kvo_gets(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoLibCall call(vm, argc, args);
    if (!vm || !call.countBetween(0, 0))
        return false;
    IKvoInput* input = vm->getCurrentInput();
    if (!input)
        return call.done(KvoValue(new KvoString(u"")));
    // A stream channel (the machine's own standard input among them) is read here, within the
    // bound; its own getString would read a line of any length. Derived channels may read
    // differently and keep their getString.
    if (typeid(*input) == typeid(KvoFileStreamInput))
        return lineResult(call, static_cast<KvoFileStreamInput*>(input)->stream(), true);
    KvoString line = input->getString();
    if (line.length() > MAX_LINE_UNITS)
        return call.fail(KVO_LIB_COUNT_TOO_LARGE);
    return call.done(KvoValue(new KvoString(std::move(line))));
}

bool KvoDefaultFunctions::Kvo_fgets(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoLibCall call(vm, argc, args);
    std::FILE* stream = nullptr;
    if (!call.countBetween(1, 1) || !readStream(call, 1, StreamTest::conversion, stream))
        return false;
    // Bytes widened one to one, without decoding.
    return lineResult(call, stream, false);
}

bool KvoDefaultFunctions::Kvo_fputs(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoLibCall call(vm, argc, args);
    const KvoString* text = nullptr;
    std::FILE* stream = nullptr;
    if (!readTextAndStream(call, text, stream))
        return false;
    return call.done(KvoValue(std::int32_t(std::fputs(text->a_str(), stream))));
}

bool KvoDefaultFunctions::Kvo_getwc(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoLibCall call(vm, argc, args);
    std::FILE* stream = nullptr;
    if (!call.countBetween(1, 1) || !readStream(call, 1, StreamTest::exact, stream))
        return false;
    return call.done(KvoValue(std::int32_t(kvoGetWc(stream))));
}

bool KvoDefaultFunctions::Kvo_putwc(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoLibCall call(vm, argc, args);
    if (!call.countBetween(2, 2))
        return false;
    if (call.arg(1).getType() != KVT_INTEGER || !isStreamValue(call.arg(2), StreamTest::conversion))
        return call.fail(KVO_LIB_BAD_ARG_TYPE);
    std::FILE* stream = nullptr;
    if (!openStreamOf(call, call.arg(2), stream))
        return false;
    auto unit = static_cast<KvoChar>(call.arg(1).getLong() & 0xFFFF);
    return call.done(KvoValue(std::int32_t(kvoPutWc(unit, stream))));
}

bool KvoDefaultFunctions::Kvo_fgetws(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoLibCall call(vm, argc, args);
    std::FILE* stream = nullptr;
    if (!call.countBetween(1, 1) || !readStream(call, 1, StreamTest::conversion, stream))
        return false;
    return lineResult(call, stream, true);
}

bool KvoDefaultFunctions::Kvo_fputws(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoLibCall call(vm, argc, args);
    const KvoString* text = nullptr;
    std::FILE* stream = nullptr;
    if (!readTextAndStream(call, text, stream))
        return false;
    return call.done(KvoValue(std::int32_t(kvoPutWs(text->c_str(), text->length(), stream))));
}

bool KvoDefaultFunctions::Kvo_fread(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoLibCall call(vm, argc, args);
    BlockRequest request;
    if (!readBlockRequest(call, request))
        return false;
    KvoBuffer& buffer = *request.buffer;
    if (!request.counted)
        return call.done(KvoValue(std::int32_t(readToEnd(buffer, request.stream))));
    std::uint64_t wanted = std::uint64_t(request.elementSize) * request.elementCount;
    if (wanted > KVO_LIB_MAX_BLOCK_BYTES || buffer.size() + wanted > UINT32_MAX)
        return call.fail(KVO_LIB_COUNT_TOO_LARGE);
    if (wanted == 0)
        return call.done(KvoValue(std::int32_t(0)));
    // The data goes after the buffer's current content.
    std::uint32_t oldSize = buffer.size();
    auto newEnd = static_cast<std::uint32_t>(oldSize + wanted);
    if (buffer.capacity() < newEnd)
        buffer.setCapacity(newEnd);
    std::size_t elements = std::fread(buffer.data() + oldSize, request.elementSize, request.elementCount, request.stream);
    buffer.setSize(oldSize + static_cast<std::uint32_t>(elements * request.elementSize));
    return call.done(KvoValue(static_cast<std::int32_t>(elements)));
}

bool KvoDefaultFunctions::Kvo_fwrite(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoLibCall call(vm, argc, args);
    BlockRequest request;
    if (!readBlockRequest(call, request))
        return false;
    const KvoBuffer& buffer = *request.buffer;
    if (!request.counted)
        request.elementCount = buffer.size();
    // Never past the buffer's content: only whole elements that the buffer holds are written.
    if (request.elementSize == 0)
        return call.done(KvoValue(std::int32_t(0)));
    request.elementCount = std::min(request.elementCount, buffer.size() / request.elementSize);
    std::size_t elements = std::fwrite(buffer.data(), request.elementSize, request.elementCount, request.stream);
    return call.done(KvoValue(static_cast<std::int32_t>(elements)));
}

bool KvoDefaultFunctions::Kvo_freadval(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoLibCall call(vm, argc, args);
    std::FILE* stream = nullptr;
    if (!call.countBetween(1, 1) || !readStream(call, 1, StreamTest::conversion, stream))
        return false;
    KvoValue value;
    KvoDictionaryIO reader(vm);
    if (!reader.readSingleValue(stream, value))
        value = KvoValue();
    return call.done(std::move(value));
}

bool KvoDefaultFunctions::Kvo_fwriteval(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoLibCall call(vm, argc, args);
    std::FILE* stream = nullptr;
    if (!call.countBetween(2, 2) || !readStream(call, 2, StreamTest::conversion, stream))
        return false;
    KvoDictionaryIO writer(vm);
    bool written = writer.writeSingleValue(stream, call.arg(1));
    return call.done(KvoValue(std::int32_t(written ? 1 : 0)));
}
