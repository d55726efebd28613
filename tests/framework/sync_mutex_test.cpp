#include <gtest/gtest.h>

#include "framework/sync_mutex.h"
#include "platform/kernel/emu.h"

namespace
{
// A system thread that takes the lock (Lock or TryLock), reports, waits to be
// told to release, releases and ends.
struct Holder
{
    CSyncMutex* Lock;
    bool UseTry;
    BOOLEAN TryResult = FALSE;
    bool Released = false;
    KEVENT Acquired;
    KEVENT Release;
    PKTHREAD Thread = nullptr;

    Holder(CSyncMutex* lock, bool useTry) : Lock(lock), UseTry(useTry)
    {
        KeInitializeEvent(&Acquired, NotificationEvent, FALSE);
        KeInitializeEvent(&Release, NotificationEvent, FALSE);
        HANDLE handle = nullptr;
        EXPECT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                                       Routine, this),
                  STATUS_SUCCESS);
        PVOID thread = nullptr;
        EXPECT_EQ(ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode,
                                            &thread, nullptr),
                  STATUS_SUCCESS);
        ZwClose(handle);
        Thread = static_cast<PKTHREAD>(thread);
        KeWaitForSingleObject(&Acquired, Executive, KernelMode, FALSE, nullptr);
    }
    void Join()
    {
        KeSetEvent(&Release, 0, FALSE);
        KeWaitForSingleObject(Thread, Executive, KernelMode, FALSE, nullptr);
        ObDereferenceObject(Thread);
    }
    static void Routine(PVOID context)
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
};
} // namespace

TEST(SyncMutex, SixOperationsInTableOrder)
{
    CSyncMutex m;
    // Lock, no-op, Unlock, no-op, TryLock, UnlockNonPaged, called by place.
    using Op = BOOLEAN (*)(CSyncMutex*);
    Op* table = *reinterpret_cast<Op**>(&m);
    EXPECT_TRUE(table[0](&m));
    EXPECT_FALSE(table[1](&m));
    EXPECT_TRUE(table[2](&m));
    EXPECT_FALSE(table[3](&m));
    EXPECT_TRUE(table[4](&m));
    EXPECT_TRUE(table[5](&m));
    // The mutex is free again: nothing was left held by the no-ops.
    Holder h(&m, true);
    EXPECT_TRUE(h.TryResult);
    h.Join();
}

TEST(SyncMutex, OwnerReentersAndReleasesAsOftenAsAcquired)
{
    CSyncMutex m;
    EXPECT_TRUE(m.Lock());
    EXPECT_TRUE(m.Lock());
    EXPECT_TRUE(m.TryLock()); // the owner may take it again without waiting
    EXPECT_FALSE(m.Reserved1());
    EXPECT_FALSE(m.Reserved2());
    EXPECT_TRUE(m.UnlockNonPaged());
    EXPECT_TRUE(m.Unlock());
    {
        // Still held once: another thread's TryLock fails.
        Holder h(&m, true);
        EXPECT_FALSE(h.TryResult);
        h.Join();
    }
    EXPECT_TRUE(m.Unlock());
    Holder h(&m, true);
    EXPECT_TRUE(h.TryResult);
    h.Join();
}

TEST(SyncMutex, TryLockOnAMutexHeldElsewhereFailsAtOnce)
{
    CSyncMutex m;
    Holder h(&m, false);
    ULONGLONG before = EmuNow();
    EXPECT_FALSE(m.TryLock());
    // At DISPATCH_LEVEL too, where it must never wait.
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_FALSE(m.TryLock());
    KeLowerIrql(old);
    EXPECT_EQ(EmuNow(), before);
    h.Join();
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_TRUE(m.TryLock());
    EXPECT_TRUE(m.UnlockNonPaged());
    KeLowerIrql(old);
}

TEST(SyncMutex, LockWaitsForTheOwnerToRelease)
{
    CSyncMutex m;
    Holder h(&m, false);
    KeSetEvent(&h.Release, 0, FALSE);
    EXPECT_FALSE(h.Released);
    EXPECT_TRUE(m.Lock()); // blocks until the holder has run and released
    EXPECT_TRUE(h.Released);
    EXPECT_TRUE(m.Unlock());
    h.Join();
}

TEST(SyncMutex, PagedOperationsAtDispatchAreReported)
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
