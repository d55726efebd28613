// Direct-form FIR outputs shared by the single-rate filter and its benchmark:
// y[t] = sum_k taps[k] * s[t + k] for t in [first, last), each output's
// single-precision products added in increasing k from a zero start.
#pragma once

#include <cstdint>

void DspFirDirectOutputs32f(const float* taps, int32_t n, const float* s, float* dst, int64_t first,
                            int64_t last);

// Outputs [0, count) of one block in one pass: output t reads s[t ..] before
// split and s2[t - split ..] from split on (the block's first outputs come
// from the history buffer, the rest straight from the source).
void DspFirDirectOutputsSplit32f(const float* taps, int32_t n, const float* s, float* dst,
                                 int64_t split, const float* s2, int64_t count);
