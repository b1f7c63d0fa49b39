// KvoDefaultFunctions: the standard function library, the global functions and variables every
// script has without declaring them. Made only of static members: registerFunctions fills a
// machine's global symbols, and each script function is a KvoNativeFunc named Kvo_ followed by
// its script name. The bodies are grouped by subject, one source file per group:
//   KvoCoreFunctions.cpp        output-free core: types, casts, conversions, arguments, compile
//   KvoStringFunctions.cpp      strings, character buffers, buffers and vectors
//   KvoDictFunctions.cpp        dictionaries
//   KvoIOFunctions.cpp          files, console and print
//   KvoMathFunctions.cpp        math
//   KvoSystemFunctions.cpp      time, random numbers, environment, system errors
//   KvoNativeCallFunctions.cpp  native libraries: loading, function addresses, calls
//   KvoExtensionFunctions.cpp   extensions: case mapping, join, split, sort, min/max, rounding,
//                               reading a whole file
//
// Calling convention (as for every native function): args points at the last of the argc
// arguments, which sit at base[1] .. base[argc] with base = args - argc; a function stores its
// result in base[0], leaves args at base and returns true, or reports a script error through the
// running interpreter's returnError and returns false. KvoLibCall (stdlib/KvoLibCall.h) does the
// bookkeeping.
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
    // Follows vm's untrusted mode (KvoVirtualMachine::setUntrusted): in untrusted mode each
    // library function that the mode removes is replaced by one that raises "function not
    // available in untrusted mode" (getc and compile keep their console and text forms);
    // otherwise such replacements get the library's function back. Only entries that hold the
    // library's own function (or its replacement) change: a script's or host's function of the
    // same name stays. registerFunctions calls it last.
    static void applyUntrustedMode(KvoVirtualMachine* vm);

    // ---- Core: output, types, casts, conversions, arguments, compilation, modules ----
    static bool Kvo_print(KvoVirtualMachine* vm, int argc, ValPtr& args);
    static bool Kvo_gettype(KvoVirtualMachine* vm, int argc, ValPtr& args);
    static bool Kvo_gettypename(KvoVirtualMachine* vm, int argc, ValPtr& args);
    static bool Kvo_getclassname(KvoVirtualMachine* vm, int argc, ValPtr& args);
    static bool Kvo_dynamic_cast(KvoVirtualMachine* vm, int argc, ValPtr& args);
    static bool Kvo_int(KvoVirtualMachine* vm, int argc, ValPtr& args);
    static bool Kvo_float(KvoVirtualMachine* vm, int argc, ValPtr& args);
    static bool Kvo_double(KvoVirtualMachine* vm, int argc, ValPtr& args);
    static bool Kvo_string(KvoVirtualMachine* vm, int argc, ValPtr& args);
    static bool Kvo_buffer(KvoVirtualMachine* vm, int argc, ValPtr& args);
    // T and Vec share this body.
    static bool Kvo_T(KvoVirtualMachine* vm, int argc, ValPtr& args);
    static bool Kvo_getargs(KvoVirtualMachine* vm, int argc, ValPtr& args);
    static bool Kvo_getusrargs(KvoVirtualMachine* vm, int argc, ValPtr& args);
    static bool Kvo_argcnt(KvoVirtualMachine* vm, int argc, ValPtr& args);
    static bool Kvo_arg(KvoVirtualMachine* vm, int argc, ValPtr& args);
    static bool Kvo_compile(KvoVirtualMachine* vm, int argc, ValPtr& args);
    static bool Kvo_loadmodule(KvoVirtualMachine* vm, int argc, ValPtr& args);
    static bool Kvo_addr(KvoVirtualMachine* vm, int argc, ValPtr& args);
    static bool Kvo_size(KvoVirtualMachine* vm, int argc, ValPtr& args);

    // ---- Strings, character buffers, buffers, vectors ----
    static bool Kvo_newvector(KvoVirtualMachine* vm, int argc, ValPtr& args);
    static bool Kvo_newstring(KvoVirtualMachine* vm, int argc, ValPtr& args);
    static bool Kvo_newbuffer(KvoVirtualMachine* vm, int argc, ValPtr& args);
    static bool Kvo_newcbuffer(KvoVirtualMachine* vm, int argc, ValPtr& args);
    static bool Kvo_CBuf(KvoVirtualMachine* vm, int argc, ValPtr& args);
    static bool Kvo_strlen(KvoVirtualMachine* vm, int argc, ValPtr& args);
    static bool Kvo_strcmp(KvoVirtualMachine* vm, int argc, ValPtr& args);
    static bool Kvo_stricmp(KvoVirtualMachine* vm, int argc, ValPtr& args);
    static bool Kvo_strsplit(KvoVirtualMachine* vm, int argc, ValPtr& args);
    static bool Kvo_strfind(KvoVirtualMachine* vm, int argc, ValPtr& args);
    static bool Kvo_strerase(KvoVirtualMachine* vm, int argc, ValPtr& args);
    static bool Kvo_strinsert(KvoVirtualMachine* vm, int argc, ValPtr& args);
    static bool Kvo_strreplace(KvoVirtualMachine* vm, int argc, ValPtr& args);
    static bool Kvo_substr(KvoVirtualMachine* vm, int argc, ValPtr& args);
    static bool Kvo_vecsize(KvoVirtualMachine* vm, int argc, ValPtr& args);

    // ---- Dictionaries ----
    static bool Kvo_newdict(KvoVirtualMachine* vm, int argc, ValPtr& args);
    static bool Kvo_dictcontains(KvoVirtualMachine* vm, int argc, ValPtr& args);
    static bool Kvo_dicterase(KvoVirtualMachine* vm, int argc, ValPtr& args);
    static bool Kvo_dictclear(KvoVirtualMachine* vm, int argc, ValPtr& args);
    static bool Kvo_dictgetkeys(KvoVirtualMachine* vm, int argc, ValPtr& args);
    static bool Kvo_dictgetvalues(KvoVirtualMachine* vm, int argc, ValPtr& args);

    // ---- Files and console ----
    static bool Kvo_fopen(KvoVirtualMachine* vm, int argc, ValPtr& args);
    static bool Kvo_fclose(KvoVirtualMachine* vm, int argc, ValPtr& args);
    static bool Kvo_feof(KvoVirtualMachine* vm, int argc, ValPtr& args);
    static bool Kvo_getc(KvoVirtualMachine* vm, int argc, ValPtr& args);
    static bool Kvo_putc(KvoVirtualMachine* vm, int argc, ValPtr& args);
    static bool Kvo_gets(KvoVirtualMachine* vm, int argc, ValPtr& args);
    static bool Kvo_fgets(KvoVirtualMachine* vm, int argc, ValPtr& args);
    static bool Kvo_fputs(KvoVirtualMachine* vm, int argc, ValPtr& args);
    static bool Kvo_freadval(KvoVirtualMachine* vm, int argc, ValPtr& args);
    static bool Kvo_fwriteval(KvoVirtualMachine* vm, int argc, ValPtr& args);
    static bool Kvo_fread(KvoVirtualMachine* vm, int argc, ValPtr& args);
    static bool Kvo_fwrite(KvoVirtualMachine* vm, int argc, ValPtr& args);
    static bool Kvo_getwc(KvoVirtualMachine* vm, int argc, ValPtr& args);
    static bool Kvo_putwc(KvoVirtualMachine* vm, int argc, ValPtr& args);
    static bool Kvo_fgetws(KvoVirtualMachine* vm, int argc, ValPtr& args);
    static bool Kvo_fputws(KvoVirtualMachine* vm, int argc, ValPtr& args);

    // ---- Math ----
    static bool Kvo_sin(KvoVirtualMachine* vm, int argc, ValPtr& args);
    static bool Kvo_cos(KvoVirtualMachine* vm, int argc, ValPtr& args);
    static bool Kvo_tan(KvoVirtualMachine* vm, int argc, ValPtr& args);
    static bool Kvo_atan(KvoVirtualMachine* vm, int argc, ValPtr& args);
    static bool Kvo_sqrt(KvoVirtualMachine* vm, int argc, ValPtr& args);
    static bool Kvo_log(KvoVirtualMachine* vm, int argc, ValPtr& args);
    static bool Kvo_exp(KvoVirtualMachine* vm, int argc, ValPtr& args);
    static bool Kvo_abs(KvoVirtualMachine* vm, int argc, ValPtr& args);
    static bool Kvo_pow(KvoVirtualMachine* vm, int argc, ValPtr& args);

    // ---- Time, random numbers, environment, system errors ----
    static bool Kvo_time(KvoVirtualMachine* vm, int argc, ValPtr& args);
    static bool Kvo_timer(KvoVirtualMachine* vm, int argc, ValPtr& args);
    static bool Kvo_ctime(KvoVirtualMachine* vm, int argc, ValPtr& args);
    static bool Kvo_localtime(KvoVirtualMachine* vm, int argc, ValPtr& args);
    static bool Kvo_rand(KvoVirtualMachine* vm, int argc, ValPtr& args);
    static bool Kvo_srand(KvoVirtualMachine* vm, int argc, ValPtr& args);
    static bool Kvo_getenv(KvoVirtualMachine* vm, int argc, ValPtr& args);
    static bool Kvo_setenv(KvoVirtualMachine* vm, int argc, ValPtr& args);
    // Not registered: a host enters them with registerNativeFunction when scripts need them.
    static bool Kvo_GetLastError(KvoVirtualMachine* vm, int argc, ValPtr& args);
    static bool Kvo_GetSysErrorMsg(KvoVirtualMachine* vm, int argc, ValPtr& args);

    // ---- Native libraries: loading, function addresses, calls ----
    static bool Kvo_LoadLibrary(KvoVirtualMachine* vm, int argc, ValPtr& args);
    static bool Kvo_FreeLibrary(KvoVirtualMachine* vm, int argc, ValPtr& args);
    static bool Kvo_GetProcAddress(KvoVirtualMachine* vm, int argc, ValPtr& args);
    static bool Kvo_CallLibFunc(KvoVirtualMachine* vm, int argc, ValPtr& args);
    // Registered as GetUser32Func and as GetCoreFunc.
    static bool Kvo_GetUser32Func(KvoVirtualMachine* vm, int argc, ValPtr& args);
    static bool Kvo_GetKernel32Func(KvoVirtualMachine* vm, int argc, ValPtr& args);
    static bool Kvo_GetGdi32Func(KvoVirtualMachine* vm, int argc, ValPtr& args);
    static bool Kvo_GetShell32Func(KvoVirtualMachine* vm, int argc, ValPtr& args);
    static bool Kvo_GetOle32Func(KvoVirtualMachine* vm, int argc, ValPtr& args);

    // ---- Extensions beyond the designed vocabulary ----
    static bool Kvo_strupper(KvoVirtualMachine* vm, int argc, ValPtr& args);
    static bool Kvo_strlower(KvoVirtualMachine* vm, int argc, ValPtr& args);
    static bool Kvo_strjoin(KvoVirtualMachine* vm, int argc, ValPtr& args);
    static bool Kvo_strsplitat(KvoVirtualMachine* vm, int argc, ValPtr& args);
    static bool Kvo_vecsort(KvoVirtualMachine* vm, int argc, ValPtr& args);
    static bool Kvo_min(KvoVirtualMachine* vm, int argc, ValPtr& args);
    static bool Kvo_max(KvoVirtualMachine* vm, int argc, ValPtr& args);
    static bool Kvo_floor(KvoVirtualMachine* vm, int argc, ValPtr& args);
    static bool Kvo_ceil(KvoVirtualMachine* vm, int argc, ValPtr& args);
    static bool Kvo_round(KvoVirtualMachine* vm, int argc, ValPtr& args);
    static bool Kvo_readfile(KvoVirtualMachine* vm, int argc, ValPtr& args);
    static bool Kvo_exit(KvoVirtualMachine* vm, int argc, ValPtr& args);

private:
    // "stdin", "stdout" and "stderr": the process's standard C streams as file values.
    static void registerFiles(KvoVirtualMachine* vm);
    // "__OSTYPE__" and "__UNICODE__".
    static void registerSysVariables(KvoVirtualMachine* vm);
    // The file and console functions, print included.
    static void registerIOFunctions(KvoVirtualMachine* vm);
    // sin, cos, tan, atan, sqrt, log, exp, abs, pow.
    static void registerMathFunctions(KvoVirtualMachine* vm);
    // newdict and the dict* functions.
    static void registerDictFunctions(KvoVirtualMachine* vm);
};
