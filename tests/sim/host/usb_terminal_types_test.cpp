// The USB side of a stream may be a terminal of any USB type (0x0100 to
// 0x01FF): the class 1.0 and 2.0 24-bit headsets with the speaker's input
// terminal or the microphone's output terminal retyped start with both
// streams, each joined to the topology filter at its own terminal, and play
// and record unchanged. A stream that would join nothing is left out by its
// line while the other starts; a start that fails names its own step.
#include <gtest/gtest.h>

#include <cmath>

#include "platform/kernel/emu.h"
#include "sim/host/harness/host_stream.h"
#include "streaming/wave/wave_cyclic_miniport.h"
#include "tests/sim/host/render_filter.h"
#include "tests/sim/host/scratch_folder.h"

namespace
{
const char* const kUac2 = "uac2-24-bit-only-headset.txt";
const char* const kUac1 = "uac1-24-bit-only-headset.txt";

// The start of each file's terminal lines, up to the type's first byte.
struct Terminals
{
    const char* File;
    const char* SpeakerIn;  // the render stream's input terminal 1
    const char* SpeakerOut; // output terminal 3
    const char* MicIn;      // input terminal 4
    const char* MicOut;     // the capture stream's output terminal 5
};
const Terminals kHeadsets[] = {
    {kUac2, "11 24 02 01 ", "0C 24 03 03 ", "11 24 02 04 ", "0C 24 03 05 "},
    {kUac1, "0C 24 02 01 ", "09 24 03 03 ", "0C 24 02 04 ", "09 24 03 05 "},
};

std::string Hex(USHORT type)
{
    char text[8];
    snprintf(text, sizeof(text), "%02X %02X", type & 0xFF, type >> 8);
    return text;
}

// Starts the file with the terminal whose line begins with `line` retyped.
NTSTATUS StartRetyped(HostHarness& host, const char* file, const char* line, USHORT type)
{
    std::string text = ReadAll(std::string(LT_QUIRKS_DIR) + "/" + file);
    const size_t at = text.find(line);
    EXPECT_NE(std::string::npos, at) << line;
    text.replace(at + strlen(line), 5, Hex(type));
    std::string error;
    auto device = SimUsbDevice::CreateFromText(text, std::nullopt, &error);
    EXPECT_NE(nullptr, device) << error;
    EXPECT_EQ(STATUS_SUCCESS, host.LoadDriver());
    EXPECT_EQ(STATUS_SUCCESS, host.PlugDevice(std::move(device), file));
    EXPECT_EQ(STATUS_SUCCESS, host.AddDevice());
    return host.StartDevice();
}

// The node types met from the topology pin a wave filter joins, walking
// the topology's links away from the wave filter (downstream for render,
// upstream for capture) to the pin at the path's other end; "" when the
// pin leads nowhere.
std::string TopologyPathFrom(const HostHarness& host, const std::string& wave)
{
    const std::vector<HostFilter> filters = host.Filters();
    const HostFilter* topology = nullptr;
    for (const HostFilter& f : filters)
        topology = f.WaveCyclic ? topology : &f;
    bool render = false;
    ULONG node = PCFILTER_NODE, pin = ~0u;
    for (const HostConnection& c : host.Connections())
        if (c.From == wave || c.To == wave)
            render = c.From == wave, pin = render ? c.ToPin : c.FromPin;
    std::string path;
    for (int hops = 0; topology != nullptr && hops < 16; ++hops)
    {
        const HostLink* next = nullptr;
        for (const HostLink& l : topology->Links)
            if ((render ? l.FromNode : l.ToNode) == node &&
                (node != PCFILTER_NODE || (render ? l.FromPin : l.ToPin) == pin))
                next = &l;
        if (next == nullptr)
            return "";
        node = render ? next->ToNode : next->FromNode;
        if (node == PCFILTER_NODE)
            return path + "pin";
        path += topology->Nodes[node] + " ";
    }
    return "";
}

// 48 kHz stereo 24-bit: a 997 Hz cosine, each channel at its own level.
HostAudio Cosine24(ULONG frames)
{
    HostAudio a{48000, 2, 24, std::vector<UCHAR>((size_t)frames * 6)};
    for (ULONG i = 0; i < frames; ++i)
        for (int c = 0; c < 2; ++c)
        {
            const LONG s = std::lround((0.6 - 0.06 * c) * 8388607.0 *
                                       std::cos(2 * M_PI * 997.0 * i / 48000.0));
            memcpy(&a.Data[((size_t)i * 2 + c) * 3], &s, 3);
        }
    return a;
}

void ExpectPlaysAndRecordsUnchanged(HostHarness& host, bool play, bool record)
{
    HostStream stream(host);
    HostAudio audio;
    HostStreamSummary summary;
    if (play)
    {
        ASSERT_EQ(STATUS_SUCCESS, stream.Play(Cosine24(4800), {}, &audio, &summary))
            << stream.Error();
        EXPECT_EQ(HostWire::Exact, summary.Wire);
        EXPECT_EQ(4800u, summary.Frames);
    }
    if (record)
    {
        ASSERT_EQ(STATUS_SUCCESS, stream.Record(200, {}, &audio, &summary)) << stream.Error();
        EXPECT_EQ(HostWire::Exact, summary.Wire);
        EXPECT_EQ(24u, audio.BitsPerSample);
        EXPECT_EQ(9600u, summary.Frames);
    }
}
} // namespace

TEST(UsbTerminalTypes, EachUsbTypeOnEitherSideStartsJoinsItsOwnTerminalAndStreams)
{
    for (const Terminals& t : kHeadsets)
        for (bool render : {true, false})
            for (USHORT type : {0x0100, 0x0101, 0x01FF})
            {
                SCOPED_TRACE(testing::Message()
                             << t.File << (render ? " speaker " : " mic ") << std::hex << type);
                {
                    HostHarness host;
                    const NTSTATUS status =
                        StartRetyped(host, t.File, render ? t.SpeakerIn : t.MicOut, type);
                    ASSERT_EQ(STATUS_SUCCESS, status) << host.ExplainStart(status).Cause;
                    EXPECT_EQ("SPKOut00Wave MicIn00Wave", WaveFilters(host));
                    // The speaker's terminal leads through its feature unit;
                    // the microphone's output terminal comes from the microphone.
                    EXPECT_EQ("mute volume pin", TopologyPathFrom(host, "SPKOut00Wave"));
                    EXPECT_EQ("mute pin", TopologyPathFrom(host, "MicIn00Wave"));
                    ExpectPlaysAndRecordsUnchanged(host, true, true);
                    EXPECT_EQ(STATUS_SUCCESS, host.RemoveDevice());
                }
                EXPECT_EQ("", EmuCheckClean(false));
            }
}

// A speaker whose path ends at a USB terminal again, or a microphone whose
// path starts at one, joins nothing: it is left out by its line, the other
// stream starts and runs.
TEST(UsbTerminalTypes, AStreamThatJoinsNothingIsLeftOutByItsLine)
{
    const struct
    {
        bool Render;
        USHORT Type;
        const char* Filters;
        const char* Line;
    } rows[] = {
        {true, 0x0101, "MicIn00Wave",
         "UsbAudio: AudioStreaming interface 1 plays to no output terminal that names an "
         "endpoint"},
        {false, 0x0100, "SPKOut00Wave",
         "UsbAudio: AudioStreaming interface 2 records nothing: no wave filter, as no input "
         "terminal on its path names an endpoint"},
    };
    for (const Terminals& t : kHeadsets)
        for (const auto& row : rows)
        {
            SCOPED_TRACE(testing::Message() << t.File << " " << row.Filters);
            {
                HostHarness host;
                const size_t said = EmuDbgOutput().size();
                const NTSTATUS status =
                    StartRetyped(host, t.File, row.Render ? t.SpeakerOut : t.MicIn, row.Type);
                ASSERT_EQ(STATUS_SUCCESS, status) << host.ExplainStart(status).Cause;
                EXPECT_EQ(row.Filters, WaveFilters(host));
                const std::vector<std::string>& lines = EmuDbgOutput();
                EXPECT_NE(lines.end(), std::find_if(lines.begin() + (ptrdiff_t)said, lines.end(),
                                                    [&](const std::string& l)
                                                    { return l.rfind(row.Line, 0) == 0; }));
                ExpectPlaysAndRecordsUnchanged(host, !row.Render, row.Render);
                EXPECT_EQ(STATUS_SUCCESS, host.RemoveDevice());
            }
            EXPECT_EQ("", EmuCheckClean(false));
        }
}

// A wave subdevice that cannot be installed names itself as the start's
// failure, not the request the device refused earlier in its set-up.
TEST(UsbTerminalTypes, AFailedStartNamesItsOwnStep)
{
    HostHarness host;
    EmuPoolInjectFailure(WAVE_CYCLIC_POOL_TAG, 0);
    const NTSTATUS status = StartRetyped(host, kUac2, "11 24 02 01 ", 0x0101);
    ASSERT_EQ(STATUS_INSUFFICIENT_RESOURCES, status);
    const HostStartStep step = host.ExplainStart(status);
    EXPECT_EQ("wave subdevices, device start or interfaces", step.Step);
    EXPECT_NE(std::string::npos,
              step.Cause.find("the driver says \"StartDevice: stream engine 0: its wave "
                              "subdevice could not be installed: 0xC000009A\""))
        << step.Cause;
    EXPECT_EQ(STATUS_SUCCESS, host.RemoveDevice());
}
