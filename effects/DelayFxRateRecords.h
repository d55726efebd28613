// Parameter records of the delay engine, one per supported sample rate, and
// the number of memory cells the network uses at each. Both tables are indexed
// by the engine's rate index; slots without a record hold null and 0.
#pragma once

#include <cstdint>

inline constexpr int32_t DelayFxRateSlots = 18;

extern const float* const DelayFxRateRecords[DelayFxRateSlots];
extern const int32_t DelayFxMemoryLengths[DelayFxRateSlots];
