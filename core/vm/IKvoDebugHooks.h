// IKvoDebugHooks: the host calls an interpreter makes while it runs: break requests, the
// single-step wait and source-line notifications. The virtual machine implements them (as host
// procedures or window messages); the interpreter only sees this interface, so the execution
// layer does not depend on the host layer.
#pragma once

#include <cstdint>

#include "platform/KvoTypes.h"

class KVO_API IKvoDebugHooks
{
public:
    virtual ~IKvoDebugHooks() = default;

    // Asked before each instruction when break requests are allowed; true enters single-step mode.
    virtual bool breakRequest() = 0;
    // Called after each traced instruction in single-step mode; true stays in single-step mode.
    virtual bool dbgWait() = 0;
    // Execution reached line of the source file source (UTF-16, borrowed for the call); the
    // result becomes the single-step state.
    virtual bool notifySourceLineChanged(const KvoChar* source, std::int32_t line) = 0;
};
