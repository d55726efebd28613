// Every frame of an ASIO client's both ways, on the class 2.0 devices of
// each ring type: the device receives each render ring from its first frame,
// each frame once and in order, at every start the client asks for (the
// first, a stop and start on the same mapping, a second client, every buffer
// size the driver states), goes on from the first frame it did not receive
// when the device returns to D0 while streaming, and the capture rings hold
// what the device sent (its counter), in order.
#include <gtest/gtest.h>

#include "platform/io/io_emu.h"
#include "platform/kernel/emu.h"
#include "sim/clients/audio_engine_client.h"
#include "sim/host/harness/host_asio_data.h"
#include "sim/host/harness/host_harness.h"

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
        const std::string device = GetParam().Device;
        std::string error;
        ASSERT_EQ(STATUS_SUCCESS, host.LoadDriver());
        ASSERT_EQ(STATUS_SUCCESS,
                  device.ends_with(".txt")
                      ? host.PlugDescriptorFile(std::string(LT_QUIRKS_DIR) + "/" + device, &error)
                      : host.PlugReference(device, &error))
            << error;
        ASSERT_EQ(STATUS_SUCCESS, host.AddDevice());
        ASSERT_EQ(STATUS_SUCCESS, host.StartDevice());
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
    for (const ULONG ms : {100u, 3u})
    {
        ASSERT_EQ(STATUS_SUCCESS, Power(PowerDeviceD2));
        data.Run(ms);
        ASSERT_EQ(STATUS_SUCCESS, Power(PowerDeviceD0));
        data.Restarted();
        RunAndCompare(data, 500,
                      "back in D0, " + std::to_string(ms) + " ms later, while streaming");
    }
    ASSERT_EQ(STATUS_SUCCESS, first->Stop());
    ASSERT_EQ(STATUS_SUCCESS, first->Unmap());
    first.reset();

    auto second = MappedClient();
    HostAsioData more(*second, host, GetParam().SampleBytes);
    Start(*second, more);
    RunAndCompare(more, 1000, "a second client");
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

std::string CaseName(const testing::TestParamInfo<DataCase>& info)
{
    std::string name = info.param.Device;
    name = name.substr(0, name.find('.'));
    std::erase(name, '-');
    return info.param.Frames != 0 ? name + "_" + std::to_string(info.param.Frames) : name;
}

INSTANTIATE_TEST_SUITE_P(Devices, AsioData, testing::ValuesIn(kCases), CaseName);
INSTANTIATE_TEST_SUITE_P(Sizes, AsioDataSize, testing::ValuesIn(kSizes), CaseName);

// On paths that change no sample, every fault between the device and the
// compare fails the run, named, and the compare goes on to name the next:
// at frame 24000 (or 0) a sample's lowest bit flipped, two channels swapped,
// 10 frames of noise inserted, or the frame from 5000 before inserted; then
// frames 30000 to 30002 never received. Where the device renders, it returns
// to full power at 300 ms first.
class AsioDataFaults : public AsioData
{
};

enum class Put
{
    Flip,
    Swap,
    Noise,
    Repeat
};

struct PutRow
{
    bool In;
    Put What;
    ULONG At;
    const char* Line;
    const char* Lost;
};

// Puts the row's fault into what the device received (render) or what the
// client read (capture), counting frames as they come.
class PutTap : public HostAsioTap
{
  public:
    PutTap(const PutRow& row, ULONG frameBytes, ULONG sampleBytes)
        : m_Row(row), m_Bytes(frameBytes), m_Sample(sampleBytes), m_Back(frameBytes)
    {
    }
    void Received(size_t, std::vector<UCHAR>* bytes) override
    {
        if (!m_Row.In)
            Put(bytes);
    }
    void Read(size_t, std::vector<UCHAR>* frames) override
    {
        if (m_Row.In)
            Put(frames);
    }

  private:
    void Put(std::vector<UCHAR>* bytes)
    {
        std::vector<UCHAR> out;
        for (size_t at = 0; at < bytes->size(); at += m_Bytes, ++m_Frame)
        {
            const auto frame = bytes->begin() + (ptrdiff_t)at;
            if (m_Frame + 5000 == m_Row.At)
                std::copy(frame, frame + m_Bytes, m_Back.begin());
            if (m_Frame == m_Row.At && m_Row.What == Put::Flip)
                frame[0] ^= 1;
            if (m_Frame == m_Row.At && m_Row.What == Put::Swap)
                std::swap_ranges(frame, frame + m_Sample, frame + m_Sample);
            for (int i = 0; m_Frame == m_Row.At && m_Row.What == Put::Noise && i < 10; ++i)
                for (ULONG b = 0; b < m_Bytes; ++b)
                    out.push_back((UCHAR)(0x35 + 7 * i + 13 * b));
            if (m_Frame == m_Row.At && m_Row.What == Put::Repeat)
                out.insert(out.end(), m_Back.begin(), m_Back.end());
            if (m_Frame < 30000 || m_Frame > 30002)
                out.insert(out.end(), frame, frame + m_Bytes);
        }
        *bytes = out;
    }

    const PutRow m_Row;
    const ULONG m_Bytes, m_Sample;
    std::vector<UCHAR> m_Back;
    ULONGLONG m_Frame = 0;
};

TEST_P(AsioDataFaults, EveryFaultFailsNamedAndTheCompareGoesOn)
{
    constexpr char kRenderLost[] =
        "the device never received frames 30000 to 30002: from wire frame {w} it received frame "
        "30003 on";
    constexpr char kCaptureLost[] = "the capture ring never got wire frames 30000 to 30002: from "
                                    "frame {w} it holds the device's wire frame 30003 on";
    constexpr char kRenderOther[] = "the device received other samples than the client's in place "
                                    "of frames 24000 to 24000, from wire frame 24000";
    constexpr char kCaptureOther[] = "the capture ring holds other samples than the device sent "
                                     "in place of wire frames 24000 to 24000, from frame 24000";
    const PutRow rows[] = {
        {false, Put::Flip, 24000, kRenderOther, kRenderLost},
        {false, Put::Swap, 24000, kRenderOther, kRenderLost},
        {false, Put::Noise, 0,
         "the device received 10 frame(s) inserted before frame 0, from wire frame 0", kRenderLost},
        {false, Put::Noise, 24000,
         "the device received 10 frame(s) inserted before frame 24000, from wire frame 24000",
         kRenderLost},
        {false, Put::Repeat, 24000,
         "the device received frame 19000 again or out of order at wire frame 24000, in place "
         "of frame 24000",
         kRenderLost},
        {true, Put::Flip, 24000, kCaptureOther, kCaptureLost},
        {true, Put::Swap, 24000, kCaptureOther, kCaptureLost},
        {true, Put::Noise, 24000,
         "the capture ring holds 10 frame(s) the device never sent, inserted before wire frame "
         "24000, from frame 24000",
         kCaptureLost},
        {true, Put::Repeat, 24000,
         "the capture ring holds wire frame 19000 again or out of order at frame 24000, in place "
         "of wire frame 24000",
         kCaptureLost},
    };
    for (const PutRow& row : rows)
    {
        SCOPED_TRACE(row.Line);
        auto client = MappedClient();
        PutTap tap(row, client->Rings()[0].Channels * GetParam().SampleBytes,
                   GetParam().SampleBytes);
        HostAsioData data(*client, host, GetParam().SampleBytes, &tap);
        Start(*client, data);
        data.Run(300);
        if (!row.In)
        {
            ASSERT_EQ(STATUS_SUCCESS, Power(PowerDeviceD2));
            data.Run(5);
            ASSERT_EQ(STATUS_SUCCESS, Power(PowerDeviceD0));
            data.Restarted();
        }
        data.Run(400);
        std::string lost = row.Lost;
        const ULONG inserted = row.What == Put::Noise ? 10 : row.What == Put::Repeat ? 1 : 0;
        lost.replace(lost.find("{w}"), 3, std::to_string(30000 + inserted));
        const HostAsioWay faulty = row.In ? data.Capture() : data.Render();
        const HostAsioWay clean = row.In ? data.Render() : data.Capture();
        EXPECT_EQ(std::vector<std::string>({row.Line, lost}), faulty.Faults);
        EXPECT_EQ(std::vector<std::string>{}, clean.Faults);
        EXPECT_EQ("", faulty.Position + clean.Position + faulty.Processing + clean.Processing);
        EXPECT_EQ(STATUS_SUCCESS, client->Stop());
    }
}

// 16-bit, 24 in 4 bytes of eight channels (type 27), 20 in 4 bytes.
const DataCase kFaultCases[] = {{"Uac2HighSpeed", 2},
                                {"high-bandwidth-eight-channels.txt", 4},
                                {"uac2-20-bit-in-4-bytes-headset.txt", 4}};
INSTANTIATE_TEST_SUITE_P(Devices, AsioDataFaults, testing::ValuesIn(kFaultCases), CaseName);

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
        Fuller
    };
    const struct
    {
        Feed What;
        const char* Position;
    } rows[] = {
        {Start, "the stream started at ring byte {f}, not at the ring's first frame (ring byte 0)"},
        {Preroll, "after the start the driver's position is ring byte {p}, not the pre-roll's {q} "
                  "bytes past the start position: the pre-roll came from elsewhere"},
        {Resume, "the stream started at ring byte {r}, not at the first frame the device did not "
                 "receive (ring byte {s})"},
        {Fuller, "the driver put {n} frames in the capture ring between two reads, more than it "
                 "holds"},
    };
    for (const auto& row : rows)
    {
        SCOPED_TRACE(row.Position);
        auto client = MappedClient();
        HostAsioData data(*client, host, GetParam().SampleBytes);
        data.BeforeStart();
        ASSERT_EQ(STATUS_SUCCESS, client->Start());
        const AsioClientRing& ring = client->Rings()[row.What == Fuller ? 1 : 0];
        const ULONG frame = ring.Channels * GetParam().SampleBytes;
        ULONG header[3] = {}; // the driver's position, the start position, the pre-roll
        memcpy(header, ring.Base + 20, sizeof(header));
        std::string said = row.Position;
        const std::pair<const char*, ULONG> values[] = {
            {"{f}", frame}, {"{p}", header[0]}, {"{q}", header[2] - frame}};
        for (const auto& [name, value] : values)
            if (said.find(name) != said.npos)
                said.replace(said.find(name), 3, std::to_string(value));
        header[1] += row.What == Start ? frame : 0;
        header[2] -= row.What == Preroll ? frame : 0;
        memcpy(ring.Base + 24, &header[1], 8);
        data.AfterStart();
        data.Run(100);
        if (row.What == Resume)
        {
            ASSERT_EQ(STATUS_SUCCESS, Power(PowerDeviceD2));
            data.Run(5);
            ASSERT_EQ(STATUS_SUCCESS, Power(PowerDeviceD0));
            memcpy(header, ring.Base + 20, sizeof(header));
            said.replace(said.find("{s}"), 3, std::to_string(header[1]));
            header[1] += frame;
            said.replace(said.find("{r}"), 3, std::to_string(header[1]));
            memcpy(ring.Base + 24, &header[1], 4);
            data.Restarted();
        }
        if (row.What == Fuller)
            client->Run(50);
        data.Run(1);
        const std::string position = (ring.IsInput ? data.Capture() : data.Render()).Position;
        // What the device sent since the last read, and the URB the driver had yet to put.
        const size_t n = said.find("{n}");
        const ULONG put =
            n != said.npos ? std::stoul(position.substr(std::min(n, position.size()))) : 0;
        if (n != said.npos && put >= 51 * 48 && put <= 52 * 48)
            said.replace(n, 3, std::to_string(put));
        EXPECT_EQ(said, position);
        EXPECT_EQ(STATUS_SUCCESS, client->Stop());
    }
}

// A path whose processing comes on during a run: the software mutes of a
// path of terminals, on from 100 to 200 ms. The frames they silence are
// what it made of them, named in the driver's words from the first frame
// silenced, and fail nothing; a frame changed before and frames lost after
// are still faults.
TEST(AsioDataProcessing, WhatIsOnIsNamedAndFaultsAreStillFound)
{
    struct Tap : HostAsioTap
    {
        ULONGLONG Frames[2] = {}, Silent[2] = {~0ull, ~0ull};
        ULONG Bytes = 4;
        void Look(int way, std::vector<UCHAR>* bytes)
        {
            for (size_t at = 0; at < bytes->size(); at += Bytes, ++Frames[way])
                if (Silent[way] == ~0ull && std::all_of(bytes->begin() + (ptrdiff_t)at,
                                                        bytes->begin() + (ptrdiff_t)(at + Bytes),
                                                        [](UCHAR b) { return b == 0; }))
                    Silent[way] = Frames[way];
        }
        void Received(size_t, std::vector<UCHAR>* bytes) override
        {
            const ULONGLONG first = Frames[0];
            Look(0, bytes);
            if (first <= 2000 && Frames[0] > 2000)
                (*bytes)[(2000 - first) * Bytes] ^= 1;
            if (first <= 12000 && Frames[0] > 12003)
                bytes->erase(bytes->begin() + (ptrdiff_t)((12000 - first) * Bytes),
                             bytes->begin() + (ptrdiff_t)((12003 - first) * Bytes));
        }
        void Read(size_t, std::vector<UCHAR>* frames) override { Look(1, frames); }
    };
    HostHarness host;
    std::string error;
    ASSERT_EQ(STATUS_SUCCESS, host.LoadDriver());
    ASSERT_EQ(STATUS_SUCCESS,
              host.PlugDescriptorFile(
                  std::string(LT_QUIRKS_DIR) + "/uac2-32-bit-terminals-only-headset.txt", &error))
        << error;
    ASSERT_EQ(STATUS_SUCCESS, host.AddDevice());
    ASSERT_EQ(STATUS_SUCCESS, host.StartDevice());
    AsioTestClient client(host.Fdo());
    ULONG sizes[4] = {};
    ASSERT_EQ(STATUS_SUCCESS, client.Open());
    ASSERT_EQ(STATUS_SUCCESS, client.GetBufferSize(sizes));
    ASSERT_EQ(STATUS_SUCCESS, client.MapAll(sizes[2]));
    Tap tap;
    HostAsioData data(client, host, 2, &tap);
    data.BeforeStart();
    ASSERT_EQ(STATUS_SUCCESS, client.Start());
    data.AfterStart();
    AudioEngineClient engine(host.Fdo());
    PFILE_OBJECT topology = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, engine.OpenFilter(u"GlobalTopo", &topology));
    for (const ULONG mute : {1u, 0u})
    {
        data.Run(100);
        for (ULONG node = 0; node < 2; ++node)
            ASSERT_EQ(STATUS_SUCCESS, engine.SetNodeValue(topology, node, KSPROPSETID_Audio,
                                                          KSPROPERTY_AUDIO_MUTE, 0, &mute, 4));
    }
    data.Run(200);
    const HostAsioWay render = data.Render(), capture = data.Capture();
    // The mutes silenced frames from about 100 ms on.
    for (const ULONGLONG silent : tap.Silent)
    {
        ASSERT_GT(silent, 4000u);
        ASSERT_LT(silent, 5000u);
    }
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
    EXPECT_EQ("", render.Position + capture.Position);
    EXPECT_EQ(STATUS_SUCCESS, client.Stop());
}
} // namespace
