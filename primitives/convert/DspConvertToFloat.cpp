// Integer samples and control values into the float domain (level 0).
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <cstring>

#include "primitives/convert/DspConvert.h"
#include "primitives/convert/DspConvertFullScale.h"
#include "primitives/core/DspScaleFactor.h"
#include "primitives/vector/DspInterleaveLanes.h"

namespace
{
// sf held where 2^-sf stays a normal number and every product is exact.
inline int32_t ClampScale(int32_t sf, int32_t lowest)
{
    if (sf > 126)
        return 126;
    if (sf < lowest)
        return lowest;
    return sf;
}

// True when the byte ranges of the two arrays share any byte; identical arrays
// count as overlapping.
inline bool Overlaps(const void* a, const void* b, int32_t len)
{
    uintptr_t pa = reinterpret_cast<uintptr_t>(a);
    uintptr_t pb = reinterpret_cast<uintptr_t>(b);
    uintptr_t bytes = static_cast<uintptr_t>(len) * 4u;
    return pa < pb + bytes && pb < pa + bytes;
}

// One element at a time through memcpy, so a source and destination that share
// memory (an in-place conversion) are read before they are written, element by
// element in ascending order, whatever the compiler assumes about aliasing.
void Convert32sOverlapping(const int32_t* src, float* dst, int32_t len, float factor, bool scale)
{
    const unsigned char* s = reinterpret_cast<const unsigned char*>(src);
    unsigned char* d = reinterpret_cast<unsigned char*>(dst);
    for (int32_t i = 0; i < len; ++i)
    {
        int32_t v;
        std::memcpy(&v, s + 4 * static_cast<size_t>(i), 4);
        float r = static_cast<float>(v);
        if (scale)
            r = r * factor;
        std::memcpy(d + 4 * static_cast<size_t>(i), &r, 4);
    }
}
// The top byte carries the sign: shift it into place as a signed value.
inline float From24(const uint8_t* p)
{
    const int32_t v = static_cast<int32_t>(p[0]) | (static_cast<int32_t>(p[1]) << 8) |
                      (static_cast<int32_t>(static_cast<int8_t>(p[2])) * 65536);
    return static_cast<float>(v);
}

#if defined(__SSE2__)
// Four samples from 3i - 1, each read as the four-byte word that ends with its
// top byte and shifted down arithmetically.
template <bool Scale> inline void Four24s(const uint8_t* src, float* dst, int32_t i, __m128 factor)
{
    const __m128i chunk =
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 3 * static_cast<size_t>(i) - 1));
    const __m128i a = _mm_unpacklo_epi32(chunk, _mm_srli_si128(chunk, 3));
    const __m128i b = _mm_unpacklo_epi32(_mm_srli_si128(chunk, 6), _mm_srli_si128(chunk, 9));
    const __m128 v = _mm_cvtepi32_ps(_mm_srai_epi32(_mm_unpacklo_epi64(a, b), 8));
    _mm_storeu_ps(dst + i, Scale ? _mm_mul_ps(v, factor) : v);
}
#endif

// Samples from `first` on (never sample 0, whose word would start before the
// source), in blocks of 16 then of 4, each times the factor when scaled;
// returns where it stopped.
template <bool Scale>
int32_t Lanes24sTo32f(const uint8_t* src, float* dst, int32_t first, int32_t len, float factor)
{
    int32_t i = first;
#if defined(__SSE2__)
    const __m128 f = _mm_set1_ps(factor);
    // Sixteen bytes from 3i - 1: the last of them must still be a source byte.
    for (; i + 17 <= len; i += 16)
    {
        Four24s<Scale>(src, dst, i, f);
        Four24s<Scale>(src, dst, i + 4, f);
        Four24s<Scale>(src, dst, i + 8, f);
        Four24s<Scale>(src, dst, i + 12, f);
    }
    for (; i + 5 <= len; i += 4)
    {
        Four24s<Scale>(src, dst, i, f);
    }
#else
    (void)src;
    (void)dst;
    (void)len;
    (void)factor;
#endif
    return i;
}

// Frames [first, last) of channels [c0, c1), one sample at a time.
void Deinterleave24sFrames(const uint8_t* src, int32_t channels, int32_t first, int32_t last,
                           int32_t c0, int32_t c1, float* const* dst)
{
    const float factor = DspScaleFactor<float>(23);
    for (int32_t c = c0; c < c1; ++c)
        for (int32_t i = first; i < last; ++i)
        {
            const size_t at =
                static_cast<size_t>(i) * static_cast<size_t>(channels) + static_cast<size_t>(c);
            dst[c][i] = From24(src + 3 * at) * factor;
        }
}

#if defined(__SSE2__)
// The four-byte word that ends with the top byte of the sample at p + 1, in
// the low lane.
inline __m128i Word(const uint8_t* p)
{
    return _mm_loadu_si32(p);
}

// Words with the byte below each sample cleared: a word holds 2^8 times its
// sample, exact as a single, and 2^-31 takes it to the sample times 2^-23
// exactly.
inline void StoreFullScale(float* dst, __m128i words)
{
    const __m128i top = _mm_set1_epi32(static_cast<int32_t>(0xFFFFFF00u));
    const __m128 factor = _mm_set1_ps(DspScaleFactor<float>(31));
    _mm_storeu_ps(dst, _mm_mul_ps(_mm_cvtepi32_ps(_mm_and_si128(words, top)), factor));
}

// Channel c's frames [first, last), a whole number of blocks of four, each
// block's four samples gathered as the words that end with their top bytes.
void Deinterleave24sChannel(const uint8_t* src, int32_t channels, int32_t c, int32_t first,
                            int32_t last, float* dst)
{
    const size_t stride = 3 * static_cast<size_t>(channels);
    const uint8_t* p = src + stride * static_cast<size_t>(first) + 3 * static_cast<size_t>(c) - 1;
    for (int32_t i = first; i < last; i += 4, p += 4 * stride)
    {
        const __m128i low = _mm_unpacklo_epi32(Word(p), Word(p + stride));
        const __m128i high = _mm_unpacklo_epi32(Word(p + 2 * stride), Word(p + 3 * stride));
        StoreFullScale(dst + i, _mm_unpacklo_epi64(low, high));
    }
}

// The eight bytes from p, in the low half.
inline __m128i Pair(const uint8_t* p)
{
    return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p));
}

// Channels c and c + 1 together, half the loads: the eight bytes that end
// with channel c + 1's top byte hold that channel's word in their upper half
// and channel c's one byte up from the lower half.
void Deinterleave24sPair(const uint8_t* src, int32_t channels, int32_t c, int32_t first,
                         int32_t last, float* dst0, float* dst1)
{
    const size_t stride = 3 * static_cast<size_t>(channels);
    const uint8_t* p = src + stride * static_cast<size_t>(first) + 3 * static_cast<size_t>(c) - 2;
    for (int32_t i = first; i < last; i += 4, p += 4 * stride)
    {
        const __m128i q01 = _mm_unpacklo_epi64(Pair(p), Pair(p + stride));
        const __m128i q23 = _mm_unpacklo_epi64(Pair(p + 2 * stride), Pair(p + 3 * stride));
        const __m128 upper =
            _mm_shuffle_ps(_mm_castsi128_ps(q01), _mm_castsi128_ps(q23), _MM_SHUFFLE(3, 1, 3, 1));
        const __m128 lower =
            _mm_shuffle_ps(_mm_castsi128_ps(_mm_srli_epi64(q01, 8)),
                           _mm_castsi128_ps(_mm_srli_epi64(q23, 8)), _MM_SHUFFLE(2, 0, 2, 0));
        StoreFullScale(dst0 + i, _mm_castps_si128(lower));
        StoreFullScale(dst1 + i, _mm_castps_si128(upper));
    }
}

// Whole blocks of four frames, two channels at a time; returns the frames
// done. Channel 0 of the first frame has no bytes below it inside the source,
// so the first block goes one sample at a time for channel 0 and on its own
// for channel 1.
int32_t Deinterleave24sBlocks(const uint8_t* src, int32_t channels, int32_t len, float* const* dst)
{
    const int32_t frames = len & ~3;
    if (frames == 0)
        return 0;
    Deinterleave24sFrames(src, channels, 0, 4, 0, 1, dst);
    if (channels == 1)
    {
        Deinterleave24sChannel(src, channels, 0, 4, frames, dst[0]);
        return frames;
    }
    Deinterleave24sChannel(src, channels, 1, 0, 4, dst[1]);
    Deinterleave24sPair(src, channels, 0, 4, frames, dst[0], dst[1]);
    int32_t c = 2;
    for (; c + 1 < channels; c += 2)
        Deinterleave24sPair(src, channels, c, 0, frames, dst[c], dst[c + 1]);
    if (c < channels)
        Deinterleave24sChannel(src, channels, c, 0, frames, dst[c]);
    return frames;
}
#endif

template <bool Scale>
DspStatus Convert24s(const uint8_t* src, float* dst, int32_t len, float factor)
{
    if (src == nullptr || dst == nullptr)
        return DspStsNullPtrErr;
    if (len < 1)
        return DspStsSizeErr;
    dst[0] = Scale ? From24(src) * factor : From24(src);
    for (int32_t i = Lanes24sTo32f<Scale>(src, dst, 1, len, factor); i < len; ++i)
    {
        const float v = From24(src + 3 * static_cast<size_t>(i));
        dst[i] = Scale ? v * factor : v;
    }
    return DspStsNoErr;
}
} // namespace

DspStatus DspConvert16sTo32fScaled_Gen(const int16_t* src, float* dst, int32_t len, int32_t sf)
{
    if (src == nullptr || dst == nullptr)
        return DspStsNullPtrErr;
    if (len < 1)
        return DspStsSizeErr;
    if (sf == 0)
    {
        for (int32_t i = 0; i < len; ++i)
            dst[i] = static_cast<float>(src[i]);
        return DspStsNoErr;
    }
    const float factor = DspScaleFactor<float>(ClampScale(sf, -112));
    for (int32_t i = 0; i < len; ++i)
        dst[i] = static_cast<float>(src[i]) * factor;
    return DspStsNoErr;
}

DspStatus DspConvert32sTo32fScaled_Gen(const int32_t* src, float* dst, int32_t len, int32_t sf)
{
    if (src == nullptr || dst == nullptr)
        return DspStsNullPtrErr;
    if (len < 1)
        return DspStsSizeErr;
    const bool scale = sf != 0;
    const float factor = scale ? DspScaleFactor<float>(ClampScale(sf, -96)) : 1.0f;
    if (Overlaps(src, dst, len))
    {
        Convert32sOverlapping(src, dst, len, factor, scale);
        return DspStsNoErr;
    }
    if (scale)
    {
        for (int32_t i = 0; i < len; ++i)
            dst[i] = static_cast<float>(src[i]) * factor;
    }
    else
    {
        for (int32_t i = 0; i < len; ++i)
            dst[i] = static_cast<float>(src[i]);
    }
    return DspStsNoErr;
}

DspStatus DspConvert32sTo32f_Gen(const int32_t* src, float* dst, int32_t len)
{
    if (src == nullptr || dst == nullptr)
        return DspStsNullPtrErr;
    if (len < 1)
        return DspStsSizeErr;
    if (Overlaps(src, dst, len))
    {
        Convert32sOverlapping(src, dst, len, 1.0f, false);
        return DspStsNoErr;
    }
    for (int32_t i = 0; i < len; ++i)
        dst[i] = static_cast<float>(src[i]);
    return DspStsNoErr;
}

DspStatus DspConvert24sTo32f_Gen(const uint8_t* src, float* dst, int32_t len)
{
    return Convert24s<false>(src, dst, len, 1.0f);
}

DspStatus DspConvert24sTo32fFullScale(const uint8_t* src, float* dst, int32_t len)
{
    // Every 24-bit value times 2^-23 is exact: the same as dividing by 2^23.
    return Convert24s<true>(src, dst, len, DspScaleFactor<float>(23));
}

DspStatus DspDeinterleave24sTo32fFullScale(const uint8_t* src, int32_t channels, int32_t len,
                                           float* const* dst)
{
    const DspStatus status = Check(dst, src, channels, len);
    if (status < 0)
        return status;
    int32_t done = 0;
#if defined(__SSE2__)
    done = Deinterleave24sBlocks(src, channels, len, dst);
#endif
    Deinterleave24sFrames(src, channels, done, len, 0, channels, dst);
    return DspStsNoErr;
}
