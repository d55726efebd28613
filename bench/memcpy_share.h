// The conversions' yardstick, taken in the run that measures them: memcpy's
// bytes read and written per second of thread time over the same amount of
// data, and the counter that sets a benchmark's bytes against it.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <ctime>
#include <vector>

inline double ThreadSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

// Read plus written bytes per second of a memcpy of `bytes`, over about 20 ms.
// The copy lands half a page off the source, modulo 4 KB, so that no load
// waits on a store in flight that matches it in its low twelve bits.
inline double MemcpyRate(size_t bytes)
{
    std::vector<uint8_t> arena(2 * bytes + 8192, 1);
    uint8_t* const from = arena.data();
    uint8_t* const to = from + ((bytes + 4095) & ~size_t{4095}) + 2048;
    int64_t copies = 0;
    const double start = ThreadSeconds();
    double elapsed = 0.0;
    while (elapsed < 0.02)
    {
        for (int k = 0; k < 64; ++k, ++copies)
        {
            std::memcpy(to, from, bytes);
            benchmark::DoNotOptimize(to);
            benchmark::ClobberMemory();
        }
        elapsed = ThreadSeconds() - start;
    }
    return 2.0 * static_cast<double>(bytes) * static_cast<double>(copies) / elapsed;
}

// memcpy_share: the benchmark's bytes read and written per second over
// memcpy's for as many bytes as the conversion moves (the larger of its source
// and destination), both per second of thread time.
inline void SetMemcpyShare(benchmark::State& state, size_t srcBytes, size_t dstBytes)
{
    const double rate = MemcpyRate(srcBytes > dstBytes ? srcBytes : dstBytes);
    state.counters["memcpy_share"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * static_cast<double>(srcBytes + dstBytes) / rate,
        benchmark::Counter::kIsRate);
}
