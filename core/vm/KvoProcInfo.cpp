// Frame records: procedure access, local-variable names and the per-frame handler list. Handler
// records are borrowed from the interpreter's free list and given back when removed.
#include "vm/KvoProcInfo.h"

#include "values/KvoClass.h"
#include "values/KvoDictionary.h"
#include "vm/KvoInterpreter.h"
#include "vm/KvoProcedure.h"

KvoProcInfo::KvoProcInfo(KvoInterpreter& interpreter, KvoVector* procedure, int nargs, ValPtr bp, ValPtr fp,
                         bool detached)
    : m_interpreter(interpreter), m_procedure(procedure), m_bp(bp), m_fp(fp), m_nargs(nargs), m_detached(detached)
{
    if (!m_procedure)
        return;
    m_procedure->addRef();
    if (m_procedure->size() > PROC_CODE) {
        m_codeBuffer = (*m_procedure)[PROC_CODE].getBuffer();
        if (m_codeBuffer)
            m_codeBuffer->addRef();
    }
}

const KvoValue* KvoProcInfo::operator[](std::uint32_t i) const noexcept
{
    if (!m_procedure || i >= m_procedure->size())
        return nullptr;
    return &(*m_procedure)[i];
}

const KvoChar* KvoProcInfo::getName() const noexcept
{
    const KvoValue* name = (*this)[PROC_NAME];
    KvoString* s = name ? name->getString() : nullptr;
    return s ? s->c_str() : u"<unnamed>";
}

KvoClass* KvoProcInfo::getClass() const noexcept
{
    const KvoValue* c = (*this)[PROC_CLASS];
    return c ? c->getClass() : nullptr;
}

KvoVector* KvoProcInfo::getLocalVarInfo() const noexcept
{
    if (!m_procedure || m_procedure->size() == 0)
        return nullptr;
    const KvoValue& last = (*m_procedure)[m_procedure->size() - 1];
    return last.getType() == KVT_LOCALVARINFO ? last.getVector() : nullptr;
}

namespace {

// Element i of list i of the local-variable information, when it is a string.
KvoString* nameAt(KvoVector* info, std::uint32_t list, std::uint32_t i) noexcept
{
    if (!info || info->size() <= list)
        return nullptr;
    KvoVector* names = (*info)[list].getVector();
    if (!names || i >= names->size())
        return nullptr;
    return (*names)[i].getString();
}

} // namespace

KvoString* KvoProcInfo::getArgumentName(std::uint32_t i) const noexcept
{
    return nameAt(getLocalVarInfo(), 0, i);
}

KvoString* KvoProcInfo::getLocalVarName(std::uint32_t i) const noexcept
{
    return nameAt(getLocalVarInfo(), 1, i);
}

KvoString* KvoProcInfo::getLocalStaticVarName(std::uint32_t index) const noexcept
{
    KvoVector* info = getLocalVarInfo();
    if (!info || info->size() < 2)
        return nullptr;
    KvoVector* temps = (*info)[1].getVector();
    if (!temps || temps->size() == 0)
        return nullptr;
    KvoDictionary* statics = (*temps)[temps->size() - 1].getDictionary();
    if (!statics)
        return nullptr;
    for (KvoDictionaryEntry* e = statics->getFirst(); e; e = e->getNext()) {
        const KvoValue& v = e->getValue();
        if (v.getType() == KVT_INTEGER && static_cast<std::uint32_t>(v.getLong()) == index)
            return e->getKey();
    }
    return nullptr;
}

void KvoProcInfo::pushErrorHandler(std::uint32_t address, ValPtr sp)
{
    KvoErrorHandler* handler = m_interpreter.m_freeHandlers;
    if (handler)
        m_interpreter.m_freeHandlers = handler->m_next;
    else
        handler = new KvoErrorHandler;
    handler->m_address = address;
    handler->m_sp = sp;
    handler->m_next = m_handlers;
    m_handlers = handler;
    settleReturn();
}

bool KvoProcInfo::popErrorHandler() noexcept
{
    KvoErrorHandler* handler = m_handlers;
    if (!handler)
        return false;
    m_handlers = handler->m_next;
    handler->m_next = m_interpreter.m_freeHandlers;
    m_interpreter.m_freeHandlers = handler;
    settleReturn();
    return true;
}
