// Registration of the standard library and the system variables. Every entry is made through the
// symbols' creating index operator, so registering again (after reinit, or over a script's own
// assignment) overwrites the value and the kind of the existing entry.
#include "stdlib/KvoDefaultFunctions.h"

#include <cstdio>

#include "host/KvoVirtualMachine.h"
#include "stdlib/KvoRegistration.h"
#include "values/KvoString.h"

namespace {

// The value of "__OSTYPE__": scripts written for the original device test it, and the Win32
// subset they call is provided here too.
constexpr KvoChar OS_TYPE[] = u"WINCE";

} // namespace

void kvoRegisterSymbol(KvoVirtualMachine* vm, const KvoChar* name, const KvoValue& value, KvoSymbolType kind)
{
    KvoDictionaryEntry* entry = vm->symbols()[name];
    entry->setValue(value);
    entry->setSymbolType(kind);
}

void kvoRegisterTable(KvoVirtualMachine* vm, const KvoFunctionRegistration* table, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i)
        kvoRegisterSymbol(vm, table[i].name, KvoValue(table[i].function), SYM_FUNCTION);
}

void KvoDefaultFunctions::registerFunctions(KvoVirtualMachine* vm)
{
    if (!vm)
        return;
    registerFiles(vm);
    registerSysVariables(vm);
    registerIOFunctions(vm);
}

void KvoDefaultFunctions::registerFiles(KvoVirtualMachine* vm)
{
    kvoRegisterSymbol(vm, u"stdin", KvoValue(static_cast<void*>(stdin)), SYM_VARIABLE);
    kvoRegisterSymbol(vm, u"stdout", KvoValue(static_cast<void*>(stdout)), SYM_VARIABLE);
    kvoRegisterSymbol(vm, u"stderr", KvoValue(static_cast<void*>(stderr)), SYM_VARIABLE);
}

void KvoDefaultFunctions::registerSysVariables(KvoVirtualMachine* vm)
{
    kvoRegisterSymbol(vm, u"__OSTYPE__", KvoValue(new KvoString(OS_TYPE)), SYM_VARIABLE);
    kvoRegisterSymbol(vm, u"__UNICODE__", KvoValue(std::int32_t{1}), SYM_VARIABLE);
}
