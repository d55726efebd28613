// The IIR kernels for the other sample types at every level: states laid out
// by hand in each layout, run sample by sample against a double-precision
// transposed direct form; the integer rounding, saturation and scale-factor
// cases; the 16-bit and complex block kernels against the same recursion.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstring>
#include <limits>
#include <vector>

#include "primitives/filters/DspIirTypes.h"

namespace
{
using Cd = std::complex<double>;
const bool LevelAvailable[3] = {__builtin_cpu_supports("sse3") != 0,
                                __builtin_cpu_supports("ssse3") != 0,
                                __builtin_cpu_supports("sse4.1") != 0};
#define LEVELS(name)                                                                               \
    {                                                                                              \
        name##_Sse3, name##_Ssse3, name##_Sse4                                                     \
    }

// Coefficients normalised to a0 = 1: b0..bN then a1..aN, poles at radius 0.5
// (real ones for real filters), so every run stays bounded.
std::vector<Cd> Coefficients(int32_t n, bool complex, uint32_t seed)
{
    std::vector<Cd> a{1.0};
    for (int32_t p = 0; p < n; ++p)
    {
        const double angle = 1.3 * (p + 1) + seed;
        const Cd pole = complex ? std::polar(0.5, angle) : Cd(0.5 * std::cos(angle));
        a.push_back(0.0);
        for (size_t k = a.size() - 1; k > 0; --k)
            a[k] -= pole * a[k - 1];
    }
    std::vector<Cd> c;
    for (int32_t k = 0; k <= n; ++k)
        c.push_back(Cd(0.3 * std::cos(k + seed), complex ? 0.2 * std::sin(2.0 * k + seed) : 0.0));
    c.insert(c.end(), a.begin() + 1, a.end());
    return c;
}

// Transposed direct form II in double precision; sections: each of five
// coefficients b0, b1, b2, a1, a2.
struct Reference
{
    std::vector<Cd> c; // b0..bN, a1..aN
    int32_t n;
    std::vector<Cd> d = std::vector<Cd>(64);
    Cd Step(Cd x)
    {
        const Cd y = c[0] * x + d[0];
        for (int32_t k = 0; k < n; ++k)
            d[size_t(k)] = c[size_t(k + 1)] * x - c[size_t(n + k + 1)] * y + d[size_t(k + 1)];
        return y;
    }
};

// A state laid out by hand. P is float or double.
template <class P> struct Hand
{
    DspIirState32f st{};
    std::vector<P> taps, table, delay;
    void Point()
    {
        st.taps = reinterpret_cast<float*>(taps.data());
        st.sectionTable = reinterpret_cast<float*>(table.data());
        st.delay = reinterpret_cast<float*>(delay.data());
    }
    void Quad(Cd c) // the rearranged form of one complex coefficient
    {
        table.insert(table.end(), {P(c.real()), P(c.real()), P(-c.imag()), P(c.imag())});
    }
};

// Direct form: plain taps (pairs when complex), or the rearranged table.
template <class P> Hand<P> Direct(const std::vector<Cd>& c, int32_t n, bool complex, bool table)
{
    Hand<P> h;
    for (const Cd& v : c)
    {
        if (table)
            h.Quad(v);
        h.taps.push_back(P(v.real()));
        if (complex)
            h.taps.push_back(P(v.imag()));
    }
    h.delay.assign(size_t(n + 1) * (complex ? 2 : 1), P(0));
    h.st.kind = DspIirKindDirect;
    h.st.order = n;
    h.Point();
    return h;
}

// Biquad cascade of m sections with coefficients sec[s] = b0, b1, b2, a1, a2.
enum class Layout
{
    Float8,  // float section table
    Double6, // real double section table
    Plain10, // complex pairs in the taps
    Table20, // complex rearranged table
};
template <class P> Hand<P> Biquad(const std::vector<std::vector<Cd>>& sec, Layout layout)
{
    Hand<P> h;
    const auto m = static_cast<int32_t>(sec.size());
    for (const auto& s : sec)
    {
        const Cd b0 = s[0], b1 = s[1], b2 = s[2], a1 = s[3], a2 = s[4];
        if (layout == Layout::Float8)
            h.table.insert(h.table.end(), {P(b0.real()), P(b1.real()), P(b2.real()), P(7),
                                           P(-a1.real()), P(-a2.real()), P(7), P(7)});
        if (layout == Layout::Double6)
            h.table.insert(h.table.end(), {P(b0.real()), P(b0.real()), P(b1.real()), P(b2.real()),
                                           P(-a1.real()), P(-a2.real())});
        if (layout == Layout::Plain10)
            for (const Cd& v : s)
                h.taps.insert(h.taps.end(), {P(v.real()), P(v.imag())});
        if (layout == Layout::Table20)
            for (const Cd& v : {b0, b1, b2, -a1, -a2})
                h.Quad(v);
    }
    const bool complex = layout == Layout::Plain10 || layout == Layout::Table20;
    h.delay.assign(size_t(2 * m) * (complex ? 2 : 1), P(0));
    h.st.kind = DspIirKindBiquad;
    h.st.order = 2 * m;
    h.st.sectionCount = m;
    h.Point();
    return h;
}

std::vector<std::vector<Cd>> Sections(int32_t m, bool complex)
{
    std::vector<std::vector<Cd>> sec;
    for (int32_t s = 0; s < m; ++s)
    {
        const auto c = Coefficients(2, complex, uint32_t(s) + 3);
        sec.push_back({c[0], c[1], c[2], c[3], c[4]});
    }
    return sec;
}

Cd CascadeStep(std::vector<Reference>& r, Cd x)
{
    for (auto& s : r)
        x = s.Step(x);
    return x;
}

std::vector<Reference> CascadeOf(const std::vector<std::vector<Cd>>& sec)
{
    std::vector<Reference> r;
    for (const auto& s : sec)
        r.push_back(Reference{s, 2});
    return r;
}

double Input(int32_t t, int32_t part)
{
    return std::sin(0.37 * t + 1.1 * part) * 0.8 + 0.1 * part;
}

double Round(double v, double lo, double hi)
{
    return std::nearbyint(std::fmin(std::fmax(v, lo), hi));
}

// Drives a one-sample kernel of any signature: In and Out sample types, lanes
// 1 (real) or 2 (complex), integer inputs scaled up by 1000.
template <class In, class Out, class Call>
void Expect(const char* what, int32_t lanes, Call call, std::vector<Reference> ref, double tol,
            int32_t sf)
{
    const double in = std::is_integral_v<In> ? 1000.0 : 1.0;
    const double scale = std::ldexp(1.0, -sf);
    for (int32_t t = 0; t < 40; ++t)
    {
        In x[2];
        Out y[2];
        for (int32_t p = 0; p < lanes; ++p)
            x[p] = static_cast<In>(std::nearbyint(Input(t, p) * in * 1e6) / 1e6);
        const Cd want = CascadeStep(ref, Cd(double(x[0]), lanes == 2 ? double(x[1]) : 0.0));
        call(x, y);
        const double parts[2] = {want.real(), want.imag()};
        for (int32_t p = 0; p < lanes; ++p)
        {
            if constexpr (std::is_integral_v<Out>)
            {
                const double lo = double(std::numeric_limits<Out>::min());
                const double hi = double(std::numeric_limits<Out>::max());
                ASSERT_NEAR(double(y[p]), Round(parts[p] * scale, lo, hi), 1.0) << what << t;
            }
            else
            {
                ASSERT_NEAR(double(y[p]), parts[p], tol) << what << " t " << t << " part " << p;
            }
        }
    }
}

TEST(IirTypeKernels, DoubleStatesMatchTheReference)
{
    using K64 = void (*)(const double*, double*, DspIirState32f*);
    using K32f = void (*)(const float*, float*, DspIirState32f*);
    using K32s = void (*)(const int32_t*, int32_t*, DspIirState32f*, int32_t);
    using K16s = void (*)(const int16_t*, int16_t*, DspIirState32f*, int32_t);
    using K32sAux = void (*)(const int32_t*, int32_t*, double*, DspIirState32f*, int32_t);
    const K64 d64[] = LEVELS(DspIirOneSample64fKernel);
    const K32f d32f[] = LEVELS(DspIirOneSample32f64fKernel);
    const K32s d32s[] = LEVELS(DspIirOneSample32s64fKernel);
    const K16s d16s[] = LEVELS(DspIirOneSample16s64fKernel);
    const K32sAux d32sAux[] = LEVELS(DspIirOneSample32s64fAuxKernel);
    const K64 b64[] = LEVELS(DspBiquadOneSample64fKernel);
    const K32s b32s[] = LEVELS(DspBiquadOneSample32s64fKernel);
    const K16s b16s[] = LEVELS(DspBiquadOneSample16s64fKernel);
    const K64 c64[] = LEVELS(DspIirOneSample64fcKernel);
    const K64 cb64[] = LEVELS(DspBiquadOneSample64fcKernel);
    const K32s c32s[] = LEVELS(DspIirOneSample32sc64fcKernel);
    const K16s cb16s[] = LEVELS(DspBiquadOneSample16sc64fcKernel);
    const K32f c32f[] = LEVELS(DspIirOneSample32fc64fcKernel);
    for (size_t l = 0; l < 3; ++l)
    {
        if (!LevelAvailable[l])
            continue;
        for (int32_t n : {1, 2, 3, 6})
        {
            const auto c = Coefficients(n, false, uint32_t(n));
            const std::vector<Reference> ref{Reference{c, n}};
            auto h = Direct<double>(c, n, false, false);
            Expect<double, double>(
                "64f", 1, [&](auto x, auto y) { d64[l](x, y, &h.st); }, ref, 1e-12, 0);
            h = Direct<double>(c, n, false, false);
            Expect<float, float>(
                "32f64f", 1, [&](auto x, auto y) { d32f[l](x, y, &h.st); }, ref, 1e-6, 0);
            h = Direct<double>(c, n, false, false);
            Expect<int32_t, int32_t>(
                "32s64f", 1, [&](auto x, auto y) { d32s[l](x, y, &h.st, -20); }, ref, 0, -20);
            h = Direct<double>(c, n, false, false);
            Expect<int16_t, int16_t>(
                "16s64f", 1, [&](auto x, auto y) { d16s[l](x, y, &h.st, 1); }, ref, 0, 1);
            // The unscaled result of the Aux variant is the one the plain one scales.
            h = Direct<double>(c, n, false, false);
            auto plain = Direct<double>(c, n, false, false);
            for (int32_t t = 0; t < 20; ++t)
            {
                const int32_t x = 1000 * t - 7000;
                int32_t y = 0, z = 0;
                double aux = 0;
                d32sAux[l](&x, &y, &aux, &h.st, 3);
                d32s[l](&x, &z, &plain.st, 3);
                ASSERT_EQ(y, z);
                ASSERT_EQ(double(y), std::nearbyint(aux / 8));
            }
            // Complex direct form from the rearranged table.
            const auto cc = Coefficients(n, true, uint32_t(n));
            const std::vector<Reference> cref{Reference{cc, n}};
            auto ch = Direct<double>(cc, n, true, true);
            Expect<double, double>(
                "64fc", 2, [&](auto x, auto y) { c64[l](x, y, &ch.st); }, cref, 1e-12, 0);
            ch = Direct<double>(cc, n, true, true);
            Expect<int32_t, int32_t>(
                "32sc64fc", 2, [&](auto x, auto y) { c32s[l](x, y, &ch.st, -8); }, cref, 0, -8);
            ch = Direct<double>(cc, n, true, true);
            Expect<float, float>(
                "32fc64fc", 2, [&](auto x, auto y) { c32f[l](x, y, &ch.st); }, cref, 1e-6, 0);
        }
        for (int32_t m : {1, 3, 6})
        {
            const auto sec = Sections(m, false);
            auto h = Biquad<double>(sec, Layout::Double6);
            Expect<double, double>(
                "biquad 64f", 1, [&](auto x, auto y) { b64[l](x, y, &h.st); }, CascadeOf(sec),
                1e-12, 0);
            h = Biquad<double>(sec, Layout::Double6);
            Expect<int32_t, int32_t>(
                "biquad 32s64f", 1, [&](auto x, auto y) { b32s[l](x, y, &h.st, -4); },
                CascadeOf(sec), 0, -4);
            h = Biquad<double>(sec, Layout::Double6);
            Expect<int16_t, int16_t>(
                "biquad 16s64f", 1, [&](auto x, auto y) { b16s[l](x, y, &h.st, 0); },
                CascadeOf(sec), 0, 0);
            const auto csec = Sections(m, true);
            auto ch = Biquad<double>(csec, Layout::Table20);
            Expect<double, double>(
                "biquad 64fc", 2, [&](auto x, auto y) { cb64[l](x, y, &ch.st); }, CascadeOf(csec),
                1e-12, 0);
            ch = Biquad<double>(csec, Layout::Table20);
            Expect<int16_t, int16_t>(
                "biquad 16sc64fc", 2, [&](auto x, auto y) { cb16s[l](x, y, &ch.st, 2); },
                CascadeOf(csec), 0, 2);
        }
    }
}

TEST(IirTypeKernels, FloatStatesMatchTheReference)
{
    using K32fc = void (*)(const float*, float*, DspIirState32f*);
    using K16s = void (*)(const int16_t*, int16_t*, DspIirState32f*, int32_t);
    using K16sAux = void (*)(const int16_t*, int16_t*, float*, DspIirState32f*, int32_t);
    const K32fc c32[] = LEVELS(DspIirOneSample32fcKernel);
    const K32fc cb32[] = LEVELS(DspBiquadOneSample32fcKernel);
    const K16s d16[] = LEVELS(DspIirOneSample16sKernel);
    const K16sAux d16Aux[] = LEVELS(DspIirOneSample16sAuxKernel);
    const K16s c16[] = LEVELS(DspIirOneSample16scKernel);
    const K16s b16[] = LEVELS(DspBiquadOneSample16sKernel);
    const K16s cb16[] = LEVELS(DspBiquadOneSample16scKernel);
    for (size_t l = 0; l < 3; ++l)
    {
        if (!LevelAvailable[l])
            continue;
        // Complex float states: plain pairs below order 4, the table from 4.
        for (int32_t n : {1, 3, 4, 7})
        {
            const auto c = Coefficients(n, true, uint32_t(n));
            const std::vector<Reference> ref{Reference{c, n}};
            auto h = Direct<float>(c, n, true, n >= 4);
            Expect<float, float>(
                "32fc", 2, [&](auto x, auto y) { c32[l](x, y, &h.st); }, ref, 2e-5, 0);
            h = Direct<float>(c, n, true, n >= 4);
            Expect<int16_t, int16_t>(
                "16sc", 2, [&](auto x, auto y) { c16[l](x, y, &h.st, -3); }, ref, 0, -3);
            const auto r = Coefficients(n, false, uint32_t(n));
            auto rh = Direct<float>(r, n, false, false);
            Expect<int16_t, int16_t>(
                "16s", 1, [&](auto x, auto y) { d16[l](x, y, &rh.st, 0); }, {Reference{r, n}}, 0,
                0);
            rh = Direct<float>(r, n, false, false);
            std::vector<Reference> rr{Reference{r, n}};
            for (int32_t t = 0; t < 20; ++t)
            {
                const int16_t x = int16_t(300 * t - 3000);
                int16_t y = 0;
                float aux = 0;
                d16Aux[l](&x, &y, &aux, &rh.st, 1);
                ASSERT_NEAR(aux, CascadeStep(rr, Cd(x)).real(), 2e-3);
                ASSERT_EQ(double(y), std::nearbyint(double(aux) / 2));
            }
        }
        // Complex biquads: plain pairs below 5 sections, the table from 5.
        for (int32_t m : {1, 4, 5, 7})
        {
            const auto csec = Sections(m, true);
            const Layout layout = m >= 5 ? Layout::Table20 : Layout::Plain10;
            auto h = Biquad<float>(csec, layout);
            Expect<float, float>(
                "biquad 32fc", 2, [&](auto x, auto y) { cb32[l](x, y, &h.st); }, CascadeOf(csec),
                2e-5, 0);
            h = Biquad<float>(csec, layout);
            Expect<int16_t, int16_t>(
                "biquad 16sc", 2, [&](auto x, auto y) { cb16[l](x, y, &h.st, 0); }, CascadeOf(csec),
                0, 0);
            const auto sec = Sections(m, false);
            auto rh = Biquad<float>(sec, Layout::Float8);
            Expect<int16_t, int16_t>(
                "biquad 16s", 1, [&](auto x, auto y) { b16[l](x, y, &rh.st, -1); }, CascadeOf(sec),
                0, -1);
        }
    }
}

// Unit coefficients, order 1: y = x, scaled by 2^-sf, ties to even, then the
// bounds of the output type; shifts past the exponent range stay bounded.
TEST(IirTypeKernels, RoundingSaturationAndScaleFactor)
{
    using K16s = void (*)(const int16_t*, int16_t*, DspIirState32f*, int32_t);
    using K32s = void (*)(const int32_t*, int32_t*, DspIirState32f*, int32_t);
    const K16s d16[] = LEVELS(DspIirOneSample16sKernel);
    const K32s d32[] = LEVELS(DspIirOneSample32s64fKernel);
    const std::vector<Cd> unit{1.0, 0.0, 0.0};
    struct Case
    {
        int32_t x, sf, want16, want32;
    };
    const Case cases[] = {
        {7, 0, 7, 7},
        {3, 1, 2, 2},
        {5, 1, 2, 2},
        {-3, 1, -2, -2},
        {-5, 1, -2, -2},
        {7, 1, 4, 4},
        {25000, -2, 32767, 100000},    // 1.0e5
        {-25000, -2, -32768, -100000}, // -1.0e5
        {32767, 0, 32767, 32767},
        {20000, -20, 32767, 2147483647}, // far past the 32-bit range
        {-20000, -20, -32768, -2147483647 - 1},
        {12345, 200, 0, 0}, // shift held at the smallest factor
        {-12345, -5000, -32768, -2147483647 - 1},
    };
    for (size_t l = 0; l < 3; ++l)
    {
        if (!LevelAvailable[l])
            continue;
        for (const Case& c : cases)
        {
            auto f = Direct<float>(unit, 1, false, false);
            auto d = Direct<double>(unit, 1, false, false);
            const auto x16 = int16_t(c.x); // every case fits 16 bits
            int16_t y16 = 1;
            int32_t y32 = 1;
            d16[l](&x16, &y16, &f.st, c.sf);
            d32[l](&c.x, &y32, &d.st, c.sf);
            EXPECT_EQ(y16, c.want16) << c.x << " sf " << c.sf;
            EXPECT_EQ(y32, c.want32) << c.x << " sf " << c.sf;
        }
        // A NaN result takes the lowest value, as the processor's conversion.
        const std::vector<Cd> nan{std::numeric_limits<double>::quiet_NaN(), 0.0, 0.0};
        auto d = Direct<double>(nan, 1, false, false);
        const int32_t x = 1;
        int32_t y = 0;
        d32[l](&x, &y, &d.st, 0);
        EXPECT_EQ(y, std::numeric_limits<int32_t>::min());
    }
}

// The 16-bit and complex block kernels: numerator part, then the recursion,
// against the per-sample recursion y[n] = w[n-N] + sum alpha_k y[n-k].
TEST(IirTypeKernels, BlockKernelsFollowTheRecursion)
{
    using A16 = void (*)(const int16_t*, float*, int32_t, const float*, int32_t);
    using B16 = void (*)(const float*, float*, int32_t, const float*, int32_t, int16_t*, int32_t);
    using Afc = void (*)(const float*, float*, int32_t, const float*, int32_t);
    using Bfc = void (*)(const float*, float*, int32_t, const float*, int32_t);
    const A16 a16[] = LEVELS(DspIirBlock16sKernelA);
    const B16 b16[] = LEVELS(DspIirBlock16sKernelB);
    const Afc afc[] = LEVELS(DspIirBlock32fcKernelA);
    const Bfc bfc[] = LEVELS(DspIirBlock32fcKernelB);
    for (size_t l = 0; l < 3; ++l)
    {
        if (!LevelAvailable[l])
            continue;
        for (int32_t n : {1, 2, 3, 5})
            for (int32_t count : {1, 3, 4, 9})
            {
                // Complex look-ahead table from alpha_k = -a_k.
                const auto c = Coefficients(n, true, uint32_t(n));
                std::vector<Cd> alpha(size_t(n + 4), 0.0);
                for (int32_t k = 1; k <= n; ++k)
                    alpha[size_t(k)] = -c[size_t(n + k)];
                std::vector<float> rec, num, recReal, numReal;
                auto push = [](std::vector<float>& v, Cd z) {
                    v.insert(v.end(), {float(z.real()), float(z.imag())});
                };
                Cd h[4] = {1.0, 0, 0, 0};
                for (int32_t k = 1; k <= n; ++k)
                {
                    Cd col[4];
                    for (int32_t j = 0; j < 4; ++j)
                    {
                        col[j] = alpha[size_t(k + j)];
                        for (int32_t i = 1; i <= j; ++i)
                            col[j] += alpha[size_t(i)] * col[j - i];
                        push(rec, col[j]);
                        recReal.push_back(float(col[j].real()));
                    }
                    if (k == 1)
                        h[1] = col[0], h[2] = col[1], h[3] = col[2];
                }
                for (int32_t s = 0; s < 3; ++s)
                    for (int32_t j = 0; j < 4; ++j)
                    {
                        push(rec, j < s ? Cd(0) : h[j - s]);
                        recReal.push_back(float((j < s ? Cd(0) : h[j - s]).real()));
                    }
                for (int32_t k = 0; k <= n; ++k)
                {
                    push(num, c[size_t(k)]);
                    numReal.insert(numReal.end(), 4, float(c[size_t(k)].real()));
                }
                std::vector<float> x(2 * size_t(n + count)), w(2 * size_t(count) + 8);
                for (size_t i = 0; i < x.size(); ++i)
                    x[i] = float(Input(int32_t(i), 0));
                afc[l](x.data(), w.data(), count, num.data(), n);
                std::vector<float> y(2 * size_t(n + count));
                for (int32_t i = 0; i < 2 * n; ++i)
                    y[size_t(i)] = x[size_t(i)]; // the first N outputs, given
                bfc[l](w.data(), y.data(), count, rec.data(), n);
                std::vector<Cd> want(size_t(n + count));
                for (int32_t i = 0; i < n + count; ++i)
                {
                    if (i < n)
                    {
                        want[size_t(i)] = Cd(x[2 * size_t(i)], x[2 * size_t(i) + 1]);
                        continue;
                    }
                    Cd acc = 0;
                    for (int32_t k = 0; k <= n; ++k)
                        acc += c[size_t(k)] * Cd(x[2 * size_t(i - k)], x[2 * size_t(i - k) + 1]);
                    for (int32_t k = 1; k <= n; ++k)
                        acc += alpha[size_t(k)] * want[size_t(i - k)];
                    want[size_t(i)] = acc;
                    ASSERT_NEAR(y[2 * size_t(i)], acc.real(), 1e-4) << n << " " << count;
                    ASSERT_NEAR(y[2 * size_t(i) + 1], acc.imag(), 1e-4) << n << " " << count;
                }
                // 16-bit: real parts, inputs scaled to integers, outputs 2^-1.
                std::vector<int16_t> x16(size_t(n + count)), y16(size_t(n + count), 0);
                for (size_t i = 0; i < x16.size(); ++i)
                    x16[i] = int16_t(std::lround(Input(int32_t(i), 0) * 1000));
                a16[l](x16.data(), w.data(), count, numReal.data(), n);
                std::vector<float> yr(size_t(n + count));
                for (int32_t i = 0; i < n; ++i)
                    yr[size_t(i)] = x16[size_t(i)];
                b16[l](w.data(), yr.data(), count, recReal.data(), n, y16.data(), 1);
                for (int32_t i = n; i < n + count; ++i)
                    ASSERT_EQ(double(y16[size_t(i)]), std::nearbyint(double(yr[size_t(i)]) / 2));
            }
    }
}
} // namespace
