// The wave miniport's life: creation, Init and its undoing, streams, signal
// processing modes, the identity the driver frame installs it by, power
// notification and the private capability property.
#include "streaming/wave/wave_cyclic_miniport.h"

#include "framework/adapter_extension.h"
#include "framework/interface_table.h"
#include "streaming/wave/wave_cyclic_stream.h"
#include "streaming/wave/wave_data_format.h"

namespace
{
constexpr ULONG c_D0 = PowerDeviceD0;
constexpr ULONG c_D3 = PowerDeviceD3;

// Serialises the miniport's teardown with the adapter's other changes.
PKMUTEX AdapterMutexOf(PADAPTERCOMMON adapter)
{
    AdapterExtension* extension =
        adapter != nullptr ? GetAdapterExtension(adapter->GetDeviceObject()) : nullptr;
    return extension != nullptr ? &extension->ExtensionMutex : nullptr;
}
} // namespace

NTSTATUS CreateMiniportWaveCyclic(PUNKNOWN* unknown, REFCLSID, PUNKNOWN outerUnknown,
                                  POOL_TYPE poolType, ULONG engineIndex)
{
    PAGED_CODE();
    if (unknown == nullptr)
        return STATUS_INVALID_PARAMETER;
    *unknown = nullptr;
    auto miniport =
        new (poolType, WAVE_CYCLIC_POOL_TAG) CWaveCyclicMiniport(outerUnknown, engineIndex);
    if (miniport == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    *unknown = miniport->GetNonDelegatingUnknown();
    (*unknown)->AddRef();
    return STATUS_SUCCESS;
}

CWaveCyclicMiniport::CWaveCyclicMiniport(PUNKNOWN outerUnknown, ULONG engineIndex)
    : CUnknown(outerUnknown), m_FilterDescriptor(nullptr), m_PinDescriptors(nullptr),
      m_NodeDescriptor(nullptr), m_Connections(nullptr), m_Port(nullptr), m_Name(nullptr),
      m_Adapter(nullptr), m_Engine(nullptr), m_EngineIndex(engineIndex), m_StreamOpen(0),
      m_DevicePowerState(0), m_NoStreamEvent(), m_ActiveStreams(0), m_DataRanges(nullptr),
      m_DataRangePointers(nullptr), m_DataRangeEntries(0)
{
    KeInitializeEvent(&m_NoStreamEvent, NotificationEvent, TRUE);
}

CWaveCyclicMiniport::~CWaveCyclicMiniport()
{
    PAGED_CODE();
    PKMUTEX mutex = AdapterMutexOf(m_Adapter);
    if (mutex != nullptr)
        KeWaitForSingleObject(mutex, Executive, KernelMode, FALSE, nullptr);
    KeWaitForSingleObject(&m_NoStreamEvent, Executive, KernelMode, FALSE, nullptr);
    FreeAll();
    if (mutex != nullptr)
        KeReleaseMutex(mutex, FALSE);
}

// Frees what Init built and releases what it referenced.
void CWaveCyclicMiniport::FreeAll()
{
    if (m_Port != nullptr)
        m_Port->Release();
    m_Port = nullptr;
    PVOID blocks[] = {m_FilterDescriptor,
                      m_PinDescriptors,
                      m_NodeDescriptor,
                      m_Connections,
                      m_DataRanges,
                      m_DataRangePointers,
                      m_Name};
    for (PVOID block : blocks)
        if (block != nullptr)
            ExFreePoolWithTag(block, WAVE_CYCLIC_POOL_TAG);
    m_FilterDescriptor = nullptr;
    m_PinDescriptors = nullptr;
    m_NodeDescriptor = nullptr;
    m_Connections = nullptr;
    m_DataRanges = nullptr;
    m_DataRangePointers = nullptr;
    m_DataRangeEntries = 0;
    m_Name = nullptr;
    if (m_Engine != nullptr)
        m_Engine->Release();
    m_Engine = nullptr;
    if (m_Adapter != nullptr)
        m_Adapter->Release();
    m_Adapter = nullptr;
}

NTSTATUS CWaveCyclicMiniport::NonDelegatingQueryInterface(REFIID interfaceId, PVOID* object)
{
    if (object == nullptr)
        return STATUS_INVALID_PARAMETER;
    *object = nullptr;
    const ControlInterfaceEntry entries[] = {
        {&IID_IUnknown, GetNonDelegatingUnknown()},
        {&IID_IMiniport, static_cast<IMiniportWaveCyclic*>(this)},
        {&IID_IMiniportWaveCyclic, static_cast<IMiniportWaveCyclic*>(this)},
        {&IID_IMiniportAudioSignalProcessing, static_cast<IMiniportAudioSignalProcessing*>(this)},
        {&IID_IMiniportIdentity, static_cast<IMiniportIdentity*>(this)},
        {&IID_IPowerNotify, static_cast<IPowerNotify*>(this)}};
    return AnswerControlInterface(entries, interfaceId, object);
}

NTSTATUS CWaveCyclicMiniport::Init(PUNKNOWN unknownAdapter, PRESOURCELIST, PPORTWAVECYCLIC port)
{
    PAGED_CODE();
    if (port == nullptr || unknownAdapter == nullptr)
        return STATUS_INVALID_PARAMETER;
    if (m_Port != nullptr)
        return STATUS_INVALID_DEVICE_STATE; // bound once
    port->AddRef();
    m_Port = port;
    m_DevicePowerState = c_D0;
    NTSTATUS status = unknownAdapter->QueryInterface(IID_IAdapterCommon, (PVOID*)&m_Adapter);
    if (NT_SUCCESS(status))
        status = m_Adapter->GetEngine(m_EngineIndex, &m_Engine);
    if (NT_SUCCESS(status) && m_Engine == nullptr)
        status = STATUS_UNSUCCESSFUL;
    if (NT_SUCCESS(status))
        m_Engine->AddRef();
    else
        m_Engine = nullptr;
    if (NT_SUCCESS(status))
        status = BuildDataRanges();
    if (NT_SUCCESS(status))
        status = BuildDescriptors();
    if (NT_SUCCESS(status))
        status = BuildName();
    if (!NT_SUCCESS(status))
        FreeAll();
    return status;
}

NTSTATUS CWaveCyclicMiniport::BuildName()
{
    WCHAR engineName[STREAM_ENGINE_NAME_OUT_CHARS] = {};
    NTSTATUS status = m_Engine->GetName(engineName);
    if (!NT_SUCCESS(status))
        return status;
    engineName[STREAM_ENGINE_NAME_CHARS] = 0; // at most 50 characters of it
    m_Name = static_cast<PWSTR>(ExAllocatePoolWithTag(
        PagedPool, WAVE_FILTER_NAME_CHARS * sizeof(WCHAR), WAVE_CYCLIC_POOL_TAG));
    if (m_Name == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    // A name that does not fit is cut short.
    RtlStringCchPrintfW(m_Name, WAVE_FILTER_NAME_CHARS, u"%s%s", engineName, u"Wave");
    return STATUS_SUCCESS;
}

NTSTATUS CWaveCyclicMiniport::GetDescription(PPCFILTER_DESCRIPTOR* description)
{
    if (description == nullptr)
        return STATUS_INVALID_PARAMETER;
    *description = m_FilterDescriptor;
    return m_FilterDescriptor != nullptr ? STATUS_SUCCESS : STATUS_DEVICE_CONFIGURATION_ERROR;
}

NTSTATUS CWaveCyclicMiniport::NewStream(PMINIPORTWAVECYCLICSTREAM* stream, PUNKNOWN outerUnknown,
                                        POOL_TYPE, ULONG pin, BOOLEAN capture,
                                        PKSDATAFORMAT dataFormat, PDMACHANNEL* dmaChannel,
                                        PSERVICEGROUP* serviceGroup)
{
    PAGED_CODE();
    if (stream == nullptr || dmaChannel == nullptr || serviceGroup == nullptr)
        return STATUS_INVALID_PARAMETER;
    *stream = nullptr;
    *dmaChannel = nullptr;
    *serviceGroup = nullptr;
    if (m_StreamOpen != 0)
        return STATUS_INSUFFICIENT_RESOURCES;
    WAVEFORMATEXTENSIBLE host;
    NTSTATUS status = WaveCheckDataFormat(dataFormat, m_Engine, &host);
    if (!NT_SUCCESS(status))
        return status;
    if ((dataFormat->Flags & KSDATAFORMAT_ATTRIBUTES) != 0)
    {
        GUID mode;
        status = WaveReadProcessingMode(dataFormat, &mode);
        if (!NT_SUCCESS(status))
            return status;
        if (!IsEqualGUID(mode, AUDIO_SIGNALPROCESSINGMODE_RAW))
            return STATUS_INVALID_DEVICE_REQUEST;
    }
    auto object = new (NonPagedPool, WAVE_CYCLIC_POOL_TAG) CWaveCyclicStream(outerUnknown);
    if (object == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    object->NonDelegatingAddRef(); // the creation reference
    status = object->Init(this, pin, capture, dataFormat, m_Engine, serviceGroup);
    if (NT_SUCCESS(status))
    {
        *stream = static_cast<IMiniportWaveCyclicStream*>(object);
        (*stream)->AddRef();
        *dmaChannel = static_cast<IDmaChannel*>(object);
        (*dmaChannel)->AddRef();
    }
    object->NonDelegatingRelease();
    return status;
}

void CWaveCyclicMiniport::StreamCreated()
{
    if (InterlockedIncrement(&m_ActiveStreams) == 1)
        KeClearEvent(&m_NoStreamEvent);
    m_StreamOpen = 1;
}

void CWaveCyclicMiniport::StreamDestroyed()
{
    if (InterlockedDecrement(&m_ActiveStreams) == 0)
        KeSetEvent(&m_NoStreamEvent, IO_NO_INCREMENT, FALSE);
    m_StreamOpen = 0;
}

NTSTATUS CWaveCyclicMiniport::GetModes(ULONG pin, GUID* signalProcessingModes, PULONG modeCount)
{
    if (modeCount == nullptr)
        return STATUS_INVALID_PARAMETER;
    if (pin != WAVE_STREAMING_PIN)
        return STATUS_NOT_SUPPORTED;
    if (signalProcessingModes == nullptr)
    {
        *modeCount = 1;
        return STATUS_SUCCESS;
    }
    if (*modeCount == 0)
    {
        *modeCount = 1;
        return STATUS_BUFFER_TOO_SMALL;
    }
    signalProcessingModes[0] = AUDIO_SIGNALPROCESSINGMODE_RAW;
    *modeCount = 1;
    return STATUS_SUCCESS;
}

// The id of the terminal on the stream's USB side: the one its
// AudioStreaming interface links to, of whatever USB type, found among the
// engine's controls as an input terminal for render, an output terminal for
// capture. An engine that names no link is joined by its last terminal of
// that side that reports the streaming kind. None: the filter cannot be
// joined, and no id is made up.
NTSTATUS CWaveCyclicMiniport::GetConnectionId(PULONG connectionId)
{
    PAGED_CODE();
    if (connectionId == nullptr)
        return STATUS_INVALID_PARAMETER;
    if (m_Engine == nullptr)
        return WAVE_NOT_CONNECTABLE_STATUS;
    const ULONG direction = m_Engine->GetDirection() != STREAM_DIRECTION_RENDER
                                ? STREAM_DIRECTION_CAPTURE
                                : STREAM_DIRECTION_RENDER;
    ULONG link = 0;
    const bool linked = NT_SUCCESS(m_Engine->GetStreamTerminal(&link));
    bool found = false;
    const ULONG count = m_Engine->GetControlCount();
    for (ULONG i = 0; i < count; ++i)
    {
        CAudioControl* control = nullptr;
        if (!NT_SUCCESS(m_Engine->GetControlAt(i, &control)) || control == nullptr ||
            control->GetKind() != direction || (linked && control->GetId() != link))
            continue;
        PTERMINALCONTROL terminal = nullptr;
        if (!NT_SUCCESS(control->QueryInterface(IID_ITerminalControl, (PVOID*)&terminal)))
            continue;
        ULONG kind = ENDPOINT_KIND_COUNT;
        if (linked || (NT_SUCCESS(terminal->GetCurrentKind(&kind)) && kind == ENDPOINT_KIND_STREAM))
        {
            *connectionId = control->GetId(); // the last one wins
            found = true;
        }
        terminal->Release();
    }
    return found ? STATUS_SUCCESS : WAVE_NOT_CONNECTABLE_STATUS;
}

NTSTATUS CWaveCyclicMiniport::GetFilterName(PWSTR* filterName)
{
    if (filterName == nullptr)
        return STATUS_INVALID_PARAMETER;
    *filterName = m_Name;
    return STATUS_SUCCESS;
}

void CWaveCyclicMiniport::PowerChangeNotify(POWER_STATE powerState)
{
    const ULONG state = (ULONG)powerState.DeviceState;
    if (state >= c_D0 && state <= c_D3 && state != m_DevicePowerState)
        m_DevicePowerState = state;
}

NTSTATUS CWaveCyclicMiniport::PropertyCapabilities(PPCPROPERTY_REQUEST request)
{
    PAGED_CODE();
    if (request == nullptr || request->PropertyItem == nullptr ||
        request->PropertyItem->Set == nullptr ||
        !IsEqualGUID(*request->PropertyItem->Set, KSPROPSETID_DevicePrivate) ||
        request->PropertyItem->Id != WAVE_PROPERTY_CAPABILITIES ||
        request->Verb != KSPROPERTY_TYPE_GET)
        return STATUS_INVALID_DEVICE_REQUEST;
    if (request->ValueSize < sizeof(EndpointCapabilities) || request->Value == nullptr)
        return STATUS_INVALID_DEVICE_REQUEST;
    auto miniport = static_cast<CWaveCyclicMiniport*>(
        static_cast<IMiniportWaveCyclic*>(static_cast<PMINIPORT>(request->MajorTarget)));
    if (miniport->m_Adapter == nullptr)
        return STATUS_INVALID_DEVICE_REQUEST;
    NTSTATUS status = miniport->m_Adapter->GetStreamCapabilities(
        miniport->m_EngineIndex, static_cast<PENDPOINTCAPABILITIES>(request->Value));
    if (NT_SUCCESS(status))
        request->ValueSize = sizeof(EndpointCapabilities);
    return status;
}
