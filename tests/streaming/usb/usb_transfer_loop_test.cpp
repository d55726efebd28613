// The transfer loop against the simulated speaker on virtual time: packet
// sizes and URB fields as the device receives them, explicit start frames,
// all contexts busy, recovery after a failing packet, abort and device-gone
// paths, the base completion, and ten minutes without a lost URB.
#include <gtest/gtest.h>

#include "platform/io/io_emu.h"
#include "platform/kernel/emu.h"
#include "tests/streaming/usb/usb_stream_rig.h"

namespace
{
constexpr UCHAR kPlay = SimRef1::PlayEndpoint;

bool OutputContains(const char* fragment)
{
    for (const std::string& line : EmuDbgOutput())
        if (line.find(fragment) != std::string::npos)
            return true;
    return false;
}

class TransferLoop : public testing::Test
{
  protected:
    void SetUp() override { ASSERT_TRUE(rig.Ok()); }
    void StartWave(ULONG rate, ULONG msPerUrb = 5, ULONG urbs = 3)
    {
        ASSERT_EQ(STATUS_SUCCESS, rig.Register(&wave, PcmFormat(2, rate, 16), msPerUrb, urbs));
        ULONG ms = 0;
        ASSERT_EQ(STATUS_SUCCESS, rig.Control()->OpenClient(wave.Key(), &ms, &openFrame));
        EXPECT_EQ(msPerUrb, ms);
        ASSERT_EQ(STATUS_SUCCESS,
                  rig.Control()->StartClient(wave.Key(), openFrame + 2, &ms, nullptr));
    }
    const SimOutRecord& Out() { return rig.Device()->Streaming().OutRecord(kPlay); }

    StreamRig rig;
    ClientDouble wave{STREAM_CLIENT_KIND_WAVE_CYCLIC, 0x33};
    ULONG openFrame = 0;
};

TEST_F(TransferLoop, FortyEightKilohertzSendsFortyEightFramesInEveryFrameFromTheNamedOne)
{
    StartWave(48000);
    TestUsbStream* s = rig.Stream();
    EXPECT_EQ((ULONG)USB_STREAM_RUNNING, s->State());
    EXPECT_EQ(std::vector<UCHAR>({1}), s->Selected);
    EXPECT_EQ(1u, s->PacketsPerUrbFrame());
    EXPECT_EQ(48u, s->BaseSamples());
    EXPECT_EQ(3u, s->UrbsInFlight());
    // Room for 50 frames of 4 bytes in each of the five packets.
    EXPECT_EQ(50u * 4 * 5, s->BufferBytes());
    EmuAdvanceMs(100);
    const SimOutRecord& out = Out();
    ASSERT_GE(out.Packets.size(), 90u);
    for (size_t i = 0; i < out.Packets.size(); ++i)
    {
        ASSERT_EQ(192u, out.Packets[i].Length) << i;
        ASSERT_EQ(openFrame + 2 + i, out.Packets[i].Frame) << i;
    }
    for (UCHAR byte : out.Data)
        ASSERT_EQ(0x33, byte);
    EXPECT_EQ(3, s->Outstanding());
    EXPECT_EQ((ULONG)s->Sent(), s->Processed);
    EXPECT_EQ((ULONGLONG)s->Sent() * 960, s->ProcessedBytes);
    // Every completed URB reported its 960 bytes.
    EXPECT_EQ((ULONGLONG)(s->Sent() - 3) * 960, wave.BytesSeen());
    rig.Leave(&wave);
    EXPECT_EQ((ULONG)USB_STREAM_CLOSED, s->State());
    EXPECT_EQ(std::vector<UCHAR>({1, 0}), s->Selected);
    EXPECT_EQ(nullptr, s->Active());
}

TEST_F(TransferLoop, FortyFourOneSendsNineOfFortyFourThenOneOfFortyFive)
{
    StartWave(44100, 10, 2);
    EmuAdvanceMs(60);
    const SimOutRecord& out = Out();
    ASSERT_GE(out.Packets.size(), 50u);
    for (size_t i = 0; i < out.Packets.size(); ++i)
        ASSERT_EQ(i % 10 == 9 ? 180u : 176u, out.Packets[i].Length) << i;
    rig.Leave(&wave);
}

TEST_F(TransferLoop, ExplicitStartFramesFollowOneAnotherByTheUrbLength)
{
    StartWave(48000, 5, 3);
    TestUsbStream* s = rig.Stream();
    // Three URBs of 5 frames from the named frame on.
    EXPECT_EQ(openFrame + 2 + 15, s->StartFrame());
    EmuAdvanceMs(20);
    EXPECT_EQ(openFrame + 2 + 5 * (ULONG)s->Sent(), s->StartFrame());
    rig.Leave(&wave);
}

TEST_F(TransferLoop, WithEveryContextBusyASendChangesNothing)
{
    StartWave(48000, 2, 10);
    TestUsbStream* s = rig.Stream();
    EXPECT_EQ(10u, s->BusyCount());
    const LONG sent = s->Sent();
    const ULONG frame = s->StartFrame();
    EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, s->SendOne());
    EXPECT_EQ(sent, s->Sent());
    EXPECT_EQ(10, s->Outstanding());
    EXPECT_EQ(frame, s->StartFrame());
    EXPECT_EQ(nullptr, s->TakeContext());
    rig.Leave(&wave);
}

TEST_F(TransferLoop, ContextsComeFromTheirSlotsBelowTheUrbCountOnly)
{
    StartWave(48000, 5, 3);
    TestUsbStream* s = rig.Stream();
    rig.Control()->StopClient(wave.Key(), nullptr);
    // Prepared, nothing in flight: slots 0 to 2 give their contexts, then none.
    PTRANSFERCONTEXT taken[3] = {};
    for (ULONG i = 0; i < 3; ++i)
    {
        taken[i] = s->TakeContext();
        ASSERT_NE(nullptr, taken[i]);
        EXPECT_EQ(i, taken[i]->Index);
        EXPECT_EQ(s, taken[i]->Stream);
        EXPECT_EQ(STATUS_NOT_SUPPORTED, taken[i]->Irp->IoStatus.Status);
    }
    EXPECT_EQ(nullptr, s->TakeContext());
    s->GiveContext(taken[1]);
    EXPECT_EQ(taken[1], s->TakeContext());
    for (PTRANSFERCONTEXT context : taken)
        s->GiveContext(context);
    EXPECT_EQ(0u, s->BusyCount());
    rig.Control()->CloseClient(wave.Key());
    rig.Control()->UnregisterClient(wave.Key());
}

TEST_F(TransferLoop, UrbsThatCompleteAfterTheStopReportTheirBytesAndAreNotResent)
{
    StartWave(48000, 5, 3);
    TestUsbStream* s = rig.Stream();
    EmuAdvanceMs(12);
    ASSERT_EQ(STATUS_SUCCESS, rig.Control()->StopClient(wave.Key(), nullptr));
    EXPECT_EQ((ULONG)USB_STREAM_PREPARED, s->State());
    EXPECT_EQ(0, s->Outstanding());
    const LONG sent = s->Sent();
    EXPECT_EQ((ULONGLONG)sent * 960, wave.BytesSeen());
    EXPECT_EQ(0u, wave.BytesSeen(true)); // the device took them all
    EmuAdvanceMs(20);
    EXPECT_EQ(sent, s->Sent());
    EXPECT_EQ(STATUS_UNSUCCESSFUL, s->StopStream());
    rig.Control()->CloseClient(wave.Key());
    rig.Control()->UnregisterClient(wave.Key());
}

TEST_F(TransferLoop, AFailingPacketSendsTheStreamThroughRecovery)
{
    // Packet 12 of the endpoint fails; the URB's other packets and its IRP succeed.
    rig.Device()->Streaming().InjectPacketError(kPlay, 12, USBD_STATUS_ISO_TD_ERROR);
    StartWave(48000, 5, 3);
    TestUsbStream* s = rig.Stream();
    EmuAdvanceMs(400);
    EXPECT_TRUE(OutputContains("Error_ErrorOccur, m_StreamState = 2"));
    EXPECT_TRUE(OutputContains("Error_ErrorOccur ntStatus = 0"));
    // Deselected and selected again; the client was told to resynchronise.
    EXPECT_EQ(std::vector<UCHAR>({1, 0, 1}), s->Selected);
    auto starts = wave.Starts();
    ASSERT_EQ(2u, starts.size());
    EXPECT_EQ(5u | STREAM_FORMAT_CHANGED, starts[1].First);
    EXPECT_EQ(3u, starts[1].Second);
    EXPECT_EQ((ULONG)USB_STREAM_RUNNING, s->State());
    EXPECT_EQ(USB_STREAM_NO_ERROR, s->ErrorState());
    EXPECT_EQ(3, s->Outstanding());
    EXPECT_EQ(0u, rig.Bus()->PortCycleCount());
    const size_t before = Out().Packets.size();
    EmuAdvanceMs(50);
    EXPECT_GE(Out().Packets.size(), before + 45);
    rig.Leave(&wave);
}

TEST_F(TransferLoop, AnAbortedPipeReturnsEveryUrbWithoutRecovery)
{
    StartWave(48000, 5, 3);
    TestUsbStream* s = rig.Stream();
    EmuAdvanceMs(7);
    const LONG sent = s->Sent();
    EXPECT_EQ(STATUS_SUCCESS, s->AbortPipe());
    EXPECT_EQ(0, s->Outstanding());
    EXPECT_EQ(0u, s->BusyCount());
    EXPECT_EQ(USB_STREAM_NO_ERROR, s->ErrorState());
    EXPECT_EQ(sent, s->Sent());
    EXPECT_EQ((ULONGLONG)sent * 960, wave.BytesSeen());
    // The three in flight were cancelled, not taken by the device.
    EXPECT_EQ(3u * 960, wave.BytesSeen(true));
    EmuAdvanceMs(200);
    EXPECT_FALSE(OutputContains("Error_ErrorOccur"));
    rig.Leave(&wave);
}

TEST_F(TransferLoop, AGoneDeviceEndsTheWorkerAndNothingIsSentAgain)
{
    StartWave(48000, 5, 3);
    TestUsbStream* s = rig.Stream();
    EmuAdvanceMs(10);
    rig.Bus()->Unplug();
    // The port check retries after 100 ms before it calls the device gone.
    EmuAdvanceMs(500);
    EXPECT_TRUE(s->DeviceGone());
    EXPECT_TRUE(OutputContains("Error_ErrorOccur ntStatus = c000009d"));
    EXPECT_EQ(0, s->Outstanding());
    const LONG sent = s->Sent();
    EXPECT_EQ(STATUS_SUCCESS, s->SendOne());
    EXPECT_EQ(sent, s->Sent());
    // The worker has ended.
    LARGE_INTEGER now = {};
    EXPECT_EQ(STATUS_SUCCESS,
              KeWaitForSingleObject(s->Worker(), Executive, KernelMode, FALSE, &now));
    rig.Leave(&wave);
    EXPECT_EQ((ULONG)USB_STREAM_CLOSED, s->State());
}

TEST_F(TransferLoop, ACompletionThatFindsTheResubmissionClaimedStillSends)
{
    StartWave(48000, 5, 3);
    TestUsbStream* s = rig.Stream();
    // Another completion holds the claim: this one's URB must not be lost.
    s->SetErrorState(USB_STREAM_RESUBMIT);
    const LONG sent = s->Sent();
    EmuAdvanceMs(50);
    // Every completion was followed by a new URB.
    EXPECT_EQ(3, s->Outstanding());
    EXPECT_EQ((ULONG)(s->Sent() - 3), rig.Bus()->CompletedIsochTransfers());
    EXPECT_GT(s->Sent(), sent + 5);
    // A pending recovery is the one state that holds resubmission back.
    s->SetErrorState(USB_STREAM_RECOVERING);
    EmuAdvanceMs(20);
    EXPECT_EQ(0, s->Outstanding());
    s->SetErrorState(USB_STREAM_NO_ERROR);
    rig.Leave(&wave);
}

TEST_F(TransferLoop, ARecoveryWhoseDeselectFailsCyclesThePortOnce)
{
    StartWave(48000, 5, 3);
    TestUsbStream* s = rig.Stream();
    EmuAdvanceMs(10);
    // From now on every URB fails at once below the adapter.
    rig.Adapter().Script().UrbStatus = STATUS_UNSUCCESSFUL;
    EmuAdvanceMs(400);
    EXPECT_TRUE(OutputContains("Error_ErrorOccur ntStatus = c0000001"));
    EXPECT_EQ(1u, rig.Adapter().Script().PortCycles);
    EXPECT_EQ(0, s->Outstanding());
    rig.Adapter().Script().UrbStatus = STATUS_PENDING;
    rig.Leave(&wave);
}

// A recovery whose port check cannot be built goes on as with a device that
// is there, and recovers; one whose deselect cannot be built fails without
// cycling the port, and the stream runs when its client starts it again.
TEST_F(TransferLoop, ARecoveryRequestThatCannotBeBuiltCyclesNoPort)
{
    rig.Device()->Streaming().InjectPacketError(kPlay, 12, USBD_STATUS_ISO_TD_ERROR);
    rig.Device()->Streaming().InjectPacketError(kPlay, 200, USBD_STATUS_ISO_TD_ERROR);
    StartWave(48000, 5, 3);
    TestUsbStream* s = rig.Stream();
    EmuIoInjectDriverIrpFailure(0, 1); // the first recovery's check
    EmuAdvanceMs(200);
    EXPECT_EQ(3, s->Outstanding());
    EmuIoInjectDriverIrpFailure(1, 1); // the second's deselect
    EmuAdvanceMs(400);
    EXPECT_EQ(0, s->Outstanding());
    EXPECT_EQ(std::vector<UCHAR>({1, 0, 1}), s->Selected);
    EXPECT_EQ(0u, rig.Adapter().Script().PortCycles);
    EXPECT_FALSE(s->DeviceGone());
    ULONG ms = 0;
    EXPECT_EQ(STATUS_SUCCESS, rig.Control()->StopClient(wave.Key(), nullptr));
    EXPECT_EQ(STATUS_SUCCESS, rig.Control()->StartClient(
                                  wave.Key(), s->QueryCurrentFrameNumber() + 2, &ms, nullptr));
    EmuAdvanceMs(50);
    EXPECT_EQ(3, s->Outstanding());
    rig.Leave(&wave);
}

TEST_F(TransferLoop, APreparationThatRunsOutOfContextsUndoesEverything)
{
    ASSERT_EQ(STATUS_SUCCESS, rig.Register(&wave, PcmFormat(2, 48000, 16), 5, 3));
    // The eighth block from the stream's lists fails: two contexts and a half.
    EmuPoolInjectFailure(USB_STREAM_URB_POOL_TAG, 7, 1);
    ULONG ms = 0, frame = 0;
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, rig.Control()->OpenClient(wave.Key(), &ms, &frame));
    EmuPoolClearInjection();
    EXPECT_EQ((ULONG)USB_STREAM_CLOSED, rig.Stream()->State());
    EXPECT_EQ(0u, EmuPoolOutstandingCount(USB_STREAM_URB_POOL_TAG));
    EXPECT_EQ(STATUS_SUCCESS, rig.Control()->OpenClient(wave.Key(), &ms, &frame));
    rig.Leave(&wave);
}

TEST_F(TransferLoop, TheBaseCompletionLeavesResubmissionToTheWorker)
{
    rig.Stream()->BaseCompletion = true;
    StartWave(48000, 5, 3);
    TestUsbStream* s = rig.Stream();
    EmuAdvanceMs(100);
    EXPECT_GE(Out().Packets.size(), 90u);
    EXPECT_EQ(3, s->Outstanding());
    rig.Leave(&wave);
}

TEST_F(TransferLoop, TheWorkersResubmitLoopEndsWhenNothingIsSent)
{
    rig.Stream()->BaseCompletion = true;
    StartWave(48000, 5, 3);
    TestUsbStream* s = rig.Stream();
    EmuAdvanceMs(7);
    // Gone as the port check would say: sends succeed without sending, and
    // the worker woken by the next completion must not spin on them.
    s->SetDeviceGone();
    const LONG sent = s->Sent();
    EmuAdvanceMs(30);
    EXPECT_EQ(sent, s->Sent());
    EXPECT_EQ(0, s->Outstanding());
    rig.Leave(&wave);
}

TEST_F(TransferLoop, FeedbackAThousandHertzFastFitsEveryUrbInItsBuffer)
{
    StartWave(44100, 10, 2);
    TestUsbStream* s = rig.Stream();
    // Packets of 46 frames at most: 10 ms of them fit the 46-frame buffer.
    EXPECT_EQ(46u * 4 * 10, s->BufferBytes());
    s->Pacing().Rate = 45100;
    rig.Device()->Streaming().ClearRecords();
    EmuAdvanceMs(100);
    const SimOutRecord& out = Out();
    ASSERT_GE(out.Packets.size(), 80u);
    ULONG longest = 0;
    for (const SimPacketRecord& p : out.Packets)
        longest = p.Length > longest ? p.Length : longest;
    EXPECT_EQ(46u * 4, longest);
    // A rate past the window is held at its edge.
    s->Pacing().Rate = 60000;
    rig.Device()->Streaming().ClearRecords();
    EmuAdvanceMs(100);
    for (const SimPacketRecord& p : Out().Packets)
        ASSERT_LE(p.Length, 46u * 4);
    rig.Leave(&wave);
}

TEST_F(TransferLoop, TenMinutesOfStreamingLoseNoUrb)
{
    StartWave(44100, 5, 3);
    TestUsbStream* s = rig.Stream();
    for (int second = 0; second < 600; second += 10)
    {
        EmuAdvanceMs(10000);
        rig.Device()->Streaming().ClearRecords();
    }
    EXPECT_EQ(3, s->Outstanding());
    EXPECT_EQ((ULONG)(s->Sent() - 3), rig.Bus()->CompletedIsochTransfers());
    // One packet in every frame since the start, none missing.
    const ULONG packets = rig.Device()->Streaming().PacketCount(kPlay);
    EXPECT_EQ(rig.Bus()->CurrentFrame() - (openFrame + 2), packets);
    EXPECT_GE(packets, 600000u - 10);
    // 44.1 frames per packet on average: one extra sample every ten packets.
    EXPECT_EQ((LONG)((ULONG)s->Sent() * 5 / 10), s->Pacing().ExtraSamples);
    EXPECT_FALSE(OutputContains("Error_ErrorOccur"));
    rig.Leave(&wave);
}
} // namespace
