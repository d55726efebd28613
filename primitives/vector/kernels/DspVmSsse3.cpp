// Vector math kernels of the SSSE3 level (built with -mssse3). The SSE4.1
// level calls this level's multiply kernel.
#include "primitives/vector/kernels/DspVmLevel.h"

DSP_VM_DEFINE_MUL(Ssse3)
DSP_VM_DEFINE_COMMON(Ssse3)
DSP_VM_ENTRY_LEVEL(Ssse3)
DSP_VM_DEFINE_LN(Ssse3)
