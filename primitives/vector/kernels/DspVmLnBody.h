// Natural logarithm of 32-bit floats and of scaled 32-bit and 16-bit
// integers. Core per element x = m * 2^k with m in [sqrt 2 / 2, sqrt 2):
// ln x = k ln 2 + 2 atanh(u), u = (m - 1)/(m + 1), the series in u^2 to the
// ninth power. Calls of 32 elements or more run their aligned middle in groups
// of eight and two passes over the work area: the first reduces and spends
// one division on both four-lane halves, the second evaluates the series.
// Elements whose exponent lies outside -62..63 send their group through a
// per-element handler (zeros, negatives, denormals, infinities, NaNs).
#pragma once

#include <limits>
#include <type_traits>

#include "primitives/core/DspScaleFactor.h"
#include "primitives/vector/kernels/DspVmSimd.h"

namespace
{
// One constant block per level.
alignas(16) const uint32_t VmLnConst[][4] = {
    {0x3E7353DAu, 0x3E7353DAu, 0x3E7353DAu, 0x3E7353DAu}, // c1 (u^8 term)
    {0x3E920CCAu, 0x3E920CCAu, 0x3E920CCAu, 0x3E920CCAu}, // c2
    {0x3ECCCD95u, 0x3ECCCD95u, 0x3ECCCD95u, 0x3ECCCD95u}, // c3
    {0x3F2AAAAAu, 0x3F2AAAAAu, 0x3F2AAAAAu, 0x3F2AAAAAu}, // c4
    {0x40000000u, 0x40000000u, 0x40000000u, 0x40000000u}, // c5 = 2
    {0x3F000000u, 0x3F000000u, 0x3F000000u, 0x3F000000u}, // exponent base 0.5
    {0xFF800000u, 0xFF800000u, 0xFF800000u, 0xFF800000u}, // sign and exponent
    {0xFFC2FFC2u, 0xFFC2FFC2u, 0xFFC2FFC2u, 0xFFC2FFC2u}, // -62 per 16-bit lane
    {0x003F003Fu, 0x003F003Fu, 0x003F003Fu, 0x003F003Fu}, // 63 per 16-bit lane
    {0x00800000u, 0x00800000u, 0x00800000u, 0x00800000u}, // one exponent step
    {0x3F317218u, 0x3F317218u, 0x3F317218u, 0x3F317218u}, // ln 2
    {0x3F800000u, 0x3F800000u, 0x3F800000u, 0x3F800000u}, // 1.0
    {0x003504F2u, 0x003504F2u, 0x003504F2u, 0x003504F2u}, // mantissa of sqrt 2, less one
    {0x007FFFFFu, 0x007FFFFFu, 0x007FFFFFu, 0x007FFFFFu}, // mantissa
    {0x4EFFFFFFu, 0x4EFFFFFFu, 0x4EFFFFFFu, 0x4EFFFFFFu}, // integer clamp high
    {0xCEFFFFFFu, 0xCEFFFFFFu, 0xCEFFFFFFu, 0xCEFFFFFFu}, // integer clamp low
};
enum VmLnC
{
    LnC1,
    LnC2,
    LnC3,
    LnC4,
    LnC5,
    LnBase,
    LnSignExp,
    LnLowLimit,
    LnHighLimit,
    LnStep,
    LnLn2,
    LnOne,
    LnThreshold,
    LnMantissa,
    LnClampHigh,
    LnClampLow
};

inline __m128i VmLnI(VmLnC c)
{
    return _mm_load_si128(reinterpret_cast<const __m128i*>(VmLnConst[c]));
}
inline __m128 VmLnF(VmLnC c)
{
    return _mm_load_ps(reinterpret_cast<const float*>(VmLnConst[c]));
}

// x = m * 2^k from the bits alone.
inline void VmLnReduce(__m128 x, __m128i& k, __m128& m)
{
    const __m128i b = _mm_castps_si128(x);
    k = _mm_srai_epi32(_mm_sub_epi32(_mm_and_si128(b, VmLnI(LnSignExp)), VmLnI(LnBase)), 23);
    const __m128i f = _mm_and_si128(b, VmLnI(LnMantissa));
    const __m128i low = _mm_cmplt_epi32(f, VmLnI(LnThreshold));
    k = _mm_add_epi32(k, low);
    m = _mm_castsi128_ps(
        _mm_or_si128(f, _mm_add_epi32(VmLnI(LnBase), _mm_and_si128(low, VmLnI(LnStep)))));
}

inline __m128 VmLnDirectU(__m128 m)
{
    const __m128 one = VmLnF(LnOne);
    return _mm_div_ps(_mm_sub_ps(m, one), _mm_add_ps(m, one));
}

// The bracketed series in u^2.
inline __m128 VmLnSeries(__m128 u)
{
    const __m128 w = _mm_mul_ps(u, u);
    __m128 p = _mm_add_ps(_mm_mul_ps(VmLnF(LnC1), w), VmLnF(LnC2));
    p = _mm_add_ps(_mm_mul_ps(p, w), VmLnF(LnC3));
    p = _mm_add_ps(_mm_mul_ps(p, w), VmLnF(LnC4));
    return _mm_add_ps(_mm_mul_ps(p, w), VmLnF(LnC5));
}

// Float results: series * u + k ln 2.
struct VmLnScale
{
    __m128 m;     // multiplier 2^-sf of the integer kernels
    __m128 mLn2;  // multiplier * ln 2
    bool integer; // false: plain logarithm
};

inline __m128 VmLnValue(__m128i k, __m128 u, const VmLnScale& s)
{
    const __m128 kf = _mm_cvtepi32_ps(k);
    if (!s.integer)
        return _mm_add_ps(_mm_mul_ps(VmLnSeries(u), u), _mm_mul_ps(kf, VmLnF(LnLn2)));
    return _mm_add_ps(_mm_mul_ps(VmLnSeries(u), _mm_mul_ps(u, s.m)), _mm_mul_ps(kf, s.mLn2));
}

// Logarithm of one positive denormal: scaled into the normal range first.
inline float VmLnDenormal(float x)
{
    __m128i k;
    __m128 m;
    VmLnReduce(_mm_mul_ss(_mm_set1_ps(x), _mm_set1_ps(16777216.0f)), k, m);
    k = _mm_sub_epi32(k, _mm_set1_epi32(24));
    return _mm_cvtss_f32(VmLnValue(k, VmLnDirectU(m), VmLnScale{{}, {}, false}));
}

inline void VmLnNote(int64_t& code, int64_t kind)
{
    if (code == 0)
        code = kind;
}

// ---- element types: inputs become floats, results are finished to the
// output type, special elements answered one by one.
template <class T> __m128 VmLnLoad(const T* p)
{
    if constexpr (std::is_same_v<T, float>)
        return _mm_loadu_ps(p);
    else if constexpr (std::is_same_v<T, int32_t>)
        return _mm_cvtepi32_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
    else
    {
        const __m128i v = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p));
        return _mm_cvtepi32_ps(_mm_srai_epi32(_mm_unpacklo_epi16(v, v), 16));
    }
}

// One to three elements, repeated to fill the lanes as the float form does.
template <class T> __m128 VmLnLoadPart(const T* p, int64_t n)
{
    if constexpr (std::is_same_v<T, float>)
        return VmLoadPartial(p, n);
    else
    {
        const int32_t a = p[0], b = n > 1 ? p[1] : a, c = n > 2 ? p[2] : a;
        return _mm_cvtepi32_ps(_mm_setr_epi32(a, b, c, n > 2 ? c : b));
    }
}

inline __m128 VmLnClamp(__m128 y)
{
    return _mm_min_ps(_mm_max_ps(y, VmLnF(LnClampLow)), VmLnF(LnClampHigh));
}

// Writes n (1 to 8) results; integer results are clamped, converted in the
// caller's rounding mode and, for 16 bits, saturated.
template <class T> void VmLnPut(T* p, __m128 y0, __m128 y1, int64_t n)
{
    if constexpr (std::is_same_v<T, float>)
    {
        VmStorePartial(p, y0, n < 4 ? n : 4);
        if (n > 4)
            VmStorePartial(p + 4, y1, n - 4);
    }
    else
    {
        const __m128i r0 = _mm_cvtps_epi32(VmLnClamp(y0)), r1 = _mm_cvtps_epi32(VmLnClamp(y1));
        alignas(16) T lanes[8];
        if constexpr (std::is_same_v<T, int32_t>)
        {
            _mm_store_si128(reinterpret_cast<__m128i*>(lanes), r0);
            _mm_store_si128(reinterpret_cast<__m128i*>(lanes + 4), r1);
        }
        else
            _mm_store_si128(reinterpret_cast<__m128i*>(lanes), _mm_packs_epi32(r0, r1));
        std::memcpy(p, lanes, sizeof(T) * static_cast<size_t>(n));
    }
}

// The result of one element of a group with a special element.
template <class In, class Out> Out VmLnSpecial(In x, float y, int64_t& code)
{
    if constexpr (std::is_same_v<Out, float>)
    {
        const int32_t b = static_cast<int32_t>(std::bit_cast<uint32_t>(x));
        if (b == 0)
        {
            VmLnNote(code, 2);
            return std::bit_cast<float>(0xFF800000u);
        }
        if (b < 0)
        {
            VmLnNote(code, 4);
            return std::bit_cast<float>(0xFFC00000u);
        }
        if (b >= 0x7F800000) // +Inf stays, NaNs come back quiet
            return std::bit_cast<float>(static_cast<uint32_t>(b) |
                                        (b > 0x7F800000 ? 0x00400000u : 0u));
        if (b < 0x00800000)
            return VmLnDenormal(x);
        return y; // normal numbers far from 1
    }
    else
    {
        if (x <= 0)
        {
            VmLnNote(code, x == 0 ? 2 : 4);
            return std::numeric_limits<Out>::min();
        }
        Out r;
        VmLnPut(&r, _mm_set1_ps(y), _mm_set1_ps(y), 1);
        return r;
    }
}

// Bit per lane of the exponent filter: below -62 (every kind) or above 63
// (floats only; an integer of at least 1 has k of at least 0).
template <class Out> int VmLnFilter16(__m128i k16)
{
    __m128i bad = _mm_cmplt_epi16(k16, VmLnI(LnLowLimit));
    if constexpr (std::is_same_v<Out, float>)
        bad = _mm_or_si128(bad, _mm_cmpgt_epi16(k16, VmLnI(LnHighLimit)));
    return _mm_movemask_epi8(bad);
}

template <class In, class Out>
void VmLnStore(const In* src, Out* dst, __m128 y0, __m128 y1, int special, int64_t n, int64_t& code)
{
    if (special == 0)
    {
        VmLnPut(dst, y0, y1, n);
        return;
    }
    alignas(16) float lanes[8];
    _mm_store_ps(lanes, y0);
    _mm_store_ps(lanes + 4, y1);
    for (int64_t j = 0; j < n; ++j)
        dst[j] = VmLnSpecial<In, Out>(src[j], lanes[j], code);
}

// Groups of up to four with a direct division.
template <class In, class Out>
void VmLnShort(const In* src, Out* dst, int64_t i, int64_t end, const VmLnScale& s, int64_t& code)
{
    for (; i < end; i += 4)
    {
        const int64_t n = end - i < 4 ? end - i : 4;
        __m128i k;
        __m128 m;
        VmLnReduce(n == 4 ? VmLnLoad(src + i) : VmLnLoadPart(src + i, n), k, m);
        const __m128 y = VmLnValue(k, VmLnDirectU(m), s);
        const __m128i k16 = _mm_srai_epi32(_mm_slli_epi32(k, 16), 16);
        const int special = VmLnFilter16<Out>(_mm_packs_epi32(k16, k16));
        VmLnStore(src + i, dst + i, y, y, special, n, code);
    }
}

// Where k and u wait between the passes: both in the work area (in-place
// forms, 64 bytes per group), k in the work area and u in a 32-bit
// destination, or k packed in a 16-bit destination and u in the work area
// (32 bytes per group).
enum class VmLnStash
{
    Work,
    UInDst,
    KInDst
};

inline void VmPut(uint8_t* p, __m128i v)
{
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v);
}
inline __m128i VmGet(const uint8_t* p)
{
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

template <VmLnStash W, class Out>
void VmLnKeep(uint8_t* work, Out* dst, __m128i k0, __m128i k1, __m128 u0, __m128 u1)
{
    uint8_t* d = reinterpret_cast<uint8_t*>(dst);
    if constexpr (W == VmLnStash::Work)
    {
        VmPut(work, k0);
        VmPut(work + 16, k1);
        VmPut(work + 32, _mm_castps_si128(u0));
        VmPut(work + 48, _mm_castps_si128(u1));
    }
    else if constexpr (W == VmLnStash::UInDst)
    {
        VmPut(work, k0);
        VmPut(work + 16, k1);
        VmPut(d, _mm_castps_si128(u0));
        VmPut(d + 16, _mm_castps_si128(u1));
    }
    else
    {
        VmPut(d, _mm_packs_epi32(k0, k1));
        VmPut(work, _mm_castps_si128(u0));
        VmPut(work + 16, _mm_castps_si128(u1));
    }
}

template <VmLnStash W, class Out>
void VmLnTake(const uint8_t* work, const Out* dst, __m128i& k0, __m128i& k1, __m128& u0, __m128& u1)
{
    const uint8_t* d = reinterpret_cast<const uint8_t*>(dst);
    if constexpr (W == VmLnStash::KInDst)
    {
        const __m128i k = VmGet(d);
        k0 = _mm_srai_epi32(_mm_unpacklo_epi16(k, k), 16);
        k1 = _mm_srai_epi32(_mm_unpackhi_epi16(k, k), 16);
        u0 = _mm_castsi128_ps(VmGet(work));
        u1 = _mm_castsi128_ps(VmGet(work + 16));
        return;
    }
    k0 = VmGet(work);
    k1 = VmGet(work + 16);
    const uint8_t* u = W == VmLnStash::Work ? work + 32 : d;
    u0 = _mm_castsi128_ps(VmGet(u));
    u1 = _mm_castsi128_ps(VmGet(u + 16));
}

// A head of `head` elements by the short path, then whole groups of eight in
// two passes, then the rest by the short path.
template <VmLnStash W, class In, class Out>
int64_t VmLnTwoPass(const In* src, Out* dst, int64_t len, int64_t head, uint8_t* work,
                    const VmLnScale& s)
{
    int64_t code = 0;
    VmLnShort(src, dst, 0, head, s, code);
    const int64_t groups = (len - head) / 8;
    const int64_t step = W == VmLnStash::Work ? 64 : 32;
    const __m128 one = VmLnF(LnOne);
    for (int64_t g = 0; g < groups; ++g)
    {
        const int64_t i = head + 8 * g;
        __m128i k0, k1;
        __m128 m0, m1;
        VmLnReduce(VmLnLoad(src + i), k0, m0);
        VmLnReduce(VmLnLoad(src + i + 4), k1, m1);
        const __m128 p0 = _mm_add_ps(m0, one), p1 = _mm_add_ps(m1, one);
        const __m128 d = _mm_div_ps(one, _mm_mul_ps(p0, p1));
        const __m128 u0 = _mm_mul_ps(_mm_mul_ps(_mm_sub_ps(m0, one), p1), d);
        const __m128 u1 = _mm_mul_ps(_mm_mul_ps(_mm_sub_ps(m1, one), p0), d);
        VmLnKeep<W>(work + step * g, dst + i, k0, k1, u0, u1);
    }
    for (int64_t g = 0; g < groups; ++g)
    {
        const int64_t i = head + 8 * g;
        __m128i k0, k1;
        __m128 u0, u1;
        VmLnTake<W>(work + step * g, dst + i, k0, k1, u0, u1);
        const int special = VmLnFilter16<Out>(_mm_packs_epi32(k0, k1));
        VmLnStore(src + i, dst + i, VmLnValue(k0, u0, s), VmLnValue(k1, u1, s), special, 8, code);
    }
    VmLnShort(src, dst, head + 8 * groups, len, s, code);
    return code;
}

// Elements before the first 16-byte boundary of the address the fast path
// aligns.
inline int64_t VmLnHead(const void* p, int64_t elementBytes)
{
    return static_cast<int64_t>(((16 - (VmAddr(p) & 15)) & 15)) / elementBytes;
}

// ---- float kernels
inline int64_t VmLnKernel32f(float* srcDst, int64_t len, uint8_t* work)
{
    const VmLnScale s{{}, {}, false};
    if (len < 32 || (VmAddr(srcDst) & 3) != 0)
    {
        int64_t code = 0;
        VmLnShort(srcDst, srcDst, 0, len, s, code);
        return code;
    }
    return VmLnTwoPass<VmLnStash::Work>(srcDst, srcDst, len, VmLnHead(srcDst, 4), work, s);
}

inline int64_t VmLnKernelOut32f(const float* src, float* dst, int64_t len, uint8_t* work)
{
    const VmLnScale s{{}, {}, false};
    if (len < 32 || (VmAddr(dst) & 3) != 0 || (VmAddr(src) & 15) != (VmAddr(dst) & 15))
    {
        int64_t code = 0;
        VmLnShort(src, dst, 0, len, s, code);
        return code;
    }
    return VmLnTwoPass<VmLnStash::UInDst>(src, dst, len, VmLnHead(dst, 4), work, s);
}

// ---- scaled integer kernels: the work area opens with the multiplier and
// the multiplier times ln 2, four lanes each.
inline VmLnScale VmLnHeader(float multiplier, uint8_t* work)
{
    const __m128 m = _mm_set1_ps(multiplier);
    const __m128 mLn2 = _mm_mul_ps(m, VmLnF(LnLn2));
    _mm_store_ps(reinterpret_cast<float*>(work), m);
    _mm_store_ps(reinterpret_cast<float*>(work + 16), mLn2);
    return VmLnScale{m, mLn2, true};
}

template <VmLnStash W, class In, class Out>
int64_t VmLnScaled(const In* src, Out* dst, int64_t len, float multiplier, uint8_t* work, bool fast,
                   int64_t head)
{
    if (len <= 0)
        return 0;
    const VmLnScale s = VmLnHeader(multiplier, work);
    if (len < 32 || !fast)
    {
        int64_t code = 0;
        VmLnShort(src, dst, 0, len, s, code);
        return code;
    }
    return VmLnTwoPass<W>(src, dst, len, head, work + 32, s);
}

inline bool VmSameOffset(const void* a, const void* b)
{
    return (VmAddr(a) & 15) == (VmAddr(b) & 15);
}

inline int64_t VmLnKernel32sScaled(const int32_t* src, int32_t* dst, int64_t len,
                                   const float* multiplier, uint8_t* work)
{
    const bool fast = VmSameOffset(src, dst) && (VmAddr(dst) & 3) == 0;
    return VmLnScaled<VmLnStash::UInDst>(src, dst, len, *multiplier, work, fast, VmLnHead(dst, 4));
}

inline int64_t VmLnKernelInPlace32sScaled(int32_t* srcDst, int64_t len, const float* multiplier,
                                          uint8_t* work)
{
    return VmLnScaled<VmLnStash::Work>(srcDst, srcDst, len, *multiplier, work,
                                       (VmAddr(srcDst) & 3) == 0, VmLnHead(srcDst, 4));
}

inline int64_t VmLnKernel32sTo16sScaled(const int32_t* src, int16_t* dst, int64_t len,
                                        int32_t scaleFactor, uint8_t* work)
{
    return VmLnScaled<VmLnStash::KInDst>(src, dst, len, DspScaleFactor<float>(scaleFactor), work,
                                         (VmAddr(src) & 3) == 0, VmLnHead(src, 4));
}

inline int64_t VmLnKernel16sScaled(const int16_t* src, int16_t* dst, int64_t len,
                                   int32_t scaleFactor, uint8_t* work)
{
    const bool fast = VmSameOffset(src, dst) && ((VmAddr(src) | VmAddr(dst)) & 1) == 0;
    return VmLnScaled<VmLnStash::KInDst>(src, dst, len, DspScaleFactor<float>(scaleFactor), work,
                                         fast, VmLnHead(dst, 2));
}

inline int64_t VmLnKernelInPlace16sScaled(int16_t* srcDst, int64_t len, int32_t scaleFactor,
                                          uint8_t* work)
{
    return VmLnScaled<VmLnStash::Work>(srcDst, srcDst, len, DspScaleFactor<float>(scaleFactor),
                                       work, (VmAddr(srcDst) & 1) == 0, VmLnHead(srcDst, 2));
}
// ---- 64-bit kernels: x = m * 2^k with m in [1, 2), m times a short
// reciprocal r_j of 1 + j/64 (j from the top fraction bits) near 1, split in
// an exact high part and a low part; ln x = k ln 2 - ln r_j + ln(m r_j) with a
// degree-7 series. Table rows: r_j twice, then -ln r_j as a high and a low
// part.
alignas(16) const uint64_t VmLn64Table[65][4] = {
    {0x3FF0000000000000u, 0x3FF0000000000000u, 0x0000000000000000u, 0x0000000000000000u}, // 0
    {0x3FEF820000000000u, 0x3FEF820000000000u, 0x3F8FBEA8B13C0017u, 0x3CDEC927B17E4E08u}, // 1
    {0x3FEF080000000000u, 0x3FEF080000000000u, 0x3F9F7A9B16780006u, 0x3D242AD9271BE7DDu}, // 2
    {0x3FEE920000000000u, 0x3FEE920000000000u, 0x3FA766D923C20FF1u, 0x3C8D505E384982ABu}, // 3
    {0x3FEE1E0000000000u, 0x3FEE1E0000000000u, 0x3FAF0C30C111634Au, 0x3C8C329DD20A0146u}, // 4
    {0x3FEDAE0000000000u, 0x3FEDAE0000000000u, 0x3FB345179B63DD3Fu, 0x3C881E9B0A868392u}, // 5
    {0x3FED420000000000u, 0x3FED420000000000u, 0x3FB6EF528C056A2Eu, 0xBC8316BB3E56EE69u}, // 6
    {0x3FECD80000000000u, 0x3FECD80000000000u, 0x3FBA956D3ECADE68u, 0xBC921ACFF4ED42AAu}, // 7
    {0x3FEC720000000000u, 0x3FEC720000000000u, 0x3FBE2507702AF028u, 0x3CB3433FD6EEDB98u}, // 8
    {0x3FEC0E0000000000u, 0x3FEC0E0000000000u, 0x3FC0D79E7CD48E5Fu, 0xBCA3BAF70F6C38B1u}, // 9
    {0x3FEBAC0000000000u, 0x3FEBAC0000000000u, 0x3FC299D30C606EABu, 0xBCA1FF0C47EE4EB0u}, // 10
    {0x3FEB4E0000000000u, 0x3FEB4E0000000000u, 0x3FC44F8B726F8EF8u, 0x3C9A910CAE6ECFC2u}, // 11
    {0x3FEAF20000000000u, 0x3FEAF20000000000u, 0x3FC601B076E7A8B0u, 0xBCAA5056406E357Au}, // 12
    {0x3FEA980000000000u, 0x3FEA980000000000u, 0x3FC7B0091651528Eu, 0xBC8AFE5833F2B9CEu}, // 13
    {0x3FEA420000000000u, 0x3FEA420000000000u, 0x3FC9509AA0044F8Du, 0x3C919D6D34D717C2u}, // 14
    {0x3FE9EC0000000000u, 0x3FE9EC0000000000u, 0x3FCAF6895610DBB1u, 0xBC985117EF526EC6u}, // 15
    {0x3FE99A0000000000u, 0x3FE99A0000000000u, 0x3FCC8DF7CB9A8F73u, 0x3CA085EB1C3CDCFEu}, // 16
    {0x3FE9480000000000u, 0x3FE9480000000000u, 0x3FCE2A877A6B2C03u, 0x3CBD8177870819AFu}, // 17
    {0x3FE8FA0000000000u, 0x3FE8FA0000000000u, 0x3FCFB7D86EEE3B86u, 0x3CB3CF1923FB4285u}, // 18
    {0x3FE8AC0000000000u, 0x3FE8AC0000000000u, 0x3FD0A504E97BB407u, 0x3CB494E6690C43BFu}, // 19
    {0x3FE8620000000000u, 0x3FE8620000000000u, 0x3FD1661CAECB9B9Eu, 0x3CB6000603B54570u}, // 20
    {0x3FE8180000000000u, 0x3FE8180000000000u, 0x3FD22981FBEF7982u, 0xBCBC21609580D9D8u}, // 21
    {0x3FE7D00000000000u, 0x3FE7D00000000000u, 0x3FD2E9E2BCE12289u, 0xBCA7F3ED72E23E13u}, // 22
    {0x3FE78A0000000000u, 0x3FE78A0000000000u, 0x3FD3A71C56BB48BEu, 0x3CC046FB5A88482Du}, // 23
    {0x3FE7460000000000u, 0x3FE7460000000000u, 0x3FD4610BC29C5E10u, 0x3CBF4D833BCDC68Bu}, // 24
    {0x3FE7020000000000u, 0x3FE7020000000000u, 0x3FD51D1D93104573u, 0xBCBB055DF26371D2u}, // 25
    {0x3FE6C20000000000u, 0x3FE6C20000000000u, 0x3FD5D01DC49FF2E6u, 0x3CA0AB8CFA5ED28Bu}, // 26
    {0x3FE6820000000000u, 0x3FE6820000000000u, 0x3FD68518244CFB0Au, 0x3CB117FC45F88CBEu}, // 27
    {0x3FE6420000000000u, 0x3FE6420000000000u, 0x3FD73C1800DC0CC1u, 0x3CBCDBF75476C00Au}, // 28
    {0x3FE6060000000000u, 0x3FE6060000000000u, 0x3FD7E9883FA49FE9u, 0x3CA7F2CE87E51151u}, // 29
    {0x3FE5CA0000000000u, 0x3FE5CA0000000000u, 0x3FD898D38A893482u, 0xBCB199F8E1D0A8E3u}, // 30
    {0x3FE58E0000000000u, 0x3FE58E0000000000u, 0x3FD94A0428036441u, 0xBCBC434F7394BC3Cu}, // 31
    {0x3FE5560000000000u, 0x3FE5560000000000u, 0x3FD9F123F4BF6806u, 0x3D36892015F2401Bu}, // 32
    {0x3FE51E0000000000u, 0x3FE51E0000000000u, 0x3FDA99FCABDB811Du, 0x3C989C5F87A31144u}, // 33
    {0x3FE4E60000000000u, 0x3FE4E60000000000u, 0x3FDB44977C148F1Eu, 0xBCAB978095B2495Du}, // 34
    {0x3FE4B00000000000u, 0x3FE4B00000000000u, 0x3FDBEACD9E271AD3u, 0xBC9B2248F0C95DD8u}, // 35
    {0x3FE47A0000000000u, 0x3FE47A0000000000u, 0x3FDC92B7D6BB0909u, 0x3CBBA7FFE1DB3084u}, // 36
    {0x3FE4460000000000u, 0x3FE4460000000000u, 0x3FDD360E90C38511u, 0xBCB724A7BBF02A29u}, // 37
    {0x3FE4140000000000u, 0x3FE4140000000000u, 0x3FDDD4AA04E1C4B2u, 0x3CB0512DF01AFD2Au}, // 38
    {0x3FE3E20000000000u, 0x3FE3E20000000000u, 0x3FDE74D262788882u, 0xBCBC6BA126BA8440u}, // 39
    {0x3FE3B20000000000u, 0x3FE3B20000000000u, 0x3FDF100F6C2EB39Cu, 0xBCA18862C80C2805u}, // 40
    {0x3FE3820000000000u, 0x3FE3820000000000u, 0x3FDFACC89C9A996Du, 0xBCC23E5DFE271284u}, // 41
    {0x3FE3520000000000u, 0x3FE3520000000000u, 0x3FE02582A5C9D127u, 0xBCC0E4EC59C79D07u}, // 42
    {0x3FE3240000000000u, 0x3FE3240000000000u, 0x3FE0720E5C40DF1Cu, 0x3C83A00581FDEE84u}, // 43
    {0x3FE2F60000000000u, 0x3FE2F60000000000u, 0x3FE0BF52E73538CBu, 0x3CB5626734E1F4B2u}, // 44
    {0x3FE2CA0000000000u, 0x3FE2CA0000000000u, 0x3FE109EB9E2E4C95u, 0x3CAD33949F05F34Du}, // 45
    {0x3FE29E0000000000u, 0x3FE29E0000000000u, 0x3FE15533D3B8D7B7u, 0xBCBFE3574F2C3CCDu}, // 46
    {0x3FE2740000000000u, 0x3FE2740000000000u, 0x3FE19DB6BA0BA5B6u, 0x3C8D621692899FB3u}, // 47
    {0x3FE24A0000000000u, 0x3FE24A0000000000u, 0x3FE1E6DF676FF8D3u, 0xBC7D15F919F15607u}, // 48
    {0x3FE2200000000000u, 0x3FE2200000000000u, 0x3FE230B0D8BEBC97u, 0x3C9C066E48667B47u}, // 49
    {0x3FE1F80000000000u, 0x3FE1F80000000000u, 0x3FE2779E1EC93ECDu, 0xBCB5CC8CCA648747u}, // 50
    {0x3FE1D00000000000u, 0x3FE1D00000000000u, 0x3FE2BF29F9841C39u, 0x3CB0A3861D3B7EC5u}, // 51
    {0x3FE1A80000000000u, 0x3FE1A80000000000u, 0x3FE30757344F0E12u, 0x3CA7D0ACC5E0676Cu}, // 52
    {0x3FE1820000000000u, 0x3FE1820000000000u, 0x3FE34C80A89580EDu, 0xBCB7DB00D4F2D0B8u}, // 53
    {0x3FE15C0000000000u, 0x3FE15C0000000000u, 0x3FE39240DDE5CE8Fu, 0x3CBBDBEAB758B373u}, // 54
    {0x3FE1360000000000u, 0x3FE1360000000000u, 0x3FE3D89A6B1A5590u, 0xBCBC19502BF0E0C3u}, // 55
    {0x3FE1120000000000u, 0x3FE1120000000000u, 0x3FE41BCFF486005Cu, 0x3CABF5AE438AA0EDu}, // 56
    {0x3FE0EC0000000000u, 0x3FE0EC0000000000u, 0x3FE4635BCF40DDD0u, 0xBCA72A2BED3552FCu}, // 57
    {0x3FE0CA0000000000u, 0x3FE0CA0000000000u, 0x3FE4A3E862342523u, 0x3CAFA993F784643Au}, // 58
    {0x3FE0A60000000000u, 0x3FE0A60000000000u, 0x3FE4E8D015786F1Au, 0xBCBE3F2FCFC9DD6Cu}, // 59
    {0x3FE0840000000000u, 0x3FE0840000000000u, 0x3FE52A6D269BC602u, 0xBCABBB2E12EC6D59u}, // 60
    {0x3FE0620000000000u, 0x3FE0620000000000u, 0x3FE56C91D71CF813u, 0xBCB42281764C8B0Du}, // 61
    {0x3FE0420000000000u, 0x3FE0420000000000u, 0x3FE5AB505B390408u, 0x3CB589EBD9958FE9u}, // 62
    {0x3FE0200000000000u, 0x3FE0200000000000u, 0x3FE5EE82AA2417FDu, 0x3D2202380CDA46BEu}, // 63
    {0x3FE0000000000000u, 0x3FE0000000000000u, 0x3FE62E42FEFA37FDu, 0x3D2EF35793C7672Eu}, // 64
};
alignas(16) const uint64_t VmLn64Const[][2] = {
    {0x000FFFFFFFFFFFFFu, 0x000FFFFFFFFFFFFFu}, // fraction
    {0x7FFFFFFFFFE00000u, 0x7FFFFFFFFFE00000u}, // high part of m
    {0x3FE62E42FEFA37FDu, 0x3FE62E42FEFA37FDu}, // ln 2, high part
    {0x3D2EF35793C7672Eu, 0x3D2EF35793C7672Eu}, // ln 2, low part
    {0xBFE000000000001Bu, 0xBFE000000000001Bu}, // C2
    {0x3FD55555555555A9u, 0x3FD55555555555A9u}, // C3
    {0xBFCFFFFFFF201E11u, 0xBFCFFFFFFF201E11u}, // C4
    {0x3FC9999998867A5Eu, 0x3FC9999998867A5Eu}, // C5
    {0xBFC555C54DD57D7Cu, 0xBFC555C54DD57D7Cu}, // C6
    {0x3FC24998090DC54Au, 0x3FC24998090DC54Au}, // C7
};
enum VmLn64C
{
    Ln64Fraction,
    Ln64HighPart,
    Ln64Ln2Hi,
    Ln64Ln2Lo,
    Ln64C2,
    Ln64C3,
    Ln64C4,
    Ln64C5,
    Ln64C6,
    Ln64C7
};
inline __m128d VmLn64(VmLn64C c)
{
    return _mm_load_pd(reinterpret_cast<const double*>(VmLn64Const[c]));
}
inline __m128d VmLn64Row(const int32_t* offsets, int column)
{
    const double* t = reinterpret_cast<const double*>(VmLn64Table);
    return _mm_setr_pd(t[offsets[0] / 8 + column], t[offsets[1] / 8 + column]);
}

// Two ordinary lanes; `bias` is 1023, or 1023 + 54 for a denormal scaled up
// by 2^54.
inline __m128d VmLn64Core(__m128d x, int32_t bias)
{
    const __m128i b = _mm_castpd_si128(x);
    const __m128i hi = _mm_shuffle_epi32(b, _MM_SHUFFLE(3, 1, 3, 1));
    const __m128d one = _mm_load_pd(reinterpret_cast<const double*>(VmLn64Table[0]));
    const __m128d m = _mm_or_pd(_mm_and_pd(x, VmLn64(Ln64Fraction)), one);
    const __m128d k = _mm_cvtepi32_pd(_mm_sub_epi32(_mm_srai_epi32(hi, 20), _mm_set1_epi32(bias)));
    alignas(16) int32_t offsets[4];
    _mm_store_si128(
        reinterpret_cast<__m128i*>(offsets),
        _mm_and_si128(_mm_add_epi32(_mm_srli_epi32(_mm_and_si128(hi, _mm_set1_epi32(0xFFE00)), 9),
                                    _mm_set1_epi32(16)),
                      _mm_set1_epi32(0xFE0)));
    const __m128d r = VmLn64Row(offsets, 0);
    const __m128d mHi = _mm_and_pd(m, VmLn64(Ln64HighPart));
    const __m128d mLo = _mm_sub_pd(m, mHi);
    const __m128d sHi = _mm_sub_pd(_mm_mul_pd(mHi, r), one);
    const __m128d sLo = _mm_mul_pd(mLo, r);
    const __m128d s = _mm_add_pd(sLo, sHi);
    const __m128d tHi = _mm_add_pd(VmLn64Row(offsets, 2), _mm_mul_pd(VmLn64(Ln64Ln2Hi), k));
    const __m128d tLo = _mm_add_pd(VmLn64Row(offsets, 3), _mm_mul_pd(VmLn64(Ln64Ln2Lo), k));
    const __m128d s2 = _mm_mul_pd(s, s);
    const __m128d odd = _mm_add_pd(
        _mm_mul_pd(_mm_add_pd(_mm_mul_pd(VmLn64(Ln64C7), s2), VmLn64(Ln64C5)), s2), VmLn64(Ln64C3));
    const __m128d even = _mm_add_pd(
        _mm_mul_pd(_mm_add_pd(_mm_mul_pd(VmLn64(Ln64C6), s2), VmLn64(Ln64C4)), s2), VmLn64(Ln64C2));
    const __m128d q = _mm_mul_pd(s2, _mm_add_pd(_mm_mul_pd(odd, s), even));
    // Near 1 (no table or exponent part) s_lo joins s_hi before the series.
    const __m128d none = _mm_cmpeq_pd(tHi, _mm_setzero_pd());
    const __m128d a = _mm_andnot_pd(none, sLo), c = _mm_and_pd(none, sLo);
    return _mm_add_pd(_mm_add_pd(_mm_add_pd(q, tLo), a), _mm_add_pd(_mm_add_pd(tHi, sHi), c));
}

inline double VmLn64Special(double x, int64_t& code)
{
    const uint64_t b = std::bit_cast<uint64_t>(x);
    if (static_cast<int64_t>(b) < 0)
    {
        VmLnNote(code, 4);
        return std::bit_cast<double>(0xFFF8000000000000u);
    }
    if (b == 0)
    {
        VmLnNote(code, 2);
        return std::bit_cast<double>(0xFFF0000000000000u);
    }
    if (b >= 0x7FF0000000000000u) // +Inf stays, NaNs come back quiet
        return std::bit_cast<double>(b == 0x7FF0000000000000u ? b : b | 0x0008000000000000u);
    const __m128d scaled = _mm_mul_pd(_mm_set1_pd(x), _mm_set1_pd(18014398509481984.0)); // 2^54
    return _mm_cvtsd_f64(VmLn64Core(scaled, 1023 + 54));
}

// Logarithms of a pair (the second lane 1.0 for an odd last element):
// special lanes go through the computation as 1.0 and are replaced.
inline __m128d VmLn64Pair(__m128d x, int64_t& code)
{
    const __m128i hh = _mm_shuffle_epi32(_mm_castpd_si128(x), _MM_SHUFFLE(3, 3, 1, 1));
    const __m128d ordinary =
        _mm_castsi128_pd(_mm_and_si128(_mm_cmpgt_epi32(hh, _mm_set1_epi32(0x000FFFFF)),
                                       _mm_cmplt_epi32(hh, _mm_set1_epi32(0x7FF00000))));
    const __m128d one = _mm_load_pd(reinterpret_cast<const double*>(VmLn64Table[0]));
    const __m128d in = _mm_or_pd(_mm_and_pd(ordinary, x), _mm_andnot_pd(ordinary, one));
    __m128d y = VmLn64Core(in, 1023);
    const int special = _mm_movemask_pd(ordinary) ^ 3;
    if (special != 0)
    {
        alignas(16) double xs[2], ys[2];
        _mm_store_pd(xs, x);
        _mm_store_pd(ys, y);
        for (int j = 0; j < 2; ++j)
            if ((special >> j) & 1)
                ys[j] = VmLn64Special(xs[j], code);
        y = _mm_load_pd(ys);
    }
    return y;
}

template <class Out> void VmLn64Put(Out* p, __m128d y, int64_t n)
{
    if constexpr (std::is_same_v<Out, double>)
    {
        if (n == 1)
            _mm_store_sd(p, y);
        else if ((VmAddr(p) & 15) == 0)
            _mm_store_pd(p, y);
        else
        {
            _mm_storel_pd(p, y);
            _mm_storeh_pd(p + 1, y);
        }
    }
    else
        VmStorePartial(p, _mm_cvtpd_ps(y), n);
}

template <class Out> int64_t VmLnKernel64f(const double* src, Out* dst, int64_t len)
{
    int64_t code = 0;
    int64_t i = 0;
    for (; i + 2 <= len; i += 2)
        VmLn64Put(dst + i, VmLn64Pair(_mm_loadu_pd(src + i), code), 2);
    if (i < len)
        VmLn64Put(dst + i, VmLn64Pair(_mm_setr_pd(src[i], 1.0), code), 1);
    return code;
}
} // namespace
