// Naive references for the FIR tests, written straight from the definitions.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

namespace firref
{
inline std::vector<float> Signal(size_t n, uint32_t seed)
{
    std::vector<float> x(n);
    uint32_t state = seed * 2654435761u + 7u;
    for (auto& v : x)
    {
        state = state * 1664525u + 1013904223u;
        v = static_cast<float>(state >> 8) * (2.0f / 16777216.0f) - 1.0f;
    }
    return x;
}

// y[t] = sum_j h[j] x[t - j], x[-1 - k] = history[k]; the single-precision
// products added oldest sample first, as the direct form defines it.
inline std::vector<float> Convolve(const std::vector<float>& h, const std::vector<float>& x,
                                   const std::vector<float>& history)
{
    const int64_t n = static_cast<int64_t>(h.size());
    auto sample = [&](int64_t i) -> float
    {
        if (i >= 0)
        {
            return x[static_cast<size_t>(i)];
        }
        const size_t k = static_cast<size_t>(-1 - i);
        return k < history.size() ? history[k] : 0.0f;
    };
    std::vector<float> y(x.size());
    for (int64_t t = 0; t < static_cast<int64_t>(x.size()); ++t)
    {
        float acc = 0.0f;
        for (int64_t j = n - 1; j >= 0; --j)
        {
            acc += h[static_cast<size_t>(j)] * sample(t - j);
        }
        y[static_cast<size_t>(t)] = acc;
    }
    return y;
}

// Upsample by U (input j at position jU + pu), filter, keep positions mD + pd:
// y[m] = sum_k h[k] u[mD + pd - k]. Products of input samples only, oldest
// first, in single precision.
inline std::vector<float> Multirate(const std::vector<float>& h, const std::vector<float>& x,
                                    int64_t up, int64_t upPhase, int64_t down, int64_t downPhase,
                                    const std::vector<float>& history)
{
    const int64_t n = static_cast<int64_t>(h.size());
    const int64_t outputs = static_cast<int64_t>(x.size()) / down * up;
    std::vector<float> y(static_cast<size_t>(outputs));
    for (int64_t m = 0; m < outputs; ++m)
    {
        const int64_t pos = m * down + downPhase;
        float acc = 0.0f;
        // Inputs j with 0 <= pos - (j*up + upPhase) < n, oldest (smallest j) first.
        for (int64_t k = n - 1; k >= 0; --k)
        {
            const int64_t p = pos - k - upPhase;
            if (p % up != 0)
            {
                continue;
            }
            const int64_t j = p / up;
            float s = 0.0f;
            if (j >= 0)
            {
                s = x[static_cast<size_t>(j)];
            }
            else if (static_cast<size_t>(-1 - j) < history.size())
            {
                s = history[static_cast<size_t>(-1 - j)];
            }
            acc += h[static_cast<size_t>(k)] * s;
        }
        y[static_cast<size_t>(m)] = acc;
    }
    return y;
}
} // namespace firref
