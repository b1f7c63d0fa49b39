// Tests of scripts' native calls below what scripts can see: the low trampolines (one per
// function, below 2 GiB, never writable, safe to add while other threads call through them), the
// integer call behind CallLibFunc, and the library functions' guard and registration on a machine
// without a running script.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include "KvoTestSupport.h"
#include "host/KvoStringPrinter.h"
#include "host/KvoVirtualMachine.h"
#include "platform/KvoLibrary.h"
#include "platform/KvoNativeCall.h"
#include "stdlib/KvoDefaultFunctions.h"
#include "values/KvoString.h"
#include "values/KvoVector.h"
#include "values/ValPtr.h"

namespace {

constexpr std::uintptr_t LOW_LIMIT = 0x80000000;

std::uintptr_t addressOf(FARPROC function)
{
    return reinterpret_cast<std::uintptr_t>(function);
}

template <typename Function>
FARPROC farProc(Function* function)
{
    return reinterpret_cast<FARPROC>(function);
}

// A stand-in target that is never called: trampolines only store their target.
FARPROC fakeTarget(std::uintptr_t n)
{
    return reinterpret_cast<FARPROC>(std::uintptr_t{0x7e5700000000} + n * 16);
}

// The protection field ("r-xp" ...) of the mapping that holds address, from /proc/self/maps;
// "" when no mapping holds it.
std::string protectionAt(std::uintptr_t address)
{
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line)) {
        std::istringstream fields(line);
        std::string range;
        std::string protection;
        fields >> range >> protection;
        const std::size_t dash = range.find('-');
        const std::uintptr_t start = std::stoull(range.substr(0, dash), nullptr, 16);
        const std::uintptr_t end = std::stoull(range.substr(dash + 1), nullptr, 16);
        if (address >= start && address < end)
            return protection;
    }
    return "";
}

std::int64_t addOne(std::int64_t value)
{
    return value + 1;
}

std::int64_t negate(std::int64_t value)
{
    return -value;
}

// Sixteen parameters, each weighted by its position: the result tells whether every argument
// arrived where it was put.
std::int64_t weighted(std::int64_t a1, std::int64_t a2, std::int64_t a3, std::int64_t a4, std::int64_t a5,
                      std::int64_t a6, std::int64_t a7, std::int64_t a8, std::int64_t a9, std::int64_t a10,
                      std::int64_t a11, std::int64_t a12, std::int64_t a13, std::int64_t a14, std::int64_t a15,
                      std::int64_t a16)
{
    const std::int64_t values[] = {a1, a2, a3, a4, a5, a6, a7, a8, a9, a10, a11, a12, a13, a14, a15, a16};
    std::int64_t sum = 0;
    for (std::int64_t i = 0; i < 16; ++i)
        sum += values[i] * (i + 1);
    return sum;
}

std::int64_t fortyTwo()
{
    return 42;
}

std::atomic<int> g_calls{0};
std::int64_t countCall()
{
    ++g_calls;
    return 1;
}

TEST(Trampolines, OnePerFunctionBelowTwoGiB)
{
    const FARPROC first = kvoLowTrampoline(farProc(&addOne));
    ASSERT_NE(first, nullptr);
    EXPECT_LT(addressOf(first), LOW_LIMIT);
    EXPECT_EQ(kvoLowTrampoline(farProc(&addOne)), first);
    const FARPROC second = kvoLowTrampoline(farProc(&negate));
    ASSERT_NE(second, nullptr);
    EXPECT_NE(second, first);
    EXPECT_LT(addressOf(second), LOW_LIMIT);
    EXPECT_EQ(kvoLowTrampoline(nullptr), nullptr);

    // Calling the trampoline calls the function, with its arguments and result.
    EXPECT_EQ(reinterpret_cast<std::int64_t (*)(std::int64_t)>(first)(41), 42);
    EXPECT_EQ(reinterpret_cast<std::int64_t (*)(std::int64_t)>(second)(5), -5);
}

// Blocks fill up and new ones follow; every trampoline keeps its own address, and the code stays
// executable and never writable, while the targets sit in memory that is not executable.
TEST(Trampolines, BlocksFillUpWithoutEverBecomingWritable)
{
    const FARPROC first = kvoLowTrampoline(farProc(&addOne));
    ASSERT_NE(first, nullptr);
    constexpr std::uintptr_t COUNT = 2000; // several blocks of 256
    std::vector<FARPROC> trampolines;
    std::unordered_set<std::uintptr_t> seen;
    for (std::uintptr_t n = 0; n < COUNT; ++n) {
        const FARPROC trampoline = kvoLowTrampoline(fakeTarget(n));
        ASSERT_NE(trampoline, nullptr);
        ASSERT_LT(addressOf(trampoline), LOW_LIMIT);
        EXPECT_TRUE(seen.insert(addressOf(trampoline)).second);
        trampolines.push_back(trampoline);
    }
    for (std::uintptr_t n = 0; n < COUNT; ++n)
        EXPECT_EQ(kvoLowTrampoline(fakeTarget(n)), trampolines[n]);
    EXPECT_EQ(protectionAt(addressOf(first)), "r-xp");
    EXPECT_EQ(protectionAt(addressOf(trampolines.back())), "r-xp");
    EXPECT_EQ(protectionAt(addressOf(first) + 4096).find('x'), std::string::npos);
    // A trampoline made after all those still works.
    EXPECT_EQ(kvoCallNative(kvoLowTrampoline(farProc(&fortyTwo)), nullptr, 0), 42);
}

// Adding trampolines never disturbs a thread that is running through existing ones (a code page
// made writable, even for a moment, would stop it dead). The caller always calls the newest
// trampoline, whose target is the one made before it, so every call runs through the pages being
// filled; a second thread adds trampolines at the same time.
TEST(Trampolines, AddingWhileOtherThreadsCallThrough)
{
    std::atomic<FARPROC> newest{kvoLowTrampoline(farProc(&countCall))};
    ASSERT_NE(newest.load(), nullptr);
    std::atomic<bool> stop{false};
    g_calls = 0;
    std::thread caller([&] {
        while (!stop)
            (void)kvoCallNative(newest.load(), nullptr, 0);
    });
    while (g_calls == 0)
        std::this_thread::yield();
    std::thread adder([] {
        for (std::uintptr_t n = 5000; n < 6000; ++n)
            (void)kvoLowTrampoline(fakeTarget(n));
    });
    bool allMade = true;
    for (int n = 0; n < 3000 && allMade; ++n) {
        const FARPROC next = kvoLowTrampoline(newest.load());
        allMade = next != nullptr;
        if (allMade)
            newest = next;
    }
    adder.join();
    const int callsBefore = g_calls.load();
    while (g_calls.load() == callsBefore)
        std::this_thread::yield();
    stop = true;
    caller.join();
    EXPECT_TRUE(allMade);
}

TEST(NativeCall, PassesSixteenArgumentsInOrder)
{
    std::int64_t args[KVO_MAX_NATIVE_ARGS];
    std::int64_t expected = 0;
    for (int i = 0; i < KVO_MAX_NATIVE_ARGS; ++i) {
        args[i] = i % 2 == 0 ? i + 1 : -(i + 1);
        expected += args[i] * (i + 1);
    }
    EXPECT_EQ(kvoCallNative(farProc(&weighted), args, KVO_MAX_NATIVE_ARGS), expected);
    EXPECT_EQ(kvoCallNative(kvoLowTrampoline(farProc(&weighted)), args, KVO_MAX_NATIVE_ARGS), expected);

    // The result keeps all 64 bits; the caller picks what it needs.
    const std::int64_t wide = std::int64_t{1} << 40;
    EXPECT_EQ(kvoCallNative(farProc(&addOne), &wide, 1), wide + 1);
}

TEST(NativeCall, RefusesWhatItCannotCall)
{
    g_calls = 0;
    const std::int64_t args[KVO_MAX_NATIVE_ARGS + 1] = {};
    EXPECT_EQ(kvoCallNative(nullptr, args, 0), 0);
    EXPECT_EQ(kvoCallNative(farProc(&countCall), args, -1), 0);
    EXPECT_EQ(kvoCallNative(farProc(&countCall), args, KVO_MAX_NATIVE_ARGS + 1), 0);
    EXPECT_EQ(g_calls.load(), 0);
    EXPECT_EQ(kvoCallNative(farProc(&countCall), nullptr, 0), 1);
}

using KDF = KvoDefaultFunctions;

// The native-call functions by script name, with an argument count each accepts.
struct LibraryFunction {
    const KvoChar* name;
    KvoNativeFunc function;
    int argc;
};
const LibraryFunction NATIVE_CALL_FUNCTIONS[] = {
    {u"LoadLibrary", &KDF::Kvo_LoadLibrary, 1},         {u"FreeLibrary", &KDF::Kvo_FreeLibrary, 1},
    {u"GetProcAddress", &KDF::Kvo_GetProcAddress, 2},   {u"CallLibFunc", &KDF::Kvo_CallLibFunc, 1},
    {u"GetUser32Func", &KDF::Kvo_GetUser32Func, 1},     {u"GetKernel32Func", &KDF::Kvo_GetKernel32Func, 1},
    {u"GetGdi32Func", &KDF::Kvo_GetGdi32Func, 1},       {u"GetShell32Func", &KDF::Kvo_GetShell32Func, 1},
    {u"GetOle32Func", &KDF::Kvo_GetOle32Func, 1},       {u"GetCoreFunc", &KDF::Kvo_GetUser32Func, 1},
};

class NativeCallLibrary : public LiveObjectCheck
{
};

// Each function is registered under its name; without a running script it prints "missing
// interpreter\n" and fails before looking at its arguments, and without a machine it just fails.
TEST_F(NativeCallLibrary, RegisteredAndGuardedAgainstAMissingInterpreter)
{
    KvoStringPrinter out;
    KvoVirtualMachine vm(&out);
    for (const LibraryFunction& entry : NATIVE_CALL_FUNCTIONS) {
        SCOPED_TRACE(std::string(entry.name, entry.name + std::char_traits<KvoChar>::length(entry.name)));
        const KvoDictionaryEntry* symbol = vm.symbols().find(entry.name);
        ASSERT_NE(symbol, nullptr);
        EXPECT_EQ(symbol->getSymbolType(), SYM_FUNCTION);
        EXPECT_EQ(symbol->getValue().getCode(), entry.function);

        auto* stack = new KvoVector();
        KvoValue hold(stack);
        stack->push_back(KvoValue());
        for (int i = 0; i < entry.argc; ++i)
            stack->push_back(KvoValue(new KvoString(u"coredll.dll")));
        out.clear();
        ValPtr args(stack, entry.argc);
        EXPECT_FALSE(entry.function(&vm, entry.argc, args));
        EXPECT_EQ(std::u16string(out.c_str()), u"missing interpreter\n");
        out.clear();
        EXPECT_FALSE(entry.function(nullptr, entry.argc, args));
        EXPECT_EQ(std::u16string(out.c_str()), u"");
    }
}

// The native-call functions follow setenv, GetCoreFunc after them, then the dictionary functions.
TEST_F(NativeCallLibrary, RegistrationOrder)
{
    KvoStringPrinter out;
    KvoVirtualMachine vm(&out);
    std::vector<std::u16string> names;
    bool collecting = false;
    for (const KvoDictionaryEntry* entry = vm.symbols().getFirst(); entry; entry = entry->getNext()) {
        const std::u16string name = entry->getKey()->c_str();
        collecting = collecting || name == u"setenv";
        if (collecting)
            names.push_back(name);
        if (name == u"newdict")
            break;
    }
    const std::vector<std::u16string> expected = {
        u"setenv",       u"LoadLibrary",  u"FreeLibrary",    u"GetProcAddress", u"CallLibFunc",
        u"GetUser32Func", u"GetKernel32Func", u"GetGdi32Func", u"GetShell32Func", u"GetOle32Func",
        u"GetCoreFunc",  u"newdict"};
    EXPECT_EQ(names, expected);
}

} // namespace
