// Power changes with audio running: the power manager takes the device to
// D3 and back to D0 in the middle of a render, capture or ASIO run, the PnP
// manager asks to stop it for a rebalance, a power-down finds no memory to
// check the device's port, and, with selective suspend on, a
// device whose streams are open but stopped sleeps in D2 and wakes for the
// request that starts them. Streaming must go on
// after the return to D0, and the teardown must leave nothing behind.
#include <gtest/gtest.h>

#include "platform/io/io_emu.h"
#include "platform/kernel/emu.h"
#include "platform/portcls/portcls_emu.h"
#include "platform/usb/emu_usb_bus.h"
#include "tests/reliability/scenario_checks.h"

namespace
{
constexpr ULONG kLeadMs = 40;
constexpr ULONG kSpanMs = 100;
constexpr ULONG kSlackMs = 10;
constexpr ULONG kResumeBoundMs = 1000;
// The idle timer's first check comes 5 s after the start.
constexpr ULONG kIdleMs = 5100;
constexpr ULONGLONG kBoundMs = 20000;

NTSTATUS SetPower(ScenarioHost& host, DEVICE_POWER_STATE state)
{
    return EmuPoSendDevicePower(host.Host().Pdo(), IRP_MN_SET_POWER, state);
}

// How a power change meets the running road: the states it visits, and
// whether the device is pulled out while it sleeps.
struct PowerTrip
{
    DEVICE_POWER_STATE Sleep;
    bool PulledAsleep;
    const char* Name;
};
const PowerTrip kTrips[] = {
    {PowerDeviceD3, false, "D3"},
    {PowerDeviceD2, false, "D2"},
    {PowerDeviceD3, true, "D3Pulled"},
};

// The packets a running road moves in a span of kSpanMs after its lead.
ULONG CleanSpan(ScenarioRoad& running)
{
    running.Play(kLeadMs);
    const ULONG before = running.Packets();
    running.Play(kSpanMs);
    return running.Packets() - before;
}

using PowerParam = std::tuple<const char*, RoadCase, PowerTrip>;
class PowerMidStream : public testing::TestWithParam<PowerParam>
{
};

// After D0 the road streams a whole span again (but for one URB's worth);
// a device pulled out while asleep takes the return and the teardown
// without a hang.
TEST_P(PowerMidStream, StreamingResumesAtD0)
{
    const std::string device = std::get<0>(GetParam());
    const RoadCase road = std::get<1>(GetParam());
    const PowerTrip trip = std::get<2>(GetParam());
    if (!ScenarioHasRoad(device, road.Kind))
        GTEST_SKIP() << device << " has no " << road.Name << " road";
    const std::string where = device + " " + road.Name + " " + trip.Name;
    ScenarioHost host(device);
    ASSERT_EQ(STATUS_SUCCESS, host.Start());
    {
        ScenarioRoad running(host, road.Kind);
        ASSERT_TRUE(running.Running()) << where;
        const ULONG cleanSpan = CleanSpan(running);
        const ULONG perMs = cleanSpan / kSpanMs;
        EXPECT_EQ(STATUS_SUCCESS, SetPower(host, trip.Sleep)) << where;
        EXPECT_EQ(trip.Sleep, EmuPcPowerState(host.Host().Fdo())) << where;
        running.Play(kLeadMs);
        if (trip.PulledAsleep)
            host.Bus()->Unplug();
        SetPower(host, PowerDeviceD0);
        EXPECT_EQ(PowerDeviceD0, EmuPcPowerState(host.Host().Fdo())) << where;
        const ULONGLONG progress = running.Progress();
        const ULONG span =
            running.PlayUntilSpanMoves(cleanSpan - perMs * kSlackMs, kSpanMs, kResumeBoundMs);
        if (!trip.PulledAsleep)
        {
            EXPECT_GE(span + perMs * kSlackMs, cleanSpan) << where;
            EXPECT_GT(running.Progress(), progress) << where;
        }
        else
            EXPECT_EQ(0u, span) << where;
    }
    ExpectCleanEnd(host, where, kBoundMs);
}

std::string PowerName(const testing::TestParamInfo<PowerParam>& info)
{
    return std::string(std::get<0>(info.param)) + "_" + std::get<1>(info.param).Name + "_" +
           std::get<2>(info.param).Name;
}

INSTANTIATE_TEST_SUITE_P(Devices, PowerMidStream,
                         testing::Combine(testing::ValuesIn(kScenarioDevices),
                                          testing::ValuesIn(kRoads), testing::ValuesIn(kTrips)),
                         PowerName);

// A power-down whose port check cannot build a request for want of memory
// (the first look, the second after the port said it has no device, the
// reset of a port found then, the cycle of one still missing) learns nothing
// of the device: nothing is reset or cycled, and after D0 the render pin
// runs again and the ASIO client maps and streams.
struct UnbuiltPortRequest
{
    ULONG NoDeviceAnswers; // the port's "no such device" answers first
    ULONG Code;
    ULONG Skip; // requests of the code built before it
    const char* Name;
};
const UnbuiltPortRequest kUnbuiltPortRequests[] = {
    {0, IOCTL_INTERNAL_USB_GET_PORT_STATUS, 0, "Status"},
    {1, IOCTL_INTERNAL_USB_GET_PORT_STATUS, 1, "Retry"},
    {1, IOCTL_INTERNAL_USB_RESET_PORT, 0, "Reset"},
    {2, IOCTL_INTERNAL_USB_CYCLE_PORT, 0, "Cycle"},
};

using UnbuiltParam = std::tuple<const char*, UnbuiltPortRequest>;
class UnbuiltPortCheck : public testing::TestWithParam<UnbuiltParam>
{
};

TEST_P(UnbuiltPortCheck, ThePinRunsAndAsioMapsAfterThePowerUp)
{
    const auto [device, unbuilt] = GetParam();
    const std::string where = std::string(device) + " " + unbuilt.Name;
    ScenarioHost host(device);
    ASSERT_EQ(STATUS_SUCCESS, host.Start()) << where;
    PFILE_OBJECT pin = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, host.OpenWave(KSPIN_DATAFLOW_IN, &pin)) << where;
    host.Bus()->InjectPortStatusFailure(STATUS_NO_SUCH_DEVICE, unbuilt.NoDeviceAnswers);
    EmuIoInjectDriverIrpFailure(unbuilt.Skip, 1, unbuilt.Code);
    SetPower(host, PowerDeviceD2);
    EmuIoClearDriverIrpInjection();
    SetPower(host, PowerDeviceD0);
    EXPECT_EQ(0u, host.Bus()->PortResetCount() + host.Bus()->PortCycleCount()) << where;
    EXPECT_EQ(STATUS_SUCCESS, host.RunPin(pin)) << where;
    host.Play(pin, kSpanMs, false);
    EXPECT_GT(host.DataPackets(false), 0u) << where;
    host.ClosePin(pin);
    EXPECT_TRUE(!host.HasAsio() || host.AsioRun(kSpanMs).Ran()) << where;
    ExpectCleanEnd(host, where, kBoundMs);
}

INSTANTIATE_TEST_SUITE_P(
    Devices, UnbuiltPortCheck,
    testing::Combine(testing::ValuesIn(kScenarioDevices), testing::ValuesIn(kUnbuiltPortRequests)),
    [](const auto& info)
    { return std::string(std::get<0>(info.param)) + "_" + std::get<1>(info.param).Name; });

class RebalanceMidStream : public testing::TestWithParam<RoadParam>
{
};

// The PnP manager asks to stop the device for a rebalance while the road
// runs. An adapter that has not registered for rebalance has the query
// refused by the port class, so the manager cancels it and no stop comes:
// the road streams on as before, and the teardown leaves nothing behind.
TEST_P(RebalanceMidStream, TheQueryIsRefusedAndStreamingGoesOn)
{
    const std::string device = std::get<0>(GetParam());
    const RoadCase road = std::get<1>(GetParam());
    if (!ScenarioHasRoad(device, road.Kind))
        GTEST_SKIP() << device << " has no " << road.Name << " road";
    const std::string where = device + " " + road.Name;
    ScenarioHost host(device);
    ASSERT_EQ(STATUS_SUCCESS, host.Start());
    {
        ScenarioRoad running(host, road.Kind);
        ASSERT_TRUE(running.Running()) << where;
        const ULONG cleanSpan = CleanSpan(running);
        PDEVICE_OBJECT pdo = host.Host().Pdo();
        EXPECT_EQ(STATUS_UNSUCCESSFUL, EmuPnpSendMinor(pdo, IRP_MN_QUERY_STOP_DEVICE)) << where;
        EXPECT_EQ(STATUS_SUCCESS, EmuPnpSendMinor(pdo, IRP_MN_CANCEL_STOP_DEVICE)) << where;
        const ULONGLONG progress = running.Progress();
        const ULONG after = running.Packets();
        running.Play(kSpanMs);
        EXPECT_GE(running.Packets() - after + cleanSpan / kSpanMs * kSlackMs, cleanSpan) << where;
        EXPECT_GT(running.Progress(), progress) << where;
    }
    ExpectCleanEnd(host, where, kBoundMs);
}

INSTANTIATE_TEST_SUITE_P(Devices, RebalanceMidStream,
                         testing::Combine(testing::ValuesIn(kScenarioDevices),
                                          testing::ValuesIn(kRoads)),
                         RoadParamName);

class IdleWithStreamsOpen : public testing::TestWithParam<RoadParam>
{
};

// A pin open in STOP (or an ASIO client open with its buffers mapped) does
// not keep the device awake: it sleeps in D2 after the idle check, the
// request that starts the road wakes it, the road streams, and while it
// streams the device stays in D0 past further idle checks.
TEST_P(IdleWithStreamsOpen, TheDeviceSleepsAndTheStartWakesIt)
{
    const std::string device = std::get<0>(GetParam());
    const RoadCase road = std::get<1>(GetParam());
    if (!ScenarioHasRoad(device, road.Kind))
        GTEST_SKIP() << device << " has no " << road.Name << " road";
    const std::string where = device + " " + road.Name;
    ScenarioHost host(device, true);
    ASSERT_EQ(STATUS_SUCCESS, host.Start());
    PDEVICE_OBJECT fdo = host.Host().Fdo();
    {
        AsioTestClient asio(fdo);
        PFILE_OBJECT pin = nullptr;
        ULONG sizes[4] = {}, rate = 0;
        if (road.Kind == Road::Asio)
        {
            ASSERT_EQ(STATUS_SUCCESS, asio.Open()) << where;
            ASSERT_EQ(STATUS_SUCCESS, asio.GetSampleRate(&rate)) << where;
            ASSERT_EQ(STATUS_SUCCESS, asio.GetBufferSize(sizes)) << where;
            ASSERT_EQ(STATUS_SUCCESS, asio.MapAll(sizes[2])) << where;
        }
        else
            ASSERT_EQ(STATUS_SUCCESS, host.OpenWave(road.Kind == Road::Capture ? KSPIN_DATAFLOW_OUT
                                                                               : KSPIN_DATAFLOW_IN,
                                                    &pin))
                << where;
        ASSERT_TRUE(EmuAdvanceUntil([&] { return EmuPcPowerState(fdo) == PowerDeviceD2; }, kIdleMs))
            << where;
        const ULONG before = host.DataPackets(false) + host.DataPackets(true);
        if (road.Kind == Road::Asio)
        {
            EXPECT_EQ(STATUS_SUCCESS, asio.Start()) << where;
            EXPECT_EQ(PowerDeviceD0, EmuPcPowerState(fdo)) << where;
            asio.Run(2 * kIdleMs);
            EXPECT_GT(asio.EventSwitches(), 0u) << where;
        }
        else
        {
            EXPECT_EQ(STATUS_SUCCESS, host.RunPin(pin)) << where;
            EXPECT_EQ(PowerDeviceD0, EmuPcPowerState(fdo)) << where;
            host.Play(pin, 2 * kIdleMs, road.Kind == Road::Capture);
            host.StopPin(pin);
            host.ClosePin(pin);
        }
        EXPECT_EQ(PowerDeviceD0, EmuPcPowerState(fdo)) << where;
        EXPECT_GT(host.DataPackets(false) + host.DataPackets(true), before) << where;
    }
    ExpectCleanEnd(host, where, kBoundMs);
}

INSTANTIATE_TEST_SUITE_P(Devices, IdleWithStreamsOpen,
                         testing::Combine(testing::ValuesIn(kScenarioDevices),
                                          testing::ValuesIn(kRoads)),
                         RoadParamName);

// How the device leaves while it sleeps: pulled out at once, or asked first
// with no handle open; and how many of its next control requests it leaves
// unanswered, each one waited out by the driver.
struct SleepingRemoval
{
    bool Surprise;
    ULONG Unanswered;
    const char* Name;
};
const SleepingRemoval kSleepingRemovals[] = {
    {true, 1, "Surprise1"},
    {true, 3, "Surprise3"},
    {false, 1, "Orderly1"},
    {false, 3, "Orderly3"},
};
// The surprise-removed device is left this long before its removal.
constexpr ULONG kAfterSurpriseMs = 3000;

using SleepingParam = std::tuple<const char*, SleepingRemoval>;
class RemovalWhileAsleep : public testing::TestWithParam<SleepingParam>
{
};

// A device asleep in D2 stops answering and is removed. The removal's wake
// brings the driver's own power-up, which must neither outlive the removal
// nor register a filter after it: the removal ends, nothing is left
// registered, and the teardown leaves nothing behind.
TEST_P(RemovalWhileAsleep, ThePowerUpEndsBeforeTheRemoval)
{
    const std::string device = std::get<0>(GetParam());
    const SleepingRemoval removal = std::get<1>(GetParam());
    const std::string where = device + " " + removal.Name;
    ScenarioHost host(device, true);
    ASSERT_EQ(STATUS_SUCCESS, host.Start()) << where;
    PDEVICE_OBJECT fdo = host.Host().Fdo();
    PDEVICE_OBJECT pdo = host.Host().Pdo();
    host.Device()->InjectControlFault(SimRequestMatch{}, SimFaultKind::NoResponse,
                                      removal.Unanswered);
    ASSERT_TRUE(EmuAdvanceUntil([&] { return EmuPcPowerState(fdo) == PowerDeviceD2; }, kIdleMs))
        << where;
    if (removal.Surprise)
    {
        EXPECT_EQ(STATUS_SUCCESS, host.SurpriseRemoval()) << where;
        EmuAdvanceMs(kAfterSurpriseMs);
    }
    else
        EXPECT_EQ(STATUS_SUCCESS, EmuPnpSendMinor(pdo, IRP_MN_QUERY_REMOVE_DEVICE)) << where;
    ExpectCleanEnd(host, where, kBoundMs);
}

std::string SleepingName(const testing::TestParamInfo<SleepingParam>& info)
{
    return std::string(std::get<0>(info.param)) + "_" + std::get<1>(info.param).Name;
}

INSTANTIATE_TEST_SUITE_P(Devices, RemovalWhileAsleep,
                         testing::Combine(testing::ValuesIn(kScenarioDevices),
                                          testing::ValuesIn(kSleepingRemovals)),
                         SleepingName);
} // namespace
