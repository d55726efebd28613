// Shared pieces of the headphone engine: the reporter of broken preconditions,
// its block limits and its pool memory.
//
// The reporter does nothing
// by design: the engine runs at DISPATCH_LEVEL in the middle of a stream, so a
// report never stops it, and every caller goes on behind it with a value it
// can use safely.
#pragma once

#include <emmintrin.h>

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

// Element-wise block steps of the engine, four samples a vector and the rest
// one by one, each element rounded as the scalar expression in the comment.
// dst may be a source.
template <typename Vector, typename Scalar>
inline void QvrBlock2(const float* a, const float* b, float* dst, int32_t len, Vector vector,
                      Scalar scalar)
{
    int32_t i = 0;
    for (; i + 4 <= len; i += 4)
        _mm_storeu_ps(dst + i, vector(_mm_loadu_ps(a + i), _mm_loadu_ps(b + i)));
    for (; i < len; ++i)
        dst[i] = scalar(a[i], b[i]);
}

// dst = a + b
inline void QvrAdd(const float* a, const float* b, float* dst, int32_t len)
{
    QvrBlock2(
        a, b, dst, len, [](__m128 x, __m128 y) { return _mm_add_ps(x, y); },
        [](float x, float y) { return x + y; });
}

// dst = value + src
inline void QvrAddConst(float value, const float* src, float* dst, int32_t len)
{
    const __m128 v = _mm_set1_ps(value);
    QvrBlock2(
        src, src, dst, len, [v](__m128 x, __m128) { return _mm_add_ps(v, x); },
        [value](float x, float) { return value + x; });
}

// dst = src * value
inline void QvrMulConst(const float* src, float value, float* dst, int32_t len)
{
    const __m128 v = _mm_set1_ps(value);
    QvrBlock2(
        src, src, dst, len, [v](__m128 x, __m128) { return _mm_mul_ps(x, v); },
        [value](float x, float) { return x * value; });
}
