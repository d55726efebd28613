// The one-sample FIR and its kernel at the Ssse3 level (built with -mssse3).
#include "primitives/filters/DspFirOneLevel.h"

DSP_FIR_ONE_DEFINE_LEVEL(Ssse3)
