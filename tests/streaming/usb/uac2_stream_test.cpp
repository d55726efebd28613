// The class 2.0 streams on the simulated devices as the walk makes them, on
// virtual time: every clock rate of the reference device streams, the
// render packets follow the device's feedback (drift, the window's edges,
// the doubled deviation, lost feedback), a failed URB is recovered by
// resetting the pipes, and the reported bytes keep with the device; and
// the capture of both classes at rates below one frame a microframe.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <set>

#include "platform/kernel/emu.h"
#include "streaming/usb/usb_audio2_capture.h"
#include "streaming/usb/usb_audio2_render.h"
#include "tests/driver/adapter_rig.h"
#include "tests/usbaudio/usbaudio_doubles.h"

namespace
{
// Counts the byte reports of one client and keeps what it captured; with
// `Keep`, fills render data with a byte counter and keeps what it handed out.
struct CountingClient
{
    static void Callback(PVOID context, PVOID argument1, PVOID)
    {
        auto self = static_cast<CountingClient*>(context);
        auto record = static_cast<StreamNotification*>(argument1);
        if (record->Client != self->Record)
            return;
        auto data = static_cast<UCHAR*>(record->Data.Buffer);
        if (record->Type == STREAM_NOTIFY_BYTES)
        {
            self->Bytes += record->Bytes;
            self->Dropped += record->Dropped != 0 ? record->Bytes : 0;
        }
        else if (record->Type == STREAM_NOTIFY_CAPTURE_DATA)
        {
            self->Captured += record->Data.Bytes;
            self->Received.insert(self->Received.end(), data, data + record->Data.Bytes);
        }
        else if (record->Type == STREAM_NOTIFY_RENDER_DATA && self->Keep)
            for (ULONG i = 0; i < record->Data.Bytes; ++i)
                self->Handed.push_back(data[i] = (UCHAR)(self->Handed.size() % 251));
    }
    PSTREAMCLIENT Record = nullptr;
    ULONGLONG Bytes = 0;
    ULONGLONG Dropped = 0; // of the bytes reported, those of URBs the device did not take
    ULONGLONG Captured = 0;
    bool Keep = false;
    std::vector<UCHAR> Handed, Received;
};

struct StreamRig
{
    explicit StreamRig(std::unique_ptr<SimUsbDevice> device) : Rig(std::move(device))
    {
        UseDeviceClasses(false);
        Status = Rig.Ok() ? Rig.Start() : STATUS_UNSUCCESSFUL;
    }
    CUsbAudioStream* Stream(ULONG index)
    {
        CStreamEngine* engine = nullptr;
        CUsbAudioDevice* device = DeviceOf(Rig);
        return device != nullptr && NT_SUCCESS(device->GetEngine(index, &engine))
                   ? static_cast<CUsbAudioStream*>(engine)
                   : nullptr;
    }
    CUsbAudio2Render* Render() { return static_cast<CUsbAudio2Render*>(Stream(0)); }
    SimUsbDevice* Sim() { return Rig.Device(); }
    // Registers, opens and (with `run`) starts a client of the format of
    // `rate` and `bits`.
    NTSTATUS Start(ULONG index, CountingClient* client, ULONG rate, USHORT bits, ULONG ms,
                   ULONG urbs, bool run = true)
    {
        CUsbAudioStream* stream = Stream(index);
        WAVEFORMATEXTENSIBLE format = {};
        for (ULONG i = 0; stream != nullptr && i < stream->GetFormatCount(); ++i)
        {
            WAVEFORMATEXTENSIBLE f = {};
            stream->GetFormatAt(i, &f);
            if (f.Format.nSamplesPerSec == rate && f.Format.wBitsPerSample == bits)
                format = f;
        }
        if (format.Format.nSamplesPerSec == 0)
            return STATUS_NOT_FOUND;
        NTSTATUS status =
            stream->RegisterClient(STREAM_CLIENT_KIND_WAVE_CYCLIC, &format.Format, ms, urbs,
                                   CountingClient::Callback, client, &client->Record);
        ULONG msPerUrb = 0, frame = 0;
        if (NT_SUCCESS(status))
            status = stream->OpenClient(client->Record->Registration, &msPerUrb, &frame);
        if (NT_SUCCESS(status) && run)
            status = stream->StartClient(client->Record->Registration,
                                         frame + USB_STREAM_START_LEAD_FRAMES, &msPerUrb, nullptr);
        return status;
    }
    void Leave(ULONG index, CountingClient* client)
    {
        PVOID key = client->Record->Registration;
        Stream(index)->StopClient(key, nullptr);
        Stream(index)->CloseClient(key);
        EXPECT_EQ(STATUS_SUCCESS, Stream(index)->UnregisterClient(key));
    }
    UsbAdapterRig Rig;
    NTSTATUS Status;
};

std::unique_ptr<SimUsbDevice> Device(LONG driftPpm = 0)
{
    auto device = SimCreateReferenceDevice(SimReference::Uac2HighSpeed);
    device->Audio().SetClockRates(SimRef3::Clock, {44100, 48000, 96000});
    device->Streaming().SetClockDriftPpm(driftPpm);
    return device;
}

// A quirk file's device, drifting, with each edit's first text in it
// replaced by its second.
using TextEdits = std::vector<std::pair<std::string, std::string>>;
std::unique_ptr<SimUsbDevice> QuirkDevice(const char* name, LONG driftPpm = 0,
                                          const TextEdits& edits = {})
{
    std::ifstream file(std::string(LT_QUIRKS_DIR) + "/" + name);
    std::string text((std::istreambuf_iterator<char>(file)), {});
    for (const auto& [from, to] : edits)
    {
        const size_t at = text.find(from);
        EXPECT_NE(std::string::npos, at) << from;
        if (at != std::string::npos)
            text.replace(at, from.size(), to);
    }
    std::string error;
    auto device = SimUsbDevice::CreateFromText(text, std::nullopt, &error);
    EXPECT_NE(nullptr, device) << error;
    if (device != nullptr)
        device->Streaming().SetClockDriftPpm(driftPpm);
    return device;
}

// The high-speed speaker whose data endpoint has bInterval 4, its 16-bit
// setting's feedback answered once a frame, with two more settings of its
// interface: 24-bit with feedback answered every microframe, and 32-bit on
// an adaptive endpoint without feedback.
std::unique_ptr<SimUsbDevice> ThreeSettingDevice(LONG driftPpm = 0)
{
    return QuirkDevice("high-speed-feedback-data-interval-4.txt", driftPpm,
                       {{"09 02 98 00", "09 02 FB 00"},
                        {"string 1", "09 04 01 02 02 01 02 20 00\n"
                                     "10 24 01 01 00 01 01 00 00 00 02 03 00 00 00 00\n"
                                     "06 24 02 01 03 18\n"
                                     "07 05 01 05 90 01 04\n"
                                     "08 25 01 00 00 00 00 00\n"
                                     "07 05 81 11 04 00 01\n"
                                     "09 04 01 03 01 01 02 20 00\n"
                                     "10 24 01 01 00 01 01 00 00 00 02 03 00 00 00 00\n"
                                     "06 24 02 01 04 20\n"
                                     "07 05 01 09 90 01 04\n"
                                     "08 25 01 00 00 00 00 00\n"
                                     "string 1"}});
}

// The high-speed speaker whose data endpoint has bInterval 4 (or `interval`),
// drifting.
std::unique_ptr<SimUsbDevice> IntervalDevice(LONG driftPpm, UCHAR interval = 4)
{
    return QuirkDevice(
        "high-speed-feedback-data-interval-4.txt", driftPpm,
        {{"07 05 01 05 90 01 04", "07 05 01 05 90 01 0" + std::to_string(interval)}});
}

// The reference device with its clock's frequency read-only, offering 48
// and 96 kHz and running at 48, its CUR read refused `curRefused` times.
std::unique_ptr<SimUsbDevice> FixedClockDevice(ULONG curRefused)
{
    DeviceBytes bytes = ReferenceBytes(SimReference::Uac2HighSpeed);
    std::vector<UCHAR>& c = bytes.Configuration;
    for (size_t pos = 0; pos + 5 < c.size() && c[pos] >= 2; pos += c[pos])
        if (c[pos + 1] == USB_AUDIO_CS_INTERFACE &&
            c[pos + 2] == USB_AUDIO20_CLOCK_SOURCE_SUBTYPE && c[pos + 3] == SimRef3::Clock)
            c[pos + 5] = (UCHAR)((c[pos + 5] & ~3) | 1);
    auto device = MakeSimDevice(bytes);
    device->Audio().SetClockRates(SimRef3::Clock, {48000, 96000});
    device->InjectControlFault({0xA1, 0x01, 0x0100, SimRef3::Clock << 8}, SimFaultKind::Stall,
                               curRefused);
    return device;
}

// The sample frames of the playback packets from packet `from` on.
std::vector<ULONG> PacketFrames(SimUsbDevice* device, size_t from, ULONG frameBytes)
{
    std::vector<ULONG> frames;
    const SimOutRecord& out = device->Streaming().OutRecord(SimRef3::PlayEndpoint);
    for (size_t i = from; i < out.Packets.size(); ++i)
        frames.push_back(out.Packets[i].Length / frameBytes);
    return frames;
}

// Whether the device received what the client handed out, in order, with a
// packet in every slot of its endpoint (`perFrame` a frame) from the
// stream's first on: none late or missing.
void ExpectPlayedWhole(const SimOutRecord& out, const CountingClient& client, ULONG perFrame)
{
    ASSERT_FALSE(out.Packets.empty());
    ASSERT_LE(out.Data.size(), client.Handed.size());
    EXPECT_TRUE(std::equal(out.Data.begin(), out.Data.end(), client.Handed.begin()));
    const SimPacketRecord& last = out.Packets.back();
    const ULONG microframesPerSlot = USB_STREAM_MICROFRAMES / perFrame;
    EXPECT_EQ(out.Packets.size() - 1,
              (last.Frame - out.FirstFrame) * perFrame +
                  (last.Microframe - out.FirstMicroframe) / microframesPerSlot);
}

// The rate a device's 16.16 feedback value stands for at 8000 packets a
// second: floor(value x 8000 / 65536), in exact integers.
ULONG ReferenceFeedbackRate(ULONG value)
{
    return (ULONG)(((ULONGLONG)value * 8000) >> 16);
}
} // namespace

// Each clock rate: the clock is set, the setting selected, and the device
// receives (and sends) the rate's frames.
TEST(Uac2Stream, EveryRateStreamsBothWays)
{
    for (ULONG rate : {44100u, 48000u, 96000u})
    {
        StreamRig rig(Device());
        ASSERT_EQ(STATUS_SUCCESS, rig.Status);
        CountingClient play, record;
        ASSERT_EQ(STATUS_SUCCESS, rig.Start(0, &play, rate, 16, 10, 2)) << rate;
        EXPECT_EQ(rate, rig.Sim()->Audio().ClockRate(SimRef3::Clock));
        EXPECT_EQ(1, rig.Sim()->AlternateSetting(SimRef3::PlayInterface));
        EXPECT_TRUE(rig.Render()->HasFeedbackPipe());
        EmuAdvanceMs(1000);
        // One second of the device's own clock, within the packets in flight.
        const SimOutRecord& out = rig.Sim()->Streaming().OutRecord(SimRef3::PlayEndpoint);
        const double seconds = out.Packets.size() / 8000.0;
        EXPECT_NEAR(rate * seconds, out.Data.size() / 4.0, 2.0) << rate;
        rig.Leave(0, &play);
        ASSERT_EQ(STATUS_SUCCESS, rig.Start(1, &record, rate, 16, 10, 2)) << rate;
        EmuAdvanceMs(1000);
        EXPECT_NEAR(rate * 4.0, (double)record.Captured, rate * 4.0 * 0.03) << rate;
        rig.Leave(1, &record);
    }
}

// Below one frame a microframe (4000 and 5512 Hz at high speed) empty
// packets are the device's pacing and its sine arrives unbroken; from one
// frame a packet on (8000 Hz) an empty packet is two frames of silence.
TEST(Uac2Stream, SlowRatesRecordTheDevicesSineUnbrokenInBothClasses)
{
    for (const char* file : {"high-speed-low-rate-microphone.txt", "uac2-low-rate-microphone.txt"})
        for (const auto& [rate, silent] : {std::pair<ULONG, ULONG>{4000, 0}, {5512, 0}, {8000, 2}})
        {
            SCOPED_TRACE(std::string(file) + " " + std::to_string(rate));
            StreamRig rig(QuirkDevice(file));
            rig.Sim()->Streaming().SetInPattern(0x81, SimInPattern::Sine);
            rig.Sim()->Streaming().InjectInPacketShape(0x81, 100, SimPacketShape::Empty);
            CountingClient client;
            ASSERT_EQ(STATUS_SUCCESS, rig.Start(0, &client, rate, 16, 10, 2));
            EmuAdvanceMs(1000);
            // The device's frame n is 0.5 sin(2 pi 1000 n / rate) of full scale.
            std::vector<UCHAR> sine;
            for (ULONG n = 0; sine.size() < client.Received.size(); ++n)
            {
                sine.insert(sine.end(), n == 100 * rate / 8000 ? 2 * silent : 0, 0);
                const auto v =
                    (SHORT)std::lround(0.5 * std::sin(2 * M_PI * 1000 * n / rate) * 32767);
                sine.insert(sine.end(), {(UCHAR)v, (UCHAR)(v >> 8)});
            }
            ASSERT_GE(client.Received.size(), rate * 2 * 9 / 10);
            EXPECT_TRUE(std::equal(client.Received.begin(), client.Received.end(), sine.begin()));
            rig.Leave(0, &client);
        }
}

// A clock the host may only read is offered at the rate it reports, and read,
// not set: a capture at that rate runs with no sampling-frequency SET_CUR
// sent. Only when its CUR is refused at the start are the RANGE's rates
// offered, and one it does not run at is refused at preparation.
TEST(Uac2Stream, AFixedClockIsReadNotSet)
{
    const std::pair<ULONG, ULONG> runs[] = {{0, 48000}, {0, 96000}, {1, 48000}, {1, 96000}};
    for (const auto& [curRefused, rate] : runs) // CUR refused at the start, the rate asked for
    {
        StreamRig rig(FixedClockDevice(curRefused));
        ASSERT_EQ(STATUS_SUCCESS, rig.Status);
        rig.Sim()->ClearLog();
        CountingClient client;
        const NTSTATUS status = rig.Start(1, &client, rate, 16, 10, 2);
        const NTSTATUS refused = curRefused != 0 ? STATUS_NOT_SUPPORTED : STATUS_NOT_FOUND;
        EXPECT_EQ(rate == 48000 ? STATUS_SUCCESS : refused, status) << curRefused << " " << rate;
        for (const std::string& row : rig.Sim()->LogText())
            EXPECT_TRUE(row.rfind("21 01 0100", 0) != 0) << row;
        EXPECT_EQ(48000u, rig.Sim()->Audio().ClockRate(SimRef3::Clock));
        EmuAdvanceMs(100);
        EXPECT_EQ(rate == 48000, client.Captured > 0);
        if (NT_SUCCESS(status))
            rig.Leave(1, &client);
        else if (client.Record != nullptr)
        {
            EXPECT_EQ(STATUS_SUCCESS, rig.Stream(1)->UnregisterClient(client.Record->Registration));
        }
    }
}

// The pacing follows the device's feedback: its rate when inside the window
// (the edges included), nominal outside it, and the deviation doubled when
// it is exactly 500 / ms of the URB. Every run of packets then carries the
// frames the paced rate gives, to within one.
TEST(Uac2Stream, PacketsFollowTheFeedback)
{
    struct Case
    {
        const char* What;
        LONG Ppm;
        ULONG Ms;
        LONG Expected; // 0: the reference rate of the device's value
    } cases[] = {
        {"exact", 0, 10, 0},
        {"+50 ppm", 50, 10, 0},
        {"-50 ppm", -50, 10, 0},
        {"+1000 Hz counts", 20833, 10, 49000},
        {"-1000 Hz counts", -20833, 10, 47000},
        {"+1200 Hz is ignored", 25000, 10, 48000},
        {"+100 Hz with 5 ms URBs doubles", 2085, 5, 48200},
        {"+100 Hz with 10 ms URBs stays", 2085, 10, 48100},
    };
    for (const Case& c : cases)
    {
        StreamRig rig(Device(c.Ppm));
        ASSERT_EQ(STATUS_SUCCESS, rig.Status);
        CountingClient client;
        ASSERT_EQ(STATUS_SUCCESS, rig.Start(0, &client, 48000, 16, c.Ms, 3)) << c.What;
        EmuAdvanceMs(100);
        const ULONG expected =
            c.Expected != 0 ? (ULONG)c.Expected
                            : ReferenceFeedbackRate(rig.Sim()->Streaming().FeedbackValue(48000));
        EXPECT_EQ(expected, rig.Render()->GetPacingRate()) << c.What;
        const size_t from =
            rig.Sim()->Streaming().OutRecord(SimRef3::PlayEndpoint).Packets.size() + 800;
        EmuAdvanceMs(2000);
        const std::vector<ULONG> frames = PacketFrames(rig.Sim(), from, 4);
        ASSERT_GE(frames.size(), 8000u) << c.What;
        for (size_t run : {8u, 100u, 8000u})
        {
            ULONGLONG sum = 0;
            for (size_t i = 0; i < run; ++i)
                sum += frames[i];
            const double exact = (double)run * expected / 8000.0;
            EXPECT_LE(std::abs((double)sum - exact), 1.0) << c.What << " run " << run;
        }
        rig.Leave(0, &client);
    }
}

// Feedback packets that fail bring no rate: the pacing keeps the one the
// others give; a feedback URB that fails as a whole sends the stream into
// recovery like a data URB.
TEST(Uac2Stream, LostFeedbackIsNotARate)
{
    StreamRig rig(Device(20833));
    ASSERT_EQ(STATUS_SUCCESS, rig.Status);
    // Packets 30 to 33 of the feedback endpoint fail one by one.
    rig.Sim()->Streaming().InjectPacketError(SimRef3::FeedbackEndpoint, 30,
                                             USBD_STATUS_DEV_NOT_RESPONDING, 4);
    CountingClient client;
    ASSERT_EQ(STATUS_SUCCESS, rig.Start(0, &client, 48000, 16, 10, 3));
    EmuAdvanceMs(200);
    EXPECT_EQ(49000u, rig.Render()->GetPacingRate());
    rig.Leave(0, &client);
}

// A failed URB, data or feedback, sends the stream into recovery: both
// pipes are reset and the transfers go on without the interface being
// selected again. When the resets fail and leave nothing in flight, the
// interface is selected again instead.
TEST(Uac2Stream, AFailedUrbResetsThePipes)
{
    struct Case
    {
        const char* What;
        UCHAR Endpoint;
        ULONG PacketsPerUrb;
        bool ResetsFail;
        size_t PipesReset;
        bool Selected;
        ULONGLONG DroppedBytes; // reported as not taken: the failed URB's 10 ms
    } const cases[] = {
        {"data", SimRef3::PlayEndpoint, 80, false, 2, false, 1920},
        {"feedback", SimRef3::FeedbackEndpoint, 10, false, 2, false, 0},
        {"data, the resets fail", SimRef3::PlayEndpoint, 80, true, 1, true, 1920},
    };
    for (const Case& c : cases)
    {
        StreamRig rig(Device());
        ASSERT_EQ(STATUS_SUCCESS, rig.Status);
        CountingClient client;
        ASSERT_EQ(STATUS_SUCCESS, rig.Start(0, &client, 48000, 16, 10, 3));
        EmuAdvanceMs(50);
        if (c.ResetsFail)
            rig.Rig.Script().FailFunction = URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL;
        SimStreaming& sim = rig.Sim()->Streaming();
        const size_t before = sim.OutRecord(SimRef3::PlayEndpoint).Packets.size();
        // The whole of a later URB fails, from a URB boundary.
        const ULONG next = (sim.PacketCount(c.Endpoint) / c.PacketsPerUrb + 2) * c.PacketsPerUrb;
        sim.InjectPacketError(c.Endpoint, next, USBD_STATUS_DEV_NOT_RESPONDING, c.PacketsPerUrb);
        rig.Sim()->ClearLog();
        EmuAdvanceMs(500);
        size_t selects = 0;
        for (const SimRequestRecord& r : rig.Sim()->Log())
            selects += r.Setup.bmRequestType == 0x01 && r.Setup.bRequest == 0x0B ? 1 : 0;
        EXPECT_EQ(c.Selected, selects > 0) << c.What;
        std::set<USBD_PIPE_HANDLE> reset;
        for (const auto& [function, pipe] : rig.Rig.Script().PipeRequests)
            if (function == URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL)
                reset.insert(pipe);
        EXPECT_EQ(c.PipesReset, reset.size()) << c.What;
        EXPECT_EQ(USB_STREAM_RUNNING, rig.Render()->GetStreamState()) << c.What;
        const size_t after = sim.OutRecord(SimRef3::PlayEndpoint).Packets.size();
        // Still streaming after the failure (the full recovery waits 100 ms).
        EXPECT_GE(after - before, 8u * 350) << c.What;
        EXPECT_EQ(1, rig.Rig.Adapter()->GetActiveStreamCount()) << c.What;
        EXPECT_EQ(c.DroppedBytes, client.Dropped) << c.What;
        rig.Leave(0, &client);
    }
}

// A feedback packet that failed brings no rate, even in a URB that
// succeeded as a whole: the others' rate stands.
TEST(Uac2Stream, AFailedFeedbackPacketIsNotRead)
{
    StreamRig rig(Device());
    ASSERT_EQ(STATUS_SUCCESS, rig.Status);
    CountingClient client;
    ASSERT_EQ(STATUS_SUCCESS, rig.Start(0, &client, 48000, 16, 10, 3, false));
    const ULONG packets = 10;
    std::vector<UCHAR> urb(UsbStreamUrbBytes(packets)), values(packets * 4);
    TransferContext context = {
        nullptr, reinterpret_cast<PURB>(urb.data()), rig.Render(), packets * 4, values.data(), 0};
    auto& iso = context.Urb->UrbIsochronousTransfer;
    iso.NumberOfPackets = packets;
    for (ULONG i = 0; i < packets; ++i)
    {
        // Six samples a microframe (48000 Hz); the failed one says 48500.
        const ULONG value = i == 3 ? 0x61000 : 0x60000;
        memcpy(&values[4 * i], &value, 4);
        iso.IsoPacket[i] = {4 * i, 4, i == 3 ? USBD_STATUS_CRC : USBD_STATUS_SUCCESS};
    }
    rig.Render()->ApplyFeedback(&context);
    EXPECT_EQ(48000u, rig.Render()->GetPacingRate());
    rig.Leave(0, &client);
}

// Over ten minutes of a drifting device the bytes reported to the client
// stay within a millisecond (one URB in flight aside) of what the device
// received, and the device received its own clock's frames.
TEST(Uac2Stream, PositionKeepsWithTheDeviceForTenMinutes)
{
    StreamRig rig(Device(50));
    ASSERT_EQ(STATUS_SUCCESS, rig.Status);
    CountingClient client;
    ASSERT_EQ(STATUS_SUCCESS, rig.Start(0, &client, 48000, 16, 5, 3));
    const ULONG frameBytes = 4;
    const ULONG urbBytes = 5 * 50 * frameBytes; // at most 50 frames a millisecond
    for (int minute = 1; minute <= 10; ++minute)
    {
        EmuAdvanceMs(60000);
        const ULONGLONG received =
            rig.Sim()->Streaming().OutRecord(SimRef3::PlayEndpoint).Data.size();
        ASSERT_LE(client.Bytes, received) << minute;
        EXPECT_LE(received - client.Bytes, 2 * urbBytes + 48 * frameBytes) << minute;
    }
    const SimOutRecord& out = rig.Sim()->Streaming().OutRecord(SimRef3::PlayEndpoint);
    const ULONG paced = ReferenceFeedbackRate(rig.Sim()->Streaming().FeedbackValue(48000));
    EXPECT_NEAR((double)paced * out.Packets.size() / 8000.0, out.Data.size() / 4.0, 2.0);
    rig.Leave(0, &client);
    EXPECT_EQ(rig.Sim()->Streaming().OutRecord(SimRef3::PlayEndpoint).Data.size(), client.Bytes);
}

// A device that takes one data packet a frame (bInterval 4) still counts
// its feedback per microframe: over ten minutes of a clock 750 Hz fast (or
// slow) the bytes reported keep within a millisecond of the frames its own
// clock has played since the start. At these drifts the device's 16.16
// value states its clock exactly (a multiple of 125 Hz), so nothing is lost
// to the value's resolution.
TEST(Uac2Stream, IntervalFourDeviceIsFollowedForTenMinutes)
{
    for (LONG ppm : {15625, -15625})
    {
        StreamRig rig(IntervalDevice(ppm));
        ASSERT_EQ(STATUS_SUCCESS, rig.Status);
        CountingClient client;
        ASSERT_EQ(STATUS_SUCCESS, rig.Start(0, &client, 48000, 16, 5, 3));
        const ULONGLONG started = client.Bytes;
        const double framesPerMs = 48.0 * (1.0 + ppm / 1e6);
        double first = 0;
        for (int minute = 1; minute <= 10; ++minute)
        {
            EmuAdvanceMs(60000);
            const double gap = framesPerMs * 60000.0 * minute - (client.Bytes - started) / 4.0;
            if (minute == 1)
                first = gap;
            EXPECT_LE(std::fabs(gap - first), 48.0) << ppm << " minute " << minute;
        }
        EXPECT_NEAR(48000.0 * (1.0 + ppm / 1e6), rig.Render()->GetPacingRate(), 1.0) << ppm;
        rig.Leave(0, &client);
    }
}

// A feedback endpoint answering every 1, 2 or 4 microframes (bInterval 0 to
// 3) or once a frame (4 and up) beside a data packet a frame, or declared
// with data usage (bmAttributes 0x01) as many devices do: the device gets
// what was handed out, a packet every frame, paced by its changing clock.
TEST(Uac2Stream, FeedbackOfEveryIntervalIsFollowed)
{
    for (const char* endpoint :
         {"81 11 04 00 00", "81 11 04 00 01", "81 11 04 00 02", "81 11 04 00 03", "81 11 04 00 04",
          "81 11 04 00 05", "81 01 04 00 04"})
    {
        SCOPED_TRACE(std::string("feedback endpoint ") + endpoint);
        StreamRig rig(QuirkDevice("high-speed-feedback-data-interval-4.txt", 0,
                                  {{"81 11 04 00 04", endpoint}}));
        CountingClient client;
        client.Keep = true;
        ASSERT_EQ(STATUS_SUCCESS, rig.Start(0, &client, 48000, 16, 5, 3));
        SimStreaming& sim = rig.Sim()->Streaming();
        for (LONG ppm : {15625, -15625})
        {
            sim.SetClockDriftPpm(ppm), EmuAdvanceMs(100);
            EXPECT_EQ(ReferenceFeedbackRate(sim.FeedbackValue(48000)),
                      rig.Render()->GetPacingRate());
        }
        const SimOutRecord& out = sim.OutRecord(SimRef3::PlayEndpoint);
        ASSERT_GE(out.Packets.size(), 190u);
        ExpectPlayedWhole(out, client, 1);
        rig.Leave(0, &client);
    }
}

// The stack takes at most 1,024 packets in a URB of a high-speed endpoint:
// 128 ms of feedback answered every microframe are prepared, 129 refused;
// then a setting of the same interface without feedback, one data packet a
// frame, prepares at 129 ms: the other setting's feedback is not its own.
TEST(Uac2Stream, FeedbackUrbsKeepWithinTheStacksPackets)
{
    StreamRig rig(ThreeSettingDevice());
    const struct
    {
        USHORT Bits; // of the setting's format
        ULONG Ms;
        NTSTATUS Prepared;
    } rows[] = {
        {24, 128, STATUS_SUCCESS}, {24, 129, STATUS_INVALID_PARAMETER}, {32, 129, STATUS_SUCCESS}};
    for (const auto& row : rows)
    {
        CountingClient client;
        EXPECT_EQ(row.Prepared, rig.Start(0, &client, 48000, row.Bits, row.Ms, 3, false))
            << row.Bits << "-bit, " << row.Ms << " ms";
        rig.Leave(0, &client);
    }
}

// A setting selected after the contexts were sized whose feedback is
// answered more often than the one they were sized for (every microframe,
// not once a frame) sends no feedback URB they cannot hold: the stream runs
// at its nominal rate, the device getting what was handed out. Selected
// here by hand: the clients' operations prepare the stream again for every
// client they start, so a recovery selects the setting it was sized for.
TEST(Uac2Stream, FeedbackNeverOutgrowsItsContexts)
{
    StreamRig rig(ThreeSettingDevice(1000));
    CountingClient client;
    client.Keep = true;
    ASSERT_EQ(STATUS_SUCCESS, rig.Start(0, &client, 48000, 16, 10, 3, false));
    ASSERT_EQ(STATUS_SUCCESS, rig.Render()->SelectInterface(2, client.Record));
    ULONG ms = 0;
    ASSERT_EQ(STATUS_SUCCESS, rig.Render()->StartClient(client.Record->Registration,
                                                        rig.Render()->QueryCurrentFrameNumber() +
                                                            USB_STREAM_START_LEAD_FRAMES,
                                                        &ms, nullptr));
    EmuAdvanceMs(200);
    EXPECT_EQ(0u, rig.Sim()->Streaming().PacketCount(0x81));
    EXPECT_EQ(48000u, rig.Render()->GetPacingRate());
    ExpectPlayedWhole(rig.Sim()->Streaming().OutRecord(SimRef3::PlayEndpoint), client, 1);
    rig.Leave(0, &client);
}

// A full-speed speaker with a usable 3-byte feedback endpoint: each feedback
// URB asks a packet a millisecond, as many as its data URB, so 32 ms keep
// within the 255 packets a full-speed URB may carry. The pacing follows the
// device's fast clock, and the device gets what was handed out.
TEST(Uac2Stream, FullSpeedFeedbackIsAskedAPacketAFrame)
{
    for (ULONG ms : {10u, 32u})
    {
        SCOPED_TRACE(std::to_string(ms) + " ms a URB");
        StreamRig rig(QuirkDevice("full-speed-feedback-endpoint-too-small.txt", 1000,
                                  {{"81 11 02 00 01", "81 11 03 00 01"}}));
        CountingClient client;
        client.Keep = true;
        ASSERT_EQ(STATUS_SUCCESS, rig.Start(0, &client, 48000, 16, ms, 3));
        EmuAdvanceMs(500);
        EXPECT_GT(rig.Render()->GetPacingRate(), 48000u);
        rig.Leave(0, &client);
        SimStreaming& sim = rig.Sim()->Streaming();
        const SimOutRecord& out = sim.OutRecord(0x01);
        EXPECT_EQ(out.Packets.size(), sim.PacketCount(0x81));
        ExpectPlayedWhole(out, client, 1);
    }
}

// A device of fewer data packets than microframes states its rate per
// microframe or, where that reading leaves the window, per packet: 1000 or
// 4000 packets a second.
TEST(Uac2Stream, FeedbackFallsBackToTheEndpointsPacketsPerSecond)
{
    const struct
    {
        UCHAR Interval;
        ULONG Value; // 16.16
    } rows[] = {{4, 0x60400}, {4, 0x302000}, {2, 0xC0800}};
    for (const auto& row : rows)
    {
        SCOPED_TRACE("bInterval " + std::to_string(row.Interval) + ", value " +
                     std::to_string(row.Value));
        StreamRig rig(IntervalDevice(0, row.Interval));
        ASSERT_EQ(STATUS_SUCCESS, rig.Status);
        CountingClient client;
        ASSERT_EQ(STATUS_SUCCESS, rig.Start(0, &client, 48000, 16, 10, 3, false));
        const ULONG packets = 10;
        std::vector<UCHAR> urb(UsbStreamUrbBytes(packets)), values(packets * 4);
        TransferContext context = {nullptr,       reinterpret_cast<PURB>(urb.data()),
                                   rig.Render(),  packets * 4,
                                   values.data(), 0};
        auto& iso = context.Urb->UrbIsochronousTransfer;
        iso.NumberOfPackets = packets;
        for (ULONG i = 0; i < packets; ++i)
        {
            memcpy(&values[4 * i], &row.Value, 4);
            iso.IsoPacket[i] = {4 * i, 4, USBD_STATUS_SUCCESS};
        }
        rig.Render()->ApplyFeedback(&context);
        EXPECT_EQ(48125u, rig.Render()->GetPacingRate());
        rig.Leave(0, &client);
    }
}

// A class 2.0 render destroyed while prepared (or running) for a client
// that never left gives back its feedback contexts with its data contexts
// and leaves the interface deselected.
TEST(Uac2Stream, ADestroyedPreparedRenderLeavesNothingBehind)
{
    for (bool start : {false, true})
    {
        StreamRig rig(Device());
        ASSERT_EQ(STATUS_SUCCESS, rig.Status);
        CountingClient client;
        ASSERT_EQ(STATUS_SUCCESS, rig.Start(0, &client, 48000, 16, 10, 3, start));
        EmuAdvanceMs(20);
        EXPECT_EQ(1, rig.Sim()->AlternateSetting(SimRef3::PlayInterface));
        rig.Rig.Release();
        EXPECT_EQ(0, rig.Sim()->AlternateSetting(SimRef3::PlayInterface)) << start;
        EXPECT_EQ(0u, EmuPoolOutstandingCount(USB_STREAM_URB_POOL_TAG)) << start;
    }
}

// An IN endpoint beside the data endpoint that cannot carry a feedback
// value is not read, and the stream says why: its packets too small for a
// value (3 bytes at full speed, 4 at high speed), not isochronous, or marked
// neither feedback nor data. The stream paces at its nominal rate though the
// device's clock is fast, and the device gets what was handed out.
TEST(Uac2Stream, AFeedbackEndpointThatCannotCarryFeedbackIsNotRead)
{
    const char* const intervalFour = "high-speed-feedback-data-interval-4.txt";
    const struct
    {
        const char* File;
        const char* Attributes; // the feedback endpoint's address and bmAttributes, or null
        ULONG PacketsPerFrame;  // of the data endpoint
        const char* Why;
    } rows[] = {
        {"full-speed-feedback-endpoint-too-small.txt", nullptr, 1,
         "carries 2 bytes a packet, a feedback value needs 3"},
        {"high-speed-feedback-endpoint-too-small.txt", nullptr, 8,
         "carries 3 bytes a packet, a feedback value needs 4"},
        {intervalFour, "81 13", 1, "is an interrupt endpoint, not an isochronous one"},
        {intervalFour, "81 12", 1, "is a bulk endpoint, not an isochronous one"},
        {intervalFour, "81 10", 1, "is a control endpoint, not an isochronous one"},
        {intervalFour, "81 21", 1, "is marked implicit feedback data, not feedback"},
        {intervalFour, "81 31", 1, "is marked with the reserved usage, not feedback"},
    };
    for (const auto& row : rows)
    {
        SCOPED_TRACE(std::string(row.File) + " " + (row.Attributes ? row.Attributes : ""));
        EmuDbgClear();
        StreamRig rig(row.Attributes == nullptr
                          ? QuirkDevice(row.File, 1000)
                          : QuirkDevice(row.File, 1000, {{"81 11", row.Attributes}}));
        CountingClient client;
        client.Keep = true;
        ASSERT_EQ(STATUS_SUCCESS, rig.Start(0, &client, 48000, 16, 10, 3));
        EmuAdvanceMs(200);
        EXPECT_FALSE(rig.Render()->HasFeedbackPipe());
        EXPECT_EQ(0u, rig.Sim()->Streaming().PacketCount(0x81));
        EXPECT_EQ(48000u, rig.Render()->GetPacingRate());
        ExpectPlayedWhole(rig.Sim()->Streaming().OutRecord(0x01), client, row.PacketsPerFrame);
        EXPECT_EQ(1u, DbgLinesSaying("UsbAudio: AudioStreaming interface 1 alternate setting 1: "
                                     "feedback endpoint 0x81 " +
                                     std::string(row.Why) +
                                     ": not used, the stream paces at its nominal rate\n"));
        rig.Leave(0, &client);
    }
}

// A speaker whose endpoint holds exactly the nominal packet (48 stereo
// 16-bit frames, one packet a frame), its clock fast: the pacing follows
// the clock, yet no packet outgrows the endpoint, so every frame gets one.
TEST(Uac2Stream, FastFeedbackNeverOutgrowsTheEndpoint)
{
    StreamRig rig(QuirkDevice("high-speed-feedback-data-interval-4.txt", 1000,
                              {{"07 05 01 05 90 01 04", "07 05 01 05 C0 00 04"}}));
    CountingClient client;
    ASSERT_EQ(STATUS_SUCCESS, rig.Start(0, &client, 48000, 16, 10, 3));
    EmuAdvanceMs(100);
    EXPECT_GT(rig.Render()->GetPacingRate(), 48000u);
    const size_t from = rig.Sim()->Streaming().OutRecord(SimRef3::PlayEndpoint).Packets.size();
    EmuAdvanceMs(1000);
    const std::vector<ULONG> frames = PacketFrames(rig.Sim(), from, 4);
    EXPECT_GE(frames.size(), 999u);
    EXPECT_EQ(48u, *std::max_element(frames.begin(), frames.end()));
    rig.Leave(0, &client);
}

// Endpoints of three (OUT) and two (IN) transactions a microframe carry what
// one of 1,024 bytes cannot: eight 4-byte channels at 48 kHz, 1,536 bytes a
// packet. The device receives what the client handed out, and the client
// what the device sent (its counter of samples), byte for byte.
TEST(Uac2Stream, HighBandwidthEndpointsCarryTheirFormats)
{
    StreamRig rig(QuirkDevice("high-bandwidth-eight-channels.txt"));
    CountingClient play, record;
    play.Keep = true;
    ASSERT_EQ(STATUS_SUCCESS, rig.Start(0, &play, 48000, 32, 10, 2));
    ASSERT_EQ(STATUS_SUCCESS, rig.Start(1, &record, 48000, 32, 10, 2));
    EmuAdvanceMs(500);
    const SimOutRecord& out = rig.Sim()->Streaming().OutRecord(0x01);
    ASSERT_GE(out.Data.size(), 1536u * 490);
    ASSERT_LE(out.Data.size(), play.Handed.size());
    EXPECT_TRUE(std::equal(out.Data.begin(), out.Data.end(), play.Handed.begin()));
    ASSERT_GE(record.Received.size(), 1536u * 480);
    std::vector<ULONG> samples(record.Received.size() / 4);
    memcpy(samples.data(), record.Received.data(), samples.size() * 4);
    for (size_t i = 1; i < samples.size(); ++i)
        ASSERT_EQ(samples[0] + i, samples[i]) << "sample " << i;
    rig.Leave(0, &play);
    rig.Leave(1, &record);
}
