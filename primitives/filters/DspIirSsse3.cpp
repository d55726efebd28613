// The IIR filter and its float kernels at the SSSE3 level (built with -mssse3).
#include "primitives/filters/DspIirLevel.h"
#include "primitives/filters/DspIirTypesLevel.h"

DSP_IIR_DEFINE_LEVEL(Ssse3)
DSP_IIR_DEFINE_SIZE(Ssse3)
DSP_IIR_TYPES_DEFINE(Ssse3)
