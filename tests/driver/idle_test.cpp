// Selective suspend on the virtual clock: the idle timer, the idle-notification
// request, the idle callback that puts the device into D2, the wake with its
// two half-second waits, the completions that bring the device back to D0,
// and teardown with a request outstanding.
#include <gtest/gtest.h>

#include "platform/io/io_emu.h"
#include "platform/kernel/emu.h"
#include "platform/portcls/portcls_emu.h"
#include "tests/driver/power_rig.h"
#include "tests/framework/frame_doubles.h"

namespace
{
constexpr ULONGLONG kHalfSecond = 5000000; // 100 ns units

// Runs the clock until the device sits in D2 with its idle request at the bus.
bool SuspendThroughTheBus(PowerRig& rig)
{
    return EmuAdvanceUntil([&] { return rig.Adapter()->GetPowerState() == PowerDeviceD2; },
                           IDLE_FIRST_CHECK_MS + 100);
}

// Runs the clock until the filter keeps an idle request, then calls its
// callback as the USB stack would.
bool SuspendWithTheRequestKept(PowerRig& rig)
{
    if (!EmuAdvanceUntil([&] { return rig.Idle().Kept != nullptr; }, IDLE_FIRST_CHECK_MS + 100))
        return false;
    rig.RunKeptIdleCallback();
    return rig.Adapter()->GetPowerState() == PowerDeviceD2;
}

// The wake that the removal request of this minor code runs first.
void WakeForRemoval(PowerRig& rig, UCHAR minor)
{
    PIRP removal = IoAllocateIrp(1, FALSE);
    IoSetNextIrpStackLocation(removal);
    IoGetCurrentIrpStackLocation(removal)->MajorFunction = IRP_MJ_PNP;
    IoGetCurrentIrpStackLocation(removal)->MinorFunction = minor;
    rig.Adapter()->WakeFromIdle(removal);
    IoFreeIrp(removal);
}

bool Logged(const std::string& line)
{
    for (const std::string& s : ClassScript().Log)
        if (s == line)
            return true;
    return false;
}
} // namespace

TEST(Idle, AnIdleDeviceIsSuspendedToD2ThroughTheIdleRequest)
{
    PowerRig rig;
    ASSERT_TRUE(rig.Ok()) << std::hex << rig.InitStatus();
    const ULONG timers = EmuArmedTimerCount();
    const ULONG resolution = EmuTimerResolutionRequests();
    ClassScript().Log.clear();
    // Nothing before the first check, 5 s after start-up.
    EmuAdvanceMs(IDLE_FIRST_CHECK_MS - 1);
    EXPECT_EQ(0u, rig.Idle().Requests);
    ASSERT_TRUE(SuspendThroughTheBus(rig));
    EXPECT_EQ(1u, rig.Idle().Requests);
    EXPECT_EQ(16u, rig.Idle().InputLength);
    EXPECT_TRUE(rig.Bus()->IdleRequestPending());
    EXPECT_TRUE(rig.Bus()->IdleCallbackCalled());
    // D2, not D3: the library and the device object went there too.
    EXPECT_EQ(PowerDeviceD2, rig.LibraryPowerState());
    EXPECT_TRUE(Logged("power 3"));
    EXPECT_EQ(resolution - 1, EmuTimerResolutionRequests());
    // The idle timer rests while the request is outstanding.
    EXPECT_EQ(timers - 1, EmuArmedTimerCount());
    EmuAdvanceMs(3 * IDLE_FIRST_CHECK_MS);
    EXPECT_EQ(1u, rig.Idle().Requests);
}

TEST(Idle, AWakeFromD2CancelsTheRequestAndBringsTheDeviceBack)
{
    PowerRig rig;
    ASSERT_TRUE(rig.Ok());
    const ULONG timers = EmuArmedTimerCount();
    const ULONG resolution = EmuTimerResolutionRequests();
    ASSERT_TRUE(SuspendThroughTheBus(rig));
    ClassScript().Log.clear();
    const ULONGLONG before = EmuNow();
    EXPECT_EQ(STATUS_SUCCESS, rig.Adapter()->WakeFromIdle(nullptr));
    // The wake waited for the cancelled request, which the bus completes at
    // its next frame, having asked for D0.
    EXPECT_GT(EmuNow(), before);
    EXPECT_LE(EmuNow() - before, 10000u);
    EXPECT_FALSE(rig.Bus()->IdleRequestPending());
    EXPECT_EQ(PowerDeviceD0, (int)rig.Adapter()->GetPowerState());
    EXPECT_EQ(PowerDeviceD0, rig.LibraryPowerState());
    EXPECT_EQ((std::vector<std::string>{"power 1"}), ClassScript().Log);
    EXPECT_EQ(resolution, EmuTimerResolutionRequests());
    EXPECT_EQ(1, rig.Adapter()->GetBusyCount());
    // The timer is armed again: the next idle check is 5 s away.
    EXPECT_EQ(timers, EmuArmedTimerCount());
    EmuAdvanceMs(IDLE_FIRST_CHECK_MS - 1);
    EXPECT_EQ(1u, rig.Idle().Requests);
    ASSERT_TRUE(SuspendThroughTheBus(rig));
    EXPECT_EQ(2u, rig.Idle().Requests);
}

TEST(Idle, AWakeWithNothingOutstandingReturnsAtOnce)
{
    for (bool selectiveSuspend : {true, false})
    {
        PowerRig rig(selectiveSuspend);
        ASSERT_TRUE(rig.Ok());
        const ULONGLONG before = EmuNow();
        EXPECT_EQ(STATUS_SUCCESS, rig.Adapter()->WakeFromIdle(nullptr));
        EXPECT_EQ(before, EmuNow());
        EXPECT_EQ(1, rig.Adapter()->GetBusyCount());
    }
}

TEST(Idle, WithoutSelectiveSuspendNoRequestIsEverSent)
{
    PowerRig rig(false);
    ASSERT_TRUE(rig.Ok());
    const ULONG timers = EmuArmedTimerCount();
    EmuAdvanceMs(6 * IDLE_FIRST_CHECK_MS);
    EXPECT_EQ(0u, rig.Idle().Requests);
    EXPECT_EQ(PowerDeviceD0, (int)rig.Adapter()->GetPowerState());
    EXPECT_EQ(timers, EmuArmedTimerCount());
}

TEST(Idle, ABusyDeviceIsLeftAloneUntilItIsIdleAgain)
{
    PowerRig rig;
    ASSERT_TRUE(rig.Ok());
    // A streaming interface at a non-zero setting keeps the device busy.
    rig.Adapter()->IncrementActiveStreamCount();
    EmuAdvanceMs(2 * IDLE_FIRST_CHECK_MS + 1);
    EXPECT_EQ(0u, rig.Idle().Requests);
    rig.Adapter()->DecrementActiveStreamCount();
    // The timer kept its period: the next check finds the device idle.
    EmuAdvanceMs(IDLE_FIRST_CHECK_MS - 2);
    EXPECT_EQ(0u, rig.Idle().Requests);
    EmuAdvanceMs(2);
    EmuRunUntilIdle();
    EXPECT_EQ(1u, rig.Idle().Requests);
}

TEST(Idle, AnUnsupportedIdleRequestIsTriedAgainAtEveryCheck)
{
    PowerRig rig;
    ASSERT_TRUE(rig.Ok());
    rig.Idle().Answer = IdleAnswer::Refuse;
    rig.Idle().RefuseStatus = STATUS_NOT_SUPPORTED;
    EmuAdvanceMs(IDLE_FIRST_CHECK_MS);
    EmuRunUntilIdle();
    EXPECT_EQ(1u, rig.Idle().Requests);
    EXPECT_EQ(PowerDeviceD0, (int)rig.Adapter()->GetPowerState());
    // Re-armed by the completion: first after 5 s again.
    EmuAdvanceMs(IDLE_FIRST_CHECK_MS - 1);
    EXPECT_EQ(1u, rig.Idle().Requests);
    EmuAdvanceMs(1);
    EmuRunUntilIdle();
    EXPECT_EQ(2u, rig.Idle().Requests);
}

TEST(Idle, AWakeWaitsHalfASecondForACancelThatIsNotAnswered)
{
    PowerRig rig;
    ASSERT_TRUE(rig.Ok());
    rig.Idle().Answer = IdleAnswer::KeepDeaf;
    ASSERT_TRUE(
        EmuAdvanceUntil([&] { return rig.Idle().Kept != nullptr; }, IDLE_FIRST_CHECK_MS + 100));
    const ULONGLONG before = EmuNow();
    EXPECT_EQ(STATUS_SUCCESS, rig.Adapter()->WakeFromIdle(nullptr));
    EXPECT_EQ(before + kHalfSecond, EmuNow());
    EXPECT_EQ(1, rig.Adapter()->GetBusyCount());
    // The late completion finds the device in D0: no power request, the
    // timer armed again.
    const ULONG timers = EmuArmedTimerCount();
    ClassScript().Log.clear();
    rig.CompleteKeptIdle(STATUS_CANCELLED, false);
    EXPECT_TRUE(ClassScript().Log.empty());
    EXPECT_EQ(timers + 1, EmuArmedTimerCount());
}

TEST(Idle, AWakeWaitsForTheCancelledRequestThenAtMostHalfASecondForD0)
{
    PowerRig rig;
    ASSERT_TRUE(rig.Ok());
    rig.Idle().Answer = IdleAnswer::Keep;
    rig.Idle().CancelDelayMs = 300;
    // Streaming ran when the device went to sleep, and takes 800 ms to start
    // again.
    KEVENT bufferSwitch;
    KeInitializeEvent(&bufferSwitch, NotificationEvent, TRUE);
    AsioClientRecord owner{};
    owner.BufferSwitchEvent = &bufferSwitch;
    rig.Adapter()->StartStreaming(&owner);
    rig.Adapter()->StartDelayMs = 800;
    ASSERT_TRUE(SuspendWithTheRequestKept(rig));
    EXPECT_EQ((std::vector<std::string>{"asio stop"}), PowerLog());

    const ULONGLONG before = EmuNow();
    EXPECT_EQ(STATUS_SUCCESS, rig.Adapter()->WakeFromIdle(nullptr));
    // 300 ms for the cancelled request to complete (from a DPC), then the
    // half second for the D0 request that is still starting streams.
    EXPECT_EQ(before + 3000000 + kHalfSecond, EmuNow());
    EXPECT_FALSE(rig.Adapter()->IsAsioRunning());
    EXPECT_EQ(nullptr, rig.Idle().Kept);
    // The D0 request finishes on its own.
    ASSERT_TRUE(EmuAdvanceUntil([&] { return rig.Adapter()->IsAsioRunning(); }, 1000));
    EXPECT_EQ(before + 3000000 + 8000000, EmuNow());
    EXPECT_EQ((std::vector<std::string>{"asio stop", "asio start"}), PowerLog());
    EXPECT_EQ(&bufferSwitch, rig.Adapter()->LastRingEvent());
    EXPECT_EQ(PowerDeviceD0, rig.LibraryPowerState());
}

// A removal's wake marks the device going before it cancels: the cancelled
// request brings no power-up, one already under way (2 s of stream start, of
// which an earlier wake waited 0.5 s) is waited out, and no synchronous
// request reaches the bus any more.
TEST(Idle, ARemovalsWakeStartsNoPowerUpAndWaitsOutTheOneUnderWay)
{
    for (UCHAR minor : {IRP_MN_REMOVE_DEVICE, IRP_MN_SURPRISE_REMOVAL})
        for (bool underWay : {false, true})
        {
            PowerRig rig;
            ASSERT_TRUE(rig.Ok());
            rig.Idle().Answer = IdleAnswer::Keep;
            rig.Idle().CancelDelayMs = 300;
            AsioClientRecord owner{};
            rig.Adapter()->StartStreaming(&owner);
            rig.Adapter()->StartDelayMs = 2000;
            ASSERT_TRUE(SuspendWithTheRequestKept(rig));
            const ULONGLONG before = EmuNow();
            if (underWay)
                rig.Adapter()->WakeFromIdle(nullptr);
            WakeForRemoval(rig, minor);
            EXPECT_EQ(before + (underWay ? 23000000 : 3000000), EmuNow());
            EXPECT_EQ(underWay, rig.Adapter()->IsAsioRunning());
            EXPECT_EQ(underWay ? PowerDeviceD0 : PowerDeviceD2, rig.LibraryPowerState());
            URB urb = {};
            const ULONG requests = rig.Bus()->RequestCount();
            EXPECT_EQ(STATUS_DEVICE_REMOVED, rig.Adapter()->SubmitUrbSync(&urb));
            EXPECT_EQ(requests, rig.Bus()->RequestCount());
        }
}

// A power-up whose device class is still busy (2 s) when the removal's wake
// comes: the wake waits it out, and the engine it then installs registers
// no wave filter.
TEST(Idle, APowerUpThatInstallsAfterARemovalsWakeRegistersNothing)
{
    AdapterRig topology;
    ASSERT_TRUE(topology.Ok());
    TestEngine* engine = MakeEngine(STREAM_DIRECTION_RENDER);
    TestTerminal* speaker = MakeTerminal(2, CONTROL_KIND_OUTPUT_TERMINAL, ENDPOINT_KIND_SPK);
    engine->AddPathControl(speaker); // no jack records: always connected
    speaker->Release();
    ASSERT_EQ(STATUS_SUCCESS,
              engine->SetMiniportFactory(CreateTestWaveMiniport, CLSID_PortWaveCyclic));
    ASSERT_EQ(STATUS_SUCCESS,
              engine->SetPortTopology(topology.TopologyPort(), topology.TopologyMiniport()));
    {
        PowerRig rig;
        ASSERT_TRUE(rig.Ok());
        ClassScript().EngineCount = 1;
        ClassScript().Engines = {engine};
        ClassScript().PowerUpDelayMs = 2000;
        rig.Idle().Answer = IdleAnswer::Keep;
        rig.Idle().CancelDelayMs = 300;
        ASSERT_TRUE(SuspendWithTheRequestKept(rig));
        rig.Adapter()->WakeFromIdle(nullptr);        // gives up on the power-up after its waits
        ASSERT_TRUE(ClassScript().Installs.empty()); // still under way
        WakeForRemoval(rig, IRP_MN_SURPRISE_REMOVAL);
        EXPECT_EQ(std::vector<NTSTATUS>{STATUS_DEVICE_REMOVED}, ClassScript().Installs);
        EXPECT_FALSE(engine->IsMiniportInstalled());
        for (const EmuPcSubdeviceInfo& subdevice : EmuPcSubdevices(rig.Base().Fdo()))
            EXPECT_FALSE(subdevice.WaveCyclic);
        ClassScript().Engines.clear();
    }
    engine->Release();
}

TEST(Idle, ARequestThatFailsInD2BringsTheDeviceBackUnlessItIsUnsupported)
{
    {
        PowerRig rig;
        ASSERT_TRUE(rig.Ok());
        rig.Idle().Answer = IdleAnswer::Keep;
        ASSERT_TRUE(SuspendWithTheRequestKept(rig));
        // Completed at DISPATCH_LEVEL: the power request reaches the stack
        // from a worker.
        rig.CompleteKeptIdle(STATUS_UNSUCCESSFUL, true);
        EXPECT_EQ(PowerDeviceD2, (int)rig.Adapter()->GetPowerState());
        EmuRunUntilIdle();
        EXPECT_EQ(PowerDeviceD0, (int)rig.Adapter()->GetPowerState());
        EXPECT_EQ(PowerDeviceD0, rig.LibraryPowerState());
    }
    {
        PowerRig rig;
        ASSERT_TRUE(rig.Ok());
        rig.Idle().Answer = IdleAnswer::Keep;
        ASSERT_TRUE(SuspendWithTheRequestKept(rig));
        const ULONG timers = EmuArmedTimerCount();
        rig.CompleteKeptIdle(STATUS_NOT_SUPPORTED, true);
        EmuRunUntilIdle();
        EXPECT_EQ(PowerDeviceD2, (int)rig.Adapter()->GetPowerState());
        EXPECT_EQ(timers + 1, EmuArmedTimerCount());
        // The next request that goes is refused outside D0.
        EmuAdvanceMs(IDLE_FIRST_CHECK_MS + 1);
        EmuRunUntilIdle();
        EXPECT_EQ(1u, rig.Idle().Requests);
    }
}

TEST(Idle, AnUnpluggedDeviceInD2IsBroughtBackFromTheBusCompletion)
{
    PowerRig rig;
    ASSERT_TRUE(rig.Ok());
    ASSERT_TRUE(SuspendThroughTheBus(rig));
    // The bus fails what it holds from its frame DPC.
    rig.Bus()->Unplug();
    EmuAdvanceMs(2);
    EmuRunUntilIdle();
    EXPECT_FALSE(rig.Bus()->IdleRequestPending());
    EXPECT_EQ(PowerDeviceD0, (int)rig.Adapter()->GetPowerState());
}

TEST(Idle, TeardownWithTheRequestOutstandingLeavesNothingBehind)
{
    // Outstanding in D0: the bus has not called back yet.
    {
        PowerRig rig;
        ASSERT_TRUE(rig.Ok());
        rig.Bus()->SetAutomaticIdle(false);
        ASSERT_TRUE(EmuAdvanceUntil([&] { return rig.Bus()->IdleRequestPending(); },
                                    IDLE_FIRST_CHECK_MS + 100));
    }
    // Outstanding in D2, with the cancel completing from a DPC.
    {
        PowerRig rig;
        ASSERT_TRUE(rig.Ok());
        rig.Idle().Answer = IdleAnswer::Keep;
        rig.Idle().CancelDelayMs = 20;
        ASSERT_TRUE(SuspendWithTheRequestKept(rig));
    }
    // Right after a completion armed the timer again.
    {
        PowerRig rig;
        ASSERT_TRUE(rig.Ok());
        rig.Idle().Answer = IdleAnswer::Refuse;
        EmuAdvanceMs(IDLE_FIRST_CHECK_MS);
        EmuRunUntilIdle();
        EXPECT_EQ(1u, rig.Idle().Requests);
    }
    // The leak check of every test finds no timer, DPC, work item, request or
    // block left.
    EXPECT_EQ(0u, EmuPoolOutstandingCount(POOL_TAG("PcCr")));
}
