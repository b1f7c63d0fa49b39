// The machine's side of KvoCompilerHost: each operation forwards to the machine.
#include "compiler/KvoCompilerHost.h"

#include <string>

#include "host/KvoVirtualMachine.h"
#include "values/KvoClass.h"

KvoDictionary& KvoCompilerHost::symbols() const noexcept
{
    return m_vm.symbols();
}

KvoDictionary& KvoCompilerHost::classes() const noexcept
{
    return m_vm.classes();
}

IKvoPrinter& KvoCompilerHost::printer() const noexcept
{
    return m_vm.printer();
}

bool KvoCompilerHost::isUntrusted() const noexcept
{
    return m_vm.isUntrusted();
}

const KvoChar* KvoCompilerHost::untrustedDirectiveMessage() noexcept
{
    return KvoVirtualMachine::UNTRUSTED_DIRECTIVE_MESSAGE;
}

KvoClass* KvoCompilerHost::newClass(const KvoString& name) const
{
    return new KvoClass(m_vm, name, nullptr);
}

void KvoCompilerHost::beginCompile() const
{
    m_vm.beginCompile();
}

void KvoCompilerHost::endCompile() const
{
    m_vm.endCompile();
}

bool KvoCompilerHost::compileCancelled() const noexcept
{
    return m_vm.compileCancelled();
}

bool KvoCompilerHost::loadNativeModule(const KvoChar* name) const
{
    return m_vm.loadNativeModule(name);
}

bool KvoCompilerHost::useModule(const KvoChar* name) const
{
    const KvoChar* found = KvoVirtualMachine::searchEnv(u"KVOLIB", name);
    const std::u16string path(found ? found : name); // the search result lives in a shared buffer
    return m_vm.readModule(path.c_str());
}
