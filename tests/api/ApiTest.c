/* The embedding functions of kvo.h from a C host that includes nothing of libkvolib but kvo.h.
 * `api_test SECTION` runs one section (register, errors, reentry, globals, call, userdata,
 * badinput); each is its own CTest. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "kvo.h"

static int checks, failures;
#define CHECK(c) (++checks, (c) ? (void)0 : (void)(++failures, fprintf(stderr, "%d: failed: %s\n", __LINE__, #c)))
/* The last error of vm holds part. */
#define ERROR_HAS(vm, part) CHECK(strstr(Kvo_GetLastError(vm), part) != NULL)

static char printed[4096];
static void collect(const char* text) { strncat(printed, text, sizeof printed - strlen(printed) - 1); }

static KvoPrinter* printer;
static KvoVM* newMachine(const char* source)
{
    KvoVM* vm = Kvo_CreateVM(printer);
    if (source && !Kvo_CompileTextA(vm, source, 0, 0, NULL, NULL))
        fprintf(stderr, "compile failed: %s\n", Kvo_GetLastError(vm));
    return vm;
}
static int run(KvoVM* vm, const char* name)
{
    printed[0] = 0;
    return Kvo_ExecuteA(vm, name, 0, NULL, 0, NULL, NULL);
}

/* ---- Host functions ---- */

/* Describes its arguments as "kind:value" words: i:, d:, s:, nil, other. */
static void describe(KvoCallContext* call, void* userdata)
{
    char text[512] = "";
    int i, n = Kvo_ArgCount(call);
    (void)userdata;
    for (i = 0; i < n; ++i) {
        char word[128];
        int32_t iv;
        double dv;
        const char* sv;
        switch (Kvo_ArgType(call, i)) {
        case KVO_TYPE_INT:
            Kvo_ArgInt(call, i, &iv), snprintf(word, sizeof word, "i:%d ", (int)iv);
            break;
        case KVO_TYPE_DOUBLE:
            Kvo_ArgDouble(call, i, &dv), snprintf(word, sizeof word, "d:%g ", dv);
            break;
        case KVO_TYPE_STRING:
            Kvo_ArgString(call, i, &sv), snprintf(word, sizeof word, "s:%s ", sv);
            break;
        case KVO_TYPE_NIL:
            snprintf(word, sizeof word, "nil ");
            break;
        default:
            snprintf(word, sizeof word, "other ");
        }
        strncat(text, word, sizeof text - strlen(text) - 1);
    }
    Kvo_ReturnString(call, text);
}

/* Adds a counter kept by the host (userdata) to its integer argument. */
static void addCounter(KvoCallContext* call, void* userdata)
{
    int32_t value;
    if (Kvo_ArgInt(call, 0, &value))
        Kvo_ReturnInt(call, value + *(int32_t*)userdata);
    else
        Kvo_RaiseError(call, Kvo_GetLastError(Kvo_CallMachine(call)));
}

/* Returns the kind named by its first argument: "int", "double", "string", "nil", or nothing. */
static void makeValue(KvoCallContext* call, void* userdata)
{
    const char* kind = "";
    (void)userdata;
    Kvo_ArgString(call, 0, &kind);
    if (strcmp(kind, "int") == 0)
        Kvo_ReturnInt(call, -7);
    else if (strcmp(kind, "double") == 0)
        Kvo_ReturnDouble(call, 2.5);
    else if (strcmp(kind, "string") == 0)
        Kvo_ReturnString(call, "caf\xc3\xa9");
    else if (strcmp(kind, "nil") == 0)
        Kvo_ReturnInt(call, 1), Kvo_ReturnNil(call); /* a later result replaces an earlier one */
}

static void raiser(KvoCallContext* call, void* userdata)
{
    (void)userdata;
    Kvo_ReturnInt(call, 5); /* an error wins over a result */
    Kvo_RaiseError(call, "disk on fire");
}
static void raiseEmpty(KvoCallContext* call, void* userdata)
{
    (void)userdata;
    Kvo_RaiseError(call, NULL);
}

static void registration(void)
{
    int32_t counter = 100;
    const char* text;
    KvoVM* vm = Kvo_CreateVM(printer);
    CHECK(Kvo_RegisterFunction(vm, "describe", describe, NULL) == 1);
    CHECK(Kvo_RegisterFunction(vm, "addCounter", addCounter, &counter) == 1);
    CHECK(Kvo_RegisterFunction(vm, "makeValue", makeValue, NULL) == 1);
    CHECK(Kvo_CompileTextA(vm,
                           "kinds() { return describe(1, -2.5, \"\xc3\xa9t\xc3\xa9\", null, [1], 3.0); }\n"
                           "none() { return describe(); }\n"
                           "counted() { return addCounter(5) + addCounter(-1); }\n"
                           "wrong() { return addCounter(\"x\"); }\n"
                           "make(k) { return makeValue(k); }\n"
                           "viaValue(; f) { f = describe; return f(7); }\n",
                           0, 0, NULL, NULL) == 1);
    /* Every kind of argument arrives with its value; other values are reported as such. */
    CHECK(run(vm, "kinds") == 1 && Kvo_GetStringResult(vm, &text) == 1);
    CHECK(strcmp(text, "i:1 d:-2.5 s:\xc3\xa9t\xc3\xa9 nil other d:3 ") == 0);
    CHECK(run(vm, "none") == 1 && Kvo_GetStringResult(vm, &text) == 1 && text[0] == 0);
    CHECK(run(vm, "viaValue") == 1 && Kvo_GetStringResult(vm, &text) == 1 && strcmp(text, "i:7 ") == 0);
    /* The userdata given at registration reaches the function; the host's changes are seen. */
    CHECK(run(vm, "counted") == 1 && Kvo_GetIntResult(vm) == 204);
    counter = 0;
    CHECK(run(vm, "counted") == 1 && Kvo_GetIntResult(vm) == 4);
    /* A wrong kind of argument is refused with a clear text, which the function passes on. */
    CHECK(run(vm, "wrong") == 0 && strstr(printed, "argument 0 of addCounter is a string, not an integer"));

    /* Results of every basic kind; nil when the function sets none. */
    CHECK(Kvo_ExecuteA(vm, "make", 1, (const char* const[]){"int"}, 0, NULL, NULL) == 1);
    CHECK(Kvo_GetResultType(vm) == KVO_TYPE_INT && Kvo_GetIntResult(vm) == -7);
    CHECK(Kvo_ExecuteA(vm, "make", 1, (const char* const[]){"double"}, 0, NULL, NULL) == 1);
    {
        double d = 0;
        CHECK(Kvo_GetResultType(vm) == KVO_TYPE_DOUBLE && Kvo_GetDoubleResult(vm, &d) == 1 && d == 2.5);
    }
    CHECK(Kvo_ExecuteA(vm, "make", 1, (const char* const[]){"string"}, 0, NULL, NULL) == 1);
    CHECK(Kvo_GetStringResult(vm, &text) == 1 && strcmp(text, "caf\xc3\xa9") == 0);
    CHECK(Kvo_ExecuteA(vm, "make", 1, (const char* const[]){"nil"}, 0, NULL, NULL) == 1);
    CHECK(Kvo_GetResultType(vm) == KVO_TYPE_NIL);
    CHECK(Kvo_ExecuteA(vm, "make", 1, (const char* const[]){"none"}, 0, NULL, NULL) == 1);
    CHECK(Kvo_GetResultType(vm) == KVO_TYPE_NIL);

    /* A name is defined once: library functions, script functions and host functions alike. */
    CHECK(Kvo_RegisterFunction(vm, "describe", makeValue, NULL) == 0);
    ERROR_HAS(vm, "'describe' is already defined");
    CHECK(Kvo_RegisterFunction(vm, "print", makeValue, NULL) == 0 && Kvo_RegisterFunction(vm, "kinds", makeValue, NULL) == 0);
    CHECK(run(vm, "none") == 1 && Kvo_GetStringResult(vm, &text) == 1 && text[0] == 0);

    /* Reinit removes host functions like every global; registering again works, and the new
     * callback is the one called. */
    Kvo_Reinit(vm);
    CHECK(Kvo_CompileTextA(vm, "again() { return makeValue(\"int\"); }", 0, 0, NULL, NULL) == 1);
    CHECK(run(vm, "again") == 0);
    CHECK(Kvo_RegisterFunction(vm, "makeValue", describe, NULL) == 1);
    CHECK(run(vm, "again") == 1 && Kvo_GetStringResult(vm, &text) == 1 && strcmp(text, "s:int ") == 0);

    /* A module file keeps the code that calls a host function but not the function: a machine
     * that registers it before reading the module runs that code. */
    {
        static const char* const path = "api_test_host_functions.kvm";
        KvoVM* reader = Kvo_CreateVM(printer);
        CHECK(Kvo_WriteModuleA(vm, path) == 1);
        CHECK(Kvo_RegisterFunction(reader, "makeValue", makeValue, NULL) == 1 && Kvo_ReadModuleA(reader, path) == 1);
        CHECK(Kvo_CallFunction(reader, "again", NULL, 0) == 1 && Kvo_GetIntResult(reader) == -7);
        CHECK(Kvo_ReleaseVM(reader) == 1);
        remove(path);
    }
    CHECK(Kvo_ReleaseVM(vm) == 1);
}

/* ---- Errors raised by host functions ---- */

static void errors(void)
{
    const char* text;
    KvoVM* vm = Kvo_CreateVM(printer);
    CHECK(Kvo_RegisterFunction(vm, "raiser", raiser, NULL) == 1 && Kvo_RegisterFunction(vm, "raiseEmpty", raiseEmpty, NULL) == 1);
    CHECK(Kvo_CompileTextA(vm,
                           "caught(; r) { r = \"none\"; try { r = raiser(); } catch (e) { r = \"caught: \" + e; } return r; }\n"
                           "uncaught() { raiser(); return 1; }\n"
                           "unnamed() { try { raiseEmpty(); } catch (e) { return e; } }\n"
                           "afterwards(; r) { try { raiser(); } catch (e) { } r = 40; return r + 2; }\n",
                           0, 0, NULL, NULL) == 1);
    /* Caught by try/catch with the message text, like any library error; the result is dropped. */
    CHECK(run(vm, "caught") == 1 && Kvo_GetStringResult(vm, &text) == 1 && strcmp(text, "caught: disk on fire") == 0);
    CHECK(run(vm, "unnamed") == 1 && Kvo_GetStringResult(vm, &text) == 1 && strcmp(text, "error in host function raiseEmpty") == 0);
    /* The script goes on normally after catching. */
    CHECK(run(vm, "afterwards") == 1 && Kvo_GetIntResult(vm) == 42);
    /* Uncaught: the run fails, the text is printed and kept as the last error. */
    CHECK(run(vm, "uncaught") == 0 && strstr(printed, "disk on fire"));
    ERROR_HAS(vm, "disk on fire");
    /* The same through Kvo_CallFunction, which prints nothing. */
    printed[0] = 0;
    CHECK(Kvo_CallFunction(vm, "uncaught", NULL, 0) == 0 && printed[0] == 0);
    ERROR_HAS(vm, "disk on fire");
    /* Compilation errors are last errors too. */
    CHECK(Kvo_CompileTextA(vm, "broken( {", 0, 0, NULL, NULL) == 0);
    ERROR_HAS(vm, "-->");
    CHECK(Kvo_ReleaseVM(vm) == 1);
}

/* ---- Host functions calling back into the machine ---- */

static int depthSeen;
/* callBack(name, n): calls the script function name with n and returns its result + 1000. */
static void callBack(KvoCallContext* call, void* userdata)
{
    KvoVM* vm = Kvo_CallMachine(call);
    const char* name;
    KvoArgument argument;
    (void)userdata;
    argument.type = KVO_TYPE_INT;
    if (!Kvo_ArgString(call, 0, &name) || !Kvo_ArgInt(call, 1, &argument.value.i)) {
        Kvo_RaiseError(call, Kvo_GetLastError(vm));
        return;
    }
    ++depthSeen;
    if (!Kvo_CallFunction(vm, name, &argument, 1)) {
        Kvo_RaiseError(call, Kvo_GetLastError(vm));
        return;
    }
    /* The arguments of this call are still readable after the nested run. */
    if (Kvo_ArgString(call, 0, &name) && strcmp(name, "down") == 0)
        Kvo_ReturnInt(call, Kvo_GetIntResult(vm) + 1000);
    else
        Kvo_ReturnInt(call, Kvo_GetIntResult(vm));
}

/* Tries to pull its own machine away; returns what the release answered. */
static void releaseOwnMachine(KvoCallContext* call, void* userdata)
{
    KvoVM* vm = Kvo_CallMachine(call);
    (void)userdata;
    Kvo_Reinit(vm);
    Kvo_ReturnInt(call, Kvo_ReleaseVM(vm));
}

static KvoCallContext* keptContext;
static void keepContext(KvoCallContext* call, void* userdata)
{
    (void)userdata;
    keptContext = call;
}

static void reentry(void)
{
    int32_t value;
    KvoVM* vm = Kvo_CreateVM(printer);
    CHECK(Kvo_RegisterFunction(vm, "callBack", callBack, NULL) == 1);
    CHECK(Kvo_RegisterFunction(vm, "keepContext", keepContext, NULL) == 1);
    CHECK(Kvo_RegisterFunction(vm, "releaseOwnMachine", releaseOwnMachine, NULL) == 1);
    CHECK(Kvo_CompileTextA(vm,
                           "down(n) { if (n <= 0) return 0; return callBack(\"down\", n - 1) + 1; }\n"
                           "start(; r) { r = callBack(\"down\", 3); setTo(r); return r; }\n"
                           "setTo(v) { g_seen = v; }\n"
                           "fails(n) { throw \"inner \" + string(n); }\n"
                           "catchInner(; r) { try { r = callBack(\"fails\", 9); } catch (e) { r = e; } return r; }\n"
                           "forever(n) { return callBack(\"forever\", n + 1); }\n"
                           "overflow(; r) { try { r = forever(0); } catch (e) { r = e; } return r; }\n"
                           "keep() { keepContext(); return 1; }\n"
                           "release() { return releaseOwnMachine() + 10; }\n",
                           0, 0, NULL, NULL) == 1);
    /* Each level adds 1000 + 1 on the way back: 3 nested runs inside the outer one. */
    depthSeen = 0;
    CHECK(run(vm, "start") == 1 && Kvo_GetIntResult(vm) == 4003 && depthSeen == 4);
    CHECK(Kvo_GetGlobalInt(vm, "g_seen", &value) == 1 && value == 4003);
    /* An error of the nested run comes back to the host function, which raises it in the outer
     * script, where it is caught. */
    {
        const char* text;
        CHECK(run(vm, "catchInner") == 1 && Kvo_GetStringResult(vm, &text) == 1 && strstr(text, "inner 9"));
    }
    /* Unbounded re-entry stops at the limit of nested runs with a catchable error, not a crash. */
    {
        const char* text;
        CHECK(run(vm, "overflow") == 1 && Kvo_GetStringResult(vm, &text) == 1 && strstr(text, "stack overflow"));
    }
    /* A host function can neither release nor reset the machine that runs it (by a direct call
     * or through Kvo_CallFunction); its program is intact afterwards. */
    CHECK(run(vm, "release") == 1 && Kvo_GetIntResult(vm) == 10);
    CHECK(Kvo_CallFunction(vm, "release", NULL, 0) == 1 && Kvo_GetIntResult(vm) == 10);
    CHECK(run(vm, "start") == 1 && Kvo_GetIntResult(vm) == 4003);
    /* A context kept past its call is refused. */
    CHECK(run(vm, "keep") == 1 && keptContext != NULL);
    CHECK(Kvo_ArgCount(keptContext) == -1 && Kvo_ReturnInt(keptContext, 1) == 0);
    CHECK(strstr(Kvo_GetLastError(NULL), "after its host function returned") != NULL);
    CHECK(Kvo_ReleaseVM(vm) == 1);
}

/* ---- Globals ---- */

static void globals(void)
{
    int32_t i = 0;
    double d = 0;
    const char* s = NULL;
    KvoVM* vm = Kvo_CreateVM(printer);
    CHECK(Kvo_SetGlobalInt(vm, "g_int", 41) == 1 && Kvo_SetGlobalDouble(vm, "g_double", 0.25) == 1);
    CHECK(Kvo_SetGlobalString(vm, "g_text", "h\xc3\xa9llo") == 1 && Kvo_SetGlobalNil(vm, "g_nil") == 1);
    CHECK(Kvo_CompileTextA(vm,
                           "show() { print(g_int + 1, \" \", g_double * 2.0, \" \", g_text, \" \", g_nil == null); }\n"
                           "change() { g_int = \"now text\"; g_text = 7; g_made = 1.5; }\n",
                           0, 0, NULL, NULL) == 1);
    /* Scripts see what the host set ... */
    CHECK(run(vm, "show") == 1 && strcmp(printed, "42 0.500000 h\xc3\xa9llo 1") == 0);
    /* ... and the host reads what scripts set, each kind through its own reader. */
    CHECK(run(vm, "change") == 1);
    CHECK(Kvo_GetGlobalType(vm, "g_int") == KVO_TYPE_STRING && Kvo_GetGlobalString(vm, "g_int", &s) == 1 && strcmp(s, "now text") == 0);
    CHECK(Kvo_GetGlobalType(vm, "g_text") == KVO_TYPE_INT && Kvo_GetGlobalInt(vm, "g_text", &i) == 1 && i == 7);
    CHECK(Kvo_GetGlobalType(vm, "g_made") == KVO_TYPE_DOUBLE && Kvo_GetGlobalDouble(vm, "g_made", &d) == 1 && d == 1.5);
    CHECK(Kvo_GetGlobalType(vm, "g_nil") == KVO_TYPE_NIL && Kvo_GetGlobalType(vm, "g_double") == KVO_TYPE_DOUBLE);
    /* An integer reads as a double too; nothing else converts. */
    CHECK(Kvo_GetGlobalDouble(vm, "g_text", &d) == 1 && d == 7.0);
    i = 99;
    CHECK(Kvo_GetGlobalInt(vm, "g_made", &i) == 0 && i == 99);
    ERROR_HAS(vm, "global variable 'g_made' is a double, not an integer");
    CHECK(Kvo_GetGlobalString(vm, "g_text", &s) == 0);
    ERROR_HAS(vm, "global variable 'g_text' is an integer, not a string");
    CHECK(Kvo_GetGlobalInt(vm, "g_nil", &i) == 0 && i == 99);
    ERROR_HAS(vm, "is nil, not an integer");
    CHECK(Kvo_GetGlobalType(vm, "stdout") == KVO_TYPE_OTHER && Kvo_GetGlobalDouble(vm, "stdout", &d) == 0);
    /* Unknown names and functions are no variables; setting a function's name is refused and
     * leaves the function alone. */
    CHECK(Kvo_GetGlobalType(vm, "g_unknown") == -1);
    ERROR_HAS(vm, "no global variable 'g_unknown'");
    CHECK(Kvo_GetGlobalType(vm, "show") == -1 && Kvo_GetGlobalInt(vm, "print", &i) == 0);
    ERROR_HAS(vm, "'print' is a function, not a variable");
    CHECK(Kvo_SetGlobalInt(vm, "show", 1) == 0 && Kvo_SetGlobalString(vm, "print", "x") == 0);
    CHECK(Kvo_GetGlobalType(vm, "show") == -1);
    ERROR_HAS(vm, "'show' is a function, not a variable");
    /* Kvo_GetGlobalString's text stays until its next call. */
    CHECK(Kvo_SetGlobalString(vm, "g_a", "first") == 1 && Kvo_GetGlobalString(vm, "g_a", &s) == 1);
    CHECK(Kvo_SetGlobalString(vm, "g_a", "second") == 1 && strcmp(s, "first") == 0);
    CHECK(Kvo_ReleaseVM(vm) == 1);
}

/* ---- Calls with typed arguments ---- */

static void calls(void)
{
    const char* text;
    double d;
    KvoArgument args[4];
    KvoVM* vm = newMachine("kinds(a, b, c, d) { return gettypename(gettype(a)) + \" \" + gettypename(gettype(b)) + \" \" +\n"
                           "    gettypename(gettype(c)) + \" \" + gettypename(gettype(d)); }\n"
                           "sum(a, b) { return a + b; }\n"
                           "join(a, b) { return a + \"/\" + b; }\n"
                           "count() { return argcnt(); }\n"
                           "half(x) { return x / 2.0; }\n");
    args[0].type = KVO_TYPE_INT, args[0].value.i = 3;
    args[1].type = KVO_TYPE_DOUBLE, args[1].value.d = 1.5;
    args[2].type = KVO_TYPE_STRING, args[2].value.s = "x";
    args[3].type = KVO_TYPE_NIL;
    CHECK(Kvo_CallFunction(vm, "kinds", args, 4) == 1 && Kvo_GetStringResult(vm, &text) == 1);
    CHECK(strcmp(text, "KVT_INTEGER KVT_DOUBLE KVT_STRING KVT_NULL") == 0);
    CHECK(Kvo_CallFunction(vm, "sum", args, 2) == 1 && Kvo_GetDoubleResult(vm, &d) == 1 && d == 4.5);
    args[1].type = KVO_TYPE_INT, args[1].value.i = INT32_MAX - 3;
    CHECK(Kvo_CallFunction(vm, "sum", args, 2) == 1 && Kvo_GetIntResult(vm) == INT32_MAX);
    args[0].type = KVO_TYPE_STRING, args[0].value.s = "\xe2\x82\xac";
    args[1].type = KVO_TYPE_STRING, args[1].value.s = "b";
    CHECK(Kvo_CallFunction(vm, "join", args, 2) == 1 && Kvo_GetStringResult(vm, &text) == 1 && strcmp(text, "\xe2\x82\xac/b") == 0);
    CHECK(Kvo_CallFunction(vm, "count", NULL, 0) == 1 && Kvo_GetIntResult(vm) == 0);
    CHECK(Kvo_CallFunction(vm, "count", args, 0) == 1 && Kvo_GetIntResult(vm) == 0);
    /* Library functions are called the same way. */
    args[0].type = KVO_TYPE_STRING, args[0].value.s = "abc";
    CHECK(Kvo_CallFunction(vm, "strlen", args, 1) == 1 && Kvo_GetIntResult(vm) == 3);
    /* Results of the wrong kind are refused by the typed readers. */
    args[0].type = KVO_TYPE_INT, args[0].value.i = 5;
    CHECK(Kvo_CallFunction(vm, "half", args, 1) == 1 && Kvo_GetResultType(vm) == KVO_TYPE_DOUBLE);
    CHECK(Kvo_GetStringResult(vm, &text) == 0);
    ERROR_HAS(vm, "the result is a double, not a string");
    CHECK(Kvo_GetDoubleResult(vm, &d) == 1 && d == 2.5);
    /* A run-time error: 0, with the error text; the result is nil then. */
    args[0].type = KVO_TYPE_STRING, args[0].value.s = "x";
    CHECK(Kvo_CallFunction(vm, "half", args, 1) == 0);
    ERROR_HAS(vm, "invalid value type");
    CHECK(Kvo_GetResultType(vm) == KVO_TYPE_NIL);
    CHECK(Kvo_ReleaseVM(vm) == 1);
}

/* ---- User data ---- */

static void userDataReader(KvoCallContext* call, void* userdata)
{
    (void)userdata;
    Kvo_ReturnInt(call, *(int32_t*)Kvo_GetUserData(Kvo_CallMachine(call)));
}

static void userData(void)
{
    int32_t first = 11, second = 22;
    KvoVM* a = Kvo_CreateVM(printer);
    KvoVM* b = Kvo_CreateVM(printer);
    CHECK(Kvo_GetUserData(a) == NULL);
    CHECK(Kvo_SetUserData(a, &first) == 1 && Kvo_SetUserData(b, &second) == 1);
    CHECK(Kvo_GetUserData(a) == &first && Kvo_GetUserData(b) == &second);
    /* A host function finds its machine's user data. */
    CHECK(Kvo_RegisterFunction(a, "mine", userDataReader, NULL) == 1 && Kvo_RegisterFunction(b, "mine", userDataReader, NULL) == 1);
    CHECK(Kvo_CompileTextA(a, "f() { return mine(); }", 0, 0, NULL, NULL) == 1);
    CHECK(Kvo_CompileTextA(b, "f() { return mine(); }", 0, 0, NULL, NULL) == 1);
    CHECK(run(a, "f") == 1 && Kvo_GetIntResult(a) == 11 && run(b, "f") == 1 && Kvo_GetIntResult(b) == 22);
    /* It survives a reset; null clears it. */
    Kvo_Reinit(a);
    CHECK(Kvo_GetUserData(a) == &first && Kvo_SetUserData(a, NULL) == 1 && Kvo_GetUserData(a) == NULL);
    CHECK(Kvo_ReleaseVM(a) == 1 && Kvo_ReleaseVM(b) == 1);
    /* A released machine's handle is refused. */
    CHECK(Kvo_GetUserData(a) == NULL && Kvo_SetUserData(a, &first) == 0);
    CHECK(strcmp(Kvo_GetLastError(NULL), "not a live machine handle") == 0);
}

/* ---- Bad input ---- */

static void badInput(void)
{
    int32_t i = 5;
    double d = 5;
    const char* s = "unchanged";
    KvoArgument bad[2];
    KvoVM* vm = newMachine("f(a) { return 1; }\n");
    KvoPrinter* notMachine = Kvo_CreateConsolePrinter();

    /* Null and wrong handles: failure values, and the per-thread error text. */
    CHECK(Kvo_RegisterFunction(NULL, "x", describe, NULL) == 0);
    CHECK(strcmp(Kvo_GetLastError(NULL), "null machine handle") == 0);
    CHECK(Kvo_RegisterFunction((KvoVM*)notMachine, "x", describe, NULL) == 0);
    CHECK(strcmp(Kvo_GetLastError((KvoVM*)notMachine), "not a live machine handle") == 0);
    CHECK(Kvo_SetGlobalInt(NULL, "x", 1) == 0 && Kvo_GetGlobalType(NULL, "x") == -1 && Kvo_GetGlobalInt(NULL, "x", &i) == 0);
    CHECK(Kvo_CallFunction(NULL, "f", NULL, 0) == 0 && Kvo_GetResultType(NULL) == -1);
    CHECK(Kvo_GetDoubleResult(NULL, &d) == 0 && Kvo_GetStringResult(NULL, &s) == 0 && Kvo_SetUserData(NULL, &i) == 0);
    CHECK(Kvo_ArgCount(NULL) == -1 && Kvo_ArgType(NULL, 0) == -1 && Kvo_ArgInt(NULL, 0, &i) == 0);
    CHECK(Kvo_ArgDouble(NULL, 0, &d) == 0 && Kvo_ArgString(NULL, 0, &s) == 0 && Kvo_CallMachine(NULL) == NULL);
    CHECK(Kvo_ReturnNil(NULL) == 0 && Kvo_ReturnInt(NULL, 1) == 0 && Kvo_ReturnDouble(NULL, 1) == 0);
    CHECK(Kvo_ReturnString(NULL, "x") == 0 && Kvo_RaiseError(NULL, "x") == 0);
    CHECK(strcmp(Kvo_GetLastError(NULL), "null call context") == 0);
    CHECK(i == 5 && d == 5 && strcmp(s, "unchanged") == 0);
    CHECK(strcmp(Kvo_GetLastError(vm), "") == 0);

    /* Null names, bad names, null callbacks. */
    CHECK(Kvo_RegisterFunction(vm, NULL, describe, NULL) == 0);
    ERROR_HAS(vm, "null function name");
    CHECK(Kvo_RegisterFunction(vm, "two words", describe, NULL) == 0 && Kvo_RegisterFunction(vm, "", describe, NULL) == 0);
    CHECK(Kvo_RegisterFunction(vm, "9lives", describe, NULL) == 0);
    ERROR_HAS(vm, "'9lives' is not a valid function name");
    CHECK(Kvo_RegisterFunction(vm, "g", NULL, NULL) == 0);
    ERROR_HAS(vm, "null callback for 'g'");
    CHECK(Kvo_SetGlobalInt(vm, NULL, 1) == 0 && Kvo_SetGlobalInt(vm, "a-b", 1) == 0 && Kvo_SetGlobalString(vm, "t", NULL) == 0);
    CHECK(Kvo_GetGlobalType(vm, "t") == -1 && Kvo_GetGlobalType(vm, NULL) == -1);
    CHECK(Kvo_GetGlobalInt(vm, "t", NULL) == 0 && Kvo_GetDoubleResult(vm, NULL) == 0 && Kvo_GetStringResult(vm, NULL) == 0);

    /* Calls: unknown functions, bad argument arrays. Nothing runs and the result stays. */
    CHECK(Kvo_CallFunction(vm, "f", NULL, 0) == 1 && Kvo_GetIntResult(vm) == 1);
    CHECK(Kvo_CallFunction(vm, "nothing", NULL, 0) == 0);
    ERROR_HAS(vm, "unknown function 'nothing'");
    CHECK(Kvo_CallFunction(vm, NULL, NULL, 0) == 0 && Kvo_CallFunction(vm, "f", NULL, 1) == 0);
    CHECK(Kvo_CallFunction(vm, "f", NULL, -1) == 0);
    bad[0].type = 17, bad[0].value.i = 0;
    CHECK(Kvo_CallFunction(vm, "f", bad, 1) == 0);
    ERROR_HAS(vm, "argument 0 has the unknown type 17");
    bad[0].type = KVO_TYPE_OTHER;
    CHECK(Kvo_CallFunction(vm, "f", bad, 1) == 0);
    bad[0].type = KVO_TYPE_INT, bad[1].type = KVO_TYPE_STRING, bad[1].value.s = NULL;
    CHECK(Kvo_CallFunction(vm, "f", bad, 2) == 0);
    ERROR_HAS(vm, "argument 1 is a null string");
    CHECK(Kvo_SetGlobalInt(vm, "g_int", 3) == 1);
    CHECK(Kvo_CallFunction(vm, "g_int", NULL, 0) == 0);
    ERROR_HAS(vm, "unknown function 'g_int'");
    CHECK(Kvo_GetIntResult(vm) == 1);
    /* The older entry points report into the last error too. */
    CHECK(run(vm, "missing") == 0);
    ERROR_HAS(vm, "unknown function 'missing'");
    CHECK(Kvo_CompileFileA(vm, "/nonexistent/dir/x.kvo", 0, 0, NULL, NULL) == 0);
    ERROR_HAS(vm, "/nonexistent/dir/x.kvo");
    CHECK(Kvo_ReleaseVM(vm) == 1 && Kvo_ReleasePrinter(notMachine) == 1);
}

int main(int argc, char** argv)
{
    static const struct {
        const char* name;
        void (*run)(void);
    } sections[] = {{"register", registration}, {"errors", errors}, {"reentry", reentry}, {"globals", globals},
                    {"call", calls},            {"userdata", userData}, {"badinput", badInput}};
    size_t i;
    int found = 0;
    printer = Kvo_CreateCallbackPrinter(collect);
    for (i = 0; i < sizeof sections / sizeof sections[0]; ++i) {
        if (argc < 2 || strcmp(argv[1], sections[i].name) == 0) {
            sections[i].run();
            found = 1;
        }
    }
    CHECK(Kvo_ReleasePrinter(printer) == 1);
    if (!found) {
        fprintf(stderr, "unknown section %s\n", argv[1]);
        return 2;
    }
    printf("%s: %d passed, %d failed\n", argc < 2 ? "all" : argv[1], checks - failures, failures);
    return failures ? 1 : 0;
}
