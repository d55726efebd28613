// The stream object: construction and set-up, formats and alternate
// settings, the state changes (prepare, start, stop, unprepare), the
// notifications to the clients and the worker thread.
#include "streaming/usb/usb_audio_stream.h"

#include "framework/adapter_interfaces.h"
#include "framework/callback_object.h"
#include "framework/interface_table.h"
#include "streaming/usb/audio_data_endpoint.h"

namespace
{
constexpr KPRIORITY c_WorkerStartPriority = 31;
constexpr KPRIORITY c_WorkerPriority = 24;
constexpr ULONG c_FormatRecordBytes = sizeof(WAVEFORMATEXTENSIBLE);
constexpr UCHAR c_MaxHighSpeedInterval = 4;

// The format tag a record's sub-format begins with.
USHORT SubFormatTag(const WAVEFORMATEXTENSIBLE& record)
{
    return (USHORT)(record.SubFormat.Data1 & 0xFFFF);
}
} // namespace

CUsbAudioStream::CUsbAudioStream(PUNKNOWN outerUnknown, ULONG interfaceNumber, ULONG terminalLink)
    : CStreamEngine(outerUnknown, interfaceNumber), m_StreamState(USB_STREAM_CLOSED),
      m_CaptureRing(nullptr), m_CaptureRingSize(0), m_CaptureRingRead(0), m_CaptureRingWrite(0),
      m_CaptureRingTag(USB_STREAM_UAC1_RING_TAG), m_Owner(nullptr), m_TerminalLink(terminalLink),
      m_AltSettingList(), m_PacketsPerFrame(1), m_MsPerUrb(USB_STREAM_DEFAULT_MS_PER_URB),
      m_UrbsInFlight(USB_STREAM_MAX_URBS), m_BaseSamplesPerPacket(0), m_DeviceGone(FALSE),
      m_InterfaceInfo(nullptr), m_DataPipeIndex(0), m_StartFrame(0), m_ExplicitStart(0),
      m_SendLock(0), m_OutstandingUrbs(0), m_ErrorState(USB_STREAM_NO_ERROR), m_AllUrbsReturned(),
      m_StopEvent(), m_WorkerDone(), m_WorkEvent(), m_ActiveClient(nullptr),
      m_PreparedClient(nullptr), m_ContextLock(0), m_BusyContexts(), m_FreeContexts(),
      m_DataLists(), m_WorkerThread(nullptr), m_CyclicControl(nullptr), m_Pacing(), m_SentUrbs(0),
      m_InterfaceCounted(FALSE), m_WireSignFlip(0), m_EngineSilence(0)
{
    InitializeListHead(&m_AltSettingList);
    KeInitializeSpinLock(&m_SendLock);
    KeInitializeSpinLock(&m_ContextLock);
    KeInitializeEvent(&m_AllUrbsReturned, NotificationEvent, TRUE);
    KeInitializeEvent(&m_StopEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&m_WorkerDone, NotificationEvent, FALSE);
    KeInitializeEvent(&m_WorkEvent, SynchronizationEvent, FALSE);
}

// The stream's engine is made for its AudioStreaming interface: the
// construction value is that interface's number.
void CUsbAudioStream::ReportNotInstalled(PCSTR why)
{
    DbgPrint("UsbAudio: AudioStreaming interface %u %s nothing: no wave filter, as %s\n",
             (unsigned)GetConstructionValue(),
             GetDirection() == STREAM_DIRECTION_RENDER ? "plays" : "records", why);
}

NTSTATUS CUsbAudioStream::GetStreamTerminal(PULONG controlId)
{
    if (controlId == nullptr)
        return STATUS_INVALID_PARAMETER;
    *controlId = m_TerminalLink;
    return STATUS_SUCCESS;
}

CUsbAudioStream::~CUsbAudioStream()
{
    PAGED_CODE();
    FreeFormats();
    ShutDownStream();
    FreeClients();
    m_ActiveClient = nullptr;
    m_PreparedClient = nullptr;
    if (m_InterfaceInfo != nullptr)
        ExFreePoolWithTag(m_InterfaceInfo, USB_STREAM_URB_POOL_TAG);
    m_InterfaceInfo = nullptr;
    if (m_CaptureRing != nullptr)
        ExFreePoolWithTag(m_CaptureRing, m_CaptureRingTag);
    m_CaptureRing = nullptr;
    if (m_CyclicControl != nullptr)
        ObDereferenceObject(m_CyclicControl);
    m_CyclicControl = nullptr;
}

void CUsbAudioStream::ShutDownStream()
{
    PAGED_CODE();
    if (m_WorkerThread != nullptr)
    {
        KeSetEvent(&m_StopEvent, IO_NO_INCREMENT, FALSE);
        KeWaitForSingleObject(&m_WorkerDone, Executive, KernelMode, FALSE, nullptr);
        KeWaitForSingleObject(m_WorkerThread, Executive, KernelMode, FALSE, nullptr);
        ObDereferenceObject(m_WorkerThread);
        m_WorkerThread = nullptr;
    }
    // Clients that never closed: the stream stops for nobody.
    if (m_StreamState == USB_STREAM_RUNNING)
        StopStream();
    if (m_StreamState == USB_STREAM_PREPARED)
        UnprepareStream();
}

NTSTATUS CUsbAudioStream::NonDelegatingQueryInterface(REFIID interfaceId, PVOID* object)
{
    if (object == nullptr)
        return STATUS_INVALID_PARAMETER;
    *object = nullptr;
    const ControlInterfaceEntry entries[] = {
        {&IID_IUnknown, static_cast<IUsbStreamControl*>(this)},
        {&IID_IUsbStreamControl, static_cast<IUsbStreamControl*>(this)},
        {&IID_IDrmAudioStream, static_cast<IDrmAudioStream*>(this)},
        {&IID_IUsbStreamContent, static_cast<IDrmAudioStream*>(this)},
        {&IID_CStreamEngine, static_cast<CStreamEngine*>(this)}};
    return AnswerControlInterface(entries, interfaceId, object);
}

// ----------------------------------------------------------------------------
// Set-up

NTSTATUS CUsbAudioStream::InitStream(ULONG direction, PUNKNOWN owner)
{
    PAGED_CODE();
    NTSTATUS status = OpenStreamEngineCallback(direction);
    if (!NT_SUCCESS(status))
        return status;
    status = CreateAddressCallbackObject(u"\\Callback\\CyclicControlAddr", this, &m_CyclicControl);
    if (!NT_SUCCESS(status))
        return status;
    HANDLE thread = nullptr;
    status = PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                                  WorkerThreadStart, this);
    if (NT_SUCCESS(status))
    {
        status = ObReferenceObjectByHandle(thread, THREAD_ALL_ACCESS, *PsThreadType, KernelMode,
                                           (PVOID*)&m_WorkerThread, nullptr);
        if (NT_SUCCESS(status))
        {
            KeSetPriorityThread(m_WorkerThread, c_WorkerStartPriority);
            KeSetPriorityThread(m_WorkerThread, c_WorkerPriority);
        }
        else
        {
            // The thread runs without us holding it: stop it and wait for it.
            KeSetEvent(&m_StopEvent, IO_NO_INCREMENT, FALSE);
            KeWaitForSingleObject(&m_WorkerDone, Executive, KernelMode, FALSE, nullptr);
        }
        ZwClose(thread);
    }
    if (!NT_SUCCESS(status))
    {
        ObDereferenceObject(m_CyclicControl);
        m_CyclicControl = nullptr;
        return status;
    }
    m_Owner = owner;
    m_DeviceGone = FALSE;
    return STATUS_SUCCESS;
}

NTSTATUS CUsbAudioStream::AddStreamFormat(const WAVEFORMATEXTENSIBLE* format,
                                          UCHAR alternateSetting, WireSampleSign sign)
{
    PAGED_CODE();
    if (format == nullptr)
        return STATUS_INVALID_PARAMETER;
    auto record = static_cast<AltSettingFormat*>(
        ExAllocatePoolWithTag(PagedPool, sizeof(AltSettingFormat), USB_STREAM_POOL_TAG));
    if (record == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS status = AddFormatRecord(format);
    if (!NT_SUCCESS(status))
    {
        ExFreePoolWithTag(record, USB_STREAM_POOL_TAG);
        return status;
    }
    record->AlternateSetting = alternateSetting;
    RtlCopyMemory(&record->Format, format, c_FormatRecordBytes);
    record->Sign = sign;
    InsertTailList(&m_AltSettingList, &record->Links);
    return STATUS_SUCCESS;
}

void CUsbAudioStream::FreeFormats()
{
    while (!IsListEmpty(&m_AltSettingList))
    {
        PLIST_ENTRY entry = RemoveHeadList(&m_AltSettingList);
        ExFreePoolWithTag(CONTAINING_RECORD(entry, AltSettingFormat, Links), USB_STREAM_POOL_TAG);
    }
}

const AltSettingFormat* CUsbAudioStream::FindFormatRecord(const WAVEFORMATEX* format) const
{
    if (format == nullptr)
        return nullptr;
    const bool extensible = format->wFormatTag == WAVE_FORMAT_EXTENSIBLE;
    // A record holds 40 bytes, whatever the caller says its extension is.
    ULONG compared = sizeof(WAVEFORMATEX) + format->cbSize;
    if (compared > c_FormatRecordBytes)
        compared = c_FormatRecordBytes;
    for (PLIST_ENTRY entry = m_AltSettingList.Flink; entry != &m_AltSettingList;
         entry = entry->Flink)
    {
        const AltSettingFormat* record = CONTAINING_RECORD(entry, AltSettingFormat, Links);
        const WAVEFORMATEX& held = record->Format.Format;
        const bool match = extensible ? RtlEqualMemory(&record->Format, format, compared) != 0
                                      : held.nChannels == format->nChannels &&
                                            held.nSamplesPerSec == format->nSamplesPerSec &&
                                            held.wBitsPerSample == format->wBitsPerSample &&
                                            SubFormatTag(record->Format) == format->wFormatTag;
        if (match)
            return record;
    }
    return nullptr;
}

NTSTATUS CUsbAudioStream::FindAlternateSetting(const WAVEFORMATEX* format, PUCHAR alternateSetting)
{
    if (alternateSetting == nullptr || format == nullptr)
        return STATUS_INVALID_PARAMETER;
    const AltSettingFormat* record = FindFormatRecord(format);
    if (record == nullptr)
        return STATUS_INVALID_PARAMETER;
    *alternateSetting = record->AlternateSetting;
    return STATUS_SUCCESS;
}

void CUsbAudioStream::SetWireSign(const WAVEFORMATEX& format, WireSampleSign sign)
{
    const bool eightBit = format.wBitsPerSample == 8;
    m_EngineSilence = eightBit ? 0x80 : 0x00;
    m_WireSignFlip = eightBit && sign == WireSampleSign::TwosComplement ? 0x80 : 0x00;
}

// Every byte alike, eight at a time: the samples decide nothing.
void CUsbAudioStream::FlipWireSign(PUCHAR data, ULONG bytes) const
{
    if (m_WireSignFlip == 0)
        return;
    const ULONGLONG flip = 0x0101010101010101ull * m_WireSignFlip;
    ULONG i = 0;
    for (; i + sizeof(flip) <= bytes; i += sizeof(flip))
    {
        ULONGLONG word;
        RtlCopyMemory(&word, data + i, sizeof(word));
        word ^= flip;
        RtlCopyMemory(data + i, &word, sizeof(word));
    }
    for (; i < bytes; ++i)
        data[i] ^= m_WireSignFlip;
}

ULONG CUsbAudioStream::PacketsPerFrame(UCHAR alternateSetting)
{
    PAGED_CODE();
    PUSBDEVICEIO io = QueryUsbIo();
    if (io == nullptr)
        return 1;
    ULONG packets = 1;
    const USB_ENDPOINT_DESCRIPTOR* ep = FindSettingDataEndpoint(
        io->GetConfigurationDescriptor(), m_ConstructionValue, alternateSetting);
    // At full speed every frame holds one packet, whatever the interval says.
    if (ep != nullptr && io->IsHighSpeed())
        packets = ep->bInterval >= 1 && ep->bInterval <= c_MaxHighSpeedInterval
                      ? USB_STREAM_MICROFRAMES >> (ep->bInterval - 1)
                      : 0;
    io->Release();
    return packets;
}

ULONG CUsbAudioStream::DataEndpointPacketBytes(UCHAR alternateSetting)
{
    PAGED_CODE();
    PUSBDEVICEIO io = QueryUsbIo();
    if (io == nullptr)
        return 0;
    const USB_ENDPOINT_DESCRIPTOR* ep = FindSettingDataEndpoint(
        io->GetConfigurationDescriptor(), m_ConstructionValue, alternateSetting);
    io->Release();
    if (ep == nullptr)
        return 0;
    // Bits 11 and 12 of a high-speed endpoint add transactions per microframe.
    const ULONG size = ep->wMaxPacketSize & 0x7FF;
    return size * (1 + ((ep->wMaxPacketSize >> 11) & 3));
}

bool CUsbAudioStream::CarriesNominalPacket(UCHAR alternateSetting, const WAVEFORMATEX& format,
                                           PULONG needed, PULONG carried)
{
    PAGED_CODE();
    const ULONGLONG bytes = (ULONGLONG)PacingNominalPacketSamples(
                                format.nSamplesPerSec, PacketsPerFrame(alternateSetting)) *
                            WireFrameBytes(format);
    *carried = DataEndpointPacketBytes(alternateSetting);
    *needed = bytes <= MAXULONG ? (ULONG)bytes : MAXULONG;
    return *needed <= *carried;
}

ULONG CUsbAudioStream::QueryCurrentFrameNumber()
{
    ULONG frame = 0;
    PUSBDEVICEIO io = QueryUsbIo();
    if (io != nullptr)
    {
        io->GetCurrentFrameNumber(&frame);
        io->Release();
    }
    return frame;
}

NTSTATUS CUsbAudioStream::FindObjectById(ULONG id, CAudioControl** object)
{
    PAGED_CODE();
    if (object == nullptr)
        return STATUS_INVALID_PARAMETER;
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    const ULONG count = GetControlCount();
    for (ULONG i = 0; i < count; ++i)
    {
        CAudioControl* control = nullptr;
        if (NT_SUCCESS(GetControlAt(i, &control)) && control->GetId() == id)
        {
            *object = control; // the last one with the id wins
            status = STATUS_SUCCESS;
        }
    }
    return status;
}

NTSTATUS CUsbAudioStream::SetContentId(ULONG contentId, PCDRMRIGHTS)
{
    PAGED_CODE();
    PUSBDEVICEIO io = QueryUsbIo();
    if (io == nullptr)
        return STATUS_UNSUCCESSFUL;
    DRMFORWARD forward = {};
    forward.Flags = 0;
    forward.DeviceObject = io->GetLowerDeviceObject();
    forward.FileObject = static_cast<PFILE_OBJECT>(DataPipeHandle());
    forward.Context = DataPipeHandle();
    io->Release();
    return PcForwardContentToDeviceObject(contentId, nullptr, &forward);
}

PUSBDEVICEIO CUsbAudioStream::QueryUsbIo()
{
    PUSBDEVICEIO io = nullptr;
    if (m_Owner == nullptr || !NT_SUCCESS(m_Owner->QueryInterface(IID_IUsbDeviceIo, (PVOID*)&io)))
        return nullptr;
    return io;
}

USBD_PIPE_HANDLE CUsbAudioStream::DataPipeHandle() const
{
    if (m_InterfaceInfo == nullptr || m_DataPipeIndex >= m_InterfaceInfo->NumberOfPipes)
        return nullptr;
    return m_InterfaceInfo->Pipes[m_DataPipeIndex].PipeHandle;
}

// ----------------------------------------------------------------------------
// Notifications

void CUsbAudioStream::Notify(ULONG type, ULONG value1, ULONG value2, PVOID buffer)
{
    if (m_CyclicControl == nullptr)
        return;
    StreamNotification record = {};
    record.Client = m_ActiveClient;
    record.Type = type;
    if (type == STREAM_NOTIFY_RENDER_DATA || type == STREAM_NOTIFY_CAPTURE_DATA)
    {
        record.Data.Buffer = buffer;
        record.Data.Bytes = value1;
    }
    else if (type == STREAM_NOTIFY_BYTES)
    {
        record.Bytes = value1;
        record.Dropped = value2;
    }
    else
    {
        record.Start.MsPerUrb = value1;
        record.Start.UrbCount = value2;
    }
    ExNotifyCallback(m_CyclicControl, &record, nullptr);
}

void CUsbAudioStream::NotifyStart(PSTREAMCLIENT client, BOOLEAN formatChanged)
{
    if (client == nullptr)
        return;
    Notify(STREAM_NOTIFY_START, client->MsPerUrb | (formatChanged ? STREAM_FORMAT_CHANGED : 0),
           client->UrbCount, nullptr);
}

// ----------------------------------------------------------------------------
// Stream operations

NTSTATUS CUsbAudioStream::SelectInterface(UCHAR, PSTREAMCLIENT)
{
    return STATUS_SUCCESS;
}

NTSTATUS CUsbAudioStream::DeselectInterface()
{
    return SelectInterface(0, nullptr);
}

NTSTATUS CUsbAudioStream::PrepareStream(PSTREAMCLIENT, PULONG)
{
    return STATUS_UNSUCCESSFUL;
}

BOOLEAN CUsbAudioStream::IsAlternateSettingValid(UCHAR)
{
    return TRUE;
}

NTSTATUS CUsbAudioStream::UnprepareStream()
{
    PAGED_CODE();
    if (m_StreamState != USB_STREAM_PREPARED)
        return STATUS_INVALID_PARAMETER;
    NTSTATUS status = SelectInterface(0, nullptr);
    ReleaseTransferLoop();
    InterlockedExchange(&m_StreamState, USB_STREAM_CLOSED);
    if (m_CaptureRing != nullptr)
        ExFreePoolWithTag(m_CaptureRing, m_CaptureRingTag);
    m_CaptureRing = nullptr;
    m_CaptureRingSize = 0;
    if (m_InterfaceInfo != nullptr)
        ExFreePoolWithTag(m_InterfaceInfo, USB_STREAM_URB_POOL_TAG);
    m_InterfaceInfo = nullptr;
    return m_DeviceGone ? STATUS_SUCCESS : status;
}

NTSTATUS CUsbAudioStream::StartStream(ULONG startFrame, ULONG explicitStart)
{
    PAGED_CODE();
    if (m_StreamState != USB_STREAM_PREPARED)
    {
        WaitForUrbs();
        return STATUS_UNSUCCESSFUL;
    }
    m_StartFrame = startFrame;
    m_ExplicitStart = explicitStart;
    InterlockedExchange(&m_ErrorState, USB_STREAM_NO_ERROR);
    KeClearEvent(&m_WorkEvent);
    const LONG previous = InterlockedExchange(&m_StreamState, USB_STREAM_RUNNING);
    WalkStartNodes();
    NTSTATUS status = SendInitialUrbs();
    if (!NT_SUCCESS(status))
    {
        // Back to the previous state first, so that no completion resubmits
        // while the URBs already sent come back.
        InterlockedExchange(&m_StreamState, previous);
        WaitForUrbs();
    }
    return status;
}

NTSTATUS CUsbAudioStream::StopStream()
{
    PAGED_CODE();
    if (InterlockedCompareExchange(&m_StreamState, USB_STREAM_PREPARED, USB_STREAM_RUNNING) !=
        USB_STREAM_RUNNING)
        return STATUS_UNSUCCESSFUL;
    // The completions see the state and stop resubmitting.
    WaitForUrbs();
    return WalkFlushNodes();
}

void CUsbAudioStream::WaitForUrbs()
{
    KeWaitForSingleObject(&m_AllUrbsReturned, Executive, KernelMode, FALSE, nullptr);
}

void CUsbAudioStream::WalkStartNodes()
{
    POSITION position = m_ProcessingList != nullptr ? m_ProcessingList->GetHeadPosition() : nullptr;
    PVOID data = nullptr;
    while (m_ProcessingList != nullptr && m_ProcessingList->GetNext(&position, &data))
        if (!NT_SUCCESS(static_cast<PCHAINNODE>(data)->SetFormat(&m_CurrentWaveFormat.Format)))
            break;
}

NTSTATUS CUsbAudioStream::WalkFlushNodes()
{
    POSITION position = m_ProcessingList != nullptr ? m_ProcessingList->GetHeadPosition() : nullptr;
    PVOID data = nullptr;
    while (m_ProcessingList != nullptr && m_ProcessingList->GetNext(&position, &data))
    {
        NTSTATUS status =
            static_cast<PCHAINNODE>(data)->Flush(&m_CurrentWaveFormat.Format, nullptr, 0);
        if (!NT_SUCCESS(status))
            return status;
    }
    return STATUS_SUCCESS;
}

// ----------------------------------------------------------------------------
// Worker thread

void CUsbAudioStream::WorkerThreadStart(PVOID context)
{
    static_cast<CUsbAudioStream*>(context)->StreamWorker();
}

void CUsbAudioStream::StreamWorker()
{
    PVOID objects[2] = {&m_WorkEvent, &m_StopEvent};
    for (;;)
    {
        NTSTATUS woke = KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, FALSE,
                                                 nullptr, nullptr);
        if (woke != STATUS_WAIT_0)
            break;
        RunWorkerPass(TRUE);
    }
    KeSetEvent(&m_WorkerDone, IO_NO_INCREMENT, FALSE);
}

void CUsbAudioStream::RunWorkerPass(BOOLEAN workSignalled)
{
    m_StreamLock.Lock();
    if (workSignalled && m_StreamState == USB_STREAM_RUNNING)
    {
        const LONG previous =
            InterlockedCompareExchange(&m_ErrorState, USB_STREAM_NO_ERROR, USB_STREAM_RESUBMIT);
        if (previous == USB_STREAM_RESUBMIT)
        {
            // Fills the free contexts; a send that sent nothing (device gone,
            // stream stopped) ends the loop as a failure does.
            while (m_StreamState == USB_STREAM_RUNNING)
            {
                const LONG before = SentUrbCount();
                if (!NT_SUCCESS(SendStreamUrb()) || SentUrbCount() == before)
                    break;
            }
        }
        else if (previous == USB_STREAM_RECOVERING)
        {
            DbgPrint("Error_ErrorOccur, m_StreamState = %d\n", (int)m_StreamState);
            if (m_StreamState == USB_STREAM_RUNNING)
            {
                NTSTATUS status = RecoverFromError();
                DbgPrint("Error_ErrorOccur ntStatus = %x\n", (unsigned)status);
                if (status == STATUS_DEVICE_NOT_CONNECTED)
                    KeSetEvent(&m_StopEvent, IO_NO_INCREMENT, FALSE);
            }
        }
    }
    m_StreamLock.Unlock();
}
