#include <gtest/gtest.h>

#include "driver/sync_mutex.h"
#include "platform/kernel/emu.h"
#include "tests/common/emu_test.h"

namespace
{
struct Holder
{
    CSyncMutex* Lock;
    KEVENT Acquired;
    KEVENT Release;
    BOOLEAN TryResult;
    bool UseTry;
    bool Released = false;
};

void HoldRoutine(PVOID context)
{
    auto* h = static_cast<Holder*>(context);
    if (h->UseTry)
        h->TryResult = h->Lock->TryLock();
    else
        h->Lock->Lock();
    KeSetEvent(&h->Acquired, 0, FALSE);
    KeWaitForSingleObject(&h->Release, Executive, KernelMode, FALSE, nullptr);
    if (!h->UseTry || h->TryResult)
        h->Lock->Unlock();
    h->Released = true;
    PsTerminateSystemThread(STATUS_SUCCESS);
}

// Runs HoldRoutine on a system thread and returns its referenced object.
PKTHREAD StartHolder(Holder* h)
{
    HANDLE handle = nullptr;
    EXPECT_EQ(
        PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, HoldRoutine, h),
        STATUS_SUCCESS);
    PVOID thread = nullptr;
    EXPECT_EQ(ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode,
                                        &thread, nullptr),
              STATUS_SUCCESS);
    ZwClose(handle);
    return static_cast<PKTHREAD>(thread);
}

void Join(PKTHREAD thread)
{
    KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(thread);
}
} // namespace

TEST(SyncMutex, OperationsInTableOrder)
{
    CSyncMutex m;
    // The table is read by place: Lock, no-op, Unlock, no-op, TryLock, UnlockNonPaged.
    using Op = BOOLEAN (*)(CSyncMutex*);
    Op* table = *reinterpret_cast<Op**>(&m);
    EXPECT_TRUE(table[0](&m));  // Lock
    EXPECT_FALSE(table[1](&m)); // no effect
    EXPECT_TRUE(table[2](&m));  // Unlock
    EXPECT_FALSE(table[3](&m)); // no effect
    EXPECT_TRUE(table[4](&m));  // TryLock on a free mutex
    EXPECT_TRUE(table[5](&m));  // UnlockNonPaged
}

TEST(SyncMutex, OwnerMayReenterAndReleasesAsOftenAsAcquired)
{
    CSyncMutex m;
    EXPECT_TRUE(m.Lock());
    EXPECT_TRUE(m.Lock());
    EXPECT_TRUE(m.TryLock());
    EXPECT_FALSE(m.Reserved1());
    EXPECT_FALSE(m.Reserved2());
    EXPECT_TRUE(m.UnlockNonPaged());
    EXPECT_TRUE(m.Unlock());

    // Still held once: another thread's TryLock must fail.
    Holder h{&m, {}, {}, TRUE, true};
    KeInitializeEvent(&h.Acquired, NotificationEvent, FALSE);
    KeInitializeEvent(&h.Release, NotificationEvent, FALSE);
    PKTHREAD t = StartHolder(&h);
    KeWaitForSingleObject(&h.Acquired, Executive, KernelMode, FALSE, nullptr);
    EXPECT_FALSE(h.TryResult);
    KeSetEvent(&h.Release, 0, FALSE);
    Join(t);

    EXPECT_TRUE(m.Unlock());
    // Released as often as acquired: now free for everyone.
    Holder h2{&m, {}, {}, FALSE, true};
    KeInitializeEvent(&h2.Acquired, NotificationEvent, FALSE);
    KeInitializeEvent(&h2.Release, NotificationEvent, FALSE);
    t = StartHolder(&h2);
    KeWaitForSingleObject(&h2.Acquired, Executive, KernelMode, FALSE, nullptr);
    EXPECT_TRUE(h2.TryResult);
    KeSetEvent(&h2.Release, 0, FALSE);
    Join(t);
}

TEST(SyncMutex, TryLockOnAMutexHeldElsewhereFailsAtOnce)
{
    CSyncMutex m;
    Holder h{&m, {}, {}, FALSE, false};
    KeInitializeEvent(&h.Acquired, NotificationEvent, FALSE);
    KeInitializeEvent(&h.Release, NotificationEvent, FALSE);
    PKTHREAD t = StartHolder(&h);
    KeWaitForSingleObject(&h.Acquired, Executive, KernelMode, FALSE, nullptr);

    ULONGLONG before = EmuNow();
    EXPECT_FALSE(m.TryLock());
    // At DISPATCH_LEVEL too, and without any wait.
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_FALSE(m.TryLock());
    KeLowerIrql(old);
    EXPECT_EQ(EmuNow(), before);

    KeSetEvent(&h.Release, 0, FALSE);
    Join(t);
    EXPECT_TRUE(m.TryLock());
    EXPECT_TRUE(m.UnlockNonPaged());
}

TEST(SyncMutex, LockWaitsForTheOwnerToRelease)
{
    CSyncMutex m;
    Holder h{&m, {}, {}, FALSE, false};
    KeInitializeEvent(&h.Acquired, NotificationEvent, FALSE);
    KeInitializeEvent(&h.Release, NotificationEvent, FALSE);
    PKTHREAD t = StartHolder(&h);
    KeWaitForSingleObject(&h.Acquired, Executive, KernelMode, FALSE, nullptr);
    KeSetEvent(&h.Release, 0, FALSE);
    EXPECT_FALSE(h.Released);
    EXPECT_TRUE(m.Lock()); // blocks until the holder has run and released
    EXPECT_TRUE(h.Released);
    EXPECT_TRUE(m.Unlock());
    Join(t);
}

TEST(SyncMutex, TryLockPairsWithNonPagedUnlockAtDispatch)
{
    CSyncMutex m;
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_TRUE(m.TryLock());
    EXPECT_TRUE(m.UnlockNonPaged());
    KeLowerIrql(old);
}

TEST(SyncMutex, PagedLockAtDispatchIsReported)
{
    CSyncMutex m;
    EmuExpectFailures f;
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_TRUE(m.TryLock());
    m.Unlock();
    KeLowerIrql(old);
    EXPECT_TRUE(f.Contains("pageable routine"));
}
