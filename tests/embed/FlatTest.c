/* A C host using nothing of libkvolib but kvo.h. `flat_test SECTION` runs one section (core,
 * input, window, module, env, handles, nesting, untrusted); each is its own CTest. */
#define _XOPEN_SOURCE 700
#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "kvo.h"

static int checks, failures;
#define CHECK(c) (++checks, (c) ? (void)0 : (void)(++failures, fprintf(stderr, "%d: failed: %s\n", __LINE__, #c)))

/* The window system's calls this host needs (exported by libkvolib with C linkage). */
typedef intptr_t (*WNDPROC)(KvoWindowHandle, uint32_t, uintptr_t, intptr_t);
typedef struct {
    uint32_t style;
    WNDPROC proc;
    int classExtra, windowExtra;
    void *instance, *icon, *cursor, *background;
    const KvoWChar *menuName, *className;
} WNDCLASSW;
uint16_t RegisterClassW(const WNDCLASSW* windowClass);
KvoWindowHandle CreateWindowExW(uint32_t, const KvoWChar*, const KvoWChar*, uint32_t, int, int, int, int, KvoWindowHandle, void*,
                     void*, void*);
int DestroyWindow(KvoWindowHandle window);
intptr_t DefWindowProcW(KvoWindowHandle window, uint32_t msg, uintptr_t wParam, intptr_t lParam);

/* UTF-16 copy of ASCII text, in one of four rotating buffers. */
static const KvoWChar* wide(const char* text)
{
    static KvoWChar buffers[4][256];
    static int next;
    KvoWChar* out = buffers[next++ % 4];
    size_t i = 0;
    for (; text[i] && i < 255; ++i)
        out[i] = (unsigned char)text[i];
    out[i] = 0;
    return out;
}

static char printed[2048], errors[512], tempDir[256];
static KvoVM* selfReleasing;
static int releasedInside = -1;
static void collect(const char* text)
{
    strncat(printed, text, sizeof printed - strlen(printed) - 1);
    if (selfReleasing)
        releasedInside = Kvo_ReleaseVM(selfReleasing);
}
static void collectErrors(const char* text) { strncat(errors, text, sizeof errors - strlen(errors) - 1); }
static int run(KvoVM* vm, const char* name, int argc, const char* const* argv)
{
    printed[0] = errors[0] = 0;
    return Kvo_ExecuteA(vm, name, argc, argv, 0, NULL, NULL);
}
static bool noBreak(void) { return false; }
static int32_t lastLine;
static char lastSource[300];
static bool lineChanged(const char* source, int32_t line)
{
    lastLine = line;
    snprintf(lastSource, sizeof lastSource, "%s", source);
    return false;
}

/* Writes a source file into the run's directory; returns its path (static). */
static const char* writeSource(const char* name, const char* text)
{
    static char path[300];
    FILE* file;
    snprintf(path, sizeof path, "%s/%s", tempDir, name);
    file = fopen(path, "w");
    fputs(text, file);
    fclose(file);
    return path;
}

static void nullHandles(void)
{
    KvoPrinter* printer = Kvo_CreateCallbackPrinter(collect);
    CHECK(Kvo_ReleaseVM(NULL) == 0 && Kvo_GetGenerateLineInfo(NULL) == 0 && Kvo_GetGenerateLocalVarInfo(NULL) == 0);
    CHECK(Kvo_CompileFileA(NULL, "x", 0, 0, printer, NULL) == 0);
    CHECK(Kvo_CompileFileW(NULL, wide("x"), 0, 0, NULL, NULL) == 0);
    CHECK(Kvo_CompileTextA(NULL, "f(){}", 0, 0, printer, NULL) == 0);
    CHECK(Kvo_CompileTextW(NULL, wide("f(){}"), 0, 0, NULL, NULL) == 0);
    CHECK(Kvo_ExecuteA(NULL, "f", 0, NULL, 0, printer, NULL) == 0);
    CHECK(Kvo_ExecuteW(NULL, wide("f"), 0, NULL, 0, NULL, NULL) == 0);
    CHECK(Kvo_WriteModuleA(NULL, "x") == 0 && Kvo_WriteModuleW(NULL, wide("x")) == 0);
    CHECK(Kvo_ReadModuleA(NULL, "x") == 0 && Kvo_ReadModuleW(NULL, wide("x")) == 0);
    CHECK(Kvo_GetCurrentSourceA(NULL) == NULL && Kvo_GetCurrentSourceW(NULL) == NULL && Kvo_GetCurrentLine(NULL) == -1);
    CHECK(Kvo_GetIntResult(NULL) == INT32_MIN);
    CHECK(Kvo_SetDbgWaitProc(NULL, noBreak) == NULL && Kvo_SetBreakRequestProc(NULL, noBreak) == NULL);
    CHECK(Kvo_SetLineChangedProc(NULL, lineChanged) == NULL);
    CHECK(Kvo_SetCurrentInput(NULL, NULL) == NULL && Kvo_GetCurrentInput(NULL) == NULL);
    CHECK(Kvo_CreateCallbackPrinter(NULL) == NULL && Kvo_ReleasePrinter(NULL) == 0 && Kvo_ReleaseInput(NULL) == 0);
    Kvo_SetGenerateLineInfo(NULL, 1), Kvo_SetGenerateLocalVarInfo(NULL, 1), Kvo_Reinit(NULL), Kvo_Cancel(NULL);
    Kvo_SetDbgWindow(NULL, NULL), Kvo_SetWinInputStringA(NULL, "x"), Kvo_SetWinInputStringW(NULL, wide("x"));
    Kvo_SetWinInputCharA(NULL, 'x'), Kvo_SetWinInputCharW(NULL, 'x');
    CHECK(printed[0] == 0);
    CHECK(Kvo_ReleasePrinter(printer) == 1 && Kvo_ReleasePrinter(printer) == 0);
}

static void compileAndExecute(void)
{
    KvoPrinter* printer = Kvo_CreateCallbackPrinter(collect);
    KvoPrinter* errorPrinter = Kvo_CreateCallbackPrinter(collectErrors);
    KvoPrinter* console = Kvo_CreateConsolePrinter();
    KvoVM* vm = Kvo_CreateVM(printer);
    KvoVM* consoleVM = Kvo_CreateVM(console);
    const char* argv[] = {"one", NULL};
    const KvoWChar* wideArgv[2];
    const char* path;

    Kvo_SetGenerateLineInfo(vm, 5), Kvo_SetGenerateLocalVarInfo(vm, 0);
    CHECK(Kvo_GetGenerateLineInfo(vm) == 1 && Kvo_GetGenerateLocalVarInfo(vm) == 0);

    CHECK(Kvo_CompileTextA(vm, "add(a, b) { print(a, \"|\", b); return 42; }\n none() { return 7.9; }\n"
                               "fails() { throw \"boom\"; }\n", 0, 0, NULL, NULL) == 1);
    /* Arguments arrive as strings, a null element as an empty text; argc < 1 never reads argv. */
    CHECK(run(vm, "add", 2, argv) == 1 && strcmp(printed, "one|") == 0 && Kvo_GetIntResult(vm) == 42);
    wideArgv[0] = wide("\xe9"), wideArgv[1] = wide("two");
    printed[0] = 0;
    CHECK(Kvo_ExecuteW(vm, wide("add"), 2, wideArgv, 0, NULL, NULL) == 1 && strcmp(printed, "\xc3\xa9|two") == 0);
    CHECK(run(vm, "none", 0, NULL) == 1 && Kvo_GetIntResult(vm) == 7);
    CHECK(run(vm, "none", 1, NULL) == 0 && run(vm, NULL, 0, NULL) == 0 && run(vm, "missing", 0, NULL) == 0);
    CHECK(Kvo_ExecuteA(vm, "fails", 0, NULL, 0, errorPrinter, NULL) == 0 && strstr(errors, "boom") && !printed[0]);
    CHECK(Kvo_CompileTextW(vm, wide("broken( {"), 0, 0, errorPrinter, NULL) == 0 && strstr(errors, "-->"));

    /* A file with line records reports its lines to the line procedure. */
    CHECK(Kvo_SetLineChangedProc(vm, lineChanged) == NULL);
    CHECK(Kvo_SetDbgWaitProc(vm, noBreak) == NULL && Kvo_SetDbgWaitProc(vm, NULL) == noBreak);
    path = writeSource("lines.kvo", "fromFile() {\n    var x = 1;\n    return x + 9;\n}\n");
    CHECK(Kvo_CompileFileW(vm, wide(path), 0, 0, NULL, NULL) == 1);
    CHECK(run(vm, "fromFile", 0, NULL) == 1 && Kvo_GetIntResult(vm) == 10);
    CHECK(lastLine == 3 && Kvo_GetCurrentLine(vm) == 3 && strcmp(lastSource, path) == 0);
    CHECK(strcmp(Kvo_GetCurrentSourceA(vm), path) == 0 && Kvo_GetCurrentSourceW(vm)[0] == '/');
    CHECK(Kvo_SetLineChangedProc(vm, NULL) == lineChanged);

    /* A callback inside a run cannot delete the machine that runs it. */
    CHECK(Kvo_CompileTextA(vm, "talk() { print(\"x\"); return 1; }", 0, 0, NULL, NULL) == 1);
    selfReleasing = vm;
    CHECK(run(vm, "talk", 0, NULL) == 1 && releasedInside == 0);
    selfReleasing = NULL;
    Kvo_Reinit(vm);
    CHECK(run(vm, "add", 0, NULL) == 0);

    /* The console printer writes to standard output (the CTest matches it). */
    CHECK(Kvo_CompileTextA(consoleVM, "hi() { print(\"console says hi\\n\"); }", 0, 0, NULL, NULL) == 1);
    CHECK(run(consoleVM, "hi", 0, NULL) == 1);
    fflush(stdout);

    /* Release functions accept only live handles of their own kind. */
    CHECK(Kvo_ReleasePrinter((KvoPrinter*)(void*)vm) == 0 && Kvo_ReleaseInput((KvoInput*)(void*)printer) == 0);
    CHECK(Kvo_ReleaseVM(vm) == 1 && Kvo_ReleaseVM(consoleVM) == 1 && Kvo_ReleaseVM(vm) == 0);
    CHECK(Kvo_ReleasePrinter(console) && Kvo_ReleasePrinter(errorPrinter) && Kvo_ReleasePrinter(printer));
}

static const char* lines[] = {"first", "caf\xc3\xa9", NULL};
static int lineIndex, charIndex;
static const char* nextLine(void) { return lines[lineIndex] ? lines[lineIndex++] : NULL; }
static int nextChar(void) { return "xy"[charIndex++ % 2]; }

static void inputs(void)
{
    KvoPrinter* printer = Kvo_CreateCallbackPrinter(collect);
    KvoVM* vm = Kvo_CreateVM(printer);
    KvoInput* callbacks = Kvo_CreateCallbackInput(nextChar, nextLine);
    KvoInput* window = Kvo_CreateWinMsgInput(NULL);
    KvoInput* standard = Kvo_GetCurrentInput(vm);
    char all[256] = "";

    CHECK(Kvo_CompileTextA(vm, "rd() { var s = gets(); var c = getc(); print(s, \"|\", c, \";\"); return c; }", 0,
                           0, NULL, NULL) == 1);
    CHECK(standard != NULL && Kvo_SetCurrentInput(vm, callbacks) == standard && Kvo_GetCurrentInput(vm) == callbacks);
    for (int i = 0; i < 3; ++i)
        CHECK(run(vm, "rd", 0, NULL) == 1), strcat(all, printed);
    CHECK(strcmp(all, "first|120;caf\xc3\xa9|121;|120;") == 0 && Kvo_GetIntResult(vm) == 'x');

    /* The window input returns what was stored (an 8-bit character unsigned); its setters leave
     * other inputs alone. */
    Kvo_SetWinInputStringA(window, "\xc3\xa9t\xc3\xa9"), Kvo_SetWinInputCharA(window, (char)0xE9);
    Kvo_SetWinInputStringA(callbacks, "ignored"), Kvo_SetWinInputCharA(callbacks, 'z');
    CHECK(Kvo_SetCurrentInput(vm, window) == callbacks);
    CHECK(run(vm, "rd", 0, NULL) == 1 && strcmp(printed, "\xc3\xa9t\xc3\xa9|233;") == 0);
    Kvo_SetCurrentInput(vm, callbacks);
    CHECK(run(vm, "rd", 0, NULL) == 1 && strcmp(printed, "|121;") == 0);

    /* Null restores the standard input, which belongs to the machine and cannot be released. */
    CHECK(Kvo_SetCurrentInput(vm, NULL) == callbacks && Kvo_GetCurrentInput(vm) == standard);
    CHECK(Kvo_ReleaseInput(standard) == 0);
    CHECK(Kvo_ReleaseVM(vm) && Kvo_ReleasePrinter(printer));
    CHECK(Kvo_ReleaseInput(callbacks) && Kvo_ReleaseInput(window));
    CHECK(Kvo_ReleaseInput(window) == 0);
}

static char windowText[64];
static KvoWChar windowWide[64];
static intptr_t messageLine;
static intptr_t windowProc(KvoWindowHandle window, uint32_t msg, uintptr_t wParam, intptr_t lParam)
{
    if (msg == Kvo_GetPrintStringMsg()) {
        snprintf(windowText, sizeof windowText, "%s", (const char*)wParam);
        memcpy(windowWide, (const KvoWChar*)lParam, 6 * sizeof(KvoWChar));
        return 0;
    }
    if (msg == Kvo_GetLineChangedMsg() && wParam != 0) {
        messageLine = lParam;
        return 0;
    }
    return DefWindowProcW(window, msg, wParam, lParam);
}

static void windows(void)
{
    WNDCLASSW windowClass = {0, windowProc, 0, 0, NULL, NULL, NULL, NULL, NULL, wide("KvoFlatTest")};
    KvoWindowHandle window;
    KvoPrinter* printer;
    KvoVM* vm;
    const char* argv[] = {"5"};

    CHECK(Kvo_GetPrintStringMsg() >= 0xC000 && Kvo_GetStringInputMsg() != Kvo_GetCharInputMsg());
    CHECK(RegisterClassW(&windowClass) != 0);
    window = CreateWindowExW(0, wide("KvoFlatTest"), wide(""), 0, 0, 0, 9, 9, NULL, NULL, NULL, NULL);
    printer = Kvo_CreateWinMsgPrinter(window);
    vm = Kvo_CreateVM(printer);
    Kvo_SetGenerateLineInfo(vm, 1);
    CHECK(Kvo_CompileTextA(vm, "show(n) {\n    print(\"n=\" + n + \" \xe2\x82\xac\");\n    return 0;\n}", 0, 0, NULL,
                           NULL) == 1);
    CHECK(run(vm, "show", 1, argv) == 1 && strcmp(windowText, "n=5 \xe2\x82\xac") == 0);
    CHECK(windowWide[0] == 'n' && windowWide[4] == 0x20AC && windowWide[5] == 0);
    /* Without a line procedure the debug window hears of each new line. */
    Kvo_SetDbgWindow(vm, window);
    CHECK(run(vm, "show", 1, argv) == 1 && messageLine == 3);
    CHECK(Kvo_ReleaseVM(vm) && Kvo_ReleasePrinter(printer) && DestroyWindow(window));
}

static void modules(void)
{
    KvoVM* writer = Kvo_CreateVM(NULL);
    KvoVM* reader = Kvo_CreateVM(NULL);
    KvoVM* wideReader = Kvo_CreateVM(NULL);
    const char* argv[] = {"1"};
    char path[300];

    snprintf(path, sizeof path, "%s/saved.kvm", tempDir);
    CHECK(Kvo_CompileTextA(writer, "#defvar base 40\ntwice(x) { return x * 2; }\n"
                                   "answer(a) { return base + twice(int(a)); }", 0, 0, NULL, NULL) == 1);
    CHECK(Kvo_WriteModuleA(writer, path) == 1 && Kvo_WriteModuleW(writer, wide("/nonexistent/x.kvm")) == 0);
    CHECK(Kvo_ReadModuleA(reader, path) == 1 && run(reader, "answer", 1, argv) == 1 && Kvo_GetIntResult(reader) == 42);
    CHECK(Kvo_ReadModuleW(wideReader, wide(path)) == 1 && run(wideReader, "answer", 1, argv) == 1);
    CHECK(Kvo_ReadModuleA(reader, "/nonexistent/x.kvm") == 0 && Kvo_ReadModuleA(reader, NULL) == 0);
    CHECK(Kvo_ReleaseVM(writer) && Kvo_ReleaseVM(reader) && Kvo_ReleaseVM(wideReader));
}

static void environment(void)
{
    const KvoWChar* value;
    const char* valueA;
    KvoVM* vm = Kvo_CreateVM(NULL);

    Kvo_SetEnvA("KIVO_FLAT_ONE", "caf\xc3\xa9");
    Kvo_SetEnvW(wide("KIVO_FLAT_TWO"), wide("two"));
    CHECK(strcmp(Kvo_GetEnvA("kivo_flat_one"), "caf\xc3\xa9") == 0);
    value = Kvo_GetEnvW(wide("KIVO_FLAT_ONE"));
    CHECK(value[3] == 0xE9 && value[4] == 0);
    value = Kvo_GetEnvW(wide("KIVO_FLAT_TWO"));
    CHECK(value[0] == 't' && value[3] == 0);
    /* The 8-bit result survives the library's other conversions (here: a file's source name
     * handed to the line procedure). */
    valueA = Kvo_GetEnvA("KIVO_FLAT_TWO");
    Kvo_SetGenerateLineInfo(vm, 1);
    Kvo_SetLineChangedProc(vm, lineChanged);
    CHECK(Kvo_CompileFileA(vm, writeSource("a-long-enough-file-name.kvo", "f() {\n return 1;\n}"), 0, 0, NULL,
                           NULL) && run(vm, "f", 0, NULL));
    CHECK(strcmp(valueA, "two") == 0 && Kvo_ReleaseVM(vm));

    /* A null value deletes; a name holding '=' stores nothing. */
    Kvo_SetEnvA("KIVO_FLAT_ONE", NULL), Kvo_SetEnvW(wide("KIVO_FLAT_TWO"), NULL);
    CHECK(strcmp(Kvo_GetEnvA("KIVO_FLAT_ONE"), "") == 0 && Kvo_GetEnvW(wide("KIVO_FLAT_TWO"))[0] == 0);
    Kvo_SetEnvA("KIVO_FLAT=X", "y"), Kvo_SetEnvA(NULL, "x"), Kvo_SetEnvW(NULL, NULL);
    CHECK(strcmp(Kvo_GetEnvA("KIVO_FLAT"), "") == 0 && strcmp(Kvo_GetEnvA(NULL), "") == 0);
}

/* Callbacks that use the flat interface on handles in use. */
static KvoVM* busyVM;
static KvoPrinter* busyPrinter;
static KvoInput* busyInput;
static int busyResults[4] = {-1, -1, -1, -1};
static void printAndMeddle(const char* text)
{
    collect(text);
    if (busyVM) {
        Kvo_Reinit(busyVM);
        busyResults[0] = Kvo_ReleasePrinter(busyPrinter);
        busyResults[1] = Kvo_SetUntrusted(busyVM, 1);
    }
}
static const char* lineAndLeave(void)
{
    /* Taken out of the machine, the input is still inside its own callback. */
    Kvo_SetCurrentInput(busyVM, NULL);
    busyResults[2] = Kvo_ReleaseInput(busyInput);
    return "line";
}

static void handles(void)
{
    KvoPrinter* printer = Kvo_CreateCallbackPrinter(printAndMeddle);
    KvoPrinter* errorPrinter = Kvo_CreateCallbackPrinter(collectErrors);
    KvoVM* vm = Kvo_CreateVM(printer);
    KvoVM* other = Kvo_CreateVM(NULL);
    KvoVM* released = Kvo_CreateVM(NULL);
    KvoInput* input = Kvo_CreateCallbackInput(nextChar, lineAndLeave);
    KvoInput* standard = Kvo_GetCurrentInput(vm);
    const char* argv[] = {"1"};

    CHECK(Kvo_ReleaseVM(released) == 1);
    /* A released machine and handles of the wrong kind get the failure value and no call. */
    CHECK(Kvo_CompileTextA(released, "f() { return 1; }", 0, 0, NULL, NULL) == 0);
    CHECK(Kvo_ExecuteA(released, "f", 0, NULL, 0, NULL, NULL) == 0 && Kvo_GetIntResult(released) == INT32_MIN);
    CHECK(Kvo_GetCurrentLine(released) == -1 && Kvo_GetCurrentSourceA(released) == NULL);
    CHECK(Kvo_GetCurrentSourceW(released) == NULL && Kvo_GetCurrentInput(released) == NULL);
    CHECK(Kvo_SetDbgWaitProc(released, noBreak) == NULL && Kvo_SetLineChangedProc(released, lineChanged) == NULL);
    CHECK(Kvo_SetCurrentInput(released, input) == NULL && Kvo_SetUntrusted(released, 1) == 0);
    CHECK(Kvo_WriteModuleA(released, "x.kvm") == 0 && Kvo_ReadModuleW(released, wide("x.kvm")) == 0);
    Kvo_Reinit(released), Kvo_Cancel(released), Kvo_SetGenerateLineInfo(released, 1), Kvo_SetDbgWindow(released, NULL);
    CHECK(Kvo_GetGenerateLineInfo(released) == 0 && Kvo_ReleaseVM(released) == 0);
    CHECK(Kvo_CompileTextA((KvoVM*)(void*)printer, "f() { return 1; }", 0, 0, NULL, NULL) == 0);
    CHECK(Kvo_GetIntResult((KvoVM*)(void*)input) == INT32_MIN && Kvo_ReleaseVM((KvoVM*)(void*)printer) == 0);
    CHECK(Kvo_CreateVM((KvoPrinter*)(void*)input) == NULL && Kvo_CreateVM((KvoPrinter*)(void*)other) == NULL);
    CHECK(Kvo_CompileTextA(vm, "g() { return 2; }", 0, 0, (KvoPrinter*)(void*)other, NULL) == 0);
    CHECK(Kvo_CompileTextA(vm, "g() { return 2; }", 0, 0, NULL, (KvoPrinter*)(void*)input) == 0);
    CHECK(Kvo_ExecuteA(vm, "g", 0, NULL, 0, NULL, NULL) == 0);
    CHECK(Kvo_CompileTextA(vm, "g(a) { print(a); return 2; }", 0, 0, NULL, NULL) == 1);
    CHECK(Kvo_ExecuteA(vm, "g", 1, argv, 0, (KvoPrinter*)(void*)vm, NULL) == 0 && printed[0] == 0);
    CHECK(Kvo_ExecuteA(vm, "g", 1, argv, 0, NULL, (KvoPrinter*)(void*)input) == 0 && printed[0] == 0);
    CHECK(Kvo_ReleasePrinter((KvoPrinter*)(void*)input) == 0 && Kvo_ReleaseInput((KvoInput*)(void*)other) == 0);

    /* Inputs: a printer or another machine's standard input is refused, the machine's own standard
     * input is taken back. */
    CHECK(Kvo_SetCurrentInput(vm, (KvoInput*)(void*)printer) == NULL && Kvo_GetCurrentInput(vm) == standard);
    CHECK(Kvo_SetCurrentInput(vm, Kvo_GetCurrentInput(other)) == NULL && Kvo_GetCurrentInput(vm) == standard);
    CHECK(Kvo_SetCurrentInput(vm, input) == standard && Kvo_SetCurrentInput(vm, standard) == input);

    /* A printer or input in use by a live machine cannot be released. */
    CHECK(Kvo_SetCurrentInput(vm, input) == standard);
    CHECK(Kvo_ReleasePrinter(printer) == 0 && Kvo_ReleaseInput(input) == 0);
    CHECK(Kvo_SetCurrentInput(vm, NULL) == input && Kvo_SetCurrentInput(other, input) != NULL);
    CHECK(Kvo_ReleaseInput(input) == 0 && Kvo_ReleaseVM(other) == 1);

    /* Inside a run: the machine is neither reset nor switched, the error printer handed to the
     * run is not released, and an input taken out inside its own callback stays. */
    CHECK(Kvo_CompileTextA(vm, "talk() { print(\"x\"); return gets(); }", 0, 0, NULL, NULL) == 1);
    CHECK(Kvo_SetCurrentInput(vm, input) == standard);
    busyVM = vm, busyPrinter = errorPrinter, busyInput = input;
    printed[0] = 0;
    CHECK(Kvo_ExecuteA(vm, "talk", 0, NULL, 0, errorPrinter, NULL) == 1 && strcmp(printed, "x") == 0);
    CHECK(busyResults[0] == 0 && busyResults[1] == 0 && busyResults[2] == 0);
    CHECK(Kvo_GetUntrusted(vm) == 0 && Kvo_GetCurrentInput(vm) == standard);
    /* ... and a compilation is not reset under the compiler by its own diagnostics. */
    busyPrinter = NULL, printed[0] = 0;
    CHECK(Kvo_CompileTextA(vm, "kept() { return 7; }\nbroken( {\n", 0, 0, NULL, NULL) == 0 && strstr(printed, "-->"));
    busyVM = NULL;
    CHECK(run(vm, "kept", 0, NULL) == 1 && Kvo_GetIntResult(vm) == 7);
    CHECK(Kvo_ReleaseInput(input) == 1 && Kvo_ReleaseInput(input) == 0);

    CHECK(Kvo_ReleaseVM(vm) == 1);
    CHECK(Kvo_ReleasePrinter(printer) == 1 && Kvo_ReleasePrinter(errorPrinter) == 1);
}

/* A host that runs a script function from inside the printer of that very script: each level
 * prints, which runs the function again. */
static KvoVM* recursingVM;
static KvoPrinter* recursionErrors;
static int recursionDepth, deepest;
static void printAgain(const char* text)
{
    (void)text;
    if (++recursionDepth > deepest)
        deepest = recursionDepth;
    Kvo_ExecuteA(recursingVM, "again", 0, NULL, 0, recursionErrors, NULL);
    --recursionDepth;
}

static void nesting(void)
{
    KvoPrinter* printer = Kvo_CreateCallbackPrinter(printAgain);
    KvoPrinter* errorPrinter = Kvo_CreateCallbackPrinter(collectErrors);
    recursingVM = Kvo_CreateVM(printer);
    CHECK(Kvo_CompileTextA(recursingVM, "again() { print(\"x\"); return 1; }", 0, 0, errorPrinter, NULL) == 1);

    /* Each level is one nested entry and the run inside it: the runs end at the limit of 200
     * with one "stack overflow", and every level above returns normally. */
    recursionErrors = errorPrinter, errors[0] = 0;
    CHECK(Kvo_ExecuteA(recursingVM, "again", 0, NULL, 0, NULL, NULL) == 1);
    CHECK(deepest == 100 && recursionDepth == 0 && strcmp(errors, "stack overflow\n") == 0);

    /* With the error going to the same printer, the refusal's own print would run again without
     * end; it is refused silently inside the report. */
    recursionErrors = NULL, deepest = 0;
    CHECK(Kvo_ExecuteA(recursingVM, "again", 0, NULL, 0, NULL, NULL) == 1);
    CHECK(deepest == 101 && recursionDepth == 0);
    CHECK(Kvo_ReleaseVM(recursingVM) && Kvo_ReleasePrinter(printer) && Kvo_ReleasePrinter(errorPrinter));
}

static void untrusted(void)
{
    KvoPrinter* printer = Kvo_CreateCallbackPrinter(collect);
    KvoVM* vm = Kvo_CreateVM(printer);
    const char* path = writeSource("secret.kvo", "secret() { return 1; }\n");
    char source[512];

    CHECK(Kvo_GetUntrusted(vm) == 0 && Kvo_SetUntrusted(vm, 1) == 1 && Kvo_GetUntrusted(vm) == 1);
    CHECK(Kvo_SetUntrusted(NULL, 1) == 0 && Kvo_GetUntrusted(NULL) == 0);
    snprintf(source, sizeof source,
             "tryOpen() { try { fopen(\"%s\", \"r\"); } catch (e) { print(e); } return 0; }\n"
             "tryLib() { return CallLibFunc(GetCoreFunc(\"abort\")); }\n"
             "talk() { print(\"still talking\"); return 3; }\n", path);
    CHECK(Kvo_CompileTextA(vm, source, 0, 0, NULL, NULL) == 1);
    CHECK(run(vm, "tryOpen", 0, NULL) == 1 && strcmp(printed, "function not available in untrusted mode") == 0);
    CHECK(run(vm, "tryLib", 0, NULL) == 0 && strstr(printed, "function not available in untrusted mode"));
    CHECK(run(vm, "talk", 0, NULL) == 1 && strcmp(printed, "still talking") == 0);
    snprintf(source, sizeof source, "#include \"%s\"\n", path);
    printed[0] = 0;
    CHECK(Kvo_CompileTextA(vm, source, 0, 0, NULL, NULL) == 0 && strstr(printed, "directive not available"));
    CHECK(run(vm, "secret", 0, NULL) == 0);
    /* The mode survives a reset and can be left between calls. */
    Kvo_Reinit(vm);
    CHECK(Kvo_GetUntrusted(vm) == 1 && Kvo_SetUntrusted(vm, 0) == 1);
    CHECK(Kvo_CompileTextA(vm, source, 0, 0, NULL, NULL) == 1 && run(vm, "secret", 0, NULL) == 1);
    CHECK(Kvo_ReleaseVM(vm) && Kvo_ReleasePrinter(printer));
}

static int removeEntry(const char* path, const struct stat* status, int kind, struct FTW* position)
{
    (void)status, (void)kind, (void)position;
    return remove(path);
}

int main(int argc, char** argv)
{
    const char* section = argc > 1 ? argv[1] : "";
    /* The per-user environment store and the test files go to a directory of this run. */
    snprintf(tempDir, sizeof tempDir, "%s/kvoflatXXXXXX", getenv("TMPDIR") ? getenv("TMPDIR") : "/tmp");
    if (!mkdtemp(tempDir) || setenv("XDG_CONFIG_HOME", tempDir, 1) != 0)
        return 2;
    if (strcmp(section, "core") == 0)
        nullHandles(), compileAndExecute();
    else if (strcmp(section, "input") == 0)
        inputs();
    else if (strcmp(section, "window") == 0)
        windows();
    else if (strcmp(section, "module") == 0)
        modules();
    else if (strcmp(section, "env") == 0)
        environment();
    else if (strcmp(section, "handles") == 0)
        handles();
    else if (strcmp(section, "nesting") == 0)
        nesting();
    else if (strcmp(section, "untrusted") == 0)
        untrusted();
    nftw(tempDir, removeEntry, 16, FTW_DEPTH | FTW_PHYS);
    printf("%s: %d passed, %d failed\n", section, checks - failures, failures);
    return failures == 0 && checks > 0 ? 0 : 1;
}
