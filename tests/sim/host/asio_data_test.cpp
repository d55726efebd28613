// Every frame of an ASIO client's both ways, on the class 2.0 devices of
// each ring type: the device receives each render ring from its first frame,
// each frame once and in order, at every start the client asks for (the
// first, a stop and start on the same mapping, a second client, every buffer
// size the driver states), goes on from the first frame it did not receive
// when the device returns to D0 while streaming (on five streams too, which
// stop one after the other, the silence between no fault), and the capture
// rings hold what the device sent (its counter), in order. Every fault put
// between the device and the compare, and every position that does not
// count what was moved, fails the run, named; processing on the path is
// named instead.
#include <gtest/gtest.h>

#include "platform/io/io_emu.h"
#include "platform/kernel/emu.h"
#include "sim/clients/audio_engine_client.h"
#include "sim/host/harness/host_harness.h"
#include "tests/sim/host/asio_faults.h"
#include "tests/sim/host/device_start.h"

namespace
{
struct DataCase
{
    const char* Device;
    ULONG SampleBytes; // of the type the rings run in
    ULONG Frames = 0;  // the buffer mapped, 0 for the preferred one
    NTSTATUS Map = STATUS_SUCCESS;
};

// Named by its device in the test's name.
void PrintTo(const DataCase& c, std::ostream* os)
{
    *os << c.Device;
}

// 16-bit, 24 in 3, 20 in 3 and 20 in 4 bytes, and a 44.1 kHz and a 96 kHz clock.
const DataCase kCases[] = {
    {"Uac2HighSpeed", 2},
    {"Uac2Spdif", 2},
    {"uac2-24-bit-only-headset.txt", 3},
    {"uac2-20-bit-in-3-bytes-headset.txt", 3},
    {"uac2-20-bit-in-4-bytes-headset.txt", 4},
    {"uac2-44100-clock-headset.txt", 2},
    {"uac2-fixed-96k-clock-headset.txt", 2},
    // Five streams, two of them render, that a power-down stops one after
    // the other: the smallest size, the preferred one, and the larger ones
    // whose last streams stop a ring of frames after the first.
    {"five-engine-interface.txt", 2, 96},
    {"five-engine-interface.txt", 2, 480},
    {"five-engine-interface.txt", 2, 960},
    {"five-engine-interface.txt", 2, 2400},
};

// The edges of the sizes stated at 48, 44.1 and 96 kHz, the shortest buffers
// (URBs of 1 ms) and 44.1 kHz ones, whose URBs carry 44 and 45 frames.
constexpr NTSTATUS kRefused = STATUS_INVALID_BUFFER_SIZE;
constexpr char k44[] = "uac2-44100-clock-headset.txt", k96[] = "uac2-fixed-96k-clock-headset.txt";
const DataCase kSizes[] = {{"Uac2HighSpeed", 2, 95, kRefused},
                           {"Uac2HighSpeed", 2, 96},
                           {"Uac2HighSpeed", 2, 100},
                           {"Uac2HighSpeed", 2, 143},
                           {"Uac2HighSpeed", 2, 2401, kRefused},
                           {k44, 2, 960},
                           {k44, 2, 1440},
                           {k44, 2, 2205},
                           {k44, 2, 2400, kRefused},
                           {k96, 2, 191, kRefused},
                           {k96, 2, 192}};

class AsioData : public testing::TestWithParam<DataCase>
{
  protected:
    void SetUp() override
    {
        ASSERT_NO_FATAL_FAILURE(StartHostDevice(host, GetParam().Device));
        for (UCHAR ep = 0x81; ep < 0x90; ++ep)
            host.Device()->Streaming().SetInPattern(ep, SimInPattern::Counter);
    }

    // A client of its own, mapped at the case's buffer, every channel.
    std::unique_ptr<AsioTestClient> MappedClient()
    {
        auto client = std::make_unique<AsioTestClient>(host.Fdo());
        AsioSampleTypes types;
        ULONG chosen = 0, current = 0, rate = 0, sizes[4] = {};
        EXPECT_EQ(STATUS_SUCCESS, client->Open());
        EXPECT_EQ(STATUS_SUCCESS, client->ChooseSampleRate(&current, &rate));
        EXPECT_EQ(STATUS_SUCCESS, client->ChooseSampleType(&types, &chosen));
        EXPECT_EQ(STATUS_SUCCESS, client->GetBufferSize(sizes));
        EXPECT_EQ(GetParam().Map,
                  client->MapAll(GetParam().Frames != 0 ? GetParam().Frames : sizes[2]));
        EXPECT_EQ(GetParam().SampleBytes, client->RingSampleBytes());
        return client;
    }

    void Start(AsioTestClient& client, HostAsioData& data)
    {
        data.BeforeStart();
        ASSERT_EQ(STATUS_SUCCESS, client.Start());
        data.AfterStart();
    }

    // Both ways agree over `ms`, and frames were compared each way.
    void RunAndCompare(HostAsioData& data, ULONG ms, const std::string& phase)
    {
        SCOPED_TRACE(phase);
        const ULONGLONG render = data.Render().Compared, capture = data.Capture().Compared;
        data.Run(ms);
        for (const HostAsioWay& way : {data.Render(), data.Capture()})
        {
            EXPECT_EQ(std::vector<std::string>{}, way.Faults);
            EXPECT_EQ("", way.Position);
            EXPECT_EQ("", way.Processing);
            EXPECT_EQ(way.Received, way.Compared);
        }
        EXPECT_GT(data.Render().Compared, render + ms * 40);
        EXPECT_GT(data.Capture().Compared, capture + ms * 40);
    }

    NTSTATUS Power(DEVICE_POWER_STATE state)
    {
        return EmuPoSendDevicePower(host.Pdo(), IRP_MN_SET_POWER, state);
    }

    // Down to D2 for `ms` while streaming, and back.
    void PowerCycle(HostAsioData& data, ULONG ms)
    {
        data.PoweringDown();
        ASSERT_EQ(STATUS_SUCCESS, Power(PowerDeviceD2));
        data.Run(ms);
        ASSERT_EQ(STATUS_SUCCESS, Power(PowerDeviceD0));
        data.Restarted();
    }

    HostHarness host;
};

TEST_P(AsioData, EveryStartSendsTheRingsFromTheirFirstFrameOnceAndInOrder)
{
    auto first = MappedClient();
    HostAsioData data(*first, host, GetParam().SampleBytes);
    Start(*first, data);
    RunAndCompare(data, 1500, "the first start");
    ASSERT_EQ(STATUS_SUCCESS, first->Stop());
    Start(*first, data);
    RunAndCompare(data, 1000, "a stop and a start on the same mapping");
    // The last power-down comes as a start is under way, its pre-roll not
    // yet all received.
    for (const ULONG ms : {100u, 3u, 0u})
    {
        if (ms == 0)
        {
            ASSERT_EQ(STATUS_SUCCESS, first->Stop());
            Start(*first, data);
        }
        PowerCycle(data, ms);
        RunAndCompare(data, 500,
                      "back in D0, " + std::to_string(ms) + " ms later, while streaming");
    }
    ASSERT_EQ(STATUS_SUCCESS, first->Stop());
    ASSERT_EQ(STATUS_SUCCESS, first->Unmap());
    first.reset();

    auto second = MappedClient();
    HostAsioData more(*second, host, GetParam().SampleBytes);
    Start(*second, more);
    PowerCycle(more, 1);
    RunAndCompare(more, 1000, "a second client, back in D0 as it starts");
    EXPECT_EQ(STATUS_SUCCESS, second->Stop());
}

// A size the driver states maps, and its start sends the rings from their
// first frame with the pre-roll the header states; any other is refused.
class AsioDataSize : public AsioData
{
};

TEST_P(AsioDataSize, EveryStatedBufferSizeStartsAtTheRingsFirstFrame)
{
    auto client = MappedClient();
    if (!NT_SUCCESS(GetParam().Map))
        return;
    HostAsioData data(*client, host, GetParam().SampleBytes);
    Start(*client, data);
    RunAndCompare(data, 200, "streaming");
    EXPECT_EQ(STATUS_SUCCESS, client->Stop());
}

// Across a power-down of five streams, the silence the last render ring's
// endpoint receives as they stop one after the other is no fault; a fault in
// the first frames after the return to D0 is named as anywhere else (a
// repeat takes a frame from before the power-down).
class AsioDataPowerDown : public AsioData
{
};

TEST_P(AsioDataPowerDown, SilenceAsTheStreamsStopIsNoFaultWhatComesAfterIs)
{
    // The faults on the last render ring's frames; the others pass.
    struct LastRing : FaultTap
    {
        using FaultTap::FaultTap;
        size_t Passed = 0;
        void Sent(size_t, const std::vector<UCHAR>&) override {}
        void Read(size_t, std::vector<UCHAR>*) override {}
        void Received(size_t ring, std::vector<UCHAR>* bytes) override
        {
            if (ring != 4)
                return;
            Passed += bytes->size() / 8;
            FaultTap::Received(ring, bytes);
        }
    };
    for (const Fault what : {kFaults /* none */, Lose, Repeat, Blank, Noise})
    {
        SCOPED_TRACE(what);
        auto client = MappedClient();
        ASSERT_EQ(8u, client->Rings()[4].Channels * 2);
        LastRing tap(8, 2);
        HostAsioData data(*client, host, 2, &tap);
        Start(*client, data);
        data.Run(300);
        PowerCycle(data, 20);
        if (what != kFaults)
            tap.Render.Put(what, tap.Passed, 3, 2000);
        data.Run(300);
        std::vector<std::string> said;
        for (const std::string& line : tap.Render.Said(false).Faults)
            said.push_back("ring 4: " + line);
        EXPECT_EQ(said, data.Render().Faults);
        EXPECT_EQ("", data.Render().Position);
        EXPECT_EQ(STATUS_SUCCESS, client->Stop());
        EXPECT_EQ(STATUS_SUCCESS, client->Unmap());
    }
}

std::string CaseName(const testing::TestParamInfo<DataCase>& info)
{
    std::string name = info.param.Device;
    name = name.substr(0, name.find('.'));
    std::erase(name, '-');
    return info.param.Frames != 0 ? name + "_" + std::to_string(info.param.Frames) : name;
}

INSTANTIATE_TEST_SUITE_P(Devices, AsioData, testing::ValuesIn(kCases), CaseName);
INSTANTIATE_TEST_SUITE_P(Sizes, AsioDataSize, testing::ValuesIn(kSizes), CaseName);
INSTANTIATE_TEST_SUITE_P(FiveStreams, AsioDataPowerDown,
                         testing::Values(DataCase{"five-engine-interface.txt", 2, 960}), CaseName);

// On paths that change no sample, every fault between the device and the
// compare fails the run, named, and the compare goes on to name the next:
// at frame 24000 (or 0) a sample's lowest bit flipped, two channels swapped,
// 10 frames of noise inserted, 5 blanked, or the frame from 5000 before
// inserted; then
// frames 30000 to 30002 never received. Where the device renders, it returns
// to full power at 300 ms first.
class AsioDataFaults : public AsioData
{
};

TEST_P(AsioDataFaults, EveryFaultFailsNamedAndTheCompareGoesOn)
{
    constexpr char kOther[] = "the device received other samples than the client's in place of "
                              "frames 24000 to 24000, from wire frame 24000";
    constexpr char kOtherIn[] = "the capture ring holds other samples than the device sent in "
                                "place of wire frames 24000 to 24000, from frame 24000";
    const struct
    {
        bool In;
        Fault What;
        ULONG At, Count, Back;
        const char* Line;
    } rows[] = {
        {false, Flip, 24000, 1, 0, kOther},
        {false, Swap, 24000, 1, 0, kOther},
        {false, Noise, 0, 10, 0,
         "the device received 10 frame(s) inserted before frame 0, from wire frame 0"},
        {false, Noise, 24000, 10, 0,
         "the device received 10 frame(s) inserted before frame 24000, from wire frame 24000"},
        {false, Blank, 24000, 5, 0,
         "the device received silence in place of frames 24000 to 24004, from wire frame 24000"},
        {false, Repeat, 24000, 1, 5000,
         "the device received frame 19000 again or out of order at wire frame 24000, in place "
         "of frame 24000"},
        {true, Flip, 24000, 1, 0, kOtherIn},
        {true, Swap, 24000, 1, 0, kOtherIn},
        {true, Noise, 24000, 10, 0,
         "the capture ring holds 10 frame(s) the device never sent, inserted before wire frame "
         "24000, from frame 24000"},
        {true, Repeat, 24000, 1, 5000,
         "the capture ring holds wire frame 19000 again or out of order at frame 24000, in place "
         "of wire frame 24000"},
    };
    for (const auto& row : rows)
    {
        SCOPED_TRACE(row.Line);
        auto client = MappedClient();
        const ULONG sample = GetParam().SampleBytes;
        FaultTap tap(client->Rings()[0].Channels * sample, sample);
        Faulter& faulter = row.In ? tap.Capture : tap.Render;
        faulter.Put(row.What, row.At, row.Count, row.Back);
        faulter.Put(Lose, 30000, 3, 0);
        HostAsioData data(*client, host, sample, &tap);
        Start(*client, data);
        data.Run(300);
        if (!row.In)
            PowerCycle(data, 5);
        data.Run(400);
        const std::string wire =
            std::to_string(30000 + (row.What == Noise ? 10 : 0) + (row.What == Repeat ? 1 : 0));
        const std::string lost =
            row.In ? "the capture ring never got wire frames 30000 to 30002: from frame " + wire +
                         " it holds the device's wire frame 30003 on"
                   : "the device never received frames 30000 to 30002: from wire frame " + wire +
                         " it received frame 30003 on";
        const HostAsioWay faulty = row.In ? data.Capture() : data.Render();
        const HostAsioWay clean = row.In ? data.Render() : data.Capture();
        EXPECT_EQ(std::vector<std::string>({row.Line, lost}), faulty.Faults);
        EXPECT_EQ(std::vector<std::string>{}, clean.Faults);
        EXPECT_EQ("", faulty.Position + clean.Position + faulty.Processing + clean.Processing);
        EXPECT_EQ(STATUS_SUCCESS, client->Stop());
    }
}

// Each position the check holds the driver to, fed one that breaks it: the
// start position moved by a frame, the pre-roll stated a frame short, a
// return to D0 that starts a frame past the first the device did not
// receive, and a capture ring read after the driver put 51 ms and more in
// it, more than its 40 ms.
TEST_P(AsioDataFaults, APositionThatDoesNotCountWhatWasMovedFails)
{
    enum Feed
    {
        Start,
        Preroll,
        Resume,
        Fuller,
        Ahead
    };
    const char* const rows[] = {
        "the stream started at ring byte {f}, not at the ring's first frame (ring byte 0)",
        "after the start the driver's position is ring byte {p}, not the pre-roll's {q} bytes "
        "past the start position: the pre-roll came from elsewhere",
        "the stream started at ring byte {r}, not at the first frame the device did not receive "
        "(ring byte {s})",
        "the driver put {n} frames in the capture ring between two reads, more than it holds",
        "the driver's position puts 1000 frames in the capture ring, of which the device has "
        "sent {m}"};
    for (const Feed feed : {Start, Preroll, Resume, Fuller, Ahead})
    {
        std::string said = rows[feed];
        SCOPED_TRACE(said);
        auto client = MappedClient();
        HostAsioData data(*client, host, GetParam().SampleBytes);
        data.BeforeStart();
        ASSERT_EQ(STATUS_SUCCESS, client->Start());
        const AsioClientRing& ring = client->Rings()[feed >= Fuller ? 1 : 0];
        const ULONG frame = ring.Channels * GetParam().SampleBytes;
        ULONG header[3] = {}; // the driver's position, the start position, the pre-roll
        const auto put = [&](const char* name, ULONG value)
        {
            if (said.find(name) != said.npos)
                said.replace(said.find(name), 3, std::to_string(value));
        };
        memcpy(header, ring.Base + 20, sizeof(header));
        put("{f}", frame);
        put("{p}", header[0]);
        put("{q}", header[2] - frame);
        header[1] += feed == Start ? frame : 0;
        header[2] -= feed == Preroll ? frame : 0;
        memcpy(ring.Base + 24, &header[1], 8);
        data.AfterStart();
        data.Run(100);
        if (feed == Resume || feed == Ahead)
        {
            data.PoweringDown();
            ASSERT_EQ(STATUS_SUCCESS, Power(PowerDeviceD2));
            data.Run(5);
            ASSERT_EQ(STATUS_SUCCESS, Power(PowerDeviceD0));
            memcpy(header, ring.Base + 20, sizeof(header));
            put("{s}", header[1]);
            put("{r}", header[1] += frame);
            header[0] = (header[0] + (feed == Ahead ? 1000 * frame : 0)) % ring.DataBytes;
            memcpy(ring.Base + 20, header, feed == Ahead ? 4 : 8);
            data.Restarted();
        }
        if (feed == Fuller)
            client->Run(50);
        data.Run(1);
        const std::string position = (ring.IsInput ? data.Capture() : data.Render()).Position;
        // Fuller: what the device sent since the last read, and a URB the
        // driver had yet to put; ahead: what it sent and the driver dropped
        // at the power-down.
        for (const auto& [name, least, most] :
             {std::tuple{"{n}", 51 * 48, 52 * 48}, {"{m}", 0, 999}})
        {
            const size_t at = std::min(said.find(name), position.size());
            const ULONG frames = strtoul(position.c_str() + at, nullptr, 10);
            if (at < position.size() && frames >= (ULONG)least && frames <= (ULONG)most)
                put(name, frames);
        }
        EXPECT_EQ(said, position);
        EXPECT_EQ(STATUS_SUCCESS, client->Stop());
    }
}

// 16-bit, 24 in 4 bytes of eight channels (type 27), 20 in 4 bytes.
const DataCase kFaultCases[] = {{"Uac2HighSpeed", 2},
                                {"high-bandwidth-eight-channels.txt", 4},
                                {"uac2-20-bit-in-4-bytes-headset.txt", 4}};
INSTANTIATE_TEST_SUITE_P(Devices, AsioDataFaults, testing::ValuesIn(kFaultCases), CaseName);

// A path whose processing comes on during a run: the software mutes of a
// path of terminals, on from 100 to 200 ms. The frames they silence are
// what it made of them, named in the driver's words from the first frame
// silenced, and fail nothing; a frame changed before and frames lost after
// are still faults.
class AsioDataProcessing : public AsioData
{
};

// The first frame silenced each way, and the first after it not silent: on
// the first, a fault of its own (kFaults for none) is put `after` frames on.
struct MuteTap : FaultTap
{
    MuteTap(int way = 0, Fault what = kFaults, ULONG after = 0, ULONG count = 1)
        : FaultTap(4, 2), Way(way), What(what), After(after), Count(count)
    {
    }
    void Look(int way, const std::vector<UCHAR>& bytes)
    {
        for (size_t at = 0; at < bytes.size(); at += 4, ++Frames[way])
        {
            const bool silent = !memcmp(&bytes[at], "\0\0\0\0", 4);
            if (Silent[way] == ~0ull && silent)
                Silent[way] = Frames[way];
            else if (Silent[way] != ~0ull && Unmuted[way] == ~0ull && !silent)
            {
                Unmuted[way] = Frames[way];
                if (What != kFaults && way == Way)
                    (way == 0 ? Render : Capture).Put(What, Frames[way] + After, Count, 1);
            }
        }
    }
    void Received(size_t ring, std::vector<UCHAR>* bytes) override
    {
        Look(0, *bytes);
        FaultTap::Received(ring, bytes);
    }
    void Read(size_t ring, std::vector<UCHAR>* frames) override
    {
        Look(1, *frames);
        FaultTap::Read(ring, frames);
    }
    const int Way; // 0 render, 1 capture
    const Fault What;
    const ULONG After, Count;
    ULONGLONG Frames[2] = {}, Silent[2] = {~0ull, ~0ull}, Unmuted[2] = {~0ull, ~0ull};
};

// Sets both software mutes of the path of terminals.
void Mute(HostHarness& host, ULONG mute)
{
    AudioEngineClient engine(host.Fdo());
    PFILE_OBJECT topology = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, engine.OpenFilter(u"GlobalTopo", &topology));
    for (ULONG node = 0; node < 2; ++node)
        ASSERT_EQ(STATUS_SUCCESS, engine.SetNodeValue(topology, node, KSPROPSETID_Audio,
                                                      KSPROPERTY_AUDIO_MUTE, 0, &mute, 4));
}

TEST_P(AsioDataProcessing, WhatIsOnIsNamedAndFaultsAreStillFound)
{
    MuteTap tap;
    tap.Render.Put(Flip, 2000, 1, 0);
    tap.Render.Put(Lose, 12000, 3, 0);
    auto client = MappedClient();
    HostAsioData data(*client, host, 2, &tap);
    Start(*client, data);
    for (const ULONG mute : {1u, 0u})
    {
        data.Run(100);
        Mute(host, mute);
    }
    data.Run(200);
    const HostAsioWay render = data.Render(), capture = data.Capture();
    for (const ULONGLONG silent : tap.Silent) // from about 100 ms on
        ASSERT_TRUE(silent > 4000 && silent < 5000) << silent;
    EXPECT_EQ(std::vector<std::string>({"the device received other samples than the client's in "
                                        "place of frames 2000 to 2000, from wire frame 2000",
                                        "the device never received frames 12000 to 12002: from "
                                        "wire frame 12000 it received frame 12003 on"}),
              render.Faults);
    EXPECT_EQ(std::vector<std::string>{}, capture.Faults);
    EXPECT_EQ("processing is on: mute on control 5: from frame " + std::to_string(tap.Silent[0]) +
                  " the device received other samples than the client's",
              render.Processing);
    EXPECT_EQ("processing is on: mute on control 6: from frame " + std::to_string(tap.Silent[1]) +
                  " the capture ring holds other samples than the device sent",
              capture.Processing);
    EXPECT_EQ(STATUS_SUCCESS, client->Stop());
}

// The mutes on from 100 to 500 ms: the frames the driver took before they
// went off are the mute's, wherever they reach; a fault in any frame it took
// after fails, named, from the first frame not silenced on (a frame of
// noise inserted before it, its low bit flipped, its channels swapped, five
// frames blanked), a few frames on, and 30 ms on, within a ring of frames
// of the change.
TEST_P(AsioDataProcessing, NoFaultPassesOnceTheProcessingIsOff)
{
    const struct
    {
        bool In;
        Fault What;
        ULONG After, Count;
    } rows[] = {{false, Noise, 0, 1},   {false, Flip, 0, 1},    {false, Swap, 3, 1},
                {false, Blank, 100, 5}, {false, Flip, 1440, 1}, {true, Noise, 0, 1},
                {true, Flip, 0, 1},     {true, Swap, 3, 1},     {true, Flip, 1440, 1}};
    for (const auto& row : rows)
    {
        SCOPED_TRACE(testing::Message() << row.In << " " << row.What << " " << row.After);
        const int way = row.In ? 1 : 0;
        MuteTap tap(way, row.What, row.After, row.Count);
        auto client = MappedClient();
        HostAsioData data(*client, host, 2, &tap);
        Start(*client, data);
        data.Run(100);
        Mute(host, 1);
        data.Run(400);
        Mute(host, 0);
        data.Run(100);
        const HostAsioWay faulty = row.In ? data.Capture() : data.Render();
        const HostAsioSaid said = (row.In ? tap.Capture : tap.Render).Said(row.In);
        ASSERT_EQ(1u, said.Faults.size());
        EXPECT_EQ(said.Faults, faulty.Faults);
        EXPECT_EQ(std::vector<std::string>{}, (row.In ? data.Render() : data.Capture()).Faults);
        EXPECT_EQ("processing is on: mute on control " + std::to_string(5 + way) + ": from frame " +
                      std::to_string(tap.Silent[way]) +
                      (row.In ? " the capture ring holds other samples than the device sent"
                              : " the device received other samples than the client's"),
                  faulty.Processing);
        // Half a second in, as the change goes through.
        EXPECT_GT(tap.Unmuted[way], 23000u);
        EXPECT_LT(tap.Unmuted[way], 26000u);
        EXPECT_EQ(STATUS_SUCCESS, client->Stop());
    }
}

INSTANTIATE_TEST_SUITE_P(Terminals, AsioDataProcessing,
                         testing::Values(DataCase{"uac2-32-bit-terminals-only-headset.txt", 2}),
                         CaseName);
} // namespace
