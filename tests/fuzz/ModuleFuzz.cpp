// libFuzzer target for the module reader and the single-value reader, and for running what they
// load. Each input gets a fresh machine. The first byte picks the mode:
//   bit 0   clear: readModule; set: readSingleValue (then a second value from the same stream)
//   bit 1   set: the stream cannot seek (its length is unknown to the reader)
//   bit 2   set: after loading, run "main" when it is a global function
//   bit 3   set: run with tracing to a discarding printer
//   bits 4, 5 both set: the larger step budget
// The rest is the file. Output and diagnostics are formatted and dropped.
// Loaded data may hold reference cycles by design (a vector containing itself); before the
// machine is destroyed, every object reachable from its dictionaries (and from the values read)
// is emptied, so that LeakSanitizer reports only what the reader really lost.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <unordered_set>
#include <vector>

#include <sanitizer/lsan_interface.h>

#include "host/KvoDictionaryIO.h"
#include "host/KvoVirtualMachine.h"
#include "KvoFuzzSupport.h"
#include "platform/KvoFormat.h"
#include "values/KvoClass.h"
#include "values/KvoDictionary.h"
#include "values/KvoObject.h"
#include "values/KvoValueChildren.h"
#include "values/KvoVector.h"

namespace {

// A read-only stream over memory without a seek function: ftell fails on it.
struct MemoryCookie {
    const std::uint8_t* data;
    std::size_t size;
    std::size_t position;
};

ssize_t readCookie(void* cookie, char* buffer, std::size_t size)
{
    auto* memory = static_cast<MemoryCookie*>(cookie);
    const std::size_t n = std::min(size, memory->size - memory->position);
    std::memcpy(buffer, memory->data + memory->position, n);
    memory->position += n;
    return static_cast<ssize_t>(n);
}

// Empties every object reachable from the machine's dictionaries and from extra, breaking the
// reference cycles that loaded data may legitimately contain.
void breakCycles(KvoVirtualMachine& vm, const std::vector<const KvoValue*>& extra)
{
    std::unordered_set<const void*> seen;
    std::vector<KvoValue> held; // keeps every object alive until all are emptied
    std::vector<const KvoValue*> pending(extra);
    auto pushEntries = [&pending](KvoDictionary& d) {
        for (KvoDictionaryEntry* e = d.getFirst(); e; e = e->getNext())
            pending.push_back(&e->getValue());
    };
    pushEntries(vm.symbols());
    pushEntries(vm.classes());
    while (!pending.empty()) {
        const KvoValue* v = pending.back();
        pending.pop_back();
        if (!isObjectType(v->getType()) || !v->getRef() || !seen.insert(v->getRef()).second)
            continue;
        held.push_back(*v);
        kvoForEachChild(*v, [&pending](const KvoValue* child) { pending.push_back(child); });
    }
    // A held value may be a reference kind; hold every object by an owning reference.
    std::vector<KvoRefObject*> objects;
    for (const KvoValue& v : held) {
        auto* object = static_cast<KvoRefObject*>(v.getRef());
        object->addRef();
        objects.push_back(object);
    }
    held.clear();
    for (KvoRefObject* object : objects) {
        if (auto* vector = dynamic_cast<KvoVector*>(object)) {
            vector->clear();
        } else if (auto* o = dynamic_cast<KvoObject*>(object)) {
            if (o->getMemberData())
                o->getMemberData()->truncate(1);
        } else if (auto* d = dynamic_cast<KvoDictionary*>(object)) {
            if (d != &vm.symbols() && d != &vm.classes())
                d->clear();
        } else if (auto* c = dynamic_cast<KvoClass*>(object)) {
            c->dataMembers().clear();
            c->funcMembers().clear();
        }
    }
    for (KvoRefObject* object : objects)
        object->release();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // Native modules named by a module must not be found along the search path (those beside
    // the runtime still load).
    setenv("PATH", "/nonexistent", 1);
    unsetenv("Path");
    unsetenv("KVOLIB");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 2)
        return 0;
    const std::uint8_t mode = data[0];
    DiscardingPrinter printer;
    auto vm = std::make_unique<KvoVirtualMachine>(&printer);

    MemoryCookie cookie{data + 1, size - 1, 0};
    std::FILE* file = nullptr;
    if (mode & 2) {
        cookie_io_functions_t functions{};
        functions.read = &readCookie;
        file = fopencookie(&cookie, "rb", functions);
    } else {
        file = fmemopen(const_cast<std::uint8_t*>(data + 1), size - 1, "rb");
    }
    if (!file)
        return 0;

    KvoValue first, second;
    {
        KvoDictionaryIO io(vm.get());
        if (mode & 1) {
            if (!io.readSingleValue(file, first) && !first.isNull())
                std::abort(); // a failed read leaves the value null
            if (!io.readSingleValue(file, second) && !second.isNull())
                std::abort();
        } else {
            (void)io.readModule(file);
        }
    }
    std::fclose(file);

    KvoDictionaryEntry* entry = vm->symbols().find(u"main");
    if ((mode & 4) && entry && entry->getSymbolType() == SYM_FUNCTION) {
        g_machine = vm.get();
        g_steps = 0;
        g_maxSteps = (mode & 0x30) == 0x30 ? MAX_STEPS_DEEP : MAX_STEPS;
        (void)vm->setBreakRequestProc(&countStep);
        // A script may build reference cycles of its own, which are not collected by design:
        // what the run allocates is not checked for leaks (what the reader allocated still is).
        __lsan_disable();
        (void)vm->execute(u"main", 0, nullptr, (mode & 8) != 0, &printer, &printer);
        __lsan_enable();
        (void)vm->setBreakRequestProc(nullptr);
        g_machine = nullptr;
    }
    breakCycles(*vm, {&first, &second, &vm->getResult()});
    return 0;
}
