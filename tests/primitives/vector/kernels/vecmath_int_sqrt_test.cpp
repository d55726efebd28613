// Scaled square roots of unsigned 16-bit (every input at every scale factor)
// and signed 64-bit integers against exact integer references, the byte-table
// map, and the x87 control word around the 64-bit roots.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "platform/cpu/cpu.h"
#include "primitives/vector/kernels/DspVmReduceKernels.h"

namespace
{
using Root16 = void (*)(const uint16_t*, uint16_t*, int32_t, int32_t);
using Root64 = int32_t (*)(const int64_t*, int64_t*, int32_t, int32_t);
using Map8 = void (*)(const uint8_t*, uint8_t*, int32_t, const uint8_t*);
const Root16 Root16Kernels[] = {DspSqrtKernel16uScaled_Sse3, DspSqrtKernel16uScaled_Ssse3,
                                DspSqrtKernel16uScaled_Sse4};
const Root64 Root64Kernels[] = {DspSqrtKernel64sScaled_Sse3, DspSqrtKernel64sScaled_Ssse3,
                                DspSqrtKernel64sScaled_Sse4};
const Map8 MapKernels[] = {DspTableLookup8u_Sse3, DspTableLookup8u_Ssse3, DspTableLookup8u_Sse4};

// sqrt(x) * 2^-s to nearest, halves to even, saturated: in double, where the
// root of a 16-bit value scaled by a power of two is exact at every tie and
// far from one otherwise.
uint16_t Reference16(uint32_t x, int s)
{
    const double v = std::ldexp(std::sqrt(static_cast<double>(x)), -s);
    return static_cast<uint16_t>(std::fmin(65535.0, std::nearbyint(v)));
}

TEST(VecMathIntSqrt, Unsigned16AtEveryInputAndScaleFactor)
{
    std::vector<uint16_t> src(65536), dst(65536);
    for (uint32_t x = 0; x < 65536; ++x)
        src[x] = static_cast<uint16_t>(x);
    for (Root16 kernel : Root16Kernels)
        for (int s = -17; s <= 10; ++s)
        {
            kernel(src.data(), dst.data(), 65536, s);
            for (uint32_t x = 0; x < 65536; ++x)
                ASSERT_EQ(Reference16(x, s), dst[x]) << "s " << s << " x " << x;
        }
}

TEST(VecMathIntSqrt, Unsigned16ListedExamples)
{
    struct Case
    {
        int s;
        uint16_t x, root;
    } cases[] = {{0, 0, 0},          {0, 65280, 255},    {0, 65281, 256},    {0, 65535, 256},
                 {1, 9, 2},          {1, 25, 2},         {1, 49, 4},         {2, 36, 2},
                 {2, 100, 2},        {8, 16384, 0},      {8, 16385, 1},      {8, 65535, 1},
                 {9, 65535, 0},      {-3, 65535, 2048},  {-7, 65535, 32768}, {-8, 65535, 65535},
                 {-9, 16383, 65534}, {-9, 16384, 65535}, {-15, 1, 32768},    {-16, 0, 0},
                 {-16, 1, 65535},    {-40, 7, 65535}};
    for (Root16 kernel : Root16Kernels)
        for (const Case& c : cases)
        {
            uint16_t out = 0x5A5A;
            kernel(&c.x, &out, 1, c.s);
            EXPECT_EQ(c.root, out) << c.s << " " << c.x;
        }
}

// Every length from 1 to 40 at every 2-byte offset, in place and apart, with
// the results of one aligned call and nothing written outside.
TEST(VecMathIntSqrt, Unsigned16AtEveryLayout)
{
    constexpr uint16_t Guard = 0xA5A5;
    for (Root16 kernel : Root16Kernels)
        for (int s : {-12, -5, -3, 0, 3})
            for (int len = 1; len <= 40; ++len)
            {
                alignas(16) uint16_t in[48], want[48];
                for (int i = 0; i < len; ++i)
                    in[i] = static_cast<uint16_t>((i * 7919 + len * 31) & 0xFFFF);
                kernel(in, want, len, s);
                for (int off = 0; off < 8; ++off)
                {
                    alignas(16) uint16_t a[64], b[64], c[64];
                    std::fill(a, a + 64, Guard);
                    std::fill(b, b + 64, Guard);
                    std::fill(c, c + 64, Guard);
                    uint16_t* moved = b + 1 + (off + 3) % 8;
                    std::memcpy(a + off, in, 2 * len);
                    std::memcpy(moved, in, 2 * len);
                    kernel(a + off, a + off, len, s);
                    kernel(moved, c + off, len, s);
                    ASSERT_EQ(0, std::memcmp(a + off, want, 2 * len))
                        << s << " " << len << " " << off;
                    ASSERT_EQ(0, std::memcmp(c + off, want, 2 * len));
                    ASSERT_EQ(0, std::memcmp(moved, in, 2 * len));
                    for (uint16_t* v : {a, c})
                    {
                        ASSERT_EQ(Guard, off > 0 ? v[off - 1] : Guard);
                        ASSERT_EQ(Guard, v[off + len]);
                    }
                }
            }
}

// floor(sqrt(v)) of a 128-bit value by bisection, then nearest by the exact
// comparison with (r + 1/2)^2.
using U128 = unsigned __int128;
uint64_t Isqrt(U128 v)
{
    uint64_t lo = 0, hi = uint64_t{1} << 63;
    while (lo < hi)
    {
        const uint64_t mid = lo + (hi - lo + 1) / 2;
        if (static_cast<U128>(mid) * mid <= v)
            lo = mid;
        else
            hi = mid - 1;
    }
    return lo;
}

int64_t Reference64(int64_t x, int s)
{
    if (x < 0)
        return 0;
    const U128 ux = static_cast<U128>(x);
    if (s > 0)
    {
        if (s >= 33)
            return 0;
        // Compare 4x with (2q + 1)^2 4^s: below rounds down, equal to even.
        const uint64_t root = Isqrt(ux);
        uint64_t q = root >> s;
        const U128 m = (static_cast<U128>(2 * q + 1)) << (s - 1);
        const U128 sq = m * m;
        if (ux > sq || (ux == sq && (q & 1)))
            ++q;
        return static_cast<int64_t>(q);
    }
    const int n = -s;
    if (n >= 63)
        return x > 0 ? INT64_MAX : 0;
    // A root of 2^63 or more saturates; below it x 4^n fits 126 bits.
    if (ux >= static_cast<U128>(1) << (126 - 2 * n))
        return INT64_MAX;
    const U128 big = ux << (2 * n);
    const uint64_t r = Isqrt(big);
    const U128 nearest = r + (big > static_cast<U128>(r) * r + r ? 1 : 0);
    return nearest > INT64_MAX ? INT64_MAX : static_cast<int64_t>(nearest);
}

TEST(VecMathIntSqrt, Signed64ListedExamplesAndReference)
{
    struct Case
    {
        int s;
        int64_t x, root;
    } cases[] = {{0, INT64_MAX, 3037000500},
                 {1, 9, 2},
                 {1, 25, 2},
                 {1, 49, 4},
                 {32, int64_t{1} << 62, 0},
                 {32, (int64_t{1} << 62) + 1, 1},
                 {33, INT64_MAX, 0},
                 {-21, INT64_MAX, 6369051672525773},
                 {-31, INT64_MAX, 6521908912666391106},
                 {-32, 2, 6074001000},
                 {-32, 3, 7439101574},
                 {-62, 3, 7987674492471257551},
                 {-62, 4, INT64_MAX},
                 {-63, 1, INT64_MAX},
                 {-63, 0, 0}};
    for (Root64 kernel : Root64Kernels)
    {
        for (const Case& c : cases)
        {
            int64_t out = 0;
            EXPECT_EQ(0, kernel(&c.x, &out, 1, c.s));
            EXPECT_EQ(c.root, out) << c.s << " " << c.x;
            EXPECT_EQ(Reference64(c.x, c.s), out) << c.s << " " << c.x;
        }
        int64_t v[5] = {16, -1, INT64_MIN, 99, (int64_t{1} << 40) + 12345}, out[5];
        for (int s = -64; s <= 34; ++s)
        {
            EXPECT_EQ(1, kernel(v, out, 5, s));
            for (int i = 0; i < 5; ++i)
                EXPECT_EQ(Reference64(v[i], s), out[i]) << s << " " << v[i];
        }
    }
}

TEST(VecMathIntSqrt, Signed64GivesTheCallerItsControlWordBack)
{
    const uint16_t saved = EmuX87ControlWord();
    // Single, double and extended precision; rounding down and toward zero.
    const uint16_t callers[] = {0x007F, 0x027F, 0x037F, 0x047F, 0x0C7F};
    for (Root64 kernel : Root64Kernels)
        for (uint16_t caller : callers)
            for (int s : {-70, -40, -21, 0, 5})
            {
                const int64_t x = INT64_MAX;
                int64_t out = 0;
                EmuSetX87ControlWord(caller);
                kernel(&x, &out, 1, s);
                const uint16_t after = EmuX87ControlWord();
                EmuSetX87ControlWord(saved);
                EXPECT_EQ(caller, after) << std::hex << caller << std::dec << " " << s;
                EXPECT_EQ(Reference64(x, s), out) << std::hex << caller << std::dec << " " << s;
            }
}

TEST(VecMathIntSqrt, ByteMapTouchesExactlyItsElements)
{
    uint8_t table[256];
    for (int i = 0; i < 256; ++i)
        table[i] = static_cast<uint8_t>(255 - i);
    for (Map8 kernel : MapKernels)
        for (int len = 1; len <= 40; ++len)
            for (int off = 0; off < 4; ++off)
            {
                alignas(16) uint8_t src[48], dst[56];
                std::memset(dst, 0xA5, sizeof dst);
                for (int i = 0; i < len; ++i)
                    src[i] = static_cast<uint8_t>(i * 37 + 11);
                kernel(src, dst + off, len, table);
                for (int i = 0; i < len; ++i)
                    ASSERT_EQ(255 - src[i], dst[off + i]);
                for (int i = 0; i < off; ++i)
                    ASSERT_EQ(0xA5, dst[i]);
                ASSERT_EQ(0xA5, dst[off + len]);
            }
}
} // namespace
