// The core functions of the standard library: type inspection and casts, conversions between
// numbers, strings and buffers, vector construction, the program's and the running function's
// arguments, run-time compilation, module loading, addresses and sizes.
//
// Conversions that cannot fail (int of a string, gettype) never raise; every other failure is a
// script error with the library's message texts. getargs, getusrargs, argcnt, arg and addr belong
// to the system group: without a running script they print "missing interpreter\n" and fail.
#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "compiler/KvoCompiler.h"
#include "compiler/KvoScanner.h"
#include "host/KvoDictionaryIO.h"
#include "platform/KvoMemory.h"
#include "platform/KvoText.h"
#include "stdlib/KvoDefaultFunctions.h"
#include "stdlib/KvoFileTable.h"
#include "stdlib/KvoLibCall.h"
#include "values/KvoBuffer.h"
#include "values/KvoCharBuffer.h"
#include "values/KvoClass.h"
#include "values/KvoDictionary.h"
#include "values/KvoObject.h"
#include "values/KvoString.h"
#include "values/KvoVector.h"

namespace {

// The member an object's class must have for string(x) to convert it.
constexpr KvoChar TO_STRING[] = u"toString";
// Bytes read from a stream at a time when compile takes its source from a file.
constexpr std::size_t SOURCE_CHUNK_BYTES = 4096;

bool isString(const KvoValue& value) noexcept
{
    return value.getType() == KVT_STRING || value.getType() == KVT_STRINGREF;
}

// The text of a string value; "" for a string value without a string object.
const KvoChar* textOf(const KvoValue& value) noexcept
{
    const KvoString* text = value.getString();
    return text ? text->c_str() : u"";
}

// How a string reads as a floating-point number.
enum class NumberScan : std::uint8_t {
    NUMBER,    // a number was read
    BLANK,     // only white space (or nothing): reads as 0.0
    NO_NUMBER, // text that starts with no number
};

// Reads text as scanf("%lf") does: white space skipped, then the longest numeric prefix.
NumberScan scanNumber(const KvoChar* text, double& value)
{
    while (*text && kvoIsSpace(*text))
        ++text;
    if (!*text) {
        value = 0.0;
        return NumberScan::BLANK;
    }
    return kvoScanDouble(text, &value) ? NumberScan::NUMBER : NumberScan::NO_NUMBER;
}

// The 8 bytes of a buffer holding exactly 8, little-endian.
std::uint64_t quadWordOf(const KvoBuffer& buffer) noexcept
{
    return std::uint64_t(buffer.getDW(0)) | (std::uint64_t(buffer.getDW(4)) << 32);
}

// Shared by float(x) and double(x): x as a double, or false after raising the error. Buffers of
// 4 bytes hold a single, of 8 bytes a double.
bool realOf(KvoLibCall& call, const KvoValue& value, double& result)
{
    switch (value.getType()) {
    case KVT_INTEGER:
    case KVT_FLOAT:
    case KVT_DOUBLE:
        result = value.getDouble();
        return true;
    case KVT_STRING:
    case KVT_STRINGREF: {
        const KvoChar* text = textOf(value);
        if (scanNumber(text, result) == NumberScan::NO_NUMBER)
            return call.fail(KVO_LIB_BAD_FORMAT, text);
        return true;
    }
    case KVT_BUFFER:
    case KVT_BUFFERREF:
        if (const KvoBuffer* buffer = value.getBuffer()) {
            if (buffer->size() == 4) {
                result = std::bit_cast<float>(buffer->getDW(0));
                return true;
            }
            if (buffer->size() == 8) {
                result = std::bit_cast<double>(quadWordOf(*buffer));
                return true;
            }
        }
        break;
    default:
        break;
    }
    return call.fail(KVO_LIB_BAD_ARG_TYPE);
}

// A new string holding an argument text (a null text reads as "").
KvoValue argumentString(const KvoChar* text)
{
    return KvoValue(new KvoString(text ? text : u""));
}

// How reading a source from a script's stream ended.
enum class SourceRead : std::uint8_t {
    COMPLETE,  // the text up to the end of the stream
    TOO_LARGE, // more than KVO_MAX_SOURCE_BYTES bytes: reading stopped there
    FAILED,    // a read error (a stream of a directory, say); errno in error
};

// Everything from the stream's position to its end into text, decoded as UTF-8 as source files
// are (a byte that starts no valid sequence stands for itself). A stream that goes on past the
// bound of a file source (a device, a pipe that is never closed) is read no further than that.
SourceRead readSource(std::FILE* stream, std::u16string& text, int& error)
{
    std::string bytes;
    char chunk[SOURCE_CHUNK_BYTES];
    for (;;) {
        errno = 0;
        const std::size_t got = std::fread(chunk, 1, sizeof chunk, stream);
        if (got == 0)
            break;
        if (got > KVO_MAX_SOURCE_BYTES - bytes.size())
            return SourceRead::TOO_LARGE;
        bytes.append(chunk, got);
    }
    if (std::ferror(stream)) {
        error = errno != 0 ? errno : EIO;
        return SourceRead::FAILED;
    }
    text = kvoFromUtf8(bytes.data(), bytes.size());
    return SourceRead::COMPLETE;
}

} // namespace

bool KvoDefaultFunctions::Kvo_gettype(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoLibCall call(vm, argc, args);
    if (!call.countBetween(1, 1))
        return false;
    return call.done(KvoValue(static_cast<std::int32_t>(call.arg(1).getType())));
}

bool KvoDefaultFunctions::Kvo_gettypename(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoLibCall call(vm, argc, args);
    if (!call.countBetween(1, 1))
        return false;
    const KvoValue& code = call.arg(1);
    // The name table has one entry per type; any other code is refused like a wrong type.
    if (code.getType() != KVT_INTEGER || code.getLong() < 0 || code.getLong() >= KVT_COUNT)
        return call.fail(KVO_LIB_BAD_ARG_TYPE);
    const auto type = static_cast<KvoValueType>(code.getLong());
    return call.done(KvoValue(new KvoString(getValueTypeName(type))));
}

bool KvoDefaultFunctions::Kvo_getclassname(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoLibCall call(vm, argc, args);
    if (!call.countBetween(1, 1))
        return false;
    const KvoObject* object = call.arg(1).getObject();
    if (!object)
        return call.fail(KVO_LIB_BAD_ARG_TYPE);
    const KvoClass* c = object->getClass();
    const KvoString* name = c ? c->getClassName() : nullptr;
    // A copy: the string functions change strings in place, and changing the class's own name
    // string would rename the class behind the class dictionary's back.
    return call.done(KvoValue(new KvoString(name ? name->c_str() : u"")));
}

bool KvoDefaultFunctions::Kvo_dynamic_cast(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoLibCall call(vm, argc, args);
    if (!vm || !call.countBetween(2, 2))
        return false;
    const KvoValue& target = call.arg(1);
    KvoClass* c = target.getClass();
    if (!c && isString(target)) {
        if (const KvoDictionaryEntry* entry = vm->classes().find(textOf(target)))
            c = entry->getValue().getClass();
    }
    if (!c) {
        call.result().dispose();
        return call.fail(KVO_LIB_NOT_A_CLASS);
    }
    const KvoValue& candidate = call.arg(2);
    const KvoObject* object = candidate.getObject();
    const KvoClass* objectClass = object ? object->getClass() : nullptr;
    if (objectClass && objectClass->isSubtypeOf(c))
        return call.done(candidate);
    return call.done(KvoValue());
}

bool KvoDefaultFunctions::Kvo_int(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoLibCall call(vm, argc, args);
    if (!call.countBetween(1, 1))
        return false;
    const KvoValue& value = call.arg(1);
    switch (value.getType()) {
    case KVT_STRING:
    case KVT_STRINGREF:
        // Base 0: "0x" hexadecimal, a leading 0 octal; no digits give 0, never an error.
        return call.done(KvoValue(kvoStrToL(textOf(value), nullptr, 0)));
    case KVT_INTEGER:
    case KVT_FLOAT:
    case KVT_DOUBLE:
        return call.done(KvoValue(value.getLong()));
    case KVT_BUFFER:
    case KVT_BUFFERREF:
        if (const KvoBuffer* buffer = value.getBuffer()) {
            if (buffer->size() == 2)
                return call.done(KvoValue(static_cast<std::int32_t>(static_cast<std::int16_t>(buffer->getW(0)))));
            if (buffer->size() == 4)
                return call.done(KvoValue(static_cast<std::int32_t>(buffer->getDW(0))));
        }
        break;
    default:
        break;
    }
    return call.fail(KVO_LIB_BAD_ARG_TYPE);
}

bool KvoDefaultFunctions::Kvo_float(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoLibCall call(vm, argc, args);
    if (!call.countBetween(1, 1))
        return false;
    const KvoValue& value = call.arg(1);
    if (value.getType() == KVT_FLOAT)
        return call.done(value);
    double real = 0.0;
    if (!realOf(call, value, real))
        return false;
    return call.done(KvoValue(static_cast<float>(real)));
}

bool KvoDefaultFunctions::Kvo_double(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoLibCall call(vm, argc, args);
    if (!call.countBetween(1, 1))
        return false;
    double real = 0.0;
    if (!realOf(call, call.arg(1), real))
        return false;
    return call.done(KvoValue(real));
}

bool KvoDefaultFunctions::Kvo_string(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoLibCall call(vm, argc, args);
    if (!call.countBetween(1, 1))
        return false;
    const KvoValue& value = call.arg(1);
    switch (value.getType()) {
    case KVT_INTEGER:
        return call.done(KvoValue(new KvoString(KvoString::decimal(value.getLong()))));
    case KVT_FLOAT:
    case KVT_DOUBLE:
        return call.done(KvoValue(new KvoString(KvoString::format(u"%f", value.getDouble()))));
    case KVT_STRING:
    case KVT_STRINGREF:
        return call.done(value);
    case KVT_CHARBUFFER:
    case KVT_CHARBUFFERREF:
        if (const KvoCharBuffer* buffer = value.getCharBuffer())
            return call.done(KvoValue(new KvoString(buffer->data(), buffer->size())));
        break;
    case KVT_OBJECT:
    case KVT_OBJECTREF: {
        // The toString protocol: the method runs on the argument slot, which is the stack top
        // when a script made the call, and whatever it leaves there is the result.
        const KvoObject* object = value.getObject();
        KvoInterpreter* interpreter = call.interpreter();
        const KvoClass* c = object ? object->getClass() : nullptr;
        const KvoDictionaryEntry* method = c ? c->findMember(TO_STRING, true) : nullptr;
        if (!interpreter || !method || method->getSymbolType() != SYM_METHOD || &args != &interpreter->getSP())
            break;
        if (!interpreter->send(0, TO_STRING))
            break;
        KvoValue result = std::move(*interpreter->getSP());
        return call.done(std::move(result));
    }
    default:
        break;
    }
    return call.fail(KVO_LIB_BAD_ARG_TYPE);
}

bool KvoDefaultFunctions::Kvo_buffer(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoLibCall call(vm, argc, args);
    if (!call.countBetween(1, 1))
        return false;
    const KvoValue& value = call.arg(1);
    switch (value.getType()) {
    case KVT_INTEGER: {
        auto* buffer = new KvoBuffer(4);
        buffer->push_backDW(static_cast<std::uint32_t>(value.getLong()));
        return call.done(KvoValue(buffer));
    }
    case KVT_FLOAT: {
        auto* buffer = new KvoBuffer(4);
        buffer->push_backDW(std::bit_cast<std::uint32_t>(value.getFloat()));
        return call.done(KvoValue(buffer));
    }
    case KVT_DOUBLE: {
        const auto bits = std::bit_cast<std::uint64_t>(value.getDouble());
        auto* buffer = new KvoBuffer(8);
        buffer->push_backDW(static_cast<std::uint32_t>(bits));
        buffer->push_backDW(static_cast<std::uint32_t>(bits >> 32));
        return call.done(KvoValue(buffer));
    }
    case KVT_BUFFER:
    case KVT_BUFFERREF:
        return call.done(value);
    default:
        return call.fail(KVO_LIB_BAD_ARG_TYPE);
    }
}

bool KvoDefaultFunctions::Kvo_T(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoLibCall call(vm, argc, args);
    auto* vector = new KvoVector(static_cast<std::uint32_t>(argc > 0 ? argc : 0), false);
    for (int i = 1; i <= argc; ++i)
        vector->push_back(call.arg(i));
    return call.done(KvoValue(vector));
}

bool KvoDefaultFunctions::Kvo_getargs(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoLibCall call(vm, argc, args);
    if (!call.needInterpreter() || !call.countBetween(0, 0))
        return false;
    const KvoChar** argv = vm->cmdargv();
    const int count = argv && vm->cmdargc() > 0 ? vm->cmdargc() : 0;
    auto* vector = new KvoVector(static_cast<std::uint32_t>(count), false);
    for (int i = 0; i < count; ++i)
        vector->push_back(argumentString(argv[i]));
    return call.done(KvoValue(vector));
}

bool KvoDefaultFunctions::Kvo_getusrargs(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoLibCall call(vm, argc, args);
    if (!call.needInterpreter() || !call.countBetween(0, 0))
        return false;
    const KvoChar** argv = vm->cmdargv();
    const int count = argv && vm->cmdargc() > 0 ? vm->cmdargc() : 0;
    // Collection starts at the first argument beginning with '#': a lone "#" is dropped,
    // otherwise its text after the '#' is the first user argument.
    int first = 0;
    while (first < count && !(argv[first] && argv[first][0] == u'#'))
        ++first;
    if (first == count)
        return call.done(KvoValue(new KvoVector()));
    const KvoChar* opening = argv[first] + 1;
    auto* vector = new KvoVector(static_cast<std::uint32_t>(count - first), false);
    if (*opening)
        vector->push_back(KvoValue(new KvoString(opening)));
    for (int i = first + 1; i < count; ++i)
        vector->push_back(argumentString(argv[i]));
    return call.done(KvoValue(vector));
}

bool KvoDefaultFunctions::Kvo_argcnt(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoLibCall call(vm, argc, args);
    if (!call.needInterpreter() || !call.countBetween(0, 0))
        return false;
    // A native function has no frame of its own: the current record is its caller's.
    const KvoProcInfo* frame = call.interpreter()->getProcInfo();
    return call.done(KvoValue(static_cast<std::int32_t>(frame ? frame->getNargs() : -1)));
}

bool KvoDefaultFunctions::Kvo_arg(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoLibCall call(vm, argc, args);
    if (!call.needInterpreter() || !call.countBetween(1, 1))
        return false;
    const KvoValue& index = call.arg(1);
    if (index.getType() != KVT_INTEGER)
        return call.fail(KVO_LIB_BAD_ARG_TYPE);
    KvoProcInfo* frame = call.interpreter()->getProcInfo();
    const std::int32_t i = index.getLong();
    if (!frame || i < 0 || i >= frame->getNargs())
        return call.fail(KVO_LIB_BAD_INDEX);
    // Copied before done() overwrites the callee slot, which may be the argument's own slot.
    KvoValue value = frame->bp()[i + 1];
    return call.done(std::move(value));
}

bool KvoDefaultFunctions::Kvo_compile(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoLibCall call(vm, argc, args);
    if (!vm || !call.countBetween(1, 2))
        return false;
    // The argument slots keep the name and the source alive while the compiler replaces globals.
    const KvoChar* name = u"";
    if (argc == 2) {
        if (!isString(call.arg(2)))
            return call.fail(KVO_LIB_BAD_ARG_TYPE);
        name = textOf(call.arg(2));
    }
    const KvoValue& source = call.arg(1);
    KvoCompiler compiler(*vm);
    compiler.setGenerateLineInfo(vm->getGenerateLineInfo());
    compiler.setGenerateLocalVarInfo(vm->getGenerateLocalVarInfo());
    bool compiled = false;
    if (source.getType() == KVT_FILE) {
        if (!source.getFile()) {
            // The compiler reports the missing stream itself.
            compiled = compiler.compile(static_cast<std::FILE*>(nullptr), name);
        } else {
            // A file value holds a handle of the file table, not the stream.
            std::FILE* stream = KvoFileTable::streamOf(source.getFile());
            if (!stream)
                return call.fail(KVO_LIB_FILE_CLOSED);
            // The compiler would close a stream handed to it, leaving the script's file value
            // dangling: it gets the stream's remaining text instead, and the stream stays open.
            std::u16string text;
            int error = 0;
            switch (readSource(stream, text, error)) {
            case SourceRead::COMPLETE:
                compiled = compiler.compile(text.c_str(), name);
                break;
            case SourceRead::TOO_LARGE:
                return call.fail(KVO_LIB_COUNT_TOO_LARGE);
            case SourceRead::FAILED:
                compiled = compiler.compileUnreadable(name, kvoFromUtf8(std::strerror(error)).c_str());
                break;
            }
        }
    } else if (isString(source)) {
        if (const KvoString* text = source.getString())
            compiled = compiler.compile(text->c_str(), name);
    } else {
        return call.fail(KVO_LIB_BAD_ARG_TYPE);
    }
    return call.done(KvoValue(std::int32_t{compiled ? 1 : 0}));
}

bool KvoDefaultFunctions::Kvo_loadmodule(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoLibCall call(vm, argc, args);
    if (!vm || !call.countBetween(1, 1))
        return false;
    const KvoValue& path = call.arg(1);
    if (!isString(path))
        return call.fail(KVO_LIB_BAD_ARG_TYPE);
    bool loaded = false;
    if (const KvoString* text = path.getString()) {
        KvoDictionaryIO reader(vm);
        loaded = reader.readModule(text->c_str());
    }
    return call.done(KvoValue(std::int32_t{loaded ? 1 : 0}));
}

bool KvoDefaultFunctions::Kvo_addr(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoLibCall call(vm, argc, args);
    if (!call.needInterpreter() || !call.countBetween(1, 1))
        return false;
    const KvoValue& value = call.arg(1);
    if (value.isNull())
        return call.fail(KVO_LIB_ARG_IS_NULL);
    const void* address = value.addr();
    // Never truncated: without the low arena an address may not fit a positive 32-bit integer.
    if (!kvoFitsScriptAddress(address))
        return call.fail(KVO_LIB_ADDRESS_TOO_WIDE);
    return call.done(KvoValue(static_cast<std::int32_t>(reinterpret_cast<std::uintptr_t>(address))));
}

bool KvoDefaultFunctions::Kvo_size(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoLibCall call(vm, argc, args);
    if (!call.countBetween(1, 1))
        return false;
    const KvoValue& value = call.arg(1);
    std::uint32_t count = 0;
    if (const KvoVector* vector = value.getVector())
        count = vector->size();
    else if (const KvoBuffer* buffer = value.getBuffer())
        count = buffer->size();
    else if (const KvoCharBuffer* buffer = value.getCharBuffer())
        count = buffer->size();
    else if (const KvoDictionary* dictionary = value.getDictionary())
        count = dictionary->count();
    else
        return call.fail(KVO_LIB_BAD_ARG_TYPE);
    return call.done(KvoValue(static_cast<std::int32_t>(count)));
}
