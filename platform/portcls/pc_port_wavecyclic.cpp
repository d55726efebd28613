// The wave-cyclic port, its pins, and the topology port.
#include "platform/portcls/pc_port_wavecyclic.h"

#include "platform/kernel/emu.h"
#include "platform/ks/ksformat.h"

namespace
{
bool GuidMatches(const GUID& range, const GUID& format)
{
    return IsEqualGUID(range, GUID_NULL) || IsEqualGUID(range, format);
}

bool FormatMatchesPin(const PCPIN_DESCRIPTOR* pin, const KSDATAFORMAT* format)
{
    const KSPIN_DESCRIPTOR& ks = pin->KsPinDescriptor;
    ULONG entry = 0;
    while (const KSDATARANGE* range = KsNextPinDataRange(ks, &entry))
    {
        if (GuidMatches(range->MajorFormat, format->MajorFormat) &&
            GuidMatches(range->SubFormat, format->SubFormat) &&
            GuidMatches(range->Specifier, format->Specifier))
            return true;
    }
    return false;
}

// A pool copy of a validated format with what follows it, 8-byte aligned.
UCHAR* CopyFormat(const UCHAR* format, ULONG length)
{
    auto copy = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, length, PC_TAG_FORMAT));
    if (copy != nullptr)
        memcpy(copy, format, length);
    return copy;
}
} // namespace

// ----------------------------------------------------------------------------
// Topology port
NTSTATUS CPortTopology::NonDelegatingQueryInterface(REFIID interfaceId, PVOID* object)
{
    if (object == nullptr)
        return STATUS_INVALID_PARAMETER;
    if (IsEqualGUID(interfaceId, IID_IPort) || IsEqualGUID(interfaceId, IID_IPortTopology))
    {
        *object = static_cast<IPortTopology*>(this);
        NonDelegatingAddRef();
        return STATUS_SUCCESS;
    }
    return QueryCommon(interfaceId, object);
}

NTSTATUS CPortTopology::Init(PDEVICE_OBJECT deviceObject, PIRP, PUNKNOWN unknownMiniport,
                             PUNKNOWN unknownAdapter, PRESOURCELIST resourceList)
{
    if (unknownMiniport == nullptr || PcGetDeviceContext(deviceObject) == nullptr)
        return STATUS_INVALID_PARAMETER;
    if (m_Miniport != nullptr)
        return STATUS_INVALID_DEVICE_STATE;
    PMINIPORTTOPOLOGY miniport = nullptr;
    NTSTATUS status = unknownMiniport->QueryInterface(IID_IMiniportTopology, (PVOID*)&miniport);
    if (!NT_SUCCESS(status))
        return status;
    status = miniport->Init(unknownAdapter, resourceList, this);
    if (NT_SUCCESS(status))
        status = InitCommon(deviceObject, miniport);
    miniport->Release();
    return status;
}

// ----------------------------------------------------------------------------
// Wave-cyclic port
NTSTATUS CPortWaveCyclic::NonDelegatingQueryInterface(REFIID interfaceId, PVOID* object)
{
    if (object == nullptr)
        return STATUS_INVALID_PARAMETER;
    if (IsEqualGUID(interfaceId, IID_IPort) || IsEqualGUID(interfaceId, IID_IPortWaveCyclic))
    {
        *object = static_cast<IPortWaveCyclic*>(this);
        NonDelegatingAddRef();
        return STATUS_SUCCESS;
    }
    return QueryCommon(interfaceId, object);
}

NTSTATUS CPortWaveCyclic::Init(PDEVICE_OBJECT deviceObject, PIRP, PUNKNOWN unknownMiniport,
                               PUNKNOWN unknownAdapter, PRESOURCELIST resourceList)
{
    if (unknownMiniport == nullptr || PcGetDeviceContext(deviceObject) == nullptr)
        return STATUS_INVALID_PARAMETER;
    if (m_Miniport != nullptr)
        return STATUS_INVALID_DEVICE_STATE;
    PMINIPORTWAVECYCLIC miniport = nullptr;
    NTSTATUS status = unknownMiniport->QueryInterface(IID_IMiniportWaveCyclic, (PVOID*)&miniport);
    if (!NT_SUCCESS(status))
        return status;
    status = miniport->Init(unknownAdapter, resourceList, this);
    if (NT_SUCCESS(status))
        status = InitCommon(deviceObject, miniport);
    if (NT_SUCCESS(status))
        m_WaveMiniport = miniport;
    miniport->Release();
    return status;
}

void CPortWaveCyclic::Notify(PSERVICEGROUP serviceGroup)
{
    ++NotifyCount;
    if (serviceGroup != nullptr)
        serviceGroup->RequestService();
}

NTSTATUS CPortWaveCyclic::CreatePin(PcFileContext* filter, PcFileContext* pinContext,
                                    const UCHAR* data, ULONG length)
{
    if (m_Miniport == nullptr || m_WaveMiniport == nullptr)
        return STATUS_DEVICE_NOT_READY;
    KSPIN_CONNECT connect;
    if (data == nullptr || length < sizeof(connect))
        return STATUS_INVALID_BUFFER_SIZE;
    memcpy(&connect, data, sizeof(connect));
    const PCPIN_DESCRIPTOR* pin = PcFilterPin(m_Descriptor, connect.PinId);
    if (pin == nullptr)
        return STATUS_INVALID_PARAMETER;
    const KSPIN_COMMUNICATION communication = pin->KsPinDescriptor.Communication;
    if (communication != KSPIN_COMMUNICATION_SINK && communication != KSPIN_COMMUNICATION_BOTH)
        return STATUS_INVALID_DEVICE_REQUEST;
    if (filter->PinInstances.size() < m_Descriptor->PinCount)
        filter->PinInstances.resize(m_Descriptor->PinCount);
    if (filter->PinInstances[connect.PinId] >= pin->MaxFilterInstanceCount)
        return STATUS_INSUFFICIENT_RESOURCES;

    // The format is copied before it is checked, so the checks see what the
    // miniport will see.
    const ULONG formatLength = length - (ULONG)sizeof(connect);
    std::vector<ULONGLONG> aligned((formatLength + 7) / 8 + 1);
    memcpy(aligned.data(), data + sizeof(connect), formatLength);
    const KSDATAFORMAT* format = nullptr;
    const KSMULTIPLE_ITEM* attributes = nullptr;
    NTSTATUS status = KsValidateDataFormat(aligned.data(), formatLength, &format, &attributes);
    if (!NT_SUCCESS(status))
        return status;
    if (!FormatMatchesPin(pin, format))
        return STATUS_NO_MATCH;

    auto object = new (NonPagedPool, PC_TAG_PIN) CPortPinWaveCyclic(
        this, connect.PinId, pin->KsPinDescriptor.DataFlow == KSPIN_DATAFLOW_OUT);
    if (object == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    object->NonDelegatingAddRef();
    status =
        object->Open(m_WaveMiniport, reinterpret_cast<const UCHAR*>(aligned.data()), formatLength);
    if (!NT_SUCCESS(status))
    {
        object->Close();
        object->NonDelegatingRelease();
        return status;
    }
    ++filter->PinInstances[connect.PinId];
    PinOpened();
    pinContext->Pin = object;
    return STATUS_SUCCESS;
}

void CPortWaveCyclic::ClosePin(PcFileContext* pinContext)
{
    auto pin = static_cast<CPortPinWaveCyclic*>(pinContext->Pin);
    if (pin == nullptr)
        return;
    DisableEventsOf(pinContext->FileObject, pin->Stream());
    pin->Close();
    PcFileContext* filter = pinContext->Filter;
    if (filter != nullptr && pin->PinId() < filter->PinInstances.size() &&
        filter->PinInstances[pin->PinId()] > 0)
        --filter->PinInstances[pin->PinId()];
    pinContext->Pin = nullptr;
    pin->NonDelegatingRelease();
    PinClosed();
}

NTSTATUS CPortWaveCyclic::PinDeviceControl(PcFileContext* pinContext, PIRP irp)
{
    auto pin = static_cast<CPortPinWaveCyclic*>(pinContext->Pin);
    if (pin == nullptr || m_Descriptor == nullptr)
        return STATUS_DEVICE_NOT_READY;
    PcIoctl io = PcGetIoctl(irp);
    // A view of the filter whose own table is the pin's, for pin-level items.
    PCFILTER_DESCRIPTOR view = *m_Descriptor;
    const PCPIN_DESCRIPTOR* descriptor = PcFilterPin(m_Descriptor, pin->PinId());
    view.AutomationTable = descriptor != nullptr ? descriptor->AutomationTable : nullptr;
    PUNKNOWN stream = pin->Stream();

    switch (io.Code)
    {
    case IOCTL_KS_PROPERTY:
    {
        if (io.InputLength < sizeof(KSPROPERTY))
            return STATUS_INVALID_BUFFER_SIZE;
        const KSPROPERTY* property = static_cast<const KSPROPERTY*>(io.Input);
        if (!IsEqualGUID(property->Set, KSPROPSETID_Connection))
            return RouteProperty(&view, stream, irp);
        ULONG returned = 0;
        if (property->Id == KSPROPERTY_CONNECTION_STATE)
        {
            if (property->Flags == KSPROPERTY_TYPE_GET)
            {
                NTSTATUS s = PcReplySize(sizeof(ULONG), io.OutputLength, &returned);
                if (s == STATUS_SUCCESS)
                {
                    ULONG state = pin->State();
                    memcpy(io.Output, &state, sizeof(state));
                }
                irp->IoStatus.Information = returned;
                return s;
            }
            if (property->Flags == KSPROPERTY_TYPE_SET)
            {
                ULONG state;
                if (io.OutputLength < sizeof(state))
                    return STATUS_BUFFER_TOO_SMALL;
                memcpy(&state, io.Output, sizeof(state));
                if (state > KSSTATE_RUN)
                    return STATUS_INVALID_PARAMETER;
                return pin->SetState((KSSTATE)state);
            }
            return STATUS_INVALID_DEVICE_REQUEST;
        }
        if (property->Id == KSPROPERTY_CONNECTION_DATAFORMAT &&
            property->Flags == KSPROPERTY_TYPE_SET)
            return pin->SetFormat(static_cast<const UCHAR*>(io.Output), io.OutputLength);
        return STATUS_NOT_FOUND;
    }
    case IOCTL_KS_ENABLE_EVENT:
        return EnableEvent(&view, stream, pinContext->FileObject, pin->PinId(), irp);
    case IOCTL_KS_DISABLE_EVENT:
        return DisableEvent(&view, stream, pinContext->FileObject, irp);
    default:
        return STATUS_INVALID_DEVICE_REQUEST;
    }
}

// ----------------------------------------------------------------------------
// Wave-cyclic pin
CPortPinWaveCyclic::CPortPinWaveCyclic(CPortWaveCyclic* port, ULONG pinId, bool capture)
    : CUnknown(nullptr), m_Port(port), m_PinId(pinId), m_Capture(capture)
{
    m_Port->GetNonDelegatingUnknown()->AddRef();
    KeInitializeSpinLock(&m_Lock);
}

CPortPinWaveCyclic::~CPortPinWaveCyclic()
{
    Close();
    m_Port->GetNonDelegatingUnknown()->Release();
}

NTSTATUS CPortPinWaveCyclic::NonDelegatingQueryInterface(REFIID interfaceId, PVOID* object)
{
    if (object == nullptr)
        return STATUS_INVALID_PARAMETER;
    if (IsEqualGUID(interfaceId, IID_IServiceSink))
    {
        *object = static_cast<IServiceSink*>(this);
        NonDelegatingAddRef();
        return STATUS_SUCCESS;
    }
    return CUnknown::NonDelegatingQueryInterface(interfaceId, object);
}

NTSTATUS CPortPinWaveCyclic::Open(PMINIPORTWAVECYCLIC miniport, const UCHAR* format,
                                  ULONG formatLength)
{
    m_Format = CopyFormat(format, formatLength);
    if (m_Format == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS status =
        miniport->NewStream(&m_Stream, nullptr, NonPagedPool, m_PinId, m_Capture ? TRUE : FALSE,
                            reinterpret_cast<PKSDATAFORMAT>(m_Format), &m_Dma, &m_ServiceGroup);
    if (!NT_SUCCESS(status))
        return status;
    if (m_Stream == nullptr || m_Dma == nullptr)
    {
        EmuReportFailure("NewStream succeeded without a stream or a DMA channel");
        return STATUS_UNSUCCESSFUL;
    }
    ULONG framing = 0;
    m_Stream->SetNotificationFreq(10, &framing);
    m_Stats.FramingSize = framing;
    if (m_ServiceGroup != nullptr)
    {
        status = m_ServiceGroup->AddMember(this);
        if (!NT_SUCCESS(status))
            return status;
        m_Member = true;
    }
    m_Stats.BufferSize = m_Dma->BufferSize();
    return STATUS_SUCCESS;
}

void CPortPinWaveCyclic::Close()
{
    if (m_Stream != nullptr && m_State != KSSTATE_STOP)
        SetState(KSSTATE_STOP);
    if (m_Member)
    {
        m_Member = false;
        m_ServiceGroup->RemoveMember(this);
    }
    if (m_ServiceGroup != nullptr)
    {
        m_ServiceGroup->Release();
        m_ServiceGroup = nullptr;
    }
    if (m_Dma != nullptr)
    {
        m_Dma->Release();
        m_Dma = nullptr;
    }
    if (m_Stream != nullptr)
    {
        m_Stream->Release();
        m_Stream = nullptr;
    }
    if (m_Format != nullptr)
    {
        ExFreePoolWithTag(m_Format, PC_TAG_FORMAT);
        m_Format = nullptr;
    }
}

NTSTATUS CPortPinWaveCyclic::SetFormat(const UCHAR* format, ULONG formatLength)
{
    if (m_State == KSSTATE_RUN)
        return STATUS_INVALID_DEVICE_STATE;
    if (format == nullptr)
        return STATUS_INVALID_BUFFER_SIZE;
    std::vector<ULONGLONG> aligned((formatLength + 7) / 8 + 1);
    memcpy(aligned.data(), format, formatLength);
    const KSDATAFORMAT* checked = nullptr;
    const KSMULTIPLE_ITEM* attributes = nullptr;
    NTSTATUS status = KsValidateDataFormat(aligned.data(), formatLength, &checked, &attributes);
    if (!NT_SUCCESS(status))
        return status;
    UCHAR* copy = CopyFormat(reinterpret_cast<const UCHAR*>(aligned.data()), formatLength);
    if (copy == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    status = m_Stream->SetFormat(reinterpret_cast<PKSDATAFORMAT>(copy));
    if (!NT_SUCCESS(status))
    {
        ExFreePoolWithTag(copy, PC_TAG_FORMAT);
        return status;
    }
    ExFreePoolWithTag(m_Format, PC_TAG_FORMAT);
    m_Format = copy;
    m_Stats.BufferSize = m_Dma->BufferSize();
    m_Resumable = false; // the buffer may hold another format's bytes now
    return STATUS_SUCCESS;
}

NTSTATUS CPortPinWaveCyclic::SetState(KSSTATE target)
{
    while (m_State != target)
    {
        const KSSTATE next = (KSSTATE)(target > m_State ? m_State + 1 : m_State - 1);
        if (next == KSSTATE_RUN && !EnterRun())
            return STATUS_UNSUCCESSFUL;
        NTSTATUS status = m_Stream->SetState(next);
        if (!NT_SUCCESS(status))
            return status;
        KIRQL irql;
        KeAcquireSpinLock(&m_Lock, &irql);
        // A pause keeps the buffer as it stands for the run that follows; a
        // step below it lets go of what was not played.
        if (m_State == KSSTATE_RUN)
        {
            m_Resumable = true;
            m_LeftRun = KeQueryInterruptTime();
        }
        else if (next < m_State)
            m_Resumable = false;
        m_State = next;
        m_Stats.State = next;
        KeReleaseSpinLock(&m_Lock, irql);
    }
    return STATUS_SUCCESS;
}

// Before the stream runs: from a pause in the same buffer, the pin goes on
// from where it stood, taking in how far the stream got before it held (a
// render buffer is only topped up, capture reads out what was written up to
// the held position); otherwise a render buffer is filled whole from the
// position, and capture reads from there.
bool CPortPinWaveCyclic::EnterRun()
{
    KIRQL irql;
    KeAcquireSpinLock(&m_Lock, &irql);
    const ULONG size = m_Dma->BufferSize();
    ULONG position = 0;
    const bool ok = ReadPosition(size, &position);
    if (ok)
    {
        const WAVEFORMATEX* wave = KsWaveFormatOf(reinterpret_cast<const KSDATAFORMAT*>(m_Format));
        m_BytesPerSecond = wave != nullptr ? wave->nAvgBytesPerSec : 0;
        if (m_Resumable && size == m_Stats.BufferSize)
            CatchUp(size, position, m_LeftRun - m_LastService);
        else
        {
            m_Stats.Position = position;
            m_Stats.BufferSize = size;
            m_WriteOffset = position;
            m_Lead = 0;
            if (!m_Capture)
                Fill(size);
        }
        // From a pause, a RUN the stream refuses leaves its retry nothing to
        // catch up on.
        m_LastService = m_LeftRun = KeQueryInterruptTime();
    }
    KeReleaseSpinLock(&m_Lock, irql);
    return ok;
}

void CPortPinWaveCyclic::RequestService()
{
    if (KeGetCurrentIrql() != DISPATCH_LEVEL)
        EmuReportFailure("service request reached a wave pin at IRQL %u", KeGetCurrentIrql());
    Service();
}

void CPortPinWaveCyclic::Service()
{
    KIRQL irql;
    KeAcquireSpinLock(&m_Lock, &irql);
    ServiceLocked();
    KeReleaseSpinLock(&m_Lock, irql);
}

// The stream's position, which the port writes and reads the buffer from:
// one outside the buffer is the miniport's fault, reported and not used.
bool CPortPinWaveCyclic::ReadPosition(ULONG size, ULONG* position)
{
    *position = 0;
    m_Stream->GetPosition(position);
    if (size != 0 && *position < size)
        return true;
    EmuReportFailure("stream position %u outside its %u-byte buffer", *position, size);
    return false;
}

void CPortPinWaveCyclic::ServiceLocked()
{
    ++m_Stats.Services;
    if (m_State != KSSTATE_RUN || m_Stream == nullptr)
        return;
    const ULONG size = m_Dma->BufferSize();
    ULONG position = 0;
    if (!ReadPosition(size, &position))
        return;
    const ULONGLONG now = KeQueryInterruptTime();
    const ULONGLONG elapsed = now - m_LastService;
    m_LastService = now;
    CatchUp(size, position, elapsed);
}

// The stream moved to `position`, `elapsed` after the pin last looked: render
// tops the buffer up behind what is still to play, capture reads out what
// came in.
void CPortPinWaveCyclic::CatchUp(ULONG size, ULONG position, ULONGLONG elapsed)
{
    const ULONG moved = (position + size - m_Stats.Position) % size;
    m_Stats.Position = position;
    m_Stats.Consumed += moved;
    // A position read modulo the buffer cannot show a whole lap; the time since
    // the last service can: a buffer's worth of time means the stream went
    // round at least once unseen.
    const bool lapped =
        m_BytesPerSecond != 0 && elapsed * m_BytesPerSecond / 10000000ull >= (ULONGLONG)size;
    if (!m_Capture)
    {
        m_Lead -= moved;
        if (m_Lead < 0 || lapped)
        {
            // The stream played past what was written: a glitch the client hears.
            ++m_Stats.Overruns;
            m_WriteOffset = position;
            m_Lead = 0;
        }
        Fill(size - (ULONG)m_Lead);
    }
    else
    {
        if (lapped)
            ++m_Stats.Overruns;
        Drain(moved);
    }
}

void CPortPinWaveCyclic::Fill(ULONG bytes)
{
    const ULONG size = m_Dma->BufferSize();
    auto base = static_cast<UCHAR*>(m_Dma->SystemAddress());
    if (base == nullptr || size == 0)
        return;
    while (bytes != 0)
    {
        ULONG chunk = bytes < size - m_WriteOffset ? bytes : size - m_WriteOffset;
        const ULONG queued = (ULONG)(m_Queue.size() - m_QueueHead);
        ULONG data = chunk < queued ? chunk : queued;
        if (data != 0)
        {
            m_Dma->CopyTo(base + m_WriteOffset, m_Queue.data() + m_QueueHead, data);
            m_QueueHead += data;
            m_Stats.DataBytes += data;
        }
        if (chunk > data)
        {
            m_Stream->Silence(base + m_WriteOffset + data, chunk - data);
            m_Stats.SilenceBytes += chunk - data;
        }
        m_WriteOffset = (m_WriteOffset + chunk) % size;
        m_Lead += chunk;
        m_Stats.Written += chunk;
        bytes -= chunk;
    }
    if (m_QueueHead == m_Queue.size())
    {
        m_Queue.clear();
        m_QueueHead = 0;
    }
}

void CPortPinWaveCyclic::Drain(ULONG bytes)
{
    const ULONG size = m_Dma->BufferSize();
    auto base = static_cast<UCHAR*>(m_Dma->SystemAddress());
    if (base == nullptr || size == 0)
        return;
    while (bytes != 0)
    {
        ULONG chunk = bytes < size - m_WriteOffset ? bytes : size - m_WriteOffset;
        const ULONG queued = (ULONG)(m_Queue.size() - m_QueueHead);
        ULONG room = queued < m_QueueLimit ? m_QueueLimit - queued : 0;
        ULONG take = chunk < room ? chunk : room;
        if (take != 0)
        {
            size_t at = m_Queue.size();
            m_Queue.resize(at + take);
            m_Dma->CopyFrom(m_Queue.data() + at, base + m_WriteOffset, take);
            m_Stats.DataBytes += take;
        }
        m_Stats.DroppedBytes += chunk - take;
        m_WriteOffset = (m_WriteOffset + chunk) % size;
        bytes -= chunk;
    }
}

ULONG CPortPinWaveCyclic::Write(const void* data, ULONG bytes)
{
    if (m_Capture || data == nullptr)
        return 0;
    KIRQL irql;
    KeAcquireSpinLock(&m_Lock, &irql);
    const ULONG queued = (ULONG)(m_Queue.size() - m_QueueHead);
    ULONG room = queued < m_QueueLimit ? m_QueueLimit - queued : 0;
    ULONG take = bytes < room ? bytes : room;
    // What the port copied out goes before more comes in: a client that
    // keeps the queue topped up holds its limit, not all it ever wrote.
    m_Queue.erase(m_Queue.begin(), m_Queue.begin() + (ptrdiff_t)m_QueueHead);
    m_QueueHead = 0;
    m_Queue.insert(m_Queue.end(), static_cast<const UCHAR*>(data),
                   static_cast<const UCHAR*>(data) + take);
    KeReleaseSpinLock(&m_Lock, irql);
    return take;
}

ULONG CPortPinWaveCyclic::Read(void* data, ULONG bytes)
{
    if (!m_Capture || data == nullptr)
        return 0;
    KIRQL irql;
    KeAcquireSpinLock(&m_Lock, &irql);
    const ULONG queued = (ULONG)(m_Queue.size() - m_QueueHead);
    ULONG take = bytes < queued ? bytes : queued;
    if (take != 0)
        memcpy(data, m_Queue.data() + m_QueueHead, take);
    m_QueueHead += take;
    if (m_QueueHead == m_Queue.size())
    {
        m_Queue.clear();
        m_QueueHead = 0;
    }
    KeReleaseSpinLock(&m_Lock, irql);
    return take;
}

ULONG CPortPinWaveCyclic::QueuedBytes()
{
    KIRQL irql;
    KeAcquireSpinLock(&m_Lock, &irql);
    ULONG queued = (ULONG)(m_Queue.size() - m_QueueHead);
    KeReleaseSpinLock(&m_Lock, irql);
    return queued;
}

ULONGLONG CPortPinWaveCyclic::HeldBytes()
{
    KIRQL irql;
    KeAcquireSpinLock(&m_Lock, &irql);
    const ULONGLONG held = m_Queue.size();
    KeReleaseSpinLock(&m_Lock, irql);
    return held;
}

void CPortPinWaveCyclic::SetQueueLimit(ULONG bytes)
{
    m_QueueLimit = bytes;
}

PcPinStatistics CPortPinWaveCyclic::Statistics()
{
    KIRQL irql;
    KeAcquireSpinLock(&m_Lock, &irql);
    PcPinStatistics s = m_Stats;
    KeReleaseSpinLock(&m_Lock, irql);
    return s;
}
