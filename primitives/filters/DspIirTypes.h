// IIR kernels of levels 1 to 3 for the sample types beyond 32-bit float:
// 16-bit and 32-bit integers with a scale factor, floats filtered in double
// precision, 64-bit floats and the complex forms of these, one-sample steps
// for both state kinds and block kernels for the 16-bit and complex forms.
// The library has no entry routine for these types; a caller builds the state
// in the layouts below and calls the kernels of one level.
//
// Layouts read (P is float for a float state, double for a double state; a
// complex value is a pair of P, real part first):
// - direct form, plain: taps b0..bN then a1..aN, delay N + 1 values (the last
//   0), order N. Real states and complex float states below order 4.
// - direct form, complex table (complex float states from order 4, complex
//   double states): the section table holds four P per coefficient,
//   (re, re, -im, im), for b0..bN then a1..aN.
// - biquad, float section table: 8 floats per section, b0, b1, b2, unused,
//   -a1, -a2, unused, unused; 2 delay values per section; section count M.
// - biquad, real double: section table of 6 doubles per section, (b0, b0),
//   (b1, b2), (-a1, -a2); 2 delay doubles per section; order 2M.
// - biquad, complex plain (float states below 5 sections): taps of 10 floats
//   per section, b0, b1, b2, a1, a2 as pairs; complex table (float states from
//   5 sections, double states): 20 P per section, (re, re, -im, im) for b0,
//   b1, b2, -a1, -a2. Delay 4 P per section; section count M.
// - block kernels: numerator tables of each b_k four times (complex: b_k as a
//   pair), recursion tables of 4N + 12 values (complex: 4N + 12 pairs).
// Integer results are round(y * 2^-sf), ties to even, saturated; sf is
// bounded to the exponents the factor's bit pattern can hold.
#pragma once

#include <cstdint>

#include "primitives/filters/DspIirState.h"

// X(sfx, name, parameters, call of the level's template)
#define DSP_IIR_TYPES_LIST(X, sfx)                                                                 \
    X(sfx, DspBiquadOneSample16sKernel,                                                            \
      (const int16_t* s, int16_t* d, DspIirState32f* st, int32_t sf),                              \
      (OneSample<BiquadF32, int16_t, int16_t, float>(s, d, nullptr, st, sf)))                      \
    X(sfx, DspIirOneSample16sKernel,                                                               \
      (const int16_t* s, int16_t* d, DspIirState32f* st, int32_t sf),                              \
      (OneSample<DirectF32, int16_t, int16_t, float>(s, d, nullptr, st, sf)))                      \
    X(sfx, DspIirOneSample16sAuxKernel,                                                            \
      (const int16_t* s, int16_t* d, float* aux, DspIirState32f* st, int32_t sf),                  \
      (OneSample<DirectF32, int16_t, int16_t, float>(s, d, aux, st, sf)))                          \
    X(sfx, DspIirOneSample32fcKernel, (const float* s, float* d, DspIirState32f* st),              \
      (OneSample<DirectC32, float, float, float>(s, d, nullptr, st, 0)))                           \
    X(sfx, DspBiquadOneSample32fcKernel, (const float* s, float* d, DspIirState32f* st),           \
      (OneSample<BiquadC32, float, float, float>(s, d, nullptr, st, 0)))                           \
    X(sfx, DspIirOneSample16scKernel,                                                              \
      (const int16_t* s, int16_t* d, DspIirState32f* st, int32_t sf),                              \
      (OneSample<DirectC32, int16_t, int16_t, float>(s, d, nullptr, st, sf)))                      \
    X(sfx, DspIirOneSample16scAuxKernel,                                                           \
      (const int16_t* s, int16_t* d, float* aux, DspIirState32f* st, int32_t sf),                  \
      (OneSample<DirectC32, int16_t, int16_t, float>(s, d, aux, st, sf)))                          \
    X(sfx, DspBiquadOneSample16scKernel,                                                           \
      (const int16_t* s, int16_t* d, DspIirState32f* st, int32_t sf),                              \
      (OneSample<BiquadC32, int16_t, int16_t, float>(s, d, nullptr, st, sf)))                      \
    X(sfx, DspBiquadOneSample64fKernel, (const double* s, double* d, DspIirState32f* st),          \
      (OneSample<BiquadF64, double, double, double>(s, d, nullptr, st, 0)))                        \
    X(sfx, DspBiquadOneSample16s64fKernel,                                                         \
      (const int16_t* s, int16_t* d, DspIirState32f* st, int32_t sf),                              \
      (OneSample<BiquadF64, int16_t, int16_t, double>(s, d, nullptr, st, sf)))                     \
    X(sfx, DspBiquadOneSample32s64fKernel,                                                         \
      (const int32_t* s, int32_t* d, DspIirState32f* st, int32_t sf),                              \
      (OneSample<BiquadF64, int32_t, int32_t, double>(s, d, nullptr, st, sf)))                     \
    X(sfx, DspBiquadOneSample32f64fKernel, (const float* s, float* d, DspIirState32f* st),         \
      (OneSample<BiquadF64, float, float, double>(s, d, nullptr, st, 0)))                          \
    X(sfx, DspIirOneSample64fKernel, (const double* s, double* d, DspIirState32f* st),             \
      (OneSample<DirectF64, double, double, double>(s, d, nullptr, st, 0)))                        \
    X(sfx, DspIirOneSample32s64fKernel,                                                            \
      (const int32_t* s, int32_t* d, DspIirState32f* st, int32_t sf),                              \
      (OneSample<DirectF64, int32_t, int32_t, double>(s, d, nullptr, st, sf)))                     \
    X(sfx, DspIirOneSample32s64fAuxKernel,                                                         \
      (const int32_t* s, int32_t* d, double* aux, DspIirState32f* st, int32_t sf),                 \
      (OneSample<DirectF64, int32_t, int32_t, double>(s, d, aux, st, sf)))                         \
    X(sfx, DspIirOneSample16s64fKernel,                                                            \
      (const int16_t* s, int16_t* d, DspIirState32f* st, int32_t sf),                              \
      (OneSample<DirectF64, int16_t, int16_t, double>(s, d, nullptr, st, sf)))                     \
    X(sfx, DspIirOneSample16s64fAuxKernel,                                                         \
      (const int16_t* s, int16_t* d, double* aux, DspIirState32f* st, int32_t sf),                 \
      (OneSample<DirectF64, int16_t, int16_t, double>(s, d, aux, st, sf)))                         \
    X(sfx, DspIirOneSample32f64fKernel, (const float* s, float* d, DspIirState32f* st),            \
      (OneSample<DirectF64, float, float, double>(s, d, nullptr, st, 0)))                          \
    X(sfx, DspIirOneSample32f64fAuxKernel,                                                         \
      (const float* s, float* d, double* aux, DspIirState32f* st),                                 \
      (OneSample<DirectF64, float, float, double>(s, d, aux, st, 0)))                              \
    X(sfx, DspIirOneSample64fcKernel, (const double* s, double* d, DspIirState32f* st),            \
      (OneSample<DirectC64, double, double, double>(s, d, nullptr, st, 0)))                        \
    X(sfx, DspBiquadOneSample64fcKernel, (const double* s, double* d, DspIirState32f* st),         \
      (OneSample<BiquadC64, double, double, double>(s, d, nullptr, st, 0)))                        \
    X(sfx, DspIirOneSample32sc64fcKernel,                                                          \
      (const int32_t* s, int32_t* d, DspIirState32f* st, int32_t sf),                              \
      (OneSample<DirectC64, int32_t, int32_t, double>(s, d, nullptr, st, sf)))                     \
    X(sfx, DspIirOneSample32sc64fcAuxKernel,                                                       \
      (const int32_t* s, int32_t* d, double* aux, DspIirState32f* st, int32_t sf),                 \
      (OneSample<DirectC64, int32_t, int32_t, double>(s, d, aux, st, sf)))                         \
    X(sfx, DspBiquadOneSample32sc64fcKernel,                                                       \
      (const int32_t* s, int32_t* d, DspIirState32f* st, int32_t sf),                              \
      (OneSample<BiquadC64, int32_t, int32_t, double>(s, d, nullptr, st, sf)))                     \
    X(sfx, DspIirOneSample16sc64fcKernel,                                                          \
      (const int16_t* s, int16_t* d, DspIirState32f* st, int32_t sf),                              \
      (OneSample<DirectC64, int16_t, int16_t, double>(s, d, nullptr, st, sf)))                     \
    X(sfx, DspIirOneSample16sc64fcAuxKernel,                                                       \
      (const int16_t* s, int16_t* d, double* aux, DspIirState32f* st, int32_t sf),                 \
      (OneSample<DirectC64, int16_t, int16_t, double>(s, d, aux, st, sf)))                         \
    X(sfx, DspBiquadOneSample16sc64fcKernel,                                                       \
      (const int16_t* s, int16_t* d, DspIirState32f* st, int32_t sf),                              \
      (OneSample<BiquadC64, int16_t, int16_t, double>(s, d, nullptr, st, sf)))                     \
    X(sfx, DspIirOneSample32fc64fcKernel, (const float* s, float* d, DspIirState32f* st),          \
      (OneSample<DirectC64, float, float, double>(s, d, nullptr, st, 0)))                          \
    X(sfx, DspIirOneSample32fc64fcAuxKernel,                                                       \
      (const float* s, float* d, double* aux, DspIirState32f* st),                                 \
      (OneSample<DirectC64, float, float, double>(s, d, aux, st, 0)))                              \
    X(sfx, DspBiquadOneSample32fc64fcKernel, (const float* s, float* d, DspIirState32f* st),       \
      (OneSample<BiquadC64, float, float, double>(s, d, nullptr, st, 0)))                          \
    X(sfx, DspBiquadBlock16sKernelA,                                                               \
      (const int16_t* s, float* work, int32_t count, const float* num),                            \
      (Numerator<false, true>(s, work, count, num, 2)))                                            \
    X(sfx, DspBiquadBlock16sKernelB,                                                               \
      (const float* work, float* y, int32_t count, const float* rec, int16_t* y16, int32_t sf),    \
      (Recursion<false, true>(work, y, count, rec, 2, y16, sf)))                                   \
    X(sfx, DspIirBlock16sKernelA,                                                                  \
      (const int16_t* s, float* work, int32_t count, const float* num, int32_t order),             \
      (Numerator<false, false>(s, work, count, num, order)))                                       \
    X(sfx, DspIirBlock16sKernelB,                                                                  \
      (const float* work, float* y, int32_t count, const float* rec, int32_t order, int16_t* y16,  \
       int32_t sf),                                                                                \
      (Recursion<false, false>(work, y, count, rec, order, y16, sf)))                              \
    X(sfx, DspIirBlock32fcKernelA,                                                                 \
      (const float* s, float* work, int32_t count, const float* num, int32_t order),               \
      (Numerator<true, false>(s, work, count, num, order)))                                        \
    X(sfx, DspIirBlock32fcKernelB,                                                                 \
      (const float* work, float* y, int32_t count, const float* rec, int32_t order),               \
      (Recursion<true, false>(work, y, count, rec, order, static_cast<int16_t*>(nullptr), 0)))     \
    X(sfx, DspIirBlock16scKernelA,                                                                 \
      (const int16_t* s, float* work, int32_t count, const float* num, int32_t order),             \
      (Numerator<true, false>(s, work, count, num, order)))                                        \
    X(sfx, DspIirBlock16scKernelB,                                                                 \
      (const float* work, float* y, int32_t count, const float* rec, int32_t order, int16_t* y16,  \
       int32_t sf),                                                                                \
      (Recursion<true, false>(work, y, count, rec, order, y16, sf)))

#define DSP_IIR_TYPES_DECLARE_ONE(sfx, name, params, call) void name##_##sfx params;
#define DSP_IIR_TYPES_DECLARE(sfx) DSP_IIR_TYPES_LIST(DSP_IIR_TYPES_DECLARE_ONE, sfx)

DSP_IIR_TYPES_DECLARE(Sse3)
DSP_IIR_TYPES_DECLARE(Ssse3)
DSP_IIR_TYPES_DECLARE(Sse4)
