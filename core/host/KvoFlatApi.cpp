// The embedding half of the flat interface (kvo.h): host functions that scripts call, global
// variables, calls with typed arguments, typed results, a user-data pointer and the last error.
//
// Host functions. A library function is a plain KvoNativeFunc that learns nothing of the name
// it was called by, so every host function needs a native function of its own: a fixed set of
// trampolines, one per slot of a process-wide table that binds the slot to its machine, the
// host's callback and its user data. A slot stays bound until its machine is deleted (a name
// registered again after Kvo_Reinit gets its old slot back); slots are handed out round-robin,
// so a freed slot is taken again as late as possible. A trampoline called by another machine
// than its slot's (a copy made with cloneSymbols, say) raises an error instead of calling.
//
// Errors. Every entry point checks its arguments first and changes nothing when it refuses;
// the refusal's text goes to the machine's last error, or for a bad machine handle or call
// context to a per-thread text that Kvo_GetLastError(NULL) returns.
#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <utility>

#include "host/KvoFlatInternal.h"
#include "host/KvoVirtualMachine.h"
#include "host/kvo.h"
#include "platform/KvoFormat.h"
#include "platform/KvoText.h"
#include "platform/KvoWinTypes.h"
#include "stdlib/KvoLibCall.h"
#include "values/KvoString.h"
#include "values/KvoValue.h"
#include "values/KvoVector.h"
#include "vm/KvoInterpreter.h"

static_assert(std::is_same_v<KvoWindowHandle, HWND>);

namespace {

// Most host functions bound at once in the process.
constexpr std::size_t HOST_FUNCTION_SLOTS = 1024;

// The error of a call without a valid machine or call context.
thread_local std::string threadError;

// What the interface keeps with each machine.
struct FlatState final : KvoVirtualMachine::HostState {
    explicit FlatState(KvoVirtualMachine& machine) noexcept : owner(machine) {}
    ~FlatState() override;

    KvoVirtualMachine& owner;
    void* userData = nullptr;
    std::string lastError;
    std::string resultText; // Kvo_GetStringResult
    std::string globalText; // Kvo_GetGlobalString
    // Host function name -> its slot.
    std::unordered_map<std::u16string, std::size_t> slots;
};

FlatState& stateOf(KvoVirtualMachine& machine)
{
    if (auto* state = dynamic_cast<FlatState*>(machine.hostState()))
        return *state;
    auto state = std::make_unique<FlatState>(machine);
    FlatState& made = *state;
    machine.setHostState(std::move(state));
    return made;
}

// ---- The slots of host functions ----

struct HostSlot {
    KvoVirtualMachine* owner = nullptr;
    KvoHostFunction function = nullptr;
    void* userData = nullptr;
    std::u16string name;
};

class SlotTable
{
public:
    std::unique_lock<std::mutex> hold() { return std::unique_lock<std::mutex>(m_lock); }
    // Under the lock: a free slot, bound to owner; HOST_FUNCTION_SLOTS when none is free.
    std::size_t bind(KvoVirtualMachine* owner)
    {
        for (std::size_t tried = 0; tried < HOST_FUNCTION_SLOTS; ++tried) {
            const std::size_t slot = (m_next + tried) % HOST_FUNCTION_SLOTS;
            if (!m_slots[slot].owner) {
                m_slots[slot].owner = owner;
                m_next = (slot + 1) % HOST_FUNCTION_SLOTS;
                return slot;
            }
        }
        return HOST_FUNCTION_SLOTS;
    }
    HostSlot& operator[](std::size_t slot) { return m_slots[slot]; }

private:
    std::mutex m_lock;
    std::array<HostSlot, HOST_FUNCTION_SLOTS> m_slots{};
    std::size_t m_next = 0;
};

SlotTable& slotTable()
{
    // Never destroyed: machines deleted by a host's static destructors still unbind their slots.
    static SlotTable* table = new SlotTable;
    return *table;
}

FlatState::~FlatState()
{
    SlotTable& table = slotTable();
    const auto lock = table.hold();
    for (const auto& [name, slot] : slots) {
        if (table[slot].owner == &owner)
            table[slot] = HostSlot{};
    }
}

bool callHost(std::size_t slot, KvoVirtualMachine* vm, int argc, ValPtr& args);

template <std::size_t Slot>
bool hostTrampoline(KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    return callHost(Slot, vm, argc, args);
}

template <std::size_t... Slots>
constexpr std::array<KvoNativeFunc, sizeof...(Slots)> makeTrampolines(std::index_sequence<Slots...>)
{
    return {&hostTrampoline<Slots>...};
}

constexpr std::array<KvoNativeFunc, HOST_FUNCTION_SLOTS> trampolines =
    makeTrampolines(std::make_index_sequence<HOST_FUNCTION_SLOTS>{});

// ---- Values ----

KvoType kindOf(const KvoValue& value) noexcept
{
    switch (value.getType()) {
    case KVT_NULL:
        return KVO_TYPE_NIL;
    case KVT_INTEGER:
        return KVO_TYPE_INT;
    case KVT_FLOAT:
    case KVT_DOUBLE:
        return KVO_TYPE_DOUBLE;
    case KVT_STRING:
    case KVT_STRINGREF:
        return value.getString() ? KVO_TYPE_STRING : KVO_TYPE_OTHER;
    default:
        return KVO_TYPE_OTHER;
    }
}

const char* kindName(int kind) noexcept
{
    switch (kind) {
    case KVO_TYPE_NIL:
        return "nil";
    case KVO_TYPE_INT:
        return "an integer";
    case KVO_TYPE_DOUBLE:
        return "a double";
    case KVO_TYPE_STRING:
        return "a string";
    default:
        return "another kind of value";
    }
}

// The readers shared by arguments, globals and results: true after storing the value; false
// with the refusal's text in error.
bool readInt(const KvoValue& value, const std::string& what, std::int32_t* out, std::string& error)
{
    if (kindOf(value) != KVO_TYPE_INT) {
        error = what + " is " + kindName(kindOf(value)) + ", not an integer";
        return false;
    }
    *out = value.getLong();
    return true;
}

bool readDouble(const KvoValue& value, const std::string& what, double* out, std::string& error)
{
    const KvoType kind = kindOf(value);
    if (kind != KVO_TYPE_INT && kind != KVO_TYPE_DOUBLE) {
        error = what + " is " + kindName(kind) + ", not a number";
        return false;
    }
    *out = value.getDouble();
    return true;
}

bool readString(const KvoValue& value, const std::string& what, std::string& out, std::string& error)
{
    if (kindOf(value) != KVO_TYPE_STRING) {
        error = what + " is " + kindName(kindOf(value)) + ", not a string";
        return false;
    }
    const KvoString* text = value.getString();
    out = kvoToUtf8(text->c_str(), text->length());
    return true;
}

// A script name: letters, digits and '_', not starting with a digit.
bool isIdentifier(const char* name) noexcept
{
    if (!*name || (*name >= '0' && *name <= '9'))
        return false;
    for (const char* c = name; *c; ++c) {
        const bool letter = (*c >= 'a' && *c <= 'z') || (*c >= 'A' && *c <= 'Z') || *c == '_';
        if (!letter && !(*c >= '0' && *c <= '9'))
            return false;
    }
    return true;
}

// ---- Entry points ----

// Runs body(machine, state) with vm counted in use; failure after recording the refusal when vm
// is not a live machine. Nothing escapes as a C++ exception.
template <class Result, class Body>
Result withVM(KvoVM* vm, Result failure, Body body) noexcept
{
    try {
        if (!kvoFlatEnterMachine(vm)) {
            threadError = vm ? "not a live machine handle" : "null machine handle";
            return failure;
        }
        struct Leave {
            KvoVM* vm;
            ~Leave() { kvoFlatLeaveMachine(vm); }
        } leave{vm};
        KvoVirtualMachine& machine = *reinterpret_cast<KvoVirtualMachine*>(vm);
        return body(machine, stateOf(machine));
    } catch (...) {
        threadError = "internal failure";
        return failure;
    }
}

// The failure value after recording error as the machine's last error.
template <class Result>
Result refuse(FlatState& state, Result failure, std::string error)
{
    state.lastError = std::move(error);
    return failure;
}

// The global variable entry name, or null after recording why there is none.
KvoDictionaryEntry* findVariable(KvoVirtualMachine& machine, FlatState& state, const char* name)
{
    if (!name) {
        state.lastError = "null variable name";
        return nullptr;
    }
    KvoDictionaryEntry* entry = machine.symbols().find(kvoFromUtf8(name).c_str());
    // A name that scripts use without defining it is a global variable too (SYM_NONE, filled by
    // the first assignment).
    if (!entry) {
        state.lastError = std::string("no global variable '") + name + "'";
        return nullptr;
    }
    if (entry->getSymbolType() != SYM_VARIABLE && entry->getSymbolType() != SYM_NONE) {
        state.lastError = std::string("'") + name + "' is a function, not a variable";
        return nullptr;
    }
    return entry;
}

// Stores make() as the global variable name (created when missing); refuses function names.
template <class Make>
int setGlobal(KvoVM* vm, const char* name, Make make)
{
    return withVM(vm, 0, [&](KvoVirtualMachine& machine, FlatState& state) {
        if (!name || !isIdentifier(name))
            return refuse(state, 0, name ? std::string("'") + name + "' is not a valid variable name" : "null variable name");
        const std::u16string key = kvoFromUtf8(name);
        KvoDictionaryEntry* entry = machine.symbols().find(key.c_str());
        if (entry && entry->getSymbolType() != SYM_NONE && entry->getSymbolType() != SYM_VARIABLE)
            return refuse(state, 0, std::string("'") + name + "' is a function, not a variable");
        KvoValue value = make();
        entry = machine.symbols()[key.c_str()];
        entry->setValue(value);
        entry->setSymbolType(SYM_VARIABLE);
        return 1;
    });
}

// Reads the global variable name through read(value, what, out, error).
template <class Out, class Read>
int getGlobal(KvoVM* vm, const char* name, Out* out, Read read)
{
    return withVM(vm, 0, [&](KvoVirtualMachine& machine, FlatState& state) {
        if (!out)
            return refuse(state, 0, "null result pointer");
        KvoDictionaryEntry* entry = findVariable(machine, state, name);
        if (!entry)
            return 0;
        std::string error;
        if (!read(entry->getValue(), std::string("global variable '") + name + "'", out, error))
            return refuse(state, 0, std::move(error));
        return 1;
    });
}

} // namespace

// The host function call in progress. Contexts of one thread form a chain, innermost first, so
// that a context used after its call ended is recognised and refused.
struct KvoCallContext {
    KvoVirtualMachine* machine;
    FlatState* state;
    const std::u16string* name;
    int argc;
    ValPtr base; // the callee slot; the arguments follow it
    KvoValue result;
    bool raised = false;
    std::u16string error;
    std::map<int, std::string> texts; // UTF-8 arguments handed out, by index
    KvoCallContext* outer;
};

namespace {

thread_local KvoCallContext* activeCalls = nullptr;

bool isActive(const KvoCallContext* call) noexcept
{
    for (const KvoCallContext* c = activeCalls; c; c = c->outer) {
        if (c == call)
            return true;
    }
    return false;
}

// Runs body(call) for a call in progress; failure after recording the refusal otherwise.
template <class Result, class Body>
Result withCall(KvoCallContext* call, Result failure, Body body) noexcept
{
    try {
        if (!call || !isActive(call)) {
            threadError = call ? "call context used after its host function returned" : "null call context";
            return failure;
        }
        return body(*call);
    } catch (...) {
        threadError = "internal failure";
        return failure;
    }
}

// The argument index of call, or null after recording why there is none.
const KvoValue* argumentOf(KvoCallContext& call, int index)
{
    if (index < 0 || index >= call.argc) {
        call.state->lastError = "argument index " + std::to_string(index) + " out of range (" + kvoToUtf8(call.name->c_str()) +
                                " has " + std::to_string(call.argc) + " arguments)";
        return nullptr;
    }
    return &call.base[index + 1];
}

std::string argumentName(const KvoCallContext& call, int index)
{
    return "argument " + std::to_string(index) + " of " + kvoToUtf8(call.name->c_str());
}

template <class Out, class Read>
int readArgument(KvoCallContext* call, int index, Out* out, Read read)
{
    return withCall(call, 0, [&](KvoCallContext& c) {
        if (!out)
            return refuse(*c.state, 0, "null result pointer");
        const KvoValue* value = argumentOf(c, index);
        if (!value)
            return 0;
        std::string error;
        if (!read(*value, argumentName(c, index), out, error))
            return refuse(*c.state, 0, std::move(error));
        return 1;
    });
}

int setResult(KvoCallContext* call, KvoValue value)
{
    return withCall(call, 0, [&](KvoCallContext& c) {
        c.result = std::move(value);
        return 1;
    });
}

bool callHost(std::size_t slot, KvoVirtualMachine* vm, int argc, ValPtr& args)
{
    KvoLibCall library(vm, argc, args);
    if (!vm || !vm->interpreter())
        return false;
    HostSlot bound;
    {
        SlotTable& table = slotTable();
        const auto lock = table.hold();
        bound = table[slot];
    }
    if (bound.owner != vm || !bound.function)
        return library.fail(u"host function not available in this machine");
    KvoCallContext call{vm, &stateOf(*vm), &bound.name, argc, args, KvoValue(), false, std::u16string(), {}, activeCalls};
    call.base -= argc;
    activeCalls = &call;
    struct Unchain {
        KvoCallContext& call;
        ~Unchain() { activeCalls = call.outer; }
    } unchain{call};
    try {
        bound.function(&call, bound.userData);
    } catch (...) {
        return library.fail(u"host function failed: ", bound.name.c_str());
    }
    if (call.raised)
        return library.fail(call.error.c_str());
    return library.done(std::move(call.result));
}

} // namespace

// ---- Shared with KvoFlat.cpp ----

void kvoFlatSetLastError(KvoVirtualMachine* machine, std::string text)
{
    if (machine)
        stateOf(*machine).lastError = std::move(text);
    else
        threadError = std::move(text);
}

int KvoRecordingPrinter::vprint(const KvoChar* fmt, va_list args)
{
    if (fmt == nullptr)
        return -1;
    const std::u16string text = kvoFormatStringV(fmt, args);
    m_text += text.c_str();
    if (m_target)
        (*m_target)(u"%s", text.c_str());
    return static_cast<int>(text.size());
}

void kvoFlatReportFailure(KvoVirtualMachine& machine, const KvoRecordingPrinter& record, std::string fallback)
{
    std::string text = kvoToUtf8(record.text().c_str(), record.text().length());
    const std::size_t diagnostic = text.find("-->");
    if (diagnostic != std::string::npos)
        text.erase(0, diagnostic);
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.pop_back();
    kvoFlatSetLastError(&machine, text.empty() ? std::move(fallback) : std::move(text));
}

extern "C" {

KVO_API const char* Kvo_GetLastError(KvoVM* vm)
{
    try {
        if (vm && kvoFlatEnterMachine(vm)) {
            KvoVirtualMachine& machine = *reinterpret_cast<KvoVirtualMachine*>(vm);
            const char* text = stateOf(machine).lastError.c_str();
            kvoFlatLeaveMachine(vm);
            return text;
        }
        return threadError.c_str();
    } catch (...) {
        return "";
    }
}

KVO_API int Kvo_SetUserData(KvoVM* vm, void* data)
{
    return withVM(vm, 0, [data](KvoVirtualMachine&, FlatState& state) {
        state.userData = data;
        return 1;
    });
}

KVO_API void* Kvo_GetUserData(KvoVM* vm)
{
    return withVM(vm, static_cast<void*>(nullptr), [](KvoVirtualMachine&, FlatState& state) { return state.userData; });
}

KVO_API int Kvo_RegisterFunction(KvoVM* vm, const char* name, KvoHostFunction function, void* userdata)
{
    return withVM(vm, 0, [&](KvoVirtualMachine& machine, FlatState& state) {
        if (!name)
            return refuse(state, 0, "null function name");
        if (!isIdentifier(name))
            return refuse(state, 0, std::string("'") + name + "' is not a valid function name");
        if (!function)
            return refuse(state, 0, std::string("null callback for '") + name + "'");
        const std::u16string key = kvoFromUtf8(name);
        if (KvoDictionaryEntry* entry = machine.symbols().find(key.c_str()); entry && entry->getSymbolType() != SYM_NONE)
            return refuse(state, 0, std::string("'") + name + "' is already defined");
        SlotTable& table = slotTable();
        std::size_t slot;
        {
            const auto lock = table.hold();
            const auto known = state.slots.find(key);
            if (known != state.slots.end() && table[known->second].owner == &machine) {
                slot = known->second;
            } else {
                slot = table.bind(&machine);
                if (slot == HOST_FUNCTION_SLOTS)
                    return refuse(state, 0, "too many host functions (at most " + std::to_string(HOST_FUNCTION_SLOTS) + " in a process)");
            }
            table[slot].function = function;
            table[slot].userData = userdata;
            table[slot].name = key;
        }
        state.slots[key] = slot;
        if (!machine.registerNativeFunction(key.c_str(), trampolines[slot]))
            return refuse(state, 0, std::string("'") + name + "' could not be registered");
        return 1;
    });
}

KVO_API KvoVM* Kvo_CallMachine(KvoCallContext* call)
{
    return withCall(call, static_cast<KvoVM*>(nullptr), [](KvoCallContext& c) { return reinterpret_cast<KvoVM*>(c.machine); });
}

KVO_API int Kvo_ArgCount(KvoCallContext* call)
{
    return withCall(call, -1, [](KvoCallContext& c) { return c.argc; });
}

KVO_API int Kvo_ArgType(KvoCallContext* call, int index)
{
    return withCall(call, -1, [index](KvoCallContext& c) {
        const KvoValue* value = argumentOf(c, index);
        return value ? static_cast<int>(kindOf(*value)) : -1;
    });
}

KVO_API int Kvo_ArgInt(KvoCallContext* call, int index, int32_t* value)
{
    return readArgument(call, index, value, readInt);
}

KVO_API int Kvo_ArgDouble(KvoCallContext* call, int index, double* value)
{
    return readArgument(call, index, value, readDouble);
}

KVO_API int Kvo_ArgString(KvoCallContext* call, int index, const char** value)
{
    return withCall(call, 0, [&](KvoCallContext& c) {
        if (!value)
            return refuse(*c.state, 0, "null result pointer");
        const KvoValue* argument = argumentOf(c, index);
        if (!argument)
            return 0;
        std::string text, error;
        if (!readString(*argument, argumentName(c, index), text, error))
            return refuse(*c.state, 0, std::move(error));
        // Kept with the call: the same index read twice hands out one text.
        std::string& kept = c.texts[index];
        kept = std::move(text);
        *value = kept.c_str();
        return 1;
    });
}

KVO_API int Kvo_ReturnNil(KvoCallContext* call) { return setResult(call, KvoValue()); }
KVO_API int Kvo_ReturnInt(KvoCallContext* call, int32_t value) { return setResult(call, KvoValue(value)); }
KVO_API int Kvo_ReturnDouble(KvoCallContext* call, double value) { return setResult(call, KvoValue(value)); }

KVO_API int Kvo_ReturnString(KvoCallContext* call, const char* text)
{
    return withCall(call, 0, [text](KvoCallContext& c) {
        if (!text)
            return refuse(*c.state, 0, "null result text");
        c.result = KvoValue(new KvoString(kvoFromUtf8(text).c_str()));
        return 1;
    });
}

KVO_API int Kvo_RaiseError(KvoCallContext* call, const char* message)
{
    return withCall(call, 0, [message](KvoCallContext& c) {
        c.raised = true;
        c.error = message && *message ? kvoFromUtf8(message) : u"error in host function " + *c.name;
        return 1;
    });
}

KVO_API int Kvo_SetGlobalNil(KvoVM* vm, const char* name)
{
    return setGlobal(vm, name, [] { return KvoValue(); });
}

KVO_API int Kvo_SetGlobalInt(KvoVM* vm, const char* name, int32_t value)
{
    return setGlobal(vm, name, [value] { return KvoValue(value); });
}

KVO_API int Kvo_SetGlobalDouble(KvoVM* vm, const char* name, double value)
{
    return setGlobal(vm, name, [value] { return KvoValue(value); });
}

KVO_API int Kvo_SetGlobalString(KvoVM* vm, const char* name, const char* text)
{
    if (!text) {
        return withVM(vm, 0, [name](KvoVirtualMachine&, FlatState& state) {
            return refuse(state, 0, std::string("null text for global variable '") + (name ? name : "") + "'");
        });
    }
    return setGlobal(vm, name, [text] { return KvoValue(new KvoString(kvoFromUtf8(text).c_str())); });
}

KVO_API int Kvo_GetGlobalType(KvoVM* vm, const char* name)
{
    return withVM(vm, -1, [name](KvoVirtualMachine& machine, FlatState& state) {
        KvoDictionaryEntry* entry = findVariable(machine, state, name);
        return entry ? static_cast<int>(kindOf(entry->getValue())) : -1;
    });
}

KVO_API int Kvo_GetGlobalInt(KvoVM* vm, const char* name, int32_t* value)
{
    return getGlobal(vm, name, value, readInt);
}

KVO_API int Kvo_GetGlobalDouble(KvoVM* vm, const char* name, double* value)
{
    return getGlobal(vm, name, value, readDouble);
}

KVO_API int Kvo_GetGlobalString(KvoVM* vm, const char* name, const char** value)
{
    return withVM(vm, 0, [&](KvoVirtualMachine& machine, FlatState& state) {
        if (!value)
            return refuse(state, 0, "null result pointer");
        KvoDictionaryEntry* entry = findVariable(machine, state, name);
        if (!entry)
            return 0;
        std::string text, error;
        if (!readString(entry->getValue(), std::string("global variable '") + name + "'", text, error))
            return refuse(state, 0, std::move(error));
        state.globalText = std::move(text);
        *value = state.globalText.c_str();
        return 1;
    });
}

KVO_API int Kvo_CallFunction(KvoVM* vm, const char* name, const KvoArgument* args, int argc)
{
    return withVM(vm, 0, [&](KvoVirtualMachine& machine, FlatState& state) {
        if (!name)
            return refuse(state, 0, "null function name");
        if (argc < 0)
            return refuse(state, 0, "negative argument count " + std::to_string(argc));
        if (argc > 0 && !args)
            return refuse(state, 0, "null argument array for " + std::to_string(argc) + " arguments");
        const std::u16string key = kvoFromUtf8(name);
        const KvoDictionaryEntry* entry = machine.symbols().find(key.c_str());
        const KvoValueType type = entry ? entry->getValue().getType() : KVT_NULL;
        if (!entry || entry->getSymbolType() != SYM_FUNCTION ||
            (type != KVT_CODE && type != KVT_CODEREF && type != KVT_BYTECODE && type != KVT_BYTECODEREF))
            return refuse(state, 0, std::string("unknown function '") + name + "'");
        KvoValue arguments(new KvoVector());
        for (int i = 0; i < argc; ++i) {
            const KvoArgument& a = args[i];
            switch (a.type) {
            case KVO_TYPE_NIL:
                arguments.getVector()->push_back(KvoValue());
                break;
            case KVO_TYPE_INT:
                arguments.getVector()->push_back(KvoValue(a.value.i));
                break;
            case KVO_TYPE_DOUBLE:
                arguments.getVector()->push_back(KvoValue(a.value.d));
                break;
            case KVO_TYPE_STRING:
                if (!a.value.s)
                    return refuse(state, 0, "argument " + std::to_string(i) + " is a null string");
                arguments.getVector()->push_back(KvoValue(new KvoString(kvoFromUtf8(a.value.s).c_str())));
                break;
            default:
                return refuse(state, 0, "argument " + std::to_string(i) + " has the unknown type " + std::to_string(a.type));
            }
        }
        KvoString error;
        if (machine.executeValues(key.c_str(), arguments.getVector(), error))
            return 1;
        std::string text = kvoToUtf8(error.c_str(), error.length());
        return refuse(state, 0, text.empty() ? std::string("the call of '") + name + "' failed" : std::move(text));
    });
}

KVO_API int Kvo_GetResultType(KvoVM* vm)
{
    return withVM(vm, -1, [](KvoVirtualMachine& machine, FlatState&) { return static_cast<int>(kindOf(machine.getResult())); });
}

KVO_API int Kvo_GetDoubleResult(KvoVM* vm, double* value)
{
    return withVM(vm, 0, [value](KvoVirtualMachine& machine, FlatState& state) {
        if (!value)
            return refuse(state, 0, "null result pointer");
        std::string error;
        return readDouble(machine.getResult(), "the result", value, error) ? 1 : refuse(state, 0, std::move(error));
    });
}

KVO_API int Kvo_GetStringResult(KvoVM* vm, const char** value)
{
    return withVM(vm, 0, [value](KvoVirtualMachine& machine, FlatState& state) {
        if (!value)
            return refuse(state, 0, "null result pointer");
        std::string text, error;
        if (!readString(machine.getResult(), "the result", text, error))
            return refuse(state, 0, std::move(error));
        state.resultText = std::move(text);
        *value = state.resultText.c_str();
        return 1;
    });
}

} // extern "C"
