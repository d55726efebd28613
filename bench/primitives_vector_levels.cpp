// Vector basics, interleave and de-interleave at every processor level on the
// streaming path's sizes (512 frames, 1536 samples, 512 frames of 8 channels),
// beside a memcpy of the same length. Bytes processed count what is read plus
// what is written, so the rates compare directly with the memcpy's.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "primitives/dsp.h"

namespace
{
constexpr int32_t MaxLen = 512 * 8;

// Fixed buffers for every run, so that the levels compare on the same
// addresses; same-width buffers sit 2 KB apart modulo 4 KB, where no load
// meets the low address bits of a store still in flight.
struct alignas(4096) Arena
{
    float a[MaxLen + 512]; // b starts 2 KB past a 4 KB boundary of a
    float b[MaxLen + 512];
    float channels[8][MaxLen / 8 + 128];
};
Arena g_Arena;

float* A()
{
    return g_Arena.a;
}
float* B()
{
    return g_Arena.b;
}

struct Row
{
    const char* name;
    int32_t streams; // vectors read plus written, of len floats each
    void (*run)(int32_t len);
};

const Row Rows[] = {
    {"Copy", 2, [](int32_t n) { DspCopy32f(A(), B(), n); }},
    {"Zero", 1, [](int32_t n) { DspZero32f(B(), n); }},
    {"Set", 1, [](int32_t n) { DspSet32f(0.25f, B(), n); }},
    {"Move", 2, [](int32_t n) { DspMove32f(B() + 1, B(), n); }}, // overlapping
    {"MulConst", 2, [](int32_t n) { DspMulConst32f(A(), 0.5f, B(), n); }},
    {"MulConstInPlace", 2, [](int32_t n) { DspMulConstInPlace32f(1.0000001f, B(), n); }},
    {"DivConstInPlace", 2, [](int32_t n) { DspDivConstInPlace32f(0.9999999f, B(), n); }},
    {"AddConstInPlace", 2, [](int32_t n) { DspAddConstInPlace32f(1e-30f, B(), n); }},
    {"AddInPlace", 3, [](int32_t n) { DspAddInPlace32f(A(), B(), n); }},
    {"MulInPlace", 3, [](int32_t n) { DspMulInPlace32f(A(), B(), n); }},
};

void RunRow(benchmark::State& state, const Row* row)
{
    const auto len = static_cast<int32_t>(state.range(0));
    for (int32_t i = 0; i < MaxLen; ++i)
        A()[i] = B()[i] = 1.0f + static_cast<float>(i % 97) * 0.01f;
    DspCpuLevel = static_cast<int32_t>(state.range(1));
    for (auto _ : state)
    {
        row->run(len);
        benchmark::ClobberMemory();
    }
    DspCpuLevel = 0;
    state.SetBytesProcessed(state.iterations() * len * 4 * row->streams);
}

// Interleaving: one period of 512 frames, channels from separate buffers.
void RunInterleave(benchmark::State& state, bool interleave)
{
    const auto channels = static_cast<int32_t>(state.range(0));
    const int32_t frames = MaxLen / 8;
    float* ch[8];
    for (int32_t c = 0; c < 8; ++c)
        ch[c] = g_Arena.channels[c] + 16 * c; // staggered, 16-byte aligned
    DspCpuLevel = static_cast<int32_t>(state.range(1));
    for (auto _ : state)
    {
        if (interleave)
            DspInterleave32f(ch, channels, frames, B());
        else
            DspDeinterleave32f(A(), channels, frames, ch);
        benchmark::ClobberMemory();
    }
    DspCpuLevel = 0;
    state.SetBytesProcessed(state.iterations() * frames * channels * 8);
}

void BM_LevelMemcpy(benchmark::State& state)
{
    const auto len = static_cast<size_t>(state.range(0));
    for (auto _ : state)
    {
        std::memcpy(B(), A(), len * 4);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(len) * 8);
}
BENCHMARK(BM_LevelMemcpy)->Arg(512)->Arg(1536)->Arg(MaxLen);

const bool Registered = []
{
    for (const Row& row : Rows)
        benchmark::RegisterBenchmark((std::string("BM_VectorLevels/") + row.name).c_str(), RunRow,
                                     &row)
            ->ArgNames({"len", "level"})
            ->ArgsProduct({{512, 1536, MaxLen}, {0, 1, 2, 3}});
    for (bool interleave : {true, false})
        benchmark::RegisterBenchmark(interleave ? "BM_VectorLevels/Interleave"
                                                : "BM_VectorLevels/Deinterleave",
                                     RunInterleave, interleave)
            ->ArgNames({"channels", "level"})
            ->ArgsProduct({{2, 8}, {0, 1, 2, 3}});
    return true;
}();
} // namespace
