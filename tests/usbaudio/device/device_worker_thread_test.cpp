// The worker thread of a device object: the routine runs at the priority
// asked for until Stop signals it, Stop leaves no thread behind, and a
// restart finds the stop event cleared again.
#include <gtest/gtest.h>

#include "platform/kernel/emu.h"
#include "usbaudio/device/device_worker_thread.h"

namespace
{
struct Routine
{
    CDeviceWorkerThread* Worker = nullptr;
    ULONG Runs = 0;
    ULONG Returns = 0;
};

void WaitForStop(PVOID context)
{
    auto* r = static_cast<Routine*>(context);
    ++r->Runs;
    KeWaitForSingleObject(r->Worker->StopEvent(), Executive, KernelMode, FALSE, nullptr);
    ++r->Returns;
}

TEST(DeviceWorkerThread, RunsUntilStopAndRestarts)
{
    CDeviceWorkerThread worker;
    Routine routine{&worker};
    const ULONG threadsBefore = EmuLiveThreadCount();
    for (KPRIORITY priority : {16, 24})
    {
        const ULONG round = routine.Runs;
        ASSERT_EQ(worker.Start(WaitForStop, &routine, priority), STATUS_SUCCESS);
        ASSERT_TRUE(worker.IsRunning());
        EXPECT_EQ(EmuThreadPriority(worker.Thread()), priority);
        EmuRunUntilIdle();
        EXPECT_EQ(routine.Runs, round + 1);
        EXPECT_EQ(routine.Returns, round); // the last stop's event was cleared
        EXPECT_EQ(EmuLiveThreadCount(), threadsBefore + 1);
        worker.Stop();
        EXPECT_FALSE(worker.IsRunning());
        EXPECT_EQ(worker.Thread(), nullptr);
        EXPECT_EQ(routine.Returns, round + 1);
        EXPECT_EQ(EmuLiveThreadCount(), threadsBefore);
    }
}

TEST(DeviceWorkerThread, StopWithoutAThreadDoesNothing)
{
    const ULONG threadsBefore = EmuLiveThreadCount();
    CDeviceWorkerThread worker;
    worker.Stop();
    EXPECT_FALSE(worker.IsRunning());
    EXPECT_EQ(EmuLiveThreadCount(), threadsBefore);
}
} // namespace
