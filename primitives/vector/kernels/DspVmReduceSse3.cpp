// Square-root, sum, mean, minimum, maximum and dot-product kernels of the
// SSE3 level (built with -msse3), and the dot products of further element
// types that only this level carries.
#include "primitives/vector/kernels/DspVmDotKindsBody.h"
#include "primitives/vector/kernels/DspVmReduceLevel.h"

DSP_VM_REDUCE_DEFINE(Sse3, false, VmDotKernel32fSse3)

void DspDotProdKernel32fTo64f_Sse3(const float* src1, const float* src2, int32_t len, double* out)
{
    VmDot32fTo64f(src1, src2, len, out);
}
void DspDotProdKernel32f32fcTo64fc_Sse3(const float* src1, const float* src2, int32_t len,
                                        double* out)
{
    VmDot32f32fcTo64fc(src1, src2, len, out);
}
void DspDotProdKernel32fcTo64fc_Sse3(const float* src1, const float* src2, int32_t len, double* out)
{
    VmDot32fcTo64fc(src1, src2, len, out);
}
void DspDotProdKernel32f32fc_Sse3(const float* src1, const float* src2, int32_t len, float* out)
{
    VmDot32f32fc(src1, src2, len, out);
}
void DspDotProdKernel32fc_Sse3(const float* src1, const float* src2, int32_t len, float* out)
{
    VmDot32fc(src1, src2, len, out);
}
void DspDotProdKernel64f_Sse3(const double* src1, const double* src2, int32_t len, double* out)
{
    VmDot64f(src1, src2, len, out);
}
void DspDotProdKernel64f64fc_Sse3(const double* src1, const double* src2, int32_t len, double* out)
{
    VmDot64f64fc(src1, src2, len, out);
}
void DspDotProdKernel64fc_Sse3(const double* src1, const double* src2, int32_t len, double* out)
{
    VmDot64fc(src1, src2, len, out);
}
void DspDotProdKernel32sScaled_Sse3(const int32_t* src1, const int32_t* src2, int32_t len,
                                    int32_t* out, const double* scale)
{
    VmDot32sScaled(src1, src2, len, out, scale);
}
void DspDotProdKernel32s32scScaled_Sse3(const int32_t* src1, const int32_t* src2, int32_t len,
                                        int32_t* out, const double* scale)
{
    VmDot32s32scScaled(src1, src2, len, out, scale);
}
void DspDotProdKernel32scScaled_Sse3(const int32_t* src1, const int32_t* src2, int32_t len,
                                     int32_t* out, const double* scale)
{
    VmDot32scScaled(src1, src2, len, out, scale);
}
void DspDotProdKernel16s32sScaled_Sse3(const int16_t* src1, const int32_t* src2, int32_t len,
                                       int32_t* out, const double* scale)
{
    VmDot16s32sScaled(src1, src2, len, out, scale);
}
void DspDotProdKernel16sTo64s_Sse3(const int16_t* src1, const int16_t* src2, int32_t len,
                                   int64_t* out)
{
    VmDot16sTo64s(src1, src2, len, out);
}
void DspDotProdKernel16sTo64sDirect_Sse3(const int16_t* src1, const int16_t* src2, int32_t len,
                                         int64_t* out)
{
    VmDot16sTo64sDirect(src1, src2, len, out);
}
void DspDotProdKernel16s16scTo64sc_Sse3(const int16_t* src1, const int16_t* src2, int32_t len,
                                        int64_t* out)
{
    VmDot16s16scTo64sc(src1, src2, len, out);
}
void DspDotProdKernel16scTo64sc_Sse3(const int16_t* src1, const int16_t* src2, int32_t len,
                                     int64_t* out)
{
    VmDot16scTo64sc(src1, src2, len, out);
}
