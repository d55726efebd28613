// FFT members of the SSE4.1 level (built with -msse4.1).
#include "primitives/fft/levels/DspFftLevelEntries.h"
#include "primitives/vector/DspVector.h"

DSP_FFT_DEFINE_LEVEL(Sse4, 3)
