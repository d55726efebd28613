// Element multiply, square, divide, exponential, logarithm, square root, sum,
// mean, element minimum and maximum and dot product at processor levels 0 to
// 3 side by side, at the streaming path's period sizes (1 ms at
// 48 kHz, 4 ms, and a full 512-frame channel buffer). The in-place routines
// restore their input from a copy each iteration (the same copy at every
// level), so that every run sees ordinary values; the element minimum and
// maximum settle after the first pass and need none.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>

#include "primitives/dsp.h"

namespace
{
constexpr int MaxFrames = 512;
// Arrays a few cache lines longer than the data, so that sources and
// destination do not sit a multiple of 4 KiB apart (loads would then wait on
// unrelated stores).
constexpr int Stride = MaxFrames + 48;

struct alignas(32) Operands
{
    float a[Stride], b[Stride], d[Stride], saved[Stride];
    Operands()
    {
        for (int i = 0; i < MaxFrames; ++i)
        {
            a[i] = 0.25f + 0.013f * static_cast<float>(i % 97);
            b[i] = 1.5f - 0.007f * static_cast<float>(i % 89);
            saved[i] = a[i];
            d[i] = b[i];
        }
    }
};

// Runs `body` at the level and length of the benchmark's arguments.
template <class Body> void AtLevel(benchmark::State& state, Body body)
{
    auto* ops = new Operands();
    const int len = static_cast<int>(state.range(0));
    DspCpuLevel = static_cast<int32_t>(state.range(1));
    for (auto _ : state)
    {
        body(*ops, len);
        benchmark::DoNotOptimize(ops->d);
        benchmark::ClobberMemory();
    }
    DspCpuLevel = 0;
    state.SetItemsProcessed(state.iterations() * len);
    delete ops;
}

void BM_VmMul(benchmark::State& state)
{
    AtLevel(state, [](Operands& o, int n) { DspMul32f(o.a, o.b, o.d, n); });
}
void BM_VmSqr(benchmark::State& state)
{
    AtLevel(state, [](Operands& o, int n) { DspSqr32f(o.a, o.d, n); });
}
void BM_VmDiv(benchmark::State& state)
{
    AtLevel(state, [](Operands& o, int n) { DspDiv32f(o.a, o.b, o.d, n); });
}
void BM_VmExp(benchmark::State& state)
{
    AtLevel(state,
            [](Operands& o, int n)
            {
                std::memcpy(o.d, o.saved, sizeof(float) * n);
                DspExpInPlace32f(o.d, n);
            });
}
void BM_VmLn(benchmark::State& state)
{
    AtLevel(state,
            [](Operands& o, int n)
            {
                std::memcpy(o.d, o.saved, sizeof(float) * n);
                DspLnInPlace32f(o.d, n);
            });
}

void BM_VmSqrt(benchmark::State& state)
{
    AtLevel(state,
            [](Operands& o, int n)
            {
                std::memcpy(o.d, o.saved, sizeof(float) * n);
                DspSqrtInPlace32f(o.d, n);
            });
}
// The reductions write one float, kept observable through this sink.
float Sink;
void BM_VmSumFast(benchmark::State& state)
{
    AtLevel(state, [](Operands& o, int n) { DspSum32f(o.a, n, &Sink, 1); });
}
void BM_VmSumAccurate(benchmark::State& state)
{
    AtLevel(state, [](Operands& o, int n) { DspSum32f(o.a, n, &Sink, 0); });
}
void BM_VmMean(benchmark::State& state)
{
    AtLevel(state, [](Operands& o, int n) { DspMean32f(o.a, n, &Sink, 0); });
}
void BM_VmMinEvery(benchmark::State& state)
{
    AtLevel(state, [](Operands& o, int n) { DspMinEvery32f(o.a, o.d, n); });
}
void BM_VmMaxEvery(benchmark::State& state)
{
    AtLevel(state, [](Operands& o, int n) { DspMaxEvery32f(o.a, o.d, n); });
}
void BM_VmDotProd(benchmark::State& state)
{
    AtLevel(state, [](Operands& o, int n) { DspDotProd32f(o.a, o.b, n, &Sink); });
}
// A source one element past alignment: the levels' realigning loops.
void BM_VmDotProdOffset(benchmark::State& state)
{
    AtLevel(state, [](Operands& o, int n) { DspDotProd32f(o.a + 1, o.b, n, &Sink); });
}

#define VM_BENCH(name)                                                                             \
    BENCHMARK(name)->ArgNames({"len", "level"})->ArgsProduct({{48, 192, MaxFrames}, {0, 1, 2, 3}})
VM_BENCH(BM_VmMul);
VM_BENCH(BM_VmSqr);
VM_BENCH(BM_VmDiv);
VM_BENCH(BM_VmExp);
VM_BENCH(BM_VmLn);
VM_BENCH(BM_VmSqrt);
VM_BENCH(BM_VmSumFast);
VM_BENCH(BM_VmSumAccurate);
VM_BENCH(BM_VmMean);
VM_BENCH(BM_VmMinEvery);
VM_BENCH(BM_VmMaxEvery);
VM_BENCH(BM_VmDotProd);
VM_BENCH(BM_VmDotProdOffset);
} // namespace
