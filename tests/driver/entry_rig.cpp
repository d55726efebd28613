#include <algorithm>
#include "tests/driver/entry_rig.h"

#include "platform/portcls/portcls_emu.h"

std::vector<std::string>& EntryLog()
{
    static std::vector<std::string> log;
    return log;
}

DeviceScript& Script()
{
    static DeviceScript script;
    return script;
}

namespace
{
void Log(const std::string& what)
{
    EntryLog().push_back(what);
}

std::string Narrow16(const WCHAR* s)
{
    std::string r;
    for (; s != nullptr && *s != 0; ++s)
        r += (char)*s;
    return r;
}

// Only the pin count of the wave double's filter matters to the library.
PCPIN_DESCRIPTOR g_WavePins[2] = {};

constexpr ULONG kFirstTerminal = 10;
constexpr ULONG kLastTerminal = 29;
constexpr ULONG kFirstTopologyPin = 2;

class WaveDouble : public CUnknown, public IMiniportWaveCyclic, public IMiniportIdentity
{
  public:
    explicit WaveDouble(ULONG engineIndex) : CUnknown(nullptr), m_Index(engineIndex)
    {
        m_Filter.PinSize = sizeof(PCPIN_DESCRIPTOR);
        m_Filter.PinCount = 2;
        m_Filter.Pins = g_WavePins;
        m_Filter.NodeSize = sizeof(PCNODE_DESCRIPTOR);
    }
    DECLARE_STD_UNKNOWN()
    STDMETHODIMP GetFilterName(PWSTR* filterName) override
    {
        if (filterName == nullptr)
            return STATUS_INVALID_PARAMETER;
        *filterName = m_Name;
        return STATUS_SUCCESS;
    }
    STDMETHODIMP GetDescription(PPCFILTER_DESCRIPTOR* description) override
    {
        *description = &m_Filter;
        return STATUS_SUCCESS;
    }
    STDMETHODIMP DataRangeIntersection(ULONG, PKSDATARANGE, PKSDATARANGE, ULONG, PVOID,
                                       PULONG) override
    {
        return STATUS_NOT_IMPLEMENTED;
    }
    // The filter is named after its engine, found again by its index.
    STDMETHODIMP Init(PUNKNOWN adapterUnknown, PRESOURCELIST, PPORTWAVECYCLIC) override
    {
        PADAPTERCOMMON adapter = nullptr;
        NTSTATUS status = adapterUnknown->QueryInterface(IID_IAdapterCommon, (PVOID*)&adapter);
        if (!NT_SUCCESS(status))
            return status;
        CStreamEngine* engine = nullptr;
        status = adapter->GetEngine(m_Index, &engine);
        if (NT_SUCCESS(status))
            status = engine->GetName(m_Name);
        adapter->Release();
        return status;
    }
    STDMETHODIMP NewStream(PMINIPORTWAVECYCLICSTREAM*, PUNKNOWN, POOL_TYPE, ULONG, BOOLEAN,
                           PKSDATAFORMAT, PDMACHANNEL*, PSERVICEGROUP*) override
    {
        return STATUS_NOT_SUPPORTED;
    }
    STDMETHODIMP GetConnectionId(PULONG connectionId) override
    {
        if (m_Index < Script().Engines.size() && !Script().Engines[m_Index].Joins)
            return STATUS_UNSUCCESSFUL;
        *connectionId = kFirstTerminal + m_Index;
        return STATUS_SUCCESS;
    }

  private:
    ULONG m_Index;
    PCFILTER_DESCRIPTOR m_Filter = {};
    WCHAR m_Name[STREAM_ENGINE_NAME_OUT_CHARS] = {};
};

NTSTATUS WaveDouble::NonDelegatingQueryInterface(REFIID iid, PVOID* object)
{
    if (object == nullptr)
        return STATUS_INVALID_PARAMETER;
    if (IsEqualGUID(iid, IID_IMiniport) || IsEqualGUID(iid, IID_IMiniportWaveCyclic))
        *object = static_cast<IMiniportWaveCyclic*>(this);
    else if (IsEqualGUID(iid, IID_IMiniportIdentity))
        *object = static_cast<IMiniportIdentity*>(this);
    else
        return CUnknown::NonDelegatingQueryInterface(iid, object);
    NonDelegatingAddRef();
    return STATUS_SUCCESS;
}

template <typename T> NTSTATUS HandOut(T* object, PUNKNOWN* unknown)
{
    if (object == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    *unknown = object->GetNonDelegatingUnknown();
    (*unknown)->AddRef();
    return STATUS_SUCCESS;
}

// ----------------------------------------------------------------------------
// The bare bus below the dispatch rig.
std::string MinorName(UCHAR minor)
{
    switch (minor)
    {
    case IRP_MN_START_DEVICE:
        return "start";
    case IRP_MN_REMOVE_DEVICE:
        return "remove";
    case IRP_MN_SURPRISE_REMOVAL:
        return "surprise";
    default:
        return std::to_string(minor);
    }
}

NTSTATUS BusPnp(PDEVICE_OBJECT device, PIRP irp)
{
    const UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    const std::vector<EmuDeviceInterface> all = EmuDeviceInterfaces();
    const EmuDeviceInterface* asio = FindInterface(all, device, GUID_DEVINTERFACE_ASIO_PRIVATE);
    const EmuDeviceInterface* enumeration =
        FindInterface(all, device, GUID_DEVINTERFACE_ENUM_PRIVATE);
    Log("bus " + MinorName(minor) + " asio=" + (asio != nullptr && asio->Enabled ? "1" : "0") +
        " enum=" + (enumeration != nullptr && enumeration->Enabled ? "1" : "0"));
    NTSTATUS status = irp->IoStatus.Status;
    if (minor == IRP_MN_START_DEVICE || minor == IRP_MN_SURPRISE_REMOVAL)
        status = STATUS_SUCCESS;
    else if (minor == IRP_MN_REMOVE_DEVICE)
        status = DispatchRig::BusRemoveStatus();
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

const DeviceClassFactories c_ScriptedClasses = {CreateScriptedDevice, CreateScriptedDevice,
                                                CreateScriptedDevice, CreateScriptedDevice,
                                                CreateScriptedDevice, CreateScriptedDevice};
const AdapterMiniportFactories c_ScriptedMiniports = {CreateScriptedTopology, CreateScriptedWave};
} // namespace

// ----------------------------------------------------------------------------
ScriptedEngine::~ScriptedEngine() {}

NTSTATUS ScriptedEngine::RemoveMiniport(PDEVICE_OBJECT deviceObject)
{
    WCHAR name[STREAM_ENGINE_NAME_OUT_CHARS];
    GetName(name);
    Log("remove " + Narrow16(name));
    if (!NT_SUCCESS(m_RemoveStatus))
        return m_RemoveStatus;
    return CStreamEngine::RemoveMiniport(deviceObject);
}

ScriptedDevice::~ScriptedDevice() {}

NTSTATUS ScriptedDevice::InitDevice()
{
    if (!NT_SUCCESS(Script().InitStatus))
        return Script().InitStatus;
    ULONG terminalId = kFirstTerminal;
    for (const EngineSpec& spec : Script().Engines)
    {
        auto engine = new (NonPagedPool, kEntryTag) ScriptedEngine(spec.RemoveStatus);
        if (engine == nullptr)
            return STATUS_INSUFFICIENT_RESOURCES;
        engine->GetNonDelegatingUnknown()->AddRef();
        NTSTATUS status = engine->OpenStreamEngineCallback(spec.Direction);
        const ULONG terminalKind = spec.Direction == STREAM_DIRECTION_RENDER
                                       ? CONTROL_KIND_OUTPUT_TERMINAL
                                       : CONTROL_KIND_INPUT_TERMINAL;
        // A terminal without jack records is always there; one with an
        // unplugged jack keeps the wave filter away.
        TestTerminal* terminal =
            MakeTerminal(terminalId++, terminalKind, spec.Kind, spec.Connected ? 0 : 1, false);
        if (NT_SUCCESS(status))
            status = terminal != nullptr ? engine->AddPathControl(terminal)
                                         : STATUS_INSUFFICIENT_RESOURCES;
        if (NT_SUCCESS(status))
            status = AddStreamObject(engine);
        if (terminal != nullptr)
            terminal->Release();
        engine->Release();
        if (!NT_SUCCESS(status))
            return status;
    }
    return STATUS_SUCCESS;
}

NTSTATUS ScriptedDevice::GetStreamCapabilities(ULONG streamIndex,
                                               PENDPOINTCAPABILITIES capabilities)
{
    if (capabilities == nullptr)
        return STATUS_INVALID_PARAMETER;
    RtlZeroMemory(capabilities, sizeof(*capabilities));
    if (streamIndex >= Script().Engines.size())
        return STATUS_INVALID_PARAMETER;
    // Bit 1 of the record's last field (bytes 24 to 27) asks for the ASIO
    // interface.
    const ULONG asioStreamBit = 0x2;
    if (Script().Engines[streamIndex].Asio)
        memcpy(reinterpret_cast<UCHAR*>(capabilities) + 24, &asioStreamBit, 4);
    return STATUS_SUCCESS;
}

NTSTATUS ScriptedDevice::StartAllUnits()
{
    Log("start units");
    return Script().StartStatus;
}

NTSTATUS ScriptedDevice::StopAllUnits()
{
    Log("stop units");
    return STATUS_SUCCESS;
}

NTSTATUS ScriptedDevice::WakeFromIdle(PIRP)
{
    Log("wake");
    return STATUS_SUCCESS;
}

NTSTATUS CreateScriptedDevice(PUNKNOWN* deviceObject, PUNKNOWN outerUnknown, USHORT, USHORT)
{
    auto device = new (NonPagedPool, kEntryTag) ScriptedDevice(outerUnknown);
    return HandOut(device, deviceObject);
}

// ----------------------------------------------------------------------------
FakeAdapter::~FakeAdapter() {}

NTSTATUS FakeAdapter::NonDelegatingQueryInterface(REFIID iid, PVOID* object)
{
    if (object != nullptr && AnswersAsio && IsEqualGUID(iid, IID_IAsioPrivate))
    {
        *object = static_cast<IAsioPrivate*>(this);
        AddRef();
        return STATUS_SUCCESS;
    }
    if (object != nullptr && AnswersAsio && IsEqualGUID(iid, IID_IAsioCleanup))
    {
        *object = static_cast<IAsioCleanup*>(this);
        AddRef();
        return STATUS_SUCCESS;
    }
    return ScriptedDevice::NonDelegatingQueryInterface(iid, object);
}

void FakeAdapter::CancelHeldRequests(PFILE_OBJECT fileObject)
{
    bool known = std::find(Files.begin(), Files.end(), fileObject) != Files.end();
    Log(known ? "cleanup of an opened file" : "cleanup of an unknown file");
}

void FakeAdapter::CancelAllHeldRequests()
{
    Log("cancel held");
}

NTSTATUS FakeAdapter::AsioOpenClient(PFILE_OBJECT fileObject)
{
    Log("open");
    Files.push_back(fileObject);
    return OpenStatus;
}

NTSTATUS FakeAdapter::AsioCloseClient(PFILE_OBJECT fileObject)
{
    Log("close");
    Files.push_back(fileObject);
    return CloseStatus;
}

// Reached by no request these tests send.
#define NOT_ROUTED                                                                                 \
    {                                                                                              \
        Log("unexpected ASIO operation");                                                          \
        return STATUS_NOT_IMPLEMENTED;                                                             \
    }
NTSTATUS FakeAdapter::AsioGetDeviceName(PFILE_OBJECT, PVOID, PULONG)
{
    Log("AsioGetDeviceName");
    return STATUS_NOT_IMPLEMENTED;
}
NTSTATUS FakeAdapter::AsioGetChannelCounts(PFILE_OBJECT, PVOID, ULONG) NOT_ROUTED;
NTSTATUS FakeAdapter::AsioGetChannelInfo(PFILE_OBJECT, PVOID, ULONG) NOT_ROUTED;
NTSTATUS FakeAdapter::AsioSetSettingsEvent(PFILE_OBJECT, PHANDLE) NOT_ROUTED;
NTSTATUS FakeAdapter::AsioReleaseSettingsEvent(PFILE_OBJECT) NOT_ROUTED;
NTSTATUS FakeAdapter::AsioGetOwnerState(PFILE_OBJECT, PVOID) NOT_ROUTED;
NTSTATUS FakeAdapter::AsioGetSampleTypes(PFILE_OBJECT, PVOID, PULONG) NOT_ROUTED;
NTSTATUS FakeAdapter::AsioGetLatencyTable(PFILE_OBJECT, PVOID, PULONG) NOT_ROUTED;
NTSTATUS FakeAdapter::AsioSetSampleType(PFILE_OBJECT, ULONG) NOT_ROUTED;
NTSTATUS FakeAdapter::AsioSetLatency(PFILE_OBJECT, ULONG) NOT_ROUTED;
NTSTATUS FakeAdapter::AsioGetLatencies(PFILE_OBJECT, PVOID) NOT_ROUTED;
NTSTATUS FakeAdapter::AsioGetSampleRate(PFILE_OBJECT, PVOID) NOT_ROUTED;
NTSTATUS FakeAdapter::AsioCanSampleRate(PFILE_OBJECT, PVOID) NOT_ROUTED;
NTSTATUS FakeAdapter::AsioSetSampleRate(PFILE_OBJECT, PVOID) NOT_ROUTED;
NTSTATUS FakeAdapter::AsioGetBufferSize(PFILE_OBJECT, PVOID) NOT_ROUTED;
NTSTATUS FakeAdapter::AsioMapSharedBuffer(PFILE_OBJECT, PVOID, ULONG, PVOID, PULONG) NOT_ROUTED;
NTSTATUS FakeAdapter::AsioUnmapSharedBuffer(PFILE_OBJECT) NOT_ROUTED;
NTSTATUS FakeAdapter::AsioStartStreaming(PFILE_OBJECT, PHANDLE) NOT_ROUTED;
NTSTATUS FakeAdapter::AsioStopStreaming(PFILE_OBJECT, PIRP) NOT_ROUTED;
NTSTATUS FakeAdapter::AsioCheckMode(PFILE_OBJECT, PVOID) NOT_ROUTED;
NTSTATUS FakeAdapter::AsioSetMode(PFILE_OBJECT, PVOID) NOT_ROUTED;
NTSTATUS FakeAdapter::AsioGetMode(PFILE_OBJECT, PVOID) NOT_ROUTED;
#undef NOT_ROUTED

// ----------------------------------------------------------------------------
NTSTATUS CreateScriptedTopology(PUNKNOWN* miniport, REFCLSID, PUNKNOWN, POOL_TYPE poolType)
{
    return CreateTestTopologyMiniport(
        miniport, poolType, kEntryTag,
        {.Name = Script().TopologyName,
         .LastTerminal = kLastTerminal,
         .Pins = kLastTerminal - kFirstTerminal + 1 + kFirstTopologyPin});
}

NTSTATUS CreateScriptedWave(PUNKNOWN* miniport, REFCLSID, PUNKNOWN, POOL_TYPE poolType,
                            ULONG engineIndex)
{
    return HandOut(new (poolType, kEntryTag) WaveDouble(engineIndex), miniport);
}

const EmuDeviceInterface* FindInterface(const std::vector<EmuDeviceInterface>& all,
                                        PDEVICE_OBJECT pdo, const GUID& interfaceClass)
{
    for (const EmuDeviceInterface& i : all)
        if (i.PhysicalDeviceObject == pdo && IsEqualGUID(i.InterfaceClass, interfaceClass))
            return &i;
    return nullptr;
}

// ----------------------------------------------------------------------------
NTSTATUS& DispatchRig::BusRemoveStatus()
{
    static NTSTATUS status = STATUS_SUCCESS;
    return status;
}

DispatchRig::DispatchRig()
{
    Script() = DeviceScript();
    EntryLog().clear();
    BusRemoveStatus() = STATUS_SUCCESS;
    if (!m_Device.Load({.BusName = u"lt4bus",
                        .BusPnp = BusPnp,
                        .InstancePath = u"USB\\VID_4C54&PID_1002\\5&1a2b&0&4",
                        .DriverName = u"ltusbaudio",
                        .DriverEntry = DriverEntry}))
        return;
    m_AddStatus = m_Device.Add();
}

DispatchRig::~DispatchRig()
{
    BusRemoveStatus() = STATUS_SUCCESS;
    if (Fdo() != nullptr && EmuPcIsAdapterDevice(Fdo()))
        Pnp(IRP_MN_REMOVE_DEVICE);
    if (m_Adapter != nullptr)
        m_Adapter->Release();
}

FakeAdapter* DispatchRig::Attach()
{
    AdapterExtension* extension = Extension();
    auto adapter = new (NonPagedPool, kEntryTag) FakeAdapter();
    if (adapter == nullptr || extension == nullptr)
        return nullptr;
    adapter->GetNonDelegatingUnknown()->AddRef();
    m_Adapter = adapter;
    if (!NT_SUCCESS(
            adapter->OpenAudioHalCallback(nullptr, Fdo(), extension->LowerDeviceObject, Pdo())))
        return nullptr;
    // Named as a start-up would: E0, E1...
    for (ULONG i = 0; i < adapter->GetEngineCount(); ++i)
    {
        CStreamEngine* engine = nullptr;
        WCHAR name[8];
        RtlStringCchPrintfW(name, 8, u"E%u", i);
        if (NT_SUCCESS(adapter->GetEngine(i, &engine)))
            engine->SetName(name);
    }
    extension->Adapter = static_cast<IAdapterCommon*>(adapter);
    adapter->AddRef();
    if (NT_SUCCESS(IoSetDeviceInterfaceState(&extension->AsioSymbolicLink, TRUE)))
        extension->AsioInterfaceEnabled = TRUE;
    if (NT_SUCCESS(IoSetDeviceInterfaceState(&extension->EnumSymbolicLink, TRUE)))
        extension->EnumInterfaceEnabled = TRUE;
    EntryLog().clear();
    return adapter;
}

NTSTATUS DispatchRig::Pnp(UCHAR minor)
{
    NTSTATUS status = EmuPnpSendMinor(Pdo(), minor);
    if (minor == IRP_MN_REMOVE_DEVICE)
        m_Device.Forget();
    return status;
}

// ----------------------------------------------------------------------------
StartRig::StartRig(SimReference device)
{
    Script() = DeviceScript();
    EntryLog().clear();
    m_PreviousClasses = SetDeviceClassFactories(&c_ScriptedClasses);
    m_PreviousMiniports = SetAdapterMiniportFactories(&c_ScriptedMiniports);
    m_Loaded = m_Device.Load({.DriverName = u"ltusbaudio",
                              .DriverEntry = DriverEntry,
                              .UsbDevice = SimCreateReferenceDevice(device)});
}

StartRig::~StartRig()
{
    if (Fdo() != nullptr && EmuPcIsAdapterDevice(Fdo()))
        Remove();
    // What is on the device now is found again, not what the addition left.
    m_Device.Forget();
    m_Device.Unload();
    SetDeviceClassFactories(m_PreviousClasses);
    SetAdapterMiniportFactories(m_PreviousMiniports);
}

// Found again each time: a start or removal may take it away.
PDEVICE_OBJECT StartRig::Fdo() const
{
    PDEVICE_OBJECT pdo = Pdo();
    if (pdo == nullptr)
        return nullptr;
    PDEVICE_OBJECT top = IoGetAttachedDevice(pdo);
    return top != pdo ? top : nullptr;
}

NTSTATUS StartRig::Add()
{
    return m_Device.Add();
}

NTSTATUS StartRig::Remove()
{
    NTSTATUS status = EmuPnpSendMinor(Pdo(), IRP_MN_REMOVE_DEVICE);
    m_Device.Forget();
    return status;
}

std::vector<std::string> StartRig::Subdevices() const
{
    std::vector<std::string> names;
    for (const std::u16string& name : SubdeviceNames(Fdo()))
        names.push_back(Narrow16(name.c_str()));
    return names;
}

std::vector<std::string> StartRig::Connections() const
{
    return ConnectionTexts(Fdo());
}

bool StartRig::InterfaceEnabled(const GUID& interfaceClass) const
{
    const std::vector<EmuDeviceInterface> all = EmuDeviceInterfaces();
    const EmuDeviceInterface* found = FindInterface(all, Pdo(), interfaceClass);
    return found != nullptr && found->Enabled;
}
