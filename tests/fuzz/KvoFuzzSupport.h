// What the fuzz targets that run scripts share: a printer that formats and forgets, and the step
// budget that ends endless loops. Each target is one translation unit.
#pragma once

#include <cstdarg>
#include <cstdint>

#include "host/IKvoPrinter.h"
#include "host/KvoVirtualMachine.h"
#include "platform/KvoFormat.h"

// Instructions one input may execute before its run is cancelled. Most inputs get the small
// budget, which keeps the fuzzer fast; those that ask for the deep one get enough to reach the
// interpreter's call-depth limit by plain recursion.
inline constexpr std::uint64_t MAX_STEPS = 30000;
inline constexpr std::uint64_t MAX_STEPS_DEEP = 1000000;

// Formats everything it is given (so the format paths run) and keeps nothing.
class DiscardingPrinter : public IKvoPrinter
{
public:
    int vprint(const KvoChar* fmt, va_list args) override { return fmt ? kvoFormatCountV(fmt, args) : -1; }
};

// The machine the break-request procedure cancels, and its instruction count.
inline KvoVirtualMachine* g_machine = nullptr;
inline std::uint64_t g_steps = 0;
inline std::uint64_t g_maxSteps = MAX_STEPS;

// The break-request procedure: asked before every instruction, it cancels the run past the budget.
inline bool countStep()
{
    if (++g_steps > g_maxSteps && g_machine)
        g_machine->cancel();
    return false;
}
