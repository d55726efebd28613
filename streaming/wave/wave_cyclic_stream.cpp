// The wave stream's set-up, formats, states and the USB stream client it
// becomes in RUN. The DMA channel, the position and the notifications are in
// wave_cyclic_stream_data.cpp.
#include "streaming/wave/wave_cyclic_stream.h"

#include <new>

#include "framework/interface_table.h"
#include "streaming/wave/wave_cyclic_miniport.h"
#include "streaming/wave/wave_data_format.h"

namespace
{
// The buffer for a format: 50 ms, cut to whole frames (11025 and 22050 Hz
// do not divide by 20).
ULONG BufferBytesFor(const WAVEFORMATEX& format)
{
    const ULONG bytes = format.nAvgBytesPerSec / WAVE_BUFFER_DIVISOR;
    return format.nBlockAlign != 0 ? bytes - bytes % format.nBlockAlign : bytes;
}

} // namespace

CWaveCyclicStream::CWaveCyclicStream(PUNKNOWN outerUnknown)
    : CUnknown(outerUnknown), m_Miniport(nullptr), m_Engine(nullptr), m_Pin(0),
      m_State(KSSTATE_STOP), m_NotificationInterval(WAVE_NOTIFICATION_MS),
      m_MsPerUrb(WAVE_MS_PER_URB), m_UrbCount(0), m_ClientKey(nullptr), m_Client(nullptr),
      m_ServiceGroup(nullptr), m_HostFormat(), m_Buffer(nullptr), m_AllocatedSize(0), m_Position(0),
      m_BufferSize(0), m_LastPosition(0), m_CopyOffset(0), m_PreRollSilence(0), m_SentBytes(0),
      m_PlayedBytes(0), m_Origin(0), m_StartAt(0), m_PendingBytes(0), m_TimeStamp(0), m_Lock(0),
      m_Capture(FALSE), m_RegisteredWithMiniport(FALSE), m_Ring(), m_RingRead(0), m_RingWrite(0),
      m_RingHeld(0), m_TransferRate(), m_PositionRate(), m_Converter(nullptr),
      m_CaptureRoute(WaveCaptureRoute::Silence), m_DeviceFormat(), m_DroppedFrames(0)
{
    KeInitializeSpinLock(&m_Lock);
}

CWaveCyclicStream::~CWaveCyclicStream()
{
    PAGED_CODE();
    // One step at a time, as the port would; a step that fails does not hold
    // the stream in a state it is leaving anyway.
    while (m_Engine != nullptr && m_State != KSSTATE_STOP)
    {
        const KSSTATE next = (KSSTATE)(m_State - 1);
        SetState(next);
        m_State = next;
    }
    FreeBuffer();
    if (m_ServiceGroup != nullptr)
        m_ServiceGroup->Release();
    m_ServiceGroup = nullptr;
    if (m_Engine != nullptr)
        m_Engine->Release();
    m_Engine = nullptr;
    if (m_Converter != nullptr)
    {
        m_Converter->DestroyConverterStages();
        m_Converter->~CDspInterleaveSrc();
        ExFreePoolWithTag(m_Converter, WAVE_CYCLIC_BUFFER_TAG);
        m_Converter = nullptr;
    }
    // Only a stream the miniport counted is counted out.
    if (m_RegisteredWithMiniport && m_Miniport != nullptr)
        m_Miniport->StreamDestroyed();
}

NTSTATUS CWaveCyclicStream::NonDelegatingQueryInterface(REFIID interfaceId, PVOID* object)
{
    if (object == nullptr)
        return STATUS_INVALID_PARAMETER;
    *object = nullptr;
    const ControlInterfaceEntry entries[] = {
        {&IID_IUnknown, GetNonDelegatingUnknown()},
        {&IID_IMiniportWaveCyclicStream, static_cast<IMiniportWaveCyclicStream*>(this)},
        {&IID_IDmaChannel, static_cast<IDmaChannel*>(this)},
        {&IID_IDrmAudioStream, static_cast<IDrmAudioStream*>(this)}};
    return AnswerControlInterface(entries, interfaceId, object);
}

NTSTATUS CWaveCyclicStream::Init(CWaveCyclicMiniport* miniport, ULONG pin, BOOLEAN capture,
                                 PKSDATAFORMAT dataFormat, CStreamEngine* engine,
                                 PSERVICEGROUP* serviceGroup)
{
    PAGED_CODE();
    if (miniport == nullptr || engine == nullptr || serviceGroup == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    m_Miniport = miniport;
    engine->AddRef();
    m_Engine = engine;
    NTSTATUS status = PcNewServiceGroup(&m_ServiceGroup, nullptr);
    if (NT_SUCCESS(status))
    {
        void* block =
            ExAllocatePoolWithTag(NonPagedPool, sizeof(CDspInterleaveSrc), WAVE_CYCLIC_BUFFER_TAG);
        m_Converter = block != nullptr ? new (block) CDspInterleaveSrc() : nullptr;
        if (m_Converter == nullptr || !m_Converter->CreateConverterStages())
            status = STATUS_INSUFFICIENT_RESOURCES;
    }
    m_Pin = pin;
    m_State = KSSTATE_STOP;
    m_Capture = capture ? TRUE : FALSE;
    m_NotificationInterval = WAVE_NOTIFICATION_MS;
    m_MsPerUrb = WAVE_MS_PER_URB;
    if (NT_SUCCESS(status))
        status = WaveCheckDataFormat(dataFormat, m_Engine, &m_HostFormat);
    if (NT_SUCCESS(status))
        status = AllocateBuffer(BufferBytesFor(m_HostFormat.Format), nullptr);
    if (!NT_SUCCESS(status))
    {
        if (m_ServiceGroup != nullptr)
            m_ServiceGroup->Release();
        m_ServiceGroup = nullptr;
        m_Engine->Release();
        m_Engine = nullptr;
        return status;
    }
    m_CopyOffset = 0;
    m_ServiceGroup->AddRef();
    *serviceGroup = m_ServiceGroup;
    m_Miniport->StreamCreated();
    m_RegisteredWithMiniport = TRUE;
    WaveLockHolder hold(&m_Lock);
    m_DeviceFormat = m_HostFormat;
    ConfigureCapture();
    return STATUS_SUCCESS;
}

NTSTATUS CWaveCyclicStream::SetFormat(PKSDATAFORMAT dataFormat)
{
    PAGED_CODE();
    if (m_State == KSSTATE_RUN)
        return STATUS_UNSUCCESSFUL;
    WAVEFORMATEXTENSIBLE format;
    NTSTATUS status = WaveCheckDataFormat(dataFormat, m_Engine, &format);
    if (!NT_SUCCESS(status))
        return status;
    if (WaveSameAudio(format, m_HostFormat))
        return STATUS_SUCCESS;
    status = AllocateBuffer(BufferBytesFor(format.Format), nullptr);
    if (!NT_SUCCESS(status))
        return status;
    WaveLockHolder hold(&m_Lock);
    m_HostFormat = format;
    m_CopyOffset = 0;
    ConfigureCapture();
    return STATUS_SUCCESS;
}

ULONG CWaveCyclicStream::SetNotificationFreq(ULONG, PULONG framingSize)
{
    if (framingSize != nullptr)
        *framingSize = m_HostFormat.Format.nSamplesPerSec * WAVE_NOTIFICATION_MS / 1000 *
                       (m_HostFormat.Format.wBitsPerSample / 8) * m_HostFormat.Format.nChannels;
    return WAVE_NOTIFICATION_MS;
}

NTSTATUS CWaveCyclicStream::SetState(KSSTATE state)
{
    PAGED_CODE();
    PUSBSTREAMCONTROL control = nullptr;
    NTSTATUS status = m_Engine->QueryInterface(IID_IUsbStreamControl, (PVOID*)&control);
    if (!NT_SUCCESS(status))
        return status;
    if (state != m_State)
    {
        // Leaving RUN, whatever the target, leaves the USB stream.
        if (m_State == KSSTATE_RUN)
            status = LeaveRun(control);
        if (state == KSSTATE_RUN)
            status = EnterRun(control);
        if (state == KSSTATE_STOP || state == KSSTATE_ACQUIRE)
        {
            WaveLockHolder hold(&m_Lock);
            ResetPositions();
            m_LastPosition = 0;
            m_CopyOffset = 0;
        }
        if (state == KSSTATE_PAUSE)
            HoldPosition();
        if (NT_SUCCESS(status))
        {
            WaveLockHolder hold(&m_Lock);
            m_State = state;
        }
    }
    control->Release();
    return status;
}

// Registers as the USB stream's wave client and starts it. The client
// operations take the USB stream's mutex and notify this stream back at
// once, so the spin lock is held only around our own fields.
NTSTATUS CWaveCyclicStream::EnterRun(PUSBSTREAMCONTROL control)
{
    if (m_Buffer == nullptr)
        return STATUS_UNSUCCESSFUL;
    {
        WaveLockHolder hold(&m_Lock);
        m_PositionRate.SetHost(m_HostFormat.Format.nAvgBytesPerSec);
        m_TransferRate.SetHost(m_HostFormat.Format.nAvgBytesPerSec);
    }
    {
        // The port fills the buffer from the position it reads now: the
        // stream goes on from there.
        WaveLockHolder hold(&m_Lock);
        m_StartAt = m_LastPosition;
    }
    WAVEFORMATEXTENSIBLE format = m_HostFormat;
    PSTREAMCLIENT client = nullptr;
    NTSTATUS status =
        control->RegisterClient(STREAM_CLIENT_KIND_WAVE_CYCLIC, &format.Format, WAVE_MS_PER_URB,
                                WAVE_URB_COUNT, OnStreamNotify, this, &client);
    if (!NT_SUCCESS(status))
        return status;
    PVOID key = client->Registration;
    {
        WaveLockHolder hold(&m_Lock);
        m_Client = client;
        m_ClientKey = key;
    }
    ULONG ms = WAVE_MS_PER_URB;
    ULONG start = 0;
    status = control->OpenClient(key, &ms, &start);
    if (NT_SUCCESS(status))
    {
        {
            WaveLockHolder hold(&m_Lock);
            m_MsPerUrb = ms;
        }
        status = control->StartClient(key, start + WAVE_START_LEAD_FRAMES, &ms, nullptr);
        if (!NT_SUCCESS(status))
            control->CloseClient(key); // opened: closed before it can be unregistered
    }
    if (!NT_SUCCESS(status))
    {
        ForgetClient();
        control->UnregisterClient(key);
        return status;
    }
    WaveLockHolder hold(&m_Lock);
    m_TimeStamp = Now();
    return STATUS_SUCCESS;
}

NTSTATUS CWaveCyclicStream::LeaveRun(PUSBSTREAMCONTROL control)
{
    PVOID key = m_ClientKey;
    if (key != nullptr)
    {
        control->StopClient(key, nullptr);
        control->CloseClient(key);
    }
    // No notification reaches the record the USB stream frees next.
    ForgetClient();
    return key != nullptr ? control->UnregisterClient(key) : STATUS_SUCCESS;
}

// Paused: the USB stream has stopped and every transfer came back. Render
// holds at the bytes that went out, what the device was sent; capture at the
// bytes written into the buffer.
void CWaveCyclicStream::HoldPosition()
{
    WaveLockHolder hold(&m_Lock);
    const ULONG size = CyclicSize();
    if (!m_Capture && size != 0)
    {
        m_PlayedBytes = m_SentBytes;
        m_RingRead = m_RingWrite;
        m_RingHeld = 0;
        m_PendingBytes = 0;
        m_Position = RenderPosition(0, size);
    }
    m_LastPosition = m_Position;
}

void CWaveCyclicStream::ForgetClient()
{
    WaveLockHolder hold(&m_Lock);
    m_Client = nullptr;
    m_ClientKey = nullptr;
}

NTSTATUS CWaveCyclicStream::SetContentId(ULONG contentId, PCDRMRIGHTS drmRights)
{
    PAGED_CODE();
    PDRMAUDIOSTREAM content = nullptr;
    NTSTATUS status = m_Engine->QueryInterface(IID_IUsbStreamContent, (PVOID*)&content);
    if (!NT_SUCCESS(status))
        return status;
    status = content->SetContentId(contentId, drmRights);
    content->Release();
    return status;
}

// With the spin lock held: the converter for the device and host formats
// now in force, and the route captured data take. The device's own format
// is copied as it is: the converter's float stage would round 32-bit
// samples and the padding below a sample's valid bits.
void CWaveCyclicStream::ConfigureCapture()
{
    if (!m_Capture || m_Converter == nullptr)
        return;
    m_Converter->ResetConverter();
    if (WaveSameAudio(m_DeviceFormat, m_HostFormat))
        m_CaptureRoute = WaveCaptureRoute::Copy;
    else if (m_Converter->SetFormat(m_DeviceFormat, m_HostFormat))
        m_CaptureRoute = WaveCaptureRoute::Convert;
    else
    {
        m_CaptureRoute = WaveCaptureRoute::Silence;
        if (m_Buffer != nullptr)
            RtlFillMemory(m_Buffer, m_AllocatedSize, WaveSilenceByte(m_HostFormat));
    }
}
