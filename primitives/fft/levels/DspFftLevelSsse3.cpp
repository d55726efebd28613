// FFT members of the SSSE3 level (built with -mssse3).
#include "primitives/fft/levels/DspFftLevelEntries.h"
#include "primitives/fft/levels/DspFftLevelSmall.h"
#include "primitives/vector/DspVector.h"

DSP_FFT_DEFINE_LEVEL(Ssse3, 2)
DSP_FFT_DEFINE_SMALL_ORDER3(Ssse3, false)
DSP_FFT_DEFINE_SMALL_SHARED(Ssse3)
DSP_FFT_DEFINE_OUTER(Ssse3)
