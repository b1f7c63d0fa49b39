// Micro-benchmarks of the value model: value copy/assign/move/dispose, and dictionary insertion
// and lookup at growing sizes (the time per operation should stay flat as the count grows).
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "values/KvoDictionary.h"
#include "values/KvoString.h"
#include "values/KvoVector.h"

namespace {

void BM_ValueCopyInteger(benchmark::State& state)
{
    KvoValue source(std::int32_t(42));
    for (auto _ : state) {
        KvoValue copy(source);
        benchmark::DoNotOptimize(copy);
    }
}
BENCHMARK(BM_ValueCopyInteger);

void BM_ValueCopyString(benchmark::State& state)
{
    KvoValue source(new KvoString(u"text"));
    for (auto _ : state) {
        KvoValue copy(source);
        benchmark::DoNotOptimize(copy);
    }
}
BENCHMARK(BM_ValueCopyString);

void BM_ValueAssignMixed(benchmark::State& state)
{
    KvoValue a(new KvoString(u"a"));
    KvoValue b(std::int32_t(7));
    KvoValue target;
    for (auto _ : state) {
        target = a;
        target = b;
        benchmark::DoNotOptimize(target);
    }
}
BENCHMARK(BM_ValueAssignMixed);

void BM_ValueMove(benchmark::State& state)
{
    KvoValue a(new KvoString(u"a"));
    KvoValue b;
    for (auto _ : state) {
        b = static_cast<KvoValue&&>(a);
        a = static_cast<KvoValue&&>(b);
        benchmark::DoNotOptimize(a);
    }
}
BENCHMARK(BM_ValueMove);

void BM_VectorPushPop(benchmark::State& state)
{
    KvoVector stack;
    KvoValue item(new KvoString(u"x"));
    for (auto _ : state) {
        for (int i = 0; i < 64; ++i)
            stack.push_back(item);
        stack.clear();
    }
    state.SetItemsProcessed(state.iterations() * 64);
}
BENCHMARK(BM_VectorPushPop);

std::vector<KvoString> makeKeys(std::int64_t count)
{
    std::vector<KvoString> keys;
    keys.reserve(static_cast<std::size_t>(count));
    for (std::int64_t i = 0; i < count; ++i)
        keys.emplace_back(KvoString::format(u"key_%ld", static_cast<std::int32_t>(i * 7919)));
    return keys;
}

// Find-or-create of count distinct keys into a fresh dictionary, then a lookup of each.
void dictionaryInsertLookup(benchmark::State& state, bool sorted)
{
    std::vector<KvoString> keys = makeKeys(state.range(0));
    for (auto _ : state) {
        KvoDictionary dictionary(sorted);
        dictionary.addRef();
        for (const KvoString& key : keys)
            (*dictionary[key]) = KvoValue(std::int32_t(1));
        for (const KvoString& key : keys)
            benchmark::DoNotOptimize(dictionary.find(key));
        dictionary.clear();
    }
    state.SetItemsProcessed(state.iterations() * state.range(0) * 2);
}

void BM_DictionaryUnsorted(benchmark::State& state)
{
    dictionaryInsertLookup(state, false);
}
BENCHMARK(BM_DictionaryUnsorted)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

void BM_DictionarySorted(benchmark::State& state)
{
    dictionaryInsertLookup(state, true);
}
BENCHMARK(BM_DictionarySorted)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
