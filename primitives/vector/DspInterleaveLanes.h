// The moving parts of interleave and de-interleave, shared by the generic
// routines and the processor-level files: the argument checks, the
// two-channel block loops, the four-by-four transposes for channel counts that
// are multiples of four, and the frame-by-frame loops. Everything has
// internal linkage, so each file gets its own copy built with its own
// instruction set; the vector parts need SSE2 and are absent without it.
#pragma once

#if defined(__SSE2__)
#include <emmintrin.h>
#include <xmmintrin.h>
#endif

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

#if defined(__SSE2__)
// Two channels in blocks of 8 frames, then frame by frame.
inline void Interleave2Ch(const float* s0, const float* s1, float* d, uint32_t len)
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
inline void Deinterleave2Ch(const float* s, float* d0, float* d1, uint32_t len)
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

// Channel counts that are multiples of four, four channels by four frames at
// a time: a 4x4 transpose turns four channel vectors into four frames' worth
// of those channels. Returns the frames done; the caller moves the rest.
inline uint32_t InterleaveQuads(const float* const* src, uint32_t channels, uint32_t len,
                                float* dst)
{
    const uint32_t frames = len & ~3u;
    const size_t stride = channels;
    // One group of four channels at a time, its pointers held in registers
    // (the vector stores may alias the pointer array).
    for (uint32_t c = 0; c < channels; c += 4)
    {
        const float *s0 = src[c], *s1 = src[c + 1], *s2 = src[c + 2], *s3 = src[c + 3];
        float* d = dst + c;
        for (uint32_t i = 0; i < frames; i += 4, d += 4 * stride)
        {
            __m128 r0 = _mm_loadu_ps(s0 + i), r1 = _mm_loadu_ps(s1 + i);
            __m128 r2 = _mm_loadu_ps(s2 + i), r3 = _mm_loadu_ps(s3 + i);
            _MM_TRANSPOSE4_PS(r0, r1, r2, r3);
            _mm_storeu_ps(d, r0);
            _mm_storeu_ps(d + stride, r1);
            _mm_storeu_ps(d + 2 * stride, r2);
            _mm_storeu_ps(d + 3 * stride, r3);
        }
    }
    return frames;
}

inline uint32_t DeinterleaveQuads(const float* src, uint32_t channels, uint32_t len,
                                  float* const* dst)
{
    const uint32_t frames = len & ~3u;
    const size_t stride = channels;
    for (uint32_t c = 0; c < channels; c += 4)
    {
        float *d0 = dst[c], *d1 = dst[c + 1], *d2 = dst[c + 2], *d3 = dst[c + 3];
        const float* s = src + c;
        for (uint32_t i = 0; i < frames; i += 4, s += 4 * stride)
        {
            __m128 r0 = _mm_loadu_ps(s), r1 = _mm_loadu_ps(s + stride);
            __m128 r2 = _mm_loadu_ps(s + 2 * stride), r3 = _mm_loadu_ps(s + 3 * stride);
            _MM_TRANSPOSE4_PS(r0, r1, r2, r3);
            _mm_storeu_ps(d0 + i, r0);
            _mm_storeu_ps(d1 + i, r1);
            _mm_storeu_ps(d2 + i, r2);
            _mm_storeu_ps(d3 + i, r3);
        }
    }
    return frames;
}

#else
inline uint32_t InterleaveQuads(const float* const*, uint32_t, uint32_t, float*)
{
    return 0;
}
inline uint32_t DeinterleaveQuads(const float*, uint32_t, uint32_t, float* const*)
{
    return 0;
}
#endif

// Frames [first, len) one by one.
inline void InterleaveFrames(const float* const* src, int32_t channels, int32_t first, int32_t len,
                             float* dst)
{
    float* d = dst + static_cast<size_t>(first) * static_cast<size_t>(channels);
    for (int32_t i = first; i < len; ++i)
        for (int32_t c = 0; c < channels; ++c)
            *d++ = src[c][i];
}

inline void DeinterleaveFrames(const float* src, int32_t channels, int32_t first, int32_t len,
                               float* const* dst)
{
    const size_t stride = static_cast<size_t>(channels);
    for (int32_t c = 0; c < channels; ++c)
        for (int32_t i = first; i < len; ++i)
            dst[c][i] = src[static_cast<size_t>(i) * stride + static_cast<size_t>(c)];
}

// The buffers never overlap, so the order in which the words move is not
// seen: whole frames for channel counts of four, eight, ...
inline bool QuadChannels(int32_t channels)
{
    return channels % 4 == 0;
}

// Whole frames: four at a time where the channel count allows, then one by one.
inline void InterleaveByFrames(const float* const* src, int32_t channels, int32_t len, float* dst)
{
    const uint32_t done =
        QuadChannels(channels)
            ? InterleaveQuads(src, static_cast<uint32_t>(channels), static_cast<uint32_t>(len), dst)
            : 0;
    InterleaveFrames(src, channels, static_cast<int32_t>(done), len, dst);
}

inline void DeinterleaveByFrames(const float* src, int32_t channels, int32_t len, float* const* dst)
{
    const uint32_t done = QuadChannels(channels)
                              ? DeinterleaveQuads(src, static_cast<uint32_t>(channels),
                                                  static_cast<uint32_t>(len), dst)
                              : 0;
    DeinterleaveFrames(src, channels, static_cast<int32_t>(done), len, dst);
}

} // namespace
