// KvoCodeEmitter: builds one procedure vector (see vm/KvoProcedure.h): the code buffer, the fixed
// elements (class, name, default list, self reference) and the literal pool behind them, with the
// primitives every piece of the compiler emits through: plain and indexed instructions in the
// narrowest operand form, absolute jumps, forward jumps linked into chains that are patched once
// their target is known, and literal slots.
//
// Jump chains: a forward jump's 4-byte operand first holds the offset of the previous operand of
// the same chain, 0 ending it (offset 0 is never an operand: the prologue starts there). Every
// chain links backwards, so patching always terminates.
//
// Literal slots of names (method selectors, source names), dictionary entries and classes are
// shared within the procedure. Only slots created for that purpose are shared: a constant or a
// static local that happens to hold an equal value is never reused, because a script can change
// a static local and modify a string constant in place.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>

#include "values/KvoBuffer.h"
#include "values/KvoClass.h"
#include "values/KvoDictionary.h"
#include "values/KvoValue.h"
#include "values/KvoVector.h"
#include "vm/KvoOpCode.h"

class KvoCodeEmitter
{
public:
    // Creates the procedure: an empty code buffer, owner (may be null; held as an owning class
    // value), a string holding name, an empty default list and the non-owning self reference.
    KvoCodeEmitter(KvoClass* owner, const KvoChar* name);
    KvoCodeEmitter(const KvoCodeEmitter&) = delete;
    KvoCodeEmitter& operator=(const KvoCodeEmitter&) = delete;
    ~KvoCodeEmitter() = default;

    // The procedure being built (owned by this emitter until taken with procedureValue).
    KvoVector& procedure() noexcept { return *m_procedure; }
    // The procedure as an owning KVT_BYTECODE value.
    const KvoValue& procedureValue() const noexcept { return m_procedureValue; }
    KvoBuffer& code() noexcept { return *m_code; }
    // The default list (element 3).
    KvoVector& defaults() noexcept { return *m_defaults; }
    // The owning class, or null.
    KvoClass* owner() const noexcept { return m_owner; }

    // The offset at which the next instruction goes.
    std::uint32_t offset() const noexcept { return m_code->size(); }

    // One byte: an instruction without operand.
    void emit(std::uint8_t op);
    // An instruction with an index operand: op and one byte below 256; RWORD, op, 2 bytes, RBYTE
    // below 65536; otherwise (and always with forceLong) RDWORD, op, 4 bytes, RBYTE.
    void emitIndexed(KvoOpCode op, std::uint32_t operand, bool forceLong = false);
    // LIT with the slot index.
    void emitLiteral(std::uint32_t slot) { emitIndexed(LIT, slot); }
    // A jump (or TRY / ENDTRY / SWITCH) to a known target.
    void emitJump(KvoOpCode op, std::uint32_t target);
    // A forward jump whose operand joins chain (0: a new chain). Returns the new chain head.
    std::uint32_t emitForward(KvoOpCode op, std::uint32_t chain);
    // Writes target into every operand of chain (0: nothing).
    void patchChain(std::uint32_t chain, std::uint32_t target);
    // Overwrites the 4-byte little-endian value at offset.
    void patchWord(std::uint32_t offset, std::uint32_t value);

    // Appends a literal slot holding value; returns its index.
    std::uint32_t addLiteral(const KvoValue& value);
    // The shared slot holding a string with this text (method selector, source name).
    std::uint32_t internName(const KvoChar* text);
    // The shared slot holding a variable reference (KVT_VAR) to entry.
    std::uint32_t internEntry(KvoDictionaryEntry* entry);
    // The shared slot holding the class value of c.
    std::uint32_t internClass(KvoClass* c);

    // Shrinks the code buffer and the procedure vector to their sizes.
    void finish();

private:
    KvoVector* m_procedure;
    KvoValue m_procedureValue;
    KvoBuffer* m_code;
    KvoVector* m_defaults;
    KvoClass* m_owner;
    std::unordered_map<std::u16string, std::uint32_t> m_names;
    std::unordered_map<const void*, std::uint32_t> m_objects;
};
