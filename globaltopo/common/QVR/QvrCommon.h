// Shared pieces of the headphone engine: the reporter of broken preconditions,
// its block limits and its pool memory.
//
// The reporter does nothing
// by design: the engine runs at DISPATCH_LEVEL in the middle of a stream, so a
// report never stops it, and every caller goes on behind it with a value it
// can use safely.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/kernel/kernel.h"

void QvrAssert(const char* expression, const char* file, int line);

// Reports expression when ok is false; returns ok so callers can branch on it.
inline bool QvrCheck(bool ok, const char* expression, const char* file, int line)
{
    if (!ok)
        QvrAssert(expression, file, line);
    return ok;
}

// The longest block any filter run of the engine takes.
inline constexpr int32_t EachChannelSampleCntMax = 1024;
// Block and partition length of the headphone filter.
inline constexpr int32_t HEADPHONEFIR_N = 512;
// Channel tables of the engine hold this many entries.
inline constexpr int32_t QVR_MAX_CHANNELS = 8;

inline constexpr ULONG QVR_POOL_TAG = POOL_TAG("QVRP");

// Zeroed float buffers from non-paged pool under the engine's tag; null when
// the pool is exhausted.
float* QvrAllocFloats(int32_t count);
void QvrFreeFloats(float*& buffer);

// Engine objects live in non-paged pool, zeroed before their constructor runs.
// A failed allocation yields null (the new-expression then constructs
// nothing), which every owner checks.
class CQvrPoolObject
{
  public:
    static void* operator new(size_t size) noexcept;
    static void* operator new(size_t size, POOL_TYPE poolType, ULONG tag) noexcept;
    static void operator delete(void* p);
    static void operator delete(void* p, POOL_TYPE, ULONG) { operator delete(p); }
};
