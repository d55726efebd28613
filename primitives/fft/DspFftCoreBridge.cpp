#include "primitives/fft/DspFftCoreBridge.h"

#include "primitives/core/DspAlloc.h"
#include "primitives/vector/DspVector.h"

// The families call the generic members directly: a level's routine calls
// the routines of its own level, and only level 0 is built here.
namespace DspFftCore
{
void* AllocAligned(int32_t bytes)
{
    return DspAllocAligned(bytes);
}

void Free(void* block)
{
    DspFree_Gen(block);
}

void MulConstInPlace(float value, float* srcDst, int32_t len)
{
    DspMulConstInPlace32f_Gen(value, srcDst, len);
}

void Zero(float* dst, int32_t len)
{
    DspZero32f_Gen(dst, len);
}

void Copy(const float* src, float* dst, int32_t len)
{
    DspCopy32f_Gen(src, dst, len);
}

void Move(const float* src, float* dst, int32_t len)
{
    DspMove32f_Gen(src, dst, len);
}
} // namespace DspFftCore
