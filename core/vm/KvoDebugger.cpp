// KvoDebugger: listings, trace lines and the value notation they share. Decoding follows the
// interpreter exactly (width instructions change the width of later indexed operands), but every
// operand, procedure element and stack slot is bounds-checked first: listings and traces are
// also used on procedures that are corrupt or still being debugged.
#include "vm/KvoDebugger.h"

#include <cstdarg>
#include <cstdio>

#include "host/IKvoPrinter.h"
#include "values/KvoBuffer.h"
#include "values/KvoClass.h"
#include "values/KvoDictionary.h"
#include "values/KvoObject.h"
#include "values/KvoString.h"
#include "values/KvoVector.h"
#include "vm/KvoProcedure.h"

namespace {

// Printed in place of a value that does not exist: a stack slot outside the stack, a literal
// index past the procedure's elements, a member index past the object's members.
constexpr const KvoChar* MISSING_VALUE = u"<none> ";
// Printed in place of an operand that the end of the code cuts off.
constexpr const KvoChar* TRUNCATED_OPERAND = u"<truncated operand>";
// Printed by a trace line whose offset lies outside the code.
constexpr const KvoChar* OUTSIDE_CODE = u"<outside the code>";
// Strings longer than this print their first STRING_PREVIEW_LENGTH units and "...".
constexpr std::uint32_t STRING_PREVIEW_LENGTH = 20;
// A variable entry prints its value, which may itself be a variable entry; past this depth the
// nested values print brief, so an entry that refers to itself cannot recurse without end.
constexpr int MAX_VALUE_DEPTH = 8;

// One decoded instruction.
struct Instruction {
    std::uint8_t op = NOP;
    KvoOperandKind kind = KvoOperandKind::NONE;
    std::uint32_t operand = 0;
    bool truncated = false; // the operand runs past the end of the code
    std::uint32_t next = 0; // offset of the following instruction
};

// The operand widths the machine knows; anything else reads as 1.
unsigned validWidth(unsigned width) noexcept
{
    return width == 2 || width == 4 ? width : 1;
}

// Decodes the instruction at offset (< size) with the given width for indexed operands.
Instruction decodeAt(const std::uint8_t* code, std::uint32_t size, std::uint32_t offset, unsigned width) noexcept
{
    Instruction in;
    in.op = code[offset];
    in.kind = getOperandKind(in.op);
    in.next = offset + 1;
    unsigned operandSize = 0;
    if (in.kind == KvoOperandKind::INDEXED)
        operandSize = validWidth(width);
    else if (in.kind == KvoOperandKind::ADDRESS)
        operandSize = KVO_ADDRESS_SIZE;
    if (operandSize == 0)
        return in;
    if (size - in.next < operandSize) {
        in.truncated = true;
        in.next = size;
        return in;
    }
    in.operand = operandSize == KVO_ADDRESS_SIZE ? readAddress(code + in.next) : readOperand(code + in.next, operandSize);
    in.next += operandSize;
    return in;
}

// Element index of a vector, or null past its end.
const KvoValue* elementAt(const KvoVector* vector, std::uint32_t index) noexcept
{
    return vector && index < vector->size() ? &(*vector)[index] : nullptr;
}

// The stack slot delta places from a cursor, or null outside the stack.
const KvoValue* slotAt(ValPtr base, std::int64_t delta) noexcept
{
    const KvoVector* stack = base.vector();
    const std::int64_t index = std::int64_t(base.current()) + delta;
    if (!stack || index < 0 || index >= std::int64_t(stack->size()))
        return nullptr;
    return &(*stack)[static_cast<std::uint32_t>(index)];
}

// The text of a string value, or null when the value holds no string.
const KvoChar* textOf(const KvoValue* value) noexcept
{
    const KvoString* s = value ? value->getString() : nullptr;
    return s ? s->c_str() : nullptr;
}

// A class's name, "" for none or an unnamed class.
const KvoChar* classNameOf(const KvoClass* c) noexcept
{
    const KvoString* name = c ? c->getClassName() : nullptr;
    return name ? name->c_str() : u"";
}

// The names that the local-variable information (the last element of a procedure, when present)
// supplies.
struct LocalNames {
    const KvoVector* parameters = nullptr; // parameter names, "this" first for a member function
    const KvoVector* temporaries = nullptr; // temporary names, the exception slot's first
    const KvoDictionary* statics = nullptr; // static local name -> procedure element index
};

LocalNames localNamesOf(const KvoVector* procedure) noexcept
{
    LocalNames names;
    if (!procedure || procedure->size() == 0)
        return names;
    const KvoValue& last = (*procedure)[procedure->size() - 1];
    if (last.getType() != KVT_LOCALVARINFO)
        return names;
    const KvoVector* info = last.getVector();
    if (!info)
        return names;
    const KvoValue* parameters = elementAt(info, 0);
    const KvoValue* temporaries = elementAt(info, 1);
    names.parameters = parameters ? parameters->getVector() : nullptr;
    names.temporaries = temporaries ? temporaries->getVector() : nullptr;
    if (names.temporaries && names.temporaries->size() > 0)
        names.statics = (*names.temporaries)[names.temporaries->size() - 1].getDictionary();
    return names;
}

// Entry index of a name list when it is a string; null otherwise.
const KvoChar* nameAt(const KvoVector* names, std::uint32_t index) noexcept
{
    return textOf(elementAt(names, index));
}

// The name that the static dictionary maps to procedure element index; null when none does.
const KvoChar* staticNameOf(const KvoDictionary* statics, std::uint32_t index) noexcept
{
    if (!statics)
        return nullptr;
    for (const KvoDictionaryEntry* e = statics->getFirst(); e; e = e->getNext()) {
        const KvoValue& v = e->getValue();
        if (v.getType() == KVT_INTEGER && v.getLong() >= 0 && static_cast<std::uint32_t>(v.getLong()) == index)
            return e->getKey() ? e->getKey()->c_str() : u"";
    }
    return nullptr;
}

// The class that owns a procedure, null for a global function.
KvoClass* procedureClassOf(const KvoVector* procedure) noexcept
{
    const KvoValue* c = elementAt(procedure, PROC_CLASS);
    return c ? c->getClass() : nullptr;
}

// The procedure's name, or fallback when it has none.
const KvoChar* procedureNameOf(const KvoVector* procedure, const KvoChar* fallback) noexcept
{
    const KvoChar* name = textOf(elementAt(procedure, PROC_NAME));
    return name ? name : fallback;
}

// The code buffer of a procedure, null when element 0 is no buffer.
const KvoBuffer* procedureCodeOf(const KvoVector* procedure) noexcept
{
    const KvoValue* code = elementAt(procedure, PROC_CODE);
    return code ? code->getBuffer() : nullptr;
}

// The instructions whose trace shows the two top slots: binary operators, comparisons, DUP2.
bool usesTopTwoSlots(std::uint8_t op) noexcept
{
    switch (op) {
    case ADD: case SUB: case MUL: case DIV: case REM: case BAND: case BOR: case XOR: case SHL: case SHR:
    case LT: case LE: case EQ: case NE: case GE: case GT: case DUP2:
        return true;
    default:
        return false;
    }
}

} // namespace

KvoDebugger::KvoDebugger(KvoVirtualMachine* vm, IKvoPrinter* printer) noexcept : m_vm(vm), m_printer(printer) {}

KvoDebugger::~KvoDebugger() = default;

void KvoDebugger::print(const KvoChar* fmt, ...)
{
    if (!m_printer)
        return;
    va_list args;
    va_start(args, fmt);
    m_printer->vprint(fmt, args);
    va_end(args);
}

const KvoChar* KvoDebugger::getOpCodeName(KvoOpCode op) const
{
    return getOpcodeMnemonic(op);
}

void KvoDebugger::setCurrentProc(KvoVector* procedure, std::int32_t nargs)
{
    m_currentProc = procedure;
    m_currentNargs = procedure ? nargs : 0;
    if (procedure) {
        print(u"-->current proc %s::%s, %d arguments\n", classNameOf(procedureClassOf(procedure)),
              procedureNameOf(procedure, u"<noname>"), nargs);
    }
}

void KvoDebugger::printValue(const KvoValue& value, bool brief)
{
    printValueAt(value, brief, 0);
}

void KvoDebugger::printValueOrMarker(const KvoValue* value, bool brief)
{
    if (value)
        printValueAt(*value, brief, 0);
    else
        print(MISSING_VALUE);
}

void KvoDebugger::printValueAt(const KvoValue& value, bool brief, int depth)
{
    const KvoValueType type = value.getType();
    print(u"%s ", getValueTypeName(type));
    switch (type) {
    case KVT_NULL:
    case KVT_LOCALVARINFO:
        return;
    case KVT_INTEGER:
        print(u"%ld ", value.getLong());
        return;
    case KVT_FLOAT:
    case KVT_DOUBLE:
        print(u"%f ", value.getDouble());
        return;
    case KVT_FILE: {
        void* file = value.getFile();
        if (file == stdin)
            print(u"stdin ");
        else if (file == stdout)
            print(u"stdout ");
        else if (file == stderr)
            print(u"stderr ");
        else
            print(u"%p", file);
        return;
    }
    case KVT_CODE:
    case KVT_CODEREF:
        print(u"%p ", value.getRef());
        return;
    case KVT_VAR: {
        const KvoDictionaryEntry* entry = value.getVar();
        print(u"%p ", static_cast<const void*>(entry));
        if (!brief && entry) {
            print(u"(key:%s value:", entry->getKey() ? entry->getKey()->c_str() : u"");
            printValueAt(entry->getValue(), depth + 1 >= MAX_VALUE_DEPTH, depth + 1);
            print(u") ");
        }
        return;
    }
    default:
        break;
    }
    if (!isObjectType(type))
        return;

    const auto* object = static_cast<const KvoRefObject*>(value.getRef());
    if (brief) {
        print(u"%p ", static_cast<const void*>(object));
        return;
    }
    print(u"%p (#%d) ", static_cast<const void*>(object), object ? object->getRefCnt() : 0);
    if (const KvoClass* c = value.getClass()) {
        print(u"(%s) ", classNameOf(c));
    } else if (const KvoObject* o = value.getObject()) {
        print(u"(class %s) ", classNameOf(o->getClass()));
    } else if (const KvoString* s = value.getString()) {
        if (s->length() <= STRING_PREVIEW_LENGTH) {
            print(u"(\"%s\") ", s->c_str());
        } else {
            KvoChar preview[STRING_PREVIEW_LENGTH + 1] = {};
            for (std::uint32_t i = 0; i < STRING_PREVIEW_LENGTH; ++i)
                preview[i] = s->c_str()[i];
            print(u"(\"%s...\") ", preview);
        }
    }
}

void KvoDebugger::decodeProcedure(KvoVector* procedure)
{
    if (!procedure || procedure->size() < 3)
        return;
    const KvoBuffer* code = procedureCodeOf(procedure);
    if (!code)
        return;
    if (const KvoClass* c = procedureClassOf(procedure))
        print(u"%s", classNameOf(c));
    print(u"::%s (%u bytes)\n", procedureNameOf(procedure, u"<unnamed>"), code->size());

    const std::uint32_t size = code->size();
    unsigned width = 1;
    for (std::uint32_t offset = 0; offset < size;) {
        const Instruction in = decodeAt(code->data(), size, offset, width);
        print(u"%04x: %02x %9s ", offset, unsigned(in.op), getOpCodeName(static_cast<KvoOpCode>(in.op)));
        if (in.kind == KvoOperandKind::WIDTH)
            width = getWidthOf(in.op);
        else if (in.truncated)
            print(TRUNCATED_OPERAND);
        else if (in.kind != KvoOperandKind::NONE)
            printListingOperand(*procedure, in.op, in.operand);
        print(u"\n");
        offset = in.next;
    }
}

void KvoDebugger::printListingOperand(KvoVector& procedure, std::uint8_t op, std::uint32_t operand)
{
    const LocalNames names = localNamesOf(&procedure);
    switch (op) {
    case BRT:
    case BRF:
    case BR:
    case TRY:
    case ENDTRY:
    case SWITCH:
        print(u"%04x ", operand);
        break;
    case LIT:
        print(u"lit[%u] ", operand);
        printValueOrMarker(elementAt(&procedure, operand), false);
        break;
    case REF:
    case SET:
        print(u"var[%u] ", operand);
        printValueOrMarker(elementAt(&procedure, operand), false);
        break;
    case CALL:
    case SEND:
        print(u"(%u arguments) ", operand);
        break;
    case MREF:
    case MSET: {
        print(u"member[%u] ", operand);
        const KvoClass* c = procedureClassOf(&procedure);
        if (const KvoString* name = c ? c->findDataMemberFromIndex(operand, true) : nullptr)
            print(u"('%s') ", name->c_str());
        break;
    }
    case AREF:
    case ASET:
        print(u"arg[%u] ", operand);
        if (const KvoChar* name = nameAt(names.parameters, operand))
            print(u"('%s') ", name);
        break;
    case TREF:
    case TSET:
        print(u"tmp[%u] ", operand);
        if (const KvoChar* name = nameAt(names.temporaries, operand))
            print(u"('%s') ", name);
        break;
    case TSPACE:
        print(u"%u ", operand);
        break;
    case SREF:
    case SSET:
        print(u"svar[%u] ", operand);
        if (const KvoChar* name = staticNameOf(names.statics, operand))
            print(u"('%s') ", name);
        printValueOrMarker(elementAt(&procedure, operand), false);
        break;
    case NEWLINE:
        print(u"line: %u ", operand);
        break;
    default:
        break;
    }
}

void KvoDebugger::traceInstruction(ValPtr sp, ValPtr bp, ValPtr fp, std::uint8_t operandWidth, const std::uint8_t* code,
                                   std::uint32_t codeSize, std::uint32_t offset)
{
    if (!code || offset >= codeSize) {
        print(u"%04x: %s SP:%04x\n", offset, OUTSIDE_CODE, unsigned(sp.current()));
        return;
    }
    const Instruction in = decodeAt(code, codeSize, offset, operandWidth);
    print(u"%04x: %02x %9s SP:%04x ", offset, unsigned(in.op), getOpCodeName(static_cast<KvoOpCode>(in.op)),
          unsigned(sp.current()));
    if (in.truncated)
        print(TRUNCATED_OPERAND);
    else
        printTraceOperands(sp, bp, fp, in.op, in.operand);
    print(u"\n");
}

void KvoDebugger::printTraceOperands(ValPtr sp, ValPtr bp, ValPtr fp, std::uint8_t op, std::uint32_t operand)
{
    const KvoValue* top = slotAt(sp, 0);
    const bool topIsZero = top && top->getLong() == 0;
    if (usesTopTwoSlots(op)) {
        print(u"SP[-1]:");
        printValueOrMarker(slotAt(sp, -1), false);
        print(u"SP[0]:");
        printValueOrMarker(top, false);
        return;
    }
    switch (op) {
    case NOP:
    case PUSH:
    case NOT:
    case NEG:
    case BNOT:
    case INC:
    case DEC:
    case PINC:
    case PDEC:
    case MKREF:
    case RETURN:
    case DELETE:
        print(u"SP[0]:");
        printValueOrMarker(top, false);
        break;
    case NIL:
    case DUP:
    case POP:
        print(u"SP[0]:");
        printValueOrMarker(top, true);
        break;
    case BRT:
    case BRF:
        // BRT branches unless the top is 0, BRF only when it is.
        if (topIsZero == (op == BRT))
            print(u"(skip) ");
        else
            print(u"%04x ", operand);
        print(u"SP[0]:");
        printValueOrMarker(top, false);
        break;
    case BR:
    case TRY:
    case ENDTRY:
    case SWITCH:
        print(u"%04x", operand);
        break;
    case LIT:
        if (m_currentProc) {
            print(u"LIT[%u]:", operand);
            printValueOrMarker(elementAt(m_currentProc, operand), false);
        }
        break;
    case REF:
    case SET:
        if (m_currentProc) {
            print(u"VAR[%u]:", operand);
            printValueOrMarker(elementAt(m_currentProc, operand), op == SET);
        }
        if (op == SET) {
            print(u"SP[0](val):");
            printValueOrMarker(top, false);
        }
        break;
    case CALL:
        printValueOrMarker(slotAt(sp, -std::int64_t(operand)), false);
        print(u"(%u arguments)", operand);
        break;
    case VREF:
        print(u"SP[-1](src):");
        printValueOrMarker(slotAt(sp, -1), false);
        print(u"SP[0](index:)");
        printValueOrMarker(top, false);
        break;
    case VSET:
        print(u"SP[-2](dest):");
        printValueOrMarker(slotAt(sp, -2), false);
        print(u"SP[-1](index):");
        printValueOrMarker(slotAt(sp, -1), false);
        print(u"SP[0](val):");
        printValueOrMarker(top, false);
        break;
    case MREF:
    case MSET: {
        const KvoValue* receiver = slotAt(bp, 0);
        print(u"BP[0](obj):");
        printValueOrMarker(receiver, false);
        const KvoObject* object = receiver ? receiver->getObject() : nullptr;
        if (const KvoVector* members = object ? object->getMemberData() : nullptr) {
            print(u"member[%u]:", operand);
            const KvoClass* c = object->getClass();
            if (const KvoString* name = c ? c->findDataMemberFromIndex(operand, true) : nullptr)
                print(u"('%s') ", name->c_str());
            printValueOrMarker(elementAt(members, operand), op == MSET);
        }
        if (op == MSET) {
            print(u"SP[0](val):");
            printValueOrMarker(top, false);
        }
        break;
    }
    case AREF:
    case ASET:
        if (m_currentProc) {
            if (m_currentNargs < 0 || operand >= static_cast<std::uint32_t>(m_currentNargs)) {
                // The instruction itself fails with "too few arguments".
                print(u"invalid index %u", operand);
                break;
            }
            if (const KvoChar* name = nameAt(localNamesOf(m_currentProc).parameters, operand))
                print(u"BP[%u](arg[%u] '%s'):", operand + 1, operand, name);
            else
                print(u"BP[%u](arg[%u]):", operand + 1, operand);
            printValueOrMarker(slotAt(bp, std::int64_t(operand) + 1), op == ASET);
        }
        if (op == ASET) {
            print(u"SP[0](val):");
            printValueOrMarker(top, false);
        }
        break;
    case TREF:
    case TSET: {
        const KvoChar* name = m_currentProc ? nameAt(localNamesOf(m_currentProc).temporaries, operand) : nullptr;
        if (name)
            print(u"FP[%u](tmp[%u] '%s'):", operand + 1, operand, name);
        else
            print(u"FP[%u](tmp[%u]):", operand + 1, operand);
        printValueOrMarker(slotAt(fp, std::int64_t(operand) + 1), op == TSET);
        if (op == TSET) {
            print(u"SP[0](val):");
            printValueOrMarker(top, false);
        }
        break;
    }
    case TSPACE:
        print(u"%u ", operand);
        break;
    case SEND:
        print(u"SP[%lld](obj):", -static_cast<long long>(operand));
        printValueOrMarker(slotAt(sp, -std::int64_t(operand)), false);
        print(u"SP[%lld](name):", 1 - static_cast<long long>(operand));
        printValueOrMarker(slotAt(sp, 1 - std::int64_t(operand)), false);
        print(u"(%u arguments)", operand);
        break;
    case NEW:
        print(u"SP[0](class):");
        printValueOrMarker(top, false);
        break;
    case SREF:
    case SSET:
        if (m_currentProc) {
            print(u"svar[%u]:", operand);
            if (const KvoChar* name = staticNameOf(localNamesOf(m_currentProc).statics, operand))
                print(u"('%s') ", name);
            printValueOrMarker(elementAt(m_currentProc, operand), false);
        }
        break;
    case NEWLINE:
        if (m_currentProc)
            print(u"line: %u", operand);
        break;
    default:
        // THROW, ENDCATCH, the trace switches, width instructions and unknown codes.
        break;
    }
}
