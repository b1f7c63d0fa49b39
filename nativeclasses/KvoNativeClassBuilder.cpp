// Class registration (see KvoNativeClassBuilder.h).
#include "nativeclasses/KvoNativeClassBuilder.h"

#include "values/KvoString.h"

KvoClass* kvoRegisterClass(KvoVirtualMachine* vm, const KvoChar* name, KvoClass* base,
                           std::initializer_list<KvoMemberRegistration> members,
                           const KvoMethodRegistration* methods, std::size_t methodCount)
{
    // Held while it is built: the machine's class dictionary takes its own reference.
    KvoValue held(new KvoClass(*vm));
    KvoClass* c = held.getClass();
    if (!vm->registerNativeClass(name, c))
        return nullptr;
    c->setBaseClass(base);
    for (const KvoMemberRegistration& member : members)
        c->addDataMember(member.name);
    for (std::size_t i = 0; i < methodCount; ++i)
        c->addMethod(methods[i].name, methods[i].function);
    c->fixupDataDefs();
    for (const KvoMemberRegistration& member : members)
        *member.index = c->getMemberIndex(KvoString(member.name));
    return c;
}
