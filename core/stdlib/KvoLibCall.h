// KvoLibCall: the bookkeeping of one standard-library call. A library function builds one from
// its (vm, argc, args), checks the argument count and types through it, and leaves through
// done() (result into the callee slot, args moved to it) or fail() (a script error through the
// running interpreter). Internal to the library.
#pragma once

#include <cstdint>
#include <utility>

#include "host/KvoVirtualMachine.h"
#include "stdlib/KvoLibMessages.h"
#include "values/KvoValue.h"
#include "values/ValPtr.h"
#include "vm/KvoInterpreter.h"

class KvoLibCall
{
public:
    KvoLibCall(KvoVirtualMachine* vm, int argc, ValPtr& args) noexcept : m_vm(vm), m_argc(argc), m_args(args), m_base(args)
    {
        m_base -= argc;
    }

    KvoVirtualMachine* vm() const noexcept { return m_vm; }
    // The running interpreter, or null.
    KvoInterpreter* interpreter() const noexcept { return m_vm ? m_vm->interpreter() : nullptr; }
    int count() const noexcept { return m_argc; }
    // Argument i, counted from 1 (the first argument) to count().
    KvoValue& arg(int i) const noexcept { return m_base[i]; }
    // The callee slot, which receives the result.
    KvoValue& result() const noexcept { return m_base[0]; }

    // False after reporting "too few arguments" or "too many arguments" when the count is
    // outside min .. max (max < 0: no upper bound).
    bool countBetween(int min, int max)
    {
        if (m_argc < min)
            return fail(KVO_LIB_TOO_FEW_ARGS);
        if (max >= 0 && m_argc > max)
            return fail(KVO_LIB_TOO_MANY_ARGS);
        return true;
    }

    // The guard of the native-call and system functions: false for a null machine, and false
    // after printing "missing interpreter\n" when no script runs on it.
    bool needInterpreter()
    {
        if (!m_vm)
            return false;
        if (!m_vm->interpreter()) {
            m_vm->printer()(u"missing interpreter\n");
            return false;
        }
        return true;
    }

    // Reports text (followed by detail, when given) as the script error of this call; false.
    bool fail(const KvoChar* text, const KvoChar* detail = nullptr)
    {
        if (KvoInterpreter* running = interpreter())
            return running->returnError(text, detail);
        return false;
    }

    // Stores value as the result and completes the call; true.
    bool done(KvoValue value)
    {
        m_base[0] = std::move(value);
        return done();
    }
    // Completes the call with the result already stored in result(); true.
    bool done() noexcept
    {
        m_args = m_base;
        return true;
    }

private:
    KvoVirtualMachine* m_vm;
    int m_argc;
    ValPtr& m_args;
    ValPtr m_base;
};
