// Power-state changes of the adapter as the port-class library passes them
// on: the device object, the timer resolution, the ASIO streaming stopped on
// leaving D0 and restarted on return, and the ASIO stop request kept while
// the device is not in D0.
#include <gtest/gtest.h>

#include <memory>

#include "platform/io/io_emu.h"
#include "platform/kernel/emu.h"
#include "tests/driver/power_rig.h"

namespace
{
constexpr ULONG kStopStreaming = 0x1DA044;

using Log = std::vector<std::string>;

// An owner whose streaming runs, with its buffer-switch event signalled.
struct RunningOwner
{
    KEVENT BufferSwitch;
    AsioClientRecord Record{};
    explicit RunningOwner(PowerTestAdapter* adapter)
    {
        KeInitializeEvent(&BufferSwitch, NotificationEvent, TRUE);
        Record.BufferSwitchEvent = &BufferSwitch;
        adapter->StartStreaming(&Record);
    }
};

std::unique_ptr<EmuIoRequest> SendStop(PFILE_OBJECT file)
{
    auto request = EmuIoRequest::DeviceControl(file, kStopStreaming, nullptr, 0, 0);
    if (request != nullptr)
        request->Send();
    return request;
}
} // namespace

TEST(Power, StreamingStopsOnLeavingD0AndRestartsOnReturn)
{
    PowerRig rig(false);
    ASSERT_TRUE(rig.Ok());
    RunningOwner owner(rig.Adapter());
    ClassScript().Log.clear();
    EXPECT_EQ(STATUS_SUCCESS, rig.SetDevicePower(PowerDeviceD3));
    EXPECT_EQ(Log{"asio stop"}, PowerLog());
    EXPECT_FALSE(rig.Adapter()->IsAsioRunning());
    EXPECT_TRUE(rig.Adapter()->IsPowerDownMarked());
    EXPECT_EQ(0, KeReadStateEvent(&owner.BufferSwitch));
    EXPECT_EQ(Log{"power 4"}, ClassScript().Log);

    // The rings go on where the power-down stopped them: no reset.
    EXPECT_EQ(STATUS_SUCCESS, rig.SetDevicePower(PowerDeviceD0));
    EXPECT_EQ((Log{"asio stop", "asio start"}), PowerLog());
    EXPECT_TRUE(rig.Adapter()->IsAsioRunning());
    EXPECT_FALSE(rig.Adapter()->IsPowerDownMarked());
    EXPECT_EQ(&owner.BufferSwitch, rig.Adapter()->LastRingEvent());
    EXPECT_EQ((Log{"power 4", "power 1"}), ClassScript().Log);

    // Streaming that was not running is not started by a return to D0.
    PowerLog().clear();
    rig.Adapter()->RecordedAsio().AsioStop();
    EXPECT_EQ(STATUS_SUCCESS, rig.SetDevicePower(PowerDeviceD2));
    EXPECT_EQ(STATUS_SUCCESS, rig.SetDevicePower(PowerDeviceD0));
    EXPECT_EQ(Log{"asio stop"}, PowerLog());
    EXPECT_FALSE(rig.Adapter()->IsPowerDownMarked());
}

TEST(Power, TheTimerResolutionIsHeldExactlyWhileInD0)
{
    const ULONG outside = EmuTimerResolutionRequests();
    {
        PowerRig rig(false);
        ASSERT_TRUE(rig.Ok());
        const ULONG held = EmuTimerResolutionRequests();
        EXPECT_EQ(outside + 1, held);
        EXPECT_EQ(10000u, EmuCurrentTimerResolution());
        rig.SetDevicePower(PowerDeviceD2);
        EXPECT_EQ(held - 1, EmuTimerResolutionRequests());
        // From one sleeping state to another: released once only.
        rig.SetDevicePower(PowerDeviceD3);
        EXPECT_EQ(held - 1, EmuTimerResolutionRequests());
        rig.SetDevicePower(PowerDeviceD0);
        EXPECT_EQ(held, EmuTimerResolutionRequests());
        rig.SetDevicePower(PowerDeviceD3);
        // Destroyed outside D0.
    }
    EXPECT_EQ(outside, EmuTimerResolutionRequests());
    EXPECT_EQ(0u, EmuTimerResolutionReleasesUnmatched());
}

TEST(Power, AGoneDeviceGetsNoPowerChangeButTheAdapterStillSleeps)
{
    PowerRig rig(false);
    ASSERT_TRUE(rig.Ok());
    RunningOwner owner(rig.Adapter());
    ClassScript().Log.clear();
    // The port no longer reports its device.
    rig.Base().Script().PortStatus.push_back({STATUS_SUCCESS, 0});
    rig.SetDevicePower(PowerDeviceD3);
    EXPECT_TRUE(ClassScript().Log.empty());
    EXPECT_EQ(Log{"asio stop"}, PowerLog());
    EXPECT_EQ(PowerDeviceD3, (int)rig.Adapter()->GetPowerState());
    EXPECT_FALSE(rig.Adapter()->IsDevicePresent());
}

TEST(Power, AStopMadeWhileAsleepCompletesAtTheNextD0)
{
    for (NTSTATUS stopStatus : {STATUS_SUCCESS, STATUS_INVALID_PARAMETER})
    {
        PowerRig rig(false);
        ASSERT_TRUE(rig.Ok());
        RunningOwner owner(rig.Adapter());
        rig.Adapter()->StopStatus = stopStatus;
        rig.SetDevicePower(PowerDeviceD2);
        PFILE_OBJECT file = rig.OpenFile();
        ASSERT_NE(nullptr, file);
        auto stop = SendStop(file);
        ASSERT_NE(nullptr, stop);
        EXPECT_FALSE(stop->Completed());
        EXPECT_EQ(stop->Irp(), rig.Adapter()->GetHeldAsioStopRequest());
        // One at a time.
        auto second = SendStop(file);
        ASSERT_TRUE(second->Wait(0));
        EXPECT_EQ(STATUS_INVALID_PARAMETER, second->Status());

        rig.SetDevicePower(PowerDeviceD0);
        // Streaming comes back first, then the kept stop stops it again.
        EXPECT_EQ((Log{"asio stop", "stop held", "stop refused", "asio start", "stop streaming",
                       "asio stop"}),
                  PowerLog());
        ASSERT_TRUE(stop->Wait(0));
        EXPECT_EQ(stopStatus, stop->Status());
        EXPECT_EQ(0u, stop->Information());
        EXPECT_EQ(nullptr, rig.Adapter()->GetHeldAsioStopRequest());
        EXPECT_FALSE(rig.Adapter()->IsAsioRunning());
        rig.CloseFile(file);
    }
}

TEST(Power, AKeptStopIsCancelledByItsCallerItsClientOrTheDevicesRemoval)
{
    std::unique_ptr<EmuIoRequest> last;
    {
        PowerRig rig(false);
        ASSERT_TRUE(rig.Ok());
        rig.SetDevicePower(PowerDeviceD2);
        PFILE_OBJECT file = rig.OpenFile();
        PFILE_OBJECT other = rig.OpenFile();
        ASSERT_NE(nullptr, file);
        ASSERT_NE(nullptr, other);

        // The caller gives up: the request completes cancelled and a new one
        // may be kept.
        auto stop = SendStop(file);
        ASSERT_FALSE(stop->Completed());
        EXPECT_TRUE(stop->Cancel());
        ASSERT_TRUE(stop->Wait(0));
        EXPECT_EQ(STATUS_CANCELLED, stop->Status());
        EXPECT_EQ(nullptr, rig.Adapter()->GetHeldAsioStopRequest());

        // The client goes: only its own request is answered.
        stop = SendStop(file);
        ASSERT_FALSE(stop->Completed());
        rig.Adapter()->CancelAsioStopRequest(other);
        EXPECT_FALSE(stop->Completed());
        rig.Adapter()->AsioCloseClient(file);
        ASSERT_TRUE(stop->Wait(0));
        EXPECT_EQ(STATUS_CANCELLED, stop->Status());

        // The device goes while a request is kept.
        last = SendStop(other);
        ASSERT_FALSE(last->Completed());
        rig.CloseFile(file);
        PowerLog().clear();
    }
    ASSERT_TRUE(last->Completed());
    EXPECT_EQ(STATUS_CANCELLED, last->Status());
    // Nothing ran the stop for it.
    EXPECT_TRUE(PowerLog().empty());
}

TEST(Power, CleanupOfAFileCompletesOnlyThatFilesKeptStop)
{
    PowerRig rig(false);
    ASSERT_TRUE(rig.Ok());
    rig.SetDevicePower(PowerDeviceD2);
    PFILE_OBJECT file = rig.OpenFile();
    PFILE_OBJECT other = rig.OpenFile();
    ASSERT_NE(nullptr, file);
    ASSERT_NE(nullptr, other);
    auto stop = SendStop(file);
    ASSERT_FALSE(stop->Completed());
    PASIOCLEANUP cleanup = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, rig.Adapter()->QueryInterface(IID_IAsioCleanup, (PVOID*)&cleanup));
    cleanup->CancelHeldRequests(other);
    cleanup->CancelHeldRequests(nullptr); // names no file: not the removal's "any"
    EXPECT_FALSE(stop->Completed());
    cleanup->CancelHeldRequests(file);
    ASSERT_TRUE(stop->Wait(0));
    EXPECT_EQ(STATUS_CANCELLED, stop->Status());
    EXPECT_EQ(nullptr, rig.Adapter()->GetHeldAsioStopRequest());
    cleanup->Release();
    rig.CloseFile(file);
    rig.CloseFile(other);
}

TEST(Power, AStopInD0IsNotKept)
{
    PowerRig rig(false);
    ASSERT_TRUE(rig.Ok());
    RunningOwner owner(rig.Adapter());
    PFILE_OBJECT file = rig.OpenFile();
    ASSERT_NE(nullptr, file);
    auto stop = SendStop(file);
    ASSERT_TRUE(stop->Wait(0));
    EXPECT_EQ(STATUS_SUCCESS, stop->Status());
    EXPECT_EQ((Log{"stop streaming", "asio stop"}), PowerLog());
    // A stop kept by nobody is not run at the next D0.
    rig.SetDevicePower(PowerDeviceD2);
    rig.SetDevicePower(PowerDeviceD0);
    EXPECT_EQ((Log{"stop streaming", "asio stop"}), PowerLog());
    rig.CloseFile(file);
}
