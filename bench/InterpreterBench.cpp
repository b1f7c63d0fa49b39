// Micro-benchmarks of the interpreter on hand-assembled procedures: a counting loop
// (instructions per second), recursive fib (calls per second) and message sends to a native
// method, a script method and an inherited script method (sends per second; the loop body holds
// ten sends so that loop overhead does not dominate). Each run checks its result before the
// time counts.
#include <benchmark/benchmark.h>

#include <cstdint>

#include "tests/unit/KvoAssembler.h"
#include "values/KvoClass.h"
#include "values/KvoObject.h"
#include "values/ValPtr.h"

namespace {

// Instructions executed per iteration of the counting loop below.
constexpr std::int64_t LOOP_INSTRUCTIONS = 11;
// Sends per iteration of the send loop.
constexpr int SENDS_PER_ITERATION = 10;

// Emits "temporary 1 = 0; while (temporary 1 < count) { body; temporary 1 = temporary 1 + 1; }"
// after a prologue with the given temporaries; body must leave the top as it found it.
template <typename Body>
void emitLoop(KvoAssembler& code, std::int32_t count, Body body)
{
    int loop = code.label();
    int done = code.label();
    code.load(KvoValue(std::int32_t(0))).op(TSET, 1);
    code.bind(loop).op(TREF, 1).op(PUSH).load(KvoValue(count)).op(LT).jump(BRF, done);
    body();
    code.op(TREF, 1).op(PUSH).load(KvoValue(std::int32_t(1))).op(ADD).op(TSET, 1).jump(BR, loop);
    code.bind(done).op(TREF, 1).op(RETURN);
}

void BM_CountingLoop(benchmark::State& state)
{
    auto count = static_cast<std::int32_t>(state.range(0));
    KvoTestMachine machine;
    KvoAssembler main(u"main");
    main.prologue(1);
    emitLoop(main, count, [] {});
    machine.define(u"main", main);
    for (auto _ : state) {
        if (!machine.run() || machine.result().getLong() != count) {
            state.SkipWithError("wrong result");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * count * LOOP_INSTRUCTIONS);
    state.SetLabel("items = instructions");
}
BENCHMARK(BM_CountingLoop)->Arg(1000000)->Unit(benchmark::kMillisecond);

std::int64_t fibCalls(int n)
{
    return n < 2 ? 1 : 1 + fibCalls(n - 1) + fibCalls(n - 2);
}

void BM_Fib(benchmark::State& state)
{
    auto n = static_cast<std::int32_t>(state.range(0));
    KvoTestMachine machine;
    // fib(n) { if (n < 2) return n; return fib(n - 1) + fib(n - 2); }
    KvoAssembler fib(u"fib");
    int recurse = fib.label();
    std::uint32_t self = fib.literal(machine.var(u"fib"));
    fib.param().prologue().op(AREF, 0).op(PUSH).load(KvoValue(std::int32_t(2))).op(LT).jump(BRF, recurse);
    fib.op(AREF, 0).op(RETURN);
    fib.bind(recurse);
    for (std::int32_t minus : {1, 2}) {
        if (minus == 2)
            fib.op(PUSH);
        fib.op(REF, self).op(PUSH).op(AREF, 0).op(PUSH).load(KvoValue(minus)).op(SUB).op(CALL, 1);
    }
    fib.op(ADD).op(RETURN);
    machine.define(u"fib", fib);
    KvoAssembler main(u"main");
    main.prologue().op(REF, main.literal(machine.var(u"fib"))).op(PUSH).load(KvoValue(n)).op(CALL, 1).op(RETURN);
    machine.define(u"main", main);

    std::int32_t expected = 0;
    for (std::int32_t a = 0, b = 1, i = 0; i <= n; ++i) {
        expected = a;
        std::int32_t next = a + b;
        a = b;
        b = next;
    }
    for (auto _ : state) {
        if (!machine.run() || machine.result().getLong() != expected) {
            state.SkipWithError("wrong result");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * fibCalls(n));
    state.SetLabel("items = calls");
}
BENCHMARK(BM_Fib)->Arg(25)->Unit(benchmark::kMillisecond);

bool nativeOne(KvoVirtualMachine*, int argc, ValPtr& args)
{
    args -= argc;
    args[0] = KvoValue(std::int32_t(1));
    return true;
}

// Sends "m" ten times per loop iteration to an object of class Leaf. kind 0: a native method
// of Leaf; 1: a script method of Leaf; 2: a script method inherited from two levels up.
void BM_Send(benchmark::State& state)
{
    constexpr std::int32_t count = 100000;
    KvoTestMachine machine;
    KvoVirtualMachine& vm = machine.vm();
    auto* root = new KvoClass(vm, nullptr, nullptr);
    vm.registerNativeClass(u"Root", root);
    auto* middle = new KvoClass(vm, nullptr, root);
    vm.registerNativeClass(u"Middle", middle);
    auto* leaf = new KvoClass(vm, nullptr, middle);
    vm.registerNativeClass(u"Leaf", leaf);
    if (state.range(0) == 0) {
        leaf->addMethod(u"m", &nativeOne);
    } else {
        KvoClass* owner = state.range(0) == 1 ? leaf : root;
        KvoAssembler method(u"m", owner);
        method.param(KvoValue()).prologue().load(KvoValue(std::int32_t(1))).op(RETURN);
        KvoDictionaryEntry* entry = owner->funcMembers()[u"m"];
        entry->setValue(method.value());
        entry->setSymbolType(SYM_METHOD);
    }
    KvoAssembler main(u"main");
    std::uint32_t name = main.literal(KvoValue(new KvoString(u"m")));
    main.prologue(2).load(KvoValue(leaf)).op(NEW).op(TSET, 2);
    emitLoop(main, count, [&] {
        for (int i = 0; i < SENDS_PER_ITERATION; ++i)
            main.op(PUSH).op(TREF, 2).op(PUSH).op(LIT, name).op(SEND, 1).op(POP);
    });
    machine.define(u"main", main);
    for (auto _ : state) {
        if (!machine.run() || machine.result().getLong() != count) {
            state.SkipWithError("wrong result");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * count * SENDS_PER_ITERATION);
    state.SetLabel("items = sends");
}
BENCHMARK(BM_Send)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
