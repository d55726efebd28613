// Interleave and de-interleave of 32-bit samples. Samples are moved as words,
// so every bit pattern arrives unchanged. Every pointer is checked before any
// sample moves; misaligned buffers only earn the warning.
#include "primitives/vector/DspInterleaveLanes.h"

DspStatus DspInterleave32f_Gen(const float* const* src, int32_t channels, int32_t len, float* dst)
{
    const DspStatus status = Check(src, dst, channels, len);
    if (status < 0)
        return status;
#if defined(__SSE2__)
    if (channels == 2)
    {
        Interleave2Ch(src[0], src[1], dst, static_cast<uint32_t>(len));
        return status;
    }
#endif
    if (QuadChannels(channels))
    {
        InterleaveByFrames(src, channels, len, dst);
        return status;
    }
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
#if defined(__SSE2__)
    if (channels == 2)
    {
        Deinterleave2Ch(src, dst[0], dst[1], static_cast<uint32_t>(len));
        return status;
    }
#endif
    DeinterleaveByFrames(src, channels, len, dst);
    return status;
}
