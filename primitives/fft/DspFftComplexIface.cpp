#include "primitives/fft/DspFftComplexIface.h"

#include "primitives/fft/DspFftComplex.h"
#include "primitives/fft/DspFftCoreBridge.h"
#include "primitives/fft/DspFftWorkBuffer.h"
#include "primitives/fft/levels/DspFftLevels.h"

namespace
{
constexpr int64_t RoundDown32(int64_t x)
{
    return x & ~int64_t{31};
}

uint8_t* AlignUp32(void* p)
{
    return reinterpret_cast<uint8_t*>((reinterpret_cast<uintptr_t>(p) + 31) & ~uintptr_t{31});
}

void Sizes(int32_t order, int64_t* spec, int64_t* init, int64_t* work)
{
    if (order <= 3)
    {
        *spec = 168;
        *init = 0;
        *work = 0;
        return;
    }
    const int64_t n = int64_t{1} << order;
    int64_t t = RoundDown32(8 * n + 39);
    int64_t i = 0;
    int64_t w = 0;
    if (order > 10)
    {
        DspFftWorkSize_Gen(order, &t, &i, &w);
    }
    *spec = t + RoundDown32(n + 35) + 192;
    *init = order > 10 ? RoundDown32(n + 35) + i + 32 : 0;
    *work = w > 0 ? w + 32 : 0;
}

// Kernels read every input before writing, so src may be dst.
template <bool Scaled> void Order0(const float* x, float* y, float s)
{
    y[0] = Scaled ? x[0] * s : x[0];
    y[1] = Scaled ? x[1] * s : x[1];
}

template <bool Scaled> void Order1(const float* x, float* y, float s)
{
    float a[4] = {x[0] + x[2], x[1] + x[3], x[0] - x[2], x[1] - x[3]};
    for (float& v : a)
    {
        v = Scaled ? v * s : v;
    }
    for (int i = 0; i < 4; ++i)
    {
        y[i] = a[i];
    }
}

// Four points at stride (in points) into out[0..7].
template <bool Scaled> void Four(const float* x, int stride, float* out, float s)
{
    const int a = 0;
    const int b = 2 * stride;
    const int c = 4 * stride;
    const int d = 6 * stride;
    float e[8] = {x[a] + x[c], x[a + 1] + x[c + 1], x[a] - x[c], x[a + 1] - x[c + 1],
                  x[b] + x[d], x[b + 1] + x[d + 1], x[b] - x[d], x[b + 1] - x[d + 1]};
    for (float& v : e)
    {
        v = Scaled ? v * s : v;
    }
    out[0] = e[0] + e[4];
    out[1] = e[1] + e[5];
    out[2] = e[2] + e[7]; // (x0 - x2) - j(x1 - x3)
    out[3] = e[3] - e[6];
    out[4] = e[0] - e[4];
    out[5] = e[1] - e[5];
    out[6] = e[2] - e[7];
    out[7] = e[3] + e[6];
}

template <bool Scaled> void Order2(const float* x, float* y, float s)
{
    float o[8];
    Four<Scaled>(x, 1, o, s);
    for (int i = 0; i < 8; ++i)
    {
        y[i] = o[i];
    }
}

template <bool Scaled> void Order3(const float* x, float* y, float s)
{
    constexpr float c = 0.70710677f;
    float e[8];
    float o[8];
    Four<Scaled>(x, 2, e, s);
    Four<Scaled>(x + 2, 2, o, s);
    // W^k O[k]: 1, (c, -c), -j, (-c, -c).
    const float t[8] = {o[0], o[1],  c * o[2] + c * o[3],  c * o[3] - c * o[2],
                        o[5], -o[4], -c * o[6] + c * o[7], -c * o[7] - c * o[6]};
    for (int k = 0; k < 4; ++k)
    {
        y[2 * k] = e[2 * k] + t[2 * k];
        y[2 * k + 1] = e[2 * k + 1] + t[2 * k + 1];
        y[2 * k + 8] = e[2 * k] - t[2 * k];
        y[2 * k + 9] = e[2 * k + 1] - t[2 * k + 1];
    }
}

template <void (*K)(const float*, float*, float)> void Plain(const float* x, float* y)
{
    K(x, y, 1.0f);
}

constexpr DspFftSmallKernelGroupC kGeneric = {
    {Plain<Order0<false>>, Plain<Order1<false>>, Plain<Order2<false>>, Plain<Order3<false>>},
    {Order0<true>, Order1<true>, Order2<true>, Order3<true>}};

// Orders 0 and 1 are the same at every level; level 3 takes the order-2
// kernels of level 2.
#define DSP_FFT_SMALL_GROUP_C(O2, O3)                                                              \
    DspFftSmallKernelGroupC                                                                        \
    {                                                                                              \
        {Plain<Order0<false>>, Plain<Order1<false>>, DspFftFwdCOrder2_32f_##O2,                    \
         DspFftFwdCOrder3_32f_##O3},                                                               \
        {                                                                                          \
            Order0<true>, Order1<true>, DspFftFwdCOrder2Scale32f_##O2,                             \
                DspFftFwdCOrder3Scale32f_##O3                                                      \
        }                                                                                          \
    }
} // namespace

const DspFftSmallKernelGroupC DspFftSmallKernelTableC[4] = {
    kGeneric, DSP_FFT_SMALL_GROUP_C(Sse3, Sse3), DSP_FFT_SMALL_GROUP_C(Ssse3, Ssse3),
    DSP_FFT_SMALL_GROUP_C(Ssse3, Sse4)};

DspStatus DspFftCheckArgs(const float* src, const float* dst, const DspFftSpecR32f* spec,
                          uint32_t kind)
{
    if (spec == nullptr)
    {
        return DspStsNullPtrErr;
    }
    if (spec->kind != kind)
    {
        return DspStsContextMatchErr;
    }
    if (src == nullptr || dst == nullptr)
    {
        return DspStsNullPtrErr;
    }
    return DspStsNoErr;
}

DspStatus DspFftSpecSizeC32f_Gen(int32_t order, DspFftScaleFlag flag, int32_t /*hint*/,
                                 int32_t* outSpecBytes, int32_t* outInitBytes,
                                 int32_t* outWorkBytes)
{
    return DspFftAnswerSizeQuery(order, flag, outSpecBytes, outInitBytes, outWorkBytes, Sizes);
}

DspStatus DspFftSpecInitC32f_Gen(DspFftSpecR32f** outSpec, int32_t order, DspFftScaleFlag flag,
                                 int32_t hint, uint8_t* specMemory, uint8_t* initBuffer)
{
    DspFftSpecR32f* rec = nullptr;
    const DspStatus status = DspFftBeginInit(outSpec, order, flag, hint, specMemory,
                                             DspFftSpecSizeC32f_Gen, DspFftKindComplex, &rec);
    if (status != DspStsNoErr)
    {
        return status;
    }
    if (order < 4)
    {
        *outSpec = rec;
        return DspStsNoErr;
    }
    const float* sine = nullptr;
    int32_t sineOrder = 0;
    if (DspFftSineFor(rec, order, initBuffer, &sine, &sineOrder) != DspStsNoErr)
    {
        return DspStsNullPtrErr;
    }
    auto* base = reinterpret_cast<uint8_t*>(rec);
    rec->bitRevList = reinterpret_cast<uint32_t*>(base + DspFftHeaderBytes);
    if (order <= 10)
    {
        rec->radix4Twiddles =
            reinterpret_cast<float*>(DspFftBitRevSwapList(order, rec->bitRevList));
        DspFftTwiddleTable_Gen(rec->radix4Twiddles, order, sine, sineOrder);
        rec->workBytes = 0;
    }
    else
    {
        const int64_t n = int64_t{1} << order;
        DspFftPassSetup_Gen(rec, order, AlignUp32(base + DspFftHeaderBytes + RoundDown32(n + 35)),
                            sine, sineOrder);
    }
    *outSpec = rec;
    return DspStsNoErr;
}

DspStatus DspFftSpecCreateC32f_Gen(DspFftSpecC32f** outSpec, int32_t order, int32_t flag,
                                   int32_t hint)
{
    return DspFftCreateWith(DspFftSpecSizeC32f_Gen, DspFftSpecInitC32f_Gen,
                            reinterpret_cast<DspFftSpecR32f**>(outSpec), order, flag, hint);
}

DspStatus DspFftSpecFreeC32f_Gen(DspFftSpecC32f* spec)
{
    return DspFftFreeKind(spec, DspFftKindComplex);
}

DspStatus DspFftFwdC32f_Gen(const float* src, float* dst, const DspFftSpecC32f* spec,
                            uint8_t* workBuffer)
{
    const DspStatus status = DspFftCheckArgs(src, dst, spec, DspFftKindComplex);
    if (status != DspStsNoErr)
    {
        return status;
    }
    const int32_t order = spec->order;
    if (order < 4)
    {
        const DspFftSmallKernelGroupC& k = DspFftSmallKernelTableC[0];
        if (spec->forwardScaled == 1)
        {
            k.scaled[order](src, dst, spec->scale);
        }
        else
        {
            k.plain[order](src, dst);
        }
        return DspStsNoErr;
    }
    DspFftWorkBuffer work(spec, workBuffer);
    if (work.Failed())
    {
        return DspStsMemAllocErr;
    }
    if (order <= 10)
    {
        DspFftCplxFwdSmall_Gen(spec, src, dst, order);
        if (spec->forwardScaled == 1)
        {
            DspFftCore::MulConstInPlace(spec->scale, dst, 2 << order);
        }
    }
    else
    {
        DspFftCplxFwdLarge_Gen(spec, src, dst, order, work.Get());
    }
    return DspStsNoErr;
}
