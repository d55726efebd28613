// Element-wise math and reductions of the generic level: square root,
// absolute value, largest and smallest element, sum, difference, products,
// quotient, exponential, logarithm, sums and means, element-wise minimum and
// maximum, dot product.
#include <bit>
#include <cmath>

#include "primitives/vector/DspVector.h"

namespace
{
inline uintptr_t Addr(const void* p)
{
    return reinterpret_cast<uintptr_t>(p);
}

// The running value takes an element only when the element compares greater
// (smaller): NaN elements never replace it.
struct Greater
{
    static bool Takes(float x, float m) { return x > m; }
};
struct Less
{
    static bool Takes(float x, float m) { return x < m; }
};

template <class Cmp> float Extreme(const float* src, int32_t len)
{
    float m = src[0];
    const uintptr_t a = Addr(src) & 15;
    const int32_t p = a != 0 ? static_cast<int32_t>((16 - a) / 4) : 0;
    if ((a & 3) != 0 || len < p + 8)
    {
        for (int32_t i = 0; i < len; ++i)
            if (Cmp::Takes(src[i], m))
                m = src[i];
        return m;
    }
    for (int32_t i = 0; i < p; ++i)
        if (Cmp::Takes(src[i], m))
            m = src[i];
    const int32_t e = len - (len - p) % 8;
    // Four lanes, each the running value of every fourth element.
    float lane[4] = {m, m, m, m};
    for (int32_t i = p; i < e; i += 8)
    {
        for (int j = 0; j < 4; ++j)
            if (Cmp::Takes(src[i + j], lane[j]))
                lane[j] = src[i + j];
        for (int j = 0; j < 4; ++j)
            if (Cmp::Takes(src[i + 4 + j], lane[j]))
                lane[j] = src[i + 4 + j];
    }
    const float t0 = Cmp::Takes(lane[0], lane[2]) ? lane[0] : lane[2];
    const float t1 = Cmp::Takes(lane[1], lane[3]) ? lane[1] : lane[3];
    m = Cmp::Takes(t0, t1) ? t0 : t1;
    for (int32_t i = e; i < len; ++i)
        if (Cmp::Takes(src[i], m))
            m = src[i];
    return m;
}

// Sum in double: elements 4k and 4k+2 in one sum, 4k+1 and 4k+3 in another.
double DoubleSum(const float* src, int32_t len)
{
    double s0 = 0.0, s1 = 0.0;
    int32_t i = 0;
    for (; i + 4 <= len; i += 4)
    {
        s0 += static_cast<double>(src[i]);
        s1 += static_cast<double>(src[i + 1]);
        s0 += static_cast<double>(src[i + 2]);
        s1 += static_cast<double>(src[i + 3]);
    }
    double s = s0 + s1;
    for (; i < len; ++i)
        s += static_cast<double>(src[i]);
    return s;
}

// ---- exponential
constexpr double Log2E = 1.4426950408889634;
constexpr double Ln2 = 0.6931471805599453;
constexpr double ExpOverflowAt = 88.72284;

inline float ExpScalar(float x)
{
    if (static_cast<double>(x) > ExpOverflowAt)
        return std::bit_cast<float>(0x7F800000u);
    return static_cast<float>(std::exp(static_cast<double>(x)));
}

// Four ordinary elements at once: e^r from a Pade form, the four divisions
// replaced by one reciprocal of the product of the denominators, and 2^k put
// into the exponent field.
void ExpFour(float* v, const int32_t* idx)
{
    double num[4], den[4];
    uint32_t magnitude[4];
    bool negative[4];
    for (int j = 0; j < 4; ++j)
    {
        const float x = v[idx[j]];
        const double xd = static_cast<double>(x);
        negative[j] = (std::bit_cast<uint32_t>(x) & 0x80000000u) != 0;
        const double shifter = negative[j] ? -4503599627370496.0 : 4503599627370496.0; // 2^52
        const double sum = xd * Log2E + shifter;
        const double k = sum - shifter;
        magnitude[j] = static_cast<uint32_t>(std::bit_cast<uint64_t>(sum) & 0xFFFFFFFFu);
        const double r = xd - k * Ln2;
        const double r2 = r * r;
        const double a = 12.0 * (10.0 + r2);
        const double b = r * (60.0 + r2);
        num[j] = a + b;
        den[j] = a - b;
    }
    const double reciprocal = 1.0 / (den[0] * den[1] * den[2] * den[3]);
    const double inv[4] = {
        den[1] * den[2] * den[3] * reciprocal, den[0] * den[2] * den[3] * reciprocal,
        den[0] * den[1] * den[3] * reciprocal, den[0] * den[1] * den[2] * reciprocal};
    for (int j = 0; j < 4; ++j)
    {
        const float product = static_cast<float>(num[j]) * static_cast<float>(inv[j]);
        const uint32_t shift = magnitude[j] << 23;
        const uint32_t b = negative[j] ? std::bit_cast<uint32_t>(product) - shift
                                       : std::bit_cast<uint32_t>(product) + shift;
        v[idx[j]] = std::bit_cast<float>(b);
    }
}
} // namespace

DspStatus DspSqrtInPlace32f_Gen(float* srcDst, int32_t len)
{
    if (srcDst == nullptr)
        return DspStsNullPtrErr;
    if (len < 1)
        return DspStsSizeErr;
    DspStatus status = DspStsNoErr;
    for (int32_t i = 0; i < len; ++i)
    {
        const float x = srcDst[i];
        if (x > 0.0f)
            srcDst[i] = static_cast<float>(std::sqrt(static_cast<double>(x)));
        else if (x < 0.0f)
        {
            srcDst[i] = std::bit_cast<float>(DspNaNBits);
            status = DspStsSqrtNegArg;
        }
    }
    return status;
}

DspStatus DspAbsInPlace32f_Gen(float* srcDst, int32_t len)
{
    if (srcDst == nullptr)
        return DspStsNullPtrErr;
    if (len < 1)
        return DspStsSizeErr;
    for (int32_t i = 0; i < len; ++i)
        srcDst[i] = std::bit_cast<float>(std::bit_cast<uint32_t>(srcDst[i]) & 0x7FFFFFFFu);
    return DspStsNoErr;
}

DspStatus DspMax32f_Gen(const float* src, int32_t len, float* pMax)
{
    if (src == nullptr || pMax == nullptr)
        return DspStsNullPtrErr;
    if (len < 1)
        return DspStsSizeErr;
    *pMax = Extreme<Greater>(src, len);
    return DspStsNoErr;
}

DspStatus DspMin32f_Gen(const float* src, int32_t len, float* pMin)
{
    if (src == nullptr || pMin == nullptr)
        return DspStsNullPtrErr;
    if (len < 1)
        return DspStsSizeErr;
    *pMin = Extreme<Less>(src, len);
    return DspStsNoErr;
}

#define DSP_BINARY_GEN(name, expr)                                                                 \
    DspStatus name(const float* src1, const float* src2, float* dst, int32_t len)                  \
    {                                                                                              \
        if (src1 == nullptr || src2 == nullptr || dst == nullptr)                                  \
            return DspStsNullPtrErr;                                                               \
        if (len < 1)                                                                               \
            return DspStsSizeErr;                                                                  \
        for (int32_t i = 0; i < len; ++i)                                                          \
        {                                                                                          \
            const float a = src1[i], b = src2[i];                                                  \
            dst[i] = (expr);                                                                       \
        }                                                                                          \
        return DspStsNoErr;                                                                        \
    }

DSP_BINARY_GEN(DspAdd32f_Gen, a + b)
DSP_BINARY_GEN(DspSub32f_Gen, b - a)
DSP_BINARY_GEN(DspMul32f_Gen, a* b)
#undef DSP_BINARY_GEN

DspStatus DspAddProduct32f_Gen(const float* src1, const float* src2, float* srcDst, int32_t len)
{
    if (src1 == nullptr || src2 == nullptr || srcDst == nullptr)
        return DspStsNullPtrErr;
    if (len < 1)
        return DspStsSizeErr;
    for (int32_t i = 0; i < len; ++i)
    {
        const float product = src1[i] * src2[i];
        srcDst[i] = srcDst[i] + product;
    }
    return DspStsNoErr;
}

DspStatus DspSqr32f_Gen(const float* src, float* dst, int32_t len)
{
    if (src == nullptr || dst == nullptr)
        return DspStsNullPtrErr;
    if (len < 1)
        return DspStsSizeErr;
    for (int32_t i = 0; i < len; ++i)
        dst[i] = src[i] * src[i];
    return DspStsNoErr;
}

DspStatus DspDiv32f_Gen(const float* src1, const float* src2, float* dst, int32_t len)
{
    if (src1 == nullptr || src2 == nullptr || dst == nullptr)
        return DspStsNullPtrErr;
    if (len < 1)
        return DspStsSizeErr;
    DspStatus status = DspStsNoErr;
    for (int32_t i = 0; i < len; ++i)
    {
        const float divisor = src1[i], dividend = src2[i];
        if (divisor == 0.0f)
        {
            // The sign of the zero divisor does not count.
            if (dividend > 0.0f)
                dst[i] = std::bit_cast<float>(0x7F800000u);
            else if (dividend < 0.0f)
                dst[i] = std::bit_cast<float>(0xFF800000u);
            else
                dst[i] = std::bit_cast<float>(DspNaNBits);
            status = DspStsDivByZero;
        }
        else
        {
            dst[i] = dividend / divisor;
        }
    }
    return status;
}

DspStatus DspExpInPlace32f_Gen(float* srcDst, int32_t len)
{
    if (srcDst == nullptr)
        return DspStsNullPtrErr;
    if (len < 1)
        return DspStsSizeErr;
    if (len < 4)
    {
        for (int32_t i = 0; i < len; ++i)
            srcDst[i] = ExpScalar(srcDst[i]);
        return DspStsNoErr;
    }
    int32_t pending[4];
    int pendingCount = 0;
    for (int32_t i = len - 1; i >= 0; --i)
    {
        const uint32_t b = std::bit_cast<uint32_t>(srcDst[i]);
        const bool quietNaN = (b & 0x7FC00000u) == 0x7FC00000u;
        if ((b & 0x7FFFFFFFu) < 0x00800000u)
            srcDst[i] = 1.0f; // zeros and denormals
        else if ((b & 0x80000000u) != 0 && b >= 0xC2AEAC50u)
            srcDst[i] = quietNaN ? std::bit_cast<float>(DspNaNBits) : 0.0f;
        else if ((b & 0x80000000u) == 0 && b >= 0x42B17218u)
            srcDst[i] =
                quietNaN ? std::bit_cast<float>(DspNaNBits) : std::bit_cast<float>(0x7F800000u);
        else
        {
            pending[pendingCount++] = i;
            if (pendingCount == 4)
            {
                ExpFour(srcDst, pending);
                pendingCount = 0;
            }
        }
    }
    for (int j = 0; j < pendingCount; ++j)
        srcDst[pending[j]] = ExpScalar(srcDst[pending[j]]);
    return DspStsNoErr;
}

DspStatus DspLnInPlace32f_Gen(float* srcDst, int32_t len)
{
    if (srcDst == nullptr)
        return DspStsNullPtrErr;
    if (len < 1)
        return DspStsSizeErr;
    DspStatus status = DspStsNoErr;
    for (int32_t i = 0; i < len; ++i)
    {
        const uint32_t b = std::bit_cast<uint32_t>(srcDst[i]);
        if ((b & 0x80000000u) != 0)
        {
            srcDst[i] = std::bit_cast<float>(DspNaNBits);
            if (status == DspStsNoErr)
                status = DspStsLnNegArg;
        }
        else if (b == 0)
        {
            srcDst[i] = std::bit_cast<float>(0xFF800000u);
            if (status == DspStsNoErr)
                status = DspStsLnZeroArg;
        }
        else if ((b & 0x7FC00000u) == 0x7FC00000u)
        {
            // Quiet NaNs only: a signalling one goes to the logarithm below.
            srcDst[i] = std::bit_cast<float>(DspNaNBits);
        }
        else
        {
            srcDst[i] = std::log(srcDst[i]);
        }
    }
    return status;
}

DspStatus DspSum32f_Gen(const float* src, int32_t len, float* pSum, int32_t /*hint*/)
{
    if (src == nullptr || pSum == nullptr)
        return DspStsNullPtrErr;
    if (len < 1)
        return DspStsSizeErr;
    *pSum = static_cast<float>(DoubleSum(src, len));
    return DspStsNoErr;
}

DspStatus DspMean32f_Gen(const float* src, int32_t len, float* pMean, int32_t /*hint*/)
{
    if (src == nullptr || pMean == nullptr)
        return DspStsNullPtrErr;
    if (len < 1)
        return DspStsSizeErr;
    *pMean = static_cast<float>(DoubleSum(src, len) / static_cast<double>(len));
    return DspStsNoErr;
}

DspStatus DspMinEvery32f_Gen(const float* src, float* srcDst, int32_t len)
{
    if (src == nullptr || srcDst == nullptr)
        return DspStsNullPtrErr;
    if (len < 1)
        return DspStsSizeErr;
    for (int32_t i = 0; i < len; ++i)
        srcDst[i] = src[i] < srcDst[i] ? src[i] : srcDst[i];
    return DspStsNoErr;
}

DspStatus DspMaxEvery32f_Gen(const float* src, float* srcDst, int32_t len)
{
    if (src == nullptr || srcDst == nullptr)
        return DspStsNullPtrErr;
    if (len < 1)
        return DspStsSizeErr;
    for (int32_t i = 0; i < len; ++i)
        srcDst[i] = src[i] > srcDst[i] ? src[i] : srcDst[i];
    return DspStsNoErr;
}

void DspDotProdKernel32f_Gen(const float* src1, const float* src2, int32_t len, float* pDot)
{
    float sum = 0.0f;
    int32_t i = 0;
    const uintptr_t a = Addr(src2);
    const int32_t head = static_cast<int32_t>(((16 - (a & 15)) & 15) / 4);
    if ((a & 3) == 0 && len - head >= 8)
    {
        for (; i < head; ++i)
            sum = sum + src1[i] * src2[i];
        // Two four-lane partial sums over blocks of 8, added lane by lane,
        // then folded as (l0 + l2) + (l1 + l3).
        float p[4] = {0, 0, 0, 0}, q[4] = {0, 0, 0, 0};
        const int32_t end = head + ((len - head) & ~7);
        for (; i < end; i += 8)
            for (int j = 0; j < 4; ++j)
            {
                p[j] = p[j] + src1[i + j] * src2[i + j];
                q[j] = q[j] + src1[i + 4 + j] * src2[i + 4 + j];
            }
        float l[4];
        for (int j = 0; j < 4; ++j)
            l[j] = p[j] + q[j];
        sum = sum + ((l[0] + l[2]) + (l[1] + l[3]));
    }
    for (; i < len; ++i)
        sum = sum + src1[i] * src2[i];
    *pDot = sum;
}

DspStatus DspDotProd32f_Gen(const float* src1, const float* src2, int32_t len, float* pDot)
{
    if (src1 == nullptr || src2 == nullptr || pDot == nullptr)
        return DspStsNullPtrErr;
    if (len < 1)
        return DspStsSizeErr;
    DspDotProdKernel32f_Gen(src1, src2, len, pDot);
    return DspStsNoErr;
}
