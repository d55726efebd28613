// Helpers of the variant-kernel tests: exactly sized 16-byte aligned float
// buffers (so the sanitiser sees any read past them), the level tables, and
// complex views of interleaved, split-block and two-array data.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "primitives/fft/DspFftSpec.h"
#include "tests/primitives/fft/fft_reference.h"

namespace fftvar
{
struct Floats
{
    explicit Floats(size_t count, float fill = 0.0f)
        : size(count),
          mem(static_cast<float*>(std::aligned_alloc(16, (count * 4 + 15) & ~15u)), &std::free)
    {
        for (size_t i = 0; i < count; ++i)
        {
            mem.get()[i] = fill;
        }
    }
    float* data() const { return mem.get(); }
    std::vector<float> Copy() const { return {mem.get(), mem.get() + size}; }
    size_t size;
    std::unique_ptr<float, decltype(&std::free)> mem;
};

inline Floats FromVector(const std::vector<float>& v)
{
    Floats f(v.size());
    std::copy(v.begin(), v.end(), f.data());
    return f;
}

// Block bit-reversal table and the level's pass twiddles for 2^m points.
struct Tables
{
    Tables(int m, uint8_t* (*twiddleTable)(int32_t, const float*, int32_t, float*),
           uint8_t* (*bitRevTable)(int32_t, uint32_t*))
        : sineOrder(m > 10 ? m : 10), sine((size_t{1} << sineOrder) / 4 + 1),
          rev((size_t{1} << m) / 4 + 1), tw(2 * (size_t{1} << m))
    {
        DspFftSineTable_Gen(sine.data(), sineOrder);
        bitRevTable(m, rev.data());
        twiddleTable(m, sine.data(), sineOrder, tw.data());
    }
    const int32_t* Signed() const { return reinterpret_cast<const int32_t*>(rev.data()); }
    int sineOrder;
    std::vector<float> sine;
    std::vector<uint32_t> rev;
    Floats tw;
};

// n complex values from interleaved pairs, from two arrays, or from split
// blocks (point p in block p / 4, lane p % 4).
inline std::vector<fftref::cd> FromArrays(const float* re, const float* im, size_t n,
                                          size_t step = 1)
{
    std::vector<fftref::cd> out(n);
    for (size_t i = 0; i < n; ++i)
    {
        out[i] = {re[step * i], im[step * i]};
    }
    return out;
}
inline std::vector<fftref::cd> FromInterleaved(const float* f, size_t n)
{
    return FromArrays(f, f + 1, n, 2);
}
inline std::vector<fftref::cd> FromSplitBlocks(const float* f, size_t n)
{
    std::vector<fftref::cd> out(n);
    for (size_t p = 0; p < n; ++p)
    {
        out[p] = {f[8 * (p / 4) + p % 4], f[8 * (p / 4) + 4 + p % 4]};
    }
    return out;
}

inline size_t Reverse(size_t v, int bits)
{
    size_t r = 0;
    for (int b = 0; b < bits; ++b)
    {
        r |= ((v >> b) & 1u) << (bits - 1 - b);
    }
    return r;
}

#ifdef __OPTIMIZE__ // the largest sizes in optimised builds only
constexpr int kMaxOrder = 17;
#else
constexpr int kMaxOrder = 10;
#endif
} // namespace fftvar
