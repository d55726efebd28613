// The conversion routines of processor levels 1 to 3 with their kernels,
// written once: each level's source file defines DSP_LEVEL (1, 2 or 3) and
// DSP_LEVEL_NAME (the routine suffix) and includes this file, and is built
// with that level's instruction set only (SSE3, SSSE3, SSE4.1). Everything
// here has internal linkage, so no level's code can stand in for another's.
//
// The kernels keep the results of the vector instructions they are made of:
// single-precision scale factors made by repeated halving or doubling, the
// 0x80000000 result of an invalid float-to-integer conversion, the NaN rules
// of the minimum and maximum instructions (the second operand wins), the
// saturating packs and the rounding field of the control register.
#ifndef DSP_LEVEL
#error "define DSP_LEVEL and DSP_LEVEL_NAME before including this file"
#endif

#include <emmintrin.h>
#include <pmmintrin.h>
#if DSP_LEVEL >= 2
#include <tmmintrin.h>
#endif
#if DSP_LEVEL >= 3
#include <smmintrin.h>
#endif

#include <bit>
#include <cstring>

#include "primitives/convert/DspConvert.h"
#include "primitives/core/DspScaleFactor.h"

#if (DSP_LEVEL >= 1 && !defined(__SSE3__)) || (DSP_LEVEL >= 2 && !defined(__SSSE3__)) ||           \
    (DSP_LEVEL >= 3 && !defined(__SSE4_1__))
#error "a level's conversion file is built without its instruction set"
#endif

namespace
{
constexpr unsigned RoundingField = 0x6000;
constexpr unsigned RoundNearest = 0x0000;
constexpr unsigned RoundTowardZero = 0x6000;
constexpr unsigned InvalidFlag = 0x0001;

// Saves the control register, forces a rounding field for the kernel's
// duration when asked, and loads the caller's value back at the end when the
// rounding field or the invalid-operation flag changed.
class MxcsrScope
{
  public:
    MxcsrScope(bool force, unsigned field) : m_Saved(_mm_getcsr())
    {
        if (force && (m_Saved & RoundingField) != field)
        {
            _mm_setcsr((m_Saved & ~RoundingField) | field);
            m_Changed = true;
        }
    }
    ~MxcsrScope()
    {
        if (m_Changed || ((_mm_getcsr() ^ m_Saved) & InvalidFlag) != 0)
            _mm_setcsr(m_Saved);
    }
    MxcsrScope(const MxcsrScope&) = delete;
    MxcsrScope& operator=(const MxcsrScope&) = delete;

  private:
    unsigned m_Saved;
    bool m_Changed = false;
};

// 2^-sf as sf halvings or -sf doublings of 1.0 give it under round-to-nearest:
// exact while a single holds it, 0 from 2^-150 down (the halving of the
// smallest subnormal ties to even) and infinity from 2^128 up, whatever
// rounding field the caller has set.
float Pow2ScaleBroadcast(int32_t sf)
{
    if (sf >= 150)
        return 0.0f;
    if (sf <= -128)
        return std::bit_cast<float>(0x7F800000u);
    if (sf <= 126)
        return DspScaleFactor<float>(sf);
    return std::bit_cast<float>(0x00400000u >> (sf - 127)); // subnormal
}

// Plain unaligned loads at every level: the SSE3 unaligned integer load runs
// slower than them on current processors.
inline __m128i LoadU(const void* p)
{
    return _mm_loadu_si128(static_cast<const __m128i*>(p));
}

template <bool Scaled> inline __m128 Mul(__m128 x, __m128 f)
{
    if constexpr (Scaled)
        return _mm_mul_ps(x, f);
    else
        return x;
}

inline __m128i NanSourceCleared(__m128 x, __m128i r)
{
    return _mm_andnot_si128(_mm_castps_si128(_mm_cmpunord_ps(x, x)), r);
}

// Lanes whose bit pattern, read as a signed integer, lies above that of the
// largest single below 2^31 (from 2^31 on, +infinity, NaN with a clear sign):
// they convert to 0x80000000, which the flip turns into 2147483647.
inline __m128i AboveInt32(__m128 v)
{
    return _mm_cmpgt_epi32(_mm_castps_si128(v), _mm_set1_epi32(0x4EFFFFFF));
}

inline __m128 CopySign(__m128 magnitude, __m128 v)
{
    return _mm_or_ps(magnitude, _mm_and_ps(v, _mm_set1_ps(-0.0f)));
}

inline __m128 PlusHalfMagnitude(__m128 v)
{
    const __m128 magnitude = _mm_andnot_ps(_mm_set1_ps(-0.0f), v);
    return CopySign(_mm_add_ps(magnitude, _mm_set1_ps(0.5f)), v);
}

// ---- float to 16 and 32 bits, rounding by the converting instruction
template <bool Nearest> inline __m128i Convert(__m128 v)
{
    return Nearest ? _mm_cvtps_epi32(v) : _mm_cvttps_epi32(v);
}

// Lane functions: the source lanes x and their scaled values v.
template <bool Nearest> struct Lanes16
{
    static __m128i Apply(__m128 x, __m128 v)
    {
        return NanSourceCleared(x, Convert<Nearest>(_mm_min_ps(v, _mm_set1_ps(32767.0f))));
    }
};

template <bool Nearest> struct Lanes32
{
    static __m128i Apply(__m128 x, __m128 v)
    {
        return NanSourceCleared(x, _mm_xor_si128(Convert<Nearest>(v), AboveInt32(v)));
    }
};

struct HalfAway16
{
    static __m128i Apply(__m128, __m128 v)
    {
        return _mm_cvttps_epi32(PlusHalfMagnitude(_mm_min_ps(v, _mm_set1_ps(32767.0f))));
    }
};

// The rounding field is toward zero here, so adding the half never carries the
// magnitude up to the next integer.
struct HalfAway32
{
    static __m128i Apply(__m128, __m128 v)
    {
        // Rounding toward zero is symmetric: v + copysign(1/2, v) rounds the
        // magnitude |v| + 1/2 toward zero.
#if DSP_LEVEL >= 3
        const __m128 half = _mm_blendv_ps(_mm_set1_ps(0.5f), _mm_set1_ps(-0.5f), v);
#else
        const __m128 half = CopySign(_mm_set1_ps(0.5f), v);
#endif
        return _mm_xor_si128(_mm_cvttps_epi32(_mm_add_ps(v, half)), AboveInt32(v));
    }
};

template <bool Scaled, class Lanes> inline __m128i Apply(__m128 x, __m128 f)
{
    return Lanes::Apply(x, Mul<Scaled>(x, f));
}

inline int16_t Narrow16(__m128i r)
{
    return static_cast<int16_t>(_mm_cvtsi128_si32(_mm_packs_epi32(r, r)));
}

// Sixteen lanes per pass, then single elements through the same lanes.
template <bool Scaled, class Lanes> void To16(const float* src, int16_t* dst, int32_t n, __m128 f)
{
    int32_t i = 0;
    for (; i + 16 <= n; i += 16)
    {
        const __m128i a = Apply<Scaled, Lanes>(_mm_loadu_ps(src + i), f);
        const __m128i b = Apply<Scaled, Lanes>(_mm_loadu_ps(src + i + 4), f);
        const __m128i c = Apply<Scaled, Lanes>(_mm_loadu_ps(src + i + 8), f);
        const __m128i d = Apply<Scaled, Lanes>(_mm_loadu_ps(src + i + 12), f);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), _mm_packs_epi32(a, b));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i + 8), _mm_packs_epi32(c, d));
    }
    for (; i + 8 <= n; i += 8)
    {
        const __m128i a = Apply<Scaled, Lanes>(_mm_loadu_ps(src + i), f);
        const __m128i b = Apply<Scaled, Lanes>(_mm_loadu_ps(src + i + 4), f);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), _mm_packs_epi32(a, b));
    }
    for (; i < n; ++i)
        dst[i] = Narrow16(Apply<Scaled, Lanes>(_mm_set_ss(src[i]), f));
}

template <bool Scaled, class Lanes> void To32(const float* src, int32_t* dst, int32_t n, __m128 f)
{
    int32_t i = 0;
    for (; i + 16 <= n; i += 16)
    {
        const __m128i a = Apply<Scaled, Lanes>(_mm_loadu_ps(src + i), f);
        const __m128i b = Apply<Scaled, Lanes>(_mm_loadu_ps(src + i + 4), f);
        const __m128i c = Apply<Scaled, Lanes>(_mm_loadu_ps(src + i + 8), f);
        const __m128i d = Apply<Scaled, Lanes>(_mm_loadu_ps(src + i + 12), f);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), a);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i + 4), b);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i + 8), c);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i + 12), d);
    }
    for (; i + 8 <= n; i += 8)
    {
        const __m128i a = Apply<Scaled, Lanes>(_mm_loadu_ps(src + i), f);
        const __m128i b = Apply<Scaled, Lanes>(_mm_loadu_ps(src + i + 4), f);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), a);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i + 4), b);
    }
    for (; i + 4 <= n; i += 4)
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i),
                         Apply<Scaled, Lanes>(_mm_loadu_ps(src + i), f));
    for (; i < n; ++i)
        dst[i] = _mm_cvtsi128_si32(Apply<Scaled, Lanes>(_mm_set_ss(src[i]), f));
}

// The loop of a kernel, chosen once per call by the scale factor.
template <class Lanes> void To16(const float* src, int16_t* dst, int32_t n, int32_t sf, __m128 f)
{
    if (sf != 0)
        To16<true, Lanes>(src, dst, n, f);
    else
        To16<false, Lanes>(src, dst, n, f);
}

template <class Lanes> void To32(const float* src, int32_t* dst, int32_t n, int32_t sf, __m128 f)
{
    if (sf != 0)
        To32<true, Lanes>(src, dst, n, f);
    else
        To32<false, Lanes>(src, dst, n, f);
}

inline __m128 FactorOf(int32_t sf)
{
    return _mm_set1_ps(sf != 0 ? Pow2ScaleBroadcast(sf) : 1.0f);
}

void ConvertKernel32fTo16sScaled(const float* src, int16_t* dst, int32_t n, DspRoundMode mode,
                                 int32_t sf)
{
    const __m128 f = FactorOf(sf);
    const bool nearest = mode != DspRndZero;
    MxcsrScope scope(nearest, RoundNearest);
    if (nearest)
        To16<Lanes16<true>>(src, dst, n, sf, f);
    else
        To16<Lanes16<false>>(src, dst, n, sf, f);
}

void ConvertKernel32fTo32sScaled(const float* src, int32_t* dst, int32_t n, DspRoundMode mode,
                                 int32_t sf)
{
    const __m128 f = FactorOf(sf);
    const bool nearest = mode != DspRndZero;
    MxcsrScope scope(nearest, RoundNearest);
    if (nearest)
        To32<Lanes32<true>>(src, dst, n, sf, f);
    else
        To32<Lanes32<false>>(src, dst, n, sf, f);
}

void ConvertKernel32fTo16sHalfAway(const float* src, int16_t* dst, int32_t n, int32_t sf)
{
    const __m128 f = FactorOf(sf);
    MxcsrScope scope(false, 0);
    To16<HalfAway16>(src, dst, n, sf, f);
}

void ConvertKernel32fTo32sHalfAway(const float* src, int32_t* dst, int32_t n, int32_t sf)
{
    const __m128 f = FactorOf(sf);
    MxcsrScope scope(true, RoundTowardZero);
    To32<HalfAway32>(src, dst, n, sf, f);
}

// ---- packed 24-bit samples
inline void Store24(uint8_t* p, int32_t v)
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
}

// The maximum first, so a NaN takes the lower limit; nearest, ties to even,
// under the field the kernel forces.
inline __m128i Lanes24(__m128 v)
{
    const __m128 c = _mm_min_ps(_mm_max_ps(v, _mm_set1_ps(-8388608.0f)), _mm_set1_ps(8388607.0f));
    return _mm_cvtps_epi32(c);
}

// Four samples at 3-byte steps. The stores reach past the twelve bytes (two
// bytes at level 1, four above it), into samples that follow and are
// rewritten: the caller leaves at least two samples after each block.
inline void Store4x24(uint8_t* p, __m128i v)
{
#if DSP_LEVEL >= 2
    const __m128i order = _mm_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p), _mm_shuffle_epi8(v, order));
#else
    // Per 64-bit half the first sample's bytes with the second's right behind.
    const __m128i first = _mm_set_epi32(0, 0x00FFFFFF, 0, 0x00FFFFFF);
    const __m128i second =
        _mm_set_epi32(0xFFFF, static_cast<int>(0xFF000000u), 0xFFFF, static_cast<int>(0xFF000000u));
    const __m128i pairs =
        _mm_or_si128(_mm_and_si128(v, first), _mm_and_si128(_mm_srli_epi64(v, 8), second));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(p), pairs);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(p + 6), _mm_unpackhi_epi64(pairs, pairs));
#endif
}

template <bool Scaled> void To24(const float* src, uint8_t* dst, int32_t n, __m128 f)
{
    MxcsrScope scope(true, RoundNearest);
    int32_t i = 0;
    for (; i + 10 <= n; i += 8)
    {
        const __m128i a = Lanes24(Mul<Scaled>(_mm_loadu_ps(src + i), f));
        const __m128i b = Lanes24(Mul<Scaled>(_mm_loadu_ps(src + i + 4), f));
        Store4x24(dst + 3 * static_cast<size_t>(i), a);
        Store4x24(dst + 3 * static_cast<size_t>(i) + 12, b);
    }
    for (; i + 6 <= n; i += 4)
        Store4x24(dst + 3 * static_cast<size_t>(i), Lanes24(Mul<Scaled>(_mm_loadu_ps(src + i), f)));
    for (; i < n; ++i)
        Store24(dst + 3 * static_cast<size_t>(i),
                _mm_cvtsi128_si32(Lanes24(Mul<Scaled>(_mm_set_ss(src[i]), f))));
}

void ConvertKernel32fTo24s(const float* src, uint8_t* dst, int32_t n)
{
    To24<false>(src, dst, n, _mm_set1_ps(1.0f));
}

void ConvertKernel32fTo24sScaled(const float* src, uint8_t* dst, int32_t n, int32_t sf)
{
    const int32_t s = sf > 127 ? 127 : (sf < -127 ? -127 : sf);
    To24<true>(src, dst, n, _mm_set1_ps(DspScaleFactor<float>(s)));
}

inline float From24(const uint8_t* p)
{
    const int32_t v = static_cast<int32_t>(p[0]) | (static_cast<int32_t>(p[1]) << 8) |
                      (static_cast<int32_t>(static_cast<int8_t>(p[2])) * 65536);
    return static_cast<float>(v);
}

#if DSP_LEVEL >= 2
// Four samples from the twelve bytes that start at byte `at` of v: each lands
// in the top three bytes of its lane and is shifted down with its sign.
template <int At> inline __m128 Samples24(__m128i v)
{
    const __m128i order = _mm_setr_epi8(-1, At, At + 1, At + 2, -1, At + 3, At + 4, At + 5, -1,
                                        At + 6, At + 7, At + 8, -1, At + 9, At + 10, At + 11);
    return _mm_cvtepi32_ps(_mm_srai_epi32(_mm_shuffle_epi8(v, order), 8));
}

// Sixteen samples from exactly 48 bytes.
int32_t Lanes24sTo32f(const uint8_t* src, float* dst, int32_t n)
{
    int32_t i = 0;
    for (; i + 16 <= n; i += 16)
    {
        const uint8_t* p = src + 3 * static_cast<size_t>(i);
        const __m128i a = LoadU(p), b = LoadU(p + 16), c = LoadU(p + 32);
        _mm_storeu_ps(dst + i, Samples24<0>(a));
        _mm_storeu_ps(dst + i + 4, Samples24<0>(_mm_alignr_epi8(b, a, 12)));
        _mm_storeu_ps(dst + i + 8, Samples24<0>(_mm_alignr_epi8(c, b, 8)));
        _mm_storeu_ps(dst + i + 12, Samples24<4>(c));
    }
    return i;
}
#else
// From sample 1 on: each sample read as the four-byte word that ends with its
// top byte (one byte before the sample), shifted down with its sign.
int32_t Lanes24sTo32f(const uint8_t* src, float* dst, int32_t n)
{
    if (n < 1)
        return 0;
    dst[0] = From24(src);
    int32_t i = 1;
    for (; i + 5 <= n; i += 4)
    {
        const __m128i chunk = LoadU(src + 3 * static_cast<size_t>(i) - 1);
        const __m128i a = _mm_unpacklo_epi32(chunk, _mm_srli_si128(chunk, 3));
        const __m128i b = _mm_unpacklo_epi32(_mm_srli_si128(chunk, 6), _mm_srli_si128(chunk, 9));
        _mm_storeu_ps(dst + i, _mm_cvtepi32_ps(_mm_srai_epi32(_mm_unpacklo_epi64(a, b), 8)));
    }
    return i;
}
#endif

void ConvertKernel24sTo32f(const uint8_t* src, float* dst, int32_t n)
{
    for (int32_t i = Lanes24sTo32f(src, dst, n); i < n; ++i)
        dst[i] = From24(src + 3 * static_cast<size_t>(i));
}

// ---- integers to float
// Eight 16-bit samples widened with their sign: the low four, then the high.
struct Widened
{
    __m128i low, high;
};

inline Widened Widen16(__m128i eight)
{
#if DSP_LEVEL >= 3
    return {_mm_cvtepi16_epi32(eight), _mm_cvtepi16_epi32(_mm_unpackhi_epi64(eight, eight))};
#else
    const __m128i sign = _mm_cmpgt_epi16(_mm_setzero_si128(), eight);
    return {_mm_unpacklo_epi16(eight, sign), _mm_unpackhi_epi16(eight, sign)};
#endif
}

template <bool Scaled> void From16(const int16_t* src, float* dst, int32_t n, __m128 f)
{
    int32_t i = 0;
    for (; i + 8 <= n; i += 8)
    {
        const Widened a = Widen16(LoadU(src + i));
        _mm_storeu_ps(dst + i, Mul<Scaled>(_mm_cvtepi32_ps(a.low), f));
        _mm_storeu_ps(dst + i + 4, Mul<Scaled>(_mm_cvtepi32_ps(a.high), f));
    }
    for (; i < n; ++i)
        _mm_store_ss(dst + i, Mul<Scaled>(_mm_cvtsi32_ss(f, src[i]), f));
}

void FpConvertKernel16sTo32fScaled(const int16_t* src, float* dst, int32_t n, const float* factor)
{
    From16<true>(src, dst, n, _mm_set1_ps(*factor));
}

void FpConvertKernel16sTo32f(const int16_t* src, float* dst, int32_t n)
{
    From16<false>(src, dst, n, _mm_set1_ps(1.0f));
}

inline bool SharesBytes(const void* a, const void* b, int32_t n)
{
    const uintptr_t pa = reinterpret_cast<uintptr_t>(a);
    const uintptr_t pb = reinterpret_cast<uintptr_t>(b);
    const uintptr_t bytes = static_cast<uintptr_t>(n) * 4u;
    return pa < pb + bytes && pb < pa + bytes;
}

// Arrays that share bytes without being the same array go one element at a
// time in ascending order, each read before it is written, as the generic
// routines do; the same array is converted in place block by block.
template <bool Scaled> void From32(const int32_t* src, float* dst, int32_t n, __m128 f)
{
    int32_t i = 0;
    if (static_cast<const void*>(src) == static_cast<const void*>(dst) || !SharesBytes(src, dst, n))
        for (; i + 8 <= n; i += 8)
        {
            const __m128 a = _mm_cvtepi32_ps(LoadU(src + i));
            const __m128 b = _mm_cvtepi32_ps(LoadU(src + i + 4));
            _mm_storeu_ps(dst + i, Mul<Scaled>(a, f));
            _mm_storeu_ps(dst + i + 4, Mul<Scaled>(b, f));
        }
    const unsigned char* s = reinterpret_cast<const unsigned char*>(src);
    unsigned char* d = reinterpret_cast<unsigned char*>(dst);
    for (; i < n; ++i)
    {
        int32_t v;
        std::memcpy(&v, s + 4 * static_cast<size_t>(i), 4);
        const float r = _mm_cvtss_f32(Mul<Scaled>(_mm_cvtsi32_ss(f, v), f));
        std::memcpy(d + 4 * static_cast<size_t>(i), &r, 4);
    }
}

void ConvertKernel32sTo32f(const int32_t* src, float* dst, int32_t n)
{
    From32<false>(src, dst, n, _mm_set1_ps(1.0f));
}

// ---- argument checks shared by every level routine
template <class S, class D> inline DspStatus Check(const S* src, const D* dst, int32_t len)
{
    if (src == nullptr || dst == nullptr)
        return DspStsNullPtrErr;
    if (len < 1)
        return DspStsSizeErr;
    return DspStsNoErr;
}

inline bool RoundModeKernel(DspRoundMode mode)
{
    return mode == DspRndZero || mode == DspRndNear;
}
} // namespace

// ---- the level's routines
DspStatus DSP_LEVEL_NAME(DspConvert32fTo16sScaled)(const float* src, int16_t* dst, int32_t len,
                                                   DspRoundMode rndMode, int32_t sf)
{
    const DspStatus status = Check(src, dst, len);
    if (status != DspStsNoErr)
        return status;
    if (RoundModeKernel(rndMode))
        ConvertKernel32fTo16sScaled(src, dst, len, rndMode, sf);
    else
        ConvertKernel32fTo16sHalfAway(src, dst, len, sf);
    return DspStsNoErr;
}

DspStatus DSP_LEVEL_NAME(DspConvert32fTo32sScaled)(const float* src, int32_t* dst, int32_t len,
                                                   DspRoundMode rndMode, int32_t sf)
{
    const DspStatus status = Check(src, dst, len);
    if (status != DspStsNoErr)
        return status;
    if (RoundModeKernel(rndMode))
        ConvertKernel32fTo32sScaled(src, dst, len, rndMode, sf);
    else
        ConvertKernel32fTo32sHalfAway(src, dst, len, sf);
    return DspStsNoErr;
}

DspStatus DSP_LEVEL_NAME(DspConvert24sTo32f)(const uint8_t* src, float* dst, int32_t len)
{
    const DspStatus status = Check(src, dst, len);
    if (status != DspStsNoErr)
        return status;
    ConvertKernel24sTo32f(src, dst, len);
    return DspStsNoErr;
}

DspStatus DSP_LEVEL_NAME(DspConvert32fTo24sScaled)(const float* src, uint8_t* dst, int32_t len,
                                                   int32_t sf)
{
    const DspStatus status = Check(src, dst, len);
    if (status != DspStsNoErr)
        return status;
    if (sf == 0)
        ConvertKernel32fTo24s(src, dst, len);
    else
        ConvertKernel32fTo24sScaled(src, dst, len, sf);
    return DspStsNoErr;
}

DspStatus DSP_LEVEL_NAME(DspConvert16sTo32fScaled)(const int16_t* src, float* dst, int32_t len,
                                                   int32_t sf)
{
    const DspStatus status = Check(src, dst, len);
    if (status != DspStsNoErr)
        return status;
    if (sf == 0)
    {
        FpConvertKernel16sTo32f(src, dst, len);
        return DspStsNoErr;
    }
    const int32_t s = sf > 126 ? 126 : (sf < -112 ? -112 : sf);
    const float factor = DspScaleFactor<float>(s);
    FpConvertKernel16sTo32fScaled(src, dst, len, &factor);
    return DspStsNoErr;
}

DspStatus DSP_LEVEL_NAME(DspConvert32sTo32f)(const int32_t* src, float* dst, int32_t len)
{
    const DspStatus status = Check(src, dst, len);
    if (status != DspStsNoErr)
        return status;
    ConvertKernel32sTo32f(src, dst, len);
    return DspStsNoErr;
}

#if DSP_LEVEL == 2
// Levels 2 and 3 share this routine: the generic routine's work and results.
DspStatus DspConvert32sTo32fScaled_Ssse3(const int32_t* src, float* dst, int32_t len, int32_t sf)
{
    const DspStatus status = Check(src, dst, len);
    if (status != DspStsNoErr)
        return status;
    if (sf == 0)
    {
        ConvertKernel32sTo32f(src, dst, len);
        return DspStsNoErr;
    }
    const int32_t s = sf > 126 ? 126 : (sf < -96 ? -96 : sf);
    From32<true>(src, dst, len, _mm_set1_ps(DspScaleFactor<float>(s)));
    return DspStsNoErr;
}
#endif
