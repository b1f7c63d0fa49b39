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

/* The window system's handle and message number, the same types as the library's own. */
typedef struct KvoWindowRecord* HWND;
typedef uint32_t UINT;

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
KVO_FLAT_API void Kvo_SetDbgWindow(KvoVM* vm, HWND window);
/* The registered numbers of the messages "KvoBreakRequestMsg", "KvoDbgWaitMsg" and
 * "KvoLineChangedMsg" (wParam = the machine, lParam = 0 or the line). A reply equal to the
 * message's own number answers yes. */
KVO_FLAT_API UINT Kvo_GetBreakRequestMsg(void);
KVO_FLAT_API UINT Kvo_GetDbgWaitMsg(void);
KVO_FLAT_API UINT Kvo_GetLineChangedMsg(void);

/* ---- Printers ---- */

/* A printer writing UTF-8 to the process's standard output (which it never closes). */
KVO_FLAT_API KvoPrinter* Kvo_CreateConsolePrinter(void);
/* A printer handing each printed text to callback; null when callback is null. */
KVO_FLAT_API KvoPrinter* Kvo_CreateCallbackPrinter(KvoPrintCallback callback);
/* A printer sending each printed text to window as the message numbered Kvo_GetPrintStringMsg(),
 * synchronously: wParam = the UTF-8 text, lParam = the UTF-16 text, both valid only while the
 * message is handled. */
KVO_FLAT_API KvoPrinter* Kvo_CreateWinMsgPrinter(HWND window);
/* The registered number of "KvoPrintStringMsg". */
KVO_FLAT_API UINT Kvo_GetPrintStringMsg(void);
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
KVO_FLAT_API KvoInput* Kvo_CreateWinMsgInput(HWND window);
/* The registered numbers of "KvoStringInputMsg" and "KvoCharInputMsg" (never sent by the
 * library). */
KVO_FLAT_API UINT Kvo_GetStringInputMsg(void);
KVO_FLAT_API UINT Kvo_GetCharInputMsg(void);
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

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* KIVO_KVO_H */
