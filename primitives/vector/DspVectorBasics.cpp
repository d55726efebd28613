// Vector basics of the generic level: clear, fill, copy, move, constant
// arithmetic and in-place add and multiply. Byte counts are formed from the
// element counts in 64 bits, so every length a caller can pass is honoured in
// full.
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <bit>
#include <cstring>

#include "primitives/vector/DspVector.h"

namespace
{
inline uintptr_t Addr(const void* p)
{
    return reinterpret_cast<uintptr_t>(p);
}

inline int64_t Bytes(int32_t len)
{
    return static_cast<int64_t>(len) * 4;
}

// Bytes up to the next 16-byte boundary (0..15).
inline int64_t ToBoundary16(const void* p)
{
    return static_cast<int64_t>((16 - (Addr(p) & 15)) & 15);
}

inline bool RangesOverlap(const void* a, const void* b, int64_t n)
{
    const uintptr_t pa = Addr(a), pb = Addr(b);
    const uintptr_t d = pa > pb ? pa - pb : pb - pa;
    return d < static_cast<uintptr_t>(n);
}

void CopyBytesForward(const uint8_t* s, uint8_t* d, int64_t n)
{
    for (int64_t i = 0; i < n; ++i)
        d[i] = s[i];
}

// 32 bytes, loaded whole before any is stored.
inline void CopyPass32(const uint8_t* s, uint8_t* d)
{
#if defined(__SSE2__)
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 16));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(d), a);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(d + 16), b);
#else
    uint32_t w[8];
    std::memcpy(w, s, 32);
    std::memcpy(d, w, 32);
#endif
}

// Elements from 0 times value in blocks of 16, four independent products per
// block's quarter; returns where it stopped. Each product is the scalar
// loop's single multiply, so the results are the same bits.
int32_t MulConstBlocks(float value, float* v, int32_t len)
{
    int32_t i = 0;
#if defined(__SSE2__)
    const __m128 f = _mm_set1_ps(value);
    for (; i + 16 <= len; i += 16)
    {
        const __m128 a = _mm_mul_ps(_mm_loadu_ps(v + i), f);
        const __m128 b = _mm_mul_ps(_mm_loadu_ps(v + i + 4), f);
        const __m128 c = _mm_mul_ps(_mm_loadu_ps(v + i + 8), f);
        const __m128 d = _mm_mul_ps(_mm_loadu_ps(v + i + 12), f);
        _mm_storeu_ps(v + i, a);
        _mm_storeu_ps(v + i + 4, b);
        _mm_storeu_ps(v + i + 8, c);
        _mm_storeu_ps(v + i + 12, d);
    }
#else
    (void)value;
    (void)v;
    (void)len;
#endif
    return i;
}
} // namespace

// ---- kernels
void* DspZeroBytesKernel_Gen(void* dst, int64_t n)
{
    uint8_t* d = static_cast<uint8_t*>(dst);
    if (n < 1)
        return dst;
    while (n > 0 && (Addr(d) & 3) != 0)
    {
        *d++ = 0;
        --n;
    }
    // 32-byte passes of word stores.
    const int64_t passes = n & ~static_cast<int64_t>(31);
    const uint32_t zero = 0;
    for (int64_t i = 0; i < passes; i += 4)
        std::memcpy(d + i, &zero, 4);
    d += passes;
    int64_t t = n - passes;
    const int64_t h = ToBoundary16(d);
    if (t >= h + 16)
    {
        std::memset(d, 0, static_cast<size_t>(h));
        d += h;
        t -= h;
        const uint8_t block[16] = {};
        for (; t >= 16; t -= 16, d += 16)
            std::memcpy(d, block, 16);
    }
    for (int64_t i = 0; i < t; ++i)
        d[i] = 0;
    return dst;
}

void DspSetKernel32f_Gen(uint32_t pattern, void* dst, int64_t count)
{
    uint8_t* d = static_cast<uint8_t*>(dst);
    for (int64_t i = 0; i < count; ++i)
        std::memcpy(d + 4 * i, &pattern, 4);
}

void* DspCopyBytesKernel_Gen(const void* src, void* dst, int64_t n)
{
    const uint8_t* s = static_cast<const uint8_t*>(src);
    uint8_t* d = static_cast<uint8_t*>(dst);
    if (n < 1)
        return dst;
    while (n > 0 && (Addr(d) & 3) != 0)
    {
        *d++ = *s++;
        --n;
    }
    // 32-byte passes, each loaded whole before it is stored.
    const int64_t passes = n & ~static_cast<int64_t>(31);
    for (int64_t i = 0; i < passes; i += 32)
        CopyPass32(s + i, d + i);
    s += passes;
    d += passes;
    int64_t t = n - passes;
    if (t <= 6 || RangesOverlap(s, d, t + 1))
    {
        CopyBytesForward(s, d, t);
        return dst;
    }
    const int64_t h = ToBoundary16(d);
    if (t < h + 16)
    {
        CopyBytesForward(s, d, t);
        return dst;
    }
    CopyBytesForward(s, d, h);
    s += h;
    d += h;
    t -= h;
    for (; t >= 16; t -= 16, s += 16, d += 16)
    {
        uint8_t block[16];
        std::memcpy(block, s, 16);
        std::memcpy(d, block, 16);
    }
    CopyBytesForward(s, d, t);
    return dst;
}

// ---- routines
DspStatus DspZero32f_Gen(float* dst, int32_t len)
{
    if (dst == nullptr)
        return DspStsNullPtrErr;
    if (len < 1)
        return DspStsSizeErr;
    DspZeroBytesKernel_Gen(dst, Bytes(len));
    return DspStsNoErr;
}

DspStatus DspSet32f_Gen(float value, float* dst, int32_t len)
{
    if (dst == nullptr)
        return DspStsNullPtrErr;
    if (len < 1)
        return DspStsSizeErr;
    DspSetKernel32f_Gen(std::bit_cast<uint32_t>(value), dst, len);
    return DspStsNoErr;
}

DspStatus DspSet32s_Gen(int32_t value, int32_t* dst, int32_t len)
{
    if (dst == nullptr)
        return DspStsNullPtrErr;
    if (len < 1)
        return DspStsSizeErr;
    DspSetKernel32f_Gen(static_cast<uint32_t>(value), dst, len);
    return DspStsNoErr;
}

DspStatus DspCopy32f_Gen(const float* src, float* dst, int32_t len)
{
    if (src == nullptr || dst == nullptr)
        return DspStsNullPtrErr;
    if (len < 1)
        return DspStsSizeErr;
    DspCopyBytesKernel_Gen(src, dst, Bytes(len));
    return DspStsNoErr;
}

// A source less than one element above the destination is moved too: the
// element distance alone would read as zero there and leave the data behind.
DspStatus DspMove32f_Gen(const float* src, float* dst, int32_t len)
{
    if (src == nullptr || dst == nullptr)
        return DspStsNullPtrErr;
    if (len < 1)
        return DspStsSizeErr;
    if (src == dst)
        return DspStsNoErr;
    const int64_t n = Bytes(len);
    const uint8_t* s = reinterpret_cast<const uint8_t*>(src);
    uint8_t* d = reinterpret_cast<uint8_t*>(dst);
    if (Addr(s) > Addr(d))
    {
        if (n <= 6 || Addr(s) - Addr(d) <= static_cast<uintptr_t>(n))
        {
            CopyBytesForward(s, d, n);
            return DspStsNoErr;
        }
        DspCopyBytesKernel_Gen(s, d, n); // apart: a plain copy
        return DspStsNoErr;
    }
    if (n <= 6 || Addr(d) - Addr(s) <= static_cast<uintptr_t>(n))
    {
        for (int64_t i = n - 1; i >= 0; --i)
            d[i] = s[i];
        return DspStsNoErr;
    }
    CopyBytesForward(s, d, n);
    return DspStsNoErr;
}

DspStatus DspMulConstInPlace32f_Gen(float value, float* srcDst, int32_t len)
{
    if (srcDst == nullptr)
        return DspStsNullPtrErr;
    if (len < 1)
        return DspStsSizeErr;
    if (value == 1.0f)
        return DspStsNoErr;
    if (value == 0.0f)
        return DspZero32f_Gen(srcDst, len);
    for (int32_t i = MulConstBlocks(value, srcDst, len); i < len; ++i)
        srcDst[i] = srcDst[i] * value;
    return DspStsNoErr;
}

DspStatus DspMulConst32f_Gen(const float* src, float value, float* dst, int32_t len)
{
    if (src == nullptr || dst == nullptr)
        return DspStsNullPtrErr;
    if (len < 1)
        return DspStsSizeErr;
    if (value == 1.0f)
        return DspCopy32f_Gen(src, dst, len);
    if (value == 0.0f)
        return DspZero32f_Gen(dst, len);
    if (src == dst)
    {
        for (int32_t i = 0; i < len; ++i)
            dst[i] = dst[i] * value;
        return DspStsNoErr;
    }
    for (int32_t i = 0; i < len; ++i)
        dst[i] = src[i] * value;
    return DspStsNoErr;
}

DspStatus DspDivConstInPlace32f_Gen(float value, float* srcDst, int32_t len)
{
    if (srcDst == nullptr)
        return DspStsNullPtrErr;
    if (len < 1)
        return DspStsSizeErr;
    if (value == 0.0f)
        return DspStsDivByZeroErr;
    // The reciprocal in single precision, then the multiply with its shortcuts.
    const float reciprocal = 1.0f / value;
    return DspMulConst32f_Gen(srcDst, reciprocal, srcDst, len);
}

DspStatus DspAddConstInPlace32f_Gen(float value, float* srcDst, int32_t len)
{
    if (srcDst == nullptr)
        return DspStsNullPtrErr;
    if (len < 1)
        return DspStsSizeErr;
    if (value == 0.0f)
        return DspStsNoErr;
    for (int32_t i = 0; i < len; ++i)
        srcDst[i] = srcDst[i] + value;
    return DspStsNoErr;
}

DspStatus DspAddInPlace32f_Gen(const float* src, float* srcDst, int32_t len)
{
    if (src == nullptr || srcDst == nullptr)
        return DspStsNullPtrErr;
    if (len < 1)
        return DspStsSizeErr;
    for (int32_t i = 0; i < len; ++i)
        srcDst[i] = src[i] + srcDst[i];
    return DspStsNoErr;
}

DspStatus DspMulInPlace32f_Gen(const float* src, float* srcDst, int32_t len)
{
    if (src == nullptr || srcDst == nullptr)
        return DspStsNullPtrErr;
    if (len < 1)
        return DspStsSizeErr;
    for (int32_t i = 0; i < len; ++i)
        srcDst[i] = src[i] * srcDst[i];
    return DspStsNoErr;
}
