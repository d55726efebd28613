// The IIR filter and its float kernels at the SSE3 level (built with -msse3).
#include "primitives/filters/DspIirLevel.h"
#include "primitives/filters/DspIirTypesLevel.h"

DSP_IIR_DEFINE_LEVEL(Sse3)
DSP_IIR_DEFINE_SIZE(Sse3)
DSP_IIR_TYPES_DEFINE(Sse3)
