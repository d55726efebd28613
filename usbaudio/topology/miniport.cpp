// The topology miniport's life: creation, Init and the filter it builds,
// lookups, identity, power notification and the control-change callback.
#include "usbaudio/topology/miniport.h"

#include "framework/registry_settings.h"
#include "audioclass/controls/control_interfaces.h"
#include "usbaudio/topology/tables.h"

namespace
{
bool IsTerminal(ULONG kind)
{
    return kind == CONTROL_KIND_INPUT_TERMINAL || kind == CONTROL_KIND_OUTPUT_TERMINAL;
}

template <typename T> T* AllocateZeroed(ULONG count)
{
    const SIZE_T bytes = (SIZE_T)(count == 0 ? 1 : count) * sizeof(T);
    auto block = static_cast<T*>(ExAllocatePoolWithTag(NonPagedPool, bytes, TOPOLOGY_POOL_TAG));
    if (block != nullptr)
        RtlZeroMemory(block, bytes);
    return block;
}

template <typename T> void FreeBlock(T*& block)
{
    if (block != nullptr)
        ExFreePoolWithTag(block, TOPOLOGY_POOL_TAG);
    block = nullptr;
}

// The terminal's current endpoint kind; TOPOLOGY_UNKNOWN_PIN_KIND when it
// does not answer the terminal interface.
ULONG EndpointKindOf(PAUDIOCONTROL control)
{
    PTERMINALCONTROL terminal = nullptr;
    ULONG kind = TOPOLOGY_UNKNOWN_PIN_KIND;
    if (NT_SUCCESS(control->QueryInterface(IID_ITerminalControl, (PVOID*)&terminal)))
    {
        if (!NT_SUCCESS(terminal->GetCurrentKind(&kind)))
            kind = TOPOLOGY_UNKNOWN_PIN_KIND;
        terminal->Release();
    }
    return kind;
}
} // namespace

NTSTATUS CreateMiniportTopology(PUNKNOWN* unknown, REFCLSID, PUNKNOWN outerUnknown,
                                POOL_TYPE poolType)
{
    PAGED_CODE();
    if (unknown == nullptr)
        return STATUS_INVALID_PARAMETER;
    *unknown = nullptr;
    auto miniport = new (poolType, TOPOLOGY_POOL_TAG) CTopologyMiniport(outerUnknown);
    if (miniport == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    *unknown = miniport->GetNonDelegatingUnknown();
    (*unknown)->AddRef();
    return STATUS_SUCCESS;
}

CTopologyMiniport::CTopologyMiniport(PUNKNOWN outerUnknown)
    : CUnknown(outerUnknown), m_Port(nullptr), m_PortEvents(nullptr), m_FilterName(nullptr),
      m_CallbackHandle(nullptr), m_Device(nullptr), m_DeviceLock(nullptr), m_Pins(nullptr),
      m_Nodes(nullptr), m_PinCount(0), m_NodeCount(0), m_ConnectionCount(0),
      m_ConnectionCapacity(0), m_FilterDescriptor(nullptr), m_PinDescriptors(nullptr),
      m_NodeDescriptors(nullptr), m_Connections(nullptr), m_SpdifOutName(), m_SpdifInName(),
      m_LineInName(), m_PseudoNodeName(), m_PowerState(TOPOLOGY_INITIAL_POWER_STATE)
{
}

CTopologyMiniport::~CTopologyMiniport()
{
    PAGED_CODE();
    FreeAll();
}

void CTopologyMiniport::FreeAll()
{
    if (m_CallbackHandle != nullptr && m_Device != nullptr)
        m_Device->UnregisterCallback(m_CallbackHandle);
    m_CallbackHandle = nullptr;
    if (m_PortEvents != nullptr)
        m_PortEvents->Release();
    m_PortEvents = nullptr;
    if (m_Port != nullptr)
        m_Port->Release();
    m_Port = nullptr;
    FreeBlock(m_FilterDescriptor);
    FreeBlock(m_PinDescriptors);
    FreeBlock(m_NodeDescriptors);
    FreeBlock(m_Connections);
    for (ULONG i = 0; m_Pins != nullptr && i < m_PinCount; ++i)
        m_Pins[i].Control->Release();
    for (ULONG i = 0; m_Nodes != nullptr && i < m_NodeCount; ++i)
        m_Nodes[i].Control->Release();
    FreeBlock(m_Pins);
    FreeBlock(m_Nodes);
    m_PinCount = m_NodeCount = m_ConnectionCount = m_ConnectionCapacity = 0;
    FreeBlock(m_FilterName);
    if (m_DeviceLock != nullptr)
        m_DeviceLock->Release();
    m_DeviceLock = nullptr;
    if (m_Device != nullptr)
        m_Device->Release();
    m_Device = nullptr;
}

NTSTATUS CTopologyMiniport::NonDelegatingQueryInterface(REFIID interfaceId, PVOID* object)
{
    if (object == nullptr)
        return STATUS_INVALID_PARAMETER;
    *object = nullptr;
    const ControlInterfaceEntry entries[] = {
        {&IID_IUnknown, GetNonDelegatingUnknown()},
        {&IID_IMiniport, static_cast<IMiniportTopology*>(this)},
        {&IID_IMiniportTopology, static_cast<IMiniportTopology*>(this)},
        {&IID_IPowerNotify, static_cast<IPowerNotify*>(this)},
        {&IID_IMiniportIdentity, static_cast<IMiniportIdentity*>(this)}};
    return AnswerControlInterface(entries, interfaceId, object);
}

CTopologyMiniport* CTopologyMiniport::From(PUNKNOWN majorTarget)
{
    return static_cast<CTopologyMiniport*>(
        static_cast<IMiniportTopology*>(static_cast<PMINIPORT>(majorTarget)));
}

NTSTATUS CTopologyMiniport::GetDescription(PPCFILTER_DESCRIPTOR* description)
{
    if (description == nullptr)
        return STATUS_INVALID_PARAMETER;
    *description = m_FilterDescriptor;
    return m_FilterDescriptor != nullptr ? STATUS_SUCCESS : STATUS_DEVICE_CONFIGURATION_ERROR;
}

NTSTATUS CTopologyMiniport::DataRangeIntersection(ULONG, PKSDATARANGE, PKSDATARANGE, ULONG, PVOID,
                                                  PULONG)
{
    return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS CTopologyMiniport::Init(PUNKNOWN unknownAdapter, PRESOURCELIST, PPORTTOPOLOGY port)
{
    PAGED_CODE();
    if (port == nullptr || unknownAdapter == nullptr)
        return STATUS_INVALID_PARAMETER;
    if (m_Port != nullptr)
        return STATUS_INVALID_DEVICE_STATE; // bound once
    port->AddRef();
    m_Port = port;
    NTSTATUS status = unknownAdapter->QueryInterface(IID_IAdapterCommon, (PVOID*)&m_Device);
    if (!NT_SUCCESS(status))
        m_Device = nullptr;
    // A device without the lock has no polling thread to share with.
    if (NT_SUCCESS(status) &&
        !NT_SUCCESS(unknownAdapter->QueryInterface(IID_IDeviceLock, (PVOID*)&m_DeviceLock)))
        m_DeviceLock = nullptr;
    if (NT_SUCCESS(status))
        status = BuildPins();
    if (NT_SUCCESS(status))
        status = BuildNodes();
    if (NT_SUCCESS(status))
        status = BuildDescriptor();
    if (NT_SUCCESS(status))
    {
        m_FilterName = AllocateZeroed<WCHAR>(TOPOLOGY_NAME_CHARS);
        status = m_FilterName == nullptr ? STATUS_INSUFFICIENT_RESOURCES
                                         : RtlStringCchPrintfW(m_FilterName, TOPOLOGY_NAME_CHARS,
                                                               u"%s%s", u"Global", u"Topo");
    }
    if (NT_SUCCESS(status))
        status = port->QueryInterface(IID_IPortEvents, (PVOID*)&m_PortEvents);
    if (NT_SUCCESS(status))
        status = m_Device->RegisterCallback(ControlChangeCallback, this, &m_CallbackHandle);
    if (!NT_SUCCESS(status))
        FreeAll();
    return status;
}

// Terminal controls become pins: stream terminals at the head (so in reverse
// of the device's order), all others at the tail in device order.
NTSTATUS CTopologyMiniport::BuildPins()
{
    const ULONG count = m_Device->GetUnitCount();
    m_Pins = AllocateZeroed<TopologyEntry>(count);
    if (m_Pins == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    for (ULONG pass = 0; pass < 2; ++pass)
        for (ULONG i = 0; i < count; ++i)
        {
            const ULONG at = pass == 0 ? count - 1 - i : i;
            PAUDIOCONTROL control = nullptr;
            if (!NT_SUCCESS(m_Device->GetUnit(at, &control)) || control == nullptr ||
                !IsTerminal(control->GetKind()))
                continue;
            PTERMINALCONTROL terminal = nullptr;
            if (!NT_SUCCESS(control->QueryInterface(IID_ITerminalControl, (PVOID*)&terminal)))
                continue;
            terminal->Release();
            const bool stream = EndpointKindOf(control) == ENDPOINT_KIND_STREAM;
            if (stream != (pass == 0))
                continue;
            control->AddRef();
            m_Pins[m_PinCount] = {control, m_PinCount};
            ++m_PinCount;
        }
    return STATUS_SUCCESS;
}

// Every control but terminals and clocks becomes a node, in reverse of the
// device's order.
NTSTATUS CTopologyMiniport::BuildNodes()
{
    const ULONG count = m_Device->GetUnitCount();
    m_Nodes = AllocateZeroed<TopologyEntry>(count);
    if (m_Nodes == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    for (ULONG i = count; i-- > 0;)
    {
        PAUDIOCONTROL control = nullptr;
        if (!NT_SUCCESS(m_Device->GetUnit(i, &control)) || control == nullptr)
            continue;
        const ULONG kind = control->GetKind();
        if (IsTerminal(kind) || kind == CONTROL_KIND_CLOCK_FREQUENCY_LIST)
            continue;
        control->AddRef();
        m_Nodes[m_NodeCount] = {control, m_NodeCount};
        ++m_NodeCount;
    }
    return STATUS_SUCCESS;
}

NTSTATUS CTopologyMiniport::BuildPinDescriptor(TopologyEntry& pin, PCPIN_DESCRIPTOR& descriptor)
{
    const ULONG kind = EndpointKindOf(pin.Control);
    if (kind >= TOPOLOGY_PIN_KINDS)
        return STATUS_INVALID_PARAMETER;
    const bool output = pin.Control->GetKind() == CONTROL_KIND_OUTPUT_TERMINAL;
    const bool vista = RtlIsNtDdiVersionAvailable(NTDDI_VISTA) != FALSE;
    const PinKindRow& row = c_PinKinds[kind];
    KSPIN_DESCRIPTOR& ks = descriptor.KsPinDescriptor;
    ks.DataRangesCount = 1;
    ks.DataRanges = c_AnalogRanges;
    ks.DataFlow = output ? KSPIN_DATAFLOW_OUT : KSPIN_DATAFLOW_IN;
    ks.Communication = KSPIN_COMMUNICATION_NONE;
    ks.Category = !vista && row.LegacyCategory != nullptr ? row.LegacyCategory : row.Category;
    PDEVICE_OBJECT device = m_Device->GetDeviceObject();
    WCHAR valueName[TOPOLOGY_NAME_CHARS];
    switch (row.Rule)
    {
    case PinNameRule::None:
        break;
    case PinNameRule::Fixed:
        ks.Name = row.Name;
        break;
    case PinNameRule::FixedFromVista:
        ks.Name = vista ? row.Name : nullptr;
        break;
    case PinNameRule::SpdifRegistry:
        if (output)
            ks.Name = NT_SUCCESS(RegistryBinarySetting(device, SETTINGS_READ, &m_SpdifOutName,
                                                       sizeof(GUID), u"SpdifOutName"))
                          ? &m_SpdifOutName
                          : row.Name;
        else
        {
            RtlStringCchPrintfW(valueName, TOPOLOGY_NAME_CHARS, u"%s_%02d", u"SpdifInName",
                                (int)pin.Index);
            ks.Name = NT_SUCCESS(RegistryBinarySetting(device, SETTINGS_READ, &m_SpdifInName,
                                                       sizeof(GUID), valueName))
                          ? &m_SpdifInName
                          : row.InputName;
        }
        break;
    case PinNameRule::LineInputRegistry:
        if (pin.Control->GetKind() != CONTROL_KIND_INPUT_TERMINAL)
            break;
        RtlStringCchPrintfW(valueName, TOPOLOGY_NAME_CHARS, u"%s_%02d", u"LineInName",
                            (int)pin.Index);
        if (NT_SUCCESS(RegistryBinarySetting(device, SETTINGS_READ, &m_LineInName, sizeof(GUID),
                                             valueName)))
            ks.Name = &m_LineInName;
        break;
    }
    return STATUS_SUCCESS;
}

NTSTATUS CTopologyMiniport::BuildDescriptor()
{
    m_FilterDescriptor = AllocateZeroed<PCFILTER_DESCRIPTOR>(1);
    m_PinDescriptors = AllocateZeroed<PCPIN_DESCRIPTOR>(m_PinCount);
    m_NodeDescriptors = AllocateZeroed<PCNODE_DESCRIPTOR>(m_NodeCount);
    if (m_FilterDescriptor == nullptr || m_PinDescriptors == nullptr ||
        m_NodeDescriptors == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS status = STATUS_SUCCESS;
    for (ULONG i = 0; i < m_PinCount && NT_SUCCESS(status); ++i)
        status = BuildPinDescriptor(m_Pins[i], m_PinDescriptors[i]);
    for (ULONG i = 0; i < m_NodeCount && NT_SUCCESS(status); ++i)
    {
        PAUDIOCONTROL control = m_Nodes[i].Control;
        const NodeTypeRow* row = NodeRowFor(control->GetKind(), control->GetValueCount());
        if (row == nullptr)
            return STATUS_INVALID_PARAMETER;
        PCNODE_DESCRIPTOR& node = m_NodeDescriptors[i];
        node.AutomationTable = row->Automation;
        node.Type = row->Type;
        node.Name = row->Name;
        if (row->Rule == NodeNameRule::Pseudo)
        {
            PPSEUDOCONTROL pseudo = nullptr;
            status = control->QueryInterface(IID_IPseudoControl, (PVOID*)&pseudo);
            if (NT_SUCCESS(status))
            {
                status = pseudo->GetIdentity(&m_PseudoNodeName);
                pseudo->Release();
            }
            node.Name = &m_PseudoNodeName;
        }
    }
    if (NT_SUCCESS(status))
        status = BuildConnections();
    if (!NT_SUCCESS(status))
        return status;
    PCFILTER_DESCRIPTOR& filter = *m_FilterDescriptor;
    filter.AutomationTable = &c_FilterAutomation;
    filter.PinSize = sizeof(PCPIN_DESCRIPTOR);
    filter.PinCount = m_PinCount;
    filter.Pins = m_PinDescriptors;
    filter.NodeSize = sizeof(PCNODE_DESCRIPTOR);
    filter.NodeCount = m_NodeCount;
    filter.Nodes = m_NodeDescriptors;
    filter.ConnectionCount = m_ConnectionCount;
    filter.Connections = m_Connections;
    filter.CategoryCount = TOPOLOGY_CATEGORY_COUNT;
    filter.Categories = c_TopologyCategories;
    return STATUS_SUCCESS;
}

void CTopologyMiniport::PowerChangeNotify(POWER_STATE powerState)
{
    const ULONG state = (ULONG)powerState.DeviceState;
    if (state != m_PowerState && state >= PowerDeviceD0 && state <= PowerDeviceD3)
        m_PowerState = state;
}

NTSTATUS CTopologyMiniport::GetConnectionId(PULONG connectionId)
{
    if (connectionId == nullptr)
        return STATUS_INVALID_PARAMETER;
    TopologyEntry* pin = m_PinCount == 0 ? nullptr : PinById(*connectionId);
    if (pin == nullptr)
        return STATUS_UNSUCCESSFUL;
    *connectionId = pin->Index;
    return STATUS_SUCCESS;
}

NTSTATUS CTopologyMiniport::GetFilterName(PWSTR* filterName)
{
    if (filterName == nullptr)
        return STATUS_INVALID_PARAMETER;
    *filterName = m_FilterName;
    return STATUS_SUCCESS;
}

void CTopologyMiniport::RaiseControlChange(ULONG nodeIndex)
{
    if (m_PortEvents == nullptr)
        return;
    GUID set = KSEVENTSETID_AudioControlChange;
    m_PortEvents->GenerateEventList(&set, KSEVENT_CONTROL_CHANGE, FALSE, 0xFFFFFFFF, TRUE,
                                    nodeIndex);
}

// The device's control-change record: {kind 1, sub-kind 1, control id}.
void CTopologyMiniport::ControlChangeCallback(PVOID context, PVOID argument1, PVOID)
{
    auto miniport = static_cast<CTopologyMiniport*>(context);
    auto record = static_cast<const ULONG*>(argument1);
    if (miniport == nullptr || record == nullptr || record[0] != 1 || record[1] != 1)
        return;
    TopologyEntry* node = nullptr;
    if (miniport->FindNodeById(record[2], &node))
        miniport->RaiseControlChange(node->Index);
}
