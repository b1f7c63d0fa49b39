// KvoTraceback: the chain of calls that were active when a script error was raised, kept so that
// a host can show where an uncaught error came from. The interpreter fills it only when the host
// hands it one (KvoVirtualMachine::setRecordCallChain), so a run without it pays nothing.
//
// The chain is taken when the error starts unwinding, while every frame still exists, innermost
// call first. A handler that catches the error forgets the chain, so an error that was caught
// never shows up in a later report. Each frame's position is the last source line it reported
// (code compiled with line information); frames of code without it have no position.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/KvoTypes.h"

class KvoProcInfo;

class KVO_API KvoTraceback
{
public:
    // One active call: "name" or "Class::name", and where it stood (line -1: not known).
    struct Call {
        std::u16string function;
        std::u16string source;
        std::int32_t line = -1;
    };

    // Counts one raised error (called by the interpreter for every exception it raises).
    void noteRaise() noexcept { ++m_raises; }
    // Takes the chain from innermost outwards, unless it was already taken for the error being
    // raised now (an error passes through several runs when natives call back into scripts).
    void recordIfNew(const KvoProcInfo* innermost);
    // Forgets the chain (an error was caught, or a new run starts).
    void clear() noexcept;

    bool empty() const noexcept { return m_calls.empty(); }
    const std::vector<Call>& calls() const noexcept { return m_calls; }
    // The innermost call that has a position, or null.
    const Call* innermostPosition() const noexcept;
    // One line per call, innermost first: "  at Class::name (file:line)\n", or "  at name\n"
    // without a position. Empty when no chain is recorded.
    std::u16string format() const;

    // The most calls kept; a deeper chain keeps its innermost and outermost calls and counts the
    // ones left out.
    static constexpr std::size_t MAX_CALLS = 64;

private:
    static constexpr std::size_t OUTER_KEPT = 8; // outermost calls kept past the bound

    std::vector<Call> m_calls;
    std::size_t m_omitted = 0;
    std::uint64_t m_raises = 0;
    std::uint64_t m_recordedRaise = 0;
    bool m_recorded = false;
};
