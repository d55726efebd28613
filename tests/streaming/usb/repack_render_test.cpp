// The two-channel repacking render on the speaker-and-microphone device:
// each client frame of N channels reaches the device as its channels 0 and
// 1, the packets shrink by N / 2 while the client is told the bytes of its
// own format, and formats with no whole number of device frames per client
// frame are refused before anything is prepared.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/kernel/emu.h"
#include "streaming/usb/usb_audio_repack_render.h"
#include "tests/streaming/usb/usb_audio1_rig.h"

namespace
{
using RepackRig = Audio1Rig<CRV4410Render>;

// Fills every render buffer with a 16-bit counter and keeps the byte
// counts its completions report.
struct CountingClient
{
    static void Callback(PVOID context, PVOID argument1, PVOID)
    {
        auto self = static_cast<CountingClient*>(context);
        auto record = static_cast<StreamNotification*>(argument1);
        if (record->Client != nullptr && record->Client != self->Record)
            return;
        if (record->Type == STREAM_NOTIFY_RENDER_DATA)
        {
            auto words = static_cast<USHORT*>(record->Data.Buffer);
            for (ULONG i = 0; i < record->Data.Bytes / 2; ++i)
                words[i] = self->Next++;
        }
        else if (record->Type == STREAM_NOTIFY_BYTES)
            self->Played.push_back(record->Bytes);
    }
    PVOID Key() const { return Record->Registration; }
    PSTREAMCLIENT Record = nullptr;
    USHORT Next = 0;
    std::vector<ULONG> Played;
};

// The stream on the device's playback interface, with the format on the
// setting of its sample size.
std::unique_ptr<RepackRig> RigFor(const WAVEFORMATEXTENSIBLE& format, UCHAR setting)
{
    return std::make_unique<RepackRig>(
        SimCreateReferenceDevice(SimReference::Uac1SpeakerMic), SimRef1::PlayInterface,
        STREAM_DIRECTION_RENDER,
        std::vector<std::pair<WAVEFORMATEXTENSIBLE, UCHAR>>{{format, setting}});
}

NTSTATUS Start(RepackRig& rig, CountingClient* client, const WAVEFORMATEX& format)
{
    WAVEFORMATEX copy = format;
    ULONG ms = 0, frame = 0;
    NTSTATUS status =
        rig.Control()->RegisterClient(STREAM_CLIENT_KIND_WAVE_CYCLIC, &copy, 5, 3,
                                      CountingClient::Callback, client, &client->Record);
    if (NT_SUCCESS(status))
        status = rig.Control()->OpenClient(client->Key(), &ms, &frame);
    if (NT_SUCCESS(status))
        status = rig.Control()->StartClient(client->Key(), frame + USB_STREAM_START_LEAD_FRAMES,
                                            &ms, nullptr);
    return status;
}

void Leave(RepackRig& rig, CountingClient* client)
{
    rig.Control()->StopClient(client->Key(), nullptr);
    rig.Control()->CloseClient(client->Key());
    EXPECT_EQ(STATUS_SUCCESS, rig.Control()->UnregisterClient(client->Key()));
}
} // namespace

// 16-bit streams of 2, 4, 6 and 8 channels at 48 kHz, full speed: every
// packet carries 48 device frames of 4 bytes, which are the counter's words
// f x N and f x N + 1 of client frame f; the client is told 48 x 2N bytes
// per packet (6 channels: 576).
TEST(RepackRender, EachFrameKeepsItsFirstTwoChannelsAndTheClientHearsItsOwnBytes)
{
    for (USHORT channels : {2, 4, 6, 8})
    {
        auto rig = RigFor(PcmRecord(channels, 48000, 16), 1);
        ASSERT_TRUE(rig->Ok()) << channels;
        CountingClient client;
        ASSERT_EQ(STATUS_SUCCESS, Start(*rig, &client, PcmFormat(channels, 48000, 16)));
        EmuAdvanceMs(40);
        const SimOutRecord& out = rig->Device()->Streaming().OutRecord(SimRef1::PlayEndpoint);
        ASSERT_GE(out.Packets.size(), 20u) << channels;
        for (const SimPacketRecord& packet : out.Packets)
            ASSERT_EQ(192u, packet.Length) << channels;
        ASSERT_EQ(192u * out.Packets.size(), out.Data.size());
        for (size_t f = 0; f < out.Data.size() / 4; ++f)
        {
            const USHORT left = (USHORT)(out.Data[4 * f] | out.Data[4 * f + 1] << 8);
            const USHORT right = (USHORT)(out.Data[4 * f + 2] | out.Data[4 * f + 3] << 8);
            ASSERT_EQ((USHORT)(f * channels), left) << channels << " frame " << f;
            ASSERT_EQ((USHORT)(f * channels + 1), right) << channels << " frame " << f;
        }
        // Each URB of 5 packets: the client's own bytes.
        ASSERT_FALSE(client.Played.empty());
        for (ULONG bytes : client.Played)
            EXPECT_EQ(5u * 48 * 2 * channels, bytes) << channels;
        Leave(*rig, &client);
    }
}

// 24-bit samples move as 3-byte pairs: device frame f is bytes 0 to 5 of
// client frame f (8 channels, 24 bytes each).
TEST(RepackRender, ThreeByteSamplesMoveAsSixBytesPerFrame)
{
    auto rig = RigFor(PcmRecord(8, 48000, 24), 2);
    ASSERT_TRUE(rig->Ok());
    CountingClient client;
    ASSERT_EQ(STATUS_SUCCESS, Start(*rig, &client, PcmFormat(8, 48000, 24)));
    EmuAdvanceMs(20);
    const SimOutRecord& out = rig->Device()->Streaming().OutRecord(SimRef1::PlayEndpoint);
    ASSERT_GE(out.Packets.size(), 10u);
    EXPECT_EQ(288u, out.Packets[0].Length);
    for (size_t f = 0; f < out.Data.size() / 6; ++f)
        for (size_t b = 0; b < 6; ++b)
        {
            // Byte b of client frame f is byte b % 2 of counter word 12f + b / 2.
            const USHORT word = (USHORT)(12 * f + b / 2);
            ASSERT_EQ((UCHAR)(b % 2 == 0 ? word : word >> 8), out.Data[6 * f + b]) << f << " " << b;
        }
    Leave(*rig, &client);
}

// One channel (k would be 0) and odd counts (the lengths would not divide)
// are refused at preparation, and nothing is selected or sent.
TEST(RepackRender, OddOrSingleChannelFormatsAreRefused)
{
    for (USHORT channels : {1, 3, 5, 7})
    {
        auto rig = RigFor(PcmRecord(channels, 48000, 16), 1);
        ASSERT_TRUE(rig->Ok());
        CountingClient client;
        EXPECT_EQ(STATUS_INVALID_PARAMETER, Start(*rig, &client, PcmFormat(channels, 48000, 16)))
            << channels;
        EmuAdvanceMs(10);
        EXPECT_EQ(0, rig->Device()->AlternateSetting(SimRef1::PlayInterface)) << channels;
        EXPECT_TRUE(rig->Device()->Streaming().OutRecord(SimRef1::PlayEndpoint).Data.empty());
        EXPECT_EQ(STATUS_SUCCESS, rig->Control()->UnregisterClient(client.Key()));
    }
}

// The repack of each sample size against a plain frame-by-frame copy, for
// 2 to 8 channels; 32-bit pairs included, which the device has no setting for.
TEST(RepackRender, RepackOfEachSampleSizeMatchesAFrameByFrameCopy)
{
    EXPECT_EQ(nullptr, RepackFramesFor(1));
    EXPECT_EQ(nullptr, RepackFramesFor(5));
    for (ULONG sample : {2u, 3u, 4u})
        for (ULONG channels : {2u, 4u, 6u, 8u})
        {
            const ULONG frames = 37, block = sample * channels;
            std::vector<UCHAR> buffer(frames * block);
            for (size_t i = 0; i < buffer.size(); ++i)
                buffer[i] = (UCHAR)(i * 7 + 3);
            std::vector<UCHAR> expected = buffer;
            for (ULONG f = 0; f < frames; ++f)
                memmove(&expected[f * 2 * sample], &buffer[f * block], 2 * sample);
            PREPACK_FRAMES repack = RepackFramesFor(sample);
            ASSERT_NE(nullptr, repack);
            repack(buffer.data(), frames, block);
            EXPECT_EQ(std::vector<UCHAR>(expected.begin(), expected.begin() + frames * 2 * sample),
                      std::vector<UCHAR>(buffer.begin(), buffer.begin() + frames * 2 * sample))
                << sample << " x " << channels;
        }
}
