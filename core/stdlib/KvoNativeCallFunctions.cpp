// The native-call functions of the standard library: LoadLibrary, FreeLibrary, GetProcAddress,
// the lookups in the system's own libraries (GetUser32Func, also registered as GetCoreFunc,
// GetKernel32Func, GetGdi32Func, GetShell32Func, GetOle32Func) and CallLibFunc. All of them belong
// to the system group: without a running script they print "missing interpreter\n" and fail.
//
// Library handles and function addresses are plain script integers that nothing here tracks. A
// function address is the function's low trampoline (platform/KvoLibrary.h), so it fits a
// positive script integer and is the same number however it was looked up; 0 means "not found".
// In every name looked up, each '?' stands for the 'W' of the wide-character functions.
//
// The core library (the runtime itself, then the C library) and the COM library are loaded on
// the first lookup that needs them and kept, process-wide, in one cache shared by every machine;
// a load that fails is tried again by the next lookup. The cache lets go of both at process exit,
// the COM library first.
#include <cerrno>
#include <cstdint>
#include <mutex>
#include <string>

#include "platform/KvoLibrary.h"
#include "platform/KvoMemory.h"
#include "platform/KvoNativeCall.h"
#include "stdlib/KvoDefaultFunctions.h"
#include "stdlib/KvoLibCall.h"
#include "values/KvoString.h"

namespace {

// The libraries of the lookup cache, by the names the original platform gives them.
enum class SystemLibrary { CORE, COM };
constexpr KvoChar CORE_LIBRARY_NAME[] = u"coredll.dll";
constexpr KvoChar COM_LIBRARY_NAME[] = u"ole32.dll";

// The placeholder for the character-set suffix of system function names, and what it stands for.
constexpr KvoChar SUFFIX_PLACEHOLDER = u'?';
constexpr KvoChar WIDE_SUFFIX = u'W';

// CallLibFunc's arguments: the function, then at most KVO_MAX_NATIVE_ARGS words.
constexpr int MAX_CALL_ARGS = 1 + KVO_MAX_NATIVE_ARGS;

// The process-wide handles of the core and COM libraries (null until loaded).
class SystemLibraryCache
{
public:
    SystemLibraryCache() = default;
    SystemLibraryCache(const SystemLibraryCache&) = delete;
    SystemLibraryCache& operator=(const SystemLibraryCache&) = delete;

    // Runs at process exit (or when the runtime is unloaded).
    ~SystemLibraryCache()
    {
        release(m_com);
        release(m_core);
    }

    // The address of name in library, loading the library first when no handle is cached; null
    // when the library cannot be loaded or does not export name.
    FARPROC find(SystemLibrary library, const KvoChar* name)
    {
        std::lock_guard<std::mutex> guard(m_lock);
        HMODULE& handle = library == SystemLibrary::CORE ? m_core : m_com;
        const KvoChar* fileName = library == SystemLibrary::CORE ? CORE_LIBRARY_NAME : COM_LIBRARY_NAME;
        if (!handle)
            handle = LoadLibraryW(fileName);
        if (!handle)
            return nullptr;
        if (FARPROC function = GetProcAddressW(handle, name))
            return function;
        // A script may free the cached handle through FreeLibrary (the loader counts one load
        // for all users of a library); then the handle is unknown (EINVAL) and is loaded again,
        // rather than leaving every machine of the process without system functions.
        if (errno != EINVAL)
            return nullptr;
        handle = LoadLibraryW(fileName);
        return handle ? GetProcAddressW(handle, name) : nullptr;
    }

private:
    static void release(HMODULE& handle)
    {
        if (handle)
            (void)FreeLibrary(handle);
        handle = nullptr;
    }

    std::mutex m_lock;
    HMODULE m_core = nullptr;
    HMODULE m_com = nullptr;
};

SystemLibraryCache& systemLibraries()
{
    static SystemLibraryCache cache;
    return cache;
}

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

// A copy of a function name with every placeholder replaced by the wide suffix; the script's own
// string is left as it is.
std::u16string procedureName(const KvoChar* name)
{
    std::u16string copy(name);
    for (KvoChar& c : copy) {
        if (c == SUFFIX_PLACEHOLDER)
            c = WIDE_SUFFIX;
    }
    return copy;
}

// A library handle from a script integer, and back. Handles are small positive numbers.
HMODULE moduleOf(const KvoValue& value) noexcept
{
    return reinterpret_cast<HMODULE>(static_cast<std::intptr_t>(value.getLong()));
}
std::int32_t handleNumber(HMODULE module) noexcept
{
    return static_cast<std::int32_t>(reinterpret_cast<std::intptr_t>(module));
}

// The script integer for a function: its low trampoline's address, 0 when the function is null
// or no trampoline can be made. An address is never truncated.
KvoValue functionAddress(FARPROC function)
{
    const FARPROC low = kvoLowTrampoline(function);
    const auto address = reinterpret_cast<std::uintptr_t>(low);
    if (!low || !kvoFitsScriptAddress(reinterpret_cast<const void*>(address)))
        return KvoValue(std::int32_t{0});
    return KvoValue(static_cast<std::int32_t>(address));
}

// GetXxxFunc(name): name is a string or an object whose toString gives one.
bool lookUpSystemFunction(KvoVirtualMachine* vm, int argc, ValPtr& args, SystemLibrary library)
{
    KvoLibCall call(vm, argc, args);
    if (!call.needInterpreter() || !call.countBetween(1, 1))
        return false;
    const KvoString* name = call.interpreter()->getStringFromValue(call.arg(1));
    if (!name)
        return call.fail(KVO_LIB_BAD_ARG_TYPE);
    const std::u16string procName = procedureName(name->c_str());
    return call.done(functionAddress(systemLibraries().find(library, procName.c_str())));
}

} // namespace

bool KvoDefaultFunctions::Kvo_LoadLibrary(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoLibCall call(vm, argc, args);
    if (!call.needInterpreter() || !call.countBetween(1, 1))
        return false;
    const KvoValue& name = call.arg(1);
    if (!isString(name))
        return call.fail(KVO_LIB_BAD_ARG_TYPE);
    return call.done(KvoValue(handleNumber(LoadLibraryW(textOf(name)))));
}

bool KvoDefaultFunctions::Kvo_FreeLibrary(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoLibCall call(vm, argc, args);
    if (!call.needInterpreter() || !call.countBetween(1, 1))
        return false;
    const KvoValue& handle = call.arg(1);
    if (handle.getType() != KVT_INTEGER)
        return call.fail(KVO_LIB_BAD_ARG_TYPE);
    return call.done(KvoValue(static_cast<std::int32_t>(FreeLibrary(moduleOf(handle)))));
}

bool KvoDefaultFunctions::Kvo_GetProcAddress(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoLibCall call(vm, argc, args);
    if (!call.needInterpreter() || !call.countBetween(2, 2))
        return false;
    const KvoValue& handle = call.arg(1);
    const KvoValue& name = call.arg(2);
    if (handle.getType() != KVT_INTEGER || !isString(name))
        return call.fail(KVO_LIB_BAD_ARG_TYPE);
    const std::u16string procName = procedureName(textOf(name));
    return call.done(functionAddress(GetProcAddressW(moduleOf(handle), procName.c_str())));
}

bool KvoDefaultFunctions::Kvo_GetUser32Func(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    return lookUpSystemFunction(vm, argc, args, SystemLibrary::CORE);
}

bool KvoDefaultFunctions::Kvo_GetKernel32Func(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    return lookUpSystemFunction(vm, argc, args, SystemLibrary::CORE);
}

bool KvoDefaultFunctions::Kvo_GetGdi32Func(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    return lookUpSystemFunction(vm, argc, args, SystemLibrary::CORE);
}

bool KvoDefaultFunctions::Kvo_GetShell32Func(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    return lookUpSystemFunction(vm, argc, args, SystemLibrary::CORE);
}

bool KvoDefaultFunctions::Kvo_GetOle32Func(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    return lookUpSystemFunction(vm, argc, args, SystemLibrary::COM);
}

bool KvoDefaultFunctions::Kvo_CallLibFunc(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoLibCall call(vm, argc, args);
    if (!call.needInterpreter() || !call.countBetween(1, MAX_CALL_ARGS))
        return false;
    const KvoValue& function = call.arg(1);
    if (function.getType() != KVT_INTEGER)
        return call.fail(KVO_LIB_BAD_ARG_TYPE);
    // 0 is what every failed lookup gives: calling it would end the process.
    if (function.getLong() == 0)
        return call.fail(KVO_LIB_ARG_IS_NULL);
    // Each argument is one 32-bit word (integers as they are, floats truncated, other kinds
    // their payload bits), passed sign-extended. So is the address: every address a script gets
    // lies below 2 GiB, where that is the address itself.
    const int count = argc - 1;
    std::int64_t words[KVO_MAX_NATIVE_ARGS];
    for (int i = 0; i < count; ++i)
        words[i] = call.arg(i + 2).getLong();
    const auto address = reinterpret_cast<FARPROC>(static_cast<std::intptr_t>(function.getLong()));
    const std::int64_t result = kvoCallNative(address, words, count);
    // The result's low 32 bits.
    return call.done(KvoValue(static_cast<std::int32_t>(result)));
}
