// Element-wise math of processor levels 1 to 3 whose kernels belong to this
// family: absolute value, largest and smallest element, vector sum and
// difference. They check like the generic routines; none runs while the
// processor level stays 0.
#include <emmintrin.h>

#include "primitives/vector/DspVector.h"

namespace
{
inline uintptr_t Addr(const void* p)
{
    return reinterpret_cast<uintptr_t>(p);
}

template <int L> void AbsKernel(const float* src, float* dst, int32_t len)
{
    const __m128 mask = _mm_castsi128_ps(_mm_set1_epi32(0x7FFFFFFF));
    int32_t i = 0;
    for (; i < len && (Addr(dst + i) & 15) != 0; ++i)
        dst[i] = _mm_cvtss_f32(_mm_and_ps(_mm_set_ss(src[i]), mask));
    for (; i + 16 <= len; i += 16)
        for (int k = 0; k < 16; k += 4)
            _mm_storeu_ps(dst + i + k, _mm_and_ps(_mm_loadu_ps(src + i + k), mask));
    for (; i + 4 <= len; i += 4)
        _mm_storeu_ps(dst + i, _mm_and_ps(_mm_loadu_ps(src + i), mask));
    for (; i < len; ++i)
        dst[i] = _mm_cvtss_f32(_mm_and_ps(_mm_set_ss(src[i]), mask));
}

// The running value is kept unless it is strictly greater (smaller): unlike
// the generic level, a NaN element replaces it.
struct MaxOp
{
    static __m128 Pick(__m128 run, __m128 x) { return _mm_max_ps(run, x); }
};
struct MinOp
{
    static __m128 Pick(__m128 run, __m128 x) { return _mm_min_ps(run, x); }
};

template <int L, class Op> void ExtremeKernel(const float* src, int32_t len, float* out)
{
    __m128 run = _mm_set1_ps(src[0]);
    int32_t i = 0;
    if ((Addr(src) & 3) == 0)
        for (; i < len && (Addr(src + i) & 15) != 0; ++i)
            run = Op::Pick(run, _mm_set1_ps(src[i]));
    __m128 r1 = run, r2 = run, r3 = run;
    for (; i + 16 <= len; i += 16)
    {
        run = Op::Pick(run, _mm_loadu_ps(src + i));
        r1 = Op::Pick(r1, _mm_loadu_ps(src + i + 4));
        r2 = Op::Pick(r2, _mm_loadu_ps(src + i + 8));
        r3 = Op::Pick(r3, _mm_loadu_ps(src + i + 12));
    }
    run = Op::Pick(Op::Pick(run, r1), Op::Pick(r2, r3));
    for (; i + 4 <= len; i += 4)
        run = Op::Pick(run, _mm_loadu_ps(src + i));
    run = Op::Pick(run, _mm_movehl_ps(run, run));
    run = Op::Pick(run, _mm_shuffle_ps(run, run, _MM_SHUFFLE(1, 1, 1, 1)));
    for (; i < len; ++i)
        run = Op::Pick(run, _mm_set_ss(src[i]));
    *out = _mm_cvtss_f32(run);
}

struct AddOp
{
    static __m128 Apply(__m128 a, __m128 b) { return _mm_add_ps(a, b); }
    static float Apply(float a, float b) { return a + b; }
};
// dst = src2 - src1: the first operand is subtracted from the second.
struct SubOp
{
    static __m128 Apply(__m128 a, __m128 b) { return _mm_sub_ps(b, a); }
    static float Apply(float a, float b) { return b - a; }
};

template <int L, class Op> void BinaryKernel(const float* s1, const float* s2, float* d, int32_t n)
{
    int32_t i = 0;
    if (n >= 11)
    {
        if ((Addr(d) & 3) != 0)
        {
            for (; i + 8 <= n; i += 8)
            {
                _mm_storeu_ps(d + i, Op::Apply(_mm_loadu_ps(s1 + i), _mm_loadu_ps(s2 + i)));
                _mm_storeu_ps(d + i + 4,
                              Op::Apply(_mm_loadu_ps(s1 + i + 4), _mm_loadu_ps(s2 + i + 4)));
            }
        }
        else
        {
            for (; (Addr(d + i) & 15) != 0; ++i)
                d[i] = Op::Apply(s1[i], s2[i]);
            // Very long vectors bypass the cache on the way out.
            const bool stream = (n - i) / 8 > 10922;
            for (; i + 8 <= n; i += 8)
            {
                const __m128 a = Op::Apply(_mm_loadu_ps(s1 + i), _mm_loadu_ps(s2 + i));
                const __m128 b = Op::Apply(_mm_loadu_ps(s1 + i + 4), _mm_loadu_ps(s2 + i + 4));
                if (stream)
                {
                    _mm_stream_ps(d + i, a);
                    _mm_stream_ps(d + i + 4, b);
                }
                else
                {
                    _mm_store_ps(d + i, a);
                    _mm_store_ps(d + i + 4, b);
                }
            }
            if (stream)
                _mm_sfence();
        }
    }
    for (; i < n; ++i)
        d[i] = Op::Apply(s1[i], s2[i]);
}

template <int L> DspStatus Abs(float* srcDst, int32_t len)
{
    if (srcDst == nullptr)
        return DspStsNullPtrErr;
    if (len < 1)
        return DspStsSizeErr;
    AbsKernel<L>(srcDst, srcDst, len);
    return DspStsNoErr;
}

template <int L, class Op> DspStatus Extreme(const float* src, int32_t len, float* out)
{
    if (src == nullptr || out == nullptr)
        return DspStsNullPtrErr;
    if (len < 1)
        return DspStsSizeErr;
    ExtremeKernel<L, Op>(src, len, out);
    return DspStsNoErr;
}

template <int L, class Op>
DspStatus Binary(const float* src1, const float* src2, float* dst, int32_t len)
{
    if (src1 == nullptr || src2 == nullptr || dst == nullptr)
        return DspStsNullPtrErr;
    if (len < 1)
        return DspStsSizeErr;
    BinaryKernel<L, Op>(src1, src2, dst, len);
    return DspStsNoErr;
}
} // namespace

DspStatus DspAbsInPlace32f_Sse3(float* d, int32_t n)
{
    return Abs<1>(d, n);
}
DspStatus DspAbsInPlace32f_Ssse3(float* d, int32_t n)
{
    return Abs<2>(d, n);
}
DspStatus DspAbsInPlace32f_Sse4(float* d, int32_t n)
{
    return Abs<3>(d, n);
}

DspStatus DspMax32f_Sse3(const float* s, int32_t n, float* o)
{
    return Extreme<1, MaxOp>(s, n, o);
}
DspStatus DspMax32f_Ssse3(const float* s, int32_t n, float* o)
{
    return Extreme<2, MaxOp>(s, n, o);
}
DspStatus DspMax32f_Sse4(const float* s, int32_t n, float* o)
{
    return Extreme<3, MaxOp>(s, n, o);
}
DspStatus DspMin32f_Sse3(const float* s, int32_t n, float* o)
{
    return Extreme<1, MinOp>(s, n, o);
}
DspStatus DspMin32f_Ssse3(const float* s, int32_t n, float* o)
{
    return Extreme<2, MinOp>(s, n, o);
}
DspStatus DspMin32f_Sse4(const float* s, int32_t n, float* o)
{
    return Extreme<3, MinOp>(s, n, o);
}

DspStatus DspAdd32f_Sse3(const float* a, const float* b, float* d, int32_t n)
{
    return Binary<1, AddOp>(a, b, d, n);
}
DspStatus DspAdd32f_Ssse3(const float* a, const float* b, float* d, int32_t n)
{
    return Binary<2, AddOp>(a, b, d, n);
}
DspStatus DspSub32f_Sse3(const float* a, const float* b, float* d, int32_t n)
{
    return Binary<1, SubOp>(a, b, d, n);
}
DspStatus DspSub32f_Ssse3(const float* a, const float* b, float* d, int32_t n)
{
    return Binary<2, SubOp>(a, b, d, n);
}
