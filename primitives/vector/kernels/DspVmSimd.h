// Building blocks shared by the vector math kernels of every level: load and
// store forms chosen once per call by alignment, and partial vectors of one
// to three elements. Included only by the per-level kernel files, each built
// with its own instruction set; everything here has internal linkage so that
// no level's code can stand in for another's.
#pragma once

#include <pmmintrin.h>

#include <cstdint>
#include <bit>
#include <cstring>

// For the loop helpers of a kernel that takes its state by reference: once
// inlined, that state lives in registers instead of memory.
#define DSP_VM_INLINE [[gnu::always_inline]] inline

namespace
{
inline uintptr_t VmAddr(const void* p)
{
    return reinterpret_cast<uintptr_t>(p);
}

inline __m128 VmSplat(uint32_t bits)
{
    return _mm_castsi128_ps(_mm_set1_epi32(static_cast<int32_t>(bits)));
}

struct VmLoadAligned
{
    static __m128 Get(const float* p) { return _mm_load_ps(p); }
};
struct VmLoadUnaligned
{
    static __m128 Get(const float* p) { return _mm_loadu_ps(p); }
};
// The SSE3 unaligned load for sources not even 8-byte aligned.
struct VmLoadDq
{
    static __m128 Get(const float* p)
    {
        return _mm_castsi128_ps(_mm_lddqu_si128(reinterpret_cast<const __m128i*>(p)));
    }
};
struct VmStoreAligned
{
    static void Put(float* p, __m128 v) { _mm_store_ps(p, v); }
};
struct VmStoreUnaligned
{
    static void Put(float* p, __m128 v) { _mm_storeu_ps(p, v); }
};

// One to three elements into four lanes, the loaded ones repeated:
// (x0 x0 x0 x0), (x0 x1 x0 x1), (x0 x1 x2 x2).
inline __m128 VmLoadPartial(const float* p, int64_t count)
{
    if (count == 1)
        return _mm_set1_ps(p[0]);
    const __m128 pair = _mm_loadl_pi(_mm_setzero_ps(), reinterpret_cast<const __m64*>(p));
    if (count == 2)
        return _mm_movelh_ps(pair, pair);
    return _mm_movelh_ps(pair, _mm_set1_ps(p[2]));
}

// Writes exactly `count` (1 to 4) lanes, with 8-byte and 4-byte stores.
inline void VmStorePartial(float* p, __m128 v, int64_t count)
{
    if (count >= 2)
        _mm_storel_pi(reinterpret_cast<__m64*>(p), v);
    if (count == 4)
        _mm_storeh_pi(reinterpret_cast<__m64*>(p + 2), v);
    else if (count == 3)
        _mm_store_ss(p + 2, _mm_movehl_ps(v, v));
    else if (count == 1)
        _mm_store_ss(p, v);
}
} // namespace
