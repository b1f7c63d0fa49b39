// Benchmarks of scripts' native calls: the platform call alone (kvoCallNative through a low
// trampoline, one and sixteen arguments) and CallLibFunc of the C library's abs in a script loop,
// beside the same loop calling the library's own abs, so that the difference is what a native
// call adds to an ordinary library call. "per_call" is the time of one call. Each run checks its
// result before its time counts.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>

#include "host/KvoStringPrinter.h"
#include "host/KvoVirtualMachine.h"
#include "platform/KvoLibrary.h"
#include "platform/KvoNativeCall.h"

namespace {

std::int64_t negate(std::int64_t value)
{
    return -value;
}

std::int64_t sum16(std::int64_t a1, std::int64_t a2, std::int64_t a3, std::int64_t a4, std::int64_t a5,
                   std::int64_t a6, std::int64_t a7, std::int64_t a8, std::int64_t a9, std::int64_t a10,
                   std::int64_t a11, std::int64_t a12, std::int64_t a13, std::int64_t a14, std::int64_t a15,
                   std::int64_t a16)
{
    return a1 + a2 + a3 + a4 + a5 + a6 + a7 + a8 + a9 + a10 + a11 + a12 + a13 + a14 + a15 + a16;
}

void perCall(benchmark::State& state, std::int64_t callsPerIteration)
{
    state.counters["per_call"] = benchmark::Counter(static_cast<double>(callsPerIteration),
                                                    benchmark::Counter::kIsIterationInvariantRate
                                                        | benchmark::Counter::kInvert);
}

void BM_PlatformCall(benchmark::State& state)
{
    const FARPROC function = kvoLowTrampoline(reinterpret_cast<FARPROC>(&negate));
    std::int64_t argument = 7;
    for (auto _ : state) {
        benchmark::DoNotOptimize(argument);
        if (kvoCallNative(function, &argument, 1) != -7) {
            state.SkipWithError("wrong result");
            break;
        }
    }
    perCall(state, 1);
}
BENCHMARK(BM_PlatformCall);

void BM_PlatformCall16(benchmark::State& state)
{
    const FARPROC function = kvoLowTrampoline(reinterpret_cast<FARPROC>(&sum16));
    std::int64_t arguments[KVO_MAX_NATIVE_ARGS];
    for (int i = 0; i < KVO_MAX_NATIVE_ARGS; ++i)
        arguments[i] = i + 1;
    for (auto _ : state) {
        benchmark::DoNotOptimize(arguments);
        if (kvoCallNative(function, arguments, KVO_MAX_NATIVE_ARGS) != 136) {
            state.SkipWithError("wrong result");
            break;
        }
    }
    perCall(state, 1);
}
BENCHMARK(BM_PlatformCall16);

// Runs "main" of a script whose loop makes count calls of call (an expression of i), adding their
// results; each call gives 3.
void runScriptLoop(benchmark::State& state, const std::string& call)
{
    const auto count = static_cast<std::int32_t>(state.range(0));
    const std::string text = "main(; f, i, s) {\n    f = GetCoreFunc(\"abs\");\n    s = 0;\n"
                             "    for (i = 0; i < " + std::to_string(count) + "; i++)\n        s += " + call +
                             ";\n    return s;\n}\n";
    KvoStringPrinter out;
    KvoVirtualMachine vm(&out);
    if (!vm.compileText(std::u16string(text.begin(), text.end()).c_str())) {
        state.SkipWithError("does not compile");
        return;
    }
    for (auto _ : state) {
        if (!vm.execute(u"main", 0, nullptr) || vm.getResult().getLong() != 3 * count) {
            state.SkipWithError("wrong result");
            break;
        }
    }
    perCall(state, count);
}

void BM_ScriptCallLibFunc(benchmark::State& state)
{
    runScriptLoop(state, "CallLibFunc(f, -3)");
}
BENCHMARK(BM_ScriptCallLibFunc)->Arg(100000)->Unit(benchmark::kMillisecond);

void BM_ScriptLibraryAbs(benchmark::State& state)
{
    runScriptLoop(state, "abs(-3)");
}
BENCHMARK(BM_ScriptLibraryAbs)->Arg(100000)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
