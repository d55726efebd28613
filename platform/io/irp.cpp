// IRPs: allocation, the call down a device stack, the completion walk back up,
// cancellation, and the requests the I/O manager builds for drivers.
#include "platform/io/io_internal.h"
#include "platform/kernel/emu.h"

namespace
{
const ULONG IRP_TAG = POOL_TAG("Irp ");
const ULONG SYSTEM_BUFFER_TAG = POOL_TAG("IoBf");

// The next IRP a driver asks for fails while an injection says so; an
// allocated IRP has no control code yet (0).
bool DriverIrpFails(ULONG ioControlCode)
{
    IoDriverIrps& irps = Io().DriverIrps;
    return irps.Inject.Active() && (irps.InjectCode == 0 || irps.InjectCode == ioControlCode) &&
           irps.Inject.Fails();
}

bool CheckIrp(PIRP irp, const char* what)
{
    if (irp == nullptr || irp->EmuMagic != IRP_MAGIC || irp->Type != IO_TYPE_IRP)
    {
        EmuReportFailure("%s on %p, which is not an IRP", what, (void*)irp);
        return false;
    }
    return true;
}

// A threaded request of IoBuildDeviceIoControlRequest ends here: the output
// goes back to the caller's buffer, the status block and the event are set.
void FinishThreaded(PIRP irp)
{
    ULONG outputLength = (ULONG)(ULONG_PTR)irp->Overlay.AsynchronousParameters.UserApcContext;
    if ((irp->Flags & IRP_BUFFERED_IO) != 0 && (irp->Flags & IRP_INPUT_OPERATION) != 0 &&
        !NT_ERROR(irp->IoStatus.Status) && irp->UserBuffer != nullptr)
    {
        ULONG_PTR n = irp->IoStatus.Information;
        if (n > outputLength)
        {
            EmuReportFailure("IRP %p returned %llu bytes for an output buffer of %u", (void*)irp,
                             (unsigned long long)n, outputLength);
            n = outputLength;
        }
        if (n != 0)
            memcpy(irp->UserBuffer, irp->AssociatedIrp.SystemBuffer, n);
    }
    if ((irp->Flags & IRP_DEALLOCATE_BUFFER) != 0 && irp->AssociatedIrp.SystemBuffer != nullptr)
        ExFreePoolWithTag(irp->AssociatedIrp.SystemBuffer, SYSTEM_BUFFER_TAG);
    irp->AssociatedIrp.SystemBuffer = nullptr;
    while (irp->MdlAddress != nullptr)
    {
        PMDL next = irp->MdlAddress->Next;
        IoFreeMdl(irp->MdlAddress);
        irp->MdlAddress = next;
    }
    if (irp->UserIosb != nullptr)
        *irp->UserIosb = irp->IoStatus;
    PKEVENT event = irp->UserEvent;
    IoFreeIrpInternal(irp);
    if (event != nullptr)
        KeSetEvent(event, IO_NO_INCREMENT, FALSE);
}

void FinishRequest(PIRP irp)
{
    switch (irp->EmuKind)
    {
    case IoIrpThreaded:
        FinishThreaded(irp);
        break;
    case IoIrpEmuRequest:
    {
        auto* request =
            static_cast<EmuIoRequest*>(irp->Overlay.AsynchronousParameters.UserApcContext);
        if (request != nullptr)
            request->OnComplete(irp);
        else
        {
            // Its sender went away (already reported); only the IRP is left.
            if (irp->AssociatedIrp.SystemBuffer != nullptr)
                ExFreePoolWithTag(irp->AssociatedIrp.SystemBuffer, SYSTEM_BUFFER_TAG);
            while (irp->MdlAddress != nullptr)
            {
                PMDL next = irp->MdlAddress->Next;
                IoFreeMdl(irp->MdlAddress);
                irp->MdlAddress = next;
            }
            IoFreeIrpInternal(irp);
        }
        break;
    }
    default:
        EmuReportFailure("IRP %p, allocated by a driver, completed past its last completion "
                         "routine (no routine returned STATUS_MORE_PROCESSING_REQUIRED)",
                         (void*)irp);
        break;
    }
}
} // namespace

void IoInitializeIrp(PIRP irp, USHORT packetSize, CCHAR stackSize)
{
    if (stackSize < 1 || packetSize < IoSizeOfIrp(stackSize))
    {
        EmuReportFailure("IoInitializeIrp: %u bytes do not hold an IRP of %d stack locations",
                         packetSize, stackSize);
        return;
    }
    memset(irp, 0, packetSize);
    irp->Type = IO_TYPE_IRP;
    irp->Size = packetSize;
    irp->StackCount = stackSize;
    irp->CurrentLocation = (CHAR)(stackSize + 1);
    InitializeListHead(&irp->ThreadListEntry);
    irp->Tail.Overlay.CurrentStackLocation =
        reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + (UCHAR)stackSize;
    irp->EmuRequestorProcess = PsGetCurrentProcess();
    irp->EmuKind = IoIrpDriver;
    irp->EmuMagic = IRP_MAGIC;
}

PIRP IoAllocateSystemIrp(CCHAR stackSize, BOOLEAN chargeQuota)
{
    if (stackSize < 1)
        return nullptr;
    USHORT size = IoSizeOfIrp(stackSize);
    auto irp = static_cast<PIRP>(ExAllocatePoolWithTag(NonPagedPoolNx, size, IRP_TAG));
    if (irp == nullptr)
        return nullptr;
    IoInitializeIrp(irp, size, stackSize);
    irp->AllocationFlags = IRP_ALLOCATED_FIXED_SIZE | (chargeQuota ? IRP_QUOTA_CHARGED : 0);
    return irp;
}

PIRP IoAllocateIrp(CCHAR stackSize, BOOLEAN chargeQuota)
{
    if (stackSize < 1 || DriverIrpFails(0))
        return nullptr;
    PIRP irp = IoAllocateSystemIrp(stackSize, chargeQuota);
    if (irp != nullptr)
        Io().DriverIrps.Built++;
    return irp;
}

void IoReuseIrp(PIRP irp, NTSTATUS status)
{
    if (!CheckIrp(irp, "IoReuseIrp"))
        return;
    if (irp->EmuSentFrom != 0)
        EmuReportFailure("IoReuseIrp on IRP %p while a driver still holds it", (void*)irp);
    if (irp->CancelRoutine != nullptr)
        EmuReportFailure("IoReuseIrp on IRP %p with a cancel routine set", (void*)irp);
    UCHAR flags = irp->AllocationFlags;
    ULONG kind = irp->EmuKind;
    IoInitializeIrp(irp, irp->Size, irp->StackCount);
    irp->AllocationFlags = flags;
    irp->EmuKind = kind;
    irp->IoStatus.Status = status;
}

void IoFreeIrpInternal(PIRP irp)
{
    irp->EmuMagic = 0;
    ExFreePoolWithTag(irp, IRP_TAG);
}

void IoFreeIrp(PIRP irp)
{
    if (!CheckIrp(irp, "IoFreeIrp"))
        return;
    ULONG tag = 0;
    if ((irp->AllocationFlags & IRP_ALLOCATED_FIXED_SIZE) == 0 ||
        !EmuPoolIsBlock(irp, nullptr, &tag) || tag != IRP_TAG)
    {
        EmuReportFailure("IoFreeIrp on IRP %p that IoAllocateIrp did not allocate", (void*)irp);
        return;
    }
    if (irp->EmuSentFrom != 0)
    {
        EmuReportFailure("IoFreeIrp on IRP %p while a driver still holds it", (void*)irp);
        return;
    }
    if (irp->CancelRoutine != nullptr)
        EmuReportFailure("IoFreeIrp on IRP %p with a cancel routine set", (void*)irp);
    IoFreeIrpInternal(irp);
}

NTSTATUS IofCallDriver(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    if (!CheckIrp(irp, "IoCallDriver"))
        return STATUS_INVALID_PARAMETER;
    if (KeGetCurrentIrql() > DISPATCH_LEVEL)
        EmuReportFailure("IoCallDriver at IRQL %d", KeGetCurrentIrql());
    if (!IoIsDevice(deviceObject))
    {
        EmuReportFailure("IoCallDriver to %p, which is not a device object", (void*)deviceObject);
        return STATUS_INVALID_PARAMETER;
    }
    if (irp->CurrentLocation <= 1)
    {
        EmuReportFailure("IoCallDriver: IRP %p has no stack location left for device %p",
                         (void*)irp, (void*)deviceObject);
        return STATUS_INVALID_PARAMETER;
    }
    if (irp->CurrentLocation - 1 < deviceObject->StackSize)
        EmuReportFailure("IoCallDriver: IRP %p with %d stack location(s) left sent to device %p, "
                         "whose stack needs %d",
                         (void*)irp, irp->CurrentLocation - 1, (void*)deviceObject,
                         deviceObject->StackSize);
    if (irp->EmuSentFrom == 0)
        irp->EmuSentFrom = irp->CurrentLocation;
    IoSetNextIrpStackLocation(irp);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    stack->DeviceObject = deviceObject;
    if (stack->MajorFunction > IRP_MJ_MAXIMUM_FUNCTION)
    {
        EmuReportFailure("IoCallDriver: IRP %p with major function 0x%x", (void*)irp,
                         stack->MajorFunction);
        return STATUS_INVALID_PARAMETER;
    }
    PDRIVER_DISPATCH dispatch = deviceObject->DriverObject->MajorFunction[stack->MajorFunction];
    return dispatch(deviceObject, irp);
}

void IofCompleteRequest(PIRP irp, CCHAR)
{
    if (!CheckIrp(irp, "IoCompleteRequest"))
        return;
    if (KeGetCurrentIrql() > DISPATCH_LEVEL)
        EmuReportFailure("IoCompleteRequest at IRQL %d", KeGetCurrentIrql());
    if (irp->CurrentLocation > irp->StackCount)
    {
        EmuReportFailure("IoCompleteRequest on IRP %p that no driver holds (completed twice?)",
                         (void*)irp);
        return;
    }
    if (irp->IoStatus.Status == STATUS_PENDING)
        EmuReportFailure("IoCompleteRequest on IRP %p with STATUS_PENDING", (void*)irp);
    if (irp->CancelRoutine != nullptr)
        EmuReportFailure("IoCompleteRequest on IRP %p with a cancel routine still set", (void*)irp);

    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    for (IoSkipCurrentIrpStackLocation(irp); irp->CurrentLocation <= irp->StackCount + 1;
         ++stack, IoSkipCurrentIrpStackLocation(irp))
    {
        irp->PendingReturned = (stack->Control & SL_PENDING_RETURNED) != 0;
        NTSTATUS status = irp->IoStatus.Status;
        bool invoke = (NT_SUCCESS(status) && (stack->Control & SL_INVOKE_ON_SUCCESS) != 0) ||
                      (!NT_SUCCESS(status) && (stack->Control & SL_INVOKE_ON_ERROR) != 0) ||
                      (irp->Cancel && (stack->Control & SL_INVOKE_ON_CANCEL) != 0);
        if (irp->CurrentLocation >= irp->EmuSentFrom)
            irp->EmuSentFrom = 0; // back with its sender
        PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
        PVOID context = stack->Context;
        stack->Control = 0;
        stack->CompletionRoutine = nullptr;
        stack->Context = nullptr;
        if (invoke && routine != nullptr)
        {
            PDEVICE_OBJECT device = irp->CurrentLocation == irp->StackCount + 1
                                        ? nullptr
                                        : IoGetCurrentIrpStackLocation(irp)->DeviceObject;
            if (routine(device, irp, context) == STATUS_MORE_PROCESSING_REQUIRED)
                return;
        }
        else if (irp->PendingReturned && irp->CurrentLocation <= irp->StackCount)
        {
            IoMarkIrpPending(irp);
        }
    }
    // Past the top: the I/O manager's own part.
    irp->CurrentLocation = (CHAR)(irp->StackCount + 2); // marks it completed
    FinishRequest(irp);
}

NTSTATUS IoSetCompletionRoutineEx(PDEVICE_OBJECT deviceObject, PIRP irp,
                                  PIO_COMPLETION_ROUTINE routine, PVOID context,
                                  BOOLEAN invokeOnSuccess, BOOLEAN invokeOnError,
                                  BOOLEAN invokeOnCancel)
{
    if (!IoIsDevice(deviceObject))
        EmuReportFailure("IoSetCompletionRoutineEx with %p, which is not a device object",
                         (void*)deviceObject);
    IoSetCompletionRoutine(irp, routine, context, invokeOnSuccess, invokeOnError, invokeOnCancel);
    return STATUS_SUCCESS;
}

void IoAcquireCancelSpinLock(PKIRQL irql)
{
    KeAcquireSpinLock(&Io().CancelLock, irql);
}
void IoReleaseCancelSpinLock(KIRQL irql)
{
    KeReleaseSpinLock(&Io().CancelLock, irql);
}

BOOLEAN IoCancelIrp(PIRP irp)
{
    if (!CheckIrp(irp, "IoCancelIrp"))
        return FALSE;
    if (irp->CurrentLocation > irp->StackCount + 1)
    {
        EmuReportFailure("IoCancelIrp on IRP %p that has already completed", (void*)irp);
        return FALSE;
    }
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    irp->Cancel = TRUE;
    PDRIVER_CANCEL routine = IoSetCancelRoutine(irp, nullptr);
    if (routine == nullptr)
    {
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    irp->CancelIrql = irql;
    PDEVICE_OBJECT device = irp->CurrentLocation <= irp->StackCount
                                ? IoGetCurrentIrpStackLocation(irp)->DeviceObject
                                : nullptr;
    // The cancel routine releases the cancel spin lock.
    routine(device, irp);
    return TRUE;
}

BOOLEAN IoIs32bitProcess(PIRP irp)
{
    if (irp == nullptr)
        return EmuProcessIs32Bit(PsGetCurrentProcess());
    if (!CheckIrp(irp, "IoIs32bitProcess"))
        return FALSE;
    return irp->RequestorMode == UserMode && irp->EmuRequestorProcess != nullptr &&
           EmuProcessIs32Bit(irp->EmuRequestorProcess);
}

PIRP IoBuildDeviceIoControlRequest(ULONG ioControlCode, PDEVICE_OBJECT deviceObject,
                                   PVOID inputBuffer, ULONG inputBufferLength, PVOID outputBuffer,
                                   ULONG outputBufferLength, BOOLEAN internalDeviceIoControl,
                                   PKEVENT event, PIO_STATUS_BLOCK ioStatusBlock)
{
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        EmuReportFailure("IoBuildDeviceIoControlRequest at IRQL %d", KeGetCurrentIrql());
    if (!IoIsDevice(deviceObject))
    {
        EmuReportFailure("IoBuildDeviceIoControlRequest for %p, which is not a device object",
                         (void*)deviceObject);
        return nullptr;
    }
    // Only a driver asks the driver below it for an internal device control;
    // a device control stands for a client's call.
    const bool driverAsks = internalDeviceIoControl != FALSE;
    if (driverAsks && DriverIrpFails(ioControlCode))
        return nullptr;
    PIRP irp = IoAllocateSystemIrp(deviceObject->StackSize, FALSE);
    if (irp == nullptr)
        return nullptr;
    if (driverAsks)
        Io().DriverIrps.Built++;
    irp->EmuKind = IoIrpThreaded;
    irp->RequestorMode = KernelMode;
    irp->UserIosb = ioStatusBlock;
    irp->UserEvent = event;
    irp->Tail.Overlay.Thread = PsGetCurrentThread();
    irp->Overlay.AsynchronousParameters.UserApcContext = (PVOID)(ULONG_PTR)outputBufferLength;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction =
        internalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    stack->Parameters.DeviceIoControl.IoControlCode = ioControlCode;
    stack->Parameters.DeviceIoControl.InputBufferLength = inputBufferLength;
    stack->Parameters.DeviceIoControl.OutputBufferLength = outputBufferLength;

    switch (METHOD_FROM_CTL_CODE(ioControlCode))
    {
    case METHOD_BUFFERED:
    {
        ULONG size =
            inputBufferLength > outputBufferLength ? inputBufferLength : outputBufferLength;
        if (size != 0)
        {
            PVOID buffer = ExAllocatePoolWithTag(NonPagedPoolNx, size, SYSTEM_BUFFER_TAG);
            if (buffer == nullptr)
            {
                IoFreeIrpInternal(irp);
                return nullptr;
            }
            if (inputBuffer != nullptr && inputBufferLength != 0)
                memcpy(buffer, inputBuffer, inputBufferLength);
            irp->AssociatedIrp.SystemBuffer = buffer;
            irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
            if (outputBuffer != nullptr && outputBufferLength != 0)
                irp->Flags |= IRP_INPUT_OPERATION;
        }
        irp->UserBuffer = outputBuffer;
        break;
    }
    case METHOD_IN_DIRECT:
    case METHOD_OUT_DIRECT:
        if (inputBuffer != nullptr && inputBufferLength != 0)
        {
            PVOID buffer =
                ExAllocatePoolWithTag(NonPagedPoolNx, inputBufferLength, SYSTEM_BUFFER_TAG);
            if (buffer == nullptr)
            {
                IoFreeIrpInternal(irp);
                return nullptr;
            }
            memcpy(buffer, inputBuffer, inputBufferLength);
            irp->AssociatedIrp.SystemBuffer = buffer;
            irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
        }
        if (outputBuffer != nullptr && outputBufferLength != 0)
        {
            PMDL mdl = IoAllocateMdl(outputBuffer, outputBufferLength, FALSE, FALSE, irp);
            if (mdl == nullptr)
            {
                if (irp->AssociatedIrp.SystemBuffer != nullptr)
                    ExFreePoolWithTag(irp->AssociatedIrp.SystemBuffer, SYSTEM_BUFFER_TAG);
                IoFreeIrpInternal(irp);
                return nullptr;
            }
            mdl->MdlFlags |= MDL_PAGES_LOCKED; // probed and locked for the caller
        }
        break;
    default:
        stack->Parameters.DeviceIoControl.Type3InputBuffer = inputBuffer;
        irp->UserBuffer = outputBuffer;
        break;
    }
    return irp;
}

// ----------------------------------------------------------------------------
// Requests the emulation itself sends and waits for (PnP, power)

namespace
{
struct SyncWait
{
    KEVENT Done;
    bool Abandoned = false;
};

NTSTATUS SyncComplete(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    auto* wait = static_cast<SyncWait*>(context);
    if (wait->Abandoned)
    {
        delete wait;
        IoFreeIrpInternal(irp);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    KeSetEvent(&wait->Done, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}
} // namespace

PIRP IoAllocateSyncIrp(PDEVICE_OBJECT top)
{
    PIRP irp = IoAllocateSystemIrp((CCHAR)(top->StackSize + 1), FALSE);
    if (irp == nullptr)
        return nullptr;
    IoSetNextIrpStackLocation(irp); // the sender's own location
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->RequestorMode = KernelMode;
    irp->Tail.Overlay.Thread = PsGetCurrentThread();
    return irp;
}

NTSTATUS IoSendAndWait(PDEVICE_OBJECT top, PIRP irp, ULONGLONG maxMs, ULONG_PTR* information)
{
    auto* wait = new SyncWait;
    KeInitializeEvent(&wait->Done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, SyncComplete, wait, TRUE, TRUE, TRUE);
    UCHAR major = IoGetNextIrpStackLocation(irp)->MajorFunction;
    UCHAR minor = IoGetNextIrpStackLocation(irp)->MinorFunction;
    IoCallDriver(top, irp);
    LARGE_INTEGER timeout;
    timeout.QuadPart = -(LONGLONG)maxMs * 10000;
    if (KeWaitForSingleObject(&wait->Done, Executive, KernelMode, FALSE, &timeout) ==
        STATUS_TIMEOUT)
    {
        EmuReportFailure("request 0x%02x/0x%02x to device %p not completed within %llu ms", major,
                         minor, (void*)top, (unsigned long long)maxMs);
        wait->Abandoned = true;
        return STATUS_PENDING;
    }
    delete wait;
    NTSTATUS status = irp->IoStatus.Status;
    if (information != nullptr)
        *information = irp->IoStatus.Information;
    IoFreeIrpInternal(irp);
    return status;
}

// ----------------------------------------------------------------------------
// Failures of the drivers' IRPs

void EmuIoInjectDriverIrpFailure(ULONG skip, ULONG count, ULONG ioControlCode)
{
    Io().DriverIrps.InjectCode = ioControlCode;
    Io().DriverIrps.Inject.Arm(skip, count);
}

void EmuIoClearDriverIrpInjection()
{
    Io().DriverIrps.Inject.Clear();
}

unsigned long long EmuIoDriverIrpCount()
{
    return Io().DriverIrps.Built;
}
