// Test and client controls of the emulated port-class library.
#include "platform/portcls/pc_port_wavecyclic.h"

namespace
{
CPortBase* PortObject(PUNKNOWN unknown)
{
    IPcPortInternal* port = nullptr;
    if (unknown == nullptr ||
        !NT_SUCCESS(unknown->QueryInterface(IID_IPcPortInternal, (PVOID*)&port)))
        return nullptr;
    CPortBase* object = port->GetPortObject();
    port->Release();
    return object;
}

std::u16string NameOf(PcDeviceContext* device, CPortBase* port)
{
    for (const PcSubdevice& s : device->Subdevices)
        if (s.Port == port)
            return std::u16string(s.Name);
    return std::u16string();
}

CPortPinWaveCyclic* PinOf(PFILE_OBJECT file)
{
    PcFileContext* context = PcGetFileContext(file);
    if (context == nullptr || context->Kind != PcFileKind::Pin || context->Pin == nullptr ||
        !context->Port->IsWaveCyclic())
        return nullptr;
    return static_cast<CPortPinWaveCyclic*>(context->Pin);
}
} // namespace

bool EmuPcIsAdapterDevice(PDEVICE_OBJECT deviceObject)
{
    return PcGetDeviceContext(deviceObject) != nullptr;
}

std::vector<EmuPcSubdeviceInfo> EmuPcSubdevices(PDEVICE_OBJECT deviceObject)
{
    std::vector<EmuPcSubdeviceInfo> r;
    PcDeviceContext* device = PcGetDeviceContext(deviceObject);
    if (device == nullptr)
        return r;
    for (const PcSubdevice& s : device->Subdevices)
        r.push_back({std::u16string(s.Name), s.Port->GetNonDelegatingUnknown(),
                     s.Port->IsWaveCyclic(), s.Port->Descriptor()});
    return r;
}

std::vector<EmuPcConnectionInfo> EmuPcPhysicalConnections(PDEVICE_OBJECT deviceObject)
{
    std::vector<EmuPcConnectionInfo> r;
    PcDeviceContext* device = PcGetDeviceContext(deviceObject);
    if (device == nullptr)
        return r;
    for (const PcConnection& c : device->Connections)
        r.push_back({NameOf(device, c.From), c.FromPin, NameOf(device, c.To), c.ToPin});
    return r;
}

DEVICE_POWER_STATE EmuPcPowerState(PDEVICE_OBJECT deviceObject)
{
    PcDeviceContext* device = PcGetDeviceContext(deviceObject);
    return device != nullptr ? device->PowerState : PowerDeviceUnspecified;
}

bool EmuPcHasPowerManagement(PDEVICE_OBJECT deviceObject)
{
    PcDeviceContext* device = PcGetDeviceContext(deviceObject);
    return device != nullptr && device->PowerManagement != nullptr;
}

ULONG EmuPcMaxSubdevices(PDEVICE_OBJECT deviceObject)
{
    PcDeviceContext* device = PcGetDeviceContext(deviceObject);
    return device != nullptr ? device->MaxObjects : 0;
}

void EmuPcSetVersion(DWORD version)
{
    g_PcVersion = version;
}
DWORD EmuPcGetVersion()
{
    return g_PcVersion;
}

std::vector<PcEventRecord> EmuPcEventLog(PUNKNOWN port)
{
    CPortBase* object = PortObject(port);
    if (object == nullptr)
        return {};
    return {object->EventLog.begin(), object->EventLog.begin() + (ptrdiff_t)object->EventsLogged};
}

size_t EmuPcEventsUnlogged(PUNKNOWN port)
{
    CPortBase* object = PortObject(port);
    return object != nullptr ? object->EventsUnlogged : 0;
}

ULONG EmuPcNotifyCount(PUNKNOWN port)
{
    CPortBase* object = PortObject(port);
    if (object == nullptr || !object->IsWaveCyclic())
        return 0;
    return static_cast<CPortWaveCyclic*>(object)->NotifyCount;
}

std::vector<PcDrmForwardRecord> EmuPcDrmForwards()
{
    return g_PcDrmForwards;
}
void EmuPcClearDrmForwards()
{
    g_PcDrmForwards.clear();
}

NTSTATUS EmuPcPinWrite(PFILE_OBJECT file, const void* data, ULONG bytes, ULONG* accepted)
{
    CPortPinWaveCyclic* pin = PinOf(file);
    if (pin == nullptr || accepted == nullptr)
        return STATUS_INVALID_PARAMETER;
    *accepted = pin->Write(data, bytes);
    return STATUS_SUCCESS;
}

NTSTATUS EmuPcPinRead(PFILE_OBJECT file, void* data, ULONG bytes, ULONG* read)
{
    CPortPinWaveCyclic* pin = PinOf(file);
    if (pin == nullptr || read == nullptr)
        return STATUS_INVALID_PARAMETER;
    *read = pin->Read(data, bytes);
    return STATUS_SUCCESS;
}

NTSTATUS EmuPcPinQueued(PFILE_OBJECT file, ULONG* bytes)
{
    CPortPinWaveCyclic* pin = PinOf(file);
    if (pin == nullptr || bytes == nullptr)
        return STATUS_INVALID_PARAMETER;
    *bytes = pin->QueuedBytes();
    return STATUS_SUCCESS;
}

NTSTATUS EmuPcPinHeld(PFILE_OBJECT file, ULONGLONG* bytes)
{
    CPortPinWaveCyclic* pin = PinOf(file);
    if (pin == nullptr || bytes == nullptr)
        return STATUS_INVALID_PARAMETER;
    *bytes = pin->HeldBytes();
    return STATUS_SUCCESS;
}

NTSTATUS EmuPcPinSetQueueLimit(PFILE_OBJECT file, ULONG bytes)
{
    CPortPinWaveCyclic* pin = PinOf(file);
    if (pin == nullptr)
        return STATUS_INVALID_PARAMETER;
    pin->SetQueueLimit(bytes);
    return STATUS_SUCCESS;
}

NTSTATUS EmuPcPinStatistics(PFILE_OBJECT file, PcPinStatistics* statistics)
{
    CPortPinWaveCyclic* pin = PinOf(file);
    if (pin == nullptr || statistics == nullptr)
        return STATUS_INVALID_PARAMETER;
    *statistics = pin->Statistics();
    return STATUS_SUCCESS;
}

NTSTATUS EmuPcPinService(PFILE_OBJECT file)
{
    CPortPinWaveCyclic* pin = PinOf(file);
    if (pin == nullptr)
        return STATUS_INVALID_PARAMETER;
    pin->Service();
    return STATUS_SUCCESS;
}

PMINIPORTWAVECYCLICSTREAM EmuPcPinStream(PFILE_OBJECT file)
{
    CPortPinWaveCyclic* pin = PinOf(file);
    return pin != nullptr ? pin->Stream() : nullptr;
}
