// The one-sample FIR and its kernel at the Sse3 level (built with -msse3).
#include "primitives/filters/DspFirOneLevel.h"

DSP_FIR_ONE_DEFINE_LEVEL(Sse3)
