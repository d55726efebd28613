// Implementations behind the conversion rows of DspDispatchTable: the generic
// routines (level 0) and the processor-level variants with their kernels.
#pragma once

#include "primitives/dsp.h"

// ---- integer to float
DspStatus DspConvert16sTo32fScaled_Gen(const int16_t* src, float* dst, int32_t len, int32_t sf);
DspStatus DspConvert16sTo32fScaled_Sse3(const int16_t* src, float* dst, int32_t len, int32_t sf);
DspStatus DspConvert16sTo32fScaled_Ssse3(const int16_t* src, float* dst, int32_t len, int32_t sf);
DspStatus DspConvert16sTo32fScaled_Sse4(const int16_t* src, float* dst, int32_t len, int32_t sf);

DspStatus DspConvert32sTo32fScaled_Gen(const int32_t* src, float* dst, int32_t len, int32_t sf);
DspStatus DspConvert32sTo32fScaled_Ssse3(const int32_t* src, float* dst, int32_t len, int32_t sf);

DspStatus DspConvert32sTo32f_Gen(const int32_t* src, float* dst, int32_t len);
DspStatus DspConvert32sTo32f_Sse3(const int32_t* src, float* dst, int32_t len);
DspStatus DspConvert32sTo32f_Ssse3(const int32_t* src, float* dst, int32_t len);
DspStatus DspConvert32sTo32f_Sse4(const int32_t* src, float* dst, int32_t len);

// ---- float to integer and packed 24-bit
DspStatus DspConvert32fTo16sScaled_Gen(const float* src, int16_t* dst, int32_t len,
                                       DspRoundMode rndMode, int32_t sf);
DspStatus DspConvert32fTo16sScaled_Sse3(const float* src, int16_t* dst, int32_t len,
                                        DspRoundMode rndMode, int32_t sf);
DspStatus DspConvert32fTo16sScaled_Ssse3(const float* src, int16_t* dst, int32_t len,
                                         DspRoundMode rndMode, int32_t sf);
DspStatus DspConvert32fTo16sScaled_Sse4(const float* src, int16_t* dst, int32_t len,
                                        DspRoundMode rndMode, int32_t sf);

DspStatus DspConvert32fTo32sScaled_Gen(const float* src, int32_t* dst, int32_t len,
                                       DspRoundMode rndMode, int32_t sf);
DspStatus DspConvert32fTo32sScaled_Sse3(const float* src, int32_t* dst, int32_t len,
                                        DspRoundMode rndMode, int32_t sf);
DspStatus DspConvert32fTo32sScaled_Ssse3(const float* src, int32_t* dst, int32_t len,
                                         DspRoundMode rndMode, int32_t sf);
DspStatus DspConvert32fTo32sScaled_Sse4(const float* src, int32_t* dst, int32_t len,
                                        DspRoundMode rndMode, int32_t sf);

DspStatus DspConvert24sTo32f_Gen(const uint8_t* src, float* dst, int32_t len);
DspStatus DspConvert24sTo32f_Sse3(const uint8_t* src, float* dst, int32_t len);
DspStatus DspConvert24sTo32f_Ssse3(const uint8_t* src, float* dst, int32_t len);
DspStatus DspConvert24sTo32f_Sse4(const uint8_t* src, float* dst, int32_t len);

DspStatus DspConvert32fTo24sScaled_Gen(const float* src, uint8_t* dst, int32_t len, int32_t sf);
DspStatus DspConvert32fTo24sScaled_Sse3(const float* src, uint8_t* dst, int32_t len, int32_t sf);
DspStatus DspConvert32fTo24sScaled_Ssse3(const float* src, uint8_t* dst, int32_t len, int32_t sf);
DspStatus DspConvert32fTo24sScaled_Sse4(const float* src, uint8_t* dst, int32_t len, int32_t sf);
