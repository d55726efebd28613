// Element multiply and square of 32-bit floats, shared by the per-level
// kernel files. Both compute plain IEEE products in the caller's rounding
// mode, so every phase (prologue, blocks, tail) gives the same result and the
// alignment decides only the load and store forms.
#pragma once

#include "primitives/vector/kernels/DspVmSimd.h"

namespace
{
template <class L1, class L2, class S>
int32_t VmMulBlocks(const float* s1, const float* s2, float* d, int32_t i, int32_t len)
{
    for (; i + 8 <= len; i += 8)
    {
        S::Put(d + i, _mm_mul_ps(L1::Get(s1 + i), L2::Get(s2 + i)));
        S::Put(d + i + 4, _mm_mul_ps(L1::Get(s1 + i + 4), L2::Get(s2 + i + 4)));
    }
    return i;
}

// Below 11 elements one at a time; otherwise single elements until the
// destination is 16-byte aligned (when it can be), blocks of 8, and the rest
// one at a time.
[[gnu::always_inline]] inline void VmMulKernel32f(const float* s1, const float* s2, float* d,
                                                  int32_t len)
{
    int32_t i = 0;
    if (len >= 11)
    {
        if ((VmAddr(d) & 3) != 0)
            i = VmMulBlocks<VmLoadUnaligned, VmLoadUnaligned, VmStoreUnaligned>(s1, s2, d, 0, len);
        else
        {
            const int32_t head = static_cast<int32_t>(((16 - (VmAddr(d) & 15)) / 4) & 3);
            for (; i < head; ++i)
                d[i] = s1[i] * s2[i];
            const bool a1 = (VmAddr(s1 + i) & 15) == 0, a2 = (VmAddr(s2 + i) & 15) == 0;
            if (a1 && a2)
                i = VmMulBlocks<VmLoadAligned, VmLoadAligned, VmStoreAligned>(s1, s2, d, i, len);
            else if (a1)
                i = VmMulBlocks<VmLoadAligned, VmLoadUnaligned, VmStoreAligned>(s1, s2, d, i, len);
            else if (a2)
                i = VmMulBlocks<VmLoadUnaligned, VmLoadAligned, VmStoreAligned>(s1, s2, d, i, len);
            else
                i = VmMulBlocks<VmLoadUnaligned, VmLoadUnaligned, VmStoreAligned>(s1, s2, d, i,
                                                                                  len);
        }
    }
    for (; i < len; ++i)
        d[i] = s1[i] * s2[i];
}

template <class L, class S> int32_t VmSqrBlocks(const float* s, float* d, int32_t i, int32_t len)
{
    for (; i + 8 <= len; i += 8)
    {
        const __m128 a = L::Get(s + i), b = L::Get(s + i + 4);
        S::Put(d + i, _mm_mul_ps(a, a));
        S::Put(d + i + 4, _mm_mul_ps(b, b));
    }
    return i;
}

// Single elements while the destination has bit 2 or 3 set, blocks of 8,
// then a tail of 4, 2 and 1.
[[gnu::always_inline]] inline void VmSqrKernel32f(const float* s, float* d, int32_t len)
{
    int32_t i = 0;
    for (; i < len && (VmAddr(d + i) & 12) != 0; ++i)
        d[i] = s[i] * s[i];
    if ((VmAddr(d + i) & 15) != 0)
        i = VmSqrBlocks<VmLoadUnaligned, VmStoreUnaligned>(s, d, i, len);
    else if ((VmAddr(s + i) & 15) == 0)
        i = VmSqrBlocks<VmLoadAligned, VmStoreAligned>(s, d, i, len);
    else if ((VmAddr(s + i) & 7) == 0)
        i = VmSqrBlocks<VmLoadUnaligned, VmStoreAligned>(s, d, i, len);
    else
        i = VmSqrBlocks<VmLoadDq, VmStoreAligned>(s, d, i, len);
    if (len - i >= 4)
    {
        const __m128 a = _mm_loadu_ps(s + i);
        _mm_storeu_ps(d + i, _mm_mul_ps(a, a));
        i += 4;
    }
    if (len - i >= 2)
    {
        const __m128 a = VmLoadPartial(s + i, 2);
        VmStorePartial(d + i, _mm_mul_ps(a, a), 2);
        i += 2;
    }
    if (i < len)
        d[i] = s[i] * s[i];
}
} // namespace
