// The FFT entries of one processor level over that level's records and
// kernels: set-up, the real and complex transforms, the real split and merge
// in blocks of four bins, and the packed-spectrum multiply.
#pragma once

#include <bit>

#include "primitives/fft/DspFftComplexIface.h"
#include "primitives/fft/DspFftReal.h"
#include "primitives/fft/DspFftWorkBuffer.h"
#include "primitives/fft/levels/DspFftLevelSetup.h"
#include "primitives/fft/levels/DspFftLevels.h"

namespace
{
using MulConstFn = DspStatus (*)(float, float*, int32_t);

inline __m128 Reverse(__m128 v)
{
    return _mm_shuffle_ps(v, v, _MM_SHUFFLE(0, 1, 2, 3));
}
inline void LoadSplit(const float* p, __m128* re, __m128* im)
{
    const __m128 lo = _mm_loadu_ps(p);
    const __m128 hi = _mm_loadu_ps(p + 4);
    *re = _mm_shuffle_ps(lo, hi, 0x88);
    *im = _mm_shuffle_ps(lo, hi, 0xDD);
}
// Bins k .. k+3 (real parts a, imaginary parts b) and their mirrors n-k ..
// n-k-3 in the same lanes (c, e).
inline void LoadMirrored(const float* x, int64_t n, int64_t k, __m128* a, __m128* b, __m128* c,
                         __m128* e)
{
    LoadSplit(x + 2 * k, a, b);
    LoadSplit(x + 2 * (n - k - 3), c, e);
    *c = Reverse(*c);
    *e = Reverse(*e);
}
// Stores bins k .. k+3 and their mirrors; the last block leaves out the
// middle bin, which is its own mirror.
inline void StoreMirrored(float* y, int64_t n, int64_t k, __m128 kr, __m128 ki, __m128 jr,
                          __m128 ji)
{
    float* pk = y + 2 * k;
    float* pj = y + 2 * (n - k - 3);
    if (k + 3 < n / 2)
    {
        StoreInterleaved(pk, {kr, ki});
        StoreInterleaved(pj, {Reverse(jr), Reverse(ji)});
        return;
    }
    alignas(16) float t[16];
    StoreInterleaved(t, {kr, ki});
    StoreInterleaved(t + 8, {jr, ji});
    for (int l = 0; l < 3; ++l)
    {
        pk[2 * l] = t[2 * l];
        pk[2 * l + 1] = t[2 * l + 1];
        y[2 * (n - k - l)] = t[8 + 2 * l];
        y[2 * (n - k - l) + 1] = t[9 + 2 * l];
    }
}

void PostSplit(float* x, int32_t n, const float* w)
{
    for (int64_t k = 1; k < n / 2; k += 4, w += 8)
    {
        __m128 a, b, c, e;
        LoadMirrored(x, n, k, &a, &b, &c, &e);
        const __m128 u = _mm_loadu_ps(w);
        const __m128 v = _mm_loadu_ps(w + 4);
        const __m128 d = _mm_sub_ps(a, c);
        const __m128 s = _mm_add_ps(b, e);
        const __m128 p = _mm_sub_ps(_mm_mul_ps(v, s), _mm_mul_ps(u, d));
        const __m128 r = _mm_add_ps(_mm_mul_ps(u, s), _mm_mul_ps(v, d));
        StoreMirrored(x, n, k, _mm_add_ps(c, r), _mm_sub_ps(p, e), _mm_sub_ps(a, r),
                      _mm_sub_ps(p, b));
    }
    x[n + 1] = std::bit_cast<float>(std::bit_cast<uint32_t>(x[n + 1]) ^ 0x80000000u);
}

void PreSplit(const float* x, float* y, int32_t n, const float* w)
{
    const float mr = x[n];
    const float mi = x[n + 1];
    y[n] = 2.0f * mr;
    y[n + 1] = -2.0f * mi;
    for (int64_t k = 1; k < n / 2; k += 4, w += 8)
    {
        __m128 a, b, c, e;
        LoadMirrored(x, n, k, &a, &b, &c, &e);
        const __m128 u = _mm_loadu_ps(w);
        const __m128 v = _mm_loadu_ps(w + 4);
        const __m128 d = _mm_sub_ps(a, c);
        const __m128 sum = _mm_add_ps(a, c);
        const __m128 s = _mm_add_ps(b, e);
        const __m128 dif = _mm_sub_ps(b, e);
        const __m128 q = _mm_add_ps(_mm_mul_ps(v, s), _mm_mul_ps(u, d));
        const __m128 p = _mm_sub_ps(_mm_mul_ps(v, d), _mm_mul_ps(u, s));
        StoreMirrored(y, n, k, _mm_add_ps(sum, p), _mm_add_ps(dif, q), _mm_sub_ps(sum, p),
                      _mm_sub_ps(q, dif));
    }
}

// Two complex products a x b per register, the same rounding as the plain
// (sr dr - si di, sr di + si dr).
inline __m128 MulPairs(__m128 a, __m128 b)
{
    const __m128 re = _mm_moveldup_ps(a);
    const __m128 im = _mm_movehdup_ps(a);
    const __m128 swapped = _mm_shuffle_ps(b, b, _MM_SHUFFLE(2, 3, 0, 1));
    return _mm_addsub_ps(_mm_mul_ps(b, re), _mm_mul_ps(swapped, im));
}

void MulPairsOut(const float* a, const float* b, float* dst, int32_t count)
{
    int32_t k = 0;
    for (; k + 4 <= count; k += 4)
    {
        const __m128 lo = MulPairs(_mm_loadu_ps(a + 2 * k), _mm_loadu_ps(b + 2 * k));
        const __m128 hi = MulPairs(_mm_loadu_ps(a + 2 * k + 4), _mm_loadu_ps(b + 2 * k + 4));
        _mm_storeu_ps(dst + 2 * k, lo);
        _mm_storeu_ps(dst + 2 * k + 4, hi);
    }
    for (; k < count; ++k)
    {
        const float sr = a[2 * k];
        const float si = a[2 * k + 1];
        const float dr = b[2 * k];
        const float di = b[2 * k + 1];
        dst[2 * k] = sr * dr - si * di;
        dst[2 * k + 1] = sr * di + si * dr;
    }
}

void MulPairsInPlace(const float* src, float* srcDst, int32_t count)
{
    MulPairsOut(src, srcDst, srcDst, count);
}

// The complex core of order m: one-piece kernel, permutation plus passes, or
// the large-order driver; scaled once.
template <int Lvl, bool Inv>
void Core(const DspFftSpecR32f* spec, const float* src, float* dst, int32_t m, uint8_t* work,
          bool scaled, MulConstFn mulConst)
{
    const int32_t n = 1 << m;
    auto* w = reinterpret_cast<float*>(work);
    if (m >= FftLevel<Lvl>::kLargeFrom)
    {
        Large<Lvl, Inv>(LargeArgs{spec, w, scaled, mulConst}, src, dst, m);
        return;
    }
    if (m < FftLevel<Lvl>::kSmallBelow)
    {
        Small<Lvl, Inv>(src, dst, n, spec->radix4Twiddles, spec->bitRevList, w);
    }
    else
    {
        src == dst ? BitRevInPlace64(dst, n, spec->bitRevList)
                   : BitRevCopy64(src, dst, n, spec->bitRevList);
        Passes<Lvl, Inv>(dst, n, spec->radix4Twiddles, true);
    }
    if (scaled)
    {
        mulConst(spec->scale, dst, 2 * n);
    }
}

// The real transform of the level: small kernels below order 4, else the
// complex core of order - 1 with the split after it (forward) or the merge
// before it (inverse).
template <int Lvl, bool Inv>
DspStatus RealFft(const float* src, float* dst, const DspFftSpecR32f* spec, uint8_t* workBuffer,
                  MulConstFn mulConst)
{
    const DspStatus status = DspFftCheckArgs(src, dst, spec, DspFftKindReal);
    if (status != DspStsNoErr)
    {
        return status;
    }
    const int32_t order = spec->order;
    const bool scaled = (Inv ? spec->inverseScaled : spec->forwardScaled) == 1;
    if (order < 4)
    {
        const DspFftSmallKernelGroup& k = DspFftSmallKernelTable[Lvl];
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
    if constexpr (Inv)
    {
        const float x0 = src[0];
        const float x1 = src[1];
        dst[0] = x0 + x1;
        dst[1] = x0 - x1;
        PreSplit(src, dst, 1 << m, spec->mergeTable);
        Core<Lvl, true>(spec, dst, dst, m, work.Get(), scaled, mulConst);
    }
    else
    {
        Core<Lvl, false>(spec, src, dst, m, work.Get(), scaled, mulConst);
        const float z = dst[0];
        const float w = dst[1];
        dst[0] = z + w;
        dst[1] = z - w;
        PostSplit(dst, 1 << m, spec->splitTable);
    }
    return DspStsNoErr;
}

template <int Lvl>
DspStatus FwdC(const float* src, float* dst, const DspFftSpecR32f* spec, uint8_t* workBuffer,
               MulConstFn mulConst)
{
    const DspStatus status = DspFftCheckArgs(src, dst, spec, DspFftKindComplex);
    if (status != DspStsNoErr)
    {
        return status;
    }
    const int32_t order = spec->order;
    if (order < 4)
    {
        const DspFftSmallKernelGroupC& k = DspFftSmallKernelTableC[Lvl];
        spec->forwardScaled == 1 ? k.scaled[order](src, dst, spec->scale)
                                 : k.plain[order](src, dst);
        return DspStsNoErr;
    }
    DspFftWorkBuffer work(spec, workBuffer);
    if (work.Failed())
    {
        return DspStsMemAllocErr;
    }
    Core<Lvl, false>(spec, src, dst, order, work.Get(), spec->forwardScaled == 1, mulConst);
    return DspStsNoErr;
}

// Spec, init and work bytes of a real (or complex) record of the level.
template <int Lvl, bool Real>
void LevelSizes(int32_t order, int64_t* spec, int64_t* init, int64_t* work)
{
    if (order <= 3)
    {
        *spec = 168;
        *init = 0;
        *work = 0;
        return;
    }
    const int32_t m = Real ? order - 1 : order;
    const int64_t bigN = int64_t{1} << order;
    int64_t table = 0;
    int64_t w = 0;
    CoreSizes<Lvl>(m, &table, &w);
    *spec = Up32(4 * (int64_t{1} << (m - 2)) + 4) + table + (Real ? 2 * Up32(2 * bigN) : 0) + 192;
    *init = order > 10 ? Up32(bigN + 4) + 32 : 0;
    *work = w > 0 ? w + 32 : 0;
}

template <int Lvl>
DspStatus Size(int32_t order, DspFftScaleFlag flag, bool real, int32_t* outSpec, int32_t* outInit,
               int32_t* outWork)
{
    return DspFftAnswerSizeQuery(order, flag, outSpec, outInit, outWork,
                                 real ? LevelSizes<Lvl, true> : LevelSizes<Lvl, false>);
}

template <int Lvl>
DspStatus Init(DspFftSpecR32f** outSpec, int32_t order, DspFftScaleFlag flag, int32_t hint,
               uint8_t* specMemory, uint8_t* initBuffer, bool real, DspFftSizeFn size)
{
    DspFftSpecR32f* rec = nullptr;
    const DspStatus status = DspFftBeginInit(outSpec, order, flag, hint, specMemory, size,
                                             real ? DspFftKindReal : DspFftKindComplex, &rec);
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
    uint8_t* end = CoreTables<Lvl>(rec, real ? order - 1 : order, sine, sineOrder);
    if (real)
    {
        rec->splitTable = reinterpret_cast<float*>(end);
        end = RealTable<false>(order, sine, sineOrder, rec->splitTable);
        rec->mergeTable = reinterpret_cast<float*>(end);
        RealTable<true>(order, sine, sineOrder, rec->mergeTable);
    }
    *outSpec = rec;
    return DspStsNoErr;
}
} // namespace

// The level's exported members, Sfx its name suffix and Lvl its number.
#define DSP_FFT_DEFINE_LEVEL(Sfx, Lvl)                                                             \
    DspStatus DspFftSpecSizeR32f_##Sfx(int32_t order, DspFftScaleFlag flag, int32_t,               \
                                       int32_t* outSpec, int32_t* outInit, int32_t* outWork)       \
    {                                                                                              \
        return Size<Lvl>(order, flag, true, outSpec, outInit, outWork);                            \
    }                                                                                              \
    DspStatus DspFftSpecSizeC32f_##Sfx(int32_t order, DspFftScaleFlag flag, int32_t,               \
                                       int32_t* outSpec, int32_t* outInit, int32_t* outWork)       \
    {                                                                                              \
        return Size<Lvl>(order, flag, false, outSpec, outInit, outWork);                           \
    }                                                                                              \
    DspStatus DspFftSpecInitR32f_##Sfx(DspFftSpecR32f** outSpec, int32_t order,                    \
                                       DspFftScaleFlag flag, int32_t hint, uint8_t* specMemory,    \
                                       uint8_t* initBuffer)                                        \
    {                                                                                              \
        return Init<Lvl>(outSpec, order, flag, hint, specMemory, initBuffer, true,                 \
                         DspFftSpecSizeR32f_##Sfx);                                                \
    }                                                                                              \
    DspStatus DspFftSpecInitC32f_##Sfx(DspFftSpecR32f** outSpec, int32_t order,                    \
                                       DspFftScaleFlag flag, int32_t hint, uint8_t* specMemory,    \
                                       uint8_t* initBuffer)                                        \
    {                                                                                              \
        return Init<Lvl>(outSpec, order, flag, hint, specMemory, initBuffer, false,                \
                         DspFftSpecSizeC32f_##Sfx);                                                \
    }                                                                                              \
    DspStatus DspFftSpecCreateR32f_##Sfx(DspFftSpecR32f** outSpec, int32_t order, int32_t flag,    \
                                         int32_t hint)                                             \
    {                                                                                              \
        return DspFftCreateWith(DspFftSpecSizeR32f_##Sfx, DspFftSpecInitR32f_##Sfx, outSpec,       \
                                order, flag, hint);                                                \
    }                                                                                              \
    DspStatus DspFftSpecCreateC32f_##Sfx(DspFftSpecC32f** outSpec, int32_t order, int32_t flag,    \
                                         int32_t hint)                                             \
    {                                                                                              \
        return DspFftCreateWith(DspFftSpecSizeC32f_##Sfx, DspFftSpecInitC32f_##Sfx,                \
                                reinterpret_cast<DspFftSpecR32f**>(outSpec), order, flag, hint);   \
    }                                                                                              \
    DspStatus DspFftFwdRToPacked32f_##Sfx(const float* src, float* dst,                            \
                                          const DspFftSpecR32f* spec, uint8_t* work)               \
    {                                                                                              \
        return RealFft<Lvl, false>(src, dst, spec, work, DspMulConstInPlace32f_##Sfx);             \
    }                                                                                              \
    DspStatus DspFftInvPackedToR32f_##Sfx(const float* src, float* dst,                            \
                                          const DspFftSpecR32f* spec, uint8_t* work)               \
    {                                                                                              \
        return RealFft<Lvl, true>(src, dst, spec, work, DspMulConstInPlace32f_##Sfx);              \
    }                                                                                              \
    DspStatus DspFftFwdRInPlace32f_##Sfx(float* srcDst, const DspFftSpecR32f* spec, uint8_t* work) \
    {                                                                                              \
        return DspFftFwdRToPacked32f_##Sfx(srcDst, srcDst, spec, work);                            \
    }                                                                                              \
    DspStatus DspFftInvRInPlace32f_##Sfx(float* srcDst, const DspFftSpecR32f* spec, uint8_t* work) \
    {                                                                                              \
        return DspFftInvPackedToR32f_##Sfx(srcDst, srcDst, spec, work);                            \
    }                                                                                              \
    DspStatus DspFftFwdC32f_##Sfx(const float* src, float* dst, const DspFftSpecC32f* spec,        \
                                  uint8_t* work)                                                   \
    {                                                                                              \
        return FwdC<Lvl>(src, dst, spec, work, DspMulConstInPlace32f_##Sfx);                       \
    }                                                                                              \
    DspStatus DspMulPackedSpectra32f_##Sfx(const float* src, float* srcDst, int32_t len)           \
    {                                                                                              \
        return DspMulPackedWith(src, srcDst, len, MulPairsInPlace);                                \
    }                                                                                              \
    void DspFftRealFwdPostSplit_##Sfx(float* data, int32_t n, int32_t, const float* table)         \
    {                                                                                              \
        PostSplit(data, n, table);                                                                 \
    }                                                                                              \
    void DspFftRealInvPreSplit_##Sfx(const float* src, float* dst, int32_t n, int32_t,             \
                                     const float* table)                                           \
    {                                                                                              \
        PreSplit(src, dst, n, table);                                                              \
    }                                                                                              \
    void DspMulPackedPairs_##Sfx(const float* src, float* srcDst, int32_t count)                   \
    {                                                                                              \
        MulPairsInPlace(src, srcDst, count);                                                       \
    }                                                                                              \
    void DspMulPackedPairsOut_##Sfx(const float* a, const float* b, float* dst, int32_t count)     \
    {                                                                                              \
        MulPairsOut(a, b, dst, count);                                                             \
    }                                                                                              \
    DSP_FFT_DEFINE_BITREV(Sfx)                                                                     \
    void DspBitRevTiled64_##Sfx(float* data, int32_t n, const uint32_t* table, uint8_t* work)      \
    {                                                                                              \
        BitRevTiled(data, n, table, reinterpret_cast<float*>(work));                               \
    }                                                                                              \
    void DspFftCplxFwdPasses_##Sfx(float* data, int32_t n, const float* tw, uint8_t*, int32_t top) \
    {                                                                                              \
        Passes<Lvl, false>(data, n, tw, top == 1);                                                 \
    }                                                                                              \
    void DspFftCplxInvPasses_##Sfx(float* data, int32_t n, const float* tw, uint8_t*, int32_t top) \
    {                                                                                              \
        Passes<Lvl, true>(data, n, tw, top == 1);                                                  \
    }                                                                                              \
    void DspFftCplxFwdSmall_##Sfx(const float* src, float* dst, int32_t n, const float* tw,        \
                                  const uint32_t* rev, uint8_t* work)                              \
    {                                                                                              \
        Small<Lvl, false>(src, dst, n, tw, rev, reinterpret_cast<float*>(work));                   \
    }                                                                                              \
    void DspFftCplxInvSmall_##Sfx(const float* src, float* dst, int32_t n, const float* tw,        \
                                  const uint32_t* rev, uint8_t* work)                              \
    {                                                                                              \
        Small<Lvl, true>(src, dst, n, tw, rev, reinterpret_cast<float*>(work));                    \
    }                                                                                              \
    uint8_t* DspFftBitRevTable_##Sfx(int32_t m, uint32_t* dst)                                     \
    {                                                                                              \
        return BitRevTable(m, dst);                                                                \
    }                                                                                              \
    void DspFftTiledBitRevTable_##Sfx(int32_t m, int32_t, uint32_t* dst)                           \
    {                                                                                              \
        TiledBitRevTable(m, dst);                                                                  \
    }                                                                                              \
    uint8_t* DspFftTwiddleTable_##Sfx(int32_t m, const float* sine, int32_t sineOrder, float* dst) \
    {                                                                                              \
        return TwiddleTable<Lvl>(m, sine, sineOrder, dst);                                         \
    }                                                                                              \
    uint8_t* DspFftRealTwiddle_##Sfx(int32_t p, const float* sine, int32_t sineOrder, float* dst)  \
    {                                                                                              \
        return RealTable<false>(p, sine, sineOrder, dst);                                          \
    }                                                                                              \
    uint8_t* DspFftConjTwiddle_##Sfx(int32_t p, const float* sine, int32_t sineOrder, float* dst)  \
    {                                                                                              \
        return RealTable<true>(p, sine, sineOrder, dst);                                           \
    }                                                                                              \
    void DspFftWorkSize_##Sfx(int32_t m, int64_t* table, int64_t* init, int64_t* work)             \
    {                                                                                              \
        WorkSize<Lvl>(m, table, init, work);                                                       \
    }
