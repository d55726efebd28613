// The vector basics and the interleave routines of processor levels 1 to 3,
// written once: each level's source file defines DSP_LEVEL (1, 2 or 3) and
// DSP_LEVEL_NAME (the routine suffix) and includes this file, and is built
// with that level's instruction set only (SSE3, SSSE3, SSE4.1). Everything
// but the named routines has internal linkage, so no level's code can stand
// in for another's.
//
// Vector basics: cache-aware clear, fill and copy (non-temporal stores for
// buffers larger than the cache), SIMD moves and the four-lane element
// kernels. Every routine repeats the checks and shortcuts of the generic
// level and gives its results.
#ifndef DSP_LEVEL
#error "define DSP_LEVEL and DSP_LEVEL_NAME before including this file"
#endif

#include <emmintrin.h>
#include <pmmintrin.h>
#if DSP_LEVEL >= 2
#include <tmmintrin.h>
#endif

#include <bit>
#include <cstring>

#include "primitives/core/DspCpu.h"
#include "primitives/vector/DspInterleaveLanes.h"
#include "primitives/vector/DspVector.h"

#if (DSP_LEVEL >= 1 && !defined(__SSE3__)) || (DSP_LEVEL >= 2 && !defined(__SSSE3__)) ||           \
    (DSP_LEVEL >= 3 && !defined(__SSE4_1__))
#error "a level's vector file is built without its instruction set"
#endif

namespace
{
inline uintptr_t Addr(const void* p)
{
    return reinterpret_cast<uintptr_t>(p);
}
inline int64_t Bytes(int32_t len)
{
    return static_cast<int64_t>(len) * 4;
}

constexpr int64_t NonTemporalClearFrom = 0x80000; // 512 KB
constexpr int64_t LargeFillElements = 262144;     // 1 MB of 32-bit elements
constexpr int64_t NonTemporalChunk = 0x40000;     // 256 KB read ahead, then copied

inline void Store8(uint8_t* d, uint64_t v)
{
    std::memcpy(d, &v, 8);
}
inline void Store4(uint8_t* d, uint32_t v)
{
    std::memcpy(d, &v, 4);
}
inline void Move8(const uint8_t* s, uint8_t* d)
{
    uint64_t v;
    std::memcpy(&v, s, 8);
    std::memcpy(d, &v, 8);
}
inline void Move4(const uint8_t* s, uint8_t* d)
{
    uint32_t v;
    std::memcpy(&v, s, 4);
    std::memcpy(d, &v, 4);
}
inline void Move16U(const uint8_t* s, uint8_t* d)
{
    _mm_storeu_si128(reinterpret_cast<__m128i*>(d),
                     _mm_loadu_si128(reinterpret_cast<const __m128i*>(s)));
}

// Touches the source ahead of a non-temporal copy so the lines are in flight.
inline void Touch(const uint8_t* p)
{
    volatile const uint8_t* v = p;
    (void)*v;
}

// ---- cache-aware clear
void ClearSmall(uint8_t* d, int64_t n)
{
    if (n >= 8)
    {
        Store8(d, 0);
        Store8(d + n - 8, 0);
    }
    else if (n >= 4)
    {
        Store4(d, 0);
        Store4(d + n - 4, 0);
    }
    else
    {
        for (int64_t i = 0; i < n; ++i)
            d[i] = 0;
    }
}

template <int L> void* ZeroCacheAware(void* dst, int64_t n)
{
    uint8_t* d = static_cast<uint8_t*>(dst);
    if (n < 1)
        return dst;
    if (n < 16)
    {
        ClearSmall(d, n);
        return dst;
    }
    const int64_t a = static_cast<int64_t>((16 - (Addr(d) & 15)) & 15);
    if (a & 1)
        *d = 0;
    if (a & 2)
        std::memset(d + (a & 1), 0, 2);
    if (a & 4)
        Store4(d + (a & 3), 0);
    if (a & 8)
        Store8(d + (a & 7), 0);
    d += a;
    n -= a;
    const __m128i zero = _mm_setzero_si128();
    if (n > NonTemporalClearFrom)
    {
        const int64_t cache = DspCacheSizeBytes();
        if (cache > 0 && n >= cache)
        {
            for (; n >= 16; n -= 16, d += 16)
                _mm_stream_si128(reinterpret_cast<__m128i*>(d), zero);
            _mm_sfence();
            ClearSmall(d, n);
            return dst;
        }
    }
    // Below the cache size the block clear of the runtime, which no loop of
    // 16-byte stores outruns.
    std::memset(d, 0, static_cast<size_t>(n));
    return dst;
}

// ---- cache-aware 32-bit fill
void FillSmall32(uint8_t* d, int64_t count, uint32_t v)
{
    const uint64_t pair = (static_cast<uint64_t>(v) << 32) | v;
    if (count == 1)
        Store4(d, v);
    else if (count >= 2)
    {
        // Overlapping 8-byte stores keep the pattern, as it repeats every 4 bytes.
        for (int64_t i = 0; i + 2 <= count; i += 2)
            Store8(d + 4 * i, pair);
        Store8(d + 4 * (count - 2), pair);
    }
}

template <int L> void Fill32CacheAware(void* dst, uint32_t v, int64_t count)
{
    uint8_t* d = static_cast<uint8_t*>(dst);
    if (count < 1)
        return;
    if ((Addr(d) & 1) != 0)
    {
        for (int64_t i = 0; i < count; ++i)
            Store4(d + 4 * i, v);
        return;
    }
    if ((Addr(d) & 2) != 0)
    {
        // First and last element as they are; the rest continues 2 bytes on
        // with the halves swapped, which lays down the same byte pattern.
        Store4(d, v);
        Store4(d + 4 * (count - 1), v);
        v = (v >> 16) | (v << 16);
        d += 2;
        count -= 1;
        if (count < 1)
            return;
    }
    const __m128i pattern = _mm_set1_epi32(static_cast<int>(v));
    if (count > LargeFillElements)
    {
        while ((Addr(d) & 15) != 0)
        {
            Store4(d, v);
            d += 4;
            --count;
        }
        const int64_t cache = DspCacheSizeBytes();
        if (cache > 0 && count * 4 > cache)
        {
            for (; count >= 4; count -= 4, d += 16)
                _mm_stream_si128(reinterpret_cast<__m128i*>(d), pattern);
            _mm_sfence();
            FillSmall32(d, count, v);
            return;
        }
        for (; count >= 16; count -= 16, d += 64)
        {
            _mm_store_si128(reinterpret_cast<__m128i*>(d), pattern);
            _mm_store_si128(reinterpret_cast<__m128i*>(d + 16), pattern);
            _mm_store_si128(reinterpret_cast<__m128i*>(d + 32), pattern);
            _mm_store_si128(reinterpret_cast<__m128i*>(d + 48), pattern);
        }
        for (; count >= 4; count -= 4, d += 16)
            _mm_store_si128(reinterpret_cast<__m128i*>(d), pattern);
        FillSmall32(d, count, v);
        return;
    }
    if (count < 4)
    {
        FillSmall32(d, count, v);
        return;
    }
    uint8_t* const end = d + 4 * count;
    _mm_storeu_si128(reinterpret_cast<__m128i*>(d), pattern);
    uint8_t* p = reinterpret_cast<uint8_t*>((Addr(d) + 16) & ~static_cast<uintptr_t>(15));
    for (; end - p >= 64; p += 64)
    {
        _mm_store_si128(reinterpret_cast<__m128i*>(p), pattern);
        _mm_store_si128(reinterpret_cast<__m128i*>(p + 16), pattern);
        _mm_store_si128(reinterpret_cast<__m128i*>(p + 32), pattern);
        _mm_store_si128(reinterpret_cast<__m128i*>(p + 48), pattern);
    }
    for (; end - p >= 16; p += 16)
        _mm_store_si128(reinterpret_cast<__m128i*>(p), pattern);
    const int64_t rest = end - p;
    if (rest > 8)
        _mm_storeu_si128(reinterpret_cast<__m128i*>(end - 16), pattern);
    else if (rest > 0)
        Store8(end - 8, (static_cast<uint64_t>(v) << 32) | v);
}

// ---- cache-aware copy
// Level 2 and 3 small copy: pieces by the bits of n, the last bytes from the end.
inline void CopySmallBits(const uint8_t* s, uint8_t* d, int64_t n)
{
    int64_t o = 0;
    if (n & 32)
    {
        for (int k = 0; k < 4; ++k)
            Move8(s + o + 8 * k, d + o + 8 * k);
        o += 32;
    }
    if (n & 16)
    {
        Move8(s + o, d + o);
        Move8(s + o + 8, d + o + 8);
        o += 16;
    }
    if (n & 8)
    {
        Move8(s + o, d + o);
        o += 8;
    }
    if (n & 4)
    {
        Move4(s + o, d + o);
        o += 4;
    }
    for (int64_t i = n - 1; i >= o; --i)
        d[i] = s[i];
}

// Level 1 small copy: bytes from the end, or overlapping 8-byte moves.
void CopySmallOverlapping(const uint8_t* s, uint8_t* d, int64_t n)
{
    if (n < 8)
    {
        for (int64_t i = n - 1; i >= 0; --i)
            d[i] = s[i];
        return;
    }
    Move8(s + n - 8, d + n - 8);
    for (int64_t o = n - 16; o > 0; o -= 8)
        Move8(s + o, d + o);
    Move8(s, d);
}

template <int L> void CopySmall(const uint8_t* s, uint8_t* d, int64_t n)
{
    if constexpr (L == 1)
        CopySmallOverlapping(s, d, n);
    else
        CopySmallBits(s, d, n);
}

void CopyAlignedForward(const uint8_t* s, uint8_t* d, int64_t n, bool level1)
{
    for (; n >= 64; n -= 64, s += 64, d += 64)
    {
        const __m128i a = _mm_load_si128(reinterpret_cast<const __m128i*>(s));
        const __m128i b = _mm_load_si128(reinterpret_cast<const __m128i*>(s + 16));
        const __m128i c = _mm_load_si128(reinterpret_cast<const __m128i*>(s + 32));
        const __m128i e = _mm_load_si128(reinterpret_cast<const __m128i*>(s + 48));
        _mm_store_si128(reinterpret_cast<__m128i*>(d), a);
        _mm_store_si128(reinterpret_cast<__m128i*>(d + 16), b);
        _mm_store_si128(reinterpret_cast<__m128i*>(d + 32), c);
        _mm_store_si128(reinterpret_cast<__m128i*>(d + 48), e);
    }
    if (level1)
    {
        for (; n >= 16; n -= 16, s += 16, d += 16)
            _mm_store_si128(reinterpret_cast<__m128i*>(d),
                            _mm_load_si128(reinterpret_cast<const __m128i*>(s)));
        CopySmallOverlapping(s, d, n);
        return;
    }
    // Pieces of 32, 16, 8, 4, 2 and 1 bytes by the bits of the rest.
    int64_t o = 0;
    if (n & 32)
    {
        Move16U(s, d);
        Move16U(s + 16, d + 16);
        o = 32;
    }
    if (n & 16)
    {
        Move16U(s + o, d + o);
        o += 16;
    }
    if (n & 8)
    {
        Move8(s + o, d + o);
        o += 8;
    }
    if (n & 4)
    {
        Move4(s + o, d + o);
        o += 4;
    }
    if (n & 2)
    {
        std::memcpy(d + o, s + o, 2);
        o += 2;
    }
    if (n & 1)
        d[o] = s[o];
}

inline void CopyAlignedBackward(const uint8_t* s, uint8_t* d, int64_t n)
{
    int64_t end = n;
    const int64_t tail = n & 63;
    // The pieces at the end first, smallest at the very end.
    for (int64_t piece = 1; piece <= 32; piece <<= 1)
        if (tail & piece)
        {
            end -= piece;
            if (piece >= 16)
                for (int64_t k = 0; k < piece; k += 16)
                    Move16U(s + end + k, d + end + k);
            else
                std::memcpy(d + end, s + end, static_cast<size_t>(piece));
        }
    for (; end >= 64; end -= 64)
    {
        const uint8_t* ps = s + end - 64;
        uint8_t* pd = d + end - 64;
        const __m128i a = _mm_load_si128(reinterpret_cast<const __m128i*>(ps));
        const __m128i b = _mm_load_si128(reinterpret_cast<const __m128i*>(ps + 16));
        const __m128i c = _mm_load_si128(reinterpret_cast<const __m128i*>(ps + 32));
        const __m128i e = _mm_load_si128(reinterpret_cast<const __m128i*>(ps + 48));
        _mm_store_si128(reinterpret_cast<__m128i*>(pd + 48), e);
        _mm_store_si128(reinterpret_cast<__m128i*>(pd + 32), c);
        _mm_store_si128(reinterpret_cast<__m128i*>(pd + 16), b);
        _mm_store_si128(reinterpret_cast<__m128i*>(pd), a);
    }
}

// 64-byte passes of unaligned loads and aligned stores.
template <int L> void CopyUnalignedPasses(const uint8_t* s, uint8_t* d, int64_t n)
{
    for (; n >= 64; n -= 64, s += 64, d += 64)
        for (int k = 0; k < 64; k += 16)
            _mm_store_si128(reinterpret_cast<__m128i*>(d + k),
                            _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + k)));
    CopySmall<L>(s, d, n);
}

// Output blocks joined from two neighbouring aligned source blocks.
template <int Shift> void CopyJoined(const uint8_t*& s, uint8_t*& d, int64_t& n)
{
    const uint8_t* a = s - Shift;
    __m128i prev = _mm_load_si128(reinterpret_cast<const __m128i*>(a));
    // Each pass reads the aligned block after its last output byte, so it
    // runs only while that block lies inside the source.
    for (; n >= 80; n -= 64, s += 64, d += 64, a += 64)
        for (int k = 0; k < 64; k += 16)
        {
            const __m128i next = _mm_load_si128(reinterpret_cast<const __m128i*>(a + k + 16));
#if DSP_LEVEL >= 2
            const __m128i out = _mm_alignr_epi8(next, prev, Shift);
#else
            const __m128i out =
                _mm_or_si128(_mm_srli_si128(prev, Shift), _mm_slli_si128(next, 16 - Shift));
#endif
            _mm_store_si128(reinterpret_cast<__m128i*>(d + k), out);
            prev = next;
        }
}

template <int L> void CopyUnalignedSource(const uint8_t* s, uint8_t* d, int64_t n)
{
    if constexpr (L == 1)
    {
        CopyUnalignedPasses<L>(s, d, n);
    }
    else
    {
        if ((Addr(s) & 3) != 0 || n < 80)
        {
            CopyUnalignedPasses<L>(s, d, n);
            return;
        }
        Move16U(s, d);
        s += 16;
        d += 16;
        n -= 16;
        switch (Addr(s) & 15)
        {
        case 4:
            CopyJoined<4>(s, d, n);
            break;
        case 8:
            CopyJoined<8>(s, d, n);
            break;
        default:
            CopyJoined<12>(s, d, n);
            break;
        }
        CopyUnalignedPasses<L>(s, d, n);
    }
}

template <int L> void CopyAligned(const uint8_t* s, uint8_t* d, int64_t n)
{
    if constexpr (L == 1)
    {
        CopyAlignedForward(s, d, n, true);
    }
    else
    {
        // Forward or backward by the 4 KB offsets, so loads do not alias the
        // stores just made.
        const int64_t diff =
            static_cast<int64_t>(Addr(s) & 4095) - static_cast<int64_t>(Addr(d) & 4095);
        if ((diff > 0 && diff <= 160) || diff < -3936)
            CopyAlignedForward(s, d, n, false);
        else
            CopyAlignedBackward(s, d, n);
    }
}

template <int L> void CopyNonTemporal(const uint8_t* s, uint8_t* d, int64_t n)
{
    constexpr int64_t touchStep = L == 1 ? 128 : 64;
    for (; n >= NonTemporalChunk; n -= NonTemporalChunk)
    {
        for (int64_t o = 0; o < NonTemporalChunk; o += touchStep)
            Touch(s + o);
        for (int64_t o = 0; o < NonTemporalChunk; o += 16, s += 16, d += 16)
            _mm_stream_si128(reinterpret_cast<__m128i*>(d),
                             _mm_loadu_si128(reinterpret_cast<const __m128i*>(s)));
    }
    for (int64_t o = n - 64; o >= 0; o -= touchStep)
        Touch(s + o);
    for (; n >= 16; n -= 16, s += 16, d += 16)
        _mm_stream_si128(reinterpret_cast<__m128i*>(d),
                         _mm_loadu_si128(reinterpret_cast<const __m128i*>(s)));
    _mm_sfence();
    CopySmall<L>(s, d, n);
}

// True when the copy is large enough for non-temporal stores: half the cache,
// per core at level 1.
template <int L> bool WantsNonTemporal(int64_t n)
{
    int64_t cache = DspCacheSizeBytes();
    if (cache < 0)
        return false;
    if constexpr (L == 1)
        cache /= DspCpuCoresPerPackage();
    return n >= cache / 2;
}

template <int L> void* CopyCacheAware(const void* src, void* dst, int64_t n)
{
    const uint8_t* s = static_cast<const uint8_t*>(src);
    uint8_t* d = static_cast<uint8_t*>(dst);
    constexpr int64_t large = L == 1 ? 0x80000 : 0x100000;
    if (n < 1)
        return dst;
    if (n < 64)
    {
        CopySmall<L>(s, d, n);
        return dst;
    }
    bool fromStep2 = false;
    if ((Addr(d) & 15) != 0)
    {
        Move16U(s, d);
        const int64_t adv = 16 - static_cast<int64_t>(Addr(d) & 15);
        s += adv;
        d += adv;
        n -= adv;
        if (n < 64)
        {
            CopySmall<L>(s, d, n);
            return dst;
        }
        fromStep2 = true;
    }
    const bool sourceAligned = (Addr(s) & 15) == 0;
    if (fromStep2 && sourceAligned)
    {
        CopyAligned<L>(s, d, n);
        return dst;
    }
    if (n >= large && WantsNonTemporal<L>(n))
    {
        CopyNonTemporal<L>(s, d, n);
        return dst;
    }
    if (sourceAligned)
        CopyAligned<L>(s, d, n);
    else
        CopyUnalignedSource<L>(s, d, n);
    return dst;
}

// ---- SIMD moves: forward when the destination lies below the source,
// backward from the end otherwise; each 64-byte pass loads all its blocks
// before it stores them, so no store reaches a byte the pass still has to read.
inline void Move64(const uint8_t* s, uint8_t* d)
{
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 16));
    const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 32));
    const __m128i e = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 48));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(d), a);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(d + 16), b);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(d + 32), c);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(d + 48), e);
}

template <int L> void MoveSimd(const void* src, void* dst, int64_t n)
{
    const uint8_t* s = static_cast<const uint8_t*>(src);
    uint8_t* d = static_cast<uint8_t*>(dst);
    if (s == d || n < 1)
        return;
    if (Addr(d) < Addr(s))
    {
        int64_t o = 0;
        for (; o + 64 <= n; o += 64)
            Move64(s + o, d + o);
        for (; o + 16 <= n; o += 16)
            Move16U(s + o, d + o);
        for (; o < n; ++o)
            d[o] = s[o];
    }
    else
    {
        int64_t o = n;
        for (; o >= 64; o -= 64)
            Move64(s + o - 64, d + o - 64);
        for (; o >= 16; o -= 16)
            Move16U(s + o - 16, d + o - 16);
        for (--o; o >= 0; --o)
            d[o] = s[o];
    }
}

// ---- four-lane element kernels
struct MulOp
{
    static __m128 Apply(__m128 a, __m128 b) { return _mm_mul_ps(a, b); }
    static float Apply(float a, float b) { return a * b; }
};
struct AddOp
{
    static __m128 Apply(__m128 a, __m128 b) { return _mm_add_ps(a, b); }
    static float Apply(float a, float b) { return a + b; }
};

template <bool Aligned> inline __m128 Load(const float* p)
{
    return Aligned ? _mm_load_ps(p) : _mm_loadu_ps(p);
}
template <bool Aligned> inline void Store(float* p, __m128 v)
{
    if constexpr (Aligned)
        _mm_store_ps(p, v);
    else
        _mm_storeu_ps(p, v);
}

// Passes of 8 floats from i on: d[k] = d[k] op v, with a non-temporal
// prefetch Ahead bytes ahead of each pass when Ahead is not 0. Returns where
// the passes stopped. Every choice is made before the loop.
template <class Op, bool Aligned, int Ahead>
int32_t InPlaceConstPasses(float* d, int32_t i, int32_t n, __m128 v)
{
    const size_t end = static_cast<size_t>(n - i) & ~static_cast<size_t>(7);
    d += i;
    for (size_t k = 0; k < end; k += 8)
    {
        if constexpr (Ahead != 0)
            _mm_prefetch(reinterpret_cast<const char*>(d + k) + Ahead, _MM_HINT_NTA);
        Store<Aligned>(d + k, Op::Apply(Load<Aligned>(d + k), v));
        Store<Aligned>(d + k + 4, Op::Apply(Load<Aligned>(d + k + 4), v));
    }
    return i + static_cast<int32_t>(end);
}

// srcDst[i] = srcDst[i] op value: fewer than 11 elements one at a time; else
// single elements up to a 16-byte boundary (a destination that is not even
// 4-byte aligned goes unaligned throughout), passes of 8, then the rest; the
// prefetch serves vector parts of more than 262144 elements.
template <class Op, int PrefetchAhead> void InPlaceConstKernel(float* d, int32_t n, float value)
{
    int32_t i = 0;
    if (n >= 11)
    {
        const __m128 v = _mm_set1_ps(value);
        const bool aligned4 = (Addr(d) & 3) == 0;
        if (aligned4)
            for (; (Addr(d + i) & 15) != 0; ++i)
                d[i] = Op::Apply(d[i], value);
        const bool prefetch = (n - i) > 262144;
        if (aligned4)
            i = prefetch ? InPlaceConstPasses<Op, true, PrefetchAhead>(d, i, n, v)
                         : InPlaceConstPasses<Op, true, 0>(d, i, n, v);
        else
            i = prefetch ? InPlaceConstPasses<Op, false, PrefetchAhead>(d, i, n, v)
                         : InPlaceConstPasses<Op, false, 0>(d, i, n, v);
    }
    for (; i < n; ++i)
        d[i] = Op::Apply(d[i], value);
}

template <bool AlignedDst>
int32_t MulConstPasses(const float* s, float* d, int32_t i, int32_t n, __m128 v)
{
    const size_t end = static_cast<size_t>(n - i) & ~static_cast<size_t>(7);
    s += i;
    d += i;
    for (size_t k = 0; k < end; k += 8)
    {
        Store<AlignedDst>(d + k, _mm_mul_ps(_mm_loadu_ps(s + k), v));
        Store<AlignedDst>(d + k + 4, _mm_mul_ps(_mm_loadu_ps(s + k + 4), v));
    }
    return i + static_cast<int32_t>(end);
}

template <int L> void MulConstKernel(const float* s, float* d, int32_t n, float value)
{
    int32_t i = 0;
    if (n >= 11)
    {
        const __m128 v = _mm_set1_ps(value);
        const bool aligned4 = (Addr(d) & 3) == 0;
        if (aligned4)
            for (; (Addr(d + i) & 15) != 0; ++i)
                d[i] = s[i] * value;
        i = aligned4 ? MulConstPasses<true>(s, d, i, n, v) : MulConstPasses<false>(s, d, i, n, v);
    }
    for (; i < n; ++i)
        d[i] = s[i] * value;
}

// srcDst[i] = src[i] op srcDst[i] four lanes at a time. The source is read
// in order, which the hardware prefetcher follows without help at these
// lengths (a prefetch instruction per line measured slower).
template <class Op, bool Aligned>
int32_t InPlaceVectorPasses(const float* s, float* d, int32_t i, int32_t n)
{
    const size_t end = static_cast<size_t>(n - i) & ~static_cast<size_t>(3);
    s += i;
    d += i;
    for (size_t k = 0; k < end; k += 4)
        Store<Aligned>(d + k, Op::Apply(_mm_loadu_ps(s + k), Load<Aligned>(d + k)));
    return i + static_cast<int32_t>(end);
}

template <int L, class Op> void InPlaceVectorKernel(const float* s, float* d, int32_t n)
{
    int32_t i = 0;
    if (n >= 11)
    {
        const bool aligned4 = (Addr(d) & 3) == 0;
        if (aligned4)
            for (; (Addr(d + i) & 15) != 0; ++i)
                d[i] = Op::Apply(s[i], d[i]);
        i = aligned4 ? InPlaceVectorPasses<Op, true>(s, d, i, n)
                     : InPlaceVectorPasses<Op, false>(s, d, i, n);
    }
    for (; i < n; ++i)
        d[i] = Op::Apply(s[i], d[i]);
}

// ---- level routines
using ZeroKernel = void* (*)(void*, int64_t);
using CopyKernel = void* (*)(const void*, void*, int64_t);

template <int L> constexpr ZeroKernel ZeroOf()
{
    if constexpr (L == 1)
        return DspZeroBytesKernel_Sse3;
    else if constexpr (L == 2)
        return DspZeroBytesKernel_Ssse3;
    else
        return DspZeroBytesKernel_Sse4;
}

template <int L> constexpr CopyKernel CopyOf()
{
    if constexpr (L == 1)
        return DspCopyBytesKernel_Sse3;
    else if constexpr (L == 2)
        return DspCopyBytesKernel_Ssse3;
    else
        return DspCopyBytesKernel_Sse4;
}

template <int L> DspStatus Zero(float* dst, int32_t len)
{
    if (dst == nullptr)
        return DspStsNullPtrErr;
    if (len < 1)
        return DspStsSizeErr;
    ZeroOf<L>()(dst, Bytes(len));
    return DspStsNoErr;
}

template <int L> DspStatus Fill(uint32_t pattern, void* dst, int32_t len)
{
    if (dst == nullptr)
        return DspStsNullPtrErr;
    if (len < 1)
        return DspStsSizeErr;
    Fill32CacheAware<L>(dst, pattern, len);
    return DspStsNoErr;
}

template <int L> DspStatus Copy(const float* src, float* dst, int32_t len)
{
    if (src == nullptr || dst == nullptr)
        return DspStsNullPtrErr;
    if (len < 1)
        return DspStsSizeErr;
    CopyOf<L>()(src, dst, Bytes(len));
    return DspStsNoErr;
}

template <int L> DspStatus Move(const float* src, float* dst, int32_t len)
{
    if (src == nullptr || dst == nullptr)
        return DspStsNullPtrErr;
    if (len < 1)
        return DspStsSizeErr;
    if constexpr (L == 1)
        DspMoveBytesKernel_Sse3(src, dst, Bytes(len));
    else if constexpr (L == 2)
        DspMoveBytesKernel_Ssse3(src, dst, Bytes(len));
    else
        DspMoveBytesKernel_Sse4(src, dst, Bytes(len));
    return DspStsNoErr;
}

template <int L> DspStatus MulConstInPlace(float value, float* srcDst, int32_t len)
{
    if (srcDst == nullptr)
        return DspStsNullPtrErr;
    if (len < 1)
        return DspStsSizeErr;
    if (value == 1.0f)
        return DspStsNoErr;
    if (value == 0.0f)
        return Zero<L>(srcDst, len);
    // Levels 2 and 3 share one kernel.
    InPlaceConstKernel<MulOp, 64>(srcDst, len, value);
    return DspStsNoErr;
}

template <int L> DspStatus MulConst(const float* src, float value, float* dst, int32_t len)
{
    if (src == nullptr || dst == nullptr)
        return DspStsNullPtrErr;
    if (len < 1)
        return DspStsSizeErr;
    if (value == 1.0f)
        return Copy<L>(src, dst, len);
    if (value == 0.0f)
        return Zero<L>(dst, len);
    MulConstKernel<L>(src, dst, len, value);
    return DspStsNoErr;
}

template <int L> DspStatus DivConstInPlace(float value, float* srcDst, int32_t len)
{
    if (srcDst == nullptr)
        return DspStsNullPtrErr;
    if (len < 1)
        return DspStsSizeErr;
    if (value == 0.0f)
        return DspStsDivByZeroErr;
    return MulConst<L>(srcDst, 1.0f / value, srcDst, len);
}

template <int L> DspStatus AddConstInPlace(float value, float* srcDst, int32_t len)
{
    if (srcDst == nullptr)
        return DspStsNullPtrErr;
    if (len < 1)
        return DspStsSizeErr;
    if (value == 0.0f)
        return DspStsNoErr;
    InPlaceConstKernel<AddOp, 32>(srcDst, len, value);
    return DspStsNoErr;
}

template <int L, class Op> DspStatus InPlaceVector(const float* src, float* srcDst, int32_t len)
{
    if (src == nullptr || srcDst == nullptr)
        return DspStsNullPtrErr;
    if (len < 1)
        return DspStsSizeErr;
    InPlaceVectorKernel<L, Op>(src, srcDst, len);
    return DspStsNoErr;
}

} // namespace

// ---- interleave: two channels by the level's block kernel, any other count
// frame by frame (four channels at a time where the count allows)
void DSP_LEVEL_NAME(DspInterleave2ChKernel32f)(const float* src0, const float* src1, float* dst,
                                               uint32_t len)
{
    Interleave2Ch(src0, src1, dst, len);
}

void DSP_LEVEL_NAME(DspDeinterleave2ChKernel32f)(const float* src, float* dst0, float* dst1,
                                                 uint32_t len)
{
    Deinterleave2Ch(src, dst0, dst1, len);
}

DspStatus DSP_LEVEL_NAME(DspInterleave32f)(const float* const* src, int32_t channels, int32_t len,
                                           float* dst)
{
    const DspStatus status = Check(src, dst, channels, len);
    if (status < 0)
        return status;
    if (channels == 2)
        DSP_LEVEL_NAME(DspInterleave2ChKernel32f)(src[0], src[1], dst, static_cast<uint32_t>(len));
    else
        InterleaveByFrames(src, channels, len, dst);
    return status;
}

DspStatus DSP_LEVEL_NAME(DspDeinterleave32f)(const float* src, int32_t channels, int32_t len,
                                             float* const* dst)
{
    const DspStatus status = Check(dst, src, channels, len);
    if (status < 0)
        return status;
    if (channels == 2)
        DSP_LEVEL_NAME(DspDeinterleave2ChKernel32f)
    (src, dst[0], dst[1], static_cast<uint32_t>(len));
    else DeinterleaveByFrames(src, channels, len, dst);
    return status;
}

// ---- kernels by name
void* DSP_LEVEL_NAME(DspZeroBytesKernel)(void* dst, int64_t n)
{
    return ZeroCacheAware<DSP_LEVEL>(dst, n);
}
void* DSP_LEVEL_NAME(DspCopyBytesKernel)(const void* s, void* d, int64_t n)
{
    return CopyCacheAware<DSP_LEVEL>(s, d, n);
}
void DSP_LEVEL_NAME(DspMoveBytesKernel)(const void* s, void* d, int64_t n)
{
    MoveSimd<DSP_LEVEL>(s, d, n);
}

// ---- level routines by name
DspStatus DSP_LEVEL_NAME(DspZero32f)(float* d, int32_t n)
{
    return Zero<DSP_LEVEL>(d, n);
}
DspStatus DSP_LEVEL_NAME(DspSet32f)(float v, float* d, int32_t n)
{
    return Fill<DSP_LEVEL>(std::bit_cast<uint32_t>(v), d, n);
}
DspStatus DSP_LEVEL_NAME(DspSet32s)(int32_t v, int32_t* d, int32_t n)
{
    return Fill<DSP_LEVEL>(static_cast<uint32_t>(v), d, n);
}
DspStatus DSP_LEVEL_NAME(DspCopy32f)(const float* s, float* d, int32_t n)
{
    return Copy<DSP_LEVEL>(s, d, n);
}
DspStatus DSP_LEVEL_NAME(DspMove32f)(const float* s, float* d, int32_t n)
{
    return Move<DSP_LEVEL>(s, d, n);
}
DspStatus DSP_LEVEL_NAME(DspMulConstInPlace32f)(float v, float* d, int32_t n)
{
    return MulConstInPlace<DSP_LEVEL>(v, d, n);
}
DspStatus DSP_LEVEL_NAME(DspMulConst32f)(const float* s, float v, float* d, int32_t n)
{
    return MulConst<DSP_LEVEL>(s, v, d, n);
}
DspStatus DSP_LEVEL_NAME(DspDivConstInPlace32f)(float v, float* d, int32_t n)
{
    return DivConstInPlace<DSP_LEVEL>(v, d, n);
}

#if DSP_LEVEL <= 2
// Levels 2 and 3 share the level-2 routines of these rows.
DspStatus DSP_LEVEL_NAME(DspAddConstInPlace32f)(float v, float* d, int32_t n)
{
    return AddConstInPlace<DSP_LEVEL>(v, d, n);
}
DspStatus DSP_LEVEL_NAME(DspAddInPlace32f)(const float* s, float* d, int32_t n)
{
    return InPlaceVector<DSP_LEVEL, AddOp>(s, d, n);
}
DspStatus DSP_LEVEL_NAME(DspMulInPlace32f)(const float* s, float* d, int32_t n)
{
    return InPlaceVector<DSP_LEVEL, MulOp>(s, d, n);
}
#endif
