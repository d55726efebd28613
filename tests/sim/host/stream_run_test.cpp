// The host program's runs against faults no command line can make: sound
// left on the wire before the file, packets dropped, a stream that stops
// arriving half-way. Each is said, and fails the run.
#include <gtest/gtest.h>

#include <optional>

#include "sim/host/harness/host_stream.h"
#include "sim/host/stream_run.h"

namespace
{
// Loud frames the speaker receives on its own, as if left on the wire by an
// earlier client: once the play's first packet came, one more in its slot.
// A timer's DPC looks every millisecond of emulated time.
struct StrayPacket
{
    explicit StrayPacket(HostHarness& host) : Host(host)
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
        const UCHAR ep = HostDataEndpoints(*self.Host.Device(), false)[0];
        const std::vector<UCHAR> loud(4 * 4, 0x55);
        const std::vector<SimPacketRecord>& packets = streaming.OutRecord(ep).Packets;
        if (!self.Sent && !packets.empty())
            self.Sent = streaming.IsochOut(ep, packets.back().Frame, packets.back().Microframe,
                                           loud.data(), (ULONG)loud.size()) == USBD_STATUS_SUCCESS;
    }

    HostHarness& Host;
    KTIMER Timer;
    KDPC Dpc;
    bool Sent = false;
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
    // folder that is not: none is made); a recording.
    enum Kind
    {
        Play,
        Stray,
        Out,
        Record
    };
    const struct
    {
        const char* Name;
        Kind Run;
        ULONG DropFrom, Drops; // the first packet of the endpoint that fails, and how many
        std::string Said;
    } rows[] = {
        {"clean play", Play, 0, 0, "unchanged, from wire frame 720\n"},
        {"sound before the file", Stray, 0, 0,
         "play: the device received 4 frame(s) of other samples before the file, which started "
         "late, at wire frame 724, and then came unchanged\n"},
        // Three packets of the file lost (the driver's recovery loses more).
        {"packets dropped", Play, 300, 3,
         "play: the device received the file's samples unchanged up to file frame 13680, where "
         "packets were late or missing: the rest was not compared\n"},
        {"play stops arriving", Play, 500, kAll,
         "play: the device received the file's samples unchanged up to file frame 23280, and "
         "nothing of the file after it\n"},
        {"play starts late", Play, 0, 200, "packet(s) late or missing\n"},
        {"play never arrives", Out, 0, kAll, ": not written: the device received nothing\n"},
        {"clean recording", Record, 0, 0, "unchanged, from wire frame 0 at file frame 0\n"},
        // The driver takes the packets that came: the recording is the device's.
        {"recording loses packets", Record, 300, 3, "record: 3 packet(s) late or missing\n"},
        {"recording starts late", Record, 0, 10, "holds 44160 of the 48000 frames asked"},
        {"recording stops arriving", Record, 500, kAll, "holds 23760 of the 48000 frames"},
        {"recording never arrives", Record, 0, kAll, "holds 0 of the 48000 frames asked"},
    };
    HostAudio ramp{48000, 2, 16, std::vector<UCHAR>(48000 * 4)};
    for (size_t i = 0; i < ramp.Data.size(); ++i)
        ramp.Data[i] = (UCHAR)(i * 7 + i / 256);
    std::string error;
    for (const auto& row : rows)
    {
        SCOPED_TRACE(row.Name);
        HostHarness host;
        ASSERT_EQ(STATUS_SUCCESS, host.LoadDriver());
        ASSERT_EQ(STATUS_SUCCESS, host.PlugReference("Uac1SpeakerMic", &error)) << error;
        ASSERT_EQ(STATUS_SUCCESS, host.AddDevice());
        ASSERT_EQ(STATUS_SUCCESS, host.StartDevice());
        const bool record = row.Run == Record;
        const UCHAR ep = HostDataEndpoints(*host.Device(), record)[0];
        host.Device()->Streaming().InjectPacketError(ep, row.DropFrom, USBD_STATUS_XACT_ERROR,
                                                     row.Drops); // none when Drops is 0
        std::optional<StrayPacket> stray;
        if (row.Run == Stray)
            stray.emplace(host);
        // A run with no file to play records.
        StreamRunOptions options;
        options.Play = record ? "" : "ramp.wav";
        options.DeviceOut = row.Run == Out ? "/nonexistent/received.wav" : "";
        HostMemorySource play(ramp);
        const ULONG start = host.Bus()->CurrentFrame();
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        const bool worked =
            RunStream(host, options, record ? nullptr : static_cast<HostPlaySource*>(&play));
        const std::string said =
            testing::internal::GetCapturedStdout() + testing::internal::GetCapturedStderr();
        EXPECT_EQ(row.Drops == 0 && row.Run != Stray, worked) << said; // only the clean runs work
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
