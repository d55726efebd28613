// Independent double-precision references for the FFT tests: a plain DFT for
// small lengths and a recursive radix-2 FFT (itself checked against the DFT)
// for large ones.
#pragma once

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <vector>

// The references run on millions of points in unoptimised test builds. Only
// GCC optimises single functions; under clang they run as built.
#if defined(__clang__)
#define FFTREF_FAST
#else
#define FFTREF_FAST __attribute__((optimize("O2")))
#endif

namespace fftref
{
using cd = std::complex<double>;

inline std::vector<cd> Dft(const std::vector<cd>& x, bool inverse)
{
    const size_t n = x.size();
    std::vector<cd> out(n);
    const double sign = inverse ? 1.0 : -1.0;
    for (size_t k = 0; k < n; ++k)
    {
        cd acc = 0;
        for (size_t t = 0; t < n; ++t)
        {
            const double angle = sign * 2.0 * M_PI * static_cast<double>((k * t) % n) / n;
            acc += x[t] * cd(cos(angle), sin(angle));
        }
        out[k] = acc;
    }
    return out;
}

// Iterative radix-2 with a twiddle table computed once per length; works on
// the doubles of the complex array (which the standard lays out as pairs) so
// that it stays fast in unoptimised builds.
FFTREF_FAST inline std::vector<cd> Fft(const std::vector<cd>& x, bool inverse)
{
    const size_t n = x.size();
    int bits = 0;
    while ((size_t{1} << bits) < n)
    {
        ++bits;
    }
    std::vector<cd> out(n);
    const double* in = reinterpret_cast<const double*>(x.data());
    double* a = reinterpret_cast<double*>(out.data());
    for (size_t i = 0; i < n; ++i)
    {
        size_t r = 0;
        for (int b = 0; b < bits; ++b)
        {
            r |= ((i >> b) & 1u) << (bits - 1 - b);
        }
        a[2 * r] = in[2 * i];
        a[2 * r + 1] = in[2 * i + 1];
    }
    const double sign = inverse ? 1.0 : -1.0;
    std::vector<double> w(n + 2);
    for (size_t k = 0; k < n / 2; ++k)
    {
        const double angle = sign * 2.0 * M_PI * static_cast<double>(k) / static_cast<double>(n);
        w[2 * k] = cos(angle);
        w[2 * k + 1] = sin(angle);
    }
    for (size_t len = 2; len <= n; len *= 2)
    {
        const size_t stride = n / len;
        const size_t half = len / 2;
        for (size_t base = 0; base < n; base += len)
        {
            double* e = a + 2 * base;
            double* o = e + 2 * half;
            for (size_t k = 0; k < half; ++k)
            {
                const double wr = w[2 * k * stride];
                const double wi = w[2 * k * stride + 1];
                const double tr = wr * o[2 * k] - wi * o[2 * k + 1];
                const double ti = wr * o[2 * k + 1] + wi * o[2 * k];
                const double er = e[2 * k];
                const double ei = e[2 * k + 1];
                e[2 * k] = er + tr;
                e[2 * k + 1] = ei + ti;
                o[2 * k] = er - tr;
                o[2 * k + 1] = ei - ti;
            }
        }
    }
    return out;
}

inline std::vector<cd> Transform(const std::vector<cd>& x, bool inverse)
{
    return x.size() <= 256 ? Dft(x, inverse) : Fft(x, inverse);
}

// Full spectrum of real samples from the packed layout.
FFTREF_FAST inline std::vector<cd> Unpack(const float* packed, size_t n)
{
    std::vector<cd> out(n);
    out[0] = packed[0];
    if (n == 1)
    {
        return out;
    }
    out[n / 2] = packed[1];
    for (size_t k = 1; k < n / 2; ++k)
    {
        out[k] = cd(packed[2 * k], packed[2 * k + 1]);
        out[n - k] = std::conj(out[k]);
    }
    return out;
}

inline std::vector<float> Pack(const std::vector<cd>& spectrum)
{
    const size_t n = spectrum.size();
    std::vector<float> out(n);
    out[0] = static_cast<float>(spectrum[0].real());
    if (n == 1)
    {
        return out;
    }
    out[1] = static_cast<float>(spectrum[n / 2].real());
    for (size_t k = 1; k < n / 2; ++k)
    {
        out[2 * k] = static_cast<float>(spectrum[k].real());
        out[2 * k + 1] = static_cast<float>(spectrum[k].imag());
    }
    return out;
}

FFTREF_FAST inline std::vector<float> RandomSignal(size_t n, uint32_t seed)
{
    // A linear congruential generator: cheap in unoptimised builds, and the
    // top 24 bits give uniform floats in [-1, 1).
    std::vector<float> x(n);
    uint32_t state = seed * 2654435761u + 1u;
    for (auto& v : x)
    {
        state = state * 1664525u + 1013904223u;
        v = static_cast<float>(state >> 8) * (2.0f / 16777216.0f) - 1.0f;
    }
    return x;
}

// A copy of x placed `off` floats past a 16-byte boundary (vector storage is
// 16-byte aligned), for the kernels that take data at any 4-byte alignment.
struct Shifted
{
    Shifted(const std::vector<float>& x, int off)
        : buf(x.size() + 4), at(buf.data() + off), n(x.size())
    {
        std::copy(x.begin(), x.end(), at);
    }
    Shifted(const Shifted&) = delete;
    Shifted& operator=(const Shifted&) = delete;
    std::vector<float> Values() const { return {at, at + n}; }
    std::vector<float> buf;
    float* at;
    size_t n;
};

// ||a - b|| / ||b|| in the 2-norm.
FFTREF_FAST inline double RelativeError(const std::vector<cd>& a, const std::vector<cd>& b)
{
    const double* pa = reinterpret_cast<const double*>(a.data());
    const double* pb = reinterpret_cast<const double*>(b.data());
    double num = 0;
    double den = 0;
    for (size_t i = 0; i < 2 * a.size(); ++i)
    {
        num += (pa[i] - pb[i]) * (pa[i] - pb[i]);
        den += pb[i] * pb[i];
    }
    return std::sqrt(num / den);
}

// Accuracy promised for a float FFT of 2^order points: relative 2-norm error
// at most order / 2 unit roundoffs (2^-24): a rounding error per radix-2 level
// plus the twiddles' own, both growing with the number of levels.
inline double ErrorBound(int order)
{
    const double eps = std::ldexp(1.0, -24);
    return 0.5 * (order < 1 ? 1 : order) * eps;
}
} // namespace fftref
