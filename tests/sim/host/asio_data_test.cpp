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
        const ULONGLONG render = data.RenderCompared(), capture = data.CaptureCompared();
        data.Run(ms);
        EXPECT_EQ("", data.RenderFault());
        EXPECT_EQ("", data.CaptureFault());
        EXPECT_EQ("", data.RenderPosition());
        EXPECT_EQ("", data.CapturePosition());
        EXPECT_EQ("", data.RenderProcessing());
        EXPECT_EQ("", data.CaptureProcessing());
        EXPECT_GT(data.RenderCompared(), render + ms * 40);
        EXPECT_GT(data.CaptureCompared(), capture + ms * 40);
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
    HostAsioData data(*first, host.Device(), GetParam().SampleBytes);
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
    HostAsioData more(*second, host.Device(), GetParam().SampleBytes);
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
    HostAsioData data(*client, host.Device(), GetParam().SampleBytes);
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
} // namespace

namespace
{
// What the ring holds differs from what was written or sent, at a frame the
// driver has yet to take (render) or the client to read (capture): the
// compare names that frame, as frames lost, repeated, silenced or changed.
TEST(AsioDataFaults, TheFirstFrameThatDiffersIsNamedAsWhatItIs)
{
    enum Put
    {
        Later,   // the frame five on
        Earlier, // the frame five before
        Silence,
        Other
    };
    const struct
    {
        bool In;
        Put What;
        const char* Fault; // or the processing said, where empty
        const char* Processing = "";
    } rows[] = {
        {false, Later,
         "the device never received frames {k} to {k+4}: from wire frame {k} it "
         "received frame {k+5} on"},
        {false, Earlier,
         "the device received frame {k-5} again or out of order at wire frame {k}, "
         "in place of frame {k}"},
        {false, Silence, "the device received silence in place of frame {k}, at wire frame {k}"},
        {false, Other, "", "from frame {k} it received other samples than the client wrote"},
        {true, Earlier,
         "the capture ring holds wire frame {k-5} again or out of order at frame "
         "{k}, in place of wire frame {k}"},
        {true, Silence, "the capture ring holds silence in place of wire frame {k}, at frame {k}"},
        {true, Other, "", "from frame {k} the capture ring holds other samples than the device"},
    };
    for (const auto& row : rows)
    {
        SCOPED_TRACE(std::string(row.Fault) + row.Processing);
        HostHarness host;
        std::string error;
        ASSERT_EQ(STATUS_SUCCESS, host.LoadDriver());
        ASSERT_EQ(STATUS_SUCCESS, host.PlugReference("Uac2HighSpeed", &error)) << error;
        ASSERT_EQ(STATUS_SUCCESS, host.AddDevice());
        ASSERT_EQ(STATUS_SUCCESS, host.StartDevice());
        AsioTestClient client(host.Fdo());
        ULONG sizes[4] = {};
        ASSERT_EQ(STATUS_SUCCESS, client.Open());
        ASSERT_EQ(STATUS_SUCCESS, client.GetBufferSize(sizes));
        ASSERT_EQ(STATUS_SUCCESS, client.MapAll(sizes[2]));
        HostAsioData data(client, host.Device(), 2);
        data.BeforeStart();
        ASSERT_EQ(STATUS_SUCCESS, client.Start());
        data.AfterStart();
        data.Run(100);
        client.Run(1);
        const AsioClientRing& ring = client.Rings()[row.In ? 1 : 0];
        ASSERT_EQ(row.In, ring.IsInput);
        ULONG position = 0;
        memcpy(&position, ring.Base + 20, 4);
        const ULONG frames = ring.DataBytes / 4;
        const ULONG at = (position / 4 + (row.In ? frames - 1 : 24)) % frames;
        PUCHAR frame = ring.Base + 40 + at * 4;
        // The frame's number, from its own samples: the client's frames by
        // their bytes, the device's counter by its first channel (one start,
        // so frames and wire frames count alike).
        ULONGLONG k = 0;
        UCHAR bytes[4] = {};
        for (AsioClientFrame(k, 4, bytes); !row.In && memcmp(bytes, frame, 4) != 0;)
            AsioClientFrame(++k, 4, bytes);
        if (row.In)
            k = (ULONGLONG)(frame[0] | frame[1] << 8) / 2;
        const ULONG from = (at + (row.What == Later ? 5 : frames - 5)) % frames;
        ULONG put = row.What == Silence ? 0 : 0x5A5A5A5A;
        if (row.What == Later || row.What == Earlier)
            memcpy(&put, ring.Base + 40 + from * 4, 4);
        memcpy(frame, &put, 4);
        data.Run(100);
        const auto named = [k](std::string text)
        {
            for (const auto& [name, value] :
                 {std::pair{"{k}", k}, {"{k-5}", k - 5}, {"{k+4}", k + 4}, {"{k+5}", k + 5}})
                for (size_t i = text.find(name); i != text.npos; i = text.find(name))
                    text.replace(i, strlen(name), std::to_string(value));
            return text;
        };
        EXPECT_EQ(named(row.Fault), row.In ? data.CaptureFault() : data.RenderFault());
        const std::string& said = row.In ? data.CaptureProcessing() : data.RenderProcessing();
        EXPECT_NE(std::string::npos, said.find(named(row.Processing))) << said;
        EXPECT_EQ(*row.Processing == 0, said.empty()) << said;
        EXPECT_EQ(STATUS_SUCCESS, client.Stop());
    }
}
} // namespace
