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
template <bool Aligned> inline __m128 LoadLane(const float* p)
{
    return Aligned ? _mm_load_ps(p) : _mm_loadu_ps(p);
}
template <bool Aligned> inline void StoreLane(float* p, __m128 v)
{
    if constexpr (Aligned)
        _mm_store_ps(p, v);
    else
        _mm_storeu_ps(p, v);
}

// Blocks of 8 frames: two loads from each channel, their halves unpacked
// into 16 interleaved samples; two blocks per pass while they last. Returns
// the frames done.
template <bool Aligned> inline void Interleave8Frames(const float* s0, const float* s1, float* d)
{
    const __m128 a0 = LoadLane<Aligned>(s0), a1 = LoadLane<Aligned>(s0 + 4);
    const __m128 b0 = LoadLane<Aligned>(s1), b1 = LoadLane<Aligned>(s1 + 4);
    StoreLane<Aligned>(d, _mm_unpacklo_ps(a0, b0));
    StoreLane<Aligned>(d + 4, _mm_unpackhi_ps(a0, b0));
    StoreLane<Aligned>(d + 8, _mm_unpacklo_ps(a1, b1));
    StoreLane<Aligned>(d + 12, _mm_unpackhi_ps(a1, b1));
}

template <bool Aligned>
uint32_t Interleave2ChBlocks(const float* s0, const float* s1, float* d, uint32_t len)
{
    const size_t pairs = len / 16;
    for (size_t k = 0; k < pairs; ++k)
    {
        Interleave8Frames<Aligned>(s0 + 16 * k, s1 + 16 * k, d + 32 * k);
        Interleave8Frames<Aligned>(s0 + 16 * k + 8, s1 + 16 * k + 8, d + 32 * k + 16);
    }
    uint32_t i = static_cast<uint32_t>(16 * pairs);
    if (i + 8 <= len)
    {
        Interleave8Frames<Aligned>(s0 + i, s1 + i, d + 2 * static_cast<size_t>(i));
        i += 8;
    }
    return i;
}

// Two channels in blocks of 8 frames (aligned forms when all three buffers
// are 16-byte aligned), then frame by frame.
inline void Interleave2Ch(const float* s0, const float* s1, float* d, uint32_t len)
{
    const bool aligned = Aligned16(s0) && Aligned16(s1) && Aligned16(d);
    uint32_t i = aligned ? Interleave2ChBlocks<true>(s0, s1, d, len)
                         : Interleave2ChBlocks<false>(s0, s1, d, len);
    for (; i < len; ++i)
    {
        d[2 * static_cast<size_t>(i)] = s0[i];
        d[2 * static_cast<size_t>(i) + 1] = s1[i];
    }
}

// Blocks of 4 frames: the even samples of two loads to channel 0, the odd
// ones to channel 1. Returns the frames done.
template <bool Aligned>
uint32_t Deinterleave2ChBlocks(const float* s, float* d0, float* d1, uint32_t len)
{
    const uint32_t frames = len & ~3u;
    for (uint32_t i = 0; i < frames; i += 4, s += 8)
    {
        const __m128 a = LoadLane<Aligned>(s), b = LoadLane<Aligned>(s + 4);
        StoreLane<Aligned>(d0 + i, _mm_shuffle_ps(a, b, _MM_SHUFFLE(2, 0, 2, 0)));
        StoreLane<Aligned>(d1 + i, _mm_shuffle_ps(a, b, _MM_SHUFFLE(3, 1, 3, 1)));
    }
    return frames;
}

// Two channels in blocks of 4 frames, then frame by frame.
inline void Deinterleave2Ch(const float* s, float* d0, float* d1, uint32_t len)
{
    const bool aligned = Aligned16(s) && Aligned16(d0) && Aligned16(d1);
    uint32_t i = aligned ? Deinterleave2ChBlocks<true>(s, d0, d1, len)
                         : Deinterleave2ChBlocks<false>(s, d0, d1, len);
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
