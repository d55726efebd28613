// FFT kernel variants of the SSE3 level (built with -msse3).
#include "primitives/fft/variants/DspFftSplitKernels.h"

DSP_FFT_DEFINE_SPLIT(Sse3, 1)
