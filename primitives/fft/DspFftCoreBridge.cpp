#include "primitives/fft/DspFftCoreBridge.h"

#include <cstring>

#include "primitives/core/DspAlloc.h"

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
    for (int32_t i = 0; i < len; ++i)
    {
        srcDst[i] *= value;
    }
}

void Zero(float* dst, int32_t len)
{
    if (len > 0)
    {
        memset(dst, 0, static_cast<size_t>(len) * sizeof(float));
    }
}

void Copy(const float* src, float* dst, int32_t len)
{
    if (len > 0)
    {
        memcpy(dst, src, static_cast<size_t>(len) * sizeof(float));
    }
}

void Move(const float* src, float* dst, int32_t len)
{
    if (len > 0)
    {
        memmove(dst, src, static_cast<size_t>(len) * sizeof(float));
    }
}
} // namespace DspFftCore
