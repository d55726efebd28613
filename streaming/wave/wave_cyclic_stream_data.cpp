// The wave stream's data side: the emulated DMA channel and its cyclic
// buffer, the notifications of the USB stream (render data out of the buffer,
// capture data into it, bytes moved, starts and format changes) and the
// position derived from them.
#include "streaming/wave/wave_cyclic_stream.h"

#include "streaming/wave/wave_cyclic_miniport.h"
#include "streaming/wave/wave_data_format.h"

namespace
{
ULONG Smaller(ULONG a, ULONG b)
{
    return a < b ? a : b;
}
} // namespace

// ----------------------------------------------------------------------------
// DMA channel

NTSTATUS CWaveCyclicStream::AllocateBuffer(ULONG bufferSize, PPHYSICAL_ADDRESS)
{
    auto buffer = bufferSize != 0
                      ? static_cast<PUCHAR>(ExAllocatePoolWithTag(
                            NonPagedPoolCacheAligned, bufferSize, WAVE_CYCLIC_BUFFER_TAG))
                      : nullptr;
    if (buffer == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES; // the old buffer stays
    RtlZeroMemory(buffer, bufferSize);
    PUCHAR old = nullptr;
    {
        WaveLockHolder hold(&m_Lock);
        old = m_Buffer;
        m_Buffer = buffer;
        m_Position = 0;
        m_LastPosition = 0;
        m_PendingBytes = 0;
        m_SentBytes = 0;
        m_PlayedBytes = 0;
        m_Origin = 0;
        m_StartAt = 0;
        m_CopyOffset = 0;
        m_AllocatedSize = bufferSize;
        m_BufferSize = bufferSize;
    }
    if (old != nullptr)
        ExFreePoolWithTag(old, WAVE_CYCLIC_BUFFER_TAG);
    return STATUS_SUCCESS;
}

void CWaveCyclicStream::FreeBuffer()
{
    PUCHAR old = nullptr;
    {
        WaveLockHolder hold(&m_Lock);
        old = m_Buffer;
        m_Buffer = nullptr;
        m_AllocatedSize = 0;
        m_BufferSize = 0;
        m_Position = 0;
        m_SentBytes = 0;
        m_PlayedBytes = 0;
        m_Origin = 0;
        m_StartAt = 0;
        m_CopyOffset = 0;
    }
    if (old != nullptr)
        ExFreePoolWithTag(old, WAVE_CYCLIC_BUFFER_TAG);
}

ULONG CWaveCyclicStream::TransferCount()
{
    return m_AllocatedSize;
}

ULONG CWaveCyclicStream::MaximumBufferSize()
{
    return WAVE_MAX_BUFFER_BYTES;
}

ULONG CWaveCyclicStream::AllocatedBufferSize()
{
    return m_AllocatedSize;
}

ULONG CWaveCyclicStream::BufferSize()
{
    return CyclicSize();
}

void CWaveCyclicStream::SetBufferSize(ULONG bufferSize)
{
    WaveLockHolder hold(&m_Lock);
    if (bufferSize < m_AllocatedSize)
        m_BufferSize = bufferSize;
}

PVOID CWaveCyclicStream::SystemAddress()
{
    return m_Buffer;
}

PHYSICAL_ADDRESS CWaveCyclicStream::PhysicalAddress()
{
    PHYSICAL_ADDRESS address;
    address.QuadPart = 0;
    return address;
}

PADAPTER_OBJECT CWaveCyclicStream::GetAdapterObject()
{
    return nullptr;
}

ULONG CWaveCyclicStream::CyclicSize() const
{
    return m_BufferSize != 0 ? m_BufferSize : m_AllocatedSize;
}

// Whether [at, at + bytes) lies inside the first `limit` bytes of the buffer.
bool CWaveCyclicStream::InBuffer(const void* at, ULONG bytes, ULONG limit) const
{
    const ULONG_PTR start = reinterpret_cast<ULONG_PTR>(m_Buffer);
    const ULONG_PTR place = reinterpret_cast<ULONG_PTR>(at);
    return at != nullptr && m_Buffer != nullptr && place >= start && place - start <= limit &&
           bytes <= limit - (place - start);
}

void CWaveCyclicStream::CopyTo(PVOID destination, PVOID source, ULONG byteCount)
{
    KeAcquireSpinLockAtDpcLevel(&m_Lock);
    if (source != nullptr && InBuffer(destination, byteCount, CyclicSize()))
        RtlCopyMemory(destination, source, byteCount);
    KeReleaseSpinLockFromDpcLevel(&m_Lock);
}

void CWaveCyclicStream::CopyFrom(PVOID destination, PVOID source, ULONG byteCount)
{
    KeAcquireSpinLockAtDpcLevel(&m_Lock);
    if (destination != nullptr && InBuffer(source, byteCount, CyclicSize()))
        RtlCopyMemory(destination, source, byteCount);
    KeReleaseSpinLockFromDpcLevel(&m_Lock);
}

void CWaveCyclicStream::Silence(PVOID buffer, ULONG byteCount)
{
    WaveLockHolder hold(&m_Lock);
    // The start must lie before the end; a range of no bytes at the end is none.
    if (InBuffer(buffer, byteCount, m_AllocatedSize) &&
        static_cast<PUCHAR>(buffer) < m_Buffer + m_AllocatedSize)
        RtlFillMemory(buffer, byteCount, WaveSilenceByte(m_HostFormat));
}

// ----------------------------------------------------------------------------
// Position

ULONGLONG CWaveCyclicStream::Now()
{
    LARGE_INTEGER frequency;
    const LARGE_INTEGER counter = KeQueryPerformanceCounter(&frequency);
    const ULONGLONG ticks = (ULONGLONG)counter.QuadPart;
    const ULONGLONG perSecond = frequency.QuadPart > 0 ? (ULONGLONG)frequency.QuadPart : 1;
    // Whole seconds first, so that the product cannot overflow.
    return ticks / perSecond * WAVE_TICKS_PER_SECOND +
           ticks % perSecond * WAVE_TICKS_PER_SECOND / perSecond;
}

NTSTATUS CWaveCyclicStream::GetPosition(PULONG position)
{
    if (position == nullptr)
        return STATUS_INVALID_PARAMETER;
    WaveLockHolder hold(&m_Lock);
    const ULONG size = CyclicSize();
    if (size == 0)
    {
        *position = 0;
        return STATUS_SUCCESS;
    }
    if (m_State != KSSTATE_RUN)
    {
        *position = m_LastPosition % size;
        return STATUS_SUCCESS;
    }
    const ULONGLONG now = Now();
    const ULONGLONG elapsed = now > m_TimeStamp ? now - m_TimeStamp : 0;
    const ULONGLONG played = elapsed * m_HostFormat.Format.nAvgBytesPerSec / WAVE_TICKS_PER_SECOND;
    const ULONG d = played < m_PendingBytes ? (ULONG)played : m_PendingBytes;
    ULONG result;
    if (m_Capture)
    {
        const ULONG block = m_HostFormat.Format.nBlockAlign;
        const ULONG behind = (m_PendingBytes - d) / block * block % size;
        result = (size + m_Position % size - behind) % size;
    }
    else
        result = RenderPosition(d, size);
    m_LastPosition = result;
    *position = result;
    return STATUS_SUCCESS;
}

NTSTATUS CWaveCyclicStream::NormalizePhysicalPosition(PLONGLONG physicalPosition)
{
    if (physicalPosition == nullptr)
        return STATUS_INVALID_PARAMETER;
    const LONGLONG frameBytes =
        (LONGLONG)m_HostFormat.Format.nChannels * (m_HostFormat.Format.wBitsPerSample / 8);
    const LONGLONG rate = m_HostFormat.Format.nSamplesPerSec;
    if (frameBytes == 0 || rate == 0)
        return STATUS_INVALID_DEVICE_STATE;
    *physicalPosition = (10000000 / frameBytes) * *physicalPosition / rate;
    return STATUS_SUCCESS;
}

// With the lock held: the render position `played` bytes into the transfer
// under way.
ULONG CWaveCyclicStream::RenderPosition(ULONG played, ULONG size) const
{
    return (ULONG)((m_Origin + m_PlayedBytes + played) % size);
}

// With the lock held: positions, pending bytes and the transfer ring back to
// their start.
void CWaveCyclicStream::ResetPositions()
{
    m_Position = 0;
    m_LastPosition = 0;
    m_PendingBytes = 0;
    m_PreRollSilence = 0;
    m_SentBytes = 0;
    m_PlayedBytes = 0;
    m_Origin = 0;
    RtlZeroMemory(m_Ring, sizeof(m_Ring));
    m_RingRead = 0;
    m_RingWrite = 0;
    m_RingHeld = 0;
}

bool CWaveCyclicStream::RatesDiffer(const WAVEFORMATEXTENSIBLE& client) const
{
    return client.Format.nAvgBytesPerSec != m_HostFormat.Format.nAvgBytesPerSec;
}

void CWaveCyclicStream::AdvancePosition(ULONG bytes, const WAVEFORMATEXTENSIBLE& client)
{
    const ULONG size = CyclicSize();
    if (size == 0)
        return;
    m_TimeStamp = Now();
    if (m_Capture)
    {
        const ULONG hostBytes = RatesDiffer(client) ? m_PositionRate.HostBytes(bytes) : bytes;
        m_Position = (ULONG)(((ULONGLONG)m_Position + hostBytes) % size);
        m_PendingBytes = hostBytes;
        return;
    }
    // Render: the oldest transfer came back, and the position moves over the
    // bytes of the buffer it carried, never over a byte that did not go out;
    // a short transfer moves it less, the pre-roll's silence not at all.
    if (m_RingHeld != 0)
        TakeTransfer();
    m_PendingBytes = m_RingHeld != 0 ? m_Ring[m_RingRead] : 0;
    m_Position = RenderPosition(0, size);
}

// ----------------------------------------------------------------------------
// Notifications

void CWaveCyclicStream::OnStreamNotify(PVOID context, PVOID argument1, PVOID)
{
    auto self = static_cast<CWaveCyclicStream*>(context);
    auto record = static_cast<const StreamNotification*>(argument1);
    if (self != nullptr && record != nullptr)
        self->HandleNotification(record);
}

void CWaveCyclicStream::HandleNotification(const StreamNotification* record)
{
    bool notifyPort = false;
    {
        WaveLockHolder hold(&m_Lock);
        if (m_Client == nullptr || record->Client == nullptr)
            return;
        const bool started = m_Client->Started != 0;
        const WAVEFORMATEXTENSIBLE& client = record->Client->Format;
        switch (record->Type)
        {
        case STREAM_NOTIFY_BYTES:
            if (started)
            {
                AdvancePosition(record->Bytes, client);
                notifyPort = true;
            }
            break;
        case STREAM_NOTIFY_START:
            OnStart(record);
            break;
        case STREAM_NOTIFY_RENDER_DATA:
            if (started)
                CopyToUrbBuffer(static_cast<PUCHAR>(record->Data.Buffer), record->Data.Bytes,
                                client, record->Client == m_Client);
            break;
        case STREAM_NOTIFY_CAPTURE_DATA:
            if (started)
                CopyFromUrbBuffer(static_cast<const UCHAR*>(record->Data.Buffer),
                                  record->Data.Bytes);
            else if (m_State == KSSTATE_RUN)
                DropCapture(record->Data.Bytes); // leaving RUN: the pin's own frames
            break;
        default:
            break;
        }
    }
    // The service group serves its members from a DPC, never inside this call.
    if (notifyPort && m_Miniport != nullptr && m_Miniport->GetPort() != nullptr)
        m_Miniport->GetPort()->Notify(m_ServiceGroup);
}

// A start or a format change. A format other than the one last seen, or the
// USB stream's own flag, starts the position over at 0.
void CWaveCyclicStream::OnStart(const StreamNotification* record)
{
    const WAVEFORMATEXTENSIBLE& client = record->Client->Format;
    bool changed = (record->Start.MsPerUrb & STREAM_FORMAT_CHANGED) != 0;
    const ULONG ms = record->Start.MsPerUrb & ~STREAM_FORMAT_CHANGED;
    if (!RtlEqualMemory(&client, &m_DeviceFormat, sizeof(client)))
    {
        changed = true;
        m_DeviceFormat = client;
    }
    const ULONG startAt = m_StartAt;
    m_StartAt = 0;
    if (changed)
    {
        ConfigureCapture();
        ResetPositions();
        // A pin run again after a pause goes on from where it held, which
        // is where the port put what comes next; any other start begins
        // at 0. The copy offset starts the pre-roll before that place so
        // that it meets the position once the URBs in flight are sent; the
        // bytes it passes on the way are not data yet and go out as
        // silence, all of them, however many times the pre-roll wraps
        // round the buffer.
        const ULONG size = CyclicSize();
        m_Origin = size != 0 ? startAt % size : 0;
        m_Position = m_Origin;
        m_LastPosition = m_Origin;
        m_PreRollSilence = m_Capture || size == 0 ? 0 : RenderPreRoll(ms, record->Start.UrbCount);
        m_CopyOffset = size != 0 ? (m_Origin + size - m_PreRollSilence % size) % size : 0;
    }
    UpdateTiming(ms, record->Start.UrbCount, client);
}

// The bytes of the host format that the URBs in flight hold: the copy offset
// lags the position by them at the start. It may hold more than the buffer
// when the active client's URBs do.
ULONG CWaveCyclicStream::RenderPreRoll(ULONG msPerUrb, ULONG urbCount) const
{
    const ULONGLONG perMs =
        (ULONGLONG)(m_HostFormat.Format.nSamplesPerSec / 1000) * m_HostFormat.Format.nBlockAlign;
    const ULONGLONG bytes = perMs * msPerUrb * urbCount;
    return bytes < MAXULONG ? (ULONG)bytes : MAXULONG;
}

void CWaveCyclicStream::UpdateTiming(ULONG msPerUrb, ULONG urbCount,
                                     const WAVEFORMATEXTENSIBLE& client)
{
    m_PositionRate.SetHost(m_HostFormat.Format.nAvgBytesPerSec);
    m_TransferRate.SetHost(m_HostFormat.Format.nAvgBytesPerSec);
    if (RatesDiffer(client))
    {
        m_PositionRate.SetDevice(client.Format.nAvgBytesPerSec);
        m_TransferRate.SetDevice(client.Format.nAvgBytesPerSec);
    }
    m_MsPerUrb = msPerUrb;
    m_UrbCount = urbCount;
}

// The ring holds as many transfers as the USB stream keeps in flight; one
// more than that would mean the oldest came back unreported.
void CWaveCyclicStream::RecordTransfer(ULONG hostBytes)
{
    if (m_RingHeld == WAVE_TRANSFER_RING)
        TakeTransfer();
    if (m_RingHeld == 0)
        m_PendingBytes = hostBytes;
    m_Ring[m_RingWrite] = hostBytes;
    m_SentBytes += hostBytes;
    m_RingWrite = (m_RingWrite + 1) % WAVE_TRANSFER_RING;
    ++m_RingHeld;
}

// The oldest transfer in flight came back: its bytes were played.
void CWaveCyclicStream::TakeTransfer()
{
    m_PlayedBytes += m_Ring[m_RingRead];
    m_RingRead = (m_RingRead + 1) % WAVE_TRANSFER_RING;
    --m_RingHeld;
}

// Render data wanted: after the pre-roll's silence, the bytes at the copy
// offset go out unchanged. A client of another byte rate gets nothing from
// us; its bytes are only counted.
void CWaveCyclicStream::CopyToUrbBuffer(PUCHAR buffer, ULONG bytes,
                                        const WAVEFORMATEXTENSIBLE& client, bool copyData)
{
    const ULONG size = CyclicSize();
    if (m_Buffer == nullptr || size == 0)
        return;
    if (RatesDiffer(client))
    {
        RecordTransfer(m_TransferRate.HostBytes(bytes));
        return;
    }
    if (bytes >= size)
        return;
    const ULONG quiet = Smaller(bytes, m_PreRollSilence);
    if (copyData && buffer != nullptr)
    {
        const ULONG data = bytes - quiet;
        const ULONG offset = (ULONG)(((ULONGLONG)m_CopyOffset + quiet) % size);
        const ULONG first = Smaller(data, size - offset);
        RtlFillMemory(buffer, quiet, WaveSilenceByte(m_HostFormat));
        RtlCopyMemory(buffer + quiet, m_Buffer + offset, first);
        RtlCopyMemory(buffer + quiet + first, m_Buffer, data - first);
    }
    m_PreRollSilence -= quiet;
    m_CopyOffset = (ULONG)(((ULONGLONG)m_CopyOffset + bytes) % size);
    RecordTransfer(bytes - quiet);
}

// Capture data ready: whole frames of the device format go into the buffer at
// the copy offset in the host format.
void CWaveCyclicStream::CopyFromUrbBuffer(const UCHAR* data, ULONG bytes)
{
    const ULONG size = CyclicSize();
    const ULONG deviceBlock = m_DeviceFormat.Format.nBlockAlign;
    const ULONG hostBlock = m_HostFormat.Format.nBlockAlign;
    if (m_Buffer == nullptr || data == nullptr || size < hostBlock || deviceBlock == 0 ||
        hostBlock == 0 || m_CaptureRoute == WaveCaptureRoute::Silence)
    {
        DropCapture(bytes);
        return;
    }
    ULONG frames = bytes / deviceBlock;
    ULONG consumedBytes = 0;
    while (frames > 0)
    {
        if (m_CopyOffset >= size || size - m_CopyOffset < hostBlock)
            m_CopyOffset = 0;
        ULONG taken = frames;
        ULONG made = (size - m_CopyOffset) / hostBlock;
        if (m_CaptureRoute == WaveCaptureRoute::Convert)
            m_Converter->Process(data + consumedBytes, &taken, m_Buffer + m_CopyOffset, &made);
        else
        {
            taken = made = Smaller(taken, made);
            RtlCopyMemory(m_Buffer + m_CopyOffset, data + consumedBytes, made * hostBlock);
        }
        if (taken == 0 && made == 0)
            break; // a converter that makes no progress must not hold us here
        frames -= taken;
        consumedBytes += taken * deviceBlock;
        m_CopyOffset += made * hostBlock;
        if (m_CopyOffset >= size)
            m_CopyOffset = 0;
    }
    m_DroppedFrames += frames;
}

// Captured bytes that reach no buffer are counted, so that no loss goes
// unseen.
void CWaveCyclicStream::DropCapture(ULONG bytes)
{
    const ULONG deviceBlock = m_DeviceFormat.Format.nBlockAlign;
    m_DroppedFrames += deviceBlock != 0 ? bytes / deviceBlock : 0;
}
