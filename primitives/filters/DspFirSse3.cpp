// The FIR block filter, its initialisers and its kernels at the SSE3 level
// (built with -msse3).
#include "primitives/filters/DspFirLevel.h"

DSP_FIR_LEVEL_DEFINE(Sse3)
