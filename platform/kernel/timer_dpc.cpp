// The clock, DPCs and timers of the emulated processor.
#include <algorithm>
#include <chrono>
#include <thread>

#include "platform/kernel/emu_internal.h"

namespace
{
void CheckTimerIrql(const char* what)
{
    if (EmuIrql() > DISPATCH_LEVEL)
        EmuReportFailure("%s at IRQL %d", what, EmuIrql());
}
} // namespace
// ---------------------------------------------------------------------------
// Time

void KeQuerySystemTime(PLARGE_INTEGER currentTime)
{
    currentTime->QuadPart = EMU_BOOT_SYSTEM_TIME + EmuInterruptTime();
}

ULONGLONG KeQueryInterruptTime()
{
    return (ULONGLONG)EmuInterruptTime();
}

LARGE_INTEGER KeQueryPerformanceCounter(PLARGE_INTEGER performanceFrequency)
{
    if (performanceFrequency != nullptr)
        performanceFrequency->QuadPart = 10000000;
    LARGE_INTEGER v;
    v.QuadPart = EmuInterruptTime();
    return v;
}

void KeQueryTickCount(PLARGE_INTEGER tickCount)
{
    tickCount->QuadPart = EmuInterruptTime() / KeQueryTimeIncrement();
}

ULONG KeQueryTimeIncrement()
{
    return 156250;
}

void KeStallExecutionProcessor(ULONG microseconds)
{
    EmuKernel& k = EmuK();
    if (k.Mode == EmuClockMode::Virtual)
        k.VirtualNow += (LONGLONG)microseconds * 10;
    else
        std::this_thread::sleep_for(std::chrono::microseconds(microseconds));
}

// ---------------------------------------------------------------------------
// DPCs and timers

void KeInitializeDpc(PRKDPC dpc, PKDEFERRED_ROUTINE deferredRoutine, PVOID deferredContext)
{
    memset(dpc, 0, sizeof(*dpc));
    dpc->Type = 19;
    dpc->DeferredRoutine = deferredRoutine;
    dpc->DeferredContext = deferredContext;
}

BOOLEAN KeInsertQueueDpc(PRKDPC dpc, PVOID systemArgument1, PVOID systemArgument2)
{
    CheckTimerIrql("KeInsertQueueDpc");
    if (dpc->DpcData != nullptr)
        return FALSE;
    dpc->SystemArgument1 = systemArgument1;
    dpc->SystemArgument2 = systemArgument2;
    dpc->DpcData = dpc;
    EmuK().Dpcs.push_back(dpc);
    if (EmuIrql() < DISPATCH_LEVEL)
        EmuRunDpcs();
    return TRUE;
}

BOOLEAN KeRemoveQueueDpc(PRKDPC dpc)
{
    auto& q = EmuK().Dpcs;
    auto it = std::find(q.begin(), q.end(), dpc);
    if (it == q.end())
        return FALSE;
    q.erase(it);
    dpc->DpcData = nullptr;
    return TRUE;
}

void KeFlushQueuedDpcs()
{
    EmuPagedCode("KeFlushQueuedDpcs");
    EmuRunDpcs();
}

void KeInitializeTimer(PKTIMER timer)
{
    KeInitializeTimerEx(timer, NotificationTimer);
}

void KeInitializeTimerEx(PKTIMER timer, TIMER_TYPE type)
{
    EmuInitDispatcherHeader(
        &timer->Header,
        type == NotificationTimer ? TimerNotificationObject : TimerSynchronizationObject, 0);
    timer->DueTime.QuadPart = 0;
    InitializeListHead(&timer->TimerListEntry);
    timer->Dpc = nullptr;
    timer->Period = 0;
}

BOOLEAN KeSetTimer(PKTIMER timer, LARGE_INTEGER dueTime, PKDPC dpc)
{
    return KeSetTimerEx(timer, dueTime, 0, dpc);
}

BOOLEAN KeSetTimerEx(PKTIMER timer, LARGE_INTEGER dueTime, LONG period, PKDPC dpc)
{
    CheckTimerIrql("KeSetTimerEx");
    EmuKernel& k = EmuK();
    BOOLEAN wasArmed = KeCancelTimer(timer);
    if (period < 0)
    {
        EmuReportFailure("KeSetTimerEx with a negative period");
        period = 0;
    }
    LONGLONG now = EmuInterruptTime();
    LONGLONG due = dueTime.QuadPart < 0 ? now - dueTime.QuadPart
                                        : std::max(now, dueTime.QuadPart - EMU_BOOT_SYSTEM_TIME);
    timer->Header.SignalState = 0;
    timer->Header.Inserted = 1;
    timer->DueTime.QuadPart = (ULONGLONG)due;
    timer->Dpc = dpc;
    timer->Period = (ULONG)period;
    k.Timers.push_back({timer, due, ++k.Seq});
    return wasArmed;
}

BOOLEAN KeCancelTimer(PKTIMER timer)
{
    CheckTimerIrql("KeCancelTimer");
    auto& ts = EmuK().Timers;
    for (size_t i = 0; i < ts.size(); ++i)
        if (ts[i].Timer == timer)
        {
            ts.erase(ts.begin() + (ptrdiff_t)i);
            timer->Header.Inserted = 0;
            return TRUE;
        }
    return FALSE;
}

BOOLEAN KeReadStateTimer(PKTIMER timer)
{
    return timer->Header.SignalState > 0;
}
