// The one-sample FIR and its kernel at the Sse4 level (built with -msse4.1).
#include "primitives/filters/DspFirOneLevel.h"

DSP_FIR_ONE_DEFINE_LEVEL(Sse4)
