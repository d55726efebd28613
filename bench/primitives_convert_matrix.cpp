// Every float<->integer conversion and round mode on one 1536-sample buffer,
// for white noise and for a sine, at every processor level, beside a memcpy of
// the same bytes. Bytes processed count what is read plus what is written, so
// the rates compare directly with the memcpy's.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "bench/memcpy_share.h"
#include "primitives/dsp.h"

namespace
{
constexpr int32_t Samples = 1536;

enum Signal
{
    Noise,
    Sine
};

// Values in [-amplitude, amplitude]: a linear congruential noise or a sine
// whose period is no divisor of the buffer.
std::vector<double> Wave(Signal signal, double amplitude)
{
    std::vector<double> v(Samples);
    uint32_t state = 12345u;
    for (int32_t i = 0; i < Samples; ++i)
    {
        state = state * 1664525u + 1013904223u;
        const double noise = static_cast<double>(state >> 8) / 8388608.0 - 1.0;
        v[i] = amplitude * (signal == Noise ? noise : std::sin(0.0123 * i));
    }
    return v;
}

enum SourceFormat
{
    F32,
    S16,
    S24,
    S32
};

struct Row
{
    const char* name;
    SourceFormat format;
    int32_t srcBytes; // per sample
    int32_t dstBytes;
    double amplitude; // of the source values
    void (*run)(const void* src, void* dst, int32_t len);
};

template <int32_t Mode, int32_t Sf> void To16s(const void* s, void* d, int32_t n)
{
    DspConvert32fTo16sScaled(static_cast<const float*>(s), static_cast<int16_t*>(d), n, Mode, Sf);
}
template <int32_t Mode, int32_t Sf> void To32s(const void* s, void* d, int32_t n)
{
    DspConvert32fTo32sScaled(static_cast<const float*>(s), static_cast<int32_t*>(d), n, Mode, Sf);
}
template <int32_t Sf> void To24s(const void* s, void* d, int32_t n)
{
    DspConvert32fTo24sScaled(static_cast<const float*>(s), static_cast<uint8_t*>(d), n, Sf);
}
template <int32_t Sf> void From16s(const void* s, void* d, int32_t n)
{
    DspConvert16sTo32fScaled(static_cast<const int16_t*>(s), static_cast<float*>(d), n, Sf);
}
template <int32_t Sf> void From32s(const void* s, void* d, int32_t n)
{
    DspConvert32sTo32fScaled(static_cast<const int32_t*>(s), static_cast<float*>(d), n, Sf);
}
void From32sPlain(const void* s, void* d, int32_t n)
{
    DspConvert32sTo32f(static_cast<const int32_t*>(s), static_cast<float*>(d), n);
}
void From24s(const void* s, void* d, int32_t n)
{
    DspConvert24sTo32f(static_cast<const uint8_t*>(s), static_cast<float*>(d), n);
}

// Sources of the float rows span a little beyond full scale, so saturation is
// part of the work; scaled rows take the streaming path's scale factors.
const Row Rows[] = {
    {"32fTo16s/rnd0/sf-15", F32, 4, 2, 1.05, To16s<0, -15>},
    {"32fTo16s/rnd1/sf-15", F32, 4, 2, 1.05, To16s<1, -15>},
    {"32fTo16s/rnd2/sf-15", F32, 4, 2, 1.05, To16s<2, -15>},
    {"32fTo16s/rnd0/sf0", F32, 4, 2, 34000.0, To16s<0, 0>},
    {"32fTo16s/rnd1/sf0", F32, 4, 2, 34000.0, To16s<1, 0>},
    {"32fTo16s/rnd2/sf0", F32, 4, 2, 34000.0, To16s<2, 0>},
    {"32fTo32s/rnd0/sf-31", F32, 4, 4, 1.05, To32s<0, -31>},
    {"32fTo32s/rnd1/sf-31", F32, 4, 4, 1.05, To32s<1, -31>},
    {"32fTo32s/rnd2/sf-31", F32, 4, 4, 1.05, To32s<2, -31>},
    {"32fTo32s/rnd0/sf0", F32, 4, 4, 2.2e9, To32s<0, 0>},
    {"32fTo32s/rnd1/sf0", F32, 4, 4, 2.2e9, To32s<1, 0>},
    {"32fTo32s/rnd2/sf0", F32, 4, 4, 2.2e9, To32s<2, 0>},
    {"32fTo24s/sf-23", F32, 4, 3, 1.05, To24s<-23>},
    {"32fTo24s/sf0", F32, 4, 3, 8.8e6, To24s<0>},
    {"16sTo32f/sf15", S16, 2, 4, 32767.0, From16s<15>},
    {"16sTo32f/sf0", S16, 2, 4, 32767.0, From16s<0>},
    {"32sTo32f/sf31", S32, 4, 4, 2147483647.0, From32s<31>},
    {"32sTo32f/sf0", S32, 4, 4, 2147483647.0, From32s<0>},
    {"32sTo32f/plain", S32, 4, 4, 2147483647.0, From32sPlain},
    {"24sTo32f", S24, 3, 4, 8388607.0, From24s},
};

// The source in the row's format, from the wave.
std::vector<uint8_t> Source(const Row& row, Signal signal)
{
    const std::vector<double> w = Wave(signal, row.amplitude);
    std::vector<uint8_t> bytes(static_cast<size_t>(Samples * row.srcBytes) + 16);
    for (int32_t i = 0; i < Samples; ++i)
    {
        uint8_t* p = bytes.data() + static_cast<size_t>(i * row.srcBytes);
        const auto f = static_cast<float>(w[i]);
        const auto v = static_cast<int32_t>(w[i]);
        if (row.format == F32)
            std::memcpy(p, &f, 4);
        else
            std::memcpy(p, &v, static_cast<size_t>(row.srcBytes)); // low bytes, little-endian
    }
    return bytes;
}

// One place for every run's source and destination, so that the levels
// compare on the same addresses. The destination sits at a distance from the
// source, modulo 4 KB, that keeps every load clear of the addresses of the
// stores still in flight (a load that matches one in its low twelve bits
// waits for it): the difference of the read and write positions sweeps up
// (source wider) or down (destination wider) as the samples advance.
struct alignas(4096) Arena
{
    uint8_t bytes[4 * 4096];
    const uint8_t* Src() const { return bytes; }
    uint8_t* Dst(int32_t srcBytes, int32_t dstBytes)
    {
        const size_t apart = srcBytes > dstBytes ? 3584 : (srcBytes < dstBytes ? 512 : 2048);
        return bytes + 2 * 4096 + apart;
    }
};
Arena g_Arena;

void RunRow(benchmark::State& state, const Row* row)
{
    const auto signal = static_cast<Signal>(state.range(0));
    const auto level = static_cast<int32_t>(state.range(1));
    const std::vector<uint8_t> bytes = Source(*row, signal);
    std::memcpy(g_Arena.bytes, bytes.data(), static_cast<size_t>(Samples * row->srcBytes));
    uint8_t* dst = g_Arena.Dst(row->srcBytes, row->dstBytes);
    DspCpuLevel = level;
    for (auto _ : state)
    {
        row->run(g_Arena.Src(), dst, Samples);
        benchmark::DoNotOptimize(dst);
        benchmark::ClobberMemory();
    }
    DspCpuLevel = 0;
    state.SetBytesProcessed(state.iterations() * Samples * (row->srcBytes + row->dstBytes));
    if (level == 0)
    {
        SetMemcpyShare(state, static_cast<size_t>(Samples * row->srcBytes),
                       static_cast<size_t>(Samples * row->dstBytes));
    }
}

// The yardstick: memcpy of 1536 four-byte samples, read and write counted.
void BM_Memcpy1536(benchmark::State& state)
{
    uint8_t* dst = g_Arena.Dst(4, 4);
    for (auto _ : state)
    {
        std::memcpy(dst, g_Arena.Src(), sizeof(float) * Samples);
        benchmark::DoNotOptimize(dst);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * Samples * 8);
}
BENCHMARK(BM_Memcpy1536);

const bool Registered = []
{
    for (const Row& row : Rows)
    {
        const std::string name = std::string("BM_Convert1536/") + row.name;
        benchmark::RegisterBenchmark(name.c_str(), RunRow, &row)
            ->ArgNames({"sine", "level"})
            ->ArgsProduct({{Noise, Sine}, {0, 1, 2, 3}});
    }
    return true;
}();
} // namespace
