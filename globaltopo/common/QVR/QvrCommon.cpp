#include "globaltopo/common/QVR/QvrCommon.h"

#include <cstring>

void QvrAssert(const char* expression, const char* file, int line)
{
    (void)expression;
    (void)file;
    (void)line;
}

float* QvrAllocFloats(int32_t count)
{
    if (count < 1)
        return nullptr;
    const SIZE_T bytes = (SIZE_T)count * sizeof(float);
    void* block = ExAllocatePoolWithTag(NonPagedPool, bytes, QVR_POOL_TAG);
    if (block != nullptr)
        memset(block, 0, bytes);
    return static_cast<float*>(block);
}

void QvrFreeFloats(float*& buffer)
{
    if (buffer != nullptr)
        ExFreePoolWithTag(buffer, QVR_POOL_TAG);
    buffer = nullptr;
}

void* CQvrPoolObject::operator new(size_t size) noexcept
{
    return operator new(size, NonPagedPool, QVR_POOL_TAG);
}

void* CQvrPoolObject::operator new(size_t size, POOL_TYPE poolType, ULONG tag) noexcept
{
    void* block = ExAllocatePoolWithTag(poolType, size, tag);
    if (block != nullptr)
        memset(block, 0, size);
    return block;
}

void CQvrPoolObject::operator delete(void* p)
{
    if (p != nullptr)
        ExFreePool(p);
}
