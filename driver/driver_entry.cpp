// Driver entry and the adapter device's creation. The port-class library does
// the work of an audio adapter driver; the driver puts its own routines in
// front of four of the library's dispatch entries and registers the private
// interfaces that the user-mode ASIO driver and the enumeration look for.
#include "driver/driver_entry.h"

#include "asio/asio_process_watch.h"
#include "framework/adapter_extension.h"
#include "driver/dispatch.h"
#include "driver/start_device.h"

namespace
{
// The running system is at least `version`. Every kernel the driver loads
// into exports the NTDDI query.
bool IsSystemVersionAvailable(ULONG version)
{
    return RtlIsNtDdiVersionAvailable(version) != FALSE;
}

PDRIVER_UNLOAD g_LibraryUnload = nullptr;

// The process-exit notification goes before the code it calls.
void DriverUnload(PDRIVER_OBJECT driverObject)
{
    PAGED_CODE();
    AsioProcessWatchStop();
    if (g_LibraryUnload != nullptr)
        g_LibraryUnload(driverObject);
}
} // namespace

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath)
{
    if (!IsSystemVersionAvailable(DRIVER_MINIMUM_NTDDI))
        return STATUS_UNSUCCESSFUL;

    NTSTATUS status = PcInitializeAdapterDriver(driverObject, registryPath, AddDevice);
    if (NT_SUCCESS(status))
    {
        // After the library has filled the table, so that PcDispatchIrp still
        // reaches the library's own handling.
        driverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
        driverObject->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
        driverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
        driverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
        // A held ASIO request keeps its file from closing, so cleanup is the
        // last moment it can be completed.
        driverObject->MajorFunction[IRP_MJ_CLEANUP] = DispatchCleanup;
        // An ASIO owner's process may end while another holds its file.
        status = AsioProcessWatchStart();
    }
    if (NT_SUCCESS(status))
    {
        g_LibraryUnload = driverObject->DriverUnload;
        driverObject->DriverUnload = DriverUnload;
    }

    RtlInitUnicodeString(&g_AsioReferenceString, u"LTASIOPrivateInterface");
    RtlInitUnicodeString(&g_AsioFileName, u"\\LTASIOPrivateInterface");
    RtlInitUnicodeString(&g_EnumReferenceString, u"LTEnumPrivateInterface");
    RtlInitUnicodeString(&g_EnumFileName, u"\\LTEnumPrivateInterface");
    return status;
}

NTSTATUS AddDevice(PDRIVER_OBJECT driverObject, PDEVICE_OBJECT physicalDeviceObject)
{
    PAGED_CODE();
    // What sits on the physical device now is what our requests go down to.
    PDEVICE_OBJECT lower = IoGetAttachedDeviceReference(physicalDeviceObject);
    NTSTATUS status =
        PcAddAdapterDevice(driverObject, physicalDeviceObject, StartDevice, ADAPTER_MAX_SUBDEVICES,
                           PORT_CLASS_DEVICE_EXTENSION_SIZE + sizeof(AdapterExtension));
    if (!NT_SUCCESS(status))
    {
        ObDereferenceObject(lower);
        return status;
    }

    PDEVICE_OBJECT adapterDevice = IoGetAttachedDeviceReference(physicalDeviceObject);
    AdapterExtension* extension = GetAdapterExtension(adapterDevice);
    RtlZeroMemory(extension, sizeof(*extension));
    extension->FunctionalDeviceObject = adapterDevice;
    extension->LowerDeviceObject = lower;
    extension->PhysicalDeviceObject = physicalDeviceObject;
    KeInitializeMutex(&extension->ExtensionMutex, 0);
    ObDereferenceObject(adapterDevice);

    // The enumeration interface is a convenience: the device works without it.
    status = IoRegisterDeviceInterface(physicalDeviceObject, &GUID_DEVINTERFACE_ENUM_PRIVATE,
                                       &g_EnumReferenceString, &extension->EnumSymbolicLink);
    if (NT_SUCCESS(status))
        extension->EnumLinkRegistered = TRUE;

    status = IoRegisterDeviceInterface(physicalDeviceObject, &GUID_DEVINTERFACE_ASIO_PRIVATE,
                                       &g_AsioReferenceString, &extension->AsioSymbolicLink);
    if (NT_SUCCESS(status))
        extension->AsioLinkRegistered = TRUE;
    return status;
}
