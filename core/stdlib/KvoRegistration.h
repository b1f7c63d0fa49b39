// Helpers shared by the standard library's registration tables (internal to the library).
#pragma once

#include <cstddef>

#include "values/KvoDictionary.h"
#include "values/KvoValue.h"

class KvoVirtualMachine;

// One script function of a registration table.
struct KvoFunctionRegistration {
    const KvoChar* name;
    KvoNativeFunc function;
};

// Sets the global symbol name of vm to value with the given kind, creating the entry when
// missing and overwriting it otherwise.
void kvoRegisterSymbol(KvoVirtualMachine* vm, const KvoChar* name, const KvoValue& value, KvoSymbolType kind);

// Registers every function of table (count entries) as a global function of vm, in order.
void kvoRegisterTable(KvoVirtualMachine* vm, const KvoFunctionRegistration* table, std::size_t count);
