// The test adapter, its miniports and the rig that loads them.
#include "tests/platform/portcls/pc_rig.h"

#include <algorithm>

#include "platform/io/io_emu.h"
#include "platform/kernel/emu.h"
#include "platform/ks/ksformat.h"

PcRig* g_Rig = nullptr;

namespace
{
const ULONG kTag = POOL_TAG("TsPc");

KSDATARANGE_AUDIO MakeWaveRange()
{
    KSDATARANGE_AUDIO r = {};
    r.DataRange.FormatSize = sizeof(KSDATARANGE_AUDIO);
    r.DataRange.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    r.DataRange.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    r.DataRange.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    r.MaximumChannels = 2;
    r.MinimumBitsPerSample = 16;
    r.MaximumBitsPerSample = 16;
    r.MinimumSampleFrequency = 44100;
    r.MaximumSampleFrequency = 48000;
    return r;
}
KSDATARANGE MakeBridgeRange()
{
    KSDATARANGE r = {};
    r.FormatSize = sizeof(KSDATARANGE);
    r.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    r.SubFormat = KSDATAFORMAT_SUBTYPE_ANALOG;
    r.Specifier = KSDATAFORMAT_SPECIFIER_NONE;
    return r;
}
KSDATARANGE_AUDIO g_WaveRange = MakeWaveRange();
KSDATARANGE g_BridgeRange = MakeBridgeRange();
PKSDATARANGE g_WaveRanges[] = {&g_WaveRange.DataRange};
PKSDATARANGE g_BridgeRanges[] = {&g_BridgeRange};
const GUID g_WaveCategories[] = {KSCATEGORY_AUDIO, KSCATEGORY_RENDER};
const GUID g_TopoCategories[] = {KSCATEGORY_AUDIO, KSCATEGORY_TOPOLOGY};

PCPIN_DESCRIPTOR BridgePin(KSPIN_DATAFLOW flow)
{
    PCPIN_DESCRIPTOR p = {};
    p.KsPinDescriptor.DataRangesCount = 1;
    p.KsPinDescriptor.DataRanges = g_BridgeRanges;
    p.KsPinDescriptor.DataFlow = flow;
    p.KsPinDescriptor.Communication = KSPIN_COMMUNICATION_NONE;
    p.KsPinDescriptor.Category = &KSCATEGORY_AUDIO;
    return p;
}

PCPIN_DESCRIPTOR StreamingPin(KSPIN_DATAFLOW flow)
{
    PCPIN_DESCRIPTOR p = BridgePin(flow);
    p.MaxGlobalInstanceCount = 1;
    p.MaxFilterInstanceCount = 1;
    p.KsPinDescriptor.DataRanges = g_WaveRanges;
    p.KsPinDescriptor.Communication = KSPIN_COMMUNICATION_SINK;
    return p;
}

PCPIN_DESCRIPTOR g_RenderPins[2] = {StreamingPin(KSPIN_DATAFLOW_IN), BridgePin(KSPIN_DATAFLOW_OUT)};
PCPIN_DESCRIPTOR g_CapturePins[2] = {StreamingPin(KSPIN_DATAFLOW_OUT),
                                     BridgePin(KSPIN_DATAFLOW_IN)};
const PCNODE_DESCRIPTOR g_DacNode[] = {{0, nullptr, &KSNODETYPE_DAC, nullptr}};
const PCNODE_DESCRIPTOR g_AdcNode[] = {{0, nullptr, &KSNODETYPE_ADC, nullptr}};
const PCCONNECTION_DESCRIPTOR g_RenderConnections[] = {{PCFILTER_NODE, 0, 0, 1},
                                                       {0, 0, PCFILTER_NODE, 1}};
const PCCONNECTION_DESCRIPTOR g_CaptureConnections[] = {{PCFILTER_NODE, 1, 0, 1},
                                                        {0, 0, PCFILTER_NODE, 0}};
PCFILTER_DESCRIPTOR g_RenderFilter = {
    0,         nullptr, sizeof(PCPIN_DESCRIPTOR), 2, g_RenderPins,    sizeof(PCNODE_DESCRIPTOR), 1,
    g_DacNode, 2,       g_RenderConnections,      2, g_WaveCategories};
PCFILTER_DESCRIPTOR g_CaptureFilter = {
    0,         nullptr, sizeof(PCPIN_DESCRIPTOR), 2, g_CapturePins,   sizeof(PCNODE_DESCRIPTOR), 1,
    g_AdcNode, 2,       g_CaptureConnections,     2, g_WaveCategories};

// ---- topology automation
TestTopologyMiniport* TopologyOf(PUNKNOWN major)
{
    return static_cast<TestTopologyMiniport*>(
        static_cast<IMiniportTopology*>(static_cast<IMiniport*>(major)));
}

// Stepped-range description of a two-channel control: 40 + 16 + 2 x 16 bytes.
NTSTATUS DescribeChannels(PPCPROPERTY_REQUEST r, ULONG type, LONG min, LONG max, ULONG step)
{
    const ULONG full = sizeof(KSPROPERTY_DESCRIPTION) + sizeof(KSPROPERTY_MEMBERSHEADER) +
                       2 * sizeof(KSPROPERTY_STEPPING_LONG);
    if (r->ValueSize < sizeof(ULONG))
    {
        r->ValueSize = full;
        return STATUS_BUFFER_TOO_SMALL;
    }
    if (r->ValueSize < sizeof(KSPROPERTY_DESCRIPTION))
    {
        *static_cast<ULONG*>(r->Value) = 0x203;
        r->ValueSize = sizeof(ULONG);
        return STATUS_SUCCESS;
    }
    auto d = static_cast<KSPROPERTY_DESCRIPTION*>(r->Value);
    *d = {};
    d->AccessFlags = 0x203;
    d->DescriptionSize = full;
    d->PropTypeSet.Set = KSPROPTYPESETID_General;
    d->PropTypeSet.Id = type;
    d->MembersListCount = 1;
    if (r->ValueSize < full)
    {
        r->ValueSize = sizeof(KSPROPERTY_DESCRIPTION);
        return STATUS_SUCCESS;
    }
    auto h = reinterpret_cast<KSPROPERTY_MEMBERSHEADER*>(d + 1);
    *h = {KSPROPERTY_MEMBER_STEPPEDRANGES, sizeof(KSPROPERTY_STEPPING_LONG), 2,
          KSPROPERTY_MEMBER_FLAG_BASICSUPPORT_MULTICHANNEL};
    auto s = reinterpret_cast<KSPROPERTY_STEPPING_LONG*>(h + 1);
    for (int i = 0; i < 2; ++i)
    {
        s[i] = {};
        s[i].SteppingDelta = step;
        s[i].Bounds.SignedMinimum = min;
        s[i].Bounds.SignedMaximum = max;
    }
    r->ValueSize = full;
    return STATUS_SUCCESS;
}

NTSTATUS ChannelValue(PPCPROPERTY_REQUEST r, LONG* values)
{
    if (r->InstanceSize < sizeof(LONG) || r->Instance == nullptr)
        return STATUS_INVALID_PARAMETER;
    LONG channel;
    memcpy(&channel, r->Instance, sizeof(channel));
    if (channel < 0 || channel > 1)
        return STATUS_INVALID_PARAMETER;
    if (r->ValueSize < sizeof(LONG))
        return STATUS_BUFFER_TOO_SMALL;
    if (r->Verb == KSPROPERTY_TYPE_GET)
        memcpy(r->Value, &values[channel], sizeof(LONG));
    else
        memcpy(&values[channel], r->Value, sizeof(LONG));
    r->ValueSize = sizeof(LONG);
    return STATUS_SUCCESS;
}

NTSTATUS VolumeHandler(PPCPROPERTY_REQUEST r)
{
    TestTopologyMiniport* m = TopologyOf(r->MajorTarget);
    if (r->Node != 0)
        return STATUS_INVALID_PARAMETER;
    if (r->Verb == KSPROPERTY_TYPE_BASICSUPPORT)
        return DescribeChannels(r, VT_I4, -96 * 65536, 0, 65536 / 2);
    return ChannelValue(r, m->Volume);
}

NTSTATUS MuteHandler(PPCPROPERTY_REQUEST r)
{
    TestTopologyMiniport* m = TopologyOf(r->MajorTarget);
    LONG both[2] = {m->Mute, m->Mute};
    NTSTATUS s = ChannelValue(r, both);
    if (NT_SUCCESS(s) && r->Verb == KSPROPERTY_TYPE_SET)
    {
        LONG channel;
        memcpy(&channel, r->Instance, sizeof(channel));
        m->Mute = both[channel] != 0;
    }
    return s;
}

NTSTATUS ControlEventHandler(PPCEVENT_REQUEST r)
{
    TestTopologyMiniport* m = TopologyOf(r->MajorTarget);
    switch (r->Verb)
    {
    case PCEVENT_VERB_ADD:
        ++m->EventVerbs[0];
        if (r->EventEntry == nullptr || m->PortEvents() == nullptr)
            return STATUS_UNSUCCESSFUL;
        m->PortEvents()->AddEventToEventList(r->EventEntry);
        return STATUS_SUCCESS;
    case PCEVENT_VERB_REMOVE:
        ++m->EventVerbs[1];
        return STATUS_SUCCESS;
    case PCEVENT_VERB_SUPPORT:
        ++m->EventVerbs[2];
        return STATUS_SUCCESS;
    default:
        return STATUS_INVALID_PARAMETER;
    }
}

const PCPROPERTY_ITEM g_VolumeItems[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL,
     PCPROPERTY_ITEM_FLAG_GET | PCPROPERTY_ITEM_FLAG_SET | PCPROPERTY_ITEM_FLAG_BASICSUPPORT,
     VolumeHandler}};
const PCPROPERTY_ITEM g_MuteItems[] = {{&KSPROPSETID_Audio, KSPROPERTY_AUDIO_MUTE,
                                        PCPROPERTY_ITEM_FLAG_GET | PCPROPERTY_ITEM_FLAG_SET,
                                        MuteHandler}};
const PCEVENT_ITEM g_ControlEvents[] = {{&KSEVENTSETID_AudioControlChange, KSEVENT_CONTROL_CHANGE,
                                         PCEVENT_ITEM_FLAG_ENABLE | PCEVENT_ITEM_FLAG_BASICSUPPORT,
                                         ControlEventHandler}};
const PCAUTOMATION_TABLE g_VolumeTable = {
    sizeof(PCPROPERTY_ITEM), 1, g_VolumeItems,   0, 0, nullptr,
    sizeof(PCEVENT_ITEM),    1, g_ControlEvents, 0};
const PCAUTOMATION_TABLE g_MuteTable = {
    sizeof(PCPROPERTY_ITEM), 1, g_MuteItems, 0, 0, nullptr, 0, 0, nullptr, 0};
PCPIN_DESCRIPTOR g_TopoPins[4] = {BridgePin(KSPIN_DATAFLOW_IN), BridgePin(KSPIN_DATAFLOW_OUT),
                                  BridgePin(KSPIN_DATAFLOW_IN), BridgePin(KSPIN_DATAFLOW_OUT)};
const PCNODE_DESCRIPTOR g_TopoNodes[] = {{0, &g_VolumeTable, &KSNODETYPE_VOLUME, nullptr},
                                         {0, &g_MuteTable, &KSNODETYPE_MUTE, nullptr}};
const PCCONNECTION_DESCRIPTOR g_TopoConnections[] = {{PCFILTER_NODE, 0, 0, 1},
                                                     {0, 0, 1, 1},
                                                     {1, 0, PCFILTER_NODE, 1},
                                                     {PCFILTER_NODE, 2, PCFILTER_NODE, 3}};
PCFILTER_DESCRIPTOR g_TopoFilter = {0,
                                    nullptr,
                                    sizeof(PCPIN_DESCRIPTOR),
                                    4,
                                    g_TopoPins,
                                    sizeof(PCNODE_DESCRIPTOR),
                                    2,
                                    g_TopoNodes,
                                    4,
                                    g_TopoConnections,
                                    2,
                                    g_TopoCategories};

// ---- drivers
NTSTATUS BusDispatchPnp(PDEVICE_OBJECT, PIRP irp)
{
    NTSTATUS status = irp->IoStatus.Status;
    switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction)
    {
    case IRP_MN_START_DEVICE:
    case IRP_MN_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_STOP_DEVICE:
        status = STATUS_SUCCESS;
        break;
    default:
        break;
    }
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS BusDispatchPower(PDEVICE_OBJECT, PIRP irp)
{
    PoStartNextPowerIrp(irp);
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS BusEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    driver->MajorFunction[IRP_MJ_PNP] = BusDispatchPnp;
    driver->MajorFunction[IRP_MJ_POWER] = BusDispatchPower;
    return STATUS_SUCCESS;
}

NTSTATUS AdapterStart(PDEVICE_OBJECT device, PIRP irp, PRESOURCELIST resources)
{
    ++g_Rig->StartCalls;
    g_Rig->ResourceEntries = resources != nullptr ? resources->NumberOfEntries() : ~0u;
    if (g_Rig->Start)
        return g_Rig->Start(device, irp, resources);
    return g_Rig->Install(device, irp, resources);
}

NTSTATUS AdapterAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo)
{
    NTSTATUS status =
        PcAddAdapterDevice(driver, pdo, AdapterStart, g_Rig->MaxObjects, g_Rig->ExtensionSize);
    if (NT_SUCCESS(status))
        g_Rig->Fdo = IoGetAttachedDevice(pdo);
    return status;
}

NTSTATUS AdapterEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath)
{
    return PcInitializeAdapterDriver(driver, registryPath, AdapterAddDevice);
}

NTSTATUS InstallWave(PDEVICE_OBJECT device, PIRP irp, PRESOURCELIST resources, bool capture,
                     const WCHAR* name, TestWaveMiniport** miniportOut, PUNKNOWN* portOut)
{
    PPORT port = nullptr;
    NTSTATUS status = PcNewPort(&port, CLSID_PortWaveCyclic);
    if (!NT_SUCCESS(status))
        return status;
    auto miniport = new (NonPagedPool, kTag) TestWaveMiniport(nullptr, capture);
    miniport->NonDelegatingAddRef();
    status = port->Init(device, irp, miniport->GetNonDelegatingUnknown(),
                        g_Rig->Adapter->GetNonDelegatingUnknown(), resources);
    if (NT_SUCCESS(status))
        status = PcRegisterSubdevice(device, name, port);
    if (NT_SUCCESS(status))
    {
        *miniportOut = miniport;
        *portOut = port;
    }
    miniport->NonDelegatingRelease();
    port->Release();
    return status;
}
} // namespace

// ----------------------------------------------------------------------------
// Wave stream
TestWaveStream::TestWaveStream(TestWaveMiniport* miniport, bool capture, const WAVEFORMATEX& format)
    : CUnknown(nullptr), m_Miniport(miniport), m_Capture(capture), m_Format(format)
{
    KeInitializeTimerEx(&m_Timer, NotificationTimer);
    KeInitializeDpc(&m_Dpc, TimerDpc, this);
}

TestWaveStream::~TestWaveStream()
{
    KeCancelTimer(&m_Timer);
    KeRemoveQueueDpc(&m_Dpc);
    FreeBuffer();
    if (m_ServiceGroup != nullptr)
        m_ServiceGroup->Release();
    m_Miniport->Stream = nullptr;
}

NTSTATUS TestWaveStream::NonDelegatingQueryInterface(REFIID iid, PVOID* object)
{
    if (IsEqualGUID(iid, IID_IMiniportWaveCyclicStream))
        *object = static_cast<IMiniportWaveCyclicStream*>(this);
    else if (IsEqualGUID(iid, IID_IDmaChannel))
        *object = static_cast<IDmaChannel*>(this);
    else
        return CUnknown::NonDelegatingQueryInterface(iid, object);
    NonDelegatingAddRef();
    return STATUS_SUCCESS;
}

NTSTATUS TestWaveStream::SetFormat(PKSDATAFORMAT dataFormat)
{
    FormatCalls.push_back(m_State);
    const WAVEFORMATEX* wave = KsWaveFormatOf(dataFormat);
    if (wave == nullptr)
        return STATUS_INVALID_PARAMETER;
    m_Format = *wave;
    return STATUS_SUCCESS;
}

ULONG TestWaveStream::SetNotificationFreq(ULONG interval, PULONG framingSize)
{
    *framingSize = m_Format.nAvgBytesPerSec / 1000 * interval;
    return interval;
}

NTSTATUS TestWaveStream::SetState(KSSTATE state)
{
    States.push_back(state);
    if ((int)state == FailState)
        return STATUS_DEVICE_NOT_READY;
    if (state == KSSTATE_RUN)
    {
        LARGE_INTEGER due;
        due.QuadPart = -5 * 10000;
        KeSetTimerEx(&m_Timer, due, 5, &m_Dpc);
    }
    else if (m_State == KSSTATE_RUN)
    {
        KeCancelTimer(&m_Timer);
        KeRemoveQueueDpc(&m_Dpc);
    }
    if (state == KSSTATE_STOP)
        m_Position = 0;
    m_State = state;
    return STATUS_SUCCESS;
}

NTSTATUS TestWaveStream::GetPosition(PULONG position)
{
    CallsInsideNotify += m_InNotify ? 1 : 0;
    *position = ReportedPosition >= 0 ? (ULONG)ReportedPosition : m_Position;
    return STATUS_SUCCESS;
}

NTSTATUS TestWaveStream::NormalizePhysicalPosition(PLONGLONG physicalPosition)
{
    *physicalPosition = *physicalPosition * 10000000 / m_Format.nAvgBytesPerSec;
    return STATUS_SUCCESS;
}

void TestWaveStream::Silence(PVOID buffer, ULONG byteCount)
{
    memset(buffer, 0, byteCount);
}

NTSTATUS TestWaveStream::AllocateBuffer(ULONG bufferSize, PPHYSICAL_ADDRESS)
{
    FreeBuffer();
    m_Buffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, bufferSize, kTag));
    if (m_Buffer == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    memset(m_Buffer, 0xEE, bufferSize); // never what a test writes or expects
    m_Size = bufferSize;
    return STATUS_SUCCESS;
}

void TestWaveStream::FreeBuffer()
{
    if (m_Buffer != nullptr)
        ExFreePoolWithTag(m_Buffer, kTag);
    m_Buffer = nullptr;
    m_Size = 0;
}

void TestWaveStream::CopyTo(PVOID destination, PVOID source, ULONG byteCount)
{
    CallsInsideNotify += m_InNotify ? 1 : 0;
    if (KeGetCurrentIrql() < DISPATCH_LEVEL)
        ++CopiesBelowDispatch;
    auto d = static_cast<PUCHAR>(destination);
    if (d < m_Buffer || d + byteCount > m_Buffer + m_Size)
    {
        ++CopiesOutOfRange;
        return;
    }
    memcpy(d, source, byteCount);
}

void TestWaveStream::CopyFrom(PVOID destination, PVOID source, ULONG byteCount)
{
    if (KeGetCurrentIrql() < DISPATCH_LEVEL)
        ++CopiesBelowDispatch;
    auto s = static_cast<PUCHAR>(source);
    if (s < m_Buffer || s + byteCount > m_Buffer + m_Size)
    {
        ++CopiesOutOfRange;
        return;
    }
    memcpy(destination, s, byteCount);
}

void TestWaveStream::TimerDpc(PKDPC, PVOID context, PVOID, PVOID)
{
    static_cast<TestWaveStream*>(context)->Tick();
}

void TestWaveStream::Tick()
{
    if (m_State != KSSTATE_RUN || m_Size == 0)
        return;
    const ULONG chunk = m_Format.nAvgBytesPerSec / 200;
    for (ULONG i = 0; i < chunk; ++i)
    {
        ULONG at = (m_Position + i) % m_Size;
        if (m_Capture)
            m_Buffer[at] = (UCHAR)(Recorded++ & 0xFF);
        else
            Played.push_back(m_Buffer[at]);
    }
    m_Position = (m_Position + chunk) % m_Size;
    if (NotifyEnabled)
    {
        m_InNotify = true;
        m_Miniport->Port()->Notify(m_ServiceGroup);
        m_InNotify = false;
    }
}

// ----------------------------------------------------------------------------
// Wave miniport
TestWaveMiniport::TestWaveMiniport(PUNKNOWN outer, bool capture)
    : CUnknown(outer), m_Capture(capture)
{
}

TestWaveMiniport::~TestWaveMiniport()
{
    if (m_Port != nullptr)
        m_Port->Release();
}

NTSTATUS TestWaveMiniport::NonDelegatingQueryInterface(REFIID iid, PVOID* object)
{
    if (IsEqualGUID(iid, IID_IMiniport) || IsEqualGUID(iid, IID_IMiniportWaveCyclic))
        *object = static_cast<IMiniportWaveCyclic*>(this);
    else if (IsEqualGUID(iid, IID_IPowerNotify))
        *object = static_cast<IPowerNotify*>(this);
    else
        return CUnknown::NonDelegatingQueryInterface(iid, object);
    NonDelegatingAddRef();
    return STATUS_SUCCESS;
}

NTSTATUS TestWaveMiniport::GetDescription(PPCFILTER_DESCRIPTOR* description)
{
    *description = m_Capture ? &g_CaptureFilter : &g_RenderFilter;
    return STATUS_SUCCESS;
}

NTSTATUS TestWaveMiniport::DataRangeIntersection(ULONG pinId, PKSDATARANGE dataRange, PKSDATARANGE,
                                                 ULONG outputBufferLength, PVOID resultantFormat,
                                                 PULONG resultantFormatLength)
{
    IntersectionLengths.push_back(outputBufferLength);
    if (pinId != 0 || dataRange->FormatSize < sizeof(KSDATARANGE_AUDIO) ||
        !IsEqualGUID(dataRange->MajorFormat, KSDATAFORMAT_TYPE_AUDIO))
        return STATUS_NO_MATCH;
    auto client = reinterpret_cast<const KSDATARANGE_AUDIO*>(dataRange);
    const ULONG rate = std::min<ULONG>(client->MaximumSampleFrequency, 48000);
    if (rate < 44100 || client->MaximumChannels == 0)
        return STATUS_NO_MATCH;
    *resultantFormatLength = sizeof(KSDATAFORMAT_WAVEFORMATEXTENSIBLE);
    if (outputBufferLength == 0)
        return STATUS_BUFFER_OVERFLOW;
    if (outputBufferLength < sizeof(KSDATAFORMAT_WAVEFORMATEXTENSIBLE))
        return STATUS_BUFFER_TOO_SMALL;
    auto format = PcTestFormat(rate, (USHORT)std::min<ULONG>(client->MaximumChannels, 2));
    memcpy(resultantFormat, &format, sizeof(format));
    return STATUS_SUCCESS;
}

NTSTATUS TestWaveMiniport::Init(PUNKNOWN, PRESOURCELIST, PPORTWAVECYCLIC port)
{
    m_Port = port;
    m_Port->AddRef();
    return STATUS_SUCCESS;
}

NTSTATUS TestWaveMiniport::NewStream(PMINIPORTWAVECYCLICSTREAM* stream, PUNKNOWN, POOL_TYPE,
                                     ULONG pin, BOOLEAN capture, PKSDATAFORMAT dataFormat,
                                     PDMACHANNEL* dmaChannel, PSERVICEGROUP* serviceGroup)
{
    ++NewStreamCalls;
    LastMode = GUID_NULL;
    if ((dataFormat->Flags & KSDATAFORMAT_ATTRIBUTES) != 0)
    {
        // The list follows the format at the next 8-byte boundary.
        auto list = reinterpret_cast<const UCHAR*>(dataFormat) +
                    KsAttributeListOffset(dataFormat->FormatSize);
        KSATTRIBUTE_AUDIOSIGNALPROCESSING_MODE mode;
        memcpy(&mode, list + sizeof(KSMULTIPLE_ITEM), sizeof(mode));
        LastMode = mode.SignalProcessingMode;
    }
    if (Stream != nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    const WAVEFORMATEX* wave = KsWaveFormatOf(dataFormat);
    if (pin != 0 || (capture != 0) != m_Capture || wave == nullptr)
        return STATUS_INVALID_PARAMETER;
    auto object = new (NonPagedPool, kTag) TestWaveStream(this, m_Capture, *wave);
    object->NonDelegatingAddRef();
    NTSTATUS status = object->AllocateBuffer(wave->nAvgBytesPerSec / 20, nullptr);
    PSERVICEGROUP group = nullptr;
    if (NT_SUCCESS(status))
        status = PcNewServiceGroup(&group, nullptr);
    if (NT_SUCCESS(status))
    {
        object->NonDelegatingQueryInterface(IID_IMiniportWaveCyclicStream, (PVOID*)stream);
        object->NonDelegatingQueryInterface(IID_IDmaChannel, (PVOID*)dmaChannel);
        group->AddRef();
        *serviceGroup = group;
    }
    if (NT_SUCCESS(status))
        Stream = object;
    object->SetGroup(group); // the stream keeps the creation reference
    object->NonDelegatingRelease();
    return status;
}

void TestWaveMiniport::PowerChangeNotify(POWER_STATE powerState)
{
    PowerNotifications.push_back(powerState.DeviceState);
}

// ----------------------------------------------------------------------------
// Topology miniport
TestTopologyMiniport::TestTopologyMiniport(PUNKNOWN outer) : CUnknown(outer) {}

TestTopologyMiniport::~TestTopologyMiniport()
{
    if (m_PortEvents != nullptr)
        m_PortEvents->Release();
    if (m_Port != nullptr)
        m_Port->Release();
}

NTSTATUS TestTopologyMiniport::NonDelegatingQueryInterface(REFIID iid, PVOID* object)
{
    if (IsEqualGUID(iid, IID_IMiniport) || IsEqualGUID(iid, IID_IMiniportTopology))
    {
        *object = static_cast<IMiniportTopology*>(this);
        NonDelegatingAddRef();
        return STATUS_SUCCESS;
    }
    return CUnknown::NonDelegatingQueryInterface(iid, object);
}

NTSTATUS TestTopologyMiniport::GetDescription(PPCFILTER_DESCRIPTOR* description)
{
    *description = &g_TopoFilter;
    return STATUS_SUCCESS;
}

NTSTATUS TestTopologyMiniport::Init(PUNKNOWN, PRESOURCELIST, PPORTTOPOLOGY port)
{
    m_Port = port;
    m_Port->AddRef();
    return port->QueryInterface(IID_IPortEvents, (PVOID*)&m_PortEvents);
}

void TestTopologyMiniport::RaiseChange(ULONG node)
{
    m_PortEvents->GenerateEventList(const_cast<GUID*>(&KSEVENTSETID_AudioControlChange),
                                    KSEVENT_CONTROL_CHANGE, FALSE, ULONG(-1), TRUE, node);
}

NTSTATUS TestAdapter::NonDelegatingQueryInterface(REFIID iid, PVOID* object)
{
    if (IsEqualGUID(iid, IID_IAdapterPowerManagement))
    {
        *object = static_cast<IAdapterPowerManagement*>(this);
        NonDelegatingAddRef();
        return STATUS_SUCCESS;
    }
    return CUnknown::NonDelegatingQueryInterface(iid, object);
}

// ----------------------------------------------------------------------------
// Rig
NTSTATUS PcRig::Add()
{
    g_Rig = this;
    NTSTATUS status = EmuLoadDriver(u"pctestbus", BusEntry, &Bus);
    if (NT_SUCCESS(status))
        status = EmuCreatePhysicalDevice(Bus, 0, u"USB\\VID_4C54&PID_1001\\1", &Pdo);
    if (NT_SUCCESS(status))
        status = EmuLoadDriver(u"pctestadapter", AdapterEntry, &Driver);
    if (NT_SUCCESS(status))
        status = EmuPnpAddDevice(Driver, Pdo);
    return status;
}

NTSTATUS PcRig::StartDevice()
{
    return EmuPnpStartDevice(Pdo);
}

void PcRig::Remove()
{
    // The adapter device is gone once a remove request reached it.
    if (Pdo != nullptr && Pdo->AttachedDevice != nullptr)
        EmuPnpSendMinor(Pdo, IRP_MN_REMOVE_DEVICE);
    Fdo = nullptr;
    if (Pdo != nullptr)
        IoDeleteDevice(Pdo);
    if (Driver != nullptr)
        EmuUnloadDriver(Driver);
    if (Bus != nullptr)
        EmuUnloadDriver(Bus);
    Pdo = nullptr;
    Driver = Bus = nullptr;
    g_Rig = nullptr;
}

NTSTATUS PcRig::Install(PDEVICE_OBJECT device, PIRP irp, PRESOURCELIST resources)
{
    Adapter = new (NonPagedPool, kTag) TestAdapter(nullptr);
    Adapter->NonDelegatingAddRef();
    NTSTATUS status = PcRegisterAdapterPowerManagement(Adapter->GetNonDelegatingUnknown(), device);

    PPORT probe = nullptr;
    if (NT_SUCCESS(status))
        status = PcNewPort(&probe, CLSID_PortWaveCyclic);
    if (NT_SUCCESS(status))
    {
        PPORTCLSVERSION version = nullptr;
        if (NT_SUCCESS(probe->QueryInterface(IID_IPortClsVersion, (PVOID*)&version)))
        {
            VersionAtStart = version->GetVersion();
            version->Release();
        }
        probe->Release();
    }

    if (NT_SUCCESS(status))
    {
        PPORT port = nullptr;
        status = PcNewPort(&port, CLSID_PortTopology);
        if (NT_SUCCESS(status))
        {
            auto miniport = new (NonPagedPool, kTag) TestTopologyMiniport(nullptr);
            miniport->NonDelegatingAddRef();
            status = port->Init(device, irp, miniport->GetNonDelegatingUnknown(),
                                Adapter->GetNonDelegatingUnknown(), resources);
            if (NT_SUCCESS(status))
                status = PcRegisterSubdevice(device, u"Topo", port);
            if (NT_SUCCESS(status))
            {
                Topology = miniport;
                TopologyPort = port;
            }
            miniport->NonDelegatingRelease();
            port->Release();
        }
    }
    if (NT_SUCCESS(status))
        status = InstallWave(device, irp, resources, false, u"SPKOut00", &Render, &RenderPort);
    if (NT_SUCCESS(status))
        status = InstallWave(device, irp, resources, true, u"MicIn00", &Capture, &CapturePort);
    if (NT_SUCCESS(status))
        status = PcRegisterPhysicalConnection(device, RenderPort, 1, TopologyPort, 0);
    if (NT_SUCCESS(status))
        status = PcRegisterPhysicalConnection(device, TopologyPort, 3, CapturePort, 1);
    Adapter->NonDelegatingRelease();
    return status;
}

UCHAR* PcRig::DriverExtension() const
{
    return static_cast<UCHAR*>(Fdo->DeviceExtension) + PORT_CLASS_DEVICE_EXTENSION_SIZE;
}

KSDATAFORMAT_WAVEFORMATEXTENSIBLE PcTestFormat(ULONG rate, USHORT channels)
{
    KSDATAFORMAT_WAVEFORMATEXTENSIBLE f = {};
    f.DataFormat.FormatSize = sizeof(f);
    f.DataFormat.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    f.DataFormat.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    f.DataFormat.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    const USHORT align = (USHORT)(channels * 2);
    f.WaveFormatExt.Format = {WAVE_FORMAT_EXTENSIBLE,    channels, rate, rate * align, align, 16,
                              WAVEFORMATEXTENSIBLE_EXTRA};
    f.WaveFormatExt.Samples.wValidBitsPerSample = 16;
    f.WaveFormatExt.dwChannelMask = channels == 2 ? KSAUDIO_SPEAKER_STEREO : KSAUDIO_SPEAKER_MONO;
    f.WaveFormatExt.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    return f;
}

KSDATARANGE_AUDIO PcTestRange(ULONG maxChannels, ULONG maxRate)
{
    KSDATARANGE_AUDIO r = MakeWaveRange();
    r.MaximumChannels = maxChannels;
    r.MaximumSampleFrequency = maxRate;
    r.MinimumSampleFrequency = 8000;
    r.MinimumBitsPerSample = 8;
    r.MaximumBitsPerSample = 32;
    return r;
}
