// Work items on the system worker thread, and the system timer resolution.
#include "platform/io/io_internal.h"
#include "platform/kernel/emu.h"
#include "platform/kernel/emu_hooks.h"

namespace
{
const ULONG WORKITEM_TAG = POOL_TAG("IoWk");
const ULONG WORKITEM_MAGIC = 0x6b576f49;
const ULONG DEFAULT_RESOLUTION = 156250; // 15.625 ms
const ULONG MINIMUM_RESOLUTION = 5000;   // 0.5 ms
} // namespace

struct _IO_WORKITEM
{
    ULONG Magic;
    bool Queued;
    PDEVICE_OBJECT Device;
    PIO_WORKITEM_ROUTINE Routine;
    PVOID Context;
};

namespace
{
bool CheckWorkItem(PIO_WORKITEM item, const char* what)
{
    ULONG tag = 0;
    if (item == nullptr || !EmuPoolIsBlock(item, nullptr, &tag) || tag != WORKITEM_TAG ||
        item->Magic != WORKITEM_MAGIC)
    {
        EmuReportFailure("%s on %p, which is not a work item", what, (void*)item);
        return false;
    }
    return true;
}

void RunWorkItem(void* context)
{
    auto item = static_cast<PIO_WORKITEM>(context);
    PDEVICE_OBJECT device = item->Device;
    PIO_WORKITEM_ROUTINE routine = item->Routine;
    PVOID routineContext = item->Context;
    item->Queued = false; // the routine may queue or free it again
    routine(device, routineContext);
    ObDereferenceObject(device);
}
} // namespace

PIO_WORKITEM IoAllocateWorkItem(PDEVICE_OBJECT deviceObject)
{
    if (KeGetCurrentIrql() > DISPATCH_LEVEL)
        EmuReportFailure("IoAllocateWorkItem at IRQL %d", KeGetCurrentIrql());
    if (!IoIsDevice(deviceObject))
    {
        EmuReportFailure("IoAllocateWorkItem for %p, which is not a device object",
                         (void*)deviceObject);
        return nullptr;
    }
    auto item = static_cast<PIO_WORKITEM>(
        ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(IO_WORKITEM), WORKITEM_TAG));
    if (item == nullptr)
        return nullptr;
    *item = IO_WORKITEM{WORKITEM_MAGIC, false, deviceObject, nullptr, nullptr};
    return item;
}

void IoQueueWorkItem(PIO_WORKITEM ioWorkItem, PIO_WORKITEM_ROUTINE workerRoutine,
                     WORK_QUEUE_TYPE queueType, PVOID context)
{
    if (!CheckWorkItem(ioWorkItem, "IoQueueWorkItem"))
        return;
    if (workerRoutine == nullptr || queueType < CriticalWorkQueue || queueType >= MaximumWorkQueue)
    {
        EmuReportFailure("IoQueueWorkItem with no routine or queue type %d", (int)queueType);
        return;
    }
    if (ioWorkItem->Queued)
    {
        EmuReportFailure("IoQueueWorkItem on work item %p that is already queued",
                         (void*)ioWorkItem);
        return;
    }
    ioWorkItem->Queued = true;
    ioWorkItem->Routine = workerRoutine;
    ioWorkItem->Context = context;
    // The device stays while its work item waits or runs.
    ObReferenceObject(ioWorkItem->Device);
    EmuQueueSystemWork(RunWorkItem, ioWorkItem);
}

void IoFreeWorkItem(PIO_WORKITEM ioWorkItem)
{
    if (!CheckWorkItem(ioWorkItem, "IoFreeWorkItem"))
        return;
    if (ioWorkItem->Queued)
    {
        EmuReportFailure("IoFreeWorkItem on work item %p that is still queued", (void*)ioWorkItem);
        return;
    }
    ioWorkItem->Magic = 0;
    ExFreePoolWithTag(ioWorkItem, WORKITEM_TAG);
}

// ----------------------------------------------------------------------------
// Timer resolution

ULONG ExSetTimerResolution(ULONG desiredTime, BOOLEAN setResolution)
{
    IoState& io = Io();
    if (setResolution)
    {
        ULONG wanted = desiredTime < MINIMUM_RESOLUTION ? MINIMUM_RESOLUTION : desiredTime;
        if (wanted > DEFAULT_RESOLUTION)
            wanted = DEFAULT_RESOLUTION;
        if (io.TimerRequests == 0 || wanted < io.TimerDesired)
            io.TimerDesired = wanted;
        io.TimerRequests++;
    }
    else if (io.TimerRequests == 0)
    {
        // A release without a request leaves the resolution as it is.
        io.TimerUnmatched++;
    }
    else if (--io.TimerRequests == 0)
    {
        io.TimerDesired = 0;
    }
    return EmuCurrentTimerResolution();
}

ULONG EmuTimerResolutionRequests()
{
    return Io().TimerRequests;
}
ULONG EmuTimerResolutionReleasesUnmatched()
{
    return Io().TimerUnmatched;
}
ULONG EmuCurrentTimerResolution()
{
    IoState& io = Io();
    return io.TimerRequests != 0 ? io.TimerDesired : DEFAULT_RESOLUTION;
}
