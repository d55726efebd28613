// Packed 24-bit samples into the float domain with full scale at 1.0, in the
// one pass of the conversion: what DspConvert24sTo32f followed by a division
// by 2^23 gives at level 0, bit for bit; the same straight into one buffer
// per channel, what the conversion followed by DspDeinterleave32f gives; and
// the way back out of the channel buffers in one pass, what DspInterleave32f
// followed by DspConvert32fTo24sScaled with scale factor -23 gives.
#pragma once

#include "primitives/dsp.h"

// dst[i] = the 24-bit sample i times 2^-23. The checks of DspConvert24sTo32f:
// a null pointer -8, then a length below 1 -6; nothing is written on failure.
DspStatus DspConvert24sTo32fFullScale(const uint8_t* src, float* dst, int32_t len);

// dst[c][i] = the 24-bit sample i * channels + c times 2^-23. The checks of
// DspDeinterleave32f without its alignment warning: a null source or channel
// array -8, a channel count below 1 -53, a length below 1 -6, a null channel
// -8; nothing is written on failure.
DspStatus DspDeinterleave24sTo32fFullScale(const uint8_t* src, int32_t channels, int32_t len,
                                           float* const* dst);

// dst gets sample i of channel c times 2^23, rounded to nearest with ties to
// even and saturated to 24 bits (NaN 0), at 3 * (i * channels + c). The checks
// of DspInterleave32f without its alignment warning: a null channel array or
// destination -8, a channel count below 1 -53, a length below 1 -6, a null
// channel -8; nothing is written on failure.
DspStatus DspInterleave32fTo24sFullScale(const float* const* src, int32_t channels, int32_t len,
                                         uint8_t* dst);
