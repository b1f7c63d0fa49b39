// libFuzzer target for the compiler and the interpreter. Each input gets a fresh machine, is
// compiled into it and, when it defines a global function "main", runs main. The first byte picks
// the mode: bit 0 clear reads the rest as a file (through fmemopen, decoded as UTF-8), bit 0 set
// takes the rest as UTF-16 text (the bytes in pairs, little-endian); bits 1 and 2 switch on line
// information and local-variable information, bit 3 lists every compiled procedure, bits 4 and 5
// raise the step budget, bit 6 runs without a step budget. Output and diagnostics are formatted
// and dropped.
// Infinite loops end through the break-request procedure: it is asked before every instruction,
// counts them and cancels the run past the step budget; deep recursion ends at the interpreter's
// own call-depth limit. Since a procedure asked before every instruction makes the interpreter
// run one designed instruction at a time, bit 6 leaves it out, so that the interpreter's fused
// instructions run too: a watchdog thread cancels the run after a short time instead. Everything the machine owned must be freed with it (LeakSanitizer checks).
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "compiler/KvoCompiler.h"
#include "host/KvoVirtualMachine.h"
#include "KvoFuzzSupport.h"
#include "platform/KvoFormat.h"
#include "values/KvoDictionary.h"
#include "vm/KvoDebugger.h"

namespace {

void compileInput(KvoCompiler& compiler, const std::uint8_t* data, std::size_t size, bool utf16)
{
    if (utf16) {
        std::u16string text;
        text.reserve(size / 2);
        for (std::size_t i = 0; i + 1 < size; i += 2)
            text.push_back(static_cast<KvoChar>(data[i] | (data[i + 1] << 8)));
        (void)compiler.compile(text.c_str(), u"text");
        return;
    }
    // fmemopen refuses an empty buffer; an empty file compiles to nothing anyway.
    if (size == 0)
        return;
    std::FILE* file = fmemopen(const_cast<std::uint8_t*>(data), size, "rb");
    // The compiler takes the file and closes it.
    if (file)
        (void)compiler.compile(file, u"file");
}

// Runs main without a break-request procedure; a watchdog cancels it when it has not ended
// after a short time.
void runWithWatchdog(KvoVirtualMachine& vm)
{
    std::mutex lock;
    std::condition_variable changed;
    bool finished = false;
    std::thread watchdog([&] {
        std::unique_lock<std::mutex> guard(lock);
        if (!changed.wait_for(guard, std::chrono::milliseconds(100), [&] { return finished; }))
            vm.cancel();
    });
    (void)vm.execute(u"main", 0, nullptr);
    {
        std::lock_guard<std::mutex> guard(lock);
        finished = true;
    }
    changed.notify_one();
    watchdog.join();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // #import must not find native modules along the search path (it still finds those beside
    // the runtime). Run the target in an empty directory, so that #include finds no files.
    setenv("PATH", "/nonexistent", 1);
    unsetenv("Path");
    unsetenv("KVOINC");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    const std::uint8_t mode = data[0];
    DiscardingPrinter printer;
    auto vm = std::make_unique<KvoVirtualMachine>(&printer);
    {
        KvoCompiler compiler(*vm, &printer);
        compiler.setGenerateLineInfo((mode & 2) != 0);
        compiler.setGenerateLocalVarInfo((mode & 4) != 0);
        KvoDebugger debugger(vm.get(), &printer);
        if (mode & 8)
            compiler.setDebugger(&debugger);
        compileInput(compiler, data + 1, size - 1, (mode & 1) != 0);
    }

    KvoDictionaryEntry* entry = vm->symbols().find(u"main");
    if (entry && entry->getSymbolType() == SYM_FUNCTION && (mode & 0x40)) {
        runWithWatchdog(*vm);
    } else if (entry && entry->getSymbolType() == SYM_FUNCTION) {
        g_machine = vm.get();
        g_steps = 0;
        g_maxSteps = (mode & 0x30) == 0x30 ? MAX_STEPS_DEEP : MAX_STEPS;
        (void)vm->setBreakRequestProc(&countStep);
        (void)vm->execute(u"main", 0, nullptr);
        (void)vm->setBreakRequestProc(nullptr);
        g_machine = nullptr;
    }
    return 0;
}
