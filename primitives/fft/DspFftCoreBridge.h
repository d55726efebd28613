// The few core services the FFT and filter families lean on: aligned blocks
// from the allocation hooks and the generic vector scale, zero, copy and move.
// Kept behind one small seam so the families call the generic members
// directly, never through the dispatch tables.
#pragma once

#include <cstdint>

#include "primitives/core/DspStatus.h"

namespace DspFftCore
{
void* AllocAligned(int32_t bytes);
void Free(void* block);
void MulConstInPlace(float value, float* srcDst, int32_t len);
void Zero(float* dst, int32_t len);
void Copy(const float* src, float* dst, int32_t len);
void Move(const float* src, float* dst, int32_t len);
} // namespace DspFftCore
