// Square-root, sum, mean, minimum, maximum and dot-product kernels of the
// SSSE3 level (built with -mssse3): the dot product realigns a misaligned
// source with palignr.
#include "primitives/vector/kernels/DspVmReduceLevel.h"

DSP_VM_REDUCE_DEFINE(Ssse3, false, VmDotKernel32fSsse3)
