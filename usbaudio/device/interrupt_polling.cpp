#include "usbaudio/device/interrupt_polling.h"

#include "platform/usb/usbdlib.h"

namespace
{
constexpr ULONG c_InterruptFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
// The IRP is the thread's own: it is reused, never completed further up.
constexpr NTSTATUS c_IrpUnused = STATUS_NOT_SUPPORTED;

enum : ULONG
{
    c_WaitStop = 0,
    c_WaitInterrupt = 1,
    c_WaitBulk = 2
};

template <typename T> T* AllocateZeroed(SIZE_T bytes)
{
    auto block = static_cast<T*>(ExAllocatePoolWithTag(NonPagedPool, bytes, POLLING_URB_POOL_TAG));
    if (block != nullptr)
        RtlZeroMemory(block, bytes);
    return block;
}

template <typename T> void FreeBlock(T*& block)
{
    if (block != nullptr)
        ExFreePoolWithTag(block, POLLING_URB_POOL_TAG);
    block = nullptr;
}
} // namespace

const PollingTraits UAC1_POLLING = {2, 24, TRUE, FALSE};
const PollingTraits UAC2_POLLING = {6, 16, FALSE, TRUE};

CInterruptPolling::CInterruptPolling()
    : m_Device(nullptr), m_Traits(&UAC1_POLLING), m_PipeInformation(nullptr),
      m_InterruptPipe(POLLING_NO_PIPE), m_BulkPipe(POLLING_NO_PIPE)
{
}

CInterruptPolling::~CInterruptPolling()
{
    Stop();
}

// ----------------------------------------------------------------------------
// Start and stop

NTSTATUS CInterruptPolling::Start(IPolledDevice* device, const PollingTraits& traits)
{
    PAGED_CODE();
    if (device == nullptr)
        return STATUS_INVALID_PARAMETER;
    if (m_Worker.IsRunning())
        return STATUS_SUCCESS; // polled already
    m_Device = device;
    m_Traits = &traits;
    PUSBDEVICEIO io = nullptr;
    NTSTATUS status = device->PollingIoObject()->QueryInterface(IID_IUsbDeviceIo, (PVOID*)&io);
    if (!NT_SUCCESS(status))
        return status;
    PUSB_CONFIGURATION_DESCRIPTOR configuration = io->GetConfigurationDescriptor();
    const UCHAR number = device->PolledInterface();
    PUSB_INTERFACE_DESCRIPTOR control =
        configuration == nullptr
            ? nullptr
            : USBD_ParseConfigurationDescriptorEx(configuration, configuration, number, 0,
                                                  USB_DEVICE_CLASS_AUDIO,
                                                  USB_AUDIO_SUBCLASS_AUDIOCONTROL, -1);
    const ULONG endpoints = control != nullptr ? control->bNumEndpoints : 0;
    if (endpoints != 0)
        status = SelectInterface(io, number, endpoints);
    io->Release();
    if (!NT_SUCCESS(status))
    {
        DbgPrint("UsbAudio: AudioControl interface %u: its %u endpoint(s) could not be selected "
                 "for polling: 0x%08X\n",
                 number, endpoints, (unsigned)status);
        return status;
    }
    FindPipes();
    if (m_InterruptPipe == POLLING_NO_PIPE)
        return STATUS_SUCCESS;
    status = m_Worker.Start(ThreadStart, this, m_Traits->Priority);
    if (!NT_SUCCESS(status))
    {
        DbgPrint("UsbAudio: AudioControl interface %u: the thread polling interrupt endpoint "
                 "0x%02X could not be started: 0x%08X\n",
                 number, m_PipeInformation->Pipes[m_InterruptPipe].EndpointAddress,
                 (unsigned)status);
        FreePipeInformation();
    }
    return status;
}

// The interface's pipes as the stack returns them for alternate setting 0;
// a copy is kept for the thread.
NTSTATUS CInterruptPolling::SelectInterface(PUSBDEVICEIO io, UCHAR interfaceNumber, ULONG endpoints)
{
    const ULONG size = GET_SELECT_INTERFACE_REQUEST_SIZE(endpoints);
    auto urb = AllocateZeroed<URB>(size);
    if (urb == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    UsbBuildSelectInterfaceRequest(urb, (USHORT)size, io->GetConfigurationHandle(), interfaceNumber,
                                   0);
    urb->UrbSelectInterface.Interface.NumberOfPipes = endpoints;
    NTSTATUS status = io->SubmitUrbSync(urb);
    const PUSBD_INTERFACE_INFORMATION returned = &urb->UrbSelectInterface.Interface;
    const ULONG room = size - (ULONG)offsetof(struct _URB_SELECT_INTERFACE, Interface);
    // The stack's record must fit what was asked for, pipes included.
    if (NT_SUCCESS(status) && (returned->Length > room || returned->NumberOfPipes > endpoints ||
                               returned->NumberOfPipes == 0))
        status = STATUS_UNSUCCESSFUL;
    if (NT_SUCCESS(status))
    {
        FreePipeInformation();
        m_PipeInformation = AllocateZeroed<USBD_INTERFACE_INFORMATION>(room);
        if (m_PipeInformation == nullptr)
            status = STATUS_INSUFFICIENT_RESOURCES;
        else
            RtlCopyMemory(m_PipeInformation, returned, room);
    }
    FreeBlock(urb);
    return status;
}

// The first IN interrupt pipe of the class's message size, and for class
// 2.0 the first IN bulk pipe; the search ends once both are known.
void CInterruptPolling::FindPipes()
{
    m_InterruptPipe = POLLING_NO_PIPE;
    m_BulkPipe = POLLING_NO_PIPE;
    const ULONG pipes = m_PipeInformation != nullptr ? m_PipeInformation->NumberOfPipes : 0;
    for (ULONG i = 0; i < pipes && i < POLLING_NO_PIPE; ++i)
    {
        const USBD_PIPE_INFORMATION& pipe = m_PipeInformation->Pipes[i];
        if (!USB_ENDPOINT_DIRECTION_IN(pipe.EndpointAddress))
            continue;
        if (pipe.PipeType == UsbdPipeTypeInterrupt && m_InterruptPipe == POLLING_NO_PIPE &&
            pipe.MaximumPacketSize == m_Traits->MessageBytes)
            m_InterruptPipe = (UCHAR)i;
        else if (pipe.PipeType == UsbdPipeTypeBulk && m_Traits->BulkRead &&
                 m_BulkPipe == POLLING_NO_PIPE)
            m_BulkPipe = (UCHAR)i;
        const bool bulkDone = !m_Traits->BulkRead || m_BulkPipe != POLLING_NO_PIPE;
        if (m_InterruptPipe != POLLING_NO_PIPE && bulkDone)
            break;
    }
}

void CInterruptPolling::Stop()
{
    PAGED_CODE();
    m_Worker.Stop();
    FreePipeInformation();
    m_InterruptPipe = POLLING_NO_PIPE;
    m_BulkPipe = POLLING_NO_PIPE;
}

void CInterruptPolling::FreePipeInformation()
{
    FreeBlock(m_PipeInformation);
}

// ----------------------------------------------------------------------------
// The thread

void CInterruptPolling::ThreadStart(PVOID context)
{
    auto self = static_cast<CInterruptPolling*>(context);
    PUSBDEVICEIO io = nullptr;
    if (NT_SUCCESS(
            self->m_Device->PollingIoObject()->QueryInterface(IID_IUsbDeviceIo, (PVOID*)&io)))
    {
        self->Poll(io);
        io->Release();
    }
}

void CInterruptPolling::Poll(PUSBDEVICEIO io)
{
    Read interrupt = {};
    Read bulk = {};
    const bool withBulk = m_BulkPipe != POLLING_NO_PIPE;
    bool ready = Prepare(io, interrupt, m_InterruptPipe, m_Traits->MessageBytes);
    if (ready && withBulk)
        ready = Prepare(io, bulk, m_BulkPipe, POLLING_BULK_READ_BYTES);
    if (ready && NT_SUCCESS(Send(io, interrupt)))
    {
        if (withBulk)
            Send(io, bulk);
        if (m_Traits->StartupNotifications)
            m_Device->NotifyEveryUnit();
        Serve(io, interrupt, bulk);
    }
    Finish(io, interrupt);
    Finish(io, bulk);
}

// Waits for the stop event or a completed read until the stop or a failed
// interrupt read; each status message goes to the device, then the read
// goes out again.
void CInterruptPolling::Serve(PUSBDEVICEIO io, Read& interrupt, Read& bulk)
{
    for (;;)
    {
        PVOID objects[3] = {m_Worker.StopEvent(), interrupt.Done, bulk.Done};
        const ULONG count = bulk.Out ? 3 : 2;
        const NTSTATUS woken = KeWaitForMultipleObjects(count, objects, WaitAny, Executive,
                                                        KernelMode, FALSE, nullptr, nullptr);
        if (woken == STATUS_WAIT_0 + c_WaitStop)
            return;
        if (woken == STATUS_WAIT_0 + c_WaitBulk)
        {
            bulk.Out = false;
            if (NT_SUCCESS(bulk.Irp->IoStatus.Status))
                Send(io, bulk); // re-armed; the data is not used
            continue;
        }
        if (woken != STATUS_WAIT_0 + c_WaitInterrupt)
            return;
        interrupt.Out = false;
        if (!NT_SUCCESS(interrupt.Irp->IoStatus.Status))
            return;
        m_Device->HandleStatusMessage(
            interrupt.Buffer, interrupt.Urb->UrbBulkOrInterruptTransfer.TransferBufferLength);
        if (!NT_SUCCESS(Send(io, interrupt)))
            return;
    }
}

bool CInterruptPolling::Prepare(PUSBDEVICEIO io, Read& read, UCHAR pipeIndex, ULONG bytes)
{
    read.Done = AllocateZeroed<KEVENT>(sizeof(KEVENT));
    read.Urb = AllocateZeroed<URB>(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER));
    read.Buffer = AllocateZeroed<UCHAR>(bytes);
    read.Irp = io->AllocateIrp();
    read.Bytes = bytes;
    read.Pipe = m_PipeInformation->Pipes[pipeIndex].PipeHandle;
    if (read.Done != nullptr)
        KeInitializeEvent(read.Done, NotificationEvent, TRUE);
    return read.Done != nullptr && read.Urb != nullptr && read.Buffer != nullptr &&
           read.Irp != nullptr;
}

NTSTATUS CInterruptPolling::Send(PUSBDEVICEIO io, Read& read)
{
    IoReuseIrp(read.Irp, c_IrpUnused);
    UsbBuildInterruptOrBulkTransferRequest(read.Urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
                                           read.Pipe, read.Buffer, nullptr, read.Bytes,
                                           c_InterruptFlags, nullptr);
    IoSetNextIrpStackLocation(read.Irp);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(read.Irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = read.Urb;
    next->Parameters.Others.Argument2 = nullptr;
    IoSetCompletionRoutine(read.Irp, ReadCompletion, read.Done, TRUE, TRUE, TRUE);
    KeClearEvent(read.Done);
    read.Out = true;
    const NTSTATUS status = io->CallLowerDriver(read.Irp);
    if (NT_SUCCESS(status))
        return STATUS_SUCCESS;
    read.Out = false; // refused: completed already, its event is set
    return status;
}

NTSTATUS CInterruptPolling::ReadCompletion(PDEVICE_OBJECT, PIRP, PVOID context)
{
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Cancels a read still out, waits for its completion and frees it.
void CInterruptPolling::Finish(PUSBDEVICEIO io, Read& read)
{
    if (read.Irp != nullptr && read.Done != nullptr && read.Out)
    {
        IoCancelIrp(read.Irp);
        KeWaitForSingleObject(read.Done, Executive, KernelMode, FALSE, nullptr);
    }
    read.Out = false;
    if (read.Irp != nullptr)
        io->FreeIrp(read.Irp);
    read.Irp = nullptr;
    FreeBlock(read.Done);
    FreeBlock(read.Urb);
    FreeBlock(read.Buffer);
}
