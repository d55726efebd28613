// Every conversion routine at every processor level against the reference of
// its level: lengths 1 to 40, every source and destination alignment, the
// special values (NaN of both signs, infinities, zeros of both signs,
// subnormals, saturating values, halves), round modes and scale factors, with
// guard bytes around the output and the caller's rounding field kept.
#include <gtest/gtest.h>

#include "platform/cpu/cpu.h"
#include "primitives/dsp.h"
#include "tests/primitives/convert/convert_reference.h"

namespace
{
class LevelSweep : public testing::Test
{
  protected:
    void SetUp() override { m_Saved = EmuGetMxcsr(); }
    void TearDown() override
    {
        DspCpuLevel = 0;
        EmuSetMxcsr(m_Saved);
    }
    unsigned m_Saved = 0;
};

std::vector<float> SweepInputs()
{
    std::vector<float> v = FloatInputs();
    for (uint32_t bits : {0xFFC00000u, 0x7FFFFFFFu, 0xFF800001u, 0x80000001u, 0x807FFFFFu,
                          0x4F000000u, 0xCF000001u, 0x46FFFE00u, 0x3EFFFFFFu, 0xBEFFFFFFu})
        v.push_back(std::bit_cast<float>(bits));
    return v;
}

std::vector<float> SourceOf(const std::vector<float>& inputs, int len, int k)
{
    std::vector<float> src(static_cast<size_t>(len) + 4);
    for (int i = 0; i < len; ++i)
        src[static_cast<size_t>(i + k % 4)] =
            inputs[static_cast<size_t>((i * 7 + k + len) % inputs.size())];
    return src;
}

// The callers' rounding fields: nearest, and down (which only the 16-bit
// ties-away mode of the levels and the generic single-precision half follow).
const unsigned Fields[] = {0x0000u, 0x2000u};
const int SweepModes[] = {0, 1, 2, -1};
const int SweepScales[] = {0, -15, -23, -31, 3, -2000, 200, 127, -127};

int16_t Expected16(int level, float x, int mode, int sf)
{
    return level == 0 ? Ref16s(x, mode, sf) : Level16s(x, mode, sf);
}
int32_t Expected32(int level, float x, int mode, int sf)
{
    return level == 0 ? Ref32s(x, mode, sf) : Level32s(x, mode, sf);
}
int32_t Expected24(int level, float x, int sf)
{
    return level == 0 ? Ref24s(x, sf) : Level24s(x, sf);
}

TEST_F(LevelSweep, FloatTo16BitMatchesItsLevelsReference)
{
    const std::vector<float> inputs = SweepInputs();
    for (int level = 0; level < 4; ++level)
        for (unsigned field : Fields)
            for (int len = 1; len <= 40; ++len)
                for (int k = 0; k < 32; ++k) // source offset k % 4, destination 2 * (k / 4)
                {
                    const std::vector<float> src = SourceOf(inputs, len, k);
                    const float* s = src.data() + k % 4;
                    for (int mode : SweepModes)
                        for (int sf : SweepScales)
                        {
                            Guarded d(2u * len, static_cast<size_t>(2 * (k / 4)));
                            int16_t* out = reinterpret_cast<int16_t*>(d.Data());
                            EmuSetMxcsr((m_Saved & ~0x6000u) | field);
                            DspCpuLevel = level;
                            ASSERT_EQ(0, DspConvert32fTo16sScaled(s, out, len, mode, sf));
                            DspCpuLevel = 0;
                            ASSERT_EQ(field, EmuGetMxcsr() & 0x6000u);
                            ASSERT_TRUE(d.GuardsIntact());
                            for (int i = 0; i < len; ++i)
                            {
                                int16_t got;
                                memcpy(&got, out + i, 2);
                                ASSERT_EQ(Expected16(level, s[i], mode, sf), got)
                                    << "level " << level << " x " << s[i] << " mode " << mode
                                    << " sf " << sf << " field " << field;
                            }
                        }
                }
}

TEST_F(LevelSweep, FloatTo32BitMatchesItsLevelsReference)
{
    const std::vector<float> inputs = SweepInputs();
    for (int level = 0; level < 4; ++level)
        for (unsigned field : Fields)
            for (int len = 1; len <= 40; ++len)
                for (int k = 0; k < 16; ++k) // source offset k % 4, destination 4 * (k / 4)
                {
                    const std::vector<float> src = SourceOf(inputs, len, k);
                    const float* s = src.data() + k % 4;
                    for (int mode : SweepModes)
                        for (int sf : SweepScales)
                        {
                            Guarded d(4u * len, static_cast<size_t>(4 * (k / 4)));
                            int32_t* out = reinterpret_cast<int32_t*>(d.Data());
                            EmuSetMxcsr((m_Saved & ~0x6000u) | field);
                            DspCpuLevel = level;
                            ASSERT_EQ(0, DspConvert32fTo32sScaled(s, out, len, mode, sf));
                            DspCpuLevel = 0;
                            ASSERT_EQ(field, EmuGetMxcsr() & 0x6000u);
                            ASSERT_TRUE(d.GuardsIntact());
                            for (int i = 0; i < len; ++i)
                                ASSERT_EQ(Expected32(level, s[i], mode, sf), out[i])
                                    << "level " << level << " x " << s[i] << " mode " << mode
                                    << " sf " << sf << " field " << field;
                        }
                }
}

TEST_F(LevelSweep, FloatToPacked24BitMatchesItsLevelsReference)
{
    const std::vector<float> inputs = SweepInputs();
    for (int level = 0; level < 4; ++level)
        for (unsigned field : Fields)
            for (int len = 1; len <= 40; ++len)
                for (int k = 0; k < 64; ++k) // source offset k % 4, destination byte k / 4
                {
                    const std::vector<float> src = SourceOf(inputs, len, k);
                    const float* s = src.data() + k % 4;
                    for (int sf : SweepScales)
                    {
                        Guarded d(3u * len, static_cast<size_t>(k / 4));
                        EmuSetMxcsr((m_Saved & ~0x6000u) | field);
                        DspCpuLevel = level;
                        ASSERT_EQ(0, DspConvert32fTo24sScaled(s, d.Data(), len, sf));
                        DspCpuLevel = 0;
                        ASSERT_EQ(field, EmuGetMxcsr() & 0x6000u);
                        ASSERT_TRUE(d.GuardsIntact());
                        for (int i = 0; i < len; ++i)
                            ASSERT_EQ(Expected24(level, s[i], sf), Read24(d.Data() + 3 * i))
                                << "level " << level << " x " << s[i] << " sf " << sf;
                    }
                }
}

// Integer sources: random words with the extremes mixed in.
struct IntegerSources
{
    std::vector<int16_t> s16;
    std::vector<int32_t> s32;
    std::vector<uint8_t> s24;
    explicit IntegerSources(int len)
        : s16(static_cast<size_t>(len) + 8), s32(static_cast<size_t>(len) + 4), s24(3u * len + 20)
    {
        std::mt19937 rng(static_cast<uint32_t>(len));
        for (auto& v : s16)
            v = static_cast<int16_t>(rng());
        for (auto& v : s32)
            v = static_cast<int32_t>(rng());
        for (auto& v : s24)
            v = static_cast<uint8_t>(rng());
        const int32_t extremes[] = {INT32_MIN, INT32_MAX, 16777217, -16777217, 0, -1};
        for (size_t i = 0; i < s32.size(); i += 3)
        {
            s32[i] = extremes[i % 6];
            s16[i] = static_cast<int16_t>(i % 2 ? -32768 : 32767);
        }
        for (size_t i = 2; i < s24.size(); i += 9)
            s24[i] = static_cast<uint8_t>(i % 2 ? 0x80 : 0x7F);
    }
};

TEST_F(LevelSweep, IntegersToFloatMatchTheReferenceAtEveryLevel)
{
    for (int level = 0; level < 4; ++level)
        for (int len = 1; len <= 40; ++len)
        {
            const IntegerSources in(len);
            for (int k = 0; k < 16; k += 4)
            {
                Guarded d(4u * len, static_cast<size_t>(k));
                float* out = reinterpret_cast<float*>(d.Data());
                const int16_t* s16 = in.s16.data() + k / 2;
                const int32_t* s32 = in.s32.data() + k / 4;
                DspCpuLevel = level;
                for (int sf : {0, 15, 31, -1, 127, 1000, -97, -113, -200})
                {
                    ASSERT_EQ(0, DspConvert16sTo32fScaled(s16, out, len, sf));
                    for (int i = 0; i < len; ++i)
                        ASSERT_EQ(std::bit_cast<uint32_t>(Ref16sTo32f(s16[i], sf)),
                                  std::bit_cast<uint32_t>(out[i]))
                            << "level " << level << " sf " << sf;
                    ASSERT_EQ(0, DspConvert32sTo32fScaled(s32, out, len, sf));
                    for (int i = 0; i < len; ++i)
                        ASSERT_EQ(std::bit_cast<uint32_t>(Ref32sTo32f(s32[i], sf)),
                                  std::bit_cast<uint32_t>(out[i]))
                            << "level " << level << " sf " << sf;
                }
                ASSERT_EQ(0, DspConvert32sTo32f(s32, out, len));
                for (int i = 0; i < len; ++i)
                    ASSERT_EQ(std::bit_cast<uint32_t>(Ref32sTo32f(s32[i], 0)),
                              std::bit_cast<uint32_t>(out[i]))
                        << level;
                for (int byte = 0; byte < 16; byte += 5)
                {
                    const uint8_t* s24 = in.s24.data() + byte + k / 4;
                    ASSERT_EQ(0, DspConvert24sTo32f(s24, out, len));
                    for (int i = 0; i < len; ++i)
                        ASSERT_EQ(static_cast<float>(Read24(s24 + 3 * i)), out[i]) << level;
                }
                DspCpuLevel = 0;
                ASSERT_TRUE(d.GuardsIntact());
            }
        }
}

// The same array as source and destination converts in place; arrays that
// share part of their bytes are walked one element at a time upward.
TEST_F(LevelSweep, ThirtyTwoBitIntegersConvertInPlaceAndOverlappedAtEveryLevel)
{
    for (int level = 0; level < 4; ++level)
        for (int len = 1; len <= 40; ++len)
        {
            std::vector<int32_t> a(static_cast<size_t>(len) + 1), b(a.size());
            for (int i = 0; i <= len; ++i)
                a[i] = b[i] = (i - 20) * 1000003 + (i % 3 ? 0 : INT32_MAX / 3);
            std::vector<int32_t> expected(b);
            for (int i = 0; i < len; ++i) // b shifted up by one element
            {
                const float f = std::ldexp(static_cast<float>(expected[i]), -31);
                memcpy(&expected[i + 1], &f, 4);
            }
            DspCpuLevel = level;
            ASSERT_EQ(0, DspConvert32sTo32f(a.data(), reinterpret_cast<float*>(a.data()), len));
            ASSERT_EQ(0, DspConvert32sTo32fScaled(b.data(), reinterpret_cast<float*>(b.data() + 1),
                                                  len, 31));
            DspCpuLevel = 0;
            for (int i = 0; i < len; ++i)
            {
                float f;
                memcpy(&f, &a[i], 4);
                ASSERT_EQ(static_cast<float>((i - 20) * 1000003 + (i % 3 ? 0 : INT32_MAX / 3)), f)
                    << level;
            }
            ASSERT_EQ(expected, b) << level << " " << len;
        }
}
} // namespace
