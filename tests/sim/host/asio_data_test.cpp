// Every frame of an ASIO client's both ways, on the class 2.0 devices of
// each ring type: the device receives each render ring from its first frame,
// each frame once and in order, at every start (the first, a stop and start
// on the same mapping, the return to D0 while streaming, a second client),
// and the capture rings hold what the device sent (its counter), in order.
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
};

// 16-bit, 24 in 3, 20 in 3 and 20 in 4 bytes, and a 44.1 kHz-only clock.
const DataCase kCases[] = {
    {"Uac2HighSpeed", 2},
    {"Uac2Spdif", 2},
    {"uac2-24-bit-only-headset.txt", 3},
    {"uac2-20-bit-in-3-bytes-headset.txt", 3},
    {"uac2-20-bit-in-4-bytes-headset.txt", 4},
    {"uac2-44100-clock-headset.txt", 2},
};

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

    // A client of its own, mapped at its preferred buffer, every channel.
    std::unique_ptr<AsioTestClient> MappedClient()
    {
        auto client = std::make_unique<AsioTestClient>(host.Fdo());
        AsioSampleTypes types;
        ULONG chosen = 0, current = 0, rate = 0, sizes[4] = {};
        EXPECT_EQ(STATUS_SUCCESS, client->Open());
        EXPECT_EQ(STATUS_SUCCESS, client->ChooseSampleRate(&current, &rate));
        EXPECT_EQ(STATUS_SUCCESS, client->ChooseSampleType(&types, &chosen));
        EXPECT_EQ(STATUS_SUCCESS, client->GetBufferSize(sizes));
        EXPECT_EQ(STATUS_SUCCESS, client->MapAll(sizes[2]));
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
    void RunAndCompare(HostAsioData& data, ULONG ms, const char* phase)
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
    ASSERT_EQ(STATUS_SUCCESS, Power(PowerDeviceD2));
    data.Run(30);
    ASSERT_EQ(STATUS_SUCCESS, Power(PowerDeviceD0));
    data.Restarted();
    RunAndCompare(data, 1000, "back in D0 while streaming");
    ASSERT_EQ(STATUS_SUCCESS, first->Stop());
    ASSERT_EQ(STATUS_SUCCESS, first->Unmap());
    first.reset();

    auto second = MappedClient();
    HostAsioData more(*second, host.Device(), GetParam().SampleBytes);
    Start(*second, more);
    RunAndCompare(more, 1000, "a second client");
    EXPECT_EQ(STATUS_SUCCESS, second->Stop());
}

INSTANTIATE_TEST_SUITE_P(Devices, AsioData, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<DataCase>& info)
                         {
                             std::string name = info.param.Device;
                             name = name.substr(0, name.find('.'));
                             std::erase(name, '-');
                             return name;
                         });
} // namespace
