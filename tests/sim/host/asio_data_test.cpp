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
} // namespace

