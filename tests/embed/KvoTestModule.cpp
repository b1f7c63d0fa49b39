// A native module for the machine's tests: its entry point registers three global functions,
// "moduleAnswer" (returns 42), "moduleLoads" (how many times the entry point ran since the
// library was loaded), so a test can tell whether loading ran the entry point again, and
// "moduleFile" (the path the module is found at, for scripts that load it with LoadLibrary).
//
// It also exports plain C functions for scripts' native calls (CallLibFunc): each takes and
// returns 64-bit integers, so a test sees every bit that a call passes.
#include <cstdint>

#include "host/KvoVirtualMachine.h"
#include "platform/KvoLibrary.h"
#include "platform/KvoPath.h"
#include "values/KvoString.h"
#include "values/ValPtr.h"

namespace {

int g_entryCalls = 0;

bool returnValue(int argc, ValPtr& args, KvoValue value)
{
    args -= argc;
    args[0] = static_cast<KvoValue&&>(value);
    return true;
}

bool moduleAnswer(KvoVirtualMachine*, int argc, ValPtr& args)
{
    return returnValue(argc, args, KvoValue(std::int32_t{42}));
}

bool moduleLoads(KvoVirtualMachine*, int argc, ValPtr& args)
{
    return returnValue(argc, args, KvoValue(std::int32_t{g_entryCalls}));
}

bool moduleFile(KvoVirtualMachine*, int argc, ValPtr& args)
{
    KvoChar path[KVO_MAX_PATH];
    if (!kvoFindNativeModule(u"kvotestmodule", path, KVO_MAX_PATH))
        path[0] = 0;
    return returnValue(argc, args, KvoValue(new KvoString(path)));
}

} // namespace

extern "C" {

KVO_API void RegisterNativeModule(KvoVirtualMachine* vm)
{
    ++g_entryCalls;
    (void)vm->registerNativeFunction(u"moduleAnswer", &moduleAnswer);
    (void)vm->registerNativeFunction(u"moduleLoads", &moduleLoads);
    (void)vm->registerNativeFunction(u"moduleFile", &moduleFile);
}

// Argument number which (1 to 15) of the 15 after it, or -1 for any other which: a call with 16
// arguments shows where each one arrived.
KVO_API std::int64_t kvoTestPick(std::int64_t which, std::int64_t a1, std::int64_t a2, std::int64_t a3,
                                 std::int64_t a4, std::int64_t a5, std::int64_t a6, std::int64_t a7,
                                 std::int64_t a8, std::int64_t a9, std::int64_t a10, std::int64_t a11,
                                 std::int64_t a12, std::int64_t a13, std::int64_t a14, std::int64_t a15)
{
    const std::int64_t values[] = {a1, a2, a3, a4, a5, a6, a7, a8, a9, a10, a11, a12, a13, a14, a15};
    if (which < 1 || which > 15)
        return -1;
    return values[which - 1];
}

// Its argument, unchanged.
KVO_API std::int64_t kvoTestIdentity(std::int64_t value)
{
    return value;
}

// 1 when its argument is -1 as a 64-bit number (a negative 32-bit word arrived sign-extended),
// else 0.
KVO_API std::int64_t kvoTestIsMinusOne(std::int64_t value)
{
    return value == -1 ? 1 : 0;
}

// value shifted into the upper half and added to itself: a result wider than 32 bits.
KVO_API std::int64_t kvoTestWide(std::int64_t value)
{
    const auto bits = static_cast<std::uint64_t>(value);
    return static_cast<std::int64_t>((bits << 32) + bits);
}

} // extern "C"
