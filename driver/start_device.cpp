// Adapter start-up. The port-class library calls StartDevice when the device
// is started; a failure is returned to the library, which fails the start
// request. What earlier steps registered stays registered until the device
// is removed, when the library takes it down.
#include "driver/start_device.h"

#include "driver/adapter_common.h"
#include "framework/adapter_extension.h"
#include "framework/stream_engine.h"
#include "framework/subdevice_install.h"
#include "streaming/wave/wave_cyclic_miniport.h"
#include "usbaudio/topology/miniport.h"

namespace
{
// The driver's own miniports.
const AdapterMiniportFactories c_DriverMiniports = {CreateMiniportTopology,
                                                    CreateMiniportWaveCyclic};
const AdapterMiniportFactories* g_MiniportTable = &c_DriverMiniports;

// The library must be recent enough for what the driver asks of it.
NTSTATUS CheckPortClassVersion()
{
    PPORT port = nullptr;
    NTSTATUS status = PcNewPort(&port, CLSID_PortWaveCyclic);
    if (!NT_SUCCESS(status))
        return status;
    PPORTCLSVERSION version = nullptr;
    status = STATUS_UNSUCCESSFUL;
    if (NT_SUCCESS(port->QueryInterface(IID_IPortClsVersion, (PVOID*)&version)))
    {
        if (version->GetVersion() >= (DWORD)MINIMUM_PORTCLS_VERSION)
            status = STATUS_SUCCESS;
        version->Release();
    }
    port->Release();
    return status;
}

// Names the engine from its endpoint kind, its direction and the running
// index of that pair: SPKOut00, SPKOut01, MicIn00...
NTSTATUS NameEngine(AdapterExtension* extension, CStreamEngine* engine, PWSTR name)
{
    const bool render = engine->GetDirection() == STREAM_DIRECTION_RENDER;
    ULONG kind = engine->GetEndpointKind();
    if (kind >= ENDPOINT_KIND_COUNT)
    {
        // No prefix of its own: the engine is named as a plain stream.
        DbgPrint("StartDevice endpoint kind %u has no name prefix\n", kind);
        kind = ENDPOINT_KIND_STREAM;
    }
    UCHAR* counters = render ? extension->OutputNameCounters : extension->InputNameCounters;
    const UCHAR index = counters[kind]++;
    RtlStringCchPrintfW(name, SUBDEVICE_NAME_CHARS, render ? u"%sOut%02d" : u"%sIn%02d",
                        EndpointTypePrefixes[kind], (int)index);
    return engine->SetName(name);
}

// Names the engine and installs its wave subdevice, joined to the topology
// filter. *wantsAsio is set when the stream asks for the ASIO interface.
NTSTATUS SetUpEngine(AdapterExtension* extension, PADAPTERCOMMON adapter, ULONG index,
                     PDEVICE_OBJECT deviceObject, PIRP irp, PUNKNOWN adapterUnknown,
                     PUNKNOWN topologyPort, PUNKNOWN topologyMiniport, PWSTR name, bool* wantsAsio)
{
    // What the step that fails tried: the start's failure names it, not a
    // line an earlier step left that did not fail the start.
    PCSTR step = "the engine could not be found";
    CStreamEngine* engine = nullptr;
    NTSTATUS status = adapter->GetEngine(index, &engine);
    if (NT_SUCCESS(status) && engine == nullptr)
        status = STATUS_UNSUCCESSFUL;
    if (NT_SUCCESS(status))
    {
        step = "it could not be named";
        status = NameEngine(extension, engine, name);
    }
    if (NT_SUCCESS(status))
    {
        step = "its wave miniport factory was refused";
        status = engine->SetMiniportFactory(g_MiniportTable->CreateMiniportWaveCyclic,
                                            CLSID_PortWaveCyclic);
    }
    if (NT_SUCCESS(status))
    {
        step = "the topology filter was refused";
        status = engine->SetPortTopology(topologyPort, topologyMiniport);
    }
    if (NT_SUCCESS(status))
    {
        step = "its wave subdevice could not be installed";
        status = engine->InstallMiniport(deviceObject, irp, adapterUnknown);
    }
    if (!NT_SUCCESS(status))
    {
        DbgPrint("StartDevice: stream engine %u: %s: 0x%08X\n", index, step, (unsigned)status);
        return status;
    }
    EndpointCapabilities capabilities;
    RtlZeroMemory(&capabilities, sizeof(capabilities));
    adapter->GetStreamCapabilities(index, &capabilities);
    if ((capabilities.ThirdValue & ENDPOINT_CAPS_ASIO_STREAM) != 0)
        *wantsAsio = true;
    return status;
}

// A subdevice whose miniport comes from a port-class factory alone.
class FactorySteps final : public SubdeviceSteps
{
  public:
    FactorySteps(PMINIPORT_FACTORY factory, REFCLSID classId)
        : m_Factory(factory), m_ClassId(classId)
    {
    }
    NTSTATUS CreateMiniport(PUNKNOWN* miniport) override
    {
        if (m_Factory == nullptr)
            return STATUS_INVALID_PARAMETER;
        return m_Factory(miniport, m_ClassId, nullptr, NonPagedPool);
    }

  private:
    PMINIPORT_FACTORY m_Factory;
    REFCLSID m_ClassId;
};
} // namespace

const AdapterMiniportFactories* SetAdapterMiniportFactories(const AdapterMiniportFactories* table)
{
    const AdapterMiniportFactories* previous = g_MiniportTable;
    g_MiniportTable = table != nullptr ? table : &c_DriverMiniports;
    return previous;
}

const AdapterMiniportFactories* GetAdapterMiniportFactories()
{
    return g_MiniportTable;
}

NTSTATUS InstallSubdevice(PDEVICE_OBJECT deviceObject, PIRP irp, REFCLSID portClassId,
                          REFCLSID miniportClassId, PMINIPORT_FACTORY miniportFactory,
                          PUNKNOWN adapterUnknown, PUNKNOWN* portUnknown, PUNKNOWN* miniport)
{
    PAGED_CODE();
    if (adapterUnknown == nullptr || miniport == nullptr)
        return STATUS_INVALID_PARAMETER;
    *miniport = nullptr;
    if (portUnknown != nullptr)
        *portUnknown = nullptr;
    FactorySteps steps(miniportFactory, miniportClassId);
    return InstallPortSubdevice(deviceObject, irp, portClassId, adapterUnknown, steps, portUnknown,
                                miniport);
}

NTSTATUS StartDevice(PDEVICE_OBJECT deviceObject, PIRP irp, PRESOURCELIST resourceList)
{
    PAGED_CODE();
    AdapterExtension* extension = GetAdapterExtension(deviceObject);
    if (extension == nullptr)
        return STATUS_INVALID_DEVICE_STATE;

    PUNKNOWN adapterUnknown = nullptr;
    PADAPTERCOMMON adapter = nullptr;
    PWSTR name = nullptr;
    PUNKNOWN topologyPort = nullptr;
    PUNKNOWN topologyMiniport = nullptr;
    bool wantsAsio = false;

    NTSTATUS status = CheckPortClassVersion();
    if (NT_SUCCESS(status))
        status = CreateAdapterCommon(&adapterUnknown);
    if (NT_SUCCESS(status))
        status = adapterUnknown->QueryInterface(IID_IAdapterCommon, (PVOID*)&adapter);
    if (NT_SUCCESS(status))
        // The adapter's Init: it opens and configures the USB device and
        // creates the device object of its class.
        status =
            adapter->OpenAudioHalCallback(resourceList, deviceObject, extension->LowerDeviceObject,
                                          extension->PhysicalDeviceObject);
    if (NT_SUCCESS(status))
        status = PcRegisterAdapterPowerManagement(adapterUnknown, deviceObject);
    if (NT_SUCCESS(status))
    {
        name = static_cast<PWSTR>(ExAllocatePoolWithTag(
            PagedPool, SUBDEVICE_NAME_CHARS * sizeof(WCHAR), SUBDEVICE_NAME_POOL_TAG));
        if (name == nullptr)
            status = STATUS_INSUFFICIENT_RESOURCES;
    }
    if (NT_SUCCESS(status))
        status = InstallSubdevice(deviceObject, irp, CLSID_PortTopology, CLSID_PortTopology,
                                  g_MiniportTable->CreateMiniportTopology, adapterUnknown,
                                  &topologyPort, &topologyMiniport);
    if (NT_SUCCESS(status))
    {
        const ULONG count = adapter->GetEngineCount();
        for (ULONG index = 0; index < count && NT_SUCCESS(status); ++index)
            status = SetUpEngine(extension, adapter, index, deviceObject, irp, adapterUnknown,
                                 topologyPort, topologyMiniport, name, &wantsAsio);
    }
    if (NT_SUCCESS(status))
    {
        status = adapter->StartAllUnits();
        if (!NT_SUCCESS(status))
            DbgPrint("StartDevice: the device's units could not be started: 0x%08X\n",
                     (unsigned)status);
    }
    if (NT_SUCCESS(status) && wantsAsio && extension->AsioLinkRegistered)
    {
        // The device works without the ASIO interface.
        if (NT_SUCCESS(IoSetDeviceInterfaceState(&extension->AsioSymbolicLink, TRUE)))
            extension->AsioInterfaceEnabled = TRUE;
    }
    // A link that could not be registered when the device was added has
    // nothing to enable; the device is started without that interface.
    if (NT_SUCCESS(status) && extension->EnumLinkRegistered)
    {
        status = IoSetDeviceInterfaceState(&extension->EnumSymbolicLink, TRUE);
        if (NT_SUCCESS(status))
            extension->EnumInterfaceEnabled = TRUE;
        else
            DbgPrint("StartDevice: the enumeration interface could not be enabled: 0x%08X\n",
                     (unsigned)status);
    }
    if (NT_SUCCESS(status))
    {
        // A start after an earlier one replaces the adapter it kept.
        if (extension->Adapter != nullptr)
            extension->Adapter->Release();
        extension->Adapter = adapter;
        adapter->AddRef();
        status = STATUS_SUCCESS;
    }

    if (adapter != nullptr)
        adapter->Release();
    if (adapterUnknown != nullptr)
        adapterUnknown->Release();
    if (name != nullptr)
        ExFreePoolWithTag(name, SUBDEVICE_NAME_POOL_TAG);
    if (topologyPort != nullptr)
        topologyPort->Release();
    return status;
}
