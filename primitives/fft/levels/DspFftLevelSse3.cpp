// FFT members of the SSE3 level (built with -msse3).
#include "primitives/fft/levels/DspFftLevelEntries.h"
#include "primitives/vector/DspVector.h"

DSP_FFT_DEFINE_LEVEL(Sse3, 1)
