// One emulated processor: threads, IRQL, dispatcher objects and waits,
// timers, DPCs and the clock.
#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

#include "platform/kernel/emu_hooks.h"
#include "platform/kernel/emu_internal.h"

namespace
{
EmuKernel g_Kernel;
thread_local EmuThread* t_Self = nullptr;
thread_local unsigned long long t_Generation = ~0ull;
thread_local KIRQL t_Irql = PASSIVE_LEVEL;

long long RealNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

EmuThread* NewThread(bool boot)
{
    EmuKernel& k = g_Kernel;
    auto t = std::make_unique<EmuThread>();
    t->Boot = boot;
    t->Process = &g_EmuSystemProcess;
    auto* kt = new KTHREAD{};
    kt->Header.Type = ThreadObject;
    kt->Header.SignalState = 0;
    InitializeListHead(&kt->Header.WaitListHead);
    kt->Emu = t.get();
    kt->Priority = 8;
    kt->Id = k.NextThreadId;
    k.NextThreadId += 4;
    t->K = kt;
    EmuThread* raw = t.get();
    k.Threads.push_back(std::move(t));
    return raw;
}

// Gives the processor to `next` and returns when it is this thread's again.
void SwitchTo(EmuThread* self, EmuThread* next)
{
    EmuKernel& k = g_Kernel;
    if (next == self)
        return;
    std::unique_lock<std::mutex> lk(k.Lock);
    k.Current = next;
    next->Cv.notify_one();
    unsigned long long gen = k.Generation;
    self->Cv.wait(lk, [&] { return k.Current == self && k.Generation == gen; });
}

bool IsSignalled(DISPATCHER_HEADER* h, EmuThread* t)
{
    if (h->Type == MutantObject)
    {
        auto* m = reinterpret_cast<PKMUTEX>(h);
        return h->SignalState > 0 || m->OwnerThread == t->K;
    }
    return h->SignalState > 0;
}

void Consume(DISPATCHER_HEADER* h, EmuThread* t)
{
    switch (h->Type)
    {
    case EventSynchronizationObject:
    case TimerSynchronizationObject:
        h->SignalState = 0;
        break;
    case SemaphoreObject:
        h->SignalState--;
        break;
    case MutantObject:
    {
        auto* m = reinterpret_cast<PKMUTEX>(h);
        if (m->OwnerThread != t->K)
        {
            m->OwnerThread = t->K;
            t->MutexesHeld++;
        }
        h->SignalState--;
        break;
    }
    default:
        break;
    }
}

bool TrySatisfy(EmuThread* t, ULONG count, PVOID* objects, WAIT_TYPE type, NTSTATUS* result)
{
    if (type == WaitAny)
    {
        for (ULONG i = 0; i < count; ++i)
        {
            auto* h = static_cast<DISPATCHER_HEADER*>(objects[i]);
            if (IsSignalled(h, t))
            {
                Consume(h, t);
                *result = STATUS_WAIT_0 + (NTSTATUS)i;
                return true;
            }
        }
        return false;
    }
    for (ULONG i = 0; i < count; ++i)
        if (!IsSignalled(static_cast<DISPATCHER_HEADER*>(objects[i]), t))
            return false;
    for (ULONG i = 0; i < count; ++i)
        Consume(static_cast<DISPATCHER_HEADER*>(objects[i]), t);
    *result = STATUS_WAIT_0;
    return true;
}

void MakeReady(EmuThread* t, NTSTATUS result)
{
    EmuKernel& k = g_Kernel;
    t->Blocked = false;
    t->Result = result;
    k.Blocked.erase(std::find(k.Blocked.begin(), k.Blocked.end(), t));
    k.Ready.push_back(t);
}

LONGLONG NextDeadline()
{
    EmuKernel& k = g_Kernel;
    LONGLONG next = -1;
    for (auto& a : k.Timers)
        if (next < 0 || a.Due < next)
            next = a.Due;
    for (EmuThread* t : k.Blocked)
        if (t->Deadline >= 0 && (next < 0 || t->Deadline < next))
            next = t->Deadline;
    return next;
}

void FireTimer(size_t index)
{
    EmuKernel& k = g_Kernel;
    EmuArmedTimer a = k.Timers[index];
    k.Timers.erase(k.Timers.begin() + (ptrdiff_t)index);
    PKTIMER timer = a.Timer;
    timer->Header.Inserted = 0;
    timer->Header.SignalState = 1;
    if (timer->Period != 0)
    {
        LONGLONG due = a.Due + (LONGLONG)timer->Period * 10000;
        timer->DueTime.QuadPart = (ULONGLONG)due;
        timer->Header.Inserted = 1;
        k.Timers.push_back({timer, due, ++k.Seq});
    }
    EmuWakeWaiters();
    if (timer->Dpc != nullptr)
    {
        LONGLONG sys = EMU_BOOT_SYSTEM_TIME + a.Due;
        PKDPC dpc = timer->Dpc;
        if (dpc->DpcData == nullptr)
        {
            dpc->SystemArgument1 = (PVOID)(ULONG_PTR)(ULONG)(sys & 0xFFFFFFFF);
            dpc->SystemArgument2 = (PVOID)(ULONG_PTR)(ULONG)((ULONGLONG)sys >> 32);
            dpc->DpcData = dpc;
            k.Dpcs.push_back(dpc);
        }
    }
}

// Fires every timer and ends every wait that is due at `now`, earliest first.
void FireDue(LONGLONG now)
{
    EmuKernel& k = g_Kernel;
    for (;;)
    {
        size_t best = SIZE_MAX;
        for (size_t i = 0; i < k.Timers.size(); ++i)
        {
            const auto& a = k.Timers[i];
            if (a.Due > now)
                continue;
            if (best == SIZE_MAX || a.Due < k.Timers[best].Due ||
                (a.Due == k.Timers[best].Due && a.Seq < k.Timers[best].Seq))
                best = i;
        }
        if (best == SIZE_MAX)
            break;
        FireTimer(best);
    }
    std::vector<EmuThread*> expired;
    for (EmuThread* t : k.Blocked)
        if (t->Deadline >= 0 && t->Deadline <= now)
            expired.push_back(t);
    for (EmuThread* t : expired)
        MakeReady(t, t->Delay ? STATUS_SUCCESS : STATUS_TIMEOUT);
    EmuRunDpcs();
}

void SetNow(LONGLONG t)
{
    EmuKernel& k = g_Kernel;
    if (k.Mode == EmuClockMode::Virtual)
    {
        if (t > k.VirtualNow)
            k.VirtualNow = t;
        return;
    }
    LONGLONG now = EmuInterruptTime();
    if (t > now)
        std::this_thread::sleep_for(std::chrono::nanoseconds((t - now) * 100));
}

// Runs other threads until `self` is given the processor back. `self` is
// either blocked (in k.Blocked) or queued in k.Ready.
void Schedule(EmuThread* self)
{
    EmuKernel& k = g_Kernel;
    for (;;)
    {
        EmuRunDpcs();
        if (k.Mode == EmuClockMode::Real)
            FireDue(EmuInterruptTime());
        if (!k.Ready.empty())
        {
            EmuThread* next = k.Ready.front();
            k.Ready.pop_front();
            SwitchTo(self, next);
            return;
        }
        LONGLONG deadline = NextDeadline();
        if (deadline < 0)
        {
            EmuReportFailure("deadlock: every emulated thread waits and no timer is armed");
            if (self->Blocked)
                MakeReady(self, STATUS_UNSUCCESSFUL);
            continue;
        }
        SetNow(deadline);
        FireDue(k.Mode == EmuClockMode::Virtual ? deadline : EmuInterruptTime());
    }
}

void ExitCurrentThread()
{
    EmuKernel& k = g_Kernel;
    EmuThread* self = EmuSelf();
    if (t_Irql != PASSIVE_LEVEL)
        EmuReportFailure("system thread exits at IRQL %d", t_Irql);
    if (self->MutexesHeld != 0)
        EmuReportFailure("system thread exits holding %u mutex(es)", self->MutexesHeld);
    self->Terminated = true;
    PKTHREAD kt = self->K;
    kt->Header.SignalState = 1;
    EmuWakeWaiters();
    ObDereferenceObject(kt); // the thread's own reference
    unsigned long long gen = k.Generation;
    // Find the next thread to run; this one never runs again.
    for (;;)
    {
        EmuRunDpcs();
        if (k.Mode == EmuClockMode::Real)
            FireDue(EmuInterruptTime());
        if (!k.Ready.empty())
            break;
        LONGLONG deadline = NextDeadline();
        if (deadline < 0)
        {
            EmuReportFailure("deadlock: a thread exits while every other thread waits forever");
            return;
        }
        SetNow(deadline);
        FireDue(k.Mode == EmuClockMode::Virtual ? deadline : EmuInterruptTime());
    }
    EmuThread* next = k.Ready.front();
    k.Ready.pop_front();
    std::lock_guard<std::mutex> lk(k.Lock);
    if (k.Generation == gen)
    {
        k.Current = next;
        next->Cv.notify_one();
    }
}

void* ThreadMain(void* arg)
{
    EmuKernel& k = g_Kernel;
    auto* self = static_cast<EmuThread*>(arg);
    unsigned long long gen;
    {
        std::unique_lock<std::mutex> lk(k.Lock);
        gen = k.Generation;
        self->Cv.wait(lk, [&] { return k.Current == self && k.Generation == gen; });
    }
    t_Self = self;
    t_Generation = gen;
    t_Irql = PASSIVE_LEVEL;
    self->Start(self->Context);
    ExitCurrentThread();
    return nullptr;
}

LONGLONG DeadlineFromTimeout(PLARGE_INTEGER timeout)
{
    if (timeout == nullptr)
        return -1;
    LONGLONG now = EmuInterruptTime();
    if (timeout->QuadPart < 0)
        return now - timeout->QuadPart;
    LONGLONG due = timeout->QuadPart - EMU_BOOT_SYSTEM_TIME;
    return due < now ? now : due;
}

NTSTATUS WaitCore(ULONG count, PVOID* objects, WAIT_TYPE type, PLARGE_INTEGER timeout)
{
    EmuThread* self = EmuSelf();
    KIRQL irql = t_Irql;
    bool poll = timeout != nullptr && timeout->QuadPart == 0;
    if (irql > DISPATCH_LEVEL || (irql == DISPATCH_LEVEL && !poll))
    {
        EmuReportFailure("wait at IRQL %d %s", irql, poll ? "" : "with a non-zero time-out");
        poll = true;
    }
    if (count == 0 || count > MAXIMUM_WAIT_OBJECTS)
    {
        EmuReportFailure("wait on %u objects", count);
        return STATUS_INVALID_PARAMETER;
    }
    for (ULONG i = 0; i < count; ++i)
        if (objects[i] == nullptr)
        {
            EmuReportFailure("wait on a null object");
            return STATUS_INVALID_PARAMETER;
        }
    NTSTATUS result;
    if (TrySatisfy(self, count, objects, type, &result))
        return result;
    if (poll)
        return STATUS_TIMEOUT;
    self->Blocked = true;
    self->Delay = false;
    self->Count = count;
    std::copy(objects, objects + count, self->Objects);
    self->Type = type;
    self->Deadline = DeadlineFromTimeout(timeout);
    g_Kernel.Blocked.push_back(self);
    Schedule(self);
    return self->Result;
}

void CheckTimerIrql(const char* what)
{
    if (t_Irql > DISPATCH_LEVEL)
        EmuReportFailure("%s at IRQL %d", what, t_Irql);
}
} // namespace

EmuKernel& EmuK()
{
    return g_Kernel;
}

EmuThread* EmuSelf()
{
    EmuKernel& k = g_Kernel;
    if (t_Self != nullptr && t_Generation == k.Generation)
        return t_Self;
    if (k.Current == nullptr)
    {
        EmuThread* boot = NewThread(true);
        EmuObRegisterThreadObject(boot->K);
        k.Current = boot;
        t_Self = boot;
        t_Generation = k.Generation;
        t_Irql = PASSIVE_LEVEL;
        return boot;
    }
    EmuReportFailure("kernel called from a thread the emulator does not run");
    return k.Current;
}

KIRQL& EmuIrql()
{
    return t_Irql;
}

LONGLONG EmuInterruptTime()
{
    EmuKernel& k = g_Kernel;
    if (k.Mode == EmuClockMode::Virtual)
        return k.VirtualNow;
    return (RealNs() - k.RealBaseNs) / 100;
}

void EmuWakeWaiters()
{
    EmuKernel& k = g_Kernel;
    std::vector<EmuThread*> blocked = k.Blocked;
    for (EmuThread* t : blocked)
    {
        if (t->Delay)
            continue;
        NTSTATUS result;
        if (TrySatisfy(t, t->Count, t->Objects, t->Type, &result))
            MakeReady(t, result);
    }
}

void EmuRunDpcs()
{
    EmuKernel& k = g_Kernel;
    if (k.InDpc || k.Dpcs.empty())
        return;
    k.InDpc = true;
    KIRQL old = t_Irql;
    while (!k.Dpcs.empty())
    {
        PKDPC dpc = k.Dpcs.front();
        k.Dpcs.pop_front();
        dpc->DpcData = nullptr;
        t_Irql = DISPATCH_LEVEL;
        dpc->DeferredRoutine(dpc, dpc->DeferredContext, dpc->SystemArgument1, dpc->SystemArgument2);
        if (t_Irql != DISPATCH_LEVEL)
            EmuReportFailure("DPC returned at IRQL %d", t_Irql);
    }
    t_Irql = old;
    k.InDpc = false;
}

std::string EmuDescribeObjectsIn(const void* start, SIZE_T size)
{
    EmuKernel& k = g_Kernel;
    auto inside = [&](const void* p)
    {
        auto a = reinterpret_cast<uintptr_t>(p);
        auto s = reinterpret_cast<uintptr_t>(start);
        return a >= s && a < s + size;
    };
    std::string what;
    for (auto& a : k.Timers)
        if (inside(a.Timer))
            what += " armed timer";
    for (PKDPC d : k.Dpcs)
        if (inside(d))
            what += " queued DPC";
    for (EmuThread* t : k.Blocked)
        for (ULONG i = 0; i < t->Count; ++i)
            if (!t->Delay && inside(t->Objects[i]))
                what += " object a thread waits on";
    return what;
}

// ---------------------------------------------------------------------------
// Reset and test controls

namespace
{
void ResetAll(EmuClockMode mode)
{
    EmuKernel& k = g_Kernel;
    {
        std::lock_guard<std::mutex> lk(k.Lock);
        k.Generation++;
        k.Current = nullptr;
    }
    // Threads of the old generation stay parked forever; their records are
    // kept so a parked thread never wakes on freed memory.
    for (auto& t : k.Threads)
        if (!t->Terminated && !t->Boot)
            t.release();
    k.Threads.clear();
    k.Ready.clear();
    k.Blocked.clear();
    k.Timers.clear();
    k.Dpcs.clear();
    k.InDpc = false;
    k.Mode = mode;
    k.VirtualNow = 0;
    k.RealBaseNs = RealNs();
    k.Seq = 0;
    k.NextThreadId = 4;
    t_Irql = PASSIVE_LEVEL;
    EmuObReset();
    EmuCallbackReset();
    EmuProcessNotifyReset();
    EmuPoolReset();
    EmuDbgReset();
    EmuVersionReset();
    EmuRunResetHooks();
}
} // namespace

void EmuReset(EmuClockMode mode)
{
    ResetAll(mode);
    EmuSelf();
}

void EmuShutdown()
{
    ResetAll(EmuClockMode::Virtual);
}

EmuClockMode EmuGetClockMode()
{
    return g_Kernel.Mode;
}

ULONGLONG EmuNow()
{
    return (ULONGLONG)EmuInterruptTime();
}

void EmuRunUntilIdle()
{
    EmuKernel& k = g_Kernel;
    EmuThread* self = EmuSelf();
    for (;;)
    {
        EmuRunDpcs();
        if (k.Mode == EmuClockMode::Real)
            FireDue(EmuInterruptTime());
        if (k.Ready.empty())
            return;
        k.Ready.push_back(self);
        Schedule(self);
    }
}

void EmuAdvanceTime(ULONGLONG ticks)
{
    EmuKernel& k = g_Kernel;
    LONGLONG target = EmuInterruptTime() + (LONGLONG)ticks;
    for (;;)
    {
        EmuRunUntilIdle();
        LONGLONG next = NextDeadline();
        if (next < 0 || next > target)
            break;
        SetNow(next);
        FireDue(k.Mode == EmuClockMode::Virtual ? next : EmuInterruptTime());
    }
    SetNow(target);
    FireDue(EmuInterruptTime());
    EmuRunUntilIdle();
}

bool EmuAdvanceUntil(const std::function<bool()>& pred, ULONGLONG maxMs, ULONGLONG stepMs)
{
    EmuRunUntilIdle();
    for (ULONGLONG elapsed = 0; !pred(); elapsed += stepMs)
    {
        if (elapsed >= maxMs)
            return false;
        EmuAdvanceMs(stepMs);
    }
    return true;
}

ULONG EmuLiveThreadCount()
{
    ULONG n = 0;
    for (auto& t : g_Kernel.Threads)
        if (!t->Boot && !t->Terminated)
            ++n;
    return n;
}
ULONG EmuArmedTimerCount()
{
    return (ULONG)g_Kernel.Timers.size();
}
ULONG EmuQueuedDpcCount()
{
    return (ULONG)g_Kernel.Dpcs.size();
}
KPRIORITY EmuThreadPriority(PKTHREAD thread)
{
    return thread->Priority;
}

std::string EmuSchedulerLeaks(bool forget)
{
    EmuKernel& k = g_Kernel;
    std::string what;
    ULONG live = EmuLiveThreadCount();
    if (live != 0)
        what += " " + std::to_string(live) + " system thread(s) still running;";
    if (!k.Timers.empty())
        what += " " + std::to_string(k.Timers.size()) + " timer(s) still armed;";
    if (!k.Dpcs.empty())
        what += " " + std::to_string(k.Dpcs.size()) + " DPC(s) still queued;";
    if (t_Irql != PASSIVE_LEVEL)
        what += " test thread left at IRQL " + std::to_string(t_Irql) + ";";
    if (forget)
    {
        k.Timers.clear();
        k.Dpcs.clear();
        t_Irql = PASSIVE_LEVEL;
    }
    return what;
}

std::string EmuCheckClean(bool forget)
{
    std::string what = EmuRunLeakHooks(forget);
    what += EmuSchedulerLeaks(forget);
    what += EmuCallbackLeaks(forget);
    what += EmuProcessNotifyLeaks(forget);
    what += EmuObLeaks(forget);
    what += EmuPoolLeaks(forget);
    return what;
}

// ---------------------------------------------------------------------------
// Events, mutexes, semaphores, waits

void EmuInitDispatcherHeader(DISPATCHER_HEADER* h, UCHAR type, LONG state)
{
    h->Type = type;
    h->Signalling = 0;
    h->Size = 0;
    h->Inserted = 0;
    h->SignalState = state;
    InitializeListHead(&h->WaitListHead);
}

void KeInitializeEvent(PRKEVENT event, EVENT_TYPE type, BOOLEAN state)
{
    EmuInitDispatcherHeader(&event->Header,
                            type == NotificationEvent ? EventNotificationObject
                                                      : EventSynchronizationObject,
                            state ? 1 : 0);
}

LONG KeSetEvent(PRKEVENT event, KPRIORITY, BOOLEAN)
{
    CheckTimerIrql("KeSetEvent");
    LONG previous = event->Header.SignalState;
    event->Header.SignalState = 1;
    EmuWakeWaiters();
    return previous;
}

LONG KeResetEvent(PRKEVENT event)
{
    LONG previous = event->Header.SignalState;
    event->Header.SignalState = 0;
    return previous;
}

void KeClearEvent(PRKEVENT event)
{
    event->Header.SignalState = 0;
}
LONG KeReadStateEvent(PRKEVENT event)
{
    return event->Header.SignalState;
}

void KeInitializeMutex(PRKMUTEX mutex, ULONG)
{
    EmuInitDispatcherHeader(&mutex->Header, MutantObject, 1);
    InitializeListHead(&mutex->MutantListEntry);
    mutex->OwnerThread = nullptr;
    mutex->Abandoned = FALSE;
    mutex->ApcDisable = 1;
}

LONG KeReleaseMutex(PRKMUTEX mutex, BOOLEAN)
{
    EmuThread* self = EmuSelf();
    if (mutex->OwnerThread != self->K || mutex->Header.SignalState > 0)
    {
        EmuReportFailure("KeReleaseMutex on a mutex the thread does not own");
        return mutex->Header.SignalState;
    }
    LONG previous = mutex->Header.SignalState;
    mutex->Header.SignalState++;
    if (mutex->Header.SignalState == 1)
    {
        mutex->OwnerThread = nullptr;
        self->MutexesHeld--;
        EmuWakeWaiters();
    }
    return previous;
}

LONG KeReadStateMutex(PRKMUTEX mutex)
{
    return mutex->Header.SignalState;
}

void KeInitializeSemaphore(PRKSEMAPHORE semaphore, LONG count, LONG limit)
{
    EmuInitDispatcherHeader(&semaphore->Header, SemaphoreObject, count);
    semaphore->Limit = limit;
}

LONG KeReleaseSemaphore(PRKSEMAPHORE semaphore, KPRIORITY, LONG adjustment, BOOLEAN)
{
    LONG previous = semaphore->Header.SignalState;
    if (adjustment < 0 || previous + adjustment > semaphore->Limit)
    {
        EmuReportFailure("semaphore released past its limit");
        return previous;
    }
    semaphore->Header.SignalState += adjustment;
    EmuWakeWaiters();
    return previous;
}

NTSTATUS KeWaitForSingleObject(PVOID object, KWAIT_REASON, KPROCESSOR_MODE, BOOLEAN,
                               PLARGE_INTEGER timeout)
{
    return WaitCore(1, &object, WaitAny, timeout);
}

NTSTATUS KeWaitForMultipleObjects(ULONG count, PVOID object[], WAIT_TYPE waitType, KWAIT_REASON,
                                  KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER timeout,
                                  PKWAIT_BLOCK waitBlockArray)
{
    if (count > THREAD_WAIT_OBJECTS && waitBlockArray == nullptr)
        EmuReportFailure("KeWaitForMultipleObjects on %u objects without wait blocks", count);
    return WaitCore(count, object, waitType, timeout);
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER interval)
{
    EmuThread* self = EmuSelf();
    if (t_Irql > APC_LEVEL)
    {
        EmuReportFailure("KeDelayExecutionThread at IRQL %d", t_Irql);
        return STATUS_SUCCESS;
    }
    if (interval == nullptr)
    {
        EmuReportFailure("KeDelayExecutionThread without an interval");
        return STATUS_INVALID_PARAMETER;
    }
    if (interval->QuadPart == 0)
    {
        g_Kernel.Ready.push_back(self);
        Schedule(self);
        return STATUS_SUCCESS;
    }
    self->Blocked = true;
    self->Delay = true;
    self->Count = 0;
    self->Deadline = DeadlineFromTimeout(interval);
    g_Kernel.Blocked.push_back(self);
    Schedule(self);
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------
// Threads

NTSTATUS PsCreateSystemThread(PHANDLE threadHandle, ULONG desiredAccess, POBJECT_ATTRIBUTES, HANDLE,
                              PCLIENT_ID clientId, PKSTART_ROUTINE startRoutine, PVOID startContext)
{
    EmuPagedCode("PsCreateSystemThread");
    if (threadHandle == nullptr || startRoutine == nullptr)
        return STATUS_INVALID_PARAMETER;
    EmuThread* t = NewThread(false);
    t->Start = startRoutine;
    t->Context = startContext;
    EmuObRegisterThreadObject(t->K);
    ObReferenceObject(t->K); // held by the running thread until it exits
    NTSTATUS status = EmuObCreateHandle(t->K, desiredAccess ? desiredAccess : THREAD_ALL_ACCESS,
                                        KernelMode, threadHandle);
    ObDereferenceObject(t->K); // the handle holds the creator's reference now
    if (!NT_SUCCESS(status))
        return status;
    if (clientId != nullptr)
    {
        clientId->UniqueProcess = (HANDLE)(ULONG_PTR)4;
        clientId->UniqueThread = (HANDLE)(ULONG_PTR)t->K->Id;
    }
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t pt;
    int rc = pthread_create(&pt, &attr, ThreadMain, t);
    pthread_attr_destroy(&attr);
    if (rc != 0)
    {
        EmuReportFailure("host thread creation failed (%d)", rc);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    g_Kernel.Ready.push_back(t);
    return STATUS_SUCCESS;
}

NTSTATUS PsTerminateSystemThread(NTSTATUS)
{
    EmuThread* self = EmuSelf();
    if (self->Boot)
    {
        EmuReportFailure("PsTerminateSystemThread on a thread that is not a system thread");
        abort();
    }
    ExitCurrentThread();
    pthread_exit(nullptr);
}

PKTHREAD KeGetCurrentThread()
{
    return EmuSelf()->K;
}
HANDLE PsGetCurrentThreadId()
{
    return (HANDLE)(ULONG_PTR)EmuSelf()->K->Id;
}

KPRIORITY KeSetPriorityThread(PKTHREAD thread, KPRIORITY priority)
{
    KPRIORITY old = thread->Priority;
    if (priority < LOW_PRIORITY || priority > HIGH_PRIORITY)
        EmuReportFailure("KeSetPriorityThread to %d", priority);
    thread->Priority = priority;
    return old;
}

KPRIORITY KeQueryPriorityThread(PKTHREAD thread)
{
    return thread->Priority;
}

PEPROCESS PsGetCurrentProcess()
{
    return EmuSelf()->Process;
}
HANDLE PsGetCurrentProcessId()
{
    return (HANDLE)(ULONG_PTR)EmuSelf()->Process->Id;
}
void EmuAttachProcess(PEPROCESS process)
{
    EmuSelf()->Process = process != nullptr ? process : &g_EmuSystemProcess;
}

void KeStackAttachProcess(PRKPROCESS process, PRKAPC_STATE apcState)
{
    if (t_Irql > APC_LEVEL)
        EmuReportFailure("KeStackAttachProcess at IRQL %d", t_Irql);
    if (process != &g_EmuSystemProcess && !EmuObIsObject(process))
        EmuReportFailure("KeStackAttachProcess to %p, which is not a live process "
                         "(not referenced?)",
                         (void*)process);
    apcState->Process = EmuSelf()->Process;
    apcState->KernelApcInProgress = TRUE;
    EmuSelf()->Process = process;
}

void KeUnstackDetachProcess(PRKAPC_STATE apcState)
{
    if (t_Irql > APC_LEVEL)
        EmuReportFailure("KeUnstackDetachProcess at IRQL %d", t_Irql);
    if (apcState->KernelApcInProgress != TRUE || apcState->Process == nullptr)
    {
        EmuReportFailure("KeUnstackDetachProcess with a state no attach filled");
        return;
    }
    EmuSelf()->Process = apcState->Process;
    apcState->Process = nullptr;
    apcState->KernelApcInProgress = FALSE;
}
