// The host program's play and record runs against faults no command line
// can make: sound left on the wire before the file, packets dropped, a
// stream that stops arriving half-way. Each is said, and fails the run.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>

#include "sim/host/harness/host_stream.h"
#include "sim/host/stream_run.h"

namespace
{
// 16-bit stereo at 48 kHz: a 997 Hz cosine, so no frame of it is silent.
HostAudio Cosine(ULONG frames)
{
    HostAudio a{48000, 2, 16, std::vector<UCHAR>((size_t)frames * 4)};
    for (ULONG i = 0; i < frames; ++i)
    {
        const SHORT v = (SHORT)std::lround(20000.0 * std::cos(2 * M_PI * 997.0 * i / 48000));
        memcpy(&a.Data[i * 4], &v, 2);
        memcpy(&a.Data[i * 4 + 2], &v, 2);
    }
    return a;
}

// The first data endpoint of the device in one direction.
UCHAR Endpoint(HostHarness& host, bool in)
{
    const std::vector<UCHAR> endpoints = HostDataEndpoints(*host.Device(), in);
    return endpoints.empty() ? 0 : endpoints[0];
}

// Loud frames the speaker receives on its own, as if left on the wire by an
// earlier client: once its first packet of the play came, a packet of them
// in the same slot. A timer's DPC looks every millisecond of emulated time.
class StrayPacket
{
  public:
    static constexpr ULONG kFrames = 4;

    explicit StrayPacket(HostHarness& host) : m_Host(host)
    {
        KeInitializeTimer(&m_Timer);
        KeInitializeDpc(&m_Dpc, &StrayPacket::Look, this);
        LARGE_INTEGER due;
        due.QuadPart = -10000;
        KeSetTimerEx(&m_Timer, due, 1, &m_Dpc);
    }
    ~StrayPacket() { KeCancelTimer(&m_Timer); }

  private:
    static void Look(PKDPC, PVOID context, PVOID, PVOID)
    {
        auto* self = static_cast<StrayPacket*>(context);
        SimStreaming& streaming = self->m_Host.Device()->Streaming();
        const UCHAR ep = Endpoint(self->m_Host, false);
        const SimOutRecord& record = streaming.OutRecord(ep);
        if (self->m_Sent || record.Packets.empty())
            return;
        const SimPacketRecord last = record.Packets.back();
        const std::vector<UCHAR> loud(kFrames * 4, 0x55);
        streaming.IsochOut(ep, last.Frame, last.Microframe, loud.data(), (ULONG)loud.size());
        self->m_Sent = true;
    }

    HostHarness& m_Host;
    KTIMER m_Timer;
    KDPC m_Dpc;
    bool m_Sent = false;
};
} // namespace

// A second of the cosine played, or recorded, on the class 1.0 reference
// device with a fault set up before: what the run says, on either stream,
// and whether it worked (the program's exit status 0).
TEST(StreamRun, EachFaultIsSaidAndFailsTheRun)
{
    using Setup = std::function<void(HostHarness&, std::unique_ptr<StrayPacket>*)>;
    const Setup none = [](HostHarness&, std::unique_ptr<StrayPacket>*) {};
    // The endpoint's packets from the `from`th on fail, `count` of them.
    const auto drop = [](bool in, ULONG from, ULONG count)
    {
        return [=](HostHarness& host, std::unique_ptr<StrayPacket>*)
        {
            host.Device()->Streaming().InjectPacketError(Endpoint(host, in), from,
                                                         USBD_STATUS_XACT_ERROR, count);
        };
    };
    const struct
    {
        const char* Name;
        bool Record;
        Setup Fault;
        std::string Said;
        bool Worked;
    } rows[] = {
        {"clean play", false, none,
         "offset +15.000 ms and drift +0.000 ms against the device clock, glitches: 0 late or "
         "missing packet(s), 0 underrun(s), 0 overrun(s)\nplay: the device received the file's "
         "samples unchanged, from wire frame 720\n",
         true},
        {"sound before the file", false,
         [](HostHarness& host, std::unique_ptr<StrayPacket>* stray)
         { *stray = std::make_unique<StrayPacket>(host); },
         "play: the device received 4 frame(s) of other samples before the file, which started "
         "late, at wire frame 724, and then came unchanged\n",
         false},
        // Three packets of the file lost: the driver's recovery loses more.
        {"packets dropped", false, drop(false, 300, 3), " packet(s) late or missing\n", false},
        // The 500th packet of 48 frames is the file's frame 24000 - 720.
        {"play stops arriving", false, drop(false, 500, 100000),
         "play: the device received the file's samples unchanged up to file frame 23280, and "
         "nothing of the file after it\n",
         false},
        {"recording stops arriving", true, drop(true, 500, 100000),
         "record: the run did not keep to the device", false},
    };
    for (const auto& row : rows)
    {
        SCOPED_TRACE(row.Name);
        HostHarness host;
        std::string error;
        ASSERT_EQ(STATUS_SUCCESS, host.LoadDriver());
        ASSERT_EQ(STATUS_SUCCESS, host.PlugReference("Uac1SpeakerMic", &error)) << error;
        ASSERT_EQ(STATUS_SUCCESS, host.AddDevice());
        ASSERT_EQ(STATUS_SUCCESS, host.StartDevice());
        std::unique_ptr<StrayPacket> stray;
        row.Fault(host, &stray);
        // No file is written: a record run is one without a file to play.
        StreamRunOptions options;
        options.Play = row.Record ? "" : "cosine.wav";
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        const bool worked = RunStream(host, options, Cosine(48000));
        const std::string said =
            testing::internal::GetCapturedStdout() + testing::internal::GetCapturedStderr();
        EXPECT_EQ(row.Worked, worked) << said;
        EXPECT_NE(std::string::npos, said.find(row.Said)) << said;
        stray.reset();
        EXPECT_EQ(STATUS_SUCCESS, host.RemoveDevice());
        host.Unplug();
        host.UnloadDriver();
    }
}
