// Class construction, member lookup and slot numbering.
#include "values/KvoClass.h"

KvoClass::KvoClass(KvoVirtualMachine& vm)
    : m_dataMembers(new KvoDictionary(false)), m_funcMembers(new KvoDictionary(true)), m_vm(vm)
{
    m_dataMembers->addRef();
    m_funcMembers->addRef();
    m_dataMembers->setOwnerClass(this);
    m_funcMembers->setOwnerClass(this);
}

KvoClass::KvoClass(KvoVirtualMachine& vm, KvoString* name, KvoClass* base) : KvoClass(vm)
{
    m_name = name;
    if (m_name)
        m_name->addRef();
    m_base = base;
    if (m_base)
        m_base->addRef();
}

KvoClass::KvoClass(KvoVirtualMachine& vm, const KvoString& name, KvoClass* base) : KvoClass(vm)
{
    if (name.length()) {
        m_name = new KvoString(name);
        m_name->addRef();
    }
    m_base = base;
    if (m_base)
        m_base->addRef();
}

KvoClass::~KvoClass()
{
    if (m_name)
        m_name->release();
    if (m_base)
        m_base->release();
    m_dataMembers->setOwnerClass(nullptr);
    m_funcMembers->setOwnerClass(nullptr);
    m_dataMembers->release();
    m_funcMembers->release();
}

bool KvoClass::setClassName(KvoString* name)
{
    if (m_name || !name)
        return false;
    m_name = name;
    m_name->addRef();
    return true;
}

bool KvoClass::setClassName(const KvoString& name)
{
    if (m_name || name.length() == 0)
        return false;
    m_name = new KvoString(name);
    m_name->addRef();
    return true;
}

bool KvoClass::setBaseClass(KvoClass* base)
{
    if (m_base)
        return false;
    if (!base)
        return true;
    // A chain that led back here would make every walk up the bases endless.
    if (base->isSubtypeOf(this))
        return false;
    m_base = base;
    m_base->addRef();
    return true;
}

bool KvoClass::isSubtypeOf(const KvoClass* c) const noexcept
{
    for (const KvoClass* k = this; k; k = k->m_base) {
        if (k == c)
            return true;
    }
    return false;
}

bool KvoClass::isSubtypeOf(const KvoString& name) const noexcept
{
    for (const KvoClass* k = this; k && k->m_name; k = k->m_base) {
        if (k->m_name->compare(name) == 0)
            return true;
    }
    return false;
}

KvoDictionaryEntry* KvoClass::findMember(const KvoString& name, bool searchBase) const noexcept
{
    return findMember(name.c_str(), searchBase);
}

KvoDictionaryEntry* KvoClass::findMember(const KvoChar* name, bool searchBase) const noexcept
{
    for (const KvoClass* k = this; k; k = searchBase ? k->m_base : nullptr) {
        if (KvoDictionaryEntry* e = k->m_dataMembers->find(name))
            return e;
        if (KvoDictionaryEntry* e = k->m_funcMembers->find(name))
            return e;
    }
    return nullptr;
}

std::int32_t KvoClass::getMemberIndex(const KvoString& name) const noexcept
{
    KvoDictionaryEntry* e = findMember(name, true);
    if (!e || e->getSymbolType() != SYM_DATAMEMBER)
        return -1;
    return e->getValue().getLong();
}

KvoString* KvoClass::findDataMemberFromIndex(std::uint32_t index, bool searchBase) const noexcept
{
    for (const KvoClass* k = this; k; k = searchBase ? k->m_base : nullptr) {
        for (KvoDictionaryEntry* e = k->m_dataMembers->getFirst(); e; e = e->getNext()) {
            if (e->getSymbolType() == SYM_DATAMEMBER && static_cast<std::uint32_t>(e->getValue().getLong()) == index)
                return e->getKey();
        }
    }
    return nullptr;
}

bool KvoClass::hasOwnMember(const KvoChar* name) const noexcept
{
    return findMember(name, false) != nullptr;
}

bool KvoClass::addMember(KvoDictionary& members, const KvoChar* name, const KvoValue& value, KvoSymbolType type)
{
    if (!name || !*name || hasOwnMember(name))
        return false;
    KvoDictionaryEntry* e = members[name];
    e->setValue(value);
    e->setSymbolType(type);
    return true;
}

bool KvoClass::addDataMember(const KvoChar* name)
{
    return addMember(*m_dataMembers, name, KvoValue(), SYM_DATAMEMBER);
}

bool KvoClass::addStaticDataMember(const KvoChar* name)
{
    return addMember(*m_dataMembers, name, KvoValue(), SYM_VARIABLE);
}

bool KvoClass::addStaticDataMember(const KvoChar* name, const KvoValue& value)
{
    return addMember(*m_dataMembers, name, value, SYM_VARIABLE);
}

bool KvoClass::addMethod(const KvoChar* name, KvoNativeFunc func)
{
    return func && addMember(*m_funcMembers, name, KvoValue(func), SYM_METHOD);
}

bool KvoClass::addStaticMethod(const KvoChar* name, KvoNativeFunc func)
{
    return func && addMember(*m_funcMembers, name, KvoValue(func), SYM_FUNCTION);
}

std::int32_t KvoClass::computeDataSize()
{
    std::int32_t size = 0;
    for (KvoDictionaryEntry* e = m_dataMembers->getFirst(); e; e = e->getNext()) {
        if (e->getSymbolType() == SYM_DATAMEMBER)
            ++size;
    }
    if (m_base)
        size += m_base->computeDataSize();
    m_dataSize = size;
    return size;
}

void KvoClass::fixupDataDefs()
{
    std::int32_t n = m_base ? m_base->computeDataSize() : 0;
    for (KvoDictionaryEntry* e = m_dataMembers->getFirst(); e; e = e->getNext()) {
        if (e->getSymbolType() == SYM_DATAMEMBER)
            e->setValue(KvoValue(++n));
    }
    computeDataSize();
}
