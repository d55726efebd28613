// FFT members of the SSE3 level (built with -msse3).
#include "primitives/fft/levels/DspFftLevelEntries.h"
#include "primitives/fft/levels/DspFftLevelSmall.h"
#include "primitives/vector/DspVector.h"

DSP_FFT_DEFINE_LEVEL(Sse3, 1)
DSP_FFT_DEFINE_SMALL_ORDER3(Sse3, false)
DSP_FFT_DEFINE_SMALL_SHARED(Sse3)
DSP_FFT_DEFINE_OUTER(Sse3)
