// The system worker thread: deferred work at PASSIVE_LEVEL (the I/O manager's
// work items run here).
#include <deque>

#include "platform/kernel/emu_hooks.h"
#include "platform/kernel/emu_internal.h"

namespace
{
struct WorkEntry
{
    void (*Routine)(void*);
    void* Context;
};

struct WorkQueue
{
    std::deque<WorkEntry> Items;
    bool Started = false;
    bool Stop = false;
    bool Running = false;
    KEVENT Wake;
};
WorkQueue g_Work;

void WorkReset()
{
    // A worker of the old generation stays parked; it never touches this again.
    g_Work.Items.clear();
    g_Work.Started = false;
    g_Work.Stop = false;
    g_Work.Running = false;
    KeInitializeEvent(&g_Work.Wake, SynchronizationEvent, FALSE);
}

std::string WorkLeaks(bool forget)
{
    std::string what;
    if (!g_Work.Items.empty())
    {
        what += " " + std::to_string(g_Work.Items.size()) + " work item(s) never ran;";
        if (!forget)
            return what;
        g_Work.Items.clear();
    }
    if (g_Work.Running)
        return what + " a work item is still running;";
    if (g_Work.Started)
    {
        g_Work.Stop = true;
        KeSetEvent(&g_Work.Wake, 0, FALSE);
        EmuRunUntilIdle();
    }
    return what;
}

const EmuPlatformHooks g_WorkHooks = {"system worker", WorkReset, WorkLeaks};

void WorkerMain(void*)
{
    for (;;)
    {
        while (!g_Work.Items.empty())
        {
            WorkEntry e = g_Work.Items.front();
            g_Work.Items.pop_front();
            g_Work.Running = true;
            e.Routine(e.Context);
            g_Work.Running = false;
            if (KeGetCurrentIrql() != PASSIVE_LEVEL)
            {
                EmuReportFailure("work routine %p returned at IRQL %d", (void*)e.Routine,
                                 KeGetCurrentIrql());
                EmuIrql() = PASSIVE_LEVEL;
            }
        }
        if (g_Work.Stop)
            break;
        KeWaitForSingleObject(&g_Work.Wake, Executive, KernelMode, FALSE, nullptr);
    }
    g_Work.Started = false;
    g_Work.Stop = false;
}
} // namespace

void EmuQueueSystemWork(void (*routine)(void*), void* context)
{
    static bool registered = false;
    if (!registered)
    {
        registered = true;
        WorkReset();
        EmuRegisterPlatformHooks(&g_WorkHooks);
    }
    if (KeGetCurrentIrql() > DISPATCH_LEVEL)
    {
        EmuReportFailure("work queued at IRQL %d", KeGetCurrentIrql());
        return;
    }
    g_Work.Items.push_back({routine, context});
    if (!g_Work.Started)
    {
        // The worker belongs to the kernel; it may be started from a DPC.
        KIRQL saved = EmuIrql();
        EmuIrql() = PASSIVE_LEVEL;
        HANDLE thread = nullptr;
        NTSTATUS status =
            PsCreateSystemThread(&thread, 0, nullptr, nullptr, nullptr, WorkerMain, nullptr);
        EmuIrql() = saved;
        if (!NT_SUCCESS(status))
        {
            EmuReportFailure("system worker thread not created (0x%08X)", (unsigned)status);
            return;
        }
        ZwClose(thread);
        g_Work.Started = true;
        g_Work.Stop = false;
    }
    KeSetEvent(&g_Work.Wake, 0, FALSE);
}

ULONG EmuSystemWorkQueued()
{
    return (ULONG)g_Work.Items.size();
}
