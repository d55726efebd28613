// Vector math kernels of the SSE3 level (built with -msse3).
#include "primitives/vector/kernels/DspVmLevel.h"

DSP_VM_DEFINE_MUL(Sse3)
DSP_VM_DEFINE_COMMON(Sse3)
DSP_VM_ENTRY_LEVEL(Sse3)

// The SSE3 level's logarithm object: the same kernels under this level's
// names and 32-bit lengths.
int32_t DspLnKernel32f_Sse3(float* srcDst, int32_t len, uint8_t* work)
{
    return static_cast<int32_t>(VmLnKernel32f(srcDst, len, work));
}
int32_t DspLnKernel32fOut_Sse3(const float* src, float* dst, int32_t len, uint8_t* work)
{
    return static_cast<int32_t>(VmLnKernelOut32f(src, dst, len, work));
}
int32_t DspLnKernel64fOut_Sse3(const double* src, double* dst, int32_t len)
{
    return static_cast<int32_t>(VmLnKernel64f(src, dst, len));
}
int32_t DspLnKernel64fTo32f_Sse3(const double* src, float* dst, int32_t len)
{
    return static_cast<int32_t>(VmLnKernel64f(src, dst, len));
}
void DspScaleFactorToFloat_Sse3(int32_t scaleFactor, float* out)
{
    *out = DspScaleFactor<float>(scaleFactor);
}
int32_t DspLnKernel32sScaledOut_Sse3(const int32_t* src, int32_t* dst, int32_t len,
                                     const float* scale, uint8_t* work)
{
    return static_cast<int32_t>(VmLnKernel32sScaled(src, dst, len, scale, work));
}
int32_t DspLnKernel32sScaled_Sse3(int32_t* srcDst, int32_t len, const float* scale, uint8_t* work)
{
    return static_cast<int32_t>(VmLnKernelInPlace32sScaled(srcDst, len, scale, work));
}
int32_t DspLnKernel32sTo16sScaled_Sse3(const int32_t* src, int16_t* dst, int32_t len,
                                       int32_t scaleFactor, uint8_t* work)
{
    return static_cast<int32_t>(VmLnKernel32sTo16sScaled(src, dst, len, scaleFactor, work));
}
int32_t DspLnKernel16sScaledOut_Sse3(const int16_t* src, int16_t* dst, int32_t len,
                                     int32_t scaleFactor, uint8_t* work)
{
    return static_cast<int32_t>(VmLnKernel16sScaled(src, dst, len, scaleFactor, work));
}
int32_t DspLnKernel16sScaled_Sse3(int16_t* srcDst, int32_t len, int32_t scaleFactor, uint8_t* work)
{
    return static_cast<int32_t>(VmLnKernelInPlace16sScaled(srcDst, len, scaleFactor, work));
}
