// The device-control codes sent to the real ASIO session through the
// driver's dispatcher, as the user-mode client sends them: a 32-bit client's
// mapping, and a fuzz run of every code with random buffers and lengths
// (run under AddressSanitizer, any read or write outside the system buffer
// fails the test).
#include <gtest/gtest.h>

#include <random>

#include "platform/io/io_emu.h"
#include "platform/kernel/emu.h"
#include "tests/asio/asio_rig.h"
#include "tests/driver/entry_rig.h"

namespace
{
constexpr ULONG kCodes[] = {0x1D6000, 0x1D6004, 0x1DE008, 0x1D600C, 0x1D6010, 0x1DA014,
                            0x1D6018, 0x1DA01C, 0x1DA020, 0x1D6024, 0x1D6028, 0x1DA02C,
                            0x1DA030, 0x1D6034, 0x1DE038, 0x1DA03C, 0x1DA040, 0x1DA044,
                            0x1DA04C, 0x1DA050, 0x1DA054, 0x1D6058, 0x1DA048, 0x1D605C};
constexpr ULONG kMap = 0x1DE038;
constexpr ULONG kUnmap = 0x1DA03C;

// The ASIO rig's adapter behind the driver's dispatcher, the ASIO file open.
class AsioDispatchRig
{
  public:
    explicit AsioDispatchRig(bool is32Bit) : m_Asio(is32Bit)
    {
        if (!m_Asio.Ok() || !m_Dispatch.Ok() || m_Dispatch.Extension() == nullptr)
            return;
        m_Dispatch.Extension()->Adapter = static_cast<IAdapterCommon*>(m_Asio.Adapter());
        m_Asio.Adapter()->AddRef(); // the extension's, dropped by the removal
        if (!NT_SUCCESS(EmuOpenFile(m_Dispatch.Fdo(), u"\\LTASIOPrivateInterface", &m_File)))
            m_File = nullptr;
    }
    ~AsioDispatchRig()
    {
        if (m_File != nullptr)
            EmuCloseFile(m_File);
    }
    bool Ok() const { return m_File != nullptr; }
    AsioRig& Asio() { return m_Asio; }
    PDEVICE_OBJECT Fdo() const { return m_Dispatch.Fdo(); }
    PFILE_OBJECT File() const { return m_File; }
    NTSTATUS Pnp(UCHAR minor) { return m_Dispatch.Pnp(minor); }
    // Cleanup and close, as the last handle goes.
    void Close()
    {
        EmuCloseFile(m_File);
        m_File = nullptr;
    }

    NTSTATUS Send(ULONG code, std::vector<UCHAR> input, ULONG outLength, std::vector<UCHAR>* out,
                  ULONG_PTR* information)
    {
        out->assign(outLength, 0xEE);
        return EmuDeviceControl(m_File, code, input.empty() ? nullptr : input.data(),
                                (ULONG)input.size(), outLength ? out->data() : nullptr, outLength,
                                information);
    }

  private:
    AsioRig m_Asio;
    DispatchRig m_Dispatch;
    PFILE_OBJECT m_File = nullptr;
};

TEST(AsioDispatch, AThirtyTwoBitClientGetsItsRingAddressNarrowed)
{
    AsioDispatchRig rig(true);
    ASSERT_TRUE(rig.Ok());
    std::vector<UCHAR> out;
    ULONG_PTR information = 0;
    // One ring: 4 bytes of address; the 64-bit size is refused.
    EXPECT_EQ(STATUS_INVALID_PARAMETER,
              rig.Send(kMap, U32s({0, 1, 480, 0, 0}), 8, &out, &information));
    EXPECT_EQ(0u, information);
    ASSERT_EQ(STATUS_SUCCESS, rig.Send(kMap, U32s({0, 1, 480, 0, 0}), 4, &out, &information));
    EXPECT_EQ(4u, information);
    ULONG address = 0;
    memcpy(&address, out.data(), 4);
    EXPECT_EQ((ULONG)(ULONG_PTR)rig.Asio().Header(), address);
    EXPECT_EQ(0u, EmuPoolOutstandingCount(POOL_TAG("adap")));
    EXPECT_EQ(STATUS_SUCCESS, rig.Send(kUnmap, {}, 0, &out, &information));
    EXPECT_TRUE(EmuUserMappings().empty());
}

TEST(AsioDispatch, SixtyFourBitMappingReadsThePairsFromTheSharedBuffer)
{
    AsioDispatchRig rig(false);
    ASSERT_TRUE(rig.Ok());
    std::vector<UCHAR> out;
    ULONG_PTR information = 0;
    ASSERT_EQ(STATUS_SUCCESS, rig.Send(kMap, U32s({0, 2, 96, 0, 0, 0, 1}), 8, &out, &information));
    EXPECT_EQ(8u, information);
    ULONGLONG address = 0;
    memcpy(&address, out.data(), 8);
    EXPECT_EQ((ULONGLONG)(ULONG_PTR)rig.Asio().Header(), address);
    EXPECT_EQ(1u, rig.Asio().Header()->Active);
}

class AsioFuzz : public testing::TestWithParam<bool>
{
};

TEST_P(AsioFuzz, RandomBuffersOnEveryCodeStayInTheirBounds)
{
    AsioDispatchRig rig(GetParam());
    ASSERT_TRUE(rig.Ok());
    std::mt19937 random(GetParam() ? 1234u : 4321u);
    std::vector<UCHAR> out;
    int maps = 0;
    for (int i = 0; i < 3000; ++i)
    {
        const ULONG code = kCodes[random() % (sizeof(kCodes) / sizeof(kCodes[0]))];
        std::vector<UCHAR> input(random() % 72);
        for (UCHAR& b : input)
            b = (UCHAR)random();
        // Small values make the fields meaningful now and then.
        if (input.size() >= 12 && random() % 2 == 0)
        {
            const ULONG small[] = {0, (ULONG)(random() % 8), (ULONG)(random() % 3000)};
            memcpy(input.data(), small, sizeof(small));
        }
        // Now and then the one ring's address size, so some mappings succeed.
        const ULONG outLength = random() % 4 == 0 ? (GetParam() ? 4u : 8u) : (ULONG)(random() % 72);
        ULONG_PTR information = 0;
        NTSTATUS status = rig.Send(code, input, outLength, &out, &information);
        ASSERT_NE(STATUS_PENDING, status) << std::hex << code;
        maps += code == kMap && status == STATUS_SUCCESS;
        // Bytes reported never exceed the output, but for a size asked for.
        if (outLength != 0 || status != STATUS_BUFFER_OVERFLOW)
        {
            ASSERT_LE(information, outLength) << std::hex << code;
        }
        if (random() % 16 == 0)
            rig.Send(kUnmap, {}, 0, &out, &information);
    }
    EXPECT_GT(maps, 0);
}

INSTANTIATE_TEST_SUITE_P(Bitness, AsioFuzz, testing::Values(false, true));
} // namespace

#include "sim/clients/asio_client.h"

namespace
{
TEST(AsioClient, StreamsASineThroughTheRenderRingAndCountsEveryBufferSwitch)
{
    AsioDispatchRig rig(false);
    ASSERT_TRUE(rig.Ok());
    AsioTestClient client(rig.Fdo());
    ASSERT_EQ(STATUS_SUCCESS, client.Open());
    std::string name;
    EXPECT_EQ(STATUS_SUCCESS, client.GetDeviceName(&name));
    EXPECT_FALSE(name.empty());
    ULONG counts[4] = {}, sizes[4] = {}, rate = 0;
    ASSERT_EQ(STATUS_SUCCESS, client.GetChannelCounts(counts));
    EXPECT_EQ(2u, counts[2]);
    ASSERT_EQ(STATUS_SUCCESS, client.GetSampleRate(&rate));
    ASSERT_EQ(STATUS_SUCCESS, client.GetBufferSize(sizes));
    ASSERT_EQ(STATUS_SUCCESS, client.MapAll(sizes[2]));
    ASSERT_EQ(1u, client.Rings().size());
    client.WriteSine(1000.0, rate);
    ASSERT_EQ(STATUS_SUCCESS, client.Start());
    rig.Asio().Usb().Device()->Streaming().ClearRecords();
    client.Run(200);
    // 10 ms buffer: a switch every 2 ms URB from the fifth frame on.
    const ULONG expected = AsioExpectedSwitches(200, AsioMsPerUrb(sizes[2], rate), 5);
    EXPECT_EQ(client.HeaderSwitches(), client.EventSwitches());
    EXPECT_NEAR((double)expected, (double)client.HeaderSwitches(), 1.0);
    // The device got the sine: 16-bit samples whose first frame pairs are equal.
    const SimOutRecord& out =
        rig.Asio().Usb().Device()->Streaming().OutRecord(SimRef1::PlayEndpoint);
    ASSERT_GE(out.Data.size(), 7680u);
    const PUCHAR ring = client.Rings()[0].Base + 40;
    EXPECT_EQ(std::vector<UCHAR>(ring, ring + 7680),
              std::vector<UCHAR>(out.Data.begin(), out.Data.begin() + 7680));
    EXPECT_EQ(STATUS_SUCCESS, client.Stop());
    EXPECT_EQ(STATUS_SUCCESS, client.Unmap());
}
} // namespace

namespace
{
constexpr ULONG kStop = 0x1DA044;
constexpr ULONG kStart = 0x1DA040;

// Mapped and streaming through the dispatcher, then the device leaves D0.
void StreamThenPowerDown(AsioDispatchRig& rig)
{
    std::vector<UCHAR> out;
    ULONG_PTR information = 0;
    ASSERT_EQ(STATUS_SUCCESS, rig.Send(kMap, U32s({0, 1, 480, 0, 0}), 8, &out, &information));
    HANDLE event = rig.Asio().NewEvent();
    ASSERT_EQ(STATUS_SUCCESS,
              rig.Send(kStart, U32s({(ULONG)(ULONG_PTR)event, 0}), 0, &out, &information));
    EmuAdvanceMs(20);
    POWER_STATE state;
    state.DeviceState = PowerDeviceD3;
    rig.Asio().Adapter()->PowerChangeState(state);
}

TEST(AsioHeldStop, AStopOutsideD0IsHeldAndCompletedOnTheWayBack)
{
    AsioDispatchRig rig(false);
    ASSERT_TRUE(rig.Ok());
    StreamThenPowerDown(rig);
    auto request = EmuIoRequest::DeviceControl(rig.File(), kStop, nullptr, 0, 0);
    ASSERT_NE(nullptr, request);
    EXPECT_EQ(STATUS_PENDING, request->Send());
    EXPECT_FALSE(request->Completed());
    // A second one while the first is held is refused.
    std::vector<UCHAR> out;
    ULONG_PTR information = 0;
    EXPECT_EQ(STATUS_INVALID_PARAMETER, rig.Send(kStop, {}, 0, &out, &information));
    POWER_STATE state;
    state.DeviceState = PowerDeviceD0;
    rig.Asio().Adapter()->PowerChangeState(state);
    ASSERT_TRUE(request->Wait(0));
    EXPECT_EQ(STATUS_SUCCESS, request->Status());
    // The power-down had stopped the streams: nothing restarted.
    EXPECT_FALSE(rig.Asio().Session().IsRunning());
    EXPECT_FALSE(rig.Asio().Session().IsPowerDownMarked());
    EmuAdvanceMs(20);
    EXPECT_EQ(nullptr, rig.Asio().Stream().Stream()->Active());
}

TEST(AsioHeldStop, AHeldStopIsCancellableAndCompletedWhenItsFileCloses)
{
    AsioDispatchRig rig(false);
    ASSERT_TRUE(rig.Ok());
    StreamThenPowerDown(rig);
    auto first = EmuIoRequest::DeviceControl(rig.File(), kStop, nullptr, 0, 0);
    ASSERT_EQ(STATUS_PENDING, first->Send());
    first->Cancel();
    ASSERT_TRUE(first->Wait(0));
    EXPECT_EQ(STATUS_CANCELLED, first->Status());
    auto second = EmuIoRequest::DeviceControl(rig.File(), kStop, nullptr, 0, 0);
    ASSERT_EQ(STATUS_PENDING, second->Send());
    rig.Close();
    ASSERT_TRUE(second->Wait(0));
    EXPECT_EQ(STATUS_CANCELLED, second->Status());
    EXPECT_TRUE(EmuUserMappings().empty());
    POWER_STATE state;
    state.DeviceState = PowerDeviceD0;
    rig.Asio().Adapter()->PowerChangeState(state);
    EXPECT_FALSE(rig.Asio().Session().IsRunning());
}

// Pulled out while asleep: D0 never comes, so the surprise removal answers
// the held stop.
TEST(AsioHeldStop, AHeldStopCompletesAtSurpriseRemoval)
{
    AsioDispatchRig rig(false);
    ASSERT_TRUE(rig.Ok());
    StreamThenPowerDown(rig);
    auto stop = EmuIoRequest::DeviceControl(rig.File(), kStop, nullptr, 0, 0);
    ASSERT_EQ(STATUS_PENDING, stop->Send());
    ASSERT_EQ(STATUS_SUCCESS, rig.Pnp(IRP_MN_SURPRISE_REMOVAL));
    ASSERT_TRUE(stop->Wait(0));
    EXPECT_EQ(STATUS_CANCELLED, stop->Status());
    // Nor is a later stop kept: it is done at once.
    std::vector<UCHAR> out;
    ULONG_PTR information = 0;
    EXPECT_EQ(STATUS_SUCCESS, rig.Send(kStop, {}, 0, &out, &information));
    EXPECT_EQ(nullptr, rig.Asio().Adapter()->GetHeldAsioStopRequest());
    EXPECT_FALSE(rig.Asio().Session().IsPowerDownMarked());
}

// A held stop whose D0 could not restart the streams: the stop is done all
// the same (the owner may start again) and the failure is its answer, once.
// The stop is held before that D0, or after the device has left D0 again
// with the owner not told yet: then it stays held until the next D0.
void HeldStopAfterAFailedRestart(bool asleepAgain)
{
    SCOPED_TRACE(asleepAgain ? "held after the device left D0 again" : "held before");
    AsioDispatchRig rig(false);
    ASSERT_TRUE(rig.Ok());
    StreamThenPowerDown(rig);
    auto stop = EmuIoRequest::DeviceControl(rig.File(), kStop, nullptr, 0, 0);
    if (!asleepAgain)
    {
        ASSERT_EQ(STATUS_PENDING, stop->Send());
    }
    EmuPoolInjectFailure(0, 0, 0); // the streams cannot come back
    POWER_STATE state;
    state.DeviceState = PowerDeviceD0;
    rig.Asio().Adapter()->PowerChangeState(state);
    EmuPoolClearInjection();
    if (asleepAgain)
    {
        state.DeviceState = PowerDeviceD3;
        rig.Asio().Adapter()->PowerChangeState(state);
        ASSERT_EQ(STATUS_PENDING, stop->Send());
        EXPECT_FALSE(stop->Completed());
        state.DeviceState = PowerDeviceD0;
        rig.Asio().Adapter()->PowerChangeState(state);
    }
    ASSERT_TRUE(stop->Wait(0));
    // The streams' open could not prepare them.
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, stop->Status());
    EXPECT_FALSE(rig.Asio().Session().IsRunning());
    std::vector<UCHAR> out;
    ULONG_PTR information = 0;
    EXPECT_EQ(STATUS_SUCCESS, rig.Send(0x1D6028, {}, 4, &out, &information));
    HANDLE event = rig.Asio().NewEvent();
    EXPECT_EQ(STATUS_SUCCESS,
              rig.Send(kStart, U32s({(ULONG)(ULONG_PTR)event, 0}), 0, &out, &information));
    EXPECT_EQ(STATUS_SUCCESS, rig.Send(kStop, {}, 0, &out, &information));
}

TEST(AsioHeldStop, AHeldStopAfterAFailedRestartStopsAndReportsTheFailureOnce)
{
    HeldStopAfterAFailedRestart(false);
    HeldStopAfterAFailedRestart(true);
}
} // namespace
