// KvoDefaultFunctions: the standard function library, the global functions and variables every
// script has without declaring them. Made only of static members: registerFunctions fills a
// machine's global symbols, and each script function is a KvoNativeFunc named Kvo_ followed by
// its script name. The functions are grouped by subject, one source file per group, each with
// its own registration.
//
// Calling convention (as for every native function): args points at the last of the argc
// arguments, which sit at base[1] .. base[argc] with base = args - argc; a function stores its
// result in base[0], leaves args at base and returns true, or reports a script error through the
// running interpreter's returnError and returns false.
#pragma once

#include "platform/KvoTypes.h"
#include "values/ValPtr.h"

class KvoVirtualMachine;

class KVO_API KvoDefaultFunctions
{
public:
    KvoDefaultFunctions() = delete;

    // Enters the system variables and the library's functions into vm's global symbols; an
    // existing entry of the same name is overwritten. The machine calls it when it is created
    // and again on reinit.
    static void registerFunctions(KvoVirtualMachine* vm);

    // print(a1 ... an): writes each argument through the machine's printer, nothing between them
    // and no line end: integers as "%ld", floats and doubles as "%f", strings as their text, any
    // other value as "(type name:pointer)". The result is null.
    static bool Kvo_print(KvoVirtualMachine* vm, int argc, ValPtr& args);

private:
    // "stdin", "stdout" and "stderr": the process's standard C streams as file values.
    static void registerFiles(KvoVirtualMachine* vm);
    // "__OSTYPE__" and "__UNICODE__".
    static void registerSysVariables(KvoVirtualMachine* vm);
    // The file and console functions.
    static void registerIOFunctions(KvoVirtualMachine* vm);
};
