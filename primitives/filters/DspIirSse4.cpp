// The IIR filter and its float kernels at the SSE4.x level (built with
// -msse4.1); its state size is the SSSE3 level's, the tables being the same.
#include "primitives/filters/DspIirLevel.h"
#include "primitives/filters/DspIirTypesLevel.h"

DSP_IIR_DEFINE_LEVEL(Sse4)
DSP_IIR_TYPES_DEFINE(Sse4)
