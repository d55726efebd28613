// Devices of other makers, as their descriptor files describe them (no model
// strings, no mute, read-only controls, paths through mixers, composite
// functions, 8-bit samples of either sign), through the whole host program: each starts with the
// wave filters and volume nodes its descriptors call for, plays what its render filter offers and
// records what its capture filter offers bit-exact, or is refused with a debug line that says why;
// each is removed with nothing left behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <deque>
#include <utility>
#include <vector>

#include "platform/kernel/emu.h"
#include "streaming/wave/wave_cyclic_miniport.h"
#include "sim/host/harness/host_stream.h"
#include "tests/sim/host/mic_sine.h"
#include "tests/sim/host/program_run.h"
#include "tests/sim/host/scratch_folder.h"

namespace
{
// Each From of a file's text made its To.
using TextEdits = std::vector<std::pair<const char*, const char*>>;

struct Outcome
{
    const char* File;
    NTSTATUS Start;
    const char* WaveFilters;    // the wave filters the start installs, in order
    size_t Volumes;             // volume nodes of the topology filter
    USHORT PlayChannels;        // 0: no render filter to play to
    USHORT RecordChannels;      // 0: no capture filter to record from
    USHORT Bits = 16;           // of both directions' samples
    const char* Said = nullptr; // the start of a debug line the start leaves
    // Where the host says a refused start ended.
    const char* Step = "device-class choice";
    // The file's text edited, and a line the start leaves besides.
    TextEdits Edits = {};
    const char* LeftOut = nullptr;
    // The play's device has no rate of its own: it follows its data.
    bool Follows = false;
    // The topology path each stream joins at: its own terminal's.
    const char* PlayJoins = nullptr;
    const char* RecordJoins = nullptr;
    ULONG FailTag = 0; // the first allocation of this tag in the start fails
    UCHAR Unasked = 0; // a terminal of the USB side that no request may reach
};

constexpr const char* kLoopbackUnnamed = "UsbAudio: AudioStreaming interface 3 records nothing: "
                                         "no wave filter, as no input terminal on its path names "
                                         "an endpoint";
constexpr const char* kClassThree =
    "SelectDeviceClass: AudioControl interface 2 has protocol 0x30, neither audio class 1.0 "
    "(0x00) nor 2.0 (0x20): the device is refused";
constexpr const char* kNoStream =
    "UsbAudio: no audio stream left: AudioStreaming interface 1 left out";
constexpr const char* kNoMicFormat =
    "UsbAudio: AudioStreaming interface 2 has no format of 1 to 8 channels the driver carries";

const Outcome kOutcomes[] = {
    {"headset-no-strings.txt", STATUS_SUCCESS, "HeadSetOut00Wave HeadSetIn00Wave", 2, 2, 1},
    {"missing-strings.txt", STATUS_SUCCESS, "SPKOut00Wave", 1, 2, 0},
    {"six-channel-speaker.txt", STATUS_SUCCESS, "SPKOut00Wave", 1, 6, 0},
    // Class requests reach the audio function's interface, not the MIDI one.
    {"midi-first-controller.txt", STATUS_SUCCESS, "SPKOut00Wave", 1, 2, 0},
    {"implicit-feedback.txt", STATUS_SUCCESS, "RecIn00Wave", 0, 0, 2},
    {"extension-unit-recorder.txt", STATUS_SUCCESS, "MicIn00Wave", 1, 0, 2},
    {"control-interfaces-of-two-versions.txt", STATUS_SUCCESS, "SPKOut00Wave", 1, 2, 0},
    {"headset-volume-only.txt", STATUS_SUCCESS, "HPOut00Wave MicIn00Wave", 1, 2, 1},
    {"headset-volume-only-no-strings.txt", STATUS_SUCCESS, "HPOut00Wave MicIn00Wave", 1, 2, 1},
    {"uac2-mixer-path.txt", STATUS_SUCCESS, "SPKOut00Wave", 1, 2, 0},
    {"uac2-extension-unit-read-only-mute.txt", STATUS_SUCCESS, "SPKOut00Wave", 1, 2, 0},
    // The line, the mixer's first named input, names the recording; the
    // playback stream mixed in adds no node to it. The recording of the
    // playback alone has no named input.
    {"dj-controller-mixer-capture.txt", STATUS_SUCCESS, "SPKOut00Wave LineIn00Wave", 0, 2, 2, 16,
     kLoopbackUnnamed},
    // The playback's feature unit feeds a USB streaming terminal listed
    // before the headphones: it still plays, to the headphones.
    {"headset-usb-output-listed-first.txt", STATUS_SUCCESS, "HPOut00Wave MicIn00Wave", 1, 2, 1, 16,
     kLoopbackUnnamed},
    {"uac2-extension-unit-microphone.txt", STATUS_SUCCESS, "MicIn00Wave", 0, 0, 2},
    // The microphone's only volume is on its last (and only) channel.
    {"headset-mono-mic-channel-volume.txt", STATUS_SUCCESS, "HeadSetOut00Wave HeadSetIn00Wave", 2,
     2, 1},
    // The second function's streaming interface is not the driver's.
    {"two-audio-functions.txt", STATUS_SUCCESS, "SPKOut00Wave", 1, 2, 0},
    {"midi-first-uac3-function.txt", STATUS_UNSUCCESSFUL, "", 0, 0, 0, 16, kClassThree},
    {"eight-bit-headset.txt", STATUS_SUCCESS, "HeadSetOut00Wave HeadSetIn00Wave", 2, 2, 1, 8},
    // A headset of one earpiece offers its one-channel format.
    {"eight-bit-headset.txt", STATUS_SUCCESS, "HeadSetOut00Wave HeadSetIn00Wave", 2, 1, 1, 8,
     nullptr, "device-class choice", TextEdits{{"0B 24 02 01 02 01 08", "0B 24 02 01 01 01 08"}}},
    {"eight-bit-unsigned-headset.txt", STATUS_SUCCESS, "HeadSetOut00Wave HeadSetIn00Wave", 2, 2, 1,
     8},
    {"continuous-range-speaker.txt", STATUS_SUCCESS, "SPKOut00Wave", 1, 2, 0},
    // Formats that are not every combination of their channels, bits and
    // rates: the capture pin opens in the one with the most channels, then
    // the highest rate, then the most bits.
    {"two-format-settings-microphone.txt", STATUS_SUCCESS, "MicIn00Wave", 1, 0, 1},
    {"eight-channel-full-speed-microphone.txt", STATUS_SUCCESS, "MicIn00Wave", 1, 0, 8},
    // The microphone's packets carry none of its formats: the headset plays,
    // and the microphone's nodes stay in the topology filter.
    {"small-microphone-endpoint.txt", STATUS_SUCCESS, "HeadSetOut00Wave", 2, 2, 0},
    // Refused on purpose, in words: the host's line carries them.
    {"uac2-clock-selector-speaker.txt", STATUS_UNSUCCESSFUL, "", 0, 0, 0, 16,
     "UsbAudio: AudioControl interface 0: clock selector 10 is not supported by this driver",
     "device-class set-up (audio class 2.0)"},
    {"extension-unit-speaker.txt", STATUS_UNSUCCESSFUL, "", 0, 0, 0, 16,
     "UsbAudio: AudioControl interface 0: extension unit 4 is not supported by this driver",
     "device-class set-up (audio class 1.0 family)"},
    {"midi-only-controller.txt", STATUS_UNSUCCESSFUL, "", 0, 0, 0, 16,
     "UsbAudio: AudioControl interface 0: the audio function has no audio streams, only MIDI "
     "interface 1",
     "topology subdevice"},
    // Only the rate the clock runs at is offered: the capture pin does not
    // choose a rate the clock cannot be set to.
    {"fixed-clock-six-rates.txt", STATUS_SUCCESS, "SPKOut00Wave MicIn00Wave", 1, 2, 2},
    // A feedback endpoint too small for its value is not read: the play
    // paces at its nominal rate.
    {"full-speed-feedback-endpoint-too-small.txt", STATUS_SUCCESS, "SPKOut00Wave", 1, 2, 0},
    {"high-speed-feedback-endpoint-too-small.txt", STATUS_SUCCESS, "SPKOut00Wave", 1, 2, 0},
    // Samples the driver does not carry, or a coding nothing names: the
    // microphone that has only them is left out before its walk, a setting
    // beside a usable one by its own line; the rest plays and records.
    {"nine-byte-subframe-microphone.txt", STATUS_SUCCESS, "HeadSetOut00Wave", 2, 2, 0, 16,
     kNoMicFormat},
    {"resolution-beyond-subframe-speaker.txt", STATUS_SUCCESS, "HeadSetOut00Wave HeadSetIn00Wave",
     2, 2, 1, 16,
     "UsbAudio: AudioStreaming interface 1 alternate setting 2: 24 bits of resolution "
     "in 2 bytes a sample is not a sample the driver carries"},
    {"uac2-impossible-subslots-speaker.txt", STATUS_SUCCESS, "SPKOut00Wave", 1, 2, 0, 16,
     "UsbAudio: AudioStreaming interface 1 alternate setting 3: 16 bits of resolution in 9 bytes "
     "a sample is not a sample the driver carries"},
    {"unknown-format-tag-microphone.txt", STATUS_SUCCESS, "HeadSetOut00Wave", 2, 2, 0, 16,
     kNoMicFormat},
    // Settings that can be read more than one way are left out, each by its
    // line; the others play and record.
    {"headset-speaker-linked-to-its-output.txt", STATUS_SUCCESS, "MicIn00Wave", 2, 0, 1, 16,
     "UsbAudio: AudioStreaming interface 1 alternate setting 1 links to output terminal 3 but "
     "its data endpoint 0x01 is OUT: malformed, left out"},
    {"headset-setting-described-twice.txt", STATUS_SUCCESS, "HPOut00Wave MicIn00Wave", 2, 2, 1, 16,
     "UsbAudio: AudioStreaming interface 1 alternate setting 2 is described 2 times"},
    {"headset-two-format-types.txt", STATUS_SUCCESS, "HPOut00Wave MicIn00Wave", 2, 2, 1, 16,
     "UsbAudio: AudioStreaming interface 1 alternate setting 2 has 2 format-type descriptors"},
    {"uac2-format-type-differs-headset.txt", STATUS_SUCCESS, "SPKOut00Wave MicIn00Wave", 1, 2, 2,
     16,
     "UsbAudio: AudioStreaming interface 2 alternate setting 2 has a format-type descriptor of "
     "Type 3 and a general descriptor of Type 1"},
    {"spdif-compressed-only-speaker.txt", STATUS_SUCCESS, "SPKOut00Wave MicIn00Wave", 2, 2, 1, 16,
     "UsbAudio: AudioStreaming interface 3 has no PCM format to offer, only compressed or "
     "raw-data ones: left out"},
    {"spdif-type-iii-under-pcm-tag-speaker.txt", STATUS_SUCCESS, "SPKOut00Wave MicIn00Wave", 2, 2,
     1, 16,
     "UsbAudio: AudioStreaming interface 3 alternate setting 1 has a format-type descriptor of "
     "Type 3 and a general descriptor of format tag 0x0001 (Type 1): malformed, left out"},
    // The bus refuses a configuration whose interface lacks the endpoint it
    // declares, though the device took it.
    {"audio-control-endpoint-missing.txt", STATUS_INVALID_PARAMETER, "", 0, 0, 0, 16,
     "UsbAudio: configuration 1 not selected: interface 0 declares 1 endpoint(s), its "
     "descriptors hold 0: 0xC000000D",
     "USB device set-up"},
    // The only setting declares other than the endpoints it holds: left out
    // by its line, no stream is left.
    {"high-speed-feedback-data-interval-4.txt", STATUS_UNSUCCESSFUL, "", 0, 0, 0, 16, kNoStream,
     "device-class set-up (audio class 2.0)", TextEdits{{"09 04 01 01 02", "09 04 01 01 00"}},
     "UsbAudio: AudioStreaming interface 1 alternate setting 1 declares 0 endpoint(s) and holds "
     "2: malformed, left out"},
    {"range-short-of-48-khz-speaker.txt", STATUS_UNSUCCESSFUL, "", 0, 0, 0, 16, kNoStream,
     "device-class set-up (audio class 1.0 family)",
     TextEdits{{"09 04 01 01 01", "09 04 01 01 02"}},
     "UsbAudio: AudioStreaming interface 1 alternate setting 1 declares 2 endpoint(s) and holds "
     "1: malformed, left out"},
    // An IN endpoint beside the speaker's data endpoint, each followed by its
    // class-specific descriptor: the first is the stream's.
    {"adaptive-speaker-without-rate-control.txt", STATUS_SUCCESS, "SPKOut00Wave", 1, 2, 0, 16,
     nullptr, "",
     TextEdits{{"09 02 71", "09 02 81"},
               {"09 04 01 01 01", "09 04 01 01 02"},
               {"string 1", "09 05 82 05 C4 00 01 00 00\n07 25 01 00 00 00 00\n"
                            "string 1"}},
     nullptr, true},
    // A wave subdevice that cannot be installed names itself as the start's
    // failure, not a request the device refused earlier in its set-up.
    {"uac2-24-bit-only-headset.txt",
     STATUS_INSUFFICIENT_RESOURCES,
     "",
     1,
     0,
     0,
     16,
     "StartDevice: stream engine 0: its wave subdevice could not be installed: 0xC000009A",
     "wave subdevices, device start or interfaces",
     {},
     nullptr,
     false,
     nullptr,
     nullptr,
     WAVE_CYCLIC_POOL_TAG},
};

// The USB side of a stream may be a terminal of any USB type, on either
// class: the headset starts with both streams, each joined at its own
// terminal, and plays and records unchanged. A speaker whose path ends at
// the USB side again, or a microphone whose path starts there, joins
// nothing: it is left out by its line, and the other stream runs. No jack
// or type request reaches a terminal of the USB side, though a class 2.0
// one declares a readable connector.
std::vector<Outcome> UsbTypeOutcomes(std::deque<std::string>* edits)
{
    // Speaker input, microphone output, speaker output, microphone input;
    // class 2.0 terminals up to the low byte of their bmControls.
    const std::pair<const char*, std::vector<std::string>> headsets[] = {
        {"uac2-24-bit-only-headset.txt",
         {"11 24 02 01 01 01 00 10 02 03 00 00 00 00 00", "0C 24 03 05 01 01 00 04 10 00",
          "0C 24 03 03 01 03 00 02 10 00", "11 24 02 04 01 02 00 10 02 03 00 00 00 00 00"}},
        {"uac1-24-bit-only-headset.txt",
         {"0C 24 02 01 01 01", "09 24 03 05 01 01", "09 24 03 03 01 03", "0C 24 02 04 01 02"}}};
    const struct
    {
        const char* Filters;
        USHORT Play, Record;
        const char* LeftOut;
    } sides[] = {
        {"SPKOut00Wave MicIn00Wave", 2, 2, nullptr},
        {"SPKOut00Wave MicIn00Wave", 2, 2, nullptr},
        {"MicIn00Wave", 0, 2, "UsbAudio: AudioStreaming interface 1 plays to no output terminal"},
        {"SPKOut00Wave", 2, 0, "UsbAudio: AudioStreaming interface 2 records nothing: no wave"}};
    std::vector<Outcome> rows;
    for (const auto& [file, lines] : headsets)
        for (size_t side = 0; side < 4; ++side)
            for (USHORT type : {0x0100, 0x0101, 0x01FF})
            {
                const std::string& from = lines[side];
                char typeText[8];
                snprintf(typeText, sizeof(typeText), "%02X %02X", type & 0xFF, type >> 8);
                std::string to = from.substr(0, 12) + typeText + from.substr(17);
                if (to.size() > 17)
                    to.replace(to.size() - 2, 2, "04"); // the connector control readable
                const auto& e = sides[side];
                rows.push_back({file, STATUS_SUCCESS, e.Filters, 1, e.Play, e.Record, 24, nullptr,
                                "",
                                TextEdits{{edits->emplace_back(from).c_str(),
                                           edits->emplace_back(to).c_str()}},
                                e.LeftOut, false, e.Play ? "mute volume pin" : nullptr,
                                e.Record ? "mute pin" : nullptr, 0,
                                (UCHAR)std::stoul(from.substr(9, 2), nullptr, 16)});
            }
    return rows;
}

std::string WaveFilters(const HostHarness& host, size_t* volumes)
{
    std::string names;
    *volumes = 0;
    for (const HostFilter& f : host.Filters())
    {
        if (f.WaveCyclic)
            names += (names.empty() ? "" : " ") + f.Name;
        else
            *volumes += (size_t)std::count(f.Nodes.begin(), f.Nodes.end(), "volume");
    }
    return names;
}

// The requests the device's AudioControl interface (0) took for entity `id`.
std::string RequestsTo(const SimUsbDevice& device, UCHAR id)
{
    std::string text;
    for (const SimRequestRecord& r : device.Log())
        if ((r.Setup.bmRequestType & 0x1F) == 1 && r.Setup.wIndex == id << 8)
            text += r.Text() + "\n";
    return text;
}

// Whether a debug line from index `from` on begins with `start`.
bool DriverSaid(size_t from, const char* start)
{
    const std::vector<std::string>& lines = EmuDbgOutput();
    for (size_t i = from; i < lines.size(); ++i)
        if (lines[i].compare(0, strlen(start), start) == 0)
            return true;
    return false;
}

// 48 kHz, 24-bit, 16-bit or 8-bit (unsigned, as in a file): a 997 Hz
// cosine, each channel at its own level so that a crossed channel shows.
HostAudio Cosine(ULONG frames, USHORT channels, USHORT bits)
{
    const size_t bytes = bits / 8;
    const double full = (1 << (bits - 1)) - 1;
    HostAudio a{48000, channels, bits, std::vector<UCHAR>((size_t)frames * bytes * channels)};
    for (ULONG i = 0; i < frames; ++i)
        for (USHORT c = 0; c < channels; ++c)
        {
            const LONG s =
                std::lround((0.6 - 0.06 * c) * full * std::cos(2 * M_PI * 997.0 * i / 48000.0));
            const LONG stored = bits == 8 ? s + 0x80 : s;
            memcpy(&a.Data[((size_t)i * channels + c) * bytes], &stored, bytes);
        }
    return a;
}

// What the device received, as the device means it, is the pre-roll's 15 ms
// of silence, the file whole and in order, and silence after it.
void ExpectPlaysBitExact(HostHarness& host, USHORT channels, USHORT bits, bool follows)
{
    HostStream stream(host);
    const HostAudio in = Cosine(4800, channels, bits);
    HostAudio received;
    HostStreamSummary summary;
    ASSERT_EQ(STATUS_SUCCESS, stream.Play(in, {}, &received, &summary)) << stream.Error();
    ASSERT_EQ(channels, received.Channels);
    ASSERT_EQ(bits, received.BitsPerSample);
    const UCHAR silence = bits == 8 ? 0x80 : 0x00;
    const auto silent = [silence](UCHAR b) { return b == silence; };
    const size_t preRoll = 15 * 48 * (bits / 8) * (size_t)channels;
    ASSERT_GE(received.Data.size(), preRoll + in.Data.size());
    const auto data = received.Data.begin() + (ptrdiff_t)preRoll;
    EXPECT_TRUE(std::all_of(received.Data.begin(), data, silent));
    EXPECT_TRUE(std::equal(in.Data.begin(), in.Data.end(), data));
    EXPECT_TRUE(std::all_of(data + (ptrdiff_t)in.Data.size(), received.Data.end(), silent));
    EXPECT_EQ(4800u, summary.Frames);
    EXPECT_EQ(HostWire::Exact, summary.Wire);
    const SimStreamRate rate = follows ? SimStreamRate{SimStreamRate::FollowsData}
                                       : SimStreamRate{SimStreamRate::Own, in.Rate};
    EXPECT_EQ(rate, summary.DeviceRate);
}

// The recording's signal-to-noise ratio against the unrounded sine at the
// phase that fits it best, from its first sample that is not silent on.
double SineSnrDb(const std::vector<SHORT>& samples, size_t channels, int bits)
{
    const size_t first = MicSineStart(samples, channels);
    double best = -1e9;
    for (int phase = 0; phase < 48; ++phase)
    {
        double signal = 0, noise = 0;
        for (size_t i = first; i < samples.size(); ++i)
        {
            const double x = MicSineExact(phase + (double)((i - first) / channels), bits);
            signal += x * x;
            noise += (samples[i] - x) * (samples[i] - x);
        }
        best = std::max(best, 10 * std::log10(signal / std::max(noise, 1e-12)));
    }
    return best;
}

// Every channel carries the device's marked sine from its first frame on;
// 8-bit samples come unsigned (silence 0x80), and the sine keeps the
// signal-to-noise ratio its rounding and marks leave (its lowest bit in
// eight a hash: 1.5 steps at most from the sine at 8 bits, 3.5 at 16).
void ExpectRecordsBitExact(HostHarness& host, USHORT channels, USHORT bits)
{
    HostStream stream(host);
    HostAudio recorded;
    HostStreamSummary summary;
    ASSERT_EQ(STATUS_SUCCESS, stream.Record(200, {}, &recorded, &summary)) << stream.Error();
    ASSERT_EQ(48000u, recorded.Rate);
    EXPECT_EQ((SimStreamRate{SimStreamRate::Own, recorded.Rate}), summary.DeviceRate);
    ASSERT_EQ(channels, recorded.Channels);
    ASSERT_EQ(bits, recorded.BitsPerSample);
    EXPECT_EQ(HostWire::Exact, summary.Wire);
    if (bits > 16) // the device's samples unchanged: the 16-bit sine below is not theirs
        return;
    std::vector<SHORT> samples(recorded.Data.size() / (bits / 8));
    if (bits == 8)
        std::transform(recorded.Data.begin(), recorded.Data.end(), samples.begin(),
                       [](UCHAR b) { return (SHORT)(b - 0x80); });
    else
        memcpy(samples.data(), recorded.Data.data(), samples.size() * 2);
    ASSERT_GT(samples.size(), 48u * 150 * channels);
    EXPECT_EQ(1, MicSinePhases(samples, channels, bits));
    EXPECT_GT(SineSnrDb(samples, channels, bits), bits == 8 ? 34.0 : 76.0);
}

// The node types from the topology pin the render (capture) wave filter
// joins, along the topology's links away from it, to the pin at the path's
// other end; "" where it leads nowhere.
std::string TopologyPath(const HostHarness& host, bool render)
{
    const std::vector<HostFilter> filters = host.Filters();
    const HostFilter& topology =
        *std::find_if(filters.begin(), filters.end(), [](const auto& f) { return !f.WaveCyclic; });
    ULONG node = PCFILTER_NODE, pin = ~0u;
    for (const HostConnection& c : host.Connections())
        if ((c.To == topology.Name) == render)
            pin = render ? c.ToPin : c.FromPin;
    std::string path;
    for (int hop = 0; hop < 8; ++hop)
    {
        const auto next = std::find_if(topology.Links.begin(), topology.Links.end(),
                                       [&](const HostLink& l)
                                       {
                                           return (render ? l.FromNode : l.ToNode) == node &&
                                                  (node != PCFILTER_NODE ||
                                                   (render ? l.FromPin : l.ToPin) == pin);
                                       });
        if (next == topology.Links.end())
            return "";
        if ((node = render ? next->ToNode : next->FromNode) == PCFILTER_NODE)
            return path + "pin";
        path += topology.Nodes[node] + " ";
    }
    return "";
}
} // namespace

TEST(QuirkOutcomes, EachStartsPlaysRecordsAndLeavesNothing)
{
    std::deque<std::string> edits;
    std::vector<Outcome> outcomes = UsbTypeOutcomes(&edits);
    outcomes.insert(outcomes.begin(), std::begin(kOutcomes), std::end(kOutcomes));
    for (const Outcome& o : outcomes)
    {
        SCOPED_TRACE(std::string(o.File) + (o.Edits.empty() ? "" : o.Edits[0].second));
        {
            HostHarness host;
            std::string error;
            ASSERT_EQ(STATUS_SUCCESS, host.LoadDriver());
            std::string text = ReadAll(std::string(LT_QUIRKS_DIR) + "/" + o.File);
            for (const auto& [from, to] : o.Edits)
                text.replace(text.find(from), strlen(from), to);
            auto device = SimUsbDevice::CreateFromText(text, std::nullopt, &error);
            ASSERT_NE(nullptr, device) << error;
            ASSERT_EQ(STATUS_SUCCESS, host.PlugDevice(std::move(device), o.File));
            ASSERT_EQ(STATUS_SUCCESS, host.AddDevice());
            const size_t said = EmuDbgOutput().size();
            if (o.FailTag != 0)
                EmuPoolInjectFailure(o.FailTag, 0);
            const NTSTATUS status = host.StartDevice();
            ASSERT_EQ(o.Start, status) << host.ExplainStart(status).Cause;
            // A refusal names the step; past the class choice, the host's line
            // carries what the driver said.
            if (!NT_SUCCESS(status))
            {
                const HostStartStep step = host.ExplainStart(status);
                EXPECT_EQ(o.Step, step.Step);
                EXPECT_TRUE(o.Step == std::string("device-class choice") ||
                            step.Cause.find(o.Said) != std::string::npos)
                    << step.Cause;
            }
            size_t volumes = 0;
            EXPECT_EQ(o.WaveFilters, WaveFilters(host, &volumes));
            EXPECT_EQ(o.Volumes, volumes);
            if (o.Said != nullptr)
            {
                EXPECT_TRUE(DriverSaid(said, o.Said)) << o.Said;
            }
            EXPECT_TRUE(o.LeftOut == nullptr || DriverSaid(said, o.LeftOut)) << o.LeftOut;
            EXPECT_TRUE(o.PlayJoins == nullptr || o.PlayJoins == TopologyPath(host, true));
            EXPECT_TRUE(o.RecordJoins == nullptr || o.RecordJoins == TopologyPath(host, false));
            if (o.PlayChannels != 0)
                ExpectPlaysBitExact(host, o.PlayChannels, o.Bits, o.Follows);
            if (o.RecordChannels != 0)
                ExpectRecordsBitExact(host, o.RecordChannels, o.Bits);
            EXPECT_TRUE(o.Unasked == 0 || RequestsTo(*host.Device(), o.Unasked).empty())
                << RequestsTo(*host.Device(), o.Unasked);
            EXPECT_EQ(STATUS_SUCCESS, host.RemoveDevice());
        }
        EXPECT_EQ("", EmuCheckClean(false));
    }
}

// Rate variants of quirk files through the host program, at each rate the
// driver offers: a device takes a rate by its own descriptor, a range's
// bounds in either order; one with no rate of its own follows its data,
// one rate offered or two a hertz apart; a device that keeps another rate,
// 0 Hz included, fails the run naming both, though a vendor interface
// before the audio one declares its endpoint's address.
TEST(QuirkOutcomes, EachRateVariantRunsAtTheRateItsDescriptorGives)
{
    constexpr const char* kAdaptive = "adaptive-speaker-without-rate-control.txt";
    constexpr const char* kRange = "10 00 7E 13 00 E2 D6 00"; // 4990 to 55010 Hz
    constexpr const char* kUnchanged = "play: the device received the file's samples unchanged";
    constexpr const char* kFollows = "it follows the stream's data\nplay: the device received "
                                     "the file's samples unchanged";
    const struct
    {
        const char* File;
        TextEdits Edits;
        std::vector<ULONG> Rates;
        const char* Said; // in what each run printed
        int Exit;
    } rows[] = {
        {kAdaptive,
         {{"07 25 01 00", "07 25 01 01"}, {kRange, "10 00 E2 D6 00 7E 13 00"}},
         {8000, 11025, 16000, 22050, 32000, 44100, 48000},
         kUnchanged,
         0},
        {kAdaptive, {{kRange, "10 00 76 BB 00 8A BB 00"}}, {48000}, kFollows, 0},
        {kAdaptive, {{kRange, "10 02 80 BB 00 81 BB 00"}}, {48000, 48001}, kFollows, 0},
        // 0 to 47800 Hz: the 48 kHz offered is refused.
        {"range-short-of-48-khz-speaker.txt",
         {{"10 00 E0 AB 00", "10 00 00 00 00"}},
         {48000},
         "play: the device ran the stream at 0 Hz, not at the stream's 48000 Hz\n",
         1},
        // Asynchronous, keeping the first of 44100 and 48000 Hz.
        {kAdaptive,
         {{"09 02 71 00 02", "09 02 8C 00 03"},
          {"09 05 01 09", "09 05 01 05"},
          {kRange, "10 02 44 AC 00 80 BB 00"},
          {"09 04 01 00 00", "09 04 02 00 00 FF 00 00 00\n09 04 02 01 01 FF 00 00 00\n"
                             "09 05 01 05 C4 00 01 00 00\n09 04 01 00 00"}},
         {48000},
         "play: the device ran the stream at 44100 Hz, not at the stream's 48000 Hz\n",
         1},
    };
    ScratchFolder w;
    std::string error;
    for (const auto& row : rows)
    {
        std::string text = ReadAll(std::string(LT_QUIRKS_DIR) + "/" + row.File);
        for (const auto& [from, to] : row.Edits)
            text.replace(text.find(from), strlen(from), to);
        std::ofstream(w / "device.txt") << text;
        for (const ULONG rate : row.Rates)
        {
            SCOPED_TRACE(std::string(row.Edits.back().second) + " " + std::to_string(rate));
            HostAudio file = Cosine(4800, 2, 16);
            file.Rate = rate;
            ASSERT_TRUE(HostWriteWav(w / "play.wav", file, &error)) << error;
            const ProgramRun run =
                RunProgram({"--descriptor-file", w / "device.txt", "--play", w / "play.wav"});
            EXPECT_EQ(row.Exit, run.Exit) << run.Err;
            EXPECT_NE(std::string::npos, (run.Out + run.Err).find(row.Said)) << run.Out << run.Err;
        }
    }
}
