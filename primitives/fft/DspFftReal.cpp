#include "primitives/fft/DspFftReal.h"

#include "primitives/fft/DspFftComplex.h"
#include "primitives/fft/DspFftCoreBridge.h"
#include "primitives/fft/DspFftSse2.h"
#include "primitives/fft/DspFftWorkBuffer.h"
#include "primitives/fft/levels/DspFftLevels.h"

namespace
{
constexpr float kC = 0.70710677f; // cos(pi/4)
constexpr float kR = 1.4142135f;  // sqrt(2)

DspStatus CheckArgs(const float* src, const float* dst, const DspFftSpecR32f* spec)
{
    if (spec == nullptr)
    {
        return DspStsNullPtrErr;
    }
    if (spec->kind != DspFftKindReal)
    {
        return DspStsContextMatchErr;
    }
    if (src == nullptr || dst == nullptr)
    {
        return DspStsNullPtrErr;
    }
    return DspStsNoErr;
}
} // namespace

void DspFftOrder0Copy32f(const float* src, float* dst)
{
    dst[0] = src[0];
}

void DspFftOrder0Scale32f(const float* src, float* dst, float scale)
{
    dst[0] = scale * src[0];
}

void DspFftOrder1_32f(const float* src, float* dst)
{
    const float x0 = src[0];
    const float x1 = src[1];
    dst[0] = x0 + x1;
    dst[1] = x0 - x1;
}

void DspFftOrder1Scale32f(const float* src, float* dst, float scale)
{
    const float x0 = src[0];
    const float x1 = src[1];
    dst[0] = (x0 + x1) * scale;
    dst[1] = (x0 - x1) * scale;
}

namespace
{
void FwdOrder2(const float* x, float* out, float scale, bool scaled)
{
    float s02 = x[0] + x[2];
    float s31 = x[3] + x[1];
    float d02 = x[0] - x[2];
    float d31 = x[3] - x[1];
    if (scaled)
    {
        s02 *= scale;
        s31 *= scale;
        d02 *= scale;
        d31 *= scale;
    }
    out[0] = s02 + s31;
    out[1] = s02 - s31;
    out[2] = d02;
    out[3] = d31;
}

void FwdOrder3(const float* x, float* out, float scale, bool scaled)
{
    float s04 = x[0] + x[4];
    float d04 = x[0] - x[4];
    float s26 = x[2] + x[6];
    float d26 = x[2] - x[6];
    float s15 = x[1] + x[5];
    float d15 = x[1] - x[5];
    float s37 = x[3] + x[7];
    float d37 = x[3] - x[7];
    if (scaled)
    {
        s04 *= scale;
        d04 *= scale;
        s26 *= scale;
        d26 *= scale;
        s15 *= scale;
        d15 *= scale;
        s37 *= scale;
        d37 *= scale;
    }
    const float a = d04;
    const float b = d26;
    const float e = s04 + s26;
    const float f = s15 + s37;
    const float g = (d15 + d37) * -kC;
    const float h = (d15 - d37) * kC;
    out[0] = e + f;
    out[1] = e - f;
    out[2] = a + h;
    out[3] = g - b;
    out[4] = s04 - s26;
    out[5] = s37 - s15;
    out[6] = a - h;
    out[7] = b + g;
}

void InvOrder2(const float* x, float* out, float scale, bool scaled)
{
    float s = x[0] + x[1];
    float d = x[0] - x[1];
    float r2 = x[2] + x[2];
    float i2 = x[3] + x[3];
    if (scaled)
    {
        s *= scale;
        d *= scale;
        r2 *= scale;
        i2 *= scale;
    }
    out[0] = s + r2;
    out[1] = d - i2;
    out[2] = s - r2;
    out[3] = d + i2;
}

void InvOrder3(const float* x, float* out, float scale, bool scaled)
{
    float s04 = x[0] + x[1];
    float d04 = x[0] - x[1];
    float r2 = x[4] + x[4];
    float i2 = x[5] + x[5];
    float sr = x[2] + x[6];
    float di = x[3] - x[7];
    float dr = x[2] - x[6];
    float si = x[3] + x[7];
    if (scaled)
    {
        s04 *= scale;
        d04 *= scale;
        r2 *= scale;
        i2 *= scale;
        sr *= scale;
        di *= scale;
        dr *= scale;
        si *= scale;
    }
    const float p0 = s04 + r2;
    const float p1 = s04 - r2;
    const float p2 = d04 - i2;
    const float p3 = d04 + i2;
    const float u = sr + sr;
    const float v = di + di;
    const float g = (dr + si) * -kR;
    const float h = (dr - si) * kR;
    out[0] = p0 + u;
    out[1] = p2 + h;
    out[2] = p1 - v;
    out[3] = p3 + g;
    out[4] = p0 - u;
    out[5] = p2 - h;
    out[6] = p1 + v;
    out[7] = p3 - g;
}
} // namespace

void DspFftFwdROrder2_32f(const float* src, float* dst)
{
    FwdOrder2(src, dst, 1.0f, false);
}
void DspFftFwdROrder2Scale32f(const float* src, float* dst, float scale)
{
    FwdOrder2(src, dst, scale, true);
}
void DspFftFwdROrder3_32f(const float* src, float* dst)
{
    FwdOrder3(src, dst, 1.0f, false);
}
void DspFftFwdROrder3Scale32f(const float* src, float* dst, float scale)
{
    FwdOrder3(src, dst, scale, true);
}
void DspFftInvROrder2_32f(const float* src, float* dst)
{
    InvOrder2(src, dst, 1.0f, false);
}
void DspFftInvROrder2Scale32f(const float* src, float* dst, float scale)
{
    InvOrder2(src, dst, scale, true);
}
void DspFftInvROrder3_32f(const float* src, float* dst)
{
    InvOrder3(src, dst, 1.0f, false);
}
void DspFftInvROrder3Scale32f(const float* src, float* dst, float scale)
{
    InvOrder3(src, dst, scale, true);
}

// Order 0 is the same at every level; level 3 has its own order-3 kernels
// beside the order-1 and order-2 kernels of level 2.
#define DSP_FFT_SMALL_GROUP(O12, O3)                                                               \
    {                                                                                              \
        {DspFftOrder0Copy32f, DspFftOrder1_32f##O12, DspFftFwdROrder2_32f##O12,                    \
         DspFftFwdROrder3_32f##O3},                                                                \
            {DspFftOrder0Scale32f, DspFftOrder1Scale32f##O12, DspFftFwdROrder2Scale32f##O12,       \
             DspFftFwdROrder3Scale32f##O3},                                                        \
            {DspFftOrder0Copy32f, DspFftOrder1_32f##O12, DspFftInvROrder2_32f##O12,                \
             DspFftInvROrder3_32f##O3},                                                            \
        {                                                                                          \
            DspFftOrder0Scale32f, DspFftOrder1Scale32f##O12, DspFftInvROrder2Scale32f##O12,        \
                DspFftInvROrder3Scale32f##O3                                                       \
        }                                                                                          \
    }

const DspFftSmallKernelGroup DspFftSmallKernelTable[4] = {
    DSP_FFT_SMALL_GROUP(, ), DSP_FFT_SMALL_GROUP(_Sse3, _Sse3), DSP_FFT_SMALL_GROUP(_Ssse3, _Ssse3),
    DSP_FFT_SMALL_GROUP(_Ssse3, _Sse4)};

// With SSE2 two bins k run side by side and this loop only finishes the odd
// one out; each lane rounds as the loop does.
void DspFftRealFwdPostSplit_Gen(float* x, int32_t n, int32_t /*mode*/, const float* w)
{
    int32_t k = 1;
#if defined(__SSE2__)
    k = DspFftSse2::PostSplit(x, n, w);
#endif
    for (; k < n / 2; ++k)
    {
        const int32_t i = 2 * k;
        const int32_t j = 2 * n - 2 * k;
        const float xi = x[i];
        const float xi1 = x[i + 1];
        const float xj = x[j];
        const float xj1 = x[j + 1];
        const float d = xi - xj;
        const float s = xi1 + xj1;
        const float t = w[i + 1] * d + w[i] * s;
        const float u = s * w[i + 1] - d * w[i];
        x[i] = t + xj;
        x[j] = xi - t;
        x[i + 1] = u - xj1;
        x[j + 1] = u - xi1;
    }
    x[n + 1] = 0.0f - x[n + 1];
}

void DspFftRealInvPreSplit_Gen(const float* x, float* y, int32_t n, int32_t /*mode*/,
                               const float* w)
{
    int32_t k = 1;
#if defined(__SSE2__)
    k = DspFftSse2::PreSplit(x, y, n, w);
#endif
    for (; k < n / 2; ++k)
    {
        const int32_t i = 2 * k;
        const int32_t j = 2 * n - 2 * k;
        const float a = x[i];
        const float b = x[j];
        const float c = x[i + 1];
        const float e = x[j + 1];
        const float p = w[i + 1] * (a - b) - w[i] * (c + e);
        const float q = (a - b) * w[i] + (c + e) * w[i + 1];
        y[i] = a + b + p;
        y[i + 1] = c - e + q;
        y[j] = a + b - p;
        y[j + 1] = q - (c - e);
    }
    const float mr = x[n];
    const float mi = x[n + 1];
    y[n] = 2.0f * mr;
    y[n + 1] = -2.0f * mi;
}

namespace
{
// Both directions of the generic real transform. The forward one runs the
// half-length complex transform on the input and splits its result; the
// inverse one merges the packed input first and transforms in the output.
template <bool Inv>
DspStatus RealFft(const float* src, float* dst, const DspFftSpecR32f* spec, uint8_t* workBuffer)
{
    DspStatus status = CheckArgs(src, dst, spec);
    if (status != DspStsNoErr)
    {
        return status;
    }
    const int32_t order = spec->order;
    const bool scaled = (Inv ? spec->inverseScaled : spec->forwardScaled) == 1;
    if (order < 4)
    {
        const DspFftSmallKernelGroup& k = DspFftSmallKernelTable[0];
        if (scaled)
        {
            (Inv ? k.inverseScaled : k.forwardScaled)[order](src, dst, spec->scale);
        }
        else
        {
            (Inv ? k.inverse : k.forward)[order](src, dst);
        }
        return DspStsNoErr;
    }
    DspFftWorkBuffer work(spec, workBuffer);
    if (work.Failed())
    {
        return DspStsMemAllocErr;
    }
    const int32_t m = order - 1;
    const int32_t n = 1 << m;
    if constexpr (Inv)
    {
        const float x0 = src[0];
        const float x1 = src[1];
        dst[0] = x0 + x1;
        dst[1] = x0 - x1;
        DspFftRealInvPreSplit_Gen(src, dst, n, -1, spec->mergeTable);
        src = dst;
    }
    if (m <= 10)
    {
        (Inv ? DspFftCplxInvSmall_Gen : DspFftCplxFwdSmall_Gen)(spec, src, dst, m);
        if (scaled)
        {
            DspFftCore::MulConstInPlace(spec->scale, dst, 2 * n);
        }
    }
    else
    {
        (Inv ? DspFftCplxInvLarge_Gen : DspFftCplxFwdLarge_Gen)(spec, src, dst, m, work.Get());
    }
    if constexpr (!Inv)
    {
        const float z = dst[0];
        const float w = dst[1];
        dst[0] = z + w;
        dst[1] = z - w;
        DspFftRealFwdPostSplit_Gen(dst, n, 1, spec->splitTable);
    }
    return DspStsNoErr;
}
} // namespace

DspStatus DspFftFwdRToPacked32f_Gen(const float* src, float* dst, const DspFftSpecR32f* spec,
                                    uint8_t* workBuffer)
{
    return RealFft<false>(src, dst, spec, workBuffer);
}

DspStatus DspFftInvPackedToR32f_Gen(const float* src, float* dst, const DspFftSpecR32f* spec,
                                    uint8_t* workBuffer)
{
    return RealFft<true>(src, dst, spec, workBuffer);
}

DspStatus DspFftFwdRInPlace32f_Gen(float* srcDst, const DspFftSpecR32f* spec, uint8_t* workBuffer)
{
    return DspFftFwdRToPacked32f_Gen(srcDst, srcDst, spec, workBuffer);
}

DspStatus DspFftInvRInPlace32f_Gen(float* srcDst, const DspFftSpecR32f* spec, uint8_t* workBuffer)
{
    return DspFftInvPackedToR32f_Gen(srcDst, srcDst, spec, workBuffer);
}

DspStatus DspMulPackedWith(const float* src, float* srcDst, int32_t len, DspMulPairsFn pairs)
{
    if (src == nullptr || srcDst == nullptr)
    {
        return DspStsNullPtrErr;
    }
    if (len < 1)
    {
        return DspStsSizeErr;
    }
    srcDst[0] *= src[0];
    int32_t first = 1;
    if (len % 2 == 0)
    {
        srcDst[1] *= src[1];
        first = 2;
    }
    pairs(src + first, srcDst + first, (len - first) / 2);
    return DspStsNoErr;
}

DspStatus DspMulPackedSpectra32f_Gen(const float* src, float* srcDst, int32_t len)
{
    return DspMulPackedWith(src, srcDst, len,
                            [](const float* s, float* d, int32_t count)
                            {
                                for (int32_t k = 0; k < count; ++k)
                                {
                                    const float sr = s[2 * k];
                                    const float si = s[2 * k + 1];
                                    const float dr = d[2 * k];
                                    const float di = d[2 * k + 1];
                                    d[2 * k] = sr * dr - si * di;
                                    d[2 * k + 1] = sr * di + si * dr;
                                }
                            });
}
