// FFT kernel variants of the SSSE3 level (built with -mssse3).
#include "primitives/fft/variants/DspFftCombine8Kernels.h"
#include "primitives/fft/variants/DspFftSplitKernels.h"
#include "primitives/fft/variants/DspFftSub4Kernels.h"

DSP_FFT_DEFINE_SPLIT(Ssse3, 2)
DSP_FFT_DEFINE_SUB4(Ssse3, 2)
DSP_FFT_DEFINE_COMBINE8(Ssse3)
