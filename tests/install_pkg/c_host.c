/* A C host built against an installed Kivo with `pkg-config --cflags --libs kivo`: it runs a
 * script through the flat interface, collects its output with a callback printer and prints
 * it, then the script's result. */
#include <stdio.h>
#include <string.h>

#include <KvoVersion.h>
#include <kvo.h>

static char output[1024];

static void collect(const char* text)
{
    strncat(output, text, sizeof output - strlen(output) - 1);
}

int main(void)
{
    static const char script[] =
        "square(n) { return n * n; }\n"
        "main(; i, total) {\n"
        "    total = 0;\n"
        "    for (i = 1; i <= 4; i++) {\n"
        "        print(i, \" \");\n"
        "        total += square(i);\n"
        "    }\n"
        "    return total;\n"
        "}\n";
    KvoPrinter* printer = Kvo_CreateCallbackPrinter(collect);
    KvoVM* vm = Kvo_CreateVM(printer);
    int ok = vm != NULL && Kvo_CompileTextA(vm, script, 0, 0, NULL, NULL) &&
             Kvo_ExecuteA(vm, "main", 0, NULL, 0, NULL, NULL);
    printf("c host %s: %s| result %d\n", KIVO_VERSION_STRING, output, ok ? (int)Kvo_GetIntResult(vm) : -1);
    Kvo_ReleaseVM(vm);
    Kvo_ReleasePrinter(printer);
    return ok ? 0 : 1;
}
