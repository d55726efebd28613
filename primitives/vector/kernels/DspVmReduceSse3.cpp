// Square-root, sum, mean, minimum, maximum and dot-product kernels of the
// SSE3 level (built with -msse3).
#include "primitives/vector/kernels/DspVmReduceLevel.h"

DSP_VM_REDUCE_DEFINE(Sse3, false, VmDotKernel32fSse3)
