#include "primitives/fft/DspFftCoreBridge.h"

#include <cstring>

#include "platform/kernel/kernel.h"

namespace DspFftCore
{
// Same block layout as the library's aligned allocation: the raw pointer sits
// in the 8 bytes before the 32-byte aligned block.
void* AllocAligned(int32_t bytes)
{
    if (bytes < 1)
    {
        return nullptr;
    }
    auto* raw = static_cast<uint8_t*>(
        ExAllocatePoolWithTag(NonPagedPoolNx, static_cast<SIZE_T>(bytes) + 40, POOL_TAG("DSPL")));
    if (raw == nullptr)
    {
        return nullptr;
    }
    auto block = (reinterpret_cast<uintptr_t>(raw) + 39) & ~static_cast<uintptr_t>(31);
    reinterpret_cast<void**>(block)[-1] = raw;
    return reinterpret_cast<void*>(block);
}

void Free(void* block)
{
    if (block != nullptr)
    {
        ExFreePoolWithTag(static_cast<void**>(block)[-1], POOL_TAG("DSPL"));
    }
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
