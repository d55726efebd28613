// Interleave and de-interleave of 32-bit samples. Samples are moved as words,
// so every bit pattern arrives unchanged. Every pointer is checked before any
// sample moves; misaligned buffers only earn the warning.
#include <emmintrin.h>

#include "primitives/vector/DspVector.h"

namespace
{
inline bool Aligned16(const void* p)
{
    return (reinterpret_cast<uintptr_t>(p) & 15) == 0;
}

template <typename Channels>
DspStatus Check(Channels channels, const void* interleaved, int32_t channelCount, int32_t len)
{
    if (channels == nullptr || interleaved == nullptr)
        return DspStsNullPtrErr;
    if (channelCount < 1)
        return DspStsNumChannelsErr;
    if (len < 1)
        return DspStsSizeErr;
    DspStatus status = Aligned16(interleaved) ? DspStsNoErr : DspStsMisalignedBuf;
    for (int32_t c = 0; c < channelCount; ++c)
    {
        if (channels[c] == nullptr)
            return DspStsNullPtrErr;
        if (!Aligned16(channels[c]))
            status = DspStsMisalignedBuf;
    }
    return status;
}

// Two channels in blocks of 8 frames, then frame by frame.
template <int L> void Interleave2Ch(const float* s0, const float* s1, float* d, uint32_t len)
{
    uint32_t i = 0;
    const bool aligned = Aligned16(s0) && Aligned16(s1) && Aligned16(d);
    for (; i + 8 <= len; i += 8)
    {
        __m128 a0, a1, b0, b1;
        if (aligned)
        {
            a0 = _mm_load_ps(s0 + i);
            a1 = _mm_load_ps(s0 + i + 4);
            b0 = _mm_load_ps(s1 + i);
            b1 = _mm_load_ps(s1 + i + 4);
        }
        else
        {
            a0 = _mm_loadu_ps(s0 + i);
            a1 = _mm_loadu_ps(s0 + i + 4);
            b0 = _mm_loadu_ps(s1 + i);
            b1 = _mm_loadu_ps(s1 + i + 4);
        }
        const __m128 o0 = _mm_unpacklo_ps(a0, b0), o1 = _mm_unpackhi_ps(a0, b0);
        const __m128 o2 = _mm_unpacklo_ps(a1, b1), o3 = _mm_unpackhi_ps(a1, b1);
        float* p = d + 2 * static_cast<size_t>(i);
        if (aligned)
        {
            _mm_store_ps(p, o0);
            _mm_store_ps(p + 4, o1);
            _mm_store_ps(p + 8, o2);
            _mm_store_ps(p + 12, o3);
        }
        else
        {
            _mm_storeu_ps(p, o0);
            _mm_storeu_ps(p + 4, o1);
            _mm_storeu_ps(p + 8, o2);
            _mm_storeu_ps(p + 12, o3);
        }
    }
    for (; i < len; ++i)
    {
        d[2 * static_cast<size_t>(i)] = s0[i];
        d[2 * static_cast<size_t>(i) + 1] = s1[i];
    }
}

// Two channels in blocks of 4 frames, then frame by frame.
template <int L> void Deinterleave2Ch(const float* s, float* d0, float* d1, uint32_t len)
{
    uint32_t i = 0;
    const bool aligned = Aligned16(s) && Aligned16(d0) && Aligned16(d1);
    for (; i + 4 <= len; i += 4)
    {
        const float* p = s + 2 * static_cast<size_t>(i);
        const __m128 a = aligned ? _mm_load_ps(p) : _mm_loadu_ps(p);
        const __m128 b = aligned ? _mm_load_ps(p + 4) : _mm_loadu_ps(p + 4);
        const __m128 ea = _mm_shuffle_ps(a, a, _MM_SHUFFLE(3, 1, 2, 0)); // evens first
        const __m128 eb = _mm_shuffle_ps(b, b, _MM_SHUFFLE(3, 1, 2, 0));
        const __m128 c0 = _mm_movelh_ps(ea, eb);
        const __m128 c1 = _mm_movehl_ps(eb, ea);
        if (aligned)
        {
            _mm_store_ps(d0 + i, c0);
            _mm_store_ps(d1 + i, c1);
        }
        else
        {
            _mm_storeu_ps(d0 + i, c0);
            _mm_storeu_ps(d1 + i, c1);
        }
    }
    for (; i < len; ++i)
    {
        d0[i] = s[2 * static_cast<size_t>(i)];
        d1[i] = s[2 * static_cast<size_t>(i) + 1];
    }
}

void DeinterleaveGeneric(const float* src, int32_t channels, int32_t len, float* const* dst)
{
    const size_t stride = static_cast<size_t>(channels);
    for (int32_t c = 0; c < channels; ++c)
    {
        float* d = dst[c];
        const float* s = src + c;
        for (int32_t i = 0; i < len; ++i)
            d[i] = s[static_cast<size_t>(i) * stride];
    }
}

template <int L>
DspStatus InterleaveLevel(const float* const* src, int32_t channels, int32_t len, float* dst)
{
    const DspStatus status = Check(src, dst, channels, len);
    if (status < 0)
        return status;
    if (channels == 2)
    {
        Interleave2Ch<L>(src[0], src[1], dst, static_cast<uint32_t>(len));
        return status;
    }
    // Frame by frame, the output written strictly in order.
    float* d = dst;
    for (int32_t i = 0; i < len; ++i)
        for (int32_t c = 0; c < channels; ++c)
            *d++ = src[c][i];
    return status;
}

template <int L>
DspStatus DeinterleaveLevel(const float* src, int32_t channels, int32_t len, float* const* dst)
{
    const DspStatus status = Check(dst, src, channels, len);
    if (status < 0)
        return status;
    if (channels == 2)
        Deinterleave2Ch<L>(src, dst[0], dst[1], static_cast<uint32_t>(len));
    else
        DeinterleaveGeneric(src, channels, len, dst);
    return status;
}
} // namespace

DspStatus DspInterleave32f_Gen(const float* const* src, int32_t channels, int32_t len, float* dst)
{
    const DspStatus status = Check(src, dst, channels, len);
    if (status < 0)
        return status;
    const size_t stride = static_cast<size_t>(channels);
    // Channel by channel, frames in pairs; an odd last frame follows alone.
    for (int32_t c = 0; c < channels; ++c)
    {
        const float* s = src[c];
        float* d = dst + c;
        int32_t i = 0;
        for (; i + 1 < len; i += 2, d += 2 * stride)
        {
            d[0] = s[i];
            d[stride] = s[i + 1];
        }
        if (i < len)
            d[0] = s[i];
    }
    return status;
}

DspStatus DspDeinterleave32f_Gen(const float* src, int32_t channels, int32_t len, float* const* dst)
{
    const DspStatus status = Check(dst, src, channels, len);
    if (status < 0)
        return status;
    DeinterleaveGeneric(src, channels, len, dst);
    return status;
}

DspStatus DspInterleave32f_Sse3(const float* const* s, int32_t c, int32_t n, float* d)
{
    return InterleaveLevel<1>(s, c, n, d);
}
DspStatus DspInterleave32f_Ssse3(const float* const* s, int32_t c, int32_t n, float* d)
{
    return InterleaveLevel<2>(s, c, n, d);
}
DspStatus DspInterleave32f_Sse4(const float* const* s, int32_t c, int32_t n, float* d)
{
    return InterleaveLevel<3>(s, c, n, d);
}
DspStatus DspDeinterleave32f_Sse3(const float* s, int32_t c, int32_t n, float* const* d)
{
    return DeinterleaveLevel<1>(s, c, n, d);
}
DspStatus DspDeinterleave32f_Ssse3(const float* s, int32_t c, int32_t n, float* const* d)
{
    return DeinterleaveLevel<2>(s, c, n, d);
}
DspStatus DspDeinterleave32f_Sse4(const float* s, int32_t c, int32_t n, float* const* d)
{
    return DeinterleaveLevel<3>(s, c, n, d);
}
