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
// (48 frames a packet) with a fault set up before: what the run says, on
// either stream, and whether it worked (the program's exit status 0).
TEST(StreamRun, EachFaultIsSaidAndFailsTheRun)
{
    const struct
    {
        const char* Name;
        bool Record, Stray;
        ULONG DropFrom, Drops; // the first packet of the endpoint that fails, and how many
        std::string Said;
    } rows[] = {
        {"clean play", false, false, 0, 0, "unchanged, from wire frame 720\n"},
        {"sound before the file", false, true, 0, 0,
         "play: the device received 4 frame(s) of other samples before the file, which started "
         "late, at wire frame 724, and then came unchanged\n"},
        // Three packets of the file lost (the driver's recovery loses more).
        {"packets dropped", false, false, 300, 3,
         "play: the device received the file's samples unchanged up to file frame 13680, where "
         "packets were late or missing: the rest was not compared\n"},
        {"play stops arriving", false, false, 500, 100000,
         "play: the device received the file's samples unchanged up to file frame 23280, and "
         "nothing of the file after it\n"},
        {"recording stops arriving", true, false, 500, 100000,
         "record: the run did not keep to the device"},
    };
    HostAudio ramp{48000, 2, 16, std::vector<UCHAR>(48000 * 4)};
    for (size_t i = 0; i < ramp.Data.size(); ++i)
        ramp.Data[i] = (UCHAR)(i * 7 + i / 256);
    for (const auto& row : rows)
    {
        SCOPED_TRACE(row.Name);
        HostHarness host;
        std::string error;
        ASSERT_EQ(STATUS_SUCCESS, host.LoadDriver());
        ASSERT_EQ(STATUS_SUCCESS, host.PlugReference("Uac1SpeakerMic", &error)) << error;
        ASSERT_EQ(STATUS_SUCCESS, host.AddDevice());
        ASSERT_EQ(STATUS_SUCCESS, host.StartDevice());
        host.Device()->Streaming().InjectPacketError( // none when Drops is 0
            HostDataEndpoints(*host.Device(), row.Record)[0], row.DropFrom, USBD_STATUS_XACT_ERROR,
            row.Drops);
        std::optional<StrayPacket> stray;
        if (row.Stray)
            stray.emplace(host);
        // No file is written; a run with no file to play records.
        StreamRunOptions options;
        options.Play = row.Record ? "" : "ramp.wav";
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        const bool worked = RunStream(host, options, ramp);
        const std::string said =
            testing::internal::GetCapturedStdout() + testing::internal::GetCapturedStderr();
        EXPECT_EQ(!row.Stray && row.Drops == 0, worked) << said; // only the clean run works
        EXPECT_NE(std::string::npos, said.find(row.Said)) << said;
        stray.reset();
        EXPECT_EQ(STATUS_SUCCESS, host.RemoveDevice()); // the harness unplugs and unloads
    }
}
