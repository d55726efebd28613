// The adapter's requests to the USB stack below the driver: synchronous URBs,
// plain IRP forwarding, port status, reset and cycle, the descriptor reads,
// the configuration selection and the USBDI bus interface.
#include "driver/adapter_common.h"
#include "platform/usb/usbdlib.h"

namespace
{
constexpr USHORT c_DescriptorUrbSize = sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);

PVOID AllocateZeroed(SIZE_T bytes)
{
    PVOID block = ExAllocatePoolWithTag(NonPagedPool, bytes, USB_IO_POOL_TAG);
    if (block != nullptr)
        RtlZeroMemory(block, bytes);
    return block;
}

void FreeBlock(PVOID block)
{
    if (block != nullptr)
        ExFreePoolWithTag(block, USB_IO_POOL_TAG);
}
} // namespace

NTSTATUS CAdapterCommon::IoCompletionSetEvent(PDEVICE_OBJECT, PIRP, PVOID context)
{
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    // The IRP stays the sender's.
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// ----------------------------------------------------------------------------
// Fields

PUSB_CONFIGURATION_DESCRIPTOR CAdapterCommon::GetConfigurationDescriptor()
{
    return m_ConfigurationDescriptor;
}

USBD_CONFIGURATION_HANDLE CAdapterCommon::GetConfigurationHandle()
{
    return m_ConfigurationHandle;
}

UCHAR CAdapterCommon::GetAudioControlInterfaceNumber()
{
    return m_AudioControlInterfaceNumber;
}

NTSTATUS CAdapterCommon::SetDevicePresent(UCHAR present)
{
    m_DevicePresent = present;
    return STATUS_SUCCESS;
}

PDEVICE_OBJECT CAdapterCommon::GetLowerDeviceObject()
{
    return m_NextDeviceObject;
}

BOOLEAN CAdapterCommon::IsHighSpeed()
{
    return m_HighSpeed;
}

LONG CAdapterCommon::IncrementActiveStreamCount()
{
    PAGED_CODE();
    return InterlockedIncrement(&m_ActiveStreamCount);
}

LONG CAdapterCommon::DecrementActiveStreamCount()
{
    PAGED_CODE();
    return InterlockedDecrement(&m_ActiveStreamCount);
}

// ----------------------------------------------------------------------------
// IRPs

NTSTATUS CAdapterCommon::CallLowerDriver(PIRP irp)
{
    return IofCallDriver(m_NextDeviceObject, irp);
}

PIRP CAdapterCommon::AllocateIrp()
{
    PAGED_CODE();
    return IoAllocateIrp(m_IrpStackSize, FALSE);
}

NTSTATUS CAdapterCommon::FreeIrp(PIRP irp)
{
    IoFreeIrp(irp);
    return STATUS_SUCCESS;
}

NTSTATUS CAdapterCommon::SubmitUrbSync(PURB urb)
{
    PAGED_CODE();
    if (m_DevicePresent == 0)
        return STATUS_UNSUCCESSFUL;
    if (m_DeviceGoing)
        return STATUS_DEVICE_REMOVED;
    if (urb == nullptr || m_NextDeviceObject == nullptr)
        return STATUS_INVALID_PARAMETER;
    PIRP irp = IoAllocateIrp(m_IrpStackSize, FALSE);
    if (irp == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    // The top location is the adapter's, so that the completion routine sits
    // in the lower driver's location below it.
    IoSetNextIrpStackLocation(irp);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = urb;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, IoCompletionSetEvent, &event, TRUE, TRUE, TRUE);

    InterlockedIncrement(&m_BusyCount);
    NTSTATUS status = IofCallDriver(m_NextDeviceObject, irp);
    if (status == STATUS_PENDING)
    {
        LARGE_INTEGER timeout;
        timeout.QuadPart = -URB_TIMEOUT_100NS;
        if (KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout) == STATUS_TIMEOUT)
        {
            IoCancelIrp(irp);
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        }
        status = irp->IoStatus.Status;
    }
    if (status == STATUS_DEVICE_NOT_CONNECTED)
        m_DevicePresent = 0;
    IoFreeIrp(irp);
    InterlockedDecrement(&m_BusyCount);
    return status;
}

NTSTATUS CAdapterCommon::GetCurrentFrameNumber(PULONG frameNumber)
{
    if (frameNumber == nullptr)
        return STATUS_INVALID_PARAMETER;
    *frameNumber = 0;
    if (m_UsbBusInterface.BusContext == nullptr || m_UsbBusInterface.QueryBusTime == nullptr)
        return STATUS_UNSUCCESSFUL;
    ULONG frame = 0;
    NTSTATUS status = m_UsbBusInterface.QueryBusTime(m_UsbBusInterface.BusContext, &frame);
    if (NT_SUCCESS(status))
        *frameNumber = frame;
    return status;
}

// ----------------------------------------------------------------------------
// Port status, reset and cycle

bool CAdapterCommon::SendPortRequest(ULONG ioControlCode, PVOID argument1, NTSTATUS* status)
{
    PAGED_CODE();
    // Nothing below to ask: there is no device.
    if (m_NextDeviceObject == nullptr)
    {
        *status = STATUS_DEVICE_NOT_CONNECTED;
        return true;
    }
    KEVENT event;
    IO_STATUS_BLOCK ioStatus = {};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(ioControlCode, m_NextDeviceObject, nullptr, 0, nullptr,
                                             0, TRUE, &event, &ioStatus);
    if (irp == nullptr)
        return false;
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = argument1;
    NTSTATUS result = IofCallDriver(m_NextDeviceObject, irp);
    if (result == STATUS_PENDING)
    {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        result = ioStatus.Status;
    }
    *status = result;
    return true;
}

// A request that could not be built asked nothing, so it says nothing about
// the device: the device stays as it was and a later check asks again.
BOOLEAN CAdapterCommon::ResetPortIfNeeded()
{
    PAGED_CODE();
    if (m_DevicePresent == 0)
        return TRUE;
    m_PortResetLock.Lock();
    ULONG portStatus = 0;
    NTSTATUS status = STATUS_SUCCESS;
    if (SendPortRequest(IOCTL_INTERNAL_USB_GET_PORT_STATUS, &portStatus, &status))
    {
        if (NT_SUCCESS(status))
        {
            if ((portStatus & USBD_PORT_CONNECTED) == 0)
                m_DevicePresent = 0;
        }
        else if (status == STATUS_NO_SUCH_DEVICE)
            RetryPortStatus();
        else
            m_DevicePresent = 0;
    }
    m_PortResetLock.Unlock();
    return m_DevicePresent == 0 ? TRUE : FALSE;
}

void CAdapterCommon::RetryPortStatus()
{
    PAGED_CODE();
    // One more look after a pause: the hub may have been busy.
    LARGE_INTEGER delay;
    delay.QuadPart = -PORT_RETRY_DELAY_100NS;
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
    ULONG portStatus = 0;
    NTSTATUS status = STATUS_SUCCESS;
    if (!SendPortRequest(IOCTL_INTERNAL_USB_GET_PORT_STATUS, &portStatus, &status))
        return;
    if (!NT_SUCCESS(status))
        CyclePort();
    else if ((portStatus & USBD_PORT_CONNECTED) == 0)
        m_DevicePresent = 0;
    else if (SendPortRequest(IOCTL_INTERNAL_USB_RESET_PORT, nullptr, &status) &&
             m_DevicePower != nullptr)
    {
        // A reset device lost its state: the device object stops and
        // restarts its units and streams. A reset that could not be sent
        // left the device as it was.
        POWER_STATE state;
        state.DeviceState = PowerDeviceD3;
        m_DevicePower->PowerChangeState(state);
        state.DeviceState = PowerDeviceD0;
        m_DevicePower->PowerChangeState(state);
    }
}

BOOLEAN CAdapterCommon::CyclePort()
{
    PAGED_CODE();
    if (InterlockedExchange(&m_CyclePortDone, 1) == 1)
        return m_DevicePresent == 0 ? TRUE : FALSE;
    ULONG unused = 0;
    NTSTATUS status = STATUS_SUCCESS;
    if (!SendPortRequest(IOCTL_INTERNAL_USB_CYCLE_PORT, &unused, &status))
    {
        // Not cycled: the device stays with this adapter, and a later call
        // may cycle the port.
        InterlockedExchange(&m_CyclePortDone, 0);
        return m_DevicePresent == 0 ? TRUE : FALSE;
    }
    // The bus enumerates the device anew, with a new adapter.
    m_DevicePresent = 0;
    return TRUE;
}

// ----------------------------------------------------------------------------
// Set-up

NTSTATUS CAdapterCommon::ReadUsbDescriptors()
{
    PAGED_CODE();
    auto urb = static_cast<PURB>(AllocateZeroed(c_DescriptorUrbSize));
    auto device =
        static_cast<PUSB_DEVICE_DESCRIPTOR>(AllocateZeroed(sizeof(USB_DEVICE_DESCRIPTOR)));
    auto header = static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(
        AllocateZeroed(sizeof(USB_CONFIGURATION_DESCRIPTOR)));
    NTSTATUS status = STATUS_SUCCESS;
    if (urb == nullptr || device == nullptr || header == nullptr)
        status = STATUS_INSUFFICIENT_RESOURCES;

    if (NT_SUCCESS(status))
    {
        UsbBuildGetDescriptorRequest(urb, c_DescriptorUrbSize, USB_DEVICE_DESCRIPTOR_TYPE, 0, 0,
                                     device, nullptr, sizeof(USB_DEVICE_DESCRIPTOR), nullptr);
        status = SubmitUrbSync(urb);
        // A short answer leaves fields that were never sent.
        if (NT_SUCCESS(status) &&
            urb->UrbControlDescriptorRequest.TransferBufferLength < sizeof(USB_DEVICE_DESCRIPTOR))
            status = STATUS_DEVICE_DATA_ERROR;
        if (NT_SUCCESS(status))
        {
            m_idVendor = device->idVendor;
            m_idProduct = device->idProduct;
            m_iManufacturer = device->iManufacturer;
            m_iProduct = device->iProduct;
        }
    }

    ULONG totalLength = 0;
    if (NT_SUCCESS(status))
    {
        RtlZeroMemory(urb, c_DescriptorUrbSize);
        UsbBuildGetDescriptorRequest(urb, c_DescriptorUrbSize, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0,
                                     0, header, nullptr, sizeof(USB_CONFIGURATION_DESCRIPTOR),
                                     nullptr);
        status = SubmitUrbSync(urb);
        if (NT_SUCCESS(status))
        {
            totalLength = header->wTotalLength;
            // Nothing may walk a configuration that cannot even hold its own
            // header.
            if (urb->UrbControlDescriptorRequest.TransferBufferLength <
                    sizeof(USB_CONFIGURATION_DESCRIPTOR) ||
                totalLength < sizeof(USB_CONFIGURATION_DESCRIPTOR))
                status = STATUS_DEVICE_DATA_ERROR;
        }
    }

    if (NT_SUCCESS(status))
    {
        auto configuration =
            static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(AllocateZeroed(totalLength));
        if (configuration == nullptr)
            status = STATUS_INSUFFICIENT_RESOURCES;
        else
        {
            RtlZeroMemory(urb, c_DescriptorUrbSize);
            UsbBuildGetDescriptorRequest(urb, c_DescriptorUrbSize,
                                         USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, configuration,
                                         nullptr, totalLength, nullptr);
            status = SubmitUrbSync(urb);
            // The walks trust wTotalLength: it must be what was allocated and
            // received.
            if (NT_SUCCESS(status) &&
                (urb->UrbControlDescriptorRequest.TransferBufferLength < totalLength ||
                 configuration->wTotalLength != totalLength))
                status = STATUS_DEVICE_DATA_ERROR;
            if (NT_SUCCESS(status))
            {
                FreeBlock(m_ConfigurationDescriptor);
                m_ConfigurationDescriptor = configuration;
            }
            else
                FreeBlock(configuration);
        }
    }

    FreeBlock(header);
    FreeBlock(device);
    FreeBlock(urb);
    return status;
}

NTSTATUS CAdapterCommon::SelectConfiguration()
{
    PAGED_CODE();
    PUSB_CONFIGURATION_DESCRIPTOR configuration = m_ConfigurationDescriptor;
    if (configuration == nullptr)
        return STATUS_UNSUCCESSFUL;
    const ULONG wanted = configuration->bNumInterfaces;
    if (wanted == 0)
        return STATUS_UNSUCCESSFUL;
    auto list = static_cast<PUSBD_INTERFACE_LIST_ENTRY>(
        AllocateZeroed((wanted + 1) * sizeof(USBD_INTERFACE_LIST_ENTRY)));
    if (list == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;

    // Interface numbers need not be contiguous; the numbers a byte can hold
    // end the search when the configuration has fewer interfaces than it
    // claims.
    ULONG found = 0;
    for (ULONG number = 0; number <= 0xFF && found < wanted; ++number)
    {
        PUSB_INTERFACE_DESCRIPTOR descriptor = USBD_ParseConfigurationDescriptorEx(
            configuration, configuration, (LONG)number, 0, -1, -1, -1);
        if (descriptor != nullptr)
            list[found++].InterfaceDescriptor = descriptor;
    }
    if (found == 0)
    {
        FreeBlock(list);
        return STATUS_UNSUCCESSFUL;
    }

    PURB urb = USBD_CreateConfigurationRequestEx(configuration, list);
    if (urb == nullptr)
    {
        FreeBlock(list);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PUSBD_INTERFACE_INFORMATION first = list[0].Interface;
    for (ULONG i = 0; i < first->NumberOfPipes; ++i)
    {
        first->Pipes[i].MaximumTransferSize = 0xFFFFFFFF;
        first->Pipes[i].PipeFlags = 0;
        first->Pipes[i].PipeHandle = nullptr;
    }

    NTSTATUS status = SubmitUrbSync(urb);
    if (NT_SUCCESS(status))
    {
        FreeInterfaceInformation();
        auto copies = static_cast<PUSBD_INTERFACE_INFORMATION*>(
            AllocateZeroed(found * sizeof(PUSBD_INTERFACE_INFORMATION)));
        if (copies == nullptr)
            status = STATUS_INSUFFICIENT_RESOURCES;
        else
        {
            const ULONG urbLength = urb->UrbHeader.Length;
            ULONG offset = offsetof(struct _URB_SELECT_CONFIGURATION, Interface);
            for (ULONG i = 0; i < found && NT_SUCCESS(status); ++i)
            {
                // The record's own header must lie inside the URB before its
                // length is read.
                if (urbLength < GET_USBD_INTERFACE_SIZE(0) ||
                    offset > urbLength - GET_USBD_INTERFACE_SIZE(0))
                {
                    status = STATUS_DEVICE_DATA_ERROR;
                    break;
                }
                auto record = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(
                    reinterpret_cast<PUCHAR>(urb) + offset);
                const ULONG length = record->Length;
                // Consumers walk NumberOfPipes entries of the copy.
                if (length < GET_USBD_INTERFACE_SIZE(0) || length > urbLength - offset ||
                    record->NumberOfPipes >
                        (length - GET_USBD_INTERFACE_SIZE(0)) / sizeof(USBD_PIPE_INFORMATION))
                {
                    status = STATUS_DEVICE_DATA_ERROR;
                    break;
                }
                copies[i] = static_cast<PUSBD_INTERFACE_INFORMATION>(AllocateZeroed(length));
                if (copies[i] == nullptr)
                    status = STATUS_INSUFFICIENT_RESOURCES;
                else
                    RtlCopyMemory(copies[i], record, length);
                offset += length;
            }
            if (NT_SUCCESS(status))
            {
                m_InterfaceInformation = copies;
                m_InterfaceCount = found;
            }
            else
            {
                for (ULONG i = 0; i < found; ++i)
                    FreeBlock(copies[i]);
                FreeBlock(copies);
            }
        }
        m_ConfigurationHandle = urb->UrbSelectConfiguration.ConfigurationHandle;
    }

    FreeBlock(list);
    ExFreePool(urb);
    return status;
}

NTSTATUS CAdapterCommon::QueryUsbBusInterface()
{
    PAGED_CODE();
    PIRP irp = IoAllocateIrp(m_IrpStackSize, FALSE);
    if (irp == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    // Every PnP request starts out as not supported.
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    IoSetNextIrpStackLocation(irp);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_PNP;
    next->MinorFunction = IRP_MN_QUERY_INTERFACE;
    next->Parameters.QueryInterface.InterfaceType = &USB_BUS_INTERFACE_USBDI_GUID;
    next->Parameters.QueryInterface.Size = sizeof(USB_BUS_INTERFACE_USBDI_V1);
    next->Parameters.QueryInterface.Version = USB_BUSIF_USBDI_VERSION_1;
    next->Parameters.QueryInterface.Interface = reinterpret_cast<PINTERFACE>(&m_UsbBusInterface);
    next->Parameters.QueryInterface.InterfaceSpecificData = nullptr;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, IoCompletionSetEvent, &event, TRUE, TRUE, TRUE);

    m_HighSpeed = 0;
    NTSTATUS status = IofCallDriver(m_NextDeviceObject, irp);
    if (status == STATUS_PENDING)
    {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = irp->IoStatus.Status;
    }
    if (NT_SUCCESS(status) && m_UsbBusInterface.BusContext != nullptr)
    {
        // A version 0 answer has no speed query.
        if (m_UsbBusInterface.Version >= USB_BUSIF_USBDI_VERSION_1 &&
            m_UsbBusInterface.IsDeviceHighSpeed != nullptr)
            m_HighSpeed = m_UsbBusInterface.IsDeviceHighSpeed(m_UsbBusInterface.BusContext) ? 1 : 0;
    }
    else
    {
        m_UsbBusInterface.BusContext = nullptr;
        status = STATUS_UNSUCCESSFUL;
    }
    IoFreeIrp(irp);
    return status;
}
