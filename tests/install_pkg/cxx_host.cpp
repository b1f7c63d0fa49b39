// A C++ host of the class interface, built by tests/install_pkg against an installed Kivo
// (find_package) and inside a parent project (add_subdirectory). It runs a script that imports
// the kv2class plug-in, so the runtime has to find the plug-in where it was put, and prints the
// script's output and result.
#include <cstdio>

#include "KvoVersion.h"
#include "host/KvoStringPrinter.h"
#include "host/KvoVirtualMachine.h"

int main()
{
    static constexpr KvoChar script[] =
        u"#import \"kv2class\"\n"
        u"main(who; v) {\n"
        u"    v = new Vector();\n"
        u"    v->push_back(3)->push_back(4);\n"
        u"    print(\"hello \", who, \", \", v->size(), \" items\");\n"
        u"    return v[0] * v[1];\n"
        u"}\n";
    KvoStringPrinter output;
    KvoVirtualMachine vm(&output);
    const KvoChar* arguments[] = {u"host"};
    const bool ok = vm.compileText(script) && vm.execute(u"main", 1, arguments);
    std::printf("c++ host %s: %s| result %ld\n", KIVO_VERSION_STRING, output.a_str(),
                ok ? static_cast<long>(vm.getResult().getLong()) : -1L);
    return ok ? 0 : 1;
}
