// IRQL rules, spin locks, events, mutexes and waits of the emulated kernel.
#include <gtest/gtest.h>

#include <chrono>

#include "platform/kernel/emu.h"
#include "tests/common/emu_test.h"

TEST(Irql, RaiseLowerAndPagedCode)
{
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_EQ(old, PASSIVE_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    {
        EmuExpectFailures f;
        PAGED_CODE();
        ASSERT_EQ(f.Messages().size(), 1u);
        EXPECT_TRUE(f.Contains("pageable routine"));
    }
    KeLowerIrql(old);
    {
        EmuExpectFailures f;
        PAGED_CODE();
        KeRaiseIrql(APC_LEVEL, &old);
        PAGED_CODE(); // allowed at APC_LEVEL
        KeLowerIrql(old);
        EXPECT_TRUE(f.Messages().empty());
    }
    {
        EmuExpectFailures f;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        KIRQL ignored;
        KeRaiseIrql(APC_LEVEL, &ignored); // raising to a lower level
        EXPECT_TRUE(f.Contains("KeRaiseIrql"));
        KeLowerIrql(PASSIVE_LEVEL);
    }
}

TEST(SpinLock, RaisesToDispatchAndRestores)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    EXPECT_EQ(old, PASSIVE_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    EXPECT_NE(lock, 0u);
    KeReleaseSpinLock(&lock, old);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_EQ(lock, 0u);

    KIRQL raised;
    KeRaiseIrql(DISPATCH_LEVEL, &raised);
    KeAcquireSpinLockAtDpcLevel(&lock);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KeReleaseSpinLockFromDpcLevel(&lock);
    KeLowerIrql(raised);
}

TEST(SpinLock, MisuseIsReported)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    {
        EmuExpectFailures f;
        KeAcquireSpinLockAtDpcLevel(&lock); // at PASSIVE_LEVEL
        EXPECT_TRUE(f.Contains("KeAcquireSpinLockAtDpcLevel at IRQL 0"));
        KeReleaseSpinLockFromDpcLevel(&lock);
    }
    {
        EmuExpectFailures f;
        KIRQL old, old2;
        KeAcquireSpinLock(&lock, &old);
        KeAcquireSpinLock(&lock, &old2); // re-entry deadlocks a real machine
        EXPECT_TRUE(f.Contains("acquired again by its owner"));
        KeReleaseSpinLockFromDpcLevel(&lock);
        KeLowerIrql(old);
    }
    {
        EmuExpectFailures f;
        KIRQL old;
        KeRaiseIrql(HIGH_LEVEL, &old);
        KIRQL ignored;
        KeAcquireSpinLock(&lock, &ignored);
        EXPECT_TRUE(f.Contains("KeAcquireSpinLock at IRQL 15"));
        KeReleaseSpinLockFromDpcLevel(&lock);
        KeLowerIrql(old);
    }
    {
        EmuExpectFailures f;
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        KeReleaseSpinLock(&lock, old); // never acquired
        EXPECT_TRUE(f.Contains("does not hold it"));
    }
}

TEST(Event, NotificationWakesAllSynchronizationOne)
{
    KEVENT n, s;
    KeInitializeEvent(&n, NotificationEvent, FALSE);
    KeInitializeEvent(&s, SynchronizationEvent, FALSE);
    LARGE_INTEGER zero{};
    EXPECT_EQ(KeWaitForSingleObject(&n, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
    EXPECT_EQ(KeSetEvent(&n, 0, FALSE), 0);
    EXPECT_EQ(KeSetEvent(&n, 0, FALSE), 1);
    EXPECT_EQ(KeWaitForSingleObject(&n, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&n), 1); // notification stays signalled
    EXPECT_EQ(KeResetEvent(&n), 1);
    EXPECT_EQ(KeReadStateEvent(&n), 0);

    KeSetEvent(&s, 0, FALSE);
    EXPECT_EQ(KeWaitForSingleObject(&s, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&s), 0); // auto-reset by the satisfied wait
    EXPECT_EQ(KeWaitForSingleObject(&s, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
}

namespace
{
struct Waiters
{
    KEVENT Event;
    LONG Woken = 0;
    NTSTATUS Status[3] = {};
};

void WaitOnEvent(PVOID context)
{
    auto* w = static_cast<Waiters*>(context);
    LARGE_INTEGER t = RelativeMs(100);
    NTSTATUS s = KeWaitForSingleObject(&w->Event, Executive, KernelMode, FALSE, &t);
    w->Status[w->Woken++] = s;
}

PVOID StartThread(PKSTART_ROUTINE routine, PVOID context)
{
    HANDLE h;
    EXPECT_EQ(
        PsCreateSystemThread(&h, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, routine, context),
        STATUS_SUCCESS);
    PVOID thread = nullptr;
    EXPECT_EQ(
        ObReferenceObjectByHandle(h, SYNCHRONIZE, *PsThreadType, KernelMode, &thread, nullptr),
        STATUS_SUCCESS);
    ZwClose(h);
    return thread;
}

void JoinThread(PVOID thread)
{
    EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    ObDereferenceObject(thread);
}
} // namespace

TEST(Event, SynchronizationEventReleasesOneWaiterAtATime)
{
    Waiters w;
    KeInitializeEvent(&w.Event, SynchronizationEvent, FALSE);
    PVOID a = StartThread(WaitOnEvent, &w);
    PVOID b = StartThread(WaitOnEvent, &w);
    EmuRunUntilIdle();
    EXPECT_EQ(w.Woken, 0);
    KeSetEvent(&w.Event, 0, FALSE);
    EmuRunUntilIdle();
    EXPECT_EQ(w.Woken, 1);
    EXPECT_EQ(w.Status[0], STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&w.Event), 0);
    // The second waiter is not released by the same signal; it times out at
    // exactly 100 ms of virtual time.
    EmuAdvanceMs(99);
    EXPECT_EQ(w.Woken, 1);
    EmuAdvanceMs(1);
    EXPECT_EQ(w.Woken, 2);
    EXPECT_EQ(w.Status[1], STATUS_TIMEOUT);
    JoinThread(a);
    JoinThread(b);
}

TEST(Wait, TimesOutInVirtualTimeWithoutRealDelay)
{
    KEVENT e;
    KeInitializeEvent(&e, NotificationEvent, FALSE);
    ULONGLONG before = KeQueryInterruptTime();
    LARGE_INTEGER t = RelativeMs(500);
    auto realStart = std::chrono::steady_clock::now();
    EXPECT_EQ(KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &t), STATUS_TIMEOUT);
    auto realSpent = std::chrono::steady_clock::now() - realStart;
    EXPECT_EQ(KeQueryInterruptTime() - before, 5000000u);
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(realSpent).count(), 400);

    LARGE_INTEGER sys;
    KeQuerySystemTime(&sys);
    LARGE_INTEGER absolute;
    absolute.QuadPart = sys.QuadPart + 20 * 10000; // absolute system time 20 ms ahead
    EXPECT_EQ(KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &absolute), STATUS_TIMEOUT);
    EXPECT_EQ(KeQueryInterruptTime() - before, 5200000u);

    LARGE_INTEGER delay = RelativeMs(3);
    EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &delay), STATUS_SUCCESS);
    EXPECT_EQ(KeQueryInterruptTime() - before, 5230000u);
}

TEST(Wait, WaitAnyReportsTheFirstSignalledIndexAndWaitAllNeedsAll)
{
    KEVENT e[3];
    for (auto& x : e)
        KeInitializeEvent(&x, SynchronizationEvent, FALSE);
    PVOID objs[3] = {&e[0], &e[1], &e[2]};
    KWAIT_BLOCK blocks[3];
    LARGE_INTEGER zero{};
    KeSetEvent(&e[2], 0, FALSE);
    KeSetEvent(&e[1], 0, FALSE);
    EXPECT_EQ(
        KeWaitForMultipleObjects(3, objs, WaitAny, Executive, KernelMode, FALSE, &zero, blocks),
        STATUS_WAIT_0 + 1);
    EXPECT_EQ(KeReadStateEvent(&e[2]), 1); // only the satisfying object is consumed
    EXPECT_EQ(
        KeWaitForMultipleObjects(3, objs, WaitAll, Executive, KernelMode, FALSE, &zero, blocks),
        STATUS_TIMEOUT);
    EXPECT_EQ(KeReadStateEvent(&e[2]), 1); // a failed WaitAll consumes nothing
    KeSetEvent(&e[0], 0, FALSE);
    KeSetEvent(&e[1], 0, FALSE);
    EXPECT_EQ(
        KeWaitForMultipleObjects(3, objs, WaitAll, Executive, KernelMode, FALSE, &zero, blocks),
        STATUS_WAIT_0);
    for (auto& x : e)
        EXPECT_EQ(KeReadStateEvent(&x), 0);
}

TEST(Wait, AtDispatchLevelOnlyAZeroTimeoutIsAllowed)
{
    KEVENT e;
    KeInitializeEvent(&e, NotificationEvent, TRUE);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    LARGE_INTEGER zero{};
    EXPECT_EQ(KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
    {
        EmuExpectFailures f;
        LARGE_INTEGER t = RelativeMs(1);
        KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &t);
        EXPECT_TRUE(f.Contains("wait at IRQL 2"));
    }
    KeLowerIrql(old);
}

namespace
{
struct MutexCase
{
    KMUTEX Mutex;
    NTSTATUS TryStatus = STATUS_PENDING;
    NTSTATUS BlockingStatus = STATUS_PENDING;
    bool Acquired = false;
};

void TryMutex(PVOID context)
{
    auto* m = static_cast<MutexCase*>(context);
    LARGE_INTEGER zero{};
    m->TryStatus = KeWaitForSingleObject(&m->Mutex, Executive, KernelMode, FALSE, &zero);
    m->BlockingStatus = KeWaitForSingleObject(&m->Mutex, Executive, KernelMode, FALSE, nullptr);
    m->Acquired = true;
    KeReleaseMutex(&m->Mutex, FALSE);
}
} // namespace

TEST(Mutex, ReentrantForItsOwnerAndZeroTimeoutForOthers)
{
    MutexCase m;
    KeInitializeMutex(&m.Mutex, 0);
    EXPECT_EQ(KeReadStateMutex(&m.Mutex), 1);
    EXPECT_EQ(KeWaitForSingleObject(&m.Mutex, Executive, KernelMode, FALSE, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(&m.Mutex, Executive, KernelMode, FALSE, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateMutex(&m.Mutex), -1);

    PVOID t = StartThread(TryMutex, &m);
    EmuRunUntilIdle();
    EXPECT_EQ(m.TryStatus, STATUS_TIMEOUT);
    EXPECT_FALSE(m.Acquired);
    EXPECT_EQ(KeReleaseMutex(&m.Mutex, FALSE), -1);
    EmuRunUntilIdle();
    EXPECT_FALSE(m.Acquired); // still held once
    EXPECT_EQ(KeReleaseMutex(&m.Mutex, FALSE), 0);
    JoinThread(t);
    EXPECT_EQ(m.BlockingStatus, STATUS_SUCCESS);
    EXPECT_TRUE(m.Acquired);
    EXPECT_EQ(KeReadStateMutex(&m.Mutex), 1);

    EmuExpectFailures f;
    KeReleaseMutex(&m.Mutex, FALSE);
    EXPECT_TRUE(f.Contains("does not own"));
}

TEST(Wait, DeadlockIsReportedInsteadOfHanging)
{
    KEVENT e;
    KeInitializeEvent(&e, NotificationEvent, FALSE);
    EmuExpectFailures f;
    EXPECT_EQ(KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, nullptr),
              STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(f.Contains("deadlock"));
}
