// The FIR block filter, its initialisers and its kernels at the SSE4.x level
// (built with -msse4.1).
#include "primitives/filters/DspFirLevel.h"

DSP_FIR_LEVEL_DEFINE(Sse4)
