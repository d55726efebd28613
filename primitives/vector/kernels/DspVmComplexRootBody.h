// Principal square roots of complex float and double vectors: the float
// blocks from reciprocal square-root estimates with one Newton step, the
// double ones from exact roots with one shared division per four elements.
// Elements whose squared magnitude would underflow or overflow in the working
// precision are computed apart (the float ones in double, the double ones
// scaled by a power of four first), so every finite input gets its root
// instead of 0, NaN or infinity. Included only by the per-level files.
#pragma once

#include "primitives/vector/kernels/DspVmSqrtBody.h"

namespace
{
// ---- complex float
struct VmParts32fc
{
    __m128 re, im; // four elements
};

// Four elements (re0 im0 re1 im1, re2 im2 re3 im3) to their parts.
inline VmParts32fc VmSplit32fc(__m128 lo, __m128 hi)
{
    return {_mm_shuffle_ps(lo, hi, _MM_SHUFFLE(2, 0, 2, 0)),
            _mm_shuffle_ps(lo, hi, _MM_SHUFFLE(3, 1, 3, 1))};
}

inline __m128 VmSelect(__m128 mask, __m128 yes, __m128 no)
{
    return _mm_or_ps(_mm_and_ps(mask, yes), _mm_andnot_ps(mask, no));
}

// The estimate path, with the halves A = a/2 and B = b/2: |z|/2 and the root
// of |A| + |z|/2 from one Newton step each. A zero element's lane roots 3.0
// instead and is zeroed at the end, so no lane forms 0 x inf.
inline VmParts32fc VmSqrtEstimate32fc(const VmParts32fc& z)
{
    const __m128 half = VmSplat(0x3F000000u), three = VmSplat(0x40400000u);
    const __m128 sign = VmSplat(0x80000000u), zero = _mm_setzero_ps();
    const __m128 a = _mm_mul_ps(z.re, half), b = _mm_mul_ps(z.im, half);
    const __m128 q0 = _mm_add_ps(_mm_mul_ps(a, a), _mm_mul_ps(b, b));
    const __m128 zeroLane = _mm_cmpeq_ps(q0, zero);
    const __m128 q = VmSelect(zeroLane, three, q0);
    const __m128 r = _mm_rsqrt_ps(q);
    const __m128 s = _mm_mul_ps(q, r);
    const __m128 t = _mm_mul_ps(r, s);
    const __m128 m = _mm_mul_ps(_mm_mul_ps(s, half), _mm_add_ps(three, _mm_xor_ps(t, sign)));
    const __m128 w = _mm_add_ps(_mm_andnot_ps(sign, a), m);
    const __m128 r2 = _mm_rsqrt_ps(w);
    const __m128 t2 = _mm_mul_ps(_mm_mul_ps(w, r2), r2);
    const __m128 rr = _mm_andnot_ps(
        zeroLane, _mm_mul_ps(_mm_mul_ps(r2, half), _mm_add_ps(three, _mm_xor_ps(t2, sign))));
    const __m128 p = _mm_mul_ps(w, rr), qq = _mm_mul_ps(_mm_andnot_ps(sign, b), rr);
    const __m128 posA = _mm_cmple_ps(zero, a);
    // The sign from b itself: halving the smallest denormal gives a zero.
    const __m128 negB = _mm_cmpnle_ps(zero, z.im);
    const __m128 unit = _mm_or_ps(_mm_add_ps(half, half), _mm_and_ps(negB, sign));
    return {VmSelect(posA, p, qq), _mm_mul_ps(unit, VmSelect(posA, qq, p))};
}

// Two elements in double, where a float's square neither underflows nor
// overflows: the root rounded once to float (the double result is far more
// accurate than that rounding).
inline void VmSqrtWide32fc(__m128d a, __m128d b, __m128d& re, __m128d& im)
{
    const __m128d sign = _mm_set1_pd(-0.0), zero = _mm_setzero_pd();
    const __m128d mag = _mm_sqrt_pd(_mm_add_pd(_mm_mul_pd(a, a), _mm_mul_pd(b, b)));
    const __m128d w =
        _mm_sqrt_pd(_mm_mul_pd(_mm_add_pd(_mm_andnot_pd(sign, a), mag), _mm_set1_pd(0.5)));
    const __m128d none = _mm_cmpeq_pd(w, zero);
    const __m128d divisor = _mm_or_pd(_mm_andnot_pd(none, w), _mm_and_pd(none, _mm_set1_pd(1.0)));
    const __m128d v = _mm_div_pd(_mm_mul_pd(_mm_andnot_pd(sign, b), _mm_set1_pd(0.5)), divisor);
    const __m128d posA = _mm_cmple_pd(zero, a);
    const __m128d negB = _mm_cmpnle_pd(zero, b);
    re = _mm_or_pd(_mm_and_pd(posA, w), _mm_andnot_pd(posA, v));
    const __m128d m = _mm_or_pd(_mm_and_pd(posA, v), _mm_andnot_pd(posA, w));
    im = _mm_xor_pd(m, _mm_and_pd(negB, sign));
}

inline VmParts32fc VmSqrtWide32fc(const VmParts32fc& z)
{
    __m128d re[2], im[2];
    VmSqrtWide32fc(_mm_cvtps_pd(z.re), _mm_cvtps_pd(z.im), re[0], im[0]);
    VmSqrtWide32fc(_mm_cvtps_pd(_mm_movehl_ps(z.re, z.re)), _mm_cvtps_pd(_mm_movehl_ps(z.im, z.im)),
                   re[1], im[1]);
    return {_mm_movelh_ps(_mm_cvtpd_ps(re[0]), _mm_cvtpd_ps(re[1])),
            _mm_movelh_ps(_mm_cvtpd_ps(im[0]), _mm_cvtpd_ps(im[1]))};
}

// Finite elements whose (a/2)^2 + (b/2)^2 is not a normal float (zero
// elements apart), or whose b is so small that b/2 drops bits: the estimate
// cannot serve them.
inline __m128 VmOutOfRange32fc(const VmParts32fc& z)
{
    const __m128 sign = VmSplat(0x80000000u), zero = _mm_setzero_ps();
    const __m128 a = _mm_mul_ps(z.re, VmSplat(0x3F000000u));
    const __m128 b = _mm_mul_ps(z.im, VmSplat(0x3F000000u));
    const __m128 q = _mm_add_ps(_mm_mul_ps(a, a), _mm_mul_ps(b, b));
    const __m128 largest = VmSplat(0x7F7FFFFFu);
    const __m128 normal =
        _mm_and_ps(_mm_cmpge_ps(q, VmSplat(0x00800000u)), _mm_cmple_ps(q, largest));
    const __m128 origin = _mm_and_ps(_mm_cmpeq_ps(z.re, zero), _mm_cmpeq_ps(z.im, zero));
    const __m128 absB = _mm_andnot_ps(sign, z.im);
    const __m128 finite =
        _mm_and_ps(_mm_cmple_ps(_mm_andnot_ps(sign, z.re), largest), _mm_cmple_ps(absB, largest));
    const __m128 fine =
        _mm_or_ps(_mm_cmpeq_ps(absB, zero), _mm_cmpge_ps(absB, VmSplat(0x01000000u)));
    return _mm_andnot_ps(_mm_and_ps(_mm_or_ps(normal, origin), fine), finite);
}

inline VmParts32fc VmSqrtBlock32fc(__m128 lo, __m128 hi)
{
    const VmParts32fc z = VmSplit32fc(lo, hi);
    VmParts32fc root = VmSqrtEstimate32fc(z);
    const __m128 apart = VmOutOfRange32fc(z);
    if (_mm_movemask_ps(apart) != 0)
    {
        const VmParts32fc wide = VmSqrtWide32fc(z);
        root = {VmSelect(apart, wide.re, root.re), VmSelect(apart, wide.im, root.im)};
    }
    return root;
}

// One element; the other lanes hold 3.0, an ordinary value.
inline void VmSqrtOne32fc(const float* src, float* dst)
{
    const __m128 three = VmSplat(0x40400000u);
    const VmParts32fc r =
        VmSqrtBlock32fc(_mm_loadl_pi(three, reinterpret_cast<const __m64*>(src)), three);
    _mm_storel_pi(reinterpret_cast<__m64*>(dst), _mm_unpacklo_ps(r.re, r.im));
}

template <class Load, class Store> void VmSqrtLoop32fc(const float*& src, float*& dst, int64_t& len)
{
    for (; len >= 4; len -= 4, src += 8, dst += 8)
    {
        const VmParts32fc r = VmSqrtBlock32fc(Load::Get(src), Load::Get(src + 4));
        Store::Put(dst, _mm_unpacklo_ps(r.re, r.im));
        Store::Put(dst + 4, _mm_unpackhi_ps(r.re, r.im));
    }
}

inline void VmSqrtKernel32fc(const float* src, float* dst, int64_t len)
{
    if ((VmAddr(dst) & 8) != 0)
    {
        VmSqrtOne32fc(src, dst);
        src += 2, dst += 2;
        if (--len <= 0)
            return;
    }
    if ((VmAddr(dst) & 15) != 0)
        VmSqrtLoop32fc<VmLoadUnaligned, VmStoreUnaligned>(src, dst, len);
    else if ((VmAddr(src) & 15) != 0)
        VmSqrtLoop32fc<VmLoadUnaligned, VmStoreAligned>(src, dst, len);
    else
        VmSqrtLoop32fc<VmLoadAligned, VmStoreAligned>(src, dst, len);
    if (len >= 2)
    {
        const __m128 two = _mm_loadu_ps(src);
        const VmParts32fc r = VmSqrtBlock32fc(two, two);
        _mm_storeu_ps(dst, _mm_unpacklo_ps(r.re, r.im));
        src += 4, dst += 4, len -= 2;
    }
    if (len == 1)
        VmSqrtOne32fc(src, dst);
}

// ---- complex double
struct VmParts64fc
{
    __m128d re, im; // two elements
};

inline __m128d VmSelectPd(__m128d mask, __m128d yes, __m128d no)
{
    return _mm_or_pd(_mm_and_pd(mask, yes), _mm_andnot_pd(mask, no));
}

// The root of |A| + |z|/2 for the halves A, B; `usable` is that root, or 1.0
// where it is 0 (a zero element), for the division.
inline __m128d VmHalfRoot64fc(__m128d a, __m128d b, __m128d& usable)
{
    const __m128d sign = _mm_set1_pd(-0.0);
    const __m128d m = _mm_sqrt_pd(_mm_add_pd(_mm_mul_pd(a, a), _mm_mul_pd(b, b)));
    const __m128d w = _mm_add_pd(_mm_andnot_pd(sign, a), m);
    const __m128d p = _mm_sqrt_pd(w);
    usable = VmSelectPd(_mm_cmpeq_pd(w, _mm_setzero_pd()), _mm_set1_pd(1.0), p);
    return p;
}

// Parts from P and 1/P' for the halves a and b: Q = |b|/P', the real part P
// for a >= 0, else Q; the imaginary sign from the unhalved `full` part.
inline VmParts64fc VmAssemble64fc(__m128d a, __m128d b, __m128d full, __m128d p, __m128d inverse)
{
    const __m128d sign = _mm_set1_pd(-0.0), zero = _mm_setzero_pd();
    const __m128d q = _mm_mul_pd(_mm_andnot_pd(sign, b), inverse);
    const __m128d posA = _mm_cmpnlt_pd(a, zero);
    const __m128d unit = _mm_or_pd(_mm_set1_pd(1.0), _mm_and_pd(_mm_cmplt_pd(full, zero), sign));
    return {VmSelectPd(posA, p, q), _mm_mul_pd(unit, VmSelectPd(posA, q, p))};
}

// Elements whose (a/2)^2 + (b/2)^2 is not a normal double (zero elements
// apart) or not finite, or whose b is so small that b/2 drops bits: they take
// the scaled path with their own division.
inline bool VmAnyOutOfRange64fc(__m128d a, __m128d b)
{
    const __m128d half = _mm_set1_pd(0.5);
    const __m128d ha = _mm_mul_pd(a, half), hb = _mm_mul_pd(b, half);
    const __m128d q = _mm_add_pd(_mm_mul_pd(ha, ha), _mm_mul_pd(hb, hb));
    const __m128d normal = _mm_and_pd(_mm_cmpge_pd(q, _mm_set1_pd(0x1p-1022)),
                                      _mm_cmple_pd(q, _mm_set1_pd(0x1.fffffffffffffp+1023)));
    const __m128d zero = _mm_setzero_pd();
    const __m128d origin = _mm_and_pd(_mm_cmpeq_pd(a, zero), _mm_cmpeq_pd(b, zero));
    const __m128d absB = _mm_andnot_pd(_mm_set1_pd(-0.0), b);
    const __m128d fine =
        _mm_or_pd(_mm_cmpeq_pd(absB, zero), _mm_cmpge_pd(absB, _mm_set1_pd(0x1p-1021)));
    return _mm_movemask_pd(_mm_and_pd(_mm_or_pd(normal, origin), fine)) != 3;
}

// Two elements from their full parts, each with its own division: the
// halves scaled by 4^-300 or 4^300 first where the larger part lies beyond
// 2^500 or below 2^-500, so that the square neither underflows nor
// overflows, and P scaled back by 2^300 or 2^-300. Q = (|b|/P)/2 from the
// unscaled b and P, so that a tiny b beside a huge a keeps its bits.
inline VmParts64fc VmSqrtScaled64fc(__m128d a, __m128d b)
{
    const __m128d sign = _mm_set1_pd(-0.0), one = _mm_set1_pd(1.0), zero = _mm_setzero_pd();
    const __m128d larger = _mm_max_pd(_mm_andnot_pd(sign, a), _mm_andnot_pd(sign, b));
    const __m128d huge = _mm_cmpgt_pd(larger, _mm_set1_pd(0x1p500));
    const __m128d tiny = _mm_cmplt_pd(larger, _mm_set1_pd(0x1p-500));
    const __m128d in = VmSelectPd(huge, _mm_set1_pd(0x1p-601),
                                  VmSelectPd(tiny, _mm_set1_pd(0x1p599), _mm_set1_pd(0.5)));
    const __m128d out =
        VmSelectPd(huge, _mm_set1_pd(0x1p300), VmSelectPd(tiny, _mm_set1_pd(0x1p-300), one));
    const __m128d sa = _mm_mul_pd(a, in), sb = _mm_mul_pd(b, in);
    __m128d usable;
    const __m128d p = _mm_mul_pd(VmHalfRoot64fc(sa, sb, usable), out);
    const __m128d q =
        _mm_mul_pd(_mm_div_pd(_mm_andnot_pd(sign, b), _mm_mul_pd(usable, out)), _mm_set1_pd(0.5));
    const __m128d posA = _mm_cmpnlt_pd(a, zero);
    const __m128d unit = _mm_or_pd(one, _mm_and_pd(_mm_cmplt_pd(b, zero), sign));
    return {VmSelectPd(posA, p, q), _mm_mul_pd(unit, VmSelectPd(posA, q, p))};
}

// Two elements with their own division (the tail's form).
inline VmParts64fc VmSqrtPair64fc(__m128d a, __m128d b)
{
    if (VmAnyOutOfRange64fc(a, b))
        return VmSqrtScaled64fc(a, b);
    const __m128d half = _mm_set1_pd(0.5);
    const __m128d ha = _mm_mul_pd(a, half), hb = _mm_mul_pd(b, half);
    __m128d usable;
    const __m128d p = VmHalfRoot64fc(ha, hb, usable);
    return VmAssemble64fc(ha, hb, b, p, _mm_div_pd(_mm_set1_pd(1.0), usable));
}

inline void VmStore64fc(double* dst, const VmParts64fc& r)
{
    const __m128d e0 = _mm_unpacklo_pd(r.re, r.im), e1 = _mm_unpackhi_pd(r.re, r.im);
    _mm_storel_pd(dst, e0);
    _mm_storeh_pd(dst + 1, e0);
    _mm_storel_pd(dst + 2, e1);
    _mm_storeh_pd(dst + 3, e1);
}

// Four elements, one division shared by all four: D = 1/(P'1 P'2).
template <class Load> void VmSqrtLoop64fc(const double*& src, double*& dst, int64_t& len)
{
    const __m128d half = _mm_set1_pd(0.5);
    for (; len >= 4; len -= 4, src += 8, dst += 8)
    {
        const __m128d e0 = Load::Get(src), e1 = Load::Get(src + 2);
        const __m128d e2 = Load::Get(src + 4), e3 = Load::Get(src + 6);
        const __m128d fa1 = _mm_unpacklo_pd(e0, e1), fb1 = _mm_unpackhi_pd(e0, e1);
        const __m128d fa2 = _mm_unpacklo_pd(e2, e3), fb2 = _mm_unpackhi_pd(e2, e3);
        if (VmAnyOutOfRange64fc(fa1, fb1) || VmAnyOutOfRange64fc(fa2, fb2))
        {
            VmStore64fc(dst, VmSqrtScaled64fc(fa1, fb1));
            VmStore64fc(dst + 4, VmSqrtScaled64fc(fa2, fb2));
            continue;
        }
        const __m128d a1 = _mm_mul_pd(fa1, half), b1 = _mm_mul_pd(fb1, half);
        const __m128d a2 = _mm_mul_pd(fa2, half), b2 = _mm_mul_pd(fb2, half);
        __m128d u1, u2;
        const __m128d p1 = VmHalfRoot64fc(a1, b1, u1);
        const __m128d p2 = VmHalfRoot64fc(a2, b2, u2);
        const __m128d d = _mm_div_pd(_mm_set1_pd(1.0), _mm_mul_pd(u1, u2));
        VmStore64fc(dst, VmAssemble64fc(a1, b1, fb1, p1, _mm_mul_pd(u2, d)));
        VmStore64fc(dst + 4, VmAssemble64fc(a2, b2, fb2, p2, _mm_mul_pd(u1, d)));
    }
}

inline void VmSqrtKernel64fc(const double* src, double* dst, int64_t len)
{
    if ((VmAddr(src) & 15) == 0)
        VmSqrtLoop64fc<VmLoadAligned64>(src, dst, len);
    else
        VmSqrtLoop64fc<VmLoadUnaligned64>(src, dst, len);
    if (len >= 2)
    {
        const __m128d e0 = _mm_loadu_pd(src), e1 = _mm_loadu_pd(src + 2);
        VmStore64fc(dst, VmSqrtPair64fc(_mm_unpacklo_pd(e0, e1), _mm_unpackhi_pd(e0, e1)));
        src += 4, dst += 4, len -= 2;
    }
    if (len == 1)
    {
        const __m128d e = _mm_loadu_pd(src);
        const VmParts64fc r = VmSqrtPair64fc(_mm_unpacklo_pd(e, e), _mm_unpackhi_pd(e, e));
        _mm_storel_pd(dst, r.re);
        _mm_storel_pd(dst + 1, r.im);
    }
}
} // namespace
