// Four-lane float-to-integer loops of the generic conversions. Each returns how
// many leading elements it converted (a whole number of blocks, possibly 0);
// the scalar loops finish the rest with the same results. Without SSE2 they
// convert nothing. The rounding never reads the control register: truncation
// and exact arithmetic on the truncated value give every mode, so the caller's
// rounding field changes no result (but the single-precision half of the
// 16-bit ties-away mode, which is defined in the mode in force). Ties to even
// use the converting instruction when the rounding field is to nearest.
#pragma once

#include <cstdint>

enum class DspLaneRounding
{
    Truncate,
    HalfEven,
    HalfAway,         // exact: a fraction of one half or more steps away from zero
    HalfAwaySingleAdd // +-0.5 added in single precision, then truncated (16-bit, unscaled)
};

// factor: 2^-sf as a single (1.0 for sf 0). NaN gives 0.
int32_t DspLanesTo16s(const float* src, int16_t* dst, int32_t len, float factor,
                      DspLaneRounding rounding);
// NaN gives nanValue; at or above 2^31 gives 2147483647.
int32_t DspLanesTo32s(const float* src, int32_t* dst, int32_t len, float factor,
                      DspLaneRounding rounding, int32_t nanValue);
// Nearest, ties to even, saturated to 24 bits, NaN 0; three bytes per sample.
int32_t DspLanesTo24s(const float* src, uint8_t* dst, int32_t len, float factor);
// The same for channels 1 to 8 interleaved on the way: frame i, channel c at
// dst + 3 * (i * channels + c). Returns the frames done (0 for more channels).
int32_t DspLanesInterleaveTo24s(const float* const* src, int32_t channels, int32_t len,
                                uint8_t* dst, float factor);
