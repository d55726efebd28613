// Render streams of every channel count to every kind of output, on both
// classes: a stream to headphones, S/PDIF or a headset offers its
// two-channel formats where it has any and all its formats where it has
// none; every device starts with its microphone and plays bit-exact. A
// stream left with no PCM format to offer is left out by its own line, and
// the rest of the device starts.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <set>
#include <tuple>

#include "platform/kernel/emu.h"
#include "sim/host/harness/host_formats.h"
#include "sim/host/harness/host_stream.h"
#include "tests/sim/host/render_filter.h"

namespace
{
using Bytes = std::vector<UCHAR>;

struct OutputKind
{
    USHORT TerminalType;
    const char* Prefix; // of the render filter's name
    bool TwoChannel;    // the kind offers its two-channel formats only
};

constexpr OutputKind kOutputs[] = {
    {0x0301, "SPK", false},  {0x0302, "HP", true},    {0x0402, "HeadSet", true},
    {0x0605, "SPDIF", true}, {0x0603, "Line", false}, {0x0401, "HandSet", false},
};

void PrintTo(const OutputKind& kind, std::ostream* os)
{
    *os << kind.Prefix;
}

Bytes Le16(ULONG v)
{
    return {(UCHAR)v, (UCHAR)(v >> 8)};
}

Bytes Join(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes& p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

// Class 1.0 at full speed, class 2.0 at high speed: one render interface to
// an output terminal of `type`, one mono microphone; 16-bit samples at 48 kHz.
class DeviceText
{
  public:
    explicit DeviceText(bool uac2) : m_Uac2(uac2) {}

    // A render setting of each channel count, in order; with `compressed`
    // the last is IEC 61937 (class 1.0 only).
    std::string Make(USHORT type, const std::vector<USHORT>& channels, bool compressed) const
    {
        std::vector<Bytes> ac = Units(type, *std::max_element(channels.begin(), channels.end()));
        std::vector<Bytes> rest = {Interface(1, 0, 0)};
        for (size_t i = 0; i < channels.size(); ++i)
            Append(rest,
                   Setting(1, (UCHAR)(i + 1), channels[i], compressed && i + 1 == channels.size()));
        Append(rest, {Interface(2, 0, 0)});
        Append(rest, Setting(2, 1, 1, false));
        size_t acBytes = 0;
        for (const Bytes& d : ac)
            acBytes += d.size();
        Bytes header = m_Uac2 ? Join({{9, 0x24, 1, 0, 2, 4}, Le16((ULONG)acBytes + 9), {0}})
                              : Join({{10, 0x24, 1, 0, 1}, Le16((ULONG)acBytes + 10), {2, 1, 2}});
        std::vector<Bytes> config;
        if (m_Uac2)
            config.push_back({8, 0x0B, 0, 3, 1, 0, 0x20, 0});
        config.push_back({9, 4, 0, 0, 0, 1, 1, m_Uac2 ? (UCHAR)0x20 : (UCHAR)0, 0});
        config.push_back(header);
        Append(config, ac);
        Append(config, rest);
        size_t total = 9;
        for (const Bytes& d : config)
            total += d.size();
        std::string text =
            m_Uac2 ? "speed high\n12 01 00 02 EF 02 01 40 54 4C 71 3A 00 01 01 02 00 01\n"
                   : "12 01 10 01 00 00 00 40 54 4C 71 30 00 01 01 02 00 01\n";
        text += Line(Join({{9, 2}, Le16((ULONG)total), {3, 1, 0, 0x80, 0x32}}));
        for (const Bytes& d : config)
            text += Line(d);
        return text + "string 1 \"Lintra Audio\"\nstring 2 \"Render Kinds\"\n";
    }

  private:
    static void Append(std::vector<Bytes>& to, const std::vector<Bytes>& from)
    {
        to.insert(to.end(), from.begin(), from.end());
    }
    static std::string Line(const Bytes& d)
    {
        std::string line;
        char hex[4];
        for (UCHAR b : d)
            snprintf(hex, sizeof(hex), "%02X ", b), line += hex;
        line.back() = '\n';
        return line;
    }

    // Streaming input terminal 1 to output terminal 3; microphone input
    // terminal 4 to streaming output terminal 5.
    std::vector<Bytes> Units(USHORT type, USHORT channels) const
    {
        if (m_Uac2)
            return {{8, 0x24, 0x0A, 0x10, 3, 7, 0, 0},
                    Join({{17, 0x24, 2, 1, 1, 1, 0, 0x10, (UCHAR)channels}, Bytes(8, 0)}),
                    Join({{12, 0x24, 3, 3}, Le16(type), {0, 1, 0x10, 0, 0, 0}}),
                    Join({{17, 0x24, 2, 4, 1, 2, 0, 0x10, 1}, Bytes(8, 0)}),
                    {12, 0x24, 3, 5, 1, 1, 0, 4, 0x10, 0, 0, 0}};
        return {{12, 0x24, 2, 1, 1, 1, 0, (UCHAR)channels, 0, 0, 0, 0},
                Join({{9, 0x24, 3, 3}, Le16(type), {0, 1, 0}}),
                {12, 0x24, 2, 4, 1, 2, 0, 1, 0, 0, 0, 0},
                {9, 0x24, 3, 5, 1, 1, 0, 4, 0}};
    }

    Bytes Interface(UCHAR number, UCHAR setting, UCHAR endpoints) const
    {
        return {9, 4, number, setting, endpoints, 1, 2, m_Uac2 ? (UCHAR)0x20 : (UCHAR)0, 0};
    }

    // A setting of 16-bit samples at 48 kHz; interface 1 plays on OUT 0x01
    // (adaptive), interface 2 records on IN 0x82 (asynchronous), each
    // packet a frame more than the rate's.
    std::vector<Bytes> Setting(UCHAR number, UCHAR setting, USHORT channels, bool compressed) const
    {
        const bool out = number == 1;
        const UCHAR link = out ? 1 : 5;
        const UCHAR endpoint = out ? 0x01 : 0x82;
        const UCHAR sync = out ? 0x09 : 0x05;
        if (m_Uac2)
            return {Interface(number, setting, 1),
                    Join({{16, 0x24, 1, link, 0, 1, 1, 0, 0, 0, (UCHAR)channels}, Bytes(5, 0)}),
                    {6, 0x24, 2, 1, 2, 16},
                    Join({{7, 5, endpoint, sync}, Le16(7u * channels * 2), {1}}),
                    {8, 0x25, 1, 0, 0, 0, 0, 0}};
        const Bytes tag = compressed ? Le16(0x2001) : Le16(1);
        return {Interface(number, setting, 1),
                Join({{7, 0x24, 1, link, 1}, tag}),
                {11, 0x24, 2, compressed ? (UCHAR)3 : (UCHAR)1, (UCHAR)channels, 2, 16, 1, 0x80,
                 0xBB, 0},
                Join({{9, 5, endpoint, sync}, Le16(49u * channels * 2), {1, 0, 0}}),
                {7, 0x25, 1, 1, 0, 0, 0}};
    }

    bool m_Uac2;
};

// 4800 frames of 16-bit samples, each of its own value, at 48 kHz.
HostAudio Ramp(USHORT channels)
{
    HostAudio a{48000, channels, 16, Bytes((size_t)4800 * channels * 2)};
    for (size_t i = 0; i < a.Data.size() / 2; ++i)
    {
        const USHORT s = (USHORT)(i * 37 + 11);
        a.Data[2 * i] = (UCHAR)s;
        a.Data[2 * i + 1] = (UCHAR)(s >> 8);
    }
    return a;
}

// The channel counts the render filter offers.
std::set<ULONG> OfferedChannels(HostHarness& host)
{
    RenderFilter render(host);
    std::set<ULONG> channels;
    if (render.Filter != nullptr)
        for (const HostOfferedFormat& f :
             HostOfferedFormats(render.Client, render.Filter, *render.Info, render.PinId))
            channels.insert(f.Channels);
    return channels;
}

std::string WaveFilters(const HostHarness& host)
{
    std::string names;
    for (const HostFilter& f : host.Filters())
        if (f.WaveCyclic)
            names += (names.empty() ? "" : " ") + f.Name;
    return names;
}

// Starts the device of the text, with the checks of its filters, and removes it.
template <typename Check> void StartAndCheck(const std::string& text, Check check)
{
    {
        HostHarness host;
        std::string error;
        ASSERT_EQ(STATUS_SUCCESS, host.LoadDriver());
        auto device = SimUsbDevice::CreateFromText(text, std::nullopt, &error);
        ASSERT_NE(nullptr, device) << error << text;
        ASSERT_EQ(STATUS_SUCCESS, host.PlugDevice(std::move(device), "render kinds"));
        ASSERT_EQ(STATUS_SUCCESS, host.AddDevice());
        const NTSTATUS status = host.StartDevice();
        ASSERT_EQ(STATUS_SUCCESS, status) << host.ExplainStart(status).Cause;
        check(host);
        EXPECT_EQ(STATUS_SUCCESS, host.RemoveDevice());
    }
    EXPECT_EQ("", EmuCheckClean(false));
}

// Class 2.0, the output kind, the render setting's channels, and whether a
// two-channel PCM setting follows it.
using KindCase = std::tuple<bool, OutputKind, USHORT, bool>;

class RenderChannelKinds : public testing::TestWithParam<KindCase>
{
};

TEST_P(RenderChannelKinds, StartWithTheMicrophoneOfferTheKindsFormatsAndPlayBitExact)
{
    const auto [uac2, kind, channels, withTwo] = GetParam();
    std::vector<USHORT> settings = {channels};
    if (withTwo)
        settings.push_back(2);
    std::set<ULONG> expected(settings.begin(), settings.end());
    const bool hasTwo = expected.count(2) != 0;
    if (kind.TwoChannel && hasTwo)
        expected = {2};
    const USHORT played = expected.count(channels) != 0 ? channels : 2;
    StartAndCheck(
        DeviceText(uac2).Make(kind.TerminalType, settings, false),
        [&](HostHarness& host)
        {
            EXPECT_EQ(std::string(kind.Prefix) + "Out00Wave MicIn00Wave", WaveFilters(host));
            EXPECT_EQ(expected, OfferedChannels(host));
            HostStream stream(host);
            const HostAudio in = Ramp(played);
            HostAudio received;
            HostStreamSummary summary;
            ASSERT_EQ(STATUS_SUCCESS, stream.Play(in, {}, &received, &summary)) << stream.Error();
            EXPECT_EQ(played, received.Channels);
            EXPECT_EQ(HostWire::Exact, summary.Wire);
            EXPECT_EQ(4800u, summary.Frames);
            EXPECT_EQ((SimStreamRate{SimStreamRate::Own, 48000}), summary.DeviceRate);
        });
}

std::string KindCaseName(const testing::TestParamInfo<KindCase>& info)
{
    const auto [uac2, kind, channels, withTwo] = info.param;
    return std::string(uac2 ? "Uac2" : "Uac1") + kind.Prefix + std::to_string(channels) +
           (withTwo ? "AndTwo" : "Alone");
}

// A two-channel setting beside two channels adds nothing.
INSTANTIATE_TEST_SUITE_P(Alone, RenderChannelKinds,
                         testing::Combine(testing::Bool(), testing::ValuesIn(kOutputs),
                                          testing::Values<USHORT>(1, 2, 4, 6, 8),
                                          testing::Values(false)),
                         KindCaseName);
INSTANTIATE_TEST_SUITE_P(BesideTwo, RenderChannelKinds,
                         testing::Combine(testing::Bool(), testing::ValuesIn(kOutputs),
                                          testing::Values<USHORT>(1, 4, 6, 8),
                                          testing::Values(true)),
                         KindCaseName);
} // namespace

// An S/PDIF output whose only two-channel setting is IEC 61937 beside a
// mono PCM one: the filter would offer no PCM format, so the stream is left
// out by its line, and the device starts with its microphone.
TEST(RenderChannelKindsLeftOut, AStreamOfNoPcmFormatToOfferIsLeftOutAndTheRestStarts)
{
    const size_t said = EmuDbgOutput().size();
    StartAndCheck(DeviceText(false).Make(0x0605, {1, 2}, true),
                  [&](HostHarness& host)
                  {
                      EXPECT_EQ("MicIn00Wave", WaveFilters(host));
                      const std::vector<std::string>& lines = EmuDbgOutput();
                      EXPECT_EQ(1, std::count(lines.begin() + (ptrdiff_t)said, lines.end(),
                                              "UsbAudio: AudioStreaming interface 1 plays "
                                              "nothing: no wave filter, as it offers no PCM "
                                              "format: a render stream to headphones, front "
                                              "headphones, S/PDIF or a headset offers its "
                                              "two-channel formats only, where it has any\n"));
                  });
}
