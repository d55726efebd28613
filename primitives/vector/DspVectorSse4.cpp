// The vector basics and interleave routines of processor level 3, built
// with SSE4.1 instructions.
#define DSP_LEVEL 3
#define DSP_LEVEL_NAME(name) name##_Sse4
#include "primitives/vector/DspVectorLevelKernels.h"
