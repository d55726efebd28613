// Timers, DPCs and the clocks on virtual time.
#include <gtest/gtest.h>

#include <vector>

#include "platform/kernel/emu.h"
#include "tests/common/emu_test.h"

namespace
{
struct DpcLog
{
    std::vector<std::pair<int, ULONGLONG>> Calls; // (id, interrupt time)
    std::vector<KIRQL> Irqls;
};

struct TimedDpc
{
    KTIMER Timer;
    KDPC Dpc;
    int Id;
    DpcLog* Log;
};

void LogDpc(PKDPC, PVOID context, PVOID, PVOID)
{
    auto* t = static_cast<TimedDpc*>(context);
    t->Log->Calls.push_back({t->Id, KeQueryInterruptTime()});
    t->Log->Irqls.push_back(KeGetCurrentIrql());
}

void Init(TimedDpc& t, int id, DpcLog* log, TIMER_TYPE type = NotificationTimer)
{
    KeInitializeTimerEx(&t.Timer, type);
    KeInitializeDpc(&t.Dpc, LogDpc, &t);
    t.Id = id;
    t.Log = log;
}
} // namespace

TEST(Timer, FiresAtExactlyItsDueTimeAtDispatchLevel)
{
    DpcLog log;
    TimedDpc t;
    Init(t, 1, &log);
    LARGE_INTEGER due = RelativeMs(10);
    EXPECT_FALSE(KeSetTimer(&t.Timer, due, &t.Dpc));
    EXPECT_EQ(EmuArmedTimerCount(), 1u);
    EmuAdvanceTime(10 * 10000 - 1);
    EXPECT_TRUE(log.Calls.empty());
    EXPECT_FALSE(KeReadStateTimer(&t.Timer));
    EmuAdvanceTime(1);
    ASSERT_EQ(log.Calls.size(), 1u);
    EXPECT_EQ(log.Calls[0].second, 100000u);
    EXPECT_EQ(log.Irqls[0], DISPATCH_LEVEL);
    EXPECT_TRUE(KeReadStateTimer(&t.Timer));
    EXPECT_EQ(EmuArmedTimerCount(), 0u);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST(Timer, PeriodicOrderingCancelAndReset)
{
    DpcLog log;
    TimedDpc a, b;
    Init(a, 1, &log);
    Init(b, 2, &log);
    LARGE_INTEGER due = RelativeMs(5);
    KeSetTimerEx(&a.Timer, due, 5, &a.Dpc); // every 5 ms from 5 ms
    KeSetTimer(&b.Timer, due, &b.Dpc);      // once at 5 ms, armed after a
    EmuAdvanceMs(20);
    std::vector<std::pair<int, ULONGLONG>> expected = {
        {1, 50000}, {2, 50000}, {1, 100000}, {1, 150000}, {1, 200000}};
    EXPECT_EQ(log.Calls, expected);
    EXPECT_TRUE(KeCancelTimer(&a.Timer));
    EXPECT_FALSE(KeCancelTimer(&a.Timer));
    EmuAdvanceMs(20);
    EXPECT_EQ(log.Calls.size(), 5u);

    // Setting an armed timer again replaces its due time and reports it was armed.
    KeSetTimer(&b.Timer, RelativeMs(10), &b.Dpc);
    EXPECT_TRUE(KeSetTimer(&b.Timer, RelativeMs(2), &b.Dpc));
    EmuAdvanceMs(10);
    ASSERT_EQ(log.Calls.size(), 6u);
    EXPECT_EQ(log.Calls[5], std::make_pair(2, (ULONGLONG)(400000 + 20000)));
}

namespace
{
struct TimerWaiter
{
    KTIMER Timer;
    NTSTATUS Status = STATUS_PENDING;
    ULONGLONG WokeAt = 0;
};

void WaitOnTimer(PVOID context)
{
    auto* w = static_cast<TimerWaiter*>(context);
    w->Status = KeWaitForSingleObject(&w->Timer, Executive, KernelMode, FALSE, nullptr);
    w->WokeAt = KeQueryInterruptTime();
}
} // namespace

TEST(Timer, ThreadsWaitingOnATimerWakeWhenItExpires)
{
    TimerWaiter w;
    KeInitializeTimer(&w.Timer);
    KeSetTimer(&w.Timer, RelativeMs(7), nullptr);
    HANDLE h;
    ASSERT_EQ(
        PsCreateSystemThread(&h, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, WaitOnTimer, &w),
        STATUS_SUCCESS);
    PVOID thread;
    ASSERT_EQ(ObReferenceObjectByHandle(h, 0, *PsThreadType, KernelMode, &thread, nullptr),
              STATUS_SUCCESS);
    ZwClose(h);
    // Waiting on the thread lets virtual time run to the timer.
    EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    ObDereferenceObject(thread);
    EXPECT_EQ(w.Status, STATUS_SUCCESS);
    EXPECT_EQ(w.WokeAt, 70000u);
}

namespace
{
struct Queued
{
    KDPC Dpc;
    std::vector<int>* Order;
    int Id;
};

void RecordDpc(PKDPC, PVOID context, PVOID a1, PVOID)
{
    auto* q = static_cast<Queued*>(context);
    q->Order->push_back(q->Id * 100 + (int)(ULONG_PTR)a1);
}
} // namespace

TEST(Dpc, RunsWhenIrqlDropsBelowDispatchInQueueOrder)
{
    std::vector<int> order;
    Queued a{{}, &order, 1}, b{{}, &order, 2};
    KeInitializeDpc(&a.Dpc, RecordDpc, &a);
    KeInitializeDpc(&b.Dpc, RecordDpc, &b);

    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    EXPECT_TRUE(KeInsertQueueDpc(&a.Dpc, (PVOID)1, nullptr));
    EXPECT_FALSE(KeInsertQueueDpc(&a.Dpc, (PVOID)9, nullptr)); // already queued
    EXPECT_TRUE(KeInsertQueueDpc(&b.Dpc, (PVOID)2, nullptr));
    EXPECT_TRUE(order.empty());
    EXPECT_EQ(EmuQueuedDpcCount(), 2u);
    KeReleaseSpinLock(&lock, old);
    EXPECT_EQ(order, (std::vector<int>{101, 202}));

    // Queued at PASSIVE_LEVEL, a DPC runs at once; a removed one never runs.
    EXPECT_TRUE(KeInsertQueueDpc(&a.Dpc, (PVOID)3, nullptr));
    EXPECT_EQ(order.back(), 103);
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    KeInsertQueueDpc(&b.Dpc, (PVOID)4, nullptr);
    EXPECT_TRUE(KeRemoveQueueDpc(&b.Dpc));
    EXPECT_FALSE(KeRemoveQueueDpc(&b.Dpc));
    KeLowerIrql(old);
    EXPECT_EQ(order.size(), 3u);
}

TEST(Clock, CountersAgreeAndAdvanceTogether)
{
    LARGE_INTEGER freq;
    LARGE_INTEGER pc0 = KeQueryPerformanceCounter(&freq);
    EXPECT_EQ(freq.QuadPart, 10000000);
    LARGE_INTEGER sys0;
    KeQuerySystemTime(&sys0);
    ULONGLONG it0 = KeQueryInterruptTime();
    EmuAdvanceMs(1234);
    LARGE_INTEGER pc1 = KeQueryPerformanceCounter(nullptr);
    LARGE_INTEGER sys1;
    KeQuerySystemTime(&sys1);
    EXPECT_EQ(pc1.QuadPart - pc0.QuadPart, 12340000);
    EXPECT_EQ(sys1.QuadPart - sys0.QuadPart, 12340000);
    EXPECT_EQ(KeQueryInterruptTime() - it0, 12340000u);
    // System time is a real calendar date (after 2020-01-01 in 100 ns since 1601).
    EXPECT_GT(sys0.QuadPart, 132223104000000000LL);
    KeStallExecutionProcessor(50);
    EXPECT_EQ(KeQueryInterruptTime() - it0, 12340500u);
}

TEST(Timer, FreeingABlockWithAnArmedTimerIsReported)
{
    auto* t =
        static_cast<KTIMER*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(KTIMER), POOL_TAG("Tmr ")));
    KeInitializeTimer(t);
    KeSetTimer(t, RelativeMs(5), nullptr);
    {
        EmuExpectFailures f;
        ExFreePool(t);
        EXPECT_TRUE(f.Contains("armed timer"));
    }
    KeCancelTimer(t);
    ExFreePool(t);
}
