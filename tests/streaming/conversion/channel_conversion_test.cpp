// Channel conversion: every mixing rule against the formulas written out
// independently, the channels a rule must leave alone, and the format checks.
#include <gtest/gtest.h>

#include <array>
#include <functional>

#include "platform/kernel/emu.h"
#include "streaming/conversion/channel_conversion.h"
#include "tests/streaming/conversion/src_test_util.h"

namespace
{
using Frame = std::array<float, 8>;
constexpr float a = 0.871f;
constexpr float b = 0.49f;
// Marks what a channel held before the call where no input channel lies.
constexpr float kJunk = 9.0f;

struct MixCase
{
    const char* Name;
    USHORT In;
    USHORT Out;
    std::function<Frame(const Frame&)> Expected; // from the values before the frame
};

Frame Same(const Frame& x)
{
    return x;
}

const MixCase c_MixCases[] = {
    {"2to2", 2, 2, Same},
    {"1to2", 1, 2,
     [](const Frame& x)
     {
         Frame y = x;
         y[1] = x[0];
         return y;
     }},
    {"1to6", 1, 6,
     [](const Frame& x)
     {
         Frame y = x;
         y[1] = x[0];
         y[2] = y[3] = y[4] = y[5] = 0;
         return y;
     }},
    {"2to6", 2, 6,
     [](const Frame& x)
     {
         Frame y = x;
         y[2] = y[3] = y[4] = y[5] = 0;
         return y;
     }},
    {"2to3", 2, 3,
     [](const Frame& x)
     {
         Frame y = x;
         y[2] = 0;
         return y;
     }},
    {"4to5", 4, 5,
     [](const Frame& x)
     {
         Frame y = x;
         y[4] = x[2];
         y[5] = x[3];
         y[2] = y[3] = 0;
         return y;
     }},
    {"4to8", 4, 8,
     [](const Frame& x)
     {
         Frame y = x;
         y[4] = x[2];
         y[5] = x[3];
         y[2] = y[3] = y[6] = y[7] = 0;
         return y;
     }},
    {"6to7", 6, 7,
     [](const Frame& x)
     {
         Frame y = x;
         y[6] = 0;
         return y;
     }},
    {"6to8", 6, 8,
     [](const Frame& x)
     {
         Frame y = x;
         y[6] = y[7] = 0;
         return y;
     }},
    {"3to6", 3, 6, Same},
    {"5to8", 5, 8, Same},
    {"7to8", 7, 8, Same},
    {"2to1", 2, 1,
     [](const Frame& x)
     {
         Frame y = x;
         y[0] = 0.5f * x[0] + 0.5f * x[1];
         return y;
     }},
    {"4to1", 4, 1,
     [](const Frame& x)
     {
         Frame y = x;
         y[0] = 0.25f * (x[0] + x[1] + x[2] + x[3]);
         return y;
     }},
    {"4to2", 4, 2,
     [](const Frame& x)
     {
         Frame y = x;
         y[0] = x[0] - (b * x[3] + a * x[2]);
         y[1] = x[1] + (b * x[2] + a * x[3]);
         return y;
     }},
    {"6to1", 6, 1,
     [](const Frame& x)
     {
         Frame y = x;
         y[0] = (x[0] + x[1] + x[2] + x[3] + x[4] + x[5]) / 6;
         return y;
     }},
    {"6to2", 6, 2,
     [](const Frame& x)
     {
         Frame y = x;
         y[0] = x[0] + 0.707f * (x[2] + x[3]) - a * x[4] - b * x[5];
         y[1] = x[1] + 0.707f * (x[2] + x[3]) + b * x[4] + a * x[5];
         return y;
     }},
    {"6to4", 6, 4,
     [](const Frame& x)
     {
         Frame y = x;
         y[0] = x[0] + 0.707f * (x[2] + x[3]);
         y[1] = x[1] + 0.707f * (x[2] + x[3]);
         y[2] = x[4];
         y[3] = x[5];
         return y;
     }},
    {"8to1", 8, 1,
     [](const Frame& x)
     {
         Frame y = x;
         y[0] = 0.125f * (x[0] + x[1] + x[2] + x[3] + x[4] + x[5] + x[6] + x[7]);
         return y;
     }},
    {"8to2", 8, 2,
     [](const Frame& x)
     {
         Frame y = x;
         const float a2 = a * 0.5f, b2 = b * 0.5f;
         y[0] = x[0] + 0.707f * (x[2] + x[3]) - a2 * (x[4] + x[6]) - b2 * (x[5] + x[7]);
         y[1] = x[1] + 0.707f * (x[2] + x[3]) + b2 * (x[4] + x[6]) + a2 * (x[5] + x[7]);
         return y;
     }},
    {"8to4", 8, 4,
     [](const Frame& x)
     {
         Frame y = x;
         y[0] = x[0] + 0.707f * (x[2] + x[3]);
         y[1] = x[1] + 0.707f * (x[2] + x[3]);
         y[2] = a * x[4] + b * x[5] + x[6];
         y[3] = b * x[4] + a * x[5] + x[7];
         return y;
     }},
    {"8to6", 8, 6,
     [](const Frame& x)
     {
         Frame y = x;
         y[4] = a * x[4] + b * x[5] + x[6];
         y[5] = b * x[4] + a * x[5] + x[7];
         return y;
     }},
    {"4to3", 4, 3, Same},
    {"6to3", 6, 3, Same},
    {"6to5", 6, 5, Same},
    {"8to3", 8, 3, Same},
    {"8to5", 8, 5, Same},
    {"8to7", 8, 7, Same},
    {"3to2", 3, 2, Same},
    {"5to2", 5, 2, Same},
    {"7to1", 7, 1, Same},
};

class ChannelConversionMix : public testing::TestWithParam<MixCase>
{
};

TEST_P(ChannelConversionMix, EveryFrameFollowsTheRule)
{
    const MixCase& c = GetParam();
    CChannelConversion conversion;
    ASSERT_TRUE(conversion.SetFormat(FloatFormat(c.In, 48000), FloatFormat(c.Out, 48000)));
    constexpr ULONG kFrames = 5;
    std::array<std::array<float, kFrames>, 8> data;
    std::array<Frame, kFrames> before;
    for (ULONG f = 0; f < kFrames; ++f)
    {
        for (ULONG ch = 0; ch < 8; ++ch)
        {
            // Distinct values per channel and frame, negative ones too.
            const float v =
                ch < c.In ? 0.05f * (float)(ch + 1) * (f % 2 ? -1.0f : 1.0f) + 0.01f * (float)f
                          : kJunk;
            data[ch][f] = v;
            before[f][ch] = v;
        }
    }
    float* channels[8];
    for (ULONG ch = 0; ch < 8; ++ch)
    {
        channels[ch] = data[ch].data();
    }
    EXPECT_TRUE(conversion.Process(channels, kFrames, 0));
    for (ULONG f = 0; f < kFrames; ++f)
    {
        const Frame expected = c.Expected(before[f]);
        for (ULONG ch = 0; ch < 8; ++ch)
        {
            EXPECT_NEAR(data[ch][f], expected[ch], 1e-6f) << "frame " << f << " channel " << ch;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Rules, ChannelConversionMix, testing::ValuesIn(c_MixCases),
                         [](const testing::TestParamInfo<MixCase>& info)
                         { return std::string(info.param.Name); });

// The figures a listener checks by ear, from single-channel signals.
struct SpotCase
{
    const char* Name;
    USHORT In;
    USHORT Out;
    Frame Input;
    float Left;
    float Right;
};

const SpotCase c_SpotCases[] = {
    {"StereoSameToMono", 2, 1, {1.0f, 1.0f}, 1.0f, 1.0f},
    {"StereoOppositeToMono", 2, 1, {1.0f, -1.0f}, 0.0f, -1.0f},
    {"CentreOf51", 6, 2, {0, 0, 1.0f}, 0.707f, 0.707f},
    {"LeftSurroundOf51", 6, 2, {0, 0, 0, 0, 1.0f}, -0.871f, 0.49f},
    {"Channel6Of71", 8, 2, {0, 0, 0, 0, 0, 0, 1.0f}, -0.4355f, 0.245f},
    {"MonoToStereo", 1, 2, {0.25f, kJunk}, 0.25f, 0.25f},
};

class ChannelConversionSpot : public testing::TestWithParam<SpotCase>
{
};

TEST_P(ChannelConversionSpot, GivesTheKnownLevels)
{
    const SpotCase& c = GetParam();
    CChannelConversion conversion;
    ASSERT_TRUE(conversion.SetFormat(FloatFormat(c.In, 44100), FloatFormat(c.Out, 44100)));
    Frame frame = c.Input;
    float* channels[8];
    for (ULONG ch = 0; ch < 8; ++ch)
    {
        channels[ch] = &frame[ch];
    }
    conversion.Process(channels, 1, 0);
    EXPECT_NEAR(frame[0], c.Left, 1e-6f);
    EXPECT_NEAR(frame[1], c.Right, 1e-6f);
}

INSTANTIATE_TEST_SUITE_P(Levels, ChannelConversionSpot, testing::ValuesIn(c_SpotCases),
                         [](const testing::TestParamInfo<SpotCase>& info)
                         { return std::string(info.param.Name); });

TEST(ChannelConversion, MonoToSixChannelsLeavesTheRestSilent)
{
    CChannelConversion conversion;
    ASSERT_TRUE(conversion.SetFormat(FloatFormat(1, 48000), FloatFormat(6, 48000)));
    Frame frame = {0.5f, kJunk, kJunk, kJunk, kJunk, kJunk, kJunk, kJunk};
    float* channels[8];
    for (ULONG ch = 0; ch < 8; ++ch)
    {
        channels[ch] = &frame[ch];
    }
    conversion.Process(channels, 1, 0);
    EXPECT_EQ(frame, (Frame{0.5f, 0.5f, 0, 0, 0, 0, kJunk, kJunk}));
}

struct FormatCase
{
    const char* Name;
    WAVEFORMATEXTENSIBLE In;
    WAVEFORMATEXTENSIBLE Out;
    const char* Message; // null: accepted
};

const FormatCase c_FormatCases[] = {
    {"Float", FloatFormat(2, 48000), FloatFormat(8, 48000), nullptr},
    {"ExtensibleFloat", MakeExtensible(WAVE_FORMAT_IEEE_FLOAT, 6, 48000, 32),
     MakeExtensible(WAVE_FORMAT_IEEE_FLOAT, 2, 48000, 32), nullptr},
    {"Pcm16In", MakeFormat(WAVE_FORMAT_PCM, 2, 48000, 16), FloatFormat(2, 48000),
     "CChannelConversion::SetFormat Tag not WAVE_FORMAT_IEEE_FLOAT\n"},
    {"ExtensiblePcmIn", MakeExtensible(WAVE_FORMAT_PCM, 2, 48000, 32), FloatFormat(2, 48000),
     "CChannelConversion::SetFormat Tag not WAVE_FORMAT_IEEE_FLOAT\n"},
    {"PcmOut", FloatFormat(2, 48000), MakeFormat(WAVE_FORMAT_PCM, 2, 48000, 32),
     "CChannelConversion::SetFormat Output Tag not WAVE_FORMAT_IEEE_FLOAT\n"},
    {"NineIn", FloatFormat(9, 48000), FloatFormat(2, 48000),
     "CChannelConversion::SetFormat InFormat.Format.nChannels > "
     "MAX_SOFTWARE_DSP_PROCESS_CHANNELS\n"},
    {"NineOut", FloatFormat(8, 48000), FloatFormat(9, 48000),
     "CChannelConversion::SetFormat InFormat.Format.nChannels > "
     "MAX_SOFTWARE_DSP_PROCESS_CHANNELS\n"},
    {"NoChannelIn", FloatFormat(0, 48000), FloatFormat(2, 48000),
     "CChannelConversion::SetFormat InFormat.Format.nChannels > "
     "MAX_SOFTWARE_DSP_PROCESS_CHANNELS\n"},
};

class ChannelConversionFormat : public testing::TestWithParam<FormatCase>
{
};

TEST_P(ChannelConversionFormat, IsCheckedWithItsMessage)
{
    const FormatCase& c = GetParam();
    CChannelConversion conversion;
    EXPECT_EQ(conversion.SetFormat(c.In, c.Out), c.Message == nullptr);
    EXPECT_EQ(DbgText(), c.Message == nullptr ? "" : c.Message);
}

INSTANTIATE_TEST_SUITE_P(Formats, ChannelConversionFormat, testing::ValuesIn(c_FormatCases),
                         [](const testing::TestParamInfo<FormatCase>& info)
                         { return std::string(info.param.Name); });

TEST(ChannelConversion, RefusedFormatKeepsThePreviousMix)
{
    CChannelConversion conversion;
    ASSERT_TRUE(conversion.SetFormat(FloatFormat(2, 48000), FloatFormat(1, 48000)));
    EXPECT_FALSE(conversion.SetFormat(FloatFormat(9, 48000), FloatFormat(2, 48000)));
    Frame frame = {1.0f, 0.0f};
    float* channels[8];
    for (ULONG ch = 0; ch < 8; ++ch)
    {
        channels[ch] = &frame[ch];
    }
    conversion.Process(channels, 1, 0);
    EXPECT_FLOAT_EQ(frame[0], 0.5f);
}

TEST(ChannelConversion, IsCreatedOnce)
{
    CChannelConversion conversion;
    EXPECT_TRUE(conversion.Create());
    EXPECT_FALSE(conversion.Create());
}
} // namespace
