// Native calls on Linux through libffi (see KvoNativeCall.h). Every argument and the result are
// 64-bit integers, so one call interface per argument count serves every call; the interfaces are
// prepared once, on the first call, and are read-only afterwards, so a call prepares nothing.
#include "platform/KvoNativeCall.h"

#include <ffi.h>

namespace {

// The call interfaces for 0 .. KVO_MAX_NATIVE_ARGS integer arguments, with an integer result.
class CallInterfaces
{
public:
    CallInterfaces()
    {
        for (ffi_type*& type : m_argumentTypes)
            type = &ffi_type_sint64;
        for (int count = 0; count <= KVO_MAX_NATIVE_ARGS; ++count) {
            m_ready[count] = ffi_prep_cif(&m_interfaces[count], FFI_DEFAULT_ABI, static_cast<unsigned>(count),
                                          &ffi_type_sint64, m_argumentTypes) == FFI_OK;
        }
    }

    // The interface for count arguments; null when libffi could not prepare it.
    ffi_cif* forCount(int count) { return m_ready[count] ? &m_interfaces[count] : nullptr; }

private:
    ffi_type* m_argumentTypes[KVO_MAX_NATIVE_ARGS];
    ffi_cif m_interfaces[KVO_MAX_NATIVE_ARGS + 1];
    bool m_ready[KVO_MAX_NATIVE_ARGS + 1];
};

CallInterfaces& callInterfaces()
{
    static CallInterfaces interfaces;
    return interfaces;
}

} // namespace

std::int64_t kvoCallNative(FARPROC function, const std::int64_t* args, int count)
{
    if (!function || count < 0 || count > KVO_MAX_NATIVE_ARGS)
        return 0;
    ffi_cif* interface = callInterfaces().forCount(count);
    if (!interface)
        return 0;
    // libffi reads each argument through a pointer to it.
    std::int64_t values[KVO_MAX_NATIVE_ARGS];
    void* pointers[KVO_MAX_NATIVE_ARGS];
    for (int i = 0; i < count; ++i) {
        values[i] = args[i];
        pointers[i] = &values[i];
    }
    // libffi widens a result smaller than a register to ffi_arg; this one is a full 64 bits.
    ffi_sarg result = 0;
    ffi_call(interface, function, &result, pointers);
    return static_cast<std::int64_t>(result);
}
