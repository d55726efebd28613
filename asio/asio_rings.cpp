#include "asio/asio_rings.h"

#include "asio/asio_host.h"
#include "framework/stream_engine.h"

namespace
{
struct MapPair
{
    ULONG IsInput;
    ULONG Channel;
};

ULONG RingFrameBytes(const AsioRingSettings& settings, ULONG channels)
{
    if (settings.Mode == ASIO_MODE_DSD)
        return channels * 8;
    const AsioSampleTypeInfo* info = FindAsioSampleType(settings.SampleType);
    return info != nullptr && info->Type != ASIO_SAMPLE_TYPE_DSD ? channels * info->RingBytes : 0;
}
} // namespace

CAsioRings::CAsioRings(CAsioHost* adapter) : m_Adapter(adapter)
{
    KeInitializeSpinLock(&m_Lock);
}

CAsioRings::~CAsioRings()
{
    Free();
}

NTSTATUS CAsioRings::Allocate(ULONG engines)
{
    Free();
    if (engines == 0)
        return STATUS_SUCCESS;
    const SIZE_T bytes = (SIZE_T)engines * sizeof(AsioRingEntry);
    m_Entries =
        static_cast<AsioRingEntry*>(ExAllocatePoolWithTag(NonPagedPool, bytes, ASIO_POOL_TAG));
    if (m_Entries == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(m_Entries, bytes);
    m_Count = engines;
    return STATUS_SUCCESS;
}

void CAsioRings::Free()
{
    if (m_Entries == nullptr)
        return;
    Unmap();
    ExFreePoolWithTag(m_Entries, ASIO_POOL_TAG);
    m_Entries = nullptr;
    m_Count = 0;
}

CStreamEngine* CAsioRings::Engine(ULONG index)
{
    CStreamEngine* engine = nullptr;
    if (!NT_SUCCESS(m_Adapter->GetEngine(index, &engine)))
        return nullptr;
    return engine;
}

bool CAsioRings::IsAsioEngine(ULONG index)
{
    EndpointCapabilities caps = {};
    return NT_SUCCESS(m_Adapter->GetStreamCapabilities(index, &caps)) &&
           (caps.ThirdValue & ENDPOINT_CAPS_ASIO_STREAM) != 0 && Engine(index) != nullptr;
}

bool CAsioRings::DescribeEngine(ULONG index, ULONG mode, ULONG* channels, ULONG* isInput)
{
    if (!IsAsioEngine(index))
        return false;
    CStreamEngine* engine = Engine(index);
    *channels = 0;
    for (ULONG f = 0; f < engine->GetFormatCount(); ++f)
    {
        WAVEFORMATEXTENSIBLE format = {};
        if (NT_SUCCESS(engine->GetFormatAt(f, &format)) && AsioFormatIsMode(format, mode) &&
            format.Format.nChannels > *channels)
            *channels = format.Format.nChannels;
    }
    *isInput = engine->GetDirection() == 1 ? 1 : 0;
    return true;
}

bool CAsioRings::EnginesOfferType(ULONG type)
{
    for (ULONG i = 0; i < m_Count; ++i)
    {
        if (!IsAsioEngine(i))
            continue;
        CStreamEngine* engine = Engine(i);
        bool offered = false;
        for (ULONG f = 0; f < engine->GetFormatCount() && !offered; ++f)
        {
            WAVEFORMATEXTENSIBLE format = {};
            offered = NT_SUCCESS(engine->GetFormatAt(f, &format)) &&
                      AsioTypeOfRecord(format, ASIO_MODE_PCM) == type;
        }
        if (!offered)
            return false;
    }
    return true;
}

bool CAsioRings::EnginesOfferMode(ULONG mode)
{
    for (ULONG i = 0; i < m_Count; ++i)
    {
        ULONG channels = 0, isInput = 0;
        if (DescribeEngine(i, mode, &channels, &isInput) && channels == 0)
            return false;
    }
    return true;
}

// ----------------------------------------------------------------------------
// Mapping

NTSTATUS CAsioRings::BuildRing(AsioRingEntry* entry, const AsioRingSettings& settings)
{
    const ULONG frame = RingFrameBytes(settings, entry->Channels);
    const ULONG frames = settings.Mode == ASIO_MODE_DSD ? settings.Rate / 64 : settings.Rate;
    if (frame == 0 && entry->Channels != 0)
        return STATUS_INVALID_PARAMETER;
    ULONGLONG data = (ULONGLONG)frames * frame * ASIO_RING_MS / 1000;
    if (frame != 0)
        data -= data % frame;
    if (data > 0x10000000)
        return STATUS_INVALID_PARAMETER;
    const ULONG bytes = ASIO_RING_HEADER_BYTES + (ULONG)data;
    // The process gets whole pages: the block fills them, so it sees nothing
    // of the kernel's but the ring, and zeros past its end.
    const SIZE_T pages = ROUND_TO_PAGES(bytes);
    entry->Block = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, pages, ASIO_POOL_TAG));
    if (entry->Block == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(entry->Block, pages);
    if (settings.Mode == ASIO_MODE_DSD)
        RtlFillMemory(entry->Block + ASIO_RING_HEADER_BYTES, (SIZE_T)data, ASIO_DSD_IDLE_BYTE);
    entry->DataBytes = (ULONG)data;
    entry->Mdl = IoAllocateMdl(entry->Block, bytes, FALSE, TRUE, nullptr);
    if (entry->Mdl == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    MmBuildMdlForNonPagedPool(entry->Mdl);
    entry->UserAddress = MmMapLockedPagesSpecifyCache(entry->Mdl, UserMode, MmCached, nullptr,
                                                      FALSE, HighPagePriority);
    if (entry->UserAddress == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    // Held until the mapping is undone there, however late that comes.
    entry->Process = PsGetCurrentProcess();
    ObReferenceObject(entry->Process);
    auto header = reinterpret_cast<AsioRingHeader*>(entry->Block);
    header->Channels = entry->Channels;
    header->DataBytes = entry->DataBytes;
    header->IsInput = entry->IsInput;
    header->FirstChannel = entry->FirstChannel;
    return STATUS_SUCCESS;
}

NTSTATUS CAsioRings::Map(const AsioRingSettings& settings, const UCHAR* input, ULONG inputLength,
                         ULONGLONG* addresses, ULONG slots, ULONG* written)
{
    *written = 0;
    // The request's pairs must lie within what the caller sent.
    AsioMapRequest request;
    if (input == nullptr || inputLength < sizeof(request) || m_Entries == nullptr || m_Mapped)
        return STATUS_INVALID_PARAMETER;
    RtlCopyMemory(&request, input, sizeof(request));
    if (request.PairCount > (inputLength - sizeof(request)) / ASIO_MAP_PAIR_BYTES)
        return STATUS_INVALID_PARAMETER;
    // Only the sizes the driver states: outside them the URB split and the
    // pre-roll are not what the client was told.
    if (!AsioBufferSizeOffered(settings.Mode, settings.Rate, request.BufferFrames))
        return STATUS_INVALID_BUFFER_SIZE;
    ULONG asioEngines = 0;
    for (ULONG i = 0; i < m_Count; ++i)
        asioEngines += IsAsioEngine(i) ? 1 : 0;
    if (asioEngines == 0 || slots != asioEngines || addresses == nullptr)
        return STATUS_INVALID_PARAMETER;

    NTSTATUS status = STATUS_SUCCESS;
    ULONG firstChannel[2] = {};
    for (ULONG i = 0; i < m_Count && NT_SUCCESS(status); ++i)
    {
        AsioRingEntry* entry = &m_Entries[i];
        if (!DescribeEngine(i, settings.Mode, &entry->Channels, &entry->IsInput))
            continue;
        entry->Engine = i;
        entry->FirstChannel = firstChannel[entry->IsInput];
        firstChannel[entry->IsInput] += entry->Channels;
        status = BuildRing(entry, settings);
    }
    if (NT_SUCCESS(status))
    {
        m_BufferFrames = request.BufferFrames;
        const UCHAR* pairs = input + sizeof(request);
        for (ULONG p = 0; p < request.PairCount; ++p)
        {
            MapPair pair;
            RtlCopyMemory(&pair, pairs + p * ASIO_MAP_PAIR_BYTES, sizeof(pair));
            const ULONG isInput = pair.IsInput != 0 ? 1 : 0;
            for (ULONG i = 0; i < m_Count; ++i)
            {
                AsioRingEntry* e = &m_Entries[i];
                if (e->Block != nullptr && e->IsInput == isInput &&
                    pair.Channel >= e->FirstChannel && pair.Channel - e->FirstChannel < e->Channels)
                    e->Active = 1;
            }
        }
        ULONG slot = 0;
        AsioRingEntry* signal = nullptr;
        AsioRingEntry* lastActive = nullptr;
        for (ULONG i = 0; i < m_Count; ++i)
        {
            AsioRingEntry* e = &m_Entries[i];
            if (e->Block == nullptr)
                continue;
            addresses[slot++] = (ULONGLONG)(ULONG_PTR)e->UserAddress;
            reinterpret_cast<AsioRingHeader*>(e->Block)->Active = e->Active;
            if (e->Active != 0)
            {
                lastActive = e;
                if (e->IsInput != 0)
                    signal = e;
            }
        }
        if (signal == nullptr)
            signal = lastActive;
        if (signal != nullptr)
        {
            signal->Signal = 1;
            reinterpret_cast<AsioRingHeader*>(signal->Block)->Signal = 1;
        }
        *written = slot;
        m_Settings = settings;
        m_Mapped = true;
        status = Register(settings);
    }
    if (!NT_SUCCESS(status))
    {
        *written = 0;
        Unmap();
    }
    return status;
}

// A user mapping can only be undone in its own process: a close or a
// removal arriving in another one attaches to the owner for the unmap.
void CAsioRings::UnmapInOwner(AsioRingEntry* entry)
{
    if (entry->Process == PsGetCurrentProcess())
        MmUnmapLockedPages(entry->UserAddress, entry->Mdl);
    else
    {
        KAPC_STATE state;
        KeStackAttachProcess(entry->Process, &state);
        MmUnmapLockedPages(entry->UserAddress, entry->Mdl);
        KeUnstackDetachProcess(&state);
    }
    ObDereferenceObject(entry->Process);
}

void CAsioRings::FreeRing(AsioRingEntry* entry)
{
    if (entry->UserAddress != nullptr)
        UnmapInOwner(entry);
    if (entry->Mdl != nullptr)
        IoFreeMdl(entry->Mdl);
    if (entry->Block != nullptr)
        ExFreePoolWithTag(entry->Block, ASIO_POOL_TAG);
}

void CAsioRings::Unmap()
{
    Unregister();
    for (ULONG i = 0; i < m_Count; ++i)
    {
        // Cleared under the lock: a notification may be copying.
        KIRQL irql;
        KeAcquireSpinLock(&m_Lock, &irql);
        AsioRingEntry taken = m_Entries[i];
        RtlZeroMemory(&m_Entries[i], sizeof(m_Entries[i]));
        KeReleaseSpinLock(&m_Lock, irql);
        FreeRing(&taken);
    }
    m_Mapped = false;
}

bool CAsioRings::InOwningProcess() const
{
    for (ULONG i = 0; i < m_Count; ++i)
        if (m_Entries[i].UserAddress != nullptr && m_Entries[i].Process != PsGetCurrentProcess())
            return false;
    return true;
}

bool CAsioRings::IsMappedIn(HANDLE processId) const
{
    for (ULONG i = 0; i < m_Count; ++i)
        if (m_Entries[i].UserAddress != nullptr &&
            PsGetProcessId(m_Entries[i].Process) == processId)
            return true;
    return false;
}

// ----------------------------------------------------------------------------
// Stream clients

NTSTATUS CAsioRings::AsioSelectStreamFormat(ULONG index, const AsioRingSettings& settings,
                                            WAVEFORMATEXTENSIBLE* format)
{
    WAVEFORMATEXTENSIBLE wanted;
    CStreamEngine* engine = Engine(index);
    if (engine == nullptr || index >= m_Count ||
        !AsioBuildFormat(settings.Mode, settings.Rate, settings.SampleType,
                         m_Entries[index].Channels, &wanted))
        return STATUS_NOT_FOUND;
    // The record of the ring's channels and rate that carries the type, as
    // the types offered name it; of several, the one with the most valid
    // bits (the first of equals): the device keeps what it carries from the
    // top of each container, as it does on the wave path.
    const ULONG type = settings.Mode == ASIO_MODE_DSD ? ASIO_SAMPLE_TYPE_DSD : settings.SampleType;
    bool found = false;
    for (ULONG f = 0; f < engine->GetFormatCount(); ++f)
    {
        WAVEFORMATEXTENSIBLE record = {};
        if (!NT_SUCCESS(engine->GetFormatAt(f, &record)) ||
            record.Format.nChannels != wanted.Format.nChannels ||
            record.Format.nSamplesPerSec != wanted.Format.nSamplesPerSec ||
            AsioTypeOfRecord(record, settings.Mode) != type)
            continue;
        if (!found || record.Samples.wValidBitsPerSample > format->Samples.wValidBitsPerSample)
            *format = record;
        found = true;
    }
    if (!found)
        return STATUS_NOT_FOUND;
    m_BytesPerSample = format->Format.wBitsPerSample / 8u;
    return STATUS_SUCCESS;
}

PUSBSTREAMCONTROL CAsioRings::QueryControl(ULONG engine)
{
    CStreamEngine* stream = Engine(engine);
    PUSBSTREAMCONTROL control = nullptr;
    if (stream == nullptr ||
        !NT_SUCCESS(stream->QueryInterface(IID_IUsbStreamControl, (PVOID*)&control)))
        return nullptr;
    return control;
}

NTSTATUS CAsioRings::Register(const AsioRingSettings& settings)
{
    const AsioUrbSplit split = AsioSplitBuffer(settings.Mode, settings.Rate, m_BufferFrames);
    NTSTATUS status = STATUS_INVALID_PARAMETER;
    for (ULONG i = 0; i < m_Count; ++i)
    {
        AsioRingEntry* e = &m_Entries[i];
        if (e->Block == nullptr)
            continue;
        status = STATUS_SUCCESS;
        if (e->Active == 0)
            continue;
        WAVEFORMATEXTENSIBLE format;
        status = AsioSelectStreamFormat(i, settings, &format);
        if (NT_SUCCESS(status))
        {
            e->Control = QueryControl(i);
            status = e->Control != nullptr ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
        }
        if (NT_SUCCESS(status))
            status = e->Control->RegisterClient(STREAM_CLIENT_KIND_ASIO, &format.Format,
                                                split.MsPerUrb, split.UrbCount, OnAsioStreamNotify,
                                                this, &e->Registration);
        if (!NT_SUCCESS(status))
        {
            Unregister();
            return status;
        }
    }
    return status;
}

NTSTATUS CAsioRings::Unregister()
{
    for (ULONG i = 0; i < m_Count; ++i)
    {
        AsioRingEntry* e = &m_Entries[i];
        if (e->Control == nullptr)
            continue;
        if (e->Registration != nullptr)
            e->Control->UnregisterClient(e->Registration->Registration);
        KIRQL irql;
        KeAcquireSpinLock(&m_Lock, &irql);
        PUSBSTREAMCONTROL control = e->Control;
        e->Registration = nullptr;
        e->Control = nullptr;
        KeReleaseSpinLock(&m_Lock, irql);
        control->Release();
    }
    return STATUS_SUCCESS;
}

// ----------------------------------------------------------------------------
// Positions, notifications

// Every start takes its first URBs from the start position on and counts
// what they took as its pre-roll, so the header states it exactly (URBs
// carry a frame more now and then where a millisecond is not whole frames).
void CAsioRings::BeginStart(AsioRingEntry* e, AsioRingHeader* header, ULONG position)
{
    e->Position = position;
    e->StartPosition = position;
    e->PrerollBytes = 0;
    e->InFlight = 0;
    e->Prerolling = e->IsInput == 0 ? 1 : 0;
    header->DriverPosition = position;
    header->StartPosition = position;
    header->PrerollBytes = 0;
}

void CAsioRings::Reset(const AsioRingSettings& settings, PKEVENT bufferSwitchEvent)
{
    const AsioSampleTypeInfo* info = FindAsioSampleType(settings.SampleType);
    if (info != nullptr && info->Type != ASIO_SAMPLE_TYPE_DSD)
        m_BytesPerSample = info->RingBytes;
    ForEachRing(
        [](AsioRingEntry* e, AsioRingHeader* header)
        {
            e->SwitchCount = 0;
            e->Played = 0;
            header->SwitchCount = 0;
            BeginStart(e, header, 0);
        });
    SetBufferSwitchEvent(bufferSwitchEvent);
}

void CAsioRings::Resume()
{
    ForEachRing([](AsioRingEntry* e, AsioRingHeader* header)
                { BeginStart(e, header, e->IsInput == 0 ? e->Played : e->Position); });
}

template <typename Action> void CAsioRings::ForEachRing(Action action)
{
    KIRQL irql;
    KeAcquireSpinLock(&m_Lock, &irql);
    for (ULONG i = 0; i < m_Count; ++i)
        if (m_Entries[i].Block != nullptr)
            action(&m_Entries[i], reinterpret_cast<AsioRingHeader*>(m_Entries[i].Block));
    KeReleaseSpinLock(&m_Lock, irql);
}

void CAsioRings::KeepMarks()
{
    ForEachRing(
        [](AsioRingEntry* e, AsioRingHeader*) {
            e->Kept = {e->Position, e->Played, e->SwitchCount, e->StartPosition, e->PrerollBytes};
        });
}

void CAsioRings::RestoreMarks()
{
    ForEachRing(
        [](AsioRingEntry* e, AsioRingHeader* header)
        {
            e->Position = e->Kept.Position;
            e->Played = e->Kept.Played;
            e->SwitchCount = e->Kept.SwitchCount;
            e->StartPosition = e->Kept.StartPosition;
            e->PrerollBytes = e->Kept.PrerollBytes;
            e->Prerolling = 0;
            header->DriverPosition = e->Position;
            header->SwitchCount = e->SwitchCount;
            header->StartPosition = e->StartPosition;
            header->PrerollBytes = e->PrerollBytes;
        });
}

void CAsioRings::SetBufferSwitchEvent(PKEVENT event)
{
    KIRQL irql;
    KeAcquireSpinLock(&m_Lock, &irql);
    m_BufferSwitchEvent = event;
    KeReleaseSpinLock(&m_Lock, irql);
}

void CAsioRings::Silence()
{
    KIRQL irql;
    KeAcquireSpinLock(&m_Lock, &irql);
    for (ULONG i = 0; i < m_Count; ++i)
        if (m_Entries[i].Block != nullptr && m_Entries[i].Active != 0)
            RtlZeroMemory(m_Entries[i].Block + ASIO_RING_HEADER_BYTES, m_Entries[i].DataBytes);
    KeReleaseSpinLock(&m_Lock, irql);
}

void CAsioRings::Halt()
{
    KIRQL irql;
    KeAcquireSpinLock(&m_Lock, &irql);
    m_Halted = true;
    KeReleaseSpinLock(&m_Lock, irql);
}

AsioRingEntry* CAsioRings::FindEntry(PSTREAMCLIENT client)
{
    for (ULONG i = 0; i < m_Count; ++i)
        if (client != nullptr && m_Entries[i].Registration == client &&
            m_Entries[i].Block != nullptr)
            return &m_Entries[i];
    return nullptr;
}

void CAsioRings::CopyRing(AsioRingEntry* e, PUCHAR urb, ULONG bytes, bool toUrb)
{
    // A URB at least as large as the ring is left alone (a render URB stays silent).
    if (urb == nullptr || bytes >= e->DataBytes)
        return;
    PUCHAR data = e->Block + ASIO_RING_HEADER_BYTES;
    const ULONG first = e->DataBytes - e->Position < bytes ? e->DataBytes - e->Position : bytes;
    if (toUrb)
    {
        RtlCopyMemory(urb, data + e->Position, first);
        RtlCopyMemory(urb + first, data, bytes - first);
    }
    else
    {
        RtlCopyMemory(data + e->Position, urb, first);
        RtlCopyMemory(data, urb + first, bytes - first);
    }
    e->Position = (e->Position + bytes) % e->DataBytes;
    auto header = reinterpret_cast<AsioRingHeader*>(e->Block);
    header->DriverPosition = e->Position;
    if (!toUrb)
        return;
    e->InFlight += bytes;
    if (e->Prerolling != 0)
    {
        e->PrerollBytes += bytes;
        header->PrerollBytes = e->PrerollBytes;
    }
}

// Every URB built from the ring comes back, also once the client is no
// longer started (a stop waits for them), so the played place follows each;
// only a started client's URBs count as buffer switches. Halted, a URB that
// comes back with none in flight was built silent: the device received no
// ring byte from it, so the played place stays at the first it did not.
void CAsioRings::UrbReturned(AsioRingEntry* e, const StreamNotification& note, bool started)
{
    e->Prerolling = 0;
    const bool silent = m_Halted && e->InFlight == 0;
    if (e->IsInput == 0 && note.Bytes < e->DataBytes && !silent)
    {
        e->InFlight = e->InFlight > note.Bytes ? e->InFlight - note.Bytes : 0;
        if (note.Dropped == 0)
            e->Played = (e->Position + e->DataBytes - e->InFlight) % e->DataBytes;
    }
    if (!started)
        return;
    ++e->SwitchCount;
    reinterpret_cast<AsioRingHeader*>(e->Block)->SwitchCount = e->SwitchCount;
    if (e->Signal != 0 && m_BufferSwitchEvent != nullptr)
        KeSetEvent(m_BufferSwitchEvent, 8, FALSE);
}

void CAsioRings::OnAsioStreamNotify(PVOID context, PVOID argument1, PVOID)
{
    auto rings = static_cast<CAsioRings*>(context);
    auto note = static_cast<StreamNotification*>(argument1);
    if (rings == nullptr || note == nullptr)
        return;
    KIRQL irql;
    KeAcquireSpinLock(&rings->m_Lock, &irql);
    AsioRingEntry* e = rings->FindEntry(note->Client);
    const bool started = e != nullptr && note->Client->Started != 0;
    if (e != nullptr && note->Type == STREAM_NOTIFY_BYTES)
        rings->UrbReturned(e, *note, started);
    else if (started && !rings->m_Halted &&
             (note->Type == STREAM_NOTIFY_RENDER_DATA || note->Type == STREAM_NOTIFY_CAPTURE_DATA))
        rings->CopyRing(e, static_cast<PUCHAR>(note->Data.Buffer), note->Data.Bytes,
                        note->Type == STREAM_NOTIFY_RENDER_DATA);
    KeReleaseSpinLock(&rings->m_Lock, irql);
}
