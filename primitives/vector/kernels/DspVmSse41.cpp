// Vector math kernels of the SSE4.1 level (built with -msse4.1).
#include "primitives/vector/kernels/DspVmLevel.h"

DSP_VM_DEFINE_COMMON(Sse4)
DSP_VM_ENTRY_LEVEL(Sse4)
DSP_VM_DEFINE_LN(Sse4)
