// Square-root, sum, mean, minimum, maximum and dot-product kernels of the
// SSE4.1 level (built with -msse4.1): the square root tests its blocks with
// ptest.
#include "primitives/vector/kernels/DspVmReduceLevel.h"

DSP_VM_REDUCE_DEFINE(Sse4, true, VmDotKernel32fSsse3)
