// Where nothing on a stream's path is on (its only chain node an unmuted
// software mute, on a path of terminals or through a feature unit without
// controls), every sample leaves as the client or the device gave it, at
// every width and in every container, padding included: plays, recordings
// and both ways of ASIO, with data that never repeats, frame by frame. A
// mute switched on still silences the play, and the engine names it.
#include <gtest/gtest.h>

#include <algorithm>

#include "framework/adapter_extension.h"
#include "framework/stream_engine.h"
#include "sim/host/harness/host_asio_data.h"
#include "sim/host/harness/host_stream.h"
#include "tests/sim/host/render_filter.h"

namespace
{
// Terminal to terminal both ways: 16 in 2, 24 in 3, 32 in 4, 16 in 4.
constexpr const char* kTerminals = "uac2-32-bit-terminals-only-headset.txt";
// Through feature units that declare no control: 16 in 2, 24 in 4, 20 in 3, 20 in 4.
constexpr const char* kSilentUnits = "uac2-silent-feature-units-headset.txt";

void Start(HostHarness& host, const char* file)
{
    std::string error;
    ASSERT_EQ(STATUS_SUCCESS, host.LoadDriver());
    ASSERT_EQ(STATUS_SUCCESS,
              host.PlugDescriptorFile(std::string(LT_QUIRKS_DIR) + "/" + file, &error))
        << error;
    ASSERT_EQ(STATUS_SUCCESS, host.AddDevice());
    ASSERT_EQ(STATUS_SUCCESS, host.StartDevice());
}

// Stereo frames of `bits`-bit containers holding `valid` bits: every byte of
// frame k, padding included, from the ASIO client's frame k, which no other
// frame of the run shares.
HostAudio Noise(ULONG frames, USHORT bits, USHORT valid)
{
    HostAudio a{48000, 2, bits, std::vector<UCHAR>((size_t)frames * bits / 4), valid};
    for (ULONG k = 0; k < frames; ++k)
        AsioClientFrame(k, bits / 4, &a.Data[(size_t)k * bits / 4]);
    return a;
}

// The engine of the device's stream in `direction`, through the adapter.
CStreamEngine* EngineOf(HostHarness& host, ULONG direction)
{
    PADAPTERCOMMON adapter = GetAdapterExtension(host.Fdo())->Adapter;
    for (ULONG i = 0; adapter != nullptr && i < adapter->GetEngineCount(); ++i)
    {
        CStreamEngine* engine = nullptr;
        if (NT_SUCCESS(adapter->GetEngine(i, &engine)) && engine->GetDirection() == direction)
            return engine;
    }
    return nullptr;
}

std::string Processing(HostHarness& host, ULONG direction)
{
    char text[256] = "?";
    CStreamEngine* engine = EngineOf(host, direction);
    EXPECT_NE(nullptr, engine);
    if (engine != nullptr)
    {
        EXPECT_EQ(STATUS_SUCCESS, engine->DescribeProcessing(text, sizeof(text)));
    }
    return text;
}

// What the device received: the 15 ms pre-roll's silence, the file byte
// for byte, and silence after it.
void ExpectReceivedAsItIs(const HostAudio& in, const HostAudio& received)
{
    ASSERT_EQ(in.BitsPerSample, received.BitsPerSample);
    const size_t preRoll = 15 * 48 * (size_t)in.FrameBytes();
    ASSERT_GE(received.Data.size(), preRoll + in.Data.size());
    const auto data = received.Data.begin() + (ptrdiff_t)preRoll;
    const auto zero = [](UCHAR b) { return b == 0; };
    EXPECT_TRUE(std::all_of(received.Data.begin(), data, zero));
    for (size_t f = 0; f < in.Frames(); ++f)
        ASSERT_TRUE(std::equal(in.Data.begin() + (ptrdiff_t)(f * in.FrameBytes()),
                               in.Data.begin() + (ptrdiff_t)((f + 1) * in.FrameBytes()),
                               data + (ptrdiff_t)(f * in.FrameBytes())))
            << "frame " << f;
    EXPECT_TRUE(std::all_of(data + (ptrdiff_t)in.Data.size(), received.Data.end(), zero));
}
} // namespace

TEST(BitExactPaths, PlaysReachTheDeviceAsTheyAreAtEveryWidth)
{
    const struct
    {
        const char* Device;
        USHORT Bits, Valid;
    } rows[] = {
        {kTerminals, 16, 16},   {kTerminals, 24, 24},   {kTerminals, 32, 32},
        {kSilentUnits, 16, 16}, {kSilentUnits, 32, 24}, {kSilentUnits, 24, 20},
    };
    for (const auto& row : rows)
    {
        SCOPED_TRACE(std::string(row.Device) + " " + std::to_string(row.Valid) + " in " +
                     std::to_string(row.Bits));
        HostHarness host;
        Start(host, row.Device);
        HostStream stream(host);
        const HostAudio in = Noise(4800, row.Bits, row.Valid);
        HostAudio received;
        HostStreamSummary summary;
        ASSERT_EQ(STATUS_SUCCESS, stream.Play(in, {}, &received, &summary)) << stream.Error();
        ExpectReceivedAsItIs(in, received);
        EXPECT_EQ(HostWire::Exact, summary.Wire);
        EXPECT_EQ("", Processing(host, STREAM_DIRECTION_RENDER));
    }
}

// The device sends noise at its resolution; the recording, in the format the
// driver chooses (the most bits), holds it unchanged.
TEST(BitExactPaths, RecordingsHoldWhatTheDeviceSent)
{
    const struct
    {
        const char* Device;
        USHORT Bits, Valid;
    } rows[] = {
        {kTerminals, 32, 32}, {kSilentUnits, 32, 24}, {"uac2-24-bit-only-headset.txt", 24, 24}};
    for (const auto& row : rows)
    {
        SCOPED_TRACE(row.Device);
        HostHarness host;
        Start(host, row.Device);
        HostStream stream(host);
        HostAudio recorded;
        HostStreamSummary summary;
        HostStreamOptions options;
        options.RecordPattern = SimInPattern::Noise;
        ASSERT_EQ(STATUS_SUCCESS, stream.Record(200, options, &recorded, &summary))
            << stream.Error();
        EXPECT_EQ(row.Bits, recorded.BitsPerSample);
        EXPECT_EQ(row.Valid, recorded.Valid());
        EXPECT_EQ(HostWire::Exact, summary.Wire);
        EXPECT_EQ("", Processing(host, STREAM_DIRECTION_CAPTURE));
    }
}

// Every ring type the devices offer, the client's padding bits never zero,
// the device's capture noise at its resolution: the device receives the
// client's frames and the capture rings hold the device's, each byte as it was.
TEST(BitExactPaths, AsioRingsOfEveryTypeKeepEveryByteBothWays)
{
    const struct
    {
        const char* Device;
        ULONG Type, Bytes;
    } rows[] = {
        {kTerminals, 16, 2},   {kTerminals, 17, 3},   {kTerminals, 18, 4},   {kTerminals, 24, 4},
        {kSilentUnits, 16, 2}, {kSilentUnits, 27, 4}, {kSilentUnits, 17, 3}, {kSilentUnits, 18, 4},
    };
    for (const auto& row : rows)
    {
        SCOPED_TRACE(std::string(row.Device) + " type " + std::to_string(row.Type));
        HostHarness host;
        Start(host, row.Device);
        for (UCHAR ep = 0x81; ep < 0x90; ++ep)
            host.Device()->Streaming().SetInPattern(ep, SimInPattern::Noise);
        AsioTestClient client(host.Fdo());
        ULONG sizes[4] = {};
        ASSERT_EQ(STATUS_SUCCESS, client.Open());
        ASSERT_EQ(STATUS_SUCCESS, client.SetSampleType(row.Type));
        ASSERT_EQ(STATUS_SUCCESS, client.GetBufferSize(sizes));
        ASSERT_EQ(STATUS_SUCCESS, client.MapAll(sizes[2]));
        ASSERT_EQ(row.Bytes, client.RingSampleBytes());
        HostAsioData data(client, host.Device(), row.Bytes);
        data.BeforeStart();
        ASSERT_EQ(STATUS_SUCCESS, client.Start());
        data.AfterStart();
        data.Run(300);
        for (const std::string* said :
             {&data.RenderFault(), &data.CaptureFault(), &data.RenderProcessing(),
              &data.CaptureProcessing(), &data.RenderPosition(), &data.CapturePosition()})
            EXPECT_EQ("", *said);
        EXPECT_GT(data.RenderCompared(), 300u * 40);
        EXPECT_GT(data.CaptureCompared(), 300u * 40);
        EXPECT_EQ(STATUS_SUCCESS, client.Stop());
    }
}

// The path's software mute, switched on through its topology node, silences
// the play, and the render engine says so; unmuted it says nothing.
TEST(BitExactPaths, AMuteSwitchedOnStillSilencesThePlay)
{
    HostHarness host;
    Start(host, kTerminals);
    EXPECT_EQ("", Processing(host, STREAM_DIRECTION_RENDER));
    AudioEngineClient client(host.Fdo());
    PFILE_OBJECT topology = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, client.OpenFilter(u"GlobalTopo", &topology));
    std::vector<GUID> types;
    ASSERT_EQ(STATUS_SUCCESS, client.GetNodeTypes(topology, &types));
    const ULONG on = 1;
    ULONG mutes = 0;
    for (ULONG node = 0; node < types.size(); ++node)
        if (IsEqualGUID(types[node], KSNODETYPE_MUTE))
        {
            ASSERT_EQ(STATUS_SUCCESS,
                      client.SetNodeValue(topology, node, KSPROPSETID_Audio, KSPROPERTY_AUDIO_MUTE,
                                          0, &on, sizeof(on)));
            ++mutes;
        }
    EXPECT_EQ(2u, mutes); // one a path
    const std::string said = Processing(host, STREAM_DIRECTION_RENDER);
    EXPECT_EQ(0u, said.find("mute on control ")) << said;
    HostStream stream(host);
    HostAudio received;
    HostStreamSummary summary;
    ASSERT_EQ(STATUS_SUCCESS, stream.Play(Noise(4800, 32, 32), {}, &received, &summary))
        << stream.Error();
    ASSERT_GE(received.Data.size(), 4800u * 8);
    EXPECT_TRUE(
        std::all_of(received.Data.begin(), received.Data.end(), [](UCHAR b) { return b == 0; }));
}
