// Non-interleaved sample-rate converter: pass-through, format checks, frame
// counts, held output, channel mixing with and without a rate change, and
// samples of every size.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "platform/kernel/emu.h"
#include "streaming/conversion/dsp_interleave_src.h"
#include "streaming/conversion/dsp_non_interleave_src.h"
#include "tests/streaming/conversion/src_test_util.h"

namespace
{
// Channel buffers of one sample size, with pointer arrays for the converter.
struct Channels
{
    Channels(ULONG count, ULONG frames, ULONG bytes)
        : data(count, std::vector<UCHAR>(frames * bytes))
    {
        for (auto& d : data)
        {
            pointers.push_back(d.data());
        }
    }
    float* Float(ULONG c) { return reinterpret_cast<float*>(data[c].data()); }
    std::vector<std::vector<UCHAR>> data;
    std::vector<UCHAR*> pointers;
};

struct Made : CDspNonInterleaveSrc
{
    Made() { EXPECT_TRUE(CreateStages()); }
};

TEST(DspNonInterleaveSrc, IdenticalFormatsPassStraightThrough)
{
    Made src;
    const WAVEFORMATEXTENSIBLE f = MakeFormat(WAVE_FORMAT_PCM, 2, 48000, 16);
    ASSERT_TRUE(src.SetFormat(f, f));
    EXPECT_EQ(src.GetStageCount(), 0u);
    Channels in(2, 1000, 2), out(2, 1000, 2);
    for (ULONG i = 0; i < 2000; ++i)
    {
        in.data[i % 2][i / 2] = (UCHAR)(i * 13);
    }
    ULONG inFrames = 1000, outFrames = 600;
    EXPECT_TRUE(src.Process(in.pointers.data(), &inFrames, out.pointers.data(), &outFrames));
    EXPECT_EQ(inFrames, 600u);
    EXPECT_EQ(outFrames, 600u);
    for (ULONG c = 0; c < 2; ++c)
    {
        EXPECT_EQ(memcmp(in.data[c].data(), out.data[c].data(), 1200), 0);
        EXPECT_EQ(out.data[c][1200], 0) << "nothing written past 600 frames of 2 bytes";
    }
}

TEST(DspNonInterleaveSrc, CountsItsStages)
{
    Made src;
    struct
    {
        ULONG InRate, OutRate;
        USHORT InBits;
        ULONG Stages;
    } const cases[] = {{48000, 48000, 16, 1}, {48000, 44100, 32, 2}, {48000, 88200, 32, 3}};
    for (const auto& c : cases)
    {
        ASSERT_TRUE(src.SetFormat(MakeFormat(WAVE_FORMAT_PCM, 2, c.InRate, c.InBits),
                                  MakeFormat(WAVE_FORMAT_PCM, 2, c.OutRate, 32)));
        EXPECT_EQ(src.GetStageCount(), c.Stages);
    }
}

TEST(DspNonInterleaveSrc, FortyEightToFortyFourOneGives441From480)
{
    Made src;
    ASSERT_TRUE(src.SetFormat(FloatFormat(2, 48000), FloatFormat(2, 44100)));
    Channels in(2, 480, 4), out(2, 1000, 4);
    ULONG inFrames = 480, outFrames = 1000;
    src.Process(in.pointers.data(), &inFrames, out.pointers.data(), &outFrames);
    EXPECT_EQ(inFrames, 480u);
    EXPECT_EQ(outFrames, 441u);
}

TEST(DspNonInterleaveSrc, HeldSamplesGoOutAloneOnTheNextCall)
{
    Made src;
    ASSERT_TRUE(src.SetFormat(FloatFormat(1, 44100), FloatFormat(1, 88200)));
    Channels in(1, 441, 4), out(1, 1000, 4);
    const std::vector<float> tone = Sine(44100, 1000, 0.5, 441);
    memcpy(in.data[0].data(), tone.data(), 441 * 4);
    ULONG inFrames = 441, outFrames = 500;
    src.Process(in.pointers.data(), &inFrames, out.pointers.data(), &outFrames);
    EXPECT_EQ(inFrames, 441u);
    EXPECT_EQ(outFrames, 500u);
    std::vector<float> first(out.Float(0), out.Float(0) + 500);
    inFrames = 441;
    outFrames = 1000;
    src.Process(in.pointers.data(), &inFrames, out.pointers.data(), &outFrames);
    EXPECT_EQ(inFrames, 0u);
    EXPECT_EQ(outFrames, 382u);
    // The two calls together give what one call with room for all gives.
    Made whole;
    ASSERT_TRUE(whole.SetFormat(FloatFormat(1, 44100), FloatFormat(1, 88200)));
    Channels all(1, 1000, 4);
    inFrames = 441;
    outFrames = 1000;
    whole.Process(in.pointers.data(), &inFrames, all.pointers.data(), &outFrames);
    ASSERT_EQ(outFrames, 882u);
    for (ULONG i = 0; i < 882; ++i)
    {
        ASSERT_EQ(all.Float(0)[i], i < 500 ? first[i] : out.Float(0)[i - 500]) << i;
    }
}

TEST(DspNonInterleaveSrc, SixToTwoAtEqualRatesIsTheDownmix)
{
    Made src;
    ASSERT_TRUE(src.SetFormat(FloatFormat(6, 48000), FloatFormat(2, 48000)));
    EXPECT_EQ(src.GetStageCount(), 1u);
    Channels in(6, 4, 4), out(2, 4, 4);
    const float centre[4] = {1.0f, 0.5f, -0.25f, 0.0f};
    memcpy(in.Float(2), centre, sizeof(centre));
    in.Float(4)[3] = 1.0f; // left surround in the last frame
    ULONG inFrames = 4, outFrames = 4;
    src.Process(in.pointers.data(), &inFrames, out.pointers.data(), &outFrames);
    ASSERT_EQ(outFrames, 4u);
    const float left[4] = {0.707f, 0.3535f, -0.17675f, -0.871f};
    const float right[4] = {0.707f, 0.3535f, -0.17675f, 0.49f};
    for (ULONG i = 0; i < 4; ++i)
    {
        EXPECT_NEAR(out.Float(0)[i], left[i], 1e-6f);
        EXPECT_NEAR(out.Float(1)[i], right[i], 1e-6f);
    }
}

// A mono conversion through the interleaved converter, as the reference of
// what one channel of a mixed conversion must carry.
std::vector<float> MonoReference(ULONG inRate, ULONG outRate, const std::vector<float>& input)
{
    CDspInterleaveSrc reference;
    EXPECT_TRUE(reference.CreateConverterStages());
    EXPECT_TRUE(reference.SetFormat(FloatFormat(1, inRate), FloatFormat(1, outRate)));
    return ConvertFloat(reference, input, 1, 480);
}

struct MixRateCase
{
    const char* Name;
    USHORT In, Out;
    ULONG InRate, OutRate;
};

// Downmixes must not pile up the channels they drop, upmixes must make
// progress on the channels they add, whatever the rate change.
const MixRateCase c_MixRateCases[] = {
    {"SixToTwoDown", 6, 2, 48000, 44100},
    {"EightToOneUp", 8, 1, 44100, 192000},
    {"TwoToSixUp", 2, 6, 44100, 48000},
    {"OneToEightDown", 1, 8, 192000, 48000},
    // Channels 3 to 5 have no input and no mixing rule: they must come out silent.
    {"ThreeToSixDown", 3, 6, 96000, 88200},
};

class DspNonInterleaveSrcMix : public testing::TestWithParam<MixRateCase>
{
};

TEST_P(DspNonInterleaveSrcMix, RunsManyPassesWithTheRightChannels)
{
    const MixRateCase& c = GetParam();
    Made src;
    ASSERT_TRUE(src.SetFormat(FloatFormat(c.In, c.InRate), FloatFormat(c.Out, c.OutRate)));
    // 40 blocks of 10 ms: far more than a stage buffer holds.
    const ULONG block = c.InRate / 100;
    const ULONG total = 40 * block;
    const std::vector<float> tone = Sine(c.InRate, 1000, 0.5, total);
    Channels in(c.In, total, 4);
    // Only channel 0 carries the tone; every mix here passes it at its
    // weight into output channel 0.
    memcpy(in.Float(0), tone.data(), total * 4);
    const float weight = c.In == 8 && c.Out == 1 ? 0.125f : 1.0f;
    const ULONG outTotal = (ULONG)((double)total * c.OutRate / c.InRate) + 64;
    Channels out(c.Out, outTotal, 4);
    ULONG consumed = 0, produced = 0;
    for (int call = 0; call < 400 && consumed < total; ++call)
    {
        std::vector<const UCHAR*> inputs;
        std::vector<UCHAR*> outputs;
        for (ULONG ch = 0; ch < c.In; ++ch)
        {
            inputs.push_back(in.data[ch].data() + 4 * consumed);
        }
        for (ULONG ch = 0; ch < c.Out; ++ch)
        {
            outputs.push_back(out.data[ch].data() + 4 * produced);
        }
        ULONG inFrames = std::min(block, total - consumed);
        ULONG outFrames = outTotal - produced;
        src.Process(inputs.data(), &inFrames, outputs.data(), &outFrames);
        consumed += inFrames;
        produced += outFrames;
    }
    ASSERT_EQ(consumed, total);
    const std::vector<float> expected = MonoReference(c.InRate, c.OutRate, tone);
    ASSERT_EQ(produced, expected.size());
    for (ULONG i = 0; i < produced; ++i)
    {
        ASSERT_NEAR(out.Float(0)[i], weight * expected[i], 1e-6f) << "frame " << i;
        for (ULONG ch = 1; ch < c.Out; ++ch)
        {
            const float want = c.In == 1 && ch == 1 ? expected[i] : 0.0f;
            ASSERT_NEAR(out.Float(ch)[i], want, 1e-6f) << "frame " << i << " channel " << ch;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Pairs, DspNonInterleaveSrcMix, testing::ValuesIn(c_MixRateCases),
                         [](const testing::TestParamInfo<MixRateCase>& info)
                         { return std::string(info.param.Name); });

// Each sample size steps through its own channel buffers: the same signal in
// 16, 24 and 32 bits and float gives the same result within the coarser
// format's step.
TEST(DspNonInterleaveSrc, StepsBySampleSize)
{
    struct
    {
        USHORT Tag, Bits;
        double Step;
    } const types[] = {{WAVE_FORMAT_PCM, 16, 1.0 / 32768},
                       {WAVE_FORMAT_PCM, 24, 1.0 / 8388608},
                       {WAVE_FORMAT_PCM, 32, 1.0 / 2147483648.0},
                       {WAVE_FORMAT_IEEE_FLOAT, 32, 0.0}};
    constexpr ULONG kFrames = 960;
    const std::vector<float> tone = Sine(48000, 1500, 0.5, kFrames);
    const std::vector<float> expected = MonoReference(48000, 44100, tone);
    for (const auto& t : types)
    {
        Made src;
        const WAVEFORMATEXTENSIBLE f = MakeFormat(t.Tag, 2, 48000, t.Bits);
        WAVEFORMATEXTENSIBLE g = f;
        g.Format.nSamplesPerSec = 44100;
        g.Format.nAvgBytesPerSec = 44100 * g.Format.nBlockAlign;
        ASSERT_TRUE(src.SetFormat(f, g));
        const ULONG bytes = t.Bits / 8;
        Channels in(2, kFrames, bytes), out(2, kFrames, bytes);
        for (ULONG i = 0; i < kFrames; ++i)
        {
            for (ULONG ch = 0; ch < 2; ++ch)
            {
                const float v = ch == 0 ? tone[i] : -tone[i];
                if (t.Tag == WAVE_FORMAT_IEEE_FLOAT)
                {
                    memcpy(&in.data[ch][4 * i], &v, 4);
                }
                else
                {
                    const int64_t q = (int64_t)std::llround(v / t.Step);
                    memcpy(&in.data[ch][bytes * i], &q, bytes); // little-endian low bytes
                }
            }
        }
        ULONG inFrames = kFrames, outFrames = kFrames;
        src.Process(in.pointers.data(), &inFrames, out.pointers.data(), &outFrames);
        ASSERT_EQ(inFrames, kFrames);
        ASSERT_EQ(outFrames, expected.size()) << t.Bits << " bits";
        for (ULONG i = 0; i < outFrames; ++i)
        {
            for (ULONG ch = 0; ch < 2; ++ch)
            {
                double v;
                if (t.Tag == WAVE_FORMAT_IEEE_FLOAT)
                {
                    float f32;
                    memcpy(&f32, &out.data[ch][4 * i], 4);
                    v = f32;
                }
                else
                {
                    int64_t q = 0;
                    memcpy(&q, &out.data[ch][bytes * i], bytes);
                    q = (q << (64 - t.Bits)) >> (64 - t.Bits);
                    v = (double)q * t.Step;
                }
                const double want = ch == 0 ? expected[i] : -expected[i];
                ASSERT_NEAR(v, want, 2 * t.Step + 1e-6) << t.Bits << " bits, frame " << i;
            }
        }
    }
}

struct SetFormatCase
{
    const char* Name;
    WAVEFORMATEXTENSIBLE In;
    WAVEFORMATEXTENSIBLE Out;
    const char* Message; // null: accepted
};

const WAVEFORMATEXTENSIBLE c_Float = FloatFormat(2, 48000);

const SetFormatCase c_SetFormatCases[] = {
    {"ExtensiblePcmSubformat", MakeExtensible(WAVE_FORMAT_PCM, 2, 48000, 24),
     MakeExtensible(WAVE_FORMAT_IEEE_FLOAT, 6, 96000, 32), nullptr},
    {"InputTag", MakeFormat(2, 2, 48000, 16), c_Float,
     "CDspNonInterleaveSrc::SetFormat Tag not PCM\n"},
    {"InputSubformat", MakeExtensible(2, 2, 48000, 16), c_Float,
     "CDspNonInterleaveSrc::SetFormat Tag not PCM\n"},
    {"InputChannels", FloatFormat(9, 48000), c_Float,
     "CDspNonInterleaveSrc::SetFormat InFormat.Format.nChannels > "
     "MAX_SOFTWARE_DSP_PROCESS_CHANNELS\n"},
    {"InputNoChannel", FloatFormat(0, 48000), c_Float,
     "CDspNonInterleaveSrc::SetFormat InFormat.Format.nChannels > "
     "MAX_SOFTWARE_DSP_PROCESS_CHANNELS\n"},
    {"InputRate", FloatFormat(2, 8000), c_Float,
     "CDspNonInterleaveSrc::SetFormat InFormat.Format.nSamplesPerSec not in List\n"},
    {"InputBits", MakeFormat(WAVE_FORMAT_PCM, 2, 48000, 20), c_Float,
     "CDspNonInterleaveSrc::SetFormat InFormat.Format.wBitsPerSample not in List\n"},
    {"OutputTag", c_Float, MakeExtensible(0x92, 2, 48000, 16),
     "CDspNonInterleaveSrc::SetFormat Output Tag not PCM\n"},
    {"OutputNineChannels", c_Float, FloatFormat(9, 48000),
     "CDspNonInterleaveSrc::SetFormat Output OutFormat.Format.nChannels > "
     "MAX_SOFTWARE_DSP_PROCESS_CHANNELS\n"},
    {"OutputRate", c_Float, FloatFormat(2, 44000),
     "CDspNonInterleaveSrc::SetFormat OutFormat.Format.nSamplesPerSec not in List\n"},
    {"OutputBits", c_Float, MakeFormat(WAVE_FORMAT_PCM, 2, 48000, 8),
     "CDspNonInterleaveSrc::SetFormat OutFormat.Format.wBitsPerSample not in List\n"},
};

class DspNonInterleaveSrcFormat : public testing::TestWithParam<SetFormatCase>
{
};

TEST_P(DspNonInterleaveSrcFormat, IsCheckedInOrder)
{
    const SetFormatCase& c = GetParam();
    Made src;
    EXPECT_EQ(src.SetFormat(c.In, c.Out), c.Message == nullptr);
    EXPECT_EQ(DbgText(), c.Message == nullptr ? "" : c.Message);
}

INSTANTIATE_TEST_SUITE_P(Checks, DspNonInterleaveSrcFormat, testing::ValuesIn(c_SetFormatCases),
                         [](const testing::TestParamInfo<SetFormatCase>& info)
                         { return std::string(info.param.Name); });

TEST(DspNonInterleaveSrc, CreatesOnceAndFreesEverything)
{
    {
        CDspNonInterleaveSrc src;
        ASSERT_TRUE(src.CreateStages());
        EXPECT_FALSE(src.CreateStages());
        EXPECT_EQ(EmuPoolOutstandingCount(POOL_TAG("SRCX")), 96u);
        EXPECT_EQ(EmuPoolOutstandingCount(POOL_TAG("DSPS")), 5u);
        src.DestroyStages();
        EXPECT_EQ(EmuPoolOutstandingCount(), 0u);
    }
    for (ULONG skip = 0; skip < 101; ++skip)
    {
        EmuPoolInjectFailure(0, skip);
        {
            CDspNonInterleaveSrc src;
            EXPECT_FALSE(src.CreateStages()) << "allocation " << skip;
        }
        EmuPoolClearInjection();
        EXPECT_EQ(EmuPoolOutstandingCount(), 0u);
    }
}
} // namespace

namespace
{
TEST(DspNonInterleaveSrc, WithoutStagesTheBitDepthStageRefuses)
{
    CDspNonInterleaveSrc src;
    EXPECT_FALSE(src.SetFormat(FloatFormat(2, 48000), FloatFormat(2, 48000)));
    EXPECT_EQ(DbgText(), "CDspNonInterleaveSrc::SetFormat m_pBitDepthConvert->SetFormat False\n");
}
} // namespace
