// The audio class 1.0 streams on the simulated devices, on virtual time:
// setting and rate selection, render URBs through the chain, the capture
// ring (size, wrap, silence for empty packets, partial frames), a known IN
// pattern intact over minutes, and what the streams refuse.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "platform/kernel/emu.h"
#include "tests/streaming/usb/usb_audio1_rig.h"

namespace
{
using CaptureRig = Audio1Rig<TestCapture>;
using RenderRig = Audio1Rig<CUsbAudio1Render>;

// The speaker-and-microphone device's mono microphone, 48 kHz.
std::unique_ptr<CaptureRig> MicRig(float gain = 1.0f)
{
    return std::make_unique<CaptureRig>(
        SimCreateReferenceDevice(SimReference::Uac1SpeakerMic), SimRef1::RecInterface,
        STREAM_DIRECTION_CAPTURE,
        std::vector<std::pair<WAVEFORMATEXTENSIBLE, UCHAR>>{{PcmRecord(1, 48000, 16), 1}}, gain);
}

// The 7.1 device's stereo capture, continuous rates up to 48 kHz.
std::unique_ptr<CaptureRig> StereoRig(USHORT maxPacket = 196)
{
    return std::make_unique<CaptureRig>(
        DeviceWithPacketSize(SimReference::Uac1Surround71, SimRef2::RecEndpoint, maxPacket),
        SimRef2::RecInterface, STREAM_DIRECTION_CAPTURE,
        std::vector<std::pair<WAVEFORMATEXTENSIBLE, UCHAR>>{{PcmRecord(2, 48000, 16), 1},
                                                            {PcmRecord(2, 44100, 16), 1}});
}

// The sampling-frequency requests the device received.
std::vector<std::string> RateRequests(SimUsbDevice* device)
{
    std::vector<std::string> seen;
    for (const SimRequestRecord& record : device->Log())
        if (record.Setup.bmRequestType == 0x22 && record.Setup.bRequest == 0x01)
            seen.push_back(record.Text());
    return seen;
}

// The completions whose frames came in two pieces; every one has one or two.
std::vector<std::vector<DataPiece>> SplitCompletions(const RecordingClient& client)
{
    EXPECT_TRUE(client.CountsAreSums);
    std::vector<std::vector<DataPiece>> split;
    for (const std::vector<DataPiece>& pieces : client.Completions)
    {
        EXPECT_TRUE(pieces.size() == 1 || pieces.size() == 2);
        if (pieces.size() == 2)
            split.push_back(pieces);
    }
    return split;
}

// Frames [from, to) of the 7.1 device's stereo counter (frame f carries
// 2f and 2f + 1), counting from frame `first`.
void ExpectCounterFrames(const std::vector<USHORT>& words, size_t from, size_t to, ULONG first)
{
    ASSERT_LE(2 * to, words.size());
    for (size_t f = from; f < to; ++f)
    {
        ASSERT_EQ((USHORT)(2 * (first + f - from)), words[2 * f]) << f;
        ASSERT_EQ((USHORT)(2 * (first + f - from) + 1), words[2 * f + 1]) << f;
    }
}

TEST(Audio1Render, EachFormatSelectsItsSettingAndRateAndSendsTheChainsOutput)
{
    struct Case
    {
        USHORT Bits;
        ULONG Rate;
        int Setting;
        const char* Request;
        ULONG PacketBytes;
        bool Stall; // a device that refuses the rate still streams
    };
    const Case cases[] = {
        {16, 48000, 1, "22 01 0100 0001 0003 < 80 BB 00", 192, false},
        {16, 44100, 1, "22 01 0100 0001 0003 < 44 AC 00", 176, false},
        {24, 48000, 2, "22 01 0100 0001 0003 < 80 BB 00", 288, false},
        {16, 48000, 1, "22 01 0100 0001 0003 < 80 BB 00 STALL", 192, true},
    };
    for (const Case& c : cases)
    {
        RenderRig rig(SimCreateReferenceDevice(SimReference::Uac1SpeakerMic),
                      SimRef1::PlayInterface, STREAM_DIRECTION_RENDER,
                      {{PcmRecord(2, 48000, 16), 1},
                       {PcmRecord(2, 44100, 16), 1},
                       {PcmRecord(2, 48000, 24), 2}},
                      0.5f);
        ASSERT_TRUE(rig.Ok());
        if (c.Stall)
            rig.Device()->InjectControlFault({0x22, 0x01, 0x0100, 0x01}, SimFaultKind::Stall);
        RecordingClient wave;
        ASSERT_EQ(STATUS_SUCCESS, rig.Start(&wave, PcmFormat(2, c.Rate, c.Bits), 5, 3));
        EXPECT_EQ(c.Setting, rig.Device()->AlternateSetting(SimRef1::PlayInterface));
        EXPECT_EQ(std::vector<std::string>({c.Request}), RateRequests(rig.Device()));
        EXPECT_EQ(1, rig.Adapter().Adapter()->GetActiveStreamCount());
        EmuAdvanceMs(50);
        const SimOutRecord& out = rig.Device()->Streaming().OutRecord(SimRef1::PlayEndpoint);
        ASSERT_GE(out.Packets.size(), 40u);
        EXPECT_EQ(c.PacketBytes, out.Packets[0].Length);
        // The client's 16-bit counter, halved toward zero by the node.
        for (size_t i = 0; c.Bits == 16 && i < out.Data.size() / 2; ++i)
        {
            const SHORT word = (SHORT)(out.Data[2 * i] | out.Data[2 * i + 1] << 8);
            ASSERT_EQ((SHORT)((SHORT)i / 2), word) << i;
        }
        rig.Leave(&wave);
        EXPECT_EQ(0, rig.Device()->AlternateSetting(SimRef1::PlayInterface));
        EXPECT_EQ(0, rig.Adapter().Adapter()->GetActiveStreamCount());
    }
}

// A selection that cannot be made fails, named: a setting the configuration
// does not describe leaves the preparation refused and the interface unused,
// and a stream never given its device selects nothing.
TEST(Audio1Render, ASettingThatCannotBeSelectedFailsTheOpen)
{
    RenderRig rig(SimCreateReferenceDevice(SimReference::Uac1SpeakerMic), SimRef1::PlayInterface,
                  STREAM_DIRECTION_RENDER, {{PcmRecord(2, 48000, 16), 3}});
    ASSERT_TRUE(rig.Ok());
    RecordingClient wave;
    ASSERT_EQ(STATUS_SUCCESS, rig.Register(&wave, PcmFormat(2, 48000, 16), 5, 3));
    ULONG ms = 0, frame = 0;
    EmuDbgClear();
    EXPECT_EQ(STATUS_INVALID_PARAMETER, rig.Control()->OpenClient(wave.Key(), &ms, &frame));
    EXPECT_EQ(std::vector<std::string>{"UsbAudio: AudioStreaming interface 1 alternate setting 3 "
                                       "not selected: the configuration describes no such "
                                       "AudioStreaming setting: 0xC000000D\n"},
              EmuDbgOutput());
    EXPECT_EQ(0, rig.Adapter().Adapter()->GetActiveStreamCount());
    EXPECT_EQ(STATUS_SUCCESS, rig.Control()->UnregisterClient(wave.Key()));
    auto alone = new (NonPagedPool, kStreamTestTag) CUsbAudio1Render(nullptr, 1, 0x66);
    alone->AddRef();
    EmuDbgClear();
    EXPECT_EQ(STATUS_UNSUCCESSFUL, alone->SelectInterface(1, nullptr));
    EXPECT_EQ(std::vector<std::string>{"UsbAudio: AudioStreaming interface 1 alternate setting 1 "
                                       "not selected: the stream reaches no USB device: "
                                       "0xC0000001\n"},
              EmuDbgOutput());
    EXPECT_EQ(0u, alone->Release());
}

// An 8-bit stream of two's-complement samples flips the top bit of every
// byte: the client's counter goes out flipped, and what no client fills goes
// out as the device's silence (0x00; 0x80 for unsigned samples, unflipped).
TEST(Audio1Render, EightBitSamplesGoOutWithTheDevicesSign)
{
    for (const WireSampleSign sign : {WireSampleSign::TwosComplement, WireSampleSign::Unsigned})
        for (const bool fills : {true, false})
        {
            const UCHAR flip = sign == WireSampleSign::TwosComplement ? 0x80 : 0x00;
            RenderRig rig(SimCreateReferenceDevice(SimReference::Uac1SpeakerMic),
                          SimRef1::PlayInterface, STREAM_DIRECTION_RENDER,
                          {{PcmRecord(2, 48000, 8), 1}}, 1.0f, sign);
            ASSERT_TRUE(rig.Ok());
            RecordingClient wave;
            wave.FillsRender = fills;
            ASSERT_EQ(STATUS_SUCCESS, rig.Start(&wave, PcmFormat(2, 48000, 8), 5, 3));
            EmuAdvanceMs(50);
            const SimOutRecord& out = rig.Device()->Streaming().OutRecord(SimRef1::PlayEndpoint);
            ASSERT_GE(out.Data.size(), 40u * 96);
            for (size_t i = 0; i < out.Data.size(); ++i)
            {
                const USHORT word = (USHORT)(i / 2);
                const UCHAR sent = fills ? (UCHAR)(i % 2 != 0 ? word >> 8 : word) : 0x80;
                ASSERT_EQ((UCHAR)(sent ^ flip), out.Data[i]) << i << " " << fills;
            }
            rig.Leave(&wave);
        }
}

TEST(Audio1Capture, AClientWithLessThanTenMillisecondsInFlightGetsMoreUrbs)
{
    const ULONG cases[][3] = {{1, 1, 10}, {3, 1, 4}, {4, 2, 3}, {4, 3, 3},
                              {5, 1, 2},  {9, 1, 2}, {10, 1, 1}};
    for (const auto& c : cases)
    {
        auto rig = MicRig();
        RecordingClient client;
        ASSERT_EQ(STATUS_SUCCESS, rig->Start(&client, PcmFormat(1, 48000, 16), c[0], c[1]));
        EXPECT_EQ(c[2], client.Record->UrbCount) << c[0] << " ms x " << c[1];
        EXPECT_EQ(c[2], rig->Stream()->UrbsInFlight()) << c[0] << " ms x " << c[1];
        rig->Leave(&client);
    }
}

TEST(Audio1Capture, TheRingHoldsFortyMillisecondsAndAlwaysMoreThanOneUrbInWholeFrames)
{
    const ULONG cases[][5] = {
        // channels, rate, ms per URB, ring bytes, packet stride
        {2, 48000, 10, 7680, 196},    {2, 44100, 10, 7056, 196},
        {1, 48000, 10, 3840, 98},     {2, 48000, 39, 7680, 196}, // 7644 bytes of URB: below 40 ms
        {2, 48000, 40, 7844, 196},                               // 7840 bytes of URB and one frame
        {1, 48000, 40, 3922, 98},     {2, 48000, 50, 9804, 196},
        {1, 48000, 5448, 533906, 98}, // the most packets a URB's length can describe
        {1, 48000, 5449, 0, 0},       // one more is refused (no ring)
    };
    for (const auto& c : cases)
    {
        auto rig = c[0] == 2 ? StereoRig() : MicRig();
        RecordingClient client;
        ASSERT_EQ(STATUS_SUCCESS,
                  rig->Register(&client, PcmFormat((USHORT)c[0], c[1], 16), c[2], 1));
        ULONG ms = 0, frame = 0;
        ASSERT_EQ(c[3] != 0 ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER,
                  rig->Control()->OpenClient(client.Key(), &ms, &frame));
        EXPECT_EQ(c[3], rig->Stream()->RingSize()) << c[1] << " Hz, " << c[2] << " ms";
        EXPECT_TRUE(c[3] == 0 || c[4] == rig->Stream()->Stride());
        rig->Leave(&client);
        EXPECT_EQ(nullptr, rig->Stream()->Ring());
    }
}

TEST(Audio1Capture, EndpointsThatCannotCarryTheStreamAreRefusedAtSettingZero)
{
    struct Case
    {
        bool OnSpeakerInterface; // whose only pipe is OUT
        USHORT MaxPacket;        // below one frame of 4 bytes
    };
    for (const Case& c : {Case{true, 196}, Case{false, 3}})
    {
        auto rig = c.OnSpeakerInterface
                       ? std::make_unique<CaptureRig>(
                             SimCreateReferenceDevice(SimReference::Uac1SpeakerMic),
                             SimRef1::PlayInterface, STREAM_DIRECTION_CAPTURE,
                             std::vector<std::pair<WAVEFORMATEXTENSIBLE, UCHAR>>{
                                 {PcmRecord(2, 48000, 16), 1}})
                       : StereoRig(c.MaxPacket);
        RecordingClient client;
        ASSERT_EQ(STATUS_SUCCESS, rig->Register(&client, PcmFormat(2, 48000, 16), 10, 1));
        ULONG ms = 0, frame = 0;
        const SIZE_T urbBlocks = EmuPoolOutstandingCount(USB_STREAM_URB_POOL_TAG);
        EXPECT_EQ(STATUS_DEVICE_CONFIGURATION_ERROR,
                  rig->Control()->OpenClient(client.Key(), &ms, &frame));
        EXPECT_EQ(USB_STREAM_CLOSED, rig->Stream()->State());
        EXPECT_EQ(urbBlocks, EmuPoolOutstandingCount(USB_STREAM_URB_POOL_TAG));
        EXPECT_EQ(0, rig->Device()->AlternateSetting(2 - c.OnSpeakerInterface));
        EXPECT_EQ(0, rig->Adapter().Adapter()->GetActiveStreamCount());
        EXPECT_TRUE(RateRequests(rig->Device()).empty());
        EXPECT_EQ(STATUS_SUCCESS, rig->Control()->UnregisterClient(client.Key()));
    }
}

// The capture reads its setting's data endpoint, not the IN synch endpoint
// it names, which stands after it; a setting whose data endpoint runs OUT
// has none a capture reads, its IN synch endpoint none the less; one the
// bus opens fewer pipes of than it declares is refused. Each refusal is named.
TEST(Audio1Capture, ReadsTheSettingsDataEndpointOnly)
{
    constexpr UCHAR kSynch = 0x84, kDataOut = 0x02;
    for (const auto& [data, declared, open, said] :
         {std::tuple<UCHAR, UCHAR, NTSTATUS, std::string>{SimRef1::RecEndpoint, 2, STATUS_SUCCESS,
                                                          ""},
          {kDataOut, 2, STATUS_DEVICE_CONFIGURATION_ERROR,
           "no IN pipe of the 2 the bus opened is its data endpoint 0x02: 0xC0000182"},
          {SimRef1::RecEndpoint, 3, STATUS_INVALID_PARAMETER,
           "the bus refused to open its 3 pipe(s): 0xC000000D"}})
    {
        DeviceBytes bytes = ReferenceBytes(SimReference::Uac1SpeakerMic);
        auto& cfg = bytes.Configuration;
        size_t setting = 0, endpoint = 0; // the microphone's, the last of the configuration
        for (size_t at = 0; at < cfg.size(); at += cfg[at])
        {
            setting = cfg[at + 1] == USB_INTERFACE_DESCRIPTOR_TYPE ? at : setting;
            endpoint = cfg[at + 1] == USB_ENDPOINT_DESCRIPTOR_TYPE ? at : endpoint;
        }
        cfg[setting + 4] = declared;
        cfg[endpoint + 2] = data;
        cfg[endpoint + 8] = kSynch;
        cfg.insert(cfg.end(), {9, 5, kSynch, 0x01, 3, 0, 1, 5, 0});
        cfg[2] = (UCHAR)cfg.size();
        cfg[3] = (UCHAR)(cfg.size() >> 8);
        CaptureRig rig(MakeSimDevice(bytes), SimRef1::RecInterface, STREAM_DIRECTION_CAPTURE,
                       {{PcmRecord(1, 48000, 16), 1}});
        ASSERT_TRUE(rig.Ok());
        RecordingClient client;
        EmuDbgClear();
        EXPECT_EQ(open, rig.Start(&client, PcmFormat(1, 48000, 16), 10, 2)) << (int)data;
        EXPECT_EQ(said.empty() ? std::vector<std::string>{}
                               : std::vector<std::string>{"UsbAudio: AudioStreaming interface 2 "
                                                          "alternate setting 1 not selected: " +
                                                          said + "\n"},
                  EmuDbgOutput());
        EmuAdvanceMs(50);
        EXPECT_EQ(NT_SUCCESS(open), rig.Device()->Streaming().PacketCount(data) >= 40);
        EXPECT_EQ(0u, rig.Device()->Streaming().PacketCount(kSynch)) << (int)data;
        rig.Leave(&client);
    }
}

TEST(Audio1Capture, RefusedPreparationsLeaveThePreparedStreamAsItIs)
{
    auto rig = MicRig();
    RecordingClient client;
    ASSERT_EQ(STATUS_SUCCESS, rig->Register(&client, PcmFormat(1, 48000, 16), 10, 3));
    ULONG ms = 0, frame = 0;
    ASSERT_EQ(STATUS_SUCCESS, rig->Control()->OpenClient(client.Key(), &ms, &frame));
    PUCHAR ring = rig->Stream()->Ring();
    // Records the registration would refuse, and a sound one while prepared.
    const struct
    {
        ULONG Ms;
        USHORT BlockAlign;
        NTSTATUS Expected;
    } cases[] = {{0, 2, STATUS_INVALID_PARAMETER},
                 {10, 0, STATUS_INVALID_PARAMETER},
                 {1, 2, STATUS_INSUFFICIENT_RESOURCES}};
    for (const auto& c : cases)
    {
        StreamClient other = *client.Record;
        other.MsPerUrb = c.Ms;
        other.UrbCount = 1;
        other.Format.Format.nBlockAlign = c.BlockAlign;
        EXPECT_EQ(c.Expected, rig->Stream()->PrepareStream(&other, &frame));
        EXPECT_EQ(1u, other.UrbCount);
        EXPECT_EQ(ring, rig->Stream()->Ring());
        EXPECT_EQ(3u, rig->Stream()->UrbsInFlight());
    }
    ASSERT_EQ(STATUS_SUCCESS, rig->Control()->StartClient(client.Key(), frame + 2, &ms, nullptr));
    EmuAdvanceMs(50);
    EXPECT_GE(client.Captured.size(), 40u * 48);
    rig->Leave(&client);
}

TEST(Audio1Capture, TheMicrophonesCounterArrivesIntactOverThreeMinutes)
{
    auto rig = MicRig();
    RecordingClient client;
    ASSERT_EQ(STATUS_SUCCESS, rig->Start(&client, PcmFormat(1, 48000, 16), 10, 2));
    EXPECT_EQ(std::vector<std::string>({"22 01 0100 0082 0003 < 80 BB 00"}),
              RateRequests(rig->Device()));
    EmuAdvanceMs(180000);
    // Every frame of every millisecond but those of the URBs in flight.
    ASSERT_GE(client.Captured.size(), (180000u - 30) * 48);
    for (size_t i = 0; i < client.Captured.size(); ++i)
        ASSERT_EQ((USHORT)i, client.Captured[i]) << i;
    EXPECT_TRUE(SplitCompletions(client).empty()); // 40 ms of ring take four whole URBs
    rig->Leave(&client);
}

// Also when the request comes back successful and only the URB's own
// status tells of the failure.
TEST(Audio1Capture, AFailedUrbRecoversWithTheInterfaceCountedOnce)
{
    for (bool irpSucceeds : {false, true})
    {
        auto rig = MicRig();
        rig->Adapter().Script().IsochIrpSucceeds = irpSucceeds;
        // Every packet of the fifth URB fails: the URB fails, the stream recovers.
        rig->Device()->Streaming().InjectPacketError(SimRef1::RecEndpoint, 40,
                                                     USBD_STATUS_DEV_NOT_RESPONDING, 10);
        RecordingClient client;
        ASSERT_EQ(STATUS_SUCCESS, rig->Start(&client, PcmFormat(1, 48000, 16), 10, 2));
        EmuAdvanceMs(500);
        EXPECT_EQ(1, rig->Adapter().Adapter()->GetActiveStreamCount());
        // Selected again, the device counts from 0 again; nothing else is lost.
        const std::vector<USHORT>& words = client.Captured;
        const size_t restart = std::find(words.begin() + 1, words.end(), 0) - words.begin();
        ASSERT_GE(restart, 40u * 48) << irpSucceeds;
        ASSERT_GE(words.size(), restart + 200 * 48) << irpSucceeds;
        for (size_t i = 0; i < words.size(); ++i)
            ASSERT_EQ((USHORT)(i < restart ? i : i - restart), words[i]) << i;
        rig->Leave(&client);
        EXPECT_EQ(0, rig->Adapter().Adapter()->GetActiveStreamCount());
    }
}

TEST(Audio1Capture, FramesAcrossTheRingsEndComeAsTwoProcessedRecordsThenOneCount)
{
    auto rig = MicRig(-1.0f);
    RecordingClient client;
    // 288 bytes a URB do not divide the 3840-byte ring.
    ASSERT_EQ(STATUS_SUCCESS, rig->Start(&client, PcmFormat(1, 48000, 16), 3, 4));
    EmuAdvanceMs(200);
    const auto split = SplitCompletions(client);
    EXPECT_GE(split.size(), 3u);
    for (const std::vector<DataPiece>& pieces : split)
    {
        EXPECT_EQ(rig->Stream()->Ring() + 3840, pieces[0].Buffer + pieces[0].Bytes);
        EXPECT_EQ(rig->Stream()->Ring(), pieces[1].Buffer);
        EXPECT_EQ(288u, pieces[0].Bytes + pieces[1].Bytes);
    }
    // Negated by the chain, -32768 saturating to 32767.
    ASSERT_GE(client.Captured.size(), 180u * 48);
    for (size_t i = 0; i < client.Captured.size(); ++i)
        ASSERT_EQ((SHORT)std::min(-(SHORT)i, 32767), (SHORT)client.Captured[i]) << i;
    rig->Leave(&client);
}

TEST(Audio1Capture, AnEmptyPacketBecomesSilenceWithinItsShareOfTheBuffer)
{
    struct Case
    {
        USHORT MaxPacket;
        ULONG EmptyPacket, SilentFrames; // packets before it carry 44 frames
    };
    // At 44.1 kHz the silence is 45 frames; an endpoint sized for the nominal
    // 44 frames gives each packet 176 bytes, and the silence stays in them.
    for (const Case& c : {Case{196, 7, 45}, Case{176, 3, 44}})
    {
        auto rig = StereoRig(c.MaxPacket);
        rig->Device()->Streaming().InjectInPacketShape(SimRef2::RecEndpoint, c.EmptyPacket,
                                                       SimPacketShape::Empty);
        RecordingClient client;
        ASSERT_EQ(STATUS_SUCCESS, rig->Start(&client, PcmFormat(2, 44100, 16), 10, 2));
        EXPECT_EQ(c.SilentFrames * 4, rig->Stream()->Silence());
        EmuAdvanceMs(100);
        const size_t before = 44 * c.EmptyPacket, after = before + c.SilentFrames;
        ExpectCounterFrames(client.Captured, 0, before, 0);
        EXPECT_TRUE(std::all_of(client.Captured.begin() + 2 * before,
                                client.Captured.begin() + 2 * after, [](USHORT w) { return !w; }));
        // The device's counter goes on where it stopped, the next packet whole.
        ExpectCounterFrames(client.Captured, after, after + 1000, (ULONG)before);
        rig->Leave(&client);
    }
}

// The device's 8-bit samples reach the client in the engine's coding, top
// bit flipped for two's complement; an empty packet is the engine's silence
// (0x80) either way.
TEST(Audio1Capture, EightBitSamplesComeInTheEnginesCodingAndSilence)
{
    for (const WireSampleSign sign : {WireSampleSign::TwosComplement, WireSampleSign::Unsigned})
    {
        const UCHAR flip = sign == WireSampleSign::TwosComplement ? 0x80 : 0x00;
        // The microphone's 16-bit counter read as 8-bit mono: 96 bytes a packet.
        CaptureRig rig(SimCreateReferenceDevice(SimReference::Uac1SpeakerMic),
                       SimRef1::RecInterface, STREAM_DIRECTION_CAPTURE,
                       {{PcmRecord(1, 48000, 8), 1}}, 1.0f, sign);
        ASSERT_TRUE(rig.Ok());
        rig.Device()->Streaming().InjectInPacketShape(SimRef1::RecEndpoint, 3,
                                                      SimPacketShape::Empty);
        RecordingClient client;
        ASSERT_EQ(STATUS_SUCCESS, rig.Start(&client, PcmFormat(1, 48000, 8), 10, 2));
        EmuAdvanceMs(100);
        std::vector<UCHAR> expected;
        for (USHORT k = 0; k < 48 * 60; ++k)
        {
            if (k == 3 * 48)
                expected.insert(expected.end(), 49, 0x80);
            expected.push_back((UCHAR)(k ^ flip));
            expected.push_back((UCHAR)((k >> 8) ^ flip));
        }
        ASSERT_GE(client.CapturedBytes.size(), expected.size());
        EXPECT_TRUE(std::equal(expected.begin(), expected.end(), client.CapturedBytes.begin()));
        rig.Leave(&client);
    }
}

TEST(Audio1Capture, APartialFrameWaitsInTheRingForItsRest)
{
    auto rig = StereoRig();
    RecordingClient client;
    ASSERT_EQ(STATUS_SUCCESS, rig->Register(&client, PcmFormat(2, 48000, 16), 10, 1));
    ULONG ms = 0, frame = 0;
    ASSERT_EQ(STATUS_SUCCESS, rig->Control()->OpenClient(client.Key(), &ms, &frame));
    // Completions handed in by hand: packet 0 brings the bytes, the other
    // nine failed with nothing.
    PTRANSFERCONTEXT context = rig->Stream()->TakeContext();
    ASSERT_NE(nullptr, context);
    const std::vector<std::vector<UCHAR>> completions = {{1, 0, 2, 0, 3, 0, 4}, {0, 5, 0}, {6}};
    for (const std::vector<UCHAR>& bytes : completions)
    {
        auto& iso = context->Urb->UrbIsochronousTransfer;
        iso.NumberOfPackets = 10;
        for (ULONG i = 0; i < 10; ++i)
            iso.IsoPacket[i] = {i * 196, 0, USBD_STATUS_ISOCH_REQUEST_FAILED};
        iso.IsoPacket[0] = {0, (ULONG)bytes.size(), USBD_STATUS_SUCCESS};
        memcpy(context->Buffer, bytes.data(), bytes.size());
        rig->Stream()->ProcessCapturedData(context);
    }
    EXPECT_EQ(std::vector<ULONG>({4, 4}), client.ByteCounts);
    EXPECT_EQ(std::vector<USHORT>({1, 2, 3, 4}), client.Captured);
    rig->Stream()->GiveContext(context);
    rig->Leave(&client);
}
} // namespace
