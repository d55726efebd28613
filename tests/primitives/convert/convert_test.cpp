// Sample conversions between integers and floats: the listed edge cases, and a
// sweep of every length from 1 to 40 at every alignment against references
// written here from the conversion rules, with guard bytes around the output.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "platform/cpu/cpu.h"
#include "primitives/convert/DspConvert.h"
#include "primitives/convert/DspConvertFullScale.h"
#include "primitives/dsp.h"
#include "primitives/vector/DspVector.h"

#include "tests/primitives/convert/convert_reference.h"

namespace
{

const int Modes[] = {0, 1, 2, -1, 7};

TEST(ConvertFromFloat, SweepMatchesReferencesAtEveryLengthAndAlignment)
{
    const std::vector<float> inputs = FloatInputs();
    const int scales[] = {0, -15, -23, -31, 1, 15, -2000, 2000, 127, -127, 200};
    for (int len = 1; len <= 40; ++len)
        for (int offset = 0; offset < 16; offset += 2)
        {
            std::vector<float> src(static_cast<size_t>(len));
            for (int i = 0; i < len; ++i)
                src[static_cast<size_t>(i)] =
                    inputs[static_cast<size_t>((i * 7 + offset + len) % inputs.size())];
            for (int sf : scales)
            {
                for (int mode : Modes)
                {
                    Guarded d16(2u * len, static_cast<size_t>(offset));
                    auto* o16 = reinterpret_cast<int16_t*>(d16.Data());
                    ASSERT_EQ(0, DspConvert32fTo16sScaled(src.data(), o16, len, mode, sf));
                    ASSERT_TRUE(d16.GuardsIntact());
                    for (int i = 0; i < len; ++i)
                    {
                        int16_t got;
                        memcpy(&got, o16 + i, 2);
                        ASSERT_EQ(Ref16s(src[i], mode, sf), got)
                            << "x=" << src[i] << " mode=" << mode << " sf=" << sf;
                    }
                    if (offset % 4 != 0)
                        continue;
                    Guarded d32(4u * len, static_cast<size_t>(offset));
                    auto* o32 = reinterpret_cast<int32_t*>(d32.Data());
                    ASSERT_EQ(0, DspConvert32fTo32sScaled(src.data(), o32, len, mode, sf));
                    ASSERT_TRUE(d32.GuardsIntact());
                    for (int i = 0; i < len; ++i)
                        ASSERT_EQ(Ref32s(src[i], mode, sf), o32[i])
                            << "x=" << src[i] << " mode=" << mode << " sf=" << sf;
                }
                for (int byteOffset = offset; byteOffset < offset + 2; ++byteOffset)
                {
                    Guarded d24(3u * len, static_cast<size_t>(byteOffset));
                    ASSERT_EQ(0, DspConvert32fTo24sScaled(src.data(), d24.Data(), len, sf));
                    ASSERT_TRUE(d24.GuardsIntact());
                    for (int i = 0; i < len; ++i)
                    {
                        const uint8_t* p = d24.Data() + 3 * i;
                        const int32_t got =
                            p[0] | (p[1] << 8) | (static_cast<int8_t>(p[2]) * 65536);
                        ASSERT_EQ(Ref24s(src[i], sf), got) << "x=" << src[i] << " sf=" << sf;
                    }
                }
            }
        }
}

TEST(ConvertToFloat, SweepMatchesReferencesAtEveryLengthAndAlignment)
{
    std::mt19937 rng(777);
    const int scales[] = {0, 15, 31, 1, -1, 127, 1000, -113, -97, -112, -96, 126, -200};
    for (int len = 1; len <= 40; ++len)
        for (int offset = 0; offset < 16; offset += 4)
        {
            std::vector<int16_t> s16(static_cast<size_t>(len));
            std::vector<int32_t> s32(static_cast<size_t>(len));
            std::vector<uint8_t> s24(3u * len + 16);
            for (int i = 0; i < len; ++i)
            {
                s16[i] = static_cast<int16_t>(rng());
                s32[i] = static_cast<int32_t>(rng());
                if (i % 5 == 0)
                {
                    s16[i] = i % 2 ? -32768 : 32767;
                    s32[i] = i % 2 ? INT32_MIN : (i % 3 ? INT32_MAX : 16777217);
                }
            }
            for (auto& b : s24)
                b = static_cast<uint8_t>(rng());
            for (int sf : scales)
            {
                Guarded d(4u * len, static_cast<size_t>(offset));
                auto* out = reinterpret_cast<float*>(d.Data());
                ASSERT_EQ(0, DspConvert16sTo32fScaled(s16.data(), out, len, sf));
                ASSERT_TRUE(d.GuardsIntact());
                for (int i = 0; i < len; ++i)
                    ASSERT_EQ(std::bit_cast<uint32_t>(Ref16sTo32f(s16[i], sf)),
                              std::bit_cast<uint32_t>(out[i]))
                        << sf;
                ASSERT_EQ(0, DspConvert32sTo32fScaled(s32.data(), out, len, sf));
                ASSERT_TRUE(d.GuardsIntact());
                for (int i = 0; i < len; ++i)
                    ASSERT_EQ(std::bit_cast<uint32_t>(Ref32sTo32f(s32[i], sf)),
                              std::bit_cast<uint32_t>(out[i]))
                        << sf;
            }
            Guarded d(4u * len, static_cast<size_t>(offset));
            auto* out = reinterpret_cast<float*>(d.Data());
            ASSERT_EQ(0, DspConvert32sTo32f(s32.data(), out, len));
            ASSERT_TRUE(d.GuardsIntact());
            for (int i = 0; i < len; ++i)
                ASSERT_EQ(std::bit_cast<uint32_t>(Ref32sTo32f(s32[i], 0)),
                          std::bit_cast<uint32_t>(out[i]));
            for (int srcOffset = 0; srcOffset < 16; srcOffset += 5)
            {
                ASSERT_EQ(0, DspConvert24sTo32f(s24.data() + srcOffset, out, len));
                ASSERT_TRUE(d.GuardsIntact());
                for (int i = 0; i < len; ++i)
                {
                    const uint8_t* p = s24.data() + srcOffset + 3 * i;
                    const double v =
                        p[0] + 256.0 * p[1] + 65536.0 * p[2] - (p[2] >= 128 ? 16777216.0 : 0.0);
                    ASSERT_EQ(v, out[i]);
                }
            }
        }
}

// ---- the listed edge cases, with literal expectations
int16_t To16(float x, int mode, int sf)
{
    int16_t r = 0x1234;
    EXPECT_EQ(0, DspConvert32fTo16sScaled(&x, &r, 1, mode, sf));
    return r;
}

int32_t To32(float x, int mode, int sf)
{
    int32_t r = 0x12345678;
    EXPECT_EQ(0, DspConvert32fTo32sScaled(&x, &r, 1, mode, sf));
    return r;
}

uint32_t To24(float x, int sf)
{
    uint8_t b[3] = {0x11, 0x22, 0x33};
    EXPECT_EQ(0, DspConvert32fTo24sScaled(&x, b, 1, sf));
    return b[0] | (b[1] << 8) | (b[2] << 16);
}

TEST(ConvertFromFloat, SixteenBitEdgeCases)
{
    EXPECT_EQ(32767, To16(1.0f, 0, -15));
    EXPECT_EQ(-32768, To16(-1.0f, 0, -15));
    EXPECT_EQ(16384, To16(0.5f, 0, -15));
    EXPECT_EQ(0, To16(-0.00001f, 0, -15));
    EXPECT_EQ(2, To16(2.5f, 1, 0));
    EXPECT_EQ(4, To16(3.5f, 1, 0));
    EXPECT_EQ(-2, To16(-2.5f, 1, 0));
    EXPECT_EQ(32766, To16(32766.5f, 1, 0));
    for (int mode : {2, 3, -1, -100, 1000})
    {
        EXPECT_EQ(3, To16(2.5f, mode, 0));
        EXPECT_EQ(-3, To16(-2.5f, mode, 0));
    }
    EXPECT_EQ(1, To16(0.49999997f, 2, 0));
    EXPECT_EQ(-1, To16(-0.49999997f, 2, 0));
    EXPECT_EQ(0, To16(0.99999994f, 2, 1));
    for (int mode : {0, 1, 2, -5})
    {
        EXPECT_EQ(0, To16(NaN, mode, 0));
        EXPECT_EQ(0, To16(NaN, mode, -15));
        EXPECT_EQ(32767, To16(Inf, mode, 0));
        EXPECT_EQ(-32768, To16(-Inf, mode, 0));
        EXPECT_EQ(32767, To16(1e-30f, mode, -2000)); // infinite factor
        EXPECT_EQ(-32768, To16(-1e-30f, mode, -2000));
        EXPECT_EQ(0, To16(0.0f, mode, -2000)); // 0 times infinity is NaN
    }
}

TEST(ConvertFromFloat, ThirtyTwoBitEdgeCases)
{
    EXPECT_EQ(INT32_MAX, To32(1.0f, 0, -31));
    EXPECT_EQ(INT32_MIN, To32(-1.0f, 0, -31));
    EXPECT_EQ(1073741824, To32(0.5f, 0, -31));
    EXPECT_EQ(0, To32(NaN, 0, 0));
    EXPECT_EQ(0, To32(NaN, 1, -31));
    EXPECT_EQ(INT32_MIN, To32(NaN, 2, 0));
    EXPECT_EQ(INT32_MIN, To32(NaN, -3, -31));
    EXPECT_EQ(INT32_MAX, To32(2147483648.0f, 1, 0));
    EXPECT_EQ(2147483520, To32(2147483520.0f, 2, 0));
    EXPECT_EQ(INT32_MAX, To32(5.0f, 0, -2000));
    EXPECT_EQ(INT32_MIN, To32(-5.0f, 1, -2000));
    EXPECT_EQ(0, To32(0.0f, 0, -2000));
    EXPECT_EQ(INT32_MIN, To32(0.0f, 2, -2000));
    EXPECT_EQ(2147483520, To32(0.99999994f, 1, -31));
    EXPECT_EQ(-2147483520, To32(-0.99999994f, 2, -31));
    EXPECT_EQ(3, To32(2.5f, 2, 0));
    EXPECT_EQ(2, To32(2.5f, 1, 0));
    EXPECT_EQ(-2, To32(-2.5f, 0, 0));
}

TEST(ConvertFromFloat, TwentyFourBitEdgeCases)
{
    EXPECT_EQ(0x7FFFFFu, To24(1.0f, -23));
    EXPECT_EQ(0x800000u, To24(-1.0f, -23));
    EXPECT_EQ(0x400000u, To24(0.5f, -23));
    EXPECT_EQ(0u, To24(0.5f, 0));
    EXPECT_EQ(2u, To24(1.5f, 0));
    EXPECT_EQ(0xFFFFFEu, To24(-1.5f, 0));
    EXPECT_EQ(2u, To24(2.5f, 0));
    EXPECT_EQ(0u, To24(NaN, 0));
    EXPECT_EQ(0u, To24(NaN, -23));
    EXPECT_EQ(0u, To24(12345.0f, 127));
    EXPECT_EQ(0u, To24(-1e30f, 1000));
    EXPECT_EQ(0x7FFFFFu, To24(1e-30f, -127));
    EXPECT_EQ(0x7FFFFFu, To24(1e-30f, -5000));
    EXPECT_EQ(0x7FFFFFu, To24(Inf, 0));
    EXPECT_EQ(0x800000u, To24(-Inf, -23));
}

TEST(ConvertToFloat, EdgeCases)
{
    const uint8_t packed[] = {0xFF, 0xFF, 0x7F, 0x00, 0x00, 0x80,
                              0xFF, 0xFF, 0xFF, 0x01, 0x00, 0x00};
    float f[4];
    ASSERT_EQ(0, DspConvert24sTo32f(packed, f, 4));
    EXPECT_EQ(8388607.0f, f[0]);
    EXPECT_EQ(-8388608.0f, f[1]);
    EXPECT_EQ(-1.0f, f[2]);
    EXPECT_EQ(1.0f, f[3]);

    const int16_t s16[] = {-32768, 32767, 1};
    ASSERT_EQ(0, DspConvert16sTo32fScaled(s16, f, 3, 0));
    EXPECT_EQ(-32768.0f, f[0]);
    ASSERT_EQ(0, DspConvert16sTo32fScaled(s16, f, 3, 15));
    EXPECT_EQ(-1.0f, f[0]);
    EXPECT_EQ(0.999969482421875f, f[1]);
    ASSERT_EQ(0, DspConvert16sTo32fScaled(s16, f, 3, 127));
    EXPECT_EQ(std::ldexp(1.0f, -126), f[2]);
    ASSERT_EQ(0, DspConvert16sTo32fScaled(s16, f, 3, 1000));
    EXPECT_EQ(std::ldexp(1.0f, -126), f[2]);
    ASSERT_EQ(0, DspConvert16sTo32fScaled(s16, f, 1, -113));
    EXPECT_EQ(-std::ldexp(1.0f, 127), f[0]);

    const int32_t s32[] = {INT32_MAX, INT32_MIN, 16777217, 1};
    ASSERT_EQ(0, DspConvert32sTo32fScaled(s32, f, 4, 31));
    EXPECT_EQ(1.0f, f[0]);
    EXPECT_EQ(-1.0f, f[1]);
    ASSERT_EQ(0, DspConvert32sTo32fScaled(s32, f, 4, 0));
    EXPECT_EQ(16777216.0f, f[2]);
    ASSERT_EQ(0, DspConvert32sTo32fScaled(s32, f, 4, -97));
    EXPECT_EQ(-std::ldexp(1.0f, 127), f[1]);
    ASSERT_EQ(0, DspConvert32sTo32fScaled(s32, f, 4, 127));
    EXPECT_EQ(std::ldexp(1.0f, -126), f[3]);
}

TEST(ConvertToFloat, InPlaceConversionOfThirtyTwoBitIntegersIsExact)
{
    for (int len = 1; len <= 40; ++len)
    {
        std::vector<int32_t> a(static_cast<size_t>(len)), b(static_cast<size_t>(len));
        for (int i = 0; i < len; ++i)
            a[i] = b[i] = (i - 20) * 1000003;
        ASSERT_EQ(0, DspConvert32sTo32f(a.data(), reinterpret_cast<float*>(a.data()), len));
        ASSERT_EQ(0,
                  DspConvert32sTo32fScaled(b.data(), reinterpret_cast<float*>(b.data()), len, 31));
        for (int i = 0; i < len; ++i)
        {
            float fa, fb;
            memcpy(&fa, &a[i], 4);
            memcpy(&fb, &b[i], 4);
            EXPECT_EQ(static_cast<float>((i - 20) * 1000003), fa);
            EXPECT_EQ(std::ldexp(static_cast<float>((i - 20) * 1000003), -31), fb);
        }
    }
}

TEST(ConvertChecks, PointersBeforeLengthsAndNothingWritten)
{
    float f[2] = {1.0f, 2.0f};
    int16_t s16[2] = {7, 7};
    int32_t s32[2] = {7, 7};
    uint8_t b[6] = {7, 7, 7, 7, 7, 7};
    EXPECT_EQ(DspStsNullPtrErr, DspConvert32fTo16sScaled(nullptr, s16, 0, 0, 0));
    EXPECT_EQ(DspStsNullPtrErr, DspConvert32fTo16sScaled(f, nullptr, -1, 0, 0));
    EXPECT_EQ(DspStsSizeErr, DspConvert32fTo16sScaled(f, s16, 0, 0, 0));
    EXPECT_EQ(DspStsSizeErr, DspConvert32fTo32sScaled(f, s32, -3, 1, 5));
    EXPECT_EQ(DspStsNullPtrErr, DspConvert32fTo32sScaled(nullptr, s32, 1, 1, 5));
    EXPECT_EQ(DspStsSizeErr, DspConvert32fTo24sScaled(f, b, 0, 0));
    EXPECT_EQ(DspStsNullPtrErr, DspConvert32fTo24sScaled(f, nullptr, 0, 0));
    EXPECT_EQ(DspStsSizeErr, DspConvert16sTo32fScaled(s16, f, 0, 15));
    EXPECT_EQ(DspStsNullPtrErr, DspConvert16sTo32fScaled(nullptr, f, 0, 15));
    EXPECT_EQ(DspStsSizeErr, DspConvert32sTo32fScaled(s32, f, 0, 31));
    EXPECT_EQ(DspStsNullPtrErr, DspConvert32sTo32fScaled(s32, nullptr, 2, 31));
    EXPECT_EQ(DspStsSizeErr, DspConvert32sTo32f(s32, f, 0));
    EXPECT_EQ(DspStsNullPtrErr, DspConvert32sTo32f(nullptr, f, 0));
    EXPECT_EQ(DspStsSizeErr, DspConvert24sTo32f(b, f, -1));
    EXPECT_EQ(DspStsNullPtrErr, DspConvert24sTo32f(b, nullptr, 1));
    EXPECT_EQ(1.0f, f[0]);
    EXPECT_EQ(2.0f, f[1]);
    EXPECT_EQ(7, s16[0]);
    EXPECT_EQ(7, s32[0]);
    for (uint8_t v : b)
        EXPECT_EQ(7, v);
}

// The generic conversions leave the control register alone and follow no
// rounding mode of the caller, except where a sum is formed in the mode in force.
TEST(ConvertFromFloat, GenericRoutinesIgnoreTheCallersRoundingForTheirOwnRounding)
{
    const unsigned saved = EmuGetMxcsr();
    EmuSetMxcsr((saved & ~0x6000u) | 0x2000u); // round down
    EXPECT_EQ(2, To16(2.5f, 1, 0));
    EXPECT_EQ(3, To16(2.5f, 2, -0));
    EXPECT_EQ(-3, To32(-2.5f, 2, 0));
    EXPECT_EQ(2u, To24(2.5f, 0));
    EXPECT_EQ(0x2000u, EmuGetMxcsr() & 0x6000u);
    EmuSetMxcsr(saved);
}
} // namespace

namespace
{
// Integer-to-float rounding of wide values follows the caller's rounding mode;
// the float-to-integer truncation does not depend on it, nor on flush-to-zero.
TEST(ConvertModes, CallersControlRegister)
{
    const unsigned saved = EmuGetMxcsr();
    const int32_t wide[2] = {16777219, -16777219};
    float f[2];
    EmuSetMxcsr((saved & ~0x6000u) | 0x6000u); // toward zero
    ASSERT_EQ(0, DspConvert32sTo32f(wide, f, 2));
    EXPECT_EQ(16777218.0f, f[0]);
    EXPECT_EQ(-16777218.0f, f[1]);
    EmuSetMxcsr(saved & ~0x6000u); // nearest
    ASSERT_EQ(0, DspConvert32sTo32fScaled(wide, f, 2, 0));
    EXPECT_EQ(16777220.0f, f[0]);

    const float x[6] = {1e-40f, -1e-38f, 0.99999994f, -0.9999f, 32767.9f, -1.5e-5f};
    for (unsigned bits : {0x8040u, 0x4000u, 0x2000u, 0xE040u})
    {
        EmuSetMxcsr((saved & ~0xE040u) | bits);
        int16_t out[6];
        ASSERT_EQ(0, DspConvert32fTo16sScaled(x, out, 6, DspRndZero, -15));
        const int16_t expected[6] = {0, 0, 32767, -32764, 32767, 0};
        for (int i = 0; i < 6; ++i)
            EXPECT_EQ(expected[i], out[i]) << std::hex << bits << " " << i;
        EXPECT_EQ(bits, EmuGetMxcsr() & 0xE040u);
    }
    EmuSetMxcsr(saved);
}
} // namespace

namespace
{
// The four-lane loops at every source alignment and under every rounding field
// of the caller (ties to even takes the converting instruction only under
// round-to-nearest), against the references: lengths 1 to 40 cover whole
// blocks, partial blocks and the scalar tails.
TEST(ConvertFromFloat, LanesMatchReferencesAtEverySourceAlignmentAndRoundingField)
{
    const std::vector<float> inputs = FloatInputs();
    const unsigned saved = EmuGetMxcsr();
    std::vector<float> storage(64);
    for (unsigned field : {0x0000u, 0x2000u, 0x4000u, 0x6000u})
        for (int len = 1; len <= 40; ++len)
            for (int shift = 0; shift < 4; ++shift)
            {
                float* src = storage.data() + shift;
                for (int i = 0; i < len; ++i)
                    src[i] = inputs[static_cast<size_t>((i * 5 + shift + len) % inputs.size())];
                EmuSetMxcsr((saved & ~0x6000u) | field);
                for (int sf : {0, -15, -23, -31, 3})
                {
                    for (int mode : {0, 1, 2})
                    {
                        int16_t o16[40];
                        int32_t o32[40];
                        ASSERT_EQ(0, DspConvert32fTo16sScaled(src, o16, len, mode, sf));
                        ASSERT_EQ(0, DspConvert32fTo32sScaled(src, o32, len, mode, sf));
                        for (int i = 0; i < len; ++i)
                        {
                            ASSERT_EQ(Ref16s(src[i], mode, sf), o16[i])
                                << src[i] << " mode " << mode << " sf " << sf << " field " << field;
                            ASSERT_EQ(Ref32s(src[i], mode, sf), o32[i])
                                << src[i] << " mode " << mode << " sf " << sf << " field " << field;
                        }
                    }
                    uint8_t o24[120];
                    ASSERT_EQ(0, DspConvert32fTo24sScaled(src, o24, len, sf));
                    for (int i = 0; i < len; ++i)
                    {
                        const uint8_t* p = o24 + 3 * i;
                        ASSERT_EQ(Ref24s(src[i], sf),
                                  p[0] | (p[1] << 8) | (static_cast<int8_t>(p[2]) * 65536))
                            << src[i] << " sf " << sf << " field " << field;
                    }
                }
                EmuSetMxcsr(saved);
            }
}
} // namespace

namespace
{
// Packed 24-bit buffers of exactly 3 * len bytes on the heap, so that the
// sanitizer sees any block load or store that strays past either end: the
// reading lanes take each word from one byte before its sample, the writing
// lanes store sixteen bytes for twelve.
TEST(Convert24, LanesStayInsideExactBuffersAtEveryByteOffset)
{
    std::mt19937 rng(2468);
    const std::vector<float> inputs = FloatInputs();
    for (int len = 1; len <= 40; ++len)
        for (int offset = 0; offset < 4; ++offset)
        {
            // The buffer starts `offset` bytes into its own allocation and ends with it.
            std::vector<uint8_t> packed(static_cast<size_t>(3 * len + offset));
            for (auto& b : packed)
                b = static_cast<uint8_t>(rng());
            uint8_t* p = packed.data() + offset;
            std::vector<float> f(static_cast<size_t>(len));
            ASSERT_EQ(0, DspConvert24sTo32f(p, f.data(), len));
            for (int i = 0; i < len; ++i)
            {
                const uint8_t* q = p + 3 * i;
                const double v = q[0] + 256.0 * q[1] + 65536.0 * static_cast<int8_t>(q[2]);
                ASSERT_EQ(v, f[static_cast<size_t>(i)]) << "len " << len << " offset " << offset;
            }
            std::vector<float> src(static_cast<size_t>(len));
            for (int i = 0; i < len; ++i)
                src[static_cast<size_t>(i)] =
                    inputs[static_cast<size_t>((i * 3 + len + offset) % inputs.size())];
            ASSERT_EQ(0, DspConvert32fTo24sScaled(src.data(), p, len, -23));
            for (int i = 0; i < len; ++i)
            {
                const uint8_t* q = p + 3 * i;
                ASSERT_EQ(Ref24s(src[static_cast<size_t>(i)], -23),
                          q[0] | (q[1] << 8) | (static_cast<int8_t>(q[2]) * 65536))
                    << "len " << len << " offset " << offset << " sample " << i;
            }
        }
}

// The one-pass conversion against today's two level-0 passes (convert, then
// divide by 2^23), bit for bit, on exact buffers with full scale, -1, 0 and
// the smallest steps placed across the blocks of 16.
TEST(Convert24, FullScaleInOnePassIsTheConversionDividedBy2To23)
{
    std::mt19937 rng(1357);
    const uint32_t edges[] = {0x7FFFFF, 0x800000, 0xFFFFFF, 0x000001, 0x000000, 0x800001};
    for (int len = 1; len <= 40; ++len)
        for (int offset = 0; offset < 4; ++offset)
        {
            // Exactly 3 * len bytes after the offset; every seventh sample an edge.
            std::vector<uint8_t> packed(static_cast<size_t>(3 * len + offset));
            uint8_t* p = packed.data() + offset;
            for (int i = 0; i < len; ++i)
            {
                const uint32_t v = (i + offset) % 7 == 0 ? edges[i % 6] : rng();
                std::memcpy(p + 3 * i, &v, 3);
            }
            std::vector<float> expected(static_cast<size_t>(len)), got(expected.size());
            ASSERT_EQ(0, DspConvert24sTo32f_Gen(p, expected.data(), len));
            ASSERT_EQ(0, DspDivConstInPlace32f_Gen(8388608.0f, expected.data(), len));
            ASSERT_EQ(0, DspConvert24sTo32fFullScale(p, got.data(), len));
            ASSERT_EQ(0, std::memcmp(got.data(), expected.data(), 4 * static_cast<size_t>(len)))
                << "len " << len << " offset " << offset;
        }
    float f = 5.0f;
    const uint8_t edges8[3] = {1, 2, 3};
    EXPECT_EQ(DspStsNullPtrErr, DspConvert24sTo32fFullScale(nullptr, &f, 1));
    EXPECT_EQ(DspStsSizeErr, DspConvert24sTo32fFullScale(edges8, &f, 0));
    EXPECT_EQ(f, 5.0f);
}
} // namespace

namespace
{
// The exact value of the 24-bit sample at p over 2^23, formed in integers and
// a double division, apart from the library's bit tricks.
float FullScaleOf(const uint8_t* p)
{
    int32_t v = p[0] | (p[1] << 8) | (p[2] << 16);
    v -= (p[2] & 0x80) != 0 ? 0x1000000 : 0;
    return static_cast<float>(v / 8388608.0);
}
} // namespace

// Straight into the channel buffers: every channel count a device gives (and a
// few beyond), lengths across the first block of four frames, the blocks and
// the tails; the source sized exactly, so a read outside it is caught; a guard
// after every channel.
TEST(Convert24, DeinterleavedFullScaleMatchesTheExactQuotientPerChannel)
{
    std::mt19937 rng(2468);
    const uint32_t edges[] = {0x7FFFFF, 0x800000, 0xFFFFFF, 0x000001, 0x000000, 0x800001};
    for (int channels : {1, 2, 3, 4, 5, 6, 8, 9})
        for (int len : {1, 2, 3, 4, 5, 7, 8, 9, 12, 13, 31, 192})
        {
            const size_t samples = static_cast<size_t>(channels * len);
            // Ending where the buffer ends, at every offset from its start.
            std::vector<uint8_t> packed(3 * samples + len % 4);
            uint8_t* const src = packed.data() + len % 4;
            for (size_t i = 0; i < samples; ++i)
            {
                const uint32_t v = i % 5 == 0 ? edges[(i / 5) % 6] : rng();
                std::memcpy(src + 3 * i, &v, 3);
            }
            std::vector<std::vector<float>> out(channels,
                                                std::vector<float>(static_cast<size_t>(len) + 1));
            std::vector<float*> dst;
            for (auto& channel : out)
            {
                channel.back() = -3.0f;
                dst.push_back(channel.data());
            }
            ASSERT_EQ(0, DspDeinterleave24sTo32fFullScale(src, channels, len, dst.data()));
            for (int c = 0; c < channels; ++c)
            {
                for (int i = 0; i < len; ++i)
                    ASSERT_EQ(std::bit_cast<uint32_t>(FullScaleOf(src + 3 * (i * channels + c))),
                              std::bit_cast<uint32_t>(out[c][i]))
                        << channels << " channels, len " << len << ", frame " << i;
                ASSERT_EQ(-3.0f, out[c].back());
            }
        }
}

TEST(Convert24, DeinterleavedFullScaleRefusesBadArgumentsBeforeWriting)
{
    const uint8_t packed[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    float a[2] = {5.0f, 5.0f}, b[2] = {5.0f, 5.0f};
    float* both[2] = {a, b};
    float* lastNull[2] = {a, nullptr};
    const struct
    {
        const uint8_t* src;
        int channels;
        int len;
        float* const* dst;
        DspStatus status;
    } cases[] = {
        {nullptr, 2, 2, both, DspStsNullPtrErr},    {packed, 2, 2, nullptr, DspStsNullPtrErr},
        {packed, 0, 2, both, DspStsNumChannelsErr}, {packed, 2, 0, both, DspStsSizeErr},
        {packed, 2, 2, lastNull, DspStsNullPtrErr}, {nullptr, 0, 0, nullptr, DspStsNullPtrErr},
    };
    for (const auto& c : cases)
    {
        EXPECT_EQ(c.status, DspDeinterleave24sTo32fFullScale(c.src, c.channels, c.len, c.dst));
        EXPECT_EQ(5.0f, a[0]);
        EXPECT_EQ(5.0f, b[1]);
    }
}

// The float inputs' special values and halves brought to full scale (exact
// but for the subnormal), and random samples around it.
TEST(Convert24, InterleavedFullScaleMatchesTheRuleAndTheTwoPasses)
{
    std::vector<float> inputs = FloatInputs();
    for (float& x : inputs)
        x = std::ldexp(x, -23);
    inputs.insert(inputs.end(), {1e-40f, 1.0f, -1.0f, 2.0f});
    std::mt19937 rng(97531);
    std::uniform_real_distribution<float> unit(-1.1f, 1.1f);
    for (int i = 0; i < 40; ++i)
        inputs.push_back(unit(rng));
    const unsigned saved = EmuGetMxcsr();
    for (unsigned rounding : {0x0000u, 0x6000u}) // nearest, toward zero
        for (int channels = 1; channels <= 9; ++channels)
            for (int len : {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 13, 16, 17, 31, 192})
            {
                const size_t samples = static_cast<size_t>(channels * len);
                std::vector<std::vector<float>> storage(channels);
                std::vector<float*> src;
                for (int c = 0; c < channels; ++c)
                {
                    storage[c].resize(static_cast<size_t>(len + c)); // every alignment
                    src.push_back(storage[c].data() + c);
                    for (int i = 0; i < len; ++i)
                        src[c][i] = inputs[static_cast<size_t>(i * channels + c) % inputs.size()];
                }
                std::vector<float> interleaved(samples);
                ASSERT_LE(0, DspInterleave32f_Gen(src.data(), channels, len, interleaved.data()));
                std::vector<uint8_t> twoPasses(3 * samples);
                ASSERT_EQ(0, DspConvert32fTo24sScaled_Gen(interleaved.data(), twoPasses.data(),
                                                          static_cast<int32_t>(samples), -23));
                const size_t offset = static_cast<size_t>(len + channels) % 4;
                Guarded out(3 * samples, offset);
                EmuSetMxcsr((saved & ~0x6000u) | rounding);
                const DspStatus status =
                    DspInterleave32fTo24sFullScale(src.data(), channels, len, out.Data());
                EmuSetMxcsr(saved);
                ASSERT_EQ(0, status);
                ASSERT_TRUE(out.GuardsIntact()) << channels << " channels, len " << len;
                for (size_t k = 0; k < samples; ++k)
                    ASSERT_EQ(Ref24s(interleaved[k], -23), Read24(out.Data() + 3 * k))
                        << channels << " channels, len " << len << ", sample " << k;
                ASSERT_EQ(0, std::memcmp(twoPasses.data(), out.Data(), twoPasses.size()));
            }
}

TEST(Convert24, InterleavedFullScaleRefusesBadArgumentsBeforeWriting)
{
    float a[2] = {0.5f, 0.5f}, b[2] = {0.5f, 0.5f};
    const float* both[2] = {a, b};
    const float* lastNull[2] = {a, nullptr};
    uint8_t out[6] = {7, 7, 7, 7, 7, 7};
    const struct
    {
        const float* const* src;
        int channels;
        int len;
        uint8_t* dst;
        DspStatus status;
    } cases[] = {
        {nullptr, 2, 2, out, DspStsNullPtrErr},  {both, 2, 2, nullptr, DspStsNullPtrErr},
        {both, 0, 2, out, DspStsNumChannelsErr}, {both, 2, 0, out, DspStsSizeErr},
        {lastNull, 2, 2, out, DspStsNullPtrErr}, {nullptr, 0, 0, nullptr, DspStsNullPtrErr},
    };
    for (const auto& c : cases)
    {
        EXPECT_EQ(c.status, DspInterleave32fTo24sFullScale(c.src, c.channels, c.len, c.dst));
        EXPECT_EQ(std::vector<uint8_t>(6, 7), std::vector<uint8_t>(out, out + 6));
    }
}
