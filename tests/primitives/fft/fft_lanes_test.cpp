// The engine's kernels against the plain loops they replace, kept here as the
// reference: each lane performs the plain loop's operations in its order, so
// the results must be the same bits. Then the whole transforms at orders 0 to
// 20, every scaling flag, from buffers that start off every alignment the API
// allows, against the double-precision reference.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <vector>

#include "primitives/fft/DspFftComplex.h"
#include "primitives/fft/DspFftReal.h"
#include "primitives/fft/DspFftSpec.h"
#include "tests/primitives/fft/fft_reference.h"

using fftref::cd;

namespace
{
// ---- The plain loops.

template <bool Inv> void RefMul(float ar, float ai, float wr, float wi, float* r, float* i)
{
    wi = Inv ? -wi : wi;
    *r = ar * wr - ai * wi;
    *i = ar * wi + ai * wr;
}

template <bool Inv> void RefButterfly4(float* q0, float* q1, float* q2, float* q3, const float* p)
{
    const float sr = q0[0] + p[0], si = q0[1] + p[1], dr = q0[0] - p[0], di = q0[1] - p[1];
    const float tr = p[2] + p[4], ti = p[3] + p[5], ur = p[2] - p[4], ui = p[3] - p[5];
    const float rr = Inv ? -ui : ui, ri = Inv ? ur : -ur;
    q0[0] = sr + tr, q0[1] = si + ti, q1[0] = dr + rr, q1[1] = di + ri;
    q2[0] = sr - tr, q2[1] = si - ti, q3[0] = dr - rr, q3[1] = di - ri;
}

template <bool Inv> void RefRadix4(float* d, int n, const float* tw)
{
    for (int g = 0; g < n; g += 4)
    {
        float* q = d + 2 * g;
        const float p[6] = {q[2], q[3], q[4], q[5], q[6], q[7]};
        RefButterfly4<Inv>(q, q + 2, q + 4, q + 6, p);
    }
    int m = 0;
    while ((1 << m) < n)
    {
        ++m;
    }
    if (m & 1)
    {
        const float wr = tw[6 * (n / 8)], wi = tw[6 * (n / 8) + 1];
        for (int g = 0; g < n; g += 8)
        {
            float* p = d + 2 * g;
            float t[8] = {p[8], p[9], 0, 0, Inv ? -p[13] : p[13], Inv ? p[12] : -p[12], 0, 0};
            RefMul<Inv>(p[10], p[11], wr, wi, &t[2], &t[3]);
            RefMul<Inv>(p[14], p[15], -wr, wi, &t[6], &t[7]);
            for (int k = 0; k < 8; ++k)
            {
                const float a = p[k];
                p[k] = a + t[k];
                p[k + 8] = a - t[k];
            }
        }
    }
    for (int span = (m & 1) ? 32 : 16; span <= n; span *= 4)
    {
        const int quarter = span / 4, stride = n / span;
        for (int b = 0; b < n; b += span)
        {
            float* q0 = d + 2 * b;
            for (int k = 0; k < quarter; ++k)
            {
                float* q[4] = {q0 + 2 * k, q0 + 2 * (k + quarter), q0 + 2 * (k + 2 * quarter),
                               q0 + 2 * (k + 3 * quarter)};
                const float* w = tw + 6 * k * stride;
                float p[6] = {q[1][0], q[1][1], q[2][0], q[2][1], q[3][0], q[3][1]};
                if (k > 0)
                {
                    RefMul<Inv>(q[1][0], q[1][1], w[2], w[3], &p[0], &p[1]);
                    RefMul<Inv>(q[2][0], q[2][1], w[0], w[1], &p[2], &p[3]);
                    RefMul<Inv>(q[3][0], q[3][1], w[4], w[5], &p[4], &p[5]);
                }
                RefButterfly4<Inv>(q[0], q[1], q[2], q[3], p);
            }
        }
    }
}

template <bool Inv> void RefJoins(float* d, int n, int block, const float* table, int chunkFloats)
{
    const int chunk = chunkFloats / 2;
    for (int span = block; n / block >= 2 && span < n; span *= 2)
    {
        const int step = n / (2 * span), half = span / 2;
        for (int k0 = 0; k0 < half; k0 += chunk)
        {
            for (int base = 0; base < n; base += 2 * span)
            {
                for (int part = 0; part < 2; ++part)
                {
                    for (int k = k0; k < k0 + chunk; ++k)
                    {
                        const float* w = table + 2 * k * step;
                        float* a = d + 2 * (base + k + part * half);
                        float* b = a + 2 * span;
                        float tr, ti;
                        RefMul<Inv>(b[0], b[1], part ? w[1] : w[0], part ? -w[0] : w[1], &tr, &ti);
                        const float ar = a[0], ai = a[1];
                        a[0] = ar + tr, a[1] = ai + ti, b[0] = ar - tr, b[1] = ai - ti;
                    }
                }
            }
        }
    }
}

// One depth of the block scheme whose rows are radix-4 transforms.
template <bool Inv> void RefStep(const DspFftSpecR32f* spec, float* d, int q)
{
    const int rows = 1 << DspFftBlockOrderTable[q], cols = (1 << q) / rows;
    const bool scaled = (Inv ? spec->inverseScaled : spec->forwardScaled) == 1;
    for (int r = 0; r < rows; ++r)
    {
        RefRadix4<Inv>(d + 2 * r * cols, cols, spec->radix4Twiddles);
        for (int i = 0; scaled && i < 2 * cols; ++i)
        {
            d[2 * r * cols + i] *= spec->scale;
        }
    }
    const float* cross = spec->crossTwiddles[0];
    std::vector<float> v(2 * rows);
    for (int g = 0; g < cols; g += 4)
    {
        for (int c = 0; c < 4; ++c)
        {
            for (int r = 0; r < rows; ++r)
            {
                const float* x = d + 2 * (r * cols + g + c);
                const float* w = cross + 8 * (g / 4 * rows + r) + 2 * c;
                RefMul<Inv>(x[0], x[1], w[0], w[1], &v[2 * r], &v[2 * r + 1]);
            }
            RefRadix4<Inv>(v.data(), rows, spec->columnTwiddles[0]);
            for (int r = 0; r < rows; ++r)
            {
                d[2 * (r * cols + g + c)] = v[2 * r];
                d[2 * (r * cols + g + c) + 1] = v[2 * r + 1];
            }
        }
    }
}

void RefPostSplit(float* x, int n, const float* w)
{
    for (int k = 1; k < n / 2; ++k)
    {
        const int i = 2 * k, j = 2 * n - 2 * k;
        const float xi = x[i], xi1 = x[i + 1], xj = x[j], xj1 = x[j + 1];
        const float d = xi - xj, s = xi1 + xj1;
        const float t = w[i + 1] * d + w[i] * s, u = s * w[i + 1] - d * w[i];
        x[i] = t + xj, x[j] = xi - t, x[i + 1] = u - xj1, x[j + 1] = u - xi1;
    }
}

void RefPreSplit(const float* x, float* y, int n, const float* w)
{
    for (int k = 1; k < n / 2; ++k)
    {
        const int i = 2 * k, j = 2 * n - 2 * k;
        const float a = x[i], b = x[j], c = x[i + 1], e = x[j + 1];
        const float p = w[i + 1] * (a - b) - w[i] * (c + e);
        const float q = (a - b) * w[i] + (c + e) * w[i + 1];
        y[i] = a + b + p, y[i + 1] = c - e + q, y[j] = a + b - p, y[j + 1] = q - (c - e);
    }
}

// ---- Helpers.

// Record of real order m + 1, whose tables serve complex order m.
struct Spec
{
    Spec(int32_t order, int32_t flag)
    {
        EXPECT_EQ(DspFftSpecCreateR32f_Gen(&rec, order, flag, 0), DspStsNoErr);
    }
    ~Spec() { DspFftSpecFreeR32f_Gen(rec); }
    DspFftSpecR32f* rec = nullptr;
};

// A copy of x starting `offset` floats into its own storage.
struct Shifted
{
    Shifted(const std::vector<float>& x, size_t offset) : raw(x.size() + 4, -7.0f)
    {
        p = raw.data() + offset;
        std::copy(x.begin(), x.end(), p);
    }
    std::vector<float> Values(size_t n) const { return std::vector<float>(p, p + n); }
    // Nothing written before p or past its n floats.
    bool GuardsIntact(size_t n) const
    {
        const size_t begin = static_cast<size_t>(p - raw.data());
        for (size_t i = 0; i < raw.size(); ++i)
        {
            if ((i < begin || i >= begin + n) && raw[i] != -7.0f)
            {
                return false;
            }
        }
        return true;
    }
    std::vector<float> raw;
    float* p;
};

uint8_t* Aligned32(std::vector<uint8_t>& v)
{
    return v.data() + (-reinterpret_cast<uintptr_t>(v.data()) & 31);
}

constexpr int32_t kFlags[] = {DspFftScaleForward, DspFftScaleInverse, DspFftScaleBoth,
                              DspFftScaleNone};
constexpr size_t kOffsets[] = {0, 1, 2, 3};

// The factor a direction applies: the record's own, as its flag says.
double ScaleOf(const DspFftSpecR32f* rec, bool inverse)
{
    return (inverse ? rec->inverseScaled : rec->forwardScaled) == 1 ? rec->scale : 1.0;
}
} // namespace

TEST(FftLanes, Radix4MatchesPlainLoopsBitForBit)
{
    for (int m = 3; m <= 10; ++m)
    {
        Spec spec(m + 1, DspFftScaleNone);
        const int n = 1 << m;
        const auto x = fftref::RandomSignal(2 * n, 700 + m);
        for (size_t offset : kOffsets)
        {
            Shifted fwd(x, offset), inv(x, offset);
            DspFftRadix4Fwd_Gen(fwd.p, n, spec.rec->radix4Twiddles);
            DspFftRadix4Inv_Gen(inv.p, n, spec.rec->radix4Twiddles);
            auto refFwd = x, refInv = x;
            RefRadix4<false>(refFwd.data(), n, spec.rec->radix4Twiddles);
            RefRadix4<true>(refInv.data(), n, spec.rec->radix4Twiddles);
            EXPECT_EQ(fwd.Values(2 * n), refFwd) << m << " " << offset;
            EXPECT_EQ(inv.Values(2 * n), refInv) << m << " " << offset;
            EXPECT_TRUE(fwd.GuardsIntact(2 * n) && inv.GuardsIntact(2 * n)) << m << " " << offset;
        }
    }
}

// The in-place transform permutes by tiles through a copy, the out-of-place
// one while copying: both against the plain reversal and loops, with infinities, denormals and huge
// values among the points (NaNs only where the loops give NaNs).
TEST(FftLanes, PermutingTransformsMatchPlainLoopsBitForBit)
{
    const float specials[] = {INFINITY, -INFINITY, 1e-40f, -3e38f, 0.0f, -0.0f};
    for (int m = 3; m <= 10; ++m)
    {
        Spec spec(m + 1, DspFftScaleNone);
        const int n = 1 << m;
        auto x = fftref::RandomSignal(2 * n, 900 + m);
        for (int i = 0; i < 6; ++i)
        {
            x[(i * 37 + m) % (2 * n)] = specials[i];
        }
        for (bool inv : {false, true})
        {
            std::vector<float> ref(2 * n);
            for (int k = 0; k < n; ++k)
            {
                int r = 0;
                for (int b = 0; b < m; ++b)
                {
                    r |= ((k >> b) & 1) << (m - 1 - b);
                }
                ref[2 * r] = x[2 * k], ref[2 * r + 1] = x[2 * k + 1];
            }
            (inv ? RefRadix4<true> : RefRadix4<false>)(ref.data(), n, spec.rec->radix4Twiddles);
            // In place, then from a copy through the permuting sweep.
            Shifted got(x, static_cast<size_t>(m) % 4), src(x, 3 - static_cast<size_t>(m) % 4);
            const float* const sources[] = {got.p, src.p};
            for (const float* from : sources)
            {
                (inv ? DspFftCplxInvSmall_Gen : DspFftCplxFwdSmall_Gen)(spec.rec, from, got.p, m);
                for (int i = 0; i < 2 * n; ++i)
                {
                    const bool same = std::isnan(ref[i]) ? std::isnan(got.p[i])
                                                         : std::bit_cast<uint32_t>(ref[i]) ==
                                                               std::bit_cast<uint32_t>(got.p[i]);
                    ASSERT_TRUE(same) << m << " " << inv << " " << i << " " << (from == src.p);
                }
                EXPECT_TRUE(got.GuardsIntact(2 * n)) << m;
            }
            EXPECT_EQ(src.Values(2 * n), x);
        }
    }
}

TEST(FftLanes, JoinsMatchPlainLoopsBitForBitAtEveryChunkWidth)
{
    for (int m : {11, 12})
    {
        Spec spec(m + 1, DspFftScaleNone);
        const int n = 1 << m;
        const auto x = fftref::RandomSignal(2 * n, 800 + m);
        for (int chunkFloats : {2, 4, 256, 1024})
        {
            for (size_t offset : {size_t{0}, size_t{1}})
            {
                Shifted fwd(x, offset), inv(x, offset);
                DspFftRadix2PassesFwd(fwd.p, n, 1024, spec.rec->joinTwiddles, 1, chunkFloats);
                DspFftRadix2PassesInv(inv.p, n, 1024, spec.rec->joinTwiddles, 0, chunkFloats);
                auto refFwd = x, refInv = x;
                RefJoins<false>(refFwd.data(), n, 1024, spec.rec->joinTwiddles, chunkFloats);
                RefJoins<true>(refInv.data(), n, 1024, spec.rec->joinTwiddles, chunkFloats);
                EXPECT_EQ(fwd.Values(2 * n), refFwd) << m << " " << chunkFloats;
                EXPECT_EQ(inv.Values(2 * n), refInv) << m << " " << chunkFloats;
            }
        }
    }
}

// Complex orders 13 to 16: 32, 64, 128 and 256 rows of 256 points, with the
// scaling of the rows where the flag asks for it.
TEST(FftLanes, BlockStepMatchesPlainLoopsBitForBit)
{
    for (int q = 13; q <= 16; ++q)
    {
        for (int32_t flag : {DspFftScaleBoth, DspFftScaleNone})
        {
            Spec spec(q + 1, flag);
            const int n = 1 << q;
            std::vector<uint8_t> work(spec.rec->workBytes + 32);
            const auto x = fftref::RandomSignal(2 * n, 900 + q);
            for (bool inverse : {false, true})
            {
                Shifted out(x, 1);
                (inverse ? DspFftCplxInvLargeStep_Gen
                         : DspFftCplxFwdLargeStep_Gen)(spec.rec, out.p, q, 0, Aligned32(work));
                auto ref = x;
                (inverse ? RefStep<true> : RefStep<false>)(spec.rec, ref.data(), q);
                EXPECT_EQ(out.Values(2 * n), ref) << q << " " << flag << " " << inverse;
            }
        }
    }
}

TEST(FftLanes, SplitAndMergeMatchPlainLoopsBitForBit)
{
    for (int order = 4; order <= 12; ++order)
    {
        Spec spec(order, DspFftScaleNone);
        const int n = 1 << (order - 1);
        const auto x = fftref::RandomSignal(2 * n, 1000 + order);
        for (size_t offset : kOffsets)
        {
            Shifted split(x, offset);
            DspFftRealFwdPostSplit_Gen(split.p, n, 1, spec.rec->splitTable);
            auto ref = x;
            RefPostSplit(ref.data(), n, spec.rec->splitTable);
            ref[n + 1] = 0.0f - ref[n + 1];
            EXPECT_EQ(split.Values(2 * n), ref) << order << " " << offset;

            // Out of place from an unaligned source, and in place.
            Shifted src(x, offset), inPlace(x, 3 - offset);
            std::vector<float> merged(2 * n, 5.0f);
            DspFftRealInvPreSplit_Gen(src.p, merged.data(), n, -1, spec.rec->mergeTable);
            DspFftRealInvPreSplit_Gen(inPlace.p, inPlace.p, n, -1, spec.rec->mergeTable);
            std::vector<float> refMerged(2 * n, 5.0f);
            RefPreSplit(x.data(), refMerged.data(), n, spec.rec->mergeTable);
            refMerged[n] = 2.0f * x[n];
            refMerged[n + 1] = -2.0f * x[n + 1];
            EXPECT_EQ(merged, refMerged) << order << " " << offset;
            EXPECT_EQ(src.Values(2 * n), x);
            for (int i = 2; i < 2 * n; ++i)
            {
                ASSERT_EQ(inPlace.p[i], refMerged[i]) << order << " " << i;
            }
        }
    }
}

// Every order 0 to 20 and every flag (above order 16 one flag per order, in
// turn), out of place between buffers off every
// alignment and in place, both directions, within the bounds the other FFT
// tests hold (the fixed kernels of orders 0 to 3 keep theirs).
TEST(FftLanes, RealTransformsAtEveryOrderFlagAndAlignment)
{
    for (int order = 0; order <= 20; ++order)
    {
        const size_t n = size_t{1} << order;
        const auto x = fftref::RandomSignal(n, 1100 + order);
        const auto refFwd = fftref::Transform(std::vector<cd>(x.begin(), x.end()), false);
        const auto spectrum = fftref::RandomSignal(n, 1200 + order);
        const auto refInv = fftref::Transform(fftref::Unpack(spectrum.data(), n), true);
        for (int32_t flag : kFlags)
        {
            if (order > 16 && flag != kFlags[order % 4])
            {
                continue; // one flag per large order keeps the sanitised run short
            }
            Spec spec(order, flag);
            const double fwdScale = ScaleOf(spec.rec, false);
            const double invScale = ScaleOf(spec.rec, true);
            for (size_t offset :
                 (order <= 16 ? std::vector<size_t>{0, 1, 2, 3} : std::vector<size_t>{1}))
            {
                Shifted src(x, offset), dst(std::vector<float>(n), 3 - offset);
                ASSERT_EQ(DspFftFwdRToPacked32f_Gen(src.p, dst.p, spec.rec, nullptr), DspStsNoErr);
                Shifted inPlace(x, 3 - offset);
                ASSERT_EQ(DspFftFwdRInPlace32f_Gen(inPlace.p, spec.rec, nullptr), DspStsNoErr);
                EXPECT_EQ(inPlace.Values(n), dst.Values(n)) << order << " " << flag;
                EXPECT_TRUE(dst.GuardsIntact(n) && inPlace.GuardsIntact(n)) << order << " " << flag;

                Shifted spec2(spectrum, offset), back(std::vector<float>(n), 3 - offset);
                ASSERT_EQ(DspFftInvPackedToR32f_Gen(spec2.p, back.p, spec.rec, nullptr),
                          DspStsNoErr);
                EXPECT_EQ(spec2.Values(n), spectrum);
                EXPECT_TRUE(back.GuardsIntact(n)) << order << " " << flag;

                auto fwd = fftref::Unpack(dst.p, n);
                std::vector<cd> inv(back.p, back.p + n);
                auto expFwd = refFwd, expInv = refInv;
                for (auto& v : expFwd)
                {
                    v *= fwdScale;
                }
                for (auto& v : expInv)
                {
                    v *= invScale;
                }
                const double bound = order < 4 ? 1e-6 : fftref::ErrorBound(order);
                EXPECT_LT(fftref::RelativeError(fwd, expFwd), bound) << order << " " << flag;
                EXPECT_LT(fftref::RelativeError(inv, expInv), bound) << order << " " << flag;
            }
        }
    }
}

// The complex engine at complex orders 3 to 20, every flag as above (the block
// scheme scales its rows), from and to unaligned buffers and in place.
TEST(FftLanes, ComplexEngineAtEveryOrderFlagAndAlignment)
{
    for (int m = 3; m <= 20; ++m)
    {
        const size_t n = size_t{1} << m;
        const auto x = fftref::RandomSignal(2 * n, 1300 + m);
        std::vector<cd> xc(n);
        for (size_t i = 0; i < n; ++i)
        {
            xc[i] = cd(x[2 * i], x[2 * i + 1]);
        }
        for (bool inverse : {false, true})
        {
            const auto ref = fftref::Transform(xc, inverse);
            for (int32_t flag : kFlags)
            {
                if (m > 16 && flag != kFlags[m % 4])
                {
                    continue;
                }
                Spec spec(m + 1, flag);
                // Up to 1024 points the caller scales; the block scheme scales
                // each row by the record's factor.
                const double s = m <= 10 ? 1.0 : ScaleOf(spec.rec, inverse);
                std::vector<uint8_t> work(spec.rec->workBytes + 32);
                Shifted src(x, 1), dst(std::vector<float>(2 * n), 2), inPlace(x, 3);
                for (Shifted* out : {&dst, &inPlace})
                {
                    if (m <= 10)
                    {
                        (inverse ? DspFftCplxInvSmall_Gen : DspFftCplxFwdSmall_Gen)(
                            spec.rec, out == &dst ? src.p : out->p, out->p, m);
                    }
                    else
                    {
                        (inverse ? DspFftCplxInvLarge_Gen : DspFftCplxFwdLarge_Gen)(
                            spec.rec, out == &dst ? src.p : out->p, out->p, m, Aligned32(work));
                    }
                    std::vector<cd> y(n);
                    for (size_t i = 0; i < n; ++i)
                    {
                        y[i] = cd(out->p[2 * i], out->p[2 * i + 1]) / s;
                    }
                    EXPECT_LT(fftref::RelativeError(y, ref), fftref::ErrorBound(m))
                        << m << " " << flag << " " << inverse;
                }
                EXPECT_EQ(dst.Values(2 * n), inPlace.Values(2 * n)) << m << " " << flag;
                EXPECT_TRUE(dst.GuardsIntact(2 * n) && inPlace.GuardsIntact(2 * n)) << m;
                EXPECT_EQ(src.Values(2 * n), x);
            }
        }
    }
}
