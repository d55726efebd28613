// The square-root kernels of the float and double vectors: a reciprocal
// square-root estimate with Newton steps for blocks of positive normal
// numbers, the exact instruction for every block that holds anything else
// and for the head and tail elements. Included only by the per-level files.
#pragma once

#include <smmintrin.h>

#include <bit>
#include <initializer_list>

#include "primitives/vector/kernels/DspVmSimd.h"

namespace
{
constexpr uint32_t VmCsrDaz = 0x0040;
constexpr uint32_t VmCsrPrecisionFlag = 0x0020;
constexpr uint32_t VmCsrAllMasks = 0x1F80;
constexpr int32_t VmSqrtScalarNegative = static_cast<int32_t>(0x80000000u);

// The control register for the call: every exception masked, so that the
// estimate's 0 x inf on zeros and infinities cannot trap, and denormals taken
// as they are. The caller's register comes back whole at the end; only the
// inexact flag, which the roots legitimately raise, is kept.
class VmCsrScope
{
  public:
    explicit VmCsrScope(uint32_t masks) : caller_(_mm_getcsr())
    {
        const uint32_t wanted = (caller_ & ~VmCsrDaz) | masks;
        if ((caller_ & ~VmCsrDaz & masks) != masks)
            _mm_setcsr(wanted);
    }
    ~VmCsrScope()
    {
        const uint32_t now = _mm_getcsr();
        if ((now & ~VmCsrPrecisionFlag) != (caller_ & ~VmCsrPrecisionFlag))
            _mm_setcsr(caller_ | (now & VmCsrPrecisionFlag));
    }
    VmCsrScope(const VmCsrScope&) = delete;
    VmCsrScope& operator=(const VmCsrScope&) = delete;

  private:
    uint32_t caller_;
};

// Negative by the bit pattern: the sign set and not -0.0 (a NaN with its sign
// set counts).
inline int32_t VmSqrtScalar32f(const float* src, float* dst)
{
    const float x = *src;
    const uint32_t b = std::bit_cast<uint32_t>(x);
    *dst = _mm_cvtss_f32(_mm_sqrt_ss(_mm_set_ss(x)));
    return (b & 0x80000000u) != 0 && b != 0x80000000u ? VmSqrtScalarNegative : 0;
}

inline int32_t VmNegativeLanes(__m128 x)
{
    return _mm_movemask_ps(_mm_cmplt_ps(x, _mm_setzero_ps()));
}

// One Newton step on the estimate r of 1/sqrt(x): y = (3 - x r r) (x r / 2).
// The SSE4.1 form negates both factors, which gives the same bits.
template <bool Sse4> struct VmSqrtNewton32f
{
    __m128 three = VmSplat(0x40400000u);
    __m128 half = VmSplat(Sse4 ? 0xBF000000u : 0x3F000000u);
    __m128 Step(__m128 x, __m128& t) const
    {
        const __m128 r = _mm_rsqrt_ps(x);
        const __m128 s = _mm_mul_ps(x, r);
        t = _mm_mul_ps(r, s);
        if constexpr (Sse4)
            return _mm_mul_ps(_mm_sub_ps(t, three), _mm_mul_ps(s, half));
        else
            return _mm_mul_ps(_mm_sub_ps(three, t), _mm_mul_ps(s, half));
    }
    // Whether the block holds anything but positive normal finite numbers.
    static bool Special(__m128 low, __m128 unordered)
    {
        const __m128 tiny = _mm_castsi128_ps(_mm_set1_epi32(0x00800000));
        const __m128 any = _mm_or_ps(_mm_cmplt_ps(low, tiny), unordered);
        if constexpr (Sse4)
            return !_mm_testz_si128(_mm_castps_si128(any), _mm_castps_si128(any));
        else
            return _mm_movemask_ps(any) != 0;
    }
};

template <bool Sse4, class Load, class Store>
int32_t VmSqrtLoop32f(const float*& src, float*& dst, int64_t& len)
{
    const VmSqrtNewton32f<Sse4> nr;
    int32_t flag = 0;
    for (; len >= 16; len -= 16, src += 16, dst += 16)
    {
        __m128 x[4], y[4], t[4];
#pragma GCC unroll 8
        for (int k = 0; k < 4; ++k)
        {
            x[k] = Load::Get(src + 4 * k);
            y[k] = nr.Step(x[k], t[k]);
        }
        const __m128 low = _mm_min_ps(_mm_min_ps(x[0], x[1]), _mm_min_ps(x[2], x[3]));
        const __m128 nan =
            _mm_or_ps(_mm_or_ps(_mm_cmpunord_ps(t[0], t[0]), _mm_cmpunord_ps(t[1], t[1])),
                      _mm_or_ps(_mm_cmpunord_ps(t[2], t[2]), _mm_cmpunord_ps(t[3], t[3])));
        if (VmSqrtNewton32f<Sse4>::Special(low, nan))
#pragma GCC unroll 8
            for (int k = 0; k < 4; ++k)
            {
                x[k] = Load::Get(src + 4 * k);
                y[k] = _mm_sqrt_ps(x[k]);
                flag |= VmNegativeLanes(x[k]);
            }
#pragma GCC unroll 8
        for (int k = 0; k < 4; ++k)
            Store::Put(dst + 4 * k, y[k]);
    }
    return flag;
}

template <bool Sse4> int32_t VmSqrtKernel32f(const float* src, float* dst, int64_t len)
{
    const VmCsrScope csr(VmCsrAllMasks);
    int32_t flag = 0;
    while ((VmAddr(dst) & 12) != 0)
    {
        flag |= VmSqrtScalar32f(src++, dst++);
        if (--len == 0)
            return flag;
    }
    if (len >= 16)
    {
        if ((VmAddr(dst) & 15) != 0)
            flag |= VmSqrtLoop32f<Sse4, VmLoadUnaligned, VmStoreUnaligned>(src, dst, len);
        else if ((VmAddr(src) & 15) != 0)
            flag |= VmSqrtLoop32f<Sse4, VmLoadDq, VmStoreAligned>(src, dst, len);
        else
            flag |= VmSqrtLoop32f<Sse4, VmLoadAligned, VmStoreAligned>(src, dst, len);
    }
    for (int width : {8, 4})
        if (len >= width)
        {
            for (int k = 0; k < width; k += 4)
            {
                const __m128 x = _mm_loadu_ps(src + k);
                flag |= VmNegativeLanes(x);
                _mm_storeu_ps(dst + k, _mm_sqrt_ps(x));
            }
            src += width, dst += width, len -= width;
        }
    if (len >= 2)
    {
        const __m128 x = _mm_loadl_pi(_mm_setzero_ps(), reinterpret_cast<const __m64*>(src));
        flag |= VmNegativeLanes(x);
        _mm_storel_pi(reinterpret_cast<__m64*>(dst), _mm_sqrt_ps(x));
        src += 2, dst += 2, len -= 2;
    }
    if (len == 1)
        flag |= VmSqrtScalar32f(src, dst);
    return flag;
}

// ---- double vectors
constexpr uint32_t VmCsrDoubleMasks = 0x0180; // invalid operation and denormal

struct VmLoadAligned64
{
    static __m128d Get(const double* p) { return _mm_load_pd(p); }
};
struct VmLoadUnaligned64
{
    static __m128d Get(const double* p) { return _mm_loadu_pd(p); }
};
struct VmStoreAligned64
{
    static void Put(double* p, __m128d v) { _mm_store_pd(p, v); }
};
struct VmStoreUnaligned64
{
    static void Put(double* p, __m128d v) { _mm_storeu_pd(p, v); }
};

inline int32_t VmSqrtScalar64f(const double* src, double* dst)
{
    const double x = *src;
    const uint64_t b = std::bit_cast<uint64_t>(x);
    *dst = _mm_cvtsd_f64(_mm_sqrt_sd(_mm_setzero_pd(), _mm_set_sd(x)));
    return (b >> 63) != 0 && b != (uint64_t{1} << 63) ? VmSqrtScalarNegative : 0;
}

inline __m128i VmSplat64(uint64_t bits)
{
    return _mm_set1_epi64x(static_cast<int64_t>(bits));
}

// Two fused Newton steps on the float estimate of 1/sqrt(m) for m in [0.5, 2)
// holding the fraction and the lowest exponent bit of x; the rest of the
// exponent, halved and less the factor 16 of the polynomial, is added back
// into the high word as an integer.
inline __m128d VmSqrtNewton64f(__m128d x)
{
    const __m128i xi = _mm_castpd_si128(x);
    const __m128i mi = _mm_or_si128(_mm_and_si128(xi, VmSplat64(0x001FFFFFFFFFFFFFull)),
                                    VmSplat64(0x3FE0000000000000ull));
    const __m128i k =
        _mm_sub_epi32(_mm_srai_epi32(_mm_sub_epi32(xi, mi), 1), _mm_set1_epi32(0x00400000));
    const __m128i highOnly = VmSplat64(0xFFFFFFFF00000000ull);
    const __m128d m = _mm_castsi128_pd(mi);
    const __m128 mf = _mm_movelh_ps(_mm_cvtpd_ps(m), _mm_set1_ps(1.0f));
    const __m128d r = _mm_cvtps_pd(_mm_rsqrt_ps(mf));
    const __m128d s = _mm_mul_pd(m, r);
    const __m128d t = _mm_mul_pd(s, r);
    const __m128d u = _mm_sub_pd(t, _mm_set1_pd(3.0));
    const __m128d y = _mm_mul_pd(_mm_mul_pd(s, u),
                                 _mm_sub_pd(_mm_mul_pd(_mm_mul_pd(u, u), t), _mm_set1_pd(12.0)));
    return _mm_castsi128_pd(_mm_add_epi32(_mm_castpd_si128(y), _mm_and_si128(k, highOnly)));
}

template <class Load, class Store>
int32_t VmSqrtLoop64f(const double*& src, double*& dst, int64_t& len)
{
    const __m128d tiny = _mm_castsi128_pd(VmSplat64(0x0010000000000000ull));
    const __m128d huge = _mm_castsi128_pd(VmSplat64(0x7FEFFFFFFFFFFFFFull));
    int32_t flag = 0;
    for (; len >= 4; len -= 4, src += 4, dst += 4)
    {
        __m128d x[2] = {Load::Get(src), Load::Get(src + 2)}, y[2];
        const __m128d off =
            _mm_or_pd(_mm_or_pd(_mm_cmpnge_pd(x[0], tiny), _mm_cmpnle_pd(x[0], huge)),
                      _mm_or_pd(_mm_cmpnge_pd(x[1], tiny), _mm_cmpnle_pd(x[1], huge)));
#pragma GCC unroll 8
        for (int k = 0; k < 2; ++k)
            if (_mm_movemask_pd(off) != 0)
            {
                y[k] = _mm_sqrt_pd(x[k]);
                flag |= _mm_movemask_pd(_mm_cmplt_pd(x[k], _mm_setzero_pd()));
            }
            else
                y[k] = VmSqrtNewton64f(x[k]);
        Store::Put(dst, y[0]);
        Store::Put(dst + 2, y[1]);
    }
    return flag;
}

inline int32_t VmSqrtKernel64f(const double* src, double* dst, int64_t len)
{
    const VmCsrScope csr(VmCsrDoubleMasks);
    int32_t flag = 0;
    if ((VmAddr(dst) & 8) != 0)
    {
        flag |= VmSqrtScalar64f(src++, dst++);
        if (--len <= 0)
            return flag;
    }
    if (len >= 4)
    {
        if ((VmAddr(dst) & 15) != 0)
            flag |= VmSqrtLoop64f<VmLoadUnaligned64, VmStoreUnaligned64>(src, dst, len);
        else if ((VmAddr(src) & 15) != 0)
            flag |= VmSqrtLoop64f<VmLoadUnaligned64, VmStoreAligned64>(src, dst, len);
        else
            flag |= VmSqrtLoop64f<VmLoadAligned64, VmStoreAligned64>(src, dst, len);
    }
    if (len >= 2)
    {
        const __m128d x = _mm_loadu_pd(src);
        flag |= _mm_movemask_pd(_mm_cmplt_pd(x, _mm_setzero_pd()));
        _mm_storeu_pd(dst, _mm_sqrt_pd(x));
        src += 2, dst += 2, len -= 2;
    }
    if (len == 1)
        flag |= VmSqrtScalar64f(src, dst);
    return flag;
}
} // namespace
