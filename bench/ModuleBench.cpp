// Benchmarks of module files and value records: writing and reading the module of a large
// compiled program (classes and functions in the thousands) and a value graph of up to a million
// elements. Each runs at two or three sizes; the time per item (items_per_second) should stay
// flat as the size grows, showing that reading and writing are linear.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>
#include <string>

#include "host/KvoDictionaryIO.h"
#include "host/KvoVirtualMachine.h"
#include "values/KvoString.h"
#include "values/KvoVector.h"

namespace {

// A program of count units, each a class with a constructor and two methods and a global function
// with a loop and a switch (the shape of bench/compile/generate.py).
std::u16string programOf(int count)
{
    std::string text;
    for (int n = 0; n < count; ++n) {
        const std::string i = std::to_string(n);
        text += "class Shape" + i + " { w; h; Shape" + i + "(a, b); area(); scaled(k); }\n";
        text += "Shape" + i + "::Shape" + i + "(a, b) { w = a; h = b; }\n";
        text += "Shape" + i + "::area() { return w * h + " + i + "; }\n";
        text += "Shape" + i + "::scaled(k) { var s = new Shape" + i + "(w * k, h * k); return s->area(); }\n";
        text += "helper" + i + "(x, y) {\n    var total = 0;\n    for (var i = 0; i < x; i++) {\n";
        text += "        if (i % 3 == 0) total += i * y; else total -= " + i + ";\n    }\n";
        text += "    switch (total % 4) { case 0: return total; case 1: return -total; default: return " + i +
                "; }\n}\n";
    }
    text += "main() { var s = new Shape0(2, 3); return s->area() - 6; }\n";
    return std::u16string(text.begin(), text.end());
}

// A vector of count elements: pairs [integer, string] where every fourth string is shared with
// the previous pair, so the graph has about 2.75 * count objects and back references.
KvoValue graphOf(std::uint32_t count)
{
    KvoValue root(new KvoVector(count, false));
    KvoValue shared;
    for (std::uint32_t i = 0; i < count; ++i) {
        auto* pair = new KvoVector(2, false);
        pair->push_back(KvoValue(static_cast<std::int32_t>(i)));
        if (i % 4 != 0 || shared.isNull())
            shared = KvoValue(new KvoString(u"element text"));
        pair->push_back(shared);
        root.getVector()->push_back(KvoValue(pair));
    }
    return root;
}

std::string readAll(std::FILE* file)
{
    std::rewind(file);
    std::string bytes;
    char chunk[65536];
    for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, file)) > 0;)
        bytes.append(chunk, n);
    return bytes;
}

std::FILE* fileWith(const std::string& bytes)
{
    std::FILE* file = std::tmpfile();
    std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::rewind(file);
    return file;
}

void BM_WriteModule(benchmark::State& state)
{
    KvoVirtualMachine vm;
    if (!vm.compileText(programOf(static_cast<int>(state.range(0))).c_str())) {
        state.SkipWithError("program does not compile");
        return;
    }
    std::FILE* file = std::tmpfile();
    std::size_t bytes = 0;
    for (auto _ : state) {
        std::rewind(file);
        if (!vm.writeModule(file))
            state.SkipWithError("write failed");
        bytes = static_cast<std::size_t>(std::ftell(file));
    }
    std::fclose(file);
    state.SetItemsProcessed(state.iterations() * state.range(0));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
}
BENCHMARK(BM_WriteModule)->Arg(1000)->Arg(2000)->Arg(4000)->Unit(benchmark::kMillisecond);

void BM_ReadModule(benchmark::State& state)
{
    std::string bytes;
    {
        KvoVirtualMachine vm;
        if (!vm.compileText(programOf(static_cast<int>(state.range(0))).c_str())) {
            state.SkipWithError("program does not compile");
            return;
        }
        std::FILE* file = std::tmpfile();
        vm.writeModule(file);
        bytes = readAll(file);
        std::fclose(file);
    }
    std::FILE* file = fileWith(bytes);
    for (auto _ : state) {
        state.PauseTiming();
        auto vm = std::make_unique<KvoVirtualMachine>();
        std::rewind(file);
        state.ResumeTiming();
        if (!vm->readModule(file))
            state.SkipWithError("read failed");
        state.PauseTiming();
        vm.reset();
        state.ResumeTiming();
    }
    std::fclose(file);
    state.SetItemsProcessed(state.iterations() * state.range(0));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}
BENCHMARK(BM_ReadModule)->Arg(1000)->Arg(2000)->Arg(4000)->Unit(benchmark::kMillisecond);

void BM_WriteValueGraph(benchmark::State& state)
{
    KvoVirtualMachine vm;
    KvoValue graph = graphOf(static_cast<std::uint32_t>(state.range(0)));
    std::FILE* file = std::tmpfile();
    for (auto _ : state) {
        std::rewind(file);
        if (!KvoDictionaryIO(&vm).writeSingleValue(file, graph))
            state.SkipWithError("write failed");
    }
    std::fclose(file);
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_WriteValueGraph)->Arg(250000)->Arg(500000)->Arg(1000000)->Unit(benchmark::kMillisecond);

void BM_ReadValueGraph(benchmark::State& state)
{
    KvoVirtualMachine vm;
    std::string bytes;
    {
        KvoValue graph = graphOf(static_cast<std::uint32_t>(state.range(0)));
        std::FILE* file = std::tmpfile();
        KvoDictionaryIO(&vm).writeSingleValue(file, graph);
        bytes = readAll(file);
        std::fclose(file);
    }
    std::FILE* file = fileWith(bytes);
    for (auto _ : state) {
        KvoValue value;
        std::rewind(file);
        if (!KvoDictionaryIO(&vm).readSingleValue(file, value))
            state.SkipWithError("read failed");
        state.PauseTiming();
        value.dispose();
        state.ResumeTiming();
    }
    std::fclose(file);
    state.SetItemsProcessed(state.iterations() * state.range(0));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}
BENCHMARK(BM_ReadValueGraph)->Arg(250000)->Arg(500000)->Arg(1000000)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
