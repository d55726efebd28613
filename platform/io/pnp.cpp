// Device interfaces, power requests, and the PnP and power requests that the
// system sends to a device stack.
#include <cstdio>

#include "platform/io/io_internal.h"
#include "platform/kernel/emu.h"
#include "platform/kernel/emu_hooks.h"

namespace
{
const ULONG STRING_TAG = POOL_TAG("Strg"); // freed by RtlFreeUnicodeString
const ULONG POWER_TAG = POOL_TAG("PoRq");
const ULONGLONG SYSTEM_WAIT_MS = 10000;

std::u16string GuidText(const GUID& g)
{
    char buf[40];
    snprintf(buf, sizeof(buf), "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}",
             (unsigned)g.Data1, g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3],
             g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    std::u16string r;
    for (const char* p = buf; *p; ++p)
        r += (char16_t)*p;
    return r;
}

NTSTATUS AllocateString(PUNICODE_STRING s, const std::u16string& text)
{
    size_t bytes = (text.size() + 1) * sizeof(WCHAR);
    if (bytes > MAXUSHORT)
        return STATUS_INVALID_PARAMETER;
    auto* buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, bytes, STRING_TAG));
    if (buffer == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    memcpy(buffer, text.data(), text.size() * sizeof(WCHAR));
    buffer[text.size()] = 0;
    s->Buffer = buffer;
    s->Length = (USHORT)(text.size() * sizeof(WCHAR));
    s->MaximumLength = (USHORT)bytes;
    return STATUS_SUCCESS;
}

PDEVICE_OBJECT CheckPdo(PDEVICE_OBJECT pdo, const char* what)
{
    IoDeviceInfo* info = IoInfo(pdo);
    if (info == nullptr || info->Deleted || !info->Pdo)
    {
        EmuReportFailure("%s on %p, which is not a physical device object", what, (void*)pdo);
        return nullptr;
    }
    return IoGetAttachedDevice(pdo);
}
} // namespace

// ----------------------------------------------------------------------------
// Device interfaces

NTSTATUS IoRegisterDeviceInterface(PDEVICE_OBJECT physicalDeviceObject,
                                   const GUID* interfaceClassGuid, PUNICODE_STRING referenceString,
                                   PUNICODE_STRING symbolicLinkName)
{
    PAGED_CODE();
    IoDeviceInfo* info = IoInfo(physicalDeviceObject);
    if (info == nullptr || info->Deleted || !info->Pdo)
        return STATUS_INVALID_DEVICE_REQUEST;
    if (interfaceClassGuid == nullptr || symbolicLinkName == nullptr)
        return STATUS_INVALID_PARAMETER;
    std::u16string reference;
    if (referenceString != nullptr && referenceString->Length != 0)
    {
        if (!IoValidUnicode(referenceString))
            return STATUS_INVALID_PARAMETER;
        reference = IoFromUnicode(referenceString);
        if (reference.find(u'\\') != std::u16string::npos ||
            reference.find(u'/') != std::u16string::npos)
            return STATUS_INVALID_DEVICE_REQUEST;
    }
    std::u16string instance = info->InstancePath;
    for (auto& c : instance)
        if (c == u'\\')
            c = u'#';
    std::u16string link = u"\\??\\" + instance + u"#" + GuidText(*interfaceClassGuid);
    if (!reference.empty())
        link += u"\\" + reference;

    IoState& io = Io();
    bool known = false;
    for (auto& r : io.Interfaces)
        if (IoUpper(r.SymbolicLink) == IoUpper(link))
            known = true;
    NTSTATUS status = AllocateString(symbolicLinkName, link);
    if (!NT_SUCCESS(status))
        return status;
    if (!known)
        io.Interfaces.push_back(
            EmuDeviceInterface{physicalDeviceObject, *interfaceClassGuid, reference, link, false});
    return STATUS_SUCCESS;
}

NTSTATUS IoSetDeviceInterfaceState(PUNICODE_STRING symbolicLinkName, BOOLEAN enable)
{
    PAGED_CODE();
    if (!IoValidUnicode(symbolicLinkName))
        return STATUS_INVALID_PARAMETER;
    std::u16string link = IoUpper(IoFromUnicode(symbolicLinkName));
    for (auto& r : Io().Interfaces)
        if (IoUpper(r.SymbolicLink) == link)
        {
            if (enable && r.Enabled)
                return STATUS_OBJECT_NAME_EXISTS;
            if (!enable && !r.Enabled)
                return STATUS_OBJECT_NAME_NOT_FOUND;
            r.Enabled = enable != FALSE;
            return STATUS_SUCCESS;
        }
    return STATUS_OBJECT_NAME_NOT_FOUND;
}

std::vector<EmuDeviceInterface> EmuDeviceInterfaces()
{
    return Io().Interfaces;
}

NTSTATUS EmuOpenDeviceInterface(const WCHAR* symbolicLink, PFILE_OBJECT* fileObject)
{
    *fileObject = nullptr;
    std::u16string link = IoUpper(symbolicLink ? symbolicLink : u"");
    for (auto& r : Io().Interfaces)
        if (IoUpper(r.SymbolicLink) == link)
        {
            if (!r.Enabled)
                return STATUS_OBJECT_NAME_NOT_FOUND;
            std::u16string name = r.ReferenceString.empty() ? u"" : u"\\" + r.ReferenceString;
            return EmuOpenFile(r.PhysicalDeviceObject, name.data(),
                               (ULONG)(name.size() * sizeof(WCHAR)), nullptr, UserMode, fileObject);
        }
    return STATUS_OBJECT_NAME_NOT_FOUND;
}

// ----------------------------------------------------------------------------
// Power requests

namespace
{
struct PowerRequest
{
    PREQUEST_POWER_COMPLETE Function;
    PVOID Context;
    PDEVICE_OBJECT Device;
    PDEVICE_OBJECT Top;
    UCHAR Minor;
    POWER_STATE State;
    PIRP Irp;
};

// A stack whose power handlers are pageable gets its requests at
// PASSIVE_LEVEL from a worker thread, whatever the requester's IRQL.
void SendPowerRequestFromWorker(void* context)
{
    auto* request = static_cast<PowerRequest*>(context);
    IoCallDriver(request->Top, request->Irp);
}

NTSTATUS PowerRequestComplete(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    auto* request = static_cast<PowerRequest*>(context);
    if (request->Function != nullptr)
        request->Function(request->Device, request->Minor, request->State, request->Context,
                          &irp->IoStatus);
    ObDereferenceObject(request->Top);
    ExFreePoolWithTag(request, POWER_TAG);
    IoFreeIrpInternal(irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}
} // namespace

NTSTATUS PoRequestPowerIrp(PDEVICE_OBJECT deviceObject, UCHAR minorFunction, POWER_STATE powerState,
                           PREQUEST_POWER_COMPLETE completionFunction, PVOID context, PIRP* irpOut)
{
    if (KeGetCurrentIrql() > DISPATCH_LEVEL)
        EmuReportFailure("PoRequestPowerIrp at IRQL %d", KeGetCurrentIrql());
    if (minorFunction != IRP_MN_SET_POWER && minorFunction != IRP_MN_QUERY_POWER &&
        minorFunction != IRP_MN_WAIT_WAKE)
        return STATUS_INVALID_PARAMETER_2;
    if (!IoIsDevice(deviceObject))
    {
        EmuReportFailure("PoRequestPowerIrp for %p, which is not a device object",
                         (void*)deviceObject);
        return STATUS_INVALID_PARAMETER_1;
    }
    if (minorFunction != IRP_MN_WAIT_WAKE && (powerState.DeviceState <= PowerDeviceUnspecified ||
                                              powerState.DeviceState >= PowerDeviceMaximum))
        return STATUS_INVALID_PARAMETER_3;
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(deviceObject);
    auto* request = static_cast<PowerRequest*>(
        ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(PowerRequest), POWER_TAG));
    PIRP irp = request ? IoAllocateSystemIrp((CCHAR)(top->StackSize + 1), FALSE) : nullptr;
    if (irp == nullptr)
    {
        if (request != nullptr)
            ExFreePoolWithTag(request, POWER_TAG);
        ObDereferenceObject(top);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    *request = PowerRequest{completionFunction, context,    deviceObject, top,
                            minorFunction,      powerState, irp};
    IoSetNextIrpStackLocation(irp); // the power manager's own location
    IoGetCurrentIrpStackLocation(irp)->DeviceObject = deviceObject;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->RequestorMode = KernelMode;
    IoSetCompletionRoutine(irp, PowerRequestComplete, request, TRUE, TRUE, TRUE);
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = IRP_MJ_POWER;
    stack->MinorFunction = minorFunction;
    if (minorFunction == IRP_MN_WAIT_WAKE)
        stack->Parameters.WaitWake.PowerState = powerState.SystemState;
    else
    {
        stack->Parameters.Power.Type = DevicePowerState;
        stack->Parameters.Power.State = powerState;
        stack->Parameters.Power.ShutdownType = PowerActionNone;
    }
    if (irpOut != nullptr)
        *irpOut = irp;
    if (KeGetCurrentIrql() != PASSIVE_LEVEL && (top->Flags & DO_POWER_PAGABLE) != 0)
    {
        EmuQueueSystemWork(SendPowerRequestFromWorker, request);
        return STATUS_PENDING;
    }
    IoCallDriver(top, irp);
    return STATUS_PENDING;
}

void PoStartNextPowerIrp(PIRP irp)
{
    if (irp == nullptr || irp->EmuMagic != IRP_MAGIC)
        EmuReportFailure("PoStartNextPowerIrp on %p, which is not an IRP", (void*)irp);
}

NTSTATUS PoCallDriver(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    if (irp != nullptr && irp->EmuMagic == IRP_MAGIC &&
        IoGetNextIrpStackLocation(irp)->MajorFunction != IRP_MJ_POWER)
        EmuReportFailure("PoCallDriver with IRP %p that is not a power request", (void*)irp);
    return IoCallDriver(deviceObject, irp);
}

// ----------------------------------------------------------------------------
// Requests of the PnP and power managers

NTSTATUS EmuPnpAddDevice(PDRIVER_OBJECT driverObject, PDEVICE_OBJECT pdo)
{
    if (CheckPdo(pdo, "EmuPnpAddDevice") == nullptr)
        return STATUS_INVALID_PARAMETER;
    if (driverObject->DriverExtension->AddDevice == nullptr)
        return STATUS_NOT_SUPPORTED;
    return driverObject->DriverExtension->AddDevice(driverObject, pdo);
}

namespace
{
NTSTATUS SendPnp(PDEVICE_OBJECT pdo, UCHAR minor, ULONG_PTR* information,
                 void (*fill)(PIO_STACK_LOCATION, void*), void* fillContext)
{
    if (CheckPdo(pdo, "PnP request") == nullptr)
        return STATUS_INVALID_PARAMETER;
    // The PnP manager holds the stack's top while the request is in it: a
    // driver that deletes its device on removal frees it only afterwards.
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(pdo);
    PIRP irp = nullptr;
    {
        EmuPoolUnfailing unfailing; // the PnP and power managers' own IRP
        irp = IoAllocateSyncIrp(top);
    }
    if (irp == nullptr)
    {
        ObDereferenceObject(top);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = IRP_MJ_PNP;
    stack->MinorFunction = minor;
    if (fill != nullptr)
        fill(stack, fillContext);
    NTSTATUS status = IoSendAndWait(top, irp, SYSTEM_WAIT_MS, information);
    if (status != STATUS_PENDING)
        ObDereferenceObject(top);
    return status;
}

struct StartParams
{
    PCM_RESOURCE_LIST Raw;
    PCM_RESOURCE_LIST Translated;
};

struct InterfaceParams
{
    const GUID* Type;
    USHORT Size;
    USHORT Version;
    PINTERFACE Interface;
    PVOID Specific;
};
} // namespace

NTSTATUS EmuPnpStartDevice(PDEVICE_OBJECT pdo, PCM_RESOURCE_LIST resources,
                           PCM_RESOURCE_LIST translated)
{
    StartParams p{resources, translated};
    return SendPnp(
        pdo, IRP_MN_START_DEVICE, nullptr,
        [](PIO_STACK_LOCATION s, void* c)
        {
            auto* p = static_cast<StartParams*>(c);
            s->Parameters.StartDevice.AllocatedResources = p->Raw;
            s->Parameters.StartDevice.AllocatedResourcesTranslated = p->Translated;
        },
        &p);
}

NTSTATUS EmuPnpSendMinor(PDEVICE_OBJECT pdo, UCHAR minorFunction, ULONG_PTR* information)
{
    return SendPnp(pdo, minorFunction, information, nullptr, nullptr);
}

NTSTATUS EmuPnpQueryInterface(PDEVICE_OBJECT pdo, const GUID& interfaceType, USHORT size,
                              USHORT version, PINTERFACE interface, PVOID specificData)
{
    InterfaceParams p{&interfaceType, size, version, interface, specificData};
    return SendPnp(
        pdo, IRP_MN_QUERY_INTERFACE, nullptr,
        [](PIO_STACK_LOCATION s, void* c)
        {
            auto* p = static_cast<InterfaceParams*>(c);
            s->Parameters.QueryInterface.InterfaceType = p->Type;
            s->Parameters.QueryInterface.Size = p->Size;
            s->Parameters.QueryInterface.Version = p->Version;
            s->Parameters.QueryInterface.Interface = p->Interface;
            s->Parameters.QueryInterface.InterfaceSpecificData = p->Specific;
        },
        &p);
}

namespace
{
NTSTATUS SendPower(PDEVICE_OBJECT pdo, UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state)
{
    if (CheckPdo(pdo, "power request") == nullptr)
        return STATUS_INVALID_PARAMETER;
    if (minor != IRP_MN_SET_POWER && minor != IRP_MN_QUERY_POWER)
        return STATUS_INVALID_PARAMETER_2;
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(pdo);
    PIRP irp = nullptr;
    {
        EmuPoolUnfailing unfailing; // the PnP and power managers' own IRP
        irp = IoAllocateSyncIrp(top);
    }
    if (irp == nullptr)
    {
        ObDereferenceObject(top);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = IRP_MJ_POWER;
    stack->MinorFunction = minor;
    stack->Parameters.Power.Type = type;
    stack->Parameters.Power.State = state;
    stack->Parameters.Power.ShutdownType =
        type == SystemPowerState && state.SystemState >= PowerSystemSleeping1 ? PowerActionSleep
                                                                              : PowerActionNone;
    NTSTATUS status = IoSendAndWait(top, irp, SYSTEM_WAIT_MS, nullptr);
    if (status != STATUS_PENDING)
        ObDereferenceObject(top);
    return status;
}
} // namespace

NTSTATUS EmuPoSendDevicePower(PDEVICE_OBJECT pdo, UCHAR minorFunction, DEVICE_POWER_STATE state)
{
    POWER_STATE s;
    s.DeviceState = state;
    return SendPower(pdo, minorFunction, DevicePowerState, s);
}

NTSTATUS EmuPoSendSystemPower(PDEVICE_OBJECT pdo, UCHAR minorFunction, SYSTEM_POWER_STATE state)
{
    POWER_STATE s;
    s.SystemState = state;
    return SendPower(pdo, minorFunction, SystemPowerState, s);
}
