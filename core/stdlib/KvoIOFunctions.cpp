// The file and console functions of the standard library: output through the machine's printer.
#include <iterator>

#include "host/KvoVirtualMachine.h"
#include "stdlib/KvoDefaultFunctions.h"
#include "stdlib/KvoRegistration.h"
#include "values/KvoString.h"

namespace {

const KvoFunctionRegistration IO_FUNCTIONS[] = {
    {u"print", &KvoDefaultFunctions::Kvo_print},
};

// Writes one value as print shows it.
void printValue(IKvoPrinter& printer, const KvoValue& value)
{
    switch (value.getType()) {
    case KVT_INTEGER:
        printer(u"%ld", value.getLong());
        break;
    case KVT_FLOAT:
    case KVT_DOUBLE:
        printer(u"%f", value.getDouble());
        break;
    case KVT_STRING:
    case KVT_STRINGREF:
        if (const KvoString* text = value.getString())
            printer(u"%s", text->c_str());
        break;
    default:
        // Objects are not converted through toString: print shows what the value is.
        printer(u"(%s:%p)", getValueTypeName(value.getType()), value.ptr());
        break;
    }
}

} // namespace

void KvoDefaultFunctions::registerIOFunctions(KvoVirtualMachine* vm)
{
    kvoRegisterTable(vm, IO_FUNCTIONS, std::size(IO_FUNCTIONS));
}

bool KvoDefaultFunctions::Kvo_print(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    if (!vm)
        return false;
    args -= argc;
    IKvoPrinter& printer = vm->printer();
    for (int i = 1; i <= argc; ++i)
        printValue(printer, args[i]);
    args[0] = KvoValue();
    return true;
}
