// The library's allocation hooks and its 32-byte aligned blocks.
#pragma once

#include <cstdint>

#include "primitives/dsp.h"

// Slot order: allocate (size), allocate (count, size), a slot that always
// returns null, free. The library itself uses slots 0 and 3.
struct DspAllocHookTable
{
    void* (*Alloc)(uint32_t size);
    void* (*AllocArray)(uint32_t count, uint32_t size);
    void* (*Reserved)();
    void (*Free)(void* block);
};
extern const DspAllocHookTable DspAllocHooks;

void* DspPoolAlloc(uint32_t size);
void* DspPoolAllocArray(uint32_t count, uint32_t size);
void DspPoolFree(void* block);

float* DspMalloc32f_Gen(int32_t len);
void DspFree_Gen(void* block);
