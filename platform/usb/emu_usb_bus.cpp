#include "platform/usb/emu_usb_bus.h"

#include "platform/io/io_emu.h"
#include "platform/kernel/emu.h"
#include "platform/usb/usbdlib.h"

namespace
{
ULONG g_BusNumber = 0;

EmuUsbBus* BusOf(PDEVICE_OBJECT device)
{
    return *static_cast<EmuUsbBus**>(device->DeviceExtension);
}

USB_DEFAULT_PIPE_SETUP_PACKET Setup(UCHAR type, UCHAR request, USHORT value, USHORT index,
                                    USHORT length)
{
    USB_DEFAULT_PIPE_SETUP_PACKET s;
    s.bmRequestType = type;
    s.bRequest = request;
    s.wValue = value;
    s.wIndex = index;
    s.wLength = length;
    return s;
}

// Bytes one packet can carry: wMaxPacketSize with its extra transactions.
USHORT PacketBytes(USHORT wMaxPacketSize)
{
    return (USHORT)((wMaxPacketSize & 0x7FF) * (1 + ((wMaxPacketSize >> 11) & 3)));
}
} // namespace

// ----------------------------------------------------------------------------
// Life

NTSTATUS EmuUsbBus::Create(EmuUsbFunction* device, const WCHAR* instancePath,
                           std::unique_ptr<EmuUsbBus>* bus)
{
    bus->reset();
    if (device == nullptr)
        return STATUS_INVALID_PARAMETER;
    std::unique_ptr<EmuUsbBus> b(new EmuUsbBus());
    b->m_Device = device;
    WCHAR name[40];
    RtlStringCbPrintfW(name, sizeof(name), u"EmuUsbHub%u", ++g_BusNumber);
    NTSTATUS status = EmuLoadDriver(name, nullptr, &b->m_Driver);
    if (!NT_SUCCESS(status))
        return status;
    b->m_Driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = DispatchInternal;
    b->m_Driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    b->m_Driver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    status = EmuCreatePhysicalDevice(b->m_Driver, sizeof(EmuUsbBus*), instancePath, &b->m_Pdo);
    if (!NT_SUCCESS(status))
    {
        EmuUnloadDriver(b->m_Driver);
        b->m_Driver = nullptr;
        return status;
    }
    *static_cast<EmuUsbBus**>(b->m_Pdo->DeviceExtension) = b.get();
    KeInitializeSpinLock(&b->m_Lock);
    KeInitializeTimerEx(&b->m_Timer, NotificationTimer);
    KeInitializeDpc(&b->m_Dpc, FrameDpc, b.get());
    // Plugged in: the hub resets the port before the device is enumerated.
    device->BusReset();
    LARGE_INTEGER due;
    due.QuadPart = -10000; // the first frame ends 1 ms from now
    KeSetTimerEx(&b->m_Timer, due, 1, &b->m_Dpc);
    *bus = std::move(b);
    return STATUS_SUCCESS;
}

EmuUsbBus::~EmuUsbBus()
{
    if (m_Pdo == nullptr)
        return;
    m_Stopping = true;
    KeCancelTimer(&m_Timer);
    KeFlushQueuedDpcs();
    if (m_IdleWork != nullptr)
        EmuRunUntilIdle(); // let the queued idle work item finish with the device
    std::vector<Completion> done;
    KIRQL irql;
    KeAcquireSpinLock(&m_Lock, &irql);
    m_Present = false;
    RemoveAll(STATUS_NO_SUCH_DEVICE, USBD_STATUS_DEVICE_GONE, &done);
    KeReleaseSpinLock(&m_Lock, irql);
    CompleteAll(done);
    IoDeleteDevice(m_Pdo);
    EmuUnloadDriver(m_Driver);
}

void EmuUsbBus::Unplug()
{
    std::vector<Completion> done;
    KIRQL irql;
    KeAcquireSpinLock(&m_Lock, &irql);
    m_Present = false;
    m_UnplugPending = false;
    RemoveAll(STATUS_NO_SUCH_DEVICE, USBD_STATUS_DEVICE_GONE, &done);
    KeReleaseSpinLock(&m_Lock, irql);
    KeCancelTimer(&m_Timer);
    CompleteAll(done);
}

void EmuUsbBus::UnplugAtFrame(ULONG frame)
{
    KIRQL irql;
    KeAcquireSpinLock(&m_Lock, &irql);
    m_UnplugPending = true;
    m_UnplugFrame = frame;
    KeReleaseSpinLock(&m_Lock, irql);
}

void EmuUsbBus::InjectPortStatusFailure(NTSTATUS status, ULONG count)
{
    m_PortFailureStatus = status;
    m_PortFailures = count;
}

void EmuUsbBus::InjectPortStatusBits(ULONG bits, ULONG count)
{
    m_PortBits = bits;
    m_PortBitsCount = count;
}

size_t EmuUsbBus::PendingRequestCount() const
{
    return m_Pending.size();
}

// ----------------------------------------------------------------------------
// Request plumbing

NTSTATUS EmuUsbBus::Fail(PIRP irp, PURB urb, NTSTATUS status, USBD_STATUS usbd)
{
    if (urb != nullptr)
        urb->UrbHeader.Status = usbd;
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// Holds the request until the frame clock completes it; called with m_Lock
// held. false: it was cancelled before it could be held.
static bool HoldIrp(PIRP irp, PDRIVER_CANCEL cancel)
{
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, cancel);
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr)
        return false;
    return true;
}

NTSTATUS EmuUsbBus::Queue(PIRP irp, const Transfer& t)
{
    KIRQL irql;
    KeAcquireSpinLock(&m_Lock, &irql);
    if (!m_Present)
    {
        KeReleaseSpinLock(&m_Lock, irql);
        return Fail(irp, t.Urb, STATUS_NO_SUCH_DEVICE, USBD_STATUS_DEVICE_GONE);
    }
    if (t.Urb != nullptr)
        t.Urb->UrbHeader.Status = USBD_STATUS_PENDING;
    if (!HoldIrp(irp, CancelRoutine))
    {
        if (t.What == Kind::Idle)
            m_IdleIrp = nullptr;
        KeReleaseSpinLock(&m_Lock, irql);
        Fail(irp, t.Urb, STATUS_CANCELLED, USBD_STATUS_CANCELED);
        return STATUS_PENDING;
    }
    m_Pending.push_back(t);
    m_Pending.back().Irp = irp;
    KeReleaseSpinLock(&m_Lock, irql);
    return STATUS_PENDING;
}

// The cancel is noted and the frame clock completes the request, as a host
// controller that must first take the transfer off its schedule does. With
// the clock stopped (the device is gone) it completes here.
void EmuUsbBus::CancelRoutine(PDEVICE_OBJECT device, PIRP irp)
{
    IoReleaseCancelSpinLock(irp->CancelIrql);
    EmuUsbBus* bus = BusOf(device);
    PURB urb = nullptr;
    bool now = false;
    KIRQL irql;
    KeAcquireSpinLock(&bus->m_Lock, &irql);
    for (auto it = bus->m_Pending.begin(); it != bus->m_Pending.end(); ++it)
        if (it->Irp == irp)
        {
            it->CancelOwned = true;
            if (it->What == Kind::Idle)
            {
                bus->m_IdleIrp = nullptr;
                bus->m_IdleCalled = false;
            }
            if (bus->m_Present && !bus->m_Stopping)
            {
                if (!it->Cancelled)
                    bus->MarkCancelled(*it);
            }
            else
            {
                urb = it->Urb;
                bus->m_Pending.erase(it);
                now = true;
            }
            break;
        }
    KeReleaseSpinLock(&bus->m_Lock, irql);
    if (now)
        bus->Fail(irp, urb, STATUS_CANCELLED, USBD_STATUS_CANCELED);
}

void EmuUsbBus::MarkCancelled(Transfer& t)
{
    t.Cancelled = true;
    t.CancelFrame = m_Frame + m_CancelDelay;
}

// Completes a cancelled transfer; false while its cancel routine is on the
// way (it takes the transfer over).
bool EmuUsbBus::CompleteCancelled(Transfer& t, std::vector<Completion>* done)
{
    if (!t.CancelOwned && !Take(t))
        return false;
    if (t.What == Kind::Idle)
    {
        m_IdleIrp = nullptr;
        m_IdleCalled = false;
    }
    SetUrbStatus(t, USBD_STATUS_CANCELED);
    done->push_back({t.Irp, STATUS_CANCELLED, 0});
    return true;
}

bool EmuUsbBus::Take(Transfer& t)
{
    return IoSetCancelRoutine(t.Irp, nullptr) != nullptr;
}

void EmuUsbBus::SetUrbStatus(Transfer& t, USBD_STATUS status)
{
    if (t.Urb != nullptr)
        t.Urb->UrbHeader.Status = status;
}

void EmuUsbBus::RemoveAll(NTSTATUS status, USBD_STATUS usbd, std::vector<Completion>* done)
{
    for (auto it = m_Pending.begin(); it != m_Pending.end();)
    {
        if (it->CancelOwned && CompleteCancelled(*it, done))
        {
            it = m_Pending.erase(it);
            continue;
        }
        if (!Take(*it))
        {
            ++it; // its cancel routine is on the way and completes it
            continue;
        }
        if (it->What == Kind::Idle)
        {
            m_IdleIrp = nullptr;
            m_IdleCalled = false;
        }
        SetUrbStatus(*it, usbd);
        done->push_back({it->Irp, status, 0});
        it = m_Pending.erase(it);
    }
}

void EmuUsbBus::CompleteAll(std::vector<Completion>& done)
{
    for (const Completion& c : done)
    {
        c.Irp->IoStatus.Status = c.Status;
        c.Irp->IoStatus.Information = c.Information;
        IoCompleteRequest(c.Irp, IO_NO_INCREMENT);
    }
    done.clear();
}

EmuControlAnswer EmuUsbBus::WireControl(const USB_DEFAULT_PIPE_SETUP_PACKET& setup, UCHAR* data)
{
    UCHAR none[1] = {0};
    return m_Device->ControlTransfer(setup, data != nullptr ? data : none, m_Frame);
}

EmuUsbBus::Pipe* EmuUsbBus::FindPipe(USBD_PIPE_HANDLE handle)
{
    for (const auto& p : m_Pipes)
        if (p.get() == handle)
            return p->Active ? p.get() : nullptr;
    return nullptr;
}

// ----------------------------------------------------------------------------
// Dispatch

NTSTATUS EmuUsbBus::DispatchInternal(PDEVICE_OBJECT device, PIRP irp)
{
    EmuUsbBus* bus = BusOf(device);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    if (++bus->m_Requests == bus->m_UnplugRequest)
        bus->UnplugAtFrame(bus->m_Frame);
    Transfer t;
    switch (code)
    {
    case IOCTL_INTERNAL_USB_SUBMIT_URB:
    {
        PURB urb = static_cast<PURB>(stack->Parameters.Others.Argument1);
        if (urb == nullptr)
            return bus->Fail(irp, nullptr, STATUS_INVALID_PARAMETER, 0);
        return bus->SubmitUrb(irp, urb);
    }
    case IOCTL_INTERNAL_USB_GET_PORT_STATUS:
        t.PortStatus = static_cast<PULONG>(stack->Parameters.Others.Argument1);
        if (t.PortStatus == nullptr)
            return bus->Fail(irp, nullptr, STATUS_INVALID_PARAMETER, 0);
        if (bus->m_PortFailures > 0)
        {
            --bus->m_PortFailures;
            return bus->Fail(irp, nullptr, bus->m_PortFailureStatus, 0);
        }
        t.What = Kind::PortStatus;
        return bus->Queue(irp, t);
    case IOCTL_INTERNAL_USB_RESET_PORT:
        t.What = Kind::PortReset;
        return bus->Queue(irp, t);
    case IOCTL_INTERNAL_USB_CYCLE_PORT:
        t.What = Kind::PortCycle;
        return bus->Queue(irp, t);
    case IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION:
    {
        auto* info = static_cast<PUSB_IDLE_CALLBACK_INFO>(
            stack->Parameters.DeviceIoControl.Type3InputBuffer);
        if (info == nullptr ||
            stack->Parameters.DeviceIoControl.InputBufferLength < sizeof(USB_IDLE_CALLBACK_INFO) ||
            info->IdleCallback == nullptr)
            return bus->Fail(irp, nullptr, STATUS_INVALID_PARAMETER, 0);
        if (!bus->m_Present)
            return bus->Fail(irp, nullptr, STATUS_NO_SUCH_DEVICE, 0);
        if (bus->m_IdleIrp != nullptr)
            return bus->Fail(irp, nullptr, STATUS_DEVICE_BUSY, 0);
        bus->m_IdleInfo = *info;
        bus->m_IdleCalled = false;
        bus->m_IdleIrp = irp;
        t.What = Kind::Idle;
        NTSTATUS status = bus->Queue(irp, t);
        if (bus->m_AutoIdle && bus->m_IdleIrp == irp && bus->m_IdleWork == nullptr)
        {
            bus->m_IdleWork = IoAllocateWorkItem(device);
            if (bus->m_IdleWork != nullptr)
                IoQueueWorkItem(bus->m_IdleWork, IdleWorkItem, DelayedWorkQueue, bus);
        }
        return status;
    }
    default:
        return bus->Fail(irp, nullptr, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

NTSTATUS EmuUsbBus::DispatchPnp(PDEVICE_OBJECT device, PIRP irp)
{
    EmuUsbBus* bus = BusOf(device);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = irp->IoStatus.Status;
    switch (stack->MinorFunction)
    {
    case IRP_MN_QUERY_INTERFACE:
    {
        const GUID* type = stack->Parameters.QueryInterface.InterfaceType;
        if (type == nullptr || !IsEqualGUID(*type, USB_BUS_INTERFACE_USBDI_GUID))
            break;
        auto* bi = reinterpret_cast<PUSB_BUS_INTERFACE_USBDI_V1>(
            stack->Parameters.QueryInterface.Interface);
        USHORT version = stack->Parameters.QueryInterface.Version;
        USHORT size = stack->Parameters.QueryInterface.Size;
        ULONG needed = version >= USB_BUSIF_USBDI_VERSION_1
                           ? sizeof(USB_BUS_INTERFACE_USBDI_V1)
                           : offsetof(USB_BUS_INTERFACE_USBDI_V1, IsDeviceHighSpeed);
        if (bi == nullptr || size < needed)
        {
            status = STATUS_INVALID_PARAMETER;
            break;
        }
        bi->Size = (USHORT)needed;
        bi->Version = version >= USB_BUSIF_USBDI_VERSION_1 ? USB_BUSIF_USBDI_VERSION_1
                                                           : USB_BUSIF_USBDI_VERSION_0;
        bi->BusContext = bus;
        bi->InterfaceReference = InterfaceReference;
        bi->InterfaceDereference = InterfaceDereference;
        bi->GetUSBDIVersion = GetUsbdiVersion;
        bi->QueryBusTime = QueryBusTime;
        bi->SubmitIsoOutUrb = SubmitIsoOutUrb;
        bi->QueryBusInformation = QueryBusInformation;
        if (bi->Version == USB_BUSIF_USBDI_VERSION_1)
            bi->IsDeviceHighSpeed = IsDeviceHighSpeed;
        InterfaceReference(bus);
        status = STATUS_SUCCESS;
        break;
    }
    case IRP_MN_QUERY_CAPABILITIES:
    {
        PDEVICE_CAPABILITIES caps = stack->Parameters.DeviceCapabilities.Capabilities;
        if (caps == nullptr)
        {
            status = STATUS_INVALID_PARAMETER;
            break;
        }
        caps->Removable = 1;
        caps->SurpriseRemovalOK = 1;
        caps->DeviceD2 = 1;
        caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
        status = STATUS_SUCCESS;
        break;
    }
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_REMOVE_DEVICE: // the object stays until the device leaves the bus
        status = STATUS_SUCCESS;
        break;
    default:
        break;
    }
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS EmuUsbBus::DispatchPower(PDEVICE_OBJECT, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = irp->IoStatus.Status;
    if (stack->MinorFunction == IRP_MN_SET_POWER || stack->MinorFunction == IRP_MN_QUERY_POWER)
        status = STATUS_SUCCESS;
    irp->IoStatus.Status = status;
    PoStartNextPowerIrp(irp);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// ----------------------------------------------------------------------------
// Bus interface

NTSTATUS EmuUsbBus::QueryBusTime(PVOID context, PULONG frame)
{
    if (frame == nullptr)
        return STATUS_INVALID_PARAMETER;
    *frame = static_cast<EmuUsbBus*>(context)->m_Frame;
    return STATUS_SUCCESS;
}

BOOLEAN EmuUsbBus::IsDeviceHighSpeed(PVOID context)
{
    return static_cast<EmuUsbBus*>(context)->IsHighSpeed() ? TRUE : FALSE;
}

void EmuUsbBus::GetUsbdiVersion(PVOID, PUSBD_VERSION_INFORMATION info, PULONG caps)
{
    if (info != nullptr)
    {
        info->USBDI_Version = 0x600;
        info->Supported_USB_Version = 0x200;
    }
    if (caps != nullptr)
        *caps = 0;
}

NTSTATUS EmuUsbBus::SubmitIsoOutUrb(PVOID, PURB)
{
    return STATUS_NOT_SUPPORTED;
}

NTSTATUS EmuUsbBus::QueryBusInformation(PVOID, ULONG, PVOID, PULONG, PULONG)
{
    return STATUS_NOT_SUPPORTED;
}

void EmuUsbBus::InterfaceReference(PVOID context)
{
    InterlockedIncrement(&static_cast<EmuUsbBus*>(context)->m_InterfaceRefs);
}

void EmuUsbBus::InterfaceDereference(PVOID context)
{
    InterlockedDecrement(&static_cast<EmuUsbBus*>(context)->m_InterfaceRefs);
}

// ----------------------------------------------------------------------------
// Selective suspend

void EmuUsbBus::IdleWorkItem(PDEVICE_OBJECT, PVOID context)
{
    EmuUsbBus* bus = static_cast<EmuUsbBus*>(context);
    PIO_WORKITEM item = bus->m_IdleWork;
    bus->RunIdleCallback();
    bus->m_IdleWork = nullptr;
    IoFreeWorkItem(item);
}

bool EmuUsbBus::RunIdleCallback()
{
    KIRQL irql;
    KeAcquireSpinLock(&m_Lock, &irql);
    if (m_IdleIrp == nullptr || m_IdleCalled || !m_Present)
    {
        KeReleaseSpinLock(&m_Lock, irql);
        return false;
    }
    m_IdleCalled = true;
    USB_IDLE_CALLBACK_INFO info = m_IdleInfo;
    KeReleaseSpinLock(&m_Lock, irql);
    info.IdleCallback(info.IdleContext);
    return true;
}

// ----------------------------------------------------------------------------
// URBs

bool EmuUsbBus::ValidateConfiguration(const UCHAR* config, ULONG length) const
{
    if (length < sizeof(USB_CONFIGURATION_DESCRIPTOR) || config[0] < 9 ||
        config[1] != USB_CONFIGURATION_DESCRIPTOR_TYPE)
        return false;
    for (ULONG pos = 0; pos < length;)
    {
        if (length - pos < 2 || config[pos] < 2 || config[pos] > length - pos)
            return false;
        if (config[pos + 1] == USB_INTERFACE_DESCRIPTOR_TYPE && config[pos] < 9)
            return false;
        if (config[pos + 1] == USB_ENDPOINT_DESCRIPTOR_TYPE && config[pos] < 7)
            return false;
        pos += config[pos];
    }
    return true;
}

// Each URB function the bus takes: the shortest URB it reads, the routine that
// checks and queues it, and for the control requests the request type (type
// and recipient bits) and request it puts on the wire.
// clang-format off
const EmuUsbBus::UrbRoute EmuUsbBus::UrbRoutes[] = {
    {URB_FUNCTION_SELECT_CONFIGURATION, offsetof(struct _URB_SELECT_CONFIGURATION, Interface), &EmuUsbBus::SubmitSelectConfiguration, 0, 0},
    {URB_FUNCTION_SELECT_INTERFACE, GET_SELECT_INTERFACE_REQUEST_SIZE(0), &EmuUsbBus::SubmitSelectInterface, 0, 0},
    {URB_FUNCTION_ISOCH_TRANSFER, GET_ISO_URB_SIZE(1), &EmuUsbBus::SubmitIsoch, 0, 0},
    {URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), &EmuUsbBus::SubmitBulkOrInterrupt, 0, 0},
    {URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), &EmuUsbBus::SubmitGetDescriptor, 0x80, USB_REQUEST_GET_DESCRIPTOR},
    {URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), &EmuUsbBus::SubmitGetDescriptor, 0x81, USB_REQUEST_GET_DESCRIPTOR},
    {URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), &EmuUsbBus::SubmitGetDescriptor, 0x82, USB_REQUEST_GET_DESCRIPTOR},
    {URB_FUNCTION_CLASS_DEVICE, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST), &EmuUsbBus::SubmitVendorOrClass, 0x20, 0},
    {URB_FUNCTION_CLASS_INTERFACE, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST), &EmuUsbBus::SubmitVendorOrClass, 0x21, 0},
    {URB_FUNCTION_CLASS_ENDPOINT, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST), &EmuUsbBus::SubmitVendorOrClass, 0x22, 0},
    {URB_FUNCTION_CLASS_OTHER, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST), &EmuUsbBus::SubmitVendorOrClass, 0x23, 0},
    {URB_FUNCTION_VENDOR_DEVICE, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST), &EmuUsbBus::SubmitVendorOrClass, 0x40, 0},
    {URB_FUNCTION_VENDOR_INTERFACE, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST), &EmuUsbBus::SubmitVendorOrClass, 0x41, 0},
    {URB_FUNCTION_VENDOR_ENDPOINT, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST), &EmuUsbBus::SubmitVendorOrClass, 0x42, 0},
    {URB_FUNCTION_VENDOR_OTHER, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST), &EmuUsbBus::SubmitVendorOrClass, 0x43, 0},
    {URB_FUNCTION_CONTROL_TRANSFER, sizeof(struct _URB_CONTROL_TRANSFER), &EmuUsbBus::SubmitControlTransfer, 0, 0},
    {URB_FUNCTION_GET_STATUS_FROM_DEVICE, sizeof(struct _URB_CONTROL_GET_STATUS_REQUEST), &EmuUsbBus::SubmitGetStatus, 0x80, USB_REQUEST_GET_STATUS},
    {URB_FUNCTION_GET_STATUS_FROM_INTERFACE, sizeof(struct _URB_CONTROL_GET_STATUS_REQUEST), &EmuUsbBus::SubmitGetStatus, 0x81, USB_REQUEST_GET_STATUS},
    {URB_FUNCTION_GET_STATUS_FROM_ENDPOINT, sizeof(struct _URB_CONTROL_GET_STATUS_REQUEST), &EmuUsbBus::SubmitGetStatus, 0x82, USB_REQUEST_GET_STATUS},
    {URB_FUNCTION_GET_STATUS_FROM_OTHER, sizeof(struct _URB_CONTROL_GET_STATUS_REQUEST), &EmuUsbBus::SubmitGetStatus, 0x83, USB_REQUEST_GET_STATUS},
    {URB_FUNCTION_SET_FEATURE_TO_DEVICE, sizeof(struct _URB_CONTROL_FEATURE_REQUEST), &EmuUsbBus::SubmitFeature, 0x00, USB_REQUEST_SET_FEATURE},
    {URB_FUNCTION_SET_FEATURE_TO_INTERFACE, sizeof(struct _URB_CONTROL_FEATURE_REQUEST), &EmuUsbBus::SubmitFeature, 0x01, USB_REQUEST_SET_FEATURE},
    {URB_FUNCTION_SET_FEATURE_TO_ENDPOINT, sizeof(struct _URB_CONTROL_FEATURE_REQUEST), &EmuUsbBus::SubmitFeature, 0x02, USB_REQUEST_SET_FEATURE},
    {URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE, sizeof(struct _URB_CONTROL_FEATURE_REQUEST), &EmuUsbBus::SubmitFeature, 0x00, USB_REQUEST_CLEAR_FEATURE},
    {URB_FUNCTION_CLEAR_FEATURE_TO_INTERFACE, sizeof(struct _URB_CONTROL_FEATURE_REQUEST), &EmuUsbBus::SubmitFeature, 0x01, USB_REQUEST_CLEAR_FEATURE},
    {URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT, sizeof(struct _URB_CONTROL_FEATURE_REQUEST), &EmuUsbBus::SubmitFeature, 0x02, USB_REQUEST_CLEAR_FEATURE},
    {URB_FUNCTION_ABORT_PIPE, sizeof(struct _URB_PIPE_REQUEST), &EmuUsbBus::SubmitPipeRequest, 0, 0},
    {URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, sizeof(struct _URB_PIPE_REQUEST), &EmuUsbBus::SubmitPipeRequest, 0, 0},
    {URB_FUNCTION_SYNC_RESET_PIPE, sizeof(struct _URB_PIPE_REQUEST), &EmuUsbBus::SubmitPipeRequest, 0, 0},
    {URB_FUNCTION_SYNC_CLEAR_STALL, sizeof(struct _URB_PIPE_REQUEST), &EmuUsbBus::SubmitPipeRequest, 0, 0},
    {URB_FUNCTION_GET_CURRENT_FRAME_NUMBER, sizeof(struct _URB_GET_CURRENT_FRAME_NUMBER), &EmuUsbBus::SubmitFrameNumber, 0, 0},
};
// clang-format on

NTSTATUS EmuUsbBus::SubmitUrb(PIRP irp, PURB urb)
{
    if (!m_Present)
        return Fail(irp, urb, STATUS_NO_SUCH_DEVICE, USBD_STATUS_DEVICE_GONE);
    for (const UrbRoute& route : UrbRoutes)
    {
        if (route.Function != urb->UrbHeader.Function)
            continue;
        if (urb->UrbHeader.Length < route.MinLength)
            return Invalid(irp, urb);
        return (this->*route.Submit)(irp, urb, route);
    }
    return Invalid(irp, urb, USBD_STATUS_INVALID_URB_FUNCTION);
}

NTSTATUS EmuUsbBus::Invalid(PIRP irp, PURB urb, USBD_STATUS usbd)
{
    return Fail(irp, urb, STATUS_INVALID_PARAMETER, usbd);
}

// A control transfer on the default pipe.
NTSTATUS EmuUsbBus::QueueControl(PIRP irp, PURB urb, UCHAR type, UCHAR request, USHORT value,
                                 USHORT index, ULONG bytes, PVOID buffer, PMDL mdl)
{
    if (bytes > 0xFFFF)
        return Invalid(irp, urb);
    if (buffer == nullptr && mdl != nullptr)
        buffer = MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority);
    if (bytes != 0 && buffer == nullptr)
        return Invalid(irp, urb);
    Transfer t{.Urb = urb, .What = Kind::Control};
    t.Setup = Setup(type, request, value, index, (USHORT)bytes);
    t.Buffer = static_cast<PUCHAR>(buffer);
    return Queue(irp, t);
}

NTSTATUS EmuUsbBus::SubmitSelectConfiguration(PIRP irp, PURB urb, const UrbRoute&)
{
    const ULONG length = urb->UrbHeader.Length;
    auto* config =
        reinterpret_cast<const UCHAR*>(urb->UrbSelectConfiguration.ConfigurationDescriptor);
    if (config != nullptr)
    {
        ULONG total = config[2] | config[3] << 8;
        if (!ValidateConfiguration(config, total))
            return Invalid(irp, urb, USBD_STATUS_INVALID_CONFIGURATION_DESCRIPTOR);
        ULONG pos = offsetof(struct _URB_SELECT_CONFIGURATION, Interface);
        ULONG records = 0;
        while (length - pos >= GET_USBD_INTERFACE_SIZE(0))
        {
            auto* info =
                reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<PUCHAR>(urb) + pos);
            if (info->Length == 0)
                break;
            PUSB_INTERFACE_DESCRIPTOR d = USBD_ParseConfigurationDescriptorEx(
                (PUSB_CONFIGURATION_DESCRIPTOR)config, (PVOID)config, info->InterfaceNumber,
                info->AlternateSetting, -1, -1, -1);
            if (d == nullptr)
                return Invalid(irp, urb, USBD_STATUS_INTERFACE_NOT_FOUND);
            if (info->Length < GET_USBD_INTERFACE_SIZE(d->bNumEndpoints) ||
                info->Length > length - pos)
                return Invalid(irp, urb, USBD_STATUS_BUFFER_TOO_SMALL);
            pos += info->Length;
            ++records;
        }
        if (records == 0 || records > config[4])
            return Invalid(irp, urb);
    }
    return Queue(irp, Transfer{.Urb = urb, .What = Kind::SelectConfiguration});
}

NTSTATUS EmuUsbBus::SubmitSelectInterface(PIRP irp, PURB urb, const UrbRoute&)
{
    PUSBD_INTERFACE_INFORMATION info = &urb->UrbSelectInterface.Interface;
    if (m_ConfigValue == 0 || urb->UrbSelectInterface.ConfigurationHandle != &m_ConfigValue)
        return Invalid(irp, urb);
    PUSB_INTERFACE_DESCRIPTOR d = USBD_ParseConfigurationDescriptorEx(
        (PUSB_CONFIGURATION_DESCRIPTOR)m_Config.data(), m_Config.data(), info->InterfaceNumber,
        info->AlternateSetting, -1, -1, -1);
    if (d == nullptr)
        return Invalid(irp, urb, USBD_STATUS_INTERFACE_NOT_FOUND);
    if (info->Length < GET_USBD_INTERFACE_SIZE(d->bNumEndpoints) ||
        info->Length > urb->UrbHeader.Length - offsetof(struct _URB_SELECT_INTERFACE, Interface))
        return Invalid(irp, urb, USBD_STATUS_BUFFER_TOO_SMALL);
    return Queue(irp, Transfer{.Urb = urb, .What = Kind::SelectInterface});
}

NTSTATUS EmuUsbBus::SubmitIsoch(PIRP irp, PURB urb, const UrbRoute&)
{
    auto& iso = urb->UrbIsochronousTransfer;
    ULONG packets = iso.NumberOfPackets;
    if (packets == 0 || packets > (IsHighSpeed() ? 1024u : 255u) ||
        urb->UrbHeader.Length < GET_ISO_URB_SIZE(packets))
        return Invalid(irp, urb);
    KIRQL irql;
    KeAcquireSpinLock(&m_Lock, &irql);
    Pipe* pipe = FindPipe(iso.PipeHandle);
    bool ok = pipe != nullptr &&
              (pipe->Attributes & USB_ENDPOINT_TYPE_MASK) == USB_ENDPOINT_TYPE_ISOCHRONOUS &&
              packets % pipe->PacketsPerFrame == 0 &&
              ((iso.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0) ==
                  USB_ENDPOINT_DIRECTION_IN(pipe->Address);
    PVOID buffer = iso.TransferBuffer;
    if (ok && buffer == nullptr && iso.TransferBufferMDL != nullptr)
        buffer = MmGetSystemAddressForMdlSafe(iso.TransferBufferMDL, NormalPagePriority);
    ok = ok && buffer != nullptr && iso.TransferBufferLength != 0;
    // Packet offsets must rise inside the buffer; an OUT packet may not
    // carry more than the endpoint takes in one (micro)frame.
    for (ULONG i = 0; ok && i < packets; ++i)
    {
        ULONG offset = iso.IsoPacket[i].Offset;
        ULONG next = i + 1 < packets ? iso.IsoPacket[i + 1].Offset : iso.TransferBufferLength;
        if (offset > next || next > iso.TransferBufferLength)
            ok = false;
        else if (USB_ENDPOINT_DIRECTION_OUT(pipe->Address) && next - offset > pipe->MaxPacket)
            ok = false;
    }
    if (!ok)
    {
        KeReleaseSpinLock(&m_Lock, irql);
        USBD_STATUS usbd =
            pipe == nullptr ? USBD_STATUS_INVALID_PIPE_HANDLE : USBD_STATUS_INVALID_PARAMETER;
        return Invalid(irp, urb, usbd);
    }
    ULONG frames = packets / pipe->PacketsPerFrame;
    ULONG current = m_Frame;
    ULONG start;
    if (iso.TransferFlags & USBD_START_ISO_TRANSFER_ASAP)
        start = pipe->Scheduled && (LONG)(pipe->NextFrame - current) > 0 ? pipe->NextFrame
                                                                         : current + 1;
    else
    {
        start = iso.StartFrame;
        // The current frame's schedule is already in the controller: a
        // transfer must start later, within the start-frame range, and
        // not before what the pipe has scheduled.
        LONG ahead = (LONG)(start - current);
        if (ahead <= 0 || ahead > (LONG)USBD_ISO_START_FRAME_RANGE ||
            (pipe->Scheduled && (LONG)(start - pipe->NextFrame) < 0 &&
             (LONG)(pipe->NextFrame - current) > 0))
        {
            KeReleaseSpinLock(&m_Lock, irql);
            iso.ErrorCount = packets;
            for (ULONG i = 0; i < packets; ++i)
                iso.IsoPacket[i].Status = USBD_STATUS_BAD_START_FRAME;
            return Fail(irp, urb, STATUS_INVALID_PARAMETER, USBD_STATUS_BAD_START_FRAME);
        }
    }
    iso.StartFrame = start;
    iso.ErrorCount = 0;
    for (ULONG i = 0; i < packets; ++i)
    {
        iso.IsoPacket[i].Status = USBD_STATUS_NOT_ACCESSED;
        if (USB_ENDPOINT_DIRECTION_IN(pipe->Address))
            iso.IsoPacket[i].Length = 0;
    }
    pipe->Scheduled = true;
    pipe->NextFrame = start + frames;
    Transfer t{.Urb = urb, .What = Kind::Isoch, .PipePtr = pipe};
    t.Buffer = static_cast<PUCHAR>(buffer);
    t.StartFrame = start;
    t.Frames = frames;
    urb->UrbHeader.Status = USBD_STATUS_PENDING;
    if (!HoldIrp(irp, CancelRoutine))
    {
        KeReleaseSpinLock(&m_Lock, irql);
        Fail(irp, urb, STATUS_CANCELLED, USBD_STATUS_CANCELED);
        return STATUS_PENDING;
    }
    t.Irp = irp;
    m_Pending.push_back(t);
    KeReleaseSpinLock(&m_Lock, irql);
    return STATUS_PENDING;
}

NTSTATUS EmuUsbBus::SubmitBulkOrInterrupt(PIRP irp, PURB urb, const UrbRoute&)
{
    auto& x = urb->UrbBulkOrInterruptTransfer;
    Pipe* pipe = FindPipe(x.PipeHandle);
    if (pipe == nullptr)
        return Invalid(irp, urb, USBD_STATUS_INVALID_PIPE_HANDLE);
    UCHAR type = pipe->Attributes & USB_ENDPOINT_TYPE_MASK;
    PVOID buffer = x.TransferBuffer;
    if (buffer == nullptr && x.TransferBufferMDL != nullptr)
        buffer = MmGetSystemAddressForMdlSafe(x.TransferBufferMDL, NormalPagePriority);
    if ((type != USB_ENDPOINT_TYPE_BULK && type != USB_ENDPOINT_TYPE_INTERRUPT) ||
        (x.TransferBufferLength != 0 && buffer == nullptr) ||
        ((x.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0) !=
            USB_ENDPOINT_DIRECTION_IN(pipe->Address))
        return Invalid(irp, urb);
    if (pipe->Halted)
        return Fail(irp, urb, STATUS_UNSUCCESSFUL, USBD_STATUS_ENDPOINT_HALTED);
    Transfer t{.Urb = urb, .What = Kind::InterruptOrBulk, .PipePtr = pipe};
    t.Buffer = static_cast<PUCHAR>(buffer);
    return Queue(irp, t);
}

NTSTATUS EmuUsbBus::SubmitGetDescriptor(PIRP irp, PURB urb, const UrbRoute& route)
{
    auto& d = urb->UrbControlDescriptorRequest;
    return QueueControl(irp, urb, route.RequestType, route.Request,
                        USB_DESCRIPTOR_MAKE_TYPE_AND_INDEX(d.DescriptorType, d.Index), d.LanguageId,
                        d.TransferBufferLength, d.TransferBuffer, d.TransferBufferMDL);
}

NTSTATUS EmuUsbBus::SubmitVendorOrClass(PIRP irp, PURB urb, const UrbRoute& route)
{
    auto& r = urb->UrbControlVendorClassRequest;
    UCHAR type =
        (UCHAR)((r.TransferFlags & USBD_TRANSFER_DIRECTION_IN ? 0x80 : 0) | route.RequestType);
    return QueueControl(irp, urb, type, r.Request, r.Value, r.Index, r.TransferBufferLength,
                        r.TransferBuffer, r.TransferBufferMDL);
}

NTSTATUS EmuUsbBus::SubmitControlTransfer(PIRP irp, PURB urb, const UrbRoute&)
{
    auto& c = urb->UrbControlTransfer;
    if (c.PipeHandle != nullptr && !(c.TransferFlags & USBD_DEFAULT_PIPE_TRANSFER))
        return Invalid(irp, urb, USBD_STATUS_INVALID_PIPE_HANDLE);
    const UCHAR* s = c.SetupPacket;
    bool in = (s[0] & 0x80) != 0;
    if (in != ((c.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0))
        return Invalid(irp, urb);
    ULONG bytes = s[6] | s[7] << 8;
    if (bytes > c.TransferBufferLength)
        return Invalid(irp, urb);
    return QueueControl(irp, urb, s[0], s[1], (USHORT)(s[2] | s[3] << 8),
                        (USHORT)(s[4] | s[5] << 8), bytes, c.TransferBuffer, c.TransferBufferMDL);
}

NTSTATUS EmuUsbBus::SubmitGetStatus(PIRP irp, PURB urb, const UrbRoute& route)
{
    auto& g = urb->UrbControlGetStatusRequest;
    if (g.TransferBufferLength < 2)
        return Invalid(irp, urb);
    return QueueControl(irp, urb, route.RequestType, route.Request, 0, g.Index, 2, g.TransferBuffer,
                        g.TransferBufferMDL);
}

NTSTATUS EmuUsbBus::SubmitFeature(PIRP irp, PURB urb, const UrbRoute& route)
{
    auto& f = urb->UrbControlFeatureRequest;
    return QueueControl(irp, urb, route.RequestType, route.Request, f.FeatureSelector, f.Index, 0,
                        nullptr, nullptr);
}

NTSTATUS EmuUsbBus::SubmitPipeRequest(PIRP irp, PURB urb, const UrbRoute&)
{
    Pipe* pipe = FindPipe(urb->UrbPipeRequest.PipeHandle);
    if (pipe == nullptr)
        return Invalid(irp, urb, USBD_STATUS_INVALID_PIPE_HANDLE);
    return Queue(irp, Transfer{.Urb = urb, .What = Kind::PipeRequest, .PipePtr = pipe});
}

NTSTATUS EmuUsbBus::SubmitFrameNumber(PIRP irp, PURB urb, const UrbRoute&)
{
    return Queue(irp, Transfer{.Urb = urb, .What = Kind::FrameNumber});
}

// Fills an interface record from the selected configuration and makes its
// pipes; the interface's previous pipes go. Called with m_Lock held.
bool EmuUsbBus::FillInterface(PUSBD_INTERFACE_INFORMATION info, ULONG room)
{
    auto* config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(m_Config.data());
    PUSB_INTERFACE_DESCRIPTOR d = USBD_ParseConfigurationDescriptorEx(
        config, config, info->InterfaceNumber, info->AlternateSetting, -1, -1, -1);
    if (d == nullptr || room < GET_USBD_INTERFACE_SIZE(d->bNumEndpoints))
        return false;
    for (auto& p : m_Pipes)
        if (p->Active && p->InterfaceNumber == info->InterfaceNumber)
            p->Active = false;
    info->Class = d->bInterfaceClass;
    info->SubClass = d->bInterfaceSubClass;
    info->Protocol = d->bInterfaceProtocol;
    info->Reserved = 0;
    info->InterfaceHandle = d;
    info->NumberOfPipes = d->bNumEndpoints;
    PUCHAR end = m_Config.data() + m_Config.size();
    PUCHAR p = reinterpret_cast<PUCHAR>(d) + d->bLength;
    ULONG n = 0;
    while (n < d->bNumEndpoints && end - p >= 2 && p[1] != USB_INTERFACE_DESCRIPTOR_TYPE)
    {
        if (p[1] == USB_ENDPOINT_DESCRIPTOR_TYPE)
        {
            auto* e = reinterpret_cast<PUSB_ENDPOINT_DESCRIPTOR>(p);
            auto pipe = std::make_unique<Pipe>();
            pipe->Active = true;
            pipe->InterfaceNumber = d->bInterfaceNumber;
            pipe->Address = e->bEndpointAddress;
            pipe->Attributes = e->bmAttributes;
            pipe->Interval = e->bInterval;
            pipe->MaxPacket = PacketBytes(e->wMaxPacketSize);
            if (IsHighSpeed() &&
                (e->bmAttributes & USB_ENDPOINT_TYPE_MASK) == USB_ENDPOINT_TYPE_ISOCHRONOUS)
            {
                ULONG interval = e->bInterval < 1 ? 1 : (e->bInterval > 4 ? 4 : e->bInterval);
                pipe->PacketsPerFrame = 8u >> (interval - 1);
            }
            PUSBD_PIPE_INFORMATION pi = &info->Pipes[n];
            pi->MaximumPacketSize = pipe->MaxPacket;
            pi->EndpointAddress = pipe->Address;
            pi->Interval = pipe->Interval;
            pi->PipeType = (USBD_PIPE_TYPE)(e->bmAttributes & USB_ENDPOINT_TYPE_MASK);
            pi->PipeHandle = pipe.get();
            if (pi->MaximumTransferSize == 0)
                pi->MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
            m_Pipes.push_back(std::move(pipe));
            ++n;
        }
        p += p[0];
    }
    bool found = false;
    for (auto& a : m_AltSettings)
        if (a.first == info->InterfaceNumber)
        {
            a.second = info->AlternateSetting;
            found = true;
        }
    if (!found)
        m_AltSettings.push_back({info->InterfaceNumber, info->AlternateSetting});
    return n == d->bNumEndpoints;
}
