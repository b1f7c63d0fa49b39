// KvoCodeEmitter: procedure layout, instruction encoding, jump chains and the literal pool.
#include "compiler/KvoCodeEmitter.h"

#include "values/KvoString.h"
#include "vm/KvoProcedure.h"

KvoCodeEmitter::KvoCodeEmitter(KvoClass* owner, const KvoChar* name)
    : m_procedure(new KvoVector()), m_procedureValue(m_procedure, true), m_code(new KvoBuffer()),
      m_defaults(new KvoVector()), m_owner(owner)
{
    m_procedure->push_back(KvoValue(m_code));
    m_procedure->push_back(owner ? KvoValue(owner) : KvoValue());
    m_procedure->push_back(KvoValue(new KvoString(name)));
    m_procedure->push_back(KvoValue(m_defaults));
    m_procedure->push_back(KvoValue(m_procedure, true, true));
}

void KvoCodeEmitter::emit(std::uint8_t op)
{
    m_code->push_back(op);
}

void KvoCodeEmitter::emitIndexed(KvoOpCode op, std::uint32_t operand, bool forceLong)
{
    if (!forceLong && operand <= 0xFF) {
        m_code->push_back(op);
        m_code->push_back(static_cast<std::uint8_t>(operand));
        return;
    }
    if (!forceLong && operand <= 0xFFFF) {
        m_code->push_back(RWORD);
        m_code->push_back(op);
        m_code->push_backW(static_cast<std::uint16_t>(operand));
    } else {
        m_code->push_back(RDWORD);
        m_code->push_back(op);
        m_code->push_backDW(operand);
    }
    m_code->push_back(RBYTE);
}

void KvoCodeEmitter::emitJump(KvoOpCode op, std::uint32_t target)
{
    m_code->push_back(op);
    m_code->push_backDW(target);
}

std::uint32_t KvoCodeEmitter::emitForward(KvoOpCode op, std::uint32_t chain)
{
    m_code->push_back(op);
    return m_code->push_backDW(chain);
}

void KvoCodeEmitter::patchChain(std::uint32_t chain, std::uint32_t target)
{
    while (chain != 0 && chain + KVO_ADDRESS_SIZE <= m_code->size()) {
        std::uint32_t next = m_code->getDW(chain);
        m_code->setDW(chain, target);
        if (next >= chain)
            break; // links only point backwards; anything else ends the chain
        chain = next;
    }
}

void KvoCodeEmitter::patchWord(std::uint32_t offset, std::uint32_t value)
{
    if (offset + 4 <= m_code->size())
        m_code->setDW(offset, value);
}

std::uint32_t KvoCodeEmitter::addLiteral(const KvoValue& value)
{
    m_procedure->push_back(value);
    return m_procedure->size() - 1;
}

std::uint32_t KvoCodeEmitter::internName(const KvoChar* text)
{
    std::u16string key(text ? text : u"");
    auto found = m_names.find(key);
    if (found != m_names.end())
        return found->second;
    std::uint32_t slot = addLiteral(KvoValue(new KvoString(key.c_str())));
    m_names.emplace(std::move(key), slot);
    return slot;
}

std::uint32_t KvoCodeEmitter::internEntry(KvoDictionaryEntry* entry)
{
    auto found = m_objects.find(entry);
    if (found != m_objects.end())
        return found->second;
    std::uint32_t slot = addLiteral(KvoValue(entry));
    m_objects.emplace(entry, slot);
    return slot;
}

std::uint32_t KvoCodeEmitter::internClass(KvoClass* c)
{
    auto found = m_objects.find(c);
    if (found != m_objects.end())
        return found->second;
    std::uint32_t slot = addLiteral(c ? KvoValue(c) : KvoValue());
    m_objects.emplace(c, slot);
    return slot;
}

void KvoCodeEmitter::finish()
{
    m_code->shrink();
    m_procedure->shrink();
}
