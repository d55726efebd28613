// The host program's runs against faults no command line can make: sound
// left on the wire before the file, packets dropped, a stream that stops
// arriving half-way. Each is said, and fails the run.
#include <gtest/gtest.h>

#include <optional>
#include <random>

#include "platform/io/io_emu.h"
#include "framework/interfaces.h"
#include "sim/host/harness/host_stream.h"
#include "sim/host/stream_run.h"
#include "tests/sim/host/ramp_source.h"
#include "tests/sim/host/scratch_folder.h"

namespace
{
// What a run said on both streams, and whether it worked.
// What the run said, both streams; `errors` gets the error stream's part.
std::string Said(HostHarness& host, const StreamRunOptions& options, HostPlaySource* play,
                 bool* worked, std::string* errors = nullptr)
{
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    *worked = RunStream(host, options, play);
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string err = testing::internal::GetCapturedStderr();
    if (errors != nullptr)
        *errors = err;
    return out + err;
}

// The timed chip's output terminal as headphones, set before the device is added.
void SetTimedHeadphones(const HostHarness& host)
{
    WCHAR key[128] = {};
    ULONG length = 0;
    IoGetDeviceProperty(host.Pdo(), DevicePropertyDriverKeyName, sizeof(key) - 2, key, &length);
    const std::u16string settings =
        u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\Class\\" + std::u16string(key) +
        u"\\Settings";
    EmuRegistrySetBinary(settings, u"SupportHPOut", {1, 0, 0, 0});
    EmuRegistrySetBinary(settings, u"UACUnit03", {ENDPOINT_KIND_HP, 0, 0, 0});
}

// Loud frames the speaker receives on its own, as if left on the wire by an
// earlier client: once the play's first packet came, one more in its slot.
// On a recording, a frame the microphone sends that the driver never reads.
// A timer's DPC looks every millisecond of emulated time.
struct StrayPacket
{
    StrayPacket(HostHarness& host, bool in) : Host(host), In(in)
    {
        KeInitializeTimer(&Timer);
        KeInitializeDpc(&Dpc, Look, this);
        KeSetTimerEx(&Timer, {.QuadPart = -10000}, 1, &Dpc);
    }
    ~StrayPacket() { KeCancelTimer(&Timer); }
    static void Look(PKDPC, PVOID context, PVOID, PVOID)
    {
        StrayPacket& self = *static_cast<StrayPacket*>(context);
        SimStreaming& streaming = self.Host.Device()->Streaming();
        const UCHAR ep = HostDataEndpoints(*self.Host.Device(), self.In)[0];
        std::vector<UCHAR> loud(4 * 4, 0x55);
        const auto& packets = (self.In ? streaming.InRecord(ep) : streaming.OutRecord(ep)).Packets;
        ULONG length = 0; // in: room for the microphone's one 16-bit frame
        if (!self.Sent && !packets.empty())
            self.Sent =
                (self.In
                     ? streaming.IsochIn(ep, packets.back().Frame, packets.back().Microframe,
                                         loud.data(), 2, &length)
                     : streaming.IsochOut(ep, packets.back().Frame, packets.back().Microframe,
                                          loud.data(), (ULONG)loud.size())) == USBD_STATUS_SUCCESS;
    }

    HostHarness& Host;
    const bool In;
    KTIMER Timer;
    KDPC Dpc;
    bool Sent = false;
};

// A ramp whose first 250 frames the path loses with no packet late: silence
// reaches the device in their place. The play is compared with the ramp.
struct LosesItsStart : RampSource
{
    LosesItsStart() : RampSource(48000, 48000, 250) {}
    std::unique_ptr<HostPlaySource> Again(std::string*) const override
    {
        return std::make_unique<RampSource>(48000);
    }
};

// What the path delivers of a file, with no packet late: the play is
// compared with the file.
struct Delivers : HostMemorySource
{
    Delivers(const HostAudio& delivered, const HostAudio& file)
        : HostMemorySource(delivered), File(file)
    {
    }
    std::unique_ptr<HostPlaySource> Again(std::string*) const override
    {
        return std::make_unique<HostMemorySource>(File);
    }
    const HostAudio& File;
};
} // namespace

// A second of a ramp played, or recorded, on the class 1.0 reference device
// (48 frames a packet, one a frame) with a fault set up before: what the run
// says, on either stream, and whether it worked (the program's exit status 0);
// and the packet slots it says the device got (sent) nothing in, against
// the frames the run took and the packets that failed.
TEST(StreamRun, EachFaultIsSaidAndFailsTheRun)
{
    constexpr ULONG kAll = 100000;       // every packet from the first that fails on
    constexpr ULONG kStartAndStop = 100; // frames, well above the pin's start and stop
    // A play; one with a stray packet before it; one written to a file (in a
    // folder that is not: none is made); a recording; one with a frame the
    // driver does not read (what the device sent is not what it holds).
    enum Kind
    {
        Play,
        Stray,
        Out,
        Lost, // a play whose start is lost
        // A play whose frames from 24,000 are lost, repeated, blanked or
        // changed, or whose silence there is filled.
        Altered,
        Record,
        StrayRecord
    };
    const struct
    {
        const char* Name;
        Kind Run;
        ULONG DropFrom, Drops; // the first packet of the endpoint that fails, and how many
        std::string Said;
        // Altered: the file's frames the path loses, the frames before them
        // it delivers twice, and the frames it delivers as silence; the
        // file's frames that are silence, delivered as the noise's sound;
        // and whether a low bit of the first changes.
        size_t Lose = 0, Repeat = 0, Blank = 0, Fill = 0;
        bool Flip = false;
    } rows[] = {
        {"clean play", Play, 0, 0, "unchanged, from wire frame 720\n"},
        {"sound before the file", Stray, 0, 0,
         "play: the device received 4 frame(s) of other samples before the file, which started "
         "late, at wire frame 724\n"},
        // Three packets of the file lost (the driver's recovery loses more).
        {"packets dropped", Play, 300, 3,
         "play: the device received the file's samples unchanged up to file frame 13680, where "
         "packets were late or missing: the rest was not compared\n"},
        {"play stops arriving", Play, 500, kAll,
         "play: the device received the file's samples unchanged up to file frame 23280, and "
         "nothing of the file after it\n"},
        {"play starts late", Play, 0, 200, "play: the device never received file frames 0 to "},
        {"play loses its start", Lost, 0, 0,
         "play: the device never received file frames 0 to 249: the file started on the wire at "
         "its frame 250\n"},
        {"play never arrives", Out, 0, kAll, ": not written: the device received nothing\n"},
        {"play loses frames", Altered, 0, 0,
         "play: the device never received file frames 24000 to 24009: from wire frame 24720 it "
         "received the file's frame 24010 on\n",
         10},
        {"play repeats a packet", Altered, 0, 0,
         "play: the device received 48 frame(s) inserted at file frame 24000: from wire frame "
         "24768 it received the file's frame 24000 on\n",
         0, 48},
        {"play blanks frames", Altered, 0, 0,
         "play: the device received silence in place of file frames 24000 to 24099\n", 0, 0, 100},
        // Nothing on the path can change a sample: each fails the run.
        {"play changes a bit", Altered, 0, 0,
         "play: the device received other samples than the file's from file frame 24000\n", 0, 0, 0,
         0, true},
        {"play fills the file's silence", Altered, 0, 0,
         "play: the device received sound in place of the file's silence, file frames 24000 to "
         "24099\n",
         0, 0, 0, 100},
        {"clean recording", Record, 0, 0, "unchanged, from wire frame 0 at file frame 0\n"},
        // The driver takes the packets that came: the recording is the device's.
        {"recording loses packets", Record, 300, 3, "record: 3 packet(s) late or missing\n"},
        {"recording starts late", Record, 0, 10, "holds 44160 of the 48000 frames asked"},
        {"recording stops arriving", Record, 500, kAll, "holds 23760 of the 48000 frames"},
        {"recording never arrives", Record, 0, kAll, "holds 0 of the 48000 frames asked"},
        {"frame not read", StrayRecord, 0, 0,
         "record: the recording lost 1 frame(s) the device sent at file frame 48: from there it "
         "holds the device's samples from wire frame 49 on\n"},
    };
    HostAudio ramp{48000, 2, 16, std::vector<UCHAR>(48000 * 4)};
    for (size_t i = 0; i < ramp.Data.size(); ++i)
        ramp.Data[i] = (UCHAR)(i * 7 + i / 256);
    // The ramp repeats within half a second: frames inserted in it read as
    // the rest of its period lost.
    HostAudio noise = ramp;
    std::mt19937 random(77);
    std::generate(noise.Data.begin(), noise.Data.end(), [&random] { return (UCHAR)random(); });
    std::string error;
    for (const auto& row : rows)
    {
        SCOPED_TRACE(row.Name);
        HostHarness host;
        ASSERT_EQ(STATUS_SUCCESS, host.LoadDriver());
        ASSERT_EQ(STATUS_SUCCESS, host.PlugReference("Uac1SpeakerMic", &error)) << error;
        ASSERT_EQ(STATUS_SUCCESS, host.AddDevice());
        ASSERT_EQ(STATUS_SUCCESS, host.StartDevice());
        const bool record = row.Run == Record || row.Run == StrayRecord;
        const bool strays = row.Run == Stray || row.Run == StrayRecord;
        const UCHAR ep = HostDataEndpoints(*host.Device(), record)[0];
        host.Device()->Streaming().InjectPacketError(ep, row.DropFrom, USBD_STATUS_XACT_ERROR,
                                                     row.Drops); // none when Drops is 0
        std::optional<StrayPacket> stray;
        if (strays)
            stray.emplace(host, record);
        // A run with no file to play records.
        StreamRunOptions options;
        options.Play = record ? "" : "ramp.wav";
        options.DeviceOut = row.Run == Out ? "/nonexistent/received.wav" : "";
        HostMemorySource play(ramp);
        LosesItsStart lost;
        HostAudio file = noise;
        std::fill_n(file.Data.begin() + 24000 * 4, 4 * row.Fill, 0);
        HostAudio delivered = row.Fill != 0 ? noise : file;
        delivered.Data[24000 * 4] ^= row.Flip ? 1 : 0;
        const auto from = delivered.Data.begin() + 24000 * 4;
        delivered.Data.erase(from, from + (ptrdiff_t)(4 * row.Lose));
        std::fill_n(from, 4 * row.Blank, 0);
        delivered.Data.insert(from, noise.Data.begin() + (ptrdiff_t)(4 * (24000 - row.Repeat)),
                              noise.Data.begin() + 24000 * 4);
        Delivers altered(delivered, file);
        const ULONG start = host.Bus()->CurrentFrame();
        bool worked = false;
        HostPlaySource* source = row.Run == Lost      ? (HostPlaySource*)&lost
                                 : row.Run == Altered ? (HostPlaySource*)&altered
                                                      : &play;
        std::string errors;
        const std::string said = Said(host, options, record ? nullptr : source, &worked, &errors);
        // Only the clean runs work; what failed a run is said on the error stream.
        EXPECT_EQ(row.Drops == 0 && !strays && row.Run != Lost && row.Run != Altered, worked)
            << said;
        EXPECT_NE(std::string::npos, said.find(row.Said)) << said;
        EXPECT_EQ(!worked, errors.find(row.Said) != std::string::npos) << said;
        // At most every frame the run took; at least the packets that
        // failed, up to the end of the stream (the frames the pin's start
        // and stop take are outside it).
        const ULONG frames = host.Bus()->CurrentFrame() - start;
        const size_t at = said.find("glitches: ");
        ASSERT_NE(std::string::npos, at) << said;
        const ULONG missing = (ULONG)std::stoul(said.substr(at + 10));
        EXPECT_LE(missing, frames);
        EXPECT_GE(missing, std::min(row.Drops, frames - row.DropFrom - kStartAndStop));
        stray.reset();
        EXPECT_EQ(STATUS_SUCCESS, host.RemoveDevice()); // the harness unplugs and unloads
    }
}

// What a run says of what the device moved and of the rate it ran the
// stream at, and whether it worked: a play pulled out in the file's silence
// names the silence received, which places none of the file's frames; a run
// that moved nothing says so in words; a device at another rate than the
// stream's fails it, however short the run, and so does one that moves
// away from the stream's rate during it; one with no rate of its own says
// so, its data keeping to the time run. The timed chip's headphones
// play 96 kHz in a setting that states 48 kHz: the chip refuses the class
// request and runs at the rate its register is set to.
TEST(StreamRun, EachRunNamesWhatTheDeviceMovedAndItsRate)
{
    constexpr ULONG kAll = 100000;
    constexpr const char* kAdaptive = "adaptive-speaker-without-rate-control.txt";
    constexpr const char* kFollows = "0 overrun(s); the device has no rate of its own: it follows "
                                     "the stream's data\nplay: the device received the file's "
                                     "samples unchanged";
    const struct
    {
        const char* Device;     // a reference device, or a quirk file
        ULONG Rate, Silent = 0; // of the file played, and its silent frames first; 0: a recording
        ULONG UnplugAfterMs = 0, Drops = 0; // Drops: packets that fail from the first
        std::string Out = "", Said;         // Out: where what the device moved is written
        bool Worked = false;
        ULONGLONG CutAt = ~0ull; // the file's frame its reading fails at
        ULONG LaterRate = 0;     // the rate the device moves to at its 100th packet
        bool High = false;       // at high speed, else the device's own
        LONG FrameClockPpm = 0;  // the bus's frame clock against the time run
    } rows[] = {
        // 98 packets of 48 frames: the stream's first goes 2 ms in.
        {"Uac1SpeakerMic", 48000, 48000, 100, 0, "",
         "play: the device received 4704 frame(s), all silence: none of the file's sound "
         "reached it\n"},
        {"Uac1SpeakerMic", 48000, 0, 0, kAll, "", "play: the device received nothing\n"},
        {"Uac1SpeakerMic", 0, 0, 0, 0, "/dev/full",
         "record: the device sent nothing, and the recording holds nothing\n"},
        {"Uac1SpeakerMic", 0, 0, 1, 0, "", "record: the recording holds nothing: none of "},
        {"rate-request-ignored-microphone.txt", 0, 0, 0, 0, "",
         "record: the device ran the stream at 44100 Hz, not at the stream's 48000 Hz\n"},
        {"range-short-of-48-khz-speaker.txt", 48000, 0, 0, 0, "",
         "play: the device ran the stream at 44000 Hz, not at the stream's 48000 Hz\n"},
        {"range-short-of-48-khz-speaker.txt", 44100, 0, 0, 0, "", "unchanged", true},
        // Never told its rate, the adaptive speaker follows its data, at
        // high speed too, where a packet alone carries 1 or 2 frames at 11025 Hz.
        {.Device = kAdaptive, .Rate = 48000, .Said = "unchanged", .Worked = true},
        {.Device = kAdaptive, .Rate = 44100, .Said = "unchanged", .Worked = true},
        {.Device = kAdaptive, .Rate = 32000, .Said = "unchanged", .Worked = true},
        {.Device = kAdaptive, .Rate = 22050, .Said = "unchanged", .Worked = true},
        {.Device = kAdaptive, .Rate = 11025, .Said = "unchanged", .Worked = true},
        {.Device = kAdaptive, .Rate = 44100, .Said = "unchanged", .Worked = true, .High = true},
        {.Device = kAdaptive, .Rate = 22050, .Said = "unchanged", .Worked = true, .High = true},
        {.Device = kAdaptive, .Rate = 11025, .Said = "unchanged", .Worked = true, .High = true},
        // It has no rate of its own, and its data keeps to the time run over
        // long enough for data 2% off the stream's rate to drift a period.
        {.Device = kAdaptive, .Rate = 48000, .Silent = 48000 * 3, .Said = kFollows, .Worked = true},
        // A bus clock 3% fast takes the data that much faster than the time
        // run: the device receives it at another rate than the stream's, 3%
        // of the 3.2 s after the stream settles off, some 90 ms.
        {.Device = kAdaptive,
         .Rate = 48000,
         .Silent = 48000 * 3,
         .Said = "play: data drift -9",
         .FrameClockPpm = 30000},
        {.Device = "Uac1SpeakerMic",
         .Rate = 48000,
         .Said = "play: the device ran the stream at 44100 Hz, not at the stream's 48000 Hz\n",
         .LaterRate = 44100},
        {"TimedChip", 96000, 0, 0, 0, "", "2 channel(s) of 16 bits at 96000 Hz", true},
        // What the device received is written, and said, however the run ends.
        {"Uac1SpeakerMic", 48000, 0, 0, 0, "/dev/null",
         "frames, 2 channel(s) of 16 bits at 48000 Hz (ended early)\n", false, 4800},
    };
    for (const auto& row : rows)
    {
        SCOPED_TRACE(std::string(row.Device) + " " + std::to_string(row.Rate) +
                     (row.High ? " high" : ""));
        HostHarness host;
        std::string error;
        const std::string name = row.Device;
        ASSERT_EQ(STATUS_SUCCESS, host.LoadDriver());
        const auto speed = row.High ? std::optional(EmuUsbSpeed::High) : std::nullopt;
        ASSERT_EQ(STATUS_SUCCESS,
                  name.ends_with(".txt")
                      ? host.PlugDescriptorFile(LT_QUIRKS_DIR "/" + name, &error, speed)
                      : host.PlugReference(name, &error, speed))
            << error;
        if (name == "TimedChip") // its output is headphones
            SetTimedHeadphones(host);
        ASSERT_EQ(STATUS_SUCCESS, host.AddDevice());
        ASSERT_EQ(STATUS_SUCCESS, host.StartDevice());
        SimUsbDevice& device = *host.Device();
        host.Bus()->SetFrameClockPpm(row.FrameClockPpm);
        if (row.LaterRate != 0)
            device.Audio().SetStreamRateSource(
                SimRef1::PlayInterface,
                [&device, rate = row.LaterRate] {
                    return device.Streaming().PacketCount(SimRef1::PlayEndpoint) >= 100 ? rate : 0;
                });
        if (row.Drops != 0)
            device.Streaming().InjectPacketError(HostDataEndpoints(device, false)[0], 0,
                                                 USBD_STATUS_XACT_ERROR, row.Drops);
        StreamRunOptions options;
        (row.Rate == 0 ? options.Record : options.DeviceOut) = row.Out;
        options.Play = row.Rate == 0 ? "" : "file.wav";
        options.RecordMs = 300;
        options.UnplugAfterMs = row.UnplugAfterMs;
        RampSource play(row.Silent + row.Rate * 3 / 10, row.Rate, row.Silent, row.CutAt);
        bool worked = !row.Worked;
        const std::string said = Said(host, options, row.Rate == 0 ? nullptr : &play, &worked);
        EXPECT_EQ(row.Worked, worked) << said;
        EXPECT_NE(std::string::npos, said.find(row.Said)) << said;
    }
}
