// FFT kernel variants of the SSE4.1 level (built with -msse4.1); the same
// code as the SSSE3 level.
#include "primitives/fft/variants/DspFftCombine8Kernels.h"
#include "primitives/fft/variants/DspFftSplitKernels.h"
#include "primitives/fft/variants/DspFftSub4Kernels.h"

DSP_FFT_DEFINE_SPLIT(Sse4, 3)
DSP_FFT_DEFINE_SUB4(Sse4, 3)
DSP_FFT_DEFINE_COMBINE8(Sse4)
