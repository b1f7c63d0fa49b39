// Registration of the standard library and the system variables. Every entry but GetCoreFunc is
// made through the symbols' creating index operator, so registering again (after reinit, or over
// a script's own assignment) overwrites the value and the kind of the existing entry; GetCoreFunc
// is only entered where the name is not defined yet.
#include "stdlib/KvoDefaultFunctions.h"

#include <cstdio>
#include <iterator>

#include "host/KvoVirtualMachine.h"
#include "stdlib/KvoLibCall.h"
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

namespace {

using KDF = KvoDefaultFunctions;

// Vector, string and buffer constructors, registered before the file functions.
const KvoFunctionRegistration CONSTRUCTOR_FUNCTIONS[] = {
    {u"newvector", &KDF::Kvo_newvector},
    {u"newstring", &KDF::Kvo_newstring},
    {u"newbuffer", &KDF::Kvo_newbuffer},
    {u"newcbuffer", &KDF::Kvo_newcbuffer},
};

// Strings, core functions and the clock, registered after the file functions.
const KvoFunctionRegistration CORE_FUNCTIONS[] = {
    {u"strlen", &KDF::Kvo_strlen},
    {u"strcmp", &KDF::Kvo_strcmp},
    {u"stricmp", &KDF::Kvo_stricmp},
    {u"strsplit", &KDF::Kvo_strsplit},
    {u"strfind", &KDF::Kvo_strfind},
    {u"strerase", &KDF::Kvo_strerase},
    {u"strinsert", &KDF::Kvo_strinsert},
    {u"strreplace", &KDF::Kvo_strreplace},
    {u"substr", &KDF::Kvo_substr},
    {u"vecsize", &KDF::Kvo_vecsize},
    {u"size", &KDF::Kvo_size},
    {u"Vec", &KDF::Kvo_T},
    {u"T", &KDF::Kvo_T},
    {u"CBuf", &KDF::Kvo_CBuf},
    {u"compile", &KDF::Kvo_compile},
    {u"loadmodule", &KDF::Kvo_loadmodule},
    {u"int", &KDF::Kvo_int},
    {u"float", &KDF::Kvo_float},
    {u"double", &KDF::Kvo_double},
    {u"string", &KDF::Kvo_string},
    {u"buffer", &KDF::Kvo_buffer},
    {u"gettypename", &KDF::Kvo_gettypename},
    {u"gettype", &KDF::Kvo_gettype},
    {u"getclassname", &KDF::Kvo_getclassname},
    {u"dynamic_cast", &KDF::Kvo_dynamic_cast},
    {u"time", &KDF::Kvo_time},
    {u"timer", &KDF::Kvo_timer},
};

// Random numbers, time conversion, arguments, addresses, the environment and the native-library
// functions, registered after the math functions. GetCoreFunc follows them (see
// registerFunctions).
const KvoFunctionRegistration SYSTEM_FUNCTIONS[] = {
    {u"rand", &KDF::Kvo_rand},
    {u"srand", &KDF::Kvo_srand},
    {u"ctime", &KDF::Kvo_ctime},
    {u"localtime", &KDF::Kvo_localtime},
    {u"getargs", &KDF::Kvo_getargs},
    {u"getusrargs", &KDF::Kvo_getusrargs},
    {u"argcnt", &KDF::Kvo_argcnt},
    {u"arg", &KDF::Kvo_arg},
    {u"addr", &KDF::Kvo_addr},
    {u"getenv", &KDF::Kvo_getenv},
    {u"setenv", &KDF::Kvo_setenv},
    {u"LoadLibrary", &KDF::Kvo_LoadLibrary},
    {u"FreeLibrary", &KDF::Kvo_FreeLibrary},
    {u"GetProcAddress", &KDF::Kvo_GetProcAddress},
    {u"CallLibFunc", &KDF::Kvo_CallLibFunc},
    {u"GetUser32Func", &KDF::Kvo_GetUser32Func},
    {u"GetKernel32Func", &KDF::Kvo_GetKernel32Func},
    {u"GetGdi32Func", &KDF::Kvo_GetGdi32Func},
    {u"GetShell32Func", &KDF::Kvo_GetShell32Func},
    {u"GetOle32Func", &KDF::Kvo_GetOle32Func},
};

const KvoFunctionRegistration MATH_FUNCTIONS[] = {
    {u"sin", &KDF::Kvo_sin},
    {u"cos", &KDF::Kvo_cos},
    {u"tan", &KDF::Kvo_tan},
    {u"atan", &KDF::Kvo_atan},
    {u"sqrt", &KDF::Kvo_sqrt},
    {u"log", &KDF::Kvo_log},
    {u"exp", &KDF::Kvo_exp},
    {u"abs", &KDF::Kvo_abs},
    {u"pow", &KDF::Kvo_pow},
};

const KvoFunctionRegistration DICT_FUNCTIONS[] = {
    {u"newdict", &KDF::Kvo_newdict},
    {u"dictcontains", &KDF::Kvo_dictcontains},
    {u"dicterase", &KDF::Kvo_dicterase},
    {u"dictclear", &KDF::Kvo_dictclear},
    {u"dictgetkeys", &KDF::Kvo_dictgetkeys},
    {u"dictgetvalues", &KDF::Kvo_dictgetvalues},
};

// The extensions, registered after every designed function: the vocabulary scripts reach for
// first (case mapping, join and split, sorting, min and max, rounding, reading a whole file,
// ending the program with a status).
const KvoFunctionRegistration EXTENSION_FUNCTIONS[] = {
    {u"strupper", &KDF::Kvo_strupper},
    {u"strlower", &KDF::Kvo_strlower},
    {u"strjoin", &KDF::Kvo_strjoin},
    {u"strsplitat", &KDF::Kvo_strsplitat},
    {u"vecsort", &KDF::Kvo_vecsort},
    {u"min", &KDF::Kvo_min},
    {u"max", &KDF::Kvo_max},
    {u"floor", &KDF::Kvo_floor},
    {u"ceil", &KDF::Kvo_ceil},
    {u"round", &KDF::Kvo_round},
    {u"readfile", &KDF::Kvo_readfile},
    {u"exit", &KDF::Kvo_exit},
};

} // namespace

void KvoDefaultFunctions::registerFunctions(KvoVirtualMachine* vm)
{
    if (!vm)
        return;
    registerFiles(vm);
    registerSysVariables(vm);
    kvoRegisterTable(vm, CONSTRUCTOR_FUNCTIONS, std::size(CONSTRUCTOR_FUNCTIONS));
    registerIOFunctions(vm);
    kvoRegisterTable(vm, CORE_FUNCTIONS, std::size(CORE_FUNCTIONS));
    registerMathFunctions(vm);
    kvoRegisterTable(vm, SYSTEM_FUNCTIONS, std::size(SYSTEM_FUNCTIONS));
    // The core library's lookup under its own name. Unlike the entries above it is only entered
    // when the name is not defined yet.
    (void)vm->registerNativeFunction(u"GetCoreFunc", &KDF::Kvo_GetUser32Func);
    registerDictFunctions(vm);
    kvoRegisterTable(vm, EXTENSION_FUNCTIONS, std::size(EXTENSION_FUNCTIONS));
    applyUntrustedMode(vm);
}

namespace {

// The replacement of every function that untrusted mode removes.
bool refuseUntrusted(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    return KvoLibCall(vm, argc, args).fail(KvoVirtualMachine::UNTRUSTED_FUNCTION_MESSAGE);
}

// getc in untrusted mode: the console form (no argument) only.
bool consoleGetc(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    return argc == 0 ? KDF::Kvo_getc(vm, argc, args) : refuseUntrusted(vm, argc, args);
}

// compile in untrusted mode: source text only; compiling a stream reads a file.
bool textCompile(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    if (argc >= 1 && KvoLibCall(vm, argc, args).arg(1).getType() == KVT_FILE)
        return refuseUntrusted(vm, argc, args);
    return KDF::Kvo_compile(vm, argc, args);
}

// A library function and what stands in for it in untrusted mode.
struct UntrustedReplacement {
    const KvoChar* name;
    KvoNativeFunc library;
    KvoNativeFunc replacement;
};

// What untrusted mode removes: native library calls (a script could call any code of the
// process), files (read or write anything the process may), native modules through module files,
// and changes to the environment store, which every later program of the user reads.
const UntrustedReplacement UNTRUSTED_REPLACEMENTS[] = {
    {u"LoadLibrary", &KDF::Kvo_LoadLibrary, &refuseUntrusted},
    {u"FreeLibrary", &KDF::Kvo_FreeLibrary, &refuseUntrusted},
    {u"GetProcAddress", &KDF::Kvo_GetProcAddress, &refuseUntrusted},
    {u"CallLibFunc", &KDF::Kvo_CallLibFunc, &refuseUntrusted},
    {u"GetUser32Func", &KDF::Kvo_GetUser32Func, &refuseUntrusted},
    {u"GetCoreFunc", &KDF::Kvo_GetUser32Func, &refuseUntrusted},
    {u"GetKernel32Func", &KDF::Kvo_GetKernel32Func, &refuseUntrusted},
    {u"GetGdi32Func", &KDF::Kvo_GetGdi32Func, &refuseUntrusted},
    {u"GetShell32Func", &KDF::Kvo_GetShell32Func, &refuseUntrusted},
    {u"GetOle32Func", &KDF::Kvo_GetOle32Func, &refuseUntrusted},
    {u"fopen", &KDF::Kvo_fopen, &refuseUntrusted},
    {u"fclose", &KDF::Kvo_fclose, &refuseUntrusted},
    {u"feof", &KDF::Kvo_feof, &refuseUntrusted},
    {u"getc", &KDF::Kvo_getc, &consoleGetc},
    {u"putc", &KDF::Kvo_putc, &refuseUntrusted},
    {u"fgets", &KDF::Kvo_fgets, &refuseUntrusted},
    {u"fputs", &KDF::Kvo_fputs, &refuseUntrusted},
    {u"freadval", &KDF::Kvo_freadval, &refuseUntrusted},
    {u"fwriteval", &KDF::Kvo_fwriteval, &refuseUntrusted},
    {u"fread", &KDF::Kvo_fread, &refuseUntrusted},
    {u"fwrite", &KDF::Kvo_fwrite, &refuseUntrusted},
    {u"getwc", &KDF::Kvo_getwc, &refuseUntrusted},
    {u"putwc", &KDF::Kvo_putwc, &refuseUntrusted},
    {u"fgetws", &KDF::Kvo_fgetws, &refuseUntrusted},
    {u"fputws", &KDF::Kvo_fputws, &refuseUntrusted},
    {u"readfile", &KDF::Kvo_readfile, &refuseUntrusted},
    {u"compile", &KDF::Kvo_compile, &textCompile},
    {u"loadmodule", &KDF::Kvo_loadmodule, &refuseUntrusted},
    {u"setenv", &KDF::Kvo_setenv, &refuseUntrusted},
};

} // namespace

void KvoDefaultFunctions::applyUntrustedMode(KvoVirtualMachine* vm)
{
    if (!vm)
        return;
    const bool untrusted = vm->isUntrusted();
    for (const UntrustedReplacement& r : UNTRUSTED_REPLACEMENTS) {
        KvoDictionaryEntry* entry = vm->symbols().find(r.name);
        if (!entry || entry->getSymbolType() != SYM_FUNCTION || entry->getValue().getType() != KVT_CODE)
            continue;
        const KvoNativeFunc from = untrusted ? r.library : r.replacement;
        if (entry->getValue().getCode() == from)
            entry->setValue(KvoValue(untrusted ? r.replacement : r.library));
    }
}

void KvoDefaultFunctions::registerMathFunctions(KvoVirtualMachine* vm)
{
    kvoRegisterTable(vm, MATH_FUNCTIONS, std::size(MATH_FUNCTIONS));
}

void KvoDefaultFunctions::registerDictFunctions(KvoVirtualMachine* vm)
{
    kvoRegisterTable(vm, DICT_FUNCTIONS, std::size(DICT_FUNCTIONS));
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
