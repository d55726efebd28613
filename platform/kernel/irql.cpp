// IRQL and spin locks of the one emulated processor.
#include "platform/kernel/emu_internal.h"

namespace
{
KIRQL& Irql()
{
    return EmuIrql();
}
} // namespace
// ---------------------------------------------------------------------------
// IRQL

KIRQL KeGetCurrentIrql()
{
    return Irql();
}

void KeRaiseIrql(KIRQL newIrql, PKIRQL oldIrql)
{
    if (newIrql < Irql())
        EmuReportFailure("KeRaiseIrql to %d from higher IRQL %d", newIrql, Irql());
    *oldIrql = Irql();
    Irql() = newIrql;
}

KIRQL KeRaiseIrqlToDpcLevel()
{
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    return old;
}

void KeLowerIrql(KIRQL newIrql)
{
    if (newIrql > Irql())
        EmuReportFailure("KeLowerIrql to %d from lower IRQL %d", newIrql, Irql());
    Irql() = newIrql;
    if (newIrql < DISPATCH_LEVEL)
        EmuRunDpcs();
}

void EmuPagedCode(const char* function)
{
    if (Irql() > APC_LEVEL)
        EmuReportFailure("pageable routine %s runs at IRQL %d", function, Irql());
}

// ---------------------------------------------------------------------------
// Spin locks. On one processor a lock can only be found held by its own
// thread (re-entry) or by a thread that gave the processor up while holding it;
// both are deadlocks on the real machine.

namespace
{
ULONG_PTR LockOwnerValue()
{
    return reinterpret_cast<ULONG_PTR>(EmuSelf()) | 1;
}

void TakeLock(PKSPIN_LOCK lock)
{
    ULONG_PTR me = LockOwnerValue();
    ULONG_PTR held = __atomic_load_n(lock, __ATOMIC_ACQUIRE);
    if (held == me)
        EmuReportFailure("spin lock %p acquired again by its owner", (void*)lock);
    else if (held != 0)
        EmuReportFailure("spin lock %p held by a thread that is not running", (void*)lock);
    __atomic_store_n(lock, me, __ATOMIC_RELEASE);
}

void DropLock(PKSPIN_LOCK lock)
{
    ULONG_PTR held = __atomic_load_n(lock, __ATOMIC_ACQUIRE);
    if (held != LockOwnerValue())
        EmuReportFailure("spin lock %p released by a thread that does not hold it", (void*)lock);
    __atomic_store_n(lock, (ULONG_PTR)0, __ATOMIC_RELEASE);
}
} // namespace

void KeInitializeSpinLock(PKSPIN_LOCK lock)
{
    *lock = 0;
}

void KeAcquireSpinLock(PKSPIN_LOCK lock, PKIRQL oldIrql)
{
    if (Irql() > DISPATCH_LEVEL)
        EmuReportFailure("KeAcquireSpinLock at IRQL %d", Irql());
    KIRQL old = Irql();
    Irql() = DISPATCH_LEVEL;
    TakeLock(lock);
    *oldIrql = old;
}

KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK lock)
{
    KIRQL old;
    KeAcquireSpinLock(lock, &old);
    return old;
}

void KeReleaseSpinLock(PKSPIN_LOCK lock, KIRQL newIrql)
{
    if (Irql() != DISPATCH_LEVEL)
        EmuReportFailure("KeReleaseSpinLock at IRQL %d", Irql());
    DropLock(lock);
    KeLowerIrql(newIrql);
}

void KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK lock)
{
    if (Irql() < DISPATCH_LEVEL)
        EmuReportFailure("KeAcquireSpinLockAtDpcLevel at IRQL %d", Irql());
    TakeLock(lock);
}

void KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK lock)
{
    if (Irql() < DISPATCH_LEVEL)
        EmuReportFailure("KeReleaseSpinLockFromDpcLevel at IRQL %d", Irql());
    DropLock(lock);
}
