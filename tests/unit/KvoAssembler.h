// KvoAssembler: builds procedure vectors by hand for the interpreter's tests and benchmarks.
// It encodes indexed operands in the narrowest of the three forms (as the compiler does) or in
// a forced width, writes 4-byte address operands for labels and patches them when the procedure
// is built, and lays out the fixed procedure elements (code, class, name, defaults, self
// reference) before the literals. KvoTestMachine wraps a machine for running such procedures.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "host/KvoStringPrinter.h"
#include "host/KvoVirtualMachine.h"
#include "values/KvoBuffer.h"
#include "values/KvoClass.h"
#include "values/KvoString.h"
#include "values/KvoValue.h"
#include "values/KvoVector.h"
#include "values/ValPtr.h"
#include "vm/KvoOpCode.h"
#include "vm/KvoProcedure.h"

class KvoAssembler
{
public:
    // A procedure called name; owner (may be null) makes it a method of that class.
    explicit KvoAssembler(const KvoChar* name = u"f", KvoClass* owner = nullptr) : m_name(name), m_owner(owner) {}

    // Parameters, in order: one without default, or one with the default value.
    KvoAssembler& param()
    {
        KvoValue v;
        v.setFlags(KvoNoDefault);
        m_defaults.push_back(std::move(v));
        return *this;
    }
    KvoAssembler& param(const KvoValue& defaultValue)
    {
        m_defaults.push_back(defaultValue);
        return *this;
    }

    // Appends a literal and returns its procedure index.
    std::uint32_t literal(const KvoValue& value)
    {
        m_literals.push_back(value);
        return PROC_FIRST_LITERAL + static_cast<std::uint32_t>(m_literals.size() - 1);
    }

    // An instruction without operand (or a raw byte).
    KvoAssembler& op(std::uint8_t code)
    {
        m_code.push_back(code);
        return *this;
    }
    // An indexed instruction in the narrowest form: 1 byte, else RWORD op 2 bytes RBYTE, else
    // RDWORD op 4 bytes RBYTE.
    KvoAssembler& op(std::uint8_t code, std::uint32_t operand)
    {
        unsigned width = operand <= 0xFF ? 1 : operand <= 0xFFFF ? 2 : 4;
        return opWidth(code, operand, width);
    }
    // An indexed instruction in a given width (1, 2 or 4), restoring width 1 afterwards.
    KvoAssembler& opWidth(std::uint8_t code, std::uint32_t operand, unsigned width)
    {
        if (width != 1)
            m_code.push_back(width == 2 ? RWORD : RDWORD);
        m_code.push_back(code);
        bytes(operand, width);
        if (width != 1)
            m_code.push_back(RBYTE);
        return *this;
    }
    // Operand bytes alone (little-endian).
    KvoAssembler& bytes(std::uint32_t value, unsigned width)
    {
        for (unsigned i = 0; i < width; ++i)
            m_code.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
        return *this;
    }
    // An address instruction with a fixed target.
    KvoAssembler& address(std::uint8_t code, std::uint32_t target)
    {
        m_code.push_back(code);
        return bytes(target, 4);
    }

    // Labels: create, place at the current offset, and jump to (patched by build()).
    int label()
    {
        m_labels.push_back(UINT32_MAX);
        return static_cast<int>(m_labels.size() - 1);
    }
    KvoAssembler& bind(int label)
    {
        m_labels[static_cast<std::size_t>(label)] = offset();
        return *this;
    }
    KvoAssembler& jump(std::uint8_t code, int label)
    {
        m_code.push_back(code);
        m_fixups.emplace_back(offset(), label);
        return bytes(0, 4);
    }

    // The compiler's prologue: TSPACE temps+1 in the 4-byte form (the exception slot is
    // temporary 0), then PUSH.
    KvoAssembler& prologue(std::uint32_t temps = 0)
    {
        opWidth(TSPACE, temps + 1, 4);
        return op(PUSH);
    }
    // Loads a literal value into the top: LIT of a new literal.
    KvoAssembler& load(const KvoValue& value) { return op(LIT, literal(value)); }

    std::uint32_t offset() const { return static_cast<std::uint32_t>(m_code.size()); }

    // The procedure vector (count 0: store it in a value at once).
    KvoVector* build()
    {
        for (auto& [at, label] : m_fixups) {
            std::uint32_t target = m_labels[static_cast<std::size_t>(label)];
            for (unsigned i = 0; i < 4; ++i)
                m_code[at + i] = static_cast<std::uint8_t>(target >> (8 * i));
        }
        auto* code = new KvoBuffer(static_cast<std::uint32_t>(m_code.size() ? m_code.size() : 1));
        if (!m_code.empty())
            code->append(m_code.data(), static_cast<std::uint32_t>(m_code.size()));
        auto* defaults = new KvoVector();
        for (const KvoValue& d : m_defaults)
            defaults->push_back(d);
        auto* procedure = new KvoVector();
        procedure->push_back(KvoValue(code));
        // A method refers to its class without owning it: the class owns its methods.
        procedure->push_back(m_owner ? KvoValue(m_owner, true) : KvoValue());
        procedure->push_back(KvoValue(new KvoString(m_name)));
        procedure->push_back(KvoValue(defaults));
        procedure->push_back(KvoValue(procedure, true, true));
        for (const KvoValue& l : m_literals)
            procedure->push_back(l);
        return procedure;
    }
    // build() wrapped in an owning bytecode value.
    KvoValue value() { return KvoValue(build(), true); }

private:
    const KvoChar* m_name;
    KvoClass* m_owner;
    std::vector<std::uint8_t> m_code;
    std::vector<KvoValue> m_defaults;
    std::vector<KvoValue> m_literals;
    std::vector<std::uint32_t> m_labels;
    std::vector<std::pair<std::uint32_t, int>> m_fixups;
};

// A machine whose output and error text are collected, with helpers to define assembled
// functions and global variables and to run them.
class KvoTestMachine
{
public:
    KvoTestMachine() : m_vm(&m_out) {}

    KvoVirtualMachine& vm() { return m_vm; }
    // Defines (or redefines) the global function name.
    KvoDictionaryEntry* define(const KvoChar* name, KvoAssembler& code)
    {
        KvoDictionaryEntry* entry = m_vm.symbols()[name];
        entry->setValue(code.value());
        entry->setSymbolType(SYM_FUNCTION);
        return entry;
    }
    // A variable reference to the global name (created as a variable when new), for REF/SET.
    KvoValue var(const KvoChar* name)
    {
        KvoDictionaryEntry* entry = m_vm.symbols()[name];
        if (entry->getSymbolType() == SYM_NONE)
            entry->setSymbolType(SYM_VARIABLE);
        return KvoValue(entry);
    }
    // The value of the global name (NULL when absent).
    KvoValue global(const KvoChar* name)
    {
        KvoDictionaryEntry* entry = m_vm.symbols().find(name);
        return entry ? entry->getValue() : KvoValue();
    }
    // Executes the global function name; the error text of a failure is kept for errors().
    bool run(const KvoChar* name = u"main")
    {
        m_errors.clear();
        return m_vm.execute(name, 0, nullptr, false, &m_errors);
    }
    const KvoValue& result() const { return m_vm.getResult(); }
    std::u16string errors() const { return m_errors.c_str(); }

private:
    KvoStringPrinter m_out;
    KvoStringPrinter m_errors;
    KvoVirtualMachine m_vm;
};

// The text print would write for a value.
inline std::u16string textOf(const KvoValue& value)
{
    KvoString s;
    appendPrintText(s, value);
    return s.c_str();
}

// Ends a native test function: stores result in the called slot and moves the cursor down to it.
inline bool returnValue(int argc, ValPtr& args, const KvoValue& result)
{
    KvoValue copy(result);
    args -= argc;
    args[0] = copy;
    return true;
}
