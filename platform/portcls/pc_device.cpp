// The adapter device: driver initialisation, device creation, IRP dispatch
// (PnP, power, create, close, device control), subdevice and connection
// registration, power management, device properties and DRM forwarding.
#include "platform/kernel/emu.h"
#include "platform/portcls/pc_port_wavecyclic.h"

std::vector<PcDrmForwardRecord> g_PcDrmForwards;
DWORD g_PcVersion = kVersionWinServer2003_UAAQFE;

namespace
{
constexpr ULONG kDeviceMagic = 0x50634476; // "PcDv"
constexpr ULONG kFileMagic = 0x50634669;   // "PcFi"

struct ReservedArea
{
    PcDeviceContext* Context;
    ULONG_PTR Magic;
};

// ----------------------------------------------------------------------------
// Resource lists handed to StartDevice
class CResourceList : public CUnknown, public IResourceList
{
  public:
    CResourceList(PCM_RESOURCE_LIST translated, PCM_RESOURCE_LIST untranslated)
        : CUnknown(nullptr), m_Translated(translated), m_Untranslated(untranslated)
    {
    }
    DECLARE_STD_UNKNOWN()

    STDMETHODIMP_(ULONG) NumberOfEntries() override { return Count(m_Translated); }
    STDMETHODIMP_(ULONG) NumberOfEntriesOfType(CM_RESOURCE_TYPE type) override
    {
        ULONG n = 0;
        for (ULONG i = 0; i < Count(m_Translated); ++i)
            n += Entry(m_Translated, i)->Type == type ? 1 : 0;
        return n;
    }
    STDMETHODIMP_(PCM_PARTIAL_RESOURCE_DESCRIPTOR)
    FindTranslatedEntry(CM_RESOURCE_TYPE type, ULONG index) override
    {
        return Find(m_Translated, type, index);
    }
    STDMETHODIMP_(PCM_PARTIAL_RESOURCE_DESCRIPTOR)
    FindUntranslatedEntry(CM_RESOURCE_TYPE type, ULONG index) override
    {
        return Find(m_Untranslated, type, index);
    }
    STDMETHODIMP_(PCM_RESOURCE_LIST) TranslatedList() override { return m_Translated; }
    STDMETHODIMP_(PCM_RESOURCE_LIST) UntranslatedList() override { return m_Untranslated; }

  private:
    static ULONG Count(PCM_RESOURCE_LIST list)
    {
        return list != nullptr && list->Count != 0 ? list->List[0].PartialResourceList.Count : 0;
    }
    static PCM_PARTIAL_RESOURCE_DESCRIPTOR Entry(PCM_RESOURCE_LIST list, ULONG i)
    {
        return &list->List[0].PartialResourceList.PartialDescriptors[i];
    }
    static PCM_PARTIAL_RESOURCE_DESCRIPTOR Find(PCM_RESOURCE_LIST list, CM_RESOURCE_TYPE type,
                                                ULONG index)
    {
        for (ULONG i = 0; i < Count(list); ++i)
            if (Entry(list, i)->Type == type && index-- == 0)
                return Entry(list, i);
        return nullptr;
    }
    PCM_RESOURCE_LIST m_Translated;
    PCM_RESOURCE_LIST m_Untranslated;
};

NTSTATUS CResourceList::NonDelegatingQueryInterface(REFIID interfaceId, PVOID* object)
{
    if (object != nullptr && IsEqualGUID(interfaceId, IID_IResourceList))
    {
        *object = static_cast<IResourceList*>(this);
        NonDelegatingAddRef();
        return STATUS_SUCCESS;
    }
    return CUnknown::NonDelegatingQueryInterface(interfaceId, object);
}

// ----------------------------------------------------------------------------
NTSTATUS OnForwardDone(PDEVICE_OBJECT, PIRP, PVOID context)
{
    KeSetEvent(static_cast<PKEVENT>(context), 0, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends the request down and waits until the lower driver completed it; the
// request stays ours.
NTSTATUS ForwardAndWait(PDEVICE_OBJECT lower, PIRP irp)
{
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, OnForwardDone, &done, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(lower, irp);
    if (status == STATUS_PENDING)
    {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        status = irp->IoStatus.Status;
    }
    return status;
}

NTSTATUS PassDown(PcDeviceContext* device, PIRP irp)
{
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(device->LowerDevice, irp);
}

CPortBase* PortOf(PUNKNOWN unknown)
{
    if (unknown == nullptr)
        return nullptr;
    IPcPortInternal* port = nullptr;
    if (!NT_SUCCESS(unknown->QueryInterface(IID_IPcPortInternal, (PVOID*)&port)))
        return nullptr;
    CPortBase* object = port->GetPortObject();
    port->Release();
    return object;
}

void ReleasePort(CPortBase* port)
{
    port->GetNonDelegatingUnknown()->Release();
}

void NotifyMiniports(PcDeviceContext* device, POWER_STATE state)
{
    for (const PcSubdevice& s : device->Subdevices)
    {
        PMINIPORT miniport = s.Port->Miniport();
        PPOWERNOTIFY notify = nullptr;
        if (miniport != nullptr &&
            NT_SUCCESS(miniport->QueryInterface(IID_IPowerNotify, (PVOID*)&notify)))
        {
            notify->PowerChangeNotify(state);
            notify->Release();
        }
    }
}

// Drops what the device registered: connections, subdevices, the miniports of
// every port initialised on it, and the power management interface.
void TearDown(PcDeviceContext* device)
{
    std::vector<PcConnection> connections;
    connections.swap(device->Connections);
    for (const PcConnection& c : connections)
    {
        ReleasePort(c.From);
        ReleasePort(c.To);
    }
    std::vector<PcSubdevice> subdevices;
    subdevices.swap(device->Subdevices);
    std::vector<CPortBase*> ports = device->Ports;
    for (CPortBase* port : ports)
        port->ReleaseChildren();
    for (const PcSubdevice& s : subdevices)
        ReleasePort(s.Port);
    if (device->PowerManagement != nullptr)
    {
        device->PowerManagement->Release();
        device->PowerManagement = nullptr;
    }
}

NTSTATUS DispatchPnp(PcDeviceContext* device, PDEVICE_OBJECT deviceObject, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->MinorFunction)
    {
    case IRP_MN_START_DEVICE:
    {
        NTSTATUS status = ForwardAndWait(device->LowerDevice, irp);
        if (NT_SUCCESS(status))
        {
            auto resources = new (PagedPool, PC_TAG_RESOURCES)
                CResourceList(stack->Parameters.StartDevice.AllocatedResourcesTranslated,
                              stack->Parameters.StartDevice.AllocatedResources);
            if (resources == nullptr)
                status = STATUS_INSUFFICIENT_RESOURCES;
            else
            {
                resources->NonDelegatingAddRef();
                status = device->StartDevice != nullptr
                             ? device->StartDevice(deviceObject, irp, resources)
                             : STATUS_SUCCESS;
                resources->NonDelegatingRelease();
            }
            device->Started = NT_SUCCESS(status);
        }
        return PcCompleteWith(irp, status, 0);
    }
    case IRP_MN_REMOVE_DEVICE:
    {
        TearDown(device);
        irp->IoStatus.Status = STATUS_SUCCESS;
        PDEVICE_OBJECT lower = device->LowerDevice;
        NTSTATUS status = PassDown(device, irp);
        IoDetachDevice(lower);
        auto area = static_cast<ReservedArea*>(deviceObject->DeviceExtension);
        area->Context = nullptr;
        area->Magic = 0;
        device->Magic = 0;
        delete device;
        IoDeleteDevice(deviceObject);
        return status;
    }
    case IRP_MN_SURPRISE_REMOVAL:
        // The hardware is gone: nothing new may be opened on it.
        device->SurpriseRemoved = true;
        TearDown(device);
        irp->IoStatus.Status = STATUS_SUCCESS;
        return PassDown(device, irp);
    case IRP_MN_QUERY_STOP_DEVICE:
        // The port class stops an adapter for a rebalance only when the
        // adapter has registered its PnP management and says it supports
        // one; none does here, so the query is refused and no stop follows.
        return PcCompleteWith(irp, STATUS_UNSUCCESSFUL, 0);
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
        irp->IoStatus.Status = STATUS_SUCCESS;
        return PassDown(device, irp);
    default:
        return PassDown(device, irp);
    }
}

NTSTATUS DispatchPower(PcDeviceContext* device, PDEVICE_OBJECT deviceObject, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->Parameters.Power.Type != DevicePowerState ||
        (stack->MinorFunction != IRP_MN_SET_POWER && stack->MinorFunction != IRP_MN_QUERY_POWER))
    {
        PoStartNextPowerIrp(irp);
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(device->LowerDevice, irp);
    }
    POWER_STATE state = stack->Parameters.Power.State;
    if (stack->MinorFunction == IRP_MN_QUERY_POWER)
    {
        if (device->PowerManagement != nullptr)
        {
            NTSTATUS status = device->PowerManagement->QueryPowerChangeState(state);
            if (!NT_SUCCESS(status))
            {
                PoStartNextPowerIrp(irp);
                return PcCompleteWith(irp, status, 0);
            }
        }
        irp->IoStatus.Status = STATUS_SUCCESS;
        PoStartNextPowerIrp(irp);
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(device->LowerDevice, irp);
    }

    const DEVICE_POWER_STATE target = state.DeviceState;
    if (target < PowerDeviceD0 || target > PowerDeviceD3)
    {
        PoStartNextPowerIrp(irp);
        return PcCompleteWith(irp, STATUS_INVALID_PARAMETER, 0);
    }
    if (target == device->PowerState)
    {
        irp->IoStatus.Status = STATUS_SUCCESS;
        PoStartNextPowerIrp(irp);
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(device->LowerDevice, irp);
    }
    if (target < device->PowerState)
    {
        // Powering up: the bus first, then the adapter, then its miniports.
        NTSTATUS status = ForwardAndWait(device->LowerDevice, irp);
        if (NT_SUCCESS(status))
        {
            if (device->PowerManagement != nullptr)
                device->PowerManagement->PowerChangeState(state);
            NotifyMiniports(device, state);
            device->PowerState = target;
            PoSetPowerState(deviceObject, DevicePowerState, state);
        }
        PoStartNextPowerIrp(irp);
        return PcCompleteWith(irp, status, 0);
    }
    // Powering down: the miniports, then the adapter, then the bus.
    NotifyMiniports(device, state);
    if (device->PowerManagement != nullptr)
        device->PowerManagement->PowerChangeState(state);
    device->PowerState = target;
    PoSetPowerState(deviceObject, DevicePowerState, state);
    irp->IoStatus.Status = STATUS_SUCCESS;
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(device->LowerDevice, irp);
}

bool NameEquals(const WCHAR* a, USHORT aChars, const WCHAR* b)
{
    USHORT i = 0;
    for (; i < aChars && b[i] != 0; ++i)
        if (RtlUpcaseUnicodeChar(a[i]) != RtlUpcaseUnicodeChar(b[i]))
            return false;
    return i == aChars && b[i] == 0;
}

void ReleaseFilterContext(PcFileContext* filter)
{
    if (--filter->References == 0)
    {
        ReleasePort(filter->Port);
        filter->Magic = 0;
        delete filter;
    }
}

NTSTATUS DispatchCreate(PcDeviceContext* device, PIRP irp)
{
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    if (file == nullptr)
        return PcCompleteWith(irp, STATUS_INVALID_PARAMETER, 0);
    const WCHAR* name = file->FileName.Buffer;
    USHORT chars = name != nullptr ? file->FileName.Length / sizeof(WCHAR) : 0;

    if (file->RelatedFileObject != nullptr)
    {
        // A pin: "{146F1A80-...}\" and the connection request, on an open filter.
        PcFileContext* filter = PcGetFileContext(file->RelatedFileObject);
        if (filter == nullptr || filter->Kind != PcFileKind::Filter)
            return PcCompleteWith(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
        const USHORT prefix = (USHORT)(sizeof(KSSTRING_Pin) / sizeof(WCHAR) - 1);
        if (chars > 0 && name[0] == u'\\')
        {
            ++name;
            --chars;
        }
        if (chars < prefix + 1 || !NameEquals(name, prefix, KSSTRING_Pin) || name[prefix] != u'\\')
            return PcCompleteWith(irp, STATUS_OBJECT_NAME_NOT_FOUND, 0);
        const UCHAR* data = reinterpret_cast<const UCHAR*>(name + prefix + 1);
        const ULONG length = file->FileName.Length -
                             (ULONG)((const UCHAR*)data - (const UCHAR*)file->FileName.Buffer);
        auto pin = new PcFileContext();
        pin->Magic = kFileMagic;
        pin->Kind = PcFileKind::Pin;
        pin->Port = filter->Port;
        pin->FileObject = file;
        pin->Filter = filter;
        NTSTATUS status = filter->Port->CreatePin(filter, pin, data, length);
        if (!NT_SUCCESS(status))
        {
            delete pin;
            return PcCompleteWith(irp, status, 0);
        }
        filter->Port->GetNonDelegatingUnknown()->AddRef();
        ++filter->References;
        file->FsContext = pin;
        return PcCompleteWith(irp, STATUS_SUCCESS, FILE_OPENED);
    }

    // A filter: "\" and a subdevice's name.
    if (chars < 2 || name[0] != u'\\')
        return PcCompleteWith(irp, STATUS_OBJECT_NAME_NOT_FOUND, 0);
    for (const PcSubdevice& s : device->Subdevices)
    {
        if (!NameEquals(name + 1, (USHORT)(chars - 1), s.Name))
            continue;
        if (s.Port->Descriptor() == nullptr)
            return PcCompleteWith(irp, STATUS_DEVICE_NOT_READY, 0);
        auto filter = new PcFileContext();
        filter->Magic = kFileMagic;
        filter->Kind = PcFileKind::Filter;
        filter->Port = s.Port;
        filter->FileObject = file;
        filter->PinInstances.resize(s.Port->Descriptor()->PinCount);
        filter->References = 1;
        s.Port->GetNonDelegatingUnknown()->AddRef();
        file->FsContext = filter;
        return PcCompleteWith(irp, STATUS_SUCCESS, FILE_OPENED);
    }
    return PcCompleteWith(irp, STATUS_OBJECT_NAME_NOT_FOUND, 0);
}

NTSTATUS DispatchClose(PIRP irp)
{
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    PcFileContext* context = file != nullptr ? PcGetFileContext(file) : nullptr;
    if (context != nullptr)
    {
        file->FsContext = nullptr;
        if (context->Kind == PcFileKind::Pin)
        {
            context->Port->ClosePin(context);
            PcFileContext* filter = context->Filter;
            ReleasePort(context->Port);
            context->Magic = 0;
            delete context;
            ReleaseFilterContext(filter);
        }
        else
        {
            context->Port->DisableEventsOf(file, nullptr);
            context->FileObject = nullptr;
            ReleaseFilterContext(context);
        }
    }
    return PcCompleteWith(irp, STATUS_SUCCESS, 0);
}

NTSTATUS DispatchDeviceControl(PIRP irp)
{
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    PcFileContext* context = file != nullptr ? PcGetFileContext(file) : nullptr;
    if (context == nullptr)
        return PcCompleteWith(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    irp->IoStatus.Information = 0;
    NTSTATUS status = context->Kind == PcFileKind::Filter
                          ? context->Port->FilterDeviceControl(context, irp)
                          : context->Port->PinDeviceControl(context, irp);
    return PcCompleteWith(irp, status, irp->IoStatus.Information);
}

// Port-class keeps nothing per driver.
void PcDriverUnload(PDRIVER_OBJECT) {}
} // namespace

// ----------------------------------------------------------------------------
PcDeviceContext* PcGetDeviceContext(PDEVICE_OBJECT deviceObject)
{
    if (deviceObject == nullptr || deviceObject->DeviceExtension == nullptr)
        return nullptr;
    auto area = static_cast<ReservedArea*>(deviceObject->DeviceExtension);
    if (area->Magic != kDeviceMagic || area->Context == nullptr ||
        area->Context->Magic != kDeviceMagic)
        return nullptr;
    return area->Context;
}

PcFileContext* PcGetFileContext(PFILE_OBJECT fileObject)
{
    if (fileObject == nullptr || fileObject->FsContext == nullptr)
        return nullptr;
    auto context = static_cast<PcFileContext*>(fileObject->FsContext);
    return context->Magic == kFileMagic ? context : nullptr;
}

NTSTATUS PcCompleteWith(PIRP irp, NTSTATUS status, ULONG_PTR information)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS PcInitializeAdapterDriver(PDRIVER_OBJECT driverObject, PUNICODE_STRING,
                                   PDRIVER_ADD_DEVICE addDevice)
{
    PAGED_CODE();
    if (driverObject == nullptr || driverObject->DriverExtension == nullptr || addDevice == nullptr)
        return STATUS_INVALID_PARAMETER;
    driverObject->DriverExtension->AddDevice = addDevice;
    for (ULONG i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i)
        driverObject->MajorFunction[i] = PcDispatchIrp;
    driverObject->DriverUnload = PcDriverUnload;
    return STATUS_SUCCESS;
}

NTSTATUS PcAddAdapterDevice(PDRIVER_OBJECT driverObject, PDEVICE_OBJECT physicalDeviceObject,
                            PCPFNSTARTDEVICE startDevice, ULONG maxObjects,
                            ULONG deviceExtensionSize)
{
    PAGED_CODE();
    if (driverObject == nullptr || physicalDeviceObject == nullptr || maxObjects == 0)
        return STATUS_INVALID_PARAMETER;
    if (deviceExtensionSize == 0)
        deviceExtensionSize = PORT_CLASS_DEVICE_EXTENSION_SIZE;
    if (deviceExtensionSize < PORT_CLASS_DEVICE_EXTENSION_SIZE)
        return STATUS_INVALID_PARAMETER;

    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status =
        IoCreateDevice(driverObject, deviceExtensionSize, nullptr, FILE_DEVICE_KS,
                       FILE_AUTOGENERATED_DEVICE_NAME | FILE_DEVICE_SECURE_OPEN, FALSE, &device);
    if (!NT_SUCCESS(status))
        return status;
    auto context = new PcDeviceContext();
    context->Magic = kDeviceMagic;
    context->DeviceObject = device;
    context->PhysicalDeviceObject = physicalDeviceObject;
    context->StartDevice = startDevice;
    context->MaxObjects = maxObjects;
    context->PowerState = PowerDeviceD0;
    context->LowerDevice = IoAttachDeviceToDeviceStack(device, physicalDeviceObject);
    if (context->LowerDevice == nullptr)
    {
        delete context;
        IoDeleteDevice(device);
        return STATUS_NO_SUCH_DEVICE;
    }
    auto area = static_cast<ReservedArea*>(device->DeviceExtension);
    area->Context = context;
    area->Magic = kDeviceMagic;
    device->Flags |= DO_POWER_PAGABLE;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

NTSTATUS PcDispatchIrp(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    PcDeviceContext* device = PcGetDeviceContext(deviceObject);
    if (device == nullptr)
        return PcCompleteWith(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    switch (IoGetCurrentIrpStackLocation(irp)->MajorFunction)
    {
    case IRP_MJ_PNP:
        return DispatchPnp(device, deviceObject, irp);
    case IRP_MJ_POWER:
        return DispatchPower(device, deviceObject, irp);
    case IRP_MJ_CREATE:
        return DispatchCreate(device, irp);
    case IRP_MJ_CLOSE:
        return DispatchClose(irp);
    case IRP_MJ_CLEANUP:
        return PcCompleteWith(irp, STATUS_SUCCESS, 0);
    case IRP_MJ_DEVICE_CONTROL:
        return DispatchDeviceControl(irp);
    case IRP_MJ_SYSTEM_CONTROL:
        return PassDown(device, irp);
    default:
        return PcCompleteWith(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

NTSTATUS PcCompleteIrp(PDEVICE_OBJECT, PIRP irp, NTSTATUS status)
{
    if (irp == nullptr || status == STATUS_PENDING)
        return STATUS_INVALID_PARAMETER;
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS PcNewPort(PPORT* outPort, REFCLSID classId)
{
    if (outPort == nullptr)
        return STATUS_INVALID_PARAMETER;
    *outPort = nullptr;
    CPortBase* port = nullptr;
    if (IsEqualGUID(classId, CLSID_PortWaveCyclic))
        port = new (NonPagedPool, PC_TAG_PORT) CPortWaveCyclic(nullptr);
    else if (IsEqualGUID(classId, CLSID_PortTopology))
        port = new (NonPagedPool, PC_TAG_PORT) CPortTopology(nullptr);
    else
        return STATUS_INVALID_PARAMETER;
    if (port == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    return port->GetNonDelegatingUnknown()->QueryInterface(IID_IPort, (PVOID*)outPort);
}

NTSTATUS PcRegisterSubdevice(PDEVICE_OBJECT deviceObject, PCWSTR name, PUNKNOWN unknown)
{
    PAGED_CODE();
    PcDeviceContext* device = PcGetDeviceContext(deviceObject);
    CPortBase* port = PortOf(unknown);
    if (device == nullptr || name == nullptr || port == nullptr)
        return STATUS_INVALID_PARAMETER;
    size_t length = 0;
    while (length < RTL_NUMBER_OF(PcSubdevice{}.Name) && name[length] != 0)
        ++length;
    if (length == 0 || length >= RTL_NUMBER_OF(PcSubdevice{}.Name))
        return STATUS_INVALID_PARAMETER;
    if (port->Descriptor() == nullptr)
        return STATUS_INVALID_DEVICE_STATE;
    for (const PcSubdevice& s : device->Subdevices)
        if (s.Port == port || NameEquals(name, (USHORT)length, s.Name))
            return STATUS_OBJECT_NAME_COLLISION;
    if (device->Subdevices.size() >= device->MaxObjects)
        return STATUS_INSUFFICIENT_RESOURCES;
    PcSubdevice entry = {};
    memcpy(entry.Name, name, length * sizeof(WCHAR));
    entry.Port = port;
    port->GetNonDelegatingUnknown()->AddRef();
    device->Subdevices.push_back(entry);
    return STATUS_SUCCESS;
}

NTSTATUS PcRegisterPhysicalConnection(PDEVICE_OBJECT deviceObject, PUNKNOWN fromUnknown,
                                      ULONG fromPin, PUNKNOWN toUnknown, ULONG toPin)
{
    PAGED_CODE();
    PcDeviceContext* device = PcGetDeviceContext(deviceObject);
    CPortBase* from = PortOf(fromUnknown);
    CPortBase* to = PortOf(toUnknown);
    if (device == nullptr || from == nullptr || to == nullptr)
        return STATUS_INVALID_PARAMETER;
    if (PcFilterPin(from->Descriptor(), fromPin) == nullptr ||
        PcFilterPin(to->Descriptor(), toPin) == nullptr)
        return STATUS_INVALID_PARAMETER;
    from->GetNonDelegatingUnknown()->AddRef();
    to->GetNonDelegatingUnknown()->AddRef();
    device->Connections.push_back({from, fromPin, to, toPin});
    return STATUS_SUCCESS;
}

NTSTATUS PcRegisterAdapterPowerManagement(PUNKNOWN unknown, PVOID deviceObject)
{
    PAGED_CODE();
    PcDeviceContext* device = PcGetDeviceContext(static_cast<PDEVICE_OBJECT>(deviceObject));
    if (device == nullptr || unknown == nullptr)
        return STATUS_INVALID_PARAMETER;
    PADAPTERPOWERMANAGEMENT power = nullptr;
    NTSTATUS status = unknown->QueryInterface(IID_IAdapterPowerManagement, (PVOID*)&power);
    if (!NT_SUCCESS(status))
        return status;
    if (device->PowerManagement != nullptr)
        device->PowerManagement->Release();
    device->PowerManagement = power;
    return STATUS_SUCCESS;
}

NTSTATUS PcGetDeviceProperty(PVOID deviceObject, DEVICE_REGISTRY_PROPERTY deviceProperty,
                             ULONG bufferLength, PVOID propertyBuffer, PULONG resultLength)
{
    PAGED_CODE();
    PcDeviceContext* device = PcGetDeviceContext(static_cast<PDEVICE_OBJECT>(deviceObject));
    if (device == nullptr)
        return STATUS_INVALID_PARAMETER;
    return IoGetDeviceProperty(device->PhysicalDeviceObject, deviceProperty, bufferLength,
                               propertyBuffer, resultLength);
}

NTSTATUS PcForwardContentToDeviceObject(ULONG contentId, PVOID, PCDRMFORWARD drmForward)
{
    if (drmForward == nullptr || drmForward->Flags != 0 || drmForward->DeviceObject == nullptr)
        return STATUS_INVALID_PARAMETER;
    g_PcDrmForwards.push_back({contentId, *drmForward});
    return STATUS_SUCCESS;
}
