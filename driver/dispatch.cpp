// Dispatch of the adapter device's PnP, create, close and device-control
// requests. Removal and surprise removal take the driver's own subdevices and
// interfaces down around the library's handling; opening and closing the ASIO
// file name creates and drops an ASIO client.
#include "driver/dispatch.h"

#include "framework/adapter_interfaces.h"
#include "framework/adapter_extension.h"
#include "framework/stream_engine.h"

namespace
{
// The device may be suspended: bring it back before the request touches it.
void WakeAdapter(AdapterExtension* extension, PIRP irp)
{
    if (extension != nullptr && IoGetCurrentIrpStackLocation(irp) != nullptr &&
        extension->Adapter != nullptr)
        extension->Adapter->WakeFromIdle(irp);
}

// The current request names the ASIO file.
bool IsAsioRequest(PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    return stack != nullptr && IsAsioFileObject(stack->FileObject);
}

// Requests the adapter holds for ASIO clients complete: the file's (its last
// handle is closing), or every one (null: the device is going).
void CancelHeldAsioRequests(PADAPTERCOMMON adapter, PFILE_OBJECT fileObject)
{
    PASIOCLEANUP cleanup = nullptr;
    if (adapter == nullptr ||
        !NT_SUCCESS(adapter->QueryInterface(IID_IAsioCleanup, (PVOID*)&cleanup)))
        return;
    if (fileObject != nullptr)
        cleanup->CancelHeldRequests(fileObject);
    else
        cleanup->CancelAllHeldRequests();
    cleanup->Release();
}

// Create opens an ASIO client, close drops it. The request completes here.
NTSTATUS DispatchAsioOpenOrClose(AdapterExtension* extension, PIRP irp, bool open)
{
    PFILE_OBJECT fileObject = IoGetCurrentIrpStackLocation(irp)->FileObject;
    PASIOPRIVATE asio = nullptr;
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    // After removal the adapter is gone: a late close finds nothing to reach.
    if (extension != nullptr && extension->Adapter != nullptr &&
        NT_SUCCESS(extension->Adapter->QueryInterface(IID_IAsioPrivate, (PVOID*)&asio)))
        status = open ? asio->AsioOpenClient(fileObject) : asio->AsioCloseClient(fileObject);
    if (NT_SUCCESS(status))
        irp->IoStatus.Status = STATUS_SUCCESS;
    else
    {
        status = STATUS_UNSUCCESSFUL;
        irp->IoStatus.Status = status;
    }
    irp->IoStatus.Information = 0;
    if (asio != nullptr)
        asio->Release();
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS DispatchCreateOrClose(PDEVICE_OBJECT deviceObject, PIRP irp, bool open)
{
    PAGED_CODE();
    AdapterExtension* extension = GetAdapterExtension(deviceObject);
    WakeAdapter(extension, irp);
    if (!IsAsioRequest(irp))
        return PcDispatchIrp(deviceObject, irp);
    return DispatchAsioOpenOrClose(extension, irp, open);
}

// Stops the device object's units and takes each engine's wave subdevice
// away, stopping at the first engine that cannot be reached or removed.
void RemoveEngineSubdevices(PDEVICE_OBJECT deviceObject, PADAPTERCOMMON adapter, bool report)
{
    PUNKNOWN unknown = nullptr;
    if (!NT_SUCCESS(adapter->QueryInterface(IID_IUnknown, (PVOID*)&unknown)))
        return;
    const ULONG count = adapter->GetEngineCount();
    for (ULONG index = 0; index < count; ++index)
    {
        CStreamEngine* engine = nullptr;
        if (!NT_SUCCESS(adapter->GetEngine(index, &engine)) || engine == nullptr)
            break;
        if (!NT_SUCCESS(engine->RemoveMiniport(deviceObject)))
        {
            if (report)
                DbgPrint("Remove Miniport Failed StreamEngine ulIdx = %d\n", index);
            break;
        }
    }
    unknown->Release();
}

// Disables an enabled interface; the link string stays.
void DisableInterface(PUNICODE_STRING link, BOOLEAN* enabled)
{
    if (*enabled)
    {
        IoSetDeviceInterfaceState(link, FALSE);
        *enabled = FALSE;
    }
}

// Disables the interface and gives its link string back.
void DropInterface(PUNICODE_STRING link, BOOLEAN* enabled, BOOLEAN* registered)
{
    DisableInterface(link, enabled);
    if (*registered)
    {
        RtlFreeUnicodeString(link);
        *registered = FALSE;
    }
}

NTSTATUS RemoveDevice(PDEVICE_OBJECT deviceObject, PIRP irp, AdapterExtension* extension)
{
    DropInterface(&extension->AsioSymbolicLink, &extension->AsioInterfaceEnabled,
                  &extension->AsioLinkRegistered);
    DropInterface(&extension->EnumSymbolicLink, &extension->EnumInterfaceEnabled,
                  &extension->EnumLinkRegistered);
    PADAPTERCOMMON adapter = extension->Adapter;
    CancelHeldAsioRequests(adapter, nullptr);
    if (adapter != nullptr)
    {
        adapter->StopAllUnits();
        RemoveEngineSubdevices(deviceObject, adapter, true);
    }

    NTSTATUS status = PcDispatchIrp(deviceObject, irp);
    if (NT_SUCCESS(status))
    {
        if (extension->LowerDeviceObject != nullptr)
        {
            ObDereferenceObject(extension->LowerDeviceObject);
            extension->LowerDeviceObject = nullptr;
        }
        // A request that arrives late (a close on a handle still open) must
        // find no adapter rather than the one released here.
        extension->Adapter = nullptr;
        if (adapter != nullptr)
            adapter->Release();
    }
    return status;
}

NTSTATUS SurpriseRemoveDevice(PDEVICE_OBJECT deviceObject, PIRP irp, AdapterExtension* extension)
{
    PADAPTERCOMMON adapter = extension->Adapter;
    PUNKNOWN unknown = nullptr;
    // The device will not return to D0 for a stop it holds.
    CancelHeldAsioRequests(adapter, nullptr);
    if (adapter != nullptr && NT_SUCCESS(adapter->QueryInterface(IID_IUnknown, (PVOID*)&unknown)))
    {
        adapter->StopAllUnits();
        RemoveEngineSubdevices(deviceObject, adapter, false);
        unknown->Release();
    }
    NTSTATUS status = PcDispatchIrp(deviceObject, irp);
    DisableInterface(&extension->AsioSymbolicLink, &extension->AsioInterfaceEnabled);
    DisableInterface(&extension->EnumSymbolicLink, &extension->EnumInterfaceEnabled);
    return status;
}
} // namespace

bool IsAsioFileObject(PFILE_OBJECT fileObject)
{
    if (fileObject == nullptr || fileObject->FileName.Buffer == nullptr)
        return false;
    return RtlEqualUnicodeString(&fileObject->FileName, &g_AsioFileName, TRUE) != FALSE;
}

NTSTATUS DispatchCreate(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    return DispatchCreateOrClose(deviceObject, irp, true);
}

NTSTATUS DispatchClose(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    return DispatchCreateOrClose(deviceObject, irp, false);
}

NTSTATUS DispatchCleanup(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    PAGED_CODE();
    AdapterExtension* extension = GetAdapterExtension(deviceObject);
    if (IsAsioRequest(irp) && extension != nullptr)
        CancelHeldAsioRequests(extension->Adapter, IoGetCurrentIrpStackLocation(irp)->FileObject);
    return PcDispatchIrp(deviceObject, irp);
}

NTSTATUS DispatchDeviceControl(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    PAGED_CODE();
    WakeAdapter(GetAdapterExtension(deviceObject), irp);
    if (!IsAsioRequest(irp))
        return PcDispatchIrp(deviceObject, irp);
    return DispatchAsioDeviceControl(deviceObject, irp);
}

NTSTATUS DispatchPnp(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    PAGED_CODE();
    AdapterExtension* extension = GetAdapterExtension(deviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (extension == nullptr || stack == nullptr)
        return PcDispatchIrp(deviceObject, irp);
    const UCHAR minor = stack->MinorFunction;
    if (minor != IRP_MN_START_DEVICE && extension->Adapter != nullptr)
        extension->Adapter->WakeFromIdle(irp);
    switch (minor)
    {
    case IRP_MN_REMOVE_DEVICE:
        return RemoveDevice(deviceObject, irp, extension);
    case IRP_MN_SURPRISE_REMOVAL:
        return SurpriseRemoveDevice(deviceObject, irp, extension);
    default:
        return PcDispatchIrp(deviceObject, irp);
    }
}
