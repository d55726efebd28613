// Packed 24-bit samples into the float domain with full scale at 1.0, in the
// one pass of the conversion: what DspConvert24sTo32f followed by a division
// by 2^23 gives at level 0, bit for bit.
#pragma once

#include "primitives/dsp.h"

// dst[i] = the 24-bit sample i times 2^-23. The checks of DspConvert24sTo32f:
// a null pointer -8, then a length below 1 -6; nothing is written on failure.
DspStatus DspConvert24sTo32fFullScale(const uint8_t* src, float* dst, int32_t len);
