// The vector basics and interleave routines of processor level 1, built
// with SSE3 instructions.
#define DSP_LEVEL 1
#define DSP_LEVEL_NAME(name) name##_Sse3
#include "primitives/vector/DspVectorLevelKernels.h"
