// KvoInterpreter: executes bytecode procedures. The interpreter is a KvoVector whose elements
// are the value stack; SP is the top slot. Script-to-script calls (CALL, SEND, and operator
// methods) run in one dispatch loop with frame records on a reusable frame stack, so they never
// recurse on the C++ stack; only native code that calls back into scripts (call, send, invoke
// from a native function, script destructors) nests a new run of the loop, and that nesting is
// limited.
//
// Errors are script exceptions: a failing operation stores the exception value, sets the error
// text and returns false (returnError); the loop then unwinds to the innermost handler of the
// running procedure or of one of its callers.
//
// Invariants kept by the loop: every slot above SP is NULL at instruction boundaries; the
// stack vector always holds SP; no instruction reads or writes outside the code, the procedure
// or its own frame (a violation raises "invalid bytecode").
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "values/KvoClass.h"
#include "values/KvoObject.h"
#include "values/KvoString.h"
#include "values/KvoVector.h"
#include "values/ValPtr.h"
#include "vm/IKvoDebugHooks.h"
#include "vm/KvoProcInfo.h"

class KvoDebugger;
class KvoTraceback;
class KvoVirtualMachine;

// Most bytecode frames active at once; one more call raises "stack overflow".
constexpr int KVO_MAX_CALL_DEPTH = 100000;
// Most value-stack slots (16 bytes each); growing past it raises "stack overflow".
constexpr std::uint32_t KVO_MAX_STACK_SLOTS = 1u << 21;
// Most nested entries from native code into the interpreter (each nests C++ frames of the
// interpreter and the native function); one more raises "stack overflow".
constexpr int KVO_MAX_NESTED_RUNS = 200;

class KVO_API KvoInterpreter : public KvoVector
{
public:
    // An idle interpreter for vm (passed to every native function): one NULL slot, SP at 0, no
    // debugger, all switches off. symbols and classes: the machine's global symbols and classes
    // (borrowed). hooks: the machine's debugging hooks (borrowed; null: no hooks, NEWLINE keeps
    // the step state).
    KvoInterpreter(KvoVirtualMachine& vm, KvoDictionary& symbols, KvoDictionary& classes, IKvoDebugHooks* hooks);
    KvoInterpreter(const KvoInterpreter&) = delete;
    KvoInterpreter& operator=(const KvoInterpreter&) = delete;
    // Releases queued destructor objects without running their destructors, ends every frame
    // and empties the stack.
    ~KvoInterpreter() override;

    // Back to idle: the stack holds one NULL slot with SP at 0; the error text and the cancel
    // request are cleared. Only valid while no procedure runs.
    void reset();
    // Resets, then calls the global function name with argc arguments, each a new string holding
    // argv[i]. False (without an error) when name is not a global symbol or not a function;
    // false after an uncaught exception. The result is left at SP.
    bool execute(const KvoChar* name, int argc, const KvoChar** argv);
    // Runs empty destructor queues and clears the stack while the machine still knows this
    // interpreter, so that destructors of objects left on the stack run. Used before deletion.
    void shutdown();

    // Calls procedure with the nargs values at SP-nargs+1 .. SP, filling missing trailing
    // arguments from its defaults, and runs it to completion. The result is left at SP (the
    // slot below the first argument). True on return or cancellation, false on an uncaught
    // exception.
    bool call(int nargs, KvoVector* procedure);
    // Sends a message to the object at SP-nargs. With a name, the nargs values above it are the
    // arguments; without one (the SEND instruction), SP-nargs+1 holds the selector (a method
    // name string or the method procedure) and the receiver becomes argument 0 in its place.
    // The result replaces the receiver and SP moves to it.
    bool send(int nargs, const KvoChar* name);
    bool send(int nargs, KvoString* name = nullptr);

    // Calls the global function functionName with the elements of args (may be null) and copies
    // its result into result. The stack below SP is left untouched.
    bool invoke(KvoValue& result, const KvoChar* functionName, KvoVector* args);
    // Calls function (a script or library function value, or an object with a call operator)
    // with the elements of args, as invoke does.
    bool invokeValue(KvoValue& result, const KvoValue& function, KvoVector* args);
    // Sends methodName to object (borrowed) with the elements of args.
    bool invokeMember(KvoValue& result, KvoObject* object, const KvoChar* methodName, KvoVector* args);
    // Calls the static function or class variable name of c (bases searched).
    bool invokeStatic(KvoValue& result, KvoClass* c, const KvoChar* name, KvoVector* args);
    // Creates an object of the class named className (or of c) and sends it the class name (its
    // constructor) with args; result receives the constructor's result. On failure the new
    // object is released.
    bool createObject(KvoValue& result, const KvoChar* className, KvoVector* args);
    bool createObject(KvoValue& result, KvoClass* c, KvoVector* args);

    // True when value has type, or type is an owning kind and value is its reference twin
    // (KVT_STRING accepts only itself); otherwise raises the type error.
    bool checkType(const KvoValue& value, KvoValueType type);
    // Raises "invalid value type <actual>, <expected> expected"; returns false.
    bool badType(KvoValueType actual, KvoValueType expected);
    // Raises "no method for name <name>"; returns false.
    bool noMethod(const KvoChar* name);
    // Raises a new string made of text followed by detail (when given); returns false.
    bool returnError(const KvoChar* text, const KvoChar* detail = nullptr);
    // Raises value; returns false.
    bool returnError(const KvoValue& value);
    // The text of the last error, ending with a newline; kept until reset().
    KvoString& errors() noexcept { return m_errors; }
    // The exception value most recently raised (NULL before the first).
    const KvoValue& getException() const noexcept { return m_exception; }

    // The string of a string value (borrowed from the value); for an object whose class has the
    // instance method "toString", the string that method returns (kept alive until the next
    // call); null otherwise.
    KvoString* getStringFromValue(const KvoValue& value);

    // Operators on the stack top (the left operand at SP-1, the right one at SP). Each runs any
    // operator method to completion, leaves its result in the left slot with SP moved down, and
    // returns false after raising.
    bool doOP_ADD();
    bool doOP_SUB();
    bool doOP_MUL();
    bool doOP_DIV();
    bool doOP_REM();
    bool doOP_BAND();
    bool doOP_BOR();
    bool doOP_XOR();
    bool doOP_BNOT();
    bool doOP_SHL();
    bool doOP_SHR();
    bool doOP_MKREF();
    bool doOP_VREF();
    bool doOP_VSET();
    // Leaves the comparison value (negative, zero, positive) / the equality result in the left slot.
    bool doCompare();
    bool doEquals();

    KvoVirtualMachine* getVirtualMachine() const noexcept { return &m_vm; }
    // The frame of the innermost running procedure, or null when idle.
    KvoProcInfo* getProcInfo() const noexcept { return m_frame; }
    // The stack pointer. Native functions receive it by reference as their argument cursor.
    ValPtr& getSP() noexcept { return m_sp; }

    // Attaches debugger (borrowed; null detaches): the old one is told to forget this
    // interpreter and trace and step go off; the new one is attached and trace takes its setting.
    void setDebugger(KvoDebugger* debugger);
    KvoDebugger* getDebugger() const noexcept { return m_debugger; }
    // Where the chain of active calls is recorded when an error starts unwinding (borrowed;
    // null, the default, records nothing).
    void setTraceback(KvoTraceback* traceback) noexcept { m_traceback = traceback; }
    bool getTrace() const noexcept { return m_trace; }
    bool getStep() const noexcept { return m_step; }
    void setStep(bool step);

    // Break requests: when allowed, the machine's breakRequest() is asked before every
    // instruction. May be changed from another thread.
    bool getAllowBreakRequest() const noexcept { return m_allowBreakRequest.load(std::memory_order_relaxed); }
    void setAllowBreakRequest(bool allow);
    // Asks the running script to stop at its next instruction; every active run returns true.
    // Safe to call from another thread. Cleared by reset().
    void cancel() noexcept;
    bool isCancelled() const noexcept { return m_cancelled.load(std::memory_order_relaxed); }

    // Makes the native function now running fail with "stack overflow" when it returns: a host
    // was refused a nested run from one of its callbacks.
    void raiseStackOverflowOnReturn() noexcept { m_overflowPending = true; }

    // Nested runs of the machine's other interpreters that this one runs inside (a function that
    // a host executes from a callback of a running script); they count toward
    // KVO_MAX_NESTED_RUNS. Set before the first run.
    void setOuterNesting(int nesting) noexcept { m_outerNesting = nesting; }
    // Active nested runs, the outer interpreters' included.
    int getNesting() const noexcept { return m_outerNesting + m_nesting; }

    // Takes a reference to a dying object whose class has a script destructor; the destructor
    // runs at the next instruction boundary (or when the outermost call ends), then the
    // reference is released. Called by the machine.
    void queueFinalizer(KvoObject* object);

private:
    // How a call was carried out.
    enum class Flow : std::uint8_t {
        FAIL,   // raised an exception
        DONE,   // completed; the result is at SP
        PUSHED, // a frame was pushed for the run loop to execute
    };
    // What the caller makes of an operator method's result once the method returns (kept in
    // the method's frame when it runs in the loop). RA_NEGATE may be added to the comparisons.
    enum ResultAction : std::uint8_t {
        RA_NONE = 0,
        RA_COMPARE,   // an integer is required; it is the comparison value
        RA_LT,        // comparison value < 0 -> 1 or 0
        RA_LE,
        RA_GE,
        RA_GT,
        RA_CMP_EQ,    // comparison value == 0 -> 1 or 0
        RA_CMP_NE,
        RA_EQUALS,    // an integer is required; it is the equality result
        RA_EQUALS_NE, // an integer is required; the result is its negation (0 -> 1, else 0)
        RA_NEGATE = 0x80,
    };
    // The reserved message names the interpreter sends itself.
    enum ReservedName : std::uint8_t {
        RN_OP_ADD, RN_OP_SUB, RN_OP_MUL, RN_OP_DIV, RN_OP_REM,
        RN_OP_BAND, RN_OP_BOR, RN_OP_XOR, RN_OP_SHL, RN_OP_SHR,
        RN_OP_ADD_R, RN_OP_SUB_R, RN_OP_MUL_R, RN_OP_DIV_R, RN_OP_REM_R,
        RN_OP_BAND_R, RN_OP_BOR_R, RN_OP_XOR_R, RN_OP_SHL_R, RN_OP_SHR_R,
        RN_OP_NEG, RN_OP_BNOT, RN_OP_INC, RN_OP_DEC, RN_OP_PINC, RN_OP_PDEC,
        RN_OP_VREF, RN_OP_VSET, RN_OP_CALL, RN_EQUALS, RN_COMPARE, RN_TO_STRING, RN_DTOR,
        RN_COUNT
    };
    // One remembered method lookup (see lookupMethod). The entry holds a count of the selector
    // string, so no other string can take its address while it is remembered.
    struct SendCacheEntry {
        const KvoClass* receiverClass = nullptr;
        const KvoClass* frameClass = nullptr;
        KvoString* selector = nullptr;
        std::uint64_t selectorChanges = 0; // the selector's changes() when it was looked up
        std::uint64_t keyChanges = 0;      // the changes() of the entry's key then
        KvoDictionaryEntry* entry = nullptr;
        std::uint64_t version = 0;
        std::uint8_t prefix = 0; // the selector's stripped prefix: 0 none, 1 "BC_", 2 "DC_"

        // Whether this remembers the lookup of selector (without prefix) in receiverClass and
        // nothing it depends on changed since: no member dictionary, neither text.
        [[gnu::always_inline]] bool holds(const KvoClass* receiver, const KvoString* name) const noexcept
        {
            return receiverClass == receiver && selector == name && selectorChanges == name->changes() &&
                   version == KvoDictionary::memberVersion() && keyChanges == entry->getKey()->changes();
        }
    };
    static constexpr std::size_t SEND_CACHE_SIZE = 256;
    // The cache entry that remembers the lookup of selector in receiverClass.
    SendCacheEntry& sendCacheSlot(const KvoClass* receiverClass, const KvoString* selector) noexcept
    {
        auto hash = reinterpret_cast<std::uintptr_t>(receiverClass) ^ (reinterpret_cast<std::uintptr_t>(selector) >> 3);
        return m_sendCache[(hash ^ (hash >> 11)) % SEND_CACHE_SIZE];
    }
    static constexpr int FRAMES_PER_CHUNK = 64;
    struct FrameChunk;
    class NestGuard;

    friend class KvoProcInfo;

    // The run loop (KvoInterpreterLoop.cpp): executes from the current frame until the entry
    // frame that started this run ends. True on return or cancellation.
    bool run();
    // Host polls between instructions; false when the run must stop (cancelled).
    [[gnu::visibility("hidden")]] bool serviceAttention();
    // Unwinds to the innermost handler of this run: true when one was found (execution goes on
    // there), false when the run's entry frame was left.
    [[gnu::visibility("hidden")]] bool unwindToHandler();
    // Leaves every frame of this run after a cancel.
    void leaveCancelledRun();
    void updateHookAttention();
    // Called after trace or step changed: when the debugger has just become active it takes the
    // current procedure from the running frame (never from what it remembered while inactive);
    // when it has just become inactive it forgets the procedure.
    void followFrameInDebugger(bool wasActive);

    // Frames.
    [[gnu::visibility("hidden")]] KvoProcInfo* pushFrame(KvoVector* procedure, KvoBuffer* code, int nargs, int bp, int fp);
    [[gnu::visibility("hidden")]] void popFrame();
    // Ends the running procedure (RETURN): its result at SP replaces the called value and the
    // frame goes. Returns the ended frame's result action; entry: whether it was the entry
    // frame of its run.
    [[gnu::visibility("hidden")]] std::uint8_t leaveProcedure(bool& entry);
    // Moves the value at top into calledSlot, clears the slots above it and sets SP there.
    [[gnu::visibility("hidden")]] void collectInto(int calledSlot, int top);
    // The second half of collectInto: releases dropped (if any), then clears the slots from
    // `from` down to calledSlot + 1, and sets SP to calledSlot.
    [[gnu::visibility("hidden")]] void releaseSlotsFrom(int calledSlot, int from, KvoRefObject* dropped);
    // The same after foreign code ran: also cuts the stack vector back (see collectResult).
    [[gnu::visibility("hidden")]] void cutBackTo(int calledSlot);

    // Enters procedure from the run loop with the nargs values above SP-nargs (a frame for the
    // loop to run, or an exception raised); a well-formed call takes a short path that also
    // carries out the usual procedure prologue.
    [[gnu::visibility("hidden")]] bool enterScript(KvoVector* procedure, int nargs, std::uint8_t action);
    // The bytecode method that a SEND with this receiver and selector runs, when the plain case
    // applies (an object, a method name or method reference, a bytecode method); else null, and
    // found is the class member that the selector named, if the lookup found one.
    [[gnu::visibility("hidden")]] KvoVector* findScriptMethod(const KvoValue& receiver, const KvoValue& selector,
                                                              KvoDictionaryEntry*& found);
    // The bytecode method that the send cache remembers for a method name without prefix sent
    // to an object, else null (the lookup decides). Defined beside the run loop, its one user.
    KvoVector* cachedScriptMethod(const KvoValue& receiver, const KvoValue& selector) noexcept;

    // Out-of-line parts of instructions, working on the top at SP (KvoInterpreterLoop.cpp).
    [[gnu::visibility("hidden")]] std::int32_t topAsInteger() const noexcept;
    [[gnu::visibility("hidden")]] Flow concatenateTop();
    // Calls a native function on the current stack; a C++ exception becomes a script error.
    [[gnu::visibility("hidden")]] bool invokeNative(KvoNativeFunc function, int count);
    [[gnu::visibility("hidden")]] Flow newObject();
    [[gnu::visibility("hidden")]] Flow deleteTop();
    [[gnu::visibility("hidden")]] void traceOn(bool step);
    [[gnu::visibility("hidden")]] void notifyLine(std::uint32_t line);

    // Calls: see Flow. nested runs a pushed procedure to completion before returning.
    [[gnu::visibility("hidden")]] Flow enterProcedure(KvoVector* procedure, int nargs, bool nested, std::uint8_t action);
    [[gnu::visibility("hidden")]] Flow callNative(KvoNativeFunc function, int calledSlot, int count, bool nested, std::uint8_t action);
    [[gnu::visibility("hidden")]] Flow callValue(int calledSlot, int count, bool nested);
    // found: the member that the selector names for this receiver when the caller has just
    // looked it up (null: sendMessage looks it up).
    [[gnu::visibility("hidden")]] Flow sendMessage(int nargs, KvoString* name, bool nested, std::uint8_t action,
                                                   KvoDictionaryEntry* found = nullptr);
    // Result collection after a native call: the top moves to calledSlot, the stack is cut back;
    // raises "stack corrupted" when the native left SP below calledSlot.
    [[gnu::visibility("hidden")]] bool collectResult(int calledSlot);
    // Post-processing of an operator method's result at SP (comparison and equality).
    [[gnu::visibility("hidden")]] bool applyResultAction(std::uint8_t action);
    // The function member the selector names for an object of receiverClass, or null; a null
    // selector names nothing.
    [[gnu::visibility("hidden")]] KvoDictionaryEntry* lookupMethod(KvoClass* receiverClass, KvoString* selector);
    KvoDictionaryEntry* findMethodUncached(KvoClass* receiverClass, KvoClass* frameClass, const KvoChar* selector,
                                           std::uint8_t& prefix) const;
    // True when the class (or a base) has an instance method of this name.
    static bool hasInstanceMethod(KvoClass* c, const KvoChar* name) noexcept;
    // The shared string of a reserved message name (created on first use).
    KvoString* reservedName(ReservedName id);

    // Operators (KvoOperators.cpp); nested as in the Flow functions. Each works on the top one,
    // two or three slots and expects SP to be inside the running frame.
    [[gnu::visibility("hidden")]] Flow arithmetic(std::uint8_t op, bool nested);
    [[gnu::visibility("hidden")]] Flow bitwise(std::uint8_t op, bool nested);
    [[gnu::visibility("hidden")]] Flow unaryOperator(std::uint8_t op, bool nested);
    [[gnu::visibility("hidden")]] Flow compareValues(std::uint8_t action, bool nested);
    [[gnu::visibility("hidden")]] Flow equalsValues(bool notEqual, bool nested);
    [[gnu::visibility("hidden")]] Flow indexRead(bool nested);
    [[gnu::visibility("hidden")]] Flow indexWrite(bool nested);
    // Sends the binary operator message for op to the left operand, or the reversed one to the
    // right operand (after exchanging the two) when only that one is an object.
    Flow sendBinary(std::uint8_t op, bool reversed, bool nested);
    // Replaces the two operands by result and moves SP down.
    Flow replaceOperands(int count, KvoValue&& result);
    static bool finish(Flow flow) noexcept { return flow != Flow::FAIL; }

    // Stack helpers.
    int stackHighWater() const noexcept { return static_cast<int>(size()) - 1; }
    // Makes index a slot of the stack; raises "stack overflow" past the limit.
    [[gnu::visibility("hidden")]] bool growStack(int index);
    // Pushes the elements of args above SP.
    bool pushArguments(KvoVector* args, int& count);
    // Copies the result of an invoke-family call and cuts the stack back to savedSize / savedSP.
    bool finishInvoke(Flow flow, KvoValue& result, std::uint32_t savedSize, const ValPtr& savedSP);
    // Runs queued destructors when no run of the loop is active any more.
    void finishOutermost();

    // Destructor queue.
    void runFinalizers();
    void runDestructor(KvoObject* object);

    // Raise "invalid bytecode" and "stack overflow".
    bool invalidBytecode();
    bool stackOverflow();

    // Attention bits: anything the loop must look at between instructions.
    static constexpr std::uint32_t ATTN_CANCEL = 1;
    static constexpr std::uint32_t ATTN_HOOKS = 2;
    static constexpr std::uint32_t ATTN_FINALIZE = 4;

    KvoVirtualMachine& m_vm;
    KvoDictionary& m_symbols;
    KvoDictionary& m_classes;
    IKvoDebugHooks* m_hooks;
    ValPtr m_sp;
    KvoString m_errors;
    KvoValue m_exception;
    KvoValue m_stringResult;
    KvoProcInfo* m_frame = nullptr;
    int m_depth = 0;
    // Frames the allocated chunks hold, up to the call depth limit: a frame at a smaller depth
    // has its slot ready.
    int m_readyFrames = 0;
    int m_nesting = 0;
    int m_outerNesting = 0;
    bool m_overflowPending = false;
    std::vector<std::unique_ptr<FrameChunk>> m_frameChunks;
    KvoErrorHandler* m_freeHandlers = nullptr;
    KvoDebugger* m_debugger = nullptr;
    KvoTraceback* m_traceback = nullptr;
    bool m_trace = false;
    bool m_step = false;
    bool m_closing = false;
    bool m_finalizing = false;
    std::atomic<bool> m_allowBreakRequest{false};
    std::atomic<bool> m_cancelled{false};
    std::atomic<std::uint32_t> m_attention{0};
    std::vector<KvoObject*> m_finalizers;
    std::array<SendCacheEntry, SEND_CACHE_SIZE> m_sendCache{};
    std::array<KvoString*, RN_COUNT> m_reservedNames{};
};

// Fixed-address storage for frame records.
struct KvoInterpreter::FrameChunk {
    alignas(KvoProcInfo) unsigned char bytes[sizeof(KvoProcInfo) * FRAMES_PER_CHUNK];
    void* slot(int i) noexcept { return bytes + sizeof(KvoProcInfo) * static_cast<std::size_t>(i); }
};

// Counts native code entering the interpreter (each entry nests C++ frames of the interpreter).
class KvoInterpreter::NestGuard
{
public:
    explicit NestGuard(KvoInterpreter& interpreter) noexcept : m_interpreter(interpreter) { ++m_interpreter.m_nesting; }
    ~NestGuard() { --m_interpreter.m_nesting; }
    NestGuard(const NestGuard&) = delete;
    NestGuard& operator=(const NestGuard&) = delete;
    bool tooDeep() const noexcept { return m_interpreter.getNesting() > KVO_MAX_NESTED_RUNS; }

private:
    KvoInterpreter& m_interpreter;
};
