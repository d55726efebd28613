#include "streaming/conversion/channel_conversion.h"

namespace
{
constexpr ULONG kChannels = MAX_SOFTWARE_DSP_PROCESS_CHANNELS;
// Surround weights of the downmixes: the near side of a surround pair and the
// far side.
constexpr float kA = 0.871f;
constexpr float kB = 0.49f;
constexpr float kHalfA = kA * 0.5f;
constexpr float kHalfB = kB * 0.5f;
constexpr float kCentre = 0.707f;

// One output channel: its weights over the input channels (values before the
// frame is changed), or left as it is.
struct MixRow
{
    bool Written;
    float Weight[kChannels];
};

// The mix of one (input, output) pair; rows not listed stay unchanged.
struct MixRule
{
    ULONG In;
    ULONG OutLow; // the rule serves every output count in OutLow .. OutHigh
    ULONG OutHigh;
    ULONG ZeroFrom; // output channels ZeroFrom .. output count - 1 become silent
    struct
    {
        ULONG Channel;
        float Weight[kChannels];
    } Rows[4];
    ULONG RowCount;
};

constexpr float kSixth = 1.0f / 6.0f;

// The fixed mixing table. Upmixes copy or move channels and silence the new
// ones; downmixes fold the centre at 0.707 and the surround pairs with the
// weights a and b (halved for two pairs).
constexpr MixRule c_MixRules[] = {
    {1, 2, 8, 2, {{1, {1}}}, 1},
    {2, 3, 8, 2, {}, 0},
    // The rear pair moves from channels 2/3 to 4/5; for five outputs channel 5
    // is written as well (the buffers always have room for eight).
    {4, 5, 8, 6, {{4, {0, 0, 1}}, {5, {0, 0, 0, 1}}, {2, {}}, {3, {}}}, 4},
    {6, 7, 8, 6, {}, 0},
    {2, 1, 1, kChannels, {{0, {0.5f, 0.5f}}}, 1},
    {4, 1, 1, kChannels, {{0, {0.25f, 0.25f, 0.25f, 0.25f}}}, 1},
    {4, 2, 2, kChannels, {{0, {1, 0, -kA, -kB}}, {1, {0, 1, kB, kA}}}, 2},
    {6, 1, 1, kChannels, {{0, {kSixth, kSixth, kSixth, kSixth, kSixth, kSixth}}}, 1},
    {6,
     2,
     2,
     kChannels,
     {{0, {1, 0, kCentre, kCentre, -kA, -kB}}, {1, {0, 1, kCentre, kCentre, kB, kA}}},
     2},
    {6,
     4,
     4,
     kChannels,
     {{0, {1, 0, kCentre, kCentre}},
      {1, {0, 1, kCentre, kCentre}},
      {2, {0, 0, 0, 0, 1}},
      {3, {0, 0, 0, 0, 0, 1}}},
     4},
    {8,
     1,
     1,
     kChannels,
     {{0, {0.125f, 0.125f, 0.125f, 0.125f, 0.125f, 0.125f, 0.125f, 0.125f}}},
     1},
    {8,
     2,
     2,
     kChannels,
     {{0, {1, 0, kCentre, kCentre, -kHalfA, -kHalfB, -kHalfA, -kHalfB}},
      {1, {0, 1, kCentre, kCentre, kHalfB, kHalfA, kHalfB, kHalfA}}},
     2},
    {8,
     4,
     4,
     kChannels,
     {{0, {1, 0, kCentre, kCentre}},
      {1, {0, 1, kCentre, kCentre}},
      {2, {0, 0, 0, 0, kA, kB, 1, 0}},
      {3, {0, 0, 0, 0, kB, kA, 0, 1}}},
     4},
    {8, 6, 6, kChannels, {{4, {0, 0, 0, 0, kA, kB, 1, 0}}, {5, {0, 0, 0, 0, kB, kA, 0, 1}}}, 2},
};

const MixRule* FindRule(ULONG in, ULONG out)
{
    for (const MixRule& rule : c_MixRules)
    {
        if (rule.In == in && out >= rule.OutLow && out <= rule.OutHigh)
        {
            return &rule;
        }
    }
    return nullptr;
}

// The rows of the pair as a full matrix: written rows with their weights,
// silenced rows with none.
void BuildMatrix(const MixRule& rule, ULONG out, MixRow (&rows)[kChannels])
{
    for (ULONG c = 0; c < kChannels; ++c)
    {
        rows[c] = MixRow{c >= rule.ZeroFrom && c < out, {}};
    }
    for (ULONG r = 0; r < rule.RowCount; ++r)
    {
        MixRow& row = rows[rule.Rows[r].Channel];
        row.Written = true;
        for (ULONG i = 0; i < kChannels; ++i)
        {
            row.Weight[i] = rule.Rows[r].Weight[i];
        }
    }
}

bool IsFloat(const WAVEFORMATEXTENSIBLE& format)
{
    return SrcFormatTag(format) == WAVE_FORMAT_IEEE_FLOAT;
}

bool ChannelsAccepted(const WAVEFORMATEXTENSIBLE& format)
{
    return format.Format.nChannels >= 1 &&
           format.Format.nChannels <= MAX_SOFTWARE_DSP_PROCESS_CHANNELS;
}
} // namespace

CChannelConversion::CChannelConversion() : m_InFormat{}, m_OutFormat{}, m_Created(0) {}

bool CChannelConversion::Create()
{
    if (m_Created != 0)
    {
        return false;
    }
    m_Created = 1;
    return true;
}

bool CChannelConversion::SetFormat(const WAVEFORMATEXTENSIBLE& inFormat,
                                   const WAVEFORMATEXTENSIBLE& outFormat)
{
    static const char c_Name[] = "CChannelConversion::SetFormat";
    if (!IsFloat(inFormat))
    {
        DbgPrint("%s Tag not WAVE_FORMAT_IEEE_FLOAT\n", c_Name);
        return false;
    }
    if (!IsFloat(outFormat))
    {
        DbgPrint("%s Output Tag not WAVE_FORMAT_IEEE_FLOAT\n", c_Name);
        return false;
    }
    if (!ChannelsAccepted(inFormat) || !ChannelsAccepted(outFormat))
    {
        DbgPrint("%s InFormat.Format.nChannels > MAX_SOFTWARE_DSP_PROCESS_CHANNELS\n", c_Name);
        return false;
    }
    m_InFormat = inFormat;
    m_OutFormat = outFormat;
    return true;
}

bool CChannelConversion::Process(float* const* channels, ULONG frameCount, ULONG flag)
{
    UNREFERENCED_PARAMETER(flag);
    const ULONG in = m_InFormat.Format.nChannels;
    const ULONG out = m_OutFormat.Format.nChannels;
    const MixRule* rule = in == out ? nullptr : FindRule(in, out);
    if (rule == nullptr)
    {
        return true;
    }
    MixRow rows[kChannels];
    BuildMatrix(*rule, out, rows);
    // Only input channels are read: the others may hold anything.
    for (ULONG frame = 0; frame < frameCount; ++frame)
    {
        float before[kChannels] = {};
        for (ULONG c = 0; c < in; ++c)
        {
            before[c] = channels[c][frame];
        }
        for (ULONG c = 0; c < kChannels; ++c)
        {
            if (!rows[c].Written)
            {
                continue;
            }
            float sum = 0.0f;
            for (ULONG i = 0; i < in; ++i)
            {
                sum += rows[c].Weight[i] * before[i];
            }
            channels[c][frame] = sum;
        }
    }
    return true;
}
