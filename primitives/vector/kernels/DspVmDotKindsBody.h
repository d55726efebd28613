// Dot products of further element types at the SSE3 level: float vectors to
// double results, complex float and double vectors, scaled 32-bit and 16-bit
// integer vectors to saturated 32-bit results, and 16-bit integer vectors to
// exact 64-bit results. Each floating-point kernel adds its terms in the
// order stated for the sources' alignment, so a result is reproducible for
// the same data at the same addresses. Complex vectors are (re, im) pairs of
// their element type, counted once. Included only by the SSE3 file.
#pragma once

#include "primitives/vector/kernels/DspVmSqrtBody.h"
#include "primitives/vector/kernels/DspVmSumKindsBody.h"

namespace
{
// (x, x) widened, for a real element times a complex one.
inline __m128d VmWideSplat(const float* p)
{
    return _mm_set1_pd(static_cast<double>(VmGet1(p)));
}

// (P0 - Q1, P1 + Q0): the complex sum from P = sum ar (br, bi) and
// Q = sum ai (br, bi).
inline __m128d VmComplexFinish(__m128d p, __m128d q)
{
    return _mm_addsub_pd(p, VmSwapHalves(q));
}

// ---- float to double
inline void VmDot32fTo64f(const float* s1, const float* s2, int64_t len, double* out)
{
    __m128d a = _mm_setzero_pd(), b = a;
    for (; len >= 6; len -= 6, s1 += 6, s2 += 6)
    {
        a = _mm_add_pd(a, _mm_mul_pd(VmWiden2(s1), VmWiden2(s2)));
        b = _mm_add_pd(b, _mm_mul_pd(VmWiden2(s1 + 2), VmWiden2(s2 + 2)));
        a = _mm_add_pd(a, _mm_mul_pd(VmWiden2(s1 + 4), VmWiden2(s2 + 4)));
    }
    for (; len > 0; --len)
        b = _mm_add_sd(b, _mm_set_sd(static_cast<double>(VmGet1(s1++)) * VmGet1(s2++)));
    const __m128d s = _mm_add_pd(_mm_unpacklo_pd(a, b), _mm_unpackhi_pd(a, b));
    *out = _mm_cvtsd_f64(_mm_add_sd(s, VmSwapHalves(s)));
}

inline __m128d VmRealTimesComplex64(const float* x, const float* c)
{
    return _mm_mul_pd(VmWideSplat(x), VmWiden2(c));
}

inline void VmDot32f32fcTo64fc(const float* x, const float* c, int64_t len, double* out)
{
    __m128d a = _mm_setzero_pd(), b = a;
    if ((VmAddr(x) & 4) != 0)
    {
        a = VmRealTimesComplex64(x++, c);
        c += 2, --len;
    }
    for (; len >= 4; len -= 4, x += 4, c += 8)
    {
        a = _mm_add_pd(a, VmRealTimesComplex64(x, c));
        b = _mm_add_pd(b, VmRealTimesComplex64(x + 1, c + 2));
        a = _mm_add_pd(a, VmRealTimesComplex64(x + 2, c + 4));
        b = _mm_add_pd(b, VmRealTimesComplex64(x + 3, c + 6));
    }
    for (; len > 0; --len, ++x, c += 2)
        b = _mm_add_pd(b, VmRealTimesComplex64(x, c));
    VmStorePair(out, _mm_add_pd(a, b));
}

// One running sum per quantity, element by element.
inline void VmDot32fcTo64fc(const float* s1, const float* s2, int64_t len, double* out)
{
    __m128d p = _mm_setzero_pd(), q = p;
    for (; len > 0; --len, s1 += 2, s2 += 2)
    {
        const __m128d b = VmWiden2(s2);
        p = _mm_add_pd(p, _mm_mul_pd(VmWideSplat(s1), b));
        q = _mm_add_pd(q, _mm_mul_pd(VmWideSplat(s1 + 1), b));
    }
    VmStorePair(out, VmComplexFinish(p, q));
}

// ---- float to float, complex
// x (two reals) times two complex elements: (x0 re0, x0 im0, x1 re1, x1 im1).
inline __m128 VmRealPairTimesComplex(const float* x, const float* c)
{
    const __m128 xx = _mm_loadl_pi(_mm_setzero_ps(), reinterpret_cast<const __m64*>(x));
    return _mm_mul_ps(_mm_unpacklo_ps(xx, xx), _mm_loadu_ps(c));
}

// `Pairs` element pairs per iteration, added alternately to a and b (a, b,
// a for three, a, b, a, b, a, b for six).
template <int Pairs>
void VmDot32f32fcLoop(const float*& x, const float*& c, int64_t& len, __m128& a, __m128& b)
{
    for (; len >= 2 * Pairs; len -= 2 * Pairs, x += 2 * Pairs, c += 4 * Pairs)
        for (int k = 0; k < Pairs; ++k)
        {
            __m128& acc = (k % 2 == 0) ? a : b;
            acc = _mm_add_ps(acc, VmRealPairTimesComplex(x + 2 * k, c + 4 * k));
        }
}

inline __m128 VmRealTimesComplexLow(const float* x, const float* c)
{
    const __m128 cc = _mm_loadl_pi(_mm_setzero_ps(), reinterpret_cast<const __m64*>(c));
    return _mm_mul_ps(_mm_set1_ps(VmGet1(x)), cc);
}

inline void VmDot32f32fc(const float* x, const float* c, int64_t len, float* out)
{
    __m128 a = _mm_setzero_ps(), b = a;
    // At 8 modulo 16 one element first; the six-pair loop then runs only when
    // src1 is at least 4-byte aligned.
    const bool peel = (VmAddr(c) & 15) == 8;
    if (peel)
    {
        a = _mm_add_ps(a, VmRealTimesComplexLow(x++, c));
        c += 2, --len;
    }
    if ((VmAddr(c) & 15) == 0 && (!peel || (VmAddr(x) & 3) == 0))
        VmDot32f32fcLoop<6>(x, c, len, a, b);
    else
        VmDot32f32fcLoop<3>(x, c, len, a, b);
    for (; len > 0; --len, ++x, c += 2)
        a = _mm_add_ps(a, VmRealTimesComplexLow(x, c));
    const __m128 s = _mm_add_ps(a, b);
    const __m128 halves = _mm_add_ps(s, _mm_movehl_ps(s, s));
    _mm_storel_pi(reinterpret_cast<__m64*>(out), halves);
}

// P += (ar ar) (br bi) and Q += (ai ai) (br bi) for two elements at once
// (lanes 0-1 the first, 2-3 the second), or for one in lanes 0-1.
struct VmCplxAcc32
{
    __m128 p = _mm_setzero_ps(), q = _mm_setzero_ps();
    void Add(__m128 x, __m128 y)
    {
        p = _mm_add_ps(p, _mm_mul_ps(_mm_moveldup_ps(x), y));
        q = _mm_add_ps(q, _mm_mul_ps(_mm_movehdup_ps(x), y));
    }
    void AddOne(const float* s1, const float* s2)
    {
        Add(_mm_loadl_pi(_mm_setzero_ps(), reinterpret_cast<const __m64*>(s1)),
            _mm_loadl_pi(_mm_setzero_ps(), reinterpret_cast<const __m64*>(s2)));
    }
};

inline void VmDot32fc(const float* s1, const float* s2, int64_t len, float* out)
{
    VmCplxAcc32 acc;
    const auto aligned = [](const float* p) { return (VmAddr(p) & 15) == 0; };
    if (!aligned(s1) && aligned(s2))
        std::swap(s1, s2);
    else if (!aligned(s1) && !aligned(s2) && len > 0)
    {
        // One element first, after which one source is aligned; when that is
        // src2 the sources exchange roles for the rest.
        if ((VmAddr(s1) & 7) == 0)
        {
            acc.AddOne(s1, s2);
            s1 += 2, s2 += 2, --len;
        }
        else if ((VmAddr(s2) & 7) == 0)
        {
            acc.AddOne(s1, s2);
            s1 += 2, s2 += 2, --len;
            std::swap(s1, s2);
        }
    }
    for (; len >= 2; len -= 2, s1 += 4, s2 += 4)
        acc.Add(_mm_loadu_ps(s1), _mm_loadu_ps(s2));
    if (len == 1)
        acc.AddOne(s1, s2);
    // (P0 - Q1, P1 + Q0, P2 - Q3, P3 + Q2), then the two elements' halves.
    const __m128 r = _mm_addsub_ps(acc.p, _mm_shuffle_ps(acc.q, acc.q, _MM_SHUFFLE(2, 3, 0, 1)));
    _mm_storel_pi(reinterpret_cast<__m64*>(out), _mm_add_ps(r, _mm_movehl_ps(r, r)));
}

// ---- double
struct VmAcc4d
{
    __m128d a = _mm_setzero_pd(), b = _mm_setzero_pd(), c = _mm_setzero_pd(), d = _mm_setzero_pd();
    __m128d Finish() const { return _mm_add_pd(_mm_add_pd(a, b), _mm_add_pd(c, d)); }
};

inline __m128d VmMul2(const double* x, const double* y)
{
    return _mm_mul_pd(_mm_loadu_pd(x), _mm_loadu_pd(y));
}

inline __m128d VmMul1(const double* x, const double* y)
{
    return _mm_set_sd(VmGetD(x) * VmGetD(y));
}

inline void VmDot64fAligned(VmAcc4d& acc, const double*& x, const double*& y, int64_t& len)
{
    for (; len >= 8; len -= 8, x += 8, y += 8)
    {
        acc.a = _mm_add_pd(acc.a, VmMul2(x, y));
        acc.b = _mm_add_pd(acc.b, VmMul2(x + 2, y + 2));
        acc.c = _mm_add_pd(acc.c, VmMul2(x + 4, y + 4));
        acc.d = _mm_add_pd(acc.d, VmMul2(x + 6, y + 6));
    }
    for (; len >= 2; len -= 2, x += 2, y += 2)
        acc.a = _mm_add_pd(acc.a, VmMul2(x, y));
}

inline void VmDot64f(const double* s1, const double* s2, int64_t len, double* out)
{
    VmAcc4d acc;
    const auto aligned = [](const double* p) { return (VmAddr(p) & 15) == 0; };
    if (!(aligned(s1) && aligned(s2)))
    {
        // The anchor is src2, or src1 when only src1 is 8-byte aligned.
        if ((VmAddr(s2) & 7) != 0 && (VmAddr(s1) & 7) == 0)
            std::swap(s1, s2);
        for (; !aligned(s2) && len > 0; --len)
            acc.a = _mm_add_sd(acc.a, VmMul1(s1++, s2++));
        if (!aligned(s1))
        {
            for (; len >= 6; len -= 6, s1 += 6, s2 += 6)
            {
                acc.a = _mm_add_pd(acc.a, VmMul2(s1, s2));
                acc.b = _mm_add_pd(acc.b, VmMul2(s1 + 2, s2 + 2));
                acc.c = _mm_add_pd(acc.c, VmMul2(s1 + 4, s2 + 4));
            }
            for (; len > 0; --len)
                acc.a = _mm_add_sd(acc.a, VmMul1(s1++, s2++));
        }
    }
    VmDot64fAligned(acc, s1, s2, len);
    if (len == 1)
        acc.a = _mm_add_sd(acc.a, VmMul1(s1, s2));
    const __m128d s = acc.Finish();
    *out = _mm_cvtsd_f64(_mm_add_sd(s, VmSwapHalves(s)));
}

inline __m128d VmRealTimesComplex(const double* x, const double* c)
{
    return _mm_mul_pd(_mm_set1_pd(VmGetD(x)), _mm_loadu_pd(c));
}

inline void VmDot64f64fc(const double* x, const double* c, int64_t len, double* out)
{
    VmAcc4d acc;
    if ((VmAddr(c) & 15) == 0)
        for (; len >= 4; len -= 4, x += 4, c += 8)
        {
            acc.a = _mm_add_pd(acc.a, VmRealTimesComplex(x, c));
            acc.b = _mm_add_pd(acc.b, VmRealTimesComplex(x + 1, c + 2));
            acc.c = _mm_add_pd(acc.c, VmRealTimesComplex(x + 2, c + 4));
            acc.d = _mm_add_pd(acc.d, VmRealTimesComplex(x + 3, c + 6));
        }
    else
        for (; len >= 3; len -= 3, x += 3, c += 6)
        {
            acc.c = _mm_add_pd(acc.c, VmRealTimesComplex(x, c));
            acc.d = _mm_add_pd(acc.d, VmRealTimesComplex(x + 1, c + 2));
            acc.c = _mm_add_pd(acc.c, VmRealTimesComplex(x + 2, c + 4));
        }
    for (; len > 0; --len, ++x, c += 2)
        acc.a = _mm_add_pd(acc.a, VmRealTimesComplex(x, c));
    VmStorePair(out, acc.Finish());
}

// In element order; which source is aligned changes no sum.
inline void VmDot64fc(const double* s1, const double* s2, int64_t len, double* out)
{
    __m128d p = _mm_setzero_pd(), q = p;
    for (; len > 0; --len, s1 += 2, s2 += 2)
    {
        const __m128d b = _mm_loadu_pd(s2);
        p = _mm_add_pd(p, _mm_mul_pd(_mm_set1_pd(VmGetD(s1)), b));
        q = _mm_add_pd(q, _mm_mul_pd(_mm_set1_pd(VmGetD(s1 + 1)), b));
    }
    VmStorePair(out, VmComplexFinish(p, q));
}

// ---- scaled integers: rounding to nearest for the call when the caller's
// mode differs, and only then the caller's register back.
class VmNearestScope
{
  public:
    VmNearestScope() : caller_(_mm_getcsr())
    {
        if ((caller_ & Rounding) != 0)
            _mm_setcsr(caller_ & ~Rounding);
    }
    ~VmNearestScope()
    {
        if ((caller_ & Rounding) != 0)
            _mm_setcsr(caller_);
    }
    VmNearestScope(const VmNearestScope&) = delete;
    VmNearestScope& operator=(const VmNearestScope&) = delete;

  private:
    static constexpr uint32_t Rounding = 0x6000;
    uint32_t caller_;
};

inline int32_t VmGet32(const int32_t* p)
{
    int32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

// Two 32-bit integers as doubles.
inline __m128d VmInt2(const int32_t* p)
{
    return _mm_cvtepi32_pd(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)));
}

inline __m128d VmIntSplat(int32_t v)
{
    return _mm_set1_pd(static_cast<double>(v));
}

// Each part times the multiplier, limited and rounded to int32.
inline void VmScaledOut(__m128d parts, const double* scale, int32_t* out, int count)
{
    const __m128i r = _mm_cvtpd_epi32(VmScaleAndLimit(_mm_mul_pd(parts, _mm_set1_pd(*scale)), 0));
    if (count == 2)
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out), r);
    else
        *out = _mm_cvtsi128_si32(r);
}

inline __m128d VmPairFinish(__m128d a, __m128d b)
{
    const __m128d s = _mm_add_pd(_mm_unpacklo_pd(a, b), _mm_unpackhi_pd(a, b));
    return _mm_add_sd(s, VmSwapHalves(s));
}

inline void VmDot32sScaled(const int32_t* s1, const int32_t* s2, int64_t len, int32_t* out,
                           const double* scale)
{
    const VmNearestScope nearest;
    __m128d a = _mm_setzero_pd(), b = a;
    // Iterations run while 12 or more remain, so 6 to 11 are left over.
    for (; len >= 12; len -= 6, s1 += 6, s2 += 6)
    {
        a = _mm_add_pd(a, _mm_mul_pd(VmInt2(s1), VmInt2(s2)));
        b = _mm_add_pd(b, _mm_mul_pd(VmInt2(s1 + 2), VmInt2(s2 + 2)));
        a = _mm_add_pd(a, _mm_mul_pd(VmInt2(s1 + 4), VmInt2(s2 + 4)));
    }
    for (; len > 0; --len)
        a = _mm_add_sd(a, _mm_set_sd(static_cast<double>(VmGet32(s1++)) * VmGet32(s2++)));
    VmScaledOut(VmPairFinish(a, b), scale, out, 1);
}

inline void VmDot32s32scScaled(const int32_t* x, const int32_t* c, int64_t len, int32_t* out,
                               const double* scale)
{
    const VmNearestScope nearest;
    __m128d a = _mm_setzero_pd(), b = a;
    const auto term = [](const int32_t* xk, const int32_t* ck)
    { return _mm_mul_pd(VmIntSplat(VmGet32(xk)), VmInt2(ck)); };
    for (; len >= 8; len -= 4, x += 4, c += 8)
    {
        a = _mm_add_pd(a, term(x, c));
        b = _mm_add_pd(b, term(x + 1, c + 2));
        a = _mm_add_pd(a, term(x + 2, c + 4));
        b = _mm_add_pd(b, term(x + 3, c + 6));
    }
    for (; len > 0; --len, ++x, c += 2)
        a = _mm_add_pd(a, _mm_mul_pd(VmIntSplat(VmGet32(x)), VmInt2(c)));
    VmScaledOut(_mm_add_pd(a, b), scale, out, 2);
}

inline void VmDot32scScaled(const int32_t* s1, const int32_t* s2, int64_t len, int32_t* out,
                            const double* scale)
{
    const VmNearestScope nearest;
    __m128d p = _mm_setzero_pd(), q = p;
    for (; len > 0; --len, s1 += 2, s2 += 2)
    {
        const __m128d b = VmInt2(s2);
        p = _mm_add_pd(p, _mm_mul_pd(VmIntSplat(VmGet32(s1)), b));
        q = _mm_add_pd(q, _mm_mul_pd(VmIntSplat(VmGet32(s1 + 1)), b));
    }
    VmScaledOut(VmComplexFinish(p, q), scale, out, 2);
}

inline __m128d VmInt16Pair(const int16_t* p)
{
    return _mm_set_pd(VmGet16(p + 1), VmGet16(p));
}

inline void VmDot16s32sScaled(const int16_t* x, const int32_t* y, int64_t len, int32_t* out,
                              const double* scale)
{
    const VmNearestScope nearest;
    __m128d a = _mm_setzero_pd(), b = a;
    const auto one = [&]
    { a = _mm_add_sd(a, _mm_set_sd(static_cast<double>(VmGet16(x++)) * VmGet32(y++))); };
    for (; (VmAddr(x) & 15) != 0 && len > 0; --len)
        one();
    const auto term = [](const int16_t* xk, const int32_t* yk)
    { return _mm_mul_pd(VmInt16Pair(xk), VmInt2(yk)); };
    for (; len >= 8; len -= 8, x += 8, y += 8)
    {
        a = _mm_add_pd(a, term(x, y));
        b = _mm_add_pd(b, term(x + 2, y + 2));
        a = _mm_add_pd(a, term(x + 4, y + 4));
        b = _mm_add_pd(b, term(x + 6, y + 6));
    }
    for (; len > 0; --len)
        one();
    VmScaledOut(VmPairFinish(a, b), scale, out, 1);
}

// ---- 16-bit to exact 64-bit sums. A pmaddwd lane pairing two products
// overflows 32 bits only for 2 (-32768)(-32768) = 2^31: every paired lane is
// taken less one, and the count of such lanes added back at the end.
struct VmExact64
{
    __m128i acc = _mm_setzero_si128();
    int64_t biased = 0;
    // Four paired lanes, each less one, sign-extended: lanes 0 and 2 into
    // the low half of acc, 1 and 3 into the high half.
    void Add(__m128i lanes)
    {
        const __m128i v = _mm_sub_epi32(lanes, _mm_set1_epi32(1));
        const __m128i sign = _mm_srai_epi32(v, 31);
        acc = _mm_add_epi64(
            acc, _mm_add_epi64(_mm_unpacklo_epi32(v, sign), _mm_unpackhi_epi32(v, sign)));
        biased += 2;
    }
    int64_t Lo() const { return _mm_cvtsi128_si64(acc) + biased; }
    int64_t Hi() const { return _mm_cvtsi128_si64(_mm_unpackhi_epi64(acc, acc)) + biased; }
};

inline __m128i VmLoad8x16(const int16_t* p)
{
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

inline int64_t VmProduct16(const int16_t* x, const int16_t* y)
{
    return int64_t{VmGet16(x)} * VmGet16(y);
}

// Single products until src1 is 16-byte aligned (never, at an odd address),
// then 16 per iteration, the rest one at a time.
inline void VmDot16sTo64s(const int16_t* s1, const int16_t* s2, int64_t len, int64_t* out)
{
    int64_t single = 0;
    for (; (VmAddr(s1) & 15) != 0 && len > 0; --len)
        single += VmProduct16(s1++, s2++);
    VmExact64 sum;
    for (; len >= 16; len -= 16, s1 += 16, s2 += 16)
    {
        sum.Add(_mm_madd_epi16(VmLoad8x16(s1), VmLoad8x16(s2)));
        sum.Add(_mm_madd_epi16(VmLoad8x16(s1 + 8), VmLoad8x16(s2 + 8)));
    }
    for (; len > 0; --len)
        single += VmProduct16(s1++, s2++);
    *out = sum.Lo() + sum.Hi() + single;
}

// No peel: blocks of 16, then one of 8 and one of 4, and single products.
inline void VmDot16sTo64sDirect(const int16_t* s1, const int16_t* s2, int64_t len, int64_t* out)
{
    VmExact64 sum;
    for (; len >= 16; len -= 16, s1 += 16, s2 += 16)
    {
        sum.Add(_mm_madd_epi16(VmLoad8x16(s1), VmLoad8x16(s2)));
        sum.Add(_mm_madd_epi16(VmLoad8x16(s1 + 8), VmLoad8x16(s2 + 8)));
    }
    if (len >= 8)
    {
        sum.Add(_mm_madd_epi16(VmLoad8x16(s1), VmLoad8x16(s2)));
        s1 += 8, s2 += 8, len -= 8;
    }
    int64_t single = 0;
    for (; len > 0; --len)
        single += VmProduct16(s1++, s2++);
    *out = sum.Lo() + sum.Hi() + single;
}

// Parts regrouped as (re re im im) in each half.
inline __m128i VmRegroup16sc(__m128i v)
{
    return _mm_shufflehi_epi16(_mm_shufflelo_epi16(v, 0xD8), 0xD8);
}

inline void VmDot16s16scTo64sc(const int16_t* x, const int16_t* c, int64_t len, int64_t* out)
{
    VmExact64 sum;
    for (; len >= 4; len -= 4, x += 4, c += 8)
    {
        // (x0 x1 x0 x1 x2 x3 x2 x3) against (re0 re1 im0 im1 re2 re3 im2 im3).
        const __m128i xs = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(x));
        sum.Add(_mm_madd_epi16(_mm_unpacklo_epi32(xs, xs), VmRegroup16sc(VmLoad8x16(c))));
    }
    int64_t re = sum.Lo(), im = sum.Hi();
    for (; len > 0; --len, ++x, c += 2)
        re += VmProduct16(x, c), im += VmProduct16(x, c + 1);
    out[0] = re, out[1] = im;
}

inline void VmDot16scTo64sc(const int16_t* s1, const int16_t* s2, int64_t len, int64_t* out)
{
    // (RR, II) and (RI, IR), every lane pairing two elements.
    VmExact64 same, cross;
    for (; len >= 4; len -= 4, s1 += 8, s2 += 8)
    {
        const __m128i a = VmRegroup16sc(VmLoad8x16(s1));
        const __m128i b = VmRegroup16sc(VmLoad8x16(s2));
        same.Add(_mm_madd_epi16(a, b));
        cross.Add(_mm_madd_epi16(a, _mm_shuffle_epi32(b, _MM_SHUFFLE(2, 3, 0, 1))));
    }
    // The biases of RR and II cancel.
    int64_t re = same.Lo() - same.Hi(), im = cross.Lo() + cross.Hi();
    for (; len > 0; --len, s1 += 2, s2 += 2)
    {
        re += VmProduct16(s1, s2) - VmProduct16(s1 + 1, s2 + 1);
        im += VmProduct16(s1, s2 + 1) + VmProduct16(s1 + 1, s2);
    }
    out[0] = re, out[1] = im;
}
} // namespace
