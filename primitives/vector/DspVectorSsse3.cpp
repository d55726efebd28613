// The vector basics and interleave routines of processor level 2, built
// with SSSE3 instructions.
#define DSP_LEVEL 2
#define DSP_LEVEL_NAME(name) name##_Ssse3
#include "primitives/vector/DspVectorLevelKernels.h"
