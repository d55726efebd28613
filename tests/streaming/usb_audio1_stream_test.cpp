// The audio class 1.0 streams on the simulated devices, on virtual time:
// interface selection with the sampling-frequency request, render URBs filled
// by the client and run through the chain, the capture ring (its size, its
// wrap, silence for empty packets, partial frames) and a known IN pattern
// arriving intact over minutes, and what the streams refuse.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "platform/kernel/emu.h"
#include "tests/streaming/usb_audio1_rig.h"

namespace
{
constexpr UCHAR kMic = SimRef1::RecEndpoint;
constexpr UCHAR kPlay = SimRef1::PlayEndpoint;

using CaptureRig = Audio1Rig<TestCapture>;
using RenderRig = Audio1Rig<TestRender>;

std::unique_ptr<CaptureRig> MicRig(std::unique_ptr<SimUsbDevice> device = nullptr)
{
    if (device == nullptr)
        device = SimCreateReferenceDevice(SimReference::Uac1SpeakerMic);
    return std::make_unique<CaptureRig>(
        std::move(device), SimRef1::RecInterface, STREAM_DIRECTION_CAPTURE,
        std::vector<std::pair<WAVEFORMATEXTENSIBLE, UCHAR>>{{PcmRecord(1, 48000, 16), 1}});
}

// The 7.1 device's stereo capture, continuous rates up to 48 kHz.
std::unique_ptr<CaptureRig> StereoCaptureRig(std::unique_ptr<SimUsbDevice> device = nullptr)
{
    if (device == nullptr)
        device = SimCreateReferenceDevice(SimReference::Uac1Surround71);
    return std::make_unique<CaptureRig>(
        std::move(device), SimRef2::RecInterface, STREAM_DIRECTION_CAPTURE,
        std::vector<std::pair<WAVEFORMATEXTENSIBLE, UCHAR>>{{PcmRecord(2, 48000, 16), 1},
                                                            {PcmRecord(2, 44100, 16), 1}});
}

std::unique_ptr<RenderRig> SpeakerRig()
{
    return std::make_unique<RenderRig>(
        SimCreateReferenceDevice(SimReference::Uac1SpeakerMic), SimRef1::PlayInterface,
        STREAM_DIRECTION_RENDER,
        std::vector<std::pair<WAVEFORMATEXTENSIBLE, UCHAR>>{{PcmRecord(2, 48000, 16), 1},
                                                            {PcmRecord(2, 44100, 16), 1},
                                                            {PcmRecord(2, 48000, 24), 2}});
}

std::vector<USHORT> Words(const std::vector<UCHAR>& bytes)
{
    std::vector<USHORT> words(bytes.size() / 2);
    memcpy(words.data(), bytes.data(), words.size() * 2);
    return words;
}

// The sampling-frequency requests the device received, as text.
std::vector<std::string> RateRequests(SimUsbDevice* device)
{
    std::vector<std::string> seen;
    for (const SimRequestRecord& record : device->Log())
        if (record.Setup.bmRequestType == 0x22 && record.Setup.bRequest == 0x01)
            seen.push_back(record.Text());
    return seen;
}

// The records of each completion: one or two capture-data records, then the
// byte count of both.
void ExpectCompletionShape(const RecordingClient& client)
{
    size_t piece = 0, count = 0;
    ULONG sum = 0;
    ULONG run = 0;
    for (ULONG type : client.Types)
    {
        if (type == STREAM_NOTIFY_CAPTURE_DATA)
        {
            sum += client.Pieces[piece++].Bytes;
            ++run;
            ASSERT_LE(run, 2u);
        }
        else if (type == STREAM_NOTIFY_BYTES)
        {
            ASSERT_GE(run, 1u);
            ASSERT_EQ(sum, client.ByteCounts[count++]);
            sum = 0;
            run = 0;
        }
    }
}

// ----------------------------------------------------------------------------
// Render

TEST(Audio1Render, SelectsTheSettingSetsTheRateAndSendsTheClientsSamplesThroughTheChain)
{
    auto rig = SpeakerRig();
    ASSERT_TRUE(rig->Ok());
    auto node = new (NonPagedPool, kStreamTestTag) GainNode(0.5f);
    node->AddRef();
    ASSERT_EQ(STATUS_SUCCESS, rig->Stream()->AddProcessingNode(node));
    RecordingClient wave;
    ASSERT_EQ(STATUS_SUCCESS, rig->Register(&wave, PcmFormat(2, 48000, 16), 5, 3));
    ASSERT_EQ(STATUS_SUCCESS, rig->OpenAndStart(&wave));
    EXPECT_EQ(1, rig->Device()->AlternateSetting(SimRef1::PlayInterface));
    EXPECT_EQ(std::vector<std::string>({"22 01 0100 0001 0003 < 80 BB 00"}),
              RateRequests(rig->Device()));
    EXPECT_EQ(1, rig->Adapter().Adapter()->GetActiveStreamCount());
    EmuAdvanceMs(50);
    const SimOutRecord& out = rig->Device()->Streaming().OutRecord(kPlay);
    ASSERT_GE(out.Packets.size(), 40u);
    for (const SimPacketRecord& packet : out.Packets)
        ASSERT_EQ(192u, packet.Length);
    // The client's counter, halved by the node, truncated toward zero.
    std::vector<USHORT> words = Words(out.Data);
    for (size_t i = 0; i < words.size(); ++i)
    {
        const int sample = (SHORT)(USHORT)i;
        ASSERT_EQ((SHORT)(sample / 2), (SHORT)words[i]) << i;
    }
    EXPECT_GE(node->Calls, out.Packets.size() / 5);
    rig->Leave(&wave);
    EXPECT_EQ(0, rig->Device()->AlternateSetting(SimRef1::PlayInterface));
    EXPECT_EQ(0, rig->Adapter().Adapter()->GetActiveStreamCount());
    node->Release();
}

TEST(Audio1Render, EachFormatSelectsItsSettingAndRate)
{
    struct Case
    {
        USHORT Bits;
        ULONG Rate;
        int Setting;
        const char* Request;
        ULONG PacketBytes; // of the first packet
    };
    const Case cases[] = {
        {16, 48000, 1, "22 01 0100 0001 0003 < 80 BB 00", 192},
        {16, 44100, 1, "22 01 0100 0001 0003 < 44 AC 00", 176},
        {24, 48000, 2, "22 01 0100 0001 0003 < 80 BB 00", 288},
    };
    for (const Case& c : cases)
    {
        auto rig = SpeakerRig();
        ASSERT_TRUE(rig->Ok());
        RecordingClient wave;
        ASSERT_EQ(STATUS_SUCCESS, rig->Register(&wave, PcmFormat(2, c.Rate, c.Bits), 10, 2));
        ASSERT_EQ(STATUS_SUCCESS, rig->OpenAndStart(&wave));
        EXPECT_EQ(c.Setting, rig->Device()->AlternateSetting(SimRef1::PlayInterface));
        EXPECT_EQ(std::vector<std::string>({c.Request}), RateRequests(rig->Device()));
        EXPECT_EQ(c.Rate, rig->Device()->Audio().StreamRate(SimRef1::PlayInterface));
        EmuAdvanceMs(20);
        const SimOutRecord& out = rig->Device()->Streaming().OutRecord(kPlay);
        ASSERT_FALSE(out.Packets.empty());
        EXPECT_EQ(c.PacketBytes, out.Packets[0].Length);
        rig->Leave(&wave);
    }
}

TEST(Audio1Render, ARefusedRateRequestStillStreams)
{
    auto rig = SpeakerRig();
    ASSERT_TRUE(rig->Ok());
    rig->Device()->InjectControlFault({0x22, 0x01, 0x0100, kPlay}, SimFaultKind::Stall);
    RecordingClient wave;
    ASSERT_EQ(STATUS_SUCCESS, rig->Register(&wave, PcmFormat(2, 48000, 16), 5, 3));
    ASSERT_EQ(STATUS_SUCCESS, rig->OpenAndStart(&wave));
    EXPECT_EQ(std::vector<std::string>({"22 01 0100 0001 0003 < 80 BB 00 STALL"}),
              RateRequests(rig->Device()));
    EmuAdvanceMs(30);
    EXPECT_GE(rig->Device()->Streaming().OutRecord(kPlay).Packets.size(), 20u);
    rig->Leave(&wave);
}

// ----------------------------------------------------------------------------
// Preparation

TEST(Audio1Capture, AClientWithLessThanTenMillisecondsInFlightGetsMoreUrbs)
{
    struct Case
    {
        ULONG Ms, Urbs, Expected;
    };
    const Case cases[] = {{1, 1, 10}, {3, 1, 4}, {5, 1, 2},  {4, 2, 3},
                          {4, 3, 3},  {5, 2, 2}, {10, 1, 1}, {9, 1, 2}};
    for (const Case& c : cases)
    {
        auto rig = MicRig();
        ASSERT_TRUE(rig->Ok());
        RecordingClient client;
        ASSERT_EQ(STATUS_SUCCESS, rig->Register(&client, PcmFormat(1, 48000, 16), c.Ms, c.Urbs));
        ASSERT_EQ(STATUS_SUCCESS, rig->OpenAndStart(&client)) << c.Ms << "x" << c.Urbs;
        EXPECT_EQ(c.Expected, client.Record->UrbCount) << c.Ms << "x" << c.Urbs;
        EXPECT_EQ(c.Expected, rig->Stream()->UrbsInFlight()) << c.Ms << "x" << c.Urbs;
        EXPECT_EQ((LONG)c.Expected, rig->Stream()->Outstanding());
        rig->Leave(&client);
    }
}

TEST(Audio1Capture, TheRingHoldsFortyMillisecondsAndAlwaysMoreThanOneUrb)
{
    struct Case
    {
        bool Stereo;
        ULONG Rate, Ms;
        ULONG Ring, Stride;
    };
    const Case cases[] = {
        {true, 48000, 10, 7680, 196}, // 48 kHz, 16-bit stereo: 40 ms
        {true, 44100, 10, 7056, 196}, // 44.1 kHz: 176400 / 25
        {false, 48000, 10, 3840, 98}, // the mono microphone
        {true, 48000, 39, 7680, 196}, // 39 x 196 = 7644: still below 40 ms
        {true, 48000, 40, 7844, 196}, // 7840 bytes of URB: one frame more
        {true, 48000, 50, 9804, 196}, // 9800 bytes of URB
        {false, 48000, 40, 3922, 98}, // 3920 bytes of URB
    };
    for (const Case& c : cases)
    {
        auto rig = c.Stereo ? StereoCaptureRig() : MicRig();
        ASSERT_TRUE(rig->Ok());
        RecordingClient client;
        const USHORT channels = c.Stereo ? 2 : 1;
        ASSERT_EQ(STATUS_SUCCESS, rig->Register(&client, PcmFormat(channels, c.Rate, 16), c.Ms, 1));
        ULONG ms = 0, frame = 0;
        ASSERT_EQ(STATUS_SUCCESS, rig->Control()->OpenClient(client.Key(), &ms, &frame));
        EXPECT_EQ(c.Ring, rig->Stream()->RingSize()) << c.Rate << " " << c.Ms;
        EXPECT_EQ(c.Stride, rig->Stream()->Stride());
        EXPECT_EQ(0u, rig->Stream()->RingSize() % (2u * channels));
        EXPECT_EQ(USB_STREAM_PREPARED, rig->Stream()->State());
        rig->Leave(&client);
        EXPECT_EQ(nullptr, rig->Stream()->Ring());
    }
}

TEST(Audio1Capture, AnEndpointTooSmallForOneFrameIsRefusedBeforeAnythingIsBuilt)
{
    // An endpoint too small for one frame of the stereo format.
    auto tiny = StereoCaptureRig(
        DeviceWithCapturePacket(SimReference::Uac1Surround71, SimRef2::RecEndpoint, 3));
    ASSERT_TRUE(tiny->Ok());
    RecordingClient client;
    ASSERT_EQ(STATUS_SUCCESS, tiny->Register(&client, PcmFormat(2, 48000, 16), 10, 1));
    ULONG ms = 0, frame = 0;
    const SIZE_T before = EmuPoolOutstandingCount(USB_STREAM_URB_POOL_TAG);
    EXPECT_EQ(STATUS_DEVICE_CONFIGURATION_ERROR,
              tiny->Control()->OpenClient(client.Key(), &ms, &frame));
    EXPECT_EQ(USB_STREAM_CLOSED, tiny->Stream()->State());
    EXPECT_EQ(before, EmuPoolOutstandingCount(USB_STREAM_URB_POOL_TAG));
    EXPECT_EQ(0, tiny->Device()->AlternateSetting(SimRef2::RecInterface));
    EXPECT_EQ(STATUS_SUCCESS, tiny->Control()->UnregisterClient(client.Key()));
}

TEST(Audio1Capture, NoMillisecondsAndNoBlockAlignAreRefusedBeforeAnythingDividesByThem)
{
    // Records the registration would refuse, handed to the preparation itself.
    auto rig = MicRig();
    ASSERT_TRUE(rig->Ok());
    struct Case
    {
        ULONG Ms;
        USHORT BlockAlign;
    };
    const Case cases[] = {{0, 2}, {10, 0}};
    for (const Case& c : cases)
    {
        StreamClient record = {};
        record.Kind = STREAM_CLIENT_KIND_WAVE_CYCLIC;
        record.MsPerUrb = c.Ms;
        record.UrbCount = 1;
        record.Format.Format = PcmFormat(1, 48000, 16);
        record.Format.Format.nBlockAlign = c.BlockAlign;
        ULONG frame = 0;
        EXPECT_EQ(STATUS_INVALID_PARAMETER, rig->Stream()->PrepareStream(&record, &frame));
        EXPECT_EQ(1u, record.UrbCount);
        EXPECT_EQ(USB_STREAM_CLOSED, rig->Stream()->State());
    }
}

TEST(Audio1Capture, AnInterfaceWithoutAnInPipeIsLeftAtSettingZero)
{
    // A capture stream on the speaker's interface: its only pipe is OUT.
    CaptureRig rig(SimCreateReferenceDevice(SimReference::Uac1SpeakerMic), SimRef1::PlayInterface,
                   STREAM_DIRECTION_CAPTURE, {{PcmRecord(2, 48000, 16), 1}});
    ASSERT_TRUE(rig.Ok());
    RecordingClient client;
    ASSERT_EQ(STATUS_SUCCESS, rig.Register(&client, PcmFormat(2, 48000, 16), 10, 1));
    ULONG ms = 0, frame = 0;
    EXPECT_EQ(STATUS_DEVICE_CONFIGURATION_ERROR,
              rig.Control()->OpenClient(client.Key(), &ms, &frame));
    EXPECT_EQ(0, rig.Device()->AlternateSetting(SimRef1::PlayInterface));
    EXPECT_EQ(USB_STREAM_CLOSED, rig.Stream()->State());
    EXPECT_EQ(0, rig.Adapter().Adapter()->GetActiveStreamCount());
    EXPECT_TRUE(RateRequests(rig.Device()).empty());
    EXPECT_EQ(STATUS_SUCCESS, rig.Control()->UnregisterClient(client.Key()));
}

TEST(Audio1Capture, ASecondPreparationLeavesThePreparedStreamAsItIs)
{
    auto rig = MicRig();
    ASSERT_TRUE(rig->Ok());
    RecordingClient client;
    ASSERT_EQ(STATUS_SUCCESS, rig->Register(&client, PcmFormat(1, 48000, 16), 10, 3));
    ULONG ms = 0, frame = 0;
    ASSERT_EQ(STATUS_SUCCESS, rig->Control()->OpenClient(client.Key(), &ms, &frame));
    PUCHAR ring = rig->Stream()->Ring();
    StreamClient other = *client.Record;
    other.MsPerUrb = 1;
    other.UrbCount = 1;
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, rig->Stream()->PrepareStream(&other, &frame));
    EXPECT_EQ(USB_STREAM_PREPARED, rig->Stream()->State());
    EXPECT_EQ(ring, rig->Stream()->Ring());
    EXPECT_EQ(3u, rig->Stream()->UrbsInFlight());
    EXPECT_EQ(1u, other.UrbCount);
    ASSERT_EQ(STATUS_SUCCESS, rig->Control()->StartClient(client.Key(), frame + 2, &ms, nullptr));
    EmuAdvanceMs(50);
    EXPECT_GE(client.Captured.size(), 40u * 96);
    rig->Leave(&client);
}

// ----------------------------------------------------------------------------
// The capture ring

TEST(Audio1Capture, TheMicrophonesCounterArrivesIntactOverThreeMinutes)
{
    auto rig = MicRig();
    ASSERT_TRUE(rig->Ok());
    RecordingClient client;
    ASSERT_EQ(STATUS_SUCCESS, rig->Register(&client, PcmFormat(1, 48000, 16), 10, 2));
    ASSERT_EQ(STATUS_SUCCESS, rig->OpenAndStart(&client));
    EXPECT_EQ(std::vector<std::string>({"22 01 0100 0082 0003 < 80 BB 00"}),
              RateRequests(rig->Device()));
    EXPECT_EQ(49u, rig->Stream()->BaseSamples());
    EmuAdvanceMs(180000);
    const std::vector<USHORT> words = Words(client.Captured);
    // Every frame of every millisecond but the URBs still in flight.
    ASSERT_GE(words.size(), (180000u - 30) * 48);
    for (size_t i = 0; i < words.size(); ++i)
        ASSERT_EQ((USHORT)i, words[i]) << i;
    ULONGLONG counted = 0;
    for (ULONG bytes : client.ByteCounts)
        counted += bytes;
    EXPECT_EQ(client.Captured.size(), counted);
    ExpectCompletionShape(client);
    rig->Leave(&client);
}

TEST(Audio1Capture, FramesThatCrossTheRingsEndComeAsTwoRecordsThenOneCount)
{
    auto rig = MicRig();
    ASSERT_TRUE(rig->Ok());
    RecordingClient client;
    // 288 bytes a URB do not divide the 3840-byte ring: some URBs wrap.
    ASSERT_EQ(STATUS_SUCCESS, rig->Register(&client, PcmFormat(1, 48000, 16), 3, 4));
    ASSERT_EQ(STATUS_SUCCESS, rig->OpenAndStart(&client));
    PUCHAR ring = rig->Stream()->Ring();
    const ULONG size = rig->Stream()->RingSize();
    ASSERT_EQ(3840u, size);
    EmuAdvanceMs(200);
    // The capture-data records of each completion, split by its byte count.
    ULONG wraps = 0;
    size_t piece = 0;
    std::vector<DataPiece> completion;
    for (ULONG type : client.Types)
    {
        if (type == STREAM_NOTIFY_CAPTURE_DATA)
        {
            completion.push_back(client.Pieces[piece++]);
            continue;
        }
        if (type != STREAM_NOTIFY_BYTES)
            continue;
        if (completion.size() == 2)
        {
            // The piece up to the end, then the rest from the start.
            ++wraps;
            EXPECT_EQ(ring + size, completion[0].Buffer + completion[0].Bytes);
            EXPECT_EQ(ring, completion[1].Buffer);
            EXPECT_EQ(0u, completion[0].Bytes % 2);
            EXPECT_EQ(288u, completion[0].Bytes + completion[1].Bytes);
        }
        completion.clear();
    }
    // 3840 / 288 leaves 96 bytes: two of every three turns split a URB.
    EXPECT_GE(wraps, 3u);
    ExpectCompletionShape(client);
    const std::vector<USHORT> words = Words(client.Captured);
    ASSERT_GE(words.size(), 180u * 48);
    for (size_t i = 0; i < words.size(); ++i)
        ASSERT_EQ((USHORT)i, words[i]) << i;
    rig->Leave(&client);
}

// The stereo counter of the 7.1 device as captured: frame f carries 2f, 2f + 1.
void ExpectCounterFrames(const std::vector<USHORT>& words, size_t from, size_t to, ULONG first)
{
    for (size_t f = from; f < to; ++f)
    {
        const ULONG value = first + (ULONG)(f - from);
        ASSERT_EQ((USHORT)(2 * value), words[2 * f]) << f;
        ASSERT_EQ((USHORT)(2 * value + 1), words[2 * f + 1]) << f;
    }
}

TEST(Audio1Capture, AnEmptyPacketAtFortyFourOneBecomesFortyFiveFramesOfSilence)
{
    auto rig = StereoCaptureRig();
    ASSERT_TRUE(rig->Ok());
    // Packets 0 to 6 carry 44 frames each at 44.1 kHz; packet 7 is empty.
    rig->Device()->Streaming().InjectInPacketShape(SimRef2::RecEndpoint, 7, SimPacketShape::Empty);
    RecordingClient client;
    ASSERT_EQ(STATUS_SUCCESS, rig->Register(&client, PcmFormat(2, 44100, 16), 10, 2));
    ASSERT_EQ(STATUS_SUCCESS, rig->OpenAndStart(&client));
    EXPECT_EQ(180u, rig->Stream()->Silence());
    EmuAdvanceMs(100);
    const std::vector<USHORT> words = Words(client.Captured);
    ASSERT_GE(words.size(), 2u * 2000);
    ExpectCounterFrames(words, 0, 308, 0);
    for (size_t f = 308; f < 353; ++f)
        ASSERT_EQ(0u, (ULONG)words[2 * f] + words[2 * f + 1]) << f;
    // The device's counter goes on where it stopped.
    ExpectCounterFrames(words, 353, words.size() / 2, 308);
    rig->Leave(&client);
}

TEST(Audio1Capture, SilenceNeverRunsPastItsPacketsShareOfTheBuffer)
{
    // An endpoint sized for the nominal 44 frames: a packet's share is 176
    // bytes, one frame short of the silence the rate would ask for.
    auto rig = StereoCaptureRig(
        DeviceWithCapturePacket(SimReference::Uac1Surround71, SimRef2::RecEndpoint, 176));
    ASSERT_TRUE(rig->Ok());
    rig->Device()->Streaming().InjectInPacketShape(SimRef2::RecEndpoint, 3, SimPacketShape::Empty);
    RecordingClient client;
    ASSERT_EQ(STATUS_SUCCESS, rig->Register(&client, PcmFormat(2, 44100, 16), 10, 2));
    ASSERT_EQ(STATUS_SUCCESS, rig->OpenAndStart(&client));
    EXPECT_EQ(176u, rig->Stream()->Stride());
    EXPECT_EQ(176u, rig->Stream()->Silence());
    EmuAdvanceMs(40);
    const std::vector<USHORT> words = Words(client.Captured);
    ASSERT_GE(words.size(), 2u * 600);
    ExpectCounterFrames(words, 0, 132, 0);
    for (size_t f = 132; f < 176; ++f)
        ASSERT_EQ(0u, (ULONG)words[2 * f] + words[2 * f + 1]) << f;
    // The packet after the silence is whole.
    ExpectCounterFrames(words, 176, 176 + 44, 132);
    rig->Leave(&client);
}

TEST(Audio1Capture, APartialFrameWaitsInTheRingForItsRest)
{
    auto rig = StereoCaptureRig();
    ASSERT_TRUE(rig->Ok());
    RecordingClient client;
    ASSERT_EQ(STATUS_SUCCESS, rig->Register(&client, PcmFormat(2, 48000, 16), 10, 1));
    ULONG ms = 0, frame = 0;
    ASSERT_EQ(STATUS_SUCCESS, rig->Control()->OpenClient(client.Key(), &ms, &frame));
    // A completion handed in by hand: packet 0 brings 7 bytes (one frame and
    // three bytes), the other packets fail with nothing.
    PTRANSFERCONTEXT context = rig->Stream()->TakeContext();
    ASSERT_NE(nullptr, context);
    auto fill = [&](const std::vector<UCHAR>& bytes)
    {
        auto& iso = context->Urb->UrbIsochronousTransfer;
        iso.NumberOfPackets = 10;
        for (ULONG i = 0; i < 10; ++i)
        {
            iso.IsoPacket[i].Offset = i * 196;
            iso.IsoPacket[i].Length = 0;
            iso.IsoPacket[i].Status = USBD_STATUS_ISOCH_REQUEST_FAILED;
        }
        iso.IsoPacket[0].Length = (ULONG)bytes.size();
        iso.IsoPacket[0].Status = USBD_STATUS_SUCCESS;
        memcpy(context->Buffer, bytes.data(), bytes.size());
    };
    fill({1, 2, 3, 4, 5, 6, 7});
    rig->Stream()->ProcessCapturedData(context);
    EXPECT_EQ(std::vector<UCHAR>({1, 2, 3, 4}), client.Captured);
    EXPECT_EQ(std::vector<ULONG>({4}), client.ByteCounts);
    fill({8, 9, 10, 11, 12});
    rig->Stream()->ProcessCapturedData(context);
    EXPECT_EQ(std::vector<UCHAR>({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}), client.Captured);
    EXPECT_EQ(std::vector<ULONG>({4, 8}), client.ByteCounts);
    // Three bytes only: no record at all.
    fill({13, 14, 15});
    rig->Stream()->ProcessCapturedData(context);
    EXPECT_EQ(std::vector<ULONG>({4, 8}), client.ByteCounts);
    rig->Stream()->GiveContext(context);
    rig->Leave(&client);
}

TEST(Audio1Capture, CapturedFramesRunThroughTheChainBeforeTheClientSeesThem)
{
    auto rig = MicRig();
    ASSERT_TRUE(rig->Ok());
    auto node = new (NonPagedPool, kStreamTestTag) GainNode(-1.0f);
    node->AddRef();
    ASSERT_EQ(STATUS_SUCCESS, rig->Stream()->AddProcessingNode(node));
    RecordingClient client;
    ASSERT_EQ(STATUS_SUCCESS, rig->Register(&client, PcmFormat(1, 48000, 16), 10, 2));
    ASSERT_EQ(STATUS_SUCCESS, rig->OpenAndStart(&client));
    EmuAdvanceMs(1000);
    const std::vector<USHORT> words = Words(client.Captured);
    ASSERT_GE(words.size(), 900u * 48);
    // Negated, with -32768 saturating to 32767.
    for (size_t i = 0; i < words.size(); ++i)
    {
        const int negated = -(int)(SHORT)(USHORT)i;
        ASSERT_EQ((SHORT)std::min(negated, 32767), (SHORT)words[i]) << i;
    }
    rig->Leave(&client);
    node->Release();
}
} // namespace
