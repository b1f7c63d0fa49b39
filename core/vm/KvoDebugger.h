// KvoDebugger: prints compiled procedures as annotated listings and, while a script runs in trace
// or single-step mode, one line per executed instruction with the operands and stack values the
// instruction uses. Everything goes through one printer.
// Invariant: decoding never reads outside the code buffer, the procedure vector or the stack;
// an operand cut off by the end of the code or a slot that does not exist prints as a marker
// instead, so a corrupt procedure can be listed and traced safely.
#pragma once

#include <cstdint>

#include "values/ValPtr.h"
#include "vm/KvoOpCode.h"

class IKvoPrinter;
class KvoInterpreter;
class KvoVirtualMachine;

class KVO_API KvoDebugger
{
public:
    // vm: the machine this debugger works for (borrowed, may be null). printer: the channel that
    // receives every line (borrowed); with a null printer nothing is printed, so the machine
    // passes its own printer when its caller gives none.
    KvoDebugger(KvoVirtualMachine* vm, IKvoPrinter* printer) noexcept;
    KvoDebugger(const KvoDebugger&) = delete;
    KvoDebugger& operator=(const KvoDebugger&) = delete;
    virtual ~KvoDebugger();

    // Prints the listing of a procedure vector: a header line "Class::name (N bytes)", then one
    // line per instruction with its operand decoded. Prints nothing for a null procedure, one with
    // fewer than 3 elements, or one without a code buffer.
    virtual void decodeProcedure(KvoVector* procedure);

    // Prints the trace line of the instruction at code[offset]. sp, bp, fp: the interpreter's
    // stack cursor and the frame positions of the running activation (BP the called slot, FP the
    // slot below the temporaries). operandWidth: the current width of indexed operands (1, 2 or 4;
    // any other value reads as 1). code, codeSize: the running procedure's code bytes (borrowed);
    // nothing at or past codeSize is read. Literal values and names come from the procedure given
    // to setCurrentProc; without one those parts are left out.
    virtual void traceInstruction(ValPtr sp, ValPtr bp, ValPtr fp, std::uint8_t operandWidth, const std::uint8_t* code,
                                  std::uint32_t codeSize, std::uint32_t offset);

    // The mnemonic printed for an opcode byte ("<unknown>" for a byte that is no opcode). Static text.
    virtual const KvoChar* getOpCodeName(KvoOpCode op) const;

    // Makes procedure (a procedure vector, borrowed; null for none) the current one, entered with
    // nargs arguments (defaults included). For a procedure it prints
    // "-->current proc Class::name, N arguments". The interpreter calls it on entering and
    // leaving a procedure while tracing or stepping, and with null when it attaches or detaches
    // this debugger. The procedure must stay alive while it is current.
    void setCurrentProc(KvoVector* procedure, std::int32_t nargs);
    // The current procedure (null for none) and the argument count it was entered with.
    KvoVector* getCurrentProc() const noexcept { return m_currentProc; }
    std::int32_t getCurrentNargs() const noexcept { return m_currentNargs; }

    // Prints the notation of a value used by listings and traces: the type name, a blank, then
    // the payload. brief leaves out reference counts, names and string texts.
    void printValue(const KvoValue& value, bool brief);

    // The trace switch: whether tracing starts with the first instruction. The interpreter adopts
    // it when this debugger is attached.
    bool getTrace() const noexcept { return m_trace; }
    void setTrace(bool trace) noexcept { m_trace = trace; }

    // The interpreter this debugger is attached to (borrowed; null when detached).
    KvoInterpreter* getInterpreter() const noexcept { return m_interpreter; }
    void setInterpreter(KvoInterpreter* interpreter) noexcept { m_interpreter = interpreter; }

    KvoVirtualMachine* getVirtualMachine() const noexcept { return m_vm; }
    IKvoPrinter* getPrinter() const noexcept { return m_printer; }

private:
    // printValue below a nesting depth (variable entries print their values).
    void printValueAt(const KvoValue& value, bool brief, int depth);
    // printValue, or the missing-value marker for null.
    void printValueOrMarker(const KvoValue* value, bool brief);
    // The operand part of one listing line.
    void printListingOperand(KvoVector& procedure, std::uint8_t op, std::uint32_t operand);
    // The part of a trace line after "SP:%04x ".
    void printTraceOperands(ValPtr sp, ValPtr bp, ValPtr fp, std::uint8_t op, std::uint32_t operand);
    // printf-style output to the printer; nothing without one.
    void print(const KvoChar* fmt, ...);

    bool m_trace = false;
    KvoInterpreter* m_interpreter = nullptr;
    KvoVector* m_currentProc = nullptr;
    std::int32_t m_currentNargs = 0;
    KvoVirtualMachine* m_vm;
    IKvoPrinter* m_printer;
};
