// The emulated USB stack end to end: configuration, control requests, the
// frame clock's isochronous scheduling, pipe requests, port requests, the bus
// interface, selective suspend and surprise removal, against the simulated
// reference devices.
#include "tests/platform/usb/usb_test_util.h"

#include <cmath>

#include "platform/io/io_emu.h"
#include "platform/kernel/emu.h"
#include "sim/devices/sim_usb_port.h"

namespace
{
// Packet lengths of a 44.1 kHz stereo 16-bit stream: nine packets of 44
// frames, then one of 45.
std::vector<ULONG> Paced44k(ULONG packets)
{
    std::vector<ULONG> l;
    for (ULONG i = 0; i < packets; ++i)
        l.push_back(i % 10 == 9 ? 180 : 176);
    return l;
}
} // namespace

TEST_F(UsbBusTest, ConfigurationReadAndSelectedThroughTheStack)
{
    Plug(SimReference::Uac2HighSpeed);
    const SimReferenceConfig& r = SimReferenceDescriptors(SimReference::Uac2HighSpeed);
    // A descriptor request pends and completes from the frame DPC.
    URB urb{};
    std::vector<UCHAR> device(18);
    UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), 1, 0, 0,
                                 device.data(), nullptr, 18, nullptr);
    {
        UsbCall call(Bus());
        ULONG sent = Bus()->CurrentFrame();
        EXPECT_EQ(call.Submit(&urb), STATUS_PENDING);
        EXPECT_FALSE(call.Completed);
        EXPECT_EQ(call.Wait(), STATUS_SUCCESS);
        EXPECT_EQ(call.Irql, DISPATCH_LEVEL);
        EXPECT_EQ(call.CompletedAtFrame, sent + 1);
    }
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(device, r.Device);
    Configure();
    EXPECT_EQ(m_Config, r.Configuration);
    ASSERT_EQ(m_Interfaces.size(), 3u);
    auto* ac = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(m_Interfaces[0].data());
    EXPECT_EQ(ac->Class, 1);
    EXPECT_EQ(ac->SubClass, 1);
    EXPECT_EQ(ac->Protocol, 0x20);
    ASSERT_EQ(ac->NumberOfPipes, 1u);
    EXPECT_EQ(ac->Pipes[0].EndpointAddress, 0x83);
    EXPECT_EQ(ac->Pipes[0].PipeType, UsbdPipeTypeInterrupt);
    EXPECT_EQ(ac->Pipes[0].MaximumPacketSize, 6);
    EXPECT_NE(ac->Pipes[0].PipeHandle, nullptr);
    auto* as = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(m_Interfaces[1].data());
    EXPECT_EQ(as->NumberOfPipes, 0u);
    EXPECT_EQ(Dev().Configuration(), 1);

    std::vector<USBD_PIPE_INFORMATION> pipes = Select(1, 1, 2);
    ASSERT_EQ(pipes.size(), 2u);
    EXPECT_EQ(pipes[0].EndpointAddress, 0x01);
    EXPECT_EQ(pipes[0].PipeType, UsbdPipeTypeIsochronous);
    EXPECT_EQ(pipes[0].MaximumPacketSize, 100);
    EXPECT_EQ(pipes[0].Interval, 1);
    EXPECT_EQ(pipes[1].EndpointAddress, 0x81);
    EXPECT_EQ(pipes[1].MaximumPacketSize, 4);
    EXPECT_EQ(Dev().AlternateSetting(1), 1);
    // The select-interface record must have room for every pipe; the
    // configuration handle must be the one given back.
    Select(1, 2, 1, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Dev().AlternateSetting(1), 1);
    USBD_CONFIGURATION_HANDLE kept = m_ConfigHandle;
    m_ConfigHandle = &urb;
    Select(1, 2, 2, STATUS_INVALID_PARAMETER);
    m_ConfigHandle = kept;
    Select(1, 7, 2, STATUS_INVALID_PARAMETER);
    std::vector<std::string> log = Dev().LogText();
    // Descriptor reads, SET_CONFIGURATION, SET_INTERFACE; nothing refused
    // reaches the device.
    ASSERT_EQ(log.size(), 5u);
    EXPECT_EQ(log[1], "80 06 0200 0000 0009 > 09 02 3A 01 03 01 00 C0 00");
    EXPECT_EQ(log[3], "00 09 0001 0000 0000");
    EXPECT_EQ(log[4], "01 0B 0001 0001 0000");
}

TEST_F(UsbBusTest, ControlRequestsChangeDeviceState)
{
    Plug(SimReference::Uac2HighSpeed);
    Configure();
    Dev().ClearLog();
    std::vector<UCHAR> rate = {0x00, 0x77, 0x01, 0x00}; // 96000 Hz
    EXPECT_EQ(ClassRequest(URB_FUNCTION_CLASS_INTERFACE, false, 0x01, 0x0100, 0x1000, &rate),
              STATUS_SUCCESS);
    EXPECT_EQ(Dev().Audio().ClockRate(SimRef3::Clock), 96000u);
    std::vector<UCHAR> read(4);
    EXPECT_EQ(ClassRequest(URB_FUNCTION_CLASS_INTERFACE, true, 0x01, 0x0100, 0x1000, &read),
              STATUS_SUCCESS);
    EXPECT_EQ(read, rate);
    // A refused request: stall, URB status STALL_PID, nothing moved.
    std::vector<UCHAR> bad = {0x39, 0x30, 0x00, 0x00};
    USBD_STATUS usbd = 0;
    EXPECT_EQ(ClassRequest(URB_FUNCTION_CLASS_INTERFACE, false, 0x01, 0x0100, 0x1000, &bad, &usbd),
              STATUS_UNSUCCESSFUL);
    EXPECT_EQ(usbd, USBD_STATUS_STALL_PID);
    EXPECT_TRUE(bad.empty());
    // A short answer reports the bytes that came.
    std::vector<UCHAR> valid(5);
    EXPECT_EQ(ClassRequest(URB_FUNCTION_CLASS_INTERFACE, true, 0x01, 0x0200, 0x0001, &valid),
              STATUS_SUCCESS);
    EXPECT_EQ(valid, (std::vector<UCHAR>{4, 0x07, 0, 0, 0}));
    Dev().Audio().SetValidAltSettings(1, 1, 0x02);
    valid.assign(5, 0);
    EXPECT_EQ(ClassRequest(URB_FUNCTION_CLASS_INTERFACE, true, 0x01, 0x0200, 0x0001, &valid),
              STATUS_SUCCESS);
    EXPECT_EQ(valid, (std::vector<UCHAR>{1, 0x02}));
    EXPECT_EQ(Dev().LogText(), (std::vector<std::string>{"21 01 0100 1000 0004 < 00 77 01 00",
                                                         "A1 01 0100 1000 0004 > 00 77 01 00",
                                                         "21 01 0100 1000 0004 < 39 30 00 00 STALL",
                                                         "A1 01 0200 0001 0005 > 04 07 00 00 00",
                                                         "A1 01 0200 0001 0005 > 01 02"}));
    // A URB the stack does not know fails at once.
    URB odd{};
    odd.UrbHeader.Length = sizeof(URB);
    odd.UrbHeader.Function = 0x0016;
    UsbCall call(Bus());
    EXPECT_EQ(call.Submit(&odd), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(odd.UrbHeader.Status, USBD_STATUS_INVALID_URB_FUNCTION);
    // A class URB shorter than its layout is refused.
    URB shortUrb{};
    std::vector<UCHAR> b(4);
    UsbBuildVendorRequest(&shortUrb, URB_FUNCTION_CLASS_INTERFACE, 100, 0, 0, 1, 0x0100, 0x1000,
                          b.data(), nullptr, 4, nullptr);
    EXPECT_EQ(call.Submit(&shortUrb), STATUS_INVALID_PARAMETER);
}

TEST_F(UsbBusTest, IsochronousStreamIsPacedByTheFrameClock)
{
    Plug(SimReference::Uac1SpeakerMic);
    Configure();
    std::vector<USBD_PIPE_INFORMATION> pipes = Select(SimRef1::PlayInterface, 1, 1);
    ASSERT_EQ(pipes.size(), 1u);
    std::vector<UCHAR> rate = {0x44, 0xAC, 0x00};
    ASSERT_EQ(ClassRequest(URB_FUNCTION_CLASS_ENDPOINT, false, 0x01, 0x0100, 0x01, &rate),
              STATUS_SUCCESS);
    EXPECT_EQ(Dev().Audio().EndpointRate(0x01), 44100u);

    std::vector<std::unique_ptr<IsoUrb>> urbs;
    std::vector<std::unique_ptr<UsbCall>> calls;
    ULONG first = Bus()->CurrentFrame();
    UCHAR value = 0;
    for (int i = 0; i < 3; ++i)
    {
        urbs.push_back(std::make_unique<IsoUrb>(pipes[0].PipeHandle, false, Paced44k(10),
                                                USBD_START_ISO_TRANSFER_ASAP));
        for (UCHAR& b : urbs.back()->Data)
            b = value++;
        calls.push_back(std::make_unique<UsbCall>(Bus()));
        EXPECT_EQ(calls.back()->Submit(urbs.back()->Urb()), STATUS_PENDING);
        // ASAP: the first one frame ahead, the others right after their predecessor.
        EXPECT_EQ(urbs.back()->Iso().StartFrame, first + 1 + 10 * i);
    }
    for (int i = 0; i < 3; ++i)
    {
        ASSERT_EQ(calls[i]->Wait(), STATUS_SUCCESS);
        // Each completes when its last frame has been on the bus.
        EXPECT_EQ(calls[i]->CompletedAtFrame, first + 11 + 10 * i);
        EXPECT_EQ(urbs[i]->Iso().Hdr.Status, USBD_STATUS_SUCCESS);
        EXPECT_EQ(urbs[i]->Iso().ErrorCount, 0u);
        for (ULONG p = 0; p < 10; ++p)
            EXPECT_EQ(urbs[i]->Iso().IsoPacket[p].Status, USBD_STATUS_SUCCESS);
    }
    const SimOutRecord& rec = Dev().Streaming().OutRecord(SimRef1::PlayEndpoint);
    ASSERT_EQ(rec.Packets.size(), 30u);
    size_t offset = 0;
    for (ULONG i = 0; i < 30; ++i)
    {
        EXPECT_EQ(rec.Packets[i].Frame, first + 1 + i);
        EXPECT_EQ(rec.Packets[i].Length, i % 10 == 9 ? 180u : 176u);
        offset += rec.Packets[i].Length;
    }
    ASSERT_EQ(rec.Data.size(), offset);
    for (size_t i = 0; i < rec.Data.size(); ++i)
        ASSERT_EQ(rec.Data[i], (UCHAR)i);
    EXPECT_EQ(Bus()->CompletedIsochTransfers(), 3u);
}

TEST_F(UsbBusTest, HighSpeedPacketsGoOutPerMicroframe)
{
    Plug(SimReference::Uac2HighSpeed);
    Configure();
    std::vector<USBD_PIPE_INFORMATION> pipes = Select(SimRef3::PlayInterface, 2, 2);
    ASSERT_EQ(pipes.size(), 2u);
    std::vector<UCHAR> rate = {0x80, 0xBB, 0x00, 0x00};
    ASSERT_EQ(ClassRequest(URB_FUNCTION_CLASS_INTERFACE, false, 0x01, 0x0100, 0x1000, &rate),
              STATUS_SUCCESS);
    // 48 kHz, two 4-byte channels: six frames, 48 bytes, per microframe.
    IsoUrb urb(pipes[0].PipeHandle, false, std::vector<ULONG>(16, 48),
               USBD_START_ISO_TRANSFER_ASAP);
    UsbCall call(Bus());
    ULONG start = Bus()->CurrentFrame() + 1;
    ASSERT_EQ(call.Submit(urb.Urb()), STATUS_PENDING);
    ASSERT_EQ(call.Wait(), STATUS_SUCCESS);
    const SimOutRecord& rec = Dev().Streaming().OutRecord(SimRef3::PlayEndpoint);
    ASSERT_EQ(rec.Packets.size(), 16u);
    for (ULONG i = 0; i < 16; ++i)
    {
        EXPECT_EQ(rec.Packets[i].Frame, start + i / 8);
        EXPECT_EQ(rec.Packets[i].Microframe, i % 8);
        EXPECT_EQ(rec.Packets[i].Length, 48u);
    }
    // Packets must fill whole frames; an OUT packet may not exceed the endpoint.
    IsoUrb partial(pipes[0].PipeHandle, false, std::vector<ULONG>(12, 48),
                   USBD_START_ISO_TRANSFER_ASAP);
    EXPECT_EQ(call.Submit(partial.Urb()), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(partial.Iso().Hdr.Status, USBD_STATUS_INVALID_PARAMETER);
    IsoUrb big(pipes[0].PipeHandle, false, std::vector<ULONG>(8, 204),
               USBD_START_ISO_TRANSFER_ASAP);
    EXPECT_EQ(call.Submit(big.Urb()), STATUS_INVALID_PARAMETER);
    // The direction flag must agree with the endpoint.
    IsoUrb wrongWay(pipes[0].PipeHandle, true, std::vector<ULONG>(8, 48),
                    USBD_START_ISO_TRANSFER_ASAP);
    EXPECT_EQ(call.Submit(wrongWay.Urb()), STATUS_INVALID_PARAMETER);
}

TEST_F(UsbBusTest, LateStartFrameFails)
{
    Plug(SimReference::Uac1SpeakerMic);
    Configure();
    USBD_PIPE_HANDLE pipe = Select(SimRef1::PlayInterface, 1, 1)[0].PipeHandle;
    EmuAdvanceMs(20);
    ULONG now = Bus()->CurrentFrame();
    UsbCall call(Bus());
    for (ULONG start : {now, now - 5, now + USBD_ISO_START_FRAME_RANGE + 1})
    {
        IsoUrb late(pipe, false, std::vector<ULONG>(4, 192), 0, start);
        // Refused at once, never pended.
        EXPECT_EQ(call.Submit(late.Urb()), STATUS_INVALID_PARAMETER) << start;
        EXPECT_TRUE(call.Completed);
        EXPECT_EQ(late.Iso().Hdr.Status, USBD_STATUS_BAD_START_FRAME);
        EXPECT_EQ(late.Iso().IsoPacket[3].Status, USBD_STATUS_BAD_START_FRAME);
    }
    EXPECT_EQ(Dev().Streaming().OutRecord(SimRef1::PlayEndpoint).Packets.size(), 0u);
    // Two frames ahead is in time; it runs exactly there.
    IsoUrb inTime(pipe, false, std::vector<ULONG>(4, 192), 0, now + 2);
    EXPECT_EQ(call.Submit(inTime.Urb()), STATUS_PENDING);
    // A second transfer may not start inside the frames already scheduled.
    UsbCall overlap(Bus());
    IsoUrb clash(pipe, false, std::vector<ULONG>(4, 192), 0, now + 4);
    EXPECT_EQ(overlap.Submit(clash.Urb()), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(clash.Iso().Hdr.Status, USBD_STATUS_BAD_START_FRAME);
    ASSERT_EQ(call.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(inTime.Iso().StartFrame, now + 2);
    const SimOutRecord& rec = Dev().Streaming().OutRecord(SimRef1::PlayEndpoint);
    ASSERT_EQ(rec.Packets.size(), 4u);
    EXPECT_EQ(rec.Packets[0].Frame, now + 2);
    EXPECT_EQ(rec.Packets[3].Frame, now + 5);
}

TEST_F(UsbBusTest, AbortCancelsWhatIsPendingThenCompletes)
{
    Plug(SimReference::Uac1SpeakerMic);
    Configure();
    USBD_PIPE_HANDLE pipe = Select(SimRef1::PlayInterface, 1, 1)[0].PipeHandle;
    std::vector<std::unique_ptr<IsoUrb>> urbs;
    std::vector<std::unique_ptr<UsbCall>> calls;
    ULONG first = Bus()->CurrentFrame() + 1;
    for (int i = 0; i < 2; ++i)
    {
        urbs.push_back(std::make_unique<IsoUrb>(pipe, false, std::vector<ULONG>(10, 192),
                                                USBD_START_ISO_TRANSFER_ASAP));
        calls.push_back(std::make_unique<UsbCall>(Bus()));
        ASSERT_EQ(calls.back()->Submit(urbs.back()->Urb()), STATUS_PENDING);
    }
    EmuAdvanceMs(3);
    URB abort{};
    UsbBuildPipeRequest(&abort, URB_FUNCTION_ABORT_PIPE, pipe);
    UsbCall aborter(Bus());
    ASSERT_EQ(aborter.Submit(&abort), STATUS_PENDING);
    ASSERT_EQ(aborter.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(abort.UrbHeader.Status, USBD_STATUS_SUCCESS);
    for (int i = 0; i < 2; ++i)
    {
        ASSERT_TRUE(calls[i]->Completed);
        EXPECT_EQ(calls[i]->Status, STATUS_CANCELLED);
        EXPECT_EQ(urbs[i]->Iso().Hdr.Status, USBD_STATUS_CANCELED);
        EXPECT_LT(calls[i]->Sequence, aborter.Sequence);
    }
    // Only the frames up to the one in which the abort ran reached the
    // device: two while time advanced, the third in the abort's frame.
    const SimOutRecord& rec = Dev().Streaming().OutRecord(SimRef1::PlayEndpoint);
    ASSERT_EQ(rec.Packets.size(), 3u);
    EXPECT_EQ(rec.Packets[2].Frame, first + 2);
    EXPECT_EQ(aborter.CompletedAtFrame, first + 3);
    // After the abort an ASAP transfer starts afresh, one frame ahead.
    IsoUrb again(pipe, false, std::vector<ULONG>(2, 192), USBD_START_ISO_TRANSFER_ASAP);
    UsbCall call(Bus());
    ULONG now = Bus()->CurrentFrame();
    ASSERT_EQ(call.Submit(again.Urb()), STATUS_PENDING);
    EXPECT_EQ(again.Iso().StartFrame, now + 1);
    EXPECT_EQ(call.Wait(), STATUS_SUCCESS);
}

TEST_F(UsbBusTest, ResetPipeClearsAHalt)
{
    Plug(SimReference::Uac1SpeakerMic);
    Configure();
    auto* ac = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(m_Interfaces[0].data());
    USBD_PIPE_HANDLE status = ac->Pipes[0].PipeHandle;
    UCHAR message[2] = {};
    URB read{};
    UsbBuildInterruptOrBulkTransferRequest(
        &read, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), status, message, nullptr, 2,
        USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, nullptr);
    // The endpoint halts (the device stalls): the read fails and the pipe is halted.
    URB halt{};
    UsbBuildFeatureRequest(&halt, URB_FUNCTION_SET_FEATURE_TO_ENDPOINT, 0, 0x83, nullptr);
    UsbCall call(Bus());
    ASSERT_EQ(call.SubmitAndWait(&halt), STATUS_SUCCESS);
    EXPECT_EQ(call.SubmitAndWait(&read), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(read.UrbHeader.Status, USBD_STATUS_STALL_PID);
    read.UrbBulkOrInterruptTransfer.TransferBufferLength = 2;
    EXPECT_EQ(call.Submit(&read), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(read.UrbHeader.Status, USBD_STATUS_ENDPOINT_HALTED);
    // Reset: the stack clears the halt on the device too.
    Dev().ClearLog();
    URB reset{};
    UsbBuildPipeRequest(&reset, URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, status);
    ASSERT_EQ(call.SubmitAndWait(&reset), STATUS_SUCCESS);
    EXPECT_EQ(Dev().LogText(), (std::vector<std::string>{"02 01 0000 0083 0000"}));
    EXPECT_FALSE(Dev().EndpointHalted(0x83));
    // A read now waits (NAK) until the device has a status message.
    read.UrbBulkOrInterruptTransfer.TransferBufferLength = 2;
    ASSERT_EQ(call.Submit(&read), STATUS_PENDING);
    EmuAdvanceMs(5);
    EXPECT_FALSE(call.Completed);
    // A reset with a transfer still on the pipe is refused.
    UsbCall resetter(Bus());
    ASSERT_EQ(resetter.SubmitAndWait(&reset), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(reset.UrbHeader.Status, USBD_STATUS_ERROR_BUSY);
    ASSERT_TRUE(Dev().Streaming().PostInterrupt({0x00, SimRef1::FeaturePlay}));
    ASSERT_EQ(call.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(read.UrbBulkOrInterruptTransfer.TransferBufferLength, 2u);
    EXPECT_EQ(message[1], SimRef1::FeaturePlay);
}

TEST_F(UsbBusTest, FeedbackFollowsTheDriftedDeviceClock)
{
    Plug(SimReference::Uac2HighSpeed);
    Configure();
    std::vector<USBD_PIPE_INFORMATION> pipes = Select(SimRef3::PlayInterface, 1, 2);
    std::vector<UCHAR> rate = {0x80, 0xBB, 0x00, 0x00};
    ASSERT_EQ(ClassRequest(URB_FUNCTION_CLASS_INTERFACE, false, 0x01, 0x0100, 0x1000, &rate),
              STATUS_SUCCESS);
    UsbCall call(Bus());
    for (LONG ppm : {0, 200, -300})
    {
        Dev().Streaming().SetClockDriftPpm(ppm);
        // One 4-byte packet per millisecond (the endpoint's interval is 8 microframes).
        IsoUrb fb(pipes[1].PipeHandle, true, std::vector<ULONG>(10, 4),
                  USBD_START_ISO_TRANSFER_ASAP);
        ASSERT_EQ(call.Submit(fb.Urb()), STATUS_PENDING);
        ASSERT_EQ(call.Wait(), STATUS_SUCCESS);
        ULONG expected = (ULONG)llround(48000.0 * (1 + ppm * 1e-6) / 8000.0 * 65536.0);
        EXPECT_EQ(fb.Iso().TransferBufferLength, 40u);
        for (ULONG p = 0; p < 10; ++p)
        {
            ASSERT_EQ(fb.Iso().IsoPacket[p].Length, 4u);
            const UCHAR* v = &fb.Data[4 * p];
            EXPECT_EQ((ULONG)(v[0] | v[1] << 8 | v[2] << 16 | (ULONG)v[3] << 24), expected) << ppm;
        }
    }
}

TEST_F(UsbBusTest, PacketErrorsAndCaptureShapes)
{
    Plug(SimReference::Uac1SpeakerMic);
    Configure();
    USBD_PIPE_HANDLE pipe = Select(SimRef1::RecInterface, 1, 1)[0].PipeHandle;
    ULONG base = Dev().Streaming().PacketCount(SimRef1::RecEndpoint);
    Dev().Streaming().InjectPacketError(SimRef1::RecEndpoint, base + 2, USBD_STATUS_CRC);
    Dev().Streaming().InjectInPacketShape(SimRef1::RecEndpoint, base + 4, SimPacketShape::Empty);
    IsoUrb urb(pipe, true, std::vector<ULONG>(6, 98), USBD_START_ISO_TRANSFER_ASAP);
    UsbCall call(Bus());
    ASSERT_EQ(call.Submit(urb.Urb()), STATUS_PENDING);
    // One bad packet does not fail the transfer; it is counted and marked.
    ASSERT_EQ(call.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(urb.Iso().Hdr.Status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(urb.Iso().ErrorCount, 1u);
    EXPECT_EQ(urb.Iso().IsoPacket[2].Status, USBD_STATUS_CRC);
    EXPECT_EQ(urb.Iso().IsoPacket[2].Length, 0u);
    EXPECT_EQ(urb.Iso().IsoPacket[4].Status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(urb.Iso().IsoPacket[4].Length, 0u);
    EXPECT_EQ(urb.Iso().IsoPacket[0].Length, 96u); // 48 mono 16-bit frames
    EXPECT_EQ(urb.Iso().TransferBufferLength, 4u * 96);
    // Every packet failing fails the transfer.
    base = Dev().Streaming().PacketCount(SimRef1::RecEndpoint);
    Dev().Streaming().InjectPacketError(SimRef1::RecEndpoint, base, USBD_STATUS_XACT_ERROR, 6);
    IsoUrb bad(pipe, true, std::vector<ULONG>(6, 98), USBD_START_ISO_TRANSFER_ASAP);
    ASSERT_EQ(call.Submit(bad.Urb()), STATUS_PENDING);
    EXPECT_EQ(call.Wait(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(bad.Iso().Hdr.Status, USBD_STATUS_ISOCH_REQUEST_FAILED);
    EXPECT_EQ(bad.Iso().ErrorCount, 6u);
}

TEST_F(UsbBusTest, ControlFaultsAreSeenByTheDriver)
{
    Plug(SimReference::Uac1SpeakerMic);
    Configure();
    const USHORT fu = SimRef1::FeaturePlay << 8;
    SimRequestMatch volume{0xA1, 0x81, 0x0201, fu};
    // Short read
    Dev().InjectControlFault(volume, SimFaultKind::ShortRead, 1, 0, 1);
    std::vector<UCHAR> data(2);
    EXPECT_EQ(ClassRequest(URB_FUNCTION_CLASS_INTERFACE, true, 0x81, 0x0201, fu, &data),
              STATUS_SUCCESS);
    EXPECT_EQ(data.size(), 1u);
    // A request the device never answers pends until it is cancelled.
    Dev().InjectControlFault(volume, SimFaultKind::NoResponse);
    URB urb{};
    UCHAR buffer[2];
    UsbBuildVendorRequest(
        &urb, URB_FUNCTION_CLASS_INTERFACE, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
        USBD_TRANSFER_DIRECTION_IN, 0, 0x81, 0x0201, fu, buffer, nullptr, 2, nullptr);
    UsbCall hung(Bus());
    ASSERT_EQ(hung.Submit(&urb), STATUS_PENDING);
    EmuAdvanceMs(50);
    EXPECT_FALSE(hung.Completed);
    EXPECT_EQ(Bus()->PendingRequestCount(), 1u);
    EXPECT_TRUE(hung.Cancel());
    EXPECT_FALSE(hung.Completed); // the frame clock completes it
    EXPECT_EQ(hung.Wait(), STATUS_CANCELLED);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_CANCELED);
    EXPECT_EQ(Bus()->PendingRequestCount(), 0u);
    // Unplugged while answering: this and everything after fail as gone.
    Dev().InjectControlFault(volume, SimFaultKind::Unplug);
    USBD_STATUS usbd = 0;
    data.assign(2, 0);
    EXPECT_EQ(ClassRequest(URB_FUNCTION_CLASS_INTERFACE, true, 0x81, 0x0201, fu, &data, &usbd),
              STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(usbd, USBD_STATUS_DEVICE_GONE);
    EXPECT_FALSE(Bus()->IsPresent());
    EXPECT_EQ(EmuArmedTimerCount(), 0u) << "the frame clock stops with the device";
    std::vector<UCHAR> d;
    EXPECT_EQ(GetDescriptor(1, 0, 0, &d, 18), STATUS_NO_SUCH_DEVICE);
}

TEST_F(UsbBusTest, PortStatusResetCycleAndUnplug)
{
    Plug(SimReference::Uac1SpeakerMic);
    Configure();
    USBD_PIPE_HANDLE pipe = Select(SimRef1::PlayInterface, 1, 1)[0].PipeHandle;
    ULONG port = 0;
    UsbCall call(Bus());
    ASSERT_EQ(call.Send(IOCTL_INTERNAL_USB_GET_PORT_STATUS, &port), STATUS_PENDING);
    ASSERT_EQ(call.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(port, (ULONG)(USBD_PORT_ENABLED | USBD_PORT_CONNECTED));
    Bus()->InjectPortStatusFailure(STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(call.Send(IOCTL_INTERNAL_USB_GET_PORT_STATUS, &port), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(call.Send(IOCTL_INTERNAL_USB_GET_PORT_STATUS, nullptr), STATUS_INVALID_PARAMETER);
    Bus()->InjectPortStatusBits(0);
    ASSERT_EQ(call.Send(IOCTL_INTERNAL_USB_GET_PORT_STATUS, &port), STATUS_PENDING);
    ASSERT_EQ(call.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(port, 0u);

    // A port reset cancels transfers and puts the configuration back.
    IsoUrb urb(pipe, false, std::vector<ULONG>(10, 192), USBD_START_ISO_TRANSFER_ASAP);
    UsbCall stream(Bus());
    ASSERT_EQ(stream.Submit(urb.Urb()), STATUS_PENDING);
    Dev().ClearLog();
    ASSERT_EQ(call.Send(IOCTL_INTERNAL_USB_RESET_PORT, nullptr), STATUS_PENDING);
    ASSERT_EQ(call.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(stream.Status, STATUS_CANCELLED);
    EXPECT_EQ(Bus()->PortResetCount(), 1u);
    EXPECT_EQ(Dev().LogText(),
              (std::vector<std::string>{"00 09 0001 0000 0000", "01 0B 0001 0001 0000"}));
    EXPECT_EQ(Dev().AlternateSetting(1), 1);

    // Unplugged at a chosen frame in the middle of a stream.
    IsoUrb a(pipe, false, std::vector<ULONG>(10, 192), USBD_START_ISO_TRANSFER_ASAP);
    IsoUrb b(pipe, false, std::vector<ULONG>(10, 192), USBD_START_ISO_TRANSFER_ASAP);
    UsbCall second(Bus());
    ASSERT_EQ(stream.Submit(a.Urb()), STATUS_PENDING);
    ASSERT_EQ(second.Submit(b.Urb()), STATUS_PENDING);
    ULONG gone = Bus()->CurrentFrame() + 4;
    Bus()->UnplugAtFrame(gone);
    ASSERT_EQ(second.Wait(), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(stream.Status, STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(a.Iso().Hdr.Status, USBD_STATUS_DEVICE_GONE);
    EXPECT_EQ(b.Iso().Hdr.Status, USBD_STATUS_DEVICE_GONE);
    EXPECT_EQ(second.CompletedAtFrame, gone + 1);
    const SimOutRecord& rec = Dev().Streaming().OutRecord(SimRef1::PlayEndpoint);
    EXPECT_EQ(rec.Packets.back().Frame, gone - 1);
    EXPECT_EQ(EmuArmedTimerCount(), 0u);
    IsoUrb c(pipe, false, std::vector<ULONG>(10, 192), USBD_START_ISO_TRANSFER_ASAP);
    EXPECT_EQ(stream.Submit(c.Urb()), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(c.Iso().Hdr.Status, USBD_STATUS_DEVICE_GONE);
    EXPECT_EQ(call.Send(IOCTL_INTERNAL_USB_GET_PORT_STATUS, &port), STATUS_NO_SUCH_DEVICE);
}

TEST_F(UsbBusTest, CyclePortDropsTheDevice)
{
    Plug(SimReference::Uac2Spdif);
    Configure();
    UsbCall call(Bus());
    ASSERT_EQ(call.Send(IOCTL_INTERNAL_USB_CYCLE_PORT, nullptr), STATUS_PENDING);
    ASSERT_EQ(call.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(Bus()->PortCycleCount(), 1u);
    EXPECT_FALSE(Bus()->IsPresent());
    std::vector<UCHAR> d;
    EXPECT_EQ(GetDescriptor(1, 0, 0, &d, 18), STATUS_NO_SUCH_DEVICE);
}

TEST_F(UsbBusTest, BusInterfaceGivesFrameAndSpeed)
{
    Plug(SimReference::Uac2HighSpeed);
    USB_BUS_INTERFACE_USBDI_V1 bi{};
    ASSERT_EQ(EmuPnpQueryInterface(Bus()->PhysicalDeviceObject(), USB_BUS_INTERFACE_USBDI_GUID, 72,
                                   1, reinterpret_cast<PINTERFACE>(&bi)),
              STATUS_SUCCESS);
    EXPECT_EQ(bi.Size, 72);
    EXPECT_EQ(bi.Version, 1);
    EXPECT_EQ(Bus()->BusInterfaceReferences(), 1);
    ULONG frame = 0;
    ASSERT_EQ(bi.QueryBusTime(bi.BusContext, &frame), STATUS_SUCCESS);
    EXPECT_EQ(frame, Bus()->CurrentFrame());
    EmuAdvanceMs(5);
    ULONG later = 0;
    bi.QueryBusTime(bi.BusContext, &later);
    EXPECT_EQ(later, frame + 5);
    EXPECT_TRUE(bi.IsDeviceHighSpeed(bi.BusContext));
    bi.InterfaceDereference(bi.BusContext);
    EXPECT_EQ(Bus()->BusInterfaceReferences(), 0);
    // Version 1 asked with a version-0 size is refused.
    USB_BUS_INTERFACE_USBDI_V1 small{};
    EXPECT_EQ(EmuPnpQueryInterface(Bus()->PhysicalDeviceObject(), USB_BUS_INTERFACE_USBDI_GUID, 64,
                                   1, reinterpret_cast<PINTERFACE>(&small)),
              STATUS_INVALID_PARAMETER);
    // Other interfaces are not this bus's.
    static const GUID other = {1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
    EXPECT_EQ(EmuPnpQueryInterface(Bus()->PhysicalDeviceObject(), other, 72, 1,
                                   reinterpret_cast<PINTERFACE>(&small)),
              STATUS_NOT_SUPPORTED);
}

namespace
{
struct IdleState
{
    int Calls = 0;
    KIRQL Irql = HIGH_LEVEL;
};
void OnIdle(PVOID context)
{
    auto* s = static_cast<IdleState*>(context);
    ++s->Calls;
    s->Irql = KeGetCurrentIrql();
}
} // namespace

TEST_F(UsbBusTest, IdleNotificationPendsAndCallsBack)
{
    Plug(SimReference::Uac1SpeakerMic);
    IdleState state;
    USB_IDLE_CALLBACK_INFO info = {OnIdle, &state};
    UsbCall idle(Bus());
    ASSERT_EQ(idle.Send(IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION, nullptr, &info, sizeof(info)),
              STATUS_PENDING);
    EmuAdvanceMs(10);
    EXPECT_EQ(state.Calls, 1);
    EXPECT_EQ(state.Irql, PASSIVE_LEVEL);
    EXPECT_TRUE(Bus()->IdleRequestPending());
    EXPECT_FALSE(idle.Completed);
    EXPECT_FALSE(Bus()->RunIdleCallback()) << "the callback runs once per request";
    UsbCall second(Bus());
    EXPECT_EQ(
        second.Send(IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION, nullptr, &info, sizeof(info)),
        STATUS_DEVICE_BUSY);
    EXPECT_EQ(second.Send(IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION, nullptr, &info, 8),
              STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(idle.Cancel());
    EXPECT_FALSE(Bus()->IdleRequestPending());
    EXPECT_EQ(idle.Wait(), STATUS_CANCELLED);
    // Without the automatic callback it waits for the caller.
    Bus()->SetAutomaticIdle(false);
    ASSERT_EQ(idle.Send(IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION, nullptr, &info, sizeof(info)),
              STATUS_PENDING);
    EmuAdvanceMs(10);
    EXPECT_EQ(state.Calls, 1);
    EXPECT_TRUE(Bus()->RunIdleCallback());
    EXPECT_EQ(state.Calls, 2);
    EXPECT_TRUE(idle.Cancel());
    EXPECT_EQ(idle.Wait(), STATUS_CANCELLED);
}

TEST_F(UsbBusTest, StatusMessagesReachTheInterruptPipe)
{
    Plug(SimReference::Uac2HighSpeed);
    Configure();
    auto* ac = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(m_Interfaces[0].data());
    UCHAR message[6] = {};
    URB read{};
    UsbBuildInterruptOrBulkTransferRequest(
        &read, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), ac->Pipes[0].PipeHandle, message,
        nullptr, 6, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, nullptr);
    UsbCall call(Bus());
    ASSERT_EQ(call.Submit(&read), STATUS_PENDING);
    EmuAdvanceMs(3);
    EXPECT_FALSE(call.Completed);
    // bInfo 0, bAttribute CUR, volume of channel 1, entity 2 on interface 0.
    ASSERT_TRUE(Dev().Streaming().PostInterrupt({0x00, 0x01, 0x01, 0x02, 0x00, 0x02}));
    ASSERT_EQ(call.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(read.UrbBulkOrInterruptTransfer.TransferBufferLength, 6u);
    EXPECT_EQ(message[3], 0x02);
    EXPECT_EQ(message[5], 0x02);
}

TEST_F(UsbBusTest, AnUnansweredControlTransferHoldsBackTheDefaultPipe)
{
    Plug(SimReference::Uac1SpeakerMic);
    Configure();
    Dev().InjectControlFault({0x80, 6, 0x0302, -1}, SimFaultKind::NoResponse);
    URB hungUrb{}, nextUrb{};
    std::vector<UCHAR> a(64), b(18);
    UsbBuildGetDescriptorRequest(&hungUrb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), 3, 2,
                                 0x0409, a.data(), nullptr, 64, nullptr);
    UsbBuildGetDescriptorRequest(&nextUrb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), 1, 0, 0,
                                 b.data(), nullptr, 18, nullptr);
    UsbCall hung(Bus()), next(Bus());
    ASSERT_EQ(hung.Submit(&hungUrb), STATUS_PENDING);
    ASSERT_EQ(next.Submit(&nextUrb), STATUS_PENDING);
    EmuAdvanceMs(20);
    EXPECT_FALSE(hung.Completed);
    EXPECT_FALSE(next.Completed);
    // Once the caller gives up on the first, the second goes through.
    hung.Cancel();
    EXPECT_EQ(hung.Wait(), STATUS_CANCELLED);
    EXPECT_EQ(next.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(nextUrb.UrbControlDescriptorRequest.TransferBufferLength, 18u);
}

// A cancel only asks: the transfer completes from the frame clock, at the
// frame after the cancel or as many frames later as the bus is set to wait.
TEST_F(UsbBusTest, CancelledRequestsCompleteFromTheFrameClock)
{
    for (ULONG delay : {0u, 1u, 4u})
    {
        SCOPED_TRACE(delay);
        Plug(SimReference::Uac1SpeakerMic);
        Configure();
        Bus()->SetCancelDelayFrames(delay);
        Dev().InjectControlFault({0x80, 6, 0x0302, -1}, SimFaultKind::NoResponse);
        URB urb{};
        std::vector<UCHAR> buffer(64);
        UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), 3, 2,
                                     0x0409, buffer.data(), nullptr, 64, nullptr);
        UsbCall hung(Bus());
        ASSERT_EQ(hung.Submit(&urb), STATUS_PENDING);
        EmuAdvanceMs(5);
        const ULONG cancelled = Bus()->CurrentFrame();
        EXPECT_TRUE(hung.Cancel());
        EXPECT_FALSE(hung.Completed);
        EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_PENDING);
        EmuAdvanceMs(delay);
        EXPECT_FALSE(hung.Completed);
        EXPECT_EQ(Bus()->PendingRequestCount(), 1u);
        EmuAdvanceMs(1);
        ASSERT_TRUE(hung.Completed);
        EXPECT_EQ(hung.Status, STATUS_CANCELLED);
        EXPECT_EQ(hung.Irql, DISPATCH_LEVEL);
        EXPECT_EQ(hung.CompletedAtFrame, cancelled + delay + 1);
        EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_CANCELED);
        EXPECT_EQ(Bus()->PendingRequestCount(), 0u);

        // An abort's transfers complete as many frames after it ran, the
        // abort after them.
        USBD_PIPE_HANDLE pipe = Select(SimRef1::PlayInterface, 1, 1)[0].PipeHandle;
        IsoUrb iso(pipe, false, std::vector<ULONG>(50, 192), USBD_START_ISO_TRANSFER_ASAP);
        UsbCall transfer(Bus());
        ASSERT_EQ(transfer.Submit(iso.Urb()), STATUS_PENDING);
        URB abort{};
        UsbBuildPipeRequest(&abort, URB_FUNCTION_ABORT_PIPE, pipe);
        UsbCall aborter(Bus());
        ASSERT_EQ(aborter.Submit(&abort), STATUS_PENDING);
        const ULONG runs = Bus()->CurrentFrame();
        ASSERT_EQ(aborter.Wait(), STATUS_SUCCESS);
        ASSERT_TRUE(transfer.Completed);
        EXPECT_EQ(transfer.Status, STATUS_CANCELLED);
        EXPECT_EQ(transfer.CompletedAtFrame, runs + delay + 1);
        EXPECT_EQ(aborter.CompletedAtFrame, runs + delay + 1);
        EXPECT_LT(transfer.Sequence, aborter.Sequence);
        // Nothing of it reached the device after the abort.
        EXPECT_TRUE(Dev().Streaming().OutRecord(SimRef1::PlayEndpoint).Packets.empty());
        TearDown();
    }
}

TEST(SimUsbPortTest, PlugsAndRemovesWithoutLeftovers)
{
    SimUsbPort port;
    ASSERT_EQ(port.Plug(SimReference::Uac2Spdif), STATUS_SUCCESS);
    ASSERT_NE(port.PhysicalDeviceObject(), nullptr);
    EXPECT_EQ(EmuDeviceInstancePath(port.PhysicalDeviceObject()),
              u"USB\\VID_4C54&PID_2004\\5&1a2b&0&1");
    WCHAR ids[128] = {};
    ULONG size = 0;
    ASSERT_EQ(IoGetDeviceProperty(port.PhysicalDeviceObject(), DevicePropertyHardwareID,
                                  sizeof(ids), ids, &size),
              STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(ids), u"USB\\VID_4C54&PID_2004&REV_0100");
    EXPECT_EQ(std::u16string(ids + 31), u"USB\\VID_4C54&PID_2004");
    EXPECT_EQ(EmuArmedTimerCount(), 1u);
    EmuAdvanceMs(7);
    EXPECT_EQ(port.Bus()->CurrentFrame(), 7u);
    port.Remove();
    EXPECT_EQ(EmuArmedTimerCount(), 0u);
    std::string error;
    EXPECT_EQ(port.PlugText("12 01\n", EmuUsbSpeed::Full, &error), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(error, "line 1: bLength differs from the bytes on the line");
    EXPECT_EQ(
        port.PlugText(SimReferenceText(SimReference::Uac1SpeakerMic), EmuUsbSpeed::Full, &error),
        STATUS_SUCCESS);
    EXPECT_FALSE(port.Bus()->IsHighSpeed());
}

namespace
{
// A transfer loop as a stream driver runs it: each completion, at
// DISPATCH_LEVEL, reuses its IRP and sends its URB again.
struct LoopContext
{
    EmuUsbBus* Bus;
    PIRP Irp;
    IsoUrb* Urb;
    bool Explicit;
    int Left;
    ULONG* NextStart;
    int Completions = 0;
    KIRQL Irql = PASSIVE_LEVEL;
};

NTSTATUS SendLoop(LoopContext* c);

NTSTATUS LoopDone(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    auto* c = static_cast<LoopContext*>(context);
    ++c->Completions;
    c->Irql = KeGetCurrentIrql();
    if (NT_SUCCESS(irp->IoStatus.Status) && --c->Left > 0)
    {
        IoReuseIrp(irp, STATUS_NOT_SUPPORTED);
        SendLoop(c);
    }
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS SendLoop(LoopContext* c)
{
    auto& iso = c->Urb->Iso();
    iso.TransferFlags = c->Explicit ? 0 : USBD_START_ISO_TRANSFER_ASAP;
    if (c->Explicit)
    {
        iso.StartFrame = *c->NextStart;
        *c->NextStart += iso.NumberOfPackets;
    }
    PIO_STACK_LOCATION s = IoGetNextIrpStackLocation(c->Irp);
    s->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    s->Parameters.Others.Argument1 = c->Urb->Urb();
    s->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    IoSetCompletionRoutine(c->Irp, LoopDone, c, TRUE, TRUE, TRUE);
    return IoCallDriver(c->Bus->PhysicalDeviceObject(), c->Irp);
}
} // namespace

TEST_F(UsbBusTest, TransfersResentFromCompletionKeepEveryFrameFilled)
{
    Plug(SimReference::Uac1SpeakerMic);
    Configure();
    USBD_PIPE_HANDLE pipe = Select(SimRef1::PlayInterface, 1, 1)[0].PipeHandle;
    for (bool explicitStart : {false, true})
    {
        SCOPED_TRACE(explicitStart ? "explicit start frames" : "as soon as possible");
        Dev().Streaming().ClearRecords();
        ULONG first = Bus()->CurrentFrame() + 2;
        ULONG next = first;
        IsoUrb urbs[3] = {{pipe, false, std::vector<ULONG>(5, 192), 0},
                          {pipe, false, std::vector<ULONG>(5, 192), 0},
                          {pipe, false, std::vector<ULONG>(5, 192), 0}};
        LoopContext loops[3];
        for (int i = 0; i < 3; ++i)
        {
            loops[i] = {Bus(),    IoAllocateIrp(Bus()->PhysicalDeviceObject()->StackSize, FALSE),
                        &urbs[i], explicitStart,
                        4,        &next};
            if (!explicitStart && i == 0)
                EmuAdvanceMs(1); // ASAP starts one frame after the current one
            ASSERT_EQ(SendLoop(&loops[i]), STATUS_PENDING);
        }
        EXPECT_TRUE(EmuAdvanceUntil(
            [&]
            { return loops[0].Completions + loops[1].Completions + loops[2].Completions == 12; },
            200));
        for (LoopContext& l : loops)
        {
            EXPECT_EQ(l.Irql, DISPATCH_LEVEL);
            IoFreeIrp(l.Irp);
        }
        // Twelve transfers of five frames: sixty frames in a row, none left out.
        const SimOutRecord& rec = Dev().Streaming().OutRecord(SimRef1::PlayEndpoint);
        ASSERT_EQ(rec.Packets.size(), 60u);
        for (ULONG i = 0; i < 60; ++i)
            ASSERT_EQ(rec.Packets[i].Frame, first + i);
    }
}

TEST_F(UsbBusTest, NewSettingCancelsTheOldPipesTransfers)
{
    Plug(SimReference::Uac1SpeakerMic);
    Configure();
    USBD_PIPE_HANDLE pipe = Select(SimRef1::PlayInterface, 1, 1)[0].PipeHandle;
    IsoUrb a(pipe, false, std::vector<ULONG>(10, 192), USBD_START_ISO_TRANSFER_ASAP);
    IsoUrb b(pipe, false, std::vector<ULONG>(10, 192), USBD_START_ISO_TRANSFER_ASAP);
    UsbCall first(Bus()), second(Bus());
    ASSERT_EQ(first.Submit(a.Urb()), STATUS_PENDING);
    ASSERT_EQ(second.Submit(b.Urb()), STATUS_PENDING);
    EmuAdvanceMs(2);
    EXPECT_TRUE(Select(SimRef1::PlayInterface, 0, 0).empty());
    EXPECT_EQ(first.Status, STATUS_CANCELLED);
    EXPECT_EQ(second.Status, STATUS_CANCELLED);
    EXPECT_EQ(Dev().AlternateSetting(SimRef1::PlayInterface), 0);
    // The old pipe is gone with its setting.
    IsoUrb stale(pipe, false, std::vector<ULONG>(2, 192), USBD_START_ISO_TRANSFER_ASAP);
    EXPECT_EQ(first.Submit(stale.Urb()), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(stale.Iso().Hdr.Status, USBD_STATUS_INVALID_PIPE_HANDLE);
}

namespace
{
// A device end that claims to have moved more than it was given room for.
class Boastful : public EmuUsbFunction
{
  public:
    explicit Boastful(SimUsbDevice* device) : m_Device(device) {}
    EmuUsbSpeed Speed() const override { return m_Device->Speed(); }
    EmuControlAnswer ControlTransfer(const USB_DEFAULT_PIPE_SETUP_PACKET& setup, UCHAR* data,
                                     ULONG frame) override
    {
        EmuControlAnswer a = m_Device->ControlTransfer(setup, data, frame);
        a.Length += 100;
        return a;
    }
    USBD_STATUS IsochOut(UCHAR endpoint, ULONG frame, ULONG microframe, const UCHAR* data,
                         ULONG length) override
    {
        return m_Device->IsochOut(endpoint, frame, microframe, data, length);
    }
    USBD_STATUS IsochIn(UCHAR endpoint, ULONG frame, ULONG microframe, UCHAR* data, ULONG capacity,
                        ULONG* length) override
    {
        USBD_STATUS s = m_Device->IsochIn(endpoint, frame, microframe, data, capacity, length);
        *length += 100;
        return s;
    }
    USBD_STATUS InterruptOrBulkIn(UCHAR endpoint, UCHAR* data, ULONG capacity,
                                  ULONG* length) override
    {
        USBD_STATUS s = m_Device->InterruptOrBulkIn(endpoint, data, capacity, length);
        *length += 100;
        return s;
    }
    USBD_STATUS InterruptOrBulkOut(UCHAR endpoint, const UCHAR* data, ULONG length) override
    {
        return m_Device->InterruptOrBulkOut(endpoint, data, length);
    }
    void BusReset() override { m_Device->BusReset(); }

  private:
    SimUsbDevice* m_Device;
};
} // namespace

TEST_F(UsbBusTest, ADeviceClaimingMoreThanItsBufferIsHeldToTheBuffer)
{
    m_Device = SimCreateReferenceDevice(SimReference::Uac2HighSpeed);
    ASSERT_NE(m_Device, nullptr);
    Boastful device(m_Device.get());
    ASSERT_EQ(EmuUsbBus::Create(&device, u"USB\\VID_4C54&PID_1001\\1", &m_Bus), STATUS_SUCCESS);
    // Control: the device descriptor into 8 bytes, then into all 18.
    std::vector<UCHAR> head;
    EXPECT_EQ(GetDescriptor(1, 0, 0, &head, 8), STATUS_SUCCESS);
    EXPECT_EQ(head.size(), 8u);
    EXPECT_EQ(GetDescriptor(1, 0, 0, &head, 18), STATUS_SUCCESS);
    EXPECT_EQ(head.size(), 18u);
    EXPECT_EQ(head[0], 18);
    // Interrupt IN: a 6-byte status message into a 6-byte buffer.
    Configure();
    auto* ac = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(m_Interfaces[0].data());
    UCHAR message[6] = {};
    URB read{};
    UsbBuildInterruptOrBulkTransferRequest(
        &read, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), ac->Pipes[0].PipeHandle, message,
        nullptr, 6, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, nullptr);
    ASSERT_TRUE(Dev().Streaming().PostInterrupt({0x00, 0x01, 0x01, 0x02, 0x00, 0x02}));
    {
        UsbCall call(Bus());
        EXPECT_EQ(call.SubmitAndWait(&read), STATUS_SUCCESS);
    }
    EXPECT_EQ(read.UrbBulkOrInterruptTransfer.TransferBufferLength, 6u);
    m_Bus.reset(); // before the device end it holds
}
