// Interleaved sample-rate converter: format checks and their messages, the
// stage chain of every rate pair, exact frame counts, sample-type conversion
// and long blocks.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/kernel/emu.h"
#include "streaming/conversion/dsp_interleave_src.h"
#include "tests/streaming/conversion/src_test_util.h"

namespace
{
// Names the stages of the active chain.
class ChainProbe : public CDspInterleaveSrc
{
  public:
    std::string Describe() const
    {
        std::string text;
        for (ULONG i = 1; i < SRC_CHAIN_STAGES && m_Chain[i] != nullptr; ++i)
        {
            const CDspSrcStage* s = m_Chain[i];
            text += text.empty() ? "" : ", ";
            text += s == m_pHalfBand ? "H" : s == m_pQuarterBand ? "Q" : "F";
            text += s->GetMode() == SRC_MODE_UP ? " up" : " down";
        }
        return m_Chain[0] == m_pSplit && m_pSplit != nullptr ? (text.empty() ? "-" : text)
                                                             : "no split";
    }
};

const ULONG c_Rates[] = {44100, 48000, 88200, 96000, 176400, 192000};

// The rate-pair table, rows by input rate, columns by output rate.
const char* const c_Chains[6][6] = {
    {"-", "F up", "H up", "F up, H up", "Q up", "F up, Q up"},
    {"F down", "-", "F down, H up", "H up", "F down, Q up", "Q up"},
    {"H down", "H down, F up", "-", "F up", "H up", "F up, H up"},
    {"H down, F down", "H down", "F down", "-", "F down, H up", "H up"},
    {"Q down", "Q down, F up", "H down", "H down, F up", "-", "F up"},
    {"Q down, F down", "Q down", "H down, F down", "H down", "F down", "-"},
};

TEST(DspInterleaveSrc, EveryRatePairGetsItsChain)
{
    ChainProbe src;
    ASSERT_TRUE(src.CreateConverterStages());
    for (int i = 0; i < 6; ++i)
    {
        for (int o = 0; o < 6; ++o)
        {
            ASSERT_TRUE(src.SetFormat(FloatFormat(2, c_Rates[i]), FloatFormat(2, c_Rates[o])));
            EXPECT_EQ(src.Describe(), c_Chains[i][o]) << c_Rates[i] << " -> " << c_Rates[o];
        }
    }
}

TEST(DspInterleaveSrc, CreatesOnceAndFreesEverything)
{
    {
        CDspInterleaveSrc src;
        ASSERT_TRUE(src.CreateConverterStages());
        EXPECT_FALSE(src.CreateConverterStages());
        // 4 stages, their 24 blocks each, the channel conversion, the work buffer.
        EXPECT_EQ(EmuPoolOutstandingCount(POOL_TAG("SRCX")), 96u);
        EXPECT_EQ(EmuPoolOutstandingCount(POOL_TAG("DSPS")), 6u);
        src.DestroyConverterStages();
        EXPECT_EQ(EmuPoolOutstandingCount(), 0u);
    }
}

TEST(DspInterleaveSrc, AnAllocationFailureFailsCreationAndLeaksNothing)
{
    // Every allocation in turn fails once; creation reports it, destruction
    // frees what was made.
    for (ULONG skip = 0; skip < 102; ++skip)
    {
        EmuPoolInjectFailure(0, skip);
        {
            CDspInterleaveSrc src;
            EXPECT_FALSE(src.CreateConverterStages()) << "allocation " << skip;
        }
        EmuPoolClearInjection();
        EXPECT_EQ(EmuPoolOutstandingCount(), 0u);
    }
    CDspInterleaveSrc src;
    EXPECT_TRUE(src.CreateConverterStages());
}

struct SetFormatCase
{
    const char* Name;
    WAVEFORMATEXTENSIBLE In;
    WAVEFORMATEXTENSIBLE Out;
    const char* Message; // null: accepted; "" refused without a message
};

const WAVEFORMATEXTENSIBLE c_Pcm16 = MakeFormat(WAVE_FORMAT_PCM, 2, 48000, 16);

WAVEFORMATEXTENSIBLE WithTag(WAVEFORMATEXTENSIBLE f, USHORT tag)
{
    f.Format.wFormatTag = tag;
    return f;
}

const SetFormatCase c_SetFormatCases[] = {
    {"Pcm16ToFloat", c_Pcm16, FloatFormat(2, 44100), nullptr},
    {"ExtensiblePcm24", MakeExtensible(WAVE_FORMAT_PCM, 8, 192000, 24),
     MakeExtensible(WAVE_FORMAT_IEEE_FLOAT, 8, 44100, 32), nullptr},
    {"InputTag", WithTag(c_Pcm16, 2), c_Pcm16, "CDspInterleaveSrc::SetFormat Tag not PCM\n"},
    {"InputSubformat", MakeExtensible(2, 2, 48000, 16), c_Pcm16,
     "CDspInterleaveSrc::SetFormat Tag not PCM\n"},
    {"InputChannels", MakeFormat(WAVE_FORMAT_PCM, 9, 48000, 16),
     MakeFormat(WAVE_FORMAT_PCM, 9, 48000, 16),
     "CDspInterleaveSrc::SetFormat InFormat.Format.nChannels > "
     "MAX_SOFTWARE_DSP_PROCESS_CHANNELS\n"},
    {"InputRate", MakeFormat(WAVE_FORMAT_PCM, 2, 32000, 16), c_Pcm16,
     "CDspInterleaveSrc::SetFormat InFormat.Format.nSamplesPerSec not in List\n"},
    {"InputBits20", MakeFormat(WAVE_FORMAT_PCM, 2, 48000, 20), c_Pcm16,
     "CDspInterleaveSrc::SetFormat InFormat.Format.wBitsPerSample not in List\n"},
    {"InputFloat16", MakeFormat(WAVE_FORMAT_IEEE_FLOAT, 2, 48000, 16), c_Pcm16,
     "CDspInterleaveSrc::SetFormat InFormat.Format.wBitsPerSample not in List\n"},
    {"OutputTag", c_Pcm16, WithTag(c_Pcm16, 0x55),
     "CDspInterleaveSrc::SetFormat Output Tag not PCM\n"},
    {"OutputChannelsDiffer", c_Pcm16, MakeFormat(WAVE_FORMAT_PCM, 1, 48000, 16),
     "CDspInterleaveSrc::SetFormat Output OutFormat.Format.nChannels > "
     "MAX_SOFTWARE_DSP_PROCESS_CHANNELS\n"},
    {"OutputRate", c_Pcm16, MakeFormat(WAVE_FORMAT_PCM, 2, 22050, 16),
     "CDspInterleaveSrc::SetFormat OutFormat.Format.nSamplesPerSec not in List\n"},
    {"OutputBits", c_Pcm16, MakeFormat(WAVE_FORMAT_PCM, 2, 48000, 8), ""},
};

class DspInterleaveSrcFormat : public testing::TestWithParam<SetFormatCase>
{
};

TEST_P(DspInterleaveSrcFormat, IsCheckedInOrder)
{
    const SetFormatCase& c = GetParam();
    ChainProbe src;
    ASSERT_TRUE(src.CreateConverterStages());
    ASSERT_TRUE(src.SetFormat(FloatFormat(2, 44100), FloatFormat(2, 48000)));
    EXPECT_EQ(src.SetFormat(c.In, c.Out), c.Message == nullptr);
    EXPECT_EQ(DbgText(), c.Message == nullptr ? "" : c.Message);
    if (c.Message != nullptr)
    {
        // A refused format leaves the previous chain in place.
        EXPECT_EQ(src.Describe(), "F up");
    }
}

INSTANTIATE_TEST_SUITE_P(Checks, DspInterleaveSrcFormat, testing::ValuesIn(c_SetFormatCases),
                         [](const testing::TestParamInfo<SetFormatCase>& info)
                         { return std::string(info.param.Name); });

struct CountCase
{
    ULONG InRate;
    ULONG OutRate;
    ULONG InFrames;
    ULONG OutFrames;
};

// Frames produced by a fresh converter from the first input frames.
const CountCase c_CountCases[] = {
    {44100, 48000, 147, 160},   {44100, 48000, 1, 2},       {44100, 48000, 2, 3},
    {48000, 44100, 160, 147},   {48000, 44100, 480, 441},   {44100, 88200, 100, 200},
    {88200, 44100, 100, 50},    {44100, 176400, 10, 40},    {176400, 44100, 400, 100},
    {176400, 48000, 1764, 480}, {44100, 192000, 441, 1920}, {192000, 44100, 1920, 441},
};

class DspInterleaveSrcCount : public testing::TestWithParam<CountCase>
{
};

TEST_P(DspInterleaveSrcCount, ProducesTheExactFrameCount)
{
    const CountCase& c = GetParam();
    CDspInterleaveSrc src;
    ASSERT_TRUE(src.CreateConverterStages());
    ASSERT_TRUE(src.SetFormat(FloatFormat(2, c.InRate), FloatFormat(2, c.OutRate)));
    std::vector<float> input(2 * c.InFrames, 0.25f);
    std::vector<float> output(2 * 4 * c.OutFrames + 16);
    ULONG in = c.InFrames;
    ULONG out = (ULONG)(output.size() / 2);
    EXPECT_TRUE(src.Process(reinterpret_cast<const UCHAR*>(input.data()), &in,
                            reinterpret_cast<UCHAR*>(output.data()), &out));
    EXPECT_EQ(in, c.InFrames);
    EXPECT_EQ(out, c.OutFrames);
}

INSTANTIATE_TEST_SUITE_P(Pairs, DspInterleaveSrcCount, testing::ValuesIn(c_CountCases));

TEST(DspInterleaveSrc, EqualRatesKeep16BitValuesIn32Bits)
{
    CDspInterleaveSrc src;
    ASSERT_TRUE(src.CreateConverterStages());
    ASSERT_TRUE(src.SetFormat(MakeFormat(WAVE_FORMAT_PCM, 2, 48000, 16),
                              MakeFormat(WAVE_FORMAT_PCM, 2, 48000, 32)));
    // Longer than 10 ms: several passes, written one after the other.
    constexpr ULONG kFrames = 2000;
    std::vector<int16_t> input(2 * kFrames);
    for (size_t i = 0; i < input.size(); ++i)
    {
        input[i] = (int16_t)((i * 7919) % 65536 - 32768);
    }
    std::vector<int32_t> output(2 * kFrames + 2, 0x5A5A5A5A);
    ULONG in = kFrames;
    ULONG out = kFrames + 1;
    src.Process(reinterpret_cast<const UCHAR*>(input.data()), &in,
                reinterpret_cast<UCHAR*>(output.data()), &out);
    ASSERT_EQ(in, kFrames);
    ASSERT_EQ(out, kFrames);
    for (size_t i = 0; i < input.size(); ++i)
    {
        ASSERT_EQ(output[i], (int32_t)input[i] * 65536) << "sample " << i;
    }
    EXPECT_EQ(output[2 * kFrames], 0x5A5A5A5A);
}

// One sample through equal rates in each pair of sample types.
struct SampleCase
{
    const char* Name;
    WAVEFORMATEXTENSIBLE In;
    std::vector<UCHAR> InBytes;
    WAVEFORMATEXTENSIBLE Out;
    std::vector<UCHAR> OutBytes;
};

std::vector<UCHAR> FloatBytes(float v)
{
    std::vector<UCHAR> b(4);
    memcpy(b.data(), &v, 4);
    return b;
}

const SampleCase c_SampleCases[] = {
    {"Pcm24ToPcm16",
     MakeFormat(WAVE_FORMAT_PCM, 1, 96000, 24),
     {0x00, 0x00, 0xC0},
     MakeFormat(WAVE_FORMAT_PCM, 1, 96000, 16),
     {0x00, 0xC0}},
    {"Pcm16ToPcm24",
     MakeFormat(WAVE_FORMAT_PCM, 1, 96000, 16),
     {0x34, 0x12},
     MakeFormat(WAVE_FORMAT_PCM, 1, 96000, 24),
     {0x00, 0x34, 0x12}},
    {"Pcm32ToFloat",
     MakeFormat(WAVE_FORMAT_PCM, 1, 44100, 32),
     {0, 0, 0, 0x20},
     FloatFormat(1, 44100),
     FloatBytes(0.25f)},
    {"FloatToPcm16",
     FloatFormat(1, 44100),
     FloatBytes(-0.5f),
     MakeFormat(WAVE_FORMAT_PCM, 1, 44100, 16),
     {0x00, 0xC0}},
    // 16-bit output rounds toward zero: -0.7 and +0.7 of a step give 0.
    {"FloatToPcm16TowardZero",
     FloatFormat(2, 44100),
     []
     {
         std::vector<UCHAR> b = FloatBytes(-0.7f / 32768), r = FloatBytes(16383.7f / 32768);
         b.insert(b.end(), r.begin(), r.end());
         return b;
     }(),
     MakeFormat(WAVE_FORMAT_PCM, 2, 44100, 16),
     {0x00, 0x00, 0xFF, 0x3F}},
    {"FloatClipsToPcm24",
     FloatFormat(1, 44100),
     FloatBytes(1.5f),
     MakeFormat(WAVE_FORMAT_PCM, 1, 44100, 24),
     {0xFF, 0xFF, 0x7F}},
    {"ExtensibleFloatToPcm32",
     MakeExtensible(WAVE_FORMAT_IEEE_FLOAT, 1, 44100, 32),
     FloatBytes(0.5f),
     MakeExtensible(WAVE_FORMAT_PCM, 1, 44100, 32),
     {0, 0, 0, 0x40}},
};

class DspInterleaveSrcSample : public testing::TestWithParam<SampleCase>
{
};

TEST_P(DspInterleaveSrcSample, ConvertsTheSampleType)
{
    const SampleCase& c = GetParam();
    CDspInterleaveSrc src;
    ASSERT_TRUE(src.CreateConverterStages());
    ASSERT_TRUE(src.SetFormat(c.In, c.Out));
    std::vector<UCHAR> output(c.OutBytes.size() + 1, 0xEE);
    ULONG in = 1;
    ULONG out = 1;
    src.Process(c.InBytes.data(), &in, output.data(), &out);
    EXPECT_EQ(out, 1u);
    output.pop_back();
    EXPECT_EQ(output, c.OutBytes);
}

INSTANTIATE_TEST_SUITE_P(Types, DspInterleaveSrcSample, testing::ValuesIn(c_SampleCases),
                         [](const testing::TestParamInfo<SampleCase>& info)
                         { return std::string(info.param.Name); });

TEST(DspInterleaveSrc, ChunkingDoesNotChangeTheResult)
{
    for (ULONG outRate : {48000u, 96000u, 192000u})
    {
        CDspInterleaveSrc whole;
        CDspInterleaveSrc pieces;
        ASSERT_TRUE(whole.CreateConverterStages());
        ASSERT_TRUE(pieces.CreateConverterStages());
        ASSERT_TRUE(whole.SetFormat(FloatFormat(2, 44100), FloatFormat(2, outRate)));
        ASSERT_TRUE(pieces.SetFormat(FloatFormat(2, 44100), FloatFormat(2, outRate)));
        std::vector<float> input = Sine(44100, 997, 0.5, 2 * 3000);
        const std::vector<float> a = ConvertFloat(whole, input, 2, 3000);
        const std::vector<float> b = ConvertFloat(pieces, input, 2, 37);
        ASSERT_EQ(a.size(), b.size());
        for (size_t i = 0; i < a.size(); ++i)
        {
            ASSERT_NEAR(a[i], b[i], 1e-6f) << "sample " << i;
        }
    }
}

TEST(DspInterleaveSrc, ChannelsStayApart)
{
    CDspInterleaveSrc stereo;
    CDspInterleaveSrc mono;
    ASSERT_TRUE(stereo.CreateConverterStages());
    ASSERT_TRUE(mono.CreateConverterStages());
    ASSERT_TRUE(stereo.SetFormat(FloatFormat(2, 192000), FloatFormat(2, 44100)));
    ASSERT_TRUE(mono.SetFormat(FloatFormat(1, 192000), FloatFormat(1, 44100)));
    const std::vector<float> left = Sine(192000, 440, 0.5, 4000);
    const std::vector<float> right = Sine(192000, 5000, 0.25, 4000);
    std::vector<float> both(8000);
    for (size_t i = 0; i < 4000; ++i)
    {
        both[2 * i] = left[i];
        both[2 * i + 1] = right[i];
    }
    const std::vector<float> out = ConvertFloat(stereo, both, 2, 4000);
    const std::vector<float> outRight = ConvertFloat(mono, right, 1, 4000);
    ASSERT_EQ(out.size(), 2 * outRight.size());
    for (size_t i = 0; i < outRight.size(); ++i)
    {
        ASSERT_EQ(out[2 * i + 1], outRight[i]) << "frame " << i;
    }
}

// Output held back by a small room piles up in the last stage; a later call
// with a large room hands it out through the work buffer in several passes.
TEST(DspInterleaveSrc, HeldOutputLargerThanTheWorkBufferGoesOutInPieces)
{
    CDspInterleaveSrc src;
    CDspInterleaveSrc reference;
    ASSERT_TRUE(src.CreateConverterStages());
    ASSERT_TRUE(reference.CreateConverterStages());
    ASSERT_TRUE(src.SetFormat(FloatFormat(8, 44100), FloatFormat(8, 176400)));
    ASSERT_TRUE(reference.SetFormat(FloatFormat(8, 44100), FloatFormat(8, 176400)));
    const std::vector<float> tone = Sine(44100, 1000, 0.5, 441 * 8);
    std::vector<float> input(8 * tone.size());
    for (size_t i = 0; i < input.size(); ++i)
    {
        input[i] = tone[i / 8] * (float)(1 + i % 8) / 8.0f;
    }
    std::vector<float> output(8 * 20000);
    size_t at = 0;
    size_t produced = 0;
    for (int call = 0; call < 6; ++call)
    {
        ULONG in = 441;
        ULONG out = 1;
        src.Process(reinterpret_cast<const UCHAR*>(input.data() + 8 * at), &in,
                    reinterpret_cast<UCHAR*>(output.data() + 8 * produced), &out);
        at += in;
        produced += out;
    }
    ULONG in = 441;
    ULONG out = 20000 - (ULONG)produced;
    src.Process(reinterpret_cast<const UCHAR*>(input.data() + 8 * at), &in,
                reinterpret_cast<UCHAR*>(output.data() + 8 * produced), &out);
    EXPECT_GT(out, SRC_WORK_BUFFER_FRAMES);
    at += in;
    produced += out;
    const std::vector<float> expected =
        ConvertFloat(reference, std::vector<float>(input.begin(), input.begin() + 8 * at), 8, 441);
    ASSERT_GE(expected.size(), 8 * produced);
    for (size_t i = 0; i < 8 * produced; ++i)
    {
        ASSERT_NEAR(output[i], expected[i], 1e-6f) << "sample " << i;
    }
}

TEST(DspInterleaveSrc, ResetClearsTheHistory)
{
    CDspInterleaveSrc src;
    ASSERT_TRUE(src.CreateConverterStages());
    ASSERT_TRUE(src.SetFormat(FloatFormat(1, 48000), FloatFormat(1, 96000)));
    const std::vector<float> tone = Sine(48000, 3000, 0.5, 480);
    const std::vector<float> first = ConvertFloat(src, tone, 1, 480);
    ConvertFloat(src, Sine(48000, 700, 0.9, 480), 1, 480);
    EXPECT_TRUE(src.ResetConverter());
    EXPECT_EQ(ConvertFloat(src, tone, 1, 480), first);
}

TEST(DspInterleaveSrc, WithoutAFormatNothingIsConverted)
{
    CDspInterleaveSrc src;
    ASSERT_TRUE(src.CreateConverterStages());
    float sample[2] = {0.5f, 0.5f};
    ULONG in = 1;
    ULONG out = 1;
    EXPECT_TRUE(src.Process(reinterpret_cast<const UCHAR*>(sample), &in,
                            reinterpret_cast<UCHAR*>(sample), &out));
    EXPECT_EQ(in, 0u);
    EXPECT_EQ(out, 0u);
}
} // namespace

namespace
{
TEST(DspInterleaveSrc, WithoutStagesTheSplitStageRefuses)
{
    CDspInterleaveSrc src;
    EXPECT_FALSE(src.SetFormat(FloatFormat(2, 48000), FloatFormat(2, 48000)));
    EXPECT_EQ(DbgText(), "CDspInterleaveSrc::SetFormat m_pSplit->SetFormat False\n");
}
} // namespace

namespace
{
// The 147/160 stage as the last stage fills up while the output room stays
// at one frame; every call must still return, and the held output comes out
// once room is given.
TEST(DspInterleaveSrc, AFullLastStageEndsTheCall)
{
    CDspInterleaveSrc src;
    ASSERT_TRUE(src.CreateConverterStages());
    ASSERT_TRUE(src.SetFormat(FloatFormat(1, 96000), FloatFormat(1, 88200)));
    const std::vector<float> input(960, 0.25f);
    float sink[8000];
    ULONG produced = 0;
    for (int call = 0; call < 20; ++call)
    {
        ULONG in = 960;
        ULONG out = 1;
        src.Process(reinterpret_cast<const UCHAR*>(input.data()), &in,
                    reinterpret_cast<UCHAR*>(sink), &out);
        produced += out;
    }
    EXPECT_EQ(produced, 20u);
    ULONG in = 960;
    ULONG out = 8000;
    src.Process(reinterpret_cast<const UCHAR*>(input.data()), &in, reinterpret_cast<UCHAR*>(sink),
                &out);
    EXPECT_GE(out, SRC_STAGE_BUFFER_SAMPLES);
}
} // namespace
