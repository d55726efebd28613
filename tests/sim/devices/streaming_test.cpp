// The data endpoints of the simulated devices: what an IN endpoint sends per
// packet at its rate, the feedback a device clock reports, what an OUT
// endpoint records, status messages, and injected packet faults.
#include <gtest/gtest.h>

#include <cmath>

#include "sim/devices/reference_devices.h"

namespace
{
void Request(SimUsbDevice& d, UCHAR type, UCHAR request, USHORT value, USHORT index,
             std::vector<UCHAR> out = {})
{
    USB_DEFAULT_PIPE_SETUP_PACKET s{type, request, value, index, (USHORT)out.size()};
    UCHAR none = 0;
    ASSERT_EQ(d.ControlTransfer(s, out.empty() ? &none : out.data(), 0).Handshake,
              EmuUsbHandshake::Ack);
}

ULONG Feedback(SimUsbDevice& d, UCHAR endpoint, ULONG* length)
{
    UCHAR b[8] = {};
    EXPECT_EQ(d.IsochIn(endpoint, 0, 0, b, sizeof(b), length), USBD_STATUS_SUCCESS);
    return b[0] | b[1] << 8 | b[2] << 16 | (ULONG)b[3] << 24;
}
} // namespace

TEST(SimStreaming, CaptureFollowsTheRateWithACounterPattern)
{
    auto d = SimCreateReferenceDevice(SimReference::Uac1Surround71);
    Request(*d, 0x00, 9, 1, 0);
    Request(*d, 0x01, 11, 1, SimRef2::RecInterface);
    Request(*d, 0x22, 0x01, 0x0100, SimRef2::RecEndpoint, {0x44, 0xAC, 0x00}); // 44100 Hz
    UCHAR buffer[400];
    ULONG k = 0; // sample number across channels
    for (int packet = 0; packet < 20; ++packet)
    {
        ULONG length = 0;
        ASSERT_EQ(d->IsochIn(SimRef2::RecEndpoint, packet, 0, buffer, sizeof(buffer), &length),
                  USBD_STATUS_SUCCESS);
        // 44.1 samples per 1 ms frame: nine packets of 44 and one of 45.
        ULONG frames = packet % 10 == 9 ? 45 : 44;
        ASSERT_EQ(length, frames * 4) << "packet " << packet;
        for (ULONG i = 0; i < frames * 2; ++i, ++k)
            ASSERT_EQ(buffer[2 * i] | buffer[2 * i + 1] << 8, (int)(k & 0xFFFF));
    }
    // Shaped packets: one short by a frame, one empty; a failing one sends nothing.
    ULONG next = d->Streaming().PacketCount(SimRef2::RecEndpoint);
    d->Streaming().InjectInPacketShape(SimRef2::RecEndpoint, next, SimPacketShape::Short);
    d->Streaming().InjectInPacketShape(SimRef2::RecEndpoint, next + 1, SimPacketShape::Empty);
    d->Streaming().InjectPacketError(SimRef2::RecEndpoint, next + 2, USBD_STATUS_CRC);
    ULONG length = 0;
    EXPECT_EQ(d->IsochIn(SimRef2::RecEndpoint, 20, 0, buffer, sizeof(buffer), &length),
              USBD_STATUS_SUCCESS);
    EXPECT_EQ(length, 43u * 4);
    EXPECT_EQ(d->IsochIn(SimRef2::RecEndpoint, 21, 0, buffer, sizeof(buffer), &length),
              USBD_STATUS_SUCCESS);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(d->IsochIn(SimRef2::RecEndpoint, 22, 0, buffer, sizeof(buffer), &length),
              USBD_STATUS_CRC);
    EXPECT_EQ(length, 0u);
    // A buffer smaller than the packet bounds what is sent.
    EXPECT_EQ(d->IsochIn(SimRef2::RecEndpoint, 23, 0, buffer, 10, &length), USBD_STATUS_SUCCESS);
    EXPECT_EQ(length, 8u);
    // With the setting back at 0 the endpoint does not answer.
    Request(*d, 0x01, 11, 0, SimRef2::RecInterface);
    EXPECT_EQ(d->IsochIn(SimRef2::RecEndpoint, 24, 0, buffer, sizeof(buffer), &length),
              USBD_STATUS_DEV_NOT_RESPONDING);
}

TEST(SimStreaming, SineAtHighSpeedPerMicroframe)
{
    auto d = SimCreateReferenceDevice(SimReference::Uac2HighSpeed);
    Request(*d, 0x00, 9, 1, 0);
    Request(*d, 0x01, 11, 1, SimRef3::RecInterface);
    d->Streaming().SetInPattern(SimRef3::RecEndpoint, SimInPattern::Sine, 1000, 0.5);
    UCHAR buffer[100];
    std::vector<SHORT> left;
    for (int micro = 0; micro < 16; ++micro)
    {
        ULONG length = 0;
        ASSERT_EQ(d->IsochIn(SimRef3::RecEndpoint, micro / 8, micro % 8, buffer, 100, &length),
                  USBD_STATUS_SUCCESS);
        ASSERT_EQ(length, 44100u / 8000 * 4 + (length > 20 ? 4 : 0)); // 5 or 6 frames
        for (ULONG i = 0; i < length / 4; ++i)
            left.push_back((SHORT)(buffer[4 * i] | buffer[4 * i + 1] << 8));
    }
    // 16 microframes at 44.1 kHz hold 88 frames (5.5125 per microframe).
    ASSERT_EQ(left.size(), 88u);
    for (size_t n = 0; n < left.size(); ++n)
        EXPECT_NEAR(left[n], 0.5 * 32767 * sin(2 * M_PI * 1000 * n / 44100.0), 1.0);
}

TEST(SimStreaming, ResolutionWiderThanItsSubslotFillsTheSubslot)
{
    // The recording format claims 200 bits in its 2-byte subslot: the sine
    // is sent at 16 bits.
    const SimReferenceConfig& r = SimReferenceDescriptors(SimReference::Uac2HighSpeed);
    std::vector<UCHAR> config = r.Configuration;
    size_t recAlt = 0, format = 0;
    for (size_t pos = 0; pos + 1 < config.size(); pos += config[pos])
    {
        if (config[pos + 1] == USB_INTERFACE_DESCRIPTOR_TYPE)
            recAlt = config[pos + 2] == SimRef3::RecInterface && config[pos + 3] == 1 ? pos : 0;
        else if (recAlt != 0 && config[pos + 1] == USB_AUDIO_CS_INTERFACE &&
                 config[pos + 2] == USB_AUDIO_FORMAT_TYPE)
            format = pos;
    }
    ASSERT_NE(format, 0u);
    ASSERT_EQ(config[format + 4], 2); // subslot bytes
    config[format + 5] = 200;
    std::string error;
    auto d = SimUsbDevice::Create(r.Device, config, r.Strings, r.Speed, &error);
    ASSERT_NE(d, nullptr) << error;
    Request(*d, 0x00, 9, 1, 0);
    Request(*d, 0x01, 11, 1, SimRef3::RecInterface);
    d->Streaming().SetInPattern(SimRef3::RecEndpoint, SimInPattern::Sine, 1000, 0.5);
    const double rate = d->Audio().ClockRate(SimRef3::Clock);
    ASSERT_EQ(rate, 48000.0);
    UCHAR buffer[100];
    ULONG length = 0;
    ASSERT_EQ(d->IsochIn(SimRef3::RecEndpoint, 0, 0, buffer, sizeof(buffer), &length),
              USBD_STATUS_SUCCESS);
    ASSERT_EQ(length, 6u * 4); // 48 kHz: six frames a microframe
    for (ULONG n = 0; n < length / 4; ++n)
        EXPECT_NEAR((SHORT)(buffer[4 * n] | buffer[4 * n + 1] << 8),
                    0.5 * 32767 * sin(2 * M_PI * 1000 * n / rate), 1.0);
}

TEST(SimStreaming, AShortClassDescriptorEndingTheConfigurationNamesNothing)
{
    // A 2-byte class-specific descriptor closes the last interface: it can be
    // walked but holds no subtype, so every setting streams as without it.
    auto formats = [](SimUsbDevice& d)
    {
        std::vector<int> found; // channels and subslot bytes of each endpoint
        Request(d, 0x00, 9, 1, 0);
        const UCHAR last = d.Descriptors().AltSettings().back().InterfaceNumber;
        for (const SimAltSetting& a : d.Descriptors().AltSettings())
            for (size_t i = 0; a.InterfaceNumber == last && i < a.Endpoints.size(); ++i)
            {
                Request(d, 0x01, 11, a.AlternateSetting, last);
                UCHAR channels = 0, bytes = 0;
                d.Streaming().SelectedFormat(a.Endpoints[i].Address, &channels, &bytes);
                found.insert(found.end(), {channels, bytes});
            }
        return found;
    };
    for (SimReference which : {SimReference::Uac1SpeakerMic, SimReference::Uac2HighSpeed})
    {
        const SimReferenceConfig& r = SimReferenceDescriptors(which);
        std::vector<UCHAR> config = r.Configuration;
        config.insert(config.end(), {2, USB_AUDIO_CS_INTERFACE});
        config[2] = (UCHAR)config.size();
        std::string error;
        auto d = SimUsbDevice::Create(r.Device, config, r.Strings, r.Speed, &error);
        ASSERT_NE(d, nullptr) << error;
        EXPECT_EQ(formats(*d), formats(*SimCreateReferenceDevice(which)));
    }
}

TEST(SimStreaming, FeedbackReportsTheDriftedClock)
{
    auto hs = SimCreateReferenceDevice(SimReference::Uac2HighSpeed);
    Request(*hs, 0x00, 9, 1, 0);
    Request(*hs, 0x01, 11, 1, SimRef3::PlayInterface);
    Request(*hs, 0x21, 0x01, 0x0100, SimRef3::Clock << 8, {0x80, 0xBB, 0x00, 0x00}); // 48 kHz
    ULONG length = 0;
    // 16.16 samples per microframe.
    EXPECT_EQ(Feedback(*hs, SimRef3::FeedbackEndpoint, &length), 6u << 16);
    EXPECT_EQ(length, 4u);
    for (LONG ppm : {100, -250, 1000})
    {
        hs->Streaming().SetClockDriftPpm(ppm);
        ULONG expected = (ULONG)llround(48000.0 * (1 + ppm * 1e-6) / 8000 * 65536);
        EXPECT_EQ(Feedback(*hs, SimRef3::FeedbackEndpoint, &length), expected) << ppm;
    }
    hs->Streaming().SetClockDriftPpm(0);
    Request(*hs, 0x21, 0x01, 0x0100, SimRef3::Clock << 8, {0x44, 0xAC, 0x00, 0x00}); // 44.1 kHz
    EXPECT_EQ(Feedback(*hs, SimRef3::FeedbackEndpoint, &length), 0x58333u);

    // The same device on a full-speed port reports 10.14 samples per frame in 3 bytes.
    const SimReferenceConfig& r = SimReferenceDescriptors(SimReference::Uac2HighSpeed);
    std::string error;
    auto fs = SimUsbDevice::Create(r.Device, r.Configuration, r.Strings, EmuUsbSpeed::Full, &error);
    ASSERT_NE(fs, nullptr) << error;
    fs->Audio().SetClockRates(SimRef3::Clock, {44100, 48000});
    Request(*fs, 0x00, 9, 1, 0);
    Request(*fs, 0x01, 11, 1, SimRef3::PlayInterface);
    EXPECT_EQ(Feedback(*fs, SimRef3::FeedbackEndpoint, &length), 0x0B0666u); // 44.1 x 2^14
    EXPECT_EQ(length, 3u);
    fs->Streaming().SetClockDriftPpm(-500);
    EXPECT_EQ(Feedback(*fs, SimRef3::FeedbackEndpoint, &length),
              (ULONG)llround(44100 * (1 - 500e-6) / 1000 * 16384));
}

TEST(SimStreaming, OutRecordsAndStatusMessages)
{
    auto d = SimCreateReferenceDevice(SimReference::Uac1SpeakerMic);
    Request(*d, 0x00, 9, 1, 0);
    Request(*d, 0x01, 11, 1, SimRef1::PlayInterface);
    UCHAR data[200];
    for (int i = 0; i < 200; ++i)
        data[i] = (UCHAR)i;
    EXPECT_EQ(d->IsochOut(SimRef1::PlayEndpoint, 5, 0, data, 192), USBD_STATUS_SUCCESS);
    EXPECT_EQ(d->IsochOut(SimRef1::PlayEndpoint, 6, 0, data + 1, 0), USBD_STATUS_SUCCESS);
    EXPECT_EQ(d->IsochOut(SimRef1::PlayEndpoint, 7, 0, data, 197), USBD_STATUS_BABBLE_DETECTED);
    d->Streaming().InjectPacketError(SimRef1::PlayEndpoint, 3, USBD_STATUS_XACT_ERROR, 2);
    EXPECT_EQ(d->IsochOut(SimRef1::PlayEndpoint, 8, 0, data, 4), USBD_STATUS_XACT_ERROR);
    EXPECT_EQ(d->IsochOut(SimRef1::PlayEndpoint, 9, 0, data, 4), USBD_STATUS_XACT_ERROR);
    EXPECT_EQ(d->IsochOut(SimRef1::PlayEndpoint, 10, 0, data + 8, 4), USBD_STATUS_SUCCESS);
    const SimOutRecord& rec = d->Streaming().OutRecord(SimRef1::PlayEndpoint);
    ASSERT_EQ(rec.Packets.size(), 3u);
    EXPECT_EQ(rec.Packets[0].Frame, 5u);
    EXPECT_EQ(rec.Packets[0].Length, 192u);
    EXPECT_EQ(rec.Packets[1].Length, 0u);
    EXPECT_EQ(rec.Packets[2].Frame, 10u);
    EXPECT_EQ(rec.Packets[2].Offset, 192u);
    ASSERT_EQ(rec.Data.size(), 196u);
    EXPECT_EQ(rec.Data[191], 191);
    EXPECT_EQ(rec.Data[192], 8);

    // Status messages: 2 bytes in class 1.0; nothing queued is a NAK.
    UCHAR msg[8];
    ULONG length = 0;
    EXPECT_EQ(d->InterruptOrBulkIn(SimRef1::StatusEndpoint, msg, 8, &length), USBD_STATUS_PENDING);
    EXPECT_FALSE(d->Streaming().PostInterrupt({0x80, 0x02, 0x00}));
    EXPECT_TRUE(d->Streaming().PostInterrupt({0x80, SimRef1::FeaturePlay}));
    EXPECT_EQ(d->InterruptOrBulkIn(SimRef1::StatusEndpoint, msg, 1, &length),
              USBD_STATUS_DATA_OVERRUN);
    EXPECT_EQ(d->InterruptOrBulkIn(SimRef1::StatusEndpoint, msg, 8, &length), USBD_STATUS_SUCCESS);
    EXPECT_EQ(length, 2u);
    EXPECT_EQ(msg[0], 0x80);
    EXPECT_EQ(msg[1], SimRef1::FeaturePlay);
    // A halted endpoint stalls until the halt is cleared.
    Request(*d, 0x02, 3, 0, SimRef1::StatusEndpoint);
    EXPECT_EQ(d->InterruptOrBulkIn(SimRef1::StatusEndpoint, msg, 8, &length),
              USBD_STATUS_STALL_PID);
}

// An IN data endpoint keeps what it sent as an OUT one keeps what it
// received: the bytes in order and a packet each (an empty one too, a failed
// one not); each record notes the first slot the bus gave the endpoint since
// it was cleared, failed or not. A feedback endpoint's values are not kept.
TEST(SimStreaming, InRecordsAndFirstSlots)
{
    auto d = SimCreateReferenceDevice(SimReference::Uac2HighSpeed);
    Request(*d, 0x00, 9, 1, 0);
    Request(*d, 0x01, 11, 1, SimRef3::RecInterface);
    Request(*d, 0x01, 11, 1, SimRef3::PlayInterface);
    SimStreaming& s = d->Streaming();
    constexpr UCHAR rec = SimRef3::RecEndpoint, play = SimRef3::PlayEndpoint;
    const ULONG next = s.PacketCount(rec);
    s.InjectPacketError(rec, next, USBD_STATUS_CRC);
    s.InjectInPacketShape(rec, next + 2, SimPacketShape::Empty);
    UCHAR buffer[100];
    std::vector<UCHAR> sent;
    ULONG length = 0;
    for (ULONG micro = 3; micro < 7; ++micro)
    {
        d->IsochIn(rec, 40, micro, buffer, sizeof(buffer), &length);
        sent.insert(sent.end(), buffer, buffer + length);
    }
    const SimInRecord& in = s.InRecord(rec);
    EXPECT_TRUE(in.Tried && in.FirstFrame == 40 && in.FirstMicroframe == 3); // the failed one's
    EXPECT_EQ(sent, in.Data);
    ASSERT_EQ(3u, in.Packets.size());
    EXPECT_EQ(4u, in.Packets[0].Microframe);
    EXPECT_EQ(0u, in.Packets[1].Length);
    EXPECT_EQ(in.Packets[0].Length, in.Packets[2].Offset);
    EXPECT_EQ(6u, in.Packets[2].Microframe);
    Feedback(*d, SimRef3::FeedbackEndpoint, &length);
    EXPECT_FALSE(s.InRecord(SimRef3::FeedbackEndpoint).Tried);
    EXPECT_TRUE(s.InRecord(SimRef3::FeedbackEndpoint).Packets.empty());

    // An OUT endpoint's first slot too, its packet failed.
    s.InjectPacketError(play, s.PacketCount(play), USBD_STATUS_XACT_ERROR);
    EXPECT_EQ(USBD_STATUS_XACT_ERROR, d->IsochOut(play, 41, 2, buffer, 8));
    EXPECT_EQ(USBD_STATUS_SUCCESS, d->IsochOut(play, 41, 3, buffer, 8));
    const SimOutRecord& out = s.OutRecord(play);
    EXPECT_TRUE(out.Tried && out.FirstFrame == 41 && out.FirstMicroframe == 2);
    EXPECT_EQ(1u, out.Packets.size());

    // Cleared, the records start again at the next slot.
    s.ClearRecords();
    EXPECT_FALSE(s.InRecord(rec).Tried || s.OutRecord(play).Tried);
    EXPECT_TRUE(s.InRecord(rec).Data.empty());
    d->IsochIn(rec, 42, 0, buffer, sizeof(buffer), &length);
    EXPECT_EQ(42u, s.InRecord(rec).FirstFrame);
    EXPECT_EQ(length, s.InRecord(rec).Data.size());
}
