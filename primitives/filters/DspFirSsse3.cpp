// The FIR block filter, its initialisers and its kernels at the SSSE3 level
// (built with -mssse3).
#include "primitives/filters/DspFirLevel.h"

DSP_FIR_LEVEL_DEFINE(Ssse3)
