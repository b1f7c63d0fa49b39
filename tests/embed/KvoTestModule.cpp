// A native module for the machine's tests: its entry point registers two global functions,
// "moduleAnswer" (returns 42) and "moduleLoads" (how many times the entry point ran since the
// library was loaded), so a test can tell whether loading ran the entry point again.
#include "host/KvoVirtualMachine.h"
#include "values/ValPtr.h"

namespace {

int g_entryCalls = 0;

bool returnInteger(int argc, ValPtr& args, std::int32_t value)
{
    args -= argc;
    args[0] = KvoValue(value);
    return true;
}

bool moduleAnswer(KvoVirtualMachine*, int argc, ValPtr& args)
{
    return returnInteger(argc, args, 42);
}

bool moduleLoads(KvoVirtualMachine*, int argc, ValPtr& args)
{
    return returnInteger(argc, args, g_entryCalls);
}

} // namespace

extern "C" KVO_API void RegisterNativeModule(KvoVirtualMachine* vm)
{
    ++g_entryCalls;
    (void)vm->registerNativeFunction(u"moduleAnswer", &moduleAnswer);
    (void)vm->registerNativeFunction(u"moduleLoads", &moduleLoads);
}
