// Many outputs of the level-0 one-sample FIR in one call, for callers that
// hold the samples contiguously: each output keeps its own double sum, so a
// block gives what one call per output of DspFirOneSample32f at level 0 gives.
#pragma once

#include <cstdint>

#include "primitives/core/DspStatus.h"

// dst[j] = the level-0 one-sample FIR of taps rows[j] (n taps, h[0] weighting
// the newest sample) over the window x[starts[j] .. starts[j] + n - 1], oldest
// first. The x[0 .. xLen - 1] are the samples; every window lies inside them.
// Checks: a null pointer -8; n below 1 -26; count below 1 or a window outside
// x -6. Nothing is written on failure.
DspStatus DspFirOneSampleBlock32f(const float* x, int32_t xLen, const int32_t* starts,
                                  const float* const* rows, int32_t n, float* dst, int32_t count);
// Four streams side by side, for callers that run several channels through
// the same rows: frame i of x holds sample i of stream q at x[4i + q] (xLen
// frames), and dst[q][j] = the level-0 one-sample FIR of taps rows[j] over
// stream q's window starts[j] .. starts[j] + n - 1. Checks as the block's,
// any null dst[q] -8 among them; nothing is written on failure.
DspStatus DspFirOneSampleQuad32f(const float* x, int32_t xLen, const int32_t* starts,
                                 const float* const* rows, int32_t n, float* const* dst,
                                 int32_t count);
