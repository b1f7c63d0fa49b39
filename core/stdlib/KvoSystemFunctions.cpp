// The clock, random-number, environment and system-error functions of the standard library.
// Everything here except time and timer belongs to the system group: without a running script it
// prints "missing interpreter\n" and fails. The environment is the per-user store that the
// machine's module and include search read as well; setenv stores only what getenv can give back
// whole (the store refuses line breaks and unpaired surrogates), and getenv gives values of any
// length.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "host/KvoVirtualMachine.h"
#include "platform/KvoClock.h"
#include "platform/KvoEnvironment.h"
#include "stdlib/KvoDefaultFunctions.h"
#include "stdlib/KvoLibCall.h"
#include "values/KvoString.h"
#include "values/KvoVector.h"

namespace {

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

// The whole value of name in the environment store (else the process environment); "" when
// neither holds it. Not cut at the machine's fixed environment buffer: whatever setenv stored
// comes back as it was.
std::u16string environmentValue(const KvoChar* name)
{
    std::vector<KvoChar> buffer(KvoVirtualMachine::ENVIRONMENT_VALUE_UNITS);
    for (;;) {
        const std::int32_t length = kvoGetEnv(name, buffer.data(), buffer.size());
        if (length == KVO_ENV_NOT_FOUND)
            return {};
        if (static_cast<std::size_t>(length) < buffer.size())
            return std::u16string(buffer.data(), static_cast<std::size_t>(length));
        // Longer than the buffer (and perhaps changed by another process since): again with room
        // for the length just seen.
        buffer.resize(static_cast<std::size_t>(length) + 1);
    }
}

// The time argument of ctime and localtime: exactly an integer, read as unsigned seconds.
bool timeArgument(KvoLibCall& call, KvoULong& seconds)
{
    const KvoValue& t = call.arg(1);
    if (t.getType() != KVT_INTEGER)
        return call.fail(KVO_LIB_BAD_ARG_TYPE);
    seconds = static_cast<KvoULong>(t.getLong());
    return true;
}

} // namespace

bool KvoDefaultFunctions::Kvo_time(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoLibCall call(vm, argc, args);
    if (!call.countBetween(0, 0))
        return false;
    return call.done(KvoValue(static_cast<std::int32_t>(kvoTime(nullptr))));
}

bool KvoDefaultFunctions::Kvo_timer(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoLibCall call(vm, argc, args);
    if (!call.countBetween(0, 0))
        return false;
    return call.done(KvoValue(static_cast<std::int32_t>(GetTickCount())));
}

bool KvoDefaultFunctions::Kvo_ctime(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoLibCall call(vm, argc, args);
    KvoULong seconds = 0;
    if (!call.needInterpreter() || !call.countBetween(1, 1) || !timeArgument(call, seconds))
        return false;
    const KvoChar* text = kvoCTime(&seconds);
    return call.done(KvoValue(new KvoString(text ? text : u"")));
}

bool KvoDefaultFunctions::Kvo_localtime(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoLibCall call(vm, argc, args);
    KvoULong seconds = 0;
    if (!call.needInterpreter() || !call.countBetween(1, 1) || !timeArgument(call, seconds))
        return false;
    const KvoTm* local = kvoLocalTime(&seconds);
    if (!local)
        return call.done(KvoValue());
    const std::int32_t fields[] = {local->tm_sec,  local->tm_min,  local->tm_hour,
                                   local->tm_mday, local->tm_mon,  local->tm_year,
                                   local->tm_wday, local->tm_yday, local->tm_isdst};
    auto* vector = new KvoVector(std::size(fields), false);
    for (std::int32_t field : fields)
        vector->push_back(KvoValue(field));
    return call.done(KvoValue(vector));
}

bool KvoDefaultFunctions::Kvo_rand(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoLibCall call(vm, argc, args);
    if (!call.needInterpreter() || !call.countBetween(0, 0))
        return false;
    return call.done(KvoValue(static_cast<std::int32_t>(std::rand())));
}

bool KvoDefaultFunctions::Kvo_srand(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoLibCall call(vm, argc, args);
    if (!call.needInterpreter() || !call.countBetween(1, 1))
        return false;
    // Any value seeds: floats truncated, other kinds by their payload bits.
    std::srand(static_cast<unsigned>(call.arg(1).getLong()));
    return call.done(KvoValue());
}

bool KvoDefaultFunctions::Kvo_getenv(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoLibCall call(vm, argc, args);
    if (!call.needInterpreter() || !call.countBetween(1, 1))
        return false;
    const KvoValue& name = call.arg(1);
    if (!isString(name))
        return call.fail(KVO_LIB_STRING_EXPECTED);
    const std::u16string value = environmentValue(textOf(name));
    return call.done(KvoValue(new KvoString(value.c_str(), value.size())));
}

bool KvoDefaultFunctions::Kvo_setenv(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoLibCall call(vm, argc, args);
    if (!call.needInterpreter() || !call.countBetween(2, 2))
        return false;
    const KvoValue& name = call.arg(1);
    const KvoValue& value = call.arg(2);
    if (!isString(name) || !isString(value))
        return call.fail(KVO_LIB_STRING_EXPECTED);
    const KvoString* nameText = name.getString();
    // The store splits "name=value" at the first '=': a name holding one would store another
    // variable than the one asked for, so such a name is refused like an empty one.
    if (!nameText || nameText->length() == 0 || nameText->find(u'=', 0) >= 0)
        return call.done(KvoValue(std::int32_t{0}));
    KvoString assignment(*nameText);
    assignment += u'=';
    assignment += textOf(value);
    const bool stored = KvoVirtualMachine::_tputenv(assignment.c_str()) == 0;
    return call.done(KvoValue(std::int32_t{stored ? 1 : 0}));
}

bool KvoDefaultFunctions::Kvo_GetLastError(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    // Read first: the checks below may call the C library, which may change errno.
    const int lastError = errno;
    KvoLibCall call(vm, argc, args);
    if (!call.needInterpreter() || !call.countBetween(0, 0))
        return false;
    return call.done(KvoValue(static_cast<std::int32_t>(lastError)));
}

bool KvoDefaultFunctions::Kvo_GetSysErrorMsg(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    const int lastError = errno;
    KvoLibCall call(vm, argc, args);
    if (!call.needInterpreter() || !call.countBetween(0, 1))
        return false;
    const int code = argc == 1 ? call.arg(1).getLong() : lastError;
    const char* message = std::strerror(code);
    return call.done(KvoValue(new KvoString(message ? message : "")));
}
