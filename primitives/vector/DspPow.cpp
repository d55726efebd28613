// Element-wise power dst[i] = src1[i] ^ src2[i]. Ordinary elements (positive
// normal base, result a normal single) take a fast evaluation; everything else
// goes to the per-element routine, which computes in double precision and
// gives the IEEE special values. The computation runs with round-to-nearest
// and gradual underflow whatever the caller set, and the caller's control
// register is loaded back whole.
#include <bit>

#include "platform/cpu/cpu.h"
#include "primitives/vector/DspPowTables.h"
#include "primitives/vector/DspVector.h"

namespace
{
inline uint32_t HighWord(double d)
{
    return static_cast<uint32_t>(std::bit_cast<uint64_t>(d) >> 32);
}

const double Round44 = std::bit_cast<double>(0x42B0000000000000ull); // 2^44
const double Ln2 = std::bit_cast<double>(0x3FE62E42FEFA39EFull);
const double LnC3 = std::bit_cast<double>(0x3FD55555555512C8ull);
const double LnC2 = std::bit_cast<double>(0xBFDFFFFFFFFFCAAEull);
const double InvLn2x128 = std::bit_cast<double>(0x40671547652B82FEull); // 128 / ln 2
const double Ln2Over128 = std::bit_cast<double>(0x3F762E42FEFA39EFull);
const double Shifter = std::bit_cast<double>(0x4338000000000000ull); // 1.5 * 2^52
const double OneSixth = std::bit_cast<double>(0x3FC5555555555555ull);
const double E23 = std::bit_cast<double>(0x420226AF33B1FDC1ull); // e^23
const double OverflowValue = std::bit_cast<double>(0x7F8000007F800000ull);
constexpr uint32_t FastLimit = 0x4055D55C;   // |t| < 87.33380126953125
constexpr uint32_t DoubleLimit = 0x4086232B; // |t| < 708.396484375
constexpr uint32_t MxcsrCareBits = 0xE040;   // DAZ, rounding field, FTZ
constexpr uint32_t MxcsrClear = 0xFFFF1FBF;

inline double LnTable(int q, int column)
{
    return std::bit_cast<double>(DspPowLnTableBits[q][column]);
}

// ln of a positive normal double X, from its table point.
double Log(double X)
{
    const uint64_t bits = std::bit_cast<uint64_t>(X);
    const int32_t e = static_cast<int32_t>((bits >> 52) & 0x7FF) - 1023;
    const double m = std::bit_cast<double>((bits & 0x000FFFFFFFFFFFFFull) | 0x3FF0000000000000ull);
    const uint32_t b = (static_cast<uint32_t>(bits >> 32) >> 11) & 0x1FF; // top 9 fraction bits
    const int q = static_cast<int>((b + 1) >> 1);
    // c = 1 + q/256 from m: lower fraction bits set so the rounding at 2^-8
    // never meets a tie.
    const double marked = std::bit_cast<double>(std::bit_cast<uint64_t>(m) | 0x000003FF00000000ull);
    const double c = (marked + Round44) - Round44;
    const double r = (m - c) * LnTable(q, 1);
    return (r + (LnC3 * r + LnC2) * r * r) + (static_cast<double>(e) * Ln2 + LnTable(q, 0));
}

inline bool PassesFastTest(float x, float y, double* t)
{
    const uint32_t bx = std::bit_cast<uint32_t>(x);
    if (bx < 0x00800000u || bx > 0x7F7FFFFFu)
        return false;
    if ((std::bit_cast<uint32_t>(y) & 0x7FFFFFFFu) > 0x7F800000u)
        return false;
    *t = static_cast<double>(y) * Log(static_cast<double>(x));
    return (HighWord(*t) & 0x7FFFFFFFu) <= FastLimit;
}

inline float FastExp(double t)
{
    const double shifted = t * InvLn2x128 + Shifter;
    const int32_t n = static_cast<int32_t>(static_cast<uint32_t>(std::bit_cast<uint64_t>(shifted)));
    const int32_t j = n & 127;
    const float u = static_cast<float>(t - static_cast<double>(n) * Ln2Over128);
    const float scale = std::bit_cast<float>((static_cast<uint32_t>(n) * 65536u + 0x3F800000u) &
                                             0x7F800000u); // 2^k
    const float hi = std::bit_cast<float>(DspPowExp2Table32Bits[j][0]);
    const float lo = std::bit_cast<float>(DspPowExp2Table32Bits[j][1]);
    return ((u * u * 0.5f + (lo + u)) * hi + hi) * scale;
}

enum class IntegerKind
{
    NotInteger,
    Even,
    Odd
};

IntegerKind IntegerTest(float y)
{
    const uint32_t a = std::bit_cast<uint32_t>(y) & 0x7FFFFFFFu;
    if (a < 0x3F800000u || a >= 0x7F800000u)
        return IntegerKind::NotInteger;
    if (a >= 0x4B800000u)
        return IntegerKind::Even;
    const uint32_t e = (a >> 23) - 127;
    const uint32_t shifted = a << e;
    if ((shifted & 0x007FFFFFu) != 0)
        return IntegerKind::NotInteger;
    return (shifted & 0x00800000u) != 0 ? IntegerKind::Odd : IntegerKind::Even;
}

// The zero-base rows raise divide by zero, the flag IEEE pow gives a zero base
// with a negative exponent.
constexpr int32_t ZeroBaseException = 18;
constexpr int32_t InvalidException = 19;

float Special(float x, float y, bool* warn, bool* handled)
{
    *handled = true;
    const uint32_t bx = std::bit_cast<uint32_t>(x), by = std::bit_cast<uint32_t>(y);
    const uint32_t ax = bx & 0x7FFFFFFFu, ay = by & 0x7FFFFFFFu;
    const bool xNeg = (bx & 0x80000000u) != 0, yNeg = (by & 0x80000000u) != 0;
    const float inf = std::bit_cast<float>(0x7F800000u), negInf = std::bit_cast<float>(0xFF800000u);
    if (ay == 0)
        return 1.0f;
    if (bx == 0x3F800000u)
        return 1.0f;
    if (bx == 0xBF800000u && ay == 0x7F800000u)
        return 1.0f;
    if (ax > 0x7F800000u)
        return x;
    if (ay > 0x7F800000u)
        return y;
    if (ay == 0x7F800000u)
    {
        if (ax == 0 && yNeg)
        {
            *warn = true;
            DspPowRaiseFpException_Gen(ZeroBaseException);
            return inf;
        }
        const bool above = ax > 0x3F800000u;
        if (yNeg)
            return above ? 0.0f : inf;
        return above ? inf : 0.0f;
    }
    // y is finite and not zero from here on.
    if (bx == 0x7F800000u)
        return yNeg ? 0.0f : inf;
    if (bx == 0)
    {
        if (!yNeg)
            return 0.0f;
        *warn = true;
        DspPowRaiseFpException_Gen(ZeroBaseException);
        return inf;
    }
    const IntegerKind kind = IntegerTest(y);
    if (bx == 0xFF800000u)
    {
        if (!yNeg)
            return kind == IntegerKind::Odd ? negInf : inf;
        return kind == IntegerKind::Odd ? -0.0f : 0.0f;
    }
    if (bx == 0x80000000u)
    {
        if (!yNeg)
            return kind == IntegerKind::Odd ? -0.0f : 0.0f;
        *warn = true;
        DspPowRaiseFpException_Gen(ZeroBaseException);
        return kind == IntegerKind::Odd ? negInf : inf;
    }
    if (xNeg && kind == IntegerKind::NotInteger)
    {
        *warn = true;
        DspPowRaiseFpException_Gen(InvalidException);
        return std::bit_cast<float>(DspNaNBits);
    }
    *handled = false;
    return 0.0f;
}

float Ordinary(float x, float y)
{
    double X = static_cast<double>(x);
    double sign = 1.0;
    if (x < 0.0f)
    {
        X = -X;
        if (IntegerTest(y) == IntegerKind::Odd)
            sign = -1.0;
    }
    double d = 0.0;
    if ((std::bit_cast<uint32_t>(x) & 0x7FFFFFFFu) < 0x00800000u)
    {
        X = X * E23;
        d = 23.0;
    }
    const double t = static_cast<double>(y) * (Log(X) - d);
    double result;
    if ((HighWord(t) & 0x7FFFFFFFu) > DoubleLimit)
    {
        result = t < 0.0 ? 0.0 : OverflowValue;
    }
    else
    {
        const double shifted = t * InvLn2x128 + Shifter;
        const int32_t n =
            static_cast<int32_t>(static_cast<uint32_t>(std::bit_cast<uint64_t>(shifted)));
        const int32_t j = n & 127;
        const int32_t k = n >> 7;
        const double u = t - static_cast<double>(n) * Ln2Over128;
        const double p = u + (u * OneSixth + 0.5) * u * u;
        const double S = std::bit_cast<double>(
            DspPowExp2Table64[j] | (static_cast<uint64_t>(static_cast<uint32_t>(k + 1023)) << 52));
        result = S + p * S;
    }
    return static_cast<float>(result * sign);
}

// Block path over len rounded down to a multiple of 8, in blocks of Block
// elements; a block with any element the fast test rejects goes whole to the
// per-element routine. Then the single path.
template <int Block> DspStatus Power(const float* src1, const float* src2, float* dst, int32_t len)
{
    if (dst == nullptr || src2 == nullptr || src1 == nullptr)
        return DspStsNullPtrErr;
    if (len < 1)
        return DspStsSizeErr;
    const uint32_t saved = EmuGetMxcsr();
    const bool changed = (saved & MxcsrCareBits) != 0;
    if (changed)
        EmuSetMxcsr(saved & MxcsrClear);
    DspStatus status = DspStsNoErr;
    const int32_t blockEnd = len & ~7;
    for (int32_t i = 0; i < blockEnd; i += Block)
    {
        double t[Block];
        bool fast = true;
        for (int j = 0; j < Block; ++j)
            fast = PassesFastTest(src1[i + j], src2[i + j], &t[j]) && fast;
        if (fast)
        {
            float out[Block];
            for (int j = 0; j < Block; ++j)
                out[j] = FastExp(t[j]);
            for (int j = 0; j < Block; ++j)
                dst[i + j] = out[j];
        }
        else
        {
            for (int j = 0; j < Block; ++j)
                DspPowKernel32f_Gen(src1, src2, dst, i + j, &status);
        }
    }
    for (int32_t i = blockEnd; i < len; ++i)
    {
        double t;
        if (PassesFastTest(src1[i], src2[i], &t))
            dst[i] = FastExp(t);
        else
            DspPowKernel32f_Gen(src1, src2, dst, i, &status);
    }
    if (changed)
        EmuSetMxcsr(saved);
    return status;
}
} // namespace

void DspPowRaiseFpException_Gen(int32_t code)
{
    volatile double a, b, sink;
    switch (code)
    {
    case 12:
        a = std::bit_cast<double>(0x7FEFFFFFFFFFFFFFull);
        sink = a * a;
        break;
    case 17:
        a = std::bit_cast<double>(0x0010000000000001ull);
        sink = a * a;
        break;
    case 18:
        a = 1.0;
        b = 0.0;
        sink = a / b;
        break;
    case 19:
        a = 0.0;
        b = 0.0;
        sink = a / b;
        break;
    default:
        break;
    }
    (void)sink;
}

void DspPowKernel32f_Gen(const float* src1, const float* src2, float* dst, int32_t index,
                         DspStatus* status)
{
    const float x = src1[index], y = src2[index];
    bool warn = false, handled = false;
    const float special = Special(x, y, &warn, &handled);
    if (warn)
        *status = DspStsPowDomain;
    dst[index] = handled ? special : Ordinary(x, y);
}

DspStatus DspPow32f_Gen(const float* s1, const float* s2, float* d, int32_t n)
{
    return Power<4>(s1, s2, d, n);
}
DspStatus DspPow32f_Sse3(const float* s1, const float* s2, float* d, int32_t n)
{
    return Power<8>(s1, s2, d, n);
}
DspStatus DspPow32f_Ssse3(const float* s1, const float* s2, float* d, int32_t n)
{
    return Power<8>(s1, s2, d, n);
}
DspStatus DspPow32f_Sse4(const float* s1, const float* s2, float* d, int32_t n)
{
    return Power<8>(s1, s2, d, n);
}
