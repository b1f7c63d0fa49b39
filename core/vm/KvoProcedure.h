// The layout of a compiled procedure: a KvoVector (held as KVT_BYTECODE) whose first five
// elements are fixed and whose remaining elements are literals and static locals that the
// instructions address by index. The compiler, the interpreter, the trace printer and the module
// file reader all use these positions.
#pragma once

#include <cstdint>

// Element 0: the code, a KvoBuffer of instruction bytes.
constexpr std::uint32_t PROC_CODE = 0;
// Element 1: the owning class (KVT_CLASS), NULL for a global function.
constexpr std::uint32_t PROC_CLASS = 1;
// Element 2: the procedure's name (KVT_STRING); a constructor carries its class name, a
// destructor "dtor".
constexpr std::uint32_t PROC_NAME = 2;
// Element 3: the argument-default list (KVT_VECTOR), one element per declared parameter;
// a parameter without default holds NULL flagged KvoNoDefault.
constexpr std::uint32_t PROC_DEFAULTS = 3;
// Element 4: a non-owning reference to the procedure itself (KVT_BYTECODEREF).
constexpr std::uint32_t PROC_SELF = 4;
// Element 5 onwards: literals and static locals; the last element may be the local-variable
// information (KVT_LOCALVARINFO).
constexpr std::uint32_t PROC_FIRST_LITERAL = 5;
