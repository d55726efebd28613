// FFT members of the SSE4.1 level (built with -msse4.1).
#include "primitives/fft/levels/DspFftLevelEntries.h"
#include "primitives/fft/levels/DspFftLevelSmall.h"
#include "primitives/vector/DspVector.h"

DSP_FFT_DEFINE_LEVEL(Sse4, 3)
DSP_FFT_DEFINE_SMALL_ORDER3(Sse4, true)
DSP_FFT_DEFINE_OUTER(Sse4)
