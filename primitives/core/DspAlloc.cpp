// Memory for the primitives comes from non-paged pool, because the processing
// paths that own it run at DISPATCH_LEVEL.
#include "primitives/core/DspAlloc.h"

#include <cstring>

#include "platform/kernel/kernel.h"

namespace
{
constexpr ULONG DspPoolTag = POOL_TAG("DSPL");
// The hook's pointer is kept in the 8 bytes before the block; 32 bytes of
// alignment slack plus those 8 make the raw block 40 bytes longer.
constexpr int64_t AlignSlack = 40;

void* NoAllocation()
{
    return nullptr;
}

void* Aligned(int64_t size)
{
    if (size < 1)
        return nullptr;
    const int64_t raw64 = size + AlignSlack;
    if (raw64 > static_cast<int64_t>(UINT32_MAX))
        return nullptr;
    void* raw = DspAllocHooks.Alloc(static_cast<uint32_t>(raw64));
    if (raw == nullptr)
        return nullptr;
    const uintptr_t block = (reinterpret_cast<uintptr_t>(raw) + 39) & ~static_cast<uintptr_t>(31);
    std::memcpy(reinterpret_cast<void*>(block - 8), &raw, sizeof raw);
    return reinterpret_cast<void*>(block);
}
} // namespace

const DspAllocHookTable DspAllocHooks = {DspPoolAlloc, DspPoolAllocArray, NoAllocation,
                                         DspPoolFree};

void* DspPoolAlloc(uint32_t size)
{
    return ExAllocatePoolWithTag(NonPagedPool, size, DspPoolTag);
}

void* DspPoolAllocArray(uint32_t count, uint32_t size)
{
    // The product is formed in 64 bits so a wrapped count never yields a short block.
    const uint64_t bytes = static_cast<uint64_t>(count) * size;
    return ExAllocatePoolWithTag(NonPagedPool, static_cast<SIZE_T>(bytes), DspPoolTag);
}

void DspPoolFree(void* block)
{
    ExFreePoolWithTag(block, DspPoolTag);
}

void* DspAllocAligned(int32_t size)
{
    return Aligned(size);
}

float* DspMalloc32f_Gen(int32_t len)
{
    if (len < 1)
        return nullptr;
    return static_cast<float*>(Aligned(static_cast<int64_t>(len) * 4));
}

void DspFree_Gen(void* block)
{
    if (block == nullptr)
        return;
    void* raw;
    std::memcpy(&raw, static_cast<unsigned char*>(block) - 8, sizeof raw);
    DspAllocHooks.Free(raw);
}
