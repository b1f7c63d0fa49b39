// KvoProcInfo: the frame record of one active bytecode procedure, and KvoErrorHandler, one
// exception handler installed by TRY. The interpreter keeps its frame records in a stack of
// fixed-address slots that it reuses, so entering a procedure allocates nothing once the stack
// has reached its depth; handler records come from a free list in the same way.
//
// Stack layout of an activation, bottom to top: BP, the slot that held the called value; the
// arguments (argument i at BP+1+i); FP, the slot below the temporaries (temporary i at FP+1+i,
// temporary 0 the exception slot); then the working slots of expressions.
#pragma once

#include <cstdint>

#include "values/KvoBuffer.h"
#include "values/KvoString.h"
#include "values/ValPtr.h"

class KvoClass;
class KvoInterpreter;
class KvoProcInfo;

// One installed exception handler. Handlers form a last-in-first-out list per frame.
class KVO_API KvoErrorHandler
{
public:
    // The code offset at which the catch block starts.
    std::uint32_t getAddress() const noexcept { return m_address; }
    // The stack position saved when the handler was installed; unwinding cuts the stack back to it.
    const ValPtr& getSP() const noexcept { return m_sp; }
    // The handler installed before this one in the same frame, or null.
    KvoErrorHandler* getNext() const noexcept { return m_next; }

private:
    friend class KvoInterpreter;
    friend class KvoProcInfo;

    std::uint32_t m_address = 0;
    ValPtr m_sp;
    KvoErrorHandler* m_next = nullptr;
};

class KVO_API KvoProcInfo
{
public:
    // A record for procedure (retained, together with its code buffer, for the record's life, so
    // the running code cannot be freed under the interpreter), entered with nargs arguments
    // (defaults included). bp, fp: the frame positions in the interpreter's stack. detached:
    // getCaller() reports no caller.
    KvoProcInfo(KvoInterpreter& interpreter, KvoVector* procedure, int nargs, ValPtr bp, ValPtr fp, bool detached);
    KvoProcInfo(const KvoProcInfo&) = delete;
    KvoProcInfo& operator=(const KvoProcInfo&) = delete;
    // Removes every handler still installed and releases the procedure. Inline: every return
    // from a procedure runs it.
    ~KvoProcInfo()
    {
        while (m_handlers)
            popErrorHandler();
        if (m_codeBuffer)
            m_codeBuffer->release();
        if (m_procedure)
            m_procedure->release();
    }

    // Element i of the procedure vector, or null when i lies outside it.
    const KvoValue* operator[](std::uint32_t i) const noexcept;
    // The procedure vector (borrowed).
    KvoVector* getProcedure() const noexcept { return m_procedure; }
    // The code bytes, or null when element 0 is not a buffer; getCodeSize() is their number.
    const std::uint8_t* getCode() const noexcept
    {
        return m_codeBuffer ? static_cast<const KvoBuffer*>(m_codeBuffer)->data() : nullptr;
    }
    std::uint32_t getCodeSize() const noexcept { return m_codeBuffer ? m_codeBuffer->size() : 0; }
    explicit operator const std::uint8_t*() const noexcept { return getCode(); }

    int getNargs() const noexcept { return m_nargs; }
    // Element 2 (the name), or "<unnamed>" when it is not a string.
    const KvoChar* getName() const noexcept;
    // Element 1 (the owning class), or null for a global function.
    KvoClass* getClass() const noexcept;

    ValPtr& bp() noexcept { return m_bp; }
    ValPtr& fp() noexcept { return m_fp; }

    // The frame of the calling procedure; null at the outermost level or when detached.
    KvoProcInfo* getCaller() const noexcept { return m_detached ? nullptr : m_parent; }
    KvoProcInfo* getParent() const noexcept { return m_parent; }
    void setParent(KvoProcInfo* parent) noexcept { m_parent = parent; }

    // The offset of the instruction this frame executes next (for a caller frame: the one after
    // its CALL or SEND).
    std::uint32_t getInstructionOffset() const noexcept { return m_pc; }
    // The source name and line the procedure last reported (code compiled with line
    // information); null and -1 before its first report.
    const KvoString* getSourceName() const noexcept { return m_sourceName; }
    std::int32_t getLine() const noexcept { return m_line; }

    // The local-variable information (last element of the procedure when it has that type), or
    // null. Names below are borrowed from it; each is null when absent or out of range.
    KvoVector* getLocalVarInfo() const noexcept;
    KvoString* getArgumentName(std::uint32_t i) const noexcept;
    KvoString* getLocalVarName(std::uint32_t i) const noexcept;
    // The name of the static local stored at procedure element index.
    KvoString* getLocalStaticVarName(std::uint32_t index) const noexcept;

    // Installs a handler at code offset address that cuts the stack back to sp.
    void pushErrorHandler(std::uint32_t address, ValPtr sp);
    // Removes the innermost handler; false when none is installed.
    bool popErrorHandler() noexcept;
    // The innermost handler, or null.
    KvoErrorHandler* getEHStack() const noexcept { return m_handlers; }

private:
    friend class KvoInterpreter;

    // The interpreter's form: codeBuffer is element 0 of procedure, already checked.
    // stack: the interpreter itself, as the vector of its stack.
    KvoProcInfo(KvoInterpreter& interpreter, KvoVector* stack, KvoVector* procedure, KvoBuffer* codeBuffer, int nargs,
                int bp, int fp)
        : m_interpreter(interpreter), m_procedure(procedure), m_codeBuffer(codeBuffer), m_bp(stack, bp), m_fp(stack, fp),
          m_nargs(nargs), m_detached(false)
    {
        m_procedure->addRef();
        m_codeBuffer->addRef();
    }

    KvoInterpreter& m_interpreter;
    KvoErrorHandler* m_handlers = nullptr;
    KvoVector* m_procedure;
    KvoBuffer* m_codeBuffer = nullptr;
    ValPtr m_bp;
    ValPtr m_fp;
    int m_nargs;
    KvoProcInfo* m_parent = nullptr;
    bool m_detached;

    // How the frame ends: whether the run loop that entered it returns then, and what the
    // caller does with the result (operator methods); see setEnding.
    void setEnding(bool entry, std::uint8_t resultAction) noexcept
    {
        m_isEntry = entry;
        m_resultAction = resultAction;
        settleReturn();
    }
    // m_returnsPlainly after a change of what it sums up.
    void settleReturn() noexcept { m_returnsPlainly = !m_isEntry && m_resultAction == 0 && !m_handlers; }

    // Saved execution state while the frame is not the innermost one.
    bool m_isEntry = false;          // the run loop that entered this frame returns when it ends
    std::uint8_t m_width = 1;        // current operand width
    std::uint8_t m_resultAction = 0; // what the caller does with the result (operator methods)
    // No entry, no result action and no error handler: a return needs none of their work.
    bool m_returnsPlainly = true;
    std::uint32_t m_pc = 0;          // offset of the next instruction
    // The last reported position; the name is a literal of the procedure, which the frame holds.
    const KvoString* m_sourceName = nullptr;
    std::int32_t m_line = -1;
};
