/* kvo.h: the flat interface of libkvolib, for hosts that cannot use its C++ classes (C programs,
 * other compilers, other languages through a foreign-function layer). Plain C99, also valid C++;
 * it includes nothing but the C standard headers <stdint.h> and (in C) <stdbool.h>.
 *
 * Handles. A machine, a printer (output channel) and an input channel are passed as pointers to
 * the incomplete types KvoVM, KvoPrinter and KvoInput. The pointer is the library's object itself;
 * the host never looks inside. The host owns every handle it creates with a Kvo_Create* function
 * and gives it back with the matching Kvo_Release* function. A machine never frees a printer or
 * input handed to it.
 *
 * Every function checks its handles: a pointer that is not a live handle of the kind the argument
 * asks for (one already released, never made here, or a handle of another kind, such as a printer
 * passed as an input) makes the function return its failure value (named with each function;
 * "nothing" for functions without a result) without doing anything. A null printer argument
 * means the machine's own printer, as stated per function. A printer or input cannot be released
 * while a live machine uses it (as its printer or installed input), while a call that was handed
 * it is in progress, or from inside its own callback: the release returns 0 and the handle stays
 * valid. A machine cannot be released or reset while a call on it is in progress (from a callback
 * of its running script, say).
 *
 * Text. Functions ending in A take and return UTF-8 text (char); functions ending in W take and
 * return UTF-16 text (KvoWChar, 16-bit code units, native byte order). Every returned text is
 * borrowed: each function below says how long it stays valid.
 *
 * Truth values. Arguments typed int are flags: 0 is false, any other value true. Results typed
 * int that report success or a switch are exactly 0 or 1. Procedures that the host installs
 * return bool (C99 _Bool), as the library's C++ procedure types do.
 *
 * Threads. A machine and everything it runs belong to one thread. Only Kvo_Cancel,
 * Kvo_SetDbgWindow and the three procedure setters may be called from another thread while a
 * script runs. The texts returned by Kvo_GetCurrentSourceA, Kvo_GetEnvA and Kvo_GetEnvW are kept
 * per thread.
 *
 * Failures. No function lets a C++ exception out; an internal failure (memory running out inside
 * a call, say) gives the function's failure value.
 */
#ifndef KIVO_KVO_H
#define KIVO_KVO_H

#include <stdint.h>
#ifndef __cplusplus
#include <stdbool.h>
#endif

/* Marks the functions that libkvolib exports. Hosts on Windows-style systems that link the
 * library dynamically get dllimport; the library's own build defines KVO_BUILDING_LIBRARY. */
#if defined(_WIN32)
#if defined(KVO_BUILDING_LIBRARY)
#define KVO_FLAT_API __declspec(dllexport)
#else
#define KVO_FLAT_API __declspec(dllimport)
#endif
#elif defined(__GNUC__)
#define KVO_FLAT_API __attribute__((visibility("default")))
#else
#define KVO_FLAT_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* One UTF-16 code unit, the library's KvoChar. C++ hosts get char16_t, so u"..." literals can
 * be passed directly; C hosts get uint16_t, which has the same size and representation. */
#ifdef __cplusplus
typedef char16_t KvoWChar;
#else
typedef uint16_t KvoWChar;
#endif

/* The window system's handle, the same type as the library's own. Message numbers are uint32_t.
 * The header defines no short global name (no HWND, UINT, TRUE ...): everything it adds to a
 * host's namespace begins with Kvo or KVO. */
typedef struct KvoWindowRecord* KvoWindowHandle;

/* A virtual machine: compiles scripts and runs their functions. */
typedef struct KvoVM KvoVM;
/* An output channel: receives everything the library prints (script output, diagnostics,
 * error texts, traces). */
typedef struct KvoPrinter KvoPrinter;
/* An input channel: what the script functions getc() and gets() read. */
typedef struct KvoInput KvoInput;

/* Receives one printed text as UTF-8 (borrowed; valid only during the call). */
typedef void (*KvoPrintCallback)(const char* text);
/* Returns the next character of the host's input. */
typedef int (*KvoCharInputCallback)(void);
/* Returns the next line of the host's input as UTF-8 without its line feed (borrowed; it must
 * stay valid until the callback is called again), or null for none. */
typedef const char* (*KvoLineInputCallback)(void);
/* Debugger-wait and break-request procedure: true keeps (wait) or enters (break request)
 * single-step mode. */
typedef bool (*KvoDbgProc)(void);
/* Line-changed procedure: called with the UTF-8 source name and the line each time execution
 * reaches a new source line; true starts single-step mode. */
typedef bool (*KvoLineChangedProc)(const char* source, int32_t line);

/* ---- Machines ---- */

/* Creates a machine printing to printer (borrowed; null: the machine prints nothing). Returns
 * null when memory runs out or printer is not a live printer. */
KVO_FLAT_API KvoVM* Kvo_CreateVM(KvoPrinter* printer);
/* Deletes a machine made by Kvo_CreateVM and returns 1. Returns 0 and deletes nothing for null,
 * for a pointer that is not a live machine of this interface, and for a machine whose script is
 * still running (a callback of that very machine asked). */
KVO_FLAT_API int Kvo_ReleaseVM(KvoVM* vm);
/* Returns the machine to its state after creation (printer, input, switches and procedures
 * stay). Nothing for null or while a script runs on it. */
KVO_FLAT_API void Kvo_Reinit(KvoVM* vm);

/* Compiled code carries source-line records (needed by the line-changed procedure). 0 for null. */
KVO_FLAT_API int Kvo_GetGenerateLineInfo(KvoVM* vm);
KVO_FLAT_API void Kvo_SetGenerateLineInfo(KvoVM* vm, int on);
/* Compiled procedures carry the names of their local variables. 0 for null. */
KVO_FLAT_API int Kvo_GetGenerateLocalVarInfo(KvoVM* vm);
KVO_FLAT_API void Kvo_SetGenerateLocalVarInfo(KvoVM* vm, int on);

/* Untrusted mode, for running scripts the host did not write. The script functions that reach
 * beyond the machine stay defined but raise the script error "function not available in
 * untrusted mode": the native library calls (LoadLibrary, FreeLibrary, GetProcAddress,
 * CallLibFunc, GetCoreFunc and the other Get...Func lookups), every function on files (fopen,
 * fclose, feof, fgets, fputs, getwc, putwc, fgetws, fputws, fread, fwrite, freadval, fwriteval,
 * putc, getc with a file, compile with a file), loadmodule and setenv. print, gets, getc() and
 * compile of a text stay. The compiler refuses the directives #import, #use and #include
 * ("directive not available in untrusted mode"), and the machine loads no further native module,
 * not even for a module file the host reads. Switch it on after creating the machine and before
 * compiling; it survives Kvo_Reinit. Kvo_SetUntrusted returns 1 on success and 0 (nothing
 * changes) for null or while a call on the machine is in progress. Kvo_GetUntrusted: 0 for null. */
KVO_FLAT_API int Kvo_SetUntrusted(KvoVM* vm, int on);
KVO_FLAT_API int Kvo_GetUntrusted(KvoVM* vm);

/* Compiles the source file at path into the machine. showInfo prints the names of what is
 * compiled; debug lists each compiled procedure to debugPrinter. Diagnostics go to printer.
 * A null printer means the machine's own. Returns 1 on success; 0 for null arguments, a file
 * that does not open or a source with errors (what compiled before the error stays). */
KVO_FLAT_API int Kvo_CompileFileA(KvoVM* vm, const char* path, int showInfo, int debug,
                                  KvoPrinter* printer, KvoPrinter* debugPrinter);
KVO_FLAT_API int Kvo_CompileFileW(KvoVM* vm, const KvoWChar* path, int showInfo, int debug,
                                  KvoPrinter* printer, KvoPrinter* debugPrinter);
/* The same for source text in memory. */
KVO_FLAT_API int Kvo_CompileTextA(KvoVM* vm, const char* text, int showInfo, int debug,
                                  KvoPrinter* printer, KvoPrinter* debugPrinter);
KVO_FLAT_API int Kvo_CompileTextW(KvoVM* vm, const KvoWChar* text, int showInfo, int debug,
                                  KvoPrinter* printer, KvoPrinter* debugPrinter);

/* Calls the global function name with argc string arguments argv[0] .. argv[argc-1] (copied; a
 * null element passes an empty text). argc < 1 passes no arguments and argv is not read. trace
 * traces every instruction to tracePrinter; the error text of an uncaught exception goes to
 * errorPrinter (null printers: the machine's own). Returns 1 when the function returned
 * normally; 0 for a null machine or name, argc >= 1 with a null argv, an unknown function or an
 * uncaught exception. The returned value is kept (Kvo_GetIntResult).
 * A call from inside a callback of the same machine's running script (a printer, an input, a
 * debugging procedure) runs nested in it and counts toward the limit of 200 nested runs that a
 * script's own re-entries share: past it the call runs nothing, prints "stack overflow" to
 * errorPrinter and returns 0, and inside a nested run a script's own re-entry past the limit
 * raises the catchable "stack overflow". */
KVO_FLAT_API int Kvo_ExecuteA(KvoVM* vm, const char* name, int argc, const char* const* argv,
                              int trace, KvoPrinter* errorPrinter, KvoPrinter* tracePrinter);
KVO_FLAT_API int Kvo_ExecuteW(KvoVM* vm, const KvoWChar* name, int argc,
                              const KvoWChar* const* argv, int trace, KvoPrinter* errorPrinter,
                              KvoPrinter* tracePrinter);
/* The value returned by the last executed function as a 32-bit integer (doubles truncated
 * toward zero). INT32_MIN for null, which a genuine result of INT32_MIN cannot be told from. */
KVO_FLAT_API int32_t Kvo_GetIntResult(KvoVM* vm);
/* Asks the running script to stop at its next instruction; nothing when none runs. */
KVO_FLAT_API void Kvo_Cancel(KvoVM* vm);

/* Writes the machine's modules, classes and symbols as a compiled module file at path. 1 on
 * success, 0 for null arguments or on failure. */
KVO_FLAT_API int Kvo_WriteModuleA(KvoVM* vm, const char* path);
KVO_FLAT_API int Kvo_WriteModuleW(KvoVM* vm, const KvoWChar* path);
/* Adds the contents of the compiled module file at path to the machine. 1 on success, 0 for null
 * arguments or on failure. */
KVO_FLAT_API int Kvo_ReadModuleA(KvoVM* vm, const char* path);
KVO_FLAT_API int Kvo_ReadModuleW(KvoVM* vm, const KvoWChar* path);

/* The source name of the position the running script last reported (line records are needed).
 * The A form is kept per thread until its next call; the W form is the machine's own text, valid
 * until the position changes. Null for null. */
KVO_FLAT_API const char* Kvo_GetCurrentSourceA(KvoVM* vm);
KVO_FLAT_API const KvoWChar* Kvo_GetCurrentSourceW(KvoVM* vm);
/* The line of that position; -1 before the first report and for null. */
KVO_FLAT_API int32_t Kvo_GetCurrentLine(KvoVM* vm);

/* ---- Debugging hooks ---- */

/* Install a procedure (null removes it) and return the one installed before (null for null). */
KVO_FLAT_API KvoDbgProc Kvo_SetDbgWaitProc(KvoVM* vm, KvoDbgProc proc);
KVO_FLAT_API KvoDbgProc Kvo_SetBreakRequestProc(KvoVM* vm, KvoDbgProc proc);
KVO_FLAT_API KvoLineChangedProc Kvo_SetLineChangedProc(KvoVM* vm, KvoLineChangedProc proc);
/* The window that receives the debugging messages when no procedure is installed (null: none). */
KVO_FLAT_API void Kvo_SetDbgWindow(KvoVM* vm, KvoWindowHandle window);
/* The registered numbers of the messages "KvoBreakRequestMsg", "KvoDbgWaitMsg" and
 * "KvoLineChangedMsg" (wParam = the machine, lParam = 0 or the line). A reply equal to the
 * message's own number answers yes. */
KVO_FLAT_API uint32_t Kvo_GetBreakRequestMsg(void);
KVO_FLAT_API uint32_t Kvo_GetDbgWaitMsg(void);
KVO_FLAT_API uint32_t Kvo_GetLineChangedMsg(void);

/* ---- Printers ---- */

/* A printer writing UTF-8 to the process's standard output (which it never closes). */
KVO_FLAT_API KvoPrinter* Kvo_CreateConsolePrinter(void);
/* A printer handing each printed text to callback; null when callback is null. */
KVO_FLAT_API KvoPrinter* Kvo_CreateCallbackPrinter(KvoPrintCallback callback);
/* A printer sending each printed text to window as the message numbered Kvo_GetPrintStringMsg(),
 * synchronously: wParam = the UTF-8 text, lParam = the UTF-16 text, both valid only while the
 * message is handled. */
KVO_FLAT_API KvoPrinter* Kvo_CreateWinMsgPrinter(KvoWindowHandle window);
/* The registered number of "KvoPrintStringMsg". */
KVO_FLAT_API uint32_t Kvo_GetPrintStringMsg(void);
/* Deletes a printer made by one of the functions above and returns 1; 0 for null, for a pointer
 * that is not a live printer of this interface, and for a printer still in use (the printer of a
 * live machine, handed to a call in progress, or inside its own callback); nothing is deleted
 * then. */
KVO_FLAT_API int Kvo_ReleasePrinter(KvoPrinter* printer);

/* ---- Input channels ---- */

/* An input asking charCallback for each character and lineCallback for each line. Either may be
 * null: getc() then reads 65535, gets() an empty line. */
KVO_FLAT_API KvoInput* Kvo_CreateCallbackInput(KvoCharInputCallback charCallback,
                                              KvoLineInputCallback lineCallback);
/* An input belonging to window whose line and character the host stores beforehand with the
 * Kvo_SetWinInput* functions (typically while handling its own "KvoStringInputMsg" and
 * "KvoCharInputMsg" protocol). Starts with an empty line and character 0. */
KVO_FLAT_API KvoInput* Kvo_CreateWinMsgInput(KvoWindowHandle window);
/* The registered numbers of "KvoStringInputMsg" and "KvoCharInputMsg" (never sent by the
 * library). */
KVO_FLAT_API uint32_t Kvo_GetStringInputMsg(void);
KVO_FLAT_API uint32_t Kvo_GetCharInputMsg(void);
/* Store the line (null: empty) or the character that a window input returns next. An 8-bit
 * character is stored as its unsigned byte value. Nothing happens unless input is a live input
 * made by Kvo_CreateWinMsgInput. */
KVO_FLAT_API void Kvo_SetWinInputStringA(KvoInput* input, const char* text);
KVO_FLAT_API void Kvo_SetWinInputStringW(KvoInput* input, const KvoWChar* text);
KVO_FLAT_API void Kvo_SetWinInputCharA(KvoInput* input, char c);
KVO_FLAT_API void Kvo_SetWinInputCharW(KvoInput* input, KvoWChar c);
/* Deletes an input made by Kvo_CreateCallbackInput or Kvo_CreateWinMsgInput and returns 1; 0 for
 * null and for any other pointer, such as a machine's built-in standard input returned by
 * Kvo_SetCurrentInput, and for an input still in use (installed in a live machine or inside its
 * own callback); nothing is deleted then. Remove the input from every machine first. */
KVO_FLAT_API int Kvo_ReleaseInput(KvoInput* input);
/* Installs input (borrowed; null: the machine's standard input again) as what the machine's
 * scripts read, and returns the previous one. input may also be the machine's own standard input
 * that an earlier call returned. Null (nothing installed) for a null machine or an input that is
 * neither. */
KVO_FLAT_API KvoInput* Kvo_SetCurrentInput(KvoVM* vm, KvoInput* input);
KVO_FLAT_API KvoInput* Kvo_GetCurrentInput(KvoVM* vm);

/* ---- Environment ---- */

/* The value of the per-user environment variable name (falling back to the process
 * environment), "" when it is unset or name is null; never null. Each form keeps its result per
 * thread until its next call. */
KVO_FLAT_API const char* Kvo_GetEnvA(const char* name);
KVO_FLAT_API const KvoWChar* Kvo_GetEnvW(const KvoWChar* name);
/* Stores value under name in the per-user environment; a null or empty value deletes name.
 * Nothing happens for a null or empty name or a name holding '='. */
KVO_FLAT_API void Kvo_SetEnvA(const char* name, const char* value);
KVO_FLAT_API void Kvo_SetEnvW(const KvoWChar* name, const KvoWChar* value);

/* ---- Embedding: host functions, globals, typed calls, user data, errors ----
 *
 * These functions take and return UTF-8 text only. Each one returns 1 on success and 0 on
 * failure (or the failure value named with it) and then leaves the text of the error for
 * Kvo_GetLastError; a failing call changes nothing else. A null or dead machine handle, or a
 * call context used outside its callback, is such a failure too: its text is kept per thread and
 * read with Kvo_GetLastError(NULL). */

/* The kinds of value these functions exchange. A script's float is reported as KVO_TYPE_DOUBLE;
 * vectors, objects, buffers, functions and all other values are KVO_TYPE_OTHER. */
typedef enum KvoType {
    KVO_TYPE_NIL = 0,
    KVO_TYPE_INT = 1,    /* 32-bit signed integer */
    KVO_TYPE_DOUBLE = 2, /* double */
    KVO_TYPE_STRING = 3, /* text */
    KVO_TYPE_OTHER = 4
} KvoType;

/* One argument of Kvo_CallFunction: type is one of KVO_TYPE_NIL ... KVO_TYPE_STRING and names
 * the member of value that is read (none for nil). The string is copied; it must not be null. */
typedef struct KvoArgument {
    int32_t type;
    union {
        int32_t i;
        double d;
        const char* s;
    } value;
} KvoArgument;

/* The call of a host function in progress: what the function reads its arguments from and sets
 * its result on. It is valid only until the host function returns. */
typedef struct KvoCallContext KvoCallContext;
/* A host function: called with the call in progress and the userdata given at registration. */
typedef void (*KvoHostFunction)(KvoCallContext* call, void* userdata);

/* The text of the last error of a call on vm (a failed compilation's diagnostics, an uncaught
 * script error, a refused call of this interface); "" when there was none. With null (or a
 * handle that is not a live machine): the last such error of this thread's calls that had no
 * valid machine or call context. Valid until the next error it reports; never null. */
KVO_FLAT_API const char* Kvo_GetLastError(KvoVM* vm);

/* A pointer of the host's own, kept with the machine and never read by it (null at first). */
KVO_FLAT_API int Kvo_SetUserData(KvoVM* vm, void* data);
/* Null for a null or dead machine (an error then) and when none was set. */
KVO_FLAT_API void* Kvo_GetUserData(KvoVM* vm);

/* Makes function callable from scripts as the global function name (an identifier: letters,
 * digits and '_', not starting with a digit) with any number of arguments. Fails when name is
 * already defined (by the library, a script or an earlier registration), for a null function,
 * or when the process already holds 1024 host functions. Kvo_Reinit removes host functions like
 * every other global; register them again afterwards. Scripts compiled before the registration
 * find the function too. Compiled module files do not hold host functions: register them before
 * reading a module whose code calls them. */
KVO_FLAT_API int Kvo_RegisterFunction(KvoVM* vm, const char* name, KvoHostFunction function, void* userdata);

/* The machine running the call (for Kvo_CallFunction, the globals or the user data); null
 * for a context that is not in progress. */
KVO_FLAT_API KvoVM* Kvo_CallMachine(KvoCallContext* call);
/* The number of arguments; -1 for a context that is not in progress. */
KVO_FLAT_API int Kvo_ArgCount(KvoCallContext* call);
/* The kind of argument index (0-based); -1 for an index out of range. */
KVO_FLAT_API int Kvo_ArgType(KvoCallContext* call, int index);
/* Argument index as an integer (an integer argument only), a double (an integer or a double
 * argument) or UTF-8 text (a string argument only). The text stays valid until the host
 * function returns. Wrong kinds and indexes out of range fail and leave *value unchanged. */
KVO_FLAT_API int Kvo_ArgInt(KvoCallContext* call, int index, int32_t* value);
KVO_FLAT_API int Kvo_ArgDouble(KvoCallContext* call, int index, double* value);
KVO_FLAT_API int Kvo_ArgString(KvoCallContext* call, int index, const char** value);
/* Set the call's result (nil unless set; a later setting replaces an earlier one). The text is
 * copied; a null text fails. */
KVO_FLAT_API int Kvo_ReturnNil(KvoCallContext* call);
KVO_FLAT_API int Kvo_ReturnInt(KvoCallContext* call, int32_t value);
KVO_FLAT_API int Kvo_ReturnDouble(KvoCallContext* call, double value);
KVO_FLAT_API int Kvo_ReturnString(KvoCallContext* call, const char* text);
/* Makes the call raise the script error message (copied; null or empty: "error in host function
 * <name>") once the host function returns, in place of a result. The script may catch it with
 * try/catch and receives the message text; uncaught, it ends the run like any library error. */
KVO_FLAT_API int Kvo_RaiseError(KvoCallContext* call, const char* message);

/* Global variables. The setters create the variable or replace its value; they refuse names of
 * functions. Kvo_GetGlobalType gives the kind of the value, or -1 for a name that is no global
 * variable. The getters accept the kinds their Kvo_Arg... counterparts accept; the text of
 * Kvo_GetGlobalString stays valid until the next Kvo_GetGlobalString on the machine. */
KVO_FLAT_API int Kvo_SetGlobalNil(KvoVM* vm, const char* name);
KVO_FLAT_API int Kvo_SetGlobalInt(KvoVM* vm, const char* name, int32_t value);
KVO_FLAT_API int Kvo_SetGlobalDouble(KvoVM* vm, const char* name, double value);
KVO_FLAT_API int Kvo_SetGlobalString(KvoVM* vm, const char* name, const char* text);
KVO_FLAT_API int Kvo_GetGlobalType(KvoVM* vm, const char* name);
KVO_FLAT_API int Kvo_GetGlobalInt(KvoVM* vm, const char* name, int32_t* value);
KVO_FLAT_API int Kvo_GetGlobalDouble(KvoVM* vm, const char* name, double* value);
KVO_FLAT_API int Kvo_GetGlobalString(KvoVM* vm, const char* name, const char** value);

/* Calls the global function name with argc typed arguments (args may be null when argc is 0)
 * and keeps its result as Kvo_ExecuteA does. Returns 1 when the function returned normally; 0
 * for bad arguments or an unknown function (nothing runs then and the previous result stays)
 * and for an uncaught script error, whose text Kvo_GetLastError gives (nothing is printed).
 * From inside a host function or another callback of the same machine it runs nested, under the
 * same limit as Kvo_ExecuteA. */
KVO_FLAT_API int Kvo_CallFunction(KvoVM* vm, const char* name, const KvoArgument* args, int argc);

/* The last run's result (Kvo_ExecuteA/W, Kvo_CallFunction): its kind (-1 for a bad handle), as
 * a double (an integer or a double result) or as UTF-8 text (a string result; valid until the
 * next Kvo_GetStringResult on the machine). Wrong kinds fail. */
KVO_FLAT_API int Kvo_GetResultType(KvoVM* vm);
KVO_FLAT_API int Kvo_GetDoubleResult(KvoVM* vm, double* value);
KVO_FLAT_API int Kvo_GetStringResult(KvoVM* vm, const char** value);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* KIVO_KVO_H */
