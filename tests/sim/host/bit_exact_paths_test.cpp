// Where nothing on a stream's path is on (its only chain node an unmuted
// software mute, on a path of terminals or through a feature unit without
// controls), every sample leaves as the client or the device gave it, at
// every width, padding included: plays, recordings and both ways of ASIO,
// with data that never repeats, frame by frame. A mute switched on still
// silences the play, and the engine names it.
#include <gtest/gtest.h>

#include "sim/host/harness/host_asio_data.h"
#include "sim/host/harness/host_stream.h"
#include "tests/sim/host/device_start.h"

namespace
{
// Terminal to terminal both ways: 16 in 2, 24 in 3, 32 in 4, 16 in 4 bytes.
constexpr const char* kTerminals = "uac2-32-bit-terminals-only-headset.txt";
// Through feature units without controls: 16 in 2, 24 in 4, 20 in 3, 20 in 4.
constexpr const char* kSilentUnits = "uac2-silent-feature-units-headset.txt";

// Stereo frames of `bits`-bit containers of `valid` bits, every byte of
// frame k, padding included, the ASIO client's frame k.
HostAudio Noise(USHORT bits, USHORT valid)
{
    HostAudio a{48000, 2, bits, std::vector<UCHAR>(4800u * bits / 4), valid};
    for (ULONG k = 0; k < 4800; ++k)
        AsioClientFrame(k, bits / 4, &a.Data[(size_t)k * bits / 4]);
    return a;
}

// What the engine behind the first wave filter of `flow` says its chain changes.
std::string Processing(HostHarness& host, KSPIN_DATAFLOW flow)
{
    ULONG pin = 0, engine = 0;
    const auto subdevices = AudioEngineClient(host.Fdo()).Subdevices();
    const EmuPcSubdeviceInfo* filter = HostFindWaveFilter(subdevices, flow, &pin);
    if (filter == nullptr ||
        !HostPathProcessing::WaveFilterEngine(host.Fdo(), filter->Name, &engine))
        return "no engine";
    HostPathProcessing path(host.Fdo(), engine);
    path.Read();
    return path.Seen();
}

// The 15 ms pre-roll, then every frame of the file as it is; `muted`:
// nothing but silence.
void ExpectPlayed(HostHarness& host, const HostAudio& in, bool muted = false)
{
    HostStream stream(host);
    HostAudio got;
    HostStreamSummary summary;
    ASSERT_EQ(STATUS_SUCCESS, stream.Play(in, {}, &got, &summary)) << stream.Error();
    ASSERT_EQ(in.BitsPerSample, got.BitsPerSample);
    const size_t frame = in.FrameBytes(), at = 15 * 48 * frame;
    ASSERT_GE(got.Data.size(), at + in.Data.size());
    const std::vector<UCHAR> silence(frame, 0);
    for (size_t f = 0; f < in.Frames(); ++f)
        ASSERT_EQ(0, memcmp(muted ? silence.data() : &in.Data[f * frame], &got.Data[at + f * frame],
                            frame))
            << f;
    EXPECT_EQ(muted ? HostWire::Unreached : HostWire::Exact, summary.Wire);
}

// The device receives the client's frames, the capture ring holds the
// device's, each byte as it was, over 300 ms.
void ExpectAsioAsItIs(HostHarness& host, ULONG type, ULONG bytes)
{
    AsioTestClient client(host.Fdo());
    ULONG sizes[4] = {};
    ASSERT_EQ(STATUS_SUCCESS, client.Open());
    ASSERT_EQ(STATUS_SUCCESS, client.SetSampleType(type));
    ASSERT_EQ(STATUS_SUCCESS, client.GetBufferSize(sizes));
    ASSERT_EQ(STATUS_SUCCESS, client.MapAll(sizes[2]));
    ASSERT_EQ(bytes, client.RingSampleBytes());
    HostAsioData data(client, host, bytes);
    data.BeforeStart();
    ASSERT_EQ(STATUS_SUCCESS, client.Start());
    data.AfterStart();
    data.Run(300);
    for (const HostAsioWay& way : {data.Render(), data.Capture()})
    {
        EXPECT_EQ(std::vector<std::string>{}, way.Faults);
        EXPECT_EQ("", way.Position + way.Processing);
        EXPECT_EQ(way.Received, way.Compared);
        EXPECT_GT(way.Compared, 300u * 40);
    }
}
} // namespace

TEST(BitExactPaths, WithNothingOnEverySampleLeavesAsItCameAtEveryWidthBothWays)
{
    enum Way
    {
        Play,
        MutedPlay, // every mute node of the topology on
        Record,    // in the format the driver chooses: the most bits
        Asio       // Bits: the ring type; Valid: its bytes a sample
    };
    const struct
    {
        const char* Device;
        Way How;
        USHORT Bits, Valid;
    } rows[] = {
        {kTerminals, Play, 16, 16},   {kTerminals, Play, 24, 24},      {kTerminals, Play, 32, 32},
        {kSilentUnits, Play, 16, 16}, {kSilentUnits, Play, 32, 24},    {kSilentUnits, Play, 24, 20},
        {kTerminals, Record, 32, 32}, {kSilentUnits, Record, 32, 24},  {kTerminals, Asio, 16, 2},
        {kTerminals, Asio, 17, 3},    {kTerminals, Asio, 18, 4},       {kTerminals, Asio, 24, 4},
        {kSilentUnits, Asio, 16, 2},  {kSilentUnits, Asio, 27, 4},     {kSilentUnits, Asio, 17, 3},
        {kSilentUnits, Asio, 18, 4},  {kTerminals, MutedPlay, 32, 32},
    };
    for (const auto& row : rows)
    {
        SCOPED_TRACE(std::string(row.Device) + " way " + std::to_string(row.How) + ": " +
                     std::to_string(row.Bits) + ", " + std::to_string(row.Valid));
        HostHarness host;
        ASSERT_NO_FATAL_FAILURE(StartHostDevice(host, row.Device));
        for (UCHAR ep = 0x81; ep < 0x90; ++ep)
            host.Device()->Streaming().SetInPattern(ep, SimInPattern::Noise);
        AudioEngineClient client(host.Fdo());
        PFILE_OBJECT topology = nullptr;
        std::vector<GUID> types;
        ASSERT_EQ(STATUS_SUCCESS, client.OpenFilter(u"GlobalTopo", &topology));
        ASSERT_EQ(STATUS_SUCCESS, client.GetNodeTypes(topology, &types));
        const ULONG mute = row.How == MutedPlay ? 1 : 0;
        for (ULONG node = 0; node < types.size(); ++node)
            if (IsEqualGUID(types[node], KSNODETYPE_MUTE) &&
                !NT_SUCCESS(client.SetNodeValue(topology, node, KSPROPSETID_Audio,
                                                KSPROPERTY_AUDIO_MUTE, 0, &mute, 4)))
                ADD_FAILURE() << "mute node " << node;
        if (row.How == Asio)
            ExpectAsioAsItIs(host, row.Bits, row.Valid);
        else if (row.How != Record)
            ExpectPlayed(host, Noise(row.Bits, row.Valid), row.How == MutedPlay);
        else
        {
            HostStream stream(host);
            HostAudio recorded;
            HostStreamSummary summary;
            HostStreamOptions options;
            options.RecordPattern = SimInPattern::Noise;
            ASSERT_EQ(STATUS_SUCCESS, stream.Record(200, options, &recorded, &summary));
            EXPECT_EQ(row.Bits, recorded.BitsPerSample);
            EXPECT_EQ(row.Valid, recorded.Valid());
            EXPECT_EQ(HostWire::Exact, summary.Wire);
        }
        const KSPIN_DATAFLOW way = row.How == Record ? KSPIN_DATAFLOW_OUT : KSPIN_DATAFLOW_IN;
        EXPECT_EQ(mute != 0, Processing(host, way).starts_with("mute on control ")) << mute;
        EXPECT_EQ(mute == 0, Processing(host, way).empty());
    }
}
