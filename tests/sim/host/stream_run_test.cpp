// The host program's runs against faults no command line can make: sound
// left on the wire before the file, packets dropped, a stream that stops
// arriving half-way. Each is said, and fails the run.
#include <gtest/gtest.h>

#include <optional>

#include "platform/io/io_emu.h"
#include "framework/interfaces.h"
#include "sim/host/harness/host_stream.h"
#include "sim/host/stream_run.h"
#include "tests/sim/host/host_start.h"
#include "tests/sim/host/ramp_source.h"

namespace
{
// The timed chip's output terminal as headphones, set before the device is added.
void SetTimedHeadphones(HostHarness& host)
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
} // namespace

// A ramp played, or a recording, with a fault set up before: what the run
// says, on either stream, and whether it worked (the program's exit status
// 0); and the packet slots it says the device got (sent) nothing in, against
// the frames the run took and the packets that failed. A play pulled out in
// the file's silence names the silence received, which places none of the
// file's frames; a run that moved nothing says so in words; a device at
// another rate than the stream's fails it, however short the run. The timed
// chip's headphones play 96 kHz in a setting that states 48 kHz: the chip
// refuses the class request and runs at the rate its register is set to.
TEST(StreamRun, EachRunSaysWhatTheDeviceMovedAndFailsOnAFault)
{
    constexpr ULONG kAll = 100000;       // every packet from the first that fails on
    constexpr ULONG kStartAndStop = 100; // frames, well above the pin's start and stop
    const struct
    {
        ULONG Rate;            // of the file played; 0: a recording
        ULONG DropFrom, Drops; // the first of the endpoint's packets that fails, and how many
        std::string Said;
        bool Worked = false;
        bool Stray = false;                             // a stray packet (StrayPacket) on the wire
        std::string Device = "Uac1SpeakerMic";          // a reference device, or a quirk file
        ULONG Ms = 1000, UnplugAfterMs = 0, Silent = 0; // Silent: the file's silent frames first
        std::string Out = "";                           // where what the device moved is written
        ULONGLONG CutAt = ~0ull;                        // the file's frame its reading fails at
    } rows[] = {
        // On the class 1.0 reference device: 48 frames a packet, one a frame.
        {48000, 0, 0, "unchanged, from wire frame 720\n", true},
        {48000, 0, 0,
         "play: the device received 4 frame(s) of other samples before the file, which started "
         "late, at wire frame 724, and then came unchanged\n",
         false, true},
        // Three packets of the file lost (the driver's recovery loses more).
        {48000, 300, 3,
         "play: the device received the file's samples unchanged up to file frame 13680, where "
         "packets were late or missing: the rest was not compared\n"},
        {48000, 500, kAll,
         "play: the device received the file's samples unchanged up to file frame 23280, and "
         "nothing of the file after it\n"},
        {48000, 0, 200, "packet(s) late or missing\n"},
        {48000, 0, kAll, "play: the device received nothing\n"},
        // None is written, in a folder that is not (none is made).
        {48000, 0, kAll, ": not written: the device received nothing\n", false, false,
         "Uac1SpeakerMic", 1000, 0, 0, "/nonexistent/received.wav"},
        {0, 0, 0, "unchanged, from wire frame 0 at file frame 0\n", true},
        // The driver takes the packets that came: the recording is the device's.
        {0, 300, 3, "record: 3 packet(s) late or missing\n"},
        {0, 0, 10, "holds 44160 of the 48000 frames asked"},
        {0, 500, kAll, "holds 23760 of the 48000 frames"},
        {0, 0, kAll, "holds 0 of the 48000 frames asked"},
        // What the device sent is not what the recording holds.
        {0, 0, 0, "record: the recording holds the device's samples unchanged up to file frame ",
         false, true},
        // 98 packets of 48 frames: the stream's first goes 2 ms in.
        {48000, 0, 0,
         "play: the device received 4704 frame(s), all silence: none of the file's sound "
         "reached it\n",
         false, false, "Uac1SpeakerMic", 1000, 100, 48000},
        {0, 0, 0, "record: the device sent nothing, and the recording holds nothing\n", false,
         false, "Uac1SpeakerMic", 1000, 0, 0, "/dev/full"},
        {0, 0, 0, "record: the recording holds nothing: none of ", false, false, "Uac1SpeakerMic",
         1000, 1},
        {0, 0, 0, "record: the device ran the stream at 44100 Hz, not at the stream's 48000 Hz\n",
         false, false, "rate-request-ignored-microphone.txt", 300},
        {48000, 0, 0, "play: the device ran the stream at 44000 Hz, not at the stream's 48000 Hz\n",
         false, false, "range-short-of-48-khz-speaker.txt"},
        {44100, 0, 0, "unchanged", true, false, "range-short-of-48-khz-speaker.txt"},
        {96000, 0, 0, "2 channel(s) of 16 bits at 96000 Hz", true, false, "TimedChip"},
        // What the device received is written, and said, however the run ends.
        {48000, 0, 0, "frames, 2 channel(s) of 16 bits at 48000 Hz (ended early)\n", false, false,
         "Uac1SpeakerMic", 1000, 0, 0, "/dev/null", 4800},
    };
    for (const auto& row : rows)
    {
        SCOPED_TRACE(row.Said);
        HostHarness host;
        ASSERT_NO_FATAL_FAILURE(
            StartHost(host, row.Device, row.Device == "TimedChip" ? SetTimedHeadphones : nullptr));
        const bool record = row.Rate == 0;
        host.Device()->Streaming().InjectPacketError(HostDataEndpoints(*host.Device(), record)[0],
                                                     row.DropFrom, USBD_STATUS_XACT_ERROR,
                                                     row.Drops); // none when Drops is 0
        std::optional<StrayPacket> stray;
        if (row.Stray)
            stray.emplace(host, record);
        // A run with no file to play records.
        StreamRunOptions options;
        (record ? options.Record : options.DeviceOut) = row.Out;
        options.Play = record ? "" : "file.wav";
        options.RecordMs = row.Ms;
        options.UnplugAfterMs = row.UnplugAfterMs;
        RampSource play(row.Silent + row.Rate * row.Ms / 1000, row.Rate, row.Silent, row.CutAt);
        const ULONG start = host.Bus()->CurrentFrame();
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        const bool worked = RunStream(host, options, record ? nullptr : &play);
        const std::string said =
            testing::internal::GetCapturedStdout() + testing::internal::GetCapturedStderr();
        EXPECT_EQ(row.Worked, worked) << said;
        EXPECT_NE(std::string::npos, said.find(row.Said)) << said;
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
