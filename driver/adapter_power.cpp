// The adapter's power handling and USB selective suspend: power-state
// changes with the ASIO streaming they stop and restart, the ASIO stop
// request kept while the device sleeps, the idle timer with its DPC and work
// item, the USB idle-notification request, the idle callback that puts the
// device into D2, and the wake that every dispatched request runs first.
//
// The idle request is shared by its completion routine and by a wake that
// cancels it: both exchange the request field under the idle lock and hold
// one reference each, and the last one frees the request.
#include "driver/adapter_common.h"
#include "framework/stream_engine.h"

namespace
{
// The power requests' completion context.
struct PowerRequestBlock
{
    CAdapterCommon* Adapter;
    PKEVENT Done;
};
static_assert(sizeof(PowerRequestBlock) == 16, "the power request block is 16 bytes");

// The idle work item's context.
struct IdleWorkBlock
{
    PIO_WORKITEM WorkItem;
    CAdapterCommon* Adapter;
};
static_assert(sizeof(IdleWorkBlock) == 16, "the idle work block is 16 bytes");

// Each wait of a wake lasts at most this long (100 ns units).
constexpr LONGLONG c_WakeWait100ns = 5000000;
constexpr LONG c_IdleRequestReferences = 2;
// Where the kept stop request keeps its adapter while the driver holds it.
constexpr ULONG c_HeldStopAdapterSlot = 0;

POWER_STATE DeviceState(DEVICE_POWER_STATE state)
{
    POWER_STATE power;
    power.DeviceState = state;
    return power;
}

// The request is the removal or the surprise removal of the device.
bool IsRemovalRequest(PIRP request)
{
    PIO_STACK_LOCATION stack = request != nullptr ? IoGetCurrentIrpStackLocation(request) : nullptr;
    return stack != nullptr && stack->MajorFunction == IRP_MJ_PNP &&
           (stack->MinorFunction == IRP_MN_REMOVE_DEVICE ||
            stack->MinorFunction == IRP_MN_SURPRISE_REMOVAL);
}
} // namespace

// ----------------------------------------------------------------------------
// Power-state changes

void CAdapterCommon::PowerChangeState(POWER_STATE newState)
{
    PAGED_CODE();
    const ULONG state = (ULONG)newState.DeviceState;
    if (state == m_PowerState)
        return;
    m_AsioLock.Lock();
    if (state == PowerDeviceD0)
    {
        if (m_DevicePower != nullptr)
            m_DevicePower->PowerChangeState(newState);
        if (!m_TimerResolutionHeld)
            ExSetTimerResolution(ADAPTER_TIMER_RESOLUTION, TRUE);
        m_TimerResolutionHeld = TRUE;
        m_Asio.PowerUp();
    }
    else
    {
        // A device that is gone takes no power change.
        if (!ResetPortIfNeeded() && m_DevicePower != nullptr)
            m_DevicePower->PowerChangeState(newState);
        m_Asio.PowerDown();
        // Released once, whatever states the device goes through outside D0.
        if (m_TimerResolutionHeld)
            ExSetTimerResolution(0, FALSE);
        m_TimerResolutionHeld = FALSE;
    }
    m_PowerState = state;
    m_AsioLock.Unlock();

    // The stop operation takes the ASIO lock itself.
    if (state == PowerDeviceD0)
    {
        PIRP request = TakeHeldStopRequest(nullptr);
        if (request != nullptr)
        {
            PFILE_OBJECT fileObject = IoGetCurrentIrpStackLocation(request)->FileObject;
            NTSTATUS status = AsioStopStreaming(fileObject, request);
            // Pending again: the device left D0 meanwhile and the request is kept anew.
            if (status != STATUS_PENDING)
                PcCompleteIrp(m_DeviceObject, request, status);
        }
    }
}

// ----------------------------------------------------------------------------
// The kept ASIO stop request. Its field is guarded by the cancel spin lock,
// under which the I/O manager also calls the cancel routine: a request seen
// in the field under that lock has not been cancelled yet.

NTSTATUS CAdapterCommon::HoldAsioStopRequest(PIRP request)
{
    if (request == nullptr)
        return STATUS_INVALID_PARAMETER;
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    if (m_AsioHeldStopRequest != nullptr || m_DeviceGoing)
    {
        IoReleaseCancelSpinLock(irql);
        return m_DeviceGoing ? STATUS_DEVICE_REMOVED : STATUS_INVALID_PARAMETER;
    }
    request->Tail.Overlay.DriverContext[c_HeldStopAdapterSlot] = this;
    request->IoStatus.Status = STATUS_PENDING;
    request->IoStatus.Information = 0;
    IoMarkIrpPending(request);
    IoSetCancelRoutine(request, CancelHeldStopRequest);
    if (request->Cancel && IoSetCancelRoutine(request, nullptr) != nullptr)
    {
        // Cancelled before it could be kept.
        IoReleaseCancelSpinLock(irql);
        request->IoStatus.Status = STATUS_CANCELLED;
        IoCompleteRequest(request, IO_NO_INCREMENT);
        return STATUS_PENDING;
    }
    m_AsioHeldStopRequest = request;
    IoReleaseCancelSpinLock(irql);
    return STATUS_PENDING;
}

PIRP CAdapterCommon::TakeHeldStopRequest(PFILE_OBJECT fileObject)
{
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    PIRP request = m_AsioHeldStopRequest;
    if (request != nullptr && fileObject != nullptr &&
        IoGetCurrentIrpStackLocation(request)->FileObject != fileObject)
        request = nullptr;
    if (request != nullptr)
    {
        m_AsioHeldStopRequest = nullptr;
        if (IoSetCancelRoutine(request, nullptr) == nullptr)
            request = nullptr; // its cancel routine has it
    }
    IoReleaseCancelSpinLock(irql);
    return request;
}

void CAdapterCommon::CancelAsioStopRequest(PFILE_OBJECT fileObject)
{
    PIRP request = TakeHeldStopRequest(fileObject);
    if (request == nullptr)
        return;
    request->IoStatus.Status = STATUS_CANCELLED;
    request->IoStatus.Information = 0;
    IoCompleteRequest(request, IO_NO_INCREMENT);
}

void CAdapterCommon::CancelAllHeldRequests()
{
    MarkDeviceGoing();
    CancelAsioStopRequest(nullptr);
}

void CAdapterCommon::MarkDeviceGoing()
{
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    m_DeviceGoing = TRUE;
    IoReleaseCancelSpinLock(irql);
    const ULONG engines = GetEngineCount();
    for (ULONG i = 0; i < engines; ++i)
    {
        CStreamEngine* engine = nullptr;
        if (NT_SUCCESS(GetEngine(i, &engine)) && engine != nullptr)
            engine->CloseInstallation();
    }
}

void CAdapterCommon::CancelHeldStopRequest(PDEVICE_OBJECT, PIRP irp)
{
    auto adapter =
        static_cast<CAdapterCommon*>(irp->Tail.Overlay.DriverContext[c_HeldStopAdapterSlot]);
    if (adapter->m_AsioHeldStopRequest == irp)
        adapter->m_AsioHeldStopRequest = nullptr;
    IoReleaseCancelSpinLock(irp->CancelIrql);
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

// ----------------------------------------------------------------------------
// The idle timer and its work item

void CAdapterCommon::ArmIdleTimer()
{
    LARGE_INTEGER due;
    due.QuadPart = -IDLE_TIMER_DUE_100NS;
    KeSetTimerEx(&m_IdleTimer, due, IDLE_TIMER_PERIOD_MS, &m_IdleDpc);
}

bool CAdapterCommon::IsDeviceIdle() const
{
    return m_BusyCount == ADAPTER_BUSY_IDLE && m_ActiveStreamCount == 0;
}

void CAdapterCommon::IdleTimerDpc(PKDPC, PVOID context, PVOID, PVOID)
{
    auto adapter = static_cast<CAdapterCommon*>(context);
    auto block = static_cast<IdleWorkBlock*>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(IdleWorkBlock), USB_IO_POOL_TAG));
    if (block == nullptr)
        return;
    // One work item at a time, and none once teardown has begun.
    KeAcquireSpinLockAtDpcLevel(&adapter->m_IdleLock);
    const bool skip = adapter->m_IdleStopping || adapter->m_IdleWorkQueued;
    if (!skip)
    {
        adapter->m_IdleWorkQueued = TRUE;
        KeClearEvent(&adapter->m_WorkFinishedEvent);
    }
    KeReleaseSpinLockFromDpcLevel(&adapter->m_IdleLock);
    if (skip)
    {
        ExFreePoolWithTag(block, USB_IO_POOL_TAG);
        return;
    }
    block->Adapter = adapter;
    block->WorkItem =
        adapter->IsDeviceIdle() ? IoAllocateWorkItem(adapter->m_DeviceObject) : nullptr;
    if (block->WorkItem != nullptr)
    {
        IoQueueWorkItem(block->WorkItem, IdleWorkItem, DelayedWorkQueue, block);
        return;
    }
    ExFreePoolWithTag(block, USB_IO_POOL_TAG);
    KeAcquireSpinLockAtDpcLevel(&adapter->m_IdleLock);
    adapter->m_IdleWorkQueued = FALSE;
    KeSetEvent(&adapter->m_WorkFinishedEvent, IO_NO_INCREMENT, FALSE);
    KeReleaseSpinLockFromDpcLevel(&adapter->m_IdleLock);
}

void CAdapterCommon::IdleWorkItem(PDEVICE_OBJECT, PVOID context)
{
    PAGED_CODE();
    auto block = static_cast<IdleWorkBlock*>(context);
    CAdapterCommon* adapter = block->Adapter;
    IoFreeWorkItem(block->WorkItem);
    ExFreePoolWithTag(block, USB_IO_POOL_TAG);
    if (adapter->IsDeviceIdle() && !adapter->m_IdleStopping)
        adapter->SubmitNotifyIrp(); // a refusal waits for the next expiry
    KIRQL irql;
    KeAcquireSpinLock(&adapter->m_IdleLock, &irql);
    adapter->m_IdleWorkQueued = FALSE;
    KeSetEvent(&adapter->m_WorkFinishedEvent, IO_NO_INCREMENT, FALSE);
    KeReleaseSpinLock(&adapter->m_IdleLock, irql);
}

// ----------------------------------------------------------------------------
// The idle-notification request

NTSTATUS CAdapterCommon::SubmitNotifyIrp()
{
    if (m_PowerState != PowerDeviceD0)
        return STATUS_POWER_STATE_INVALID;
    KIRQL irql;
    KeAcquireSpinLock(&m_IdleLock, &irql);
    if (InterlockedExchange(&m_IdleOutstanding, 1) == 1)
    {
        KeReleaseSpinLock(&m_IdleLock, irql);
        return STATUS_DEVICE_BUSY;
    }
    KeClearEvent(&m_IdleFinishedEvent);
    auto info = static_cast<PUSB_IDLE_CALLBACK_INFO>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(USB_IDLE_CALLBACK_INFO), USB_IO_POOL_TAG));
    PIRP request = m_NextDeviceObject != nullptr
                       ? IoAllocateIrp((CCHAR)(m_NextDeviceObject->StackSize + 1), FALSE)
                       : nullptr;
    if (info == nullptr || request == nullptr)
    {
        KeSetEvent(&m_IdleFinishedEvent, IO_NO_INCREMENT, FALSE);
        InterlockedExchange(&m_IdleOutstanding, 0);
        KeReleaseSpinLock(&m_IdleLock, irql);
        if (info != nullptr)
            ExFreePoolWithTag(info, USB_IO_POOL_TAG);
        if (request != nullptr)
            IoFreeIrp(request);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    info->IdleCallback = IdleCallback;
    info->IdleContext = this;
    // The top location is the adapter's own; the completion routine sits in
    // the lower driver's below it.
    IoSetNextIrpStackLocation(request);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(request);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION;
    next->Parameters.DeviceIoControl.Type3InputBuffer = info;
    next->Parameters.DeviceIoControl.InputBufferLength = sizeof(USB_IDLE_CALLBACK_INFO);
    IoSetCompletionRoutine(request, IdleNotificationCompletion, this, TRUE, TRUE, TRUE);
    m_IdleCallbackInfo = info;
    m_IdleRequest = request;
    InterlockedExchange(&m_IdleRequestReferences, c_IdleRequestReferences);
    KeReleaseSpinLock(&m_IdleLock, irql);

    if (IsDeviceIdle() && m_PowerState == PowerDeviceD0 && !m_IdleStopping)
    {
        if (m_SelectiveSuspendEnabled != 0)
            KeCancelTimer(&m_IdleTimer);
        return IoCallDriver(m_NextDeviceObject, request);
    }

    // The device became busy meanwhile: nothing is sent.
    KeAcquireSpinLock(&m_IdleLock, &irql);
    info = m_IdleCallbackInfo;
    m_IdleCallbackInfo = nullptr;
    PIRP own = static_cast<PIRP>(
        InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&m_IdleRequest), nullptr));
    InterlockedExchange(&m_IdleOutstanding, 0);
    KeReleaseSpinLock(&m_IdleLock, irql);
    ExFreePoolWithTag(info, USB_IO_POOL_TAG);
    if (own != nullptr)
    {
        IoFreeIrp(own);
        KeSetEvent(&m_IdleFinishedEvent, IO_NO_INCREMENT, FALSE);
    }
    else
        DropIdleRequestReference(request); // a wake took it and is cancelling it
    return STATUS_UNSUCCESSFUL;
}

void CAdapterCommon::DropIdleRequestReference(PIRP request)
{
    if (InterlockedDecrement(&m_IdleRequestReferences) == 0)
    {
        IoFreeIrp(request);
        KeSetEvent(&m_IdleFinishedEvent, IO_NO_INCREMENT, FALSE);
    }
}

NTSTATUS CAdapterCommon::IdleNotificationCompletion(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    auto adapter = static_cast<CAdapterCommon*>(context);
    const NTSTATUS status = irp->IoStatus.Status;
    // A request that ended while the device sleeps brings the device back,
    // unless the device is going: a power-up would then run beside its
    // removal. The event is cleared under the lock, so that a wake that marks
    // the device going after this either sees it cleared or stops the power-up.
    KIRQL irql;
    KeAcquireSpinLock(&adapter->m_IdleLock, &irql);
    const bool powerUp = !NT_SUCCESS(status) && status != STATUS_NOT_SUPPORTED &&
                         adapter->m_PowerState != PowerDeviceD0 && !adapter->m_IdleStopping &&
                         !adapter->m_DeviceGoing;
    if (powerUp)
        KeClearEvent(&adapter->m_WakeFinishedEvent);
    KeReleaseSpinLock(&adapter->m_IdleLock, irql);
    if (powerUp && !NT_SUCCESS(PoRequestPowerIrp(adapter->m_PhysicalDeviceObject, IRP_MN_SET_POWER,
                                                 DeviceState(PowerDeviceD0), PowerRequestSetEvent,
                                                 adapter, nullptr)))
        KeSetEvent(&adapter->m_WakeFinishedEvent, IO_NO_INCREMENT, FALSE);

    KeAcquireSpinLock(&adapter->m_IdleLock, &irql);
    PUSB_IDLE_CALLBACK_INFO info = adapter->m_IdleCallbackInfo;
    adapter->m_IdleCallbackInfo = nullptr;
    PIRP own = static_cast<PIRP>(InterlockedExchangePointer(
        reinterpret_cast<PVOID volatile*>(&adapter->m_IdleRequest), nullptr));
    InterlockedExchange(&adapter->m_IdleOutstanding, 0);
    // Re-armed before the request is let go: once it is, teardown may go on.
    if (!adapter->m_IdleStopping)
        adapter->ArmIdleTimer();
    KeReleaseSpinLock(&adapter->m_IdleLock, irql);

    if (info != nullptr)
        ExFreePoolWithTag(info, USB_IO_POOL_TAG);
    if (own != nullptr)
    {
        IoFreeIrp(own);
        KeSetEvent(&adapter->m_IdleFinishedEvent, IO_NO_INCREMENT, FALSE);
    }
    else
        adapter->DropIdleRequestReference(irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

void CAdapterCommon::CancelNotifyIrp(bool force)
{
    KIRQL irql;
    KeAcquireSpinLock(&m_IdleLock, &irql);
    PIRP request = nullptr;
    if (force || !IsDeviceIdle())
        request = static_cast<PIRP>(
            InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&m_IdleRequest), nullptr));
    KeReleaseSpinLock(&m_IdleLock, irql);
    if (request == nullptr)
        return;
    IoCancelIrp(request);
    DropIdleRequestReference(request);
}

// ----------------------------------------------------------------------------
// Suspend and wake

void CAdapterCommon::IdleCallback(PVOID context)
{
    PAGED_CODE();
    static_cast<CAdapterCommon*>(context)->RequestDevicePowerD2();
}

void CAdapterCommon::RequestDevicePowerD2()
{
    PAGED_CODE();
    auto block = static_cast<PowerRequestBlock*>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(PowerRequestBlock), USB_IO_POOL_TAG));
    if (block == nullptr)
        return;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    block->Adapter = this;
    block->Done = &done;
    NTSTATUS status =
        PoRequestPowerIrp(m_PhysicalDeviceObject, IRP_MN_SET_POWER, DeviceState(PowerDeviceD2),
                          PowerRequestDone, block, nullptr);
    if (status == STATUS_PENDING)
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    else if (!NT_SUCCESS(status))
        ExFreePoolWithTag(block, USB_IO_POOL_TAG);
}

void CAdapterCommon::PowerRequestDone(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context,
                                      PIO_STATUS_BLOCK)
{
    auto block = static_cast<PowerRequestBlock*>(context);
    PKEVENT done = block->Done;
    ExFreePoolWithTag(block, USB_IO_POOL_TAG);
    KeSetEvent(done, IO_NO_INCREMENT, FALSE);
}

void CAdapterCommon::PowerRequestSetEvent(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context,
                                          PIO_STATUS_BLOCK)
{
    KeSetEvent(&static_cast<CAdapterCommon*>(context)->m_WakeFinishedEvent, IO_NO_INCREMENT, FALSE);
}

NTSTATUS CAdapterCommon::WakeFromIdle(PIRP request)
{
    PAGED_CODE();
    // Removal must not overlap a power-up of the driver's own: the device is
    // marked going first, so that a power-up under way meets requests that
    // fail at once and engines that register nothing, and no new one starts.
    if (IsRemovalRequest(request))
        MarkDeviceGoing();
    InterlockedIncrement(&m_BusyCount);
    // An Init that failed early never set the idle machinery up.
    if (m_IdleInitialized)
    {
        CancelNotifyIrp();
        LARGE_INTEGER timeout;
        timeout.QuadPart = -c_WakeWait100ns;
        KeWaitForSingleObject(&m_IdleFinishedEvent, Executive, KernelMode, FALSE, &timeout);
        // Once the device is going the power-up under way is waited out: it
        // holds references to the adapter that the removal is about to drop.
        timeout.QuadPart = -c_WakeWait100ns;
        KeWaitForSingleObject(&m_WakeFinishedEvent, Executive, KernelMode, FALSE,
                              m_DeviceGoing ? nullptr : &timeout);
    }
    InterlockedDecrement(&m_BusyCount);
    return STATUS_SUCCESS;
}

// ----------------------------------------------------------------------------
// Teardown

void CAdapterCommon::StopIdleMachinery()
{
    PAGED_CODE();
    // Whatever the device does now, a kept stop request is answered.
    CancelAsioStopRequest(nullptr);
    if (!m_IdleInitialized)
        return;
    KIRQL irql;
    KeAcquireSpinLock(&m_IdleLock, &irql);
    m_IdleStopping = TRUE;
    KeReleaseSpinLock(&m_IdleLock, irql);
    KeCancelTimer(&m_IdleTimer);
    KeFlushQueuedDpcs();
    KeWaitForSingleObject(&m_WorkFinishedEvent, Executive, KernelMode, FALSE, nullptr);
    // An idle request still outstanding is taken back, idle or not.
    CancelNotifyIrp(true);
    KeWaitForSingleObject(&m_IdleFinishedEvent, Executive, KernelMode, FALSE, nullptr);
    KeWaitForSingleObject(&m_WakeFinishedEvent, Executive, KernelMode, FALSE, nullptr);
    // A completion that ran before the mark may have armed the timer again.
    KeCancelTimer(&m_IdleTimer);
    KeFlushQueuedDpcs();
}
